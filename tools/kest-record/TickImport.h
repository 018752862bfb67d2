// Tick archives in the common layout of Chinese futures tick CSV dumps
// (TradingDay, InstrumentID, ExchangeID, ..., LastPrice, ..., Volume,
// Turnover, OpenInterest, ..., UpdateTime, UpdateMillisec, BidPrice1,
// BidVolume1, AskPrice1, AskVolume1, ... to level 5) turned into quote
// records, so that they replay through the library like a recording.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "KestShfeMdStruct.h"

namespace kest_record {

class TickImport {
public:
    using Sink = std::function<void(int64_t arrival_ns, const KestShfeMdType& record)>;
    // four_ps: SHFE and INE quotes go to the 4ps feeds instead of the 2ps ones.
    explicit TickImport(bool four_ps) : four_ps_(four_ps) {}
    // Every row of one CSV file to sink, in file order. false with *error
    // ("FILE:LINE: what is wrong") at the first row that is not a tick; the
    // rows before it have reached sink.
    bool ReadFile(const std::string& path, const Sink& sink, std::string* error);
    uint64_t Rows() const { return rows_; }

private:
    struct Instrument {
        uint32_t number;
        uint32_t changes;
    };
    bool four_ps_;
    std::map<std::string, Instrument> instruments_[4];  // per feed
    uint64_t rows_ = 0;
};

// A decimal text in hundredths, rounded half away from zero ("4512.5" ->
// 451250). Values of 1e15 and more (archives mark a missing price with the
// largest double) read as 0. false when text is not a number.
bool ParseHundredths(const char* text, int64_t& out);

}  // namespace kest_record

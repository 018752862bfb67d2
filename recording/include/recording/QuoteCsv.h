// The CSV and JSON-lines forms of a quote, shared by the receive tool and kest-record: one
// header line whose column names carry their units, then one line per quote.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "KestShfeMdStruct.h"

namespace kest_rec {

// The exchange's trading date (YYYYMMDD) of a quote that arrived at
// arrival_ns: the China Standard Time (UTC+8) calendar date, except that the
// night session (from 18:00 CST, and past midnight until 06:00) belongs to
// the next weekday's date. Exchange holidays are not known here.
uint32_t TradingDate(int64_t arrival_ns);

void WriteCsvHeader(FILE* out);
// trading_date: of the quote's file (EntryTradingDate of ExchangeClock.h);
// without it, TradingDate of the arrival.
void WriteCsvLine(FILE* out, int64_t arrival_ns, const KestShfeMdType& q, uint32_t trading_date);
inline void WriteCsvLine(FILE* out, int64_t arrival_ns, const KestShfeMdType& q) {
    WriteCsvLine(out, arrival_ns, q, TradingDate(arrival_ns));
}
// The same fields as one JSON object a line, named as the CSV's columns
// without their units; prices and turnover in yuan with two decimals.
void WriteJsonLine(FILE* out, int64_t arrival_ns, const KestShfeMdType& q, uint32_t trading_date);

// The first field in which two records differ ("last_px: 500000 against
// 500007"); empty when all 152 bytes are the same.
std::string FirstDifference(const KestShfeMdType& a, const KestShfeMdType& b);

}  // namespace kest_rec

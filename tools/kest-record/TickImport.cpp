#include "TickImport.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "recording/ChinaTime.h"

namespace kest_record {

namespace {

std::vector<std::string> Split(const std::string& line) {
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        const size_t comma = line.find(',', start);
        std::string cell = line.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        while (!cell.empty() && (cell.back() == ' ' || cell.back() == '\r')) cell.pop_back();
        size_t lead = 0;
        while (lead < cell.size() && cell[lead] == ' ') ++lead;
        out.push_back(cell.substr(lead));
        if (comma == std::string::npos) return out;
        start = comma + 1;
    }
}

bool ParseWhole(const std::string& text, int64_t& out) {
    int64_t h;
    if (!ParseHundredths(text.c_str(), h)) return false;
    out = (h >= 0 ? h + 50 : h - 50) / 100;  // volumes and interest written as 1234.0
    return true;
}

}  // namespace

bool ParseHundredths(const char* text, int64_t& out) {
    const char* p = text;
    bool negative = false;
    if (*p == '-' || *p == '+') negative = *p++ == '-';
    uint64_t whole = 0;
    int digits = 0;
    while (*p >= '0' && *p <= '9' && digits < 16)
        whole = whole * 10 + static_cast<uint64_t>(*p++ - '0'), ++digits;
    uint64_t frac = 0;
    int places = 0, fdigits = 0;
    bool round_up = false;
    if (*p == '.') {
        ++p;
        for (; *p >= '0' && *p <= '9'; ++p, ++fdigits) {
            if (places < 2) {
                frac = frac * 10 + static_cast<uint64_t>(*p - '0');
                ++places;
            } else if (places == 2) {
                round_up = *p >= '5';
                ++places;
            }
        }
    }
    if (digits + fdigits > 0 && *p == '\0' && digits < 16) {
        while (places < 2) frac *= 10, ++places;
        const int64_t v = static_cast<int64_t>(whole * 100 + frac + (round_up ? 1 : 0));
        out = negative ? -v : v;
        return true;
    }
    // Exponent forms and huge values: the archives' "no value" markers.
    char* end = nullptr;
    errno = 0;
    const double d = std::strtod(text, &end);
    if (end == text || *end != '\0' || std::isnan(d)) return false;
    if (std::fabs(d) >= 1e15) {
        out = 0;
        return true;
    }
    out = static_cast<int64_t>(std::llround(d * 100));
    return true;
}

bool TickImport::ReadFile(const std::string& path, const Sink& sink, std::string* error) {
    std::unique_ptr<FILE, int (*)(FILE*)> in(std::fopen(path.c_str(), "r"), &std::fclose);
    if (!in) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    std::string line;
    uint64_t number = 0;
    auto getline = [&]() {
        line.clear();
        int c;
        while ((c = std::fgetc(in.get())) != EOF && c != '\n') line.push_back(static_cast<char>(c));
        if (c == EOF && line.empty()) return false;
        ++number;
        return true;
    };
    auto fail = [&](const std::string& why) {
        *error = path + ":" + std::to_string(number) + ": " + why;
        return false;
    };
    if (!getline()) return fail("empty file: no header line");
    if (line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
    const std::vector<std::string> names = Split(line);
    auto column = [&](const std::string& name) {
        for (size_t i = 0; i < names.size(); ++i)
            if (names[i] == name) return static_cast<int>(i);
        return -1;
    };
    const char* required[] = {"TradingDay",     "InstrumentID", "LastPrice",  "Volume",    "UpdateTime",
                              "UpdateMillisec", "BidPrice1",    "BidVolume1", "AskPrice1", "AskVolume1"};
    for (const char* name : required)
        if (column(name) < 0) return fail(std::string("the header has no column ") + name);
    const int c_day = column("TradingDay"), c_id = column("InstrumentID"), c_ex = column("ExchangeID"),
              c_last = column("LastPrice"), c_vol = column("Volume"), c_turn = column("Turnover"),
              c_oi = column("OpenInterest"), c_time = column("UpdateTime"), c_ms = column("UpdateMillisec");
    int c_px[2][5], c_qty[2][5];
    for (int level = 1; level <= 5; ++level) {
        c_px[0][level - 1] = column("BidPrice" + std::to_string(level));
        c_qty[0][level - 1] = column("BidVolume" + std::to_string(level));
        c_px[1][level - 1] = column("AskPrice" + std::to_string(level));
        c_qty[1][level - 1] = column("AskVolume" + std::to_string(level));
    }
    while (getline()) {
        if (line.empty() || line == "\r") continue;
        const std::vector<std::string> cells = Split(line);
        if (cells.size() != names.size())
            return fail(std::to_string(cells.size()) + " columns, the header has " +
                        std::to_string(names.size()));
        auto cell = [&](int c) -> const std::string& { return cells[static_cast<size_t>(c)]; };
        auto number_of = [&](int c, bool price, int64_t& v) {
            if (c < 0) {
                v = 0;
                return true;
            }
            return price ? ParseHundredths(cell(c).c_str(), v)
                         : (cell(c).empty() ? (v = 0, true) : ParseWhole(cell(c), v));
        };
        KestShfeMdType q;
        std::memset(&q, 0, sizeof q);
        const std::string& id = cell(c_id);
        if (id.empty() || id.size() >= sizeof q.inst_id)
            return fail("InstrumentID '" + id + "' is not 1 to 15 characters");
        std::memcpy(q.inst_id, id.data(), id.size());
        int feed;
        const std::string exchange = c_ex < 0 ? std::string("SHFE") : cell(c_ex);
        if (exchange == "SHFE" || exchange.empty()) {
            feed = four_ps_ ? 1 : 0;
        } else if (exchange == "INE") {
            feed = four_ps_ ? 3 : 2;
        } else {
            return fail("ExchangeID '" + exchange + "' is neither SHFE nor INE");
        }
        const std::string& day = cell(c_day);
        unsigned y, mo, d;
        if (day.size() != 8 || std::sscanf(day.c_str(), "%4u%2u%2u", &y, &mo, &d) != 3 || mo < 1 || mo > 12 ||
            d < 1 || d > 31)
            return fail("TradingDay '" + day + "' is not YYYYMMDD");
        unsigned hh, mm, ss;
        char rest;
        if (std::sscanf(cell(c_time).c_str(), "%2u:%2u:%2u%c", &hh, &mm, &ss, &rest) != 3 || hh > 23 ||
            mm > 59 || ss > 60)
            return fail("UpdateTime '" + cell(c_time) + "' is not HH:MM:SS");
        int64_t ms;
        if (!ParseWhole(cell(c_ms), ms) || ms < 0 || ms > 999)
            return fail("UpdateMillisec '" + cell(c_ms) + "' is not 0 to 999");
        int64_t last, volume, turnover, interest;
        if (!number_of(c_last, true, last)) return fail("LastPrice '" + cell(c_last) + "' is not a number");
        if (!number_of(c_vol, false, volume) || volume < 0 || volume > UINT32_MAX)
            return fail("Volume '" + cell(c_vol) + "' is not a number of lots");
        if (!number_of(c_turn, true, turnover))
            return fail("Turnover '" + cell(c_turn) + "' is not a number");
        if (!number_of(c_oi, false, interest))
            return fail("OpenInterest '" + cell(c_oi) + "' is not a number");
        int32_t px[2][5];
        uint32_t qty[2][5];
        for (int s = 0; s < 2; ++s) {
            for (int l = 0; l < 5; ++l) {
                int64_t p, v;
                if (!number_of(c_px[s][l], true, p) || p < INT32_MIN || p > INT32_MAX)
                    return fail(names[static_cast<size_t>(c_px[s][l])] + " '" + cell(c_px[s][l]) +
                                "' is not a price");
                if (!number_of(c_qty[s][l], false, v) || v < 0 || v > UINT32_MAX)
                    return fail(names[static_cast<size_t>(c_qty[s][l])] + " '" + cell(c_qty[s][l]) +
                                "' is not a number of lots");
                px[s][l] = static_cast<int32_t>(p);
                qty[s][l] = static_cast<uint32_t>(v);
            }
        }
        if (last < INT32_MIN || last > INT32_MAX)
            return fail("LastPrice '" + cell(c_last) + "' is out of range");
        // The trading day's clock: the night session (from 18:00, and past
        // midnight) happened on the evening of the weekday before.
        int64_t days = kest_rec::DaysFromCivil(y, mo, d);
        if (hh >= 18 || hh < 6) {
            do --days;
            while (kest_rec::Weekday(days) >= 5);
            if (hh < 6) ++days;
        }
        const int64_t cst_s = days * 86400 + hh * 3600 + mm * 60 + ss;
        const int64_t arrival = ((cst_s - kest_rec::kChinaOffsetS) * 1000 + ms) * 1000000;

        Instrument& inst = instruments_[feed]
                               .emplace(id, Instrument{static_cast<uint32_t>(instruments_[feed].size()), 0})
                               .first->second;
        q.inst_no = inst.number;
        q.update_time = hh * 10000 + mm * 100 + ss;
        q.update_milli_sec = static_cast<uint16_t>(ms);
        q.type = static_cast<uint16_t>(feed);
        q.change_no = ++inst.changes;
        q.last_px = static_cast<int32_t>(last);
        q.volume = static_cast<uint32_t>(volume);
        q.turnover = turnover;
        q.open_interest = interest;
        int32_t* bid = &q.bid1_px;
        int32_t* ask = &q.ask1_px;
        for (int l = 0; l < 5; ++l) {
            std::memcpy(reinterpret_cast<char*>(bid) + 8 * l, &px[0][l], 4);
            std::memcpy(reinterpret_cast<char*>(bid) + 8 * l + 4, &qty[0][l], 4);
            std::memcpy(reinterpret_cast<char*>(ask) + 8 * l, &px[1][l], 4);
            std::memcpy(reinterpret_cast<char*>(ask) + 8 * l + 4, &qty[1][l], 4);
        }
        q.max_inst_no = static_cast<uint32_t>(instruments_[feed].size() - 1);
        ++rows_;
        sink(arrival, q);
    }
    if (std::ferror(in.get())) return fail(std::strerror(errno));
    return true;
}

}  // namespace kest_record

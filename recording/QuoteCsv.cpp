#include "recording/QuoteCsv.h"

#include <cinttypes>
#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <string>

#include "recording/ChinaTime.h"

namespace kest_rec {

namespace {

// A price in hundredths as a decimal with two places, exactly.
void PutPrice(FILE* out, int64_t hundredths, const char* before = ",") {
    const char* sign = hundredths < 0 ? "-" : "";
    const uint64_t a =
        hundredths < 0 ? 0 - static_cast<uint64_t>(hundredths) : static_cast<uint64_t>(hundredths);
    std::fprintf(out, "%s%s%" PRIu64 ".%02u", before, sign, a / 100, static_cast<unsigned>(a % 100));
}

struct Field {
    const char* name;
    size_t offset;
    size_t size;
    bool is_signed;
};
#define KEST_FIELD(f, s) \
    { #f, offsetof(KestShfeMdType, f), sizeof(KestShfeMdType::f), s }
const Field kFields[] = {
    KEST_FIELD(inst_no, false),          KEST_FIELD(inst_id, false),  KEST_FIELD(update_time, false),
    KEST_FIELD(update_milli_sec, false), KEST_FIELD(type, false),     KEST_FIELD(change_no, false),
    KEST_FIELD(last_px, true),           KEST_FIELD(volume, false),   KEST_FIELD(turnover, true),
    KEST_FIELD(open_interest, true),     KEST_FIELD(bid1_px, true),   KEST_FIELD(bid1_vol, false),
    KEST_FIELD(bid2_px, true),           KEST_FIELD(bid2_vol, false), KEST_FIELD(bid3_px, true),
    KEST_FIELD(bid3_vol, false),         KEST_FIELD(bid4_px, true),   KEST_FIELD(bid4_vol, false),
    KEST_FIELD(bid5_px, true),           KEST_FIELD(bid5_vol, false), KEST_FIELD(ask1_px, true),
    KEST_FIELD(ask1_vol, false),         KEST_FIELD(ask2_px, true),   KEST_FIELD(ask2_vol, false),
    KEST_FIELD(ask3_px, true),           KEST_FIELD(ask3_vol, false), KEST_FIELD(ask4_px, true),
    KEST_FIELD(ask4_vol, false),         KEST_FIELD(ask5_px, true),   KEST_FIELD(ask5_vol, false),
    KEST_FIELD(reverse1, false),         KEST_FIELD(reverse2, false), KEST_FIELD(last_tick_flag, false),
    KEST_FIELD(max_inst_no, false),
};
#undef KEST_FIELD

std::string FieldText(const KestShfeMdType& q, const Field& f) {
    const char* p = reinterpret_cast<const char*>(&q) + f.offset;
    if (f.offset == offsetof(KestShfeMdType, inst_id))
        return "\"" + std::string(p, strnlen(p, f.size)) + "\"";
    if (f.size == 3) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%02x%02x%02x", uint8_t(p[0]), uint8_t(p[1]), uint8_t(p[2]));
        return buf;
    }
    uint64_t u = 0;
    std::memcpy(&u, p, f.size);
    if (f.is_signed && f.size < 8 && (u >> (8 * f.size - 1)) != 0) u |= ~uint64_t{0} << (8 * f.size);
    return f.is_signed ? std::to_string(static_cast<int64_t>(u)) : std::to_string(u);
}

}  // namespace

std::string FirstDifference(const KestShfeMdType& a, const KestShfeMdType& b) {
    for (const Field& f : kFields) {
        const char* pa = reinterpret_cast<const char*>(&a) + f.offset;
        const char* pb = reinterpret_cast<const char*>(&b) + f.offset;
        if (std::memcmp(pa, pb, f.size) != 0)
            return std::string(f.name) + ": " + FieldText(a, f) + " against " + FieldText(b, f);
    }
    return std::string();
}

uint32_t TradingDate(int64_t arrival_ns) {
    const int64_t s = FloorSeconds(arrival_ns) + kChinaOffsetS;
    int64_t days = (s >= 0 ? s : s - 86399) / 86400;
    const int64_t hour = (s - days * 86400) / 3600;
    if (hour >= 18) {
        ++days;  // the evening opens the next trading day
    }
    if (hour >= 18 || hour < 6) {
        while (Weekday(days) >= 5) ++days;  // Friday night trades for Monday
    }
    const CivilDate c = CivilFromDays(days);
    return static_cast<uint32_t>(c.year) * 10000 + c.month * 100 + c.day;
}

void WriteCsvHeader(FILE* out) {
    std::fputs(
        "arrival_ns_since_epoch_utc,trading_date_yyyymmdd,inst_no,inst_id,update_time_exchange_hh:mm:ss.mmm,"
        "type_card_record_type,change_no,last_price_yuan,volume_lots,turnover_yuan,open_interest_lots",
        out);
    for (const char* side : {"bid", "ask"}) {
        for (int level = 1; level <= 5; ++level)
            std::fprintf(out, ",%s%d_price_yuan,%s%d_volume_lots", side, level, side, level);
    }
    std::fputs(",last_tick_flag,max_inst_no\n", out);
}

void WriteCsvLine(FILE* out, int64_t arrival_ns, const KestShfeMdType& q, uint32_t trading_date) {
    char id[sizeof q.inst_id + 1];
    std::memcpy(id, q.inst_id, sizeof q.inst_id);
    id[sizeof q.inst_id] = '\0';
    for (char* c = id; *c != '\0'; ++c) {
        if (*c == ',' || *c == '"' || *c == '\n' || *c == '\r') *c = '?';  // keep the line a line
    }
    const uint32_t t = q.update_time;
    std::fprintf(out, "%" PRId64 ",%u,%u,%s,%02u:%02u:%02u.%03u,%u,%u", arrival_ns, trading_date, q.inst_no,
                 id, t / 10000 % 100, t / 100 % 100, t % 100, q.update_milli_sec % 1000u, q.type,
                 q.change_no);
    PutPrice(out, q.last_px);
    std::fprintf(out, ",%u", q.volume);
    PutPrice(out, q.turnover);
    std::fprintf(out, ",%" PRId64, q.open_interest);
    const int32_t bid_px[5] = {q.bid1_px, q.bid2_px, q.bid3_px, q.bid4_px, q.bid5_px};
    const uint32_t bid_vol[5] = {q.bid1_vol, q.bid2_vol, q.bid3_vol, q.bid4_vol, q.bid5_vol};
    const int32_t ask_px[5] = {q.ask1_px, q.ask2_px, q.ask3_px, q.ask4_px, q.ask5_px};
    const uint32_t ask_vol[5] = {q.ask1_vol, q.ask2_vol, q.ask3_vol, q.ask4_vol, q.ask5_vol};
    for (int i = 0; i < 5; ++i) {
        PutPrice(out, bid_px[i]);
        std::fprintf(out, ",%u", bid_vol[i]);
    }
    for (int i = 0; i < 5; ++i) {
        PutPrice(out, ask_px[i]);
        std::fprintf(out, ",%u", ask_vol[i]);
    }
    std::fprintf(out, ",%u,%u\n", q.last_tick_flag ? 1u : 0u, q.max_inst_no);
}

}  // namespace kest_rec

namespace kest_rec {

void WriteJsonLine(FILE* out, int64_t arrival_ns, const KestShfeMdType& q, uint32_t trading_date) {
    char id[sizeof q.inst_id + 1];
    std::memcpy(id, q.inst_id, sizeof q.inst_id);
    id[sizeof q.inst_id] = '\0';
    for (char* c = id; *c != '\0'; ++c) {
        if (*c == '"' || *c == '\\' || static_cast<unsigned char>(*c) < 0x20 ||
            static_cast<unsigned char>(*c) > 0x7e)
            *c = '?';  // keep the line valid JSON whatever the bytes
    }
    const uint32_t t = q.update_time;
    std::fprintf(out,
                 "{\"arrival_ns\":%" PRId64
                 ",\"trading_date\":%u,\"inst_no\":%u,\"inst_id\":\"%s\","
                 "\"update_time\":\"%02u:%02u:%02u.%03u\",\"type\":%u,\"change_no\":%u",
                 arrival_ns, trading_date, q.inst_no, id, t / 10000 % 100, t / 100 % 100, t % 100,
                 q.update_milli_sec % 1000u, q.type, q.change_no);
    PutPrice(out, q.last_px, ",\"last_price\":");
    std::fprintf(out, ",\"volume\":%u", q.volume);
    PutPrice(out, q.turnover, ",\"turnover\":");
    std::fprintf(out, ",\"open_interest\":%" PRId64, q.open_interest);
    const int32_t* px[2] = {&q.bid1_px, &q.ask1_px};
    const char* side[2] = {"bid", "ask"};
    for (int s = 0; s < 2; ++s) {
        for (int i = 0; i < 5; ++i) {
            int32_t p;
            uint32_t v;
            std::memcpy(&p, reinterpret_cast<const char*>(px[s]) + 8 * i, 4);
            std::memcpy(&v, reinterpret_cast<const char*>(px[s]) + 8 * i + 4, 4);
            char key[32];
            std::snprintf(key, sizeof key, ",\"%s%d_price\":", side[s], i + 1);
            PutPrice(out, p, key);
            std::fprintf(out, ",\"%s%d_volume\":%u", side[s], i + 1, v);
        }
    }
    std::fprintf(out, ",\"last_tick_flag\":%u,\"max_inst_no\":%u}\n", q.last_tick_flag ? 1u : 0u,
                 q.max_inst_no);
}

}  // namespace kest_rec

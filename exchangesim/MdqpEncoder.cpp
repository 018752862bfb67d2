#include "exchangesim/MdqpEncoder.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "exchangesim/Rng.h"

namespace kest_exch {
namespace {

using Kest_U50::MDQP_NO_VALUE;

double PriceOrMarker(bool present, int64_t h) { return present ? HundredthsToDouble(h) : MDQP_NO_VALUE; }

class MessageWriter {
public:
    explicit MessageWriter(std::vector<uint8_t>& out) : out_(out) {}

    void Begin(uint8_t flag) {
        start_ = out_.size();
        mdqp_t h{};
        h.flag = flag;
        h.type_id = MDQP_TYPE_SNAPSHOT;
        Append(&h, sizeof h);
    }
    size_t Length() const { return out_.size() - start_ - sizeof(mdqp_t); }

    template <typename T>
    void Field(uint16_t id, const T& payload) {
        RawField(id, &payload, sizeof payload);
    }
    void RawField(uint16_t id, const void* payload, size_t size) {
        field_t f{id, static_cast<uint16_t>(size)};
        Append(&f, sizeof f);
        Append(payload, size);
    }
    // Returns the finished message's [offset, size].
    void End(size_t& offset, size_t& size) {
        const uint16_t len = static_cast<uint16_t>(Length());
        std::memcpy(out_.data() + start_ + offsetof(mdqp_t, length), &len, sizeof len);
        offset = start_;
        size = out_.size() - start_;
    }

private:
    void Append(const void* p, size_t n) {
        const uint8_t* b = static_cast<const uint8_t*>(p);
        out_.insert(out_.end(), b, b + n);
    }
    std::vector<uint8_t>& out_;
    size_t start_ = 0;
};

size_t InstrumentBytes(const Instrument& in) {
    return sizeof(field_t) * 2 + sizeof(inst_info_t) + sizeof(deal_info_t) +
           static_cast<size_t>(in.bid_levels + in.ask_levels) * (sizeof(field_t) + sizeof(price_detail_t));
}

void WriteInstrument(MessageWriter& w, const Instrument& in) {
    w.Field(MDQP_FIELD_INST_INFO, MakeInstInfo(in));
    w.Field(MDQP_FIELD_DEAL_INFO, MakeDealInfo(in));
    for (int i = 0; i < in.bid_levels; ++i)
        w.Field(MDQP_FIELD_PRICE_DETAIL, MakePriceDetail(in.inst_no, '0', in.bid[i]));
    for (int i = 0; i < in.ask_levels; ++i)
        w.Field(MDQP_FIELD_PRICE_DETAIL, MakePriceDetail(in.inst_no, '1', in.ask[i]));
}

const uint16_t kSkippedIds[] = {0x0031, 0x0032, 0x0104, 0x1002, 0x1003};

void WriteSkippedField(MessageWriter& w, Rng& rng) {
    uint8_t junk[24];
    const size_t n = static_cast<size_t>(rng.Range(0, sizeof junk));
    for (size_t i = 0; i < n; ++i) junk[i] = static_cast<uint8_t>(rng.Next());
    w.RawField(kSkippedIds[rng.Range(0, 4)], junk, n);
}

}  // namespace

inst_info_t MakeInstInfo(const Instrument& in) {
    inst_info_t f;
    std::memset(&f, 0, sizeof f);
    std::memcpy(f.inst_id, in.inst_id.data(), std::min(in.inst_id.size(), sizeof f.inst_id));
    std::memcpy(f.underlying_inst_id, in.underlying_id.data(),
                std::min(in.underlying_id.size(), sizeof f.underlying_inst_id));
    f.product_class = in.product_class;
    f.strike_price = in.product_class == '2' ? HundredthsToDouble(in.strike) : 0.0;
    f.options_type = in.options_type;
    f.volume_multiple = in.volume_multiple;
    f.underlying_multiple = 1.0;
    f.is_trading = 1;
    std::memcpy(f.currency_id, "CNY", 4);
    f.price_tick = HundredthsToDouble(in.price_tick);
    f.codec_price = PriceOrMarker(in.has_codec_price, in.ref_price);
    f.inst_no = in.inst_no;
    return f;
}

deal_info_t MakeDealInfo(const Instrument& in) {
    deal_info_t f;
    std::memset(&f, 0, sizeof f);
    f.inst_no = in.inst_no;
    f.last_price = PriceOrMarker(in.has_last_price, in.last_price);
    f.volume = static_cast<int32_t>(in.volume);
    f.turnover = PriceOrMarker(in.has_turnover, in.turnover);
    f.open_interest = static_cast<double>(in.open_interest);
    const bool traded = in.has_last_price;
    f.highest_price = PriceOrMarker(traded, in.last_price + in.price_tick * 4);
    f.lowest_price = PriceOrMarker(traded, std::max(in.last_price - in.price_tick * 4, in.price_tick));
    f.open_price = PriceOrMarker(traded, in.pre_settlement);
    f.close_price = MDQP_NO_VALUE;
    f.settlement_price = MDQP_NO_VALUE;
    f.upper_limit_price = HundredthsToDouble(in.upper_limit);
    f.lower_limit_price = HundredthsToDouble(in.lower_limit);
    f.pre_settlement_price = HundredthsToDouble(in.pre_settlement);
    f.pre_close_price = HundredthsToDouble(in.pre_settlement);
    f.pre_open_interest = static_cast<double>(in.open_interest);
    f.pre_delta = 0.0;
    f.curr_delta = MDQP_NO_VALUE;
    std::memcpy(f.action_day, "20250106", 9);
    std::snprintf(f.update_time, sizeof f.update_time, "%02u:%02u:%02u", in.update_time / 10000 % 100,
                  in.update_time / 100 % 100, in.update_time % 100);
    f.update_mill_sec = static_cast<int32_t>(in.update_mill_sec);
    f.change_no = static_cast<int32_t>(in.change_no);
    return f;
}

price_detail_t MakePriceDetail(int32_t inst_no, char direction, const BookLevel& level) {
    price_detail_t f;
    std::memset(&f, 0, sizeof f);
    f.inst_no = inst_no;
    f.direction = direction;
    f.price = HundredthsToDouble(level.price);
    f.volume = static_cast<int32_t>(level.volume);
    return f;
}

EncodedSnapshot EncodeSnapshot(const Universe& universe, const EncoderOptions& opt) {
    EncodedSnapshot snap;
    Rng rng(MixSeed(opt.seed, 0xE0C0 + static_cast<uint64_t>(universe.Feed())));
    const auto& insts = universe.Instruments();
    std::vector<int32_t> order(insts.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int32_t>(i);
    if (opt.shuffle) {
        for (size_t i = order.size(); i > 1; --i) {
            std::swap(order[i - 1], order[static_cast<size_t>(rng.Range(0, static_cast<int64_t>(i) - 1))]);
        }
    }
    const int min_per = std::max(1, opt.min_insts_per_message);
    const int max_per = std::max(min_per, opt.max_insts_per_message);
    const size_t limit = 65535;

    // Plan the messages: groups of consecutive instruments of `order`.
    std::vector<std::pair<size_t, size_t>> groups;  // [begin, end) into order
    size_t pos = 0;
    size_t first_group_size =
        opt.instruments_in_first_message ? static_cast<size_t>(rng.Range(1, max_per)) : 0;
    first_group_size = std::min(first_group_size, order.size());
    groups.emplace_back(0, first_group_size);
    pos = first_group_size;
    const size_t big_at = opt.big_message ? 1 + static_cast<size_t>(rng.Range(0, 2)) : SIZE_MAX;
    while (pos < order.size()) {
        // The big message takes as many instruments as fit; the others a
        // random count, never more than fits (room is left for the
        // occasional skipped, unknown or padding field).
        const size_t want =
            groups.size() == big_at ? order.size() : static_cast<size_t>(rng.Range(min_per, max_per));
        size_t take = 0;
        size_t bytes = 0;
        while (take < want && pos + take < order.size()) {
            const size_t next = InstrumentBytes(insts[static_cast<size_t>(order[pos + take])]);
            if (bytes + next + (opt.skipped_fields ? 32 : 0) > limit - 64) break;
            bytes += next + (opt.skipped_fields ? 32 : 0);
            ++take;
        }
        take = std::max<size_t>(1, take);
        groups.emplace_back(pos, pos + take);
        pos += take;
    }
    if (opt.empty_final_message || groups.size() == 1) groups.emplace_back(order.size(), order.size());

    const size_t unknown_at =
        opt.unknown_field ? static_cast<size_t>(rng.Range(0, groups.size() - 1)) : SIZE_MAX;
    snap.bytes.reserve(insts.size() * 420 + 256);
    MessageWriter w(snap.bytes);
    for (size_t g = 0; g < groups.size(); ++g) {
        const bool last = g + 1 == groups.size();
        MdqpMessageInfo info;
        info.flag = last ? MDQP_FLAG_LAST : MDQP_FLAG_MORE;
        w.Begin(info.flag);
        if (g == 0) {
            snap_t s;
            s.topic_id = opt.topic_id;
            s.snap_no = opt.snap_no;
            w.Field(MDQP_FIELD_SNAP, s);
            packet_no_t pn{opt.packet_no};
            w.Field(MDQP_FIELD_PACKET_NO, pn);
        }
        for (size_t k = groups[g].first; k < groups[g].second; ++k) {
            const Instrument& in = insts[static_cast<size_t>(order[k])];
            if (opt.skipped_fields && g != big_at && rng.Chance(0.1)) WriteSkippedField(w, rng);
            WriteInstrument(w, in);
            info.inst_nos.push_back(in.inst_no);
        }
        if (g == unknown_at) {
            const uint32_t junk = static_cast<uint32_t>(rng.Next());
            w.RawField(kUnknownFieldId, &junk, sizeof junk);
        }
        if (g == big_at && opt.skipped_fields) {
            const size_t len = w.Length();
            const size_t room = limit - len - sizeof(field_t) - ((last && opt.packet_no_at_end) ? 8 : 0);
            std::vector<uint8_t> pad(room, 0);
            w.RawField(0x0104, pad.data(), pad.size());
        }
        if (last && opt.packet_no_at_end) {
            packet_no_t pn{opt.packet_no};
            w.Field(MDQP_FIELD_PACKET_NO, pn);
        }
        w.End(info.offset, info.size);
        snap.messages.push_back(std::move(info));
    }
    return snap;
}

}  // namespace kest_exch

// The MDQP decoder as the inverse of the simulated exchange's encoder: the
// input builds a set of instruments (numbers, identifiers, prices, volumes,
// book levels, with or without values) and the encoder's options; the
// encoded snapshot is decoded message by message, each message in a buffer
// of exactly its size, and every table entry must be the one the exchange's
// own model of the table gives for that instrument. A field that differs,
// a wrong count or an unfinished feed is a finding (abort).
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "SnapshotPeer.h"
#include "exchangesim/MdqpEncoder.h"
#include "exchangesim/Universe.h"

using Peer = CKestShfeMdApiImplTestPeer;

namespace {

// Little-endian numbers from the input; zeros once it is used up.
struct Reader {
    const uint8_t* data;
    size_t size, pos = 0;
    uint64_t Take(int bytes) {
        uint64_t v = 0;
        for (int i = 0; i < bytes; ++i) v |= static_cast<uint64_t>(pos < size ? data[pos++] : 0) << (8 * i);
        return v;
    }
    bool Bit() { return (Take(1) & 1) != 0; }
    bool Done() const { return pos >= size; }
};

// Values as the exchange publishes them: prices and turnover in hundredths,
// not negative, within the table's fields; doubles exact to the hundredth.
kest_exch::Instrument BuildInstrument(Reader& in, int32_t instNo) {
    kest_exch::Instrument i;
    i.inst_no = instNo;
    const size_t idLength = 1 + in.Take(1) % 31;
    for (size_t k = 0; k < idLength; ++k) i.inst_id.push_back(static_cast<char>(0x21 + in.Take(1) % 94));
    i.underlying_id = i.inst_id;
    i.product_class = in.Bit() ? '2' : '1';
    i.volume_multiple = static_cast<int32_t>(in.Take(4));
    i.price_tick = static_cast<int64_t>(in.Take(3));
    i.has_codec_price = !in.Bit();
    i.ref_price = static_cast<int64_t>(in.Take(4) & 0x7FFFFFFF);
    i.has_last_price = !in.Bit();
    i.last_price = static_cast<int64_t>(in.Take(4) & 0x7FFFFFFF);
    i.volume = static_cast<uint32_t>(in.Take(4));
    i.has_turnover = !in.Bit();
    i.turnover = static_cast<int64_t>(in.Take(6));
    i.open_interest = in.Take(6);
    i.change_no = static_cast<uint32_t>(in.Take(4));
    i.update_mill_sec = static_cast<uint32_t>(in.Take(4));
    i.update_time = static_cast<uint32_t>(in.Take(3) % 240000);
    const uint64_t levels = in.Take(1);
    i.bid_levels = static_cast<int>(levels % 6);
    i.ask_levels = static_cast<int>(levels / 6 % 6);
    for (int k = 0; k < i.bid_levels + i.ask_levels; ++k) {
        kest_exch::BookLevel& l = k < i.bid_levels ? i.bid[k] : i.ask[k - i.bid_levels];
        l.price = static_cast<int64_t>(in.Take(4) & 0x7FFFFFFF);
        l.volume = static_cast<uint32_t>(in.Take(4));
    }
    return i;
}

[[noreturn]] void Finding(const char* what, int32_t instNo, size_t offset) {
    std::fprintf(stderr, "MDQP round trip: %s (instrument %d, entry byte %zu)\n", what, instNo, offset);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static CKestShfeMdApiImpl* impl = [] {
        Kest_U50::CCommonLog::GetInstance().SetLogLevel(0);
        return Peer::Make();
    }();
    if (impl == nullptr || size < 2) return 0;

    Reader in{data, size};
    const EMDQPDataType feed = static_cast<EMDQPDataType>(in.Take(1) & 3);
    const uint64_t options = in.Take(1);
    kest_exch::EncoderOptions enc;
    enc.topic_id = kest_exch::DefaultTopicId(feed);
    enc.seed = options;
    enc.max_insts_per_message = 1 + static_cast<int>(options % 12);
    enc.skipped_fields = (options & 0x10) != 0;
    enc.unknown_field = (options & 0x20) != 0;
    enc.shuffle = (options & 0x40) != 0;
    enc.instruments_in_first_message = (options & 0x80) != 0;
    enc.empty_final_message = (options & 0x01) != 0;
    enc.packet_no_at_end = (options & 0x02) != 0;

    kest_exch::Universe universe = kest_exch::Universe::Make(feed, 1, 1);
    std::vector<kest_exch::Instrument>& insts = universe.MutableInstruments();
    insts.clear();
    // Below the feed's largest number, so that the entry past the set exists.
    const int32_t maxNo = kest_exch::IsIneFeed(feed) ? kest_exch::kIneMaxInstNo : kest_exch::kShfeMaxInstNo;
    for (int32_t no = static_cast<int32_t>(in.Take(1)); no < maxNo && insts.size() < 64;
         no += static_cast<int32_t>(1 + in.Take(1) % 64)) {
        insts.push_back(BuildInstrument(in, no));
        if (in.Done()) break;
    }
    const kest_exch::EncodedSnapshot snap = kest_exch::EncodeSnapshot(universe, enc);

    SInstTableType* table = Peer::Table(*impl, feed);
    const int32_t highest = insts.empty() ? 0 : insts.back().inst_no;
    const uint16_t port = static_cast<uint16_t>(41000 + feed);
    Peer::Restart(*impl, port, static_cast<size_t>(highest) + 2);
    for (int f = 0; f < 4; ++f) Peer::Port(*impl, f) = static_cast<uint16_t>(41000 + f);
    for (const kest_exch::MdqpMessageInfo& m : snap.messages)
        Peer::Parse(*impl, {snap.bytes.begin() + m.offset, snap.bytes.begin() + m.offset + m.size}, port);

    for (const kest_exch::Instrument& inst : insts) {
        const SInstTableType expected = kest_exch::ExpectedEntry(inst);
        const uint8_t* want = reinterpret_cast<const uint8_t*>(&expected);
        const uint8_t* got = reinterpret_cast<const uint8_t*>(&table[inst.inst_no]);
        for (size_t b = 0; b < sizeof expected; ++b)
            if (want[b] != got[b]) Finding("decoded field differs", inst.inst_no, b);
    }
    const SInstTableType empty{};
    if (std::memcmp(&table[highest + 1], &empty, sizeof empty) != 0)
        Finding("entry written past the set", highest + 1, 0);
    if (Peer::Count(*impl, feed) != static_cast<uint64_t>(highest))
        Finding("count is not the highest number", highest, 0);
    if ((Peer::Finished(*impl) & (1u << feed)) == 0)
        Finding("final message did not finish the feed", highest, 0);
    return 0;
}

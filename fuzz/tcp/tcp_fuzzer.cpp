// The snapshot reassembly against a plain reference. The input's first four
// bytes make a valid snapshot session of one feed with the simulated
// exchange; the rest says how its bytes are cut into segments and delivered:
// in order, held back, late, twice, overlapping, dropped, reset, between
// frames of other traffic. A model that knows only stream offsets says how
// far the stream is consumed in order (and whether the hold limit or a reset
// ended it); the host table must then equal the table decoded from the
// session's whole messages up to there, message by message, without any
// reassembly. Anything else is a silently different table: abort.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <vector>

#include "SnapshotPeer.h"
#include "cardlogic/DmaFraming.h"
#include "exchangesim/MdqpEncoder.h"
#include "exchangesim/TcpSegmenter.h"
#include "exchangesim/Universe.h"

using Peer = CKestShfeMdApiImplTestPeer;

namespace {

constexpr size_t kMaxPayload = 1456;  // with 80 bytes of options still fits an out-of-order node
constexpr int kHeldLimit = static_cast<int>(TCP_LOST_LIST_LIMIT);

// What the library keeps of one stream, in stream offsets: consumed in
// order up to `next`; segments ahead of a gap held (the first copy of each
// start), at most kHeldLimit insertions while the list is in use; an old or
// stale copy is dropped; one more insertion gives the stream up.
struct StreamModel {
    enum State { kOpen, kGivenUp, kReset };
    State state = kOpen;
    size_t next = 0;
    std::map<size_t, size_t> held;  // offset -> length
    int inserted = 0;

    void Arrive(size_t off, size_t len) {
        if (state != kOpen || off < next) return;
        if (off > next) {
            if (!held.empty() && inserted >= kHeldLimit) {
                state = kGivenUp;
                held.clear();
            } else if (held.emplace(off, len).second) {
                ++inserted;
            }
            return;
        }
        next += len;
        while (!held.empty() && held.begin()->first <= next) {
            if (held.begin()->first == next) next += held.begin()->second;
            held.erase(held.begin());
        }
        if (held.empty()) inserted = 0;
    }
};

struct Session {
    const kest_exch::EncodedSnapshot& snap;
    CKestShfeMdApiImpl& impl;
    kest_exch::ConnectionParams conn;
    uint8_t ipOptions, tcpOptions;
    StreamModel model;

    void Send(size_t off, size_t len, uint8_t flags = kest_exch::kTcpAck) {
        kest_exch::TcpFrameFields t =
            kest_exch::ServerSegment(conn, conn.initial_seq + static_cast<uint32_t>(off), flags);
        t.payload = snap.bytes.data() + off;
        t.payload_size = len;
        t.ip_option_bytes = ipOptions;
        t.tcp_option_bytes = tcpOptions;
        Handle(kest_exch::BuildTcpFrame(t));
        if ((flags & kest_exch::kTcpRst) != 0 && (flags & kest_exch::kTcpAck) != 0) {
            if (model.next < snap.bytes.size())
                model.state = StreamModel::kReset;  // after the end: nothing to lose
        } else if (off == 0 && model.next == 0) {
            model.next = len;  // the opening segment
        } else {
            model.Arrive(off, len);  // a reset without ACK is an ordinary segment
        }
    }
    void Handle(const std::vector<uint8_t>& frame) {
        Peer::Handle(impl, kest_cardlogic::ToDmaMessage(frame));
    }
};

size_t SegmentSize(uint8_t a) {  // a in 0..31: single bytes, header-sized pieces, whole segments
    if (a < 8) return a + 1u;
    if (a < 16) return (a - 7u) * 40u;
    return (a - 15u) * 91u;
}

[[noreturn]] void Finding(const char* what) {
    std::fprintf(stderr, "reassembly oracle: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static CKestShfeMdApiImpl* impl = [] {
        Kest_U50::CCommonLog::GetInstance().SetLogLevel(0);
        return Peer::Make();
    }();
    static CKestShfeMdApiImpl* reference = Peer::Make();
    if (impl == nullptr || reference == nullptr) return 0;
    if (size < 4) return 0;

    // The session: feed, universe size and seed, encoder options, frame options.
    const EMDQPDataType feed = static_cast<EMDQPDataType>(data[0] & 3);
    const int32_t instruments = 1 + data[1] % 48;
    kest_exch::Universe universe = kest_exch::Universe::Make(feed, data[2], instruments);
    kest_exch::EncoderOptions enc;
    enc.topic_id = kest_exch::DefaultTopicId(feed);
    enc.seed = data[2];
    enc.max_insts_per_message = 1 + data[3] % 12;
    enc.skipped_fields = (data[0] & 0x20) != 0;
    enc.instruments_in_first_message = (data[0] & 0x40) != 0;
    enc.shuffle = (data[0] & 0x80) != 0;
    enc.unknown_field = (data[3] & 0x10) != 0;
    enc.empty_final_message = (data[3] & 0x20) != 0;
    enc.packet_no_at_end = (data[3] & 0x40) != 0;
    const kest_exch::EncodedSnapshot snap = kest_exch::EncodeSnapshot(universe, enc);
    const size_t total = snap.bytes.size();

    Session s{snap,
              *impl,
              {},
              static_cast<uint8_t>((data[0] & 0x04) != 0 ? 12 : 0),
              static_cast<uint8_t>((data[0] & 0x08) != 0 ? 40 : 0),
              {}};
    s.conn.server_port = kest_exch::DefaultSnapshotPort(feed);
    s.conn.client_port = static_cast<uint16_t>(41000 + data[2]);
    s.conn.initial_seq = (data[0] & 0x10) != 0 ? 0xFFFFFFFFu - static_cast<uint32_t>(total / 2) : 1000000u;
    const uint8_t bit = static_cast<uint8_t>(1u << feed);

    // The deliveries. Each byte: kind (low 3 bits) and argument (0..31).
    struct Piece {
        size_t off, len;
    };
    std::vector<Piece> sent, heldBack;
    size_t cut = 0;
    kest_exch::Rng foreign(data[1]);
    auto newPiece = [&](uint8_t a) {
        const size_t len = std::min({SegmentSize(a), total - cut, kMaxPayload});
        const Piece p{cut, cut == 0 ? std::max<size_t>(len, 45) : len};
        cut += p.len;
        return p;
    };
    s.Send(0, newPiece(data[3] >> 3).len);
    sent.push_back({0, cut});
    for (size_t i = 4; i < size && s.model.state == StreamModel::kOpen; ++i) {
        const uint8_t kind = data[i] & 7, a = data[i] >> 3;
        if (kind <= 3 && cut < total) {  // the next piece, in order of the stream
            const Piece p = newPiece(a);
            s.Send(p.off, p.len);
            sent.push_back(p);
        } else if (kind == 4 && cut < total) {  // the next piece, held back (late or lost)
            heldBack.push_back(newPiece(a));
        } else if (kind == 5 && !heldBack.empty()) {
            if (a == 31) {
                heldBack.clear();  // lost for good
                continue;
            }
            const size_t k = a % heldBack.size();
            const Piece p = heldBack[k];
            s.Send(p.off, p.len);
            sent.push_back(p);
            if (a < 16) heldBack.erase(heldBack.begin() + static_cast<long>(k));  // else it comes again
        } else if (kind == 6) {                                                   // a copy of a recent piece
            const Piece p = sent[sent.size() - 1 - a % sent.size()];
            s.Send(p.off, p.len);
        } else if (kind == 7 && a == 31) {
            s.Send(cut, 0, kest_exch::kTcpRst | kest_exch::kTcpAck);
        } else if (kind == 7 && a == 30) {
            s.Handle(kest_exch::BuildForeignFrame(foreign, &s.conn));
        } else if (kind == 7 && a == 29 && cut < total) {  // RST without ACK: an ordinary segment
            const Piece p = newPiece(a);
            s.Send(p.off, p.len, kest_exch::kTcpRst);
            sent.push_back(p);
        } else if (kind == 7) {  // a retransmission cut anew: from an earlier piece's start over later bytes
            const Piece from = sent[sent.size() - 1 - a % std::min<size_t>(sent.size(), 4)];
            const size_t len = std::min({SegmentSize(a), total - from.off, kMaxPayload});
            s.Send(from.off, len);
            sent.push_back({from.off, len});
            cut = std::max(cut, from.off + len);
        }
    }
    // What is left comes late and then in full segments; one keep-alive ends it.
    for (const Piece& p : heldBack) {
        if (s.model.state == StreamModel::kOpen) s.Send(p.off, p.len);
    }
    while (cut < total && s.model.state == StreamModel::kOpen) {
        const Piece p = newPiece(31);
        s.Send(p.off, p.len);
    }
    if (s.model.state == StreamModel::kOpen) s.Send(total - 1, 0);

    // The reference: the session's whole messages up to where the stream was consumed.
    Peer::Port(*reference, feed) = s.conn.client_port;
    for (const kest_exch::MdqpMessageInfo& m : snap.messages) {
        if (m.offset + m.size > s.model.next) break;
        Peer::Parse(*reference, {snap.bytes.begin() + m.offset, snap.bytes.begin() + m.offset + m.size},
                    s.conn.client_port);
    }
    const size_t entries = static_cast<size_t>(universe.Size()) + 1;
    if (std::memcmp(Peer::Table(*impl, feed), Peer::Table(*reference, feed),
                    entries * sizeof(SInstTableType)) != 0)
        Finding("table differs from the uncut session's");
    if (Peer::Count(*impl, feed) != Peer::Count(*reference, feed)) Finding("instrument count differs");
    const bool complete = s.model.state == StreamModel::kOpen && s.model.next == total;
    if (((Peer::Finished(*impl) & bit) != 0) != complete)
        Finding("feed finished when it should not be, or not");
    if (Peer::TablesWritten(*impl)) Finding("tables written before every feed finished");
    const bool registered = Peer::Port(*impl, feed) == s.conn.client_port;
    if (registered != (s.model.state == StreamModel::kOpen && !complete))
        Finding("feed registration is wrong");
    if (s.model.state != StreamModel::kOpen && Peer::SlotOpen(*impl, s.conn.client_port))
        Finding("a given-up or reset stream keeps its slot");

    Peer::Restart(*impl, s.conn.client_port, entries);
    Peer::Restart(*reference, s.conn.client_port, entries);
    return 0;
}

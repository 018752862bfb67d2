// Encodes a feed's snapshot as the snapshot server writes it on its TCP
// connection: a run of MDQP messages, little-endian and packed.
//
// Layout: the first message (flag 0x11, type '2') opens with the snapshot
// identification (0x1001: topic id, snapshot number) and the packet number
// (0x1004); the following messages carry instruments, each as 0x0101, 0x0102
// and its 0x0103 price details (bids best first, then asks best first); the
// last message has flag 0x01.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "exchangesim/Universe.h"

namespace kest_exch {

struct EncoderOptions {
    int16_t topic_id = 1000;
    int32_t snap_no = 1;
    int32_t packet_no = 1;
    uint64_t seed = 1;
    int min_insts_per_message = 1;
    int max_insts_per_message = 12;
    // First message also carries instruments after its 0x1001 and 0x1004.
    bool instruments_in_first_message = false;
    // One message is filled up to the 65535-byte length limit (exactly, when
    // skipped fields may pad it).
    bool big_message = false;
    // Sprinkle fields the host skips (0x0031, 0x0032, 0x0104, 0x1002, 0x1003).
    bool skipped_fields = false;
    // One field with an id the host does not know.
    bool unknown_field = false;
    // The final message carries no instrument.
    bool empty_final_message = false;
    // Repeat the packet number as the last field of the final message.
    bool packet_no_at_end = false;
    // Encode instruments in a shuffled order rather than by number.
    bool shuffle = false;
};

struct MdqpMessageInfo {
    size_t offset = 0;  // in the stream
    size_t size = 0;    // header included (= length + 8)
    uint8_t flag = 0;
    std::vector<int32_t> inst_nos;  // instruments it carries, in order
};

struct EncodedSnapshot {
    std::vector<uint8_t> bytes;
    std::vector<MdqpMessageInfo> messages;
};

EncodedSnapshot EncodeSnapshot(const Universe& universe, const EncoderOptions& opt);

constexpr uint16_t kUnknownFieldId = 0x0777;
constexpr size_t kMaxMdqpMessage = 65535 + sizeof(mdqp_t);

// Field payloads as the exchange fills them (exposed for the fuzz corpora
// and for tests that build single messages).
inst_info_t MakeInstInfo(const Instrument& inst);
deal_info_t MakeDealInfo(const Instrument& inst);
price_detail_t MakePriceDetail(int32_t inst_no, char direction, const BookLevel& level);

}  // namespace kest_exch

// Writes a feed's snapshot to files, one per message, for fuzz corpora:
// either the card's DMA_TCP messages of the mirrored connection or the bare
// MDQP messages of the stream.
#pragma once

#include <cstdint>
#include <string>

#include "cardlogic/DmaFraming.h"
#include "exchangesim/MdqpEncoder.h"
#include "exchangesim/TcpSegmenter.h"

namespace kest_cardlogic {

struct CorpusOptions {
    std::string out_dir;
    EMDQPDataType feed = SHFE_2PS;
    uint64_t seed = 1;
    int32_t universe_size = 0;  // 0: the feed's default
    kest_exch::FaultPlan faults;
    bool mdqp = false;                  // bare MDQP messages instead of DMA messages
    size_t max_files = 0;               // 0: all
    kest_exch::EncoderOptions encoder;  // topic_id 0 takes the feed's default
    uint16_t snapshot_port = 0;         // 0: the feed's default
};

// Returns the number of files written, or -1 with a reason in *error.
long WriteCorpus(const CorpusOptions& opt, std::string* error = nullptr);

}  // namespace kest_cardlogic

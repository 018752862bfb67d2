// Plays a recording into one channel of a model card as the card's own
// quote messages (DMA_UDP, the 152 recorded bytes unchanged), in the recorded
// order, at the recorded pace, at a multiple of it, or as fast as the ring
// takes them. A full ring is waited on, never skipped: a replay loses nothing.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "kest_cardsim.h"

namespace kest_sim {

struct ReplayOptions {
    int channel = 0;
    double speed = 1.0;  // recorded pace times this; 0: as fast as the ring takes them
};

struct ReplayResult {
    uint64_t records = 0;         // pushed into the ring
    uint64_t trailing_bytes = 0;  // ignored at the ends of files (a recorder stopped mid-block)
    double seconds = 0;           // from the first push to the last
    bool stopped = false;         // *stop ended it early
    std::string error;            // a file that could not be read; nothing pushed from it
};

// Reads the files in order (a rotated recording: PATH, PATH.1, ...) and
// pushes every record. Runs on the calling thread until done or *stop.
ReplayResult Replay(Card& card, const std::vector<std::string>& files, const ReplayOptions& opt,
                    const std::atomic<bool>* stop);

}  // namespace kest_sim

// Plays recordings into one channel of a model card as the card's own quote
// messages (DMA_UDP, the 152 recorded bytes unchanged), in the recorded
// order, at the recorded pace, at a multiple of it, or as fast as the ring
// takes them. A full ring is waited on, never skipped: a replay loses nothing.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "kest_cardsim.h"

namespace kest_cardlogic {

// A bound of a replay's time window, on one of the two clocks a record has.
struct ReplayTime {
    enum class Clock { kNone, kArrival, kExchange };
    Clock clock = Clock::kNone;  // kNone: no bound
    // kArrival: ns since the epoch (the recording's arrival time);
    // kExchange: ms since midnight of the quote's update time.
    int64_t value = 0;
};

// "HH:MM[:SS[.mmm]]": an exchange time of day; anything else an arrival time
// as kest_rec::ParseTime reads it (a time without a zone is China Standard
// Time). false, with *why, for what is neither.
bool ParseReplayTime(const std::string& text, ReplayTime* out, std::string* why);

struct ReplayOptions {
    int channel = 0;
    double speed = 1.0;  // recorded pace times this; 0: as fast as the ring takes them
    // Only records from `from` (inclusive) to `to` (exclusive), each on its
    // own clock (arrivals as kest_rec::TimeWindow takes them); exchange times
    // with from after to span midnight (a night session).
    ReplayTime from, to;
    std::vector<std::string> contracts;  // instrument identifiers played; empty: all
};

struct ReplayResult {
    uint64_t records = 0;         // pushed into the ring
    uint64_t left_out = 0;        // outside the time window or the contracts
    uint64_t skipped = 0;         // damaged entries not played (a cut one at a file's end included)
    uint64_t trailing_bytes = 0;  // ignored at the ends of files (a recorder stopped mid-block)
    double seconds = 0;           // from the first push to the last
    bool stopped = false;         // *stop ended it early
    std::string error;            // a file that could not be read; nothing pushed from it
};

// Reads the files in order (ReplayFiles makes the list) and pushes every
// record the options select, in batches. Runs on the calling thread until
// done or *stop. At full speed a record costs no clock read, allocation or
// system call: the files are mapped, and records go to the ring straight from
// the mapping in batches that the consumer sees complete at once.
ReplayResult Replay(kest_sim::Card& card, const std::vector<std::string>& files, const ReplayOptions& opt,
                    const std::atomic<bool>* stop);

}  // namespace kest_cardlogic

// The card's running logic over the software model of one card: it watches
// the registers the host writes and plays the card's part in each phase.
//
//  - Snapshot phase (0x1000 holds 0xF): the exchange's snapshot connections of
//    all feeds are mirrored to channel 0 as DMA_TCP messages, round after
//    round (fresh connections each time), with keep-alives in between, until
//    the host leaves the phase.
//  - Live phase: a block (2ps: SHFE_2PS + INE_2PS, 4ps: SHFE_4PS + INE_4PS)
//    runs once its logical-start register holds 1 and 0x1000 holds 0; its
//    feeds with a non-zero line A or B address are live. Each exchange packet
//    arrives on lines A and B, is arbitrated by packet number, updates the
//    instrument's entry in the card's table and becomes one DMA_UDP quote on
//    every channel whose bit is set in word 0 of the entry. A packet missing
//    on both lines raises a lost-packet event on every channel.
//  - A write of 1 to 0x0010 (the model clears the logical starts) stops the
//    live phase; the next bring-up goes through the phases again.
//
// Runs as a thread (Start/Stop), or is driven step by step by a test (Step).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "cardlogic/CardBook.h"
#include "cardlogic/LineArbiter.h"
#include "exchangesim/LiveFeed.h"
#include "exchangesim/Market.h"
#include "exchangesim/MdqpEncoder.h"
#include "exchangesim/SnapshotMirror.h"
#include "exchangesim/TcpSegmenter.h"
#include "exchangesim/Universe.h"
#include "kest_cardsim.h"

namespace kest_cardlogic {

struct LiveCardOptions {
    uint32_t card_index = 0;
    uint64_t seed = 1;
    int32_t shfe_size = 0;  // instruments per SHFE feed; 0: 4000
    int32_t ine_size = 0;   // instruments per INE feed; 0: 900

    // Snapshot phase.
    uint8_t snapshot_feeds = 0x0F;  // feed bits whose snapshot connections are mirrored
    kest_exch::FaultPlan snapshot_faults;
    kest_exch::EncoderOptions encoder;  // topic id, numbers and seed are set per feed and round
    int16_t topic_ids[4] = {1000, 1101, 5000, 5101};
    uint16_t snapshot_ports[4] = {33022, 22000, 33022, 22000};
    int keepalive_interval_ms = 10;
    int round_interval_ms = 3000;  // keep-alives this long, then a new round

    // Live phase.
    kest_exch::LineFaults line_a;
    kest_exch::LineFaults line_b;
    double gap = 0;                   // chance per packet of a gap on both lines
    double updates_per_second = 200;  // the market's order flow per exchange, per second of exchange time
    bool free_run = true;             // the thread runs the market on the clock
    int64_t clock_start_ms = 0;       // simulated clock at start; 0: the wall clock
    double clock_speed = 1;           // exchange seconds per real second, when free running
    bool sessions = false;            // trade in the exchange's sessions; false: around the clock
    double limit_shock = 2e-8;        // chance per product and 250 ms of a jump to a limit
};

class LiveCard {
public:
    // nullptr when the card cannot be opened (it must exist).
    static std::unique_ptr<LiveCard> Open(const LiveCardOptions& opt);
    ~LiveCard();
    LiveCard(const LiveCard&) = delete;
    LiveCard& operator=(const LiveCard&) = delete;

    bool Start();  // the thread; false if already running
    void Stop();
    bool Running() const { return thread_.joinable(); }

    // --- Hooks for tests and tools --------------------------------------
    // Reacts to the registers, then runs n exchange packets of every live
    // feed on the calling thread, moving the clock on by the market's slices
    // of 250 ms as far as needed. Returns the packets made. Not during the
    // snapshot phase (nothing is live then).
    size_t Step(uint32_t n);
    // The next `count` packets of `feed` are missing on both lines.
    void InjectGap(EMDQPDataType feed, uint32_t count = 1);
    void SetClock(int64_t epoch_ms);
    int64_t ClockMs() const { return clock_ms_.load(std::memory_order_relaxed); }

    uint64_t QuotesWritten(int channel) const;                      // accepted by the channel's ring
    uint64_t QuotesRefused(int channel) const;                      // refused: ring full
    uint64_t QuotesFor(EMDQPDataType feed, int32_t inst_no) const;  // accepted, all channels
    uint64_t EventsWritten(int channel) const;
    uint64_t Updates(EMDQPDataType feed) const;     // packets applied to the book
    uint64_t Gaps(EMDQPDataType feed) const;        // packets missing on both lines
    uint64_t Duplicates(EMDQPDataType feed) const;  // second copies dropped
    uint64_t FramesMirrored() const { return frames_mirrored_.load(std::memory_order_relaxed); }
    uint32_t SnapshotRounds() const { return snapshot_rounds_.load(std::memory_order_relaxed); }
    bool BlockRunning(int block) const;  // 0: 2ps, 1: 4ps
    bool FeedLive(EMDQPDataType feed) const;

    // The exchange's current state of a feed. Stable while no packet runs
    // (before Start, after Stop, or between Step calls without a thread).
    const kest_exch::Universe& Exchange(EMDQPDataType feed) const { return live_[feed]->Current(); }
    // The market of SHFE (0) or INE (1) that both feeds of the exchange carry.
    const kest_exch::Market& ExchangeMarket(int exchange) const { return *markets_[exchange]; }
    kest_sim::Card& Model() { return *card_; }
    const LiveCardOptions& Options() const { return opt_; }

private:
    struct FeedState {
        bool live = false;
        LineArbiter arbiter;
        std::vector<SInstTableType> book;  // the card's table entries, as the card keeps them
        QuoteContext ctx;
        uint32_t last_tick_channel = 0xFFFFFFFFu;
        std::vector<kest_exch::LiveUpdate> line_a, line_b;
    };
    class Sink;

    LiveCard(const LiveCardOptions& opt, std::unique_ptr<kest_sim::Card> card);
    void Loop();
    void React();  // with mu_ held
    void StartBlock(int block);
    // The pace just set (run_base_ms_ at run_base_), in the card's segment
    // for recorders on the host; left as it is while no block runs (the
    // clock stands still then, and the next start publishes its pace anew).
    void PublishClock();
    void StopBlock(int block);
    bool ProduceOne(EMDQPDataType feed);
    void AdvanceMarkets(int64_t target_ms);  // with mu_ held
    void Apply(EMDQPDataType feed, const kest_exch::LiveUpdate& u);
    void RaiseLost(EMDQPDataType feed, uint32_t packet_no);
    void FreeRun();
    void MirrorWhileSnapshot();
    bool SnapshotModeOn() const;
    bool PushFrame(const std::vector<uint8_t>& frame, bool block);

    LiveCardOptions opt_;
    std::unique_ptr<kest_sim::Card> card_;
    std::unique_ptr<kest_exch::LiveFeed> live_[4];
    std::unique_ptr<kest_exch::Market> markets_[2];  // SHFE, INE
    int64_t next_slice_end_ = 0;  // exchange time of the markets' next slice; 0: not yet placed
    std::vector<int32_t> fast_, slow_;
    FeedState feeds_[4];

    std::mutex mu_;  // live state: between the thread and the hooks
    bool block_running_[2] = {false, false};
    uint64_t card_starts_seen_ = 0;
    uint64_t mirror_sessions_ = 0;
    uint16_t next_client_port_ = 41000;

    // Free-running pace.
    int64_t run_base_ms_ = 0;  // clock when the pace was set
    std::chrono::steady_clock::time_point run_base_;
    bool clock_set_ = false;  // SetClock was called: the clock no longer follows the wall (under mu_)

    std::thread thread_;
    // Written by Stop() on the caller's thread, read by the card thread (and
    // by PushA2cBlocking on it): the release store pairs with the acquire loads.
    std::atomic<bool> stop_{false};
    // Written under mu_ by the card thread or a hook; read lock-free by
    // ClockMs(). Relaxed: a plain value with no data published through it.
    std::atomic<int64_t> clock_ms_{0};

    // Statistics: written by whichever thread runs the card logic (under
    // mu_ or on the card thread), read by tests; relaxed counters, nothing
    // is published through them.
    std::atomic<uint64_t> quotes_ok_[kest_sim::kChannels] = {};
    std::atomic<uint64_t> quotes_refused_[kest_sim::kChannels] = {};
    std::atomic<uint64_t> events_ok_[kest_sim::kChannels] = {};
    std::unique_ptr<std::atomic<uint64_t>[]> per_inst_;  // 4 x 4096
    std::atomic<uint64_t> updates_[4] = {};
    std::atomic<uint64_t> gaps_[4] = {};
    std::atomic<uint64_t> dups_[4] = {};
    std::atomic<uint64_t> frames_mirrored_{0};
    std::atomic<uint32_t> snapshot_rounds_{0};
    // Mirrors block_running_ and FeedState::live for lock-free readers.
    std::atomic<bool> block_flag_[2] = {};
    std::atomic<bool> live_flag_[4] = {};
};

}  // namespace kest_cardlogic

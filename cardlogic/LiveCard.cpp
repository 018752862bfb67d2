#include "cardlogic/LiveCard.h"

#include <unistd.h>

#include <cstring>

#include "FpgaDataType.h"
#include "FpgaRegisterCommon.h"
#include "cardlogic/DmaFraming.h"

namespace kest_cardlogic {

namespace R = Kest_U50::Reg;

namespace {

constexpr EMDQPDataType kBlockFeeds[2][2] = {{SHFE_2PS, INE_2PS}, {SHFE_4PS, INE_4PS}};

int BlockOf(EMDQPDataType feed) { return feed == SHFE_4PS || feed == INE_4PS ? 1 : 0; }

uint32_t BlockReg(uint32_t reg_2ps, int block) { return reg_2ps + (block ? R::BLOCK_4PS_OFFSET : 0); }

int64_t WallMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

class LiveCard::Sink : public ArbiterSink {
public:
    Sink(LiveCard& card, EMDQPDataType feed) : card_(card), feed_(feed) {}
    void Deliver(const kest_exch::LiveUpdate& u) override { card_.Apply(feed_, u); }
    void Gap(uint32_t packet_no) override { card_.RaiseLost(feed_, packet_no); }

private:
    LiveCard& card_;
    EMDQPDataType feed_;
};

std::unique_ptr<LiveCard> LiveCard::Open(const LiveCardOptions& opt) {
    std::unique_ptr<kest_sim::Card> card = kest_sim::Card::Open(opt.card_index);
    if (!card) return nullptr;
    return std::unique_ptr<LiveCard>(new LiveCard(opt, std::move(card)));
}

LiveCard::LiveCard(const LiveCardOptions& opt, std::unique_ptr<kest_sim::Card> card)
    : opt_(opt), card_(std::move(card)), per_inst_(new std::atomic<uint64_t>[4 * Kest_U50::INST_TABLE_SIZE]) {
    for (int i = 0; i < 4 * Kest_U50::INST_TABLE_SIZE; ++i) per_inst_[i].store(0, std::memory_order_relaxed);
    for (int f = 0; f < 4; ++f) {
        const auto feed = static_cast<EMDQPDataType>(f);
        const kest_exch::Universe u = kest_exch::Universe::Make(
            feed, opt_.seed, kest_exch::IsIneFeed(feed) ? opt_.ine_size : opt_.shfe_size);
        kest_exch::LiveFeedOptions lo;
        lo.seed = kest_exch::MixSeed(opt_.seed, 0x4C00 + static_cast<uint64_t>(f));
        lo.line_a = opt_.line_a;
        lo.line_b = opt_.line_b;
        lo.gap = opt_.gap;
        live_[f].reset(new kest_exch::LiveFeed(u, lo));
        if (f == SHFE_2PS || f == INE_2PS) {
            kest_exch::MarketOptions mo;
            mo.seed = opt_.seed;
            mo.rate = opt_.updates_per_second;
            mo.sessions = opt_.sessions;
            mo.shock = opt_.limit_shock;
            markets_[kest_exch::IsIneFeed(feed) ? 1 : 0].reset(new kest_exch::Market(u, mo));
        }
        feeds_[f].line_a.reserve(8);
        feeds_[f].line_b.reserve(8);
    }
    clock_ms_.store(opt_.clock_start_ms ? opt_.clock_start_ms : WallMs(), std::memory_order_relaxed);
    run_base_ms_ = clock_ms_.load(std::memory_order_relaxed);
    run_base_ = std::chrono::steady_clock::now();
    card_starts_seen_ = card_->Stats().card_starts;
}

LiveCard::~LiveCard() { Stop(); }

bool LiveCard::Start() {
    if (thread_.joinable()) return false;
    // Release pairs with the card thread's acquire loads.
    stop_.store(false, std::memory_order_release);
    thread_ = std::thread([this] { Loop(); });
    return true;
}

void LiveCard::Stop() {
    // Release pairs with the card thread's acquire loads of stop_.
    stop_.store(true, std::memory_order_release);
    if (thread_.joinable()) {
        thread_.join();
        card_->PublishExchangeClock(0, 0, 0);  // the logic that ran the clock is gone
    }
}

bool LiveCard::SnapshotModeOn() const { return card_->ReadReg(R::SNAPSHOT_MODE) == R::SNAPSHOT_MODE_ON; }

void LiveCard::Loop() {
    // Acquire pairs with Stop()'s release store.
    while (!stop_.load(std::memory_order_acquire)) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            React();
        }
        if (SnapshotModeOn()) {
            MirrorWhileSnapshot();
            continue;
        }
        if (opt_.free_run) {
            std::lock_guard<std::mutex> lock(mu_);
            FreeRun();
        }
        usleep(1000);
    }
}

void LiveCard::React() {
    // A host write of 1 to 0x0010 restarts the logic: whatever ran stops,
    // even if the logical starts are back at 1 before we look again.
    const uint64_t starts = card_->Stats().card_starts;
    if (starts != card_starts_seen_) {
        card_starts_seen_ = starts;
        for (int b = 0; b < 2; ++b) StopBlock(b);
    }
    const bool live_mode = card_->ReadReg(R::SNAPSHOT_MODE) == 0;
    for (int b = 0; b < 2; ++b) {
        const bool want = live_mode && card_->ReadReg(BlockReg(R::LOGIC_START_2PS, b)) == 1;
        if (want && !block_running_[b]) StartBlock(b);
        if (!want && block_running_[b]) StopBlock(b);
    }
}

void LiveCard::StartBlock(int block) {
    for (EMDQPDataType f : kBlockFeeds[block]) {
        FeedState& st = feeds_[f];
        const uint32_t ine = kest_exch::IsIneFeed(f) ? 1 : 0;
        const uint64_t ip_a = card_->ReadReg(BlockReg(R::SHFE2PS_MCAST_IP_A, block) + ine);
        const uint64_t ip_b = card_->ReadReg(BlockReg(R::SHFE2PS_MCAST_IP_B, block) + ine);
        st.live = ip_a != 0 || ip_b != 0;
        live_flag_[f].store(st.live, std::memory_order_relaxed);
        if (!st.live) continue;
        // The card decodes against the table the host wrote.
        const uint32_t entries =
            std::min<uint32_t>(card_->TableEntries(f), static_cast<uint32_t>(live_[f]->Current().Size()));
        st.book.resize(entries);
        for (uint32_t i = 0; i < entries; ++i) st.book[i] = card_->ReadTableEntry(f, i);
        // The exchange is quiet while no block runs: the card joins the
        // stream at its next packet.
        st.arbiter.Reset(live_[f]->LastPacketNo() + 1);
        st.ctx.type = static_cast<uint16_t>(f);
        st.ctx.max_inst_no =
            static_cast<uint32_t>(card_->ReadReg(R::SHFE2PS_MAX_INST_NO + static_cast<uint32_t>(f)));
        st.last_tick_channel = static_cast<uint32_t>(card_->ReadReg(R::LAST_TICK_CHANNEL));
    }
    block_running_[block] = true;
    block_flag_[block].store(true, std::memory_order_relaxed);
    // On the wall clock, the exchange's time goes on while no block runs (a
    // bring-up takes seconds): quotes then carry the time they are made, so a
    // receiver can tell a fresh quote from one that waited in a ring.
    if (opt_.clock_start_ms == 0 && !clock_set_) clock_ms_.store(WallMs(), std::memory_order_relaxed);
    run_base_ms_ = clock_ms_.load(std::memory_order_relaxed);
    run_base_ = std::chrono::steady_clock::now();
    PublishClock();
}

void LiveCard::PublishClock() {
    // Stepped by its caller, the clock follows no realtime: nothing to publish.
    if (!opt_.free_run) return;
    // On the wall clock (taken again at each start) the exchange keeps the host's time.
    if (opt_.clock_start_ms == 0 && !clock_set_ && opt_.clock_speed == 1) {
        card_->PublishExchangeClock(0, 0, 0);
        return;
    }
    const int64_t realtime_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                    std::chrono::system_clock::now().time_since_epoch())
                                    .count();
    card_->PublishExchangeClock(realtime_ns, run_base_ms_ * 1000000,
                                static_cast<uint32_t>(opt_.clock_speed * 1000 + 0.5));
}

void LiveCard::StopBlock(int block) {
    if (!block_running_[block]) return;
    for (EMDQPDataType f : kBlockFeeds[block]) {
        feeds_[f].live = false;
        live_flag_[f].store(false, std::memory_order_relaxed);
        // Whatever the lines still hold is lost with the restart.
        feeds_[f].line_a.clear();
        feeds_[f].line_b.clear();
        live_[f]->Flush(feeds_[f].line_a, feeds_[f].line_b);
        feeds_[f].line_a.clear();
        feeds_[f].line_b.clear();
    }
    block_running_[block] = false;
    block_flag_[block].store(false, std::memory_order_relaxed);
}

size_t LiveCard::Step(uint32_t n) {
    std::lock_guard<std::mutex> lock(mu_);
    React();
    auto live = [this](int f) {
        return feeds_[f].live && block_running_[BlockOf(static_cast<EMDQPDataType>(f))];
    };
    // Slice by slice, each live feed's packets as the market makes them (so
    // that they meet the clock of their slice), until each made n; a closed
    // or quiet market gives up after a simulated hour and a half.
    uint32_t made[4] = {};
    for (int slice = 0;; ++slice) {
        bool enough = true;
        for (int f = 0; f < 4; ++f) {
            while (live(f) && made[f] < n && ProduceOne(static_cast<EMDQPDataType>(f))) ++made[f];
            if (live(f) && made[f] < n) enough = false;
        }
        if (enough || slice == 20000) break;
        const int64_t c = clock_ms_.load(std::memory_order_relaxed) + kest_exch::Market::kSliceMs;
        clock_ms_.store(c, std::memory_order_relaxed);
        AdvanceMarkets(c);
    }
    return static_cast<size_t>(made[0]) + made[1] + made[2] + made[3];
}

void LiveCard::AdvanceMarkets(int64_t target) {
    constexpr int64_t kSlice = kest_exch::Market::kSliceMs;
    // Far behind (a stopped debugger, a clock set anew, the wall clock after
    // a bring-up): the market goes on from now rather than replaying the gap.
    if (next_slice_end_ == 0 || target - next_slice_end_ > 2000 * kSlice)
        next_slice_end_ = (target + kSlice - 1) / kSlice * kSlice;
    static constexpr EMDQPDataType kFast[2] = {SHFE_4PS, INE_4PS}, kSlow[2] = {SHFE_2PS, INE_2PS};
    while (next_slice_end_ <= target) {
        for (int x = 0; x < 2; ++x) {
            markets_[x]->Slice(next_slice_end_, fast_, slow_);
            const std::vector<kest_exch::Instrument>& c = markets_[x]->Contracts();
            for (int32_t i : fast_) live_[kFast[x]]->Publish(c[static_cast<size_t>(i)]);
            for (int32_t i : slow_) live_[kSlow[x]]->Publish(c[static_cast<size_t>(i)]);
        }
        next_slice_end_ += kSlice;
    }
    // A feed nobody receives still follows the market, for its next snapshot.
    for (int f = 0; f < 4; ++f) {
        if (!(feeds_[f].live && block_running_[BlockOf(static_cast<EMDQPDataType>(f))]))
            live_[f]->SkipPending();
    }
}

void LiveCard::FreeRun() {
    if (!block_running_[0] && !block_running_[1]) return;
    const auto now = std::chrono::steady_clock::now();
    const int64_t elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - run_base_).count();
    const int64_t target =
        run_base_ms_ + static_cast<int64_t>(static_cast<double>(elapsed) * opt_.clock_speed);
    clock_ms_.store(target, std::memory_order_relaxed);
    AdvanceMarkets(target);
    for (int f = 0; f < 4; ++f) {
        if (!feeds_[f].live || !block_running_[BlockOf(static_cast<EMDQPDataType>(f))]) continue;
        while (ProduceOne(static_cast<EMDQPDataType>(f))) {
        }
    }
}

bool LiveCard::ProduceOne(EMDQPDataType f) {
    FeedState& st = feeds_[f];
    st.line_a.clear();
    st.line_b.clear();
    if (live_[f]->Step(st.line_a, st.line_b) == 0) return false;
    const int block = BlockOf(f);
    if (!st.line_a.empty()) {
        const uint32_t reg = BlockReg(R::MUX0_2PS_PKTS, block);
        card_->WriteReg(reg, card_->ReadReg(reg) + st.line_a.size());
    }
    if (!st.line_b.empty()) {
        const uint32_t reg = BlockReg(R::MUX1_2PS_PKTS, block);
        card_->WriteReg(reg, card_->ReadReg(reg) + st.line_b.size());
    }
    Sink sink(*this, f);
    for (const kest_exch::LiveUpdate& u : st.line_a) st.arbiter.Offer(0, u, sink);
    for (const kest_exch::LiveUpdate& u : st.line_b) st.arbiter.Offer(1, u, sink);
    st.arbiter.Settle(sink);
    dups_[f].store(st.arbiter.Duplicates(), std::memory_order_relaxed);
    return true;
}

void LiveCard::Apply(EMDQPDataType f, const kest_exch::LiveUpdate& u) {
    FeedState& st = feeds_[f];
    updates_[f].fetch_add(1, std::memory_order_relaxed);
    card_->WriteReg(R::LAST_UPDATE_TIME_0 + static_cast<uint32_t>(f),
                    static_cast<uint64_t>(clock_ms_.load(std::memory_order_relaxed) / 1000));
    if (u.inst_no < 0 || static_cast<size_t>(u.inst_no) >= st.book.size()) return;
    SInstTableType& e = st.book[static_cast<size_t>(u.inst_no)];
    ApplyUpdate(e, u);
    uint32_t words[R::TABLE_WORDS_PER_ENTRY];
    std::memcpy(words, &e, sizeof words);
    const uint32_t base = static_cast<uint32_t>(u.inst_no) * R::TABLE_WORDS_PER_ENTRY;
    for (uint32_t w = kBookFirstWord; w <= kBookLastWord; ++w) card_->WriteTableWord(f, base + w, words[w]);
    // Subscriptions may have changed since the block started (a host that
    // restarts without a bring-up re-subscribes nothing, but a bring-up
    // rewrites them): read word 0 as it is now.
    e.config = card_->ReadTableWord(f, base);
    if ((e.config & 0xFFFFu) == 0) return;
    QuoteMessage msg;
    msg.header.dma_type = DMA_UDP;
    msg.header.dma_len = DMA_QUOTE_MSG_SIZE;
    BuildQuote(e, static_cast<uint32_t>(u.inst_no), st.ctx, msg.quote);
    for (uint32_t ch = 0; ch < kest_sim::kChannels; ++ch) {
        if (!(e.config & (1u << ch))) continue;
        msg.quote.last_tick_flag = ch == st.last_tick_channel;
        if (card_->PushA2c(static_cast<int>(ch), &msg, sizeof msg)) {
            quotes_ok_[ch].fetch_add(1, std::memory_order_relaxed);
            per_inst_[static_cast<size_t>(f) * Kest_U50::INST_TABLE_SIZE + static_cast<size_t>(u.inst_no)]
                .fetch_add(1, std::memory_order_relaxed);
        } else {
            quotes_refused_[ch].fetch_add(1, std::memory_order_relaxed);
        }
    }
}

void LiveCard::RaiseLost(EMDQPDataType f, uint32_t packet_no) {
    gaps_[f].fetch_add(1, std::memory_order_relaxed);
    U50Event ev;
    std::memset(&ev, 0, sizeof ev);
    ev.dma_type = DMA_EVENT;
    ev.dma_len = sizeof ev;
    ev.event_data0 = 0x40u << (8 * static_cast<uint32_t>(f));
    ev.event_data1 = packet_no;
    for (uint32_t ch = 0; ch < kest_sim::kChannels; ++ch) {
        if (card_->PushA2c(static_cast<int>(ch), &ev, sizeof ev))
            events_ok_[ch].fetch_add(1, std::memory_order_relaxed);
    }
}

void LiveCard::InjectGap(EMDQPDataType feed, uint32_t count) {
    std::lock_guard<std::mutex> lock(mu_);
    live_[feed]->InjectGap(count);
}

void LiveCard::SetClock(int64_t epoch_ms) {
    std::lock_guard<std::mutex> lock(mu_);
    clock_ms_.store(epoch_ms, std::memory_order_relaxed);
    clock_set_ = true;
    run_base_ms_ = epoch_ms;
    run_base_ = std::chrono::steady_clock::now();
    next_slice_end_ = 0;
    if (block_running_[0] || block_running_[1]) PublishClock();
}

bool LiveCard::PushFrame(const std::vector<uint8_t>& frame, bool block) {
    const std::vector<uint8_t> msg = ToDmaMessage(frame);
    for (;;) {
        if (card_->PushA2cBlocking(0, msg.data(), static_cast<uint32_t>(msg.size()), &stop_,
                                   block ? 20 : 0)) {
            frames_mirrored_.fetch_add(1, std::memory_order_relaxed);
            return true;
        }
        // Acquire pairs with Stop()'s release store.
        if (stop_.load(std::memory_order_acquire) || !SnapshotModeOn() || !block) return false;
    }
}

void LiveCard::MirrorWhileSnapshot() {
    kest_exch::MirrorOptions mo;
    std::unique_ptr<kest_exch::SnapshotMirror> mirror;
    {
        std::lock_guard<std::mutex> lock(mu_);
        ++mirror_sessions_;
        mo.seed = kest_exch::MixSeed(opt_.seed, 0x5A00 + mirror_sessions_);
        mo.faults = opt_.snapshot_faults;
        mo.faults.seed = kest_exch::MixSeed(opt_.snapshot_faults.seed, mirror_sessions_);
        mo.feed_mask = opt_.snapshot_feeds;
        mo.encoder = opt_.encoder;
        mo.first_client_port = next_client_port_;
        const kest_exch::Universe* universes[4];
        for (int f = 0; f < 4; ++f) {
            mo.topic_ids[f] = opt_.topic_ids[f];
            mo.snapshot_ports[f] = opt_.snapshot_ports[f];
            mo.packet_nos[f] = static_cast<int32_t>(live_[f]->LastPacketNo());
            universes[f] = &live_[f]->Current();
        }
        mirror.reset(new kest_exch::SnapshotMirror(universes, mo));
    }
    for (uint32_t round = 0;; ++round) {
        std::vector<kest_exch::Frame> frames;
        {
            // No packet runs during the snapshot phase, but a hook could try.
            std::lock_guard<std::mutex> lock(mu_);
            frames = mirror->Round(round);
            // Next session's ports follow this round's.
            next_client_port_ = static_cast<uint16_t>(next_client_port_ + 8);
            if (next_client_port_ < 41000) next_client_port_ = 41000;
        }
        snapshot_rounds_.fetch_add(1, std::memory_order_relaxed);
        for (const kest_exch::Frame& fr : frames) {
            if (!PushFrame(fr.bytes, true)) return;
        }
        // The host finishes on the first snapshot-port segment after the last
        // final message: keep the connections alive for a while, then start
        // over in case a connection was lost for the host.
        const auto until =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(opt_.round_interval_ms);
        while (std::chrono::steady_clock::now() < until) {
            // Acquire pairs with Stop()'s release store.
            if (stop_.load(std::memory_order_acquire) || !SnapshotModeOn()) return;
            for (const kest_exch::Frame& ka : mirror->KeepAlives()) PushFrame(ka.bytes, false);
            usleep(static_cast<useconds_t>(opt_.keepalive_interval_ms) * 1000);
        }
        if (stop_.load(std::memory_order_acquire) || !SnapshotModeOn()) return;
    }
}

uint64_t LiveCard::QuotesWritten(int channel) const {
    return channel >= 0 && channel < static_cast<int>(kest_sim::kChannels)
               ? quotes_ok_[channel].load(std::memory_order_relaxed)
               : 0;
}
uint64_t LiveCard::QuotesRefused(int channel) const {
    return channel >= 0 && channel < static_cast<int>(kest_sim::kChannels)
               ? quotes_refused_[channel].load(std::memory_order_relaxed)
               : 0;
}
uint64_t LiveCard::EventsWritten(int channel) const {
    return channel >= 0 && channel < static_cast<int>(kest_sim::kChannels)
               ? events_ok_[channel].load(std::memory_order_relaxed)
               : 0;
}
uint64_t LiveCard::QuotesFor(EMDQPDataType feed, int32_t inst_no) const {
    if (inst_no < 0 || inst_no >= Kest_U50::INST_TABLE_SIZE) return 0;
    return per_inst_[static_cast<size_t>(feed) * Kest_U50::INST_TABLE_SIZE + static_cast<size_t>(inst_no)]
        .load(std::memory_order_relaxed);
}
uint64_t LiveCard::Updates(EMDQPDataType feed) const {
    return updates_[feed].load(std::memory_order_relaxed);
}
uint64_t LiveCard::Gaps(EMDQPDataType feed) const { return gaps_[feed].load(std::memory_order_relaxed); }
uint64_t LiveCard::Duplicates(EMDQPDataType feed) const {
    return dups_[feed].load(std::memory_order_relaxed);
}
bool LiveCard::BlockRunning(int block) const {
    return block >= 0 && block < 2 && block_flag_[block].load(std::memory_order_relaxed);
}
bool LiveCard::FeedLive(EMDQPDataType feed) const { return live_flag_[feed].load(std::memory_order_relaxed); }

}  // namespace kest_cardlogic

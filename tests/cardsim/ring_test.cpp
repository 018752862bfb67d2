// The card-to-host ring behind poll_once and the host-to-card ring behind send.
#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include "host_access.h"

namespace cardsim_test {
namespace {

using kest_sim::CardOptions;

// Message i: its size and its bytes, derived from i alone, so that a reader
// can check any message it gets without knowing what the producer did.
uint32_t SizeOf(uint64_t i, uint32_t mtu) {
    if (i % 97 == 0) return mtu;
    return static_cast<uint32_t>(8 + (i * 37) % 400);
}
void Fill(uint64_t i, uint8_t* p, uint32_t size) {
    std::memcpy(p, &i, sizeof i);
    for (uint32_t k = sizeof i; k < size; ++k) p[k] = static_cast<uint8_t>(i * 131 + k);
}

// What a consumer saw.
struct Checker {
    uint32_t mtu = 2048;
    uint64_t next = 0;  // index expected next
    uint64_t bad = 0;   // messages out of order or not intact
    static void Handle(const uint8_t* data, uint32_t size, void* opaque) {
        auto* c = static_cast<Checker*>(opaque);
        uint64_t i = ~uint64_t{0};
        if (size >= sizeof i) std::memcpy(&i, data, sizeof i);
        bool ok = i == c->next && size == SizeOf(i, c->mtu) && reinterpret_cast<uintptr_t>(data) % 8 == 0;
        for (uint32_t k = sizeof i; ok && k < size; ++k) ok = data[k] == static_cast<uint8_t>(i * 131 + k);
        if (!ok) ++c->bad;
        c->next = i + 1;
    }
};

class RingTest : public CardFixture {
protected:
    void Open(const CardOptions& opt = {}) {
        ASSERT_EQ(kest_sim::CreateCard(0, opt), 0);
        card_ = kest_sim::Card::Open(0);
        ASSERT_NE(card_, nullptr);
        acc_ = GetAccelerator(0);
        ASSERT_NE(acc_, nullptr);
    }
    std::unique_ptr<kest_sim::Card> card_;
    enyx_hw_accelerator* acc_ = nullptr;
};

TEST_F(RingTest, ProducerThreadAndPollerHandOverAMillionMessagesIntact) {
    Open();
    enyx_hw_a2c_stream* s = OpenA2c(acc_, 4);
    ASSERT_NE(s, nullptr);
    constexpr uint64_t kCount = 1000000;
    // Set by the consumer when it stops; acquire-loaded by the producer's
    // blocking push, which then gives up.
    std::atomic<bool> stop{false};
    std::thread producer([&] {
        std::vector<uint8_t> buf(2048);
        for (uint64_t i = 0; i < kCount; ++i) {
            const uint32_t size = SizeOf(i, 2048);
            Fill(i, buf.data(), size);
            if (!card_->PushA2cBlocking(4, buf.data(), size, &stop, -1)) return;
        }
    });
    Checker c;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    while (c.next < kCount && c.bad == 0 && std::chrono::steady_clock::now() < deadline) {
        if (enyx_hw_a2c_stream_poll_once(s, &Checker::Handle, &c) == 0) std::this_thread::yield();
    }
    // Release pairs with the acquire load in PushA2cBlocking.
    stop.store(true, std::memory_order_release);
    producer.join();
    EXPECT_EQ(c.next, kCount);
    EXPECT_EQ(c.bad, 0u);
    const kest_sim::ChannelStats st = card_->A2cStats(4);
    EXPECT_EQ(st.pushed, kCount);
    EXPECT_EQ(st.pending, 0u);
    EXPECT_EQ(st.pending_bytes, 0u);
    EXPECT_EQ(enyx_hw_a2c_stream_poll_once(s, &Checker::Handle, &c), 0);
    enyx_hw_a2c_stream_destroy(s);
}

TEST_F(RingTest, FullRingRefusesAndCountsNeverOverwrites) {
    CardOptions opt;
    opt.a2c_ring_bytes = 8192;
    Open(opt);
    const uint32_t cap = card_->A2cStats(0).a2c_capacity;
    ASSERT_EQ(cap, 8192u);

    // Fill without a reader: pushes stop at the capacity.
    std::vector<uint8_t> buf(2048);
    uint64_t pushed = 0;
    for (;;) {
        const uint32_t size = SizeOf(pushed, 2048);
        Fill(pushed, buf.data(), size);
        if (!card_->PushA2c(0, buf.data(), size)) break;
        ++pushed;
    }
    EXPECT_GT(pushed, 0u);
    kest_sim::ChannelStats st = card_->A2cStats(0);
    EXPECT_EQ(st.pushed, pushed);
    EXPECT_EQ(st.refused, 1u);
    EXPECT_EQ(st.pending, pushed);
    EXPECT_LE(st.pending_bytes, cap);

    // A concurrent producer that never waits: every accepted message arrives
    // intact and in order, refusals are counted exactly.
    enyx_hw_a2c_stream* s = OpenA2c(acc_, 0);
    ASSERT_NE(s, nullptr);
    constexpr uint64_t kTotal = 100000;
    std::atomic<uint64_t> refused{1};  // the one above
    // Set by the consumer when it stops; acquire-loaded by the producer.
    std::atomic<bool> stop{false};
    std::thread producer([&] {
        std::vector<uint8_t> b(2048);
        uint64_t i = pushed;
        uint64_t local_refused = 0;
        while (i < kTotal && !stop.load(std::memory_order_acquire)) {
            const uint32_t size = SizeOf(i, 2048);
            Fill(i, b.data(), size);
            if (card_->PushA2c(0, b.data(), size)) {
                ++i;
            } else {
                ++local_refused;
            }
        }
        // Release pairs with the acquire load after join (join orders it anyway).
        refused.fetch_add(local_refused, std::memory_order_release);
    });
    Checker c;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    while (c.next < kTotal && c.bad == 0 && std::chrono::steady_clock::now() < deadline) {
        enyx_hw_a2c_stream_poll_once(s, &Checker::Handle, &c);
    }
    // Release pairs with the producer's acquire load.
    stop.store(true, std::memory_order_release);
    producer.join();
    EXPECT_EQ(c.next, kTotal);
    EXPECT_EQ(c.bad, 0u);
    st = card_->A2cStats(0);
    EXPECT_EQ(st.pushed, kTotal);
    // Acquire pairs with the producer's release add.
    EXPECT_EQ(st.refused, refused.load(std::memory_order_acquire));
    enyx_hw_a2c_stream_destroy(s);
}

TEST_F(RingTest, WrapAroundWithAwkwardSizes) {
    CardOptions opt;
    opt.a2c_ring_bytes = 4096;
    opt.a2c_mtu = 1000;
    Open(opt);
    const uint32_t cap = card_->A2cStats(1).a2c_capacity;
    ASSERT_EQ(cap, 4096u);
    enyx_hw_a2c_stream* s = OpenA2c(acc_, 1);
    ASSERT_NE(s, nullptr);
    const uint32_t sizes[] = {1, 7, 9, 13, 999, 1000, 3, 8, 16, 17, 511, 777, 2, 1000, 1000, 5};
    std::vector<uint8_t> buf(1000);
    uint64_t total = 0;
    for (int round = 0; round < 200; ++round) {
        // A few messages in flight at once, so the ring wraps between a push and its poll.
        uint32_t batch[3];
        for (int k = 0; k < 3; ++k) {
            batch[k] = sizes[(round * 3 + k) % (sizeof sizes / sizeof sizes[0])];
            std::memset(buf.data(), static_cast<int>(round * 3 + k), batch[k]);
            ASSERT_TRUE(card_->PushA2c(1, buf.data(), batch[k])) << round << " " << k;
            total += batch[k];
        }
        for (int k = 0; k < 3; ++k) {
            struct Got {
                std::vector<uint8_t> bytes;
            } got;
            ASSERT_EQ(enyx_hw_a2c_stream_poll_once(
                          s,
                          [](const uint8_t* p, uint32_t n, void* o) {
                              static_cast<Got*>(o)->bytes.assign(p, p + n);
                          },
                          &got),
                      1);
            ASSERT_EQ(got.bytes.size(), batch[k]);
            for (uint8_t b : got.bytes) ASSERT_EQ(b, static_cast<uint8_t>(round * 3 + k));
        }
    }
    const kest_sim::ChannelStats st = card_->A2cStats(1);
    EXPECT_EQ(st.bytes, total);
    EXPECT_GT(st.bytes, 20u * cap) << "the ring must have wrapped many times";
    EXPECT_EQ(st.refused, 0u);
    // Bounds of a push.
    EXPECT_FALSE(card_->PushA2c(1, buf.data(), 1001));
    EXPECT_FALSE(card_->PushA2c(1, buf.data(), 0));
    EXPECT_FALSE(card_->PushA2c(16, buf.data(), 10));
    EXPECT_FALSE(card_->PushA2c(-1, buf.data(), 10));
    EXPECT_EQ(card_->A2cStats(1).refused, 2u);
    enyx_hw_a2c_stream_destroy(s);
}

// The outer handler polls the same stream for everything after it.
struct Nest {
    enyx_hw_a2c_stream* s;
    kest_sim::Card* card;
    std::vector<uint64_t> order;
    uint64_t outer_first_word = 0;
    uint32_t free_before = 0;
    uint32_t free_during = 0;
    uint64_t extra_pushed = 0;
    static void Leaf(const uint8_t* p, uint32_t, void* o) {
        uint64_t v;
        std::memcpy(&v, p, sizeof v);
        static_cast<Nest*>(o)->order.push_back(v);
    }
    static void Outer(const uint8_t* p, uint32_t, void* o) {
        auto* n = static_cast<Nest*>(o);
        std::memcpy(&n->outer_first_word, p, sizeof n->outer_first_word);
        n->order.push_back(n->outer_first_word);
        n->free_before = n->card->A2cFreeBytes(0);
        // A long nested run: far more bytes than the ring holds pass
        // through it while the outer handler is still running.
        uint64_t next = 100;
        for (int i = 0; i < 5000; ++i) {
            while (enyx_hw_a2c_stream_poll_once(n->s, &Nest::Leaf, n) == 1) {
            }
            if (i == 0) n->free_during = n->card->A2cFreeBytes(0);
            uint8_t msg[200] = {};
            std::memcpy(msg, &next, sizeof next);
            if (n->card->PushA2c(0, msg, sizeof msg)) {
                ++next;
                ++n->extra_pushed;
            }
        }
        while (enyx_hw_a2c_stream_poll_once(n->s, &Nest::Leaf, n) == 1) {
        }
    }
};

TEST_F(RingTest, PollFromInsideTheHandler) {
    CardOptions opt;
    opt.a2c_ring_bytes = 8192;
    Open(opt);
    enyx_hw_a2c_stream* s = OpenA2c(acc_, 0);
    ASSERT_NE(s, nullptr);
    for (uint64_t v = 0; v < 5; ++v) {
        uint8_t msg[64] = {};
        std::memcpy(msg, &v, sizeof v);
        ASSERT_TRUE(card_->PushA2c(0, msg, sizeof msg));
    }
    Nest n{s, card_.get(), {}};
    ASSERT_EQ(enyx_hw_a2c_stream_poll_once(s, &Nest::Outer, &n), 1);
    EXPECT_EQ(n.outer_first_word, 0u);
    EXPECT_EQ(n.extra_pushed, 5000u) << "the ring must not stay blocked by the outer message";
    ASSERT_EQ(n.order.size(), 5u + n.extra_pushed);
    for (uint64_t i = 0; i < 5; ++i) EXPECT_EQ(n.order[i], i);
    for (uint64_t i = 0; i < n.extra_pushed; ++i) EXPECT_EQ(n.order[5 + i], 100 + i);
    // The nested polls released the outer message and the ones they took.
    EXPECT_GT(n.free_during, n.free_before);
    EXPECT_EQ(card_->A2cFreeBytes(0), card_->A2cStats(0).a2c_capacity);
    Checker c;
    EXPECT_EQ(enyx_hw_a2c_stream_poll_once(s, &Checker::Handle, &c), 0);

    // A nested poll that finds nothing still gives the outer message's room
    // back to the producer.
    struct Lone {
        enyx_hw_a2c_stream* s;
        kest_sim::Card* card;
        int inner = -1;
        uint32_t free_after_inner = 0;
    } lone{s, card_.get()};
    std::vector<uint8_t> big(2048, 3);
    ASSERT_TRUE(card_->PushA2c(0, big.data(), 2048));
    ASSERT_EQ(enyx_hw_a2c_stream_poll_once(
                  s,
                  [](const uint8_t*, uint32_t, void* o) {
                      auto* l = static_cast<Lone*>(o);
                      l->inner = enyx_hw_a2c_stream_poll_once(l->s, &Nest::Leaf, nullptr);
                      l->free_after_inner = l->card->A2cFreeBytes(0);
                  },
                  &lone),
              1);
    EXPECT_EQ(lone.inner, 0);
    EXPECT_EQ(lone.free_after_inner, card_->A2cStats(0).a2c_capacity);
    enyx_hw_a2c_stream_destroy(s);
}

TEST_F(RingTest, PendingMessagesWaitForTheNextStream) {
    Open();
    ASSERT_TRUE(card_->PushA2c(9, "one", 3));
    ASSERT_TRUE(card_->PushA2c(9, "two", 3));
    EXPECT_EQ(card_->A2cStats(9).pending, 2u);
    auto text = [](const uint8_t* p, uint32_t n, void* o) {
        static_cast<std::string*>(o)->assign(reinterpret_cast<const char*>(p), n);
    };
    std::string got;
    enyx_hw_a2c_stream* first = OpenA2c(acc_, 9);
    ASSERT_EQ(enyx_hw_a2c_stream_poll_once(first, text, &got), 1);
    EXPECT_EQ(got, "one");
    enyx_hw_a2c_stream_destroy(first);
    // A new stream (a restarted host) starts where the last one stopped.
    enyx_hw_a2c_stream* second = OpenA2c(acc_, 9);
    ASSERT_EQ(enyx_hw_a2c_stream_poll_once(second, text, &got), 1);
    EXPECT_EQ(got, "two");
    EXPECT_EQ(enyx_hw_a2c_stream_poll_once(second, text, &got), 0);
    enyx_hw_a2c_stream_destroy(second);

    // A reset drops what is pending.
    ASSERT_TRUE(card_->PushA2c(9, "three", 5));
    ASSERT_EQ(kest_sim::ResetCard(0), 0);
    enyx_hw_a2c_stream* third = OpenA2c(acc_, 9);
    EXPECT_EQ(enyx_hw_a2c_stream_poll_once(third, text, &got), 0);
    ASSERT_TRUE(card_->PushA2c(9, "four", 4));
    ASSERT_EQ(enyx_hw_a2c_stream_poll_once(third, text, &got), 1);
    EXPECT_EQ(got, "four");
    enyx_hw_a2c_stream_destroy(third);
}

TEST_F(RingTest, BlockingPushStopsOnTimeoutOrStopFlag) {
    CardOptions opt;
    opt.a2c_ring_bytes = 8192;
    Open(opt);
    std::vector<uint8_t> big(2048, 1);
    while (card_->PushA2c(2, big.data(), 2048)) {
    }
    const uint64_t refused = card_->A2cStats(2).refused;
    EXPECT_FALSE(card_->PushA2cBlocking(2, big.data(), 2048, nullptr, 20));
    std::atomic<bool> stop{true};
    EXPECT_FALSE(card_->PushA2cBlocking(2, big.data(), 2048, &stop, -1));
    kest_sim::ChannelStats st = card_->A2cStats(2);
    EXPECT_EQ(st.refused, refused + 2);
    EXPECT_EQ(st.waits, 2u);

    // A reader that frees room lets a waiting push through.
    enyx_hw_a2c_stream* s = OpenA2c(acc_, 2);
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        Checker c;
        enyx_hw_a2c_stream_poll_once(
            s, [](const uint8_t*, uint32_t, void*) {}, &c);
    });
    EXPECT_TRUE(card_->PushA2cBlocking(2, big.data(), 2048, nullptr, 30000));
    reader.join();
    enyx_hw_a2c_stream_destroy(s);
}

TEST_F(RingTest, HostToCardSendAndPop) {
    Open();
    enyx_hw_c2a_stream* c = OpenC2a(acc_, 6);
    ASSERT_NE(c, nullptr);
    std::vector<uint8_t> msg(1025, 0x5A);
    EXPECT_EQ(enyx_hw_c2a_stream_send(c, msg.data(), 1024), 0);
    errno = 0;
    EXPECT_EQ(enyx_hw_c2a_stream_send(c, msg.data(), 1025), -1);
    EXPECT_EQ(errno, EMSGSIZE);
    // Fill until the card stops taking messages.
    uint32_t sent = 1;
    for (uint32_t i = 1;; ++i) {
        msg[0] = static_cast<uint8_t>(i);
        if (enyx_hw_c2a_stream_send(c, msg.data(), 100 + i % 7) != 0) {
            EXPECT_EQ(errno, EAGAIN);
            break;
        }
        ++sent;
    }
    kest_sim::ChannelStats st = card_->A2cStats(6);
    EXPECT_EQ(st.c2a_sent, sent);
    EXPECT_EQ(st.c2a_refused, 2u);

    std::vector<uint8_t> out;
    ASSERT_TRUE(card_->PopC2a(6, out));
    EXPECT_EQ(out.size(), 1024u);
    for (uint32_t i = 1; i < sent; ++i) {
        ASSERT_TRUE(card_->PopC2a(6, out));
        ASSERT_EQ(out.size(), 100 + i % 7);
        EXPECT_EQ(out[0], static_cast<uint8_t>(i));
    }
    EXPECT_FALSE(card_->PopC2a(6, out));
    EXPECT_FALSE(card_->PopC2a(5, out));
    EXPECT_EQ(enyx_hw_c2a_stream_send(c, msg.data(), 10), 0);
    enyx_hw_c2a_stream_destroy(c);
}

}  // namespace
}  // namespace cardsim_test

// Message rings between the card and the host, in threads and in several processes: the per-core lock,
// a killed lock holder. Host-to-card messages and their MTU are the driver tests'.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <tuple>

#include "SimCard.h"
#include "host_access.h"

namespace cardsim_test {
namespace {

// Message i: size (odd ones, and the MTU) and bytes follow from i, so a reader can check it alone.
uint32_t SizeOf(uint64_t i) { return i % 97 == 0 ? 2048 : static_cast<uint32_t>(1 + (i * 37) % 411); }
uint8_t ByteOf(uint64_t i, uint32_t k) { return static_cast<uint8_t>(i * 131 + k); }
// Ring bytes of one message: an 8-byte header, the message padded to 8.
uint64_t RecordBytesOf(uint32_t size) { return 8 + (size + 7) / 8 * 8; }

// What the poller saw: messages out of order, not intact or misaligned are bad.
struct Checker {
    uint64_t next = 0, bad = 0;
    static void Handle(const uint8_t* data, uint32_t size, void* opaque) {
        auto* c = static_cast<Checker*>(opaque);
        const uint64_t i = c->next++;
        bool ok = size == SizeOf(i) && reinterpret_cast<uintptr_t>(data) % 8 == 0;
        for (uint32_t k = 0; ok && k < size; ++k) ok = data[k] == ByteOf(i, k);
        c->bad += !ok;
    }
};

// A producer thread and the poller hand messages over a small ring, far more bytes than it holds:
// blocking pushes for the first half, pushes that are refused when the ring is full for the rest.
TEST_F(CardTest, ProducerThreadAndPollerHandOverMessagesIntactAndInOrder) {
    Make(8192);
    uint8_t m[2048];
    auto fill = [&m](uint64_t i) {
        for (uint32_t k = 0; k < SizeOf(i); ++k) m[k] = ByteOf(i, k);
        return SizeOf(i);
    };
    uint64_t pushed = 0;  // a full ring refuses (and counts it), keeping what it holds
    while (card_->PushA2c(0, m, fill(pushed))) ++pushed;
    EXPECT_TRUE(pushed > 0 && card_->A2cStats(0).pending == pushed && card_->A2cStats(0).refused == 1);

    constexpr uint64_t kTotal = 400000;
    uint64_t refused = 1;  // written by the producer, read after join
    // Release-stored by this thread when it stops polling; acquire-loaded by the producer thread.
    std::atomic<bool> stop{false};
    std::thread producer([&] {
        for (uint64_t i = pushed; i < kTotal && !stop.load(std::memory_order_acquire);) {
            const uint32_t size = fill(i);
            const bool ok =
                i < kTotal / 2 ? card_->PushA2cBlocking(0, m, size, &stop, -1) : card_->PushA2c(0, m, size);
            refused += !ok && i >= kTotal / 2;
            i += ok;
        }
    });
    enyx_hw_a2c_stream* s = OpenA2c(host_->acc, 0);
    Checker c;
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(90);
         c.next < kTotal && c.bad == 0 && std::chrono::steady_clock::now() < end;) {
        if (enyx_hw_a2c_stream_poll_once(s, &Checker::Handle, &c) == 0 && c.next < kTotal / 2)
            std::this_thread::yield();
    }
    stop.store(true, std::memory_order_release);
    producer.join();
    EXPECT_TRUE(c.next == kTotal && c.bad == 0) << c.next << " taken, " << c.bad << " bad";
    const kest_sim::ChannelStats st = card_->A2cStats(0);
    EXPECT_EQ(std::make_tuple(st.pushed, st.refused, st.pending, st.pending_bytes),
              std::make_tuple(kTotal, refused, 0, 0));
    EXPECT_EQ(enyx_hw_a2c_stream_poll_once(s, &Checker::Handle, &c), 0);
    EXPECT_FALSE(card_->PushA2c(0, m, 2049) || card_->PushA2c(0, m, 0) || card_->PushA2c(16, m, 10));
    enyx_hw_a2c_stream_destroy(s);
}

// Batches of 1 to 40 messages, one size per batch (a header in front of every other batch), go
// through a ring far smaller than what passes: blocking batches, then batches of which a full ring
// takes the first messages only (the rest counted refused). The poller takes each in its own slot.
TEST_F(CardTest, BatchedPushesArriveOneMessagePerSlotInOrder) {
    Make(8192);
    constexpr uint64_t kTotal = 300000;
    std::vector<uint8_t> payloads(40 * 2048);
    uint64_t refused = 0;  // written by the producer, read after join
    // Release-stored by this thread when it stops polling; acquire-loaded by the producer thread.
    std::atomic<bool> stop{false};
    std::thread producer([&] {
        for (uint64_t i = 0, batch = 0; i < kTotal && !stop.load(std::memory_order_acquire); ++batch) {
            // Message i's bytes follow from i; a batch holds messages of SizeOf(its first) bytes.
            // A header is shared by the batch while message i's bytes follow from i: a batch
            // with a header carries one message.
            const uint32_t size = SizeOf(i), header = batch % 2 == 0 && size > 5 ? 5 : 0;
            const uint32_t count =
                header != 0 ? 1 : static_cast<uint32_t>(std::min<uint64_t>(1 + batch % 40, kTotal - i));
            uint8_t head[5];
            for (uint32_t m = 0; m < count; ++m)
                for (uint32_t k = 0; k < size; ++k)
                    (k < header ? head[k] : payloads[m * size + k - header]) = ByteOf(i + m, k);
            kest_sim::PushBatch b;
            b.header = head;
            b.header_size = header;
            b.payloads = payloads.data();
            b.payload_size = size - header;
            b.stride = size;
            b.count = count;
            const uint32_t n =
                i < kTotal / 2 ? card_->PushA2cBatchBlocking(0, b, &stop, -1) : card_->PushA2cBatch(0, b);
            refused += b.count - n;
            i += n;
        }
    });
    enyx_hw_a2c_stream* s = OpenA2c(host_->acc, 0);
    Checker c;  // the size is the batch's: only the bytes are checked
    auto handle = [](const uint8_t* data, uint32_t size, void* opaque) {
        auto* c = static_cast<Checker*>(opaque);
        const uint64_t i = c->next++;
        bool ok = size != 0 && reinterpret_cast<uintptr_t>(data) % 8 == 0;
        for (uint32_t k = 0; ok && k < size; ++k) ok = data[k] == ByteOf(i, k);
        c->bad += !ok;
    };
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(90);
         c.next < kTotal && c.bad == 0 && std::chrono::steady_clock::now() < end;) {
        if (enyx_hw_a2c_stream_poll_once(s, handle, &c) == 0) std::this_thread::yield();
    }
    stop.store(true, std::memory_order_release);
    producer.join();
    EXPECT_TRUE(c.next == kTotal && c.bad == 0) << c.next << " taken, " << c.bad << " bad";
    const kest_sim::ChannelStats st = card_->A2cStats(0);
    EXPECT_EQ(std::make_tuple(st.pushed, st.refused, st.pending), std::make_tuple(kTotal, refused, 0));
    EXPECT_GT(refused, 0u) << "the ring never filled: the partial batches were not exercised";
    kest_sim::PushBatch too_big;
    too_big.payloads = payloads.data();
    too_big.payload_size = 2049;
    too_big.count = 3;
    EXPECT_EQ(card_->PushA2cBatch(0, too_big), 0u);
    EXPECT_EQ(card_->A2cStats(0).refused, refused + 3);
    enyx_hw_a2c_stream_destroy(s);
}

// A handler that polls the same stream again, and pushes more, far past the ring's size.
struct Nest {
    enyx_hw_a2c_stream* s;
    kest_sim::Card* card;
    std::vector<uint64_t> order;
    uint32_t extra = 0, room_after_empty_poll = 0;
    static void Leaf(const uint8_t* p, uint32_t, void* o) {
        static_cast<Nest*>(o)->order.push_back(p[0] | p[1] << 8);
    }
    static void Outer(const uint8_t* p, uint32_t n, void* o) {
        auto* nest = static_cast<Nest*>(o);
        Leaf(p, n, o);
        if (enyx_hw_a2c_stream_poll_once(nest->s, &Nest::Leaf, nest) == 0)
            nest->room_after_empty_poll = nest->card->A2cFreeBytes(0);
        for (int i = 0; i < 5000; ++i) {
            const uint8_t msg[200] = {static_cast<uint8_t>(1 + nest->extra),
                                      static_cast<uint8_t>((1 + nest->extra) >> 8)};
            nest->extra += nest->card->PushA2c(0, msg, sizeof msg);
            while (enyx_hw_a2c_stream_poll_once(nest->s, &Nest::Leaf, nest) == 1) {
            }
        }
    }
};

TEST_F(CardTest, PollFromInsideTheHandlerHandsTheOuterMessageBack) {
    Make(8192);
    enyx_hw_a2c_stream* s = OpenA2c(host_->acc, 0);
    const uint8_t first[64] = {};
    ASSERT_TRUE(card_->PushA2c(0, first, sizeof first));
    Nest n{s, card_.get(), {}};
    ASSERT_EQ(enyx_hw_a2c_stream_poll_once(s, &Nest::Outer, &n), 1);
    EXPECT_EQ(n.room_after_empty_poll, 8192u) << "a nested poll that finds nothing hands it back too";
    EXPECT_EQ(n.extra, 5000u) << "the ring must not stay blocked by the outer message";
    ASSERT_EQ(n.order.size(), 1u + n.extra);
    for (uint64_t i = 0; i < n.order.size(); ++i) EXPECT_EQ(n.order[i], i);
    EXPECT_EQ(card_->A2cFreeBytes(0), 8192u);
    enyx_hw_a2c_stream_destroy(s);
}

template <typename Body>
pid_t Spawn(Body body) {
    const pid_t pid = fork();
    if (pid == 0) _exit(body());
    return pid;
}
int WaitStatus(pid_t pid) {  // 0 for a child that exited with 0
    int status = -1;
    waitpid(pid, &status, 0);
    return status;
}

// A read-modify-write of a shared counter is exact only if the core lock serialises the processes.
TEST_F(CardTest, TwoProcessesShareRegistersUnderTheCoreLock) {
    Make();
    constexpr uint64_t counter = R::ByteAddress(R::SHFE2PS_SNAP_PKT_NO);
    auto worker = [] {
        Host h(0);
        for (int i = 0; i < 3000; ++i) {
            uint64_t v = 0;
            if (h.core == nullptr || enyx_hw_core_lock(h.core) != 0 || h.ReadAt(counter, v) != 0 ||
                h.WriteAt(counter, v + 1) != 0 || enyx_hw_core_unlock(h.core) != 0)
                return 1;
        }
        return 0;
    };
    // Both wait on the lock this process holds, so they start counting together.
    ASSERT_EQ(enyx_hw_core_lock(host_->core), 0);
    const pid_t a = Spawn(worker), b = Spawn(worker);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(enyx_hw_core_unlock(host_->core), 0);
    EXPECT_EQ(std::make_pair(WaitStatus(a), WaitStatus(b)), std::make_pair(0, 0));
    EXPECT_EQ(host_->Read(R::SHFE2PS_SNAP_PKT_NO), 6000u);
}

// A process makes a card, leaves state in it, takes the core lock and is killed: the card and its
// state remain, and the lock is taken over rather than blocking everyone for good.
TEST_F(CardTest, CardOutlivesAKilledProcessThatMadeItAndHeldItsLock) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = Spawn([&] {
        if (kest_sim::CreateCard(0) != 0) return 1;
        Host h(0);
        if (h.core == nullptr || h.Write(R::CONFIG_CRC, 0xC0FFEE) != 0 ||
            !kest_sim::Card::Open(0)->PushA2c(2, "left", 4) || enyx_hw_core_lock(h.core) != 0 ||
            write(ready[1], "L", 1) != 1)
            return 1;
        for (;;) pause();
    });
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    close(ready[1]);
    ASSERT_TRUE(kill(child, SIGKILL) == 0 && WIFSIGNALED(WaitStatus(child)));
    Host h(0);
    ASSERT_NE(h.core, nullptr);
    EXPECT_EQ(h.Read(R::CONFIG_CRC), 0xC0FFEEu) << "would hang for good if the dead holder kept the lock";
    EXPECT_EQ(kest_sim::Card::Open(0)->Stats().lock_recoveries, 1u);
    enyx_hw_a2c_stream* s = OpenA2c(h.acc, 2);
    EXPECT_EQ(Drain(s), (Messages{{'l', 'e', 'f', 't'}}));
    enyx_hw_a2c_stream_destroy(s);
}

// Three producer processes push into one small ring at once, blocking when it is full, while this
// process polls: every message arrives once, intact, and in its producer's order.
TEST_F(CardTest, SeveralProducerProcessesShareOneRing) {
    Make(8192);
    constexpr uint32_t kPerProducer = 60000, kProducers = 3;
    constexpr uint64_t kAll = uint64_t{kPerProducer} * kProducers;
    auto producer = [](uint32_t id) {
        auto card = kest_sim::Card::Open(0);
        uint8_t m[64];
        for (uint32_t i = 0; i < kPerProducer; ++i) {
            const uint32_t size = 8 + (i * 7 + id) % 57;
            std::memset(m, static_cast<int>(i * 3 + id), size);
            std::memcpy(m, &id, 4);
            std::memcpy(m + 4, &i, 4);
            if (!card || !card->PushA2cBlocking(0, m, size, nullptr, 30000)) return 1;
        }
        return 0;
    };
    pid_t pids[kProducers];
    for (uint32_t id = 0; id < kProducers; ++id) pids[id] = Spawn([&] { return producer(id); });
    struct Seen {
        uint32_t next[kProducers] = {};
        uint64_t bad = 0;
    } seen;
    auto check = [](const uint8_t* p, uint32_t size, void* o) {
        auto* s = static_cast<Seen*>(o);
        uint32_t id = 0, i = 0;
        std::memcpy(&id, p, 4);
        std::memcpy(&i, p + 4, 4);
        bool ok = id < kProducers && i == s->next[id] && size == 8 + (i * 7 + id) % 57;
        for (uint32_t k = 8; ok && k < size; ++k) ok = p[k] == static_cast<uint8_t>(i * 3 + id);
        s->bad += !ok;
        if (id < kProducers) s->next[id] = i + 1;
    };
    enyx_hw_a2c_stream* s = OpenA2c(host_->acc, 0);
    uint64_t taken = 0;
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
         taken < kAll && seen.bad == 0 && std::chrono::steady_clock::now() < end;) {
        if (enyx_hw_a2c_stream_poll_once(s, check, &seen) == 1) {
            ++taken;
        } else {
            std::this_thread::yield();
        }
    }
    for (pid_t pid : pids) EXPECT_EQ(WaitStatus(pid), 0);
    const kest_sim::ChannelStats st = card_->A2cStats(0);
    EXPECT_EQ(std::make_tuple(taken, seen.bad, st.pushed, st.pending), std::make_tuple(kAll, 0, kAll, 0));
    enyx_hw_a2c_stream_destroy(s);
}

// A producer process killed (SIGKILL) at any moment of its batches, over and over, while the host
// drains: what the host takes is each producer's messages intact and consecutive, a batch whole or
// not at all, and the next producer carries on in the same ring.
TEST_F(CardTest, ProducerKilledMidBatchLeavesWholeMessagesAndTheRingUsable) {
    Make(1 << 16);
    enyx_hw_a2c_stream* s = OpenA2c(host_->acc, 0);
    struct Seen {
        uint32_t producer = 0, next = 0;
        uint64_t taken = 0, bad = 0;
    } seen;
    auto check = [](const uint8_t* p, uint32_t size, void* o) {
        auto* v = static_cast<Seen*>(o);
        uint32_t id = 0, i = 0;
        std::memcpy(&id, p, 4);
        std::memcpy(&i, p + 4, 4);
        if (id != v->producer) v->producer = id, v->next = 0;  // a new producer starts at 0
        bool ok = size == 160 && i == v->next;
        for (uint32_t k = 8; ok && k < size; ++k) ok = p[k] == static_cast<uint8_t>(i + k);
        v->bad += !ok;
        v->next = i + 1;
        ++v->taken;
    };
    auto drain_until = [&](uint64_t taken) {
        for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
             seen.taken < taken && std::chrono::steady_clock::now() < end;) {
            if (enyx_hw_a2c_stream_poll_once(s, check, &seen) == 0) std::this_thread::yield();
        }
        return seen.taken >= taken;
    };
    for (uint32_t id = 1; id <= 12; ++id) {
        const pid_t pid = Spawn([id] {
            auto card = kest_sim::Card::Open(0);
            std::vector<uint8_t> m(64 * 160);
            for (uint32_t i = 0; card;) {
                const uint32_t count = 1 + i % 64;
                for (uint32_t j = 0; j < count; ++j) {
                    uint8_t* p = &m[j * 160];
                    const uint32_t n = i + j;
                    std::memcpy(p, &id, 4);
                    std::memcpy(p + 4, &n, 4);
                    for (uint32_t k = 8; k < 160; ++k) p[k] = static_cast<uint8_t>(n + k);
                }
                kest_sim::PushBatch b;
                b.payloads = m.data();
                b.payload_size = 160;
                b.stride = 160;
                b.count = count;
                i += card->PushA2cBatchBlocking(0, b, nullptr, -1);
            }
            return 1;
        });
        ASSERT_TRUE(drain_until(seen.taken + 3000 + id * 997)) << "producer " << id << " delivered";
        kill(pid, SIGKILL);
        EXPECT_EQ(WaitStatus(pid) & 0x7f, SIGKILL);
    }
    const uint8_t last[160] = {99};  // id 99, message 0
    std::vector<uint8_t> tail(last, last + 160);
    for (uint32_t k = 8; k < 160; ++k) tail[k] = static_cast<uint8_t>(k);
    while (enyx_hw_a2c_stream_poll_once(s, check, &seen) == 1) {
    }
    ASSERT_TRUE(card_->PushA2c(0, tail.data(), 160)) << "the right taken over from the dead producer";
    while (enyx_hw_a2c_stream_poll_once(s, check, &seen) == 1) {
    }
    EXPECT_EQ(seen.bad, 0u) << "torn, repeated or skipped messages among " << seen.taken;
    EXPECT_EQ(std::make_tuple(seen.producer, seen.next), std::make_tuple(99u, 1u));
    EXPECT_EQ(card_->A2cStats(0).pending, 0u);
    enyx_hw_a2c_stream_destroy(s);
}

// A producer killed while it held a ring's right to write (its id left as holder) does not block the
// ring: the next push takes the right over and counts it. A full ring refuses and counts, and the
// producer sees the room again only once the consumer has released it.
TEST_F(CardTest, RingLockOfADeadProducerIsTakenOverAndAFullRingRefuses) {
    Make(4096);
    const pid_t dead = Spawn([] { return 0; });
    ASSERT_EQ(WaitStatus(dead), 0);
    card_->Shm()->a2c[0].owner.store(uint64_t{7} << 32 | static_cast<uint32_t>(dead));
    const uint8_t m[200] = {7};
    ASSERT_TRUE(card_->PushA2c(0, m, sizeof m)) << "would spin for good behind the dead holder";
    EXPECT_EQ(card_->Stats().lock_recoveries, 1u);

    uint64_t pushed = 1;
    while (card_->PushA2c(0, m, sizeof m)) ++pushed;
    EXPECT_EQ(pushed, card_->A2cStats(0).a2c_capacity / RecordBytesOf(sizeof m));
    EXPECT_FALSE(card_->PushA2c(0, m, sizeof m));
    EXPECT_EQ(card_->A2cStats(0).refused, 2u);
    enyx_hw_a2c_stream* s = OpenA2c(host_->acc, 0);
    EXPECT_EQ(Drain(s).size(), pushed);
    EXPECT_TRUE(card_->PushA2c(0, m, sizeof m)) << "the room the consumer released";
    EXPECT_EQ(card_->A2cStats(0).pushed, pushed + 1);
    enyx_hw_a2c_stream_destroy(s);
}

}  // namespace
}  // namespace cardsim_test

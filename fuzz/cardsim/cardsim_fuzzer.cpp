// The card model's host interface driven by arbitrary call sequences: register
// reads and writes at any address (the table protocol's registers among
// them), a2c pushes (single and batched) by the card side against host polls
// (nested polls included), producers that die in a push or a batch, c2a sends against card-side pops,
// stream re-creation.
// Each byte picks an operation, the following bytes its arguments. Checked:
// the rings are first in, first out, byte for byte, nothing delivered twice
// or invented, a full ring refuses without losing what it holds; addresses
// outside the register space fail with EINVAL and change nothing.
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "DmaRing.h"
#include "EnyxHw.h"
#include "FpgaRegisterCommon.h"
#include "RingWriteRight.h"
#include "kest_cardsim.h"

namespace {

constexpr int kChannel = 3;

struct Host {
    enyx_hw_accelerator* acc = nullptr;
    enyx_hw_core_tree* tree = nullptr;
    enyx_hw_core* design = nullptr;
    enyx_hw_a2c_stream* a2c = nullptr;
    enyx_hw_c2a_stream* c2a = nullptr;
    std::unique_ptr<kest_sim::Card> card;
};
constexpr uint32_t kDeadThread = 0x7FFFFFF0;  // above any pid_max: no such thread

void RemoveCard() { (void)kest_sim::RemoveCard(0); }

// The stream of a name, or nullptr when none answers to it (which then says so).
template <typename D, typename S>
S* OpenStream(enyx_hw_accelerator* acc, const char* name,
              ssize_t (*find)(const enyx_hw_accelerator*, const enyx_hw_filter*, const D**, size_t),
              S* (*make)(const D*, uint32_t), void (*drop)(const D**, size_t)) {
    enyx_hw_filter* f = enyx_hw_filter_create();
    enyx_hw_filter_set_name(f, name);
    const D* d[1] = {nullptr};
    S* s = find(acc, f, d, 1) == 1 ? make(d[0], 0) : nullptr;
    if (s != nullptr) drop(d, 1);
    if (s == nullptr && errno != ENOENT) std::abort();
    enyx_hw_filter_destroy(f);
    return s;
}
enyx_hw_a2c_stream* OpenA2c(enyx_hw_accelerator* acc, const char* name) {
    return OpenStream(acc, name, enyx_hw_accelerator_enumerate_a2c_streams, enyx_hw_a2c_stream_create,
                      enyx_hw_free_a2c_stream_descriptors);
}

Host* Setup() {
    const std::string ns = "fuzz-cardsim." + std::to_string(::getpid());
    ::setenv("KEST_CARDSIM_NAMESPACE", ns.c_str(), 1);
    // Small rings (4096 bytes, a2c MTU 1024, c2a MTU 512), so that inputs reach a full ring.
    if (kest_sim::CreateCard(0, kest_sim::CardOptions{true, 4096, 1024, 512, 4096, 0}) != 0) return nullptr;
    std::atexit(RemoveCard);
    Host* h = new Host;
    h->card = kest_sim::Card::Open(0);
    const enyx_hw_accelerator_descriptor* ad[1] = {nullptr};
    if (enyx_hw_enumerate_accelerators(nullptr, ad, 1) != 1)
        std::abort();  // card 0, the namespace's only one
    h->acc = enyx_hw_accelerator_get(ad[0]);
    enyx_hw_free_accelerator_descriptors(ad, 1);
    const enyx_hw_mmio_descriptor* md[1] = {nullptr};
    if (enyx_hw_accelerator_enumerate_mmios(h->acc, nullptr, md, 1) != 1) std::abort();
    enyx_hw_mmio* mmio = enyx_hw_mmio_create(md[0]);
    enyx_hw_free_mmio_descriptors(md, 1);
    h->tree = enyx_hw_enumerate_cores(mmio);
    enyx_hw_mmio_destroy(mmio);
    enyx_hw_core* found[2] = {nullptr, nullptr};
    if (enyx_hw_core_enumerate(enyx_hw_core_tree_get_root(h->tree), Kest_U50::Reg::DESIGN_CORE_ID, found,
                               2) != 1)
        std::abort();
    h->design = found[0];
    h->a2c = OpenA2c(h->acc, "CUSTOM_CHAN3_DATA");
    h->c2a = OpenStream(h->acc, "CUSTOM_CHAN3_DATA", enyx_hw_accelerator_enumerate_c2a_streams,
                        enyx_hw_c2a_stream_create, enyx_hw_free_c2a_stream_descriptors);
    if (h->card == nullptr || h->design == nullptr || h->a2c == nullptr || h->c2a == nullptr) std::abort();
    return h;
}

struct PollState {
    std::deque<std::vector<uint8_t>>* expected;
    enyx_hw_a2c_stream* stream;
    int nest;  // polls still allowed from inside the handler
    int delivered;
};

void Handler(const uint8_t* data, uint32_t size, void* opaque) {
    PollState* s = static_cast<PollState*>(opaque);
    if (s->expected->empty()) std::abort();  // a message out of nothing
    const std::vector<uint8_t>& want = s->expected->front();
    if (want.size() != size || std::memcmp(want.data(), data, size) != 0) std::abort();  // torn or reordered
    s->expected->pop_front();
    ++s->delivered;
    if (s->nest > 0) {
        --s->nest;
        (void)enyx_hw_a2c_stream_poll_once(s->stream, Handler, s);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Host* h = Setup();
    if (h == nullptr) return 0;
    std::deque<std::vector<uint8_t>> a2c, c2a;
    uint8_t counter = 0;
    // Ring bytes a dead producer completed and the next holder counts; the
    // card, and a producer's death, outlive an input.
    static uint32_t slack = 0;
    size_t pos = 0;
    auto next = [&](size_t n) -> uint64_t {
        uint64_t v = 0;
        for (size_t i = 0; i < n; ++i) v = (v << 8) | (pos < size ? data[pos++] : 0);
        return v;
    };
    while (pos < size) {
        const uint8_t op = data[pos++];
        switch (op % 8) {
            case 0: {  // card pushes a message of a chosen size
                const uint32_t len = static_cast<uint32_t>(next(2) % 1100);
                if (op & 0x80) {  // a batch of such messages, published at once
                    const uint32_t count = 1 + ((op >> 4) & 7);
                    std::vector<uint8_t> all(size_t{len} * count + 1);
                    for (auto& b : all) b = counter++;
                    const uint64_t free = h->card->A2cFreeBytes(kChannel) - slack;
                    kest_sim::PushBatch b;
                    b.payloads = all.data();
                    b.payload_size = len;
                    b.stride = len;
                    b.count = count;
                    const uint32_t n = h->card->PushA2cBatch(kChannel, b);
                    if (len > 0 && len <= 1024) slack = 0;
                    const uint64_t rec = 8 + ((len + 7u) & ~7u);
                    if (n > count || ((len == 0 || len > 1024) && n != 0)) std::abort();
                    // Room for all (padding at the end and the terminator included) means all.
                    if (len > 0 && len <= 1024 && free >= (count + 1) * rec + 8 && n != count) std::abort();
                    for (uint32_t i = 0; i < n; ++i)
                        a2c.emplace_back(all.begin() + i * len, all.begin() + (i + 1) * len);
                    break;
                }
                std::vector<uint8_t> msg(len);
                for (auto& b : msg) b = counter++;
                const uint32_t free = h->card->A2cFreeBytes(kChannel) - slack;
                const bool ok = h->card->PushA2c(kChannel, msg.data(), len);
                if (len > 0 && len <= 1024) slack = 0;  // the push took the ring over
                // A record may need padding up to its own size at the ring's end.
                const bool fits = len > 0 && len <= 1024 && free >= 2 * (8 + ((len + 7u) & ~7u));
                if (ok) a2c.push_back(std::move(msg));
                if (fits && !ok) std::abort();  // room said, push refused
                break;
            }
            case 1: {  // host polls, possibly nesting
                PollState s{&a2c, h->a2c, static_cast<int>(op >> 4), 0};
                const size_t before = a2c.size();
                const int r = enyx_hw_a2c_stream_poll_once(h->a2c, Handler, &s);
                if (r < 0 || (before > 0) != (s.delivered > 0)) std::abort();
                break;
            }
            case 2: {  // register write and read back
                enyx_hw_register_description reg{};
                reg.address = next(3);
                reg.size = 32;
                const uint32_t value = static_cast<uint32_t>(next(4));
                const bool inside = reg.address % 4 == 0 &&
                                    reg.address < Kest_U50::Reg::ByteAddress(Kest_U50::Reg::REGISTER_SPACE);
                errno = 0;
                const int w = enyx_hw_write(h->design, &reg, value);
                if ((w == 0) != inside || (!inside && errno != EINVAL)) std::abort();
                uint64_t got = 0;
                const int r = enyx_hw_read(h->design, &reg, &got);
                if ((r == 0) != inside) std::abort();
                break;
            }
            case 3: {  // the table protocol's registers with chosen words
                const uint32_t k = static_cast<uint32_t>(next(1) % 8);  // WADDR..RDATA of two tables
                enyx_hw_register_description reg{};
                reg.address = Kest_U50::Reg::ByteAddress(
                    (k < 4 ? Kest_U50::Reg::SHFE2PS_TABLE_WADDR : Kest_U50::Reg::INE4PS_TABLE_WADDR) + k % 4);
                reg.size = 32;
                if (op & 0x10) {
                    if (enyx_hw_write(h->design, &reg, next(4)) != 0) std::abort();
                } else {
                    uint64_t v = 0;
                    if (enyx_hw_read(h->design, &reg, &v) != 0) std::abort();
                }
                break;
            }
            case 4: {  // host sends, card pops
                const uint32_t len = static_cast<uint32_t>(next(2) % 600);
                std::vector<uint8_t> msg(len == 0 ? 1 : len);
                for (auto& b : msg) b = counter++;
                if (len == 0) {
                    if (enyx_hw_c2a_stream_send(h->c2a, msg.data(), 0) == 0) std::abort();
                } else if (enyx_hw_c2a_stream_send(h->c2a, msg.data(), len) == 0) {
                    c2a.push_back(std::move(msg));
                } else if (len <= 512 && errno != EAGAIN) {
                    std::abort();
                }
                break;
            }
            case 5: {
                std::vector<uint8_t> out;
                const bool got = h->card->PopC2a(kChannel, out);
                if (got != !c2a.empty() || (got && out != c2a.front())) std::abort();
                if (got) c2a.pop_front();
                break;
            }
            case 6: {  // a new stream continues where the last one stopped
                enyx_hw_a2c_stream_destroy(h->a2c);
                h->a2c = OpenA2c(h->acc, "CUSTOM_CHAN3_DATA");
                if (h->a2c == nullptr) std::abort();
                if (OpenA2c(h->acc, (op & 0x10) ? "CUSTOM_CHAN16_DATA" : "x") != nullptr) std::abort();
                break;
            }
            case 7: {  // a producer dies in a push, before or after completing its slot (head not moved)
                kest_sim::RingHeader& r = h->card->Shm()->a2c[kChannel];
                kest_sim::AcquireRight(h->card->Shm(), r), slack = 0;  // which counts an earlier death's slot
                const uint64_t head = r.head.load(), free = h->card->A2cFreeBytes(kChannel);
                std::vector<uint8_t> msg(1 + next(1) * 4);
                for (auto& b : msg) b = counter++;
                if (op & 0x20) {  // in a batch: before its first slot's word was stored, or after
                    const uint32_t count = 1 + static_cast<uint32_t>(next(1) % 6);
                    std::vector<uint8_t> all(msg.size() * count);
                    for (auto& b : all) b = counter++;
                    kest_sim::PushBatch b;
                    b.payloads = all.data();
                    b.payload_size = static_cast<uint32_t>(msg.size());
                    b.stride = msg.size();
                    b.count = count;
                    uint8_t* const first = kest_sim::RingData(h->card->Shm(), r) + (head & 4095) + 4;
                    const uint32_t before = kest_sim::LoadWord(first, __ATOMIC_RELAXED);
                    const uint32_t n = kest_sim::RingTryPushBatch(h->card->Shm(), r, b);
                    if (op & 0x10) {
                        kest_sim::StoreWord(first, before, __ATOMIC_RELAXED);  // nothing of it is complete
                    } else {
                        slack = free - h->card->A2cFreeBytes(kChannel);
                        for (uint32_t i = 0; i < n; ++i)
                            a2c.emplace_back(all.begin() + i * msg.size(),
                                             all.begin() + (i + 1) * msg.size());
                    }
                } else if (!(op & 0x10) && kest_sim::RingTryPush(h->card->Shm(), r, msg.data(), msg.size())) {
                    slack = free - h->card->A2cFreeBytes(kChannel);
                    a2c.push_back(std::move(msg));
                } else if ((op & 0x10) && (head & 4095) + 8 + msg.size() <= 4096 && free >= 2048) {
                    std::memcpy(kest_sim::RingData(h->card->Shm(), r) + (head & 4095) + 8, msg.data(),
                                msg.size());
                }
                r.head.store(head);
                r.owner.store((r.owner.load() & ~uint64_t{0xFFFFFFFF}) | kDeadThread);
                break;
            }
        }
    }
    // Drain both rings: everything held is still there, in order.
    PollState s{&a2c, h->a2c, 0, 0};
    while (enyx_hw_a2c_stream_poll_once(h->a2c, Handler, &s) == 1) {
    }
    if (!a2c.empty()) std::abort();
    std::vector<uint8_t> out;
    while (h->card->PopC2a(kChannel, out)) {
        if (c2a.empty() || out != c2a.front()) std::abort();
        c2a.pop_front();
    }
    if (!c2a.empty()) std::abort();
    return 0;
}

#include "SimCard.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>

#include "DmaRing.h"
#include "FpgaDataType.h"

namespace kest_sim {

namespace R = Kest_U50::Reg;

namespace {

constexpr const char* kShmPrefix = "kest_cardsim.";
constexpr const char* kShmDir = "/dev/shm";

uint64_t RoundUp(uint64_t v, uint64_t to) { return (v + to - 1) / to * to; }

uint32_t TableEntriesOf(int table) {
    return (table == SHFE_2PS || table == SHFE_4PS) ? R::SHFE_TABLE_ENTRIES : R::INE_TABLE_ENTRIES;
}

// The design's identification, as a card's build stamps it into two
// read-only registers: the version (major.minor.patch, a byte each, low three
// bytes) and the build date of this model as BCD yyyymmdd.
constexpr uint32_t kDesignVersion = 0x00010300u | kLayoutVersion;
constexpr uint32_t Digit(char c) { return c >= '0' && c <= '9' ? static_cast<uint32_t>(c - '0') : 0; }
constexpr uint32_t BuildDate() {
    // __DATE__ is "Mmm dd yyyy" (day blank-padded).
    const char* d = __DATE__;
    const char* months = "JanFebMarAprMayJunJulAugSepOctNovDec";
    uint32_t month = 0;
    for (uint32_t m = 0; m < 12; ++m)
        if (d[0] == months[3 * m] && d[1] == months[3 * m + 1] && d[2] == months[3 * m + 2]) month = m + 1;
    return Digit(d[7]) << 28 | Digit(d[8]) << 24 | Digit(d[9]) << 20 | Digit(d[10]) << 16 |
           (month / 10) << 12 | (month % 10) << 8 | Digit(d[4]) << 4 | Digit(d[5]);
}
constexpr uint32_t kBuildDate = BuildDate();

void WriteIdentification(CardShm* shm) {
    Regs(shm)[R::COMPILE_VER].store(kDesignVersion, std::memory_order_relaxed);
    Regs(shm)[R::COMPILE_DATE].store(kBuildDate, std::memory_order_relaxed);
}

bool ValidTable(int table) { return table >= 0 && table < static_cast<int>(kTables); }
bool ValidChannel(int channel) { return channel >= 0 && channel < static_cast<int>(kChannels); }

// Lays out a fresh segment into `shm` (zeroed) or, with shm null, only
// computes its size. Returns the total size, or 0 if the options are unusable.
uint64_t Layout(CardShm* shm, uint32_t index, const CardOptions& opt) {
    if (opt.a2c_mtu == 0 || opt.c2a_mtu == 0 || opt.a2c_mtu > (1u << 24) || opt.c2a_mtu > (1u << 24))
        return 0;
    const uint32_t a2c_bytes = RingBytesFor(opt.a2c_ring_bytes, opt.a2c_mtu);
    const uint32_t c2a_bytes = RingBytesFor(opt.c2a_ring_bytes, opt.c2a_mtu);
    if (a2c_bytes == 0 || c2a_bytes == 0) return 0;
    uint64_t off = RoundUp(sizeof(CardShm), 4096);
    const uint64_t regs = off;
    off = RoundUp(off + uint64_t{R::REGISTER_SPACE} * sizeof(uint64_t), 4096);
    const uint64_t journal = off;
    off += uint64_t{kJournalCapacity} * sizeof(JournalSlot);
    uint64_t tables[kTables];
    for (uint32_t t = 0; t < kTables; ++t) {
        tables[t] = off;
        off = RoundUp(off + uint64_t{TableEntriesOf(t)} * R::TABLE_WORDS_PER_ENTRY * 4, 4096);
    }
    uint64_t c2a[kChannels];
    uint64_t a2c[kChannels];
    for (uint32_t c = 0; c < kChannels; ++c) {
        c2a[c] = off;
        off += c2a_bytes;
    }
    for (uint32_t c = 0; c < kChannels; ++c) {
        a2c[c] = off;
        off += a2c_bytes;
    }
    if (shm == nullptr) return off;

    shm->layout_version = kLayoutVersion;
    shm->index = index;
    shm->total_bytes = off;
    shm->design_core = opt.design_core ? 1 : 0;
    shm->a2c_ring_bytes = a2c_bytes;
    shm->a2c_mtu = opt.a2c_mtu;
    shm->c2a_ring_bytes = c2a_bytes;
    shm->c2a_mtu = opt.c2a_mtu;
    shm->initial_faults = opt.faults;
    shm->regs_offset = regs;
    shm->journal_offset = journal;
    for (uint32_t t = 0; t < kTables; ++t) {
        shm->tables[t].entries = TableEntriesOf(t);
        shm->tables[t].offset = tables[t];
    }
    for (uint32_t c = 0; c < kChannels; ++c) {
        shm->a2c[c].capacity = a2c_bytes;
        shm->a2c[c].mtu = opt.a2c_mtu;
        shm->a2c[c].data_offset = a2c[c];
        shm->c2a[c].capacity = c2a_bytes;
        shm->c2a[c].mtu = opt.c2a_mtu;
        shm->c2a[c].data_offset = c2a[c];
    }
    return off;
}

// Everything an opener relies on to stay inside the segment.
bool LayoutValid(const CardShm* shm, uint64_t size) {
    if (shm->layout_version != kLayoutVersion || shm->total_bytes != size) return false;
    auto inside = [size](uint64_t off, uint64_t len) { return off <= size && len <= size - off; };
    if (!inside(shm->regs_offset, uint64_t{R::REGISTER_SPACE} * 8)) return false;
    if (!inside(shm->journal_offset, uint64_t{kJournalCapacity} * sizeof(JournalSlot))) return false;
    for (uint32_t t = 0; t < kTables; ++t) {
        const TableState& ts = shm->tables[t];
        if (ts.entries != TableEntriesOf(t) || !inside(ts.offset, uint64_t{ts.entries} * 64 * 4))
            return false;
    }
    for (const RingHeader* rings : {shm->a2c, shm->c2a}) {
        for (uint32_t c = 0; c < kChannels; ++c) {
            const RingHeader& r = rings[c];
            if (r.capacity < 4096 || (r.capacity & (r.capacity - 1)) != 0) return false;
            if (r.mtu == 0 || 2 * RecordBytes(r.mtu) > r.capacity) return false;
            if (!inside(r.data_offset, r.capacity)) return false;
        }
    }
    return true;
}

void ResetStats(CardShm* shm) {
    shm->core_resets.store(0, std::memory_order_relaxed);
    shm->card_starts.store(0, std::memory_order_relaxed);
    shm->lock_recoveries.store(0, std::memory_order_relaxed);
    shm->host_reads.store(0, std::memory_order_relaxed);
    shm->host_writes.store(0, std::memory_order_relaxed);
}

// Whether a directory entry names one of this namespace's card segments.
bool ParseShmName(const char* name, const std::string& prefix, uint32_t& index) {
    const size_t len = std::strlen(name);
    if (len <= prefix.size() || std::strncmp(name, prefix.c_str(), prefix.size()) != 0) return false;
    const char* digits = name + prefix.size();
    if (std::strlen(digits) > 10) return false;
    uint64_t v = 0;
    for (const char* p = digits; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return false;
        v = v * 10 + static_cast<uint64_t>(*p - '0');
    }
    if (v > 0xFFFFFFFFull) return false;
    index = static_cast<uint32_t>(v);
    return true;
}

}  // namespace

// --- names ------------------------------------------------------------------

std::string Namespace() {
    const char* env = std::getenv("KEST_CARDSIM_NAMESPACE");
    std::string ns = (env != nullptr && env[0] != '\0') ? env : "default";
    // A shm name is a single path component.
    std::replace(ns.begin(), ns.end(), '/', '_');
    return ns;
}

std::string ShmName(uint32_t index) {
    return "/" + std::string(kShmPrefix) + Namespace() + "." + std::to_string(index);
}

// --- mapping ----------------------------------------------------------------

std::shared_ptr<Mapping> Mapping::Open(uint32_t index) {
    const std::string name = ShmName(index);
    const int fd = shm_open(name.c_str(), O_RDWR, 0);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        const int e = errno;
        close(fd);
        errno = e;
        return nullptr;
    }
    if (static_cast<uint64_t>(st.st_size) < sizeof(CardShm)) {
        close(fd);
        errno = EPROTO;
        return nullptr;
    }
    const size_t size = static_cast<size_t>(st.st_size);
    void* base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    const int map_errno = errno;
    close(fd);
    if (base == MAP_FAILED) {
        errno = map_errno;
        return nullptr;
    }
    auto* shm = static_cast<CardShm*>(base);
    // Acquire pairs with CreateCard's release store of the magic: the layout
    // fields read next are the creator's.
    if (shm->magic.load(std::memory_order_acquire) != kCardMagic || !LayoutValid(shm, size) ||
        shm->index != index) {
        munmap(base, size);
        errno = EPROTO;
        return nullptr;
    }
    Mapping* m = new (std::nothrow) Mapping(shm, size, index, st.st_dev, st.st_ino);
    if (m == nullptr) {
        munmap(base, size);
        errno = ENOMEM;
        return nullptr;
    }
    return std::shared_ptr<Mapping>(m);
}

Mapping::~Mapping() { munmap(shm_, bytes_); }

bool SegmentIdentity(uint32_t index, dev_t& dev, ino_t& ino) {
    const int fd = shm_open(ShmName(index).c_str(), O_RDONLY, 0);
    if (fd < 0) return false;
    struct stat st {};
    const bool ok = fstat(fd, &st) == 0;
    close(fd);
    dev = st.st_dev;
    ino = st.st_ino;
    return ok;
}

void InitialiseContent(CardShm* shm) {
    uint8_t* base = reinterpret_cast<uint8_t*>(shm);
    std::memset(base + shm->regs_offset, 0, uint64_t{R::REGISTER_SPACE} * sizeof(uint64_t));
    std::memset(base + shm->journal_offset, 0, uint64_t{kJournalCapacity} * sizeof(JournalSlot));
    shm->journal_head.store(0, std::memory_order_relaxed);
    for (TableState& t : shm->tables) {
        std::memset(base + t.offset, 0, uint64_t{t.entries} * R::TABLE_WORDS_PER_ENTRY * 4);
        t.open.store(1, std::memory_order_relaxed);
        t.writes.store(0, std::memory_order_relaxed);
        t.reads.store(0, std::memory_order_relaxed);
        t.closed_drops.store(0, std::memory_order_relaxed);
        t.range_drops.store(0, std::memory_order_relaxed);
    }
    WriteIdentification(shm);
    auto reset = [](RingHeader& r) {
        // Positions keep growing rather than going back to 0: a stream still
        // open across the reset then never meets a completion word of a
        // position it has passed. Pending messages are dropped.
        // Acquire pairs with the producers' release stores of head.
        const uint64_t head = r.head.load(std::memory_order_acquire);
        // Release pairs with the producers' acquire load of tail.
        r.tail.store(head, std::memory_order_release);
        r.tail_seen = head;
        r.pushed.store(0, std::memory_order_relaxed);
        r.refused.store(0, std::memory_order_relaxed);
        r.bytes.store(0, std::memory_order_relaxed);
        r.waits.store(0, std::memory_order_relaxed);
        r.lock_recoveries.store(0, std::memory_order_relaxed);
    };
    for (uint32_t c = 0; c < kChannels; ++c) {
        AcquireRight(shm, shm->a2c[c]);
        reset(shm->a2c[c]);
        ReleaseRight(shm->a2c[c]);
        SpinLock lock(shm->c2a[c]);
        reset(shm->c2a[c]);
    }
    ResetStats(shm);
    shm->faults.store(shm->initial_faults, std::memory_order_relaxed);
}

// --- card lifecycle ---------------------------------------------------------

int CreateCard(uint32_t index, const CardOptions& opt) {
    const uint64_t size = Layout(nullptr, index, opt);
    if (size == 0) {
        errno = EINVAL;
        return -1;
    }
    const std::string name = ShmName(index);
    const int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0660);
    if (fd < 0) return -1;
    auto fail = [&](int e) {
        close(fd);
        shm_unlink(name.c_str());
        errno = e;
        return -1;
    };
    if (ftruncate(fd, static_cast<off_t>(size)) != 0) return fail(errno);
    void* base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) return fail(errno);
    // The new segment reads as zeroes: that is the fresh card's content for
    // registers, tables, journal and rings, and free locks, so only the
    // control block is set.
    CardShm* shm = new (base) CardShm();
    Layout(shm, index, opt);
    for (TableState& t : shm->tables) t.open.store(1, std::memory_order_relaxed);
    shm->faults.store(opt.faults, std::memory_order_relaxed);
    WriteIdentification(shm);
    // Release pairs with the openers' acquire load: the card is complete.
    shm->magic.store(kCardMagic, std::memory_order_release);
    munmap(base, size);
    close(fd);
    return 0;
}

bool CardExists(uint32_t index) { return Mapping::Open(index) != nullptr; }

int ResetCard(uint32_t index) {
    std::shared_ptr<Mapping> map = Mapping::Open(index);
    if (!map) return -1;
    InitialiseContent(map->shm());
    return 0;
}

int RemoveCard(uint32_t index) { return shm_unlink(ShmName(index).c_str()); }

std::vector<uint32_t> ListCards() {
    std::vector<uint32_t> out;
    const std::string prefix = std::string(kShmPrefix) + Namespace() + ".";
    DIR* dir = opendir(kShmDir);
    if (dir == nullptr) return out;
    while (const dirent* e = readdir(dir)) {
        uint32_t index = 0;
        if (ParseShmName(e->d_name, prefix, index) && CardExists(index)) out.push_back(index);
    }
    closedir(dir);
    std::sort(out.begin(), out.end());
    return out;
}

// --- Card -------------------------------------------------------------------

std::unique_ptr<Card> Card::Open(uint32_t index) {
    std::shared_ptr<Mapping> map = Mapping::Open(index);
    if (!map) return nullptr;
    return std::unique_ptr<Card>(new Card(std::move(map)));
}

Card::Card(std::shared_ptr<Mapping> map) : map_(std::move(map)), shm_(map_->shm()), index_(map_->index()) {}

Card::~Card() = default;

CardOptions Card::Options() const {
    CardOptions o;
    o.design_core = shm_->design_core != 0;
    o.a2c_ring_bytes = shm_->a2c_ring_bytes;
    o.a2c_mtu = shm_->a2c_mtu;
    o.c2a_ring_bytes = shm_->c2a_ring_bytes;
    o.c2a_mtu = shm_->c2a_mtu;
    o.faults = shm_->faults.load(std::memory_order_relaxed);
    return o;
}

uint64_t Card::ReadReg(uint32_t reg) const {
    if (reg >= R::REGISTER_SPACE) return 0;
    return Regs(shm_)[reg].load(std::memory_order_relaxed);
}

void Card::WriteReg(uint32_t reg, uint64_t value) {
    if (reg >= R::REGISTER_SPACE) return;
    Regs(shm_)[reg].store(value, std::memory_order_relaxed);
}

uint32_t Card::TableEntries(int table) const { return ValidTable(table) ? shm_->tables[table].entries : 0; }

uint32_t Card::ReadTableWord(int table, uint32_t word) const {
    if (!ValidTable(table) || word >= shm_->tables[table].entries * R::TABLE_WORDS_PER_ENTRY) return 0;
    return TableWords(shm_, table)[word].load(std::memory_order_relaxed);
}

void Card::WriteTableWord(int table, uint32_t word, uint32_t value) {
    if (!ValidTable(table) || word >= shm_->tables[table].entries * R::TABLE_WORDS_PER_ENTRY) return;
    TableWords(shm_, table)[word].store(value, std::memory_order_relaxed);
}

SInstTableType Card::ReadTableEntry(int table, uint32_t entry) const {
    uint32_t words[R::TABLE_WORDS_PER_ENTRY] = {};
    if (ValidTable(table) && entry < shm_->tables[table].entries) {
        const std::atomic<uint32_t>* src =
            TableWords(shm_, table) + uint64_t{entry} * R::TABLE_WORDS_PER_ENTRY;
        for (uint32_t w = 0; w < R::TABLE_WORDS_PER_ENTRY; ++w)
            words[w] = src[w].load(std::memory_order_relaxed);
    }
    SInstTableType out;
    static_assert(sizeof out == sizeof words, "an entry is 64 words");
    std::memcpy(&out, words, sizeof out);
    return out;
}

bool Card::TableChannelOpen(int table) const {
    return ValidTable(table) && shm_->tables[table].open.load(std::memory_order_relaxed) != 0;
}

namespace {

// Between two attempts of a blocking push at a full ring: a consumer that is
// draining it frees room within microseconds, so spin first (a yield on a
// busy core gives the time slice away for milliseconds), then yield, then
// sleep for a consumer that has stopped.
void BackOff(unsigned attempt) {
    if (attempt < 256) {
        for (int i = 0; i < 32; ++i) {
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        }
    } else if (attempt < 320) {
        sched_yield();
    } else {
        usleep(50);
    }
}

}  // namespace

bool Card::PushA2c(int channel, const void* msg, uint32_t size) {
    if (!ValidChannel(channel)) return false;
    RingHeader& ring = shm_->a2c[channel];
    if (msg != nullptr && size != 0 && size <= ring.mtu && RingPushOwned(shm_, ring, msg, size)) return true;
    // Refusals are counted outside the right to write: a read-modify-write.
    ring.refused.fetch_add(1, std::memory_order_relaxed);
    return false;
}

bool Card::PushA2cBlocking(int channel, const void* msg, uint32_t size, const std::atomic<bool>* stop,
                           int timeout_ms) {
    if (!ValidChannel(channel)) return false;
    RingHeader& ring = shm_->a2c[channel];
    if (msg == nullptr || size == 0 || size > ring.mtu) {
        ring.refused.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    // No clock read without a timeout: a replay pushes without one.
    const auto deadline = timeout_ms >= 0
                              ? std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms)
                              : std::chrono::steady_clock::time_point{};
    bool waited = false;
    for (unsigned attempt = 0;;) {
        if (RingPushOwned(shm_, ring, msg, size)) return true;
        if (!waited) {
            waited = true;
            ring.waits.fetch_add(1, std::memory_order_relaxed);
        }
        // Acquire pairs with the release store of whoever asks to stop.
        if ((stop != nullptr && stop->load(std::memory_order_acquire)) ||
            (timeout_ms >= 0 && std::chrono::steady_clock::now() >= deadline)) {
            ring.refused.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
        BackOff(attempt++);
    }
}

uint32_t Card::PushA2cBatch(int channel, const PushBatch& batch) {
    if (!ValidChannel(channel)) return 0;
    RingHeader& ring = shm_->a2c[channel];
    const bool valid = batch.Size() != 0 && batch.Size() <= ring.mtu &&
                       (batch.payload_size == 0 || batch.payloads != nullptr) &&
                       (batch.header_size == 0 || batch.header != nullptr);
    const uint32_t n = valid && batch.count != 0 ? RingPushBatchOwned(shm_, ring, batch) : 0;
    // Refusals are counted outside the right to write: a read-modify-write.
    if (n < batch.count) ring.refused.fetch_add(batch.count - n, std::memory_order_relaxed);
    return n;
}

uint32_t Card::PushA2cBatchBlocking(int channel, const PushBatch& batch, const std::atomic<bool>* stop,
                                    int timeout_ms) {
    if (!ValidChannel(channel)) return 0;
    RingHeader& ring = shm_->a2c[channel];
    if (batch.Size() == 0 || batch.Size() > ring.mtu ||
        (batch.payload_size != 0 && batch.payloads == nullptr) ||
        (batch.header_size != 0 && batch.header == nullptr)) {
        ring.refused.fetch_add(batch.count, std::memory_order_relaxed);
        return 0;
    }
    // No clock read without a timeout: a replay pushes without one.
    const auto deadline = timeout_ms >= 0
                              ? std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms)
                              : std::chrono::steady_clock::time_point{};
    PushBatch rest = batch;
    bool waited = false;
    for (unsigned attempt = 0; rest.count != 0;) {
        const uint32_t n = RingPushBatchOwned(shm_, ring, rest);
        rest.count -= n;
        rest.payloads += n * rest.stride;
        if (rest.count == 0) break;
        if (n != 0) {
            attempt = 0;  // the consumer moves: try again at once
            continue;
        }
        if (!waited) {
            waited = true;
            ring.waits.fetch_add(1, std::memory_order_relaxed);
        }
        // Acquire pairs with the release store of whoever asks to stop.
        if ((stop != nullptr && stop->load(std::memory_order_acquire)) ||
            (timeout_ms >= 0 && std::chrono::steady_clock::now() >= deadline)) {
            ring.refused.fetch_add(rest.count, std::memory_order_relaxed);
            break;
        }
        BackOff(attempt++);
    }
    return batch.count - rest.count;
}

uint32_t Card::A2cFreeBytes(int channel) const {
    if (!ValidChannel(channel)) return 0;
    const RingHeader& ring = shm_->a2c[channel];
    // Acquire loads pair with the producer's head and the consumer's tail stores.
    const uint64_t tail = ring.tail.load(std::memory_order_acquire);
    const uint64_t head = ring.head.load(std::memory_order_acquire);
    return static_cast<uint32_t>(ring.capacity - (head - tail));
}

bool Card::PopC2a(int channel, std::vector<uint8_t>& out) {
    if (!ValidChannel(channel)) return false;
    RingHeader& ring = shm_->c2a[channel];
    // Host senders and model-side poppers share the ring's lock: several
    // model threads may pop, several host processes may send.
    SpinLock lock(ring);
    return RingTryPop(shm_, ring,
                      [&out](const uint8_t* data, uint32_t size) { out.assign(data, data + size); });
}

uint64_t Card::JournalHead() const {
    // Acquire pairs with JournalAppend's release store.
    return shm_->journal_head.load(std::memory_order_acquire);
}

bool Card::ReadJournal(uint64_t seq, JournalEntry& out) const {
    // Acquire pairs with JournalAppend's release store of the head.
    if (seq == 0 || seq > shm_->journal_head.load(std::memory_order_acquire)) return false;
    const JournalSlot& slot = Journal(shm_)[(seq - 1) & (kJournalCapacity - 1)];
    // Acquire pairs with JournalAppend's release store of seq.
    if (slot.seq.load(std::memory_order_acquire) != seq) return false;
    JournalEntry e;
    e.seq = seq;
    e.reg = slot.reg.load(std::memory_order_relaxed);
    e.value = slot.value.load(std::memory_order_relaxed);
    e.pid = slot.pid.load(std::memory_order_relaxed);
    // Acquire fence pairs with JournalAppend's release fence: if a later
    // writer touched the fields read above, the re-check sees its seq 0.
    std::atomic_thread_fence(std::memory_order_acquire);
    if (slot.seq.load(std::memory_order_relaxed) != seq) return false;
    out = e;
    return true;
}

ChannelStats Card::A2cStats(int channel) const {
    ChannelStats s;
    if (!ValidChannel(channel)) return s;
    RingHeader& a2c = shm_->a2c[channel];
    RingHeader& c2a = shm_->c2a[channel];
    s.pending = RingPendingMessages(shm_, a2c, &s.pending_bytes);
    s.pushed = a2c.pushed.load(std::memory_order_relaxed);
    s.refused = a2c.refused.load(std::memory_order_relaxed);
    s.bytes = a2c.bytes.load(std::memory_order_relaxed);
    s.waits = a2c.waits.load(std::memory_order_relaxed);
    s.c2a_sent = c2a.pushed.load(std::memory_order_relaxed);
    s.c2a_refused = c2a.refused.load(std::memory_order_relaxed);
    s.a2c_capacity = a2c.capacity;
    return s;
}

CardStats Card::Stats() const {
    CardStats s;
    s.core_resets = shm_->core_resets.load(std::memory_order_relaxed);
    s.card_starts = shm_->card_starts.load(std::memory_order_relaxed);
    for (uint32_t t = 0; t < kTables; ++t) {
        s.table_writes[t] = shm_->tables[t].writes.load(std::memory_order_relaxed);
        s.table_closed_drops[t] = shm_->tables[t].closed_drops.load(std::memory_order_relaxed);
        s.table_range_drops[t] = shm_->tables[t].range_drops.load(std::memory_order_relaxed);
    }
    s.lock_recoveries = shm_->lock_recoveries.load(std::memory_order_relaxed);
    for (const RingHeader* rings : {shm_->a2c, shm_->c2a}) {
        for (uint32_t c = 0; c < kChannels; ++c) {
            s.lock_recoveries += rings[c].lock_recoveries.load(std::memory_order_relaxed);
        }
    }
    s.host_reads = shm_->host_reads.load(std::memory_order_relaxed);
    s.host_writes = shm_->host_writes.load(std::memory_order_relaxed);
    s.journal_head = JournalHead();
    return s;
}

void Card::SetFault(Fault f, bool on) {
    if (static_cast<uint32_t>(f) >= static_cast<uint32_t>(Fault::kCount)) return;
    if (on) {
        shm_->faults.fetch_or(FaultBit(f), std::memory_order_relaxed);
    } else {
        shm_->faults.fetch_and(~FaultBit(f), std::memory_order_relaxed);
    }
}

bool Card::FaultOn(Fault f) const { return kest_sim::FaultOn(shm_, f); }

// --- the right to write an a2c ring (DmaRing.h) -------------------------------

uint64_t AcquireRight(CardShm* shm, RingHeader& ring) {
    RegisterForBarrier();
    const uint32_t me = static_cast<uint32_t>(CachedTid());
    bool counted = false;
    uint64_t barrier_for = 0;  // the holding a barrier was made for
    unsigned spins = 0;
    for (;;) {
        // Acquire pairs with the release of the last hand-over or take-over.
        uint64_t o = ring.owner.load(std::memory_order_acquire);
        const uint32_t holder = static_cast<uint32_t>(o);
        const uint32_t epoch = static_cast<uint32_t>(o >> 32);
        bool take = holder == 0 || holder == me;
        bool ended = false;
        if (!take && !IdAlive(static_cast<int32_t>(holder))) take = ended = true;
        // Relaxed: published by the holder's take-over, read after the acquire load of owner above.
        const int32_t holder_pid = ring.owner_pid.load(std::memory_order_relaxed);
        if (!take) {
            if (!counted) {
                // Release: part of the release sequence the holder's acquire
                // load of wanted synchronises with (see RingPushOwned).
                ring.wanted.fetch_add(1, std::memory_order_release);
                counted = true;
            }
            if (++spins < 256) {
#if defined(__x86_64__) || defined(__i386__)
                __builtin_ia32_pause();
#endif
                continue;  // the holder hands over at its next push
            }
            spins = 0;
            if (barrier_for != o) {
                // From here on the holder sees `wanted` before it writes.
                BarrierAllProducers();
                barrier_for = o;
            }
            // Acquire pairs with the holder's release store after its last
            // push: its slots and head are visible once we take over.
            const uint32_t b = ring.busy[epoch % RingHeader::kBusyWords].load(std::memory_order_acquire);
            if (b != epoch << 1) {
                sched_yield();  // a push under way (or a word of another epoch)
                continue;
            }
        }
        const uint32_t next = epoch + 1;
        const uint64_t mine = (uint64_t{next} << 32) | me;
        // acq_rel: acquire pairs with the previous holder's release (its hand-over
        // or busy word); release publishes owner_pid and the busy word below.
        if (!ring.owner.compare_exchange_strong(o, mine, std::memory_order_acq_rel,
                                                std::memory_order_relaxed))
            continue;
        // Relaxed: no waiter trusts this word until it carries this epoch
        // and no push, which only our own release store below makes it say.
        ring.busy[next % RingHeader::kBusyWords].store((next << 1) | 1, std::memory_order_relaxed);
        ring.owner_pid.store(CachedPid(), std::memory_order_relaxed);
        if (ended) {
            // The holder's thread ended: in the middle of a push only if its
            // process died (counted), which the repair finds.
            RingRepairHead(shm, ring);
            if (!IdAlive(holder_pid)) ring.lock_recoveries.fetch_add(1, std::memory_order_relaxed);
        }
        if (counted) ring.wanted.fetch_sub(1, std::memory_order_release);  // release: see fetch_add
        return mine;
    }
}

void ReleaseRight(RingHeader& ring) {
    const uint32_t me = static_cast<uint32_t>(CachedTid());
    // Relaxed: only this thread can have stored our own id there.
    uint64_t o = ring.owner.load(std::memory_order_relaxed);
    if (static_cast<uint32_t>(o) != me) return;
    const uint32_t epoch = static_cast<uint32_t>(o >> 32);
    // Release pairs with a waiter's acquire load of the busy word or owner.
    ring.busy[epoch % RingHeader::kBusyWords].store(epoch << 1, std::memory_order_release);
    ring.owner.compare_exchange_strong(o, uint64_t{epoch} << 32, std::memory_order_release,
                                       std::memory_order_relaxed);
}

// --- which process drives which channel ------------------------------------

int32_t Card::ClaimChannels(uint32_t mask, int* channel) {
    const int32_t me = CachedPid();
    // The channels someone else drives, or none: nothing is claimed unless all are free.
    for (uint32_t c = 0; c < kChannels; ++c) {
        if (!(mask & (1u << c))) continue;
        // Acquire pairs with the claimer's compare-and-swap.
        const int32_t other = shm_->a2c_driver[c].load(std::memory_order_acquire);
        if (other != 0 && other != me && IdAlive(other)) {
            if (channel != nullptr) *channel = static_cast<int>(c);
            return other;
        }
    }
    for (uint32_t c = 0; c < kChannels; ++c) {
        if (!(mask & (1u << c))) continue;
        int32_t seen = shm_->a2c_driver[c].load(std::memory_order_acquire);
        while (seen != me) {
            if (seen != 0 && IdAlive(seen)) {
                // Claimed meanwhile by a live process: give back what we took.
                ReleaseChannels(mask & ((1u << c) - 1));
                if (channel != nullptr) *channel = static_cast<int>(c);
                return seen;
            }
            // acq_rel: one claimer wins a free (or a dead process's) channel.
            if (shm_->a2c_driver[c].compare_exchange_weak(seen, me, std::memory_order_acq_rel,
                                                          std::memory_order_acquire))
                break;
        }
    }
    return 0;
}

void Card::ReleaseChannels(uint32_t mask) {
    const int32_t me = CachedPid();
    for (uint32_t c = 0; c < kChannels; ++c) {
        int32_t mine = me;
        // Release pairs with the next claimer's acquire.
        if (mask & (1u << c))
            shm_->a2c_driver[c].compare_exchange_strong(mine, 0, std::memory_order_release,
                                                        std::memory_order_relaxed);
    }
}

int32_t Card::ChannelDriver(int channel) const {
    if (!ValidChannel(channel)) return 0;
    // Acquire pairs with the claimer's compare-and-swap.
    const int32_t pid = shm_->a2c_driver[channel].load(std::memory_order_acquire);
    return pid != 0 && IdAlive(pid) ? pid : 0;
}

}  // namespace kest_sim

// The ring counters of every channel, for tools that reach the card only
// through libenyx-hw-c.so.5 and look this up with dlsym: the vendor's
// library has no such counters, so a tool finds this only in the model.
// Relaxed loads, no lock: the producers are never held up by a reader.
// Fills up to `channels` entries; returns how many, or -1 (errno) without
// such a card.
extern "C" __attribute__((visibility("default"))) int kest_cardsim_a2c_counters(uint32_t card,
                                                                                uint32_t channels,
                                                                                uint64_t* pushed,
                                                                                uint64_t* refused) {
    const std::unique_ptr<kest_sim::Card> c = kest_sim::Card::Open(card);
    if (!c) return -1;
    const uint32_t n = std::min(channels, kest_sim::kChannels);
    for (uint32_t ch = 0; ch < n; ++ch) {
        const kest_sim::RingHeader& a2c = c->Shm()->a2c[ch];
        pushed[ch] = a2c.pushed.load(std::memory_order_relaxed);
        refused[ch] = a2c.refused.load(std::memory_order_relaxed);
    }
    return static_cast<int>(n);
}

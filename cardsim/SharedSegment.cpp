// The card's shared segment: its name, its layout, the mapping of it, the
// design's identification and the card's life (create, reset, remove, list).
#include "SharedSegment.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "DmaRing.h"
#include "FpgaDataType.h"
#include "RingWriteRight.h"

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

}  // namespace kest_sim

// Model-side API of the software card that stands in for the vendor's
// libenyx-hw-c.so.5. The host side (the product) talks to the model only
// through the enyx_hw_* C functions of EnyxHw.h; this header is for the code
// that plays the card's part: the live-card process, the simulated exchange,
// the card tool and the tests. Link the CMake target `kest_cardsim`.
//
// A card is a POSIX shared-memory segment "/kest_cardsim.<ns>.<index>", where
// <ns> is $KEST_CARDSIM_NAMESPACE (default "default"). It exists from
// CreateCard until RemoveCard and outlives the processes that map it, like a
// card keeps its state across the restarts of the processes that use it.
//
// Host side, as the C interface behaves: enyx_hw_core_reset keeps the design's
// registers and tables; register writes are journaled (see ReadJournal) except
// table word traffic; enyx_hw_a2c_stream_poll_once may be called from inside
// its own handler, which hands the outer message's bytes back to the card
// (they stay valid until the handler polls again).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "FpgaStructCommon.h"

#define KEST_SIM_API __attribute__((visibility("default")))

namespace kest_sim {

constexpr uint32_t kChannels = 16;            // DMA channels, one a2c and one c2a stream each
constexpr uint32_t kTables = 4;               // instrument tables, indexed by EMDQPDataType
constexpr uint32_t kJournalCapacity = 65536;  // host register writes kept (oldest overwritten)

struct CardOptions {
    bool design_core = true;  // false: the core tree has no core 474
    // Per channel; rounded up to a power of two, at least 4 KiB. The default
    // holds about 1.6 million quotes: one second of the live card at its top
    // rate (about 1.2 million quotes a second to one channel), so a receiver
    // that stalls for less than that loses nothing. Pages are taken only as a
    // ring is written: 4 GiB of /dev/shm when all 16 channels carry traffic.
    uint32_t a2c_ring_bytes = 256u << 20;
    uint32_t a2c_mtu = 2048;  // largest a2c message PushA2c accepts and the host's MTU query gives
    uint32_t c2a_mtu = 1024;  // largest message enyx_hw_c2a_stream_send accepts
    uint32_t c2a_ring_bytes = 64u << 10;  // per channel; rounded up to a power of two, at least 4 KiB
    uint32_t faults = 0;                  // initial fault set: OR of FaultBit(f)
};

// Deterministic failures for testing the host's error paths. Each stays on
// until switched off (Card::SetFault) and is shared by every process.
enum class Fault : uint32_t {
    kDuplicateA2cName = 0,  // a name filter matching an a2c stream matches two
    kNoC2aStream,           // c2a enumeration finds nothing
    kA2cMtuFails,           // enyx_hw_a2c_stream_get_mtu fails (EIO)
    kA2cCreateFails,        // enyx_hw_a2c_stream_create fails (EIO)
    kC2aCreateFails,        // enyx_hw_c2a_stream_create fails (EIO)
    kRegWriteFails,         // enyx_hw_write fails (EIO); nothing stored or journaled
    kRegReadFails,          // enyx_hw_read fails (EIO)
    kCoreResetFails,        // enyx_hw_core_reset fails (EIO)
    kEnumerateFails,        // enyx_hw_enumerate_accelerators fails (-1, EIO)
    kCount
};
constexpr uint32_t FaultBit(Fault f) { return 1u << static_cast<uint32_t>(f); }

// One host register write, as seen through enyx_hw_write.
struct JournalEntry {
    uint64_t seq = 0;  // from 1; consecutive, so a gap tells the reader it fell behind
    uint32_t reg = 0;  // register number (byte address / 4)
    uint32_t value = 0;
    int32_t pid = 0;  // writer's process id
};

struct ChannelStats {
    uint64_t pushed = 0;         // a2c messages accepted
    uint64_t refused = 0;        // a2c pushes refused: ring full (or too big)
    uint64_t bytes = 0;          // a2c payload bytes accepted
    uint64_t pending_bytes = 0;  // ring bytes not yet released by the host (incl. framing)
    uint64_t pending = 0;        // a2c messages not yet released by the host
    uint64_t c2a_sent = 0;       // c2a messages the host sent
    uint64_t c2a_refused = 0;    // c2a sends refused (full or above the MTU)
    uint64_t waits = 0;          // blocking pushes that found the ring full at least once
    uint32_t a2c_capacity = 0;   // ring bytes
};

struct CardStats {
    uint64_t core_resets = 0;                   // enyx_hw_core_reset calls
    uint64_t card_starts = 0;                   // writes of 1 to CARD_START by the host
    uint64_t table_writes[kTables] = {};        // host table words stored, per table
    uint64_t table_closed_drops[kTables] = {};  // table reads/writes while the channel was closed
    uint64_t table_range_drops[kTables] = {};   // table reads/writes at an address beyond the table
    uint64_t lock_recoveries = 0;  // locks (core, host access, ring) taken over from a dead owner
    uint64_t host_reads = 0;       // enyx_hw_read calls that succeeded
    uint64_t host_writes = 0;      // enyx_hw_write calls that succeeded
    uint64_t journal_head = 0;     // seq of the newest journal entry (0: none)
};

// Messages pushed as one batch (Card::PushA2cBatch): message i is the
// header_size bytes at `header` (the same for all; may be none) followed by
// payload_size bytes at payloads + i * stride. A recording's entries, for
// one, are pushed behind a DMA header straight from where they lie.
struct PushBatch {
    const void* header = nullptr;
    uint32_t header_size = 0;
    const uint8_t* payloads = nullptr;
    uint32_t payload_size = 0;
    uint64_t stride = 0;
    uint32_t count = 0;
    uint32_t Size() const { return header_size + payload_size; }
};

// Namespace in force ($KEST_CARDSIM_NAMESPACE or "default") and shm name of a card.
KEST_SIM_API std::string Namespace();
KEST_SIM_API std::string ShmName(uint32_t index);

KEST_SIM_API int CreateCard(uint32_t index,
                            const CardOptions& opt = {});  // 0, or -1 with errno (EEXIST, ...)
KEST_SIM_API bool CardExists(uint32_t index);
// Back to a fresh card with the same options (registers, tables, journal,
// statistics, faults; pending ring messages dropped). Meant for moments when
// no host is in the middle of an access; locks are left as they are. 0 or -1.
KEST_SIM_API int ResetCard(uint32_t index);
KEST_SIM_API int RemoveCard(uint32_t index);     // unlinks the segment; mappings stay valid until unmapped
KEST_SIM_API std::vector<uint32_t> ListCards();  // indexes of this namespace's cards, ascending

struct CardShm;  // the shared-memory layout (private to the model)
class Mapping;   // a process-local mapping of it (private to the model)

// A process-local mapping of one card for the model side. Model-side
// accesses bypass the host's register semantics, the journal and the lock.
// Thread-safe: several threads and processes may push to one ring. The
// thread that pushed last keeps the right to write it and pushes without a
// lock; another thread or process takes the right over when it pushes (see
// DmaRing.h).
class KEST_SIM_API Card {
public:
    static std::unique_ptr<Card> Open(uint32_t index);  // nullptr (errno) if no card or a foreign layout
    ~Card();
    Card(const Card&) = delete;
    Card& operator=(const Card&) = delete;

    uint32_t Index() const { return index_; }
    CardOptions Options() const;  // as created (faults: the current set)

    // Registers: raw 64-bit storage; reg < Kest_U50::Reg::REGISTER_SPACE (else read 0 / write ignored).
    uint64_t ReadReg(uint32_t reg) const;
    void WriteReg(uint32_t reg, uint64_t value);

    // Instrument tables; table is an EMDQPDataType value, word = entry * 64 + word index.
    // Out-of-range words read 0 and are not written. No channel-closed check.
    uint32_t TableEntries(int table) const;  // 4096 (SHFE) or 1024 (INE); 0 for a bad table
    uint32_t ReadTableWord(int table, uint32_t word) const;
    void WriteTableWord(int table, uint32_t word, uint32_t value);
    SInstTableType ReadTableEntry(int table, uint32_t entry) const;  // zeroes when out of range
    bool TableChannelOpen(int table) const;

    // Card-to-host ring of a channel. false when the ring lacks room (counted),
    // or the message is empty or above the a2c MTU, or the channel is bad.
    bool PushA2c(int channel, const void* msg, uint32_t size);
    // Retries (spinning a while, then yielding) until pushed, *stop becomes true, or timeout_ms passes
    // (timeout_ms < 0: no timeout). Each refused attempt is counted.
    bool PushA2cBlocking(int channel, const void* msg, uint32_t size, const std::atomic<bool>* stop,
                         int timeout_ms);
    // Several messages at once, published together the way a card's DMA
    // engine completes several descriptors: the host still takes each in
    // its own slot, in order. Pushes the first messages that fit and returns
    // how many; each one left out is counted as refused (all of them when
    // the size is 0 or above the MTU, or the channel is bad).
    uint32_t PushA2cBatch(int channel, const PushBatch& batch);
    // Retries what is left (as PushA2cBlocking) until the whole batch is pushed, *stop
    // becomes true, or timeout_ms passes (< 0: no timeout); how many were
    // pushed. Counted as PushA2cBlocking counts one message.
    uint32_t PushA2cBatchBlocking(int channel, const PushBatch& batch, const std::atomic<bool>* stop,
                                  int timeout_ms);
    uint32_t A2cFreeBytes(int channel) const;  // room for messages (framing included)

    // Which process plays the card for a channel (kest-card-sim), so that two
    // never write one ring unknowingly. ClaimChannels claims every channel of
    // `mask` for this process, taking over claims of processes that are gone:
    // 0, or the pid of a live process that drives one of them (that channel
    // in *channel) and nothing claimed. ChannelDriver: the live claimant, or 0.
    int32_t ClaimChannels(uint32_t mask, int* channel = nullptr);
    void ReleaseChannels(uint32_t mask);
    int32_t ChannelDriver(int channel) const;
    // Host-to-card ring of a channel: takes the oldest message; false when empty.
    bool PopC2a(int channel, std::vector<uint8_t>& out);

    // Host register-write journal.
    uint64_t JournalHead() const;  // seq of the newest entry (0: none yet)
    // false if seq is 0, not written yet, or already overwritten.
    bool ReadJournal(uint64_t seq, JournalEntry& out) const;

    ChannelStats A2cStats(int channel) const;
    CardStats Stats() const;

    // The exchange clock the card's logic runs, for recorders on the host: at
    // realtime_ns (CLOCK_REALTIME) the exchange's time is exchange_ns and it
    // runs rate_milli exchange seconds per 1000 s. Publish with rate_milli 0
    // to withdraw it (the exchange keeps the host's time). ExchangeClock: the
    // exchange's time at realtime_ns and the rate; false when none is published.
    void PublishExchangeClock(int64_t realtime_ns, int64_t exchange_ns, uint32_t rate_milli);
    bool ExchangeClock(int64_t realtime_ns, int64_t& exchange_ns, uint32_t& rate_milli) const;

    void SetFault(Fault f, bool on);
    bool FaultOn(Fault f) const;

    CardShm* Shm() const { return shm_; }  // for the model's own code

private:
    explicit Card(std::shared_ptr<Mapping> map);
    std::shared_ptr<Mapping> map_;
    CardShm* shm_;
    uint32_t index_;
};

}  // namespace kest_sim

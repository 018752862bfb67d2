#include "RegisterFile.h"

#include "FpgaDataType.h"
#include "PidLock.h"

namespace kest_sim {

namespace R = Kest_U50::Reg;

namespace {

// A counter that only the holder of the design core's lock writes: a load
// and a store, not a locked read-modify-write, on a path taken millions of
// times per bring-up. Relaxed: readers only sample it.
inline void Bump(std::atomic<uint64_t>& counter) {
    counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

void CardStart(CardShm* shm) {
    std::atomic<uint64_t>* regs = Regs(shm);
    // The design's logic restarts: the feeds stop until started again and the
    // line counters begin from zero. The programming itself (CRC, counts,
    // addresses, tables) stays as written.
    for (uint32_t reg : {R::LOGIC_START_2PS, R::LOGIC_START_4PS, R::MUX0_2PS_PKTS, R::MUX1_2PS_PKTS,
                         R::MUX0_4PS_PKTS, R::MUX1_4PS_PKTS}) {
        regs[reg].store(0, std::memory_order_relaxed);
    }
    for (TableState& t : shm->tables) t.open.store(1, std::memory_order_relaxed);
    shm->card_starts.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

int TableOfRegister(uint32_t reg, uint32_t& slot) {
    struct Base {
        uint32_t waddr;
        int table;
    };
    static constexpr Base kBases[kTables] = {
        {R::SHFE2PS_TABLE_WADDR, SHFE_2PS},
        {R::SHFE4PS_TABLE_WADDR, SHFE_4PS},
        {R::INE2PS_TABLE_WADDR, INE_2PS},
        {R::INE4PS_TABLE_WADDR, INE_4PS},
    };
    for (const Base& b : kBases) {
        if (reg >= b.waddr && reg < b.waddr + 4) {
            slot = reg - b.waddr;
            return b.table;
        }
    }
    return -1;
}

void JournalAppend(CardShm* shm, uint32_t reg, uint32_t value) {
    // Only journal writers store journal_head, all under the design core's lock.
    const uint64_t seq = shm->journal_head.load(std::memory_order_relaxed) + 1;
    JournalSlot& slot = Journal(shm)[(seq - 1) & (kJournalCapacity - 1)];
    slot.seq.store(0, std::memory_order_relaxed);
    // Release fence: a reader that sees any of the new fields below also sees
    // seq 0 on its second check (pairs with the acquire fence in ReadJournal).
    std::atomic_thread_fence(std::memory_order_release);
    slot.reg.store(reg, std::memory_order_relaxed);
    slot.value.store(value, std::memory_order_relaxed);
    slot.pid.store(CachedPid(), std::memory_order_relaxed);
    // Release pairs with ReadJournal's acquire load of seq: the fields are complete.
    slot.seq.store(seq, std::memory_order_release);
    // Release pairs with JournalHead's acquire load: the slot and the register
    // write that preceded it are visible to whoever sees the new head.
    shm->journal_head.store(seq, std::memory_order_release);
}

int HostWrite(CardShm* shm, uint32_t reg, uint32_t value) {
    std::atomic<uint64_t>* regs = Regs(shm);
    bool journal = true;
    uint32_t slot = 0;
    const int table = TableOfRegister(reg, slot);
    if (table >= 0) {
        TableState& t = shm->tables[table];
        const bool open = t.open.load(std::memory_order_relaxed) != 0;
        const uint32_t wdata = static_cast<uint32_t>(regs[reg - slot + 1].load(std::memory_order_relaxed));
        switch (slot) {
            case 0:  // write address: the word is written now
                if (value == R::TABLE_CLOSE_ADDR && wdata == R::TABLE_CLOSE_DATA) {
                    t.open.store(0, std::memory_order_relaxed);
                    break;
                }
                journal = value == R::TABLE_CLOSE_ADDR;
                if (!open) {
                    Bump(t.closed_drops);
                } else if (value >= t.entries * R::TABLE_WORDS_PER_ENTRY) {
                    Bump(t.range_drops);
                } else {
                    TableWords(shm, table)[value].store(wdata, std::memory_order_relaxed);
                    Bump(t.writes);
                }
                break;
            case 1:  // write data
            case 2:  // read address: latched for the next read-data read
                // Table word traffic runs to millions of writes per bring-up;
                // kept out of the journal so that the writes the live card
                // reacts to are not pushed out by it.
                journal = false;
                break;
            default:
                break;
        }
        regs[reg].store(value, std::memory_order_relaxed);
    } else if (reg != R::COMPILE_VER && reg != R::COMPILE_DATE) {  // the design's identification is read-only
        regs[reg].store(value, std::memory_order_relaxed);
        if (reg == R::CARD_START && value == 1) CardStart(shm);
    }
    if (journal) JournalAppend(shm, reg, value);
    Bump(shm->host_writes);
    return 0;
}

int HostRead(CardShm* shm, uint32_t reg, uint64_t& value) {
    std::atomic<uint64_t>* regs = Regs(shm);
    uint32_t slot = 0;
    const int table = TableOfRegister(reg, slot);
    if (table >= 0 && slot == 3) {
        TableState& t = shm->tables[table];
        const uint32_t addr = static_cast<uint32_t>(regs[reg - 1].load(std::memory_order_relaxed));
        value = 0;
        if (t.open.load(std::memory_order_relaxed) == 0) {
            Bump(t.closed_drops);
        } else if (addr >= t.entries * R::TABLE_WORDS_PER_ENTRY) {
            Bump(t.range_drops);
        } else {
            value = TableWords(shm, table)[addr].load(std::memory_order_relaxed);
            Bump(t.reads);
        }
    } else {
        value = regs[reg].load(std::memory_order_relaxed);
    }
    Bump(shm->host_reads);
    return 0;
}

}  // namespace kest_sim

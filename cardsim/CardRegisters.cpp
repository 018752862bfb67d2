// The model side's access to a card's registers and instrument tables: raw
// storage, without the host's register semantics, journal or lock.
#include <cstring>

#include "SharedSegment.h"

namespace kest_sim {

namespace R = Kest_U50::Reg;

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

}  // namespace kest_sim

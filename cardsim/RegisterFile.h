// Register semantics of the design core as the host sees them through
// enyx_hw_read / enyx_hw_write: instrument-table protocol, card start, journal.
#pragma once

#include <cstdint>

#include "SharedSegment.h"

namespace kest_sim {

// Table of a table register, or -1; `slot` gets 0..3 (write address, write
// data, read address, read data).
int TableOfRegister(uint32_t reg, uint32_t& slot);

// Both require reg < REGISTER_SPACE and that the caller holds the design
// core's lock, which makes each access one step for every process sharing
// the card; they take no lock of their own. HostWrite returns 0; HostRead
// returns 0 and the register's 64-bit value in `value`.
int HostWrite(CardShm* shm, uint32_t reg, uint32_t value);
int HostRead(CardShm* shm, uint32_t reg, uint64_t& value);

// Appends to the journal; the caller holds the design core's lock.
void JournalAppend(CardShm* shm, uint32_t reg, uint32_t value);

}  // namespace kest_sim

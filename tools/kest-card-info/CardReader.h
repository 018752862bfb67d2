// Read-only access to a card's design registers through libenyx-hw-c.so.5,
// the way the library reaches them (accelerator by index, MMIO region 0, the
// design core, one locked 32-bit access per register), but without the core
// reset the library makes when it starts and without any write: looking at a
// running card must not disturb it.
#pragma once

#include <cstdint>
#include <string>

#include "EnyxHw.h"

namespace kest_tools {

class CardReader {
public:
    CardReader() = default;
    ~CardReader();
    CardReader(const CardReader&) = delete;
    CardReader& operator=(const CardReader&) = delete;

    // Opens card `index`; false with Error() set (and errno) when it cannot.
    bool Open(uint32_t index);
    // One register under the per-core lock; false when the library refuses it.
    bool Read(uint32_t reg, uint64_t& value) const;

    const std::string& Error() const { return error_; }
    // True when the failure was that no accelerator of that index exists.
    bool NoCard() const { return no_card_; }

    // The file the loader took libenyx-hw-c.so.5 from (real card or model).
    static std::string LibraryPath();

private:
    bool Fail(const char* step);

    enyx_hw_mmio* mmio_ = nullptr;
    enyx_hw_core_tree* tree_ = nullptr;
    enyx_hw_core* core_ = nullptr;
    std::string error_;
    bool no_card_ = false;
};

}  // namespace kest_tools

#include "CardReader.h"

#include <cerrno>
#include <cstring>

#include "CardLibrary.h"
#include "FpgaRegisterCommon.h"

namespace kest_tools {

CardReader::~CardReader() {
    // The accelerator handle has no release call; the tree and region have.
    if (tree_ != nullptr) enyx_hw_destroy_tree(tree_);
    if (mmio_ != nullptr) enyx_hw_mmio_destroy(mmio_);
}

bool CardReader::Fail(const char* step) {
    error_ = std::string(step) + ": " + std::strerror(errno);
    return false;
}

bool CardReader::Open(uint32_t index) {
    enyx_hw_filter* filter = enyx_hw_filter_create();
    if (filter == nullptr) return Fail("cannot create an accelerator filter");
    if (enyx_hw_filter_set_index(filter, index) != 0) {
        enyx_hw_filter_destroy(filter);
        return Fail("cannot select the card index");
    }
    const enyx_hw_accelerator_descriptor* accs[1] = {nullptr};
    errno = 0;
    const ssize_t found = enyx_hw_enumerate_accelerators(filter, accs, 1);
    enyx_hw_filter_destroy(filter);
    if (found != 1) {
        if (accs[0] != nullptr) enyx_hw_free_accelerator_descriptors(accs, 1);
        no_card_ = found == 0;
        if (found == 0) {
            error_ = "no card " + std::to_string(index) + " found";
            return false;
        }
        return Fail("the accelerator enumeration failed");
    }
    enyx_hw_accelerator* acc = enyx_hw_accelerator_get(accs[0]);
    enyx_hw_free_accelerator_descriptors(accs, 1);
    if (acc == nullptr) return Fail("cannot open the accelerator");

    enyx_hw_filter* mmio_filter = enyx_hw_filter_create();
    if (mmio_filter == nullptr) return Fail("cannot create an MMIO filter");
    if (enyx_hw_filter_set_index(mmio_filter, 0) != 0) {
        enyx_hw_filter_destroy(mmio_filter);
        return Fail("cannot select MMIO region 0");
    }
    const enyx_hw_mmio_descriptor* mmios[1] = {nullptr};
    const ssize_t regions = enyx_hw_accelerator_enumerate_mmios(acc, mmio_filter, mmios, 1);
    enyx_hw_filter_destroy(mmio_filter);
    if (regions != 1) {
        if (mmios[0] != nullptr) enyx_hw_free_mmio_descriptors(mmios, 1);
        return Fail("the card has no MMIO region 0");
    }
    mmio_ = enyx_hw_mmio_create(mmios[0]);
    enyx_hw_free_mmio_descriptors(mmios, 1);
    if (mmio_ == nullptr) return Fail("cannot map MMIO region 0");
    tree_ = enyx_hw_enumerate_cores(mmio_);
    if (tree_ == nullptr) return Fail("cannot enumerate the card's cores");
    enyx_hw_core* root = enyx_hw_core_tree_get_root(tree_);
    if (root == nullptr) return Fail("the card's core tree has no root");
    enyx_hw_core* core = nullptr;
    const ssize_t cores = enyx_hw_core_enumerate(root, Kest_U50::Reg::DESIGN_CORE_ID, &core, 1);
    if (cores < 0) return Fail("the core enumeration failed");
    if (cores == 0 || core == nullptr) {
        error_ = "the card has no design core 474 (is the market-data design loaded?)";
        return false;
    }
    core_ = core;
    return true;
}

bool CardReader::Read(uint32_t reg, uint64_t& value) const {
    // The same description the library uses: the whole 32-bit word at 4 x reg;
    // the library fills all 64 bits of counters and times.
    enyx_hw_register_description description;
    std::memset(&description, 0, sizeof description);
    description.address = Kest_U50::Reg::ByteAddress(reg);
    description.offset = 0;
    description.size = 32;
    value = 0;
    if (enyx_hw_core_lock(core_) != 0) return false;
    const int rc = enyx_hw_read(core_, &description, &value);
    enyx_hw_core_unlock(core_);
    return rc == 0;
}

std::string CardReader::LibraryPath() { return CardLibrary::Path(); }

}  // namespace kest_tools

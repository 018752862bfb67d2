// Reaches a card through the C interface the way the product does: filter,
// accelerator, MMIO region 0, core tree, design core, streams by name.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "EnyxHw.h"
#include "FpgaRegisterCommon.h"
#include "kest_cardsim.h"

namespace cardsim_test {

inline std::string ChannelName(int channel) { return "CUSTOM_CHAN" + std::to_string(channel) + "_DATA"; }

// Count of accelerators the filter (index, or none when index < 0) selects.
inline ssize_t CountAccelerators(int64_t index) {
    enyx_hw_filter* f = enyx_hw_filter_create();
    if (index >= 0) enyx_hw_filter_set_index(f, static_cast<uint32_t>(index));
    const enyx_hw_accelerator_descriptor* d[8] = {};
    const ssize_t n = enyx_hw_enumerate_accelerators(f, d, 8);
    enyx_hw_free_accelerator_descriptors(d, n > 0 ? (n < 8 ? static_cast<size_t>(n) : 8) : 0);
    enyx_hw_filter_destroy(f);
    return n;
}

inline enyx_hw_accelerator* GetAccelerator(uint32_t index) {
    enyx_hw_filter* f = enyx_hw_filter_create();
    enyx_hw_filter_set_index(f, index);
    const enyx_hw_accelerator_descriptor* d[1] = {};
    const ssize_t n = enyx_hw_enumerate_accelerators(f, d, 1);
    enyx_hw_filter_destroy(f);
    if (n != 1) {
        if (n > 0) enyx_hw_free_accelerator_descriptors(d, 1);
        return nullptr;
    }
    enyx_hw_accelerator* acc = enyx_hw_accelerator_get(d[0]);
    enyx_hw_free_accelerator_descriptors(d, 1);
    return acc;
}

// The product's register path, for one card.
class Host {
public:
    explicit Host(uint32_t index) {
        acc_ = GetAccelerator(index);
        if (acc_ == nullptr) return;
        enyx_hw_filter* f = enyx_hw_filter_create();
        enyx_hw_filter_set_index(f, 0);
        const enyx_hw_mmio_descriptor* md[1] = {};
        const ssize_t n = enyx_hw_accelerator_enumerate_mmios(acc_, f, md, 1);
        enyx_hw_filter_destroy(f);
        if (n != 1) return;
        mmio_ = enyx_hw_mmio_create(md[0]);
        enyx_hw_free_mmio_descriptors(md, 1);
        tree_ = enyx_hw_enumerate_cores(mmio_);
        root_ = enyx_hw_core_tree_get_root(tree_);
        enyx_hw_core* cores[1] = {};
        if (enyx_hw_core_enumerate(root_, Kest_U50::Reg::DESIGN_CORE_ID, cores, 1) == 1) core_ = cores[0];
    }
    ~Host() {
        enyx_hw_destroy_tree(tree_);
        enyx_hw_mmio_destroy(mmio_);
    }
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    bool ok() const { return core_ != nullptr; }
    enyx_hw_accelerator* acc() const { return acc_; }
    enyx_hw_core* core() const { return core_; }
    enyx_hw_core* root() const { return root_; }

    int WriteAt(uint64_t byte_address, uint64_t value) {
        enyx_hw_register_description d{};
        d.address = byte_address;
        d.size = 32;
        return enyx_hw_write(core_, &d, value);
    }
    int ReadAt(uint64_t byte_address, uint64_t& value) {
        enyx_hw_register_description d{};
        d.address = byte_address;
        d.size = 32;
        return enyx_hw_read(core_, &d, &value);
    }
    // Locked single accesses, as the product's register object makes them.
    int Write(uint32_t reg, uint32_t value) {
        enyx_hw_core_lock(core_);
        const int rc = WriteAt(Kest_U50::Reg::ByteAddress(reg), value);
        enyx_hw_core_unlock(core_);
        return rc;
    }
    uint64_t Read(uint32_t reg) {
        uint64_t v = 0;
        enyx_hw_core_lock(core_);
        EXPECT_EQ(ReadAt(Kest_U50::Reg::ByteAddress(reg), v), 0) << "reg " << reg;
        enyx_hw_core_unlock(core_);
        return v;
    }
    void WriteTableWord(uint32_t waddr_reg, uint32_t word, uint32_t value) {
        Write(waddr_reg + 1, value);
        Write(waddr_reg, word);
    }
    uint32_t ReadTableWord(uint32_t waddr_reg, uint32_t word) {
        Write(waddr_reg + 2, word);
        return static_cast<uint32_t>(Read(waddr_reg + 3));
    }

private:
    enyx_hw_accelerator* acc_ = nullptr;
    enyx_hw_mmio* mmio_ = nullptr;
    enyx_hw_core_tree* tree_ = nullptr;
    enyx_hw_core* root_ = nullptr;
    enyx_hw_core* core_ = nullptr;
};

// Count of a2c (or c2a) streams matching `name` (no name filter when null).
inline ssize_t CountStreams(enyx_hw_accelerator* acc, const char* name, bool a2c) {
    enyx_hw_filter* f = enyx_hw_filter_create();
    if (name != nullptr) enyx_hw_filter_set_name(f, name);
    ssize_t n;
    if (a2c) {
        const enyx_hw_a2c_stream_descriptor* d[32] = {};
        n = enyx_hw_accelerator_enumerate_a2c_streams(acc, f, d, 32);
        enyx_hw_free_a2c_stream_descriptors(d, 32);
    } else {
        const enyx_hw_c2a_stream_descriptor* d[32] = {};
        n = enyx_hw_accelerator_enumerate_c2a_streams(acc, f, d, 32);
        enyx_hw_free_c2a_stream_descriptors(d, 32);
    }
    enyx_hw_filter_destroy(f);
    return n;
}

inline enyx_hw_a2c_stream* OpenA2c(enyx_hw_accelerator* acc, int channel) {
    enyx_hw_filter* f = enyx_hw_filter_create();
    enyx_hw_filter_set_name(f, ChannelName(channel).c_str());
    const enyx_hw_a2c_stream_descriptor* d[1] = {};
    const ssize_t n = enyx_hw_accelerator_enumerate_a2c_streams(acc, f, d, 1);
    enyx_hw_filter_destroy(f);
    if (n < 1) return nullptr;
    enyx_hw_a2c_stream* s = enyx_hw_a2c_stream_create(d[0], 0);
    enyx_hw_free_a2c_stream_descriptors(d, 1);
    return s;
}

inline enyx_hw_c2a_stream* OpenC2a(enyx_hw_accelerator* acc, int channel) {
    enyx_hw_filter* f = enyx_hw_filter_create();
    enyx_hw_filter_set_name(f, ChannelName(channel).c_str());
    const enyx_hw_c2a_stream_descriptor* d[1] = {};
    const ssize_t n = enyx_hw_accelerator_enumerate_c2a_streams(acc, f, d, 1);
    enyx_hw_filter_destroy(f);
    if (n < 1) return nullptr;
    enyx_hw_c2a_stream* s = enyx_hw_c2a_stream_create(d[0], 0);
    enyx_hw_free_c2a_stream_descriptors(d, 1);
    return s;
}

// Removes the cards a test made, whatever its outcome.
class CardFixture : public ::testing::Test {
protected:
    void TearDown() override {
        for (uint32_t index : kest_sim::ListCards()) kest_sim::RemoveCard(index);
    }
};

}  // namespace cardsim_test

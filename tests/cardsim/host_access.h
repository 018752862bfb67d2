// Reaches a card through the C interface the way the product does.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

#include "EnyxHw.h"
#include "FpgaRegisterCommon.h"
#include "kest_cardsim.h"

namespace cardsim_test {

namespace R = Kest_U50::Reg;

// Count of the accelerators of index `index` (all when negative); *first gets the only one.
inline ssize_t FindAccelerators(int64_t index, enyx_hw_accelerator** first = nullptr) {
    enyx_hw_filter* f = enyx_hw_filter_create();
    if (index >= 0) enyx_hw_filter_set_index(f, static_cast<uint32_t>(index));
    const enyx_hw_accelerator_descriptor* d[8] = {};
    const ssize_t n = enyx_hw_enumerate_accelerators(f, d, 8);
    enyx_hw_filter_destroy(f);
    if (first != nullptr) *first = n == 1 ? enyx_hw_accelerator_get(d[0]) : nullptr;
    enyx_hw_free_accelerator_descriptors(d, n > 0 ? std::min<size_t>(static_cast<size_t>(n), 8) : 0);
    return n;
}

// The product's card-to-host stream of a channel; nullptr when there is none or it cannot be made.
inline enyx_hw_a2c_stream* OpenA2c(enyx_hw_accelerator* acc, int channel) {
    enyx_hw_filter* f = enyx_hw_filter_create();
    enyx_hw_filter_set_name(f, ("CUSTOM_CHAN" + std::to_string(channel) + "_DATA").c_str());
    const enyx_hw_a2c_stream_descriptor* d[1] = {};
    const ssize_t n = enyx_hw_accelerator_enumerate_a2c_streams(acc, f, d, 1);
    enyx_hw_filter_destroy(f);
    enyx_hw_a2c_stream* s = n > 0 ? enyx_hw_a2c_stream_create(d[0], 0) : nullptr;
    enyx_hw_free_a2c_stream_descriptors(d, n > 0 ? 1 : 0);
    return s;
}

using Messages = std::vector<std::vector<uint8_t>>;
inline Messages Drain(enyx_hw_a2c_stream* s) {  // the pending messages, in order
    Messages out;
    auto collect = [](const uint8_t* p, uint32_t n, void* o) {
        static_cast<Messages*>(o)->emplace_back(p, p + n);
    };
    while (enyx_hw_a2c_stream_poll_once(s, collect, &out) == 1) {
    }
    return out;
}

// The product's register path to one card: region 0, its core tree, the design core. The tree and its
// cores outlive the region and its descriptor.
struct Host {
    explicit Host(uint32_t index) {
        enyx_hw_filter* f = enyx_hw_filter_create();
        enyx_hw_filter_set_index(f, 0);
        const enyx_hw_mmio_descriptor* md[1] = {};
        const bool found =
            FindAccelerators(index, &acc) == 1 && enyx_hw_accelerator_enumerate_mmios(acc, f, md, 1) == 1;
        enyx_hw_filter_destroy(f);
        if (!found) return;
        enyx_hw_mmio* mmio = enyx_hw_mmio_create(md[0]);
        enyx_hw_free_mmio_descriptors(md, 1);
        tree = enyx_hw_enumerate_cores(mmio);
        enyx_hw_mmio_destroy(mmio);
        if (enyx_hw_core_enumerate(enyx_hw_core_tree_get_root(tree), R::DESIGN_CORE_ID, &core, 1) != 1)
            core = nullptr;
    }
    ~Host() { enyx_hw_destroy_tree(tree); }

    // A 32-bit register at a byte address; the description outlives the call it is made for.
    static const enyx_hw_register_description& At(const enyx_hw_register_description& d) { return d; }
    int WriteAt(uint64_t address, uint64_t v) { return enyx_hw_write(core, &At({address, 0, 32, {}}), v); }
    int ReadAt(uint64_t address, uint64_t& v) { return enyx_hw_read(core, &At({address, 0, 32, {}}), &v); }
    // Single accesses under the core lock, as the product makes them.
    int Write(uint32_t reg, uint32_t value) {
        enyx_hw_core_lock(core);
        const int rc = WriteAt(R::ByteAddress(reg), value);
        return enyx_hw_core_unlock(core), rc;
    }
    uint64_t Read(uint32_t reg) {
        uint64_t v = 0;
        EXPECT_TRUE(enyx_hw_core_lock(core) == 0 && ReadAt(R::ByteAddress(reg), v) == 0) << "reg " << reg;
        return enyx_hw_core_unlock(core), v;
    }
    // A table's words go through the four registers from its write address.
    static uint32_t Waddr(int table) {
        return std::array<uint32_t, 4>{R::SHFE2PS_TABLE_WADDR, R::SHFE4PS_TABLE_WADDR, R::INE2PS_TABLE_WADDR,
                                       R::INE4PS_TABLE_WADDR}[static_cast<size_t>(table)];
    }
    void WriteTableWord(int table, uint32_t word, uint32_t value) {
        Write(Waddr(table) + 1, value);
        Write(Waddr(table), word);
    }
    uint32_t ReadTableWord(int table, uint32_t word) {
        Write(Waddr(table) + 2, word);
        return static_cast<uint32_t>(Read(Waddr(table) + 3));
    }
    void WriteEntry(int table, uint32_t index, const SInstTableType& e) {
        uint32_t words[64];
        std::memcpy(words, &e, sizeof words);
        for (uint32_t w = 0; w < 64; ++w) WriteTableWord(table, index * 64 + w, words[w]);
    }

    enyx_hw_accelerator* acc = nullptr;
    enyx_hw_core_tree* tree = nullptr;
    enyx_hw_core* core = nullptr;
};

// Card 0 seen from both sides; every card a test made is removed after it.
class CardTest : public ::testing::Test {
protected:
    void Make(uint32_t a2c_ring_bytes = kest_sim::CardOptions{}.a2c_ring_bytes) {
        kest_sim::CardOptions opt;
        opt.a2c_ring_bytes = a2c_ring_bytes;
        ASSERT_EQ(kest_sim::CreateCard(0, opt), 0);
        card_ = kest_sim::Card::Open(0);
        host_ = std::make_unique<Host>(0);
        ASSERT_TRUE(card_ != nullptr && host_->core != nullptr);
    }
    void TearDown() override {
        host_.reset();
        for (uint32_t index : kest_sim::ListCards()) kest_sim::RemoveCard(index);
    }
    std::unique_ptr<kest_sim::Card> card_;
    std::unique_ptr<Host> host_;
};

}  // namespace cardsim_test

// Reaches a card through the C interface the way the product does.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "EnyxHw.h"
#include "FpgaRegisterCommon.h"
#include "kest_cardsim.h"

namespace cardsim_test {

namespace R = Kest_U50::Reg;

// Count of the accelerators of index `index` (all when negative); *first gets the first one.
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

// The product's stream of a channel in either direction; nullptr when there is none or it cannot be made.
inline std::string ChannelName(int channel) { return "CUSTOM_CHAN" + std::to_string(channel) + "_DATA"; }
inline enyx_hw_a2c_stream* OpenA2c(enyx_hw_accelerator* acc, int channel) {
    enyx_hw_filter* f = enyx_hw_filter_create();
    enyx_hw_filter_set_name(f, ChannelName(channel).c_str());
    const enyx_hw_a2c_stream_descriptor* d[1] = {};
    const ssize_t n = enyx_hw_accelerator_enumerate_a2c_streams(acc, f, d, 1);
    enyx_hw_filter_destroy(f);
    enyx_hw_a2c_stream* s = n > 0 ? enyx_hw_a2c_stream_create(d[0], 0) : nullptr;
    enyx_hw_free_a2c_stream_descriptors(d, n > 0 ? 1 : 0);
    return s;
}
inline enyx_hw_c2a_stream* OpenC2a(enyx_hw_accelerator* acc, int channel) {
    enyx_hw_filter* f = enyx_hw_filter_create();
    enyx_hw_filter_set_name(f, ChannelName(channel).c_str());
    const enyx_hw_c2a_stream_descriptor* d[1] = {};
    const ssize_t n = enyx_hw_accelerator_enumerate_c2a_streams(acc, f, d, 1);
    enyx_hw_filter_destroy(f);
    enyx_hw_c2a_stream* s = n > 0 ? enyx_hw_c2a_stream_create(d[0], 0) : nullptr;
    enyx_hw_free_c2a_stream_descriptors(d, n > 0 ? 1 : 0);
    return s;
}

using Messages = std::vector<std::vector<uint8_t>>;
// The pending messages of a stream, in order.
inline Messages Drain(enyx_hw_a2c_stream* s) {
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
        root = enyx_hw_core_tree_get_root(tree);
        if (enyx_hw_core_enumerate(root, R::DESIGN_CORE_ID, &core, 1) != 1) core = nullptr;
    }
    ~Host() { enyx_hw_destroy_tree(tree); }

    int WriteAt(uint64_t byte_address, uint64_t value) {
        const enyx_hw_register_description d{byte_address, 0, 32, {}};
        return enyx_hw_write(core, &d, value);
    }
    int ReadAt(uint64_t byte_address, uint64_t& value) {
        const enyx_hw_register_description d{byte_address, 0, 32, {}};
        return enyx_hw_read(core, &d, &value);
    }
    // Single accesses under the core lock, as the product makes them.
    int Write(uint32_t reg, uint32_t value) {
        enyx_hw_core_lock(core);
        const int rc = WriteAt(R::ByteAddress(reg), value);
        enyx_hw_core_unlock(core);
        return rc;
    }
    uint64_t Read(uint32_t reg) {
        uint64_t v = 0;
        enyx_hw_core_lock(core);
        EXPECT_EQ(ReadAt(R::ByteAddress(reg), v), 0) << "reg " << reg;
        enyx_hw_core_unlock(core);
        return v;
    }
    // A table's words go through the four registers from its write address.
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
    static uint32_t Waddr(int table) {
        const uint32_t regs[] = {R::SHFE2PS_TABLE_WADDR, R::SHFE4PS_TABLE_WADDR, R::INE2PS_TABLE_WADDR,
                                 R::INE4PS_TABLE_WADDR};
        return regs[table];
    }

    enyx_hw_accelerator* acc = nullptr;
    enyx_hw_core_tree* tree = nullptr;
    enyx_hw_core* root = nullptr;
    enyx_hw_core* core = nullptr;
};

// Card 0 seen from both sides; every card a test made is removed after it.
class CardTest : public ::testing::Test {
protected:
    void Make(const kest_sim::CardOptions& opt = {}) {
        ASSERT_EQ(kest_sim::CreateCard(0, opt), 0);
        card_ = kest_sim::Card::Open(0);
        ASSERT_NE(card_, nullptr);
        host_ = std::make_unique<Host>(0);
        ASSERT_NE(host_->core, nullptr);
        acc_ = host_->acc;
    }
    void TearDown() override {
        host_.reset();
        for (uint32_t index : kest_sim::ListCards()) kest_sim::RemoveCard(index);
    }
    std::unique_ptr<kest_sim::Card> card_;
    std::unique_ptr<Host> host_;
    enyx_hw_accelerator* acc_ = nullptr;
};

}  // namespace cardsim_test

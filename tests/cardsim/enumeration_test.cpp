// Finding the card, its MMIO region, its cores and its streams, and the
// life of a card segment.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host_access.h"

namespace cardsim_test {
namespace {

using kest_sim::CardOptions;
using kest_sim::Fault;

class EnumerationTest : public CardFixture {};

TEST_F(EnumerationTest, AcceleratorsAreFoundOnlyWhereACardWasCreated) {
    EXPECT_EQ(CountAccelerators(0), 0);
    EXPECT_EQ(CountAccelerators(-1), 0);

    ASSERT_EQ(kest_sim::CreateCard(0), 0);
    EXPECT_EQ(CountAccelerators(0), 1);
    EXPECT_EQ(CountAccelerators(1), 0);

    ASSERT_EQ(kest_sim::CreateCard(3), 0);
    EXPECT_EQ(CountAccelerators(3), 1);
    EXPECT_EQ(CountAccelerators(2), 0);
    EXPECT_EQ(CountAccelerators(-1), 2);

    // A capacity smaller than the count still reports the count.
    enyx_hw_filter* f = enyx_hw_filter_create();
    const enyx_hw_accelerator_descriptor* d[1] = {};
    EXPECT_EQ(enyx_hw_enumerate_accelerators(f, d, 1), 2);
    EXPECT_NE(d[0], nullptr);
    enyx_hw_free_accelerator_descriptors(d, 1);
    enyx_hw_filter_destroy(f);
}

TEST_F(EnumerationTest, AcceleratorHandleIsStableAndFollowsARecreatedCard) {
    ASSERT_EQ(kest_sim::CreateCard(0), 0);
    enyx_hw_accelerator* a = GetAccelerator(0);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(GetAccelerator(0), a);
    {
        Host h(0);
        ASSERT_TRUE(h.ok());
        h.Write(Kest_U50::Reg::CONFIG_CRC, 0x1234);
    }
    ASSERT_EQ(kest_sim::RemoveCard(0), 0);
    EXPECT_EQ(GetAccelerator(0), nullptr);
    ASSERT_EQ(kest_sim::CreateCard(0), 0);
    Host h(0);
    ASSERT_TRUE(h.ok());
    EXPECT_EQ(h.Read(Kest_U50::Reg::CONFIG_CRC), 0u) << "a new card starts blank";
}

TEST_F(EnumerationTest, ForeignSegmentIsNotACard) {
    const std::string name = kest_sim::ShmName(5);
    const int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 1 << 20), 0);
    const char junk[] = "not a card at all";
    ASSERT_EQ(pwrite(fd, junk, sizeof junk, 0), static_cast<ssize_t>(sizeof junk));
    close(fd);

    errno = 0;
    EXPECT_EQ(kest_sim::Card::Open(5), nullptr);
    EXPECT_EQ(errno, EPROTO);
    EXPECT_FALSE(kest_sim::CardExists(5));
    EXPECT_EQ(CountAccelerators(5), 0);
    EXPECT_EQ(kest_sim::CreateCard(5), -1);
    EXPECT_EQ(errno, EEXIST);
    shm_unlink(name.c_str());
}

TEST_F(EnumerationTest, CardLifecycle) {
    EXPECT_TRUE(kest_sim::ListCards().empty());
    EXPECT_EQ(kest_sim::Card::Open(0), nullptr);
    ASSERT_EQ(kest_sim::CreateCard(2), 0);
    ASSERT_EQ(kest_sim::CreateCard(0), 0);
    EXPECT_EQ(kest_sim::CreateCard(2), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(kest_sim::ListCards(), (std::vector<uint32_t>{0, 2}));
    EXPECT_TRUE(kest_sim::CardExists(2));
    EXPECT_FALSE(kest_sim::CardExists(1));

    auto card = kest_sim::Card::Open(2);
    ASSERT_NE(card, nullptr);
    EXPECT_EQ(card->Index(), 2u);
    card->WriteReg(Kest_U50::Reg::CONFIG_CRC, 77);
    card->WriteTableWord(SHFE_2PS, 5, 6);
    ASSERT_TRUE(card->PushA2c(0, "abc", 3));
    card->SetFault(Fault::kRegReadFails, true);

    ASSERT_EQ(kest_sim::ResetCard(2), 0);
    EXPECT_EQ(card->ReadReg(Kest_U50::Reg::CONFIG_CRC), 0u);
    EXPECT_EQ(card->ReadTableWord(SHFE_2PS, 5), 0u);
    EXPECT_EQ(card->A2cStats(0).pending, 0u);
    EXPECT_EQ(card->A2cStats(0).pushed, 0u);
    EXPECT_FALSE(card->FaultOn(Fault::kRegReadFails));

    ASSERT_EQ(kest_sim::RemoveCard(2), 0);
    EXPECT_FALSE(kest_sim::CardExists(2));
    EXPECT_EQ(kest_sim::ResetCard(2), -1);
    EXPECT_EQ(kest_sim::ListCards(), (std::vector<uint32_t>{0}));
    // The mapping of a removed card stays usable by whoever holds it.
    card->WriteReg(Kest_U50::Reg::CONFIG_CRC, 78);
    EXPECT_EQ(card->ReadReg(Kest_U50::Reg::CONFIG_CRC), 78u);
}

TEST_F(EnumerationTest, NamespaceSeparatesCards) {
    ASSERT_EQ(kest_sim::CreateCard(0), 0);
    const std::string mine = kest_sim::Namespace();
    const std::string other = mine + "_other";
    setenv("KEST_CARDSIM_NAMESPACE", other.c_str(), 1);
    EXPECT_EQ(CountAccelerators(0), 0);
    EXPECT_TRUE(kest_sim::ListCards().empty());
    EXPECT_NE(kest_sim::ShmName(0).find(other), std::string::npos);
    setenv("KEST_CARDSIM_NAMESPACE", mine.c_str(), 1);
    EXPECT_EQ(CountAccelerators(0), 1);
}

TEST_F(EnumerationTest, OnlyMmioRegionZeroExists) {
    ASSERT_EQ(kest_sim::CreateCard(0), 0);
    enyx_hw_accelerator* acc = GetAccelerator(0);
    ASSERT_NE(acc, nullptr);
    for (uint32_t index : {0u, 1u}) {
        enyx_hw_filter* f = enyx_hw_filter_create();
        enyx_hw_filter_set_index(f, index);
        const enyx_hw_mmio_descriptor* d[2] = {};
        EXPECT_EQ(enyx_hw_accelerator_enumerate_mmios(acc, f, d, 2), index == 0 ? 1 : 0);
        enyx_hw_free_mmio_descriptors(d, 2);
        enyx_hw_filter_destroy(f);
    }
}

TEST_F(EnumerationTest, CoreTreeHasTheDesignCoreUnlessCreatedWithout) {
    ASSERT_EQ(kest_sim::CreateCard(0), 0);
    CardOptions no_design;
    no_design.design_core = false;
    ASSERT_EQ(kest_sim::CreateCard(1, no_design), 0);

    Host with(0);
    ASSERT_TRUE(with.ok());
    enyx_hw_core* cores[4] = {};
    EXPECT_EQ(enyx_hw_core_enumerate(with.root(), Kest_U50::Reg::DESIGN_CORE_ID, cores, 4), 1);
    EXPECT_EQ(cores[0], with.core());
    EXPECT_EQ(enyx_hw_core_enumerate(with.root(), 0x0010, cores, 4), 1);
    EXPECT_EQ(enyx_hw_core_enumerate(with.root(), 0x0020, cores, 4), 1);
    EXPECT_EQ(enyx_hw_core_enumerate(with.root(), 0x7777, cores, 4), 0);
    // Under a leaf there is only the leaf.
    EXPECT_EQ(enyx_hw_core_enumerate(with.core(), 0x0010, cores, 4), 0);
    EXPECT_EQ(enyx_hw_core_enumerate(nullptr, 0x0010, cores, 4), -1);

    Host without(1);
    EXPECT_FALSE(without.ok());
    ASSERT_NE(without.root(), nullptr);
    EXPECT_EQ(enyx_hw_core_enumerate(without.root(), Kest_U50::Reg::DESIGN_CORE_ID, cores, 4), 0);
    EXPECT_EQ(enyx_hw_core_enumerate(without.root(), 0x0010, cores, 4), 1);
}

TEST_F(EnumerationTest, StreamsAreFoundByChannelName) {
    ASSERT_EQ(kest_sim::CreateCard(0), 0);
    enyx_hw_accelerator* acc = GetAccelerator(0);
    ASSERT_NE(acc, nullptr);
    for (bool a2c : {true, false}) {
        SCOPED_TRACE(a2c ? "a2c" : "c2a");
        EXPECT_EQ(CountStreams(acc, "CUSTOM_CHAN0_DATA", a2c), 1);
        EXPECT_EQ(CountStreams(acc, "CUSTOM_CHAN15_DATA", a2c), 1);
        EXPECT_EQ(CountStreams(acc, "CUSTOM_CHAN16_DATA", a2c), 0);
        EXPECT_EQ(CountStreams(acc, "CUSTOM_CHAN1", a2c), 0);
        EXPECT_EQ(CountStreams(acc, "", a2c), 0);
        EXPECT_EQ(CountStreams(acc, nullptr, a2c), 16);
    }
}

TEST_F(EnumerationTest, StreamFaults) {
    ASSERT_EQ(kest_sim::CreateCard(0), 0);
    auto card = kest_sim::Card::Open(0);
    enyx_hw_accelerator* acc = GetAccelerator(0);
    ASSERT_NE(acc, nullptr);

    card->SetFault(Fault::kDuplicateA2cName, true);
    EXPECT_EQ(CountStreams(acc, "CUSTOM_CHAN3_DATA", true), 2);
    EXPECT_EQ(CountStreams(acc, "CUSTOM_CHAN99_DATA", true), 0);
    EXPECT_EQ(CountStreams(acc, "CUSTOM_CHAN3_DATA", false), 1);
    card->SetFault(Fault::kDuplicateA2cName, false);
    EXPECT_EQ(CountStreams(acc, "CUSTOM_CHAN3_DATA", true), 1);

    card->SetFault(Fault::kNoC2aStream, true);
    EXPECT_EQ(CountStreams(acc, "CUSTOM_CHAN3_DATA", false), 0);
    EXPECT_EQ(CountStreams(acc, "CUSTOM_CHAN3_DATA", true), 1);
    card->SetFault(Fault::kNoC2aStream, false);

    enyx_hw_a2c_stream* s = OpenA2c(acc, 3);
    ASSERT_NE(s, nullptr);
    uint32_t mtu = 0;
    card->SetFault(Fault::kA2cMtuFails, true);
    errno = 0;
    EXPECT_NE(enyx_hw_a2c_stream_get_mtu(s, &mtu), 0);
    EXPECT_EQ(errno, EIO);
    card->SetFault(Fault::kA2cMtuFails, false);
    EXPECT_EQ(enyx_hw_a2c_stream_get_mtu(s, &mtu), 0);
    enyx_hw_a2c_stream_destroy(s);

    card->SetFault(Fault::kA2cCreateFails, true);
    EXPECT_EQ(OpenA2c(acc, 3), nullptr);
    card->SetFault(Fault::kA2cCreateFails, false);
    card->SetFault(Fault::kC2aCreateFails, true);
    EXPECT_EQ(OpenC2a(acc, 3), nullptr);
    card->SetFault(Fault::kC2aCreateFails, false);

    card->SetFault(Fault::kEnumerateFails, true);
    EXPECT_EQ(CountAccelerators(0), -1);
    card->SetFault(Fault::kEnumerateFails, false);

    // Faults given at creation are in force from the start.
    CardOptions opt;
    opt.faults = kest_sim::FaultBit(Fault::kNoC2aStream);
    ASSERT_EQ(kest_sim::CreateCard(1, opt), 0);
    enyx_hw_accelerator* acc1 = GetAccelerator(1);
    ASSERT_NE(acc1, nullptr);
    EXPECT_EQ(CountStreams(acc1, "CUSTOM_CHAN0_DATA", false), 0);
}

TEST_F(EnumerationTest, MtusFollowTheCreationOptions) {
    ASSERT_EQ(kest_sim::CreateCard(0), 0);
    CardOptions opt;
    opt.a2c_mtu = 4000;
    opt.c2a_mtu = 300;
    ASSERT_EQ(kest_sim::CreateCard(1, opt), 0);
    const std::pair<uint32_t, CardOptions> cases[] = {{0, CardOptions{}}, {1, opt}};
    for (const auto& [index, o] : cases) {
        enyx_hw_accelerator* acc = GetAccelerator(index);
        ASSERT_NE(acc, nullptr);
        enyx_hw_a2c_stream* a = OpenA2c(acc, 7);
        enyx_hw_c2a_stream* c = OpenC2a(acc, 7);
        ASSERT_NE(a, nullptr);
        ASSERT_NE(c, nullptr);
        uint32_t a_mtu = 0, c_mtu = 0;
        EXPECT_EQ(enyx_hw_a2c_stream_get_mtu(a, &a_mtu), 0);
        EXPECT_EQ(enyx_hw_c2a_stream_get_mtu(c, &c_mtu), 0);
        EXPECT_EQ(a_mtu, o.a2c_mtu);
        EXPECT_EQ(c_mtu, o.c2a_mtu);
        enyx_hw_a2c_stream_destroy(a);
        enyx_hw_c2a_stream_destroy(c);
    }
    EXPECT_EQ(CardOptions{}.a2c_mtu, 2048u);
    EXPECT_EQ(CardOptions{}.c2a_mtu, 1024u);
}

TEST_F(EnumerationTest, HandlesOutliveWhatTheyWereMadeFrom) {
    ASSERT_EQ(kest_sim::CreateCard(0), 0);
    auto card = kest_sim::Card::Open(0);
    enyx_hw_accelerator* acc = GetAccelerator(0);
    ASSERT_NE(acc, nullptr);

    // MMIO destroyed before the tree: the tree and its cores still work.
    enyx_hw_filter* f = enyx_hw_filter_create();
    const enyx_hw_mmio_descriptor* md[1] = {};
    ASSERT_EQ(enyx_hw_accelerator_enumerate_mmios(acc, f, md, 1), 1);
    enyx_hw_filter_destroy(f);
    enyx_hw_mmio* mmio = enyx_hw_mmio_create(md[0]);
    enyx_hw_free_mmio_descriptors(md, 1);
    EXPECT_EQ(md[0], nullptr);
    enyx_hw_core_tree* tree = enyx_hw_enumerate_cores(mmio);
    enyx_hw_mmio_destroy(mmio);
    enyx_hw_core* core = nullptr;
    ASSERT_EQ(
        enyx_hw_core_enumerate(enyx_hw_core_tree_get_root(tree), Kest_U50::Reg::DESIGN_CORE_ID, &core, 1), 1);
    enyx_hw_register_description d{};
    d.address = Kest_U50::Reg::ByteAddress(Kest_U50::Reg::CONFIG_CRC);
    d.size = 32;
    EXPECT_EQ(enyx_hw_write(core, &d, 99), 0);
    EXPECT_EQ(card->ReadReg(Kest_U50::Reg::CONFIG_CRC), 99u);
    enyx_hw_destroy_tree(tree);

    // Streams made from freed descriptors deliver and send.
    enyx_hw_a2c_stream* a = OpenA2c(acc, 1);
    enyx_hw_c2a_stream* c = OpenC2a(acc, 1);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(c, nullptr);
    ASSERT_TRUE(card->PushA2c(1, "hello", 5));
    std::string got;
    EXPECT_EQ(enyx_hw_a2c_stream_poll_once(
                  a,
                  [](const uint8_t* p, uint32_t n, void* o) {
                      static_cast<std::string*>(o)->assign((const char*)p, n);
                  },
                  &got),
              1);
    EXPECT_EQ(got, "hello");
    EXPECT_EQ(enyx_hw_c2a_stream_send(c, "xy", 2), 0);
    std::vector<uint8_t> out;
    ASSERT_TRUE(card->PopC2a(1, out));
    EXPECT_EQ(std::string(out.begin(), out.end()), "xy");
    enyx_hw_a2c_stream_destroy(a);
    enyx_hw_c2a_stream_destroy(c);
}

TEST_F(EnumerationTest, BadArgumentsFailWithEinval) {
    ASSERT_EQ(kest_sim::CreateCard(0), 0);
    errno = 0;
    EXPECT_EQ(enyx_hw_filter_set_index(nullptr, 0), -1);
    EXPECT_EQ(errno, EINVAL);
    enyx_hw_filter* f = enyx_hw_filter_create();
    EXPECT_EQ(enyx_hw_filter_set_name(f, nullptr), -1);
    EXPECT_EQ(enyx_hw_enumerate_accelerators(f, nullptr, 1), -1);
    EXPECT_EQ(enyx_hw_enumerate_accelerators(f, nullptr, 0), 1);
    enyx_hw_filter_destroy(f);
    EXPECT_EQ(enyx_hw_accelerator_get(nullptr), nullptr);
    EXPECT_EQ(enyx_hw_mmio_create(nullptr), nullptr);
    EXPECT_EQ(enyx_hw_enumerate_cores(nullptr), nullptr);
    EXPECT_EQ(enyx_hw_accelerator_enumerate_a2c_streams(nullptr, nullptr, nullptr, 0), -1);
    EXPECT_EQ(enyx_hw_a2c_stream_poll_once(nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(enyx_hw_c2a_stream_send(nullptr, "x", 1), -1);
    EXPECT_EQ(errno, EINVAL);
}

}  // namespace
}  // namespace cardsim_test

// Finding cards, regions, cores and streams; the life of a card; the switchable faults.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <tuple>

#include "host_access.h"

namespace cardsim_test {
namespace {

using kest_sim::Fault;

TEST_F(CardTest, CardsExistFromCreateToRemoveWithinTheirNamespace) {
    ASSERT_EQ(kest_sim::CreateCard(2), 0);
    ASSERT_EQ(kest_sim::CreateCard(0), 0);
    EXPECT_TRUE(kest_sim::CreateCard(2) == -1 && errno == EEXIST);
    EXPECT_EQ(kest_sim::ListCards(), (std::vector<uint32_t>{0, 2}));
    const std::pair<int64_t, ssize_t> found[] = {{0, 1}, {1, 0}, {2, 1}, {-1, 2}};
    for (auto [index, want] : found) EXPECT_EQ(FindAccelerators(index), want) << index;
    const std::string mine = kest_sim::Namespace();
    setenv("KEST_CARDSIM_NAMESPACE", (mine + "_other").c_str(), 1);
    EXPECT_EQ(FindAccelerators(-1), 0);
    EXPECT_TRUE(kest_sim::ListCards().empty());
    setenv("KEST_CARDSIM_NAMESPACE", mine.c_str(), 1);

    auto card = kest_sim::Card::Open(2);
    card->WriteReg(R::CONFIG_CRC, 77);
    card->WriteTableWord(SHFE_2PS, 5, 6);
    ASSERT_TRUE(card->PushA2c(0, "abc", 3));
    card->SetFault(Fault::kRegReadFails, true);
    ASSERT_EQ(kest_sim::ResetCard(2), 0);
    EXPECT_EQ(card->ReadReg(R::CONFIG_CRC) + card->ReadTableWord(SHFE_2PS, 5) + card->A2cStats(0).pending,
              0u);
    EXPECT_FALSE(card->FaultOn(Fault::kRegReadFails));
    ASSERT_EQ(kest_sim::RemoveCard(2), 0);
    EXPECT_EQ(kest_sim::ResetCard(2), -1);
    EXPECT_EQ(FindAccelerators(2), 0);
    card->WriteReg(R::CONFIG_CRC, 78);
    EXPECT_EQ(card->ReadReg(R::CONFIG_CRC), 78u) << "whoever maps a removed card keeps using it";

    // A segment of a card's name that is not a card is refused.
    const int fd = shm_open(kest_sim::ShmName(5).c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_EQ(ftruncate(fd, 1 << 20), 0);
    ASSERT_EQ(pwrite(fd, "not a card at all", 17, 0), 17);
    close(fd);
    EXPECT_EQ(kest_sim::Card::Open(5), nullptr);
    EXPECT_EQ(errno, EPROTO);
    EXPECT_EQ(FindAccelerators(5), 0);
    shm_unlink(kest_sim::ShmName(5).c_str());
}

TEST_F(CardTest, RegionsCoresAndStreamsAsTheProductFindsThem) {
    Make();
    kest_sim::CardOptions other;
    other.design_core = false;
    ASSERT_EQ(kest_sim::CreateCard(1, other), 0);
    // Region 0 as the product asks for it; the tree and its cores outlive the region and its descriptor.
    enyx_hw_filter* f = enyx_hw_filter_create();
    enyx_hw_filter_set_index(f, 0);
    const enyx_hw_mmio_descriptor* md[1] = {};
    ASSERT_EQ(enyx_hw_accelerator_enumerate_mmios(acc_, f, md, 1), 1);
    enyx_hw_filter_destroy(f);
    enyx_hw_mmio* mmio = enyx_hw_mmio_create(md[0]);
    enyx_hw_free_mmio_descriptors(md, 1);
    enyx_hw_core_tree* tree = enyx_hw_enumerate_cores(mmio);
    enyx_hw_mmio_destroy(mmio);
    enyx_hw_core* core = nullptr;
    ASSERT_EQ(enyx_hw_core_enumerate(enyx_hw_core_tree_get_root(tree), R::DESIGN_CORE_ID, &core, 1), 1);
    const enyx_hw_register_description d{R::ByteAddress(R::CONFIG_CRC), 0, 32, {}};
    EXPECT_EQ(enyx_hw_write(core, &d, 99), 0);
    EXPECT_EQ(card_->ReadReg(R::CONFIG_CRC), 99u);
    enyx_hw_destroy_tree(tree);
    // Cores by id under a core: itself and its children; a card may lack the design core.
    Host without(1);
    EXPECT_EQ(without.core, nullptr);
    EXPECT_EQ(enyx_hw_core_enumerate(host_->root, 0x7777, &core, 1), 0);
    EXPECT_EQ(enyx_hw_core_enumerate(host_->core, 0x0010, &core, 1), 0);
    EXPECT_EQ(enyx_hw_core_enumerate(without.root, 0x0010, &core, 1), 1);

    const std::pair<const char*, ssize_t> names[] = {{"CUSTOM_CHAN0_DATA", 1},
                                                     {"CUSTOM_CHAN15_DATA", 1},
                                                     {"CUSTOM_CHAN16_DATA", 0},
                                                     {"CUSTOM_CHAN1", 0},
                                                     {"", 0},
                                                     {nullptr, 16}};
    for (auto [name, want] : names) {
        EXPECT_EQ(Streams(acc_, name, true), want) << (name ? name : "all");
        EXPECT_EQ(Streams(acc_, name, false), want) << (name ? name : "all");
    }
}

std::string Rc(int rc) { return rc == 0 ? "ok" : errno == EIO ? "EIO" : "errno " + std::to_string(errno); }
template <typename S>
std::string Made(S* s, void (*destroy)(S*)) {
    const std::string rc = Rc(s != nullptr ? 0 : -1);
    destroy(s);
    return rc;
}

TEST_F(CardTest, EachFaultFailsItsCallUntilSwitchedOff) {
    Make();
    const std::tuple<Fault, std::function<std::string()>, std::string, std::string> rows[] = {
        {Fault::kA2cCreateFails, [&] { return Made(OpenA2c(acc_, 3), enyx_hw_a2c_stream_destroy); }, "EIO",
         "ok"},
        {Fault::kC2aCreateFails, [&] { return Made(OpenC2a(acc_, 3), enyx_hw_c2a_stream_destroy); }, "EIO",
         "ok"},
        {Fault::kCoreResetFails, [&] { return Rc(enyx_hw_core_reset(host_->root)); }, "EIO", "ok"},
        {Fault::kEnumerateFails, [&] { return std::to_string(FindAccelerators(0)); }, "-1", "1"},
        // A failed write stores and journals nothing: rc, then value + 10 x entries journaled.
        {Fault::kRegWriteFails,
         [&] {
             card_->WriteReg(R::CONFIG_CRC, 0);
             const uint64_t head = card_->JournalHead();
             const std::string rc = Rc(host_->Write(R::CONFIG_CRC, 5)) + " ";
             return rc + std::to_string(card_->ReadReg(R::CONFIG_CRC) + 10 * (card_->JournalHead() - head));
         },
         "EIO 0", "ok 15"},
    };
    for (const auto& [fault, call, on, off] : rows) {
        SCOPED_TRACE(static_cast<int>(fault));
        EXPECT_EQ(call(), off);
        card_->SetFault(fault, true);
        EXPECT_EQ(call(), on);
        card_->SetFault(fault, false);
        EXPECT_EQ(call(), off);
    }
    kest_sim::CardOptions opt;
    opt.faults = kest_sim::FaultBit(Fault::kNoC2aStream);
    ASSERT_EQ(kest_sim::CreateCard(1, opt), 0);
    EXPECT_EQ(Streams(GetAccelerator(1), "CUSTOM_CHAN0_DATA", false), 0)
        << "faults given at creation hold from the start";
}

}  // namespace
}  // namespace cardsim_test

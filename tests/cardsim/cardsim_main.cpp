// Each test process has a card namespace of its own (tests run in parallel) and removes its cards.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "kest_cardsim.h"

int main(int argc, char** argv) {
    const std::string ns = "test_" + std::to_string(getpid());
    setenv("KEST_CARDSIM_NAMESPACE", ns.c_str(), 1);
    ::testing::InitGoogleTest(&argc, argv);
    const int rc = RUN_ALL_TESTS();
    for (uint32_t index : kest_sim::ListCards()) kest_sim::RemoveCard(index);
    return rc;
}

// Every test process works in a card namespace of its own and removes its
// cards when it ends.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "kest_cardsim.h"

int main(int argc, char** argv) {
    const std::string ns = "cardlogic_" + std::to_string(getpid());
    setenv("KEST_CARDSIM_NAMESPACE", ns.c_str(), 1);
    ::testing::InitGoogleTest(&argc, argv);
    const int rc = RUN_ALL_TESTS();
    for (uint32_t index : kest_sim::ListCards()) kest_sim::RemoveCard(index);
    return rc;
}

// The advice every tool gives when no card of an index answers.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>

namespace kest_tools {

inline std::string CardNamespace() {
    const char* ns = std::getenv("KEST_CARDSIM_NAMESPACE");
    return ns != nullptr && *ns != '\0' ? ns : "default";
}

// library: the libenyx-hw-c.so.5 that was asked, as far as the tool knows it.
inline std::string NoCardHint(uint32_t index, const std::string& library) {
    return "looked for card " + std::to_string(index) + " through " + library +
           ".\n  On a real card: check that the card is installed and its driver loaded "
           "(the card index is the first number of device=xilinxN:C).\n"
           "  With the card model: the card is looked for in namespace \"" +
           CardNamespace() +
           "\" (from KEST_CARDSIM_NAMESPACE); start the model there with\n"
           "    kest-card-sim --card " +
           std::to_string(index) + "\n  or set KEST_CARDSIM_NAMESPACE to the namespace the model runs in.";
}

}  // namespace kest_tools

#include "StartDiagnosis.h"

#include <cstdint>
#include <fstream>
#include <string>

#include "CardHint.h"
#include "ConfigFileKind.h"

namespace kest_tools {

namespace {

std::string Advice(const std::string& line, const std::string& config, int bus, int channel) {
    if (line.find("ReadConfig") != std::string::npos && line.find("failed") != std::string::npos &&
        line.find("_ReadConfig failed") == std::string::npos)
        return "the library cannot read the configuration file " + config + ".";
    if (line.find("Could not find accelerator") != std::string::npos)
        return "no card " + std::to_string(bus) + " answered; " +
               NoCardHint(static_cast<uint32_t>(bus), "libenyx-hw-c.so.5");
    if (line.find("_GetCore is nullptr") != std::string::npos)
        return "card " + std::to_string(bus) +
               " has no design core 474: is the market-data design loaded on the card?";
    if (line.find("DMA Init failed") != std::string::npos)
        return "card " + std::to_string(bus) + " has no DMA stream CUSTOM_CHAN" + std::to_string(channel) +
               "_DATA for channel " + std::to_string(channel) + " (device=xilinxN:C names the channel).";
    if (line.find("Error opening file") != std::string::npos) {
        const std::string problem = ConfigFileProblem(config);
        return "the library cannot checksum the configuration file " + config +
               (problem.empty() ? "." : ": it " + problem + ".");
    }
    return std::string();
}

}  // namespace

std::string StartDiagnosis(const std::string& log, const std::string& config, int bus, int channel) {
    if (log.empty()) return std::string();
    std::ifstream in(log);
    std::string advice;
    for (std::string line; std::getline(in, line);) {
        // Each start begins with the version line: only the last start counts.
        if (line.find("KEST_U50_VERSION") != std::string::npos) advice.clear();
        if (advice.empty()) advice = Advice(line, config, bus, channel);
    }
    return advice;
}

}  // namespace kest_tools

#include "StartLog.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>

#include "CardHint.h"
#include "ConfigFileKind.h"

namespace kest_md_recv {

std::string OwnLogFile(time_t since) {
    std::string best;
    time_t bestTime = 0;
    DIR* dir = opendir(".");
    if (dir == nullptr) return best;
    while (struct dirent* e = readdir(dir)) {
        const std::string name = e->d_name;
        if (name.compare(0, 9, "kest_u50_") != 0 || name.size() < 4 ||
            name.compare(name.size() - 4, 4, ".log") != 0)
            continue;
        struct stat st;
        if (stat(name.c_str(), &st) != 0 || st.st_mtime + 1 < since) continue;
        if (best.empty() || st.st_mtime > bestTime || (st.st_mtime == bestTime && name > best)) {
            best = name;
            bestTime = st.st_mtime;
        }
    }
    closedir(dir);
    return best;
}

std::string Diagnose(const std::string& log, const Options& opt, int bus, int channel) {
    std::ifstream in(log);
    std::string line;
    std::string advice;
    while (std::getline(in, line)) {
        if (line.find("ReadConfig") != std::string::npos && line.find("failed") != std::string::npos &&
            line.find("_ReadConfig failed") == std::string::npos) {
            advice = "the library cannot read the configuration file " + opt.config + ".";
        } else if (line.find("Could not find accelerator") != std::string::npos) {
            advice = "no card " + std::to_string(bus) + " answered; " +
                     kest_tools::NoCardHint(static_cast<uint32_t>(bus), "libenyx-hw-c.so.5");
        } else if (line.find("_GetCore is nullptr") != std::string::npos) {
            advice = "card " + std::to_string(bus) +
                     " has no design core 474: is the market-data design loaded on the card?";
        } else if (line.find("DMA Init failed") != std::string::npos) {
            advice = "card " + std::to_string(bus) + " has no DMA stream CUSTOM_CHAN" +
                     std::to_string(channel) + "_DATA for channel " + std::to_string(channel) +
                     " (device=xilinxN:C names the channel).";
        } else if (line.find("Error opening file") != std::string::npos) {
            const std::string problem = kest_tools::ConfigFileProblem(opt.config);
            advice = "the library cannot checksum the configuration file " + opt.config +
                     (problem.empty() ? "." : ": it " + problem + ".");
        }
        if (!advice.empty()) break;
    }
    return advice;
}

}  // namespace kest_md_recv

#include "StartVerdict.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "ConfigFileKind.h"
#include "ConfigKeys.h"
#include "config/IniReader.h"
#include "crc/Crc32.h"

namespace kest_tools {

std::string StartVerdict::Headline(const std::string& path) const {
    if (!startFails.empty())
        return path + ": START FAILS: " + startFails +
               "; the start fails before touching the card. No channel can start with this file.";
    if (dangers.empty()) return std::string();
    std::string s = path + ": DANGEROUS: " + dangers[0];
    for (size_t i = 1; i < dangers.size(); ++i) s += "; " + dangers[i];
    return s + ". Do not start channel 0 with this file.";
}

StartVerdict StartVerdict::Read(const std::string& path) {
    StartVerdict v;
    Kest_U50::CIniReader ini;
    errno = 0;
    v.opened = ini.ReadConfig(path);
    if (!v.opened) {
        v.openError = std::strerror(errno != 0 ? errno : ENOENT);
        return v;
    }
    const std::string problem = ConfigFileProblem(path);
    if (!problem.empty()) {
        v.startFails = "the file " + problem;
        return v;
    }
    // The checksum over every byte, as the library takes it before it
    // decides whether to program the card.
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Kest_U50::CCrc32 crc;
    v.checksumOk =
        !bytes.empty() && crc.calculate_crc32c(v.checksum, reinterpret_cast<const uint8_t*>(bytes.data()),
                                               static_cast<int32_t>(bytes.size())) == 0;
    if (!v.checksumOk) {
        v.startFails = "the library cannot checksum the file";
        return v;
    }
    // The same reads as the start.
    const ConfigKey& deviceKey = *FindConfigKey(kConfigSection, "device");
    const std::string device = ini.ReadString(kConfigSection, deviceKey.name, deviceKey.def);
    (void)std::sscanf(device.c_str(), "xilinx%d:%d", &v.bus, &v.channel);
    const ConfigKey& crcKey = *FindConfigKey(kConfigSection, "crc_mux_check");
    v.crcMuxCheck =
        ini.ReadUInt16(kConfigSection, crcKey.name, static_cast<uint16_t>(std::atoi(crcKey.def))) == 1;
    {
        std::ifstream lines(path);
        std::string line, current, section, key, value;
        while (!v.recognised && std::getline(lines, line)) {
            if (!ini.AnalyseLine(line, section, key, value)) continue;
            if (key.empty()) {
                current = section;
            } else if (IsReadKey(current, key)) {
                v.recognised = true;
            }
        }
    }
    if (!v.recognised) {
        v.dangers.push_back(
            "the library recognises no key in this file: a start reads it as channel 0 with every "
            "default, reprograms the card and empties every channel's subscriptions");
    } else if (v.channel == 0) {
        bool anyFeed = false;
        for (int feed = 0; feed < Kest_U50::FEED_COUNT; ++feed) {
            const ConfigKey& key = FeedSwitch(feed);
            anyFeed = anyFeed || ini.ReadString(kConfigSection, key.name, key.def) == "enabled";
        }
        if (!anyFeed)
            v.dangers.push_back(
                "no feed is enabled: a start of channel 0 reprograms the card and then waits for ever "
                "for a snapshot that never completes");
        bool anyList = false;
        const ConfigKey& insts = *FindConfigKey(kChannelSection, "insts");
        for (int n = 0; n < Kest_U50::CHANNEL_SIZE && !anyList; ++n)
            anyList = !ini.ReadString(ChannelSectionName(n).c_str(), insts.name, insts.def).empty();
        if (!anyList)
            v.dangers.push_back(
                "channel 0 with no instrument list for any channel: a start reprograms the card and leaves "
                "every channel (0 to 15) without subscriptions");
    }
    if (v.channel < 0 || v.channel >= Kest_U50::CHANNEL_SIZE) {
        v.startFails = "channel " + std::to_string(v.channel) + " does not exist (0 to " +
                       std::to_string(Kest_U50::CHANNEL_SIZE - 1) +
                       "): the start finds no DMA stream CUSTOM_CHAN" + std::to_string(v.channel) + "_DATA";
        // The line of the device key that counts (the last one in [config]).
        std::ifstream lines(path);
        std::string line, current, section, key, value;
        for (int n = 1; std::getline(lines, line); ++n) {
            if (!ini.AnalyseLine(line, section, key, value)) continue;
            if (key.empty()) {
                current = section;
            } else if (key == deviceKey.name && current == kConfigSection) {
                v.startFailsLine = n;
            }
        }
    }
    return v;
}

bool StartAllowed(const char* tool, const std::string& path) {
    const StartVerdict v = StartVerdict::Read(path);
    const std::string headline = v.Headline(path);
    if (headline.empty()) return true;
    std::fprintf(stderr,
                 "%s: %s\n%s: not started: the card was not touched (kest-config-check %s shows what the "
                 "library reads; --force starts anyway)\n",
                 tool, headline.c_str(), tool, path.c_str());
    return false;
}

}  // namespace kest_tools

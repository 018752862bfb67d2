#include "StartVerdict.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "ConfigFileKind.h"
#include "config/IniReader.h"
#include "crc/Crc32.h"

namespace kest_tools {

namespace {

// Every key the library reads in [config]; [channel0] to [channel15] hold insts and options.
const char* const kConfigKeyNames[] = {"log_level",
                                       "cpucore",
                                       "device",
                                       "shfe2ps",
                                       "shfe4ps",
                                       "ine2ps",
                                       "ine4ps",
                                       "shfe2ps_ip_a",
                                       "shfe2ps_ip_b",
                                       "shfe4ps_ip_a",
                                       "shfe4ps_ip_b",
                                       "ine2ps_ip_a",
                                       "ine2ps_ip_b",
                                       "ine4ps_ip_a",
                                       "ine4ps_ip_b",
                                       "shfe2ps_topic_id",
                                       "shfe4ps_topic_id",
                                       "ine2ps_topic_id",
                                       "ine4ps_topic_id",
                                       "shfe2ps_snap_port",
                                       "shfe4ps_snap_port",
                                       "ine2ps_snap_port",
                                       "ine4ps_snap_port",
                                       "shfe2ps_max_inst_no",
                                       "shfe4ps_max_inst_no",
                                       "ine2ps_max_inst_no",
                                       "ine4ps_max_inst_no",
                                       "last_tick_channel",
                                       "board_id",
                                       "DSTMAC",
                                       "DSTIP",
                                       "DSTPORT",
                                       "SRCMAC",
                                       "SRCIP",
                                       "SRCPORT",
                                       "TARGETROUTE",
                                       "crc_mux_check"};

// The feed switches with the library's defaults, in feed-bit order.
const char* const kFeedSwitches[4][2] = {
    {"shfe2ps", "enabled"}, {"shfe4ps", "disabled"}, {"ine2ps", "disabled"}, {"ine4ps", "enabled"}};

}  // namespace

bool StartVerdict::IsReadKey(const std::string& section, const std::string& key) {
    if (section == "config") {
        for (const char* name : kConfigKeyNames)
            if (key == name) return true;
        return false;
    }
    for (int n = 0; n < 16; ++n)
        if (section == "channel" + std::to_string(n)) return key == "insts" || key == "options";
    return false;
}

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
    const std::string device = ini.ReadString("config", "device", "xilinx0:0");
    (void)std::sscanf(device.c_str(), "xilinx%d:%d", &v.bus, &v.channel);
    v.crcMuxCheck = ini.ReadUInt16("config", "crc_mux_check", 0) == 1;
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
        for (const auto& feed : kFeedSwitches)
            anyFeed = anyFeed || ini.ReadString("config", feed[0], feed[1]) == "enabled";
        if (!anyFeed)
            v.dangers.push_back(
                "no feed is enabled: a start of channel 0 reprograms the card and then waits for ever "
                "for a snapshot that never completes");
        bool anyList = false;
        for (int n = 0; n < 16 && !anyList; ++n)
            anyList = !ini.ReadString(("channel" + std::to_string(n)).c_str(), "insts", "").empty();
        if (!anyList)
            v.dangers.push_back(
                "channel 0 with no instrument list for any channel: a start reprograms the card and leaves "
                "every channel (0 to 15) without subscriptions");
    }
    if (v.channel < 0 || v.channel > 15) {
        v.startFails = "channel " + std::to_string(v.channel) +
                       " does not exist (0 to 15): the start finds no DMA stream CUSTOM_CHAN" +
                       std::to_string(v.channel) + "_DATA";
        // The line of the device key that counts (the last one in [config]).
        std::ifstream lines(path);
        std::string line, current, section, key, value;
        for (int n = 1; std::getline(lines, line); ++n) {
            if (!ini.AnalyseLine(line, section, key, value)) continue;
            if (key.empty()) {
                current = section;
            } else if (key == "device" && current == "config") {
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

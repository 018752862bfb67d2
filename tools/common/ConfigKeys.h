// Every key the library reads from a configuration file, with the reader call
// it uses, its default and the rule its value follows, in the order a start
// reads them. kest-config-check, the start verdict, the Python module (through
// its extension) and the manual page's key table all take the keys from here;
// tests/api/config_test.cpp holds this table against what the library itself
// loads, key by key.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>

#include "DateType.h"
#include "FeedTable.h"
#include "FpgaDataType.h"

namespace kest_tools {

// The INI reader's call for a key: ReadInt32, ReadUInt16, ReadUInt32 or ReadString.
enum class ConfigReader { Int32, UInt16, UInt32, Text };

// What the library makes of a value beyond its reader's conversion.
enum class ConfigRule {
    Plain,
    LogLevel,     // bit mask of log levels
    CpuCore,      // -1: no binding
    Device,       // "xilinx%d:%d": card and channel
    Switch,       // exactly "enabled" enables the key's feed
    Multicast,    // "address:port" of one line of the key's feed
    LowBits16,    // only the low 16 bits are kept
    Mac,          // six two-digit hex bytes
    Ip,           // dotted IPv4
    CrcFlag,      // on when the 16-bit value is exactly 1
    Instruments,  // comma-separated tokens, or exactly "all"
    Options,      // exactly "recv" takes option instruments
};

struct ConfigKey {
    const char* name;
    const char* section;  // "config", or "channel" for each of [channel0] to [channel15]
    ConfigReader reader;
    const char* def;  // the library's default, as text
    ConfigRule rule;
    size_t capacity;    // of the field a text is copied into (0: kept whole)
    int feed;           // the feed (EMDQPDataType) of a switch or a multicast line, -1 otherwise
    bool everyChannel;  // read on every channel, not only on channel 0
};

constexpr const char* kConfigSection = "config";
constexpr const char* kChannelSection = "channel";

constexpr size_t kAddress = sizeof(Kest_U50::CAddressType);
constexpr size_t kMac = sizeof(Kest_U50::CMACType);
constexpr size_t kIp = sizeof(Kest_U50::CIPType);
constexpr size_t kList = sizeof(Kest_U50::CInstrumentListType);

// clang-format off
constexpr ConfigKey kConfigKeys[] = {
    {"log_level",           "config",  ConfigReader::Int32,  "15",                 ConfigRule::LogLevel,    0,        -1, true},
    {"cpucore",             "config",  ConfigReader::Int32,  "-1",                 ConfigRule::CpuCore,     0,        -1, true},
    {"device",              "config",  ConfigReader::Text,   "xilinx0:0",          ConfigRule::Device,      0,        -1, true},
    {Kest_U50::FEEDS[SHFE_2PS].key, "config",  ConfigReader::Text,   "enabled",            ConfigRule::Switch,      0,        SHFE_2PS, false},
    {Kest_U50::FEEDS[SHFE_4PS].key, "config",  ConfigReader::Text,   "disabled",           ConfigRule::Switch,      0,        SHFE_4PS, false},
    {Kest_U50::FEEDS[INE_2PS].key, "config",  ConfigReader::Text,   "disabled",           ConfigRule::Switch,      0,        INE_2PS, false},
    {Kest_U50::FEEDS[INE_4PS].key, "config",  ConfigReader::Text,   "enabled",            ConfigRule::Switch,      0,        INE_4PS, false},
    {"shfe2ps_ip_a",        "config",  ConfigReader::Text,   "239.3.42.71:21000",  ConfigRule::Multicast,   kAddress, SHFE_2PS, false},
    {"shfe2ps_ip_b",        "config",  ConfigReader::Text,   "239.4.42.72:21000",  ConfigRule::Multicast,   kAddress, SHFE_2PS, false},
    {"shfe4ps_ip_a",        "config",  ConfigReader::Text,   "239.3.2.3:21101",    ConfigRule::Multicast,   kAddress, SHFE_4PS, false},
    {"shfe4ps_ip_b",        "config",  ConfigReader::Text,   "239.4.2.4:21101",    ConfigRule::Multicast,   kAddress, SHFE_4PS, false},
    {"ine2ps_ip_a",         "config",  ConfigReader::Text,   "239.3.52.71:25000",  ConfigRule::Multicast,   kAddress, INE_2PS, false},
    {"ine2ps_ip_b",         "config",  ConfigReader::Text,   "239.4.52.72:25000",  ConfigRule::Multicast,   kAddress, INE_2PS, false},
    {"ine4ps_ip_a",         "config",  ConfigReader::Text,   "239.3.151.91:25101", ConfigRule::Multicast,   kAddress, INE_4PS, false},
    {"ine4ps_ip_b",         "config",  ConfigReader::Text,   "239.4.151.92:25101", ConfigRule::Multicast,   kAddress, INE_4PS, false},
    {"shfe2ps_topic_id",    "config",  ConfigReader::Int32,  "1000",               ConfigRule::Plain,       0,        -1, false},
    {"shfe4ps_topic_id",    "config",  ConfigReader::Int32,  "1101",               ConfigRule::Plain,       0,        -1, false},
    {"ine2ps_topic_id",     "config",  ConfigReader::Int32,  "5000",               ConfigRule::Plain,       0,        -1, false},
    {"ine4ps_topic_id",     "config",  ConfigReader::Int32,  "5101",               ConfigRule::Plain,       0,        -1, false},
    {"shfe2ps_snap_port",   "config",  ConfigReader::UInt16, "33022",              ConfigRule::Plain,       0,        -1, false},
    {"shfe4ps_snap_port",   "config",  ConfigReader::UInt16, "22000",              ConfigRule::Plain,       0,        -1, false},
    {"ine2ps_snap_port",    "config",  ConfigReader::UInt16, "33022",              ConfigRule::Plain,       0,        -1, false},
    {"ine4ps_snap_port",    "config",  ConfigReader::UInt16, "22000",              ConfigRule::Plain,       0,        -1, false},
    {"shfe2ps_max_inst_no", "config",  ConfigReader::Int32,  "81000",              ConfigRule::Plain,       0,        -1, false},
    {"shfe4ps_max_inst_no", "config",  ConfigReader::Int32,  "81101",              ConfigRule::Plain,       0,        -1, false},
    {"ine2ps_max_inst_no",  "config",  ConfigReader::Int32,  "85000",              ConfigRule::Plain,       0,        -1, false},
    {"ine4ps_max_inst_no",  "config",  ConfigReader::Int32,  "85101",              ConfigRule::Plain,       0,        -1, false},
    {"last_tick_channel",   "config",  ConfigReader::UInt32, "0",                  ConfigRule::LowBits16,   0,        -1, false},
    {"board_id",            "config",  ConfigReader::Int32,  "0",                  ConfigRule::Plain,       0,        -1, false},
    {"DSTMAC",              "config",  ConfigReader::Text,   "",                   ConfigRule::Mac,         kMac,     -1, false},
    {"DSTIP",               "config",  ConfigReader::Text,   "",                   ConfigRule::Ip,          kIp,      -1, false},
    {"DSTPORT",             "config",  ConfigReader::UInt16, "0",                  ConfigRule::Plain,       0,        -1, false},
    {"SRCMAC",              "config",  ConfigReader::Text,   "",                   ConfigRule::Mac,         kMac,     -1, false},
    {"SRCIP",               "config",  ConfigReader::Text,   "",                   ConfigRule::Ip,          kIp,      -1, false},
    {"SRCPORT",             "config",  ConfigReader::UInt16, "0",                  ConfigRule::Plain,       0,        -1, false},
    {"TARGETROUTE",         "config",  ConfigReader::Int32,  "0",                  ConfigRule::Plain,       0,        -1, false},
    {"crc_mux_check",       "config",  ConfigReader::UInt16, "0",                  ConfigRule::CrcFlag,     0,        -1, false},
    {"insts",               "channel", ConfigReader::Text,   "",                   ConfigRule::Instruments, kList,    -1, false},
    {"options",             "channel", ConfigReader::Text,   "norecv",             ConfigRule::Options,     0,        -1, false},
};
// clang-format on
constexpr size_t kConfigKeyCount = sizeof kConfigKeys / sizeof kConfigKeys[0];

inline const char* ReaderName(ConfigReader r) {
    switch (r) {
        case ConfigReader::Int32:
            return "int32";
        case ConfigReader::UInt16:
            return "uint16";
        case ConfigReader::UInt32:
            return "uint32";
        case ConfigReader::Text:
            return "text";
    }
    return "?";
}

inline const char* RuleName(ConfigRule r) {
    switch (r) {
        case ConfigRule::Plain:
            return "number";
        case ConfigRule::LogLevel:
            return "log-level mask";
        case ConfigRule::CpuCore:
            return "CPU, -1 none";
        case ConfigRule::Device:
            return "xilinxCARD:CHANNEL";
        case ConfigRule::Switch:
            return "exactly 'enabled' enables";
        case ConfigRule::Multicast:
            return "address:port";
        case ConfigRule::LowBits16:
            return "low 16 bits kept";
        case ConfigRule::Mac:
            return "aa:bb:cc:dd:ee:ff";
        case ConfigRule::Ip:
            return "dotted IPv4";
        case ConfigRule::CrcFlag:
            return "on when exactly 1";
        case ConfigRule::Instruments:
            return "tokens, or exactly 'all'";
        case ConfigRule::Options:
            return "exactly 'recv' enables";
    }
    return "?";
}

// The key of [config] (section "config") or of the channels (any other section) by name, or null.
inline const ConfigKey* FindConfigKey(const std::string& section, const std::string& name) {
    const bool channel = section != kConfigSection;
    for (const ConfigKey& k : kConfigKeys)
        if ((std::strcmp(k.section, kChannelSection) == 0) == channel && name == k.name) return &k;
    return nullptr;
}

// The section of channel n, "channel" and n in decimal, built as the library builds it.
inline std::string ChannelSectionName(int n) {
    Kest_U50::CChannelNameType name;
    name.UnSafeCopyFrom(kChannelSection);
    name.Append(static_cast<int32_t>(n));
    return name.data();
}

// Whether the library reads this key in this section (on channel 0): the keys
// of [config], and those of the channels in [channel0] to [channel15].
inline bool IsReadKey(const std::string& section, const std::string& key) {
    if (section == kConfigSection) return FindConfigKey(section, key) != nullptr;
    for (int n = 0; n < Kest_U50::CHANNEL_SIZE; ++n)
        if (section == ChannelSectionName(n)) return FindConfigKey(section, key) != nullptr;
    return false;
}

// The switch key of a feed.
inline const ConfigKey& FeedSwitch(int feed) {
    for (const ConfigKey& k : kConfigKeys)
        if (k.rule == ConfigRule::Switch && k.feed == feed) return k;
    return kConfigKeys[0];  // every feed has one: see the table
}

}  // namespace kest_tools

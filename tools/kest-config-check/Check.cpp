#include "Check.h"

#include <algorithm>
#include <string>
#include <vector>

namespace kest_config_check {

const Seen* Check::Find(const std::string& section, const std::string& key) const {
    const auto s = sections_.find(section);
    if (s == sections_.end()) return nullptr;
    const auto k = s->second.keys.find(key);
    return k == s->second.keys.end() ? nullptr : &k->second;
}

bool Check::Run() {
    verdict_ = kest_tools::StartVerdict::Read(path_);
    if (!verdict_.opened || !reader_.ReadConfig(path_)) return false;
    if (!verdict_.startFails.empty()) {
        startFails_.push_back({verdict_.startFailsLine, verdict_.startFails});
        // An empty file, a directory: nothing in it to look at.
        fileProblem_ = !verdict_.checksumOk;
        if (fileProblem_) return true;
    }
    Walk();
    Effective();

    std::vector<std::string> knownSections = {kConfig};
    for (int n = 0; n < kChannels; ++n) knownSections.push_back(ChannelSection(n));
    std::vector<std::string> configKeys, channelKeys;
    for (const ConfigKey& entry : kConfigKeys)
        (InConfig(entry) ? configKeys : channelKeys).push_back(entry.name);

    if (sections_.count(kConfig) == 0)
        Warn(0,
             "no [config] section: every key takes its default (device xilinx0:0: card 0, channel 0, the "
             "channel that programs the card)");
    else if (Find(kConfig, "device") == nullptr)
        Warn(sections_.at(kConfig).line,
             "no device key: device=xilinx0:0 is taken, card 0, channel 0, the channel that programs the "
             "card");

    bool otherKeys = false;
    for (const auto& s : sections_) {
        const bool isConfig = s.first == kConfig;
        const bool isChannel =
            std::find(knownSections.begin() + 1, knownSections.end(), s.first) != knownSections.end();
        if (!isConfig && !isChannel) {
            Warn(s.second.line, "section [" + s.first + "] is never read" + Suggest(s.first, knownSections) +
                                    (s.second.keys.empty() ? "" : "; its keys are ignored"));
            continue;
        }
        const std::vector<std::string>& known = isConfig ? configKeys : channelKeys;
        for (const auto& k : s.second.keys) {
            const bool knownKey = std::find(known.begin(), known.end(), k.first) != known.end();
            if (!knownKey) {
                Warn(k.second.line, "key " + Quote(k.first) + " in [" + s.first + "] is never read" +
                                        Suggest(k.first, known));
                continue;
            }
            recognised_ = true;
            if (isConfig) {
                const ConfigKey& entry = *kest_tools::FindConfigKey(kConfig, k.first);
                if (channel_ != 0 && !entry.everyChannel) {
                    otherKeys = true;
                    continue;
                }
                CheckKey(entry, k.second);
            } else if (channel_ != 0) {
                otherKeys = true;
            }
        }
    }
    if (channel_ == 0 && recognised_) {
        std::string absent;
        for (const Value& v : config_) {
            if (!v.fromFile) absent += (absent.empty() ? "" : ", ") + v.key;
        }
        if (!absent.empty()) Note("not in the file, so the library takes their defaults: " + absent);
        if (Find(kConfig, "crc_mux_check") == nullptr)
            Note(
                "without crc_mux_check=1 every start of channel 0 programs the card again, even with an "
                "unchanged file");
    }
    if (otherKeys)
        Note("this file opens channel " + std::to_string(channel_) +
             ": only log_level, cpucore and device are read; the other keys and the [channelN] sections "
             "count only "
             "in channel 0's file");
    if (bus_ < 0 || bus_ > 65535)
        Warn(Find(kConfig, "device") ? Find(kConfig, "device")->line : 0,
             "card " + std::to_string(bus_) + " is taken as card " +
                 std::to_string(static_cast<uint16_t>(bus_)) + " (16 bits)");
    // What makes a file dangerous is decided once, for every tool that refuses or warns.
    if (startFails_.empty())
        for (const std::string& d : verdict_.dangers) danger_.push_back({0, d});
    if (channel_ == 0) CheckChannels();
    std::stable_sort(warnings_.begin(), warnings_.end(),
                     [](const Finding& a, const Finding& b) { return a.line < b.line; });
    return true;
}

}  // namespace kest_config_check

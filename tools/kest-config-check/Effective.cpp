#include <cstdio>
#include <cstdlib>
#include <string>

#include "Check.h"
#include "DateType.h"

namespace kest_config_check {

void Check::Effective() {
    // The values the library reads: the same reader calls with the same
    // defaults as its start-up, in the same order.
    const ConfigKey& deviceKey = *kest_tools::FindConfigKey(kConfig, "device");
    const std::string device = reader_.ReadString(kConfig, deviceKey.name, deviceKey.def);
    (void)std::sscanf(device.c_str(), "xilinx%d:%d", &bus_, &channel_);
    const bool manager = channel_ == 0;
    enabled_ = 0;
    if (manager) {
        for (int f = 0; f < 4; ++f) {
            const ConfigKey& entry = kest_tools::FeedSwitch(f);
            if (reader_.ReadString(kConfig, entry.name, entry.def) == "enabled")
                enabled_ |= static_cast<uint8_t>(1u << f);
        }
    }
    for (const ConfigKey& entry : kConfigKeys) {
        if (!InConfig(entry)) continue;
        Value v;
        v.key = entry.name;
        v.fromFile = Find(kConfig, entry.name) != nullptr;
        v.read = manager || entry.everyChannel;
        v.number = entry.reader != ConfigReader::Text;
        switch (entry.reader) {
            case ConfigReader::Int32:
                v.shown = std::to_string(reader_.ReadInt32(kConfig, entry.name, std::atoi(entry.def)));
                break;
            case ConfigReader::UInt16:
                v.shown = std::to_string(
                    reader_.ReadUInt16(kConfig, entry.name, static_cast<uint16_t>(std::atoi(entry.def))));
                break;
            case ConfigReader::UInt32: {
                uint32_t x =
                    reader_.ReadUInt32(kConfig, entry.name, static_cast<uint32_t>(std::atoll(entry.def)));
                if (entry.rule == ConfigRule::LowBits16) x &= 0xFFFFu;
                v.shown = std::to_string(x);
                break;
            }
            case ConfigReader::Text: {
                std::string text = reader_.ReadString(kConfig, entry.name, entry.def);
                if (entry.capacity == sizeof(Kest_U50::CAddressType)) {
                    Kest_U50::CAddressType cut;  // same capacity as the MAC and IP texts
                    cut.UnSafeCopyFrom(text.c_str());
                    text = cut.data();
                }
                v.shown = text;
                break;
            }
        }
        switch (entry.rule) {
            case ConfigRule::Device:
                v.meaning = "card " + std::to_string(bus_) + ", channel " + std::to_string(channel_);
                break;
            case ConfigRule::Switch:
                v.meaning = (enabled_ & (1u << entry.feed)) ? "on" : "off";
                break;
            case ConfigRule::CrcFlag:
                v.meaning = reader_.ReadUInt16(kConfig, entry.name, 0) == 1 ? "on" : "off";
                break;
            default:
                break;
        }
        config_.push_back(v);
    }
    for (int n = 0; n < kChannels && manager; ++n) {
        const std::string name = ChannelSection(n);
        ChannelValue& ch = channels_[n];
        Kest_U50::CInstrumentListType insts;
        const ConfigKey& instsKey = ChannelKey("insts");
        const ConfigKey& optionsKey = ChannelKey("options");
        insts.UnSafeCopyFrom(reader_.ReadString(name.c_str(), instsKey.name, instsKey.def).c_str());
        ch.insts = insts.data();
        ch.options = reader_.ReadString(name.c_str(), optionsKey.name, optionsKey.def);
        ch.recv = ch.options == "recv";
        ch.recvall = insts.Comp("all") == 0;
        ch.instsFromFile = Find(name, "insts") != nullptr;
        ch.optionsFromFile = Find(name, "options") != nullptr;
    }
}

}  // namespace kest_config_check

#include <arpa/inet.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Check.h"
#include "DateType.h"
#include "FeedTable.h"
#include "ToolOptions.h"

namespace kest_config_check {

void Check::CheckNumber(const ConfigKey& entry, const Seen& seen) {
    const std::string& v = seen.value;
    const char* text = v.c_str();
    char* end = nullptr;
    errno = 0;
    const long long raw = std::strtoll(text, &end, 10);
    const std::string where = "'" + std::string(entry.name) + "=" + v + "'";
    if (end == text) {
        Warn(seen.line,
             v.empty() ? std::string(entry.name) + " is empty: it reads as 0, not its default " + entry.def
                       : where + " is not a number: it reads as 0 (default " + entry.def + ")");
        return;
    }
    long long kept = raw;
    const char* width = "";
    switch (entry.reader) {
        case ConfigReader::Int32:
            kept = static_cast<int32_t>(static_cast<long>(raw));
            width = "32-bit";
            break;
        case ConfigReader::UInt16:
            kept = static_cast<uint16_t>(static_cast<long>(raw));
            width = "16-bit";
            break;
        case ConfigReader::UInt32:
            kept = static_cast<uint32_t>(raw);
            width = "32-bit";
            break;
        case ConfigReader::Text:
            break;
    }
    if (*end != '\0') {
        Warn(seen.line,
             where + " reads as " + std::to_string(kept) + "; the rest " + Quote(end) + " is ignored");
    }
    if (kept != raw || errno == ERANGE) {
        Warn(seen.line, where + " does not fit the " + width + " field: it reads as " + std::to_string(kept));
    }
    if (entry.rule == ConfigRule::LowBits16 && (kept & 0xFFFF) != kept) {
        Warn(seen.line,
             where + ": only the low 16 bits are kept, it reads as " + std::to_string(kept & 0xFFFF));
    }
    if (entry.rule == ConfigRule::LogLevel && kept == 0) {
        Warn(seen.line, "log_level 0 writes no log line at all, errors included");
    }
    if (entry.rule == ConfigRule::CpuCore && (kept < -1 || kept >= 1024)) {
        Warn(seen.line,
             where + ": no such CPU; the start cannot bind the polling thread (-1 leaves it unbound)");
    }
    if (entry.rule == ConfigRule::CrcFlag && kept != 0 && kept != 1) {
        Warn(seen.line, where + " reads as " + std::string((kept & 0xFFFF) == 1 ? "on" : "off") +
                            ": only the value 1 turns the unchanged-file check on");
    }
}

void Check::CheckKey(const ConfigKey& entry, const Seen& seen) {
    if (entry.reader != ConfigReader::Text) {
        CheckNumber(entry, seen);
        return;
    }
    if (entry.capacity != 0 && seen.value.size() >= entry.capacity) {
        Warn(seen.line, std::string(entry.name) + " has " + std::to_string(seen.value.size()) +
                            " characters: it is cut to " + std::to_string(entry.capacity - 1));
    }
    // What follows looks at the text as the library keeps it.
    const std::string v = entry.capacity != 0 ? seen.value.substr(0, entry.capacity - 1) : seen.value;
    switch (entry.rule) {
        case ConfigRule::Device: {
            int bus = 0, channel = 0;
            char rest = 0;
            const int n = std::sscanf(v.c_str(), "xilinx%d:%d%c", &bus, &channel, &rest);
            if (n < 2) {
                Warn(seen.line, "device=" + v + " does not read as xilinxN:C: card " + std::to_string(bus_) +
                                    ", channel " + std::to_string(channel_) + " are taken");
            } else if (n == 3) {
                Warn(seen.line, "device=" + v + ": the text after xilinx" + std::to_string(bus) + ":" +
                                    std::to_string(channel) + " is ignored");
            }
            break;
        }
        case ConfigRule::Switch:
            if (v != "enabled" && v != "disabled")
                Warn(seen.line, std::string(entry.name) + "=" + v +
                                    " reads as off: only exactly 'enabled' enables the " +
                                    Kest_U50::FEEDS[entry.feed].name + " feed");
            break;
        case ConfigRule::Multicast: {
            if ((enabled_ & (1u << entry.feed)) == 0) break;
            const size_t colon = v.find(':');
            if (colon == std::string::npos) {
                Warn(seen.line,
                     std::string(entry.name) + "=" + v +
                         " has no ':port': this multicast line of an enabled feed is not programmed");
                break;
            }
            const std::string address = v.substr(0, colon);
            if (inet_addr(address.c_str()) == INADDR_NONE && address != "255.255.255.255")
                Warn(seen.line, std::string(entry.name) + ": " + Quote(address) +
                                    " is not an IPv4 address; the card gets 255.255.255.255");
            const std::string port = v.substr(colon + 1);
            int64_t p = 0;
            const std::string firstPart = port.substr(0, port.find(':'));
            if (!kest_tools::ToolOptions::ParseWhole(firstPart.c_str(), p) || p < 1 || p > 65535)
                Warn(seen.line, std::string(entry.name) + ": port " + Quote(firstPart) +
                                    " is not a UDP port (1 to 65535)");
            break;
        }
        case ConfigRule::Mac: {
            unsigned b[6];
            char rest = 0;
            if (!v.empty() && std::sscanf(v.c_str(), "%02x:%02x:%02x:%02x:%02x:%02x%c", &b[0], &b[1], &b[2],
                                          &b[3], &b[4], &b[5], &rest) != 6)
                Warn(seen.line,
                     std::string(entry.name) + "=" + v +
                         " does not read as six two-digit hex bytes aa:bb:cc:dd:ee:ff; the bytes that do not "
                         "read are programmed as 0");
            break;
        }
        case ConfigRule::Ip:
            if (!v.empty() && inet_addr(v.c_str()) == INADDR_NONE && v != "255.255.255.255")
                Warn(seen.line, std::string(entry.name) + "=" + v +
                                    " is not an IPv4 address; the card gets 255.255.255.255");
            break;
        default:
            break;
    }
}

// Instrument tokens, split with the library's own splitting into the
// library's token type (cut to 31 characters).
void Check::CheckChannels() {
    for (int n = 0; n < kChannels; ++n) {
        ChannelValue& ch = channels_[n];
        const std::string name = ChannelSection(n);
        ch.sectionPresent = sections_.count(name) != 0;
        const Seen* insts = Find(name, "insts");
        const Seen* options = Find(name, "options");
        const int line = insts != nullptr ? insts->line : ch.sectionPresent ? sections_.at(name).line : 0;
        if (ch.sectionPresent && insts == nullptr)
            Warn(line, "section [" + name + "] has no insts key: channel " + std::to_string(n) +
                           " subscribes nothing");
        if (insts != nullptr && insts->value.empty())
            Warn(line,
                 "insts of [" + name + "] is empty: channel " + std::to_string(n) + " subscribes nothing");
        if (insts != nullptr && insts->value.size() >= sizeof(Kest_U50::CInstrumentListType))
            Warn(line, "insts of [" + name + "] has " + std::to_string(insts->value.size()) +
                           " characters: it is cut to 4095 and the list ends in the middle");
        if (options != nullptr && options->value != "recv" && options->value != "norecv")
            Warn(options->line, "options=" + options->value + " in [" + name +
                                    "] reads as off (norecv): only exactly 'recv' takes option instruments");
        if (ch.recvall || insts == nullptr) continue;
        Kest_U50::CInstrumentListType list;
        list.UnSafeCopyFrom(ch.insts.c_str());
        std::vector<Kest_U50::CInstrumentType> tokens;
        list.SplitByChar(tokens, ',');
        const std::string& raw = ch.insts;
        size_t from = 0;
        for (const Kest_U50::CInstrumentType& token : tokens) {
            const std::string t = token.data();
            ch.tokens.push_back(t);
            // The raw piece, to tell a cut token from one that was short.
            const size_t comma = raw.find(',', from);
            const std::string piece =
                raw.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
            from = comma == std::string::npos ? raw.size() : comma + 1;
            const std::string tag = "insts of [" + name + "]: token " + Quote(t);
            if (t.empty()) {
                Warn(line, "insts of [" + name +
                               "]: an empty token (two commas, or a leading comma) matches no instrument");
            } else if (piece.size() > t.size()) {
                Warn(line, "insts of [" + name + "]: token " + Quote(piece) +
                               " is cut to 31 characters and matches nothing");
            } else if (t.find_first_of(" \t\r") != std::string::npos) {
                Warn(line, tag +
                               " holds a blank; identifiers have none, so it matches nothing (blanks after a "
                               "comma count)");
            } else if (t == "all" || t == "ALL" || t == "All") {
                Warn(line,
                     tag +
                         ": only a list that is exactly 'all' receives every instrument; inside a list, or "
                         "in other letters, it matches nothing");
            } else if (std::isupper(static_cast<unsigned char>(t[0])) ||
                       (t.size() > 1 && std::isupper(static_cast<unsigned char>(t[1])))) {
                Warn(line,
                     tag +
                         " begins with a capital letter; SHFE and INE identifiers are lower case (cu2406), "
                         "so it matches nothing");
            } else if (t.size() == 1 || (t.size() >= 3 && t.size() <= 5)) {
                Warn(
                    line,
                    tag + " can match only an identifier of exactly " + std::to_string(t.size()) +
                        " characters; futures have six (cu2406) and a two-character token selects a product");
            } else {
                for (unsigned char c : t) {
                    if (!std::isalnum(c) && c != '-' && c != '_') {
                        Warn(line, tag + " holds " + Quote(std::string(1, static_cast<char>(c))) +
                                       ", which no identifier holds; it matches nothing");
                        break;
                    }
                }
            }
        }
    }
}

}  // namespace kest_config_check

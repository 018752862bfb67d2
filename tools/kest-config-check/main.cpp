// kest-config-check: reads a configuration file exactly as the library does
// (its own INI reader, its own conversions and string capacities), prints the
// configuration a start would run with, every default filled in, and warns
// about what the library would take silently: keys it never reads, switch
// values that read as off, numbers that read as 0 or are cut, texts cut to
// length, missing or repeated sections and keys, instrument tokens that can
// match nothing. A file that would make a start of channel 0 reprogram the
// card and leave every channel without subscriptions is called dangerous in
// the first line of the output; one with which a start cannot succeed (empty,
// a directory, a channel that does not exist) says so there instead, as
// kest-card-info --config does, from the same reading of the file.
#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "ConfigKeys.h"
#include "DateType.h"
#include "StartVerdict.h"
#include "ToolOptions.h"
#include "config/IniReader.h"

namespace {

using Kest_U50::CIniReader;
const char* const kTool = "kest-config-check";
const char* const kConfig = kest_tools::kConfigSection;
constexpr int kChannels = Kest_U50::CHANNEL_SIZE;

using kest_tools::ConfigKey;
using kest_tools::ConfigReader;
using kest_tools::ConfigRule;
using kest_tools::kConfigKeys;
const char* const kFeedNames[4] = {"SHFE 2ps", "SHFE 4ps", "INE 2ps", "INE 4ps"};

bool InConfig(const ConfigKey& k) { return std::strcmp(k.section, kConfig) == 0; }
const ConfigKey& ChannelKey(const char* name) {
    return *kest_tools::FindConfigKey(kest_tools::kChannelSection, name);
}
std::string ChannelSection(int n) { return kest_tools::ChannelSectionName(n); }

// --- The file as the reader sees it, line by line ------------------------------

struct Seen {
    std::string value;
    int line = 0;
};
struct SectionSeen {
    int line = 0;  // first header
    std::map<std::string, Seen> keys;
};

struct Finding {
    int line;  // 0: the file as a whole
    std::string text;
};

class Check {
public:
    explicit Check(std::string path) : path_(std::move(path)) {}

    bool Run();
    void PrintText() const;
    void PrintJson() const;
    int ExitCode() const { return !startFails_.empty() || !danger_.empty() ? 2 : warningCount_ > 0 ? 1 : 0; }
    const std::string& OpenError() const { return verdict_.openError; }

private:
    void Walk();
    // The same finding on many lines (a large file of the wrong kind) is shown
    // for its first lines and then counted.
    void Warn(int line, const std::string& text);
    std::string Headline() const;
    void Note(const std::string& text) { notes_.push_back({0, text}); }
    const Seen* Find(const std::string& section, const std::string& key) const;
    void CheckKey(const ConfigKey& entry, const Seen& seen);
    void CheckNumber(const ConfigKey& entry, const Seen& seen);
    void CheckChannels();
    void Effective();
    static std::string Suggest(const std::string& word, const std::vector<std::string>& known);

    std::string path_;
    kest_tools::StartVerdict verdict_;
    std::vector<Finding> startFails_;
    bool fileProblem_ = false;  // not a file a start can read at all
    size_t warningCount_ = 0;
    struct Repeated {
        size_t count = 0;
        int firstLine = 0, lastLine = 0;
    };
    std::map<std::string, Repeated> repeated_;  // by the finding with its quotes and numbers taken out
    CIniReader reader_;
    std::map<std::string, SectionSeen> sections_;
    std::vector<Finding> danger_, warnings_, notes_;
    int bus_ = 0, channel_ = 0;
    uint8_t enabled_ = 0;
    bool recognised_ = false;

    struct Value {
        std::string key, shown, meaning;
        bool fromFile = false;
        bool read = true;
        bool number = false;
    };
    std::vector<Value> config_;
    struct ChannelValue {
        bool sectionPresent = false;
        std::string insts, options;
        bool instsFromFile = false, optionsFromFile = false, recv = false, recvall = false;
        std::vector<std::string> tokens;
    };
    ChannelValue channels_[kChannels];
};

const Seen* Check::Find(const std::string& section, const std::string& key) const {
    const auto s = sections_.find(section);
    if (s == sections_.end()) return nullptr;
    const auto k = s->second.keys.find(key);
    return k == s->second.keys.end() ? nullptr : &k->second;
}

// Shown of each kind of finding before the rest are only counted.
constexpr size_t kShownPerFinding = 10;

void Check::Warn(int line, const std::string& text) {
    ++warningCount_;
    // The kind of a finding: its text without what it quotes (file content,
    // escaped so that quotes pair up), section names and numbers.
    std::string kind;
    char skipTo = 0;
    for (char c : text) {
        if (skipTo != 0) {
            if (c == skipTo) {
                kind += c;
                skipTo = 0;
            }
        } else if (c == '\'' || c == '[') {
            kind += c;
            skipTo = c == '[' ? ']' : '\'';
        } else if (!std::isdigit(static_cast<unsigned char>(c))) {
            kind += c;
        }
    }
    Repeated& r = repeated_[kind];
    if (++r.count <= kShownPerFinding) warnings_.push_back({line, text});
    if (r.count == 1) r.firstLine = line;
    r.lastLine = line;
}

std::string Quote(const std::string& s) {
    std::string out = "'";
    for (unsigned char c : s) {
        if (c < 0x20 || c >= 0x7F || c == '\'') {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "'";
}

size_t Distance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diag = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t up = row[j];
            const bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                              std::tolower(static_cast<unsigned char>(b[j - 1]));
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (same ? 0 : 1)});
            diag = up;
        }
    }
    return row[b.size()];
}

std::string Check::Suggest(const std::string& word, const std::vector<std::string>& known) {
    std::string best;
    size_t bestDistance = 3;
    for (const std::string& k : known) {
        const size_t d = Distance(word, k);
        if (d < bestDistance) {
            bestDistance = d;
            best = k;
        }
    }
    return best.empty() ? "" : " (did you mean '" + best + "'?)";
}

// Replays the reader's walk over the file, with the reader's own line
// classification, to see what the reader does not say: which lines it drops,
// where each key stands, and what repeats.
void Check::Walk() {
    std::ifstream file(path_.c_str());
    std::string line;
    int number = 0;
    SectionSeen* current = nullptr;
    std::string currentName;
    size_t binary = 0;
    while (std::getline(file, line)) {
        ++number;
        for (unsigned char c : line)
            if ((c < 0x20 && c != '\t' && c != '\r') || c == 0x7F) ++binary;
        std::string section, key, value;
        if (!reader_.AnalyseLine(line, section, key, value)) {
            std::string trimmed = line;
            reader_.Trim(trimmed);
            if (!trimmed.empty() && trimmed != "\r" && trimmed[0] != '#') {
                const size_t eq = trimmed.find('=');
                const size_t hash = trimmed.find('#');
                if (eq == 0) {
                    Warn(number, "a value without a key; the line is ignored");
                } else if (eq != std::string::npos && hash != std::string::npos && hash < eq) {
                    // The '=' lies in the comment: nothing to say.
                } else if (eq == std::string::npos) {
                    Warn(number, "no '=' and no [section] header: the line " + Quote(trimmed.substr(0, 40)) +
                                     " is ignored");
                }
            }
            continue;
        }
        if (key.empty()) {
            const size_t eq = line.find('=');
            if (eq != std::string::npos && eq < line.find('['))
                Warn(number,
                     "the line holds '[' and ']', so it reads as the header of section " + Quote(section) +
                         " (even inside a comment); its key is lost and the lines after it belong to " +
                         Quote(section));
            auto found = sections_.find(section);
            if (found != sections_.end()) {
                Warn(number, "section [" + section + "] appears again (first at line " +
                                 std::to_string(found->second.line) + "); its keys are added to the first's");
            } else {
                sections_[section].line = number;
            }
            current = &sections_[section];
            currentName = section;
            continue;
        }
        if (current == nullptr) {
            Warn(number, "key " + Quote(key) + " stands before any [section] header and is never read");
            continue;
        }
        auto previous = current->keys.find(key);
        if (previous != current->keys.end()) {
            Warn(number, "key " + Quote(key) + " in [" + currentName + "] is set again (first at line " +
                             std::to_string(previous->second.line) + "); the later value " + Quote(value) +
                             " counts");
        }
        current->keys[key] = Seen{value, number};
    }
    if (binary > 0)
        Warn(0, std::to_string(binary) + " control or NUL bytes: this does not look like a text file");
}

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
                                    kFeedNames[entry.feed] + " feed");
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

std::string Check::Headline() const {
    const std::string verdict = verdict_.Headline(path_);
    if (!verdict.empty()) return verdict;
    if (warningCount_ == 0) return path_ + ": no warnings";
    return path_ + ": " + std::to_string(warningCount_) + (warningCount_ == 1 ? " warning" : " warnings");
}

void Check::PrintText() const {
    std::printf("%s\n", Headline().c_str());
    if (fileProblem_) return;
    if (!warnings_.empty()) {
        std::printf("\nwarnings:\n");
        for (const Finding& w : warnings_) {
            if (w.line > 0) {
                std::printf("  line %d: %s\n", w.line, w.text.c_str());
            } else {
                std::printf("  %s\n", w.text.c_str());
            }
        }
        for (const auto& r : repeated_) {
            if (r.second.count <= kShownPerFinding) continue;
            std::printf("  ... and %zu more findings like the one at line %d, the last at line %d\n",
                        r.second.count - kShownPerFinding, r.second.firstLine, r.second.lastLine);
        }
    }
    for (const Finding& n : notes_) std::printf("\nnote: %s\n", n.text.c_str());
    std::printf("\nas the library reads it (\"default\": not in the file):\n[config]\n");
    for (const Value& v : config_) {
        if (!v.read) continue;
        std::string shown = v.shown.empty() ? "(empty)" : v.shown;
        std::string extra = v.meaning;
        if (!v.fromFile) extra = extra.empty() ? "default" : extra + ", default";
        std::printf("  %-20s = %s%s%s%s\n", v.key.c_str(),
                    Quote(shown).substr(1, Quote(shown).size() - 2).c_str(), extra.empty() ? "" : "  (",
                    extra.c_str(), extra.empty() ? "" : ")");
    }
    if (channel_ != 0) {
        std::printf("(channel %d reads nothing else)\n", channel_);
        return;
    }
    std::printf("  %-20s = 4294967295  (set by the library, no key)\n", "detect_interval");
    std::vector<int> without;
    for (int n = 0; n < kChannels; ++n) {
        const ChannelValue& ch = channels_[n];
        if (ch.insts.empty()) {
            without.push_back(n);
            continue;
        }
        std::printf("[%s]\n  %-20s = %s%s\n", ChannelSection(n).c_str(), "insts", ch.insts.c_str(),
                    ch.recvall ? "  (every instrument)" : "");
        std::printf("  %-20s = %s  (%s%s)\n", "options", ch.options.c_str(), ch.recv ? "on" : "off",
                    ch.optionsFromFile ? "" : ", default");
    }
    if (!without.empty()) {
        std::string list;
        for (int n : without) list += (list.empty() ? "" : " ") + std::to_string(n);
        std::printf("channels without an instrument list (subscribe nothing): %s\n", list.c_str());
    }
}

using Json = nlohmann::ordered_json;

void Print(const Json& j) {
    // Texts from the file may hold any byte: what is not UTF-8 shows as U+FFFD.
    std::printf("%s\n", j.dump(-1, ' ', true, Json::error_handler_t::replace).c_str());
}

void Check::PrintJson() const {
    Json j;
    j["tool"] = kTool;
    j["version"] = kest_tools::ToolOptions::Version();
    j["file"] = path_;
    j["verdict"] = !startFails_.empty() ? "start-fails"
                   : !danger_.empty()   ? "dangerous"
                   : warningCount_ > 0  ? "warnings"
                                        : "clean";
    j["headline"] = Headline();
    auto findings = [](const std::vector<Finding>& list) {
        Json a = Json::array();
        for (const Finding& f : list)
            a.push_back(Json{{"line", f.line > 0 ? Json(f.line) : Json(nullptr)}, {"message", f.text}});
        return a;
    };
    j["start_fails"] = findings(startFails_);
    j["dangers"] = findings(danger_);
    j["warnings"] = findings(warnings_);
    j["warning_count"] = warningCount_;
    Json omitted = Json::array();
    for (const auto& r : repeated_) {
        if (r.second.count > kShownPerFinding)
            omitted.push_back(Json{{"like_line", r.second.firstLine},
                                   {"count", r.second.count - kShownPerFinding},
                                   {"last_line", r.second.lastLine}});
    }
    j["warnings_not_shown"] = omitted;
    j["notes"] = findings(notes_);
    if (fileProblem_) {
        Print(j);
        return;
    }
    j["card"] = bus_;
    j["channel"] = channel_;
    j["enabled_mask"] = enabled_;
    Json& config = j["config"] = Json::object();
    for (const Value& v : config_) {
        if (!v.read) continue;
        Json k;
        if (v.number) {
            k["value"] = std::stoll(v.shown);
        } else {
            k["value"] = v.shown;
        }
        k["default"] = !v.fromFile;
        if (!v.meaning.empty()) k["reads_as"] = v.meaning;
        config[v.key] = k;
    }
    Json& channels = j["channels"] = Json::array();
    for (int n = 0; n < kChannels && channel_ == 0; ++n) {
        const ChannelValue& ch = channels_[n];
        channels.push_back(Json{{"channel", n},
                                {"section", ch.sectionPresent},
                                {"insts", ch.insts},
                                {"recvall", ch.recvall},
                                {"options", ch.options},
                                {"recv", ch.recv},
                                {"tokens", ch.tokens}});
    }
    Print(j);
}

}  // namespace

int main(int argc, char** argv) {
    bool json = false;
    kest_tools::ToolOptions opts(
        kTool, "FILE [OPTION]...",
        "Checks a configuration file before a receiver starts with it. Reads FILE with the library's own\n"
        "reader, exactly as a start does, prints the configuration the start would run with (every default\n"
        "filled in) and warns about what the library would take without a word: keys it never reads,\n"
        "switch values that read as off, numbers that read as 0 or are cut, texts cut to length, missing or\n"
        "repeated sections and keys, instrument tokens that can match nothing; a finding repeated on many\n"
        "lines is shown 10 times and then counted. The first line gives the verdict: START FAILS when a "
        "start\n"
        "with the file cannot succeed (empty, a directory, a channel outside 0 to 15: kest-card-info "
        "--config\n"
        "says the same), DANGEROUS when a start of channel 0 reprograms the card and leaves every channel\n"
        "without quotes (the library recognises no key, no instrument list for any channel, no feed "
        "enabled).");
    opts.Flag("json", "print one JSON object instead of text", &json);
    opts.Epilogue(
        "Exit status: 0 no warning, 1 warnings, 2 a start with FILE cannot succeed, a dangerous or "
        "unreadable\n"
        "file, or bad arguments.");
    const std::vector<std::string> operands = opts.Parse(argc, argv);
    if (operands.empty()) opts.Fail("needs the configuration FILE (see kest-config-check --help)");
    if (operands.size() > 1)
        opts.Fail("unexpected argument '" + operands[1] + "' (see kest-config-check --help)");

    Check check(operands[0]);
    if (!check.Run()) {
        std::fprintf(stderr, "%s: cannot read %s: %s\n", kTool, operands[0].c_str(),
                     check.OpenError().c_str());
        if (json)
            Print(Json{{"tool", kTool},
                       {"file", operands[0]},
                       {"verdict", "unreadable"},
                       {"error", check.OpenError()}});
        return 2;
    }
    if (json) {
        check.PrintJson();
    } else {
        check.PrintText();
    }
    return check.ExitCode();
}

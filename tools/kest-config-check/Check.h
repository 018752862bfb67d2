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
//
// One check of one file: what the reader keeps line by line (LineWalk.cpp),
// the rules each value follows (Rules.cpp), the configuration a start runs
// with (Effective.cpp), the findings (Findings.cpp) and their report in text
// or JSON (Report.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "ConfigKeys.h"
#include "StartVerdict.h"
#include "config/IniReader.h"

namespace kest_config_check {

using Kest_U50::CIniReader;
constexpr const char* kTool = "kest-config-check";
constexpr const char* kConfig = kest_tools::kConfigSection;
constexpr int kChannels = Kest_U50::CHANNEL_SIZE;

using kest_tools::ConfigKey;
using kest_tools::ConfigReader;
using kest_tools::ConfigRule;
using kest_tools::kConfigKeys;

inline bool InConfig(const ConfigKey& k) { return std::strcmp(k.section, kConfig) == 0; }
inline const ConfigKey& ChannelKey(const char* name) {
    return *kest_tools::FindConfigKey(kest_tools::kChannelSection, name);
}
inline std::string ChannelSection(int n) { return kest_tools::ChannelSectionName(n); }

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

// Shown of each kind of finding before the rest are only counted.
constexpr size_t kShownPerFinding = 10;

// A text from the file in quotes, its control bytes and quotes escaped.
std::string Quote(const std::string& s);

using Json = nlohmann::ordered_json;
void Print(const Json& j);

}  // namespace kest_config_check

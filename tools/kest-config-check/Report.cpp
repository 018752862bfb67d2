#include <cstdio>
#include <string>
#include <vector>

#include "Check.h"
#include "ToolOptions.h"

namespace kest_config_check {

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

}  // namespace kest_config_check

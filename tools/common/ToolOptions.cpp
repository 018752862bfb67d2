#include "ToolOptions.h"

#include <getopt.h>

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifndef KEST_TOOLS_VERSION
#define KEST_TOOLS_VERSION "unknown"
#endif

namespace kest_tools {

namespace {

// getopt_long's return values for the options: 256 and up, out of the
// range of short option characters.
constexpr int kFirstId = 256;
constexpr int kHelpId = 'h';
constexpr int kVersionId = kFirstId - 1;

std::string Describe(const char* text) { return std::string("'") + text + "'"; }

}  // namespace

ToolOptions::ToolOptions(const char* tool, const char* usage, const char* about)
    : tool_(tool), usage_(usage), about_(about) {}

const char* ToolOptions::Version() { return KEST_TOOLS_VERSION; }

bool ToolOptions::ParseWhole(const char* text, int64_t& out) {
    if (text == nullptr || *text == '\0') return false;
    const char* digits = text + (text[0] == '-' || text[0] == '+' ? 1 : 0);
    const bool hex = digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X');
    if (std::isspace(static_cast<unsigned char>(text[0]))) return false;
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text, &end, hex ? 16 : 10);
    if (end == text || *end != '\0' || errno != 0) return false;
    out = v;
    return true;
}

bool ToolOptions::ParseUnsigned(const char* text, uint64_t& out) {
    if (text == nullptr || *text == '\0' || text[0] == '-' || text[0] == '+' ||
        std::isspace(static_cast<unsigned char>(text[0])))
        return false;
    const bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text, &end, hex ? 16 : 10);
    if (end == text || *end != '\0' || errno != 0) return false;
    out = v;
    return true;
}

bool ToolOptions::ParseReal(const char* text, double& out) {
    if (text == nullptr || *text == '\0' || std::isspace(static_cast<unsigned char>(text[0]))) return false;
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno != 0 || !std::isfinite(v)) return false;
    out = v;
    return true;
}

void ToolOptions::Add(const char* name, const char* value, const char* help,
                      std::function<std::string(const char*)> apply) {
    Entry e;
    e.name = name;
    e.value = value != nullptr ? value : "";
    e.help = help;
    e.apply = std::move(apply);
    entries_.push_back(std::move(e));
}

void ToolOptions::Flag(const char* name, const char* help, bool* target) {
    Add(name, nullptr, help, [target](const char*) {
        *target = true;
        return std::string();
    });
}

void ToolOptions::Whole(const char* name, const char* value, const char* help, int64_t* target, int64_t min,
                        int64_t max) {
    Add(name, value, help, [=](const char* text) {
        int64_t v = 0;
        if (!ParseWhole(text, v) || v < min || v > max) {
            return "wants a whole number from " + std::to_string(min) + " to " + std::to_string(max) +
                   ", not " + Describe(text);
        }
        *target = v;
        return std::string();
    });
}

void ToolOptions::Unsigned(const char* name, const char* value, const char* help, uint64_t* target,
                           uint64_t min, uint64_t max) {
    Add(name, value, help, [=](const char* text) {
        uint64_t v = 0;
        if (!ParseUnsigned(text, v) || v < min || v > max) {
            return "wants a whole number from " + std::to_string(min) + " to " + std::to_string(max) +
                   ", not " + Describe(text);
        }
        *target = v;
        return std::string();
    });
}

void ToolOptions::Real(const char* name, const char* value, const char* help, double* target, double min,
                       double max) {
    Add(name, value, help, [=](const char* text) {
        double v = 0;
        if (!ParseReal(text, v) || v < min || v > max) {
            char range[96];
            std::snprintf(range, sizeof range, "wants a number from %g to %g, not ", min, max);
            return std::string(range) + Describe(text);
        }
        *target = v;
        return std::string();
    });
}

void ToolOptions::Text(const char* name, const char* value, const char* help, std::string* target) {
    Add(name, value, help, [=](const char* text) {
        if (*text == '\0') return std::string("wants a value, not an empty text");
        *target = text;
        return std::string();
    });
}

void ToolOptions::Custom(const char* name, const char* value, const char* help,
                         std::function<std::string(const char*)> check) {
    Add(name, value, help, std::move(check));
}

bool ToolOptions::Given(const char* name) const {
    for (const Entry& e : entries_) {
        if (e.name == name) return e.given;
    }
    return false;
}

void ToolOptions::Fail(const std::string& message) const {
    std::fprintf(stderr, "%s: %s\n", tool_, message.c_str());
    std::exit(2);
}

int64_t ToolOptions::WholeOperand(const char* what, const std::string& text, int64_t min, int64_t max) const {
    int64_t v = 0;
    if (!ParseWhole(text.c_str(), v) || v < min || v > max) {
        Fail(std::string(what) + " wants a whole number from " + std::to_string(min) + " to " +
             std::to_string(max) + ", not " + Describe(text.c_str()));
    }
    return v;
}

void ToolOptions::PrintHelp() const {
    std::printf("usage: %s %s\n%s\n\noptions:\n", tool_, usage_.c_str(), about_.c_str());
    auto print = [](const std::string& left, const std::string& help) {
        // Continuation lines of an explanation line up under its first line.
        const int column = 28;
        std::printf("  %-*s", column - 2, left.c_str());
        if (left.size() + 2 >= static_cast<size_t>(column)) std::printf("\n%*s", column, "");
        for (char c : help) {
            if (c == '\n') {
                std::printf("\n%*s", column, "");
            } else {
                std::putchar(c);
            }
        }
        std::putchar('\n');
    };
    for (const Entry& e : entries_) print("--" + e.name + (e.value.empty() ? "" : " " + e.value), e.help);
    print("-h, --help", "show this help and exit");
    print("--version", "show the version and exit");
    if (!epilogue_.empty()) std::printf("\n%s\n", epilogue_.c_str());
}

std::vector<std::string> ToolOptions::Parse(int argc, char** argv) {
    std::vector<struct option> longs;
    for (size_t i = 0; i < entries_.size(); ++i) {
        longs.push_back({entries_[i].name.c_str(),
                         entries_[i].value.empty() ? no_argument : required_argument, nullptr,
                         kFirstId + static_cast<int>(i)});
    }
    longs.push_back({"help", no_argument, nullptr, kHelpId});
    longs.push_back({"version", no_argument, nullptr, kVersionId});
    longs.push_back({nullptr, 0, nullptr, 0});

    // Our own messages replace getopt's, so that each names the tool the same way.
    opterr = 0;
    optind = 0;
    for (;;) {
        const int previous = optind;
        const int id = getopt_long(argc, argv, ":h", longs.data(), nullptr);
        if (id == -1) break;
        // The argument that getopt was looking at (for the messages).
        const char* seen = argv[previous > 0 ? previous : 1];
        if (optind - 1 >= 1 && optind - 1 < argc) seen = argv[optind - 1];
        if (id == kHelpId) {
            PrintHelp();
            std::exit(0);
        }
        if (id == kVersionId) {
            std::printf("%s (KestShfeMdApi) %s\n", tool_, Version());
            std::exit(0);
        }
        if (id == '?') {
            std::string what = optopt != 0 && optopt < kFirstId ? std::string("-") + static_cast<char>(optopt)
                                                                : std::string(seen);
            const size_t eq = what.find('=');
            if (what.compare(0, 2, "--") == 0 && eq != std::string::npos) {
                // --switch=value for a switch, or an unknown --name=value.
                const std::string name = what.substr(2, eq - 2);
                if (name == "help" || name == "version") Fail("option '--" + name + "' takes no value");
                for (const Entry& e : entries_) {
                    if (name == e.name && e.value.empty()) Fail("option '--" + e.name + "' takes no value");
                }
                what.resize(eq);
            }
            Fail("unknown option '" + what + "' (see " + tool_ + " --help)");
        }
        if (id == ':') {
            Fail("option '" + std::string(seen) + "' needs a value (see " + tool_ + " --help)");
        }
        Entry& e = entries_[static_cast<size_t>(id - kFirstId)];
        e.given = true;
        const std::string error = e.apply(optarg != nullptr ? optarg : "");
        if (!error.empty()) Fail("--" + e.name + " " + error);
    }
    std::vector<std::string> operands;
    for (int i = optind; i < argc; ++i) operands.emplace_back(argv[i]);
    return operands;
}

}  // namespace kest_tools

// Command-line walking for the project's tools: each option's value is taken
// whole and checked, so that "--seed 12x" or "--rate fast" stops the tool
// with a message instead of silently running with 0.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <type_traits>

namespace kest_tools {

class ArgCursor {
public:
    ArgCursor(const char* tool, int argc, char** argv) : tool_(tool), argc_(argc), argv_(argv) {}

    // Steps to the next argument; false at the end.
    bool Next() {
        if (++i_ >= argc_) return false;
        arg_ = argv_[i_];
        return true;
    }
    const std::string& Arg() const { return arg_; }
    const char* Current() const { return argv_[i_]; }
    bool Is(const char* name) const { return arg_ == name; }

    // The value that follows the current option; exits with 2 when there is none.
    const char* Text() {
        if (i_ + 1 >= argc_) Fail("needs a value", "");
        return argv_[++i_];
    }

    // A whole number (decimal, or hexadecimal after 0x) or a decimal fraction within
    // the range of T; anything else exits with 2.
    template <typename T>
    T Number() {
        const char* text = Text();
        char* end = nullptr;
        errno = 0;
        const int base = text[0] == '0' && (text[1] == 'x' || text[1] == 'X') ? 16 : 10;
        if constexpr (std::is_floating_point<T>::value) {
            const double v = std::strtod(text, &end);
            if (end == text || *end != '\0' || errno != 0) Fail("wants a number, not", text);
            return static_cast<T>(v);
        } else if constexpr (std::is_unsigned<T>::value) {
            const unsigned long long v = std::strtoull(text, &end, base);
            if (end == text || *end != '\0' || errno != 0 || *text == '-' ||
                v > static_cast<unsigned long long>(std::numeric_limits<T>::max()))
                Fail("wants a whole number in range, not", text);
            return static_cast<T>(v);
        } else {
            const long long v = std::strtoll(text, &end, base);
            if (end == text || *end != '\0' || errno != 0 ||
                v < static_cast<long long>(std::numeric_limits<T>::min()) ||
                v > static_cast<long long>(std::numeric_limits<T>::max()))
                Fail("wants a whole number in range, not", text);
            return static_cast<T>(v);
        }
    }

    // Ends the tool on an argument no option matched: the usage and exit 0
    // for -h/--help, otherwise the usage and exit 2.
    [[noreturn]] void HelpOrUnknown(void (*usage)()) const {
        const bool help = arg_ == "-h" || arg_ == "--help";
        if (!help) std::fprintf(stderr, "%s: unknown option '%s'\n", tool_, arg_.c_str());
        usage();
        std::exit(help ? 0 : 2);
    }

    [[noreturn]] void Fail(const char* what, const char* detail) const {
        std::fprintf(stderr, "%s: %s %s %s\n", tool_, arg_.c_str(), what, detail);
        std::exit(2);
    }

private:
    const char* tool_;
    int argc_;
    char** argv_;
    int i_ = 0;
    std::string arg_;
};

}  // namespace kest_tools

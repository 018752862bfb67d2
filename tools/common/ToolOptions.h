// The command line of every tool: options are declared once with their value
// name, range and explanation, and parsed by getopt_long. All tools thus
// answer --help on stdout with exit 0, --version, and stop with exit 2 and a
// "TOOL: what was wrong" line on any bad argument, including a value out of
// its range.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kest_tools {

class ToolOptions {
public:
    // usage: the operands after the tool's name ("CONFIG [OPTION]..."); about:
    // one or more lines saying what the tool does; both appear in --help.
    ToolOptions(const char* tool, const char* usage, const char* about);

    // A switch without a value.
    void Flag(const char* name, const char* help, bool* target);
    // Whole numbers (decimal, or hexadecimal after 0x) within [min, max].
    void Whole(const char* name, const char* value, const char* help, int64_t* target, int64_t min,
               int64_t max);
    void Unsigned(const char* name, const char* value, const char* help, uint64_t* target, uint64_t min,
                  uint64_t max);
    // Decimal fractions within [min, max].
    void Real(const char* name, const char* value, const char* help, double* target, double min, double max);
    void Text(const char* name, const char* value, const char* help, std::string* target);
    // Any other value: check returns an empty string when the value is good,
    // otherwise what is wrong with it.
    void Custom(const char* name, const char* value, const char* help,
                std::function<std::string(const char*)> check);
    // A paragraph after the options in --help (operands, environment, exit codes).
    void Epilogue(const char* text) { epilogue_ = text; }

    // Parses argv; returns the operands in order. --help and --version print
    // and exit 0; any error exits 2.
    std::vector<std::string> Parse(int argc, char** argv);

    // True when the option was given on the command line.
    bool Given(const char* name) const;

    // "TOOL: message", exit 2.
    [[noreturn]] void Fail(const std::string& message) const;

    // Operand helpers: a whole number within [min, max] or exit 2.
    int64_t WholeOperand(const char* what, const std::string& text, int64_t min, int64_t max) const;

    const char* Tool() const { return tool_; }
    static const char* Version();

    // Parses a whole number or a fraction; false when text is not one entirely.
    static bool ParseWhole(const char* text, int64_t& out);
    static bool ParseUnsigned(const char* text, uint64_t& out);
    static bool ParseReal(const char* text, double& out);

private:
    struct Entry {
        std::string name;
        std::string value;  // empty for a switch
        std::string help;
        std::function<std::string(const char*)> apply;  // returns the error, or ""
        bool given = false;
    };
    void Add(const char* name, const char* value, const char* help,
             std::function<std::string(const char*)> apply);
    void PrintHelp() const;

    const char* tool_;
    std::string usage_;
    std::string about_;
    std::string epilogue_;
    std::vector<Entry> entries_;
};

}  // namespace kest_tools

// kest-config-check: its command line; the check of a file is Check.h's.
#include <cstdio>
#include <string>
#include <vector>

#include "Check.h"
#include "ToolOptions.h"

using kest_config_check::Check;
using kest_config_check::Json;
using kest_config_check::kTool;
using kest_config_check::Print;

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

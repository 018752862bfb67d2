// What every tool does alike on its command line: --help and --version,
// unknown options, missing and out-of-range values.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ToolRunner.h"

namespace {

using tools_test::Result;
using tools_test::RunTool;

struct Tool {
    const char* name;
    const char* path;
};

std::vector<Tool> Tools() {
    std::vector<Tool> tools;
#ifdef KEST_MD_RECV
    tools.push_back({"kest-md-recv", KEST_MD_RECV});
#endif
#ifdef KEST_CARD_INFO
    tools.push_back({"kest-card-info", KEST_CARD_INFO});
#endif
#ifdef KEST_CONFIG_CHECK
    tools.push_back({"kest-config-check", KEST_CONFIG_CHECK});
#endif
#ifdef KEST_RECORD
    tools.push_back({"kest-record", KEST_RECORD});
#endif
#ifdef KEST_CARD_SIM
    tools.push_back({"kest-card-sim", KEST_CARD_SIM});
#endif
#ifdef KEST_CARD_CTL
    tools.push_back({"kest-card-ctl", KEST_CARD_CTL});
#endif
#ifdef KEST_EXCHANGE_DUMP
    tools.push_back({"kest-exchange-dump", KEST_EXCHANGE_DUMP});
#endif
    return tools;
}

const char* PathOf(const std::string& name) {
    for (const Tool& t : Tools())
        if (name == t.name) return t.path;
    return nullptr;
}

TEST(ToolsCommandLine, HelpVersionAndUnknownOptionsAreAlikeInEveryTool) {
    ASSERT_GE(Tools().size(), 3u);
    for (const Tool& t : Tools()) {
        SCOPED_TRACE(t.name);
        for (const char* help : {"--help", "-h"}) {
            const Result r = RunTool({t.path, help});
            EXPECT_EQ(r.exit, 0);
            EXPECT_EQ(r.out.rfind(std::string("usage: ") + t.name + " ", 0), 0u) << r.out;
            EXPECT_EQ(r.err, "");
        }
        const Result version = RunTool({t.path, "--version"});
        EXPECT_EQ(version.exit, 0);
        EXPECT_EQ(version.out, std::string(t.name) + " (KestShfeMdApi) " KEST_TEST_VERSION "\n");

        const Result bogus = RunTool({t.path, "--bogus"});
        EXPECT_EQ(bogus.exit, 2);
        EXPECT_EQ(bogus.err,
                  std::string(t.name) + ": unknown option '--bogus' (see " + t.name + " --help)\n");
        EXPECT_EQ(bogus.out, "");

        const Result help = RunTool({t.path, "--help=x"});
        EXPECT_EQ(help.exit, 2);
        EXPECT_EQ(help.err.rfind(std::string(t.name) + ": ", 0), 0u) << help.err;
    }
}

// One case of each rule of the shared option parser (a range, a missing or
// unexpected value, an unexpected argument) and every rule of a tool's own.
struct BadArgs {
    const char* tool;
    std::vector<std::string> args;
    std::string message;  // how the error line goes on after "TOOL: "
};

TEST(ToolsCommandLine, BadValuesStopWithTheToolsNameAndExit2) {
    const std::string config = KEST_SAMPLE_CONFIG;
    const std::vector<BadArgs> cases = {
        {"kest-md-recv",
         {config, "--seconds", "-3"},
         "--seconds wants a whole number from 1 to 31536000, not '-3'"},
        {"kest-md-recv", {config, "--seconds"}, "option '--seconds' needs a value (see kest-md-recv --help)"},
        {"kest-md-recv", {}, "needs the configuration file CONFIG (see kest-md-recv --help)"},
        {"kest-md-recv", {config, config}, "unexpected argument '" + config + "' (see kest-md-recv --help)"},
        {"kest-card-info", {"--interval", "0"}, "--interval wants a number from 0.1 to 3600, not '0'"},
        {"kest-card-info", {"--json=1"}, "option '--json' takes no value"},
        {"kest-md-recv",
         {config, "--record-rotate-mb", "10"},
         "--record-rotate-mb, --record-rotate-s and --record-compress need --record FILE"},
        {"kest-config-check", {}, "needs the configuration FILE (see kest-config-check --help)"},
        {"kest-record",
         {},
         "a command is needed: info, verify, cat, slice, csv, merge, import or compare (see kest-record "
         "--help)"},
        {"kest-record", {"compare", config}, "compare needs two recordings, A and B"},
        {"kest-record", {"play", config}, "unknown command 'play' (see kest-record --help)"},
        {"kest-card-sim", {"--speed", "0"}, "--speed wants a number from 0.001 to 1000000 or max"},
        {"kest-card-sim", {"--channel", "3"}, "--channel and --speed go with --replay FILE"},
        {"kest-card-sim", {"--replay", config}, "--replay: " + config + ": not a recording (bad magic)"},
        {"kest-card-sim", {"--faults", "loss=2"}, "--faults is bad: "},
        {"kest-card-ctl", {"status", "abc"}, "INDEX wants a whole number from 0 to 65535, not 'abc'"},
        {"kest-card-ctl", {"frobnicate"}, "unknown command 'frobnicate' (see kest-card-ctl --help)"},
        {"kest-card-ctl",
         {"reset", "--no-design-core"},
         "--no-design-core and --a2c-ring-bytes belong to create only"},
        {"kest-exchange-dump", {}, "needs --out DIR (see kest-exchange-dump --help)"},
        {"kest-exchange-dump", {"--out", "x", "--feed", "cme"}, "--feed names no feed: 'cme'"},
    };
    int ran = 0;
    for (const BadArgs& c : cases) {
        const char* path = PathOf(c.tool);
        if (path == nullptr) continue;  // a tool of the model, in a vendor build
        ++ran;
        std::vector<std::string> argv = {path};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const Result r = RunTool(argv);
        SCOPED_TRACE(std::string(c.tool) + " " + c.message);
        EXPECT_EQ(r.exit, 2);
        const std::string prefix = std::string(c.tool) + ": " + c.message;
        EXPECT_EQ(r.err.compare(0, prefix.size(), prefix), 0) << r.err;
        // One line, nothing else: no usage dump, no start.
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_GE(ran, 10);
}

}  // namespace

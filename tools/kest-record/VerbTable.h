// kest-record's verbs, in the order the help lists them: each verb's names,
// synopsis, help and what runs it. The usage line, the help, the check of an
// unknown command and the dispatch all read this one table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Output.h"
#include "Stream.h"
#include "ToolOptions.h"

namespace kest_record {

// The command line of one run, once the options are read.
struct Command {
    std::string verb;
    std::vector<std::string> files;
    Selection sel;
    std::string output;
    bool csv = false, jsonl = false, compress = false, fourPs = false, stats = false;
    uint64_t limit = UINT64_MAX;
    const kest_tools::ToolOptions* opts = nullptr;  // for a bad command line: Fail
};

struct Verb {
    const char* name;
    const char* alias;     // a second name of the same verb, or null
    const char* synopsis;  // after the name(s) in the usage line
    const char* help;      // its lines of the help, continued with 11 blanks
    int (*run)(const Command& c);
};

extern const Verb kVerbs[];
extern const size_t kVerbCount;

// The verb of a name (either of its names), or null.
const Verb* FindVerb(const std::string& name);

// The usage line, the help's list of verbs, and "info, verify, ... or compare".
std::string VerbUsage();
std::string VerbHelp();
std::string VerbNames();

}  // namespace kest_record

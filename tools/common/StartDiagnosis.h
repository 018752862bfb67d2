// What the library's log says went wrong in a start that failed, as advice
// for the one who started it. kest-md-recv and the Python module kest (through
// its extension) both give this text, so that the same failure reads the same.
#pragma once

#include <string>

namespace kest_tools {

// The advice, one sentence ending in a full stop, from the lines the start
// wrote to log (from its version line on: a process keeps one log across
// starts); "" when log is empty, cannot be read or names no cause known here.
// config is the path given to the start, bus and channel the card and channel
// it names.
std::string StartDiagnosis(const std::string& log, const std::string& config, int bus, int channel);

}  // namespace kest_tools

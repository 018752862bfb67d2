// What kest-md-recv knows of its start from outside the library: the log
// file the library opened, and what that log says of a failed start.
#pragma once

#include <ctime>
#include <string>

#include "RecvOptions.h"

namespace kest_md_recv {

// The log file this process's library opened: the newest kest_u50_*.log in
// the working directory written since the run began.
std::string OwnLogFile(time_t since);

// Turns the library's log of a failed start into advice.
std::string Diagnose(const std::string& log, const Options& opt, int bus, int channel);

}  // namespace kest_md_recv

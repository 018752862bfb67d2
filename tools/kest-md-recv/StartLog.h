// The log file of kest-md-recv's start, for the diagnosis of a failed start
// and the metrics.
#pragma once

#include <ctime>
#include <string>

namespace kest_md_recv {

// The log file this process's library opened: the newest kest_u50_*.log in
// the working directory written since the run began.
std::string OwnLogFile(time_t since);

}  // namespace kest_md_recv

// kest-md-recv's command line.
#pragma once

#include <cstdint>
#include <string>

#include "Metrics.h"
#include "ToolOptions.h"

namespace kest_md_recv {

constexpr const char* kTool = "kest-md-recv";

struct Options {
    std::string config;
    bool buffer = false;
    int64_t seconds = 0;
    std::string csv;
    std::string bin;
    std::string record;
    int64_t rotateMb = 0;
    int64_t rotateSeconds = 0;
    bool recordCompress = false;
    bool quiet = false;
    int64_t rows = 30;
    int64_t staleMs = 3000;
    bool metrics = false;
    kest_tools::ListenAddress metricsAt;
    bool force = false;
};

// The options of the command line; bad ones end the process with status 2.
Options ParseOptions(int argc, char** argv);

}  // namespace kest_md_recv

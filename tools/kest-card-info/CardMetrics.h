// kest-card-info --prometheus and --metrics: the card's state and counters in
// the Prometheus text format, read the way the rest of the tool reads them
// (through libenyx-hw-c.so.5, one locked read per register, no write).
#pragma once

#include <cstdint>
#include <string>

#include "Metrics.h"

namespace kest_tools {

// Opens card `index`, reads it and renders one scrape. ok is false when the
// card could not be opened or read (the text then says kest_card_up 0 and
// error holds why).
std::string CardMetricsText(uint32_t index, bool& ok, std::string& error);

// Listens at `at` (a bad address or a port in use: message and exit status
// 1 at once), then serves a fresh reading of the card at every scrape until
// SIGINT or SIGTERM; returns the exit status.
int ServeCardMetrics(uint32_t index, const ListenAddress& at, const char* tool);

}  // namespace kest_tools

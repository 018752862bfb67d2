// The phases of the card's bring-ups in a trace, found from the register
// writes of the card map: decision, reset, programming, snapshot (and each
// feed's), tables, subscription, start.
#pragma once

#include <string>
#include <vector>

#include "cardtrace/Trace.h"

namespace kest_trace {

struct Phase {
    int bring_up = 0;  // 0: the decision before a bring-up; 1, 2, ...: the bring-up it belongs to
    std::string name;  // "decision", "reset", ..., "snapshot SHFE_2PS"
    uint64_t first_call = 0, last_call = 0;
    int64_t start_ns = 0, end_ns = 0;
    bool complete = false;  // its closing call was seen
};

class PhaseFinder {
public:
    void Add(const Call& c);
    // The phases in the order they began; an open phase ends at the last call seen.
    std::vector<Phase> Finish();

private:
    void Open(const std::string& name, const Call& c);
    void Close(const std::string& name, const Call& c);
    std::vector<Phase> phases_;
    int bring_ups_ = 0;
    bool in_snapshot_ = false;
    bool tables_seen_ = false;
    uint64_t last_call_ = 0;
    int64_t last_ns_ = 0;
};

}  // namespace kest_trace

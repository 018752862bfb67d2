// Bring-up phases from the register writes: each phase opens and closes at
// a write (or read) whose register and value the card map gives.
#include "cardtrace/Phases.h"

#include "FeedTable.h"
#include "FpgaRegisterCommon.h"

namespace kest_trace {
namespace {

namespace R = Kest_U50::Reg;

bool IsTableWrite(uint32_t reg) {
    switch (reg) {
        case R::SHFE2PS_TABLE_WADDR:
        case R::SHFE2PS_TABLE_WDATA:
        case R::INE2PS_TABLE_WADDR:
        case R::INE2PS_TABLE_WDATA:
        case R::SHFE4PS_TABLE_WADDR:
        case R::SHFE4PS_TABLE_WDATA:
        case R::INE4PS_TABLE_WADDR:
        case R::INE4PS_TABLE_WDATA:
            return true;
        default:
            return false;
    }
}

const char* FeedOfPacketNumber(uint32_t reg) {
    switch (reg) {
        case R::SHFE2PS_SNAP_PKT_NO:
            return Kest_U50::FEEDS[SHFE_2PS].symbol;
        case R::SHFE4PS_SNAP_PKT_NO:
            return Kest_U50::FEEDS[SHFE_4PS].symbol;
        case R::INE2PS_SNAP_PKT_NO:
            return Kest_U50::FEEDS[INE_2PS].symbol;
        case R::INE4PS_SNAP_PKT_NO:
            return Kest_U50::FEEDS[INE_4PS].symbol;
        default:
            return nullptr;
    }
}

}  // namespace

void PhaseFinder::Open(const std::string& name, const Call& c) {
    Phase p;
    p.bring_up = name == "decision" ? 0 : bring_ups_;
    p.name = name;
    p.first_call = p.last_call = c.number;
    p.start_ns = p.end_ns = c.t_ns;
    phases_.push_back(p);
}

void PhaseFinder::Close(const std::string& name, const Call& c) {
    for (auto it = phases_.rbegin(); it != phases_.rend(); ++it) {
        if (it->name != name || it->complete) continue;
        it->last_call = c.number;
        it->end_ns = c.t_ns;
        it->complete = true;
        return;
    }
}

void PhaseFinder::Add(const Call& c) {
    last_call_ = c.number;
    last_ns_ = c.t_ns;
    if (c.fn == Fn::kRead) {
        const uint32_t reg = RegisterOf(c);
        if (reg == R::MUX0_2PS_PKTS) Open("decision", c);
        if (reg == R::CONFIG_CRC && !phases_.empty() && phases_.back().name == "decision")
            Close("decision", c);
        return;
    }
    if (c.fn != Fn::kWrite) return;
    const uint32_t reg = RegisterOf(c);
    const uint64_t v = c.arg[3];
    if (reg == R::CARD_START) {
        ++bring_ups_;
        in_snapshot_ = tables_seen_ = false;
        Open("reset", c);
    } else if (reg == R::SNAPSHOT_MODE && v == R::SNAPSHOT_MODE_ON) {
        Close("reset", c);
        Open("programming", c);
    } else if (reg == R::MCAST_PROGRAMMED && v == 0) {
        Close("programming", c);
        Open("snapshot", c);
        in_snapshot_ = true;
    } else if (const char* feed = FeedOfPacketNumber(reg); feed != nullptr && in_snapshot_) {
        const std::string name = std::string("snapshot ") + feed;
        bool have = false;
        for (auto it = phases_.rbegin(); it != phases_.rend() && it->bring_up == bring_ups_; ++it)
            if (it->name == name) {
                it->last_call = c.number;
                it->end_ns = c.t_ns;
                have = true;
                break;
            }
        if (!have) {
            // A feed's snapshot is counted from the start of the snapshot phase.
            Phase p;
            p.bring_up = bring_ups_;
            p.name = name;
            for (auto it = phases_.rbegin(); it != phases_.rend(); ++it)
                if (it->name == "snapshot") {
                    p.first_call = it->first_call;
                    p.start_ns = it->start_ns;
                    break;
                }
            p.last_call = c.number;
            p.end_ns = c.t_ns;
            p.complete = true;
            phases_.push_back(p);
        }
    } else if (IsTableWrite(reg) && in_snapshot_ && !tables_seen_) {
        tables_seen_ = true;
        in_snapshot_ = false;
        Close("snapshot", c);
        Open("tables", c);
    } else if (reg == R::SNAPSHOT_MODE && v == 0) {
        Close("tables", c);
        Open("subscription", c);
    } else if (reg == R::SHFE2PS_MAX_INST_NO) {
        Close("subscription", c);
        Open("start", c);
    } else if (reg == R::LOGIC_START_4PS && v == 1) {
        Close("start", c);
    }
}

std::vector<Phase> PhaseFinder::Finish() {
    for (Phase& p : phases_)
        if (!p.complete) {
            p.last_call = last_call_;
            p.end_ns = last_ns_;
        }
    return phases_;
}

}  // namespace kest_trace

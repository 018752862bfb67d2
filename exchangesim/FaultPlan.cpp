#include "exchangesim/FaultPlan.h"

#include <cstdlib>
#include <sstream>

namespace kest_exch {

bool FaultPlan::Any() const {
    return reorder > 0 || duplicate > 0 || loss > 0 || awkward_splits || tiny_segments || rst ||
           foreign > 0 || ip_options || tcp_options;
}

bool ParseFaultPlan(const std::string& text, FaultPlan& plan, std::string* error) {
    std::stringstream ss(text);
    std::string item;
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    while (std::getline(ss, item, ',')) {
        if (item.empty()) continue;
        const size_t eq = item.find('=');
        const std::string key = item.substr(0, eq);
        const std::string val = eq == std::string::npos ? "" : item.substr(eq + 1);
        char* end = nullptr;
        const double num = val.empty() ? 0.0 : std::strtod(val.c_str(), &end);
        const bool has_num = !val.empty() && end && *end == 0;
        auto prob = [&](double& dst) {
            if (!has_num || num < 0 || num > 1) return fail("bad probability in '" + item + "'");
            dst = num;
            return true;
        };
        if (key == "none") {
            plan = FaultPlan{};
        } else if (key == "all") {
            plan.reorder = 0.03;
            plan.duplicate = 0.03;
            plan.loss = 0.03;
            plan.awkward_splits = true;
            plan.foreign = 0.05;
            plan.ip_options = true;
            plan.tcp_options = true;
        } else if (key == "reorder") {
            if (!prob(plan.reorder)) return false;
        } else if (key == "dup" || key == "duplicate") {
            if (!prob(plan.duplicate)) return false;
        } else if (key == "loss") {
            if (!prob(plan.loss)) return false;
        } else if (key == "foreign") {
            if (!prob(plan.foreign)) return false;
        } else if (key == "window") {
            if (!has_num || num < 1 || num > 1000) return fail("bad window in '" + item + "'");
            plan.window = static_cast<int>(num);
        } else if (key == "seed") {
            if (!has_num) return fail("bad seed in '" + item + "'");
            plan.seed = std::strtoull(val.c_str(), nullptr, 10);
        } else if (key == "awkward") {
            plan.awkward_splits = true;
        } else if (key == "tiny") {
            plan.tiny_segments = true;
        } else if (key == "rst") {
            plan.rst = true;
        } else if (key == "ipopt") {
            plan.ip_options = true;
        } else if (key == "tcpopt") {
            plan.tcp_options = true;
        } else {
            return fail("unknown fault '" + key + "'");
        }
    }
    return true;
}

std::string FormatFaultPlan(const FaultPlan& p) {
    std::ostringstream o;
    o << "seed=" << p.seed << ",reorder=" << p.reorder << ",dup=" << p.duplicate << ",loss=" << p.loss
      << ",window=" << p.window << ",foreign=" << p.foreign;
    if (p.awkward_splits) o << ",awkward";
    if (p.tiny_segments) o << ",tiny";
    if (p.rst) o << ",rst";
    if (p.ip_options) o << ",ipopt";
    if (p.tcp_options) o << ",tcpopt";
    return o.str();
}

}  // namespace kest_exch

#include "sim/fault_plan.h"

#include <cstdlib>
#include <sstream>

namespace kov::sim {

namespace {

struct KindName {
    FaultKind kind;
    const char* name;
};
constexpr KindName kKinds[] = {
    {FaultKind::None, "none"},
    {FaultKind::Silence, "silence"},
    {FaultKind::Truncate, "truncate"},
    {FaultKind::BadCheck, "badcheck"},
    {FaultKind::WrongAddress, "address"},
    {FaultKind::WrongFunction, "function"},
    {FaultKind::Noise, "noise"},
    {FaultKind::Delay, "delay"},
    {FaultKind::Echo, "echo"},
    {FaultKind::ErrorAnswer, "error"},
};

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> out;
    std::string cur;
    std::istringstream in(s);
    while (std::getline(in, cur, sep)) out.push_back(cur);
    if (!s.empty() && s.back() == sep) out.push_back("");
    return out;
}

bool parseUnsigned(const std::string& s, uint64_t& v) {
    if (s.empty() || s.find_first_not_of("0123456789") != std::string::npos || s.size() > 18)
        return false;
    v = std::strtoull(s.c_str(), nullptr, 10);
    return true;
}

}  // namespace

const char* FaultName(FaultKind k) {
    for (const auto& kn : kKinds)
        if (kn.kind == k) return kn.name;
    return "?";
}

bool ParseFaultKind(const std::string& text, FaultKind& out) {
    for (const auto& kn : kKinds)
        if (text == kn.name) {
            out = kn.kind;
            return true;
        }
    return false;
}

const char* FaultPlanHelp() {
    return "PLAN is a comma-separated list of items:\n"
           "  N:KIND            fault KIND on request N (requests count from 1)\n"
           "  N-M:KIND          fault KIND on requests N to M\n"
           "  *:KIND            fault KIND on every request\n"
           "  random:P:SEED[:KIND+KIND...]\n"
           "                    each request faulty with probability P (0..1), drawn\n"
           "                    from a generator seeded with SEED, among the listed\n"
           "                    kinds (all kinds when none are listed)\n"
           "  delay=MS          pause of a delay fault (default 500 ms)\n"
           "  noise=COUNT       noise bytes sent before the frame (default 4)\n"
           "  truncate=COUNT    bytes a truncated reply keeps (default half)\n"
           "KIND is one of: none, silence, truncate, badcheck (corrupted check bytes),\n"
           "  address (wrong address), function (wrong function code), noise (noise\n"
           "  before the frame), delay (delayed reply), echo (request echoed first),\n"
           "  error (the meter's error answer, a failure code).\n"
           "Explicit request numbers win over the random choice.\n"
           "Example: --faults 2:silence,5-6:badcheck,random:0.1:42:noise+echo\n";
}

bool FaultPlan::Parse(const std::string& text, FaultPlan& out, std::string& error) {
    FaultPlan plan;
    for (const std::string& item : split(text, ',')) {
        if (item.empty()) {
            error = "empty item";
            return false;
        }
        auto eq = item.find('=');
        if (eq != std::string::npos) {
            std::string key = item.substr(0, eq);
            uint64_t v;
            if (!parseUnsigned(item.substr(eq + 1), v) || v > 3600000) {
                error = "bad number in '" + item + "'";
                return false;
            }
            if (key == "delay")
                plan.delayMs = static_cast<int>(v);
            else if (key == "noise")
                plan.noiseBytes = static_cast<int>(v);
            else if (key == "truncate")
                plan.truncateTo = static_cast<int>(v);
            else {
                error = "unknown setting '" + key + "'";
                return false;
            }
            continue;
        }
        std::vector<std::string> parts = split(item, ':');
        if (parts[0] == "random") {
            if (parts.size() < 3 || parts.size() > 4) {
                error = "random needs P:SEED[:KINDS]";
                return false;
            }
            char* end = nullptr;
            double p = std::strtod(parts[1].c_str(), &end);
            uint64_t seed;
            if (parts[1].empty() || *end != 0 || !(p >= 0.0 && p <= 1.0) ||
                !parseUnsigned(parts[2], seed)) {
                error = "bad probability or seed in '" + item + "'";
                return false;
            }
            plan.randomProbability = p;
            plan.randomSeed = static_cast<uint32_t>(seed);
            plan.randomKinds.clear();
            if (parts.size() == 4) {
                for (const std::string& k : split(parts[3], '+')) {
                    FaultKind kind;
                    if (!ParseFaultKind(k, kind)) {
                        error = "unknown fault kind '" + k + "'";
                        return false;
                    }
                    plan.randomKinds.push_back(kind);
                }
            }
            continue;
        }
        if (parts.size() != 2) {
            error = "expected N:KIND in '" + item + "'";
            return false;
        }
        FaultKind kind;
        if (!ParseFaultKind(parts[1], kind)) {
            error = "unknown fault kind '" + parts[1] + "'";
            return false;
        }
        if (parts[0] == "*") {
            plan.everyRequest = true;
            plan.everyKind = kind;
            continue;
        }
        uint64_t first, last;
        auto dash = parts[0].find('-');
        bool ok = dash == std::string::npos ? parseUnsigned(parts[0], first) && (last = first, true)
                                            : parseUnsigned(parts[0].substr(0, dash), first) &&
                                                  parseUnsigned(parts[0].substr(dash + 1), last);
        if (!ok || first == 0 || last < first || last - first > 100000) {
            error = "bad request number in '" + item + "'";
            return false;
        }
        for (uint64_t n = first; n <= last; ++n) plan.perRequest[n] = kind;
    }
    out = plan;
    return true;
}

void FaultChooser::Reset(const FaultPlan& plan) {
    plan_ = plan;
    rng_.seed(plan.randomSeed);
}

FaultKind FaultChooser::ForRequest(uint64_t n) {
    // The random draw happens for every request, so the sequence for a seed
    // does not depend on which requests were given explicit faults.
    FaultKind drawn = FaultKind::None;
    if (plan_.randomProbability > 0.0) {
        std::uniform_real_distribution<double> coin(0.0, 1.0);
        bool faulty = coin(rng_) < plan_.randomProbability;
        static const std::vector<FaultKind> all = {
            FaultKind::Silence,      FaultKind::Truncate,      FaultKind::BadCheck,
            FaultKind::WrongAddress, FaultKind::WrongFunction, FaultKind::Noise,
            FaultKind::Delay,        FaultKind::Echo,          FaultKind::ErrorAnswer};
        const std::vector<FaultKind>& kinds = plan_.randomKinds.empty() ? all : plan_.randomKinds;
        std::uniform_int_distribution<size_t> pick(0, kinds.size() - 1);
        size_t idx = pick(rng_);
        if (faulty) drawn = kinds[idx];
    }
    auto it = plan_.perRequest.find(n);
    if (it != plan_.perRequest.end()) return it->second;
    if (plan_.everyRequest) return plan_.everyKind;
    return drawn;
}

}  // namespace kov::sim

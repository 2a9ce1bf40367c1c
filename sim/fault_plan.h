#pragma once

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace kov::sim {

// What a simulated meter does wrong with one reply.
enum class FaultKind {
    None,           // the correct reply
    Silence,        // no reply at all
    Truncate,       // only the first part of the reply
    BadCheck,       // check bytes corrupted
    WrongAddress,   // another address, check bytes recomputed
    WrongFunction,  // another function code, check bytes recomputed
    Noise,          // noise bytes before the reply
    Delay,          // the reply after a pause
    Echo,           // the request echoed back before the reply
    ErrorAnswer,    // the family's error answer (a failure, not "no data")
};

const char* FaultName(FaultKind k);
// Accepts the names of FaultName(); false for anything else.
bool ParseFaultKind(const std::string& text, FaultKind& out);

// Which requests get which fault, and the knobs of the faults themselves.
// Requests are counted from 1 by the simulated meter. An explicit choice for
// a request wins over the random choice.
struct FaultPlan {
    std::map<uint64_t, FaultKind> perRequest;
    bool everyRequest = false;
    FaultKind everyKind = FaultKind::None;

    double randomProbability = 0.0;  // 0 disables random faults
    uint32_t randomSeed = 1;
    std::vector<FaultKind> randomKinds;  // empty: all kinds but None

    int delayMs = 500;    // how long Delay holds the reply back
    int noiseBytes = 4;   // how many noise bytes Noise sends first
    int truncateTo = -1;  // bytes Truncate keeps; -1 = half the reply (at least 1)

    // Syntax in FaultPlanHelp(). Returns false and sets error on bad input.
    static bool Parse(const std::string& text, FaultPlan& out, std::string& error);
};

// The --faults syntax, for the tool's help text.
const char* FaultPlanHelp();

// Draws the fault of each request from a plan; keeps the random sequence.
class FaultChooser {
public:
    FaultChooser() : rng_(1) {}
    explicit FaultChooser(const FaultPlan& plan) { Reset(plan); }
    void Reset(const FaultPlan& plan);
    FaultKind ForRequest(uint64_t requestNumber);
    const FaultPlan& Plan() const { return plan_; }

private:
    FaultPlan plan_;
    std::mt19937 rng_;
};

}  // namespace kov::sim

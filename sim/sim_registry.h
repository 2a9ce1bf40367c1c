#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "sim/sim_meter.h"

namespace kov::sim {

// What kov-sim tells a simulated meter about its line.
struct SimMeterOptions {
    int fd = -1;      // the meter's end of the link
    int address = 1;  // network/slave address (--address)
    int archiveDays = 0;  // days of archives the meter holds; 0 = its own default
};

using SimMeterFactory = std::function<std::unique_ptr<CSimMeter>(const SimMeterOptions&)>;

struct SimMeterEntry {
    std::string description;
    SimMeterFactory factory;
};

// The meters kov-sim can serve, by name.
class SimMeterRegistry {
public:
    static bool Add(const std::string& name, const std::string& description,
                    SimMeterFactory factory);
    static const std::map<std::string, SimMeterEntry>& All();
    // Null for an unknown name.
    static std::unique_ptr<CSimMeter> Create(const std::string& name, const SimMeterOptions& opt);
};

}  // namespace kov::sim

// One line in a family's simulator source registers it with kov-sim:
//   KOV_SIM_METER("vkt9", "Teplocom VKT-9", [](const kov::sim::SimMeterOptions& o) {
//       return std::make_unique<CVKT9MeterSim>(o.fd, o.address); });
// The source must be linked whole into kov-sim: build it as an OBJECT library
// and add that library to the global property KOV_SIM_METERS, e.g.
//   set_property(GLOBAL APPEND PROPERTY KOV_SIM_METERS kov_vkt9_sim)
#define KOV_SIM_CONCAT2(a, b) a##b
#define KOV_SIM_CONCAT(a, b) KOV_SIM_CONCAT2(a, b)
#define KOV_SIM_METER(NAME, DESCRIPTION, FACTORY)                             \
    namespace {                                                               \
    [[maybe_unused]] const bool KOV_SIM_CONCAT(kovSimRegistered_, __LINE__) = \
        ::kov::sim::SimMeterRegistry::Add(NAME, DESCRIPTION, FACTORY);        \
    }

#include "sim/sim_registry.h"

namespace kov::sim {

namespace {
// Constructed on first use: registrations run during static initialisation
// of other translation units, in no fixed order.
std::map<std::string, SimMeterEntry>& table() {
    static std::map<std::string, SimMeterEntry> t;
    return t;
}
}  // namespace

bool SimMeterRegistry::Add(const std::string& name, const std::string& description,
                           SimMeterFactory factory) {
    return table().emplace(name, SimMeterEntry{description, std::move(factory)}).second;
}

const std::map<std::string, SimMeterEntry>& SimMeterRegistry::All() { return table(); }

std::unique_ptr<CSimMeter> SimMeterRegistry::Create(const std::string& name,
                                                    const SimMeterOptions& opt) {
    auto it = table().find(name);
    if (it == table().end()) return nullptr;
    return it->second.factory(opt);
}

}  // namespace kov::sim

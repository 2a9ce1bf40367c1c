// Makes the simulated VKT-7 available to kov-sim as "vkt-7".
#include <memory>

#include "drivers/vkt7/vkt7_meter_sim.h"
#include "sim/sim_registry.h"

KOV_SIM_METER("vkt-7", "Teplocom VKT-7 heat calculator", [](const kov::sim::SimMeterOptions& o) {
    auto sim = std::make_unique<kov::sim::CVKT7MeterSim>(o.fd);
    if (o.archiveDays > 0) sim->SetArchiveDepth(o.archiveDays * 24, o.archiveDays);
    return sim;
})

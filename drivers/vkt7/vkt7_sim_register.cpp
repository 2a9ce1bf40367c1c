// Makes the simulated VKT-7 available to kov-sim as "vkt-7".
#include <memory>

#include "drivers/vkt7/vkt7_meter_sim.h"
#include "sim/sim_registry.h"

KOV_SIM_METER("vkt-7", "Teplocom VKT-7 heat calculator", [](const kov::sim::SimMeterOptions& o) {
    auto meter = std::make_unique<kov::sim::CVKT7MeterSim>(o.fd);
    // --archive-days N: both archives reach N days back (the hourly one N x 24 hours).
    if (o.archiveDays > 0) meter->SetArchiveDepth(o.archiveDays * 24, o.archiveDays);
    return meter;
})

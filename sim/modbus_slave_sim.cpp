// A plain Modbus RTU slave for trying out Modbus ports: holding registers
// 0-99 hold their own numbers, input registers 0-99 hold 1000 + number.
#include <memory>

#include "sim/modbus_slave.h"
#include "sim/sim_registry.h"

namespace {

std::unique_ptr<kov::sim::CSimMeter> makeSlave(const kov::sim::SimMeterOptions& o) {
    auto s = std::make_unique<kov::sim::CSimModbusSlave>(o.fd, static_cast<uint8_t>(o.address));
    for (uint16_t r = 0; r < 100; ++r) {
        s->SetHolding(r, r);
        s->SetInput(r, static_cast<uint16_t>(1000 + r));
    }
    s->SetSlaveId({'K', 'O', 'V', 0xFF});
    return s;
}

}  // namespace

KOV_SIM_METER("modbus-slave", "generic Modbus RTU slave (holding r = r, input r = 1000 + r)",
              makeSlave)

// kov-fuzz-seeds DIR: writes the seed corpora of the meter targets into
// DIR/<target>/, each seed the byte stream a simulated meter sends during
// one fuzz session (recorded in-process, no serial line).
#include <cstdio>
#include <string>

#include "drivers/vkt7/vkt7_meter_sim.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/vkt7_session.h"

namespace {

using kov::fuzz::Bytes;
using kov::fuzz::LoopbackConnector;

class Vkt7Sim : public kov::sim::CVKT7MeterSim {
public:
    Vkt7Sim() : CVKT7MeterSim(-1) { SetFixedTime(kov::fuzz::Vkt7Now()); }
    bool Answer(const Bytes& request, Bytes& reply) { return Handle(request, reply); }
};

Bytes RecordVkt7(void (*setup)(Vkt7Sim&)) {
    Vkt7Sim sim;
    setup(sim);
    LoopbackConnector line([&](const Bytes& rq, Bytes& rp) { return sim.Answer(rq, rp); });
    kov::fuzz::RunVkt7Session(line);
    return line.Recorded();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: kov-fuzz-seeds DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    kov::fuzz::InitEnvironment(kov::fuzz::Vkt7Now());
    bool ok = true;
    const std::string vkt7 = dir + "/vkt7_reply";
    ok &= kov::fuzz::WriteSeed(vkt7, "normal", RecordVkt7([](Vkt7Sim&) {}));
    ok &= kov::fuzz::WriteSeed(vkt7, "format1_old_system_data", RecordVkt7([](Vkt7Sim& s) {
        s.SetPropertyFormat(1);
        s.SetSystemData(0x14, 2, 15, true);
    }));
    ok &= kov::fuzz::WriteSeed(vkt7, "mask_change_error_code", RecordVkt7([](Vkt7Sim& s) {
        s.ChangeMaskOnce({{0, 4}, {3, 4}, {19, 4}}, true);
        s.SetFlashBroken(true);
    }));
    ok &= kov::fuzz::WriteSeed(vkt7, "statuses_new_version", RecordVkt7([](Vkt7Sim& s) {
        s.SetSystemData(0x29, 5, 10);
        s.SetStatus(3, 64);
        s.SetError(19, 3);
        s.SetBoundsWithDaily(false);
    }));
    return ok ? 0 : 1;
}

// kov-fuzz-seeds DIR: writes the seed corpora of the meter-session targets
// into DIR/<target>/, each seed the byte stream a simulated meter sends
// during one fuzz session (recorded in-process, no serial line).
#include <cstdio>
#include <string>

#include "drivers/vkt7/vkt7_meter_sim.h"
#include "drivers/vkt9/vkt9_meter_sim.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/vkt7_session.h"
#include "fuzz/vkt9_session.h"
#include "sim/pty_link.h"
#include "transport/rs_connector.h"

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

// The VKT-9 (a Modbus slave) answers through its own thread on a pty; what
// the real UART connector reads is recorded.
class RecordingConnector : public CConnector {
public:
    explicit RecordingConnector(CConnector& line) : line_(line) {}
    int WriteBuffer(const uint8_t* data, uint16_t len, uint8_t ind) override {
        return line_.WriteBuffer(data, len, ind);
    }
    int ReadBuffer(uint8_t* dest, uint16_t len, uint8_t ind) override {
        return Keep(dest, line_.ReadBuffer(dest, len, ind));
    }
    int ReadBufferCycle(uint8_t* dest, uint16_t len, uint8_t ind, uint32_t ms) override {
        return Keep(dest, line_.ReadBufferCycle(dest, len, ind, ms));
    }
    bool open_device() override { return line_.open_device(); }
    void close_device() override { line_.close_device(); }
    int FlushBuffers() override { return line_.FlushBuffers(); }
    int DrainOutput() override { return line_.DrainOutput(); }
    const Bytes& Recorded() const { return recorded_; }

private:
    int Keep(const uint8_t* data, int n) {
        if (n > 0) recorded_.insert(recorded_.end(), data, data + n);
        return n;
    }
    CConnector& line_;
    Bytes recorded_;
};

Bytes RecordVkt9(void (*setup)(vkt9::CVKT9MeterSim&)) {
    kov::sim::PtyLink pty;
    vkt9::CVKT9MeterSim sim(pty.MasterFd(), 1);
    sim.SetClock([] { return kov::fuzz::Vkt9Now(); });
    sim.SetDepth(48, 20);
    setup(sim);
    sim.Start();
    CRSConnector port(ParamMap{{"name", pty.SlavePath()}});
    port.SetTimeoutForTest(300);
    RecordingConnector line(port);
    kov::fuzz::RunVkt9Session(line);
    sim.Stop();
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
    const std::string vkt9 = dir + "/vkt9_reply";
    ok &= kov::fuzz::WriteSeed(vkt9, "normal", RecordVkt9([](vkt9::CVKT9MeterSim&) {}));
    ok &= kov::fuzz::WriteSeed(vkt9, "old_version_gj_bad_part", RecordVkt9([](vkt9::CVKT9MeterSim& s) {
        s.SetVersion(0x0100);
        s.SetQUnits(1);
        s.SetShortSlaveId(true);
        s.AddBadPartCrc(0, kov::fuzz::LocalDate(3, 4, 2026, 9));
    }));
    ok &= kov::fuzz::WriteSeed(vkt9, "missing_and_misnamed_days", RecordVkt9([](vkt9::CVKT9MeterSim& s) {
        s.AddMissingDay(kov::fuzz::LocalDate(3, 4, 2026, 0));
        s.AddMisnamedDay(kov::fuzz::LocalDate(1, 4, 2026, 0));
    }));
    return ok ? 0 : 1;
}

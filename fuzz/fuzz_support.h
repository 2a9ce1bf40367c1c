#pragma once

// What the fuzz targets share: connectors that stand in for the serial line
// (one replays the fuzzer's bytes as the meter's replies, one lets a
// simulated meter answer in-process to record seed replies) and the fixed
// surroundings every target runs in (throw-away path root, virtual clock).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "drivers/common/link_exceptions.h"
#include "transport/connector.h"

namespace kov::fuzz {

using Bytes = std::vector<uint8_t>;

// Once per process: path root in a fresh temporary folder (link journals
// land there), a virtual clock at `now` that never really sleeps, and
// standard output to /dev/null (the service client prints every reply).
void InitEnvironment(time_t now);

// A line with nothing to open, flush or drain: the fuzz connectors below.
class FakeLine : public CConnector {
public:
    bool open_device() override { return true; }
    void close_device() override {}
    int FlushBuffers() override { return 0; }
    int DrainOutput() override { return 0; }
};

// Every write succeeds; reads hand out the input bytes in order, as many as
// asked for, and report a dead line (-1) once they are used up.
class ReplayConnector : public FakeLine {
public:
    ReplayConnector(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    int WriteBuffer(const uint8_t* data, uint16_t len, uint8_t indication) override;
    int ReadBuffer(uint8_t* dest, uint16_t len, uint8_t indication) override;
    int ReadBufferCycle(uint8_t* dest, uint16_t len, uint8_t indication, uint32_t timeoutMs) override;

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// Each written frame goes to a responder (a simulated meter's handler);
// its reply is read back and also appended to Recorded(), which is then a
// seed for the replaying target.
class LoopbackConnector : public FakeLine {
public:
    using Responder = std::function<bool(const Bytes& request, Bytes& reply)>;
    explicit LoopbackConnector(Responder responder) : responder_(std::move(responder)) {}

    int WriteBuffer(const uint8_t* data, uint16_t len, uint8_t indication) override;
    int ReadBuffer(uint8_t* dest, uint16_t len, uint8_t indication) override;
    int ReadBufferCycle(uint8_t* dest, uint16_t len, uint8_t indication, uint32_t timeoutMs) override;

    const Bytes& Recorded() const { return recorded_; }

private:
    Responder responder_;
    Bytes pending_;
    Bytes recorded_;
};

// Local time of a date (no daylight saving), as the meters count.
time_t LocalDate(int day, int month, int year, int hour);

// Runs one step of a driver session: link faults end the step, and the next
// one goes on as the polling cycle would after reconnecting. Anything else
// escapes and counts as a finding.
template <class F>
void Step(F&& f) {
    try {
        f();
    } catch (CDisconnectException&) {
    } catch (CWrongPacketException&) {
    }
}

// Writes a seed file (for the seed generator).
bool WriteSeed(const std::string& dir, const std::string& name, const Bytes& bytes);

}  // namespace kov::fuzz

#pragma once

#include <termios.h>

#include <cstdint>
#include <map>
#include <string>

#include "service/value_record.h"
#include "transport/connector.h"

class CLed;

// A plain UART through termios. Flashes the gateway's traffic LEDs when the
// caller's indication flag asks for it.
class CRSConnector : public CConnector {
public:
    explicit CRSConnector(const ParamMap& params);
    ~CRSConnector() override;

    int WriteBuffer(const uint8_t* data, uint16_t len, uint8_t indication) override;
    int ReadBuffer(uint8_t* dest, uint16_t len, uint8_t indication) override;
    int ReadBufferCycle(uint8_t* dest, uint16_t len, uint8_t indication,
                        uint32_t timeoutMs) override;
    bool open_device() override;
    void close_device() override;
    int FlushBuffers() override;
    int DrainOutput() override;

    const std::string& DeviceName() const { return deviceName; }
    uint32_t Timeout() const { return timeout; }
    int Descriptor() const { return fd; }
    // The settings last handed to tcsetattr (a pty keeps only part of them).
    const termios& AppliedSettings() const { return applied; }

    // The configured rate to termios constant table; unknown rates are absent.
    static const std::map<int, speed_t>& SpeedTable();

    // Tests only: production keeps the fixed 10000 ms.
    void SetTimeoutForTest(uint32_t ms) { timeout = ms; }

private:
    // Waits until the port is readable; restarts with the full time when a
    // signal interrupts. Returns the wait result, errno kept for the caller.
    int waitReadable(uint32_t ms);

    int fd;
    std::string deviceName;
    CLed* txLed;
    CLed* rxLed;
    uint32_t timeout;
    termios applied{};
};

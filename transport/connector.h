#pragma once

#include <pthread.h>

#include <cstdint>
#include <map>
#include <string>

// The system's handle on one serial port. Link layers talk to it; the main
// thread creates exactly one per process through CreateConnector().
class CConnector {
public:
    CConnector() = default;
    CConnector(const CConnector&) = delete;
    CConnector& operator=(const CConnector&) = delete;

    virtual int WriteBuffer(const uint8_t* data, uint16_t len, uint8_t indication) = 0;
    virtual int ReadBuffer(uint8_t* dest, uint16_t len, uint8_t indication) = 0;
    // timeoutMs 0 = the connector's own timeout
    virtual int ReadBufferCycle(uint8_t* dest, uint16_t len, uint8_t indication,
                                uint32_t timeoutMs) = 0;
    virtual bool open_device() = 0;
    virtual void close_device() = 0;
    virtual int FlushBuffers() = 0;
    virtual int DrainOutput() = 0;
    virtual ~CConnector() = default;

    void SetFramingMode(int32_t mode) { framingMode = mode; }
    int32_t GetFramingMode() const { return framingMode; }

    // Link layers that must keep a whole exchange undisturbed hold this. It is
    // not recursive; concrete connectors initialise and destroy it.
    pthread_mutex_t* ExchangeLock() { return &exchangeLock; }

    const std::map<std::string, std::string>& PortParams() const { return portParams; }

protected:
    pthread_mutex_t exchangeLock = PTHREAD_MUTEX_INITIALIZER;
    std::map<std::string, std::string> portParams;
    int32_t framingMode = 0;
};

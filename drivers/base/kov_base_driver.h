#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <string>

#include "service/value_record.h"
#include "thread/thread_attached.h"

class CConnector;
class CJSONRPCConnector;

// Archive bounds a driver reports: no record before the lower bounds is asked for.
struct ArchiveBounds {
    int32_t hourlyLower = 0;
    int32_t dailyLower = 0;
    int32_t meterClock = 0;
};

// Base of every meter driver: owns the meter's thread and runs the polling
// cycle (connect, current values, archive catch-up, period sleep). Models
// implement only the virtual operations below.
class CKovBaseDriver : public myThreadAttached {
public:
    CKovBaseDriver();
    ~CKovBaseDriver() override;

    virtual int GetHourlyArchInterval() { return 1; }
    virtual void SaveConnector(CConnector* connector) = 0;
    virtual bool init() = 0;
    virtual ValueList get_all_curtime_cur_integ_values() = 0;
    virtual ValueList get_all_system_values() = 0;
    virtual bool GetTimestamps(ArchiveBounds& bounds) = 0;
    virtual int get_arch_values(int archType, int32_t from, int32_t to, ValueList& out) = 0;

    // Wiring done by the driver factory, in this order.
    void SetServiceLink(CJSONRPCConnector* link) { service = link; }
    void ApplyPortOptions(const ParamMap& params);

    // Main thread side of the handshake.
    void RequestCheck();
    bool WaitCheckDone(/* implementation decides the exact signature */);
    bool IsCheckRequested() const { return checkRequested.load(); }
    uint8_t ArchiveStatus() const { return portAliasListed ? 0 : archivesCurrent.load(); }
    bool PortAliasListed() const { return portAliasListed; }
    bool LedIndication() const { return ledIndication; }

protected:
    void* functionThread(void* arg) override;

    std::atomic<uint8_t> portAliasListed{0};
    std::atomic<uint8_t> checkRequested{0};
    CJSONRPCConnector* service = nullptr;
    ParamMap params;
    uint8_t ledIndication = 1;
    std::atomic<uint8_t> archivesCurrent{1};
};

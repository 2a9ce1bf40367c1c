#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <list>
#include <string>

#include "drivers/base/control_watch.h"
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
//
// The thread runs until the object is destroyed. A driver whose members are
// used by the thread (link layers) calls Stop() first in its own destructor,
// so the thread is gone before those members are.
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

    // Main thread side of the handshake: raise the request, then wait until
    // the driver thread has done its pass and cleared it. The wait also ends
    // (returning false) once stop() says so, or after timeoutMs when that is
    // not negative.
    void RequestCheck();
    bool WaitCheckDone(const std::function<bool()>& stop = {}, int timeoutMs = -1);
    bool IsCheckRequested() const { return checkRequested.load() != 0; }
    // For the supervisor: listed ports never count as current.
    uint8_t ArchiveStatus() const { return portAliasListed ? 0 : archivesCurrent.load(); }
    bool PortAliasListed() const { return portAliasListed.load() != 0; }
    bool LedIndication() const { return ledIndication != 0; }
    bool ArchivesCurrent() const { return archivesCurrent.load() != 0; }
    CJSONRPCConnector* ServiceLink() const { return service; }
    const ParamMap& Params() const { return params; }

    // Start of the hour before t's hour, and local midnight of the day
    // before t's day.
    static time_t PrevHourStart(time_t t);
    static time_t PrevDayStart(time_t t);

protected:
    void* functionThread(void* arg) override;

    // The driver may talk to its meter: no pause file is in force for it.
    bool MayRun() const;
    // Sleeps seconds (nothing for 1 or less) unless a forced update is
    // requested meanwhile; the request is consumed.
    void InterruptibleSleep(int seconds);
    void WaitVKT7(int period);
    // Archive catch-up; each returns when its next pass is due.
    time_t ReadHourlyArch();
    time_t ReadDailyArch();
    // True when either archive is more than two hours behind the meter.
    bool ArchivesLag();

    std::atomic<uint8_t> portAliasListed{0};
    std::atomic<uint8_t> checkRequested{0};
    CJSONRPCConnector* service = nullptr;
    ParamMap params;
    uint8_t ledIndication = 1;
    std::atomic<uint8_t> archivesCurrent{1};

private:
    void WaitForRequest();
    void FinishRequest();
    void WaitWhilePaused();
    bool IsModel(const char* model) const { return threadName() == model; }

    // Wake-ups for the handshake; the flag above stays the truth.
    int requestFd = -1;
    int doneFd = -1;
    std::string pausePath;
    std::string pauseAllPath;
    std::string controlDir;
    CControlWatch controlWatch;
};

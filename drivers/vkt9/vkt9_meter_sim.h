#pragma once

// A simulated VKT-9 on the Modbus RTU slave of sim/: every register block the
// driver reads, the archive functions 0x41 (read page) and 0x42 (find the
// page of a date) over hourly, daily and integral-daily rings, and knobs for
// the meter's variants and faults. Its data are a deterministic function of
// time (Sample()), so tests know what must arrive.

#include <ctime>
#include <functional>
#include <mutex>
#include <set>

#include "sim/modbus_slave.h"

namespace vkt9 {

// Values of one heating system at one time (current values, or the archive
// record that starts at that time).
struct Sample {
    double qo;        // heat energy, in the meter's Q-units
    double m[3];      // masses, t
    double v[3];      // volumes, m3
    double t[2];      // supply and return temperature, C
    double p[2];      // pressures, MPa
    uint32_t twMin;   // operating time, minutes
    uint32_t errMin;  // time without flow, minutes
    uint32_t err61;   // channel error bits
    uint16_t err62;   // heating-system error bits
};

struct CommonSample {
    double tsw;      // cold-water temperature, C
    uint16_t err60;  // device error bits
    uint16_t err70;  // common error bits
    uint16_t err69;  // extended error bits
    uint32_t noPowerMin;
};

class CVKT9MeterSim : public kov::sim::CSimModbusSlave {
public:
    // Archive types of the meter.
    static constexpr int kHourly = 0;
    static constexpr int kDaily = 1;
    static constexpr int kIntegral = 3;

    CVKT9MeterSim(int fd, uint8_t address);
    ~CVKT9MeterSim() override;

    // Deterministic data: interval index k (hours or days since the epoch).
    static Sample SystemSample(long k, int sys);
    static CommonSample CommonValues(long k);

    // Meter clock; the real clock unless set.
    void SetClock(std::function<time_t()> now);
    void SetVersion(uint16_t version);
    void SetQUnits(uint8_t gj);
    void SetSerial(uint32_t serial);
    // Slave-ID data shorter than the model and version need.
    void SetShortSlaveId(bool shortId);
    // Current heat energy of a system, overriding the sample.
    void SetCurrentQo(int sys, uint32_t whole, float fraction);
    // How far back the archives reach (records); the ring size of each.
    void SetDepth(int hours, int days);
    // Days (local midnight) whose hourly pages 0x42 cannot find.
    void AddMissingDay(time_t midnight);
    // 0x42 for this day (local midnight) answers with the next day.
    void AddMisnamedDay(time_t midnight);
    // The TS1 part of the page that starts at t gets a wrong CRC.
    void AddBadPartCrc(int archType, time_t t);
    // Pages of this record answer with silence (a link fault the driver
    // cannot get past); n = number of requests so answered, -1 for ever.
    void AddDeadPage(int archType, time_t t, int n = -1);
    // Error bits of the current common and TS1 blocks, overriding samples.
    void SetCurrentErrors(uint16_t e60, uint16_t e70, uint32_t e61, uint16_t e62);

    // Ring size word as the archive table reports it (pages - 1).
    static constexpr uint16_t kRingSize = 1999;
    // Page number that holds record k of an archive.
    static uint16_t PageOf(long k) { return static_cast<uint16_t>(k % (kRingSize + 1)); }

    // Newest complete records at the meter's current time.
    time_t LastHour() const;
    time_t LastDay() const;
    time_t Now() const;

protected:
    uint8_t ReadRegisters(bool input, uint16_t first, uint16_t count,
                          std::vector<uint16_t>& out) override;
    long CustomRequestLength(const uint8_t* frame, size_t len) override;
    uint8_t HandleCustom(const kov::sim::Bytes& requestPdu, kov::sim::Bytes& replyPdu) override;

private:
    // Slave-ID data from version and knobs; knobs held by the caller.
    void UpdateSlaveId();
    // Register images of the blocks, built from the time of the request.
    void HoldingImage(std::map<uint16_t, uint16_t>& regs) const;
    void InputImage(std::map<uint16_t, uint16_t>& regs) const;
    // Record k of an archive exists at the meter's time.
    bool HasRecord(int archType, long k) const;
    // Start time of record k.
    static time_t RecordTime(int archType, long k);
    long RecordIndex(int archType, time_t t) const;
    void AppendPage(int archType, long k, uint8_t mask, kov::sim::Bytes& out) const;
    uint8_t FindPage(const kov::sim::Bytes& pdu, kov::sim::Bytes& out);
    uint8_t ReadPage(const kov::sim::Bytes& pdu, kov::sim::Bytes& out);

    mutable std::mutex knobs;
    std::function<time_t()> now_;
    uint16_t version_ = 0x0203;
    uint8_t qUnits_ = 0;
    uint32_t serial_ = 912345;
    bool shortSlaveId_ = false;
    bool qoSet_[2] = {false, false};
    uint32_t qoWhole_[2] = {0, 0};
    float qoFrac_[2] = {0, 0};
    int depthHours_ = 24 * 10;
    int depthDays_ = 40;
    std::set<time_t> missingDays_;
    std::set<time_t> misnamedDays_;
    std::set<std::pair<int, time_t>> badCrc_;
    std::map<std::pair<int, time_t>, int> deadPages_;
    bool errorsSet_ = false;
    uint16_t e60_ = 0, e70_ = 0, e62_ = 0;
    uint32_t e61_ = 0;
};

}  // namespace vkt9

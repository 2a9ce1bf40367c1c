#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "sim/modbus_slave.h"

// A simulated MAGIKA heat calculator on the harness's Modbus RTU slave:
// clock, identification and the current-value input registers, and the
// archive command registers 1000-1003 with a template and archive strings
// that are a deterministic function of time.
//
// Hourly strings are stamped with the end of their hour (hour 1-24, so the
// hour ending at midnight is hour 24 of the day before); daily strings with
// their day and hour 0. "Next" hands out the string under the cursor and
// moves it one string back; "select template" puts the cursor on the newest
// string, "find" on the newest string not later than the asked time.
class CMagikaMeterSim : public kov::sim::CSimModbusSlave {
public:
    enum class Variant {
        kNew,       // new-format archive, firmware word 0x0203
        kNewFixup,  // new format from a firmware that sends its template scrambled
        kOld,       // old-format archive (firmware word 0x4A01)
    };

    CMagikaMeterSim(int fd, uint8_t address, Variant variant = Variant::kNew);
    ~CMagikaMeterSim() override;

    // The meter clock; the host clock unless set.
    void SetClock(std::function<time_t()> clock);
    // The knobs below are taken under the register lock: the slave's thread
    // reads them.
    // Shows midnight as hour 24 of the day before.
    void SetClockHour24(bool on) { Locked([&] { clockHour24_ = on; }); }
    // How many busy answers (1) a find gives before its result.
    void SetFindBusyPolls(int n) { Locked([&] { busyPolls_ = n; }); }
    // Forces the result of every find (0: the real result).
    void ForceFindResult(int r) { Locked([&] { forcedFind_ = r; }); }
    // How far back the archives reach, in strings.
    void SetDepth(int hourly, int daily) {
        Locked([&] {
            hourlyDepth_ = hourly;
            dailyDepth_ = daily;
        });
    }
    // The data registers of the string with this time answer an exception.
    void BreakString(time_t stringTime) { Locked([&] { broken_.insert(stringTime); }); }
    void RepairStrings() { Locked([&] { broken_.clear(); }); }

    // Values written to the command register, in order.
    std::vector<uint16_t> Commands() const;
    // Dates written to registers 1002-1003 (as day, month, year - 2000, hour).
    std::vector<std::vector<int>> FindDates() const;

    // The current values the input registers hold (register number 1-based).
    static float CurrentValue(int reg);
    // What the archive strings hold for a string time (hourly: end of the
    // hour; daily: start of the day).
    struct HourlyData {
        float t1, t2, p1, p2, v1, v2, m1, m2, q, um, pm;
        uint16_t tr, tn;
        uint8_t err;
    };
    struct DailyData {
        float t1, t2, m1, q, sm1, sq;
        uint16_t tn;
        uint32_t stn;
        uint8_t err;
    };
    static HourlyData Hourly(time_t end);
    static DailyData Daily(time_t day);

    static constexpr const char* kSerial = "M0012345";  // first character not used
    static constexpr const char* kModel = "MAGIKA A2";

protected:
    uint8_t ReadRegisters(bool input, uint16_t first, uint16_t count,
                          std::vector<uint16_t>& out) override;
    uint8_t WriteRegisters(uint16_t first, const std::vector<uint16_t>& values) override;

private:
    static constexpr uint16_t kCommandReg = 1000;
    static constexpr uint16_t kStatusReg = 1001;
    static constexpr uint16_t kDataReg = 1002;
    static constexpr uint16_t kFirmwareReg = 51;
    static constexpr uint16_t kFindBusy = 1;
    static constexpr uint16_t kFindFound = 2;
    static constexpr uint16_t kFindNotFound = 3;

    template <class F>
    void Locked(F&& f) {
        std::lock_guard<std::mutex> g(regs);
        f();
    }

    enum class Archive { kNone, kHourly, kDaily };
    uint16_t Firmware() const;
    time_t Now() const;
    time_t NewestHourly() const;
    time_t NewestDaily() const;
    std::vector<uint8_t> Template(Archive a) const;
    std::vector<uint8_t> StringBytes(Archive a, time_t t) const;
    void Command(uint16_t cmd);
    void Find(const std::vector<uint16_t>& date);
    uint16_t Register(uint16_t reg, bool& ok);

    Variant variant_;
    std::function<time_t()> clock_;
    bool clockHour24_ = false;
    int busyPolls_ = 2;
    int forcedFind_ = 0;
    int hourlyDepth_ = 24 * 120;
    int dailyDepth_ = 400;
    std::set<time_t> broken_;

    // Archive dialogue state (guarded by regs).
    Archive archive_ = Archive::kNone;
    bool awaitingDate_ = false;
    uint16_t status_ = 0;
    int busyLeft_ = 0;
    uint16_t findResult_ = 0;
    time_t cursor_ = 0;
    time_t dataTime_ = 0;
    std::vector<uint8_t> data_;
    std::vector<uint16_t> commands_;
    std::vector<std::vector<int>> findDates_;
};

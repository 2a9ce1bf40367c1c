#pragma once

// A simulated VKT-7 on the meter end of a serial link. Answers every service
// register the driver uses; its values and archives are a deterministic
// function of the record time, the value type and the value kind, so a test
// can compute what must reach the file tree (Raw() and the value texts).

#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "sim/sim_meter.h"

namespace kov::sim {

class CVKT7MeterSim : public CSimMeter {
public:
    using Entry = std::pair<uint8_t, uint16_t>;  // value type, size in bytes

    // Value kind selector codes of register 0x3FFD.
    enum Kind : uint8_t {
        kHourly = 0,
        kDaily = 1,
        kMonthly = 3,
        kCurrent = 4,
        kIntegral = 5,
        kProperties = 6
    };

    explicit CVKT7MeterSim(int fd);
    ~CVKT7MeterSim() override;

    // --- configuration (any time; guarded) ---
    // The meter clock; default: the real clock.
    void SetClock(std::function<time_t()> clock);
    void SetFixedTime(time_t t);
    // How far the archives reach back behind the newest complete record.
    void SetArchiveDepth(int hours, int days);
    void SetPropertyFormat(int format);
    // 16-byte system data: version byte, TV1 scheme number, reporting day;
    // oldForm answers with a short 3-byte block starting with the reporting day instead.
    void SetSystemData(uint8_t version, uint8_t scheme, uint8_t reportingDay, bool oldForm = false);
    void SetBoundsWithDaily(bool withDaily);
    void SetActiveList(const std::vector<Entry>& list);
    // Status and error byte sent with a value type (default 192 and 0).
    void SetStatus(uint8_t type, uint8_t status);
    void SetError(uint8_t type, uint8_t error);
    // The activity mask changes once, to newList: the next archive block
    // read answers with error byte 5 (errorCode false) or error answer code 5
    // (errorCode true); after the active list is read again all is normal.
    void ChangeMaskOnce(const std::vector<Entry>& newList, bool errorCode);
    // Flash reads answer with error code 2.
    void SetFlashBroken(bool broken);

    // --- what the meter delivers ---
    static const std::vector<Entry>& DefaultActiveList();
    // Raw value of a type for a kind at a time: an unsigned integer for the
    // counting types, the bits of an IEEE single for the flow types.
    static uint32_t Raw(uint8_t type, uint8_t kind, time_t t, uint16_t size);
    static float Flow(uint8_t type, uint8_t kind, time_t t);
    static bool IsFlowType(uint8_t type) {
        return (type >= 19 && type <= 21) || (type >= 41 && type <= 43);
    }
    // Unit texts and fraction digits of the property block.
    static std::string UnitText(int unitType);
    static uint8_t Digits(int digitsType);
    // Limits kept in flash (M1max, M1min, M2max... as floats) and the DN.
    static constexpr float kLimitTV1[4] = {12.5f, 0.25f, 11.75f, 0.5f};  // offsets 67, 71, 111, 115
    static constexpr float kLimitTV2[4] = {8.5f, 0.125f, 7.25f,
                                           0.1f};   // offsets 81, 85, 125, split 129/3
    static constexpr uint16_t kDiameterRaw = 5000;  // bytes 21-22: 50 after /100

    // Newest complete records and the lower bounds at the meter's time now.
    time_t MeterNow();
    time_t NewestHour();
    time_t NewestDay();
    time_t HourlyLower();
    time_t DailyLower();
    // Archive dates asked for with register 0x3FFB (day start / hour start).
    std::vector<std::pair<uint8_t, time_t>> DatesAsked();

    static time_t LocalDate(int day, int month, int year2000, int hour, int minute = 0,
                            int second = 0);

protected:
    long RequestLength(const uint8_t* data, size_t len) override;
    bool Handle(const Bytes& request, Bytes& reply) override;
    void Reseal(Bytes& reply) override;
    void MakeErrorAnswer(Bytes& reply) override;

private:
    void Read(uint16_t reg, Bytes& data, uint8_t& errorCode);
    void Write(uint16_t reg, const Bytes& data, uint8_t& errorCode);
    void ValueBlock(uint8_t kind, time_t t, Bytes& out);
    bool ArchiveHas(uint8_t kind, time_t t);

    std::mutex lock_;
    std::function<time_t()> clock_;
    int depthHours_ = 36;
    int depthDays_ = 35;
    int propertyFormat_ = 0;
    uint8_t version_ = 0x27, scheme_ = 3, reportingDay_ = 31;
    bool oldSystemData_ = false;
    bool boundsWithDaily_ = true;
    bool flashBroken_ = false;
    std::vector<Entry> active_;
    std::vector<Entry> wanted_;
    std::map<uint8_t, uint8_t> status_, error_;

    std::vector<Entry> pendingList_;
    int maskChange_ =
        0;  // 0 none, 1 error byte pending, 2 error code pending, 3 waiting for re-sync

    uint8_t kind_ = kCurrent;
    bool dialogue_ = false;  // the next 0x3FFE read answers the dialogue start
    bool dateSet_ = false;
    time_t date_ = 0;
    uint16_t flashPos_ = 0;
    std::vector<std::pair<uint8_t, time_t>> asked_;
};

}  // namespace kov::sim

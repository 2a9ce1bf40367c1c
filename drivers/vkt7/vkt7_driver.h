#pragma once

// Ckov_VKT7: the Teplocom VKT-7 heat calculator. Selects a kind of values
// through the meter's service registers, tells it which value types to send
// and, for archives, which date, then decodes the one block that answers into
// records for the meter's two heat systems (TV1, TV2).

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "drivers/base/kov_base_driver.h"
#include "drivers/vkt7/vkt7_link.h"

class Ckov_VKT7 : public CKovBaseDriver {
public:
    Ckov_VKT7();
    ~Ckov_VKT7() override;

    int GetHourlyArchInterval() override { return 12; }
    void SaveConnector(CConnector* connector) override;
    bool init() override;
    ValueList get_all_curtime_cur_integ_values() override;
    ValueList get_all_system_values() override;
    bool GetTimestamps(ArchiveBounds& bounds) override;
    int get_arch_values(int archType, int32_t from, int32_t to, ValueList& out) override;

    // Value types as the meter numbers them; 0-21 TV1, 22-43 the same for TV2.
    struct ValueType {
        uint8_t unitType;
        int16_t digitsType[2];  // TV1, TV2; -1: none
        int index;              // catalogue index as configured at start
    };
    static const ValueType kValueTypes[22];
    // Catalogue index currently in force for a value type (0-43); several
    // types swap indexes with the meter's active list.
    static int CatalogueIndex(int type);

    // Read-only views for tests and diagnostics.
    int PropertyFormat() const { return propertyFormat; }
    const std::string& VersionText() const { return versionText; }
    uint8_t ReportingDay() const { return reportingDay; }
    int T3Mode() const { return t3Mode; }
    const std::map<int, std::string>& Units() const { return units; }
    const std::map<int, uint8_t>& FractionDigits() const { return fractionDigits; }
    const std::vector<std::pair<uint8_t, uint16_t>>& ActiveList() const { return activeList; }

    static std::string ParseToString(int type, int size, const CVKT7Buffer& value, int digits);
    static std::string GetLongAsString(const CVKT7Buffer& value, int size, int digits);
    static std::string GetFloatAsString(const CVKT7Buffer& value, int size);

protected:
    void GetAllProperties2();
    void SyncActiveParameters41(bool trace);
    bool SendDataForArch3(time_t t, const char* name);
    void GetSystemData();
    time_t GetCurrentTimestamp();
    void GetLimitsData(ValueList& list);
    int parce45inWork(CVKT7Buffer reply, ValueList& list, int kind, int32_t time);
    void parce45inWorkEXTERNAL(int type, uint8_t status, uint8_t error, const CVKT7Buffer& value,
                               ValueList& list, int kind, int32_t time);
    void get_arch_monthly_values(time_t t, ValueList& list);

private:
    void WriteKind(uint8_t kind, const char* caption);
    CVKT7Buffer ReadValues(const char* caption, bool tolerate);
    void ReadArchRecord(int kind, const char* name, const char* caption, const char* captionRetry,
                        time_t t, ValueList& list);
    bool RecordGivenUp(int kind, time_t t) const;
    bool NoteFailure(int kind, time_t t);
    void NoteSuccess(int kind, time_t t);

    int32_t propertyFormat = 0;
    std::unique_ptr<CVKT7LowLevelConnector> link;
    std::map<int, std::string> units;
    std::map<int, uint8_t> fractionDigits;
    std::string versionText;
    uint8_t versionByte = 0;
    uint8_t tv1Scheme = 0;
    uint8_t reportingDay = 0;
    std::vector<std::pair<uint8_t, uint16_t>> activeList;
    int32_t t3Mode = 0;

    // Archive record a link failure ended a pass at, and how many passes in
    // a row it did so; records given up on after the third time.
    std::pair<int, time_t> failedAt{0, 0};
    int failedCount = 0;
    std::set<std::pair<int, time_t>> givenUp;
};

#pragma once

// Driver of the Teplocom VKT-9 heat computer ("vkt-9"): one common block and
// up to two heating systems, read through Modbus RTU registers and the
// meter's archive-page functions.

#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <set>
#include <span>
#include <string>

#include "drivers/base/kov_base_driver.h"
#include "drivers/common/raw_param.h"
#include "drivers/vkt9/vkt9_link.h"

class Ckov_VKT9 : public CKovBaseDriver {
public:
    Ckov_VKT9();
    ~Ckov_VKT9() override;

    void SaveConnector(CConnector* connector) override;
    bool init() override;
    ValueList get_all_curtime_cur_integ_values() override;
    ValueList get_all_system_values() override;
    bool GetTimestamps(ArchiveBounds& bounds) override;
    int get_arch_values(int archType, int32_t from, int32_t to, ValueList& out) override;

    // Archive table entry of the meter: ring size, oldest page (the tail),
    // the page written next (the head).
    struct ArchEntry {
        uint16_t size = 0;
        uint16_t tail = 0;
        uint16_t head = 0;
    };

    // Identification and settings as last read (tests and diagnostics).
    uint32_t SerialNumber() const { return serialNumber; }
    const std::string& ModelText() const { return modelText; }
    const std::string& VersionText() const { return versionText; }
    uint16_t Version() const { return version; }
    bool HasTS2() const { return hasTS2; }
    uint8_t QUnits() const { return qUnits; }
    const std::string& ObjectID() const { return objectId; }
    const ArchEntry& Arch(int i) const { return archTable[i]; }
    const std::string& UnitText(int dim) const;

    // Consecutive passes after which a record the link keeps failing at is
    // treated as absent.
    static constexpr int kFailuresBeforeSkip = 3;

protected:
    time_t GetCurrentTimestamp();
    void GetSystemData();
    CVKT9Buffer FindArchDate(time_t t, int kind, const char* name, int archType);
    // The 0x42 look-up behind FindArchDate, under the given caption.
    CVKT9Buffer FindPage(time_t t, const char* name, int archType, const char* caption);
    int ReadArchData(time_t t, time_t begin, time_t end, int kind, const char* name, int archType,
                     uint16_t* page, ValueList& out);
    // Decodes one block (from its first data byte) with the table chosen by
    // kind, archive type and system selector.
    void parse_inWork(const CVKT9Buffer& block, int archType, int sys, int kind, time_t t,
                      ValueList& out);
    // Text of the value of entry e at offset off; "ERR" for a type it
    // cannot decode.
    std::string ParseToString(const CVKT9Buffer& block, int off, const kov::RawParam& e,
                              bool registers, double* number);

private:
    bool BuildUnitMap();
    void ResetAccumulators();
    void EmitQoAndErrors(time_t t, ValueList& out, int errKind);
    CVKT9Buffer ReadRegisters(uint8_t function, uint16_t first, uint16_t count,
                              const char* caption);
    CVKT9Buffer ReadPage(int archType, uint8_t mask, uint16_t page, uint8_t count,
                         const char* caption);
    time_t PageTime(const CVKT9Buffer& reply, bool withHour) const;
    // Archive record read guarded by the three-strikes rule: a link failure
    // at the same record on consecutive passes is rethrown until the limit,
    // then the record counts as absent.
    template <class ReadFn>
    int GuardedRead(int archType, time_t t, ReadFn&& read);

    std::unique_ptr<CVKT9LowLevelConnector> link;

    uint32_t serialNumber = 0;
    std::string objectId;
    uint16_t model = 0;
    std::string modelText;
    uint16_t version = 0;
    std::string versionText;
    bool hasTS2 = false;

    uint8_t qUnits = 0;
    std::string qUnitsText = "Гкал";
    uint8_t reportDay = 0;
    uint8_t season = 0;
    uint8_t dirQo[2] = {0, 0};
    uint8_t dirQg[2] = {0, 0};
    uint8_t schemeWinter[2] = {0, 0};
    uint8_t schemeSummer[2] = {0, 0};
    uint8_t portAddr[2] = {0, 0};
    float m1max[2] = {0, 0};
    float m2max[2] = {0, 0};
    float m1min[2] = {0, 0};
    float m2min[2] = {0, 0};

    ArchEntry archTable[7];
    std::map<int, std::string> units;

    // Decode accumulators.
    double qo[2] = {0, 0};
    int qoKind[2] = {1, 1};
    bool qoSeen[2] = {false, false};
    uint8_t gj[2] = {0, 0};
    uint32_t errWord[2] = {0, 0};

    // The record the link last failed at, per archive type.
    struct FailMark {
        time_t t = -1;
        int count = 0;
    };
    FailMark failMark[4];
    // Records given up on: (archive type, time).
    std::set<std::pair<int, time_t>> givenUp;
};

#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "drivers/base/kov_base_driver.h"
#include "drivers/magika/magika_archive.h"
#include "drivers/magika/magika_link.h"

// MAGIKA heat calculators ("magika-axxx") read over Modbus RTU: current
// values from a fixed input-register map, archives as binary strings laid
// out by the meter's own archive template.
class CkovMAGIKAAXXX : public CKovBaseDriver {
public:
    CkovMAGIKAAXXX();
    ~CkovMAGIKAAXXX() override;

    void SaveConnector(CConnector* connector) override;
    bool init() override;
    ValueList get_all_curtime_cur_integ_values() override;
    ValueList get_all_system_values() override;
    bool GetTimestamps(ArchiveBounds& bounds) override;
    int get_arch_values(int archType, int32_t from, int32_t to, ValueList& out) override;

    // The meter clock: -1 when it could not be read.
    time_t ReadCurDevTime();

    int parseArchString2013(const std::vector<std::string>& templ, const uint8_t* data, size_t size,
                            const magika::NewMap& map, bool hourly, ValueList& out,
                            time_t& stringTime);
    int parseArchString(const std::vector<std::string>& templ, const uint8_t* data, size_t size,
                        const magika::OldMap& map, bool hourly, ValueList& out, time_t& stringTime);

    bool OldArchive() const { return oldArchive; }
    CMAGIKAAXXXConnector* Link() { return link.get(); }

private:
    struct CommandSet {
        uint16_t select, find, next, end;
    };
    // How one pass over the archive strings ended.
    enum class ReadEnd { kReachedFrom, kNoData, kBroken };

    ReadEnd ReadStrings(int archType, int32_t from, int32_t to, const struct tm* target,
                        const CommandSet& cmd, ValueList& out, time_t& lastTime);
    void EndArchRead(const CommandSet& cmd);

    bool connectorReady = false;
    bool driverReady = false;
    bool oldArchive = false;
    magika::OldMap oldHourly, oldDaily;
    magika::NewMap newHourly, newDaily;
    std::unique_ptr<CMAGIKAAXXXConnector> link;
    // The last meter clock read, 0 before the first.
    time_t meterTime = 0;

    // The archive record a read last broke at, and on how many passes in a row.
    int failKind = 0;
    time_t failTime = 0;
    int failCount = 0;
    // Records given up on (kind, time): a later read that breaks at one of
    // them goes on behind it at once.
    std::set<std::pair<int, time_t>> givenUp;
};

#include "drivers/magika/magika_driver.h"

#include <cstdlib>
#include <exception>

#include "drivers/base/clock.h"
#include "drivers/common/byte_order.h"
#include "drivers/common/link_exceptions.h"
#include "drivers/common/meter_time.h"
#include "log/logger.h"

namespace {

// Current values: two input registers each (a big-endian float, high half
// first), at the 1-based register number minus one. The meter's map holds
// further rows without catalogue parameter (registers 107-119, 127-139,
// 147-159, 161-167, 177-189, 407-419, 423-427, 433-439, 449-461); they are
// not read.
struct CurrentRow {
    int reg;
    int index;
    int kind;
    const char* unit;
};
constexpr CurrentRow kCurrentMap[] = {
    {101, 0, 0, "m3/h"}, {103, 1, 0, "m3/h"}, {105, 2, 0, "m3/h"}, {121, 3, 0, "t/h"},
    {123, 4, 0, "t/h"},  {125, 5, 0, "t/h"},  {141, 6, 0, "C"},    {143, 7, 0, "C"},
    {145, 8, 0, "C"},    {171, 9, 0, "atm"},  {173, 10, 0, "atm"}, {175, 11, 0, "atm"},
    {401, 22, 1, "t"},   {403, 23, 1, "t"},   {405, 24, 1, "t"},   {421, 17, 1, "Gcal"},
    {431, 18, 1, "h"},  // minutes on the meter
    {443, 19, 1, "m3"},  {445, 20, 1, "m3"},  {447, 21, 1, "m3"},
};

constexpr int kClockReg = 15;   // 6 registers: BCD year, month, day, hour, minute, second
constexpr int kSerialReg = 1;   // 4 registers: 8 characters, the first one not used
constexpr int kCalcReg = 11;    // 0: one calculation scheme ("SC" 1), else 2
constexpr int kModelReg = 801;  // 8 registers: length byte, then the model text
constexpr int kFirstHourlyBack = 3200400;  // 889 hours
constexpr int kFirstDailyBack = 31968000;  // 370 days
constexpr size_t kMaxGivenUp = 256;

// Stream byte i of registers: the high byte of register i/2 first.
uint8_t StreamByte(const uint16_t* regs, int i) {
    return static_cast<uint8_t>(i % 2 == 0 ? regs[i / 2] >> 8 : regs[i / 2]);
}

// Unix time of a broken-down local time whose hour may be 24.
time_t TmTime(const struct tm& t) {
    return kov::MeterLocalTime(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour);
}

}  // namespace

CkovMAGIKAAXXX::CkovMAGIKAAXXX() = default;

CkovMAGIKAAXXX::~CkovMAGIKAAXXX() { Stop(); }

void CkovMAGIKAAXXX::SaveConnector(CConnector* connector) {
    try {
        link = std::make_unique<CMAGIKAAXXXConnector>(connector);
    } catch (std::exception& e) {
        klog::err("CkovMAGIKAAXXX::SaveConnector - BAD CAST %s.", e.what());
        link.reset();
        return;
    }
    auto it = params.find("serial");
    if (it != params.end())
        link->SetSlave(static_cast<int>(std::strtol(it->second.c_str(), nullptr, 10)));
    driverReady = true;
}

bool CkovMAGIKAAXXX::init() {
    if (!connectorReady) {
        oldHourly = magika::BuildOldHourlyMap();
        oldDaily = magika::BuildOldDailyMap();
        newHourly = magika::BuildNewHourlyMap();
        newDaily = magika::BuildNewDailyMap();
        connectorReady = true;
    }
    if (!driverReady) {
        // Without a Modbus link there is no meter to talk to: stay disconnected.
        klog::warning("CkovMAGIKAAXXX::init - ERROR! Connector or driver is not initialized.");
        throw CDisconnectException();
    }
    for (int attempt = 0; attempt < 3; ++attempt) {
        const time_t t = ReadCurDevTime();
        if (t != -1) {
            klog::debug("CkovMAGIKAAXXX::init - MDateTime_JSONRPC %d.", static_cast<int>(t));
            return true;
        }
    }
    klog::err("CkovMAGIKAAXXX::init - Could not read MDateTime. Ckov disconnected!");
    throw CDisconnectException();
}

time_t CkovMAGIKAAXXX::ReadCurDevTime() {
    uint16_t regs[6] = {};
    if (!link || link->ReadInputRegisters(kClockReg, 6, regs) < 6) {
        klog::warning(
            "CkovMAGIKAAXXX::ReadCurDevTime - ERROR! Could not read sensors current time.");
        return -1;
    }
    const int year = 2000 + kov::BcdToInt(StreamByte(regs, 0));
    const int month = kov::BcdToInt(StreamByte(regs, 1));
    const int day = kov::BcdToInt(StreamByte(regs, 2));
    const int hour = kov::BcdToInt(StreamByte(regs, 3));
    const int minute = kov::BcdToInt(StreamByte(regs, 4));
    const int second = kov::BcdToInt(StreamByte(regs, 5));
    klog::debug("CkovMAGIKAAXXX::ReadCurDevTime - Year %d, Month %d, Day %d.", year, month, day);
    klog::debug("CkovMAGIKAAXXX::ReadCurDevTime - Hour %d, Minute %d, Second %d.", hour, minute,
                second);
    time_t t = kov::MeterLocalTime(year, month, day, hour >= 24 ? 0 : hour, minute, second);
    if (hour >= 24) t += 86400;
    meterTime = t;
    return t;
}

ValueList CkovMAGIKAAXXX::get_all_curtime_cur_integ_values() {
    ValueList list;
    if (!connectorReady || !driverReady) {
        klog::warning(
            "CkovMAGIKAAXXX::get_all_curtime_cur_integ_values - ERROR! Connector or driver is not "
            "initialized.");
        return list;
    }
    const int now = static_cast<int>(kov::Now());
    time_t mdt = -1;
    for (int attempt = 0; attempt < 3 && mdt == -1; ++attempt) mdt = ReadCurDevTime();
    if (mdt == -1) {
        klog::err(
            "CkovMAGIKAAXXX::get_all_curtime_cur_integ_values - Could not read MDateTime. Ckov "
            "disconnected!");
        throw CDisconnectException();
    }
    list.emplace_back(45, 7, std::to_string(mdt), "", 192, 0, 0, now);
    for (const CurrentRow& row : kCurrentMap) {
        const int addr = row.reg - 1;
        uint16_t regs[2] = {};
        if (link->ReadInputRegisters(addr, 2, regs) < 2) {
            klog::warning(
                "CkovMAGIKAAXXX::get_all_curtime_cur_integ_values - ERROR! Could not read reg_addr "
                "%d.",
                addr);
            continue;
        }
        double v = kov::BitsToFloat((static_cast<uint32_t>(regs[0]) << 16) | regs[1]);
        if (row.index == 18) v /= 60.0;
        const std::string text = magika::FloatText(v);
        klog::debug(
            "CkovMAGIKAAXXX::get_all_curtime_cur_integ_values - jsonParam %d, reg_addr %d, value "
            "%s.",
            row.index, addr, text.c_str());
        list.emplace_back(row.index, row.kind, text, row.unit, 192, 0, 0, now);
    }
    return list;
}

ValueList CkovMAGIKAAXXX::get_all_system_values() {
    ValueList list;
    if (!connectorReady || !driverReady) {
        klog::warning(
            "CkovMAGIKAAXXX::get_all_system_values - ERROR! Connector or driver is not "
            "initialized.");
        return list;
    }
    const int now = static_cast<int>(kov::Now());
    uint16_t firmware = 0;
    if (link->ReadInputRegisters(CMAGIKAAXXXConnector::kFirmwareReg, 1, &firmware) >= 1) {
        if (firmware == 0 || (firmware >> 8) == 0x4A) {
            oldArchive = true;
            list.emplace_back(47, 7, "1", "", 192, 0, 0, now);
        } else {
            oldArchive = false;
            uint16_t regs[8] = {};
            if (link->ReadInputRegisters(kModelReg, 8, regs) >= 8) {
                const int len = StreamByte(regs, 0);
                if (len < 16) {
                    std::string model;
                    for (int i = 1; i <= len; ++i) model += static_cast<char>(StreamByte(regs, i));
                    klog::debug("CkovMAGIKAAXXX::get_all_system_values - Meter model %s.",
                                model.c_str());
                    list.emplace_back(32, 7, model, "", 192, 0, 0, now);
                }
            }
            uint16_t calc = 0;
            if (link->ReadInputRegisters(kCalcReg, 1, &calc) >= 1) {
                const std::string sc = calc == 0 ? "1" : "2";
                klog::debug("CkovMAGIKAAXXX::get_all_system_values - Meter calculation %s. Val %d.",
                            sc.c_str(), calc);
                list.emplace_back(47, 7, sc, "", 192, 0, 0, now);
            }
        }
    }
    uint16_t regs[4] = {};
    if (link->ReadInputRegisters(kSerialReg, 4, regs) >= 4) {
        std::string serial;
        for (int i = 1; i < 8; ++i) {
            const uint8_t c = StreamByte(regs, i);
            if (c == 0) break;
            serial += static_cast<char>(c);
        }
        klog::debug("CkovMAGIKAAXXX::get_all_system_values - Meter serial %s.", serial.c_str());
        list.emplace_back(34, 7, serial, "string", 192, 0, 0, now);
    }
    return list;
}

bool CkovMAGIKAAXXX::GetTimestamps(ArchiveBounds& bounds) {
    if (!connectorReady || !driverReady) {
        klog::warning(
            "CkovMAGIKAAXXX::GetTimestamps - ERROR! Connector or driver is not initialized.");
        return false;
    }
    const time_t t = ReadCurDevTime();
    if (t == -1) return false;
    const struct tm day = kov::LocalParts(t);
    const time_t midnight = kov::MeterLocalTime(day.tm_year + 1900, day.tm_mon + 1, day.tm_mday, 0);
    bounds.hourlyLower = static_cast<int32_t>(t - t % 3600 - kFirstHourlyBack);
    bounds.dailyLower = static_cast<int32_t>(midnight - kFirstDailyBack);
    bounds.meterClock = static_cast<int32_t>(t);
    return true;
}

int CkovMAGIKAAXXX::parseArchString2013(const std::vector<std::string>& templ, const uint8_t* data,
                                        size_t size, const magika::NewMap& map, bool hourly,
                                        ValueList& out, time_t& stringTime) {
    return magika::ParseArchString2013(templ, data, size, map, hourly, out, stringTime);
}

int CkovMAGIKAAXXX::parseArchString(const std::vector<std::string>& templ, const uint8_t* data,
                                    size_t size, const magika::OldMap& map, bool hourly,
                                    ValueList& out, time_t& stringTime) {
    return magika::ParseArchString(templ, data, size, map, hourly, out, stringTime);
}

void CkovMAGIKAAXXX::EndArchRead(const CommandSet& cmd) {
    link->WriteSingleRegister(CMAGIKAAXXXConnector::kCommandReg, cmd.end);
}

CkovMAGIKAAXXX::ReadEnd CkovMAGIKAAXXX::ReadStrings(int archType, int32_t from, int32_t to,
                                                    const struct tm* target, const CommandSet& cmd,
                                                    ValueList& out, time_t& lastTime) {
    const bool hourly = archType == 4;
    lastTime = 0;
    std::vector<std::string> templ;
    if (link->readArchTemplate(cmd.select, templ) < 0) {
        const bool broken = link->LinkFailed();
        EndArchRead(cmd);
        klog::warning("CkovMAGIKAAXXX::get_arch_values - ERROR! Could not get arch template.");
        return broken ? ReadEnd::kBroken : ReadEnd::kNoData;
    }
    // A sane meter ends with the strings older than from; a confused one
    // must not keep the thread here for ever.
    time_t newest = meterTime;
    if (target != nullptr) {
        newest = TmTime(*target);
        const int found = link->findArchString(*target, cmd.select, cmd.find);
        if (found != CMAGIKAAXXXConnector::kFindFound) {
            const bool broken = found < 0 && link->LinkFailed();
            EndArchRead(cmd);
            klog::warning(
                "CkovMAGIKAAXXX::get_arch_values - ERROR! Could not find arch string for date %d.",
                static_cast<int>(newest));
            return broken ? ReadEnd::kBroken : ReadEnd::kNoData;
        }
    }
    const int step = hourly ? 3600 : 86400;
    const long span = newest > from ? (static_cast<long>(newest) - from) / step : 0;
    const long maxStrings = span + (hourly ? 48 : 40);
    time_t t = 0;
    for (long n = 0;; ++n) {
        if (n >= maxStrings) {
            EndArchRead(cmd);
            klog::warning(
                "CkovMAGIKAAXXX::get_arch_values - ERROR! Arch strings do not reach begin time.");
            return ReadEnd::kNoData;
        }
        const int size = link->readSizeArchString(cmd.next);
        if (size <= 0) {
            const bool broken = link->LinkFailed();
            EndArchRead(cmd);
            klog::warning(
                "CkovMAGIKAAXXX::get_arch_values - ERROR! Could not read arch string size.");
            return broken ? ReadEnd::kBroken : ReadEnd::kNoData;
        }
        std::vector<uint8_t> buf((static_cast<size_t>(size) + 1) / 2 * 2 + 2, 0);
        if (link->read1003RegString(buf.data(), size) < 0) {
            EndArchRead(cmd);
            klog::warning("CkovMAGIKAAXXX::get_arch_values - ERROR! Could not read arch string.");
            return ReadEnd::kBroken;
        }
        ValueList parsed;
        const int rc = oldArchive
                           ? parseArchString(templ, buf.data(), static_cast<size_t>(size),
                                             hourly ? oldHourly : oldDaily, hourly, parsed, t)
                           : parseArchString2013(templ, buf.data(), static_cast<size_t>(size),
                                                 hourly ? newHourly : newDaily, hourly, parsed, t);
        if (rc < 0) {
            EndArchRead(cmd);
            klog::warning("CkovMAGIKAAXXX::get_arch_values - ERROR! Could not parse arch string.");
            return ReadEnd::kBroken;
        }
        lastTime = t;
        // The search starts one string beyond `to` and the walk ends on the
        // first string not later than `from`; only the strings of the asked
        // range are handed on, so the day-long chunks of a catch-up neither
        // overlap nor leave a string out.
        if (t >= from && t <= to) out.splice(out.begin(), parsed);
        if (t <= from) break;
    }
    klog::debug("CkovMAGIKAAXXX::parseArchString - Reached begin time: beg_dt %d, arch_dt %d.",
                from, static_cast<int>(t));
    EndArchRead(cmd);
    return ReadEnd::kReachedFrom;
}

int CkovMAGIKAAXXX::get_arch_values(int archType, int32_t from, int32_t to, ValueList& out) {
    if (!connectorReady || !driverReady) {
        klog::warning(
            "CkovMAGIKAAXXX::get_arch_values - ERROR! Connector or driver is not initialized.");
        return -1;
    }
    if (archType != 4 && archType != 5) return 0;
    klog::debug("CkovMAGIKAAXXX::parseArchString - beg_dt %d, end_dt %d.", from, to);
    const bool hourly = archType == 4;
    CommandSet cmd;
    if (hourly) {
        cmd = oldArchive ? CommandSet{5, 11, 6, 8} : CommandSet{30, 31, 6, 8};
        klog::debug(oldArchive ? "CkovMAGIKAAXXX::get_arch_values - Old Hourly Arch Type"
                               : "CkovMAGIKAAXXX::get_arch_values - Hourly Arch Type");
    } else {
        cmd = oldArchive ? CommandSet{1, 10, 2, 4} : CommandSet{20, 21, 2, 4};
        klog::debug(oldArchive ? "CkovMAGIKAAXXX::get_arch_values - Old Daily Arch Type"
                               : "CkovMAGIKAAXXX::get_arch_values - Daily Arch Type");
    }

    struct tm target = kov::LocalParts(static_cast<time_t>(to) + (hourly ? 3600 : 86400));
    if (!hourly) target.tm_hour = 24;
    bool search = true;
    if (meterTime != 0) {
        const struct tm m = kov::LocalParts(meterTime);
        if (m.tm_year == target.tm_year && m.tm_mon == target.tm_mon &&
            m.tm_mday == target.tm_mday &&
            (hourly ? target.tm_hour >= m.tm_hour : target.tm_mday + 1 >= m.tm_mday))
            search = false;
    }
    if (!search) klog::debug("CkovMAGIKAAXXX::get_arch_values - No need to find arch string");

    const int step = hourly ? 3600 : 86400;
    for (;;) {
        time_t lastTime = 0;
        const ReadEnd end =
            ReadStrings(archType, from, to, search ? &target : nullptr, cmd, out, lastTime);
        if (end == ReadEnd::kReachedFrom) {
            failCount = 0;
            return 0;
        }
        if (end == ReadEnd::kNoData) return -1;

        // The read broke at a record. Storing the newer records gathered so
        // far would move the stored time past it, so the whole call fails and
        // the next pass reads from the same place - unless this record has
        // failed on the last passes too: then it counts as absent and the
        // read goes on behind it.
        const time_t failedAt = lastTime != 0 ? lastTime - step : TmTime(target);
        if (!givenUp.count({archType, failedAt})) {
            if (failKind == archType && failTime == failedAt) {
                ++failCount;
            } else {
                failKind = archType;
                failTime = failedAt;
                failCount = 1;
            }
            if (failCount < 3) throw CDisconnectException();
            klog::warning(
                "CkovMAGIKAAXXX::get_arch_values - Archive record %d failed on three passes, "
                "treated as absent.",
                static_cast<int>(failedAt));
            failCount = 0;
            // Only records the catch-up can still ask for are worth keeping.
            if (givenUp.size() >= kMaxGivenUp) givenUp.erase(givenUp.begin());
            givenUp.insert({archType, failedAt});
        }
        if (failedAt - step < from) return 0;
        target = kov::LocalParts(failedAt - (hourly ? step : step / 2));
        if (!hourly) target.tm_hour = 24;
        search = true;
    }
}

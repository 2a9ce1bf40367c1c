#include "drivers/vkt7/vkt7_driver.h"


#include <array>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "drivers/base/clock.h"
#include "drivers/common/meter_time.h"
#include "drivers/common/value_text.h"
#include "log/logger.h"

namespace {

// Unit text types and fraction-digit types that the property block delivers.
constexpr int kFirstUnitType = 44, kLastUnitType = 56;
constexpr int kFirstDigitsType = 57, kLastDigitsType = 76;
constexpr int kFlowUnitType = 45;

// Catalogue indexes of the 44 value types. Process-wide: the active-list
// synchronisation of any VKT-7 rewrites the indexes of types 2, 15, 24, 37.
std::mutex g_indexLock;
std::array<int, 44> g_index = [] {
    std::array<int, 44> a{};
    for (int t = 0; t < 44; ++t) a[t] = Ckov_VKT7::kValueTypes[t % 22].index;
    return a;
}();

int QualityOf(uint8_t status) {
    switch (status) {
        case 192:
        case 0:
        case 64:
        case 80:
        case 4:
        case 12:
            return status;
        default:
            return 0;
    }
}

// Requests, without their CRC; each array keeps two spare bytes for it.
template <size_t N>
std::array<uint8_t, N + 2> Frame(const uint8_t (&bytes)[N]) {
    std::array<uint8_t, N + 2> f{};
    for (size_t i = 0; i < N; ++i) f[i] = bytes[i];
    return f;
}

std::array<uint8_t, 209> BuildPropertyList() {
    std::array<uint8_t, 209> f{0xFF, 0xFF, 0x00, 0x10, 0x3F, 0xFF, 0x00, 0x00, 0xC6};
    size_t p = 9;
    for (int type = kFirstUnitType; type <= kLastDigitsType; ++type) {
        const uint16_t size = type <= kLastUnitType ? 7 : 1;
        kov::PutU16LE(&f[p], static_cast<uint16_t>(type));
        kov::PutU16LE(&f[p + 2], 0x4000);
        kov::PutU16LE(&f[p + 4], size);
        p += 6;
    }
    return f;
}
const std::array<uint8_t, 209> kPropertyList = BuildPropertyList();

time_t MeterDate(int day, int month, int year2000, int hour, int minute = 0, int second = 0) {
    return kov::MeterLocalTime(2000 + year2000, month, day, hour, minute, second);
}

// Soft read for the status and error bytes of a value entry: a block cut
// short there is reported by the step over the entry, not here.
uint8_t ByteOr0(const CVKT7Buffer& b, int32_t i) { return i < b.Length() ? b.Data()[i] : 0; }

}  // namespace

const Ckov_VKT7::ValueType Ckov_VKT7::kValueTypes[22] = {
    {44, {57, 67}, 6},  {44, {57, 67}, 7},  {44, {57, 67}, 8},  {46, {59, 69}, 19},
    {46, {59, 69}, 20}, {46, {59, 69}, 21}, {47, {60, 70}, 22}, {47, {60, 70}, 23},
    {47, {60, 70}, 24}, {48, {61, 71}, 9},  {48, {61, 71}, 10}, {52, {65, 75}, 30},
    {53, {66, 76}, 17}, {54, {66, 76}, 30}, {49, {62, 72}, 30}, {50, {63, 73}, 30},
    {51, {64, 74}, 30}, {55, {-1, -1}, 18}, {56, {-1, -1}, 29}, {45, {58, 68}, 0},
    {45, {58, 68}, 1},  {45, {58, 68}, 2},
};

int Ckov_VKT7::CatalogueIndex(int type) {
    std::lock_guard<std::mutex> lock(g_indexLock);
    return g_index.at(type);
}

Ckov_VKT7::Ckov_VKT7() = default;
Ckov_VKT7::~Ckov_VKT7() {
    // The polling thread uses the link; it must be gone first.
    Stop();
}

void Ckov_VKT7::SaveConnector(CConnector* connector) {
    link = std::make_unique<CVKT7LowLevelConnector>(connector, ledIndication);
}

void Ckov_VKT7::WriteKind(uint8_t kind, const char* caption) {
    auto f = Frame({0xFF, 0xFF, 0x00, 0x10, 0x3F, 0xFD, 0x00, 0x00, 0x02, kind, 0x00});
    link->SendString(f.data(), f.size(), caption, false);
}

CVKT7Buffer Ckov_VKT7::ReadValues(const char* caption, bool tolerate) {
    auto f = Frame({0xFF, 0xFF, 0x00, 0x03, 0x3F, 0xFE, 0x00, 0x00});
    return link->SendString(f.data(), f.size(), caption, tolerate);
}

bool Ckov_VKT7::init() {
    try {
        auto f1 =
            Frame({0xFF, 0xFF, 0x00, 0x10, 0x3F, 0xFF, 0x00, 0x00, 0xCC, 0x80, 0x00, 0x00, 0x00});
        link->SendString(f1.data(), f1.size(), "init_1", false);
        CVKT7Buffer b = ReadValues("init_2", false);
        propertyFormat = b[64];
        GetAllProperties2();
        SyncActiveParameters41(false);
    } catch (CWrongPacketException&) {
        throw CDisconnectException();
    }
    return true;
}

void Ckov_VKT7::GetAllProperties2() {
    WriteKind(6, "GetAllProperties2_1");
    std::array<uint8_t, 209> f = kPropertyList;
    link->SendString(f.data(), f.size(), "GetAllProperties2_2", false);
    CVKT7Buffer b = ReadValues("GetAllProperties2_3", false);
    b += 3;
    units.clear();
    fractionDigits.clear();
    for (int type = kFirstUnitType; type <= kLastUnitType; ++type) {
        int32_t len = 7;
        if (propertyFormat == 1) {
            len = b[0];
            b += 2;
            if (len > b.Length()) {
                CVKT7LowLevelConnector::WriteErrorLog(0, 0, 0, "MakeStringDiapason");
                throw CDisconnectException();
            }
        } else if (b.Length() < 7) {
            CVKT7LowLevelConnector::WriteErrorLog(0, 0, 0, "MakeStringDiapason");
            throw CDisconnectException();
        }
        std::string text(reinterpret_cast<const char*>(b.Data()), len);
        // Texts are padded with NULs on the meter.
        text.resize(text.find('\0') == std::string::npos ? text.size() : text.find('\0'));
        units[type] = text;
        b += propertyFormat == 1 ? len + 2 : 9;
    }
    for (int type = kFirstDigitsType; type <= kLastDigitsType; ++type) {
        fractionDigits[type] = b[0];
        b += 3;
    }
}

void Ckov_VKT7::SyncActiveParameters41(bool trace) {
    auto f = Frame({0xFF, 0xFF, 0x00, 0x03, 0x3F, 0xFC, 0x00, 0x00});
    CVKT7Buffer b = link->SendString(f.data(), f.size(), "SyncActiveParameters41_1", false);
    const int count = b[2];
    activeList.clear();
    t3Mode = 0;
    bool t3Type15 = false;
    for (int p = 3; p + 6 <= 3 + count; p += 6) {
        const uint8_t type = b[p];
        activeList.emplace_back(type, b[p + 4]);
        if (type == 15 || type == 2) t3Mode = t3Mode > 1 ? 0 : 1 - t3Mode;
        if (type == 37 || type == 24) t3Mode = t3Mode == 0 ? 2 : 0;
        if (type == 15 || type == 37) t3Type15 = true;
    }
    {
        std::lock_guard<std::mutex> lock(g_indexLock);
        g_index[15] = t3Type15 ? 8 : 30;
        g_index[2] = t3Type15 ? 30 : 8;
        g_index[37] = 30;
        g_index[24] = 8;
    }
    std::vector<uint8_t> w{
        0xFF, 0xFF, 0x00, 0x10, 0x3F, 0xFF, 0x00, 0x00, static_cast<uint8_t>(count)};
    for (int i = 0; i < count; ++i) w.push_back(b[3 + i]);
    w.push_back(0);
    w.push_back(0);
    link->SendString(w.data(), static_cast<uint16_t>(w.size()), "SyncActiveParameters41_2", false);
    if (trace)
        CVKT7LowLevelConnector::WriteTrace(w.data(), static_cast<int>(w.size()),
                                           "SyncActiveParameters41");
}

std::string Ckov_VKT7::GetLongAsString(const CVKT7Buffer& value, int size, int digits) {
    if (size > value.Length()) {
        CVKT7LowLevelConnector::WriteErrorLog(0, 0, 0, "GetLongAsString");
        throw CDisconnectException();
    }
    const double v = static_cast<double>(kov::UIntLE(value.Data(), size)) / std::pow(10.0, digits);
    return kov::FormatGeneral(v, 6);
}

std::string Ckov_VKT7::GetFloatAsString(const CVKT7Buffer& value, int size) {
    if (size > value.Length()) {
        CVKT7LowLevelConnector::WriteErrorLog(0, 0, 0, "GetFloatAsString");
        throw CDisconnectException();
    }
    const float f = kov::BitsToFloat(static_cast<uint32_t>(kov::UIntLE(value.Data(), size)));
    return kov::FormatGeneral(f, 6);
}

std::string Ckov_VKT7::ParseToString(int type, int size, const CVKT7Buffer& value, int digits) {
    if (size >= 5) {
        klog::crit("Ckov_VKT7::ParseToString - too long value - %d. need additional work", size);
        return "ERR";
    }
    if (kValueTypes[type % 22].unitType == kFlowUnitType) return GetFloatAsString(value, size);
    return GetLongAsString(value, size, digits);
}

int Ckov_VKT7::parce45inWork(CVKT7Buffer b, ValueList& list, int kind, int32_t time) {
    b += 3;
    uint32_t alarms[2] = {0, 0};
    for (const auto& [type, size] : activeList) {
        const uint8_t status = ByteOr0(b, size);
        const uint8_t error = ByteOr0(b, size + 1);
        if (type < 45) {
            if (error == 5) {
                klog::warning(
                    "Ckov_VKT7::parce45inWork - activity mask is changed, need to reread");
                return -1;
            }
            const bool timeOfWork = kind == 2 && (type == 17 || type == 39);
            if (timeOfWork)
                CVKT7LowLevelConnector::WriteTrace(b.Data(), std::min<int32_t>(6, b.Length()),
                                                   "TimeOfWork");
            if (type >= 44) {
                klog::err("Ckov_VKT7::parce45inWorkEXTERNAL - WRONG INDEX - %d", type);
            } else if (status != 4 && status != 12) {
                const uint8_t sys = type < 22 ? 0 : 1;
                const ValueType& row = kValueTypes[type % 22];
                int digits = 0;
                if (row.digitsType[sys] >= 0) {
                    auto it = fractionDigits.find(row.digitsType[sys]);
                    if (it != fractionDigits.end()) digits = it->second;
                }
                std::string text;
                if (timeOfWork && size < 5 && size <= b.Length()) {
                    // The meter keeps flags in the upper half of the operating-time counters.
                    uint8_t copy[4] = {};
                    for (int i = 0; i < size; ++i) copy[i] = i >= 2 ? 0 : b.Data()[i];
                    text = ParseToString(type, size, CVKT7Buffer(copy, size), digits);
                } else {
                    text = ParseToString(type, size, b, digits);
                }
                auto unit = units.find(row.unitType);
                const int index = CatalogueIndex(type);
                const uint8_t err = error == 0xFF ? 0 : error;
                list.emplace_back(index, kind, text,
                                  unit == units.end() ? std::string() : unit->second,
                                  QualityOf(status), err, sys, time);
                klog::debug("param - %d;%d  val - %s VKT7OPCQuality - %d ERR - %d", index, kind,
                            text.c_str(), status, error);
                if (index == 8 && t3Mode - 1 == sys) {
                    ValueRecord copy = list.back();
                    copy.sys = static_cast<uint8_t>(1 - sys);
                    list.push_back(copy);
                }
                static constexpr struct {
                    uint8_t error;
                    int index;
                    int bit;
                } kAlarms[] = {
                    {1, 6, 3},   {1, 7, 19}, {1, 9, 6},   {1, 10, 20}, {1, 19, 2},
                    {1, 20, 18}, {2, 19, 1}, {2, 20, 17}, {2, 17, 10},
                };
                for (const auto& a : kAlarms)
                    if (a.error == error && a.index == index) alarms[sys] |= 1u << a.bit;
            }
        } else {
            parce45inWorkEXTERNAL(type, status, error, b, list, kind, time);
        }
        b += size + 2;
    }
    for (uint8_t sys = 0; sys < 2; ++sys)
        list.emplace_back(14, kind, std::to_string(alarms[sys]), "", 192, 0, sys, time);
    return 0;
}

void Ckov_VKT7::parce45inWorkEXTERNAL(int type, uint8_t status, uint8_t error,
                                      const CVKT7Buffer& value, ValueList& list, int kind,
                                      int32_t time) {
    if (status == 4) return;
    if (type == 77 || type == 78) {
        list.emplace_back(15, kind, value[0] == 0x2A ? "1" : "0", "", QualityOf(status),
                          error == 0xFF ? 0 : error, static_cast<uint8_t>(type - 77), time);
    } else if (type != 82) {
        klog::err("Ckov_VKT7::parce45inWorkEXTERNAL - WRONG INDEX - %d", type);
    }
}

time_t Ckov_VKT7::GetCurrentTimestamp() {
    auto f = Frame({0xFF, 0xFF, 0x00, 0x03, 0x3F, 0xFB, 0x00, 0x00});
    CVKT7Buffer b = link->SendString(f.data(), f.size(), "GetCurrentTimestamp", false);
    const int day = b[3], month = b[4], year = b[5], hour = b[6], minute = b[7], second = b[8];
    klog::info("current time heat meter - %02d.%02d.%04d %02d:%02d:%02d", day, month, year + 2000,
               hour, minute, second);
    return MeterDate(day, month, year, hour, minute, second);
}

ValueList Ckov_VKT7::get_all_curtime_cur_integ_values() {
    ValueList list;
    time_t clock = 0;
    if (versionByte <= 38) {
        // Meters before 2.7 have no clock register; the bounds carry the clock to the hour.
        ArchiveBounds bounds;
        if (GetTimestamps(bounds)) clock = bounds.meterClock;
    } else {
        clock = GetCurrentTimestamp();
    }
    const int32_t now = static_cast<int32_t>(kov::Now());
    list.emplace_back(45, 7, std::to_string(static_cast<long long>(clock)), "", 192, 0, 0, now);

    WriteKind(4, "get_all_curtime_cur_integ_values_1");
    parce45inWork(ReadValues("get_all_curtime_cur_integ_values_2", false), list, 0, now);
    WriteKind(5, "get_all_curtime_cur_integ_values_3");
    parce45inWork(ReadValues("get_all_curtime_cur_integ_values_4", false), list, 1, now);
    return list;
}

bool Ckov_VKT7::GetTimestamps(ArchiveBounds& bounds) {
    auto f = Frame({0xFF, 0xFF, 0x00, 0x03, 0x3F, 0xF6, 0x00, 0x00});
    CVKT7Buffer b = link->SendString(f.data(), f.size(), "GetTimestamps", false);
    bounds.hourlyLower = static_cast<int32_t>(MeterDate(b[3], b[4], b[5], b[6]));
    klog::info("last hour arch - %02d.%02d.%04d %02d", b[3], b[4], b[5] + 2000, b[6]);
    bounds.meterClock = static_cast<int32_t>(MeterDate(b[7], b[8], b[9], b[10]));
    klog::info("Cur_date - %02d.%02d.%04d %02d ", b[7], b[8], b[9] + 2000, b[10]);
    if (b[2] >= 12) {
        bounds.dailyLower = static_cast<int32_t>(MeterDate(b[11], b[12], b[13], 0));
        klog::info("last day arch - %02d.%02d.%04d %02d", b[11], b[12], b[13] + 2000, b[14]);
    } else {
        bounds.dailyLower = 0;
    }
    return true;
}

bool Ckov_VKT7::SendDataForArch3(time_t t, const char* name) {
    struct tm d = kov::LocalParts(t);
    auto f = Frame({0xFF, 0xFF, 0x00, 0x10, 0x3F, 0xFB, 0x00, 0x00, 0x04,
                    static_cast<uint8_t>(d.tm_mday), static_cast<uint8_t>(d.tm_mon + 1),
                    static_cast<uint8_t>(d.tm_year - 100), static_cast<uint8_t>(d.tm_hour)});
    CVKT7Buffer b = link->SendString(f.data(), f.size(), "SendDataForArch3", true);
    char when[64];
    asctime_r(&d, when);
    if (b.Empty() && link->LastError() == 3) {
        klog::debug("Ckov_VKT7::SendDataForArch3 - No data in arch to %s", when);
        return false;
    }
    // Any other error answer leaves the meter on an earlier date: reading
    // on would store that date's values under this one.
    if (b.Empty()) throw CDisconnectException();
    klog::debug("Ckov_VKT7::SendDataForArch3 - Asking data %s - %s", when, name);
    return true;
}

void Ckov_VKT7::ReadArchRecord(int kind, const char* name, const char* caption,
                               const char* captionRetry, time_t t, ValueList& list) {
    if (!SendDataForArch3(t, name)) return;
    CVKT7Buffer b = ReadValues(caption, true);
    if (b.Empty() && link->LastError() != 5) throw CDisconnectException();
    const int32_t time = static_cast<int32_t>(t);
    if ((b.Empty() && link->LastError() == 5) || parce45inWork(b, list, kind, time) == -1) {
        klog::warning("Ckov_VKT7::get_arch_values - activity mask is changed, need to reread");
        SyncActiveParameters41(false);
        if (SendDataForArch3(t, name))
            parce45inWork(ReadValues(captionRetry, false), list, kind, time);
    }
}

bool Ckov_VKT7::RecordGivenUp(int kind, time_t t) const { return givenUp.count({kind, t}) != 0; }

bool Ckov_VKT7::NoteFailure(int kind, time_t t) {
    if (failedAt == std::make_pair(kind, t)) {
        ++failedCount;
    } else {
        failedAt = {kind, t};
        failedCount = 1;
    }
    if (failedCount < 3) return false;
    klog::warning(
        "Ckov_VKT7::get_arch_values - record of archive %d at %lld failed on three passes in a "
        "row, "
        "taken as absent",
        kind, static_cast<long long>(t));
    if (givenUp.size() > 4096) givenUp.clear();
    givenUp.insert({kind, t});
    failedCount = 0;
    return true;
}

void Ckov_VKT7::NoteSuccess(int kind, time_t t) {
    if (failedAt == std::make_pair(kind, t)) failedCount = 0;
}

void Ckov_VKT7::get_arch_monthly_values(time_t t, ValueList& list) {
    klog::info("Start read monthly values at %d", static_cast<int>(t));
    WriteKind(3, "get_arch_monthly_values_1");
    SyncActiveParameters41(true);
    ReadArchRecord(2, "MONTHLY", "get_arch_monthly_values_2", "get_arch_monthly_values_2.1", t,
                   list);
}

int Ckov_VKT7::get_arch_values(int archType, int32_t from, int32_t to, ValueList& out) {
    uint8_t selector;
    const char* name;
    int32_t step;
    if (archType == 4) {
        selector = 0, name = "HOURLY", step = 3600;
    } else if (archType == 5) {
        selector = 1, name = "DAILY", step = 86400;
    } else {
        return 2;
    }
    WriteKind(selector, "get_arch_values_1");
    SyncActiveParameters41(false);
    for (int64_t t64 = from; t64 <= to; t64 += step) {
        const time_t t = static_cast<time_t>(t64);
        if (archType == 5) {
            struct tm d = kov::LocalParts(t);
            struct tm next = d;
            next.tm_mday += 1;
            next.tm_isdst = -1;
            mktime(&next);
            const bool closing = reportingDay == 31 ? next.tm_mday == 1 : d.tm_mday == reportingDay;
            if (closing && !RecordGivenUp(2, t)) {
                // A link failure ends the call: the stored time never moves past a record not read.
                try {
                    get_arch_monthly_values(t, out);
                    NoteSuccess(2, t);
                } catch (CDisconnectException&) {
                    if (!NoteFailure(2, t)) throw;
                } catch (CWrongPacketException&) {
                    if (!NoteFailure(2, t)) throw;
                }
                WriteKind(selector, "get_arch_values_1");
                SyncActiveParameters41(false);
            }
        }
        if (RecordGivenUp(archType, t)) continue;
        try {
            ReadArchRecord(archType, name, "get_arch_values_2", "get_arch_values_2.1", t, out);
            NoteSuccess(archType, t);
        } catch (CDisconnectException&) {
            if (!NoteFailure(archType, t)) throw;
        } catch (CWrongPacketException&) {
            if (!NoteFailure(archType, t)) throw;
        }
    }
    return 0;
}

ValueList Ckov_VKT7::get_all_system_values() {
    GetSystemData();
    ValueList list;
    GetLimitsData(list);
    const int32_t now = static_cast<int32_t>(kov::Now());
    char scheme[8];
    snprintf(scheme, sizeof scheme, "0x%x", tv1Scheme);
    list.emplace_back(31, 7, "ООО \"Теплоком\"", "", 192, 0, 0, now);
    list.emplace_back(32, 7, "ВКТ-7", "", 192, 0, 0, now);
    list.emplace_back(33, 7, versionText, "", 192, 0, 0, now);
    list.emplace_back(38, 7, scheme, "", 192, 0, 0, now);
    return list;
}

void Ckov_VKT7::GetSystemData() {
    auto f = Frame({0xFF, 0xFF, 0x00, 0x03, 0x3F, 0xF9, 0x00, 0x00});
    CVKT7Buffer b = link->SendString(f.data(), f.size(), "GetSystemData", false);
    if (b[2] != 16) {
        klog::info("Ckov_VKT7::GetSystemData it's old heat-meter. v < 1.5 length system data is %d",
                   b[2]);
        reportingDay = b[3];
        versionByte = 0;
        versionText = "<1.5";
        return;
    }
    versionByte = b[3];
    versionText = std::to_string(versionByte >> 4) + "." + std::to_string(versionByte & 0x0F);
    tv1Scheme = static_cast<uint8_t>((b.U16LE(4) >> 9) & 0x0F);
    reportingDay = b[3 + 14];
}

void Ckov_VKT7::GetLimitsData(ValueList& list) {
    const int32_t now = static_cast<int32_t>(kov::Now());
    auto position = [this](uint8_t lo, const char* caption) {
        auto f = Frame({0xFF, 0xFF, 0x00, 0x10, 0x3F, 0xF7, 0x00, 0x00, 0x02, lo, 0x05});
        link->SendString(f.data(), f.size(), caption, true);
    };
    auto flash = [this](const char* caption) {
        auto f = Frame({0xFF, 0xFF, 0x00, 0x03, 0x3F, 0xF8, 0x00, 0x80});
        return link->SendString(f.data(), f.size(), caption, true);
    };
    auto single = [](const CVKT7Buffer& b, int offset) {
        return kov::FormatGeneral(b.FloatLE(offset), 6);
    };
    try {
        position(0x28, "FlashSetPositionTV1");
        CVKT7Buffer b = flash("GetFlashData1");
        if (b[25] == 0)
            list.emplace_back(8, 7, kov::FormatGeneral((b[21] + 256 * b[22]) / 100.0, 6), "", 192,
                              0, 0, now);
        else
            list.emplace_back(8, 7, "измер.", "", 192, 0, 0, now);
        list.emplace_back(51, 9, single(b, 67), "", 192, 0, 0, now);
        list.emplace_back(53, 9, single(b, 71), "", 192, 0, 0, now);
        list.emplace_back(52, 9, single(b, 111), "", 192, 0, 0, now);
        list.emplace_back(54, 9, single(b, 115), "", 192, 0, 0, now);

        position(0x29, "FlashSetPositionTV2");
        b = flash("GetFlashData2");
        list.emplace_back(51, 9, single(b, 81), "", 192, 0, 1, now);
        list.emplace_back(53, 9, single(b, 85), "", 192, 0, 1, now);
        list.emplace_back(52, 9, single(b, 125), "", 192, 0, 1, now);
        // The TV2 lower limit straddles two flash pages.
        const uint8_t low0 = b[129], low1 = b[130];

        position(0x2A, "FlashSetPositionTV3");
        b = flash("GetFlashData3");
        const uint8_t bytes[4] = {low0, low1, b[3], b[4]};
        list.emplace_back(54, 9, kov::FormatGeneral(kov::FloatLE(bytes), 6), "", 192, 0, 1, now);
    } catch (CDisconnectException&) {
        klog::info("Ckov_VKT7::GetLimitsData is failed");
    }
}

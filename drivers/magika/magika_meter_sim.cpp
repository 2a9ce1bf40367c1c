#include "drivers/magika/magika_meter_sim.h"

#include <cstring>
#include <memory>
#include <mutex>

#include "drivers/common/byte_order.h"
#include "drivers/common/meter_time.h"
#include "sim/sim_registry.h"

namespace {

// Command codes of the archive dialogue: hourly select/find, next/end, daily select/find, next/end.
struct Codes {
    uint16_t hSelect, hFind, hNext, hEnd, dSelect, dFind, dNext, dEnd;
};
constexpr Codes kNewCodes{30, 31, 6, 8, 20, 21, 2, 4};
constexpr Codes kOldCodes{5, 11, 6, 8, 1, 10, 2, 4};

struct tm Local(time_t t) {
    return kov::LocalParts(t);
}

time_t Midnight(time_t t, int dayShift) {
    const struct tm tm = Local(t);
    return kov::MeterLocalTime(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday + dayShift, 0);
}

void PutFloat(std::vector<uint8_t>& b, float f) {
    uint8_t p[4];
    kov::PutU32BE(p, kov::FloatToBits(f));
    b.insert(b.end(), p, p + 4);
}
void PutU16(std::vector<uint8_t>& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}
void PutU32(std::vector<uint8_t>& b, uint32_t v) {
    uint8_t p[4];
    kov::PutU32BE(p, v);
    b.insert(b.end(), p, p + 4);
}

// Date bytes of an hourly string: the day its hour ends in, hour 1-24.
void PutHourlyStamp(std::vector<uint8_t>& b, time_t end, bool withHourByte) {
    struct tm tm = Local(end);
    int hour = tm.tm_hour;
    if (hour == 0) {
        tm = Local(end - 3600);
        hour = 24;
    }
    b.push_back(static_cast<uint8_t>(tm.tm_mday));
    b.push_back(static_cast<uint8_t>(tm.tm_mon + 1));
    b.push_back(static_cast<uint8_t>(tm.tm_year - 100));
    if (withHourByte) b.push_back(static_cast<uint8_t>(hour));
}

void PutDailyStamp(std::vector<uint8_t>& b, time_t day) {
    const struct tm tm = Local(day);
    b.push_back(static_cast<uint8_t>(tm.tm_mday));
    b.push_back(static_cast<uint8_t>(tm.tm_mon + 1));
    b.push_back(static_cast<uint8_t>(tm.tm_year - 100));
    b.push_back(0);
}

const char kNewHourlyTemplate[] =
    "0Day\n0Month\n0Year\n0Hour\n1Tr\n1Tn\n0Err\n8t 3.1\n8t 3.2\n8P 3.1\n8P 3.2\n"
    "8V 3.1\n8V 3.2\n8M 3.1\n8M 3.2\n8Q\n8uM\n8pM\n";
const char kNewDailyTemplate[] =
    "0Day\n0Month\n0Year\n0Hour\n1Tn\n0Err\n8t 3.1\n8t 3.2\n8M 3.1\n8Q\n3STn\n8SM 3.1\n8SQ\n";
// Old templates carry the documented old types in their type characters.
const char kOldHourlyTemplate[] =
    "5DATE\n5HOUR\n0TNORM\n0ERRORCODE\n4T 3.1\n4T 3.2\n4P 3.1\n4M 3.1\n4M 3.2\n4Q1\n2RES\n";
const char kOldDailyTemplate[] =
    "5DATE\n5HOUR\n1TNORM\n0ERRORCODE\n4T 3.1\n4T 3.2\n4M 3.1\n4Q1\n3sTNORM\n3sTNORM\n4sM1\n4sQ1\n";

}  // namespace

CMagikaMeterSim::CMagikaMeterSim(int fd, uint8_t address, Variant variant)
    : CSimModbusSlave(fd, address), variant_(variant), clock_([] { return time(nullptr); }) {}

CMagikaMeterSim::~CMagikaMeterSim() { Stop(); }

void CMagikaMeterSim::SetClock(std::function<time_t()> clock) {
    std::lock_guard<std::mutex> g(regs);
    clock_ = std::move(clock);
}

std::vector<uint16_t> CMagikaMeterSim::Commands() const {
    std::lock_guard<std::mutex> g(regs);
    return commands_;
}

std::vector<std::vector<int>> CMagikaMeterSim::FindDates() const {
    std::lock_guard<std::mutex> g(regs);
    return findDates_;
}

float CMagikaMeterSim::CurrentValue(int reg) {
    switch (reg) {
        case 101:
            return 12.5f;
        case 103:
            return 2.25f;
        case 105:
            return 0.5f;
        case 121:
            return 11.75f;
        case 123:
            return 10.25f;
        case 141:
            return 75.5f;
        case 143:
            return 45.25f;
        case 145:
            return 5.0f;
        case 171:
            return 6.5f;
        case 173:
            return 4.25f;
        case 401:
            return 123456.5f;
        case 403:
            return 120000.25f;
        case 421:
            return 2345.125f;
        case 431:
            return 90000.0f;  // minutes
        case 443:
            return 54321.5f;
        case 445:
            return 50000.75f;
        default:
            return 0.0f;
    }
}

CMagikaMeterSim::HourlyData CMagikaMeterSim::Hourly(time_t end) {
    const long h = static_cast<long>(end / 3600);
    HourlyData d{};
    d.t1 = 70.0f + static_cast<float>(h % 24) * 0.5f;
    d.t2 = 40.0f + static_cast<float>(h % 12) * 0.25f;
    d.p1 = 6.0f + static_cast<float>(h % 4) * 0.25f;
    d.p2 = 4.0f;
    d.v1 = 10.0f + static_cast<float>(h % 50) * 0.125f;
    d.v2 = d.v1 - 0.5f;
    d.m1 = 9.75f + static_cast<float>(h % 50) * 0.125f;
    d.m2 = d.m1 - 0.5f;
    d.q = 0.5f + static_cast<float>(h % 16) * 0.0625f;
    d.um = 0.25f;
    d.pm = 0.5f;
    d.tr = 60;
    d.tn = static_cast<uint16_t>(h % 3 == 0 ? 54 : 60);
    d.err = static_cast<uint8_t>(h % 10 == 0 ? 0x02 : 0x00);
    return d;
}

CMagikaMeterSim::DailyData CMagikaMeterSim::Daily(time_t day) {
    const long k = static_cast<long>(day / 86400);
    DailyData d{};
    d.t1 = 65.0f + static_cast<float>(k % 10) * 0.5f;
    d.t2 = 45.0f + static_cast<float>(k % 8) * 0.25f;
    d.m1 = 200.0f + static_cast<float>(k % 30) * 1.5f;
    d.q = 12.0f + static_cast<float>(k % 8) * 0.125f;
    d.sm1 = 1000.0f + static_cast<float>(k % 1000) * 0.5f;
    d.sq = 500.0f + static_cast<float>(k % 1000) * 0.25f;
    d.tn = static_cast<uint16_t>(1440 - (k % 5) * 30);
    d.stn = static_cast<uint32_t>(100000 + (k % 1000) * 1440);
    d.err = static_cast<uint8_t>(k % 7 == 0 ? 0x81 : 0x00);
    return d;
}

uint16_t CMagikaMeterSim::Firmware() const {
    switch (variant_) {
        case Variant::kNewFixup:
            return 0x1210;
        case Variant::kOld:
            return 0x4A01;
        default:
            return 0x0203;
    }
}

time_t CMagikaMeterSim::Now() const { return clock_(); }

time_t CMagikaMeterSim::NewestHourly() const {
    const time_t now = Now();
    return now - now % 3600;
}

time_t CMagikaMeterSim::NewestDaily() const { return Midnight(Now(), -1); }

std::vector<uint8_t> CMagikaMeterSim::Template(Archive a) const {
    const bool old = variant_ == Variant::kOld;
    const char* text = a == Archive::kHourly ? (old ? kOldHourlyTemplate : kNewHourlyTemplate)
                                             : (old ? kOldDailyTemplate : kNewDailyTemplate);
    std::string s;
    if (variant_ == Variant::kNewFixup) {
        // Blank lines up front, so the fields lie beyond byte 512 where this
        // firmware exchanges the bytes of each register.
        for (int i = 0; i < 256; ++i) s += " \n";
    }
    s += text;
    std::vector<uint8_t> b(s.begin(), s.end());
    if (variant_ == Variant::kNewFixup) {
        for (size_t i = 0; i + 1 < b.size(); ++i) {
            if (b[i + 1] == 'M' && (b[i] == 'u' || b[i] == 'p')) b[i] = b[i] == 'u' ? 'p' : 'u';
        }
        for (size_t i = 513; i < b.size(); i += 2) std::swap(b[i - 1], b[i]);
    }
    return b;
}

std::vector<uint8_t> CMagikaMeterSim::StringBytes(Archive a, time_t t) const {
    std::vector<uint8_t> b;
    const bool old = variant_ == Variant::kOld;
    if (a == Archive::kHourly) {
        const HourlyData d = Hourly(t);
        if (old) {
            PutHourlyStamp(b, t, true);  // DATE (3 bytes) and HOUR (1 byte)
            b.push_back(static_cast<uint8_t>(d.tn));
            b.push_back(d.err);
            for (float f : {d.t1, d.t2, d.p1, d.m1, d.m2, d.q}) PutFloat(b, f);
            PutU32(b, 0xDEADBEEF);  // a reserved field the driver skips
        } else {
            PutHourlyStamp(b, t, true);
            PutU16(b, d.tr);
            PutU16(b, d.tn);
            b.push_back(d.err);
            for (float f : {d.t1, d.t2, d.p1, d.p2, d.v1, d.v2, d.m1, d.m2, d.q, d.um, d.pm})
                PutFloat(b, f);
        }
    } else {
        const DailyData d = Daily(t);
        PutDailyStamp(b, t);
        PutU16(b, d.tn);
        b.push_back(d.err);
        for (float f : {d.t1, d.t2, d.m1, d.q}) PutFloat(b, f);
        PutU32(b, d.stn);
        if (old) PutU32(b, d.stn / 2);  // the second sTNORM counter
        PutFloat(b, d.sm1);
        PutFloat(b, d.sq);
    }
    return b;
}

void CMagikaMeterSim::Command(uint16_t cmd) {
    const Codes& c = variant_ == Variant::kOld ? kOldCodes : kNewCodes;
    commands_.push_back(cmd);
    if (cmd == c.hSelect || cmd == c.dSelect) {
        archive_ = cmd == c.hSelect ? Archive::kHourly : Archive::kDaily;
        data_ = Template(archive_);
        dataTime_ = 0;
        status_ = static_cast<uint16_t>(data_.size());
        cursor_ = archive_ == Archive::kHourly ? NewestHourly() : NewestDaily();
        awaitingDate_ = false;
    } else if (cmd == c.hFind || cmd == c.dFind) {
        awaitingDate_ = true;
        busyLeft_ = 0;
        status_ = 1;
    } else if (cmd == c.hNext || cmd == c.dNext) {
        const bool hourly = archive_ == Archive::kHourly;
        const time_t oldest = hourly ? NewestHourly() - static_cast<time_t>(hourlyDepth_ - 1) * 3600
                                     : Midnight(NewestDaily(), -(dailyDepth_ - 1));
        if (archive_ == Archive::kNone || cursor_ < oldest) {
            data_.clear();
            status_ = 0;
            return;
        }
        data_ = StringBytes(archive_, cursor_);
        dataTime_ = cursor_;
        status_ = static_cast<uint16_t>(data_.size());
        cursor_ = hourly ? cursor_ - 3600 : Midnight(cursor_, -1);
    } else {  // end of reading, or a code this meter does not know
        archive_ = Archive::kNone;
        data_.clear();
        status_ = 0;
    }
}

void CMagikaMeterSim::Find(const std::vector<uint16_t>& date) {
    const int day = date[0] >> 8, month = date[0] & 0xFF;
    const int year = 2000 + (date[1] >> 8), hour = date[1] & 0xFF;
    findDates_.push_back({day, month, year - 2000, hour});
    awaitingDate_ = false;
    time_t asked;
    time_t newest, oldest;
    if (archive_ == Archive::kHourly) {
        asked =
            kov::MeterLocalTime(year, month, day, hour >= 24 ? 0 : hour) + (hour >= 24 ? 86400 : 0);
        newest = NewestHourly();
        oldest = newest - static_cast<time_t>(hourlyDepth_ - 1) * 3600;
        if (asked > newest) asked = newest;
    } else {
        asked = kov::MeterLocalTime(year, month, day, 0);
        newest = NewestDaily();
        oldest = Midnight(newest, -(dailyDepth_ - 1));
        if (asked > newest) asked = newest;
    }
    if (archive_ == Archive::kNone || asked < oldest) {
        findResult_ = kFindNotFound;
    } else {
        findResult_ = kFindFound;
        cursor_ = asked;
    }
    if (forcedFind_ != 0) findResult_ = static_cast<uint16_t>(forcedFind_);
    busyLeft_ = busyPolls_;
    status_ = findResult_;
}

uint16_t CMagikaMeterSim::Register(uint16_t reg, bool& ok) {
    ok = true;
    if (reg >= 1 && reg <= 4) {
        const int i = (reg - 1) * 2;
        return static_cast<uint16_t>((static_cast<uint8_t>(kSerial[i]) << 8) |
                                     static_cast<uint8_t>(kSerial[i + 1]));
    }
    if (reg == 11) return 1;
    if (reg >= 15 && reg <= 20) {
        const time_t now = Now();
        struct tm tm = Local(now);
        int hour = tm.tm_hour;
        if (clockHour24_ && hour == 0) {
            const int min = tm.tm_min, sec = tm.tm_sec;
            tm = Local(now - 86400);
            tm.tm_min = min;
            tm.tm_sec = sec;
            hour = 24;
        }
        const uint8_t bytes[6] = {kov::IntToBcd(tm.tm_year % 100), kov::IntToBcd(tm.tm_mon + 1),
                                  kov::IntToBcd(tm.tm_mday),       kov::IntToBcd(hour),
                                  kov::IntToBcd(tm.tm_min),        kov::IntToBcd(tm.tm_sec)};
        const int i = (reg - 15) * 2;
        return i < 6 ? static_cast<uint16_t>((bytes[i] << 8) | bytes[i + 1]) : 0;
    }
    if (reg == kFirmwareReg) return Firmware();
    if ((reg >= 100 && reg <= 189) || (reg >= 400 && reg <= 461)) {
        // Float pairs start at even addresses (1-based odd register numbers).
        const int pairStart = reg % 2 == 0 ? reg : reg - 1;
        const uint32_t bits = kov::FloatToBits(CurrentValue(pairStart + 1));
        return static_cast<uint16_t>(reg == pairStart ? bits >> 16 : bits);
    }
    if (reg >= 801 && reg <= 808) {
        std::string text(1, static_cast<char>(std::strlen(kModel)));
        text += kModel;
        text.resize(16, '\0');
        const int i = (reg - 801) * 2;
        return static_cast<uint16_t>((static_cast<uint8_t>(text[i]) << 8) |
                                     static_cast<uint8_t>(text[i + 1]));
    }
    if (reg == kStatusReg) {
        if (busyLeft_ > 0) {
            --busyLeft_;
            return kFindBusy;
        }
        return status_;
    }
    if (reg >= kDataReg && reg < kDataReg + 2000) {
        if (dataTime_ != 0 && broken_.count(dataTime_)) {
            ok = false;
            return 0;
        }
        const size_t i = static_cast<size_t>(reg - kDataReg) * 2;
        const uint8_t hi = i < data_.size() ? data_[i] : 0;
        const uint8_t lo = i + 1 < data_.size() ? data_[i + 1] : 0;
        return static_cast<uint16_t>((hi << 8) | lo);
    }
    ok = false;
    return 0;
}

uint8_t CMagikaMeterSim::ReadRegisters(bool input, uint16_t first, uint16_t count,
                                       std::vector<uint16_t>& out) {
    if (!input) return CSimModbusSlave::ReadRegisters(input, first, count, out);
    std::lock_guard<std::mutex> g(regs);
    out.clear();
    for (uint16_t i = 0; i < count; ++i) {
        bool ok = false;
        const uint16_t v = Register(static_cast<uint16_t>(first + i), ok);
        if (!ok) return kIllegalAddress;
        out.push_back(v);
    }
    return 0;
}

uint8_t CMagikaMeterSim::WriteRegisters(uint16_t first, const std::vector<uint16_t>& values) {
    std::lock_guard<std::mutex> g(regs);
    if (first == kCommandReg && !values.empty()) {
        Command(values[0]);
        return 0;
    }
    if (first == kDataReg && values.size() == 2) {
        if (awaitingDate_) Find(values);
        return 0;
    }
    return kIllegalAddress;
}

KOV_SIM_METER("magika-axxx", "MAGIKA heat calculator, new-format archives",
              [](const kov::sim::SimMeterOptions& o) {
                  auto m = std::make_unique<CMagikaMeterSim>(o.fd, static_cast<uint8_t>(o.address));
                  if (o.archiveDays > 0) m->SetDepth(o.archiveDays * 24, o.archiveDays);
                  return m;
              })
KOV_SIM_METER("magika-axxx-old", "MAGIKA heat calculator, old-format archives",
              [](const kov::sim::SimMeterOptions& o) {
                  auto m = std::make_unique<CMagikaMeterSim>(o.fd, static_cast<uint8_t>(o.address),
                                                             CMagikaMeterSim::Variant::kOld);
                  if (o.archiveDays > 0) m->SetDepth(o.archiveDays * 24, o.archiveDays);
                  return m;
              })

#include "drivers/vkt9/vkt9_meter_sim.h"

#include <cmath>
#include <cstring>

#include "drivers/common/byte_order.h"
#include "drivers/common/crc16.h"
#include "drivers/common/meter_time.h"
#include "sim/sim_registry.h"

namespace vkt9 {

using kov::sim::Bytes;

namespace {

constexpr uint8_t kNoData = 3;

// A byte image in which blocks are laid out before being cut into registers.
struct Image {
    Bytes b;
    explicit Image(size_t n) : b(n, 0) {}
    void U16BE(size_t off, uint16_t v) { kov::PutU16BE(&b[off], v); }
    void U32BE(size_t off, uint32_t v) { kov::PutU32BE(&b[off], v); }
    void F32BE(size_t off, float f) { kov::PutU32BE(&b[off], kov::FloatToBits(f)); }
    void AccBE(size_t off, double v) {
        const double whole = std::floor(v);
        U32BE(off, static_cast<uint32_t>(whole));
        F32BE(off + 4, static_cast<float>(v - whole));
    }
    void U16LE(size_t off, uint16_t v) { kov::PutU16LE(&b[off], v); }
    void U32LE(size_t off, uint32_t v) { kov::PutU32LE(&b[off], v); }
    void F32LE(size_t off, float f) { kov::PutFloatLE(&b[off], f); }
};

void PutRegisters(std::map<uint16_t, uint16_t>& regs, uint16_t first, const Bytes& bytes) {
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
        regs[static_cast<uint16_t>(first + i / 2)] = kov::U16BE(&bytes[i]);
}

time_t LocalMidnight(time_t t) {
    const struct tm d = kov::LocalParts(t);
    return kov::MeterLocalTime(d.tm_year + 1900, d.tm_mon + 1, d.tm_mday, 0);
}

// Days since the epoch of t's local date.
long LocalDayIndex(time_t t) {
    struct tm tmv {};
    localtime_r(&t, &tmv);
    struct tm u {};
    u.tm_year = tmv.tm_year;
    u.tm_mon = tmv.tm_mon;
    u.tm_mday = tmv.tm_mday;
    return static_cast<long>(timegm(&u) / 86400);
}

void AppendCrcPart(Bytes& out, const Bytes& data) {
    out.insert(out.end(), data.begin(), data.end());
    const uint16_t crc = kov::Crc16(kov::kCrc16CcittFalse, data.data(), data.size());
    out.push_back(static_cast<uint8_t>(crc & 0xFF));
    out.push_back(static_cast<uint8_t>(crc >> 8));
}

}  // namespace

Sample CVKT9MeterSim::SystemSample(long k, int sys) {
    // Quarter steps keep every value exact in a float.
    Sample s{};
    const double base = static_cast<double>(k % 100000);
    s.qo = 1000 + base * 0.25 + sys * 100;
    for (int i = 0; i < 3; ++i) {
        s.m[i] = 2000 + base * 0.5 + i * 10 + sys;
        s.v[i] = 3000 + base * 0.75 + i * 10 + sys;
    }
    s.t[0] = 70.25 + static_cast<double>(k % 10) + sys;
    s.t[1] = 40.5 + static_cast<double>(k % 7);
    s.p[0] = 0.5 + static_cast<double>(k % 5) * 0.01;
    s.p[1] = 0.25 + sys * 0.01;
    s.twMin = static_cast<uint32_t>((k % 1000) * 60 + 30);
    s.errMin = static_cast<uint32_t>((k % 3) * 60);
    s.err61 = (k % 4 == 1) ? 0x08u : (k % 4 == 2 ? 0x2000u : 0u);
    s.err62 = (k % 3 == 1) ? 0x0004 : 0;
    return s;
}

CommonSample CVKT9MeterSim::CommonValues(long k) {
    CommonSample c{};
    c.tsw = 5.5 + static_cast<double>(k % 4);
    c.err60 = (k % 5 == 3) ? 0x1000 : 0;
    c.err70 = (k % 6 == 2) ? 0x0400 : 0;
    c.err69 = static_cast<uint16_t>(k % 2);
    c.noPowerMin = static_cast<uint32_t>((k % 9) * 60);
    return c;
}

CVKT9MeterSim::CVKT9MeterSim(int fd, uint8_t address)
    : CSimModbusSlave(fd, address), now_([] { return time(nullptr); }) {
    UpdateSlaveId();
}

void CVKT9MeterSim::UpdateSlaveId() {
    // Model and version sit in data bytes 4 to 7 (bytes 7 to 10 of the reply).
    Bytes id = {0x00,
                0xFF,
                0x56,
                0x39,
                0x00,
                0x09,
                static_cast<uint8_t>(version_ >> 8),
                static_cast<uint8_t>(version_ & 0xFF),
                0x00,
                0x00};
    if (shortSlaveId_) id.resize(7);
    SetSlaveId(id);
}

CVKT9MeterSim::~CVKT9MeterSim() { Stop(); }

void CVKT9MeterSim::SetClock(std::function<time_t()> now) {
    std::lock_guard<std::mutex> g(knobs);
    now_ = std::move(now);
}
void CVKT9MeterSim::SetVersion(uint16_t version) {
    std::lock_guard<std::mutex> g(knobs);
    version_ = version;
    UpdateSlaveId();
}
void CVKT9MeterSim::SetQUnits(uint8_t gj) {
    std::lock_guard<std::mutex> g(knobs);
    qUnits_ = gj;
}
void CVKT9MeterSim::SetSerial(uint32_t serial) {
    std::lock_guard<std::mutex> g(knobs);
    serial_ = serial;
}
void CVKT9MeterSim::SetShortSlaveId(bool shortId) {
    std::lock_guard<std::mutex> g(knobs);
    shortSlaveId_ = shortId;
    UpdateSlaveId();
}
void CVKT9MeterSim::SetCurrentQo(int sys, uint32_t whole, float fraction) {
    std::lock_guard<std::mutex> g(knobs);
    qoSet_[sys] = true;
    qoWhole_[sys] = whole;
    qoFrac_[sys] = fraction;
}
void CVKT9MeterSim::SetDepth(int hours, int days) {
    std::lock_guard<std::mutex> g(knobs);
    depthHours_ = hours;
    depthDays_ = days;
}
void CVKT9MeterSim::AddMissingDay(time_t midnight) {
    std::lock_guard<std::mutex> g(knobs);
    missingDays_.insert(midnight);
}
void CVKT9MeterSim::AddMisnamedDay(time_t midnight) {
    std::lock_guard<std::mutex> g(knobs);
    misnamedDays_.insert(midnight);
}
void CVKT9MeterSim::AddBadPartCrc(int archType, time_t t) {
    std::lock_guard<std::mutex> g(knobs);
    badCrc_.insert({archType, t});
}
void CVKT9MeterSim::AddDeadPage(int archType, time_t t, int n) {
    std::lock_guard<std::mutex> g(knobs);
    deadPages_[{archType, t}] = n;
}
void CVKT9MeterSim::SetCurrentErrors(uint16_t e60, uint16_t e70, uint32_t e61, uint16_t e62) {
    std::lock_guard<std::mutex> g(knobs);
    errorsSet_ = true;
    e60_ = e60;
    e70_ = e70;
    e61_ = e61;
    e62_ = e62;
}

time_t CVKT9MeterSim::Now() const {
    std::function<time_t()> f;
    {
        std::lock_guard<std::mutex> g(knobs);
        f = now_;
    }
    return f();
}

time_t CVKT9MeterSim::LastHour() const { return Now() / 3600 * 3600 - 3600; }

time_t CVKT9MeterSim::LastDay() const { return LocalMidnight(LocalMidnight(Now()) - 43200); }

time_t CVKT9MeterSim::RecordTime(int archType, long k) {
    if (archType == kHourly) return static_cast<time_t>(k) * 3600;
    const time_t u = static_cast<time_t>(k) * 86400;
    struct tm d {};
    gmtime_r(&u, &d);
    return kov::MeterLocalTime(d.tm_year + 1900, d.tm_mon + 1, d.tm_mday, 0);
}

long CVKT9MeterSim::RecordIndex(int archType, time_t t) const {
    return archType == kHourly ? static_cast<long>(t / 3600) : LocalDayIndex(t);
}

bool CVKT9MeterSim::HasRecord(int archType, long k) const {
    const long last =
        archType == kHourly ? RecordIndex(kHourly, LastHour()) : RecordIndex(archType, LastDay());
    int depth;
    {
        std::lock_guard<std::mutex> g(knobs);
        depth = archType == kHourly ? depthHours_ : depthDays_;
    }
    depth = std::min(depth, kRingSize + 1);
    return k <= last && k > last - depth;
}

// ---------------------------------------------------------------- registers

void CVKT9MeterSim::HoldingImage(std::map<uint16_t, uint16_t>& regs) const {
    const time_t now = Now();
    struct tm tmv {};
    localtime_r(&now, &tmv);
    std::lock_guard<std::mutex> g(knobs);

    PutRegisters(regs, 0x0000,
                 {static_cast<uint8_t>(serial_ >> 24), static_cast<uint8_t>(serial_ >> 16),
                  static_cast<uint8_t>(serial_ >> 8), static_cast<uint8_t>(serial_)});
    // Clock: one value in the low byte of each register.
    const int clock[8] = {tmv.tm_year + 1900 - 2000,
                          tmv.tm_mon + 1,
                          tmv.tm_mday,
                          tmv.tm_hour,
                          tmv.tm_min,
                          tmv.tm_sec,
                          0,
                          0};
    for (int i = 0; i < 8; ++i)
        regs[static_cast<uint16_t>(0x0002 + i)] = static_cast<uint16_t>(clock[i]);

    // Subscriber identifier: each register carries its low byte first.
    const char id[17] = "OBJ-VKT9-SIM-001";
    for (int i = 0; i < 8; ++i)
        regs[static_cast<uint16_t>(0x000B + i)] = static_cast<uint16_t>(
            static_cast<uint8_t>(id[2 * i]) | (static_cast<uint8_t>(id[2 * i + 1]) << 8));

    Image units(42);
    units.b[1] = qUnits_;
    units.b[3] = 25;     // report day
    units.b[13] = 0x29;  // TS1 Qo 1, Qg 8; TS2 Qo 0x20, Qg 0
    units.b[15] = 1;     // winter
    PutRegisters(regs, 0x0146, units.b);

    PutRegisters(regs, 0x016B, {0, 3, 0, 7, 0, 0});
    PutRegisters(regs, 0x01A8, {0, 4, 0, 8, 0, 0});
    PutRegisters(regs, 0x01E9, {0, 0, 0, 1, 0, 0, 0, 0});
    PutRegisters(regs, 0x01ED, {0, 0, 0, 2, 0, 0, 0, 0});

    Image limits(72);
    for (int s = 0; s < 2; ++s) {
        limits.F32BE(32 * s + 0, 12.5f + s);   // M1max
        limits.F32BE(32 * s + 4, 11.25f + s);  // M2max
        limits.F32BE(32 * s + 12, 0.5f + s);   // M1min
        limits.F32BE(32 * s + 16, 0.25f + s);  // M2min
    }
    PutRegisters(regs, 0x008A, limits.b);
}

void CVKT9MeterSim::InputImage(std::map<uint16_t, uint16_t>& regs) const {
    const time_t now = Now();
    const long k = static_cast<long>(now / 3600);

    // Archive table: per archive ring size, oldest page (tail), next page (head).
    Image table(42);
    const int types[] = {kHourly, kDaily, -1, kIntegral};
    for (int i = 0; i < 4; ++i) {
        if (types[i] < 0) continue;
        const int type = types[i];
        const long last =
            type == kHourly ? RecordIndex(kHourly, LastHour()) : RecordIndex(type, LastDay());
        long first = last;
        while (HasRecord(type, first - 1)) --first;
        table.U16BE(6 * i + 0, kRingSize);
        table.U16BE(6 * i + 2, PageOf(first));
        table.U16BE(6 * i + 4, PageOf(last + 1));
    }
    PutRegisters(regs, 0x0007, table.b);

    std::lock_guard<std::mutex> g(knobs);
    const CommonSample c = CommonValues(k);
    Image common(154);
    common.U32BE(12, c.noPowerMin + 600);  // operating time, minutes
    common.U32BE(16, c.noPowerMin);
    common.U16BE(20, static_cast<uint16_t>(static_cast<int16_t>(std::lround(c.tsw * 100))));
    common.U16BE(22, 1234);  // P3, 0.1234 MPa
    common.U16BE(26, errorsSet_ ? e60_ : c.err60);
    common.U16BE(28, errorsSet_ ? e70_ : c.err70);
    common.U16BE(32, qUnits_);
    common.AccBE(66, 500.5);
    common.AccBE(74, 600.25);
    common.AccBE(82, 700.75);
    common.U16BE(126, c.err69);
    PutRegisters(regs, 0x0029, common.b);

    for (int sys = 0; sys < 2; ++sys) {
        const Sample s = SystemSample(k, sys);
        Image b(248);
        if (qoSet_[sys]) {
            b.U32BE(0, qoWhole_[sys]);
            b.F32BE(4, qoFrac_[sys]);
        } else {
            b.AccBE(0, s.qo);
        }
        for (int i = 0; i < 3; ++i) {
            b.AccBE(16 + 8 * i, s.m[i]);
            b.AccBE(72 + 8 * i, s.v[i]);
            b.F32BE(128 + 4 * i, static_cast<float>(1.5 + i + sys));   // mass flows
            b.F32BE(144 + 4 * i, static_cast<float>(2.25 + i + sys));  // volume flows
        }
        b.U32BE(156, s.twMin);
        b.U32BE(160, s.errMin);
        b.U32BE(168, 60);
        b.U32BE(172, 120);
        b.U32BE(176, 180);
        b.U32BE(188, errorsSet_ && sys == 0 ? e61_ : s.err61);
        b.U16BE(192, errorsSet_ && sys == 0 ? e62_ : s.err62);
        b.U16BE(194, static_cast<uint16_t>(static_cast<int16_t>(std::lround(s.t[0] * 100))));
        b.U16BE(196, static_cast<uint16_t>(static_cast<int16_t>(std::lround(s.t[1] * 100))));
        b.U16BE(206, static_cast<uint16_t>(std::lround(s.p[0] * 10000)));
        b.U16BE(208, static_cast<uint16_t>(std::lround(s.p[1] * 10000)));
        PutRegisters(regs, sys == 0 ? 0x0076 : 0x00F2, b.b);
    }
}

uint8_t CVKT9MeterSim::ReadRegisters(bool input, uint16_t first, uint16_t count,
                                     std::vector<uint16_t>& out) {
    std::map<uint16_t, uint16_t> regs;
    if (input)
        InputImage(regs);
    else
        HoldingImage(regs);
    for (uint16_t i = 0; i < count; ++i) {
        auto it = regs.find(static_cast<uint16_t>(first + i));
        if (it == regs.end()) return kIllegalAddress;
        out.push_back(it->second);
    }
    return 0;
}

// ---------------------------------------------------------------- archives

long CVKT9MeterSim::CustomRequestLength(const uint8_t* frame, size_t len) {
    if (len < 2) return kNeedMore;
    switch (frame[1]) {
        case 0x41:
            return 9;  // address, 0x41, type, mask, page (2), count, CRC
        case 0x42:
            return 8;  // address, 0x42, type, year, month, day, CRC
        default:
            return kUseGap;
    }
}

uint8_t CVKT9MeterSim::HandleCustom(const Bytes& pdu, Bytes& out) {
    if (pdu.empty()) return kIllegalFunction;
    if (pdu[0] == 0x42) return FindPage(pdu, out);
    if (pdu[0] == 0x41) return ReadPage(pdu, out);
    return kIllegalFunction;
}

uint8_t CVKT9MeterSim::FindPage(const Bytes& pdu, Bytes& out) {
    if (pdu.size() != 5) return kIllegalValue;
    const int type = pdu[1];
    if (type != kHourly && type != kDaily && type != kIntegral) return kIllegalValue;
    time_t midnight = kov::MeterLocalTime(pdu[2] + 2000, pdu[3], pdu[4], 0);
    bool misnamed;
    {
        std::lock_guard<std::mutex> g(knobs);
        if (type == kHourly && missingDays_.count(midnight)) return kNoData;
        misnamed = misnamedDays_.count(midnight) > 0;
    }
    if (misnamed) midnight = LocalMidnight(midnight + 36 * 3600);

    long k = -1;
    if (type == kHourly) {
        for (long h = RecordIndex(kHourly, midnight); RecordTime(kHourly, h) < midnight + 86400;
             ++h) {
            if (HasRecord(kHourly, h)) {
                k = h;
                break;
            }
        }
    } else if (HasRecord(type, RecordIndex(type, midnight))) {
        k = RecordIndex(type, midnight);
    }
    if (k < 0) return kNoData;

    struct tm shown {};
    localtime_r(&midnight, &shown);
    const uint16_t page = PageOf(k);
    out = {0x42,
           static_cast<uint8_t>(type),
           static_cast<uint8_t>(shown.tm_year + 1900 - 2000),
           static_cast<uint8_t>(shown.tm_mon + 1),
           static_cast<uint8_t>(shown.tm_mday),
           static_cast<uint8_t>(page & 0xFF),
           static_cast<uint8_t>(page >> 8)};
    return 0;
}

uint8_t CVKT9MeterSim::ReadPage(const Bytes& pdu, Bytes& out) {
    if (pdu.size() != 6) return kIllegalValue;
    const int type = pdu[1];
    if (type != kHourly && type != kDaily && type != kIntegral) return kIllegalValue;
    const uint8_t mask = pdu[2] & 0x38;
    const uint16_t page = static_cast<uint16_t>(pdu[3] | (pdu[4] << 8));
    if (page > kRingSize) return kIllegalValue;
    const long last =
        type == kHourly ? RecordIndex(kHourly, LastHour()) : RecordIndex(type, LastDay());
    // The newest record that sits on this page of the ring.
    const long k = last - ((last - page) % (kRingSize + 1) + (kRingSize + 1)) % (kRingSize + 1);
    if (!HasRecord(type, k)) return kNoData;
    {
        std::lock_guard<std::mutex> g(knobs);
        auto dead = deadPages_.find({type, RecordTime(type, k)});
        if (dead != deadPages_.end() && dead->second != 0) {
            if (dead->second > 0) --dead->second;
            InjectNext(kov::sim::FaultKind::Silence);
        }
    }
    const uint16_t next = PageOf(k + 1);
    out = {0x41,
           static_cast<uint8_t>(type),
           mask,
           static_cast<uint8_t>(next & 0xFF),
           static_cast<uint8_t>(next >> 8),
           static_cast<uint8_t>(pdu[5] ? 1 : 0)};
    if (pdu[5] == 0) {
        out[2] = 0;
        return 0;
    }
    AppendPage(type, k, mask, out);
    return 0;
}

void CVKT9MeterSim::AppendPage(int type, long k, uint8_t mask, Bytes& out) const {
    const time_t t = RecordTime(type, k);
    struct tm d {};
    localtime_r(&t, &d);
    std::lock_guard<std::mutex> g(knobs);
    const bool v10 = version_ == 0x0100;
    const CommonSample c = CommonValues(k);
    if (mask & 0x08) {
        Image p(42);
        p.b[0] = static_cast<uint8_t>(d.tm_year + 1900 - 2000);
        p.b[1] = static_cast<uint8_t>(d.tm_mon + 1);
        p.b[2] = static_cast<uint8_t>(d.tm_mday);
        p.b[3] = static_cast<uint8_t>(type == kHourly ? d.tm_hour : 0);
        if (type == kIntegral) {
            p.U32LE(12, c.noPowerMin);
        } else {
            p.U16LE(8, static_cast<uint16_t>(static_cast<int16_t>(std::lround(c.tsw * 100))));
            p.U16LE(10, 2500);  // P3, 2.5 kgf/cm2
            p.U16LE(16, static_cast<uint16_t>(c.noPowerMin));
            p.U16LE(18, c.err60);
            p.U16LE(20, c.err70);
            p.U16LE(40, c.err69);
        }
        AppendCrcPart(out, p.b);
    }
    for (int sys = 0; sys < 2; ++sys) {
        if (!(mask & (sys == 0 ? 0x10 : 0x20))) continue;
        const Sample s = SystemSample(k, sys);
        Image p(104);
        p.F32LE(0, static_cast<float>(s.qo));
        for (int i = 0; i < 3; ++i) {
            p.F32LE(8 + 4 * i, static_cast<float>(s.m[i]));
            p.F32LE(36 + 4 * i, static_cast<float>(s.v[i]));
        }
        if (type == kIntegral) {
            p.U32LE(60, s.twMin);
            p.U32LE(64, s.errMin);
            p.U32LE(72, 60);
            p.U32LE(76, 120);
            p.U32LE(80, 180);
            p.b[92] = static_cast<uint8_t>(sys + 1);
            p.b[93] = qUnits_;
        } else {
            p.U16LE(60, static_cast<uint16_t>(static_cast<int16_t>(std::lround(s.t[0] * 100))));
            p.U16LE(62, static_cast<uint16_t>(static_cast<int16_t>(std::lround(s.t[1] * 100))));
            const size_t pAt = v10 ? 78 : 72;
            p.U16LE(pAt, static_cast<uint16_t>(std::lround(s.p[0] * 10000)));
            p.U16LE(pAt + 2, static_cast<uint16_t>(std::lround(s.p[1] * 10000)));
            if (v10) {
                p.U16LE(84, static_cast<uint16_t>(s.twMin));
                p.U16LE(86, static_cast<uint16_t>(s.errMin));
                p.U32LE(88, s.err61);
                p.U16LE(92, s.err62);
                p.b[94] = static_cast<uint8_t>(sys + 1);
                // Firmware 1.0 pages carry no Q-units byte; 101 stays 0.
            } else {
                p.U16LE(78, static_cast<uint16_t>(s.twMin));
                p.U16LE(80, static_cast<uint16_t>(s.errMin));
                p.U16LE(84, 60);
                p.U16LE(86, 120);
                p.U16LE(88, 180);
                p.U32LE(94, s.err61);
                p.U16LE(98, s.err62);
                p.b[100] = static_cast<uint8_t>(sys + 1);
                p.b[101] = qUnits_;
            }
        }
        const size_t at = out.size();
        AppendCrcPart(out, p.b);
        if (sys == 0 && badCrc_.count({type, t})) out[at + 104] ^= 0xFF;
    }
}

}  // namespace vkt9

KOV_SIM_METER("vkt-9", "Teplocom VKT-9 heat computer (Modbus RTU with archive pages)",
              [](const kov::sim::SimMeterOptions& o) {
                  auto m =
                      std::make_unique<vkt9::CVKT9MeterSim>(o.fd, static_cast<uint8_t>(o.address));
                  if (o.archiveDays > 0) m->SetDepth(o.archiveDays * 24, o.archiveDays);
                  return std::unique_ptr<kov::sim::CSimMeter>(std::move(m));
              })

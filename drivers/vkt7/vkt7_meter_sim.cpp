#include "drivers/vkt7/vkt7_meter_sim.h"

#include <algorithm>
#include <cstring>

#include "drivers/common/byte_order.h"
#include "drivers/common/crc16.h"
#include "drivers/common/meter_time.h"

namespace kov::sim {

namespace {

constexpr uint8_t kInit1[] = {0xCC, 0x80, 0x00, 0x00, 0x00};

void AppendCrc(Bytes& b, size_t from) {
    const uint16_t crc = Crc16Modbus(b.data() + from, b.size() - from);
    b.push_back(static_cast<uint8_t>(crc));
    b.push_back(static_cast<uint8_t>(crc >> 8));
}

void PutDate(Bytes& out, time_t t, bool withHour) {
    struct tm d = LocalParts(t);
    out.push_back(static_cast<uint8_t>(d.tm_mday));
    out.push_back(static_cast<uint8_t>(d.tm_mon + 1));
    out.push_back(static_cast<uint8_t>(d.tm_year - 100));
    out.push_back(static_cast<uint8_t>(withHour ? d.tm_hour : 0));
}

}  // namespace

CVKT7MeterSim::CVKT7MeterSim(int fd)
    : CSimMeter(fd), clock_([] { return time(nullptr); }), active_(DefaultActiveList()) {
    wanted_ = active_;
}

CVKT7MeterSim::~CVKT7MeterSim() { Stop(); }

const std::vector<CVKT7MeterSim::Entry>& CVKT7MeterSim::DefaultActiveList() {
    // TV1: T1 T2 T3 V1 V2 M1 M2 P1 P2 Qo BNR BOS G1 G2; TV2: T1 T2 V1 M1 G1;
    // and the TV1 emergency flag.
    static const std::vector<Entry> list = {
        {0, 2},  {1, 2},  {2, 2},  {3, 4},  {4, 4},  {6, 4},  {7, 4},  {9, 1},  {10, 1}, {12, 4},
        {17, 4}, {18, 4}, {19, 4}, {20, 4}, {22, 2}, {23, 2}, {25, 4}, {28, 4}, {41, 4}, {77, 1},
    };
    return list;
}

uint32_t CVKT7MeterSim::Raw(uint8_t type, uint8_t kind, time_t t, uint16_t size) {
    if (IsFlowType(type)) return FloatToBits(Flow(type, kind, t));
    uint32_t v = static_cast<uint32_t>((t / 3600) % 10007) * 3u + type * 101u + kind * 7u;
    if (size < 4) v &= (1u << (8 * size)) - 1u;
    return v;
}

float CVKT7MeterSim::Flow(uint8_t type, uint8_t kind, time_t t) {
    return static_cast<float>((t / 3600) % 200 + type + kind) / 8.0f;
}

std::string CVKT7MeterSim::UnitText(int unitType) {
    static const char* texts[] = {"GJ",  "m3/h", "m3",  "t",   "MPa",  "C",  "h",
                                  "kPa", "Gcal", "kWh", "MWh", "hour", "min"};
    if (unitType < 44 || unitType > 56) return "";
    return texts[unitType - 44];
}

uint8_t CVKT7MeterSim::Digits(int digitsType) { return static_cast<uint8_t>((digitsType * 3) % 4); }

time_t CVKT7MeterSim::LocalDate(int day, int month, int year2000, int hour, int minute,
                                int second) {
    return MeterLocalTime(2000 + year2000, month, day, hour, minute, second);
}

void CVKT7MeterSim::SetClock(std::function<time_t()> clock) {
    std::lock_guard<std::mutex> l(lock_);
    clock_ = std::move(clock);
}
void CVKT7MeterSim::SetFixedTime(time_t t) {
    SetClock([t] { return t; });
}
void CVKT7MeterSim::SetArchiveDepth(int hours, int days) {
    std::lock_guard<std::mutex> l(lock_);
    depthHours_ = hours;
    depthDays_ = days;
}
void CVKT7MeterSim::SetPropertyFormat(int format) {
    std::lock_guard<std::mutex> l(lock_);
    propertyFormat_ = format;
}
void CVKT7MeterSim::SetSystemData(uint8_t version, uint8_t scheme, uint8_t reportingDay,
                                  bool oldForm) {
    std::lock_guard<std::mutex> l(lock_);
    version_ = version;
    scheme_ = scheme;
    reportingDay_ = reportingDay;
    oldSystemData_ = oldForm;
}
void CVKT7MeterSim::SetBoundsWithDaily(bool withDaily) {
    std::lock_guard<std::mutex> l(lock_);
    boundsWithDaily_ = withDaily;
}
void CVKT7MeterSim::SetActiveList(const std::vector<Entry>& list) {
    std::lock_guard<std::mutex> l(lock_);
    active_ = list;
}
void CVKT7MeterSim::SetStatus(uint8_t type, uint8_t status) {
    std::lock_guard<std::mutex> l(lock_);
    status_[type] = status;
}
void CVKT7MeterSim::SetError(uint8_t type, uint8_t error) {
    std::lock_guard<std::mutex> l(lock_);
    error_[type] = error;
}
void CVKT7MeterSim::ChangeMaskOnce(const std::vector<Entry>& newList, bool errorCode) {
    std::lock_guard<std::mutex> l(lock_);
    pendingList_ = newList;
    maskChange_ = errorCode ? 2 : 1;
}
void CVKT7MeterSim::SetFlashBroken(bool broken) {
    std::lock_guard<std::mutex> l(lock_);
    flashBroken_ = broken;
}
std::vector<std::pair<uint8_t, time_t>> CVKT7MeterSim::DatesAsked() {
    std::lock_guard<std::mutex> l(lock_);
    return asked_;
}

time_t CVKT7MeterSim::MeterNow() { return clock_(); }
time_t CVKT7MeterSim::NewestHour() {
    const time_t now = MeterNow();
    return now - now % 3600 - 3600;
}
time_t CVKT7MeterSim::NewestDay() {
    struct tm d = LocalParts(MeterNow());
    return LocalDate(d.tm_mday, d.tm_mon + 1, d.tm_year - 100, 0) - 86400;
}
time_t CVKT7MeterSim::HourlyLower() {
    return NewestHour() - static_cast<time_t>(depthHours_) * 3600;
}
time_t CVKT7MeterSim::DailyLower() { return NewestDay() - static_cast<time_t>(depthDays_) * 86400; }

bool CVKT7MeterSim::ArchiveHas(uint8_t kind, time_t t) {
    if (kind == kHourly) return t >= HourlyLower() && t <= NewestHour();
    if (kind == kDaily || kind == kMonthly) {
        struct tm d = LocalParts(t);
        return d.tm_hour == 0 && t >= DailyLower() && t <= NewestDay();
    }
    return false;
}

long CVKT7MeterSim::RequestLength(const uint8_t* data, size_t len) {
    if (data[0] != 0xFF || (len >= 2 && data[1] != 0xFF)) return kSkipByte;
    if (len < 4) return kNeedMore;
    if (data[3] == 0x03) return 10;
    if (data[3] != 0x10) return kUseGap;
    if (len < 9) return kNeedMore;
    // The dialogue start carries 0xCC where a byte count would be; its CRC tells it apart.
    if (data[8] == 0xCC && data[4] == 0x3F && data[5] == 0xFF) {
        if (len < 15) return kNeedMore;
        if (std::memcmp(data + 8, kInit1, sizeof kInit1) == 0 &&
            Crc16Modbus(data + 2, 11) == static_cast<uint16_t>(data[13] | (data[14] << 8)))
            return 15;
    }
    return 9 + data[8] + 2;
}

void CVKT7MeterSim::Reseal(Bytes& reply) {
    if (reply.size() < 2) return;
    reply.resize(reply.size() - 2);
    AppendCrc(reply, 0);
}

void CVKT7MeterSim::MakeErrorAnswer(Bytes& reply) {
    if (reply.size() < 2) return;
    // 3 (no record) and 5 (activity mask changed) have meanings of their own.
    reply = {reply[0], static_cast<uint8_t>(reply[1] | 0x80), 0x04, 0x00};
    AppendCrc(reply, 0);
}

bool CVKT7MeterSim::Handle(const Bytes& request, Bytes& reply) {
    const size_t n = request.size();
    if (n < 10 || request[0] != 0xFF || request[1] != 0xFF) return false;
    if (Crc16Modbus(request.data() + 2, n - 4) !=
        static_cast<uint16_t>(request[n - 2] | (request[n - 1] << 8)))
        return false;
    if (request[2] != 0x00) return false;
    const uint16_t reg = static_cast<uint16_t>((request[4] << 8) | request[5]);
    const uint8_t function = request[3];
    uint8_t errorCode = 0;
    std::lock_guard<std::mutex> l(lock_);
    reply.clear();
    if (function == 0x03) {
        Bytes data;
        Read(reg, data, errorCode);
        if (!errorCode) {
            reply = {0x00, 0x03, static_cast<uint8_t>(data.size())};
            reply.insert(reply.end(), data.begin(), data.end());
        }
    } else if (function == 0x10) {
        if (n == 15 && std::memcmp(request.data() + 8, kInit1, sizeof kInit1) == 0 &&
            reg == 0x3FFF) {
            dialogue_ = true;
        } else {
            Bytes data(request.begin() + 9, request.end() - 2);
            if (data.size() != request[8]) return false;
            Write(reg, data, errorCode);
        }
        if (!errorCode) reply = {0x00, 0x10, request[4], request[5], request[6], request[7]};
    } else {
        return false;
    }
    if (errorCode) reply = {0x00, static_cast<uint8_t>(function | 0x80), errorCode, 0x00};
    AppendCrc(reply, 0);
    return true;
}

void CVKT7MeterSim::Write(uint16_t reg, const Bytes& data, uint8_t& errorCode) {
    dialogue_ = false;
    switch (reg) {
        case 0x3FFF:
            wanted_.clear();
            for (size_t p = 0; p + 6 <= data.size(); p += 6)
                wanted_.emplace_back(data[p],
                                     static_cast<uint16_t>(data[p + 4] | (data[p + 5] << 8)));
            break;
        case 0x3FFD:
            if (data.size() != 2) {
                errorCode = 3;
                break;
            }
            kind_ = data[0];
            dateSet_ = false;
            break;
        case 0x3FFB: {
            if (data.size() != 4) {
                errorCode = 3;
                break;
            }
            const time_t t = LocalDate(data[0], data[1], data[2], data[3]);
            asked_.emplace_back(kind_, t);
            if (!ArchiveHas(kind_, t)) {
                errorCode = 3;
                dateSet_ = false;
                break;
            }
            date_ = t;
            dateSet_ = true;
            break;
        }
        case 0x3FF7:
            if (data.size() != 2) {
                errorCode = 3;
                break;
            }
            flashPos_ = static_cast<uint16_t>(data[0] | (data[1] << 8));
            break;
        default:
            errorCode = 2;
    }
}

void CVKT7MeterSim::ValueBlock(uint8_t kind, time_t t, Bytes& out) {
    bool first = true;
    for (const auto& [type, size] : wanted_) {
        uint8_t value[8] = {};
        if (type < 44) {
            PutU32LE(value, Raw(type, kind, t, size));
        } else if (type == 77 || type == 78) {
            value[0] = ((t / 3600 + type) % 2) ? 0x2A : 0x00;
        }
        for (uint16_t i = 0; i < size; ++i) out.push_back(i < 8 ? value[i] : 0);
        auto st = status_.find(type);
        auto er = error_.find(type);
        out.push_back(st == status_.end() ? 192 : st->second);
        uint8_t error = er == error_.end() ? 0 : er->second;
        if (first && maskChange_ == 1 && kind != kCurrent && kind != kIntegral) error = 5;
        out.push_back(error);
        first = false;
    }
}

void CVKT7MeterSim::Read(uint16_t reg, Bytes& data, uint8_t& errorCode) {
    switch (reg) {
        case 0x3FFE:
            if (dialogue_) {
                dialogue_ = false;
                data.assign(64, 0);
                data[61] = static_cast<uint8_t>(propertyFormat_);
            } else if (kind_ == kProperties) {
                for (const auto& [type, size] : wanted_) {
                    if (type >= 44 && type <= 56) {
                        std::string text = UnitText(type);
                        if (propertyFormat_ == 1) {
                            data.push_back(static_cast<uint8_t>(text.size()));
                            data.push_back(0);
                            data.insert(data.end(), text.begin(), text.end());
                        } else {
                            text.resize(7, '\0');
                            data.insert(data.end(), text.begin(), text.end());
                        }
                    } else {
                        data.push_back(Digits(type));
                        for (uint16_t i = 1; i < size; ++i) data.push_back(0);
                    }
                    data.push_back(192);
                    data.push_back(0);
                }
            } else if (kind_ == kCurrent || kind_ == kIntegral) {
                ValueBlock(kind_, MeterNow(), data);
            } else if (!dateSet_) {
                errorCode = 3;
            } else if (maskChange_ == 2) {
                errorCode = 5;
                maskChange_ = 3;
                active_ = pendingList_;
            } else {
                ValueBlock(kind_, date_, data);
                if (maskChange_ == 1) {
                    maskChange_ = 3;
                    active_ = pendingList_;
                }
            }
            break;
        case 0x3FFC:
            for (const auto& [type, size] : active_) {
                data.insert(data.end(), {type, 0x00, 0x00, 0x40, static_cast<uint8_t>(size),
                                         static_cast<uint8_t>(size >> 8)});
            }
            if (maskChange_ == 3) maskChange_ = 0;
            break;
        case 0x3FFB: {
            struct tm d = LocalParts(MeterNow());
            data = {static_cast<uint8_t>(d.tm_mday),       static_cast<uint8_t>(d.tm_mon + 1),
                    static_cast<uint8_t>(d.tm_year - 100), static_cast<uint8_t>(d.tm_hour),
                    static_cast<uint8_t>(d.tm_min),        static_cast<uint8_t>(d.tm_sec)};
            break;
        }
        case 0x3FF9:
            if (oldSystemData_) {
                data = {reportingDay_, 0x00, 0x00};
            } else {
                data.assign(16, 0);
                for (int i = 3; i < 14; ++i) data[i] = static_cast<uint8_t>(0x10 + i);
                data[0] = version_;
                PutU16LE(&data[1], static_cast<uint16_t>((scheme_ & 0x0F) << 9 | 0x0105));
                data[14] = reportingDay_;
                data[15] = 0x5A;
            }
            break;
        case 0x3FF8: {
            if (flashBroken_ || flashPos_ < 0x0528 || flashPos_ > 0x052A) {
                errorCode = 2;
                break;
            }
            data.assign(128, 0);
            for (int i = 0; i < 128; ++i)
                data[i] = static_cast<uint8_t>((flashPos_ * 7 + i * 13) & 0xFF);
            auto at = [&data](int offset) { return &data[offset - 3]; };
            if (flashPos_ == 0x0528) {
                PutU16LE(at(21), kDiameterRaw);
                *at(25) = 0;
                PutFloatLE(at(67), kLimitTV1[0]);
                PutFloatLE(at(71), kLimitTV1[1]);
                PutFloatLE(at(111), kLimitTV1[2]);
                PutFloatLE(at(115), kLimitTV1[3]);
            } else if (flashPos_ == 0x0529) {
                PutFloatLE(at(81), kLimitTV2[0]);
                PutFloatLE(at(85), kLimitTV2[1]);
                PutFloatLE(at(125), kLimitTV2[2]);
                uint8_t f[4];
                PutFloatLE(f, kLimitTV2[3]);
                *at(129) = f[0];
                *at(130) = f[1];
            } else {
                uint8_t f[4];
                PutFloatLE(f, kLimitTV2[3]);
                *at(3) = f[2];
                *at(4) = f[3];
            }
            break;
        }
        case 0x3FF6:
            PutDate(data, HourlyLower(), true);
            PutDate(data, MeterNow(), true);
            if (boundsWithDaily_) PutDate(data, DailyLower(), false);
            break;
        default:
            errorCode = 2;
    }
}

}  // namespace kov::sim

#include "drivers/vkt9/vkt9_driver.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "drivers/base/clock.h"
#include "drivers/common/crc16.h"
#include "drivers/common/fuzz_switch.h"
#include "drivers/common/link_exceptions.h"
#include "drivers/common/meter_time.h"
#include "drivers/common/value_text.h"
#include "drivers/vkt9/vkt9_tables.h"
#include "log/logger.h"

namespace {

using kov::RawParam;

constexpr int kGood = 192;

// Meter error bits onto the common error-bit word, per error code.
struct ErrBit {
    int32_t code;
    uint32_t raw;
    uint32_t common;
};
constexpr ErrBit kErrMap[] = {
    {60, 0x1000, 0x8000},         {70, 0x400, 0x800},  {62, 0x8000, 0x4000},    {62, 0x200, 0x400},
    {62, 0x2 | 0x4 | 0x8, 0x200}, {61, 0x08, 0x4},     {61, 0x10, 0x40000},     {61, 0x40, 0x2},
    {61, 0x80, 0x20000},          {61, 0x200, 0x2},    {61, 0x400, 0x20000},    {61, 0x1000, 0x8},
    {61, 0x2000, 0x80000},        {61, 0x40000, 0x40}, {61, 0x80000, 0x100000},
};

bool IsErrorCode(int32_t code) {
    return code == 60 || code == 61 || code == 62 || code == 69 || code == 70;
}

bool IsSkipCode(int32_t code) { return (code >= 0 && code <= 3) || code == 78 || code == 79; }

// Operating-time counters come in minutes.
bool IsMinutes(int32_t dim) {
    return dim == 23 || dim == 27 || dim == 28 || dim == 29 || dim == 32 || dim == 33 || dim == 34;
}

std::string HexBytes(const uint8_t* p, int n) {
    std::string s;
    char b[8];
    for (int i = 0; i < n; ++i) {
        snprintf(b, sizeof b, "0x%02X ", p[i]);
        s += b;
    }
    return s;
}

std::span<const RawParam> RegisterTable(int sys) {
    switch (sys) {
        case vkt9::COMMON:
            return vkt9::kCurCommon;
        case vkt9::TS1:
            return vkt9::kCurSystem<vkt9::TS1>;
        case vkt9::TS2:
            return vkt9::kCurSystem<vkt9::TS2>;
        default:
            return {};
    }
}

std::span<const RawParam> PageTable(int archType, int sys, bool v10) {
    if (archType == 0 || archType == 1 || archType == 2) {
        switch (sys) {
            case vkt9::COMMON:
                return vkt9::kArchCommon;
            case vkt9::TS1:
                return v10 ? std::span<const RawParam>(vkt9::kArchSystemV10<vkt9::TS1>)
                           : std::span<const RawParam>(vkt9::kArchSystem<vkt9::TS1>);
            case vkt9::TS2:
                return v10 ? std::span<const RawParam>(vkt9::kArchSystemV10<vkt9::TS2>)
                           : std::span<const RawParam>(vkt9::kArchSystem<vkt9::TS2>);
            default:
                return {};
        }
    }
    if (archType == 3 || archType == 6) {
        switch (sys) {
            case vkt9::COMMON:
                return vkt9::kIntCommon;
            case vkt9::TS1:
                return vkt9::kIntSystem<vkt9::TS1>;
            case vkt9::TS2:
                return vkt9::kIntSystem<vkt9::TS2>;
            default:
                return {};
        }
    }
    return {};
}

[[noreturn]] void DecoderFault(const char* caption) {
    vkt9::JournalBoundFault(caption);
    throw CDisconnectException();
}

const char* kCompany = "ООО \"Теплоком\"";

}  // namespace

Ckov_VKT9::Ckov_VKT9() = default;

Ckov_VKT9::~Ckov_VKT9() {
    // The polling thread uses the link; it must be gone first.
    Stop();
}

const std::string& Ckov_VKT9::UnitText(int dim) const {
    static const std::string kNone;
    auto it = units.find(dim);
    return it == units.end() ? kNone : it->second;
}

void Ckov_VKT9::SaveConnector(CConnector* connector) {
    link = std::make_unique<CVKT9LowLevelConnector>(connector, ledIndication);
    link->SetNetAddr(0);
    auto it = params.find("serial");
    if (it != params.end()) link->SetNetAddr(static_cast<uint8_t>(atoi(it->second.c_str())));
    klog::info("Ckov_ESKO::SaveConnector: net_addr = %d\r\n", link->NetAddr());
}

CVKT9Buffer Ckov_VKT9::ReadRegisters(uint8_t function, uint16_t first, uint16_t count,
                                     const char* caption) {
    const uint8_t req[5] = {function, static_cast<uint8_t>(first >> 8), static_cast<uint8_t>(first),
                            static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)};
    return link->SendString(req, sizeof req, caption, false);
}

CVKT9Buffer Ckov_VKT9::ReadPage(int archType, uint8_t mask, uint16_t page, uint8_t count,
                                const char* caption) {
    const uint8_t req[6] = {0x41,
                            static_cast<uint8_t>(archType),
                            mask,
                            static_cast<uint8_t>(page & 0xFF),
                            static_cast<uint8_t>(page >> 8),
                            count};
    return link->SendString(req, sizeof req, caption, true);
}

// ----------------------------------------------------------- identification

bool Ckov_VKT9::BuildUnitMap() {
    units.clear();
    const bool gjUnits = qUnits != 0;
    for (int d = 7; d <= 48; ++d) {
        const char* u = " ";
        switch (d) {
            case 7:
            case 8:
            case 42:
                u = gjUnits ? "ГДж" : "Гкал";
                break;
            case 9:
                u = gjUnits ? "ГДж/ч" : "Гкал/ч";
                break;
            case 11:
                u = "т3";
                break;
            case 13:
                u = "м3";
                break;
            case 14:
            case 16:
            case 18:
                u = "м3ч";
                break;
            case 15:
            case 17:
                u = "т3ч";
                break;
            case 19:
                u = "МПа";
                break;
            case 20:
                u = "кгс/см2";
                break;
            case 21:
            case 22:
            case 24:
            case 25:
                u = "C";
                break;
            case 23:
            case 27:
            case 28:
            case 29:
            case 32:
            case 33:
            case 34:
                u = "ч";
                break;
            default:
                break;
        }
        units[d] = u;
    }
    return true;
}

bool Ckov_VKT9::init() {
    model = 0;
    modelText.clear();
    version = 0;
    versionText.clear();
    hasTS2 = false;
    try {
        CVKT9Buffer r = ReadRegisters(0x03, 0x0000, 2, "GetSerialNumber");
        if (r.Length() >= 3 && r[2] > 3) serialNumber = r.U32BE(3);

        klog::debug("Init:read slave ID\r");
        const uint8_t req[1] = {0x11};
        r = link->SendString(req, sizeof req, "GetSystemData", false);
        if (r.Length() > 0) {
            klog::debug("Init:read slave ID:ret size %d: %s\r\n", r.Length(),
                        HexBytes(r.Data(), r.Length()).c_str());
        }
        if (r.Length() >= 3 && r[2] > 7) {
            model = static_cast<uint16_t>(r[7] * 256 + r[8]);
            modelText = std::to_string(r[7]) + "." + std::to_string(r[8]);
            version = static_cast<uint16_t>(r[9] * 256 + r[10]);
            versionText = std::to_string(r[9]) + "." + std::to_string(r[10]);
            hasTS2 = true;
            klog::info("Init:read slave ID: model %s(%u), has TS2 %d, ver %s\r\n",
                       modelText.c_str(), model, hasTS2 ? 1 : 0, versionText.c_str());
        }
    } catch (const CWrongPacketException&) {
        klog::err("Init: exception\r\n");
        throw CDisconnectException();
    }
    return BuildUnitMap();
}

time_t Ckov_VKT9::GetCurrentTimestamp() {
    CVKT9Buffer r = ReadRegisters(0x03, 0x0002, 8, "GetCurrentTimestamp");
    if (r.Length() >= 3 && r[2] > 11) {
        const int y = r[4] + 2000, mo = r[6], d = r[8], h = r[10], mi = r[12], s = r[14];
        klog::debug("current time heat meter - %02d.%02d.%04d %02d:%02d:%02d\r\n", d, mo, y, h, mi,
                    s);
        return kov::MeterLocalTime(y, mo, d, h, mi, s);
    }
    return kov::Now();
}

void Ckov_VKT9::GetSystemData() {
    // Data byte n of a register reply sits at index 3 + n.
    CVKT9Buffer r = ReadRegisters(0x03, 0x0000, 2, "GetSerialNumber");
    if (r.Length() >= 3 && r[2] > 3) serialNumber = r.U32BE(3);

    r = ReadRegisters(0x03, 0x000B, 8, "GetObjectID");
    if (r.Length() >= 3 && r[2] > 15) {
        std::string id;
        for (int i = 0; i < 8; ++i) {
            id += static_cast<char>(r[3 + 2 * i + 1]);
            id += static_cast<char>(r[3 + 2 * i]);
        }
        objectId = id.substr(0, id.find('\0'));
    }

    r = ReadRegisters(0x03, 0x0146, 21, "GetQUnits");
    if (r.Length() >= 3 && r[2] > 41) {
        qUnits = r[3 + 1];
        reportDay = r[3 + 3];
        const uint8_t dir = r[3 + 13];
        // Masked, not shifted: the codes below compare the fields as they are.
        dirQo[0] = dir & 0x03;
        dirQg[0] = dir & 0x0C;
        dirQo[1] = dir & 0x30;
        dirQg[1] = dir & 0xC0;
        season = r[3 + 15];
        qUnitsText = qUnits ? "ГДж" : "Гкал";
    }

    r = ReadRegisters(0x03, 0x016B, 3, "GetTS1Scheme");
    if (r.Length() >= 3 && r[2] > 5) {
        schemeWinter[0] = r[3 + 1];
        schemeSummer[0] = r[3 + 3];
    }
    r = ReadRegisters(0x03, 0x01A8, 3, "GetTS2Scheme");
    if (r.Length() >= 3 && r[2] > 5) {
        schemeWinter[1] = r[3 + 1];
        schemeSummer[1] = r[3 + 3];
    }
    r = ReadRegisters(0x03, 0x01E9, 4, "GetNetAddr1");
    if (r.Length() >= 3 && r[2] > 7) portAddr[0] = r[3 + 3];
    r = ReadRegisters(0x03, 0x01ED, 4, "GetNetAddr2");
    if (r.Length() >= 3 && r[2] > 7) portAddr[1] = r[3 + 3];

    r = ReadRegisters(0x03, 0x008A, 36, "s_GetGLimits");
    const int len = r.Length() >= 3 ? r[2] : 0;
    if (len < 72) {
        klog::err("GetSystemData: GetGLimits returned Not Enough Data len %d, need 72 !!!\r", len);
        return;
    }
    for (int s = 0; s < 2; ++s) {
        const int base = 3 + 32 * s;
        m1max[s] = r.FloatBE(base + 0);
        m2max[s] = r.FloatBE(base + 4);
        m1min[s] = r.FloatBE(base + 12);
        m2min[s] = r.FloatBE(base + 16);
    }
}

ValueList Ckov_VKT9::get_all_system_values() {
    GetSystemData();
    ValueList out;
    const int now = static_cast<int>(kov::Now());
    auto add = [&](int index, int kind, const std::string& value, uint8_t sys) {
        out.emplace_back(index, kind, value, "", kGood, 0, sys, now);
    };
    for (uint8_t s = 0; s < 2; ++s) {
        add(31, 7, kCompany, s);
        add(32, 7, "ВКТ-9", s);
        add(33, 7, versionText, s);
        add(34, 7, std::to_string(serialNumber), s);
    }
    for (uint8_t s = 0; s < 2; ++s) {
        const char* qoText = dirQo[s] == 0 ? "(+0)" : dirQo[s] == 1 ? "(+Qo)" : "(-Qo)";
        const char* qgText = dirQg[s] == 0 ? "(+0)" : dirQo[s] == 1 ? "(+Qg)" : "(-Qg)";
        add(30, 7, qoText, s);
        add(30, 7, qgText, s);
    }
    for (uint8_t s = 0; s < 2; ++s)
        add(38, 7, std::to_string(schemeWinter[s]) + "\n" + std::to_string(schemeSummer[s]), s);
    for (uint8_t s = 0; s < 2; ++s) add(30, 7, season ? "Зима" : "Лето", s);
    for (uint8_t s = 0; s < 2; ++s) {
        add(51, 9, kov::FormatGeneral(m1max[s], 12), s);
        add(53, 9, kov::FormatGeneral(m1min[s], 12), s);
    }
    for (uint8_t s = 0; s < 2; ++s) {
        add(52, 9, kov::FormatGeneral(m2max[s], 12), s);
        add(54, 9, kov::FormatGeneral(m2min[s], 12), s);
    }
    return out;
}

// ---------------------------------------------------------------- decoding

void Ckov_VKT9::ResetAccumulators() {
    for (int s = 0; s < 2; ++s) {
        qo[s] = 0;
        qoKind[s] = 1;
        qoSeen[s] = false;
        gj[s] = 0;
        errWord[s] = 0;
    }
}

std::string Ckov_VKT9::ParseToString(const CVKT9Buffer& block, int off, const RawParam& e,
                                     bool registers, double* number) {
    *number = 0;
    const int size = vkt9::EntrySize(e, registers);
    if (e.type != vkt9::kBytes && e.length > size) {
        klog::err("Ckov_VKT9::ParseToString - too long value - %d. need additional work\r\n",
                  e.length);
        return "ERR";
    }
    static const char* const kCaption[] = {
        "GetByteAsString",   "GetUByteAsString",  "GetShortAsString",
        "GetUShortAsString", "GetLongAsString",   "GetULongAsString",
        "GetFloatAsString",  "GetDoubleAsString", "MakeStringDiapason"};
    if (e.type < 0 || e.type > vkt9::kBytes) {
        klog::err("Ckov_VKT9::ParseToString - wrong value type - %d.\r\n", e.type);
        return "ERR";
    }
    if (off < 0 || size < 0 || off > block.Length() - size) DecoderFault(kCaption[e.type]);
    const uint8_t* p = block.Data() + off;

    if (e.type == vkt9::kBytes) {
        std::string s(reinterpret_cast<const char*>(p), static_cast<size_t>(size));
        return s.substr(0, s.find('\0'));
    }
    double v = 0;
    int digits = 6;
    switch (e.type) {
        case vkt9::kI8:
            v = static_cast<int8_t>(registers ? p[1] : p[0]);
            break;
        case vkt9::kU8:
            v = registers ? p[1] : p[0];
            break;
        case vkt9::kI16:
            v = static_cast<int16_t>(registers ? kov::U16BE(p) : kov::U16LE(p));
            break;
        case vkt9::kU16:
            v = registers ? kov::U16BE(p) : kov::U16LE(p);
            break;
        case vkt9::kI32:
            v = static_cast<int32_t>(registers ? kov::U32BE(p) : kov::U32LE(p));
            break;
        case vkt9::kU32:
            v = registers ? kov::U32BE(p) : kov::U32LE(p);
            break;
        case vkt9::kF32:
            v = registers ? kov::FloatBE(p) : kov::FloatLE(p);
            digits = 12;
            break;
        case vkt9::kAcc:
            v = registers
                    ? static_cast<double>(kov::U32BE(p)) + static_cast<double>(kov::FloatBE(p + 4))
                    : static_cast<double>(kov::U32LE(p)) + static_cast<double>(kov::FloatLE(p + 4));
            digits = 16;
            break;
        default:
            break;
    }
    if (e.dec_pos != 0) v /= std::pow(10.0, e.dec_pos);
    *number = v;
    return kov::FormatGeneral(v, digits);
}

void Ckov_VKT9::parse_inWork(const CVKT9Buffer& block, int archType, int sys, int kind, time_t t,
                             ValueList& out) {
    const bool registers = kind == 0 || kind == 1 || kind == 7 || kind == 9;
    const bool v10 = version == 0x0100;
    const std::span<const RawParam> table =
        registers ? RegisterTable(sys) : PageTable(archType, sys, v10);
    if (table.empty()) return;

    std::string errList;
    std::string extErrList;
    auto sizeOf = [registers](const RawParam& e) { return vkt9::EntrySize(e, registers); };

    // One record per target system; a common entry goes to both.
    auto emit = [&](const RawParam& e, int entryKind, const std::string& text) {
        if (entryKind < 0 || (registers && entryKind == 9)) return;
        for (int s = 0; s < 2; ++s) {
            if (e.system != vkt9::COMMON && e.system != s) continue;
            klog::debug("param - %d;%d  val - %s, VKT9OPCQuality - %d, ERR - %d\r\n", e.code,
                        e.jsonParm, text.c_str(), kGood, 0);
            out.emplace_back(e.jsonParm, entryKind, text, UnitText(e.dim), kGood, 0,
                             static_cast<uint8_t>(s), static_cast<int>(t));
        }
    };

    kov::WalkRawParams(table, block.Length(), sizeOf, [&](const RawParam& e, int32_t off) {
        if (IsSkipCode(e.code)) return;
        const int entryKind = registers ? e.kind : kind;

        if (IsErrorCode(e.code)) {
            const bool wide = e.type == vkt9::kU32 || e.type == vkt9::kI32;
            const int n = wide ? 4 : 2;
            if (off < 0 || off > block.Length() - n)
                DecoderFault(wide ? "GetULongAsString" : "GetUShortAsString");
            const uint8_t* p = block.Data() + off;
            const uint32_t raw = wide ? (registers ? kov::U32BE(p) : kov::U32LE(p))
                                      : (registers ? kov::U16BE(p) : kov::U16LE(p));
            uint32_t bits = 0;
            for (const auto& m : kErrMap)
                if (m.code == e.code && (raw & m.raw)) bits |= m.common;
            if (e.system == vkt9::COMMON) {
                errWord[0] |= bits;
                errWord[1] |= bits;
            } else if (e.system == vkt9::TS1 || e.system == vkt9::TS2) {
                errWord[e.system] |= bits;
            }
            std::string& list = e.code == 69 ? extErrList : errList;
            list += std::to_string(raw) + " ";
            if (e.jsonParm != kov::kNotUploaded) emit(e, entryKind, list);
            return;
        }

        double number = 0;
        std::string text = ParseToString(block, off, e, registers, &number);

        if (e.jsonParm == kov::kNotUploaded) {
            if (e.code == 72 && !registers && !v10 &&
                (e.system == vkt9::TS1 || e.system == vkt9::TS2))
                gj[e.system] = number != 0 ? 1 : 0;
            return;
        }
        if (e.code == 6 && (e.system == vkt9::TS1 || e.system == vkt9::TS2)) {
            qo[e.system] = number;
            qoKind[e.system] = entryKind;
            qoSeen[e.system] = true;
            return;
        }
        if (text != "ERR") {
            if (IsMinutes(e.dim)) {
                text = kov::FormatGeneral(number / 60.0, 16);
            } else if (e.dim == 19) {
                text = kov::FormatGeneral(number / 0.0980665, 16);
            }
        }
        emit(e, entryKind, text);
        if (registers && entryKind == 1 && (e.system == vkt9::TS1 || e.system == vkt9::TS2) &&
            (e.code == 49 || e.code == 53) && off <= block.Length() - 4) {
            link->WriteTrace(e.code == 49 ? "TimeOfWork" : "TimeOfNoPower", block.Data() + off, 4);
        }
    });
}

void Ckov_VKT9::EmitQoAndErrors(time_t t, ValueList& out, int errKind) {
    for (int s = 0; s < 2; ++s) {
        if (!qoSeen[s]) continue;
        double v = qo[s];
        if (gj[s] == 1) v /= 4.1868;
        out.emplace_back(17, qoKind[s], kov::FormatGeneral(v, 16), "", kGood, 0,
                         static_cast<uint8_t>(s), static_cast<int>(t));
    }
    for (int s = 0; s < 2; ++s)
        out.emplace_back(14, errKind, std::to_string(errWord[s]), "", kGood, 0,
                         static_cast<uint8_t>(s), static_cast<int>(t));
}

// ----------------------------------------------------------- current values

ValueList Ckov_VKT9::get_all_curtime_cur_integ_values() {
    ValueList out;
    try {
        klog::debug("get_all_curtime_cur_integ_values: call GetCurrentDate\r");
        const time_t meter = GetCurrentTimestamp();
        out.emplace_back(45, 7, std::to_string(meter), "", kGood, 0, 0,
                         static_cast<int>(kov::Now()));

        ResetAccumulators();
        gj[0] = gj[1] = qUnits ? 1 : 0;

        struct Block {
            uint16_t first;
            uint16_t count;
            int sys;
        };
        static constexpr Block kBlocks[] = {
            {0x0029, 77, vkt9::COMMON}, {0x0076, 124, vkt9::TS1}, {0x00F2, 124, vkt9::TS2}};
        time_t t = kov::Now();
        for (const Block& b : kBlocks) {
            CVKT9Buffer r =
                ReadRegisters(0x04, b.first, b.count, "get_all_curtime_cur_integ_values_1");
            t = kov::Now();
            r += 3;  // address, function, byte count
            parse_inWork(r, -1, b.sys, 0, t, out);
        }
        EmitQoAndErrors(t, out, 0);
    } catch (const CWrongPacketException&) {
        klog::err("get_all_curtime_cur_integ_values: exception!\r");
    }
    return out;
}

// ---------------------------------------------------------------- archives

time_t Ckov_VKT9::PageTime(const CVKT9Buffer& reply, bool withHour) const {
    // The common part follows the 7-byte head: year - 2000, month, day, hour.
    return kov::MeterLocalTime(reply[7] + 2000, reply[8], reply[9], withHour ? reply[10] : 0);
}

CVKT9Buffer Ckov_VKT9::FindPage(time_t t, const char* name, int archType, const char* caption) {
    const struct tm tmv = kov::LocalParts(t);
    const uint8_t req[5] = {
        0x42, static_cast<uint8_t>(archType), static_cast<uint8_t>(tmv.tm_year + 1900 - 2000),
        static_cast<uint8_t>(tmv.tm_mon + 1), static_cast<uint8_t>(tmv.tm_mday)};
    CVKT9Buffer r = link->SendString(req, sizeof req, caption, true);
    if (r.Empty()) {
        if (link->LastError() == 3) {
            klog::info("Ckov_VKT9::FindArchDate - No data in arch to %s\r\n", name);
            return {};
        }
        // Any other error answer says nothing about the archive: the read
        // fails like a broken link, so no later record is stored past it.
        klog::err("Ckov_VKT9::FindArchDate - error %d in arch to %s\r\n", link->LastError(),
                  name);
        throw CDisconnectException();
    }
    if (r.Length() < 8) {
        klog::err("Ckov_VKT9::FindArchDate - wrong answer length %d for %s\r\n", r.Length(), name);
        return {};
    }
    // The answer must name the archive and the date asked for.
    static const char* const kField[] = {"arch type", "year", "month", "day"};
    for (int i = 0; i < 4; ++i) {
        if (r[2 + i] != req[1 + i]) {
            klog::err("Ckov_VKT9::FindArchDate - returned %s %d != requested %d for %s\r\n",
                      kField[i], r[2 + i], req[1 + i], name);
            return {};
        }
    }
    return r;
}

CVKT9Buffer Ckov_VKT9::FindArchDate(time_t t, int, const char* name, int archType) {
    return FindPage(t, name, archType, "FindArchDate");
}

int Ckov_VKT9::ReadArchData(time_t t, time_t begin, time_t end, int kind, const char* name,
                            int archType, uint16_t* page, ValueList& out) {
    uint16_t pg = page ? *page : 0;
    if (archType != 0) {
        CVKT9Buffer f = FindPage(t, name, archType, "ReadArchData");
        if (f.Empty()) return 0;
        pg = f.U16LE(6);
    }
    CVKT9Buffer r = ReadPage(archType, 0x38, pg, 1, "ReadArchData");
    if (r.Empty()) {
        if (link->LastError() != 3) throw CDisconnectException();
        klog::info("Ckov_VKT9::ReadArchData - No data in arch to %s\r\n", name);
        return 0;
    }
    if (r[2] != archType) {
        klog::err("Ckov_VKT9::ReadArchData - returned arch type %d != requested %d\r\n", r[2],
                  archType);
        return 0;
    }
    if (r[6] == 0) {
        klog::info("Ckov_VKT9::ReadArchData - no pages returned for %s\r\n", name);
        return 0;
    }
    const uint8_t mask = r[3];
    if (!(mask & vkt9::kPartCommon)) {
        klog::err("Ckov_VKT9::ReadArchData - no date part returned for %s\r\n", name);
        return 0;
    }
    if (page) *page = r.U16LE(4);

    struct Part {
        uint8_t bit;
        int len;
        int sys;
    };
    static constexpr Part kParts[] = {{vkt9::kPartCommon, vkt9::kPartCommonLen, vkt9::COMMON},
                                      {vkt9::kPartTS1, vkt9::kPartSystemLen, vkt9::TS1},
                                      {vkt9::kPartTS2, vkt9::kPartSystemLen, vkt9::TS2}};
    int off = 7;
    for (const Part& p : kParts) {
        if (!(mask & p.bit)) continue;
        const int dataLen = p.len - 2;
        const uint16_t crc =
            kov::Crc16(kov::kCrc16CcittFalse, r.Data() + off, static_cast<size_t>(dataLen));
        const uint8_t lo = r[off + dataLen], hi = r[off + dataLen + 1];
        if (!kov::ReplyCheckOk(lo == (crc & 0xFF) && hi == (crc >> 8))) {
            klog::err(
                "Ckov_VKT9::ReadArchData - WRONG ARCH PAGE CRC: x%02x%02x(LH), got "
                "x%02x%02x(LH)\r\n",
                crc & 0xFF, crc >> 8, lo, hi);
            return 0;
        }
        off += p.len;
    }

    const time_t rt = PageTime(r, archType == 0);
    if (archType == 0 && (rt < begin || rt > end)) return 0;

    ResetAccumulators();
    if (version == 0x0100) gj[0] = gj[1] = qUnits ? 1 : 0;
    // Decoded apart and handed over whole, so a fault inside a page leaves
    // nothing of it behind.
    ValueList records;
    off = 7;
    for (const Part& p : kParts) {
        if (!(mask & p.bit)) continue;
        parse_inWork(CVKT9Buffer(r.Data() + off, p.len - 2), archType, p.sys, kind, rt, records);
        off += p.len;
    }
    EmitQoAndErrors(rt, records, kind);
    out.splice(out.end(), records);
    return 1;
}

template <class ReadFn>
int Ckov_VKT9::GuardedRead(int archType, time_t t, ReadFn&& read) {
    FailMark& mark = failMark[archType & 3];
    const std::pair<int, time_t> key{archType, t};
    try {
        const int n = read();
        if (mark.t == t) mark = FailMark{};
        givenUp.erase(key);
        return n;
    } catch (const CDisconnectException&) {
    } catch (const CWrongPacketException&) {
    }
    // Already given up on an earlier pass (hourly days are read by more than
    // one chunk): absent again at once.
    if (givenUp.count(key)) return -1;
    // A link failure ends the call so the cycle stores nothing past this
    // record; only a record failing on several passes in a row is given up.
    if (mark.t == t) {
        ++mark.count;
    } else {
        mark.t = t;
        mark.count = 1;
    }
    if (mark.count < kFailuresBeforeSkip) throw CDisconnectException();
    klog::warning(
        "Ckov_VKT9::ReadArchData - archive %d record at %ld failed on %d passes, taken as "
        "absent\r\n",
        archType, static_cast<long>(t), mark.count);
    mark = FailMark{};
    if (givenUp.size() >= 1024) givenUp.clear();
    givenUp.insert(key);
    return -1;
}

int Ckov_VKT9::get_arch_values(int archType, int32_t from, int32_t to, ValueList& out) {
    const time_t begin = from, end = to;
    if (archType == 5) {
        for (time_t t = begin; t <= end; t += 86400) {
            GuardedRead(1, t,
                        [&] { return ReadArchData(t, begin, end, 5, "DAILY", 1, nullptr, out); });
            GuardedRead(3, t,
                        [&] { return ReadArchData(t, begin, end, 2, "IDAILY", 3, nullptr, out); });
        }
        return 0;
    }
    if (archType != 4) return 2;

    const struct tm b = kov::LocalParts(begin);
    time_t t = kov::MeterLocalTime(b.tm_year + 1900, b.tm_mon + 1, b.tm_mday, 0);
    const time_t first = t;
    int got = 0;
    while (t <= end) {
        bool haveDay = false;
        uint16_t page = 0;
        GuardedRead(0, t, [&] {
            CVKT9Buffer f = FindArchDate(t, 4, "HOURLY", 0);
            if (!f.Empty()) {
                haveDay = true;
                page = f.U16LE(6);
            }
            return 0;
        });
        if (!haveDay) {
            t += 3600;
            continue;
        }
        const time_t dayEnd = std::min<time_t>(end, t + 82800);
        for (int h = 0; h < 24; ++h) {
            const time_t th = t + 3600 * h;
            const int n = GuardedRead(
                0, th, [&] { return ReadArchData(th, begin, dayEnd, 4, "HOURLY", 0, &page, out); });
            if (n > 0) {
                got += n;
            } else if (n < 0) {
                // Given up on this page: go on with the one after it.
                const uint16_t size = archTable[0].size;
                page = size > 0 ? static_cast<uint16_t>((page + 1) % (size + 1))
                                : static_cast<uint16_t>(page + 1);
            }
        }
        t += 86400;
    }
    klog::info("Got %d Hourly values from %lu to %lu, beg %lu, end %lu\r", got,
               static_cast<unsigned long>(first), static_cast<unsigned long>(t),
               static_cast<unsigned long>(begin), static_cast<unsigned long>(end));
    return 0;
}

bool Ckov_VKT9::GetTimestamps(ArchiveBounds& bounds) {
    try {
        CVKT9Buffer r = ReadRegisters(0x04, 0x0007, 21, "GetTimestamps");
        if (r.Length() >= 3 && r[2] > 41) {
            for (int i = 0; i < 7; ++i) {
                archTable[i].size = r.U16BE(3 + 6 * i);
                archTable[i].tail = r.U16BE(5 + 6 * i);
                archTable[i].head = r.U16BE(7 + 6 * i);
                klog::debug("Ckov_VKT9::GetTimestamps: arch[%d] size %u+1, tail %u, head %u\r", i,
                            archTable[i].size, archTable[i].tail, archTable[i].head);
            }
        }
        // The tail is the oldest page of a ring: its date is the lower bound.
        r = ReadPage(0, vkt9::kPartCommon, archTable[0].tail, 1, "GetTimestamps");
        if (r.Empty() || r.Length() < 11 || r[6] == 0 || !(r[3] & vkt9::kPartCommon)) {
            klog::err("Ckov_VKT9::GetTimestamps: No hourly pages returned, exit...\r");
            return false;
        }
        const time_t hourly = PageTime(r, true);
        const time_t clock = GetCurrentTimestamp();
        time_t daily = 0;
        r = ReadPage(1, vkt9::kPartCommon, archTable[1].tail, 1, "GetTimestamps");
        if (r.Empty() || r.Length() < 11 || r[6] == 0 || !(r[3] & vkt9::kPartCommon)) {
            klog::info("last day arch: min_time_day = 0\r\n");
        } else {
            daily = PageTime(r, false);
        }
        bounds.hourlyLower = static_cast<int32_t>(hourly);
        bounds.dailyLower = static_cast<int32_t>(daily);
        bounds.meterClock = static_cast<int32_t>(clock);
        return true;
    } catch (const CDisconnectException&) {
        throw;
    } catch (const CWrongPacketException&) {
        throw;
    } catch (const std::exception& e) {
        klog::err("Ckov_VKT9::GetTimestamps: exception occured: %s\r\n", e.what());
        return false;
    }
}

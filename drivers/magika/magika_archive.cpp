#include "drivers/magika/magika_archive.h"

#include <cctype>
#include <cmath>
#include <cstring>

#include "drivers/common/byte_order.h"
#include "drivers/common/meter_time.h"
#include "drivers/common/value_text.h"
#include "log/logger.h"

namespace magika {

namespace {

void AddOld(OldMap& m, int ordinal, const char* name, int index, int kind, int type,
            const char* unit) {
    m[name] = OldField{ordinal, index, kind, name, type, unit};
}

// Names that end in 1..n with consecutive ordinals and one descriptor shape.
void AddOldSeries(OldMap& m, int firstOrdinal, const char* stem, int count, int index, int kind,
                  int type, const char* unit) {
    for (int i = 1; i <= count; ++i)
        AddOld(m, firstOrdinal + i - 1, (std::string(stem) + std::to_string(i)).c_str(), index,
               kind, type, unit);
}

// The fields both old maps share. Time fields are minute counters: one byte
// in hourly strings, two in daily ones.
void AddOldCommon(OldMap& m, int kind, int timeType) {
    AddOld(m, 85, "DATE", kNoParam, kind, 5, "date");
    AddOld(m, 86, "HOUR", kNoParam, kind, 5, "date");
    AddOld(m, kOrdTnorm, "TNORM", 18, kind, timeType, "h");
    AddOldSeries(m, 88, "TNORM", 3, kNoParam, kind == 5 ? 2 : kind, timeType, "h");
    AddOld(m, 91, "TMIN", 27, kind, timeType, "min");
    AddOld(m, 92, "TMAX", 28, kind, timeType, "min");
    AddOld(m, 93, "TDELTAT", 26, kind, timeType, "min");
    AddOld(m, 94, "TAVARIA", 29, kind, timeType, "min");
    AddOld(m, 95, "TSUHOST", kNoParam, kind, timeType, "min");
    AddOld(m, 96, "TNKP", kNoParam, kind, timeType, "min");
    AddOld(m, 97, "MODES", kNoParam, kind, 0, "");
    AddOld(m, kOrdErrorCode, "ERRORCODE", 14, kind, 0, "");
    AddOldSeries(m, 99, "ERRORCODE", 3, kNoParam, kind, 0, "");
    AddOldSeries(m, 107, "TMIN", 3, kNoParam, kind, timeType, "min");
    AddOldSeries(m, 110, "TMAX", 3, kNoParam, kind, timeType, "min");
    AddOldSeries(m, 113, "TDELTAT", 3, kNoParam, kind, timeType, "min");
    AddOld(m, 116, "Q1", 17, kind, 4, "Gcal/h");
    AddOld(m, 117, "Q2", kNoParam, kind, 4, "Gcal/h");
    AddOld(m, 118, "Q3", kNoParam, kind, 4, "Gcal/h");
    for (int i = 0; i < 3; ++i)
        AddOld(m, 119 + i, ("M" + std::to_string(i + 1)).c_str(), 22 + i, kind, 4, "t/h");
    for (int i = 4; i <= 6; ++i)
        AddOld(m, 118 + i, ("M" + std::to_string(i)).c_str(), kNoParam, kind, 4, "t/h");
    for (int i = 0; i < 3; ++i)
        AddOld(m, 125 + i, ("T" + std::to_string(i + 1)).c_str(), 6 + i, kind, 4, "C");
    for (int i = 4; i <= 7; ++i)
        AddOld(m, 124 + i, ("T" + std::to_string(i)).c_str(), kNoParam, kind, 4, "C");
    AddOld(m, 132, "P1", 9, kind, 4, "at");
    AddOld(m, 133, "P2", 10, kind, 4, "at");
    AddOld(m, 134, "P3", kNoParam, kind, 4, "at");
    for (int i = 4; i <= 6; ++i)
        AddOld(m, 131 + i, ("P" + std::to_string(i)).c_str(), kNoParam, kind, 4, "atm");
}

void AddNew(NewMap& m, int& ordinal, const std::string& name, int index, int totals, int kind,
            const char* unit, float scale) {
    m[name] = NewField{ordinal++, index, totals, kind, name, unit, scale};
}

struct Num {
    enum Type { kUnsigned, kSigned, kReal } type = kUnsigned;
    uint64_t u = 0;
    int64_t s = 0;
    double d = 0;

    static Num U(uint64_t v) {
        Num n;
        n.type = kUnsigned;
        n.u = v;
        return n;
    }
    static Num S(int64_t v) {
        Num n;
        n.type = kSigned;
        n.s = v;
        return n;
    }
    static Num R(double v) {
        Num n;
        n.type = kReal;
        n.d = v;
        return n;
    }

    double AsDouble() const {
        return type == kUnsigned ? static_cast<double>(u)
               : type == kSigned ? static_cast<double>(s)
                                 : d;
    }
    uint32_t AsStatus() const {
        if (type == kUnsigned) return static_cast<uint32_t>(u);
        if (type == kSigned) return static_cast<uint32_t>(s);
        // A status sent as a float: only its low byte's worth can mean anything.
        return std::isfinite(d) && d >= 0 && d < 4294967296.0 ? static_cast<uint32_t>(d) : 0;
    }
    std::string Text() const {
        return type == kUnsigned ? std::to_string(u)
               : type == kSigned ? std::to_string(s)
                                 : FloatText(d);
    }
};

uint64_t UIntBE(const uint8_t* p, int n) {
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) v = (v << 8) | p[i];
    return v;
}

int64_t SIntBE(const uint8_t* p, int n) {
    uint64_t v = UIntBE(p, n);
    if (n < 8 && (v & (uint64_t{1} << (8 * n - 1)))) v |= ~uint64_t{0} << (8 * n);
    return static_cast<int64_t>(v);
}

double DoubleBE(const uint8_t* p) {
    uint64_t bits = UIntBE(p, 8);
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

// A record parsed from a string before the string's time is known.
struct Pending {
    int index;
    int kind;
    std::string name;
    std::string value;
    std::string unit;
};

void Emit(std::vector<Pending>& pending, time_t t, ValueList& out, const char* who) {
    for (auto& p : pending) {
        klog::debug("%s - dTime %d, jsonParam %d, paramName %s, value %s.", who,
                    static_cast<int>(t), p.index, p.name.c_str(), p.value.c_str());
        out.push_front(
            ValueRecord(p.index, p.kind, p.value, p.unit, 192, 0, 0, static_cast<int>(t)));
    }
}

}  // namespace

OldMap BuildOldHourlyMap() {
    OldMap m;
    AddOldCommon(m, 4, 0);
    return m;
}

OldMap BuildOldDailyMap() {
    OldMap m;
    AddOldCommon(m, 5, 1);
    AddOldSeries(m, 138, "uM", 3, kNoParam, 5, 4, "t");
    AddOldSeries(m, 141, "pM", 3, kNoParam, 5, 4, "t");
    for (int i = 0; i < 3; ++i)
        AddOld(m, 144 + i, ("sM" + std::to_string(i + 1)).c_str(), 22 + i, 2, 4, "t");
    AddOld(m, 147, "sM4", kNoParam, 2, 4, "t");
    AddOld(m, 148, "sQ1", 17, 2, 4, "Gcal");
    AddOld(m, 149, "sQ2", kNoParam, 2, 4, "Gcal");
    AddOld(m, 150, "sQ3", kNoParam, 2, 4, "Gcal");
    AddOld(m, kOrdSTnorm, "sTNORM", 18, 2, 3, "min");
    AddOld(m, 106, "sTNORMr", kNoParam, 2, 3, "min");
    return m;
}

NewMap BuildNewDailyMap() {
    NewMap m;
    int o = 1;
    AddNew(m, o, "Day", kNoParam, 0, 5, "", 1);
    AddNew(m, o, "Month", kNoParam, 0, 5, "", 1);
    AddNew(m, o, "Hour", kNoParam, 0, 5, "", 1);
    AddNew(m, o, "Year", kNoParam, 1, 2, "", 1);
    AddNew(m, o, "Tr", kNoParam, 0, 5, "h", 60);
    AddNew(m, o, "thv", kNoParam, 0, 5, "C", 1);
    AddNew(m, o, "Tn", 18, 0, 5, "h", 60);
    AddNew(m, o, "Tmin", 27, 0, 5, "h", 60);
    AddNew(m, o, "Tmax", 28, 0, 5, "h", 60);
    AddNew(m, o, "Tdt", 26, 0, 5, "h", 60);
    AddNew(m, o, "Tsuh", kNoParam, 0, 5, "h", 60);
    AddNew(m, o, "Tavar", 29, 0, 5, "h", 60);
    AddNew(m, o, "Err", 14, 0, 5, "", 1);
    AddNew(m, o, "Mode", kNoParam, 0, 5, "", 1);
    for (int i = 0; i < 3; ++i) AddNew(m, o, "V" + std::to_string(i + 1), 19 + i, 0, 5, "m3", 1);
    for (int i = 0; i < 3; ++i) AddNew(m, o, "M" + std::to_string(i + 1), 22 + i, 0, 5, "t", 1);
    for (int i = 0; i < 3; ++i) AddNew(m, o, "t" + std::to_string(i + 1), 6 + i, 0, 5, "C", 1);
    for (int i = 0; i < 3; ++i)
        AddNew(m, o, "P" + std::to_string(i + 1), 9 + i, 0, 5, "at", 0.9678360f);
    AddNew(m, o, "Q", 17, 0, 5, "Gcal", 1);
    AddNew(m, o, "uM", kNoParam, 0, 5, "t", 1);
    AddNew(m, o, "pM", kNoParam, 0, 5, "t", 1);
    AddNew(m, o, "STr", kNoParam, 1, 2, "h", 60);
    AddNew(m, o, "STn", 18, 1, 2, "h", 60);
    for (int i = 0; i < 3; ++i) AddNew(m, o, "SV" + std::to_string(i + 1), 19 + i, 1, 2, "m3", 1);
    for (int i = 0; i < 3; ++i) AddNew(m, o, "SM" + std::to_string(i + 1), 22 + i, 1, 2, "t", 1);
    AddNew(m, o, "SQ", 17, 1, 2, "Gcal", 1);
    return m;
}

NewMap BuildNewHourlyMap() {
    NewMap m = BuildNewDailyMap();
    for (auto& [name, f] : m) f.kind = f.totals ? 3 : 4;
    return m;
}

uint32_t MapStatus(uint32_t s) {
    uint32_t r = 0;
    if (s & 0x01) r |= 0x4;
    const bool b1 = s & 0x02, b2 = s & 0x04;
    if (b2 && b1)
        r |= 0x202;
    else if (b2)
        r |= 0x200;
    else if (b1)
        r |= 0x2;
    if (s & 0x80) r |= 0x8000;
    return r;
}

TemplateLine ParseTemplateLine(const std::string& line) {
    TemplateLine t;
    if (line.empty()) return t;
    t.type = line[0];
    size_t i = 1;
    while (i < line.size() && line[i] != ' ' && line[i] != '\r') t.name += line[i++];
    if (i < line.size() && line[i] == ' ') {
        const size_t point = line.find('.', i);
        if (point != std::string::npos) {
            for (size_t j = point + 1;
                 j < line.size() && std::isdigit(static_cast<unsigned char>(line[j])); ++j)
                t.name += line[j];
        }
    }
    return t;
}

bool NeedsTemplateFixup(uint16_t firmware) {
    const int hi = firmware >> 8, lo = firmware & 0xFF;
    return hi >= 0x11 && hi <= 0x14 && lo <= 0x15;
}

void FixupTemplate(std::vector<uint8_t>& b) {
    for (size_t i = 512; i + 1 < b.size(); i += 2) std::swap(b[i], b[i + 1]);
    for (size_t i = 0; i + 1 < b.size(); ++i) {
        if (b[i + 1] != 'M') continue;
        if (b[i] == 'u')
            b[i] = 'p';
        else if (b[i] == 'p')
            b[i] = 'u';
    }
}

std::vector<std::string> SplitTemplate(const std::vector<uint8_t>& bytes) {
    std::string text;
    for (uint8_t c : bytes) {
        if (c == 0) break;
        text += static_cast<char>(c);
    }
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        // Templates written with CR LF line ends read like LF ones.
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && line != " ") lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

int NewTypeDigit(char c) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    return -1;
}

time_t ArchStringTime(int day, int month, int year, int hour, bool hourly, const char* who) {
    bool nextDay = false;
    int h = hour;
    if (hour >= 24 || !hourly) {
        h = 0;
        if (hourly) {
            nextDay = true;
            klog::debug("%s find 24 hour. Added 86400.", who);
        }
    }
    klog::debug("%s - Year %d, Month %d, Day %d, Hour %d.", who, year, month, day, hour);
    const time_t t = kov::MeterLocalTime(year, month, day, h);
    return nextDay ? t + 86400 : t;
}

std::string FloatText(double v) { return kov::FormatGeneral(v, 7); }

int ParseArchString2013(const std::vector<std::string>& templ, const uint8_t* data, size_t size,
                        const NewMap& map, bool hourly, ValueList& out, time_t& stringTime) {
    static const char* const kWho = "CkovMAGIKAAXXX::parseArchString2013";
    std::vector<Pending> pending;
    bool haveTime = false;
    size_t pos = 0;
    for (const auto& line : templ) {
        const TemplateLine tl = ParseTemplateLine(line);
        const int type = NewTypeDigit(tl.type);
        auto need = [&](size_t n) { return pos + n <= size; };
        if (tl.name == "Day") {
            if (!need(4)) return -1;
            stringTime = ArchStringTime(data[pos], data[pos + 1], 2000 + data[pos + 2],
                                        data[pos + 3], hourly, kWho);
            haveTime = true;
        }
        Num v;
        size_t n = 0;
        bool hasValue = true;
        const uint8_t* p = data + pos;
        switch (type) {
            case 0:
                n = 1;
                if (need(n)) v = Num::U(p[0]);
                break;
            case 1:
            case 12:
                n = 2;
                if (need(n)) v = Num::U(UIntBE(p, 2));
                break;
            case 2:
                n = 3;
                if (need(n)) v = Num::U(UIntBE(p, 3));
                break;
            case 3:
                n = 4;
                if (need(n)) v = Num::U(UIntBE(p, 4));
                break;
            case 4:
                n = 1;
                if (need(n)) v = Num::S(SIntBE(p, 1));
                break;
            case 5:
                n = 2;
                if (need(n)) v = Num::S(SIntBE(p, 2));
                break;
            case 6:
                n = 3;
                if (need(n)) v = Num::S(SIntBE(p, 3));
                break;
            case 7:
                n = 4;
                if (need(n)) v = Num::S(SIntBE(p, 4));
                break;
            case 8:
                n = 4;
                if (need(n)) v = Num::R(kov::FloatBE(p));
                break;
            case 9:
                n = 8;
                if (need(n)) v = Num::R(DoubleBE(p));
                break;
            case 10:
                n = 1;
                if (need(n)) v = Num::U(static_cast<uint64_t>(kov::BcdToInt(p[0])));
                break;
            case 13:
            case 14:
                n = 2;
                if (need(n)) v = Num::R(static_cast<double>(UIntBE(p, 2)) / 100.0);
                break;
            case 15:
                n = 8;
                if (need(n)) v = Num::U(UIntBE(p, 8));
                break;
            case 16:
                n = 8;
                if (need(n)) v = Num::S(SIntBE(p, 8));
                break;
            case 17:
                if (!need(1)) return -1;
                n = 1 + static_cast<size_t>(p[0]) + 1;
                hasValue = false;
                break;
            case 18: {
                size_t k = pos;
                while (k < size && data[k] != 0) ++k;
                if (k >= size) return -1;  // no terminating NUL inside the string
                n = k - pos + 1;
                hasValue = false;
                break;
            }
            default:
                return -1;
        }
        if (!need(n)) return -1;
        pos += n;
        if (!hasValue) continue;
        auto it = map.find(tl.name);
        if (it == map.end() || it->second.index == kNoParam) continue;
        const NewField& f = it->second;
        if (f.scale != 1.0f && f.scale != 0.0f)
            v = Num::R(v.AsDouble() / static_cast<double>(f.scale));
        if (f.name == "Err") v = Num::U(MapStatus(v.AsStatus()));
        pending.push_back(Pending{f.index, f.kind, f.name, v.Text(), f.unit});
    }
    if (!haveTime) return -1;
    Emit(pending, stringTime, out, "CkovMAGIKAAXXX::parseArchString2013");
    return 0;
}

int ParseArchString(const std::vector<std::string>& templ, const uint8_t* data, size_t size,
                    const OldMap& map, bool hourly, ValueList& out, time_t& stringTime) {
    static const char* const kWho = "CkovMAGIKAAXXX::parseArchString";
    std::vector<Pending> pending;
    bool haveDate = false, haveTime = false;
    int day = 0, month = 0, year = 0;
    int sTnormSeen = 0;
    size_t pos = 0;
    for (const auto& line : templ) {
        const TemplateLine tl = ParseTemplateLine(line);
        std::string lookup = tl.name;
        if (lookup.rfind("sTNORM", 0) == 0) lookup = sTnormSeen++ == 0 ? "sTNORM" : "sTNORMr";
        auto it = map.find(lookup);
        int type;
        if (it != map.end())
            type = it->second.type;
        else if (tl.type >= '0' && tl.type <= '5')
            type = tl.type - '0';
        else
            return -1;
        auto need = [&](size_t n) { return pos + n <= size; };
        const uint8_t* p = data + pos;
        Num v;
        size_t n = 0;
        bool hasValue = true;
        switch (type) {
            case 0:
                n = 1;
                if (need(n)) v = Num::U(p[0]);
                break;
            case 1:
                n = 2;
                if (need(n)) v = Num::U(UIntBE(p, 2));
                break;
            case 2:
                n = 4;
                hasValue = false;
                break;
            case 3:
                n = 4;
                if (need(n)) v = Num::U(UIntBE(p, 4));
                break;
            case 4:
                n = 4;
                if (need(n)) v = Num::R(kov::FloatBE(p));
                break;
            default:  // 5: the date group
                hasValue = false;
                if (lookup == "DATE") {
                    n = 3;
                    if (!need(n)) return -1;
                    day = p[0];
                    month = p[1];
                    year = 2000 + p[2];
                    haveDate = true;
                } else if (lookup == "HOUR") {
                    n = 1;
                    if (!need(n) || !haveDate) return -1;
                    stringTime = ArchStringTime(day, month, year, p[0], hourly, kWho);
                    haveTime = true;
                } else {
                    n = 1;
                }
                break;
        }
        if (!need(n)) return -1;
        pos += n;
        if (!hasValue || it == map.end() || it->second.index == kNoParam) continue;
        const OldField& f = it->second;
        if (f.ordinal == kOrdTnorm || f.ordinal == kOrdSTnorm) v = Num::R(v.AsDouble() / 60.0);
        if (f.ordinal == kOrdErrorCode) v = Num::U(MapStatus(v.AsStatus()));
        pending.push_back(Pending{f.index, f.kind, f.name, v.Text(), f.unit});
    }
    if (!haveTime) return -1;
    Emit(pending, stringTime, out, kWho);
    return 0;
}

}  // namespace magika

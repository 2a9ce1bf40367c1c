#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "drivers/common/link_exceptions.h"
#include "drivers/magika/magika_archive.h"
#include "drivers/magika/magika_driver.h"
#include "drivers/magika/magika_meter_sim.h"
#include "sim/pty_link.h"
#include "sim/test_support.h"
#include "transport/modbus_connector.h"
#include "transport/rs_connector.h"

namespace {

// Archive times are local; the expected Unix times below are worked out for UTC.
const int utcZone = (setenv("TZ", "UTC", 1), tzset(), 0);

constexpr time_t k20240305h14 = 1709647200;  // 2024-03-05 14:00 UTC
constexpr time_t k20240306h00 = 1709683200;
constexpr time_t k20240305h00 = 1709596800;

// The value of record (kind, index), with its unit when asked; "-" when absent.
std::string Val(const ValueList& l, int kind, int index, bool withDim = false) {
    for (const auto& r : l)
        if (r.kind == kind && r.index == index) return r.value + (withDim ? " " + r.dim : "");
    return "-";
}

// One archive string through the parser of its map's format.
struct Parsed {
    int rc = 0;
    time_t time = 0;
    ValueList out;
};
template <class Map>
Parsed Parse(const std::vector<std::string>& templ, const std::vector<uint8_t>& s, const Map& map,
             bool hourly, size_t cut = 0) {
    Parsed p;
    if constexpr (std::is_same_v<Map, magika::NewMap>)
        p.rc = magika::ParseArchString2013(templ, s.data(), s.size() - cut, map, hourly, p.out,
                                           p.time);
    else
        p.rc = magika::ParseArchString(templ, s.data(), s.size() - cut, map, hourly, p.out, p.time);
    return p;
}

std::set<int> Times(const ValueList& l) {
    std::set<int> times;
    for (const auto& r : l) times.insert(r.timestamp);
    return times;
}

// ---- template lines, split and firmware fix-up ----

TEST(MagikaTemplate, LinesSplitAndFirmwareFixup) {
    const std::pair<const char*, const char*> lines[] = {
        {"8T 2.1", "T1"}, {"0Day", "Day"}, {"3SV 3.12\r", "SV12"}, {"0Month\r", "Month"}};
    for (const auto& [line, name] : lines) EXPECT_EQ(magika::ParseTemplateLine(line).name, name);
    EXPECT_EQ(magika::ParseTemplateLine("8T 2.1").type, '8');

    const char split[] = "0Day\n\n \n0Month\r\n\r\n8T 2.1\n\0garbage\n";
    EXPECT_EQ(magika::SplitTemplate(std::vector<uint8_t>(split, split + sizeof split - 1)),
              (std::vector<std::string>{"0Day", "0Month", "8T 2.1"}));

    for (uint16_t fw : {0x1100, 0x1415}) EXPECT_TRUE(magika::NeedsTemplateFixup(fw)) << fw;
    for (uint16_t fw : {0x1416, 0x1015, 0x1500, 0x0000})
        EXPECT_FALSE(magika::NeedsTemplateFixup(fw)) << fw;
    // Such firmware scrambles its template: the fix-up swaps the byte pairs
    // beyond byte 512 and trades "uM" and "pM".
    std::string text = "uM pM uX Mu" + std::string(501, 'x');
    text += "MuMpbaX\nZ";  // 9 bytes: the lone last byte has no partner
    std::vector<uint8_t> b(text.begin(), text.end());
    magika::FixupTemplate(b);
    EXPECT_EQ(std::string(b.begin(), b.begin() + 11), "pM uM uX Mu");
    EXPECT_EQ(std::string(b.begin() + 512, b.end()), "pMuMab\nXZ");
}

TEST(MagikaStatus, BitMapping) {
    const std::pair<uint32_t, uint32_t> cases[] = {{0x00, 0x0},   {0x01, 0x4},   {0x02, 0x2},
                                                   {0x04, 0x200}, {0x06, 0x202}, {0x80, 0x8000},
                                                   {0x78, 0x0}};  // bits 3-6 carry nothing
    for (const auto& [s, want] : cases) EXPECT_EQ(magika::MapStatus(s), want) << s;
}

// ---- new-format strings ----

TEST(MagikaNewFormat, EveryTypeCharacter) {
    // Type character, bytes, value handed on ("-": the field only advances).
    const std::tuple<const char*, std::vector<int>, const char*> cases[] = {
        {"1", {0x01, 0x02}, "258"},
        {"C", {0xFF, 0xFE}, "65534"},
        {"2", {0x01, 0x00, 0x00}, "65536"},
        {"3", {0x80, 0x00, 0x00, 0x01}, "2147483649"},
        {"4", {0xFF}, "-1"},
        {"5", {0xFF, 0xFE}, "-2"},
        {"6", {0xFF, 0xFF, 0xFD}, "-3"},
        {"7", {0xFF, 0xFF, 0xFF, 0xFC}, "-4"},
        {"8", {0x41, 0x48, 0x00, 0x00}, "12.5"},
        {"9", {0xC0, 0x02, 0, 0, 0, 0, 0, 0}, "-2.25"},
        {"A", {0x42}, "42"},  // BCD
        {"d", {0x04, 0xD2}, "12.34"},
        {"E", {0x00, 0x64}, "1"},
        {"F", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, "18446744073709551615"},
        {"G", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}, "-2"},
        {"H", {0x03, 'a', 'b', 'c', 0x00}, "-"},  // length, 3 bytes, one more
        {"I", {'x', 'y', 'z', 0x00}, "-"},        // up to and with the NUL
        {"0", {0x07}, "7"},
    };
    std::vector<std::string> templ = {"0Day", "0Month", "0Year", "0Hour"};
    std::vector<uint8_t> s = {5, 3, 24, 14};
    magika::NewMap map;
    int index = 100;
    for (const auto& [type, bytes, want] : cases) {
        const std::string name = "f" + std::to_string(index);
        templ.push_back(type + name);
        s.insert(s.end(), bytes.begin(), bytes.end());
        map[name] = magika::NewField{index, index, 0, 4, name, "u", 1};
        ++index;
    }
    const Parsed p = Parse(templ, s, map, true);
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(p.time, k20240305h14);
    EXPECT_EQ(p.out.size(), 16u);
    index = 100;
    for (const auto& [type, bytes, want] : cases) EXPECT_EQ(Val(p.out, 4, index++), want) << type;
    for (const auto& r : p.out) EXPECT_TRUE(r.timestamp == k20240305h14 && r.quality == 192);
    EXPECT_EQ(p.out.front().value, "7");  // records go to the front: the last field first
}

TEST(MagikaNewFormat, FloatFieldNamedByIndexAndScales) {
    // The meter's own maps call the temperature "t1"; "T1" here checks the
    // naming of "8T 2.1" as a 4-byte float.
    magika::NewMap map = magika::BuildNewDailyMap();
    map["T1"] = magika::NewField{900, 6, 0, 5, "T1", "C", 1};
    map["Raw"] = magika::NewField{901, 25, 0, 5, "Raw", "", 0};  // scale 0: as read
    std::vector<std::string> templ = {"0Day", "0Month", "0Year", "0Hour", "8T 2.1",
                                      "1Raw", "1Tn",    "8P1",   "0Err",  "3SQ"};
    const std::vector<uint8_t> s = {5,    3,    24,   24,     // Day, Month, Year, Hour
                                    0x41, 0x48, 0x00, 0x00,   // T1 = 12.5
                                    0x00, 0x07,               // Raw = 7
                                    0x00, 0x5A,               // Tn = 90 min = 1.5 h
                                    0x40, 0x40, 0x00, 0x00,   // P1 = 3.0 / 0.967836
                                    0x87,                     // Err
                                    0x00, 0x00, 0x01, 0x00};  // SQ = 256 (a total)
    const Parsed daily = Parse(templ, s, map, false);
    ASSERT_EQ(daily.rc, 0);
    EXPECT_EQ(daily.time, k20240305h00);  // daily: the hour is 0
    EXPECT_EQ(Val(daily.out, 5, 6), "12.5");
    EXPECT_EQ(Val(daily.out, 5, 25), "7");
    EXPECT_EQ(Val(daily.out, 5, 18, true), "1.5 h");
    EXPECT_NEAR(std::stod(Val(daily.out, 5, 9)), 3.0 / 0.967836, 1e-5);
    EXPECT_EQ(Val(daily.out, 5, 14), "33286");  // 0x4 | 0x202 | 0x8000
    EXPECT_EQ(Val(daily.out, 2, 17), "256");
    // The same string in the hourly map: hour 24 is the next day's hour 0,
    // and totals go to kind 3.
    const Parsed hourly = Parse(templ, s, magika::BuildNewHourlyMap(), true);
    ASSERT_EQ(hourly.rc, 0);
    EXPECT_EQ(hourly.time, k20240306h00);
    EXPECT_EQ(Val(hourly.out, 3, 17), "256");
    EXPECT_EQ(Val(hourly.out, 4, 18), "1.5");
}

TEST(MagikaNewFormat, RejectsUnknownTypeShortStringAndMissingDate) {
    const auto map = magika::BuildNewHourlyMap();
    const std::vector<uint8_t> s = {5, 3, 24, 14, 1, 2};
    const std::vector<std::vector<std::string>> templates = {
        {"0Day", "0Month", "0Year", "0Hour", "BQ"},  // unknown type
        {"0Day", "0Month", "0Year", "0Hour", "3Q"},  // string too short
        {"1Q"}};                                     // no date
    for (const auto& templ : templates) {
        const Parsed p = Parse(templ, s, map, true);
        EXPECT_TRUE(p.rc == -1 && p.out.empty()) << templ.back();
    }
    EXPECT_EQ(Parse({"0Day"}, s, map, true, 3).rc, -1);
}

// ---- old-format strings ----

TEST(MagikaOldFormat, DailyFieldsTypesAndSTnormRepetition) {
    std::vector<std::string> templ = {"5DATE", "5HOUR",   "0TNORM",  "0ERRORCODE", "4T 3.1",
                                      "2XX",   "3sTNORM", "3sTNORM", "4sQ1"};
    const std::vector<uint8_t> s = {5,    3,    24,   0,      // DATE, HOUR
                                    0x00, 0x5A,               // TNORM, type 1 daily: 90 min
                                    0x03,                     // ERRORCODE
                                    0x40, 0x40, 0x00, 0x00,   // T1 = 3
                                    1,    2,    3,    4,      // unknown, type 2: skipped
                                    0x00, 0x00, 0x0E, 0x10,   // sTNORM = 3600 min
                                    0x00, 0x00, 0x00, 0x3C,   // sTNORMr: not stored
                                    0x41, 0x48, 0x00, 0x00};  // sQ1 = 12.5
    const Parsed p = Parse(templ, s, magika::BuildOldDailyMap(), false);
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(p.time, k20240305h00);
    ASSERT_EQ(p.out.size(), 5u);
    EXPECT_TRUE(p.out.front().kind == 2 && p.out.front().index == 17);  // the last field first
    EXPECT_EQ(Val(p.out, 2, 17, true), "12.5 Gcal");
    EXPECT_EQ(Val(p.out, 5, 18), "1.5");
    EXPECT_EQ(Val(p.out, 5, 14), "6");  // 0x4 | 0x2
    EXPECT_EQ(Val(p.out, 5, 6), "3");
    EXPECT_EQ(Val(p.out, 2, 18, true), "60 min");  // the first sTNORM only
    for (const auto& r : p.out) EXPECT_EQ(r.timestamp, k20240305h00);
}

TEST(MagikaOldFormat, HourlyTimeFieldsAreOneByteAndHour24IsNextDay) {
    const auto map = magika::BuildOldHourlyMap();
    std::vector<std::string> templ = {"5DATE", "5HOUR", "1TNORM", "4M1", "4P3", "1ZZ"};
    const std::vector<uint8_t> s = {5,    3,    24,   24,    // DATE, HOUR
                                    30,                      // TNORM: one byte hourly
                                    0x40, 0x40, 0x00, 0x00,  // M1 = 3
                                    0x41, 0x48, 0x00, 0x00,  // P3: no catalogue parameter
                                    0x00, 0x01};             // unknown line of type 1
    const Parsed p = Parse(templ, s, map, true);
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(p.time, k20240306h00);
    ASSERT_EQ(p.out.size(), 2u);
    EXPECT_EQ(Val(p.out, 4, 18), "0.5");
    EXPECT_EQ(Val(p.out, 4, 22, true), "3 t/h");
    // A string cut short fails, and so does an unknown name with a type beyond 5.
    EXPECT_EQ(Parse(templ, s, map, true, 1).rc, -1);
    EXPECT_EQ(Parse({"5DATE", "5HOUR", "9ZZ"}, s, map, true).rc, -1);
}

// Hostile strings and templates: a parse either succeeds with a date or
// fails without handing on anything of the string.
TEST(MagikaParsers, RandomInputIsAllOrNothing) {
    const auto newMap = magika::BuildNewHourlyMap();
    const auto oldMap = magika::BuildOldDailyMap();
    const std::vector<std::string> names = {"Day", "Month", "Year",   "Hour",     "t",
                                            "Q",   "Err",   "SQ",     "DATE",     "HOUR",
                                            "x",   "TNORM", "sTNORM", "ERRORCODE"};
    uint32_t seed = 12345;
    auto next = [&seed] { return (seed = seed * 1103515245u + 12345u) >> 8; };
    int parsed = 0;
    for (int round = 0; round < 4000; ++round) {
        std::vector<std::string> templ;
        if (round % 2 == 0) templ = {"0Day", "0Month", "0Year", "0Hour"};
        for (int i = static_cast<int>(next() % 12); i >= 0; --i) {
            std::string line = "0123456789ABCDEFGHIJZ5"[next() % 22] + names[next() % names.size()];
            if (next() % 4 == 0) line += " 3." + std::to_string(1 + next() % 3);
            templ.push_back(line);
        }
        std::vector<uint8_t> bytes(next() % 64);
        for (auto& b : bytes) b = static_cast<uint8_t>(next());
        for (const Parsed& p : {Parse(templ, bytes, oldMap, round % 3 == 0),
                                Parse(templ, bytes, newMap, round % 3 == 0)}) {
            ASSERT_TRUE(p.rc == 0 || (p.rc == -1 && p.out.empty()));
            parsed += p.rc == 0;
            for (const auto& r : p.out) EXPECT_EQ(r.timestamp, static_cast<int>(p.time));
        }
    }
    EXPECT_GT(parsed, 50);  // the walk does reach the good paths
}

// ---- the driver against the simulated meter, through libmodbus over a pty ----

constexpr time_t kMeterNow = 1709649015;  // 2024-03-05 14:30:15 UTC

using kov::sim::LogFile;
using Variant = CMagikaMeterSim::Variant;

class MagikaDriverTest : public ::testing::Test {
protected:
    // Lines of the process's log holding text, written since MarkLog().
    void MarkLog() {
        logStart = 0;
        logStart = Logged("");
    }
    size_t Logged(const std::string& text) const {
        std::ifstream in(LogFile::Path());
        std::string line;
        size_t n = 0, i = 0;
        while (std::getline(in, line))
            if (i++ >= logStart && line.find(text) != std::string::npos) ++n;
        return n;
    }

    // A fresh meter and driver; `ready`: initialised, meter information read.
    void Open(Variant variant = Variant::kNew, bool ready = true, time_t now = kMeterNow) {
        drv.reset();
        if (sim) sim->Stop();
        MarkLog();
        sim = std::make_unique<CMagikaMeterSim>(link.MasterFd(), 5, variant);
        sim->SetClock([now] { return now; });
        sim->Start();
        conn = std::make_unique<CModbusConnectorItself>(
            ParamMap{{"protocol", "modbus"}, {"name", link.SlavePath()}});
        conn->SetTimeout(100);
        drv = std::make_unique<CkovMAGIKAAXXX>();
        drv->ApplyPortOptions({{"manufacturer", "magika-axxx"}, {"serial", "5"}});
        drv->SaveConnector(conn.get());
        if (!ready) return;
        drv->init();
        drv->get_all_system_values();
        seen = sim->Commands().size();
    }
    // Commands written since the last call.
    std::vector<uint16_t> NewCommands() {
        auto all = sim->Commands();
        std::vector<uint16_t> fresh(all.begin() + static_cast<long>(seen), all.end());
        seen = all.size();
        return fresh;
    }
    uint16_t LastNewCommand() {
        const auto c = NewCommands();
        return c.empty() ? 0 : c.back();
    }
    // The head commands, `nexts` times the next-string command, the end command.
    static std::vector<uint16_t> Cmds(std::vector<uint16_t> head, int nexts, uint16_t next,
                                      uint16_t end) {
        head.insert(head.end(), static_cast<size_t>(nexts), next);
        head.push_back(end);
        return head;
    }

    kov::sim::TestRoot root;
    kov::sim::PtyLink link;
    std::unique_ptr<CMagikaMeterSim> sim;
    std::unique_ptr<CModbusConnectorItself> conn;
    std::unique_ptr<CkovMAGIKAAXXX> drv;
    size_t seen = 0;
    size_t logStart = 0;
};

TEST_F(MagikaDriverTest, ClockCurrentValuesAndSystemData) {
    Open(Variant::kNew, false);
    EXPECT_TRUE(drv->init());
    ValueList cur = drv->get_all_curtime_cur_integ_values();
    ASSERT_EQ(cur.size(), 21u);
    EXPECT_TRUE(cur.front().kind == 7 && cur.front().index == 45);
    EXPECT_EQ(cur.front().value, "1709649015");
    const std::map<std::pair<int, int>, std::string> want = {
        {{0, 0}, "12.5 m3/h"},      {{0, 1}, "2.25 m3/h"},   {{0, 2}, "0.5 m3/h"},
        {{0, 3}, "11.75 t/h"},      {{0, 4}, "10.25 t/h"},   {{0, 5}, "0 t/h"},
        {{0, 6}, "75.5 C"},         {{0, 7}, "45.25 C"},     {{0, 8}, "5 C"},
        {{0, 9}, "6.5 atm"},        {{0, 10}, "4.25 atm"},   {{0, 11}, "0 atm"},
        {{1, 22}, "123456.5 t"},    {{1, 23}, "120000.2 t"}, {{1, 24}, "0 t"},
        {{1, 17}, "2345.125 Gcal"}, {{1, 18}, "1500 h"},     {{1, 19}, "54321.5 m3"},
        {{1, 20}, "50000.75 m3"},   {{1, 21}, "0 m3"}};
    for (const auto& [key, v] : want)
        EXPECT_EQ(Val(cur, key.first, key.second, true), v) << key.first << "/" << key.second;
    for (const auto& r : cur) EXPECT_EQ(r.quality, 192);

    ValueList sys = drv->get_all_system_values();
    EXPECT_FALSE(drv->OldArchive());
    EXPECT_EQ(Val(sys, 7, 32), "MAGIKA A2");
    EXPECT_EQ(Val(sys, 7, 47), "2");
    EXPECT_EQ(Val(sys, 7, 34, true), "0012345 string");

    ArchiveBounds b;
    ASSERT_TRUE(drv->GetTimestamps(b));
    EXPECT_EQ(b.meterClock, kMeterNow);
    EXPECT_EQ(b.hourlyLower, 1709647200 - 3200400);
    EXPECT_EQ(b.dailyLower, 1709596800 - 31968000);
}

TEST_F(MagikaDriverTest, OldFirmwareAndHour24Clock) {
    Open(Variant::kOld, false, 1709683800);  // 2024-03-06 00:10, shown as 2024-03-05 24:10
    sim->SetClockHour24(true);
    EXPECT_EQ(drv->ReadCurDevTime(), 1709683800);
    EXPECT_TRUE(drv->get_all_system_values().empty());  // before init: not initialized
    EXPECT_EQ(Logged("CkovMAGIKAAXXX::get_all_system_values - ERROR! Connector or driver is not "
                     "initialized."),
              1u);
    drv->init();
    ValueList sys = drv->get_all_system_values();
    EXPECT_TRUE(drv->OldArchive());
    EXPECT_EQ(Val(sys, 7, 47), "1");
    EXPECT_EQ(Val(sys, 7, 32), "-");
    EXPECT_EQ(Val(sys, 7, 34), "0012345");
}

// A day's chunk in every archive variant: the meter is positioned on the string
// that ends the chunk (10:00) and read back to the string of `from`.
TEST_F(MagikaDriverTest, HourlyArchiveWithSearch) {
    for (Variant variant : {Variant::kNew, Variant::kOld, Variant::kNewFixup}) {
        SCOPED_TRACE(static_cast<int>(variant));
        Open(variant);
        ValueList out;
        ASSERT_EQ(drv->get_arch_values(4, 1709546400, 1709629200, out), 0);
        EXPECT_EQ(NewCommands(), variant == Variant::kOld ? Cmds({5, 5, 11}, 25, 6, 8)
                                                          : Cmds({30, 30, 31}, 25, 6, 8));
        EXPECT_EQ(sim->FindDates(), (std::vector<std::vector<int>>{{5, 3, 24, 10}}));
        // 25 strings read, those of [from, to] handed on.
        const auto times = Times(out);
        ASSERT_EQ(times.size(), 24u);
        EXPECT_EQ(*times.begin(), 1709546400);
        EXPECT_EQ(*times.rbegin(), 1709629200);
        // The string of 2024-03-05 09:00, worked out by hand from the meter's data.
        ValueList v;
        std::copy_if(out.begin(), out.end(), std::back_inserter(v),
                     [](const ValueRecord& r) { return r.timestamp == 1709629200; });
        // The template fields with a catalogue parameter; the old format has no
        // volumes and keeps pressures as read.
        const bool isOld = variant == Variant::kOld;
        EXPECT_EQ(v.size(), isOld ? 8u : 11u);
        EXPECT_EQ(Val(v, 4, 19), isOld ? "-" : "15.875");
        EXPECT_NEAR(std::stod(Val(v, 4, 9)), isOld ? 6.25 : 6.25 / 0.967836, 1e-4);
        const std::pair<int, const char*> want[] = {{6, "74.5"},    {7, "42.25"}, {22, "15.625"},
                                                    {17, "0.5625"}, {18, "0.9"},  {14, "0"}};
        for (const auto& [index, value] : want) EXPECT_EQ(Val(v, 4, index), value) << index;
    }
}

TEST_F(MagikaDriverTest, HourlyArchiveWithoutSearchAndEveryFailureEndsTheRead) {
    Open();  // the meter clock is now known: 14:30
    ValueList out;
    ASSERT_EQ(drv->get_arch_values(4, 1709643600, 1709643600, out), 0);  // 13:00
    EXPECT_EQ(NewCommands(), Cmds({30}, 2, 6, 8));                       // 14:00, 13:00
    EXPECT_EQ(out.size(), 11u);
    EXPECT_EQ(Times(out), std::set<int>{1709643600});
    EXPECT_TRUE(sim->FindDates().empty());
    EXPECT_EQ(Logged("CkovMAGIKAAXXX::get_arch_values - No need to find arch string"), 1u);

    // "Not found" ends the read with -1, after the end command.
    sim->ForceFindResult(3);
    out.clear();
    EXPECT_EQ(drv->get_arch_values(4, 1709546400, 1709629200, out), -1);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(NewCommands(), (std::vector<uint16_t>{30, 30, 31, 8}));
    EXPECT_EQ(Logged("CkovMAGIKAAXXX::get_arch_values - ERROR! Could not find arch string for date "
                     "1709632800."),
              1u);

    // A date before the archive's first string is not found either.
    sim->ForceFindResult(0);
    sim->SetDepth(24, 10);
    EXPECT_EQ(drv->get_arch_values(5, 1706745600, 1707523200, out), -1);  // 02-01 .. 02-10
    EXPECT_EQ(NewCommands(), (std::vector<uint16_t>{20, 20, 21, 4}));
    EXPECT_EQ(drv->get_arch_values(6, 0, 0, out), 0);  // other kinds: nothing asked
    EXPECT_TRUE(NewCommands().empty());

    // No answer to the template selection: a link failure, so the call fails
    // as a whole after the end command.
    sim->InjectNext(kov::sim::FaultKind::Silence);
    EXPECT_THROW(drv->get_arch_values(4, 1709546400, 1709629200, out), CDisconnectException);
    EXPECT_EQ(NewCommands(), (std::vector<uint16_t>{30, 8}));
    EXPECT_EQ(Logged("CkovMAGIKAAXXX::get_arch_values - ERROR! Could not get arch template."), 1u);
    // The meter runs out of strings before `from`: what it had is handed on.
    sim->SetDepth(9, 400);  // 06:00 .. 14:00
    sim->SetFindBusyPolls(5);
    ASSERT_EQ(drv->get_arch_values(4, 1709546400, 1709629200, out), -1);
    EXPECT_EQ(NewCommands(), Cmds({30, 30, 31}, 6, 6, 8));  // 10:00 .. 06:00, then size 0
    EXPECT_EQ(Logged("CkovMAGIKAAXXX::get_arch_values - ERROR! Could not read arch string size."),
              1u);
    EXPECT_EQ(Times(out), (std::set<int>{1709618400, 1709622000, 1709625600, 1709629200}));
}

TEST_F(MagikaDriverTest, DailyArchiveNewAndOldFormat) {
    for (Variant variant : {Variant::kNew, Variant::kOld}) {
        SCOPED_TRACE(variant == Variant::kNew ? "new" : "old");
        Open(variant);
        ValueList out;
        ASSERT_EQ(drv->get_arch_values(5, 1709251200, 1709424000, out), 0);  // 03-01 .. 03-03
        EXPECT_EQ(NewCommands(), variant == Variant::kNew ? Cmds({20, 20, 21}, 4, 2, 4)
                                                          : Cmds({1, 1, 10}, 4, 2, 4));
        EXPECT_EQ(sim->FindDates().back(), (std::vector<int>{4, 3, 24, 24}));
        std::map<std::pair<int, int>, std::string> v;  // (kind, index) of 2024-03-03
        for (const auto& r : out)
            if (r.timestamp == 1709424000 &&
                !v.emplace(std::make_pair(r.kind, r.index), r.value).second)
                ADD_FAILURE() << "twice: " << r.kind << "/" << r.index;
        // 03-04 read, not handed on
        EXPECT_EQ(Times(out), (std::set<int>{1709251200, 1709337600, 1709424000}));
        // sTNORM (2, 18): 1230400 min; old: only the first sTNORM.
        const std::map<std::pair<int, int>, std::string> want = {
            {{5, 6}, "67.5"}, {{5, 22}, "222.5"},    {{5, 17}, "12.125"}, {{5, 18}, "24"},
            {{5, 14}, "0"},   {{2, 18}, "20506.67"}, {{2, 22}, "1392.5"}, {{2, 17}, "696.25"}};
        for (const auto& [key, value] : want)
            EXPECT_EQ(v[key], value) << key.first << "/" << key.second;
    }
}

// Strings whose data cannot be read: a pass that meets one fails as a whole
// (nothing of it may be stored) after the end command; on the third pass at
// the same record the record counts as absent and the read goes on behind it,
// and a record given up on does not count again.
TEST_F(MagikaDriverTest, BrokenStringsFailThePassUntilSkipped) {
    Open();
    sim->BreakString(1709622000);  // 07:00
    sim->BreakString(1709611200);  // 04:00
    int passes = 0;
    ValueList out;
    for (; passes < 10; ++passes) {
        out.clear();
        try {
            ASSERT_EQ(drv->get_arch_values(4, 1709546400, 1709629200, out), 0);
            break;
        } catch (const CDisconnectException&) {
            EXPECT_EQ(LastNewCommand(), 8);
        }
    }
    EXPECT_EQ(passes, 4);  // four failed passes, the fifth gets through
    EXPECT_EQ(LastNewCommand(), 8);
    EXPECT_EQ(Logged("CkovMAGIKAAXXX::get_arch_values - Archive record 1709622000 failed on three "
                     "passes, treated as absent."),
              1u);
    EXPECT_EQ(Logged("failed on three passes, treated as absent."), 2u);
    const auto times = Times(out);
    EXPECT_EQ(times.size(), 22u);  // the day's 24 strings but the broken ones
    EXPECT_EQ(times.count(1709622000) + times.count(1709611200), 0u);
    EXPECT_EQ(times.count(1709607600) + times.count(1709618400), 2u);  // 03:00, 06:00
    EXPECT_EQ(*times.begin(), 1709546400);
    EXPECT_EQ(sim->FindDates().back(), (std::vector<int>{5, 3, 24, 3}));
    out.clear();
    EXPECT_EQ(drv->get_arch_values(4, 1709546400, 1709629200, out), 0);
}

TEST_F(MagikaDriverTest, LinkFaultsRetryTheClockAndSkipCurrentRows) {
    Open();
    // One silent answer: the second clock attempt succeeds.
    sim->InjectNext(kov::sim::FaultKind::Silence);
    ValueList cur = drv->get_all_curtime_cur_integ_values();
    EXPECT_EQ(cur.size(), 21u);
    // A corrupt answer to the first value row: that row is left out.
    sim->InjectNext(kov::sim::FaultKind::None);
    sim->InjectNext(kov::sim::FaultKind::BadCheck);
    cur = drv->get_all_curtime_cur_integ_values();
    EXPECT_EQ(cur.size(), 20u);
    EXPECT_EQ(Val(cur, 0, 0), "-");
    EXPECT_EQ(Logged("CkovMAGIKAAXXX::get_all_curtime_cur_integ_values - ERROR! Could not read "
                     "reg_addr 100."),
              1u);
    // Three failed clock reads: the meter counts as disconnected.
    sim->InjectNext(kov::sim::FaultKind::Silence, 3);
    EXPECT_THROW(drv->get_all_curtime_cur_integ_values(), CDisconnectException);
    sim->InjectNext(kov::sim::FaultKind::WrongAddress, 3);
    EXPECT_THROW(drv->init(), CDisconnectException);
    EXPECT_EQ(Logged("CkovMAGIKAAXXX::init - Could not read MDateTime. Ckov disconnected!"), 1u);
}

TEST_F(MagikaDriverTest, NonModbusConnectorLeavesTheDriverWithoutLink) {
    MarkLog();
    CRSConnector uart(ParamMap{{"name", link.SlavePath()}});
    CkovMAGIKAAXXX d;
    d.ApplyPortOptions({{"manufacturer", "magika-axxx"}});
    d.SaveConnector(&uart);
    EXPECT_EQ(Logged("CkovMAGIKAAXXX::SaveConnector - BAD CAST"), 1u);
    EXPECT_THROW(d.init(), CDisconnectException);
    EXPECT_TRUE(d.get_all_curtime_cur_integ_values().empty());
    EXPECT_TRUE(d.get_all_system_values().empty());
    ArchiveBounds b;
    EXPECT_FALSE(d.GetTimestamps(b));
    ValueList out;
    EXPECT_EQ(d.get_arch_values(4, 0, 0, out), -1);
    for (const char* op : {"get_all_curtime_cur_integ_values", "get_all_system_values",
                           "GetTimestamps", "get_arch_values"})
        EXPECT_EQ(Logged(std::string("CkovMAGIKAAXXX::") + op +
                         " - ERROR! Connector or driver is not initialized."),
                  1u)
            << op;
}

}  // namespace

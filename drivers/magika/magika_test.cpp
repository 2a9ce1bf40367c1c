#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <set>
#include <string>
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
struct UtcZone {
    UtcZone() {
        setenv("TZ", "UTC", 1);
        tzset();
    }
} utcZone;

constexpr time_t k20240305h14 = 1709647200;  // 2024-03-05 14:00 UTC
constexpr time_t k20240306h00 = 1709683200;
constexpr time_t k20240305h00 = 1709596800;

std::vector<uint8_t> Bytes(std::initializer_list<int> v) {
    std::vector<uint8_t> b;
    for (int x : v) b.push_back(static_cast<uint8_t>(x));
    return b;
}

void Append(std::vector<uint8_t>& b, std::initializer_list<int> v) {
    for (int x : v) b.push_back(static_cast<uint8_t>(x));
}

const ValueRecord* Find(const ValueList& l, int kind, int index) {
    for (const auto& r : l)
        if (r.kind == kind && r.index == index) return &r;
    return nullptr;
}

// ---- template lines, split and firmware fix-up ----

TEST(MagikaTemplate, LineNamesTypeAndIndex) {
    auto t = magika::ParseTemplateLine("8T 2.1");
    EXPECT_EQ(t.type, '8');
    EXPECT_EQ(t.name, "T1");
    t = magika::ParseTemplateLine("0Day");
    EXPECT_EQ(t.type, '0');
    EXPECT_EQ(t.name, "Day");
    t = magika::ParseTemplateLine("3SV 3.12\r");
    EXPECT_EQ(t.name, "SV12");
    t = magika::ParseTemplateLine("0Month\r");
    EXPECT_EQ(t.name, "Month");
}

TEST(MagikaTemplate, SplitDropsEmptyAndBlankLinesAndStopsAtNul) {
    const char text[] = "0Day\n\n \n0Month\r\n\r\n8T 2.1\n\0garbage\n";
    std::vector<uint8_t> b(text, text + sizeof text - 1);
    auto lines = magika::SplitTemplate(b);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "0Day");
    EXPECT_EQ(lines[1], "0Month");
    EXPECT_EQ(lines[2], "8T 2.1");
}

TEST(MagikaTemplate, FixupFirmwareRange) {
    EXPECT_TRUE(magika::NeedsTemplateFixup(0x1100));
    EXPECT_TRUE(magika::NeedsTemplateFixup(0x1415));
    EXPECT_FALSE(magika::NeedsTemplateFixup(0x1416));
    EXPECT_FALSE(magika::NeedsTemplateFixup(0x1015));
    EXPECT_FALSE(magika::NeedsTemplateFixup(0x1500));
    EXPECT_FALSE(magika::NeedsTemplateFixup(0x0000));
}

TEST(MagikaTemplate, FixupSwapsBeyond512AndExchangesMassNames) {
    std::string text = "uM pM uX Mu" + std::string(501, 'x');
    text += "MuMpbaX\nZ";  // 9 bytes: the lone last byte has no partner
    std::vector<uint8_t> b(text.begin(), text.end());
    magika::FixupTemplate(b);
    EXPECT_EQ(std::string(b.begin(), b.begin() + 11), "pM uM uX Mu");
    EXPECT_EQ(std::string(b.begin() + 512, b.end()), "pMuMab\nXZ");
}

// ---- new-format strings ----

TEST(MagikaNewFormat, EveryTypeCharacter) {
    std::vector<std::string> templ = {"0Day", "0Month", "0Year", "0Hour", "1a", "Cb", "2c", "3d",
                                      "4e",   "5f",     "6g",    "7h",    "8i", "9j", "Ak", "dl",
                                      "Em",   "Fn",     "Go",    "Hp",    "Iq", "0r"};
    magika::NewMap map;
    int idx = 100;
    for (const char* n : {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k", "l", "m", "n", "o",
                          "p", "q", "r"}) {
        map[n] = magika::NewField{idx, idx, 0, 4, n, "u", 1};
        ++idx;
    }
    std::vector<uint8_t> s = Bytes({5, 3, 24, 14});
    Append(s, {0x01, 0x02});                    // 1: 258
    Append(s, {0xFF, 0xFE});                    // C: 65534
    Append(s, {0x01, 0x00, 0x00});              // 2: 65536
    Append(s, {0x80, 0x00, 0x00, 0x01});        // 3: 2147483649
    Append(s, {0xFF});                          // 4: -1
    Append(s, {0xFF, 0xFE});                    // 5: -2
    Append(s, {0xFF, 0xFF, 0xFD});              // 6: -3
    Append(s, {0xFF, 0xFF, 0xFF, 0xFC});        // 7: -4
    Append(s, {0x41, 0x48, 0x00, 0x00});        // 8: 12.5
    Append(s, {0xC0, 0x02, 0, 0, 0, 0, 0, 0});  // 9: -2.25
    Append(s, {0x42});                          // A: BCD 42
    Append(s, {0x04, 0xD2});                    // D: 12.34
    Append(s, {0x00, 0x64});                    // E: 1
    Append(s, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    Append(s, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE});
    Append(s, {0x03, 'a', 'b', 'c', 0x00});  // H: length, 3 bytes, one more
    Append(s, {'x', 'y', 'z', 0x00});        // I: up to and with the NUL
    Append(s, {0x07});                       // 0: 7
    ValueList out;
    time_t t = 0;
    ASSERT_EQ(magika::ParseArchString2013(templ, s.data(), s.size(), map, true, out, t), 0);
    EXPECT_EQ(t, k20240305h14);
    std::map<std::string, std::string> got;
    for (const auto& r : out) {
        for (const auto& [name, f] : map)
            if (f.index == r.index) got[name] = r.value;
        EXPECT_EQ(r.timestamp, k20240305h14);
        EXPECT_EQ(r.kind, 4);
        EXPECT_EQ(r.quality, 192);
    }
    EXPECT_EQ(out.size(), 16u);  // H and I only advance
    EXPECT_EQ(got["a"], "258");
    EXPECT_EQ(got["b"], "65534");
    EXPECT_EQ(got["c"], "65536");
    EXPECT_EQ(got["d"], "2147483649");
    EXPECT_EQ(got["e"], "-1");
    EXPECT_EQ(got["f"], "-2");
    EXPECT_EQ(got["g"], "-3");
    EXPECT_EQ(got["h"], "-4");
    EXPECT_EQ(got["i"], "12.5");
    EXPECT_EQ(got["j"], "-2.25");
    EXPECT_EQ(got["k"], "42");
    EXPECT_EQ(got["l"], "12.34");
    EXPECT_EQ(got["m"], "1");
    EXPECT_EQ(got["n"], "18446744073709551615");
    EXPECT_EQ(got["o"], "-2");
    EXPECT_EQ(got.count("p"), 0u);
    EXPECT_EQ(got.count("q"), 0u);
    EXPECT_EQ(got["r"], "7");
    // Records go to the front: the last field of the string comes first.
    EXPECT_EQ(out.front().value, "7");
}

TEST(MagikaNewFormat, FloatFieldNamedByIndexAndScales) {
    // The meter's own maps call the temperature "t1"; "T1" here checks the
    // naming of "8T 2.1" as a 4-byte float.
    magika::NewMap map = magika::BuildNewDailyMap();
    map["T1"] = magika::NewField{900, 6, 0, 5, "T1", "C", 1};
    map["Raw"] = magika::NewField{901, 25, 0, 5, "Raw", "", 0};  // scale 0: as read
    std::vector<std::string> templ = {"0Day", "0Month", "0Year", "0Hour", "8T 2.1",
                                      "1Raw", "1Tn",    "8P1",   "0Err",  "3SQ"};
    std::vector<uint8_t> s = Bytes({5, 3, 24, 24});
    Append(s, {0x41, 0x48, 0x00, 0x00});  // T1 = 12.5
    Append(s, {0x00, 0x07});              // Raw = 7
    Append(s, {0x00, 0x5A});              // Tn = 90 min = 1.5 h
    Append(s, {0x40, 0x40, 0x00, 0x00});  // P1 = 3.0 / 0.967836
    Append(s, {0x87});                    // Err
    Append(s, {0x00, 0x00, 0x01, 0x00});  // SQ = 256 (a total: kind 2 daily)
    ValueList out;
    time_t t = 0;
    ASSERT_EQ(magika::ParseArchString2013(templ, s.data(), s.size(), map, false, out, t), 0);
    EXPECT_EQ(t, k20240305h00);  // daily: the hour is 0
    ASSERT_NE(Find(out, 5, 6), nullptr);
    EXPECT_EQ(Find(out, 5, 6)->value, "12.5");
    ASSERT_NE(Find(out, 5, 25), nullptr);
    EXPECT_EQ(Find(out, 5, 25)->value, "7");
    ASSERT_NE(Find(out, 5, 18), nullptr);
    EXPECT_EQ(Find(out, 5, 18)->value, "1.5");
    EXPECT_EQ(Find(out, 5, 18)->dim, "h");
    ASSERT_NE(Find(out, 5, 9), nullptr);
    EXPECT_NEAR(std::stod(Find(out, 5, 9)->value), 3.0 / 0.967836, 1e-5);
    EXPECT_EQ(Find(out, 5, 9)->dim, "at");
    ASSERT_NE(Find(out, 5, 14), nullptr);
    EXPECT_EQ(Find(out, 5, 14)->value, "33286");  // 0x4 | 0x202 | 0x8000
    ASSERT_NE(Find(out, 2, 17), nullptr);
    EXPECT_EQ(Find(out, 2, 17)->value, "256");

    // The same string in the hourly map: hour 24 is the next day's hour 0,
    // and totals go to kind 3.
    ValueList hourly;
    ASSERT_EQ(magika::ParseArchString2013(templ, s.data(), s.size(), magika::BuildNewHourlyMap(),
                                          true, hourly, t),
              0);
    EXPECT_EQ(t, k20240306h00);
    EXPECT_NE(Find(hourly, 3, 17), nullptr);
    EXPECT_NE(Find(hourly, 4, 18), nullptr);
}

TEST(MagikaNewFormat, RejectsUnknownTypeShortStringAndMissingDate) {
    const auto map = magika::BuildNewHourlyMap();
    ValueList out;
    time_t t = 0;
    auto s = Bytes({5, 3, 24, 14, 1, 2});
    EXPECT_EQ(magika::ParseArchString2013({"0Day", "0Month", "0Year", "0Hour", "BQ"}, s.data(),
                                          s.size(), map, true, out, t),
              -1);
    EXPECT_EQ(magika::ParseArchString2013({"0Day", "0Month", "0Year", "0Hour", "3Q"}, s.data(),
                                          s.size(), map, true, out, t),
              -1);
    EXPECT_EQ(magika::ParseArchString2013({"1Q"}, s.data(), s.size(), map, true, out, t), -1);
    EXPECT_EQ(magika::ParseArchString2013({"0Day"}, s.data(), 3, map, true, out, t), -1);
    EXPECT_TRUE(out.empty());
}

// ---- old-format strings ----

TEST(MagikaOldFormat, DailyFieldsTypesAndSTnormRepetition) {
    const auto map = magika::BuildOldDailyMap();
    std::vector<std::string> templ = {"5DATE", "5HOUR",   "0TNORM",  "0ERRORCODE", "4T 3.1",
                                      "2XX",   "3sTNORM", "3sTNORM", "4sQ1"};
    std::vector<uint8_t> s = Bytes({5, 3, 24});  // DATE
    Append(s, {0});                              // HOUR
    Append(s, {0x00, 0x5A});                     // TNORM, type 1 daily: 90 min
    Append(s, {0x03});                           // ERRORCODE
    Append(s, {0x40, 0x40, 0x00, 0x00});         // T1 = 3
    Append(s, {1, 2, 3, 4});                     // unknown, type 2: skipped
    Append(s, {0x00, 0x00, 0x0E, 0x10});         // sTNORM = 3600 min
    Append(s, {0x00, 0x00, 0x00, 0x3C});         // sTNORMr: not stored
    Append(s, {0x41, 0x48, 0x00, 0x00});         // sQ1 = 12.5
    ValueList out;
    time_t t = 0;
    ASSERT_EQ(magika::ParseArchString(templ, s.data(), s.size(), map, false, out, t), 0);
    EXPECT_EQ(t, k20240305h00);
    ASSERT_EQ(out.size(), 5u);
    EXPECT_EQ(out.front().kind, 2);  // the last field first
    EXPECT_EQ(out.front().index, 17);
    EXPECT_EQ(out.front().value, "12.5");
    EXPECT_EQ(out.front().dim, "Gcal");
    ASSERT_NE(Find(out, 5, 18), nullptr);
    EXPECT_EQ(Find(out, 5, 18)->value, "1.5");
    EXPECT_EQ(Find(out, 5, 14)->value, "6");  // 0x4 | 0x2
    EXPECT_EQ(Find(out, 5, 6)->value, "3");
    ASSERT_NE(Find(out, 2, 18), nullptr);
    EXPECT_EQ(Find(out, 2, 18)->value, "60");  // the first sTNORM only
    EXPECT_EQ(Find(out, 2, 18)->dim, "min");
    for (const auto& r : out) EXPECT_EQ(r.timestamp, k20240305h00);
}

TEST(MagikaOldFormat, HourlyTimeFieldsAreOneByteAndHour24IsNextDay) {
    const auto map = magika::BuildOldHourlyMap();
    std::vector<std::string> templ = {"5DATE", "5HOUR", "1TNORM", "4M1", "4P3", "1ZZ"};
    std::vector<uint8_t> s = Bytes({5, 3, 24, 24});
    Append(s, {30});                      // TNORM: one byte in hourly strings
    Append(s, {0x40, 0x40, 0x00, 0x00});  // M1 = 3
    Append(s, {0x41, 0x48, 0x00, 0x00});  // P3: no catalogue parameter
    Append(s, {0x00, 0x01});              // unknown line of type 1
    ValueList out;
    time_t t = 0;
    ASSERT_EQ(magika::ParseArchString(templ, s.data(), s.size(), map, true, out, t), 0);
    EXPECT_EQ(t, k20240306h00);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(Find(out, 4, 18)->value, "0.5");
    EXPECT_EQ(Find(out, 4, 22)->value, "3");
    EXPECT_EQ(Find(out, 4, 22)->dim, "t/h");
    // A string cut short fails, and so does an unknown name with a type beyond 5.
    EXPECT_EQ(magika::ParseArchString(templ, s.data(), s.size() - 1, map, true, out, t), -1);
    EXPECT_EQ(
        magika::ParseArchString({"5DATE", "5HOUR", "9ZZ"}, s.data(), s.size(), map, true, out, t),
        -1);
}

// Hostile strings and templates: a parse either succeeds with a date or
// fails without handing on anything of the string.
TEST(MagikaParsers, RandomInputIsAllOrNothing) {
    const auto newMap = magika::BuildNewHourlyMap();
    const auto oldMap = magika::BuildOldDailyMap();
    const std::vector<std::string> names = {"Day",   "Month",  "Year",      "Hour", "t",
                                            "Q",     "Err",    "SQ",        "DATE", "HOUR",
                                            "TNORM", "sTNORM", "ERRORCODE", "x"};
    uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 8;
    };
    int parsed = 0;
    for (int round = 0; round < 4000; ++round) {
        std::vector<std::string> templ;
        const int lines = 1 + static_cast<int>(next() % 12);
        for (int i = 0; i < lines; ++i) {
            const char type = "0123456789ABCDEFGHIJZ5"[next() % 22];
            std::string line = type + names[next() % names.size()];
            if (next() % 4 == 0) line += " 3." + std::to_string(1 + next() % 3);
            templ.push_back(line);
        }
        if (round % 2 == 0) templ.insert(templ.begin(), {"0Day", "0Month", "0Year", "0Hour"});
        std::vector<uint8_t> bytes(next() % 64);
        for (auto& b : bytes) b = static_cast<uint8_t>(next());
        for (bool old : {false, true}) {
            ValueList out;
            time_t t = 0;
            const int rc = old ? magika::ParseArchString(templ, bytes.data(), bytes.size(), oldMap,
                                                         round % 3 == 0, out, t)
                               : magika::ParseArchString2013(templ, bytes.data(), bytes.size(),
                                                             newMap, round % 3 == 0, out, t);
            ASSERT_TRUE(rc == 0 || rc == -1);
            if (rc == -1) {
                EXPECT_TRUE(out.empty());
            } else {
                ++parsed;
                for (const auto& r : out) EXPECT_EQ(r.timestamp, static_cast<int>(t));
            }
        }
    }
    EXPECT_GT(parsed, 50);  // the walk does reach the good paths
}

TEST(MagikaStatus, BitMapping) {
    EXPECT_EQ(magika::MapStatus(0x00), 0x0u);
    EXPECT_EQ(magika::MapStatus(0x01), 0x4u);
    EXPECT_EQ(magika::MapStatus(0x02), 0x2u);
    EXPECT_EQ(magika::MapStatus(0x04), 0x200u);
    EXPECT_EQ(magika::MapStatus(0x06), 0x202u);
    EXPECT_EQ(magika::MapStatus(0x80), 0x8000u);
    EXPECT_EQ(magika::MapStatus(0x78), 0x0u);  // bits 3-6 carry nothing
}

TEST(MagikaMaps, NewHourlyKindsFollowTotalsFlag) {
    const auto h = magika::BuildNewHourlyMap();
    EXPECT_EQ(h.at("SQ").kind, 3);
    EXPECT_EQ(h.at("Q").kind, 4);
    const auto d = magika::BuildNewDailyMap();
    EXPECT_EQ(d.at("SQ").kind, 2);
    EXPECT_EQ(d.at("Q").kind, 5);
    EXPECT_FLOAT_EQ(d.at("P2").scale, 0.9678360f);
    const auto od = magika::BuildOldDailyMap();
    EXPECT_EQ(od.at("TNORM1").kind, 2);
    EXPECT_EQ(od.at("TMIN").type, 1);
    EXPECT_EQ(magika::BuildOldHourlyMap().at("TMIN").type, 0);
}

// ---- the driver against the simulated meter, through libmodbus over a pty ----

constexpr time_t kMeterNow = 1709649015;  // 2024-03-05 14:30:15 UTC

using kov::sim::LogFile;
using Variant = CMagikaMeterSim::Variant;

class MagikaDriverTest : public ::testing::Test {
protected:
    // Lines of the process's log holding text, written since Open().
    size_t Logged(const std::string& text) const {
        std::ifstream in(LogFile::Path());
        std::string line;
        size_t n = 0, i = 0;
        while (std::getline(in, line))
            if (i++ >= logStart && line.find(text) != std::string::npos) ++n;
        return n;
    }

    void Open(Variant variant = Variant::kNew, time_t now = kMeterNow) {
        logStart = 0;
        logStart = Logged("");
        sim = std::make_unique<CMagikaMeterSim>(link.MasterFd(), 5, variant);
        sim->SetClock([now] { return now; });
        sim->Start();
        conn = std::make_unique<CModbusConnectorItself>(
            ParamMap{{"protocol", "modbus"}, {"name", link.SlavePath()}});
        conn->SetTimeout(100);
        drv = std::make_unique<CkovMAGIKAAXXX>();
        drv->ApplyPortOptions({{"manufacturer", "magika-axxx"}, {"serial", "5"}});
        drv->SaveConnector(conn.get());
    }
    void TearDown() override {
        drv.reset();
        if (sim) sim->Stop();
    }
    // Commands written since the last call.
    std::vector<uint16_t> NewCommands() {
        auto all = sim->Commands();
        std::vector<uint16_t> fresh(all.begin() + static_cast<long>(seen), all.end());
        seen = all.size();
        return fresh;
    }
    static std::vector<uint16_t> Cmds(std::initializer_list<int> head, int nexts, int next,
                                      int end) {
        std::vector<uint16_t> v;
        for (int c : head) v.push_back(static_cast<uint16_t>(c));
        for (int i = 0; i < nexts; ++i) v.push_back(static_cast<uint16_t>(next));
        v.push_back(static_cast<uint16_t>(end));
        return v;
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
    Open();
    EXPECT_TRUE(drv->init());
    ValueList cur = drv->get_all_curtime_cur_integ_values();
    ASSERT_EQ(cur.size(), 21u);
    EXPECT_EQ(cur.front().kind, 7);
    EXPECT_EQ(cur.front().index, 45);
    EXPECT_EQ(cur.front().value, "1709649015");
    const std::map<std::pair<int, int>, std::pair<std::string, std::string>> want = {
        {{0, 0}, {"12.5", "m3/h"}},      {{0, 1}, {"2.25", "m3/h"}},   {{0, 2}, {"0.5", "m3/h"}},
        {{0, 3}, {"11.75", "t/h"}},      {{0, 4}, {"10.25", "t/h"}},   {{0, 5}, {"0", "t/h"}},
        {{0, 6}, {"75.5", "C"}},         {{0, 7}, {"45.25", "C"}},     {{0, 8}, {"5", "C"}},
        {{0, 9}, {"6.5", "atm"}},        {{0, 10}, {"4.25", "atm"}},   {{0, 11}, {"0", "atm"}},
        {{1, 22}, {"123456.5", "t"}},    {{1, 23}, {"120000.2", "t"}}, {{1, 24}, {"0", "t"}},
        {{1, 17}, {"2345.125", "Gcal"}}, {{1, 18}, {"1500", "h"}},     {{1, 19}, {"54321.5", "m3"}},
        {{1, 20}, {"50000.75", "m3"}},   {{1, 21}, {"0", "m3"}}};
    for (const auto& [key, v] : want) {
        const ValueRecord* r = Find(cur, key.first, key.second);
        ASSERT_NE(r, nullptr) << key.first << "/" << key.second;
        EXPECT_EQ(r->value, v.first) << key.first << "/" << key.second;
        EXPECT_EQ(r->dim, v.second);
        EXPECT_EQ(r->quality, 192);
    }

    ValueList sys = drv->get_all_system_values();
    EXPECT_FALSE(drv->OldArchive());
    ASSERT_NE(Find(sys, 7, 32), nullptr);
    ASSERT_NE(Find(sys, 7, 47), nullptr);
    ASSERT_NE(Find(sys, 7, 34), nullptr);
    EXPECT_EQ(Find(sys, 7, 32)->value, "MAGIKA A2");
    EXPECT_EQ(Find(sys, 7, 47)->value, "2");
    EXPECT_EQ(Find(sys, 7, 34)->value, "0012345");
    EXPECT_EQ(Find(sys, 7, 34)->dim, "string");

    ArchiveBounds b;
    ASSERT_TRUE(drv->GetTimestamps(b));
    EXPECT_EQ(b.meterClock, kMeterNow);
    EXPECT_EQ(b.hourlyLower, 1709647200 - 3200400);
    EXPECT_EQ(b.dailyLower, 1709596800 - 31968000);
}

TEST_F(MagikaDriverTest, OldFirmwareAndHour24Clock) {
    Open(Variant::kOld, 1709683800);  // 2024-03-06 00:10, shown as 2024-03-05 24:10
    sim->SetClockHour24(true);
    EXPECT_EQ(drv->ReadCurDevTime(), 1709683800);
    const char* notInit =
        "CkovMAGIKAAXXX::get_all_system_values - ERROR! Connector or driver is not initialized.";
    const size_t before = LogFile::Count(notInit);
    EXPECT_TRUE(drv->get_all_system_values().empty());  // before init: not initialized
    EXPECT_EQ(LogFile::Count(notInit) - before, 1u);
    drv->init();
    ValueList sys = drv->get_all_system_values();
    EXPECT_TRUE(drv->OldArchive());
    ASSERT_NE(Find(sys, 7, 47), nullptr);
    EXPECT_EQ(Find(sys, 7, 47)->value, "1");
    EXPECT_EQ(Find(sys, 7, 32), nullptr);
    ASSERT_NE(Find(sys, 7, 34), nullptr);
    EXPECT_EQ(Find(sys, 7, 34)->value, "0012345");
}

TEST_F(MagikaDriverTest, HourlyArchiveWithSearch) {
    Open();
    drv->init();
    ValueList out;
    // A day's chunk: the meter is positioned on the string that ends the chunk
    // (10:00) and read back to the string of `from`.
    ASSERT_EQ(drv->get_arch_values(4, 1709546400, 1709629200, out), 0);
    EXPECT_EQ(NewCommands(), Cmds({30, 30, 31}, 25, 6, 8));
    ASSERT_EQ(sim->FindDates().size(), 1u);
    EXPECT_EQ(sim->FindDates()[0], (std::vector<int>{5, 3, 24, 10}));
    std::map<int, int> perTime;
    for (const auto& r : out) perTime[r.timestamp]++;
    // 25 strings read, those of [from, to] handed on.
    ASSERT_EQ(perTime.size(), 24u);
    EXPECT_EQ(perTime.begin()->first, 1709546400);
    EXPECT_EQ(perTime.rbegin()->first, 1709629200);
    // The string of 2024-03-05 09:00, worked out by hand from the meter's data.
    std::map<int, std::string> v;
    for (const auto& r : out)
        if (r.timestamp == 1709629200) {
            EXPECT_EQ(r.kind, 4);
            v[r.index] = r.value;
        }
    EXPECT_EQ(v[6], "74.5");
    EXPECT_EQ(v[7], "42.25");
    EXPECT_NEAR(std::stod(v[9]), 6.25 / 0.967836, 1e-4);
    EXPECT_EQ(v[19], "15.875");
    EXPECT_EQ(v[22], "15.625");
    EXPECT_EQ(v[17], "0.5625");
    EXPECT_EQ(v[18], "0.9");
    EXPECT_EQ(v[14], "0");
    EXPECT_EQ(v.size(), 11u);  // the template fields with a catalogue parameter
}

TEST_F(MagikaDriverTest, HourlyArchiveWithoutSearchAndFindFailures) {
    Open();
    drv->init();  // the meter clock is now known: 14:30
    ValueList out;
    ASSERT_EQ(drv->get_arch_values(4, 1709643600, 1709643600, out), 0);  // 13:00
    EXPECT_EQ(NewCommands(), Cmds({30}, 2, 6, 8));                       // 14:00, 13:00
    EXPECT_EQ(out.size(), 11u);
    for (const auto& r : out) EXPECT_EQ(r.timestamp, 1709643600);
    EXPECT_TRUE(sim->FindDates().empty());
    EXPECT_EQ(Logged("CkovMAGIKAAXXX::get_arch_values - No need to find arch string"), 1u);

    // "Not found" ends the read with -1, after the end command.
    sim->ForceFindResult(3);
    ValueList none;
    EXPECT_EQ(drv->get_arch_values(4, 1709546400, 1709629200, none), -1);
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(NewCommands(), (std::vector<uint16_t>{30, 30, 31, 8}));
    EXPECT_EQ(Logged("CkovMAGIKAAXXX::get_arch_values - ERROR! Could not find arch string for date "
                     "1709632800."),
              1u);

    // A date before the archive's first string is not found either.
    sim->ForceFindResult(0);
    sim->SetDepth(24, 10);
    EXPECT_EQ(drv->get_arch_values(5, 1706745600, 1707523200, none), -1);  // 02-01 .. 02-10
    EXPECT_EQ(NewCommands(), (std::vector<uint16_t>{20, 20, 21, 4}));
    EXPECT_EQ(drv->get_arch_values(6, 0, 0, none), 0);  // other kinds: nothing asked
    EXPECT_TRUE(NewCommands().empty());
}

TEST_F(MagikaDriverTest, DailyArchiveNewAndOldFormat) {
    for (Variant variant : {Variant::kNew, Variant::kOld}) {
        SCOPED_TRACE(variant == Variant::kNew ? "new" : "old");
        if (sim) sim->Stop();
        Open(variant);
        seen = 0;
        drv->init();
        drv->get_all_system_values();
        ValueList out;
        ASSERT_EQ(drv->get_arch_values(5, 1709251200, 1709424000, out), 0);  // 03-01 .. 03-03
        if (variant == Variant::kNew)
            EXPECT_EQ(NewCommands(), Cmds({20, 20, 21}, 4, 2, 4));
        else
            EXPECT_EQ(NewCommands(), Cmds({1, 1, 10}, 4, 2, 4));
        EXPECT_EQ(sim->FindDates().back(), (std::vector<int>{4, 3, 24, 24}));
        std::map<std::pair<int, int>, std::string> v;  // (kind, index) of 2024-03-03
        std::set<int> times;
        for (const auto& r : out) {
            times.insert(r.timestamp);
            if (r.timestamp == 1709424000) {
                EXPECT_TRUE(v.emplace(std::make_pair(r.kind, r.index), r.value).second)
                    << "twice: " << r.kind << "/" << r.index;
            }
        }
        EXPECT_EQ(times, (std::set<int>{1709251200, 1709337600,
                                        1709424000}));  // 03-04 read, not handed on
        EXPECT_EQ((v[{5, 6}]), "67.5");
        EXPECT_EQ((v[{5, 22}]), "222.5");
        EXPECT_EQ((v[{5, 17}]), "12.125");
        EXPECT_EQ((v[{5, 18}]), "24");
        EXPECT_EQ((v[{5, 14}]), "0");
        EXPECT_EQ((v[{2, 18}]), "20506.67");  // 1230400 min; old: only the first sTNORM
        EXPECT_EQ((v[{2, 22}]), "1392.5");
        EXPECT_EQ((v[{2, 17}]), "696.25");
    }
}

TEST_F(MagikaDriverTest, OldHourlyAndScrambledTemplate) {
    for (Variant variant : {Variant::kOld, Variant::kNewFixup}) {
        if (sim) sim->Stop();
        Open(variant);
        seen = 0;
        drv->init();
        drv->get_all_system_values();
        ValueList out;
        ASSERT_EQ(drv->get_arch_values(4, 1709625600, 1709629200, out), 0);  // 08:00 .. 09:00
        EXPECT_EQ(NewCommands(), variant == Variant::kOld ? Cmds({5, 5, 11}, 3, 6, 8)
                                                          : Cmds({30, 30, 31}, 3, 6, 8));
        std::map<int, std::string> v;
        for (const auto& r : out)
            if (r.timestamp == 1709629200) v[r.index] = r.value;
        EXPECT_EQ(v[6], "74.5");
        EXPECT_EQ(v[22], "15.625");
        EXPECT_EQ(v[17], "0.5625");
        EXPECT_EQ(v[18], "0.9");
    }
}

// A string whose data cannot be read: the call fails as a whole (nothing of
// it may be stored), twice; on the third pass at the same record the record
// counts as absent and the read goes on behind it.
TEST_F(MagikaDriverTest, BrokenStringFailsThePassUntilSkipped) {
    Open();
    drv->init();
    sim->BreakString(1709622000);  // 2024-03-05 07:00
    for (int pass = 0; pass < 2; ++pass) {
        ValueList out;
        EXPECT_THROW(drv->get_arch_values(4, 1709546400, 1709629200, out), CDisconnectException);
        const auto cmds = NewCommands();
        ASSERT_FALSE(cmds.empty());
        EXPECT_EQ(cmds.back(), 8);  // the end command on this path too
    }
    ValueList out;
    ASSERT_EQ(drv->get_arch_values(4, 1709546400, 1709629200, out), 0);
    EXPECT_EQ(Logged("CkovMAGIKAAXXX::get_arch_values - Archive record 1709622000 failed on three "
                     "passes, treated as absent."),
              1u);
    std::set<int> times;
    for (const auto& r : out) times.insert(r.timestamp);
    EXPECT_EQ(times.size(), 23u);  // the day's 24 strings but the broken one
    EXPECT_EQ(times.count(1709622000), 0u);
    EXPECT_EQ(times.count(1709618400), 1u);
    EXPECT_EQ(*times.begin(), 1709546400);
    EXPECT_EQ(sim->FindDates().back(), (std::vector<int>{5, 3, 24, 6}));
    EXPECT_EQ(NewCommands().back(), 8);
}

// Two broken strings in one range: each is given up on after its three
// passes, and the one given up first does not count again.
TEST_F(MagikaDriverTest, TwoBrokenStringsCostFivePasses) {
    Open();
    drv->init();
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
            EXPECT_EQ(NewCommands().back(), 8);
        }
    }
    EXPECT_EQ(passes, 4);  // four failed passes, the fifth gets through
    std::set<int> times;
    for (const auto& r : out) times.insert(r.timestamp);
    EXPECT_EQ(times.size(), 22u);
    EXPECT_EQ(times.count(1709622000) + times.count(1709611200), 0u);
    // Once given up on, a record no longer stops a read.
    out.clear();
    EXPECT_EQ(drv->get_arch_values(4, 1709546400, 1709629200, out), 0);
}

TEST_F(MagikaDriverTest, LinkFaultsRetryTheClockAndSkipCurrentRows) {
    Open();
    drv->init();
    // One silent answer: the second clock attempt succeeds.
    sim->InjectNext(kov::sim::FaultKind::Silence);
    ValueList cur = drv->get_all_curtime_cur_integ_values();
    EXPECT_EQ(cur.size(), 21u);
    // A corrupt answer to the first value row: that row is left out.
    sim->InjectNext(kov::sim::FaultKind::None);
    sim->InjectNext(kov::sim::FaultKind::BadCheck);
    cur = drv->get_all_curtime_cur_integ_values();
    EXPECT_EQ(cur.size(), 20u);
    EXPECT_EQ(Find(cur, 0, 0), nullptr);
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
    LogFile::Path();
    const char* const ops[] = {"get_all_curtime_cur_integ_values", "get_all_system_values",
                               "GetTimestamps", "get_arch_values"};
    auto notInit = [](const char* op) {
        return LogFile::Count(std::string("CkovMAGIKAAXXX::") + op +
                              " - ERROR! Connector or driver is not initialized.");
    };
    std::map<std::string, size_t> before;
    for (const char* op : ops) before[op] = notInit(op);
    const size_t badCasts = LogFile::Count("CkovMAGIKAAXXX::SaveConnector - BAD CAST");
    CRSConnector uart(ParamMap{{"name", link.SlavePath()}});
    CkovMAGIKAAXXX d;
    d.ApplyPortOptions({{"manufacturer", "magika-axxx"}});
    d.SaveConnector(&uart);
    EXPECT_EQ(LogFile::Count("CkovMAGIKAAXXX::SaveConnector - BAD CAST") - badCasts, 1u);
    EXPECT_THROW(d.init(), CDisconnectException);
    EXPECT_TRUE(d.get_all_curtime_cur_integ_values().empty());
    EXPECT_TRUE(d.get_all_system_values().empty());
    ArchiveBounds b;
    EXPECT_FALSE(d.GetTimestamps(b));
    ValueList out;
    EXPECT_EQ(d.get_arch_values(4, 0, 0, out), -1);
    for (const char* op : ops) EXPECT_EQ(notInit(op) - before[op], 1u) << op;
}

TEST_F(MagikaDriverTest, TemplateAndSizeFailuresEndTheReadWithTheEndCommand) {
    Open();
    drv->init();
    seen = sim->Commands().size();
    ValueList out;
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
    std::set<int> times;
    for (const auto& r : out) times.insert(r.timestamp);
    EXPECT_EQ(times, (std::set<int>{1709618400, 1709622000, 1709625600, 1709629200}));
}

}  // namespace

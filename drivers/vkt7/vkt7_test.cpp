// The VKT-7 link layer and driver against the simulated meter, over a
// pseudo-terminal and the real UART connector.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>
#include <tuple>

#include "drivers/base/clock.h"
#include "drivers/common/crc16.h"
#include "drivers/vkt7/vkt7_driver.h"
#include "drivers/vkt7/vkt7_link.h"
#include "drivers/vkt7/vkt7_meter_sim.h"
#include "sim/pty_link.h"
#include "sim/test_support.h"
#include "transport/rs_connector.h"

using kov::sim::Bytes;
using kov::sim::CVKT7MeterSim;
using kov::sim::FaultKind;
using kov::sim::LogFile;

namespace {

// A simulated VKT-7 that answers from a script first (replies given with their CRC).
struct ScriptedVKT7 : CVKT7MeterSim {
    using CVKT7MeterSim::CVKT7MeterSim;
    ~ScriptedVKT7() override { Stop(); }
    bool Handle(const Bytes& request, Bytes& reply) override {
        std::lock_guard<std::mutex> l(m);
        if (script.empty()) return CVKT7MeterSim::Handle(request, reply);
        reply = script.front();
        script.pop_front();
        return true;
    }
    void Push(const Bytes& reply) {
        std::lock_guard<std::mutex> l(m);
        script.push_back(reply);
    }
    std::mutex m;
    std::deque<Bytes> script;
};

// 2026-04-03 12:30 local time.
const time_t kT0 = CVKT7MeterSim::LocalDate(3, 4, 26, 12, 30, 0);
const char kJournal[] = "/mnt/storage/vkt7.debug.log";
const char kTrace[] = "/mnt/storage/vkt7log.log";

struct Rig {
    Rig() : clock(kT0, true), meter(link.MasterFd()), conn(ParamMap{{"name", link.SlavePath()}}) {
        LogFile::Path();
        kov::SetClock(&clock);
        conn.SetTimeoutForTest(300);
        meter.SetFixedTime(kT0);
        meter.Start();
    }
    ~Rig() {
        meter.Stop();
        kov::SetClock(nullptr);
    }
    kov::sim::TestRoot root;
    kov::TestClock clock;
    kov::sim::PtyLink link;
    ScriptedVKT7 meter;
    CRSConnector conn;
};

bool Contains(const std::string& text, const std::string& what) {
    return text.find(what) != std::string::npos;
}

// ---------------------------------------------------------------- link

// Hand-worked replies (CRC-16/MODBUS worked out apart from the code under test),
// each answering the "init_2" frame.
TEST(VKT7Link, ReplyTableAndInit2Crc) {
    const struct {
        Bytes reply;
        bool tolerate;
        int length, lastError;  // length -1: CDisconnectException
    } cases[] = {
        {{0x00, 0x10, 0x3F, 0xFD, 0x00, 0x00, 0x5C, 0x3C}, false, 0x3F + 3, 0},  // ack: 3 + 5
        {{0x00, 0x03, 0x00, 0x71, 0x30}, false, 3, 0},                           // byte count 0
        {{0x00, 0x03, 0x04, 0x01, 0x02, 0x03, 0x04, 0x4B, 0xFC}, false, 7, 0},
        {{0x00, 0x83, 0x03, 0x00, 0xF1, 0x3C}, true, 0, 3},
        {{0x00, 0x83, 0x03, 0x00, 0xF1, 0x3C}, false, -1, 0},
        {{0x00, 0x90, 0x02, 0x00, 0x01, 0x69}, true, 0, 2},
        {{0x00, 0x04, 0x00, 0x00, 0x00}, false, -1, 0},                          // unknown function
        {{0x5A, 0xA5, 0x00, 0x03, 0x04, 0x01, 0x02, 0x03, 0x04, 0x4B, 0xFC}, false, -1, 0},  // noise
        {{0x00, 0x03, 0x04, 0x01, 0x02, 0x03, 0x04, 0x4C, 0xFC}, false, -1, 0},  // CRC low byte
        {{0x00, 0x03, 0x04, 0x01, 0x02, 0x03, 0x04, 0x4B, 0xFD}, true, -1, 0},   // CRC high byte
    };
    Rig rig;
    CVKT7LowLevelConnector ll(&rig.conn, 0);
    const size_t wrongType = LogFile::Count("CVKT7LowLevelConnector::SendString - WrongTypePacket");
    const size_t wrongCrc = LogFile::Count("CVKT7LowLevelConnector::SendString - WRONG CRC");
    const size_t logged = LogFile::Count("Code error 3. Type packet - 83. function 3");
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        rig.meter.Push(cases[i].reply);
        uint8_t f[10] = {0xFF, 0xFF, 0x00, 0x03, 0x3F, 0xFE, 0x00, 0x00};
        if (cases[i].length < 0) {
            EXPECT_THROW(ll.SendString(f, 10, "case", cases[i].tolerate), CDisconnectException);
        } else {
            CVKT7Buffer b = ll.SendString(f, 10, "case", cases[i].tolerate);
            EXPECT_EQ(b.Length(), cases[i].length);
            EXPECT_EQ(ll.LastError(), cases[i].lastError);
            if (cases[i].length == 7) {
                EXPECT_EQ(b[3], 0x01);  // the first data byte
            }
        }
        // Nothing of the reply is left behind for the next exchange.
        EXPECT_EQ(ll.SendString(f, 10, "next", false)[1], 0x03);
        EXPECT_EQ(ll.LastError(), 0);
    }
    EXPECT_EQ(rig.meter.Requests().at(0),
              Bytes({0xFF, 0xFF, 0x00, 0x03, 0x3F, 0xFE, 0x00, 0x00, 0x29, 0xFF}));
    EXPECT_EQ(LogFile::Count("CVKT7LowLevelConnector::SendString - WrongTypePacket"),
              wrongType + 2);  // unknown function, noise
    EXPECT_EQ(LogFile::Count("CVKT7LowLevelConnector::SendString - WRONG CRC"), wrongCrc + 2);
    EXPECT_EQ(LogFile::Count("Code error 3. Type packet - 83. function 3"), logged + 2);
    const std::string journal = rig.root.Read(kJournal);
    EXPECT_EQ(std::count(journal.begin(), journal.end(), '\n'), 3);
    const std::string line =
        " CVKT7LowLevelConnector::CheckResult - Error on return answer. Code error 3. Type packet "
        "- 131. function 3 Func name - case\n";
    EXPECT_TRUE(Contains(journal, line)) << journal;
    EXPECT_TRUE(
        Contains(journal, "Code error 2. Type packet - 144. function 2 Func name - case\n"));
}

// Damaged frames are never taken for good ones and are not retried; a lost
// reply is; a reply cut after 2 bytes every time gives up after three attempts.
TEST(VKT7Link, FaultsOnTheWire) {
    const std::pair<FaultKind, bool> cases[] = {
        {FaultKind::Echo, false},  // the echoed request starts 0xFF 0xFF: no reply type
        {FaultKind::BadCheck, false},
        {FaultKind::WrongFunction, false},  // outside the reply table, or its CRC no longer fits
        {FaultKind::Delay, true},           // within the port's timeout
        {FaultKind::WrongAddress, true},    // the address is not checked by this protocol
        {FaultKind::Silence, true},         // resent once
    };
    Rig rig;
    kov::sim::FaultPlan plan;
    plan.delayMs = 100;
    rig.meter.SetFaults(plan);
    CVKT7LowLevelConnector ll(&rig.conn, 0);
    uint8_t f[10] = {0xFF, 0xFF, 0x00, 0x03, 0x3F, 0xF9, 0x00, 0x00};
    for (const auto& [kind, ok] : cases) {
        SCOPED_TRACE(kov::sim::FaultName(kind));
        const uint64_t sent = rig.meter.RequestCount();
        rig.meter.InjectNext(kind);
        if (ok) {
            EXPECT_EQ(ll.SendString(f, 10, "GetSystemData", false)[2], 16);
        } else {
            EXPECT_THROW(ll.SendString(f, 10, "GetSystemData", false), CDisconnectException);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            rig.conn.FlushBuffers();
        }
        EXPECT_EQ(rig.meter.RequestCount() - sent, kind == FaultKind::Silence ? 2u : 1u);
    }

    plan.everyRequest = true;
    plan.everyKind = FaultKind::Truncate;
    plan.truncateTo = 2;
    rig.meter.SetFaults(plan);
    auto resends = [](int n) {
        return LogFile::Count("CVKT7LowLevelConnector::Resend " + std::to_string(n) + " time");
    };
    size_t before[4];
    for (int n = 0; n < 4; ++n) before[n] = resends(n);
    const uint64_t sent = rig.meter.RequestCount();
    EXPECT_THROW(ll.SendString(f, 10, "GetSystemData", false), CWrongPacketException);
    for (int n = 0; n < 4; ++n) EXPECT_EQ(resends(n), before[n] + (n < 3)) << n;
    const auto reqs = rig.meter.Requests();
    ASSERT_EQ(reqs.size(), sent + 3);
    EXPECT_EQ(reqs[sent], reqs[sent + 2]);  // every attempt sends the same bytes
}

TEST(VKT7Link, BufferBoundsNoPortAndFileLimits) {
    kov::sim::TestRoot root;
    const uint8_t data[4] = {1, 2, 3, 4};
    CVKT7Buffer b(data, 4);
    EXPECT_EQ(b[3], 4);
    EXPECT_THROW(b[4], CDisconnectException);
    b += 4;
    EXPECT_THROW(b += 1, CDisconnectException);
    const std::string journal = root.Read(kJournal);
    EXPECT_TRUE(Contains(journal,
                         "Code error 0. Type packet - 0. function 0 Func name - CVKT7Buffer []\n"));
    EXPECT_TRUE(Contains(journal, "Func name - CVKT7Buffer +=\n"));
    // A driver without a port fails like a short write.
    CVKT7LowLevelConnector ll(nullptr, 0);
    uint8_t f[10] = {0xFF, 0xFF, 0x00, 0x03, 0x3F, 0xFE, 0x00, 0x00};
    EXPECT_THROW(ll.SendString(f, 10, "init_2", false), CDisconnectException);

    // Both diagnostic files are removed once past 5 MiB.
    std::ofstream(root.File(kJournal)).close();
    std::filesystem::resize_file(root.File(kJournal), 5242800);
    CVKT7LowLevelConnector::WriteErrorLog(1, 2, 3, "below");  // ~5242900: past the limit
    EXPECT_FALSE(std::filesystem::exists(root.File(kJournal)));

    const uint8_t bytes[2] = {0xAB, 0x01};
    std::ofstream(root.File(kTrace)).close();
    std::filesystem::resize_file(root.File(kTrace), 5242880 - 17);
    CVKT7LowLevelConnector::WriteTrace(bytes, 2, "kept");  // exactly at the limit: stays
    EXPECT_EQ(std::filesystem::file_size(root.File(kTrace)), 5242880u);
    CVKT7LowLevelConnector::WriteTrace(bytes, 2, "x");
    EXPECT_FALSE(std::filesystem::exists(root.File(kTrace)));
}

// ---------------------------------------------------------------- driver

// The value table, type by type, as the meter documentation gives it.
struct TypeRow {
    int index, digitsTV1, digitsTV2;
    bool flow;
};
const std::map<int, TypeRow> kRows = {
    {0, {6, 57, 67, false}},   {1, {7, 57, 67, false}},   {2, {8, 57, 67, false}},
    {3, {19, 59, 69, false}},  {4, {20, 59, 69, false}},  {5, {21, 59, 69, false}},
    {6, {22, 60, 70, false}},  {7, {23, 60, 70, false}},  {9, {9, 61, 71, false}},
    {10, {10, 61, 71, false}}, {12, {17, 66, 76, false}}, {15, {30, 63, 73, false}},
    {17, {18, -1, -1, false}}, {18, {29, -1, -1, false}}, {19, {0, 58, 68, true}},
    {20, {1, 58, 68, true}},
};

std::string G(double v) {
    char b[64];
    snprintf(b, sizeof b, "%g", v);
    return b;
}

// What the meter's value of a type must read as.
std::string Expected(int type, uint8_t kind, time_t t, int size) {
    if (size >= 5) return "ERR";
    const TypeRow& row = kRows.at(type % 22);
    if (row.flow) return G(CVKT7MeterSim::Flow(static_cast<uint8_t>(type), kind, t));
    const int dt = type < 22 ? row.digitsTV1 : row.digitsTV2;
    return G(CVKT7MeterSim::Raw(static_cast<uint8_t>(type), kind, t, static_cast<uint16_t>(size)) /
             std::pow(10.0, dt < 0 ? 0 : CVKT7MeterSim::Digits(dt)));
}

const ValueRecord* Find(const ValueList& list, int index, int kind, int sys, int nth = 0) {
    for (const ValueRecord& r : list)
        if (r.index == index && r.kind == kind && r.sys == sys && nth-- == 0) return &r;
    return nullptr;
}

struct DriverRig : Rig {
    DriverRig() { drv.SaveConnector(&conn); }
    Ckov_VKT7 drv;
};

TEST(VKT7Driver, InitReadsBothPropertyFormats) {
    for (int format : {0, 1}) {
        SCOPED_TRACE(format);
        DriverRig rig;
        rig.meter.SetPropertyFormat(format);
        EXPECT_TRUE(rig.drv.init());
        EXPECT_EQ(rig.drv.PropertyFormat(), format);
        for (int t = 44; t <= 56; ++t) EXPECT_EQ(rig.drv.Units().at(t), CVKT7MeterSim::UnitText(t));
        for (int t = 57; t <= 76; ++t)
            EXPECT_EQ(rig.drv.FractionDigits().at(t), CVKT7MeterSim::Digits(t));
        EXPECT_EQ(rig.drv.ActiveList(), CVKT7MeterSim::DefaultActiveList());
        const auto reqs = rig.meter.Requests();
        ASSERT_GE(reqs.size(), 7u);
        EXPECT_EQ(
            Bytes(reqs[0].begin(), reqs[0].end() - 2),
            Bytes({0xFF, 0xFF, 0x00, 0x10, 0x3F, 0xFF, 0x00, 0x00, 0xCC, 0x80, 0x00, 0x00, 0x00}));
        EXPECT_EQ(reqs[3].size(), 209u);  // property list
        EXPECT_EQ(Bytes(reqs[3].begin() + 9, reqs[3].begin() + 15), Bytes({44, 0, 0, 0x40, 7, 0}));
        EXPECT_EQ(Bytes(reqs[3].begin() + 201, reqs[3].begin() + 207),
                  Bytes({76, 0, 0, 0x40, 1, 0}));
    }
}

Bytes Sealed(Bytes b) {
    const uint16_t c = kov::Crc16Modbus(b.data(), b.size());
    b.push_back(static_cast<uint8_t>(c));
    b.push_back(static_cast<uint8_t>(c >> 8));
    return b;
}

TEST(VKT7Driver, InitFailuresEndInDisconnect) {
    DriverRig rig;
    const Bytes ack = Sealed({0x00, 0x10, 0x3F, 0xFF, 0x00, 0x00});
    Bytes dialogue = {0x00, 0x03, 64};
    dialogue.resize(67, 0);
    dialogue[64] = 1;  // variable-length property texts
    for (const Bytes& reply : {ack, Sealed(dialogue), ack, ack}) rig.meter.Push(reply);
    rig.meter.Push(Sealed({0x00, 0x03, 4, 9, 0, 'G', 'J'}));  // a text of 9 bytes, 2 left
    EXPECT_THROW(rig.drv.init(), CDisconnectException);
    EXPECT_TRUE(Contains(rig.root.Read(kJournal), "Func name - MakeStringDiapason\n"));

    // An incomplete reply (three silent attempts) is a disconnect too.
    kov::sim::FaultPlan plan;
    plan.everyRequest = true;
    plan.everyKind = FaultKind::Silence;
    rig.meter.SetFaults(plan);
    const uint64_t sent = rig.meter.RequestCount();
    EXPECT_THROW(rig.drv.init(), CDisconnectException);
    EXPECT_EQ(rig.meter.RequestCount(), sent + 3);
}

TEST(VKT7Driver, ValueConverters) {
    kov::sim::TestRoot root;
    const uint8_t ten[4] = {0x00, 0x00, 0x20, 0x41};
    EXPECT_EQ(Ckov_VKT7::ParseToString(19, 4, CVKT7Buffer(ten, 4), 3), "10");  // digits unused
    const uint8_t big[4] = {0x60, 0xE3, 0x16, 0x00};                           // 1500000
    EXPECT_EQ(Ckov_VKT7::ParseToString(3, 4, CVKT7Buffer(big, 4), 0), "1.5e+06");
    const uint8_t small[2] = {0x39, 0x30};  // 12345
    EXPECT_EQ(Ckov_VKT7::ParseToString(0, 2, CVKT7Buffer(small, 2), 2), "123.45");
    EXPECT_EQ(Ckov_VKT7::ParseToString(0, 5, CVKT7Buffer(small, 2), 2), "ERR");
    const uint8_t half[2] = {0x20, 0x41};  // missing high bytes of a single are zero
    EXPECT_EQ(Ckov_VKT7::ParseToString(20, 2, CVKT7Buffer(half, 2), 0),
              G(std::ldexp(0x4120, -149)));
    EXPECT_THROW(Ckov_VKT7::ParseToString(0, 4, CVKT7Buffer(small, 2), 0), CDisconnectException);
    EXPECT_THROW(Ckov_VKT7::ParseToString(19, 4, CVKT7Buffer(small, 2), 0), CDisconnectException);
    EXPECT_TRUE(Contains(root.Read(kJournal), "Func name - GetLongAsString\n"));
    EXPECT_TRUE(Contains(root.Read(kJournal), "Func name - GetFloatAsString\n"));
}

TEST(VKT7Driver, CurrentAndIntegralValues) {
    DriverRig rig;
    // ER words: T1 error 1 sets bit 3, V1 error 2 bit 1, V2 error 1 bit 18; V1 of TV2 bit 1.
    for (auto [type, error] :
         std::map<uint8_t, uint8_t>{{0, 1}, {3, 2}, {4, 1}, {22, 0xFF}, {25, 2}})
        rig.meter.SetError(type, error);  // 0xFF of TV2's T1 is published as 0
    rig.meter.SetStatus(1, 4);            // no record
    rig.meter.SetStatus(6, 80);
    rig.meter.SetStatus(7, 99);  // unknown status: quality 0
    ASSERT_TRUE(rig.drv.init());
    rig.drv.get_all_system_values();
    const ValueList list = rig.drv.get_all_curtime_cur_integ_values();
    EXPECT_EQ(list.size(), 1u + 2 * 22);
    const ValueRecord* clock = Find(list, 45, 7, 0);
    ASSERT_NE(clock, nullptr);
    EXPECT_EQ(clock->value, std::to_string(kT0));
    EXPECT_EQ(clock->quality, 192);

    for (auto [kind, selector] : {std::pair{0, 4}, std::pair{1, 5}}) {
        SCOPED_TRACE(kind);
        for (const auto& [type, size] : CVKT7MeterSim::DefaultActiveList()) {
            if (type >= 44 || type == 1) continue;
            const ValueRecord* r = Find(list, kRows.at(type % 22).index, kind, type < 22 ? 0 : 1);
            ASSERT_NE(r, nullptr) << int(type);
            EXPECT_EQ(r->value, Expected(type, static_cast<uint8_t>(selector), kT0, size))
                << int(type);
            EXPECT_EQ(r->timestamp, clock->timestamp);
        }
        EXPECT_EQ(Find(list, 7, kind, 0), nullptr);  // status 4
        EXPECT_EQ(Find(list, 6, kind, 0)->error, 1);
        EXPECT_EQ(Find(list, 6, kind, 1)->error, 0);  // 0xFF
        EXPECT_EQ(Find(list, 22, kind, 0)->quality, 80);
        EXPECT_EQ(Find(list, 23, kind, 0)->quality, 0);
        EXPECT_EQ(Find(list, 19, kind, 0)->quality, 192);
        EXPECT_EQ(Find(list, 0, kind, 0)->dim, "m3/h");
        EXPECT_EQ(Find(list, 6, kind, 0)->dim, "GJ");
        // T3 of TV1 alone: copied to TV2.
        ASSERT_NE(Find(list, 8, kind, 1), nullptr);
        EXPECT_EQ(Find(list, 8, kind, 1)->value, Find(list, 8, kind, 0)->value);
        // Emergency flag of TV1.
        EXPECT_EQ(Find(list, 15, kind, 0)->value, ((kT0 / 3600 + 77) % 2) ? "1" : "0");
        EXPECT_EQ(Find(list, 14, kind, 0)->value,
                  std::to_string((1u << 3) | (1u << 1) | (1u << 18)));
        EXPECT_EQ(Find(list, 14, kind, 1)->value, std::to_string(1u << 1));
        EXPECT_EQ(Find(list, 14, kind, 1)->quality, 192);
    }
}

TEST(VKT7Driver, Type15TakesT3IndexAndLongValuesReadErr) {
    DriverRig rig;
    rig.meter.SetActiveList({{2, 2}, {15, 2}, {24, 2}, {5, 5}, {17, 4}, {82, 1}, {50, 1}});
    ASSERT_TRUE(rig.drv.init());
    EXPECT_EQ(rig.drv.T3Mode(), 2);  // 2 then 15: 1 then 0; then 24: 2
    EXPECT_EQ(Ckov_VKT7::CatalogueIndex(15), 8);
    EXPECT_EQ(Ckov_VKT7::CatalogueIndex(2), 30);
    const ValueList list = rig.drv.get_all_curtime_cur_integ_values();
    ASSERT_NE(Find(list, 8, 0, 0), nullptr);
    EXPECT_EQ(Find(list, 8, 0, 0)->value, Expected(15, 4, kT0, 2));
    ASSERT_NE(Find(list, 30, 0, 0), nullptr);
    EXPECT_EQ(Find(list, 30, 0, 0)->value, Expected(2, 4, kT0, 2));
    EXPECT_EQ(Find(list, 21, 0, 0)->value, "ERR");
    // T3 of TV2 is shared with TV1 in mode 2: after type 15's own record comes the copy.
    ASSERT_NE(Find(list, 8, 0, 0, 1), nullptr);
    EXPECT_EQ(Find(list, 8, 0, 0, 1)->value, Expected(24, 4, kT0, 2));
    EXPECT_EQ(Find(list, 18, 0, 0)->value, Expected(17, 4, kT0, 4));
    EXPECT_GE(LogFile::Count("Ckov_VKT7::parce45inWorkEXTERNAL - WRONG INDEX - 50"), 2u);

    // Without 15 or 37 the indexes swap back.
    rig.meter.SetActiveList({{2, 2}});
    ASSERT_TRUE(rig.drv.init());
    EXPECT_EQ(Ckov_VKT7::CatalogueIndex(15), 30);
    EXPECT_EQ(Ckov_VKT7::CatalogueIndex(2), 8);
    EXPECT_EQ(rig.drv.T3Mode(), 1);
}

TEST(VKT7Driver, SystemDataOldAndNewAndLimits) {
    DriverRig rig;
    rig.meter.SetSystemData(0, 0, 20, true);  // an old meter: short system data
    rig.meter.SetFlashBroken(true);
    ASSERT_TRUE(rig.drv.init());
    const size_t failed = LogFile::Count("Ckov_VKT7::GetLimitsData is failed");
    ValueList list = rig.drv.get_all_system_values();
    EXPECT_EQ(LogFile::Count("Ckov_VKT7::GetLimitsData is failed"), failed + 1);
    EXPECT_GE(LogFile::Count("it's old heat-meter. v < 1.5 length system data is 3"), 1u);
    EXPECT_EQ(rig.drv.ReportingDay(), 20);
    EXPECT_EQ(Find(list, 33, 7, 0)->value, "<1.5");
    EXPECT_EQ(Find(list, 38, 7, 0)->value, "0x0");
    EXPECT_EQ(list.size(), 4u);

    rig.meter.SetSystemData(0x26, 5, 25);
    rig.meter.SetFlashBroken(false);
    list = rig.drv.get_all_system_values();
    EXPECT_EQ(rig.drv.ReportingDay(), 25);
    EXPECT_EQ(Find(list, 31, 7, 0)->value, "ООО \"Теплоком\"");
    EXPECT_EQ(Find(list, 32, 7, 0)->value, "ВКТ-7");
    EXPECT_EQ(Find(list, 33, 7, 0)->value, "2.6");
    EXPECT_EQ(Find(list, 38, 7, 0)->value, "0x5");
    EXPECT_EQ(Find(list, 8, 7, 0)->value, "50");
    const std::tuple<int, int, const char*> limits[] = {
        {51, 0, "12.5"}, {53, 0, "0.25"},  {52, 0, "11.75"}, {54, 0, "0.5"},
        {51, 1, "8.5"},  {53, 1, "0.125"}, {52, 1, "7.25"},  {54, 1, "0.1"},  // from two pages
    };
    for (const auto& [index, sys, value] : limits)
        EXPECT_EQ(Find(list, index, 9, sys)->value, value) << index << " " << sys;
    EXPECT_EQ(list.size(), 13u);

    // Version 2.6 and older: the clock record comes from the bounds register.
    const size_t before = rig.meter.RequestCount();
    ValueList cur = rig.drv.get_all_curtime_cur_integ_values();
    EXPECT_EQ(rig.meter.Requests().at(before).at(5), 0xF6);
    EXPECT_EQ(Find(cur, 45, 7, 0)->value, std::to_string(kT0 - kT0 % 3600));
}

// Records of one archive time: every active type but the flags, plus two ER words.
void ExpectArchiveRecords(const ValueList& list, int kind, uint8_t selector, time_t t,
                          const std::vector<CVKT7MeterSim::Entry>& active) {
    SCOPED_TRACE(t);
    for (const auto& [type, size] : active) {
        if (type >= 44) continue;
        const int sys = type < 22 ? 0 : 1;
        const ValueRecord* r = nullptr;
        for (const ValueRecord& x : list)
            if (x.index == kRows.at(type % 22).index && x.kind == kind && x.sys == sys &&
                x.timestamp == t)
                r = &x;
        ASSERT_NE(r, nullptr) << int(type);
        std::string want = Expected(type, selector, t, size);
        if (kind == 2 && (type == 17 || type == 39))
            want = G(CVKT7MeterSim::Raw(type, selector, t, size) & 0xFFFF);  // counter flags masked
        EXPECT_EQ(r->value, want) << int(type);
    }
}

size_t CountAt(const ValueList& list, int kind, time_t t) {
    size_t n = 0;
    for (const ValueRecord& r : list) n += r.kind == kind && r.timestamp == t;
    return n;
}

TEST(VKT7Driver, BoundsAndHourlyArchiveSkipsDatesTheMeterHasNot) {
    DriverRig rig;
    rig.meter.SetArchiveDepth(48, 10);
    ASSERT_TRUE(rig.drv.init());
    const time_t lower = rig.meter.HourlyLower();
    ArchiveBounds b;
    ASSERT_TRUE(rig.drv.GetTimestamps(b));
    EXPECT_EQ(b.hourlyLower, lower);
    EXPECT_EQ(b.meterClock, kT0 - kT0 % 3600);
    EXPECT_EQ(b.dailyLower, rig.meter.DailyLower());
    rig.meter.SetBoundsWithDaily(false);  // only 8 data bytes
    ASSERT_TRUE(rig.drv.GetTimestamps(b));
    EXPECT_EQ(b.dailyLower, 0);

    const size_t noData = LogFile::Count("Ckov_VKT7::SendDataForArch3 - No data in arch to");
    ValueList out;
    EXPECT_EQ(rig.drv.get_arch_values(4, lower - 7200, lower + 3 * 3600, out), 0);
    EXPECT_EQ(LogFile::Count("Ckov_VKT7::SendDataForArch3 - No data in arch to"), noData + 2);
    for (int h = 0; h <= 3; ++h) {
        ExpectArchiveRecords(out, 4, 0, lower + h * 3600, CVKT7MeterSim::DefaultActiveList());
        EXPECT_EQ(CountAt(out, 4, lower + h * 3600), 23u);
    }
    EXPECT_EQ(out.size(), 4 * 23u);
    auto asked = rig.meter.DatesAsked();
    ASSERT_EQ(asked.size(), 6u);
    EXPECT_EQ(asked.front(), std::make_pair(uint8_t(0), lower - 7200));
    EXPECT_EQ(asked.back(), std::make_pair(uint8_t(0), lower + 3 * 3600));
    EXPECT_EQ(rig.drv.get_arch_values(6, lower, lower, out), 2);
    EXPECT_EQ(out.size(), 4 * 23u);
}

// A daily read over a reporting day reads the monthly archive once, for that day:
// with reporting day 31 at the last day of the month.
TEST(VKT7Driver, DailyReadReadsMonthlyOnReportingDay) {
    for (int day : {31, 25}) {
        SCOPED_TRACE(day);
        DriverRig rig;
        rig.meter.SetSystemData(0x27, 3, static_cast<uint8_t>(day));
        ASSERT_TRUE(rig.drv.init());
        rig.drv.get_all_system_values();
        const time_t from = CVKT7MeterSim::LocalDate(day == 31 ? 30 : 24, 3, 26, 0);
        const time_t closing = from + 86400;
        ValueList out;
        EXPECT_EQ(rig.drv.get_arch_values(5, from, from + 3 * 86400, out), 0);
        for (time_t t = from; t <= from + 3 * 86400; t += 86400) {
            ExpectArchiveRecords(out, 5, 1, t, CVKT7MeterSim::DefaultActiveList());
            EXPECT_EQ(CountAt(out, 5, t), 23u);
        }
        ExpectArchiveRecords(out, 2, 3, closing, CVKT7MeterSim::DefaultActiveList());
        EXPECT_EQ(CountAt(out, 2, closing), 23u);
        EXPECT_EQ(out.size(), 5 * 23u);
        const std::vector<std::pair<uint8_t, time_t>> want = {
            {1, from}, {3, closing}, {1, closing}, {1, closing + 86400}, {1, closing + 2 * 86400}};
        EXPECT_EQ(rig.meter.DatesAsked(), want);
        const std::string trace = rig.root.Read(kTrace);
        EXPECT_EQ(
            trace.find("SyncActiveParameters41\n0xFF 0xFF 0x00 0x10 0x3F 0xFF 0x00 0x00 0x78 "),
            0u);
        EXPECT_TRUE(Contains(trace, "\n\nTimeOfWork\n"));
    }
}

TEST(VKT7Driver, ActivityMaskChangeHealedByOneResync) {
    for (bool errorCode : {false, true}) {
        SCOPED_TRACE(errorCode);
        DriverRig rig;
        rig.meter.SetArchiveDepth(48, 10);
        ASSERT_TRUE(rig.drv.init());
        const std::vector<CVKT7MeterSim::Entry> changed = {
            {0, 2}, {3, 4}, {9, 1}, {19, 4}, {23, 2}};
        rig.meter.ChangeMaskOnce(changed, errorCode);
        const char* warning =
            "Ckov_VKT7::get_arch_values - activity mask is changed, need to reread";
        const size_t warned = LogFile::Count(warning);
        const time_t t = rig.meter.NewestHour() - 3600;
        ValueList out;
        rig.drv.get_arch_values(4, t, t + 3600, out);
        EXPECT_EQ(LogFile::Count(warning), warned + 1);
        EXPECT_EQ(rig.drv.ActiveList(), changed);
        ExpectArchiveRecords(out, 4, 0, t, changed);
        ExpectArchiveRecords(out, 4, 0, t + 3600, changed);
        EXPECT_EQ(CountAt(out, 4, t), changed.size() + 2);
        EXPECT_EQ(out.size(), 2 * (changed.size() + 2));
    }
}

// A link failure inside an archive read ends the call, so the stored time never
// moves past the record it failed at; only a record that fails on three passes
// in a row is given up on. Failures at different records do not add up.
TEST(VKT7Driver, LinkFailureInArchiveEndsTheCallUntilGivenUp) {
    DriverRig rig;
    rig.meter.SetArchiveDepth(48, 10);
    ASSERT_TRUE(rig.drv.init());
    const time_t t = rig.meter.NewestHour() - 3 * 3600;
    const char* givenUp = "failed on three passes in a row, taken as absent";
    const size_t warned = LogFile::Count(givenUp);
    const int failingHour[] = {1, 2, 2, 2};
    for (int pass = 0; pass < 4; ++pass) {
        SCOPED_TRACE(pass);
        // Selector, active list, wanted list; then date and read per hour: that
        // hour's read and its two resends go unanswered.
        kov::sim::FaultPlan plan;
        const uint64_t first = rig.meter.RequestCount() + 5 + 2 * failingHour[pass];
        for (uint64_t n = first; n < first + 3; ++n) plan.perRequest[n] = FaultKind::Silence;
        rig.meter.SetFaults(plan);
        ValueList out;
        if (pass < 3) {
            EXPECT_THROW(rig.drv.get_arch_values(4, t, t + 3 * 3600, out), CWrongPacketException);
            continue;
        }
        EXPECT_EQ(rig.drv.get_arch_values(4, t, t + 3 * 3600, out), 0);
        EXPECT_EQ(LogFile::Count(givenUp), warned + 1);
        EXPECT_EQ(CountAt(out, 4, t + 2 * 3600), 0u);
        EXPECT_EQ(CountAt(out, 4, t + 3 * 3600), 23u);
        EXPECT_EQ(CountAt(out, 4, t), 23u);
    }
}

// Only "no record" (3) and "mask changed" (5) mean something in an archive
// read; any other error answer, to the date write or to the values read,
// fails the call like a broken link.
TEST(VKT7Driver, FailureErrorAnswerEndsArchiveCall) {
    DriverRig rig;
    rig.meter.SetArchiveDepth(48, 10);
    ASSERT_TRUE(rig.drv.init());
    const time_t t = rig.meter.NewestHour() - 3 * 3600;
    for (int which : {0, 1}) {
        SCOPED_TRACE(which);
        // Selector, active list, wanted list, then date and read per hour.
        kov::sim::FaultPlan plan;
        plan.perRequest[rig.meter.RequestCount() + 6 + which] = FaultKind::ErrorAnswer;
        rig.meter.SetFaults(plan);
        ValueList out;
        EXPECT_THROW(rig.drv.get_arch_values(4, t, t + 3 * 3600, out), CDisconnectException);
    }
}

}  // namespace

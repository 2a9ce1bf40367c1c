// The VKT-7 link layer and driver against the simulated meter, over a
// pseudo-terminal and the real UART connector.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "drivers/base/clock.h"
#include "drivers/base/driver_factory.h"
#include "drivers/common/crc16.h"
#include "drivers/vkt7/vkt7_driver.h"
#include "drivers/vkt7/vkt7_link.h"
#include "drivers/vkt7/vkt7_meter_sim.h"
#include "service/jsonrpc_connector.h"
#include "sim/pty_link.h"
#include "sim/test_support.h"
#include "transport/rs_connector.h"

using kov::sim::Bytes;
using kov::sim::CVKT7MeterSim;
using kov::sim::FaultKind;

namespace {

// A simulated VKT-7 that answers from a script first (replies given with their CRC).
class ScriptedVKT7 : public CVKT7MeterSim {
public:
    using CVKT7MeterSim::CVKT7MeterSim;
    ~ScriptedVKT7() override { Stop(); }
    void Push(const Bytes& reply) {
        std::lock_guard<std::mutex> l(m_);
        script_.push_back(reply);
    }

protected:
    bool Handle(const Bytes& request, Bytes& reply) override {
        {
            std::lock_guard<std::mutex> l(m_);
            if (!script_.empty()) {
                reply = script_.front();
                script_.pop_front();
                return true;
            }
        }
        return CVKT7MeterSim::Handle(request, reply);
    }

private:
    std::mutex m_;
    std::deque<Bytes> script_;
};

// 2026-04-03 12:30 local time.
const time_t kT0 = CVKT7MeterSim::LocalDate(3, 4, 26, 12, 30, 0);

struct Rig {
    Rig() : clock(kT0, true), meter(link.MasterFd()), conn(ParamMap{{"name", link.SlavePath()}}) {
        kov::sim::LogFile::Path();
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

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// ---------------------------------------------------------------- link

// Hand-worked frames (CRC-16/MODBUS worked out apart from the code under test).
TEST(VKT7Link, Init2FrameGetsItsCrcLowByteFirst) {
    Rig rig;
    CVKT7LowLevelConnector ll(&rig.conn, 0);
    uint8_t f[10] = {0xFF, 0xFF, 0x00, 0x03, 0x3F, 0xFE, 0x00, 0x00};
    rig.meter.Push({0x00, 0x03, 0x00, 0x71, 0x30});
    ll.SendString(f, 10, "init_2", false);
    EXPECT_EQ(f[8], 0x29);
    EXPECT_EQ(f[9], 0xFF);
    ASSERT_EQ(rig.meter.Requests().size(), 1u);
    EXPECT_EQ(rig.meter.Requests()[0],
              Bytes({0xFF, 0xFF, 0x00, 0x03, 0x3F, 0xFE, 0x00, 0x00, 0x29, 0xFF}));
}

struct FrameCase {
    const char* name;
    Bytes reply;
    bool tolerate;
    enum { Ok, Empty, Disconnect } outcome;
    int length;  // of the returned buffer
    int lastError;
};

TEST(VKT7Link, ReplyTable) {
    const FrameCase cases[] = {
        {"write ack is 3+5 bytes",
         {0x00, 0x10, 0x3F, 0xFD, 0x00, 0x00, 0x5C, 0x3C},
         false,
         FrameCase::Ok,
         0x3F + 3,
         0},
        {"empty read answer", {0x00, 0x03, 0x00, 0x71, 0x30}, false, FrameCase::Ok, 3, 0},
        {"read answer of 4",
         {0x00, 0x03, 0x04, 0x01, 0x02, 0x03, 0x04, 0x4B, 0xFC},
         false,
         FrameCase::Ok,
         7,
         0},
        {"error 3 tolerated", {0x00, 0x83, 0x03, 0x00, 0xF1, 0x3C}, true, FrameCase::Empty, 0, 3},
        {"error 3 not tolerated",
         {0x00, 0x83, 0x03, 0x00, 0xF1, 0x3C},
         false,
         FrameCase::Disconnect,
         0,
         0},
        {"write error tolerated",
         {0x00, 0x90, 0x02, 0x00, 0x01, 0x69},
         true,
         FrameCase::Empty,
         0,
         2},
        {"unknown function", {0x00, 0x04, 0x00, 0x00, 0x00}, false, FrameCase::Disconnect, 0, 0},
        {"wrong CRC low",
         {0x00, 0x03, 0x04, 0x01, 0x02, 0x03, 0x04, 0x4C, 0xFC},
         false,
         FrameCase::Disconnect,
         0,
         0},
        {"wrong CRC high",
         {0x00, 0x03, 0x04, 0x01, 0x02, 0x03, 0x04, 0x4B, 0xFD},
         true,
         FrameCase::Disconnect,
         0,
         0},
    };
    Rig rig;
    CVKT7LowLevelConnector ll(&rig.conn, 0);
    for (const FrameCase& c : cases) {
        SCOPED_TRACE(c.name);
        rig.meter.Push(c.reply);
        uint8_t f[10] = {0xFF, 0xFF, 0x00, 0x03, 0x3F, 0xFE, 0x00, 0x00};
        if (c.outcome == FrameCase::Disconnect) {
            EXPECT_THROW(ll.SendString(f, 10, "case", c.tolerate), CDisconnectException);
            rig.conn.FlushBuffers();
            continue;
        }
        CVKT7Buffer b = ll.SendString(f, 10, "case", c.tolerate);
        EXPECT_EQ(b.Length(), c.length);
        EXPECT_EQ(ll.LastError(), c.lastError);
        if (c.length == 7) {
            EXPECT_EQ(b[3], 0x01);
        }
        if (c.outcome == FrameCase::Empty) {
            EXPECT_TRUE(b.Empty());
        }
        // Nothing of the reply is left behind for the next exchange.
        CVKT7Buffer next = ll.SendString(f, 10, "next", false);
        EXPECT_EQ(next[1], 0x03);
        EXPECT_EQ(ll.LastError(), 0);
    }
    EXPECT_GE(kov::sim::LogFile::Count("CVKT7LowLevelConnector::SendString - WrongTypePacket"), 1u);
    EXPECT_GE(kov::sim::LogFile::Count("CVKT7LowLevelConnector::SendString - WRONG CRC"), 2u);
}

TEST(VKT7Link, ErrorAnswerJournalLine) {
    Rig rig;
    CVKT7LowLevelConnector ll(&rig.conn, 0);
    rig.meter.Push({0x00, 0x83, 0x03, 0x00, 0xF1, 0x3C});
    uint8_t f[10] = {0xFF, 0xFF, 0x00, 0x03, 0x3F, 0xFE, 0x00, 0x00};
    const size_t before = kov::sim::LogFile::Count("Code error 3. Type packet - 83. function 3");
    EXPECT_TRUE(ll.SendString(f, 10, "get_arch_values_2", true).Empty());
    const std::string journal = Slurp(rig.root.File("/mnt/storage/vkt7.debug.log"));
    const std::string tail =
        " CVKT7LowLevelConnector::CheckResult - Error on return answer. Code error 3. Type packet "
        "- 131. "
        "function 3 Func name - get_arch_values_2\n";
    ASSERT_GT(journal.size(), tail.size());
    EXPECT_EQ(journal.substr(journal.size() - tail.size()), tail);
    EXPECT_EQ(std::count(journal.begin(), journal.end(), '\n'), 1);
    EXPECT_EQ(kov::sim::LogFile::Count("Code error 3. Type packet - 83. function 3"), before + 1);
}

TEST(VKT7Link, ReplyCutAfterTwoBytesThreeTimes) {
    Rig rig;
    CVKT7LowLevelConnector ll(&rig.conn, 0);
    kov::sim::FaultPlan plan;
    plan.everyRequest = true;
    plan.everyKind = FaultKind::Truncate;
    plan.truncateTo = 2;
    rig.meter.SetFaults(plan);
    const size_t r0 = kov::sim::LogFile::Count("CVKT7LowLevelConnector::Resend 0 time");
    const size_t r2 = kov::sim::LogFile::Count("CVKT7LowLevelConnector::Resend 2 time");
    const size_t r3 = kov::sim::LogFile::Count("CVKT7LowLevelConnector::Resend 3 time");
    uint8_t f[10] = {0xFF, 0xFF, 0x00, 0x03, 0x3F, 0xF9, 0x00, 0x00};
    EXPECT_THROW(ll.SendString(f, 10, "GetSystemData", false), CWrongPacketException);
    EXPECT_EQ(rig.meter.RequestCount(), 3u);
    EXPECT_EQ(kov::sim::LogFile::Count("CVKT7LowLevelConnector::Resend 0 time"), r0 + 1);
    EXPECT_EQ(kov::sim::LogFile::Count("CVKT7LowLevelConnector::Resend 2 time"), r2 + 1);
    EXPECT_EQ(kov::sim::LogFile::Count("CVKT7LowLevelConnector::Resend 3 time"), r3);
    // All three attempts sent the same bytes.
    auto reqs = rig.meter.Requests();
    EXPECT_EQ(reqs[0], reqs[2]);
}

// Harness faults on a real reply: the link never takes a damaged frame for a good one.
TEST(VKT7Link, InjectedFaults) {
    struct {
        FaultKind kind;
        bool ok;
    } const cases[] = {
        {FaultKind::Echo, false},           // the echoed request starts 0xFF 0xFF: no reply type
        {FaultKind::BadCheck, false},       // WRONG CRC
        {FaultKind::WrongFunction, false},  // outside the reply table, or its CRC no longer fits
        {FaultKind::Delay, true},           // within the port's timeout
        {FaultKind::WrongAddress, true},    // the address is not checked by this protocol
    };
    Rig rig;
    kov::sim::FaultPlan plan;
    plan.delayMs = 100;
    rig.meter.SetFaults(plan);
    CVKT7LowLevelConnector ll(&rig.conn, 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(kov::sim::FaultName(c.kind));
        rig.meter.InjectNext(c.kind);
        uint8_t f[10] = {0xFF, 0xFF, 0x00, 0x03, 0x3F, 0xF9, 0x00, 0x00};
        if (c.ok) {
            EXPECT_EQ(ll.SendString(f, 10, "GetSystemData", false)[2], 16);
        } else {
            EXPECT_THROW(ll.SendString(f, 10, "GetSystemData", false), CDisconnectException);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            rig.conn.FlushBuffers();
        }
    }
}

TEST(VKT7Link, OneLostReplyIsResentAndRecovered) {
    Rig rig;
    CVKT7LowLevelConnector ll(&rig.conn, 0);
    rig.meter.InjectNext(FaultKind::Silence);
    uint8_t f[10] = {0xFF, 0xFF, 0x00, 0x03, 0x3F, 0xF9, 0x00, 0x00};
    CVKT7Buffer b = ll.SendString(f, 10, "GetSystemData", false);
    EXPECT_EQ(b[2], 16);
    EXPECT_EQ(rig.meter.RequestCount(), 2u);
}

TEST(VKT7Link, NoPortIsAFailedWrite) {
    kov::sim::TestRoot root;
    CVKT7LowLevelConnector ll(nullptr, 0);
    uint8_t f[10] = {0xFF, 0xFF, 0x00, 0x03, 0x3F, 0xFE, 0x00, 0x00};
    EXPECT_THROW(ll.SendString(f, 10, "init_2", false), CDisconnectException);
}

TEST(VKT7Link, BufferBounds) {
    kov::sim::TestRoot root;
    const uint8_t data[4] = {1, 2, 3, 4};
    CVKT7Buffer b(data, 4);
    EXPECT_EQ(b[3], 4);
    EXPECT_THROW(b[4], CDisconnectException);
    b += 4;
    EXPECT_THROW(b += 1, CDisconnectException);
    const std::string journal = Slurp(root.File("/mnt/storage/vkt7.debug.log"));
    EXPECT_NE(
        journal.find("Code error 0. Type packet - 0. function 0 Func name - CVKT7Buffer []\n"),
        std::string::npos);
    EXPECT_NE(journal.find("Func name - CVKT7Buffer +=\n"), std::string::npos);
}

TEST(VKT7Link, DiagnosticFilesRemovedPastFiveMiB) {
    kov::sim::TestRoot root;
    const std::string journal = root.File("/mnt/storage/vkt7.debug.log");
    const std::string trace = root.File("/mnt/storage/vkt7log.log");
    std::ofstream(journal).close();
    std::filesystem::resize_file(journal, 5242800);
    CVKT7LowLevelConnector::WriteErrorLog(1, 2, 3, "below");  // ~5242900: past the limit
    EXPECT_FALSE(std::filesystem::exists(journal));
    CVKT7LowLevelConnector::WriteErrorLog(1, 2, 3, "fresh");
    EXPECT_NE(Slurp(journal).find("Func name - fresh\n"), std::string::npos);

    std::ofstream(trace).close();
    std::filesystem::resize_file(trace, 5242000);
    const uint8_t bytes[2] = {0xAB, 0x01};
    CVKT7LowLevelConnector::WriteTrace(bytes, 2, "kept");
    EXPECT_EQ(std::filesystem::file_size(trace), 5242000u + 5 + 10 + 2);
    std::filesystem::resize_file(trace, 5242880 - 17);
    CVKT7LowLevelConnector::WriteTrace(bytes, 2, "kept");  // exactly at the limit: stays
    EXPECT_EQ(std::filesystem::file_size(trace), 5242880u);
    CVKT7LowLevelConnector::WriteTrace(bytes, 2, "x");
    EXPECT_FALSE(std::filesystem::exists(trace));
    CVKT7LowLevelConnector::WriteTrace(bytes, 2, "cap");
    EXPECT_EQ(Slurp(trace), "cap\n0xAB 0x01 \n\n");
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
    const int base = type % 22;
    const TypeRow& row = kRows.at(base);
    const uint32_t raw =
        CVKT7MeterSim::Raw(static_cast<uint8_t>(type), kind, t, static_cast<uint16_t>(size));
    if (row.flow) {
        float f;
        std::memcpy(&f, &raw, 4);
        return G(f);
    }
    const int dt = type < 22 ? row.digitsTV1 : row.digitsTV2;
    const int digits = dt < 0 ? 0 : CVKT7MeterSim::Digits(dt);
    return G(raw / std::pow(10.0, digits));
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
        ASSERT_EQ(rig.drv.Units().size(), 13u);
        for (int t = 44; t <= 56; ++t) EXPECT_EQ(rig.drv.Units().at(t), CVKT7MeterSim::UnitText(t));
        ASSERT_EQ(rig.drv.FractionDigits().size(), 20u);
        for (int t = 57; t <= 76; ++t)
            EXPECT_EQ(rig.drv.FractionDigits().at(t), CVKT7MeterSim::Digits(t));
        EXPECT_EQ(rig.drv.ActiveList(), CVKT7MeterSim::DefaultActiveList());
        // The wanted list echoes the active list back to the meter.
        auto reqs = rig.meter.Requests();
        ASSERT_GE(reqs.size(), 7u);
        EXPECT_EQ(reqs[0], Bytes({0xFF, 0xFF, 0x00, 0x10, 0x3F, 0xFF, 0x00, 0x00, 0xCC, 0x80, 0x00,
                                  0x00, 0x00, reqs[0][13], reqs[0][14]}));
        EXPECT_EQ(reqs[3].size(), 209u);  // property list
        EXPECT_EQ(Bytes(reqs[3].begin() + 9, reqs[3].begin() + 15), Bytes({44, 0, 0, 0x40, 7, 0}));
        EXPECT_EQ(Bytes(reqs[3].begin() + 201, reqs[3].begin() + 207),
                  Bytes({76, 0, 0, 0x40, 1, 0}));
        const Bytes& wanted = reqs.back();
        EXPECT_EQ(wanted[8], CVKT7MeterSim::DefaultActiveList().size() * 6);
    }
}

Bytes Sealed(Bytes b) {
    const uint16_t c = kov::Crc16Modbus(b.data(), b.size());
    b.push_back(static_cast<uint8_t>(c));
    b.push_back(static_cast<uint8_t>(c >> 8));
    return b;
}

TEST(VKT7Driver, PropertyTextLongerThanBlockEndsInDisconnect) {
    DriverRig rig;
    const Bytes ack = Sealed({0x00, 0x10, 0x3F, 0xFF, 0x00, 0x00});
    Bytes dialogue = {0x00, 0x03, 64};
    dialogue.resize(67, 0);
    dialogue[64] = 1;  // variable-length property texts
    rig.meter.Push(ack);
    rig.meter.Push(Sealed(dialogue));
    rig.meter.Push(ack);
    rig.meter.Push(ack);
    rig.meter.Push(Sealed({0x00, 0x03, 4, 9, 0, 'G', 'J'}));  // a text of 9 bytes, 2 left
    EXPECT_THROW(rig.drv.init(), CDisconnectException);
    EXPECT_NE(Slurp(rig.root.File("/mnt/storage/vkt7.debug.log"))
                  .find("Func name - MakeStringDiapason\n"),
              std::string::npos);
}

TEST(VKT7Driver, IncompleteReplyInInitBecomesDisconnect) {
    DriverRig rig;
    kov::sim::FaultPlan plan;
    plan.everyRequest = true;
    plan.everyKind = FaultKind::Silence;
    rig.meter.SetFaults(plan);
    EXPECT_THROW(rig.drv.init(), CDisconnectException);
    EXPECT_EQ(rig.meter.RequestCount(), 3u);
}

TEST(VKT7Driver, ValueConverters) {
    kov::sim::TestRoot root;
    const uint8_t ten[4] = {0x00, 0x00, 0x20, 0x41};
    EXPECT_EQ(Ckov_VKT7::ParseToString(19, 4, CVKT7Buffer(ten, 4), 3),
              "10");                                  // flow: a single, digits unused
    const uint8_t big[4] = {0x60, 0xE3, 0x16, 0x00};  // 1500000
    EXPECT_EQ(Ckov_VKT7::ParseToString(3, 4, CVKT7Buffer(big, 4), 0), "1.5e+06");
    EXPECT_EQ(Ckov_VKT7::ParseToString(3, 4, CVKT7Buffer(big, 4), 2), "15000");
    const uint8_t small[2] = {0x39, 0x30};  // 12345
    EXPECT_EQ(Ckov_VKT7::ParseToString(0, 2, CVKT7Buffer(small, 2), 2), "123.45");
    EXPECT_EQ(Ckov_VKT7::ParseToString(0, 5, CVKT7Buffer(small, 2), 2), "ERR");
    const uint8_t half[2] = {0x20, 0x41};  // missing low bytes of a single are not invented
    EXPECT_EQ(Ckov_VKT7::ParseToString(20, 2, CVKT7Buffer(half, 2), 0),
              G(std::ldexp(0x4120, -149)));
    EXPECT_THROW(Ckov_VKT7::ParseToString(0, 4, CVKT7Buffer(small, 2), 0), CDisconnectException);
    EXPECT_THROW(Ckov_VKT7::ParseToString(19, 4, CVKT7Buffer(small, 2), 0), CDisconnectException);
    const std::string journal = Slurp(root.File("/mnt/storage/vkt7.debug.log"));
    EXPECT_NE(journal.find("Func name - GetLongAsString\n"), std::string::npos);
    EXPECT_NE(journal.find("Func name - GetFloatAsString\n"), std::string::npos);
}

TEST(VKT7Driver, CurrentAndIntegralValues) {
    DriverRig rig;
    rig.meter.SetError(0, 1);      // T1 TV1: ER bit 3
    rig.meter.SetError(3, 2);      // V1 TV1: ER bit 1
    rig.meter.SetError(4, 1);      // V2 TV1: ER bit 18
    rig.meter.SetError(22, 0xFF);  // published as 0
    rig.meter.SetError(25, 2);     // V1 TV2: ER bit 1 of TV2
    rig.meter.SetStatus(1, 4);     // no record
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
    const int now = clock->timestamp;
    EXPECT_GE(now, kT0);

    for (auto [kind, selector] : {std::pair{0, 4}, std::pair{1, 5}}) {
        SCOPED_TRACE(kind);
        for (const auto& [type, size] : CVKT7MeterSim::DefaultActiveList()) {
            if (type >= 44 || type == 1) continue;
            const int sys = type < 22 ? 0 : 1;
            const ValueRecord* r = Find(list, kRows.at(type % 22).index, kind, sys);
            ASSERT_NE(r, nullptr) << int(type);
            EXPECT_EQ(r->value, Expected(type, static_cast<uint8_t>(selector), kT0, size))
                << int(type);
            EXPECT_EQ(r->timestamp, now);
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
        const ValueRecord* t3 = Find(list, 8, kind, 0);
        const ValueRecord* t3copy = Find(list, 8, kind, 1);
        ASSERT_TRUE(t3 && t3copy);
        EXPECT_EQ(t3copy->value, t3->value);
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
    const ValueRecord* t3 = Find(list, 8, 0, 0);
    ASSERT_NE(t3, nullptr);
    EXPECT_EQ(t3->value, Expected(15, 4, kT0, 2));
    ASSERT_NE(Find(list, 30, 0, 0), nullptr);
    EXPECT_EQ(Find(list, 30, 0, 0)->value, Expected(2, 4, kT0, 2));
    EXPECT_EQ(Find(list, 21, 0, 0)->value, "ERR");
    // T3 of TV2 is shared with TV1 in mode 2: after type 15's own record comes the copy.
    ASSERT_NE(Find(list, 8, 0, 0, 1), nullptr);
    EXPECT_EQ(Find(list, 8, 0, 0, 1)->value, Expected(24, 4, kT0, 2));
    EXPECT_EQ(Find(list, 18, 0, 0)->value, Expected(17, 4, kT0, 4));
    EXPECT_GE(kov::sim::LogFile::Count("Ckov_VKT7::parce45inWorkEXTERNAL - WRONG INDEX - 50"), 2u);

    // Without 15 or 37 the indexes swap back.
    rig.meter.SetActiveList({{2, 2}});
    ASSERT_TRUE(rig.drv.init());
    EXPECT_EQ(Ckov_VKT7::CatalogueIndex(15), 30);
    EXPECT_EQ(Ckov_VKT7::CatalogueIndex(2), 8);
    EXPECT_EQ(rig.drv.T3Mode(), 1);
}

TEST(VKT7Driver, SystemDataAndLimits) {
    DriverRig rig;
    rig.meter.SetSystemData(0x26, 5, 25);
    ASSERT_TRUE(rig.drv.init());
    ValueList list = rig.drv.get_all_system_values();
    EXPECT_EQ(rig.drv.ReportingDay(), 25);
    EXPECT_EQ(Find(list, 31, 7, 0)->value, "ООО \"Теплоком\"");
    EXPECT_EQ(Find(list, 32, 7, 0)->value, "ВКТ-7");
    EXPECT_EQ(Find(list, 33, 7, 0)->value, "2.6");
    EXPECT_EQ(Find(list, 38, 7, 0)->value, "0x5");
    EXPECT_EQ(Find(list, 8, 7, 0)->value, "50");
    EXPECT_EQ(Find(list, 51, 9, 0)->value, "12.5");
    EXPECT_EQ(Find(list, 53, 9, 0)->value, "0.25");
    EXPECT_EQ(Find(list, 52, 9, 0)->value, "11.75");
    EXPECT_EQ(Find(list, 54, 9, 0)->value, "0.5");
    EXPECT_EQ(Find(list, 51, 9, 1)->value, "8.5");
    EXPECT_EQ(Find(list, 53, 9, 1)->value, "0.125");
    EXPECT_EQ(Find(list, 52, 9, 1)->value, "7.25");
    EXPECT_EQ(Find(list, 54, 9, 1)->value, "0.1");  // from two flash pages
    EXPECT_EQ(list.size(), 13u);

    // Version 2.6 and older: the clock record comes from the bounds register.
    const size_t before = rig.meter.RequestCount();
    ValueList cur = rig.drv.get_all_curtime_cur_integ_values();
    auto reqs = rig.meter.Requests();
    EXPECT_EQ(reqs[before][5], 0xF6);
    EXPECT_EQ(Find(cur, 45, 7, 0)->value, std::to_string(kT0 - kT0 % 3600));
}

TEST(VKT7Driver, OldMeterAndBrokenFlash) {
    DriverRig rig;
    rig.meter.SetSystemData(0, 0, 20, true);
    rig.meter.SetFlashBroken(true);
    ASSERT_TRUE(rig.drv.init());
    const size_t failed = kov::sim::LogFile::Count("Ckov_VKT7::GetLimitsData is failed");
    ValueList list = rig.drv.get_all_system_values();
    EXPECT_EQ(kov::sim::LogFile::Count("Ckov_VKT7::GetLimitsData is failed"), failed + 1);
    EXPECT_GE(kov::sim::LogFile::Count("it's old heat-meter. v < 1.5 length system data is 3"), 1u);
    EXPECT_EQ(rig.drv.ReportingDay(), 20);
    EXPECT_EQ(Find(list, 33, 7, 0)->value, "<1.5");
    EXPECT_EQ(Find(list, 38, 7, 0)->value, "0x0");
    EXPECT_EQ(list.size(), 4u);
}

TEST(VKT7Driver, Bounds) {
    DriverRig rig;
    rig.meter.SetArchiveDepth(48, 10);
    ArchiveBounds b;
    ASSERT_TRUE(rig.drv.GetTimestamps(b));
    EXPECT_EQ(b.hourlyLower, rig.meter.HourlyLower());
    EXPECT_EQ(b.meterClock, kT0 - kT0 % 3600);
    EXPECT_EQ(b.dailyLower, rig.meter.DailyLower());
    rig.meter.SetBoundsWithDaily(false);
    b.dailyLower = 77;
    ASSERT_TRUE(rig.drv.GetTimestamps(b));
    EXPECT_EQ(b.dailyLower, 0);
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

TEST(VKT7Driver, HourlyArchiveSkipsDatesTheMeterHasNot) {
    DriverRig rig;
    rig.meter.SetArchiveDepth(48, 10);
    ASSERT_TRUE(rig.drv.init());
    const time_t lower = rig.meter.HourlyLower();
    const size_t noData =
        kov::sim::LogFile::Count("Ckov_VKT7::SendDataForArch3 - No data in arch to");
    ValueList out;
    EXPECT_EQ(rig.drv.get_arch_values(4, lower - 7200, lower + 3 * 3600, out), 0);
    EXPECT_EQ(kov::sim::LogFile::Count("Ckov_VKT7::SendDataForArch3 - No data in arch to"),
              noData + 2);
    EXPECT_EQ(CountAt(out, 4, lower - 7200) + CountAt(out, 4, lower - 3600), 0u);
    for (int h = 0; h <= 3; ++h) {
        ExpectArchiveRecords(out, 4, 0, lower + h * 3600, CVKT7MeterSim::DefaultActiveList());
        EXPECT_EQ(CountAt(out, 4, lower + h * 3600), 23u);
    }
    EXPECT_EQ(out.size(), 4 * 23u);
    auto asked = rig.meter.DatesAsked();
    ASSERT_EQ(asked.size(), 6u);
    EXPECT_EQ(asked.front(), std::make_pair(uint8_t(0), lower - 7200));
    EXPECT_EQ(asked.back(), std::make_pair(uint8_t(0), lower + 3 * 3600));
    ValueList none;
    EXPECT_EQ(rig.drv.get_arch_values(6, lower, lower, none), 2);
    EXPECT_TRUE(none.empty());
}

TEST(VKT7Driver, DailyReadOverMonthEndReadsMonthlyOnce) {
    DriverRig rig;  // reporting day 31
    ASSERT_TRUE(rig.drv.init());
    rig.drv.get_all_system_values();
    ASSERT_EQ(rig.drv.ReportingDay(), 31);
    const time_t mar30 = CVKT7MeterSim::LocalDate(30, 3, 26, 0),
                 mar31 = CVKT7MeterSim::LocalDate(31, 3, 26, 0);
    const time_t apr2 = CVKT7MeterSim::LocalDate(2, 4, 26, 0);
    ValueList out;
    EXPECT_EQ(rig.drv.get_arch_values(5, mar30, apr2, out), 0);
    for (time_t t = mar30; t <= apr2; t += 86400) {
        ExpectArchiveRecords(out, 5, 1, t, CVKT7MeterSim::DefaultActiveList());
        EXPECT_EQ(CountAt(out, 5, t), 23u);
    }
    ExpectArchiveRecords(out, 2, 3, mar31, CVKT7MeterSim::DefaultActiveList());
    size_t monthly = 0;
    for (const ValueRecord& r : out) monthly += r.kind == 2;
    EXPECT_EQ(monthly, 23u);
    auto asked = rig.meter.DatesAsked();
    std::vector<std::pair<uint8_t, time_t>> want = {
        {1, mar30}, {3, mar31}, {1, mar31}, {1, mar31 + 86400}, {1, apr2}};
    EXPECT_EQ(asked, want);
    const std::string trace = Slurp(rig.root.File("/mnt/storage/vkt7log.log"));
    EXPECT_EQ(trace.find("SyncActiveParameters41\n0xFF 0xFF 0x00 0x10 0x3F 0xFF 0x00 0x00 0x78 "),
              0u);
    EXPECT_NE(trace.find("\n\nTimeOfWork\n"), std::string::npos);
}

TEST(VKT7Driver, ReportingDayOtherThan31) {
    DriverRig rig;
    rig.meter.SetSystemData(0x27, 1, 25);
    ASSERT_TRUE(rig.drv.init());
    rig.drv.get_all_system_values();
    const time_t mar24 = CVKT7MeterSim::LocalDate(24, 3, 26, 0);
    ValueList out;
    rig.drv.get_arch_values(5, mar24, mar24 + 2 * 86400, out);
    ExpectArchiveRecords(out, 2, 3, mar24 + 86400, CVKT7MeterSim::DefaultActiveList());
    EXPECT_EQ(CountAt(out, 2, mar24 + 86400), 23u);
    EXPECT_EQ(out.size(), 4 * 23u);
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
        const size_t warned = kov::sim::LogFile::Count(
            "Ckov_VKT7::get_arch_values - activity mask is changed, need to reread");
        const time_t t = rig.meter.NewestHour() - 3600;
        ValueList out;
        rig.drv.get_arch_values(4, t, t + 3600, out);
        EXPECT_EQ(kov::sim::LogFile::Count(
                      "Ckov_VKT7::get_arch_values - activity mask is changed, need to reread"),
                  warned + 1);
        EXPECT_EQ(rig.drv.ActiveList(), changed);
        ExpectArchiveRecords(out, 4, 0, t, changed);
        ExpectArchiveRecords(out, 4, 0, t + 3600, changed);
        EXPECT_EQ(CountAt(out, 4, t), changed.size() + 2);
        EXPECT_EQ(out.size(), 2 * (changed.size() + 2));
    }
}

TEST(VKT7Driver, LinkFailureInArchiveEndsTheCallUntilGivenUp) {
    DriverRig rig;
    rig.meter.SetArchiveDepth(48, 10);
    ASSERT_TRUE(rig.drv.init());
    const time_t t = rig.meter.NewestHour() - 3 * 3600;
    auto silenceThirdRecord = [&rig] {
        // selector, active list, wanted list; then date and read per hour: the
        // third hour's read and its two resends go unanswered.
        kov::sim::FaultPlan plan;
        const uint64_t first = rig.meter.RequestCount() + 3 + 2 * 2 + 2;
        for (uint64_t n = first; n < first + 3; ++n) plan.perRequest[n] = FaultKind::Silence;
        rig.meter.SetFaults(plan);
    };
    for (int pass = 1; pass <= 2; ++pass) {
        silenceThirdRecord();
        ValueList out;
        EXPECT_THROW(rig.drv.get_arch_values(4, t, t + 3 * 3600, out), CWrongPacketException)
            << pass;
    }
    silenceThirdRecord();
    const size_t warned =
        kov::sim::LogFile::Count("failed on three passes in a row, taken as absent");
    ValueList out;
    EXPECT_EQ(rig.drv.get_arch_values(4, t, t + 3 * 3600, out), 0);
    EXPECT_EQ(kov::sim::LogFile::Count("failed on three passes in a row, taken as absent"),
              warned + 1);
    EXPECT_EQ(CountAt(out, 4, t + 2 * 3600), 0u);
    EXPECT_EQ(CountAt(out, 4, t + 3 * 3600), 23u);
    EXPECT_EQ(CountAt(out, 4, t), 23u);
}

TEST(VKT7Driver, FailuresAtDifferentTimesDoNotAddUp) {
    DriverRig rig;
    rig.meter.SetArchiveDepth(48, 10);
    ASSERT_TRUE(rig.drv.init());
    const time_t t = rig.meter.NewestHour() - 3 * 3600;
    for (int pass = 0; pass < 3; ++pass) {
        kov::sim::FaultPlan plan;
        const uint64_t first =
            rig.meter.RequestCount() + 3 + 2 * pass + 2;  // a different hour each pass
        for (uint64_t n = first; n < first + 3; ++n) plan.perRequest[n] = FaultKind::Silence;
        rig.meter.SetFaults(plan);
        ValueList out;
        EXPECT_THROW(rig.drv.get_arch_values(4, t, t + 3 * 3600, out), CWrongPacketException)
            << pass;
    }
}

// The polling cycle with this driver, against the simulated meter: what
// reaches the file tree.
TEST(VKT7Cycle, FirstPassFillsTheFileTreeAndARestartReadsNothingTwice) {
    Rig rig;
    rig.meter.SetArchiveDepth(30, 5);
    CJSONRPCConnector client("17", 0);
    const ParamMap params = {{"manufacturer", "vkt-7"}, {"period_current", "700"}};
    const std::string items = rig.root.File("/tmp/17/1/zr_items/");
    const std::string items2 = rig.root.File("/tmp/17/2/zr_items/");
    const std::string arch = rig.root.File("/mnt/storage/17/1/zr_archives/");
    const std::string tmpArch = rig.root.File("/mnt/storage/17/1/zr_tmp_archives/");
    const time_t newestHour = rig.meter.NewestHour(), hourlyLower = rig.meter.HourlyLower();
    const time_t newestDay = rig.meter.NewestDay(), dailyLower = rig.meter.DailyLower();
    const time_t mar31 = CVKT7MeterSim::LocalDate(31, 3, 26, 0);
    {
        std::unique_ptr<CKovBaseDriver> drv(CreateDriver(params, &rig.conn, &client));
        ASSERT_NE(dynamic_cast<Ckov_VKT7*>(drv.get()), nullptr);
        drv->RequestCheck();  // connect
        ASSERT_TRUE(drv->WaitCheckDone({}, 20000));
        drv->RequestCheck();  // first pass
        ASSERT_TRUE(drv->WaitCheckDone({}, 60000));

        EXPECT_EQ(Slurp(items + "T1"), Expected(0, 4, kT0, 2) + "\n");
        EXPECT_EQ(Slurp(items + "IQ1"), Expected(3, 5, kT0, 4) + "\n");
        EXPECT_EQ(Slurp(items2 + "T2"), Expected(23, 4, kT0, 2) + "\n");
        EXPECT_EQ(Slurp(items + "MDateTime"), std::to_string(kT0) + "\n");
        EXPECT_EQ(Slurp(items + "Connected"), "1\n");
        EXPECT_EQ(Slurp(items + "Firmware"), "2.7\n");
        struct stat st {};
        ASSERT_EQ(stat((items + "T1").c_str(), &st), 0);
        EXPECT_GE(st.st_mtime, kT0);

        std::string hourly, daily;
        for (time_t t = hourlyLower; t <= newestHour; t += 3600)
            hourly += std::to_string(t) + ",192," + Expected(0, 0, t, 2) + "\n";
        for (time_t t = dailyLower; t <= newestDay; t += 86400)
            daily += std::to_string(t) + ",192," + Expected(0, 1, t, 2) + "\n";
        EXPECT_EQ(Slurp(arch + "A20"), hourly);
        EXPECT_EQ(Slurp(arch + "A48"), daily);
        EXPECT_EQ(Slurp(tmpArch + "A29"),
                  std::to_string(mar31 + 86400) + ",192," + Expected(12, 3, mar31, 4) + "\n");
        EXPECT_EQ(Slurp(rig.root.File("/mnt/storage/17/timestamp_max_hourly")),
                  std::to_string(newestHour));
        EXPECT_EQ(Slurp(rig.root.File("/mnt/storage/17/timestamp_max_daily")),
                  std::to_string(newestDay));
        EXPECT_FALSE(Slurp(rig.root.File("/tmp/17/timestamp_VKT7")).empty());
    }
    // A restart asks for no archive date it already has.
    const size_t asked = rig.meter.DatesAsked().size();
    {
        std::unique_ptr<CKovBaseDriver> drv(CreateDriver(params, &rig.conn, &client));
        drv->RequestCheck();
        ASSERT_TRUE(drv->WaitCheckDone({}, 20000));
        drv->RequestCheck();
        ASSERT_TRUE(drv->WaitCheckDone({}, 60000));
        EXPECT_EQ(rig.meter.DatesAsked().size(), asked);

        // A silent meter: connection state 0; it answers again: reconnected.
        kov::sim::FaultPlan silent;
        silent.everyRequest = true;
        silent.everyKind = FaultKind::Silence;
        rig.meter.SetFaults(silent);
        drv->RequestCheck();
        ASSERT_TRUE(drv->WaitCheckDone({}, 20000));
        EXPECT_EQ(Slurp(items + "Connected"), "0\n");
        rig.meter.SetFaults(kov::sim::FaultPlan());
        drv->RequestCheck();  // connect again
        ASSERT_TRUE(drv->WaitCheckDone({}, 20000));
        EXPECT_EQ(Slurp(items + "Connected"), "1\n");
    }
}

}  // namespace

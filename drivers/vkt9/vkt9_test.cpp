// VKT-9 link layer against a scripted meter on a pseudo-terminal, through the
// real UART connector, and the driver against the simulated meter. Expected
// frames are worked by hand, not by the code under test.

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "drivers/base/clock.h"
#include "drivers/common/crc16.h"
#include "drivers/common/link_exceptions.h"
#include "drivers/common/meter_time.h"
#include "drivers/vkt9/vkt9_driver.h"
#include "drivers/vkt9/vkt9_link.h"
#include "drivers/vkt9/vkt9_meter_sim.h"
#include "sim/pty_link.h"
#include "sim/test_support.h"
#include "transport/rs_connector.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes WithModbusCrc(Bytes b) {
    const uint16_t c = kov::Crc16Modbus(b.data(), b.size());
    b.push_back(static_cast<uint8_t>(c & 0xFF));
    b.push_back(static_cast<uint8_t>(c >> 8));
    return b;
}

// What the meter says once its scripted answers are used up.
const Bytes kPlainAnswer = WithModbusCrc({0x01, 0x03, 0x02, 0x12, 0x34});

// The meter's end of the line: the n-th request gets answers[n], written piece
// by piece with a pause between; past the script every request gets
// kPlainAnswer. An empty answer is silence.
class ScriptedMeter {
public:
    explicit ScriptedMeter(std::vector<std::vector<Bytes>> answers)
        : answers_(std::move(answers)), thread_([this] { Run(); }) {}
    ~ScriptedMeter() {
        stop_ = true;
        thread_.join();
    }
    const std::string& Path() const { return pty_.SlavePath(); }
    std::vector<Bytes> Requests() {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }

private:
    // Requests are framed by function: 0x41 carries six bytes, the rest five.
    void Run() {
        for (size_t n = 0; !stop_; ++n) {
            Bytes req;
            while (!stop_ && req.size() < (req.size() >= 2 && req[1] == 0x41 ? 9u : 8u)) {
                pollfd p{pty_.MasterFd(), POLLIN, 0};
                uint8_t b;
                if (poll(&p, 1, 20) > 0 && read(pty_.MasterFd(), &b, 1) == 1) req.push_back(b);
            }
            if (stop_) break;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                requests_.push_back(req);
            }
            for (const Bytes& piece :
                 n < answers_.size() ? answers_[n] : std::vector<Bytes>{kPlainAnswer}) {
                if (!piece.empty()) (void)!write(pty_.MasterFd(), piece.data(), piece.size());
                std::this_thread::sleep_for(std::chrono::milliseconds(15));
            }
        }
    }

    kov::sim::PtyLink pty_;
    const std::vector<std::vector<Bytes>> answers_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Bytes> requests_;
    std::thread thread_;
};

// A 0x41 reply for one page of the given parts (partBytes long in all),
// filled with counting bytes.
Bytes PageReply(uint8_t mask, int partBytes) {
    Bytes pdu = {0x01, 0x41, 0x00, mask, 0x05, 0x00, 0x01};
    for (int i = 0; i < partBytes; ++i) pdu.push_back(static_cast<uint8_t>(i));
    return WithModbusCrc(pdu);
}

class Vkt9Link : public ::testing::Test {
protected:
    void SetUp() override { kov::SetClock(&clock); }
    void TearDown() override { kov::SetClock(nullptr); }

    kov::sim::TestRoot root;
    kov::TestClock clock{1767225600};
};

// The catalogue check values of the two CRCs this link and its driver use.
TEST(Vkt9Crc, CatalogueCheckValues) {
    const auto* s = reinterpret_cast<const uint8_t*>("123456789");
    EXPECT_EQ(kov::Crc16Modbus(s, 9), 0x4B37);
    EXPECT_EQ(kov::Crc16(kov::kCrc16CcittFalse, s, 9), 0x29B1);
}

// Each exchange against a fresh meter: the frames sent, the attempts, the
// outcome and the reply view (a prefix of what the meter sent). Whatever the
// outcome, the line is clean for the next exchange: leftovers of a refused
// reply are flushed.
TEST_F(Vkt9Link, Exchanges) {
    enum Outcome { Reply, Disconnect, WrongPacket };
    Bytes badCrc = WithModbusCrc({0x01, 0x03, 0x02, 0x00, 0x01});
    badCrc.back() ^= 0x01;
    const Bytes whole = WithModbusCrc({0x01, 0x04, 0x06, 1, 2, 3, 4, 5, 6});
    const Bytes head = {0x01, 0x03, 0x04};
    const std::vector<Bytes> silence;
    const Bytes plain = {0x03, 0x00, 0x00, 0x00, 0x01};
    // The hand-worked frame of the first case.
    EXPECT_EQ(WithModbusCrc({0x01, 0x03, 0x00, 0x00, 0x00, 0x0A}),
              (Bytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD}));
    // clang-format off
    const struct {
        const char* what;
        Bytes request;  // function code and data
        bool tolerate;
        std::vector<std::vector<Bytes>> answers;
        Outcome outcome;
        size_t attempts;
        int length;  // of the view; 0 for the empty buffer
        uint8_t lastError;
    } cases[] = {
        // Data come back behind address, function and byte count.
        {"registers", {0x03, 0x00, 0x00, 0x00, 0x0A}, false,
         {{{0x01, 0x03, 0x04, 0x00, 0x0D, 0xF0, 0xAD, 0xEE, 0x4D}}}, Reply, 1, 7, 0},
        {"in pieces", {0x04, 0x00, 0x07, 0x00, 0x03}, false,
         {{Bytes(whole.begin(), whole.begin() + 2), Bytes(whole.begin() + 2, whole.begin() + 6),
           Bytes(whole.begin() + 6, whole.end())}}, Reply, 1, 9, 0},
        {"silence once", plain, false, {silence, {kPlainAnswer}}, Reply, 2, 5, 0},
        {"silent after head", {0x03, 0x00, 0x00, 0x00, 0x02}, false, {{head}, {head}, {head}},
         WrongPacket, 3, 0, 0},
        {"FindArchDate", plain, true, {{WithModbusCrc({0x01, 0x83, 0x03})}}, Reply, 1, 0, 3},
        {"GetTimestamps", {0x04, 0x00, 0x07, 0x00, 0x15}, false,
         {{WithModbusCrc({0x01, 0x84, 0x02})}}, Disconnect, 1, 0, 2},
        {"bad CRC", plain, false, {{badCrc}}, Disconnect, 1, 0, 0},
        {"unknown function", plain, true,
         {{WithModbusCrc({0x01, 0x05, 0x02, 0x00, 0x01})}}, Disconnect, 1, 0, 0},
        // Pages are sized by the returned part mask: 4 + 3 + 44 + 106 + 106 + 2
        // = 265 bytes for 0x38, 4 + 3 + 44 + 2 = 53 for 0x08 alone; the view
        // lacks the CRC.
        {"all parts", {0x41, 0x00, 0x38, 0x04, 0x00, 0x01}, true,
         {{PageReply(0x38, 44 + 106 + 106)}}, Reply, 1, 263, 0},
        {"common part", {0x41, 0x00, 0x08, 0x04, 0x00, 0x01}, true, {{PageReply(0x08, 44)}}, Reply,
         1, 51, 0},
        // A 0x42 view is the eight reply bytes and one CRC byte.
        {"find page", {0x42, 0x00, 26, 3, 7}, true,
         {{WithModbusCrc({0x01, 0x42, 0x00, 26, 3, 7, 0x34, 0x12})}}, Reply, 1, 9, 0},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedMeter meter(c.answers);
        CRSConnector connector(ParamMap{{"name", meter.Path()}});
        connector.SetTimeoutForTest(250);
        CVKT9LowLevelConnector link(&connector, 0);
        link.SetNetAddr(1);
        Outcome got = Reply;
        try {
            CVKT9Buffer r = link.SendString(c.request.data(), c.request.size(), c.what, c.tolerate);
            ASSERT_EQ(r.Length(), c.length);
            Bytes sent;  // what answered the last attempt
            for (const Bytes& piece : c.answers[c.attempts - 1])
                sent.insert(sent.end(), piece.begin(), piece.end());
            for (int i = 0; i < c.length; ++i) EXPECT_EQ(r[i], sent[i]) << i;
            EXPECT_THROW(r[c.length], CDisconnectException);
        } catch (const CWrongPacketException&) {
            got = WrongPacket;
        } catch (const CDisconnectException&) {
            got = Disconnect;
        }
        EXPECT_EQ(got, c.outcome);
        EXPECT_EQ(link.LastError(), c.lastError);
        Bytes frame = {0x01};
        frame.insert(frame.end(), c.request.begin(), c.request.end());
        EXPECT_EQ(meter.Requests(), std::vector<Bytes>(c.attempts, WithModbusCrc(frame)));

        CVKT9Buffer next = link.SendString(plain.data(), plain.size(), "again", false);
        ASSERT_EQ(next.Length(), 5);
        EXPECT_EQ(next.U16BE(3), 0x1234);
        EXPECT_EQ(link.LastError(), 0);
    }
    const std::string journal = root.Read(vkt9::kJournalPath);
    for (const char* line : {" CVKT9LowLevelConnector::CheckResult - Error on return answer. Code "
                             "error 3. function 131 Func name - FindArchDate\n",
                             "Code error 2. function 132 Func name - GetTimestamps\n"})
        EXPECT_NE(journal.find(line), std::string::npos) << journal;
}

// Out-of-bounds reads and skips throw and leave a journal line.
TEST_F(Vkt9Link, BufferBoundsJournalAndThrow) {
    const uint8_t bytes[4] = {1, 2, 3, 4};
    CVKT9Buffer b(bytes, 4);
    b += 3;
    EXPECT_EQ(b.Length(), 1);
    EXPECT_EQ(b[0], 4);
    EXPECT_THROW(b += 2, CDisconnectException);
    EXPECT_THROW(b[1], CDisconnectException);
    const std::string journal = root.Read(vkt9::kJournalPath);
    for (const char* op : {"+=", "[]"})
        EXPECT_NE(journal.find(std::string("Code error 0. function 0 Func name - CVKT9Buffer ") +
                               op + "\n"),
                  std::string::npos)
            << journal;
}

// Both files go as soon as a write leaves them above 5,242,880 bytes; the
// next write starts a new file.
TEST_F(Vkt9Link, DiagnosticFilesRemovedPastLimit) {
    CVKT9LowLevelConnector link(nullptr, 0);
    const uint8_t raw[4] = {0x00, 0x01, 0xE2, 0x40};
    for (const char* path : {vkt9::kTracePath, vkt9::kJournalPath}) {
        std::ofstream(root.File(path)) << std::string(5242870, 'x');
        if (path == vkt9::kTracePath)
            link.WriteTrace("TimeOfWork", raw, 4);
        else
            link.WriteErrorLog(3, 0x41, "ReadArchData");
        EXPECT_FALSE(std::filesystem::exists(root.File(path))) << path;
    }
    link.WriteTrace("TimeOfWork", raw, 4);
    EXPECT_EQ(root.Read(vkt9::kTracePath), "TimeOfWork\n0x00 0x01 0xE2 0x40 \n\n");
}

// ------------------------------------------------------------------ driver

using vkt9::CVKT9MeterSim;

time_t LocalTime(int y, int mo, int d, int h = 0) { return kov::MeterLocalTime(y, mo, d, h, 0, 0); }

const ValueRecord* Find(const ValueList& list, int index, int kind, int sys, long time = -1) {
    const ValueRecord* found = nullptr;
    for (const ValueRecord& r : list)
        if (r.index == index && r.kind == kind && r.sys == sys && (time < 0 || r.timestamp == time))
            found = &r;
    return found;
}

// The record (index, kind, sys, time) holds want and, when given, the unit dim.
void Expect(const ValueList& v, int index, int kind, int sys, double want, long time = -1,
            const char* dim = nullptr) {
    const ValueRecord* r = Find(v, index, kind, sys, time);
    ASSERT_NE(r, nullptr) << index << "/" << kind << "/" << sys << " at " << time;
    EXPECT_NEAR(std::strtod(r->value.c_str(), nullptr), want, 1e-9)
        << index << "/" << kind << "/" << sys << " at " << time;
    EXPECT_TRUE(!dim || r->dim == dim) << index << "/" << kind << " in " << r->dim;
}

std::set<long> Times(const ValueList& list, int kind) {
    std::set<long> t;
    for (const ValueRecord& r : list)
        if (r.kind == kind) t.insert(r.timestamp);
    return t;
}

std::set<long> Hours(time_t day, int from, int to) {
    std::set<long> t;
    for (int h = from; h <= to; ++h) t.insert(day + 3600 * h);
    return t;
}

size_t CountFunction(const std::vector<kov::sim::Bytes>& requests, uint8_t fn) {
    size_t n = 0;
    for (const auto& r : requests) n += r.size() > 1 && r[1] == fn;
    return n;
}

// Page numbers of the 0x41 reads, in order; they travel low byte first.
std::vector<int> Pages(const std::vector<kov::sim::Bytes>& requests) {
    std::vector<int> pages;
    for (const auto& r : requests)
        if (r[1] == 0x41) pages.push_back(r[4] | (r[5] << 8));
    return pages;
}

// Every driver test runs in UTC and in a zone east of UTC, so a midnight
// taken in the wrong zone shows.
class Vkt9Driver : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        setenv("TZ", GetParam(), 1);
        tzset();
        now = kov::MeterLocalTime(2026, 3, 10, 14, 25, 0);
        clock = std::make_unique<kov::TestClock>(now);
        kov::SetClock(clock.get());
        sim = std::make_unique<CVKT9MeterSim>(pty.MasterFd(), 1);
        sim->SetClock([t = now] { return t; });
        sim->Start();
        connector = std::make_unique<CRSConnector>(ParamMap{{"name", pty.SlavePath()}});
        connector->SetTimeoutForTest(200);
        driver = std::make_unique<Ckov_VKT9>();
        driver->ApplyPortOptions({{"manufacturer", "vkt-9"}, {"serial", "1"}});
        driver->SaveConnector(connector.get());
    }
    void TearDown() override {
        driver.reset();
        sim->Stop();
        connector.reset();
        kov::SetClock(nullptr);
        unsetenv("TZ");
        tzset();
    }
    // Requests the meter saw since the last call.
    std::vector<kov::sim::Bytes> NewRequests() {
        auto all = sim->Requests();
        std::vector<kov::sim::Bytes> fresh(all.begin() + static_cast<long>(seen), all.end());
        seen = all.size();
        return fresh;
    }
    void Init() {
        driver->init();
        NewRequests();
    }
    ValueList Read(int kind, time_t from, time_t to) {
        ValueList v;
        EXPECT_EQ(
            driver->get_arch_values(kind, static_cast<int32_t>(from), static_cast<int32_t>(to), v),
            0);
        return v;
    }

    kov::sim::TestRoot root;
    time_t now = 0;
    std::unique_ptr<kov::TestClock> clock;
    kov::sim::PtyLink pty;
    std::unique_ptr<CVKT9MeterSim> sim;
    std::unique_ptr<CRSConnector> connector;
    std::unique_ptr<Ckov_VKT9> driver;
    size_t seen = 0;
};

INSTANTIATE_TEST_SUITE_P(Zones, Vkt9Driver, ::testing::Values("UTC0", "<+03>-3"));

TEST_P(Vkt9Driver, IdentificationAndSystemData) {
    EXPECT_TRUE(driver->init());
    auto req = NewRequests();
    ASSERT_EQ(req.size(), 2u);
    EXPECT_EQ(req[0], (kov::sim::Bytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x02, 0xC4, 0x0B}));
    EXPECT_EQ(req[1], (kov::sim::Bytes{0x01, 0x11, 0xC0, 0x2C}));
    EXPECT_EQ(driver->SerialNumber(), 912345u);
    EXPECT_EQ(driver->ModelText(), "0.9");
    EXPECT_EQ(driver->VersionText(), "2.3");
    EXPECT_TRUE(driver->HasTS2());
    EXPECT_EQ(driver->UnitText(19), "МПа");
    EXPECT_EQ(driver->UnitText(23), "ч");
    EXPECT_EQ(driver->UnitText(7), "Гкал");
    EXPECT_EQ(driver->UnitText(30), " ");

    std::vector<std::string> got;
    for (const ValueRecord& r : driver->get_all_system_values()) {
        EXPECT_EQ(r.quality, 192);
        EXPECT_NEAR(r.timestamp, kov::Now(), 2);
        got.push_back(std::to_string(r.kind) + "/" + std::to_string(r.index) + "/" +
                      std::to_string(r.sys) + "=" + r.value);
    }
    // clang-format off
    const std::vector<std::string> want = {
        "7/31/0=ООО \"Теплоком\"", "7/32/0=ВКТ-9", "7/33/0=2.3", "7/34/0=912345",
        "7/31/1=ООО \"Теплоком\"", "7/32/1=ВКТ-9", "7/33/1=2.3", "7/34/1=912345",
        "7/30/0=(+Qo)", "7/30/0=(+Qg)", "7/30/1=(-Qo)", "7/30/1=(+0)",
        "7/38/0=3\n7", "7/38/1=4\n8", "7/30/0=Зима", "7/30/1=Зима",
        "9/51/0=12.5", "9/53/0=0.5", "9/51/1=13.5", "9/53/1=1.5",
        "9/52/0=11.25", "9/54/0=0.25", "9/52/1=12.25", "9/54/1=1.25"};
    // clang-format on
    EXPECT_EQ(got, want);
    EXPECT_EQ(driver->ObjectID(), "OBJ-VKT9-SIM-001");

    // A slave-ID reply too short for model and version keeps both empty.
    sim->SetShortSlaveId(true);
    Init();
    EXPECT_EQ(driver->ModelText(), "");
    EXPECT_EQ(driver->VersionText(), "");
    EXPECT_FALSE(driver->HasTS2());
    ValueList v = driver->get_all_system_values();
    EXPECT_EQ(v.size(), 24u);
    Expect(v, 34, 7, 0, 912345);
}

TEST_P(Vkt9Driver, CurrentValues) {
    Init();
    driver->get_all_system_values();
    NewRequests();
    ValueList v = driver->get_all_curtime_cur_integ_values();
    auto req = NewRequests();
    ASSERT_EQ(req.size(), 4u);
    EXPECT_EQ(req[0], (kov::sim::Bytes{0x01, 0x03, 0x00, 0x02, 0x00, 0x08, 0xE5, 0xCC}));
    EXPECT_EQ(req[1], (kov::sim::Bytes{0x01, 0x04, 0x00, 0x29, 0x00, 0x4D, 0xE1, 0xF7}));
    Expect(v, 45, 7, 0, now);  // the meter's clock

    const long k = static_cast<long>(now / 3600);
    std::string trace;
    for (int sys = 0; sys < 2; ++sys) {
        const vkt9::Sample s = CVKT9MeterSim::SystemSample(k, sys);
        Expect(v, 17, 1, sys, s.qo, -1, "");
        Expect(v, 22, 1, sys, s.m[0]);
        Expect(v, 24, 1, sys, s.m[2]);
        Expect(v, 20, 1, sys, s.v[1], -1, "м3");
        Expect(v, 6, 0, sys, s.t[0], -1, "C");
        // Pressure in MPa goes up as kgf/cm2; operating times in minutes as hours.
        Expect(v, 9, 0, sys, s.p[0] / 0.0980665);
        Expect(v, 18, 1, sys, s.twMin / 60.0, -1, "ч");
        Expect(v, 29, 1, sys, s.errMin / 60.0);
        Expect(v, 27, 1, sys, 1.0);
        Expect(v, 26, 1, sys, 3.0);
        Expect(v, 3, 0, sys, 1.5 + sys);
        Expect(v, 0, 0, sys, 2.25 + sys);
        ASSERT_NE(Find(v, 14, 0, sys), nullptr);
        // The raw operating-time counter goes to the trace file.
        char line[64];
        snprintf(line, sizeof line, "TimeOfWork\n0x%02X 0x%02X 0x%02X 0x%02X \n\n", s.twMin >> 24,
                 (s.twMin >> 16) & 0xFF, (s.twMin >> 8) & 0xFF, s.twMin & 0xFF);
        trace += line;
    }
    EXPECT_EQ(root.Read(vkt9::kTracePath), trace);
    // Common block: tsw for both systems, and P3.
    const vkt9::CommonSample c = CVKT9MeterSim::CommonValues(k);
    Expect(v, 8, 0, 0, c.tsw);
    Expect(v, 8, 0, 1, c.tsw);
    Expect(v, 11, 0, 1, 0.1234 / 0.0980665);
}

// Meter error bits reach the common error word through the mapping of each
// error code; every mapped bit is checked on its own.
TEST_P(Vkt9Driver, ErrorWordMappings) {
    // clang-format off
    const struct {
        uint16_t e60, e70;
        uint32_t e61;
        uint16_t e62;
        uint32_t want;
    } cases[] = {
        {0x1000, 0, 0, 0, 0x8000},  {0x0FFF, 0, 0, 0, 0},        {0, 0x400, 0, 0, 0x800},
        {0, 0x3FF, 0, 0, 0},        {0, 0, 0x08, 0, 0x4},        {0, 0, 0x10, 0, 0x40000},
        {0, 0, 0x40, 0, 0x2},       {0, 0, 0x80, 0, 0x20000},    {0, 0, 0x200, 0, 0x2},
        {0, 0, 0x400, 0, 0x20000},  {0, 0, 0x1000, 0, 0x8},      {0, 0, 0x2000, 0, 0x80000},
        {0, 0, 0x40000, 0, 0x40},   {0, 0, 0x80000, 0, 0x100000}, {0, 0, 0x20027, 0, 0},
        {0, 0, 0, 0x8000, 0x4000},  {0, 0, 0, 0x200, 0x400},     {0, 0, 0, 0x2, 0x200},
        {0, 0, 0, 0x4, 0x200},      {0, 0, 0, 0x8, 0x200},       {0, 0, 0, 0x7DF1, 0},
        {0x1000, 0x400, 0x88, 0x8002, 0x8000 | 0x800 | 0x4 | 0x20000 | 0x4000 | 0x200},
    };
    // clang-format on
    Init();
    for (const auto& c : cases) {
        sim->SetCurrentErrors(c.e60, c.e70, c.e61, c.e62);
        ValueList v = driver->get_all_curtime_cur_integ_values();
        EXPECT_EQ(Find(v, 14, 0, 0)->value, std::to_string(c.want))
            << std::hex << c.e60 << " " << c.e70 << " " << c.e61 << " " << c.e62;
        if (c.e62 != 0x8002) continue;
        // The uploaded error text is the list of raw words decoded so far in the block.
        EXPECT_EQ(Find(v, 15, 0, 0)->value, "136 32770 ");
        int common = 0;
        for (const ValueRecord& r : v)
            common += r.index == 15 && r.kind == 0 && r.sys == 1 && r.value == "4096 1024 ";
        EXPECT_EQ(common, 1);
    }
}

// With Q-units in GJ the heat energy is uploaded in Gcal: 41.868 GJ -> 10.
TEST_P(Vkt9Driver, QoInGigajoulesUploadedInGcal) {
    sim->SetQUnits(1);
    sim->SetCurrentQo(0, 41, 0.868f);
    sim->SetCurrentQo(1, 83, 0.736f);
    Init();
    driver->get_all_system_values();
    ValueList v = driver->get_all_curtime_cur_integ_values();
    EXPECT_NEAR(std::strtod(Find(v, 17, 1, 0)->value.c_str(), nullptr), 10.0, 1e-6);
    EXPECT_NEAR(std::strtod(Find(v, 17, 1, 1)->value.c_str(), nullptr), 20.0, 1e-6);
}

TEST_P(Vkt9Driver, TimestampsFromRingTails) {
    sim->SetDepth(48, 20);
    Init();
    ArchiveBounds b;
    ASSERT_TRUE(driver->GetTimestamps(b));
    const time_t firstHour = LocalTime(2026, 3, 10, 13) - 47 * 3600;
    EXPECT_EQ(b.hourlyLower, firstHour);
    EXPECT_EQ(b.dailyLower, LocalTime(2026, 2, 18));
    EXPECT_EQ(b.meterClock, now);
    EXPECT_EQ(driver->Arch(0).size, CVKT9MeterSim::kRingSize);
    EXPECT_EQ(driver->Arch(0).tail, CVKT9MeterSim::PageOf(firstHour / 3600));
    EXPECT_EQ(NewRequests()[0], (kov::sim::Bytes{0x01, 0x04, 0x00, 0x07, 0x00, 0x15, 0x80, 0x04}));
}

// One 0x42 look-up, then the day's 24 pages one after another. A page whose
// time lies after `end` yields nothing but still moves the page pointer on.
// Firmware 1.0 pages have their own system layout and no Q-units byte: the
// meter's Q-units flag decides, so GJ pages are converted to Gcal.
TEST_P(Vkt9Driver, HourlyDayPageByPage) {
    const struct {
        uint16_t version;
        uint8_t gj;
        int lastHour;
    } cases[] = {{0x0203, 0, 23}, {0x0203, 1, 10}, {0x0100, 1, 23}, {0x0100, 0, 10}};
    const time_t day = LocalTime(2026, 3, 9);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.version << " gj " << int(c.gj));
        sim->SetVersion(c.version);
        sim->SetQUnits(c.gj);
        Init();
        EXPECT_EQ(driver->Version(), c.version);
        driver->get_all_system_values();
        NewRequests();
        ValueList v = Read(4, day, day + c.lastHour * 3600);
        auto req = NewRequests();
        EXPECT_EQ(CountFunction(req, 0x42), 1u);
        EXPECT_EQ(Times(v, 4), Hours(day, 0, c.lastHour));
        const std::vector<int> pages = Pages(req);
        ASSERT_EQ(pages.size(), 24u);
        EXPECT_EQ(pages[0], CVKT9MeterSim::PageOf(static_cast<long>(day / 3600)));
        for (size_t i = 1; i < pages.size(); ++i)
            EXPECT_EQ(pages[i], (pages[i - 1] + 1) % (CVKT9MeterSim::kRingSize + 1));
        for (int h = 0; h <= c.lastHour; h += 5) {
            const time_t t = day + 3600 * h;
            const long k = static_cast<long>(t / 3600);
            for (int sys = 0; sys < 2; ++sys) {
                const vkt9::Sample s = CVKT9MeterSim::SystemSample(k, sys);
                Expect(v, 17, 4, sys, c.gj ? s.qo / 4.1868 : s.qo, t);
                Expect(v, 22, 4, sys, s.m[0], t);
                Expect(v, 21, 4, sys, s.v[2], t);
                Expect(v, 7, 4, sys, s.t[1], t);
                Expect(v, 9, 4, sys, s.p[0] / 0.0980665, t);
                Expect(v, 10, 4, sys, s.p[1] / 0.0980665, t);
                Expect(v, 18, 4, sys, s.twMin / 60.0, t);
                if (c.version != 0x0100) Expect(v, 28, 4, sys, 2.0, t);  // not in 1.0 pages
                Expect(v, 38, 4, sys, sys + 1, t);
            }
            // tsw and the pressure in kgf/cm2 of the common part, for both systems.
            Expect(v, 8, 4, 1, CVKT9MeterSim::CommonValues(k).tsw, t);
            Expect(v, 11, 4, 0, 2.5, t);
        }
    }
}

// A day the meter does not have is passed over hour by hour, without pages.
TEST_P(Vkt9Driver, MissingHourlyDaySkippedHourByHour) {
    Init();
    const time_t day = LocalTime(2026, 3, 8);
    sim->AddMissingDay(day);
    EXPECT_TRUE(Read(4, day, day + 23 * 3600).empty());
    auto req = NewRequests();
    EXPECT_EQ(CountFunction(req, 0x41), 0u);
    ASSERT_EQ(CountFunction(req, 0x42), 24u);
    // Each look-up asks for that very day: 01 42 00 1A 03 08.
    for (const auto& r : req)
        EXPECT_EQ(kov::sim::Bytes(r.begin(), r.begin() + 6),
                  (kov::sim::Bytes{1, 0x42, 0, 26, 3, 8}));
}

TEST_P(Vkt9Driver, DailyAndIntegralDaily) {
    Init();
    const time_t day = LocalTime(2026, 3, 9);
    ValueList v = Read(5, day, day);
    auto req = NewRequests();
    ASSERT_EQ(req.size(), 4u);
    EXPECT_EQ(req[0], (kov::sim::Bytes{0x01, 0x42, 0x01, 0x1A, 0x03, 0x09, 0x99, 0x08}));
    EXPECT_EQ(Times(v, 5), std::set<long>{day});
    EXPECT_EQ(Times(v, 2), std::set<long>{day});
    const long k = static_cast<long>((day + 43200) / 86400);
    for (int sys = 0; sys < 2; ++sys) {
        const vkt9::Sample s = CVKT9MeterSim::SystemSample(k, sys);
        Expect(v, 17, 5, sys, s.qo);
        Expect(v, 23, 5, sys, s.m[1]);
        Expect(v, 17, 2, sys, s.qo);
        Expect(v, 19, 2, sys, s.v[0]);
        Expect(v, 18, 2, sys, s.twMin / 60.0);
        Expect(v, 26, 2, sys, 3.0);
        Expect(v, 38, 2, sys, sys + 1);
    }
    Expect(v, 25, 2, 0, CVKT9MeterSim::CommonValues(k).noPowerMin / 60.0);

    // A 0x42 answer that names another day yields nothing for that day.
    sim->AddMisnamedDay(day - 86400);
    v = Read(5, day - 86400, day);
    EXPECT_EQ(Times(v, 5), std::set<long>{day});
    EXPECT_EQ(Times(v, 2), std::set<long>{day});
    EXPECT_EQ(CountFunction(NewRequests(), 0x41), 2u);
}

// A page part with a wrong CRC gives no records for that page only.
TEST_P(Vkt9Driver, CorruptPartCrcDropsPage) {
    Init();
    const time_t day = LocalTime(2026, 3, 9);
    sim->AddBadPartCrc(0, day + 5 * 3600);
    std::set<long> want = Hours(day, 0, 23);
    want.erase(day + 5 * 3600);
    EXPECT_EQ(Times(Read(4, day, day + 23 * 3600), 4), want);
}

// A link failure inside an archive read ends the call (nothing of it is
// stored); the same record failing on three passes in a row is given up and
// the read goes on behind it, while a failure that does not repeat at the
// same record starts the count anew.
TEST_P(Vkt9Driver, DeadRecordGivenUpOnThirdPassOnly) {
    connector->SetTimeoutForTest(200);
    Init();
    const time_t day = LocalTime(2026, 3, 9);
    const time_t dead = day + 3 * 3600;
    sim->AddDeadPage(0, dead);
    for (int pass = 1; pass <= 2; ++pass)
        EXPECT_THROW(Read(4, day, day + 23 * 3600), CDisconnectException) << pass;
    std::set<long> want = Hours(day, 0, 23);
    want.erase(dead);
    ValueList v = Read(4, day, day + 23 * 3600);
    EXPECT_EQ(Times(v, 4), want);
    Expect(v, 17, 4, 0, CVKT9MeterSim::SystemSample(static_cast<long>((dead + 3600) / 3600), 0).qo,
           dead + 3600);
    // Read again (the next chunk covers the same day): absent at once.
    EXPECT_EQ(Times(Read(4, day, day + 23 * 3600), 4), want);

    sim->AddDeadPage(1, day, 3);  // one pass' worth of silence (three attempts)
    EXPECT_THROW(Read(5, day, day), CDisconnectException);
    EXPECT_EQ(Times(Read(5, day, day), 5), std::set<long>{day});
}

// Only code 3 means "no data" in an archive read; any other error answer,
// at the date search or at a page, fails the call like a broken link.
TEST_P(Vkt9Driver, FailureErrorAnswerEndsArchiveCall) {
    Init();
    const time_t day = LocalTime(2026, 3, 9);
    for (int before : {0, 1}) {
        SCOPED_TRACE(before);
        if (before) sim->InjectNext(kov::sim::FaultKind::None, before);
        sim->InjectNext(kov::sim::FaultKind::ErrorAnswer);
        EXPECT_THROW(Read(4, day, day + 23 * 3600), CDisconnectException);
    }
    EXPECT_EQ(Times(Read(4, day, day + 23 * 3600), 4), Hours(day, 0, 23));
}

TEST_P(Vkt9Driver, OtherArchiveKindsRefused) {
    ValueList v;
    EXPECT_EQ(driver->get_arch_values(3, 0, 100000, v), 2);
    EXPECT_TRUE(v.empty());
    EXPECT_EQ(sim->RequestCount(), 0u);
}

// The harness faults against identification: the link retries what can be
// retried, refuses what is corrupt, and the next exchange is clean again.
// Real pauses here, so late bytes arrive before the link flushes them.
TEST_P(Vkt9Driver, HarnessFaultsAndRecovery) {
    if (std::string(GetParam()) != "UTC0") GTEST_SKIP() << "the zone plays no part here";
    kov::SetClock(nullptr);
    kov::sim::FaultPlan plan;
    plan.delayMs = 50;
    sim->SetFaults(plan);
    enum Outcome { Ok, Refused, Either };
    using kov::sim::FaultKind;
    const struct {
        FaultKind kind;
        Outcome outcome;
    } cases[] = {
        {FaultKind::Silence, Ok},       {FaultKind::Truncate, Ok},
        {FaultKind::Delay, Ok},         {FaultKind::WrongAddress, Ok},
        {FaultKind::BadCheck, Refused}, {FaultKind::WrongFunction, Refused},
        {FaultKind::Echo, Refused},     {FaultKind::Noise, Either},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(kov::sim::FaultName(c.kind));
        sim->InjectNext(c.kind);
        bool refused = false;
        try {
            driver->init();
        } catch (const CDisconnectException&) {
            refused = true;
        }
        EXPECT_TRUE(c.outcome == Either || refused == (c.outcome == Refused)) << refused;
        EXPECT_TRUE(c.outcome != Ok || driver->VersionText() == "2.3");
        EXPECT_NO_THROW(driver->init());
        EXPECT_EQ(driver->SerialNumber(), 912345u);
        EXPECT_EQ(driver->VersionText(), "2.3");
    }
}

}  // namespace

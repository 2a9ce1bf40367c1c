// VKT-9 link layer against a scripted meter on a pseudo-terminal, through the
// real UART connector. Expected frames are worked by hand, not by the code
// under test.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
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
#include "service/path_root.h"
#include "sim/pty_link.h"
#include "transport/rs_connector.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A throw-away root for the journal files.
class Root {
public:
    Root() {
        char tmpl[] = "/tmp/vkt9link.XXXXXX";
        dir_ = mkdtemp(tmpl);
        mkdir((dir_ + "/mnt").c_str(), 0755);
        mkdir((dir_ + "/mnt/storage").c_str(), 0755);
        mkdir((dir_ + "/proc").c_str(), 0755);
        mkdir((dir_ + "/proc/leds").c_str(), 0755);
        kov::SetPathRoot(dir_);
    }
    ~Root() {
        kov::SetPathRoot("/");
        std::filesystem::remove_all(dir_);
    }
    std::string File(const std::string& abs) const { return dir_ + abs; }
    std::string Read(const std::string& abs) const {
        std::ifstream in(File(abs));
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    std::string dir_;
};

// The meter's end of the line: reads requests, answers from a script.
class ScriptedMeter {
public:
    ScriptedMeter() {
        if (openpty(&master_, &slave_, name_, nullptr, nullptr) != 0) abort();
        struct termios t {};
        tcgetattr(master_, &t);
        cfmakeraw(&t);
        tcsetattr(master_, TCSANOW, &t);
    }
    ~ScriptedMeter() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        close(master_);
        close(slave_);
    }
    std::string Path() const { return name_; }

    // For each request of reqLen bytes, the answer: the script's result is
    // written in pieces of `chunks` (all at once when empty).
    void Serve(size_t reqLen, std::function<std::vector<Bytes>(const Bytes&, int)> script) {
        thread_ = std::thread([this, reqLen, script] {
            int n = 0;
            while (!stop_) {
                Bytes req;
                while (req.size() < reqLen && !stop_) {
                    pollfd p{master_, POLLIN, 0};
                    if (poll(&p, 1, 20) <= 0) continue;
                    uint8_t b[300];
                    ssize_t r = read(master_, b, std::min(sizeof b, reqLen - req.size()));
                    if (r > 0) req.insert(req.end(), b, b + r);
                }
                if (stop_) break;
                requests_.push_back(req);
                for (const Bytes& piece : script(req, n++)) {
                    if (!piece.empty()) (void)!write(master_, piece.data(), piece.size());
                    std::this_thread::sleep_for(std::chrono::milliseconds(15));
                }
            }
        });
    }
    size_t Requests() const { return requests_.size(); }
    const std::vector<Bytes>& RequestList() const { return requests_; }

private:
    int master_ = -1, slave_ = -1;
    char name_[128] = {};
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::vector<Bytes> requests_;
};

Bytes WithModbusCrc(Bytes b) {
    const uint16_t c = kov::Crc16Modbus(b.data(), b.size());
    b.push_back(static_cast<uint8_t>(c & 0xFF));
    b.push_back(static_cast<uint8_t>(c >> 8));
    return b;
}

class Vkt9Link : public ::testing::Test {
protected:
    void SetUp() override {
        kov::SetClock(&clock);
        connector = std::make_unique<CRSConnector>(ParamMap{{"name", meter.Path()}});
        connector->SetTimeoutForTest(250);
        link = std::make_unique<CVKT9LowLevelConnector>(connector.get(), 0);
        link->SetNetAddr(1);
    }
    void TearDown() override {
        link.reset();
        connector.reset();
        kov::SetClock(nullptr);
    }

    Root root;
    kov::TestClock clock{1767225600};
    ScriptedMeter meter;
    std::unique_ptr<CRSConnector> connector;
    std::unique_ptr<CVKT9LowLevelConnector> link;
};

// The catalogue check values of the two CRCs this link and its driver use.
TEST(Vkt9Crc, CatalogueCheckValues) {
    const auto* s = reinterpret_cast<const uint8_t*>("123456789");
    EXPECT_EQ(kov::Crc16Modbus(s, 9), 0x4B37);
    EXPECT_EQ(kov::Crc16(kov::kCrc16CcittFalse, s, 9), 0x29B1);
    EXPECT_EQ(kov::Crc16(kov::kCrc16CcittFalse, s, 0), 0xFFFF);
    EXPECT_EQ(kov::Crc16Modbus(s, 0), 0xFFFF);
}

// A five-byte 0x03 request becomes the well-known eight-byte frame
// 01 03 00 00 00 0A C5 CD; the reply's data come back behind address,
// function and byte count.
TEST_F(Vkt9Link, RegisterRequestFrameAndReply) {
    meter.Serve(8, [](const Bytes&, int) {
        return std::vector<Bytes>{{0x01, 0x03, 0x04, 0x00, 0x0D, 0xF0, 0xAD, 0xEE, 0x4D}};
    });
    const uint8_t req[] = {0x03, 0x00, 0x00, 0x00, 0x0A};
    CVKT9Buffer r = link->SendString(req, sizeof req, "GetSerialNumber", false);
    ASSERT_EQ(meter.Requests(), 1u);
    EXPECT_EQ(meter.RequestList()[0], (Bytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD}));
    ASSERT_EQ(r.Length(), 7);  // byte count + 3
    EXPECT_EQ(r.U32BE(3), 0x000DF0ADu);
    EXPECT_EQ(link->LastError(), 0);
}

// Replies that come in pieces are collected until complete.
TEST_F(Vkt9Link, ReplyInPiecesIsCollected) {
    const Bytes whole = WithModbusCrc({0x01, 0x04, 0x06, 1, 2, 3, 4, 5, 6});
    meter.Serve(8, [&](const Bytes&, int) {
        return std::vector<Bytes>{Bytes(whole.begin(), whole.begin() + 2),
                                  Bytes(whole.begin() + 2, whole.begin() + 6),
                                  Bytes(whole.begin() + 6, whole.end())};
    });
    const uint8_t req[] = {0x04, 0x00, 0x07, 0x00, 0x03};
    CVKT9Buffer r = link->SendString(req, sizeof req, "x", false);
    ASSERT_EQ(r.Length(), 9);
    EXPECT_EQ(r[8], 6);
}

// A refusal to a tolerated request gives the empty buffer and its code; the
// unread rest of the refusal is flushed, so the next exchange is clean.
TEST_F(Vkt9Link, ToleratedErrorAnswerIsFlushed) {
    meter.Serve(8, [](const Bytes&, int n) {
        if (n == 0) return std::vector<Bytes>{WithModbusCrc({0x01, 0x83, 0x03})};
        return std::vector<Bytes>{WithModbusCrc({0x01, 0x03, 0x02, 0x12, 0x34})};
    });
    const uint8_t req[] = {0x03, 0x00, 0x00, 0x00, 0x01};
    CVKT9Buffer r = link->SendString(req, sizeof req, "FindArchDate", true);
    EXPECT_TRUE(r.Empty());
    EXPECT_EQ(r.Length(), 0);
    EXPECT_EQ(link->LastError(), 3);
    const std::string journal = root.Read(vkt9::kJournalPath);
    EXPECT_NE(journal.find(" CVKT9LowLevelConnector::CheckResult - Error on return answer. Code "
                           "error 3. function 131 "
                           "Func name - FindArchDate\n"),
              std::string::npos)
        << journal;

    CVKT9Buffer next = link->SendString(req, sizeof req, "again", true);
    ASSERT_EQ(next.Length(), 5);
    EXPECT_EQ(next.U16BE(3), 0x1234);
    EXPECT_EQ(link->LastError(), 0);
}

TEST_F(Vkt9Link, UntoleratedErrorAnswerThrowsDisconnect) {
    meter.Serve(8, [](const Bytes&, int) {
        return std::vector<Bytes>{WithModbusCrc({0x01, 0x84, 0x02})};
    });
    const uint8_t req[] = {0x04, 0x00, 0x07, 0x00, 0x15};
    EXPECT_THROW(link->SendString(req, sizeof req, "GetTimestamps", false), CDisconnectException);
    EXPECT_EQ(link->LastError(), 2);
    EXPECT_EQ(meter.Requests(), 1u);
}

// Page replies are sized by the returned part mask: 4 + 3 + 44 + 106 + 106 + 2
// = 265 bytes for 0x38, 4 + 3 + 44 + 2 = 53 for 0x08 alone.
TEST_F(Vkt9Link, PageRepliesSizedByMask) {
    meter.Serve(9, [](const Bytes& req, int) {
        const uint8_t mask = req[3];
        Bytes pdu = {0x01, 0x41, 0x00, mask, 0x05, 0x00, 0x01};
        const size_t parts =
            (mask & 0x08 ? 44 : 0) + (mask & 0x10 ? 106 : 0) + (mask & 0x20 ? 106 : 0);
        for (size_t i = 0; i < parts; ++i) pdu.push_back(static_cast<uint8_t>(i));
        return std::vector<Bytes>{WithModbusCrc(pdu)};
    });
    const uint8_t all[] = {0x41, 0x00, 0x38, 0x04, 0x00, 0x01};
    CVKT9Buffer r = link->SendString(all, sizeof all, "ReadArchData", true);
    EXPECT_EQ(r.Length(), 263);  // the 265 received bytes without the CRC
    EXPECT_EQ(r[262], static_cast<uint8_t>(255));
    EXPECT_THROW(r[263], CDisconnectException);

    const uint8_t date[] = {0x41, 0x00, 0x08, 0x04, 0x00, 0x01};
    r = link->SendString(date, sizeof date, "GetTimestamps", true);
    EXPECT_EQ(r.Length(), 51);  // 53 received
    ASSERT_EQ(meter.Requests(), 2u);
    // Page numbers travel low byte first.
    EXPECT_EQ(meter.RequestList()[1], WithModbusCrc({0x01, 0x41, 0x00, 0x08, 0x04, 0x00, 0x01}));
}

// A 0x42 reply is nine bytes in the view: eight reply bytes and one CRC byte.
TEST_F(Vkt9Link, FindPageReplyView) {
    meter.Serve(8, [](const Bytes&, int) {
        return std::vector<Bytes>{WithModbusCrc({0x01, 0x42, 0x00, 26, 3, 7, 0x34, 0x12})};
    });
    const uint8_t req[] = {0x42, 0x00, 26, 3, 7};
    CVKT9Buffer r = link->SendString(req, sizeof req, "FindArchDate", true);
    ASSERT_EQ(r.Length(), 9);
    EXPECT_EQ(r.U16LE(6), 0x1234);
}

// A reply that stops after its head: the frame goes out three times, then
// CWrongPacketException.
TEST_F(Vkt9Link, SilentAfterHeadRetriedThreeTimes) {
    meter.Serve(8, [](const Bytes&, int) { return std::vector<Bytes>{{0x01, 0x03, 0x04}}; });
    const uint8_t req[] = {0x03, 0x00, 0x00, 0x00, 0x02};
    EXPECT_THROW(link->SendString(req, sizeof req, "GetSerialNumber", false),
                 CWrongPacketException);
    EXPECT_EQ(meter.Requests(), 3u);
    for (const Bytes& r : meter.RequestList())
        EXPECT_EQ(r, WithModbusCrc({0x01, 0x03, 0x00, 0x00, 0x00, 0x02}));
}

// One failed attempt is retried; the second answer is used.
TEST_F(Vkt9Link, SilenceOnceThenAnswer) {
    meter.Serve(8, [](const Bytes&, int n) {
        if (n == 0) return std::vector<Bytes>{};
        return std::vector<Bytes>{WithModbusCrc({0x01, 0x03, 0x02, 0xAB, 0xCD})};
    });
    const uint8_t req[] = {0x03, 0x00, 0x00, 0x00, 0x01};
    CVKT9Buffer r = link->SendString(req, sizeof req, "x", false);
    EXPECT_EQ(meter.Requests(), 2u);
    EXPECT_EQ(r.U16BE(3), 0xABCD);
}

// A corrupt CRC or a function of another class ends the exchange at once.
TEST_F(Vkt9Link, BadCrcAndUnknownFunctionAreNotRetried) {
    meter.Serve(8, [](const Bytes&, int n) {
        if (n == 0) {
            Bytes b = WithModbusCrc({0x01, 0x03, 0x02, 0x00, 0x01});
            b.back() ^= 0x01;
            return std::vector<Bytes>{b};
        }
        return std::vector<Bytes>{WithModbusCrc({0x01, 0x05, 0x02, 0x00, 0x01})};
    });
    const uint8_t req[] = {0x03, 0x00, 0x00, 0x00, 0x01};
    EXPECT_THROW(link->SendString(req, sizeof req, "x", false), CDisconnectException);
    EXPECT_EQ(meter.Requests(), 1u);
    EXPECT_THROW(link->SendString(req, sizeof req, "x", true), CDisconnectException);
    EXPECT_EQ(meter.Requests(), 2u);
}

TEST_F(Vkt9Link, BufferBoundsJournalAndThrow) {
    const uint8_t bytes[4] = {1, 2, 3, 4};
    CVKT9Buffer b(bytes, 4);
    EXPECT_EQ(b[3], 4);
    EXPECT_THROW(b[4], CDisconnectException);
    b += 3;
    EXPECT_EQ(b.Length(), 1);
    EXPECT_THROW(b += 2, CDisconnectException);
    const std::string journal = root.Read(vkt9::kJournalPath);
    EXPECT_NE(journal.find("Code error 0. function 0 Func name - CVKT9Buffer []\n"),
              std::string::npos)
        << journal;
    EXPECT_NE(journal.find("Code error 0. function 0 Func name - CVKT9Buffer +=\n"),
              std::string::npos)
        << journal;
}

// Both files go as soon as a write leaves them above 5,242,880 bytes; the
// next write starts a new file.
TEST_F(Vkt9Link, DiagnosticFilesRemovedPastLimit) {
    for (const char* path : {vkt9::kTracePath, vkt9::kJournalPath}) {
        {
            std::ofstream f(root.File(path));
            f << std::string(5242870, 'x');
        }
        if (std::string(path) == vkt9::kTracePath) {
            const uint8_t raw[4] = {0x00, 0x01, 0xE2, 0x40};
            link->WriteTrace("TimeOfWork", raw, 4);
        } else {
            link->WriteErrorLog(3, 0x41, "ReadArchData");
        }
        struct stat st {};
        EXPECT_NE(stat(root.File(path).c_str(), &st), 0) << path;
    }
    const uint8_t raw[4] = {0x00, 0x01, 0xE2, 0x40};
    link->WriteTrace("TimeOfWork", raw, 4);
    EXPECT_EQ(root.Read(vkt9::kTracePath), "TimeOfWork\n0x00 0x01 0xE2 0x40 \n\n");
}

// ------------------------------------------------------------------ driver

using vkt9::CVKT9MeterSim;

time_t LocalTime(int y, int mo, int d, int h, int mi, int s) {
    return kov::MeterLocalTime(y, mo, d, h, mi, s);
}

const ValueRecord* Find(const ValueList& list, int index, int kind, int sys, long time = -1) {
    const ValueRecord* found = nullptr;
    for (const ValueRecord& r : list)
        if (r.index == index && r.kind == kind && r.sys == sys && (time < 0 || r.timestamp == time))
            found = &r;
    return found;
}

double Num(const ValueRecord* r) { return r ? std::strtod(r->value.c_str(), nullptr) : NAN; }

std::set<long> Times(const ValueList& list, int kind) {
    std::set<long> t;
    for (const ValueRecord& r : list)
        if (r.kind == kind) t.insert(r.timestamp);
    return t;
}

size_t CountFunction(const std::vector<kov::sim::Bytes>& requests, uint8_t fn) {
    size_t n = 0;
    for (const auto& r : requests)
        if (r.size() > 1 && r[1] == fn) ++n;
    return n;
}

// Every driver test runs in UTC and in a zone east of UTC, so a midnight
// taken in the wrong zone shows.
class Vkt9Driver : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        setenv("TZ", GetParam(), 1);
        tzset();
        now = LocalTime(2026, 3, 10, 14, 25, 0);
        clock = std::make_unique<kov::TestClock>(now);
        kov::SetClock(clock.get());
        sim = std::make_unique<CVKT9MeterSim>(pty.MasterFd(), 1);
        const time_t meterNow = now;
        sim->SetClock([meterNow] { return meterNow; });
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

    Root root;
    time_t now = 0;
    std::unique_ptr<kov::TestClock> clock;
    kov::sim::PtyLink pty;
    std::unique_ptr<CVKT9MeterSim> sim;
    std::unique_ptr<CRSConnector> connector;
    std::unique_ptr<Ckov_VKT9> driver;
    size_t seen = 0;
};

INSTANTIATE_TEST_SUITE_P(Zones, Vkt9Driver, ::testing::Values("UTC0", "<+03>-3"));

TEST_P(Vkt9Driver, IdentificationAndSystemValues) {
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

    ValueList v = driver->get_all_system_values();
    std::vector<std::string> got;
    for (const ValueRecord& r : v) {
        EXPECT_EQ(r.quality, 192);
        EXPECT_NEAR(r.timestamp, kov::Now(), 2);
        got.push_back(std::to_string(r.kind) + "/" + std::to_string(r.index) + "/" +
                      std::to_string(r.sys) + "=" + r.value);
    }
    const std::vector<std::string> want = {"7/31/0=ООО \"Теплоком\"",
                                           "7/32/0=ВКТ-9",
                                           "7/33/0=2.3",
                                           "7/34/0=912345",
                                           "7/31/1=ООО \"Теплоком\"",
                                           "7/32/1=ВКТ-9",
                                           "7/33/1=2.3",
                                           "7/34/1=912345",
                                           "7/30/0=(+Qo)",
                                           "7/30/0=(+Qg)",
                                           "7/30/1=(-Qo)",
                                           "7/30/1=(+0)",
                                           "7/38/0=3\n7",
                                           "7/38/1=4\n8",
                                           "7/30/0=Зима",
                                           "7/30/1=Зима",
                                           "9/51/0=12.5",
                                           "9/53/0=0.5",
                                           "9/51/1=13.5",
                                           "9/53/1=1.5",
                                           "9/52/0=11.25",
                                           "9/54/0=0.25",
                                           "9/52/1=12.25",
                                           "9/54/1=1.25"};
    EXPECT_EQ(got, want);
    EXPECT_EQ(driver->ObjectID(), "OBJ-VKT9-SIM-001");
}

TEST_P(Vkt9Driver, ShortSlaveIdKeepsModelEmpty) {
    sim->SetShortSlaveId(true);
    driver->init();
    NewRequests();
    EXPECT_EQ(driver->ModelText(), "");
    EXPECT_EQ(driver->VersionText(), "");
    EXPECT_FALSE(driver->HasTS2());
    ValueList v = driver->get_all_system_values();
    EXPECT_EQ(v.size(), 24u);
    EXPECT_EQ(Num(Find(v, 34, 7, 0)), 912345);
}

TEST_P(Vkt9Driver, CurrentValues) {
    driver->init();
    NewRequests();
    driver->get_all_system_values();
    NewRequests();
    ValueList v = driver->get_all_curtime_cur_integ_values();
    auto req = NewRequests();
    ASSERT_EQ(req.size(), 4u);
    EXPECT_EQ(req[0], (kov::sim::Bytes{0x01, 0x03, 0x00, 0x02, 0x00, 0x08, 0xE5, 0xCC}));
    EXPECT_EQ(req[1], (kov::sim::Bytes{0x01, 0x04, 0x00, 0x29, 0x00, 0x4D, 0xE1, 0xF7}));

    const ValueRecord* clockRec = Find(v, 45, 7, 0);
    ASSERT_NE(clockRec, nullptr);
    EXPECT_EQ(clockRec->value, std::to_string(now));

    const long k = static_cast<long>(now / 3600);
    for (int sys = 0; sys < 2; ++sys) {
        const vkt9::Sample s = CVKT9MeterSim::SystemSample(k, sys);
        EXPECT_EQ(Num(Find(v, 17, 1, sys)), s.qo) << sys;
        EXPECT_EQ(Find(v, 17, 1, sys)->dim, "");
        EXPECT_EQ(Num(Find(v, 22, 1, sys)), s.m[0]);
        EXPECT_EQ(Num(Find(v, 24, 1, sys)), s.m[2]);
        EXPECT_EQ(Num(Find(v, 20, 1, sys)), s.v[1]);
        EXPECT_EQ(Find(v, 20, 1, sys)->dim, "м3");
        EXPECT_EQ(Num(Find(v, 6, 0, sys)), s.t[0]);
        EXPECT_EQ(Find(v, 6, 0, sys)->dim, "C");
        // Pressure in MPa goes up as kgf/cm2; operating times in minutes as hours.
        EXPECT_NEAR(Num(Find(v, 9, 0, sys)), s.p[0] / 0.0980665, 1e-9);
        EXPECT_NEAR(Num(Find(v, 18, 1, sys)), s.twMin / 60.0, 1e-9);
        EXPECT_EQ(Find(v, 18, 1, sys)->dim, "ч");
        EXPECT_NEAR(Num(Find(v, 29, 1, sys)), s.errMin / 60.0, 1e-9);
        EXPECT_NEAR(Num(Find(v, 27, 1, sys)), 1.0, 1e-12);
        EXPECT_NEAR(Num(Find(v, 26, 1, sys)), 3.0, 1e-12);
        EXPECT_EQ(Num(Find(v, 3, 0, sys)), 1.5 + sys);
        EXPECT_EQ(Num(Find(v, 0, 0, sys)), 2.25 + sys);
        ASSERT_NE(Find(v, 14, 0, sys), nullptr);
    }
    // The raw operating-time counters of both systems go to the trace file.
    char want[160];
    const uint32_t tw0 = CVKT9MeterSim::SystemSample(k, 0).twMin,
                   tw1 = CVKT9MeterSim::SystemSample(k, 1).twMin;
    snprintf(
        want, sizeof want,
        "TimeOfWork\n0x%02X 0x%02X 0x%02X 0x%02X \n\nTimeOfWork\n0x%02X 0x%02X 0x%02X 0x%02X \n\n",
        tw0 >> 24, (tw0 >> 16) & 0xFF, (tw0 >> 8) & 0xFF, tw0 & 0xFF, tw1 >> 24, (tw1 >> 16) & 0xFF,
        (tw1 >> 8) & 0xFF, tw1 & 0xFF);
    EXPECT_EQ(root.Read(vkt9::kTracePath), want);
    // Common block: tsw and P3 for both systems.
    const vkt9::CommonSample c = CVKT9MeterSim::CommonValues(k);
    EXPECT_EQ(Num(Find(v, 8, 0, 0)), c.tsw);
    EXPECT_EQ(Num(Find(v, 8, 0, 1)), c.tsw);
    EXPECT_NEAR(Num(Find(v, 11, 0, 1)), 0.1234 / 0.0980665, 1e-9);
}

// Meter error bits reach the common error word through the mapping of each
// error code; every mapped bit is checked on its own.
TEST_P(Vkt9Driver, ErrorWordMappings) {
    struct Case {
        uint16_t e60, e70;
        uint32_t e61;
        uint16_t e62;
        uint32_t want;
    };
    const Case cases[] = {
        {0x1000, 0, 0, 0, 0x8000},
        {0x0FFF, 0, 0, 0, 0},
        {0, 0x400, 0, 0, 0x800},
        {0, 0x3FF, 0, 0, 0},
        {0, 0, 0x08, 0, 0x4},
        {0, 0, 0x10, 0, 0x40000},
        {0, 0, 0x40, 0, 0x2},
        {0, 0, 0x80, 0, 0x20000},
        {0, 0, 0x200, 0, 0x2},
        {0, 0, 0x400, 0, 0x20000},
        {0, 0, 0x1000, 0, 0x8},
        {0, 0, 0x2000, 0, 0x80000},
        {0, 0, 0x40000, 0, 0x40},
        {0, 0, 0x80000, 0, 0x100000},
        {0, 0, 0x20027, 0, 0},
        {0, 0, 0, 0x8000, 0x4000},
        {0, 0, 0, 0x200, 0x400},
        {0, 0, 0, 0x2, 0x200},
        {0, 0, 0, 0x4, 0x200},
        {0, 0, 0, 0x8, 0x200},
        {0, 0, 0, 0x7DF1, 0},
        {0x1000, 0x400, 0x88, 0x8002, 0x8000 | 0x800 | 0x4 | 0x20000 | 0x4000 | 0x200},
    };
    driver->init();
    NewRequests();
    for (const Case& c : cases) {
        sim->SetCurrentErrors(c.e60, c.e70, c.e61, c.e62);
        ValueList v = driver->get_all_curtime_cur_integ_values();
        EXPECT_EQ(Find(v, 14, 0, 0)->value, std::to_string(c.want))
            << std::hex << c.e60 << " " << c.e70 << " " << c.e61 << " " << c.e62;
    }
    // The uploaded error text is the list of raw words decoded so far in the block.
    sim->SetCurrentErrors(0x1000, 0x400, 0x88, 0x8002);
    ValueList v = driver->get_all_curtime_cur_integ_values();
    EXPECT_EQ(Find(v, 15, 0, 0)->value, "136 32770 ");
    int common = 0;
    for (const ValueRecord& r : v)
        if (r.index == 15 && r.kind == 0 && r.sys == 1 && r.value == "4096 1024 ") ++common;
    EXPECT_EQ(common, 1);
}

// With Q-units in GJ the heat energy is uploaded in Gcal: 41.868 GJ -> 10.
TEST_P(Vkt9Driver, QoInGigajoulesUploadedInGcal) {
    sim->SetQUnits(1);
    sim->SetCurrentQo(0, 41, 0.868f);
    sim->SetCurrentQo(1, 83, 0.736f);
    driver->init();
    NewRequests();
    driver->get_all_system_values();
    ValueList v = driver->get_all_curtime_cur_integ_values();
    EXPECT_NEAR(Num(Find(v, 17, 1, 0)), 10.0, 1e-6);
    EXPECT_NEAR(Num(Find(v, 17, 1, 1)), 20.0, 1e-6);
}

TEST_P(Vkt9Driver, TimestampsFromRingTails) {
    sim->SetDepth(48, 20);
    driver->init();
    NewRequests();
    ArchiveBounds b;
    ASSERT_TRUE(driver->GetTimestamps(b));
    const time_t lastHour = LocalTime(2026, 3, 10, 13, 0, 0);
    EXPECT_EQ(b.hourlyLower, lastHour - 47 * 3600);
    EXPECT_EQ(b.dailyLower, LocalTime(2026, 2, 18, 0, 0, 0));
    EXPECT_EQ(b.meterClock, now);
    EXPECT_EQ(driver->Arch(0).size, CVKT9MeterSim::kRingSize);
    EXPECT_EQ(driver->Arch(0).tail, CVKT9MeterSim::PageOf((lastHour - 47 * 3600) / 3600));
    auto req = NewRequests();
    EXPECT_EQ(req[0], (kov::sim::Bytes{0x01, 0x04, 0x00, 0x07, 0x00, 0x15, 0x80, 0x04}));
}

TEST_P(Vkt9Driver, HourlyDay) {
    driver->init();
    NewRequests();
    const time_t day = LocalTime(2026, 3, 9, 0, 0, 0);
    ValueList v;
    EXPECT_EQ(driver->get_arch_values(4, static_cast<int32_t>(day),
                                      static_cast<int32_t>(day + 23 * 3600), v),
              0);
    auto req = NewRequests();
    EXPECT_EQ(CountFunction(req, 0x42), 1u);
    EXPECT_EQ(CountFunction(req, 0x41), 24u);
    std::set<long> want;
    for (int h = 0; h < 24; ++h) want.insert(day + 3600 * h);
    EXPECT_EQ(Times(v, 4), want);
    for (int h = 0; h < 24; h += 7) {
        const time_t t = day + 3600 * h;
        const long k = static_cast<long>(t / 3600);
        for (int sys = 0; sys < 2; ++sys) {
            const vkt9::Sample s = CVKT9MeterSim::SystemSample(k, sys);
            EXPECT_EQ(Num(Find(v, 17, 4, sys, t)), s.qo);
            EXPECT_EQ(Num(Find(v, 22, 4, sys, t)), s.m[0]);
            EXPECT_EQ(Num(Find(v, 21, 4, sys, t)), s.v[2]);
            EXPECT_EQ(Num(Find(v, 7, 4, sys, t)), s.t[1]);
            EXPECT_NEAR(Num(Find(v, 9, 4, sys, t)), s.p[0] / 0.0980665, 1e-9);
            EXPECT_NEAR(Num(Find(v, 18, 4, sys, t)), s.twMin / 60.0, 1e-9);
            EXPECT_NEAR(Num(Find(v, 28, 4, sys, t)), 2.0, 1e-12);
        }
        // tsw and the pressure in kgf/cm2 of the common part, for both systems.
        const vkt9::CommonSample c = CVKT9MeterSim::CommonValues(k);
        EXPECT_EQ(Num(Find(v, 8, 4, 1, t)), c.tsw);
        EXPECT_EQ(Num(Find(v, 11, 4, 0, t)), 2.5);
    }
    // Consecutive pages: each read continues at the meter's next page.
    std::vector<int> pages;
    for (const auto& r : req)
        if (r[1] == 0x41) pages.push_back(r[4] | (r[5] << 8));
    for (size_t i = 1; i < pages.size(); ++i)
        EXPECT_EQ(pages[i], (pages[i - 1] + 1) % (CVKT9MeterSim::kRingSize + 1));
    EXPECT_EQ(pages[0], CVKT9MeterSim::PageOf(static_cast<long>(day / 3600)));
}

// A page whose time lies after `end` yields nothing but still moves the
// page pointer on.
TEST_P(Vkt9Driver, PagesAfterEndAdvancePointerOnly) {
    driver->init();
    NewRequests();
    const time_t day = LocalTime(2026, 3, 9, 0, 0, 0);
    ValueList v;
    driver->get_arch_values(4, static_cast<int32_t>(day), static_cast<int32_t>(day + 10 * 3600), v);
    auto req = NewRequests();
    EXPECT_EQ(CountFunction(req, 0x41), 24u);
    std::set<long> want;
    for (int h = 0; h <= 10; ++h) want.insert(day + 3600 * h);
    EXPECT_EQ(Times(v, 4), want);
    int last = -1;
    for (const auto& r : req) {
        if (r[1] != 0x41) continue;
        const int page = r[4] | (r[5] << 8);
        if (last >= 0) {
            EXPECT_EQ(page, last + 1);
        }
        last = page;
    }
}

// A day the meter does not have is passed over hour by hour, without pages.
TEST_P(Vkt9Driver, MissingHourlyDaySkippedHourByHour) {
    driver->init();
    NewRequests();
    const time_t day = LocalTime(2026, 3, 8, 0, 0, 0);
    sim->AddMissingDay(day);
    ValueList v;
    driver->get_arch_values(4, static_cast<int32_t>(day), static_cast<int32_t>(day + 23 * 3600), v);
    auto req = NewRequests();
    EXPECT_TRUE(v.empty());
    EXPECT_EQ(CountFunction(req, 0x41), 0u);
    ASSERT_EQ(CountFunction(req, 0x42), 24u);
    // Each look-up asks for that very day: 01 42 00 1A 03 08.
    for (const auto& r : req)
        EXPECT_EQ(kov::sim::Bytes(r.begin(), r.begin() + 6),
                  (kov::sim::Bytes{1, 0x42, 0, 26, 3, 8}));
}

TEST_P(Vkt9Driver, DailyAndIntegralDaily) {
    driver->init();
    NewRequests();
    const time_t day = LocalTime(2026, 3, 9, 0, 0, 0);
    ValueList v;
    driver->get_arch_values(5, static_cast<int32_t>(day), static_cast<int32_t>(day), v);
    auto req = NewRequests();
    ASSERT_EQ(req.size(), 4u);
    EXPECT_EQ(req[0], (kov::sim::Bytes{0x01, 0x42, 0x01, 0x1A, 0x03, 0x09, 0x99, 0x08}));
    EXPECT_EQ(Times(v, 5), std::set<long>{day});
    EXPECT_EQ(Times(v, 2), std::set<long>{day});
    const long k = static_cast<long>((day + 43200) / 86400);
    for (int sys = 0; sys < 2; ++sys) {
        const vkt9::Sample s = CVKT9MeterSim::SystemSample(k, sys);
        EXPECT_EQ(Num(Find(v, 17, 5, sys)), s.qo);
        EXPECT_EQ(Num(Find(v, 23, 5, sys)), s.m[1]);
        EXPECT_EQ(Num(Find(v, 17, 2, sys)), s.qo);
        EXPECT_EQ(Num(Find(v, 19, 2, sys)), s.v[0]);
        EXPECT_NEAR(Num(Find(v, 18, 2, sys)), s.twMin / 60.0, 1e-9);
        EXPECT_NEAR(Num(Find(v, 26, 2, sys)), 3.0, 1e-12);
        EXPECT_EQ(Num(Find(v, 38, 2, sys)), sys + 1);
    }
    EXPECT_NEAR(Num(Find(v, 25, 2, 0)), CVKT9MeterSim::CommonValues(k).noPowerMin / 60.0, 1e-9);
}

// A 0x42 answer that names another day yields nothing for that day.
TEST_P(Vkt9Driver, DailyAnswerForAnotherDayIgnored) {
    driver->init();
    NewRequests();
    const time_t day = LocalTime(2026, 3, 7, 0, 0, 0);
    sim->AddMisnamedDay(day);
    ValueList v;
    driver->get_arch_values(5, static_cast<int32_t>(day), static_cast<int32_t>(day + 86400), v);
    EXPECT_EQ(Times(v, 5), std::set<long>{day + 86400});
    EXPECT_EQ(Times(v, 2), std::set<long>{day + 86400});
    EXPECT_EQ(CountFunction(NewRequests(), 0x41), 2u);
}

// A page part with a wrong CRC gives no records for that page only.
TEST_P(Vkt9Driver, CorruptPartCrcDropsPage) {
    driver->init();
    NewRequests();
    const time_t day = LocalTime(2026, 3, 9, 0, 0, 0);
    sim->AddBadPartCrc(0, day + 5 * 3600);
    ValueList v;
    driver->get_arch_values(4, static_cast<int32_t>(day), static_cast<int32_t>(day + 23 * 3600), v);
    std::set<long> t = Times(v, 4);
    EXPECT_EQ(t.size(), 23u);
    EXPECT_EQ(t.count(day + 5 * 3600), 0u);
    EXPECT_EQ(t.count(day + 6 * 3600), 1u);
}

// Firmware 1.0 pages have their own system layout and no Q-units byte: the
// meter's Q-units flag decides, so GJ pages are converted to Gcal.
TEST_P(Vkt9Driver, Firmware10Layout) {
    for (bool v10 : {false, true}) {
        sim->SetVersion(v10 ? 0x0100 : 0x0203);
        sim->SetQUnits(1);
        driver->init();
        NewRequests();
        EXPECT_EQ(driver->Version(), v10 ? 0x0100 : 0x0203);
        driver->get_all_system_values();
        const time_t t = LocalTime(2026, 3, 9, 7, 0, 0);
        ValueList v;
        driver->get_arch_values(4, static_cast<int32_t>(t), static_cast<int32_t>(t), v);
        const long k = static_cast<long>(t / 3600);
        for (int sys = 0; sys < 2; ++sys) {
            const vkt9::Sample s = CVKT9MeterSim::SystemSample(k, sys);
            EXPECT_NEAR(Num(Find(v, 17, 4, sys, t)), s.qo / 4.1868, 1e-9) << v10;
            EXPECT_NEAR(Num(Find(v, 9, 4, sys, t)), s.p[0] / 0.0980665, 1e-9) << v10;
            EXPECT_NEAR(Num(Find(v, 10, 4, sys, t)), s.p[1] / 0.0980665, 1e-9) << v10;
            EXPECT_NEAR(Num(Find(v, 18, 4, sys, t)), s.twMin / 60.0, 1e-9) << v10;
            EXPECT_EQ(Num(Find(v, 38, 4, sys, t)), sys + 1) << v10;
        }
    }
    // Firmware 1.0 with the meter in Gcal: the page is taken as Gcal.
    sim->SetQUnits(0);
    driver->init();
    NewRequests();
    driver->get_all_system_values();
    const time_t t = LocalTime(2026, 3, 9, 7, 0, 0);
    ValueList v;
    driver->get_arch_values(4, static_cast<int32_t>(t), static_cast<int32_t>(t), v);
    EXPECT_EQ(Num(Find(v, 17, 4, 0, t)),
              CVKT9MeterSim::SystemSample(static_cast<long>(t / 3600), 0).qo);
}

// A link failure inside an archive read ends the call (nothing of it is
// stored); the same record failing on three passes in a row is given up and
// the read goes on behind it.
TEST_P(Vkt9Driver, DeadRecordEndsCallUntilThirdPass) {
    connector->SetTimeoutForTest(60);
    driver->init();
    NewRequests();
    const time_t day = LocalTime(2026, 3, 9, 0, 0, 0);
    const time_t dead = day + 3 * 3600;
    sim->AddDeadPage(0, dead);
    for (int pass = 1; pass <= 2; ++pass) {
        ValueList v;
        EXPECT_THROW(driver->get_arch_values(4, static_cast<int32_t>(day),
                                             static_cast<int32_t>(day + 23 * 3600), v),
                     CDisconnectException)
            << pass;
    }
    ValueList v;
    driver->get_arch_values(4, static_cast<int32_t>(day), static_cast<int32_t>(day + 23 * 3600), v);
    std::set<long> t = Times(v, 4);
    EXPECT_EQ(t.size(), 23u);
    EXPECT_EQ(t.count(dead), 0u);
    EXPECT_EQ(t.count(dead + 3600), 1u);
    EXPECT_EQ(Num(Find(v, 17, 4, 0, dead + 3600)),
              CVKT9MeterSim::SystemSample(static_cast<long>((dead + 3600) / 3600), 0).qo);
    // Read again (the next chunk covers the same day): absent at once.
    ValueList again;
    EXPECT_NO_THROW(driver->get_arch_values(4, static_cast<int32_t>(day),
                                            static_cast<int32_t>(day + 23 * 3600), again));
    EXPECT_EQ(Times(again, 4).size(), 23u);
}

// A failure that does not repeat at the same record starts the count anew.
TEST_P(Vkt9Driver, TransientFailureIsNotGivenUp) {
    connector->SetTimeoutForTest(60);
    driver->init();
    NewRequests();
    const time_t day = LocalTime(2026, 3, 9, 0, 0, 0);
    sim->AddDeadPage(1, day, 3);  // one pass' worth of silence (three attempts)
    ValueList v;
    EXPECT_THROW(
        driver->get_arch_values(5, static_cast<int32_t>(day), static_cast<int32_t>(day), v),
        CDisconnectException);
    ValueList again;
    driver->get_arch_values(5, static_cast<int32_t>(day), static_cast<int32_t>(day), again);
    EXPECT_EQ(Times(again, 5), std::set<long>{day});
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
    const struct {
        kov::sim::FaultKind kind;
        Outcome outcome;
    } cases[] = {
        {kov::sim::FaultKind::Silence, Ok},       {kov::sim::FaultKind::Truncate, Ok},
        {kov::sim::FaultKind::Delay, Ok},         {kov::sim::FaultKind::WrongAddress, Ok},
        {kov::sim::FaultKind::BadCheck, Refused}, {kov::sim::FaultKind::WrongFunction, Refused},
        {kov::sim::FaultKind::Echo, Refused},     {kov::sim::FaultKind::Noise, Either},
    };
    for (const auto& c : cases) {
        const char* name = kov::sim::FaultName(c.kind);
        sim->InjectNext(c.kind);
        bool refused = false;
        try {
            driver->init();
        } catch (const CDisconnectException&) {
            refused = true;
        }
        if (c.outcome == Ok) {
            EXPECT_FALSE(refused) << name;
            EXPECT_EQ(driver->VersionText(), "2.3") << name;
        }
        if (c.outcome == Refused) {
            EXPECT_TRUE(refused) << name;
        }
        EXPECT_NO_THROW(driver->init()) << name;
        EXPECT_EQ(driver->SerialNumber(), 912345u) << name;
        EXPECT_EQ(driver->VersionText(), "2.3") << name;
    }
}

}  // namespace

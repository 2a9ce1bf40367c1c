#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <iterator>
#include <memory>
#include <thread>

#include "drivers/common/crc16.h"
#include "sim/fault_plan.h"
#include "sim/modbus_slave.h"
#include "sim/pty_link.h"
#include "sim/sim_registry.h"
#include "sim/test_support.h"
#include "transport/rs_connector.h"

namespace {

using namespace std::chrono;
using namespace kov::sim;

bool crcOk(const Bytes& f) { return f.size() >= 3 && kov::Crc16Modbus(f.data(), f.size()) == 0; }

// A slave that also knows a meter-specific function 0x41: request
// addr 41 type count CRC (6 bytes), reply addr 41 type count and `count` bytes.
class ArchiveSlave : public CSimModbusSlave {
public:
    using CSimModbusSlave::CSimModbusSlave;
    ~ArchiveSlave() override { Stop(); }

protected:
    long CustomRequestLength(const uint8_t* d, size_t) override {
        return d[1] == 0x41 ? 6 : kUseGap;
    }
    uint8_t HandleCustom(const Bytes& pdu, Bytes& out) override {
        if (pdu[0] != 0x41 || pdu.size() != 3) return kIllegalFunction;
        out = {0x41, pdu[1], pdu[2]};
        for (int i = 0; i < pdu[2]; ++i) out.push_back(static_cast<uint8_t>(0xA0 + i));
        return 0;
    }
};

// The daemon's side: the real UART connector on the pty, as a link layer uses it.
class HarnessTest : public ::testing::Test {
protected:
    void SetUp() override {
        LogFile::Path();
        slave.SetHolding(0, {0x1111, 0x2222, 0x3333, 0x4444});
        slave.Start();
        con = std::make_unique<CRSConnector>(ParamMap{{"name", link.SlavePath()}});
        con->SetTimeoutForTest(150);
    }
    void send(const Bytes& b) { EXPECT_EQ(static_cast<int>(b.size()), con->WriteBuffer(b.data(), b.size(), 0)); }
    // Up to `want` bytes, as a link layer collects them.
    Bytes receive(size_t want, uint32_t timeoutMs = 0) {
        Bytes buf(want);
        int n = con->ReadBufferCycle(buf.data(), static_cast<uint16_t>(want), 0, timeoutMs);
        buf.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return buf;
    }
    // Sends "read holding 0..1" and collects up to `want` bytes of the reply.
    Bytes exchange(size_t want, uint32_t timeoutMs = 0) {
        send(CSimModbusSlave::Frame(5, {0x03, 0x00, 0x00, 0x00, 0x02}));
        return receive(want, timeoutMs);
    }

    TestRoot root;
    PtyLink link;
    ArchiveSlave slave{link.MasterFd(), 5};
    std::unique_ptr<CRSConnector> con;
    const Bytes good = CSimModbusSlave::Frame(5, {0x03, 0x04, 0x11, 0x11, 0x22, 0x22});
};

TEST_F(HarnessTest, EachInjectedFaultReachesTheConnectorOnceAsDescribed) {
    auto reply = [](uint8_t addr, uint8_t fn) { return CSimModbusSlave::Frame(addr, {fn, 0x04, 0x11, 0x11, 0x22, 0x22}); };
    const Bytes req = CSimModbusSlave::Frame(5, {0x03, 0x00, 0x00, 0x00, 0x02});
    Bytes echo = req;
    echo.insert(echo.end(), good.begin(), good.end());
    const size_t n = good.size();
    struct Case {
        FaultKind kind;
        size_t want;
        Bytes expected;  // BadCheck: checked apart
    } cases[] = {
        {FaultKind::Silence, n, {}},
        {FaultKind::None, n, good},  // a fault hits one request only
        {FaultKind::Truncate, n, Bytes(good.begin(), good.begin() + n / 2)},
        {FaultKind::WrongAddress, n, reply(6, 0x03)},  // check bytes stay valid
        {FaultKind::WrongFunction, n, reply(5, 0x23)},
        {FaultKind::Echo, req.size() + n, echo},
        {FaultKind::ErrorAnswer, 5, CSimModbusSlave::Frame(5, {0x83, 0x04})},
        {FaultKind::BadCheck, n, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(FaultName(c.kind));
        if (c.kind != FaultKind::None) slave.InjectNext(c.kind);
        Bytes r = exchange(c.want);
        if (c.kind != FaultKind::BadCheck) {
            EXPECT_EQ(c.expected, r);
            continue;
        }
        ASSERT_EQ(n, r.size());
        EXPECT_TRUE(std::equal(good.begin(), good.end() - 2, r.begin()));
        EXPECT_NE(good[n - 1], r[n - 1]);
        EXPECT_NE(good[n - 2], r[n - 2]);
    }
    EXPECT_EQ(std::size(cases), slave.RequestCount());
    EXPECT_EQ(req, slave.Requests().back());
}

TEST_F(HarnessTest, PlannedNoiseTruncationAndDelay) {
    FaultPlan p;
    p.everyRequest = true;
    p.everyKind = FaultKind::Noise;
    p.noiseBytes = 3;
    p.perRequest[2] = FaultKind::Truncate;
    p.truncateTo = 3;
    p.perRequest[3] = FaultKind::Delay;
    p.delayMs = 300;
    slave.SetFaults(p);
    Bytes r = exchange(good.size() + 3);
    ASSERT_EQ(good.size() + 3, r.size());
    EXPECT_EQ(good, Bytes(r.begin() + 3, r.end()));
    EXPECT_NE(Bytes(r.begin(), r.begin() + 3), Bytes(good.begin(), good.begin() + 3));
    EXPECT_EQ(Bytes(good.begin(), good.begin() + 3), exchange(good.size()));

    auto t0 = steady_clock::now();
    EXPECT_TRUE(exchange(good.size(), 100).empty());  // the link gives up first
    Bytes late(good.size());
    EXPECT_EQ(static_cast<int>(good.size()),
              con->ReadBufferCycle(late.data(), static_cast<uint16_t>(late.size()), 0, 1000));
    EXPECT_GE(duration_cast<milliseconds>(steady_clock::now() - t0).count(), 290);
    EXPECT_EQ(good, late);
}

TEST_F(HarnessTest, SlaveIgnoresForeignAndDamagedRequestsAndAnswersExceptions) {
    send(CSimModbusSlave::Frame(9, {0x03, 0x00, 0x00, 0x00, 0x01}));
    Bytes damaged = CSimModbusSlave::Frame(5, {0x03, 0x00, 0x00, 0x00, 0x01});
    damaged[3] ^= 1;
    send(damaged);
    ASSERT_TRUE(slave.WaitForRequests(2, 1000));
    EXPECT_TRUE(receive(5, 100).empty());
    send(CSimModbusSlave::Frame(5, {0x03, 0x00, 0x40, 0x00, 0x01}));
    EXPECT_EQ(CSimModbusSlave::Frame(5, {0x83, 0x02}), receive(5));
    send(CSimModbusSlave::Frame(5, {0x2B, 0x0E, 0x01, 0x00}));  // framed by the gap
    EXPECT_EQ(CSimModbusSlave::Frame(5, {0xAB, 0x01}), receive(5));
}

TEST_F(HarnessTest, MeterSpecificFunctionFramedBySlave) {
    // Two requests in one write: the slave frames both by length.
    Bytes both = CSimModbusSlave::Frame(5, {0x41, 0x02, 0x03}), b = CSimModbusSlave::Frame(5, {0x41, 0x01, 0x01});
    both.insert(both.end(), b.begin(), b.end());
    send(both);
    Bytes want = CSimModbusSlave::Frame(5, {0x41, 0x02, 0x03, 0xA0, 0xA1, 0xA2}),
          want2 = CSimModbusSlave::Frame(5, {0x41, 0x01, 0x01, 0xA0});
    want.insert(want.end(), want2.begin(), want2.end());
    EXPECT_EQ(want, receive(want.size()));
    EXPECT_EQ(2u, slave.RequestCount());
}

TEST_F(HarnessTest, RepliesPacedAtTheBaudRate) {
    slave.SetHolding(100, std::vector<uint16_t>(60, 0x5555));
    const size_t replyLen = 5 + 120;  // 125 bytes: 130 ms at 9600 baud
    auto timed = [&] {
        send(CSimModbusSlave::Frame(5, {0x03, 0x00, 100, 0x00, 60}));
        auto t0 = steady_clock::now();
        Bytes r = receive(replyLen);
        EXPECT_TRUE(r.size() == replyLen && crcOk(r));
        return duration_cast<milliseconds>(steady_clock::now() - t0).count();
    };
    EXPECT_LT(timed(), 60);
    slave.SetBaud(9600);
    EXPECT_GE(timed(), 125);
}

TEST_F(HarnessTest, RandomFaultsFollowTheSeed) {
    FaultPlan p;
    std::string err;
    ASSERT_TRUE(FaultPlan::Parse("random:0.5:7:silence+badcheck", p, err)) << err;
    auto draw = [](const FaultPlan& plan) {
        FaultChooser ch(plan);
        std::vector<FaultKind> seq;
        for (uint64_t i = 1; i <= 200; ++i) seq.push_back(ch.ForRequest(i));
        return seq;
    };
    const auto seq = draw(p);
    EXPECT_EQ(seq, draw(p));
    const auto faulty = 200 - std::count(seq.begin(), seq.end(), FaultKind::None);
    EXPECT_TRUE(faulty > 60 && faulty < 140) << faulty;
    EXPECT_EQ(faulty, std::count(seq.begin(), seq.end(), FaultKind::Silence) +
                          std::count(seq.begin(), seq.end(), FaultKind::BadCheck));
    p.randomSeed = 8;
    const auto other = draw(p);
    EXPECT_NE(seq, other);

    // On the wire: the same seed gives the same silent requests.
    slave.SetFaults(p);
    for (size_t i = 0; i < 6; ++i) {
        Bytes r = exchange(good.size(), 60);
        if (other[i] == FaultKind::BadCheck)
            EXPECT_FALSE(crcOk(r)) << i;
        else
            EXPECT_EQ(other[i] == FaultKind::None ? good : Bytes{}, r) << i;
    }
}

TEST(FaultPlanTest, ParsesTheFaultsArgument) {
    FaultPlan p;
    std::string err;
    ASSERT_TRUE(
        FaultPlan::Parse("2:silence,4-6:badcheck,*:echo,delay=250,noise=2,truncate=5", p, err))
        << err;
    using K = FaultKind;
    EXPECT_EQ((std::map<uint64_t, K>{{2, K::Silence}, {4, K::BadCheck}, {5, K::BadCheck}, {6, K::BadCheck}}),
              p.perRequest);
    EXPECT_TRUE(p.everyRequest);
    EXPECT_EQ(250, p.delayMs);
    EXPECT_EQ(2, p.noiseBytes);
    EXPECT_EQ(5, p.truncateTo);
    FaultChooser ch(p);
    EXPECT_EQ(FaultKind::Echo, ch.ForRequest(1));
    EXPECT_EQ(FaultKind::Silence, ch.ForRequest(2));
    EXPECT_EQ(FaultKind::BadCheck, ch.ForRequest(5));

    FaultPlan q;
    ASSERT_TRUE(FaultPlan::Parse("1:address,3:function,5:noise,7:delay,8:truncate,9:none,10:error", q, err));
    EXPECT_EQ((std::map<uint64_t, K>{{1, K::WrongAddress}, {3, K::WrongFunction}, {5, K::Noise},
                                     {7, K::Delay}, {8, K::Truncate}, {9, K::None},
                                     {10, K::ErrorAnswer}}),
              q.perRequest);

    for (const char* bad : {"0:silence", "3:loud", "5-2:echo", "x:echo", "random:2:1", "random:0.5",
                            "random:0.5:1:nope", "delay=abc", "speed=3", "1:echo,", "1:echo:2"}) {
        FaultPlan q;
        EXPECT_FALSE(FaultPlan::Parse(bad, q, err)) << bad;
        EXPECT_FALSE(err.empty());
    }
}

// A meter whose requests have no length field: a pause ends them, and a
// byte that starts no frame is skipped.
class GapMeter : public CSimMeter {
public:
    using CSimMeter::CSimMeter;
    ~GapMeter() override { Stop(); }

protected:
    long RequestLength(const uint8_t* d, size_t) override {
        return d[0] == 0x00 ? kSkipByte : kUseGap;
    }
    bool Handle(const Bytes& req, Bytes& reply) override {
        reply = {static_cast<uint8_t>(req.size())};
        reply.insert(reply.end(), req.begin(), req.end());
        return true;
    }
};

TEST(SimMeterTest, GapFramingSkipAndCleanStop) {
    TestRoot root;
    PtyLink link;
    GapMeter m(link.MasterFd());
    m.SetGapMs(60);
    m.Start();
    CRSConnector con({{"name", link.SlavePath()}});
    con.SetTimeoutForTest(300);
    const uint8_t p1[] = {0x00, 'a', 'b'}, p2[] = {'c'};
    con.WriteBuffer(p1, 3, 0);
    std::this_thread::sleep_for(milliseconds(20));  // shorter than the gap
    con.WriteBuffer(p2, 1, 0);
    uint8_t r[8];
    ASSERT_EQ(4, con.ReadBufferCycle(r, 4, 0, 0));
    EXPECT_EQ((Bytes{3, 'a', 'b', 'c'}), Bytes(r, r + 4));

    // Stop returns promptly even with a reply held back.
    FaultPlan p;
    p.everyRequest = true;
    p.everyKind = FaultKind::Delay;
    p.delayMs = 5000;
    m.SetFaults(p);
    con.WriteBuffer(p2, 1, 0);
    std::this_thread::sleep_for(milliseconds(100));
    auto t0 = steady_clock::now();
    m.Stop();
    EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - t0).count(), 500);
    m.Start();  // and starts again
    m.SetFaults(FaultPlan{});
    con.WriteBuffer(p2, 1, 0);
    ASSERT_EQ(2, con.ReadBufferCycle(r, 2, 0, 0));
}

TEST(PtyLinkTest, SymlinkNamesTheSlave) {
    TestRoot root;
    std::string name = root.Dir() + "/ttyMeter";
    {
        PtyLink link(name);
        EXPECT_EQ(name, link.SlavePath());
        char target[128] = {};
        ASSERT_GT(readlink(name.c_str(), target, sizeof target - 1), 0);
        EXPECT_EQ(link.PtsName(), target);
        PtyLink again(name);  // a stale link of that name is replaced
        EXPECT_EQ(name, again.SlavePath());
    }
    EXPECT_FALSE(std::filesystem::is_symlink(name)) << "removed with its link";
    PtyLink plain;
    EXPECT_EQ(plain.PtsName(), plain.SlavePath());
    EXPECT_EQ(0u, plain.SlavePath().rfind("/dev/pts/", 0));
}

}  // namespace

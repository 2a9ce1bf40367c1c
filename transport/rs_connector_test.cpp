#include "transport/rs_connector.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <thread>

#include "sim/pty_link.h"
#include "sim/test_support.h"
#include "transport/connector_factory.h"
#include "transport/modbus_connector.h"

namespace {

using namespace std::chrono;
using kov::sim::LogFile;
using kov::sim::PtyLink;
using kov::sim::TestRoot;

constexpr char kCycleTimeout[] = "CRSConnector::ReadBufferCycle - Timeout receiving data.";

class RsConnectorTest : public ::testing::Test {
protected:
    void SetUp() override { LogFile::Path(); }

    std::unique_ptr<CRSConnector> open(ParamMap p) {
        p["name"] = link.SlavePath();
        auto c = std::make_unique<CRSConnector>(p);
        c->SetTimeoutForTest(200);
        return c;
    }
    void meterSends(const std::vector<uint8_t>& b) {
        ASSERT_EQ(static_cast<ssize_t>(b.size()), write(link.MasterFd(), b.data(), b.size()));
    }
    // What a pty keeps of the settings, seen from another descriptor.
    termios lineSettings() {
        int fd = ::open(link.PtsName().c_str(), O_RDWR | O_NOCTTY);
        termios t{};
        tcgetattr(fd, &t);
        close(fd);
        return t;
    }

    TestRoot root;
    PtyLink link;
};

TEST_F(RsConnectorTest, LineSettingsFromPortParameters) {
    struct Case {
        ParamMap params;
        speed_t speed;
        tcflag_t size;
        tcflag_t parity;  // PARENB / PARODD bits expected
        bool twoStop;
    } cases[] = {
        {{}, B9600, CS8, 0, false}, {{{"speed", "14400"}}, B9600, CS8, 0, false},
        {{{"speed", "19200"}, {"data", "7"}}, B19200, CS7, 0, false},
        {{{"speed", "115200"}, {"data", "9"}, {"parity", "N"}}, B115200, CS8, 0, false},
        {{{"data", "5"}, {"parity", "E"}, {"stop", "1.5"}}, B9600, CS5, PARENB, false},
        {{{"data", "6"}, {"parity", "O"}, {"stop", "2"}}, B9600, CS6, PARENB | PARODD, true},
        {{{"parity", "e"}, {"stop", "1"}}, B9600, CS8, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case speed " << c.speed << " size " << c.size);
        auto con = open(c.params);
        const termios& a = con->AppliedSettings();
        EXPECT_EQ(c.speed, cfgetispeed(&a));
        EXPECT_EQ(c.speed, cfgetospeed(&a));
        EXPECT_EQ(c.size, a.c_cflag & CSIZE);
        EXPECT_EQ(c.parity, a.c_cflag & (PARENB | PARODD));
        EXPECT_EQ(c.twoStop, (a.c_cflag & CSTOPB) != 0);
        EXPECT_EQ(static_cast<tcflag_t>(CLOCAL | CREAD), a.c_cflag & (CLOCAL | CREAD));
        EXPECT_EQ(0u, a.c_iflag);
        EXPECT_EQ(0u, a.c_oflag);
        EXPECT_EQ(0u, a.c_lflag);
        // The line itself keeps speed, stop bits, odd parity and the timing.
        termios t = lineSettings();
        EXPECT_EQ(c.speed, cfgetospeed(&t));
        EXPECT_EQ(c.twoStop, (t.c_cflag & CSTOPB) != 0);
        EXPECT_EQ((c.parity & PARODD) != 0, (t.c_cflag & PARODD) != 0);
        EXPECT_EQ(0, t.c_cc[VMIN]);
        EXPECT_EQ(100, t.c_cc[VTIME]);
        EXPECT_EQ(0u, t.c_lflag & (ECHO | ICANON | ISIG));
    }
}

TEST_F(RsConnectorTest, DeviceNameTimeoutAndUnopenablePort) {
    auto con = std::make_unique<CRSConnector>(ParamMap{{"name", link.SlavePath()}, {"timeout", "50"}});
    EXPECT_EQ(link.SlavePath(), con->DeviceName());
    EXPECT_EQ(10000u, con->Timeout()) << "a \"timeout\" key never changes it";
    // Reopening replaces the descriptor instead of leaking one. Other threads
    // (LEDs, logger) open files for a moment: the least of a few counts holds.
    auto openFds = [] {
        size_t least = SIZE_MAX;
        for (int i = 0; i < 10; ++i, std::this_thread::sleep_for(milliseconds(5)))
            least = std::min<size_t>(least, std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
        return least;
    };
    size_t fds = openFds();
    EXPECT_TRUE(con->open_device());
    EXPECT_TRUE(con->open_device());
    EXPECT_EQ(fds, openFds());
    con->close_device();
    EXPECT_EQ(-1, con->Descriptor());
    EXPECT_EQ(fds - 1, openFds());

    // A missing device is only logged; later reads time out, writes fail.
    const char* msg = "CRSConnector::open_device - Unable open device /nonexistent/ttyX.";
    size_t before = LogFile::Count(msg);
    CRSConnector bad(ParamMap{{"name", "/nonexistent/ttyX"}});
    EXPECT_EQ(before + 1, LogFile::Count(msg));
    bad.SetTimeoutForTest(30);
    uint8_t buf[4];
    EXPECT_EQ(-1, bad.ReadBuffer(buf, 4, 1));
    EXPECT_EQ(-1, bad.ReadBufferCycle(buf, 4, 1, 0));
    EXPECT_LT(bad.WriteBuffer(buf, 4, 1), 0);
    EXPECT_EQ("/dev/ttyS1", CRSConnector(ParamMap()).DeviceName());
}

TEST_F(RsConnectorTest, WriteSingleReadFlushAndDrain) {
    auto con = open({});
    const uint8_t req[] = {1, 2, 3, 4, 5};
    EXPECT_EQ(5, con->WriteBuffer(req, 5, 0));
    uint8_t got[8] = {};
    ASSERT_EQ(5, read(link.MasterFd(), got, sizeof got));
    EXPECT_EQ(0, memcmp(req, got, 5));

    meterSends({9, 8, 7});
    uint8_t in[16];
    EXPECT_EQ(3, con->ReadBuffer(in, 16, 0));
    EXPECT_EQ(0, memcmp(in, "\x09\x08\x07", 3));
    const char* msg = "CRSConnector::ReadBuffer - Timeout receiving data. 0 - ";
    size_t before = LogFile::Count(msg);
    EXPECT_EQ(-1, con->ReadBuffer(in, 16, 0));
    EXPECT_EQ(before + 1, LogFile::Count(msg));

    // Flushing drops what the meter sent and nobody read yet.
    meterSends({1, 2, 3});
    std::this_thread::sleep_for(milliseconds(20));
    EXPECT_EQ(0, con->FlushBuffers());
    EXPECT_EQ(-1, con->ReadBuffer(in, 16, 0));
    EXPECT_EQ(0, con->DrainOutput());
}

TEST_F(RsConnectorTest, CycleReadsUntilTheCountTheAnnouncedSizeOrATimeout) {
    using B = std::vector<uint8_t>;
    const B framed1{0x10, 0x20, 0x30}, framed2{0x40, 0x01, 0x50, 0x60};  // byte 4 = 1: 8 >= 7
    struct Case {
        const char* what;
        std::vector<B> pieces;  // sent with gapMs between them
        int gapMs, framing;
        uint32_t perCall;
        int expected;
        size_t timeouts;
        int minMs, maxMs;
    } cases[] = {
        {"12 of 20, then silence", {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}}, 0, 0, 0, 12, 1, 190, 400},
        {"nothing at all", {}, 0, 0, 0, -1, 1, 190, 400},
        {"pause bridged by the per-call wait", {{1, 2, 3}, B(17, 4)}, 100, 0, 150, 20, 0, 90, 200},
        {"per-call wait shorter than the pause", {{1, 2, 3}, B(17, 4)}, 150, 0, 50, 3, 1, 40, 140},
        {"framing mode 1: the announced size", {framed1, framed2}, 50, 1, 0, 7, 0, 40, 150},
        {"the same bytes unframed wait for 20", {framed1, framed2}, 0, 0, 0, 7, 1, 190, 400},
    };
    auto con = open({});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        con->SetFramingMode(c.framing);
        size_t before = LogFile::Count(kCycleTimeout);
        uint8_t in[20] = {};
        auto t0 = steady_clock::now();
        std::thread meter([&] {
            for (size_t i = 0; i < c.pieces.size(); ++i) {
                if (i) std::this_thread::sleep_for(milliseconds(c.gapMs));
                meterSends(c.pieces[i]);
            }
        });
        EXPECT_EQ(c.expected, con->ReadBufferCycle(in, 20, 0, c.perCall));
        auto ms = duration_cast<milliseconds>(steady_clock::now() - t0).count();
        EXPECT_GE(ms, c.minMs);
        EXPECT_LT(ms, c.maxMs);
        EXPECT_EQ(before + c.timeouts, LogFile::Count(kCycleTimeout));
        B sent;
        for (const B& piece : c.pieces) sent.insert(sent.end(), piece.begin(), piece.end());
        if (c.expected > 0) {
            EXPECT_EQ(B(sent.begin(), sent.begin() + c.expected), B(in, in + c.expected));
        }
        meter.join();
        std::this_thread::sleep_for(milliseconds(10));
        con->FlushBuffers();
    }
}

std::atomic<int> gSignals{0};
void onSignal(int) { gSignals++; }

TEST_F(RsConnectorTest, SignalDuringWaitDoesNotEndTheRead) {
    struct sigaction sa {}, old {};
    sa.sa_handler = onSignal;  // no SA_RESTART: the wait sees EINTR
    sigaction(SIGUSR1, &sa, &old);
    auto con = open({});
    con->SetTimeoutForTest(1000);
    for (bool cycle : {false, true}) {
        int result = 0, before = gSignals;
        std::thread reader([&] {
            uint8_t in[4];
            result = cycle ? con->ReadBufferCycle(in, 4, 0, 0) : con->ReadBuffer(in, 4, 0);
        });
        for (int i = 0; i < 3; ++i) {
            std::this_thread::sleep_for(milliseconds(50));
            if (i < 2) pthread_kill(reader.native_handle(), SIGUSR1);
        }
        meterSends({1, 2, 3, 4});
        reader.join();
        EXPECT_EQ(before + 2, gSignals.load());
        EXPECT_EQ(4, result) << (cycle ? "ReadBufferCycle" : "ReadBuffer");
    }
    sigaction(SIGUSR1, &old, nullptr);
}

TEST_F(RsConnectorTest, LedsFlashOnlyWhenAskedAndOnlyForData) {
    auto con = open({});
    con->SetTimeoutForTest(50);
    uint8_t in[4];
    const uint8_t out[2] = {1, 2};
    // Without the flag nothing blinks; a failed read never blinks.
    con->WriteBuffer(out, 2, 0);
    meterSends({5});
    EXPECT_EQ(1, con->ReadBuffer(in, 4, 0));
    EXPECT_EQ(-1, con->ReadBuffer(in, 4, 1));
    EXPECT_EQ(-1, con->ReadBufferCycle(in, 4, 1, 0));
    std::this_thread::sleep_for(milliseconds(250));
    EXPECT_EQ("0", root.Read("/proc/leds/qx_red"));
    EXPECT_EQ("0", root.Read("/proc/leds/lan"));

    // With it, a write flashes the transmit LED and a read the receive LED.
    con->WriteBuffer(out, 2, 1);
    EXPECT_TRUE(root.WaitFor("/proc/leds/qx_red", "010", 1000));
    EXPECT_EQ("0", root.Read("/proc/leds/lan"));
    meterSends({5});
    EXPECT_EQ(1, con->ReadBuffer(in, 4, 1));
    EXPECT_TRUE(root.WaitFor("/proc/leds/lan", "010", 1000));
    meterSends({6});
    EXPECT_EQ(1, con->ReadBufferCycle(in, 1, 1, 0));
    EXPECT_TRUE(root.WaitFor("/proc/leds/lan", "01010", 1000));
    EXPECT_EQ("010", root.Read("/proc/leds/qx_red"));
}

TEST_F(RsConnectorTest, FactoryChoosesByProtocol) {
    const char* uartMsg = "The CConnector is created in as simple UART.";
    const char* modbusMsg = "The CConnector is created in the \"Modbus\" mode.";
    size_t u0 = LogFile::Count(uartMsg), m0 = LogFile::Count(modbusMsg);
    for (const std::string proto : {"", "rtu", "Modbus", "modbus"}) {
        ParamMap p{{"name", link.SlavePath()}};
        if (!proto.empty()) p["protocol"] = proto;
        std::unique_ptr<CConnector> c(CreateConnector(p));
        EXPECT_EQ(proto == "modbus", dynamic_cast<CModbusConnectorItself*>(c.get()) != nullptr) << proto;
        EXPECT_EQ(proto != "modbus", dynamic_cast<CRSConnector*>(c.get()) != nullptr) << proto;
        EXPECT_EQ(link.SlavePath(), c->PortParams().at("name"));
    }
    EXPECT_EQ(u0 + 3, LogFile::Count(uartMsg));
    EXPECT_EQ(m0 + 1, LogFile::Count(modbusMsg));
}

}  // namespace

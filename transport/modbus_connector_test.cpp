#include "transport/modbus_connector.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <tuple>
#include <vector>
#include <memory>
#include <thread>

#include "drivers/common/crc16.h"
#include "sim/modbus_slave.h"
#include "sim/pty_link.h"
#include "sim/test_support.h"

namespace {

using namespace std::chrono;
using kov::sim::Bytes;
using kov::sim::CSimModbusSlave;
using kov::sim::LogFile;
using kov::sim::PtyLink;
using kov::sim::TestRoot;

class ModbusConnectorTest : public ::testing::Test {
protected:
    void SetUp() override {
        LogFile::Path();
        slave.SetHolding(0, {10, 11, 12, 13, 14, 15, 16, 17, 18, 19});
        slave.SetInput(100, {0x4142, 0x4344, 0xFFFF});
        slave.SetSlaveId({0x5A, 0xFF, 'S', 'I', 'M'});
        slave.Start();
    }
    std::unique_ptr<CModbusConnectorItself> open(ParamMap p = {}) {
        p["protocol"] = "modbus";
        p["name"] = link.SlavePath();
        auto c = std::make_unique<CModbusConnectorItself>(p);
        c->SetTimeout(300);
        return c;
    }

    TestRoot root;
    PtyLink link;
    CSimModbusSlave slave{link.MasterFd(), 7};
};

// Byte and response timeouts as libmodbus holds them: s, µs, s, µs.
std::array<uint32_t, 4> timeouts(modbus_t* ctx) {
    std::array<uint32_t, 4> t{};
    modbus_get_byte_timeout(ctx, &t[0], &t[1]);
    modbus_get_response_timeout(ctx, &t[2], &t[3]);
    return t;
}

std::tuple<int, int, char, int> settings(const ModbusSerialSettings& s) {
    return {s.speed, s.dataBits, s.parity, s.stopBits};
}

TEST_F(ModbusConnectorTest, DefaultsAndTimeouts) {
    auto c = std::make_unique<CModbusConnectorItself>(
        ParamMap{{"protocol", "modbus"}, {"name", link.SlavePath()}, {"timeout", "5"}});
    ASSERT_NE(nullptr, c->Context());
    EXPECT_EQ(60000u, c->Timeout());
    EXPECT_EQ(std::make_tuple(9600, 8, 'N', 1), settings(c->Settings()));
    EXPECT_EQ((std::array<uint32_t, 4>{60, 0, 120, 0}), timeouts(c->Context()));
    // What libmodbus put on the line.
    termios t{};
    tcgetattr(modbus_get_socket(c->Context()), &t);
    EXPECT_EQ(B9600, cfgetospeed(&t));
    EXPECT_EQ(0u, t.c_cflag & (CSTOPB | PARODD));

    EXPECT_EQ(0, c->SetTimeout(500));
    EXPECT_EQ(500u, c->Timeout());
    EXPECT_EQ((std::array<uint32_t, 4>{0, 500000, 1, 0}), timeouts(c->Context()));

    auto odd = open({{"speed", "19200"}, {"data", "7"}, {"parity", "O"}, {"stop", "2"}});
    EXPECT_EQ(std::make_tuple(19200, 7, 'O', 2), settings(odd->Settings()));
    tcgetattr(modbus_get_socket(odd->Context()), &t);
    EXPECT_EQ(B19200, cfgetospeed(&t));
    EXPECT_EQ(static_cast<tcflag_t>(CSTOPB | PARODD), t.c_cflag & (CSTOPB | PARODD));
    EXPECT_EQ('E', CModbusConnectorItself::ParseSettings({{"parity", "E"}}).parity);
    EXPECT_EQ('N', CModbusConnectorItself::ParseSettings({{"parity", "X"}}).parity);
}

TEST_F(ModbusConnectorTest, RegisterOperationsAgainstSimulatedSlave) {
    auto c = open();
    uint16_t regs[16] = {};
    ASSERT_EQ(3, c->ReadHoldingRegisters(7, 2, 3, regs, 0));
    EXPECT_EQ((std::vector<uint16_t>{12, 13, 14}), std::vector<uint16_t>(regs, regs + 3));
    ASSERT_EQ(3, c->ReadInputRegisters(7, 100, 3, regs, 0));
    EXPECT_EQ((std::vector<uint16_t>{0x4142, 0x4344, 0xFFFF}), std::vector<uint16_t>(regs, regs + 3));

    uint16_t v = 0;
    EXPECT_EQ(1, c->WriteRegister(7, 5, 0xBEEF, 0));
    EXPECT_TRUE(slave.Holding(5, v) && v == 0xBEEF) << v;
    const uint16_t block[3] = {0x0102, 0x0304, 0x0506};
    EXPECT_EQ(3, c->WriteRegisters(7, 20, 3, block, 0));
    EXPECT_TRUE(slave.Holding(22, v) && v == 0x0506) << v;
    // The write lands before the read.
    const uint16_t w[2] = {777, 888};
    ASSERT_EQ(4, c->WriteAndReadRegisters(7, 8, 2, w, 6, 4, regs, 0));
    EXPECT_EQ((std::vector<uint16_t>{16, 17, 777, 888}), std::vector<uint16_t>(regs, regs + 4));

    uint8_t id[64] = {};
    ASSERT_EQ(5, c->ReportSlaveId(7, sizeof id, id, 0));
    EXPECT_EQ((Bytes{0x5A, 0xFF, 'S', 'I', 'M'}), Bytes(id, id + 5));

    // Raw request: address and PDU in, the whole reply frame back.
    uint8_t raw[256] = {7, 0x03, 0x00, 0x01, 0x00, 0x02};
    ASSERT_EQ(9, c->RawRequest(7, raw, 6, 0));
    EXPECT_EQ(CSimModbusSlave::Frame(7, {0x03, 4, 0, 11, 0, 12}), Bytes(raw, raw + 9));
    // The request bytes on the line are plain Modbus RTU (hand-worked CRC).
    ASSERT_FALSE(slave.Requests().empty());
    EXPECT_EQ((Bytes{7, 0x03, 0x00, 0x02, 0x00, 0x03, 0xA4, 0x6D}), slave.Requests().front());
}

TEST_F(ModbusConnectorTest, ByteOperationsRefuseAndErrorsComeBackAsMinusOne) {
    auto c = open();
    uint8_t buf[8] = {1, 2, 3};
    auto t0 = steady_clock::now();
    EXPECT_EQ(-1, c->ReadBufferCycle(buf, 8, 1, 0));
    EXPECT_EQ(-1, c->ReadBuffer(buf, 8, 1));
    EXPECT_EQ(-1, c->WriteBuffer(buf, 3, 1));
    EXPECT_EQ(-1, c->DrainOutput());
    EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - t0).count(), 50);
    EXPECT_EQ(0u, slave.RequestCount());  // nothing reached the line
    EXPECT_EQ(0, c->FlushBuffers());

    uint16_t regs[4];
    errno = 0;
    EXPECT_EQ(-1, c->ReadHoldingRegisters(7, 50, 2, regs, 0));  // never set: exception 2
    EXPECT_EQ(EMBXILADD, errno);
    t0 = steady_clock::now();
    EXPECT_EQ(-1, c->ReadHoldingRegisters(9, 0, 2, regs, 0));  // nobody at address 9
    EXPECT_GE(duration_cast<milliseconds>(steady_clock::now() - t0).count(), 250);
    EXPECT_EQ(ETIMEDOUT, errno);
    EXPECT_EQ(2, c->ReadHoldingRegisters(7, 0, 2, regs, 0)) << "the exchange still works";

    // A garbled reply fails its own exchange only: what libmodbus left of it
    // on the line is not taken for the next reply.
    using kov::sim::FaultKind;
    for (FaultKind k : {FaultKind::WrongFunction, FaultKind::BadCheck, FaultKind::WrongAddress}) {
        SCOPED_TRACE(kov::sim::FaultName(k));
        slave.InjectNext(k);
        EXPECT_EQ(-1, c->ReadHoldingRegisters(7, 0, 2, regs, 0));
        EXPECT_NE(ETIMEDOUT, errno);
        regs[0] = regs[1] = 0;
        EXPECT_EQ(2, c->ReadHoldingRegisters(7, 0, 2, regs, 0));
        EXPECT_EQ(10, regs[0]);
        EXPECT_EQ(11, regs[1]);
    }

    const char* msg = "CModbusConnectorItself::open_device - Connection failed. Unable to open device /nonexistent/ttyM.";
    size_t before = LogFile::Count(msg);
    CModbusConnectorItself bad({{"protocol", "modbus"}, {"name", "/nonexistent/ttyM"}});
    EXPECT_EQ(nullptr, bad.Context());
    EXPECT_EQ(before + 1, LogFile::Count(msg));
    errno = 0;
    EXPECT_EQ(-1, bad.ReadHoldingRegisters(1, 0, 1, regs, 1));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(-1, bad.FlushBuffers());
}

TEST_F(ModbusConnectorTest, TwoThreadsNeverInterleaveOnTheLine) {
    auto c = open();
    constexpr int kRounds = 40;
    int good[2] = {0, 0};
    auto worker = [&](int id) {
        for (int i = 0; i < kRounds; ++i) {
            uint16_t r[4] = {};
            good[id] += id == 0 ? c->ReadHoldingRegisters(7, 0, 4, r, 0) == 4 && r[0] == 10 && r[3] == 13
                                : c->ReadInputRegisters(7, 100, 2, r, 0) == 2 && r[1] == 0x4344;
        }
    };
    std::thread a(worker, 0), b(worker, 1);
    a.join();
    b.join();
    EXPECT_EQ(kRounds, good[0]);
    EXPECT_EQ(kRounds, good[1]);
    // Every request the slave framed was whole and well formed.
    auto seen = slave.Requests();
    ASSERT_EQ(2u * kRounds, seen.size());
    for (const Bytes& f : seen) EXPECT_TRUE(f.size() == 8 && kov::Crc16Modbus(f.data(), f.size()) == 0);
}

TEST_F(ModbusConnectorTest, LedsFollowTheExchange) {
    auto c = open();
    uint16_t r[2];
    ASSERT_EQ(2, c->ReadHoldingRegisters(7, 0, 2, r, 0));
    EXPECT_EQ(1, c->WriteRegister(7, 1, 1, 0));
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_EQ("0", root.Read("/proc/leds/qx_red"));
    EXPECT_EQ("0", root.Read("/proc/leds/lan"));

    // A failed read flashes the transmit LED only.
    c->SetTimeout(100);
    EXPECT_EQ(-1, c->ReadHoldingRegisters(9, 0, 2, r, 1));
    EXPECT_TRUE(root.WaitFor("/proc/leds/qx_red", "010", 1000));
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_EQ("0", root.Read("/proc/leds/lan"));

    // A successful read flashes both; a write only the transmit LED.
    ASSERT_EQ(2, c->ReadHoldingRegisters(7, 0, 2, r, 1));
    EXPECT_TRUE(root.WaitFor("/proc/leds/lan", "010", 1000));
    EXPECT_TRUE(root.WaitFor("/proc/leds/qx_red", "01010", 1000));
    EXPECT_EQ(1, c->WriteRegister(7, 1, 1, 1));
    EXPECT_TRUE(root.WaitFor("/proc/leds/qx_red", "0101010", 1000));
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_EQ("010", root.Read("/proc/leds/lan"));
}

}  // namespace

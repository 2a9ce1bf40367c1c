// The daemon builds its one serial connector from the first named port.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>

#include "sim/pty_link.h"
#include "tests/e2e/process.h"

namespace {

using kovtest::Child;
using kovtest::ReadFile;
using kovtest::WaitFor;

constexpr char kUart[] = "Debug: The CConnector is created in as simple UART.";
constexpr char kModbus[] = "Debug: The CConnector is created in the \"Modbus\" mode.";

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

class DaemonConnector : public ::testing::Test {
protected:
    void SetUp() override {
        dir = kovtest::MakeTempDir("e2e-connector");
        root = dir + "/root";
        for (const char* p : {"", "/proc", "/proc/leds"}) mkdir((root + p).c_str(), 0755);
    }

    void Run(const std::string& json, const std::vector<std::string>& ids) {
        std::ofstream(dir + "/config.json") << json;
        auto logged = [&](const std::string& file, const std::string& text) {
            return WaitFor(5000, [&] { return ReadFile(dir + file).find(text) != std::string::npos; });
        };
        Child service({KOV_CONFIG_SERVICE_PATH, "--config", dir + "/config.json"}, dir + "/service.out",
                      dir + "/service.err");
        ASSERT_TRUE(logged("/service.out", "listening"));
        std::vector<std::string> argv = {KOV_MAIN_PATH, "--root", root, "-e", "-v", "7"};
        for (const auto& id : ids) argv.insert(argv.end(), {"-i", id});
        Child d(argv, dir + "/daemon.out", dir + "/daemon.err");
        ASSERT_TRUE(logged("/service.out", "\"heat_meter\":\"" + ids.back() + "\""));
        ASSERT_TRUE(logged("/daemon.err", "The CConnector is created"));
        // Time enough for a second connector, should the daemon wrongly make one.
        usleep(300000);
        d.Signal(SIGTERM);
        EXPECT_EQ(0, d.Wait(2000));
        err = ReadFile(dir + "/daemon.err");
    }

    std::string dir, root, err;
};

TEST_F(DaemonConnector, FirstNamedPortDefinesTheOnlyConnector) {
    kov::sim::PtyLink modbusPort, uartPort;
    Run(R"({"1": {"manufacturer": "x", "port_params": {"speed": "9600"}},
            "2": {"manufacturer": "x", "port_params": {"name": ")" + modbusPort.SlavePath() + R"(", "protocol": "modbus"}},
            "3": {"manufacturer": "y", "port_params": {"name": ")" + uartPort.SlavePath() + R"("}}})",
        {"1", "2", "3"});
    EXPECT_EQ(1u, count(err, kModbus)) << err;
    EXPECT_EQ(0u, count(err, kUart));
    // The connector's traffic LEDs live under the root, switched off.
    EXPECT_EQ("0", ReadFile(root + "/proc/leds/qx_red"));
    EXPECT_EQ("0", ReadFile(root + "/proc/leds/lan"));
}

TEST_F(DaemonConnector, PlainPortGivesTheUartConnector) {
    kov::sim::PtyLink port;
    Run(R"({"4": {"manufacturer": "x", "port_params": {"name": ")" + port.SlavePath() +
            R"(", "protocol": "rtu", "speed": "19200"}}})",
        {"4"});
    EXPECT_EQ(1u, count(err, kUart)) << err;
    EXPECT_EQ(0u, count(err, kModbus));
    EXPECT_EQ(std::string::npos, err.find("Unable open device"));
}

}  // namespace

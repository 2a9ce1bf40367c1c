// VKT-9 link layer against a scripted meter on a pseudo-terminal, through the
// real UART connector. Expected frames are worked by hand, not by the code
// under test.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "drivers/base/clock.h"
#include "drivers/common/crc16.h"
#include "drivers/common/link_exceptions.h"
#include "drivers/vkt9/vkt9_link.h"
#include "service/path_root.h"
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
        return std::vector<Bytes>{Bytes(whole.begin(), whole.begin() + 2), Bytes(whole.begin() + 2, whole.begin() + 6),
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
    EXPECT_NE(journal.find(" CVKT9LowLevelConnector::CheckResult - Error on return answer. Code error 3. function 131 "
                           "Func name - FindArchDate\n"),
              std::string::npos)
        << journal;

    CVKT9Buffer next = link->SendString(req, sizeof req, "again", true);
    ASSERT_EQ(next.Length(), 5);
    EXPECT_EQ(next.U16BE(3), 0x1234);
    EXPECT_EQ(link->LastError(), 0);
}

TEST_F(Vkt9Link, UntoleratedErrorAnswerThrowsDisconnect) {
    meter.Serve(8, [](const Bytes&, int) { return std::vector<Bytes>{WithModbusCrc({0x01, 0x84, 0x02})}; });
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
        const size_t parts = (mask & 0x08 ? 44 : 0) + (mask & 0x10 ? 106 : 0) + (mask & 0x20 ? 106 : 0);
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
    EXPECT_THROW(link->SendString(req, sizeof req, "GetSerialNumber", false), CWrongPacketException);
    EXPECT_EQ(meter.Requests(), 3u);
    for (const Bytes& r : meter.RequestList()) EXPECT_EQ(r, WithModbusCrc({0x01, 0x03, 0x00, 0x00, 0x00, 0x02}));
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
    EXPECT_NE(journal.find("Code error 0. function 0 Func name - CVKT9Buffer []\n"), std::string::npos) << journal;
    EXPECT_NE(journal.find("Code error 0. function 0 Func name - CVKT9Buffer +=\n"), std::string::npos) << journal;
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

}  // namespace

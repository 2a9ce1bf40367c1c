#include <gtest/gtest.h>

#include <cstring>

#include "drivers/common/crc16.h"

namespace {

const uint8_t* Check() { return reinterpret_cast<const uint8_t*>("123456789"); }

// Check values of the CRC catalogue for the ASCII string "123456789".
TEST(Crc16, CatalogueCheckValues) {
    EXPECT_EQ(kov::Crc16(kov::kCrc16Modbus, Check(), 9), 0x4B37);
    EXPECT_EQ(kov::Crc16(kov::kCrc16CcittFalse, Check(), 9), 0x29B1);
    EXPECT_EQ(kov::Crc16(kov::kCrc16Xmodem, Check(), 9), 0x31C3);
    EXPECT_EQ(kov::Crc16(kov::kCrc16Kermit, Check(), 9), 0x2189);
    EXPECT_EQ(kov::Crc16(kov::kCrc16Arc, Check(), 9), 0xBB3D);
    EXPECT_EQ(kov::Crc16Modbus(Check(), 9), 0x4B37);
}

TEST(Crc16, EmptyInputIsInitialValueAfterFinalSteps) {
    EXPECT_EQ(kov::Crc16Modbus(nullptr, 0), 0xFFFF);
    EXPECT_EQ(kov::Crc16(kov::kCrc16Xmodem, nullptr, 0), 0x0000);
}

// A Modbus frame with its CRC appended low byte first checks to zero.
TEST(Crc16, ModbusResidueOfCompleteFrame) {
    uint8_t frame[8] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x0A};
    uint16_t c = kov::Crc16Modbus(frame, 6);
    EXPECT_EQ(c, 0xCDC5);  // well-known "01 03 00 00 00 0A C5 CD"
    frame[6] = c & 0xFF;
    frame[7] = c >> 8;
    EXPECT_EQ(kov::Crc16Modbus(frame, 8), 0x0000);
}

}  // namespace

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "drivers/common/bounded_view.h"
#include "drivers/common/link_files.h"
#include "drivers/common/value_text.h"
#include "service/path_root.h"

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class TempRoot : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kov_common_XXXXXX";
        root_ = mkdtemp(tmpl);
        mkdir((root_ + "/mnt").c_str(), 0755);
        mkdir((root_ + "/mnt/storage").c_str(), 0755);
        kov::SetPathRoot(root_);
    }
    void TearDown() override {
        kov::SetPathRoot("");
        unlink((root_ + "/mnt/storage/t.log").c_str());
        rmdir((root_ + "/mnt/storage").c_str());
        rmdir((root_ + "/mnt").c_str());
        rmdir(root_.c_str());
    }
    std::string root_;
};

TEST_F(TempRoot, TraceFormatAndRemovalPastLimit) {
    kov::CLinkFile f("/mnt/storage/t.log", 40);
    const uint8_t bytes[] = {0x00, 0xAB, 0x7F};
    f.WriteTrace("cap", bytes, 3);
    EXPECT_EQ(f.Path(), root_ + "/mnt/storage/t.log");
    EXPECT_EQ(ReadFile(f.Path()), "cap\n0x00 0xAB 0x7F \n\n");  // 21 bytes
    f.WriteTrace("cap", bytes, 3);                              // 42 > 40: removed after the write
    EXPECT_NE(access(f.Path().c_str(), F_OK), 0);
    f.WriteTrace("cap", bytes, 2);
    EXPECT_EQ(ReadFile(f.Path()), "cap\n0x00 0xAB \n\n");
}

TEST_F(TempRoot, FileAtExactlyTheLimitStays) {
    kov::CLinkFile f("/mnt/storage/t.log", 21);
    const uint8_t bytes[] = {1, 2, 3};
    f.WriteTrace("cap", bytes, 3);
    EXPECT_EQ(ReadFile(f.Path()).size(), 21u);
}

TEST_F(TempRoot, JournalLineCarriesUnpaddedLocalDate) {
    kov::CLinkFile f("/mnt/storage/t.log");
    time_t before = time(nullptr);
    f.WriteJournalLine("X");
    std::string line = ReadFile(f.Path());
    std::string a = kov::JournalDate(before) + " X\n", b = kov::JournalDate(before + 1) + " X\n";
    EXPECT_TRUE(line == a || line == b) << line;
}

TEST(JournalDate, NoLeadingZeros) {
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(kov::JournalDate(1772856309), "2026-3-7 4:5:9");
    unsetenv("TZ");
    tzset();
}

int g_journalled = 0;
std::string g_caption;
struct TestTraits {
    static constexpr const char* kName = "CTestBuffer";
    static void Journal(const char* caption) {
        ++g_journalled;
        g_caption = caption;
    }
};
using View = kov::CBoundedView<TestTraits>;

TEST(BoundedView, IndexAtLengthThrowsAndJournals) {
    const uint8_t data[] = {1, 2, 3};
    View v(data, 3);
    EXPECT_EQ(v[2], 3);
    g_journalled = 0;
    EXPECT_THROW(v[3], CDisconnectException);
    EXPECT_EQ(g_caption, "CTestBuffer []");
    EXPECT_THROW(v[-1], CDisconnectException);
    EXPECT_EQ(g_journalled, 2);
    View empty;
    EXPECT_TRUE(empty.Empty());
    EXPECT_THROW(empty[0], CDisconnectException);
}

TEST(BoundedView, AdvanceToEndIsFinePastEndThrows) {
    const uint8_t data[] = {1, 2, 3, 4};
    View v(data, 4);
    v += 1;
    EXPECT_EQ(v[0], 2);
    EXPECT_EQ(v.Length(), 3);
    v += 3;
    EXPECT_TRUE(v.Empty());
    g_journalled = 0;
    EXPECT_THROW(v += 1, CDisconnectException);
    EXPECT_EQ(g_caption, "CTestBuffer +=");
    EXPECT_EQ(g_journalled, 1);
}

TEST(BoundedView, MultiByteReadsCheckTheirLastByte) {
    const uint8_t data[] = {0x00, 0x00, 0x20, 0x41, 0x34, 0x12};
    View v(data, 6);
    EXPECT_EQ(v.FloatLE(0), 10.0f);
    EXPECT_EQ(v.U16LE(4), 0x1234);
    EXPECT_EQ(v.U16BE(4), 0x3412);
    EXPECT_EQ(v.U32LE(2), 0x12344120u);
    EXPECT_THROW(v.U32LE(3), CDisconnectException);
    EXPECT_THROW(v.U16LE(5), CDisconnectException);
}

TEST(ByteOrder, ReadersWritersAndBcd) {
    uint8_t b[4];
    kov::PutU32BE(b, 0x01020304);
    EXPECT_EQ(b[0], 1);
    EXPECT_EQ(kov::U32BE(b), 0x01020304u);
    EXPECT_EQ(kov::U32LE(b), 0x04030201u);
    kov::PutU16LE(b, 0xBEEF);
    EXPECT_EQ(b[0], 0xEF);
    EXPECT_EQ(kov::UIntLE(b, 2), 0xBEEFu);
    EXPECT_EQ(kov::UIntLE(b, 0), 0u);
    EXPECT_EQ(kov::BcdToInt(0x59), 59);
    EXPECT_EQ(kov::IntToBcd(47), 0x47);
}

TEST(ValueText, GeneralAndFixed) {
    EXPECT_EQ(kov::FormatGeneral(10.0), "10");
    EXPECT_EQ(kov::FormatGeneral(1500000.0), "1.5e+06");
    EXPECT_EQ(kov::FormatGeneral(123456.0), "123456");
    EXPECT_EQ(kov::FormatGeneral(1234567.0), "1.23457e+06");
    EXPECT_EQ(kov::FormatGeneral(0.0001234), "0.0001234");
    EXPECT_EQ(kov::FormatGeneral(0.00001), "1e-05");
    EXPECT_EQ(kov::FormatGeneral(1234567.0, 12), "1234567");
    EXPECT_EQ(kov::FormatGeneral(0.1, 16), "0.1");
    EXPECT_EQ(kov::FormatGeneral(0.1, 17), "0.10000000000000001");
    EXPECT_EQ(kov::FormatGeneral(-2.5), "-2.5");
    EXPECT_EQ(kov::FormatFixed(10.0), "10.000000");
    EXPECT_EQ(kov::FormatFixed(-3.0000004), "-3.000000");
    EXPECT_EQ(kov::FormatFixed(1234567.0), "1234567.000000");
}

}  // namespace

#include "drivers/common/meter_time.h"

namespace {

TEST(MeterTime, LocalDateEastOfUtc) {
    const char* old = getenv("TZ");
    std::string saved = old ? old : "";
    setenv("TZ", "<+03>-3", 1);
    tzset();
    EXPECT_EQ(kov::MeterLocalTime(2026, 4, 3, 0), 1775174400 - 3 * 3600);
    EXPECT_EQ(kov::MeterLocalTime(2026, 3, 32, 0),
              1775174400 - 3 * 3600 - 2 * 86400);  // March 32 is April 1
    struct tm d = kov::LocalParts(1775174400);
    EXPECT_EQ(d.tm_hour, 3);
    EXPECT_EQ(d.tm_mday, 3);
    if (old) {
        setenv("TZ", saved.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

}  // namespace

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

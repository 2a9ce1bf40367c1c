#pragma once

// CRC-16 family used by the meter link layers and by the simulated meters.
// One bitwise engine, parameterised like the common CRC catalogue
// (width 16): polynomial, initial value, input/output reflection, final XOR.
// Named presets: MODBUS (VKT-7, VKT-9, Modbus slaves), CCITT-FALSE, XMODEM,
// KERMIT, ARC.

#include <cstddef>
#include <cstdint>

namespace kov {

struct Crc16Params {
    uint16_t poly;  // normal (non-reflected) form, e.g. 0x8005
    uint16_t init;
    bool refIn;
    bool refOut;
    uint16_t xorOut;
};

inline constexpr Crc16Params kCrc16Modbus{0x8005, 0xFFFF, true, true, 0x0000};
inline constexpr Crc16Params kCrc16CcittFalse{0x1021, 0xFFFF, false, false, 0x0000};
inline constexpr Crc16Params kCrc16Xmodem{0x1021, 0x0000, false, false, 0x0000};
inline constexpr Crc16Params kCrc16Kermit{0x1021, 0x0000, true, true, 0x0000};
inline constexpr Crc16Params kCrc16Arc{0x8005, 0x0000, true, true, 0x0000};

// CRC of len bytes at data with the given parameters.
uint16_t Crc16(const Crc16Params& p, const uint8_t* data, size_t len);

// Shorthand for the CRC most framings here use.
inline uint16_t Crc16Modbus(const uint8_t* data, size_t len) {
    return Crc16(kCrc16Modbus, data, len);
}

}  // namespace kov

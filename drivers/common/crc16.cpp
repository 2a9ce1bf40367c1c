#include "drivers/common/crc16.h"

namespace kov {

namespace {

uint16_t Reflect16(uint16_t v) {
    uint16_t r = 0;
    for (int i = 0; i < 16; ++i) {
        if (v & (1u << i)) r |= static_cast<uint16_t>(1u << (15 - i));
    }
    return r;
}

}  // namespace

uint16_t Crc16(const Crc16Params& p, const uint8_t* data, size_t len) {
    // A reflected CRC is run right-shifting with the reflected polynomial, so
    // neither the input bytes nor the register need to be mirrored per byte.
    uint16_t crc = p.init;
    if (p.refIn) {
        const uint16_t poly = Reflect16(p.poly);
        crc = Reflect16(crc);
        for (size_t i = 0; i < len; ++i) {
            crc ^= data[i];
            for (int b = 0; b < 8; ++b)
                crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ poly)
                                : static_cast<uint16_t>(crc >> 1);
        }
        if (!p.refOut) crc = Reflect16(crc);
    } else {
        for (size_t i = 0; i < len; ++i) {
            crc ^= static_cast<uint16_t>(data[i] << 8);
            for (int b = 0; b < 8; ++b)
                crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ p.poly)
                                     : static_cast<uint16_t>(crc << 1);
        }
        if (p.refOut) crc = Reflect16(crc);
    }
    return static_cast<uint16_t>(crc ^ p.xorOut);
}

}  // namespace kov

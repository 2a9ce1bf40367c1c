#pragma once

// The VKT-9's blocks as raw-parameter tables (drivers/common/raw_param.h).
// Register blocks are big-endian with byte values in the low byte of a
// register; archive page parts are little-endian. Gaps the driver does not
// use are "reserved" entries (code 78) that only advance the position.

#include <array>
#include <cstdint>
#include <span>

#include "drivers/common/raw_param.h"

namespace vkt9 {

using kov::RawOffset;
using kov::RawParam;

// Value types.
enum : int32_t {
    kI8 = 0,
    kU8 = 1,
    kI16 = 2,
    kU16 = 3,
    kI32 = 4,
    kU32 = 5,
    kF32 = 6,
    kAcc = 7,  // u32 integer part followed by a f32 fraction
    kBytes = 8,
};

// Systems.
inline constexpr int32_t TS1 = 0;
inline constexpr int32_t TS2 = 1;
inline constexpr int32_t COMMON = 16;

// Bytes an entry takes: in register blocks a byte value fills a register.
constexpr int32_t EntrySize(const RawParam& e, bool registers) {
    switch (e.type) {
        case kI8:
        case kU8:
            return registers ? 2 : 1;
        case kI16:
        case kU16:
            return 2;
        case kI32:
        case kU32:
        case kF32:
            return 4;
        case kAcc:
            return 8;
        case kBytes:
            return e.length;
        default:
            return 0;
    }
}
constexpr int32_t RegSize(const RawParam& e) { return EntrySize(e, true); }
constexpr int32_t PageSize(const RawParam& e) { return EntrySize(e, false); }

// Builders that keep the tables readable row by row.
constexpr RawParam Gap(int32_t bytes) {
    return {78, 0, 0, kov::kNotUploaded, COMMON, kBytes, bytes, -1};
}
constexpr RawParam Skip(int32_t code, int32_t type) {
    return {code, 0, 0, kov::kNotUploaded, COMMON, type, 0, -1};
}
// Register-block entry: code, type, dim, dec_pos -> jsonParm [kind].
constexpr RawParam R(int32_t code, int32_t type, int32_t dim, int32_t dec, int32_t json,
                     int32_t kind, int32_t sys) {
    return {code, dim, dec, json, sys, type, 0, kind};
}
// Archive-page entry: code, type, dim, dec_pos -> jsonParm.
constexpr RawParam A(int32_t code, int32_t type, int32_t dim, int32_t dec, int32_t json,
                     int32_t sys) {
    return {code, dim, dec, json, sys, type, 0, -1};
}

// ---------------------------------------------------------------- registers

// Current common block: 0x04, 0x0029, 77 registers.
inline constexpr RawParam kCurCommon[] = {
    Gap(12),
    R(49, kU32, 23, 0, 18, 1, COMMON),
    R(53, kU32, 23, 0, 25, 1, COMMON),
    R(45, kI16, 21, 2, 8, 0, COMMON),
    R(46, kU16, 19, 4, 11, 0, COMMON),
    Gap(2),
    R(60, kU16, 0, 0, 15, 0, COMMON),
    R(70, kU16, 0, 0, 15, 0, COMMON),
    Gap(2),
    R(72, kU8, 0, 0, kov::kNotUploaded, -1, COMMON),
    Gap(32),
    R(30, kAcc, 13, 0, 17, 0, COMMON),
    R(31, kAcc, 13, 0, 17, 0, COMMON),
    R(32, kAcc, 13, 0, 17, 0, COMMON),
    Gap(36),
    R(69, kU16, 0, 0, 16, 0, COMMON),
    Gap(26),
};

// Current block of one heating system: 0x04, 0x0076 (TS1) / 0x00F2 (TS2),
// 124 registers each.
template <int32_t S>
inline constexpr RawParam kCurSystem[] = {
    R(6, kAcc, 7, 0, 17, 1, S),
    Gap(8),
    R(8, kAcc, 11, 0, 22, 1, S),
    R(9, kAcc, 11, 0, 23, 1, S),
    R(10, kAcc, 11, 0, 24, 1, S),
    Gap(32),
    R(15, kAcc, 13, 0, 19, 1, S),
    R(16, kAcc, 13, 0, 20, 1, S),
    R(17, kAcc, 13, 0, 21, 1, S),
    Gap(32),
    R(23, kF32, 15, 0, 3, 0, S),
    R(24, kF32, 15, 0, 4, 0, S),
    R(25, kF32, 15, 0, 5, 0, S),
    Gap(4),
    R(27, kF32, 16, 0, 0, 0, S),
    R(28, kF32, 16, 0, 1, 0, S),
    R(29, kF32, 16, 0, 2, 0, S),
    R(49, kU32, 23, 0, 18, 1, S),
    R(50, kU32, 23, 0, 29, 1, S),
    Gap(4),
    R(54, kU32, 23, 0, 27, 1, S),
    R(55, kU32, 23, 0, 28, 1, S),
    R(56, kU32, 23, 0, 26, 1, S),
    Gap(8),
    R(61, kU32, 0, 0, 15, 0, S),
    R(62, kU16, 0, 0, 15, 0, S),
    R(36, kI16, 21, 2, 6, 0, S),
    R(37, kI16, 21, 2, 7, 0, S),
    Gap(8),
    R(42, kI16, 19, 4, 9, 0, S),
    R(43, kI16, 19, 4, 10, 0, S),
    Gap(38),
};

// --------------------------------------------------------------- archives

// Common part of hourly and daily pages (42 data bytes): the page date first.
inline constexpr RawParam kArchCommon[] = {
    Skip(0, kU8),
    Skip(1, kU8),
    Skip(2, kU8),
    Skip(3, kU8),
    Gap(4),
    A(45, kI16, 21, 2, 8, COMMON),
    A(46, kU16, 20, 3, 11, COMMON),
    Gap(4),
    A(53, kU16, 23, 0, 25, COMMON),
    A(60, kU16, 0, 0, 15, COMMON),
    A(70, kU16, 0, 0, 15, COMMON),
    Gap(18),
    A(69, kU16, 0, 0, 16, COMMON),
};

// Heat energy, masses and volumes open every system part alike.
template <int32_t S>
inline constexpr RawParam kSystemHead[] = {
    A(6, kF32, 7, 0, 17, S),   Gap(4),  A(8, kF32, 11, 0, 22, S),  A(9, kF32, 11, 0, 23, S),
    A(10, kF32, 11, 0, 24, S), Gap(16), A(15, kF32, 13, 0, 19, S), A(16, kF32, 13, 0, 20, S),
    A(17, kF32, 13, 0, 21, S), Gap(12),
};

// Supply and return temperatures follow in hourly and daily pages.
template <int32_t S>
inline constexpr RawParam kPageTemps[] = {
    A(36, kI16, 21, 2, 6, S),
    A(37, kI16, 21, 2, 7, S),
};

template <size_t N, size_t... M>
constexpr auto Join(const RawParam (&first)[N], const RawParam (&... rest)[M]) {
    std::array<RawParam, (N + ... + M)> out{};
    size_t i = 0;
    for (const RawParam& e : first) out[i++] = e;
    (
        (void)[&] {
            for (const RawParam& e : rest) out[i++] = e;
        }(),
        ...);
    return out;
}

// Rest of the system part of hourly and daily pages (104 data bytes).
template <int32_t S>
inline constexpr RawParam kArchSystemTail[] = {
    Gap(8),
    A(42, kU16, 19, 4, 9, S),
    A(43, kU16, 19, 4, 10, S),
    Gap(2),
    A(49, kU16, 23, 0, 18, S),
    A(50, kU16, 23, 0, 29, S),
    Gap(2),
    A(54, kU16, 23, 0, 27, S),
    A(55, kU16, 23, 0, 28, S),
    A(56, kU16, 23, 0, 26, S),
    Gap(4),
    A(61, kU32, 0, 0, 15, S),
    A(62, kU16, 0, 0, 15, S),
    A(73, kU8, 0, 0, 38, S),
    A(72, kU8, 0, 0, kov::kNotUploaded, S),
    Gap(2),
};
template <int32_t S>
inline constexpr auto kArchSystem = Join(kSystemHead<S>, kPageTemps<S>, kArchSystemTail<S>);

// The same of firmware 1.0 (version 0x0100).
template <int32_t S>
inline constexpr RawParam kArchSystemV10Tail[] = {
    Gap(14),
    A(42, kU16, 19, 4, 9, S),
    A(43, kU16, 19, 4, 10, S),
    Gap(2),
    A(49, kU16, 23, 0, 18, S),
    A(50, kU16, 23, 0, 29, S),
    A(61, kU32, 0, 0, 15, S),
    A(62, kU16, 0, 0, 15, S),
    A(73, kU8, 0, 0, 38, S),
    Gap(9),
};
template <int32_t S>
inline constexpr auto kArchSystemV10 = Join(kSystemHead<S>, kPageTemps<S>, kArchSystemV10Tail<S>);

// Common part of integral-daily pages.
inline constexpr RawParam kIntCommon[] = {
    Skip(0, kU8), Skip(1, kU8), Skip(2, kU8), Skip(3, kU8), Gap(8), A(53, kU32, 23, 0, 25, COMMON),
    Gap(26),
};

// System part of integral-daily pages.
template <int32_t S>
inline constexpr RawParam kIntSystemTail[] = {
    A(49, kU32, 23, 0, 18, S),
    A(50, kU32, 23, 0, 29, S),
    Gap(4),
    A(54, kU32, 23, 0, 27, S),
    A(55, kU32, 23, 0, 28, S),
    A(56, kU32, 23, 0, 26, S),
    Gap(8),
    A(73, kU8, 0, 0, 38, S),
    A(72, kU8, 0, 0, kov::kNotUploaded, S),
    Gap(10),
};
template <int32_t S>
inline constexpr auto kIntSystem = Join(kSystemHead<S>, kIntSystemTail<S>);

// Block sizes in bytes.
inline constexpr int32_t kCurCommonBytes = 77 * 2;
inline constexpr int32_t kCurSystemBytes = 124 * 2;
inline constexpr int32_t kPageCommonBytes = 42;
inline constexpr int32_t kPageSystemBytes = 104;

// The documented offsets of every uploaded entry, checked against the tables.
inline constexpr RawOffset kCurCommonAt[] = {{12, 49}, {16, 53}, {20, 45}, {22, 46},
                                             {26, 60}, {28, 70}, {32, 72}, {66, 30},
                                             {74, 31}, {82, 32}, {126, 69}};
inline constexpr RawOffset kCurSystemAt[] = {
    {0, 6},    {16, 8},   {24, 9},   {32, 10},  {72, 15},  {80, 16},  {88, 17},  {128, 23},
    {132, 24}, {136, 25}, {144, 27}, {148, 28}, {152, 29}, {156, 49}, {160, 50}, {168, 54},
    {172, 55}, {176, 56}, {188, 61}, {192, 62}, {194, 36}, {196, 37}, {206, 42}, {208, 43}};
inline constexpr RawOffset kArchCommonAt[] = {{8, 45},  {10, 46}, {16, 53},
                                              {18, 60}, {20, 70}, {40, 69}};
inline constexpr RawOffset kArchSystemAt[] = {{0, 6},   {8, 8},   {12, 9},  {16, 10},  {36, 15},
                                              {40, 16}, {44, 17}, {60, 36}, {62, 37},  {72, 42},
                                              {74, 43}, {78, 49}, {80, 50}, {84, 54},  {86, 55},
                                              {88, 56}, {94, 61}, {98, 62}, {100, 73}, {101, 72}};
inline constexpr RawOffset kArchSystemV10At[] = {
    {0, 6},   {8, 8},   {12, 9},  {16, 10}, {36, 15}, {40, 16}, {44, 17}, {60, 36},
    {62, 37}, {78, 42}, {80, 43}, {84, 49}, {86, 50}, {88, 61}, {92, 62}, {94, 73}};
inline constexpr RawOffset kIntCommonAt[] = {{12, 53}};
inline constexpr RawOffset kIntSystemAt[] = {{0, 6},   {8, 8},   {12, 9},  {16, 10}, {36, 15},
                                             {40, 16}, {44, 17}, {60, 49}, {64, 50}, {72, 54},
                                             {76, 55}, {80, 56}, {92, 73}, {93, 72}};

static_assert(kov::RawTableBytes(std::span(kCurCommon), RegSize) == kCurCommonBytes);
static_assert(kov::RawTableBytes(std::span(kCurSystem<TS1>), RegSize) == kCurSystemBytes);
static_assert(kov::RawTableBytes(std::span(kArchCommon), PageSize) == kPageCommonBytes);
static_assert(kov::RawTableBytes(std::span(kArchSystem<TS1>), PageSize) == kPageSystemBytes);
static_assert(kov::RawTableBytes(std::span(kArchSystemV10<TS1>), PageSize) == kPageSystemBytes);
static_assert(kov::RawTableBytes(std::span(kIntCommon), PageSize) == kPageCommonBytes);
static_assert(kov::RawTableBytes(std::span(kIntSystem<TS1>), PageSize) == kPageSystemBytes);

static_assert(kov::RawOffsetsMatch(std::span(kCurCommon), std::span(kCurCommonAt), RegSize));
static_assert(kov::RawOffsetsMatch(std::span(kCurSystem<TS2>), std::span(kCurSystemAt), RegSize));
static_assert(kov::RawOffsetsMatch(std::span(kArchCommon), std::span(kArchCommonAt), PageSize));
static_assert(kov::RawOffsetsMatch(std::span(kArchSystem<TS2>), std::span(kArchSystemAt),
                                   PageSize));
static_assert(kov::RawOffsetsMatch(std::span(kArchSystemV10<TS2>), std::span(kArchSystemV10At),
                                   PageSize));
static_assert(kov::RawOffsetsMatch(std::span(kIntCommon), std::span(kIntCommonAt), PageSize));
static_assert(kov::RawOffsetsMatch(std::span(kIntSystem<TS2>), std::span(kIntSystemAt), PageSize));

}  // namespace vkt9

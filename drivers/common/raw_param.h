#pragma once

// Raw-parameter tables: a meter block (a register block or one part of an
// archive record) described as data. Each entry names one meter quantity in
// block order: how many bytes it takes, how it is scaled, which heating
// system it belongs to and which catalogue parameter it becomes. One walker
// visits the entries; the family decides sizes and what a visit does.
//
// The families that read blocks this way (VKT-9, ESKO, OMEGA-TR, TV7) share
// the entry layout; their type codes and sizes differ, hence the size hook.

#include <cstddef>
#include <cstdint>
#include <span>

namespace kov {

struct RawParam {
    int32_t code;      // meter quantity number
    int32_t dim;       // dimension code: unit text and conversions
    int32_t dec_pos;   // raw value / 10^dec_pos
    int32_t jsonParm;  // catalogue identifier; 30 = decode, do not upload
    int32_t system;    // 0 TS1, 1 TS2, 16 common (family-specific meaning beyond)
    int32_t type;      // value type code of the family
    int32_t length;    // byte length, where the type does not fix it
    int32_t kind;      // register blocks: kind of the uploaded value, -1 none
};

// Catalogue identifier of entries that are decoded but never uploaded.
inline constexpr int32_t kNotUploaded = 30;

// Visits the entries of `table` over a block of `blockLen` bytes in order,
// handing each its byte offset; stops after the entry whose bytes reach the
// end of the block or after the last entry. `size(entry)` gives the bytes an
// entry takes. An entry that would run past the end is still visited, so the
// decoder's own bound check reports it.
template <class SizeFn, class VisitFn>
void WalkRawParams(std::span<const RawParam> table, int32_t blockLen, SizeFn&& size,
                   VisitFn&& visit) {
    int32_t pos = 0;
    for (const RawParam& e : table) {
        const int32_t n = size(e);
        visit(e, pos);
        pos += n;
        if (pos >= blockLen) break;
    }
}

// Total bytes a table covers, for compile-time checks against documented
// block sizes.
template <class SizeFn>
constexpr int32_t RawTableBytes(std::span<const RawParam> table, SizeFn size) {
    int32_t total = 0;
    for (const RawParam& e : table) total += size(e);
    return total;
}

// Checks at compile time that every entry of `uploaded` (offset, code) sits
// at its documented offset in the table.
struct RawOffset {
    int32_t offset;
    int32_t code;
};

template <class SizeFn>
constexpr bool RawOffsetsMatch(std::span<const RawParam> table, std::span<const RawOffset> want,
                               SizeFn size) {
    for (const RawOffset& w : want) {
        int32_t pos = 0;
        bool found = false;
        for (const RawParam& e : table) {
            if (pos == w.offset && e.code == w.code) {
                found = true;
                break;
            }
            pos += size(e);
        }
        if (!found) return false;
    }
    return true;
}

}  // namespace kov

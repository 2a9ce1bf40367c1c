#pragma once

// CBoundedView<Traits>: the bounds-checked view of a meter reply through
// which every reply byte is read. A pointer and a signed 32-bit length; the
// empty view is a null pointer with length 0. Families differ only in the
// caption their violations write into their error journal:
//   struct Traits { static constexpr const char* kName = "CVKT7Buffer";
//                   static void Journal(const char* caption); };
// A read at or past the end journals "<kName> []", a step past the end
// "<kName> +="; both then throw CDisconnectException.

#include <cstdint>
#include <string>

#include "drivers/common/byte_order.h"
#include "drivers/common/link_exceptions.h"

namespace kov {

template <class Traits>
class CBoundedView {
public:
    CBoundedView() = default;
    CBoundedView(const uint8_t* data, int32_t length) : data_(data), length_(length) {}

    uint8_t operator[](int32_t i) const {
        if (i < 0 || i >= length_) Fail(" []");
        return data_[i];
    }

    CBoundedView& operator+=(int32_t n) {
        if (length_ - n < 0) Fail(" +=");
        data_ += n;
        length_ -= n;
        return *this;
    }

    const uint8_t* Data() const { return data_; }
    int32_t Length() const { return length_; }
    bool Empty() const { return length_ == 0; }

    // Multi-byte reads at index i, every byte bound-checked.
    uint16_t U16LE(int32_t i) const {
        return static_cast<uint16_t>((*this)[i] | ((*this)[i + 1] << 8));
    }
    uint16_t U16BE(int32_t i) const {
        return static_cast<uint16_t>(((*this)[i] << 8) | (*this)[i + 1]);
    }
    uint32_t U32LE(int32_t i) const {
        Need(i, 4);
        return kov::U32LE(data_ + i);
    }
    uint32_t U32BE(int32_t i) const {
        Need(i, 4);
        return kov::U32BE(data_ + i);
    }
    float FloatLE(int32_t i) const {
        Need(i, 4);
        return kov::FloatLE(data_ + i);
    }
    float FloatBE(int32_t i) const {
        Need(i, 4);
        return kov::FloatBE(data_ + i);
    }

private:
    void Need(int32_t i, int32_t n) const {
        if (i < 0 || i > length_ - n) Fail(" []");
    }
    [[noreturn]] static void Fail(const char* what) {
        Traits::Journal((std::string(Traits::kName) + what).c_str());
        throw CDisconnectException();
    }

    const uint8_t* data_ = nullptr;
    int32_t length_ = 0;
};

}  // namespace kov

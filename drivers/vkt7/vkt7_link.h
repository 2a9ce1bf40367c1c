#pragma once

// VKT-7 link layer: completes a prepared request with its CRC-16/MODBUS,
// sends it, reads the reply in two steps (3-byte head, then what the head
// announces), checks the CRC, recognises error answers, retries incomplete
// replies, and keeps the family's trace and error-journal files.

#include <cstdint>

#include "drivers/common/bounded_view.h"
#include "drivers/common/link_exceptions.h"

class CConnector;

struct VKT7BufferTraits {
    static constexpr const char* kName = "CVKT7Buffer";
    static void Journal(const char* caption);
};

// A reply (or part of one) as handed to the driver; every byte read through it is bound-checked.
class CVKT7Buffer : public kov::CBoundedView<VKT7BufferTraits> {
public:
    using kov::CBoundedView<VKT7BufferTraits>::CBoundedView;
};

class CVKT7LowLevelConnector {
public:
    static constexpr int kReceiveSize = 267;

    CVKT7LowLevelConnector(CConnector* connector, uint8_t indication);
    virtual ~CVKT7LowLevelConnector() = default;

    // frame: the prepared request with two spare bytes at its end for the CRC,
    // length counting them. tolerate: an error answer returns the empty buffer
    // (code in LastError()) instead of throwing CDisconnectException.
    CVKT7Buffer SendString(uint8_t* frame, uint16_t length, const char* caption, bool tolerate);

    bool ReadCount(uint8_t* dest, uint16_t count);
    uint8_t CheckResult(const uint8_t* request, const uint8_t* reply, const char* caption,
                        bool tolerate);

    uint8_t LastError() const { return lastError_; }

    static void WriteErrorLog(int code, int type, int function, const char* caption);
    static void WriteTrace(const uint8_t* bytes, int count, const char* caption);

private:
    void DiscardLine();

    uint8_t lastError_ = 0;
    uint8_t receive_[kReceiveSize] = {};
    CConnector* connector_;
    uint8_t indication_;
};

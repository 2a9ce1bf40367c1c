#pragma once

// VKT-9 link layer: Modbus RTU framing with the meter's archive functions
// 0x41 (read archive pages) and 0x42 (find the page of a date).

#include <cstddef>
#include <cstdint>

#include "drivers/common/bounded_view.h"
#include "drivers/common/framed_link.h"

class CConnector;

namespace vkt9 {

inline constexpr const char* kTracePath = "/mnt/storage/VKT9log.log";
inline constexpr const char* kJournalPath = "/mnt/storage/VKT9.debug.log";

// Error-journal line with code 0 and function 0, as bound checks write them.
void JournalBoundFault(const char* caption);

struct BufferTraits {
    static constexpr const char* kName = "CVKT9Buffer";
    static void Journal(const char* caption) { JournalBoundFault(caption); }
};

// Archive page parts, in the order the mask selects them.
inline constexpr uint8_t kPartCommon = 0x08;
inline constexpr uint8_t kPartTS1 = 0x10;
inline constexpr uint8_t kPartTS2 = 0x20;
inline constexpr int kPartCommonLen = 44;   // 42 data bytes and their CRC
inline constexpr int kPartSystemLen = 106;  // 104 data bytes and their CRC

// Data bytes that follow the 7-byte head of a 0x41 reply for a part mask.
constexpr int PagePartsLength(uint8_t mask) {
    return ((mask & kPartCommon) ? kPartCommonLen : 0) + ((mask & kPartTS1) ? kPartSystemLen : 0) +
           ((mask & kPartTS2) ? kPartSystemLen : 0);
}

// The VKT-9 frame: address, function, data, CRC-16/MODBUS low byte first.
class CVKT9Framing : public kov::ILinkFraming {
public:
    size_t BuildFrame(uint8_t netAddr, const uint8_t* request, size_t len,
                      uint8_t* tx) const override;
    size_t HeadLength(const uint8_t* request, size_t len) const override;
    kov::HeadInfo ClassifyHead(const uint8_t* rx, size_t headLen) const override;
    bool CheckFrame(const uint8_t* rx, size_t total) const override;
    int32_t ViewLength(const uint8_t* rx, size_t total) const override;
    uint8_t CheckResult(const uint8_t* request, const uint8_t* rx, const char* caption,
                        bool tolerate) const override;
};

}  // namespace vkt9

// A reply as the driver reads it: every byte through the bound check.
using CVKT9Buffer = kov::CBoundedView<vkt9::BufferTraits>;

class CVKT9LowLevelConnector {
public:
    static constexpr size_t kRxSize = 272;
    static constexpr size_t kMaxRequest = 270;

    CVKT9LowLevelConnector(CConnector* connector, uint8_t indication);
    virtual ~CVKT9LowLevelConnector();

    CVKT9LowLevelConnector(const CVKT9LowLevelConnector&) = delete;
    CVKT9LowLevelConnector& operator=(const CVKT9LowLevelConnector&) = delete;

    // request: function code and data. Error answers throw
    // CDisconnectException unless tolerated; then the empty buffer comes
    // back and m_ucLastError holds the exception code.
    CVKT9Buffer SendString(const uint8_t* request, size_t length, const char* caption,
                           bool tolerate);
    bool ReadCount(uint8_t* dest, int count) { return engine.ReadCount(dest, count); }
    uint8_t CheckResult(const uint8_t* request, const CVKT9Buffer& reply, const char* caption,
                        bool tolerate);

    void WriteTrace(const char* caption, const uint8_t* bytes, size_t count) const {
        engine.WriteTrace(caption, bytes, count);
    }
    void WriteErrorLog(int code, int function, const char* caption) const {
        engine.WriteErrorLog(code, function, caption);
    }

    void SetNetAddr(uint8_t addr) { engine.netAddr = addr; }
    uint8_t NetAddr() const { return engine.netAddr; }
    uint8_t LastError() const { return engine.lastError; }

    // The link's settings, for families and tests that need the file paths.
    static const kov::LinkConfig& Config();

private:
    vkt9::CVKT9Framing framing;
    kov::CFramedLinkEngine engine;
};

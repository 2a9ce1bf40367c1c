#include "drivers/vkt9/vkt9_link.h"

#include <cstring>

#include "drivers/common/crc16.h"
#include "drivers/common/link_files.h"
#include "log/logger.h"

namespace {

const kov::LinkConfig kVkt9Config{
    .className = "CVKT9LowLevelConnector",
    .tracePath = vkt9::kTracePath,
    .journalPath = vkt9::kJournalPath,
    .rxSize = CVKT9LowLevelConnector::kRxSize,
    .txSize = CVKT9LowLevelConnector::kMaxRequest + 3,
    .attempts = 3,
    .afterWriteUs = 100000,
    .errorAnswerUs = 100000,
    .unknownClassUs = 500000,
    .badCheckUs = 100000,
    .giveUpUs = 500000,
};

}  // namespace

namespace vkt9 {

void JournalBoundFault(const char* caption) {
    kov::CLinkFile journal(kJournalPath);
    journal.WriteJournalLine(
        std::string(kVkt9Config.className) +
        "::CheckResult - Error on return answer. Code error 0. function 0 Func name - " + caption);
}

size_t CVKT9Framing::BuildFrame(uint8_t netAddr, const uint8_t* request, size_t len,
                                uint8_t* tx) const {
    tx[0] = netAddr;
    std::memcpy(tx + 1, request, len);
    const uint16_t crc = kov::Crc16Modbus(tx, len + 1);
    tx[len + 1] = static_cast<uint8_t>(crc & 0xFF);
    tx[len + 2] = static_cast<uint8_t>(crc >> 8);
    return len + 3;
}

size_t CVKT9Framing::HeadLength(const uint8_t* request, size_t len) const {
    // A 0x41 head carries the returned part mask in its fourth byte.
    return (len > 0 && request[0] == 0x41) ? 4 : 3;
}

kov::HeadInfo CVKT9Framing::ClassifyHead(const uint8_t* rx, size_t headLen) const {
    kov::HeadInfo h;
    const uint8_t fn = rx[1];
    if (fn & 0x80) {
        h.cls = kov::ReplyClass::ErrorAnswer;
        h.errorCode = rx[2];
        return h;
    }
    h.cls = kov::ReplyClass::Data;
    switch (fn) {
        case 0x03:
        case 0x04:
        case 0x11:
            h.rest = rx[2] + 2u;
            break;
        case 0x06:
            h.rest = 3 + 2;
            break;
        case 0x42:
            h.rest = 5 + 2;
            break;
        case 0x41:
            // Rest after the fourth byte: next page (2), page count, the parts.
            h.rest = 3 + PagePartsLength(headLen >= 4 ? rx[3] : 0) + 2u;
            break;
        default:
            h.cls = kov::ReplyClass::Unknown;
            break;
    }
    return h;
}

bool CVKT9Framing::CheckFrame(const uint8_t* rx, size_t total) const {
    const uint16_t crc = kov::Crc16Modbus(rx, total - 2);
    const uint8_t lo = static_cast<uint8_t>(crc & 0xFF);
    const uint8_t hi = static_cast<uint8_t>(crc >> 8);
    if (rx[total - 2] == lo && rx[total - 1] == hi) return true;
    klog::crit("CVKT9LowLevelConnector::SendString - WRONG CRC: x%02x%02x(LH)\r\n", lo, hi);
    return false;
}

int32_t CVKT9Framing::ViewLength(const uint8_t* rx, size_t) const {
    switch (rx[1]) {
        case 0x41:
            return 7 + PagePartsLength(rx[3]);
        case 0x42:
            return 9;
        default:
            return rx[2] + 3;
    }
}

uint8_t CVKT9Framing::CheckResult(const uint8_t*, const uint8_t* rx, const char*, bool) const {
    switch (rx[1]) {
        case 0x03:
        case 0x04:
        case 0x06:
        case 0x11:
        case 0x41:
        case 0x42:
            return 0;
        default:
            return 1;
    }
}

}  // namespace vkt9

CVKT9LowLevelConnector::CVKT9LowLevelConnector(CConnector* connector, uint8_t indication)
    : engine(connector, indication, kVkt9Config, framing) {}

CVKT9LowLevelConnector::~CVKT9LowLevelConnector() = default;

const kov::LinkConfig& CVKT9LowLevelConnector::Config() { return kVkt9Config; }

CVKT9Buffer CVKT9LowLevelConnector::SendString(const uint8_t* request, size_t length,
                                               const char* caption, bool tolerate) {
    if (length > kMaxRequest) length = kMaxRequest;
    const kov::LinkReply r = engine.SendString(request, length, caption, tolerate);
    return CVKT9Buffer(r.data, r.length);
}

uint8_t CVKT9LowLevelConnector::CheckResult(const uint8_t* request, const CVKT9Buffer& reply,
                                            const char* caption, bool tolerate) {
    if (reply.Length() < 2) return 1;
    return framing.CheckResult(request, reply.Data(), caption, tolerate);
}

#pragma once

// The request/reply engine shared by the binary meter links built on the
// VKT-9 design: frame the request, write it, read a fixed head, learn from
// the head how much follows, read the rest, verify the check, retry
// incomplete replies, journal error answers. A family plugs in its framing
// (frame layout, head size, reply classes, check) and its pauses; the
// engine keeps the control flow and the shared log texts, which name the
// family's link class.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "drivers/common/link_files.h"

class CConnector;

namespace kov {

// What the head of a reply says about the frame.
enum class ReplyClass {
    Data,         // a reply of a known function; rest holds the bytes still to read
    ErrorAnswer,  // the meter refused the request; errorCode holds its code
    Unknown,      // a function this link does not know
};

struct HeadInfo {
    ReplyClass cls = ReplyClass::Unknown;
    size_t rest = 0;
    uint8_t errorCode = 0;
};

// A family's framing. All hooks see whole buffers; lengths are in bytes.
class ILinkFraming {
public:
    virtual ~ILinkFraming() = default;
    // Writes the frame of `request` (function code first) into tx and
    // returns its length.
    virtual size_t BuildFrame(uint8_t netAddr, const uint8_t* request, size_t len,
                              uint8_t* tx) const = 0;
    // Bytes of the reply head to read first.
    virtual size_t HeadLength(const uint8_t* request, size_t len) const = 0;
    virtual HeadInfo ClassifyHead(const uint8_t* rx, size_t headLen) const = 0;
    // True when the check of the complete reply (head and rest) holds; a
    // mismatch is logged here, in the family's words.
    virtual bool CheckFrame(const uint8_t* rx, size_t total) const = 0;
    // Length of the view handed to the driver.
    virtual int32_t ViewLength(const uint8_t* rx, size_t total) const = 0;
    // Result code of an accepted reply (0 = good).
    virtual uint8_t CheckResult(const uint8_t* request, const uint8_t* rx, const char* caption,
                                bool tolerate) const = 0;
};

struct LinkConfig {
    const char* className;    // e.g. "CVKT9LowLevelConnector"
    const char* tracePath;    // e.g. "/mnt/storage/VKT9log.log"
    const char* journalPath;  // e.g. "/mnt/storage/VKT9.debug.log"
    size_t rxSize;
    size_t txSize;
    int attempts;         // writes of one request before giving up
    long afterWriteUs;    // pause between writing and reading
    long errorAnswerUs;   // pause before flushing an error answer
    long unknownClassUs;  // pause after a reply of an unknown function
    long badCheckUs;      // pause after a check mismatch
    long giveUpUs;        // pause after the last failed attempt
};

struct LinkReply {
    const uint8_t* data = nullptr;
    int32_t length = 0;
};

class CFramedLinkEngine {
public:
    CFramedLinkEngine(CConnector* connector, uint8_t indication, const LinkConfig& config,
                      const ILinkFraming& framing);

    // One exchange. Error answers throw CDisconnectException unless
    // tolerated, then the empty reply is returned and the code kept in
    // lastError. The reply points into the receive buffer until the next
    // exchange.
    LinkReply SendString(const uint8_t* request, size_t len, const char* caption, bool tolerate);
    // Reads exactly count bytes; throws CWrongPacketException otherwise.
    bool ReadCount(uint8_t* dest, int count);

    void WriteTrace(const char* caption, const uint8_t* bytes, size_t count) const;
    // "<Class>::CheckResult - Error on return answer. Code error <code>.
    // function <function> Func name - <caption>"
    void WriteErrorLog(int code, int function, const char* caption) const;

    uint8_t netAddr = 0;
    uint8_t lastError = 0;

    const LinkConfig& Config() const { return config_; }
    const CLinkFile& TraceFile() const { return trace_; }
    const CLinkFile& JournalFile() const { return journal_; }

private:
    void ZeroRx();
    void FailPause(long micros);

    CConnector* connector_;
    uint8_t indication_;
    LinkConfig config_;
    const ILinkFraming& framing_;
    std::vector<uint8_t> rx_;
    std::vector<uint8_t> tx_;
    CLinkFile trace_;
    CLinkFile journal_;
};

}  // namespace kov

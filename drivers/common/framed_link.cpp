#include "drivers/common/framed_link.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "drivers/base/clock.h"
#include "drivers/common/fuzz_switch.h"
#include "drivers/common/link_exceptions.h"
#include "log/logger.h"
#include "transport/connector.h"

namespace kov {

CFramedLinkEngine::CFramedLinkEngine(CConnector* connector, uint8_t indication,
                                     const LinkConfig& config, const ILinkFraming& framing)
    : connector_(connector),
      indication_(indication),
      config_(config),
      framing_(framing),
      rx_(config.rxSize, 0),
      tx_(config.txSize, 0),
      trace_(config.tracePath),
      journal_(config.journalPath) {}

void CFramedLinkEngine::ZeroRx() { std::fill(rx_.begin(), rx_.end(), 0); }

void CFramedLinkEngine::FailPause(long micros) {
    if (micros > 0) GetClock().SleepMicros(micros);
    connector_->FlushBuffers();
    ZeroRx();
}

void CFramedLinkEngine::WriteTrace(const char* caption, const uint8_t* bytes, size_t count) const {
    trace_.WriteTrace(caption, bytes, count);
}

void CFramedLinkEngine::WriteErrorLog(int code, int function, const char* caption) const {
    journal_.WriteJournalLine(std::string(config_.className) +
                              "::CheckResult - Error on return answer. Code error " +
                              std::to_string(code) + ". function " + std::to_string(function) +
                              " Func name - " + (caption ? caption : ""));
}

bool CFramedLinkEngine::ReadCount(uint8_t* dest, int count) {
    const char* cls = config_.className;
    klog::debug("%s::ReadCount: want read %d bytes\r\n", cls, count);
    if (!connector_) throw CWrongPacketException();
    int got = 0;
    for (;;) {
        const int want = count - got;
        const int n = connector_->ReadBuffer(dest + got, static_cast<uint16_t>(want), indication_);
        if (n < 0) {
            klog::err("%s::ReadCount: ret -1, need to read - \"%d\", already read - \"%d\"!!!\r\n",
                      cls, count, got);
            throw CWrongPacketException();
        }
        got += n;
        if (got == count) return true;
        if (got > count) {
            klog::err("%s::ReadCount - read more!!!\r\n", cls);
            throw CWrongPacketException();
        }
        klog::warning("%s::ReadCount - Read not full string\r\n", cls);
        GetClock().SleepMicros(100000);
    }
}

LinkReply CFramedLinkEngine::SendString(const uint8_t* request, size_t len, const char* caption,
                                        bool tolerate) {
    const char* cls = config_.className;
    if (!connector_) {
        // No port behind the link: nothing can be exchanged.
        klog::crit("%s::SendString failed - Sent not full string\r", cls);
        throw CDisconnectException();
    }
    const size_t frameLen = framing_.BuildFrame(netAddr, request, len, tx_.data());
    klog::debug("%s::SendString: net_addr %d, buff size %u\r", cls, netAddr,
                static_cast<unsigned>(frameLen));
    klog::dump("", tx_.data(), frameLen);

    const size_t headLen = framing_.HeadLength(request, len);
    for (int attempt = 0;; ++attempt) {
        ZeroRx();
        const int written =
            connector_->WriteBuffer(tx_.data(), static_cast<uint16_t>(frameLen), indication_);
        if (written < static_cast<int>(frameLen)) {
            klog::crit("%s::SendString failed - Sent not full string\r", cls);
            ZeroRx();
            throw CDisconnectException();
        }
        try {
            GetClock().SleepMicros(config_.afterWriteUs);
            ReadCount(rx_.data(), static_cast<int>(headLen));
            klog::debug("%s::SendString: got %d bytes:\r", cls, static_cast<int>(headLen));
            klog::dump("", rx_.data(), headLen);
            klog::debug("Check and read the rest\r");

            const HeadInfo head = framing_.ClassifyHead(rx_.data(), headLen);
            if (head.cls == ReplyClass::ErrorAnswer) {
                WriteErrorLog(head.errorCode, rx_[1], caption);
                klog::err(
                    "%s::CheckResult - Error on return answer. Code error %X. Function %X\r\n", cls,
                    head.errorCode, rx_[1]);
                lastError = head.errorCode;
                // The rest of the refusal (its check) is not read; the flush drops it.
                FailPause(config_.errorAnswerUs);
                if (!tolerate) throw CDisconnectException();
                return {};
            }
            if (head.cls == ReplyClass::Unknown) {
                klog::crit("%s::SendString - Wrong Packet Type\r\n", cls);
                FailPause(config_.unknownClassUs);
                throw CDisconnectException();
            }
            if (headLen + head.rest > rx_.size()) {
                // A head announcing more than the buffer holds cannot be a reply of ours.
                klog::crit("%s::SendString - Wrong Packet Type\r\n", cls);
                FailPause(config_.unknownClassUs);
                throw CDisconnectException();
            }
            ReadCount(rx_.data() + headLen, static_cast<int>(head.rest));
            const size_t total = headLen + head.rest;
            klog::debug("%s::SendString: ret %d:\r", cls, static_cast<int>(total));
            klog::dump("", rx_.data(), total);
            klog::debug("Check CRC\r\n");
            if (!kov::ReplyCheckOk(framing_.CheckFrame(rx_.data(), total))) {
                FailPause(config_.badCheckUs);
                throw CDisconnectException();
            }
            lastError = framing_.CheckResult(request, rx_.data(), caption, tolerate);
            klog::debug("%s::SendString: Done, m_ucLastError = %d.\r\n", cls, lastError);
            return {rx_.data(), framing_.ViewLength(rx_.data(), total)};
        } catch (const CWrongPacketException&) {
            connector_->FlushBuffers();
            ZeroRx();
            klog::crit("%s::Resend %d time\r\n", cls, attempt);
            if (attempt + 1 >= config_.attempts) {
                FailPause(config_.giveUpUs);
                throw;
            }
        }
    }
}

}  // namespace kov

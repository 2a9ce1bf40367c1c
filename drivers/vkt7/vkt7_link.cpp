#include "drivers/vkt7/vkt7_link.h"

#include <string>

#include "drivers/base/clock.h"
#include "drivers/common/crc16.h"
#include "drivers/common/fuzz_switch.h"
#include "drivers/common/link_files.h"
#include "log/logger.h"
#include "transport/connector.h"

namespace {

const kov::CLinkFile& Journal() {
    static const kov::CLinkFile file("/mnt/storage/vkt7.debug.log");
    return file;
}

const kov::CLinkFile& Trace() {
    static const kov::CLinkFile file("/mnt/storage/vkt7log.log");
    return file;
}

void Pause100ms() { kov::GetClock().SleepMicros(100000); }

}  // namespace

void VKT7BufferTraits::Journal(const char* caption) {
    CVKT7LowLevelConnector::WriteErrorLog(0, 0, 0, caption);
}

CVKT7LowLevelConnector::CVKT7LowLevelConnector(CConnector* connector, uint8_t indication)
    : connector_(connector), indication_(indication) {}

void CVKT7LowLevelConnector::WriteErrorLog(int code, int type, int function, const char* caption) {
    Journal().WriteJournalLine(
        "CVKT7LowLevelConnector::CheckResult - Error on return answer. Code error " +
        std::to_string(code) + ". Type packet - " + std::to_string(type) + ". function " +
        std::to_string(function) + " Func name - " + (caption ? caption : ""));
}

void CVKT7LowLevelConnector::WriteTrace(const uint8_t* bytes, int count, const char* caption) {
    Trace().WriteTrace(caption, bytes, count > 0 ? static_cast<size_t>(count) : 0);
}

void CVKT7LowLevelConnector::DiscardLine() {
    // A reply out of step with its request (noise, an echo, the tail of an
    // earlier reply) would otherwise stay on the line and put every later
    // reply out of step too: let the rest arrive, then drop it.
    Pause100ms();
    connector_->FlushBuffers();
}

bool CVKT7LowLevelConnector::ReadCount(uint8_t* dest, uint16_t count) {
    uint16_t got = 0;
    for (;;) {
        int r = connector_->ReadBuffer(dest + got, static_cast<uint16_t>(count - got), indication_);
        if (r == -1) {
            klog::err(
                "CVKT7LowLevelConnector::ReadCount - readed -1 - need to read - \"%d\", already "
                "readed - \"%d\"!!!",
                count, got);
            throw CWrongPacketException();
        }
        got = static_cast<uint16_t>(got + r);
        if (got > count) {
            klog::err("CVKT7LowLevelConnector::ReadCount - readed more!!!");
            throw CWrongPacketException();
        }
        if (got == count) return true;
        klog::warning("CVKT7LowLevelConnector::ReadCount - Readed not full string");
        Pause100ms();
    }
}

uint8_t CVKT7LowLevelConnector::CheckResult(const uint8_t* /*request*/, const uint8_t* reply,
                                            const char* caption, bool tolerate) {
    if (!(reply[1] & 0x80)) return 0;
    WriteErrorLog(reply[2], reply[1], reply[2] | (reply[3] << 8), caption);
    klog::err(
        "CVKT7LowLevelConnector::CheckResult - Error on return answer. Code error %X. Type packet "
        "- %X. function %X",
        reply[2], reply[1], reply[2]);
    if (!tolerate) throw CDisconnectException();
    return reply[2];
}

CVKT7Buffer CVKT7LowLevelConnector::SendString(uint8_t* frame, uint16_t length, const char* caption,
                                               bool tolerate) {
    if (length < 4) {  // no room for the prefix and the CRC
        klog::crit("CVKT7LowLevelConnector::SendString - Sended not full string");
        throw CDisconnectException();
    }
    const uint16_t crc = kov::Crc16Modbus(frame + 2, length - 4u);
    frame[length - 2] = static_cast<uint8_t>(crc);
    frame[length - 1] = static_cast<uint8_t>(crc >> 8);

    for (int attempt = 0;;) {
        // A driver without a port behaves like one whose port takes no bytes.
        if (!connector_ || connector_->WriteBuffer(frame, length, indication_) != length) {
            klog::crit("CVKT7LowLevelConnector::SendString - Sended not full string");
            throw CDisconnectException();
        }
        try {
            Pause100ms();
            ReadCount(receive_, 3);
            uint16_t more;
            switch (receive_[1]) {
                case 0x10:
                    more = 3;
                    break;
                case 0x03:
                    more = receive_[2];
                    break;
                case 0x83:
                case 0x90:
                    more = 1;
                    break;
                default:
                    klog::crit("CVKT7LowLevelConnector::SendString - WrongTypePacket");
                    DiscardLine();
                    throw CDisconnectException();
            }
            ReadCount(receive_ + 3, static_cast<uint16_t>(more + 2));
            const uint16_t got = kov::Crc16Modbus(receive_, 3u + more);
            if (!kov::ReplyCheckOk(receive_[3 + more] == static_cast<uint8_t>(got) &&
                                   receive_[4 + more] == static_cast<uint8_t>(got >> 8))) {
                klog::crit("CVKT7LowLevelConnector::SendString - WRONG CRC");
                DiscardLine();
                throw CDisconnectException();
            }
            lastError_ = CheckResult(frame, receive_, caption, tolerate);
            break;
        } catch (CWrongPacketException&) {
            klog::crit("CVKT7LowLevelConnector::Resend %d time", attempt);
            if (++attempt >= 3) throw;
        }
    }
    if (lastError_ != 0) return CVKT7Buffer();
    return CVKT7Buffer(receive_, receive_[2] + 3);
}

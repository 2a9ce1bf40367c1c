#include "sim/modbus_slave.h"

#include "drivers/common/crc16.h"

namespace kov::sim {

namespace {
uint16_t be16(const Bytes& b, size_t i) { return static_cast<uint16_t>(b[i] << 8 | b[i + 1]); }
void putBe16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}
}  // namespace

CSimModbusSlave::CSimModbusSlave(int fd, uint8_t address) : CSimMeter(fd), address_(address) {}

CSimModbusSlave::~CSimModbusSlave() { Stop(); }

void CSimModbusSlave::store(std::map<uint16_t, uint16_t>& table, uint16_t first,
                            const std::vector<uint16_t>& values) {
    std::lock_guard<std::mutex> g(regs);
    for (size_t i = 0; i < values.size(); ++i) table[static_cast<uint16_t>(first + i)] = values[i];
}

bool CSimModbusSlave::fetch(const std::map<uint16_t, uint16_t>& table, uint16_t reg,
                            uint16_t& value) const {
    std::lock_guard<std::mutex> g(regs);
    auto it = table.find(reg);
    if (it == table.end()) return false;
    value = it->second;
    return true;
}

void CSimModbusSlave::SetHolding(uint16_t reg, uint16_t value) { store(holding_, reg, {value}); }
void CSimModbusSlave::SetHolding(uint16_t first, const std::vector<uint16_t>& values) {
    store(holding_, first, values);
}
void CSimModbusSlave::SetInput(uint16_t reg, uint16_t value) { store(input_, reg, {value}); }
void CSimModbusSlave::SetInput(uint16_t first, const std::vector<uint16_t>& values) {
    store(input_, first, values);
}
bool CSimModbusSlave::Holding(uint16_t reg, uint16_t& value) const {
    return fetch(holding_, reg, value);
}
bool CSimModbusSlave::Input(uint16_t reg, uint16_t& value) const {
    return fetch(input_, reg, value);
}

void CSimModbusSlave::SetSlaveId(const Bytes& data) {
    std::lock_guard<std::mutex> g(regs);
    slaveId_ = data;
}

Bytes CSimModbusSlave::Frame(uint8_t address, const Bytes& pdu) {
    Bytes f;
    f.reserve(pdu.size() + 3);
    f.push_back(address);
    f.insert(f.end(), pdu.begin(), pdu.end());
    uint16_t crc = kov::Crc16Modbus(f.data(), f.size());
    f.push_back(static_cast<uint8_t>(crc & 0xFF));
    f.push_back(static_cast<uint8_t>(crc >> 8));
    return f;
}

void CSimModbusSlave::Reseal(Bytes& reply) {
    if (reply.size() < 3) return;
    uint16_t crc = kov::Crc16Modbus(reply.data(), reply.size() - 2);
    reply[reply.size() - 2] = static_cast<uint8_t>(crc & 0xFF);
    reply[reply.size() - 1] = static_cast<uint8_t>(crc >> 8);
}

void CSimModbusSlave::MakeErrorAnswer(Bytes& reply) {
    if (reply.size() < 2) return;
    reply = Frame(reply[0], {static_cast<uint8_t>(reply[1] | 0x80), kDeviceFailure});
}

uint8_t CSimModbusSlave::ReadRegisters(bool input, uint16_t first, uint16_t count,
                                       std::vector<uint16_t>& out) {
    std::lock_guard<std::mutex> g(regs);
    const auto& table = input ? input_ : holding_;
    for (uint32_t r = first; r < static_cast<uint32_t>(first) + count; ++r) {
        auto it = table.find(static_cast<uint16_t>(r));
        if (it == table.end()) return kIllegalAddress;
        out.push_back(it->second);
    }
    return 0;
}

uint8_t CSimModbusSlave::WriteRegisters(uint16_t first, const std::vector<uint16_t>& values) {
    store(holding_, first, values);
    return 0;
}

long CSimModbusSlave::CustomRequestLength(const uint8_t*, size_t) { return kUseGap; }

uint8_t CSimModbusSlave::HandleCustom(const Bytes&, Bytes&) { return kIllegalFunction; }

long CSimModbusSlave::RequestLength(const uint8_t* d, size_t len) {
    if (len < 2) return kNeedMore;
    switch (d[1]) {
        case 0x01:
        case 0x02:
        case 0x03:
        case 0x04:
        case 0x05:
        case 0x06:
            return 8;
        case 0x07:
        case 0x0B:
        case 0x0C:
        case 0x11:
            return 4;
        case 0x0F:
        case 0x10:
            return len < 7 ? kNeedMore : 9 + d[6];
        case 0x16:
            return 10;
        case 0x17:
            return len < 11 ? kNeedMore : 13 + d[10];
        default:
            return CustomRequestLength(d, len);
    }
}

uint8_t CSimModbusSlave::handlePdu(const Bytes& pdu, Bytes& out) {
    const uint8_t fn = pdu[0];
    out.push_back(fn);
    switch (fn) {
        case 0x03:
        case 0x04: {
            if (pdu.size() != 5) return kIllegalValue;
            uint16_t first = be16(pdu, 1), count = be16(pdu, 3);
            if (count < 1 || count > 125) return kIllegalValue;
            std::vector<uint16_t> v;
            if (uint8_t e = ReadRegisters(fn == 0x04, first, count, v)) return e;
            out.push_back(static_cast<uint8_t>(count * 2));
            for (uint16_t x : v) putBe16(out, x);
            return 0;
        }
        case 0x06: {
            if (pdu.size() != 5) return kIllegalValue;
            if (uint8_t e = WriteRegisters(be16(pdu, 1), {be16(pdu, 3)})) return e;
            out.insert(out.end(), pdu.begin() + 1, pdu.end());
            return 0;
        }
        case 0x10: {
            if (pdu.size() < 6) return kIllegalValue;
            uint16_t first = be16(pdu, 1), count = be16(pdu, 3);
            if (count < 1 || count > 123 || pdu[5] != count * 2 || pdu.size() != 6u + count * 2u)
                return kIllegalValue;
            std::vector<uint16_t> v;
            for (uint16_t i = 0; i < count; ++i) v.push_back(be16(pdu, 6 + 2 * i));
            if (uint8_t e = WriteRegisters(first, v)) return e;
            putBe16(out, first);
            putBe16(out, count);
            return 0;
        }
        case 0x17: {
            if (pdu.size() < 10) return kIllegalValue;
            uint16_t rFirst = be16(pdu, 1), rCount = be16(pdu, 3);
            uint16_t wFirst = be16(pdu, 5), wCount = be16(pdu, 7);
            if (rCount < 1 || rCount > 125 || wCount < 1 || wCount > 121 || pdu[9] != wCount * 2 ||
                pdu.size() != 10u + wCount * 2u)
                return kIllegalValue;
            std::vector<uint16_t> w;
            for (uint16_t i = 0; i < wCount; ++i) w.push_back(be16(pdu, 10 + 2 * i));
            // The write happens before the read, as the function defines.
            if (uint8_t e = WriteRegisters(wFirst, w)) return e;
            std::vector<uint16_t> r;
            if (uint8_t e = ReadRegisters(false, rFirst, rCount, r)) return e;
            out.push_back(static_cast<uint8_t>(rCount * 2));
            for (uint16_t x : r) putBe16(out, x);
            return 0;
        }
        case 0x11: {
            std::lock_guard<std::mutex> g(regs);
            out.push_back(static_cast<uint8_t>(slaveId_.size()));
            out.insert(out.end(), slaveId_.begin(), slaveId_.end());
            return 0;
        }
        case 0x01:
        case 0x02:
        case 0x05:
        case 0x07:
        case 0x0B:
        case 0x0C:
        case 0x0F:
        case 0x16:
            return kIllegalFunction;
        default:
            out.clear();
            return HandleCustom(pdu, out);
    }
}

bool CSimModbusSlave::Handle(const Bytes& request, Bytes& reply) {
    if (request.size() < 4) return false;
    // A request with a wrong CRC or for another slave gets no answer.
    uint16_t crc = kov::Crc16Modbus(request.data(), request.size() - 2);
    if (request[request.size() - 2] != (crc & 0xFF) || request[request.size() - 1] != (crc >> 8))
        return false;
    const uint8_t addr = request[0];
    if (addr != address_ && addr != 0) return false;
    Bytes pdu(request.begin() + 1, request.end() - 2);
    Bytes out;
    uint8_t exc = handlePdu(pdu, out);
    if (addr == 0) return false;  // broadcasts are carried out, never answered
    if (exc) out = {static_cast<uint8_t>(pdu[0] | 0x80), exc};
    reply = Frame(address_, out);
    return true;
}

}  // namespace kov::sim

#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "sim/sim_meter.h"

namespace kov::sim {

// A Modbus RTU slave on a simulated line: holding and input registers, the
// write functions (6, 16, 23), report slave ID (17), and hooks for functions
// a meter adds (such as archive requests). It frames requests itself, so it
// also accepts function codes that libmodbus cannot size.
class CSimModbusSlave : public CSimMeter {
public:
    // Modbus exception codes
    static constexpr uint8_t kIllegalFunction = 0x01;
    static constexpr uint8_t kIllegalAddress = 0x02;
    static constexpr uint8_t kIllegalValue = 0x03;
    static constexpr uint8_t kDeviceFailure = 0x04;

    CSimModbusSlave(int fd, uint8_t address);
    ~CSimModbusSlave() override;

    uint8_t Address() const { return address_; }

    void SetHolding(uint16_t reg, uint16_t value);
    void SetHolding(uint16_t first, const std::vector<uint16_t>& values);
    void SetInput(uint16_t reg, uint16_t value);
    void SetInput(uint16_t first, const std::vector<uint16_t>& values);
    bool Holding(uint16_t reg, uint16_t& value) const;
    bool Input(uint16_t reg, uint16_t& value) const;
    // Data of the report-slave-ID answer (after its byte count).
    void SetSlaveId(const Bytes& data);

    // Builds a whole RTU frame (address, PDU, CRC low byte first).
    static Bytes Frame(uint8_t address, const Bytes& pdu);

protected:
    // Register access; the defaults use the tables above and answer
    // kIllegalAddress for a register that was never set. Return 0 or an
    // exception code. Called on the slave's thread.
    virtual uint8_t ReadRegisters(bool input, uint16_t first, uint16_t count,
                                  std::vector<uint16_t>& out);
    virtual uint8_t WriteRegisters(uint16_t first, const std::vector<uint16_t>& values);

    // A function code the slave does not know: the total request length
    // (address and CRC included) from the bytes so far, or kNeedMore /
    // kUseGap. The default leaves it to the gap.
    virtual long CustomRequestLength(const uint8_t* frame, size_t len);
    // Answers such a function: fill replyPdu (function code first) and return
    // 0, or return an exception code. The default refuses the function.
    virtual uint8_t HandleCustom(const Bytes& requestPdu, Bytes& replyPdu);

    // Guards the register tables; hooks may take it too.
    mutable std::mutex regs;

private:
    long RequestLength(const uint8_t* data, size_t len) override;
    bool Handle(const Bytes& request, Bytes& reply) override;
    void Reseal(Bytes& reply) override;
    void MakeErrorAnswer(Bytes& reply) override;
    uint8_t handlePdu(const Bytes& pdu, Bytes& out);
    void store(std::map<uint16_t, uint16_t>& table, uint16_t first,
               const std::vector<uint16_t>& values);
    bool fetch(const std::map<uint16_t, uint16_t>& table, uint16_t reg, uint16_t& value) const;

    uint8_t address_;
    std::map<uint16_t, uint16_t> holding_;
    std::map<uint16_t, uint16_t> input_;
    Bytes slaveId_;
};

}  // namespace kov::sim

#pragma once

#include <modbus/modbus.h>

#include <cstdint>
#include <string>

#include "service/value_record.h"
#include "transport/connector.h"

class CLed;

// A Modbus RTU master port: register operations addressed to a slave, each
// one locked exchange. The byte operations refuse to work, so only drivers
// written for this interface can use such a port.
class CModbusConnector : public CConnector {
public:
    virtual int ReadHoldingRegisters(int slave, int addr, int count, uint16_t* dest,
                                     uint8_t indication) = 0;
    virtual int ReadInputRegisters(int slave, int addr, int count, uint16_t* dest,
                                   uint8_t indication) = 0;
    virtual int WriteRegister(int slave, int addr, uint16_t value, uint8_t indication) = 0;
    virtual int WriteRegisters(int slave, int addr, int count, const uint16_t* src,
                               uint8_t indication) = 0;
    virtual int WriteAndReadRegisters(int slave, int writeAddr, int writeCount, const uint16_t* src,
                                      int readAddr, int readCount, uint16_t* dest,
                                      uint8_t indication) = 0;
    virtual int ReportSlaveId(int slave, int maxBytes, uint8_t* dest, uint8_t indication) = 0;
    // req holds address and PDU without CRC; the reply (a whole RTU frame, up
    // to 256 bytes) is received into the same buffer.
    virtual int RawRequest(int slave, uint8_t* req, int reqLen, uint8_t indication) = 0;
    virtual int SetTimeout(uint32_t ms) = 0;
};

// Serial settings as taken from the port parameters.
struct ModbusSerialSettings {
    int speed = 9600;
    int dataBits = 8;
    char parity = 'N';
    int stopBits = 1;
};

class CModbusConnectorItself : public CModbusConnector {
public:
    explicit CModbusConnectorItself(const ParamMap& params);
    ~CModbusConnectorItself() override;

    int WriteBuffer(const uint8_t* data, uint16_t len, uint8_t indication) override;
    int ReadBuffer(uint8_t* dest, uint16_t len, uint8_t indication) override;
    int ReadBufferCycle(uint8_t* dest, uint16_t len, uint8_t indication,
                        uint32_t timeoutMs) override;
    bool open_device() override;
    void close_device() override;
    int FlushBuffers() override;
    int DrainOutput() override;

    int ReadHoldingRegisters(int slave, int addr, int count, uint16_t* dest,
                             uint8_t indication) override;
    int ReadInputRegisters(int slave, int addr, int count, uint16_t* dest,
                           uint8_t indication) override;
    int WriteRegister(int slave, int addr, uint16_t value, uint8_t indication) override;
    int WriteRegisters(int slave, int addr, int count, const uint16_t* src,
                       uint8_t indication) override;
    int WriteAndReadRegisters(int slave, int writeAddr, int writeCount, const uint16_t* src,
                              int readAddr, int readCount, uint16_t* dest,
                              uint8_t indication) override;
    int ReportSlaveId(int slave, int maxBytes, uint8_t* dest, uint8_t indication) override;
    int RawRequest(int slave, uint8_t* req, int reqLen, uint8_t indication) override;
    int SetTimeout(uint32_t ms) override;

    const std::string& DeviceName() const { return deviceName; }
    uint32_t Timeout() const { return timeout; }
    // The libmodbus context (null when the port could not be opened).
    modbus_t* Context() const { return ctx; }
    // The serial settings the last open_device handed to libmodbus.
    const ModbusSerialSettings& Settings() const { return settings; }

    // Parses the serial settings of a port parameter map.
    static ModbusSerialSettings ParseSettings(const ParamMap& params);

private:
    void applyTimeouts();
    // Shared body of the locked register operations; isRead decides whether a
    // result of at least 1 flashes the receive LED.
    template <typename Op>
    int exchange(int slave, uint8_t indication, bool isRead, Op op);
    void discardRestOfReply();

    modbus_t* ctx;
    std::string deviceName;
    CLed* txLed;
    CLed* rxLed;
    uint32_t timeout;
    ModbusSerialSettings settings;
};

#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

class CConnector;
class CModbusConnector;

// The MAGIKA side of a Modbus port: input-register reads and register writes
// addressed to the meter, and the archive command protocol on registers
// 1000-1003 (1000 command, 1001 size or status, 1002.. data, 1002-1003 date).
// Register addresses here are the protocol addresses sent on the wire.
class CMAGIKAAXXXConnector {
public:
    // Archive command registers.
    static constexpr int kCommandReg = 1000;
    static constexpr int kStatusReg = 1001;
    static constexpr int kDataReg = 1002;
    static constexpr int kFirmwareReg = 51;
    // Find results polled from the status register.
    static constexpr int kFindBusy = 1;
    static constexpr int kFindFound = 2;
    static constexpr int kFindNotFound = 3;

    // Throws std::bad_cast when the connector is not a Modbus connector.
    explicit CMAGIKAAXXXConnector(CConnector* connector);

    void SetSlave(int slave) { slave_ = slave; }
    int Slave() const { return slave_; }

    // Function 4; the number of registers read, below 1 on failure.
    int ReadInputRegisters(int addr, int count, uint16_t* dest);
    // Functions 6 and 16; -1 on failure.
    int WriteSingleRegister(int addr, uint16_t value);
    int WriteMultipleRegisters(int addr, int count, const uint16_t* src);

    // Selects the archive template with the command and reads it; returns
    // the number of template lines, -1 on failure.
    int readArchTemplate(uint16_t command, std::vector<std::string>& lines);
    // Positions the meter on the archive string of the given local time
    // (hour as the meter counts it, 24 allowed); returns the find result
    // (2 found, 3 not found) or -1.
    int findArchString(const struct tm& when, uint16_t selectCommand, uint16_t findCommand);
    // Size in bytes of the next (older) archive string, 0 on failure.
    int readSizeArchString(uint16_t nextCommand);
    // Reads size bytes from the data registers into buffer, which must hold
    // size rounded up to whole registers; returns registers read or -1.
    int read1003RegString(uint8_t* buffer, int size);

    // Whether the last failure came from the link (no usable Modbus answer)
    // rather than from what the meter answered.
    bool LinkFailed() const { return linkFailed_; }

    // Upper bound of busy answers while a find runs (each is one exchange).
    void SetFindPollLimit(int polls) { findPollLimit_ = polls; }

private:
    CModbusConnector* modbus_;
    int slave_ = 1;
    bool linkFailed_ = false;
    int findPollLimit_ = 1000;
};

#include "drivers/magika/magika_link.h"

#include <algorithm>
#include <typeinfo>

#include "drivers/magika/magika_archive.h"
#include "log/logger.h"
#include "transport/modbus_connector.h"

namespace {
// Every exchange flashes the traffic LEDs.
constexpr uint8_t kIndication = 1;
// One Modbus read carries at most 125 registers (250 bytes of a stream).
constexpr int kBlockRegs = 125;
}  // namespace

CMAGIKAAXXXConnector::CMAGIKAAXXXConnector(CConnector* connector) {
    if (connector == nullptr) throw std::bad_cast();
    modbus_ = &dynamic_cast<CModbusConnector&>(*connector);
}

int CMAGIKAAXXXConnector::ReadInputRegisters(int addr, int count, uint16_t* dest) {
    const int rc = modbus_->ReadInputRegisters(slave_, addr, count, dest, kIndication);
    if (rc < 1) linkFailed_ = true;
    return rc;
}

int CMAGIKAAXXXConnector::WriteSingleRegister(int addr, uint16_t value) {
    const int rc = modbus_->WriteRegister(slave_, addr, value, kIndication);
    if (rc < 0) {
        linkFailed_ = true;
        return -1;
    }
    return rc;
}

int CMAGIKAAXXXConnector::WriteMultipleRegisters(int addr, int count, const uint16_t* src) {
    const int rc = modbus_->WriteRegisters(slave_, addr, count, src, kIndication);
    if (rc < 0) {
        linkFailed_ = true;
        return -1;
    }
    return rc;
}

int CMAGIKAAXXXConnector::readArchTemplate(uint16_t command, std::vector<std::string>& lines) {
    linkFailed_ = false;
    lines.clear();
    if (WriteSingleRegister(kCommandReg, command) < 0) {
        klog::warning("CMAGIKAAXXXConnector::readArchTemplate - ERROR! Could not init arch read.");
        return -1;
    }
    uint16_t size = 0;
    if (ReadInputRegisters(kStatusReg, 1, &size) < 1) {
        klog::warning(
            "CMAGIKAAXXXConnector::readArchTemplate - ERROR! Could not read arch template size.");
        return -1;
    }
    if (size == 0) {
        klog::warning("CMAGIKAAXXXConnector::readArchTemplate - ERROR! Arch template size is 0.");
        return -1;
    }
    std::vector<uint8_t> bytes((size + 1u) / 2u * 2u, 0);
    if (read1003RegString(bytes.data(), size) < 0) return -1;
    bytes.resize(size);
    uint16_t firmware = 0;
    if (ReadInputRegisters(kFirmwareReg, 1, &firmware) >= 1 && magika::NeedsTemplateFixup(firmware))
        magika::FixupTemplate(bytes);
    lines = magika::SplitTemplate(bytes);
    for (size_t i = 0; i < lines.size(); ++i)
        klog::debug("CMAGIKAAXXXConnector::readArchTemplate - Arch template string %d: %s.",
                    static_cast<int>(i), lines[i].c_str());
    return static_cast<int>(lines.size());
}

int CMAGIKAAXXXConnector::findArchString(const struct tm& when, uint16_t selectCommand,
                                         uint16_t findCommand) {
    linkFailed_ = false;
    const int year = when.tm_year + 1900;
    klog::debug("CMAGIKAAXXXConnector::findArchString - Year %d, Month %d, Day %d, Hour %d.", year,
                when.tm_mon + 1, when.tm_mday, when.tm_hour);
    if (WriteSingleRegister(kCommandReg, selectCommand) < 0) return -1;
    if (WriteSingleRegister(kCommandReg, findCommand) < 0) return -1;
    const uint16_t date[2] = {
        static_cast<uint16_t>(((when.tm_mday & 0xFF) << 8) | ((when.tm_mon + 1) & 0xFF)),
        static_cast<uint16_t>((((year - 2000) & 0xFF) << 8) | (when.tm_hour & 0xFF))};
    if (WriteMultipleRegisters(kDataReg, 2, date) < 0) return -1;
    int result = kFindBusy;
    for (int polls = 0; result == kFindBusy && polls < findPollLimit_; ++polls) {
        uint16_t reg = 0;
        if (ReadInputRegisters(kStatusReg, 1, &reg) < 1) {
            klog::warning(
                "CMAGIKAAXXXConnector::findArchString - ERROR! Could not read find string "
                "register.");
            return -1;
        }
        result = reg;
        klog::debug("CMAGIKAAXXXConnector::findArchString - findResult = %d.", result);
    }
    return result;
}

int CMAGIKAAXXXConnector::readSizeArchString(uint16_t nextCommand) {
    linkFailed_ = false;
    if (WriteSingleRegister(kCommandReg, nextCommand) < 0) return 0;
    uint16_t size = 0;
    if (ReadInputRegisters(kStatusReg, 1, &size) < 1) return 0;
    klog::debug("CMAGIKAAXXXConnector::readSizeArchString - Arch string size: %d.", size);
    return size;
}

int CMAGIKAAXXXConnector::read1003RegString(uint8_t* buffer, int size) {
    const int regs = (size + 1) / 2;
    uint16_t block[kBlockRegs];
    int done = 0;
    while (done < regs) {
        const int n = std::min(kBlockRegs, regs - done);
        if (ReadInputRegisters(kDataReg + done, n, block) < n) {
            linkFailed_ = true;
            klog::warning(
                "CMAGIKAAXXXConnector::read1003RegString - ERROR! Could not read 1003 register.");
            return -1;
        }
        for (int i = 0; i < n; ++i) {
            buffer[2 * (done + i)] = static_cast<uint8_t>(block[i] >> 8);
            buffer[2 * (done + i) + 1] = static_cast<uint8_t>(block[i]);
        }
        done += n;
    }
    return done;
}

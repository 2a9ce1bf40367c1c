#include "transport/modbus_connector.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>

#include "log/logger.h"
#include "thread/led.h"

namespace {

constexpr uint32_t kModbusTimeoutMs = 60000;
constexpr int kBlinkMicros = 150000;
constexpr int kDebugLevel = 7;

void unlockExchange(void* m) { pthread_mutex_unlock(static_cast<pthread_mutex_t*>(m)); }

// libmodbus sizes a reply by its first bytes; when those were garbled it has
// read too few or too many, and what is left on the line would be taken for
// the start of the next reply.
bool garbledReply(int error) {
    return error == EMBBADCRC || error == EMBBADDATA || error == EMBBADSLAVE ||
           error == EMBMDATA || error == EMBBADEXC || error == EMBUNKEXC;
}

}  // namespace

ModbusSerialSettings CModbusConnectorItself::ParseSettings(const ParamMap& p) {
    ModbusSerialSettings s;
    auto it = p.find("speed");
    if (it != p.end()) s.speed = atoi(it->second.c_str());
    it = p.find("data");
    if (it != p.end()) s.dataBits = atoi(it->second.c_str());
    it = p.find("parity");
    if (it != p.end() && it->second == "E")
        s.parity = 'E';
    else if (it != p.end() && it->second == "O")
        s.parity = 'O';
    it = p.find("stop");
    s.stopBits = (it != p.end() && it->second == "2") ? 2 : 1;
    return s;
}

CModbusConnectorItself::CModbusConnectorItself(const ParamMap& params)
    : ctx(nullptr), txLed(nullptr), rxLed(nullptr), timeout(kModbusTimeoutMs) {
    pthread_mutex_init(&exchangeLock, nullptr);
    portParams = params;
    auto it = portParams.find("name");
    deviceName = it == portParams.end() ? "/dev/ttyS1" : it->second;
    txLed = new CLed("/proc/leds/qx_red", kBlinkMicros);
    rxLed = new CLed("/proc/leds/lan", kBlinkMicros);
    txLed->Start("manager LED \"A\"");
    rxLed->Start("manager LED \"B\"");
    open_device();
}

CModbusConnectorItself::~CModbusConnectorItself() {
    delete txLed;
    delete rxLed;
    // The process ends right after; closing the context is still the tidy thing
    // to do, and it lets tests create many connectors.
    if (ctx) {
        modbus_close(ctx);
        modbus_free(ctx);
        ctx = nullptr;
    }
    pthread_mutex_destroy(&exchangeLock);
}

void CModbusConnectorItself::applyTimeouts() {
    modbus_set_byte_timeout(ctx, timeout / 1000, (timeout % 1000) * 1000);
    const uint32_t twice = timeout * 2;
    modbus_set_response_timeout(ctx, twice / 1000, (twice % 1000) * 1000);
}

bool CModbusConnectorItself::open_device() {
    settings = ParseSettings(portParams);
    if (ctx) {  // opening again replaces the old context
        modbus_close(ctx);
        modbus_free(ctx);
        ctx = nullptr;
    }
    // With no "name" at all, libmodbus is handed the default port as well.
    ctx = modbus_new_rtu(deviceName.c_str(), settings.speed, settings.parity, settings.dataBits,
                         settings.stopBits);
    if (!ctx) {
        klog::crit(
            "CModbusConnectorItself::open_device - Unable to allocate libmodbus context and "
            "open device %s.",
            deviceName.c_str());
        return false;
    }
    modbus_set_debug(ctx, klog::enabled(kDebugLevel) ? TRUE : FALSE);
    modbus_set_slave(ctx, 1);
    applyTimeouts();
    if (modbus_connect(ctx) == -1) {
        klog::crit(
            "CModbusConnectorItself::open_device - Connection failed. Unable to open device %s.",
            deviceName.c_str());
        modbus_free(ctx);
        ctx = nullptr;
        return false;
    }
    return true;
}

void CModbusConnectorItself::close_device() {}

int CModbusConnectorItself::WriteBuffer(const uint8_t*, uint16_t, uint8_t) { return -1; }
int CModbusConnectorItself::ReadBuffer(uint8_t*, uint16_t, uint8_t) { return -1; }
int CModbusConnectorItself::ReadBufferCycle(uint8_t*, uint16_t, uint8_t, uint32_t) { return -1; }
int CModbusConnectorItself::DrainOutput() { return -1; }

int CModbusConnectorItself::FlushBuffers() {
    pthread_mutex_lock(&exchangeLock);
    int r = modbus_flush(ctx);
    pthread_mutex_unlock(&exchangeLock);
    return r;
}

template <typename Op>
int CModbusConnectorItself::exchange(int slave, uint8_t indication, bool isRead, Op op) {
    pthread_mutex_lock(&exchangeLock);
    // The lock must be released even when a driver thread is cancelled
    // inside libmodbus' waits.
    int result = -1;
    pthread_cleanup_push(unlockExchange, &exchangeLock);
    if (modbus_set_slave(ctx, slave) != -1) {
        if (indication) txLed->Blink(true);
        result = op();
        if (result == -1 && garbledReply(errno)) {
            const int error = errno;
            discardRestOfReply();
            errno = error;
        }
        if (isRead && result >= 1 && indication) rxLed->Blink(true);
    }
    pthread_cleanup_pop(1);
    return result;
}

// Reads and drops bytes until the line has been quiet for a few character
// times (at least 20 ms), for at most a second, then flushes.
void CModbusConnectorItself::discardRestOfReply() {
    const int fd = modbus_get_socket(ctx);
    if (fd < 0) return;
    const int speed = settings.speed > 0 ? settings.speed : 9600;
    const int quietMs = std::max(20, 4 * 11 * 1000 / speed + 1);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    uint8_t sink[256];
    pollfd p{fd, POLLIN, 0};
    while (std::chrono::steady_clock::now() < until && poll(&p, 1, quietMs) > 0) {
        if (read(fd, sink, sizeof sink) <= 0) break;
    }
    modbus_flush(ctx);
}

int CModbusConnectorItself::ReadHoldingRegisters(int slave, int addr, int count, uint16_t* dest,
                                                 uint8_t indication) {
    return exchange(slave, indication, true,
                    [&] { return modbus_read_registers(ctx, addr, count, dest); });
}

int CModbusConnectorItself::ReadInputRegisters(int slave, int addr, int count, uint16_t* dest,
                                               uint8_t indication) {
    return exchange(slave, indication, true,
                    [&] { return modbus_read_input_registers(ctx, addr, count, dest); });
}

int CModbusConnectorItself::WriteRegister(int slave, int addr, uint16_t value, uint8_t indication) {
    return exchange(slave, indication, false,
                    [&] { return modbus_write_register(ctx, addr, value); });
}

int CModbusConnectorItself::WriteRegisters(int slave, int addr, int count, const uint16_t* src,
                                           uint8_t indication) {
    return exchange(slave, indication, false,
                    [&] { return modbus_write_registers(ctx, addr, count, src); });
}

int CModbusConnectorItself::WriteAndReadRegisters(int slave, int writeAddr, int writeCount,
                                                  const uint16_t* src, int readAddr, int readCount,
                                                  uint16_t* dest, uint8_t indication) {
    return exchange(slave, indication, true, [&] {
        return modbus_write_and_read_registers(ctx, writeAddr, writeCount, src, readAddr, readCount,
                                               dest);
    });
}

int CModbusConnectorItself::ReportSlaveId(int slave, int maxBytes, uint8_t* dest,
                                          uint8_t indication) {
    return exchange(slave, indication, true,
                    [&] { return modbus_report_slave_id(ctx, maxBytes, dest); });
}

int CModbusConnectorItself::RawRequest(int slave, uint8_t* req, int reqLen, uint8_t indication) {
    return exchange(slave, indication, true, [&] {
        int r = modbus_send_raw_request(ctx, req, reqLen);
        if (r == -1) return -1;
        return modbus_receive_confirmation(ctx, req);
    });
}

int CModbusConnectorItself::SetTimeout(uint32_t ms) {
    timeout = ms;
    modbus_set_byte_timeout(ctx, timeout / 1000, (timeout % 1000) * 1000);
    const uint32_t twice = timeout * 2;
    return modbus_set_response_timeout(ctx, twice / 1000, (twice % 1000) * 1000);
}

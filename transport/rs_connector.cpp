#include "transport/rs_connector.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "log/logger.h"
#include "thread/led.h"

namespace {

constexpr uint32_t kRsTimeoutMs = 10000;
constexpr int kBlinkMicros = 150000;

std::string param(const ParamMap& p, const char* key, const char* fallback) {
    auto it = p.find(key);
    return it == p.end() ? std::string(fallback) : it->second;
}

}  // namespace

const std::map<int, speed_t>& CRSConnector::SpeedTable() {
    static const std::map<int, speed_t> table = {
        {0, B0},
        {50, B50},
        {75, B75},
        {110, B110},
        {134, B134},
        {150, B150},
        {200, B200},
        {300, B300},
        {600, B600},
        {1200, B1200},
        {1800, B1800},
        {2400, B2400},
        {4800, B4800},
        {9600, B9600},
        {19200, B19200},
        {38400, B38400},
        {57600, B57600},
        {115200, B115200},
        {230400, B230400},
        {460800, B460800},
        {500000, B500000},
        {576000, B576000},
        {921600, B921600},
        {1000000, B1000000},
        {1152000, B1152000},
        {1500000, B1500000},
        {2000000, B2000000},
        {2500000, B2500000},
        {3000000, B3000000},
        {3500000, B3500000},
        {4000000, B4000000},
    };
    return table;
}

CRSConnector::CRSConnector(const ParamMap& params)
    : fd(-1), txLed(nullptr), rxLed(nullptr), timeout(kRsTimeoutMs) {
    pthread_mutex_init(&exchangeLock, nullptr);
    portParams = params;
    deviceName = param(portParams, "name", "/dev/ttyS1");
    txLed = new CLed("/proc/leds/qx_red", kBlinkMicros);
    rxLed = new CLed("/proc/leds/lan", kBlinkMicros);
    txLed->Start("manager LED \"A\"");
    rxLed->Start("manager LED \"B\"");
    fd = -1;
    open_device();
}

CRSConnector::~CRSConnector() {
    delete txLed;
    delete rxLed;
    close_device();
    pthread_mutex_destroy(&exchangeLock);
}

bool CRSConnector::open_device() {
    // The device is the configured path itself: serial ports are never moved
    // under the path root. Opening again replaces the old descriptor.
    close_device();
    int d = open(deviceName.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (d <= 0) {
        if (d == 0) close(d);
        klog::crit("CRSConnector::open_device - Unable open device %s.", deviceName.c_str());
        return false;
    }
    fd = d;

    speed_t speed = B9600;
    auto sp = portParams.find("speed");
    if (sp != portParams.end()) {
        auto it = SpeedTable().find(atoi(sp->second.c_str()));
        if (it != SpeedTable().end()) speed = it->second;
    }

    termios tio;
    memset(&tio, 0, sizeof tio);
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    tio.c_cflag |= CLOCAL | CREAD;

    switch (atoi(param(portParams, "data", "8").c_str())) {
        case 5:
            tio.c_cflag |= CS5;
            break;
        case 6:
            tio.c_cflag |= CS6;
            break;
        case 7:
            tio.c_cflag |= CS7;
            break;
        default:
            tio.c_cflag |= CS8;
            break;
    }

    auto par = portParams.find("parity");
    if (par != portParams.end() && par->second == "E")
        tio.c_cflag |= PARENB;
    else if (par != portParams.end() && par->second == "O")
        tio.c_cflag |= PARENB | PARODD;

    auto stop = portParams.find("stop");
    if (stop != portParams.end() && stop->second == "2") tio.c_cflag |= CSTOPB;

    tio.c_cc[VTIME] = static_cast<cc_t>(timeout / 100);
    tio.c_cc[VMIN] = 0;

    applied = tio;
    tcsetattr(fd, TCSAFLUSH, &tio);
    return true;
}

void CRSConnector::close_device() {
    if (fd > 0) {
        close(fd);
        fd = -1;
    }
}

int CRSConnector::FlushBuffers() { return tcflush(fd, TCIOFLUSH); }

int CRSConnector::DrainOutput() { return tcdrain(fd); }

int CRSConnector::WriteBuffer(const uint8_t* data, uint16_t len, uint8_t indication) {
    if (indication) txLed->Blink(true);
    return static_cast<int>(write(fd, data, len));
}

int CRSConnector::waitReadable(uint32_t ms) {
    for (;;) {
        // poll instead of select: same wait, no FD_SETSIZE limit, and a closed
        // port (fd -1) simply waits out the time like a silent line.
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(ms));
        if (r < 0 && errno == EINTR) continue;
        return r;
    }
}

int CRSConnector::ReadBuffer(uint8_t* dest, uint16_t len, uint8_t indication) {
    int r = waitReadable(timeout);
    if (r <= 0) {
        klog::err("CRSConnector::ReadBuffer - Timeout receiving data. %d - %d", r, errno);
        return -1;
    }
    if (indication) rxLed->Blink(true);
    return static_cast<int>(read(fd, dest, len));
}

int CRSConnector::ReadBufferCycle(uint8_t* dest, uint16_t len, uint8_t indication,
                                  uint32_t timeoutMs) {
    int total = 0;
    const int32_t mode = framingMode;
    uint8_t* const start = dest;
    uint16_t remaining = len;
    for (;;) {
        if (timeoutMs == 0) timeoutMs = timeout;
        int r = waitReadable(timeoutMs);
        if (r <= 0) {
            klog::err("CRSConnector::ReadBufferCycle - Timeout receiving data.");
            return total > 0 ? total : -1;
        }
        if (indication) rxLed->Blink(true);
        ssize_t n = read(fd, dest, remaining);
        if (n < 0) return static_cast<int>(n);
        total += static_cast<int>(n);
        if (n == remaining) return total;
        dest += n;
        remaining = static_cast<uint16_t>(remaining - n);
        // Mode 1 frames announce their size in 8-byte units in the fifth byte.
        if (mode == 1 && total >= 5 && start[4] * 8 >= total) return total;
    }
}

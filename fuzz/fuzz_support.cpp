#include "fuzz/fuzz_support.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "drivers/base/clock.h"
#include "service/path_root.h"

namespace kov::fuzz {

void InitEnvironment(time_t now) {
    static bool done = false;
    if (done) return;
    done = true;
    char tmpl[] = "/tmp/kovfuzz.XXXXXX";
    if (!mkdtemp(tmpl)) abort();
    for (const char* sub : {"/proc/leds", "/tmp", "/mnt/storage"})
        std::filesystem::create_directories(std::string(tmpl) + sub);
    kov::SetPathRoot(tmpl);
    static std::string dir = tmpl;
    atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    });
    static kov::TestClock clock(now, true);
    kov::SetClock(&clock);
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
        fflush(stdout);
        dup2(null, STDOUT_FILENO);
        close(null);
    }
}

time_t LocalDate(int day, int month, int year, int hour) {
    struct tm t {};
    t.tm_mday = day;
    t.tm_mon = month - 1;
    t.tm_year = year - 1900;
    t.tm_hour = hour;
    t.tm_isdst = 0;
    return mktime(&t);
}

int ReplayConnector::WriteBuffer(const uint8_t*, uint16_t len, uint8_t) { return len; }

int ReplayConnector::ReadBuffer(uint8_t* dest, uint16_t len, uint8_t) {
    if (pos_ >= size_) return -1;
    size_t n = std::min<size_t>(len, size_ - pos_);
    memcpy(dest, data_ + pos_, n);
    pos_ += n;
    return static_cast<int>(n);
}

int ReplayConnector::ReadBufferCycle(uint8_t* dest, uint16_t len, uint8_t indication, uint32_t) {
    return ReadBuffer(dest, len, indication);
}

int LoopbackConnector::WriteBuffer(const uint8_t* data, uint16_t len, uint8_t) {
    Bytes reply;
    if (responder_(Bytes(data, data + len), reply)) {
        pending_.insert(pending_.end(), reply.begin(), reply.end());
        recorded_.insert(recorded_.end(), reply.begin(), reply.end());
    }
    return len;
}

int LoopbackConnector::ReadBuffer(uint8_t* dest, uint16_t len, uint8_t) {
    if (pending_.empty()) return -1;
    size_t n = std::min<size_t>(len, pending_.size());
    memcpy(dest, pending_.data(), n);
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(n));
    return static_cast<int>(n);
}

int LoopbackConnector::ReadBufferCycle(uint8_t* dest, uint16_t len, uint8_t indication, uint32_t) {
    return ReadBuffer(dest, len, indication);
}

bool WriteSeed(const std::string& dir, const std::string& name, const Bytes& bytes) {
    std::filesystem::create_directories(dir);
    std::ofstream out(dir + "/" + name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

}  // namespace kov::fuzz

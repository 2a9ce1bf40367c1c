#include "log/logger.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

std::atomic<logger*> logger::instance_{nullptr};

namespace {

struct LevelInfo {
    const char* tag;
    int priority;
};
constexpr LevelInfo kLevels[8] = {
    {"Emerg", LOG_EMERG}, {"Alert", LOG_ALERT},   {"Crit", LOG_CRIT}, {"Err", LOG_ERR},
    {"Warning", LOG_WARNING}, {"Notice", LOG_NOTICE}, {"Info", LOG_INFO}, {"Debug", LOG_DEBUG},
};

void writeAll(int fd, const char* data, size_t len) {
    while (len > 0) {
        ssize_t n = write(fd, data, len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        data += n;
        len -= static_cast<size_t>(n);
    }
}

// Minimal async-signal-safe text builder.
struct SafeText {
    char buf[512];
    size_t len = 0;
    void add(const char* s) {
        while (*s && len + 1 < sizeof buf) buf[len++] = *s++;
        buf[len] = 0;
    }
    void addNum(unsigned long v, int width) {
        char tmp[24];
        int n = 0;
        do {
            tmp[n++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v && n < 23);
        while (n < width && n < 23) tmp[n++] = '0';
        while (n > 0 && len + 1 < sizeof buf) buf[len++] = tmp[--n];
        buf[len] = 0;
    }
};

}  // namespace

logger* logger::getInstance(const char* name, bool syslog) {
    static std::mutex creation;
    std::lock_guard<std::mutex> guard(creation);
    logger* l = instance_.load();
    if (!l) {
        l = new logger(name, syslog);
        instance_.store(l, std::memory_order_release);
    }
    return l;
}

logger::logger(const char* name, bool syslog)
    : name_(strdup(name ? name : "Unnamed")),
      useSyslog_(syslog),
      buffer_(new char[bufferSize_]),
      level_(6),
      toStderr_(false),
      maxSize_(0),
      utcOffset_(0) {
    buffer_[0] = 0;
    if (useSyslog_) openlog(name_, LOG_PID | LOG_CONS, LOG_USER);
    time_t now = time(nullptr);
    struct tm tmv;
    localtime_r(&now, &tmv);
    utcOffset_ = tmv.tm_gmtoff;
}

logger::~logger() {
    logger* self = this;
    instance_.compare_exchange_strong(self, nullptr);
    if (useSyslog_) closelog();
    delete[] buffer_;
    free(name_);
}

void logger::prefix(char* out, size_t size, const char* tag) {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tmv;
    time_t sec = tv.tv_sec;
    localtime_r(&sec, &tmv);
    utcOffset_.store(tmv.tm_gmtoff, std::memory_order_relaxed);
    snprintf(out, size, "%02d:%02d:%02d.%03ld.%03ld %s: ", tmv.tm_hour, tmv.tm_min, tmv.tm_sec,
             static_cast<long>(tv.tv_usec / 1000), static_cast<long>(tv.tv_usec % 1000), tag);
}

void logger::printToStderr(const char* tag) {
    char pre[40];
    prefix(pre, sizeof pre, tag);
    std::string line = std::string(pre) + buffer_ + "\n";
    writeAll(STDERR_FILENO, line.data(), line.size());
}

int logger::openFile() {
    int fd = open(name_, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        // The message is lost; say so where someone may see it.
        printf("Can't open file %s\n", name_);
        fflush(stdout);
        perror("addError: ");
    }
    return fd;
}

void logger::saveToFile(const char* tag) {
    int fd = openFile();
    if (fd < 0) return;
    char pre[40];
    prefix(pre, sizeof pre, tag);
    std::string line = std::string(pre) + buffer_ + "\n";
    const char* p = line.data();
    size_t left = line.size();
    while (left > 0) {
        ssize_t n = write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            std::string msg = std::string("[logger::saveToFile()] Can't write to file: ") +
                              strerror(errno) + "\n";
            writeAll(STDERR_FILENO, msg.data(), msg.size());
            break;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    fsync(fd);
    close(fd);
    if (maxSize_ >= 1) {
        struct stat st;
        if (stat(name_, &st) == 0 && st.st_size > maxSize_) unlink(name_);
    }
}

namespace {

// Worker threads are cancelled at any cancellation point, and open, write,
// fsync and close all are ones: a thread cancelled while it logs would leave
// a half-written line and an open descriptor. Cancellation waits until the
// line is out.
class CancelGuard {
public:
    CancelGuard() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old_); }
    ~CancelGuard() { pthread_setcancelstate(old_, nullptr); }
    CancelGuard(const CancelGuard&) = delete;
    CancelGuard& operator=(const CancelGuard&) = delete;

private:
    int old_ = PTHREAD_CANCEL_ENABLE;
};

}  // namespace

void logger::vlog(int level, const char* fmt, va_list ap) {
    if (level < 0 || level > 7) return;
    if (level > 0 && getLevel() < level) return;
    CancelGuard noCancel;
    const LevelInfo& li = kLevels[level];
    if (!toStderr_ && useSyslog_) {
        vsyslog(li.priority, fmt, ap);
        return;
    }
    std::lock_guard<std::mutex> guard(lock_);
    vsnprintf(buffer_, bufferSize_, fmt, ap);
    if (toStderr_)
        printToStderr(li.tag);
    else
        saveToFile(li.tag);
}

#define KOV_LOGGER_LEVEL(fn, lvl)           \
    void logger::fn(const char* fmt, ...) { \
        va_list ap;                         \
        va_start(ap, fmt);                  \
        vlog(lvl, fmt, ap);                 \
        va_end(ap);                         \
    }
KOV_LOGGER_LEVEL(emerg, 0)
KOV_LOGGER_LEVEL(alert, 1)
KOV_LOGGER_LEVEL(crit, 2)
KOV_LOGGER_LEVEL(err, 3)
KOV_LOGGER_LEVEL(warning, 4)
KOV_LOGGER_LEVEL(notice, 5)
KOV_LOGGER_LEVEL(info, 6)
KOV_LOGGER_LEVEL(debug, 7)
#undef KOV_LOGGER_LEVEL

void logger::dump(const char* title, const unsigned char* data, size_t len) {
    if (getLevel() != 7) return;
    static const char hex[] = "0123456789abcdef";
    std::string text(title ? title : "");
    text += '\n';
    text.reserve(text.size() + len * 5 + 1);
    for (size_t i = 0; i < len; ++i) {
        text += "0x";
        text += hex[data[i] >> 4];
        text += hex[data[i] & 0x0f];
        text += ' ';
    }
    text += '\n';
    if (toStderr_) {
        std::lock_guard<std::mutex> guard(lock_);
        writeAll(STDERR_FILENO, text.data(), text.size());
        return;
    }
    if (useSyslog_) {
        syslog(LOG_DEBUG, "%s", text.c_str());
        return;
    }
    std::lock_guard<std::mutex> guard(lock_);
    int fd = openFile();
    if (fd < 0) return;
    if (write(fd, text.data(), text.size()) < 0) {
        std::string msg =
            std::string("[logger::dump()] Can't write to file: ") + strerror(errno) + "\n";
        writeAll(STDERR_FILENO, msg.data(), msg.size());
    }
    fsync(fd);
    close(fd);
}

void logger::critFromSignal(const char* text) {
    if (getLevel() < 2) return;
    if (!toStderr_ && useSyslog_) {
        // syslog(3) takes a lock; talk to the local syslog socket directly.
        SafeText msg;
        msg.add("<");
        msg.addNum(LOG_USER | LOG_CRIT, 1);
        msg.add(">");
        msg.add(name_);
        msg.add("[");
        msg.addNum(static_cast<unsigned long>(getpid()), 1);
        msg.add("]: ");
        msg.add(text);
        int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (s < 0) return;
        struct sockaddr_un addr;
        memset(&addr, 0, sizeof addr);
        addr.sun_family = AF_UNIX;
        const char path[] = "/dev/log";
        memcpy(addr.sun_path, path, sizeof path);
        sendto(s, msg.buf, msg.len, MSG_NOSIGNAL, reinterpret_cast<struct sockaddr*>(&addr),
               sizeof addr);
        close(s);
        return;
    }
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    long secOfDay = (ts.tv_sec + utcOffset_.load(std::memory_order_relaxed)) % 86400;
    if (secOfDay < 0) secOfDay += 86400;
    long usec = ts.tv_nsec / 1000;
    SafeText line;
    line.addNum(static_cast<unsigned long>(secOfDay / 3600), 2);
    line.add(":");
    line.addNum(static_cast<unsigned long>(secOfDay / 60 % 60), 2);
    line.add(":");
    line.addNum(static_cast<unsigned long>(secOfDay % 60), 2);
    line.add(".");
    line.addNum(static_cast<unsigned long>(usec / 1000), 3);
    line.add(".");
    line.addNum(static_cast<unsigned long>(usec % 1000), 3);
    line.add(" Crit: ");
    // Same 127-character cut as the normal path.
    char cut[bufferSize_];
    size_t n = 0;
    while (text[n] && n < bufferSize_ - 1) {
        cut[n] = text[n];
        ++n;
    }
    cut[n] = 0;
    line.add(cut);
    line.add("\n");
    if (toStderr_) {
        writeAll(STDERR_FILENO, line.buf, line.len);
        return;
    }
    int fd = open(name_, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    writeAll(fd, line.buf, line.len);
    fsync(fd);
    close(fd);
}

namespace klog {
#define KOV_KLOG_LEVEL(fn, lvl)                          \
    void fn(const char* fmt, ...) {                      \
        logger* l = logger::current();                   \
        if (!l || (lvl > 0 && !l->isEnabled(lvl))) return; \
        va_list ap;                                      \
        va_start(ap, fmt);                               \
        l->vlog(lvl, fmt, ap);                           \
        va_end(ap);                                      \
    }
KOV_KLOG_LEVEL(emerg, 0)
KOV_KLOG_LEVEL(alert, 1)
KOV_KLOG_LEVEL(crit, 2)
KOV_KLOG_LEVEL(err, 3)
KOV_KLOG_LEVEL(warning, 4)
KOV_KLOG_LEVEL(notice, 5)
KOV_KLOG_LEVEL(info, 6)
KOV_KLOG_LEVEL(debug, 7)
#undef KOV_KLOG_LEVEL

void dump(const char* title, const unsigned char* data, size_t len) {
    if (logger* l = logger::current()) l->dump(title, data, len);
}

bool enabled(int level) {
    logger* l = logger::current();
    return l && l->isEnabled(level);
}
}  // namespace klog

#pragma once

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <mutex>

// The process's one logging facility. Every thread logs through the instance
// created by getInstance(); code that runs before it exists logs nothing.
class logger {
public:
    static logger* getInstance(const char* name, bool syslog);
    // The current instance, or null before getInstance / after destruction.
    static logger* current() { return instance_.load(std::memory_order_acquire); }

    virtual ~logger();

    void setLevel(int level) { level_.store(level, std::memory_order_relaxed); }
    void setStderr(bool on) { toStderr_ = on; }
    void setMaxSize(int bytes) { maxSize_ = bytes; }
    int getLevel() const { return level_.load(std::memory_order_relaxed); }
    bool isEnabled(int level) const { return getLevel() >= level; }

    void emerg(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void alert(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void crit(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void err(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void warning(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void notice(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void info(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void debug(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void vlog(int level, const char* fmt, va_list ap);

    void dump(const char* title, const unsigned char* data, size_t len);

    // Writes one already formatted Crit line without taking any lock and
    // using only async-signal-safe calls; for the signal handler.
    void critFromSignal(const char* text);

private:
    logger(const char* name, bool syslog);
    int openFile();
    void saveToFile(const char* tag);
    void printToStderr(const char* tag);
    void prefix(char* out, size_t size, const char* tag);

    static std::atomic<logger*> instance_;

    char* name_;
    bool useSyslog_;
    static constexpr int bufferSize_ = 128;
    char* buffer_;
    std::atomic<int> level_;
    bool toStderr_;
    int maxSize_;
    std::mutex lock_;
    // Seconds east of UTC as last seen by a normal log call; the signal path
    // cannot call localtime.
    std::atomic<long> utcOffset_;
};

// Shorthands that check for the instance first.
namespace klog {
void emerg(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void alert(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void crit(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void err(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void warning(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void notice(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void info(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void debug(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void dump(const char* title, const unsigned char* data, size_t len);
bool enabled(int level);
}  // namespace klog

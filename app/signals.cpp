#include "app/signals.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstdlib>

#include "log/logger.h"

std::atomic<int> stopRequested{1};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");

namespace {

// Everything below runs inside the handler: no locks, no allocation, only
// async-signal-safe calls. Lines go out through the logger's signal path.
constexpr const char* kSeparator =
    "\033[1;31m---------------------------------------------------------\033[0m";

struct Text {
    char buf[256];
    size_t len = 0;
    Text& add(const char* s) {
        while (s && *s && len + 1 < sizeof buf) buf[len++] = *s++;
        buf[len] = 0;
        return *this;
    }
    Text& addDec(long v) {
        char tmp[24];
        int n = 0;
        unsigned long u = v < 0 ? 0UL - static_cast<unsigned long>(v) : static_cast<unsigned long>(v);
        do {
            tmp[n++] = static_cast<char>('0' + u % 10);
            u /= 10;
        } while (u);
        if (v < 0) tmp[n++] = '-';
        while (n > 0 && len + 1 < sizeof buf) buf[len++] = tmp[--n];
        buf[len] = 0;
        return *this;
    }
    Text& addHex(unsigned long v) {
        char tmp[24];
        int n = 0;
        do {
            tmp[n++] = "0123456789abcdef"[v & 15];
            v >>= 4;
        } while (v);
        while (n > 0 && len + 1 < sizeof buf) buf[len++] = tmp[--n];
        buf[len] = 0;
        return *this;
    }
};

void logCrit(const char* text) {
    if (logger* l = logger::current()) l->critFromSignal(text);
}

unsigned long programCounter(void* context) {
    if (!context) return 0;
    auto* uc = static_cast<ucontext_t*>(context);
#if defined(__x86_64__)
    return static_cast<unsigned long>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__i386__)
    return static_cast<unsigned long>(uc->uc_mcontext.gregs[REG_EIP]);
#elif defined(__aarch64__)
    return static_cast<unsigned long>(uc->uc_mcontext.pc);
#elif defined(__arm__)
    return static_cast<unsigned long>(uc->uc_mcontext.arm_pc);
#else
    (void)uc;
    return 0;
#endif
}

void logBacktrace() {
    void* frames[100];
    int n = backtrace(frames, 100);
    int fds[2];
    if (n <= 1 || pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
    // The first frame is the handler itself.
    backtrace_symbols_fd(frames + 1, n - 1, fds[1]);
    close(fds[1]);
    char line[200];
    size_t len = 0;
    char c;
    for (;;) {
        ssize_t r = read(fds[0], &c, 1);
        if (r <= 0 || c == '\n') {
            if (len > 0) {
                line[len] = 0;
                Text t;
                t.add("\033[1;31m").add(line).add("\033[0m");
                logCrit(t.buf);
                len = 0;
            }
            if (r <= 0) break;
            continue;
        }
        if (len + 1 < sizeof line) line[len++] = c;
    }
    close(fds[0]);
}

void onSignal(int sig, siginfo_t*, void* context) {
    logCrit(kSeparator);
    const char* description = sigdescr_np(sig);
    Text t;
    t.add("\033[1;31mSystem signal number ")
        .addDec(sig)
        .add(" (")
        .add(description ? description : "Unknown signal")
        .add(") is received from address ")
        .addHex(programCounter(context))
        .add(".\033[0m");
    logCrit(t.buf);

    if (sig == SIGSEGV) {
        logCrit("\033[1;31mApplication done due to SIGSEGV.\033[0m");
        logCrit("\033[1;31mbacktrace:\033[0m");
        logBacktrace();
        logCrit(kSeparator);
        abort();
    }
    if (sig == SIGINT && stopRequested.load() != 0) {
        logCrit("\033[1;31mApplication done due to SIGINT. Immediate exit!");
        logCrit(kSeparator);
        _exit(1);
    }
    stopRequested.store(1);
    logCrit(kSeparator);
}

}  // namespace

void ArmSignals() {
    // backtrace() loads its unwinder on first use; do that now, not in the handler.
    void* warm[1];
    backtrace(warm, 1);

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_sigaction = &onSignal;
    sa.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGQUIT, SIGTERM, SIGSEGV}) sigaction(sig, &sa, nullptr);
}

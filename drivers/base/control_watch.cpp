#include "drivers/base/control_watch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>

CControlWatch::~CControlWatch() {
    if (fd_ >= 0) close(fd_);
}

void CControlWatch::Open(const std::string& dir) {
    if (fd_ >= 0) return;
    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) return;
    // Appearing and vanishing names only; writes to files already there
    // (log files, for one) do not concern the control files.
    const uint32_t mask = IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF |
                          IN_MOVE_SELF | IN_ONLYDIR;
    if (inotify_add_watch(fd, dir.c_str(), mask) < 0) {
        close(fd);
        return;
    }
    fd_ = fd;
}

bool CControlWatch::Drain() {
    if (fd_ < 0) return false;
    bool relevant = false;
    bool lost = false;
    alignas(inotify_event) char buf[4096];
    for (;;) {
        ssize_t n = read(fd_, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (ssize_t off = 0; off < n;) {
            const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
            if (ev->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) lost = true;
            relevant = true;
            off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
        }
    }
    if (lost) {
        // The folder itself went away or moved: nothing more will arrive.
        close(fd_);
        fd_ = -1;
    }
    return relevant;
}

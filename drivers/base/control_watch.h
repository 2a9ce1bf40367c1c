#pragma once

#include <string>

// Watches the control-file folder (pause and force-update files) with
// inotify, so a sleeping driver wakes when a file appears or goes away
// instead of testing the files every few milliseconds. When inotify is not
// available fd() is -1 and callers fall back to polling.
class CControlWatch {
public:
    CControlWatch() = default;
    ~CControlWatch();
    CControlWatch(const CControlWatch&) = delete;
    CControlWatch& operator=(const CControlWatch&) = delete;

    // Starts watching dir; harmless to call again once it is open.
    void Open(const std::string& dir);
    int fd() const { return fd_; }
    // Consumes the pending events; true when any of them may concern the
    // control files (or events were lost). A removed folder ends the watch.
    bool Drain();

private:
    int fd_ = -1;
};

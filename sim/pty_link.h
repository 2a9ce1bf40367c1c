#pragma once

#include <string>

namespace kov::sim {

// One pseudo-terminal pair standing in for a serial line. The daemon opens
// SlavePath() like a real port; the simulated meter reads and writes
// MasterFd(). The link itself holds the slave open as well, so the meter side
// never sees a hang-up while the daemon closes and reopens its port.
class PtyLink {
public:
    // linkName: optional path of a symlink to create to the slave (an existing
    // symlink of that name is replaced); removed again at destruction.
    // Throws std::system_error when no pty can be had.
    explicit PtyLink(const std::string& linkName = "");
    ~PtyLink();
    PtyLink(const PtyLink&) = delete;
    PtyLink& operator=(const PtyLink&) = delete;

    // The path to configure as the port's "name": the symlink when one was
    // asked for, else the /dev/pts/N path.
    const std::string& SlavePath() const { return linkName_.empty() ? ptsName_ : linkName_; }
    const std::string& PtsName() const { return ptsName_; }
    int MasterFd() const { return master_; }

private:
    int master_ = -1;
    int slaveHold_ = -1;
    std::string ptsName_;
    std::string linkName_;
};

}  // namespace kov::sim

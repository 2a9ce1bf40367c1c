#include "sim/pty_link.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace kov::sim {

namespace {
[[noreturn]] void fail(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}
}  // namespace

PtyLink::PtyLink(const std::string& linkName) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0) fail("posix_openpt");
    char name[128];
    if (grantpt(master_) != 0 || unlockpt(master_) != 0 ||
        ptsname_r(master_, name, sizeof name) != 0) {
        int e = errno;
        close(master_);
        errno = e;
        fail("pty slave");
    }
    ptsName_ = name;
    slaveHold_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slaveHold_ < 0) {
        int e = errno;
        close(master_);
        errno = e;
        fail("open pty slave");
    }
    // Raw both ways: no echo, no line discipline, bytes pass unchanged.
    termios tio;
    tcgetattr(slaveHold_, &tio);
    cfmakeraw(&tio);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    tcsetattr(slaveHold_, TCSANOW, &tio);

    if (!linkName.empty()) {
        struct stat st;
        if (lstat(linkName.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) unlink(linkName.c_str());
        if (symlink(name, linkName.c_str()) != 0) {
            int e = errno;
            close(slaveHold_);
            close(master_);
            errno = e;
            fail("symlink to pty slave");
        }
        linkName_ = linkName;
    }
}

PtyLink::~PtyLink() {
    if (!linkName_.empty()) unlink(linkName_.c_str());
    if (slaveHold_ >= 0) close(slaveHold_);
    if (master_ >= 0) close(master_);
}

}  // namespace kov::sim

#include "service/file_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace kov {

bool MakeDirs(const std::string& path) {
    std::string p;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        p = path.substr(0, pos);
        if (p.empty()) continue;
        if (mkdir(p.c_str(), 0777) != 0 && errno != EEXIST) return false;
    }
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ReplaceFile(const std::string& path, const std::string& content, bool sync) {
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string tmp = dir + "." + base + ".XXXXXX";
    int fd = mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) return false;
    const char* p = content.data();
    size_t left = content.size();
    bool ok = true;
    while (left > 0) {
        ssize_t n = write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    // mkostemp creates 0600; the service reads these files as another user.
    fchmod(fd, 0644);
    if (ok && sync && fdatasync(fd) != 0) ok = false;
    if (close(fd) != 0) ok = false;
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

void SetFileTime(const std::string& path, long seconds) {
    struct timeval tv[2];
    tv[0].tv_sec = seconds;
    tv[0].tv_usec = 0;
    tv[1] = tv[0];
    utimes(path.c_str(), tv);
}

long ReadNumberFile(const std::string& path, long fallback) {
    FILE* f = fopen(path.c_str(), "re");
    if (!f) return fallback;
    long v = 0;
    if (fscanf(f, "%ld", &v) != 1) v = 0;
    fclose(f);
    return v;
}

bool FileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

}  // namespace kov

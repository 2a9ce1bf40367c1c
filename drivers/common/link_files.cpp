#include "drivers/common/link_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "service/path_root.h"

namespace kov {

std::string JournalDate(time_t t) {
    struct tm tmv {};
    localtime_r(&t, &tmv);
    char buf[64];
    snprintf(buf, sizeof buf, "%d-%d-%d %d:%d:%d", tmv.tm_year + 1900, tmv.tm_mon + 1, tmv.tm_mday,
             tmv.tm_hour, tmv.tm_min, tmv.tm_sec);
    return buf;
}

std::string CLinkFile::Path() const { return RootedPath(absPath_); }

void CLinkFile::Append(const std::string& data) const {
    const std::string path = Path();
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    // One write per call keeps concurrent appenders from interleaving inside a record.
    size_t off = 0;
    while (off < data.size()) {
        ssize_t n = write(fd, data.data() + off, data.size() - off);
        if (n <= 0) break;
        off += static_cast<size_t>(n);
    }
    close(fd);
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && static_cast<unsigned long long>(st.st_size) > limit_)
        unlink(path.c_str());
}

void CLinkFile::WriteTrace(const char* caption, const uint8_t* bytes, size_t count) const {
    std::string text(caption ? caption : "");
    text += '\n';
    text.reserve(text.size() + count * 5 + 2);
    char hex[8];
    for (size_t i = 0; i < count; ++i) {
        snprintf(hex, sizeof hex, "0x%02X ", bytes[i]);
        text += hex;
    }
    text += "\n\n";
    Append(text);
}

void CLinkFile::WriteJournalLine(const std::string& text) const {
    // The journal is a wall-clock diagnostic for installers, not meter time.
    Append(JournalDate(time(nullptr)) + " " + text + "\n");
}

}  // namespace kov

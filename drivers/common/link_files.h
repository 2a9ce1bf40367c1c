#pragma once

// The two diagnostic files each link-layer family keeps under /mnt/storage/
// (always formed through kov::RootedPath):
//   trace   - a caption line, then every byte as "0x%02X ", then two line feeds;
//   journal - one line per call: local "Y-M-D h:m:s" (unpadded), a blank, the
//             family's text, a line feed.
// Each file is opened for appending per call and removed (unlink) after the
// write when it has grown past its size limit. Nothing here throws or reports
// file errors.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

namespace kov {

// Default size limit of the link-layer files (5 MiB).
inline constexpr size_t kLinkFileLimit = 5242880;

class CLinkFile {
public:
    // absPath as on the gateway, e.g. "/mnt/storage/vkt7log.log".
    CLinkFile(const char* absPath, size_t limit = kLinkFileLimit)
        : absPath_(absPath), limit_(limit) {}

    void WriteTrace(const char* caption, const uint8_t* bytes, size_t count) const;
    // Writes "<date> <text>\n".
    void WriteJournalLine(const std::string& text) const;

    std::string Path() const;  // the rooted path
    size_t Limit() const { return limit_; }

private:
    void Append(const std::string& data) const;

    const char* absPath_;
    size_t limit_;
};

// Local date and time as the journals write it: "2026-3-7 4:05:09" -> "2026-3-7 4:5:9".
std::string JournalDate(time_t t);

}  // namespace kov

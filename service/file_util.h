#pragma once

#include <string>

// Small file helpers for the file tree. None of them throws or reports file
// errors beyond their boolean result.
namespace kov {

// Like "mkdir -p": creates the directory and its missing parents.
bool MakeDirs(const std::string& path);

// Replaces path with content atomically: a temporary file in the same folder
// is written (and synced when asked) and renamed over it, so a reader sees
// either the old or the new content, never a part.
bool ReplaceFile(const std::string& path, const std::string& content, bool sync);

// Sets access and modification time (seconds, zero microseconds).
void SetFileTime(const std::string& path, long seconds);

// Reads a decimal integer from the file; fallback when missing or unreadable.
long ReadNumberFile(const std::string& path, long fallback);

bool FileExists(const std::string& path);

}  // namespace kov

#pragma once

#include <string>

// Every absolute path the daemon touches is formed under one root ("/" on a
// gateway). `--root DIR` moves it, so tests and demos never touch the real
// /tmp, /mnt/storage or /proc/leds.
namespace kov {

// Sets the root; "" or "/" means the file system root. Set once at start-up,
// before any thread starts.
void SetPathRoot(const std::string& dir);

// The root without trailing slash ("" for "/").
const std::string& PathRoot();

// abs is an absolute path such as "/tmp/pause_tqm"; returns it under the root.
std::string RootedPath(const std::string& abs);

}  // namespace kov

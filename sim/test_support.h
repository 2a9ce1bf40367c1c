#pragma once

// Helpers for tests that run daemon parts against simulated meters: a
// throw-away path root with the folders the daemon expects, and a look into
// the process's log file.

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "log/logger.h"
#include "service/path_root.h"

namespace kov::sim {

class TestRoot {
public:
    TestRoot() {
        char tmpl[] = "/tmp/kovtest.XXXXXX";
        if (!mkdtemp(tmpl)) abort();
        dir_ = tmpl;
        for (const char* sub : {"/proc/leds", "/tmp", "/mnt/storage"})
            std::filesystem::create_directories(dir_ + sub);
        kov::SetPathRoot(dir_);
    }
    ~TestRoot() {
        kov::SetPathRoot("/");
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    TestRoot(const TestRoot&) = delete;
    TestRoot& operator=(const TestRoot&) = delete;

    const std::string& Dir() const { return dir_; }
    // The file an absolute daemon path lands in.
    std::string File(const std::string& abs) const { return dir_ + abs; }
    std::string Read(const std::string& abs) const {
        std::ifstream in(File(abs));
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    // Polls until the file holds `want` (LED threads write on their own time).
    bool WaitFor(const std::string& abs, const std::string& want, int timeoutMs) const {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Read(abs) != want) {
            if (std::chrono::steady_clock::now() > until) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

private:
    std::string dir_;
};

// The process's logger writes to one file per test process; Count() tells how
// many lines contain a text so far.
class LogFile {
public:
    static const std::string& Path() {
        // Never destroyed: the exit handler that removes the file runs after
        // the destructors of statics constructed before it was registered.
        static const std::string& path = *[] {
            auto* p = new std::string("/tmp/kovtest-log." + std::to_string(getpid()));
            std::filesystem::remove(*p);
            logger* l = logger::getInstance(p->c_str(), false);
            l->setLevel(7);
            std::atexit([] { std::filesystem::remove(LogFile::Path()); });
            return p;
        }();
        return path;
    }
    static size_t Count(const std::string& text) {
        std::ifstream in(Path());
        std::string line;
        size_t n = 0;
        while (std::getline(in, line))
            if (line.find(text) != std::string::npos) ++n;
        return n;
    }
};

}  // namespace kov::sim

#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

// Running the real binaries from tests: kov_main, kov-config-service, kov-sim.
namespace kovtest {

struct RunResult {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// Runs to completion (killed after timeoutMs) and collects both streams.
RunResult Run(const std::vector<std::string>& argv, int timeoutMs = 10000,
              const std::vector<std::string>& extraEnv = {});

// A child running in the background; its output goes to files.
class Child {
public:
    Child() = default;
    Child(const std::vector<std::string>& argv, const std::string& outFile,
          const std::string& errFile, const std::vector<std::string>& extraEnv = {});
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    bool running();
    void Signal(int sig);
    // Waits for the exit; returns the status (128 + signal) or -1 on timeout.
    int Wait(int timeoutMs);

private:
    pid_t pid_ = -1;
    int status_ = -1;
};

// Starts kov-config-service (servicePath) on dir/config.json, its output in
// dir/service.out and dir/service.err, and waits up to 5 s until it listens;
// null when it did not.
std::unique_ptr<Child> StartConfigService(const std::string& servicePath, const std::string& dir);

std::string ReadFile(const std::string& path);
bool WaitFor(int timeoutMs, const std::function<bool()>& condition);
// A fresh empty directory under the build tree's temporary area.
std::string MakeTempDir(const std::string& tag);
// The pid of a process whose command line contains text, or -1.
int FindProcess(const std::string& text);
// A free TCP port on 127.0.0.1.
int FreePort();

}  // namespace kovtest

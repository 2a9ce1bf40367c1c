#include "tests/e2e/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace kovtest {
namespace {

std::vector<char*> cargs(const std::vector<std::string>& v) {
    std::vector<char*> out;
    for (const std::string& s : v) out.push_back(const_cast<char*>(s.c_str()));
    out.push_back(nullptr);
    return out;
}

std::vector<std::string> environment(const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string kv = *e;
        bool replaced = false;
        for (const std::string& x : extra)
            if (kv.substr(0, kv.find('=') + 1) == x.substr(0, x.find('=') + 1)) replaced = true;
        if (!replaced) env.push_back(kv);
    }
    for (const std::string& x : extra) env.push_back(x);
    return env;
}

pid_t spawn(const std::vector<std::string>& argv, int outFd, int errFd,
            const std::vector<std::string>& extraEnv) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, outFd, 1);
    posix_spawn_file_actions_adddup2(&fa, errFd, 2);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    sigset_t deflt;
    sigfillset(&deflt);
    posix_spawnattr_setsigdefault(&attr, &deflt);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::vector<std::string> env = environment(extraEnv);
    auto a = cargs(argv);
    auto e = cargs(env);
    pid_t pid = -1;
    if (posix_spawn(&pid, a[0], &fa, &attr, a.data(), e.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    return pid;
}

int decode(int st) {
    if (WIFEXITED(st)) return WEXITSTATUS(st);
    if (WIFSIGNALED(st)) return 128 + WTERMSIG(st);
    return -1;
}

}  // namespace

RunResult Run(const std::vector<std::string>& argv, int timeoutMs,
              const std::vector<std::string>& extraEnv) {
    RunResult r;
    std::string dir = MakeTempDir("run");
    std::string outPath = dir + "/out", errPath = dir + "/err";
    {
        Child c(argv, outPath, errPath, extraEnv);
        r.status = c.Wait(timeoutMs);
        if (r.status < 0) {
            c.Signal(SIGKILL);
            c.Wait(2000);
        }
    }
    r.out = ReadFile(outPath);
    r.err = ReadFile(errPath);
    return r;
}

Child::Child(const std::vector<std::string>& argv, const std::string& outFile,
             const std::string& errFile, const std::vector<std::string>& extraEnv) {
    int o = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int e = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    pid_ = spawn(argv, o, e, extraEnv);
    close(o);
    close(e);
}

Child::~Child() {
    if (pid_ > 0 && status_ < 0) {
        kill(pid_, SIGKILL);
        Wait(5000);
    }
}

bool Child::running() {
    if (pid_ <= 0 || status_ >= 0) return false;
    int st;
    pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
        status_ = decode(st);
        return false;
    }
    return true;
}

void Child::Signal(int sig) {
    if (pid_ > 0 && status_ < 0) kill(pid_, sig);
}

int Child::Wait(int timeoutMs) {
    if (status_ >= 0) return status_;
    if (pid_ <= 0) return -1;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        if (!running()) return status_;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool WaitFor(int timeoutMs, const std::function<bool()>& condition) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

std::unique_ptr<Child> StartConfigService(const std::string& servicePath, const std::string& dir) {
    auto service = std::make_unique<Child>(
        std::vector<std::string>{servicePath, "--config", dir + "/config.json"},
        dir + "/service.out", dir + "/service.err");
    const bool listening = WaitFor(5000, [&] {
        return ReadFile(dir + "/service.out").find("listening") != std::string::npos ||
               !service->running();
    }) && service->running();
    if (!listening) service.reset();
    return service;
}

std::string MakeTempDir(const std::string& tag) {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/kovtest-" + tag + "-XXXXXX";
    if (!mkdtemp(pattern.data())) abort();
    return pattern;
}

int FindProcess(const std::string& text) {
    DIR* d = opendir("/proc");
    if (!d) return -1;
    int found = -1;
    while (dirent* e = readdir(d)) {
        int pid = atoi(e->d_name);
        if (pid <= 0 || pid == getpid()) continue;
        std::string cmd = ReadFile("/proc/" + std::string(e->d_name) + "/cmdline");
        for (char& c : cmd)
            if (c == 0) c = ' ';
        if (cmd.find(text) != std::string::npos) {
            found = pid;
            break;
        }
    }
    closedir(d);
    return found;
}

int FreePort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

}  // namespace kovtest

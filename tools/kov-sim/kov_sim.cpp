// kov-sim: serves one simulated meter on a pseudo-terminal until SIGINT or
// SIGTERM, so the daemon (or a person with a terminal program) can talk to it.

#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "sim/fault_plan.h"
#include "sim/pty_link.h"
#include "sim/sim_registry.h"
#include "transport/rs_connector.h"

namespace {

void usage(FILE* out) {
    fprintf(out,
            "Usage: kov-sim --meter NAME (--link PATH | --device TTY) [--address N] [--faults PLAN]\n"
            "               [--baud N]"
" [--archive-days N]\n"
            "\n"
            "Serves one simulated meter on a pseudo-terminal until SIGINT or SIGTERM.\n"
            "  --meter NAME    the meter to simulate (see below)\n"
            "  --link PATH     symlink to create to the pty's slave side; configure it as\n"
            "                  the port's \"name\"\n"
            "  --device TTY    serve on a real serial port instead (for example a USB adapter\n"
            "                  wired to the gateway's port), raw 8N1 at --baud (default 9600)\n"
            "  --address N     the meter's network/slave address (default 1)\n"
            "  --faults PLAN   faults to inject into the replies (default none)\n"
            "  --baud N        on a pty: pace replies at N baud, 10 bits per byte (default: none)\n"
            "  --archive-days N  the meter holds only the last N days of archives\n"
            "                  (default: the meter's own depth; a short one makes a quick check)\n"
            "  --help          this text\n"
            "\n%s\nMeters:\n",
            kov::sim::FaultPlanHelp());
    for (const auto& [name, entry] : kov::sim::SimMeterRegistry::All())
        fprintf(out, "  %-16s %s\n", name.c_str(), entry.description.c_str());
}

bool number(const char* s, long lo, long hi, long& out) {
    char* end = nullptr;
    errno = 0;
    long v = strtol(s, &end, 10);
    if (!*s || *end || errno || v < lo || v > hi) return false;
    out = v;
    return true;
}

// A real serial port, raw, 8 data bits, no parity, one stop bit.
int openDevice(const std::string& path, long baud) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    termios tio{};
    cfmakeraw(&tio);
    const auto& speeds = CRSConnector::SpeedTable();
    auto it = speeds.find(static_cast<int>(baud));
    speed_t speed = it == speeds.end() ? B9600 : it->second;
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &tio);
    tcflush(fd, TCIOFLUSH);
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    std::string meter, linkPath, devicePath, faults;
    long address = 1, baud = 0, archiveDays = 0;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        }
        if (i + 1 >= argc) {
            fprintf(stderr, "kov-sim: %s needs a value\n", a.c_str());
            return 2;
        }
        const char* v = argv[++i];
        if (a == "--meter") {
            meter = v;
        } else if (a == "--link") {
            linkPath = v;
        } else if (a == "--device") {
            devicePath = v;
        } else if (a == "--faults") {
            faults = v;
        } else if (a == "--address") {
            if (!number(v, 0, 255, address)) {
                fprintf(stderr, "kov-sim: bad address '%s'\n", v);
                return 2;
            }
        } else if (a == "--archive-days") {
            if (!number(v, 1, 3650, archiveDays)) {
                fprintf(stderr, "kov-sim: bad archive depth '%s'\n", v);
                return 2;
            }
        } else if (a == "--baud") {
            if (!number(v, 0, 4000000, baud)) {
                fprintf(stderr, "kov-sim: bad baud rate '%s'\n", v);
                return 2;
            }
        } else {
            fprintf(stderr, "kov-sim: unknown option %s\n", a.c_str());
            usage(stderr);
            return 2;
        }
    }
    if (meter.empty() || linkPath.empty() == devicePath.empty()) {
        usage(stderr);
        return 2;
    }
    if (!kov::sim::SimMeterRegistry::All().count(meter)) {
        fprintf(stderr, "kov-sim: unknown meter '%s'\n", meter.c_str());
        usage(stderr);
        return 2;
    }
    kov::sim::FaultPlan plan;
    std::string err;
    if (!kov::sim::FaultPlan::Parse(faults, plan, err)) {
        fprintf(stderr, "kov-sim: bad --faults: %s\n", err.c_str());
        return 2;
    }

    // Signals are taken by sigwait below; block them before any thread starts.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    try {
        std::unique_ptr<kov::sim::PtyLink> link;
        int deviceFd = -1;
        std::string where;
        if (!devicePath.empty()) {
            deviceFd = openDevice(devicePath, baud ? baud : 9600);
            if (deviceFd < 0) {
                fprintf(stderr, "kov-sim: cannot open %s: %s\n", devicePath.c_str(),
                        strerror(errno));
                return 1;
            }
            where = devicePath;
        } else {
            link = std::make_unique<kov::sim::PtyLink>(linkPath);
            where = link->SlavePath() + " (" + link->PtsName() + ")";
        }
        kov::sim::SimMeterOptions opt;
        opt.fd = link ? link->MasterFd() : deviceFd;
        opt.address = static_cast<int>(address);
        opt.archiveDays = static_cast<int>(archiveDays);
        std::unique_ptr<kov::sim::CSimMeter> sim = kov::sim::SimMeterRegistry::Create(meter, opt);
        sim->SetFaults(plan);
        // A real line paces itself.
        sim->SetBaud(deviceFd >= 0 ? 0 : static_cast<int>(baud));
        sim->Start();
        printf("kov-sim: %s at address %ld on %s\n", meter.c_str(), address, where.c_str());
        fflush(stdout);
        int sig = 0;
        sigwait(&stopSignals, &sig);
        sim->Stop();
        printf("kov-sim: stopped by signal %d after %llu requests\n", sig,
               static_cast<unsigned long long>(sim->RequestCount()));
        if (deviceFd >= 0) close(deviceFd);
    } catch (const std::exception& e) {
        fprintf(stderr, "kov-sim: %s\n", e.what());
        return 1;
    }
    return 0;
}

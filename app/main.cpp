// kov_main: reads the configured heat meters and hands their data to the
// local data service through the file tree.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <ctime>
#include <iostream>
#include <list>

#include "app/options.h"
#include "app/signals.h"
#include "log/logger.h"
#include "service/jsonrpc_connector.h"
#include "service/path_root.h"
#include "drivers/base/driver_factory.h"
#include "drivers/base/kov_base_driver.h"
#include "transport/connector.h"
#include "transport/connector_factory.h"

namespace {

void Daemonize() {
    if (getpid() != 1) {
        signal(SIGTTOU, SIG_IGN);
        signal(SIGTTIN, SIG_IGN);
        signal(SIGTSTP, SIG_IGN);
    }
    pid_t pid = fork();
    if (pid < 0) {
        std::cerr << "\nCan't fork for daemon mode.\n" << std::endl;
        exit(255);
    }
    if (pid > 0) exit(0);
    umask(0);
    if (setsid() < 0) exit(255);
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0) {
        rlim_t limit = rl.rlim_cur == RLIM_INFINITY ? 1024 : rl.rlim_cur;
        if (close_range(0, static_cast<unsigned>(limit - 1), 0) != 0)
            for (rlim_t fd = 0; fd < limit; ++fd) close(static_cast<int>(fd));
    }
    int fd = open("/dev/null", O_RDWR);
    (void)fd;
    (void)dup(0);
    (void)dup(0);
}

// With no driver to wait on, a supervision pass would spin; this keeps the
// pause-file step at a calm pace and still reacts to a stop at once.
void IdlePause() {
    timespec ts{0, 100 * 1000 * 1000};
    nanosleep(&ts, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    int status = ParseOptions(argc, argv, settings, std::cout, std::cerr);
    if (status >= 0) return status;

    if (settings.ids.empty()) {
        std::cerr << "\nmain: Do not set any ID of HeatMeter!\n" << std::endl;
        return 1;
    }
    kov::SetPathRoot(settings.root);

    if (settings.daemonMode) Daemonize();

    logger* log = settings.logFile.empty() ? logger::getInstance("kov_main", true)
                                           : logger::getInstance(settings.logFile.c_str(), false);
    log->setLevel(settings.logLevel);
    log->setStderr(settings.logToStderr);
    log->setMaxSize(settings.logMaxSize);

    ArmSignals();

    std::list<CKovBaseDriver*> drivers;
    std::list<CJSONRPCConnector*> clients;
    // The process has one connector: the first port with a "name" defines it
    // and every driver of every installation shares it. It lives until exit
    // (held by a static, so a leak checker sees it is still in use).
    static CConnector* connector = nullptr;
    for (const std::string& id : settings.ids) {
        auto* client = new CJSONRPCConnector(id, 0);
        std::list<PortConfig> config = client->GetInitParameters1();
        for (const PortConfig& port : config) {
            if (port.port.find("name") == port.port.end()) continue;
            if (!connector) connector = CreateConnector(port.port);
            for (const ParamMap& meter : port.drivers)
                drivers.push_back(CreateDriver(meter, connector, client));
        }
        clients.push_back(client);
    }

    // Drivers are served one at a time; each pass ends when the driver has
    // done its polling pass, or at once when a stop is requested.
    auto stopping = [] { return stopRequested.load() == 1; };
    stopRequested.store(0);
    while (!stopping()) {
        bool allCurrent = true;
        bool listed = false;
        for (CKovBaseDriver* driver : drivers) {
            driver->RequestCheck();
            if (!driver->WaitCheckDone(stopping)) break;
            bool state = driver->PortAliasListed() ? false : driver->ArchivesCurrent();
            allCurrent = allCurrent && state;
            listed = driver->PortAliasListed();
        }
        if (stopRequested.load() == 1) break;
        if (!listed) {
            if (allCurrent)
                ClearAuxPause();
            else
                SetAuxPause();
        }
        if (drivers.empty()) IdlePause();
    }

    // Drivers first: their threads use the clients until they are joined.
    for (CKovBaseDriver* driver : drivers) {
        driver->Stop();
        delete driver;
    }
    for (CJSONRPCConnector* client : clients) delete client;
    return 0;
}

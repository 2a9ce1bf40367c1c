// kov-demo: shows the daemon doing its real job on a workstation. It starts the
// data-service stand-in, one simulated meter per demo installation on its own
// pseudo-terminal, and one kov_main per installation under a fresh root
// folder; after the run it prints what reached the file tree.
#include <dirent.h>
#include <json/json.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/process.h"

namespace {

volatile sig_atomic_t gInterrupted = 0;
void onInterrupt(int) { gInterrupted = 1; }

struct Installation {
    std::string id;
    std::string meter;  // simulator name
    int address = 1;
    int archiveDays = 0;
    std::string manufacturer;
    std::string port;
    std::unique_ptr<kovtest::Child> sim;
    std::unique_ptr<kovtest::Child> daemon;
    std::string log;
};

std::string readFile(const std::string& p) { return kovtest::ReadFile(p); }

std::vector<std::string> listDir(const std::string& path) {
    std::vector<std::string> out;
    if (DIR* d = opendir(path.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') out.push_back(e->d_name);
        closedir(d);
    }
    std::sort(out.begin(), out.end(), [](const std::string& a, const std::string& b) {
        // numeric folders in number order, names alphabetically
        if (!a.empty() && !b.empty() && isdigit(a[0]) && isdigit(b[0]))
            return std::stol(a) < std::stol(b);
        return a < b;
    });
    return out;
}

std::string timeText(long t) {
    if (t <= 0) return "-";
    time_t tt = t;
    struct tm tmv;
    localtime_r(&tt, &tmv);
    char buf[32];
    strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tmv);
    return buf;
}

bool portBusy(int port) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    bool busy = bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0;
    close(s);
    return busy;
}

std::string replaceAll(std::string s, const std::string& from, const std::string& to) {
    for (size_t p = s.find(from); p != std::string::npos; p = s.find(from, p + to.size()))
        s.replace(p, from.size(), to);
    return s;
}

// An archive line is "time,quality,value".
std::string recordText(const std::string& line) {
    size_t c1 = line.find(',');
    size_t c2 = c1 == std::string::npos ? c1 : line.find(',', c1 + 1);
    if (c2 == std::string::npos) return line;
    return timeText(std::atol(line.c_str())) + "  " + line.substr(c2 + 1) +
           (line.compare(c1 + 1, c2 - c1 - 1, "192") == 0 ? "" : "  (quality " +
                                                               line.substr(c1 + 1, c2 - c1 - 1) + ")");
}

struct Outcome {
    int currentValues = 0;
    long archiveRecords = 0;
};

Outcome summarize(const std::string& root, const Installation& in) {
    Outcome o;
    std::cout << "\n=== Installation " << in.id << " (" << in.manufacturer << ", simulated "
              << in.meter << ")\n";
    std::string items = root + "/tmp/" + in.id;
    for (const std::string& sys : listDir(items)) {
        if (sys == "default" || !isdigit(sys[0])) continue;
        std::string dir = items + "/" + sys + "/zr_items";
        std::cout << "  System " << sys << " - current values:\n";
        for (const std::string& name : listDir(dir)) {
            std::string value = readFile(dir + "/" + name);
            if (!value.empty() && value.back() == '\n') value.pop_back();
            struct stat st;
            stat((dir + "/" + name).c_str(), &st);
            if (name == "Connected") {
                std::cout << "    Connected: " << (value == "1" ? "yes" : "no") << "\n";
                continue;
            }
            ++o.currentValues;
            // Multi-line values (scheme pairs) on one line; pad by characters, not bytes.
            value = replaceAll(value, "\n", " | ");
            size_t chars = 0;
            for (unsigned char c : value) chars += (c & 0xC0) != 0x80;
            std::cout << "    " << name << std::string(name.size() < 18 ? 19 - name.size() : 1, ' ')
                      << value << std::string(chars < 22 ? 23 - chars : 1, ' ') << "at "
                      << timeText(st.st_mtime) << "\n";
        }
    }
    std::string storage = root + "/mnt/storage/" + in.id;
    for (const std::string& sys : listDir(storage)) {
        if (sys == "default" || !isdigit(sys[0])) continue;
        for (const char* kind : {"zr_archives", "zr_tmp_archives"}) {
            std::string dir = storage + "/" + sys + "/" + kind;
            auto files = listDir(dir);
            if (files.empty()) continue;
            std::cout << "  System " << sys << " - " << kind << ":\n";
            for (const std::string& name : files) {
                std::istringstream lines(readFile(dir + "/" + name));
                std::string first, last, l;
                long count = 0;
                while (std::getline(lines, l)) {
                    if (count++ == 0) first = l;
                    last = l;
                }
                o.archiveRecords += count;
                char head[64];
                snprintf(head, sizeof head, "    %-6s %5ld lines", name.c_str(), count);
                std::cout << head << "  first " << recordText(first) << "  last "
                          << recordText(last) << "\n";
            }
        }
    }
    std::cout << "  Hourly archive stored up to: "
              << timeText(std::atol(readFile(storage + "/timestamp_max_hourly").c_str())) << "\n"
              << "  Daily archive stored up to:  "
              << timeText(std::atol(readFile(storage + "/timestamp_max_daily").c_str())) << "\n";
    return o;
}

void usage() {
    std::cout << "Usage: kov-demo [--duration SECONDS] [--config FILE]\n"
                 "  Runs kov_main for SECONDS (default 60) against simulated meters and the\n"
                 "  data-service stand-in, then prints what reached the file tree.\n"
                 "  Ctrl-C ends the run early; the demo folder is kept for a closer look.\n";
}

}  // namespace

int main(int argc, char** argv) {
    int duration = 60;
    std::string config = KOV_SOURCE_DIR "/demo/config.json";
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--duration" && i + 1 < argc) {
            duration = std::atoi(argv[++i]);
        } else if (a == "--config" && i + 1 < argc) {
            config = argv[++i];
        } else {
            usage();
            return a == "--help" || a == "-h" ? 0 : 1;
        }
    }
    if (duration < 1) duration = 1;

    if (portBusy(8082)) {
        std::cerr << "demo: TCP port 8082 on 127.0.0.1 is busy. The daemon asks its data service "
                     "there, so the demo needs it free:\nstop the program that listens on it (a "
                     "data service or another demo) and run the demo again.\n";
        return 1;
    }

    Json::Value demo;
    {
        std::ifstream in(config);
        Json::CharReaderBuilder rb;
        std::string errs;
        if (!in || !Json::parseFromStream(rb, in, &demo, &errs)) {
            std::cerr << "demo: cannot read " << config << ": " << errs << "\n";
            return 1;
        }
    }

    char tmpl[] = "/tmp/kov-demo-XXXXXX";
    std::string root = mkdtemp(tmpl);
    mkdir((root + "/dev").c_str(), 0755);
    mkdir((root + "/logs").c_str(), 0755);

    // The service answers from a copy whose port names point into this run's folder.
    std::vector<Installation> installs;
    Json::Value serviceConfig(Json::objectValue);
    for (const Json::Value& item : demo["installations"]) {
        Installation in;
        in.id = item["id"].asString();
        in.meter = item["meter"].asString();
        in.address = item.get("address", 1).asInt();
        in.archiveDays = item.get("archive_days", 0).asInt();
        Json::Value result = item["result"];
        in.port = replaceAll(result["port_params"]["name"].asString(), "@ROOT@", root);
        result["port_params"]["name"] = in.port;
        in.manufacturer = result["manufacturer"].asString();
        serviceConfig[in.id] = result;
        installs.push_back(std::move(in));
    }
    std::ofstream(root + "/service.json") << serviceConfig.toStyledString();

    signal(SIGINT, onInterrupt);
    signal(SIGTERM, onInterrupt);

    std::cout << "demo: folder " << root << "\n";
    kovtest::Child service({KOV_CONFIG_SERVICE_PATH, "--config", root + "/service.json"},
                           root + "/logs/service.out", root + "/logs/service.err");
    if (!kovtest::WaitFor(5000, [&] {
            return readFile(root + "/logs/service.out").find("listening") != std::string::npos;
        })) {
        std::cerr << "demo: the data-service stand-in did not start:\n"
                  << readFile(root + "/logs/service.err");
        return 1;
    }

    for (Installation& in : installs) {
        std::vector<std::string> argv = {KOV_SIM_PATH, "--meter",   in.meter,
                                         "--link",     in.port,     "--address",
                                         std::to_string(in.address)};
        if (in.archiveDays > 0) {
            argv.push_back("--archive-days");
            argv.push_back(std::to_string(in.archiveDays));
        }
        in.sim = std::make_unique<kovtest::Child>(argv,
            root + "/logs/sim-" + in.id + ".out", root + "/logs/sim-" + in.id + ".err");
    }
    for (Installation& in : installs) {
        if (!kovtest::WaitFor(5000, [&] { return access(in.port.c_str(), F_OK) == 0; }))
            std::cerr << "demo: simulated " << in.meter << " did not come up: "
                      << readFile(root + "/logs/sim-" + in.id + ".err");
        in.log = root + "/logs/kov_main-" + in.id + ".log";
        in.daemon = std::make_unique<kovtest::Child>(
            std::vector<std::string>{KOV_MAIN_PATH, "--root", root, "-e", "-v", "6", "-i",
                                     in.id},
            root + "/logs/kov_main-" + in.id + ".out", in.log);
        std::cout << "demo: kov_main -i " << in.id << " reads a simulated " << in.meter << " on "
                  << in.port << "\n";
    }

    std::cout << "demo: running for " << duration << " s (Ctrl-C stops earlier) ..." << std::endl;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(duration);
    while (!gInterrupted && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));

    for (Installation& in : installs) in.daemon->Signal(SIGTERM);
    for (Installation& in : installs) {
        int st = in.daemon->Wait(5000);
        if (st != 0) std::cout << "demo: kov_main -i " << in.id << " ended with status " << st << "\n";
    }
    for (Installation& in : installs) {
        in.sim->Signal(SIGTERM);
        in.sim->Wait(3000);
    }
    service.Signal(SIGTERM);
    service.Wait(3000);

    std::vector<std::string> failed;
    for (const Installation& in : installs) {
        Outcome o = summarize(root, in);
        if (o.currentValues == 0 || o.archiveRecords == 0) {
            std::ostringstream why;
            why << "installation " << in.id << " (" << in.manufacturer << ") delivered "
                << (o.currentValues == 0 ? "no current values" : "no archive records")
                << "; its log: " << in.log;
            failed.push_back(why.str());
        }
    }
    std::cout << "\n";
    if (!failed.empty()) {
        for (const std::string& f : failed) std::cout << "demo: FAILED: " << f << "\n";
        std::cout << "demo: files kept in " << root << "\n";
        return 1;
    }
    std::cout << "demo: every installation delivered current values and archive records.\n"
              << "demo: files kept in " << root << "\n";
    return 0;
}

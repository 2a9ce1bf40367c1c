#include "app/options.h"

#include <getopt.h>
#include <sys/stat.h>

#include <ostream>
#include <sstream>

const char* const kVersionString = "version 1.3.35 (2017.06.05)";

namespace {

constexpr int kRootOption = 1000;

const option kLongOptions[] = {
    {"release", no_argument, nullptr, 'r'},  {"help", no_argument, nullptr, 'h'},
    {"verbose", required_argument, nullptr, 'v'}, {"daemon", no_argument, nullptr, 'd'},
    {"stderr", no_argument, nullptr, 'e'},   {"logname", required_argument, nullptr, 'l'},
    {"id", required_argument, nullptr, 'i'}, {"logsize", required_argument, nullptr, 's'},
    {"root", required_argument, nullptr, kRootOption}, {nullptr, 0, nullptr, 0},
};

// Decimal integer by stream extraction, accepted only when nothing follows.
bool parseInt(const char* text, int& value) {
    std::istringstream in(text ? text : "");
    in >> value;
    return !in.fail() && in.eof();
}

int refuse(std::ostream& out, std::ostream& err, const char* invocationName, const char* message) {
    err << message << std::endl;
    printUsage(out, invocationName);
    return 1;
}

// An identifier becomes a path component of the file tree.
bool validId(const std::string& id) {
    return !id.empty() && id != "." && id != ".." && id.find('/') == std::string::npos;
}

}  // namespace

void printUsage(std::ostream& out, const char* invocationName) {
    out << "Usage: " << (invocationName ? invocationName : "") << " [options]\n"
        << "    -r  --release               Version of the program.\n"
        << "    -h  --help                  Display this usage.\n"
        << "    -d  --daemon                Daemon mode.\n"
        << "    -v  --verbose <level>       Verbose logs level.\n"
        << "        logs levels:\n"
        << "             0 (TL_EMERG)   system is unusable;\n"
        << "             1 (TL_ALERT)   action must be taken immediately;\n"
        << "             2 (TL_CRIT)    critical conditions;\n"
        << "             3 (TL_ERR)     error conditions;\n"
        << "             4 (TL_WARNING) warning conditions;\n"
        << "             5 (TL_NOTICE)  normal, but significant, condition;\n"
        << "             6 (TL_INFO)    informational message (default);\n"
        << "             7 (TL_DEBUG)   debug-level message.\n"
        << "    -e  --stderr                Redirect the log messages to stderr.\n"
        << "    -i  --id                    ID of HeatMeter.\n"
        << "    -l  --logname               Full name (with the path) to the log file. Does not "
           "make sense if there \"-e\".\n"
        << "    -s  --logsize               Max size of log file (in bytes). After reach log file "
           "erase. 0 - unlimit\n";
    out.flush();
}

int ParseOptions(int argc, char** argv, Settings& s, std::ostream& out, std::ostream& err) {
    const char* name = argc > 0 ? argv[0] : "";
    // 0, not 1: glibc then also forgets where it stopped inside an option
    // cluster ("-rd") of an earlier parse, whose argv may be gone by now.
    optind = 0;
    opterr = 1;
    int c;
    while ((c = getopt_long(argc, argv, "rhv:del:i:s:", kLongOptions, nullptr)) != -1) {
        switch (c) {
            case 'r':
                out << kVersionString << std::endl;
                return 0;
            case 'h':
                printUsage(out, name);
                return 0;
            case 'v': {
                int level = 0;
                if (!parseInt(optarg, level) || level < 0 || level > 7)
                    return refuse(out, err, name, "\nmain: Unacceptable logs level!\n");
                s.logLevel = level;
                break;
            }
            case 'd':
                s.daemonMode = true;
                break;
            case 'e':
                s.logToStderr = true;
                break;
            case 'l':
                if (!optarg || !*optarg)
                    return refuse(out, err, name, "\nmain: Error logs file name!\n");
                s.logFile = optarg;
                break;
            case 'i':
                if (!validId(optarg ? optarg : ""))
                    return refuse(out, err, name, "\nmain: Wrong ID of HeatMeter!\n");
                s.ids.push_back(optarg);
                break;
            case 's': {
                int size = 0;
                if (!parseInt(optarg, size))
                    return refuse(out, err, name, "\nmain: Unacceptable max logfile size!\n");
                s.logMaxSize = size;
                break;
            }
            case kRootOption: {
                struct stat st;
                if (!optarg || stat(optarg, &st) != 0 || !S_ISDIR(st.st_mode))
                    return refuse(out, err, name, "\nmain: Root directory does not exist!\n");
                s.root = optarg;
                break;
            }
            default:
                // Unknown options and missing arguments are passed over.
                break;
        }
    }
    return -1;
}

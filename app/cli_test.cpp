// The command line as a user meets it: the real binary, its streams and exit status.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/e2e/process.h"

namespace {

const std::string kBin = KOV_MAIN_PATH;

const char* const kUsageTail =
    " [options]\n"
    "    -r  --release               Version of the program.\n"
    "    -h  --help                  Display this usage.\n"
    "    -d  --daemon                Daemon mode.\n"
    "    -v  --verbose <level>       Verbose logs level.\n"
    "        logs levels:\n"
    "             0 (TL_EMERG)   system is unusable;\n"
    "             1 (TL_ALERT)   action must be taken immediately;\n"
    "             2 (TL_CRIT)    critical conditions;\n"
    "             3 (TL_ERR)     error conditions;\n"
    "             4 (TL_WARNING) warning conditions;\n"
    "             5 (TL_NOTICE)  normal, but significant, condition;\n"
    "             6 (TL_INFO)    informational message (default);\n"
    "             7 (TL_DEBUG)   debug-level message.\n"
    "    -e  --stderr                Redirect the log messages to stderr.\n"
    "    -i  --id                    ID of HeatMeter.\n"
    "    -l  --logname               Full name (with the path) to the log file. Does not make "
    "sense if there \"-e\".\n"
    "    -s  --logsize               Max size of log file (in bytes). After reach log file erase. "
    "0 - unlimit\n";

std::string usage() { return "Usage: " + kBin + kUsageTail; }

kovtest::RunResult run(std::vector<std::string> args) {
    args.insert(args.begin(), kBin);
    return kovtest::Run(args, 5000);
}

TEST(CommandLine, VersionAndHelpEndAtOnce) {
    for (auto args : std::vector<std::vector<std::string>>{
             {"-r"}, {"--release"}, {"-i", "5", "-r"}, {"-r", "-i", "5"}, {"-r", "-v", "9"}}) {
        auto r = run(args);
        EXPECT_EQ(0, r.status);
        EXPECT_EQ("version 1.3.35 (2017.06.05)\n", r.out);
        EXPECT_EQ("", r.err);
    }
    for (auto args : std::vector<std::vector<std::string>>{{"-h"}, {"--help"}, {"-i", "1", "-h"}}) {
        auto r = run(args);
        EXPECT_EQ(0, r.status);
        EXPECT_EQ(usage(), r.out);
    }
}

TEST(CommandLine, RefusedArgumentsPrintMessageAndUsage) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    std::string root = kovtest::MakeTempDir("cli");
    const std::vector<Case> cases = {
        {{"-v", "8", "-i", "1"}, "\nmain: Unacceptable logs level!\n\n"},
        {{"-v", "-1", "-i", "1"}, "\nmain: Unacceptable logs level!\n\n"},
        {{"-v", "5x", "-i", "1"}, "\nmain: Unacceptable logs level!\n\n"},
        {{"--verbose=", "-i", "1"}, "\nmain: Unacceptable logs level!\n\n"},
        {{"-s", "12ab", "-i", "1"}, "\nmain: Unacceptable max logfile size!\n\n"},
        {{"-l", "", "-i", "1"}, "\nmain: Error logs file name!\n\n"},
        {{"-i", ""}, "\nmain: Wrong ID of HeatMeter!\n\n"},
        {{"-i", "."}, "\nmain: Wrong ID of HeatMeter!\n\n"},
        {{"-i", ".."}, "\nmain: Wrong ID of HeatMeter!\n\n"},
        {{"-i", "a/b"}, "\nmain: Wrong ID of HeatMeter!\n\n"},
        {{"--root", root + "/missing", "-i", "1"}, "\nmain: Root directory does not exist!\n\n"},
        {{"--root", kBin, "-i", "1"}, "\nmain: Root directory does not exist!\n\n"},
        // An error stops parsing before a later -r is reached.
        {{"-v", "8", "-r"}, "\nmain: Unacceptable logs level!\n\n"},
    };
    for (const Case& c : cases) {
        auto r = run(c.args);
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        EXPECT_EQ(1, r.status);
        EXPECT_EQ(c.message, r.err);
        EXPECT_EQ(usage(), r.out);
    }
}

TEST(CommandLine, MissingIdentifier) {
    for (auto args : std::vector<std::vector<std::string>>{{}, {"-e", "-v", "3"}, {"-x"}}) {
        auto r = run(args);
        EXPECT_EQ(1, r.status);
        const std::string msg = "\nmain: Do not set any ID of HeatMeter!\n\n";
        // getopt itself names an unknown option first; parsing goes on.
        ASSERT_GE(r.err.size(), msg.size());
        EXPECT_EQ(msg, r.err.substr(r.err.size() - msg.size()));
        EXPECT_EQ("", r.out) << "no usage text for a missing identifier";
    }
}

TEST(CommandLine, AcceptedValuesReachStartUp) {
    // Accepted options lead on to start-up; -v 0 keeps the log silent, and the
    // unreachable service is retried until the SIGINT of the timeout below.
    std::string root = kovtest::MakeTempDir("cli");
    for (auto args : std::vector<std::vector<std::string>>{
             {"-v", "0"}, {"-v", "7"}, {"-s", "-5"}, {"-s", "0"}, {"-q"}, {"-l", root + "/log"}}) {
        std::vector<std::string> full = {"-e", "--root", root, "-i", "cli"};
        full.insert(full.end(), args.begin(), args.end());
        // timeout(1) is not needed: Run kills after the limit; status -1 means still running.
        full.insert(full.begin(), kBin);
        kovtest::Child c(full, root + "/out", root + "/err");
        ASSERT_TRUE(kovtest::WaitFor(3000, [&] {
            return kovtest::ReadFile(root + "/out").find("get_config") != std::string::npos;
        })) << args[0];
        EXPECT_TRUE(c.running()) << args[0];
        c.Signal(SIGINT);
        EXPECT_EQ(1, c.Wait(2000)) << "SIGINT during start-up ends at once with status 1";
    }
}

}  // namespace

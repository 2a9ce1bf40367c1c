#pragma once

#include <iosfwd>
#include <list>
#include <string>

// Process-wide settings, filled from the command line before anything runs.
struct Settings {
    bool daemonMode = false;
    bool logToStderr = false;
    int logLevel = 7;
    std::string logFile;
    int logMaxSize = 0;
    std::list<std::string> ids;
    std::string root = "/";
};

extern const char* const kVersionString;

void printUsage(std::ostream& out, const char* invocationName);

// Parses argv into settings. Returns -1 when the daemon is to run, otherwise
// the exit status the process must end with (after -r, -h or an error, whose
// texts it has already written to out/err).
int ParseOptions(int argc, char** argv, Settings& settings, std::ostream& out, std::ostream& err);

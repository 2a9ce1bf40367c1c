// The command line parser on arbitrary arguments: the input, split at NUL
// bytes, is argv[1..].
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "app/options.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> args{"kov_main"};
    std::string cur;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            args.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(static_cast<char>(data[i]));
        }
    }
    if (!cur.empty()) args.push_back(cur);
    // Each argument in its own allocation, so a read past one is caught.
    std::vector<std::vector<char>> storage;
    for (const auto& a : args) storage.emplace_back(a.c_str(), a.c_str() + a.size() + 1);
    std::vector<char*> argv;
    for (auto& s : storage) argv.push_back(s.data());
    argv.push_back(nullptr);

    Settings settings;
    std::ostringstream out, err;
    int r = ParseOptions(static_cast<int>(args.size()), argv.data(), settings, out, err);
    // What the parser promises: an exit status or -1, and only valid identifiers.
    if (r != -1 && r != 0 && r != 1) __builtin_trap();
    if (r == -1) {
        for (const auto& id : settings.ids)
            if (id.empty() || id == "." || id == ".." || id.find('/') != std::string::npos)
                __builtin_trap();
        if (settings.logLevel < 0 || settings.logLevel > 7) __builtin_trap();
    }
    return 0;
}

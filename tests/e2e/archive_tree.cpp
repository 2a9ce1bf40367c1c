#include "tests/e2e/archive_tree.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdlib>
#include <regex>

#include "tests/e2e/process.h"

namespace kovtest {
namespace {

std::vector<std::string> List(const std::string& dir) {
    std::vector<std::string> out;
    DIR* d = opendir(dir.c_str());
    if (!d) return out;
    while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") out.push_back(n);
    }
    closedir(d);
    return out;
}

bool IsDir(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

long NumberFile(const std::string& p) {
    std::string s = ReadFile(p);
    return s.empty() ? 0 : atol(s.c_str());
}

ArchiveFile ParseArchive(const std::string& text, bool multiValued) {
    static const std::regex line("^(-?[0-9]+),([0-9]+),([^,\r\n]*)$");
    ArchiveFile f;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) {
            f.problems.push_back("torn last line \"" + text.substr(pos) + "\"");
            break;
        }
        std::string l = text.substr(pos, nl - pos);
        pos = nl + 1;
        std::smatch m;
        if (!std::regex_match(l, m, line)) {
            f.problems.push_back("malformed line \"" + l + "\"");
            continue;
        }
        f.lines.push_back(l);
        long t = atol(m[1].str().c_str());
        auto it = f.byTime.find(t);
        if (it == f.byTime.end()) {
            f.byTime.emplace(t, l);
        } else if (multiValued) {
            continue;
        } else if (it->second == l) {
            ++f.duplicates;
        } else {
            f.problems.push_back("two records for " + std::to_string(t) + ": \"" + it->second +
                                 "\" and \"" + l + "\"");
        }
    }
    // The kind shows in the spacing of the records.
    long prev = 0, smallest = 0;
    for (auto& [t, l] : f.byTime) {
        if (prev != 0 && (smallest == 0 || t - prev < smallest)) smallest = t - prev;
        prev = t;
    }
    if (smallest == 3600 || smallest == 86400) f.step = smallest;
    return f;
}

bool Has(const ArchiveFile& f, long t) { return f.byTime.count(t) != 0; }

}  // namespace

long ArchiveBytes(const std::string& root, const std::string& id) {
    const std::string storage = root + "/mnt/storage/" + id + "/";
    long total = 0;
    for (const std::string& sys : List(storage)) {
        if (sys == "default") continue;
        for (const char* sub : {"/zr_archives/", "/zr_tmp_archives/"}) {
            const std::string dir = storage + sys + sub;
            for (const std::string& name : List(dir)) {
                struct stat st;
                if (stat((dir + name).c_str(), &st) == 0) total += st.st_size;
            }
        }
    }
    return total;
}

void ReadBookkeeping(const std::string& root, const std::string& id, long& hourly, long& daily) {
    const std::string storage = root + "/mnt/storage/" + id + "/";
    hourly = NumberFile(storage + "timestamp_max_hourly");
    daily = NumberFile(storage + "timestamp_max_daily");
}

TreeSnapshot ScanTree(const std::string& root, const std::string& id,
                      const std::string& multiValued) {
    TreeSnapshot tree;
    const std::string storage = root + "/mnt/storage/" + id + "/";
    ReadBookkeeping(root, id, tree.maxHourly, tree.maxDaily);
    for (const std::string& sys : List(storage)) {
        if (sys == "default" || !IsDir(storage + sys)) continue;
        for (const char* sub : {"/zr_archives/", "/zr_tmp_archives/"}) {
            const std::string dir = storage + sys + sub;
            for (const std::string& name : List(dir))
                tree.archives[sys + sub + name] =
                    ParseArchive(ReadFile(dir + name), !multiValued.empty() && name == multiValued);
        }
    }
    const std::string items = root + "/tmp/" + id + "/";
    for (const std::string& sys : List(items)) {
        if (sys == "default" || !IsDir(items + sys)) continue;
        const std::string dir = items + sys + "/zr_items/";
        for (const std::string& name : List(dir)) {
            struct stat st;
            if (stat((dir + name).c_str(), &st) == 0 && st.st_size == 0)
                tree.emptyItems.push_back(sys + "/zr_items/" + name);
        }
    }
    return tree;
}

std::vector<std::string> CheckTree(const TreeSnapshot& tree, const TreeSnapshot& shape,
                                   bool allowDuplicates, const std::set<long>& givenUp) {
    std::vector<std::string> out;
    for (const std::string& item : tree.emptyItems) out.push_back("empty item file " + item);
    for (const auto& [path, f] : tree.archives) {
        for (const std::string& p : f.problems) out.push_back(path + ": " + p);
        if (!allowDuplicates && f.duplicates > 0)
            out.push_back(path + ": " + std::to_string(f.duplicates) + " records stored twice");
        auto kind = shape.archives.find(path);
        const long step = kind != shape.archives.end() ? kind->second.step : f.step;
        if (step == 0) continue;
        long prev = 0;
        for (auto& [t, l] : f.byTime) {
            bool excused = prev != 0;
            for (long m = prev + step; prev != 0 && m < t; m += step)
                excused = excused && (givenUp.count(m) || givenUp.count(m - step));
            if (prev != 0 && t - prev != step && !excused)
                out.push_back(path + ": records missing between " + std::to_string(prev) + " and " +
                              std::to_string(t));
            prev = t;
        }
        // The record at the bookkeeping time is on disk in every archive of its
        // kind (archives of interval totals carry the interval's end).
        const long stored = step == 3600 ? tree.maxHourly : tree.maxDaily;
        if (stored != 0 && !givenUp.count(stored) && !Has(f, stored) && !Has(f, stored + step))
            out.push_back(path + ": bookkeeping at " + std::to_string(stored) +
                          " but its record is not on disk");
    }
    return out;
}

std::vector<std::string> CheckCoverage(const TreeSnapshot& tree, long firstHourly, long lastHourly,
                                       long firstDaily, long lastDaily) {
    std::vector<std::string> out;
    std::map<long, std::set<long>> timesOfKind;
    std::map<long, std::string> firstPathOfKind;
    int hourly = 0, daily = 0;
    for (const auto& [path, f] : tree.archives) {
        if (f.step == 0) continue;
        (f.step == 3600 ? hourly : daily)++;
        const long first = f.step == 3600 ? firstHourly : firstDaily;
        const long last = f.step == 3600 ? lastHourly : lastDaily;
        if (f.byTime.begin()->first > first + f.step)
            out.push_back(path + ": starts at " + std::to_string(f.byTime.begin()->first) +
                          ", expected from " + std::to_string(first));
        if (f.byTime.rbegin()->first < last)
            out.push_back(path + ": ends at " + std::to_string(f.byTime.rbegin()->first) +
                          ", expected up to " + std::to_string(last));
        // Archives of interval totals are shifted by one interval; compare the
        // series by their length and spacing.
        std::set<long> times;
        for (auto& [t, l] : f.byTime) times.insert(t - f.byTime.begin()->first);
        auto [it, fresh] = timesOfKind.emplace(f.step, times);
        if (fresh) {
            firstPathOfKind[f.step] = path;
        } else if (it->second.size() != times.size()) {
            out.push_back(path + ": " + std::to_string(times.size()) + " records, but " +
                          firstPathOfKind[f.step] + " has " + std::to_string(it->second.size()));
        }
    }
    if (hourly == 0) out.push_back("no hourly archive");
    if (daily == 0) out.push_back("no daily archive");
    return out;
}

}  // namespace kovtest

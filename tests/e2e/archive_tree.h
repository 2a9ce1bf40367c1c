#pragma once

// Reads a daemon's file tree after a run and judges it: every archive line
// well-formed, each archive a gap-free series, the bookkeeping never ahead of
// what is on disk, no item file empty.

#include <map>
#include <set>
#include <string>
#include <vector>

namespace kovtest {

struct ArchiveFile {
    std::vector<std::string> lines;     // complete lines, without '\n'
    std::map<long, std::string> byTime; // first line stored for each time
    int duplicates = 0;                 // lines repeating an earlier line exactly
    std::vector<std::string> problems;  // torn or malformed lines, conflicting times
    long step = 0;                      // 3600 hourly, 86400 daily, 0 unknown
};

struct TreeSnapshot {
    std::map<std::string, ArchiveFile> archives;  // path relative to the storage folder
    std::vector<std::string> emptyItems;          // item files without content
    long maxHourly = 0, maxDaily = 0;             // bookkeeping; 0 when absent
};

// The bookkeeping times alone (cheap enough to poll); 0 when absent.
void ReadBookkeeping(const std::string& root, const std::string& id, long& hourly, long& daily);

// The archive files' total size (cheap enough to poll).
long ArchiveBytes(const std::string& root, const std::string& id);

// root: the daemon's --root; id: the installation.
// multiValued: the name of an archive that holds several lines per record
// time by design (the VKT-9 status word, one line per status source); only
// its first line of each time is judged.
TreeSnapshot ScanTree(const std::string& root, const std::string& id,
                      const std::string& multiValued = "");

// Problems found in one snapshot (empty: all well):
//  - torn or malformed archive lines, two different lines for one time,
//    empty item files;
//  - an hourly or daily series with a hole;
//  - a bookkeeping time whose record is not in every archive of its kind
//    (kinds as the final tree `shape` shows them);
//  - duplicates when allowDuplicates is false.
// givenUp: record times the daemon logged as given up (or a bookkeeping time
// set before the run); a hole of only such records, or a bookkeeping time
// among them without its record, is no fault.
std::vector<std::string> CheckTree(const TreeSnapshot& tree, const TreeSnapshot& shape,
                                   bool allowDuplicates, const std::set<long>& givenUp = {});

// The final tree holds the whole range: every hourly archive from at most
// firstHourly to at least lastHourly, every daily one from at most firstDaily
// to at least lastDaily, all archives of a kind with the same times.
std::vector<std::string> CheckCoverage(const TreeSnapshot& tree, long firstHourly, long lastHourly,
                                       long firstDaily, long lastDaily);

}  // namespace kovtest

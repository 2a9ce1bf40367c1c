// The file tree the data service reads: paths, line formats, bookkeeping.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>

#include <atomic>
#include <memory>
#include <fstream>
#include <sstream>
#include <thread>

#include "service/jsonrpc_connector.h"
#include "service/path_root.h"
#include "tests/e2e/process.h"

namespace {

bool exists(const std::string& p) {
    struct stat st;
    return lstat(p.c_str(), &st) == 0;
}

std::string linkTarget(const std::string& p) {
    char buf[512] = {};
    return readlink(p.c_str(), buf, sizeof buf - 1) > 0 ? buf : "";
}

class Storage : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kovstore-XXXXXX";
        root = mkdtemp(tmpl);
        kov::SetPathRoot(root);
        link = std::make_unique<CJSONRPCConnector>("42", 0);
    }
    void TearDown() override { kov::SetPathRoot("/"); }

    std::string tmp(const std::string& rel) { return root + "/tmp/42/" + rel; }
    std::string store(const std::string& rel) { return root + "/mnt/storage/42/" + rel; }

    std::string root;
    std::unique_ptr<CJSONRPCConnector> link;
};

TEST_F(Storage, ConstructorPreparesTheInstallationFolders) {
    EXPECT_TRUE(exists(root + "/tmp/42"));
    EXPECT_TRUE(exists(root + "/mnt/storage/42"));
    EXPECT_EQ(root + "/tmp/tqm_force_update_42", link->ForceUpdatePath());
}

TEST_F(Storage, ArchiveLinesCarryEndOfIntervalAndBookkeepingTheRecordTime) {
    const int T = 1700000000;
    ValueList hourly = {ValueRecord(17, 3, "1.5", "GJ", 192, 0, 0, T),
                        ValueRecord(6, 4, "70.25", "C", 192, 0, 0, T),
                        ValueRecord(16, 0, "no name", "", 192, 0, 0, T + 7200)};
    EXPECT_TRUE(link->ArchiveRecords(hourly, 4, false));
    EXPECT_EQ(std::to_string(T + 3600) + ",192,1.5\n", kovtest::ReadFile(store("1/zr_archives/A1")));
    EXPECT_EQ(std::to_string(T) + ",192,70.25\n", kovtest::ReadFile(store("1/zr_archives/A20")));
    EXPECT_EQ(std::to_string(T), kovtest::ReadFile(store("timestamp_max_hourly")));
    EXPECT_EQ(T, link->ReadMaxTimestamp(4));

    // Appended, never rewritten.
    ValueList next = {ValueRecord(6, 4, "71", "C", 0, 0, 0, T + 3600)};
    link->ArchiveRecords(next, 4, false);
    EXPECT_EQ(std::to_string(T) + ",192,70.25\n" + std::to_string(T + 3600) + ",0,71\n",
              kovtest::ReadFile(store("1/zr_archives/A20")));
    EXPECT_EQ(T + 3600, link->ReadMaxTimestamp(4));

    ValueList daily = {ValueRecord(17, 2, "9", "", 192, 0, 1, T)};
    link->ArchiveRecords(daily, 5, false);
    EXPECT_EQ(std::to_string(T + 86400) + ",192,9\n", kovtest::ReadFile(store("2/zr_archives/A29")));
    EXPECT_EQ(T, link->ReadMaxTimestamp(5));
}

TEST_F(Storage, ErrorAndStateRecordsDoNotMoveTheBookkeeping) {
    link->WriteMaxTimestamp(4, 1000);
    ValueList only = {ValueRecord(14, 4, "3", "", 192, 0, 0, 5000),
                      ValueRecord(15, 4, "1", "", 192, 0, 0, 6000)};
    link->ArchiveRecords(only, 4, false);
    EXPECT_EQ("5000,192,3\n", kovtest::ReadFile(store("1/zr_archives/A28")));
    EXPECT_EQ("6000,192,1\n", kovtest::ReadFile(store("1/zr_archives/_A57")));
    EXPECT_EQ(1000, link->ReadMaxTimestamp(4));
}

TEST_F(Storage, TemporaryFlagMovesOnlyEndOfIntervalKinds) {
    ValueList recs = {ValueRecord(17, 3, "1", "", 192, 0, 0, 3600),
                      ValueRecord(6, 4, "2", "", 192, 0, 0, 3600)};
    link->ArchiveRecords(recs, 4, true);
    EXPECT_EQ("7200,192,1\n", kovtest::ReadFile(store("1/zr_tmp_archives/A1")));
    EXPECT_FALSE(exists(store("1/zr_archives/A1")));
    EXPECT_EQ("3600,192,2\n", kovtest::ReadFile(store("1/zr_archives/A20")));
}

TEST_F(Storage, DefaultLinksOnlyForTheDefaultSystem) {
    link->ItemsDir(2);
    EXPECT_TRUE(exists(tmp("3/zr_items")));
    EXPECT_FALSE(exists(tmp("default")));
    EXPECT_EQ(tmp("1/zr_items/"), link->ItemsDir(0));
    EXPECT_EQ(root + "/tmp/42/1", linkTarget(tmp("default")));
    link->ArchiveDir(0, true);
    EXPECT_TRUE(exists(store("1/zr_tmp_archives")));
    EXPECT_EQ(root + "/mnt/storage/42/1", linkTarget(store("default")));

    // An existing link is left as it is.
    CJSONRPCConnector other("42", 1);
    other.ItemsDir(1);
    EXPECT_EQ(root + "/tmp/42/1", linkTarget(tmp("default")));
}

TEST_F(Storage, SystemsNumberedInTheirNamesGetTheirFolders) {
    Json::Value systems(Json::objectValue);
    systems["system_2"] = "Heating";
    systems["system_3"] = "Water";
    systems["system_4"] = "";
    CJSONRPCConnector l("43", 0);
    l.PrepareSystems(systems);
    EXPECT_TRUE(exists(root + "/tmp/43/2/zr_items"));
    EXPECT_TRUE(exists(root + "/tmp/43/3/zr_items"));
    EXPECT_TRUE(exists(root + "/mnt/storage/43/3/zr_archives"));
    EXPECT_FALSE(exists(root + "/tmp/43/4"));
    EXPECT_FALSE(exists(root + "/tmp/43/1"));
    // The default system only ever moves down; from 0 it stays, so no link.
    EXPECT_EQ(0, l.DefaultSystem());
    EXPECT_FALSE(exists(root + "/tmp/43/default"));
}

TEST_F(Storage, ItemsAndConnectionState) {
    Json::Value systems(Json::objectValue);
    systems["system_1"] = "A";
    systems["system_2"] = "B";
    link->PrepareSystems(systems);
    const int T = 1600000000;
    ValueList recs = {ValueRecord(6, 0, "55.5", "C", 192, 0, 1, T),
                      ValueRecord(34, 7, "SN-1", "", 192, 0, 0, T + 1),
                      ValueRecord(13, 4, "7", "", 192, 0, 0, T + 2),
                      ValueRecord(99, 0, "x", "", 192, 0, 0, T)};
    link->WriteItems(recs);
    struct stat st;
    ASSERT_EQ(0, stat(tmp("2/zr_items/T1").c_str(), &st));
    EXPECT_EQ(T, st.st_mtime);
    EXPECT_EQ(T, st.st_atime);
    EXPECT_EQ("55.5\n", kovtest::ReadFile(tmp("2/zr_items/T1")));
    // System information of system 0 goes to every system's folder.
    EXPECT_EQ("SN-1\n", kovtest::ReadFile(tmp("1/zr_items/SerialNumber")));
    EXPECT_EQ("SN-1\n", kovtest::ReadFile(tmp("2/zr_items/SerialNumber")));
    // Archive kinds through WriteItems replace their file.
    link->WriteItems({ValueRecord(13, 4, "8", "", 192, 0, 0, T + 3)});
    EXPECT_EQ(std::to_string(T + 3) + ",192,8\n", kovtest::ReadFile(store("1/zr_archives/A80")));

    link->WriteConnected(true);
    EXPECT_EQ("1\n", kovtest::ReadFile(tmp("1/zr_items/Connected")));
    EXPECT_EQ("1\n", kovtest::ReadFile(tmp("2/zr_items/Connected")));
    link->WriteConnected(false);
    EXPECT_EQ("0\n", kovtest::ReadFile(tmp("2/zr_items/Connected")));

    // No temporary files are left behind.
    std::string listing;
    for (const char* d : {"1/zr_items", "2/zr_items"}) {
        std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(tmp(d).c_str()), closedir);
        while (dirent* e = readdir(dir.get()))
            if (e->d_name[0] == '.' && e->d_name[1] && e->d_name[1] != '.') listing += e->d_name;
    }
    EXPECT_EQ("", listing);
}

TEST_F(Storage, ConnectionStateBeforeAnySystemGoesToTheDefault) {
    link->WriteConnected(true);
    EXPECT_EQ("1\n", kovtest::ReadFile(tmp("1/zr_items/Connected")));
}

TEST_F(Storage, BookkeepingAndControlFiles) {
    EXPECT_EQ(0, link->ReadMaxTimestamp(5));
    EXPECT_FALSE(link->WriteMaxTimestamp(6, 5));
    EXPECT_EQ(0, link->ReadMaxTimestamp(6));
    EXPECT_TRUE(link->WriteMaxTimestamp(5, 123));
    EXPECT_EQ("123", kovtest::ReadFile(store("timestamp_max_daily")));

    EXPECT_EQ(0, link->ReadVKT7Timestamp());
    time_t before = time(nullptr);
    link->WriteVKT7Timestamp();
    link->WriteVKT9Timestamp();
    EXPECT_GE(link->ReadVKT7Timestamp(), before);
    EXPECT_LE(link->ReadVKT9Timestamp(), time(nullptr));
    EXPECT_EQ(std::to_string(link->ReadVKT9Timestamp()), kovtest::ReadFile(tmp("timestamp_VKT9")));

    EXPECT_FALSE(link->CheckForceUpdate());
    std::ofstream(root + "/tmp/tqm_force_update_42") << "";
    EXPECT_TRUE(link->CheckForceUpdate());
    EXPECT_FALSE(exists(root + "/tmp/tqm_force_update_42"));
    EXPECT_FALSE(link->CheckForceUpdate());

    SetAuxPause();
    EXPECT_EQ("7200", kovtest::ReadFile(root + "/tmp/auxsv_pause"));
    ClearAuxPause();
    EXPECT_FALSE(exists(root + "/tmp/auxsv_pause"));
    ClearAuxPause();
}

TEST_F(Storage, ReadersNeverSeeAPartialItemFile) {
    std::string path = tmp("1/zr_items/Q1");
    link->WriteItems({ValueRecord(0, 0, "0.000000", "", 192, 0, 0, 1)});
    std::atomic<bool> done{false};
    std::atomic<int> bad{0}, reads{0};
    std::thread reader([&] {
        while (!done) {
            std::string s = kovtest::ReadFile(path);
            ++reads;
            if (s.size() != 9 || s.back() != '\n') ++bad;
        }
    });
    for (int i = 0; i < 10000; ++i) {
        char v[16];
        snprintf(v, sizeof v, "%08d", i);
        link->WriteItems({ValueRecord(0, 0, v, "", 192, 0, 0, 1)});
    }
    done = true;
    reader.join();
    EXPECT_GT(reads.load(), 100);
    EXPECT_EQ(0, bad.load());
    EXPECT_EQ("00009999\n", kovtest::ReadFile(path));
}

}  // namespace

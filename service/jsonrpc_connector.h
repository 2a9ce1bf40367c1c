#pragma once

#include <json/json.h>

#include <list>
#include <map>
#include <string>

#include "service/value_record.h"

// The daemon's link to the local data service for one installation: fetches
// the configuration with "get_config" and owns the installation's file tree
// (item files, archive lines, bookkeeping and control files).
class CJSONRPCConnector {
public:
    static constexpr const char* kDefaultUrl = "http://127.0.0.1:8082/";

    CJSONRPCConnector(const std::string& id, int defaultSystem,
                      const std::string& url = kDefaultUrl);
    virtual ~CJSONRPCConnector();

    bool ExecJSONRPCFunc(const std::string& method, const Json::Value& params, Json::Value& result);
    std::list<PortConfig> GetInitParameters1();
    static void FlattenObject(ParamMap& map, const Json::Value& object);

    // File tree.
    std::string ItemsDir(uint8_t sys);
    std::string ArchiveDir(uint8_t sys, bool temporary);
    bool PrepareSystems(const Json::Value& systems);
    bool ArchiveRecords(const ValueList& records, int archiveKind, bool temporary);
    bool WriteItems(const ValueList& records);
    void WriteConnected(bool connected);
    bool WriteMaxTimestamp(int archiveKind, int time);
    int ReadMaxTimestamp(int archiveKind);
    void WriteVKT7Timestamp();
    void WriteVKT9Timestamp();
    int ReadVKT7Timestamp();
    int ReadVKT9Timestamp();
    bool CheckForceUpdate();

    const std::string& Id() const { return id; }
    const std::string& TmpDir() const { return tmpDir; }
    const std::string& StorageDir() const { return storageDir; }
    const std::string& ForceUpdatePath() const { return forceUpdatePath; }
    int DefaultSystem() const { return defaultSystem; }

    // Seconds between failed attempts; only tests shorten it.
    void SetRetryDelayForTest(int seconds) { retryDelay = seconds; }

protected:
    // One HTTP exchange with the service: 0 and the reply body, the
    // transport's (positive) error code when sending failed, or -1 when no
    // usable reply came back. A seam for the fuzz target of the reply parser.
    virtual int Exchange(const std::string& request, std::string& reply);

private:
    bool SendAndReceive(const std::string& text, Json::Value& result);

    int nextId;
    std::string id;
    std::string tmpDir;
    std::string storageDir;
    std::string forceUpdatePath;
    std::map<int, std::string> archiveDirs;
    std::map<int, std::string> itemDirs;
    int defaultSystem;
    std::string url;
    int retryDelay = 5;
};

// The auxiliary service's pause file, kept by the supervision loop.
void SetAuxPause();
void ClearAuxPause();

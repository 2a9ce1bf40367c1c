#include "service/jsonrpc_connector.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <sstream>

#include "log/logger.h"
#include "service/catalogue.h"
#include "service/file_util.h"
#include "service/http_client.h"
#include "service/path_root.h"

// JsonCpp marks its classic reader and writer deprecated; the request text
// must be the compact writer's output byte for byte.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace {

bool writeAllFd(int fd, const std::string& s) {
    const char* p = s.data();
    size_t left = s.size();
    while (left > 0) {
        ssize_t n = write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

std::string archiveLine(long time, int quality, const std::string& value) {
    return std::to_string(time) + "," + std::to_string(quality) + "," + value + "\n";
}

// Text of a scalar JSON value as the configuration maps hold it.
bool scalarText(const Json::Value& v, std::string& out) {
    if (v.isObject() || v.isArray()) return false;
    out = v.isNull() ? std::string() : v.asString();
    return true;
}

}  // namespace

CJSONRPCConnector::CJSONRPCConnector(const std::string& ident, int defSystem,
                                     const std::string& serviceUrl)
    : nextId(1),
      id(ident),
      tmpDir(kov::RootedPath("/tmp/" + ident + "/")),
      storageDir(kov::RootedPath("/mnt/storage/" + ident + "/")),
      forceUpdatePath(kov::RootedPath("/tmp/tqm_force_update_" + ident)),
      defaultSystem(defSystem),
      url(serviceUrl) {
    kov::MakeDirs(tmpDir);
    kov::MakeDirs(storageDir);
}

CJSONRPCConnector::~CJSONRPCConnector() = default;

bool CJSONRPCConnector::ExecJSONRPCFunc(const std::string& method, const Json::Value& params,
                                        Json::Value& result) {
    Json::Value request(Json::objectValue);
    request["jsonrpc"] = "2.0";
    request["id"] = nextId++;
    request["method"] = method;
    if (!params.isNull()) request["params"] = params;
    Json::FastWriter writer;
    std::string text = writer.write(request);
    std::cout << "CJSONRPCConnector::ExecJSONRPCFunc query is " << text << std::endl;
    return SendAndReceive(text, result);
}

bool CJSONRPCConnector::SendAndReceive(const std::string& text, Json::Value& result) {
    for (;;) {
        std::string reply;
        int code = Exchange(text, reply);
        if (code > 0) {
            klog::err(
                "CJSONRPCConnector::SendParameters - Error while sending data! retry!!! wait 5 "
                "sec. Error code - %d",
                code);
            sleep(static_cast<unsigned>(retryDelay));
            continue;
        }
        if (code != 0) {
            klog::err(
                "CJSONRPCConnector::SendParameters - Error while receiving data! retry!!! wait 5 "
                "sec");
            sleep(static_cast<unsigned>(retryDelay));
            continue;
        }
        std::cout << "result JSONRPC" << reply << std::endl;
        Json::Reader reader;
        result = Json::Value();
        bool parsed = false;
        try {
            parsed = reader.parse(reply, result, true);
        } catch (const Json::Exception&) {
            // JsonCpp throws instead of failing on a reply nested too deep
            // ("Exceeded stackLimit"); it is a bad reply like any other.
        }
        if (!parsed) {
            klog::err(
                "CJSONRPCConnector::SendParameters - Error while parsing data! retry!!! wait 5 "
                "sec");
            klog::err("Response String - %s", reply.c_str());
            sleep(static_cast<unsigned>(retryDelay));
            continue;
        }
        return true;
    }
}

int CJSONRPCConnector::Exchange(const std::string& request, std::string& reply) {
    Json::Rpc::HttpClient client(url);
    int code = client.Send(request);
    if (code != 0) return code;
    return client.Recv(reply) == -1 ? -1 : 0;
}

void CJSONRPCConnector::FlattenObject(ParamMap& map, const Json::Value& object) {
    if (!object.isObject()) return;
    for (const std::string& name : object.getMemberNames()) {
        const Json::Value& v = object[name];
        if (v.isObject()) continue;
        if (v.isArray()) {
            klog::warning("CJSONRPCConnector::FlattenObject - member \"%s\" is an array, skipped.",
                          name.c_str());
            continue;
        }
        std::string text;
        scalarText(v, text);
        map[name] = text;
    }
}

std::list<PortConfig> CJSONRPCConnector::GetInitParameters1() {
    std::list<PortConfig> out;
    Json::Value params(Json::objectValue);
    params["heat_meter"] = id;
    Json::Value reply;
    if (!ExecJSONRPCFunc("get_config", params, reply)) {
        klog::err("CJSONRPCConnector::GetInitParameters1 - Error while receiving data!");
        return out;
    }
    Json::Value r(Json::objectValue);
    if (reply.isObject() && reply.isMember("result") && reply["result"].isObject())
        r = reply["result"];

    PortConfig pc;
    FlattenObject(pc.port, r.get("port_params", Json::Value(Json::objectValue)));
    ParamMap driver;
    FlattenObject(driver, r);
    if (driver.find("period_current") == driver.end()) {
        const std::string& m = driver["manufacturer"];
        driver["period_current"] = m == "vkt-7" ? "43200" : m == "vkt-9" ? "5400" : "20";
    }
    Json::Value systems = r.get("systems", Json::Value(Json::objectValue));
    if (systems.isObject()) {
        for (const std::string& name : systems.getMemberNames()) {
            std::string text;
            if (scalarText(systems[name], text) && !text.empty()) driver["systems"] += text + ";";
        }
    } else {
        systems = Json::Value(Json::objectValue);
    }
    pc.drivers.push_back(driver);
    out.push_back(pc);
    PrepareSystems(systems);
    return out;
}

std::string CJSONRPCConnector::ItemsDir(uint8_t sys) {
    auto it = itemDirs.find(sys);
    if (it != itemDirs.end()) return it->second;
    std::string number = std::to_string(sys + 1);
    std::string path = tmpDir + number + "/zr_items/";
    itemDirs[sys] = path;
    kov::MakeDirs(path);
    if (sys == defaultSystem) symlink((tmpDir + number).c_str(), (tmpDir + "default").c_str());
    return path;
}

std::string CJSONRPCConnector::ArchiveDir(uint8_t sys, bool temporary) {
    int key = temporary ? (sys | 0x80) : sys;
    auto it = archiveDirs.find(key);
    if (it != archiveDirs.end()) return it->second;
    std::string number = std::to_string(sys + 1);
    std::string path = storageDir + number + (temporary ? "/zr_tmp_archives/" : "/zr_archives/");
    archiveDirs[key] = path;
    kov::MakeDirs(path);
    if (sys == defaultSystem)
        symlink((storageDir + number).c_str(), (storageDir + "default").c_str());
    return path;
}

bool CJSONRPCConnector::PrepareSystems(const Json::Value& systems) {
    std::list<int> numbers;
    if (systems.isObject()) {
        for (const std::string& name : systems.getMemberNames()) {
            std::string text;
            if (!scalarText(systems[name], text) || text.empty()) continue;
            // The member name carries the one-digit system number at position 7.
            if (name.size() < 8 || name[7] < '0' || name[7] > '9') {
                klog::warning(
                    "CJSONRPCConnector::PrepareSystems - system \"%s\" has no number, skipped.",
                    name.c_str());
                continue;
            }
            int n = name[7] - '0';
            if (defaultSystem > n - 1) defaultSystem = n - 1;
            numbers.push_back(n);
        }
    }
    for (int n : numbers) {
        uint8_t s = static_cast<uint8_t>(n != 0 ? n - 1 : 0);
        ItemsDir(s);
        ArchiveDir(s, false);
    }
    return true;
}

bool CJSONRPCConnector::ArchiveRecords(const ValueList& records, int archiveKind,
                                       bool temporary) {
    long newest = 0;
    std::map<std::string, int> files;  // descriptors opened by this call
    for (const ValueRecord& rec : records) {
        const std::string* name = kov::ParamName(rec.kind, rec.index);
        if (!name) continue;
        bool tmp = temporary && (rec.kind == 2 || rec.kind == 3);
        std::string path = ArchiveDir(rec.sys, tmp) + *name;
        long time = rec.timestamp;
        if (rec.kind == 3) time += 3600;
        if (rec.kind == 2) time += 86400;
        auto it = files.find(path);
        if (it == files.end()) {
            int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
            it = files.emplace(path, fd).first;
        }
        // One write per line: a line is on disk whole or not at all.
        if (it->second >= 0) writeAllFd(it->second, archiveLine(time, rec.quality, rec.value));
        if (rec.index != 14 && rec.index != 15 && rec.timestamp > newest) newest = rec.timestamp;
    }
    // Records must be on disk before the bookkeeping moves past them.
    for (auto& f : files) {
        if (f.second < 0) continue;
        fdatasync(f.second);
        close(f.second);
    }
    if (newest != 0) WriteMaxTimestamp(archiveKind, static_cast<int>(newest));
    return true;
}

bool CJSONRPCConnector::WriteItems(const ValueList& records) {
    for (const ValueRecord& rec : records) {
        const std::string* name = kov::ParamName(rec.kind, rec.index);
        if (!name) continue;
        if (rec.kind == 4 || rec.kind == 5 || rec.kind == 6) {
            std::string path = ArchiveDir(rec.sys, false) + *name;
            kov::ReplaceFile(path, archiveLine(rec.timestamp, rec.quality, rec.value), false);
            kov::SetFileTime(path, rec.timestamp);
        } else if (rec.kind == 7 && !itemDirs.empty() && rec.sys == 0) {
            std::string last;
            for (auto& d : itemDirs) {
                last = d.second + *name;
                kov::ReplaceFile(last, rec.value + "\n", false);
            }
            kov::SetFileTime(last, rec.timestamp);
        } else {
            std::string path = ItemsDir(rec.sys) + *name;
            kov::ReplaceFile(path, rec.value + "\n", false);
            kov::SetFileTime(path, rec.timestamp);
        }
    }
    return true;
}

void CJSONRPCConnector::WriteConnected(bool connected) {
    const std::string& name = *kov::ParamName(7, 46);
    std::string text = connected ? "1\n" : "0\n";
    if (itemDirs.empty()) {
        kov::ReplaceFile(ItemsDir(static_cast<uint8_t>(defaultSystem)) + name, text, false);
        return;
    }
    for (auto& d : itemDirs) kov::ReplaceFile(d.second + name, text, false);
}

bool CJSONRPCConnector::WriteMaxTimestamp(int archiveKind, int time) {
    const char* file = archiveKind == 4 ? "timestamp_max_hourly"
                       : archiveKind == 5 ? "timestamp_max_daily"
                                          : nullptr;
    if (!file) return false;
    kov::ReplaceFile(storageDir + file, std::to_string(time), true);
    return true;
}

int CJSONRPCConnector::ReadMaxTimestamp(int archiveKind) {
    const char* file = archiveKind == 4 ? "timestamp_max_hourly"
                       : archiveKind == 5 ? "timestamp_max_daily"
                                          : nullptr;
    if (!file) return 0;
    return static_cast<int>(kov::ReadNumberFile(storageDir + file, 0));
}

void CJSONRPCConnector::WriteVKT7Timestamp() {
    kov::ReplaceFile(tmpDir + "timestamp_VKT7", std::to_string(time(nullptr)), false);
}

void CJSONRPCConnector::WriteVKT9Timestamp() {
    kov::ReplaceFile(tmpDir + "timestamp_VKT9", std::to_string(time(nullptr)), false);
}

int CJSONRPCConnector::ReadVKT7Timestamp() {
    return static_cast<int>(kov::ReadNumberFile(tmpDir + "timestamp_VKT7", 0));
}

int CJSONRPCConnector::ReadVKT9Timestamp() {
    return static_cast<int>(kov::ReadNumberFile(tmpDir + "timestamp_VKT9", 0));
}

bool CJSONRPCConnector::CheckForceUpdate() {
    int fd = open(forceUpdatePath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    close(fd);
    unlink(forceUpdatePath.c_str());
    return true;
}

void SetAuxPause() { kov::ReplaceFile(kov::RootedPath("/tmp/auxsv_pause"), "7200", false); }

void ClearAuxPause() { unlink(kov::RootedPath("/tmp/auxsv_pause").c_str()); }

#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <string>

// One value as a driver read it, on its way to the file tree.
struct ValueRecord {
    ValueRecord() = default;
    ValueRecord(int index_, int kind_, std::string value_, std::string dim_, int quality_,
                uint8_t error_, uint8_t sys_, int timestamp_)
        : index(index_),
          kind(kind_),
          value(std::move(value_)),
          dim(std::move(dim_)),
          quality(quality_),
          error(error_),
          sys(sys_),
          timestamp(timestamp_) {}

    int index = 0;
    int kind = 0;
    std::string value;
    std::string dim;
    int quality = 192;
    uint8_t error = 0;
    uint8_t sys = 0;
    int timestamp = 0;
    std::string note;
};

using ValueList = std::list<ValueRecord>;

// One parameter set (a port's or a meter's), as delivered by "get_config".
using ParamMap = std::map<std::string, std::string>;

struct PortConfig {
    ParamMap port;
    std::list<ParamMap> drivers;
};

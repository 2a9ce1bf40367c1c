#pragma once

#include <span>
#include <string>

#include "service/value_record.h"

class CConnector;
class CJSONRPCConnector;
class CKovBaseDriver;

namespace kov {

// One row of the manufacturer table: the exact "manufacturer" string and how
// to make its driver (the string is handed to classes that serve several).
struct DriverRow {
    const char* manufacturer;
    CKovBaseDriver* (*create)(const std::string& manufacturer);
};

template <class T>
CKovBaseDriver* MakeDriver(const std::string&) {
    return new T();
}

template <class T>
CKovBaseDriver* MakeNamedDriver(const std::string& manufacturer) {
    return new T(manufacturer);
}

// Builds a driver from rows: the first exact match of
// "manufacturer" (absent reads as ""), else CKovEmptyDriver; wires it to the
// service link and the connector and starts its thread named after the
// manufacturer. The caller owns the result.
CKovBaseDriver* CreateDriverFrom(std::span<const DriverRow> rows, const ParamMap& params,
                                 CConnector* connector, CJSONRPCConnector* link);

}  // namespace kov

// The driver of one configured meter, from the daemon's manufacturer table.
CKovBaseDriver* CreateDriver(const ParamMap& params, CConnector* connector,
                             CJSONRPCConnector* link);

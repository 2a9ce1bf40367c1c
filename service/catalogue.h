#pragma once

#include <cstdint>
#include <map>
#include <string>

// Maps each (kind, index) pair the system knows to the parameter name the
// data service expects; the name is the file name of the value.
namespace kov {

inline uint32_t ParamKey(int kind, int index) {
    return (static_cast<uint32_t>(kind) << 16) | static_cast<uint32_t>(index);
}

const std::map<uint32_t, std::string>& ParamCatalogue();

// The name of (kind, index), or null when the pair is not stored.
const std::string* ParamName(int kind, int index);

}  // namespace kov

#include "service/catalogue.h"

#include <array>

namespace kov {
namespace {

// Laid out like the service's parameter table: one row per index, one column
// per kind; an empty cell has no parameter.
struct Row {
    int index;
    std::array<const char*, 7> names;  // kinds 0, 1, 2, 3, 4, 5, 8
};
constexpr int kRowKinds[7] = {0, 1, 2, 3, 4, 5, 8};

// clang-format off
constexpr Row kRows[] = {
    { 0, {"Q1",  "",    "",    "",    "",     "",    ""   }},
    { 1, {"Q2",  "",    "",    "",    "",     "",    ""   }},
    { 2, {"Q3",  "",    "",    "",    "",     "",    ""   }},
    { 3, {"M1",  "",    "",    "",    "",     "",    ""   }},
    { 4, {"M2",  "",    "",    "",    "",     "",    ""   }},
    { 5, {"M3",  "",    "",    "",    "",     "",    ""   }},
    { 6, {"T1",  "",    "",    "",    "A20",  "A48", ""   }},
    { 7, {"T2",  "",    "",    "",    "A21",  "A49", ""   }},
    { 8, {"T3",  "",    "",    "",    "A22",  "A50", ""   }},
    { 9, {"P1",  "",    "",    "",    "A17",  "A45", ""   }},
    {10, {"P2",  "",    "",    "",    "A18",  "A46", ""   }},
    {11, {"P3",  "",    "",    "",    "A19",  "A47", ""   }},
    {12, {"dP",  "",    "",    "",    "",     "",    ""   }},
    {13, {"Ta",  "",    "",    "",    "A80",  "A81", ""   }},
    {14, {"ER",  "",    "",    "",    "A28",  "A56", ""   }},
    {15, {"EG",  "",    "",    "",    "_A57", "",    ""   }},
    {16, {"",    "",    "",    "",    "F57",  "",    ""   }},
    {17, {"",    "IE1", "A29", "A1",  "A2",   "A30", "A70"}},
    {18, {"",    "IT1", "A32", "A4",  "A3",   "A31", "A71"}},
    {19, {"",    "IQ1", "A34", "A6",  "A5",   "A33", "A72"}},
    {20, {"",    "IQ2", "A36", "A8",  "A7",   "A35", "A73"}},
    {21, {"",    "IQ3", "A38", "A10", "A9",   "A37", "A74"}},
    {22, {"",    "IM1", "A40", "A12", "A11",  "A39", "A75"}},
    {23, {"",    "IM2", "A42", "A14", "A13",  "A41", "A76"}},
    {24, {"",    "IM3", "A44", "A16", "A15",  "A43", "A77"}},
    {25, {"",    "",    "A65", "A60", "A23",  "A51", ""   }},
    {26, {"",    "",    "A66", "A61", "A24",  "A52", ""   }},
    {27, {"",    "",    "A67", "A62", "A25",  "A53", ""   }},
    {28, {"",    "",    "A68", "A63", "A26",  "A54", ""   }},
    {29, {"",    "",    "A69", "A64", "A27",  "A55", ""   }},
    {56, {"F1C", "F1I", "",    "",    "F1H",  "F1D", ""   }},
    {57, {"F2C", "F2I", "",    "",    "F2H",  "F2D", ""   }},
};

struct Single {
    int index;
    const char* name;
};
constexpr Single kSystemInfo[] = {  // kind 7
    {8, "tx"},          {31, "MeterManufacturer"}, {32, "MeterModel"}, {33, "Firmware"},
    {34, "SerialNumber"}, {35, "PrDate"},          {36, "PovDate"},    {37, "NextPovDate"},
    {38, "TSType"},     {39, "S"},                 {40, "SA1"},        {41, "SA2"},
    {42, "SA3"},        {43, "LastOff"},           {44, "LastOn"},     {45, "MDateTime"},
    {46, "Connected"},  {47, "SC"},                {55, "TSMode"},
};
constexpr Single kLimits[] = {  // kind 9
    {48, "DN1"}, {49, "DN2"}, {50, "DN3"}, {51, "M1max"}, {52, "M2max"}, {53, "M1min"}, {54, "M2min"},
};
// clang-format on

std::map<uint32_t, std::string> build() {
    std::map<uint32_t, std::string> m;
    for (const Row& r : kRows)
        for (int c = 0; c < 7; ++c)
            if (*r.names[c]) m.emplace(ParamKey(kRowKinds[c], r.index), r.names[c]);
    for (const Single& s : kSystemInfo) m.emplace(ParamKey(7, s.index), s.name);
    for (const Single& s : kLimits) m.emplace(ParamKey(9, s.index), s.name);
    return m;
}

// Built during static initialisation and only read afterwards.
const std::map<uint32_t, std::string> kCatalogue = build();

}  // namespace

const std::map<uint32_t, std::string>& ParamCatalogue() { return kCatalogue; }

const std::string* ParamName(int kind, int index) {
    auto it = kCatalogue.find(ParamKey(kind, index));
    return it == kCatalogue.end() ? nullptr : &it->second;
}

}  // namespace kov

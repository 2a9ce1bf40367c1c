#include "service/catalogue.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

// The service's parameter list, written kind by kind as "index:name".
const char* const kExpected[] = {
    "0 0:Q1 1:Q2 2:Q3 3:M1 4:M2 5:M3 6:T1 7:T2 8:T3 9:P1 10:P2 11:P3 12:dP 13:Ta 14:ER 15:EG "
    "56:F1C 57:F2C",
    "1 17:IE1 18:IT1 19:IQ1 20:IQ2 21:IQ3 22:IM1 23:IM2 24:IM3 56:F1I 57:F2I",
    "2 17:A29 18:A32 19:A34 20:A36 21:A38 22:A40 23:A42 24:A44 25:A65 26:A66 27:A67 28:A68 29:A69",
    "3 17:A1 18:A4 19:A6 20:A8 21:A10 22:A12 23:A14 24:A16 25:A60 26:A61 27:A62 28:A63 29:A64",
    "4 6:A20 7:A21 8:A22 9:A17 10:A18 11:A19 13:A80 14:A28 15:_A57 16:F57 17:A2 18:A3 19:A5 20:A7 "
    "21:A9 22:A11 23:A13 24:A15 25:A23 26:A24 27:A25 28:A26 29:A27 56:F1H 57:F2H",
    "5 6:A48 7:A49 8:A50 9:A45 10:A46 11:A47 13:A81 14:A56 17:A30 18:A31 19:A33 20:A35 21:A37 "
    "22:A39 23:A41 24:A43 25:A51 26:A52 27:A53 28:A54 29:A55 56:F1D 57:F2D",
    "7 8:tx 31:MeterManufacturer 32:MeterModel 33:Firmware 34:SerialNumber 35:PrDate 36:PovDate "
    "37:NextPovDate 38:TSType 39:S 40:SA1 41:SA2 42:SA3 43:LastOff 44:LastOn 45:MDateTime "
    "46:Connected 47:SC 55:TSMode",
    "8 17:A70 18:A71 19:A72 20:A73 21:A74 22:A75 23:A76 24:A77",
    "9 48:DN1 49:DN2 50:DN3 51:M1max 52:M2max 53:M1min 54:M2min",
};

TEST(Catalogue, HoldsExactlyTheServiceParameterList) {
    size_t count = 0;
    for (const char* row : kExpected) {
        std::istringstream in(row);
        int kind;
        in >> kind;
        for (std::string cell; in >> cell;) {
            int index = std::stoi(cell.substr(0, cell.find(':')));
            std::string name = cell.substr(cell.find(':') + 1);
            const std::string* got = kov::ParamName(kind, index);
            ASSERT_NE(nullptr, got) << kind << "," << index;
            EXPECT_EQ(name, *got) << kind << "," << index;
            ++count;
        }
    }
    EXPECT_EQ(136u, count);
    EXPECT_EQ(136u, kov::ParamCatalogue().size()) << "no entry beyond the list";
}

TEST(Catalogue, KeysAndMissingPairs) {
    EXPECT_EQ(0x00070000u + 46u, kov::ParamKey(7, 46));
    EXPECT_EQ("Connected", *kov::ParamName(7, 46));
    EXPECT_EQ("_A57", *kov::ParamName(4, 15));
    EXPECT_EQ(nullptr, kov::ParamName(0, 16));
    EXPECT_EQ(nullptr, kov::ParamName(5, 15));
    for (int i = 0; i < 64; ++i) EXPECT_EQ(nullptr, kov::ParamName(6, i));
}

}  // namespace

#pragma once

// MAGIKA archive formats: the four name maps, the archive template lines, the
// binary archive strings of the new (2013) and the old format, the firmware
// fix-up of the template and the status mapping. Shared by CkovMAGIKAAXXX and
// by the simulated meter's tests.
//
// Old-format field types. The meter's template names the fields; the type of
// a known field comes from our old-format map, the type of an unknown one from
// the line's type character (0-5, anything else ends the parse). All numbers
// are big-endian, like every byte stream of the meter:
//   0  1 byte, unsigned
//   1  2 bytes, unsigned
//   2  4 bytes, skipped (gives no value)
//   3  4 bytes, unsigned
//   4  4 bytes, IEEE single precision
//   5  the date group: "DATE" is 3 bytes (day, month, year - 2000), "HOUR" is
//      1 byte (hour); the string time is formed when "HOUR" has been read.
//      A type-5 field of any other name is 1 byte and only advances.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "service/value_record.h"

namespace magika {

// Catalogue index of fields that have no catalogue parameter: parsed, never stored.
inline constexpr int kNoParam = 30;

struct OldField {
    int ordinal;
    int index;
    int kind;
    std::string name;
    int type;          // 0-5, see above
    std::string unit;  // the secondary name: the unit text of the value
};

struct NewField {
    int ordinal;
    int index;
    int totals;  // 1: a running total (hourly kind 3, daily kind 2)
    int kind;
    std::string name;
    std::string unit;
    float scale;  // divisor unless 1 or 0
};

using OldMap = std::map<std::string, OldField>;
using NewMap = std::map<std::string, NewField>;

// Ordinals with their own conversion in old-format strings.
inline constexpr int kOrdTnorm = 87;      // minutes, stored as hours
inline constexpr int kOrdErrorCode = 98;  // meter status byte
inline constexpr int kOrdSTnorm = 105;    // minutes, stored as hours

OldMap BuildOldHourlyMap();
OldMap BuildOldDailyMap();
// The hourly map takes each entry with kind 3 when it is a total, else 4.
NewMap BuildNewHourlyMap();
NewMap BuildNewDailyMap();

// Meter status byte to the common error-bit word.
uint32_t MapStatus(uint32_t s);

// One template line: type character, then the name, optionally followed by a
// blank, a count, a point and an index that is appended to the name.
struct TemplateLine {
    char type = 0;
    std::string name;
};
TemplateLine ParseTemplateLine(const std::string& line);

// The firmware words whose templates come with the bytes beyond 512 swapped
// within each register and with "uM"/"pM" exchanged.
bool NeedsTemplateFixup(uint16_t firmware);
void FixupTemplate(std::vector<uint8_t>& bytes);
// Template bytes (up to the first NUL) split into lines at line feeds;
// empty lines and lines of a single blank are dropped.
std::vector<std::string> SplitTemplate(const std::vector<uint8_t>& bytes);

// A new-format type character read as a base-36 digit (a-z as A-Z); -1 for none.
int NewTypeDigit(char c);

// Parses one new-format archive string. Records of fields found in the map
// are inserted at the front of out, stamped with the string time, which is
// also returned in stringTime. Returns 0, or -1 when the string does not
// fit the template or carries no date.
int ParseArchString2013(const std::vector<std::string>& templ, const uint8_t* data, size_t size,
                        const NewMap& map, bool hourly, ValueList& out, time_t& stringTime);
// The same for old-format strings.
int ParseArchString(const std::vector<std::string>& templ, const uint8_t* data, size_t size,
                    const OldMap& map, bool hourly, ValueList& out, time_t& stringTime);

// Local time of an archive string's date fields, with the hour-24 rule:
// hourly, hour 24 and more is hour 0 of the next day; daily, the hour is 0.
time_t ArchStringTime(int day, int month, int year, int hour, bool hourly, const char* who);

// Value text of a number the meter sent as a float or as a scaled integer.
std::string FloatText(double v);

}  // namespace magika

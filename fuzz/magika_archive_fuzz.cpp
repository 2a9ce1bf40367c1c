// MAGIKA archive decoding on arbitrary bytes: the archive template (split
// into lines, with the firmware fix-up when asked) and one archive string
// decoded against it, in the new (2013) and the old format.
// Input: flags (bit 0 old format, bit 1 hourly, bit 2 template fix-up),
// template length (2 bytes, little-endian), template bytes, string bytes.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "drivers/magika/magika_archive.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kov::fuzz::InitEnvironment(0);
    if (size < 3) return 0;
    const uint8_t flags = data[0];
    const size_t templLen = std::min<size_t>(data[1] | (data[2] << 8), size - 3);
    std::vector<uint8_t> templBytes(data + 3, data + 3 + templLen);
    if (flags & 4) magika::FixupTemplate(templBytes);
    const std::vector<std::string> templ = magika::SplitTemplate(templBytes);
    for (const std::string& line : templ) magika::ParseTemplateLine(line);
    // The string in its own allocation, so a read past its end is caught.
    const std::vector<uint8_t> text(data + 3 + templLen, data + size);
    const bool hourly = flags & 2;
    ValueList out;
    time_t stringTime = 0;
    if (flags & 1) {
        static const magika::OldMap hourlyMap = magika::BuildOldHourlyMap();
        static const magika::OldMap dailyMap = magika::BuildOldDailyMap();
        magika::ParseArchString(templ, text.data(), text.size(), hourly ? hourlyMap : dailyMap, hourly,
                                out, stringTime);
    } else {
        static const magika::NewMap hourlyMap = magika::BuildNewHourlyMap();
        static const magika::NewMap dailyMap = magika::BuildNewDailyMap();
        magika::ParseArchString2013(templ, text.data(), text.size(), hourly ? hourlyMap : dailyMap,
                                    hourly, out, stringTime);
    }
    return 0;
}

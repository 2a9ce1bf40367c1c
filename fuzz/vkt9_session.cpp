#include "fuzz/vkt9_session.h"

#include "drivers/vkt9/vkt9_driver.h"
#include "fuzz/fuzz_support.h"

namespace kov::fuzz {

time_t Vkt9Now() { return LocalDate(3, 4, 2026, 12) + 1800; }

void RunVkt9Session(CConnector& line) {
    Ckov_VKT9 driver;
    driver.ApplyPortOptions({{"manufacturer", "vkt-9"}, {"serial", "1"}});
    driver.SaveConnector(&line);
    Step([&] { driver.init(); });
    Step([&] { driver.get_all_system_values(); });
    Step([&] { driver.get_all_curtime_cur_integ_values(); });
    ArchiveBounds bounds;
    Step([&] { driver.GetTimestamps(bounds); });
    ValueList out;
    const int32_t hour = static_cast<int32_t>(LocalDate(3, 4, 2026, 8));
    Step([&] { driver.get_arch_values(4, hour, hour + 2 * 3600, out); });
    const int32_t day = static_cast<int32_t>(LocalDate(1, 4, 2026, 0));
    Step([&] { driver.get_arch_values(5, day, day + 86400, out); });
}

}  // namespace kov::fuzz

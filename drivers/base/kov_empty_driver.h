#pragma once

#include "drivers/base/kov_base_driver.h"

// The driver of a meter whose manufacturer the daemon does not know: it runs
// the polling cycle without ever talking to a meter.
class CKovEmptyDriver : public CKovBaseDriver {
public:
    void SaveConnector(CConnector*) override {}
    bool init() override { return true; }
    ValueList get_all_curtime_cur_integ_values() override { return {}; }
    ValueList get_all_system_values() override { return {}; }
    bool GetTimestamps(ArchiveBounds&) override { return false; }
    int get_arch_values(int, int32_t, int32_t, ValueList&) override { return -1; }
};

#include "drivers/base/driver_factory.h"

#include <vector>

#include "drivers/base/kov_empty_driver.h"
#include "drivers/magika/magika_driver.h"
#include "drivers/vkt7/vkt7_driver.h"
#include "drivers/vkt9/vkt9_driver.h"

namespace kov {

CKovBaseDriver* CreateDriverFrom(std::span<const DriverRow> rows, const ParamMap& params,
                                 CConnector* connector, CJSONRPCConnector* link) {
    auto found = params.find("manufacturer");
    const std::string manufacturer = found == params.end() ? std::string() : found->second;
    CKovBaseDriver* driver = nullptr;
    for (const DriverRow& row : rows) {
        if (manufacturer == row.manufacturer) {
            driver = row.create(manufacturer);
            break;
        }
    }
    if (!driver) driver = new CKovEmptyDriver();
    driver->SetServiceLink(link);
    // Drivers build their link layer in SaveConnector from ledIndication.
    driver->ApplyPortOptions(params);
    driver->SaveConnector(connector);
    driver->Start(manufacturer);
    return driver;
}

}  // namespace kov

namespace {

// One row per supported meter; the first exact match wins. Rows look like
//   {"vkt-7", &kov::MakeDriver<Ckov_VKT7>},
//   {"tsm-104", &kov::MakeNamedDriver<CkovTEM106>},
const std::vector<kov::DriverRow> kDriverTable = {
    {"vkt-7", &kov::MakeDriver<Ckov_VKT7>},
    {"vkt-9", &kov::MakeDriver<Ckov_VKT9>},
    {"magika-axxx", &kov::MakeDriver<CkovMAGIKAAXXX>},
};

}  // namespace

CKovBaseDriver* CreateDriver(const ParamMap& params, CConnector* connector,
                             CJSONRPCConnector* link) {
    return kov::CreateDriverFrom(kDriverTable, params, connector, link);
}

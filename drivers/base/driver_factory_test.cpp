#include "drivers/base/driver_factory.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <typeinfo>
#include <utility>

#include "drivers/base/kov_empty_driver.h"

namespace {

// Records what the factory did to it, and when.
class ProbeDriver : public CKovEmptyDriver {
public:
    ProbeDriver() = default;
    explicit ProbeDriver(const std::string& m) : constructedWith(m) {}

    void SaveConnector(CConnector* c) override {
        connector = c;
        ledAtSave = LedIndication();
        linkAtSave = ServiceLink();
        startedAtSave = isStarted();
    }
    std::string constructedWith = "<none>";
    CConnector* connector = nullptr;
    CJSONRPCConnector* linkAtSave = nullptr;
    bool ledAtSave = true, startedAtSave = true;
};

class OtherProbe : public ProbeDriver {};

const kov::DriverRow kRows[] = {
    {"probe", &kov::MakeDriver<ProbeDriver>},
    {"probe-a", &kov::MakeNamedDriver<ProbeDriver>},
    {"probe-b", &kov::MakeNamedDriver<ProbeDriver>},
    {"other", &kov::MakeDriver<OtherProbe>},
    {"other", &kov::MakeDriver<ProbeDriver>},  // never reached: first match wins
};

// Neither pointer is ever used without a poll request.
CConnector* const kConnector = reinterpret_cast<CConnector*>(0x1000);
CJSONRPCConnector* const kLink = reinterpret_cast<CJSONRPCConnector*>(0x2000);

// As the daemon does at shutdown, a driver's thread is stopped before the
// driver is deleted: the thread calls the driver's virtual functions.
struct StopFirst {
    void operator()(CKovBaseDriver* d) const {
        d->Stop();
        delete d;
    }
};
using DriverPtr = std::unique_ptr<CKovBaseDriver, StopFirst>;

DriverPtr make(const ParamMap& params) {
    return DriverPtr(kov::CreateDriverFrom(kRows, params, kConnector, kLink));
}

TEST(DriverFactory, WiresInOrderAndStartsTheRowsClassNamedAfterTheManufacturer) {
    for (auto [maker, arg] : {std::pair{"probe", "<none>"}, {"probe-a", "probe-a"}, {"probe-b", "probe-b"}}) {
        auto d = make({{"manufacturer", maker}, {"led_indication", "0"}, {"port_alias", "serial485.4"}});
        auto* p = dynamic_cast<ProbeDriver*>(d.get());
        ASSERT_NE(nullptr, p) << maker;
        EXPECT_EQ(arg, p->constructedWith) << "shared-class rows receive their own manufacturer";
        EXPECT_EQ(kConnector, p->connector);
        EXPECT_FALSE(p->ledAtSave) << "options are applied before SaveConnector";
        EXPECT_EQ(kLink, p->linkAtSave);
        EXPECT_FALSE(p->startedAtSave) << "the thread starts last";
        EXPECT_TRUE(p->isStarted());
        EXPECT_EQ(maker, p->threadName());
        EXPECT_TRUE(p->PortAliasListed());
    }
    EXPECT_EQ(typeid(OtherProbe), typeid(*make({{"manufacturer", "other"}})));
}

TEST(DriverFactory, UnknownCaseVariantOrMissingManufacturerGiveTheEmptyDriver) {
    for (const char* m : {"Probe", "PROBE-A", "probe ", "", "no-such-meter", (const char*)nullptr}) {
        ParamMap params{{"period_current", "20"}};
        if (m) params["manufacturer"] = m;
        auto d = make(params);
        EXPECT_EQ(typeid(CKovEmptyDriver), typeid(*d)) << (m ? m : "no key");
        EXPECT_TRUE(d->isStarted());
        EXPECT_EQ(m ? m : "", d->threadName());
    }
    // The daemon's own table compares exactly too.
    DriverPtr d(CreateDriver({{"manufacturer", "VKT-7"}}, kConnector, kLink));
    EXPECT_EQ(typeid(CKovEmptyDriver), typeid(*d));
}

}  // namespace

#include "drivers/base/driver_factory.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "drivers/base/kov_base_driver.h"
#include "drivers/base/kov_empty_driver.h"

namespace {

// Records what the factory did to it, and when.
class ProbeDriver : public CKovBaseDriver {
public:
    ProbeDriver() = default;
    explicit ProbeDriver(const std::string& m) : constructedWith(m) {}
    ~ProbeDriver() override { Stop(); }

    void SaveConnector(CConnector* c) override {
        connector = c;
        ledAtSave = LedIndication();
        linkAtSave = ServiceLink();
        startedAtSave = isStarted();
    }
    bool init() override { return true; }
    ValueList get_all_curtime_cur_integ_values() override { return {}; }
    ValueList get_all_system_values() override { return {}; }
    bool GetTimestamps(ArchiveBounds&) override { return false; }
    int get_arch_values(int, int32_t, int32_t, ValueList&) override { return -1; }

    std::string constructedWith = "<none>";
    CConnector* connector = nullptr;
    bool ledAtSave = true;
    CJSONRPCConnector* linkAtSave = nullptr;
    bool startedAtSave = true;
};

class OtherProbe : public ProbeDriver {
public:
    using ProbeDriver::ProbeDriver;
};

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

std::unique_ptr<CKovBaseDriver> make(const ParamMap& params) {
    return std::unique_ptr<CKovBaseDriver>(kov::CreateDriverFrom(kRows, params, kConnector, kLink));
}

TEST(DriverFactory, WiresInOrderAndStartsTheThreadNamedAfterTheManufacturer) {
    auto d = make({{"manufacturer", "probe"}, {"led_indication", "0"}, {"port_alias", "serial485.4"}});
    auto* p = dynamic_cast<ProbeDriver*>(d.get());
    ASSERT_NE(nullptr, p);
    EXPECT_EQ("<none>", p->constructedWith);
    EXPECT_EQ(kConnector, p->connector);
    EXPECT_FALSE(p->ledAtSave) << "options are applied before SaveConnector";
    EXPECT_EQ(kLink, p->linkAtSave);
    EXPECT_FALSE(p->startedAtSave) << "the thread starts last";
    EXPECT_TRUE(p->isStarted());
    EXPECT_EQ("probe", p->threadName());
    EXPECT_TRUE(p->PortAliasListed());
    EXPECT_EQ("serial485.4", p->Params().at("port_alias"));
}

TEST(DriverFactory, SharedClassRowsReceiveTheirOwnManufacturer) {
    auto a = make({{"manufacturer", "probe-a"}});
    auto b = make({{"manufacturer", "probe-b"}});
    EXPECT_EQ("probe-a", dynamic_cast<ProbeDriver&>(*a).constructedWith);
    EXPECT_EQ("probe-b", dynamic_cast<ProbeDriver&>(*b).constructedWith);
    auto o = make({{"manufacturer", "other"}});
    EXPECT_NE(nullptr, dynamic_cast<OtherProbe*>(o.get()));
}

TEST(DriverFactory, UnknownCaseVariantOrMissingManufacturerGiveTheEmptyDriver) {
    for (const ParamMap& params : {ParamMap{{"manufacturer", "Probe"}}, ParamMap{{"manufacturer", "PROBE-A"}},
                                   ParamMap{{"manufacturer", "probe "}}, ParamMap{{"manufacturer", ""}},
                                   ParamMap{{"manufacturer", "no-such-meter"}}}) {
        auto d = make(params);
        EXPECT_NE(nullptr, dynamic_cast<CKovEmptyDriver*>(d.get())) << params.at("manufacturer");
        EXPECT_TRUE(d->isStarted());
        EXPECT_EQ(params.at("manufacturer"), d->threadName());
    }
    auto d = make({{"period_current", "20"}});
    EXPECT_NE(nullptr, dynamic_cast<CKovEmptyDriver*>(d.get()));
    EXPECT_TRUE(d->isStarted());
    EXPECT_EQ("", d->threadName());
}

TEST(DriverFactory, DaemonTableFallsBackToTheEmptyDriver) {
    std::unique_ptr<CKovBaseDriver> d(CreateDriver({{"manufacturer", "VKT-7"}}, kConnector, kLink));
    EXPECT_NE(nullptr, dynamic_cast<CKovEmptyDriver*>(d.get()));
    EXPECT_EQ("VKT-7", d->threadName());
}

}  // namespace

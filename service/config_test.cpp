// The configuration request through the real HTTP client against a local server.
#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

#include "service/http_client.h"
#include "service/jsonrpc_connector.h"
#include "service/path_root.h"
#include "tests/e2e/process.h"

namespace {

// A scripted service: each request is answered by the next reply function
// (the last one repeats); the request bodies are kept.
class Service {
public:
    using Reply = std::function<void(const httplib::Request&, httplib::Response&)>;
    explicit Service(std::vector<Reply> replies, int port = kovtest::FreePort())
        : port_(port), replies_(std::move(replies)) {}
    ~Service() { Stop(); }

    void Start() {
        server_.Post("/", [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard<std::mutex> g(m_);
            bodies_.push_back(req.body);
            size_t i = std::min(bodies_.size() - 1, replies_.size() - 1);
            replies_[i](req, res);
        });
        server_.bind_to_port("127.0.0.1", port_);
        thread_ = std::thread([this] { server_.listen_after_bind(); });
    }
    void Stop() {
        server_.stop();
        if (thread_.joinable()) thread_.join();
    }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }
    std::vector<std::string> Bodies() {
        std::lock_guard<std::mutex> g(m_);
        return bodies_;
    }

private:
    int port_;
    std::vector<Reply> replies_;
    httplib::Server server_;
    std::thread thread_;
    std::mutex m_;
    std::vector<std::string> bodies_;
};

Service::Reply json(const std::string& body, int status = 200) {
    return [body, status](const httplib::Request&, httplib::Response& res) {
        res.status = status;
        res.set_content(body, "application/json");
    };
}

Service::Reply result(const std::string& resultJson) {
    return json(R"({"jsonrpc":"2.0","id":1,"result":)" + resultJson + "}");
}

class Config : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kovcfg-XXXXXX";
        kov::SetPathRoot(mkdtemp(tmpl));
    }
    void TearDown() override { kov::SetPathRoot("/"); }

    std::list<PortConfig> Fetch(Service& s, const std::string& id = "17") {
        CJSONRPCConnector c(id, 0, s.Url());
        c.SetRetryDelayForTest(1);
        return c.GetInitParameters1();
    }
};

TEST_F(Config, PortAndDriverMapsFromTheResult) {
    Service s({result(R"({"manufacturer":"vkt-9","port_params":{"name":"/dev/ttyS1","speed":9600}})")});
    s.Start();
    auto cfg = Fetch(s);
    ASSERT_EQ(1u, cfg.size());
    EXPECT_EQ((ParamMap{{"name", "/dev/ttyS1"}, {"speed", "9600"}}), cfg.front().port);
    ASSERT_EQ(1u, cfg.front().drivers.size());
    EXPECT_EQ((ParamMap{{"manufacturer", "vkt-9"}, {"period_current", "5400"}}),
              cfg.front().drivers.front());
    EXPECT_EQ(
        "{\"id\":1,\"jsonrpc\":\"2.0\",\"method\":\"get_config\",\"params\":{\"heat_meter\":\"17\"}}\n",
        s.Bodies().at(0));
}

TEST_F(Config, PeriodDefaultsByManufacturer) {
    struct Case {
        std::string result, period, manufacturer;
    };
    for (const Case& c : std::vector<Case>{
             {R"({"manufacturer":"vkt-7"})", "43200", "vkt-7"},
             {R"({"manufacturer":"vkt-9","period_current":60})", "60", "vkt-9"},
             {R"({"manufacturer":"VKT-9"})", "20", "VKT-9"},
             {R"({"flag":true,"ratio":0.5,"none":null})", "20", ""},
         }) {
        Service s({result(c.result)});
        s.Start();
        auto d = Fetch(s).front().drivers.front();
        EXPECT_EQ(c.period, d["period_current"]) << c.result;
        ASSERT_EQ(1u, d.count("manufacturer")) << "a missing manufacturer is inserted empty";
        EXPECT_EQ(c.manufacturer, d["manufacturer"]);
    }
    Service s({result(R"({"flag":true,"ratio":0.5,"none":null,"list":[1,2],"port_params":{"a":[1]}})")});
    s.Start();
    auto pc = Fetch(s).front();
    EXPECT_EQ("true", pc.drivers.front()["flag"]);
    EXPECT_EQ("0.5", pc.drivers.front()["ratio"]);
    EXPECT_EQ("", pc.drivers.front()["none"]);
    EXPECT_EQ(0u, pc.drivers.front().count("list")) << "arrays have no text form";
    EXPECT_TRUE(pc.port.empty());
}

TEST_F(Config, SystemsAreJoinedSkippingEmptyNames) {
    Service s({result(R"({"manufacturer":"x","systems":{"system_1":"N1","system_2":"","system_3":"N3"}})")});
    s.Start();
    auto d = Fetch(s).front().drivers.front();
    EXPECT_EQ("N1;N3;", d["systems"]);
    EXPECT_EQ(0u, d.count("port_params"));
}

TEST_F(Config, ErrorReplyGivesAnEmptyConfiguration) {
    Service s({json(R"({"jsonrpc":"2.0","id":1,"error":{"code":-32602,"message":"unknown"}})")});
    s.Start();
    auto cfg = Fetch(s);
    ASSERT_EQ(1u, cfg.size());
    EXPECT_TRUE(cfg.front().port.empty());
    EXPECT_EQ((ParamMap{{"manufacturer", ""}, {"period_current", "20"}}), cfg.front().drivers.front());
}

TEST_F(Config, BadRepliesAreRetriedUntilOneParses) {
    std::string big(Json::Rpc::HttpClient::kMaxBody + 10, ' ');
    // Nested past the parser's depth limit, which JsonCpp reports by throwing.
    std::string deep = std::string(1100, '[') + std::string(1100, ']');
    Service s({json("this is not json"), json("{}", 500), json(big + "{}"), json(deep),
               result(R"({"manufacturer":"m"})")});
    s.Start();
    auto t0 = std::chrono::steady_clock::now();
    auto d = Fetch(s).front().drivers.front();
    EXPECT_EQ("m", d["manufacturer"]);
    EXPECT_EQ(5u, s.Bodies().size());
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::seconds(4));
    // Every attempt resends the same request text.
    for (const auto& b : s.Bodies()) EXPECT_EQ(s.Bodies().front(), b);
}

TEST_F(Config, ServiceComingUpLaterIsReached) {
    int port = kovtest::FreePort();
    Service s({result(R"({"manufacturer":"late"})")}, port);
    std::thread starter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        s.Start();
    });
    CJSONRPCConnector c("5", 0, s.Url());
    c.SetRetryDelayForTest(1);
    auto cfg = c.GetInitParameters1();
    starter.join();
    EXPECT_EQ("late", cfg.front().drivers.front()["manufacturer"]);
}

TEST_F(Config, RequestIdsCountPerClient) {
    Service s({result("{}")});
    s.Start();
    CJSONRPCConnector a("1", 0, s.Url()), b("2", 0, s.Url());
    Json::Value r;
    a.ExecJSONRPCFunc("get_config", Json::Value(), r);
    a.ExecJSONRPCFunc("ping", Json::Value(), r);
    b.ExecJSONRPCFunc("get_config", Json::Value(), r);
    a.ExecJSONRPCFunc("get_config", Json::Value(), r);
    auto bodies = s.Bodies();
    ASSERT_EQ(4u, bodies.size());
    // A null parameter value leaves "params" out.
    EXPECT_EQ("{\"id\":1,\"jsonrpc\":\"2.0\",\"method\":\"get_config\"}\n", bodies[0]);
    EXPECT_EQ("{\"id\":2,\"jsonrpc\":\"2.0\",\"method\":\"ping\"}\n", bodies[1]);
    EXPECT_EQ("{\"id\":1,\"jsonrpc\":\"2.0\",\"method\":\"get_config\"}\n", bodies[2]);
    EXPECT_EQ("{\"id\":3,\"jsonrpc\":\"2.0\",\"method\":\"get_config\"}\n", bodies[3]);
}

}  // namespace

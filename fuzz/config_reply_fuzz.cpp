// The configuration reply on arbitrary text: GetInitParameters1 with the
// service's answer replaced by the input. Text that does not parse is
// answered with "{}" on the retry, as a service that recovers would.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "service/jsonrpc_connector.h"

namespace {

class CannedReply : public CJSONRPCConnector {
public:
    CannedReply(const uint8_t* data, size_t size)
        : CJSONRPCConnector("7", 0), text_(reinterpret_cast<const char*>(data), size) {
        SetRetryDelayForTest(0);
    }

protected:
    int Exchange(const std::string&, std::string& reply) override {
        reply = calls_++ == 0 ? text_ : "{}";
        return 0;
    }

private:
    std::string text_;
    int calls_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kov::fuzz::InitEnvironment(0);
    CannedReply client(data, size);
    auto ports = client.GetInitParameters1();
    // One port map with one driver map, whatever the reply held.
    if (ports.size() != 1 || ports.front().drivers.size() != 1) __builtin_trap();
    if (ports.front().drivers.front().count("period_current") != 1) __builtin_trap();
    return 0;
}

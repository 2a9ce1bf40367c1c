// The VKT-9 link layer and driver (Modbus RTU framing, archive pages) on
// arbitrary replies: the input is the byte stream the meter sends during one
// driver session.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "fuzz/vkt9_session.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kov::fuzz::InitEnvironment(kov::fuzz::Vkt9Now());
    kov::fuzz::ReplayConnector line(data, size);
    kov::fuzz::RunVkt9Session(line);
    return 0;
}

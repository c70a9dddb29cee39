// The settings file from hostile bytes, in any property-list format. Whatever is accepted must be
// written back in binary and read to the same values.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "authservice/vek_config.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    std::string why;
    const std::optional<qel::vek::VekParams> params = qel::vek::VekConfig::decode(bytes, &why);
    if (!params) {
        if (why.empty()) std::abort();
        return 0;
    }
    const std::optional<qel::vek::VekParams> again =
        qel::vek::VekConfig::decode(qel::vek::VekConfig::encodeBinary(*params));
    if (!again || !(*again == *params)) std::abort();
    return 0;
}

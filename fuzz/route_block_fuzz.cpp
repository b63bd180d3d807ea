// Fuzzes the route block walk over an option area of hostile bytes, with and without names.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fakes/fake_platform.h"
#include "report/lines.h"
#include "support/inet.h"

// Input: recordRoutes (1 byte, -2 to 12), a flag byte (bit 0: resolve names), then the option
// area (at most 40 bytes; shorter areas are what the echo service hands over).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace quilvane;
    if (size < 2) return 0;
    int32_t recordRoutes = static_cast<int32_t>(data[0] % 15) - 2;
    bool resolveNames = (data[1] & 1) != 0;
    size_t length = std::min<size_t>(size - 2, 40);
    // An exact-size heap block: a read past the area is reported.
    auto* area = static_cast<uint8_t*>(std::malloc(length == 0 ? 1 : length));
    if (length != 0) std::memcpy(area, data + 2, length);

    std::string output;
    {
        testing::ScopedFakePlatform scoped;
        // Some hops have names, so that both forms are walked.
        scoped.fake.reverseNames[inetAddr("10.0.0.1")] = "gw.lab";
        scoped.fake.reverseNames[inetAddr("7.7.7.7")] = "seven.lab";
        printRouteBlock(area, length, recordRoutes, resolveNames);
        output = scoped.output;
    }
    std::free(area);

    // Every block starts with the label, and nothing is printed without a type byte 7 (one inside
    // another option, or behind the end of the options, prints nothing).
    bool hasType = std::memchr(data + 2, 7, length) != nullptr;
    if (!hasType && !output.empty()) std::abort();
    if (!output.empty() && output.rfind("\tRoute:  ", 0) != 0) std::abort();
    return 0;
}

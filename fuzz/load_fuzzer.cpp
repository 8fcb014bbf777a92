// libFuzzer entry point: see harness.hpp for the input format.
#include <cstdio>
#include <cstdlib>

#include "harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string problem = calvenor::fuzzing::loadCase(data, size);
    if (!problem.empty()) {
        std::fprintf(stderr, "calvenor fuzz: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}

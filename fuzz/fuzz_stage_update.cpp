// Staging of an arbitrary archive into an installation. Whether it stages or refuses, once
// the transaction has ended the installation is exactly as it was, and nothing beside it has
// changed.
#include "fuzz_support.h"
#include "stage_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tavrel::fuzz::stage_and_check(tavrel::fuzz::as_text(data, size));
    return 0;
}

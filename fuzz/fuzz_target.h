// The entry point every fuzz target defines, for libFuzzer or for the
// corpus replay program.
#ifndef REGISTRY_FUZZ_TARGET_H
#define REGISTRY_FUZZ_TARGET_H

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

#endif

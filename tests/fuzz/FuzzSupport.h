#pragma once

#include <cstddef>
#include <cstdint>

// Every fuzz target defines these two; a libFuzzer build drives them, other builds replay the seed
// corpus and the kept regressions through them (FuzzReplay.cpp).
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

#include "fuzz/fuzz_main.hpp"

ZOETRA_FUZZ_TARGET(ClipSource)

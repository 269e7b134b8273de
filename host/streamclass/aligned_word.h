// The storage unit of the class's and the client's buffers.
#pragma once

#include <cstdint>

namespace nimbra::host {

// 16-byte aligned, and all zero when value-initialised (std::max_align_t is not: its long
// double leaves padding bytes).
struct alignas(16) AlignedWord {
    uint64_t low;
    uint64_t high;
};

}  // namespace nimbra::host

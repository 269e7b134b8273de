// Shared pieces of the decoder's fuzz targets: one decoder record for the process, the
// camera header template, and the leak check after every input.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "host/kernel/host_kernel.h"
#include "jpeg/jpeg_decoder.h"
#include "platform/nt_pool.h"

namespace fuzz {

inline JpegDecoder* Decoder()
{
    static JpegDecoder* d = static_cast<JpegDecoder*>(ExAllocatePool(NonPagedPool, sizeof(JpegDecoder)));
    return d;
}

// The camera's 624-byte header template (SOI .. SOS), built once with the tests' helper.
const uint8_t* CameraHeader();
ULONG CameraHeaderLength();

// Aborts (a fuzzer crash) when a decode left pool blocks behind.
inline void CheckNoLeak()
{
    if (nimbra::host::GetPoolStats().liveBlocks != 1) {  // the decoder record
        std::abort();
    }
}

}  // namespace fuzz

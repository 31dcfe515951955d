#pragma once
// The chunk: the bytes one receive tick works on, kept in a fixed buffer with a NUL
// after them so the NMEA parser may read them as text.
#include <cstdint>

#include "link/usb_link.h"

namespace ostrel {

// A tick takes at most what RxBuffer holds.
inline constexpr int32_t kChunkBufferSize = kRxBufferSize;
inline constexpr int32_t kMaxChunk = kChunkBufferSize - 1;  // one byte for the NUL

}  // namespace ostrel

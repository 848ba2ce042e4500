// Every resource limit of the core, in one place. Each is far above what any
// real file needs, and each keeps a hostile file from exhausting the stack,
// memory or time of the caller's process.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quarvel::limits {

// Nesting of arrays and dictionaries in object syntax. Real files nest a
// handful of levels; 512 frames of the recursive parser stay far below any
// thread's stack, worker threads included.
inline constexpr std::size_t kMaxObjectDepth = 512;

// Nesting of arrays in content streams (TJ arrays are one level deep).
inline constexpr std::size_t kMaxContentArrayDepth = 256;

// Bytes one filter may produce from one stream. The largest real images
// decode to some tens of MiB; a decompression bomb stops here instead of
// taking gigabytes from the caller.
inline constexpr std::size_t kMaxDecodedBytes = std::size_t{256} << 20;

// Content operators executed for one page, forms included. Dense vector
// pages run to a few million; a form drawn thousands of times by forms drawn
// thousands of times stops here and keeps what it emitted.
inline constexpr std::uint64_t kMaxOperatorsPerPage = 20'000'000;

// Codes a CID width range can describe: codes are at most two bytes, so no
// range needs widths for more than 65536 codes.
inline constexpr std::uint32_t kMaxCidRangeCodes = 65536;

} // namespace quarvel::limits

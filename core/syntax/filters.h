// Stream filters: a raw stream body to decoded bytes. No decode parameters
// are read; unknown filters (image codecs among them) pass data through.
//
// Every decoder stops at `max_output` bytes (limits::kMaxDecodedBytes unless
// a caller asks for less): Flate fails past it like any corrupt stream, the
// others return their output cut at the cap.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "syntax/error.h"
#include "resource_limits.h"
#include "syntax/types.h"

namespace quarvel {

// Applies the filter chain named by `filter` (the value of the first /Filter
// entry: a Name, an Array of names, anything else meaning none).
Result<std::string> decompress_stream(std::string_view data, const PdfObject& filter,
                                      std::size_t max_output = limits::kMaxDecodedBytes);
Result<std::string> apply_single_filter(std::string_view data, std::string_view name,
                                        std::size_t max_output = limits::kMaxDecodedBytes);

Result<std::string> decompress_flate(std::string_view data,
                                     std::size_t max_output = limits::kMaxDecodedBytes);
std::string decompress_lzw(std::string_view data,
                           std::size_t max_output = limits::kMaxDecodedBytes);
Result<std::string> decode_ascii85(std::string_view data,
                                   std::size_t max_output = limits::kMaxDecodedBytes);
std::string decode_ascii_hex(std::string_view data,
                             std::size_t max_output = limits::kMaxDecodedBytes);
Result<std::string> decode_run_length(std::string_view data,
                                      std::size_t max_output = limits::kMaxDecodedBytes);

} // namespace quarvel

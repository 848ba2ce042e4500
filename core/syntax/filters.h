// Stream filters: a raw stream body to decoded bytes. The compact reader
// reads no decode parameters; the full reader's chain (`decode_filters`)
// applies /DecodeParms and predictors. Unknown filters (image codecs among
// them) pass data through.
//
// Every decoder stops at `max_output` bytes (limits::kMaxDecodedBytes unless
// a caller asks for less): Flate fails past it like any corrupt stream, the
// others return their output cut at the cap.
#pragma once

#include <cstddef>
#include <cstdint>
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

// How decompress_flate treats a damaged stream.
enum class FlateDamage : std::uint8_t {
    Fail,      // a bad checksum or corrupt data fails the stream
    KeepWhatInflated, // what inflated before the damage is the result; data
                      // without a zlib header is tried as raw deflate
};
Result<std::string> decompress_flate(std::string_view data,
                                     std::size_t max_output = limits::kMaxDecodedBytes,
                                     FlateDamage damage = FlateDamage::Fail);
// `early_change` 0 widens codes when the table fills (the compact reader's
// reading); 1, the default of PDF's /EarlyChange, one entry before.
std::string decompress_lzw(std::string_view data,
                           std::size_t max_output = limits::kMaxDecodedBytes,
                           int early_change = 0);
Result<std::string> decode_ascii85(std::string_view data,
                                   std::size_t max_output = limits::kMaxDecodedBytes);
std::string decode_ascii_hex(std::string_view data,
                             std::size_t max_output = limits::kMaxDecodedBytes);
Result<std::string> decode_run_length(std::string_view data,
                                      std::size_t max_output = limits::kMaxDecodedBytes);

// The decode parameters of one filter stage that change its output.
struct FilterParams {
    std::int64_t predictor = 1;
    std::int64_t colors = 1;
    std::int64_t bits_per_component = 8;
    std::int64_t columns = 1;
    std::int64_t early_change = 1;
};
// The parameters in a /DecodeParms dictionary; defaults for anything else
// (null, a reference the caller did not resolve).
FilterParams filter_params(const PdfObject* parms);

// Undoes a PNG (10-15) or TIFF (2) predictor. Rows wider than
// limits::kMaxPredictorRowBytes, or parameters outside what the format
// allows, leave the data as it is; a last partial row is kept undecoded.
std::string apply_predictor(std::string data, const FilterParams& params);

// The full reader's chain: `filter` (a name or an array of names) with
// `parms` (a dictionary, or an array of them beside an array of filters,
// null entries meaning defaults). Flate data that is damaged keeps what
// inflated; LZW honours /EarlyChange; predictors follow Flate and LZW.
// Both values must already be resolved: references count as absent.
Result<std::string> decode_filters(std::string_view data, const PdfObject* filter,
                                   const PdfObject* parms,
                                   std::size_t max_output = limits::kMaxDecodedBytes);

} // namespace quarvel

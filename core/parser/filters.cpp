#include "parser/filters.h"

namespace quarvel {

Result<std::string> decompress_stream(std::string_view data, const PdfObject&) {
    return std::string(data);
}
Result<std::string> apply_single_filter(std::string_view data, std::string_view) {
    return std::string(data);
}
Result<std::string> decompress_flate(std::string_view) {
    return ParseError::other("flate decompression failed");
}
std::string decompress_lzw(std::string_view) { return {}; }
Result<std::string> decode_ascii85(std::string_view) { return std::string(); }
std::string decode_ascii_hex(std::string_view) { return {}; }
Result<std::string> decode_run_length(std::string_view) { return std::string(); }

} // namespace quarvel

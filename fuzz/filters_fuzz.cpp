// The filter chain: the first byte picks up to three filters (two bits each
// selecting FlateDecode, LZWDecode, ASCII85Decode, ASCIIHexDecode, and the
// fifth, RunLengthDecode, via the high bits), the rest is the stream body.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "syntax/filters.h"
#include "syntax/types.h"

namespace {

constexpr std::string_view kFilters[] = {
    "FlateDecode",     "LZWDecode", "ASCII85Decode", "ASCIIHexDecode",
    "RunLengthDecode", "Fl",        "DCTDecode",     "AHx",
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t selector = data[0];
    const std::string_view body(reinterpret_cast<const char*>(data) + 1, size - 1);

    const unsigned count = 1 + selector % 3;
    std::vector<quarvel::PdfObject> names;
    unsigned bits = selector >> 2;
    for (unsigned i = 0; i < count; ++i) {
        names.push_back(quarvel::PdfObject::name(kFilters[bits % 8]));
        bits = (bits / 8) ^ (i + 5);
    }
    auto chain = quarvel::decompress_stream(body, quarvel::PdfObject::array(names));
    (void)chain;
    // A lone name goes through the same chain as a one-element array.
    auto single = quarvel::decompress_stream(body, names.front());
    (void)single;
    (void)quarvel::apply_single_filter(body, kFilters[selector % 8]);
    return 0;
}

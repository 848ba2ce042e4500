// Embedded Type 1 font programs: the input is the /FontFile stream (clear
// text, possibly PFB-segmented), read for its built-in encoding.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fonts/type1.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    (void)quarvel::parse_type1_encoding(bytes);
    return 0;
}

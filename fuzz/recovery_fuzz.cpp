// The recovery scan over arbitrary bytes, and its dictionary scanner at
// every `obj` keyword it could meet.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "file/recovery.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    auto section = quarvel::recover_xref_by_scan(bytes);
    (void)section;
    for (std::size_t pos = bytes.find("obj"); pos != std::string_view::npos;
         pos = bytes.find("obj", pos + 1)) {
        (void)quarvel::try_parse_object_at(bytes, pos);
    }
    return 0;
}

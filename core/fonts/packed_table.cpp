#include "fonts/packed_table.h"

#include <zlib.h>

#include <utility>

namespace quarvel {

std::vector<unsigned char> inflate_packed_table(std::span<const unsigned char> packed,
                                                std::size_t size) {
    std::vector<unsigned char> out(size);
    uLongf out_len = static_cast<uLongf>(size);
    if (!std::in_range<uLongf>(size) || !std::in_range<uLong>(packed.size()) ||
        uncompress(out.data(), &out_len, packed.data(), static_cast<uLong>(packed.size())) !=
            Z_OK ||
        out_len != size) {
        return {};
    }
    return out;
}

} // namespace quarvel

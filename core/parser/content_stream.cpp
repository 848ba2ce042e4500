#include "parser/content_stream.h"

namespace quarvel {

Matrix Matrix::mul(const Matrix&) const { return *this; }
ContentResult scan_content_stream_full(std::string_view, const FontMap&, const XObjectMap&,
                                       unsigned) {
    return {};
}

} // namespace quarvel

// The cross-reference readers: startxref, then the classic table or, when an
// object stands there, the cross-reference stream (decoded through its
// filters as the document does), and the object-stream reader over the same
// bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "syntax/arena.h"
#include "file/document.h"
#include "syntax/filters.h"
#include "syntax/object.h"
#include "file/xref.h"
#include "syntax/types.h"

namespace {

void read_stream_at(std::string_view bytes, std::size_t offset, quarvel::Arena& arena) {
    auto raw = quarvel::parse_object_stream_raw(bytes, offset, arena);
    if (!raw.ok()) return;
    const quarvel::PdfObject* filter = quarvel::dict_get(raw->dict, "Filter");
    auto decoded = quarvel::decompress_stream(raw->body, filter ? *filter : quarvel::PdfObject());
    if (!decoded.ok()) return;
    auto section = quarvel::parse_xref_stream_obj(raw->dict, *decoded);
    (void)section;
    const std::string_view body = arena.store(std::move(decoded).value());
    auto objects = quarvel::parse_objstm(raw->dict, body, arena);
    (void)objects;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    quarvel::Arena arena;
    auto start = quarvel::find_startxref(bytes);
    if (start.ok()) {
        auto table = quarvel::parse_xref_table(bytes, *start, arena);
        if (!table.ok()) read_stream_at(bytes, *start, arena);
    }
    // The same readers from the top of the input, so short inputs reach them
    // without a startxref line.
    auto table = quarvel::parse_xref_table(bytes, 0, arena);
    (void)table;
    read_stream_at(bytes, 0, arena);

    quarvel::Cursor cur(bytes, arena);
    auto trailer = quarvel::parse_object(cur);
    if (trailer.ok() && trailer->is_dict()) {
        auto fields = quarvel::extract_trailer_fields(trailer->dict());
        (void)fields;
    }
    return 0;
}

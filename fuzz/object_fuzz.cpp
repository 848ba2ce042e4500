// The object parser over arbitrary bytes: one object after another, as the
// cross-reference and object-stream readers call it, attaching a stream body
// where `stream` follows a dictionary.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "syntax/arena.h"
#include "syntax/object.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    quarvel::Arena arena;
    quarvel::Cursor cur(bytes, arena);
    // Every successful parse consumes at least one byte, so this ends; the
    // bound is only a guard against a parser that stops advancing.
    for (std::size_t n = 0; n <= size; ++n) {
        const std::size_t before = cur.pos;
        auto obj = quarvel::parse_object(cur);
        if (!obj.ok()) break;
        if (obj->is_dict()) {
            cur.skip_ws();
            if (cur.starts_with("stream")) {
                auto stream = quarvel::parse_stream(cur, obj->dict());
                if (!stream.ok()) break;
                (void)stream->get("Length");
            }
        }
        (void)obj->get("Type");
        if (cur.pos <= before || cur.at_end()) break;
    }
    return 0;
}

// The standard security handler: the input starts with an /Encrypt
// dictionary and a file identifier (a string, or an array whose first
// element is one), both in object syntax; the handler is opened with no
// password and with the two the seeds were made with, and the objects that
// follow (streams included) are decrypted with every handler that opened.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "crypt/security_handler.h"
#include "syntax/object.h"
#include "syntax/string_bytes.h"

namespace {

std::string file_id_of(const quarvel::PdfObject& id) {
    if (id.is_array() && !id.as_array().empty()) return quarvel::string_bytes(id.as_array()[0]);
    return quarvel::string_bytes(id);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quarvel;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    Arena arena;
    Cursor cur(bytes, arena);
    Result<PdfObject> encrypt = parse_object(cur);
    if (!encrypt.ok()) return 0;
    Result<PdfObject> id = parse_object(cur);
    const std::string file_id = id.ok() ? file_id_of(*id) : std::string();
    const std::size_t rest_at = cur.pos;

    std::vector<std::unique_ptr<SecurityHandler>> handlers;
    for (const std::optional<std::string_view> pw :
         {std::optional<std::string_view>(), std::optional<std::string_view>("usr"),
          std::optional<std::string_view>("own")}) {
        auto h = SecurityHandler::open(*encrypt, file_id, pw);
        if (h.ok()) handlers.push_back(std::move(*h));
    }

    const std::string_view rest = bytes.substr(rest_at);
    for (const auto& h : handlers) {
        (void)h->decrypt_string(rest, ObjectId{static_cast<std::uint32_t>(size), 0});
        Cursor objects(bytes, arena, rest_at);
        for (std::uint32_t n = 1; n <= 16 && !objects.at_end(); ++n) {
            Result<PdfObject> obj = parse_object(objects);
            if (!obj.ok()) break;
            objects.skip_ws();
            if (obj->is_dict() && objects.starts_with("stream")) {
                obj = parse_stream(objects, std::move(obj->dict()));
                if (!obj.ok()) break;
            }
            decrypt_object(*obj, ObjectId{n, static_cast<std::uint16_t>(n)}, *h, arena);
        }
    }
    return 0;
}

// The full reader's font records: the input is a PDF opened with the full
// reading options; every page's fonts are built (encodings, font programs,
// ToUnicode and encoding CMaps, CID paths) and the input's own bytes are cut
// into codes and decoded through each, with widths.
#include <cstddef>
#include <cstdint>
#include <string>

#include "file/document.h"
#include "fonts/font.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    auto doc = quarvel::Document::from_mmap(quarvel::Mapping::from_bytes(bytes),
                                            quarvel::ReadOptions::full_reader());
    if (!doc.ok()) return 0;
    const quarvel::Document& document = **doc;
    auto pages = document.page_refs();
    if (!pages.ok()) return 0;
    const std::string_view probe = std::string_view(bytes).substr(0, 256);
    for (const quarvel::ObjectId& id : *pages) {
        auto page = document.get_object(id.num);
        if (!page.ok() || !page.value()) continue;
        const quarvel::PdfObject* resources = page.value()->get("Resources");
        if (!resources) continue;
        const quarvel::ObjectPtr resolved = document.resolve(*resources);
        if (!resolved) continue;
        for (const auto& [name, font] : quarvel::build_font_map(*resolved, document)) {
            std::u32string text;
            std::string_view rest = probe;
            while (!rest.empty()) {
                const std::size_t n = font->code_length(rest);
                if (n == 0 || n > rest.size()) __builtin_trap();
                font->append_text(rest.substr(0, n), text);
                std::uint32_t code = 0;
                for (std::size_t k = 0; k < n && k < 4; ++k) {
                    code = code << 8 | static_cast<std::uint8_t>(rest[k]);
                }
                (void)font->full_width(code);
                rest.remove_prefix(n);
            }
        }
    }
    return 0;
}

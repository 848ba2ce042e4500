// The full reader's cross-reference chain (startxref, /Prev, /XRefStm,
// offsets searched for nearby) and its recovery scan that indexes object
// streams, through a whole document opened by the full reader.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "file/document.h"
#include "file/xref_chain.h"
#include "read_options.h"
#include "syntax/arena.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    quarvel::Arena arena;
    auto chain = quarvel::read_xref_chain(bytes, arena);
    (void)chain;
    auto document = quarvel::Document::from_mmap(quarvel::Mapping::from_bytes(std::string(bytes)),
                                                 quarvel::ReadOptions::full_reader());
    if (document.ok()) {
        auto pages = (*document)->page_refs();
        if (pages.ok()) {
            for (const quarvel::ObjectId& id : *pages) {
                auto page = (*document)->get_object(id.num);
                (void)page;
            }
        }
    }
    return 0;
}

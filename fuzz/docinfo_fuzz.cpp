// Document facts from memory with the full reader: metadata (Info and the
// XMP scan), outline, page labels, page geometry, form fields, and internal
// links; the date and XMP readers also take the raw input.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "docinfo/document_info.h"
#include "docinfo/text_string.h"
#include "extract/links.h"
#include "file/document.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    (void)quarvel::docinfo::pdf_date_iso(bytes);
    (void)quarvel::docinfo::xmp_date_iso(bytes);
    (void)quarvel::docinfo::decode_text_string(bytes);
    (void)quarvel::docinfo::metadata_from_xmp(bytes);

    auto doc = quarvel::Document::from_mmap(quarvel::Mapping::from_bytes(std::string(bytes)),
                                            quarvel::ReadOptions::full_reader());
    if (!doc.ok()) return 0;
    auto info = quarvel::docinfo::read_document_info(**doc);
    (void)info;
    auto links = quarvel::links::extract_links(**doc, true);
    (void)links;
    return 0;
}

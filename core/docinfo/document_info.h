// What a document says about itself, read from its catalogue, Info
// dictionary, XMP packet, page tree and form, without interpreting any page
// content: one call gives the whole value.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "docinfo/outline.h"
#include "file/document.h"

namespace quarvel::docinfo {

struct Metadata {
    std::optional<std::string> title, author, subject, keywords, creator, producer;
    // ISO 8601, or nothing when the date is missing or does not parse.
    std::optional<std::string> creation_date, mod_date;
    // The dates as written, whether they parsed or not.
    std::optional<std::string> raw_creation_date, raw_mod_date;
};

struct PageFacts {
    double width = 0, height = 0; // of the crop box, as the page is shown
    int rotation = 0;             // 0, 90, 180 or 270
    std::array<double, 4> mediabox{};
    std::array<double, 4> cropbox{};
};

enum class FieldType : std::uint8_t { Text, Button, Choice, Signature, Unknown };

struct FormField {
    std::string name; // fully qualified: the /T of each ancestor, joined by dots
    FieldType type = FieldType::Unknown;
    std::optional<std::string> value;
    std::optional<std::uint32_t> page; // of the field's first widget
};

struct DocumentInfo {
    std::size_t page_count = 0;
    std::string pdf_version; // "1.7"; empty when neither header nor catalogue says
    bool encrypted = false;
    bool tagged = false;
    std::optional<std::string> language;
    Metadata metadata;
    std::vector<OutlineEntry> outline;
    std::optional<std::vector<std::string>> page_labels;
    std::vector<PageFacts> pages;
    std::vector<FormField> fields;
};

// The Info dictionary's facts, else (when it is missing or says nothing)
// those of the XMP packet.
Metadata read_metadata(const Document& document);

// The facts the XMP packet `xmp` gives, read with a bounded scan of its
// text (no XML parser, no entity expansion beyond the five predefined
// entities and character references).
Metadata metadata_from_xmp(std::string_view xmp);

// Every terminal field of the interactive form, in /Fields order, depth
// first; at most limits::kMaxFormFields.
std::vector<FormField> read_form_fields(const Document& document, const Destinations& destinations);

// Every fact at once. Fails only where the document cannot be read at all
// (its page tree is unreadable); a broken outline, label tree or form gives
// what could be read.
Result<DocumentInfo> read_document_info(const Document& document);

} // namespace quarvel::docinfo

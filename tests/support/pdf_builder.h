// Writes exact PDF bytes for tests: objects in the order they are added,
// streams with chosen filters, a classic cross-reference table or an
// uncompressed cross-reference stream with correct offsets, the trailer, and
// deliberately broken variants.
//
//   PdfBuilder b;
//   b.object(1, "<< /Type /Catalog /Pages 2 0 R >>")
//    .object(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>")
//    .object(3, "<< /Type /Page /Parent 2 0 R /Contents 4 0 R >>")
//    .stream(4, "", "BT (Hi) Tj ET");
//   std::string pdf = b.build();
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quarvel::testing {

// Encoders for stream bodies.
std::string flate(std::string_view data);       // zlib format
std::string ascii_hex(std::string_view data);   // with a closing >
std::string ascii85(std::string_view data);     // with a closing ~>
std::string run_length(std::string_view data);  // literal runs and EOD
std::string lzw(std::string_view data);         // 9-12 bit codes, clear first, EOD last

enum class XrefStyle {
    Table,  // classic xref table
    Stream, // uncompressed cross-reference stream object
    None,   // no cross-reference section (startxref points nowhere useful)
};

struct BuildOptions {
    XrefStyle xref = XrefStyle::Table;
    // Trailer entries; default "/Size N /Root 1 0 R". For XrefStyle::Stream
    // they go into the stream dictionary.
    std::optional<std::string> trailer;
    // Extra trailer entries appended after the default ones (/Info, /Encrypt).
    std::string trailer_extra;
    // Replaces the number written after `startxref`.
    std::optional<std::string> startxref;
    // Omits the `startxref` keyword (and what follows) entirely.
    bool omit_startxref = false;
    // Adds this to every offset written in the table (to break it).
    std::int64_t offset_shift = 0;
    // Object numbers left out of the table (listed as free).
    std::vector<std::uint32_t> omit_from_xref;
    // Line end used inside table entries: "\r\n" (20-byte entries) or " \n".
    std::string entry_eol = " \n";
};

class PdfBuilder {
  public:
    // An indirect object "num gen obj <body> endobj".
    PdfBuilder& object(std::uint32_t num, std::string body, std::uint16_t gen = 0);
    // A stream object; `dict_entries` go inside << >> beside the /Length that
    // is written for `data` (unless `length` overrides it with any text,
    // e.g. "5 0 R" or "-3").
    PdfBuilder& stream(std::uint32_t num, std::string dict_entries, std::string data,
                       std::optional<std::string> length = std::nullopt);
    // A stream whose data is encoded with `filter` ("FlateDecode",
    // "ASCIIHexDecode", "ASCII85Decode", "RunLengthDecode", "LZWDecode").
    PdfBuilder& filtered_stream(std::uint32_t num, std::string dict_entries, std::string_view data,
                                std::string_view filter);
    // An object stream `num` packing `objects` (number, text) in order, its
    // body encoded with `filter` ("" for none); `dict_entries` go beside
    // /Type /ObjStm /N /First. With XrefStyle::Stream the packed objects are
    // listed as compressed entries; a classic table lists them as free.
    PdfBuilder& object_stream(std::uint32_t num,
                              std::vector<std::pair<std::uint32_t, std::string>> objects,
                              std::string_view filter = "FlateDecode",
                              std::string dict_entries = "");
    // Arbitrary bytes at this point of the body.
    PdfBuilder& raw(std::string bytes);

    std::string build(const BuildOptions& options = {}) const;

    // Offset of an object's header in the last build().
    std::size_t offset_of(std::uint32_t num) const;
    std::uint32_t max_object_number() const;

  private:
    struct Item {
        std::optional<std::uint32_t> num;
        std::uint16_t gen = 0;
        std::string text;
    };
    std::vector<Item> items_;
    // Packed object number -> (object stream number, index in it).
    std::map<std::uint32_t, std::pair<std::uint32_t, std::uint16_t>> compressed_;
    mutable std::map<std::uint32_t, std::size_t> offsets_;
};

// A complete document: catalogue 1, page tree 2, one page per content string
// (pages 3, 5, 7, ... with their content streams 4, 6, 8, ...), and the given
// /Resources text on every page (e.g. "<< /Font << /F1 20 0 R >> >>").
PdfBuilder simple_document(const std::vector<std::string>& page_contents,
                           const std::string& resources = "");

// Writes bytes to a fresh temporary file and returns its path; removed when
// the process exits.
std::string write_temp_file(std::string_view bytes, std::string_view suffix = ".pdf");

} // namespace quarvel::testing

// Fonts: a page's font resources as a font map, ToUnicode CMaps, and turning
// character codes into Unicode characters and widths.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "fonts/font_style.h"
#include "fonts/truetype.h"
#include "read_options.h"
#include "syntax/types.h"

namespace quarvel {

class Document;

// Hashes byte strings and byte views alike, so that a code cut from a shown
// string is looked up without building a heap string from it.
struct BytesHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept {
        return std::hash<std::string_view>{}(s);
    }
};

// A ToUnicode map: code bytes to destination bytes (UTF-16BE by convention).
struct CMap {
    struct Range {
        std::string low, high, dest;
    };
    // bfchar pairs; they win over ranges whatever their order in the stream.
    std::unordered_map<std::string, std::string, BytesHash, std::equal_to<>> char_map;
    std::vector<Range> ranges; // in stream order; the first match wins

    // For maps with many ranges, parse_cmap records which range each one-
    // and two-byte code falls in, so that a lookup does not scan them all.
    // It is used only while `ranges` still has the size and storage it was
    // built for; code that edits `ranges` in place must reset it.
    struct RangeIndex;
    std::shared_ptr<const RangeIndex> range_index;

    // The destination bytes for `code`, or nothing.
    std::optional<std::string> lookup(std::string_view code) const;

    // The character `lookup` would give through `decode_destination`, found
    // without allocating: nothing when no entry matches or the destination
    // is not one character.
    std::optional<char32_t> lookup_char(std::string_view code) const;

    // --- read only by the full reader (parse_cmap with the full options) ---
    // Codespace ranges: bounds of each byte of a code of `length` bytes.
    struct Codespace {
        std::uint8_t length = 0;
        std::array<std::uint8_t, 4> low{}, high{};
    };
    std::vector<Codespace> codespace;
    // cidrange and cidchar entries of an encoding CMap (cidchar as a range
    // of one code), in stream order.
    struct CidRange {
        std::uint8_t length = 0;
        std::uint32_t low = 0, high = 0, cid = 0;
    };
    std::vector<CidRange> cid_ranges;
    std::string usecmap; // the name after /... usecmap
    bool vertical = false; // /WMode 1

    // All the characters of the destination of `code` (ligatures,
    // decompositions, surrogate pairs); nothing when no entry matches or the
    // destination holds no character.
    std::optional<std::u32string> lookup_text(std::string_view code) const;
};

// Destination bytes as text: UTF-16BE, one byte, or a 24-bit scalar value;
// NUL and unpaired surrogates dropped.
std::u32string destination_text(std::string_view dest);

// ToUnicode destination bytes as one character: one byte, UTF-16BE (one unit
// or a surrogate pair), or a plain 24- or 32-bit scalar value; nothing for
// any other shape.
std::optional<char32_t> decode_destination(std::string_view dest);

CMap parse_cmap(std::string_view bytes);
// The full reader's parse: bfrange arrays, codespace ranges, cidchar and
// cidrange, usecmap and /WMode too; with the specified options, parse_cmap.
CMap parse_cmap(std::string_view bytes, const ReadOptions& options);
std::string parse_hex_tokens(std::string_view token);
std::optional<std::size_t> find_token(std::string_view text, std::size_t from,
                                      std::string_view token);

struct CIDWidthRange {
    std::uint32_t start = 0;
    std::vector<double> widths; // width of code start + i
};

struct CIDFontInfo {
    std::string base_font;
    std::string subtype;
    double default_width = 1000.0;
    // Stable-sorted by start. A range of the c_first c_last w form holds
    // widths only for the codes a lookup can reach: two-byte codes below the
    // next larger start (none when a later range has the same start).
    std::vector<CIDWidthRange> widths;
    std::string cid_to_gid_map;
    std::optional<std::pair<double, double>> dw2;
    std::vector<double> w2;
};

// A Type0 font's codespace ranges (defined by the full reader's font code).
struct CodeSpace;
// Identity: two-byte codes that are their own CIDs.
std::shared_ptr<const CodeSpace> identity_code_space();

struct FontInfo {
    std::string base_font = "Unknown";
    bool is_type0 = false;
    std::optional<std::string> encoding;
    std::vector<double> widths; // indexed by code directly
    double default_width = 1000.0;
    // Glyph names of the encoding's differences, by code; present only when
    // it holds at least one entry.
    std::optional<std::unordered_map<std::uint8_t, std::string>> differences;
    // The character each of those glyph names stands for, by code; empty
    // where the code has no entry or its name stands for no character.
    // Filled with `differences` by set_differences, so that decoding text
    // looks up no glyph names.
    std::array<std::optional<char32_t>, 256> difference_chars{};
    std::optional<CMap> to_unicode;
    std::optional<CIDFontInfo> cid_font;

    // One code of one or two bytes to one Unicode scalar value (U+FFFD when
    // undecodable): ToUnicode, then the differences' glyph name, then the
    // byte itself.
    char32_t decode_char(std::string_view code) const;

    // Sets `differences` (absent when `names` is empty) and the characters
    // of its glyph names.
    void set_differences(std::unordered_map<std::uint8_t, std::string> names);

    // The width of `code` in thousandths of text space, by the width rule.
    double glyph_width(std::uint32_t code) const;

    // --- the full reader's decoding ------------------------------------------
    // Filled by build_font_map when the document is read by the full reader;
    // the compact reader never reads these.
    struct Full {
        // Characters of each code, for simple fonts (one byte a code): the
        // encoding (built-in, base, /Differences, the font program's own),
        // ToUnicode over it. Empty text means undecodable.
        std::array<std::u32string, 256> simple_text;
        // Type0: bytes a code takes, by the CMap's codespace ranges (2 for
        // Identity). Null for simple fonts.
        std::shared_ptr<const CodeSpace> code_space;
        // Widths in thousandths of glyph space, by code (simple fonts; the
        // standard 14 fonts' metrics where /Widths is missing).
        std::vector<double> widths;
        double missing_width = 0;
        // Vertical extent of the glyphs in thousandths of glyph space
        // (/FontBBox or /Ascent and /Descent; 0 when unknown).
        double ascent = 0;
        double descent = 0;
        // Glyph space to text space: 0.001 scale for all but Type 3 fonts.
        std::array<double, 6> font_matrix{0.001, 0, 0, 0.001, 0, 0};
        bool vertical = false; // Type0 with a -V CMap
        // span_flags bits of the face (italic, serif, monospaced, bold),
        // from font_style.
        std::uint8_t style = 0;

        // Type0 fonts: what a code's CID and characters are found through
        // when ToUnicode has no entry for it.
        std::shared_ptr<const CMap> to_unicode; // ToUnicode, parsed in full
        std::string collection;                 // "Adobe-Japan1", ... or ""
        CIDFontInfo cid;                        // /W and /DW, by CID
        // The embedded TrueType program (CIDFontType2): CID to glyph by
        // /CIDToGIDMap (identity when empty), glyph to character by its
        // cmap or post table. `truetype` borrows `program`.
        std::shared_ptr<const std::string> program;
        std::optional<TrueTypeFont> truetype;
        std::vector<std::uint16_t> cid_to_gid;
        // Type0 fonts: names this record in each thread's cache of decoded
        // codes (text_and_width); unique in the process, never 0.
        std::uint64_t serial = 0;
    };
    std::shared_ptr<const Full> full;

    // How many bytes the code at the start of `bytes` takes: the codespace
    // of a Type0 font's CMap for the full reader, else 2 for Type0 fonts and
    // 1 for simple ones. At least 1 and at most bytes.size() when non-empty.
    std::size_t code_length(std::string_view bytes) const;

    // The characters `code` stands for (several for ligatures and
    // decompositions), appended to `out`; U+FFFD when undecodable. The full
    // reader's decoding when `full` is set, else decode_char.
    void append_text(std::string_view code, std::u32string& out) const;
    // The same characters as a view: of the font's own table where it has
    // one (simple fonts read by the full reader), else of `scratch`, which
    // append_text fills afresh.
    std::u32string_view text_of(std::string_view code, std::u32string& scratch) const;

    // The width of `code` in thousandths of glyph space for the full reader
    // (glyph_width when `full` is not set).
    double full_width(std::uint32_t code) const;

    // text_of and full_width together for the code whose bytes are `code`
    // and whose value is `value`. A Type0 font's codes go through CMaps,
    // collections and font programs, hundreds of instructions each, while
    // its pages repeat a few hundred codes: each thread remembers the codes
    // it decoded last.
    std::u32string_view text_and_width(std::string_view code, std::uint32_t value,
                                       std::u32string& scratch, double& width) const;
};

// Resource name text to font. Fonts are shared immutably so that the map a
// form XObject receives (a copy of its caller's) copies pointers, not fonts.
using FontMap = std::unordered_map<std::string, std::shared_ptr<const FontInfo>>;

// Font records already built for one document, by font object number:
// pages and their forms name the same few fonts again and again, and a
// record (ToUnicode CMaps; for the full reader also encodings resolved
// through glyph names and font programs) is worth building once a document
// rather than once a page. A font record depends on its font dictionary
// alone, so whichever page builds it first, every page gets the same. It
// belongs to the document's call; the pool's workers share it.
class FontCache {
  public:
    std::shared_ptr<const FontInfo> find(std::uint32_t num) const {
        std::shared_lock lock(mu_);
        auto it = map_.find(num);
        return it != map_.end() ? it->second : nullptr;
    }
    void insert(std::uint32_t num, std::shared_ptr<const FontInfo> font) {
        std::unique_lock lock(mu_);
        map_.try_emplace(num, std::move(font));
    }

  private:
    mutable std::shared_mutex mu_;
    std::unordered_map<std::uint32_t, std::shared_ptr<const FontInfo>> map_;
};

// `cache`, when given, is consulted and filled.
FontMap build_font_map(const PdfObject& resources, const Document& document,
                       FontCache* cache = nullptr);
FontInfo extract_font_info(const PdfObject& font);
CIDFontInfo extract_cid_font_info(const PdfObject& descendant);

// The character of a glyph name in the built-in table, or nothing.
std::optional<char32_t> glyph_name_to_unicode(std::string_view name);

} // namespace quarvel

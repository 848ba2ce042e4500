// Font dictionaries into font records, and character codes into characters
// and widths. Nothing here fails: a malformed piece of a font dictionary
// degrades to its default, a font entry that cannot be resolved is skipped.
#include "fonts/font.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <system_error>

#include "file/document.h"
#include "fonts/cff.h"
#include "fonts/cid_collections.h"
#include "fonts/encodings.h"
#include "fonts/glyph_list.h"
#include "fonts/predefined_cmaps.h"
#include "fonts/standard_metrics.h"
#include "fonts/type1.h"
#include "resource_limits.h"
#include "syntax/filters.h"
#include "syntax/text.h"

namespace quarvel {

// How a Type0 font's codes are cut and which CID each selects: an embedded
// CMap's codespace and cid ranges, over the predefined map it names with
// usecmap (or the one the font's /Encoding names), else Identity: two-byte
// codes that are their own CIDs.
struct CodeSpace {
    std::vector<CMap::Codespace> ranges;
    std::vector<CMap::CidRange> cid_ranges;
    const PredefinedCMap* predefined = nullptr;

    std::size_t length_of(std::string_view bytes) const;
    // The length a code of this value was cut with: the shortest whose
    // ranges hold it.
    std::size_t length_of_value(std::uint32_t code) const;
    std::optional<std::uint32_t> cid(std::uint32_t code, std::size_t length) const;
};

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool in_codespace(const CMap::Codespace& r, std::string_view bytes) {
    if (bytes.size() < r.length) return false;
    for (std::size_t k = 0; k < r.length && k < 4; ++k) {
        const auto b = static_cast<std::uint8_t>(bytes[k]);
        if (b < r.low[k] || b > r.high[k]) return false;
    }
    return true;
}

std::uint32_t big_endian(std::string_view code) {
    std::uint32_t v = 0;
    for (const char c : code.substr(0, 4)) v = (v << 8) | static_cast<std::uint8_t>(c);
    return v;
}

} // namespace

std::shared_ptr<const CodeSpace> identity_code_space() {
    return std::make_shared<const CodeSpace>();
}

std::size_t CodeSpace::length_of(std::string_view bytes) const {
    if (bytes.empty()) return 0;
    if (!ranges.empty()) {
        // The shortest range holding the code; a code in none takes the
        // length of the shortest range its first byte lies in, so that
        // reading moves on as the predefined maps do.
        std::size_t first_byte_match = 0;
        for (std::size_t n = 1; n <= 4; ++n) {
            for (const CMap::Codespace& r : ranges) {
                if (r.length != n) continue;
                if (in_codespace(r, bytes)) return n;
                const auto b = static_cast<std::uint8_t>(bytes[0]);
                if (first_byte_match == 0 && b >= r.low[0] && b <= r.high[0]) first_byte_match = n;
            }
        }
        return std::min(first_byte_match != 0 ? first_byte_match : 1, bytes.size());
    }
    if (predefined) return predefined->code_length(bytes);
    return std::min<std::size_t>(2, bytes.size());
}

std::size_t CodeSpace::length_of_value(std::uint32_t code) const {
    for (std::size_t n = 1; n <= 4; ++n) {
        if (n < 4 && code >> (8 * n) != 0) continue;
        std::string bytes(n, '\0');
        for (std::size_t k = 0; k < n; ++k) bytes[k] = static_cast<char>(code >> (8 * (n - 1 - k)));
        if (length_of(bytes) == n) return n;
    }
    return 2;
}

std::optional<std::uint32_t> CodeSpace::cid(std::uint32_t code, std::size_t length) const {
    // Sorted by length and low bound (build_type0_full), so the range that
    // can hold the code is the last one starting at or below it: a lookup
    // costs a search, not a scan of up to limits::kMaxCMapEntries ranges.
    const auto it = std::upper_bound(cid_ranges.begin(), cid_ranges.end(), std::pair{length, code},
                                     [](const std::pair<std::size_t, std::uint32_t>& key,
                                        const CMap::CidRange& r) {
                                         return key < std::pair<std::size_t, std::uint32_t>{
                                                          r.length, r.low};
                                     });
    if (it != cid_ranges.begin()) {
        const CMap::CidRange& r = *(it - 1);
        if (r.length == length && code >= r.low && code <= r.high) return r.cid + (code - r.low);
    }
    if (predefined) return predefined->cid(code, length);
    if (!cid_ranges.empty()) return std::nullopt;
    return code;
}

namespace {

// The value of `key` when it has the wanted type; a present key of another
// type counts as absent (a later duplicate key is not consulted).
const PdfObject* get_name(const PdfObject& dict, std::string_view key) {
    const PdfObject* v = dict.get(key);
    return v && v->is_name() ? v : nullptr;
}

const PdfObject* get_array(const PdfObject& dict, std::string_view key) {
    const PdfObject* v = dict.get(key);
    return v && v->is_array() ? v : nullptr;
}

double number_or(const PdfObject* v, double fallback) {
    if (!v) return fallback;
    return v->number().value_or(fallback);
}

// The numeric elements of an array in order; other elements leave no gap.
std::vector<double> numbers_of(const PdfArray& array) {
    std::vector<double> out;
    out.reserve(array.size());
    for (const PdfObject& e : array) {
        if (auto n = e.number()) out.push_back(*n);
    }
    return out;
}

// Low 32 bits of an integer read from the file, as codes of /W are kept.
std::uint32_t low32(std::int64_t v) {
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(v) & 0xFFFFFFFFu);
}

using Differences = std::unordered_map<std::uint8_t, std::string>;

// An integer moves the code counter (low eight bits: 300 is 44, -1 is 255),
// a name takes the current code and advances it, wrapping past 255.
Differences differences_from(const PdfArray& array) {
    Differences out;
    std::uint8_t code = 0;
    for (const PdfObject& e : array) {
        if (e.is_int()) {
            code = static_cast<std::uint8_t>(static_cast<std::uint64_t>(e.as_int()) & 0xFF);
        } else if (e.is_name()) {
            out.insert_or_assign(code, std::string(e.bytes()));
            ++code;
        }
    }
    return out;
}

// A /W entry before sorting. The range form (c_first c_last w) is kept as a
// count until the sort shows how many of its codes any lookup can reach.
struct PendingRange {
    std::uint32_t start = 0;
    std::uint32_t count = 0;
    double width = 0.0;
    const PdfArray* list = nullptr; // the array form's widths
};

std::vector<PendingRange> scan_w(const PdfArray& w) {
    std::vector<PendingRange> out;
    std::size_t i = 0;
    while (i < w.size()) {
        if (!w[i].is_int()) {
            ++i;
            continue;
        }
        if (i + 1 >= w.size()) break;
        const PdfObject& next = w[i + 1];
        if (next.is_array()) {
            if (!next.as_array().empty()) {
                out.push_back({low32(w[i].as_int()), 0, 0.0, &next.as_array()});
            }
            i += 2;
        } else if (next.is_int()) {
            const std::uint32_t first = low32(w[i].as_int());
            const std::uint32_t count = low32(next.as_int()) - first + 1u;
            const double width = i + 2 < w.size() ? w[i + 2].number().value_or(0.0) : 0.0;
            out.push_back({first, count, width, nullptr});
            i += 3;
        } else {
            ++i;
        }
    }
    return out;
}

// Materialises sorted /W ranges. A lookup takes the last range starting at
// or below the code, so a range's codes at or beyond the next larger start
// are never read, and codes are at most two bytes: the repeated-width form
// is cut to the codes a lookup can reach. That bounds what a count wrapped
// to billions (c_last below c_first) or many overlapping ranges can
// allocate, and changes no width any code gets.
std::vector<CIDWidthRange> materialise(std::vector<PendingRange> pending) {
    const auto by_start = [](const PendingRange& a, const PendingRange& b) {
        return a.start < b.start;
    };
    std::stable_sort(pending.begin(), pending.end(), by_start);
    std::vector<CIDWidthRange> out;
    out.reserve(pending.size());
    for (std::size_t k = 0; k < pending.size(); ++k) {
        const PendingRange& p = pending[k];
        CIDWidthRange r;
        r.start = p.start;
        if (p.list) {
            r.widths.reserve(p.list->size());
            for (const PdfObject& e : *p.list) r.widths.push_back(e.number().value_or(0.0));
        } else {
            std::uint64_t reach = 0;
            if (p.start < limits::kMaxCidRangeCodes) reach = limits::kMaxCidRangeCodes - p.start;
            if (k + 1 < pending.size()) {
                // Sorted, so the next range starts here (shadowing this one
                // entirely) or at the next larger start.
                reach = std::min<std::uint64_t>(reach, pending[k + 1].start - p.start);
            }
            r.widths.assign(static_cast<std::size_t>(std::min<std::uint64_t>(p.count, reach)),
                            p.width);
        }
        out.push_back(std::move(r));
    }
    return out;
}

// The character a differences glyph name stands for: a name of the glyph
// table, or uniXXXX with any number of hex digits (one '+' allowed after
// "uni"). Names of other forms, and names that are not UTF-8, give nothing;
// both forms are ASCII, so invalid UTF-8 can match neither.
std::optional<char32_t> glyph_name_char(std::string_view name) {
    if (auto c = glyph_name_to_unicode(name)) return c;
    if (name.size() < 7 || !name.starts_with("uni")) return std::nullopt;
    std::string_view digits = name.substr(3);
    if (digits.front() == '+') digits.remove_prefix(1);
    // Every character must be a hex digit (an unsigned parse takes no sign);
    // a value past 32 bits is out of range.
    std::uint32_t v = 0;
    const char* end = digits.data() + digits.size();
    if (auto [ptr, ec] = std::from_chars(digits.data(), end, v, 16);
        ec != std::errc() || ptr != end) {
        return std::nullopt;
    }
    if (v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return std::nullopt;
    return static_cast<char32_t>(v);
}

// The bytes of a ToUnicode stream: decoded when the stream names a filter,
// the raw bytes when it names none or decoding fails (some writers label
// uncompressed CMaps /FlateDecode).
std::string tounicode_bytes(const PdfObject& stream, const Document& document) {
    if (stream.get("Filter") != nullptr) {
        Result<std::string> decoded = document.decode_stream(stream);
        if (decoded.ok()) return std::move(decoded).value();
    }
    return std::string(stream.stream_data());
}


// --- the full reader's font records -----------------------------------------

// A dictionary entry, resolved when given by reference.
struct Resolved {
    ObjectPtr holder;
    const PdfObject* get() const { return holder && !holder->is_null() ? holder.get() : nullptr; }
};

Resolved resolve_key(const PdfObject* dict, std::string_view key, const Document& document) {
    if (!dict) return {};
    const PdfObject* v = dict->get(key);
    if (!v) return {};
    return {document.resolve(*v)};
}

std::optional<std::int64_t> int_of(const PdfObject* v) {
    if (!v || !v->is_int()) return std::nullopt;
    return v->as_int();
}

// An embedded font program, decoded; null when the stream is absent or
// does not decode.
std::shared_ptr<const std::string> program_bytes(const PdfObject* stream,
                                                 const Document& document) {
    if (!stream || !stream->is_stream()) return nullptr;
    Result<std::string> decoded = document.decode_stream(*stream);
    if (!decoded.ok() || decoded.value().empty()) return nullptr;
    return std::make_shared<const std::string>(std::move(decoded).value());
}

// Names of the glyphs real files give that neither the glyph list nor its
// rules know but whose number is the code's character: Cdd, cddd, Gxx (hex)
// and the like, written by Type 3 and subsetting producers.
std::u32string numeric_name_text(std::string_view name) {
    std::size_t letters = 0;
    while (letters < name.size() && letters < 2 &&
           ((name[letters] >= 'A' && name[letters] <= 'Z') ||
            (name[letters] >= 'a' && name[letters] <= 'z'))) {
        ++letters;
    }
    const std::string_view digits = name.substr(letters);
    if (letters == 0 || digits.size() < 2 || digits.size() > 3) return {};
    const bool hex = (name[0] == 'G' || name[0] == 'g') && letters == 1 && digits.size() == 2;
    std::uint32_t v = 0;
    const char* end = digits.data() + digits.size();
    if (auto [p, ec] = std::from_chars(digits.data(), end, v, hex ? 16 : 10);
        ec != std::errc() || p != end) {
        return {};
    }
    if (v < 0x20 || (v >= 0x7F && v < 0xA0) || v > 0xFF) return {};
    return std::u32string(1, static_cast<char32_t>(v));
}

// A code with nothing else to go on stands for itself, as the compact
// reader reads every byte; control codes stay undecodable.
std::u32string code_itself(std::uint32_t code) {
    if (code < 0x20 || (code >= 0x7F && code < 0xA0)) return {};
    return std::u32string(1, static_cast<char32_t>(code));
}

void set_names(std::array<std::string, 256>& names, SimpleEncoding e) {
    const auto& table = encoding_glyph_names(e);
    for (std::size_t c = 0; c < 256; ++c) names[c] = std::string(table[c]);
}

// Vertical extent from a font descriptor (or a Type 3 font's own /FontBBox):
// /Ascent and /Descent where given, else the bounding box.
void read_extent(const PdfObject* descriptor, const PdfObject* bbox_owner,
                 const StandardFontMetrics* metrics, const Document& document,
                 FontInfo::Full& full) {
    const double ascent = number_or(descriptor ? descriptor->get("Ascent") : nullptr, 0.0);
    const double descent = number_or(descriptor ? descriptor->get("Descent") : nullptr, 0.0);
    if (ascent != 0 || descent != 0) {
        full.ascent = ascent;
        full.descent = descent;
        return;
    }
    const Resolved bbox = resolve_key(bbox_owner, "FontBBox", document);
    if (bbox.get() && bbox.get()->is_array() && bbox.get()->as_array().size() == 4) {
        const PdfArray& a = bbox.get()->as_array();
        const double lly = a[1].number().value_or(0.0), ury = a[3].number().value_or(0.0);
        if (ury != lly) {
            full.ascent = std::max(lly, ury);
            full.descent = std::min(lly, ury);
            return;
        }
    }
    if (metrics) {
        full.ascent = metrics->ascent;
        full.descent = metrics->descent;
    }
}

// The style facts of a font descriptor (null for none) and base font name;
// the program's are added where the reader parsed one.
FontStyleFacts style_facts(const PdfObject* desc, std::string_view base_font,
                           const TrueTypeFont* program) {
    FontStyleFacts facts;
    facts.base_font = base_font;
    if (desc) {
        facts.flags = int_of(desc->get("Flags"));
        facts.italic_angle = number_or(desc->get("ItalicAngle"), 0.0);
        if (const PdfObject* w = desc->get("FontWeight")) facts.font_weight = w->number();
    }
    if (program) {
        const TrueTypeFont::Style& s = program->style();
        facts.program_weight = s.weight;
        facts.program_bold = s.bold;
        facts.program_italic = s.italic;
        facts.program_fixed_pitch = s.fixed_pitch;
    }
    return facts;
}

std::shared_ptr<const FontInfo::Full> build_simple_full(const PdfObject& font,
                                                        const FontInfo& info,
                                                        const Document& document) {
    auto full = std::make_shared<FontInfo::Full>();
    const PdfObject* subtype = get_name(font, "Subtype");
    const bool type3 = subtype && subtype->is_name("Type3");
    const Resolved descriptor = resolve_key(&font, "FontDescriptor", document);
    const PdfObject* desc =
        descriptor.get() && descriptor.get()->has_dict() ? descriptor.get() : nullptr;
    const std::int64_t flags = int_of(desc ? desc->get("Flags") : nullptr).value_or(0);
    const bool symbolic = (flags & 4) != 0;
    const StandardFontMetrics* metrics = type3 ? nullptr : standard_font_metrics(info.base_font);
    const bool dingbats = metrics && metrics->name == "ZapfDingbats";

    // The font program: Type 1 (/FontFile), TrueType (/FontFile2), CFF or
    // OpenType (/FontFile3). Programs are decoded only when the encoding
    // leaves something to them: fonts are built again for every page and
    // form that uses them, and inflating programs would dominate that.
    const auto stream_of = [&](std::string_view key) {
        return desc ? resolve_key(desc, key, document) : Resolved{};
    };
    const auto program_kind = [&](const Resolved& f3) {
        const PdfObject* st = f3.get() ? get_name(*f3.get(), "Subtype") : nullptr;
        return st && st->is_name("OpenType");
    };
    const Resolved font_file = stream_of("FontFile");
    const Resolved font_file2 = stream_of("FontFile2");
    const Resolved font_file3 = stream_of("FontFile3");
    const bool has_sfnt = font_file2.get() || (font_file3.get() && program_kind(font_file3));
    std::shared_ptr<const std::string> program;
    std::optional<TrueTypeFont> tt;
    bool tt_loaded = false;
    const auto load_tt = [&]() -> const TrueTypeFont* {
        if (!tt_loaded) {
            tt_loaded = true;
            program =
                program_bytes(font_file2.get() ? font_file2.get() : font_file3.get(), document);
            if (program) tt = TrueTypeFont::parse(*program);
        }
        return tt ? &*tt : nullptr;
    };
    const auto load_builtin = [&]() -> std::optional<Type1Encoding> {
        if (font_file.get()) {
            if (auto p = program_bytes(font_file.get(), document)) return parse_type1_encoding(*p);
        } else if (font_file3.get() && !program_kind(font_file3)) {
            if (auto p = program_bytes(font_file3.get(), document)) {
                if (auto cff = CffFont::parse(*p)) return cff->builtin_encoding();
            }
        }
        return std::nullopt;
    };

    // Glyph names by code: the base encoding, then /Differences over it.
    std::array<std::string, 256> names;
    std::optional<SimpleEncoding> base;
    const PdfArray* differences = nullptr;
    const Resolved encoding = resolve_key(&font, "Encoding", document);
    Resolved differences_holder;
    if (const PdfObject* e = encoding.get()) {
        if (e->is_name()) {
            base = encoding_by_name(e->bytes());
        } else if (e->has_dict()) {
            if (const PdfObject* b = get_name(*e, "BaseEncoding"))
                base = encoding_by_name(b->bytes());
            differences_holder = resolve_key(e, "Differences", document);
            if (differences_holder.get() && differences_holder.get()->is_array()) {
                differences = &differences_holder.get()->as_array();
            }
        }
    }
    // Symbol and ZapfDingbats keep their own encodings whatever a text
    // encoding the file names, as their glyphs are not Latin letters.
    if (metrics && metrics->symbolic && (!base || !differences)) {
        base = dingbats ? SimpleEncoding::ZapfDingbats : SimpleEncoding::Symbol;
    }
    bool have_names = true;
    std::optional<Type1Encoding> builtin;
    if (!base) builtin = load_builtin();
    if (base) {
        set_names(names, *base);
    } else if (builtin) {
        if (builtin->standard) {
            set_names(names, SimpleEncoding::Standard);
        } else {
            names = builtin->names;
        }
    } else if (type3 || (has_sfnt && symbolic)) {
        // A symbolic TrueType font's codes select glyphs through its own
        // cmap; a Type 3 font has no encoding but its differences.
        have_names = false;
    } else {
        set_names(names, SimpleEncoding::Standard);
    }
    if (differences) {
        for (const auto& [code, name] : differences_from(*differences)) names[code] = name;
    }

    for (std::size_t code = 0; code < 256; ++code) {
        std::u32string& text = full->simple_text[code];
        const std::string& name = names[code];
        if (!name.empty()) {
            text = glyph_name_to_text(name, dingbats);
            if (text.empty()) text = numeric_name_text(name);
        }
        const TrueTypeFont* tt = text.empty() && has_sfnt ? load_tt() : nullptr;
        if (tt) {
            // The program's own tables: the (3,0) cmap's 0xF000 page, the
            // Mac Roman or Unicode cmap, then the post table's names.
            if (auto gid = tt->glyph_for_code(static_cast<std::uint32_t>(code))) {
                if (auto u = tt->unicode_for_glyph(*gid); u && *u < 0xE000) {
                    text = std::u32string(1, *u);
                } else if (std::string_view n = tt->glyph_name(*gid); !n.empty()) {
                    text = glyph_name_to_text(n, dingbats);
                }
                if (text.empty() && tt->has_symbol_cmap()) text = code_itself(code);
            }
        }
        if (text.empty() && (!name.empty() || !have_names) && !dingbats) text = code_itself(code);
    }

    // ToUnicode entries win over everything the encoding gave.
    const Resolved tu = resolve_key(&font, "ToUnicode", document);
    if (tu.get() && tu.get()->is_stream()) {
        const CMap cmap = parse_cmap(tounicode_bytes(*tu.get(), document), document.options());
        for (std::size_t code = 0; code < 256; ++code) {
            const char byte = static_cast<char>(code);
            if (auto t = cmap.lookup_text(std::string_view(&byte, 1))) full->simple_text[code] = *t;
        }
    }

    // Widths: /Widths from /FirstChar, else the standard font's metrics by
    // glyph name; /MissingWidth for the rest.
    const Resolved widths = resolve_key(&font, "Widths", document);
    const bool has_widths =
        widths.get() && widths.get()->is_array() && !widths.get()->as_array().empty();
    full->missing_width = number_or(desc ? desc->get("MissingWidth") : nullptr,
                                    has_widths || metrics || type3 ? 0.0 : 500.0);
    full->widths.assign(256, full->missing_width);
    if (has_widths) {
        const std::int64_t first = int_of(font.get("FirstChar")).value_or(0);
        const PdfArray& a = widths.get()->as_array();
        for (std::size_t k = 0; k < a.size(); ++k) {
            const std::int64_t code = first + static_cast<std::int64_t>(k);
            if (code < 0 || code > 255) continue;
            if (auto w = a[k].number()) full->widths[static_cast<std::size_t>(code)] = *w;
        }
    } else if (metrics) {
        for (std::size_t code = 0; code < 256; ++code) {
            if (auto w = metrics->width(names[code])) full->widths[code] = *w;
        }
    }

    // A Type 3 font's glyphs are drawings; its name and descriptor, where
    // it has them, are all that says how they look.
    FontStyleFacts facts = style_facts(desc, info.base_font, tt ? &*tt : nullptr);
    if (has_widths) {
        std::size_t glyphs = 0;
        double first_width = 0;
        bool uniform = true;
        for (const PdfObject& w : widths.get()->as_array()) {
            const double v = w.number().value_or(0.0);
            if (v == 0) continue;
            if (glyphs++ == 0) first_width = v;
            uniform = uniform && v == first_width;
        }
        facts.uniform_widths = uniform && glyphs >= kMinUniformWidths;
    }
    full->style = font_style(facts);

    if (type3) {
        const Resolved matrix = resolve_key(&font, "FontMatrix", document);
        if (matrix.get() && matrix.get()->is_array() && matrix.get()->as_array().size() == 6) {
            const PdfArray& a = matrix.get()->as_array();
            for (std::size_t k = 0; k < 6; ++k) full->font_matrix[k] = a[k].number().value_or(0.0);
        }
        read_extent(nullptr, &font, nullptr, document, *full);
    } else {
        read_extent(desc, desc, metrics, document, *full);
    }
    return full;
}

std::shared_ptr<const FontInfo::Full> build_type0_full(const PdfObject& font,
                                                       const Document& document) {
    auto full = std::make_shared<FontInfo::Full>();
    static std::atomic<std::uint64_t> serials{0};
    full->serial = ++serials;
    auto code_space = std::make_shared<CodeSpace>();
    const Resolved encoding = resolve_key(&font, "Encoding", document);
    if (const PdfObject* e = encoding.get()) {
        if (e->is_name()) {
            code_space->predefined = find_predefined_cmap(e->bytes());
            full->vertical = e->bytes().ends_with("-V");
        } else if (e->is_stream()) {
            Result<std::string> bytes = document.decode_stream(*e);
            if (bytes.ok()) {
                CMap cmap = parse_cmap(bytes.value(), document.options());
                code_space->ranges = std::move(cmap.codespace);
                code_space->cid_ranges = std::move(cmap.cid_ranges);
                // Overlapping ranges, which real maps do not write, resolve
                // to the one starting nearest below a code.
                std::stable_sort(code_space->cid_ranges.begin(), code_space->cid_ranges.end(),
                                 [](const CMap::CidRange& a, const CMap::CidRange& b) {
                                     return std::pair{a.length, a.low} < std::pair{b.length, b.low};
                                 });
                full->vertical = cmap.vertical;
                if (!cmap.usecmap.empty()) {
                    code_space->predefined = find_predefined_cmap(cmap.usecmap);
                    if (cmap.usecmap.ends_with("-V")) full->vertical = true;
                }
                if (const PdfObject* u = get_name(*e, "UseCMap"); u && !code_space->predefined) {
                    code_space->predefined = find_predefined_cmap(u->bytes());
                }
            }
        }
    }
    if (code_space->predefined)
        full->collection = std::string(code_space->predefined->registry_ordering);

    const Resolved descendants = resolve_key(&font, "DescendantFonts", document);
    Resolved descendant;
    if (descendants.get() && descendants.get()->is_array() &&
        !descendants.get()->as_array().empty()) {
        descendant = {document.resolve(descendants.get()->as_array().front())};
    }
    const PdfObject* cid_font =
        descendant.get() && descendant.get()->has_dict() ? descendant.get() : nullptr;
    if (cid_font) {
        full->cid = extract_cid_font_info(*cid_font);
        if (const PdfObject* w = cid_font->get("W"); w && w->is_ref()) {
            if (const ObjectPtr r = document.resolve(*w); r && r->is_array()) {
                full->cid.widths = materialise(scan_w(r->as_array()));
            }
        }
        if (full->collection.empty()) {
            const Resolved info = resolve_key(cid_font, "CIDSystemInfo", document);
            if (info.get() && info.get()->has_dict()) {
                const Resolved reg = resolve_key(info.get(), "Registry", document);
                const Resolved ord = resolve_key(info.get(), "Ordering", document);
                if (reg.get() && ord.get() && reg.get()->is_string() && ord.get()->is_string()) {
                    full->collection =
                        std::string(reg.get()->bytes()) + "-" + std::string(ord.get()->bytes());
                }
            }
        }
        const Resolved descriptor = resolve_key(cid_font, "FontDescriptor", document);
        const PdfObject* desc =
            descriptor.get() && descriptor.get()->has_dict() ? descriptor.get() : nullptr;
        // The program and /CIDToGIDMap matter only to codes ToUnicode does
        // not map; with a ToUnicode map they are not decoded (see above).
        const bool need_program = !font.get("ToUnicode");
        const Resolved cid_base = resolve_key(cid_font, "BaseFont", document);
        const std::string_view base =
            cid_base.get() && cid_base.get()->is_name() ? cid_base.get()->bytes() : "";
        if (desc && need_program) {
            auto program = program_bytes(resolve_key(desc, "FontFile2", document).get(), document);
            if (!program) {
                const Resolved f3 = resolve_key(desc, "FontFile3", document);
                if (f3.get() && get_name(*f3.get(), "Subtype") &&
                    get_name(*f3.get(), "Subtype")->is_name("OpenType")) {
                    program = program_bytes(f3.get(), document);
                }
            }
            if (program) {
                full->program = program;
                full->truetype = TrueTypeFont::parse(*program);
            }
        }
        if (desc) read_extent(desc, desc, nullptr, document, *full);
        // A font named by its subset tag alone says nothing of its style
        // but through its program, decoded for that alone where the text
        // did not need it (Chromium's printing writes nameless faces so).
        std::optional<TrueTypeFont> style_program;
        std::shared_ptr<const std::string> style_bytes;
        if (desc && !full->truetype && base.size() <= 7 && base.ends_with('+')) {
            style_bytes = program_bytes(resolve_key(desc, "FontFile2", document).get(), document);
            if (style_bytes) style_program = TrueTypeFont::parse(*style_bytes);
        }
        const TrueTypeFont* program = full->truetype ? &*full->truetype
                                      : style_program ? &*style_program
                                                      : nullptr;
        full->style = font_style(style_facts(desc, base, program));
        const Resolved map =
            need_program ? resolve_key(cid_font, "CIDToGIDMap", document) : Resolved{};
        if (map.get() && map.get()->is_stream()) {
            Result<std::string> bytes = document.decode_stream(*map.get());
            if (bytes.ok()) {
                const std::string& b = bytes.value();
                full->cid_to_gid.reserve(b.size() / 2);
                for (std::size_t k = 0; k + 1 < b.size(); k += 2) {
                    full->cid_to_gid.push_back(
                        static_cast<std::uint16_t>(static_cast<std::uint8_t>(b[k]) << 8 |
                                                   static_cast<std::uint8_t>(b[k + 1])));
                }
            }
        }
    }
    full->code_space = std::move(code_space);

    const Resolved tu = resolve_key(&font, "ToUnicode", document);
    if (tu.get() && tu.get()->is_stream()) {
        full->to_unicode = std::make_shared<const CMap>(
            parse_cmap(tounicode_bytes(*tu.get(), document), document.options()));
    }
    return full;
}

} // namespace

FontInfo extract_font_info(const PdfObject& font) {
    FontInfo info;
    if (const PdfObject* v = get_name(font, "BaseFont")) info.base_font = lossy_utf8(v->bytes());
    if (const PdfObject* v = font.get("Subtype")) info.is_type0 = v->is_name("Type0");
    if (const PdfObject* v = font.get("Encoding")) {
        if (v->is_name()) {
            info.encoding = lossy_utf8(v->bytes());
        } else if (v->is_dict()) {
            if (const PdfObject* d = get_array(*v, "Differences")) {
                info.set_differences(differences_from(d->as_array()));
            }
        }
    }
    if (const PdfObject* v = get_array(font, "Widths")) info.widths = numbers_of(v->as_array());
    info.default_width = number_or(font.get("DW"), 1000.0);
    return info;
}

CIDFontInfo extract_cid_font_info(const PdfObject& descendant) {
    CIDFontInfo info;
    if (const PdfObject* v = get_name(descendant, "BaseFont")) {
        info.base_font = lossy_utf8(v->bytes());
    }
    if (const PdfObject* v = get_name(descendant, "Subtype")) info.subtype = lossy_utf8(v->bytes());
    info.default_width = number_or(descendant.get("DW"), 1000.0);
    if (const PdfObject* v = get_array(descendant, "W")) {
        info.widths = materialise(scan_w(v->as_array()));
    }
    if (const PdfObject* v = descendant.get("CIDToGIDMap"); v && v->is_stream()) {
        info.cid_to_gid_map = std::string(v->stream_data());
    }
    if (const PdfObject* v = get_array(descendant, "DW2"); v && v->as_array().size() >= 2) {
        const PdfArray& a = v->as_array();
        info.dw2.emplace(a[0].number().value_or(0.0), a[1].number().value_or(0.0));
    }
    if (const PdfObject* v = get_array(descendant, "W2")) info.w2 = numbers_of(v->as_array());
    return info;
}

FontMap build_font_map(const PdfObject& resources, const Document& document, FontCache* cache) {
    FontMap fonts;
    const bool full = document.options().full();
    const PdfObject* font_dict = resources.get("Font");
    // The full reader takes a /Font dictionary given by reference too.
    ObjectPtr font_dict_holder;
    if (full && font_dict && font_dict->is_ref()) {
        font_dict_holder = document.resolve(*font_dict);
        font_dict = font_dict_holder.get();
    }
    if (!font_dict || !font_dict->is_dict()) return fonts;

    for (const DictEntry& entry : font_dict->dict()) {
        if (cache && entry.value.is_ref()) {
            if (auto known = cache->find(entry.value.as_ref().num)) {
                fonts.insert_or_assign(lossy_utf8(entry.key), std::move(known));
                continue;
            }
        }
        ObjectPtr resolved;
        const PdfObject* font = nullptr;
        if (entry.value.is_ref()) {
            Result<ObjectPtr> r = document.get_object(entry.value.as_ref().num);
            if (!r.ok() || !r.value()) continue;
            resolved = std::move(r).value();
            font = resolved.get();
        } else if (entry.value.is_dict()) {
            font = &entry.value;
        } else {
            continue;
        }

        auto info = std::make_shared<FontInfo>(extract_font_info(*font));

        if (!info->differences) {
            // An encoding dictionary held by reference.
            if (const PdfObject* enc = font->get("Encoding"); enc && enc->is_ref()) {
                Result<ObjectPtr> r = document.get_object(enc->as_ref().num);
                if (r.ok() && r.value() && r.value()->is_dict()) {
                    if (const PdfObject* d = get_array(*r.value(), "Differences")) {
                        info->set_differences(differences_from(d->as_array()));
                    }
                }
            }
        }

        // The full reader parses ToUnicode its own way, below.
        if (const PdfObject* tu = font->get("ToUnicode"); tu && tu->is_ref() && !full) {
            Result<ObjectPtr> r = document.get_object(tu->as_ref().num);
            if (r.ok() && r.value() && r.value()->is_stream()) {
                info->to_unicode = parse_cmap(tounicode_bytes(*r.value(), document));
            }
        }

        if (info->is_type0) {
            const PdfObject* desc = get_array(*font, "DescendantFonts");
            if (desc && !desc->as_array().empty() && desc->as_array().front().is_ref()) {
                Result<ObjectPtr> r = document.get_object(desc->as_array().front().as_ref().num);
                if (r.ok() && r.value()) info->cid_font = extract_cid_font_info(*r.value());
            }
        }

        if (full) {
            info->full = info->is_type0 ? build_type0_full(*font, document)
                                        : build_simple_full(*font, *info, document);
        }

        if (cache && entry.value.is_ref()) cache->insert(entry.value.as_ref().num, info);
        fonts.insert_or_assign(lossy_utf8(entry.key), std::move(info));
    }
    return fonts;
}

char32_t FontInfo::decode_char(std::string_view code) const {
    if (to_unicode) {
        if (auto c = to_unicode->lookup_char(code)) return *c;
    }
    if (code.size() != 1) return kReplacement;
    const auto byte = static_cast<std::uint8_t>(code.front());
    if (const std::optional<char32_t>& c = difference_chars[byte]) return *c;
    if (byte < 0x20 || byte == 0x7F) return kReplacement;
    return byte;
}

void FontInfo::set_differences(std::unordered_map<std::uint8_t, std::string> names) {
    difference_chars.fill(std::nullopt);
    for (const auto& [code, name] : names) difference_chars[code] = glyph_name_char(name);
    if (names.empty()) {
        differences.reset();
    } else {
        differences = std::move(names);
    }
}

double FontInfo::glyph_width(std::uint32_t code) const {
    if (!cid_font) return code < widths.size() ? widths[code] : default_width;
    const std::vector<CIDWidthRange>& ranges = cid_font->widths;
    // The last range in sorted order whose start is at most the code.
    auto it = std::upper_bound(ranges.begin(), ranges.end(), code,
                               [](std::uint32_t c, const CIDWidthRange& r) { return c < r.start; });
    if (it == ranges.begin()) return cid_font->default_width;
    const CIDWidthRange& r = *(it - 1);
    const std::uint32_t offset = code - r.start;
    return offset < r.widths.size() ? r.widths[offset] : cid_font->default_width;
}

std::size_t FontInfo::code_length(std::string_view bytes) const {
    if (bytes.empty()) return 0;
    if (full) return full->code_space ? full->code_space->length_of(bytes) : 1;
    return is_type0 && bytes.size() >= 2 ? 2 : 1;
}

void FontInfo::append_text(std::string_view code, std::u32string& out) const {
    if (!full) {
        out.push_back(decode_char(code));
        return;
    }
    if (!full->code_space) {
        const std::u32string& text = code.size() == 1
                                         ? full->simple_text[static_cast<std::uint8_t>(code[0])]
                                         : std::u32string();
        if (text.empty()) {
            out.push_back(kReplacement);
        } else {
            out += text;
        }
        return;
    }
    if (full->to_unicode) {
        if (auto text = full->to_unicode->lookup_text(code)) {
            out += *text;
            return;
        }
    }
    const std::optional<std::uint32_t> cid = full->code_space->cid(big_endian(code), code.size());
    const PredefinedCMap* predefined = full->code_space->predefined;
    if (predefined && predefined->unicode_codes) {
        // The Uni*-UCS2 and Uni*-UTF16 maps: the code is the text.
        if (std::u32string text = destination_text(code); !text.empty()) {
            out += text;
            return;
        }
    }
    if (!cid) {
        out.push_back(kReplacement);
        return;
    }
    // A TrueType program addressed by glyph (Identity) knows its glyphs'
    // characters better than a collection the font may only claim.
    const bool by_glyph = full->truetype && !predefined;
    if (!by_glyph && !full->collection.empty()) {
        if (std::u32string_view seq = cid_to_unicode_sequence(full->collection, *cid);
            !seq.empty()) {
            out += seq;
            return;
        }
        if (auto c = cid_to_unicode(full->collection, *cid)) {
            out.push_back(*c);
            return;
        }
    }
    if (full->truetype && *cid <= 0xFFFF) {
        std::uint16_t gid = static_cast<std::uint16_t>(*cid);
        if (!full->cid_to_gid.empty())
            gid = *cid < full->cid_to_gid.size() ? full->cid_to_gid[*cid] : 0;
        if (gid != 0) {
            if (auto u = full->truetype->unicode_for_glyph(gid)) {
                out.push_back(*u);
                return;
            }
            if (std::string_view name = full->truetype->glyph_name(gid); !name.empty()) {
                if (std::u32string text = glyph_name_to_text(name); !text.empty()) {
                    out += text;
                    return;
                }
            }
        }
    }
    if (by_glyph && !full->collection.empty()) {
        if (auto c = cid_to_unicode(full->collection, *cid)) {
            out.push_back(*c);
            return;
        }
    }
    out.push_back(kReplacement);
}

std::u32string_view FontInfo::text_of(std::string_view code, std::u32string& scratch) const {
    if (full && !full->code_space && code.size() == 1) {
        const std::u32string& text = full->simple_text[static_cast<std::uint8_t>(code[0])];
        if (!text.empty()) return text;
    }
    scratch.clear();
    append_text(code, scratch);
    return scratch;
}

namespace {

// One code a thread decoded, by font record serial, code length and value.
struct DecodedCode {
    std::uint64_t serial = 0; // 0: empty
    std::uint32_t value = 0;
    std::uint8_t length = 0;
    std::uint8_t count = 0; // characters in `text`
    std::array<char32_t, 4> text{};
    double width = 0;
};

// Direct-mapped: a page's codes rarely collide, and a collision costs one
// decoding.
constexpr int kDecodedCodeBits = 10;
using DecodedCodes = std::array<DecodedCode, std::size_t{1} << kDecodedCodeBits>;

DecodedCode& decoded_code_slot(std::uint64_t serial, std::uint32_t value, std::size_t length) {
    thread_local std::unique_ptr<DecodedCodes> slots;
    if (!slots) slots = std::make_unique<DecodedCodes>();
    const std::uint64_t key = serial * 0x9E3779B97F4A7C15ull ^ (std::uint64_t{value} << 3 | length);
    return (*slots)[(key * 0xBF58476D1CE4E5B9ull) >> (64 - kDecodedCodeBits)];
}

} // namespace

std::u32string_view FontInfo::text_and_width(std::string_view code, std::uint32_t value,
                                             std::u32string& scratch, double& width) const {
    if (!full || !full->code_space || full->serial == 0 || code.size() > 4) {
        width = full_width(value);
        return text_of(code, scratch);
    }
    DecodedCode& slot = decoded_code_slot(full->serial, value, code.size());
    if (slot.serial == full->serial && slot.value == value && slot.length == code.size()) {
        width = slot.width;
        return {slot.text.data(), slot.count};
    }
    width = full_width(value);
    std::u32string_view text = text_of(code, scratch);
    if (text.size() <= slot.text.size()) {
        slot.serial = full->serial;
        slot.value = value;
        slot.length = static_cast<std::uint8_t>(code.size());
        slot.count = static_cast<std::uint8_t>(text.size());
        std::copy(text.begin(), text.end(), slot.text.begin());
        slot.width = width;
    }
    return text;
}

double FontInfo::full_width(std::uint32_t code) const {
    if (!full) return glyph_width(code);
    if (!full->code_space)
        return code < full->widths.size() ? full->widths[code] : full->missing_width;
    const CodeSpace& space = *full->code_space;
    const std::uint32_t cid = space.cid(code, space.length_of_value(code)).value_or(0);
    const std::vector<CIDWidthRange>& ranges = full->cid.widths;
    auto it = std::upper_bound(ranges.begin(), ranges.end(), cid,
                               [](std::uint32_t c, const CIDWidthRange& r) { return c < r.start; });
    if (it == ranges.begin()) return full->cid.default_width;
    const CIDWidthRange& r = *(it - 1);
    const std::uint32_t offset = cid - r.start;
    return offset < r.widths.size() ? r.widths[offset] : full->cid.default_width;
}

} // namespace quarvel

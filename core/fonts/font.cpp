// Font dictionaries into font records, and character codes into characters
// and widths. Nothing here fails: a malformed piece of a font dictionary
// degrades to its default, a font entry that cannot be resolved is skipped.
#include "fonts/font.h"

#include <algorithm>
#include <charconv>
#include <system_error>

#include "file/document.h"
#include "syntax/filters.h"
#include "resource_limits.h"
#include "syntax/text.h"

namespace quarvel {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

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

FontMap build_font_map(const PdfObject& resources, const Document& document) {
    FontMap fonts;
    const PdfObject* font_dict = resources.get("Font");
    if (!font_dict || !font_dict->is_dict()) return fonts;

    for (const DictEntry& entry : font_dict->dict()) {
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

        if (const PdfObject* tu = font->get("ToUnicode"); tu && tu->is_ref()) {
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
    return is_type0 && bytes.size() >= 2 ? 2 : 1;
}

void FontInfo::append_text(std::string_view code, std::u32string& out) const {
    out.push_back(decode_char(code));
}

double FontInfo::full_width(std::uint32_t code) const {
    return glyph_width(code);
}

} // namespace quarvel

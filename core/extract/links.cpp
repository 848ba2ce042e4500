#include "extract/links.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "syntax/text.h"

namespace quarvel::links {
namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The bytes a literal string stands for. The parser keeps the raw bytes
// between the parentheses; a web address written as (a_\(b\).html) means
// a_(b).html, and returning the backslashes would give a broken address.
std::string unescape_literal(std::string_view raw) {
    std::string out;
    out.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        const char c = raw[i];
        if (c == '\r') {
            // An unescaped end of line, CR or CR LF, reads as LF.
            out += '\n';
            if (i + 1 < raw.size() && raw[i + 1] == '\n') ++i;
            continue;
        }
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i == raw.size()) break; // a lone trailing backslash stands for nothing
        const char e = raw[i];
        switch (e) {
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        case 't':
            out += '\t';
            break;
        case 'b':
            out += '\b';
            break;
        case 'f':
            out += '\f';
            break;
        case '\r':
            // Backslash at the end of a line continues the string.
            if (i + 1 < raw.size() && raw[i + 1] == '\n') ++i;
            break;
        case '\n':
            break;
        default:
            if (e >= '0' && e <= '7') {
                // One to three octal digits; overflow beyond a byte is dropped.
                unsigned value = 0;
                std::size_t digits = 0;
                while (digits < 3 && i < raw.size() && raw[i] >= '0' && raw[i] <= '7') {
                    value = value * 8 + static_cast<unsigned>(raw[i] - '0');
                    ++i;
                    ++digits;
                }
                --i;
                out += static_cast<char>(value & 0xFFu);
            } else {
                // \( \) \\ and any unknown escape stand for the character itself.
                out += e;
            }
        }
    }
    return out;
}

// The bytes a hex string stands for: whitespace ignored, an odd final digit
// followed by 0.
std::string unhex(std::string_view raw) {
    std::string out;
    out.reserve(raw.size() / 2);
    int high = -1;
    for (char c : raw) {
        const int v = hex_value(c);
        if (v < 0) continue;
        if (high < 0) {
            high = v;
        } else {
            out += static_cast<char>((high << 4) | v);
            high = -1;
        }
    }
    if (high >= 0) out += static_cast<char>(high << 4);
    return out;
}

std::string string_text(const PdfObject& s) {
    return lossy_utf8(s.is_hex_string() ? unhex(s.bytes()) : unescape_literal(s.bytes()));
}

// The web address of a link annotation, if it has one. A URI action wins; a
// /Dest string that is itself a web address is the fallback some producers
// write instead of an action.
std::optional<std::string> link_target(const Document& document, const PdfObject& annot) {
    if (const PdfObject* action = annot.get("A")) {
        ObjectPtr resolved;
        if (action->is_ref()) {
            // A dangling action drops this annotation only; the /Dest fallback
            // is not consulted for it.
            auto r = document.get_object(action->as_ref().num);
            if (!r.ok()) return std::nullopt;
            resolved = std::move(r).value();
            action = resolved.get();
        }
        if (action->has_dict()) {
            const PdfObject* s = action->get("S");
            const PdfObject* uri = action->get("URI");
            if (s != nullptr && s->is_name("URI") && uri != nullptr &&
                (uri->is_string() || uri->is_hex_string())) {
                return string_text(*uri);
            }
        }
    }
    if (const PdfObject* dest = annot.get("Dest"); dest != nullptr && dest->is_string()) {
        std::string text = string_text(*dest);
        if (text.starts_with("http://") || text.starts_with("https://")) return text;
    }
    return std::nullopt;
}

// The first four numbers of /Rect as they stand. Neither normalised nor
// transformed: callers compare them with the page's own coordinates.
std::array<double, 4> link_rect(const PdfObject& annot) {
    std::array<double, 4> rect{};
    const PdfObject* r = annot.get("Rect");
    if (r == nullptr || !r->is_array()) return rect;
    std::size_t found = 0;
    std::array<double, 4> numbers{};
    for (const PdfObject& item : r->as_array()) {
        if (auto v = item.number()) {
            numbers[found++] = *v;
            if (found == numbers.size()) return numbers;
        }
    }
    return rect;
}

Result<std::vector<PageLink>> collect_links(const Document& document) {
    QUARVEL_TRY(const std::vector<ObjectId> pages, document.page_refs());
    std::vector<PageLink> links;
    for (std::size_t index = 0; index < pages.size(); ++index) {
        // A page list longer than a 32-bit page number can name would need a
        // file of many gigabytes of references; such pages are not reachable
        // by number, so the collection stops there.
        if (!std::in_range<std::uint32_t>(index)) break;
        QUARVEL_TRY(const ObjectPtr page, document.get_object(pages[index].num));
        const PdfObject* annots = page->get("Annots");
        if (annots == nullptr) continue;
        ObjectPtr resolved_annots;
        if (annots->is_ref()) {
            QUARVEL_TRY(resolved_annots, document.get_object(annots->as_ref().num));
            annots = resolved_annots.get();
        }
        if (!annots->is_array()) continue;

        for (const PdfObject& element : annots->as_array()) {
            ObjectPtr resolved;
            const PdfObject* annot = &element;
            if (element.is_ref()) {
                QUARVEL_TRY(resolved, document.get_object(element.as_ref().num));
                annot = resolved.get();
            }
            if (!annot->has_dict()) continue;
            const PdfObject* subtype = annot->get("Subtype");
            if (subtype == nullptr || !subtype->is_name("Link")) continue;
            std::optional<std::string> target = link_target(document, *annot);
            if (!target) continue;
            links.push_back(
                PageLink{std::move(*target), link_rect(*annot), static_cast<std::uint32_t>(index)});
        }
    }
    return links;
}

} // namespace

Result<std::vector<PageLink>> extract_links(const Document& document) {
    return document.unless_changed(collect_links(document));
}

} // namespace quarvel::links

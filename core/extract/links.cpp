#include "extract/links.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "docinfo/destinations.h"
#include "syntax/strings.h"
#include "syntax/text.h"

namespace quarvel::links {
namespace {

// A literal string's bytes are kept raw by the parser; a web address written
// as (a_\(b\).html) means a_(b).html, and returning the backslashes would
// give a broken address.
std::string string_text(const PdfObject& s) {
    return lossy_utf8(s.is_hex_string() ? decode_hex_string(s.bytes())
                                        : decode_literal_string(s.bytes()).bytes);
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

Result<std::vector<PageLink>> collect_links(const Document& document, bool internal) {
    QUARVEL_TRY(const std::vector<ObjectId> pages, document.page_refs());
    std::vector<PageLink> links;
    // Read on the first internal link: named destinations take a walk of
    // the catalogue's name tree.
    std::optional<docinfo::Destinations> destinations;
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
                // Each annotation is read once here: caching tens of
                // thousands of them would outlast the scan.
                QUARVEL_TRY(resolved, document.get_object_transient(element.as_ref().num));
                annot = resolved.get();
            }
            if (!annot->has_dict()) continue;
            const PdfObject* subtype = annot->get("Subtype");
            if (subtype == nullptr || !subtype->is_name("Link")) continue;
            std::optional<std::string> target = link_target(document, *annot);
            if (!target && internal) {
                if (!destinations) destinations.emplace(document, pages);
                const docinfo::Target place = destinations->of_item(*annot);
                if (place.page) {
                    PageLink link;
                    link.bbox = link_rect(*annot);
                    link.page = static_cast<std::uint32_t>(index);
                    link.internal = true;
                    link.target_page = place.page;
                    link.target_top = place.top;
                    links.push_back(std::move(link));
                }
                continue;
            }
            if (!target) continue;
            PageLink link;
            link.uri = std::move(*target);
            link.bbox = link_rect(*annot);
            link.page = static_cast<std::uint32_t>(index);
            links.push_back(std::move(link));
        }
    }
    return links;
}

} // namespace

Result<std::vector<PageLink>> extract_links(const Document& document, bool internal) {
    return document.unless_changed(collect_links(document, internal));
}

} // namespace quarvel::links

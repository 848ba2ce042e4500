#include "docinfo/destinations.h"

#include <cmath>
#include <utility>

#include "docinfo/text_string.h"
#include "docinfo/trees.h"
#include "syntax/string_bytes.h"
#include "syntax/text.h"

namespace quarvel::docinfo {
namespace {

// Destination chains (a name for a dictionary whose /D is a name...) are
// followed a few steps only.
constexpr int kMaxDestinationHops = 4;

std::optional<double> finite_number(const Document& document, const PdfObject& value) {
    const std::optional<double> n = document.resolve(value)->number();
    if (n && std::isfinite(*n)) return n;
    return std::nullopt;
}

} // namespace

Destinations::Destinations(const Document& document)
    : Destinations(document, [&] {
          auto pages = document.page_refs();
          return pages.ok() ? std::move(pages).value() : std::vector<ObjectId>{};
      }()) {}

Destinations::Destinations(const Document& document, std::vector<ObjectId> pages)
    : document_(document), pages_(std::move(pages)) {
    page_by_object_.reserve(pages_.size());
    for (std::size_t i = 0; i < pages_.size() && std::in_range<std::uint32_t>(i); ++i) {
        page_by_object_.try_emplace(pages_[i].num, static_cast<std::uint32_t>(i));
    }
}

std::optional<std::uint32_t> Destinations::page_index(std::uint32_t num) const {
    if (auto it = page_by_object_.find(num); it != page_by_object_.end()) return it->second;
    return std::nullopt;
}

ObjectPtr Destinations::named(std::string_view name) const {
    if (!names_read_) {
        names_read_ = true;
        const ObjectPtr root = catalog(document_);
        // PDF 1.1 kept named destinations in a dictionary keyed by name.
        if (const ObjectPtr dests = get_resolved(document_, root, "Dests");
            dests != nullptr && dests->is_dict()) {
            for (const DictEntry& entry : dests->dict()) {
                names_.try_emplace(std::string(entry.key), ObjectPtr(dests, &entry.value));
            }
        }
        const ObjectPtr names = get_resolved(document_, root, "Names");
        walk_tree(document_, get_resolved(document_, names, "Dests"), "Names",
                  [&](const PdfObject& key, const ObjectPtr& value) {
                      if (key.is_string() || key.is_hex_string()) {
                          names_.try_emplace(string_bytes(key), value);
                      }
                      return true;
                  });
    }
    if (auto it = names_.find(std::string(name)); it != names_.end()) return it->second;
    return nullptr;
}

Target Destinations::of_destination(const PdfObject& destination) const {
    ObjectPtr dest = document_.resolve(destination);
    for (int hop = 0; hop < kMaxDestinationHops && dest != nullptr; ++hop) {
        // Named values are kept as written, references unresolved; the
        // map's entry keeps what holds them alive.
        if (dest->is_ref()) dest = document_.resolve(*dest);
        if (dest->is_name()) {
            dest = named(dest->bytes());
        } else if (dest->is_string() || dest->is_hex_string()) {
            dest = named(string_bytes(*dest));
        } else if (dest->has_dict()) {
            const PdfObject* d = dest->get("D");
            if (d == nullptr) return {};
            dest = document_.resolve(*d);
        } else {
            break;
        }
    }
    if (dest != nullptr && dest->is_ref()) dest = document_.resolve(*dest);
    Target target;
    if (dest == nullptr || !dest->is_array() || dest->as_array().empty()) return target;
    const PdfArray& items = dest->as_array();
    const PdfObject& page = items[0];
    if (page.is_ref()) {
        target.page = page_index(page.as_ref().num);
    } else if (page.is_int() && page.as_int() >= 0 &&
               static_cast<std::uint64_t>(page.as_int()) < pages_.size()) {
        // A page number where a page object belongs is for another
        // document, but producers write it for their own pages too.
        target.page = static_cast<std::uint32_t>(page.as_int());
    }
    if (!target.page) return target;
    if (items.size() < 2 || !items[1].is_name()) return target;
    const std::string_view kind = items[1].bytes();
    std::size_t top_index = 0;
    if (kind == "XYZ")
        top_index = 3;
    else if (kind == "FitH" || kind == "FitBH")
        top_index = 2;
    else if (kind == "FitR")
        top_index = 5;
    if (top_index != 0 && top_index < items.size()) {
        target.top = finite_number(document_, items[top_index]);
    }
    return target;
}

Target Destinations::of_action(const PdfObject& action) const {
    const ObjectPtr resolved = document_.resolve(action);
    if (resolved == nullptr || !resolved->has_dict()) return {};
    const PdfObject* kind = resolved->get("S");
    if (kind == nullptr) return {};
    if (kind->is_name("GoTo")) {
        if (const PdfObject* d = resolved->get("D")) return of_destination(*d);
    } else if (kind->is_name("URI")) {
        if (const PdfObject* uri = resolved->get("URI")) {
            const ObjectPtr text = document_.resolve(*uri);
            if (text->is_string() || text->is_hex_string()) {
                // Addresses are 7-bit ASCII; bytes beyond are read as
                // UTF-8, as browsers read them.
                Target target;
                const std::string bytes = string_bytes(*text);
                target.uri =
                    bytes.starts_with("\xFE\xFF") ? decode_text_string(bytes) : lossy_utf8(bytes);
                return target;
            }
        }
    }
    return {};
}

Target Destinations::of_item(const PdfObject& item) const {
    if (const PdfObject* dest = item.get("Dest")) return of_destination(*dest);
    if (const PdfObject* action = item.get("A")) return of_action(*action);
    return {};
}

} // namespace quarvel::docinfo

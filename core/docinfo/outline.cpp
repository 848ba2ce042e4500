#include "docinfo/outline.h"

#include <map>
#include <unordered_set>
#include <utility>

#include "docinfo/text_string.h"
#include "docinfo/trees.h"
#include "resource_limits.h"

namespace quarvel::docinfo {
namespace {

// The item a /First or /Next leads to; null at the end of a chain, or
// where it leads back to an item already read.
ObjectPtr next_item(const Document& document, const ObjectPtr& item, std::string_view key,
                    std::unordered_set<const PdfObject*>& seen) {
    ObjectPtr next = get_resolved(document, item, key);
    if (next == nullptr || !next->is_dict() || !seen.insert(next.get()).second) return nullptr;
    return next;
}

// Roman numerals for the R and r label styles. Numbers past the thousands
// repeat M, as viewers write them.
std::string roman(std::uint64_t n, bool upper) {
    static constexpr std::pair<unsigned, const char*> kParts[] = {
        {1000, "m"}, {900, "cm"}, {500, "d"}, {400, "cd"}, {100, "c"}, {90, "xc"}, {50, "l"},
        {40, "xl"},  {10, "x"},   {9, "ix"},  {5, "v"},    {4, "iv"},  {1, "i"}};
    std::string out;
    // A hostile /St of billions would write millions of M.
    if (n >= 100'000) return std::to_string(n);
    for (const auto& [value, text] : kParts) {
        while (n >= value) {
            out += text;
            n -= value;
        }
    }
    if (upper) {
        for (char& c : out)
            c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

// The A and a styles: a..z, then aa..zz, then aaa..., as the PDF standard
// counts them.
std::string letters(std::uint64_t n, bool upper) {
    if (n == 0) return {};
    const std::uint64_t repeat = (n - 1) / 26 + 1;
    if (repeat > 1000) return std::to_string(n);
    const char c = static_cast<char>((upper ? 'A' : 'a') + (n - 1) % 26);
    return std::string(static_cast<std::size_t>(repeat), c);
}

struct LabelRange {
    std::string style; // D R r A a, or empty for a prefix alone
    std::string prefix;
    std::uint64_t start = 1;
};

std::string label(const LabelRange& range, std::uint64_t offset) {
    const std::uint64_t n = range.start + offset;
    std::string number;
    if (range.style == "D")
        number = std::to_string(n);
    else if (range.style == "R")
        number = roman(n, true);
    else if (range.style == "r")
        number = roman(n, false);
    else if (range.style == "A")
        number = letters(n, true);
    else if (range.style == "a")
        number = letters(n, false);
    return range.prefix + number;
}

} // namespace

std::vector<OutlineEntry> read_outline(const Document& document) {
    return read_outline(document, Destinations(document));
}

std::vector<OutlineEntry> read_outline(const Document& document, const Destinations& destinations) {
    std::vector<OutlineEntry> entries;
    const ObjectPtr outlines = get_resolved(document, catalog(document), "Outlines");
    if (outlines == nullptr || !outlines->is_dict()) return entries;
    std::unordered_set<const PdfObject*> seen{outlines.get()};
    // The path from the top level to the item being read: each level's
    // item, whose /Next continues that level once its children are done.
    std::vector<ObjectPtr> path;
    if (ObjectPtr first = next_item(document, outlines, "First", seen)) {
        path.push_back(std::move(first));
    }
    while (!path.empty()) {
        if (entries.size() >= limits::kMaxOutlineEntries) break;
        const ObjectPtr item = path.back();
        OutlineEntry entry;
        entry.level = static_cast<int>(path.size());
        if (const ObjectPtr title = get_resolved(document, item, "Title")) {
            entry.title = text_string(*title);
        }
        Target target = destinations.of_item(*item);
        entry.page = target.page;
        entry.top = target.top;
        entry.uri = std::move(target.uri);
        entries.push_back(std::move(entry));

        if (path.size() < limits::kMaxOutlineDepth) {
            if (ObjectPtr child = next_item(document, item, "First", seen)) {
                path.push_back(std::move(child));
                continue;
            }
        }
        // No children: the next sibling here, else up the path.
        while (!path.empty()) {
            ObjectPtr next = next_item(document, path.back(), "Next", seen);
            path.pop_back();
            if (next != nullptr) {
                path.push_back(std::move(next));
                break;
            }
        }
    }
    return entries;
}

std::optional<std::vector<std::string>> read_page_labels(const Document& document) {
    auto pages = document.page_refs();
    return read_page_labels(document, pages.ok() ? pages.value().size() : 0);
}

std::optional<std::vector<std::string>> read_page_labels(const Document& document,
                                                         std::size_t page_count) {
    const ObjectPtr tree = get_resolved(document, catalog(document), "PageLabels");
    if (tree == nullptr || !tree->has_dict()) return std::nullopt;
    // Ranges by first page; a later pair for the same page loses, as the
    // tree's keys are meant to be unique.
    std::map<std::uint64_t, LabelRange> ranges;
    walk_tree(document, tree, "Nums", [&](const PdfObject& key, const ObjectPtr& written) {
        ObjectPtr value = written;
        if (value->is_ref()) value = document.resolve(*value);
        if (!key.is_int() || key.as_int() < 0 || value == nullptr || !value->has_dict()) {
            return true;
        }
        const auto first = static_cast<std::uint64_t>(key.as_int());
        if (first >= page_count) return true;
        LabelRange range;
        if (const ObjectPtr style = get_resolved(document, value, "S");
            style != nullptr && style->is_name()) {
            range.style = std::string(style->bytes());
        }
        if (const ObjectPtr prefix = get_resolved(document, value, "P")) {
            range.prefix = text_string(*prefix);
        }
        if (const ObjectPtr start = get_resolved(document, value, "St");
            start != nullptr && start->is_int() && start->as_int() >= 1) {
            range.start = static_cast<std::uint64_t>(start->as_int());
        }
        ranges.try_emplace(first, std::move(range));
        return true;
    });
    if (ranges.empty()) return std::nullopt;
    std::vector<std::string> labels;
    labels.reserve(page_count);
    auto current = ranges.end();
    for (std::size_t page = 0; page < page_count; ++page) {
        if (auto it = ranges.find(page); it != ranges.end()) current = it;
        // Pages before the first range have no label of their own.
        labels.push_back(current == ranges.end() ? std::to_string(page + 1)
                                                 : label(current->second, page - current->first));
    }
    return labels;
}

} // namespace quarvel::docinfo

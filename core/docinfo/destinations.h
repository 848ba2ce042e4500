// Where a bookmark or a link goes: a place in this document (an explicit
// destination, a named one through the catalogue's /Dests or the /Names
// /Dests name tree, a /GoTo action) or a web address (a /URI action).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "file/document.h"

namespace quarvel::docinfo {

struct Target {
    std::optional<std::uint32_t> page; // 0-based
    std::optional<double> top;         // the destination's y in user space
    std::optional<std::string> uri;    // UTF-8
};

// Resolves destinations of one document. Built once for a document's
// outline or links; the named destinations are read on first use.
class Destinations {
  public:
    explicit Destinations(const Document& document);
    // With the page list already read (the walk of a large page tree is
    // not free).
    Destinations(const Document& document, std::vector<ObjectId> pages);

    // A destination as /Dest or a /GoTo action's /D writes it: an array
    // [page /XYZ left top zoom] (or /Fit, /FitH top, /FitR l b r top, ...),
    // a name or string naming one, or a dictionary holding one under /D.
    Target of_destination(const PdfObject& destination) const;
    // An action dictionary: /GoTo with its /D, /URI with its address; any
    // other action goes nowhere this reader can name.
    Target of_action(const PdfObject& action) const;
    // An outline item or a link annotation: its /Dest, else its /A.
    Target of_item(const PdfObject& item) const;

    const std::vector<ObjectId>& pages() const { return pages_; }
    // The 0-based index of the page object `num`.
    std::optional<std::uint32_t> page_index(std::uint32_t num) const;

  private:
    // The destination a name stands for, or null.
    ObjectPtr named(std::string_view name) const;

    const Document& document_;
    std::vector<ObjectId> pages_;
    std::unordered_map<std::uint32_t, std::uint32_t> page_by_object_;
    mutable bool names_read_ = false;
    mutable std::unordered_map<std::string, ObjectPtr> names_;
};

} // namespace quarvel::docinfo

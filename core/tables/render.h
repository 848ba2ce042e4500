// A table as GitHub Markdown and as HTML: the one place both are written,
// for `quarvel tables` and for the Markdown of whole pages.
#pragma once

#include <string>

#include "tables/table.h"

namespace quarvel::tables {

// A GitHub pipe table. Its heading line is the table's header rows (their
// texts joined per column), or the first row when it has none. Markdown has
// no spans: a spanning cell's text stands at its top-left position and the
// positions it covers stay empty. "|" is escaped, line breaks become <br>.
// An empty string for a table without rows or columns.
std::string to_markdown(const Table& table);

// An HTML <table>: header rows in <thead> as <th>, the rest in <tbody>,
// spanning cells with rowspan and colspan, text escaped, line breaks as <br>.
std::string to_html(const Table& table);

} // namespace quarvel::tables

// Tables: the tables of a page as grids of cells, found from the page's
// painted rules and from the alignment of its words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "content/drawing.h"
#include "layout/layout.h"

namespace quarvel {

// One cell of a table grid. A spanning cell covers row_span rows and
// col_span columns from (row, col); the grid positions it covers hold no
// other cell.
struct TableCell {
    std::size_t row = 0;
    std::size_t col = 0;
    std::size_t row_span = 1;
    std::size_t col_span = 1;
    BBox bbox{};
    std::string text; // UTF-8, the cell's lines joined by '\n'
};

struct Table {
    std::size_t page = 0; // 0-based page number in the document
    BBox bbox{};
    std::size_t rows = 0;
    std::size_t cols = 0;
    // Ordered by row, then column.
    std::vector<TableCell> cells;
    // How many rows at the top head the columns.
    std::size_t header_rows = 0;
    // True when the grid came from painted rules on both axes.
    bool ruled = false;
};

namespace tables {

// A word of the page: its text, box and style.
struct Word {
    std::string text;
    BBox bbox{};
    double size = 0;
    bool bold = false;
};

// The page's words from its laid-out blocks: the characters of a span split
// at spaces and at gaps wider than a fraction of their size (rotated ones
// left out: a table's cells read horizontally), or, for spans that no longer
// hold their characters, the span's text split at spaces over its box.
std::vector<Word> page_words(std::span<const TextBlock> blocks);

// An axis-aligned rule: a horizontal one runs from `from` to `to` at `at`
// (a y), a vertical one at an x from y `from` to `to`.
struct Rule {
    bool horizontal = true;
    double at = 0;
    double from = 0;
    double to = 0;
};

// The rules a page's drawings paint: straight lines and the edges of
// rectangles that are horizontal or vertical, thin rectangles as one rule,
// nearly collinear pieces snapped together and joined. At most
// limits::kMaxCandidateRules rules are kept, longest first.
std::vector<Rule> page_rules(std::span<const Drawing> drawings);

// Every table of a page in reading order (top to bottom, left to right):
// grids closed by rules first, then tables told by the alignment of the
// words outside them. At most limits::kMaxTablesPerPage tables, each of at
// most limits::kMaxCellsPerTable grid positions. Never fails; coordinates
// that are not finite are ignored.
std::vector<Table> find_tables(std::span<const Word> words, std::span<const Rule> rules);

// The same from a page's extraction result.
std::vector<Table> find_tables(std::span<const TextBlock> blocks,
                               std::span<const Drawing> drawings);

// The grid of a table: rows × cols entries, a cell's text at its top-left
// position and nothing at the positions a spanning cell covers (and at
// positions no cell covers).
std::vector<std::vector<const TableCell*>> grid(const Table& table);

} // namespace tables
} // namespace quarvel

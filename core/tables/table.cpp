// The table finder. Two sources, in this order:
//
// 1. Rules. The page's horizontal and vertical rules are joined into groups
//    that touch; a group with at least two rules each way spans a grid over
//    the distinct rule positions, and a grid position whose rule to the next
//    one is missing is merged with it, which gives spanning cells. Groups
//    that close a single box (a page frame, a text box), or whose cells hold
//    no words (a chart's gridlines), are not tables.
// 2. Alignment. Outside the ruled grids, the page's text lines are cut into
//    phrases at wide gaps; a run of lines with phrases in at least three
//    lines is a table when the x ranges that almost no phrase covers split it
//    into at least two columns, one of which holds short entries (a page of
//    prose in two columns has only long ones). Horizontal rules across such
//    a run (the way papers typeset tables) mark its header and, when they
//    separate most rows, which lines make one row.
//
// Every distance is relative to the body size of the words involved, so
// the same thresholds hold for a footnote-sized table and a poster.
#include "tables/table.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <utility>

#include "resource_limits.h"
#include "syntax/text.h"

namespace quarvel::tables {
namespace {

// --- thresholds, in em of the words' size unless said otherwise -------------

// A gap between two characters of a span wider than this starts a new word
// (producers that position words instead of drawing spaces).
constexpr double kWordGapEm = 0.25;
// A gap between two words of a line wider than this separates two phrases,
// candidate cells. Inter-word spaces, justified ones included, stay under
// about half an em; table columns are set further apart.
constexpr double kPhraseGapEm = 0.8;
// Lines further apart than this do not belong to one table.
constexpr double kMaxRowGapEm = 2.6;
// A column gap is at least this wide.
constexpr double kMinColumnGapEm = 0.5;
// A line of one phrase that covers more than this share of a run's width
// is prose, and ends the run.
constexpr double kProseLineShare = 0.6;
// Rows a header takes at most; more rows above a rule are a table's body.
constexpr std::size_t kMaxHeaderRows = 3;
// Lines with two or more phrases a table needs.
constexpr std::size_t kMinTableRows = 3;
// Share of a run's lines whose phrases may cross a column gap: spanning
// group headings and section labels in the body.
constexpr double kSpanningLineShare = 0.15;
// A column whose entries have at most this many words, by median, holds
// data; a table has at least one such column, prose has none.
constexpr double kShortEntryWords = 3.0;

// A column whose entries have at least this many words, by median, is prose.
constexpr double kProseEntryWords = 6.0;
// Share of a grid's positions an aligned table fills at least; text whose
// words line up by chance leaves most of its grid empty.
constexpr double kMinFilledShare = 0.35;
// Share of a ruled grid's cells that hold text at least: the boxes of a form
// waiting to be filled in, or the nested boxes of a chart, leave most empty.
constexpr double kMinFilledRuledShare = 0.25;
// Share of entries that may be lone non-Latin glyphs.
constexpr double kLoneGlyphShare = 0.6;
// Share of rows with dot leaders that makes a grid a list of contents.
constexpr double kLeaderRowShare = 0.3;
// A first column of entries no longer than this (bytes: a bullet, "12." or
// "iv)") before a column of prose is a list, not a table.
constexpr std::size_t kMarkerBytes = 4;

// Rules, in user-space points: what the line art of tables measures. Two
// rules closer than kSnap are one (doubled borders, hairline offsets); pieces
// of one rule with a gap up to kJoin are joined; a rectangle thinner than
// kThinRule is painted as a rule.
constexpr double kSnap = 3.0;
constexpr double kJoin = 3.0;
constexpr double kThinRule = 2.5;
constexpr double kAxisSlack = 1.0;
constexpr double kMinRuleLength = 2.0;
// Grid rows or columns narrower than this are slivers between rules that did
// not snap; they are merged with their neighbour.
constexpr double kMinCellExtent = 1.0;

bool finite_box(const BBox& b) {
    return std::isfinite(b[0]) && std::isfinite(b[1]) && std::isfinite(b[2]) &&
           std::isfinite(b[3]);
}

bool is_space(char32_t ch) {
    return ch == U' ' || ch == U'\t' || ch == U'\u00A0' || ch == U'\u2002' || ch == U'\u2003' ||
           ch == U'\u2009' || ch == U'\n' || ch == U'\r';
}

bool bold_font(std::string_view font) {
    for (std::string_view mark : {"Bold", "bold", "Black", "Heavy", "Semibold", "Demi"}) {
        if (font.find(mark) != std::string_view::npos) return true;
    }
    return false;
}

double center_x(const BBox& b) { return (b[0] + b[2]) / 2; }
double center_y(const BBox& b) { return (b[1] + b[3]) / 2; }

void grow(BBox& into, const BBox& b) {
    into[0] = std::min(into[0], b[0]);
    into[1] = std::min(into[1], b[1]);
    into[2] = std::max(into[2], b[2]);
    into[3] = std::max(into[3], b[3]);
}

constexpr BBox kEmptyBox{HUGE_VAL, HUGE_VAL, -HUGE_VAL, -HUGE_VAL};

// --- text lines ----------------------------------------------------------------

// A text line of the whole page: indices of its words, left to right.
struct Line {
    std::vector<std::size_t> words;
    BBox bbox = kEmptyBox;
    double size = 0; // the largest word size
};

// Words into lines across the whole page: a word joins the line whose
// vertical extent holds its centre. Lines come top to bottom.
std::vector<Line> page_lines(std::span<const Word> words) {
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (finite_box(words[i].bbox)) order.push_back(i);
    }
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        const double ya = center_y(words[a].bbox), yb = center_y(words[b].bbox);
        if (ya != yb) return ya > yb;
        return words[a].bbox[0] < words[b].bbox[0];
    });
    std::vector<Line> lines;
    for (std::size_t i : order) {
        const Word& w = words[i];
        const double cy = center_y(w.bbox);
        if (lines.empty() || cy < lines.back().bbox[1] || cy > lines.back().bbox[3]) {
            lines.emplace_back();
        }
        Line& line = lines.back();
        line.words.push_back(i);
        grow(line.bbox, w.bbox);
        line.size = std::max(line.size, w.size);
    }
    for (Line& line : lines) {
        std::sort(line.words.begin(), line.words.end(), [&](std::size_t a, std::size_t b) {
            return words[a].bbox[0] < words[b].bbox[0];
        });
        if (!(line.size > 0)) line.size = std::max(1.0, line.bbox[3] - line.bbox[1]);
    }
    return lines;
}

// Words in reading order, one line after another, joined by spaces within a
// line and by '\n' between lines.
void append_word(std::string& text, std::size_t& last_line, std::size_t line,
                 const std::string& word) {
    if (!text.empty()) text += line == last_line ? ' ' : '\n';
    text += word;
    last_line = line;
}

// --- union-find ------------------------------------------------------------------

struct Sets {
    std::vector<std::size_t> parent;
    explicit Sets(std::size_t n) : parent(n) { std::iota(parent.begin(), parent.end(), 0); }
    std::size_t find(std::size_t x) {
        while (parent[x] != x) x = parent[x] = parent[parent[x]];
        return x;
    }
    void join(std::size_t a, std::size_t b) { parent[find(a)] = find(b); }
};

// --- rules -----------------------------------------------------------------------

void add_rule(std::vector<Rule>& out, bool horizontal, double at, double a, double b) {
    if (!std::isfinite(at) || !std::isfinite(a) || !std::isfinite(b)) return;
    if (a > b) std::swap(a, b);
    if (b - a < kMinRuleLength) return;
    out.push_back({horizontal, at, a, b});
}

void add_rect(std::vector<Rule>& out, double x0, double y0, double x1, double y1) {
    if (x0 > x1) std::swap(x0, x1);
    if (y0 > y1) std::swap(y0, y1);
    const double w = x1 - x0, h = y1 - y0;
    if (h <= kThinRule && w > h) {
        add_rule(out, true, (y0 + y1) / 2, x0, x1);
    } else if (w <= kThinRule && h > w) {
        add_rule(out, false, (x0 + x1) / 2, y0, y1);
    } else {
        add_rule(out, true, y0, x0, x1);
        add_rule(out, true, y1, x0, x1);
        add_rule(out, false, x0, y0, y1);
        add_rule(out, false, x1, y0, y1);
    }
}

// Rules of one direction snapped to common positions and joined where their
// pieces meet or overlap.
void snap_and_join(std::vector<Rule>& rules, std::vector<Rule>& out) {
    std::sort(rules.begin(), rules.end(),
              [](const Rule& a, const Rule& b) { return a.at < b.at; });
    std::size_t i = 0;
    while (i < rules.size()) {
        std::size_t j = i + 1;
        while (j < rules.size() && rules[j].at - rules[i].at <= kSnap) ++j;
        // One position for the cluster: the longest piece's.
        double at = rules[i].at, longest = -1;
        for (std::size_t k = i; k < j; ++k) {
            if (rules[k].to - rules[k].from > longest) {
                longest = rules[k].to - rules[k].from;
                at = rules[k].at;
            }
        }
        std::sort(rules.begin() + static_cast<std::ptrdiff_t>(i),
                  rules.begin() + static_cast<std::ptrdiff_t>(j),
                  [](const Rule& a, const Rule& b) { return a.from < b.from; });
        Rule current = rules[i];
        current.at = at;
        for (std::size_t k = i + 1; k < j; ++k) {
            if (rules[k].from <= current.to + kJoin) {
                current.to = std::max(current.to, rules[k].to);
            } else {
                out.push_back(current);
                current = rules[k];
                current.at = at;
            }
        }
        out.push_back(current);
        i = j;
    }
}

// --- ruled tables ------------------------------------------------------------------

// Positions of the rules of one direction, clustered: the sorted distinct
// positions, and for each rule the index of its position.
std::vector<double> cluster_positions(const std::vector<const Rule*>& rules,
                                      std::vector<std::size_t>& index) {
    std::vector<std::size_t> order(rules.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return rules[a]->at < rules[b]->at; });
    std::vector<double> positions;
    index.assign(rules.size(), 0);
    double start = 0;
    for (std::size_t k : order) {
        if (positions.empty() || rules[k]->at - start > kSnap) {
            positions.push_back(rules[k]->at);
            start = rules[k]->at;
        }
        index[k] = positions.size() - 1;
    }
    return positions;
}

// Adds an outer grid line at `extent` when the rules of the other direction
// reach beyond the outermost rule (an open-sided table).
void add_extent(std::vector<double>& positions, double extent) {
    if (positions.empty()) return;
    if (extent < positions.front() - kSnap) positions.insert(positions.begin(), extent);
    if (extent > positions.back() + kSnap) positions.push_back(extent);
}

// Drops grid lines closer than kMinCellExtent to the previous one.
void drop_slivers(std::vector<double>& positions) {
    std::vector<double> kept;
    for (double p : positions) {
        if (kept.empty() || p - kept.back() >= kMinCellExtent) kept.push_back(p);
    }
    positions = std::move(kept);
}

std::size_t nearest(const std::vector<double>& positions, double v) {
    auto it = std::lower_bound(positions.begin(), positions.end(), v);
    if (it == positions.end()) return positions.size() - 1;
    if (it == positions.begin()) return 0;
    return (v - *(it - 1) <= *it - v) ? static_cast<std::size_t>(it - positions.begin() - 1)
                                      : static_cast<std::size_t>(it - positions.begin());
}

// The interval [positions[k], positions[k+1]] holding v, or npos outside.
std::size_t interval(const std::vector<double>& positions, double v) {
    if (positions.size() < 2 || !(v >= positions.front()) || !(v <= positions.back())) {
        return static_cast<std::size_t>(-1);
    }
    auto it = std::upper_bound(positions.begin(), positions.end(), v);
    std::size_t k = static_cast<std::size_t>(it - positions.begin());
    return k == 0 ? 0 : std::min(k - 1, positions.size() - 2);
}

struct Lines {
    std::span<const Word> words;
    std::vector<Line> lines;
    std::vector<std::size_t> line_of; // word index → line index
};

std::size_t header_by_style(const Table& table, const std::vector<std::size_t>& bold_words,
                            const std::vector<std::size_t>& all_words);

// Whether one of the rules reaches v along its length.
bool covered(const std::vector<const Rule*>& rules, double v) {
    for (const Rule* r : rules) {
        if (v >= r->from - kSnap && v <= r->to + kSnap) return true;
    }
    return false;
}

// The table of a grid whose lines are xs and ys (ascending), each with the
// rules that lie on it, or nothing when it is a frame or holds no words.
std::optional<Table> grid_table(const std::vector<double>& xs, const std::vector<double>& ys,
                                const std::vector<std::vector<const Rule*>>& on_x,
                                const std::vector<std::vector<const Rule*>>& on_y,
                                const Lines& text, std::vector<bool>& used) {
    if (ys.size() < 2 || xs.size() < 2) return std::nullopt;
    const std::size_t rows = ys.size() - 1, cols = xs.size() - 1;
    if (rows > limits::kMaxCellsPerTable / cols) return std::nullopt;
    // Grid position (r, c): r counts from the top; ys ascend upwards.
    auto top = [&](std::size_t r) { return ys[rows - r]; };
    auto bottom = [&](std::size_t r) { return ys[rows - r - 1]; };
    Sets cells(rows * cols);
    for (std::size_t r = 0; r < rows; ++r) {
        const double mid_y = (top(r) + bottom(r)) / 2;
        for (std::size_t c = 0; c < cols; ++c) {
            const double mid_x = (xs[c] + xs[c + 1]) / 2;
            if (c + 1 < cols && !covered(on_x[c + 1], mid_y)) cells.join(r * cols + c, r * cols + c + 1);
            if (r + 1 < rows && !covered(on_y[rows - r - 1], mid_x)) {
                cells.join(r * cols + c, (r + 1) * cols + c);
            }
        }
    }
    // Each merged group becomes one cell over the rows and columns it spans.
    struct Extent {
        std::size_t r0 = SIZE_MAX, c0 = SIZE_MAX, r1 = 0, c1 = 0;
        std::size_t cell = SIZE_MAX;
    };
    std::vector<Extent> groups(rows * cols);
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t c = 0; c < cols; ++c) {
            Extent& g = groups[cells.find(r * cols + c)];
            g.r0 = std::min(g.r0, r), g.c0 = std::min(g.c0, c);
            g.r1 = std::max(g.r1, r), g.c1 = std::max(g.c1, c);
        }
    }
    Table table;
    table.ruled = true;
    table.rows = rows;
    table.cols = cols;
    table.bbox = {xs.front(), ys.front(), xs.back(), ys.back()};
    std::size_t widest_row = 0;
    std::vector<std::size_t> per_row(rows, 0);
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t c = 0; c < cols; ++c) {
            Extent& g = groups[cells.find(r * cols + c)];
            // A group that is not a rectangle (rules missing around a
            // corner) becomes one cell over its bounding rows and columns.
            if (g.cell != SIZE_MAX) continue;
            g.cell = table.cells.size();
            TableCell cell;
            cell.row = g.r0;
            cell.col = g.c0;
            cell.row_span = g.r1 - g.r0 + 1;
            cell.col_span = g.c1 - g.c0 + 1;
            cell.bbox = {xs[g.c0], bottom(g.r1), xs[g.c1 + 1], top(g.r0)};
            table.cells.push_back(std::move(cell));
            widest_row = std::max(widest_row, ++per_row[g.r0]);
        }
    }
    // A single box, or one column of stacked boxes, is a frame.
    if (table.cells.size() < 2 || widest_row < 2) return std::nullopt;

    // Words by the grid position their centre falls in, in reading order.
    std::vector<std::size_t> last_line(table.cells.size(), SIZE_MAX);
    std::vector<std::size_t> taken;
    std::vector<std::size_t> bold_words(rows, 0), all_words(rows, 0);
    for (std::size_t li = 0; li < text.lines.size(); ++li) {
        const Line& line = text.lines[li];
        if (line.bbox[1] > table.bbox[3] || line.bbox[3] < table.bbox[1]) continue;
        for (std::size_t wi : line.words) {
            if (used[wi]) continue;
            const BBox& b = text.words[wi].bbox;
            const std::size_t c = interval(xs, center_x(b));
            const std::size_t k = interval(ys, center_y(b));
            if (c == static_cast<std::size_t>(-1) || k == static_cast<std::size_t>(-1)) continue;
            const std::size_t r = rows - 1 - k;
            const std::size_t cell = groups[cells.find(r * cols + c)].cell;
            append_word(table.cells[cell].text, last_line[cell], li, text.words[wi].text);
            taken.push_back(wi);
            const std::size_t top_row = table.cells[cell].row;
            ++all_words[top_row];
            bold_words[top_row] += text.words[wi].bold ? 1 : 0;
        }
    }
    std::size_t filled = 0;
    for (const TableCell& cell : table.cells) filled += cell.text.empty() ? 0 : 1;
    // Gridlines of a chart, a frame around a figure, an empty form.
    if (filled < 2 || double(filled) < kMinFilledRuledShare * double(table.cells.size()))
        return std::nullopt;
    for (std::size_t wi : taken) used[wi] = true;
    table.header_rows = header_by_style(table, bold_words, all_words);
    std::stable_sort(table.cells.begin(), table.cells.end(),
                     [](const TableCell& a, const TableCell& b) {
                         return a.row != b.row ? a.row < b.row : a.col < b.col;
                     });
    return table;
}

// The tables a group of touching rules closes. Boxes drawn edge to edge (a
// frame right above a table, two tables stacked without a gap) join into one
// group; the group is cut between rows whose outermost vertical rules differ,
// and each band keeps only the grid lines that its own rules use.
std::vector<Table> ruled_tables(const std::vector<const Rule*>& hs,
                                const std::vector<const Rule*>& vs, const Lines& text,
                                std::vector<bool>& used) {
    std::vector<Table> out;
    std::vector<std::size_t> h_index, v_index;
    std::vector<double> ys = cluster_positions(hs, h_index); // ascending
    std::vector<double> xs = cluster_positions(vs, v_index);
    if (ys.size() < 2 || xs.size() < 2) return out;
    double min_x = HUGE_VAL, max_x = -HUGE_VAL, min_y = HUGE_VAL, max_y = -HUGE_VAL;
    for (const Rule* r : hs) min_x = std::min(min_x, r->from), max_x = std::max(max_x, r->to);
    for (const Rule* r : vs) min_y = std::min(min_y, r->from), max_y = std::max(max_y, r->to);
    add_extent(xs, min_x);
    add_extent(xs, max_x);
    add_extent(ys, min_y);
    add_extent(ys, max_y);
    drop_slivers(xs);
    drop_slivers(ys);
    if (ys.size() < 2 || xs.size() < 2) return out;
    // Which rules lie on each grid line, to test its pieces cell by cell.
    std::vector<std::vector<const Rule*>> on_y(ys.size()), on_x(xs.size());
    for (const Rule* r : hs) on_y[nearest(ys, r->at)].push_back(r);
    for (const Rule* r : vs) on_x[nearest(xs, r->at)].push_back(r);

    // Each row band (bottom to top here) by the outermost vertical lines
    // that reach into it; a row no vertical reaches goes with its neighbour.
    constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    std::size_t band_start = 0, band_lo = kNone, band_hi = kNone;
    auto flush = [&](std::size_t end) { // rows [band_start, end) of ys
        // Columns outside the band's outermost verticals belong to a wider
        // box in another band; inner lines no rule of the band reaches are
        // another band's.
        const std::size_t c0 = band_lo == kNone ? 0 : band_lo;
        const std::size_t c1 = band_lo == kNone ? xs.size() - 1 : band_hi;
        std::vector<double> bx, by;
        std::vector<std::vector<const Rule*>> bon_x, bon_y;
        for (std::size_t c = c0; c <= c1; ++c) {
            bool reached = c == c0 || c == c1;
            for (std::size_t k = band_start; k < end && !reached; ++k)
                reached = covered(on_x[c], (ys[k] + ys[k + 1]) / 2);
            if (!reached) continue;
            bx.push_back(xs[c]);
            bon_x.push_back(on_x[c]);
        }
        for (std::size_t k = band_start; k <= end; ++k) {
            bool reached = k == band_start || k == end;
            for (std::size_t c = 0; c + 1 < bx.size() && !reached; ++c)
                reached = covered(on_y[k], (bx[c] + bx[c + 1]) / 2);
            if (!reached) continue;
            by.push_back(ys[k]);
            bon_y.push_back(on_y[k]);
        }
        if (out.size() >= limits::kMaxTablesPerPage) return;
        if (std::optional<Table> table = grid_table(bx, by, bon_x, bon_y, text, used))
            out.push_back(std::move(*table));
    };
    for (std::size_t k = 0; k + 1 < ys.size(); ++k) {
        const double mid_y = (ys[k] + ys[k + 1]) / 2;
        std::size_t lo = kNone, hi = kNone;
        for (std::size_t c = 0; c < xs.size(); ++c) {
            if (!covered(on_x[c], mid_y)) continue;
            if (lo == kNone) lo = c;
            hi = c;
        }
        if (lo == kNone || lo == hi) continue;
        if (band_lo != kNone && (lo != band_lo || hi != band_hi)) {
            flush(k);
            band_start = k;
        }
        band_lo = lo;
        band_hi = hi;
    }
    flush(ys.size() - 1);
    return out;
}

// --- tables from alignment -----------------------------------------------------------

struct Phrase {
    std::vector<std::size_t> words;
    double x0 = 0, x1 = 0;
};

std::vector<Phrase> phrases(const Line& line, const Lines& text, const std::vector<bool>& used) {
    std::vector<Phrase> out;
    for (std::size_t wi : line.words) {
        if (used[wi]) continue;
        const Word& w = text.words[wi];
        const double gap_limit = kPhraseGapEm * std::max(w.size, 1.0);
        if (out.empty() || w.bbox[0] - out.back().x1 > gap_limit) {
            out.push_back({{}, w.bbox[0], w.bbox[2]});
        }
        out.back().words.push_back(wi);
        out.back().x1 = std::max(out.back().x1, w.bbox[2]);
    }
    return out;
}

bool numeric(std::string_view s) {
    bool digit = false;
    for (char ch : s) {
        if (ch >= '0' && ch <= '9') {
            digit = true;
        } else if (std::string_view(" .,-+%$()€£/").find(ch) == std::string_view::npos &&
                   static_cast<unsigned char>(ch) < 0x80) {
            return false;
        }
    }
    return digit;
}

std::size_t word_count(std::string_view text) {
    std::size_t n = 0;
    bool in_word = false;
    for (char ch : text) {
        const bool space = ch == ' ' || ch == '\n';
        n += !space && !in_word;
        in_word = !space;
    }
    return n;
}

// Whether a grid found from alignment reads as a table rather than as text
// that happens to line up: most rows have two or more entries, most of the
// grid is filled, it is not a list of contents (dot leaders) and not a list
// of items (bullets or numbers before prose).
bool looks_tabular(const Table& table) {
    std::vector<std::size_t> per_row(table.rows, 0);
    std::size_t covered = 0, leaders = 0;
    bool marker_column = table.cols == 2;
    std::vector<std::size_t> second_words;
    std::size_t filled = 0, lone_glyphs = 0;
    for (const TableCell& cell : table.cells) {
        if (cell.text.empty()) continue;
        ++filled;
        // One character of a non-Latin script: a glyph of vertical text or
        // of text the layout could not join, not a table entry.
        const unsigned char lead = static_cast<unsigned char>(cell.text[0]);
        lone_glyphs += lead >= 0xC0 && cell.text.size() <= 4 &&
                       cell.text.find(' ') == std::string::npos;
        ++per_row[cell.row];
        covered += cell.col_span;
        if (cell.text.find(". . .") != std::string::npos ||
            cell.text.find("...") != std::string::npos) {
            ++leaders;
        }
        if (cell.col == 0 && cell.text.size() > kMarkerBytes) marker_column = false;
        if (cell.col == 1) second_words.push_back(word_count(cell.text));
    }
    if (double(lone_glyphs) > kLoneGlyphShare * double(filled)) return false;
    std::size_t wide_rows = 0;
    for (std::size_t n : per_row) wide_rows += n >= 2;
    if (wide_rows < 2 || 2 * wide_rows < table.rows) return false;
    if (double(covered) < kMinFilledShare * double(table.rows * table.cols)) return false;
    if (leaders >= 3 && double(leaders) >= kLeaderRowShare * double(table.rows)) return false;
    if (marker_column && !second_words.empty()) {
        std::nth_element(second_words.begin(), second_words.begin() + second_words.size() / 2,
                         second_words.end());
        if (double(second_words[second_words.size() / 2]) > kShortEntryWords) return false;
    }
    return true;
}

// The header rows told by style: leading rows whose words are all bold over
// a body that is not; else a first row of labels over numbers; else none.
// `bold_words` and `all_words` count each row's words.
std::size_t header_by_style(const Table& table, const std::vector<std::size_t>& bold_words,
                            const std::vector<std::size_t>& all_words) {
    const std::size_t rows = table.rows;
    std::size_t bold = 0;
    while (bold < rows && all_words[bold] > 0 && bold_words[bold] == all_words[bold]) ++bold;
    bool body_plain = false;
    for (std::size_t r = bold; r < rows; ++r) body_plain = body_plain || bold_words[r] < all_words[r];
    if (bold > 0 && bold <= kMaxHeaderRows && body_plain) return bold;
    bool first_labels = true, body_numbers = false;
    for (const TableCell& cell : table.cells) {
        if (cell.text.empty()) continue;
        if (cell.row == 0) first_labels = first_labels && !numeric(cell.text);
        else body_numbers = body_numbers || numeric(cell.text);
    }
    return first_labels && body_numbers ? 1 : 0;
}

// A run of lines as a table, or nothing when its gaps do not make columns or
// its columns read as prose.
std::optional<Table> aligned_table(const std::vector<std::size_t>& run,
                                   const std::vector<std::vector<Phrase>>& line_phrases,
                                   const Lines& text, std::span<const Rule> rules) {
    // Coverage of x by the run's phrases, one count per line.
    struct Event {
        double x;
        int delta;
    };
    std::vector<Event> events;
    double size = 0, left = HUGE_VAL, right = -HUGE_VAL;
    std::size_t multi = 0;
    for (std::size_t li : run) {
        const auto& ps = line_phrases[li];
        if (ps.size() >= 2) ++multi;
        size = std::max(size, text.lines[li].size);
        for (const Phrase& p : ps) {
            events.push_back({p.x0, +1});
            events.push_back({p.x1, -1});
            left = std::min(left, p.x0);
            right = std::max(right, p.x1);
        }
    }
    if (multi < kMinTableRows) return std::nullopt;
    std::sort(events.begin(), events.end(), [](const Event& a, const Event& b) {
        return a.x != b.x ? a.x < b.x : a.delta > b.delta;
    });
    const int allowed = static_cast<int>(std::floor(kSpanningLineShare * double(run.size())));
    // Column separators: x ranges covered by at most `allowed` phrases. Each
    // column boundary goes in the middle of the longest stretch of its range
    // that the fewest phrases cover, so that a spanning heading which starts
    // inside the range does not pull the boundary past its start.
    struct Stretch {
        double from, to;
        int depth;
    };
    std::vector<Stretch> stretches; // consecutive, between events
    int depth = 0;
    for (std::size_t k = 0; k < events.size(); ++k) {
        depth += events[k].delta;
        if (k + 1 < events.size() && events[k + 1].x > events[k].x) {
            stretches.push_back({events[k].x, events[k + 1].x, depth});
        }
    }
    std::vector<double> bounds{left};
    for (std::size_t k = 0; k < stretches.size();) {
        if (stretches[k].depth > allowed) {
            ++k;
            continue;
        }
        std::size_t end = k;
        int least = stretches[k].depth;
        while (end < stretches.size() && stretches[end].depth <= allowed) {
            least = std::min(least, stretches[end].depth);
            ++end;
        }
        const double from = stretches[k].from, to = stretches[end - 1].to;
        if (to - from >= kMinColumnGapEm * size && from > left && to < right) {
            double best_from = from, best_to = from;
            for (std::size_t m = k; m < end;) {
                if (stretches[m].depth != least) {
                    ++m;
                    continue;
                }
                std::size_t n = m;
                while (n < end && stretches[n].depth == least) ++n;
                if (stretches[n - 1].to - stretches[m].from > best_to - best_from) {
                    best_from = stretches[m].from;
                    best_to = stretches[n - 1].to;
                }
                m = n;
            }
            bounds.push_back((best_from + best_to) / 2);
        }
        k = end;
    }
    if (bounds.size() < 2) return std::nullopt;
    bounds.push_back(right);
    const std::size_t cols = bounds.size() - 1;
    auto column_of = [&](double x) {
        auto it = std::upper_bound(bounds.begin() + 1, bounds.end() - 1, x);
        return static_cast<std::size_t>(it - bounds.begin() - 1);
    };

    // Entries per line and column; words per entry, for the prose test.
    struct Entry {
        std::size_t col = 0, span = 1;
        const Phrase* phrase = nullptr;
    };
    std::vector<std::vector<Entry>> entries(run.size());
    std::vector<std::vector<std::size_t>> words_per_col(cols);
    for (std::size_t k = 0; k < run.size(); ++k) {
        for (const Phrase& p : line_phrases[run[k]]) {
            const std::size_t c0 = column_of(p.x0), c1 = column_of(p.x1);
            entries[k].push_back({c0, c1 - c0 + 1, &p});
            if (c0 == c1) words_per_col[c0].push_back(p.words.size());
        }
    }
    bool data_column = false;
    std::vector<double> median_words(cols, 0);
    for (std::size_t c = 0; c < cols; ++c) {
        auto& counts = words_per_col[c];
        if (counts.empty()) continue;
        std::nth_element(counts.begin(), counts.begin() + counts.size() / 2, counts.end());
        median_words[c] = double(counts[counts.size() / 2]);
        if (median_words[c] <= kShortEntryWords) data_column = true;
    }
    if (!data_column) return std::nullopt;

    // A column of prose at either edge is the text beside a table (a page in
    // two columns, one of them holding the table): the table is what is left
    // without it. Each step drops a column, so this ends.
    if (cols >= 3) {
        for (const bool first : {true, false}) {
            const std::size_t c = first ? 0 : cols - 1;
            if (median_words[c] < kProseEntryWords) continue;
            const double cut = first ? bounds[1] : bounds[cols - 1];
            // Only the run's lines are copied: a page may hold many runs.
            std::vector<std::vector<Phrase>> kept(line_phrases.size());
            std::vector<std::size_t> rest;
            for (std::size_t li : run) {
                auto& ps = kept[li] = line_phrases[li];
                std::erase_if(ps, [&](const Phrase& p) { return first ? p.x1 <= cut : p.x0 >= cut; });
                if (!ps.empty()) rest.push_back(li);
            }
            return aligned_table(rest, kept, text, rules);
        }
    }

    BBox box = kEmptyBox;
    for (std::size_t li : run) grow(box, text.lines[li].bbox);
    box[0] = left;
    box[2] = right;

    // Horizontal rules across the run: the lines between two of them make
    // one row when they separate most rows; the lines above the first inner
    // one are the header.
    std::vector<double> inner; // rule y positions strictly inside the run
    for (const Rule& r : rules) {
        if (!r.horizontal || r.at <= box[1] || r.at >= box[3]) continue;
        if (r.to - r.from < 0.5 * (right - left) || r.to < left || r.from > right) continue;
        inner.push_back(r.at);
    }
    std::sort(inner.begin(), inner.end(), std::greater<>());
    std::vector<std::size_t> band(run.size(), 0); // rule interval of each line, from the top
    for (std::size_t k = 0; k < run.size(); ++k) {
        const double cy = center_y(text.lines[run[k]].bbox);
        while (band[k] < inner.size() && inner[band[k]] > cy) ++band[k];
    }
    std::size_t bands_with_lines = run.empty() ? 0 : 1;
    for (std::size_t k = 1; k < run.size(); ++k) bands_with_lines += band[k] != band[k - 1];
    const bool rows_by_rules = bands_with_lines >= 3;

    // Gaps between lines: a line closer to the previous one than the midway
    // of the run's gaps, and sparser than it, continues its row.
    std::vector<double> line_gap(run.size(), 0);
    double min_gap = HUGE_VAL, max_gap = 0;
    for (std::size_t k = 1; k < run.size(); ++k) {
        line_gap[k] = text.lines[run[k - 1]].bbox[1] - text.lines[run[k]].bbox[3];
        min_gap = std::min(min_gap, line_gap[k]);
        max_gap = std::max(max_gap, line_gap[k]);
    }
    const bool bimodal = run.size() > 2 && max_gap > 1.5 * std::max(min_gap, 0.1 * size) &&
                         max_gap - min_gap > 0.2 * size;
    const double split_gap = (min_gap + max_gap) / 2;

    std::vector<std::size_t> row_of(run.size(), 0);
    std::size_t rows = 0;
    for (std::size_t k = 0; k < run.size(); ++k) {
        bool continues = false;
        if (k > 0) {
            if (rows_by_rules) {
                continues = band[k] == band[k - 1];
            } else if (bimodal && line_gap[k] < split_gap) {
                const auto& now = entries[k];
                const auto& before = entries[k - 1];
                const bool first_empty = now.empty() || now.front().col > 0;
                continues = first_empty || now.size() < before.size();
            }
        }
        if (!continues) ++rows;
        row_of[k] = rows - 1;
    }
    if (rows < 2 || rows > limits::kMaxCellsPerTable / cols) return std::nullopt;

    Table table;
    table.rows = rows;
    table.cols = cols;
    table.bbox = box;
    // Row extents from their lines, for empty cells' boxes.
    std::vector<std::pair<double, double>> row_y(rows, {HUGE_VAL, -HUGE_VAL});
    for (std::size_t k = 0; k < run.size(); ++k) {
        auto& ry = row_y[row_of[k]];
        ry.first = std::min(ry.first, text.lines[run[k]].bbox[1]);
        ry.second = std::max(ry.second, text.lines[run[k]].bbox[3]);
    }
    // Cells by grid position; a spanning phrase takes the positions it
    // covers, unless an earlier entry holds one.
    std::vector<std::size_t> at(rows * cols, SIZE_MAX);
    std::vector<std::size_t> last_line;
    std::vector<std::size_t> bold_words(rows, 0), all_words(rows, 0);
    for (std::size_t k = 0; k < run.size(); ++k) {
        const std::size_t r = row_of[k];
        for (const Entry& e : entries[k]) {
            std::size_t col = e.col;
            // A spanning entry whose first column is taken starts at the
            // first free one it covers.
            while (at[r * cols + col] != SIZE_MAX && col + 1 < e.col + e.span) ++col;
            std::size_t& slot = at[r * cols + col];
            if (slot == SIZE_MAX) {
                const std::size_t span = e.col + e.span - col;
                bool free = true;
                for (std::size_t c = col + 1; c < col + span; ++c) {
                    free = free && at[r * cols + c] == SIZE_MAX;
                }
                slot = table.cells.size();
                TableCell cell;
                cell.row = r;
                cell.col = col;
                cell.col_span = free ? span : 1;
                cell.bbox = kEmptyBox;
                for (std::size_t c = col + 1; c < col + cell.col_span; ++c) {
                    at[r * cols + c] = slot;
                }
                table.cells.push_back(std::move(cell));
                last_line.push_back(SIZE_MAX);
            }
            TableCell& cell = table.cells[slot];
            for (std::size_t wi : e.phrase->words) {
                append_word(cell.text, last_line[slot], run[k], text.words[wi].text);
                grow(cell.bbox, text.words[wi].bbox);
                ++all_words[r];
                bold_words[r] += text.words[wi].bold ? 1 : 0;
            }
        }
    }
    // Empty grid positions become empty cells, so the grid is complete.
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t c = 0; c < cols; ++c) {
            if (at[r * cols + c] != SIZE_MAX) continue;
            at[r * cols + c] = table.cells.size();
            TableCell cell;
            cell.row = r;
            cell.col = c;
            cell.bbox = {bounds[c], row_y[r].first, bounds[c + 1], row_y[r].second};
            table.cells.push_back(std::move(cell));
        }
    }
    std::sort(table.cells.begin(), table.cells.end(), [](const TableCell& a, const TableCell& b) {
        return a.row != b.row ? a.row < b.row : a.col < b.col;
    });

    if (!looks_tabular(table)) return std::nullopt;

    // Header: the rows above the first inner rule when it is near the top;
    // else leading bold rows over a body that is not bold; else a first row
    // of labels over numbers.
    if (!inner.empty()) {
        std::size_t above = 0;
        for (std::size_t k = 0; k < run.size(); ++k) {
            if (band[k] == 0) above = row_of[k] + 1;
        }
        if (above > 0 && above <= kMaxHeaderRows && above < rows) table.header_rows = above;
    }
    if (table.header_rows == 0) table.header_rows = header_by_style(table, bold_words, all_words);
    return table;
}

// Runs of lines that may be tables: consecutive lines close enough, starting
// at a line of two or more phrases, ended by a prose line.
void aligned_tables(const Lines& text, const std::vector<bool>& used,
                    std::span<const Rule> rules, std::vector<Table>& out) {
    std::vector<std::vector<Phrase>> line_phrases(text.lines.size());
    for (std::size_t li = 0; li < text.lines.size(); ++li) {
        line_phrases[li] = phrases(text.lines[li], text, used);
    }
    std::size_t i = 0;
    while (i < text.lines.size() && out.size() < limits::kMaxTablesPerPage) {
        if (line_phrases[i].size() < 2) {
            ++i;
            continue;
        }
        std::vector<std::size_t> run{i};
        double left = line_phrases[i].front().x0, right = line_phrases[i].back().x1;
        std::size_t j = i + 1;
        for (; j < text.lines.size(); ++j) {
            const auto& ps = line_phrases[j];
            if (ps.empty()) continue; // a line of words already in a ruled table
            const Line& prev = text.lines[run.back()];
            const Line& line = text.lines[j];
            const double gap = prev.bbox[1] - line.bbox[3];
            if (gap > kMaxRowGapEm * std::max(prev.size, line.size)) break;
            if (ps.size() == 1 && ps[0].x1 - ps[0].x0 > kProseLineShare * (right - left)) break;
            run.push_back(j);
            left = std::min(left, ps.front().x0);
            right = std::max(right, ps.back().x1);
        }
        // Trailing lines of one phrase are a note or the next paragraph.
        while (run.size() > 1 && line_phrases[run.back()].size() < 2) run.pop_back();
        std::optional<Table> table = aligned_table(run, line_phrases, text, rules);
        if (table) {
            out.push_back(std::move(*table));
            i = run.back() + 1;
        } else {
            // A table may start inside a run that is not one, but restarting
            // at every line would make a long page of prose quadratic.
            i += std::max<std::size_t>(1, run.size() / 2);
        }
    }
}

// Words of a span whose characters are gone (the full reader keeps only
// the text and box): its text split at spaces, each word given the share of
// the span's width its characters take. Spans end at gaps wider than an em,
// so the shares stand close to the glyphs' own positions.
void span_words(const TextSpan& span, bool bold, std::vector<Word>& words) {
    std::u32string text;
    for (std::size_t i = 0; i < span.text.size();)
        text.push_back(next_code_point(span.text, i));
    if (text.empty()) return;
    const double advance = (span.bbox[2] - span.bbox[0]) / double(text.size());
    const double size = span.size > 0 ? span.size : span.bbox[3] - span.bbox[1];
    Word* word = nullptr;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (is_space(text[i])) {
            word = nullptr;
            continue;
        }
        const double x0 = span.bbox[0] + advance * double(i);
        if (word == nullptr) {
            words.push_back({{}, {x0, span.bbox[1], x0 + advance, span.bbox[3]}, size, bold});
            word = &words.back();
        }
        append_utf8(word->text, text[i]);
        word->bbox[2] = x0 + advance;
    }
}

} // namespace

std::vector<Word> page_words(std::span<const TextBlock> blocks) {
    std::vector<Word> words;
    for (const TextBlock& block : blocks) {
        for (const TextLine& line : block.lines) {
            for (const TextSpan& span : line.spans) {
                const bool bold = (span.flags & span_flags::kBold) != 0 || bold_font(span.font);
                if (!finite_box(span.bbox)) continue;
                if (span.chars.empty()) {
                    span_words(span, bold, words);
                    continue;
                }
                Word* word = nullptr;
                const CharInfo* prev = nullptr;
                for (const CharInfo& ch : span.chars) {
                    const BBox box{ch.x0, ch.y0, ch.x1, ch.y1};
                    if (ch.rotation != 0 || !finite_box(box) || is_space(ch.ch)) {
                        word = nullptr;
                        prev = nullptr;
                        continue;
                    }
                    const double size = ch.size > 0 ? double(ch.size)
                                                    : (span.size > 0 ? span.size : ch.y1 - ch.y0);
                    if (word != nullptr && prev != nullptr &&
                        (ch.x0 - prev->x1 > kWordGapEm * size || ch.x0 < prev->x0 - size)) {
                        word = nullptr;
                    }
                    if (word == nullptr) {
                        words.push_back({{}, box, size, bold});
                        word = &words.back();
                    }
                    append_utf8(word->text, ch.ch);
                    grow(word->bbox, box);
                    word->size = std::max(word->size, size);
                    prev = &ch;
                }
            }
        }
    }
    return words;
}

std::vector<Rule> page_rules(std::span<const Drawing> drawings) {
    std::vector<Rule> raw;
    for (const Drawing& d : drawings) {
        if (!d.stroke && !d.fill) continue;
        // A white fill without a stroke paints nothing on a white page.
        if (!d.stroke && d.fill && *d.fill == 0xFFFFFF) continue;
        bool lines_only = !d.items.empty();
        bool axis_aligned = true;
        for (const PathItem& item : d.items) {
            if (item.kind != PathItem::Kind::Line) lines_only = false;
            if (item.kind == PathItem::Kind::Line) {
                const double dx = std::fabs(item.p[2] - item.p[0]);
                const double dy = std::fabs(item.p[3] - item.p[1]);
                if (dx > kAxisSlack && dy > kAxisSlack) axis_aligned = false;
            }
        }
        // A filled outline of straight axis-aligned lines paints its box.
        if (!d.stroke && lines_only && axis_aligned) {
            add_rect(raw, d.bbox[0], d.bbox[1], d.bbox[2], d.bbox[3]);
            continue;
        }
        for (const PathItem& item : d.items) {
            const auto& p = item.p;
            if (item.kind == PathItem::Kind::Rect) {
                add_rect(raw, p[0], p[1], p[2], p[3]);
            } else if (item.kind == PathItem::Kind::Line && d.stroke) {
                if (std::fabs(p[3] - p[1]) <= kAxisSlack) {
                    add_rule(raw, true, (p[1] + p[3]) / 2, p[0], p[2]);
                } else if (std::fabs(p[2] - p[0]) <= kAxisSlack) {
                    add_rule(raw, false, (p[0] + p[2]) / 2, p[1], p[3]);
                }
            }
        }
    }
    std::vector<Rule> hs, vs;
    for (const Rule& r : raw) (r.horizontal ? hs : vs).push_back(r);
    std::vector<Rule> out;
    snap_and_join(hs, out);
    snap_and_join(vs, out);
    if (out.size() > limits::kMaxCandidateRules) {
        std::partial_sort(out.begin(),
                          out.begin() + static_cast<std::ptrdiff_t>(limits::kMaxCandidateRules),
                          out.end(), [](const Rule& a, const Rule& b) {
                              return a.to - a.from > b.to - b.from;
                          });
        out.resize(limits::kMaxCandidateRules);
    }
    return out;
}

std::vector<Table> find_tables(std::span<const Word> words, std::span<const Rule> rules) {
    Lines text;
    text.words = words;
    text.lines = page_lines(words);
    std::vector<bool> used(words.size(), false);
    std::vector<Table> found;

    // Groups of touching rules.
    std::vector<Rule> finite_rules;
    for (const Rule& r : rules.first(std::min(rules.size(), limits::kMaxCandidateRules))) {
        if (std::isfinite(r.at) && std::isfinite(r.from) && std::isfinite(r.to)) {
            finite_rules.push_back(r);
        }
    }
    rules = finite_rules;
    const std::size_t n = rules.size();
    Sets groups(n);
    for (std::size_t a = 0; a < n; ++a) {
        if (!rules[a].horizontal) continue;
        for (std::size_t b = 0; b < n; ++b) {
            if (rules[b].horizontal) continue;
            const Rule& h = rules[a];
            const Rule& v = rules[b];
            if (v.at >= h.from - kSnap && v.at <= h.to + kSnap && h.at >= v.from - kSnap &&
                h.at <= v.to + kSnap) {
                groups.join(a, b);
            }
        }
    }
    std::vector<std::vector<std::size_t>> members(n);
    for (std::size_t k = 0; k < n; ++k) members[groups.find(k)].push_back(k);
    for (const auto& group : members) {
        if (group.size() < 4 || found.size() >= limits::kMaxTablesPerPage) continue;
        std::vector<const Rule*> hs, vs;
        for (std::size_t k : group) (rules[k].horizontal ? hs : vs).push_back(&rules[k]);
        for (Table& table : ruled_tables(hs, vs, text, used)) found.push_back(std::move(table));
    }
    aligned_tables(text, used, rules, found);

    // Reading order: top to bottom, and tables whose vertical extents
    // overlap (side by side) left to right.
    std::sort(found.begin(), found.end(),
              [](const Table& a, const Table& b) { return a.bbox[3] > b.bbox[3]; });
    for (std::size_t i = 0; i < found.size();) {
        std::size_t j = i + 1;
        double bottom = found[i].bbox[1];
        while (j < found.size() && found[j].bbox[3] > bottom) {
            bottom = std::min(bottom, found[j].bbox[1]);
            ++j;
        }
        std::sort(found.begin() + static_cast<std::ptrdiff_t>(i),
                  found.begin() + static_cast<std::ptrdiff_t>(j),
                  [](const Table& a, const Table& b) { return a.bbox[0] < b.bbox[0]; });
        i = j;
    }
    if (found.size() > limits::kMaxTablesPerPage) found.resize(limits::kMaxTablesPerPage);
    return found;
}

std::vector<Table> find_tables(std::span<const TextBlock> blocks,
                               std::span<const Drawing> drawings) {
    const std::vector<Word> words = page_words(blocks);
    const std::vector<Rule> rules = page_rules(drawings);
    return find_tables(words, rules);
}

std::vector<std::vector<const TableCell*>> grid(const Table& table) {
    std::vector<std::vector<const TableCell*>> out(
        table.rows, std::vector<const TableCell*>(table.cols, nullptr));
    for (const TableCell& cell : table.cells) {
        if (cell.row < table.rows && cell.col < table.cols) out[cell.row][cell.col] = &cell;
    }
    return out;
}

} // namespace quarvel::tables

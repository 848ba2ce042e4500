#include "tables/table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "resource_limits.h"
#include "tables/render.h"

namespace quarvel {
namespace {

using tables::Rule;
using tables::Word;

constexpr double kSize = 10;

// A word at (x, baseline y) with a 0.5 em advance a character.
Word word(const std::string& text, double x, double y, bool bold = false) {
    return Word{text, {x, y, x + 5.0 * double(text.size()), y + kSize}, kSize, bold};
}

// Words of a line: each phrase starts at its x; words in one phrase are
// separated by a normal space.
void line(std::vector<Word>& out, double y, std::vector<std::pair<double, std::string>> phrases,
          bool bold = false) {
    for (auto& [x, phrase] : phrases) {
        double at = x;
        std::size_t start = 0;
        while (start <= phrase.size()) {
            std::size_t end = phrase.find(' ', start);
            if (end == std::string::npos) end = phrase.size();
            const std::string w = phrase.substr(start, end - start);
            out.push_back(word(w, at, y, bold));
            at += 5.0 * double(w.size()) + 2.5;
            start = end + 1;
        }
    }
}

Drawing stroked_lines(const std::vector<std::array<double, 4>>& segments) {
    Drawing d;
    d.stroke = 0;
    d.width = 0.5;
    for (const auto& s : segments) {
        PathItem item;
        item.kind = PathItem::Kind::Line;
        item.p = {s[0], s[1], s[2], s[3]};
        d.items.push_back(item);
    }
    return d;
}

// A ruled grid: horizontal rules at `ys`, vertical ones at `xs`, each
// running across the whole grid.
Drawing grid_lines(const std::vector<double>& xs, const std::vector<double>& ys) {
    std::vector<std::array<double, 4>> segments;
    for (double y : ys) segments.push_back({xs.front(), y, xs.back(), y});
    for (double x : xs) segments.push_back({x, ys.front(), x, ys.back()});
    return stroked_lines(segments);
}

std::vector<std::vector<std::string>> texts(const Table& table) {
    std::vector<std::vector<std::string>> out;
    for (const auto& row : tables::grid(table)) {
        out.emplace_back();
        for (const TableCell* cell : row) out.back().push_back(cell ? cell->text : "<none>");
    }
    return out;
}

std::vector<Table> find(const std::vector<Word>& words, const std::vector<Drawing>& drawings) {
    const std::vector<Rule> rules = tables::page_rules(drawings);
    return tables::find_tables(words, rules);
}

TEST(RuledTables, GridWithMultiLineCell) {
    std::vector<Word> words;
    // Rows between y = 700, 680, 650, 630; columns between x = 100, 200, 300.
    line(words, 685, {{105, "Name"}, {205, "Value"}});
    line(words, 667, {{105, "alpha"}, {205, "1"}});
    line(words, 655, {{105, "beta"}});
    line(words, 635, {{105, "gamma"}, {205, "3"}});
    const auto found = find(words, {grid_lines({100, 200, 300}, {630, 650, 680, 700})});
    ASSERT_EQ(found.size(), 1u);
    EXPECT_TRUE(found[0].ruled);
    EXPECT_EQ(found[0].header_rows, 1u); // labels over numbers
    const std::vector<std::vector<std::string>> want{
        {"Name", "Value"}, {"alpha\nbeta", "1"}, {"gamma", "3"}};
    EXPECT_EQ(texts(found[0]), want);
}

TEST(RuledTables, PiecesAndThinRectanglesJoinIntoRules) {
    std::vector<Word> words;
    line(words, 685, {{105, "a"}, {205, "b"}});
    line(words, 665, {{105, "c"}, {205, "d"}});
    // Horizontal rules as thin filled rectangles, each in two pieces with a
    // hairline gap; vertical rules drawn a little off their common x.
    Drawing fills;
    fills.fill = 0x000000;
    for (double y : {660.0, 680.0, 700.0}) {
        for (auto [x0, x1] : {std::pair{100.0, 201.0}, std::pair{202.0, 300.0}}) {
            PathItem item;
            item.kind = PathItem::Kind::Rect;
            item.p = {x0, y - 0.4, x1, y + 0.4};
            fills.items.push_back(item);
        }
    }
    Drawing verticals =
        stroked_lines({{100, 660, 100, 700}, {200.8, 660, 200.8, 700}, {299.5, 660, 299.5, 700}});
    const auto found = find(words, {fills, verticals});
    ASSERT_EQ(found.size(), 1u);
    const std::vector<std::vector<std::string>> want{{"a", "b"}, {"c", "d"}};
    EXPECT_EQ(texts(found[0]), want);
}

TEST(RuledTables, MissingRulesMakeSpanningCells) {
    std::vector<Word> words;
    line(words, 685, {{105, "Group"}});
    line(words, 665, {{105, "x"}, {205, "y"}});
    line(words, 645, {{105, "tall"}, {205, "z"}});
    line(words, 625, {{205, "w"}});
    // Columns 100|200|300; rows 700|680|660|640|620. The top row has no
    // middle rule (colspan 2); the first column has no rule at 640 in its
    // lower part (rowspan 2).
    Drawing d = stroked_lines({{100, 700, 300, 700},
                               {100, 680, 300, 680},
                               {100, 660, 300, 660},
                               {200, 640, 300, 640},
                               {100, 620, 300, 620},
                               {100, 620, 100, 700},
                               {200, 620, 200, 680},
                               {300, 620, 300, 700}});
    const auto found = find(words, {d});
    ASSERT_EQ(found.size(), 1u);
    const Table& t = found[0];
    ASSERT_EQ(t.rows, 4u);
    ASSERT_EQ(t.cols, 2u);
    const std::vector<std::vector<std::string>> want{
        {"Group", "<none>"}, {"x", "y"}, {"tall", "z"}, {"<none>", "w"}};
    EXPECT_EQ(texts(t), want);
    EXPECT_EQ(t.cells[0].col_span, 2u);
    EXPECT_EQ(tables::grid(t)[2][0]->row_span, 2u);
    EXPECT_NE(tables::to_html(t).find("<td colspan=\"2\">Group</td>"), std::string::npos);
    EXPECT_NE(tables::to_html(t).find("<td rowspan=\"2\">tall</td>"), std::string::npos);
}

TEST(RuledTables, SideBySideTablesStayApartInReadingOrder) {
    std::vector<Word> words;
    line(words, 685, {{55, "L1"}, {105, "L2"}, {305, "R1"}, {355, "R2"}});
    line(words, 665, {{55, "L3"}, {105, "L4"}, {305, "R3"}, {355, "R4"}});
    const auto found = find(words, {grid_lines({300, 350, 400}, {660, 680, 700}),
                                    grid_lines({50, 100, 150}, {660, 680, 700})});
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(texts(found[0])[0][0], "L1");
    EXPECT_EQ(texts(found[1])[1][1], "R4");
}

TEST(RuledTables, FramesAndChartGridsAreNotTables) {
    std::vector<Word> words;
    line(words, 700, {{60, "A page of text inside a frame"}});
    line(words, 680, {{60, "more text of the page"}});
    // A page frame (one box), a box split by one rule into header and body,
    // and a chart's gridlines with no words in their cells.
    Drawing frame = grid_lines({40, 570}, {40, 750});
    Drawing header_box = grid_lines({45, 565}, {45, 720, 745});
    Drawing chart = grid_lines({100, 150, 200, 250}, {100, 150, 200});
    EXPECT_TRUE(find(words, {frame, header_box, chart}).empty());
}

TEST(AlignedTables, ColumnsFromGapsWithBoldHeader) {
    std::vector<Word> words;
    line(words, 740, {{72, "Table 1: Results of the runs"}});
    line(words, 720, {{72, "Country"}, {200, "2019"}, {260, "2020"}}, true);
    line(words, 706, {{72, "France"}, {200, "1.2"}, {260, "3.4"}});
    line(words, 692, {{72, "United Kingdom"}, {200, "5.6"}, {260, "7.8"}});
    line(words, 678, {{72, "Spain"}, {200, "9.1"}});
    line(words, 650, {{72, "The text goes on below the table in a paragraph of prose that"}});
    line(words, 636, {{72, "runs across the whole width of the column and then further."}});
    const auto found = find(words, {});
    ASSERT_EQ(found.size(), 1u);
    const Table& t = found[0];
    EXPECT_FALSE(t.ruled);
    EXPECT_EQ(t.header_rows, 1u);
    const std::vector<std::vector<std::string>> want{{"Country", "2019", "2020"},
                                                     {"France", "1.2", "3.4"},
                                                     {"United Kingdom", "5.6", "7.8"},
                                                     {"Spain", "9.1", ""}};
    EXPECT_EQ(texts(t), want);
    EXPECT_EQ(tables::to_markdown(t), "| Country | 2019 | 2020 |\n| --- | --- | --- |\n"
                                      "| France | 1.2 | 3.4 |\n| United Kingdom | 5.6 | 7.8 |\n"
                                      "| Spain | 9.1 |  |\n");
}

TEST(AlignedTables, HorizontalRulesMarkHeaderAndRows) {
    std::vector<Word> words;
    // Rules above the header, under it, between rows and at the bottom: the
    // lines between two rules are one row.
    line(words, 720, {{72, "Item"}, {200, "Note"}});
    line(words, 700, {{72, "first"}, {200, "short"}});
    line(words, 688, {{200, "wrapped"}});
    line(words, 668, {{72, "second"}, {200, "x"}});
    line(words, 648, {{72, "third"}, {200, "y"}});
    Drawing rules = stroked_lines({{70, 733, 300, 733},
                                   {70, 715, 300, 715},
                                   {70, 682, 300, 682},
                                   {70, 662, 300, 662},
                                   {70, 645, 300, 645}});
    const auto found = find(words, {rules});
    ASSERT_EQ(found.size(), 1u);
    const std::vector<std::vector<std::string>> want{
        {"Item", "Note"}, {"first", "short\nwrapped"}, {"second", "x"}, {"third", "y"}};
    EXPECT_EQ(texts(found[0]), want);
    EXPECT_EQ(found[0].header_rows, 1u);
}

TEST(AlignedTables, ProseBesideATableIsLeftOut) {
    std::vector<Word> words;
    const std::vector<std::pair<std::string, std::string>> rows{
        {"Size", "3.94 MB"}, {"Type", "Viewer"}, {"License", "Apache"}, {"Website", "example.org"}};
    for (std::size_t i = 0; i < rows.size(); ++i) {
        line(words, 700 - 14.0 * double(i), {{72, "prose of the page runs on beside it here"},
                                             {360, rows[i].first},
                                             {430, rows[i].second}});
    }
    const auto found = find(words, {});
    ASSERT_EQ(found.size(), 1u);
    const std::vector<std::vector<std::string>> want{
        {"Size", "3.94 MB"}, {"Type", "Viewer"}, {"License", "Apache"}, {"Website", "example.org"}};
    EXPECT_EQ(texts(found[0]), want);
}

TEST(AlignedTables, TwoColumnProseIsNotATable) {
    std::vector<Word> words;
    for (int i = 0; i < 20; ++i) {
        const double y = 700 - 12.0 * i;
        line(words, y, {{72, "words of the left column of prose run"}, {320, "and the right column runs too"}});
    }
    EXPECT_TRUE(find(words, {}).empty());
}

// A grid of `rows` × 100 ruled cells, 2 pt apart, with a word in two cells.
std::vector<Table> ruled_grid(std::size_t rows) {
    std::vector<double> xs, ys;
    for (std::size_t c = 0; c <= 100; ++c) xs.push_back(10 + 4.0 * double(c));
    for (std::size_t r = 0; r <= rows; ++r) ys.push_back(10 + 4.0 * double(r));
    // A word in every third column: a grid that is mostly empty is a form.
    std::vector<Word> words;
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t c = 0; c < 100; c += 3) {
            const double x = 11 + 4.0 * double(c), y = 11 + 4.0 * double(r);
            words.push_back(Word{"a", {x, y, x + 1, y + 1}, 1, false});
        }
    }
    return find(words, {grid_lines(xs, ys)});
}

TEST(Limits, CellsPerTableAtAndPastTheLimit) {
    static_assert(limits::kMaxCellsPerTable == 100'000);
    EXPECT_EQ(ruled_grid(1000).size(), 1u);
    EXPECT_TRUE(ruled_grid(1001).empty());
}

TEST(Limits, TablesPerPageAtAndPastTheLimit) {
    for (const std::size_t n : {limits::kMaxTablesPerPage, limits::kMaxTablesPerPage + 1}) {
        std::vector<Word> words;
        std::vector<Drawing> drawings;
        for (std::size_t i = 0; i < n; ++i) {
            const double x = 10 + 30.0 * double(i % 20), y = 10 + 30.0 * double(i / 20);
            drawings.push_back(grid_lines({x, x + 10, x + 20}, {y, y + 20}));
            words.push_back(Word{"a", {x + 2, y + 5, x + 4, y + 7}, 2, false});
            words.push_back(Word{"b", {x + 12, y + 5, x + 14, y + 7}, 2, false});
        }
        EXPECT_EQ(find(words, drawings).size(), limits::kMaxTablesPerPage);
    }
}

TEST(Limits, CrossingRulesPastTheCellLimitAreNoTable) {
    // A hatching of crossing rules: capped at the candidate limit, and the
    // grid it spans is past the cell limit, so no table and no long wait.
    std::vector<std::array<double, 4>> segments;
    for (int i = 0; i < 5000; ++i) {
        const double at = 10 + 4.0 * i;
        segments.push_back({10, at, 20010, at});
        segments.push_back({at, 10, at, 20010});
    }
    std::vector<Word> words;
    line(words, 300, {{301, "x"}, {401, "y"}});
    const std::vector<Rule> rules = tables::page_rules(std::vector<Drawing>{stroked_lines(segments)});
    EXPECT_LE(rules.size(), limits::kMaxCandidateRules);
    EXPECT_TRUE(tables::find_tables(words, rules).empty());
}

} // namespace
} // namespace quarvel

// The table finder over arbitrary words and painted paths: the input is a
// sequence of 11-byte records, each a word (a letter and its box) or a path
// piece (a line or a rectangle, stroked or filled), with a few coordinate
// codes standing for NaN and the infinities. Found tables are rendered too.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "tables/render.h"
#include "tables/table.h"

using quarvel::fuzz::coordinate;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t kRecord = 11;
    std::vector<quarvel::tables::Word> words;
    quarvel::Drawing strokes, fills;
    strokes.stroke = 0;
    fills.fill = 0;
    for (std::size_t off = 0; off + kRecord <= size; off += kRecord) {
        const std::uint8_t* p = data + off;
        const double a = coordinate(p + 2), b = coordinate(p + 4);
        const double c = coordinate(p + 6), d = coordinate(p + 8);
        switch (p[0] % 4) {
        case 0:
        case 1: {
            quarvel::tables::Word w;
            w.text.assign(1, static_cast<char>('A' + p[1] % 26));
            w.bbox = {a, b, c, d};
            w.size = 1 + p[10] % 24;
            w.bold = (p[0] & 4) != 0;
            words.push_back(std::move(w));
            break;
        }
        default: {
            quarvel::PathItem item;
            item.kind = (p[1] & 1) ? quarvel::PathItem::Kind::Rect : quarvel::PathItem::Kind::Line;
            item.p = {a, b, c, d};
            (p[0] % 4 == 2 ? strokes : fills).items.push_back(item);
        }
        }
    }
    const std::vector<quarvel::Drawing> drawings{strokes, fills};
    const auto rules = quarvel::tables::page_rules(drawings);
    for (const quarvel::Table& table : quarvel::tables::find_tables(words, rules)) {
        (void)quarvel::tables::to_markdown(table);
        (void)quarvel::tables::to_html(table);
    }
    return 0;
}

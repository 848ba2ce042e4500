#include "layout/reading_order.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <iterator>
#include <limits>
#include <utility>

#include "syntax/text.h"

namespace quarvel {
namespace {

// Coordinates are clamped to this after non-finite ones are dropped, so no
// sum or difference below can overflow to infinity (and then to NaN). A
// page is at most 14,400 units wide; nothing legible lies further out.
constexpr double kCoordLimit = 1e9;
constexpr double kMinSize = 1e-3;

// A span ends at a gap wider than this many font sizes: a tab stop, a table
// cell or a column gutter, never a word space. Under one size, like the
// gutter below: two-column papers leave as little as a size between their
// columns once a justified line's last glyph overshoots the measure, and a
// span bridging the gutter would join the columns line by line.
constexpr double kSpanGapSizes = 0.9;
// Glyphs of one span sit on one baseline within this fraction of the size;
// a superscript or subscript starts a span of its own.
constexpr double kBaselineShift = 0.1;

// A whitespace gap between columns is at least this many font sizes wide.
// Against pdftotext's word order (bench/reading_order.py), 0.9 reads the
// narrow-gutter papers in columns where a full size joined them, and costs
// less elsewhere than 0.8, which starts to cut loosely set lines...
constexpr double kMinGutterSizes = 0.9;
// ...and the text on each side of it at least this many sizes wide, unless
// the gap itself is wider: a column of list numbers or bullets is not a
// column of text.
constexpr double kMinColumnSizes = 4.0;
constexpr double kWideGutterSizes = 3.0;
// Both sides of a gutter run over more than one row: their cores span more
// than this many sizes.
constexpr double kMinColumnRows = 1.0;
// Horizontal cuts take every gap this close to the widest one, so evenly
// spaced lines are cut in one step rather than peeled off one by one.
constexpr double kCutTolerance = 0.9;
// Deeper regions are read line by line without further cuts: it bounds the
// cutting at kMaxCutDepth sorts of the page's spans.
constexpr int kMaxCutDepth = 48;

// A glyph in the reading frame of its baseline direction: u runs along the
// baseline, v across it downwards, so that text of any orientation reads as
// ordinary horizontal text does.
struct Glyph {
    double u0, u1, top, bottom;
    double size;
    std::uint32_t font;
    char32_t ch;
    std::uint32_t index; // into the page's characters
    std::uint8_t flags;  // CharInfo::flags
};

// A span in the frame, with its result in user space.
struct FrameSpan {
    double u0, u1, top, bottom, base, size;
    std::size_t glyphs; // how many characters it holds
    bool rtl;
    TextSpan span;
};

struct FrameLine {
    double u0, u1, base, size;
    TextLine line;
};

bool is_rtl(char32_t c) {
    if (c < 0x0590) return false; // most text, at one comparison
    return (c >= 0x0590 && c <= 0x08FF) || (c >= 0xFB1D && c <= 0xFDFF) ||
           (c >= 0xFE70 && c <= 0xFEFF) || (c >= 0x10800 && c <= 0x10FFF) ||
           (c >= 0x1E800 && c <= 0x1EFFF);
}

bool is_space(char32_t c) {
    if (c > 0x20 && c < 0x7F) return false; // most text, at two comparisons
    return c <= 0x20 || c == 0x7F || c == 0xA0 || (c >= 0x2000 && c <= 0x200B) || c == 0x3000;
}

// Lower-case letters of the scripts whose words break with a hyphen: Latin
// (Basic, Latin-1, Extended-A), Greek and Cyrillic.
bool is_lower(char32_t c) {
    if (c >= 'a' && c <= 'z') return true;
    if (c >= 0xDF && c <= 0xFF) return c != 0xF7;
    // Latin Extended-A pairs capital and small letters, small at odd code
    // points, except in 0x139..0x148 and 0x179..0x17E where small is even.
    if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return (c & 1) == 0;
    if (c >= 0x100 && c <= 0x17F) return (c & 1) == 1 || c == 0x138;
    if (c >= 0x3AC && c <= 0x3CE) return true;
    return c >= 0x430 && c <= 0x45F;
}

double clamp_coord(double v) { return std::clamp(v, -kCoordLimit, kCoordLimit); }

void widen(BBox& box, const BBox& other) {
    box[0] = std::min(box[0], other[0]);
    box[1] = std::min(box[1], other[1]);
    box[2] = std::max(box[2], other[2]);
    box[3] = std::max(box[3], other[3]);
}

constexpr BBox kEmpty{kCoordLimit, kCoordLimit, -kCoordLimit, -kCoordLimit};

// A character's box with its edges in order and within the clamp, or false
// when an edge is not finite or the box lies wholly outside the page.
bool user_box(const CharInfo& c, const BBox& page, BBox& out) {
    // Finite edges have a finite sum unless it overflows, which the edge by
    // edge test settles.
    if (!std::isfinite(c.x0 + c.y0 + c.x1 + c.y1) &&
        (!std::isfinite(c.x0) || !std::isfinite(c.y0) || !std::isfinite(c.x1) ||
         !std::isfinite(c.y1))) {
        return false;
    }
    out = {clamp_coord(std::min(c.x0, c.x1)), clamp_coord(std::min(c.y0, c.y1)),
           clamp_coord(std::max(c.x0, c.x1)), clamp_coord(std::max(c.y0, c.y1))};
    return !(out[2] < page[0] || out[0] > page[2] || out[3] < page[1] || out[1] > page[3]);
}

// The glyph of a character whose baseline turns `r` quarter turns counter-
// clockwise from the x axis.
Glyph to_frame(const CharInfo& c, const BBox& b, int r, std::uint32_t index) {
    Glyph g{};
    switch (r) {
    case 0: g = {b[0], b[2], -b[3], -b[1], 0, 0, 0, 0, 0}; break;
    case 1: g = {b[1], b[3], b[0], b[2], 0, 0, 0, 0, 0}; break;
    case 2: g = {-b[2], -b[0], b[1], b[3], 0, 0, 0, 0, 0}; break;
    default: g = {-b[3], -b[1], -b[2], -b[0], 0, 0, 0, 0, 0}; break;
    }
    // The size drawn with, else (a reader that does not know it) the box's
    // height across the baseline.
    double size = c.size;
    if (!(size > 0) || !std::isfinite(size)) size = g.bottom - g.top;
    g.size = std::clamp(size, kMinSize, kCoordLimit);
    g.font = c.font;
    g.ch = c.ch;
    g.index = index;
    g.flags = c.flags;
    return g;
}

// The user-space box of a glyph: to_frame undone.
BBox user_box_of(const Glyph& g, int r) {
    switch (r) {
    case 0: return {g.u0, -g.bottom, g.u1, -g.top};
    case 1: return {g.top, g.u0, g.bottom, g.u1};
    case 2: return {-g.u1, g.top, -g.u0, g.bottom};
    default: return {-g.bottom, -g.u1, -g.top, -g.u0};
    }
}

// Visual order reversed into reading order for a right-to-left span, with
// runs of left-to-right letters and digits inside it kept as they read.
void to_logical_rtl(std::u32string& text) {
    std::reverse(text.begin(), text.end());
    std::size_t i = 0;
    while (i < text.size()) {
        if (is_rtl(text[i]) || is_space(text[i])) {
            ++i;
            continue;
        }
        std::size_t end = i, last = i;
        while (end < text.size() && !is_rtl(text[end])) {
            if (!is_space(text[end])) last = end;
            ++end;
        }
        std::reverse(text.begin() + static_cast<std::ptrdiff_t>(i),
                     text.begin() + static_cast<std::ptrdiff_t>(last + 1));
        i = end;
    }
}

struct Page {
    std::span<const std::string> fonts;
    std::string_view fallback_font;
    // The characters Glyph::index points into, for what the glyphs do not
    // carry themselves (the fill colour).
    std::span<const CharInfo> chars;
};

std::uint32_t color_of(const Page& page, const Glyph& g) {
    return g.index < page.chars.size() ? page.chars[g.index].color : 0;
}

std::string font_name(const Page& page, std::uint32_t font) {
    if (font < page.fonts.size() && !page.fonts[font].empty()) {
        return std::string(strip_subset_tag(page.fonts[font]));
    }
    return std::string(page.fallback_font);
}

// A span over glyphs[from, to), in the order they were drawn (writers put
// a word's glyphs in order even where kerning or word spacing moves one
// back over its neighbour), word spaces inserted at wide gaps. A span drawn
// leftwards is read leftwards.
FrameSpan make_frame_span(const Page& page, const std::vector<Glyph>& glyphs, std::size_t from,
                          std::size_t to, int r, std::u32string& text) {
    auto first = glyphs.begin() + static_cast<std::ptrdiff_t>(from);
    auto last = glyphs.begin() + static_cast<std::ptrdiff_t>(to);
    const bool leftwards = std::prev(last)->u0 < first->u0;

    FrameSpan s{};
    s.u0 = kCoordLimit;
    s.u1 = -kCoordLimit;
    s.top = kCoordLimit;
    s.bottom = -kCoordLimit;
    s.size = first->size;
    s.base = first->bottom;
    // The box of every glyph, spaces too, gathered in the frame and turned
    // into user space once: the same edges as widening by each glyph's user
    // box, ties kept alike.
    double all_u0 = kCoordLimit, all_u1 = -kCoordLimit;
    text.clear();
    std::size_t rtl = 0, ltr = 0;
    const Glyph* prev = nullptr;
    for (auto it = first; it != last; ++it) {
        const Glyph& g = *it;
        all_u0 = std::min(all_u0, g.u0);
        all_u1 = std::max(all_u1, g.u1);
        s.top = std::min(s.top, g.top);
        s.bottom = std::max(s.bottom, g.bottom);
        ++s.glyphs;
        if (is_space(g.ch)) {
            if (!text.empty() && text.back() != U' ') text.push_back(U' ');
        } else {
            const double gap = prev == nullptr ? 0
                               : leftwards        ? prev->u0 - g.u1
                                                  : g.u0 - prev->u1;
            if (!text.empty() && text.back() != U' ' && gap > kWordGapFraction * g.size) {
                text.push_back(U' ');
            }
            text.push_back(g.ch);
            // The span's extent along the baseline is its ink's: a space
            // drawn at its end still leaves a gap to the next span.
            s.u0 = std::min(s.u0, g.u0);
            s.u1 = std::max(s.u1, g.u1);
            if (is_rtl(g.ch)) {
                ++rtl;
            } else if (g.ch >= 0x41) {
                ++ltr;
            }
        }
        prev = &g;
    }
    while (!text.empty() && text.back() == U' ')
        text.pop_back();
    s.rtl = rtl > ltr;
    // Right-to-left text drawn rightwards was written in display order.
    if (s.rtl && !leftwards) to_logical_rtl(text);
    // Written in place, then cut to what it took.
    std::string& utf8 = s.span.text;
    utf8.resize(4 * text.size());
    char* end = utf8.data();
    for (const char32_t c : text)
        end = write_utf8(end, c);
    utf8.resize(static_cast<std::size_t>(end - utf8.data()));
    s.span.font = font_name(page, first->font);
    s.span.size = s.size;
    s.span.color = color_of(page, *first);
    s.span.flags = first->flags;
    Glyph extent{};
    extent.u0 = all_u0;
    extent.u1 = all_u1;
    extent.top = s.top;
    extent.bottom = s.bottom;
    s.span.bbox = user_box_of(extent, r);
    return s;
}

// Glyphs in content order into spans: a span goes on while the font, the
// size, the colour, the style flags and the baseline stay and the next glyph is no more than a gap away
// on either side (right-to-left text is often drawn leftwards).
void build_spans(const Page& page, const std::vector<Glyph>& glyphs, int r,
                 std::vector<FrameSpan>& spans) {
    std::u32string text; // reused by every span
    std::size_t start = 0;
    for (std::size_t i = 1; i <= glyphs.size(); ++i) {
        bool ends = i == glyphs.size();
        if (!ends) {
            const Glyph& p = glyphs[i - 1];
            const Glyph& g = glyphs[i];
            const double size = std::max(p.size, g.size);
            const double distance = std::max(g.u0 - p.u1, p.u0 - g.u1);
            ends = g.font != p.font || g.flags != p.flags || color_of(page, g) != color_of(page, p) ||
                   std::fabs(g.size - p.size) > 0.01 * size ||
                   std::fabs(g.bottom - p.bottom) > kBaselineShift * size ||
                   distance > kSpanGapSizes * size;
        }
        if (ends) {
            FrameSpan s = make_frame_span(page, glyphs, start, i, r, text);
            if (!s.span.text.empty()) spans.push_back(std::move(s));
            start = i;
        }
    }
}

// What the cuts look at of a span, kept apart from the spans so that the
// sorts at every level of the cutting run over small contiguous keys.
struct CutBox {
    double u0, u1;
    // The middle of the span across the baseline: lines whose ascenders and
    // descenders touch still leave whitespace between their cores.
    double core_top, core_bottom;
    double size;
};

using Region = std::vector<std::uint32_t>;

// An interval of a span along one axis, sortable on its own.
struct Extent {
    double from, to;
    std::uint32_t index;
    bool operator<(const Extent& o) const {
        return from != o.from ? from < o.from : index < o.index;
    }
};

double median_size(const std::vector<CutBox>& boxes, const Region& region) {
    std::vector<double> sizes;
    sizes.reserve(region.size());
    for (const std::uint32_t i : region)
        sizes.push_back(boxes[i].size);
    const auto mid = sizes.begin() + static_cast<std::ptrdiff_t>(sizes.size() / 2);
    std::nth_element(sizes.begin(), mid, sizes.end());
    return *mid;
}

// Columns: the region split at vertical whitespace gaps that pass as gutters.
// Empty when there is none; the region is left as it was.
std::vector<Region> vertical_cuts(const std::vector<CutBox>& boxes, const Region& region,
                                  double size) {
    std::vector<Extent> order;
    order.reserve(region.size());
    for (const std::uint32_t i : region)
        order.push_back({boxes[i].u0, boxes[i].u1, i});
    std::sort(order.begin(), order.end());
    // Groups between every gap of at least a gutter's width, with the gap
    // before each group and the group's extent.
    struct Group {
        std::size_t from, to;
        double u0, u1, gap_before;
        double top, bottom; // of the cores
    };
    auto core = [&](std::size_t i) { return boxes[order[i].index]; };
    std::vector<Group> groups;
    Group current{0, 1, order[0].from, order[0].to, 0, core(0).core_top, core(0).core_bottom};
    for (std::size_t i = 1; i < order.size(); ++i) {
        const double gap = order[i].from - current.u1;
        if (gap >= kMinGutterSizes * size) {
            groups.push_back(current);
            current = {i, i + 1, order[i].from, order[i].to, gap, core(i).core_top,
                       core(i).core_bottom};
        } else {
            current.to = i + 1;
            current.u1 = std::max(current.u1, order[i].to);
            current.top = std::min(current.top, core(i).core_top);
            current.bottom = std::max(current.bottom, core(i).core_bottom);
        }
    }
    groups.push_back(current);
    if (groups.size() < 2) return {};

    // A narrow group joins its neighbour across a narrow gap, and a group
    // of one row joins its neighbour across any gap: within a row the
    // lines read left to right anyway, and a gap there is a tab stop or a
    // wide word space, not a gutter.
    std::vector<Region> parts;
    std::size_t part_start = 0;
    double part_top = groups[0].top, part_bottom = groups[0].bottom;
    for (std::size_t k = 1; k <= groups.size(); ++k) {
        bool cut = k == groups.size();
        if (!cut) {
            const Group& left = groups[k - 1];
            const Group& right = groups[k];
            const bool wide = right.gap_before >= kWideGutterSizes * size;
            const bool columns = left.u1 - groups[part_start].u0 >= kMinColumnSizes * size &&
                                 right.u1 - right.u0 >= kMinColumnSizes * size;
            const bool rows = part_bottom - part_top > kMinColumnRows * size &&
                              right.bottom - right.top > kMinColumnRows * size;
            cut = (wide || columns) && rows;
            if (!cut) {
                part_top = std::min(part_top, right.top);
                part_bottom = std::max(part_bottom, right.bottom);
            }
        }
        if (cut) {
            Region part;
            part.reserve(groups[k - 1].to - groups[part_start].from);
            for (std::size_t i = groups[part_start].from; i < groups[k - 1].to; ++i)
                part.push_back(order[i].index);
            parts.push_back(std::move(part));
            part_start = k;
            if (k < groups.size()) {
                part_top = groups[k].top;
                part_bottom = groups[k].bottom;
            }
        }
    }
    if (parts.size() < 2) return {};
    return parts;
}

// Rows: the region split at the widest horizontal whitespace gaps. The
// pieces come out ordered by their cores' tops, which spares the next level
// its sort.
std::vector<Region> horizontal_cuts(const std::vector<CutBox>& boxes, const Region& region) {
    std::vector<Extent> order;
    order.reserve(region.size());
    for (const std::uint32_t i : region)
        order.push_back({boxes[i].core_top, boxes[i].core_bottom, i});
    if (!std::is_sorted(order.begin(), order.end())) std::sort(order.begin(), order.end());
    std::vector<std::pair<std::size_t, double>> gaps; // position, width
    double reach = order[0].to;
    double widest = 0;
    for (std::size_t i = 1; i < order.size(); ++i) {
        const double gap = order[i].from - reach;
        if (gap > 0) {
            gaps.emplace_back(i, gap);
            widest = std::max(widest, gap);
        }
        reach = std::max(reach, order[i].to);
    }
    if (gaps.empty()) return {};
    std::vector<Region> parts;
    std::size_t start = 0;
    auto close = [&](std::size_t end) {
        Region part;
        part.reserve(end - start);
        for (std::size_t i = start; i < end; ++i)
            part.push_back(order[i].index);
        parts.push_back(std::move(part));
        start = end;
    };
    for (const auto& [at, width] : gaps) {
        if (width >= kCutTolerance * widest) close(at);
    }
    close(order.size());
    return parts;
}

bool mostly_rtl(const std::vector<FrameSpan>& spans, const Region& region) {
    std::size_t rtl = 0, all = 0;
    for (const std::uint32_t i : region) {
        all += spans[i].glyphs;
        if (spans[i].rtl) rtl += spans[i].glyphs;
    }
    return 2 * rtl > all;
}

// A region that is not cut further into lines: spans by baseline, a new
// line where the baseline moves more than half the line's size, each line
// left to right (right to left when most of its characters are).
void region_lines(std::vector<FrameSpan>& spans, Region& region, std::vector<FrameLine>& out) {
    std::sort(region.begin(), region.end(), [&](std::size_t a, std::size_t b) {
        if (spans[a].base != spans[b].base) return spans[a].base < spans[b].base;
        if (spans[a].u0 != spans[b].u0) return spans[a].u0 < spans[b].u0;
        return a < b;
    });
    std::size_t start = 0;
    double anchor = spans[region[0]].base, anchor_size = spans[region[0]].size;
    for (std::size_t i = 1; i <= region.size(); ++i) {
        if (i < region.size()) {
            const FrameSpan& s = spans[region[i]];
            if (s.base - anchor <= 0.5 * std::max(anchor_size, s.size)) {
                if (s.size > anchor_size) {
                    anchor = s.base;
                    anchor_size = s.size;
                }
                continue;
            }
        }
        Region line(region.begin() + static_cast<std::ptrdiff_t>(start),
                    region.begin() + static_cast<std::ptrdiff_t>(i));
        const bool rtl = mostly_rtl(spans, line);
        std::sort(line.begin(), line.end(), [&](std::size_t a, std::size_t b) {
            if (spans[a].u0 != spans[b].u0) return rtl ? spans[a].u0 > spans[b].u0
                                                       : spans[a].u0 < spans[b].u0;
            return a < b;
        });
        FrameLine fl{kCoordLimit, -kCoordLimit, 0, 0, {}};
        fl.line.bbox = kEmpty;
        std::size_t longest = 0;
        for (std::size_t k = 0; k < line.size(); ++k) {
            FrameSpan& s = spans[line[k]];
            if (k > 0) {
                // Words never run together across spans either.
                const FrameSpan& p = spans[line[k - 1]];
                const double gap = rtl ? p.u0 - s.u1 : s.u0 - p.u1;
                std::string& before = fl.line.spans.back().text;
                if (gap > kWordGapFraction * std::min(p.size, s.size) && !before.empty() &&
                    before.back() != ' ') {
                    before.push_back(' ');
                }
            }
            fl.u0 = std::min(fl.u0, s.u0);
            fl.u1 = std::max(fl.u1, s.u1);
            if (s.glyphs > longest) {
                longest = s.glyphs;
                fl.base = s.base;
                fl.size = s.size;
            }
            widen(fl.line.bbox, s.span.bbox);
            fl.line.spans.push_back(std::move(s.span));
        }
        out.push_back(std::move(fl));
        if (i < region.size()) {
            start = i;
            anchor = spans[region[i]].base;
            anchor_size = spans[region[i]].size;
        }
    }
}

// Recursive whitespace cuts: columns first wherever a gutter runs through
// the whole region, else the widest horizontal gaps; the pieces in reading
// order, each read fully before the next.
void cut_region(std::vector<FrameSpan>& spans, const std::vector<CutBox>& boxes, Region region,
                int depth, std::vector<FrameLine>& out) {
    if (region.empty()) return;
    if (region.size() > 1 && depth < kMaxCutDepth) {
        std::vector<Region> parts = vertical_cuts(boxes, region, median_size(boxes, region));
        if (!parts.empty()) {
            if (mostly_rtl(spans, region)) std::reverse(parts.begin(), parts.end());
        } else {
            parts = horizontal_cuts(boxes, region);
        }
        if (parts.size() > 1) {
            Region().swap(region);
            for (Region& part : parts)
                cut_region(spans, boxes, std::move(part), depth + 1, out);
            return;
        }
    }
    region_lines(spans, region, out);
}

struct BlockedLine {
    TextLine line;
    std::size_t block;
};

// Lines in reading order into paragraphs. A paragraph ends where the next
// line moves up or sideways out of it (another column), changes size (a
// heading, a caption), leaves more space than the lines before it, or
// starts indented below a full paragraph line.
void build_blocks(std::vector<FrameLine>& lines, std::vector<BlockedLine>& out,
                  std::size_t& next_block) {
    const FrameLine* prev = nullptr;
    double pitch = 0, left = 0;
    std::size_t count = 0;
    for (FrameLine& l : lines) {
        bool fresh = prev == nullptr;
        if (!fresh) {
            const double size = std::max(l.size, prev->size);
            const double step = l.base - prev->base;
            fresh = step <= 0.3 * size || l.u0 > prev->u1 || l.u1 < prev->u0 ||
                    std::fabs(l.size - prev->size) > 0.15 * size ||
                    (count >= 2 ? step > 1.25 * pitch + 0.05 * size : step > 1.7 * size) ||
                    (count >= 2 && l.u0 > left + 0.8 * size && l.u0 > prev->u0 + 0.8 * size);
        }
        if (fresh) {
            ++next_block;
            count = 0;
        } else {
            pitch = count == 1 ? l.base - prev->base : pitch;
            left = count == 1 ? l.u0 : std::min(left, l.u0);
        }
        ++count;
        out.push_back({std::move(l.line), next_block});
        prev = &l;
    }
}

// The line's last span with text, and the first character of its text.
TextSpan* last_text(TextLine& line) {
    for (auto it = line.spans.rbegin(); it != line.spans.rend(); ++it)
        if (!it->text.empty()) return &*it;
    return nullptr;
}

char32_t first_char(const TextLine& line) {
    for (const TextSpan& s : line.spans) {
        if (s.text.empty()) continue;
        const auto b = static_cast<unsigned char>(s.text[0]);
        if (b < 0x80) return b;
        // Two- and three-byte sequences cover every lower-case letter that
        // is_lower knows.
        if ((b & 0xE0) == 0xC0 && s.text.size() >= 2) {
            return static_cast<char32_t>(((b & 0x1F) << 6) | (s.text[1] & 0x3F));
        }
        return 0;
    }
    return 0;
}

// Drops a trailing hyphen (ASCII, soft, or U+2010) from the text, or says
// there is none.
bool drop_hyphen(std::string& text, bool apply) {
    std::size_t n = text.size();
    std::size_t cut = 0;
    if (n >= 1 && text[n - 1] == '-') {
        cut = 1;
    } else if (n >= 2 && text.compare(n - 2, 2, "\xC2\xAD") == 0) {
        cut = 2;
    } else if (n >= 3 && text.compare(n - 3, 3, "\xE2\x80\x90") == 0) {
        cut = 3;
    }
    if (cut == 0 || cut == n) return false;
    if (apply) {
        for (std::size_t k = 0; k < cut; ++k)
            text.pop_back();
    }
    return true;
}

// One pass in reading order: a line ending in a hyphen takes in the line
// after it, wherever that is (the next column, the next block), when that
// line starts with a lower-case letter. Chains of hyphenated lines join
// into one, in the same single pass.
void join_hyphenated(std::vector<BlockedLine>& lines) {
    std::vector<BlockedLine> out;
    out.reserve(lines.size());
    for (BlockedLine& l : lines) {
        if (!out.empty()) {
            TextLine& prev = out.back().line;
            TextSpan* tail = last_text(prev);
            if (tail != nullptr && drop_hyphen(tail->text, false) &&
                is_lower(first_char(l.line))) {
                drop_hyphen(tail->text, true);
                for (TextSpan& s : l.line.spans)
                    prev.spans.push_back(std::move(s));
                widen(prev.bbox, l.line.bbox);
                continue;
            }
        }
        out.push_back(std::move(l));
    }
    lines = std::move(out);
}

} // namespace

std::string_view strip_subset_tag(std::string_view name) {
    if (name.size() > 7 && name[6] == '+' &&
        std::all_of(name.begin(), name.begin() + 6, [](char c) { return c >= 'A' && c <= 'Z'; })) {
        return name.substr(7);
    }
    return name;
}

std::vector<TextBlock> lay_out_page(std::span<const CharInfo> chars,
                                    std::span<const std::string> fonts,
                                    std::string_view fallback_font, const PageGeometry& geometry) {
    const Page page{fonts, fallback_font, chars};

    // Characters by the direction of their baseline, the page's upright
    // text first.
    std::array<std::vector<Glyph>, 4> by_turn;
    const int upright = ((geometry.quarter_turns % 4) + 4) % 4;
    std::array<std::size_t, 4> counts{};
    // Quarter turns are counted modulo 4, in two's complement as well.
    auto turn = [&](const CharInfo& c) {
        return static_cast<std::size_t>((c.rotation - upright) & 3);
    };
    for (const CharInfo& c : chars)
        ++counts[turn(c)];
    for (std::size_t k = 0; k < 4; ++k)
        by_turn[k].reserve(counts[k]);
    for (std::size_t i = 0; i < chars.size(); ++i) {
        const CharInfo& c = chars[i];
        BBox box;
        if (!user_box(c, geometry.box, box)) continue;
        by_turn[turn(c)].push_back(to_frame(c, box, c.rotation & 3, static_cast<std::uint32_t>(i)));
    }

    std::vector<BlockedLine> lines;
    std::size_t block_count = 0;
    for (std::size_t k = 0; k < 4; ++k) {
        std::vector<Glyph>& glyphs = by_turn[k];
        if (glyphs.empty()) continue;
        std::vector<FrameSpan> spans;
        build_spans(page, glyphs, static_cast<int>((k + static_cast<std::size_t>(upright)) % 4),
                    spans);
        std::vector<Glyph>().swap(glyphs);
        if (spans.empty()) continue;
        std::vector<CutBox> boxes;
        boxes.reserve(spans.size());
        Region all(spans.size());
        for (std::size_t i = 0; i < spans.size(); ++i) {
            const FrameSpan& s = spans[i];
            const double margin = 0.2 * (s.bottom - s.top);
            boxes.push_back({s.u0, s.u1, s.top + margin, s.bottom - margin, s.size});
            all[i] = static_cast<std::uint32_t>(i);
        }
        std::vector<FrameLine> frame_lines;
        cut_region(spans, boxes, std::move(all), 0, frame_lines);
        build_blocks(frame_lines, lines, block_count);
    }
    join_hyphenated(lines);

    std::vector<TextBlock> blocks;
    std::size_t current = 0;
    for (BlockedLine& l : lines) {
        if (blocks.empty() || l.block != current) {
            blocks.emplace_back();
            blocks.back().bbox = kEmpty;
            current = l.block;
        }
        widen(blocks.back().bbox, l.line.bbox);
        blocks.back().lines.push_back(std::move(l.line));
    }
    return blocks;
}

} // namespace quarvel

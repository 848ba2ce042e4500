#include "layout/layout.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <iterator>
#include <limits>
#include <utility>

#include "syntax/text.h"

namespace quarvel {
namespace {

constexpr double kMaxDouble = std::numeric_limits<double>::max();

// The starting box of every union: a box over nothing but NaN keeps these
// values, so it never spreads NaN into the line and block boxes above it.
constexpr BBox kEmptyBox{kMaxDouble, kMaxDouble, -kMaxDouble, -kMaxDouble};

// Widens `box` by the given edges. A comparison with NaN is false, so a NaN
// edge leaves the running minimum or maximum as it was.
void widen(BBox& box, double x0, double y0, double x1, double y1) {
    if (x0 < box[0]) box[0] = x0;
    if (y0 < box[1]) box[1] = y0;
    if (x1 > box[2]) box[2] = x1;
    if (y1 > box[3]) box[3] = y1;
}

void widen(BBox& box, const BBox& other) {
    widen(box, other[0], other[1], other[2], other[3]);
}

// The box around the boxes of spans or of lines.
template <typename Boxed> BBox union_box(const std::vector<Boxed>& items) {
    BBox box = kEmptyBox;
    for (const Boxed& item : items)
        widen(box, item.bbox);
    return box;
}

// A strict weak order on coordinates: numbers ascending, NaN after every
// number and equivalent to each other. Extreme operands in a content stream
// can put NaN into a character's edges; with this order a stable sort keeps
// such spans together, in input order, after all the others.
bool coord_less(double a, double b) {
    if (std::isnan(a)) return false;
    if (std::isnan(b)) return true;
    return a < b;
}

// The run of characters that will become the next span. Runs are mostly
// words of a few letters, so 16 characters live inline and only longer runs
// go to the heap.
class CharRun {
  public:
    void push(const CharInfo& c) {
        if (size_ < kInline) {
            inline_[size_++] = c;
            return;
        }
        if (size_ == kInline) {
            heap_.reserve(2 * kInline);
            heap_.assign(inline_.begin(), inline_.end());
        }
        heap_.push_back(c);
        ++size_;
    }

    // The run's characters, leaving the run empty.
    std::vector<CharInfo> take() {
        std::vector<CharInfo> out;
        if (size_ <= kInline) {
            out.assign(inline_.begin(), inline_.begin() + static_cast<std::ptrdiff_t>(size_));
        } else {
            out = std::move(heap_);
            heap_.clear();
        }
        size_ = 0;
        return out;
    }

  private:
    static constexpr std::size_t kInline = 16;
    std::array<CharInfo, kInline> inline_;
    std::vector<CharInfo> heap_;
    std::size_t size_ = 0;
};

// The column split's histogram never has fewer bins than this, so that a
// narrow spread of left edges still leaves room for a valley between peaks,
// nor more than kMaxBins, which bounds its cost on pages hundreds of
// thousands of units wide (or with infinite coordinates).
constexpr std::size_t kMinBins = 20;
constexpr std::size_t kMaxBins = 200;

// Half the width of the smoothing window: 11 bins in the middle of the
// histogram, fewer at its ends.
constexpr std::size_t kSmoothRadius = 5;

// Two peaks closer than this many bins are one column's ragged left edge.
constexpr std::size_t kMinPeakDistance = 10;

// The number of bins for left edges spread over `range`: one per 15 units,
// within [kMinBins, kMaxBins]. The quotient is clamped before it becomes an
// integer, so an infinite or NaN range cannot reach the conversion.
std::size_t bin_count(double range) {
    const double q = range / 15;
    std::size_t bins = 0;
    if (!(q >= 0)) {
        bins = 0;
    } else if (q >= static_cast<double>(kMaxBins)) {
        bins = kMaxBins;
    } else {
        bins = static_cast<std::size_t>(q);
    }
    return std::clamp(bins, kMinBins, kMaxBins);
}

// The bin of a left edge at `k` bin widths from the smallest one. Negative
// and NaN positions go to the first bin and anything at or past the last bin
// to the last one, all decided before the conversion to an integer.
std::size_t bin_of(double k, std::size_t bins) {
    if (k >= static_cast<double>(bins - 1)) return bins - 1;
    if (k >= 1) return static_cast<std::size_t>(k);
    return 0;
}

struct Peak {
    std::size_t bin;
    double height;
};

// One column's spans into blocks, appended to `blocks`.
void lay_out_column(std::vector<TextSpan> column, double size, std::vector<TextBlock>& blocks) {
    std::vector<TextBlock> column_blocks = build_blocks(build_lines(std::move(column), size), size);
    blocks.insert(blocks.end(), std::make_move_iterator(column_blocks.begin()),
                  std::make_move_iterator(column_blocks.end()));
}

// Closes a line: its spans left to right, then its box. Lines usually arrive
// already in order, and the check spares the sort its buffer.
TextLine close_line(std::vector<TextSpan> spans) {
    auto by_x0 = [](const TextSpan& a, const TextSpan& b) {
        return coord_less(a.bbox[0], b.bbox[0]);
    };
    if (!std::is_sorted(spans.begin(), spans.end(), by_x0)) {
        std::stable_sort(spans.begin(), spans.end(), by_x0);
    }
    TextLine line;
    line.bbox = union_box(spans);
    line.spans = std::move(spans);
    return line;
}

TextBlock close_block(std::vector<TextLine> lines) {
    TextBlock block;
    block.bbox = union_box(lines);
    block.lines = std::move(lines);
    return block;
}

// The line's text, the concatenation of its span texts, ends with U+002D.
// A span emptied by an earlier join contributes nothing, so the test looks
// at the last span that has text.
bool ends_with_hyphen(const TextLine& line) {
    for (auto it = line.spans.rbegin(); it != line.spans.rend(); ++it) {
        if (!it->text.empty()) return it->text.back() == '-';
    }
    return false;
}

// The line's text starts with an ASCII lower-case letter: the sign that the
// word before the hyphen goes on. A capital, a digit, a space or any
// non-ASCII letter means the hyphen is part of the text.
bool starts_lower_ascii(const TextLine& line) {
    for (const TextSpan& s : line.spans) {
        if (!s.text.empty()) return s.text.front() >= 'a' && s.text.front() <= 'z';
    }
    return false;
}

bool joins(const std::vector<TextLine>& lines, std::size_t i) {
    return i + 1 < lines.size() && ends_with_hyphen(lines[i]) && starts_lower_ascii(lines[i + 1]);
}

// One pass over a block's lines, joining each hyphenated line with the next
// and resuming after the pair. Returns whether anything was joined.
bool merge_pass(std::vector<TextLine>& lines) {
    std::size_t first = 0;
    while (first < lines.size() && !joins(lines, first))
        ++first;
    if (first == lines.size()) return false;

    std::vector<TextLine> out;
    out.reserve(lines.size() - 1);
    std::move(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(first),
              std::back_inserter(out));
    for (std::size_t i = first; i < lines.size();) {
        if (!joins(lines, i)) {
            out.push_back(std::move(lines[i]));
            ++i;
            continue;
        }
        TextLine joined = std::move(lines[i]);
        std::string& tail = joined.spans.back().text;
        if (!tail.empty() && tail.back() == '-') tail.pop_back();
        std::vector<TextSpan>& next = lines[i + 1].spans;
        joined.spans.insert(joined.spans.end(), std::make_move_iterator(next.begin()),
                            std::make_move_iterator(next.end()));
        joined.bbox = union_box(joined.spans);
        out.push_back(std::move(joined));
        i += 2;
    }
    lines = std::move(out);
    return true;
}

} // namespace

TextSpan make_span(std::vector<CharInfo> characters, std::string_view font, std::uint32_t color,
                   double size) {
    TextSpan span;
    span.text.reserve(characters.size());
    BBox box = kEmptyBox;
    for (const CharInfo& c : characters) {
        append_utf8(span.text, c.ch);
        widen(box, c.x0, c.y0, c.x1, c.y1);
    }
    span.font = std::string(font);
    span.size = size;
    span.color = color;
    span.bbox = box;
    span.chars = std::move(characters);
    return span;
}

std::optional<double> find_column_split(std::span<const TextSpan> spans) {
    if (spans.size() < 6) return std::nullopt;

    double min = kMaxDouble, max = -kMaxDouble;
    for (const TextSpan& s : spans) {
        if (s.bbox[0] < min) min = s.bbox[0];
        if (s.bbox[0] > max) max = s.bbox[0];
    }
    const double range = max - min;
    if (range < 100) return std::nullopt;

    const std::size_t bins = bin_count(range);
    const double width = range / static_cast<double>(bins);
    std::array<std::uint32_t, kMaxBins> counts{};
    for (const TextSpan& s : spans)
        ++counts[bin_of((s.bbox[0] - min) / width, bins)];

    std::array<double, kMaxBins> smoothed{};
    for (std::size_t i = 0; i < bins; ++i) {
        const std::size_t from = i >= kSmoothRadius ? i - kSmoothRadius : 0;
        const std::size_t to = std::min(bins - 1, i + kSmoothRadius);
        std::uint64_t sum = 0;
        for (std::size_t j = from; j <= to; ++j)
            sum += counts[j];
        smoothed[i] = static_cast<double>(sum) / static_cast<double>(to - from + 1);
    }

    // Interior maxima first, then the two ends: the stable sort below keeps
    // this order among peaks of equal height.
    std::vector<Peak> peaks;
    for (std::size_t i = 1; i + 1 < bins; ++i) {
        if (smoothed[i] > smoothed[i - 1] && smoothed[i] > smoothed[i + 1]) {
            peaks.push_back({i, smoothed[i]});
        }
    }
    if (smoothed[0] > smoothed[1]) peaks.push_back({0, smoothed[0]});
    if (smoothed[bins - 1] > smoothed[bins - 2]) peaks.push_back({bins - 1, smoothed[bins - 1]});
    std::stable_sort(peaks.begin(), peaks.end(),
                     [](const Peak& a, const Peak& b) { return a.height > b.height; });
    if (peaks.size() < 2) return std::nullopt;

    const std::size_t a = peaks[0].bin;
    auto far_from_a = [a](std::size_t bin) {
        return (bin > a ? bin - a : a - bin) >= kMinPeakDistance;
    };
    std::size_t b = peaks[1].bin;
    if (!far_from_a(b)) {
        const auto other = std::find_if(peaks.begin() + 2, peaks.end(),
                                        [&](const Peak& p) { return far_from_a(p.bin); });
        if (other != peaks.end()) b = other->bin;
    }
    if (!far_from_a(b)) return std::nullopt;

    const std::size_t lo = std::min(a, b), hi = std::max(a, b);
    std::size_t valley = lo;
    for (std::size_t i = lo + 1; i <= hi; ++i) {
        if (smoothed[i] < smoothed[valley]) valley = i;
    }
    // A valley that is nearly as high as the lower peak is a dip in one
    // column's text, not the gutter between two.
    if (smoothed[valley] > 0.85 * std::min(smoothed[lo], smoothed[hi])) return std::nullopt;

    const double split = min + (static_cast<double>(valley) + 0.5) * width;
    const auto left = static_cast<std::size_t>(std::count_if(
        spans.begin(), spans.end(), [split](const TextSpan& s) { return s.bbox[0] < split; }));
    if (left < 2 || spans.size() - left < 2) return std::nullopt;
    return split;
}

std::vector<TextBlock> cluster_chars(std::span<const CharInfo> chars, std::string_view font,
                                     std::uint32_t color, double size) {
    if (chars.empty()) return {};

    // A following character belongs to the same span when it starts no more
    // than half a size to the left of the previous one's right edge (kerning,
    // overstrikes), less than 0.3 size to its right (narrower than a word
    // space) and on nearly the same baseline.
    const double min_gap = -0.5 * size, max_gap = 0.3 * size, max_rise = 0.5 * size;
    std::vector<TextSpan> spans;
    CharRun run;
    run.push(chars[0]);
    for (std::size_t i = 1; i < chars.size(); ++i) {
        const CharInfo& prev = chars[i - 1];
        const CharInfo& c = chars[i];
        const double gap = c.x0 - prev.x1;
        const double rise = std::fabs(c.y0 - prev.y0);
        if (!(gap > min_gap && rise < max_rise && gap < max_gap)) {
            spans.push_back(make_span(run.take(), font, color, size));
        }
        run.push(c);
    }
    spans.push_back(make_span(run.take(), font, color, size));

    std::vector<TextBlock> blocks;
    if (const std::optional<double> split = find_column_split(spans)) {
        std::vector<TextSpan> left, right;
        for (TextSpan& s : spans)
            (s.bbox[0] < *split ? left : right).push_back(std::move(s));
        lay_out_column(std::move(left), size, blocks);
        lay_out_column(std::move(right), size, blocks);
    } else {
        lay_out_column(std::move(spans), size, blocks);
    }
    return merge_hyphenated_lines(std::move(blocks));
}

std::vector<TextLine> build_lines(std::vector<TextSpan> spans, double size) {
    std::vector<TextLine> lines;
    if (spans.empty()) return lines;

    // Sorting small keys instead of the spans themselves moves 24 bytes per
    // swap rather than a span with its strings and characters.
    struct Key {
        double y0, x0;
        std::size_t index;
    };
    std::vector<Key> order;
    order.reserve(spans.size());
    for (std::size_t i = 0; i < spans.size(); ++i) {
        order.push_back({spans[i].bbox[1], spans[i].bbox[0], i});
    }
    std::stable_sort(order.begin(), order.end(), [](const Key& a, const Key& b) {
        if (coord_less(a.y0, b.y0)) return true;
        if (coord_less(b.y0, a.y0)) return false;
        return coord_less(a.x0, b.x0);
    });

    // The next span continues the line when it starts less than 5 sizes to
    // the right of the span added last (a wide tab stop, a table cell) and
    // no more than 10 sizes to its left, on nearly the same baseline. The
    // comparison is with the span added last, not the rightmost one.
    const double max_gap = 5 * size, min_gap = -10 * size, max_rise = 0.5 * size;
    std::vector<TextSpan> current;
    BBox last{};
    for (const Key& key : order) {
        TextSpan& t = spans[key.index];
        if (!current.empty()) {
            const double gap = t.bbox[0] - last[2];
            const double rise = std::fabs(t.bbox[1] - last[1]);
            if (!(gap < max_gap && rise < max_rise && gap > min_gap)) {
                lines.push_back(close_line(std::move(current)));
                current.clear();
            }
        }
        last = t.bbox;
        current.push_back(std::move(t));
    }
    lines.push_back(close_line(std::move(current)));
    return lines;
}

std::vector<TextBlock> build_blocks(std::vector<TextLine> lines, double size) {
    std::vector<TextBlock> blocks;
    if (lines.empty()) return blocks;

    // More than one and a half sizes of white space between a line's bottom
    // and the previous line's top is a paragraph break. A NaN gap says
    // nothing, and the line stays in the block.
    const double max_gap = 1.5 * size;
    std::vector<TextLine> current;
    for (TextLine& t : lines) {
        if (!current.empty() && t.bbox[1] - current.back().bbox[3] > max_gap) {
            blocks.push_back(close_block(std::move(current)));
            current.clear();
        }
        current.push_back(std::move(t));
    }
    blocks.push_back(close_block(std::move(current)));
    return blocks;
}

std::vector<TextBlock> merge_hyphenated_lines(std::vector<TextBlock> blocks) {
    for (TextBlock& block : blocks) {
        if (block.lines.size() < 2) continue;
        // Each pass at least halves a chain of hyphenated lines, so this
        // ends after about log2 of the block's line count passes.
        while (merge_pass(block.lines)) {
        }
        block.bbox = union_box(block.lines);
    }
    return blocks;
}

} // namespace quarvel

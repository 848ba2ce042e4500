#include "markdown/markdown.h"

#include <algorithm>
#include <cmath>
#include <latch>
#include <map>
#include <mutex>
#include <span>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "extract/worker_pool.h"
#include "resource_limits.h"
#include "syntax/text.h"
#include "tables/render.h"
#include "tables/table.h"

namespace quarvel::markdown {
namespace {

// --- text helpers -------------------------------------------------------------

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_space(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && is_space(s.back()))
        s.remove_suffix(1);
    return s;
}

std::size_t codepoints(std::string_view s) {
    std::size_t n = 0;
    for (const char c : s)
        n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
}

bool is_lower_ascii(char c) { return c >= 'a' && c <= 'z'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_alpha_ascii(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
// A letter or digit, or any byte of a character outside ASCII (most of
// which are letters in the scripts documents are set in).
bool is_word_byte(char c) {
    return is_alpha_ascii(c) || is_digit(c) || static_cast<unsigned char>(c) >= 0x80;
}

// Lower-case ASCII letters and digits, and every non-ASCII byte, with the
// rest dropped: outline titles and the text they point at differ in spaces,
// punctuation and case.
std::string match_key(std::string_view s) {
    std::string key;
    key.reserve(s.size());
    for (const char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x80 || is_digit(c)) {
            key.push_back(c);
        } else if (is_alpha_ascii(c)) {
            key.push_back(static_cast<char>(c | 0x20));
        }
    }
    return key;
}

// The text with a leading section number ("2", "2.3", "A.1", "IV.") taken
// off, and the number's depth (0 when there is none).
std::pair<std::string_view, int> strip_section_number(std::string_view s) {
    s = trim(s);
    std::size_t i = 0;
    int depth = 0;
    while (i < s.size()) {
        std::size_t j = i;
        if (j < s.size() && is_digit(s[j])) {
            while (j < s.size() && j - i < 3 && is_digit(s[j]))
                ++j;
        } else if (j < s.size() && is_alpha_ascii(s[j]) && depth == 0) {
            // One capital letter ("A.1"), or a roman numeral ("IV.").
            std::size_t k = j;
            while (k < s.size() && k - j < 5 && std::string_view("IVXLC").find(s[k]) !=
                                                      std::string_view::npos)
                ++k;
            j = k > j ? k : (s[j] >= 'A' && s[j] <= 'Z' ? j + 1 : j);
            if (j == i) break;
            // A letter alone is a number only when a dot follows ("A.1", "IV.").
            if (j >= s.size() || s[j] != '.') break;
        } else {
            break;
        }
        ++depth;
        i = j;
        if (i < s.size() && s[i] == '.') {
            ++i;
            continue;
        }
        break;
    }
    if (depth == 0 || i >= s.size() || !is_space(s[i])) return {s, 0};
    return {trim(s.substr(i)), depth};
}

// A page number as printed at a page's top or bottom: "7", "- 7 -", "Page 7",
// "7 of 20", "7 / 20", or a roman numeral; the arabic value when there is
// one, -1 for a roman numeral, nothing for anything else.
std::optional<long> page_number_value(std::string_view text) {
    std::string s;
    for (const char c : trim(text))
        s.push_back(is_alpha_ascii(c) ? static_cast<char>(c | 0x20) : c);
    std::string_view v = s;
    if (v.starts_with("page")) v.remove_prefix(4);
    auto decoration = [](char c) { return is_space(c) || c == '-' || c == '|' || c == '[' ||
                                          c == ']' || c == '(' || c == ')' || c == '.'; };
    while (!v.empty() && decoration(v.front()))
        v.remove_prefix(1);
    while (!v.empty() && decoration(v.back()))
        v.remove_suffix(1);
    // The en and em dashes around a number, as UTF-8.
    for (std::string_view dash : {"\xe2\x80\x93", "\xe2\x80\x94"}) {
        while (v.starts_with(dash))
            v = trim(v.substr(dash.size()));
        while (v.ends_with(dash))
            v = trim(v.substr(0, v.size() - dash.size()));
    }
    if (v.empty() || v.size() > 20) return std::nullopt;
    std::size_t i = 0;
    long value = 0;
    while (i < v.size() && is_digit(v[i]) && i < 6)
        value = value * 10 + (v[i++] - '0');
    if (i > 0) {
        std::string_view rest = trim(v.substr(i));
        if (rest.empty()) return value;
        if (rest.starts_with("of")) rest = trim(rest.substr(2));
        else if (rest.starts_with("/")) rest = trim(rest.substr(1));
        else return std::nullopt;
        if (rest.empty() || !std::all_of(rest.begin(), rest.end(), is_digit)) return std::nullopt;
        return value;
    }
    if (v.size() <= 6 && std::all_of(v.begin(), v.end(), [](char c) {
            return std::string_view("ivxlc").find(c) != std::string_view::npos;
        })) {
        return -1;
    }
    return std::nullopt;
}

// A contents entry: a title, dot leaders or spaces, and a page number
// ("1.2 Sample output . . . . 10"). Its number makes it look like a numbered
// heading and its line stands alone, but it is a line of a list.
bool is_contents_entry(std::string_view text) {
    text = trim(text);
    if (text.find(". . .") != std::string_view::npos || text.find("...") != std::string_view::npos)
        return true;
    std::size_t digits = 0;
    while (digits < text.size() && is_digit(text[text.size() - 1 - digits]))
        ++digits;
    return digits > 0 && digits < text.size() && text[text.size() - 1 - digits] == '.';
}

// A title in capitals: at least three letters, none of them lower case.
bool is_capitals(std::string_view text) {
    std::size_t letters = 0;
    for (const char c : text) {
        if (is_lower_ascii(c)) return false;
        letters += is_alpha_ascii(c);
    }
    return letters >= 3;
}

// How much of a title a character is: a letter 1, an ideograph or a Hangul
// syllable 2 (each is a word), anything else 0 (digits, punctuation,
// symbols, modifier and combining marks, private-use glyphs and the
// replacement character).
int title_weight(char32_t cp) {
    if (cp < 0x80) return is_alpha_ascii(static_cast<char>(cp)) ? 1 : 0;
    if ((cp >= 0x2E80 && cp <= 0x9FFF) || (cp >= 0xAC00 && cp <= 0xD7AF) ||
        (cp >= 0xF900 && cp <= 0xFAFF) || cp >= 0x20000) {
        return 2;
    }
    if (cp < 0xC0 || cp == 0xD7 || cp == 0xF7 || (cp >= 0x2B0 && cp <= 0x36F) ||
        (cp >= 0x2000 && cp <= 0x2BFF) || (cp >= 0xE000 && cp <= 0xF8FF) || cp >= 0xFFF0) {
        return 0;
    }
    return 1;
}

// Enough letters for a title: two at least. A page or figure number, a
// lone label letter or a symbol set large stands alone without being one.
bool has_title_letters(std::string_view text) {
    int weight = 0;
    for (std::size_t i = 0; i < text.size() && weight < 2;)
        weight += title_weight(next_code_point(text, i));
    return weight >= 2;
}

bool is_terminal(std::string_view text) {
    // Closing markup and quotes do not end a paragraph; what they close does.
    while (!text.empty() && std::string_view("*_`)]\"'").find(text.back()) !=
                                std::string_view::npos)
        text.remove_suffix(1);
    if (text.ends_with("\xe2\x80\x9d") || text.ends_with("\xe2\x80\x99"))
        text.remove_suffix(3);
    return text.empty() || std::string_view(".!?:;").find(text.back()) != std::string_view::npos;
}

bool starts_lower(std::string_view text) {
    while (!text.empty() && std::string_view("*_[`").find(text.front()) != std::string_view::npos)
        text.remove_prefix(1);
    return !text.empty() && is_lower_ascii(text.front());
}

// --- lines --------------------------------------------------------------------

struct LineInfo {
    std::string text; // plain, spans joined with word spaces
    double size = 0;  // the size most of its characters have
    double max_size = 0;
    bool bold = false;
    bool italic = false;
    bool mono = false;
    bool vertical = false; // set along the page's height (an arXiv margin stamp)
    std::size_t chars = 0;
    BBox bbox{};
    std::size_t block = 0;
    bool first_in_block = false;
    bool last_in_block = false;
};

bool needs_space(const std::string& before, const TextSpan& previous, const TextSpan& span) {
    if (before.empty() || span.text.empty() || is_space(before.back()) ||
        is_space(span.text.front())) {
        return false;
    }
    return span.bbox[0] - previous.bbox[2] > kSpanWordGap * std::max(span.size, 1.0);
}

LineInfo line_info(const TextLine& line) {
    LineInfo info;
    info.bbox = line.bbox;
    std::map<double, std::size_t> by_size;
    bool all_bold = true;
    bool all_italic = true;
    bool all_mono = true;
    bool any_text = false;
    const TextSpan* previous = nullptr;
    for (const TextSpan& span : line.spans) {
        if (previous != nullptr && needs_space(info.text, *previous, span)) info.text.push_back(' ');
        info.text += span.text;
        previous = &span;
        if (trim(span.text).empty()) continue;
        any_text = true;
        const std::size_t n = codepoints(span.text);
        info.chars += n;
        by_size[std::round(span.size * 2) / 2] += n;
        info.max_size = std::max(info.max_size, span.size);
        all_bold = all_bold && (span.flags & span_flags::kBold) != 0;
        all_italic = all_italic && (span.flags & span_flags::kItalic) != 0;
        all_mono = all_mono && (span.flags & span_flags::kMonospaced) != 0;
    }
    std::size_t best = 0;
    for (const auto& [size, count] : by_size) {
        if (count > best) {
            best = count;
            info.size = size;
        }
    }
    info.vertical = info.chars > 3 && line.bbox[3] - line.bbox[1] > 2 * (line.bbox[2] - line.bbox[0]);
    info.bold = any_text && all_bold;
    info.italic = any_text && all_italic;
    info.mono = any_text && all_mono;
    return info;
}

std::vector<LineInfo> page_lines(const std::vector<TextBlock>& blocks) {
    std::vector<LineInfo> lines;
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        const auto& block = blocks[b].lines;
        for (std::size_t l = 0; l < block.size(); ++l) {
            LineInfo info = line_info(block[l]);
            info.block = b;
            info.first_in_block = l == 0;
            info.last_in_block = l + 1 == block.size();
            lines.push_back(std::move(info));
        }
    }
    return lines;
}

// What the document-wide passes decided about each page's lines, indexed
// like page_lines().
struct PageFacts {
    std::vector<std::uint8_t> dropped;      // a running header, footer or page number
    std::vector<std::int8_t> outline_level; // the matched outline entry's level, 0 for none
};

struct DocumentStyle {
    double body_size = 0;
    std::vector<double> heading_sizes; // largest first
    std::vector<int> heading_levels;   // of each heading size
    int body_heading_level = 1;        // a bold or numbered heading at the body size
};

bool same_size(double a, double b, double body) {
    return std::abs(a - b) <= kHeadingSizeTolerance * std::max(body, 1.0);
}

// The groups of a page's lines set larger than the body that are short
// enough for headings: [first, last) ranges within one block, one size.
template <typename F>
void for_each_large_group(const std::vector<LineInfo>& lines, double body, F&& visit) {
    std::size_t i = 0;
    while (i < lines.size()) {
        if (lines[i].size < body * kHeadingSizeRatio || trim(lines[i].text).empty() ||
            lines[i].vertical) {
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        std::size_t chars = lines[i].chars;
        while (j < lines.size() && !lines[j].first_in_block &&
               same_size(lines[j].size, lines[i].size, body) && !trim(lines[j].text).empty()) {
            chars += lines[j].chars;
            ++j;
        }
        if (j - i <= kMaxHeadingLines && chars <= kMaxHeadingChars &&
            !is_contents_entry(lines[j - 1].text)) {
            visit(i, j);
        }
        i = j;
    }
}

// Heading size levels: the body is the size (and weight) most characters
// have; every distinct larger size that heads a short group of lines is a
// heading level, largest first. Where outline entries were matched to lines
// of a size, their level wins, so the two sources agree through the document.
DocumentStyle document_style(const std::vector<std::vector<LineInfo>>& pages,
                             const std::vector<PageFacts>& facts) {
    DocumentStyle style;
    std::map<std::pair<double, bool>, std::size_t> counts;
    for (const auto& lines : pages) {
        for (const LineInfo& line : lines)
            if (line.chars > 0) counts[{line.size, line.bold}] += line.chars;
    }
    std::size_t best = 0;
    for (const auto& [key, count] : counts) {
        if (count > best) {
            best = count;
            style.body_size = key.first;
        }
    }
    if (style.body_size <= 0) style.body_size = 10;
    std::vector<double> sizes;
    for (const auto& lines : pages) {
        for_each_large_group(lines, style.body_size,
                             [&](std::size_t i, std::size_t) { sizes.push_back(lines[i].size); });
    }
    std::sort(sizes.begin(), sizes.end(), std::greater<>());
    for (const double size : sizes) {
        if (style.heading_sizes.empty() ||
            !same_size(style.heading_sizes.back(), size, style.body_size)) {
            style.heading_sizes.push_back(size);
        }
    }
    for (std::size_t k = 0; k < style.heading_sizes.size(); ++k)
        style.heading_levels.push_back(static_cast<int>(std::min<std::size_t>(k + 1, 6)));
    // Outline votes: level by size class.
    std::vector<std::map<int, std::size_t>> votes(style.heading_sizes.size() + 1);
    for (std::size_t p = 0; p < pages.size(); ++p) {
        for (std::size_t i = 0; i < pages[p].size(); ++i) {
            const int level = facts[p].outline_level[i];
            if (level <= 0) continue;
            std::size_t k = style.heading_sizes.size(); // the body's class
            for (std::size_t s = 0; s < style.heading_sizes.size(); ++s) {
                if (same_size(style.heading_sizes[s], pages[p][i].size, style.body_size)) k = s;
            }
            ++votes[k][level];
        }
    }
    int deepest = 0;
    for (std::size_t k = 0; k < votes.size(); ++k) {
        int level = 0;
        std::size_t most = 0;
        for (const auto& [l, n] : votes[k]) {
            if (n > most) {
                most = n;
                level = l;
            }
        }
        if (k < style.heading_levels.size()) {
            if (level > 0) style.heading_levels[k] = level;
            deepest = std::max(deepest, style.heading_levels[k]);
        } else {
            style.body_heading_level = level > 0 ? level : std::min(deepest + 1, 6);
        }
    }
    return style;
}

int size_level(const DocumentStyle& style, double size) {
    for (std::size_t k = 0; k < style.heading_sizes.size(); ++k) {
        if (same_size(style.heading_sizes[k], size, style.body_size)) return style.heading_levels[k];
    }
    // Not a size seen in a short group (a larger line in a long block):
    // the level of the nearest smaller heading size.
    for (std::size_t k = 0; k < style.heading_sizes.size(); ++k) {
        if (style.heading_sizes[k] <= size) return style.heading_levels[k];
    }
    return style.body_heading_level;
}

// A line at one end of a page that may be running text: its text with
// digits as '#' and letters in lower case, its height, and its value when
// it reads as a page number.
struct EndLine {
    std::size_t line;
    double y;
    std::string key;
    std::optional<long> number;
};

// The few lines at each end of a page, by their place on it alone: made on
// the worker that laid the page out, so the document pass only counts.
std::vector<EndLine> end_lines(const std::vector<LineInfo>& lines) {
    std::vector<EndLine> out;
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (!trim(lines[i].text).empty()) order.push_back(i);
    // A page whose only text sits at its ends is all content ("Potato 7"
    // alone on each page of a test file), not a frame around content.
    if (order.size() <= kRunningLinesEachEnd) return out;
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return lines[a].bbox[3] > lines[b].bbox[3]; });
    for (std::size_t k = 0; k < order.size(); ++k) {
        if (k >= kRunningLinesEachEnd && k + kRunningLinesEachEnd < order.size()) continue;
        const LineInfo& line = lines[order[k]];
        EndLine end{order[k], (line.bbox[1] + line.bbox[3]) / 2, {}, page_number_value(line.text)};
        for (const char c : trim(line.text))
            end.key.push_back(is_digit(c) ? '#' : (is_alpha_ascii(c) ? (c | 0x20) : c));
        out.push_back(std::move(end));
    }
    return out;
}

// Running headers and footers: the few lines at each end of a page whose
// text, digits aside, comes back at about the same height on many pages
// (journal names, chapter titles, "Page 3 of 12"), and page numbers whose
// value minus the page's position is the same on several pages.
void mark_running_lines(const std::vector<PageInput>& pages,
                        const std::vector<std::vector<LineInfo>>& lines,
                        const std::vector<std::vector<EndLine>>& ends, double body,
                        std::vector<PageFacts>& facts) {
    struct Seen {
        std::size_t page;
        std::size_t line;
        double y;
    };
    std::unordered_map<std::string_view, std::vector<Seen>> by_text;
    std::map<long, std::vector<Seen>> by_offset;
    std::vector<Seen> roman;
    for (std::size_t p = 0; p < ends.size(); ++p) {
        for (const EndLine& end : ends[p]) {
            // Larger text is a title: a chapter's name at the top of each of
            // its first pages does not run.
            if (lines[p][end.line].size >= body * kHeadingSizeRatio) continue;
            const Seen seen{p, end.line, end.y};
            by_text[end.key].push_back(seen);
            if (end.number) {
                if (*end.number < 0) {
                    roman.push_back(seen);
                } else {
                    by_offset[*end.number - static_cast<long>(pages[p].number)].push_back(seen);
                }
            }
        }
    }
    const std::size_t needed = std::max<std::size_t>(
        kRunningMinPages,
        static_cast<std::size_t>(std::ceil(kRunningMinShare * static_cast<double>(pages.size()))));
    const double tolerance = kRunningYTolerance * body;
    auto pages_seen = [](const std::vector<Seen>& seen) {
        std::unordered_set<std::size_t> distinct;
        for (const Seen& s : seen)
            distinct.insert(s.page);
        return distinct.size();
    };
    for (auto& [key, seen] : by_text) {
        if (seen.size() < needed) continue;
        std::sort(seen.begin(), seen.end(), [](const Seen& a, const Seen& b) { return a.y < b.y; });
        // The largest set of places within the tolerance of each other.
        std::size_t best_from = 0, best_count = 0;
        for (std::size_t from = 0, to = 0; from < seen.size(); ++from) {
            while (to < seen.size() && seen[to].y - seen[from].y <= tolerance)
                ++to;
            if (to - from > best_count) {
                best_count = to - from;
                best_from = from;
            }
        }
        if (best_count < needed ||
            pages_seen({seen.begin() + static_cast<std::ptrdiff_t>(best_from),
                        seen.begin() + static_cast<std::ptrdiff_t>(best_from + best_count)}) <
                needed) {
            continue;
        }
        for (std::size_t k = best_from; k < best_from + best_count; ++k)
            facts[seen[k].page].dropped[seen[k].line] = 1;
    }
    // Page numbers count the pages: two pages agreeing on the offset are
    // enough (a short document has no other repetition to go by). A chart's
    // axis labels repeat a value on one page, never across pages.
    for (const auto& [offset, seen] : by_offset) {
        if (pages_seen(seen) < 2) continue;
        for (const Seen& s : seen)
            facts[s.page].dropped[s.line] = 1;
    }
    if (pages_seen(roman) >= 2) {
        for (const Seen& s : roman)
            facts[s.page].dropped[s.line] = 1;
    }
}

// Where a line's text (or two lines' of one block), as match_key makes it
// with and without a section number, stands on a page.
struct OutlinePlace {
    std::size_t line;
    std::size_t count; // 1, or 2 for a title set over two lines
};
using OutlineKeys = std::unordered_map<std::string, std::vector<OutlinePlace>>;

// The keys of one page's lines: pure, so the pages an outline points at are
// keyed on the workers and the document pass only looks titles up.
OutlineKeys outline_keys(const std::vector<LineInfo>& lines) {
    OutlineKeys keys;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        keys[match_key(lines[i].text)].push_back({i, 1});
        keys[match_key(strip_section_number(lines[i].text).first)].push_back({i, 1});
        if (i + 1 < lines.size() && !lines[i + 1].first_in_block) {
            const std::string two = lines[i].text + " " + lines[i + 1].text;
            keys[match_key(two)].push_back({i, 2});
            keys[match_key(strip_section_number(two).first)].push_back({i, 2});
        }
    }
    return keys;
}

// The page numbers some outline entry points at.
std::unordered_set<std::size_t> outline_pages(const std::vector<docinfo::OutlineEntry>& outline) {
    std::unordered_set<std::size_t> numbers;
    for (const docinfo::OutlineEntry& entry : outline)
        if (entry.page) numbers.insert(*entry.page);
    return numbers;
}

// What the document passes read of a page, made on the worker that laid
// it out: keying the lines for outline titles is most of the outline
// match's work, so the document pass only looks titles up.
struct PageAnalysis {
    std::vector<LineInfo> lines;
    OutlineKeys keys; // only for the pages the outline points at
    std::vector<EndLine> ends;
};

PageAnalysis analyse_page(const std::vector<TextBlock>& blocks, bool outline_target) {
    PageAnalysis analysis;
    analysis.lines = page_lines(blocks);
    if (outline_target) analysis.keys = outline_keys(analysis.lines);
    analysis.ends = end_lines(analysis.lines);
    return analysis;
}

// Outline titles matched to the text at their destination: the line (or two
// lines of one block) whose letters and digits are the title's, with or
// without its section number, nearest the destination's height.
void match_outline(const std::vector<PageInput>& pages,
                   const std::vector<PageAnalysis>& analysis,
                   const std::vector<docinfo::OutlineEntry>& outline,
                   std::vector<PageFacts>& facts) {
    std::unordered_map<std::size_t, std::size_t> index_of;
    for (std::size_t p = 0; p < pages.size(); ++p)
        index_of.emplace(pages[p].number, p);
    for (const docinfo::OutlineEntry& entry : outline) {
        if (!entry.page) continue;
        const auto found = index_of.find(*entry.page);
        if (found == index_of.end()) continue;
        const std::size_t p = found->second;
        const OutlineKeys& page_keys = analysis[p].keys;
        const std::string key = match_key(strip_section_number(entry.title).first);
        if (key.empty()) continue;
        auto hit = page_keys.find(key);
        if (hit == page_keys.end()) hit = page_keys.find(match_key(entry.title));
        if (hit == page_keys.end()) continue;
        const OutlinePlace* best = nullptr;
        double best_distance = 0;
        for (const OutlinePlace& place : hit->second) {
            if (facts[p].outline_level[place.line] != 0) continue;
            const double distance =
                entry.top ? std::abs(analysis[p].lines[place.line].bbox[3] - *entry.top) : 0;
            if (best == nullptr || distance < best_distance) {
                best = &place;
                best_distance = distance;
            }
        }
        if (best == nullptr) continue;
        const auto level = static_cast<std::int8_t>(std::clamp(entry.level, 1, 6));
        for (std::size_t k = 0; k < best->count; ++k)
            facts[p].outline_level[best->line + k] = level;
    }
}

// --- inline markup ------------------------------------------------------------

struct Piece {
    std::string text;
    std::uint32_t style = 0; // kBold | kItalic | kMonospaced
    int link = -1;           // index into the page's links
};

bool inside(const BBox& box, double x, double y) {
    return x >= box[0] && x <= box[2] && y >= box[1] && y <= box[3];
}

int link_at(const std::vector<PageLink>& links, double x, double y) {
    for (std::size_t k = 0; k < links.size(); ++k)
        if (inside(links[k].bbox, x, y)) return static_cast<int>(k);
    return -1;
}

bool touches(const BBox& a, const BBox& b) {
    return a[0] <= b[2] && b[0] <= a[2] && a[1] <= b[3] && b[1] <= a[3];
}

void append_piece(std::vector<Piece>& pieces, std::string_view text, std::uint32_t style,
                  int link) {
    if (!pieces.empty() && pieces.back().style == style && pieces.back().link == link) {
        pieces.back().text += text;
    } else {
        pieces.push_back({std::string(text), style, link});
    }
}

// The line's text with bold, italic and monospaced runs marked and the words
// under a link rectangle wrapped in [text](uri).
std::string marked_line(const TextLine& line, const std::vector<PageLink>& links) {
    constexpr std::uint32_t kStyles =
        span_flags::kBold | span_flags::kItalic | span_flags::kMonospaced;
    std::vector<Piece> pieces;
    const TextSpan* previous = nullptr;
    std::string so_far;
    for (const TextSpan& span : line.spans) {
        if (previous != nullptr && needs_space(so_far, *previous, span)) {
            append_piece(pieces, " ", pieces.empty() ? 0 : pieces.back().style,
                         pieces.empty() ? -1 : pieces.back().link);
            so_far.push_back(' ');
        }
        so_far += span.text;
        previous = &span;
        const std::uint32_t style = span.flags & kStyles;
        const bool linked = std::any_of(links.begin(), links.end(), [&](const PageLink& l) {
            return touches(l.bbox, span.bbox);
        });
        if (!linked) {
            append_piece(pieces, span.text, style, -1);
            continue;
        }
        // Extraction keeps no characters' boxes, so each word's place is
        // its share of the span's width by code points: close enough to
        // tell which link rectangle holds the word's centre.
        const std::size_t total = std::max<std::size_t>(codepoints(span.text), 1);
        const double width = span.bbox[2] - span.bbox[0];
        const double y = (span.bbox[1] + span.bbox[3]) / 2;
        std::size_t at = 0;    // byte
        std::size_t count = 0; // code points before `at`
        while (at < span.text.size()) {
            const bool space = is_space(span.text[at]);
            std::size_t end = at;
            std::size_t n = 0;
            while (end < span.text.size() && is_space(span.text[end]) == space) {
                n += (static_cast<unsigned char>(span.text[end]) & 0xC0) != 0x80;
                ++end;
            }
            const std::string_view word = std::string_view(span.text).substr(at, end - at);
            if (space) {
                append_piece(pieces, word, pieces.empty() ? style : pieces.back().style,
                             pieces.empty() ? -1 : pieces.back().link);
            } else {
                const double middle = static_cast<double>(count) + static_cast<double>(n) / 2;
                const double x = span.bbox[0] + width * middle / static_cast<double>(total);
                append_piece(pieces, word, style, link_at(links, x, y));
            }
            count += n;
            at = end;
        }
    }
    // A space inside a linked run stays in the link only between its words.
    std::string out;
    for (std::size_t k = 0; k < pieces.size(); ++k) {
        const Piece& piece = pieces[k];
        const std::string_view core = trim(piece.text);
        const std::string_view text = piece.text;
        const std::size_t lead = core.empty() ? text.size() : core.data() - text.data();
        out.append(text.substr(0, lead));
        if (core.empty()) continue;
        std::string inner(core);
        // Markup glued to a letter on either side would split the word for
        // every reader of the Markdown ("**Geo**Topo" is two words), so a
        // style that changes inside a word is left unmarked.
        const bool glued_before = lead == 0 && k > 0 && !pieces[k - 1].text.empty() &&
                                  is_word_byte(pieces[k - 1].text.back());
        const bool glued_after = lead + core.size() == text.size() && k + 1 < pieces.size() &&
                                 !pieces[k + 1].text.empty() &&
                                 is_word_byte(pieces[k + 1].text.front());
        const bool marked = !glued_before && !glued_after;
        if (marked && (piece.style & span_flags::kMonospaced)) {
            inner = (inner.find('`') != std::string::npos ? "`` " + inner + " ``"
                                                          : "`" + inner + "`");
        } else if (marked) {
            if (piece.style & span_flags::kItalic) inner = "_" + inner + "_";
            if (piece.style & span_flags::kBold) inner = "**" + inner + "**";
        }
        if (piece.link >= 0) inner = "[" + inner + "](" + links[piece.link].uri + ")";
        out += inner;
        out.append(text.substr(lead + core.size()));
    }
    return out;
}

// --- list markers -----------------------------------------------------------

struct ListMarker {
    std::string markdown; // "- ", "3. ", "- a) "
    std::size_t length = 0; // bytes of the line's text the marker takes
};

// Bullets as the writers of lists draw them: •, ◦, ▪, –, ∙, ●, ○, ■, ▸, ►,
// ‣, ⁃, ·, and "*" and "-" followed by a space.
std::optional<ListMarker> list_marker(std::string_view text, bool numbers_allowed) {
    static constexpr std::string_view kBullets[] = {
        "\xe2\x80\xa2", "\xe2\x97\xa6", "\xe2\x96\xaa", "\xe2\x80\x93", "\xe2\x88\x99",
        "\xe2\x97\x8f", "\xe2\x97\x8b", "\xe2\x96\xa0", "\xe2\x96\xb8", "\xe2\x96\xba",
        "\xe2\x80\xa3", "\xe2\x81\x83", "\xc2\xb7",     "\xef\x82\xb7", "*",
        "-"};
    std::size_t lead = 0;
    while (lead < text.size() && is_space(text[lead]))
        ++lead;
    std::string_view t = text.substr(lead);
    for (const std::string_view bullet : kBullets) {
        if (!t.starts_with(bullet)) continue;
        std::string_view rest = t.substr(bullet.size());
        const bool ascii = bullet.size() == 1;
        if (rest.empty() || (ascii && !is_space(rest.front()))) return std::nullopt;
        // A glyph bullet set tight against its text still marks an item.
        const std::size_t length = t.size() - trim(rest).size();
        return ListMarker{"- ", lead + length};
    }
    if (!numbers_allowed) return std::nullopt;
    // "3.", "3)", "(3)", "a.", "a)", "(a)", "iv." with a space after.
    std::size_t i = 0;
    const bool paren = !t.empty() && t[0] == '(';
    if (paren) ++i;
    const std::size_t start = i;
    while (i < t.size() && i - start < 3 && is_digit(t[i]))
        ++i;
    const bool digits = i > start;
    if (!digits) {
        while (i < t.size() && i - start < 4 &&
               (std::string_view("ivx").find(t[i]) != std::string_view::npos))
            ++i;
        if (i == start && i < t.size() && is_alpha_ascii(t[i])) ++i;
    }
    if (i == start || i >= t.size()) return std::nullopt;
    const char close = t[i];
    if (!(close == ')' || (!paren && close == '.'))) return std::nullopt;
    ++i;
    if (i >= t.size() || !is_space(t[i])) return std::nullopt;
    const std::string_view number = t.substr(start, i - 1 - start);
    const std::size_t length = t.size() - trim(t.substr(i)).size();
    if (digits && !paren) return ListMarker{std::string(number) + ". ", lead + length};
    return ListMarker{"- " + std::string(t.substr(0, i)) + " ", lead + length};
}

// --- page rendering -------------------------------------------------------------

enum class Kind { Heading, Paragraph, ListItem, Code, Block };

struct Element {
    Kind kind = Kind::Paragraph;
    std::string text;
    int level = 0;         // headings
    std::string indent;    // list items: the parents' content columns
    std::string marker;    // list items
    std::size_t block = 0; // the block its last line came from
    double marker_x = 0;   // list items
    double size = 0;       // paragraphs: the size of their first line
    bool closed = false;   // a line that takes no other (a contents entry)
};

Element element(Kind kind, std::string text, std::size_t block = 0) {
    Element e;
    e.kind = kind;
    e.text = std::move(text);
    e.block = block;
    return e;
}

struct CodeLine {
    std::string text;
    double x0 = 0;
    double advance = 0;
    bool gap_before = false;
};

std::string code_text(const std::vector<CodeLine>& lines) {
    double left = 1e300;
    for (const CodeLine& line : lines)
        left = std::min(left, line.x0);
    std::string out = "```\n";
    for (const CodeLine& line : lines) {
        if (line.gap_before) out += "\n";
        const double columns = line.advance > 0 ? (line.x0 - left) / line.advance : 0;
        const long spaces = std::isfinite(columns) ? std::lround(std::clamp(columns, 0.0, 80.0)) : 0;
        out.append(static_cast<std::size_t>(spaces), ' ');
        out += line.text;
        out += "\n";
    }
    out += "```";
    return out;
}

double mono_advance(const TextLine& line) {
    for (const TextSpan& span : line.spans) {
        const std::size_t n = codepoints(span.text);
        if (n >= 2 && span.bbox[2] > span.bbox[0]) return (span.bbox[2] - span.bbox[0]) / n;
    }
    const double size = line.spans.empty() ? 10 : line.spans.front().size;
    return kMonospaceAdvance * size;
}

// Markdown that would read as markup at the start of a paragraph.
std::string escape_start(std::string text) {
    if (text.starts_with("#") || text.starts_with("```") || text.starts_with(">")) {
        return "\\" + text;
    }
    return text;
}

std::string join_text(std::string a, std::string_view b) {
    b = trim(b);
    if (b.empty()) return a;
    if (a.empty()) return std::string(b);
    // A hyphen at a break before a lower-case word is the word's own.
    if (a.size() >= 2 && a.back() == '-' && is_alpha_ascii(a[a.size() - 2]) && starts_lower(b)) {
        a.pop_back();
        a += b;
        return a;
    }
    a.push_back(' ');
    a += b;
    return a;
}

class PageWriter {
  public:
    PageWriter(const PageInput& page, const std::vector<LineInfo>& lines, const PageFacts& facts,
               const DocumentStyle& style, const Options& options)
        : page_(page), lines_(lines), facts_(facts), style_(style), options_(options),
          placed_links_(page.links.begin(),
                        page.links.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                 page.links.size(), limits::kMaxPlacedLinksPerPage))) {}

    PageMarkdown write() {
        PageMarkdown out;
        out.number = page_.number;
        place_images_and_tables();
        heading_levels();
        std::size_t flat = 0;
        for (std::size_t b = 0; b < page_.blocks.size(); ++b) {
            emit_placed(b);
            for (const TextLine& line : page_.blocks[b].lines)
                add_line(line, flat++);
        }
        emit_placed(page_.blocks.size());
        flush_code();
        merge_continued_paragraphs();
        serialise(out);
        return out;
    }

  private:
    // Images and tables without text inside go before the first block that
    // starts below their top, in reading order.
    void place_images_and_tables() {
        placed_.assign(page_.blocks.size() + 1, {});
        auto block_for = [&](const BBox& box) {
            for (std::size_t b = 0; b < page_.blocks.size(); ++b) {
                if (page_.blocks[b].bbox[3] <= box[3] + 1) return b;
            }
            return page_.blocks.size();
        };
        if (options_.images != ImageMode::Omit) {
            for (std::size_t k = 0; k < page_.images.size(); ++k) {
                std::string name = "page-" + std::to_string(page_.number) + "-image-" +
                                   std::to_string(k);
                if (options_.images == ImageMode::Files) {
                    name = options_.image_prefix + "/" + name + "." + image_file_suffix(page_.images[k]);
                }
                placed_[block_for(page_.images[k].bbox)].push_back("![](" + name + ")");
                ++images_;
            }
        }
        table_of_line_.assign(lines_.size(), -1);
        for (std::size_t t = 0; t < page_.tables.size(); ++t) {
            bool covers = false;
            for (std::size_t i = 0; i < lines_.size(); ++i) {
                const BBox& box = lines_[i].bbox;
                if (inside(page_.tables[t].bbox, (box[0] + box[2]) / 2, (box[1] + box[3]) / 2)) {
                    if (table_of_line_[i] < 0) table_of_line_[i] = static_cast<int>(t);
                    covers = true;
                }
            }
            if (!covers)
                placed_[block_for(page_.tables[t].bbox)].push_back(page_.tables[t].markdown);
        }
        tables_ = page_.tables.size();
        table_done_.assign(page_.tables.size(), false);
    }

    void emit_placed(std::size_t b) {
        for (std::string& text : placed_[b]) {
            flush_code();
            push(element(Kind::Block, std::move(text)));
        }
    }

    // Each line's heading level, 0 for none: the outline's, else larger
    // text in a short group, else a short bold or numbered line standing at
    // the start of its block.
    void heading_levels() {
        level_.assign(lines_.size(), 0);
        for (std::size_t i = 0; i < lines_.size(); ++i)
            level_[i] = facts_.outline_level[i];
        for_each_large_group(lines_, style_.body_size, [&](std::size_t i, std::size_t j) {
            bool letters = false;
            for (std::size_t k = i; k < j; ++k) {
                if (level_[k] != 0) return;
                letters = letters || has_title_letters(lines_[k].text);
            }
            if (!letters) return;
            const int level = size_level(style_, lines_[i].size);
            for (std::size_t k = i; k < j; ++k)
                level_[k] = level;
        });
        for (std::size_t i = 0; i < lines_.size(); ++i) {
            const LineInfo& line = lines_[i];
            if (level_[i] != 0 || !line.first_in_block || line.mono || line.vertical) continue;
            const std::string_view text = trim(line.text);
            if (text.empty() || text.size() > kMaxHeadingChars / 2 || is_terminal(text) ||
                is_contents_entry(text) || !has_title_letters(text) ||
                line.max_size < style_.body_size / kHeadingSizeRatio) {
                // Small capitals set most letters smaller than the body;
                // the number and the capitals keep its size.
                continue;
            }
            // Bold set apart: one or two bold lines before ordinary text.
            if (line.bold) {
                std::size_t j = i + 1;
                while (j < lines_.size() && !lines_[j].first_in_block && lines_[j].bold)
                    ++j;
                if (j - i <= 2) {
                    for (std::size_t k = i; k < j; ++k)
                        level_[k] = style_.body_heading_level;
                }
                continue;
            }
            // A section number and a title: alone in its block with a number
            // of two parts or more ("2.3 Results", "A.1 Proofs"), or opening
            // its block in capitals ("1 INTRODUCTION", "2.1 TOKENIZER", as
            // conference styles set them at the body size).
            const auto [rest, depth] = strip_section_number(text);
            // The title starts with a capital, or a letter outside ASCII.
            if (depth == 0 || rest.empty() ||
                !((rest.front() >= 'A' && rest.front() <= 'Z') ||
                  static_cast<unsigned char>(rest.front()) >= 0xC0)) {
                continue;
            }
            if ((line.last_in_block && depth >= 2) || is_capitals(rest)) {
                level_[i] = std::min(6, style_.body_heading_level + depth - 1);
            } else if (line.italic && line.last_in_block) {
                // Journal styles set subsections as an italic numbered line
                // of its own ("A. Related Work") under capital sections.
                level_[i] = std::min(6, style_.body_heading_level + depth);
            }
        }
    }

    void push(Element element) { elements_.push_back(std::move(element)); }

    void flush_code() {
        if (code_.empty()) return;
        push(element(Kind::Code, code_text(code_)));
        code_.clear();
    }

    void add_line(const TextLine& line, std::size_t i) {
        const LineInfo& info = lines_[i];
        if (!options_.headers_footers && facts_.dropped[i]) return;
        if (table_of_line_[i] >= 0) {
            const auto t = static_cast<std::size_t>(table_of_line_[i]);
            if (!table_done_[t]) {
                flush_code();
                push(element(Kind::Block, page_.tables[t].markdown));
                table_done_[t] = true;
            }
            return;
        }
        const std::string_view plain = trim(info.text);
        if (plain.empty()) return;
        if (level_[i] != 0) {
            flush_code();
            if (!elements_.empty() && elements_.back().kind == Kind::Heading &&
                elements_.back().level == level_[i] && elements_.back().block == info.block &&
                !info.first_in_block) {
                elements_.back().text = join_text(std::move(elements_.back().text), plain);
            } else {
                Element heading = element(Kind::Heading, std::string(plain), info.block);
                heading.level = level_[i];
                push(std::move(heading));
            }
            lists_.clear();
            return;
        }
        if (info.mono) {
            CodeLine code{info.text, info.bbox[0], mono_advance(line)};
            code.gap_before = !code_.empty() && info.first_in_block;
            code_.push_back(std::move(code));
            return;
        }
        flush_code();
        std::string text = marked_line(line, placed_links_);
        Element* last = elements_.empty() ? nullptr : &elements_.back();
        const double hang = kHangingIndent * style_.body_size;
        // Numbers open an item only where an item can start: at a block's
        // start or after another item's line, never inside running text.
        const bool after_item = last != nullptr && last->kind == Kind::ListItem;
        if (auto marker = list_marker(text, info.first_in_block || after_item)) {
            const double x = info.bbox[0];
            while (!lists_.empty() && lists_.back().first > x + hang)
                lists_.pop_back();
            if (!lists_.empty() && std::abs(lists_.back().first - x) <= hang) lists_.pop_back();
            std::string indent;
            for (const auto& [marker_x, width] : lists_)
                indent.append(width, ' ');
            if (lists_.size() < limits::kMaxListDepth) {
                lists_.push_back({x, marker->markdown.size()});
            } else {
                indent.resize(indent.size() - lists_.back().second);
            }
            Element item = element(
                Kind::ListItem, std::string(trim(std::string_view(text).substr(
                                    std::min(marker->length, text.size())))));
            item.indent = std::move(indent);
            item.marker = marker->markdown;
            item.block = info.block;
            item.marker_x = x;
            push(std::move(item));
            return;
        }
        if (after_item && info.bbox[0] > last->marker_x + hang) {
            last->text = join_text(std::move(last->text), text);
            last->block = info.block;
            return;
        }
        lists_.clear();
        // Contents entries keep a line each, as the page shows them.
        const bool entry = is_contents_entry(plain);
        if (last != nullptr && last->kind == Kind::Paragraph && last->block == info.block &&
            !info.first_in_block && !last->closed && !entry) {
            last->text = join_text(std::move(last->text), text);
            return;
        }
        push(element(Kind::Paragraph, std::string(trim(text)), info.block));
        elements_.back().closed = entry;
        elements_.back().size = info.size;
    }

    // A paragraph cut by a column or a figure goes on in the next block: the
    // first ends without closing punctuation and the next starts in lower case.
    // Small print between the two (the footnotes at a column's foot) is put
    // after the joined paragraph.
    void merge_continued_paragraphs() {
        std::vector<Element> merged;
        std::vector<Element> held;
        auto release_held = [&] {
            for (Element& h : held)
                merged.push_back(std::move(h));
            held.clear();
        };
        for (Element& e : elements_) {
            const bool open = !merged.empty() && merged.back().kind == Kind::Paragraph &&
                              !merged.back().closed && !is_terminal(merged.back().text);
            const bool small = open && e.size < merged.back().size / kHeadingSizeRatio;
            if (open && e.kind == Kind::Paragraph && !e.closed && starts_lower(e.text) &&
                (held.empty() || !small)) {
                merged.back().text = join_text(std::move(merged.back().text), e.text);
                release_held();
                continue;
            }
            if (open && e.kind == Kind::Paragraph && small) {
                // Small print goes on within itself as text does.
                Element* note = held.empty() ? nullptr : &held.back();
                if (note != nullptr && !note->closed && !e.closed && !is_terminal(note->text) &&
                    starts_lower(e.text)) {
                    note->text = join_text(std::move(note->text), e.text);
                    continue;
                }
                // Notes are sentences: a superscript or a mark set apart in
                // small print stays where it is.
                if (held.size() < kMaxHeldFootnotes && e.text.size() >= kMinFootnoteChars) {
                    held.push_back(std::move(e));
                    continue;
                }
            }
            release_held();
            merged.push_back(std::move(e));
        }
        release_held();
        elements_ = std::move(merged);
    }

    void serialise(PageMarkdown& out) {
        out.tables = tables_;
        out.images = images_;
        std::unordered_set<std::string_view> seen;
        for (const PageLink& link : page_.links) {
            if (seen.insert(link.uri).second) out.links.push_back(link.uri);
        }
        bool leading = true;
        for (std::size_t k = 0; k < elements_.size(); ++k) {
            const Element& e = elements_[k];
            if (k > 0) {
                const Element& before = elements_[k - 1];
                // Items of one list follow on the next line; a list of
                // another kind (bullets after numbers) starts after a blank.
                const bool same_list = e.kind == Kind::ListItem &&
                                       before.kind == Kind::ListItem &&
                                       (!e.indent.empty() || !before.indent.empty() ||
                                        e.marker.starts_with("- ") == before.marker.starts_with("- "));
                out.text += same_list ? "\n" : "\n\n";
            }
            switch (e.kind) {
            case Kind::Heading:
                out.text.append(static_cast<std::size_t>(e.level), '#');
                out.text += " ";
                out.text += e.text;
                out.page_headings.push_back({e.level, e.text});
                if (leading) ++out.leading_headings;
                break;
            case Kind::Paragraph:
                out.text += escape_start(e.text);
                break;
            case Kind::ListItem:
                out.text += e.indent + e.marker + e.text;
                break;
            case Kind::Code:
            case Kind::Block:
                out.text += e.text;
                break;
            }
            if (e.kind != Kind::Heading) leading = false;
        }
        if (!elements_.empty()) {
            out.ends_open = elements_.back().kind == Kind::Paragraph &&
                            !is_terminal(elements_.back().text);
            out.starts_continuation = elements_.front().kind == Kind::Paragraph &&
                                      starts_lower(elements_.front().text);
        }
    }

    const PageInput& page_;
    const std::vector<LineInfo>& lines_;
    const PageFacts& facts_;
    const DocumentStyle& style_;
    const Options& options_;
    const std::vector<PageLink> placed_links_;
    std::vector<std::vector<std::string>> placed_;
    std::vector<int> table_of_line_;
    std::vector<bool> table_done_;
    std::vector<int> level_;
    std::vector<Element> elements_;
    std::vector<CodeLine> code_;
    // Open lists: each level's marker x and content indent.
    std::vector<std::pair<double, std::size_t>> lists_;
    std::size_t tables_ = 0;
    std::size_t images_ = 0;
};

} // namespace

std::string image_file_suffix(const ExtractedImage& image) {
    if (image.ext == "jpeg" && image.image.starts_with("\xff\xd8")) return "jpg";
    if (image.ext == "jpx") return "jp2";
    const std::uint64_t pixels = std::uint64_t{image.width} * image.height;
    const std::uint64_t channels =
        image.colorspace == "DeviceGray" ? 1 : (image.colorspace == "DeviceRGB" ? 3 : 0);
    if (image.ext == "png" && image.bpc == 8 && channels > 0 && pixels > 0 &&
        image.image.size() == pixels * channels) {
        return "png";
    }
    return "bin";
}

std::string join_pages(const std::vector<PageMarkdown>& pages) {
    std::string out;
    const PageMarkdown* previous = nullptr;
    for (const PageMarkdown& page : pages) {
        if (page.text.empty()) continue;
        if (previous != nullptr) {
            if (previous->ends_open && page.starts_continuation) {
                if (out.size() >= 2 && out.back() == '-' &&
                    is_alpha_ascii(out[out.size() - 2])) {
                    out.pop_back();
                } else {
                    out += " ";
                }
            } else {
                out += "\n\n";
            }
        }
        out += page.text;
        previous = &page;
    }
    if (!out.empty()) out += "\n";
    return out;
}

void fill_section_paths(std::vector<PageMarkdown>& pages) {
    std::vector<Heading> path;
    auto apply = [&](const Heading& heading) {
        while (!path.empty() && path.back().level >= heading.level)
            path.pop_back();
        path.push_back(heading);
    };
    for (PageMarkdown& page : pages) {
        for (std::size_t k = 0; k < page.leading_headings; ++k)
            apply(page.page_headings[k]);
        page.headings.clear();
        for (const Heading& heading : path)
            page.headings.push_back(heading.text);
        for (std::size_t k = page.leading_headings; k < page.page_headings.size(); ++k)
            apply(page.page_headings[k]);
    }
}

namespace {

// Pages the caller gives up to write_document, with the thread that made
// each one (its lines, keys and blocks).
struct Release {
    std::vector<PageInput>* pages = nullptr;
    std::vector<std::thread::id> made_by;
};

// What a written page leaves to free.
struct Written {
    PageInput page;
    OutlineKeys keys;
    std::vector<LineInfo> lines;
};

// Written pages go back to the thread that made them to be freed. The C
// library's allocator locks the heap a block came from on every free, so a
// worker freeing another's pages would stall that worker's allocations as
// it writes its own page.
class ReturnToMaker {
  public:
    void put(Written&& written, std::thread::id maker) {
        const std::thread::id self = std::this_thread::get_id();
        if (maker == std::thread::id() || maker == self) return; // freed here, now
        std::lock_guard<std::mutex> lock(mu_);
        waiting_[maker].push_back(std::move(written));
    }

    // Frees what waits for the calling thread.
    void collect() {
        std::vector<Written> mine;
        {
            std::lock_guard<std::mutex> lock(mu_);
            auto it = waiting_.find(std::this_thread::get_id());
            if (it == waiting_.end()) return;
            mine.swap(it->second);
        }
        mine.clear(); // outside the lock
    }

  private:
    std::mutex mu_;
    std::unordered_map<std::thread::id, std::vector<Written>> waiting_;
};

// The document passes over pages already analysed, then each page written
// on the worker pool. With `release`, the pages are the caller's to give up:
// the workers free them as they write, rather than the calling thread all
// of them after.
std::vector<PageMarkdown> write_document(const std::vector<PageInput>& pages,
                                         std::vector<PageAnalysis> analysis,
                                         const std::vector<docinfo::OutlineEntry>& outline,
                                         const std::optional<std::vector<std::string>>& labels,
                                         const Options& options, Release release = {}) {
    std::vector<std::vector<LineInfo>> lines(pages.size());
    std::vector<PageFacts> facts(pages.size());
    for (std::size_t p = 0; p < pages.size(); ++p) {
        facts[p].dropped.assign(analysis[p].lines.size(), 0);
        facts[p].outline_level.assign(analysis[p].lines.size(), 0);
    }
    match_outline(pages, analysis, outline, facts);
    std::vector<std::vector<EndLine>> ends(pages.size());
    for (std::size_t p = 0; p < pages.size(); ++p) {
        lines[p] = std::move(analysis[p].lines);
        ends[p] = std::move(analysis[p].ends);
    }
    const DocumentStyle style = document_style(lines, facts);
    mark_running_lines(pages, lines, ends, style.body_size, facts);
    ReturnToMaker freed;
    std::vector<PageMarkdown> out = parallel_map(pages.size(), [&](std::size_t p) {
        freed.collect();
        PageMarkdown page = PageWriter(pages[p], lines[p], facts[p], style, options).write();
        // The keys, lines and blocks are thousands of small allocations.
        Written written{release.pages != nullptr ? std::move((*release.pages)[p]) : PageInput(),
                        std::move(analysis[p].keys), std::move(lines[p])};
        freed.put(std::move(written),
                  p < release.made_by.size() ? release.made_by[p] : std::thread::id());
        return page;
    });
    for (PageMarkdown& page : out) {
        if (labels && page.number < labels->size()) page.label = (*labels)[page.number];
    }
    fill_section_paths(out);
    return out;
}

} // namespace

std::vector<PageMarkdown> pages_to_markdown(const std::vector<PageInput>& pages,
                                            const std::vector<docinfo::OutlineEntry>& outline,
                                            const std::optional<std::vector<std::string>>& labels,
                                            const Options& options) {
    const std::unordered_set<std::size_t> targets = outline_pages(outline);
    std::vector<PageAnalysis> analysis = parallel_map(pages.size(), [&](std::size_t p) {
        return analyse_page(pages[p].blocks, targets.count(pages[p].number) != 0);
    });
    return write_document(pages, std::move(analysis), outline, labels, options);
}

namespace {

// Lines of one cell beyond which the grid is a layout of text boxes.
constexpr std::ptrdiff_t kMaxTableCellLines = 8;

void add_tokens(std::string_view text, std::vector<std::string_view>& out) {
    std::size_t start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == ' ' || text[i] == '\n' || text[i] == '\t') {
            if (i > start) out.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
}

// A page's tables as the Markdown pass takes them: a pipe table, or HTML
// where a cell spans (pipe tables have no spans). The pass replaces every
// line whose centre is inside a table's box, so a table is taken only when
// its cells hold exactly the words of those lines: a caption or a note
// inside the rules, text beside an open grid, or words the finder cut
// differently from the lines (letters spaced out in a chart's labels) keep
// their lines as text rather than lose or change words.
// `lines` are the page's lines as the pass itself makes them, for the same
// centre test.
std::vector<PageTable> page_tables(const PageResult& page, const std::vector<LineInfo>& lines) {
    std::vector<PageTable> out;
    const std::vector<Table> found = tables::find_tables(page.blocks, page.drawings);
    if (found.empty()) return out;
    for (const Table& table : found) {
        std::vector<std::string_view> in_cells, in_box;
        for (const TableCell& cell : table.cells) add_tokens(cell.text, in_cells);
        for (const LineInfo& line : lines) {
            const BBox& box = line.bbox;
            if (inside(table.bbox, (box[0] + box[2]) / 2, (box[1] + box[3]) / 2))
                add_tokens(line.text, in_box);
        }
        // A box holding many lines is a page laid out in ruled boxes (a
        // newsletter), whose text reads better as paragraphs.
        if (std::any_of(table.cells.begin(), table.cells.end(), [](const TableCell& c) {
                return std::count(c.text.begin(), c.text.end(), '\n') >= kMaxTableCellLines;
            }))
            continue;
        std::sort(in_cells.begin(), in_cells.end());
        std::sort(in_box.begin(), in_box.end());
        if (in_cells != in_box) continue;
        const bool spans =
            std::any_of(table.cells.begin(), table.cells.end(), [](const TableCell& c) {
                return c.row_span > 1 || c.col_span > 1;
            });
        std::string text = spans ? tables::to_html(table) : tables::to_markdown(table);
        if (!text.empty()) out.push_back({table.bbox, std::move(text)});
    }
    return out;
}

} // namespace

Result<std::vector<PageMarkdown>> document_to_markdown(const Document& document,
                                                       const Options& options) {
    ExtractOptions extract;
    extract.read = options.read;
    extract.pages = options.pages;
    extract.include_images = options.images != ImageMode::Omit;
    // Only the file mode reads the bytes (to name each file's type); the
    // workers let the others go as they list the images.
    extract.include_image_bytes = options.images == ImageMode::Files;
    // The calling thread reads the outline, the links and the page labels
    // while the workers extract the first pages. A worker keys the lines of
    // the pages the outline points at as it lays them out, so it waits for
    // the outline before it analyses its first page.
    struct Outline {
        std::latch read{1};
        std::vector<docinfo::OutlineEntry> entries;
        std::unordered_set<std::size_t> targets;
    } outline;
    Result<std::vector<PageLink>> links = std::vector<PageLink>();
    std::unordered_map<std::size_t, std::vector<PageLink>> links_of;
    std::optional<std::vector<std::string>> labels;
    extract.meanwhile = [&] {
        {
            // Counted down however the reading ends, so that no worker waits on.
            struct CountDown {
                std::latch& latch;
                ~CountDown() { latch.count_down(); }
            } read{outline.read};
            outline.entries = docinfo::read_outline(document);
            outline.targets = outline_pages(outline.entries);
        }
        links = links::extract_links(document);
        // Each page's links, in document order, without a scan of all of
        // them per page.
        if (links.ok()) {
            for (PageLink& link : links.value())
                links_of[link.page].push_back(std::move(link));
        }
        labels = docinfo::read_page_labels(document);
    };
    // Each worker analyses the page it extracted and finds its tables, from
    // its rules and words; the drawings are not kept past that.
    extract.include_drawings = true;
    struct Worked {
        PageAnalysis analysis;
        std::vector<PageTable> tables;
        std::thread::id made_by = std::this_thread::get_id();
    };
    std::mutex worked_mu;
    std::multimap<std::size_t, Worked> worked;
    extract.on_page = [&](PageResult& result) {
        outline.read.wait();
        const bool target = outline.targets.count(result.number) != 0;
        Worked work;
        work.analysis = analyse_page(result.blocks, target);
        work.tables = page_tables(result, work.analysis.lines);
        result.drawings = {};
        std::lock_guard<std::mutex> lock(worked_mu);
        worked.emplace(result.number, std::move(work));
    };
    std::vector<PageInput> pages;
    std::vector<PageAnalysis> analysis;
    Release release{&pages, {}};
    const Status status = extract::extract_doc_each(document, extract, [&](PageResult&& result) {
        PageInput page;
        page.number = result.number;
        {
            // A page selected twice is worked on twice; either result serves.
            std::lock_guard<std::mutex> lock(worked_mu);
            auto it = worked.find(result.number);
            if (it != worked.end()) {
                page.tables = std::move(it->second.tables);
                analysis.push_back(std::move(it->second.analysis));
                release.made_by.push_back(it->second.made_by);
                worked.erase(it);
            } else {
                // The calling thread has read the outline before any page.
                analysis.push_back(
                    analyse_page(result.blocks, outline.targets.count(result.number) != 0));
                release.made_by.push_back(std::this_thread::get_id());
            }
        }
        // A page selected twice gets its links each time.
        if (auto it = links_of.find(result.number); it != links_of.end()) page.links = it->second;
        page.blocks = std::move(result.blocks);
        page.images = std::move(result.images);
        pages.push_back(std::move(page));
        return true;
    });
    if (!links.ok()) return links.error();
    if (!status.ok()) return status.error();
    return write_document(pages, std::move(analysis), outline.entries, labels, options,
                          std::move(release));
}

Result<std::vector<PageMarkdown>> to_markdown(const std::string& path, const Options& options) {
    QUARVEL_TRY(std::unique_ptr<Document> document, Document::open(path, options.read));
    return document_to_markdown(*document, options);
}

} // namespace quarvel::markdown

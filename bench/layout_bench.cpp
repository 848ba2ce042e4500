// The layout stage on synthetic pages shaped like typeset text: words of
// 2 to 9 letters at 4.5 units per letter, 11.5 units of leading, a paragraph
// break (20 more) every 10 lines, some lines hyphenated. Half the lines separate their
// words with space characters (one span per line), half with positioned gaps
// and no spaces (one span per word), as the two common ways producers set
// text. Characters arrive in reading order, top down, column by column.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "layout/layout.h"

namespace {

using quarvel::CharInfo;

constexpr double kSize = 12;
constexpr double kLetterWidth = 4.5;
constexpr double kSpaceWidth = 3;
constexpr double kWordGap = 4.5; // more than 0.3 size: a new span

struct Lcg {
    std::uint32_t state;
    std::uint32_t next(std::uint32_t bound) {
        state = state * 1664525u + 1013904223u;
        return (state >> 8) % bound;
    }
};

void set_column(std::vector<CharInfo>& out, Lcg& rng, double left, double width, int lines) {
    double y = 780;
    for (int line = 0; line < lines; ++line) {
        const bool spaced = line % 2 == 0;
        const bool hyphenate = line % 10 != 9 && rng.next(5) == 0;
        double x = left;
        bool first_word = true;
        while (true) {
            const auto letters = static_cast<int>(2 + rng.next(8));
            const double gap = first_word ? 0 : (spaced ? kSpaceWidth : kWordGap);
            if (x + gap + letters * kLetterWidth > left + width) break;
            if (!first_word && spaced) {
                out.push_back({x, y, x + kSpaceWidth, y + kSize, U' '});
            }
            x += gap;
            for (int i = 0; i < letters; ++i) {
                out.push_back({x, y, x + kLetterWidth, y + kSize,
                               static_cast<char32_t>(U'a' + rng.next(26))});
                x += kLetterWidth;
            }
            first_word = false;
        }
        if (hyphenate) out.push_back({x, y, x + kLetterWidth, y + kSize, U'-'});
        y -= line % 10 == 9 ? 31.5 : 11.5;
    }
}

std::vector<CharInfo> two_column_page() {
    std::vector<CharInfo> chars;
    Lcg rng{42};
    set_column(chars, rng, 72, 220, 60);
    set_column(chars, rng, 320, 220, 60);
    return chars;
}

std::vector<CharInfo> one_column_page() {
    std::vector<CharInfo> chars;
    Lcg rng{7};
    set_column(chars, rng, 72, 468, 60);
    return chars;
}

void run(benchmark::State& state, const std::vector<CharInfo>& chars) {
    std::size_t blocks = 0;
    for (auto _ : state) {
        auto result = quarvel::cluster_chars(chars, "F1", 0, kSize);
        blocks = result.size();
        benchmark::DoNotOptimize(result);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(chars.size()));
    state.counters["chars"] = static_cast<double>(chars.size());
    state.counters["blocks"] = static_cast<double>(blocks);
}

void BM_TwoColumnPage(benchmark::State& state) {
    run(state, two_column_page());
}
void BM_OneColumnPage(benchmark::State& state) {
    run(state, one_column_page());
}

} // namespace

BENCHMARK(BM_TwoColumnPage)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OneColumnPage)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();

// Throughput of the content-stream interpreter on a text-heavy page: kerned
// TJ arrays, Tf/Td/Tm, a few q/cm/Q, with a two-font map. Reports characters
// and content bytes per second.
#include <benchmark/benchmark.h>

#include <random>
#include <string>

#include "content/content_stream.h"

namespace {

using quarvel::FontInfo;
using quarvel::FontMap;

const char* const kWords[] = {"Lorem",       "ipsum",      "dolor",      "sit",     "amet,",
                              "consectetur", "adipiscing", "elit,",      "sed",     "do",
                              "eiusmod",     "tempor",     "incididunt", "ut",      "labore",
                              "et",          "dolore",     "magna",      "aliqua.", "(see",
                              "\\(1\\))",    "Ut",         "enim",       "ad",      "minim"};

// One page of two-column body text: 2 x 55 lines of about 70 characters, words
// as kerned TJ strings, headings in a second font, figures under q/cm/Q.
std::string make_page(std::mt19937& rng) {
    std::string out;
    out.reserve(64 * 1024);
    auto word = [&] { return std::string(kWords[rng() % std::size(kWords)]); };
    for (int column = 0; column < 2; ++column) {
        out += "q 1 0 0 1 " + std::to_string(column * 270) + " 0 cm\nBT\n/F2 14 Tf\n";
        out += "1 0 0 1 56 760 Tm\n[(Section) -250 (" + std::to_string(column + 1) + ")] TJ\n";
        out += "/F1 9.5 Tf\n0 -18 Td\n";
        for (int line = 0; line < 55; ++line) {
            out += "[(";
            std::size_t length = 0;
            while (length < 66) {
                std::string w = word();
                length += w.size() + 1;
                // Pair kerning inside a word, then the inter-word gap.
                if (w.size() > 4 && rng() % 3 == 0) {
                    out += w.substr(0, 2) + ") " + std::to_string(10 + rng() % 40) + " (" +
                           w.substr(2);
                } else {
                    out += w;
                }
                out += ") -" + std::to_string(200 + rng() % 120) + " (";
            }
            out += ")] TJ\n0 -11.5 Td\n";
            if (line % 20 == 19) out += "(Figure caption text.) Tj\n";
        }
        out += "ET\nQ\n";
        out += "q 120 0 0 80 300 100 cm /Im0 Do Q\n";
    }
    return out;
}

FontMap make_fonts() {
    auto body = std::make_shared<FontInfo>();
    body->base_font = "Body";
    body->widths.assign(256, 500);
    for (int c = 'a'; c <= 'z'; ++c)
        body->widths[c] = 420 + (c % 7) * 30;
    auto heading = std::make_shared<FontInfo>(*body);
    heading->base_font = "Heading";
    return {{"F1", body}, {"F2", heading}};
}

void BM_ScanTextPage(benchmark::State& state) {
    std::mt19937 rng(7);
    std::string content;
    for (int page = 0; page < 20; ++page)
        content += make_page(rng);
    const FontMap fonts = make_fonts();
    const quarvel::XObjectMap xobjects;
    std::size_t chars = 0;
    for (auto _ : state) {
        quarvel::ContentResult r = quarvel::scan_content_stream_full(content, fonts, xobjects, 0);
        chars += r.chars.size();
        benchmark::DoNotOptimize(r.chars.data());
    }
    state.counters["chars/s"] =
        benchmark::Counter(static_cast<double>(chars), benchmark::Counter::kIsRate);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * content.size()));
}
BENCHMARK(BM_ScanTextPage)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();

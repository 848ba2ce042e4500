// Character decoding, which runs once per shown code, and font-map building,
// which runs once per page for every font the page names.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "file/document.h"
#include "fonts/font.h"

namespace {

using quarvel::FontInfo;

// Appends one formatted CMap line.
template <typename... A> void line(std::string& out, const char* fmt, A... args) {
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, args...);
    out += buf;
}

// A simple font's map as subsetting writers produce it: one bfchar per code.
std::string one_byte_cmap() {
    std::string s = "beginbfchar\n";
    for (unsigned c = 0x20; c < 0x7F; ++c) line(s, "<%02X> <%04X>\n", c, c + 1);
    return s + "endbfchar\n";
}

// A Type0 font's map: two thousand bfchar codes and a few ranges.
std::string two_byte_cmap() {
    std::string s = "beginbfchar\n";
    for (unsigned c = 0; c < 2000; ++c) line(s, "<%04X> <%04X>\n", c, 0x4E00 + c);
    s += "endbfchar\nbeginbfrange\n";
    for (unsigned r = 0; r < 8; ++r) {
        line(s, "<%02X00> <%02XFF> <%02X00>\n", 0x10 + r, 0x10 + r, 0x30 + r);
    }
    return s + "endbfrange\n";
}

void decode_loop(benchmark::State& state, const FontInfo& font, std::string_view text,
                 std::size_t step) {
    for (auto _ : state) {
        char32_t acc = 0;
        for (std::size_t i = 0; i + step <= text.size(); i += step) {
            acc ^= font.decode_char(text.substr(i, step));
        }
        benchmark::DoNotOptimize(acc);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * (text.size() / step)));
}

void BM_DecodeOneByteToUnicode(benchmark::State& state) {
    FontInfo font;
    font.to_unicode = quarvel::parse_cmap(one_byte_cmap());
    std::string text;
    for (int i = 0; i < 4096; ++i) text += static_cast<char>(0x20 + i % 95);
    decode_loop(state, font, text, 1);
}
BENCHMARK(BM_DecodeOneByteToUnicode);

void BM_DecodeTwoByteToUnicode(benchmark::State& state) {
    FontInfo font;
    font.is_type0 = true;
    font.to_unicode = quarvel::parse_cmap(two_byte_cmap());
    std::string text;
    for (unsigned i = 0; i < 4096; ++i) {
        // Mostly bfchar codes, every eighth through a range.
        const unsigned code = i % 8 == 0 ? 0x1200 + i % 256 : (i * 7) % 2000;
        text += static_cast<char>(code >> 8);
        text += static_cast<char>(code & 0xFF);
    }
    decode_loop(state, font, text, 2);
}
BENCHMARK(BM_DecodeTwoByteToUnicode);

// A map written as one bfrange per code, as some writers do for whole CID
// fonts: five hundred ranges.
void BM_DecodeManyRanges(benchmark::State& state) {
    std::string cmap = "beginbfrange\n";
    for (unsigned c = 0; c < 500; ++c) line(cmap, "<%04X> <%04X> <%04X>\n", c, c, 0x4E00 + c);
    cmap += "endbfrange\n";
    FontInfo font;
    font.is_type0 = true;
    font.to_unicode = quarvel::parse_cmap(cmap);
    if (state.range(0) == 0) font.to_unicode->range_index.reset();
    std::string text;
    for (unsigned i = 0; i < 4096; ++i) {
        const unsigned code = (i * 7) % 500;
        text += static_cast<char>(code >> 8);
        text += static_cast<char>(code & 0xFF);
    }
    decode_loop(state, font, text, 2);
}
BENCHMARK(BM_DecodeManyRanges)->ArgName("indexed")->Arg(0)->Arg(1);

void BM_DecodeDifferences(benchmark::State& state) {
    FontInfo font;
    std::unordered_map<std::uint8_t, std::string> differences;
    const char* names[] = {"quoteright", "fi", "endash", "emdash", "bullet", "Euro", "uni2014"};
    for (unsigned c = 0x80; c < 0x80 + std::size(names); ++c) {
        differences[static_cast<std::uint8_t>(c)] = names[c - 0x80];
    }
    font.set_differences(std::move(differences));
    std::string text;
    for (int i = 0; i < 4096; ++i) text += static_cast<char>(i % 5 ? 0x61 : 0x80 + i % 7);
    decode_loop(state, font, text, 1);
}
BENCHMARK(BM_DecodeDifferences);

// Font maps for every page of a corpus file, as page extraction builds them.
void BM_BuildFontMapsForAllPages(benchmark::State& state, const char* file) {
    const std::filesystem::path path = std::filesystem::path(QUARVEL_CORPUS_DIR) / file;
    if (!std::filesystem::exists(path)) {
        state.SkipWithError("corpus absent");
        return;
    }
    auto doc = quarvel::Document::open(path.string());
    if (!doc.ok()) {
        state.SkipWithError("open failed");
        return;
    }
    auto pages = (*doc)->page_refs();
    if (!pages.ok()) {
        state.SkipWithError("page tree unreadable");
        return;
    }
    std::vector<quarvel::ObjectPtr> resources;
    for (const quarvel::ObjectId id : *pages) {
        auto page = (*doc)->get_object(id.num);
        if (!page.ok()) continue;
        const quarvel::PdfObject* res = (*page)->get("Resources");
        if (res && res->is_ref()) {
            auto r = (*doc)->get_object(res->as_ref().num);
            if (r.ok()) resources.push_back(*r);
        } else if (res) {
            resources.push_back(std::make_shared<quarvel::PdfObject>(*res));
        }
    }
    std::size_t fonts = 0;
    for (auto _ : state) {
        for (const auto& res : resources) {
            quarvel::FontMap map = quarvel::build_font_map(*res, **doc);
            fonts += map.size();
            benchmark::DoNotOptimize(map);
        }
    }
    state.counters["pages"] = static_cast<double>(resources.size());
    state.counters["fonts/iter"] =
        static_cast<double>(fonts) / static_cast<double>(state.iterations());
}
BENCHMARK_CAPTURE(BM_BuildFontMapsForAllPages, plumber67, "pdfplumber-issue-67-example.pdf");
BENCHMARK_CAPTURE(BM_BuildFontMapsForAllPages, constitution, "pdflib-us_constitution.pdf");
BENCHMARK_CAPTURE(BM_BuildFontMapsForAllPages, tracemonkey, "pdfjs-tracemonkey.pdf");

} // namespace

BENCHMARK_MAIN();

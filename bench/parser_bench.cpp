// The object parser and the stream filters: every indirect object of the
// corpus files parsed where its header stands, every Flate body of them
// inflated, and synthetic inputs for the hot loops (dictionaries full of
// names and numbers, a long LZW stream).

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "syntax/filters.h"
#include "syntax/object.h"
#include "support/pdf_builder.h"

namespace {

using namespace quarvel;

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> corpus_files() {
    std::vector<std::string> files;
    const std::filesystem::path dir(QUARVEL_CORPUS_DIR);
    if (!std::filesystem::is_directory(dir)) return files;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() == ".pdf") files.push_back(read_file(entry.path()));
    }
    return files;
}

// Offsets just after each "N G obj" header, found by a plain text scan.
std::vector<std::size_t> object_bodies(std::string_view pdf) {
    std::vector<std::size_t> starts;
    for (std::size_t at = pdf.find("obj"); at != std::string_view::npos;
         at = pdf.find("obj", at + 3)) {
        std::size_t i = at;
        auto skip_back = [&](bool digits) {
            const std::size_t from = i;
            while (i > 0 && (digits ? is_pdf_digit(static_cast<std::uint8_t>(pdf[i - 1]))
                                    : pdf[i - 1] == ' ')) {
                --i;
            }
            return i != from;
        };
        if (skip_back(false) && skip_back(true) && skip_back(false) && skip_back(true)) {
            starts.push_back(at + 3);
        }
    }
    return starts;
}

struct Counts {
    std::size_t objects = 0, failed = 0, streams = 0, flate = 0, flate_failed = 0;
};

// What a reader of indirect objects does at each header.
Counts parse_all(std::string_view pdf, const std::vector<std::size_t>& starts, bool inflate) {
    Counts counts;
    Arena arena;
    for (std::size_t start : starts) {
        Cursor cur(pdf, arena, start);
        auto obj = parse_object(cur);
        ++counts.objects;
        if (!obj.ok()) {
            ++counts.failed;
            continue;
        }
        if (!obj->is_dict()) continue;
        cur.skip_ws();
        if (!cur.starts_with("stream")) continue;
        auto stream = parse_stream(cur, std::move(obj->dict()));
        if (!stream.ok()) {
            ++counts.failed;
            continue;
        }
        ++counts.streams;
        const PdfObject* filter = stream->get("Filter");
        if (inflate && filter && filter->is_name("FlateDecode")) {
            ++counts.flate;
            auto data = decompress_flate(stream->stream_data());
            if (!data.ok()) ++counts.flate_failed;
            benchmark::DoNotOptimize(data);
        }
    }
    return counts;
}

void corpus_bench(benchmark::State& state, bool inflate) {
    static const std::vector<std::string> files = corpus_files();
    if (files.empty()) {
        state.SkipWithError("corpus absent");
        return;
    }
    std::vector<std::vector<std::size_t>> starts;
    std::size_t bytes = 0;
    for (const std::string& f : files) {
        starts.push_back(object_bodies(f));
        bytes += f.size();
    }
    Counts total;
    for (auto _ : state) {
        total = {};
        for (std::size_t i = 0; i < files.size(); ++i) {
            const Counts c = parse_all(files[i], starts[i], inflate);
            total.objects += c.objects;
            total.failed += c.failed;
            total.streams += c.streams;
            total.flate += c.flate;
            total.flate_failed += c.flate_failed;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
    state.counters["objects"] = static_cast<double>(total.objects);
    state.counters["failed"] = static_cast<double>(total.failed);
    state.counters["streams"] = static_cast<double>(total.streams);
    state.counters["flate"] = static_cast<double>(total.flate);
    state.counters["flate_failed"] = static_cast<double>(total.flate_failed);
}

void BM_ParseCorpusObjects(benchmark::State& state) { corpus_bench(state, false); }
BENCHMARK(BM_ParseCorpusObjects)->Unit(benchmark::kMillisecond);

void BM_ParseAndInflateCorpusObjects(benchmark::State& state) { corpus_bench(state, true); }
BENCHMARK(BM_ParseAndInflateCorpusObjects)->Unit(benchmark::kMillisecond);

void BM_ParseDictionaryHeavyText(benchmark::State& state) {
    std::string text = "[";
    for (int i = 0; i < 20000; ++i) {
        text += "<< /Type /Annot /Subtype /Link /Rect [ 72.5 640.25 300 652.125 ] /Border [0 0 0]"
                " /A << /S /URI /URI (https://example.org/a\\)b) >> /P 12 0 R /F#23x 4 >>\n";
    }
    text += "]";
    for (auto _ : state) {
        Arena arena;
        Cursor cur(text, arena);
        auto obj = parse_object(cur);
        benchmark::DoNotOptimize(obj);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ParseDictionaryHeavyText)->Unit(benchmark::kMillisecond);

void BM_Lzw(benchmark::State& state) {
    std::string plain;
    while (plain.size() < (std::size_t{1} << 22)) {
        plain += "BT /F1 12 Tf 72 " + std::to_string(plain.size() % 997) + " Td (text) Tj ET\n";
    }
    const std::string encoded = quarvel::testing::lzw(plain);
    for (auto _ : state) {
        auto out = decompress_lzw(encoded);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * plain.size()));
}
BENCHMARK(BM_Lzw)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();

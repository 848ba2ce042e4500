// Opening documents and resolving objects: a classic-table file from the
// corpus, the recovery scan over a large synthetic file, unpacking object
// streams, and cached lookups from several threads at once.

#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>
#include <string>

#include "file/document.h"
#include "file/recovery.h"
#include "support/pdf_builder.h"

namespace {

using quarvel::Document;
using quarvel::Mapping;

// Catalogue, one page tree node, `pages` pages each with a content stream.
std::string many_pages(int pages) {
    std::vector<std::string> contents(static_cast<std::size_t>(pages), "BT /F1 12 Tf (x) Tj ET");
    return quarvel::testing::simple_document(contents).build();
}

void BM_OpenCorpusTableAndListPages(benchmark::State& state) {
    const std::filesystem::path path =
        std::filesystem::path(QUARVEL_CORPUS_DIR) / "pdfjs-freeculture.pdf";
    if (!std::filesystem::exists(path)) {
        state.SkipWithError("corpus absent");
        return;
    }
    for (auto _ : state) {
        auto doc = Document::open(path.string());
        auto pages = (*doc)->page_refs();
        benchmark::DoNotOptimize(pages);
    }
}
BENCHMARK(BM_OpenCorpusTableAndListPages);

void BM_RecoveryScan(benchmark::State& state) {
    // No startxref: the whole file goes through the scan.
    std::string pdf = many_pages(static_cast<int>(state.range(0)));
    pdf = pdf.substr(0, pdf.find("xref\n"));
    for (auto _ : state) {
        auto section = quarvel::recover_xref_by_scan(pdf);
        benchmark::DoNotOptimize(section);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * pdf.size()));
}
BENCHMARK(BM_RecoveryScan)->Arg(100000);

void BM_ResolveObjectStreams(benchmark::State& state) {
    quarvel::testing::PdfBuilder b;
    b.object(1, "<< /Type /Catalog /Pages 2 0 R >>");
    b.object(2, "<< /Type /Pages /Kids [] >>");
    for (std::uint32_t s = 0; s < 50; ++s) {
        std::vector<std::pair<std::uint32_t, std::string>> objects;
        for (std::uint32_t i = 0; i < 100; ++i) {
            objects.emplace_back(1000 + s * 100 + i,
                                 "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Widths "
                                 "[500 500 500 500] >>");
        }
        b.object_stream(10 + s, objects);
    }
    quarvel::testing::BuildOptions o;
    o.xref = quarvel::testing::XrefStyle::Stream;
    const std::string pdf = b.build(o);
    for (auto _ : state) {
        auto doc = Document::from_mmap(Mapping::from_bytes(pdf));
        for (std::uint32_t n = 1000; n < 6000; ++n)
            benchmark::DoNotOptimize((*doc)->get_object(n));
    }
    state.SetItemsProcessed(state.iterations() * 5000);
}
BENCHMARK(BM_ResolveObjectStreams);

std::unique_ptr<Document> shared_doc;

void BM_CachedLookupsFromThreads(benchmark::State& state) {
    if (state.thread_index() == 0) {
        shared_doc = std::move(Document::from_mmap(Mapping::from_bytes(many_pages(1000)))).value();
        for (std::uint32_t n = 1; n < 2003; ++n)
            (void)shared_doc->get_object(n);
    }
    std::uint32_t n = 3 + static_cast<std::uint32_t>(state.thread_index());
    for (auto _ : state) {
        benchmark::DoNotOptimize(shared_doc->get_object(n));
        n = n >= 2000 ? 3 : n + 1;
    }
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0) shared_doc.reset();
}
BENCHMARK(BM_CachedLookupsFromThreads)->Threads(1)->Threads(2)->UseRealTime();

} // namespace

BENCHMARK_MAIN();

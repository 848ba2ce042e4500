// The tables of a document's pages, found on the worker pool.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "extract/extract.h"
#include "tables/table.h"

namespace quarvel::tables {

// Takes the tables of each page, in page order, on the thread that started
// the call; false stops it (the sink keeps its own reason).
using TableSink = std::function<bool(std::vector<Table>&&)>;

// Extracts the pages `options` selects with their drawings, finds each
// page's tables on the worker that extracted it and hands them to `sink`
// page by page. Images are not decoded; the options' other fields apply.
Status find_tables_each(const std::string& path, ExtractOptions options, const TableSink& sink);
Status find_tables_each(const Document& document, ExtractOptions options, const TableSink& sink);

} // namespace quarvel::tables

#include "tables/document_tables.h"

#include <map>
#include <mutex>
#include <utility>

namespace quarvel::tables {
namespace {

// Tables found by the workers, waiting for their page to be handed on. A
// page selected twice is found twice; either result serves either turn.
class Found {
  public:
    void put(std::size_t page, std::vector<Table> tables) {
        std::lock_guard<std::mutex> lock(mu_);
        waiting_.emplace(page, std::move(tables));
    }
    std::vector<Table> take(std::size_t page) {
        std::lock_guard<std::mutex> lock(mu_);
        auto it = waiting_.find(page);
        if (it == waiting_.end()) return {};
        std::vector<Table> tables = std::move(it->second);
        waiting_.erase(it);
        return tables;
    }

  private:
    std::mutex mu_;
    std::multimap<std::size_t, std::vector<Table>> waiting_;
};

} // namespace

Status find_tables_each(const Document& document, ExtractOptions options,
                        const TableSink& sink) {
    options.include_drawings = true;
    options.include_images = false;
    Found found;
    options.on_page = [&found](PageResult& page) {
        std::vector<Table> tables = find_tables(page.blocks, page.drawings);
        for (Table& table : tables) table.page = page.number;
        found.put(page.number, std::move(tables));
        // Nothing else of the page is wanted; it goes before the hand-over.
        page.blocks = {};
        page.drawings = {};
    };
    return extract::extract_doc_each(document, options, [&](PageResult&& page) {
        return sink(found.take(page.number));
    });
}

Status find_tables_each(const std::string& path, ExtractOptions options, const TableSink& sink) {
    QUARVEL_TRY(std::unique_ptr<Document> document, Document::open(path, options.read));
    return find_tables_each(*document, std::move(options), sink);
}

} // namespace quarvel::tables

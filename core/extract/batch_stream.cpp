#include "extract/batch_stream.h"

#include <algorithm>
#include <system_error>
#include <utility>

#include "extract/worker_pool.h"
#include "resource_limits.h"

namespace quarvel::extract {

std::size_t BatchStream::default_window() {
    return limits::kFilesAheadPerWorker * std::size_t{worker_count()};
}

BatchStream::BatchStream(std::vector<std::string> paths, ExtractOptions options,
                         std::size_t window, bool links)
    : paths_(std::move(paths)), options_(std::move(options)),
      window_(std::clamp<std::size_t>(window, 1, limits::kMaxFilesAhead)), links_(links),
      slots_(window_) {
    std::size_t threads = 1;
    // More threads than the window could never all have a file.
    if (options_.file_parallel) threads = std::min<std::size_t>(worker_count(), window_);
    threads = std::min(threads, paths_.size());
    threads_.reserve(threads);
    try {
        for (std::size_t t = 0; t < threads; ++t)
            threads_.emplace_back([this] { produce(); });
    } catch (const std::system_error&) {
        // Fewer threads than asked for still finish the batch; none cannot.
        if (threads_.empty()) throw;
    }
}

BatchStream::~BatchStream() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        stopping_ = true;
    }
    room_.notify_all();
    threads_.clear(); // joins
}

bool BatchStream::done() const {
    std::lock_guard<std::mutex> lock(mu_);
    return taken_ >= paths_.size();
}

FileOutcome BatchStream::next() {
    std::unique_lock<std::mutex> lock(mu_);
    std::optional<FileOutcome>& slot = slots_[taken_ % window_];
    ready_.wait(lock, [&] { return slot.has_value(); });
    FileOutcome outcome = std::move(*slot);
    slot.reset();
    ++taken_;
    lock.unlock();
    room_.notify_all();
    return outcome;
}

void BatchStream::produce() {
    for (;;) {
        std::size_t index = 0;
        {
            std::unique_lock<std::mutex> lock(mu_);
            room_.wait(lock, [&] {
                return stopping_ || claimed_ >= paths_.size() || claimed_ < taken_ + window_;
            });
            if (stopping_ || claimed_ >= paths_.size()) return;
            index = claimed_++;
        }
        FileOutcome outcome;
        outcome.index = index;
        try {
            auto opened = Document::open(paths_[index], options_.read);
            if (opened.ok()) {
                outcome.result.emplace(extract_doc(*opened.value(), options_));
                if (links_ && outcome.result->ok()) {
                    outcome.links.emplace(links::extract_links(*opened.value()));
                }
            } else {
                outcome.result.emplace(opened.error());
            }
        } catch (...) {
            outcome.result.reset();
            outcome.links.reset();
            outcome.exception = std::current_exception();
        }
        {
            std::lock_guard<std::mutex> lock(mu_);
            slots_[index % window_].emplace(std::move(outcome));
        }
        ready_.notify_one(); // only the caller waits for files

    }
}

} // namespace quarvel::extract

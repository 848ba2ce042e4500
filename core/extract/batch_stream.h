// A batch of files extracted ahead of a caller that takes the results one by
// one in input order, with no more than a bounded number of finished files
// held at once whatever the batch's length.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "extract/extract.h"
#include "extract/links.h"

namespace quarvel::extract {

// What one file of the batch came to: its result or error, or the exception
// its extraction threw (an allocation failure), which belongs to that file
// alone.
struct FileOutcome {
    std::size_t index = 0;
    std::optional<Result<ExtractResult>> result;
    // The file's web links, read from the same opened document once its
    // result is ok, when the stream was asked for them.
    std::optional<Result<std::vector<PageLink>>> links;
    std::exception_ptr exception;
};

// Files are claimed in input order by extraction threads of the stream's
// own (several with file_parallel, else one working ahead of the caller) as
// long as the claimed file lies within `window` files of the next one the
// caller takes. The threads are not the pool's: a thread waiting for room
// while the caller does something else would otherwise hold a pool worker
// that the caller's other extractions need. Pages in parallel still go
// through the pool.
class BatchStream {
  public:
    // Starts extracting at once; throws std::system_error when no thread
    // can be started. `window` is clamped to 1 .. limits::kMaxFilesAhead.
    // With `links` each file's outcome carries its links as well: a caller
    // that wants both opens and reads each file once.
    BatchStream(std::vector<std::string> paths, ExtractOptions options, std::size_t window,
                bool links = false);
    BatchStream(const BatchStream&) = delete;
    BatchStream& operator=(const BatchStream&) = delete;
    // No file is started any more; the files being extracted are finished
    // and dropped.
    ~BatchStream();

    std::size_t size() const { return paths_.size(); }
    // True once every file has been taken.
    bool done() const;
    // The next file's outcome in input order, waiting for it. Only while
    // !done(); one caller at a time.
    FileOutcome next();

    // The default window: kFilesAheadPerWorker files per worker.
    static std::size_t default_window();

  private:
    void produce();

    const std::vector<std::string> paths_;
    const ExtractOptions options_;
    const std::size_t window_;
    const bool links_;
    mutable std::mutex mu_;
    std::condition_variable ready_;
    std::condition_variable room_;
    std::vector<std::optional<FileOutcome>> slots_; // file i in slot i % window
    std::size_t claimed_ = 0;
    std::size_t taken_ = 0;
    bool stopping_ = false;
    // Declared last, so they are joined before the members they use go.
    std::vector<std::jthread> threads_;
};

} // namespace quarvel::extract

// Owner of bytes that parsed objects view but that do not live in the mapped
// file: decoded #-escaped names and decoded object-stream bodies. A document
// owns one and releases everything with it, so a process that extracts
// thousands of files does not grow.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace quarvel {

class Arena {
  public:
    Arena() = default;
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;

    // Takes ownership of `bytes`; the returned view stays valid, at the same
    // address, until the arena is destroyed. Safe to call from many threads.
    std::string_view store(std::string bytes);

    // Total bytes held (for tests and memory checks).
    std::size_t bytes_held() const;

  private:
    mutable std::mutex mu_;
    std::vector<std::unique_ptr<std::string>> blocks_;
    std::size_t held_ = 0;
};

} // namespace quarvel

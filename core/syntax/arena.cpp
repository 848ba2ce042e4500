#include "syntax/arena.h"

namespace quarvel {

std::string_view Arena::store(std::string bytes) {
    // The string is heap-allocated so that its characters, even short ones
    // kept inline, never move when the block list grows.
    auto block = std::make_unique<std::string>(std::move(bytes));
    std::string_view view = *block;
    std::lock_guard lock(mu_);
    held_ += block->size();
    blocks_.push_back(std::move(block));
    return view;
}

std::size_t Arena::bytes_held() const {
    std::lock_guard lock(mu_);
    return held_;
}

} // namespace quarvel

// How much of the PDF file format a reader honours. The bindings choose one
// of two presets and pass it down; every reader whose behaviour differs
// between them takes it from here, and nowhere else.
//
// - specified: the compact reader `quarvel` offers — the newest
//   cross-reference section only, resources written directly, single-byte
//   and ToUnicode decoding, a fixed layout. Its results are pinned by tests
//   and must not change.
// - full: what mature readers accept — every cross-reference form and the
//   /Prev chain, object streams found by recovery, decode parameters,
//   inherited and indirect resources, encryption.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quarvel {

enum class ReadMode : std::uint8_t { Specified, Full };

struct ReadOptions {
    ReadMode mode = ReadMode::Specified;
    // The password an encrypted file is opened with when the empty one does
    // not authenticate (full reader only).
    std::optional<std::string> password;

    bool full() const { return mode == ReadMode::Full; }

    static ReadOptions specified() { return {}; }
    static ReadOptions full_reader(std::optional<std::string> password = std::nullopt) {
        return {ReadMode::Full, std::move(password)};
    }
};

} // namespace quarvel

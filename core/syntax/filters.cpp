#include "syntax/filters.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>

namespace quarvel {
namespace {

constexpr const char* kFlateFailed = "flate decompression failed";

std::uint8_t byte_at(std::string_view data, std::size_t i) {
    return static_cast<std::uint8_t>(data[i]);
}

} // namespace

Result<std::string> decompress_stream(std::string_view data, const PdfObject& filter,
                                      std::size_t max_output) {
    if (filter.is_name()) return apply_single_filter(data, filter.bytes(), max_output);
    std::string current(data);
    if (!filter.is_array()) return current;
    for (const PdfObject& stage : filter.as_array()) {
        // Only names name filters; anything else in the chain is skipped.
        if (!stage.is_name()) continue;
        QUARVEL_TRY(current, apply_single_filter(current, stage.bytes(), max_output));
    }
    return current;
}

Result<std::string> apply_single_filter(std::string_view data, std::string_view name,
                                        std::size_t max_output) {
    if (name == "FlateDecode") return decompress_flate(data, max_output);
    if (name == "LZWDecode") return decompress_lzw(data, max_output);
    if (name == "ASCII85Decode") return decode_ascii85(data, max_output);
    if (name == "ASCIIHexDecode") return decode_ascii_hex(data, max_output);
    if (name == "RunLengthDecode") return decode_run_length(data, max_output);
    // Image codecs, Crypt and the inline-image abbreviations reach their
    // consumers undecoded.
    return std::string(data);
}

Result<std::string> decompress_flate(std::string_view data, std::size_t max_output) {
    constexpr std::size_t kFeed = 32 * 1024;
    z_stream zs{};
    if (inflateInit(&zs) != Z_OK) return ParseError::other(kFlateFailed);
    struct InflateEnd {
        z_stream* zs;
        ~InflateEnd() { inflateEnd(zs); }
    } end_guard{&zs};

    std::string out;
    std::size_t produced = 0;
    std::size_t fed = 0;
    for (;;) {
        if (zs.avail_in == 0 && fed < data.size()) {
            const std::size_t n = std::min(kFeed, data.size() - fed);
            // zlib's input pointer is not const-qualified; it never writes
            // through it.
            zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + fed));
            zs.avail_in = static_cast<uInt>(n);
            fed += n;
        }
        if (produced == out.size()) {
            // One byte of room past the cap tells a stream that ends exactly
            // at the cap from one that goes beyond it.
            if (out.size() > max_output) return ParseError::other(kFlateFailed);
            const std::size_t grown = std::max<std::size_t>(out.size() * 2, 64 * 1024);
            out.resize(std::min(grown, max_output + 1));
        }
        const std::size_t room = std::min<std::size_t>(out.size() - produced, UINT_MAX);
        zs.next_out = reinterpret_cast<Bytef*>(out.data() + produced);
        zs.avail_out = static_cast<uInt>(room);
        const int rc = inflate(&zs, Z_NO_FLUSH);
        produced += room - zs.avail_out;
        if (produced > max_output) return ParseError::other(kFlateFailed);
        if (rc == Z_STREAM_END) break; // bytes after the zlib stream are ignored
        if (rc != Z_OK && rc != Z_BUF_ERROR) return ParseError::other(kFlateFailed);
        // Truncated streams are common in damaged files: keep what inflated.
        if (zs.avail_in == 0 && fed == data.size() && zs.avail_out != 0) break;
    }
    out.resize(produced);
    return out;
}

std::string decompress_lzw(std::string_view data, std::size_t max_output) {
    // A 12-bit code addresses at most 4096 entries; entries past that would
    // never be read, so they are not stored and the table never grows.
    constexpr std::uint32_t kAddressable = 4096;
    constexpr std::uint32_t kClear = 256, kEnd = 257, kFirstFree = 258;
    struct Entry {
        std::uint16_t prefix = 0; // entry this one extends by `last`
        std::uint16_t length = 0; // bytes in the string; 0 for clear and end
        std::uint8_t first = 0;
        std::uint8_t last = 0;
    };
    std::array<Entry, kAddressable> table{};
    for (std::uint32_t c = 0; c < 256; ++c) {
        table[c] = Entry{0, 1, static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(c)};
    }

    std::string out;
    std::uint32_t size = kFirstFree;
    unsigned width = 9;
    bool done = false;

    // Appends an entry's string, walking its prefix chain from the end.
    auto emit = [&](std::uint32_t code) {
        const std::size_t start = out.size();
        out.resize(start + table[code].length);
        for (std::size_t i = out.size(); i > start; --i) {
            out[i - 1] = static_cast<char>(table[code].last);
            code = table[code].prefix;
        }
        if (out.size() >= max_output) {
            out.resize(max_output);
            done = true;
        }
    };
    auto add = [&](std::uint32_t prefix, std::uint8_t last) {
        if (size < kAddressable) {
            table[size] = Entry{static_cast<std::uint16_t>(prefix),
                                static_cast<std::uint16_t>(table[prefix].length + 1),
                                table[prefix].first, last};
            ++size;
        }
        if (size == (1u << width) && width < 12) ++width;
    };

    std::uint32_t bits = 0;
    unsigned nbits = 0;
    std::size_t in = 0;
    bool have_prev = false;
    std::uint32_t prev = 0;
    while (!done) {
        // A code is read only when all of its bits are present; a partial
        // code at the end is padding.
        while (nbits < width && in < data.size()) {
            bits = (bits << 8) | byte_at(data, in++);
            nbits += 8;
        }
        if (nbits < width) break;
        const std::uint32_t code = (bits >> (nbits - width)) & ((1u << width) - 1);
        nbits -= width;
        bits &= (1u << nbits) - 1;

        if (code == kClear) {
            size = kFirstFree;
            width = 9;
            have_prev = false;
            continue;
        }
        if (code == kEnd) break;
        if (!have_prev) {
            // A first code beyond the table names no string: it is skipped,
            // and the next code starts afresh as a first code.
            if (code < size) {
                emit(code);
                prev = code;
                have_prev = true;
            }
            continue;
        }
        if (code < size) {
            emit(code);
            add(prev, table[code].first);
            prev = code;
        } else {
            // Any code past the table (the KwKwK case, and garbage codes
            // alike) stands for the previous string plus its first byte,
            // which is also the entry it adds. Once the table is full every
            // 12-bit code is in it, so the entry is always stored here.
            add(prev, table[prev].first);
            prev = size - 1;
            emit(prev);
        }
    }
    return out;
}

Result<std::string> decode_ascii85(std::string_view data, std::size_t max_output) {
    std::string out;
    std::array<std::uint32_t, 5> digits{};
    std::size_t n = 0;
    auto emit_group = [&](std::size_t bytes) {
        std::uint64_t value = 0;
        for (std::uint32_t d : digits) value = value * 85 + d;
        // A group above 2^32 - 1 keeps its low 32 bits.
        const auto word = static_cast<std::uint32_t>(value);
        for (std::size_t i = 0; i < bytes; ++i) {
            out += static_cast<char>((word >> (24 - 8 * i)) & 0xFF);
        }
    };
    for (std::size_t i = 0; i < data.size() && out.size() < max_output; ++i) {
        const std::uint8_t b = byte_at(data, i);
        if (b == '\t' || b == '\n' || b == '\r' || b == ' ') continue;
        if (b == 'z') {
            if (n != 0) return ParseError::other("invalid ASCII85: z mid-group");
            out.append(4, '\0');
            continue;
        }
        if (b == '~') {
            if (i + 1 < data.size() && data[i + 1] == '>') break;
            return ParseError::other("invalid ASCII85: lone ~");
        }
        if (b < '!' || b > 'u') return ParseError::other("invalid ASCII85 character");
        digits[n++] = b - '!';
        if (n == 5) {
            emit_group(4);
            n = 0;
        }
    }
    if (n >= 2 && out.size() < max_output) {
        std::fill(digits.begin() + static_cast<std::ptrdiff_t>(n), digits.end(), 'u' - '!');
        emit_group(n - 1);
    }
    if (out.size() > max_output) out.resize(max_output);
    return out;
}

std::string decode_ascii_hex(std::string_view data, std::size_t max_output) {
    std::string out;
    int high = -1;
    for (std::size_t i = 0; i < data.size() && out.size() < max_output; ++i) {
        const std::uint8_t b = byte_at(data, i);
        if (b == '>') break;
        int nibble;
        if (b >= '0' && b <= '9') {
            nibble = b - '0';
        } else if ((b | 0x20) >= 'a' && (b | 0x20) <= 'f') {
            nibble = (b | 0x20) - 'a' + 10;
        } else {
            continue; // whitespace and stray bytes alike
        }
        if (high < 0) {
            high = nibble;
        } else {
            out += static_cast<char>(high << 4 | nibble);
            high = -1;
        }
    }
    if (high >= 0 && out.size() < max_output) out += static_cast<char>(high << 4);
    return out;
}

Result<std::string> decode_run_length(std::string_view data, std::size_t max_output) {
    std::string out;
    std::size_t i = 0;
    while (i < data.size() && out.size() < max_output) {
        const std::uint8_t n = byte_at(data, i++);
        if (n == 128) break;
        if (n < 128) {
            const std::size_t count = std::size_t{n} + 1;
            if (data.size() - i < count) {
                return ParseError::other("RunLength: unexpected end of data");
            }
            out.append(data.substr(i, count));
            i += count;
        } else {
            if (i >= data.size()) return ParseError::other("RunLength: unexpected end of data");
            out.append(std::size_t{257} - n, data[i++]);
        }
    }
    if (out.size() > max_output) out.resize(max_output);
    return out;
}

} // namespace quarvel

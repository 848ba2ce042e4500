#include "syntax/filters.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>

namespace quarvel {
namespace {

constexpr const char* kFlateFailed = "flate decompression failed";

std::uint8_t byte_at(std::string_view data, std::size_t i) {
    return static_cast<std::uint8_t>(data[i]);
}

// A zlib stream inflated in one call by libdeflate, which is several times
// faster than zlib's streaming inflate, or nothing when libdeflate cannot
// settle it on its own: corrupt or truncated data, a wrong checksum, or more
// output than `max_output`. Those cases go to the zlib path, which alone
// defines what a damaged or oversized stream gives (the bytes kept, the
// failure at the cap), so results are the same either way. Only
// zlib-wrapped data comes here: its Adler-32 check proves the output is the
// stream's, where raw deflate could decode differently on garbage.
// A stream whose valid output runs past `max_output` fails here as the zlib
// path would fail it at the cap, without inflating it all a second time
// (`*past_cap` is set): decompression bombs cost one pass, not two.
std::optional<std::string> inflate_whole(std::string_view data, std::size_t max_output,
                                         bool* past_cap) {
    struct FreeDecompressor {
        void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
    };
    // Both kept by each thread: a decompressor is tens of kilobytes of
    // tables to set up, and a fresh output buffer would be zeroed before
    // being written, for every one of a page's many small streams.
    thread_local const std::unique_ptr<libdeflate_decompressor, FreeDecompressor> decompressor(
        libdeflate_alloc_decompressor());
    thread_local std::unique_ptr<char[]> buffer;
    thread_local std::size_t buffer_size = 0;
    if (!decompressor) return std::nullopt;
    // A buffer grown for one huge stream is not kept for the rest.
    struct Trim {
        ~Trim() {
            if (buffer_size > limits::kMaxKeptInflateBytes) {
                buffer.reset();
                buffer_size = 0;
            }
        }
    } trim;
    // Page content compresses about four to one; a guess too small costs a
    // retry with four times the room, so the work wasted stays below a third.
    std::size_t room = std::min(max_output, std::max<std::size_t>(data.size() * 4, 16 * 1024));
    for (;;) {
        if (buffer_size < room) {
            buffer.reset();
            buffer = std::make_unique_for_overwrite<char[]>(room);
            buffer_size = room;
        }
        std::size_t produced = 0;
        const libdeflate_result rc = libdeflate_zlib_decompress_ex(
            decompressor.get(), data.data(), data.size(), buffer.get(), room, nullptr, &produced);
        if (rc == LIBDEFLATE_SUCCESS) return std::string(buffer.get(), produced);
        if (rc == LIBDEFLATE_INSUFFICIENT_SPACE && room == max_output) *past_cap = true;
        if (rc != LIBDEFLATE_INSUFFICIENT_SPACE || room == max_output) return std::nullopt;
        room = room > max_output / 4 ? max_output : room * 4;
    }
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

Result<std::string> decompress_flate(std::string_view data, std::size_t max_output,
                                     FlateDamage damage) {
    constexpr std::size_t kFeed = 32 * 1024;
    const bool keep = damage == FlateDamage::KeepWhatInflated;
    // Some writers leave out the two-byte zlib header: a first byte that
    // cannot start one (its low nibble names deflate, and the header is a
    // multiple of 31) is read as raw deflate.
    const bool raw = keep && data.size() >= 2 &&
                     ((static_cast<std::uint8_t>(data[0]) & 0x0F) != 8 ||
                      (static_cast<std::uint8_t>(data[0]) * 256u + static_cast<std::uint8_t>(data[1])) % 31 != 0);
    if (!raw) {
        bool past_cap = false;
        if (std::optional<std::string> whole = inflate_whole(data, max_output, &past_cap)) {
            return *std::move(whole);
        }
        if (past_cap) return ParseError::other(kFlateFailed);
    }
    z_stream zs{};
    if ((raw ? inflateInit2(&zs, -MAX_WBITS) : inflateInit(&zs)) != Z_OK) {
        return ParseError::other(kFlateFailed);
    }
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
        if (rc != Z_OK && rc != Z_BUF_ERROR) {
            // A wrong checksum comes after all the data; corruption in the
            // middle still leaves what came before it readable.
            if (keep && rc == Z_DATA_ERROR) break;
            return ParseError::other(kFlateFailed);
        }
        // Truncated streams are common in damaged files: keep what inflated.
        if (zs.avail_in == 0 && fed == data.size() && zs.avail_out != 0) break;
    }
    out.resize(produced);
    return out;
}

std::string decompress_lzw(std::string_view data, std::size_t max_output, int early_change) {
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
        if (size + static_cast<std::uint32_t>(early_change) == (1u << width) && width < 12) ++width;
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

// --- the full reader's chain ---------------------------------------------------

FilterParams filter_params(const PdfObject* parms) {
    FilterParams p;
    if (parms == nullptr || !parms->is_dict()) return p;
    auto read = [&](std::string_view key, std::int64_t& field) {
        const PdfObject* v = parms->get(key);
        if (v != nullptr && v->is_int()) field = v->as_int();
    };
    read("Predictor", p.predictor);
    read("Colors", p.colors);
    read("BitsPerComponent", p.bits_per_component);
    read("Columns", p.columns);
    read("EarlyChange", p.early_change);
    return p;
}

namespace {

std::uint8_t paeth(std::uint8_t a, std::uint8_t b, std::uint8_t c) {
    const int p = int{a} + int{b} - int{c};
    const int pa = std::abs(p - int{a}), pb = std::abs(p - int{b}), pc = std::abs(p - int{c});
    if (pa <= pb && pa <= pc) return a;
    return pb <= pc ? b : c;
}

// PNG rows: a filter-type byte before each row, each row predicted from the
// row above and the pixel to its left.
std::string undo_png(std::string_view data, std::size_t row_bytes, std::size_t pixel_bytes) {
    std::string out;
    out.reserve(data.size() / (row_bytes + 1) * row_bytes + row_bytes);
    std::string prev(row_bytes, '\0');
    std::string row(row_bytes, '\0');
    for (std::size_t at = 0; at + 1 + row_bytes <= data.size(); at += 1 + row_bytes) {
        const std::uint8_t type = byte_at(data, at);
        for (std::size_t i = 0; i < row_bytes; ++i) {
            const std::uint8_t x = byte_at(data, at + 1 + i);
            const std::uint8_t left = i >= pixel_bytes ? static_cast<std::uint8_t>(row[i - pixel_bytes]) : 0;
            const std::uint8_t up = static_cast<std::uint8_t>(prev[i]);
            const std::uint8_t up_left =
                i >= pixel_bytes ? static_cast<std::uint8_t>(prev[i - pixel_bytes]) : 0;
            std::uint8_t v = x;
            switch (type) {
            case 1: v = static_cast<std::uint8_t>(x + left); break;
            case 2: v = static_cast<std::uint8_t>(x + up); break;
            case 3: v = static_cast<std::uint8_t>(x + (int{left} + int{up}) / 2); break;
            case 4: v = static_cast<std::uint8_t>(x + paeth(left, up, up_left)); break;
            default: break; // 0, and unknown types read as "none"
            }
            row[i] = static_cast<char>(v);
        }
        out += row;
        prev.swap(row);
    }
    return out;
}

// TIFF predictor 2: each component is the difference from the same
// component of the pixel to its left.
std::string undo_tiff(std::string data, std::size_t row_bytes, std::size_t colors,
                      std::size_t bpc) {
    if (bpc != 8 && bpc != 16) return data; // sub-byte components are rare; kept as stored
    const std::size_t step = colors * (bpc / 8);
    for (std::size_t row = 0; row + row_bytes <= data.size(); row += row_bytes) {
        if (bpc == 8) {
            for (std::size_t i = step; i < row_bytes; ++i) {
                data[row + i] = static_cast<char>(byte_at(data, row + i) + byte_at(data, row + i - step));
            }
        } else {
            for (std::size_t i = step; i + 1 < row_bytes; i += 2) {
                const unsigned v = (byte_at(data, row + i) << 8 | byte_at(data, row + i + 1)) +
                                   (byte_at(data, row + i - step) << 8 | byte_at(data, row + i - step + 1));
                data[row + i] = static_cast<char>((v >> 8) & 0xFF);
                data[row + i + 1] = static_cast<char>(v & 0xFF);
            }
        }
    }
    return data;
}

} // namespace

std::string apply_predictor(std::string data, const FilterParams& params) {
    const std::int64_t predictor = params.predictor;
    if (predictor != 2 && (predictor < 10 || predictor > 15)) return data;
    const std::int64_t colors = params.colors, bpc = params.bits_per_component;
    const std::int64_t columns = params.columns;
    if (colors < 1 || colors > 32 || columns < 1 ||
        (bpc != 1 && bpc != 2 && bpc != 4 && bpc != 8 && bpc != 16)) {
        return data;
    }
    // colors * bpc fits easily; the product with columns is checked.
    std::int64_t row_bits = 0;
    if (__builtin_mul_overflow(colors * bpc, columns, &row_bits)) return data;
    const auto row_bytes = static_cast<std::uint64_t>((row_bits + 7) / 8);
    if (row_bytes > limits::kMaxPredictorRowBytes) return data;
    const std::size_t pixel_bytes = std::max<std::size_t>(1, static_cast<std::size_t>(colors * bpc / 8));
    if (predictor == 2) {
        return undo_tiff(std::move(data), static_cast<std::size_t>(row_bytes),
                         static_cast<std::size_t>(colors), static_cast<std::size_t>(bpc));
    }
    return undo_png(data, static_cast<std::size_t>(row_bytes), pixel_bytes);
}

Result<std::string> decode_filters(std::string_view data, const PdfObject* filter,
                                   const PdfObject* parms, std::size_t max_output) {
    std::string current(data);
    if (filter == nullptr) return current;
    auto stage = [&](std::string_view name, const PdfObject* stage_parms) -> Status {
        const FilterParams p = filter_params(stage_parms);
        if (name == "FlateDecode" || name == "Fl") {
            QUARVEL_TRY(current, decompress_flate(current, max_output, FlateDamage::KeepWhatInflated));
            current = apply_predictor(std::move(current), p);
        } else if (name == "LZWDecode" || name == "LZW") {
            current = decompress_lzw(current, max_output, p.early_change == 0 ? 0 : 1);
            current = apply_predictor(std::move(current), p);
        } else if (name == "ASCII85Decode" || name == "A85") {
            QUARVEL_TRY(current, decode_ascii85(current, max_output));
        } else if (name == "ASCIIHexDecode" || name == "AHx") {
            current = decode_ascii_hex(current, max_output);
        } else if (name == "RunLengthDecode" || name == "RL") {
            QUARVEL_TRY(current, decode_run_length(current, max_output));
        }
        // Image codecs and Crypt pass through to their consumers.
        if (current.size() > max_output) current.resize(max_output);
        return Ok{};
    };
    if (filter->is_name()) {
        const PdfObject* p = parms != nullptr && parms->is_array() && !parms->as_array().empty()
                                 ? &parms->as_array()[0]
                                 : parms;
        QUARVEL_TRY(Ok done, stage(filter->bytes(), p));
        (void)done;
        return current;
    }
    if (!filter->is_array()) return current;
    const PdfArray& names = filter->as_array();
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (!names[i].is_name()) continue;
        const PdfObject* p = nullptr;
        if (parms != nullptr && parms->is_array() && i < parms->as_array().size()) {
            p = &parms->as_array()[i];
        } else if (parms != nullptr && parms->is_dict() && names.size() == 1) {
            p = parms;
        }
        QUARVEL_TRY(Ok done, stage(names[i].bytes(), p));
        (void)done;
    }
    return current;
}

} // namespace quarvel

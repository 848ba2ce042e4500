#include "support/pdf_builder.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <unistd.h>

namespace quarvel::testing {

std::string flate(std::string_view data) {
    uLongf len = compressBound(static_cast<uLong>(data.size()));
    std::string out(len, '\0');
    if (compress2(reinterpret_cast<Bytef*>(out.data()), &len,
                  reinterpret_cast<const Bytef*>(data.data()), static_cast<uLong>(data.size()),
                  Z_BEST_COMPRESSION) != Z_OK) {
        throw std::runtime_error("compress2 failed");
    }
    out.resize(len);
    return out;
}

std::string ascii_hex(std::string_view data) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : data) {
        out += hex[c >> 4];
        out += hex[c & 0xF];
    }
    out += '>';
    return out;
}

std::string ascii85(std::string_view data) {
    std::string out;
    std::size_t i = 0;
    while (i < data.size()) {
        const std::size_t n = std::min<std::size_t>(4, data.size() - i);
        std::uint32_t v = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            v = (v << 8) | (k < n ? static_cast<unsigned char>(data[i + k]) : 0);
        }
        if (n == 4 && v == 0) {
            out += 'z';
        } else {
            char group[5];
            for (int k = 4; k >= 0; --k) {
                group[k] = static_cast<char>('!' + v % 85);
                v /= 85;
            }
            out.append(group, n + 1);
        }
        i += n;
    }
    out += "~>";
    return out;
}

std::string run_length(std::string_view data) {
    std::string out;
    std::size_t i = 0;
    while (i < data.size()) {
        // A run of three or more equal bytes becomes a repeat; the rest is
        // copied literally in chunks of at most 128.
        std::size_t run = 1;
        while (i + run < data.size() && run < 128 && data[i + run] == data[i]) ++run;
        if (run >= 3) {
            out += static_cast<char>(257 - run);
            out += data[i];
            i += run;
            continue;
        }
        std::size_t lit = 0;
        while (i + lit < data.size() && lit < 128) {
            std::size_t r = 1;
            while (i + lit + r < data.size() && r < 3 && data[i + lit + r] == data[i + lit]) ++r;
            if (r >= 3) break;
            ++lit;
        }
        out += static_cast<char>(lit - 1);
        out.append(data.substr(i, lit));
        i += lit;
    }
    out += static_cast<char>(128);
    return out;
}

std::string lzw(std::string_view data) {
    // Codes grow to 10 bits when the table holds 512 entries (no early change).
    std::map<std::string, int> table;
    auto reset = [&] {
        table.clear();
        for (int c = 0; c < 256; ++c) table[std::string(1, static_cast<char>(c))] = c;
    };
    std::string out;
    std::uint32_t acc = 0;
    int bits = 0;
    int width = 9;
    int next = 258;
    auto emit = [&](int code) {
        acc = (acc << width) | static_cast<std::uint32_t>(code);
        bits += width;
        while (bits >= 8) {
            out += static_cast<char>((acc >> (bits - 8)) & 0xFF);
            bits -= 8;
        }
    };
    reset();
    emit(256);
    std::string w;
    for (char c : data) {
        std::string wc = w + c;
        if (table.count(wc)) {
            w = wc;
            continue;
        }
        emit(table[w]);
        if (next < 4096) {
            table[wc] = next++;
            // The decoder adds each entry one code later than this encoder
            // does, so it holds 2^width entries when `next` is one past that.
            if (next == (1 << width) + 1 && width < 12) ++width;
        } else {
            emit(256);
            reset();
            next = 258;
            width = 9;
        }
        w = std::string(1, c);
    }
    if (!w.empty()) emit(table[w]);
    emit(257);
    if (bits > 0) out += static_cast<char>((acc << (8 - bits)) & 0xFF);
    return out;
}

PdfBuilder& PdfBuilder::object(std::uint32_t num, std::string body, std::uint16_t gen) {
    items_.push_back({num, gen, std::move(body)});
    return *this;
}

PdfBuilder& PdfBuilder::stream(std::uint32_t num, std::string dict_entries, std::string data,
                               std::optional<std::string> length) {
    std::string len = length ? *length : std::to_string(data.size());
    std::string body = "<< /Length " + len;
    if (!dict_entries.empty()) body += " " + dict_entries;
    body += " >>\nstream\n" + data + "\nendstream";
    return object(num, std::move(body));
}

PdfBuilder& PdfBuilder::filtered_stream(std::uint32_t num, std::string dict_entries,
                                        std::string_view data, std::string_view filter) {
    std::string encoded;
    if (filter == "FlateDecode") {
        encoded = flate(data);
    } else if (filter == "ASCIIHexDecode") {
        encoded = ascii_hex(data);
    } else if (filter == "ASCII85Decode") {
        encoded = ascii85(data);
    } else if (filter == "RunLengthDecode") {
        encoded = run_length(data);
    } else if (filter == "LZWDecode") {
        encoded = lzw(data);
    } else {
        encoded = std::string(data);
    }
    std::string entries = "/Filter /" + std::string(filter);
    if (!dict_entries.empty()) entries += " " + dict_entries;
    return stream(num, entries, std::move(encoded));
}

PdfBuilder& PdfBuilder::object_stream(std::uint32_t num,
                                      std::vector<std::pair<std::uint32_t, std::string>> objects,
                                      std::string_view filter, std::string dict_entries) {
    std::string header;
    std::string texts;
    for (std::size_t i = 0; i < objects.size(); ++i) {
        header += std::to_string(objects[i].first) + " " + std::to_string(texts.size()) + " ";
        texts += objects[i].second + "\n";
        compressed_[objects[i].first] = {num, static_cast<std::uint16_t>(i)};
    }
    std::string entries = "/Type /ObjStm /N " + std::to_string(objects.size()) + " /First " +
                          std::to_string(header.size());
    if (!dict_entries.empty()) entries += " " + dict_entries;
    if (filter.empty()) return stream(num, entries, header + texts);
    return filtered_stream(num, entries, header + texts, filter);
}

PdfBuilder& PdfBuilder::raw(std::string bytes) {
    items_.push_back({std::nullopt, 0, std::move(bytes)});
    return *this;
}

std::uint32_t PdfBuilder::max_object_number() const {
    std::uint32_t m = 0;
    for (const Item& it : items_) {
        if (it.num) m = std::max(m, *it.num);
    }
    if (!compressed_.empty()) m = std::max(m, compressed_.rbegin()->first);
    return m;
}

std::size_t PdfBuilder::offset_of(std::uint32_t num) const {
    auto it = offsets_.find(num);
    if (it == offsets_.end()) throw std::out_of_range("object not written");
    return it->second;
}

namespace {

std::string pad10(std::uint64_t v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%010llu", static_cast<unsigned long long>(v));
    return buf;
}

std::string pad5(std::uint64_t v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%05llu", static_cast<unsigned long long>(v));
    return buf;
}

void put_be(std::string& out, std::uint64_t v, int width) {
    for (int k = width - 1; k >= 0; --k) out += static_cast<char>((v >> (8 * k)) & 0xFF);
}

} // namespace

std::string PdfBuilder::build(const BuildOptions& o) const {
    offsets_.clear();
    std::string out = "%PDF-1.7\n%\xE2\xE3\xCF\xD3\n";
    std::map<std::uint32_t, std::pair<std::size_t, std::uint16_t>> entries;
    for (const Item& it : items_) {
        if (it.num) {
            offsets_[*it.num] = out.size();
            entries[*it.num] = {out.size(), it.gen};
            out += std::to_string(*it.num) + " " + std::to_string(it.gen) + " obj\n" + it.text +
                   "\nendobj\n";
        } else {
            out += it.text;
        }
    }
    for (std::uint32_t num : o.omit_from_xref) entries.erase(num);

    const std::uint32_t size = max_object_number() + 1;
    std::string trailer =
        o.trailer ? *o.trailer : "/Size " + std::to_string(size) + " /Root 1 0 R";
    if (!o.trailer_extra.empty()) trailer += " " + o.trailer_extra;

    std::size_t xref_offset = out.size();
    if (o.xref == XrefStyle::Table) {
        out += "xref\n0 " + std::to_string(size) + "\n";
        for (std::uint32_t n = 0; n < size; ++n) {
            auto it = entries.find(n);
            if (it == entries.end()) {
                out += "0000000000 " + std::string(n == 0 ? "65535" : "00000") + " f" +
                       o.entry_eol;
            } else {
                const auto off = static_cast<std::int64_t>(it->second.first) + o.offset_shift;
                out += pad10(static_cast<std::uint64_t>(std::max<std::int64_t>(0, off))) + " " +
                       pad5(it->second.second) + " n" + o.entry_eol;
            }
        }
        out += "trailer\n<< " + trailer + " >>\n";
    } else if (o.xref == XrefStyle::Stream) {
        // The stream itself is object `size`, so the table covers size + 1.
        const std::uint32_t self = size;
        std::string body;
        for (std::uint32_t n = 0; n <= self; ++n) {
            auto it = entries.find(n);
            auto packed = compressed_.find(n);
            const bool omitted = std::find(o.omit_from_xref.begin(), o.omit_from_xref.end(), n) !=
                                 o.omit_from_xref.end();
            if (n == self) {
                put_be(body, 1, 1);
                put_be(body, xref_offset, 4);
                put_be(body, 0, 2);
            } else if (packed != compressed_.end() && !omitted) {
                put_be(body, 2, 1);
                put_be(body, packed->second.first, 4);
                put_be(body, packed->second.second, 2);
            } else if (it == entries.end()) {
                put_be(body, 0, 1);
                put_be(body, 0, 4);
                put_be(body, n == 0 ? 65535 : 0, 2);
            } else {
                const auto off = static_cast<std::int64_t>(it->second.first) + o.offset_shift;
                put_be(body, 1, 1);
                put_be(body, static_cast<std::uint64_t>(std::max<std::int64_t>(0, off)), 4);
                put_be(body, it->second.second, 2);
            }
        }
        std::string dict = o.trailer ? *o.trailer
                                     : "/Size " + std::to_string(self + 1) + " /Root 1 0 R";
        if (!o.trailer_extra.empty()) dict += " " + o.trailer_extra;
        out += std::to_string(self) + " 0 obj\n<< /Type /XRef /W [1 4 2] " + dict +
               " /Length " + std::to_string(body.size()) + " >>\nstream\n" + body +
               "\nendstream\nendobj\n";
    } else {
        out += "trailer\n<< " + trailer + " >>\n";
    }
    if (!o.omit_startxref) {
        out += "startxref\n" + (o.startxref ? *o.startxref : std::to_string(xref_offset)) +
               "\n%%EOF\n";
    }
    return out;
}

PdfBuilder simple_document(const std::vector<std::string>& page_contents,
                           const std::string& resources) {
    PdfBuilder b;
    std::string kids;
    for (std::size_t i = 0; i < page_contents.size(); ++i) {
        kids += std::to_string(3 + 2 * i) + " 0 R ";
    }
    b.object(1, "<< /Type /Catalog /Pages 2 0 R >>");
    b.object(2, "<< /Type /Pages /Kids [" + kids + "] /Count " +
                    std::to_string(page_contents.size()) + " >>");
    for (std::size_t i = 0; i < page_contents.size(); ++i) {
        const auto page = static_cast<std::uint32_t>(3 + 2 * i);
        std::string dict = "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents " +
                           std::to_string(page + 1) + " 0 R";
        if (!resources.empty()) dict += " /Resources " + resources;
        dict += " >>";
        b.object(page, dict);
        b.stream(page + 1, "", page_contents[i]);
    }
    return b;
}

std::string write_temp_file(std::string_view bytes, std::string_view suffix) {
    static std::mutex mu;
    static std::vector<std::string> created;
    std::string path = "/tmp/quarvel-test-XXXXXX" + std::string(suffix);
    std::vector<char> buf(path.begin(), path.end());
    buf.push_back('\0');
    const int fd = mkstemps(buf.data(), static_cast<int>(suffix.size()));
    if (fd < 0) throw std::runtime_error("mkstemps failed");
    path.assign(buf.data());
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n <= 0) break;
        written += static_cast<std::size_t>(n);
    }
    ::close(fd);
    std::lock_guard lock(mu);
    if (created.empty()) {
        std::atexit([] {
            for (const std::string& p : created) std::remove(p.c_str());
        });
    }
    created.push_back(path);
    return path;
}

} // namespace quarvel::testing

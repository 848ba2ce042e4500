#include "file/recovery.h"

#include <cctype>
#include <cstdint>
#include <limits>
#include <unordered_set>

#include "syntax/object.h"

namespace quarvel {

namespace {

constexpr std::string_view kObjKeyword = "obj";
constexpr std::string_view kTrailerKeyword = "trailer";

// The scanner's whitespace: NUL is not among it (unlike object syntax).
constexpr bool is_scan_space(char c) {
    return c == '\t' || c == '\n' || c == '\r' || c == ' ';
}
// What ends a key or a name value.
constexpr bool ends_name(char c) {
    return is_scan_space(c) || c == '(' || c == '/' || c == '<' || c == '>' || c == '[';
}
// What ends a skipped token.
constexpr bool ends_token(char c) {
    return is_scan_space(c) || c == '/' || c == '>' || c == '[';
}

// Reads the digit run [begin, end) as a number no larger than `max`.
std::optional<std::uint64_t> digits_value(std::string_view data, std::size_t begin, std::size_t end,
                                          std::uint64_t max) {
    std::uint64_t v = 0;
    for (std::size_t i = begin; i < end; ++i) {
        v = v * 10 + static_cast<std::uint64_t>(data[i] - '0');
        if (v > max) return std::nullopt;
    }
    return v;
}

// Reads the digit run at `p` as a number no larger than `max`, and moves `p`
// past it and the spaces or tabs that follow (the separators of "N G R").
std::optional<std::uint64_t> read_number(std::string_view data, std::size_t& p, std::uint64_t max) {
    const std::size_t begin = p;
    while (p < data.size() && is_pdf_digit(static_cast<std::uint8_t>(data[p])))
        ++p;
    const auto v = digits_value(data, begin, p, max);
    while (p < data.size() && (data[p] == ' ' || data[p] == '\t'))
        ++p;
    return v;
}

std::size_t name_end(std::string_view data, std::size_t p) {
    while (p < data.size() && !ends_name(data[p]))
        ++p;
    return p;
}

// Scans the dictionary that starts at or after `p` (after whitespace).
std::optional<PdfObj> scan_dict(std::string_view data, std::size_t p) {
    const std::size_t n = data.size();
    if (p >= n) return std::nullopt;
    while (p < n && is_scan_space(data[p]))
        ++p;
    if (p == n) return std::nullopt;
    if (data[p] != '<' || p + 1 == n || data[p + 1] != '<') return PdfObj{};
    if (n - p < 4) return std::nullopt;
    p += 2;

    PdfObj dict;
    dict.kind = PdfObj::Kind::Dict;
    for (;;) {
        while (p < n && is_scan_space(data[p]))
            ++p;
        if (p == n) return dict;
        if (data[p] == '>' && p + 1 < n && data[p + 1] == '>') return dict;
        if (data[p] != '/') {
            // A token the scanner does not read. One that starts on '[' or
            // on a lone '>' (an array value, a stray bracket) would end
            // before consuming anything: step over that byte, so that the
            // keys after an array are still found.
            const std::size_t start = p;
            while (p < n && !ends_token(data[p]))
                ++p;
            if (p == start) ++p;
            continue;
        }
        const std::size_t key_begin = p + 1;
        p = name_end(data, key_begin);
        const std::string_view key = data.substr(key_begin, p - key_begin);
        while (p < n && is_scan_space(data[p]))
            ++p;

        PdfObj value;
        if (p < n && data[p] == '/') {
            const std::size_t begin = p + 1;
            p = name_end(data, begin);
            value.kind = PdfObj::Kind::Name;
            value.name = data.substr(begin, p - begin);
        } else if (p < n && is_pdf_digit(static_cast<std::uint8_t>(data[p]))) {
            const auto num = read_number(data, p, std::numeric_limits<std::uint32_t>::max());
            if (!num) return std::nullopt;
            if (p < n && is_pdf_digit(static_cast<std::uint8_t>(data[p]))) {
                const auto gen = read_number(data, p, std::numeric_limits<std::uint16_t>::max());
                if (!gen) return std::nullopt;
                if (p < n && data[p] == 'R') {
                    ++p;
                    value.kind = PdfObj::Kind::Ref;
                    value.ref = ObjectId{static_cast<std::uint32_t>(*num),
                                         static_cast<std::uint16_t>(*gen)};
                }
            }
        }
        // Any other value is Other, and the scan goes on from where it
        // stopped reading (the value's first byte when nothing was read).
        dict.dict.emplace_back(key, std::move(value));
    }
}

const PdfObj* first_entry(const PdfObj& dict, std::string_view key) {
    for (const auto& [k, v] : dict.dict) {
        if (k == key) return &v;
    }
    return nullptr;
}

bool has_type(const PdfObj& dict, std::string_view type) {
    const PdfObj* t = first_entry(dict, "Type");
    return t != nullptr && t->kind == PdfObj::Kind::Name && t->name == type;
}

// An object header "N G obj" found by its keyword at `obj_pos`.
struct Header {
    std::uint32_t num;
    std::uint16_t gen;
    std::size_t num_begin;
    std::size_t obj_pos;
};

// Validates the header backwards from the keyword: generation and object
// number separated by spaces or tabs (line ends between them are not
// accepted), the number at the start of the file or after whitespace.
std::optional<Header> header_before(std::string_view data, std::size_t obj_pos) {
    if (obj_pos < 4) return std::nullopt;
    std::size_t j = obj_pos;
    while (j > 0 && (data[j - 1] == ' ' || data[j - 1] == '\t'))
        --j;
    const std::size_t gen_end = j;
    while (j > 0 && is_pdf_digit(static_cast<std::uint8_t>(data[j - 1])))
        --j;
    if (j == gen_end) return std::nullopt;
    const std::size_t gen_begin = j;
    while (j > 0 && (data[j - 1] == ' ' || data[j - 1] == '\t'))
        --j;
    const std::size_t num_end = j;
    while (j > 0 && is_pdf_digit(static_cast<std::uint8_t>(data[j - 1])))
        --j;
    if (j == num_end) return std::nullopt;
    if (j > 0 && !is_scan_space(data[j - 1])) return std::nullopt;
    const auto num = digits_value(data, j, num_end, std::numeric_limits<std::uint32_t>::max());
    const auto gen =
        digits_value(data, gen_begin, gen_end, std::numeric_limits<std::uint16_t>::max());
    if (!num || !gen) return std::nullopt;
    // Offsets are 32-bit: a header beyond 4 GiB cannot be addressed.
    if (j > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
    return Header{static_cast<std::uint32_t>(*num), static_cast<std::uint16_t>(*gen), j, obj_pos};
}

// The word `trailer` standing alone, not inside a name such as /trailerX
// (which would otherwise cut short the scan of the dictionary holding it).
bool is_trailer_keyword(std::string_view data, std::size_t at) {
    const std::size_t end = at + kTrailerKeyword.size();
    const bool starts_word =
        at == 0 || !(std::isalnum(static_cast<unsigned char>(data[at - 1])) || data[at - 1] == '/');
    const bool ends_word =
        end == data.size() || is_scan_space(data[end]) || data[end] == '<' || data[end] == '%';
    return starts_word && ends_word;
}

class Scan {
  public:
    // `full` also collects what scan_objects reports.
    explicit Scan(std::string_view data, ObjectScan* full = nullptr) : data_(data), full_(full) {}

    Result<XrefSection> run();

  private:
    // Each dictionary is scanned only up to the next header or trailer
    // keyword: a dictionary left unclosed in a damaged file would otherwise
    // be rescanned to the end of the file from every header that follows it,
    // quadratic in the file's size.
    void on_header(const Header& h, std::size_t bound);
    void on_trailer(std::size_t pos, std::size_t bound);
    // Encrypted files must be refused even when their cross-reference data
    // is damaged: a trailer dictionary, or a cross-reference stream's
    // dictionary, that names an /Encrypt reference marks the file.
    void detect_encryption(const PdfObj& dict);
    void record_root(const PdfObj& dict);

    std::string_view data_;
    XrefSection out_;
    bool have_root_ = false;
    std::uint64_t max_num_ = 0;
    bool any_ = false;
    // Numbers whose latest definition is a catalogue dictionary, for the
    // fallback that takes a catalogue without /Pages.
    std::unordered_set<std::uint32_t> catalogs_;
    ObjectScan* full_;
};

void Scan::on_header(const Header& h, std::size_t bound) {
    out_.map.insert(
        h.num, XrefEntry{XrefEntry::Kind::InUse, static_cast<std::uint32_t>(h.num_begin), h.gen});
    max_num_ = any_ ? std::max<std::uint64_t>(max_num_, h.num) : h.num;
    any_ = true;

    const auto scanned = scan_dict(data_.substr(0, bound), h.obj_pos + kObjKeyword.size());
    const bool is_dict = scanned && scanned->kind == PdfObj::Kind::Dict;
    if (is_dict && has_type(*scanned, "Catalog")) {
        catalogs_.insert(h.num);
        if (!have_root_) {
            const PdfObj* pages = first_entry(*scanned, "Pages");
            if (pages != nullptr && pages->kind == PdfObj::Kind::Ref) {
                out_.trailer.root = ObjectId{h.num, h.gen};
                have_root_ = true;
            }
        }
    } else {
        catalogs_.erase(h.num);
    }
    if (is_dict && has_type(*scanned, "XRef")) detect_encryption(*scanned);
    if (full_ != nullptr && is_dict) {
        if (has_type(*scanned, "ObjStm")) full_->object_streams.push_back(h.num);
        if (has_type(*scanned, "Catalog")) full_->catalogs.push_back(h.num);
        if (has_type(*scanned, "XRef")) {
            record_root(*scanned);
            full_->xref_streams.push_back(h.num);
        }
    }
}

void Scan::record_root(const PdfObj& dict) {
    const PdfObj* root = first_entry(dict, "Root");
    if (root != nullptr && root->kind == PdfObj::Kind::Ref) full_->trailer_roots.push_back(root->ref);
}

void Scan::on_trailer(std::size_t pos, std::size_t bound) {
    const auto scanned = scan_dict(data_.substr(0, bound), pos + kTrailerKeyword.size());
    if (scanned && scanned->kind == PdfObj::Kind::Dict) {
        detect_encryption(*scanned);
        if (full_ != nullptr) {
            record_root(*scanned);
            full_->trailers.push_back(pos);
        }
    }
}

void Scan::detect_encryption(const PdfObj& dict) {
    if (out_.trailer.encrypt) return;
    for (const auto& [k, v] : dict.dict) {
        if (k == "Encrypt" && v.kind == PdfObj::Kind::Ref) {
            out_.trailer.encrypt = v.ref;
            return;
        }
    }
}

Result<XrefSection> Scan::run() {
    // One forward pass. Headers and trailer keywords are found by two
    // substring searches that each only move forward; every event is
    // handled once the next one is known, which bounds its dictionary scan.
    constexpr std::size_t npos = std::string_view::npos;
    std::size_t next_obj = data_.find(kObjKeyword);
    std::size_t next_trailer = data_.find(kTrailerKeyword);

    enum class Kind { None, Header, Trailer };
    Kind pending = Kind::None;
    Header pending_header{};
    std::size_t pending_trailer = 0;
    auto flush = [&](std::size_t bound) {
        if (pending == Kind::Header) on_header(pending_header, bound);
        if (pending == Kind::Trailer) on_trailer(pending_trailer, bound);
        pending = Kind::None;
    };

    while (next_obj != npos || next_trailer != npos) {
        if (next_obj != npos && (next_trailer == npos || next_obj < next_trailer)) {
            const std::size_t at = next_obj;
            next_obj = data_.find(kObjKeyword, at + kObjKeyword.size());
            if (auto h = header_before(data_, at)) {
                flush(h->num_begin);
                pending = Kind::Header;
                pending_header = *h;
            }
        } else {
            const std::size_t at = next_trailer;
            next_trailer = data_.find(kTrailerKeyword, at + kTrailerKeyword.size());
            if (is_trailer_keyword(data_, at)) {
                flush(at);
                pending = Kind::Trailer;
                pending_trailer = at;
            }
        }
    }
    flush(data_.size());
    if (full_ != nullptr) {
        full_->map = std::move(out_.map);
        full_->max_num = static_cast<std::uint32_t>(max_num_);
        full_->encrypt = out_.trailer.encrypt;
        return XrefSection{};
    }

    if (!have_root_ && !catalogs_.empty()) {
        // A catalogue without a /Pages reference; the lowest number, so that
        // the choice does not depend on hashing.
        std::uint32_t num = *catalogs_.begin();
        for (std::uint32_t c : catalogs_)
            num = std::min(num, c);
        out_.trailer.root = ObjectId{num, out_.map.find(num)->gen_or_index};
        have_root_ = true;
    }
    if (!have_root_) return ParseError::other("recovery: could not find Catalog root");
    out_.trailer.size = static_cast<std::uint32_t>(max_num_ + 1);
    return std::move(out_);
}

} // namespace

Result<XrefSection> recover_xref_by_scan(std::string_view data) {
    return Scan(data).run();
}

ObjectScan scan_objects(std::string_view data) {
    ObjectScan out;
    (void)Scan(data, &out).run();
    return out;
}

std::optional<PdfObj> try_parse_object_at(std::string_view data, std::size_t pos) {
    if (pos >= data.size() || data.size() - pos <= kObjKeyword.size()) return std::nullopt;
    return scan_dict(data, pos + kObjKeyword.size());
}

} // namespace quarvel

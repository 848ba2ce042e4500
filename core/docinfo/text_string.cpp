#include "docinfo/text_string.h"

#include <array>
#include <cstdint>
#include <cstdio>

#include "syntax/string_bytes.h"
#include "syntax/text.h"

namespace quarvel::docinfo {
namespace {

// PDFDocEncoding where it differs from Latin-1: 0x18-0x1F are spacing
// accents, 0x80-0xA0 typographic marks; 0x7F and 0x9F are undefined.
constexpr std::array<char16_t, 8> kPdfDocLow = {0x02D8, 0x02C7, 0x02C6, 0x02D9,
                                                0x02DD, 0x02DB, 0x02DA, 0x02DC};
constexpr std::array<char16_t, 33> kPdfDocHigh = {
    0x2022, 0x2020, 0x2021, 0x2026, 0x2014, 0x2013, 0x0192, 0x2044, 0x2039, 0x203A, 0x2212,
    0x2030, 0x201E, 0x201C, 0x201D, 0x2018, 0x2019, 0x201A, 0x2122, 0xFB01, 0xFB02, 0x0141,
    0x0152, 0x0160, 0x0178, 0x017D, 0x0131, 0x0142, 0x0153, 0x0161, 0x017E, 0xFFFD, 0x20AC};

char32_t pdfdoc_char(unsigned char b) {
    if (b >= 0x18 && b <= 0x1F) return kPdfDocLow[b - 0x18];
    if (b >= 0x80 && b <= 0xA0) return kPdfDocHigh[b - 0x80];
    if (b == 0x7F) return 0xFFFD;
    return b;
}

std::string decode_utf16(std::string_view bytes, bool big_endian) {
    std::string out;
    out.reserve(bytes.size());
    bool in_escape = false;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const auto hi = static_cast<unsigned char>(bytes[big_endian ? i : i + 1]);
        const auto lo = static_cast<unsigned char>(bytes[big_endian ? i + 1 : i]);
        char32_t unit = static_cast<char32_t>(hi << 8 | lo);
        // A language tag sits between two ESC units and is not text.
        if (unit == 0x1B) {
            in_escape = !in_escape;
            continue;
        }
        if (in_escape) continue;
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 3 < bytes.size()) {
            const auto hi2 = static_cast<unsigned char>(bytes[big_endian ? i + 2 : i + 3]);
            const auto lo2 = static_cast<unsigned char>(bytes[big_endian ? i + 3 : i + 2]);
            const char32_t next = static_cast<char32_t>(hi2 << 8 | lo2);
            if (next >= 0xDC00 && next <= 0xDFFF) {
                unit = 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00);
                i += 2;
            }
        }
        // A lone surrogate becomes U+FFFD through append_utf8.
        append_utf8(out, unit);
    }
    return out;
}

std::string strip_trailing_nuls(std::string text) {
    while (!text.empty() && text.back() == '\0')
        text.pop_back();
    return text;
}

// Reads `count` digits at `pos` into `out`; false when they are not all
// there.
bool digits(std::string_view s, std::size_t& pos, std::size_t count, int& out) {
    if (pos + count > s.size()) return false;
    int value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const char c = s[pos + i];
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    out = value;
    pos += count;
    return true;
}

struct DateParts {
    int year = 0, month = 1, day = 1, hour = 0, minute = 0, second = 0;
    // 'Z', '+', '-' or 0 when the text gives no zone.
    char zone = 0;
    int zone_hour = 0, zone_minute = 0;
};

bool in_range(const DateParts& d) {
    return d.month >= 1 && d.month <= 12 && d.day >= 1 && d.day <= 31 && d.hour <= 23 &&
           d.minute <= 59 && d.second <= 60 && d.zone_hour <= 23 && d.zone_minute <= 59;
}

std::string format_date(const DateParts& d) {
    char buffer[40];
    int n = std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d", d.year, d.month,
                          d.day, d.hour, d.minute, d.second);
    std::string out(buffer, static_cast<std::size_t>(n));
    if (d.zone == 'Z' || (d.zone != 0 && d.zone_hour == 0 && d.zone_minute == 0)) {
        out += 'Z';
    } else if (d.zone != 0) {
        n = std::snprintf(buffer, sizeof buffer, "%c%02d:%02d", d.zone, d.zone_hour, d.zone_minute);
        out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
}

} // namespace

std::string decode_text_string(std::string_view bytes) {
    if (bytes.starts_with("\xFE\xFF"))
        return strip_trailing_nuls(decode_utf16(bytes.substr(2), true));
    if (bytes.starts_with("\xFF\xFE")) {
        return strip_trailing_nuls(decode_utf16(bytes.substr(2), false));
    }
    if (bytes.starts_with("\xEF\xBB\xBF")) return strip_trailing_nuls(lossy_utf8(bytes.substr(3)));
    std::string out;
    out.reserve(bytes.size());
    for (const char c : bytes)
        append_utf8(out, pdfdoc_char(static_cast<unsigned char>(c)));
    return strip_trailing_nuls(std::move(out));
}

std::string text_string(const PdfObject& object) {
    if (!object.is_string() && !object.is_hex_string()) return {};
    return decode_text_string(string_bytes(object));
}

std::optional<std::string> pdf_date_iso(std::string_view text) {
    std::size_t pos = 0;
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t'))
        ++pos;
    if (text.substr(pos).starts_with("D:")) pos += 2;
    DateParts d;
    if (!digits(text, pos, 4, d.year)) return std::nullopt;
    // Each later part is optional, but only in order: a month without a
    // day is a date, a day without a month is not.
    for (int* part : {&d.month, &d.day, &d.hour, &d.minute, &d.second}) {
        if (!digits(text, pos, 2, *part)) break;
    }
    if (pos < text.size()) {
        const char z = text[pos];
        if (z == 'Z' || z == 'z') {
            d.zone = 'Z';
        } else if (z == '+' || z == '-') {
            ++pos;
            if (digits(text, pos, 2, d.zone_hour)) {
                d.zone = z;
                if (pos < text.size() && text[pos] == '\'') ++pos;
                if (!digits(text, pos, 2, d.zone_minute)) d.zone_minute = 0;
            }
        }
    }
    if (!in_range(d)) return std::nullopt;
    return format_date(d);
}

std::optional<std::string> xmp_date_iso(std::string_view text) {
    std::size_t pos = 0;
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\n' || text[pos] == '\t')) {
        ++pos;
    }
    DateParts d;
    if (!digits(text, pos, 4, d.year)) return std::nullopt;
    auto sep = [&](char c) {
        if (pos < text.size() && text[pos] == c) {
            ++pos;
            return true;
        }
        return false;
    };
    if (sep('-') && digits(text, pos, 2, d.month) && sep('-') && digits(text, pos, 2, d.day) &&
        sep('T') && digits(text, pos, 2, d.hour) && sep(':') && digits(text, pos, 2, d.minute)) {
        if (sep(':') && digits(text, pos, 2, d.second) && sep('.')) {
            while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9')
                ++pos;
        }
        if (pos < text.size()) {
            const char z = text[pos];
            if (z == 'Z') {
                d.zone = 'Z';
            } else if ((z == '+' || z == '-') && (++pos, digits(text, pos, 2, d.zone_hour)) &&
                       sep(':') && digits(text, pos, 2, d.zone_minute)) {
                d.zone = z;
            }
        }
    }
    if (!in_range(d)) return std::nullopt;
    return format_date(d);
}

} // namespace quarvel::docinfo

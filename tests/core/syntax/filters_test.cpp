#include "syntax/filters.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "support/pdf_builder.h"

namespace quarvel {
namespace {

using namespace std::literals;
namespace t = quarvel::testing;

std::string random_bytes(std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng() & 0xFF);
    return s;
}

std::string text_bytes(std::size_t n) {
    std::string s;
    while (s.size() < n) s += "BT /F1 12 Tf 72 712 Td (Quarterly figures, page " +
                              std::to_string(s.size()) + ") Tj ET\n";
    s.resize(n);
    return s;
}

PdfObject names(std::initializer_list<PdfObject> items) { return PdfObject::array(items); }

// --- the chain --------------------------------------------------------------

TEST(FilterChain, AppliesNamedFiltersInOrderAndSkipsTheRest) {
    const std::string plain = "Hello, filters";
    const std::string body = t::ascii_hex(t::flate(plain));
    auto r = decompress_stream(body, names({PdfObject::name("ASCIIHexDecode"),
                                            PdfObject::name("FlateDecode")}));
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(*r, plain);

    auto skipped = decompress_stream("41 42>", names({PdfObject::integer(1),
                                                      PdfObject::name("ASCIIHexDecode")}));
    ASSERT_TRUE(skipped.ok());
    EXPECT_EQ(*skipped, "AB");
}

TEST(FilterChain, UnknownFiltersAndNonNamesPassTheBodyThrough) {
    const std::string body = "\xFF\xD8\xFF\xE0 jpeg bytes";
    for (const PdfObject& filter :
         {PdfObject::name("DCTDecode"), PdfObject::name("Fl"), PdfObject::name("flatedecode"),
          PdfObject::name("JPXDecode"), PdfObject::reference({5, 0}), PdfObject(),
          PdfObject::integer(3), names({})}) {
        auto r = decompress_stream(body, filter);
        ASSERT_TRUE(r.ok());
        EXPECT_EQ(*r, body);
    }
}

TEST(FilterChain, AStageErrorFailsTheWholeChain) {
    // Hex decodes to 0x02 'A': a copy run that is one byte short.
    auto r = decompress_stream("0241>", names({PdfObject::name("ASCIIHexDecode"),
                                               PdfObject::name("RunLengthDecode")}));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().display(), "RunLength: unexpected end of data");
}

// --- Flate ------------------------------------------------------------------

TEST(Flate, RoundTripsDataLargerThanTheInputFeed) {
    for (const std::string& plain :
         {std::string(), text_bytes(1 << 20), random_bytes(200'000, 7)}) {
        auto r = decompress_flate(t::flate(plain));
        ASSERT_TRUE(r.ok());
        EXPECT_EQ(*r, plain);
    }
}

TEST(Flate, TruncatedInputKeepsWhatInflatedAndTrailingBytesAreIgnored) {
    const std::string plain = random_bytes(100'000, 1);
    const std::string z = t::flate(plain);
    auto cut = decompress_flate(std::string_view(z).substr(0, z.size() / 2));
    ASSERT_TRUE(cut.ok());
    EXPECT_GT(cut->size(), 10'000u);
    EXPECT_LT(cut->size(), plain.size());
    EXPECT_EQ(*cut, plain.substr(0, cut->size()));

    auto trailing = decompress_flate(z + "\r\nendstream garbage");
    ASSERT_TRUE(trailing.ok());
    EXPECT_EQ(*trailing, plain);
}

TEST(Flate, CorruptDataBadChecksumAndRawDeflateFail) {
    const std::string z = t::flate(text_bytes(5000));
    std::string bad_checksum = z;
    bad_checksum.back() = static_cast<char>(bad_checksum.back() ^ 1);
    std::string corrupt = z;
    for (std::size_t i = 2; i < 40; ++i) corrupt[i] = '\xFF';
    const std::string raw_deflate = z.substr(2, z.size() - 6);
    for (const std::string& input : {bad_checksum, corrupt, raw_deflate, "plain text"s}) {
        auto r = decompress_flate(input);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().display(), "flate decompression failed");
    }
}

TEST(Flate, OutputAtTheCapInflatesOnePastFails) {
    const std::string plain(100'000, 'x');
    const std::string z = t::flate(plain);
    auto at = decompress_flate(z, plain.size());
    ASSERT_TRUE(at.ok());
    EXPECT_EQ(at->size(), plain.size());
    auto past = decompress_flate(z, plain.size() - 1);
    ASSERT_FALSE(past.ok());
    EXPECT_EQ(past.error().display(), "flate decompression failed");
    // The cap applies through the chain too.
    EXPECT_FALSE(decompress_stream(z, PdfObject::name("FlateDecode"), 1000).ok());
}

// --- LZW --------------------------------------------------------------------

// Packs codes most significant bit first, each with its own width.
std::string pack_codes(const std::vector<std::pair<std::uint32_t, unsigned>>& codes) {
    std::string out;
    std::uint64_t acc = 0;
    unsigned bits = 0;
    for (const auto& [code, width] : codes) {
        acc = (acc << width) | code;
        bits += width;
        while (bits >= 8) {
            out += static_cast<char>((acc >> (bits - 8)) & 0xFF);
            bits -= 8;
        }
    }
    if (bits) out += static_cast<char>((acc << (8 - bits)) & 0xFF);
    return out;
}

std::string nine_bit(std::initializer_list<std::uint32_t> codes) {
    std::vector<std::pair<std::uint32_t, unsigned>> v;
    for (std::uint32_t c : codes) v.push_back({c, 9});
    return pack_codes(v);
}

struct LzwCase {
    const char* what;
    std::string input;
    std::string output;
};

class LzwDecodes : public ::testing::TestWithParam<LzwCase> {};

TEST_P(LzwDecodes, ToTheExpectedBytes) {
    EXPECT_EQ(decompress_lzw(GetParam().input), GetParam().output) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    Codes, LzwDecodes,
    ::testing::Values(
        LzwCase{"kwkwk", nine_bit({256, 65, 66, 258, 257}), "ABAB"},
        LzwCase{"code past the next free one", nine_bit({65, 66, 300, 257}), "ABBB"},
        LzwCase{"first code past the table is skipped", nine_bit({300, 65, 66, 258}), "ABAB"},
        LzwCase{"clear resets the table", nine_bit({65, 66, 256, 67, 258, 257}), "ABCCC"},
        LzwCase{"end of data stops", nine_bit({65, 257, 66}), "A"},
        LzwCase{"no end-of-data code", nine_bit({65, 66}), "AB"}, LzwCase{"empty", "", ""},
        LzwCase{"one byte holds no code", "\x41", ""}));

// The table as written: every entry kept, however many; the reference for
// what the bounded decoder must produce.
std::string unbounded_lzw(const std::vector<std::uint32_t>& codes) {
    std::vector<std::string> table;
    for (int c = 0; c < 256; ++c) table.push_back(std::string(1, static_cast<char>(c)));
    table.resize(258);
    std::string out;
    std::uint32_t prev = 0;
    bool first = true;
    for (std::uint32_t code : codes) {
        if (first) {
            out += table[code];
            first = false;
        } else if (code < table.size()) {
            table.push_back(table[prev] + table[code][0]);
            out += table[code];
        } else {
            table.push_back(table[prev] + table[prev][0]);
            out += table.back();
        }
        prev = code;
    }
    return out;
}

// Random codes that are all in the table (or the next free one), written at
// the widths the decoder expects, running the table far past 4096 entries.
std::pair<std::string, std::vector<std::uint32_t>> long_lzw_stream(std::size_t input_bytes) {
    std::mt19937 rng(42);
    std::vector<std::pair<std::uint32_t, unsigned>> packed;
    std::vector<std::uint32_t> codes;
    std::uint64_t size = 258;
    unsigned width = 9;
    packed.push_back({65, 9});
    codes.push_back(65);
    while (packed.size() * 12 / 8 < input_bytes) {
        const std::uint64_t addressable = std::min<std::uint64_t>(size, 4096);
        std::uint32_t code;
        if (size < 4096 && rng() % 8 == 0) {
            code = static_cast<std::uint32_t>(size);
        } else {
            do {
                code = static_cast<std::uint32_t>(rng() % addressable);
            } while (code == 256 || code == 257);
        }
        packed.push_back({code, width});
        codes.push_back(code);
        ++size;
        if (size == (std::uint64_t{1} << width) && width < 12) ++width;
    }
    return {pack_codes(packed), codes};
}

TEST(Lzw, LongInputMatchesTheUnboundedTableInBoundedTime) {
    const auto [input, codes] = long_lzw_stream(1 << 20);
    ASSERT_GT(codes.size(), 500'000u);
    const auto start = std::chrono::steady_clock::now();
    const std::string out = decompress_lzw(input);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(out == unbounded_lzw(codes));
    EXPECT_LT(elapsed, std::chrono::seconds(2));
}

TEST(Lzw, RoundTripsTheTestEncoder) {
    for (const std::string& plain :
         {"A"s, text_bytes(300), text_bytes(200'000), random_bytes(50'000, 3)}) {
        EXPECT_TRUE(decompress_lzw(t::lzw(plain)) == plain) << plain.size();
    }
}

TEST(Lzw, OutputStopsAtTheCap) {
    const std::string plain = text_bytes(100'000);
    const std::string z = t::lzw(plain);
    EXPECT_EQ(decompress_lzw(z, 1000), plain.substr(0, 1000));
    EXPECT_TRUE(decompress_lzw(z, plain.size()) == plain);
}

// --- ASCII85, ASCIIHex, RunLength --------------------------------------------

struct TextCase {
    std::string input;
    std::string output; // when `error` is empty
    std::string error;
};

class Ascii85 : public ::testing::TestWithParam<TextCase> {};

TEST_P(Ascii85, DecodesOrFails) {
    const TextCase& c = GetParam();
    auto r = decode_ascii85(c.input);
    if (c.error.empty()) {
        ASSERT_TRUE(r.ok()) << c.input << ": " << r.error().display();
        EXPECT_EQ(*r, c.output) << c.input;
    } else {
        ASSERT_FALSE(r.ok()) << c.input;
        EXPECT_EQ(r.error().display(), c.error) << c.input;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Ascii85,
    ::testing::Values(
        TextCase{"9jqo^~>", "Man ", ""}, TextCase{"9jqo^", "Man ", ""},
        TextCase{"9j~>", "M", ""}, TextCase{"9jqo~>trailing", "Man", ""},
        TextCase{"9\tj\nq\ro ^", "Man ", ""}, TextCase{"z9jqo^", "\0\0\0\0Man "s, ""},
        TextCase{"9~>", "", ""}, TextCase{"s8W-!", "\xFF\xFF\xFF\xFF", ""},
        // Above 2^32 - 1: only the low 32 bits are kept.
        TextCase{"uuuuu", "\x08x\x0E\xC4", ""},
        TextCase{"9jz", "", "invalid ASCII85: z mid-group"},
        TextCase{"9jqo~", "", "invalid ASCII85: lone ~"},
        TextCase{"9j~x", "", "invalid ASCII85: lone ~"},
        // '<' is a digit, and the '~' after it is not followed by '>'.
        TextCase{"<~9jqo^~>", "", "invalid ASCII85: lone ~"},
        TextCase{"9j\x0c", "", "invalid ASCII85 character"},
        TextCase{"9jv", "", "invalid ASCII85 character"}));

TEST(Ascii85, RoundTripsAndStopsAtTheCap) {
    const std::string plain = random_bytes(10'001, 5);
    auto r = decode_ascii85(t::ascii85(plain));
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(*r, plain);
    auto capped = decode_ascii85(t::ascii85(plain), 4095);
    ASSERT_TRUE(capped.ok());
    EXPECT_EQ(*capped, plain.substr(0, 4095));
    auto zeros = decode_ascii85("zzzz", 6);
    ASSERT_TRUE(zeros.ok());
    EXPECT_EQ(*zeros, std::string(6, '\0'));
}

TEST(AsciiHex, NibblesPairHighFirstAndOtherBytesAreSkipped) {
    EXPECT_EQ(decode_ascii_hex("4 1 4>"), "\x41\x40");
    EXPECT_EQ(decode_ascii_hex("48656c6C6f>4142"), "Hello");
    EXPECT_EQ(decode_ascii_hex("4x8\n65 z"), "He");
    EXPECT_EQ(decode_ascii_hex("D"), "\xD0");
    EXPECT_EQ(decode_ascii_hex(">41"), "");
    EXPECT_EQ(decode_ascii_hex("414243", 2), "AB");
    EXPECT_EQ(decode_ascii_hex("41424", 2), "AB");
}

TEST(RunLength, RunsCopiesAndEndOfData) {
    auto decode = [](std::string_view in) { return decode_run_length(in); };
    EXPECT_EQ(*decode("\xFE\x41\x80"), "AAA");
    EXPECT_EQ(*decode("\x02xyz\x81q\x80ignored"), "xyz"s + std::string(128, 'q'));
    EXPECT_EQ(*decode("\x00z"s), "z");
    EXPECT_EQ(*decode(""), "");
    EXPECT_EQ(*decode("\x01xy"), "xy"); // no end-of-data byte
    for (std::string_view short_run : {"\x02\x41"sv, "\x81"sv, "\x7F"sv}) {
        auto r = decode(short_run);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().display(), "RunLength: unexpected end of data");
    }
    const std::string plain = text_bytes(5000);
    EXPECT_EQ(*decode(t::run_length(plain)), plain);
    EXPECT_EQ(*decode_run_length("\x81q\x81q", 100), std::string(100, 'q'));
}

// --- the full reader's decode parameters ----------------------------------------

FilterParams png(std::int64_t columns, std::int64_t colors = 1, std::int64_t bpc = 8) {
    return FilterParams{12, colors, bpc, columns, 1};
}

TEST(Predictor, PngRowTypesUndoTheirPrediction) {
    // Two rows of three one-byte pixels, each row with its filter type:
    // None, Sub, Up, Average, Paeth.
    struct Case {
        std::uint8_t type;
        std::string second_row; // encoded; the first row is type None "\x01\x02\x03"
        std::string expected;   // decoded second row
    };
    const Case cases[] = {
        {0, "\x05\x06\x07", "\x05\x06\x07"},
        {1, "\x05\x01\x01", "\x05\x06\x07"},
        {2, "\x04\x04\x04", "\x05\x06\x07"},
        {3, "\x05\x03\x03", "\x05\x06\x07"},   // avg(left, up): 5+0, 3+(5+2)/2, 3+(6+3)/2
        {4, "\x04\x01\x01", "\x05\x06\x07"},   // paeth picks up, then left, then left
    };
    for (const Case& c : cases) {
        const std::string data = std::string("\x00\x01\x02\x03", 4) + char(c.type) + c.second_row;
        EXPECT_EQ(apply_predictor(data, png(3)), "\x01\x02\x03" + c.expected) << int(c.type);
    }
}

TEST(Predictor, TiffDifferencesAndRowsBeyondTheLimitStayAsStored) {
    const FilterParams tiff{2, 1, 8, 4, 1};
    EXPECT_EQ(apply_predictor("\x01\x01\x01\x01\x02\x02\x02\x02", tiff), "\x01\x02\x03\x04\x02\x04\x06\x08");
    const FilterParams tiff16{2, 1, 16, 2, 1};
    EXPECT_EQ(apply_predictor("\x01\x00\x00\xff"s, tiff16), "\x01\x00\x01\xff"s);
    // Parameters the format does not allow, and rows past the limit, keep
    // the data as it came.
    const std::string data = "\x02\x01\x02";
    EXPECT_EQ(apply_predictor(data, png(static_cast<std::int64_t>(limits::kMaxPredictorRowBytes) + 1)), data);
    EXPECT_EQ(apply_predictor(data, png(1, 1, 3)), data);
    EXPECT_EQ(apply_predictor(data, png(0)), data);
    // At the limit the row is decoded (a partial last row is dropped).
    EXPECT_EQ(apply_predictor(data, png(static_cast<std::int64_t>(limits::kMaxPredictorRowBytes))), "");
}

TEST(DecodeFilters, ParametersFollowTheirFilterInAnArrayAndFlateKeepsWhatInflated) {
    const std::string rows = std::string("\x02\x01\x02\x02\x01\x01", 6);
    const std::string packed = t::ascii_hex(t::flate(rows));
    const PdfObject chain = PdfObject::array({PdfObject::name("ASCIIHexDecode"), PdfObject::name("FlateDecode")});
    PdfDict predicted;
    predicted.push_back({"Predictor", PdfObject::integer(12)});
    predicted.push_back({"Columns", PdfObject::integer(2)});
    const PdfObject parms = PdfObject::array({PdfObject(), PdfObject::dictionary(predicted)});
    auto decoded = decode_filters(packed, &chain, &parms);
    ASSERT_TRUE(decoded.ok());
    EXPECT_EQ(*decoded, "\x01\x02\x02\x03"s);

    // A wrong checksum fails the compact reader's Flate and not the full one's.
    const std::string z = t::flate(text_bytes(3000));
    const std::string bad = z.substr(0, z.size() - 4) + "\0\0\0\0"s;
    const PdfObject flate = PdfObject::name("FlateDecode");
    EXPECT_FALSE(decompress_flate(bad).ok());
    auto kept = decode_filters(bad, &flate, nullptr);
    ASSERT_TRUE(kept.ok());
    EXPECT_EQ(*kept, text_bytes(3000));
}

} // namespace
} // namespace quarvel

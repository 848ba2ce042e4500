#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "fonts/font.h"
#include "resource_limits.h"

namespace quarvel {
namespace {

using namespace std::string_literals;

std::optional<std::string> look(const CMap& m, std::string_view code) { return m.lookup(code); }

struct HexCase {
    std::string token;
    std::string bytes;
};

class HexTokens : public ::testing::TestWithParam<HexCase> {};

TEST_P(HexTokens, DecodesPairsOfCharacters) {
    EXPECT_EQ(parse_hex_tokens(GetParam().token), GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HexTokens,
    ::testing::Values(HexCase{"<0041>", "\x00\x41"s}, HexCase{"<41>", "\x41"},
                      HexCase{"<041>", "\x04"}, HexCase{"<>", ""}, HexCase{"<4>", ""},
                      HexCase{"[<0041>", "\x00\x00\x41"s}, HexCase{"<<aBfF>>", "\xAB\xFF"},
                      // Non-digits count as 0; a non-ASCII character is one digit.
                      HexCase{"<zz9g>", "\x00\x90"s}, HexCase{"<\xC3\xA9"
                                                              "1>",
                                                              "\x01"}));

TEST(FindToken, FindsAtOrAfterPosition) {
    EXPECT_EQ(find_token("abcabc", 0, "bc"), 1u);
    EXPECT_EQ(find_token("abcabc", 2, "bc"), 4u);
    EXPECT_EQ(find_token("abcabc", 5, "bc"), std::nullopt);
    EXPECT_EQ(find_token("abc", 3, "c"), std::nullopt);
    EXPECT_EQ(find_token("abc", 7, "c"), std::nullopt);
}

TEST(ParseCmap, CharSectionsPairTokensAndLaterPairWins) {
    const CMap m = parse_cmap("2 beginbfchar <01> <0041> <02> <0042> endbfchar\n"
                              "beginbfchar <01> <0061> <03> endbfchar\n"
                              "beginbfchar <> <0041> <04> <> endbfchar");
    EXPECT_EQ(look(m, "\x01"), "\x00\x61"s);
    EXPECT_EQ(look(m, "\x02"), "\x00\x42"s);
    EXPECT_EQ(look(m, "\x03"), std::nullopt); // odd last token
    EXPECT_EQ(look(m, "\x04"), std::nullopt); // empty destination
    EXPECT_EQ(m.char_map.size(), 2u);
    EXPECT_TRUE(m.ranges.empty());
}

TEST(ParseCmap, TokensSplitAtUnicodeWhiteSpaceOnly) {
    // Tab, form feed, NBSP and an ideographic space separate tokens; NUL
    // does not, so "<05>\0<0045>" is one token.
    const CMap m = parse_cmap("beginbfchar\t<01>\f<0041>\xC2\xA0<02>\xE3\x80\x80<0042>\n"
                              "<05>\0<0045> <06> <0046> endbfchar"s);
    EXPECT_EQ(look(m, "\x01"), "\x00\x41"s);
    EXPECT_EQ(look(m, "\x02"), "\x00\x42"s);
    EXPECT_EQ(look(m, "\x06"), std::nullopt);
}

TEST(ParseCmap, AdjacentHexStringsAreSeparateTokens) {
    const CMap m = parse_cmap("beginbfchar <01><0041>\n<02> <0042>endbfchar\n"
                              "beginbfrange <21><22><0054> <30> <31><0061>endbfrange");
    EXPECT_EQ(look(m, "\x01"), "\x00\x41"s);
    EXPECT_EQ(look(m, "\x02"), "\x00\x42"s);
    EXPECT_EQ(look(m, "\x22"), "\x00\x55"s);
    EXPECT_EQ(look(m, "\x31"), "\x00\x62"s);
    // Only '>' directly followed by '<' separates: "[<0041>" stays whole.
    EXPECT_EQ(parse_cmap("beginbfchar <05> [<0041>] endbfchar").lookup("\x05"),
              "\x00\x00\x41\x00"s);
}

TEST(ParseCmap, MissingEndKeywordReadsToEndAndStillReadsRanges) {
    const CMap m = parse_cmap("beginbfrange <10> <12> <0030> endbfrange\n"
                              "beginbfchar <01> <0041>");
    EXPECT_EQ(look(m, "\x01"), "\x00\x41"s);
    EXPECT_EQ(look(m, "\x11"), "\x00\x31"s);

    const CMap open_range = parse_cmap("beginbfrange <20> <22> <0041> <30> <31>");
    ASSERT_EQ(open_range.ranges.size(), 1u);
    EXPECT_EQ(look(open_range, "\x21"), "\x00\x42"s);
}

TEST(ParseCmap, RangeArrayFormIsReadAsPlainTokens) {
    const CMap m = parse_cmap("beginbfrange <0000> <0002> [<0041> <0042> <0043>] endbfrange");
    ASSERT_EQ(m.ranges.size(), 1u);
    EXPECT_EQ(m.ranges[0].low, "\x00\x00"s);
    EXPECT_EQ(m.ranges[0].high, "\x00\x02"s);
    EXPECT_EQ(m.ranges[0].dest, "\x00\x00\x41"s);
}

TEST(ParseCmap, InvalidUtf8AnywhereGivesEmptyMap) {
    const CMap m = parse_cmap("% comment \xFF\nbeginbfchar <01> <0041> endbfchar\n"
                              "beginbfrange <20> <22> <0041> endbfrange");
    EXPECT_TRUE(m.char_map.empty());
    EXPECT_TRUE(m.ranges.empty());
    // The same text with valid UTF-8 in the comment is read.
    EXPECT_EQ(parse_cmap("% \xC3\xA9\nbeginbfchar <01> <0041> endbfchar").char_map.size(), 1u);
}

TEST(ParseCmap, EntriesOfEachKindStopAtTheLimit) {
    constexpr std::size_t kMax = limits::kMaxCMapEntries;
    std::string text = "beginbfchar\n";
    char buf[48];
    for (std::size_t i = 0; i <= kMax; ++i) {
        std::snprintf(buf, sizeof buf, "<%06zX> <0041>\n", i);
        text += buf;
    }
    text += "endbfchar\nbeginbfrange\n";
    for (std::size_t i = 0; i <= kMax; ++i) {
        std::snprintf(buf, sizeof buf, "<%06zX> <%06zX> <0041>\n", i, i);
        text += buf;
    }
    text += "endbfrange\n";
    const CMap m = parse_cmap(text);
    EXPECT_EQ(m.char_map.size(), kMax);
    EXPECT_EQ(m.ranges.size(), kMax);
    const auto code = [](std::size_t i) {
        return std::string{static_cast<char>(i >> 16), static_cast<char>((i >> 8) & 0xFF),
                           static_cast<char>(i & 0xFF)};
    };
    const std::string last = code(kMax - 1), past = code(kMax);
    EXPECT_TRUE(m.char_map.contains(last));
    EXPECT_FALSE(m.char_map.contains(past));
    EXPECT_EQ(m.ranges.back().low, last);
}

TEST(ParseCmap, RangeIndexAgreesWithScanningInStreamOrder) {
    // Many overlapping one- and two-byte ranges, a few inverted or of mixed
    // lengths, so that the index is built and first-match order matters.
    std::string text = "beginbfrange\n";
    std::uint32_t seed = 12345;
    const auto rnd = [&seed](std::uint32_t n) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) % n;
    };
    char buf[64];
    for (int i = 0; i < 400; ++i) {
        const std::uint32_t lo = rnd(65536), span = rnd(i % 10 == 0 ? 4000 : 40);
        if (i % 3 == 0) {
            std::snprintf(buf, sizeof buf, "<%02X> <%02X> <%04X>\n", lo & 0xFF,
                          (lo + span) & 0xFF, rnd(65536));
        } else if (i % 17 == 0) {
            std::snprintf(buf, sizeof buf, "<%04X> <%02X> <0041>\n", lo, lo & 0xFF);
        } else {
            std::snprintf(buf, sizeof buf, "<%04X> <%04X> <%04X>\n", lo, (lo + span) & 0xFFFF,
                          rnd(65536));
        }
        text += buf;
    }
    text += "endbfrange";
    const CMap indexed = parse_cmap(text);
    ASSERT_TRUE(indexed.range_index);
    CMap scanned = indexed;
    scanned.range_index.reset();
    for (std::uint32_t c = 0; c < 65536; ++c) {
        const std::string two{static_cast<char>(c >> 8), static_cast<char>(c & 0xFF)};
        ASSERT_EQ(indexed.lookup(two), scanned.lookup(two)) << c;
        ASSERT_EQ(indexed.lookup_char(two), scanned.lookup_char(two)) << c;
        if (c < 256) {
            ASSERT_EQ(indexed.lookup(two.substr(1)), scanned.lookup(two.substr(1))) << c;
        }
    }
}

struct RangeCase {
    std::string name;
    std::string cmap;
    std::string code;
    std::optional<std::string> dest;
};

class RangeLookup : public ::testing::TestWithParam<RangeCase> {};

TEST_P(RangeLookup, Arithmetic) {
    const RangeCase& c = GetParam();
    const CMap m = parse_cmap(c.cmap);
    EXPECT_EQ(m.lookup(c.code), c.dest);
    // The allocation-free path agrees with lookup + decode_destination.
    const std::optional<char32_t> expected =
        c.dest ? decode_destination(*c.dest) : std::optional<char32_t>{};
    EXPECT_EQ(m.lookup_char(c.code), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RangeLookup,
    ::testing::Values(
        RangeCase{"SameLength", "beginbfrange <0020> <007E> <0020> endbfrange", "\x00\x41"s,
                  "\x00\x41"s},
        RangeCase{"LengthMustMatch", "beginbfrange <0020> <007E> <0020> endbfrange", "\x41",
                  std::nullopt},
        RangeCase{"AboveHigh", "beginbfrange <0020> <007E> <0020> endbfrange", "\x00\x7F"s,
                  std::nullopt},
        RangeCase{"CarryIntoFirstByte", "beginbfrange <10> <1F> <00FF> endbfrange", "\x11",
                  "\x01\x00"s},
        RangeCase{"CarryOutDropped", "beginbfrange <00> <FF> <FFFF> endbfrange", "\x02",
                  "\x00\x01"s},
        RangeCase{"OneByteDestinationWraps", "beginbfrange <00> <FF> <F0> endbfrange", "\x20",
                  "\x10"},
        RangeCase{"OverlapFirstInStreamWins",
                  "beginbfrange <20> <7E> <0100> endbfrange beginbfrange <41> <41> <0200> "
                  "endbfrange",
                  "\x41", "\x01\x21"s},
        RangeCase{"BfcharWinsWhateverTheOrder",
                  "beginbfrange <41> <41> <0200> endbfrange beginbfchar <41> <0061> endbfchar",
                  "\x41", "\x00\x61"s},
        RangeCase{"SurrogatePairDestinationCarries",
                  "beginbfrange <00> <10> <D83DDE00> endbfrange", "\x05", "\xD8\x3D\xDE\x05"s},
        // A range the CMap format does not allow: low and high differ in
        // their first byte, and the code's last byte is below low's. The
        // offset is the numeric distance 01 00 - 00 FF = 1.
        RangeCase{"IrregularRangeUsesNumericDistance",
                  "beginbfrange <00FF> <0110> <0041> endbfrange", "\x01\x00"s, "\x00\x42"s},
        RangeCase{"LongDestinationKeepsItsLength",
                  "beginbfrange <01> <05> <0066006900FF> endbfrange", "\x03",
                  "\x00\x66\x00\x69\x01\x01"s}),
    [](const auto& info) { return info.param.name; });

struct DestCase {
    std::string name;
    std::string dest;
    std::optional<char32_t> ch;
};

class Destination : public ::testing::TestWithParam<DestCase> {};

TEST_P(Destination, Shapes) { EXPECT_EQ(decode_destination(GetParam().dest), GetParam().ch); }

INSTANTIATE_TEST_SUITE_P(
    Cases, Destination,
    ::testing::Values(DestCase{"Empty", "", std::nullopt}, DestCase{"OneByte", "\xE9", 0xE9},
                      DestCase{"OneByteNul", "\x00"s, 0x00},
                      DestCase{"Utf16Unit", "\x20\xAC", 0x20AC},
                      DestCase{"LoneLowSurrogate", "\xDC\x00"s, std::nullopt},
                      DestCase{"LoneHighSurrogate", "\xD8\x3D", std::nullopt},
                      DestCase{"ThreeBytes", "\x01\xF6\x00"s, 0x1F600},
                      DestCase{"ThreeBytesAboveMax", "\x11\x00\x00"s, std::nullopt},
                      DestCase{"SurrogatePair", "\xD8\x3D\xDE\x00"s, 0x1F600},
                      DestCase{"PairWithBadLowHalf", "\xD8\x3D\x00\x41"s, std::nullopt},
                      DestCase{"ThirtyTwoBit", "\x00\x01\xF6\x00"s, 0x1F600},
                      DestCase{"TwoCharacters", "\x00\x66\x00\x69"s, std::nullopt},
                      DestCase{"FiveBytes", "\x00\x00\x00\x00\x41"s, std::nullopt}),
    [](const auto& info) { return info.param.name; });

// --- real files ---------------------------------------------------------------

std::string read_file(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// zlib-inflates `data`, or nothing when it is not a complete zlib stream.
std::optional<std::string> inflate_all(std::string_view data) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return std::nullopt;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    std::string out;
    char buf[1 << 15];
    int rc = Z_OK;
    while (rc == Z_OK && out.size() < (std::size_t{64} << 20)) {
        z.next_out = reinterpret_cast<Bytef*>(buf);
        z.avail_out = sizeof buf;
        rc = inflate(&z, Z_NO_FLUSH);
        out.append(buf, sizeof buf - z.avail_out);
        if (rc == Z_BUF_ERROR && z.avail_in == 0) break;
    }
    inflateEnd(&z);
    if (rc != Z_STREAM_END) return std::nullopt;
    return out;
}

// The ToUnicode CMaps of a file, found by inflating every stream body. Streams
// are never inside object streams, so this finds them without reading the
// cross-reference data.
std::vector<std::string> cmap_texts(std::string_view pdf) {
    std::vector<std::string> out;
    std::size_t pos = 0;
    while ((pos = pdf.find("stream", pos)) != std::string_view::npos) {
        std::size_t start = pos + 6;
        pos = start;
        if (pdf.substr(pos - 9, 3) == "end") continue;
        if (pdf.substr(start, 2) == "\r\n") {
            start += 2;
        } else if (pdf.substr(start, 1) == "\n") {
            start += 1;
        } else {
            continue;
        }
        const std::size_t end = pdf.find("endstream", start);
        if (end == std::string_view::npos) break;
        const std::string_view body = pdf.substr(start, end - start);
        std::optional<std::string> text = inflate_all(body);
        if (!text) text = std::string(body);
        if (text->find("begincmap") != std::string::npos &&
            text->find("beginbf") != std::string::npos) {
            out.push_back(std::move(*text));
        }
        pos = end + 9;
    }
    return out;
}

struct CorpusFile {
    std::string name;
    bool tounicode = false;
    bool encrypted = false;
};

std::vector<CorpusFile> corpus_files() {
    std::vector<CorpusFile> out;
    std::ifstream in(std::filesystem::path(QUARVEL_CORPUS_DIR) / "MANIFEST.tsv");
    std::string line;
    std::vector<std::string> header;
    while (std::getline(in, line)) {
        std::vector<std::string> cols;
        std::stringstream s(line);
        std::string col;
        while (std::getline(s, col, '\t')) cols.push_back(col);
        if (header.empty()) {
            header = cols;
            continue;
        }
        CorpusFile f;
        for (std::size_t i = 0; i < cols.size() && i < header.size(); ++i) {
            if (header[i] == "file") f.name = cols[i];
            if (header[i] == "tounicode") f.tounicode = cols[i] == "y";
            if (header[i] == "encrypted") f.encrypted = cols[i] != "n";
        }
        out.push_back(f);
    }
    return out;
}

TEST(CorpusCmaps, RealToUnicodeMapsDecodePlausibly) {
    if (!std::filesystem::exists(std::filesystem::path(QUARVEL_CORPUS_DIR) / "MANIFEST.tsv")) {
        GTEST_SKIP() << "corpus not present";
    }
    std::size_t files = 0, maps = 0, codes = 0, decoded = 0;
    bool adjacent_triples_read = false;
    for (const CorpusFile& f : corpus_files()) {
        if (!f.tounicode || f.encrypted) continue;
        const std::string pdf = read_file(std::filesystem::path(QUARVEL_CORPUS_DIR) / f.name);
        std::size_t file_codes = 0, file_decoded = 0, file_maps = 0;
        for (const std::string& text : cmap_texts(pdf)) {
            const CMap m = parse_cmap(text);
            ++file_maps;
            // This file writes its bfrange triples as "<21><21><0054>".
            if (f.name == "pdfjs-tracemonkey.pdf" && m.lookup_char("\x21") == U'T') {
                adjacent_triples_read = true;
            }
            std::vector<std::string> probe;
            for (const auto& [code, dest] : m.char_map) probe.push_back(code);
            // A range written in array form leaves the triples after it
            // misaligned, so only well-formed triples are probed.
            for (const CMap::Range& r : m.ranges) {
                if (r.low.size() != r.high.size() || r.low > r.high) continue;
                probe.push_back(r.low);
                probe.push_back(r.high);
            }
            for (const std::string& code : probe) {
                const std::optional<std::string> dest = m.lookup(code);
                ASSERT_TRUE(dest) << f.name;
                const std::optional<char32_t> ch = m.lookup_char(code);
                EXPECT_EQ(ch, decode_destination(*dest)) << f.name;
                ++file_codes;
                if (ch && *ch >= 0x20 && *ch != 0xFFFD) ++file_decoded;
            }
        }
        // Every file marked as having ToUnicode maps yields some (except
        // the few whose maps are LZW-compressed or unreachable by a scan).
        if (file_maps > 0) ++files;
        maps += file_maps;
        codes += file_codes;
        decoded += file_decoded;
    }
    EXPECT_GE(files, 60u);
    EXPECT_TRUE(adjacent_triples_read);
    EXPECT_GE(maps, 300u);
    // Nearly every mapped code gives a printable character; the rest are
    // ligatures written as two characters and maps onto U+0000.
    EXPECT_GE(static_cast<double>(decoded), 0.95 * static_cast<double>(codes));
}

} // namespace
} // namespace quarvel

namespace quarvel {
namespace {

// --- the full reader's parse ---------------------------------------------------

CMap full_cmap(std::string_view text) { return parse_cmap(text, ReadOptions::full_reader()); }

TEST(FullCMap, ReadsEncodingCMapSections) {
    const CMap m = full_cmap("%!PS-Adobe-3.0 Resource-CMap\n/CMapName /Test-V def /WMode 1 def\n"
                             "(a string with endcidrange in it) pop\n"
                             "/90ms-RKSJ-V usecmap\n"
                             "2 begincodespacerange <00> <80> <8140> <9ffc> endcodespacerange\n"
                             "1 begincidrange <20> <7e> 1 endcidrange\n"
                             "1 begincidchar <8140> 633 endcidchar\n");
    ASSERT_EQ(m.codespace.size(), 2u);
    EXPECT_EQ(m.codespace[1].length, 2);
    EXPECT_EQ(m.codespace[1].low[0], 0x81);
    EXPECT_EQ(m.codespace[1].high[1], 0xFC);
    ASSERT_EQ(m.cid_ranges.size(), 2u);
    EXPECT_EQ(m.cid_ranges[0].high, 0x7Eu);
    EXPECT_EQ(m.cid_ranges[1].cid, 633u);
    EXPECT_EQ(m.usecmap, "90ms-RKSJ-V");
    EXPECT_TRUE(m.vertical);
}

// The array form gives consecutive codes their own destinations and stops at
// the range's end; entries after it keep their alignment. The compact parse
// reads the same text as it always has.
TEST(FullCMap, ArrayRangesAndSeveralCharacters) {
    const std::string_view text = "beginbfrange <41> <42> [<0066 0069> <D835 DC00> <0058>]\n"
                                  "<43> <44> <0061> endbfrange\n"
                                  "beginbfchar <45> <0000> <46> <00DF> endbfchar";
    const CMap m = full_cmap(text);
    EXPECT_EQ(m.lookup_text("A"), U"fi");
    EXPECT_EQ(m.lookup_text("B"), U"\U0001D400");
    EXPECT_EQ(m.lookup_text("D"), U"b");
    EXPECT_FALSE(m.lookup_text("E")); // U+0000 is no text
    EXPECT_EQ(m.lookup_text("F"), U"\u00DF");
    EXPECT_EQ(parse_cmap(text, ReadOptions::specified()).ranges.size(),
              parse_cmap(text).ranges.size());
}

TEST(FullCMap, DestinationText) {
    EXPECT_EQ(destination_text("A"), U"A");
    EXPECT_EQ(destination_text(std::string_view("\x01\xF6\x00", 3)), U"\U0001F600");
    EXPECT_EQ(destination_text(std::string_view("\x00\x66\x00\x66\x00\x69", 6)), U"ffi");
    // An unpaired surrogate is dropped.
    EXPECT_EQ(destination_text(std::string_view("\xD8\x00\x00\x41", 4)), U"A");
}

} // namespace
} // namespace quarvel

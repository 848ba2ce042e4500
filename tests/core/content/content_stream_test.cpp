#include "content/content_stream.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>

#include "resource_limits.h"
#include "syntax/object.h"

namespace quarvel {
namespace {

using namespace std::string_literals;

// A compact, comparable picture of an operand: I12, R0.5, S'ab', N'F1',
// [I1 S'x'], with non-printable bytes as \xNN.
std::string describe(const Operand& o) {
    auto quoted = [](std::string_view bytes) {
        std::string out = "'";
        for (unsigned char c : bytes) {
            if (c >= 0x20 && c < 0x7F && c != '\\') {
                out.push_back(static_cast<char>(c));
            } else {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\x%02X", c);
                out += buf;
            }
        }
        return out + "'";
    };
    switch (o.kind()) {
    case Operand::Kind::Integer:
        return "I" + std::to_string(o.integer_value());
    case Operand::Kind::Real: {
        char buf[40];
        std::snprintf(buf, sizeof buf, "R%.17g", o.real_value());
        return buf;
    }
    case Operand::Kind::String:
        return "S" + quoted(o.bytes());
    case Operand::Kind::Name:
        return "N" + quoted(o.bytes());
    case Operand::Kind::Array: {
        std::string out = "[";
        for (const Operand& item : o.items()) {
            if (out.size() > 1) out += " ";
            out += describe(item);
        }
        return out + "]";
    }
    }
    return "?";
}

std::string lex_first(std::string_view data, std::size_t* end = nullptr) {
    std::size_t pos = 0;
    static OperandArena arena;
    arena.reset();
    auto operand = parse_operand(data, pos, arena);
    if (end) *end = pos;
    return operand ? describe(*operand) : "none";
}

struct LexCase {
    std::string input;
    std::string expected;
};

class OperandLexing : public ::testing::TestWithParam<LexCase> {};

TEST_P(OperandLexing, FirstOperandMatches) {
    EXPECT_EQ(lex_first(GetParam().input), GetParam().expected) << GetParam().input;
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, OperandLexing,
    ::testing::Values(LexCase{"72", "I72"}, LexCase{"72.5", "R72.5"}, LexCase{"+7", "I7"},
                      LexCase{"-0", "I0"}, LexCase{"1.", "R1"}, LexCase{".5", "R0.5"},
                      LexCase{"-.5", "R-0.5"}, LexCase{"+.25", "R0.25"}, LexCase{"1e5", "R100000"},
                      LexCase{"2.5E-3", "R0.0025000000000000001"},
                      LexCase{"0.1", "R0.10000000000000001"}, LexCase{".", "none"},
                      LexCase{"-.", "none"}, LexCase{"1e", "none"}, LexCase{"1e+", "none"},
                      LexCase{"-", "none"}, LexCase{"9223372036854775807", "I9223372036854775807"},
                      LexCase{"-9223372036854775808", "I-9223372036854775808"},
                      LexCase{"9223372036854775808", "none"},
                      LexCase{"12345678901234567890", "none"}, LexCase{"1e400", "Rinf"},
                      LexCase{"-1e400", "R-inf"}, LexCase{"1e-400", "R0"},
                      LexCase{"0.00001e-400", "R0"}, LexCase{"5\x0c", "I5"}, LexCase{"3-4", "I3"}));

INSTANTIATE_TEST_SUITE_P(
    LiteralStrings, OperandLexing,
    ::testing::Values(LexCase{R"((a\(b\)c))", "S'a(b)c'"}, LexCase{"(a(b)c)", "S'a(b)c'"},
                      LexCase{R"((\101))", "S'A'"}, LexCase{R"((\0053))", "S'\\x053'"},
                      LexCase{R"((\777))", "S'\\xFF'"}, LexCase{R"((\8))", "S'\\x08'"},
                      LexCase{R"((\98))", "S'\\x098'"},
                      LexCase{R"((\n\r\t\\))", "S'\\x0A\\x0D\\x09\\x5C'"},
                      LexCase{R"((\b\f))", "S'bf'"}, LexCase{"(a\\\nb)", "S'a\\x0Ab'"},
                      LexCase{"(a\\", "S'a'"}, LexCase{"(open (nested)", "S'open (nested)'"},
                      LexCase{"()", "S''"}, LexCase{"(\x80\xff)", "S'\\x80\\xFF'"}));

INSTANTIATE_TEST_SUITE_P(HexStringsAndNames, OperandLexing,
                         ::testing::Values(LexCase{"<48 65 6C6C 6F>", "S'Hello'"},
                                           LexCase{"<4>", "S'@'"}, LexCase{"<zz>", "S''"},
                                           LexCase{"<", "S''"}, LexCase{"<414", "S'A@'"},
                                           LexCase{"<4a4B>", "S'JK'"}, LexCase{"/F1 12", "N'F1'"},
                                           LexCase{"/F1\x0c"
                                                   "12 Tf",
                                                   "N'F1\\x0C12'"},
                                           LexCase{"/A#20B", "N'A#20B'"}, LexCase{"/", "N''"},
                                           LexCase{"/(x)", "N''"},
                                           LexCase{"/a{b}\xe9/c", "N'a{b}\\xE9'"}));

INSTANTIATE_TEST_SUITE_P(
    Arrays, OperandLexing,
    ::testing::Values(LexCase{"[(A) -200 (B)]", "[S'A' I-200 S'B']"},
                      LexCase{"[true (x)]", "[S'x']"},
                      LexCase{"[1 [2 [3]] 4]", "[I1 [I2 [I3]] I4]"}, LexCase{"[1 2", "[I1 I2]"},
                      LexCase{"[1 [2", "[I1 [I2]]"}, LexCase{"[1 % ]\n 2]", "[I1 I2]"},
                      LexCase{"[ % end", "[]"}, LexCase{"[<</A 1>>]", "[N'A' I1]"},
                      LexCase{"[(])]", "[S']']"}, LexCase{"[]", "[]"}));

TEST(OperandLexing, BytesThatFormNoOperandStillAdvance) {
    std::size_t end = 0;
    EXPECT_EQ(lex_first("<<", &end), "none");
    EXPECT_EQ(end, 2u);
    EXPECT_EQ(lex_first(")x", &end), "none");
    EXPECT_EQ(end, 1u);
    EXPECT_EQ(lex_first("\x0c", &end), "none");
    EXPECT_EQ(end, 1u);
    // A doubled sign: the first '-' is a lone sign, then -5 follows.
    std::string_view doubled = "--5";
    EXPECT_EQ(lex_first(doubled, &end), "none");
    EXPECT_EQ(end, 1u);
    EXPECT_EQ(lex_first(doubled.substr(end)), "I-5");
    // "1e" consumes both bytes even though it yields nothing.
    EXPECT_EQ(lex_first("1e Tz", &end), "none");
    EXPECT_EQ(end, 2u);
}

std::size_t array_depth(const Operand& o) {
    std::size_t depth = 0;
    const Operand* level = &o;
    while (level->is_array()) {
        ++depth;
        if (level->items().empty()) break;
        level = &level->items().back();
    }
    return depth;
}

TEST(OperandLexing, ArraysNestUpToTheLimitAndDeeperOnesAreDroppedWhole) {
    const std::size_t limit = limits::kMaxContentArrayDepth;
    OperandArena arena;
    std::string at_limit = std::string(limit, '[') + std::string(limit, ']') + " (after)";
    std::size_t pos = 0;
    auto operand = parse_operand(at_limit, pos, arena);
    ASSERT_TRUE(operand);
    EXPECT_EQ(array_depth(*operand), limit);
    EXPECT_EQ(pos, 2 * limit);

    // One level more: the innermost array (with its 1) is read and dropped,
    // and the brackets still pair up so lexing resumes after them.
    std::string past = std::string(limit + 1, '[') + "1" + std::string(limit + 1, ']') + "(after)";
    pos = 0;
    operand = parse_operand(past, pos, arena);
    ASSERT_TRUE(operand);
    EXPECT_EQ(array_depth(*operand), limit);
    EXPECT_EQ(past.substr(pos), "(after)");

    // Millions of open brackets neither recurse nor keep memory per level.
    std::string hostile(4'000'000, '[');
    pos = 0;
    operand = parse_operand(hostile, pos, arena);
    ASSERT_TRUE(operand);
    EXPECT_EQ(array_depth(*operand), limit);
}

TEST(OperandLexing, DecimalsReadInOnePassEqualTheFullConversionBitForBit) {
    // Short decimals take the lexer's own path, long ones the full
    // conversion; where they meet (19 digits, 2^53) both must agree.
    std::mt19937_64 rng(7);
    OperandArena arena;
    for (int round = 0; round < 200'000; ++round) {
        std::string token = rng() % 4 == 0 ? "-" : "";
        const std::size_t digits = 1 + rng() % 24;
        const std::size_t point = rng() % (digits + 1);
        for (std::size_t i = 0; i < digits; ++i) {
            if (i == point) token += '.';
            token += static_cast<char>('0' + (i == 0 && rng() % 2 ? 9 : rng() % 10));
        }
        if (point == digits) token += '.';
        std::size_t pos = 0;
        const auto operand = parse_operand(token + " ", pos, arena);
        const std::optional<double> expected = real_from_token(token);
        ASSERT_TRUE(operand && expected) << token;
        ASSERT_EQ(operand->kind(), Operand::Kind::Real) << token;
        ASSERT_EQ(std::signbit(operand->real_value()), std::signbit(*expected)) << token;
        ASSERT_EQ(operand->real_value(), *expected) << token;
    }
}

TEST(OperandLexing, OperandStorageIsBoundedAndAnArrayPastItIsDroppedWhole) {
    constexpr std::size_t fits = limits::kMaxContentOperandBytes / sizeof(Operand);
    OperandArena arena;
    for (const std::size_t count : {fits, fits + 1}) {
        std::string data = "[";
        data.reserve(2 * count + 16);
        for (std::size_t i = 0; i < count; ++i)
            data += "0 ";
        data += "] (next)";
        arena.reset();
        std::size_t pos = 0;
        auto array = parse_operand(data, pos, arena);
        ASSERT_EQ(array.has_value(), count == fits) << count;
        if (array) {
            EXPECT_EQ(array->items().size(), count);
        }
        // Lexing goes on after the dropped array; strings without escapes
        // need no storage.
        EXPECT_EQ(data.substr(pos), " (next)");
        ++pos;
        auto next = parse_operand(data, pos, arena);
        ASSERT_TRUE(next);
        EXPECT_EQ(next->bytes(), "next");
    }
}

// --- Operators and state -----------------------------------------------------

TextState run(std::string_view content, ContentResult* out = nullptr, const FontMap& fonts = {},
              const XObjectMap& xobjects = {}) {
    TextState state;
    ContentResult result;
    scan_content_stream_into(content, state, result, fonts, xobjects, 0);
    if (out) *out = std::move(result);
    return state;
}

struct StateCase {
    std::string content;
    void (*expect)(TextState&); // applied to a fresh state: the expected one
};

void PrintTo(const StateCase& c, std::ostream* os) {
    *os << c.content;
}

class OperatorEffects : public ::testing::TestWithParam<StateCase> {};

TEST_P(OperatorEffects, LeaveExactlyTheExpectedState) {
    TextState expected;
    GetParam().expect(expected);
    // Cases that leave tm apart from tlm set it; the others expect tm = tlm.
    if (expected.tm == Matrix{}) expected.tm = expected.tlm;
    TextState actual = run(GetParam().content);
    EXPECT_EQ(actual.font_name, expected.font_name);
    EXPECT_EQ(actual.gs_stack.size(), expected.gs_stack.size());
    EXPECT_EQ(actual.ctm, expected.ctm);
    EXPECT_EQ(actual.tlm, expected.tlm);
    EXPECT_EQ(actual.tm, expected.tm);
    EXPECT_EQ(actual.font_size, expected.font_size);
    EXPECT_EQ(actual.h_scale, expected.h_scale);
    EXPECT_EQ(actual.char_spacing, expected.char_spacing);
    EXPECT_EQ(actual.word_spacing, expected.word_spacing);
    EXPECT_EQ(actual.leading, expected.leading);
}

INSTANTIATE_TEST_SUITE_P(
    Content, OperatorEffects,
    ::testing::Values(
        StateCase{"2 0 0 2 0 0 cm 10 10 Td",
                  [](TextState& s) {
                      s.ctm = {2, 0, 0, 2, 0, 0};
                      s.tlm = {1, 0, 0, 1, 10, 10};
                  }},
        StateCase{"3 0 0 3 0 0 Tm 10 10 Td 10 10 Td",
                  [](TextState& s) { s.tlm = {3, 0, 0, 3, 20, 20}; }},
        StateCase{"1 0 0 1 50 50 cm 2 0 0 2 10 10 cm",
                  [](TextState& s) { s.ctm = {2, 0, 0, 2, 110, 110}; }},
        StateCase{"1 0 0 1 5 7 cm 0 1 -1 0 0 0 cm",
                  [](TextState& s) { s.ctm = {0, 1, -1, 0, -7, 5}; }},
        StateCase{"q 1 0 0 1 50 0 cm Q", [](TextState&) {}},
        StateCase{"q q 1 0 0 1 50 0 cm Q", [](TextState& s) { s.gs_stack.push_back({}); }},
        StateCase{"Q Q 1 0 0 1 5 0 cm", [](TextState& s) { s.ctm.e = 5; }},
        StateCase{"q /F2 9 Tf 3 Tc Q",
                  [](TextState& s) {
                      s.font_name = "F2";
                      s.font_size = 9;
                      s.char_spacing = 3;
                  }},
        StateCase{"/F1 10 Tf 12 Tf",
                  [](TextState& s) {
                      s.font_name = "F1";
                      s.font_size = 10;
                  }},
        StateCase{"(F1) 10 Tf", [](TextState& s) { s.font_size = 10; }},
        StateCase{"<< /F2 >> 9 Tf",
                  [](TextState& s) {
                      s.font_name = "F2";
                      s.font_size = 9;
                  }},
        StateCase{"/F1\x0c"
                  "12 8 Tf",
                  [](TextState& s) {
                      s.font_name = "F1\x0c"
                                    "12";
                      s.font_size = 8;
                  }},
        StateCase{"5 TL T* T*",
                  [](TextState& s) {
                      s.leading = 5;
                      s.tlm.f = -10;
                  }},
        StateCase{"3 -14 TD T*",
                  [](TextState& s) {
                      s.leading = 14;
                      s.tlm = {1, 0, 0, 1, 3, -28};
                  }},
        StateCase{"150 Tz 2 Tc 3.5 Tw 12 TL",
                  [](TextState& s) {
                      s.h_scale = 1.5;
                      s.char_spacing = 2;
                      s.word_spacing = 3.5;
                      s.leading = 12;
                  }},
        StateCase{"1 2 true Td", [](TextState&) {}},
        StateCase{"12345678901234567890 Tz", [](TextState&) {}},
        StateCase{"50 /X Tz", [](TextState& s) { s.h_scale = 0; }},
        StateCase{"1 2 3 4 5 6 7 8 9 10 11 12 Tm",
                  [](TextState& s) { s.tlm = {7, 8, 9, 10, 11, 12}; }},
        StateCase{"BT 2 0 0 2 5 5 Tm ET 8 Tc BT", [](TextState& s) { s.char_spacing = 8; }},
        StateCase{"2 0 0 2 5 5 Tm ET 1 1 Td", [](TextState& s) { s.tlm = {2, 0, 0, 2, 6, 6}; }},
        StateCase{"1 1 Td 4 TL 0.5 0.25 (x) \"",
                  [](TextState& s) {
                      s.leading = 4;
                      s.word_spacing = 0.5;
                      s.char_spacing = 0.25;
                      s.tlm = {1, 0, 0, 1, 1, -3};
                      s.tm = s.tlm;
                      s.tm.e += 12 * 0.6 + 0.25;
                  }},
        StateCase{"0.25 (x) \"", [](TextState&) {}},
        StateCase{"4 TL '",
                  [](TextState& s) {
                      s.leading = 4;
                      s.tlm.f = -4;
                  }},
        StateCase{"1 0 0 1 20 0 Tm 0 10 Td 1 2 Tdx 3 4 BTq",
                  [](TextState& s) { s.tlm = {1, 0, 0, 1, 20, 10}; }}));

TEST(OperandStack, KeepsEightOperandsInlineAndGrowsBeyond) {
    OperandStack stack;
    for (int i = 0; i < 8; ++i)
        stack.push_back(Operand::integer(i));
    EXPECT_TRUE(stack.is_inline());
    stack.push_back(Operand::string("ninth"));
    EXPECT_FALSE(stack.is_inline());
    ASSERT_EQ(stack.size(), 9u);
    EXPECT_EQ(stack[0].integer_value(), 0);
    EXPECT_EQ(stack[8].bytes(), "ninth");
    stack.erase_front(7);
    ASSERT_EQ(stack.size(), 2u);
    EXPECT_EQ(stack[0].integer_value(), 7);
    EXPECT_EQ(stack[1].bytes(), "ninth");
}

TEST(OperandStack, OperatorsSeeTheirOperandsAtAndPastTheStackLimit) {
    for (std::size_t extra : {std::size_t{0}, std::size_t{1}, limits::kMaxContentOperands * 3}) {
        std::string content;
        const std::size_t total = limits::kMaxContentOperands + extra;
        for (std::size_t i = 0; i + 6 < total; ++i)
            content += "9 ";
        content += "1 0 0 1 40 50 Tm";
        TextState state = run(content);
        EXPECT_EQ(state.tlm, (Matrix{1, 0, 0, 1, 40, 50})) << "operands: " << total;
    }
}

// --- Text emission -----------------------------------------------------------

std::shared_ptr<FontInfo> simple_font(std::vector<double> widths, double default_width = 1000) {
    auto font = std::make_shared<FontInfo>();
    font->widths = std::move(widths);
    font->default_width = default_width;
    return font;
}

std::vector<double> widths_with(std::uint8_t code, double width, double others = 500) {
    std::vector<double> widths(256, others);
    widths[code] = width;
    return widths;
}

std::string text_of(const ContentResult& r) {
    std::string out;
    for (const CharInfo& c : r.chars)
        out.push_back(c.ch < 0x80 ? static_cast<char>(c.ch) : '?');
    return out;
}

void expect_box(const CharInfo& c, double x0, double y0, double x1, double y1) {
    EXPECT_DOUBLE_EQ(c.x0, x0);
    EXPECT_DOUBLE_EQ(c.y0, y0);
    EXPECT_DOUBLE_EQ(c.x1, x1);
    EXPECT_DOUBLE_EQ(c.y1, y1);
}

TEST(TextEmission, EmptyContentGivesAnEmptyResult) {
    ContentResult r = scan_content_stream_full("", {}, {}, 0);
    EXPECT_TRUE(r.chars.empty());
    EXPECT_TRUE(r.images.empty());
}

TEST(TextEmission, WithoutAFontBytesAreCharactersSixTenthsOfTheSizeWide) {
    ContentResult r;
    run("BT /F9 10 Tf 100 700 Td (Hi\x80) Tj ET", &r);
    ASSERT_EQ(r.chars.size(), 3u);
    EXPECT_EQ(r.chars[0].ch, U'H');
    expect_box(r.chars[0], 100, 700, 106, 710);
    EXPECT_EQ(r.chars[1].ch, U'i');
    expect_box(r.chars[1], 106, 700, 112, 710);
    EXPECT_EQ(r.chars[2].ch, char32_t{0xFFFD});
}

TEST(TextEmission, PositionsAddTranslationsOnlyAndHeightIsTheFontSize) {
    ContentResult r;
    run("2 0 0 2 50 50 cm BT /F1 7 Tf 3 0 0 3 10 10 Tm (A) Tj ET", &r);
    ASSERT_EQ(r.chars.size(), 1u);
    expect_box(r.chars[0], 60, 60, 60 + 0.6 * 7, 67);
}

TEST(TextEmission, TextOutsideBTShowsAtTheLastTextPosition) {
    ContentResult r;
    run("BT 30 40 Td ET (A) Tj", &r);
    ASSERT_EQ(r.chars.size(), 1u);
    expect_box(r.chars[0], 30, 40, 30 + 7.2, 52);
}

TEST(TextEmission, ContentEndingInsideAConstructKeepsWhatWasEmitted) {
    for (std::string tail : {"% comment to the end", "(unclosed", "[(unclosed array", "<41"}) {
        ContentResult r;
        run("(AB) Tj " + tail, &r);
        EXPECT_EQ(text_of(r), "AB") << tail;
    }
}

TEST(TextEmission, WidthsComeFromTheFontScaledBySizeAndHorizontalScaling) {
    FontMap fonts{{"F1", simple_font(widths_with('A', 722))}};
    ContentResult r;
    run("BT /F1 12 Tf 50 Tz (AA) Tj ET", &r, fonts);
    ASSERT_EQ(r.chars.size(), 2u);
    EXPECT_EQ(r.chars[0].ch, U'A');
    EXPECT_DOUBLE_EQ(r.chars[0].x1 - r.chars[0].x0, 722.0 * 12 / 1000 * 0.5);
    EXPECT_DOUBLE_EQ(r.chars[1].x0, r.chars[0].x1);
}

TEST(TextEmission, CodesBeyondTheWidthsTakeTheDefaultWidth) {
    FontMap fonts{{"F1", simple_font({500, 500}, 250)}};
    ContentResult r;
    run("/F1 10 Tf (z) Tj", &r, fonts);
    ASSERT_EQ(r.chars.size(), 1u);
    EXPECT_DOUBLE_EQ(r.chars[0].x1, 2.5);
}

TEST(TextEmission, SpacingIsAddedAfterScalingAndWordSpacingOnlyToSingleByteSpaces) {
    // Single-byte font: the space advances by w + Tc + Tw.
    FontMap fonts{{"F1", simple_font(std::vector<double>(256, 500))}};
    ContentResult r;
    run("/F1 10 Tf 1 Tc 3 Tw 50 Tz ( x) Tj", &r, fonts);
    ASSERT_EQ(r.chars.size(), 2u);
    EXPECT_DOUBLE_EQ(r.chars[1].x0, 2.5 + 4);

    // Two-byte font: the code 0x0020 gets character spacing only.
    auto cid = std::make_shared<FontInfo>();
    cid->is_type0 = true;
    cid->cid_font = CIDFontInfo{};
    cid->cid_font->default_width = 1000;
    cid->cid_font->widths = {{0x20, {600}}};
    ContentResult r2;
    run("/C 10 Tf 1 Tc 3 Tw <00200041> Tj", &r2, {{"C", cid}});
    ASSERT_EQ(r2.chars.size(), 2u);
    EXPECT_DOUBLE_EQ(r2.chars[0].x1, 6);
    EXPECT_DOUBLE_EQ(r2.chars[1].x0, 6 + 1);
    EXPECT_DOUBLE_EQ(r2.chars[1].x1, 7 + 10);
}

TEST(TextEmission, TwoByteFontsCutCodesInPairsWithALoneLastByte) {
    auto cid = std::make_shared<FontInfo>();
    cid->is_type0 = true;
    cid->to_unicode = CMap{};
    cid->to_unicode->char_map.emplace("\x00\x41"s, "\x00\x42"s);
    cid->to_unicode->char_map.emplace("\x43"s, "\x00\x44"s);
    ContentResult r;
    run("/C 10 Tf <004143> Tj", &r, {{"C", cid}});
    EXPECT_EQ(text_of(r), "BD");
}

TEST(TextEmission, EmptyStringEmitsNothingAndDoesNotMove) {
    ContentResult r;
    TextState s = run("5 5 Td 2 Tc () Tj", &r);
    EXPECT_TRUE(r.chars.empty());
    EXPECT_EQ(s.tm.e, 5);
}

struct LigatureCase {
    char32_t ligature;
    std::string letters;
};

class Ligatures : public ::testing::TestWithParam<LigatureCase> {};

TEST_P(Ligatures, SplitIntoLettersSharingTheGlyphBox) {
    auto font = simple_font(std::vector<double>(256, 1000));
    font->to_unicode = CMap{};
    const char32_t lig = GetParam().ligature;
    std::string dest = {static_cast<char>(lig >> 8), static_cast<char>(lig & 0xFF)};
    font->to_unicode->char_map.emplace("\x01"s, dest);
    ContentResult r;
    run("/L 10 Tf 7 0 Td 2 Tc <01> Tj (x) Tj", &r, {{"L", font}});
    const std::string& letters = GetParam().letters;
    ASSERT_EQ(r.chars.size(), letters.size() + 1);
    const double share = 10.0 / static_cast<double>(letters.size());
    for (std::size_t k = 0; k < letters.size(); ++k) {
        EXPECT_EQ(r.chars[k].ch, static_cast<char32_t>(letters[k]));
        EXPECT_DOUBLE_EQ(r.chars[k].x0, 7 + static_cast<double>(k) * share);
        EXPECT_EQ(r.chars[k].y1, 10);
    }
    EXPECT_EQ(r.chars[letters.size() - 1].x1, 17);
    // The position advanced once, by the whole width plus spacing.
    EXPECT_EQ(r.chars.back().x0, 7 + 10 + 2);
}

INSTANTIATE_TEST_SUITE_P(All, Ligatures,
                         ::testing::Values(LigatureCase{0xFB01, "fi"}, LigatureCase{0xFB02, "fl"},
                                           LigatureCase{0xFB03, "ffi"}, LigatureCase{0xFB04, "ffl"},
                                           LigatureCase{0xFB05, "st"}, LigatureCase{0xFB06, "st"}));

struct KernCase {
    std::string content;
    std::string text;
};

class TJSpaces : public ::testing::TestWithParam<KernCase> {};

TEST_P(TJSpaces, OnlyWideGapsBecomeSpaces) {
    ContentResult r;
    run(GetParam().content, &r);
    EXPECT_EQ(text_of(r), GetParam().text) << GetParam().content;
}

INSTANTIATE_TEST_SUITE_P(Thresholds, TJSpaces,
                         ::testing::Values(KernCase{"/F 12 Tf [(A) -200 (B)] TJ", "A B"},
                                           KernCase{"/F 12 Tf [(A) -100 (B)] TJ", "AB"},
                                           KernCase{"/F 12 Tf [(A) -150 (B)] TJ", "AB"},
                                           KernCase{"/F 12 Tf [-500 (A)] TJ", "A"},
                                           KernCase{"/F 24 Tf [(A) -250 (B)] TJ", "AB"},
                                           KernCase{"/F 24 Tf [(A) -350.5 (B)] TJ", "A B"},
                                           KernCase{"/F 2 Tf [(A) -80 (B)] TJ", "A B"},
                                           KernCase{"/F 2 Tf [(A) -70 (B)] TJ", "AB"},
                                           KernCase{"/F 12 Tf [(A) 500 /N [(x)] (B)] TJ", "AB"},
                                           KernCase{"/F 12 Tf (A) [(B)] Tj", ""},
                                           KernCase{"(A) TJ", ""}));

TEST(TextEmission, TJAdjustmentsMoveTheTextPositionAndTheSpaceStartsAfterTheGap) {
    ContentResult r;
    TextState s = run("200 Tz [(A) -1000 (B)] TJ", &r);
    ASSERT_EQ(r.chars.size(), 3u);
    const double w = 0.6 * 12 * 2;
    const double gap = 12.0 * -1000 * 2 / -1000;
    expect_box(r.chars[1], w + gap, 0, w + gap + 3, 12);
    EXPECT_EQ(r.chars[1].ch, U' ');
    EXPECT_DOUBLE_EQ(r.chars[2].x0, w + gap);
    EXPECT_DOUBLE_EQ(s.tm.e, 2 * w + gap);
    EXPECT_EQ(s.tlm.e, 0);
}

TEST(TextEmission, QuoteOperatorsMoveToTheNextLineFirst) {
    ContentResult r;
    run("BT 10 TL 0 100 Td (a) ' 0.5 0.2 (b) \" ' (c) Tj ET", &r);
    ASSERT_EQ(r.chars.size(), 3u);
    EXPECT_EQ(r.chars[0].y0, 90);
    EXPECT_EQ(r.chars[0].x0, 0);
    EXPECT_EQ(r.chars[1].y0, 80);
    EXPECT_EQ(r.chars[1].x0, 0);
    EXPECT_EQ(r.chars[2].y0, 70); // the bare ' moved one more line
}

// --- Forms and images --------------------------------------------------------

XObjectData form(std::string content, Matrix matrix = {}, FontMap fonts = {}) {
    XObjectData x;
    x.kind = XObjectData::Kind::Form;
    x.content = std::move(content);
    x.matrix = matrix;
    x.fonts = std::move(fonts);
    return x;
}

TEST(Forms, CharactersAndImagesAreMappedThroughTheFormAndPageMatrices) {
    XObjectMap xobjects{{"Fm1", form("BT 10 20 Td (A) Tj ET /Im1 Do", {2, 0, 0, 2, 5, 5})}};
    ContentResult r;
    TextState s = run("1 0 0 1 100 100 cm /Fm1 Do (B) Tj", &r, {}, xobjects);
    ASSERT_EQ(r.chars.size(), 2u);
    // ctm inside = [2 0 0 2 205 205]; the form drew A at (10,20)-(17.2,32).
    expect_box(r.chars[0], 225, 245, 205 + 2 * 17.2, 269);
    // The page's matrix is restored after the form.
    expect_box(r.chars[1], 100, 100, 107.2, 112);
    EXPECT_EQ(s.ctm, (Matrix{1, 0, 0, 1, 100, 100}));
    EXPECT_TRUE(s.gs_stack.empty());
    ASSERT_EQ(r.images.size(), 1u);
    EXPECT_EQ(r.images[0].name, "Im1");
    EXPECT_DOUBLE_EQ(r.images[0].x0, 205);
    EXPECT_DOUBLE_EQ(r.images[0].y1, 207);
}

TEST(Forms, StartFromAFreshTextState) {
    XObjectMap xobjects{{"Fm", form("(A) Tj")}};
    ContentResult r;
    run("/F1 30 Tf 50 60 Td 5 Tc /Fm Do", &r, {}, xobjects);
    ASSERT_EQ(r.chars.size(), 1u);
    expect_box(r.chars[0], 0, 0, 7.2, 12);
}

TEST(Forms, EnclosingFontsWinOverTheFormsOwnOnANameClash) {
    FontMap page{{"F1", simple_font(std::vector<double>(256, 100))}};
    FontMap own{{"F1", simple_font(std::vector<double>(256, 900))},
                {"F2", simple_font(std::vector<double>(256, 300))}};
    XObjectMap xobjects{{"Fm", form("/F1 10 Tf (a) Tj /F2 10 Tf (b) Tj", {}, own)}};
    ContentResult r;
    run("/Fm Do", &r, page, xobjects);
    ASSERT_EQ(r.chars.size(), 2u);
    EXPECT_DOUBLE_EQ(r.chars[0].x1 - r.chars[0].x0, 1);
    EXPECT_DOUBLE_EQ(r.chars[1].x1 - r.chars[1].x0, 3);
}

TEST(Forms, AFormDrawingItselfIsFollowedThreeLevelsDeep) {
    XObjectMap xobjects{{"Me", form("(A) Tj /Me Do", {1, 0, 0, 1, 10, 0})}};
    ContentResult r = scan_content_stream_full("/Me Do", {}, xobjects, 0);
    ASSERT_EQ(r.chars.size(), 3u);
    EXPECT_EQ(r.chars[0].x0, 10);
    EXPECT_EQ(r.chars[1].x0, 20);
    EXPECT_EQ(r.chars[2].x0, 30);
    EXPECT_TRUE(r.images.empty());
}

TEST(Forms, AFormDrawnAgainIsPlacedByTheMatrixOfEachDrawing) {
    XObjectMap xobjects{{"Fm", form("(A) Tj /Im Do")}};
    ContentResult r = scan_content_stream_full(
        "q 1 0 0 1 10 0 cm /Fm Do Q q 1 0 0 1 20 5 cm /Fm Do Q /Fm Do", {}, xobjects, 0);
    ASSERT_EQ(r.chars.size(), 3u);
    ASSERT_EQ(r.images.size(), 3u);
    EXPECT_EQ(r.chars[0].x0, 10);
    EXPECT_EQ(r.chars[1].x0, 20);
    EXPECT_EQ(r.chars[1].y0, 5);
    EXPECT_EQ(r.chars[2].x0, 0);
    EXPECT_EQ(r.images[1].x0, 20);
    EXPECT_EQ(r.images[2].name, "Im");
}

struct ImageCase {
    std::string content;
    double x0, y0, x1, y1;
};

class ImagePlacement : public ::testing::TestWithParam<ImageCase> {};

TEST_P(ImagePlacement, BoxIsTheMappedUnitSquareDiagonal) {
    XObjectMap xobjects{{"Im1", XObjectData{}}};
    ContentResult r;
    run(GetParam().content, &r, {}, xobjects);
    ASSERT_EQ(r.images.size(), 1u);
    EXPECT_EQ(r.images[0].name, "Im1");
    EXPECT_DOUBLE_EQ(r.images[0].x0, GetParam().x0);
    EXPECT_DOUBLE_EQ(r.images[0].y0, GetParam().y0);
    EXPECT_DOUBLE_EQ(r.images[0].x1, GetParam().x1);
    EXPECT_DOUBLE_EQ(r.images[0].y1, GetParam().y1);
}

INSTANTIATE_TEST_SUITE_P(
    Matrices, ImagePlacement,
    ::testing::Values(ImageCase{"100 0 0 50 10 20 cm /Im1 Do", 10, 20, 110, 70},
                      ImageCase{"-100 0 0 50 110 20 cm /Im1 Do", 10, 20, 110, 70},
                      ImageCase{"/Im1 Do", 0, 0, 1, 1},
                      ImageCase{"0 1 -1 0 0 0 cm /Im1 Do", -1, 0, 0, 1},
                      ImageCase{"q 2 0 0 2 0 0 cm /Im1 Do Q", 0, 0, 2, 2}));

TEST(Forms, ImageNamesAreLossyUtf8) {
    ContentResult r = scan_content_stream_full("/Im\xff Do 5 Do", {}, {}, 0);
    ASSERT_EQ(r.images.size(), 2u);
    EXPECT_EQ(r.images[0].name, "Im\xEF\xBF\xBD");
    EXPECT_EQ(r.images[1].name, "");
}

// --- Work limits ----------------------------------------------------------------

TEST(WorkLimits, OperatorBudgetStopsAtTheLimitAndNotBefore) {
    const std::uint64_t limit = limits::kMaxOperatorsPerPage;
    std::string filler;
    filler.reserve(2 * limit);
    for (std::uint64_t i = 0; i + 2 < limit; ++i)
        filler += "Q\n";
    ContentResult at = scan_content_stream_full("(A) Tj " + filler + "(B) Tj", {}, {}, 0);
    EXPECT_EQ(text_of(at), "AB");
    ContentResult past = scan_content_stream_full("(A) Tj " + filler + "Q (B) Tj", {}, {}, 0);
    EXPECT_EQ(text_of(past), "A");
}

// A form drawn again is replayed only when the budget covers all the work
// its interpretation cost; otherwise it is interpreted and stops exactly
// where an interpretation would.
TEST(WorkLimits, ARedrawnFormStopsWhereItsInterpretationWould) {
    std::string body;
    for (int i = 0; i < 1000; ++i)
        body += "(x) Tj ";
    XObjectMap xobjects{{"A", form(body)}};
    const std::uint64_t limit = limits::kMaxOperatorsPerPage;
    auto chars_with_left_for_third = [&](std::uint64_t left) {
        // Three drawings cost 3 operators on the page and 1000 in each form.
        std::string page;
        page.reserve(2 * limit);
        for (std::uint64_t i = 0; i + 3 + 2000 + left < limit; ++i)
            page += "Q\n";
        page += "/A Do /A Do /A Do";
        return scan_content_stream_full(page, {}, xobjects, 0).chars.size();
    };
    EXPECT_EQ(chars_with_left_for_third(500), 2500u);
    EXPECT_EQ(chars_with_left_for_third(999), 2999u);
    EXPECT_EQ(chars_with_left_for_third(1000), 3000u);
}

XObjectMap fan_out(std::string_view leaf) {
    auto repeat = [](std::string_view piece, int n) {
        std::string out;
        for (int i = 0; i < n; ++i)
            out += piece;
        return out;
    };
    return {{"A", form(repeat("/B Do ", 1000))},
            {"B", form(repeat("/C Do ", 1000))},
            {"C", form(std::string(leaf))}};
}

TEST(WorkLimits, FormsDrawingFormsThousandsOfTimesFinishQuickly) {
    const auto start = std::chrono::steady_clock::now();
    XObjectMap xobjects = fan_out("q 1 0 0 1 1 1 cm Q");
    std::string page = "(Hi) Tj ";
    for (int i = 0; i < 1000; ++i)
        page += "/A Do ";
    ContentResult r = scan_content_stream_full(page, {}, xobjects, 0);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(text_of(r), "Hi");
    // Unbounded, the page draws the innermost form 10^9 times (hours); the
    // budget ends it in seconds, with room here for sanitizer builds.
    EXPECT_LT(elapsed, std::chrono::seconds(90));
}

TEST(WorkLimits, CharactersAndImagesStopAtTheItemLimit) {
    XObjectMap xobjects = fan_out("(0123456789) Tj /Im Do");
    std::string page;
    for (int i = 0; i < 1000; ++i)
        page += "/A Do ";
    ContentResult r = scan_content_stream_full(page, {}, xobjects, 0);
    EXPECT_EQ(r.chars.size() + r.images.size(), limits::kMaxContentItemsPerPage);
    EXPECT_EQ(r.images.size(), r.chars.size() / 10);

    // A page with exactly the limit's worth of characters keeps them all.
    std::string exact = "(" + std::string(limits::kMaxContentItemsPerPage - 1, 'x') + ") Tj (y) Tj";
    EXPECT_EQ(scan_content_stream_full(exact, {}, {}, 0).chars.size(),
              limits::kMaxContentItemsPerPage);
    EXPECT_EQ(scan_content_stream_full(exact + " (z) Tj", {}, {}, 0).chars.size(),
              limits::kMaxContentItemsPerPage);
}

// --- Robustness ----------------------------------------------------------------

TEST(Robustness, RandomAndMutatedContentNeverCrashesOrHangs) {
    const std::string seed_content =
        "q 0.5 0 0 0.5 10 20 cm BT /F1 12 Tf 14 TL 72 700 Td [(Hel) -20 (lo) -300 (W)] TJ "
        "(a\\(b\\)\\101) Tj T* 0.5 0.2 <48 65 6c> \" ' ET Q /Fm Do /Im Do /P <</MCID 0>> BDC "
        "EMC [1 [2 [3]]] % comment\n 3 -14 TD 150 Tz 2 Tc 1 Tw BI /W 1 ID \x01\xff EI";
    const std::string alphabet = "()<>[]/\\%{}+-.0123456789eE TdjJmfqQBTcw*'\"\n\r\t\x0c\x80";
    auto font = std::make_shared<FontInfo>();
    font->is_type0 = true;
    FontMap fonts{{"F1", simple_font(std::vector<double>(256, 500))}, {"F2", font}};
    XObjectMap xobjects{{"Fm", form(seed_content, {2, 0, 0, 2, 1, 1}, fonts)},
                        {"Im", XObjectData{}}};

    const auto start = std::chrono::steady_clock::now();
    std::mt19937 rng(20261208);
    for (int round = 0; round < 3000; ++round) {
        std::string content;
        if (round % 2 == 0) {
            const std::size_t length = rng() % 400;
            for (std::size_t i = 0; i < length; ++i) {
                content.push_back(rng() % 4 == 0 ? static_cast<char>(rng() & 0xFF)
                                                 : alphabet[rng() % alphabet.size()]);
            }
        } else {
            content = seed_content;
            const int edits = 1 + static_cast<int>(rng() % 8);
            for (int e = 0; e < edits && !content.empty(); ++e) {
                const std::size_t at = rng() % content.size();
                switch (rng() % 3) {
                case 0:
                    content[at] = alphabet[rng() % alphabet.size()];
                    break;
                case 1:
                    content.erase(at, 1 + rng() % 8);
                    break;
                default:
                    content.insert(at, content.substr(rng() % content.size(), rng() % 16));
                }
            }
        }
        xobjects["Fm"].content = content;
        ContentResult r = scan_content_stream_full(content, fonts, xobjects, 0);
        for (const CharInfo& c : r.chars)
            ASSERT_LE(c.ch, char32_t{0x10FFFF});
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

TEST(Robustness, PathologicalRunsOfOneByte) {
    for (char c : {'[', '(', '<', '/', '%', '-', '.', 'T', '\\', ']'}) {
        std::string content(1'000'000, c);
        ContentResult r = scan_content_stream_full(content, {}, {}, 0);
        EXPECT_TRUE(r.chars.empty()) << c;
    }
    // A million operands before one operator.
    std::string numbers;
    for (int i = 0; i < 1'000'000; ++i)
        numbers += "1 ";
    EXPECT_EQ(text_of(scan_content_stream_full(numbers + "(x) Tj", {}, {}, 0)), "x");
}

// --- The full reader: glyphs by the text rendering matrix --------------------

ContentResult run_full(std::string_view content, const FontMap& fonts = {},
                       const XObjectMap& xobjects = {}, TextState* state_out = nullptr) {
    TextState state;
    ContentResult result;
    scan_content_stream_into(content, state, result, fonts, xobjects, 0,
                             ReadOptions::full_reader());
    if (state_out) *state_out = std::move(state);
    return result;
}

// F1: 500 units a glyph, no height (so the em box); F2: the same with an
// ascent and descent; F3: a Type 3 font at 1/100 with 50-unit glyphs.
FontMap full_fonts() {
    auto with_full = [](std::vector<double> widths, double ascent, double descent,
                        std::array<double, 6> matrix) {
        auto font = simple_font(std::move(widths));
        auto full = std::make_shared<FontInfo::Full>();
        full->widths = font->widths;
        full->ascent = ascent;
        full->descent = descent;
        full->font_matrix = matrix;
        for (std::size_t code = 0; code < 256; ++code) {
            full->simple_text[code] = std::u32string(1, static_cast<char32_t>(code));
        }
        font->full = full;
        return font;
    };
    return {{"F1", simple_font(std::vector<double>(256, 500))},
            {"F2", with_full(std::vector<double>(256, 500), 700, -300, {0.001, 0, 0, 0.001, 0, 0})},
            {"F3", with_full(std::vector<double>(256, 50), 0, 0, {0.01, 0, 0, 0.01, 0, 0})}};
}

struct PlacementCase {
    std::string content;
    double x0, y0, x1, y1; // the first character's box
    float size;
    std::uint8_t rotation;
};

void PrintTo(const PlacementCase& c, std::ostream* os) {
    *os << c.content;
}

class FullReaderPlacement : public ::testing::TestWithParam<PlacementCase> {};

TEST_P(FullReaderPlacement, BoxSizeAndRotationOfTheFirstCharacter) {
    const PlacementCase& c = GetParam();
    ContentResult r = run_full(c.content, full_fonts());
    ASSERT_FALSE(r.chars.empty());
    EXPECT_NEAR(r.chars[0].x0, c.x0, 1e-9);
    EXPECT_NEAR(r.chars[0].y0, c.y0, 1e-9);
    EXPECT_NEAR(r.chars[0].x1, c.x1, 1e-9);
    EXPECT_NEAR(r.chars[0].y1, c.y1, 1e-9);
    EXPECT_FLOAT_EQ(r.chars[0].size, c.size);
    EXPECT_EQ(r.chars[0].rotation, c.rotation);
}

INSTANTIATE_TEST_SUITE_P(
    Matrices, FullReaderPlacement,
    ::testing::Values(
        // A 1-point font scaled by the text matrix is a 12-point font.
        PlacementCase{"BT /F1 1 Tf 12 0 0 12 72 720 Tm (A) Tj ET", 72, 717.6, 78, 729.6, 12, 0},
        // A quarter turn counter-clockwise: bounds of the turned box.
        PlacementCase{"BT /F1 10 Tf 0 1 -1 0 100 100 Tm (A) Tj ET", 92, 100, 102, 105, 10, 1},
        PlacementCase{"BT /F1 10 Tf -1 0 0 -1 50 50 Tm (A) Tj ET", 45, 42, 50, 52, 10, 2},
        // The later cm applies first: translate by 10, then scale by 2.
        PlacementCase{"2 0 0 2 0 0 cm 1 0 0 1 10 0 cm BT /F1 10 Tf (A) Tj ET", 20, -4, 30, 16, 20,
                      0},
        // Horizontal scaling narrows the glyph; rise lifts it.
        PlacementCase{"BT /F1 10 Tf 50 Tz 3 Ts (A) Tj ET", 0, 1, 2.5, 11, 10, 0},
        // The font's own ascent and descent.
        PlacementCase{"BT /F2 10 Tf (A) Tj ET", 0, -3, 5, 7, 10, 0},
        // A Type 3 font's matrix turns its units into text space.
        PlacementCase{"BT /F3 10 Tf (A) Tj ET", 0, -2, 5, 8, 10, 0},
        // Td and T* move in the line matrix's own space.
        PlacementCase{"BT 2 0 0 2 0 0 Tm 10 10 Td /F1 5 Tf (A) Tj ET", 20, 18, 25, 28, 10, 0},
        PlacementCase{"BT /F1 10 Tf 0 1 -1 0 100 100 Tm 12 TL T* (A) Tj ET", 104, 100, 114, 105,
                      10, 1}));

struct AdvanceCase {
    std::string content;
    std::vector<double> x0s; // of every character, in order
};

void PrintTo(const AdvanceCase& c, std::ostream* os) {
    *os << c.content;
}

class FullReaderAdvance : public ::testing::TestWithParam<AdvanceCase> {};

TEST_P(FullReaderAdvance, CharactersStartWhereThePenWas) {
    ContentResult r = run_full(GetParam().content, full_fonts());
    ASSERT_EQ(r.chars.size(), GetParam().x0s.size());
    for (std::size_t i = 0; i < r.chars.size(); ++i)
        EXPECT_NEAR(r.chars[i].x0, GetParam().x0s[i], 1e-9) << i;
}

INSTANTIATE_TEST_SUITE_P(
    TextSpace, FullReaderAdvance,
    ::testing::Values(
        AdvanceCase{"BT /F1 1 Tf 12 0 0 12 72 720 Tm (AB) Tj ET", {72, 78}},
        // Tc and Tw are text-space units, scaled by the text matrix too.
        AdvanceCase{"BT /F1 1 Tf 12 0 0 12 0 0 Tm 1 Tc 2 Tw (A A) Tj ET", {0, 18, 60}},
        // TJ numbers only move the pen: no space of their own.
        AdvanceCase{"BT /F1 10 Tf [(A) -1000 (B)] TJ ET", {0, 15}},
        AdvanceCase{"BT /F1 10 Tf 50 Tz [(A) -1000 (B)] TJ ET", {0, 7.5}},
        // ' starts the next line where the line began.
        AdvanceCase{"BT /F1 10 Tf 12 TL 0 50 Td (A) Tj (B) ' ET", {0, 0}}));

TEST(FullReader, QAndQRestoreTheTextStateOnlyForTheFullReader) {
    constexpr std::string_view content = "BT /F1 10 Tf 2 Tc 1 Tw 90 Tz 5 TL 1 Ts 3 Tr "
                                         "q /F2 20 Tf 7 Tc 8 Tw 50 Tz 9 TL 4 Ts 0 Tr Q ET";
    TextState full;
    run_full(content, {}, {}, &full);
    EXPECT_EQ(full.font_name, "F1");
    EXPECT_EQ(full.font_size, 10);
    EXPECT_EQ(full.char_spacing, 2);
    EXPECT_EQ(full.word_spacing, 1);
    EXPECT_DOUBLE_EQ(full.h_scale, 0.9);
    EXPECT_EQ(full.leading, 5);
    EXPECT_EQ(full.rise, 1);
    EXPECT_EQ(full.render_mode, 3);
    EXPECT_TRUE(full.text_stack.empty());
    TextState compact = run(content);
    EXPECT_EQ(compact.font_name, "F2");
    EXPECT_EQ(compact.font_size, 20);
}

TEST(FullReader, SavedGraphicsStatesStopAtTheLimit) {
    // The last q fills the stack to the limit: its Q restores.
    std::string at_limit;
    for (std::size_t i = 1; i < limits::kMaxGraphicsStateDepth; ++i)
        at_limit += "q ";
    const std::string tail = "1 0 0 1 5 0 cm q 1 0 0 1 7 0 cm Q";
    TextState state;
    run_full(at_limit + tail, {}, {}, &state);
    EXPECT_EQ(state.ctm.e, 5);
    EXPECT_EQ(state.gs_stack.size(), limits::kMaxGraphicsStateDepth - 1);
    // One past: that q saves nothing, so its Q restores nothing.
    run_full("q " + at_limit + tail, {}, {}, &state);
    EXPECT_EQ(state.ctm.e, 12);
    EXPECT_EQ(state.gs_stack.size(), limits::kMaxGraphicsStateDepth);
    EXPECT_EQ(state.text_stack.size(), limits::kMaxGraphicsStateDepth);
}

TEST(FullReader, FontTableNamesFontsWithoutSubsetTagsAndIndexZeroIsNoFont) {
    auto tagged = simple_font(std::vector<double>(256, 500));
    tagged->base_font = "ABCDEF+Minion-Regular";
    auto unnamed = simple_font(std::vector<double>(256, 500)); // base_font "Unknown"
    FontMap fonts{{"T", tagged}, {"U", unnamed}};
    ContentResult r = run_full("BT /T 10 Tf (a) Tj /U 8 Tf (b) Tj /Missing 9 Tf (c) Tj "
                               "/T 12 Tf (d) Tj ET",
                               fonts);
    ASSERT_EQ(r.fonts, (std::vector<std::string>{"", "Minion-Regular", "U"}));
    ASSERT_EQ(r.chars.size(), 4u);
    EXPECT_EQ(r.chars[0].font, 1u);
    EXPECT_EQ(r.chars[1].font, 2u);
    EXPECT_EQ(r.chars[2].font, 0u);
    EXPECT_EQ(r.chars[3].font, 1u);
    // The compact reader leaves the table empty and the fields zero.
    ContentResult compact;
    run("BT /T 10 Tf (a) Tj ET", &compact, fonts);
    EXPECT_TRUE(compact.fonts.empty());
    EXPECT_EQ(compact.chars[0].font, 0u);
    EXPECT_EQ(compact.chars[0].size, 0.0f);
}

TEST(FullReader, VerticalFontsAdvanceDownwards) {
    auto vertical = std::make_shared<FontInfo>();
    vertical->is_type0 = true;
    auto full = std::make_shared<FontInfo::Full>();
    full->vertical = true;
    full->code_space = identity_code_space();
    vertical->full = full;
    ContentResult r = run_full("BT /V 10 Tf <00410042> Tj ET", {{"V", vertical}});
    ASSERT_EQ(r.chars.size(), 2u);
    EXPECT_DOUBLE_EQ(r.chars[0].y1, 0);
    EXPECT_DOUBLE_EQ(r.chars[1].y1, r.chars[0].y0);
    EXPECT_LT(r.chars[1].y0, r.chars[1].y1);
    EXPECT_DOUBLE_EQ(r.chars[0].x0, -r.chars[0].x1); // centred on the pen
}

TEST(FullReader, NonFiniteMatricesDropTheCharacterNotThePage) {
    ContentResult r =
        run_full("BT /F1 10 Tf 1e308 0 0 1e308 0 0 Tm 1e308 Tz (A) Tj ET BT (B) Tj ET",
                 full_fonts());
    ASSERT_EQ(r.chars.size(), 1u);
    EXPECT_EQ(r.chars[0].ch, U'B');
}

// --- The full reader: forms --------------------------------------------------

TEST(FullReaderForms, AFormFindsTheXObjectsOfItsOwnResources) {
    XObjectData inner = form("BT /F1 10 Tf (A) Tj ET /Im Do", {1, 0, 0, 1, 0, 20});
    XObjectData outer = form("/Inner Do", {2, 0, 0, 2, 100, 0});
    outer.xobjects = std::make_shared<const XObjectMap>(XObjectMap{{"Inner", inner}});
    ContentResult r = run_full("/Outer Do", full_fonts(), {{"Outer", outer}});
    ASSERT_EQ(r.chars.size(), 1u);
    // Inner's matrix applies first, then Outer's: (0,20) -> (100,40).
    EXPECT_DOUBLE_EQ(r.chars[0].x0, 100);
    EXPECT_DOUBLE_EQ(r.chars[0].y0, 40 - 4);
    EXPECT_FLOAT_EQ(r.chars[0].size, 20);
    ASSERT_EQ(r.images.size(), 1u);
    EXPECT_EQ(r.images[0].name, "Im");
    EXPECT_DOUBLE_EQ(r.images[0].x1, 102);
    EXPECT_DOUBLE_EQ(r.images[0].y1, 42);
}

TEST(FullReaderForms, InheritTheCallersStateAndCannotUnbalanceIt) {
    // Unbalanced Qs in the form stop at the form's own level; its cm and Tf
    // do not leak out.
    XObjectMap xobjects{{"Fm", form("Q Q 1 0 0 1 50 0 cm /F2 30 Tf BT (A) Tj ET")}};
    TextState state;
    ContentResult r = run_full("q 1 0 0 1 7 0 cm BT /F1 10 Tf ET /Fm Do", full_fonts(), xobjects,
                               &state);
    ASSERT_EQ(r.chars.size(), 1u);
    EXPECT_DOUBLE_EQ(r.chars[0].x0, 57);
    EXPECT_EQ(state.ctm, (Matrix{1, 0, 0, 1, 7, 0}));
    EXPECT_EQ(state.gs_stack.size(), 1u);
    EXPECT_EQ(state.font_name, "F1");
    // A form without Tf draws with its caller's font.
    ContentResult inherited =
        run_full("BT /F1 10 Tf ET /Fm Do", full_fonts(), {{"Fm", form("BT (A) Tj ET")}});
    ASSERT_EQ(inherited.chars.size(), 1u);
    EXPECT_FLOAT_EQ(inherited.chars[0].size, 10);
}

TEST(FullReaderForms, TheFormsOwnFontsWinOverItsCallersOnANameClash) {
    FontMap page{{"F1", simple_font(std::vector<double>(256, 100))}};
    FontMap own{{"F1", simple_font(std::vector<double>(256, 900))}};
    ContentResult r = run_full("/Fm Do", page, {{"Fm", form("BT /F1 10 Tf (a) Tj ET", {}, own)}});
    ASSERT_EQ(r.chars.size(), 1u);
    EXPECT_DOUBLE_EQ(r.chars[0].x1 - r.chars[0].x0, 9);
}

// --- The full reader: inline images ------------------------------------------

struct InlineImageCase {
    std::string name;
    std::string content; // the text shown after the image is "T"
};

void PrintTo(const InlineImageCase& c, std::ostream* os) {
    *os << c.name;
}

class FullReaderInlineImages : public ::testing::TestWithParam<InlineImageCase> {};

TEST_P(FullReaderInlineImages, DataIsSkippedAndTheTextAfterItRead) {
    ContentResult r = run_full(GetParam().content);
    ASSERT_EQ(r.chars.size(), 1u) << GetParam().content;
    EXPECT_EQ(r.chars[0].ch, U'T');
}

INSTANTIATE_TEST_SUITE_P(
    Ends, FullReaderInlineImages,
    ::testing::Values(
        // pypdf-reportlab-inline-image.pdf: a '(' in ASCII85 data.
        InlineImageCase{"ascii85",
                        "BI /W 16 /H 16 /F [/A85 /Fl] ID\nGa(r8 EI ~>\nEI Q BT (T) Tj ET"},
        InlineImageCase{"ascii_hex", "BI /F /AHx ID\n2(8>\nEI BT (T) Tj ET"},
        // Unfiltered data of known size may hold EI itself.
        InlineImageCase{"sized", "BI /W 4 /H 1 /CS /G /BPC 8 ID\n EI(\nEI BT (T) Tj ET"},
        InlineImageCase{"length", "BI /L 4 ID\n EI[\nEI BT (T) Tj ET"},
        // Otherwise the first EI standing alone.
        InlineImageCase{"searched", "BI /W 9 /IM true ID\n(xEI EIy\nEI BT (T) Tj ET"},
        InlineImageCase{"unterminated_runs_to_the_end", "BT (T) Tj ET BI ID (EIx"},
        // An ID without its BI is only an unknown operator.
        InlineImageCase{"stray_id", "ID BT (T) Tj ET EI"}));

TEST(FullReaderInlineImages, TheCompactReaderStillLexesTheData) {
    ContentResult r;
    run("BI /F /AHx ID\n2(8>\nEI BT (T) Tj ET", &r);
    EXPECT_TRUE(r.chars.empty());
}

} // namespace
} // namespace quarvel

#include "file/object_stream.h"

#include <gtest/gtest.h>

#include <string>

namespace quarvel {
namespace {

std::string err(const ParseError& e) {
    return e.display();
}

// --- object streams ---------------------------------------------------------

Result<ObjStmMap> objstm(const std::string& dict_text, std::string_view body, Arena& arena) {
    Cursor cur(dict_text, arena);
    auto dict = parse_object(cur);
    EXPECT_TRUE(dict.ok() && dict->is_dict()) << dict_text;
    if (!dict.ok()) return dict.error();
    return parse_objstm(dict->dict(), body, arena);
}

TEST(ObjStm, EachObjectGetsItsOwnText) {
    Arena arena;
    auto r = objstm("<< /N 2 /First 11 >>", "10 0 11 15 << /A (one) >>  [2 0 R]", arena);
    ASSERT_TRUE(r.ok()) << err(r.error());
    ASSERT_EQ(r->size(), 2u);
    EXPECT_EQ(r->at(10).get("A")->bytes(), "one");
    EXPECT_EQ(r->at(11).as_array()[0].as_ref(), (ObjectId{2, 0}));
}

TEST(ObjStm, EmptyRangesGarbageAndDuplicates) {
    Arena arena;
    // Object 1's range is empty (2 starts where it does); 3 is garbage; 7 is
    // listed twice and the later text wins; the first object starts at
    // /First whatever its own offset says.
    auto r = objstm("<< /N 5 /First 20 >>", "1 0 2 0 3 2 7 5 7 7 99}}42 13", arena);
    ASSERT_TRUE(r.ok()) << err(r.error());
    EXPECT_FALSE(r->contains(1));
    EXPECT_EQ(r->at(2).as_int(), 99);
    EXPECT_FALSE(r->contains(3));
    EXPECT_EQ(r->at(7).as_int(), 13);

    auto shifted = objstm("<< /N 1 /First 4 >>", "5 3 (a)", arena);
    ASSERT_TRUE(shifted.ok());
    EXPECT_EQ(shifted->at(5).bytes(), "a");
}

TEST(ObjStm, OutOfBodyHeadersAndAbsurdCounts) {
    Arena arena;
    // An offset past the body leaves that object out, and the one before
    // it, whose range would run there.
    auto beyond = objstm("<< /N 3 /First 13 >>", "1 0 2 3 3 50 (a)(b)", arena);
    ASSERT_TRUE(beyond.ok());
    EXPECT_EQ(beyond->at(1).bytes(), "a");
    EXPECT_FALSE(beyond->contains(2));
    EXPECT_FALSE(beyond->contains(3));
    // A /First beyond the body: no object text at all.
    auto first_beyond = objstm("<< /N 1 /First 100 >>", "1 0 (a)", arena);
    ASSERT_TRUE(first_beyond.ok());
    EXPECT_TRUE(first_beyond->empty());
    // Fewer pairs than /N, even an /N near 2^32, fails without reserving for
    // it; the header never reads past /First.
    for (const char* dict :
         {"<< /N 3 /First 8 >>", "<< /N 4294967295 /First 8 >>", "<< /N 2 /First 4 >>"}) {
        auto r = objstm(dict, "1 0 2 4 (a) (b)", arena);
        ASSERT_FALSE(r.ok()) << dict;
        EXPECT_EQ(r.error().kind(), ParseError::Kind::InvalidNumber) << dict;
    }
    auto none = objstm("<< /N 0 /First 0 >>", "(a)", arena);
    ASSERT_TRUE(none.ok());
    EXPECT_TRUE(none->empty());
}

TEST(ObjStm, DictionaryErrors) {
    Arena arena;
    EXPECT_EQ(err(objstm("<< /First 0 >>", "", arena).error()), "missing required trailer field");
    EXPECT_EQ(err(objstm("<< /N 1 >>", "", arena).error()), "missing required trailer field");
    EXPECT_EQ(err(objstm("<< /N /One /First 0 >>", "", arena).error()),
              "expected integer for trailer field");
    EXPECT_EQ(err(objstm("<< /N 1 /First 0.5 >>", "", arena).error()),
              "expected integer for trailer field");
}

} // namespace
} // namespace quarvel

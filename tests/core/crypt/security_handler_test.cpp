#include "crypt/security_handler.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "crypt/cipher.h"
#include "syntax/filters.h"
#include "syntax/object.h"
#include "syntax/string_bytes.h"

namespace quarvel {
namespace {

using namespace std::literals;

std::string unhex(std::string_view hex) { return hex_string_bytes(hex); }

// --- RC4 against the published test vectors --------------------------------

struct Rc4Vector {
    const char* key;
    std::size_t offset;
    const char* keystream;
};

class Rc4Keystream : public ::testing::TestWithParam<Rc4Vector> {};

TEST_P(Rc4Keystream, MatchesTheRfc6229Vector) {
    const Rc4Vector& v = GetParam();
    const std::string stream = crypt::rc4(unhex(v.key), std::string(v.offset + 16, '\0'));
    EXPECT_EQ(to_hex(std::string_view(stream).substr(v.offset)), v.keystream);
}

INSTANTIATE_TEST_SUITE_P(
    Rfc6229, Rc4Keystream,
    ::testing::Values(Rc4Vector{"0102030405", 0, "B2396305F03DC027CCC3524A0A1118A8"},
                      Rc4Vector{"0102030405", 16, "6982944F18FC82D589C403A47A0D0919"},
                      Rc4Vector{"0102030405", 240, "28CB1132C96CE286421DCAADB8B69EAE"},
                      Rc4Vector{"0102030405", 256, "1CFCF62B03EDDB641D77DFCF7F8D8C93"},
                      Rc4Vector{"0102030405060708090A0B0C0D0E0F10", 0,
                                "9AC7CC9A609D1EF7B2932899CDE41B97"},
                      Rc4Vector{"0102030405060708090A0B0C0D0E0F10", 16,
                                "5248C4959014126A6E8A84F11D1A9E1C"}));

// --- files encrypted by qpdf ------------------------------------------------

struct QpdfCase {
    const char* name;
    const char* user;
    const char* owner;
    const char* encrypt;
    const char* file_id;
    std::uint32_t info_num;
    const char* info;
    std::uint32_t content_num;
    const char* content_dict;
    const char* content_body;
    std::uint32_t meta_num;
    const char* meta_dict;
    const char* meta_body;
};

const QpdfCase kQpdfCases[] = {
#include "security_handler_vectors.inc"
};

const std::string kContent = "BT /F1 12 Tf 10 10 Td (Hello, encrypted world) Tj ET";
const std::string kMeta =
    "<?xpacket begin=''?><x:xmpmeta xmlns:x='adobe:ns:meta/'/><?xpacket end='w'?>";

PdfObject parse(std::string_view text, Arena& arena) {
    Cursor cur(text, arena);
    Result<PdfObject> obj = parse_object(cur);
    EXPECT_TRUE(obj.ok()) << text;
    return obj.ok() ? std::move(*obj) : PdfObject();
}

class QpdfFile : public ::testing::TestWithParam<QpdfCase> {
  protected:
    Result<std::unique_ptr<SecurityHandler>> open(std::optional<std::string> password) {
        const std::string id = unhex(GetParam().file_id);
        return SecurityHandler::open(encrypt_, id, password);
    }
    std::optional<std::string> user() const {
        const std::string u = unhex(GetParam().user);
        if (u.empty()) return std::nullopt;
        return u;
    }
    std::string owner() const { return unhex(GetParam().owner); }
    bool clear_metadata() const { return std::string_view(GetParam().name).ends_with("_metadata"); }

    Arena arena_;
    std::string encrypt_text_ = unhex(GetParam().encrypt);
    PdfObject encrypt_ = parse(encrypt_text_, arena_);
};

TEST_P(QpdfFile, UserPasswordDecryptsStringsAndStreams) {
    const QpdfCase& c = GetParam();
    auto handler = open(user());
    ASSERT_TRUE(handler.ok()) << handler.error().display();
    const SecurityHandler& h = **handler;
    EXPECT_FALSE(h.opened_as_owner());
    EXPECT_EQ(h.encrypt_metadata(), !clear_metadata());

    const std::string info_text = unhex(c.info);
    PdfObject info = parse(info_text, arena_);
    decrypt_object(info, ObjectId{c.info_num, 0}, h, arena_);
    ASSERT_NE(info.get("Title"), nullptr);
    EXPECT_EQ(string_bytes(*info.get("Title")), "Secret title (with parens)");
    EXPECT_EQ(string_bytes(*info.get("Author")), "Hello");

    const std::string content_dict = unhex(c.content_dict);
    PdfObject content = PdfObject::stream(parse(content_dict, arena_).dict(),
                                          arena_.store(unhex(c.content_body)));
    decrypt_object(content, ObjectId{c.content_num, 0}, h, arena_);
    EXPECT_EQ(content.stream_data(), kContent);

    // Metadata left in the clear is already plain in the file and must come
    // back untouched; encrypted metadata decrypts like any stream.
    const std::string meta_dict = unhex(c.meta_dict);
    const PdfObject meta = PdfObject::stream(parse(meta_dict, arena_).dict(), {});
    EXPECT_EQ(h.decrypt_stream(unhex(c.meta_body), ObjectId{c.meta_num, 0}, meta), kMeta);
}

TEST_P(QpdfFile, OwnerPasswordRecoversTheUserKey) {
    auto by_user = open(user());
    auto by_owner = open(owner());
    ASSERT_TRUE(by_user.ok());
    ASSERT_TRUE(by_owner.ok()) << by_owner.error().display();
    EXPECT_EQ((*by_owner)->file_key(), (*by_user)->file_key());
    // An empty user password opens the file before the owner's is tried.
    EXPECT_EQ((*by_owner)->opened_as_owner(), user().has_value());
}

TEST_P(QpdfFile, WrongOrMissingPasswordIsIncorrect) {
    if (!user()) GTEST_SKIP() << "the empty user password opens this file";
    for (const std::optional<std::string>& pw :
         {std::optional<std::string>(), std::optional<std::string>("wrong"),
          std::optional<std::string>(*user() + "x")}) {
        auto handler = open(pw);
        ASSERT_FALSE(handler.ok());
        EXPECT_STREQ(handler.error().message(), "incorrect password");
    }
}

INSTANTIATE_TEST_SUITE_P(Revisions, QpdfFile, ::testing::ValuesIn(kQpdfCases),
                         [](const auto& info) { return std::string(info.param.name); });

const QpdfCase& qpdf_case(std::string_view name) {
    for (const QpdfCase& c : kQpdfCases) {
        if (c.name == name) return c;
    }
    std::abort();
}

// A qpdf case's /Encrypt dictionary with one piece of text replaced.
class EditedDictionary {
  public:
    EditedDictionary(std::string_view name, std::string_view from, std::string_view to)
        : c_(qpdf_case(name)), text_(unhex(c_.encrypt)) {
        const std::size_t at = text_.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        if (at != std::string::npos) text_.replace(at, from.size(), to);
        object_ = parse(text_, arena_);
    }
    Result<std::unique_ptr<SecurityHandler>> open(std::optional<std::string> pw = "usr") const {
        return SecurityHandler::open(object_, unhex(c_.file_id), pw);
    }
    const QpdfCase& c() const { return c_; }

  private:
    const QpdfCase& c_;
    Arena arena_;
    std::string text_;
    PdfObject object_;
};

// --- crypt filters ----------------------------------------------------------

TEST(CryptFilters, IdentityStringFilterLeavesStringsAsTheyAre) {
    const EditedDictionary d("aes_128_r4", "/StrF /StdCF", "/StrF /Identity");
    auto handler = d.open();
    ASSERT_TRUE(handler.ok()) << handler.error().display();
    EXPECT_EQ((*handler)->decrypt_string("plain", ObjectId{1, 0}), "plain");
    // Streams still go through /StdCF.
    Arena arena;
    const std::string dict = unhex(d.c().content_dict);
    const PdfObject content = PdfObject::stream(parse(dict, arena).dict(), {});
    EXPECT_EQ((*handler)->decrypt_stream(unhex(d.c().content_body),
                                         ObjectId{d.c().content_num, 0}, content),
              kContent);
}

struct StreamFilterCase {
    const char* name;
    const char* dict;
    bool decrypted;
};

class StreamCryptFilter : public ::testing::TestWithParam<StreamFilterCase> {};

TEST_P(StreamCryptFilter, StreamsChooseTheirOwnFilter) {
    const QpdfCase& c = qpdf_case("aes_128_r4");
    Arena arena;
    const std::string encrypt_text = unhex(c.encrypt);
    auto handler = SecurityHandler::open(parse(encrypt_text, arena), unhex(c.file_id), "usr");
    ASSERT_TRUE(handler.ok());
    const std::string body = unhex(c.content_body);
    const PdfObject stream = PdfObject::stream(parse(GetParam().dict, arena).dict(), {});
    const std::string out = (*handler)->decrypt_stream(body, ObjectId{c.content_num, 0}, stream);
    EXPECT_EQ(out, GetParam().decrypted ? kContent : body);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, StreamCryptFilter,
    ::testing::Values(
        StreamFilterCase{"NoCryptFilter", "<< >>", true},
        StreamFilterCase{"CryptWithoutNameIsIdentity", "<< /Filter /Crypt >>", false},
        StreamFilterCase{"CryptNamingIdentity",
                         "<< /Filter /Crypt /DecodeParms << /Name /Identity >> >>", false},
        StreamFilterCase{"CryptInAChainNamingStdCF",
                         "<< /Filter [/Crypt /FlateDecode] /DecodeParms [<< /Name /StdCF >> "
                         "null] >>",
                         true},
        StreamFilterCase{"CrossReferenceStream", "<< /Type /XRef >>", false},
        StreamFilterCase{"MetadataWhenEncrypted", "<< /Type /Metadata >>", true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DecryptObject, LeavesCrossReferenceStreamsAndSignatureContentsAlone) {
    const QpdfCase& c = qpdf_case("rc4_128_r3");
    Arena arena;
    const std::string encrypt_text = unhex(c.encrypt);
    auto handler = SecurityHandler::open(parse(encrypt_text, arena), unhex(c.file_id), "usr");
    ASSERT_TRUE(handler.ok());

    PdfObject xref = PdfObject::stream(parse("<< /Type /XRef /ID [<AB><CD>] >>", arena).dict(),
                                       "\x01\x02");
    const PdfObject xref_before = xref;
    decrypt_object(xref, ObjectId{9, 0}, **handler, arena);
    EXPECT_EQ(xref, xref_before);

    PdfObject sig = parse("<< /Type /Sig /Contents <00FF> /Name (x) >>", arena);
    decrypt_object(sig, ObjectId{9, 0}, **handler, arena);
    EXPECT_EQ(sig.get("Contents")->bytes(), "00FF");
    EXPECT_EQ(string_bytes(*sig.get("Name")),
              (*handler)->decrypt_string("x", ObjectId{9, 0}));
}

// --- damaged data and dictionaries -----------------------------------------

TEST(AesData, DamagedBodiesKeepWhatDecrypts) {
    const QpdfCase& c = qpdf_case("aes_128_r4");
    Arena arena;
    const std::string encrypt_text = unhex(c.encrypt);
    auto handler = SecurityHandler::open(parse(encrypt_text, arena), unhex(c.file_id), "usr");
    ASSERT_TRUE(handler.ok());
    const std::string body = unhex(c.content_body);
    const ObjectId id{c.content_num, 0};
    // IV and two whole blocks, then a partial one: the partial block is
    // dropped and the last whole block, having no pad, is kept entire.
    EXPECT_EQ((*handler)->decrypt_string(body.substr(0, 16 + 32 + 5), id), kContent.substr(0, 32));
    EXPECT_EQ((*handler)->decrypt_string(body.substr(0, 16 + 32), id), kContent.substr(0, 32));
    EXPECT_EQ((*handler)->decrypt_string(body.substr(0, 16), id), "");
    EXPECT_EQ((*handler)->decrypt_string(body.substr(0, 7), id), "");
    EXPECT_EQ((*handler)->decrypt_string("", id), "");
}

struct BadDictionary {
    const char* name;
    const char* base;
    const char* from;
    const char* to;
    const char* message;
};

class MalformedEncryption : public ::testing::TestWithParam<BadDictionary> {};

TEST_P(MalformedEncryption, IsRefusedWithAFixedMessage) {
    const BadDictionary& b = GetParam();
    const EditedDictionary d(b.base, b.from, b.to);
    for (const std::optional<std::string>& pw :
         {std::optional<std::string>(), std::optional<std::string>("usr"),
          std::optional<std::string>("own")}) {
        auto handler = d.open(pw);
        ASSERT_FALSE(handler.ok());
        EXPECT_STREQ(handler.error().message(), b.message);
    }
}

constexpr const char* kUnsupported = "unsupported encryption";

INSTANTIATE_TEST_SUITE_P(
    Dictionaries, MalformedEncryption,
    ::testing::Values(
        BadDictionary{"OtherHandler", "rc4_128_r3", "/Filter /Standard", "/Filter /Other",
                      kUnsupported},
        BadDictionary{"UnknownVersion", "rc4_128_r3", "/V 2", "/V 3", kUnsupported},
        BadDictionary{"UnknownRevision", "rc4_128_r3", "/R 3", "/R 7", kUnsupported},
        BadDictionary{"Aes256WithOldRevision", "aes_256_r6", "/R 6", "/R 4", kUnsupported},
        BadDictionary{"AbsurdKeyLength", "rc4_128_r3", "/Length 128", "/Length 4294967296",
                      kUnsupported},
        BadDictionary{"NegativeKeyLength", "rc4_128_r3", "/Length 128", "/Length -8",
                      kUnsupported},
        BadDictionary{"KeyLengthNotWholeBytes", "rc4_128_r3", "/Length 128", "/Length 129",
                      kUnsupported},
        BadDictionary{"UnknownCryptMethod", "aes_128_r4", "/CFM /AESV2", "/CFM /AESV9",
                      kUnsupported},
        BadDictionary{"StreamFilterNotDefined", "aes_128_r4", "/StmF /StdCF", "/StmF /Other",
                      kUnsupported},
        BadDictionary{"Aes256UnderVersion4", "aes_128_r4", "/CFM /AESV2", "/CFM /AESV3",
                      kUnsupported},
        BadDictionary{"OwnerEntryTruncated", "rc4_128_r3", "/O <", "/O <0011> /XX <",
                      kUnsupported},
        BadDictionary{"UserKeyMissing", "aes_256_r6", "/UE", "/XX", kUnsupported},
        BadDictionary{"UserKeyTruncated", "aes_256_r6", "/UE <", "/UE <0011> /XX <",
                      kUnsupported},
        BadDictionary{"UserEntryTruncated", "aes_256_r6", "/U <", "/U <0011> /XX <",
                      kUnsupported},
        BadDictionary{"OwnerKeyTruncated", "aes_256_r5", "/OE <", "/OE <> /XX <",
                      kUnsupported},
        BadDictionary{"PermissionsChanged", "rc4_128_r3", "/P -4", "/P -8",
                      "incorrect password"}),
    [](const auto& info) { return std::string(info.param.name); });

// --- encrypted files of the corpus -----------------------------------------

// What a Document will hand the handler, found the crude way: the last
// /Encrypt of the file (an object or a reference to one) and the last /ID.
struct Located {
    PdfObject encrypt;
    std::string file_id;
};

std::optional<Located> locate(std::string_view data, Arena& arena) {
    const auto value_after = [&](std::size_t at) -> std::optional<PdfObject> {
        Cursor cur(data, arena, at);
        Result<PdfObject> obj = parse_object(cur);
        if (!obj.ok()) return std::nullopt;
        return std::move(*obj);
    };
    Located out;
    const std::size_t id_at = data.rfind("/ID");
    if (id_at != std::string_view::npos) {
        if (auto ids = value_after(id_at + 3); ids && ids->is_array() && !ids->as_array().empty()) {
            out.file_id = string_bytes(ids->as_array()[0]);
        }
    }
    const std::size_t enc_at = data.rfind("/Encrypt");
    if (enc_at == std::string_view::npos) return std::nullopt;
    std::optional<PdfObject> enc = value_after(enc_at + 8);
    if (enc && enc->is_ref()) {
        const std::string header = std::to_string(enc->as_ref().num) + " " +
                                   std::to_string(enc->as_ref().gen) + " obj";
        std::size_t at = data.rfind(header);
        while (at != std::string_view::npos && at > 0 && !is_pdf_whitespace(data[at - 1])) {
            at = data.rfind(header, at - 1);
        }
        if (at == std::string_view::npos) return std::nullopt;
        enc = value_after(at + header.size());
    }
    if (!enc || !enc->is_dict()) return std::nullopt;
    out.encrypt = std::move(*enc);
    return out;
}

// The Flate streams of objects written directly in the file, each with its
// identity: decrypted with the right key, every one inflates.
std::vector<std::pair<ObjectId, PdfObject>> flate_streams(std::string_view data, Arena& arena) {
    std::vector<std::pair<ObjectId, PdfObject>> found;
    for (std::size_t at = data.find(" obj"); at != std::string_view::npos && found.size() < 8;
         at = data.find(" obj", at + 1)) {
        // Back over "num gen" before " obj".
        std::size_t start = at;
        int numbers = 0;
        while (numbers < 2 && start > 0) {
            std::size_t end = start;
            while (start > 0 && is_pdf_digit(data[start - 1])) --start;
            if (start == end) break;
            ++numbers;
            if (numbers < 2 && start > 0 && data[start - 1] == ' ') --start;
        }
        if (numbers != 2) continue;
        Cursor cur(data, arena, start);
        auto num = parse_integer_raw(cur);
        cur.skip_ws();
        auto gen = parse_integer_raw(cur);
        if (!num.ok() || !gen.ok()) continue;
        cur.pos = at + 4;
        Result<PdfObject> dict = parse_object(cur);
        if (!dict.ok() || !dict->is_dict()) continue;
        cur.skip_ws();
        if (!cur.starts_with("stream")) continue;
        Result<PdfObject> stream = parse_stream(cur, std::move(dict->dict()));
        if (!stream.ok()) continue;
        const PdfObject* filter = stream->get("Filter");
        if (!filter || !filter->is_name("FlateDecode") || stream->get("Type")) continue;
        found.emplace_back(ObjectId{static_cast<std::uint32_t>(*num),
                                    static_cast<std::uint16_t>(*gen)},
                           std::move(*stream));
    }
    return found;
}

struct CorpusFile {
    const char* file;
    const char* password; // nullptr: the empty user password opens it
};

class EncryptedCorpusFile : public ::testing::TestWithParam<CorpusFile> {};

TEST_P(EncryptedCorpusFile, OpensAndItsStreamsInflate) {
    const std::filesystem::path path = std::filesystem::path(QUARVEL_CORPUS_DIR) / GetParam().file;
    std::ifstream in(path, std::ios::binary);
    if (!in) GTEST_SKIP() << "corpus absent";
    const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Arena arena;
    std::optional<Located> located = locate(data, arena);
    ASSERT_TRUE(located.has_value());

    if (GetParam().password) {
        auto refused = SecurityHandler::open(located->encrypt, located->file_id, std::nullopt);
        ASSERT_FALSE(refused.ok());
        EXPECT_STREQ(refused.error().message(), "incorrect password");
    }
    const std::optional<std::string_view> pw =
        GetParam().password ? std::optional<std::string_view>(GetParam().password) : std::nullopt;
    auto handler = SecurityHandler::open(located->encrypt, located->file_id, pw);
    ASSERT_TRUE(handler.ok()) << handler.error().display();

    for (auto& [id, stream] : flate_streams(data, arena)) {
        decrypt_object(stream, id, **handler, arena);
        EXPECT_TRUE(decompress_flate(stream.stream_data()).ok()) << "object " << id.num;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Corpus, EncryptedCorpusFile,
    ::testing::Values(CorpusFile{"pdfjs-issue17215.pdf", nullptr},
                      CorpusFile{"pdfjs-secHandler.pdf", nullptr},
                      CorpusFile{"pdfminer-encrypted_doc_no_id.pdf", nullptr},
                      CorpusFile{"pdfminer-issue-00352-hash-twos-complement.pdf", nullptr},
                      CorpusFile{"pypdf-r2-empty-password.pdf", nullptr},
                      CorpusFile{"pypdf-r4-aes-v2-no-key-length.pdf", nullptr},
                      CorpusFile{"qpdf-enc-XI-R6_V5_O_master.pdf", nullptr},
                      CorpusFile{"qpdf-leading-junk.pdf", nullptr},
                      CorpusFile{"pdfminer-aes-256-r6.pdf", "usersecret"},
                      CorpusFile{"pdfminer-aes-256-r6.pdf", "ownersecret"},
                      CorpusFile{"pypdf-libreoffice-writer-password.pdf", "openpassword"},
                      CorpusFile{"pypdf-r2-user-password.pdf", "asdfzxcv"}));

} // namespace
} // namespace quarvel

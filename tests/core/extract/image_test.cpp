#include "extract/image.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "file/document.h"
#include "resource_limits.h"
#include "support/pdf_builder.h"

namespace quarvel {
namespace {

using testing::flate;
using testing::PdfBuilder;

PdfObject stream_with(std::string_view key, PdfObject value, std::string_view data) {
    PdfDict dict;
    dict.push_back({key, std::move(value)});
    return PdfObject::stream(std::move(dict), data);
}

PdfObject names(std::initializer_list<std::string_view> items) {
    PdfArray array;
    for (std::string_view n : items)
        array.push_back(PdfObject::name(n));
    return PdfObject::array(std::move(array));
}

// The 12 samples of a 2 x 2 8-bit RGB image.
const std::string kSamples = "\x10\x20\x30\x40\x50\x60\x70\x80\x90\xa0\xb0\xc0";

struct FilterCase {
    const char* label;
    PdfObject filter;
    std::string data;
    const char* ext;
    std::string image;
};

class ImageFilters : public ::testing::TestWithParam<FilterCase> {};

TEST_P(ImageFilters, ChoosesExtensionAndBytes) {
    const FilterCase& c = GetParam();
    PdfObject image = stream_with("Filter", c.filter, c.data);
    std::vector<std::string> filters = extract_filter(image);
    EXPECT_EQ(filter_to_ext(filters), c.ext);
    EXPECT_EQ(extract_image_data(image, filters), c.image);
}

const std::string kJpeg = "\xff\xd8\xff\xe0 jpeg body \xff\xd9";
const std::string kDeflated = flate(kSamples);

INSTANTIATE_TEST_SUITE_P(
    Filters, ImageFilters,
    ::testing::Values(
        FilterCase{"Dct", PdfObject::name("DCTDecode"), kJpeg, "jpeg", kJpeg},
        FilterCase{"Jpx", PdfObject::name("JPXDecode"), "jp2 data", "jpx", "jp2 data"},
        // The ASCII85 layer stays: the JPEG is handed over as stored.
        FilterCase{"Ascii85ThenDct", names({"ASCII85Decode", "DCTDecode"}), "<~encoded~>", "jpeg",
                   "<~encoded~>"},
        FilterCase{"FlateRgb", PdfObject::name("FlateDecode"), kDeflated, "png", kSamples},
        // Flate decides the extension, DCT keeps the bytes raw.
        FilterCase{"FlateThenDct", names({"FlateDecode", "DCTDecode"}), kDeflated, "png",
                   kDeflated},
        // Inflating ASCII85 text fails, so the raw bytes come back.
        FilterCase{"Ascii85ThenFlate", names({"ASCII85Decode", "FlateDecode"}), "<~abc~>", "png",
                   "<~abc~>"},
        FilterCase{"Lzw", PdfObject::name("LZWDecode"), "lzw bytes", "png", "lzw bytes"},
        FilterCase{"Jbig2", PdfObject::name("JBIG2Decode"), "jbig2", "png", "jbig2"},
        FilterCase{"UnknownBeforeJpx", names({"Crypt", "JPXDecode"}), "j", "jpx", "j"},
        FilterCase{"NotAName", PdfObject::integer(3), "raw", "png", "raw"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(ImageFilters, ArrayKeepsOnlyNamesInOrder) {
    PdfArray mixed;
    mixed.push_back(PdfObject::name("A"));
    mixed.push_back(PdfObject::integer(1));
    mixed.push_back(PdfObject::name("B"));
    PdfObject image = stream_with("Filter", PdfObject::array(std::move(mixed)), "");
    EXPECT_EQ(extract_filter(image), (std::vector<std::string>{"A", "B"}));
    EXPECT_TRUE(extract_filter(PdfObject::integer(4)).empty());
}

TEST(ImageData, ObjectsWithoutStreamHaveNoBytes) {
    PdfDict dict;
    dict.push_back({"Subtype", PdfObject::name("Image")});
    EXPECT_EQ(extract_image_data(PdfObject::dictionary(std::move(dict)), {}), "");
}

struct SpaceCase {
    const char* label;
    PdfObject value;
    const char* expected;
};

class ImageColorspace : public ::testing::TestWithParam<SpaceCase> {};

TEST_P(ImageColorspace, NamesTheSpace) {
    EXPECT_EQ(extract_colorspace(stream_with("ColorSpace", GetParam().value, "")),
              GetParam().expected);
}

PdfObject icc_array() {
    PdfArray a;
    a.push_back(PdfObject::name("ICCBased"));
    a.push_back(PdfObject::reference({12, 0}));
    return PdfObject::array(std::move(a));
}

PdfObject array_of_int() {
    PdfArray a;
    a.push_back(PdfObject::integer(5));
    return PdfObject::array(std::move(a));
}

INSTANTIATE_TEST_SUITE_P(
    Spaces, ImageColorspace,
    ::testing::Values(SpaceCase{"Name", PdfObject::name("DeviceGray"), "DeviceGray"},
                      SpaceCase{"IccArray", icc_array(), "ICCBased"},
                      // A referenced space is not followed.
                      SpaceCase{"Reference", PdfObject::reference({7, 0}), "DeviceRGB"},
                      SpaceCase{"EmptyArray", PdfObject::array({}), "Unknown"},
                      SpaceCase{"ArrayOfNumber", array_of_int(), "Unknown"},
                      SpaceCase{"InvalidUtf8Name", PdfObject::name("Dev\xff"), "Dev\xef\xbf\xbd"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(ImageColorspace, MissingMeansRgb) {
    EXPECT_EQ(extract_colorspace(PdfObject::stream({}, "")), "DeviceRGB");
}

// A document whose objects are given directly; the page is not needed, the
// collector only resolves XObjects by number.
std::unique_ptr<Document> open_bytes(const PdfBuilder& b) {
    auto doc = Document::from_mmap(Mapping::from_bytes(b.build()));
    EXPECT_TRUE(doc.ok()) << (doc.ok() ? "" : doc.error().display());
    return doc.ok() ? std::move(doc).value() : nullptr;
}

PdfBuilder catalogue() {
    PdfBuilder b;
    b.object(1, "<< /Type /Catalog /Pages 2 0 R >>")
        .object(2, "<< /Type /Pages /Kids [] /Count 0 >>");
    return b;
}

ImageRef drawn(std::string name, double x0 = 0, double y0 = 0, double x1 = 1, double y1 = 1) {
    return ImageRef{std::move(name), x0, y0, x1, y1};
}

// The page's resources, parsed by the document itself.
ObjectPtr resources_of(const Document& doc, std::uint32_t num) {
    auto object = doc.get_object(num);
    EXPECT_TRUE(object.ok());
    return object.ok() ? std::move(object).value() : std::make_shared<PdfObject>();
}

TEST(ResolveImages, ReadsNumbersWithTheirFallbacks) {
    PdfBuilder b = catalogue();
    b.object(9, "<< /XObject << /Im1 10 0 R /Im2 11 0 R /Im3 12 0 R >> >>")
        .stream(10,
                "/Type /XObject /Subtype /Image /Width 2 /Height 3 /BitsPerComponent 4 "
                "/ColorSpace /DeviceGray",
                "abcdef")
        // A real width is not an integer; an absent depth is 8 bits.
        .stream(11, "/Subtype /Image /Width 100.0 /Height 4294967297", "x")
        // Only the low bits of an oversized depth are kept.
        .stream(12, "/Subtype /Image /BitsPerComponent 257 /Width 12 0 R", "y");
    auto doc = open_bytes(b);
    ASSERT_NE(doc, nullptr);
    ObjectPtr res = resources_of(*doc, 9);

    auto images =
        resolve_images({drawn("Im1", 10, 20, 110, 70), drawn("Im2"), drawn("Im3")}, *res, *doc);
    ASSERT_EQ(images.size(), 3u);
    EXPECT_EQ(images[0].width, 2u);
    EXPECT_EQ(images[0].height, 3u);
    EXPECT_EQ(images[0].bpc, 4);
    EXPECT_EQ(images[0].colorspace, "DeviceGray");
    EXPECT_EQ(images[0].ext, "png");
    EXPECT_EQ(images[0].image, "abcdef");
    EXPECT_EQ(images[0].xref, 10u);
    EXPECT_EQ(images[0].bbox, (BBox{10, 20, 110, 70}));
    EXPECT_EQ(images[1].width, 0u);
    EXPECT_EQ(images[1].height, 1u);
    EXPECT_EQ(images[1].bpc, 8);
    EXPECT_EQ(images[1].colorspace, "DeviceRGB");
    EXPECT_EQ(images[2].bpc, 1);
    EXPECT_EQ(images[2].width, 0u);
}

TEST(ResolveImages, DropsWhatIsNotAnImageAndKeepsDrawingOrder) {
    PdfBuilder b = catalogue();
    b.object(9, "<< /XObject << /Im1 10 0 R /PS1 11 0 R /Gone 99 0 R /Direct << /Subtype "
                "/Image >> /NoType 12 0 R >> >>")
        .stream(10, "/Subtype /Image /Width 1 /Height 1", "p")
        .stream(11, "/Subtype /PS", "%!")
        .stream(12, "/Width 1", "q");
    auto doc = open_bytes(b);
    ASSERT_NE(doc, nullptr);
    ObjectPtr res = resources_of(*doc, 9);

    auto images =
        resolve_images({drawn("Im1", 0, 0, 1, 1), drawn("PS1"), drawn("Gone"), drawn("Direct"),
                        drawn("NoType"), drawn("Unknown"), drawn("Im1", 5, 5, 6, 6)},
                       *res, *doc);
    // The image drawn twice is listed twice, each with its own box.
    ASSERT_EQ(images.size(), 2u);
    EXPECT_EQ(images[0].bbox, (BBox{0, 0, 1, 1}));
    EXPECT_EQ(images[1].bbox, (BBox{5, 5, 6, 6}));
    EXPECT_EQ(images[1].image, "p");
}

TEST(ResolveImages, SearchesOneLevelOfForms) {
    PdfBuilder b = catalogue();
    b.object(9, "<< /XObject << /Broken 98 0 R /Fm0 20 0 R /Fm1 21 0 R >> >>")
        // A form whose entry for the name is not a reference is left; the
        // search goes on with the next form.
        .stream(20, "/Subtype /Form /Resources << /XObject << /Im5 7 /Deep 22 0 R >> >>", "")
        .stream(21, "/Subtype /Form /Resources << /XObject << /Im5 30 0 R >> >>", "")
        .stream(22, "/Subtype /Form /Resources << /XObject << /Im9 31 0 R >> >>", "")
        .stream(30, "/Subtype /Image /Width 5", "five")
        .stream(31, "/Subtype /Image /Width 9", "nine");
    auto doc = open_bytes(b);
    ASSERT_NE(doc, nullptr);
    ObjectPtr res = resources_of(*doc, 9);

    auto images = resolve_images({drawn("Im5"), drawn("Im9")}, *res, *doc);
    // Im9 is two forms down and is not reached.
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(images[0].xref, 30u);
    EXPECT_EQ(images[0].image, "five");
}

TEST(ResolveImages, NeedsADirectXObjectDictionary) {
    PdfBuilder b = catalogue();
    b.object(9, "<< /XObject 8 0 R >>")
        .object(8, "<< /Im1 10 0 R >>")
        .object(7, "<< /XObject << >> >>")
        .stream(10, "/Subtype /Image", "p");
    auto doc = open_bytes(b);
    ASSERT_NE(doc, nullptr);
    EXPECT_TRUE(resolve_images({drawn("Im1")}, *resources_of(*doc, 9), *doc).empty());
    EXPECT_TRUE(resolve_images({drawn("Im1")}, *resources_of(*doc, 7), *doc).empty());
    EXPECT_TRUE(resolve_images({drawn("Im1")}, PdfObject::integer(1), *doc).empty());
}

TEST(ResolveImages, PageImageCountStopsAtTheLimit) {
    PdfBuilder b = catalogue();
    b.object(9, "<< /XObject << /Im1 10 0 R >> >>").stream(10, "/Subtype /Image", "p");
    auto doc = open_bytes(b);
    ASSERT_NE(doc, nullptr);
    ObjectPtr res = resources_of(*doc, 9);
    std::vector<ImageRef> refs(limits::kMaxImagesPerPage, drawn("Im1"));
    EXPECT_EQ(resolve_images(refs, *res, *doc).size(), limits::kMaxImagesPerPage);
    refs.push_back(drawn("Im1"));
    EXPECT_EQ(resolve_images(refs, *res, *doc).size(), limits::kMaxImagesPerPage);
}

TEST(ResolveImages, ImagesPastTheByteBudgetKeepTheirPlaceWithoutData) {
    PdfBuilder b = catalogue();
    b.object(9, "<< /XObject << /A 10 0 R /B 11 0 R >> >>")
        .stream(10, "/Subtype /Image", "1234")
        .filtered_stream(11, "/Subtype /Image", "123456", "FlateDecode");
    auto doc = open_bytes(b);
    ASSERT_NE(doc, nullptr);
    ObjectPtr res = resources_of(*doc, 9);
    // The budget counts inflated bytes: 4 + 6 fit in 10 exactly.
    auto at = resolve_images({drawn("A"), drawn("B")}, *res, *doc, {10, 10});
    ASSERT_EQ(at.size(), 2u);
    EXPECT_EQ(at[1].image, "123456");
    auto past = resolve_images({drawn("A"), drawn("B"), drawn("A")}, *res, *doc, {10, 9});
    ASSERT_EQ(past.size(), 3u);
    EXPECT_EQ(past[0].image, "1234");
    EXPECT_EQ(past[1].image, "");
    EXPECT_EQ(past[1].ext, "png");
    EXPECT_EQ(past[2].image, "1234"); // a smaller one later still fits
}

} // namespace
} // namespace quarvel

// The content-stream scanner with a small font map (a simple font with
// widths and differences, a two-byte font with a ToUnicode map and CID
// widths) and an XObject map holding an image and a form that draws itself,
// the image and text: the input is the page's decoded content stream.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "fonts/font.h"
#include "content/content_stream.h"

namespace {

quarvel::FontMap make_fonts() {
    quarvel::FontMap fonts;

    auto simple = std::make_shared<quarvel::FontInfo>();
    simple->base_font = "Helvetica";
    simple->encoding = "WinAnsiEncoding";
    for (int i = 0; i < 256; ++i)
        simple->widths.push_back(250.0 + i);
    simple->differences.emplace();
    (*simple->differences)[0x41] = "Aacute";
    (*simple->differences)[0x80] = "fi";
    fonts["F1"] = simple;

    auto cid = std::make_shared<quarvel::FontInfo>();
    cid->base_font = "Mincho";
    cid->is_type0 = true;
    cid->encoding = "Identity-H";
    cid->to_unicode =
        quarvel::parse_cmap("1 begincodespacerange <0000> <FFFF> endcodespacerange\n"
                            "2 beginbfchar <0003> <0020> <0024> <00410042> endbfchar\n"
                            "1 beginbfrange <0100> <01FF> <4E00> endbfrange\n");
    quarvel::CIDFontInfo info;
    info.default_width = 1000.0;
    info.widths.push_back({3, {500.0, 600.0}});
    info.widths.push_back({0x100, {1000.0}});
    cid->cid_font = info;
    fonts["F2"] = cid;
    return fonts;
}

quarvel::XObjectMap make_xobjects(const quarvel::FontMap& fonts) {
    quarvel::XObjectMap xobjects;
    quarvel::XObjectData image;
    image.kind = quarvel::XObjectData::Kind::Image;
    xobjects["Im1"] = image;

    quarvel::XObjectData form;
    form.kind = quarvel::XObjectData::Kind::Form;
    form.content = "q 0.5 0 0 0.5 10 10 cm /Im1 Do Q BT /F1 12 Tf (ab) Tj ET /Fm1 Do";
    form.fonts = fonts;
    form.matrix = quarvel::Matrix{2, 0, 0, 2, 5, 5};
    xobjects["Fm1"] = form;
    return xobjects;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const quarvel::FontMap fonts = make_fonts();
    static const quarvel::XObjectMap xobjects = make_xobjects(fonts);
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    auto result = quarvel::scan_content_stream_full(bytes, fonts, xobjects, 0);
    (void)result;
    // The full reader's interpreter: text rendering matrix, saved text
    // state, inline image data.
    auto full = quarvel::scan_content_stream_full(bytes, fonts, xobjects, 0,
                                                  quarvel::ReadOptions::full_reader());
    (void)full;
    return 0;
}

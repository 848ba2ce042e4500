// Writes the seed inputs of every fuzz target into <out>/<target>/: small
// PDFs and fragments made with the test PDF builder, covering each syntax
// the targets read (both cross-reference forms, object streams, every
// filter, simple and two-byte fonts, forms, images, links, broken tables).
// The seeds kept in fuzz/corpus/ were written by this program; scripts/fuzz.sh
// adds the real files of the shared corpus at run time.
//
//   fuzz_seeds <out>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "support/pdf_builder.h"

namespace {

namespace fs = std::filesystem;
using quarvel::testing::BuildOptions;
using quarvel::testing::PdfBuilder;
using quarvel::testing::XrefStyle;
using namespace std::string_view_literals;

fs::path g_out;

void write(std::string_view target, std::string_view name, std::string_view bytes) {
    const fs::path dir = g_out / target;
    fs::create_directories(dir);
    std::ofstream out(dir / name, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

const char* const kFontResources =
    "<< /Font << /F1 20 0 R /F2 21 0 R >> /XObject << /Im1 30 0 R /Fm1 31 0 R >> >>";

// A page with a simple font, a two-byte font with a ToUnicode map, an image
// and a form that draws text.
PdfBuilder rich_document() {
    PdfBuilder b = quarvel::testing::simple_document(
        {"BT /F1 12 Tf 72 700 Td (Hello, wor-) Tj T* (ld) Tj [(A) -120 (B)] TJ ET "
         "q 100 0 0 50 72 600 cm /Im1 Do Q /Fm1 Do "
         "BT /F2 10 Tf 1 0 0 1 72 500 Tm <00030024> Tj ET",
         "BT /F1 9 Tf 300 700 Td (second column) Tj 0 -12 Td (of text) ' ET"},
        kFontResources);
    b.object(20, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /FirstChar 32 "
                 "/LastChar 40 /Widths [278 278 355 556 556 889 667 191 333] "
                 "/Encoding << /Differences [65 /Aacute /fi] >> >>");
    b.object(21, "<< /Type /Font /Subtype /Type0 /BaseFont /Mincho /Encoding /Identity-H "
                 "/DescendantFonts [22 0 R] /ToUnicode 23 0 R >>");
    b.object(22, "<< /Type /Font /Subtype /CIDFontType2 /BaseFont /Mincho /DW 1000 "
                 "/W [3 [500 600] 36 40 700] /CIDToGIDMap /Identity >>");
    b.filtered_stream(23, "",
                      "/CIDInit /ProcSet findresource begin 12 dict begin begincmap\n"
                      "1 begincodespacerange <0000> <FFFF> endcodespacerange\n"
                      "2 beginbfchar <0003> <0020> <0024> <0041> endbfchar\n"
                      "1 beginbfrange <0100> <0110> <4E00> endbfrange\n"
                      "endcmap CMapName currentdict /CMap defineresource pop end end",
                      "FlateDecode");
    b.filtered_stream(30,
                      "/Type /XObject /Subtype /Image /Width 2 /Height 2 /BitsPerComponent 8 "
                      "/ColorSpace /DeviceRGB",
                      std::string(12, '\x7f'), "FlateDecode");
    b.stream(31,
             "/Type /XObject /Subtype /Form /BBox [0 0 100 100] /Matrix [1 0 0 1 10 10] "
             "/Resources << /Font << /F1 20 0 R >> >>",
             "BT /F1 8 Tf (in a form) Tj ET");
    return b;
}

std::string with_links() {
    PdfBuilder b;
    b.object(1, "<< /Type /Catalog /Pages 2 0 R >>");
    b.object(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>");
    b.object(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R "
                "/Annots [5 0 R 6 0 R] >>");
    b.stream(4, "", "BT 72 700 Td (link) Tj ET");
    b.object(5, "<< /Type /Annot /Subtype /Link /Rect [72 690 120 710] "
                "/A << /S /URI /URI (https://example.org/a) >> >>");
    b.object(6, "<< /Subtype /Link /Rect [0 0 10 10] /A 7 0 R >>");
    b.object(7, "<< /S /URI /URI <68747470733a2f2f6578616d706c652e6f72672f62> >>");
    return b.build();
}

// Objects 3 (page) and 4 (its content) packed in object stream 5, read
// through a cross-reference stream.
std::string with_object_stream() {
    const std::string page = "<< /Type /Page /Parent 2 0 R /Contents 6 0 R >>";
    const std::string font = "<< /Type /Font /Subtype /Type1 /BaseFont /Courier >>";
    const std::string header = "3 0 4 " + std::to_string(page.size() + 1) + " ";
    const std::string body = header + page + " " + font;
    PdfBuilder b;
    b.object(1, "<< /Type /Catalog /Pages 2 0 R >>");
    b.object(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>");
    b.filtered_stream(5, "/Type /ObjStm /N 2 /First " + std::to_string(header.size()), body,
                      "FlateDecode");
    b.stream(6, "", "BT /F1 11 Tf 50 50 Td (packed) Tj ET");
    BuildOptions options;
    options.xref = XrefStyle::Stream;
    std::string pdf = b.build(options);
    return pdf;
}

void document_seeds() {
    const std::string rich = rich_document().build();
    write("document", "rich_table.pdf", rich);
    BuildOptions stream;
    stream.xref = XrefStyle::Stream;
    write("document", "rich_xref_stream.pdf", rich_document().build(stream));
    write("document", "links.pdf", with_links());
    write("document", "object_stream.pdf", with_object_stream());

    BuildOptions shifted;
    shifted.offset_shift = 7;
    write("document", "shifted_offsets.pdf", rich_document().build(shifted));
    BuildOptions none;
    none.xref = XrefStyle::None;
    write("document", "no_xref.pdf", rich_document().build(none));

    PdfBuilder filters = quarvel::testing::simple_document({"BT (x) Tj ET"});
    filters.filtered_stream(4, "", "BT 10 10 Td (ascii hex) Tj ET", "ASCIIHexDecode");
    filters.filtered_stream(6, "", "BT (lzw lzw lzw lzw) Tj ET", "LZWDecode");
    write("document", "filters.pdf", filters.build());

    PdfBuilder chain;
    chain.object(1, "<< /Type /Catalog /Pages 2 0 R >>");
    chain.object(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>");
    chain.object(3, "<< /Type /Page /Parent 2 0 R /Contents [4 0 R 5 0 R] >>");
    chain.stream(4, "/Filter [/ASCII85Decode /FlateDecode]",
                 quarvel::testing::ascii85(quarvel::testing::flate("BT (chain) Tj")));
    chain.stream(5, "/Filter [/ASCIIHexDecode /RunLengthDecode]",
                 quarvel::testing::ascii_hex(quarvel::testing::run_length(" ET")));
    write("document", "filter_chain.pdf", chain.build());

    PdfBuilder tree;
    tree.object(1, "<< /Type /Catalog /Pages 2 0 R >>");
    tree.object(2, "<< /Type /Pages /Kids [3 0 R 2 0 R 4 0 R] /Count 2 >>");
    tree.object(3, "<< /Type /Pages /Kids [5 0 R] /Parent 2 0 R >>");
    tree.object(4, "<< /Type /Page /Parent 2 0 R /Annots [6 0 R 6 0 R] >>");
    tree.object(5, "<< /Type /Page /Parent 3 0 R /Contents 7 0 R /Resources << /XObject "
                   "<< /X 8 0 R >> >> >>");
    tree.object(6, "<< /Subtype /Link /Rect [1 2 3 4] /A << /URI (u) >> >>");
    tree.stream(7, "", "/X Do BT (t) Tj ET");
    tree.stream(8, "/Subtype /Form /Resources << /XObject << /X 8 0 R >> >>", "/X Do (f) Tj");
    write("document", "cycles.pdf", tree.build());
}

void xref_seeds() {
    PdfBuilder b = quarvel::testing::simple_document({"BT (a) Tj ET"});
    write("xref", "table.pdf", b.build());
    BuildOptions crlf;
    crlf.entry_eol = "\r\n";
    write("xref", "table_crlf.pdf", b.build(crlf));
    BuildOptions stream;
    stream.xref = XrefStyle::Stream;
    write("xref", "stream.pdf", b.build(stream));
    write("xref", "object_stream.pdf", with_object_stream());
    write("xref", "bare_table",
          "xref\n0 3\n0000000000 65535 f \n0000000017 00000 n \n0000000081 00000 n \n"
          "trailer\n<< /Size 3 /Root 1 0 R /Info 2 0 R >>\nstartxref\n0\n%%EOF\n");
    write("xref", "bare_stream",
          "1 0 obj << /Type /XRef /W [1 2 1] /Index [0 3] /Size 3 /Root 1 0 R /Length 12 >>\n"
          "stream\n\x00\x00\x00\xff\x01\x00\x10\x00\x02\x00\x05\x01\nendstream\nendobj\n"sv);
    write("xref", "bare_objstm",
          "5 0 obj << /Type /ObjStm /N 2 /First 8 /Length 17 >>\nstream\n"
          "1 0 2 2 << >> [1]\nendstream\nendobj\n");
}

void recovery_seeds() {
    BuildOptions none;
    none.xref = XrefStyle::None;
    write("recovery", "no_xref.pdf",
          quarvel::testing::simple_document({"BT (a) Tj ET"}).build(none));
    write("recovery", "catalog_second_pass",
          "%PDF-1.4\n1 0 obj << /Type /Catalog >> endobj\n"
          "2 0 obj << /Kids [3 0 R] /Type /Pages >> endobj\n"
          "x12 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n");
    write("recovery", "nested",
          "%PDF-1.7\n 4 0 obj\n<< /Kids [3 0 R] /A << /B (/C) >> /Type /Catalog /Pages 2 0 R >>\n"
          "endobj 5 0 obj 99999999999 endobj\n6 0 obj <</Type/Catalog/Pages 7 0 R>>");
}

void object_seeds() {
    const char* const objects[] = {
        "<< /Type /Page /MediaBox [0 0 612.5 -792] /Parent 2 0 R /N null /B true >>",
        "[1 2.5 -.5 +3 4. (str (nested) \\) esc) <48656C6C6F> /Na#6De /# [[[]]] false]",
        "<< /Length 5 >>\nstream\nhello\nendstream",
        "<< /Length 8 0 R >> stream\r\nbody endstream",
        "(unbalanced ( paren",
        "<< /A 1 /A 2 /Emb << /K [ /V 0 R ] >> % comment\n >>",
        "12 0 R 13 1 R 7 -3 R 99999999999999999999 1e5 .e 0.000001",
        "/Name#20With#2FEscapes /Bad#ZZ <<>> <> <4 8 6 >",
    };
    int i = 0;
    for (const char* o : objects)
        write("object", "obj" + std::to_string(i++), o);
}

void filter_seeds() {
    const std::string text = "BT /F1 12 Tf 72 712 Td (The quick brown fox) Tj ET\n";
    // Selector bytes whose low bits give one filter from the first slot.
    const struct {
        std::uint8_t selector;
        std::string body;
    } seeds[] = {
        {0x00, quarvel::testing::flate(text)},
        {0x04, quarvel::testing::lzw(text)},
        {0x08, quarvel::testing::ascii85(text)},
        {0x0c, quarvel::testing::ascii_hex(text)},
        {0x10, quarvel::testing::run_length(text)},
        {0x00, quarvel::testing::flate(std::string(1 << 16, 'z'))},
        {0x08, "z!!!!~>"},
        {0x10, "\x80\x41\x02xyz"},
    };
    int i = 0;
    for (const auto& s : seeds) {
        write("filters", "filter" + std::to_string(i++),
              std::string(1, static_cast<char>(s.selector)) + s.body);
    }
}

void cmap_seeds() {
    write("cmap", "bfchar_bfrange",
          "/CIDInit /ProcSet findresource begin 12 dict begin begincmap\n"
          "1 begincodespacerange <00> <FF> endcodespacerange\n"
          "3 beginbfchar <01> <0041> <02> <D835DC00> <03> <00660069> endbfchar\n"
          "2 beginbfrange <10> <1F> <0030> <20> <22> [<0061> <0062> <0063>] endbfrange\n"
          "endcmap\n");
    write("cmap", "two_byte",
          "2 beginbfchar <0003> <0020> <FFFF> <FFFD> endbfchar\n"
          "1 beginbfrange <0000> <FFFF> <0000> endbfrange\n"
          "1 begincidrange <0000> <00FF> 0 endcidrange\n");
    write("cmap", "broken", "beginbfchar <0 <00 41> endbfchar beginbfrange <20> endbfrange");
}

// Fonts of every kind the full reader decodes, on one page.
void full_font_seeds() {
    const std::string type1 = "%!PS-AdobeFont-1.0: T\n/Encoding 256 array\n"
                              "dup 65 /A put dup 11 /ff put\nreadonly def\ncurrentfile eexec\n";
    PdfBuilder b;
    b.object(1, "<< /Type /Catalog /Pages 2 0 R >>");
    b.object(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>");
    b.object(3, "<< /Type /Page /Parent 2 0 R /Resources << /Font << /W 4 0 R /T 5 0 R "
                "/C 7 0 R /J 10 0 R /Y 11 0 R >> >> >>");
    b.object(4, "<< /Subtype /Type1 /BaseFont /Helvetica /Encoding << /BaseEncoding "
                "/WinAnsiEncoding /Differences [65 /f_i /uni0416 /a.sc] >> /ToUnicode 12 0 R >>");
    b.object(5, "<< /Subtype /Type1 /FirstChar 65 /Widths [500] /FontDescriptor 6 0 R >>");
    b.object(6, "<< /FontFile 13 0 R /Ascent 700 /Descent -200 >>");
    b.filtered_stream(13, "", type1, "FlateDecode");
    b.object(7, "<< /Subtype /Type0 /Encoding 8 0 R /DescendantFonts [9 0 R] >>");
    b.stream(8, "", "/90ms-RKSJ-H usecmap /WMode 1 def 2 begincodespacerange <00> <80> "
                    "<8140> <9FFC> endcodespacerange 1 begincidrange <20> <7E> 1 endcidrange");
    b.object(9, "<< /Subtype /CIDFontType2 /W [1 [250 300] 5 9 400] /CIDSystemInfo << "
                "/Registry (Adobe) /Ordering (Japan1) >> /CIDToGIDMap /Identity >>");
    b.object(10, "<< /Subtype /Type0 /Encoding /UniGB-UCS2-H /DescendantFonts [9 0 R] >>");
    b.object(11, "<< /Subtype /Type3 /FontMatrix [0.01 0 0 0.01 0 0] /FontBBox [0 0 80 90] "
                 "/FirstChar 97 /Widths [60] /Encoding << /Differences [97 /a /C98] >> >>");
    b.stream(12, "", "1 beginbfrange <41> <43> [<0066006C> <D835DC00> <0041>] endbfrange");
    write("full_font", "fonts.pdf", b.build());
}

// The full reader's whole documents: the document target's seeds, and a
// page that paints in every colour space with paths, clips and a form.
void full_document_seeds() {
    const std::string rich = rich_document().build();
    write("full_document", "rich_table.pdf", rich);
    write("full_document", "links.pdf", with_links());
    write("full_document", "object_stream.pdf", with_object_stream());
    PdfBuilder b = quarvel::testing::simple_document(
        {"q 2 w 1 0 0 RG 0 0 1 rg 10 10 100 50 re B Q 0 0 m 100 100 l 50 0 30 30 60 60 c S "
         "0 0 m 0 5 l 10 5 l 10 0 l h f* 5 5 m 20 20 30 0 v 40 40 50 50 y b "
         "q 0 0 300 300 re W n /Ic cs 0.2 0.4 0.6 scn /In CS 1 SCN /Lb cs 50 20 -20 sc "
         "/Sp cs 0.5 sc /Dn CS 0.1 0.2 SC 0.1 0.2 0.3 0.4 k 0.5 G 320 320 5 5 re B Q "
         "/Pattern cs /P0 scn /Fm1 Do 0.5 0 0 0.5 0 0 cm 1 1 1 1 re n "
         "BT /F1 12 Tf 1 0 0 rg 72 700 Td (red) Tj 0 g (black) Tj ET"},
        "<< /Font << /F1 20 0 R >> /XObject << /Fm1 21 0 R >> /ColorSpace << /Ic [/ICCBased "
        "22 0 R] /In [/Indexed /DeviceRGB 1 <FF000000FF00>] /Lb [/Lab << /WhitePoint [0.95 1 "
        "1.09] >>] /Sp [/Separation /Spot /DeviceCMYK 23 0 R] /Dn [/DeviceN [/A /B] "
        "/DeviceCMYK 23 0 R] >> >>");
    b.object(20, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>");
    b.stream(21, "/Type /XObject /Subtype /Form /BBox [0 0 50 50] /Matrix [2 0 0 2 5 5] "
                 "/Resources << /ColorSpace << /Ic [/ICCBased 22 0 R] >> >>",
             "/Ic cs 1 0 0 sc 0 0 10 10 re f q 0 0 5 5 re W n 20 20 m 30 30 l S Q");
    b.stream(22, "/N 3", "");
    b.object(23, "<< /FunctionType 2 /Domain [0 1] /C0 [0 0 0 0] /C1 [0 1 0 0] /N 1 >>");
    write("full_document", "drawings.pdf", b.build());
}

void content_seeds() {
    const char* const streams[] = {
        "BT /F1 12 Tf 72 712 Td (Hello) Tj 0 -14 Td [(W) 120 (orld)] TJ T* (x) ' 1 2 (y) \" ET",
        "q 1 0 0 1 50 50 cm BT /F2 10 Tf 2 Tz 3 Tc 4 Tw 5 TL 6 Ts <00030024> Tj ET Q",
        "/Im1 Do q 200 0 0 100 0 0 cm /Im1 Do Q /Fm1 Do /Missing Do",
        "BT 1 0 0 1 10 10 Tm /F1 1e3 Tf (big) Tj ET BI /W 1 /H 1 ID \xff EI",
        "[[[[(deep)]]]] TJ % comment\n BT ET BT (no font) Tj ET",
        "BT /F1 12 Tf 0 0 0 0 0 0 Tm (degenerate) Tj 1e308 1e308 Td (far) Tj ET",
        // The full reader: a rotated 1-point font, text state across q/Q,
        // inline image data with operator bytes in it.
        "BT /F1 1 Tf 0 12 -12 0 300 72 Tm 2 Ts 80 Tz q /F2 9 Tf Q (rot) Tj ET "
        "BI /W 2 /H 1 /CS /G /BPC 8 ID \n(E EI BI /F /A85 ID\n(EI~>\nEI Q Q BT (after) Tj ET",
    };
    int i = 0;
    for (const char* s : streams)
        write("content", "content" + std::to_string(i++), s);
}

void put16(std::string& out, unsigned v) {
    out.push_back(static_cast<char>(v >> 8));
    out.push_back(static_cast<char>(v & 0xff));
}

void layout_seeds() {
    // Two columns of two lines, the first line ending in a hyphen.
    std::string out;
    const std::string lines[] = {"Hyphen-", "ated words", "Right col", "umn text"};
    const unsigned xs[] = {800, 800, 4500, 4500};
    const unsigned ys[] = {11000, 10880, 11000, 10880};
    for (int l = 0; l < 4; ++l) {
        unsigned x = xs[l];
        for (char ch : lines[l]) {
            put16(out, x + 4000);
            put16(out, ys[l] + 4000);
            put16(out, x + 4060);
            put16(out, ys[l] + 4120);
            put16(out, static_cast<unsigned char>(ch));
            x += 60;
        }
    }
    write("layout", "columns", out);
    std::string odd;
    for (unsigned v : {0xFFFFu, 0xFFFEu, 0xFFFDu, 0xFFFCu, 0u}) {
        for (int k = 0; k < 4; ++k)
            put16(odd, v);
        put16(odd, 'x');
    }
    write("layout", "non_finite", odd);
}

// Markdown records: x0 y0 x1 y1, size (quarter points), style, where, word.
void markdown_seeds() {
    auto span = [](std::string& out, unsigned x, unsigned y, unsigned w, unsigned size,
                   unsigned style, unsigned where, unsigned word) {
        put16(out, x * 10 + 4000);
        put16(out, (y - size) * 10 + 4000);
        put16(out, (x + w) * 10 + 4000);
        put16(out, y * 10 + 4000);
        out.push_back(static_cast<char>(size * 4));
        out.push_back(static_cast<char>(style));
        out.push_back(static_cast<char>(where));
        out.push_back(static_cast<char>(word));
    };
    // A titled page with a list, code and a linked word, then a page whose
    // footer number counts the pages; the outline's entries included.
    std::string out(1, '\x01');
    span(out, 72, 760, 200, 18, 0, 3, 1);      // "Chapter 1"
    span(out, 72, 720, 300, 10, 0, 3, 0);      // body
    span(out, 72, 706, 20, 10, 0, 1, 15);      // "hyph-"
    span(out, 72, 690, 60, 10, 0, 1, 16);      // "enated"
    span(out, 72, 660, 60, 10, 0, 3, 9);       // bullet item
    span(out, 90, 646, 60, 10, 0, 1, 4);       // "- " nested
    span(out, 72, 620, 60, 10, 8, 3, 0);       // monospaced
    span(out, 92, 608, 60, 10, 8, 1, 0);       // monospaced, indented
    span(out, 72, 580, 60, 10, 16, 3 | 8, 29); // bold, linked
    span(out, 300, 40, 10, 8, 0, 3, 12);       // "12"
    span(out, 72, 760, 200, 10, 0, 7, 2);      // new page: "2.3 Results"
    span(out, 300, 40, 10, 8, 0, 3, 12);
    write("markdown", "structure", out);
    std::string odd(1, '\x00');
    for (unsigned v : {0xFFFFu, 0xFFFEu, 0xFFFDu, 0u}) {
        for (int k = 0; k < 4; ++k)
            put16(odd, v);
        odd += std::string{'\x28', '\x3f', '\x3f', '\x05'};
    }
    write("markdown", "non_finite", odd);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_seeds <out>\n");
        return 2;
    }
    g_out = argv[1];
    document_seeds();
    xref_seeds();
    recovery_seeds();
    object_seeds();
    filter_seeds();
    cmap_seeds();
    full_font_seeds();
    full_document_seeds();
    content_seeds();
    layout_seeds();
    markdown_seeds();
    return 0;
}

#include "extract/extract.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "docinfo/trees.h"
#include "extract/worker_pool.h"
#include "layout/reading_order.h"
#include "syntax/filters.h"
#include "syntax/text.h"

namespace quarvel {
namespace {

// The C library's allocator gives the top of its heap back to the system
// whenever more than twice its mmap threshold lies free there. The threshold
// starts at 128 KiB and rises to the size of the largest mapped block ever
// freed. A text-dense page needs a few hundred kilobytes for a moment, so
// until some large block has been freed every page faults its memory in
// afresh, which cost the full reader 40% of its time on such documents. One
// block of kAllocatorWarmUpBytes mapped and freed when the library loads
// raises the threshold to where a long-running program's usually is
// already. Elsewhere it is an allocation that does nothing.
struct AllocatorWarmUp {
    AllocatorWarmUp() {
        // Through a volatile pointer, so the pair is not optimised away.
        void* volatile block = std::malloc(kAllocatorWarmUpBytes);
        std::free(block);
    }
    static constexpr std::size_t kAllocatorWarmUpBytes = std::size_t{4} << 20;
};
const AllocatorWarmUp allocator_warm_up;

// The font label every span of a page carries. The font map is unordered,
// so the smallest resource name in byte order is taken: the same page gives
// the same label in every run and on every thread.
std::string default_font_name(const FontMap& fonts) {
    if (fonts.empty()) return "Helvetica";
    const std::string* smallest = nullptr;
    for (const auto& entry : fonts) {
        if (smallest == nullptr || entry.first < *smallest) smallest = &entry.first;
    }
    return *smallest;
}

// The full reader's view of a resources dictionary: the dictionary and its
// /Font and /XObject subdictionaries resolved where they are given by
// reference, so that the readers below see them as if written directly.
// Null for anything that is not a dictionary.
ObjectPtr resources_view(const PdfObject* resources, const Document& document) {
    if (resources == nullptr) return nullptr;
    ObjectPtr dict = document.resolve(*resources);
    if (!dict->is_dict()) return nullptr;
    bool indirect_parts = false;
    for (const DictEntry& entry : dict->dict()) {
        indirect_parts |= (entry.key == "Font" || entry.key == "XObject") && entry.value.is_ref();
    }
    if (!indirect_parts) return dict;
    PdfDict copy = dict->dict();
    for (DictEntry& entry : copy) {
        if ((entry.key == "Font" || entry.key == "XObject") && entry.value.is_ref()) {
            entry.value = *document.resolve(entry.value);
        }
    }
    return std::make_shared<const PdfObject>(PdfObject::dictionary(std::move(copy)));
}

// The value under `key` on the page, else on its nearest ancestor in the
// page tree (/Resources, /CropBox, /MediaBox and /Rotate are inherited), as
// written; `holder` keeps the node it was found on alive.
const PdfObject* inherited_value(const PdfObject& page, std::string_view key,
                                 const Document& document, ObjectPtr& holder) {
    if (const PdfObject* own = page.get(key)) return own;
    const PdfObject* parent = page.get("Parent");
    for (std::size_t depth = 0; parent != nullptr && parent->is_ref() &&
                                depth < limits::kMaxPageTreeDepth;
         ++depth) {
        auto resolved = document.get_object(parent->as_ref().num);
        if (!resolved.ok()) return nullptr;
        holder = std::move(resolved).value();
        if (const PdfObject* value = holder->get(key)) return value;
        parent = holder->get("Parent");
    }
    return nullptr;
}

// A page's resources: its own, else (full reader) the nearest ancestor's.
ObjectPtr page_resources(const PdfObject& page, const Document& document) {
    const PdfObject* own = page.get("Resources");
    if (!document.options().full()) {
        if (own == nullptr) return nullptr;
        if (!own->is_ref()) return ObjectPtr(ObjectPtr(), own);
        auto resolved = document.get_object(own->as_ref().num);
        return resolved.ok() ? std::move(resolved).value() : nullptr;
    }
    ObjectPtr holder;
    const PdfObject* value = inherited_value(page, "Resources", document, holder);
    ObjectPtr view = resources_view(value, document);
    // Resources written directly live in the node that holds them.
    return view.get() == value && value != nullptr ? ObjectPtr(holder, value) : view;
}

// An inherited attribute (/CropBox, /MediaBox, /Rotate), resolved.
ObjectPtr inherited_attribute(const PdfObject& page, std::string_view key,
                              const Document& document) {
    ObjectPtr holder;
    const PdfObject* value = inherited_value(page, key, document, holder);
    if (value == nullptr) return nullptr;
    ObjectPtr resolved = document.resolve(*value);
    // A direct value lives in the node that holds it.
    return resolved.get() == value ? ObjectPtr(holder, value) : resolved;
}

// A rectangle of four finite numbers, its corners put in order.
std::optional<BBox> rectangle(const ObjectPtr& value, const Document& document) {
    if (value == nullptr || !value->is_array() || value->as_array().size() != 4) {
        return std::nullopt;
    }
    BBox r{};
    for (std::size_t i = 0; i < 4; ++i) {
        const std::optional<double> n = document.resolve(value->as_array()[i])->number();
        if (!n || !std::isfinite(*n)) return std::nullopt;
        r[i] = *n;
    }
    return BBox{std::min(r[0], r[2]), std::min(r[1], r[3]), std::max(r[0], r[2]),
                std::max(r[1], r[3])};
}

// The full reader's page: the visible box (the crop box within the media
// box; either alone when the other is missing or broken) and the turn the
// page is shown with.
PageGeometry page_geometry(const PdfObject& page, const Document& document) {
    PageGeometry geometry;
    const std::optional<BBox> media =
        rectangle(inherited_attribute(page, "MediaBox", document), document);
    const std::optional<BBox> crop =
        rectangle(inherited_attribute(page, "CropBox", document), document);
    if (media) geometry.box = *media;
    if (crop) {
        BBox box = *crop;
        if (media) {
            box = {std::max(box[0], (*media)[0]), std::max(box[1], (*media)[1]),
                   std::min(box[2], (*media)[2]), std::min(box[3], (*media)[3])};
        }
        // Crop and media boxes that do not meet are a writer's mistake; the
        // crop box is then left out rather than hiding the whole page.
        if (box[0] <= box[2] && box[1] <= box[3]) geometry.box = box;
    }
    const ObjectPtr rotate = inherited_attribute(page, "Rotate", document);
    if (rotate != nullptr) {
        // Only multiples of 90 are valid; others are ignored, as viewers do.
        const std::optional<double> degrees = rotate->number();
        if (degrees && std::isfinite(*degrees) && std::fmod(*degrees, 90.0) == 0) {
            geometry.quarter_turns =
                static_cast<int>(std::fmod(std::fmod(*degrees, 360.0) + 360.0, 360.0) / 90.0);
        }
    }
    return geometry;
}

Matrix form_matrix(const PdfObject& form) {
    Matrix m;
    const PdfObject* value = form.get("Matrix");
    if (value == nullptr || !value->is_array()) return m;
    const PdfArray& items = value->as_array();
    double* fields[6] = {&m.a, &m.b, &m.c, &m.d, &m.e, &m.f};
    for (std::size_t i = 0; i < 6 && i < items.size(); ++i) {
        if (auto number = items[i].number()) *fields[i] = *number;
    }
    return m;
}

XObjectData form_entry(const PdfObject& form, const Document& document,
                       const PdfObject* inherited, FontCache* font_cache) {
    XObjectData data;
    data.kind = XObjectData::Kind::Form;
    auto decoded = document.decode_stream(form);
    // A form whose filters fail is read as stored: usually no text comes
    // out, but the page itself still does.
    data.content = decoded.ok() ? std::move(decoded).value() : std::string(form.stream_data());
    data.matrix = form_matrix(form);
    if (document.options().full()) {
        // A form without resources of its own uses those of whatever draws
        // it (an older convention many writers still follow).
        const ObjectPtr own = resources_view(form.get("Resources"), document);
        const PdfObject* resources = own != nullptr ? own.get() : inherited;
        if (resources != nullptr) {
            data.fonts = build_font_map(*resources, document, font_cache);
            if (own != nullptr && own->get("ColorSpace") != nullptr) {
                data.color_spaces =
                    std::make_shared<const ColorSpaceMap>(build_color_space_map(*own, document));
            }
        }
    } else if (const PdfObject* resources = form.get("Resources")) {
        data.fonts = build_font_map(*resources, document, font_cache);
    }
    return data;
}

} // namespace

namespace {

// Builds a page's XObject map and, for the full reader, the maps of the
// XObjects named in each form's own /Resources, as deep as forms are drawn.
// A form's nested map is built once per page however many maps name it;
// every copy of a form's content counts against the page's form bytes.
class XObjectMapBuilder {
  public:
    XObjectMapBuilder(const Document& document, std::size_t max_form_bytes, FontCache* fonts,
                      DecodedSources* sources)
        : document_(document), max_form_bytes_(max_form_bytes), fonts_(fonts), sources_(sources) {}

    // `level` 1 is the page's map; its forms are drawn at depth 0.
    XObjectMap build(const PdfObject* resources, unsigned level) {
        XObjectMap map;
        if (resources == nullptr || !resources->has_dict()) return map;
        const PdfObject* xobjects = resources->get("XObject");
        if (xobjects == nullptr || !xobjects->is_dict()) return map;
        for (const DictEntry& entry : xobjects->dict()) {
            if (!entry.value.is_ref()) continue;
            auto resolved = document_.get_object(entry.value.as_ref().num);
            if (!resolved.ok()) continue;
            const PdfObject& object = **resolved;
            const PdfObject* subtype = object.get("Subtype");
            XObjectData data;
            if (subtype != nullptr && subtype->is_name("Form")) {
                if (!object.is_stream()) continue;
                if (level > kFormLevels) {
                    // Never drawn, but still a form: its Do must not be
                    // taken for an image.
                    data.kind = XObjectData::Kind::Form;
                } else {
                    data = form_entry(object, document_, resources, fonts_);
                    if (sources_ != nullptr) {
                        sources_->push_back({entry.value.as_ref().num, data.content.size()});
                    }
                    if (data.content.size() > max_form_bytes_ - form_bytes_) {
                        std::string().swap(data.content);
                    } else {
                        form_bytes_ += data.content.size();
                    }
                    if (document_.options().full()) {
                        data.xobjects = nested(entry.value.as_ref().num, object, level);
                    }
                }
            }
            map.insert_or_assign(lossy_utf8(entry.key), std::move(data));
        }
        return map;
    }

  private:
    // Page content is depth 0 and forms are followed to depth 3 (see
    // do_xobject): the page's map and two nested levels hold drawn forms,
    // one more level holds what those draw.
    static constexpr unsigned kFormLevels = 3;

    std::shared_ptr<const XObjectMap> nested(std::uint32_t num, const PdfObject& form,
                                             unsigned level) {
        const ObjectPtr own = resources_view(form.get("Resources"), document_);
        if (own == nullptr || own->get("XObject") == nullptr) return nullptr;
        const std::uint64_t key = (std::uint64_t{num} << 8) | level;
        if (auto it = built_.find(key); it != built_.end()) return it->second;
        // A form naming itself meets its own entry, still null, and draws
        // with its caller's map; the depth limit ends it either way.
        built_.emplace(key, nullptr);
        auto map = std::make_shared<const XObjectMap>(build(own.get(), level + 1));
        built_[key] = map;
        return map;
    }

    const Document& document_;
    std::size_t max_form_bytes_;
    std::size_t form_bytes_ = 0;
    FontCache* fonts_;
    DecodedSources* sources_;
    std::unordered_map<std::uint64_t, std::shared_ptr<const XObjectMap>> built_;
};

} // namespace

// Forms are decoded here, once per page, however often the content draws
// them.
XObjectMap build_xobject_map(const PdfObject* resources, const Document& document,
                             std::size_t max_form_bytes, FontCache* fonts,
                             DecodedSources* sources) {
    // The full reader passes resources through resources_view first.
    return XObjectMapBuilder(document, max_form_bytes, fonts, sources).build(resources, 1);
}

namespace {

// The characters behind each span are what the layout worked from; nothing
// downstream reads them, and on text-dense pages they are most of a page's
// memory (40 bytes a character, held until the whole document is done).
// Returns the code points of the span texts, counted in the same walk for
// the document's text limit (hyphens dropped at line joins keep their
// character, so the characters themselves do not give this count).
// `pieces` gets the number of blocks, lines and spans, for the same reason.
std::uint64_t drop_span_chars(std::vector<TextBlock>& blocks, std::uint64_t& pieces) {
    std::uint64_t code_points = 0;
    pieces = blocks.size();
    for (TextBlock& block : blocks) {
        pieces += block.lines.size();
        for (TextLine& line : block.lines) {
            pieces += line.spans.size();
            for (TextSpan& span : line.spans) {
                std::vector<CharInfo>().swap(span.chars);
                for (const char c : span.text)
                    code_points += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
            }
        }
    }
    return code_points;
}

// A page with what the document totals need: the code points of its text
// and the streams it was decoded from.
struct CountedPage {
    PageResult page;
    std::uint64_t chars = 0;
    std::uint64_t pieces = 0; // blocks, lines and spans
    std::uint64_t drawn = 0;  // characters and images the content drew
    DecodedSources sources;
    std::uint64_t held = 0; // what the page pipeline counted for it, until it is freed
};

Result<ExtractResult> open_and_extract(const std::string& path, const ExtractOptions& options) {
    QUARVEL_TRY(std::unique_ptr<Document> document, Document::open(path, options.read));
    return extract::extract_doc(*document, options);
}

// A jthread, so the open-ahead is joined on every way out of a file's turn,
// exceptions included.
std::jthread open_ahead(const std::string& path, const ReadOptions& read) {
    try {
        return std::jthread([path, read] {
            // Maps the file and reads its cross-reference data so that the
            // calling thread's own open finds the pages in memory; what it
            // produces, or how it fails, does not matter.
            try {
                auto document = Document::open(path, read);
                (void)document;
            } catch (...) {
            }
        });
    } catch (const std::system_error& e) {
        throw std::runtime_error(std::string("failed to spawn thread: ") + e.what());
    }
}

} // namespace

// Streams of an array are each followed by a line feed, so that a token is
// never glued across two of them.
Result<std::string> page_content(const PdfObject* contents, const Document& document,
                                 std::size_t max_bytes, DecodedSources* sources) {
    std::string content;
    if (contents == nullptr) return content;
    if (contents->is_ref()) {
        QUARVEL_TRY(ObjectPtr stream, document.get_object(contents->as_ref().num));
        // The full reader also takes a reference to an array of streams.
        if (document.options().full() && stream->is_array()) {
            return page_content(stream.get(), document, max_bytes, sources);
        }
        QUARVEL_TRY(content, document.decode_stream(*stream));
        if (content.size() > max_bytes) content.clear();
        if (sources != nullptr) sources->push_back({contents->as_ref().num, content.size()});
        return content;
    }
    if (!contents->is_array()) return content;
    for (const PdfObject& element : contents->as_array()) {
        if (!element.is_ref()) continue;
        auto stream = document.get_object(element.as_ref().num);
        // One missing or damaged stream of several costs the full reader
        // only that stream.
        if (!stream.ok() && document.options().full()) continue;
        QUARVEL_TRY(ObjectPtr object, std::move(stream));
        auto decoded = document.decode_stream(*object);
        if (!decoded.ok() && document.options().full()) continue;
        QUARVEL_TRY(std::string bytes, std::move(decoded));
        if (bytes.size() >= max_bytes - content.size()) break;
        if (sources != nullptr) sources->push_back({element.as_ref().num, bytes.size()});
        content += bytes;
        content += '\n';
    }
    return content;
}

Result<std::string> get_stream_data(const PdfObject& object) {
    if (!object.is_stream()) return std::string();
    if (const PdfObject* filter = object.get("Filter")) {
        return decompress_stream(object.stream_data(), *filter);
    }
    return std::string(object.stream_data());
}

namespace {

// What the full reader draws of a page's form fields: the normal appearance
// (/AP /N, or the state of it /AS names) of each widget annotation that is
// neither Hidden nor NoView, so that a filled-in form's values are page
// text as they are on screen. `content` draws each appearance as a form
// named in `resources` (a /XObject dictionary of references, and the form's
// default resources /DR as the fonts of appearances that name none).
struct WidgetAppearances {
    std::vector<std::string> names;
    PdfObject resources;
    std::string content;
};

// Annotation flags (/F) under which a viewer draws nothing.
constexpr std::int64_t kAnnotHidden = 1 << 1;
constexpr std::int64_t kAnnotNoView = 1 << 5;

// The normal appearance stream of a widget, by reference.
std::optional<ObjectId> widget_appearance(const PdfObject& annot, const Document& document) {
    const PdfObject* ap_value = annot.get("AP");
    if (ap_value == nullptr) return std::nullopt;
    const ObjectPtr ap = document.resolve(*ap_value);
    const PdfObject* normal = ap->is_dict() ? ap->get("N") : nullptr;
    if (normal == nullptr) return std::nullopt;
    const ObjectPtr states = document.resolve(*normal);
    if (states->is_stream()) {
        if (normal->is_ref()) return normal->as_ref();
        return std::nullopt;
    }
    // A dictionary of states: the one /AS names is the appearance; without
    // /AS a viewer draws none of them.
    const PdfObject* state = annot.get("AS");
    if (!states->is_dict() || state == nullptr || !state->is_name()) return std::nullopt;
    const PdfObject* chosen = states->get(state->bytes());
    if (chosen == nullptr || !chosen->is_ref()) return std::nullopt;
    return chosen->as_ref();
}

// A rectangle given directly or by reference.
std::optional<BBox> rect_of(const PdfObject* value, const Document& document) {
    if (value == nullptr) return std::nullopt;
    return rectangle(document.resolve(*value), document);
}

// The matrix that puts an appearance onto its annotation: the form's /BBox
// taken through its /Matrix gives a box, which is scaled and moved onto
// /Rect (the PDF standard's appearance algorithm). The form's own /Matrix
// is applied when the form is drawn.
std::optional<Matrix> appearance_placement(const PdfObject& form, const PdfObject& annot,
                                           const Document& document) {
    const auto bbox = rect_of(form.get("BBox"), document);
    const auto rect = rect_of(annot.get("Rect"), document);
    if (!bbox || !rect) return std::nullopt;
    const Matrix m = form_matrix(form);
    double x0 = INFINITY, y0 = INFINITY, x1 = -INFINITY, y1 = -INFINITY;
    for (const auto& [x, y] :
         {std::pair((*bbox)[0], (*bbox)[1]), std::pair((*bbox)[2], (*bbox)[1]),
          std::pair((*bbox)[0], (*bbox)[3]), std::pair((*bbox)[2], (*bbox)[3])}) {
        const double tx = m.a * x + m.c * y + m.e;
        const double ty = m.b * x + m.d * y + m.f;
        x0 = std::min(x0, tx);
        y0 = std::min(y0, ty);
        x1 = std::max(x1, tx);
        y1 = std::max(y1, ty);
    }
    if (!(x1 - x0 > 0) || !(y1 - y0 > 0)) return std::nullopt;
    const double sx = ((*rect)[2] - (*rect)[0]) / (x1 - x0);
    const double sy = ((*rect)[3] - (*rect)[1]) / (y1 - y0);
    const Matrix placed{sx, 0, 0, sy, (*rect)[0] - x0 * sx, (*rect)[1] - y0 * sy};
    for (const double v : {placed.a, placed.d, placed.e, placed.f}) {
        if (!std::isfinite(v)) return std::nullopt;
    }
    return placed;
}

std::optional<WidgetAppearances> widget_appearances(const PdfObject& page,
                                                    const Document& document) {
    const PdfObject* annots_value = page.get("Annots");
    if (annots_value == nullptr) return std::nullopt;
    const ObjectPtr annots = document.resolve(*annots_value);
    if (!annots->is_array()) return std::nullopt;
    WidgetAppearances out;
    std::vector<ObjectId> forms;
    for (const PdfObject& element : annots->as_array()) {
        if (forms.size() >= limits::kMaxWidgetsPerPage) break;
        // Read without caching: most annotations are links or notes, looked
        // at here for their /Subtype alone.
        const ObjectPtr annot = document.resolve_transient(element);
        if (!annot->is_dict()) continue;
        const PdfObject* subtype = annot->get("Subtype");
        if (subtype == nullptr || !subtype->is_name("Widget")) continue;
        if (const PdfObject* flags = annot->get("F");
            flags != nullptr && flags->is_int() &&
            (flags->as_int() & (kAnnotHidden | kAnnotNoView))) {
            continue;
        }
        const std::optional<ObjectId> id = widget_appearance(*annot, document);
        if (!id) continue;
        auto form = document.get_object(id->num);
        if (!form.ok() || !form.value()->is_stream()) continue;
        const std::optional<Matrix> placed = appearance_placement(*form.value(), *annot, document);
        if (!placed) continue;
        const std::string name = "QuarvelWidget" + std::to_string(forms.size());
        char matrix[200];
        const int n = std::snprintf(matrix, sizeof matrix, "q %.6f 0 0 %.6f %.6f %.6f cm /",
                                    placed->a, placed->d, placed->e, placed->f);
        if (n <= 0 || static_cast<std::size_t>(n) >= sizeof matrix) continue;
        out.content.append(matrix, static_cast<std::size_t>(n));
        out.content += name;
        out.content += " Do Q\n";
        out.names.push_back(name);
        forms.push_back(*id);
    }
    if (forms.empty()) return std::nullopt;
    // The names are complete before any view of them is taken.
    PdfDict xobjects;
    for (std::size_t i = 0; i < forms.size(); ++i) {
        xobjects.push_back({out.names[i], PdfObject::reference(forms[i])});
    }
    PdfDict resources{{"XObject", PdfObject::dictionary(std::move(xobjects))}};
    const ObjectPtr acroform =
        docinfo::get_resolved(document, docinfo::catalog(document), "AcroForm");
    const ObjectPtr fonts =
        docinfo::get_resolved(document, docinfo::get_resolved(document, acroform, "DR"), "Font");
    if (fonts != nullptr && fonts->is_dict()) resources.push_back({"Font", *fonts});
    out.resources = PdfObject::dictionary(std::move(resources));
    return out;
}

// `font_cache` holds the font records across the document's
// pages (null: this page's call alone).
Result<CountedPage> extract_counted_page(const Document& document, std::uint32_t page_num,
                                         const ExtractOptions& options,
                                         FontCache* font_cache = nullptr) {
    QUARVEL_TRY(ObjectPtr page, document.get_object(page_num));
    if (!page->has_dict()) return CountedPage{};

    CountedPage result;
    QUARVEL_TRY(std::string content,
                page_content(page->get("Contents"), document, limits::kMaxPageContentBytes,
                             &result.sources));

    // The compact reader takes only the page's own /Resources; the full
    // reader also inherits them from the page tree.
    const ObjectPtr resolved_resources = page_resources(*page, document);
    const PdfObject* resources = resolved_resources.get();

    FontMap fonts;
    FontCache page_fonts;
    if (font_cache == nullptr) font_cache = &page_fonts;
    if (resources != nullptr) fonts = build_font_map(*resources, document, font_cache);
    XObjectMap xobjects = build_xobject_map(resources, document, limits::kMaxPageContentBytes,
                                            font_cache, &result.sources);

    // Each thread scans its pages into one character buffer, kept from page
    // to page: a text-dense page's characters fill a few hundred kilobytes,
    // which growing afresh would copy and fault in for every page.
    thread_local std::vector<CharInfo> kept_chars;
    ContentResult scanned;
    scanned.chars = std::move(kept_chars);
    scanned.chars.clear();
    TextState state;
    ColorSpaceMap color_spaces;
    if (document.options().full()) {
        if (resources != nullptr) color_spaces = build_color_space_map(*resources, document);
        state.color_spaces = &color_spaces;
        state.record_drawings = options.include_drawings;
        state.emit_text = options.include_text;
    }
    scan_content_stream_into(content, state, scanned, fonts, xobjects, 0, document.options());
    if (document.options().full()) {
        if (const std::optional<WidgetAppearances> widgets = widget_appearances(*page, document)) {
            // Drawn in the page's default space, whatever state the page's
            // own content left behind. Their text is page text; their boxes
            // and rules are the viewer's furniture, not the page's drawings.
            const XObjectMap widget_forms = build_xobject_map(
                &widgets->resources, document, limits::kMaxPageContentBytes, font_cache,
                &result.sources);
            TextState widget_state;
            scan_content_stream_into(widgets->content, widget_state, scanned, fonts, widget_forms,
                                     0, document.options());
        }
    }
    result.page.drawings = std::move(scanned.drawings);

    if (!options.include_text) {
        // Drawings alone: no layout.
    } else if (document.options().full()) {
        result.page.blocks = lay_out_page(scanned.chars, scanned.fonts, default_font_name(fonts),
                                          page_geometry(*page, document));
    } else {
        result.page.blocks = cluster_chars(scanned.chars, default_font_name(fonts), 0, 12.0);
    }
    result.drawn = scanned.chars.size() + scanned.skipped_text + scanned.images.size() +
                   result.page.drawings.size();
    // A buffer grown by a pathological page is not kept.
    if (scanned.chars.capacity() * sizeof(CharInfo) <= limits::kMaxKeptCharBufferBytes) {
        kept_chars = std::move(scanned.chars);
    }
    result.chars = drop_span_chars(result.page.blocks, result.pieces);
    if (options.include_images && !scanned.images.empty() && resources != nullptr) {
        result.page.images = resolve_images(
            scanned.images, *resources, document,
            {limits::kMaxImagesPerPage, limits::kMaxImageBytesPerPage}, options.include_image_bytes);
    }
    return result;
}

} // namespace

Result<PageResult> extract_single_page(const Document& document, std::uint32_t page_num,
                                       std::uint16_t /*page_gen*/, std::string_view /*file_bytes*/,
                                       const ExtractOptions& options) {
    QUARVEL_TRY(CountedPage counted, extract_counted_page(document, page_num, options));
    return std::move(counted.page);
}

namespace extract {

ParseError document_limit_error() {
    return ParseError::other("document exceeds extraction limits");
}

ParseError sink_stopped_error() { return ParseError::other("extraction stopped by the caller"); }

Result<ExtractResult> extract(const std::string& path, const ExtractOptions& options) {
    return open_and_extract(path, options);
}

namespace {

// What a document has returned so far, against budgets that grow with its
// source bytes (see resource_limits.h). Each stream counts once, so pages
// that share one content stream, or draw one form or image again and
// again, add characters but no budget.
class DocumentTotals {
  public:
    explicit DocumentTotals(std::uint64_t file_bytes) : source_bytes_(file_bytes) {}

    // Counts the page in; false when the totals have passed the budgets.
    [[nodiscard]] bool admit(const CountedPage& counted) {
        for (const DecodedSource& source : counted.sources)
            add_source(source.object, source.bytes);
        for (const ExtractedImage& image : counted.page.images) {
            const std::uint64_t bytes = image.image.size() + image.dropped_bytes;
            image_bytes_ += bytes;
            // An inline image (no object) is part of content already counted.
            if (image.xref != 0) add_source(image.xref, bytes);
        }
        chars_ += counted.chars;
        pieces_ += counted.pieces;
        drawn_ += counted.drawn;
        return chars_ <= budget(limits::kMinTextCharsPerDocument,
                                limits::kTextCharsPerSourceByte) &&
               drawn_ <= budget(limits::kMinDrawnItemsPerDocument,
                                limits::kDrawnItemsPerSourceByte) &&
               pieces_ <= budget(limits::kMinTextPiecesPerDocument,
                                 limits::kTextPiecesPerSourceByte) &&
               image_bytes_ <= budget(limits::kMinImageBytesPerDocument,
                                      limits::kImageBytesPerSourceByte);
    }

  private:
    void add_source(std::uint32_t object, std::uint64_t bytes) {
        if (!seen_.insert(object).second) return;
        if (__builtin_add_overflow(source_bytes_, bytes, &source_bytes_)) {
            source_bytes_ = UINT64_MAX;
        }
    }

    std::uint64_t budget(std::uint64_t floor, std::uint64_t per_source_byte) const {
        std::uint64_t scaled = 0;
        if (__builtin_mul_overflow(source_bytes_, per_source_byte, &scaled)) return UINT64_MAX;
        return std::max(floor, scaled);
    }

    std::uint64_t source_bytes_;
    std::uint64_t chars_ = 0;
    std::uint64_t pieces_ = 0;
    std::uint64_t drawn_ = 0;
    std::uint64_t image_bytes_ = 0;
    std::unordered_set<std::uint32_t> seen_;
};

// The page-tree indices a call extracts, in the order it returns them.
Result<std::vector<std::size_t>> page_selection(const ExtractOptions& options,
                                                std::size_t page_count) {
    if (!options.pages) {
        std::vector<std::size_t> all(page_count);
        std::iota(all.begin(), all.end(), std::size_t{0});
        return all;
    }
    for (const std::size_t number : *options.pages) {
        if (number >= page_count) return ParseError::other("page number out of range");
    }
    return *options.pages;
}

// What a page holds in memory until it is freed, as the pipeline counts it:
// about 128 bytes a block, line or span with its strings, 4 a character, and
// the bytes of its images.
std::uint64_t held_bytes(const CountedPage& counted) {
    std::uint64_t bytes = counted.pieces * 128 + counted.chars * 4;
    for (const ExtractedImage& image : counted.page.images)
        bytes += image.image.size();
    return bytes;
}

// Pages extracted by the pool's workers ahead of the thread that takes them
// in order. Workers claim the next page while it is within `window` pages
// of the last one taken and the pages not yet freed hold less than
// limits::kMaxPageBytesAhead, so memory holds a few pages a worker whatever
// the document's length or its pages' size, and the taking thread (which
// turns pages into Python objects under the interpreter lock) works
// alongside the workers instead of after them.
class PagePipeline {
  public:
    using Extract = std::function<CountedPage(std::size_t)>;

    PagePipeline(std::size_t count, std::size_t window, Extract extract)
        : count_(count), window_(std::max<std::size_t>(window, 1)),
          slots_(std::max<std::size_t>(window, 1)),
          discarded_(std::min<std::size_t>(worker_count(), count_)), extract_(std::move(extract)) {
        // The taking thread is free to take pages as they come.
        if (!runner_.start(
                discarded_.size(), [this](std::size_t producer) { produce(producer); },
                [this](std::exception_ptr error) {
                    if (error != nullptr) fail(std::move(error));
                })) {
            throw std::runtime_error("failed to spawn thread");
        }
    }

    PagePipeline(const PagePipeline&) = delete;
    PagePipeline& operator=(const PagePipeline&) = delete;

    // Workers finish the pages they hold and claim no more.
    ~PagePipeline() {
        {
            std::lock_guard<std::mutex> lock(mu_);
            stopping_ = true;
        }
        room_.notify_all();
    }

    // The next page in order, once a worker has it. An exception a worker
    // threw (an allocation failure) is rethrown here.
    CountedPage next() {
        std::unique_lock<std::mutex> lock(mu_);
        Slot& slot = slots_[taken_ % window_];
        if (!slot.page.has_value() && error_ == nullptr) {
            // Ahead of the workers, the taking thread sleeps until a run of
            // pages is ready rather than waking for each: a wake-up is a
            // context switch on the one thread more cores do not help.
            waiting_ = true;
            page_done_.wait(lock, [&] { return run_ready() || error_ != nullptr; });
            waiting_ = false;
        }
        if (error_ != nullptr) std::rethrow_exception(error_);
        CountedPage page = std::move(*slot.page);
        slot.page.reset();
        taken_producer_ = slot.producer;
        ++taken_;
        lock.unlock();
        room_.notify_all();
        return page;
    }

    // The page last taken, once the taking thread is done with it. The worker
    // that extracted it frees it: a text page's characters, spans and lines
    // are thousands of small allocations, and freeing them is work the taking
    // thread, the one serial part of the pipeline, need not do. Only their
    // own worker frees them because the allocator locks the heap a block came
    // from: another thread's frees would contend with that worker's
    // allocations.
    void discard(CountedPage&& page) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            discarded_[taken_producer_].push_back(std::move(page));
        }
        // The worker may be waiting for room that only this page's memory
        // takes up.
        room_.notify_all();
    }

  private:
    struct Slot {
        std::optional<CountedPage> page;
        std::size_t producer = 0;
    };

    // With mu_ held: memory left for another page.
    bool bytes_left() const { return held_ < limits::kMaxPageBytesAhead; }

    void produce(std::size_t producer) {
        for (;;) {
            std::vector<CountedPage> done;
            std::optional<std::size_t> index;
            {
                std::unique_lock<std::mutex> lock(mu_);
                room_.wait(lock, [&] {
                    return stopping_ || claimed_ >= count_ || !discarded_[producer].empty() ||
                           (claimed_ < taken_ + window_ && bytes_left());
                });
                // Its own taken pages first: they may be what keeps the
                // memory full.
                done.swap(discarded_[producer]);
                if (done.empty()) {
                    if (stopping_ || claimed_ >= count_) return;
                    index = claimed_++;
                }
            }
            if (!done.empty()) {
                std::uint64_t freed = 0;
                // As counted when the page was made, though the taking thread
                // may have moved some of it out since.
                for (const CountedPage& page : done)
                    freed += page.held;
                done.clear();
                {
                    std::lock_guard<std::mutex> lock(mu_);
                    held_ -= freed;
                }
                room_.notify_all();
                continue;
            }
            bool wake = false;
            try {
                CountedPage page = extract_(*index);
                page.held = held_bytes(page);
                std::lock_guard<std::mutex> lock(mu_);
                held_ += page.held;
                Slot& slot = slots_[*index % window_];
                slot.page.emplace(std::move(page));
                slot.producer = producer;
                wake = waiting_ && run_ready();
            } catch (...) {
                fail(std::current_exception());
                return;
            }
            if (wake) page_done_.notify_one();
        }
    }

    // With mu_ held: the pages from the next one to take on are ready, as
    // many as half the window or half of those left. The taking thread then
    // converts a run while the workers extract the rest: waiting for every
    // page of a short document would leave it nothing to overlap. When the
    // pages ahead fill the memory allowed, the next page is enough, since no
    // worker claims another until pages are taken and freed.
    bool run_ready() const {
        if (!slots_[taken_ % window_].page.has_value()) return false;
        if (!bytes_left()) return true;
        const std::size_t left = count_ - taken_;
        const std::size_t run = std::max<std::size_t>(std::min(window_ / 2, (left + 1) / 2), 1);
        for (std::size_t i = taken_; i < taken_ + run; ++i) {
            if (!slots_[i % window_].page.has_value()) return false;
        }
        return true;
    }

    void fail(std::exception_ptr error) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (error_ == nullptr) error_ = std::move(error);
            stopping_ = true;
        }
        page_done_.notify_all();
        room_.notify_all();
    }

    const std::size_t count_;
    const std::size_t window_;
    std::mutex mu_;
    std::condition_variable page_done_;
    std::condition_variable room_;
    std::vector<Slot> slots_; // page i in slot i % window
    std::vector<std::vector<CountedPage>> discarded_; // one list a producer, by who made them
    std::size_t taken_producer_ = 0;
    std::uint64_t held_ = 0; // held_bytes of the pages extracted and not yet freed
    std::size_t claimed_ = 0;
    std::size_t taken_ = 0;
    bool waiting_ = false; // the taking thread sleeps on page_done_
    bool stopping_ = false;
    std::exception_ptr error_;
    Extract extract_;
    // Declared last, so it is joined before the members its workers use go.
    BackgroundMap runner_;
};

Status stream_pages(const Document& document, const ExtractOptions& options,
                    const PageSink& sink) {
    QUARVEL_TRY(std::vector<ObjectId> refs, document.page_refs());
    QUARVEL_TRY(std::vector<std::size_t> numbers, page_selection(options, refs.size()));
    const std::size_t n = numbers.size();

    FontCache fonts;
    auto page_at = [&](std::size_t k) {
        auto page = extract_counted_page(document, refs[numbers[k]].num, options, &fonts);
        // A page that cannot be read stays in its place, empty, so page
        // numbers keep matching the page tree.
        CountedPage counted = page.ok() ? std::move(page).value() : CountedPage{};
        counted.page.number = numbers[k];
        if (options.on_page) options.on_page(counted.page);
        return counted;
    };
    DocumentTotals totals(document.data().size());
    // The sink may take the page or leave it in place.
    auto deliver = [&](CountedPage& counted) -> Status {
        if (!totals.admit(counted)) return document_limit_error();
        if (!sink(std::move(counted.page))) return sink_stopped_error();
        return Ok{};
    };

    const std::size_t window = limits::kPagesAheadPerWorker * std::size_t{worker_count()};
    // With one worker, handing pages over would only add waits: the taking
    // thread and the worker would share one CPU.
    if (!options.page_parallel || n < 2 || worker_count() < 2) {
        if (options.meanwhile) options.meanwhile();
        for (std::size_t k = 0; k < n; ++k) {
            CountedPage counted = page_at(k);
            QUARVEL_TRY(Ok delivered, deliver(counted));
            (void)delivered;
        }
        return Ok{};
    }
    if (on_pool_worker()) {
        // Called from a task of the pool (files in parallel): a pipeline
        // would wait on workers that may all be waiting likewise, so the
        // pages go in groups through maps that nest in the running one.
        if (options.meanwhile) options.meanwhile();
        for (std::size_t from = 0; from < n; from += window) {
            const std::size_t count = std::min(window, n - from);
            auto pages = parallel_map(count, [&](std::size_t i) { return page_at(from + i); });
            for (CountedPage& page : pages) {
                QUARVEL_TRY(Ok delivered, deliver(page));
                (void)delivered;
            }
        }
        return Ok{};
    }
    PagePipeline pipeline(n, window, page_at);
    if (options.meanwhile) options.meanwhile();
    for (std::size_t k = 0; k < n; ++k) {
        CountedPage counted = pipeline.next();
        QUARVEL_TRY(Ok delivered, deliver(counted));
        (void)delivered;
        // What the sink left of the page goes to a worker to free.
        pipeline.discard(std::move(counted));
    }
    return Ok{};
}

} // namespace

// Pages read from a file cut short under the pool's workers are partly
// zeros; the document fails as a whole rather than return them.
Status extract_doc_each(const Document& document, const ExtractOptions& options,
                        const PageSink& sink) {
    return document.unless_changed(stream_pages(document, options, sink));
}

Status extract_each(const std::string& path, const ExtractOptions& options,
                    const PageSink& sink) {
    QUARVEL_TRY(std::unique_ptr<Document> document, Document::open(path, options.read));
    return extract_doc_each(*document, options, sink);
}

Result<ExtractResult> extract_doc(const Document& document, const ExtractOptions& options) {
    ExtractResult result;
    QUARVEL_TRY(Ok done, extract_doc_each(document, options, [&](PageResult&& page) {
                    result.pages.push_back(std::move(page));
                    return true;
                }));
    (void)done;
    return result;
}

std::vector<std::size_t> largest_first(const std::vector<std::string>& paths) {
    std::vector<std::optional<std::uintmax_t>> sizes(paths.size());
    for (std::size_t i = 0; i < paths.size(); ++i) {
        std::error_code ec;
        const std::uintmax_t size = std::filesystem::file_size(paths[i], ec);
        if (!ec) sizes[i] = size;
    }
    std::vector<std::size_t> order(paths.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        if (!sizes[a]) return false;
        return !sizes[b] || *sizes[a] > *sizes[b];
    });
    return order;
}

namespace {

// The files of a batch on the pool, each result handed to the calling thread
// through `shared.ready` as its file is done.
Status extract_files_in_parallel(const std::vector<std::string>& paths,
                                 const ExtractOptions& options, const FileSink& sink) {
    const std::size_t n = paths.size();
    const std::vector<std::size_t> order = largest_first(paths);
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stopped{false};
    struct {
        std::mutex mu;
        std::condition_variable cv;
        std::vector<std::pair<std::size_t, Result<ExtractResult>>> ready;
        bool done = false; // the map has returned
        std::exception_ptr error;
    } shared;

    // One task a file, as parallel_map would have it; but the tasks run in
    // no set order, so each takes the next file of `order` itself.
    auto extract_next = [&](std::size_t) {
        if (stopped.load(std::memory_order_relaxed)) return;
        const std::size_t index = order[next.fetch_add(1, std::memory_order_relaxed)];
        Result<ExtractResult> result = open_and_extract(paths[index], options);
        std::lock_guard<std::mutex> lock(shared.mu);
        shared.ready.emplace_back(index, std::move(result));
        shared.cv.notify_one();
    };
    auto finished = [&](std::exception_ptr error) {
        std::lock_guard<std::mutex> lock(shared.mu);
        shared.error = std::move(error);
        shared.done = true;
        shared.cv.notify_one();
    };

    // The map runs from a thread of its own so that this one is free for
    // the sink. A worker calling in nests the map instead (waiting for other
    // tasks would hold its place in the pool), and so does a caller that
    // cannot get a thread; then the results all come once the map is done.
    BackgroundMap map;
    if (on_pool_worker() || !map.start(n, extract_next, finished)) {
        BackgroundMap::run_here(n, extract_next, finished);
    }
    // On every way out, a stop or an exception from the sink included, no
    // file is started any more and the running ones are waited for: the
    // tasks use what lives in this frame.
    struct Join {
        BackgroundMap& map;
        std::atomic<bool>& stopped;
        ~Join() {
            stopped.store(true, std::memory_order_relaxed);
            map.join();
        }
    } join{map, stopped};

    std::vector<std::pair<std::size_t, Result<ExtractResult>>> batch;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(shared.mu);
            shared.cv.wait(lock, [&] { return !shared.ready.empty() || shared.done; });
            if (shared.error) std::rethrow_exception(shared.error);
            if (shared.ready.empty()) return Ok{};
            batch.swap(shared.ready);
        }
        for (auto& item : batch) {
            // Each result goes as soon as the sink is done with it.
            auto [index, result] = std::move(item);
            if (!sink(index, std::move(result))) return sink_stopped_error();
        }
        batch.clear();
    }
}

} // namespace

Status extract_many_each(const std::vector<std::string>& paths, const ExtractOptions& options,
                         const FileSink& sink) {
    const std::size_t n = paths.size();
    if (n >= 8 && options.file_parallel) return extract_files_in_parallel(paths, options, sink);

    for (std::size_t i = 0; i < n; ++i) {
        std::jthread ahead;
        if (i + 1 < n) ahead = open_ahead(paths[i + 1], options.read);
        if (!sink(i, open_and_extract(paths[i], options))) return sink_stopped_error();
    }
    return Ok{};
}

std::vector<std::pair<std::string, Result<ExtractResult>>>
extract_many(const std::vector<std::string>& paths, const ExtractOptions& options) {
    std::vector<std::optional<Result<ExtractResult>>> slots(paths.size());
    // The sink never stops the batch, so every slot is filled.
    (void)extract_many_each(paths, options, [&](std::size_t i, Result<ExtractResult>&& result) {
        slots[i].emplace(std::move(result));
        return true;
    });
    std::vector<std::pair<std::string, Result<ExtractResult>>> outcomes;
    outcomes.reserve(paths.size());
    for (std::size_t i = 0; i < paths.size(); ++i)
        outcomes.emplace_back(paths[i], std::move(*slots[i]));
    return outcomes;
}

} // namespace extract
} // namespace quarvel

#include "docinfo/document_info.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "docinfo/text_string.h"
#include "docinfo/trees.h"
#include "resource_limits.h"
#include "syntax/text.h"

namespace quarvel::docinfo {
namespace {

// US Letter, the size the PDF standard's readers assume for a page that
// gives no media box.
constexpr std::array<double, 4> kDefaultMediaBox = {0, 0, 612, 792};

// --- version -------------------------------------------------------------

// "1.7" from "%PDF-1.7" or a /Version name: digits, a point, digits; empty
// when the text does not start with one.
std::string version_text(std::string_view text) {
    const auto digits_at = [&](std::size_t pos) {
        std::size_t n = 0;
        while (pos + n < text.size() && n < 4 &&
               std::isdigit(static_cast<unsigned char>(text[pos + n])))
            ++n;
        return n;
    };
    const std::size_t major = digits_at(0);
    if (major == 0 || major >= text.size() || text[major] != '.') return {};
    const std::size_t minor = digits_at(major + 1);
    if (minor == 0) return {};
    return std::string(text.substr(0, major + 1 + minor));
}

// Versions as version_text gives them, compared part by part.
bool version_before(std::string_view a, std::string_view b) {
    const auto parts = [](std::string_view v) {
        const std::size_t dot = v.find('.');
        int major = 0, minor = 0;
        std::from_chars(v.data(), v.data() + dot, major);
        std::from_chars(v.data() + dot + 1, v.data() + v.size(), minor);
        return std::pair(major, minor);
    };
    return parts(a) < parts(b);
}

// The header's version, or a later one the catalogue's /Version gives (an
// incremental update that used newer features says so there).
std::string pdf_version(const Document& document, const ObjectPtr& root) {
    std::string version;
    const std::string_view head = document.data().substr(0, 16);
    if (head.starts_with("%PDF-")) version = version_text(head.substr(5));
    if (const ObjectPtr v = get_resolved(document, root, "Version"); v != nullptr && v->is_name()) {
        const std::string later = version_text(v->bytes());
        if (!later.empty() && (version.empty() || version_before(version, later))) version = later;
    }
    return version;
}

// --- XMP -----------------------------------------------------------------

// The predefined entities and character references; anything else stays
// as written (an XMP packet declares no entities of its own).
std::string xml_unescape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '&') {
            out += text[i];
            continue;
        }
        const std::size_t end = text.find(';', i);
        if (end == std::string_view::npos || end - i > 10) {
            out += text[i];
            continue;
        }
        const std::string_view name = text.substr(i + 1, end - i - 1);
        char32_t cp = 0;
        if (name == "lt")
            cp = '<';
        else if (name == "gt")
            cp = '>';
        else if (name == "amp")
            cp = '&';
        else if (name == "quot")
            cp = '"';
        else if (name == "apos")
            cp = '\'';
        else if (name.starts_with("#")) {
            const bool hex = name.size() > 1 && (name[1] == 'x' || name[1] == 'X');
            for (const char c : name.substr(hex ? 2 : 1)) {
                const int d = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                              : hex && std::isxdigit(static_cast<unsigned char>(c))
                                  ? (std::tolower(static_cast<unsigned char>(c)) - 'a' + 10)
                                  : -1;
                if (d < 0) {
                    cp = 0;
                    break;
                }
                cp = cp * (hex ? 16 : 10) + static_cast<char32_t>(d);
            }
        }
        if (cp == 0) {
            out += text[i];
            continue;
        }
        append_utf8(out, cp);
        i = end;
    }
    return out;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())))
        s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
        s.remove_suffix(1);
    return s;
}

// The text of an element `tag` (with its prefix, "dc:title"): its rdf:li
// items joined by ", " when it holds a list, else its text; or the value
// of an attribute `tag="..."`, the short form rdf:Description allows.
std::optional<std::string> xmp_property(std::string_view xmp, std::string_view tag) {
    std::string open = "<";
    open += tag;
    std::size_t pos = 0;
    while ((pos = xmp.find(open, pos)) != std::string_view::npos) {
        const std::size_t after = pos + open.size();
        if (after >= xmp.size()) return std::nullopt;
        const char c = xmp[after];
        if (c != '>' && c != ' ' && c != '/' && c != '\n' && c != '\r' && c != '\t') {
            pos = after;
            continue;
        }
        const std::size_t tag_end = xmp.find('>', after);
        if (tag_end == std::string_view::npos) return std::nullopt;
        if (xmp[tag_end - 1] == '/') return std::string();
        std::string close = "</";
        close += tag;
        close += '>';
        const std::size_t end = xmp.find(close, tag_end);
        if (end == std::string_view::npos) return std::nullopt;
        const std::string_view body = xmp.substr(tag_end + 1, end - tag_end - 1);
        if (body.find("<rdf:li") == std::string_view::npos) return xml_unescape(trim(body));
        std::string joined;
        std::size_t li = 0;
        while ((li = body.find("<rdf:li", li)) != std::string_view::npos) {
            const std::size_t li_open = body.find('>', li);
            if (li_open == std::string_view::npos) break;
            if (body[li_open - 1] == '/') {
                li = li_open;
                continue;
            }
            const std::size_t li_end = body.find("</rdf:li>", li_open);
            if (li_end == std::string_view::npos) break;
            if (!joined.empty()) joined += ", ";
            joined += xml_unescape(trim(body.substr(li_open + 1, li_end - li_open - 1)));
            li = li_end;
            // A language alternative holds one text in several languages;
            // the first is the default one.
            if (tag == "dc:title" || tag == "dc:description") break;
        }
        return joined;
    }
    std::string attribute(tag);
    attribute += '=';
    pos = xmp.find(attribute);
    if (pos == std::string_view::npos || pos + attribute.size() >= xmp.size()) return std::nullopt;
    const char quote = xmp[pos + attribute.size()];
    if (quote != '"' && quote != '\'') return std::nullopt;
    const std::size_t start = pos + attribute.size() + 1;
    const std::size_t end = xmp.find(quote, start);
    if (end == std::string_view::npos) return std::nullopt;
    return xml_unescape(xmp.substr(start, end - start));
}

// --- geometry ------------------------------------------------------------

const PdfObject* inherited(const Document& document, const ObjectPtr& page, std::string_view key,
                           ObjectPtr& holder) {
    holder = page;
    for (std::size_t depth = 0; holder != nullptr && depth < limits::kMaxPageTreeDepth; ++depth) {
        if (const PdfObject* value = holder->get(key)) return value;
        const PdfObject* parent = holder->get("Parent");
        if (parent == nullptr || !parent->is_ref()) return nullptr;
        auto next = document.get_object(parent->as_ref().num);
        if (!next.ok()) return nullptr;
        holder = std::move(next).value();
    }
    return nullptr;
}

std::optional<std::array<double, 4>> box(const Document& document, const ObjectPtr& page,
                                         std::string_view key) {
    ObjectPtr holder;
    const PdfObject* value = inherited(document, page, key, holder);
    if (value == nullptr) return std::nullopt;
    const ObjectPtr array = document.resolve(*value);
    if (!array->is_array() || array->as_array().size() != 4) return std::nullopt;
    std::array<double, 4> r{};
    for (std::size_t i = 0; i < 4; ++i) {
        const std::optional<double> n = document.resolve(array->as_array()[i])->number();
        if (!n || !std::isfinite(*n)) return std::nullopt;
        r[i] = *n;
    }
    return std::array<double, 4>{std::min(r[0], r[2]), std::min(r[1], r[3]), std::max(r[0], r[2]),
                                 std::max(r[1], r[3])};
}

// The page as shown: the crop box within the media box (either alone when
// the other is missing or broken, as the extraction reads them), turned by
// /Rotate when it is a multiple of 90.
PageFacts page_facts(const Document& document, const ObjectPtr& page) {
    PageFacts facts;
    if (page == nullptr) {
        facts.mediabox = facts.cropbox = kDefaultMediaBox;
        facts.width = kDefaultMediaBox[2];
        facts.height = kDefaultMediaBox[3];
        return facts;
    }
    facts.mediabox = box(document, page, "MediaBox").value_or(kDefaultMediaBox);
    facts.cropbox = facts.mediabox;
    if (const auto crop = box(document, page, "CropBox")) {
        const std::array<double, 4>& m = facts.mediabox;
        const std::array<double, 4> clipped = {
            std::max((*crop)[0], m[0]), std::max((*crop)[1], m[1]), std::min((*crop)[2], m[2]),
            std::min((*crop)[3], m[3])};
        if (clipped[0] <= clipped[2] && clipped[1] <= clipped[3]) facts.cropbox = clipped;
    }
    ObjectPtr holder;
    if (const PdfObject* rotate = inherited(document, page, "Rotate", holder)) {
        const std::optional<double> degrees = document.resolve(*rotate)->number();
        if (degrees && std::isfinite(*degrees) && std::fmod(*degrees, 90.0) == 0) {
            facts.rotation = static_cast<int>(std::fmod(std::fmod(*degrees, 360.0) + 360.0, 360.0));
        }
    }
    const double w = facts.cropbox[2] - facts.cropbox[0];
    const double h = facts.cropbox[3] - facts.cropbox[1];
    const bool turned = facts.rotation == 90 || facts.rotation == 270;
    facts.width = turned ? h : w;
    facts.height = turned ? w : h;
    return facts;
}

// --- form fields ---------------------------------------------------------

FieldType field_type(const PdfObject* ft) {
    if (ft == nullptr || !ft->is_name()) return FieldType::Unknown;
    const std::string_view t = ft->bytes();
    if (t == "Tx") return FieldType::Text;
    if (t == "Btn") return FieldType::Button;
    if (t == "Ch") return FieldType::Choice;
    if (t == "Sig") return FieldType::Signature;
    return FieldType::Unknown;
}

// A field's value as text: a string decoded, a button's state name, the
// chosen items of a multiple-choice list joined by ", "; nothing for a
// signature dictionary or an absent value.
std::optional<std::string> field_value(const Document& document, const PdfObject& v) {
    const ObjectPtr value = document.resolve(v);
    if (value->is_string() || value->is_hex_string()) return text_string(*value);
    if (value->is_name()) return lossy_utf8(value->bytes());
    if (value->is_array()) {
        std::string joined;
        for (const PdfObject& item : value->as_array()) {
            const ObjectPtr resolved = document.resolve(item);
            if (!resolved->is_string() && !resolved->is_hex_string()) continue;
            if (!joined.empty()) joined += ", ";
            joined += text_string(*resolved);
        }
        return joined;
    }
    return std::nullopt;
}

// The page each annotation object sits on, from the pages' /Annots, for
// widgets that do not name their page with /P.
std::unordered_map<std::uint32_t, std::uint32_t> annotation_pages(const Document& document,
                                                                  const Destinations& dest) {
    std::unordered_map<std::uint32_t, std::uint32_t> pages;
    for (const ObjectId& id : dest.pages()) {
        auto page = document.get_object(id.num);
        if (!page.ok()) continue;
        const ObjectPtr annots = get_resolved(document, page.value(), "Annots");
        if (annots == nullptr || !annots->is_array()) continue;
        const std::optional<std::uint32_t> index = dest.page_index(id.num);
        if (!index) continue;
        for (const PdfObject& a : annots->as_array()) {
            if (a.is_ref()) pages.try_emplace(a.as_ref().num, *index);
        }
    }
    return pages;
}

} // namespace

Metadata metadata_from_xmp(std::string_view xmp) {
    xmp = xmp.substr(0, std::min(xmp.size(), limits::kMaxXmpBytes));
    Metadata m;
    m.title = xmp_property(xmp, "dc:title");
    m.author = xmp_property(xmp, "dc:creator");
    m.subject = xmp_property(xmp, "dc:description");
    m.keywords = xmp_property(xmp, "pdf:Keywords");
    m.creator = xmp_property(xmp, "xmp:CreatorTool");
    m.producer = xmp_property(xmp, "pdf:Producer");
    m.raw_creation_date = xmp_property(xmp, "xmp:CreateDate");
    m.raw_mod_date = xmp_property(xmp, "xmp:ModifyDate");
    if (m.raw_creation_date) m.creation_date = xmp_date_iso(*m.raw_creation_date);
    if (m.raw_mod_date) m.mod_date = xmp_date_iso(*m.raw_mod_date);
    return m;
}

Metadata read_metadata(const Document& document) {
    Metadata m;
    ObjectPtr info;
    if (const PdfObject* ref = dict_get(document.trailer_dict(), "Info")) {
        info = document.resolve(*ref);
        if (info.get() == ref) info = nullptr; // a direct /Info outlives no trailer copy
    } else if (document.trailer().info) {
        auto r = document.get_object(document.trailer().info->num);
        if (r.ok()) info = std::move(r).value();
    }
    bool any = false;
    if (info != nullptr && info->is_dict()) {
        auto text = [&](std::string_view key) -> std::optional<std::string> {
            const ObjectPtr value = get_resolved(document, info, key);
            if (value == nullptr || (!value->is_string() && !value->is_hex_string())) {
                return std::nullopt;
            }
            any = true;
            return text_string(*value);
        };
        m.title = text("Title");
        m.author = text("Author");
        m.subject = text("Subject");
        m.keywords = text("Keywords");
        m.creator = text("Creator");
        m.producer = text("Producer");
        m.raw_creation_date = text("CreationDate");
        m.raw_mod_date = text("ModDate");
        if (m.raw_creation_date) m.creation_date = pdf_date_iso(*m.raw_creation_date);
        if (m.raw_mod_date) m.mod_date = pdf_date_iso(*m.raw_mod_date);
    }
    if (any) return m;
    const ObjectPtr stream = get_resolved(document, catalog(document), "Metadata");
    if (stream == nullptr || !stream->is_stream()) return m;
    auto xmp = document.decode_stream(*stream, limits::kMaxXmpBytes);
    if (!xmp.ok()) return m;
    return metadata_from_xmp(xmp.value());
}

std::vector<FormField> read_form_fields(const Document& document,
                                        const Destinations& destinations) {
    std::vector<FormField> fields;
    const ObjectPtr form = get_resolved(document, catalog(document), "AcroForm");
    const ObjectPtr roots = get_resolved(document, form, "Fields");
    if (roots == nullptr || !roots->is_array()) return fields;

    struct Frame {
        ObjectPtr field;
        std::string parent_name;
        const PdfObject* type = nullptr;  // /FT inherited from an ancestor
        const PdfObject* value = nullptr; // /V inherited from an ancestor
        ObjectPtr holder;                 // keeps the inherited values alive
    };
    std::vector<Frame> stack;
    const auto push_kids = [&](const ObjectPtr& array, const Frame& parent) {
        const PdfArray& items = array->as_array();
        for (auto it = items.rbegin(); it != items.rend(); ++it) {
            ObjectPtr kid = document.resolve(*it);
            if (!kid->is_dict()) continue;
            if (kid.get() == &*it) kid = ObjectPtr(array, &*it);
            stack.push_back(
                {std::move(kid), parent.parent_name, parent.type, parent.value, parent.holder});
        }
    };
    push_kids(roots, Frame{});
    std::unordered_set<const PdfObject*> seen;
    std::optional<std::unordered_map<std::uint32_t, std::uint32_t>> annot_pages;
    std::size_t visited = 0;
    while (!stack.empty() && fields.size() < limits::kMaxFormFields) {
        Frame frame = std::move(stack.back());
        stack.pop_back();
        if (!seen.insert(frame.field.get()).second) continue;
        if (++visited > limits::kMaxFormFields) break;
        const ObjectPtr& field = frame.field;
        std::string name = frame.parent_name;
        if (const ObjectPtr t = get_resolved(document, field, "T");
            t != nullptr && (t->is_string() || t->is_hex_string())) {
            if (!name.empty()) name += '.';
            name += text_string(*t);
        }
        Frame own{field, name, frame.type, frame.value, frame.holder};
        if (const PdfObject* ft = field->get("FT")) {
            own.type = ft;
            own.holder = field;
        }
        if (const PdfObject* v = field->get("V")) {
            own.value = v;
            own.holder = field;
        }
        // Kids with names of their own are fields; kids without are the
        // field's widgets.
        const ObjectPtr kids = get_resolved(document, field, "Kids");
        const PdfObject* first_widget = field.get();
        bool has_field_kids = false;
        if (kids != nullptr && kids->is_array()) {
            for (const PdfObject& kid : kids->as_array()) {
                const ObjectPtr k = document.resolve(kid);
                if (k->is_dict() && k->get("T") != nullptr) has_field_kids = true;
            }
            if (has_field_kids) {
                // Keep the holder of the inherited values alive through the kids.
                Frame parent = own;
                if (parent.holder == nullptr) parent.holder = field;
                push_kids(kids, parent);
                continue;
            }
            if (!kids->as_array().empty()) first_widget = nullptr;
        }
        FormField out;
        out.name = std::move(name);
        out.type = field_type(own.type);
        if (own.value != nullptr) out.value = field_value(document, *own.value);
        // The page of the field's widget: its /P, else the page listing it.
        ObjectPtr widget = first_widget != nullptr ? field : nullptr;
        std::optional<std::uint32_t> widget_num;
        if (widget == nullptr) {
            const PdfObject& k = kids->as_array().front();
            if (k.is_ref()) widget_num = k.as_ref().num;
            widget = document.resolve(k);
        }
        if (const PdfObject* p = widget->get("P"); p != nullptr && p->is_ref()) {
            out.page = destinations.page_index(p->as_ref().num);
        }
        if (!out.page) {
            if (!widget_num) {
                // A field merged with its widget is listed by its own number.
                for (const PdfObject& r : roots->as_array()) {
                    if (r.is_ref() && document.resolve(r).get() == field.get()) {
                        widget_num = r.as_ref().num;
                    }
                }
            }
            if (widget_num) {
                if (!annot_pages) annot_pages = annotation_pages(document, destinations);
                if (auto it = annot_pages->find(*widget_num); it != annot_pages->end()) {
                    out.page = it->second;
                }
            }
        }
        fields.push_back(std::move(out));
    }
    return fields;
}

Result<DocumentInfo> read_document_info(const Document& document) {
    QUARVEL_TRY(const std::vector<ObjectId> refs, document.page_refs());
    DocumentInfo info;
    const ObjectPtr root = catalog(document);
    info.page_count = refs.size();
    info.pdf_version = pdf_version(document, root);
    info.encrypted = document.trailer().encrypt.has_value() ||
                     dict_get(document.trailer_dict(), "Encrypt") != nullptr;
    if (const ObjectPtr mark =
            get_resolved(document, get_resolved(document, root, "MarkInfo"), "Marked")) {
        info.tagged = mark->is_bool() && mark->as_bool();
    }
    if (const ObjectPtr lang = get_resolved(document, root, "Lang");
        lang != nullptr && (lang->is_string() || lang->is_hex_string())) {
        info.language = text_string(*lang);
    }
    info.metadata = read_metadata(document);
    const Destinations destinations(document, refs);
    info.outline = read_outline(document, destinations);
    info.page_labels = read_page_labels(document, refs.size());
    info.pages.reserve(refs.size());
    for (const ObjectId& id : refs) {
        auto page = document.get_object(id.num);
        // An unreadable page object is shown at the default size, as the
        // extraction shows it.
        info.pages.push_back(page_facts(document, page.ok() ? page.value() : nullptr));
    }
    info.fields = read_form_fields(document, destinations);
    return document.unless_changed(Result<DocumentInfo>(std::move(info)));
}

} // namespace quarvel::docinfo

#include "content/content_stream.h"

#include <algorithm>
#include <cmath>

#include "resource_limits.h"
#include "syntax/text.h"

namespace quarvel {

using content_detail::has_class;
using content_detail::kOperatorByte;
using content_detail::kWhitespace;

void TextState::save_gs() {
    if (full && gs_stack.size() >= limits::kMaxGraphicsStateDepth) {
        ++gs_skipped;
        return;
    }
    gs_stack.push_back(ctm);
    if (full) {
        text_stack.push_back({font_name, font_size, h_scale, char_spacing, word_spacing, leading,
                              rise, render_mode});
        paint_stack.push_back(paint);
    }
}

void TextState::restore_gs() {
    if (full && gs_skipped > 0) {
        --gs_skipped;
        return;
    }
    if (gs_stack.size() <= gs_floor) return;
    ctm = gs_stack.back();
    gs_stack.pop_back();
    if (full && !text_stack.empty()) {
        TextParams& saved = text_stack.back();
        font_name = std::move(saved.font_name);
        font_size = saved.font_size;
        h_scale = saved.h_scale;
        char_spacing = saved.char_spacing;
        word_spacing = saved.word_spacing;
        leading = saved.leading;
        rise = saved.rise;
        render_mode = saved.render_mode;
        text_stack.pop_back();
    }
    if (full && !paint_stack.empty()) {
        paint = paint_stack.back();
        paint_stack.pop_back();
    }
}

namespace {

// The work one page may cause, shared by the page's scan and every form scan
// nested in it. A form drawn thousands of times by forms drawn thousands of
// times would otherwise run billions of operators from a few kilobytes.
struct WorkBudget {
    std::uint64_t operators_left = limits::kMaxOperatorsPerPage;
    std::uint64_t items_left = limits::kMaxContentItemsPerPage;
    bool exhausted = false;

    bool take_operator() { return take(operators_left); }
    // Copying a form's font map costs one unit per entry.
    void charge_operators(std::uint64_t n) {
        if (n >= operators_left) {
            operators_left = 0;
            exhausted = true;
        } else {
            operators_left -= n;
        }
    }
    bool take_item() { return take(items_left); }
    // Path points and painted paths recorded, when drawings are asked for.
    bool take_points(std::uint64_t n) {
        if (n > points_left) return false;
        points_left -= n;
        return true;
    }
    bool take_drawing() {
        if (drawings_left == 0) return false;
        --drawings_left;
        return true;
    }
    std::uint64_t points_left = limits::kMaxPathPointsPerPage;
    std::size_t drawings_left = limits::kMaxDrawingsPerPage;

  private:
    bool take(std::uint64_t& left) {
        if (left == 0) {
            exhausted = true;
            return false;
        }
        --left;
        return true;
    }
};

void scan_content_stream_full(std::string_view data, const FontMap& fonts,
                              const XObjectMap& xobjects, unsigned depth, TextState& state,
                              ContentResult& result, WorkBudget& budget);

// The font cache of a state holds only within one call: a later call may
// pass another map at the same address.
void forget_font_cache(TextState& state) {
    state.cached_map = nullptr;
    state.cached_font = nullptr;
    state.cached_font_index = TextState::kNoFontIndex;
}

const FontInfo* resolve_font(TextState& state, const FontMap& fonts) {
    if (state.cached_map == &fonts && state.cached_name == state.font_name) {
        return state.cached_font;
    }
    const FontInfo* font = nullptr;
    if (!fonts.empty()) {
        auto it = fonts.find(lossy_utf8(state.font_name));
        if (it != fonts.end()) font = it->second.get();
    }
    state.cached_map = &fonts;
    state.cached_name = state.font_name;
    state.cached_font = font;
    state.cached_font_index = TextState::kNoFontIndex;
    return font;
}

// Ligatures U+FB01..U+FB06 split into their letters, each taking an equal
// share of the glyph's box, so the layout sees ordinary letters.
struct Ligature {
    char letters[4];
    int count;
};
constexpr Ligature kLigatures[] = {
    {"fi", 2}, {"fl", 2}, {"ffi", 3}, {"ffl", 3}, {"st", 2}, {"st", 2},
};

void emit_string_impl(std::string_view bytes, TextState& state, ContentResult& result,
                      const FontMap& fonts, WorkBudget& budget) {
    const double fs = state.font_size;
    const double th = state.h_scale;
    const FontInfo* font = resolve_font(state, fonts);
    const bool two_byte_codes = font != nullptr && font->is_type0;
    // The state is read into locals once: the font calls below are opaque to
    // the optimiser, which would otherwise reload it for every code.
    const double char_spacing = state.char_spacing;
    const double word_spacing = state.word_spacing;
    const double ctm_e = state.ctm.e;
    const double y = state.tm.f + state.ctm.f;
    double tm_e = state.tm.e;
    std::vector<CharInfo>& chars = result.chars;
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        const std::size_t len = (two_byte_codes && i + 1 < n) ? 2 : 1;
        const auto b0 = static_cast<unsigned char>(bytes[i]);
        const std::uint32_t code =
            len == 2 ? b0 * 256u + static_cast<unsigned char>(bytes[i + 1]) : b0;
        char32_t ch;
        double w;
        if (font != nullptr) {
            ch = font->decode_char(bytes.substr(i, len));
            w = font->glyph_width(code) * fs / 1000.0;
        } else {
            ch = b0 < 0x80 ? static_cast<char32_t>(b0) : char32_t{0xFFFD};
            w = 0.6 * fs;
        }
        w = w * th;
        const double x = tm_e + ctm_e;
        if (ch >= 0xFB01 && ch <= 0xFB06) {
            const Ligature& lig = kLigatures[ch - 0xFB01];
            const double share = w / lig.count;
            for (int k = 0; k < lig.count; ++k) {
                if (!budget.take_item()) break;
                const double x1 = k + 1 == lig.count ? x + w : x + (k + 1) * share;
                chars.push_back(
                    {x + k * share, y, x1, y + fs, static_cast<char32_t>(lig.letters[k])});
            }
        } else if (budget.take_item()) {
            chars.push_back({x, y, x + w, y + fs, ch});
        }
        if (budget.exhausted) break;
        double advance = w + char_spacing;
        if (len == 1 && b0 == 0x20) advance = advance + word_spacing;
        tm_e += advance;
        i += len;
    }
    state.tm.e = tm_e;
}

// --- The full reader's glyph placement ----------------------------------------

// /BaseFont without a subset tag (six capitals and '+'), else nothing.
std::string_view font_label(const FontInfo& font) {
    std::string_view name = font.base_font;
    if (name.size() > 7 && name[6] == '+' &&
        std::all_of(name.begin(), name.begin() + 6, [](char c) { return c >= 'A' && c <= 'Z'; })) {
        name.remove_prefix(7);
    }
    // "Unknown" is what a font without /BaseFont is read as.
    if (name == "Unknown") return {};
    return name;
}

// The index in result.fonts of the current font (`font`, as resolve_font
// gave it), added on first use. Kept with the font cache, so a run of
// strings in one font looks it up once.
std::uint32_t font_index(TextState& state, ContentResult& result, const FontInfo* font) {
    if (state.cached_font_index != TextState::kNoFontIndex) return state.cached_font_index;
    std::uint32_t index = 0;
    std::string name(font != nullptr ? font_label(*font) : std::string_view());
    if (font != nullptr && name.empty()) name = lossy_utf8(state.font_name);
    if (!name.empty()) {
        const auto next = static_cast<std::uint32_t>(result.fonts.size());
        auto [it, added] = state.font_indices.try_emplace(std::move(name), next);
        if (added) result.fonts.push_back(it->first);
        index = it->second;
    }
    state.cached_font_index = index;
    return index;
}

// Quarter turns counter-clockwise of the direction (dx, dy); 0 for no
// direction at all.
std::uint8_t quarter_turns(double dx, double dy) {
    if (!(std::isfinite(dx) && std::isfinite(dy)) || (dx == 0 && dy == 0)) return 0;
    if (std::fabs(dx) >= std::fabs(dy)) return dx > 0 ? 0 : 2;
    return dy > 0 ? 1 : 3;
}

// One glyph's box, glyph-space [x0, x1] x [y0, y1] through `g`, as
// axis-aligned bounds; false when a corner is not a finite number.
bool glyph_box(const Matrix& g, double x0, double y0, double x1, double y1, CharInfo& out) {
    const double xs[4] = {g.a * x0 + g.c * y0 + g.e, g.a * x1 + g.c * y0 + g.e,
                          g.a * x0 + g.c * y1 + g.e, g.a * x1 + g.c * y1 + g.e};
    const double ys[4] = {g.b * x0 + g.d * y0 + g.f, g.b * x1 + g.d * y0 + g.f,
                          g.b * x0 + g.d * y1 + g.f, g.b * x1 + g.d * y1 + g.f};
    // A sum of finite corners is finite unless it overflows, which the
    // corner by corner test below settles.
    const double sum = xs[0] + xs[1] + xs[2] + xs[3] + ys[0] + ys[1] + ys[2] + ys[3];
    if (!std::isfinite(sum)) {
        for (int k = 0; k < 4; ++k) {
            if (!std::isfinite(xs[k]) || !std::isfinite(ys[k])) return false;
        }
    }
    out.x0 = *std::min_element(xs, xs + 4);
    out.x1 = *std::max_element(xs, xs + 4);
    out.y0 = *std::min_element(ys, ys + 4);
    out.y1 = *std::max_element(ys, ys + 4);
    return true;
}

// What showing a string takes from the text state besides the pen position:
// the font, the glyph-to-user matrix without its translation, the glyphs'
// height, direction and size. Text showing moves only the pen, so one setup
// serves every string of a TJ array.
struct StringSetup {
    const FontInfo* font = nullptr;
    const FontInfo::Full* full = nullptr;
    double fs = 0, th = 0;
    bool vertical = false;
    // A simple font's codes are single bytes whose characters and widths
    // are tables: read in place, without a call per code.
    bool simple = false;
    Matrix font_matrix;
    Matrix text_to_user; // its translation is the pen's, set per string
    // Glyph space to user space; its translation is set per glyph from
    // g_e and g_f, the same products in the same order as composing it anew.
    Matrix glyph_to_user;
    double g_e = 0, g_f = 0;
    double ascent = 0, descent = 0;
    double vertical_advance = 0;
    std::uint8_t rotation = 0;
    std::uint8_t flags = 0; // CharInfo::flags
    float user_size = 0;
};

// A rise of at least this many font sizes raises or lowers text off its
// line: superscripts and subscripts are set a third of an em or so away,
// while rises below a tenth nudge glyphs for optical alignment.
constexpr double kScriptRise = 0.15;

// The span_flags bits of text shown with the current state: the font's own
// style, bold for render mode 2 (fill, then stroke the outline: how writers
// fake a bold face), superscript or subscript for a rise.
std::uint8_t text_flags(const TextState& state, const FontInfo::Full* full) {
    std::uint8_t flags = full != nullptr ? full->style : 0;
    if (state.render_mode == 2) flags |= span_flags::kBold;
    const double threshold = kScriptRise * std::fabs(state.font_size);
    if (state.rise >= threshold && state.rise > 0) flags |= span_flags::kSuperscript;
    if (state.rise <= -threshold && state.rise < 0) flags |= span_flags::kSubscript;
    return flags;
}

StringSetup string_setup(TextState& state, const FontMap& fonts) {
    StringSetup s;
    s.font = resolve_font(state, fonts);
    s.full = s.font != nullptr ? s.font->full.get() : nullptr;
    s.fs = state.font_size;
    s.th = state.h_scale;
    s.vertical = s.full != nullptr && s.full->vertical;
    s.simple = s.full != nullptr && !s.full->code_space;

    // Glyph space to text space: the font matrix (0.001 for all but Type 3
    // fonts), then size, scaling and rise.
    s.font_matrix = {0.001, 0, 0, 0.001, 0, 0};
    if (s.full != nullptr) {
        const auto& m = s.full->font_matrix;
        s.font_matrix = {m[0], m[1], m[2], m[3], m[4], m[5]};
    }
    const Matrix params{s.fs * s.th, 0, 0, s.fs, 0, state.rise};
    const Matrix glyph_to_text = params.mul(s.font_matrix);

    // The glyph's height in glyph space: the font's where it gives one, else
    // a typical em box whose baseline sits a fifth of the way up.
    s.ascent = s.full != nullptr ? s.full->ascent : 0;
    s.descent = s.full != nullptr ? s.full->descent : 0;
    if (!(s.ascent > s.descent)) {
        const double em = s.font_matrix.d != 0 ? 1.0 / s.font_matrix.d : 1000.0;
        s.ascent = 0.8 * em;
        s.descent = -0.2 * em;
    }
    // Vertical writing: glyphs hang below their origin, centred on it, and
    // the pen moves down by the vertical displacement (DW2, 1000 by default).
    s.vertical_advance = -1000.0;
    if (s.vertical && s.font->cid_font && s.font->cid_font->dw2) {
        s.vertical_advance = s.font->cid_font->dw2->second;
    }

    // Text space to user space.
    s.text_to_user = state.ctm.mul(state.tm);
    const Matrix direction = s.text_to_user.mul(params);
    s.rotation = quarter_turns(direction.a, direction.b);
    s.flags = text_flags(state, s.full);
    const double size = std::fabs(s.fs) * std::hypot(s.text_to_user.c, s.text_to_user.d);
    s.user_size = std::isfinite(size) ? static_cast<float>(std::fmin(size, 1e30)) : 0.0f;
    s.glyph_to_user = s.text_to_user.mul(glyph_to_text);
    const Matrix& t = s.text_to_user;
    s.g_e = t.a * glyph_to_text.e + t.c * glyph_to_text.f;
    s.g_f = t.b * glyph_to_text.e + t.d * glyph_to_text.f;
    return s;
}

// Shows a string by the text rendering matrix: each glyph is placed by font
// size, horizontal scaling, rise, text matrix and CTM, and advances by its
// width plus character and word spacing, in text space. `setup` is
// string_setup's for the current state.
void emit_string_full(std::string_view bytes, const StringSetup& setup, TextState& state,
                      ContentResult& result, WorkBudget& budget) {
    const FontInfo* font = setup.font;
    const FontInfo::Full* full = setup.full;
    // The font joins the page's fonts with the first string shown in it.
    const std::uint32_t index = font_index(state, result, font);
    const double fs = setup.fs;
    const double th = setup.th;
    const bool vertical = setup.vertical;
    const bool simple = setup.simple;
    const Matrix& font_matrix = setup.font_matrix;
    const double ascent = setup.ascent, descent = setup.descent;
    const double vertical_advance = setup.vertical_advance;
    const std::uint8_t rotation = setup.rotation;
    const std::uint8_t flags = setup.flags;
    const float user_size = setup.user_size;
    const double g_e = setup.g_e, g_f = setup.g_f;
    // Text stroked only (mode 1) shows in the stroke colour, all other
    // modes in the fill colour.
    const std::uint32_t color = state.render_mode == 1 ? state.paint.stroke : state.paint.fill;
    Matrix g = setup.glyph_to_user;
    // The pen: text space to user space moves with it (as state.ctm.mul(
    // state.tm) would give it).
    Matrix text_to_user = setup.text_to_user;
    const Matrix& ctm = state.ctm;
    text_to_user.e = ctm.a * state.tm.e + ctm.c * state.tm.f + ctm.e;
    text_to_user.f = ctm.b * state.tm.e + ctm.d * state.tm.f + ctm.f;
    std::u32string scratch;
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        const std::string_view rest = bytes.substr(i);
        const std::size_t len =
            simple ? 1
            : font != nullptr
                ? std::clamp<std::size_t>(font->code_length(rest), 1, rest.size())
                : 1;
        const std::string_view code_bytes = rest.substr(0, len);
        std::uint32_t code = 0;
        for (std::size_t k = 0; k < len && k < 4; ++k)
            code = code * 256u + static_cast<unsigned char>(code_bytes[k]);
        std::u32string_view text;
        double width; // glyph space
        if (simple) {
            text = full->simple_text[code];
            if (text.empty()) text = font->text_of(code_bytes, scratch);
            width = code < full->widths.size() ? full->widths[code] : full->missing_width;
        } else if (font != nullptr) {
            text = font->text_and_width(code_bytes, code, scratch, width);
        } else {
            const auto b0 = static_cast<unsigned char>(code_bytes[0]);
            scratch.assign(1, b0 < 0x80 ? static_cast<char32_t>(b0) : char32_t{0xFFFD});
            text = scratch;
            width = 600.0;
        }
        if (!std::isfinite(width)) width = 0;
        if (text.size() == 1 && text[0] >= 0xFB01 && text[0] <= 0xFB06) {
            // As the compact reader does: the layout sees ordinary letters.
            const Ligature& lig = kLigatures[text[0] - 0xFB01];
            scratch.assign(lig.letters, lig.letters + lig.count);
            text = scratch;
        }

        g.e = g_e + text_to_user.e;
        g.f = g_f + text_to_user.f;
        // Characters of one code share its box in equal parts along the
        // writing direction.
        const std::size_t count = text.size();
        for (std::size_t k = 0; k < count; ++k) {
            if (!budget.take_item()) break;
            CharInfo c;
            bool placed;
            if (vertical) {
                const double step = vertical_advance / static_cast<double>(count);
                placed = glyph_box(g, -width / 2, k * step, width / 2, (k + 1) * step, c);
            } else {
                const double step = width / static_cast<double>(count);
                placed = glyph_box(g, k * step, descent, (k + 1) * step, ascent, c);
            }
            if (!placed) continue;
            c.ch = text[k];
            c.font = index;
            c.size = user_size;
            c.rotation = rotation;
            c.flags = flags;
            c.color = color;
            result.chars.push_back(c);
        }
        if (budget.exhausted) break;

        double spacing = state.char_spacing;
        if (len == 1 && code == 0x20) spacing += state.word_spacing;
        double tx = 0, ty = 0;
        if (vertical) {
            ty = vertical_advance * font_matrix.d * fs + spacing;
        } else {
            tx = (width * font_matrix.a * fs + spacing) * th;
        }
        state.tm.e += tx * state.tm.a + ty * state.tm.c;
        state.tm.f += tx * state.tm.b + ty * state.tm.d;
        text_to_user.e += tx * text_to_user.a + ty * text_to_user.c;
        text_to_user.f += tx * text_to_user.b + ty * text_to_user.d;
        i += len;
    }
}

// A scan for drawings alone places no glyphs: text moves nothing that a
// path uses. Each byte shown still counts as an item, so text drawn
// millions of times through forms stops where it would have.
void skip_text(std::size_t codes, ContentResult& result, WorkBudget& budget) {
    const std::uint64_t n = std::min<std::uint64_t>(codes, budget.items_left);
    budget.items_left -= n;
    result.skipped_text += n;
    if (n < codes) budget.exhausted = true;
}

void show_text(std::string_view bytes, TextState& state, ContentResult& result,
               const FontMap& fonts, WorkBudget& budget) {
    if (!state.emit_text) return skip_text(bytes.size(), result, budget);
    if (state.full) {
        emit_string_full(bytes, string_setup(state, fonts), state, result, budget);
    } else {
        emit_string_impl(bytes, state, result, fonts, budget);
    }
}

void emit_space_impl(TextState& state, ContentResult& result, WorkBudget& budget) {
    if (!budget.take_item()) return;
    const double x = state.tm.e + state.ctm.e;
    const double y = state.tm.f + state.ctm.f;
    result.chars.push_back({x, y, x + 0.25 * state.font_size, y + state.font_size, char32_t{0x20}});
}

// Td and friends: the compact reader moves only the translation of tlm; the
// full reader moves it in the line matrix's own space.
void next_line(TextState& state, double tx, double ty) {
    if (state.full) {
        const Matrix& m = state.tlm;
        state.tlm.e = tx * m.a + ty * m.c + m.e;
        state.tlm.f = tx * m.b + ty * m.d + m.f;
    } else {
        state.tlm.e += tx;
        state.tlm.f += ty;
    }
    state.tm = state.tlm;
}

Matrix matrix_from(std::span<const Operand> six) {
    return {six[0].number(), six[1].number(), six[2].number(),
            six[3].number(), six[4].number(), six[5].number()};
}

void show_tj_array(const Operand& array, TextState& state, ContentResult& result,
                   const FontMap& fonts, WorkBudget& budget) {
    if (!state.emit_text) {
        for (const Operand& element : array.items())
            skip_text(element.bytes().size(), result, budget);
        return;
    }
    if (state.full) {
        // Numbers only move the pen; the layout finds the gaps that part
        // words.
        const StringSetup setup = string_setup(state, fonts);
        const bool vertical = setup.vertical;
        for (const Operand& element : array.items()) {
            if (element.is_string()) {
                emit_string_full(element.bytes(), setup, state, result, budget);
            } else if (element.is_number()) {
                const double move = -element.number() / 1000.0 * state.font_size;
                const double tx = vertical ? 0 : move * state.h_scale;
                const double ty = vertical ? move : 0;
                state.tm.e += tx * state.tm.a + ty * state.tm.c;
                state.tm.f += tx * state.tm.b + ty * state.tm.d;
            }
            if (budget.exhausted) return;
        }
        return;
    }
    for (const Operand& element : array.items()) {
        if (element.is_string()) {
            emit_string_impl(element.bytes(), state, result, fonts, budget);
        } else if (element.is_number()) {
            const double n = element.number();
            const double tx = (state.font_size * n * state.h_scale) / -1000.0;
            state.tm.e += tx;
            // A kerning gap of more than 150 thousandths of a 12-point em
            // (scaled with the size, never below 75) separates words.
            const double threshold = std::fmax(state.font_size / 12.0, 0.5) * -150.0;
            if (n < threshold && !result.chars.empty()) emit_space_impl(state, result, budget);
        }
        if (budget.exhausted) return;
    }
}

std::pair<double, double> map_point(const Matrix& m, double x, double y) {
    return {m.a * x + m.c * y + m.e, m.b * x + m.d * y + m.f};
}

// The full reader draws a form in its caller's graphics state, the form's
// /Matrix applied first, with the form's own resources (its fonts winning
// over its caller's of the same name); what q/Q and text operators do inside
// stays inside. Each drawing is interpreted: the characters depend on the
// state it inherits.
void draw_form_full(const XObjectData& form, TextState& state, ContentResult& result,
                    const FontMap& fonts, const XObjectMap& xobjects, unsigned depth,
                    WorkBudget& budget) {
    state.save_gs();
    const Matrix tm = state.tm;
    const Matrix tlm = state.tlm;
    const std::size_t floor = state.gs_floor;
    const std::size_t skipped = state.gs_skipped;
    state.gs_floor = state.gs_stack.size();
    state.ctm = state.ctm.mul(form.matrix);

    const FontMap* form_fonts = &form.fonts;
    FontMap merged;
    const bool adds_fonts = std::any_of(fonts.begin(), fonts.end(), [&](const auto& kv) {
        return !form.fonts.contains(kv.first);
    });
    if (form.fonts.empty()) {
        form_fonts = &fonts;
    } else if (adds_fonts) {
        budget.charge_operators(fonts.size() + form.fonts.size());
        merged = form.fonts;
        for (const auto& [name, font] : fonts)
            merged.emplace(name, font);
        form_fonts = &merged;
    }
    const XObjectMap& form_xobjects = form.xobjects != nullptr ? *form.xobjects : xobjects;
    const ColorSpaceMap* caller_spaces = state.color_spaces;
    if (form.color_spaces != nullptr) state.color_spaces = form.color_spaces.get();
    // A path the caller left open is not the form's to paint.
    state.path = PathState{};
    if (!budget.exhausted) {
        scan_content_stream_full(form.content, *form_fonts, form_xobjects, depth + 1, state,
                                 result, budget);
    }
    // The merged map dies here; a later map at its address must not hit
    // the cache.
    forget_font_cache(state);
    while (state.gs_stack.size() > state.gs_floor) {
        state.gs_stack.pop_back();
        if (!state.text_stack.empty()) state.text_stack.pop_back();
        if (!state.paint_stack.empty()) state.paint_stack.pop_back();
    }
    state.color_spaces = caller_spaces;
    state.gs_floor = floor;
    state.gs_skipped = skipped;
    state.restore_gs();
    state.tm = tm;
    state.tlm = tlm;
}

void draw_form(const XObjectData& form, TextState& state, ContentResult& result,
               const FontMap& fonts, const XObjectMap& xobjects, unsigned depth,
               WorkBudget& budget) {
    if (state.full) return draw_form_full(form, state, result, fonts, xobjects, depth, budget);
    state.save_gs();
    state.ctm = form.matrix.mul(state.ctm);

    // The form sees its caller's fonts, and its own where the names are
    // free. The copy is skipped when it would add nothing.
    const FontMap* form_fonts = &fonts;
    FontMap merged;
    const bool adds_fonts = std::any_of(form.fonts.begin(), form.fonts.end(),
                                        [&](const auto& kv) { return !fonts.contains(kv.first); });
    if (adds_fonts) {
        budget.charge_operators(fonts.size() + form.fonts.size());
        merged = fonts;
        for (const auto& [name, font] : form.fonts)
            merged.emplace(name, font);
        form_fonts = &merged;
    }

    if (!budget.exhausted) {
        // A replay charges exactly the work the interpretation would, and is
        // used only when the budget covers all of it, so the page comes out
        // the same as if every drawing were interpreted.
        const TextState::DrawnForm* drawn = nullptr;
        for (const TextState::DrawnForm& d : state.drawn_forms) {
            if (d.form == &form) drawn = &d;
        }
        ContentResult nested;
        const ContentResult* source = &nested;
        if (drawn && drawn->operators <= budget.operators_left &&
            drawn->items <= budget.items_left) {
            budget.operators_left -= drawn->operators;
            budget.items_left -= drawn->items;
            source = &drawn->result;
        } else {
            const std::uint64_t operators_before = budget.operators_left;
            const std::uint64_t items_before = budget.items_left;
            TextState nested_state;
            scan_content_stream_full(form.content, *form_fonts, xobjects, depth + 1,
                                     nested_state, nested, budget);
            if (!drawn && !budget.exhausted) {
                state.drawn_forms.push_back({&form, std::move(nested),
                                             operators_before - budget.operators_left,
                                             items_before - budget.items_left});
                source = &state.drawn_forms.back().result;
            }
        }
        const Matrix& m = state.ctm;
        for (const CharInfo& c : source->chars) {
            const auto [x0, y0] = map_point(m, c.x0, c.y0);
            const auto [x1, y1] = map_point(m, c.x1, c.y1);
            result.chars.push_back({x0, y0, x1, y1, c.ch});
        }
        for (const ImageRef& image : source->images) {
            const auto [x0, y0] = map_point(m, image.x0, image.y0);
            const auto [x1, y1] = map_point(m, image.x1, image.y1);
            result.images.push_back({image.name, x0, y0, x1, y1});
        }
    }

    state.restore_gs();
}

void record_image(std::string name, const TextState& state, ContentResult& result,
                  WorkBudget& budget) {
    if (!budget.take_item()) return;
    const Matrix& m = state.ctm;
    if (state.full) {
        // The unit square through the CTM, as axis-aligned bounds, so that
        // rotated and mirrored images get their true box.
        CharInfo box;
        if (glyph_box(m, 0, 0, 1, 1, box)) {
            result.images.push_back({std::move(name), box.x0, box.y0, box.x1, box.y1});
        }
        return;
    }
    const double p0x = m.e;
    const double p0y = m.f;
    const double p1x = m.a + m.c + m.e;
    const double p1y = m.b + m.d + m.f;
    // fmin/fmax pass over a NaN corner in favour of the other one.
    result.images.push_back({std::move(name), std::fmin(p0x, p1x), std::fmin(p0y, p1y),
                             std::fmax(p0x, p1x), std::fmax(p0y, p1y)});
}

void do_xobject(std::span<const Operand> operands, TextState& state, ContentResult& result,
                const FontMap& fonts, const XObjectMap& xobjects, unsigned depth,
                WorkBudget& budget) {
    const Operand& top = operands.back();
    std::string name = lossy_utf8(top.is_name() ? top.bytes() : std::string_view());
    auto it = xobjects.find(name);
    if (it != xobjects.end() && it->second.kind == XObjectData::Kind::Form) {
        // Page content runs at depth 0: forms are followed three levels deep,
        // which also ends a form that draws itself.
        if (depth > 2) return;
        draw_form(it->second, state, result, fonts, xobjects, depth, budget);
        return;
    }
    record_image(std::move(name), state, result, budget);
}

// --- The full reader's colours and paths ------------------------------------

// The numbers of a colour operator, last `n` of them (sc, scn and friends
// take as many as their space has components; a pattern's name may follow).
std::size_t color_numbers(std::span<const Operand> operands, std::size_t n,
                          std::array<double, 32>& out) {
    std::size_t end = operands.size();
    if (end > 0 && operands[end - 1].is_name()) --end;
    std::size_t begin = end;
    while (begin > 0 && end - begin < std::min<std::size_t>(n, out.size()) &&
           operands[begin - 1].is_number()) {
        --begin;
    }
    for (std::size_t i = begin; i < end; ++i)
        out[i - begin] = operands[i].number();
    return end - begin;
}

// cs and CS: the device spaces and Pattern by name, others from the
// resources; a name the resources lack paints in DeviceGray.
const ColorSpace* named_space(const Operand& name, const TextState& state) {
    const std::string_view n = name.is_name() ? name.bytes() : std::string_view();
    if (n == "DeviceGray") return &ColorSpace::device_gray();
    if (n == "DeviceRGB") return &ColorSpace::device_rgb();
    if (n == "DeviceCMYK") return &ColorSpace::device_cmyk();
    if (n == "Pattern") return &ColorSpace::pattern();
    if (state.color_spaces != nullptr) {
        auto it = state.color_spaces->find(lossy_utf8(n));
        if (it != state.color_spaces->end()) return &it->second;
    }
    return &ColorSpace::device_gray();
}

void set_color(std::span<const Operand> operands, const ColorSpace& space, std::uint32_t& out) {
    std::array<double, 32> numbers{};
    const std::size_t n = color_numbers(operands, space.components, numbers);
    if (space.family == ColorSpace::Family::Pattern) {
        // An uncoloured pattern paints its cells in the colour given with
        // it; a coloured one carries its own (black, see to_srgb).
        out = 0;
        if (space.base != ColorSpace::Family::Pattern && n > 0) {
            ColorSpace under = space;
            under.family = space.base;
            out = to_srgb(under, std::span<const double>(numbers.data(), n));
        }
        return;
    }
    out = to_srgb(space, std::span<const double>(numbers.data(), n));
}

void set_device_color(std::span<const Operand> operands, const ColorSpace& space,
                      const ColorSpace*& space_out, std::uint32_t& out) {
    if (operands.size() < space.components) return;
    space_out = &space;
    set_color(operands, space, out);
}

bool finite(double v) { return std::isfinite(v); }

void add_item(PathState& path, PathItem::Kind kind, std::initializer_list<double> points) {
    PathItem item;
    item.kind = kind;
    std::size_t i = 0;
    for (const double v : points) {
        if (!finite(v)) return; // an item off every page is no rule or box
        item.p[i++] = v;
    }
    path.items.push_back(item);
}

// A subpath of four axis-parallel lines that closes on itself is the box a
// writer drew edge by edge: kept as one rectangle, as `re` would give it.
void merge_rectangle(PathState& path) {
    const std::size_t first = path.subpath_first;
    if (path.items.size() != first + 4) return;
    constexpr double kEps = 1e-3; // of a point: rounding through the CTM
    double x0 = 1e300, y0 = 1e300, x1 = -1e300, y1 = -1e300;
    int horizontal = 0;
    for (std::size_t i = first; i < first + 4; ++i) {
        const PathItem& it = path.items[i];
        if (it.kind != PathItem::Kind::Line) return;
        const bool h = std::fabs(it.p[1] - it.p[3]) <= kEps;
        const bool v = std::fabs(it.p[0] - it.p[2]) <= kEps;
        if (h == v) return; // neither, or a point
        // Edges alternate between the two directions.
        if (i > first && h == (std::fabs(path.items[i - 1].p[1] - path.items[i - 1].p[3]) <= kEps))
            return;
        horizontal += h;
        x0 = std::min({x0, it.p[0], it.p[2]});
        x1 = std::max({x1, it.p[0], it.p[2]});
        y0 = std::min({y0, it.p[1], it.p[3]});
        y1 = std::max({y1, it.p[1], it.p[3]});
    }
    const PathItem& last = path.items[first + 3];
    const PathItem& head = path.items[first];
    if (horizontal != 2 || std::fabs(last.p[2] - head.p[0]) > kEps ||
        std::fabs(last.p[3] - head.p[1]) > kEps) {
        return;
    }
    path.items.resize(first);
    path.items.push_back({PathItem::Kind::Rect, {x0, y0, x1, y1}});
}

void close_subpath(PathState& path) {
    if (!path.has_point) return;
    if (path.x != path.start_x || path.y != path.start_y) {
        add_item(path, PathItem::Kind::Line, {path.x, path.y, path.start_x, path.start_y});
        path.x = path.start_x;
        path.y = path.start_y;
    }
    path.closed = true;
    merge_rectangle(path);
}

void begin_subpath(PathState& path, double x, double y) {
    path.x = path.start_x = x;
    path.y = path.start_y = y;
    path.subpath_first = path.items.size();
    path.has_point = true;
    path.closed = false;
}

// m l c v y h re, once their points are in the budget.
void construct_path(char op, std::span<const Operand> operands, TextState& state,
                    WorkBudget& budget) {
    PathState& path = state.path;
    const Matrix& m = state.ctm;
    const std::size_t count = operands.size();
    auto point = [&](std::size_t from_top) {
        return map_point(m, operands[count - from_top].number(),
                         operands[count - from_top + 1].number());
    };
    switch (op) {
    case 'm': {
        if (count < 2 || !budget.take_points(1)) return;
        const auto [x, y] = point(2);
        begin_subpath(path, x, y);
        return;
    }
    case 'l': {
        if (count < 2 || !budget.take_points(1)) return;
        const auto [x, y] = point(2);
        // A line with no current point starts the path there, as readers
        // that draw such files do.
        if (!path.has_point) return begin_subpath(path, x, y);
        add_item(path, PathItem::Kind::Line, {path.x, path.y, x, y});
        path.x = x;
        path.y = y;
        return;
    }
    case 'c':
    case 'v':
    case 'y': {
        const std::size_t need = op == 'c' ? 6 : 4;
        if (count < need || !budget.take_points(3)) return;
        std::pair<double, double> p1, p2, p3;
        if (op == 'c') {
            p1 = point(6);
            p2 = point(4);
            p3 = point(2);
        } else {
            const auto a = point(4);
            p3 = point(2);
            p1 = op == 'v' ? std::pair{path.x, path.y} : a;
            p2 = op == 'v' ? a : p3;
        }
        if (!path.has_point) begin_subpath(path, p1.first, p1.second);
        add_item(path, PathItem::Kind::Curve,
                 {path.x, path.y, p1.first, p1.second, p2.first, p2.second, p3.first, p3.second});
        path.x = p3.first;
        path.y = p3.second;
        return;
    }
    case 'h':
        close_subpath(path);
        return;
    case 'r': { // re
        if (count < 4 || !budget.take_points(4)) return;
        const double x = operands[count - 4].number(), y = operands[count - 3].number();
        const double w = operands[count - 2].number(), h = operands[count - 1].number();
        const auto p0 = map_point(m, x, y);
        const auto p1 = map_point(m, x + w, y);
        const auto p2 = map_point(m, x + w, y + h);
        const auto p3 = map_point(m, x, y + h);
        begin_subpath(path, p0.first, p0.second);
        if ((m.b == 0 && m.c == 0) || (m.a == 0 && m.d == 0)) {
            add_item(path, PathItem::Kind::Rect,
                     {std::min(p0.first, p2.first), std::min(p0.second, p2.second),
                      std::max(p0.first, p2.first), std::max(p0.second, p2.second)});
        } else {
            // A turned rectangle is four edges.
            add_item(path, PathItem::Kind::Line, {p0.first, p0.second, p1.first, p1.second});
            add_item(path, PathItem::Kind::Line, {p1.first, p1.second, p2.first, p2.second});
            add_item(path, PathItem::Kind::Line, {p2.first, p2.second, p3.first, p3.second});
            add_item(path, PathItem::Kind::Line, {p3.first, p3.second, p0.first, p0.second});
        }
        path.closed = true;
        return;
    }
    default: return;
    }
}

std::array<double, 4> items_box(const std::vector<PathItem>& items) {
    std::array<double, 4> box{1e300, 1e300, -1e300, -1e300};
    for (const PathItem& it : items) {
        const int points = it.kind == PathItem::Kind::Curve ? 4 : 2;
        for (int k = 0; k < points; ++k) {
            box[0] = std::min(box[0], it.p[2 * k]);
            box[1] = std::min(box[1], it.p[2 * k + 1]);
            box[2] = std::max(box[2], it.p[2 * k]);
            box[3] = std::max(box[3], it.p[2 * k + 1]);
        }
    }
    return box;
}

// S s f F f* B B* b b* n: records the path as one drawing unless it is
// painted with n, empty, wholly outside the clip, or past the page's limit;
// then a pending W narrows the clip to the path's box.
void paint_path(bool stroke, bool fill, bool close, TextState& state, ContentResult& result,
                WorkBudget& budget) {
    PathState& path = state.path;
    if (close) close_subpath(path);
    if (!path.items.empty()) {
        const std::array<double, 4> box = items_box(path.items);
        const std::array<double, 4>& clip = state.paint.clip;
        const bool outside =
            box[2] < clip[0] || box[0] > clip[2] || box[3] < clip[1] || box[1] > clip[3];
        if ((stroke || fill) && !outside && budget.take_drawing()) {
            Drawing d;
            d.bbox = box;
            if (stroke) d.stroke = state.paint.stroke;
            if (fill) d.fill = state.paint.fill;
            const Matrix& m = state.ctm;
            const double scale = std::sqrt(std::fabs(m.a * m.d - m.b * m.c));
            const double width = state.paint.line_width * scale;
            d.width = std::isfinite(width) ? width : 0;
            d.closed = path.closed;
            d.items = std::move(path.items);
            result.drawings.push_back(std::move(d));
        }
        if (path.clip_pending) {
            std::array<double, 4>& c = state.paint.clip;
            c = {std::max(c[0], box[0]), std::max(c[1], box[1]), std::min(c[2], box[2]),
                 std::min(c[3], box[3])};
        }
    }
    path.items.clear();
    path.has_point = false;
    path.closed = false;
    path.clip_pending = false;
    path.subpath_first = 0;
}

// The full reader's colour, line width, path and clip operators; false for
// any other operator. Paths are built only when drawings are recorded.
bool execute_paint(std::string_view op, std::span<const Operand> operands, TextState& state,
                   ContentResult& result, WorkBudget& budget) {
    const std::size_t count = operands.size();
    PaintParams& paint = state.paint;
    const bool paths = state.record_drawings;
    if (op.size() == 1) {
        switch (op[0]) {
        case 'w':
            if (count >= 1) paint.line_width = std::fabs(operands.back().number());
            return true;
        case 'g':
            set_device_color(operands, ColorSpace::device_gray(), paint.fill_space, paint.fill);
            return true;
        case 'G':
            set_device_color(operands, ColorSpace::device_gray(), paint.stroke_space,
                             paint.stroke);
            return true;
        case 'k':
            set_device_color(operands, ColorSpace::device_cmyk(), paint.fill_space, paint.fill);
            return true;
        case 'K':
            set_device_color(operands, ColorSpace::device_cmyk(), paint.stroke_space,
                             paint.stroke);
            return true;
        case 'm':
        case 'l':
        case 'c':
        case 'v':
        case 'y':
        case 'h':
            if (paths) construct_path(op[0], operands, state, budget);
            return true;
        case 'S':
        case 's':
        case 'f':
        case 'F':
        case 'B':
        case 'b':
        case 'n': {
            if (!paths) return true;
            const char c = op[0];
            const bool stroke = c == 'S' || c == 's' || c == 'B' || c == 'b';
            const bool fill = c == 'f' || c == 'F' || c == 'B' || c == 'b';
            paint_path(stroke, fill, c == 's' || c == 'b', state, result, budget);
            return true;
        }
        case 'W':
            state.path.clip_pending = paths;
            return true;
        default: return false;
        }
    }
    if (op.size() == 2) {
        const char a = op[0], b = op[1];
        if (b == '*') {
            if (a == 'W') {
                state.path.clip_pending = paths;
                return true;
            }
            if (a != 'f' && a != 'B' && a != 'b') return false;
            if (paths) paint_path(a != 'f', true, a == 'b', state, result, budget);
            return true;
        }
        if (a == 'r' && b == 'g') {
            set_device_color(operands, ColorSpace::device_rgb(), paint.fill_space, paint.fill);
        } else if (a == 'R' && b == 'G') {
            set_device_color(operands, ColorSpace::device_rgb(), paint.stroke_space,
                             paint.stroke);
        } else if (a == 'r' && b == 'e') {
            if (paths) construct_path('r', operands, state, budget);
        } else if ((a == 'c' || a == 'C') && b == 's') {
            if (count < 1) return true;
            const ColorSpace* space = named_space(operands.back(), state);
            (a == 'c' ? paint.fill_space : paint.stroke_space) = space;
            (a == 'c' ? paint.fill : paint.stroke) = initial_color(*space);
        } else if (a == 's' && b == 'c') {
            set_color(operands, *paint.fill_space, paint.fill);
        } else if (a == 'S' && b == 'C') {
            set_color(operands, *paint.stroke_space, paint.stroke);
        } else {
            return false;
        }
        return true;
    }
    if (op == "scn") {
        set_color(operands, *paint.fill_space, paint.fill);
        return true;
    }
    if (op == "SCN") {
        set_color(operands, *paint.stroke_space, paint.stroke);
        return true;
    }
    return false;
}

// Operators are told apart by length and then one or two bytes; every other
// token (ET, marked content, colour, paths, inline images) does nothing.
void execute(std::string_view op, std::span<const Operand> operands, TextState& state,
             ContentResult& result, const FontMap& fonts, const XObjectMap& xobjects,
             unsigned depth, WorkBudget& budget) {
    if (state.full && execute_paint(op, operands, state, result, budget)) return;
    const std::size_t count = operands.size();
    auto top = [&](std::size_t n) { return operands.subspan(count - n); };
    if (op.size() == 1) {
        switch (op[0]) {
        case 'q':
            state.save_gs();
            return;
        case 'Q':
            state.restore_gs();
            return;
        case '\'':
            next_line(state, 0.0, -state.leading);
            if (count >= 1 && operands.back().is_string()) {
                show_text(operands.back().bytes(), state, result, fonts, budget);
            }
            return;
        case '"':
            if (count < 3) return;
            state.word_spacing = operands[count - 3].number();
            state.char_spacing = operands[count - 2].number();
            next_line(state, 0.0, -state.leading);
            if (operands.back().is_string()) {
                show_text(operands.back().bytes(), state, result, fonts, budget);
            }
            return;
        default:
            return;
        }
    }
    if (op.size() != 2) return;
    const char second = op[1];
    switch (op[0]) {
    case 'c':
        // The full reader applies the new matrix before the current one, as
        // the file format composes them; the compact reader the other way.
        if (second == 'm' && count >= 6) {
            state.ctm = state.full ? state.ctm.mul(matrix_from(top(6)))
                                   : matrix_from(top(6)).mul(state.ctm);
        }
        return;
    case 'B':
        if (second == 'T') {
            state.tm = Matrix{};
            state.tlm = Matrix{};
        }
        return;
    case 'D':
        if (second == 'o' && count >= 1)
            do_xobject(operands, state, result, fonts, xobjects, depth, budget);
        return;
    case 'T':
        break;
    default:
        return;
    }
    switch (second) {
    case 'd':
        if (count >= 2)
            next_line(state, operands[count - 2].number(), operands[count - 1].number());
        return;
    case 'D':
        if (count >= 2) {
            const double ty = operands[count - 1].number();
            state.leading = -ty;
            next_line(state, operands[count - 2].number(), ty);
        }
        return;
    case '*':
        next_line(state, 0.0, -state.leading);
        return;
    case 'm':
        if (count >= 6) {
            state.tlm = matrix_from(top(6));
            state.tm = state.tlm;
        }
        return;
    case 'c':
        if (count >= 1) state.char_spacing = operands.back().number();
        return;
    case 'w':
        if (count >= 1) state.word_spacing = operands.back().number();
        return;
    case 'z':
        if (count >= 1) state.h_scale = operands.back().number() / 100.0;
        return;
    case 'L':
        if (count >= 1) state.leading = operands.back().number();
        return;
    case 's':
        if (state.full && count >= 1) state.rise = operands.back().number();
        return;
    case 'r':
        if (state.full && count >= 1) {
            const Operand& mode = operands.back();
            const bool integer = mode.kind() == Operand::Kind::Integer;
            const std::int64_t value = integer ? mode.integer_value() : 0;
            state.render_mode = static_cast<int>(std::clamp<std::int64_t>(value, 0, 7));
        }
        return;
    case 'f':
        if (count >= 2) {
            const Operand& name = operands[count - 2];
            state.font_name.assign(name.is_name() ? name.bytes() : std::string_view());
            state.font_size = operands.back().number();
        }
        return;
    case 'j':
        if (count >= 1 && operands.back().is_string()) {
            show_text(operands.back().bytes(), state, result, fonts, budget);
        }
        return;
    case 'J':
        if (count >= 1 && operands.back().is_array()) {
            show_tj_array(operands.back(), state, result, fonts, budget);
        }
        return;
    default:
        return;
    }
}

// One forward pass over the content bytes; operands point into them or
// into the scan's arena.
void scan_content_stream_full(std::string_view data, const FontMap& fonts,
                              const XObjectMap& xobjects, unsigned depth, TextState& state,
                              ContentResult& result, WorkBudget& budget) {
    forget_font_cache(state);
    state.drawn_forms.clear();
    OperandStack operands;
    OperandArena arena;
    const std::size_t n = data.size();
    std::size_t pos = 0;
    bool inline_image_open = false; // a BI not yet followed by its ID
    while (pos < n) {
        const char c = data[pos];
        if (has_class(c, kWhitespace)) {
            ++pos;
            continue;
        }
        if (c == '%') {
            while (pos < n && data[pos] != '\n' && data[pos] != '\r')
                ++pos;
            continue;
        }
        if (has_class(c, kOperatorByte)) {
            const std::size_t start = pos;
            while (pos < n && has_class(data[pos], kOperatorByte))
                ++pos;
            if (!budget.take_operator()) return;
            const std::string_view op = data.substr(start, pos - start);
            execute(op, operands.view(), state, result, fonts, xobjects, depth, budget);
            if (state.full && op == "BI") inline_image_open = true;
            if (state.full && op == "ID" && inline_image_open) {
                inline_image_open = false;
                // An inline image's data is not content syntax: a '(' or
                // '[' in it would swallow the rest of the page.
                if (pos < n) ++pos; // the one whitespace byte after ID
                pos = inline_image_end(data, pos, operands.view());
                pos = std::min(pos + 2, n);
            }
            operands.clear();
            arena.reset();
            if (budget.exhausted) return;
            continue;
        }
        if (auto operand = parse_operand(data, pos, arena)) {
            // No operator takes more than six operands, so dropping the
            // oldest half of an overlong stack is never observable and keeps
            // a stream of bare numbers from growing memory without bound.
            if (operands.size() == limits::kMaxContentOperands) {
                operands.erase_front(limits::kMaxContentOperands / 2);
            }
            operands.push_back(std::move(*operand));
        }
    }
}

} // namespace

namespace {

// The full reader's font table starts with the empty name, for characters
// drawn without a font.
void start_scan(const ReadOptions& read, TextState& state, ContentResult& result) {
    state.full = read.full();
    if (state.full && result.fonts.empty()) {
        state.font_indices.clear();
        result.fonts.emplace_back();
    }
}

} // namespace

ContentResult scan_content_stream_full(std::string_view data, const FontMap& fonts,
                                       const XObjectMap& xobjects, unsigned depth,
                                       const ReadOptions& read) {
    TextState state;
    ContentResult result;
    WorkBudget budget;
    start_scan(read, state, result);
    scan_content_stream_full(data, fonts, xobjects, depth, state, result, budget);
    return result;
}

void scan_content_stream_into(std::string_view data, TextState& state, ContentResult& result,
                              const FontMap& fonts, const XObjectMap& xobjects, unsigned depth,
                              const ReadOptions& read) {
    WorkBudget budget;
    start_scan(read, state, result);
    scan_content_stream_full(data, fonts, xobjects, depth, state, result, budget);
}

void execute_operator_full(std::string_view op, std::span<const Operand> operands, TextState& state,
                           ContentResult& result, const FontMap& fonts, const XObjectMap& xobjects,
                           unsigned depth) {
    WorkBudget budget;
    forget_font_cache(state);
    execute(op, operands, state, result, fonts, xobjects, depth, budget);
}

void emit_string(std::string_view bytes, TextState& state, ContentResult& result,
                 const FontMap& fonts) {
    WorkBudget budget;
    forget_font_cache(state);
    show_text(bytes, state, result, fonts, budget);
}

void emit_space(TextState& state, ContentResult& result) {
    WorkBudget budget;
    emit_space_impl(state, result, budget);
}

} // namespace quarvel

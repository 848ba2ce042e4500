#include "content/content_stream.h"

#include <algorithm>
#include <cmath>

#include "resource_limits.h"
#include "syntax/text.h"

namespace quarvel {

using content_detail::has_class;
using content_detail::kOperatorByte;
using content_detail::kWhitespace;

Matrix Matrix::mul(const Matrix& other) const {
    Matrix r;
    r.a = a * other.a + c * other.b;
    r.b = b * other.a + d * other.b;
    r.c = a * other.c + c * other.d;
    r.d = b * other.c + d * other.d;
    r.e = a * other.e + c * other.f + e;
    r.f = b * other.e + d * other.f + f;
    return r;
}

void TextState::save_gs() {
    gs_stack.push_back(ctm);
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

void emit_space_impl(TextState& state, ContentResult& result, WorkBudget& budget) {
    if (!budget.take_item()) return;
    const double x = state.tm.e + state.ctm.e;
    const double y = state.tm.f + state.ctm.f;
    result.chars.push_back({x, y, x + 0.25 * state.font_size, y + state.font_size, char32_t{0x20}});
}

// Td and friends: only the translation of tlm moves.
void next_line(TextState& state, double tx, double ty) {
    state.tlm.e += tx;
    state.tlm.f += ty;
    state.tm = state.tlm;
}

Matrix matrix_from(std::span<const Operand> six) {
    return {six[0].number(), six[1].number(), six[2].number(),
            six[3].number(), six[4].number(), six[5].number()};
}

void show_tj_array(const Operand& array, TextState& state, ContentResult& result,
                   const FontMap& fonts, WorkBudget& budget) {
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

void draw_form(const XObjectData& form, TextState& state, ContentResult& result,
               const FontMap& fonts, const XObjectMap& xobjects, unsigned depth,
               WorkBudget& budget) {
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

    if (!state.gs_stack.empty()) {
        state.ctm = state.gs_stack.back();
        state.gs_stack.pop_back();
    }
}

void record_image(std::string name, const TextState& state, ContentResult& result,
                  WorkBudget& budget) {
    if (!budget.take_item()) return;
    const Matrix& m = state.ctm;
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

// Operators are told apart by length and then one or two bytes; every other
// token (ET, marked content, colour, paths, inline images) does nothing.
void execute(std::string_view op, std::span<const Operand> operands, TextState& state,
             ContentResult& result, const FontMap& fonts, const XObjectMap& xobjects,
             unsigned depth, WorkBudget& budget) {
    const std::size_t count = operands.size();
    auto top = [&](std::size_t n) { return operands.subspan(count - n); };
    if (op.size() == 1) {
        switch (op[0]) {
        case 'q':
            state.save_gs();
            return;
        case 'Q':
            if (!state.gs_stack.empty()) {
                state.ctm = state.gs_stack.back();
                state.gs_stack.pop_back();
            }
            return;
        case '\'':
            next_line(state, 0.0, -state.leading);
            if (count >= 1 && operands.back().is_string()) {
                emit_string_impl(operands.back().bytes(), state, result, fonts, budget);
            }
            return;
        case '"':
            if (count < 3) return;
            state.word_spacing = operands[count - 3].number();
            state.char_spacing = operands[count - 2].number();
            next_line(state, 0.0, -state.leading);
            if (operands.back().is_string()) {
                emit_string_impl(operands.back().bytes(), state, result, fonts, budget);
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
        if (second == 'm' && count >= 6) state.ctm = matrix_from(top(6)).mul(state.ctm);
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
    case 'f':
        if (count >= 2) {
            const Operand& name = operands[count - 2];
            state.font_name.assign(name.is_name() ? name.bytes() : std::string_view());
            state.font_size = operands.back().number();
        }
        return;
    case 'j':
        if (count >= 1 && operands.back().is_string()) {
            emit_string_impl(operands.back().bytes(), state, result, fonts, budget);
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

// One forward pass over the content bytes; operands are the only copies.
void scan_content_stream_full(std::string_view data, const FontMap& fonts,
                              const XObjectMap& xobjects, unsigned depth, TextState& state,
                              ContentResult& result, WorkBudget& budget) {
    forget_font_cache(state);
    state.drawn_forms.clear();
    OperandStack operands;
    const std::size_t n = data.size();
    std::size_t pos = 0;
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
            execute(data.substr(start, pos - start), operands.view(), state, result, fonts,
                    xobjects, depth, budget);
            operands.clear();
            if (budget.exhausted) return;
            continue;
        }
        if (auto operand = parse_operand(data, pos)) {
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

ContentResult scan_content_stream_full(std::string_view data, const FontMap& fonts,
                                       const XObjectMap& xobjects, unsigned depth) {
    TextState state;
    ContentResult result;
    WorkBudget budget;
    scan_content_stream_full(data, fonts, xobjects, depth, state, result, budget);
    return result;
}

void scan_content_stream_into(std::string_view data, TextState& state, ContentResult& result,
                              const FontMap& fonts, const XObjectMap& xobjects, unsigned depth) {
    WorkBudget budget;
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
    emit_string_impl(bytes, state, result, fonts, budget);
}

void emit_space(TextState& state, ContentResult& result) {
    WorkBudget budget;
    emit_space_impl(state, result, budget);
}

} // namespace quarvel

// The content-stream interpreter: lexing page content, tracking the text and
// transformation state, following form XObjects, recording image placements
// and emitting positioned characters.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "content/color.h"
#include "content/drawing.h"
#include "fonts/font.h"
#include "read_options.h"

namespace quarvel {

// One positioned character: the contract between the interpreter and the
// layout stage.
struct CharInfo {
    double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    char32_t ch = 0;
    // The full reader's layout also needs what the character was drawn
    // with: its font (an index into ContentResult::fonts, 0 for none), its
    // size in user space, and the direction of its baseline in quarter
    // turns counter-clockwise (0 for ordinary horizontal text). The compact
    // reader leaves them at zero.
    std::uint32_t font = 0;
    float size = 0;
    std::uint8_t rotation = 0;
    // span_flags bits: the font's style, bold for text filled and stroked,
    // super- or subscript for text raised or lowered by the rise.
    std::uint8_t flags = 0;
    // The full reader's fill colour of the text, sRGB 0xRRGGBB.
    std::uint32_t color = 0;
};

// One image drawn by Do, with the box it was drawn in.
struct ImageRef {
    std::string name;
    double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
};

struct ContentResult {
    std::vector<CharInfo> chars;
    std::vector<ImageRef> images;
    // The full reader's font names, indexed by CharInfo::font (entry 0 is
    // the empty name for characters drawn without a font).
    std::vector<std::string> fonts;
    // The full reader's painted paths, when the scan was asked for them.
    std::vector<Drawing> drawings;
    // Bytes of text shown while TextState::emit_text was off: what the page
    // drew without placing it, for the document's budgets.
    std::uint64_t skipped_text = 0;
};

struct Matrix {
    double a = 1, b = 0, c = 0, d = 1, e = 0, f = 0;

    // The matrix that applies `other` first and this one second. Inline:
    // the full reader composes one per glyph.
    Matrix mul(const Matrix& other) const {
        return {a * other.a + c * other.b,     b * other.a + d * other.b,
                a * other.c + c * other.d,     b * other.c + d * other.d,
                a * other.e + c * other.f + e, b * other.e + d * other.f + f};
    }
    friend bool operator==(const Matrix&, const Matrix&) = default;
};

struct XObjectData;
using XObjectMap = std::unordered_map<std::string, XObjectData>;

// An entry of a page's XObject map.
struct XObjectData {
    enum class Kind { Form, Image };
    Kind kind = Kind::Image;
    // Form only:
    std::string content; // decoded content stream
    FontMap fonts;       // from the form's own /Resources
    Matrix matrix;       // /Matrix
    // The full reader's XObjects named in the form's own /Resources, built
    // with the page's map; null where the form draws with its caller's.
    std::shared_ptr<const XObjectMap> xobjects;
    // The full reader's colour spaces named in the form's own /Resources;
    // null where the form paints with its caller's.
    std::shared_ptr<const ColorSpaceMap> color_spaces;
};

// One operand of a content-stream operator: a number, or a view of bytes or
// elements. Plain strings and names point into the content data; decoded
// strings and array elements live in the scan's OperandArena. Either way an
// operand lives no longer than the operator it belongs to.
class Operand {
  public:
    enum class Kind : std::uint8_t { Real, Integer, String, Name, Array };

    static Operand real(double value);
    static Operand integer(std::int64_t value);
    static Operand string(std::string_view bytes); // escapes already decoded
    static Operand name(std::string_view bytes);   // after '/', #XX not decoded
    static Operand array(std::span<const Operand> items);

    Kind kind() const noexcept { return kind_; }
    bool is_number() const noexcept { return kind_ == Kind::Real || kind_ == Kind::Integer; }
    bool is_string() const noexcept { return kind_ == Kind::String; }
    bool is_name() const noexcept { return kind_ == Kind::Name; }
    bool is_array() const noexcept { return kind_ == Kind::Array; }

    // The interpreter's one number rule: an Integer converted, a Real as is,
    // anything else 0.0.
    double number() const noexcept;
    // A Real's value, and an Integer's; 0 for any other kind.
    double real_value() const noexcept { return kind_ == Kind::Real ? real_ : 0.0; }
    std::int64_t integer_value() const noexcept { return kind_ == Kind::Integer ? integer_ : 0; }
    // The bytes of a String or Name; empty for the other kinds.
    std::string_view bytes() const noexcept {
        return is_string() || is_name() ? std::string_view(chars_, size_) : std::string_view();
    }
    // The elements of an Array; empty for the other kinds.
    std::span<const Operand> items() const noexcept {
        return is_array() ? std::span<const Operand>(items_, size_) : std::span<const Operand>();
    }

  private:
    Kind kind_ = Kind::Integer;
    std::uint32_t size_ = 0; // of bytes or elements; content is far below 4 GiB
    union {
        double real_;
        std::int64_t integer_ = 0;
        const char* chars_;
        const Operand* items_;
    };
};

// Storage for what operands point to outside the content data: decoded
// strings and array elements. Reset after every operator, it keeps its
// blocks, so a page's strings and arrays cost no allocation once the first
// few have been read.
class OperandArena {
  public:
    OperandArena() = default;
    OperandArena(const OperandArena&) = delete;
    OperandArena& operator=(const OperandArena&) = delete;

    // Room for `n` bytes, or null past limits::kMaxContentOperandBytes since
    // the last reset.
    char* allocate_bytes(std::size_t n) { return static_cast<char*>(allocate(n, 1)); }
    // A copy of `items`, or an empty view past the limit.
    std::span<const Operand> store(std::span<const Operand> items);
    void reset() noexcept {
        block_ = 0;
        offset_ = 0;
        used_ = 0;
        overflowed_ = false;
    }
    // True when an allocation failed since the last reset.
    bool overflowed() const noexcept { return overflowed_; }

    // The elements of arrays being read, and where each open array's start
    // among them: kept here so that reading an array allocates nothing.
    std::vector<Operand> pending;
    std::vector<std::size_t> open_arrays;

  private:
    void* allocate(std::size_t n, std::size_t align);

    struct Block {
        std::unique_ptr<std::byte[]> data;
        std::size_t size = 0;
    };
    std::vector<Block> blocks_;
    std::size_t block_ = 0;  // the block being filled
    std::size_t offset_ = 0; // in it
    std::size_t used_ = 0;   // bytes handed out since the last reset
    bool overflowed_ = false;
};

// A vector with inline room for N elements: the operand stack lives here, so
// the common operators (at most six operands) never touch the heap.
template <class T, std::size_t N> class SmallVector {
  public:
    SmallVector() noexcept = default;
    SmallVector(const SmallVector&) = delete;
    SmallVector& operator=(const SmallVector&) = delete;
    ~SmallVector() {
        clear();
        if (data_ != inline_data()) std::allocator<T>{}.deallocate(data_, capacity_);
    }

    void push_back(T&& value) {
        if (size_ == capacity_) grow();
        std::construct_at(data_ + size_, std::move(value));
        ++size_;
    }
    void clear() noexcept {
        std::destroy_n(data_, size_);
        size_ = 0;
    }
    // Removes the first `n` elements, keeping the order of the rest.
    void erase_front(std::size_t n) noexcept {
        if (n >= size_) return clear();
        std::move(data_ + n, data_ + size_, data_);
        std::destroy_n(data_ + (size_ - n), n);
        size_ -= n;
    }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    bool is_inline() const noexcept { return data_ == inline_data(); }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }
    std::span<const T> view() const noexcept { return {data_, size_}; }

  private:
    T* inline_data() noexcept { return reinterpret_cast<T*>(inline_); }
    const T* inline_data() const noexcept { return reinterpret_cast<const T*>(inline_); }

    void grow() {
        const std::size_t new_capacity = capacity_ * 2;
        T* fresh = std::allocator<T>{}.allocate(new_capacity);
        std::uninitialized_move_n(data_, size_, fresh);
        std::destroy_n(data_, size_);
        if (data_ != inline_data()) std::allocator<T>{}.deallocate(data_, capacity_);
        data_ = fresh;
        capacity_ = new_capacity;
    }

    alignas(T) unsigned char inline_[N * sizeof(T)];
    T* data_ = inline_data();
    std::size_t size_ = 0;
    std::size_t capacity_ = N;
};

using OperandStack = SmallVector<Operand, 8>;

// The text state parameters the full reader saves and restores with the
// transformation matrix on q/Q.
struct TextParams {
    std::string font_name;
    double font_size = 12.0;
    double h_scale = 1.0;
    double char_spacing = 0.0;
    double word_spacing = 0.0;
    double leading = 0.0;
    double rise = 0.0;
    int render_mode = 0;
};

// What the full reader paints with, saved and restored with the
// transformation matrix on q/Q. The spaces point into the scan's colour
// space maps, or at the device spaces.
struct PaintParams {
    const ColorSpace* fill_space = &ColorSpace::device_gray();
    const ColorSpace* stroke_space = &ColorSpace::device_gray();
    std::uint32_t fill = 0;   // sRGB 0xRRGGBB
    std::uint32_t stroke = 0; // sRGB 0xRRGGBB
    double line_width = 1.0;  // in user space units before the CTM
    // The clip region's bounding box in user space (x0, y0, x1, y1): paths
    // wholly outside it are not recorded.
    std::array<double, 4> clip{-1e300, -1e300, 1e300, 1e300};
};

// The path under construction, in user space: points go through the CTM as
// they are given, since a painting operator may come after a cm.
struct PathState {
    std::vector<PathItem> items;
    double x = 0, y = 0;             // current point
    double start_x = 0, start_y = 0; // of the current subpath
    std::size_t subpath_first = 0;   // its first item
    bool has_point = false;
    bool closed = false;       // the last subpath was closed
    bool clip_pending = false; // W or W* before the painting operator
};

// The interpreter state of one scan. The compact reader saves and restores
// only the transformation matrix on q/Q; font, spacing and text matrices are
// not. The full reader (`full`) also saves the text state parameters on
// text_stack, beside gs_stack.
struct TextState {
    bool full = false; // set from ReadOptions::full() when a scan starts
    std::string font_name;
    std::vector<Matrix> gs_stack;
    std::vector<TextParams> text_stack; // full reader only
    // q/Q inside a form drawn by the full reader cannot pop below the
    // entries its caller pushed.
    std::size_t gs_floor = 0;
    // Full reader: q operators met past kMaxGraphicsStateDepth, which their
    // Q operators undo first.
    std::size_t gs_skipped = 0;
    Matrix ctm;
    Matrix tm;  // text matrix
    Matrix tlm; // text line matrix
    double font_size = 12.0;
    double h_scale = 1.0; // a factor: 1.0 is 100 %
    double char_spacing = 0.0;
    double word_spacing = 0.0;
    double leading = 0.0;
    double rise = 0.0;    // Ts, full reader only
    int render_mode = 0;  // Tr, full reader only

    // Full reader: colours, line width and clip, saved on paint_stack beside
    // text_stack; the spaces that cs and CS name are looked up in
    // `color_spaces` (the page's, or the form's being drawn).
    PaintParams paint;
    std::vector<PaintParams> paint_stack;
    const ColorSpaceMap* color_spaces = nullptr;
    // Full reader: paths are built and painted paths recorded in
    // ContentResult::drawings only when this is set; otherwise path
    // operators cost what any ignored operator costs.
    bool record_drawings = false;
    PathState path;
    // Full reader: false when nothing downstream reads the characters (a
    // scan for drawings alone); text showing then only counts its bytes.
    bool emit_text = true;

    // Pushes a copy of ctm onto gs_stack (and, for the full reader, the text
    // state parameters onto text_stack).
    void save_gs();
    // Pops what save_gs pushed, unless only the caller's entries are left.
    void restore_gs();

    // The full reader's font table: ContentResult::fonts by name, and the
    // index of the cached font.
    std::unordered_map<std::string, std::uint32_t> font_indices;
    // The index of the cached font, kNoFontIndex until looked up.
    static constexpr std::uint32_t kNoFontIndex = UINT32_MAX;
    std::uint32_t cached_font_index = kNoFontIndex;

    // Font lookup cache: text showing resolves the font once per font name,
    // not once per string. Valid within one scan or call only.
    const FontMap* cached_map = nullptr;
    std::string cached_name;
    const FontInfo* cached_font = nullptr;

    // What each form drawn in this scan produced, in the form's own space,
    // with the work it cost. A form drawn again in the same scan sees the
    // same fonts and depth, so its result is replayed instead of
    // interpreted anew: forms that draw forms thousands of times cost what
    // they emit, not the product of their fan-outs. Valid within one scan.
    struct DrawnForm {
        const XObjectData* form = nullptr;
        ContentResult result;
        std::uint64_t operators = 0;
        std::uint64_t items = 0;
    };
    std::vector<DrawnForm> drawn_forms;
};

// Scans one decoded content stream with a fresh text state, by the rules of
// `read`'s reader. Never fails.
ContentResult scan_content_stream_full(std::string_view data, const FontMap& fonts,
                                       const XObjectMap& xobjects, unsigned depth,
                                       const ReadOptions& read = ReadOptions::specified());

// Scans `data` with the caller's state, appending to `result`.
void scan_content_stream_into(std::string_view data, TextState& state, ContentResult& result,
                              const FontMap& fonts, const XObjectMap& xobjects, unsigned depth,
                              const ReadOptions& read = ReadOptions::specified());

// The end of an inline image's data that starts at `pos` (just after the ID
// operator's whitespace): the offset of its EI operator, or data.size() when
// there is none. `operands` are the image's dictionary entries.
std::size_t inline_image_end(std::string_view data, std::size_t pos,
                             std::span<const Operand> operands);

// Reads one operand at `pos`, which must be below data.size(), and advances
// `pos` by at least one byte; nothing when the bytes there form no operand,
// or when what it needs of `arena` is past the arena's limit. The operand
// points into `data` and `arena`.
std::optional<Operand> parse_operand(std::string_view data, std::size_t& pos, OperandArena& arena);

// Carries out one operator token with the operands collected before it
// (bottom first). Unknown operators and missing operands do nothing.
void execute_operator_full(std::string_view op, std::span<const Operand> operands, TextState& state,
                           ContentResult& result, const FontMap& fonts, const XObjectMap& xobjects,
                           unsigned depth);

// Shows the bytes of one string: one character per code, advancing tm.
void emit_string(std::string_view bytes, TextState& state, ContentResult& result,
                 const FontMap& fonts);

// Appends one space at the current text position, without moving it.
void emit_space(TextState& state, ContentResult& result);

namespace content_detail {

// The bytes of content-stream syntax, classified once. As in the object
// syntax, form feed is not whitespace; unlike it, '{' and '}' do not end a
// name, and '"', '\'' and '*' are operator bytes.
enum ContentByteClass : std::uint8_t {
    kWhitespace = 1,
    kOperatorByte = 2,
    kNameDelimiter = 4,
    kHexDigit = 8,
    kNumberStart = 16,
    kDecimalDigit = 32,
};

constexpr std::array<std::uint8_t, 256> make_content_byte_classes() {
    std::array<std::uint8_t, 256> table{};
    // Whitespace also ends a name.
    constexpr unsigned char whitespace[] = {0x00, 0x09, 0x0A, 0x0D, 0x20};
    constexpr unsigned char delimiters[] = {'%', '(', ')', '/', '<', '>', '[', ']'};
    for (unsigned char c : whitespace)
        table[c] |= kWhitespace | kNameDelimiter;
    for (int c = 'A'; c <= 'Z'; ++c)
        table[c] |= kOperatorByte;
    for (int c = 'a'; c <= 'z'; ++c)
        table[c] |= kOperatorByte;
    table['"'] |= kOperatorByte;
    table['\''] |= kOperatorByte;
    table['*'] |= kOperatorByte;
    for (unsigned char c : delimiters)
        table[c] |= kNameDelimiter;
    for (int c = '0'; c <= '9'; ++c)
        table[c] |= kHexDigit | kNumberStart | kDecimalDigit;
    for (int c = 'a'; c <= 'f'; ++c)
        table[c] |= kHexDigit;
    for (int c = 'A'; c <= 'F'; ++c)
        table[c] |= kHexDigit;
    table['+'] |= kNumberStart;
    table['-'] |= kNumberStart;
    table['.'] |= kNumberStart;
    return table;
}

inline constexpr std::array<std::uint8_t, 256> kByteClass = make_content_byte_classes();

inline bool has_class(char c, std::uint8_t cls) noexcept {
    return (kByteClass[static_cast<unsigned char>(c)] & cls) != 0;
}

} // namespace content_detail

} // namespace quarvel

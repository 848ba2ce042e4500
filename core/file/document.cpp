#include "file/document.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <unordered_set>
#include <utility>

#include "syntax/filters.h"
#include "file/object_stream.h"
#include "file/recovery.h"
#include "file/xref_chain.h"
#include "syntax/string_bytes.h"
#include "resource_limits.h"

namespace quarvel {

namespace {
constexpr std::string_view kIncorrectPassword = "incorrect password";
} // namespace

// --- Mapping ----------------------------------------------------------------

Mapping Mapping::from_bytes(std::string bytes) {
    Mapping m;
    m.owned_ = std::move(bytes);
    m.view_ = m.owned_;
    return m;
}

Mapping Mapping::adopt_mmap(void* addr, std::size_t length) {
    Mapping m;
    m.mmap_addr_ = addr;
    m.mmap_len_ = length;
    m.view_ = std::string_view(static_cast<const char*>(addr), length);
    if (auto guard = FaultGuard::watch(addr, length)) m.guard_ = std::move(*guard);
    return m;
}

Result<Mapping> Mapping::map_file(int fd, std::size_t length) {
    // mmap refuses a length of 0: an empty file is an empty view.
    if (length == 0) return Mapping();
    void* addr = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, 0);
    if (addr == MAP_FAILED) return ParseError::other("cannot mmap file");
    Mapping mapped = adopt_mmap(addr, length);
    if (mapped.guard_.active()) return mapped;
    // Unguarded, a file cut short under the mapping would end the process;
    // a copy costs the file's size in memory but cannot fault.
    std::string bytes(length, '\0');
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = ::pread(fd, bytes.data() + done, length - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return ParseError::other("cannot mmap file");
        if (n == 0) return file_changed_error();
        done += static_cast<std::size_t>(n);
    }
    return from_bytes(std::move(bytes));
}

Mapping::Mapping(Mapping&& other) noexcept {
    *this = std::move(other);
}

Mapping& Mapping::operator=(Mapping&& other) noexcept {
    if (this == &other) return *this;
    release();
    mmap_addr_ = std::exchange(other.mmap_addr_, nullptr);
    mmap_len_ = std::exchange(other.mmap_len_, 0);
    guard_ = std::move(other.guard_);
    owned_ = std::move(other.owned_);
    // A short owned buffer lives inside the string object and moves with
    // it, so the view is taken anew rather than copied.
    view_ = mmap_addr_ != nullptr ? other.view_ : std::string_view(owned_);
    other.owned_.clear();
    other.view_ = {};
    return *this;
}

Mapping::~Mapping() {
    release();
}

void Mapping::release() {
    // Unregistered first: once unmapped, the addresses may be handed to
    // another file's mapping.
    guard_ = FaultGuard();
    if (mmap_addr_ != nullptr) ::munmap(mmap_addr_, mmap_len_);
    mmap_addr_ = nullptr;
    mmap_len_ = 0;
    view_ = {};
}

// --- open -------------------------------------------------------------------

Document::Document(Mapping mapping, const ReadOptions& options)
    : mapping_(std::move(mapping)), options_(options) {}

namespace {

// Closes the descriptor on every path out of open().
class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

  private:
    int fd_;
};

} // namespace

Result<std::unique_ptr<Document>> Document::open(const std::string& path,
                                                 const ReadOptions& options) {
    // O_NONBLOCK: a FIFO given as the path must not block the open; it is
    // then refused below as not a regular file.
    const Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) return ParseError::other("cannot open file");
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0 ||
        !std::in_range<std::size_t>(st.st_size)) {
        return ParseError::other("cannot mmap file");
    }
    const auto length = static_cast<std::size_t>(st.st_size);
    QUARVEL_TRY(Mapping mapping, Mapping::map_file(fd.get(), length));
    const ChangeFlag changed = mapping.change_flag();
    // The mapping stays valid once the descriptor is closed.
    auto document = from_mmap(std::move(mapping), options);
    // A file cut while its structure was read fails as changed, whatever the
    // zeros read past the cut made of it, a parse error included.
    if (changed.is_set()) return file_changed_error();
    return document;
}

Result<std::unique_ptr<Document>> Document::from_mmap(Mapping mapping,
                                                      const ReadOptions& options) {
    // The document is built first so that the bytes are at their final
    // address (an in-memory buffer moves with its Mapping) and names decoded
    // from the trailer land in its arena.
    std::unique_ptr<Document> doc(new Document(std::move(mapping), options));
    const std::string_view data = doc->data();
    if (options.full()) {
        QUARVEL_TRY(Ok opened, doc->open_full());
        (void)opened;
        return doc;
    }

    std::optional<XrefSection> section;
    if (auto start = find_startxref(data); start.ok()) {
        const std::size_t offset = *start;
        if (offset < data.size() && data.substr(offset).starts_with("xref")) {
            if (auto table = parse_xref_table(data, offset, doc->arena_); table.ok()) {
                section = std::move(table).value();
            }
        } else if (offset <= data.size()) {
            // Anything else at the offset is taken for a cross-reference
            // stream; an object that cannot even be read there fails the
            // open.
            QUARVEL_TRY(RawStream raw, parse_object_stream_raw(data, offset, doc->arena_));
            if (auto stream = parse_xref_stream_obj(raw.dict, raw.body); stream.ok()) {
                section = std::move(stream).value();
            }
        }
        // A startxref beyond the end of the file points nowhere: the file was
        // cut or its tail rewritten, and the scan is the only way in.
    }
    if (!section) {
        QUARVEL_TRY(XrefSection recovered, recover_xref_by_scan(data));
        section = std::move(recovered);
    }
    if (section->trailer.encrypt) return ParseError::other("encrypted PDFs are not supported");
    doc->xref_ = std::move(section->map);
    doc->trailer_ = section->trailer;
    return doc;
}

// --- objects ----------------------------------------------------------------

Result<ObjectPtr> Document::get_object(std::uint32_t num) const {
    if (std::optional<CachedObject> cached = object_cache_.find(num)) return std::move(*cached);
    const XrefEntry* entry = xref_.find(num);
    if (entry == nullptr) return ParseError::other("object not in xref");
    if (entry->kind != XrefEntry::Kind::InUse && entry->kind != XrefEntry::Kind::Compressed) {
        return ParseError::other("object is free (deleted)");
    }
    return object_cache_.insert(num, read_object(num));
}

Result<ObjectPtr> Document::get_object_transient(std::uint32_t num) const {
    if (std::optional<CachedObject> cached = object_cache_.find(num)) return std::move(*cached);
    {
        std::lock_guard<std::mutex> lock(transient_mu_);
        std::uint8_t& reads = transient_reads_[num];
        if (reads >= limits::kMaxTransientReads) return get_object(num);
        ++reads;
    }
    return read_object(num);
}

Result<ObjectPtr> Document::read_object(std::uint32_t num) const {
    const XrefEntry* entry = xref_.find(num);
    if (entry == nullptr) return ParseError::other("object not in xref");
    switch (entry->kind) {
    case XrefEntry::Kind::InUse:
        return parse_direct(entry->offset_or_stream, ObjectId{num, entry->gen_or_index});
    case XrefEntry::Kind::Compressed:
        return from_object_stream(num, static_cast<std::uint32_t>(entry->offset_or_stream));
    case XrefEntry::Kind::Free:
    default:
        return ParseError::other("object is free (deleted)");
    }
}

Result<ObjectPtr> Document::parse_direct(std::uint64_t offset, ObjectId id) const {
    const std::string_view data = this->data();
    if (offset >= data.size()) return ParseError::unexpected_eof();
    Cursor cur(data.substr(offset), arena_);
    cur.mode = options_.mode;
    QUARVEL_TRY(Ok header, read_object_header(cur));
    (void)header;
    QUARVEL_TRY(PdfObject obj, parse_object(cur));
    if (obj.is_dict()) {
        cur.skip_ws();
        if (cur.starts_with("stream")) {
            QUARVEL_TRY(obj, parse_stream(cur, std::move(obj.dict())));
        }
    }
    if (security_ && id.num != encrypt_num_) decrypt_object(obj, id, *security_, arena_);
    return ObjectPtr(std::make_shared<const PdfObject>(std::move(obj)));
}

Result<ObjectPtr> Document::from_object_stream(std::uint32_t num, std::uint32_t stream) const {
    QUARVEL_TRY(std::shared_ptr<const ObjStmIndex> index, object_stream(stream));
    QUARVEL_TRY(PdfObject object, index->parse(num, arena_));
    return ObjectPtr(std::make_shared<const PdfObject>(std::move(object)));
}

Document::CachedObjStm Document::object_stream(std::uint32_t stream) const {
    if (std::optional<CachedObjStm> cached = objstm_cache_.find(stream)) return std::move(*cached);
    const XrefEntry* entry = xref_.find(stream);
    if (entry == nullptr) return ParseError::other("ObjStm not in xref");
    if (entry->kind != XrefEntry::Kind::InUse) {
        return ParseError::other("ObjStm must be uncompressed");
    }

    auto unpack = [&]() -> CachedObjStm {
        QUARVEL_TRY(RawStream raw, parse_object_stream_raw(data(), entry->offset_or_stream,
                                                           arena_, options_.mode));
        if (security_) {
            // The packed objects are decrypted with the stream that holds
            // them, and not again.
            const PdfObject holder = PdfObject::stream(raw.dict, raw.body);
            raw.body = arena_.store(
                security_->decrypt_stream(raw.body, ObjectId{stream, entry->gen_or_index}, holder));
        }
        QUARVEL_TRY(std::string decoded,
                    decode_body(raw.dict, raw.body, limits::kMaxDecodedBytes));
        const std::string_view body = arena_.store(std::move(decoded));
        QUARVEL_TRY(ObjStmIndex index, index_objstm(raw.dict, body));
        return std::shared_ptr<const ObjStmIndex>(std::make_shared<ObjStmIndex>(std::move(index)));
    };
    return objstm_cache_.insert(stream, unpack());
}

// --- streams ----------------------------------------------------------------

Result<std::string> Document::decode_body(const PdfDict& dict, std::string_view body,
                                          std::size_t max_output) const {
    const PdfObject* filter = dict_get(dict, "Filter");
    if (!options_.full()) {
        if (filter == nullptr) return std::string(body);
        return decompress_stream(body, *filter, max_output);
    }
    static const PdfObject kNull;
    const ObjectPtr resolved_filter = resolve(filter != nullptr ? *filter : kNull);
    const PdfObject* parms = dict_get(dict, "DecodeParms");
    if (parms == nullptr) parms = dict_get(dict, "DP");
    const ObjectPtr resolved_parms = resolve(parms != nullptr ? *parms : kNull);
    // Parameters in an array may themselves be references.
    if (resolved_parms->is_array()) {
        PdfArray items;
        for (const PdfObject& item : resolved_parms->as_array()) items.push_back(*resolve(item));
        const PdfObject array = PdfObject::array(std::move(items));
        return decode_filters(body, resolved_filter.get(), &array, max_output);
    }
    return decode_filters(body, resolved_filter.get(), resolved_parms.get(), max_output);
}

Result<std::string> Document::decode_stream(const PdfObject& stream, std::size_t max_output) const {
    if (!stream.is_stream()) return std::string();
    return decode_body(stream.dict(), stream.stream_data(), max_output);
}

ObjectPtr Document::resolve(const PdfObject& value) const {
    return resolve_from(value, false);
}

ObjectPtr Document::resolve_transient(const PdfObject& value) const {
    return resolve_from(value, true);
}

ObjectPtr Document::resolve_from(const PdfObject& value, bool transient) const {
    // A non-owning pointer: the value lives in whatever holds it.
    ObjectPtr direct(ObjectPtr(), &value);
    if (!options_.full() || !value.is_ref()) return direct;
    // A chain of references to references is followed a few steps only.
    ObjectPtr current = direct;
    for (int hops = 0; hops < 8 && current->is_ref(); ++hops) {
        const std::uint32_t num = current->as_ref().num;
        auto next = transient && hops == 0 ? get_object_transient(num) : get_object(num);
        if (!next.ok()) {
            static const PdfObject kNull;
            return ObjectPtr(ObjectPtr(), &kNull);
        }
        current = std::move(next).value();
    }
    return current;
}

// --- the full reader's open -------------------------------------------------

bool Document::catalog_usable() const {
    if (trailer_.root.num == 0 && xref_.find(0) == nullptr) return false;
    auto catalog = get_object(trailer_.root.num);
    if (!catalog.ok() || !(*catalog)->has_dict() || (*catalog)->get("Pages") == nullptr) {
        return false;
    }
    auto pages = page_refs();
    return pages.ok();
}

void Document::forget_reads() {
    object_cache_.clear();
    objstm_cache_.clear();
    security_.reset();
    encrypt_num_.reset();
}

Result<bool> Document::try_xref_chain() {
    auto chain = read_xref_chain(data(), arena_);
    if (!chain.ok()) return false;
    xref_ = std::move(chain->map);
    trailer_ = chain->trailer;
    trailer_dict_ = std::move(chain->trailer_dict);
    if (auto secured = open_security(); !secured.ok()) {
        // A wrong password is the answer, not a reason to rebuild the file;
        // an /Encrypt dictionary that cannot be read may be found by the
        // recovery scan.
        if (secured.error().display() == kIncorrectPassword) return secured.error();
        return false;
    }
    return catalog_usable();
}

Status Document::open_full() {
    QUARVEL_TRY(bool usable, try_xref_chain());
    if (usable) return Ok{};
    // Bytes before the %PDF header (a mail gateway's or a web server's
    // prefix) shift every offset: read the file from its header on.
    const std::string_view head = data().substr(0, limits::kMaxHeaderSearch);
    if (const std::size_t header = head.find("%PDF-"); header != 0 && header != head.npos) {
        forget_reads();
        base_ = header;
        QUARVEL_TRY(usable, try_xref_chain());
        if (usable) return Ok{};
        base_ = 0;
    }
    forget_reads();
    return recover_full();
}

Status Document::open_security() {
    const PdfObject* encrypt = dict_get(trailer_dict_, "Encrypt");
    std::optional<ObjectId> encrypt_ref = trailer_.encrypt;
    if (encrypt != nullptr && encrypt->is_ref()) encrypt_ref = encrypt->as_ref();
    if (encrypt == nullptr && !encrypt_ref) return Ok{};
    ObjectPtr dictionary;
    if (encrypt_ref) {
        encrypt_num_ = encrypt_ref->num;
        auto resolved = get_object(encrypt_ref->num);
        if (!resolved.ok()) return ParseError::other("unsupported encryption");
        dictionary = std::move(resolved).value();
    } else {
        dictionary = ObjectPtr(ObjectPtr(), encrypt);
    }
    if (!dictionary->has_dict()) return ParseError::other("unsupported encryption");
    std::string file_id;
    if (const PdfObject* id = dict_get(trailer_dict_, "ID"); id != nullptr && id->is_array() &&
                                                             !id->as_array().empty()) {
        file_id = string_bytes(id->as_array().front());
    }
    std::optional<std::string_view> password;
    if (options_.password) password = *options_.password;
    QUARVEL_TRY(std::unique_ptr<SecurityHandler> handler,
                SecurityHandler::open(*dictionary, file_id, password));
    security_ = std::move(handler);
    // Everything read so far was read as stored.
    object_cache_.clear();
    objstm_cache_.clear();
    return Ok{};
}

Status Document::recover_full() {
    ObjectScan scan = scan_objects(data());
    xref_ = std::move(scan.map);
    trailer_ = Trailer{};
    trailer_.size = scan.max_num + 1;
    trailer_.encrypt = scan.encrypt;

    // The last trailer dictionary, or cross-reference stream dictionary,
    // still tells an encrypted file's /ID and /Encrypt.
    trailer_dict_.clear();
    if (!scan.trailers.empty()) {
        Cursor cur(data(), arena_, scan.trailers.back() + std::string_view("trailer").size());
        if (auto dict = parse_object(cur); dict.ok() && dict->is_dict()) {
            trailer_dict_ = std::move(dict->dict());
        }
    }
    for (auto it = scan.xref_streams.rbegin(); trailer_dict_.empty() && it != scan.xref_streams.rend(); ++it) {
        if (auto stream = get_object(*it); stream.ok() && (*stream)->has_dict()) {
            trailer_dict_ = (*stream)->dict();
        }
    }
    QUARVEL_TRY(Ok secured, open_security());
    (void)secured;

    // Objects inside object streams, where the scan cannot see them. A
    // definition later in the file wins, as an incremental update would:
    // an object stream's objects replace headers written before it, and
    // headers written after it replace them.
    auto position = [&](const XrefEntry& e) -> std::uint64_t {
        if (e.kind == XrefEntry::Kind::InUse) return e.offset_or_stream;
        const XrefEntry* holder = xref_.find(static_cast<std::uint32_t>(e.offset_or_stream));
        return holder != nullptr ? holder->offset_or_stream : 0;
    };
    std::vector<std::uint32_t> packed_catalogs;
    std::size_t unpacked = 0;
    for (const std::uint32_t stream : scan.object_streams) {
        if (++unpacked > limits::kMaxRecoveredObjectStreams) break;
        const XrefEntry* holder = xref_.find(stream);
        if (holder == nullptr || holder->kind != XrefEntry::Kind::InUse) continue;
        const std::uint64_t at = holder->offset_or_stream;
        CachedObjStm index = object_stream(stream);
        if (!index.ok()) continue;
        std::uint32_t previous = 0;
        bool any = false;
        for (const auto& [num, slot] : (*index)->by_number) {
            if (num == stream || (any && num == previous)) continue;
            previous = num;
            any = true;
            auto object = (*index)->parse(num, arena_);
            if (!object.ok()) continue;
            const XrefEntry* existing = xref_.find(num);
            if (existing == nullptr || position(*existing) < at) {
                xref_.insert(num, XrefEntry{XrefEntry::Kind::Compressed, stream, 0});
                trailer_.size = std::max(trailer_.size, num + 1);
            }
            const PdfObject* type = object->get("Type");
            if (type != nullptr && type->is_name("Catalog")) packed_catalogs.push_back(num);
        }
    }
    object_cache_.clear();

    // The catalogue: the last trailer's /Root that leads to pages, else the
    // last catalogue written, plain or packed.
    auto has_pages = [&](std::uint32_t num) {
        auto object = get_object(num);
        return object.ok() && (*object)->has_dict() && (*object)->get("Pages") != nullptr;
    };
    for (auto it = scan.trailer_roots.rbegin(); it != scan.trailer_roots.rend(); ++it) {
        if (has_pages(it->num)) {
            trailer_.root = *it;
            return Ok{};
        }
    }
    std::vector<std::uint32_t> catalogs = scan.catalogs;
    catalogs.insert(catalogs.end(), packed_catalogs.begin(), packed_catalogs.end());
    for (auto it = catalogs.rbegin(); it != catalogs.rend(); ++it) {
        if (has_pages(*it)) {
            trailer_.root = ObjectId{*it, 0};
            return Ok{};
        }
    }
    return ParseError::other("recovery: could not find Catalog root");
}

// --- page tree --------------------------------------------------------------

namespace {

// The depth-first walk below the root /Pages node, iterative so that a deep
// tree costs heap, not stack. A /Pages node met again below itself (a /Kids
// cycle) is skipped: the pages of the tree around it are still listed. The
// guard is the current path, not every node seen, so a page or a subtree
// listed twice, or shared by two parents, appears each time.
Status collect_page_refs(const Document& doc, ObjectPtr root, std::uint32_t root_num,
                         std::vector<ObjectId>& out) {
    struct Frame {
        ObjectPtr node; // keeps `kids` alive
        const PdfArray* kids;
        std::size_t next;
        std::uint32_t num;
    };
    std::vector<Frame> path;
    std::unordered_set<std::uint32_t> on_path;
    const PdfArray* root_kids = &root->get("Kids")->as_array();
    path.push_back({std::move(root), root_kids, 0, root_num});
    on_path.insert(root_num);
    std::uint64_t kids_followed = 0;

    while (!path.empty()) {
        Frame& frame = path.back();
        if (frame.next == frame.kids->size()) {
            on_path.erase(frame.num);
            path.pop_back();
            continue;
        }
        const PdfObject& kid = (*frame.kids)[frame.next++];
        if (!kid.is_ref()) {
            if (doc.options().full()) continue;
            return ParseError::other("Kid must be a reference");
        }
        if (++kids_followed > limits::kMaxPageTreeKids) {
            return ParseError::other("page tree too large");
        }
        const ObjectId id = kid.as_ref();
        QUARVEL_TRY(ObjectPtr node, doc.get_object(id.num));
        if (!node->has_dict()) continue;
        const PdfObject* type = node->get("Type");
        std::string_view kind = type != nullptr && type->is_name() ? type->bytes() : "";
        // Writers that leave out /Type: the full reader tells nodes from
        // pages by their /Kids.
        if (doc.options().full() && kind != "Page" && kind != "Pages") {
            kind = node->get("Kids") != nullptr ? "Pages" : "Page";
        }
        if (kind == "Page") {
            out.push_back(id);
        } else if (kind == "Pages") {
            const PdfObject* kids = node->get("Kids");
            if (kids == nullptr) return ParseError::other("Pages node missing /Kids");
            if (!kids->is_array()) return ParseError::other("/Kids must be an array");
            if (on_path.contains(id.num)) continue;
            if (path.size() >= limits::kMaxPageTreeDepth) {
                return ParseError::other("page tree too deep");
            }
            on_path.insert(id.num);
            const PdfArray* kid_array = &kids->as_array();
            path.push_back({std::move(node), kid_array, 0, id.num});
        }
    }
    return Ok{};
}

} // namespace

Result<std::vector<ObjectId>> Document::page_refs() const {
    QUARVEL_TRY(ObjectPtr catalog, get_object(trailer_.root.num));
    const PdfObject* pages = catalog->get("Pages");
    if (pages == nullptr) return ParseError::other("missing /Pages in catalog");
    if (!pages->is_ref()) return ParseError::other("/Pages must be a reference");
    const std::uint32_t root_num = pages->as_ref().num;
    QUARVEL_TRY(ObjectPtr root, get_object(root_num));
    const PdfObject* kids = root->get("Kids");
    if (kids == nullptr) return ParseError::other("missing /Kids in Pages");
    if (!kids->is_array()) return ParseError::other("/Kids must be an array");
    std::vector<ObjectId> out;
    QUARVEL_TRY(Ok done, collect_page_refs(*this, std::move(root), root_num, out));
    (void)done;
    return out;
}

} // namespace quarvel

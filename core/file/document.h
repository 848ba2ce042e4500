// An opened PDF file: its mapping, cross-reference data and trailer, and
// object resolution through two caches shared by all worker threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "syntax/arena.h"
#include "syntax/error.h"
#include "crypt/security_handler.h"
#include "file/fault_guard.h"
#include "file/object_stream.h"
#include "read_options.h"
#include "resource_limits.h"
#include "file/xref.h"
#include "syntax/types.h"

namespace quarvel {

// A read-only view of a whole file that owns what backs it: a memory mapping
// (released with munmap) or, for files built in memory, a byte buffer. A
// mapping is guarded against the file shrinking under it (fault_guard.h).
class Mapping {
  public:
    Mapping() = default;
    static Mapping from_bytes(std::string bytes);
    // Adopts a region returned by mmap, guarded when a guard can be had.
    static Mapping adopt_mmap(void* addr, std::size_t length);
    // The first `length` bytes of an open file: mapped and guarded, or read
    // into memory when no guard can be had.
    static Result<Mapping> map_file(int fd, std::size_t length);
    Mapping(Mapping&& other) noexcept;
    Mapping& operator=(Mapping&& other) noexcept;
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    ~Mapping();

    std::string_view bytes() const { return view_; }
    // Set once a read found the file cut short under the mapping.
    ChangeFlag change_flag() const { return guard_.change_flag(); }

  private:
    void release();

    FaultGuard guard_;
    std::string_view view_;
    void* mmap_addr_ = nullptr;
    std::size_t mmap_len_ = 0;
    std::string owned_;
};

// Objects handed out by the document are shared and immutable: each caller
// sees exactly what a private copy would show, without the copy. They (and
// the byte views inside them) are valid while the Document lives.
using ObjectPtr = std::shared_ptr<const PdfObject>;

class Document {
  public:
    static Result<std::unique_ptr<Document>> open(const std::string& path,
                                                  const ReadOptions& options = {});
    static Result<std::unique_ptr<Document>> from_mmap(Mapping mapping,
                                                       const ReadOptions& options = {});

    Document(const Document&) = delete;
    Document& operator=(const Document&) = delete;

    // Resolves an object by number (generations are never compared). Safe to
    // call from many threads at once.
    Result<ObjectPtr> get_object(std::uint32_t num) const;
    // The same object for a caller that reads many objects once each and
    // keeps none (a page's annotations scanned for their /Subtype): the
    // cached one when there is one, else one parsed for this call and freed
    // with the last pointer to it. A page of 30,000 link annotations would
    // otherwise keep some 60 MB of parsed dictionaries for the document's
    // life. An object read this way limits::kMaxTransientReads times is
    // cached from then on, so a file that lists one object many times parses
    // it a few times, not once per mention.
    Result<ObjectPtr> get_object_transient(std::uint32_t num) const;

    // The pages in reading order.
    Result<std::vector<ObjectId>> page_refs() const;

    // The decoded data of a stream object; empty bytes for anything else.
    // The full reader resolves /Filter and /DecodeParms given by reference
    // and applies decode parameters; the compact one reads /Filter as
    // written, without parameters.
    Result<std::string> decode_stream(const PdfObject& stream,
                                      std::size_t max_output = limits::kMaxDecodedBytes) const;

    // `value` itself, or the object it refers to (the full reader only; the
    // compact one hands references back unresolved). The pointer keeps the
    // object alive; a direct value lives as long as whatever holds it.
    ObjectPtr resolve(const PdfObject& value) const;
    // resolve() whose first step reads through get_object_transient().
    ObjectPtr resolve_transient(const PdfObject& value) const;

    const ReadOptions& options() const { return options_; }
    // The trailer dictionary as written (full reader; empty otherwise).
    const PdfDict& trailer_dict() const { return trailer_dict_; }

    // The file's bytes; for the full reader, from its %PDF header on when
    // junk before the header shifted every offset the file gives.
    std::string_view data() const { return mapping_.bytes().substr(base_); }
    const XrefMap& xref() const { return xref_; }
    const Trailer& trailer() const { return trailer_; }

    // `result`, or file_changed_error() once a read found the file cut short
    // under its mapping: from there on zeros were read, not the file, and
    // whatever they parsed to is not its content.
    template <typename T> Result<T> unless_changed(Result<T> result) const {
        if (mapping_.change_flag().is_set()) return file_changed_error();
        return result;
    }
    // Owner of decoded object-stream bodies and escaped names.
    Arena& arena() const { return arena_; }

  private:
    Document(Mapping mapping, const ReadOptions& options);

    // The full reader's open: the whole cross-reference chain, else the
    // recovery scan with object streams indexed.
    Status open_full();
    // Reads the cross-reference chain over data(); true when it leads to a
    // usable catalogue. Only a wrong password is an error.
    Result<bool> try_xref_chain();
    void forget_reads();
    Status recover_full();
    // True when the trailer's /Root leads to a readable page tree.
    bool catalog_usable() const;
    // For an encrypted file, authenticates with the empty password or the
    // one in the options and keeps the handler that decrypts every object
    // read afterwards. Objects read before are forgotten.
    Status open_security();

    // A parse that failed is kept as its error, so that asking again does
    // not decode or parse again (nor grow the arena again).
    using CachedObject = Result<ObjectPtr>;
    using CachedObjStm = Result<std::shared_ptr<const ObjStmIndex>>;

    // Results by object number, read under a shared lock. Two threads that
    // miss the same number both compute it; the first insert stays and both
    // hand out equal results.
    template <typename T> class SharedCache {
      public:
        // Only while no other thread can see the document (during open).
        void clear() { map_.clear(); }
        std::optional<T> find(std::uint32_t num) const {
            std::shared_lock lock(mu_);
            if (auto it = map_.find(num); it != map_.end()) return it->second;
            return std::nullopt;
        }
        T insert(std::uint32_t num, T value) {
            std::unique_lock lock(mu_);
            return map_.try_emplace(num, std::move(value)).first->second;
        }

      private:
        mutable std::shared_mutex mu_;
        std::unordered_map<std::uint32_t, T> map_;
    };

    // The object as the file defines it, neither looked up in nor added to
    // the cache.
    Result<ObjectPtr> read_object(std::uint32_t num) const;
    ObjectPtr resolve_from(const PdfObject& value, bool transient) const;
    Result<ObjectPtr> parse_direct(std::uint64_t offset, ObjectId id) const;
    Result<std::string> decode_body(const PdfDict& dict, std::string_view body,
                                    std::size_t max_output) const;
    Result<ObjectPtr> from_object_stream(std::uint32_t num, std::uint32_t stream) const;
    CachedObjStm object_stream(std::uint32_t stream) const;

    Mapping mapping_;
    ReadOptions options_;
    XrefMap xref_;
    PdfDict trailer_dict_;
    std::unique_ptr<const SecurityHandler> security_;
    // The /Encrypt dictionary's own number, which is never decrypted.
    std::optional<std::uint32_t> encrypt_num_;
    std::size_t base_ = 0;
    Trailer trailer_;
    mutable Arena arena_;
    mutable SharedCache<CachedObject> object_cache_;
    mutable SharedCache<CachedObjStm> objstm_cache_;
    // How often get_object_transient() parsed each object it did not cache.
    mutable std::mutex transient_mu_;
    mutable std::unordered_map<std::uint32_t, std::uint8_t> transient_reads_;
};

} // namespace quarvel

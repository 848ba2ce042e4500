#include "iter_extract.h"

#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "extract/batch_stream.h"
#include "bindings.h"
#include "py_ref.h"
#include "render.h"
#include "resource_limits.h"

namespace quarvel::python {
namespace {

struct BatchIterator {
    PyObject_HEAD
    // Null once exhausted or failed: the stream's threads are joined as
    // soon as nothing more can come, not when the iterator is collected.
    quarvel::extract::BatchStream* stream;
    // The caller's own path objects, handed back with their results.
    PyObject* paths;
    // Set while a call waits for the next file with the interpreter lock
    // released, so a second thread calling meanwhile is refused.
    bool running;
    // image_bytes=False: images' "image" is None.
    bool image_bytes;
    // links=True: each result ends with the file's links.
    bool links;
};

// Drops the stream without the interpreter lock: joining waits for the
// files being extracted, which may take a while.
void drop_stream(BatchIterator* self) {
    quarvel::extract::BatchStream* stream = self->stream;
    self->stream = nullptr;
    if (stream == nullptr) return;
    Py_BEGIN_ALLOW_THREADS
    delete stream;
    Py_END_ALLOW_THREADS
}

void batch_dealloc(PyObject* object) {
    auto* self = reinterpret_cast<BatchIterator*>(object);
    drop_stream(self);
    Py_XDECREF(self->paths);
    PyTypeObject* type = Py_TYPE(object);
    type->tp_free(object);
    Py_DECREF(type); // a heap type's instances own a reference to it
}

// The exception set, taken as an instance to yield.
PyObject* fetch_exception() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
}

// The exception instance a failed file yields: what the same file raises
// from extract().
PyObject* file_exception(const quarvel::extract::FileOutcome& outcome) {
    if (outcome.exception == nullptr) {
        (void)raise_parse_error(outcome.result->error());
    } else {
        (void)guarded([&]() -> PyObject* { std::rethrow_exception(outcome.exception); });
    }
    return fetch_exception();
}

// [blocks, images] of a file read without error, with its links (or the
// exception extract_links() would raise for it) after them when asked for.
PyObject* file_value(const BatchIterator& self, const quarvel::extract::FileOutcome& outcome) {
    Owned value(render_extract_result(outcome.result->value().pages,
                                      RenderOptions{true, true, self.image_bytes}));
    if (!value || !self.links) return value.release();
    const auto& links = *outcome.links;
    Owned extra(links.ok() ? render_links(links.value(), false)
                           : (raise_parse_error(links.error()), fetch_exception()));
    if (!extra || PyList_Append(value.get(), extra.get()) < 0) return nullptr;
    return value.release();
}

PyObject* batch_next(PyObject* object) {
    auto* self = reinterpret_cast<BatchIterator*>(object);
    if (self->running) {
        PyErr_SetString(PyExc_ValueError, "iter_extract iterator already executing");
        return nullptr;
    }
    if (self->stream == nullptr) return nullptr; // StopIteration
    if (self->stream->done()) {
        drop_stream(self);
        return nullptr;
    }
    PyObject* item = guarded([&]() -> PyObject* {
        std::optional<quarvel::extract::FileOutcome> outcome;
        self->running = true;
        Py_BEGIN_ALLOW_THREADS
        outcome.emplace(self->stream->next());
        Py_END_ALLOW_THREADS
        self->running = false;
        const auto index = static_cast<Py_ssize_t>(outcome->index);
        const bool ok = outcome->exception == nullptr && outcome->result->ok();
        Owned value(ok ? file_value(*self, *outcome) : file_exception(*outcome));
        if (!value) return nullptr;
        if (ok) {
            // The file's C++ result goes outside the lock.
            Py_BEGIN_ALLOW_THREADS
            outcome.reset();
            Py_END_ALLOW_THREADS
        }
        PyObject* path = PyTuple_GET_ITEM(self->paths, index);
        return PyTuple_Pack(2, path, value.get());
    });
    // An iterator that failed (an error converting a result) stops there,
    // and its threads go at once.
    if (item == nullptr) drop_stream(self);
    return item;
}

PyType_Slot batch_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(batch_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(batch_next)},
    {Py_tp_doc, const_cast<char*>("Results of quarvel_full.iter_extract, file by file.")},
    {0, nullptr},
};

PyType_Spec batch_spec = {
    "quarvel_full.BatchIterator",
    sizeof(BatchIterator),
    0,
    Py_TPFLAGS_DEFAULT,
    batch_slots,
};

PyTypeObject* batch_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) type = PyType_FromSpec(&batch_spec);
    return reinterpret_cast<PyTypeObject*>(type);
}

// A window of None means the default; otherwise an int of at least 1.
bool convert_window(PyObject* obj, std::size_t& out) {
    out = quarvel::extract::BatchStream::default_window();
    if (obj == nullptr || obj == Py_None) return true;
    if (!PyLong_Check(obj) || PyBool_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "argument 'window': must be int or None, not %.200s",
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || value < 1 ||
        static_cast<unsigned long long>(value) > quarvel::limits::kMaxFilesAhead) {
        PyErr_Format(PyExc_ValueError, "argument 'window': must be between 1 and %zu",
                     quarvel::limits::kMaxFilesAhead);
        return false;
    }
    out = static_cast<std::size_t>(value);
    return true;
}

} // namespace

const char kIterExtractDoc[] =
    "iter_extract(paths, *, file_parallel=True, page_parallel=False, include_images=False, "
    "password=None, window=None, image_bytes=True, links=False)\n"
    "--\n"
    "\n"
    "Extract many PDF files with the full reader, yielding (path, result) in input order.\n"
    "\n"
    "`path` is the caller's own item of `paths`. A file that cannot be read yields\n"
    "the exception extract() would raise for it in place of its result. At most\n"
    "`window` finished files (default: two per worker) are held ahead of the caller,\n"
    "so memory stays bounded whatever the batch's length; a slow consumer pauses the\n"
    "extraction instead of letting results pile up.\n"
    "\n"
    "With image_bytes=False each image dict's \"image\" is None: the images are\n"
    "listed, their bytes not held. With links=True a result is [blocks, images,\n"
    "links], links as extract_links() gives them (or the exception it would raise\n"
    "for the file), read from the same opening of the file.";

PyObject* py_iter_extract(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"paths",  "file_parallel", "page_parallel", "include_images",
                                   "password", "window",      "image_bytes",   "links",
                                   nullptr};
    PyObject* paths_obj = nullptr;
    PyObject* file_parallel = nullptr;
    PyObject* page_parallel = nullptr;
    PyObject* include_images = nullptr;
    PyObject* password = nullptr;
    PyObject* window_obj = nullptr;
    PyObject* image_bytes_obj = nullptr;
    PyObject* links_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOOOOOO:iter_extract",
                                     const_cast<char**>(kwlist), &paths_obj, &file_parallel,
                                     &page_parallel, &include_images, &password, &window_obj,
                                     &image_bytes_obj, &links_obj)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        quarvel::ExtractOptions options;
        options.file_parallel = true;
        options.page_parallel = false;
        options.include_images = false;
        std::optional<std::vector<std::string>> paths = convert_paths(Reader::Full, paths_obj);
        std::optional<std::string> secret;
        std::size_t window = 0;
        bool links = false;
        if (!paths || !convert_bool(file_parallel, "file_parallel", options.file_parallel) ||
            !convert_bool(page_parallel, "page_parallel", options.page_parallel) ||
            !convert_bool(include_images, "include_images", options.include_images) ||
            !convert_password(password, secret) || !convert_window(window_obj, window) ||
            !convert_bool(image_bytes_obj, "image_bytes", options.include_image_bytes) ||
            !convert_bool(links_obj, "links", links)) {
            return nullptr;
        }
        options.read = read_options(Reader::Full, std::move(secret));
        Owned given(PySequence_Tuple(paths_obj));
        if (!given) return nullptr;
        PyTypeObject* type = batch_type();
        if (type == nullptr) return nullptr;
        auto* self = PyObject_New(BatchIterator, type);
        if (self == nullptr) return nullptr;
        self->stream = nullptr;
        self->paths = given.release();
        self->running = false;
        self->image_bytes = options.include_image_bytes;
        self->links = links;
        Owned iterator(reinterpret_cast<PyObject*>(self));
        self->stream =
            new quarvel::extract::BatchStream(std::move(*paths), std::move(options), window, links);
        return iterator.release();
    });
}

} // namespace quarvel::python

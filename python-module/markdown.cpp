// quarvel_full.to_markdown: arguments in, the core's Markdown out as one str
// or one dict a page. The pages are written by the core's workers without
// the interpreter lock; only the finished strings are converted here.
#include "markdown.h"

#include <optional>
#include <string>
#include <vector>

#include "bindings.h"
#include "markdown/markdown.h"
#include "py_ref.h"

namespace quarvel::python {
namespace {

PyObject* utf8(const std::string& text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyObject* str_list(const std::vector<std::string>& items) {
    Owned list(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* item = utf8(items[i]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

PyObject* render_chunks(const std::vector<markdown::PageMarkdown>& pages) {
    const Owned keys[] = {
        Owned(PyUnicode_InternFromString("page")),   Owned(PyUnicode_InternFromString("label")),
        Owned(PyUnicode_InternFromString("text")),   Owned(PyUnicode_InternFromString("headings")),
        Owned(PyUnicode_InternFromString("tables")), Owned(PyUnicode_InternFromString("images")),
        Owned(PyUnicode_InternFromString("links"))};
    for (const Owned& key : keys)
        if (!key) return nullptr;
    Owned list(PyList_New(static_cast<Py_ssize_t>(pages.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < pages.size(); ++i) {
        const markdown::PageMarkdown& page = pages[i];
        PyObject* dict = PyDict_New();
        if (dict == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), dict);
        if (!put(dict, keys[0].get(), PyLong_FromSize_t(page.number)) ||
            !put(dict, keys[1].get(), utf8(page.label)) ||
            !put(dict, keys[2].get(), utf8(page.text)) ||
            !put(dict, keys[3].get(), str_list(page.headings)) ||
            !put(dict, keys[4].get(), PyLong_FromSize_t(page.tables)) ||
            !put(dict, keys[5].get(), PyLong_FromSize_t(page.images)) ||
            !put(dict, keys[6].get(), str_list(page.links))) {
            return nullptr;
        }
    }
    return list.release();
}

// "placeholder", None, or a folder (str, bytes or os.PathLike) the image
// links point into.
bool convert_images(PyObject* obj, markdown::Options& options) {
    if (obj == nullptr) return true;
    if (obj == Py_None) {
        options.images = markdown::ImageMode::Omit;
        return true;
    }
    if (PyUnicode_Check(obj) && PyUnicode_CompareWithASCIIString(obj, "placeholder") == 0) {
        options.images = markdown::ImageMode::Placeholder;
        return true;
    }
    std::optional<std::string> folder = convert_path(Reader::Full, obj, "images");
    if (!folder) return false;
    while (folder->size() > 1 && folder->back() == '/')
        folder->pop_back();
    options.images = markdown::ImageMode::Files;
    options.image_prefix = std::move(*folder);
    return true;
}

} // namespace

const char* const kToMarkdownDoc =
    "to_markdown(path, *, pages=None, password=None, page_chunks=False, "
    "images='placeholder', headers_footers=False)\n"
    "--\n"
    "\n"
    "The document as GitHub-flavoured Markdown: headings, paragraphs joined\n"
    "across lines, columns and pages, lists, fenced code, inline styles, links\n"
    "in place; running headers, footers and page numbers left out unless\n"
    "`headers_footers`. One str, pages parted by a blank line; with\n"
    "`page_chunks` a list of dicts, one a page: page, label, text, headings\n"
    "(the section titles the page's first line sits under), tables, images,\n"
    "links. `images`: 'placeholder' writes ![](page-P-image-N), None leaves\n"
    "images out, a folder links page-P-image-N.EXT files in it (written by\n"
    "the `quarvel markdown` command).";

PyObject* py_to_markdown(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"path",   "pages",           "password", "page_chunks",
                                   "images", "headers_footers", nullptr};
    PyObject* path_obj = nullptr;
    PyObject* pages = nullptr;
    PyObject* password = nullptr;
    PyObject* page_chunks = nullptr;
    PyObject* images = nullptr;
    PyObject* headers_footers = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOOOO:to_markdown",
                                     const_cast<char**>(kwlist), &path_obj, &pages, &password,
                                     &page_chunks, &images, &headers_footers)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        markdown::Options options;
        bool chunks = false;
        std::optional<std::string> path = convert_path(Reader::Full, path_obj, "path");
        std::optional<std::string> secret;
        if (!path || !convert_pages(pages, options.pages) ||
            !convert_password(password, secret) ||
            !convert_bool(page_chunks, "page_chunks", chunks) || !convert_images(images, options) ||
            !convert_bool(headers_footers, "headers_footers", options.headers_footers)) {
            return nullptr;
        }
        options.read = read_options(Reader::Full, std::move(secret));
        Result<std::vector<markdown::PageMarkdown>> result = [&] {
            LockRelease unlocked(Reader::Full);
            return markdown::to_markdown(*path, options);
        }();
        if (!result.ok()) return raise_parse_error(result.error());
        if (chunks) return render_chunks(*result);
        // Joined without the lock: a long document's string is built while
        // other threads run.
        std::string text;
        {
            LockRelease unlocked(Reader::Full);
            text = markdown::join_pages(*result);
        }
        return utf8(text);
    });
}

} // namespace quarvel::python

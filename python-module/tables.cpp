// quarvel_full.extract_tables: the core finds each page's tables on the
// workers without the interpreter lock; each page's tables become dicts on
// the calling thread as the page is handed over.
#define PY_SSIZE_T_CLEAN
#include "tables.h"

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bindings.h"
#include "py_ref.h"
#include "tables/document_tables.h"
#include "tables/render.h"

namespace quarvel::python {
namespace {

// Dict keys, interned once a call.
struct Keys {
    Owned page{PyUnicode_InternFromString("page")};
    Owned bbox{PyUnicode_InternFromString("bbox")};
    Owned rows{PyUnicode_InternFromString("rows")};
    Owned cells{PyUnicode_InternFromString("cells")};
    Owned header_rows{PyUnicode_InternFromString("header_rows")};
    Owned row{PyUnicode_InternFromString("row")};
    Owned col{PyUnicode_InternFromString("col")};
    Owned row_span{PyUnicode_InternFromString("row_span")};
    Owned col_span{PyUnicode_InternFromString("col_span")};
    Owned text{PyUnicode_InternFromString("text")};
    bool ok() const {
        return page && bbox && rows && cells && header_rows && row && col && row_span &&
               col_span && text;
    }
};

PyObject* str(const std::string& text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyObject* size(std::size_t n) { return PyLong_FromSize_t(n); }

PyObject* render_table(const Table& table, const Keys& keys) {
    Owned dict(PyDict_New());
    if (!dict) return nullptr;
    const auto grid = tables::grid(table);
    Owned rows(PyList_New(static_cast<Py_ssize_t>(table.rows)));
    if (!rows) return nullptr;
    for (std::size_t r = 0; r < table.rows; ++r) {
        PyObject* row = PyList_New(static_cast<Py_ssize_t>(table.cols));
        if (row == nullptr) return nullptr;
        PyList_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(r), row);
        for (std::size_t c = 0; c < table.cols; ++c) {
            PyObject* value = nullptr;
            if (grid[r][c] != nullptr) {
                value = str(grid[r][c]->text);
                if (value == nullptr) return nullptr;
            } else {
                value = Py_NewRef(Py_None);
            }
            PyList_SET_ITEM(row, static_cast<Py_ssize_t>(c), value);
        }
    }
    Owned cells(PyList_New(static_cast<Py_ssize_t>(table.cells.size())));
    if (!cells) return nullptr;
    for (std::size_t i = 0; i < table.cells.size(); ++i) {
        const TableCell& cell = table.cells[i];
        PyObject* entry = PyDict_New();
        if (entry == nullptr) return nullptr;
        PyList_SET_ITEM(cells.get(), static_cast<Py_ssize_t>(i), entry);
        if (!put(entry, keys.row.get(), size(cell.row)) ||
            !put(entry, keys.col.get(), size(cell.col)) ||
            !put(entry, keys.row_span.get(), size(cell.row_span)) ||
            !put(entry, keys.col_span.get(), size(cell.col_span)) ||
            !put(entry, keys.bbox.get(), bbox_list(cell.bbox)) ||
            !put(entry, keys.text.get(), str(cell.text))) {
            return nullptr;
        }
    }
    if (!put(dict.get(), keys.page.get(), size(table.page)) ||
        !put(dict.get(), keys.bbox.get(), bbox_list(table.bbox)) ||
        !put(dict.get(), keys.rows.get(), rows.release()) ||
        !put(dict.get(), keys.cells.get(), cells.release()) ||
        !put(dict.get(), keys.header_rows.get(), size(table.header_rows))) {
        return nullptr;
    }
    return dict.release();
}

// A size_t item of a dict, or false with an error set.
bool dict_size(PyObject* dict, const char* key, std::size_t& out) {
    PyObject* value = PyDict_GetItemString(dict, key);
    if (value == nullptr || !PyLong_Check(value)) {
        PyErr_Format(PyExc_ValueError, "table: \"%s\" must be an int", key);
        return false;
    }
    out = PyLong_AsSize_t(value);
    return !(out == static_cast<std::size_t>(-1) && PyErr_Occurred());
}

// A table dict as extract_tables makes it, back to the core's table. The
// grid's size comes from "rows"; every cell must lie inside it.
bool table_from_dict(PyObject* obj, Table& table) {
    if (!PyDict_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "argument 'table': must be dict, not %.200s",
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    PyObject* rows = PyDict_GetItemString(obj, "rows");
    PyObject* cells = PyDict_GetItemString(obj, "cells");
    if (rows == nullptr || !PyList_Check(rows) || cells == nullptr || !PyList_Check(cells)) {
        PyErr_SetString(PyExc_ValueError, "table: \"rows\" and \"cells\" must be lists");
        return false;
    }
    table.rows = static_cast<std::size_t>(PyList_GET_SIZE(rows));
    for (Py_ssize_t r = 0; r < PyList_GET_SIZE(rows); ++r) {
        PyObject* row = PyList_GET_ITEM(rows, r);
        if (!PyList_Check(row)) {
            PyErr_SetString(PyExc_ValueError, "table: each row must be a list");
            return false;
        }
        table.cols = std::max(table.cols, static_cast<std::size_t>(PyList_GET_SIZE(row)));
    }
    if (!dict_size(obj, "header_rows", table.header_rows)) return false;
    table.cells.reserve(static_cast<std::size_t>(PyList_GET_SIZE(cells)));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cells); ++i) {
        PyObject* item = PyList_GET_ITEM(cells, i);
        if (!PyDict_Check(item)) {
            PyErr_SetString(PyExc_ValueError, "table: each cell must be a dict");
            return false;
        }
        TableCell cell;
        if (!dict_size(item, "row", cell.row) || !dict_size(item, "col", cell.col) ||
            !dict_size(item, "row_span", cell.row_span) ||
            !dict_size(item, "col_span", cell.col_span)) {
            return false;
        }
        if (cell.row >= table.rows || cell.col >= table.cols || cell.row_span == 0 ||
            cell.col_span == 0 || cell.row_span > table.rows - cell.row ||
            cell.col_span > table.cols - cell.col) {
            PyErr_SetString(PyExc_ValueError, "table: a cell lies outside the grid");
            return false;
        }
        PyObject* text = PyDict_GetItemString(item, "text");
        if (text == nullptr || !PyUnicode_Check(text)) {
            PyErr_SetString(PyExc_ValueError, "table: \"text\" must be a str");
            return false;
        }
        Py_ssize_t n = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(text, &n);
        if (utf8 == nullptr) return false;
        cell.text.assign(utf8, static_cast<std::size_t>(n));
        table.cells.push_back(std::move(cell));
    }
    return true;
}

} // namespace

PyObject* py_render_table(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"table", "format", nullptr};
    PyObject* table_obj = nullptr;
    const char* format = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Os:render_table", const_cast<char**>(kwlist),
                                     &table_obj, &format)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        const std::string_view wanted(format);
        if (wanted != "markdown" && wanted != "html") {
            PyErr_SetString(PyExc_ValueError, "format must be \"markdown\" or \"html\"");
            return nullptr;
        }
        Table table;
        if (!table_from_dict(table_obj, table)) return nullptr;
        return str(wanted == "html" ? tables::to_html(table) : tables::to_markdown(table));
    });
}

PyObject* py_extract_tables(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"path", "pages", "password", nullptr};
    PyObject* path_obj = nullptr;
    PyObject* pages = nullptr;
    PyObject* password = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OO:extract_tables",
                                     const_cast<char**>(kwlist), &path_obj, &pages, &password)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        ExtractOptions options;
        std::optional<std::string> path = convert_path(Reader::Full, path_obj, "path");
        std::optional<std::string> secret;
        if (!path || !convert_pages(pages, options.pages) || !convert_password(password, secret)) {
            return nullptr;
        }
        options.read = read_options(Reader::Full, std::move(secret));
        Keys keys;
        if (!keys.ok()) return nullptr;
        Owned list(PyList_New(0));
        if (!list) return nullptr;
        Status status = [&] {
            LockRelease unlocked(Reader::Full);
            return tables::find_tables_each(*path, options, [&](std::vector<Table>&& found) {
                if (found.empty()) return true;
                // The page's tables go as soon as they are converted.
                const std::vector<Table> page = std::move(found);
                return unlocked.held([&] {
                    return append_each(list.get(), page,
                                       [&](const Table& table) { return render_table(table, keys); });
                });
            });
        }();
        return streamed_list(status, list.release());
    });
}

} // namespace quarvel::python

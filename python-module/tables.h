// The binding quarvel_full.extract_tables.
#pragma once

#include <Python.h>

namespace quarvel::python {

PyObject* py_extract_tables(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* py_render_table(PyObject* self, PyObject* args, PyObject* kwargs);

inline constexpr const char* kExtractTablesDoc =
    "extract_tables(path, *, pages=None, password=None)\n"
    "--\n"
    "\n"
    "Find the tables of a PDF file with the full reader, ruled or not.\n"
    "\n"
    "Returns a list of dicts in page and reading order, each with \"page\" (0-based),\n"
    "\"bbox\", \"rows\" (the grid: lists of str, None where a spanning cell covers the\n"
    "position), \"cells\" (dicts of \"row\", \"col\", \"row_span\", \"col_span\", \"bbox\",\n"
    "\"text\") and \"header_rows\". A cell's lines are joined by \"\\n\".";

inline constexpr const char* kRenderTableDoc =
    "render_table(table, format)\n"
    "--\n"
    "\n"
    "A table dict of extract_tables as text: format \"markdown\" gives a GitHub pipe\n"
    "table, \"html\" an HTML table with rowspan and colspan.";

} // namespace quarvel::python

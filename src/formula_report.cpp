// The three workbook report entry points and the conversion of their results
// into Python objects. Lists are created at their final length and filled in
// place; every C-API result is checked and owned references are held by Ref.
#include "formula_report.h"

#include <string>
#include <vector>

#include "sheet.h"
#include "surface.h"
#include "values.h"

namespace mdn {

namespace {

using py::Ref;

// A list of `n` items made by `make(i)` (each a new reference or null).
template <class Make>
PyObject* build_list(std::size_t n, Make&& make) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* item = make(i);
    if (!item) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* u32_list(const std::vector<std::uint32_t>& values) {
  return build_list(values.size(), [&](std::size_t i) { return PyLong_FromUnsignedLong(values[i]); });
}

PyObject* str_list(const std::vector<std::string>& texts) {
  return build_list(texts.size(), [&](std::size_t i) { return py::new_str(texts[i]); });
}

// A tuple of the given new references (any of them may be null, then the
// others are released and null is returned).
PyObject* steal_tuple(std::initializer_list<PyObject*> items) {
  std::vector<Ref> owned;
  owned.reserve(items.size());
  for (PyObject* item : items) owned.emplace_back(item);
  for (const Ref& item : owned)
    if (!item) return nullptr;
  Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(owned.size())));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < owned.size(); ++i)
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), owned[i].release());
  return tuple.release();
}

// Binds `data` (and the named extra parameters) and converts `data`.
bool bind_report(const char* function, std::initializer_list<const char*> params, PyObject* const* args,
                 Py_ssize_t nargs, PyObject* kwnames, PyObject** slots, Bytes& data) {
  return py::bind_arguments(function, params, args, nargs, kwnames, slots) &&
         py::convert_bytes(slots[0], "data", data);
}

// ---------------------------------------------------------------------------
// formula_r1c1_report

PyObject* sheet_report_tuple(const SheetReport& sheet) {
  const CellTexts& cells = sheet.cells;
  std::vector<std::pair<const std::string*, std::uint32_t>> errors;
  for (const auto& [text, count] : sheet.errors) errors.emplace_back(&text, count);
  return steal_tuple({
      py::new_str(sheet.name),
      build_list(cells.positions.size(), [&](std::size_t i) { return PyLong_FromUnsignedLong(cells.positions[i].row); }),
      build_list(cells.positions.size(), [&](std::size_t i) { return PyLong_FromUnsignedLong(cells.positions[i].col); }),
      str_list(cells.texts),
      PyLong_FromUnsignedLong(sheet.unresolved_follower_count),
      build_list(errors.size(),
                 [&](std::size_t i) {
                   return steal_tuple({py::new_str(*errors[i].first), PyLong_FromUnsignedLong(errors[i].second)});
                 }),
  });
}

// ---------------------------------------------------------------------------
// raw_values_report
//
// A million cells make a million tuples; the objects they share are made
// once: the row of consecutive cells, small column numbers and every text.

class ValueObjects {
 public:
  explicit ValueObjects(const RawValues& values) : values_(values), texts_(values.texts.size()) {}

  PyObject* cell_tuple(const RawCell& c) {
    PyObject* row = row_object(c.row);
    PyObject* col = col_object(c.col);
    if (!row || !col) return nullptr;
    PyObject* num = Py_None;
    PyObject* boolean = Py_None;
    PyObject* text = Py_None;
    Ref number;
    switch (c.kind) {
      case ValueKind::Number:
        number = Ref(PyFloat_FromDouble(c.num));
        if (!number) return nullptr;
        num = number.get();
        break;
      case ValueKind::Boolean:
        boolean = c.boolean ? Py_True : Py_False;
        break;
      case ValueKind::Text:
        text = text_object(c.text);
        if (!text) return nullptr;
        break;
    }
    PyObject* tuple = PyTuple_New(5);
    if (!tuple) return nullptr;
    PyObject* items[] = {row, col, num, boolean, text};
    for (Py_ssize_t i = 0; i < 5; ++i) PyTuple_SET_ITEM(tuple, i, Py_NewRef(items[i]));
    // It holds only numbers, booleans, texts and None, so it can never be
    // part of a reference cycle; untracking it spares the cyclic collector
    // from walking a million such tuples while the report is built.
    PyObject_GC_UnTrack(tuple);
    return tuple;
  }

 private:
  PyObject* row_object(std::uint32_t row) {
    if (!row_ || row != row_value_) {
      row_ = Ref(PyLong_FromUnsignedLong(row));
      row_value_ = row;
    }
    return row_.get();
  }

  PyObject* col_object(std::uint32_t col) {
    if (col >= kCachedColumns) {
      extra_col_ = Ref(PyLong_FromUnsignedLong(col));
      return extra_col_.get();
    }
    if (cols_.empty()) cols_.resize(kCachedColumns);
    if (!cols_[col]) cols_[col] = Ref(PyLong_FromUnsignedLong(col));
    return cols_[col].get();
  }

  PyObject* text_object(std::uint32_t index) {
    if (!texts_[index]) texts_[index] = Ref(py::new_str(values_.texts[index]));
    return texts_[index].get();
  }

  static constexpr std::uint32_t kCachedColumns = 16384;
  const RawValues& values_;
  std::vector<Ref> texts_;
  std::vector<Ref> cols_;
  Ref row_, extra_col_;
  std::uint32_t row_value_ = 0;
};

// The list of a sheet's cell tuples. While it is filled it holds only
// untracked tuples, so it is kept out of the cyclic collector too: otherwise
// every collection that the million allocations trigger walks it again.
PyObject* cell_list(const SheetValues& sheet, ValueObjects& objects) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(sheet.cells.size())));
  if (!list) return nullptr;
  PyObject_GC_UnTrack(list.get());
  for (std::size_t i = 0; i < sheet.cells.size(); ++i) {
    PyObject* item = objects.cell_tuple(sheet.cells[i]);
    if (!item) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  PyObject_GC_Track(list.get());
  return list.release();
}

PyObject* values_result(const RawValues& values) {
  ValueObjects objects(values);
  return build_list(values.sheets.size(), [&](std::size_t s) {
    const SheetValues& sheet = values.sheets[s];
    return steal_tuple({py::new_str(sheet.name), cell_list(sheet, objects)});
  });
}

// ---------------------------------------------------------------------------
// formula_surface_report

PyObject* surface_sheet_tuple(const SheetSurface& s) {
  return steal_tuple({
      py::new_str(s.name),
      u32_list(s.cell_rows),
      u32_list(s.cell_cols),
      str_list(s.cell_a1_text),
      u32_list(s.cell_definition_id),
      str_list(s.definition_r1c1_table),
  });
}

PyObject* defined_name_tuple(const DefinedNameSurface& n) {
  PyObject* target = n.target_a1_or_none ? py::new_str(*n.target_a1_or_none) : Py_NewRef(Py_None);
  return steal_tuple({py::new_str(n.name), target});
}

PyObject* surface_result(const WorkbookSurface& surface) {
  return steal_tuple({
      build_list(surface.sheets.size(), [&](std::size_t i) { return surface_sheet_tuple(surface.sheets[i]); }),
      build_list(surface.names.size(), [&](std::size_t i) { return defined_name_tuple(surface.names[i]); }),
  });
}

// The Python result of a decoder: its value converted, or its error raised.
template <class T, class Convert>
PyObject* result_or_raise(const Result<T>& result, Convert&& convert) {
  if (!result) {
    py::raise_decode_error(result.error());
    return nullptr;
  }
  return convert(*result);
}

}  // namespace

PyObject* formula_r1c1_report(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    PyObject* slots[2];
    Bytes data;
    std::string_view mode;
    if (!bind_report("formula_r1c1_report", {"data", "mode"}, args, nargs, kwnames, slots, data) ||
        !py::convert_utf8(slots[1], "mode", mode))
      return nullptr;
    if (mode != "a1" && mode != "r1c1") {
      PyErr_SetString(PyExc_RuntimeError, "mode must be 'r1c1' or 'a1'");
      return nullptr;
    }
    return result_or_raise(decode_workbook(data, mode == "a1" ? Notation::A1 : Notation::R1C1),
                           [](const std::vector<SheetReport>& reports) {
                             return build_list(reports.size(), [&](std::size_t i) { return sheet_report_tuple(reports[i]); });
                           });
  });
}

PyObject* raw_values_report(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    PyObject* slots[1];
    Bytes data;
    if (!bind_report("raw_values_report", {"data"}, args, nargs, kwnames, slots, data)) return nullptr;
    return result_or_raise(decode_workbook_values(data), values_result);
  });
}

PyObject* formula_surface_report(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    PyObject* slots[1];
    Bytes data;
    if (!bind_report("formula_surface_report", {"data"}, args, nargs, kwnames, slots, data)) return nullptr;
    return result_or_raise(decode_workbook_surface(data), surface_result);
  });
}

}  // namespace mdn

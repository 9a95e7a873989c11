// The module definition, its execution step, the shared boundary helpers
// and the `formula_delta_batch` entry point.
#include "lib.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "formula_delta.h"
#include "formula_report.h"

namespace mdn::py {

namespace {

// Created by the module's execution step, so that reporting a defect never
// depends on creating a type at the moment something has already gone wrong.
// Never released.
PyObject* g_internal_defect = nullptr;

const char kInternalDefectDoc[] =
    "A broken internal invariant of morvane_diff_native (a defect of the module,\n"
    "never caused by input). It derives from BaseException, like SystemExit, so\n"
    "that ordinary `except Exception` handlers let it pass to the top of the stack.";

PyObject* internal_defect_type() {
  if (!g_internal_defect)
    g_internal_defect = PyErr_NewExceptionWithDoc("morvane_diff_native._InternalDefect", kInternalDefectDoc,
                                                  PyExc_BaseException, nullptr);
  return g_internal_defect;
}

[[noreturn]] void panic() noexcept {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::abort();
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'"
std::string join_names(const std::vector<const char*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

// The index of the parameter named `key`, or -1.
Py_ssize_t find_parameter(std::initializer_list<const char*> params, PyObject* key) {
  Py_ssize_t i = 0;
  for (const char* name : params) {
    if (PyUnicode_CompareWithASCIIString(key, name) == 0) return i;
    ++i;
  }
  return -1;
}

}  // namespace

void raise_internal_defect(const char* what) noexcept {
  PyObject* type = internal_defect_type();
  if (!type) panic();
  PyErr_SetString(type, what);
}

void raise_out_of_memory() noexcept { PyErr_NoMemory(); }

bool bind_arguments(const char* function, std::initializer_list<const char*> params, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  auto nparams = static_cast<Py_ssize_t>(params.size());
  if (nargs > nparams) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd %s given", function, nparams, nargs,
                 nargs == 1 ? "was" : "were");
    return false;
  }
  for (Py_ssize_t i = 0; i < nparams; ++i) out[i] = i < nargs ? args[i] : nullptr;
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t index = find_parameter(params, key);
    if (index < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, key);
      return false;
    }
    if (out[index]) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", function, key);
      return false;
    }
    out[index] = args[nargs + k];
  }
  std::vector<const char*> missing;
  Py_ssize_t i = 0;
  for (const char* name : params)
    if (!out[i++]) missing.push_back(name);
  if (!missing.empty()) {
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional %s: %s", function, missing.size(),
                 missing.size() == 1 ? "argument" : "arguments", join_names(missing).c_str());
    return false;
  }
  return true;
}

void note_parameter(const char* param) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value) {
    if (traceback) PyException_SetTraceback(value, traceback);
    std::string note = std::string("while processing '") + param + "'";
    PyObject* added = PyObject_CallMethod(value, "add_note", "s", note.c_str());
    if (added) {
      Py_DECREF(added);
    } else {
      PyErr_Clear();  // the exception is raised without its note
    }
  }
  PyErr_Restore(type, value, traceback);
}

void raise_cast_error(PyObject* obj, const char* target) {
  if (obj == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", target);
    return;
  }
  Ref type_name(PyType_GetQualName(Py_TYPE(obj)));
  if (!type_name) return;
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", type_name.get(), target);
}

bool convert_bytes(PyObject* obj, const char* param, Bytes& out) {
  if (!PyBytes_Check(obj)) {
    raise_cast_error(obj, "bytes");
    note_parameter(param);
    return false;
  }
  out = Bytes(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj)),
              static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
  return true;
}

bool convert_utf8(PyObject* obj, const char* param, std::string_view& out) {
  if (!PyUnicode_Check(obj)) {
    raise_cast_error(obj, "str");
    note_parameter(param);
    return false;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
  if (!text) {
    note_parameter(param);
    return false;
  }
  out = std::string_view(text, static_cast<std::size_t>(size));
  return true;
}

void raise_decode_error(DecodeError e) {
  std::string text(message(e));
  if (is_internal_defect(e)) {
    raise_internal_defect(text.c_str());
  } else {
    PyErr_SetString(PyExc_RuntimeError, text.c_str());
  }
}

PyObject* new_str(std::string_view utf8) {
  return PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "strict");
}

}  // namespace mdn::py

namespace mdn {

namespace {

using py::Ref;

// ---------------------------------------------------------------------------
// formula_delta_batch

constexpr std::size_t kMaxPresize = std::size_t{1} << 20;

// The batch as native copies: every text of every pair in one buffer, and
// the pairs as views into it. One growing buffer instead of four strings per
// pair keeps the part of the call that holds the interpreter lock short.
struct NativeBatch {
  std::string texts;
  std::vector<std::array<std::size_t, 4>> offsets;  // where each pair's texts start
  std::vector<std::array<std::size_t, 4>> sizes;

  std::vector<FormulaPair> pairs() const {
    std::vector<FormulaPair> out;
    out.reserve(offsets.size());
    std::string_view all(texts);
    for (std::size_t i = 0; i < offsets.size(); ++i) {
      auto text = [&](int k) { return all.substr(offsets[i][k], sizes[i][k]); };
      out.push_back({text(0), text(1), text(2), text(3)});
    }
    return out;
  }
};

bool convert_pair(PyObject* item, NativeBatch& out) {
  if (!PyTuple_Check(item)) {
    py::raise_cast_error(item, "tuple");
    return false;
  }
  if (PyTuple_GET_SIZE(item) != 4) {
    PyErr_Format(PyExc_ValueError, "expected tuple of length 4, but got tuple of length %zd", PyTuple_GET_SIZE(item));
    return false;
  }
  std::array<std::size_t, 4> offsets{}, sizes{};
  for (Py_ssize_t i = 0; i < 4; ++i) {
    PyObject* text = PyTuple_GET_ITEM(item, i);
    if (!PyUnicode_Check(text)) {
      py::raise_cast_error(text, "str");
      return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (!utf8) return false;
    offsets[static_cast<std::size_t>(i)] = out.texts.size();
    sizes[static_cast<std::size_t>(i)] = static_cast<std::size_t>(size);
    out.texts.append(utf8, static_cast<std::size_t>(size));
  }
  out.offsets.push_back(offsets);
  out.sizes.push_back(sizes);
  return true;
}

// The whole argument as native texts; the first failing element ends it.
bool convert_pairs_unnoted(PyObject* pairs, NativeBatch& out) {
  if (PyUnicode_Check(pairs)) {
    PyErr_SetString(PyExc_TypeError, "a str cannot be taken as a sequence of formula pairs");
    return false;
  }
  if (!PySequence_Check(pairs)) {
    py::raise_cast_error(pairs, "Sequence");
    return false;
  }
  Py_ssize_t length = PyObject_Length(pairs);
  if (length < 0) {
    PyErr_Clear();  // the length only pre-sizes the lists
  } else {
    std::size_t presize = std::min(static_cast<std::size_t>(length), kMaxPresize);
    out.offsets.reserve(presize);
    out.sizes.reserve(presize);
  }
  Ref iterator(PyObject_GetIter(pairs));
  if (!iterator) return false;
  while (Ref item{PyIter_Next(iterator.get())}) {
    if (!convert_pair(item.get(), out)) return false;
  }
  return !PyErr_Occurred();
}

// Holds the interpreter lock released for its lifetime, also when the work
// inside ends with an exception.
class ReleasedLock {
 public:
  ReleasedLock() : state_(PyEval_SaveThread()) {}
  ~ReleasedLock() { PyEval_RestoreThread(state_); }
  ReleasedLock(const ReleasedLock&) = delete;
  ReleasedLock& operator=(const ReleasedLock&) = delete;

 private:
  PyThreadState* state_;
};

// Builds the result tuples. The kind texts are made once per call; each
// tuple holds only atoms (bools, texts, None), so it cannot take part in a
// reference cycle and is kept out of the cyclic collector, like the list
// while it is filled.
class DeltaObjects {
 public:
  bool ready() {
    wrapped_ = Ref(PyUnicode_FromString("wrapped"));
    unwrapped_ = Ref(PyUnicode_FromString("unwrapped"));
    return wrapped_ && unwrapped_;
  }

  PyObject* tuple(const DeltaResult& r) {
    PyObject* kind = Py_None;
    PyObject* exact = Py_None;
    if (r.wrapper_kind != WrapperKind::None) {
      kind = (r.wrapper_kind == WrapperKind::Wrapped ? wrapped_ : unwrapped_).get();
      exact = r.wrapper_exact ? Py_True : Py_False;
    }
    PyObject* key = py::new_str(r.event_key);
    if (!key) return nullptr;
    PyObject* tuple = PyTuple_New(6);
    if (!tuple) {
      Py_DECREF(key);
      return nullptr;
    }
    PyObject* items[] = {r.supported ? Py_True : Py_False, r.expected_extension ? Py_True : Py_False, kind, exact};
    for (Py_ssize_t i = 0; i < 4; ++i) PyTuple_SET_ITEM(tuple, i, Py_NewRef(items[i]));
    PyTuple_SET_ITEM(tuple, 4, key);
    PyTuple_SET_ITEM(tuple, 5, Py_NewRef(r.added_reference ? Py_True : Py_False));
    PyObject_GC_UnTrack(tuple);
    return tuple;
  }

 private:
  Ref wrapped_, unwrapped_;
};

PyObject* delta_list(const std::vector<DeltaResult>& results) {
  DeltaObjects objects;
  if (!objects.ready()) return nullptr;
  Ref list(PyList_New(static_cast<Py_ssize_t>(results.size())));
  if (!list) return nullptr;
  PyObject_GC_UnTrack(list.get());
  for (std::size_t i = 0; i < results.size(); ++i) {
    PyObject* tuple = objects.tuple(results[i]);
    if (!tuple) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), tuple);
  }
  PyObject_GC_Track(list.get());
  return list.release();
}

PyObject* formula_delta_batch(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    PyObject* pairs = nullptr;
    if (!py::bind_arguments("formula_delta_batch", {"pairs"}, args, nargs, kwnames, &pairs)) return nullptr;
    NativeBatch native;
    if (!convert_pairs_unnoted(pairs, native)) {
      py::note_parameter("pairs");
      return nullptr;
    }
    std::vector<DeltaResult> results;
    {
      ReleasedLock unlocked;
      results = classify_batch_inner(native.pairs());
    }
    return delta_list(results);
  });
}

// ---------------------------------------------------------------------------
// The module.

constexpr const char kDeltaDoc[] =
    "formula_delta_batch(pairs)\n--\n\n"
    "One GIL-detached call over a bounded batch. Each input tuple is\n"
    "`(baseline_raw, current_raw, baseline_r1c1, current_r1c1)`; each output is\n"
    "`(supported, expected_extension, wrapper_kind, wrapper_exact, event_key,\n"
    "added_reference)`.";

constexpr const char kR1c1Doc[] =
    "formula_r1c1_report(data, mode)\n--\n\n"
    "`data` is the raw XLSB file bytes (never a path -- see\n"
    "`sheet::decode_workbook`'s doc comment). Per sheet: `(name, rows, cols,\n"
    "texts, unresolved_follower_count, [(error_message, count), ...])`.\n"
    "`rows[i]/cols[i]/texts[i]` line up positionally for every successfully\n"
    "decoded formula cell; a cell missing from these arrays failed closed\n"
    "(counted in `unresolved_follower_count` or the error list instead of guessed).\n"
    "`mode` is `\"r1c1\"` or `\"a1\"`.";

constexpr const char kValuesDoc[] =
    "raw_values_report(data)\n--\n\n"
    "`data` is the raw XLSB file bytes (never a path). Per sheet: `(name,\n"
    "[(row, col, num, boolean, text), ...])` -- exactly one of\n"
    "`num`/`boolean`/`text` is populated per cell, mirroring pyxlsb's own raw\n"
    "`.v` shape (plain float / bool / str, blanks never emitted) so the Python\n"
    "side can feed it through the existing, unchanged `_xlsb_value`.";

constexpr const char kSurfaceDoc[] =
    "formula_surface_report(data)\n--\n\n"
    "B2's production-shaped surface. Per sheet:\n"
    "`(name, cell_rows, cell_cols, cell_a1_text, cell_definition_id,\n"
    "definition_r1c1_table)` -- `cell_definition_id[i]` indexes into\n"
    "`definition_r1c1_table` (deduplicated: every follower of one shared/array\n"
    "group shares one entry). Plus workbook-level defined names:\n"
    "`(name, target_a1_or_none)`.";

PyMethodDef g_functions[] = {
    {"formula_delta_batch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&formula_delta_batch)),
     METH_FASTCALL | METH_KEYWORDS, kDeltaDoc},
    {"formula_r1c1_report", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&formula_r1c1_report)),
     METH_FASTCALL | METH_KEYWORDS, kR1c1Doc},
    {"raw_values_report", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&raw_values_report)),
     METH_FASTCALL | METH_KEYWORDS, kValuesDoc},
    {"formula_surface_report", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&formula_surface_report)),
     METH_FASTCALL | METH_KEYWORDS, kSurfaceDoc},
};

// Appends `name` to the module's __all__ (created on the first addition),
// then sets the attribute. Steals `value`.
bool add_attribute(PyObject* module, const char* name, PyObject* value) {
  Ref owned(value);
  if (!owned) return false;
  Ref all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref(PyList_New(0));
    if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return false;
  }
  Ref key(PyUnicode_FromString(name));
  if (!key || PyList_Append(all.get(), key.get()) < 0) return false;
  return PyModule_AddObjectRef(module, name, owned.get()) == 0;
}

int exec_module(PyObject* module) {
  PyObject* ok = py::guarded([&]() -> PyObject* {
    if (!PyModule_Check(module)) {
      py::raise_cast_error(module, "module");
      return nullptr;
    }
    if (!py::internal_defect_type()) return nullptr;
    Ref module_name(PyModule_GetNameObject(module));
    if (!module_name) return nullptr;
    if (!add_attribute(module, "__version__", PyUnicode_FromString("2.0.0")) ||
        !add_attribute(module, "__kernel_api_version__", PyLong_FromLong(1)) ||
        !add_attribute(module, "__native_available__", Py_NewRef(Py_True)))
      return nullptr;
    for (PyMethodDef& def : g_functions)
      if (!add_attribute(module, def.ml_name, PyCFunction_NewEx(&def, module, module_name.get()))) return nullptr;
    return Py_NewRef(Py_None);
  });
  Py_XDECREF(ok);
  return ok ? 0 : -1;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT,
    "morvane_diff_native",
    "",
    0,
    nullptr,
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace mdn

PyMODINIT_FUNC PyInit_morvane_diff_native(void) { return PyModuleDef_Init(&mdn::g_module); }

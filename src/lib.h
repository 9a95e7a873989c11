// The Python boundary: the module definition and execution step, and the
// helpers every entry point uses to bind arguments, convert them, report
// failures and keep C++ exceptions from reaching CPython.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <initializer_list>
#include <new>
#include <string_view>
#include <utility>

#include "records.h"

namespace mdn::py {

// An owned reference, released when the handle goes out of scope.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* owned) noexcept : p_(owned) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }
  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// Binds fast-call arguments to `params` (all required, by position or by
// keyword) into `out`, which holds one borrowed slot per parameter. Raises
// TypeError with CPython's wording and returns false on a binding failure.
bool bind_arguments(const char* function, std::initializer_list<const char*> params, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

// Adds the note "while processing '<param>'" to the exception being raised.
void note_parameter(const char* param);

// Raises TypeError "'<type>' object is not an instance of '<target>'".
void raise_cast_error(PyObject* obj, const char* target);

// The `data` argument: a bytes object (or subclass), read in place.
bool convert_bytes(PyObject* obj, const char* param, Bytes& out);

// A str argument's UTF-8 form (borrowed from the object).
bool convert_utf8(PyObject* obj, const char* param, std::string_view& out);

// Raises the Python exception for a decode error: RuntimeError with the
// message, or the internal-defect exception for a broken invariant.
void raise_decode_error(DecodeError e);

// A new str from UTF-8 text produced by the decoders.
PyObject* new_str(std::string_view utf8);

// Runs an entry point body; a C++ exception becomes MemoryError (allocation
// failure) or the module's internal-defect exception, never a crash.
template <class F>
PyObject* guarded(F&& body) noexcept;

void raise_internal_defect(const char* what) noexcept;
void raise_out_of_memory() noexcept;

template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    raise_out_of_memory();
  } catch (const std::exception& e) {
    raise_internal_defect(e.what());
  } catch (...) {
    raise_internal_defect("unknown C++ exception");
  }
  return nullptr;
}

}  // namespace mdn::py

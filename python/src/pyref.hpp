// Owning references and the scoped release of the interpreter lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <optional>
#include <utility>

namespace morva::python {

// Owns one strong reference (or nothing). Move-only: the reference travels
// with the object and is dropped exactly once.
class PyRef {
 public:
  PyRef() = default;
  ~PyRef() { Py_XDECREF(object_); }

  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : object_(other.object_) { other.object_ = nullptr; }
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = other.object_;
      other.object_ = nullptr;
    }
    return *this;
  }

  // Takes over a new reference (possibly null, as returned by a failed call).
  static PyRef steal(PyObject* object) { return PyRef(object); }
  // Adds a reference to a borrowed object.
  static PyRef borrow(PyObject* object) {
    Py_XINCREF(object);
    return PyRef(object);
  }

  // Borrowed: the caller must not drop it.
  PyObject* get() const { return object_; }
  // Hands the reference to a call that steals it, or returns it to Python.
  PyObject* release() {
    PyObject* object = object_;
    object_ = nullptr;
    return object;
  }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  explicit PyRef(PyObject* object) : object_(object) {}

  PyObject* object_ = nullptr;
};

// Releases the interpreter lock for its lifetime. Nothing inside the scope
// may touch a Python object.
class GilReleased {
 public:
  GilReleased() : state_(PyEval_SaveThread()) {}
  ~GilReleased() { PyEval_RestoreThread(state_); }
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;

 private:
  PyThreadState* state_;
};

// Runs `work` with the interpreter lock released and returns its result. An
// exception thrown inside (only exhausting memory can) crosses the released
// section as a value and is rethrown once the lock is held again, where the
// caller turns it into a Python error.
template <class Work>
auto without_gil(Work&& work) -> decltype(work()) {
  std::optional<decltype(work())> result;
  std::exception_ptr failure;
  {
    GilReleased released;
    try {
      result.emplace(work());
    } catch (...) {
      failure = std::current_exception();
    }
  }
  if (failure) std::rethrow_exception(failure);
  return std::move(*result);
}

}  // namespace morva::python

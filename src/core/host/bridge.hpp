// Helpers every function body uses to reach the module namespace, the
// standard library and the host: lookups by name at the moment of use, calls,
// comparisons with the interpreter's own semantics, host imports, printing
// and raising. Each helper throws PythonError with the error set.
#pragma once

#include "frame/frame.hpp"
#include "host/unwinding.hpp"
#include "host/version_compat.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <utility>

// Keeps a rarely taken path out of the function that calls it.
#if defined(_MSC_VER)
#define VC_NOINLINE __declspec(noinline)
#else
#define VC_NOINLINE __attribute__((noinline))
#endif
// Keeps a step of every call inside its caller, whatever the count of callers.
#if defined(_MSC_VER)
#define VC_ALWAYS_INLINE __forceinline
#else
#define VC_ALWAYS_INLINE inline __attribute__((always_inline))
#endif

namespace vc {

// An interned name, created on first use and kept for the life of the
// process (the module lives in one interpreter per process). It also keeps
// the answer of its last namespace lookup with the stamp of the namespaces at
// that moment: an equal stamp means neither the module namespace nor its
// builtins changed since, so the answer still holds (see lookup_global()).
class Name {
public:
    constexpr explicit Name(const char* text) noexcept : text_(text) {}
    PyObject* get() const {
        if (object_ != nullptr) return object_;
        PyObject* object = create();
        if (object == nullptr) throw PythonError();
        return object;
    }
    const char* text() const { return text_; }

private:
    friend PyObject* lookup_global(const Module& module, const Name& name) noexcept;
    friend PyObject* lookup_global_slowly(const Module& module, const Name& name, std::uint64_t stamp) noexcept;
    static constexpr std::uint64_t kNoStamp = ~std::uint64_t{0};  // never a namespace stamp
    PyObject* create() const noexcept;                            // nullptr with the error set
    const char* text_;
    mutable PyObject* object_ = nullptr;
    mutable std::uint64_t stamp_ = kNoStamp;  // the stamp of the answer kept
    mutable PyObject* found_ = nullptr;       // borrowed from the dictionary that holds it
};

namespace detail {
inline PyObject* as_ptr(const Name& name) {
    return name.get();
}
inline PyObject* as_ptr(py::handle h) {
    return h.ptr();
}
inline PyObject* as_ptr(PyObject* p) {
    return p;
}
}  // namespace detail

[[noreturn]] inline void throw_error() {
    throw PythonError();
}

inline py::object steal(PyObject* result) {
    if (result == nullptr) throw_error();
    return py::reinterpret_steal<py::object>(result);
}

inline py::object borrow(PyObject* object) {
    return py::reinterpret_borrow<py::object>(object);
}

// ---- the module namespace --------------------------------------------------

// The module a callback of the module runs in, from the module object it keeps.
inline Module module_of(py::handle module_object) {
    return Module{module_object.ptr(), PyModule_GetDict(module_object.ptr())};
}

// Makes `globals` the module namespace whose names lookup_global() finds,
// and `builtins` the module's own builtins, where names the namespace lacks
// are found: as for a Python function defined in the module, whoever calls.
int use_namespaces(PyObject* globals, PyObject* builtins) noexcept;

// A global of the module namespace, falling back to the module's builtins,
// as a name in the module body resolves; NameError when neither holds it.
// The lookup is made at every use; while neither dictionary has changed since
// the last lookup of the same name, its answer is still the answer and is
// taken as is (as the interpreter's own global loads do).
// lookup_global returns a borrowed reference, or nullptr with the error set.
PyObject* lookup_global_slowly(const Module& module, const Name& name, std::uint64_t stamp) noexcept;
VC_ALWAYS_INLINE PyObject* lookup_global(const Module& module, const Name& name) noexcept {
    const std::uint64_t stamp = compat::namespace_stamp(module.dict);
    if (name.stamp_ == stamp) return name.found_;
    return lookup_global_slowly(module, name, stamp);
}
inline py::object global(const Module& module, const Name& name) {
    PyObject* value = lookup_global(module, name);
    if (value == nullptr) throw_error();
    return borrow(value);
}
void set_global(const Module& module, const Name& name, py::handle value);

// ---- calls -----------------------------------------------------------------

template <class... A>
py::object call(py::handle callable, const A&... args) {
    PyObject* argv[] = {nullptr, detail::as_ptr(args)...};
    return steal(PyObject_Vectorcall(callable.ptr(), argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

template <class... A>
py::object call_method(py::handle self, const Name& name, const A&... args) {
    PyObject* argv[] = {self.ptr(), detail::as_ptr(args)...};
    return steal(PyObject_VectorcallMethod(name.get(), argv, sizeof...(A) + 1, nullptr));
}

template <class... A>
py::object call_global(const Module& module, const Name& name, const A&... args) {
    return call(global(module, name), args...);
}

// A call with keyword arguments: positional values, then (name, value) pairs.
py::object call_with_keywords(py::handle callable, std::initializer_list<py::handle> positional,
                              std::initializer_list<std::pair<const Name*, py::handle>> keywords);

// ---- attributes ------------------------------------------------------------

inline py::object attr(py::handle object, const Name& name) {
    return steal(PyObject_GetAttr(object.ptr(), name.get()));
}
inline void set_attr(py::handle object, const Name& name, py::handle value) {
    if (PyObject_SetAttr(object.ptr(), name.get(), value.ptr()) < 0) throw_error();
}

// ---- truth and comparison, as the interpreter's operators behave ------------

inline bool truth(py::handle value) {
    int r = PyObject_IsTrue(value.ptr());
    if (r < 0) throw_error();
    return r != 0;
}
// `a == b` and `a != b` taken for truth; no identity shortcut, so an object's
// own __eq__ decides even against None.
inline bool equals(py::handle a, py::handle b) {
    return truth(steal(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ)));
}
inline bool not_equals(py::handle a, py::handle b) {
    return truth(steal(PyObject_RichCompare(a.ptr(), b.ptr(), Py_NE)));
}
inline bool equals_none(py::handle a) {
    return equals(a, Py_None);
}
inline bool is_instance(py::handle object, py::handle cls) {
    int r = PyObject_IsInstance(object.ptr(), cls.ptr());
    if (r < 0) throw_error();
    return r != 0;
}

// ---- text ------------------------------------------------------------------

// `a == b` for two exact str objects, decided by their text as str's own ==
// does, without going through the comparison protocol.
bool same_text_slowly(PyObject* a, PyObject* b);
// memcmp(a, b, length) == 0, inline for the short texts of names and paths:
// eight bytes at a time, the last eight overlapping the ones before.
inline bool same_bytes(const void* a, const void* b, Py_ssize_t length) {
    const auto* x = static_cast<const unsigned char*>(a);
    const auto* y = static_cast<const unsigned char*>(b);
    if (length < 8) return std::memcmp(x, y, static_cast<std::size_t>(length)) == 0;
    std::uint64_t word_x, word_y;
    for (Py_ssize_t i = 0; i + 8 < length; i += 8) {
        std::memcpy(&word_x, x + i, 8);
        std::memcpy(&word_y, y + i, 8);
        if (word_x != word_y) return false;
    }
    std::memcpy(&word_x, x + length - 8, 8);
    std::memcpy(&word_y, y + length - 8, 8);
    return word_x == word_y;
}

inline bool same_text(PyObject* a, PyObject* b) {
    if (a == b) return true;
    if (!PyUnicode_IS_COMPACT_ASCII(a) || !PyUnicode_IS_COMPACT_ASCII(b)) return same_text_slowly(a, b);
    const auto* ascii_a = reinterpret_cast<PyASCIIObject*>(a);
    const auto* ascii_b = reinterpret_cast<PyASCIIObject*>(b);
    const Py_ssize_t length = ascii_a->length;
    if (length != ascii_b->length) return false;
    if (ascii_a->hash != -1 && ascii_b->hash != -1 && ascii_a->hash != ascii_b->hash) return false;
    return same_bytes(ascii_a + 1, ascii_b + 1, length);
}

inline py::object as_text(py::handle value) {
    return steal(PyObject_Format(value.ptr(), nullptr));
}
inline py::object text(const char* utf8) {
    return steal(PyUnicode_FromString(utf8));
}
inline py::object concat(py::handle a, py::handle b) {
    return steal(PyUnicode_Concat(a.ptr(), b.ptr()));
}
// `left + right`, as the interpreter adds two values.
inline py::object add(py::handle left, py::handle right) {
    return steal(PyNumber_Add(left.ptr(), right.ptr()));
}
// "prefix" + value as text + "suffix".
py::object message(const char* prefix, py::handle value, const char* suffix);

// ---- the standard library, looked up in the namespace at each use ----------

py::object os_path(const Module& module);
template <class... A>
py::object os_path_call(const Module& module, const Name& function, const A&... args) {
    return call_method(os_path(module), function, args...);
}
bool path_exists(const Module& module, py::handle path);
py::object path_join(const Module& module, py::handle a, py::handle b);
// os.path.splitext(path)[0] + extension: the path under another extension.
py::object with_extension(const Module& module, py::handle path, py::handle extension);
// os.path.splitext(os.path.basename(path))[0] + extension: the file name of
// `path` under another extension, without its folder.
py::object file_name_with_extension(const Module& module, py::handle path, py::handle extension);

// ---- host ------------------------------------------------------------------

// `import <name>` with the module's globals, as a function of the module imports.
py::object import_module(const Module& module, const Name& name);
// `from <namespace> import <name>` with the module's globals, as a host
// namespace is imported through the bridge.
py::object import_from(const Module& module, const Name& namespace_name, const Name& name);
// The module's own load_dll, looked up by name at the moment of the call.
void load_dll(const Module& module, const Name& dllname);

// ---- output and errors -----------------------------------------------------

// Python's print, looked up at the moment of use so scripts can redirect it.
// (Forwarding references keep this overload ahead of pybind11::print, which
// argument-dependent lookup finds wherever pybind11's whole header is included.)
extern Name print_name;
template <class... A>
void print(const Module& module, A&&... values) {
    call(global(module, print_name), values...);
}

// Raise `type(message)` from C++.
[[noreturn]] void raise(PyObject* type, py::handle message);
[[noreturn]] void raise(PyObject* type, const char* message);

// True when a caught error belongs to the `Exception` family, the family an
// `except Exception` clause catches; a KeyboardInterrupt or SystemExit does not.
inline bool is_exception_family(PythonError& error) {
    return error.matches(PyExc_Exception);
}

// Runs `cleanup` when `body` raises and raises again, like an except clause
// ending in `raise`: an error of the cleanup replaces the body's and keeps it
// as its context.
template <class BodyF, class CleanupF>
void on_error(BodyF&& body, CleanupF&& cleanup) {
    try {
        body();
    } catch (PythonError& first) {
        try {
            cleanup();
        } catch (PythonError& second) {
            chain_context(second.value().ptr(), first.value().ptr());
            throw;
        }
        throw;
    }
}

// Runs `cleanup` after `body`, also when `body` raised, like try/finally.
template <class BodyF, class CleanupF>
void try_finally(BodyF&& body, CleanupF&& cleanup) {
    on_error(body, cleanup);
    cleanup();
}

}  // namespace vc

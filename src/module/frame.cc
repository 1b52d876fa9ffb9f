#include "module/frame.h"

#include <algorithm>
#include <string>

#include "module/panic.h"

namespace tessaryn::py {
namespace {

constexpr std::array<const char*, static_cast<std::size_t>(Param::count_)> kParamNames{
    "qubit", "control", "target", "qubits", "qubit_amount", "seed", "edges", "vops", "region", "pauli", "memo",
    "circuit", "text", "stabilizers", "bit_packed", "threads", "shots", "prepend_observables", "append_observables",
    "separate_observables", "dets_out", "obs_out", "progress"};

std::array<PyObject*, static_cast<std::size_t>(Param::count_)> g_interned{};

std::string display_name(const FunctionDescription& d) { return std::string(d.cls) + "." + d.name + "()"; }

// Position of keyword `name` among d's parameters, or -1.
Py_ssize_t find_param(const FunctionDescription& d, PyObject* name) {
    for (Py_ssize_t i = 0; i < d.count; ++i) {
        if (g_interned[static_cast<std::size_t>(d.params[i])] == name) return i;
    }
    if (!PyUnicode_Check(name)) return -1;
    for (Py_ssize_t i = 0; i < d.count; ++i) {
        if (PyUnicode_CompareWithASCIIString(name, param_name(d.params[i])) == 0) return i;
    }
    PyErr_Clear();  // a name that is not valid text simply matches nothing
    return -1;
}

[[gnu::cold]] void too_many_positional(const FunctionDescription& d, Py_ssize_t nargs) {
    // The exact class's message keeps its plural whatever the count.
    const bool singular = d.style == FaultStyle::ordinary && d.positional_count() == 1;
    PyErr_Format(PyExc_TypeError, "%s takes %zd positional %s but %zd %s given", display_name(d).c_str(),
                 d.positional_count(), singular ? "argument" : "arguments", nargs, nargs == 1 ? "was" : "were");
}

// Places one keyword argument; false with a TypeError set when it does not fit.
bool place_keyword(const FunctionDescription& d, PyObject* name, PyObject* value, PyObject** slots) {
    const Py_ssize_t at = find_param(d, name);
    if (at < 0) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", display_name(d).c_str(), name);
        return false;
    }
    if (slots[at] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", display_name(d).c_str(),
                     param_name(d.params[at]));
        return false;
    }
    slots[at] = value;
    return true;
}

// Fails with the "missing" message when any required parameter is still unbound.
bool check_missing(const FunctionDescription& d, PyObject* const* slots) {
    std::string names;
    Py_ssize_t missing = 0;
    std::array<const char*, kMaxParams> which{};
    for (Py_ssize_t i = 0; i < d.required_count(); ++i)
        if (slots[i] == nullptr) which[missing++] = param_name(d.params[i]);
    if (missing == 0) return true;
    // Two names read "'a' and 'b'"; three or more would read "'a', 'b', and 'c'".
    for (Py_ssize_t i = 0; i < missing; ++i) {
        if (i > 0) names += (missing == 2) ? " and " : (i + 1 == missing ? ", and " : ", ");
        names += std::string("'") + which[i] + "'";
    }
    PyErr_Format(PyExc_TypeError, "%s missing %zd required positional %s: %s", display_name(d).c_str(), missing,
                 missing == 1 ? "argument" : "arguments", names.c_str());
    return false;
}

}  // namespace

const char* param_name(Param p) noexcept { return kParamNames[static_cast<std::size_t>(p)]; }

bool intern_param_names() noexcept {
    for (std::size_t i = 0; i < kParamNames.size(); ++i) {
        if (g_interned[i] != nullptr) continue;
        g_interned[i] = PyUnicode_InternFromString(kParamNames[i]);
        if (g_interned[i] == nullptr) return false;
    }
    return true;
}

[[gnu::cold]] PyObject* const* bind_fastcall_slow(const FunctionDescription& d, PyObject* const* args,
                                                  Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) noexcept {
    if (nargs > d.positional_count()) {
        too_many_positional(d, nargs);
        return nullptr;
    }
    std::fill(slots, slots + d.count, nullptr);
    std::copy(args, args + nargs, slots);
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k)
            if (!place_keyword(d, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], slots)) return nullptr;
    }
    return check_missing(d, slots) ? slots : nullptr;
}

bool bind_tuple_dict(const FunctionDescription& d, PyObject* args, PyObject* kwargs, PyObject** slots) noexcept {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > d.positional_count()) {
        too_many_positional(d, nargs);
        return false;
    }
    std::fill(slots, slots + d.count, nullptr);
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value))
            if (!place_keyword(d, key, value, slots)) return false;
    }
    return check_missing(d, slots);
}

bool argument_extraction_error(Param p, FaultStyle style) {
    Ref exc = fetch_error();
    if (!exc) return false;
    if (style == FaultStyle::panic && is_panic(exc.get())) resume_panic(std::move(exc));
    if (Py_TYPE(exc.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        restore_error(std::move(exc));
        return false;
    }
    Ref message(PyUnicode_FromFormat("argument '%s': %S", param_name(p), exc.get()));
    if (!message) return false;  // the error of building it is pending instead
    Ref relabelled(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!relabelled) return false;
    PyException_SetCause(relabelled.get(), PyException_GetCause(exc.get()));
    restore_error(std::move(relabelled));
    return false;
}

void cast_error(PyObject* obj, const char* expected) noexcept {
    Ref qualname(PyType_GetQualName(Py_TYPE(obj)));
    if (!qualname) return;
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be cast as '%s'", qualname.get(), expected);
}

void raise_borrow_error(Access refused) noexcept {
    PyErr_SetString(PyExc_RuntimeError, refused == Access::exclusive ? "Already borrowed" : "Already mutably borrowed");
}

// Converts an int (or int subclass) without relabelling errors.
static bool to_u64(PyObject* obj, std::uint64_t* out) {
    if (PyLong_Check(obj)) {
        const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
        if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
        *out = v;
        return true;
    }
    Ref index(PyNumber_Index(obj));
    if (!index) return false;
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    *out = v;
    return true;
}

bool extract_index_slow(PyObject* obj, Param p, FaultStyle style, std::uint64_t n, std::uint64_t* out) {
    return to_u64(obj, out) || index_conversion_failed(obj, p, style, n);
}

bool index_conversion_failed(PyObject* obj, Param p, FaultStyle style, std::uint64_t n) {
    if (style == FaultStyle::ordinary && PyErr_ExceptionMatches(PyExc_OverflowError)) {
        // An integer, but negative or beyond 64 bits: for a user, an index out of range (or a
        // size that cannot be).
        Ref saved = fetch_error();
        if (Ref value{PyNumber_Index(obj)}) {
            if (p == Param::qubit_amount)
                PyErr_Format(PyExc_ValueError, "qubit_amount must be an integer from 0 to 2**64 - 1, not %S",
                             value.get());
            else
                PyErr_Format(PyExc_IndexError, "qubit %S is out of range for a simulator of %llu qubits", value.get(),
                             static_cast<unsigned long long>(n));
            return false;
        }
        PyErr_Clear();
        restore_error(std::move(saved));
    }
    return argument_extraction_error(p, style);
}

bool extract_index_set(PyObject* obj, Param p, FaultStyle style, std::uint64_t n, std::vector<std::uint64_t>& out) {
    if (!PyAnySet_Check(obj)) {
        cast_error(obj, "set");
        return argument_extraction_error(p, style);
    }
    out.clear();
    Ref it(PyObject_GetIter(obj));
    if (it) {
        while (Ref item{PyIter_Next(it.get())}) {
            std::uint64_t v;
            if (!to_u64(item.get(), &v)) return index_conversion_failed(item.get(), p, style, n);
            out.push_back(v);
        }
    }
    if (PyErr_Occurred()) {
        // Iteration itself failed (a subclass's iterator raised, or the set changed size).
        if (style == FaultStyle::ordinary) return false;
        Ref exc = fetch_error();
        if (is_panic(exc.get())) resume_panic(std::move(exc));
        if (PyErr_GivenExceptionMatches(exc.get(), PyExc_MemoryError)) {
            // Out of memory is not a fault of the set: the call fails as any allocation would.
            restore_error(std::move(exc));
            return false;
        }
        std::string text = "iterating over `qubits` failed";
        if (Ref str{PyObject_Str(exc.get())}) {
            if (const char* utf8 = PyUnicode_AsUTF8(str.get())) text += std::string(": ") + utf8;
        }
        PyErr_Clear();
        fail(std::move(text));
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return true;
}

}  // namespace tessaryn::py

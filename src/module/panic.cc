#include "module/panic.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace tessaryn::py {
namespace {

PyObject* g_panic_type = nullptr;

constexpr const char* kPanicDoc =
    "\nThe exception raised when native code called from Python hits an internal fault.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

// Source paths are absolute at build time; the part from "src/" on is what a reader needs.
std::string_view short_path(std::string_view path) {
    const auto at = path.rfind("src/");
    return at == std::string_view::npos ? path : path.substr(at);
}

}  // namespace

PyObject* panic_type() noexcept {
    if (g_panic_type == nullptr)
        g_panic_type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
    return g_panic_type;
}

bool is_panic(PyObject* exc) noexcept {
    return g_panic_type != nullptr && exc != nullptr &&
           PyObject_TypeCheck(exc, reinterpret_cast<PyTypeObject*>(g_panic_type));
}

void abort_uncaught() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

void report_fault(const Fault& fault) noexcept {
    const std::string_view file = short_path(fault.where().file_name());
    std::fprintf(stderr, "tessaryn: internal fault at %.*s:%u:%u:\n%s\n", static_cast<int>(file.size()), file.data(),
                 static_cast<unsigned>(fault.where().line()), static_cast<unsigned>(fault.where().column()),
                 fault.message().c_str());
    std::fflush(stderr);
}

void raise_panic(const std::string& message) noexcept {
    PyObject* type = panic_type();
    if (type == nullptr) abort_uncaught();
    // Without the memory for the message, the failure to make it is what gets reported: a
    // MemoryError, rather than ending the process.
    Ref text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return;
    PyErr_SetObject(type, text.get());
}

void raise_ordinary(const Fault& fault) noexcept {
    switch (fault.kind()) {
        case FaultKind::index:
            PyErr_Format(PyExc_IndexError, "qubit %llu is out of range for a simulator of %llu qubits",
                         static_cast<unsigned long long>(fault.value(1)),
                         static_cast<unsigned long long>(fault.value(0)));
            return;
        case FaultKind::same_qubits:
            PyErr_Format(PyExc_ValueError, "control and target must be different qubits, but both are %llu",
                         static_cast<unsigned long long>(fault.value(0)));
            return;
        case FaultKind::bad_value:
            PyErr_SetString(PyExc_ValueError, fault.message().c_str());
            return;
        case FaultKind::entropy:
            PyErr_SetString(PyExc_OSError, fault.message().c_str());
            return;
        case FaultKind::capacity:
            PyErr_Format(PyExc_MemoryError, "cannot hold %llu qubits: no machine word can count their memory",
                         static_cast<unsigned long long>(fault.value(0)));
            return;
        case FaultKind::other:
            break;
    }
    PyErr_SetString(PyExc_SystemError, fault.message().c_str());
}

void raise_no_memory(const std::bad_alloc& e) noexcept {
    if (dynamic_cast<const OutOfMemory*>(&e) != nullptr)
        PyErr_SetString(PyExc_MemoryError, e.what());
    else
        PyErr_NoMemory();
}

void resume_panic(Ref exc) {
    std::string message = "(no message)";
    if (Ref text{PyObject_Str(exc.get())}) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size)) message.assign(utf8, size);
    }
    PyErr_Clear();
    std::fputs("--- tessaryn is resuming an internal fault raised in Python code it called. ---\n"
               "Python stack trace below:\n",
               stderr);
    display_error(exc.get());
    throw ResumedFault(std::move(message));
}

}  // namespace tessaryn::py

#include "module/tools_circuit.h"

#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "module/frame.h"
#include "module/panic.h"
#include "module/tools_sampler.h"
#include "module/values.h"

namespace tessaryn::py {
namespace {

PyTypeObject* g_circuit = nullptr;

struct CircuitObject {
    PyObject_HEAD
    circuit::Circuit circuit;
};

CircuitObject* as_circuit(PyObject* self) { return reinterpret_cast<CircuitObject*>(self); }

bool is_circuit(PyObject* obj) {
    return g_circuit != nullptr && (Py_IS_TYPE(obj, g_circuit) || PyType_IsSubtype(Py_TYPE(obj), g_circuit));
}

constexpr FaultStyle kOrdinary = FaultStyle::ordinary;

// The text of `obj`: a str as it is, anything else through str(). Null with an error set.
Ref text_of(PyObject* obj) {
    if (PyUnicode_Check(obj)) return Ref(Py_NewRef(obj));
    return Ref(PyObject_Str(obj));
}

bool parse_into(PyObject* obj, std::optional<circuit::Circuit>& out) {
    Ref text = text_of(obj);
    if (!text) return false;
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (data == nullptr) return false;
    try {
        out.emplace(circuit::Circuit::parse(std::string_view(data, static_cast<std::size_t>(size))));
    } catch (const circuit::ParseError& e) {
        PyErr_SetString(PyExc_ValueError, e.message.c_str());
        return false;
    }
    return true;
}

PyObject* circuit_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    static constexpr FunctionDescription kNew{"Circuit", "__new__", {Param::text}, 1, kOrdinary, 0};
    return trampoline<kOrdinary>([&]() -> PyObject* {
        PyObject* slots[kMaxParams];
        if (!bind_tuple_dict(kNew, args, kwargs, slots)) return nullptr;
        std::optional<circuit::Circuit> parsed;
        if (slots[0] == nullptr)
            parsed.emplace();
        else if (is_circuit(slots[0]))
            parsed.emplace(as_circuit(slots[0])->circuit);
        else if (!parse_into(slots[0], parsed))
            return nullptr;
        PyObject* obj = alloc_instance(type);
        if (obj == nullptr) return nullptr;
        new (&as_circuit(obj)->circuit) circuit::Circuit(std::move(*parsed));
        return obj;
    });
}

void circuit_dealloc(PyObject* self) noexcept {
    as_circuit(self)->circuit.~Circuit();
    free_instance(self);
}

PyObject* circuit_str(PyObject* self) noexcept {
    return trampoline<kOrdinary>([&]() -> PyObject* {
        const std::string text = as_circuit(self)->circuit.str();
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

PyObject* circuit_repr(PyObject* self) noexcept {
    return trampoline<kOrdinary>([&]() -> PyObject* {
        const std::string text = as_circuit(self)->circuit.str();
        if (text.empty()) return PyUnicode_FromString("tessaryn_tools.Circuit()");
        std::string out = "tessaryn_tools.Circuit('''\n";
        std::size_t start = 0;
        while (start <= text.size()) {
            const std::size_t end = std::min(text.find('\n', start), text.size());
            out += "    ";
            out.append(text, start, end - start);
            out += '\n';
            start = end + 1;
        }
        out += "''')";
        return PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
    });
}

Py_ssize_t circuit_length(PyObject* self) noexcept { return static_cast<Py_ssize_t>(as_circuit(self)->circuit.size()); }

PyObject* circuit_richcompare(PyObject* self, PyObject* other, int op) noexcept {
    if ((op != Py_EQ && op != Py_NE) || !is_circuit(other)) Py_RETURN_NOTIMPLEMENTED;
    const bool same = as_circuit(self)->circuit == as_circuit(other)->circuit;
    return PyBool_FromLong(same == (op == Py_EQ));
}

PyObject* get_count(PyObject* self, void* which) noexcept {
    const circuit::Circuit& c = as_circuit(self)->circuit;
    const auto k = reinterpret_cast<std::uintptr_t>(which);
    const std::uint64_t n = k == 0 ? c.num_qubits() : k == 1 ? c.num_measurements() : k == 2 ? c.num_detectors()
                                                                                             : c.num_observables();
    return PyLong_FromUnsignedLongLong(n);
}

PyObject* circuit_reduce(PyObject* self, PyObject*) noexcept {
    return trampoline<kOrdinary>([&]() -> PyObject* {
        Ref text(circuit_str(self));
        if (!text) return nullptr;
        return Py_BuildValue("(O(O))", reinterpret_cast<PyObject*>(Py_TYPE(self)), text.get());
    });
}

PyObject* reference_sample(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static constexpr FunctionDescription kSample{"Circuit", "reference_sample", {Param::bit_packed}, 1, kOrdinary, 0, 0};
    return trampoline<kOrdinary>([&]() -> PyObject* {
        PyObject* slots[kMaxParams];
        PyObject* const* argv = bind_fastcall(kSample, args, nargs, kwnames, slots);
        if (argv == nullptr) return nullptr;
        int packed = 0;
        if (argv[0] != nullptr && (packed = PyObject_IsTrue(argv[0])) < 0) return nullptr;
        // Imported before the run, whose result it holds.
        Ref numpy(PyImport_ImportModule("numpy"));
        if (!numpy) return nullptr;
        const circuit::Circuit& c = as_circuit(self)->circuit;
        circuit::MeasurementRecord record;
        {
            WithoutLock unlocked;
            record = circuit::reference_sample(c, &unlocked);
        }
        if (PyErr_Occurred()) return nullptr;  // interrupted
        return results_to_numpy(record, 0, record.size(), packed != 0);
    });
}

PyObject* circuit_compile_sampler(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return compile_sampler(as_circuit(self)->circuit, false, args, nargs, kwnames);
}

PyObject* circuit_compile_detector_sampler(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames) noexcept {
    return compile_sampler(as_circuit(self)->circuit, true, args, nargs, kwnames);
}

PyMethodDef g_methods[] = {
    {"compile_sampler", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(circuit_compile_sampler)),
     METH_FASTCALL | METH_KEYWORDS,
     "compile_sampler($self, *, seed=None, threads=None)\n--\n\n"
     "A CompiledMeasurementSampler of this circuit: many shots of its measurement results at a\n"
     "time, in stim's layouts. Finds the reference sample here (reference_sample(), on the graph\n"
     "engine), then samples with Pauli frames. seed: None (keyed from the operating system) or an\n"
     "int from 0 to 2**256 - 1, which fixes every shot. threads: how many threads sample() runs\n"
     "on; None for the processors this process may use. ValueError for a circuit that cannot run\n"
     "(a record target reaching before the start)."},
    {"compile_detector_sampler",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(circuit_compile_detector_sampler)),
     METH_FASTCALL | METH_KEYWORDS,
     "compile_detector_sampler($self, *, seed=None, threads=None)\n--\n\n"
     "A CompiledDetectorSampler of this circuit: many shots of its detection events and\n"
     "observable flips at a time, in stim's layouts, with Pauli frames (no reference sample is\n"
     "needed). seed and threads as for compile_sampler()."},
    {"reference_sample", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reference_sample)),
     METH_FASTCALL | METH_KEYWORDS,
     "reference_sample($self, *, bit_packed=False)\n--\n\n"
     "The circuit's results when every random outcome is +1 (recorded as 0) and noise does\n"
     "nothing: a noiseless sample in the layout of stim's reference sample, so that it can be\n"
     "handed to stim.Circuit.compile_sampler(reference_sample=...). Its certain results,\n"
     "detectors and observables are those of stim's own reference sample; a random result may\n"
     "differ, as stim takes some of them as 1. A numpy array of num_measurements bools, or\n"
     "with bit_packed=True of uint8, eight results a byte, the first in the lowest bit. Runs on\n"
     "the graph engine from |0...0> without the interpreter lock, at do_circuit's cost (a\n"
     "10^6-qubit 1D cluster circuit in a quarter of a second); Ctrl-C stops it. Needs numpy."},
    {"__reduce__", circuit_reduce, METH_NOARGS,
     "__reduce__($self, /)\n--\n\nPickling: the circuit as its text."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_getset[] = {
    {"num_qubits", get_count, nullptr, "One more than the largest qubit any target names.", reinterpret_cast<void*>(0)},
    {"num_measurements", get_count, nullptr, "The results a run records, repetitions counted.",
     reinterpret_cast<void*>(1)},
    {"num_detectors", get_count, nullptr, "The detectors a run declares, repetitions counted.",
     reinterpret_cast<void*>(2)},
    {"num_observables", get_count, nullptr, "One more than the largest observable index.", reinterpret_cast<void*>(3)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kClassDoc =
    "Circuit(text='')\n--\n\n"
    "A circuit in stim's circuit language: `text`, or any object whose str() is such text (a\n"
    "stim.Circuit as it is). Every instruction of that language is read: the Clifford gates by\n"
    "all their names, measurements, resets, pair and Pauli-product measurements and phases,\n"
    "every noise channel, classical feedback from the measurement record, REPEAT blocks (kept\n"
    "once, never unrolled) and the annotations.\n\n"
    "Parsing is one pass over the text. Text that does not parse raises ValueError naming the\n"
    "line and column and what was expected. str() gives the circuit back as text (numbers in\n"
    "their shortest exact form), repr() as a constructor call; circuits compare by their\n"
    "instructions and pickle as their text. Run one with Simulator.do_circuit, or take its\n"
    "reference_sample().";

}  // namespace

PyTypeObject* tools_circuit_type() noexcept {
    if (g_circuit != nullptr) return g_circuit;
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(kClassDoc)},
        {Py_tp_new, reinterpret_cast<void*>(circuit_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(circuit_dealloc)},
        {Py_tp_str, reinterpret_cast<void*>(circuit_str)},
        {Py_tp_repr, reinterpret_cast<void*>(circuit_repr)},
        {Py_tp_richcompare, reinterpret_cast<void*>(circuit_richcompare)},
        {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
        {Py_sq_length, reinterpret_cast<void*>(circuit_length)},
        {Py_tp_methods, g_methods},
        {Py_tp_getset, g_getset},
        {0, nullptr},
    };
    g_circuit = create_type("tessaryn_tools.Circuit", sizeof(CircuitObject), 0, slots);
    return g_circuit;
}

bool extract_circuit(PyObject* obj, CircuitArg& out) {
    if (is_circuit(obj)) {
        out.circuit = &as_circuit(obj)->circuit;
        return true;
    }
    if (!parse_into(obj, out.parsed)) return false;
    out.circuit = &*out.parsed;
    return true;
}

PyObject* results_to_numpy(const circuit::MeasurementRecord& record, std::uint64_t from, std::uint64_t count,
                           bool packed) {
    Ref numpy(PyImport_ImportModule("numpy"));
    if (!numpy) {
        if (PyErr_ExceptionMatches(PyExc_ImportError)) {
            PyErr_Clear();
            PyErr_SetString(PyExc_ImportError, "this call returns a numpy array and needs numpy: pip install numpy");
        }
        return nullptr;
    }
    const std::uint64_t length = packed ? (count + 7) / 8 : count;
    Ref array(PyObject_CallMethod(numpy.get(), "zeros", "(Ks)", static_cast<unsigned long long>(length),
                                  packed ? "uint8" : "bool"));
    if (!array) return nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(array.get(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) != 0) return nullptr;
    auto* out = static_cast<std::uint8_t*>(view.buf);
    if (packed) {
        for (std::uint64_t i = 0; i < count; ++i)
            if (record.at(from + i)) out[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
    } else {
        for (std::uint64_t i = 0; i < count; ++i) out[i] = record.at(from + i) ? 1 : 0;
    }
    PyBuffer_Release(&view);
    return array.release();
}

}  // namespace tessaryn::py

#include "module/tools_sampler.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <thread>

#if defined(__linux__)
#include <sched.h>
#endif

#include "circuit/frames.h"
#include "circuit/run.h"
#include "engine/random.h"
#include "module/frame.h"
#include "module/panic.h"
#include "module/tools_circuit.h"
#include "module/tools_convert.h"
#include "module/values.h"

namespace tessaryn::py {
namespace {

constexpr FaultStyle kOrdinary = FaultStyle::ordinary;

PyTypeObject* g_measurement_sampler = nullptr;
PyTypeObject* g_detector_sampler = nullptr;

struct SamplerObject {
    PyObject_HEAD
    circuit::FrameSampler* sampler;  // owned
    BorrowFlag borrow_flag;
    std::uint64_t next_shot;  // the index of the next shot sampled
    unsigned threads;
    bool seeded;
};

SamplerObject* as_sampler(PyObject* self) { return reinterpret_cast<SamplerObject*>(self); }

// The processors this process may run on.
unsigned available_cores() noexcept {
#if defined(__linux__)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) return static_cast<unsigned>(std::max(1, CPU_COUNT(&set)));
#endif
    return std::max(1u, std::thread::hardware_concurrency());
}

bool extract_threads(PyObject* obj, unsigned& out) {
    if (obj == nullptr || obj == Py_None) {
        out = available_cores();
        return true;
    }
    if (!PyLong_Check(obj) || PyBool_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "threads must be an int or None, not '%s'", Py_TYPE(obj)->tp_name);
        return false;
    }
    const long long v = PyLong_AsLongLong(obj);
    if (v == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
    }
    if (v < 1 || v > 4096) {
        PyErr_Format(PyExc_ValueError, "threads must be from 1 to 4096, not %S", obj);
        return false;
    }
    out = static_cast<unsigned>(v);
    return true;
}

bool extract_shots(PyObject* obj, std::uint64_t& out) {
    if (!PyIndex_Check(obj) || PyBool_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "shots must be an int, not '%s'", Py_TYPE(obj)->tp_name);
        return false;
    }
    Ref value(PyNumber_Index(obj));
    if (!value) return false;
    const unsigned long long v = PyLong_AsUnsignedLongLong(value.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
        PyErr_Format(PyExc_ValueError, "shots must be a non-negative int below 2**63, not %S", value.get());
        return false;
    }
    if (v >= (1ull << 63)) {
        PyErr_Format(PyExc_ValueError, "shots must be a non-negative int below 2**63, not %S", value.get());
        return false;
    }
    out = v;
    return true;
}

bool extract_flag(PyObject* obj, bool& out) {
    out = false;
    if (obj == nullptr) return true;
    const int v = PyObject_IsTrue(obj);
    if (v < 0) return false;
    out = v != 0;
    return true;
}

// --- Output arrays -----------------------------------------------------------------------------

// One output array: made here, or the caller's, held open while the sampler writes into it.
class Output {
public:
    Output() = default;
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
    ~Output() {
        if (open_) PyBuffer_Release(&view_);
    }

    /// A zeroed array of `rows` × `columns` results, bool or (packed) uint8 with eight a byte:
    /// `given` when not null (checked: C-contiguous, writable, that shape and dtype), else new.
    bool make(PyObject* numpy, PyObject* given, const char* name, std::uint64_t rows, std::uint64_t columns,
              bool packed) {
        const std::uint64_t width = packed ? (columns + 7) / 8 : columns;
        if (given == nullptr || given == Py_None) {
            array_ = Ref(PyObject_CallMethod(numpy, "zeros", "((KK)s)", static_cast<unsigned long long>(rows),
                                             static_cast<unsigned long long>(width), packed ? "uint8" : "bool"));
            if (!array_) return false;
        } else {
            array_ = Ref(Py_NewRef(given));
        }
        if (PyObject_GetBuffer(array_.get(), &view_, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
            if (given == nullptr || given == Py_None) return false;
            PyErr_Clear();
            return wrong(name, rows, width, packed);
        }
        open_ = true;
        const char* format = view_.format == nullptr ? "B" : view_.format;
        const bool format_ok = packed ? std::strcmp(format, "B") == 0 : std::strcmp(format, "?") == 0;
        if (view_.ndim != 2 || view_.itemsize != 1 || !format_ok || static_cast<std::uint64_t>(view_.shape[0]) != rows ||
            static_cast<std::uint64_t>(view_.shape[1]) != width)
            return wrong(name, rows, width, packed);
        if (given != nullptr && given != Py_None) std::memset(view_.buf, 0, static_cast<std::size_t>(view_.len));
        return true;
    }

    circuit::BitDestination at(std::uint64_t column, bool packed) const noexcept {
        circuit::BitDestination d;
        d.base = static_cast<std::uint8_t*>(view_.buf);
        d.row_bytes = static_cast<std::size_t>(view_.ndim == 2 ? view_.shape[1] : 0);
        d.column = column;
        d.packed = packed;
        return d;
    }
    PyObject* array() const noexcept { return array_.get(); }

private:
    bool wrong(const char* name, std::uint64_t rows, std::uint64_t width, bool packed) {
        PyErr_Format(PyExc_ValueError,
                     "%s must be a writable C-contiguous numpy array of shape (%llu, %llu) and dtype %s, not %R", name,
                     static_cast<unsigned long long>(rows), static_cast<unsigned long long>(width),
                     packed ? "uint8" : "bool", array_.get());
        return false;
    }

    Ref array_;
    Py_buffer view_{};
    bool open_ = false;
};

Ref import_numpy() {
    Ref numpy(PyImport_ImportModule("numpy"));
    if (!numpy && PyErr_ExceptionMatches(PyExc_ImportError)) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ImportError, "sampling returns numpy arrays and needs numpy: pip install numpy");
    }
    return numpy;
}

// --- Watching a sampling run ---------------------------------------------------------------------

// Runs with the interpreter lock released; takes it back a few times a second to run signal
// handlers (Ctrl-C stops the sampling) and to report progress: to a callable as
// progress(shots_done, shots), or with progress=True to a tqdm bar when tqdm is installed and a
// line on standard error otherwise.
class Watch final : public circuit::SampleMonitor {
public:
    Watch(PyObject* progress, std::uint64_t shots) : progress_(progress), shots_(shots) {
        if (progress_ == Py_None) progress_ = nullptr;
    }
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;

    bool check() {
        if (progress_ == nullptr) return true;
        if (PyCallable_Check(progress_)) return true;
        const int on = PyObject_IsTrue(progress_);
        if (on < 0) return false;
        if (on == 0) progress_ = nullptr;
        return true;
    }
    void release() noexcept { state_ = PyEval_SaveThread(); }
    void reacquire() noexcept { PyEval_RestoreThread(state_); }

    bool keep_going(std::uint64_t done) override {
        reacquire();
        const bool go = PyErr_CheckSignals() == 0 && report(done);
        release();
        return go;
    }

    /// Closes a bar or a line that was started. Keeps a pending error.
    void finish() {
        if (bar_) {
            Ref pending = PyErr_Occurred() ? fetch_error() : Ref();
            Ref closed(PyObject_CallMethod(bar_.get(), "close", nullptr));
            if (!closed) PyErr_Clear();
            if (pending) restore_error(std::move(pending));
        } else if (line_) {
            PySys_WriteStderr("\n");
        }
    }

private:
    bool report(std::uint64_t done) {
        if (progress_ == nullptr) return true;
        if (PyCallable_Check(progress_)) {
            Ref r(PyObject_CallFunction(progress_, "KK", static_cast<unsigned long long>(done),
                                        static_cast<unsigned long long>(shots_)));
            return static_cast<bool>(r);
        }
        if (!bar_ && !line_) {
            Ref tqdm(PyImport_ImportModule("tqdm"));
            if (tqdm) {
                Ref make(PyObject_GetAttrString(tqdm.get(), "tqdm"));
                Ref none(PyTuple_New(0));
                Ref options(Py_BuildValue("{sKss}", "total", static_cast<unsigned long long>(shots_), "unit", "shot"));
                if (!make || !none || !options) return false;
                bar_ = Ref(PyObject_Call(make.get(), none.get(), options.get()));
                if (!bar_) return false;
            } else if (PyErr_ExceptionMatches(PyExc_ImportError)) {
                PyErr_Clear();
                line_ = true;
            } else {
                return false;
            }
        }
        if (bar_) {
            Ref r(PyObject_CallMethod(bar_.get(), "update", "K", static_cast<unsigned long long>(done - reported_)));
            reported_ = done;
            return static_cast<bool>(r);
        }
        PySys_WriteStderr("\rsampled %llu of %llu shots", static_cast<unsigned long long>(done),
                          static_cast<unsigned long long>(shots_));
        return true;
    }

    PyObject* progress_;
    std::uint64_t shots_;
    std::uint64_t reported_ = 0;
    Ref bar_;
    bool line_ = false;
    PyThreadState* state_ = nullptr;
};

// Runs `request` on `self`'s sampler with the lock released; advances its shot count when all
// went through. Null result: error set.
bool run_sampler(SamplerObject* self, circuit::SampleRequest& request, PyObject* progress) {
    Watch watch(progress, request.shots);
    if (!watch.check()) return false;
    Borrow<Access::exclusive> borrow(self->borrow_flag);
    if (!borrow) return false;
    request.first_shot = self->next_shot;
    request.threads = self->threads;
    bool finished = false;
    {
        watch.release();
        struct Again {
            Watch& w;
            ~Again() { w.reacquire(); }
        } again{watch};
        finished = self->sampler->sample(request, &watch);
    }
    watch.finish();
    if (!finished) {
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
        return false;
    }
    self->next_shot += request.shots;
    return true;
}

// --- Methods ---------------------------------------------------------------------------------

PyObject* measurement_sample(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static constexpr FunctionDescription kSample{
        "CompiledMeasurementSampler", "sample", {Param::shots, Param::bit_packed, Param::progress}, 3, kOrdinary, 1, 1};
    return trampoline<kOrdinary>([&]() -> PyObject* {
        PyObject* slots[kMaxParams];
        PyObject* const* argv = bind_fastcall(kSample, args, nargs, kwnames, slots);
        if (argv == nullptr) return nullptr;
        std::uint64_t shots = 0;
        bool packed = false;
        if (!extract_shots(argv[0], shots) || !extract_flag(argv[1], packed)) return nullptr;
        Ref numpy = import_numpy();
        if (!numpy) return nullptr;
        SamplerObject* s = as_sampler(self);
        Output out;
        if (!out.make(numpy.get(), nullptr, "out", shots, s->sampler->circuit().num_measurements(), packed))
            return nullptr;
        circuit::SampleRequest request;
        request.shots = shots;
        request.measurements = out.at(0, packed);
        if (!run_sampler(s, request, argv[2])) return nullptr;
        return Py_NewRef(out.array());
    });
}

PyObject* detector_sample(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static constexpr FunctionDescription kSample{"CompiledDetectorSampler",
                                                 "sample",
                                                 {Param::shots, Param::prepend_observables, Param::append_observables,
                                                  Param::separate_observables, Param::bit_packed, Param::dets_out,
                                                  Param::obs_out, Param::progress},
                                                 8,
                                                 kOrdinary,
                                                 1,
                                                 1};
    return trampoline<kOrdinary>([&]() -> PyObject* {
        PyObject* slots[kMaxParams];
        PyObject* const* argv = bind_fastcall(kSample, args, nargs, kwnames, slots);
        if (argv == nullptr) return nullptr;
        std::uint64_t shots = 0;
        bool prepend = false, append = false, separate = false, packed = false;
        if (!extract_shots(argv[0], shots) || !extract_flag(argv[1], prepend) || !extract_flag(argv[2], append) ||
            !extract_flag(argv[3], separate) || !extract_flag(argv[4], packed))
            return nullptr;
        PyObject* dets_out = argv[5] == Py_None ? nullptr : argv[5];
        PyObject* obs_out = argv[6] == Py_None ? nullptr : argv[6];
        if (separate && (prepend || append)) {
            PyErr_SetString(PyExc_ValueError,
                            "separate_observables=True puts the observables in an array of their own, so it cannot "
                            "be combined with prepend_observables or append_observables");
            return nullptr;
        }
        if (obs_out != nullptr && !separate) {
            PyErr_SetString(PyExc_ValueError, "obs_out is for separate_observables=True, where observables have an "
                                              "array of their own");
            return nullptr;
        }
        Ref numpy = import_numpy();
        if (!numpy) return nullptr;
        SamplerObject* s = as_sampler(self);
        const circuit::Circuit& c = s->sampler->circuit();
        const std::uint64_t dets = c.num_detectors(), obs = c.num_observables();
        const std::uint64_t columns = dets + (prepend ? obs : 0) + (append ? obs : 0);
        Output main, own;
        if (!main.make(numpy.get(), dets_out, "dets_out", shots, columns, packed)) return nullptr;
        if (separate && !own.make(numpy.get(), obs_out, "obs_out", shots, obs, packed)) return nullptr;
        circuit::SampleRequest request;
        request.shots = shots;
        request.detectors = main.at(prepend ? obs : 0, packed);
        if (separate)
            request.observables = own.at(0, packed);
        else if (prepend || append)
            request.observables = main.at(prepend ? 0 : dets, packed);
        if (prepend && append) {
            // Both ends: the observables are written once and copied to the other end after.
            request.observables = main.at(0, packed);
        }
        if (!run_sampler(s, request, argv[7])) return nullptr;
        if (prepend && append && obs != 0) {
            const circuit::BitDestination d = main.at(0, packed);
            for (std::uint64_t shot = 0; shot < shots; ++shot) {
                std::uint8_t* row = d.base + shot * d.row_bytes;
                for (std::uint64_t j = 0; j < obs; ++j) {
                    const std::uint64_t from = j, to = dets + obs + j;
                    if (!packed) {
                        row[to] = row[from];
                    } else if ((row[from / 8] >> (from % 8)) & 1) {
                        row[to / 8] |= static_cast<std::uint8_t>(1u << (to % 8));
                    }
                }
            }
        }
        if (separate) return PyTuple_Pack(2, main.array(), own.array());
        return Py_NewRef(main.array());
    });
}

// --- The types ---------------------------------------------------------------------------------

void sampler_dealloc(PyObject* self) noexcept {
    delete as_sampler(self)->sampler;
    free_instance(self);
}

PyObject* sampler_repr(PyObject* self) noexcept {
    return trampoline<kOrdinary>([&]() -> PyObject* {
        SamplerObject* s = as_sampler(self);
        const circuit::Circuit& c = s->sampler->circuit();
        const bool detectors = Py_IS_TYPE(self, g_detector_sampler);
        const auto plural = [](std::uint64_t n, const char* what) {
            return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
        };
        std::string text = std::string("<tessaryn_tools.") +
                            (detectors ? "CompiledDetectorSampler: " + plural(c.num_detectors(), "detector") + ", " +
                                             plural(c.num_observables(), "observable")
                                       : "CompiledMeasurementSampler: " + plural(c.num_measurements(), "measurement")) +
                            ", " + plural(s->threads, "thread") + (s->seeded ? ", seeded" : "") + ", " +
                            plural(s->next_shot, "shot") + " taken>";
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

PyObject* get_threads(PyObject* self, void*) noexcept { return PyLong_FromUnsignedLong(as_sampler(self)->threads); }
PyObject* get_shots_taken(PyObject* self, void*) noexcept {
    return PyLong_FromUnsignedLongLong(as_sampler(self)->next_shot);
}
PyObject* get_circuit(PyObject* self, void*) noexcept {
    return trampoline<kOrdinary>([&]() -> PyObject* {
        PyTypeObject* type = tools_circuit_type();
        if (type == nullptr) return nullptr;
        const std::string text = as_sampler(self)->sampler->circuit().str();
        return PyObject_CallFunction(as_object(type), "s#", text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

PyGetSetDef g_getset[] = {
    {"threads", get_threads, nullptr, "The threads a sample() call runs on (at most).", nullptr},
    {"shots_taken", get_shots_taken, nullptr,
     "Shots sampled so far: the next sample() call starts at this shot's index.", nullptr},
    {"circuit", get_circuit, nullptr, "A copy of the circuit this sampler samples.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// What both samplers' sample() docstrings end with.
#define TESSARYN_SAMPLE_CALLS                                                                          \
    "Shots are numbered from 0 over the sampler's life: this call takes the next `shots` of them,\n"   \
    "and a seeded sampler's shot k is the same whatever the thread count and however the shots\n"      \
    "are split between calls (sample(100) twice gives sample(200)). Runs on up to `threads`\n"         \
    "threads without the interpreter lock. progress: None, a callable called a few times a second\n"   \
    "as progress(shots_done, shots), or True for a tqdm bar (a line on standard error without\n"       \
    "tqdm). Ctrl-C stops it (KeyboardInterrupt), taking no shots. ValueError for a negative\n"         \
    "`shots` and MemoryError for output that cannot be held, before any work."

PyMethodDef g_measurement_methods[] = {
    {"sample", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(measurement_sample)),
     METH_FASTCALL | METH_KEYWORDS,
     "sample($self, shots, *, bit_packed=False, progress=None)\n--\n\n"
     "Measurement results of `shots` shots: a numpy array of shape (shots, num_measurements)\n"
     "and dtype bool, or with bit_packed=True (shots, ceil(num_measurements / 8)) of uint8,\n"
     "result m of a shot in bit m % 8 of byte m // 8 (stim's layouts).\n\n"
     TESSARYN_SAMPLE_CALLS},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef g_detector_methods[] = {
    {"sample", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(detector_sample)),
     METH_FASTCALL | METH_KEYWORDS,
     "sample($self, shots, *, prepend_observables=False, append_observables=False,\n"
     "       separate_observables=False, bit_packed=False, dets_out=None, obs_out=None,\n"
     "       progress=None)\n--\n\n"
     "Detection events of `shots` shots, in stim's layouts: a numpy array of shape\n"
     "(shots, num_detectors) and dtype bool, with the observables' flips before the detectors\n"
     "(prepend_observables), after them (append_observables), or as a second array of shape\n"
     "(shots, num_observables) (separate_observables: a (detectors, observables) tuple).\n"
     "bit_packed=True packs eight a byte, column m of a shot in bit m % 8 of byte m // 8. dets_out\n"
     "and obs_out take arrays to write into instead (zeroed first; ValueError unless they are\n"
     "writable, C-contiguous and of the shape and dtype the call returns).\n\n"
     TESSARYN_SAMPLE_CALLS},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject* make_type(PyTypeObject*& slot, const char* name, const char* doc, PyMethodDef* methods) noexcept {
    if (slot != nullptr) return slot;
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(doc)},
        {Py_tp_dealloc, reinterpret_cast<void*>(sampler_dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(sampler_repr)},
        {Py_tp_methods, methods},
        {Py_tp_getset, g_getset},
        {0, nullptr},
    };
    slot = create_type(name, sizeof(SamplerObject), 0, slots);
    return slot;
}

constexpr const char* kMeasurementDoc =
    "Samples a circuit's measurement results many shots at a time: made by\n"
    "Circuit.compile_sampler(), not directly. Each shot is the circuit's reference sample (its\n"
    "noiseless run with every random outcome 0, found once, on the graph engine) with the flips\n"
    "that Pauli frames give: noise, and the outcomes that are random, drawn 64 shots to a machine\n"
    "word. Every instruction of the circuit language is carried, feedback from the record\n"
    "included. The results have the distribution of the circuit's, as stim's sampler's do.";

constexpr const char* kDetectorDoc =
    "Samples a circuit's detection events and observable flips many shots at a time: made by\n"
    "Circuit.compile_detector_sampler(), not directly. Pauli frames, 64 shots to a machine word,\n"
    "carry noise, the outcomes that are random and feedback from the record; a detector is the\n"
    "parity of its results' flips, so no reference sample is needed. The results have the\n"
    "distribution of the circuit's, as stim's detector sampler's do.";

}  // namespace

PyTypeObject* measurement_sampler_type() noexcept {
    return make_type(g_measurement_sampler, "tessaryn_tools.CompiledMeasurementSampler", kMeasurementDoc,
                     g_measurement_methods);
}

PyTypeObject* detector_sampler_type() noexcept {
    return make_type(g_detector_sampler, "tessaryn_tools.CompiledDetectorSampler", kDetectorDoc, g_detector_methods);
}

PyObject* compile_sampler(const circuit::Circuit& c, bool detectors, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
    static constexpr FunctionDescription kMeasurement{
        "Circuit", "compile_sampler", {Param::seed, Param::threads}, 2, kOrdinary, 0, 0};
    static constexpr FunctionDescription kDetector{
        "Circuit", "compile_detector_sampler", {Param::seed, Param::threads}, 2, kOrdinary, 0, 0};
    return trampoline<kOrdinary>([&]() -> PyObject* {
        PyObject* slots[kMaxParams];
        PyObject* const* argv = bind_fastcall(detectors ? kDetector : kMeasurement, args, nargs, kwnames, slots);
        if (argv == nullptr) return nullptr;
        std::optional<SeedKey> seed;
        unsigned threads = 1;
        if (!extract_seed(argv[0], seed) || !extract_threads(argv[1], threads)) return nullptr;
        PyTypeObject* type = detectors ? detector_sampler_type() : measurement_sampler_type();
        if (type == nullptr) return nullptr;
        circuit::SampleKey key{};
        if (seed) {
            key = *seed;
        } else if (const auto error = system_entropy(key)) {
            PyErr_Format(PyExc_OSError, "no entropy for a sampler's key: %s", error->c_str());
            return nullptr;
        }
        // Refused circuits are refused before the reference sample runs.
        circuit::check_runnable(c, c.num_qubits(), 0);
        circuit::MeasurementRecord reference;
        if (!detectors) {
            WithoutLock unlocked;
            reference = circuit::reference_sample(c, &unlocked);
        }
        if (PyErr_Occurred()) return nullptr;  // interrupted
        auto sampler = std::make_unique<circuit::FrameSampler>(c, key, std::move(reference));
        PyObject* obj = alloc_instance(type);
        if (obj == nullptr) return nullptr;
        SamplerObject* s = as_sampler(obj);
        s->sampler = sampler.release();
        new (&s->borrow_flag) BorrowFlag(0);
        s->next_shot = 0;
        s->threads = threads;
        s->seeded = seed.has_value();
        return obj;
    });
}

}  // namespace tessaryn::py

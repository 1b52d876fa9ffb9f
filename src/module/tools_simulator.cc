#include "module/tools_simulator.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "circuit/record.h"
#include "circuit/run.h"
#include "engine/build.h"
#include "engine/entropy.h"
#include "engine/fault.h"
#include "engine/graph_view.h"
#include "engine/local_complement.h"
#include "engine/moves.h"
#include "engine/random.h"
#include "engine/readout.h"
#include "engine/register.h"
#include "engine/snapshot.h"
#include "engine/thread_state.h"
#include "module/frame.h"
#include "module/methods.h"
#include "module/panic.h"
#include "module/tools_circuit.h"
#include "module/tools_convert.h"
#include "module/values.h"

namespace tessaryn::py {
namespace {

PyTypeObject* g_tools = nullptr;
PyObject* g_restore = nullptr;

struct ToolsObject {
    PyObject_HEAD
    BorrowFlag borrow_flag;
    Register reg;
    std::optional<ChaCha12Rng> stream;  // a seeded simulator's own
    circuit::MeasurementRecord record;  // every result its measurements and circuits recorded

    static ToolsObject* receiver(PyObject* self) { return checked_receiver<ToolsObject>(self, g_tools, "Simulator"); }
    /// A seeded simulator draws from its own stream, any other from the calling thread's. A call
    /// that fails leaves the stream where it was, so that later outcomes are those the call's
    /// absence would have given.
    template <class F>
    decltype(auto) with_random(F&& f) {
        if (stream) {
            const std::uint64_t position = stream->position();
            try {
                return f(*stream);
            } catch (...) {
                stream->seek(position);
                throw;
            }
        }
        ThreadRandom rng;
        return f(rng);
    }
    /// The same for a long call that may stop part way and keeps what it did, its draws included.
    template <class F>
    decltype(auto) with_random_kept(F&& f) {
        if (stream) return f(*stream);
        ThreadRandom rng;
        return f(rng);
    }
};

ToolsObject* as_tools(PyObject* self) { return reinterpret_cast<ToolsObject*>(self); }

std::optional<ChaCha12Rng> stream_for(const std::optional<SeedKey>& key) {
    if (!key) return std::nullopt;
    return ChaCha12Rng(*key, nullptr);
}

// A new simulator object holding `reg`; null with an error set.
PyObject* new_simulator(PyTypeObject* type, Register reg, std::optional<ChaCha12Rng> stream,
                        circuit::MeasurementRecord record = {}) {
    PyObject* obj = alloc_instance(type);
    if (obj == nullptr) return nullptr;
    ToolsObject* sim = as_tools(obj);
    new (&sim->borrow_flag) BorrowFlag(0);
    new (&sim->reg) Register(std::move(reg));
    new (&sim->stream) std::optional<ChaCha12Rng>(std::move(stream));
    new (&sim->record) circuit::MeasurementRecord(std::move(record));
    return obj;
}

// An exporter of one read-only array over a bytes object, for views of shapes a memoryview
// cannot be cast to (an empty (0, 2), for one). Holds only the bytes, which hold nothing.
struct ArrayObject {
    PyObject_HEAD
    PyObject* bytes;
    const char* format;
    Py_ssize_t itemsize;
    int ndim;
    Py_ssize_t shape[2];
    Py_ssize_t strides[2];
};

PyTypeObject* g_array = nullptr;

int array_getbuffer(PyObject* self, Py_buffer* view, int flags) noexcept {
    auto* a = reinterpret_cast<ArrayObject*>(self);
    if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
        PyErr_SetString(PyExc_BufferError, "the read-out of a simulator is read-only");
        view->obj = nullptr;
        return -1;
    }
    view->buf = PyBytes_AS_STRING(a->bytes);
    view->obj = Py_NewRef(self);
    view->len = PyBytes_GET_SIZE(a->bytes);
    view->readonly = 1;
    view->itemsize = a->itemsize;
    view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>(a->format) : nullptr;
    view->ndim = a->ndim;
    view->shape = (flags & PyBUF_ND) == PyBUF_ND ? a->shape : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? a->strides : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

void array_dealloc(PyObject* self) noexcept {
    Py_DECREF(reinterpret_cast<ArrayObject*>(self)->bytes);
    free_instance(self);
}

PyTypeObject* array_type() {
    if (g_array != nullptr) return g_array;
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("A read-only array read out of a simulator, behind a memoryview.")},
        {Py_tp_dealloc, reinterpret_cast<void*>(array_dealloc)},
        {Py_bf_getbuffer, reinterpret_cast<void*>(array_getbuffer)},
        {0, nullptr},
    };
    g_array = create_type("tessaryn_tools._Array", sizeof(ArrayObject), Py_TPFLAGS_DISALLOW_INSTANTIATION, slots);
    return g_array;
}

/// A read-only memoryview of `bytes` as a C-contiguous array of `rows` by `columns` items of
/// `format` (`columns` 0: one dimension of `rows`).
PyObject* view_of(Ref bytes, const char* format, Py_ssize_t itemsize, Py_ssize_t rows, Py_ssize_t columns) {
    PyTypeObject* type = array_type();
    if (type == nullptr) return nullptr;
    Ref array(alloc_instance(type));
    if (!array) return nullptr;
    auto* a = reinterpret_cast<ArrayObject*>(array.get());
    a->bytes = bytes.release();
    a->format = format;
    a->itemsize = itemsize;
    a->ndim = columns == 0 ? 1 : 2;
    a->shape[0] = rows;
    a->shape[1] = columns;
    a->strides[0] = columns == 0 ? itemsize : itemsize * columns;
    a->strides[1] = itemsize;
    return PyMemoryView_FromObject(array.get());
}

/// A new list of ints.
PyObject* int_list(const std::vector<std::uint64_t>& values) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = PyLong_FromUnsignedLongLong(values[i]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

// --- Argument shapes of the research methods --------------------------------------------------

struct AnyObject {
    bool convert(const FunctionDescription&, PyObject* const*, SizeOf) { return true; }
};

struct OptionalQubits {
    bool all = true;
    std::vector<std::uint64_t> qubits;
    bool convert(const FunctionDescription& d, PyObject* const* argv, SizeOf n) {
        all = argv[0] == nullptr || argv[0] == Py_None;
        return all || extract_qubit_list(argv[0], d.params[0], n(), qubits);
    }
};

struct Region {
    std::vector<Word> mask;
    bool convert(const FunctionDescription& d, PyObject* const* argv, SizeOf n) {
        return extract_qubit_mask(argv[0], d.params[0], n(), mask);
    }
};

struct PauliProduct {
    std::vector<PauliTerm> terms;
    bool negated = false;
    bool convert(const FunctionDescription&, PyObject* const* argv, SizeOf n) {
        return extract_pauli(argv[0], n(), terms, negated);
    }
};

// --- Research operations ----------------------------------------------------------------------

template <class T>
PyObject* to_int(T value) {
    if constexpr (std::is_signed_v<T>)
        return PyLong_FromLongLong(value);
    else
        return PyLong_FromUnsignedLongLong(value);
}

// Reads one number about q off the graph of q's group (a graph view around q).
template <class T, T (*Read)(const GraphView&, std::uint64_t)>
struct GraphQuery {
    using Args = OneIndex;
    using Result = T;
    static constexpr Access kAccess = Access::shared;
    using Prepared = NothingToPrepare;
    static T run(ToolsObject& sim, const Args& a) { return Read(GraphView::around(sim.reg, a.q), a.q); }
    static PyObject* to_python(T value, Prepared&) { return to_int(value); }
};

unsigned read_vop(const GraphView& view, std::uint64_t q) { return view.vop(q); }
std::uint64_t read_degree(const GraphView& view, std::uint64_t q) { return view.degree(q); }

// What measuring q along A is certain to give, read where q is held.
template <clifford::Axis A>
struct CertainQuery {
    using Args = OneIndex;
    using Result = int;
    static constexpr Access kAccess = Access::shared;
    using Prepared = NothingToPrepare;
    static int run(ToolsObject& sim, const Args& a) { return certain_outcome(sim.reg, a.q, A); }
    static PyObject* to_python(int value, Prepared&) { return PyLong_FromLong(value); }
};

struct Neighbours {
    using Args = OneIndex;
    using Result = std::vector<std::uint64_t>;
    static constexpr Access kAccess = Access::shared;
    using Prepared = NothingToPrepare;
    static Result run(ToolsObject& sim, const Args& a) {
        const GraphView view = GraphView::around(sim.reg, a.q);
        Result out;
        out.reserve(static_cast<std::size_t>(view.degree(a.q)));
        view.for_each_neighbour(a.q, [&](std::uint64_t w) { out.push_back(w); });
        return out;
    }
    static PyObject* to_python(const Result& r, Prepared&) { return int_list(r); }
};

struct Vops {
    using Args = NoArgs;
    using Result = Ref;
    static constexpr Access kAccess = Access::shared;
    using Prepared = NothingToPrepare;
    // A bytes object holds no references, so making it runs no Python code: it can be filled
    // while the register is borrowed, and the only copy is the output itself.
    static Ref run(ToolsObject& sim, const Args&) {
        const GraphView view = GraphView::whole(sim.reg);
        const std::uint64_t n = view.size();
        Ref bytes(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n)));
        if (!bytes) throw std::bad_alloc();
        char* out = PyBytes_AS_STRING(bytes.get());
        for (std::uint64_t v = 0; v < n; ++v) out[v] = static_cast<char>(view.vop(v));
        return bytes;
    }
    static PyObject* to_python(Ref bytes, Prepared&) {
        const Py_ssize_t n = PyBytes_GET_SIZE(bytes.get());
        return view_of(std::move(bytes), "B", 1, n, 0);
    }
};

struct Edges {
    using Args = NoArgs;
    struct Result {
        Ref bytes;
        std::uint64_t count = 0;
    };
    static constexpr Access kAccess = Access::shared;
    using Prepared = NothingToPrepare;
    static_assert(sizeof(unsigned) == sizeof(Id), "format 'I' is the width of an id");
    static Result run(ToolsObject& sim, const Args&) {
        const GraphView view = GraphView::whole(sim.reg);
        const std::uint64_t count = view.edge_count();
        Ref bytes(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(8 * count)));
        if (!bytes) throw std::bad_alloc();
        char* out = PyBytes_AS_STRING(bytes.get());
        view.for_each_edge([&](std::uint64_t u, std::uint64_t v) {
            const Id pair[2] = {static_cast<Id>(u), static_cast<Id>(v)};
            std::memcpy(out, pair, sizeof pair);
            out += sizeof pair;
        });
        return {std::move(bytes), count};
    }
    static PyObject* to_python(Result r, Prepared&) {
        return view_of(std::move(r.bytes), "I", sizeof(Id), static_cast<Py_ssize_t>(r.count), 2);
    }
};

struct ToNetworkx {
    using Args = NoArgs;
    struct Result {
        std::vector<Vop> vops;
        std::vector<Id> ends;
    };
    static constexpr Access kAccess = Access::shared;
    // Imported before the register is borrowed: importing runs Python code.
    struct Prepared {
        Ref networkx;
        bool make() {
            networkx = Ref(PyImport_ImportModule("networkx"));
            if (networkx) return true;
            if (PyErr_ExceptionMatches(PyExc_ImportError)) {
                Ref cause = fetch_error();
                PyErr_SetString(PyExc_ImportError, "to_networkx needs the networkx package: pip install networkx");
                Ref exc = fetch_error();
                PyException_SetCause(exc.get(), cause.release());
                restore_error(std::move(exc));
            }
            return false;
        }
    };
    static Result run(ToolsObject& sim, const Args&) {
        const GraphView view = GraphView::whole(sim.reg);
        Result r;
        r.vops.resize(static_cast<std::size_t>(view.size()));
        for (std::uint64_t v = 0; v < view.size(); ++v) r.vops[v] = view.vop(v);
        r.ends.reserve(static_cast<std::size_t>(2 * view.edge_count()));
        view.for_each_edge([&](std::uint64_t u, std::uint64_t v) {
            r.ends.push_back(static_cast<Id>(u));
            r.ends.push_back(static_cast<Id>(v));
        });
        return r;
    }
    static PyObject* to_python(const Result& r, Prepared& p) {
        Ref graph(PyObject_CallMethod(p.networkx.get(), "Graph", nullptr));
        if (!graph) return nullptr;
        Ref nodes(PyList_New(static_cast<Py_ssize_t>(r.vops.size())));
        if (!nodes) return nullptr;
        for (std::size_t v = 0; v < r.vops.size(); ++v) {
            PyObject* node = Py_BuildValue("(n{sI})", static_cast<Py_ssize_t>(v), "vop", unsigned{r.vops[v]});
            if (node == nullptr) return nullptr;
            PyList_SET_ITEM(nodes.get(), static_cast<Py_ssize_t>(v), node);
        }
        Ref edges(PyList_New(static_cast<Py_ssize_t>(r.ends.size() / 2)));
        if (!edges) return nullptr;
        for (std::size_t e = 0; e < r.ends.size() / 2; ++e) {
            PyObject* pair = Py_BuildValue("(II)", unsigned{r.ends[2 * e]}, unsigned{r.ends[2 * e + 1]});
            if (pair == nullptr) return nullptr;
            PyList_SET_ITEM(edges.get(), static_cast<Py_ssize_t>(e), pair);
        }
        Ref added(PyObject_CallMethod(graph.get(), "add_nodes_from", "O", nodes.get()));
        if (!added) return nullptr;
        added = Ref(PyObject_CallMethod(graph.get(), "add_edges_from", "O", edges.get()));
        if (!added) return nullptr;
        return graph.release();
    }
};

constexpr std::uint64_t kMaxStabilizerCharacters = 100'000'000;

struct Stabilizers {
    using Args = OptionalQubits;
    using Result = std::vector<Ref>;
    static constexpr Access kAccess = Access::shared;
    using Prepared = NothingToPrepare;
    // Strings hold no references either, so they are made while the register is borrowed.
    static Result run(ToolsObject& sim, const Args& a) {
        const std::uint64_t n = sim.reg.size();
        const std::uint64_t count = a.all ? n : a.qubits.size();
        if (count != 0 && (n + 1) > kMaxStabilizerCharacters / count)
            fail(FaultKind::bad_value, "the stabilizers of " + std::to_string(count) + " qubits over " +
                                           std::to_string(n) + " qubits would take " + std::to_string(count * (n + 1)) +
                                           " characters, more than the " + std::to_string(kMaxStabilizerCharacters) +
                                           " this method returns: ask for fewer qubits, or read the graph itself "
                                           "with edges() and vops()");
        const GraphView view = a.all ? GraphView::whole(sim.reg) : GraphView::around(sim.reg, a.qubits);
        Result out;
        out.reserve(static_cast<std::size_t>(count));
        for (std::uint64_t i = 0; i < count; ++i) {
            const std::uint64_t q = a.all ? i : a.qubits[i];
            Ref text(PyUnicode_New(static_cast<Py_ssize_t>(n + 1), 127));
            if (!text) throw std::bad_alloc();
            write_stabilizer(view, q, static_cast<char*>(PyUnicode_DATA(text.get())));
            out.push_back(std::move(text));
        }
        return out;
    }
    static PyObject* to_python(Result strings, Prepared&) {
        Ref list(PyList_New(static_cast<Py_ssize_t>(strings.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < strings.size(); ++i)
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), strings[i].release());
        return list.release();
    }
};

struct Expectation {
    using Args = PauliProduct;
    using Result = int;
    static constexpr Access kAccess = Access::shared;
    using Prepared = NothingToPrepare;
    static int run(ToolsObject& sim, const Args& a) { return expectation(sim.reg, a.terms, a.negated); }
    static PyObject* to_python(int value, Prepared&) { return PyLong_FromLong(value); }
};

struct LocalComplement {
    using Args = OneIndex;
    using Result = Unit;
    static constexpr Access kAccess = Access::exclusive;
    using Prepared = NothingToPrepare;
    static Unit run(ToolsObject& sim, const Args& a) {
        check_index(sim.reg.size(), a.q);
        // The complementation rewrites the graph: q's group comes back to graph form first.
        group_to_graph(sim.reg, a.q);
        local_complement(sim.reg, a.q);
        return {};
    }
    static PyObject* to_python(Unit, Prepared&) { Py_RETURN_NONE; }
};

struct Entropy {
    using Args = Region;
    using Result = std::uint64_t;
    static constexpr Access kAccess = Access::shared;
    using Prepared = NothingToPrepare;
    static std::uint64_t run(ToolsObject& sim, const Args& a) { return cut_rank(sim.reg, a.mask); }
    static PyObject* to_python(std::uint64_t value, Prepared&) { return PyLong_FromUnsignedLongLong(value); }
};

template <class ArgShape>
struct Copy {
    using Args = ArgShape;
    struct State {
        Register reg;
        std::optional<ChaCha12Rng> stream;
        circuit::MeasurementRecord record;
    };
    using Result = std::unique_ptr<State>;
    static constexpr Access kAccess = Access::shared;
    using Prepared = NothingToPrepare;
    static Result run(ToolsObject& sim, const Args&) {
        return std::make_unique<State>(State{sim.reg.clone(), sim.stream, sim.record});
    }
    static PyObject* to_python(Result state, Prepared&) {
        return new_simulator(g_tools, std::move(state->reg), std::move(state->stream), std::move(state->record));
    }
};

struct Reduce {
    using Args = NoArgs;
    using Result = Ref;
    static constexpr Access kAccess = Access::shared;
    using Prepared = NothingToPrepare;
    static Ref run(ToolsObject& sim, const Args&) {
        const GraphView view = GraphView::whole(sim.reg);
        const std::uint64_t edges = view.edge_count();
        std::optional<StreamState> stream;
        if (sim.stream) stream = StreamState{sim.stream->key(), sim.stream->position()};
        const std::size_t size = snapshot_size(view, edges, stream.has_value(), sim.record.size());
        Ref bytes(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
        if (!bytes) throw std::bad_alloc();
        write_snapshot(view, edges, stream ? &*stream : nullptr, RecordBits{sim.record.words(), sim.record.size()},
                       {reinterpret_cast<std::byte*>(PyBytes_AS_STRING(bytes.get())), size});
        return bytes;
    }
    static PyObject* to_python(Ref payload, Prepared&) {
        if (g_restore == nullptr) {
            PyErr_SetString(PyExc_SystemError, "tessaryn_tools._restore is missing");
            return nullptr;
        }
        return Py_BuildValue("(O(O))", g_restore, payload.get());
    }
};

// Results of a record as one byte each (0 or 1), behind a read-only memoryview of bools that
// numpy.asarray takes without a copy.
Ref record_bytes(const circuit::MeasurementRecord& record, std::uint64_t from) {
    const std::uint64_t count = record.size() - from;
    Ref bytes(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count)));
    if (!bytes) throw std::bad_alloc();
    char* out = PyBytes_AS_STRING(bytes.get());
    for (std::uint64_t i = 0; i < count; ++i) out[i] = record.at(from + i) ? 1 : 0;
    return bytes;
}

PyObject* bool_view(Ref bytes) {
    const Py_ssize_t n = PyBytes_GET_SIZE(bytes.get());
    return view_of(std::move(bytes), "?", 1, n, 0);
}

struct CircuitArgs {
    CircuitArg arg;
    bool convert(const FunctionDescription&, PyObject* const* argv, SizeOf) { return extract_circuit(argv[0], arg); }
};

struct DoCircuit {
    using Args = CircuitArgs;
    using Result = Ref;
    static constexpr Access kAccess = Access::exclusive;
    using Prepared = NothingToPrepare;
    static Ref run(ToolsObject& sim, const Args& a) {
        const circuit::Circuit& c = *a.arg.circuit;
        const std::uint64_t before = sim.record.size();
        // Everything that can be refused is refused before anything runs.
        circuit::check_runnable(c, sim.reg.size(), before);
        sim.record.reserve(c.num_measurements());
        // The results' buffer and view exist before the run: a run that had changed the state
        // and then failed to report its results would lose them.
        const std::uint64_t count = c.num_measurements();
        Ref bytes(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count)));
        if (!bytes) throw std::bad_alloc();
        char* out = PyBytes_AS_STRING(bytes.get());
        Ref view(bool_view(std::move(bytes)));
        if (!view) throw std::bad_alloc();
        bool finished = false;
        {
            WithoutLock unlocked;
            finished = sim.with_random_kept([&](RandomSource& rng) {
                return circuit::run(c, sim.reg, sim.record, rng, {}, &unlocked);
            });
        }
        if (!finished) throw PythonErrorPending();
        // Filling in a buffer nobody else holds yet.
        for (std::uint64_t i = 0; i < count; ++i) out[i] = sim.record.at(before + i) ? 1 : 0;
        return view;
    }
    static PyObject* to_python(Ref view, Prepared&) { return view.release(); }
};

struct CurrentRecord {
    using Args = NoArgs;
    using Result = Ref;
    static constexpr Access kAccess = Access::shared;
    using Prepared = NothingToPrepare;
    static Ref run(ToolsObject& sim, const Args&) { return record_bytes(sim.record, 0); }
    static PyObject* to_python(Ref bytes, Prepared&) { return bool_view(std::move(bytes)); }
};

// --- Descriptions and the method table --------------------------------------------------------

constexpr FaultStyle kOrdinary = FaultStyle::ordinary;

constexpr FunctionDescription one(const char* name) { return {"Simulator", name, {Param::qubit}, 1, kOrdinary}; }
constexpr FunctionDescription two(const char* name) {
    return {"Simulator", name, {Param::control, Param::target}, 2, kOrdinary};
}
constexpr FunctionDescription none(const char* name) { return {"Simulator", name, {}, 0, kOrdinary}; }

constexpr FunctionDescription kNew{"Simulator", "__new__", {Param::qubit_amount, Param::seed}, 2, kOrdinary, 1, 1};
constexpr FunctionDescription kFromGraph{
    "Simulator", "from_graph", {Param::qubit_amount, Param::edges, Param::vops, Param::seed}, 4, kOrdinary, 2, 3};
constexpr FunctionDescription kX = one("x"), kY = one("y"), kZ = one("z"), kH = one("h"), kS = one("s"),
                              kSdag = one("sdag");
constexpr FunctionDescription kCz = two("cz"), kCx = two("cx"), kXcx = two("xcx"), kYcx = two("ycx"), kXcz = two("xcz"),
                              kYcz = two("ycz"), kCy = two("cy"), kXcy = two("xcy"), kYcy = two("ycy");
constexpr FunctionDescription kMeasureX = one("measure_x"), kMeasureY = one("measure_y"), kMeasureZ = one("measure_z"),
                              kGroup = one("get_entangled_group");
constexpr FunctionDescription kPeek{"Simulator", "peek_measure_set", {Param::qubits}, 1, kOrdinary};
constexpr FunctionDescription kVop = one("vop"), kNeighbours = one("neighbours"), kDegree = one("degree");
constexpr FunctionDescription kVops = none("vops"), kEdges = none("edges"), kToNetworkx = none("to_networkx");
constexpr FunctionDescription kStabilizers{"Simulator", "stabilizers", {Param::qubits}, 1, kOrdinary, 0};
constexpr FunctionDescription kPeekX = one("peek_x"), kPeekY = one("peek_y"), kPeekZ = one("peek_z");
constexpr FunctionDescription kExpectation{"Simulator", "expectation", {Param::pauli}, 1, kOrdinary};
constexpr FunctionDescription kLocalComplement = one("local_complement");
constexpr FunctionDescription kEntropy{"Simulator", "entanglement_entropy", {Param::region}, 1, kOrdinary};
constexpr FunctionDescription kCopy = none("copy"), kDunderCopy = none("__copy__"), kReduce = none("__reduce__");
constexpr FunctionDescription kDeepcopy{"Simulator", "__deepcopy__", {Param::memo}, 1, kOrdinary};
constexpr FunctionDescription kDoCircuit{"Simulator", "do_circuit", {Param::circuit}, 1, kOrdinary};
constexpr FunctionDescription kRecord = none("current_measurement_record");
constexpr FunctionDescription kFromStabilizers{
    "Simulator", "from_stabilizers", {Param::stabilizers, Param::seed}, 2, kOrdinary, 1, 1};

template <const FunctionDescription& D, class Op>
constexpr PyMethodDef def(const char* doc) {
    return method_def<ToolsObject, D, Op>(doc);
}

PyObject* from_graph(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* from_stabilizers(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

PyMethodDef g_methods[] = {
    def<kX, SingleQubitGate<clifford::kPauliX>>("x($self, qubit)\n--\n\nApply X (Pauli-X) to `qubit`. O(1)."),
    def<kY, SingleQubitGate<clifford::kPauliY>>("y($self, qubit)\n--\n\nApply Y (Pauli-Y) to `qubit`. O(1)."),
    def<kZ, SingleQubitGate<clifford::kPauliZ>>("z($self, qubit)\n--\n\nApply Z (Pauli-Z) to `qubit`. O(1)."),
    def<kH, SingleQubitGate<clifford::kHadamard>>("h($self, qubit)\n--\n\nApply H (Hadamard) to `qubit`. O(1)."),
    def<kS, SingleQubitGate<clifford::kS>>(
        "s($self, qubit)\n--\n\nApply S (the phase gate, sqrt(Z)) to `qubit`. O(1)."),
    def<kSdag, SingleQubitGate<clifford::kSdag>>(
        "sdag($self, qubit)\n--\n\nApply S\u2020 (the inverse of S) to `qubit`. O(1)."),
    def<kCz, TwoQubitGate<cz>>(
        "cz($self, control, target)\n--\n\n"
        "Apply controlled-Z to `control` and `target` (it is symmetric in the two).\n\n"
        "One table lookup when neither qubit has neighbours besides the other; otherwise up to\n"
        "three local complementations around the two first, whose cost grows with their degrees."),
    def<kCx, TwoQubitGate<cx>>(
        "cx($self, control, target)\n--\n\nApply controlled-X (CNOT): X on `target` when `control` is |1>.\n"
        "\nCosts what cz costs."),
    def<kXcx, TwoQubitGate<xcx>>(
        "xcx($self, control, target)\n--\n\nApply X-controlled X: X on `target` when `control` is |->.\n\n"
        "Costs what cz costs."),
    def<kYcx, TwoQubitGate<ycx>>(
        "ycx($self, control, target)\n--\n\nApply Y-controlled X: X on `target` when `control` is |-i>.\n\n"
        "Costs what cz costs."),
    def<kXcz, TwoQubitGate<xcz>>(
        "xcz($self, control, target)\n--\n\n"
        "Apply X-controlled Z: Z on `target` when `control` is |-> (the gate cx(target,\ncontrol)).\n\n"
        "Costs what cz costs."),
    def<kYcz, TwoQubitGate<ycz>>(
        "ycz($self, control, target)\n--\n\n"
        "Apply Y-controlled Z: Z on `target` when `control` is |-i> (the gate cy(target,\ncontrol)).\n\n"
        "Costs what cz costs."),
    def<kCy, TwoQubitGate<cy>>(
        "cy($self, control, target)\n--\n\nApply controlled-Y: Y on `target` when `control` is |1>.\n\n"
        "Costs what cz costs."),
    def<kXcy, TwoQubitGate<xcy>>(
        "xcy($self, control, target)\n--\n\nApply X-controlled Y: Y on `target` when `control` is |->.\n\n"
        "Costs what cz costs."),
    def<kYcy, TwoQubitGate<ycy>>(
        "ycy($self, control, target)\n--\n\nApply Y-controlled Y: Y on `target` when `control` is |-i>.\n\n"
        "Costs what cz costs."),
    def<kMeasureX, Measurement<clifford::Axis::X>>(
        "measure_x($self, qubit)\n--\n\nMeasure `qubit` along X and collapse the state onto the outcome.\n\n"
        "Returns MeasurementResult.PlusOne (eigenvalue +1) or MeasurementResult.MinusOne. A\n"
        "random outcome takes one draw and leaves `qubit` without edges. Cost: deg(qubit) times\n"
        "the degree of one of its neighbours; O(m^2/64) in a dense group of m held as a tableau."),
    def<kMeasureY, Measurement<clifford::Axis::Y>>(
        "measure_y($self, qubit)\n--\n\nMeasure `qubit` along Y and collapse the state onto the outcome.\n\n"
        "Returns MeasurementResult.PlusOne (eigenvalue +1) or MeasurementResult.MinusOne. A\n"
        "random outcome takes one draw and leaves `qubit` without edges. Cost: quadratic in\n"
        "deg(qubit); O(m^2/64) in a dense group of m held as a tableau."),
    def<kMeasureZ, Measurement<clifford::Axis::Z>>(
        "measure_z($self, qubit)\n--\n\nMeasure `qubit` along Z and collapse the state onto the outcome.\n\n"
        "Returns MeasurementResult.PlusOne (eigenvalue +1) or MeasurementResult.MinusOne. A\n"
        "random outcome takes one draw and leaves `qubit` without edges. Cost: linear in\n"
        "deg(qubit); O(m^2/64) in a dense group of m held as a tableau."),
    def<kGroup, EntangledGroup>("get_entangled_group($self, qubit)\n--\n\n"
                                "The set of qubits connected to `qubit` in the graph, `qubit` included: those it is\n"
                                "entangled with, directly or through others.\n\n"
                                "Cost: the size of the group plus the degrees of its members. A dense group held as a\n"
                                "tableau is read through its graph form, found once per change of the group, O(m^3/64)\n"
                                "for m qubits; nothing is moved."),
    def<kPeek, Peek>("peek_measure_set($self, qubits)\n--\n\n"
                     "Sample measuring the set `qubits` without changing the state.\n\n"
                     "The qubits are measured in turn on one working state: each along the axis on which its\n"
                     "outcome is certain when it has no neighbours by then, along a random axis otherwise.\n"
                     "Returns {qubit: Outcome}. This is a sample, not an expectation: for a chosen axis, use\n"
                     "peek_x, peek_y, peek_z or expectation. Cost: the measurements, and as much again to put\n"
                     "the state back."),
    def<kVop, GraphQuery<unsigned, read_vop>>(
        "vop($self, qubit)\n--\n\n"
        "The vertex operator of `qubit`, an int from 0 to 23 (0 is the identity, 10 the Hadamard;\n"
        "the user guide has the table). O(1), once a dense group held as a tableau has its graph\n"
        "form (found once per change of the group, O(m^3/64))."),
    def<kNeighbours, Neighbours>(
        "neighbours($self, qubit)\n--\n\n"
        "The neighbours of `qubit` in the graph, as a sorted list. O(deg(qubit)), or O(n/64) for\n"
        "a qubit of very many neighbours, once a dense group held as a tableau has its graph form\n"
        "(found once per change of the group, O(m^3/64))."),
    def<kDegree, GraphQuery<std::uint64_t, read_degree>>(
        "degree($self, qubit)\n--\n\nThe number of neighbours of `qubit`. O(1), once a dense group held as a\n"
        "tableau has its graph form (found once per change of the group, O(m^3/64))."),
    def<kVops, Vops>("vops($self)\n--\n\n"
                     "The vertex operators of all qubits: a read-only memoryview of n bytes (format 'B'),\n"
                     "which numpy.asarray takes without a copy. O(n), and O(m^3/64) for each dense group of m\n"
                     "held as a tableau whose graph form is not found yet (once per change of the group)."),
    def<kEdges, Edges>("edges($self)\n--\n\n"
                       "Every edge, as a read-only memoryview of shape (E, 2) and format 'I' (uint32) that\n"
                       "numpy.asarray takes without a copy: one row (u, v) per edge, u < v, in ascending order.\n"
                       "O(n + E), and the 8 bytes per edge of the output; O(m^3/64) more for each dense group of m\n"
                       "held as a tableau whose graph form is not found yet (once per change of the group)."),
    def<kToNetworkx, ToNetworkx>(
        "to_networkx($self)\n--\n\n"
        "The graph as a networkx.Graph: nodes 0 to n-1, each with its vertex operator as the node\n"
        "attribute 'vop', and the edges. Needs networkx, imported by this call. O(n + E) Python\n"
        "objects, and the graph forms of dense groups held as tableaux, as edges() finds them."),
    def<kStabilizers, Stabilizers>(
        "stabilizers($self, qubits=None)\n--\n\n"
        "The stabilizer generator of every qubit (or of those in `qubits`), in ascending qubit\n"
        "order: the vertex operators applied to X on the qubit and Z on its neighbours, as a\n"
        "signed Pauli string over all n qubits in the text form stim.PauliString parses (\"+X_Z\",\n"
        "\"-YZ_\"). The n generators together fix the state.\n\n"
        "O(n) per string, and the graph forms of the dense groups held as tableaux that they read, as\n"
        "edges() finds them. ValueError when the strings would take more than 100000000 characters."),
    def<kPeekX, CertainQuery<clifford::Axis::X>>(
        "peek_x($self, qubit)\n--\n\n"
        "What measuring `qubit` along X is certain to give: +1 or -1, or 0 when the outcome would\n"
        "be random. Changes nothing and draws nothing. O(1); for a qubit of a dense group of m held\n"
        "as a tableau, O(m/64), and O(m^2/64) when the outcome is certain."),
    def<kPeekY, CertainQuery<clifford::Axis::Y>>(
        "peek_y($self, qubit)\n--\n\n"
        "What measuring `qubit` along Y is certain to give: +1 or -1, or 0 when the outcome would\n"
        "be random. Changes nothing and draws nothing. O(1); for a qubit of a dense group of m held\n"
        "as a tableau, O(m/64), and O(m^2/64) when the outcome is certain."),
    def<kPeekZ, CertainQuery<clifford::Axis::Z>>(
        "peek_z($self, qubit)\n--\n\n"
        "What measuring `qubit` along Z is certain to give: +1 or -1, or 0 when the outcome would\n"
        "be random. Changes nothing and draws nothing. O(1); for a qubit of a dense group of m held\n"
        "as a tableau, O(m/64), and O(m^2/64) when the outcome is certain."),
    def<kExpectation, Expectation>(
        "expectation($self, pauli)\n--\n\n"
        "The expectation value of a Pauli product: +1 or -1 when the state is an eigenstate of\n"
        "it, 0 otherwise.\n\n"
        "`pauli` is a str in stim's text form, dense (\"+X_Z\", \"-ZZ\", the identity as _ or I,\n"
        "qubits beyond its length the identity) or sparse (\"X0*Z12\"), or a dict {qubit: 'X', 'Y',\n"
        "'Z' or an Axis}. Changes nothing and draws nothing. Cost: the length of `pauli`, plus\n"
        "O(D log D) for D the degrees of the qubits on which it acts; for t factors on a dense group\n"
        "of m held as a tableau, O(t*m/64), and O(m^2/64) when the value is not 0."),
    def<kLocalComplement, LocalComplement>(
        "local_complement($self, qubit)\n--\n\n"
        "Re-express the same state with the graph locally complemented at `qubit`: every edge\n"
        "among its neighbours is toggled, and the vertex operators of `qubit` and its neighbours\n"
        "absorb the change.\n\n"
        "A change of representation, not a gate: the state, and so every outcome distribution and\n"
        "expectation, stays the same, and so does every outcome a seeded run goes on to give.\n"
        "O(deg(qubit)^2 plus the degrees of its neighbours); a dense group held as a tableau is\n"
        "moved back to graph form first, O(m^3/64)."),
    def<kEntropy, Entropy>("entanglement_entropy($self, region)\n--\n\n"
                           "The entanglement entropy in bits of the qubits in `region` against the others: the GF(2)\n"
                           "rank of the edges between the two (vertex operators do not change it).\n\n"
                           "`region` is any iterable of qubit indices (a set, a range, a numpy array); repeats count\n"
                           "once. Cost: O(n/64 + D) to find the c edges across, D being the degrees on the smaller\n"
                           "side, then the rank of the block they form: rows and columns of one entry cost O(c) in\n"
                           "all (a cut of a chain or a cluster is nothing else), and the a-by-b block left\n"
                           "O(a*b*min(a, b)/64) as bit rows. A dense group of m held as a tableau and cut by the\n"
                           "region adds O(m*s*min(m, s)/64) for its s qubits on the smaller side; nothing is moved."),
    def<kCopy, Copy<NoArgs>>(
        "copy($self)\n--\n\n"
        "An independent simulator in the same state, held the same way. A seeded simulator's copy\n"
        "continues its stream from the same point, so the two give the same outcomes for the same\n"
        "calls. O(n + E), plus m^2/2 bytes per dense group of m held as a tableau."),
    def<kDunderCopy, Copy<NoArgs>>("__copy__($self)\n--\n\nThe same as copy()."),
    def<kDeepcopy, Copy<AnyObject>>("__deepcopy__($self, memo)\n--\n\nThe same as copy()."),
    def<kReduce, Reduce>("__reduce__($self)\n--\n\n"
                         "Pickling: the state as a compact, versioned and checksummed payload of about n + 8*E\n"
                         "bytes, with a seeded simulator's stream and the point it has reached, and which groups are\n"
                         "held as tableaux, so that the unpickled simulator gives the same outcomes at the same\n"
                         "costs. Costs what edges() costs; nothing is moved."),
    def<kDoCircuit, DoCircuit>(
        "do_circuit($self, circuit)\n--\n\n"
        "Run `circuit` (a Circuit, or anything whose str() is circuit text, a stim.Circuit as it\n"
        "is) on this state, in one call: gates, measurements, resets, noise and feedback from the\n"
        "measurement record, REPEAT blocks run as often as they say. Random outcomes and noise\n"
        "draw from this simulator's stream (a seeded one's, in the documented order), results are\n"
        "appended to its measurement record, and the results of this run come back as a read-only\n"
        "memoryview of bools, which numpy.asarray takes without a copy. Sweep bits are 0.\n\n"
        "The state stays, so circuit segments interleave with gates chosen in Python. A qubit\n"
        "beyond the simulator raises IndexError, and a record target reaching before the\n"
        "record's start ValueError, before anything runs. The run releases the interpreter\n"
        "lock; Ctrl-C (KeyboardInterrupt) or memory running out (MemoryError) stops it between\n"
        "operations, leaving the state, the record and the stream as the operations before then\n"
        "left them. An operation of several engine steps (a two-qubit gate, a Pauli product) that\n"
        "runs out of memory part way is undone, unless undoing it runs out too; a product measured\n"
        "before then keeps its result, and its qubits may stay turned as its measurement left\n"
        "them (MPP X1*Z2 as H 1, CX 2 1, M 1 would). The results are this run's, in a buffer made\n"
        "before it starts. Cost: the engine's per operation; a REPEAT body is never copied."),
    def<kRecord, CurrentRecord>(
        "current_measurement_record($self)\n--\n\n"
        "Every result this simulator has recorded, by circuits and by measure_x, measure_y and\n"
        "measure_z, in order: a read-only memoryview of bools (rec[-1] is the last). O(results)."),
    {"from_stabilizers", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(from_stabilizers)),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_stabilizers($type, stabilizers, *, seed=None)\n--\n\n"
     "A simulator of n qubits in the state that `stabilizers`, n independent commuting Pauli\n"
     "strings, fix: strings in stim's text form (\"+XZ_\", \"-YY\", or sparse \"X0*Z12\"), or\n"
     "objects whose str() is one, such as the stim.PauliStrings of a stim.Tableau's\n"
     "to_stabilizers(). ValueError when they are not independent and commuting, or name a\n"
     "qubit beyond n. O(n^3/64) for the elimination that finds the graph form."},
    {"from_graph", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(from_graph)),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_graph($type, qubit_amount, edges, vops=None, *, seed=None)\n--\n\n"
     "A simulator in the graph state of `edges`, an integer array of shape (E, 2) or an\n"
     "iterable of pairs, with the vertex operators `vops` (n ints from 0 to 23; by default the\n"
     "identity on every qubit: the state that H on every qubit and then CZ on every edge make\n"
     "from |0...0>).\n\nLoops, repeated edges, qubits out of range, a wrong shape or item type and vertex\n"
     "operators out of range raise ValueError or TypeError naming the first bad entry, and\n"
     "nothing is built. O(n + E): every row is allocated once, at its final size."},
    {nullptr, nullptr, 0, nullptr},
};

// --- Construction -----------------------------------------------------------------------------

bool extract_qubit_amount(PyObject* obj, std::uint64_t* n) {
    return extract_index(obj, Param::qubit_amount, kOrdinary, Qubits{0}, n);
}

PyObject* tools_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) noexcept {
    return trampoline<kOrdinary>([&]() -> PyObject* {
        PyObject* slots[kMaxParams];
        if (!bind_tuple_dict(kNew, args, kwargs, slots)) return nullptr;
        std::uint64_t n;
        std::optional<SeedKey> key;
        if (!extract_qubit_amount(slots[0], &n) || !extract_seed(slots[1], key)) return nullptr;
        return new_simulator(subtype, Register(n), stream_for(key));
    });
}

PyObject* from_graph(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return trampoline<kOrdinary>([&]() -> PyObject* {
        PyObject* slots[kMaxParams];
        PyObject* const* argv = bind_fastcall(kFromGraph, args, nargs, kwnames, slots);
        if (argv == nullptr) return nullptr;
        std::uint64_t n;
        std::optional<SeedKey> key;
        if (!extract_qubit_amount(argv[0], &n)) return nullptr;
        EdgeInput edges;
        if (!edges.open(argv[1], n)) return nullptr;
        std::vector<Vop> vops;
        const bool given_vops = argv[2] != nullptr && argv[2] != Py_None;
        if (given_vops && !extract_vops(argv[2], n, vops)) return nullptr;
        if (!extract_seed(argv[3], key)) return nullptr;

        GraphBuilder builder(n);
        constexpr std::size_t kChunk = 1 << 14;
        std::vector<Edge> chunk(std::min(edges.size(), kChunk));
        for (std::size_t first = 0; first < edges.size(); first += kChunk) {
            const std::span<Edge> part(chunk.data(), std::min(kChunk, edges.size() - first));
            edges.read(first, part);
            const std::size_t bad = builder.count(part);
            if (bad != part.size()) {
                edges.bad_edge(first + bad, n);
                return nullptr;
            }
        }
        builder.allocate();
        for (std::size_t first = 0; first < edges.size(); first += kChunk) {
            const std::span<Edge> part(chunk.data(), std::min(kChunk, edges.size() - first));
            edges.read(first, part);
            builder.place(part);
        }
        if (!builder.finish()) {
            edges.repeated_edge();
            return nullptr;
        }
        return new_simulator(reinterpret_cast<PyTypeObject*>(cls), builder.take(given_vops ? vops.data() : nullptr),
                             stream_for(key));
    });
}

PyObject* from_stabilizers(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return trampoline<kOrdinary>([&]() -> PyObject* {
        PyObject* slots[kMaxParams];
        PyObject* const* argv = bind_fastcall(kFromStabilizers, args, nargs, kwnames, slots);
        if (argv == nullptr) return nullptr;
        std::optional<SeedKey> key;
        if (!extract_seed(argv[1], key)) return nullptr;
        Ref items(PySequence_Fast(argv[0], "stabilizers must be an iterable of Pauli strings"));
        if (!items) return nullptr;
        const auto n = static_cast<std::uint64_t>(PySequence_Fast_GET_SIZE(items.get()));
        StabilizerRows rows(static_cast<std::size_t>(n), static_cast<std::size_t>(n));
        std::vector<PauliTerm> terms;
        for (std::uint64_t i = 0; i < n; ++i) {
            PyObject* item = PySequence_Fast_GET_ITEM(items.get(), static_cast<Py_ssize_t>(i));
            Ref text(PyUnicode_Check(item) ? Py_NewRef(item) : PyObject_Str(item));
            if (!text) return nullptr;
            bool negated = false;
            if (!extract_pauli(text.get(), n, terms, negated)) {
                if (PyErr_ExceptionMatches(PyExc_IndexError)) {
                    Ref cause = fetch_error();
                    PyErr_Format(PyExc_ValueError,
                                 "stabilizers[%llu] acts beyond the %llu qubits that %llu stabilizers fix",
                                 static_cast<unsigned long long>(i), static_cast<unsigned long long>(n),
                                 static_cast<unsigned long long>(n));
                }
                return nullptr;
            }
            for (const PauliTerm& t : terms) {
                if (t.axis != clifford::Axis::Z) bits::set(rows.xs(i), t.qubit);
                if (t.axis != clifford::Axis::X) bits::set(rows.zs(i), t.qubit);
            }
            rows.sign[i] = negated ? 1 : 0;
        }
        std::optional<Register> reg = register_from_stabilizers(std::move(rows));
        if (!reg) {
            PyErr_SetString(PyExc_ValueError,
                            "the stabilizers do not fix one state: they are not independent, or do not commute");
            return nullptr;
        }
        return new_simulator(reinterpret_cast<PyTypeObject*>(cls), std::move(*reg), stream_for(key));
    });
}

void tools_dealloc(PyObject* self) noexcept {
    ToolsObject* sim = as_tools(self);
    sim->record.~MeasurementRecord();
    sim->stream.~optional();
    sim->reg.~Register();
    free_instance(self);
}

// --- Slots and properties ---------------------------------------------------------------------

PyObject* tools_repr(PyObject* self) noexcept {
    return trampoline<kOrdinary>([&]() -> PyObject* {
        ToolsObject* sim = as_tools(self);
        Borrow<Access::shared> borrow(sim->borrow_flag);
        if (!borrow) return nullptr;
        const unsigned long long n = sim->reg.size(), e = GraphView::whole(sim->reg).edge_count();
        return PyUnicode_FromFormat("<tessaryn_tools.Simulator: %llu qubit%s, %llu edge%s, %s>", n, n == 1 ? "" : "s",
                                    e, e == 1 ? "" : "s", sim->stream ? "seeded" : "unseeded");
    });
}

Py_ssize_t tools_length(PyObject* self) noexcept { return static_cast<Py_ssize_t>(as_tools(self)->reg.size()); }

PyObject* get_num_qubits(PyObject* self, void*) noexcept {
    return PyLong_FromUnsignedLongLong(as_tools(self)->reg.size());
}

PyObject* get_num_edges(PyObject* self, void*) noexcept {
    return trampoline<kOrdinary>([&]() -> PyObject* {
        ToolsObject* sim = as_tools(self);
        Borrow<Access::shared> borrow(sim->borrow_flag);
        if (!borrow) return nullptr;
        return PyLong_FromUnsignedLongLong(GraphView::whole(sim->reg).edge_count());
    });
}

PyGetSetDef g_getset[] = {
    {"num_qubits", get_num_qubits, nullptr, "The number of qubits. O(1).", nullptr},
    {"num_edges", get_num_edges, nullptr,
     "The number of edges of the graph. O(n), and the graph forms of dense groups held as\n"
     "tableaux, as edges() finds them.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kClassDoc =
    "Simulator(qubit_amount, *, seed=None)\n--\n\n"
    "A stabilizer state of `qubit_amount` qubits in graph form, starting in |0...0>.\n\n"
    "It has the methods of tessaryn.Tessaryn, with their arguments and semantics, and raises\n"
    "ordinary exceptions: IndexError for a qubit out of range, ValueError for a two-qubit\n"
    "gate given one qubit twice. Beyond those it reads the graph and its vertex operators\n"
    "out, answers expectation values and entanglement entropies, re-expresses the state by\n"
    "local complementation, copies and pickles itself, and is built in bulk by\nSimulator.from_graph.\n\n"
    "seed=None draws random outcomes from the calling thread's generator, keyed from the\n"
    "operating system. An int seed from 0 to 2**256 - 1 gives the simulator a stream of its\n"
    "own: ChaCha12 with the seed's 32 little-endian bytes as its key and block counter and\n"
    "stream id starting at 0, read as 32-bit little-endian words in order. A random outcome\n"
    "takes the top bit of the next word; a random peek axis takes a word w, as floor(3*w /\n"
    "2**32) (0: X, 1: Y, 2: Z; a second word only when the low half of 3*w is within 3 of\n"
    "2**32). A random outcome is that bit itself, however the state is held; a certain\n"
    "outcome takes no word. So a seeded simulator's outcomes depend only on its seed and on\n"
    "the calls that change its state (gates, measurements, and peek_measure_set, which\n"
    "samples), never on reads, copies, pickles, local_complement, failed calls, the number of\n"
    "qubits or the machine.";

}  // namespace

void remember_restore(PyObject* function) noexcept { g_restore = Py_NewRef(function); }

PyObject* tools_restore(PyObject*, PyObject* data) noexcept {
    return trampoline<kOrdinary>([&]() -> PyObject* {
        Py_buffer view;
        if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) != 0) return nullptr;
        struct Release {
            Py_buffer* v;
            ~Release() { PyBuffer_Release(v); }
        } release{&view};
        Restored restored =
            read_snapshot({static_cast<const std::byte*>(view.buf), static_cast<std::size_t>(view.len)});
        std::optional<ChaCha12Rng> stream;
        if (restored.stream) {
            stream.emplace(restored.stream->key, nullptr);
            stream->seek(restored.stream->position);
        }
        circuit::MeasurementRecord record;
        record.reserve(restored.record.size);
        for (std::uint64_t i = 0; i < restored.record.size; ++i)
            record.push(bits::test(restored.record.words.data(), i));
        PyTypeObject* type = tools_simulator_type();
        if (type == nullptr) return nullptr;
        return new_simulator(type, std::move(restored.reg), std::move(stream), std::move(record));
    });
}

PyObject* tools_set_form_policy(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return trampoline<kOrdinary>([&]() -> PyObject* {
        if (nargs != 2) {
            PyErr_Format(PyExc_TypeError, "_set_form_policy() takes 2 positional arguments (%zd given)", nargs);
            return nullptr;
        }
        ToolsObject* sim = ToolsObject::receiver(args[0]);
        if (sim == nullptr) return nullptr;
        static constexpr std::pair<const char*, FormPolicy> kPolicies[] = {{"automatic", FormPolicy::automatic},
                                                                           {"graph", FormPolicy::graph},
                                                                           {"tableau", FormPolicy::tableau},
                                                                           {"thrash", FormPolicy::thrash}};
        const char* name = PyUnicode_Check(args[1]) ? PyUnicode_AsUTF8(args[1]) : nullptr;
        for (const auto& [text, policy] : kPolicies) {
            if (name == nullptr || std::strcmp(name, text) != 0) continue;
            Borrow<Access::exclusive> borrow(sim->borrow_flag);
            if (!borrow) return nullptr;
            sim->reg.set_form_policy(policy);
            Py_RETURN_NONE;
        }
        if (PyErr_Occurred()) return nullptr;
        PyErr_Format(PyExc_ValueError, "policy must be 'automatic', 'graph', 'tableau' or 'thrash', not %R", args[1]);
        return nullptr;
    });
}

PyObject* tools_tableau_groups(PyObject*, PyObject* obj) noexcept {
    return trampoline<kOrdinary>([&]() -> PyObject* {
        ToolsObject* sim = ToolsObject::receiver(obj);
        if (sim == nullptr) return nullptr;
        std::vector<std::vector<std::uint64_t>> groups;
        {
            Borrow<Access::shared> borrow(sim->borrow_flag);
            if (!borrow) return nullptr;
            const TableauGroups& held = sim->reg.groups();
            for (std::size_t s = 0; s < held.slots(); ++s) {
                if (!held.live(s)) continue;
                const std::vector<Id>& members = held.group(s).members;
                groups.emplace_back(members.begin(), members.end());
                std::sort(groups.back().begin(), groups.back().end());
            }
        }
        Ref list(PyList_New(static_cast<Py_ssize_t>(groups.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < groups.size(); ++i) {
            PyObject* members = int_list(groups[i]);
            if (members == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), members);
        }
        return list.release();
    });
}

PyTypeObject* tools_simulator_type() noexcept {
    if (g_tools != nullptr) return g_tools;
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(kClassDoc)},
        {Py_tp_dealloc, reinterpret_cast<void*>(tools_dealloc)},
        {Py_tp_new, reinterpret_cast<void*>(tools_new)},
        {Py_tp_repr, reinterpret_cast<void*>(tools_repr)},
        {Py_sq_length, reinterpret_cast<void*>(tools_length)},
        {Py_tp_methods, g_methods},
        {Py_tp_getset, g_getset},
        {0, nullptr},
    };
    g_tools = create_type("tessaryn_tools.Simulator", sizeof(ToolsObject), 0, slots);
    return g_tools;
}

}  // namespace tessaryn::py

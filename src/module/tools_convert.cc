#include "module/tools_convert.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#include <type_traits>
#include <unordered_map>

#include "clifford/clifford.h"
#include "module/values.h"

namespace tessaryn::py {
namespace {

[[gnu::cold]] bool out_of_range(std::uint64_t q, std::uint64_t n) {
    PyErr_Format(PyExc_IndexError, "qubit %llu is out of range for a simulator of %llu qubits",
                 static_cast<unsigned long long>(q), static_cast<unsigned long long>(n));
    return false;
}

[[gnu::cold]] bool negative_qubit(long long q, std::uint64_t n) {
    PyErr_Format(PyExc_IndexError, "qubit %lld is out of range for a simulator of %llu qubits", q,
                 static_cast<unsigned long long>(n));
    return false;
}

// --- Integer buffers --------------------------------------------------------------------------

// One integer of a buffer: its bits, and whether a signed format made it negative.
struct BufferInt {
    std::uint64_t bits;
    bool negative;
};

// The element type of an integer buffer, from its struct-module format: the signedness, with
// the size taken from the buffer's itemsize (so native and standard sizes both work).
bool integer_format(const Py_buffer& view, const char* what, char& code) {
    const char* f = view.format != nullptr ? view.format : "B";
    if (*f == '@' || *f == '=' || (*f == '<' && std::endian::native == std::endian::little)) ++f;
    const bool one_code = f[0] != '\0' && f[1] == '\0' && std::strchr("bBhHiIlLqQnN", f[0]) != nullptr;
    const bool size_known = view.itemsize == 1 || view.itemsize == 2 || view.itemsize == 4 || view.itemsize == 8;
    if (!one_code || !size_known) {
        PyErr_Format(PyExc_TypeError, "%s must hold integers in the machine's byte order, not items of format '%s'",
                     what, view.format != nullptr ? view.format : "B");
        return false;
    }
    code = f[0];
    return true;
}

template <class Unsigned, class Signed>
BufferInt load_int(const char* at, bool is_signed) noexcept {
    Unsigned x;
    std::memcpy(&x, at, sizeof x);
    const auto s = static_cast<std::int64_t>(static_cast<Signed>(x));
    if (is_signed) return {static_cast<std::uint64_t>(s), s < 0};
    return {static_cast<std::uint64_t>(x), false};
}

BufferInt read_int(const char* at, Py_ssize_t size, char code) noexcept {
    const bool is_signed = std::strchr("bhilqn", code) != nullptr;
    switch (size) {
        case 1:
            return load_int<std::uint8_t, std::int8_t>(at, is_signed);
        case 2:
            return load_int<std::uint16_t, std::int16_t>(at, is_signed);
        case 4:
            return load_int<std::uint32_t, std::int32_t>(at, is_signed);
        default:
            return load_int<std::uint64_t, std::int64_t>(at, is_signed);
    }
}

// A buffer view released at the end of its scope.
class View {
public:
    ~View() {
        if (held_) PyBuffer_Release(&view_);
    }
    bool get(PyObject* obj) {
        held_ = PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) == 0;
        return held_;
    }
    const Py_buffer& operator*() const { return view_; }
    const Py_buffer* operator->() const { return &view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// Whether to read `obj` as a buffer of integers: it exports one and is not text.
bool buffer_like(PyObject* obj) { return PyObject_CheckBuffer(obj) && !PyUnicode_Check(obj); }

// --- Collections of qubits --------------------------------------------------------------------

template <class F>
bool visit_range(PyObject* obj, std::uint64_t n, F&& f, bool& handled) {
    handled = false;
    long long start, step;
    {
        Ref a(PyObject_GetAttrString(obj, "start")), c(PyObject_GetAttrString(obj, "step"));
        if (!a || !c) return false;
        start = PyLong_AsLongLong(a.get());
        step = PyLong_AsLongLong(c.get());
        if (PyErr_Occurred()) {
            // Bounds beyond 64 bits: iterate it like any other iterable.
            PyErr_Clear();
            return true;
        }
    }
    const Py_ssize_t length = PyObject_Length(obj);
    if (length < 0) {
        PyErr_Clear();
        return true;
    }
    handled = true;
    for (Py_ssize_t i = 0; i < length; ++i) {
        const long long q = start + static_cast<long long>(i) * step;
        if (q < 0) return negative_qubit(q, n);
        if (static_cast<std::uint64_t>(q) >= n) return out_of_range(static_cast<std::uint64_t>(q), n);
        f(static_cast<std::uint64_t>(q));
    }
    return true;
}

template <class F>
bool visit_buffer(PyObject* obj, Param p, std::uint64_t n, F&& f) {
    View view;
    if (!view.get(obj)) return false;
    char code;
    if (!integer_format(*view, param_name(p), code)) return false;
    if (view->ndim != 1) {
        PyErr_Format(PyExc_ValueError, "%s must be one-dimensional, not of %d dimensions", param_name(p), view->ndim);
        return false;
    }
    const auto* base = static_cast<const char*>(view->buf);
    for (Py_ssize_t i = 0; i < view->shape[0]; ++i) {
        const BufferInt x = read_int(base + i * view->strides[0], view->itemsize, code);
        if (x.negative) return negative_qubit(static_cast<long long>(x.bits), n);
        if (x.bits >= n) return out_of_range(x.bits, n);
        f(x.bits);
    }
    return true;
}

template <class F>
bool visit_qubits(PyObject* obj, Param p, std::uint64_t n, F&& f) {
    if (PyRange_Check(obj)) {
        bool handled;
        if (!visit_range(obj, n, f, handled)) return false;
        if (handled) return true;
    } else if (buffer_like(obj)) {
        return visit_buffer(obj, p, n, f);
    }
    Ref it(PyObject_GetIter(obj));
    if (!it) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "%s must be an iterable of qubit indices, not '%s'", param_name(p),
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    while (Ref item{PyIter_Next(it.get())}) {
        std::uint64_t q;
        if (!extract_index(item.get(), p, FaultStyle::ordinary, Qubits{n}, &q)) return false;
        if (q >= n) return out_of_range(q, n);
        f(q);
    }
    return !PyErr_Occurred();
}

// --- Pauli products ---------------------------------------------------------------------------

// The axis a Pauli letter names; 3 for the identity, -1 for none.
int pauli_axis(char c) {
    switch (c) {
        case 'X':
            return 0;
        case 'Y':
            return 1;
        case 'Z':
            return 2;
        case 'I':
        case '_':
            return 3;
        default:
            return -1;
    }
}

[[gnu::cold]] bool bad_letter(char c, std::size_t at) {
    PyErr_Format(PyExc_ValueError, "'%c' at position %zu of the Pauli product is not one of I, X, Y, Z and _", c, at);
    return false;
}

bool add_term(std::vector<PauliTerm>& terms, std::uint64_t q, int axis, std::uint64_t n) {
    if (q >= n) return out_of_range(q, n);
    if (axis != 3) terms.push_back({q, static_cast<clifford::Axis>(axis)});
    return true;
}

bool parse_pauli_text(PyObject* obj, std::uint64_t n, std::vector<PauliTerm>& terms, bool& negated) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
    if (text == nullptr) return false;
    const std::string_view s(text, static_cast<std::size_t>(size));
    std::size_t at = 0;
    negated = false;
    if (at < s.size() && (s[at] == '+' || s[at] == '-')) negated = s[at++] == '-';
    if (at < s.size() && s[at] == 'i') {
        PyErr_SetString(PyExc_ValueError, "the Pauli product must be Hermitian: a phase of i has no real expectation");
        return false;
    }
    const bool sparse = s.find_first_of("0123456789", at) != std::string_view::npos;
    if (!sparse) {
        for (std::size_t q = 0; at + q < s.size(); ++q) {
            const int axis = pauli_axis(s[at + q]);
            if (axis < 0) return bad_letter(s[at + q], at + q);
            if (!add_term(terms, q, axis, n)) return false;
        }
        return true;
    }
    // "X0*Z12": a letter and a qubit per factor.
    while (at < s.size()) {
        const int axis = pauli_axis(s[at]);
        if (axis < 0) return bad_letter(s[at], at);
        const std::size_t digits = ++at;
        std::uint64_t q = 0;
        bool overflow = false;
        while (at < s.size() && s[at] >= '0' && s[at] <= '9') {
            overflow |= q > (~std::uint64_t{0} - 9) / 10;
            q = q * 10 + static_cast<std::uint64_t>(s[at++] - '0');
        }
        if (at == digits) {
            PyErr_Format(PyExc_ValueError, "the Pauli factor at position %zu has no qubit index", digits - 1);
            return false;
        }
        if (overflow) {
            PyErr_Format(PyExc_IndexError, "qubit %s is out of range for a simulator of %llu qubits",
                         std::string(s.substr(digits, at - digits)).c_str(), static_cast<unsigned long long>(n));
            return false;
        }
        if (!add_term(terms, q, axis, n)) return false;
        if (at < s.size()) {
            if (s[at] != '*') return bad_letter(s[at], at);
            if (++at == s.size()) {
                PyErr_SetString(PyExc_ValueError, "the Pauli product ends in '*' without a factor after it");
                return false;
            }
        }
    }
    return true;
}

bool pauli_mapping(PyObject* obj, std::uint64_t n, std::vector<PauliTerm>& terms) {
    Ref items(PyMapping_Items(obj));
    if (!items) return false;
    const Py_ssize_t count = PyList_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* pair = PyList_GET_ITEM(items.get(), i);
        PyObject* key = PyTuple_GET_ITEM(pair, 0);
        PyObject* value = PyTuple_GET_ITEM(pair, 1);
        std::uint64_t q;
        if (!extract_index(key, Param::pauli, FaultStyle::ordinary, Qubits{n}, &q)) return false;
        int axis = -1;
        if (PyUnicode_Check(value)) {
            Py_ssize_t size = 0;
            const char* text = PyUnicode_AsUTF8AndSize(value, &size);
            if (text == nullptr) return false;
            if (size == 1) axis = pauli_axis(text[0]);
        } else if (PyObject_TypeCheck(value, axis_type())) {
            Ref number(PyNumber_Long(value));
            if (!number) return false;
            axis = static_cast<int>(PyLong_AsLong(number.get()));
        }
        if (axis < 0) {
            PyErr_Format(PyExc_ValueError, "the Pauli on qubit %llu must be 'X', 'Y', 'Z', 'I' or an Axis, not %R",
                         static_cast<unsigned long long>(q), value);
            return false;
        }
        if (!add_term(terms, q, axis, n)) return false;
    }
    return true;
}

}  // namespace

// --- Seeds ------------------------------------------------------------------------------------

bool extract_seed(PyObject* obj, std::optional<SeedKey>& key) {
    key.reset();
    if (obj == nullptr || obj == Py_None) return true;
    if (!PyIndex_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "seed must be an int or None, not '%s'", Py_TYPE(obj)->tp_name);
        return false;
    }
    Ref value(PyNumber_Index(obj));
    if (!value) return false;
    Ref zero(PyLong_FromLong(0));
    if (!zero) return false;
    const int negative = PyObject_RichCompareBool(value.get(), zero.get(), Py_LT);
    if (negative < 0) return false;
    SeedKey bytes{};
    Ref rest(Py_NewRef(value.get()));
    Ref shift(PyLong_FromLong(64));
    if (!shift) return false;
    for (int word = 0; word < 4 && !negative; ++word) {
        const unsigned long long w = PyLong_AsUnsignedLongLongMask(rest.get());
        if (w == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
        for (int b = 0; b < 8; ++b) bytes[8 * word + b] = static_cast<std::uint8_t>(w >> (8 * b));
        rest = Ref(PyNumber_Rshift(rest.get(), shift.get()));
        if (!rest) return false;
    }
    const int too_big = negative ? 0 : PyObject_RichCompareBool(rest.get(), zero.get(), Py_NE);
    if (too_big < 0) return false;
    if (negative || too_big) {
        PyErr_Format(PyExc_ValueError, "seed must be an integer from 0 to 2**256 - 1, not %S", value.get());
        return false;
    }
    key = bytes;
    return true;
}

// --- Qubits -----------------------------------------------------------------------------------

bool extract_qubit_mask(PyObject* obj, Param p, std::uint64_t n, std::vector<Word>& mask) {
    mask.assign(bits::words_for(n), 0);
    return visit_qubits(obj, p, n, [&](std::uint64_t q) { bits::set(mask.data(), q); });
}

bool extract_qubit_list(PyObject* obj, Param p, std::uint64_t n, std::vector<std::uint64_t>& qubits) {
    qubits.clear();
    if (!visit_qubits(obj, p, n, [&](std::uint64_t q) { qubits.push_back(q); })) return false;
    if (!std::is_sorted(qubits.begin(), qubits.end())) std::sort(qubits.begin(), qubits.end());
    qubits.erase(std::unique(qubits.begin(), qubits.end()), qubits.end());
    return true;
}

// --- Pauli products ---------------------------------------------------------------------------

bool extract_pauli(PyObject* obj, std::uint64_t n, std::vector<PauliTerm>& terms, bool& negated) {
    terms.clear();
    negated = false;
    if (PyUnicode_Check(obj)) {
        if (!parse_pauli_text(obj, n, terms, negated)) return false;
    } else if (PyMapping_Check(obj) && !PySequence_Check(obj)) {
        if (!pauli_mapping(obj, n, terms)) return false;
    } else {
        PyErr_Format(PyExc_TypeError,
                     "pauli must be a str such as '+X_Z' or 'X0*Z2', or a dict such as {0: 'X', 2: 'Z'}, not '%s'",
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    std::sort(terms.begin(), terms.end(), [](const PauliTerm& a, const PauliTerm& b) { return a.qubit < b.qubit; });
    const auto twice = std::adjacent_find(terms.begin(), terms.end(),
                                          [](const PauliTerm& a, const PauliTerm& b) { return a.qubit == b.qubit; });
    if (twice != terms.end()) {
        PyErr_Format(PyExc_ValueError, "qubit %llu appears twice in the Pauli product",
                     static_cast<unsigned long long>(twice->qubit));
        return false;
    }
    return true;
}

// --- Edges ------------------------------------------------------------------------------------

EdgeInput::~EdgeInput() {
    if (has_view_) PyBuffer_Release(&view_);
}

bool EdgeInput::open(PyObject* obj, std::uint64_t n) {
    if (buffer_like(obj)) {
        if (PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) != 0) return false;
        has_view_ = true;
        if (!integer_format(view_, "edges", format_)) return false;
        if (view_.ndim != 2 || view_.shape[1] != 2) {
            std::string shape;
            for (int d = 0; d < view_.ndim; ++d) {
                if (d > 0) shape += ", ";
                shape += std::to_string(view_.shape[d]);
            }
            if (view_.ndim == 1) shape += ",";
            PyErr_Format(PyExc_ValueError, "edges must have shape (E, 2), not (%s)", shape.c_str());
            return false;
        }
        count_ = static_cast<std::size_t>(view_.shape[0]);
        return true;
    }
    Ref it(PyObject_GetIter(obj));
    if (!it) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError,
                     "edges must be an integer array of shape (E, 2) or an iterable of pairs, not '%s'",
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    while (Ref item{PyIter_Next(it.get())}) {
        const std::size_t i = listed_.size();
        Ref pair(PySequence_Fast(item.get(), ""));
        if (!pair || PySequence_Fast_GET_SIZE(pair.get()) != 2) {
            PyErr_Clear();
            PyErr_Format(PyExc_ValueError, "edges[%zu] = %R is not a pair of qubits", i, item.get());
            return false;
        }
        Edge e{};
        for (int end = 0; end < 2; ++end) {
            PyObject* value = PySequence_Fast_GET_ITEM(pair.get(), end);
            std::uint64_t q;
            if (!extract_index(value, Param::edges, FaultStyle::ordinary, Qubits{n}, &q)) {
                if (!PyErr_ExceptionMatches(PyExc_IndexError)) return false;
                PyErr_Clear();
                PyErr_Format(PyExc_ValueError,
                             "edges[%zu] = %R: qubit %R is out of range for a simulator of %llu qubits", i, item.get(),
                             value, static_cast<unsigned long long>(n));
                return false;
            }
            (end == 0 ? e.u : e.v) = q;
        }
        if (e.u >= n || e.v >= n || e.u == e.v) {
            listed_.push_back(e);
            count_ = listed_.size();
            bad_edge(i, n);
            return false;
        }
        listed_.push_back(e);
    }
    if (PyErr_Occurred()) return false;
    count_ = listed_.size();
    return true;
}

namespace {

// Reads the edges of a strided (E, 2) buffer of T, one loop per element type: a large array
// goes through here twice, and a dispatch per element would cost more than the reading.
template <class T>
void read_edges(const char* base, const Py_ssize_t* strides, std::size_t first, std::span<Edge> out) noexcept {
    for (std::size_t k = 0; k < out.size(); ++k) {
        const char* row = base + static_cast<Py_ssize_t>(first + k) * strides[0];
        T u, v;
        std::memcpy(&u, row, sizeof u);
        std::memcpy(&v, row + strides[1], sizeof v);
        const auto end = [](T x) { return x < 0 ? kNoVertex : static_cast<std::uint64_t>(x); };
        if constexpr (std::is_signed_v<T>)
            out[k] = {end(u), end(v)};
        else
            out[k] = {static_cast<std::uint64_t>(u), static_cast<std::uint64_t>(v)};
    }
}

}  // namespace

void EdgeInput::read(std::size_t first, std::span<Edge> out) const noexcept {
    if (!has_view_) {
        std::copy_n(listed_.begin() + static_cast<std::ptrdiff_t>(first), out.size(), out.begin());
        return;
    }
    const auto* base = static_cast<const char*>(view_.buf);
    const bool is_signed = std::strchr("bhilqn", format_) != nullptr;
    switch (view_.itemsize * (is_signed ? -1 : 1)) {
        case 1:
            return read_edges<std::uint8_t>(base, view_.strides, first, out);
        case -1:
            return read_edges<std::int8_t>(base, view_.strides, first, out);
        case 2:
            return read_edges<std::uint16_t>(base, view_.strides, first, out);
        case -2:
            return read_edges<std::int16_t>(base, view_.strides, first, out);
        case 4:
            return read_edges<std::uint32_t>(base, view_.strides, first, out);
        case -4:
            return read_edges<std::int32_t>(base, view_.strides, first, out);
        case 8:
            return read_edges<std::uint64_t>(base, view_.strides, first, out);
        default:
            return read_edges<std::int64_t>(base, view_.strides, first, out);
    }
}

std::string EdgeInput::text(std::size_t i) const {
    std::string ends[2];
    if (!has_view_) {
        ends[0] = std::to_string(listed_[i].u);
        ends[1] = std::to_string(listed_[i].v);
    } else {
        const char* row = static_cast<const char*>(view_.buf) + static_cast<Py_ssize_t>(i) * view_.strides[0];
        for (int end = 0; end < 2; ++end) {
            const BufferInt x = read_int(row + end * view_.strides[1], view_.itemsize, format_);
            ends[end] = x.negative ? std::to_string(static_cast<std::int64_t>(x.bits)) : std::to_string(x.bits);
        }
    }
    std::string out;
    out.append("(").append(ends[0]).append(", ").append(ends[1]).append(")");
    return out;
}

void EdgeInput::bad_edge(std::size_t i, std::uint64_t n) const {
    Edge e;
    read(i, {&e, 1});
    const std::string shown = "edges[" + std::to_string(i) + "] = " + text(i);
    if (e.u == e.v) {
        PyErr_Format(PyExc_ValueError, "%s is a loop: an edge joins two different qubits", shown.c_str());
        return;
    }
    PyErr_Format(PyExc_ValueError, "%s leaves the register: qubits run from 0 to %llu", shown.c_str(),
                 static_cast<unsigned long long>(n) - 1);
}

void EdgeInput::repeated_edge() const {
    std::unordered_map<std::uint64_t, std::size_t> seen;
    for (std::size_t i = 0; i < count_; ++i) {
        Edge e;
        read(i, {&e, 1});
        const std::uint64_t key = std::min(e.u, e.v) << 32 | std::max(e.u, e.v);
        const auto [at, fresh] = seen.emplace(key, i);
        if (!fresh) {
            PyErr_Format(PyExc_ValueError, "edges[%zu] = %s repeats edges[%zu] = %s", i, text(i).c_str(), at->second,
                         text(at->second).c_str());
            return;
        }
    }
    PyErr_SetString(PyExc_SystemError, "an edge was reported to repeat, but none does");
}

// --- VOPs -------------------------------------------------------------------------------------

bool extract_vops(PyObject* obj, std::uint64_t n, std::vector<Vop>& vops) {
    vops.clear();
    const auto wrong_length = [&](std::size_t got) {
        PyErr_Format(PyExc_ValueError, "vops has %zu entries for a simulator of %llu qubits", got,
                     static_cast<unsigned long long>(n));
        return false;
    };
    const auto bad_value = [&](std::size_t i, const std::string& shown) {
        PyErr_Format(PyExc_ValueError, "vops[%zu] = %s is not a vertex operator: they run from 0 to 23", i,
                     shown.c_str());
        return false;
    };
    if (buffer_like(obj)) {
        View view;
        if (!view.get(obj)) return false;
        char code;
        if (!integer_format(*view, "vops", code)) return false;
        if (view->ndim != 1) {
            PyErr_Format(PyExc_ValueError, "vops must be one-dimensional, not of %d dimensions", view->ndim);
            return false;
        }
        if (static_cast<std::uint64_t>(view->shape[0]) != n)
            return wrong_length(static_cast<std::size_t>(view->shape[0]));
        vops.resize(static_cast<std::size_t>(n));
        const auto* base = static_cast<const char*>(view->buf);
        for (std::size_t i = 0; i < vops.size(); ++i) {
            const BufferInt x = read_int(base + static_cast<Py_ssize_t>(i) * view->strides[0], view->itemsize, code);
            if (x.negative || x.bits >= static_cast<std::uint64_t>(clifford::kVopCount))
                return bad_value(
                    i, x.negative ? std::to_string(static_cast<std::int64_t>(x.bits)) : std::to_string(x.bits));
            vops[i] = static_cast<Vop>(x.bits);
        }
        return true;
    }
    Ref it(PyObject_GetIter(obj));
    if (!it) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "vops must be an integer array or an iterable of ints, not '%s'",
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    while (Ref item{PyIter_Next(it.get())}) {
        const std::size_t i = vops.size();
        if (!PyIndex_Check(item.get())) {
            PyErr_Format(PyExc_TypeError, "vops[%zu] must be an int, not '%s'", i, Py_TYPE(item.get())->tp_name);
            return false;
        }
        const long long v = PyLong_AsLongLong(item.get());
        if (v == -1 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
            PyErr_Clear();
            Ref shown(PyObject_Repr(item.get()));
            return shown && bad_value(i, PyUnicode_AsUTF8(shown.get()));
        }
        if (v < 0 || v >= clifford::kVopCount) return bad_value(i, std::to_string(v));
        vops.push_back(static_cast<Vop>(v));
    }
    if (PyErr_Occurred()) return false;
    if (vops.size() != n) return wrong_length(vops.size());
    return true;
}

}  // namespace tessaryn::py

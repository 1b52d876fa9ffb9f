#include "module/methods.h"

namespace tessaryn::py {

PyObject* int_set(const std::vector<std::uint64_t>& values) {
    Ref set(PySet_New(nullptr));
    if (!set) return nullptr;
    for (const std::uint64_t q : values) {
        Ref item(PyLong_FromUnsignedLongLong(q));
        if (!item || PySet_Add(set.get(), item.get()) < 0) return nullptr;
    }
    return set.release();
}

PeekDict make_peek_dict(const std::vector<std::uint64_t>& qubits) {
    PeekDict d{Ref(PyDict_New()), {}};
    // Only allocations fail here: MemoryError, raised as the engine's out-of-memory.
    const auto fail = [] {
        PyErr_Clear();
        throw std::bad_alloc();
    };
    if (!d.dict) fail();
    d.outcomes.reserve(qubits.size());
    for (const std::uint64_t q : qubits) {
        Ref key(PyLong_FromUnsignedLongLong(q));
        Ref value(make_outcome(0, 0));
        if (!key || !value || PyDict_SetItem(d.dict.get(), key.get(), value.get()) < 0) fail();
        d.outcomes.push_back(value.get());  // the dict holds it
    }
    return d;
}

void fill_peek_dict(PeekDict& d, const std::vector<PeekResult>& results) noexcept {
    for (std::size_t i = 0; i < results.size(); ++i)
        set_outcome(d.outcomes[i], results[i].outcome, static_cast<std::uint8_t>(results[i].axis));
}

}  // namespace tessaryn::py

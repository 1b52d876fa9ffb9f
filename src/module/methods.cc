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

PyObject* peek_dict(const std::vector<PeekResult>& results) {
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    for (const PeekResult& r : results) {
        Ref key(PyLong_FromUnsignedLongLong(r.qubit));
        Ref value(make_outcome(r.outcome, static_cast<std::uint8_t>(r.axis)));
        if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return dict.release();
}

}  // namespace tessaryn::py

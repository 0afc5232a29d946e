// Reading a block's choices: their ids, counts and next starts as Python
// objects.
#include "chain/block.h"

namespace pjson {

void bag_span(const BagData* d, size_t index, const uint32_t*& ids, size_t& length) noexcept {
    ids_at(d, index, ids, length);
}

bool bag_count_native(const BagData* d, size_t index, int64_t& count) noexcept {
    if (has_object(d, index)) return false;
    count = count_at(d, index);
    return true;
}

PyObject* bag_count_object(const BagData* d, size_t index) noexcept {
    return has_object(d, index) ? d->extra->objects[index] : nullptr;
}

Ref bag_count(const BagData* d, size_t index) {
    int64_t n;
    if (bag_count_native(d, index, n)) return check(PyLong_FromLongLong(n));
    return Ref::borrow(bag_count_object(d, index));
}

Ref bag_next_start(const BagData* d, size_t index) {
    const uint32_t* ids;
    size_t n;
    bag_span(d, index, ids, n);
    // Every value is taken before the tuple is made: making it may run the
    // collector, and code that empties the bag and frees the values.
    Small<PyObject*> values;
    values.resize(n);
    bool acyclic = true;
    for (size_t e = 0; e < n; ++e) {
        PyObject* v = d->vocab->table->value(ids[e]);
        if (v == nullptr) vocab_value(d->vocab, ids[e]);  // raises
        values[e] = v;
        acyclic = acyclic && d->vocab->table->plain(ids[e]);
    }
    for (PyObject* v : values) Py_INCREF(v);
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(n));
    if (tuple == nullptr) {
        for (PyObject* v : values) Py_DECREF(v);
        throw_error();
    }
    for (size_t e = 0; e < n; ++e) PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(e), values[e]);
    // As the collector would at its next pass: plain values make no cycle.
    if (acyclic) PyObject_GC_UnTrack(tuple);
    return Ref(tuple);
}

Choice bag_choice(const BagData* d, size_t index) {
    // The count is read before the next start is made, for the same reason.
    int64_t native;
    bool is_native = bag_count_native(d, index, native);
    Ref count = is_native ? Ref() : Ref::borrow(bag_count_object(d, index));
    Ref next_start = bag_next_start(d, index);
    if (is_native) count = check(PyLong_FromLongLong(native));
    return Choice{std::move(next_start), std::move(count)};
}

Py_hash_t bag_choice_hash(const BagData* d, size_t index) noexcept {
    const uint32_t* ids;
    size_t n;
    bag_span(d, index, ids, n);
    const VocabTable& t = *d->vocab->table;
    return tuple_hash_by(n, [&](size_t i) { return t.hash(ids[i]); });
}

Ref list_of(std::vector<Ref>& items) {
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(items.size())));
    for (size_t i = 0; i < items.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), items[i].release());
    return list;
}

Ref tuple_of(std::vector<Ref>& items) {
    Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    for (size_t i = 0; i < items.size(); ++i)
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), items[i].release());
    return tuple;
}

}  // namespace pjson

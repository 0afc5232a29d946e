// ProbabilityBag: the Python type over a block of choices (bag_store.cpp),
// and its iterators.
#include "chain/chain.h"

namespace pjson {

void NextStartValues::collect(PyObject* items) {
    release();
    if (PyTuple_CheckExact(items)) {
        tuple_ = Ref::borrow(items);
        return freeze_lists();
    }
    if (PyList_CheckExact(items)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items); ++i) {
            PyObject* v = PyList_GET_ITEM(items, i);
            owned_.push_back(v);
            Py_INCREF(v);
        }
        return freeze_lists();
    }
    Ref it = check(PyObject_GetIter(items));
    for (;;) {
        PyObject* v = PyIter_Next(it.get());
        if (v == nullptr) break;
        try {
            owned_.push_back(v);
        } catch (...) {
            Py_DECREF(v);
            throw;
        }
    }
    if (PyErr_Occurred()) throw_error();
    freeze_lists();
}

void NextStartValues::adopt(PyObject* const* values, size_t n) {
    release();
    given_ = values;
    given_size_ = n;
    freeze_lists();
}

void NextStartValues::freeze_lists() {
    const size_t n = size();
    size_t first = 0;
    while (first < n && !PyList_Check(data()[first])) ++first;
    if (first == n) return;
    // What is held now stays until the frozen values are all made, which
    // may run code.
    std::vector<Ref> frozen;
    frozen.reserve(n);
    for (size_t i = 0; i < n; ++i) frozen.push_back(Ref::borrow(data()[i]));
    for (size_t i = first; i < n; ++i)
        if (PyList_Check(frozen[i].get())) frozen[i] = frozen_value(frozen[i].get());
    frozen_.resize(n);
    for (size_t i = 0; i < n; ++i) frozen_[i] = frozen[i].release();
}

// ---------------------------------------------------------------------------
// The Python type.

namespace {

constexpr const char* kBagName = "ProbabilityBag";

Bag* as_bag(PyObject* o) { return reinterpret_cast<Bag*>(o); }
State* bag_state(PyObject* self) { return state_of(Py_TYPE(self)); }

PyObject* bag_tp_new(PyTypeObject* type, PyObject*, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Ref obj = check(type->tp_alloc(type, 0));
        as_bag(obj.get())->data = bag_data_new(nullptr);
        return obj.release();
    });
}

int bag_tp_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
        PyErr_SetString(PyExc_TypeError, "ProbabilityBag() takes no arguments");
        return -1;
    }
    // As __init__ of the pure-Python class: a bag made afresh.
    return guarded<int>(-1, [&] {
        Graveyard graves;
        if (bag_size(bag_data(self)) > 0) bag_renew(as_bag(self), graves);
        return 0;
    });
}

int bag_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    BagData* data = bag_data(self);
    return data != nullptr ? bag_data_traverse(data, visit, arg) : 0;
}

int bag_tp_clear(PyObject* self) {
    // A block held besides the bag was not visited (bag_data_traverse), so
    // it takes no part in a cycle; its holder still reads it.
    BagData* d = bag_data(self);
    Graveyard graves;
    if (d != nullptr && d->refs == 1) bag_data_reset(d, graves);
    return 0;
}

void bag_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    {
        Graveyard graves;
        if (BagData* data = std::exchange(as_bag(self)->data, nullptr)) bag_data_decref(data, graves);
    }
    type->tp_free(self);
    Py_DECREF(type);
}

const char* const kAddNames[] = {"items", "count"};

PyObject* bag_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* a[2] = {nullptr, nullptr};
        parse_args("add", kAddNames, 1, 2, args, nargs, kwnames, a);
        State* st = bag_state(self);
        Ref one;
        if (a[1] == nullptr) a[1] = (one = check(PyLong_FromLong(1))).get();
        NextStartValues values;
        values.collect(a[0]);
        bag_add_values(st, bag_data(self), values.data(), values.size(), a[1]);
        Py_RETURN_NONE;
    });
}

const char* const kChooseNames[] = {"rng"};

PyObject* bag_choose_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] {
        PyObject* rng = nullptr;
        parse_args("choose", kChooseNames, 1, 1, args, nargs, kwnames, &rng);
        return bag_choose(bag_state(self), bag_data(self), rng).release();
    });
}

PyObject* bag_choices(PyObject* self, PyObject*) { return bag_iter_make(self, 1); }
PyObject* bag_iter(PyObject* self) { return bag_iter_make(self, 0); }

Py_ssize_t bag_length(PyObject* self) { return static_cast<Py_ssize_t>(bag_size(bag_data(self))); }

PyObject* bag_unique_count(PyObject* self, void*) { return PyLong_FromSize_t(bag_size(bag_data(self))); }

PyObject* bag_total(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        BagData* d = bag_data(self);
        size_t n = bag_size(d);
        int64_t count;
        bool native = true;
        __int128 total = 0;
        for (size_t i = 0; native && i < n; ++i) {
            native = bag_count_native(d, i, count);
            if (native) total += count;
        }
        if (native) {
            if (total >= INT64_MIN && total <= INT64_MAX) return PyLong_FromLongLong(static_cast<long long>(total));
            // hi * 2**64 + lo
            Ref hi = check(PyLong_FromLongLong(static_cast<long long>(total >> 64)));
            Ref lo = check(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(total)));
            Ref shift = check(PyLong_FromLong(64));
            Ref high = check(PyNumber_Lshift(hi.get(), shift.get()));
            return PyNumber_Add(high.get(), lo.get());
        }
        // sum() of the counts, by the builtin itself (its float summation
        // differs between interpreter versions).
        std::vector<Ref> counts;
        for (size_t i = 0; i < n; ++i) counts.push_back(bag_count(d, i));
        return PyObject_CallOneArg(bag_state(self)->sum, list_of(counts).get());
    });
}

// Looks any object up as a next start, as `x in dict` does.
int bag_contains(PyObject* self, PyObject* key) {
    return guarded<int>(-1, [&]() -> int {
        BagData* d = bag_data(self);
        BagPin pin(d);
        if (PyTuple_CheckExact(key)) {
            Hashed h;
            Py_ssize_t n = PyTuple_GET_SIZE(key);
            PyObject* const* values = &PyTuple_GET_ITEM(key, 0);
            hash_values(values, static_cast<size_t>(n), h);
            for (;;) {
                size_t index;
                Probe p{values, h.hashes.data(), nullptr, static_cast<size_t>(n), h.hash};
                Find f = bag_find(d, p, index);
                if (f != Find::changed) return f == Find::found ? 1 : 0;
            }
        }
        Py_hash_t hash = PyObject_Hash(key);
        if (hash == -1) throw_error();
        for (size_t c = 0; c < bag_size(d); ++c) {
            if (bag_choice_hash(d, c) != hash) continue;
            Ref stored = bag_next_start(d, c);
            if (check_status(PyObject_RichCompareBool(stored.get(), key, Py_EQ))) return 1;
        }
        return 0;
    });
}

}  // namespace

// Whether `b` holds every choice of `a` with an equal count (sizes agreed).
static bool bag_holds_all(BagData* a, BagData* b) {
    uint64_t stamp_a = a->stamp, stamp_b = b->stamp;
    size_t n = bag_size(a);
    for (size_t c = 0; c < n; ++c) {
        if (a->stamp != stamp_a || b->stamp != stamp_b || bag_size(a) != n) raise_changed(kBagName);
        // The choice of `a` is read whole before the lookup, whose comparisons
        // may change `a`: its ids are held, so that their values stay and no
        // other value can take them, and its count is taken, as a dict's ==
        // takes the key and value it compares.
        Graveyard graves;
        Holds holds(graves);
        Vocab* vocab = a->vocab;
        const VocabTable& t = *vocab->table;
        const uint32_t* ids;
        size_t len;
        bag_span(a, c, ids, len);
        Small<uint32_t> own;
        Small<PyObject*> values;
        Hashed h;
        own.resize(len);
        values.resize(len);
        h.hashes.resize(len);
        for (size_t e = 0; e < len; ++e) {
            own[e] = ids[e];
            vocab->table->hold(own[e]);
            holds.take(vocab, own[e]);
            values[e] = t.value(own[e]);
            if (values[e] == nullptr) vocab_value(vocab, own[e]);  // raises
            h.hashes[e] = t.hash(own[e]);
        }
        h.hash = tuple_hash(h.hashes.data(), len);
        int64_t x, y;
        bool native_a = bag_count_native(a, c, x);
        Ref cx = native_a ? Ref() : Ref::borrow(bag_count_object(a, c));
        Probe p{values.data(), h.hashes.data(), vocab == b->vocab ? own.data() : nullptr, len, h.hash};
        size_t index;
        Find f = bag_find(b, p, index);
        if (f == Find::changed) raise_changed(kBagName);
        if (f == Find::absent) return false;
        // The same for the count found, before anything is made.
        bool native_b = bag_count_native(b, index, y);
        Ref cy = native_b ? Ref() : Ref::borrow(bag_count_object(b, index));
        if (native_a && native_b) {
            if (x != y) return false;
            continue;
        }
        if (native_a) cx = check(PyLong_FromLongLong(x));
        if (native_b) cy = check(PyLong_FromLongLong(y));
        if (!check_status(PyObject_RichCompareBool(cx.get(), cy.get(), Py_EQ))) return false;
    }
    return true;
}

Bag* bag_wrap(State* st, BagData* data) {
    PyTypeObject* type = st->bag_type;
    PyObject* obj = type->tp_alloc(type, 0);
    if (obj == nullptr) {
        Graveyard graves;
        bag_data_decref(data, graves);
        throw_error();
    }
    reinterpret_cast<Bag*>(obj)->data = data;
    return reinterpret_cast<Bag*>(obj);
}

Bag* bag_new(State* st, Vocab* vocab) { return bag_wrap(st, bag_data_new(vocab)); }

void bag_renew(Bag* bag, Graveyard& graves) {
    BagData* d = bag->data;
    if (d->picks == 0) return bag_data_reset(d, graves);
    bag->data = bag_data_new(nullptr);
    bag_data_decref(d, graves);
}

bool bag_data_equal(BagData* a, BagData* b) {
    BagPin pin_a(a), pin_b(b);
    return bag_size(a) == bag_size(b) && (a == b || bag_size(a) == 0 || bag_holds_all(a, b));
}

Ref bag_data_repr(BagData* d) {
    BagPin pin(d);
    Ref parts = check(PyList_New(0));
    Ref sep = check(PyUnicode_FromString(": "));
    for (size_t c = 0; c < bag_size(d); ++c) {
        Choice choice = bag_choice(d, c);
        Ref k = check(PyObject_Repr(choice.next_start.get()));
        Ref v = check(PyObject_Repr(choice.count.get()));
        Ref kv = check(PyUnicode_Concat(k.get(), sep.get()));
        Ref item = check(PyUnicode_Concat(kv.get(), v.get()));
        check_status(PyList_Append(parts.get(), item.get()));
    }
    Ref comma = check(PyUnicode_FromString(", "));
    Ref body = check(PyUnicode_Join(comma.get(), parts.get()));
    return check(PyUnicode_FromFormat("ProbabilityBag({%U})", body.get()));
}

namespace {

PyObject* bag_richcompare(PyObject* self, PyObject* other, int op) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        State* st = bag_state(self);
        if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(other, st->bag_type)) Py_RETURN_NOTIMPLEMENTED;
        Ref keep_a = Ref::borrow(self), keep_b = Ref::borrow(other);
        bool equal = bag_data_equal(bag_data(self), bag_data(other));
        return Ref::borrow((equal == (op == Py_EQ)) ? Py_True : Py_False).release();
    });
}

PyObject* bag_repr(PyObject* self) {
    int entered = Py_ReprEnter(self);
    if (entered != 0) return entered > 0 ? PyUnicode_FromString("ProbabilityBag({...})") : nullptr;
    PyObject* result = guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Ref keep = Ref::borrow(self);
        return bag_data_repr(bag_data(self)).release();
    });
    Py_ReprLeave(self);
    return result;
}

PyMethodDef bag_methods[] = {
    {"add", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(bag_add)), METH_FASTCALL | METH_KEYWORDS,
     "add($self, /, items, count=1)\n--\n\nAdd count to the choice whose next start is tuple(items).\n\n"
     "A list among the items (a JSON array as a reader hands it over) is stored as\n"
     "the equal tuple, and so is every list within it."},
    {"choices", bag_choices, METH_NOARGS,
     "choices($self, /)\n--\n\nReturn an iterator of (next_start, count) in insertion order."},
    {"choose", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(bag_choose_method)),
     METH_FASTCALL | METH_KEYWORDS,
     "choose($self, /, rng)\n--\n\nPick a next start at random, weighted by the counts; calls rng.random() once."},
    {"__reduce__", bag_reduce, METH_NOARGS, nullptr},
    {"__reduce_ex__", bag_reduce_ex, METH_O, nullptr},
    {"__setstate__", bag_setstate, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef bag_getset[] = {
    {"unique_count", bag_unique_count, nullptr, "The number of distinct next starts.", nullptr},
    {"total", bag_total, nullptr, "The sum of all counts.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot bag_slots[] = {
    {Py_tp_doc, const_cast<char*>("Weighted choices of next starts, each a tuple of values with a count.\n\n"
                                  "Choices keep the order in which they were first added; adding a next start\n"
                                  "that is already there adds to its count.")},
    {Py_tp_new, reinterpret_cast<void*>(bag_tp_new)},
    {Py_tp_init, reinterpret_cast<void*>(bag_tp_init)},
    {Py_tp_traverse, reinterpret_cast<void*>(bag_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(bag_tp_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(bag_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(bag_iter)},
    {Py_tp_repr, reinterpret_cast<void*>(bag_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(bag_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_methods, bag_methods},
    {Py_tp_getset, bag_getset},
    {Py_sq_length, reinterpret_cast<void*>(bag_length)},
    {Py_sq_contains, reinterpret_cast<void*>(bag_contains)},
    {0, nullptr},
};

}  // namespace

PyType_Spec bag_spec = {"tesmo.bag.ProbabilityBag", sizeof(Bag), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE, bag_slots};

}  // namespace pjson

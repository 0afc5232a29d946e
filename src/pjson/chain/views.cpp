// The iterators over a bag and a chain, and the chain's items view: each
// holds its bag or chain and reads it afresh at every step.
#include "chain/chain.h"

namespace pjson {

namespace {

constexpr const char* kBagName = "ProbabilityBag";
constexpr const char* kChainName = "Chain";

Chain* as_chain(PyObject* o) { return reinterpret_cast<Chain*>(o); }
State* bag_state(PyObject* self) { return state_of(Py_TYPE(self)); }
State* chain_state(PyObject* self) { return state_of(Py_TYPE(self)); }

// ---------------------------------------------------------------------------
// Iterators over a bag: next starts (kind 0) or (next start, count) pairs.

struct BagIter {
    PyObject_HEAD
    PyObject* bag;  // nullptr once exhausted
    Py_ssize_t index;
    Py_ssize_t size;  // at the start: a bag that grows stops the iteration
    int kind;
};

PyObject* bag_iter_next(PyObject* self) {
    BagIter* it = reinterpret_cast<BagIter*>(self);
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (it->bag == nullptr) return nullptr;
        BagData* bag = bag_data(it->bag);
        if (static_cast<Py_ssize_t>(bag_size(bag)) != it->size) raise_changed(kBagName);
        if (it->index >= it->size) {
            Ref done(std::exchange(it->bag, nullptr));
            return nullptr;
        }
        size_t c = static_cast<size_t>(it->index++);
        if (it->kind == 0) return bag_next_start(bag, c).release();
        Choice choice = bag_choice(bag, c);
        return PyTuple_Pack(2, choice.next_start.get(), choice.count.get());
    });
}

int bag_iter_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<BagIter*>(self)->bag);
    return 0;
}

int bag_iter_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<BagIter*>(self)->bag);
    return 0;
}

void bag_iter_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    bag_iter_clear(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyObject* bag_iter_length_hint(PyObject* self, PyObject*) {
    BagIter* it = reinterpret_cast<BagIter*>(self);
    Py_ssize_t left = it->bag != nullptr && static_cast<Py_ssize_t>(bag_size(bag_data(it->bag))) == it->size
                          ? it->size - it->index
                          : 0;
    return PyLong_FromSsize_t(left);
}

PyMethodDef bag_iter_methods[] = {
    {"__length_hint__", bag_iter_length_hint, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot bag_iter_slots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(bag_iter_next)},
    {Py_tp_traverse, reinterpret_cast<void*>(bag_iter_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(bag_iter_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(bag_iter_dealloc)},
    {Py_tp_methods, bag_iter_methods},
    {0, nullptr},
};

// ---------------------------------------------------------------------------
// Iterators over a chain: starts (kind 0) or (start, bag) pairs (kind 1).

struct ChainIter {
    PyObject_HEAD
    PyObject* chain;  // nullptr once exhausted
    Py_ssize_t index;
    Py_ssize_t size;
    uint64_t clears;
    int kind;
};

PyObject* chain_iter_next(PyObject* self) {
    ChainIter* it = reinterpret_cast<ChainIter*>(self);
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (it->chain == nullptr) return nullptr;
        Chain* chain = as_chain(it->chain);
        if (chain_size(chain) != it->size || chain->store->clears != it->clears) raise_changed(kChainName);
        if (it->index >= it->size) {
            Ref done(std::exchange(it->chain, nullptr));
            return nullptr;
        }
        size_t index = static_cast<size_t>(it->index++);
        Ref start = vocab_value(chain->vocab, chain_entry(chain, index)->start);
        if (it->kind == 0) return start.release();
        Ref bag = chain_entry_bag(chain_state(it->chain), chain, index);
        if (!bag) raise_changed(kChainName);
        return PyTuple_Pack(2, start.get(), bag.get());
    });
}

int chain_iter_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<ChainIter*>(self)->chain);
    return 0;
}

int chain_iter_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<ChainIter*>(self)->chain);
    return 0;
}

void chain_iter_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    chain_iter_clear(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyObject* chain_iter_length_hint(PyObject* self, PyObject*) {
    ChainIter* it = reinterpret_cast<ChainIter*>(self);
    Py_ssize_t left = it->chain != nullptr && chain_size(as_chain(it->chain)) == it->size ? it->size - it->index : 0;
    return PyLong_FromSsize_t(left);
}

PyMethodDef chain_iter_methods[] = {
    {"__length_hint__", chain_iter_length_hint, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot chain_iter_slots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(chain_iter_next)},
    {Py_tp_traverse, reinterpret_cast<void*>(chain_iter_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(chain_iter_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(chain_iter_dealloc)},
    {Py_tp_methods, chain_iter_methods},
    {0, nullptr},
};

// ---------------------------------------------------------------------------
// The items view: iterable again and again, sized, and able to answer `in`.
struct Items {
    PyObject_HEAD
    PyObject* chain;
};

PyObject* items_iter(PyObject* self) { return chain_iter_make(reinterpret_cast<Items*>(self)->chain, 1); }

Py_ssize_t items_length(PyObject* self) { return chain_size(as_chain(reinterpret_cast<Items*>(self)->chain)); }

int items_contains(PyObject* self, PyObject* pair) {
    return guarded<int>(-1, [&]() -> int {
        if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) return 0;
        Ref chain = Ref::borrow(reinterpret_cast<Items*>(self)->chain);
        Ref bag = find_bag_object(as_chain(chain.get()), PyTuple_GET_ITEM(pair, 0));
        if (!bag) return 0;
        return check_status(PyObject_RichCompareBool(bag.get(), PyTuple_GET_ITEM(pair, 1), Py_EQ));
    });
}

PyObject* items_repr(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Ref pairs = chain_pairs(as_chain(reinterpret_cast<Items*>(self)->chain));
        return PyUnicode_FromFormat("chain_items(%R)", pairs.get());
    });
}

int items_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<Items*>(self)->chain);
    return 0;
}

int items_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<Items*>(self)->chain);
    return 0;
}

void items_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    items_clear(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyObject* items_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "cannot create 'chain_items' instances");
    return nullptr;
}

PyType_Slot items_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(items_new)},
    {Py_tp_iter, reinterpret_cast<void*>(items_iter)},
    {Py_tp_repr, reinterpret_cast<void*>(items_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(items_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(items_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(items_dealloc)},
    {Py_sq_length, reinterpret_cast<void*>(items_length)},
    {Py_sq_contains, reinterpret_cast<void*>(items_contains)},
    {0, nullptr},
};

}  // namespace

PyObject* bag_iter_make(PyObject* self, int kind) {
    State* st = bag_state(self);
    if (st == nullptr) return nullptr;
    BagIter* it = PyObject_GC_New(BagIter, st->bag_iter_type);
    if (it == nullptr) return nullptr;
    it->bag = Ref::borrow(self).release();
    it->index = 0;
    it->size = static_cast<Py_ssize_t>(bag_size(bag_data(self)));
    it->kind = kind;
    PyObject_GC_Track(it);
    return reinterpret_cast<PyObject*>(it);
}

PyObject* chain_iter_make(PyObject* self, int kind) {
    State* st = chain_state(self);
    if (st == nullptr) return nullptr;
    ChainIter* it = PyObject_GC_New(ChainIter, st->chain_iter_type);
    if (it == nullptr) return nullptr;
    it->chain = Ref::borrow(self).release();
    it->index = 0;
    it->size = chain_size(as_chain(self));
    it->clears = as_chain(self)->store->clears;
    it->kind = kind;
    PyObject_GC_Track(it);
    return reinterpret_cast<PyObject*>(it);
}

PyObject* chain_items(PyObject* self, PyObject*) {
    State* st = chain_state(self);
    if (st == nullptr) return nullptr;
    PyObject* view = PyType_GenericAlloc(st->items_type, 0);
    if (view == nullptr) return nullptr;
    reinterpret_cast<Items*>(view)->chain = Ref::borrow(self).release();
    return view;
}

PyType_Spec bag_iter_spec = {"tesmo._chain.bag_iterator", sizeof(BagIter), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
                             bag_iter_slots};

PyType_Spec chain_iter_spec = {"tesmo._chain.chain_iterator", sizeof(ChainIter), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, chain_iter_slots};
PyType_Spec items_spec = {"tesmo._chain.chain_items", sizeof(Items), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
                          items_slots};

}  // namespace pjson

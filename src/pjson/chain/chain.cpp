// Chain: the Python type over the chain's store (chain_store.cpp).
#include "chain/chain.h"

#include <memory>

namespace pjson {

namespace {

constexpr const char* kChainName = "Chain";

Chain* as_chain(PyObject* o) { return reinterpret_cast<Chain*>(o); }
State* chain_state(PyObject* self) { return state_of(Py_TYPE(self)); }

PyObject* chain_tp_new(PyTypeObject* type, PyObject*, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Ref obj = check(type->tp_alloc(type, 0));
        as_chain(obj.get())->store = new ChainStore();
        return obj.release();
    });
}

int chain_tp_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
        PyErr_SetString(PyExc_TypeError, "Chain() takes no arguments");
        return -1;
    }
    return guarded<int>(-1, [&] {
        if (chain_size(as_chain(self)) > 0) chain_clear(as_chain(self));
        return 0;
    });
}

int chain_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Chain* chain = as_chain(self);
    Py_VISIT(reinterpret_cast<PyObject*>(chain->vocab));
    if (chain->store != nullptr)
        for (ChainEntry& e : chain->store->entries) {
            Py_VISIT(e.bag);
            if (e.data != nullptr) {
                int r = bag_data_traverse(e.data, visit, arg);
                if (r != 0) return r;
            }
        }
    return 0;
}

int chain_tp_clear(PyObject* self) {
    Chain* chain = as_chain(self);
    if (chain->store != nullptr && chain->vocab != nullptr) chain_drop(chain);
    Py_CLEAR(chain->vocab);
    return 0;
}

void chain_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    chain_tp_clear(self);
    delete as_chain(self)->store;
    as_chain(self)->store = nullptr;
    type->tp_free(self);
    Py_DECREF(type);
}

const char* const kAddToBagNames[] = {"start", "items", "count"};
const char* const kSetBagNames[] = {"start", "bag"};

PyObject* chain_add_to_bag(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* a[3] = {nullptr, nullptr, nullptr};
        parse_args("add_to_bag", kAddToBagNames, 2, 3, args, nargs, kwnames, a);
        Ref one;
        if (a[2] == nullptr) a[2] = (one = check(PyLong_FromLong(1))).get();
        Ref keep = Ref::borrow(self);
        chain_add_values(chain_state(self), as_chain(self), a[0], a[1], nullptr, 0, a[2]);
        Py_RETURN_NONE;
    });
}

PyObject* chain_set_bag_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* a[2] = {nullptr, nullptr};
        parse_args("set_bag", kSetBagNames, 2, 2, args, nargs, kwnames, a);
        Ref keep = Ref::borrow(self);
        chain_set_bag(chain_state(self), as_chain(self), a[0], a[1]);
        Py_RETURN_NONE;
    });
}

PyObject* chain_clear_method(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (as_chain(self)->vocab != nullptr) chain_clear(as_chain(self));
        Py_RETURN_NONE;
    });
}

PyObject* chain_build_frequency_dict(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&] { return chain_frequency_dict(as_chain(self)).release(); });
}

PyObject* chain_iter(PyObject* self) { return chain_iter_make(self, 0); }

Py_ssize_t chain_length(PyObject* self) { return chain_size(as_chain(self)); }

PyObject* chain_subscript(PyObject* self, PyObject* start) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Ref keep = Ref::borrow(self);
        Ref bag = find_bag_object(as_chain(self), start);
        if (!bag) raise_key_error(start);
        return bag.release();
    });
}

int chain_contains(PyObject* self, PyObject* start) {
    return guarded<int>(-1, [&] {
        Ref keep = Ref::borrow(self);
        size_t index;
        return chain_find(as_chain(self), start, index) ? 1 : 0;
    });
}

// Whether the bags of entry `e` of `a` and entry `f` of `b` are equal, as
// `bag_a == bag_b` says; native blocks are compared without their objects.
bool entries_equal(State* st, Chain* a, size_t e, Chain* b, size_t f) {
    BagData* x = chain_entry_data(st, chain_entry(a, e));
    BagData* y = chain_entry_data(st, chain_entry(b, f));
    if (x != nullptr && y != nullptr) return bag_data_equal(x, y);
    Ref bag_a = chain_entry_bag(st, a, e);
    Ref bag_b = chain_entry_bag(st, b, f);
    if (!bag_a || !bag_b) raise_changed(kChainName);
    return check_status(PyObject_RichCompareBool(bag_a.get(), bag_b.get(), Py_EQ)) == 1;
}

bool chain_holds_all(Chain* a, Chain* b) {
    State* st = state_of(Py_TYPE(a));
    Py_ssize_t n = chain_size(a);
    for (Py_ssize_t e = 0; e < n; ++e) {
        if (chain_size(a) != n) raise_changed(kChainName);
        Ref start = vocab_value(a->vocab, chain_entry(a, static_cast<size_t>(e))->start);
        size_t f;
        if (!chain_find(b, start.get(), f)) return false;
        if (chain_size(a) != n) raise_changed(kChainName);
        if (!entries_equal(st, a, static_cast<size_t>(e), b, f)) return false;
    }
    return true;
}

PyObject* chain_richcompare(PyObject* self, PyObject* other, int op) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        State* st = chain_state(self);
        if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(other, st->chain_type)) Py_RETURN_NOTIMPLEMENTED;
        Ref keep_a = Ref::borrow(self), keep_b = Ref::borrow(other);
        Chain *a = as_chain(self), *b = as_chain(other);
        bool equal = chain_size(a) == chain_size(b) && (a == b || chain_size(a) == 0 || chain_holds_all(a, b));
        return Ref::borrow((equal == (op == Py_EQ)) ? Py_True : Py_False).release();
    });
}

PyObject* chain_repr(PyObject* self) {
    int entered = Py_ReprEnter(self);
    if (entered != 0) return entered > 0 ? PyUnicode_FromString("Chain({...})") : nullptr;
    PyObject* result = guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Chain* chain = as_chain(self);
        Ref keep = Ref::borrow(self);
        Ref parts = check(PyList_New(0));
        for (Py_ssize_t e = 0; e < chain_size(chain); ++e) {
            const ChainEntry* entry = chain_entry(chain, static_cast<size_t>(e));
            Ref start = vocab_value(chain->vocab, entry->start);
            // Both kept, as a dict's repr keeps its key and value.
            Ref bag = Ref::borrow(entry->bag);
            std::unique_ptr<BagPin> data(entry->data ? new BagPin(entry->data) : nullptr);
            Ref k = check(PyObject_Repr(start.get()));
            Ref v = data ? bag_data_repr(data->get()) : check(PyObject_Repr(bag.get()));
            Ref item = check(PyUnicode_FromFormat("%U: %U", k.get(), v.get()));
            check_status(PyList_Append(parts.get(), item.get()));
        }
        Ref comma = check(PyUnicode_FromString(", "));
        Ref body = check(PyUnicode_Join(comma.get(), parts.get()));
        return PyUnicode_FromFormat("Chain({%U})", body.get());
    });
    Py_ReprLeave(self);
    return result;
}

#define FASTCALL_KW(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f))

PyMethodDef chain_methods[] = {
    {"items", chain_items, METH_NOARGS, "items($self, /)\n--\n\nReturn the (start, bag) pairs in insertion order."},
    {"clear", chain_clear_method, METH_NOARGS, "clear($self, /)\n--\n\nRemove every start and its bag."},
    {"set_bag", FASTCALL_KW(chain_set_bag_method), METH_FASTCALL | METH_KEYWORDS,
     "set_bag($self, /, start, bag)\n--\n\nInstall bag as the bag of start, replacing any earlier one.\n\n"
     "A start given as a list (a JSON array as a reader hands it over) is stored as\n"
     "the equal tuple, and so is every list within it."},
    {"add_to_bag", FASTCALL_KW(chain_add_to_bag), METH_FASTCALL | METH_KEYWORDS,
     "add_to_bag($self, /, start, items, count=1)\n--\n\n"
     "Add count to the choice tuple(items) in the bag of start, creating the start\nand its bag when absent.\n\n"
     "A start given as a list is stored as the equal tuple, as set_bag stores it;\n"
     "lists among the items as ProbabilityBag.add stores them."},
    {"build_frequency_dict", chain_build_frequency_dict, METH_NOARGS,
     "build_frequency_dict($self, /)\n--\n\n"
     "Count how often each value occurs in the chain, in first-seen order: once for\n"
     "every start it is and once for every element position it fills in a distinct\nnext start."},
    {"__reduce__", chain_reduce, METH_NOARGS, nullptr},
    {"__reduce_ex__", chain_reduce_ex, METH_O, nullptr},
    {"__setstate__", chain_setstate, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot chain_slots[] = {
    {Py_tp_doc, const_cast<char*>("Maps each start (a hashable value) to the bag of its next starts.\n\n"
                                  "Starts keep the order in which they were first added.")},
    {Py_tp_new, reinterpret_cast<void*>(chain_tp_new)},
    {Py_tp_init, reinterpret_cast<void*>(chain_tp_init)},
    {Py_tp_traverse, reinterpret_cast<void*>(chain_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(chain_tp_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(chain_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(chain_iter)},
    {Py_tp_repr, reinterpret_cast<void*>(chain_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(chain_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_methods, chain_methods},
    {Py_mp_length, reinterpret_cast<void*>(chain_length)},
    {Py_mp_subscript, reinterpret_cast<void*>(chain_subscript)},
    {Py_sq_contains, reinterpret_cast<void*>(chain_contains)},
    {0, nullptr},
};

}  // namespace

PyType_Spec chain_spec = {"tesmo.chain.Chain", sizeof(Chain), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE, chain_slots};

}  // namespace pjson

// Pickling. Chain and ProbabilityBag pickle as (type, (), state), the state
// being their (key, value) pairs, or (pairs, instance state) for an instance
// of a subclass that holds attributes.
#include "chain/chain.h"

namespace pjson {

namespace {

Bag* as_bag(PyObject* o) { return reinterpret_cast<Bag*>(o); }
State* bag_state(PyObject* self) { return state_of(Py_TYPE(self)); }
Chain* as_chain(PyObject* o) { return reinterpret_cast<Chain*>(o); }
State* chain_state(PyObject* self) { return state_of(Py_TYPE(self)); }

// The instance state that copyreg's protocol saves: the __dict__, or
// (__dict__ or None, {slot: value}). Empty when there is nothing to save.
Ref instance_state(State* st, PyObject* self) {
    Ref dict;
    if (PyObject* found = PyObject_GetAttr(self, st->s_dict)) {
        dict = Ref(found);
        if (PyDict_Check(found) && PyDict_GET_SIZE(found) == 0) dict = Ref();
    } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
    } else {
        throw_error();
    }
    Ref names = check(PyObject_CallOneArg(st->slotnames, reinterpret_cast<PyObject*>(Py_TYPE(self))));
    Ref slots;
    Ref it = check(PyObject_GetIter(names.get()));
    while (Ref name = Ref(PyIter_Next(it.get()))) {
        PyObject* value = PyObject_GetAttr(self, name.get());
        if (value == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
            PyErr_Clear();  // an empty slot is not saved
            continue;
        }
        Ref held(value);
        if (!slots) slots = check(PyDict_New());
        check_status(PyDict_SetItem(slots.get(), name.get(), value));
    }
    if (PyErr_Occurred()) throw_error();
    if (!slots) return dict;
    return check(PyTuple_Pack(2, dict ? dict.get() : Py_None, slots.get()));
}

// Calls `each(key, value)` for the items of a mapping.
template <class Each>
void for_each_item(PyObject* mapping, Each each) {
    Ref items = check(PyMapping_Items(mapping));
    Ref it = check(PyObject_GetIter(items.get()));
    while (Ref item = Ref(PyIter_Next(it.get()))) {
        Ref pair = check(PySequence_Tuple(item.get()));
        if (PyTuple_GET_SIZE(pair.get()) != 2) {
            PyErr_SetString(PyExc_ValueError, "instance state holds a pair of another length");
            throw_error();
        }
        each(PyTuple_GET_ITEM(pair.get(), 0), PyTuple_GET_ITEM(pair.get(), 1));
    }
    if (PyErr_Occurred()) throw_error();
}

bool named_in(PyObject* name, const char* const* names) {
    if (!PyUnicode_Check(name)) return false;
    for (; *names != nullptr; ++names)
        if (PyUnicode_CompareWithASCIIString(name, *names) == 0) return true;
    return false;
}

// A state taken apart: the pairs, and the instance's dict and slots (each
// empty or None when absent). Reads every state these types pickled with:
// the pairs alone, (pairs, __dict__), and the (dict, slots) of the
// pure-Python classes, whose content is in slot `own_slot` (TypeError
// `missing` without it).
struct PickledState {
    Ref pairs;
    Ref dict;
    Ref slots;
};

PickledState pickled_state(PyObject* state, PyObject* own_slot, const char* missing) {
    PickledState out;
    if (!PyTuple_Check(state) || PyTuple_GET_SIZE(state) != 2) {
        out.pairs = Ref::borrow(state);  // the pairs alone
        return out;
    }
    PyObject* first = PyTuple_GET_ITEM(state, 0);
    PyObject* second = PyTuple_GET_ITEM(state, 1);
    if (PyList_Check(first)) {
        // (pairs, instance state): the instance dict, or (dict, slots).
        out.pairs = Ref::borrow(first);
        if (PyTuple_Check(second) && PyTuple_GET_SIZE(second) == 2) {
            out.dict = Ref::borrow(PyTuple_GET_ITEM(second, 0));
            out.slots = Ref::borrow(PyTuple_GET_ITEM(second, 1));
        } else {
            out.dict = Ref::borrow(second);
        }
        return out;
    }
    // What the pure-Python classes pickled: (dict, slots), the content in
    // one of the slots.
    PyObject* content = PyDict_Check(second) ? PyDict_GetItemWithError(second, own_slot) : nullptr;
    if (content == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, missing);
        throw_error();
    }
    out.pairs = check(PyMapping_Items(content));
    out.dict = Ref::borrow(first);
    out.slots = Ref::borrow(second);
    return out;
}

// Restores the dict and the slots, leaving out the pure-Python classes' own
// slots (`own_slots`, nullptr-terminated).
void instance_state_restore(State* st, PyObject* self, const PickledState& state, const char* const* own_slots) {
    // As pickle restores (dict, slots): the dict's items into __dict__, the
    // slots by setattr.
    if (state.dict && state.dict.get() != Py_None) {
        Ref dict = check(PyObject_GetAttr(self, st->s_dict));
        for_each_item(state.dict.get(),
                      [&](PyObject* key, PyObject* value) { check_status(PyObject_SetItem(dict.get(), key, value)); });
    }
    if (state.slots && state.slots.get() != Py_None) {
        for_each_item(state.slots.get(), [&](PyObject* name, PyObject* value) {
            if (!named_in(name, own_slots)) check_status(PyObject_SetAttr(self, name, value));
        });
    }
}

}  // namespace

// Pickles as (type, (), state): the (next start, count) pairs, with the
// instance state of a subclass (instance_state).
PyObject* bag_reduce(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        BagData* d = bag_data(self);
        BagPin pin(d);
        Ref pairs = check(PyList_New(0));
        for (size_t c = 0; c < bag_size(d); ++c) {
            Choice choice = bag_choice(d, c);
            Ref pair = check(PyTuple_Pack(2, choice.next_start.get(), choice.count.get()));
            check_status(PyList_Append(pairs.get(), pair.get()));
        }
        Ref inst = instance_state(bag_state(self), self);
        Ref state = inst ? check(PyTuple_Pack(2, pairs.get(), inst.get())) : std::move(pairs);
        Ref args = check(PyTuple_New(0));
        return PyTuple_Pack(3, reinterpret_cast<PyObject*>(Py_TYPE(self)), args.get(), state.get());
    });
}

// The pure-Python class's own slots, which its pickles carry.
const char* const kBagSlots[] = {"_counts", "_cumulative", nullptr};

PyObject* bag_setstate(PyObject* self, PyObject* state) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        State* st = bag_state(self);
        Bag* bag = as_bag(self);
        Ref keep = Ref::borrow(self);
        PickledState parts = pickled_state(state, st->s_counts, "ProbabilityBag state without counts");
        Graveyard graves;
        bag_renew(bag, graves);
        Ref it = check(PyObject_GetIter(parts.pairs.get()));
        NextStartValues values;
        while (Ref pair = Ref(PyIter_Next(it.get()))) {
            Ref seq = check(PySequence_Tuple(pair.get()));
            if (PyTuple_GET_SIZE(seq.get()) != 2) {
                PyErr_SetString(PyExc_ValueError, "ProbabilityBag state holds a pair of another length");
                throw_error();
            }
            values.collect(PyTuple_GET_ITEM(seq.get(), 0));
            Hashed h;
            hash_values(values.data(), values.size(), h);
            bag_add_probe(st, bag->data, values.data(), h.hashes.data(), values.size(), h.hash,
                          CountArg{PyTuple_GET_ITEM(seq.get(), 1)}, true, graves);
        }
        if (PyErr_Occurred()) throw_error();
        instance_state_restore(st, self, parts, kBagSlots);
        Py_RETURN_NONE;
    });
}

// Pickles as (type, (), state): the (start, bag) pairs, with the instance
// state of a subclass (instance_state).
PyObject* chain_reduce(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Ref pairs = chain_pairs(as_chain(self));
        Ref inst = instance_state(chain_state(self), self);
        Ref state = inst ? check(PyTuple_Pack(2, pairs.get(), inst.get())) : std::move(pairs);
        Ref args = check(PyTuple_New(0));
        return PyTuple_Pack(3, reinterpret_cast<PyObject*>(Py_TYPE(self)), args.get(), state.get());
    });
}

// The pure-Python class's own slot, which its pickles carry.
const char* const kChainSlots[] = {"_bags", nullptr};

PyObject* chain_setstate(PyObject* self, PyObject* state) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        State* st = chain_state(self);
        Chain* chain = as_chain(self);
        PickledState parts = pickled_state(state, st->s_bags, "Chain state without bags");
        Ref keep = Ref::borrow(self);
        if (chain->vocab != nullptr) chain_clear(chain);
        Ref it = check(PyObject_GetIter(parts.pairs.get()));
        while (Ref pair = Ref(PyIter_Next(it.get()))) {
            Ref seq = check(PySequence_Tuple(pair.get()));
            if (PyTuple_GET_SIZE(seq.get()) != 2) {
                PyErr_SetString(PyExc_ValueError, "Chain state holds a pair of another length");
                throw_error();
            }
            chain_set_bag(st, chain, PyTuple_GET_ITEM(seq.get(), 0), PyTuple_GET_ITEM(seq.get(), 1));
        }
        if (PyErr_Occurred()) throw_error();
        instance_state_restore(st, self, parts, kChainSlots);
        Py_RETURN_NONE;
    });
}

}  // namespace pjson

// Pickling. Chain and ProbabilityBag pickle as (type, (), state), the state
// being their snapshot (blob, side values), or (blob, side values, instance
// state) for an instance of a subclass that holds attributes. A chain that
// holds bags of another kind pickles as its (start, bag) pairs, or (pairs,
// instance state), as earlier versions pickled every chain and bag; their
// states, and those of the pure-Python classes, still load.
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

// A snapshot's state: (blob, side) or (blob, side, instance state).
bool snapshot_state(PyObject* state, PickledState& inst) {
    if (!PyTuple_Check(state) || PyTuple_GET_SIZE(state) < 2 || PyTuple_GET_SIZE(state) > 3) return false;
    if (!PyObject_CheckBuffer(PyTuple_GET_ITEM(state, 0))) return false;
    if (PyTuple_GET_SIZE(state) == 3) {
        PyObject* second = PyTuple_GET_ITEM(state, 2);
        if (PyTuple_Check(second) && PyTuple_GET_SIZE(second) == 2) {
            inst.dict = Ref::borrow(PyTuple_GET_ITEM(second, 0));
            inst.slots = Ref::borrow(PyTuple_GET_ITEM(second, 1));
        } else {
            inst.dict = Ref::borrow(second);
        }
    }
    return true;
}

// (type, (), state) with the snapshot's state; from protocol 5 on the blob
// as a PickleBuffer, which a pickler may hand out of band.
PyObject* reduce_snapshot(State* st, PyObject* self, Snapshot& snap, bool out_of_band) {
    Ref inst = instance_state(st, self);
    Ref blob = out_of_band ? check(PyPickleBuffer_FromObject(snap.blob.get())) : std::move(snap.blob);
    Ref state = inst ? check(PyTuple_Pack(3, blob.get(), snap.side.get(), inst.get()))
                     : check(PyTuple_Pack(2, blob.get(), snap.side.get()));
    Ref args = check(PyTuple_New(0));
    return PyTuple_Pack(3, reinterpret_cast<PyObject*>(Py_TYPE(self)), args.get(), state.get());
}

// As object.__reduce_ex__: a subclass's own __reduce__ decides.
bool own_reduce(PyObject* self, PyTypeObject* base) {
    Ref mine = check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "__reduce__"));
    Ref theirs = check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(base), "__reduce__"));
    return mine.get() != theirs.get();
}

bool out_of_band(PyObject* protocol) {
    long p = PyLong_AsLong(protocol);
    if (p == -1 && PyErr_Occurred()) throw_error();
    return p >= 5;
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

PyObject* bag_reduce_with(PyObject* self, bool oob) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        BagPin pin(bag_data(self));
        Snapshot snap = bag_snapshot(pin.get());
        return reduce_snapshot(bag_state(self), self, snap, oob);
    });
}

PyObject* bag_reduce(PyObject* self, PyObject*) { return bag_reduce_with(self, false); }

PyObject* bag_reduce_ex(PyObject* self, PyObject* protocol) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (own_reduce(self, bag_state(self)->bag_type)) return PyObject_CallMethod(self, "__reduce__", nullptr);
        return bag_reduce_with(self, out_of_band(protocol));
    });
}

// The pure-Python class's own slots, which its pickles carry.
const char* const kBagSlots[] = {"_counts", "_cumulative", nullptr};

PyObject* bag_setstate(PyObject* self, PyObject* state) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        State* st = bag_state(self);
        Bag* bag = as_bag(self);
        Ref keep = Ref::borrow(self);
        PickledState inst;
        if (snapshot_state(state, inst)) {
            bag_restore(st, bag, PyTuple_GET_ITEM(state, 0), PyTuple_GET_ITEM(state, 1));
            instance_state_restore(st, self, inst, kBagSlots);
            Py_RETURN_NONE;
        }
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

PyObject* chain_reduce_with(PyObject* self, bool oob) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Snapshot snap;
        if (chain_snapshot(as_chain(self), snap)) return reduce_snapshot(chain_state(self), self, snap, oob);
        // Bags of another kind: the (start, bag) pairs, pickled as they are.
        Ref pairs = chain_pairs(as_chain(self));
        Ref inst = instance_state(chain_state(self), self);
        Ref state = inst ? check(PyTuple_Pack(2, pairs.get(), inst.get())) : std::move(pairs);
        Ref args = check(PyTuple_New(0));
        return PyTuple_Pack(3, reinterpret_cast<PyObject*>(Py_TYPE(self)), args.get(), state.get());
    });
}

PyObject* chain_reduce(PyObject* self, PyObject*) { return chain_reduce_with(self, false); }

PyObject* chain_reduce_ex(PyObject* self, PyObject* protocol) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (own_reduce(self, chain_state(self)->chain_type)) return PyObject_CallMethod(self, "__reduce__", nullptr);
        return chain_reduce_with(self, out_of_band(protocol));
    });
}

// The pure-Python class's own slot, which its pickles carry.
const char* const kChainSlots[] = {"_bags", nullptr};

PyObject* chain_setstate(PyObject* self, PyObject* state) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        State* st = chain_state(self);
        Chain* chain = as_chain(self);
        PickledState inst;
        if (snapshot_state(state, inst)) {
            Ref keep = Ref::borrow(self);
            chain_restore(st, chain, PyTuple_GET_ITEM(state, 0), PyTuple_GET_ITEM(state, 1));
            instance_state_restore(st, self, inst, kChainSlots);
            Py_RETURN_NONE;
        }
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

// Calls on the caller's objects and small helpers over the C API.
#include "module/module.h"

namespace pjson {

Ref Globals::get(PyObject* name) const {
    PyObject* value = PyDict_GetItemWithError(dict_, name);
    if (value == nullptr) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        throw_error();
    }
    return Ref::borrow(value);
}

bool truth(PyObject* obj) {
    if (obj == Py_True) return true;
    if (obj == Py_False || obj == Py_None) return false;
    return check_status(PyObject_IsTrue(obj)) != 0;
}

void raise_key_error(PyObject* key) {
    Ref args = check(PyTuple_Pack(1, key));
    PyErr_SetObject(PyExc_KeyError, args.get());
    throw_error();
}

PyObject* dict_lookup(PyObject* dict, PyObject* key) {
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (value == nullptr) {
        if (PyErr_Occurred()) throw_error();
        raise_key_error(key);
    }
    return value;
}

namespace {

[[noreturn]] void raise_unpack(Py_ssize_t have) {
    if (have > 2)
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    else
        PyErr_Format(PyExc_ValueError, "need more than %zd value%s to unpack", have, have == 1 ? "" : "s");
    throw_error();
}

}  // namespace

void unpack_pair(PyObject* obj, Ref& first, Ref& second) {
    if (PyTuple_CheckExact(obj) || PyList_CheckExact(obj)) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(obj);
        if (n != 2) raise_unpack(n);
        // Take both items before letting go of the old ones: releasing an
        // old item may run code that changes the list.
        PyObject** items = PySequence_Fast_ITEMS(obj);
        Ref a = Ref::borrow(items[0]);
        Ref b = Ref::borrow(items[1]);
        first = std::move(a);
        second = std::move(b);
        return;
    }
    Ref it = check(PyObject_GetIter(obj));
    Ref a(PyIter_Next(it.get()));
    if (!a) {
        if (PyErr_Occurred()) throw_error();
        raise_unpack(0);
    }
    Ref b(PyIter_Next(it.get()));
    if (!b) {
        if (PyErr_Occurred()) throw_error();
        raise_unpack(1);
    }
    Ref extra(PyIter_Next(it.get()));
    if (extra) raise_unpack(3);
    if (PyErr_Occurred()) throw_error();
    first = std::move(a);
    second = std::move(b);
}

Iter::Iter(PyObject* iterable) {
    if (PyList_CheckExact(iterable) || PyTuple_CheckExact(iterable))
        seq_ = Ref::borrow(iterable);
    else
        it_ = check(PyObject_GetIter(iterable));
}

Ref Iter::next() {
    if (seq_) {
        // A list may change size under us (a caller's __eq__ or __hash__ can
        // mutate it), so its length is read afresh at every step.
        if (pos_ >= PySequence_Fast_GET_SIZE(seq_.get())) return Ref();
        return Ref::borrow(PySequence_Fast_ITEMS(seq_.get())[pos_++]);
    }
    PyObject* item = PyIter_Next(it_.get());
    if (item == nullptr && PyErr_Occurred()) throw_error();
    return Ref(item);
}

Ref call_method0(PyObject* obj, PyObject* name) {
    PyObject* args[1] = {obj};
    return check(PyObject_VectorcallMethod(name, args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

void call_method0_drop(PyObject* obj, PyObject* name) { call_method0(obj, name); }

Ref get_attr(PyObject* obj, PyObject* name) { return check(PyObject_GetAttr(obj, name)); }

void call_with_count(const Names& n, PyObject* callable, PyObject* a, PyObject* b, PyObject* count) {
    // One slot in front for PY_VECTORCALL_ARGUMENTS_OFFSET.
    PyObject* args[4] = {nullptr, a, b, count};
    if (b == nullptr) {
        args[2] = count;
        check(PyObject_Vectorcall(callable, args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, n.count_kwnames));
    } else {
        check(PyObject_Vectorcall(callable, args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, n.count_kwnames));
    }
}

Ref encoder_dumps(const Globals& globals, PyObject* value) {
    Ref json = globals.get(globals.names().g_json);
    PyObject* args[2] = {json.get(), value};
    return check(PyObject_VectorcallMethod(globals.names().dumps, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

void untrack_if_acyclic(PyObject* tuple) {
    // The collector's own rule: an item that it may track one day keeps the
    // tuple tracked. Only a tuple stays untracked for good (an empty dict,
    // untracked now, is tracked once it holds a container).
    const Py_ssize_t n = PyTuple_GET_SIZE(tuple);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(tuple, i);
        if (PyObject_IS_GC(item) && (!PyTuple_CheckExact(item) || PyObject_GC_IsTracked(item))) return;
    }
    PyObject_GC_UnTrack(tuple);
}

Ref tuple_from(std::vector<Ref>& items) {
    Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    for (size_t i = 0; i < items.size(); ++i)
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), items[i].release());
    untrack_if_acyclic(tuple.get());
    return tuple;
}

WatchedNames::WatchedNames() : entries_(check(PyList_New(0))) {}

PyObject* WatchedNames::watch(PyObject* dict, const char* name) {
    Ref key = check(PyUnicode_InternFromString(name));
    PyObject* value = PyDict_GetItemWithError(dict, key.get());
    if (value == nullptr && PyErr_Occurred()) throw_error();
    Ref entry = check(value == nullptr ? PyTuple_Pack(2, dict, key.get()) : PyTuple_Pack(3, dict, key.get(), value));
    check_status(PyList_Append(entries_.get(), entry.get()));
    return value;
}

bool names_unchanged(PyObject* record) {
    if (record == nullptr) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(record); ++i) {
        PyObject* entry = PyList_GET_ITEM(record, i);
        PyObject* now = PyDict_GetItemWithError(PyTuple_GET_ITEM(entry, 0), PyTuple_GET_ITEM(entry, 1));
        if (now == nullptr && PyErr_Occurred()) throw_error();
        PyObject* then = PyTuple_GET_SIZE(entry) == 3 ? PyTuple_GET_ITEM(entry, 2) : nullptr;
        if (now != then) return false;
    }
    return true;
}

Ref values_tuple(PyObject* const* values, Py_ssize_t length) {
    // Each value is held before the tuple is made, since making it may run
    // the collector and so code that lets go of a borrowed value; nothing
    // runs between making the tuple and filling it.
    for (Py_ssize_t i = 0; i < length; ++i) Py_INCREF(values[i]);
    Ref tuple(PyTuple_New(length));
    if (!tuple) {
        for (Py_ssize_t i = 0; i < length; ++i) Py_DECREF(values[i]);
        throw_error();
    }
    for (Py_ssize_t i = 0; i < length; ++i) PyTuple_SET_ITEM(tuple.get(), i, values[i]);
    untrack_if_acyclic(tuple.get());
    return tuple;
}

void write_piece(const Names& n, PyObject* file, PyObject* piece) {
    PyObject* args[2] = {file, piece};
    check(PyObject_VectorcallMethod(n.write, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

}  // namespace pjson

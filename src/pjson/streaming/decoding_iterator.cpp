// The one-shot iterator that decodes a compressed next start on demand.
#include "streaming/streaming.h"

#include <new>

namespace pjson {

namespace {

struct DecodingIterator {
    PyObject_HEAD
    PyObject* codes;  // the reader's lookup
    PyObject* value;  // the next start it was handed for
    PyObject* inner;  // iterator over the next start, made on first advance
};

int di_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* it = reinterpret_cast<DecodingIterator*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(it->codes);
    Py_VISIT(it->value);
    Py_VISIT(it->inner);
    return 0;
}

int di_clear(PyObject* self) {
    auto* it = reinterpret_cast<DecodingIterator*>(self);
    Py_CLEAR(it->codes);
    Py_CLEAR(it->value);
    Py_CLEAR(it->inner);
    return 0;
}

void di_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    di_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* di_next(PyObject* self) {
    auto* it = reinterpret_cast<DecodingIterator*>(self);
    if (it->inner == nullptr) {
        if (it->value == nullptr) return nullptr;  // cleared
        // iter() of a builder's value may run Python code that advances this
        // very iterator: the first iterator made is kept, a later one dropped.
        PyObject* value = it->value;
        Py_INCREF(value);
        PyObject* inner = PyObject_GetIter(value);
        Py_DECREF(value);
        if (inner == nullptr) return nullptr;
        if (it->inner == nullptr)
            it->inner = inner;
        else
            Py_DECREF(inner);
    }
    // The iterator is held while it runs: what it calls may clear ours.
    PyObject* inner = it->inner;
    Py_INCREF(inner);
    PyObject* key = PyIter_Next(inner);
    Py_DECREF(inner);
    if (key == nullptr) return nullptr;
    if (it->codes == nullptr) {  // cleared while the element was pulled
        Py_DECREF(key);
        return nullptr;
    }
    PyObject* codes = it->codes;
    Py_INCREF(codes);
    PyObject* decoded = PyDict_GetItemWithError(codes, key);
    Py_XINCREF(decoded);
    Py_DECREF(codes);
    if (decoded == nullptr) {
        if (!PyErr_Occurred()) {
            PyObject* args = PyTuple_Pack(1, key);
            if (args != nullptr) {
                PyErr_SetObject(PyExc_KeyError, args);
                Py_DECREF(args);
            }
        }
        Py_DECREF(key);
        return nullptr;
    }
    Py_DECREF(key);
    return decoded;
}

PyType_Slot di_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(di_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(di_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(di_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(di_next)},
    {Py_tp_doc, const_cast<char*>("Decodes a compressed next start as it is consumed.")},
    {0, nullptr},
};

PyType_Spec di_spec = {
    "tesmo_cjson.DecodingIterator", sizeof(DecodingIterator), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, di_slots,
};

}  // namespace

Ref decoding_iterator_type_new(PyObject* module) { return check(PyType_FromModuleAndSpec(module, &di_spec, nullptr)); }

Ref decoding_iterator_new(const State& state, PyObject* codes, PyObject* value) {
    auto* it = PyObject_GC_New(DecodingIterator, reinterpret_cast<PyTypeObject*>(state.decoding_iterator_type));
    if (it == nullptr) throw_error();
    Py_INCREF(codes);
    it->codes = codes;
    Py_INCREF(value);
    it->value = value;
    it->inner = nullptr;
    PyObject_GC_Track(it);
    return Ref(reinterpret_cast<PyObject*>(it));
}

}  // namespace pjson

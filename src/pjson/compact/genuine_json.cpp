// Whether the module global `json` is still the genuine encoder that the
// start-up bound, with the functions that the native paths stand in for.
#include "compact/compact.h"

#include <cstring>

namespace pjson {

namespace {

// module.name when it is a function of that module's own: a builtin bound to
// it (ujson) or a Python function defined in it (json); else nullptr.
PyObject* own_function(PyObject* module, const char* name) {
    PyObject* dict = PyModule_GetDict(module);
    PyObject* f = PyDict_GetItemString(dict, name);  // borrowed; no error when missing
    if (f == nullptr) return nullptr;
    if (PyCFunction_Check(f) && PyCFunction_GET_SELF(f) == module) return f;
    if (PyFunction_Check(f) && PyFunction_GET_GLOBALS(f) == dict) return f;
    return nullptr;
}

// The module's entry `name` is still `kept`.
bool still(PyObject* module, const char* name, PyObject* kept) {
    return kept != nullptr && PyDict_GetItemString(PyModule_GetDict(module), name) == kept;
}

const ImportedJson* genuine(const Globals& globals, PyObject* json) {
    const State& st = globals.state();
    if (!st.json.genuine || json != st.imported_json || !PyModule_CheckExact(json)) return nullptr;
    return &st.json;
}

}  // namespace

void compact_note_json(State& state, JsonEncoder kind) {
    ImportedJson& j = state.json;
    j.genuine = false;
    j.kind = kind;
    PyObject* module = state.imported_json;
    if (!PyModule_CheckExact(module)) return;
    if (kind == JsonEncoder::ujson) {
        // The extension itself, not a stand-in put under its name.
        PyModuleDef* def = PyModule_GetDef(module);
        if (def == nullptr || def->m_name == nullptr || std::strcmp(def->m_name, "ujson") != 0) return;
    } else {
        PyObject* name = PyModule_GetNameObject(module);
        if (name == nullptr) {
            PyErr_Clear();  // a module without a name is simply not the standard one
            return;
        }
        const bool is_json = PyUnicode_CompareWithASCIIString(name, "json") == 0;
        Py_DECREF(name);
        if (!is_json) return;
    }
    PyObject* load = own_function(module, "load");
    PyObject* loads = own_function(module, "loads");
    PyObject* dump = own_function(module, "dump");
    if (load == nullptr || loads == nullptr || dump == nullptr) return;
    j.load = Ref::borrow(load).release();
    j.loads = Ref::borrow(loads).release();
    j.dump = Ref::borrow(dump).release();
    j.genuine = true;
}

const ImportedJson* genuine_json_for_load(const Globals& globals, PyObject* json) {
    const ImportedJson* j = genuine(globals, json);
    if (j == nullptr || !still(json, "load", j->load)) return nullptr;
    // json.load calls the module's loads by name; ujson.load calls its own.
    if (j->kind == JsonEncoder::json && !still(json, "loads", j->loads)) return nullptr;
    return j;
}

const ImportedJson* genuine_json_for_dump(const Globals& globals, PyObject* json) {
    const ImportedJson* j = genuine(globals, json);
    if (j == nullptr || !still(json, "dump", j->dump)) return nullptr;
    return j;
}

}  // namespace pjson

// Whether the module global `json` is still the genuine encoder that the
// start-up bound, with the functions that the native paths stand in for.
#include "compact/compact.h"
#include "compact/document_text.h"
#include "document/code_table.h"
#include "document/value_text.h"

#include <cstring>
#include <initializer_list>
#include <string>

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

// Values whose texts differ between the two encoders, or could between
// versions of one: the renderer must write each as the encoder's own dumps.
constexpr const char* kProbeValues =
    "(1e16, 1e15, 1.5e-05, 0.0001, 0.1, -0.0, 5e-324, 1.7976931348623157e308, 1e22, 123.456, 2.5,"
    " 9223372036854775807, -9223372036854775807, 0, -1, 10000, None, True, False,"
    " '\\x7f/\\x00\\x01\\x1f\\u00e9\\U0001f600\\ud800<&>\\'\"\\\\\\b\\f\\n\\r\\t', '', 'plain',"
    " (1, [2.5, 'x']), [], ())";
// Tokens whose values the parser must build as the decoder's own loads.
constexpr const char* kProbeText =
    "{\"codes\":[1E5,-0,0.1,1e-7,2.5e-308,12.0e+2,\"\\ud83d\\ude00\\u00e9\\/\\\"\\u0000\",\"\",123456789012345678,"
    "-12,true,false,null,[1,[]],{\"a\":1,\"a\":2}],\"chain\":[]}";

// Same type and same repr, so that 1 and 1.0, or 0.0 and -0.0, differ.
bool same(PyObject* a, PyObject* b) {
    if (Py_TYPE(a) != Py_TYPE(b)) return false;
    Ref ra = check(PyObject_Repr(a));
    Ref rb = check(PyObject_Repr(b));
    return PyUnicode_Compare(ra.get(), rb.get()) == 0;
}

// The renderer and the parser agree with this encoder on the probes.
bool agrees(PyObject* module, JsonEncoder kind) {
    PyObject* dumps = own_function(module, "dumps");
    PyObject* loads = own_function(module, "loads");
    if (dumps == nullptr || loads == nullptr) return false;
    Ref globals = check(PyDict_New());
    Ref values = check(PyRun_String(kProbeValues, Py_eval_input, globals.get(), globals.get()));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(values.get()); ++i) {
        PyObject* value = PyTuple_GET_ITEM(values.get(), i);
        std::string text;
        if (!value_text_append(text, value, kind)) return false;
        Ref native = make_str(text, /*ascii=*/true);
        Ref genuine = check(PyObject_CallOneArg(dumps, value));
        if (!same(native.get(), genuine.get())) return false;
    }
    const size_t length = std::strlen(kProbeText);
    TextLayout layout;
    if (!text_check(kProbeText, kProbeText + length, layout)) return false;
    Ref native = text_value(layout.codes);
    Ref text = check(PyUnicode_FromStringAndSize(kProbeText, static_cast<Py_ssize_t>(length)));
    Ref document = check(PyObject_CallOneArg(loads, text.get()));
    PyObject* genuine = PyDict_Check(document.get()) ? PyDict_GetItemString(document.get(), "codes") : nullptr;
    return genuine != nullptr && same(native.get(), genuine);
}

// The module's entry `name` is still `kept`.
bool still(PyObject* module, const char* name, PyObject* kept) {
    return kept != nullptr && PyDict_GetItemString(PyModule_GetDict(module), name) == kept;
}

// What the standard json's loads and dumps look up when they run with their
// defaults, as the start-up found it: the module's default decoder and
// encoder, their settings, their classes' methods and the encoder module's
// helpers. Rebinding any of these (json._default_encoder = JSONEncoder(
// ensure_ascii=False), a decoder made with parse_float=Decimal) changes what
// the genuine functions give, so the native paths stand in only while every
// one of them is the object it was. The record lives in the module's state
// as (watched names, instances): each default instance as (object, type, a
// copy of its attributes).
class JsonDefaults {
public:
    JsonDefaults() : instances_(check(PyList_New(0))) {}

    PyObject* watch(PyObject* dict, const char* name) { return names_.watch(dict, name); }

    // `default_name` of the json module: an instance of a Python class whose
    // `methods` the default path calls, watched with its attributes as a
    // whole. nullptr when it is no such instance.
    PyObject* watch_default(PyObject* json_dict, const char* default_name, std::initializer_list<const char*> methods) {
        PyObject* instance = watch(json_dict, default_name);
        if (instance == nullptr || !PyType_HasFeature(Py_TYPE(instance), Py_TPFLAGS_HEAPTYPE)) return nullptr;
        if (Py_TYPE(instance)->tp_dictoffset == 0) return nullptr;
        Ref now = check(PyObject_GenericGetDict(instance, nullptr));
        Ref attributes = check(PyDict_Copy(now.get()));
        Ref entry = check(PyTuple_Pack(3, instance, reinterpret_cast<PyObject*>(Py_TYPE(instance)), attributes.get()));
        check_status(PyList_Append(instances_.get(), entry.get()));
        for (const char* method : methods) watch(Py_TYPE(instance)->tp_dict, method);
        return instance;
    }

    Ref record() {
        Ref names = names_.record();
        return check(PyTuple_Pack(2, names.get(), instances_.get()));
    }

private:
    WatchedNames names_;
    Ref instances_;
};

// The record of the json module's defaults, or an empty Ref when some piece
// is not as the genuine module has it (then no native path for it).
Ref note_json_defaults(PyObject* module) {
    JsonDefaults d;
    PyObject* json_dict = PyModule_GetDict(module);
    d.watch(json_dict, "detect_encoding");
    if (d.watch_default(json_dict, "_default_decoder", {"decode", "raw_decode"}) == nullptr) return Ref();
    PyObject* encoder = d.watch_default(json_dict, "_default_encoder", {"encode", "iterencode"});
    if (encoder == nullptr) return Ref();
    // The encoder module's helpers, which encode and iterencode look up.
    PyObject* encode = PyDict_GetItemString(Py_TYPE(encoder)->tp_dict, "encode");
    if (encode == nullptr || !PyFunction_Check(encode)) return Ref();
    for (const char* name :
         {"encode_basestring_ascii", "encode_basestring", "c_make_encoder", "_make_iterencode", "INFINITY"})
        d.watch(PyFunction_GET_GLOBALS(encode), name);
    return d.record();
}

bool instance_unchanged(PyObject* kept) {
    PyObject* object = PyTuple_GET_ITEM(kept, 0);
    PyObject* attributes = PyTuple_GET_ITEM(kept, 2);
    if (reinterpret_cast<PyObject*>(Py_TYPE(object)) != PyTuple_GET_ITEM(kept, 1)) return false;
    Ref now = check(PyObject_GenericGetDict(object, nullptr));
    if (PyDict_GET_SIZE(now.get()) != PyDict_GET_SIZE(attributes)) return false;
    Py_ssize_t pos = 0;
    PyObject *name, *value;
    while (PyDict_Next(attributes, &pos, &name, &value)) {
        PyObject* current = PyDict_GetItemWithError(now.get(), name);
        if (current == nullptr && PyErr_Occurred()) throw_error();
        if (current != value) return false;
    }
    return true;
}

}  // namespace

bool json_defaults_unchanged(const State& state) {
    PyObject* record = state.json.defaults;
    if (record == nullptr || !names_unchanged(PyTuple_GET_ITEM(record, 0))) return false;
    PyObject* instances = PyTuple_GET_ITEM(record, 1);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(instances); ++i)
        if (!instance_unchanged(PyList_GET_ITEM(instances, i))) return false;
    return true;
}

namespace {

const ImportedJson* genuine(const Globals& globals, PyObject* json) {
    const State& st = globals.state();
    if (!st.json.genuine || json != st.imported_json || !PyModule_CheckExact(json)) return nullptr;
    return &st.json;
}

}  // namespace

void compact_note_json(State& state, JsonEncoder kind) {
    ImportedJson& j = state.json;
    j.genuine = false;
    Py_CLEAR(j.defaults);
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
    PyObject* dumps = own_function(module, "dumps");
    if (load == nullptr || loads == nullptr || dump == nullptr || dumps == nullptr || !agrees(module, kind)) return;
    if (kind == JsonEncoder::json) j.defaults = note_json_defaults(module).release();
    j.load = Ref::borrow(load).release();
    j.loads = Ref::borrow(loads).release();
    j.dump = Ref::borrow(dump).release();
    j.dumps = Ref::borrow(dumps).release();
    j.genuine = true;
}

const ImportedJson* genuine_json_for_load(const Globals& globals, PyObject* json) {
    const ImportedJson* j = genuine(globals, json);
    if (j == nullptr || !still(json, "load", j->load)) return nullptr;
    // json.load calls the module's loads by name; ujson.load calls its own.
    if (j->kind == JsonEncoder::json && (!still(json, "loads", j->loads) || !json_defaults_unchanged(globals.state())))
        return nullptr;
    return j;
}

const ImportedJson* genuine_json_for_dump(const Globals& globals, PyObject* json) {
    const ImportedJson* j = genuine(globals, json);
    if (j == nullptr || !still(json, "dump", j->dump)) return nullptr;
    return j;
}

Ref ujson_file_method(PyObject* file, const char* name) {
    if (!PyObject_HasAttrString(file, name)) {
        PyErr_SetString(PyExc_TypeError, "expected file");
        throw_error();
    }
    Ref method = check(PyObject_GetAttrString(file, name));
    if (!PyCallable_Check(method.get())) {
        PyErr_SetString(PyExc_TypeError, "expected file");
        throw_error();
    }
    return method;
}

}  // namespace pjson

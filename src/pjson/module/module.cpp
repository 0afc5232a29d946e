// Module start-up: interned names, the globals bound in order with their
// fallbacks, and the four exported functions.
#include "module/module.h"
#include "compact/compact.h"
#include "document/code_table.h"
#include "streaming/streaming.h"

#include <new>

namespace pjson {

namespace {

Names g_names;

PyObject* intern(const char* s) { return check(PyUnicode_InternFromString(s)).release(); }

using Impl = void (*)(const Globals&, const CallArgs&);

// The one place where C++ meets the interpreter: every error leaves as a set
// Python exception and nullptr.
PyObject* run(const char* fname, const char* flag_name, PyObject* flag_default, Impl impl, PyObject* module,
              PyObject* args, PyObject* kwargs) {
    try {
        CallArgs call{};
        parse_args(fname, flag_name, flag_default, args, kwargs, call);
        Globals globals(module);
        impl(globals, call);
        Py_RETURN_NONE;
    } catch (PyError&) {
        return nullptr;
    } catch (std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (...) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "tesmo_cjson: unexpected internal error");
        return nullptr;
    }
}

PyObject* dump_json_small(PyObject* m, PyObject* args, PyObject* kwargs) {
    return run("dump_json_small", "frequency_compress", Py_True, compact_dump, m, args, kwargs);
}
PyObject* load_json_small(PyObject* m, PyObject* args, PyObject* kwargs) {
    return run("load_json_small", "merge", Py_False, compact_load, m, args, kwargs);
}
PyObject* dump_json_big(PyObject* m, PyObject* args, PyObject* kwargs) {
    return run("dump_json_big", "frequency_compress", Py_True, stream_dump, m, args, kwargs);
}
PyObject* load_json_big(PyObject* m, PyObject* args, PyObject* kwargs) {
    return run("load_json_big", "merge", Py_False, stream_load, m, args, kwargs);
}

#define PJSON_KEYWORDS(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f))

PyMethodDef g_methods[] = {
    {"dump_json_small", PJSON_KEYWORDS(dump_json_small), METH_VARARGS | METH_KEYWORDS,
     "dump_json_small($module, /, chain, file, frequency_compress=True)\n--\n\n"
     "Write the chain to the open text file as one JSON document, built in memory\n"
     "and rendered by a single call of the encoder. Compressed (with a code table)\n"
     "unless frequency_compress is false."},
    {"load_json_small", PJSON_KEYWORDS(load_json_small), METH_VARARGS | METH_KEYWORDS,
     "load_json_small($module, /, chain, file, merge=False)\n--\n\n"
     "Read a whole chain document with one decoder call into the chain: replacing\n"
     "its content (new bags through set_bag), or adding the document's counts to\n"
     "it with add_to_bag when merge is true."},
    {"dump_json_big", PJSON_KEYWORDS(dump_json_big), METH_VARARGS | METH_KEYWORDS,
     "dump_json_big($module, /, chain, file, frequency_compress=True)\n--\n\n"
     "Write the chain to the open text file piece by piece, holding only the code\n"
     "table, so that chains of any size can be saved."},
    {"load_json_big", PJSON_KEYWORDS(load_json_big), METH_VARARGS | METH_KEYWORDS,
     "load_json_big($module, /, chain, file, merge=False)\n--\n\n"
     "Read a chain document from incremental-parser events, one add_to_bag call\n"
     "per choice, holding only the code table and one next start. Replace mode\n"
     "clears the chain first."},
    {nullptr, nullptr, 0, nullptr},
};

struct PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT,
    "tesmo_cjson",
    nullptr,  // the module carries no docstring
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// `from <module> import <name>`, with the interpreter's ImportError when the
// module lacks the name.
Ref import_from(const char* module, const char* name) {
    Ref mod = check(PyImport_ImportModule(module));
    PyObject* value = PyObject_GetAttrString(mod.get(), name);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
        throw_error();
    }
    return Ref(value);
}

// Imports `preferred`; only an ImportError falls back to `fallback`.
Ref import_preferring(const char* preferred, const char* fallback) {
    PyObject* mod = PyImport_ImportModule(preferred);
    if (mod != nullptr) return Ref(mod);
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw_error();
    PyErr_Clear();
    return check(PyImport_ImportModule(fallback));
}

void bind(PyObject* module, PyObject* name, const Ref& value) {
    check_status(PyObject_SetAttr(module, name, value.get()));
}

void module_bind_globals(PyObject* module) {
    const Names& n = g_names;
    bind(module, n.g_json, import_preferring("ujson", "json"));
    bind(module, n.g_math, check(PyImport_ImportModule("math")));
    bind(module, n.g_OrderedDict, import_from("collections", "OrderedDict"));
    Ref object_builder = import_from("ijson", "ObjectBuilder");
    names_set_object_builder(object_builder.get());
    bind(module, n.g_ObjectBuilder, object_builder);
    bind(module, n.g_ProbabilityBag, import_from("tesmo.bag", "ProbabilityBag"));
    bind(module, n.g_ijson, import_preferring("ijson.backends.yajl2_cffi", "ijson"));
    check_status(PyModule_AddFunctions(module, g_methods));
}

}  // namespace

const Names& names() noexcept { return g_names; }

void names_set_object_builder(PyObject* cls) {
    Py_INCREF(cls);
    Py_XSETREF(g_names.ijson_object_builder, cls);
}

bool names_init() {
    if (g_names.items != nullptr) return true;
    try {
        Names n{};
        n.items = intern("items");
        n.choices = intern("choices");
        n.unique_count = intern("unique_count");
        n.build_frequency_dict = intern("build_frequency_dict");
        n.clear = intern("clear");
        n.set_bag = intern("set_bag");
        n.add_to_bag = intern("add_to_bag");
        n.add = intern("add");
        n.write = intern("write");
        n.dumps = intern("dumps");
        n.dump = intern("dump");
        n.load = intern("load");
        n.basic_parse = intern("basic_parse");
        n.event = intern("event");
        n.value = intern("value");
        PyObject* count = intern("count");
        n.count_kwnames = check(PyTuple_Pack(1, count)).release();
        n.g_json = intern("json");
        n.g_math = intern("math");
        n.g_OrderedDict = intern("OrderedDict");
        n.g_ObjectBuilder = intern("ObjectBuilder");
        n.g_ProbabilityBag = intern("ProbabilityBag");
        n.g_ijson = intern("ijson");
        n.codes = intern("codes");
        n.chain = intern("chain");
        n.start_map = intern("start_map");
        n.end_map = intern("end_map");
        n.start_array = intern("start_array");
        n.end_array = intern("end_array");
        n.map_key = intern("map_key");
        n.number = intern("number");
        n.string = intern("string");
        n.null = intern("null");
        n.boolean = intern("boolean");
        g_names = n;
        return true;
    } catch (PyError&) {
        return false;
    }
}

}  // namespace pjson

PyMODINIT_FUNC PyInit_tesmo_cjson(void) {
    using namespace pjson;
    if (!names_init() || !pieces_init()) return nullptr;
    Ref module(PyModule_Create(&g_module));
    if (!module) return nullptr;
    try {
        if (!streaming_init(module.get())) throw_error();
        module_bind_globals(module.get());
    } catch (PyError&) {
        return nullptr;
    } catch (std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    return module.release();
}

// Module start-up (multi-phase, one state per module object): interned names
// and pieces, the globals bound in order with their fallbacks, and the four
// exported functions.
#include "module/module.h"
#include "compact/compact.h"
#include "document/code_table.h"
#include "streaming/streaming.h"

#include <new>
#include <stdexcept>

namespace pjson {

namespace {

using Impl = void (*)(const Globals&, const CallArgs&);

State& module_state(PyObject* module) { return *static_cast<State*>(PyModule_GetState(module)); }

// The one place where C++ meets the interpreter: every error leaves as a set
// Python exception and nullptr.

PyObject* run(const char* fname, const char* flag_name, PyObject* flag_default, Impl impl, PyObject* module,
              PyObject* args, PyObject* kwargs) {
    try {
        CallArgs call{};
        parse_args(fname, flag_name, flag_default, args, kwargs, call);
        // The keyword arguments come in a dict that Python code run by the
        // call can find through the collector and empty: each argument is
        // held for the whole call.
        const Ref held[] = {Ref::borrow(call.chain), Ref::borrow(call.file), Ref::borrow(call.flag)};
        Globals globals(module, module_state(module));
        impl(globals, call);
        Py_RETURN_NONE;
    } catch (PyError&) {
        return nullptr;
    } catch (std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (std::length_error&) {  // a container asked for more than it can ever hold
        return PyErr_NoMemory();
    } catch (std::exception& e) {  // nothing else is thrown; should it be, it stops here
        PyErr_Format(PyExc_SystemError, "tesmo_cjson: %s", e.what());
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
     "Write the chain to file, a text file open for writing ('w'), as one JSON\n"
     "document built in memory and rendered by a single call of the encoder.\n"
     "Compressed (with a code table) unless frequency_compress is false.\n"
     "Returns None."},
    {"load_json_small", PJSON_KEYWORDS(load_json_small), METH_VARARGS | METH_KEYWORDS,
     "load_json_small($module, /, chain, file, merge=False)\n--\n\n"
     "Read a whole chain document from file, open in binary ('rb') or text mode,\n"
     "with one decoder call into the chain: replacing its content (new bags\n"
     "through set_bag), or adding the document's counts to it with add_to_bag\n"
     "when merge is true. Returns None."},
    {"dump_json_big", PJSON_KEYWORDS(dump_json_big), METH_VARARGS | METH_KEYWORDS,
     "dump_json_big($module, /, chain, file, frequency_compress=True)\n--\n\n"
     "Write the chain to file, a text file open for writing ('w'), piece by\n"
     "piece, holding only the code table, so that chains of any size can be\n"
     "saved. Returns None."},
    {"load_json_big", PJSON_KEYWORDS(load_json_big), METH_VARARGS | METH_KEYWORDS,
     "load_json_big($module, /, chain, file, merge=False)\n--\n\n"
     "Read a chain document from file, open in binary mode ('rb'), as\n"
     "incremental-parser events: one add_to_bag call per choice, holding only\n"
     "the code table and one next start. Replace mode clears the chain first.\n"
     "ValueError once the document has been read when it is not an object with\n"
     "a \"chain\" array. Returns None."},
    {nullptr, nullptr, 0, nullptr},
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
// `took_preferred`, when given, tells which one it is.
Ref import_preferring(const char* preferred, const char* fallback, bool* took_preferred = nullptr) {
    PyObject* mod = PyImport_ImportModule(preferred);
    if (took_preferred != nullptr) *took_preferred = mod != nullptr;
    if (mod != nullptr) return Ref(mod);
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw_error();
    PyErr_Clear();
    return check(PyImport_ImportModule(fallback));
}

void bind(PyObject* module, PyObject* name, const Ref& value) {
    check_status(PyObject_SetAttr(module, name, value.get()));
}

// Binds the global and keeps what was bound in the state.
void bind(PyObject* module, PyObject* name, PyObject*& kept, const Ref& value) {
    bind(module, name, value);
    kept = Ref::borrow(value.get()).release();
}

PyObject* intern(const char* s) { return check(PyUnicode_InternFromString(s)).release(); }

// The one place that fills the state. Every object it makes is stored as
// soon as it exists, so that the module's clear releases whatever a failed
// start-up made.
void state_fill(State& st, PyObject* module) {
#define PJSON_INTERN(field, text) st.names.field = intern(text);
    PJSON_NAMES(PJSON_INTERN)
#undef PJSON_INTERN
#define PJSON_PIECE(field, text) st.pieces.field = intern(text);
    PJSON_PIECES(PJSON_PIECE)
#undef PJSON_PIECE
    Ref count = check(PyUnicode_InternFromString("count"));
    st.names.count_kwnames = check(PyTuple_Pack(1, count.get())).release();
    st.decoding_iterator_type = decoding_iterator_type_new(module).release();
}

// Every object the state holds, for the collector and for clearing.
template <class Visit>
int state_objects(State& st, Visit&& visit) {
#define PJSON_VISIT(field, text) \
    if (int r = visit(st.names.field)) return r;
    PJSON_NAMES(PJSON_VISIT)
#undef PJSON_VISIT
#define PJSON_VISIT(field, text) \
    if (int r = visit(st.pieces.field)) return r;
    PJSON_PIECES(PJSON_VISIT)
#undef PJSON_VISIT
    if (int r = visit(st.names.count_kwnames)) return r;
    if (int r = visit(st.imported_json)) return r;
    if (int r = visit(st.json.load)) return r;
    if (int r = visit(st.json.loads)) return r;
    if (int r = visit(st.json.dump)) return r;
    if (int r = visit(st.json.dumps)) return r;
    if (int r = visit(st.json.defaults)) return r;
#define PJSON_VISIT(field, type, name) \
    if (int r = visit(st.native_writer_attrs.field)) return r;
    PJSON_NATIVE_WRITER_ATTRS(PJSON_VISIT)
#undef PJSON_VISIT
    if (int r = visit(st.imported_ordered_dict)) return r;
    if (int r = visit(st.ijson_object_builder)) return r;
    if (int r = visit(st.imported_ijson)) return r;
    if (int r = visit(st.ijson_watched)) return r;
    if (int r = visit(st.imported_probability_bag)) return r;
    if (int r = visit(st.chain_type)) return r;
    if (int r = visit(st.bag_type)) return r;
    return visit(st.decoding_iterator_type);
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    State* st = static_cast<State*>(PyModule_GetState(module));
    if (st == nullptr) return 0;
    return state_objects(*st, [&](PyObject*& obj) -> int {
        Py_VISIT(obj);
        return 0;
    });
}

int module_clear(PyObject* module) {
    State* st = static_cast<State*>(PyModule_GetState(module));
    if (st == nullptr) return 0;
    st->chain_api = nullptr;  // its table lives as long as the types just released
    return state_objects(*st, [](PyObject*& obj) -> int {
        Py_CLEAR(obj);
        return 0;
    });
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

// The native chain's C API, when the `tesmo.bag` just imported exports it: a
// capsule of the expected name whose table is of this version or a later
// one. Anything else means no direct path, and no error.
void chain_api_find(State& st) {
    Ref name = check(PyUnicode_FromString("tesmo.bag"));
    Ref bag_module(PyImport_GetModule(name.get()));
    if (!bag_module) {
        if (PyErr_Occurred()) throw_error();
        return;
    }
    Ref capsule(PyObject_GetAttrString(bag_module.get(), "_C_API"));
    const TesmoChainAPI* api = nullptr;
    if (capsule && PyCapsule_IsValid(capsule.get(), TESMO_CHAIN_CAPSULE))
        api = static_cast<const TesmoChainAPI*>(PyCapsule_GetPointer(capsule.get(), TESMO_CHAIN_CAPSULE));
    if (!capsule) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
        PyErr_Clear();
    }
    if (api == nullptr || api->version < TESMO_CHAIN_API_VERSION || api->size < sizeof(TesmoChainAPI)) return;
    st.chain_type = Ref::borrow(reinterpret_cast<PyObject*>(api->ChainType)).release();
    st.bag_type = Ref::borrow(reinterpret_cast<PyObject*>(api->BagType)).release();
#define PJSON_KEEP(field, type, name) \
    st.native_writer_attrs.field = Ref::borrow(type_attr(st.type, st.names.name)).release();
    PJSON_NATIVE_WRITER_ATTRS(PJSON_KEEP)
#undef PJSON_KEEP
    st.chain_api = api;
}

// Start-up: the state, then the globals bound in order, each before the next
// import starts, then the four functions.
int module_exec(PyObject* module) {
    try {
        State& st = module_state(module);
        state_fill(st, module);
        const Names& n = st.names;
        bool ujson = false;
        bind(module, n.g_json, st.imported_json, import_preferring("ujson", "json", &ujson));
        compact_note_json(st, ujson ? JsonEncoder::ujson : JsonEncoder::json);
        bind(module, n.g_math, check(PyImport_ImportModule("math")));
        bind(module, n.g_OrderedDict, st.imported_ordered_dict, import_from("collections", "OrderedDict"));
        bind(module, n.g_ObjectBuilder, st.ijson_object_builder, import_from("ijson", "ObjectBuilder"));
        bind(module, n.g_ProbabilityBag, st.imported_probability_bag, import_from("tesmo.bag", "ProbabilityBag"));
        chain_api_find(st);
        bind(module, n.g_ijson, st.imported_ijson, import_preferring("ijson.backends.yajl2_cffi", "ijson"));
        stream_note_ijson(st);
        check_status(PyModule_AddFunctions(module, g_methods));
        return 0;
    } catch (PyError&) {
        return -1;
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#ifdef Py_mod_multiple_interpreters
    // Everything the module keeps lives in its state, so every interpreter
    // gets a module of its own. Not those with a GIL of their own: ijson's C
    // backend, which the start-up imports, corrupts memory when it is loaded
    // in such an interpreter and then in the main one.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
#endif
#ifdef Py_GIL_DISABLED
    // The functions rely on the GIL around the caller's objects.
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT,
    "tesmo_cjson",
    nullptr,  // the module carries no docstring
    sizeof(State),
    nullptr,  // the functions are added by module_exec, after the globals
    g_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace

}  // namespace pjson

PyMODINIT_FUNC PyInit_tesmo_cjson(void) { return PyModuleDef_Init(&pjson::g_module); }

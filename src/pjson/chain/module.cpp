// Module start-up (multi-phase, with module state): the types, the names,
// the C API capsule and the functions that train and generate.
#include "chain/chain.h"

#include <cstring>

namespace pjson {

namespace {

int state_traverse(PyObject* module, visitproc visit, void* arg);
int state_clear(PyObject* module);
void state_free(void* module);
int module_exec(PyObject* module);

#define FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f))

PyMethodDef g_functions[] = {
    {"tokenize", mod_tokenize, METH_O,
     "tokenize(sources, /)\n--\n\nThe tokens of tesmo.train.tokenize(sources), as a list."},
    {"train", FASTCALL(mod_train), METH_FASTCALL,
     "train(chain, tokens, order, /)\n--\n\ntesmo.train.train on a Chain, natively."},
    {"train_text", FASTCALL(mod_train_text), METH_FASTCALL,
     "train_text(chain, sources, order, /)\n--\n\n"
     "train(chain, tokenize(sources), order) on a Chain, without a Python object per token."},
    {"generate_sentence", FASTCALL(mod_generate_sentence), METH_FASTCALL,
     "generate_sentence(chain, rng, state, prefix, min_words, max_words, tries, novelty, /)\n--\n\n"
     "The walks of tesmo.train.generate_sentence on a Chain, natively."},
    {"corpus_windows", FASTCALL(mod_corpus_windows), METH_FASTCALL,
     "corpus_windows(sources, overlap, /)\n--\n\n"
     "The sorted distinct 64-bit hashes of every run of `overlap` tokens within a sentence of the texts."},
    {"reproduces", FASTCALL(mod_reproduces), METH_FASTCALL,
     "reproduces(windows, tokens, overlap, /)\n--\n\n"
     "Whether any run of `overlap` tokens of `tokens` is among the hashes of corpus_windows()."},
    {"bad_count", mod_bad_count, METH_O,
     "bad_count(chain, /)\n--\n\nThe first count, in chain order, that is not a finite positive int or float,\n"
     "or None."},
    {"choice_count", mod_choice_count, METH_O,
     "choice_count(chain, /)\n--\n\nThe choices of every bag of the chain: the sum of their unique_count."},
    {"has_lone_surrogate", mod_has_lone_surrogate, METH_O,
     "has_lone_surrogate(chain, /)\n--\n\nWhether a start or a next start of the chain holds a str with a lone\n"
     "surrogate, at any depth of tuples."},
    {"snapshot", mod_snapshot, METH_O,
     "snapshot(obj, /)\n--\n\nThe content of a Chain or a ProbabilityBag as (bytes, values beside them): the\n"
     "state they pickle with. The bags of a chain must all be ProbabilityBag."},
    {"join", FASTCALL(mod_join), METH_FASTCALL,
     "join(chain, source, /)\n--\n\n"
     "Add every choice of source (a chain, or a chain's snapshot()) to chain in\n"
     "source's order, as chain.add_to_bag(start, next_start, count) per choice would:\n"
     "natively when chain is exactly a Chain and source a snapshot or a Chain of\n"
     "ProbabilityBag. source is taken whole before the first choice is added."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#ifdef Py_mod_multiple_interpreters
    // All state is per module; the only static data are tables of
    // character classes, filled once.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef g_def = {
    PyModuleDef_HEAD_INIT,
    "tesmo._chain",
    "Native Chain and ProbabilityBag, and the training and generation walks over them.",
    sizeof(State),
    g_functions,
    g_slots,
    state_traverse,
    state_clear,
    state_free,
};

State* state_raw(PyObject* module) { return static_cast<State*>(PyModule_GetState(module)); }

// clang-format off
#define STATE_OBJECTS(X) \
    X(vocab_type) \
    X(bag_type) \
    X(chain_type) \
    X(bag_iter_type) \
    X(chain_iter_type) \
    X(items_type) \
    X(zero) \
    X(sum) \
    X(s_add) \
    X(s_choose) \
    X(s_random) \
    X(s_bags) \
    X(s_counts) \
    X(s_dict) \
    X(slotnames)
// clang-format on

int state_traverse(PyObject* module, visitproc visit, void* arg) {
    State* st = state_raw(module);
    if (st == nullptr) return 0;
#define VISIT(name) Py_VISIT(reinterpret_cast<PyObject*>(st->name));
    STATE_OBJECTS(VISIT)
#undef VISIT
    return 0;
}

int state_clear(PyObject* module) {
    State* st = state_raw(module);
    if (st == nullptr) return 0;
#define CLEAR(name)                                            \
    {                                                          \
        PyObject* old = reinterpret_cast<PyObject*>(st->name); \
        st->name = nullptr;                                    \
        Py_XDECREF(old);                                       \
    }
    STATE_OBJECTS(CLEAR)
#undef CLEAR
    return 0;
}

void state_free(void* module) { state_clear(static_cast<PyObject*>(module)); }

PyTypeObject* make_type(PyObject* module, PyType_Spec* spec, const char* public_name) {
    PyObject* type = PyType_FromModuleAndSpec(module, spec, nullptr);
    if (type == nullptr) throw_error();
    if (public_name != nullptr) {
        Py_INCREF(type);
        if (PyModule_AddObject(module, public_name, type) < 0) {
            Py_DECREF(type);
            Py_DECREF(type);
            throw_error();
        }
    }
    return reinterpret_cast<PyTypeObject*>(type);
}

int module_exec(PyObject* module) {
    return guarded<int>(-1, [&] {
        State* st = state_raw(module);
        st->vocab_type = make_type(module, &vocab_spec, nullptr);
        st->bag_type = make_type(module, &bag_spec, "ProbabilityBag");
        st->chain_type = make_type(module, &chain_spec, "Chain");
        st->bag_iter_type = make_type(module, &bag_iter_spec, nullptr);
        st->chain_iter_type = make_type(module, &chain_iter_spec, nullptr);
        st->items_type = make_type(module, &items_spec, nullptr);
        st->zero = check(PyLong_FromLong(0)).release();
        Ref builtins = check(PyImport_ImportModule("builtins"));
        st->sum = check(PyObject_GetAttrString(builtins.get(), "sum")).release();
        st->s_add = check(PyUnicode_InternFromString("add")).release();
        st->s_choose = check(PyUnicode_InternFromString("choose")).release();
        st->s_random = check(PyUnicode_InternFromString("random")).release();
        st->s_bags = check(PyUnicode_InternFromString("_bags")).release();
        st->s_counts = check(PyUnicode_InternFromString("_counts")).release();
        st->s_dict = check(PyUnicode_InternFromString("__dict__")).release();
        // The names of the slots that copyreg's protocol saves.
        Ref copyreg = check(PyImport_ImportModule("copyreg"));
        st->slotnames = check(PyObject_GetAttrString(copyreg.get(), "_slotnames")).release();
        api_fill(st);
        // The table lives in the module state, as long as the module does.
        Ref capsule = check(PyCapsule_New(&st->api, TESMO_CHAIN_CAPSULE, nullptr));
        check_status(PyModule_AddObject(module, "_C_API", capsule.get()));
        capsule.release();
        check_status(PyModule_AddIntConstant(module, "_C_API_VERSION", TESMO_CHAIN_API_VERSION));
        return 0;
    });
}

}  // namespace

State* state_of_module(PyObject* module) { return state_raw(module); }

State* state_of(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030B0000
    PyObject* module = PyType_GetModuleByDef(type, &g_def);
    return module ? state_raw(module) : nullptr;
#else
    // What PyType_GetModuleByDef does from 3.11 on: the first heap type in the
    // MRO that our module defined.
    PyObject* mro = type->tp_mro;
    for (Py_ssize_t i = 0; mro != nullptr && i < PyTuple_GET_SIZE(mro); ++i) {
        PyTypeObject* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (!PyType_HasFeature(base, Py_TPFLAGS_HEAPTYPE)) continue;
        PyObject* module = reinterpret_cast<PyHeapTypeObject*>(base)->ht_module;
        if (module != nullptr && PyModule_GetDef(module) == &g_def) return state_raw(module);
    }
    PyErr_Format(PyExc_TypeError, "PyType_GetModuleByDef: No superclass of '%s' has the given module", type->tp_name);
    return nullptr;
#endif
}

void parse_args(const char* fname, const char* const* names, Py_ssize_t required, Py_ssize_t total,
                PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    if (nargs > total) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zd argument%s (%zd given)", fname, total,
                     total == 1 ? "" : "s", nargs);
        throw_error();
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t j = 0;
        while (j < total && PyUnicode_CompareWithASCIIString(key, names[j]) != 0) ++j;
        if (j == total) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname, key);
            throw_error();
        }
        if (out[j] != nullptr) {
            PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zd)", fname, names[j],
                         j + 1);
            throw_error();
        }
        out[j] = args[nargs + k];
    }
    for (Py_ssize_t j = 0; j < required; ++j) {
        if (out[j] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)", fname, names[j], j + 1);
            throw_error();
        }
    }
}

}  // namespace pjson

PyMODINIT_FUNC PyInit__chain(void) { return PyModuleDef_Init(&pjson::g_def); }

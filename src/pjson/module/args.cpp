// The argument checker of the four functions: f(chain, file, flag=default).
// Its messages are the interpreter's own wording for such errors.
#include "module/module.h"

namespace pjson {

namespace {

constexpr Py_ssize_t kMaxArgs = 3;
constexpr Py_ssize_t kRequired = 2;

// Index of the parameter that `key` names, or -1.
Py_ssize_t param_index(PyObject* key, const char* flag_name) {
    const char* params[kMaxArgs] = {"chain", "file", flag_name};
    for (Py_ssize_t i = 0; i < kMaxArgs; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, params[i]) == 0) return i;
    }
    return -1;
}

[[noreturn]] void raise_count(const char* fname, const char* bound, Py_ssize_t expected, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", fname, bound, expected,
                 expected == 1 ? "" : "s", given);
    throw_error();
}

}  // namespace

void parse_args(const char* fname, const char* flag_name, PyObject* flag_default, PyObject* args, PyObject* kwargs,
                CallArgs& out) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > kMaxArgs) raise_count(fname, "at most", kMaxArgs, nargs);

    PyObject* slots[kMaxArgs] = {nullptr, nullptr, nullptr};
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = PyTuple_GET_ITEM(args, i);

    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (kwargs != nullptr && PyDict_Next(kwargs, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", fname);
            throw_error();
        }
        Py_ssize_t i = param_index(key, flag_name);
        if (i < 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() got an unexpected keyword argument '%U'", fname, key);
            throw_error();
        }
        if (slots[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%.200s() got multiple values for keyword argument '%U'", fname, key);
            throw_error();
        }
        slots[i] = value;
    }

    // A missing required parameter reports how many parameters were found
    // before it, as the interpreter's own checker does.
    for (Py_ssize_t i = 0; i < kRequired; ++i) {
        if (slots[i] == nullptr) raise_count(fname, "at least", kRequired, i);
    }
    // A path where the file belongs is refused before anything is done: a
    // reader would clear the chain and then fail on the path itself.
    PyObject* file = slots[1];
    if (PyUnicode_Check(file) || PyBytes_Check(file) || PyByteArray_Check(file) || PyMemoryView_Check(file)) {
        PyErr_Format(PyExc_TypeError, "file must be a file object, not %.200s", Py_TYPE(file)->tp_name);
        throw_error();
    }
    out.chain = slots[0];
    out.file = file;
    out.flag = slots[2] ? slots[2] : flag_default;
}

}  // namespace pjson

// What the command line reads of a native chain at once: the counts that a
// walk weighs choices by, the strings that a document could not hold, and
// the number of choices.
#include "chain/block.h"

#include <cmath>
#include <vector>

namespace pjson {

namespace {

// Whether `value`, a str or a tuple (items followed down, tuples only),
// holds a str with a lone surrogate. False with `sure` cleared for a
// subclass of either, whose text or items Python code may give otherwise.
bool holds_lone_surrogate(PyObject* value, bool& sure) {
    std::vector<PyObject*> todo{value};
    while (!todo.empty()) {
        PyObject* v = todo.back();
        todo.pop_back();
        if (PyTuple_CheckExact(v)) {
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(v); ++i) todo.push_back(PyTuple_GET_ITEM(v, i));
        } else if (PyUnicode_CheckExact(v)) {
            const int kind = PyUnicode_KIND(v);
            if (kind == PyUnicode_1BYTE_KIND) continue;  // ASCII and Latin-1 hold none
            const void* data = PyUnicode_DATA(v);
            for (Py_ssize_t i = 0; i < PyUnicode_GET_LENGTH(v); ++i) {
                const Py_UCS4 c = PyUnicode_READ(kind, data, i);
                if (c >= 0xD800 && c <= 0xDFFF) return true;
            }
        } else if (PyTuple_Check(v) || PyUnicode_Check(v)) {
            sure = false;
            return false;
        }
    }
    return false;
}

[[noreturn]] void foreign_bag(const char* fname) {
    PyErr_Format(PyExc_TypeError, "%s() needs a chain whose bags are all ProbabilityBags", fname);
    throw_error();
}

// Calls `each(entry, block)` for the chain's entries in order, asking for
// each block ahead, until it answers false; TypeError naming `fname` for a
// bag of another kind.
template <class Each>
void for_each_block(State* st, Chain* chain, const char* fname, Each&& each) {
    const size_t entries = static_cast<size_t>(chain_size(chain));
    for (size_t e = 0; e < entries; ++e) {
        if (e + 16 < entries)
            if (const BagData* ahead = chain_entry_data(st, chain_entry(chain, e + 16))) __builtin_prefetch(ahead);
        const ChainEntry* entry = chain_entry(chain, e);
        BagData* data = chain_entry_data(st, entry);
        if (data == nullptr) foreign_bag(fname);
        if (!each(entry, data)) return;
    }
}

}  // namespace

// The first count of the chain, in chain order, that is not a finite positive
// int or float (bools are neither), or None: what a walk needs of the counts
// it weighs choices by. For a chain whose bags are all native.
PyObject* mod_bad_count(PyObject* module, PyObject* arg) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        State* st = state_of_module(module);
        Chain* chain = chain_argument(st, arg, "bad_count");
        // No Python code runs below: only exact ints and floats are compared.
        PyObject* bad = nullptr;
        for_each_block(st, chain, "bad_count", [&](const ChainEntry*, BagData* data) {
            for (size_t i = 0; i < bag_size(data); ++i) {
                int64_t count;
                if (bag_count_native(data, i, count)) {
                    if (count <= 0) {
                        bad = check(PyLong_FromLongLong(count)).release();
                        return false;
                    }
                    continue;
                }
                PyObject* object = bag_count_object(data, i);
                bool good = false;
                if (PyLong_CheckExact(object))
                    good = check_status(PyObject_RichCompareBool(object, st->zero, Py_GT)) == 1;
                else if (PyFloat_CheckExact(object))
                    good = PyFloat_AS_DOUBLE(object) > 0 && std::isfinite(PyFloat_AS_DOUBLE(object));
                if (!good) {
                    bad = Py_NewRef(object);
                    return false;
                }
            }
            return true;
        });
        if (bad != nullptr) return bad;
        Py_RETURN_NONE;
    });
}

// Whether a start or a next start of the chain holds a str with a lone
// surrogate (in a tuple, at any depth). TypeError for a chain that holds a
// bag of another kind or a value it cannot tell of without running code.
PyObject* mod_has_lone_surrogate(PyObject* module, PyObject* arg) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        State* st = state_of_module(module);
        Chain* chain = chain_argument(st, arg, "has_lone_surrogate");
        if (chain_size(chain) == 0 || chain->vocab == nullptr) Py_RETURN_FALSE;
        // No Python code runs below: the values are only read.
        const VocabTable& t = *chain->vocab->table;
        std::vector<uint8_t> used(t.bound(), 0);
        auto use = [&](uint32_t id) {
            if (id >= used.size() || t.value(id) == nullptr) {
                PyErr_SetString(PyExc_RuntimeError, "the chain's values were released");
                throw_error();
            }
            used[id] = 1;
        };
        for_each_block(st, chain, "has_lone_surrogate", [&](const ChainEntry* entry, const BagData* data) {
            if (data->size > 0 && data->vocab != chain->vocab) foreign_bag("has_lone_surrogate");
            use(entry->start);
            for (size_t c = 0; c < data->size; ++c) {
                const uint32_t* ids;
                size_t length;
                ids_at(data, c, ids, length);
                for (size_t k = 0; k < length; ++k) use(ids[k]);
            }
            return true;
        });
        bool sure = true;
        for (uint32_t id = 0; id < used.size(); ++id)
            if (used[id] && holds_lone_surrogate(t.value(id), sure)) Py_RETURN_TRUE;
        if (!sure) {
            PyErr_SetString(PyExc_TypeError, "has_lone_surrogate() cannot read a subclass of str or tuple");
            throw_error();
        }
        Py_RETURN_FALSE;
    });
}

// The choices of every bag of the chain. TypeError for a chain that holds
// a bag of another kind.
PyObject* mod_choice_count(PyObject* module, PyObject* arg) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        State* st = state_of_module(module);
        Chain* chain = chain_argument(st, arg, "choice_count");
        size_t choices = 0;
        for_each_block(st, chain, "choice_count", [&](const ChainEntry*, const BagData* data) {
            choices += bag_size(data);
            return true;
        });
        return PyLong_FromSize_t(choices);
    });
}

}  // namespace pjson

// The generating walks of tesmo.train on a native chain.
#include "chain/chain.h"

#include <climits>
#include <cmath>
#include <vector>

namespace pjson {

namespace {

int64_t count_argument(PyObject* value, const char* name) {
    if (!PyLong_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be an int", name);
        throw_error();
    }
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (n == -1 && PyErr_Occurred()) throw_error();
    if (overflow > 0) return INT64_MAX;
    if (overflow < 0) return INT64_MIN;
    return n;
}

// A token with a letter or digit, or any value that is no str.
bool is_word(PyObject* token) {
    if (!PyUnicode_Check(token)) return true;
#if PY_VERSION_HEX < 0x030C0000
    check_status(PyUnicode_READY(token));
#endif
    Py_ssize_t n = PyUnicode_GET_LENGTH(token);
    int kind = PyUnicode_KIND(token);
    const void* data = PyUnicode_DATA(token);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (Py_UNICODE_ISALNUM(PyUnicode_READ(kind, data, i))) return true;
    return false;
}

// The values of the next start that the bag of entry `index` picks; false
// when the pick is empty.
bool pick_values(State* st, Chain* chain, size_t index, PyObject* rng, std::vector<Ref>& values) {
    values.clear();
    const ChainEntry* entry = chain_entry(chain, index);
    BagData* data = chain_entry_data(st, entry);
    Ref next_start;
    if (data != nullptr) {
        BagPin pin(data);
        Pick pick = bag_pick(st, data, rng);
        if (!pick.next_start) {
            // The choice's values straight from the block, all taken before
            // anything can run Python code.
            const uint32_t* ids;
            size_t n;
            bag_span(data, pick.index, ids, n);
            values.reserve(n);
            for (size_t e = 0; e < n; ++e) values.push_back(vocab_value(data->vocab, ids[e]));
            return n > 0;
        }
        next_start = std::move(pick.next_start);
    } else {
        Ref bag = Ref::borrow(entry->bag);
        PyObject* call[2] = {bag.get(), rng};
        next_start = check(PyObject_VectorcallMethod(st->s_choose, call, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }
    if (!check_status(PyObject_IsTrue(next_start.get()))) return false;
    Ref it = check(PyObject_GetIter(next_start.get()));
    while (Ref value = Ref(PyIter_Next(it.get()))) values.push_back(std::move(value));
    if (PyErr_Occurred()) throw_error();
    return true;
}

// state[1:] + (token,)
Ref shifted(PyObject* state, PyObject* token) {
    Py_ssize_t n = PyTuple_GET_SIZE(state);
    Py_ssize_t keep = n > 0 ? n - 1 : 0;
    Ref out = check(PyTuple_New(keep + 1));
    for (Py_ssize_t i = 0; i < keep; ++i) PyTuple_SET_ITEM(out.get(), i, Py_NewRef(PyTuple_GET_ITEM(state, i + 1)));
    PyTuple_SET_ITEM(out.get(), keep, Py_NewRef(token));
    return out;
}

}  // namespace

// generate_sentence(chain, rng, state, prefix, min_words, max_words, tries,
// novelty): the walks of tesmo.train._generate, with the same picks.
PyObject* mod_generate_sentence(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        State* st = state_of_module(module);
        expect_args("generate_sentence", nargs, 8);
        Chain* chain = chain_argument(st, args[0], "generate_sentence");
        PyObject* rng = args[1];
        PyObject* state = args[2];
        if (!PyList_CheckExact(args[3])) {
            PyErr_SetString(PyExc_TypeError, "generate_sentence() needs the prefix as a list");
            throw_error();
        }
        Ref prefix = Ref::borrow(args[3]);
        int64_t min_words = count_argument(args[4], "min_words");
        int64_t max_words = count_argument(args[5], "max_words");
        int64_t tries = count_argument(args[6], "tries");
        PyObject* novelty = args[7];
        Ref keep = Ref::borrow(args[0]);
        Ref keep_rng = Ref::borrow(rng);
        Ref keep_state = Ref::borrow(state);
        Ref keep_novelty = Ref::borrow(novelty);
        // Punctuation is no word; a walk that loops through it ends here.
        int64_t limit = max_words > (INT64_MAX - 16) / 4 ? INT64_MAX : 4 * max_words + 16;
        bool shifting = PyTuple_CheckExact(state);
        Ref prefix_copy = check(PyList_GetSlice(prefix.get(), 0, PY_SSIZE_T_MAX));
        int64_t prefix_words = 0;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(prefix_copy.get()); ++i)
            prefix_words += is_word(PyList_GET_ITEM(prefix_copy.get(), i));
        Ref is_novel = check(PyUnicode_FromString("is_novel"));
        std::vector<Ref> values;
        for (int64_t attempt = 0; attempt < tries; ++attempt) {
            Ref tokens = check(PyList_GetSlice(prefix_copy.get(), 0, PY_SSIZE_T_MAX));
            int64_t words = prefix_words;
            Ref at = Ref::borrow(state);
            bool ended = false;
            while (!ended && words <= max_words && PyList_GET_SIZE(tokens.get()) <= limit) {
                size_t index;
                if (!chain_find(chain, at.get(), index)) break;
                if (!pick_values(st, chain, index, rng, values)) break;
                for (Ref& value : values) {
                    if (value.get() == Py_None) {
                        ended = true;
                        break;
                    }
                    check_status(PyList_Append(tokens.get(), value.get()));
                    words += is_word(value.get());
                    at = shifting ? shifted(at.get(), value.get()) : std::move(value);
                }
            }
            if (!ended || words < min_words || words > max_words) continue;
            if (novelty != Py_None) {
                PyObject* call[2] = {novelty, tokens.get()};
                Ref novel =
                    check(PyObject_VectorcallMethod(is_novel.get(), call, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
                if (!check_status(PyObject_IsTrue(novel.get()))) continue;
            }
            return tokens.release();
        }
        Py_RETURN_NONE;
    });
}

}  // namespace pjson

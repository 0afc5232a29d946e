// The frequency mapping of a chain, which the writers build their code
// table from: how often each value occurs, in first-seen order.
#include "chain/chain.h"

namespace pjson {

namespace {

constexpr const char* kChainName = "Chain";

}  // namespace

bool chain_frequencies(Chain* chain, std::vector<Ref>& values, std::vector<Py_ssize_t>& counts,
                       std::vector<uint32_t>& entry_of_id) {
    values.clear();
    counts.clear();
    entry_of_id.clear();
    Vocab* vocab = chain->vocab;
    if (vocab == nullptr || chain_size(chain) == 0) return true;
    State* st = state_of(Py_TYPE(chain));
    ChainStore& s = *chain->store;
    for (const ChainEntry& e : s.entries) {
        BagData* d = chain_entry_data(st, &e);
        if (d == nullptr || (d->vocab != nullptr && d->vocab != vocab)) return false;
    }
    // Occurrences per id, in first-seen order, with no Python code running.
    std::vector<Py_ssize_t> per_id(vocab->table->bound(), 0);
    std::vector<uint32_t> order;
    auto seen = [&](uint32_t id) {
        if (per_id[id]++ == 0) order.push_back(id);
    };
    for (const ChainEntry& e : s.entries) {
        seen(e.start);
        BagData* d = chain_entry_data(st, &e);
        for (size_t c = 0; c < bag_size(d); ++c) {
            const uint32_t* ids;
            size_t n;
            bag_span(d, c, ids, n);
            for (size_t i = 0; i < n; ++i) seen(ids[i]);
        }
    }
    std::vector<Ref> ordered;
    ordered.reserve(order.size());
    for (uint32_t id : order) ordered.push_back(vocab_value(vocab, id));
    // Ids apart may hold equal values (1 and True): the first-seen one
    // stands for all, as in a dict.
    Ref position = check(PyDict_New());
    entry_of_id.assign(per_id.size(), UINT32_MAX);
    for (size_t k = 0; k < order.size(); ++k) {
        PyObject* value = ordered[k].get();
        PyObject* at = PyDict_GetItemWithError(position.get(), value);
        if (at == nullptr && PyErr_Occurred()) throw_error();
        size_t entry;
        if (at != nullptr) {
            entry = PyLong_AsSize_t(at);
            counts[entry] += per_id[order[k]];
        } else {
            entry = values.size();
            Ref index = check(PyLong_FromSize_t(entry));
            check_status(PyDict_SetItem(position.get(), value, index.get()));
            values.push_back(Ref::borrow(value));
            counts.push_back(per_id[order[k]]);
        }
        entry_of_id[order[k]] = static_cast<uint32_t>(entry);
    }
    return true;
}

Ref chain_frequency_dict(Chain* chain) {
    Ref keep = Ref::borrow(reinterpret_cast<PyObject*>(chain));
    Ref result = check(PyDict_New());
    std::vector<Ref> values;
    std::vector<Py_ssize_t> counts;
    std::vector<uint32_t> entry_of_id;
    if (chain_frequencies(chain, values, counts, entry_of_id)) {
        for (size_t k = 0; k < values.size(); ++k) {
            Ref n = check(PyLong_FromSsize_t(counts[k]));
            check_status(PyDict_SetItem(result.get(), values[k].get(), n.get()));
        }
        return result;
    }
    // A bag of another kind: what the pure-Python chain does, occurrence by
    // occurrence.
    State* st = state_of(Py_TYPE(chain));
    Ref one = check(PyLong_FromLong(1));
    auto count = [&](PyObject* value) {
        PyObject* old = PyDict_GetItemWithError(result.get(), value);
        if (old == nullptr && PyErr_Occurred()) throw_error();
        Ref sum = old ? check(PyNumber_Add(old, one.get())) : Ref::borrow(one.get());
        check_status(PyDict_SetItem(result.get(), value, sum.get()));
    };
    Py_ssize_t n = chain_size(chain);
    for (Py_ssize_t e = 0; e < n; ++e) {
        if (chain_size(chain) != n) raise_changed(kChainName);
        const ChainEntry* entry = chain_entry(chain, static_cast<size_t>(e));
        Ref start = vocab_value(chain->vocab, entry->start);
        Ref bag = chain_entry_bag(st, chain, static_cast<size_t>(e));
        if (!bag) raise_changed(kChainName);
        count(start.get());
        Ref starts = check(PyObject_GetIter(bag.get()));
        while (Ref next_start = Ref(PyIter_Next(starts.get()))) {
            Ref values_it = check(PyObject_GetIter(next_start.get()));
            while (Ref value = Ref(PyIter_Next(values_it.get()))) count(value.get());
            if (PyErr_Occurred()) throw_error();
        }
        if (PyErr_Occurred()) throw_error();
    }
    return result;
}

}  // namespace pjson

// The frequency mapping of a chain, which the writers build their code
// table from: how often each value occurs, in first-seen order.
#include "chain/block.h"

#include <algorithm>
#include <span>
#include <utility>

namespace pjson {

namespace {

constexpr const char* kChainName = "Chain";

// Occurrences of each id of the chain's vocabulary, as a start or in a next
// start, and the ids in the order first met. False when some bag is not a
// native bag sharing the chain's vocabulary. Runs no Python code.
bool count_occurrences(Chain* chain, std::vector<Py_ssize_t>& per_id, std::vector<uint32_t>& order) {
    Vocab* vocab = chain->vocab;
    State* st = state_of(Py_TYPE(chain));
    const std::vector<ChainEntry>& entries = chain->store->entries;
    per_id.assign(vocab->table->bound(), 0);
    order.clear();
    order.reserve(vocab->table->live());
    auto seen = [&](uint32_t id) {
        if (per_id[id]++ == 0) order.push_back(id);
    };
    const size_t n = entries.size();
    for (size_t k = 0; k < n; ++k) {
        // Blocks and their records lie scattered: each is fetched ahead.
        if (k + 8 < n)
            if (const BagData* ahead = chain_entry_data(st, &entries[k + 8])) __builtin_prefetch(ahead);
        if (k + 4 < n)
            if (const BagData* ahead = chain_entry_data(st, &entries[k + 4])) __builtin_prefetch(ahead->records);
        const ChainEntry& e = entries[k];
        const BagData* d = chain_entry_data(st, &e);
        if (d == nullptr || (d->vocab != nullptr && d->vocab != vocab)) return false;
        seen(e.start);
        if (d->size == 0) continue;
        if (d->mixed) {
            for (size_t c = 0; c < d->size; ++c) {
                const uint32_t* ids;
                size_t length;
                bag_span(d, c, ids, length);
                for (size_t i = 0; i < length; ++i) seen(ids[i]);
            }
            continue;
        }
        // Records of one width: the ids follow each count at a fixed step.
        const size_t step = stride(d), width = d->width;
        const uint32_t* ids = d->records + count_words(d);
        for (const uint32_t* end = ids + d->size * step; ids != end; ids += step)
            for (size_t i = 0; i < width; ++i) seen(ids[i]);
    }
    return true;
}

// Equal values under ids apart (1 and True) count as the first-seen one, as
// in a dict. Only ids whose hash another id shares (aliased ones) can be
// such; with plain values they are compared here without Python code.
void merge_plain(const VocabTable& t, std::span<const uint32_t> order, std::span<const Py_ssize_t> per_id,
                 std::vector<uint32_t>& ids, std::vector<Py_ssize_t>& counts, std::vector<uint32_t>& entry_of_id) {
    entry_of_id.assign(per_id.size(), UINT32_MAX);
    ids.reserve(order.size());
    counts.reserve(order.size());
    std::vector<std::pair<Py_hash_t, size_t>> aliased;
    for (size_t k = 0; k < order.size(); ++k)
        if (t.aliased(order[k])) aliased.emplace_back(t.hash(order[k]), k);
    std::vector<size_t> merged;  // per first-seen position: the position it counts as
    if (!aliased.empty()) {
        merged.resize(order.size());
        for (size_t k = 0; k < order.size(); ++k) merged[k] = k;
        std::sort(aliased.begin(), aliased.end());
        std::vector<size_t> firsts;  // the first-seen of each class of equal values, within one hash
        for (size_t a = 0; a < aliased.size(); ++a) {
            if (a == 0 || aliased[a].first != aliased[a - 1].first) firsts.clear();
            const size_t k = aliased[a].second;
            for (size_t first : firsts) {
                bool ran = false;
                if (values_equal(t.value(order[first]), t.value(order[k]), ran)) {
                    merged[k] = first;
                    break;
                }
            }
            if (merged[k] == k) firsts.push_back(k);
        }
    }
    for (size_t k = 0; k < order.size(); ++k) {
        const uint32_t id = order[k];
        if (!merged.empty() && merged[k] != k) {
            const uint32_t entry = entry_of_id[order[merged[k]]];
            counts[entry] += per_id[id];
            entry_of_id[id] = entry;
            continue;
        }
        entry_of_id[id] = static_cast<uint32_t>(ids.size());
        ids.push_back(id);
        counts.push_back(per_id[id]);
    }
}

}  // namespace

bool chain_id_frequencies(Chain* chain, std::vector<uint32_t>& ids, std::vector<Py_ssize_t>& counts,
                          std::vector<uint32_t>& entry_of_id) {
    ids.clear();
    counts.clear();
    entry_of_id.clear();
    if (chain->vocab == nullptr || chain_size(chain) == 0) return true;
    std::vector<Py_ssize_t> per_id;
    std::vector<uint32_t> order;
    if (!count_occurrences(chain, per_id, order)) return false;
    return vocabulary_id_frequencies(*chain->vocab->table, order, per_id, ids, counts, entry_of_id);
}

bool vocabulary_id_frequencies(const VocabTable& t, std::span<const uint32_t> order, std::span<const Py_ssize_t> per_id,
                               std::vector<uint32_t>& ids, std::vector<Py_ssize_t>& counts,
                               std::vector<uint32_t>& entry_of_id) {
    ids.clear();
    counts.clear();
    entry_of_id.clear();
    for (uint32_t id : order)
        if (!t.plain(id)) return false;
    merge_plain(t, order, per_id, ids, counts, entry_of_id);
    return true;
}

bool chain_frequencies(Chain* chain, std::vector<Ref>& values, std::vector<Py_ssize_t>& counts,
                       std::vector<uint32_t>& entry_of_id) {
    values.clear();
    counts.clear();
    entry_of_id.clear();
    Vocab* vocab = chain->vocab;
    if (vocab == nullptr || chain_size(chain) == 0) return true;
    std::vector<Py_ssize_t> per_id;
    std::vector<uint32_t> order;
    if (!count_occurrences(chain, per_id, order)) return false;
    const VocabTable& t = *vocab->table;
    bool all_plain = true;
    for (uint32_t id : order) all_plain = all_plain && t.plain(id);
    if (all_plain) {
        std::vector<uint32_t> ids;
        merge_plain(t, order, per_id, ids, counts, entry_of_id);
        values.reserve(ids.size());
        for (uint32_t id : ids) values.push_back(Ref::borrow(t.value(id)));
        return true;
    }
    std::vector<Ref> ordered;
    ordered.reserve(order.size());
    for (uint32_t id : order) ordered.push_back(vocab_value(vocab, id));
    // Ids apart may hold equal values (1 and True): the first-seen one
    // stands for all, as in a dict, whose lookups may run Python code.
    entry_of_id.assign(per_id.size(), UINT32_MAX);
    Ref position = check(PyDict_New());
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

// Chain: the starts in insertion order, each with its bag, found through a
// hash index over the chain's vocabulary; its items view and iterators; and
// the frequency mapping the writers build their code table from.
#include "chain/chain.h"

#include <memory>

namespace pjson {

namespace {

constexpr const char* kChainName = "Chain";
constexpr uint32_t kNone = UINT32_MAX;

Chain* as_chain(PyObject* o) { return reinterpret_cast<Chain*>(o); }
State* chain_state(PyObject* self) { return state_of(Py_TYPE(self)); }

// Looks a start up by value (and by id, when `id` is one of the chain's
// vocabulary). Python code may run for values that are not plain.
Find find(Chain* chain, PyObject* value, Py_hash_t hash, const uint32_t* id, size_t& index) {
    ChainStore& s = *chain->store;
    if (s.entries.empty()) return Find::absent;
    Vocab* vocab = chain->vocab;
    if (id != nullptr && !vocab->table->aliased(*id)) {
        // No other id holds a value equal to this one.
        if (*id >= s.entry_of_id.size() || s.entry_of_id[*id] == kNone) return Find::absent;
        index = s.entry_of_id[*id];
        return Find::found;
    }
    uint64_t stamp = chain->stamp;
    size_t mask = s.slots.size() - 1;
    for (size_t i = static_cast<size_t>(hash) & mask;; i = (i + 1) & mask) {
        uint32_t slot = s.slots[i];
        if (slot == 0) return Find::absent;
        uint32_t start = s.entries[slot - 1].start;
        if ((id != nullptr && start == *id) || vocab->table->value(start) == value) {
            index = slot - 1;
            return Find::found;
        }
        if (vocab->table->hash(start) != hash) continue;
        Ref stored = vocab_value(vocab, start);
        bool ran = false;
        bool equal = values_equal(stored.get(), value, ran);
        if (ran && (chain->stamp != stamp || chain->vocab != vocab)) return Find::changed;
        if (equal) {
            index = slot - 1;
            return Find::found;
        }
    }
}

void index_build(Chain* chain, size_t cap) {
    ChainStore& s = *chain->store;
    std::vector<uint32_t> slots(cap, 0);
    size_t mask = cap - 1;
    for (size_t e = 0; e < s.entries.size(); ++e) {
        size_t i = static_cast<size_t>(chain->vocab->table->hash(s.entries[e].start)) & mask;
        while (slots[i] != 0) i = (i + 1) & mask;
        slots[i] = static_cast<uint32_t>(e + 1);
    }
    s.slots.swap(slots);
}

// Appends an entry for `start` (one use of it taken here) owning `data` or
// holding `bag` (a reference taken of the one given). Nothing changes unless
// all of it fits; `data` is released if it does not.
size_t insert(Chain* chain, uint32_t start, BagData* data, PyObject* bag) {
    ChainStore& s = *chain->store;
    size_t n = s.entries.size();
    try {
        if (n >= UINT32_MAX - 1) throw std::bad_alloc();
        if (s.entries.size() == s.entries.capacity()) s.entries.reserve(n + n / 2 + 4);
        if ((n + 1) * 3 > s.slots.size() * 2) index_build(chain, s.slots.empty() ? 8 : s.slots.size() * 2);
        if (start >= s.entry_of_id.size())
            s.entry_of_id.resize(std::max<size_t>(chain->vocab->table->bound(), start + 1), kNone);
    } catch (...) {
        if (data != nullptr) {
            Graveyard graves;
            bag_data_decref(data, graves);
        }
        throw;
    }
    chain->vocab->table->hold(start);
    Py_XINCREF(bag);
    s.entries.push_back(ChainEntry{start, data, bag});
    s.entry_of_id[start] = static_cast<uint32_t>(n);
    size_t mask = s.slots.size() - 1;
    size_t i = static_cast<size_t>(chain->vocab->table->hash(start)) & mask;
    while (s.slots[i] != 0) i = (i + 1) & mask;
    s.slots[i] = static_cast<uint32_t>(n + 1);
    ++chain->stamp;
    return n;
}

// The entry of `start`, created with an empty block when absent.
size_t entry_for(State* st, Chain* chain, PyObject* start, Py_hash_t hash) {
    for (;;) {
        Vocab* vocab = chain_vocab(st, chain);
        size_t index;
        Find f = find(chain, start, hash, nullptr, index);
        if (f == Find::changed) continue;
        if (f == Find::found) return index;
        Graveyard graves;
        Holds holds(graves);
        uint32_t id = vocab->table->intern(start, hash);
        holds.take(vocab, id);
        return insert(chain, id, bag_data_new(vocab), nullptr);
    }
}

Py_hash_t hash_of(PyObject* value) {
    Py_hash_t h = PyObject_Hash(value);
    if (h == -1) throw_error();
    return h;
}

Ref call_bag_add(PyObject* bag, PyObject* items, PyObject* count) {
    Ref add = check(PyObject_GetAttrString(bag, "add"));
    PyObject* args[3] = {nullptr, items, count};
    return check(PyObject_Vectorcall(add.get(), args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

void entry_release(ChainEntry& e, Graveyard& graves) {
    if (e.data != nullptr) bag_data_decref(std::exchange(e.data, nullptr), graves);
    if (e.bag != nullptr) graves.bury(std::exchange(e.bag, nullptr));
}

}  // namespace

// ---------------------------------------------------------------------------

Py_ssize_t chain_size(Chain* chain) noexcept {
    return chain->store ? static_cast<Py_ssize_t>(chain->store->entries.size()) : 0;
}

const ChainEntry* chain_entry(Chain* chain, size_t index) noexcept {
    return index < chain->store->entries.size() ? &chain->store->entries[index] : nullptr;
}

BagData* chain_entry_data(State* st, const ChainEntry* entry) noexcept {
    if (entry->data != nullptr) return entry->data;
    return Py_IS_TYPE(entry->bag, st->bag_type) ? bag_data(entry->bag) : nullptr;
}

Ref chain_entry_bag(State* st, Chain* chain, size_t index) {
    const ChainEntry* entry = chain_entry(chain, index);
    if (entry == nullptr) return Ref();
    if (entry->bag != nullptr) return Ref::borrow(entry->bag);
    // Made with a block of its own first: making it may run the collector,
    // and with it Python code that changes the chain.
    uint64_t stamp = chain->stamp;
    Ref bag(reinterpret_cast<PyObject*>(bag_new(st, nullptr)));
    ChainEntry* e = const_cast<ChainEntry*>(chain_entry(chain, index));
    if (chain->stamp != stamp || e == nullptr) return Ref();
    if (e->bag != nullptr) return Ref::borrow(e->bag);
    Graveyard graves;
    bag_data_decref(std::exchange(reinterpret_cast<Bag*>(bag.get())->data, std::exchange(e->data, nullptr)), graves);
    e->bag = Ref::borrow(bag.get()).release();
    return bag;
}

Vocab* chain_vocab(State* st, Chain* chain) {
    if (chain->vocab != nullptr) return chain->vocab;
    // Making it may run code that gives the chain a vocabulary first.
    Ref made(reinterpret_cast<PyObject*>(vocab_new(st)));
    if (chain->vocab == nullptr) chain->vocab = reinterpret_cast<Vocab*>(made.release());
    return chain->vocab;
}

void chain_clear(Chain* chain) {
    Graveyard graves;
    ChainStore& s = *chain->store;
    for (ChainEntry& e : s.entries) {
        chain->vocab->table->release(e.start, graves);
        entry_release(e, graves);
    }
    s.entries.clear();
    s.entries.shrink_to_fit();
    s.slots.clear();
    s.slots.shrink_to_fit();
    s.entry_of_id.clear();
    s.entry_of_id.shrink_to_fit();
    ++s.clears;
    ++chain->stamp;
}

void chain_set_bag(State* st, Chain* chain, PyObject* given, PyObject* bag) {
    Ref frozen = frozen_value(given);
    PyObject* start = frozen.get();
    Py_hash_t hash = hash_of(start);
    Ref keep = Ref::borrow(bag);
    for (;;) {
        Vocab* vocab = chain_vocab(st, chain);
        size_t index;
        Find f = find(chain, start, hash, nullptr, index);
        if (f == Find::changed) continue;
        Graveyard graves;
        // The chain's bags share its vocabulary; moving a bag is invisible.
        if (PyObject_TypeCheck(bag, st->bag_type)) bag_rehome(bag_data(bag), vocab, graves);
        if (f == Find::found) {
            ChainEntry& e = chain->store->entries[index];
            entry_release(e, graves);
            e.bag = keep.release();
        } else {
            Holds holds(graves);
            uint32_t id = vocab->table->intern(start, hash);
            holds.take(vocab, id);
            insert(chain, id, nullptr, bag);
        }
        return;
    }
}

void chain_add_values(State* st, Chain* chain, PyObject* given, PyObject* items, PyObject* const* values, size_t length,
                      PyObject* count) {
    Ref frozen = frozen_value(given);
    PyObject* start = frozen.get();
    size_t index = entry_for(st, chain, start, hash_of(start));
    const ChainEntry* entry = chain_entry(chain, index);
    if (BagData* data = chain_entry_data(st, entry)) {
        // The bag found is the one added to, whatever collecting the items does.
        BagPin pin(data);
        if (items == nullptr) return bag_add_values(st, data, values, length, count);
        NextStartValues collected;
        collected.collect(items);
        return bag_add_values(st, data, collected.data(), collected.size(), count);
    }
    Ref bag = Ref::borrow(entry->bag);
    if (items != nullptr) {
        call_bag_add(bag.get(), items, count);
        return;
    }
    Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(length)));
    for (size_t i = 0; i < length; ++i) PyTuple_SET_ITEM(tuple.get(), i, Ref::borrow(values[i]).release());
    call_bag_add(bag.get(), tuple.get(), count);
}

void chain_add_hinted(State* st, Chain* chain, PyObject* given, uint32_t* start_hint, PyObject* const* values,
                      uint32_t* hints, size_t length, const CountArg& count, ItemsMaker make_items, void* ctx) {
    Ref frozen = frozen_value(given);
    PyObject* start = frozen.get();
    size_t index;
    Vocab* vocab = chain_vocab(st, chain);
    uint32_t id = *start_hint;
    ChainStore& s = *chain->store;
    if (id != kNoHint && vocab->table->holds_plain(id, start) && !vocab->table->aliased(id)) {
        // No other id holds a value equal to the start: its entry, if any,
        // is found by the id alone, as entry_for would find it.
        if (id < s.entry_of_id.size() && s.entry_of_id[id] != kNone)
            index = s.entry_of_id[id];
        else
            index = insert(chain, id, bag_data_new(vocab), nullptr);
    } else {
        index = entry_for(st, chain, start, hash_of(start));
    }
    const ChainEntry* entry = chain_entry(chain, index);
    *start_hint = entry->start;
    if (BagData* data = chain_entry_data(st, entry)) {
        BagPin pin(data);
        return bag_add_hinted(st, data, chain->vocab, values, hints, length, count);
    }
    Ref bag = Ref::borrow(entry->bag);
    Ref items = check(make_items(ctx));
    Ref count_value = count.make();
    call_bag_add(bag.get(), items.get(), count_value.get());
}

size_t chain_entry_for_id(State*, Chain* chain, uint32_t start) {
    ChainStore& s = *chain->store;
    if (start < s.entry_of_id.size() && s.entry_of_id[start] != kNone && !chain->vocab->table->aliased(start))
        return s.entry_of_id[start];
    for (;;) {
        Vocab* vocab = chain->vocab;
        Ref value = vocab_value(vocab, start);
        size_t index;
        Find f = find(chain, value.get(), vocab->table->hash(start), &start, index);
        if (f == Find::changed) {
            if (chain->vocab != vocab) {
                PyErr_SetString(PyExc_RuntimeError, "Chain changed during training");
                throw_error();
            }
            continue;
        }
        if (f == Find::found) return index;
        return insert(chain, start, bag_data_new(vocab), nullptr);
    }
}

bool chain_find(Chain* chain, PyObject* start, size_t& index) {
    Py_hash_t hash = hash_of(start);
    for (;;) {
        if (chain->vocab == nullptr) return false;
        Find f = find(chain, start, hash, nullptr, index);
        if (f != Find::changed) return f == Find::found;
    }
}

bool chain_find_id(Chain* chain, uint32_t start, size_t& index) {
    for (;;) {
        Vocab* vocab = chain->vocab;
        Ref value = vocab_value(vocab, start);
        Find f = find(chain, value.get(), vocab->table->hash(start), &start, index);
        if (f != Find::changed) return f == Find::found;
    }
}

// The bag object of a start, made now if needed; empty when absent.
Ref find_bag_object(Chain* chain, PyObject* start) {
    State* st = state_of(Py_TYPE(chain));
    for (;;) {
        size_t index;
        if (!chain_find(chain, start, index)) return Ref();
        if (Ref bag = chain_entry_bag(st, chain, index)) return bag;
    }
}

Ref chain_pairs(Chain* chain) {
    Ref pairs = check(PyList_New(0));
    State* st = state_of(Py_TYPE(chain));
    for (Py_ssize_t e = 0; e < chain_size(chain); ++e) {
        Ref bag = chain_entry_bag(st, chain, static_cast<size_t>(e));
        if (!bag) raise_changed(kChainName);
        Ref start = vocab_value(chain->vocab, chain_entry(chain, static_cast<size_t>(e))->start);
        Ref pair = check(PyTuple_Pack(2, start.get(), bag.get()));
        check_status(PyList_Append(pairs.get(), pair.get()));
    }
    return pairs;
}

// ---------------------------------------------------------------------------
// Frequencies.

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

// ---------------------------------------------------------------------------
// The Python type.

namespace {

PyObject* chain_tp_new(PyTypeObject* type, PyObject*, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Ref obj = check(type->tp_alloc(type, 0));
        as_chain(obj.get())->store = new ChainStore();
        return obj.release();
    });
}

int chain_tp_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
        PyErr_SetString(PyExc_TypeError, "Chain() takes no arguments");
        return -1;
    }
    return guarded<int>(-1, [&] {
        if (chain_size(as_chain(self)) > 0) chain_clear(as_chain(self));
        return 0;
    });
}

int chain_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Chain* chain = as_chain(self);
    Py_VISIT(reinterpret_cast<PyObject*>(chain->vocab));
    if (chain->store != nullptr)
        for (ChainEntry& e : chain->store->entries) {
            Py_VISIT(e.bag);
            if (e.data != nullptr) {
                int r = bag_data_traverse(e.data, visit, arg);
                if (r != 0) return r;
            }
        }
    return 0;
}

int chain_tp_clear(PyObject* self) {
    Chain* chain = as_chain(self);
    if (chain->store != nullptr && chain->vocab != nullptr) chain_clear(chain);
    Py_CLEAR(chain->vocab);
    return 0;
}

void chain_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    chain_tp_clear(self);
    delete as_chain(self)->store;
    as_chain(self)->store = nullptr;
    type->tp_free(self);
    Py_DECREF(type);
}

const char* const kAddToBagNames[] = {"start", "items", "count"};
const char* const kSetBagNames[] = {"start", "bag"};

PyObject* chain_add_to_bag(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* a[3] = {nullptr, nullptr, nullptr};
        parse_args("add_to_bag", kAddToBagNames, 2, 3, args, nargs, kwnames, a);
        Ref one;
        if (a[2] == nullptr) a[2] = (one = check(PyLong_FromLong(1))).get();
        Ref keep = Ref::borrow(self);
        chain_add_values(chain_state(self), as_chain(self), a[0], a[1], nullptr, 0, a[2]);
        Py_RETURN_NONE;
    });
}

PyObject* chain_set_bag_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* a[2] = {nullptr, nullptr};
        parse_args("set_bag", kSetBagNames, 2, 2, args, nargs, kwnames, a);
        Ref keep = Ref::borrow(self);
        chain_set_bag(chain_state(self), as_chain(self), a[0], a[1]);
        Py_RETURN_NONE;
    });
}

PyObject* chain_clear_method(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (as_chain(self)->vocab != nullptr) chain_clear(as_chain(self));
        Py_RETURN_NONE;
    });
}

PyObject* chain_build_frequency_dict(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&] { return chain_frequency_dict(as_chain(self)).release(); });
}

PyObject* chain_iter(PyObject* self) { return chain_iter_make(self, 0); }

Py_ssize_t chain_length(PyObject* self) { return chain_size(as_chain(self)); }

PyObject* chain_subscript(PyObject* self, PyObject* start) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Ref keep = Ref::borrow(self);
        Ref bag = find_bag_object(as_chain(self), start);
        if (!bag) raise_key_error(start);
        return bag.release();
    });
}

int chain_contains(PyObject* self, PyObject* start) {
    return guarded<int>(-1, [&] {
        Ref keep = Ref::borrow(self);
        size_t index;
        return chain_find(as_chain(self), start, index) ? 1 : 0;
    });
}

// Whether the bags of entry `e` of `a` and entry `f` of `b` are equal, as
// `bag_a == bag_b` says; native blocks are compared without their objects.
bool entries_equal(State* st, Chain* a, size_t e, Chain* b, size_t f) {
    BagData* x = chain_entry_data(st, chain_entry(a, e));
    BagData* y = chain_entry_data(st, chain_entry(b, f));
    if (x != nullptr && y != nullptr) return bag_data_equal(x, y);
    Ref bag_a = chain_entry_bag(st, a, e);
    Ref bag_b = chain_entry_bag(st, b, f);
    if (!bag_a || !bag_b) raise_changed(kChainName);
    return check_status(PyObject_RichCompareBool(bag_a.get(), bag_b.get(), Py_EQ)) == 1;
}

bool chain_holds_all(Chain* a, Chain* b) {
    State* st = state_of(Py_TYPE(a));
    Py_ssize_t n = chain_size(a);
    for (Py_ssize_t e = 0; e < n; ++e) {
        if (chain_size(a) != n) raise_changed(kChainName);
        Ref start = vocab_value(a->vocab, chain_entry(a, static_cast<size_t>(e))->start);
        size_t f;
        if (!chain_find(b, start.get(), f)) return false;
        if (chain_size(a) != n) raise_changed(kChainName);
        if (!entries_equal(st, a, static_cast<size_t>(e), b, f)) return false;
    }
    return true;
}

PyObject* chain_richcompare(PyObject* self, PyObject* other, int op) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        State* st = chain_state(self);
        if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(other, st->chain_type)) Py_RETURN_NOTIMPLEMENTED;
        Ref keep_a = Ref::borrow(self), keep_b = Ref::borrow(other);
        Chain *a = as_chain(self), *b = as_chain(other);
        bool equal = chain_size(a) == chain_size(b) && (a == b || chain_size(a) == 0 || chain_holds_all(a, b));
        return Ref::borrow((equal == (op == Py_EQ)) ? Py_True : Py_False).release();
    });
}

PyObject* chain_repr(PyObject* self) {
    int entered = Py_ReprEnter(self);
    if (entered != 0) return entered > 0 ? PyUnicode_FromString("Chain({...})") : nullptr;
    PyObject* result = guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Chain* chain = as_chain(self);
        Ref keep = Ref::borrow(self);
        Ref parts = check(PyList_New(0));
        for (Py_ssize_t e = 0; e < chain_size(chain); ++e) {
            const ChainEntry* entry = chain_entry(chain, static_cast<size_t>(e));
            Ref start = vocab_value(chain->vocab, entry->start);
            // Both kept, as a dict's repr keeps its key and value.
            Ref bag = Ref::borrow(entry->bag);
            std::unique_ptr<BagPin> data(entry->data ? new BagPin(entry->data) : nullptr);
            Ref k = check(PyObject_Repr(start.get()));
            Ref v = data ? bag_data_repr(data->get()) : check(PyObject_Repr(bag.get()));
            Ref item = check(PyUnicode_FromFormat("%U: %U", k.get(), v.get()));
            check_status(PyList_Append(parts.get(), item.get()));
        }
        Ref comma = check(PyUnicode_FromString(", "));
        Ref body = check(PyUnicode_Join(comma.get(), parts.get()));
        return PyUnicode_FromFormat("Chain({%U})", body.get());
    });
    Py_ReprLeave(self);
    return result;
}

#define FASTCALL_KW(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f))

PyMethodDef chain_methods[] = {
    {"items", chain_items, METH_NOARGS, "items($self, /)\n--\n\nReturn the (start, bag) pairs in insertion order."},
    {"clear", chain_clear_method, METH_NOARGS, "clear($self, /)\n--\n\nRemove every start and its bag."},
    {"set_bag", FASTCALL_KW(chain_set_bag_method), METH_FASTCALL | METH_KEYWORDS,
     "set_bag($self, /, start, bag)\n--\n\nInstall bag as the bag of start, replacing any earlier one.\n\n"
     "A start given as a list (a JSON array as a reader hands it over) is stored as\n"
     "the equal tuple, and so is every list within it."},
    {"add_to_bag", FASTCALL_KW(chain_add_to_bag), METH_FASTCALL | METH_KEYWORDS,
     "add_to_bag($self, /, start, items, count=1)\n--\n\n"
     "Add count to the choice tuple(items) in the bag of start, creating the start\nand its bag when absent.\n\n"
     "A start given as a list is stored as the equal tuple, as set_bag stores it;\n"
     "lists among the items as ProbabilityBag.add stores them."},
    {"build_frequency_dict", chain_build_frequency_dict, METH_NOARGS,
     "build_frequency_dict($self, /)\n--\n\n"
     "Count how often each value occurs in the chain, in first-seen order: once for\n"
     "every start it is and once for every element position it fills in a distinct\nnext start."},
    {"__reduce__", chain_reduce, METH_NOARGS, nullptr},
    {"__setstate__", chain_setstate, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot chain_slots[] = {
    {Py_tp_doc, const_cast<char*>("Maps each start (a hashable value) to the bag of its next starts.\n\n"
                                  "Starts keep the order in which they were first added.")},
    {Py_tp_new, reinterpret_cast<void*>(chain_tp_new)},
    {Py_tp_init, reinterpret_cast<void*>(chain_tp_init)},
    {Py_tp_traverse, reinterpret_cast<void*>(chain_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(chain_tp_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(chain_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(chain_iter)},
    {Py_tp_repr, reinterpret_cast<void*>(chain_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(chain_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_methods, chain_methods},
    {Py_mp_length, reinterpret_cast<void*>(chain_length)},
    {Py_mp_subscript, reinterpret_cast<void*>(chain_subscript)},
    {Py_sq_contains, reinterpret_cast<void*>(chain_contains)},
    {0, nullptr},
};

}  // namespace

PyType_Spec chain_spec = {"tesmo.chain.Chain", sizeof(Chain), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE, chain_slots};

}  // namespace pjson

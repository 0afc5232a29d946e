// The chain's store: the starts in insertion order, each with its block or
// its bag, found through a hash index over the chain's vocabulary.
#include "chain/chain.h"

namespace pjson {

namespace {

constexpr const char* kChainName = "Chain";
constexpr uint32_t kNone = UINT32_MAX;

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

namespace {

// The store without an entry, its memory given back; the entries released.
void store_emptied(Chain* chain) {
    ChainStore& s = *chain->store;
    s.entries.clear();
    s.entries.shrink_to_fit();
    s.slots.clear();
    s.slots.shrink_to_fit();
    s.entry_of_id.clear();
    s.entry_of_id.shrink_to_fit();
    ++s.clears;
    ++chain->stamp;
}

}  // namespace

void chain_clear(Chain* chain) {
    Graveyard graves;
    ChainStore& s = *chain->store;
    for (ChainEntry& e : s.entries) {
        chain->vocab->table->release(e.start, graves);
        entry_release(e, graves);
    }
    store_emptied(chain);
}

namespace {

// Whether the chain and its own blocks are all that hold its vocabulary:
// no bag object, no second holder of a block, no other reference.
bool holds_vocab_alone(const Chain* chain) noexcept {
    const Vocab* vocab = chain->vocab;
    Py_ssize_t holders = 1;  // the chain's own
    const std::vector<ChainEntry>& entries = chain->store->entries;
    for (size_t e = 0; e < entries.size(); ++e) {
        if (e + 16 < entries.size() && entries[e + 16].data != nullptr) __builtin_prefetch(entries[e + 16].data);
        const ChainEntry& entry = entries[e];
        if (entry.bag != nullptr || (entry.data != nullptr && entry.data->refs != 1)) return false;
        if (entry.data != nullptr && entry.data->vocab == vocab) ++holders;
    }
    return Py_REFCNT(reinterpret_cast<const PyObject*>(vocab)) == holders;
}

}  // namespace

void chain_drop(Chain* chain) {
    if (!holds_vocab_alone(chain)) return chain_clear(chain);
    // Nothing else holds the vocabulary: its values go all at once, and the
    // blocks, whose ids then all read as released, free only their memory.
    Graveyard graves;
    chain->vocab->table->clear(graves);
    ChainStore& s = *chain->store;
    for (size_t e = 0; e < s.entries.size(); ++e) {
        if (e + 16 < s.entries.size() && s.entries[e + 16].data != nullptr) __builtin_prefetch(s.entries[e + 16].data);
        entry_release(s.entries[e], graves);
    }
    store_emptied(chain);
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

namespace {

// chain_entry_for_id for a start its id alone does not find: by its value,
// made an entry if it has none.
__attribute__((noinline)) size_t entry_for_value_of(Chain* chain, uint32_t start) {
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

}  // namespace

size_t chain_entry_for_id(State*, Chain* chain, uint32_t start) {
    // Kept small, as training calls it per token at order 1.
    const ChainStore& s = *chain->store;
    if (start < s.entry_of_id.size() && s.entry_of_id[start] != kNone && !chain->vocab->table->aliased(start))
        return s.entry_of_id[start];
    return entry_for_value_of(chain, start);
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

Ref chain_private(State* st, Chain* like) {
    PyTypeObject* type = st->chain_type;
    Ref made = check(type->tp_alloc(type, 0));
    PyObject_GC_UnTrack(made.get());
    Chain* chain = reinterpret_cast<Chain*>(made.get());
    chain->store = new ChainStore();
    // Taken once the allocations are done: they may run code that gives
    // `like` its vocabulary.
    Vocab* vocab = chain_vocab(st, like);
    Py_INCREF(vocab);
    chain->vocab = vocab;
    return made;
}

void chain_install_block(Chain* chain, uint32_t start, BagData* data) {
    size_t index = 0;
    bool found;
    try {
        found = chain_find_id(chain, start, index);
    } catch (...) {
        Graveyard graves;
        bag_data_decref(data, graves);
        throw;
    }
    if (!found) {
        insert(chain, start, data, nullptr);
        return;
    }
    Graveyard graves;
    ChainEntry& e = chain->store->entries[index];
    entry_release(e, graves);
    e.data = data;
}

void chain_take_content(Chain* into, Chain* from) noexcept {
    std::swap(into->store, from->store);
    into->store->clears = from->store->clears + 1;
    ++into->stamp;
    ++from->stamp;
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

}  // namespace pjson

// The C API table behind the capsule: thin, checked entry points over the
// chain, the bags and the vocabulary.
#include "chain/block.h"

#include <cstdlib>
#include <cstring>

namespace pjson {

namespace {

Chain* as_chain(PyObject* o) { return reinterpret_cast<Chain*>(o); }
Vocab* as_vocab(PyObject* o) { return reinterpret_cast<Vocab*>(o); }

[[noreturn]] void raise_index(const char* what) {
    PyErr_Format(PyExc_IndexError, "%s index out of range", what);
    throw_error();
}

State* state_or_throw(PyObject* obj) {
    State* st = state_of(Py_TYPE(obj));
    if (st == nullptr) throw_error();
    return st;
}

Py_ssize_t api_chain_length(PyObject* chain) { return chain_size(as_chain(chain)); }
uint64_t api_chain_stamp(PyObject* chain) { return as_chain(chain)->stamp; }

PyObject* api_chain_vocabulary(PyObject* chain) {
    return guarded<PyObject*>(
        nullptr, [&] { return reinterpret_cast<PyObject*>(chain_vocab(state_or_throw(chain), as_chain(chain))); });
}

int api_chain_entry(PyObject* chain, Py_ssize_t index, uint32_t* start_id, PyObject** start, PyObject** bag) {
    return guarded<int>(-1, [&] {
        Chain* c = as_chain(chain);
        if (index < 0 || index >= chain_size(c)) raise_index("chain entry");
        // The caller is given a bag object: the entry's is made now if need be.
        if (!chain_entry_bag(state_or_throw(chain), c, static_cast<size_t>(index))) raise_changed("Chain");
        const ChainEntry* e = chain_entry(c, static_cast<size_t>(index));
        PyObject* value = c->vocab->table->value(e->start);
        if (value == nullptr) vocab_value(c->vocab, e->start);  // raises
        *start_id = e->start;
        *start = value;
        *bag = e->bag;
        return 0;
    });
}

Py_ssize_t api_bag_length(PyObject* bag) { return static_cast<Py_ssize_t>(bag_size(bag_data(bag))); }
uint64_t api_bag_stamp(PyObject* bag) { return bag_data(bag)->stamp; }
PyObject* api_bag_vocabulary(PyObject* bag) { return reinterpret_cast<PyObject*>(bag_data(bag)->vocab); }

// The choice as bag_choice and block_choice report it.
int block_choice_of(BagData* b, Py_ssize_t index, TesmoChoice* out) {
    return guarded<int>(-1, [&] {
        if (index < 0 || static_cast<size_t>(index) >= bag_size(b)) raise_index("bag choice");
        size_t length;
        bag_span(b, static_cast<size_t>(index), out->ids, length);
        out->length = static_cast<Py_ssize_t>(length);
        out->count_object = nullptr;
        out->count = 0;
        int64_t n;
        if (bag_count_native(b, static_cast<size_t>(index), n))
            out->count = n;
        else
            out->count_object = bag_count_object(b, static_cast<size_t>(index));
        return 0;
    });
}

int api_bag_choice(PyObject* bag, Py_ssize_t index, TesmoChoice* out) {
    return block_choice_of(bag_data(bag), index, out);
}

PyObject* api_vocabulary_value(PyObject* vocabulary, uint32_t id) {
    PyObject* value = as_vocab(vocabulary)->table->value(id);
    if (value == nullptr) {
        PyObject* key = PyLong_FromUnsignedLong(id);
        if (key != nullptr) {
            PyErr_SetObject(PyExc_KeyError, key);
            Py_DECREF(key);
        }
    }
    return value;
}

Py_ssize_t api_vocabulary_bound(PyObject* vocabulary) {
    return static_cast<Py_ssize_t>(as_vocab(vocabulary)->table->bound());
}

void api_frequencies_free(TesmoFrequencies* f) {
    if (f->values != nullptr)
        for (Py_ssize_t i = 0; i < f->length; ++i) Py_XDECREF(f->values[i]);
    std::free(f->values);
    std::free(f->frequencies);
    std::free(f->entry_of_id);
    std::memset(f, 0, sizeof(*f));
}

template <class T>
T* c_array(size_t n) {
    void* p = std::calloc(n ? n : 1, sizeof(T));
    if (p == nullptr) throw std::bad_alloc();
    return static_cast<T*>(p);
}

int api_chain_frequencies(PyObject* chain, TesmoFrequencies* out) {
    return guarded<int>(-1, [&] {
        std::vector<Ref> values;
        std::vector<Py_ssize_t> counts;
        std::vector<uint32_t> entry_of_id;
        if (!chain_frequencies(as_chain(chain), values, counts, entry_of_id)) return 1;
        TesmoFrequencies f{};
        try {
            f.values = c_array<PyObject*>(values.size());
            f.frequencies = c_array<Py_ssize_t>(counts.size());
            f.entry_of_id = c_array<uint32_t>(entry_of_id.size());
        } catch (std::bad_alloc&) {
            api_frequencies_free(&f);
            throw;
        }
        f.length = static_cast<Py_ssize_t>(values.size());
        for (size_t i = 0; i < values.size(); ++i) {
            f.values[i] = values[i].release();
            f.frequencies[i] = counts[i];
        }
        std::copy(entry_of_id.begin(), entry_of_id.end(), f.entry_of_id);
        f.id_bound = static_cast<Py_ssize_t>(entry_of_id.size());
        *out = f;
        return 0;
    });
}

int api_chain_clear(PyObject* chain) {
    return guarded<int>(-1, [&] {
        Ref keep = Ref::borrow(chain);
        if (as_chain(chain)->vocab != nullptr) chain_clear(as_chain(chain));
        return 0;
    });
}

int api_chain_add(PyObject* chain, PyObject* start, PyObject* const* values, Py_ssize_t length, PyObject* count) {
    return guarded<int>(-1, [&] {
        Ref keep = Ref::borrow(chain);
        chain_add_values(state_or_throw(chain), as_chain(chain), start, nullptr, values, static_cast<size_t>(length),
                         count);
        return 0;
    });
}

PyObject* api_bag_new(PyObject* chain) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (chain == nullptr) {
            PyErr_SetString(PyExc_TypeError, "bag_new needs a chain");
            throw_error();
        }
        State* st = state_or_throw(chain);
        return reinterpret_cast<PyObject*>(bag_new(st, chain_vocab(st, as_chain(chain))));
    });
}

int api_bag_add(PyObject* bag, PyObject* const* values, Py_ssize_t length, PyObject* count) {
    return guarded<int>(-1, [&] {
        Ref keep = Ref::borrow(bag);
        bag_add_values(state_or_throw(bag), bag_data(bag), values, static_cast<size_t>(length), count);
        return 0;
    });
}

int api_chain_set_bag(PyObject* chain, PyObject* start, PyObject* bag) {
    return guarded<int>(-1, [&] {
        Ref keep = Ref::borrow(chain);
        chain_set_bag(state_or_throw(chain), as_chain(chain), start, bag);
        return 0;
    });
}

int api_chain_add_hinted(PyObject* chain, PyObject* start, uint32_t* start_hint, PyObject* const* values,
                         uint32_t* hints, Py_ssize_t length, int64_t count, PyObject* count_object,
                         PyObject* (*make_items)(void*), void* ctx) {
    return guarded<int>(-1, [&] {
        Ref keep = Ref::borrow(chain);
        chain_add_hinted(state_or_throw(chain), as_chain(chain), start, start_hint, values, hints,
                         static_cast<size_t>(length), CountArg{count_object, count}, make_items, ctx);
        return 0;
    });
}

int api_bag_add_hinted(PyObject* bag, PyObject* const* values, uint32_t* hints, Py_ssize_t length, int64_t count,
                       PyObject* count_object) {
    return guarded<int>(-1, [&] {
        Ref keep = Ref::borrow(bag);
        BagData* d = bag_data(bag);
        BagPin pin(d);
        bag_add_hinted(state_or_throw(bag), d, d->vocab, values, hints, static_cast<size_t>(length),
                       CountArg{count_object, count});
        return 0;
    });
}

BagData* as_block(TesmoBlock* block) { return reinterpret_cast<BagData*>(block); }

int api_chain_entry_block(PyObject* chain, Py_ssize_t index, uint32_t* start_id, PyObject** start, TesmoBlock** block,
                          PyObject** bag) {
    return guarded<int>(-1, [&] {
        Chain* c = as_chain(chain);
        if (index < 0 || index >= chain_size(c)) raise_index("chain entry");
        const ChainEntry* e = chain_entry(c, static_cast<size_t>(index));
        PyObject* value = c->vocab->table->value(e->start);
        if (value == nullptr) vocab_value(c->vocab, e->start);  // raises
        BagData* data = chain_entry_data(state_or_throw(chain), e);
        *start_id = e->start;
        *start = value;
        *block = reinterpret_cast<TesmoBlock*>(data);
        *bag = data != nullptr ? nullptr : e->bag;
        return 0;
    });
}

void api_block_records(TesmoBlock* block, TesmoRecords* out) {
    const BagData* d = as_block(block);
    out->size = static_cast<Py_ssize_t>(d->size);
    out->records = d->size > 0 ? d->records : nullptr;
    out->offsets = d->size > 0 && d->mixed ? d->offsets : nullptr;
    out->width = d->width;
    out->count_words = d->wide ? 2 : 1;
    const BagExtra* x = d->extra;
    out->count_objects = x != nullptr && x->object_counts > 0 ? x->objects.data() : nullptr;
}

int api_chain_entry_blocks(PyObject* chain, Py_ssize_t from, Py_ssize_t count, uint32_t* start_ids, TesmoBlock** blocks,
                           TesmoRecords* records) {
    return guarded<int>(-1, [&] {
        Chain* c = as_chain(chain);
        if (from < 0 || count < 0 || count > chain_size(c) - from) raise_index("chain entry");
        State* st = state_or_throw(chain);
        const ChainEntry* entries = chain_entry(c, static_cast<size_t>(from));
        constexpr Py_ssize_t kAhead = 8;  // blocks lie scattered: each is fetched this far ahead
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (i + kAhead < count && entries[i + kAhead].data != nullptr) __builtin_prefetch(entries[i + kAhead].data);
            const ChainEntry& e = entries[i];
            BagData* data = chain_entry_data(st, &e);
            start_ids[i] = e.start;
            blocks[i] = reinterpret_cast<TesmoBlock*>(data);
            if (records == nullptr) continue;
            if (data != nullptr)
                api_block_records(blocks[i], &records[i]);
            else
                records[i] = TesmoRecords{0, nullptr, nullptr, 0, 1, nullptr};
        }
        return 0;
    });
}

void api_id_frequencies_free(TesmoIdFrequencies* f) {
    std::free(f->ids);
    std::free(f->frequencies);
    std::free(f->entry_of_id);
    std::memset(f, 0, sizeof(*f));
}

// `out` filled with copies the caller releases with id_frequencies_free.
void id_frequencies_out(const std::vector<uint32_t>& ids, const std::vector<Py_ssize_t>& counts,
                        const std::vector<uint32_t>& entry_of_id, TesmoIdFrequencies* out) {
    TesmoIdFrequencies f{};
    try {
        f.ids = c_array<uint32_t>(ids.size());
        f.frequencies = c_array<Py_ssize_t>(counts.size());
        f.entry_of_id = c_array<uint32_t>(entry_of_id.size());
    } catch (std::bad_alloc&) {
        api_id_frequencies_free(&f);
        throw;
    }
    f.length = static_cast<Py_ssize_t>(ids.size());
    std::copy(ids.begin(), ids.end(), f.ids);
    std::copy(counts.begin(), counts.end(), f.frequencies);
    std::copy(entry_of_id.begin(), entry_of_id.end(), f.entry_of_id);
    f.id_bound = static_cast<Py_ssize_t>(entry_of_id.size());
    *out = f;
}

int api_chain_id_frequencies(PyObject* chain, TesmoIdFrequencies* out) {
    return guarded<int>(-1, [&] {
        std::vector<uint32_t> ids;
        std::vector<Py_ssize_t> counts;
        std::vector<uint32_t> entry_of_id;
        if (!chain_id_frequencies(as_chain(chain), ids, counts, entry_of_id)) return 1;
        id_frequencies_out(ids, counts, entry_of_id, out);
        return 0;
    });
}

int api_vocabulary_id_frequencies(PyObject* vocabulary, const uint32_t* order, Py_ssize_t length,
                                  const Py_ssize_t* per_id, Py_ssize_t id_bound, TesmoIdFrequencies* out) {
    return guarded<int>(-1, [&] {
        Vocab* vocab = as_vocab(vocabulary);
        if (length < 0 || id_bound < 0 || static_cast<size_t>(id_bound) > vocab->table->bound()) {
            PyErr_SetString(PyExc_ValueError, "id frequencies: counts beyond the vocabulary");
            throw_error();
        }
        for (Py_ssize_t i = 0; i < length; ++i) {
            if (order[i] >= static_cast<size_t>(id_bound)) {
                PyErr_SetString(PyExc_ValueError, "id frequencies: an id beyond the counts");
                throw_error();
            }
            if (vocab->table->value(order[i]) == nullptr) vocab_value(vocab, order[i]);  // raises
        }
        std::vector<uint32_t> ids;
        std::vector<Py_ssize_t> counts;
        std::vector<uint32_t> entry_of_id;
        if (!vocabulary_id_frequencies(*vocab->table, {order, static_cast<size_t>(length)},
                                       {per_id, static_cast<size_t>(id_bound)}, ids, counts, entry_of_id))
            return 1;
        id_frequencies_out(ids, counts, entry_of_id, out);
        return 0;
    });
}

void api_block_hold(TesmoBlock* block) { bag_data_incref(as_block(block)); }

void api_block_release(TesmoBlock* block) {
    Graveyard graves;
    bag_data_decref(as_block(block), graves);
}

Py_ssize_t api_block_length(TesmoBlock* block) { return static_cast<Py_ssize_t>(bag_size(as_block(block))); }

int api_block_choice(TesmoBlock* block, Py_ssize_t index, TesmoChoice* out) {
    return block_choice_of(as_block(block), index, out);
}

PyObject* api_block_vocabulary(TesmoBlock* block) { return reinterpret_cast<PyObject*>(as_block(block)->vocab); }

int api_vocabulary_values(PyObject* vocabulary, const uint32_t* ids, Py_ssize_t length, PyObject** values) {
    return guarded<int>(-1, [&] {
        Vocab* vocab = as_vocab(vocabulary);
        for (Py_ssize_t i = 0; i < length; ++i) {
            values[i] = vocab->table->value(ids[i]);
            if (values[i] == nullptr) vocab_value(vocab, ids[i]);  // raises
        }
        return 0;
    });
}

int api_chain_values_plain(PyObject* chain) {
    Vocab* vocab = as_chain(chain)->vocab;
    return vocab == nullptr || vocab->table->all_plain() ? 1 : 0;
}

}  // namespace

void api_fill(State* st) {
    TesmoChainAPI& api = st->api;
    api.version = TESMO_CHAIN_API_VERSION;
    api.size = sizeof(TesmoChainAPI);
    api.ChainType = st->chain_type;
    api.BagType = st->bag_type;
    api.chain_length = api_chain_length;
    api.chain_stamp = api_chain_stamp;
    api.chain_vocabulary = api_chain_vocabulary;
    api.chain_entry = api_chain_entry;
    api.bag_length = api_bag_length;
    api.bag_stamp = api_bag_stamp;
    api.bag_vocabulary = api_bag_vocabulary;
    api.bag_choice = api_bag_choice;
    api.vocabulary_value = api_vocabulary_value;
    api.vocabulary_bound = api_vocabulary_bound;
    api.chain_frequencies = api_chain_frequencies;
    api.frequencies_free = api_frequencies_free;
    api.chain_clear = api_chain_clear;
    api.chain_add = api_chain_add;
    api.bag_new = api_bag_new;
    api.bag_add = api_bag_add;
    api.chain_set_bag = api_chain_set_bag;
    api.chain_add_hinted = api_chain_add_hinted;
    api.bag_add_hinted = api_bag_add_hinted;
    api.chain_entry_block = api_chain_entry_block;
    api.block_hold = api_block_hold;
    api.block_release = api_block_release;
    api.block_length = api_block_length;
    api.block_choice = api_block_choice;
    api.block_vocabulary = api_block_vocabulary;
    api.vocabulary_values = api_vocabulary_values;
    api.chain_values_plain = api_chain_values_plain;
    build_api_fill(api);
    api.block_records = api_block_records;
    api.chain_entry_blocks = api_chain_entry_blocks;
    api.chain_id_frequencies = api_chain_id_frequencies;
    api.id_frequencies_free = api_id_frequencies_free;
    api.vocabulary_id_frequencies = api_vocabulary_id_frequencies;
}

}  // namespace pjson

// The block of choices behind a bag: records of counts and ids, the hash
// index that finds them, counts promoted from 32 to 64 bits to Python
// numbers, and the add that training takes without Python code.
#include "chain/block.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace pjson {

namespace {

template <class T>
T* block_resize(T* old, size_t n) {
    void* p = std::realloc(old, (n ? n : 1) * sizeof(T));
    if (p == nullptr) throw std::bad_alloc();
    return static_cast<T*>(p);
}

// A part of the block resized to `n` items, of which `used` are kept; one
// that shares the block's allocation is copied out to an allocation of its
// own. The caller puts the result in place.
template <class T>
T* part_resize(BagData* d, T* old, size_t used, size_t n, uint8_t which) {
    if ((d->whole & which) == 0) return block_resize(old, n);
    T* fresh = block_resize<T>(nullptr, n);
    if (used > 0) std::memcpy(fresh, old, std::min(used, n) * sizeof(T));
    d->whole &= static_cast<uint8_t>(~which);
    return fresh;
}

// Most bags stay small: they grow one choice at a time at first.
size_t next_capacity(size_t c) noexcept { return c < 4 ? c + 1 : c + c / 2; }

bool same_ids(const uint32_t* a, const uint32_t* b, size_t n) noexcept {
    for (size_t e = 0; e < n; ++e)
        if (a[e] != b[e]) return false;
    return true;
}

void slot_place(int bits, void* index, Py_hash_t hash, size_t choice) noexcept {
    size_t mask = (size_t{1} << bits) - 1;
    size_t i = static_cast<size_t>(hash) & mask;
    while (slot_get(bits, index, i) != 0) i = (i + 1) & mask;
    slot_set(bits, index, i, choice + 1);
}

// A new index over the first `choices` choices (allocated; the caller swaps it in).
void* index_make(const BagData* d, int bits, size_t choices) {
    size_t slots = size_t{1} << bits;
    void* index = std::calloc(slots, slot_bytes(bits));
    if (index == nullptr) throw std::bad_alloc();
    for (size_t c = 0; c < choices; ++c) slot_place(bits, index, bag_choice_hash(d, c), c);
    return index;
}

// ---- counts

void count_store(BagData* d, size_t i, int64_t v) noexcept {
    uint32_t* r = record(d, i);
    r[0] = static_cast<uint32_t>(static_cast<uint64_t>(v));
    if (d->wide) r[1] = static_cast<uint32_t>(static_cast<uint64_t>(v) >> 32);
}

bool fits32(int64_t v) noexcept { return v >= INT32_MIN && v <= INT32_MAX; }

// Every count takes two words from now on.
void widen(BagData* d) {
    size_t n = d->size;
    size_t words = d->words + n;
    size_t words_cap = d->mixed ? words + words / 4 : d->cap * (stride(d) + 1);
    uint32_t* records = block_resize<uint32_t>(nullptr, words_cap);
    uint32_t* offsets = nullptr;
    if (d->mixed) {
        try {
            offsets = block_resize<uint32_t>(nullptr, d->cap + 1);
        } catch (...) {
            std::free(records);
            throw;
        }
    }
    uint32_t* out = records;
    for (size_t i = 0; i < n; ++i) {
        const uint32_t* ids;
        size_t len;
        bag_span(d, i, ids, len);
        int64_t v = count_at(d, i);
        if (offsets) offsets[i] = static_cast<uint32_t>(out - records);
        *out++ = static_cast<uint32_t>(static_cast<uint64_t>(v));
        *out++ = static_cast<uint32_t>(static_cast<uint64_t>(v) >> 32);
        std::memcpy(out, ids, len * sizeof(uint32_t));
        out += len;
    }
    if (offsets) {
        offsets[n] = static_cast<uint32_t>(out - records);
        block_part_free(d, d->offsets, kWholeOffsets);
        d->offsets = offsets;
    }
    block_part_free(d, d->records, kWholeRecords);
    d->records = records;
    d->words = static_cast<uint32_t>(words);
    d->words_cap = static_cast<uint32_t>(words_cap);
    d->wide = true;
    ++d->stamp;
}

void forget_choose(BagData* d, Graveyard& graves) noexcept {
    if (d->extra == nullptr) return;
    d->extra->running.reset();
    if (d->extra->snapshot != nullptr) graves.bury(std::exchange(d->extra->snapshot, nullptr));
}

void set_native(BagData* d, size_t i, int64_t value, Graveyard& graves) {
    if (!d->wide && !fits32(value)) widen(d);
    count_store(d, i, value);
    BagExtra* x = d->extra;
    if (x != nullptr && !x->objects.empty() && x->objects[i] != nullptr) {
        graves.bury(std::exchange(x->objects[i], nullptr));
        --x->object_counts;
    }
}

// Takes over `value`.
void set_object(BagData* d, size_t i, Ref value, Graveyard& graves) {
    if (PyLong_CheckExact(value.get())) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
        if (!overflow) return set_native(d, i, static_cast<int64_t>(v), graves);
    }
    BagExtra& x = extra_of(d);
    if (x.objects.empty()) {
        x.objects.reserve(d->cap);
        x.objects.assign(d->size, nullptr);
    }
    if (x.objects[i] != nullptr)
        graves.bury(x.objects[i]);
    else
        ++x.object_counts;
    x.objects[i] = value.release();
    count_store(d, i, 0);
}

bool count_as_int64(const CountArg& count, int64_t& out) {
    if (count.object == nullptr) {
        out = count.value;
        return true;
    }
    if (!PyLong_CheckExact(count.object) && !PyBool_Check(count.object)) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(count.object, &overflow);
    out = static_cast<int64_t>(v);
    return overflow == 0;
}

bool has_object(const BagData* d, size_t i) noexcept {
    return d->extra != nullptr && !d->extra->objects.empty() && d->extra->objects[i] != nullptr;
}

// ---- lookups

// Whether choice `c` holds the probe's next start. Only ids that are
// aliased can differ in values that are equal; comparing those may run
// Python code, and `changed` then says that the bag moved under us.
Find choice_matches(BagData* d, size_t c, const Probe& p, bool may_alias, uint64_t stamp, Vocab* vocab) {
    const uint32_t* ids;
    size_t n;
    bag_span(d, c, ids, n);
    if (n != p.length) return Find::absent;
    if (p.ids != nullptr) {
        if (same_ids(ids, p.ids, n)) return Find::found;
        if (!may_alias) return Find::absent;
    }
    if (bag_choice_hash(d, c) != p.hash) return Find::absent;
    for (size_t e = 0; e < n; ++e) {
        bag_span(d, c, ids, n);  // Python code may have moved the records
        if (p.ids != nullptr && ids[e] == p.ids[e]) continue;
        Ref stored = vocab_value(d->vocab, ids[e]);
        bool ran = false;
        bool equal = values_equal(stored.get(), p.values[e], ran);
        if (ran && (d->stamp != stamp || d->vocab != vocab)) return Find::changed;
        if (!equal) return Find::absent;
    }
    return Find::found;
}

bool probe_may_alias(const BagData* d, const Probe& p) noexcept {
    if (p.ids == nullptr) return true;
    for (size_t e = 0; e < p.length; ++e)
        if (d->vocab->table->aliased(p.ids[e])) return true;
    return false;
}

Find find_probe(BagData* d, const Probe& p, bool may_alias, size_t& index) {
    if (d->size == 0) return Find::absent;
    uint64_t stamp = d->stamp;
    Vocab* vocab = d->vocab;
    if (d->index == nullptr) {
        for (size_t c = 0; c < d->size; ++c) {
            Find f = choice_matches(d, c, p, may_alias, stamp, vocab);
            if (f == Find::found) index = c;
            if (f != Find::absent) return f;
            if (d->stamp != stamp) return Find::changed;
        }
        return Find::absent;
    }
    int bits = d->index_bits;
    size_t mask = (size_t{1} << bits) - 1;
    for (size_t i = static_cast<size_t>(p.hash) & mask;; i = (i + 1) & mask) {
        size_t slot = slot_get(bits, d->index, i);
        if (slot == 0) return Find::absent;
        Find f = choice_matches(d, slot - 1, p, may_alias, stamp, vocab);
        if (f == Find::found) index = slot - 1;
        if (f != Find::absent) return f;
        if (d->stamp != stamp) return Find::changed;
    }
}

// The choice holding exactly these ids, in a bag whose next starts all
// have their length; SIZE_MAX when none does.
size_t find_uniform_ids(const BagData* d, const uint32_t* ids, size_t n, Py_hash_t hash) noexcept {
    size_t step = stride(d);
    const uint32_t* first = d->records + count_words(d);
    if (d->index == nullptr) {
        for (size_t c = 0; c < d->size; ++c)
            if (same_ids(first + c * step, ids, n)) return c;
        return SIZE_MAX;
    }
    int bits = d->index_bits;
    size_t mask = (size_t{1} << bits) - 1;
    for (size_t i = static_cast<size_t>(hash) & mask;; i = (i + 1) & mask) {
        size_t slot = slot_get(bits, d->index, i);
        if (slot == 0) return SIZE_MAX;
        if (same_ids(first + (slot - 1) * step, ids, n)) return slot - 1;
    }
}

// Appends a choice whose ids are held for it, with count 0. Nothing changes
// unless all of it fits.
size_t insert(BagData* d, const Probe& p) {
    size_t n = d->size;
    if (n >= UINT32_MAX - 2) throw std::bad_alloc();
    bool to_mixed = n > 0 && !d->mixed && p.length != d->width;
    size_t cw = count_words(d);
    size_t need = d->words + cw + p.length;
    if (need >= UINT32_MAX) throw std::bad_alloc();
    // Room first: records, record starts, the index and the objects.
    if (n == 0 && d->cap == 0) d->width = static_cast<uint8_t>(p.length <= 255 ? p.length : 0);
    if (n == 0 && p.length > 255) to_mixed = true;
    if (n + 1 > d->cap || to_mixed || need > d->words_cap) {
        size_t cap = n + 1 > d->cap ? next_capacity(d->cap) : d->cap;
        bool mixed = d->mixed || to_mixed;
        size_t words_cap = mixed ? std::max<size_t>(need, d->words_cap + d->words_cap / 4) : cap * (cw + d->width);
        uint32_t* offsets = d->offsets;
        if (to_mixed) {
            offsets = block_resize<uint32_t>(nullptr, cap + 1);
            for (size_t c = 0; c <= n; ++c) offsets[c] = static_cast<uint32_t>(c * stride(d));
        } else if (mixed) {
            // In place at once: the old starts may be gone, and the new hold them.
            d->offsets = offsets = part_resize<uint32_t>(d, d->offsets, n + 1, cap + 1, kWholeOffsets);
        }
        try {
            d->records = part_resize<uint32_t>(d, d->records, d->words, words_cap, kWholeRecords);
        } catch (...) {
            if (to_mixed) std::free(offsets);
            throw;
        }
        d->offsets = offsets;
        d->mixed = mixed;
        d->cap = static_cast<uint32_t>(cap);
        d->words_cap = static_cast<uint32_t>(words_cap);
        ++d->stamp;
    }
    int bits = d->index_bits;
    if (n + 1 > kLinear && (d->index == nullptr || (n + 1) * 3 > (size_t{1} << bits) * 2)) {
        bits = index_bits_for(n + 1);
        void* index = index_make(d, bits, n);
        block_part_free(d, d->index, kWholeIndex);
        d->index = index;
        d->index_bits = static_cast<uint8_t>(bits);
    }
    BagExtra* x = d->extra;
    if (x != nullptr && !x->objects.empty()) x->objects.reserve(d->cap);
    // Then the change, which cannot fail.
    uint32_t* r = d->records + d->words;
    for (size_t k = 0; k < cw; ++k) r[k] = 0;
    for (size_t e = 0; e < p.length; ++e) r[cw + e] = p.ids[e];
    d->words = static_cast<uint32_t>(need);
    if (d->mixed) d->offsets[n + 1] = static_cast<uint32_t>(need);
    if (x != nullptr && !x->objects.empty()) x->objects.push_back(nullptr);
    d->size = static_cast<uint32_t>(n + 1);
    if (d->index != nullptr) slot_place(d->index_bits, d->index, p.hash, n);
    ++d->stamp;
    return n;
}

Vocab* ensure_vocab(State* st, BagData* d) {
    if (d->vocab != nullptr) return d->vocab;
    // Making it may run code that gives the block a vocabulary first.
    Ref made(reinterpret_cast<PyObject*>(vocab_new(st)));
    if (d->vocab == nullptr) d->vocab = reinterpret_cast<Vocab*>(made.release());
    return d->vocab;
}

}  // namespace

BagExtra& extra_of(BagData* d) {
    if (d->extra == nullptr) d->extra = new BagExtra();
    return *d->extra;
}

// ---------------------------------------------------------------------------
// The block's life.

BagData* bag_data_new(Vocab* vocab) {
    BagData* d = static_cast<BagData*>(std::calloc(1, sizeof(BagData)));
    if (d == nullptr) throw std::bad_alloc();
    d->refs = 1;
    if (vocab != nullptr) {
        Py_INCREF(vocab);
        d->vocab = vocab;
    }
    return d;
}

BagData* bag_data_new_whole(Vocab* vocab, size_t words, bool mixed, size_t size, int bits) {
    const size_t head = sizeof(BagData);
    const size_t record_bytes = words * sizeof(uint32_t);
    const size_t offset_bytes = mixed ? (size + 1) * sizeof(uint32_t) : 0;
    const size_t index_bytes = bits != 0 ? (size_t{1} << bits) * slot_bytes(bits) : 0;
    static_assert(sizeof(BagData) % alignof(uint32_t) == 0);
    char* p = static_cast<char*>(std::malloc(head + record_bytes + offset_bytes + index_bytes));
    if (p == nullptr) throw std::bad_alloc();
    BagData* d = reinterpret_cast<BagData*>(p);
    std::memset(d, 0, head);
    d->refs = 1;
    d->records = reinterpret_cast<uint32_t*>(p + head);
    d->whole = kWholeRecords;
    if (mixed) {
        d->offsets = reinterpret_cast<uint32_t*>(p + head + record_bytes);
        d->whole |= kWholeOffsets;
    }
    if (bits != 0) {
        d->index = p + head + record_bytes + offset_bytes;
        std::memset(d->index, 0, index_bytes);
        d->index_bits = static_cast<uint8_t>(bits);
        d->whole |= kWholeIndex;
    }
    if (vocab != nullptr) {
        Py_INCREF(vocab);
        d->vocab = vocab;
    }
    return d;
}

void block_part_free(BagData* d, void* part, uint8_t which) noexcept {
    if ((d->whole & which) != 0)
        d->whole &= static_cast<uint8_t>(~which);
    else
        std::free(part);
}

void bag_data_incref(BagData* d) noexcept { ++d->refs; }

void bag_data_reset(BagData* d, Graveyard& graves) noexcept {
    if (d->vocab != nullptr) {
        VocabTable& t = *d->vocab->table;
        for (size_t c = 0; c < d->size; ++c) {
            const uint32_t* ids;
            size_t n;
            bag_span(d, c, ids, n);
            for (size_t e = 0; e < n; ++e) t.release(ids[e], graves);
        }
    }
    if (BagExtra* x = std::exchange(d->extra, nullptr)) {
        for (PyObject* o : x->objects)
            if (o != nullptr) graves.bury(o);
        if (x->snapshot != nullptr) graves.bury(x->snapshot);
        delete x;
    }
    block_part_free(d, std::exchange(d->records, nullptr), kWholeRecords);
    block_part_free(d, std::exchange(d->offsets, nullptr), kWholeOffsets);
    block_part_free(d, std::exchange(d->index, nullptr), kWholeIndex);
    if (d->vocab != nullptr) graves.bury(reinterpret_cast<PyObject*>(std::exchange(d->vocab, nullptr)));
    d->size = d->cap = d->words = d->words_cap = 0;
    d->width = d->index_bits = 0;
    d->mixed = d->wide = false;
    ++d->stamp;
}

void bag_data_decref(BagData* d, Graveyard& graves) noexcept {
    if (--d->refs > 0) return;
    bag_data_reset(d, graves);
    std::free(d);
}

int bag_data_traverse(BagData* d, visitproc visit, void* arg) {
    // A block that an operation holds besides its owner (a pin, a writer's
    // hold) keeps what it holds for that holder: the collector must neither
    // count those references as the owner's nor clear them meanwhile. Not
    // visiting them makes them references from outside, for as long as the
    // hold lasts.
    if (d->refs > 1) return 0;
    Py_VISIT(reinterpret_cast<PyObject*>(d->vocab));
    if (d->extra != nullptr) {
        for (PyObject* o : d->extra->objects) Py_VISIT(o);
        Py_VISIT(d->extra->snapshot);
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Reading.

void bag_span(const BagData* d, size_t index, const uint32_t*& ids, size_t& length) noexcept {
    ids_at(d, index, ids, length);
}

bool bag_count_native(const BagData* d, size_t index, int64_t& count) noexcept {
    if (has_object(d, index)) return false;
    count = count_at(d, index);
    return true;
}

PyObject* bag_count_object(const BagData* d, size_t index) noexcept {
    return has_object(d, index) ? d->extra->objects[index] : nullptr;
}

Ref bag_count(const BagData* d, size_t index) {
    int64_t n;
    if (bag_count_native(d, index, n)) return check(PyLong_FromLongLong(n));
    return Ref::borrow(bag_count_object(d, index));
}

Ref bag_next_start(const BagData* d, size_t index) {
    const uint32_t* ids;
    size_t n;
    bag_span(d, index, ids, n);
    // Every value is taken before the tuple is made: making it may run the
    // collector, and code that empties the bag and frees the values.
    Small<PyObject*> values;
    values.resize(n);
    bool acyclic = true;
    for (size_t e = 0; e < n; ++e) {
        PyObject* v = d->vocab->table->value(ids[e]);
        if (v == nullptr) vocab_value(d->vocab, ids[e]);  // raises
        values[e] = v;
        acyclic = acyclic && d->vocab->table->plain(ids[e]);
    }
    for (PyObject* v : values) Py_INCREF(v);
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(n));
    if (tuple == nullptr) {
        for (PyObject* v : values) Py_DECREF(v);
        throw_error();
    }
    for (size_t e = 0; e < n; ++e) PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(e), values[e]);
    // As the collector would at its next pass: plain values make no cycle.
    if (acyclic) PyObject_GC_UnTrack(tuple);
    return Ref(tuple);
}

Choice bag_choice(const BagData* d, size_t index) {
    // The count is read before the next start is made, for the same reason.
    int64_t native;
    bool is_native = bag_count_native(d, index, native);
    Ref count = is_native ? Ref() : Ref::borrow(bag_count_object(d, index));
    Ref next_start = bag_next_start(d, index);
    if (is_native) count = check(PyLong_FromLongLong(native));
    return Choice{std::move(next_start), std::move(count)};
}

Py_hash_t bag_choice_hash(const BagData* d, size_t index) noexcept {
    const uint32_t* ids;
    size_t n;
    bag_span(d, index, ids, n);
    const VocabTable& t = *d->vocab->table;
    return tuple_hash_by(n, [&](size_t i) { return t.hash(ids[i]); });
}

Find bag_find(BagData* d, const Probe& p, size_t& index) {
    if (d->vocab == nullptr) return Find::absent;
    return find_probe(d, p, probe_may_alias(d, p), index);
}

// ---------------------------------------------------------------------------
// Adding.

void hash_values(PyObject* const* values, size_t n, Hashed& out) {
    out.hashes.resize(n);
    for (size_t e = 0; e < n; ++e) {
        Py_hash_t h = PyObject_Hash(values[e]);
        if (h == -1) throw_error();
        out.hashes[e] = h;
    }
    out.hash = tuple_hash(out.hashes.data(), n);
}

void bag_add_probe(State* st, BagData* d, PyObject* const* values, const Py_hash_t* hashes, size_t length,
                   Py_hash_t hash, const CountArg& count, bool assign, Graveyard& graves, Vocab* known_vocab,
                   const uint32_t* known_ids) {
    BagPin pin(d);
    Ref computed;  // the new count, once Python code worked it out
    if (assign) computed = count.make();
    Small<uint32_t> ids;
    ids.resize(length);
    for (;;) {
        Vocab* vocab = ensure_vocab(st, d);
        Ref keep_vocab = Ref::borrow(reinterpret_cast<PyObject*>(vocab));
        Holds holds(graves);
        for (size_t e = 0; e < length; ++e) {
            if (vocab == known_vocab) {
                ids[e] = known_ids[e];  // already interned: the ids of the bag's own vocabulary
                vocab->table->hold(ids[e]);
            } else {
                ids[e] = vocab->table->intern(values[e], hashes[e]);
            }
            holds.take(vocab, ids[e]);
        }
        Probe p{values, hashes, ids.data(), length, hash};
        size_t index = 0;
        Find f = bag_find(d, p, index);
        if (f == Find::changed || d->vocab != vocab) continue;
        int64_t add = 0;
        if (computed) {
            if (f == Find::absent) {
                index = insert(d, p);
                holds.keep();
            }
            set_object(d, index, std::move(computed), graves);
        } else if (f == Find::found && !has_object(d, index) && count_as_int64(count, add) &&
                   !__builtin_add_overflow(count_at(d, index), add, &add)) {
            set_native(d, index, add, graves);
        } else if (f == Find::absent && count_as_int64(count, add)) {
            if (!d->wide && !fits32(add)) widen(d);
            index = insert(d, p);
            holds.keep();
            count_store(d, index, add);
        } else {
            // counts.get(key, 0) + count, by the interpreter; its code may
            // change the bag, so the result is stored by a fresh lookup.
            Ref old = f == Find::found ? bag_count(d, index) : Ref::borrow(st->zero);
            Ref addend = count.make();
            computed = check(PyNumber_Add(old.get(), addend.get()));
            continue;
        }
        ++d->adds;
        forget_choose(d, graves);
        return;
    }
}

void bag_add_values(State* st, BagData* d, PyObject* const* values, size_t length, PyObject* count) {
    BagPin pin(d);
    NextStartValues frozen;
    frozen.adopt(values, length);
    Graveyard graves;
    Hashed h;
    hash_values(frozen.data(), frozen.size(), h);
    bag_add_probe(st, d, frozen.data(), h.hashes.data(), frozen.size(), h.hash, CountArg{count}, false, graves);
}

void bag_add_ids(State* st, BagData* d, Vocab* vocab, const uint32_t* ids, size_t length, PyObject* count) {
    // Values of a vocabulary are hashed already.
    Graveyard graves;
    Small<PyObject*> values;  // borrowed: `vocab` keeps them while these ids are held
    values.resize(length);
    Hashed h;
    h.hashes.resize(length);
    for (size_t e = 0; e < length; ++e) {
        PyObject* v = vocab->table->value(ids[e]);
        if (v == nullptr) vocab_value(vocab, ids[e]);  // raises
        values[e] = v;
        h.hashes[e] = vocab->table->hash(ids[e]);
    }
    h.hash = tuple_hash(h.hashes.data(), length);
    bag_add_probe(st, d, values.data(), h.hashes.data(), length, h.hash, CountArg{count}, false, graves, vocab, ids);
}

void bag_add_hinted(State* st, BagData* d, Vocab* vocab, PyObject* const* given, uint32_t* hints, size_t length,
                    const CountArg& count) {
    NextStartValues frozen;
    frozen.adopt(given, length);
    PyObject* const* values = frozen.data();
    if (vocab == nullptr || d->vocab != vocab) {
        Graveyard graves;
        Hashed h;
        hash_values(values, length, h);
        return bag_add_probe(st, d, values, h.hashes.data(), length, h.hash, count, false, graves);
    }
    VocabTable& t = *vocab->table;
    Graveyard graves;
    // The common case: every value has its id already and the count is a
    // machine integer. Nothing here runs Python code.
    bool hinted = true;
    for (size_t e = 0; e < length && hinted; ++e) hinted = hints[e] != kNoHint && t.holds_plain(hints[e], values[e]);
    int64_t add = 0;
    if (hinted && count_as_int64(count, add) && bag_add_one(d, hints, length, graves, add)) return;
    Holds holds(graves);
    Hashed h;
    h.hashes.resize(length);
    // Plain values hash and compare without Python code, so their ids are
    // settled here, all before any is used; any other value is hashed where
    // bag_add_values hashes it.
    for (size_t e = 0; e < length; ++e) {
        if (!is_plain(values[e])) {
            hash_values(values, length, h);
            return bag_add_probe(st, d, values, h.hashes.data(), length, h.hash, count, false, graves);
        }
    }
    for (size_t e = 0; e < length; ++e) {
        if (hints[e] != kNoHint && t.holds_plain(hints[e], values[e])) {
            t.hold(hints[e]);
        } else {
            Py_hash_t hash = PyObject_Hash(values[e]);
            if (hash == -1) throw_error();
            hints[e] = t.intern(values[e], hash);
        }
        holds.take(vocab, hints[e]);
        h.hashes[e] = t.hash(hints[e]);
    }
    h.hash = tuple_hash(h.hashes.data(), length);
    bag_add_probe(st, d, values, h.hashes.data(), length, h.hash, count, false, graves, vocab, hints);
}

bool bag_bump_one(BagData* d, uint32_t id) noexcept {
    // Only a block of one-id records with narrow counts and nothing beside
    // them: there a found choice is one word to add to.
    if (d->size == 0 || d->mixed || d->width != 1 || d->wide || d->extra != nullptr || d->vocab == nullptr)
        return false;
    const VocabTable& t = *d->vocab->table;
    if (t.aliased(id) || t.value(id) == nullptr) return false;
    uint32_t* records = d->records;
    uint32_t* r = nullptr;
    if (d->index == nullptr) {
        for (uint32_t *end = records + 2 * size_t{d->size}, *at = records; at != end; at += 2) {
            if (at[1] == id) {
                r = at;
                break;
            }
        }
    } else {
        int bits = d->index_bits;
        size_t mask = (size_t{1} << bits) - 1;
        Py_hash_t hash = tuple_hash_by(1, [&](size_t) { return t.hash(id); });
        for (size_t i = static_cast<size_t>(hash) & mask;; i = (i + 1) & mask) {
            size_t slot = slot_get(bits, d->index, i);
            if (slot == 0) break;
            if (records[2 * (slot - 1) + 1] == id) {
                r = records + 2 * (slot - 1);
                break;
            }
        }
    }
    if (r == nullptr || static_cast<int32_t>(r[0]) == INT32_MAX) return false;
    r[0] = static_cast<uint32_t>(static_cast<int32_t>(r[0]) + 1);
    ++d->adds;
    return true;
}

bool bag_add_one(BagData* d, const uint32_t* ids, size_t length, Graveyard& graves, int64_t count) {
    if (d->vocab == nullptr) return false;
    const VocabTable& t = *d->vocab->table;
    for (size_t e = 0; e < length; ++e)
        if (t.aliased(ids[e]) || t.value(ids[e]) == nullptr) return false;
    Probe p{nullptr, nullptr, ids, length, tuple_hash_by(length, [&](size_t i) { return t.hash(ids[i]); })};
    // Ids that are not aliased match only themselves.
    size_t index = 0;
    bool found;
    if (d->size > 0 && !d->mixed && d->width == length) {
        index = find_uniform_ids(d, ids, length, p.hash);
        found = index != SIZE_MAX;
    } else {
        found = find_probe(d, p, false, index) == Find::found;
    }
    if (found) {
        if (has_object(d, index)) return false;
        int64_t v = 0;
        if (__builtin_add_overflow(count_at(d, index), count, &v)) return false;
        set_native(d, index, v, graves);
    } else {
        if (!d->wide && !fits32(count)) widen(d);
        for (size_t e = 0; e < length; ++e) d->vocab->table->hold(ids[e]);
        try {
            index = insert(d, p);
        } catch (...) {
            for (size_t e = 0; e < length; ++e) d->vocab->table->release(ids[e], graves);
            throw;
        }
        count_store(d, index, count);
    }
    ++d->adds;
    forget_choose(d, graves);
    return true;
}

void bag_rehome(BagData* d, Vocab* vocab, Graveyard& graves) {
    if (d->vocab == vocab) return;
    if (d->vocab != nullptr && d->size > 0) {
        VocabTable& from = *d->vocab->table;
        std::vector<uint32_t> ids;
        for (size_t c = 0; c < d->size; ++c) {
            const uint32_t* span;
            size_t n;
            bag_span(d, c, span, n);
            ids.insert(ids.end(), span, span + n);
        }
        size_t done = 0;
        try {
            for (; done < ids.size(); ++done) {
                PyObject* v = from.value(ids[done]);
                if (v == nullptr) {
                    PyErr_SetString(PyExc_RuntimeError, "the chain's values were released");
                    throw_error();
                }
                ids[done] = vocab->table->intern(v, from.hash(ids[done]));
            }
        } catch (...) {
            for (size_t e = 0; e < done; ++e) vocab->table->release(ids[e], graves);
            throw;
        }
        // Hashes are the values' own, so the index stays as it is.
        size_t k = 0;
        for (size_t c = 0; c < d->size; ++c) {
            const uint32_t* span;
            size_t n;
            bag_span(d, c, span, n);
            uint32_t* out = const_cast<uint32_t*>(span);
            for (size_t e = 0; e < n; ++e) {
                from.release(out[e], graves);
                out[e] = ids[k++];
            }
        }
    }
    Py_INCREF(vocab);
    if (d->vocab != nullptr) graves.bury(reinterpret_cast<PyObject*>(d->vocab));
    d->vocab = vocab;
    ++d->stamp;
}

Ref list_of(std::vector<Ref>& items) {
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(items.size())));
    for (size_t i = 0; i < items.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), items[i].release());
    return list;
}

Ref tuple_of(std::vector<Ref>& items) {
    Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    for (size_t i = 0; i < items.size(); ++i)
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), items[i].release());
    return tuple;
}

}  // namespace pjson

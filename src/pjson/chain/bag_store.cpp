// The block of choices behind a bag: records of counts and ids, the hash
// index that finds them, counts promoted from 32 to 64 bits to Python
// numbers, the add that training takes without Python code, and choose().
#include "chain/chain.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace pjson {

// Running totals for choose(), shared by the bag and a choose() in progress,
// which keeps the totals it began with while rng.random() runs and may add to
// the bag. Only touched under the interpreter's lock.
class Totals {
public:
    Totals() noexcept = default;
    explicit Totals(size_t n) : block_(new Block{1, std::vector<int64_t>(n), {}}) {}
    Totals(const Totals& other) noexcept : block_(other.block_) {
        if (block_ != nullptr) ++block_->refs;
    }
    Totals& operator=(Totals other) noexcept {
        std::swap(block_, other.block_);
        return *this;
    }
    ~Totals() {
        if (block_ != nullptr && --block_->refs == 0) delete block_;
    }

    explicit operator bool() const noexcept { return block_ != nullptr; }
    std::vector<int64_t>& operator*() const noexcept { return block_->values; }
    std::vector<int64_t>* operator->() const noexcept { return &block_->values; }
    // Every kStep-th total (the last of each full step), while the totals
    // rise: a search reads these first and then one step of the totals,
    // instead of jumping through all of them.
    static constexpr size_t kStep = 64;
    std::vector<int64_t>& tops() const noexcept { return block_->tops; }
    void reset() noexcept { *this = Totals(); }

private:
    struct Block {
        size_t refs;
        std::vector<int64_t> values;
        std::vector<int64_t> tops;
    };
    Block* block_ = nullptr;
};

struct BagExtra {
    std::vector<PyObject*> objects;  // empty, or per choice the count that is no machine integer
    size_t object_counts = 0;        // non-null entries of `objects`
    Totals running;                  // choose(): running totals, kept until the next add
    PyObject* snapshot = nullptr;    // (next starts, running totals) when counts are objects
};

namespace {

constexpr size_t kLinear = 8;  // bags up to this many choices have no index

template <class T>
T* block_resize(T* old, size_t n) {
    void* p = std::realloc(old, (n ? n : 1) * sizeof(T));
    if (p == nullptr) throw std::bad_alloc();
    return static_cast<T*>(p);
}

size_t count_words(const BagData* d) noexcept { return d->wide ? 2 : 1; }
size_t stride(const BagData* d) noexcept { return count_words(d) + d->width; }

uint32_t* record(const BagData* d, size_t i) noexcept {
    return d->records + (d->mixed ? d->offsets[i] : i * stride(d));
}

// Most bags stay small: they grow one choice at a time at first.
size_t next_capacity(size_t c) noexcept { return c < 4 ? c + 1 : c + c / 2; }

bool same_ids(const uint32_t* a, const uint32_t* b, size_t n) noexcept {
    for (size_t e = 0; e < n; ++e)
        if (a[e] != b[e]) return false;
    return true;
}

// ---- the index: index + 1 of a choice per slot, 0 for empty; linear probing

size_t slot_get(int bits, const void* index, size_t i) noexcept {
    if (bits <= 8) return static_cast<const uint8_t*>(index)[i];
    if (bits <= 16) return static_cast<const uint16_t*>(index)[i];
    return static_cast<const uint32_t*>(index)[i];
}

void slot_set(int bits, void* index, size_t i, size_t value) noexcept {
    if (bits <= 8)
        static_cast<uint8_t*>(index)[i] = static_cast<uint8_t>(value);
    else if (bits <= 16)
        static_cast<uint16_t*>(index)[i] = static_cast<uint16_t>(value);
    else
        static_cast<uint32_t*>(index)[i] = static_cast<uint32_t>(value);
}

void slot_place(int bits, void* index, Py_hash_t hash, size_t choice) noexcept {
    size_t mask = (size_t{1} << bits) - 1;
    size_t i = static_cast<size_t>(hash) & mask;
    while (slot_get(bits, index, i) != 0) i = (i + 1) & mask;
    slot_set(bits, index, i, choice + 1);
}

// An index for `choices` choices at most two thirds full; nullptr bits 0
// while the bag is small enough to search in order.
int index_bits_for(size_t choices) noexcept {
    if (choices <= kLinear) return 0;
    int bits = 4;
    while ((size_t{1} << bits) * 2 < choices * 3) ++bits;
    return bits;
}

// A new index over the first `choices` choices (allocated; the caller swaps it in).
void* index_make(const BagData* d, int bits, size_t choices) {
    size_t slots = size_t{1} << bits;
    void* index = std::calloc(slots, (bits <= 8 ? 1 : bits <= 16 ? 2 : 4));
    if (index == nullptr) throw std::bad_alloc();
    for (size_t c = 0; c < choices; ++c) slot_place(bits, index, bag_choice_hash(d, c), c);
    return index;
}

// ---- counts

int64_t count_at(const BagData* d, size_t i) noexcept {
    const uint32_t* r = record(d, i);
    if (!d->wide) return static_cast<int32_t>(r[0]);
    return static_cast<int64_t>(static_cast<uint64_t>(r[0]) | (static_cast<uint64_t>(r[1]) << 32));
}

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
        std::free(d->offsets);
        d->offsets = offsets;
    }
    std::free(d->records);
    d->records = records;
    d->words = static_cast<uint32_t>(words);
    d->words_cap = static_cast<uint32_t>(words_cap);
    d->wide = true;
    ++d->stamp;
}

BagExtra& extra_of(BagData* d) {
    if (d->extra == nullptr) d->extra = new BagExtra();
    return *d->extra;
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
        if (mixed) {
            offsets = block_resize<uint32_t>(to_mixed ? nullptr : d->offsets, cap + 1);
            if (to_mixed)
                for (size_t c = 0; c <= n; ++c) offsets[c] = static_cast<uint32_t>(c * stride(d));
        }
        try {
            d->records = block_resize<uint32_t>(d->records, words_cap);
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
        std::free(d->index);
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
    std::free(std::exchange(d->records, nullptr));
    std::free(std::exchange(d->offsets, nullptr));
    std::free(std::exchange(d->index, nullptr));
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
    size_t cw = count_words(d);
    if (!d->mixed) {
        ids = d->records + index * (cw + d->width) + cw;
        length = d->width;
    } else {
        ids = d->records + d->offsets[index] + cw;
        length = d->offsets[index + 1] - d->offsets[index] - cw;
    }
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

// ---------------------------------------------------------------------------
// choose()

namespace {

// x < a for a float and an int, exactly, as Python compares them.
bool float_less_than(double x, int64_t a) {
    if (std::isnan(x)) return false;
    if (x >= 9223372036854775808.0) return false;
    if (x < -9223372036854775808.0) return true;
    // For an integer a: a > x exactly when a > floor(x).
    return static_cast<int64_t>(std::floor(x)) < a;
}

[[noreturn]] void raise_no_positive() {
    PyErr_SetString(PyExc_ValueError, "cannot choose from a bag without positive counts");
    throw_error();
}

[[noreturn]] void raise_index() {
    PyErr_SetString(PyExc_IndexError, "list index out of range");
    throw_error();
}

Ref call_random(State* st, PyObject* rng) {
    PyObject* args[1] = {rng};
    return check(PyObject_VectorcallMethod(st->s_random, args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// bisect_right's steps, so that running totals that are not sorted (negative
// counts) give the same index.
template <class Less>
size_t bisect_right(size_t n, Less x_less_than_item) {
    size_t lo = 0, hi = n;
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        if (x_less_than_item(mid))
            hi = mid;
        else
            lo = mid + 1;
    }
    return lo;
}

Ref choose_objects(State* st, BagData* d, PyObject* rng) {
    BagExtra& x = extra_of(d);
    Ref snapshot = Ref::borrow(x.snapshot);
    if (!snapshot) {
        size_t n = d->size;
        std::vector<Ref> starts, running;
        starts.reserve(n);
        running.reserve(n);
        // The next starts first, then list(accumulate(counts)): each total is
        // the previous one + the count, read when it is reached. The
        // additions may change the bag; a bag that grew or shrank stops the
        // iteration, as a dict's values do.
        for (size_t i = 0; i < n; ++i) {
            if (d->size != n) raise_changed("ProbabilityBag");
            starts.push_back(bag_next_start(d, i));
        }
        Ref total;
        for (size_t i = 0; i < n; ++i) {
            if (d->size != n) raise_changed("ProbabilityBag");
            Ref c = bag_count(d, i);
            total = total ? check(PyNumber_Add(total.get(), c.get())) : std::move(c);
            running.push_back(Ref::borrow(total.get()));
        }
        // Kept even if an add ran meanwhile: the totals as they were read.
        // Tuples, since the collector hands what the bag holds to anyone.
        snapshot = check(PyTuple_Pack(2, tuple_of(starts).get(), tuple_of(running).get()));
        Graveyard graves;
        BagExtra& kept = extra_of(d);
        if (kept.snapshot != nullptr) graves.bury(kept.snapshot);
        kept.snapshot = Ref::borrow(snapshot.get()).release();
    }
    PyObject* starts = PyTuple_GET_ITEM(snapshot.get(), 0);
    PyObject* running = PyTuple_GET_ITEM(snapshot.get(), 1);
    Py_ssize_t n = PyTuple_GET_SIZE(running);
    if (n == 0) raise_no_positive();
    Ref last = Ref::borrow(PyTuple_GET_ITEM(running, n - 1));
    if (check_status(PyObject_RichCompareBool(last.get(), st->zero, Py_LE))) raise_no_positive();
    Ref r = call_random(st, rng);
    Ref point = check(PyNumber_Multiply(r.get(), last.get()));
    size_t index = bisect_right(static_cast<size_t>(n), [&](size_t mid) {
        Ref item = Ref::borrow(PyTuple_GET_ITEM(running, static_cast<Py_ssize_t>(mid)));
        return check_status(PyObject_RichCompareBool(point.get(), item.get(), Py_LT)) == 1;
    });
    if (index >= static_cast<size_t>(PyTuple_GET_SIZE(starts))) raise_index();
    return Ref::borrow(PyTuple_GET_ITEM(starts, static_cast<Py_ssize_t>(index)));
}

// Marks a block as drawn from while a pick runs: the bag leaves such a block
// to the pick when __init__ empties it (bag_renew), so that whatever
// rng.random() does, the choice drawn stays where the totals found it.
class Drawing {
public:
    explicit Drawing(BagData* d) noexcept : pin_(d) { ++d->picks; }
    Drawing(const Drawing&) = delete;
    Drawing& operator=(const Drawing&) = delete;
    ~Drawing() { --pin_.get()->picks; }

private:
    BagPin pin_;
};

}  // namespace

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

Pick bag_pick(State* st, BagData* d, PyObject* rng) {
    Drawing drawing(d);
    BagExtra* x = d->extra;
    if (x != nullptr && (x->object_counts > 0 || x->snapshot != nullptr)) return Pick{0, choose_objects(st, d, rng)};
    if (x == nullptr || !x->running) {
        Totals running(d->size);
        int64_t total = 0;
        bool rising = true;
        for (size_t i = 0; i < d->size; ++i) {
            int64_t count = count_at(d, i);
            if (__builtin_add_overflow(total, count, &total)) return Pick{0, choose_objects(st, d, rng)};
            (*running)[i] = total;
            rising = rising && count >= 0;
        }
        if (rising)
            for (size_t end = Totals::kStep; end <= d->size; end += Totals::kStep)
                running.tops().push_back((*running)[end - 1]);
        extra_of(d).running = std::move(running);
    }
    // The totals as they were before rng.random() ran, which may add to the bag.
    const Totals running = d->extra->running;
    size_t n = running->size();
    if (n == 0 || running->back() <= 0) raise_no_positive();
    int64_t total = running->back();
    Ref r = call_random(st, rng);
    size_t index;
    if (PyFloat_CheckExact(r.get())) {
        double point = PyFloat_AS_DOUBLE(r.get()) * static_cast<double>(total);
        // Rising totals: `point < total` holds from one index on, which any
        // search finds alike; the steps narrow it down to one of them.
        const std::vector<int64_t>& tops = running.tops();
        size_t step = bisect_right(tops.size(), [&](size_t mid) { return float_less_than(point, tops[mid]); });
        size_t lo = tops.empty() ? 0 : step * Totals::kStep;
        size_t span = tops.empty() ? n : std::min(n - lo, Totals::kStep);
        index = lo + bisect_right(span, [&](size_t mid) { return float_less_than(point, (*running)[lo + mid]); });
    } else {
        Ref last = check(PyLong_FromLongLong(total));
        Ref point = check(PyNumber_Multiply(r.get(), last.get()));
        index = bisect_right(n, [&](size_t mid) {
            Ref item = check(PyLong_FromLongLong((*running)[mid]));
            return check_status(PyObject_RichCompareBool(point.get(), item.get(), Py_LT)) == 1;
        });
    }
    if (index >= n || index >= d->size) raise_index();
    return Pick{index, Ref()};
}

Ref bag_choose(State* st, BagData* d, PyObject* rng) {
    BagPin pin(d);
    Pick pick = bag_pick(st, d, rng);
    return pick.next_start ? std::move(pick.next_start) : bag_next_start(d, pick.index);
}

}  // namespace pjson

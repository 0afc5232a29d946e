// Finding and adding choices in the block behind a bag: the lookups by ids
// or by values, counts that outgrow machine integers, and the add that
// training takes without Python code.
#include "chain/block.h"

#include <cstdlib>
#include <cstring>

namespace pjson {

namespace {

bool same_ids(const uint32_t* a, const uint32_t* b, size_t n) noexcept {
    for (size_t e = 0; e < n; ++e)
        if (a[e] != b[e]) return false;
    return true;
}

// ---- counts

void count_store(BagData* d, size_t i, int64_t v) noexcept {
    uint32_t* r = record(d, i);
    r[0] = static_cast<uint32_t>(static_cast<uint64_t>(v));
    if (d->wide) r[1] = static_cast<uint32_t>(static_cast<uint64_t>(v) >> 32);
}

bool fits32(int64_t v) noexcept { return v >= INT32_MIN && v <= INT32_MAX; }

void forget_choose(BagData* d, Graveyard& graves) noexcept {
    if (d->extra == nullptr) return;
    d->extra->running.reset();
    if (d->extra->snapshot != nullptr) graves.bury(std::exchange(d->extra->snapshot, nullptr));
}

void set_native(BagData* d, size_t i, int64_t value, Graveyard& graves) {
    if (!d->wide && !fits32(value)) block_widen(d);
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

Vocab* ensure_vocab(State* st, BagData* d) {
    if (d->vocab != nullptr) return d->vocab;
    // Making it may run code that gives the block a vocabulary first.
    Ref made(reinterpret_cast<PyObject*>(vocab_new(st)));
    if (d->vocab == nullptr) d->vocab = reinterpret_cast<Vocab*>(made.release());
    return d->vocab;
}

}  // namespace

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
                index = block_insert(d, p);
                holds.keep();
            }
            set_object(d, index, std::move(computed), graves);
        } else if (f == Find::found && !has_object(d, index) && count_as_int64(count, add) &&
                   !__builtin_add_overflow(count_at(d, index), add, &add)) {
            set_native(d, index, add, graves);
        } else if (f == Find::absent && count_as_int64(count, add)) {
            if (!d->wide && !fits32(add)) block_widen(d);
            index = block_insert(d, p);
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

namespace {

// The record of the choice of the single id `id` in a block of one-id
// records (or none yet) with narrow counts and nothing beside them, through
// `r` (nullptr when the block has none), with the choice's hash; false, for
// anything else, when Python code or the general lookup would be needed.
bool find_one(const BagData* d, uint32_t id, uint32_t*& r, Py_hash_t& hash) noexcept {
    if (d->mixed || d->wide || d->extra != nullptr || d->vocab == nullptr) return false;
    // An empty block takes the width of its first choice only while it has
    // no room yet.
    if (d->size == 0 ? d->cap != 0 : d->width != 1) return false;
    const VocabTable& t = *d->vocab->table;
    if (t.aliased(id) || t.value(id) == nullptr) return false;
    hash = tuple_hash_by(1, [&](size_t) { return t.hash(id); });
    uint32_t* records = d->records;
    r = nullptr;
    if (d->index == nullptr) {
        for (uint32_t *end = records + 2 * size_t{d->size}, *at = records; at != end; at += 2) {
            if (at[1] == id) {
                r = at;
                break;
            }
        }
        return true;
    }
    int bits = d->index_bits;
    size_t mask = (size_t{1} << bits) - 1;
    for (size_t i = static_cast<size_t>(hash) & mask;; i = (i + 1) & mask) {
        size_t slot = slot_get(bits, d->index, i);
        if (slot == 0) return true;
        if (records[2 * (slot - 1) + 1] == id) {
            r = records + 2 * (slot - 1);
            return true;
        }
    }
}

}  // namespace

bool bag_bump_one(BagData* d, uint32_t id) noexcept {
    uint32_t* r = nullptr;
    Py_hash_t hash = 0;
    if (!find_one(d, id, r, hash) || r == nullptr || static_cast<int32_t>(r[0]) == INT32_MAX) return false;
    r[0] = static_cast<uint32_t>(static_cast<int32_t>(r[0]) + 1);
    ++d->adds;
    return true;
}

bool bag_count_one(BagData* d, uint32_t id, Graveyard& graves) {
    uint32_t* r = nullptr;
    Py_hash_t hash = 0;
    if (!find_one(d, id, r, hash)) return false;
    if (r != nullptr) {
        if (static_cast<int32_t>(r[0]) == INT32_MAX) return false;
        r[0] = static_cast<uint32_t>(static_cast<int32_t>(r[0]) + 1);
        ++d->adds;
        return true;
    }
    // A new choice, appended with count 1 as bag_add_one appends it; the
    // block has nothing for choose() to forget.
    VocabTable& t = *d->vocab->table;
    t.hold(id);
    size_t index;
    try {
        index = block_insert(d, Probe{nullptr, nullptr, &id, 1, hash});
    } catch (...) {
        t.release(id, graves);
        throw;
    }
    count_store(d, index, 1);
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
        if (!d->wide && !fits32(count)) block_widen(d);
        for (size_t e = 0; e < length; ++e) d->vocab->table->hold(ids[e]);
        try {
            index = block_insert(d, p);
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

}  // namespace pjson

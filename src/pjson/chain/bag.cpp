// ProbabilityBag: the choices of one start, each a next start (ids of the
// vocabulary) with a count, in insertion order, found through a small hash
// index; and its iterators.
#include "chain/chain.h"

#include <cmath>

namespace pjson {

// Running totals for choose(), shared by the bag and a choose() in progress,
// which keeps the totals it began with while rng.random() runs and may add to
// the bag. Only touched under the interpreter's lock.
class Totals {
public:
    Totals() noexcept = default;
    explicit Totals(size_t n) : block_(new Block{1, std::vector<int64_t>(n)}) {}
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
    void reset() noexcept { *this = Totals(); }

private:
    struct Block {
        size_t refs;
        std::vector<int64_t> values;
    };
    Block* block_ = nullptr;
};

struct BagStore {
    std::vector<uint32_t> ids;    // the next starts, one after the other
    std::vector<uint32_t> ends;   // end of each next start in `ids`, once lengths differ
    uint32_t width = 0;           // the length of every next start while they agree
    bool mixed = false;
    std::vector<int64_t> counts;
    std::vector<PyObject*> objects;  // empty, or per choice the count that is no machine integer
    size_t object_counts = 0;        // non-null entries of `objects`
    std::vector<uint32_t> slots;     // index + 1 of a choice, 0 for empty; linear probing
    std::vector<uint8_t> tags;       // per slot: 0 when empty, else high bits of the hash, so
                                     // that a probe rarely reads a choice that is not the one
    uint64_t adds = 0;               // every add, counts included
    // choose(): running totals, kept until the next add
    Totals running;
    PyObject* snapshot = nullptr;  // (next starts, running totals) when counts are objects

    size_t size() const noexcept { return counts.size(); }
};

namespace {

constexpr const char* kBagName = "ProbabilityBag";

template <class T>
void reserve_one(std::vector<T>& v) {
    if (v.size() == v.capacity()) v.reserve(v.size() + v.size() / 2 + 2);
}

Bag* as_bag(PyObject* o) { return reinterpret_cast<Bag*>(o); }

VocabTable& table(Bag* bag) { return *bag->vocab->table; }

Py_hash_t choice_hash(Bag* bag, size_t index) {
    const uint32_t* ids;
    size_t n;
    bag_span(bag, index, ids, n);
    VocabTable& t = table(bag);
    return tuple_hash_by(n, [&](size_t i) { return t.hash(ids[i]); });
}

void forget_choose(BagStore& s, Graveyard& graves) {
    s.running.reset();
    if (s.snapshot != nullptr) graves.bury(std::exchange(s.snapshot, nullptr));
}

uint8_t tag_of(Py_hash_t hash) {
    return static_cast<uint8_t>(0x80 | (static_cast<Py_uhash_t>(hash) >> (8 * sizeof(Py_hash_t) - 7)));
}

void index_build(Bag* bag, size_t cap) {
    BagStore& s = *bag->store;
    std::vector<uint32_t> slots(cap, 0);
    std::vector<uint8_t> tags(cap, 0);
    size_t mask = cap - 1;
    for (size_t c = 0; c < s.size(); ++c) {
        Py_hash_t h = choice_hash(bag, c);
        size_t i = static_cast<size_t>(h) & mask;
        while (tags[i] != 0) i = (i + 1) & mask;
        slots[i] = static_cast<uint32_t>(c + 1);
        tags[i] = tag_of(h);
    }
    s.slots.swap(slots);
    s.tags.swap(tags);
}

enum class Find { found, absent, changed };

// Whether choice `c` holds the probe's next start. Python code may run when
// values are not plain; `changed` then says that the bag moved under us.
Find choice_matches(Bag* bag, size_t c, const Probe& p, uint64_t stamp, Vocab* vocab) {
    const uint32_t* ids;
    size_t n;
    bag_span(bag, c, ids, n);
    if (n != p.length) return Find::absent;
    if (p.ids != nullptr) {
        size_t e = 0;
        while (e < n && ids[e] == p.ids[e]) ++e;
        if (e == n) return Find::found;
    }
    if (choice_hash(bag, c) != p.hash) return Find::absent;
    for (size_t e = 0; e < n; ++e) {
        if (p.ids != nullptr && ids[e] == p.ids[e]) continue;
        Ref stored = vocab_value(bag->vocab, ids[e]);
        bool ran = false;
        bool equal = values_equal(stored.get(), p.values[e], ran);
        if (ran && (bag->stamp != stamp || bag->vocab != vocab)) return Find::changed;
        if (!equal) return Find::absent;
    }
    return Find::found;
}

Find find(Bag* bag, const Probe& p, size_t& index) {
    BagStore& s = *bag->store;
    if (s.size() == 0) return Find::absent;
    uint64_t stamp = bag->stamp;
    Vocab* vocab = bag->vocab;
    size_t mask = s.slots.size() - 1;
    uint8_t tag = tag_of(p.hash);
    for (size_t i = static_cast<size_t>(p.hash) & mask;; i = (i + 1) & mask) {
        uint8_t t = s.tags[i];
        if (t == 0) return Find::absent;
        if (t != tag) continue;
        uint32_t slot = s.slots[i];
        Find f = choice_matches(bag, slot - 1, p, stamp, vocab);
        if (f == Find::changed) return f;
        if (f == Find::found) {
            index = slot - 1;
            return f;
        }
        if (bag->stamp != stamp) return Find::changed;
    }
}

void set_native(BagStore& s, size_t i, int64_t value, Graveyard& graves) {
    s.counts[i] = value;
    if (!s.objects.empty() && s.objects[i] != nullptr) {
        graves.bury(std::exchange(s.objects[i], nullptr));
        --s.object_counts;
    }
}

// Takes over `value`.
void set_object(BagStore& s, size_t i, Ref value, Graveyard& graves) {
    if (PyLong_CheckExact(value.get())) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
        if (!overflow) return set_native(s, i, static_cast<int64_t>(v), graves);
    }
    if (s.objects.empty()) s.objects.assign(s.counts.capacity(), nullptr), s.objects.resize(s.size());
    if (s.objects[i] != nullptr)
        graves.bury(s.objects[i]);
    else
        ++s.object_counts;
    s.objects[i] = value.release();
    s.counts[i] = 0;
}

// Appends a choice whose ids are held for it. Nothing changes unless all of
// it fits.
void insert(Bag* bag, const Probe& p) {
    BagStore& s = *bag->store;
    size_t n = s.size();
    if (n >= UINT32_MAX - 1) throw std::bad_alloc();
    bool to_mixed = n > 0 && !s.mixed && p.length != s.width;
    reserve_one(s.counts);
    if (!s.objects.empty()) reserve_one(s.objects);
    if (s.ids.size() + p.length > s.ids.capacity()) s.ids.reserve(s.ids.size() + s.ids.size() / 2 + p.length + 2);
    if (to_mixed) s.ends.reserve(n + n / 2 + 2);
    if (s.mixed) reserve_one(s.ends);
    if ((n + 1) * 3 > s.slots.size() * 2) index_build(bag, s.slots.empty() ? 2 : s.slots.size() * 2);
    if (to_mixed) {
        for (size_t c = 1; c <= n; ++c) s.ends.push_back(static_cast<uint32_t>(c * s.width));
        s.mixed = true;
    }
    if (n == 0) s.width = static_cast<uint32_t>(p.length);
    s.ids.insert(s.ids.end(), p.ids, p.ids + p.length);
    if (s.mixed) s.ends.push_back(static_cast<uint32_t>(s.ids.size()));
    s.counts.push_back(0);
    if (!s.objects.empty()) s.objects.push_back(nullptr);
    size_t mask = s.slots.size() - 1;
    size_t i = static_cast<size_t>(p.hash) & mask;
    while (s.tags[i] != 0) i = (i + 1) & mask;
    s.slots[i] = static_cast<uint32_t>(n + 1);
    s.tags[i] = tag_of(p.hash);
    ++bag->stamp;
}

bool count_as_int64(PyObject* count, int64_t& out) {
    if (!PyLong_CheckExact(count) && !PyBool_Check(count)) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(count, &overflow);
    out = static_cast<int64_t>(v);
    return overflow == 0;
}

Vocab* ensure_vocab(State* st, Bag* bag) {
    if (bag->vocab == nullptr) bag->vocab = vocab_new(st);
    return bag->vocab;
}

// One add (or, with `assign`, a replacement of the count) of a next start
// given by its values and hashes. `ids`, when given, are held in `vocab`,
// which was the bag's vocabulary at the call; they are used only while it
// still is.
void add_probe(State* st, Bag* bag, PyObject* const* values, const Py_hash_t* hashes, size_t length, Py_hash_t hash,
               PyObject* count, bool assign, Graveyard& graves, Vocab* known_vocab = nullptr,
               const uint32_t* known_ids = nullptr) {
    Ref keep = Ref::borrow(reinterpret_cast<PyObject*>(bag));
    Ref computed;  // the new count, once Python code worked it out
    if (assign) computed = Ref::borrow(count);
    Small<uint32_t> ids;
    ids.resize(length);
    for (;;) {
        Vocab* vocab = ensure_vocab(st, bag);
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
        Find f = find(bag, p, index);
        if (f == Find::changed) continue;
        BagStore& s = *bag->store;
        int64_t add = 0;
        if (computed) {
            if (f == Find::absent) {
                insert(bag, p);
                holds.keep();
                index = s.size() - 1;
            }
            set_object(s, index, std::move(computed), graves);
        } else if (f == Find::found && (s.objects.empty() || s.objects[index] == nullptr) &&
                   count_as_int64(count, add) && !__builtin_add_overflow(s.counts[index], add, &add)) {
            s.counts[index] = add;
        } else if (f == Find::absent && count_as_int64(count, add)) {
            insert(bag, p);
            holds.keep();
            s.counts.back() = add;
        } else {
            // counts.get(key, 0) + count, by the interpreter; its code may
            // change the bag, so the result is stored by a fresh lookup.
            Ref old = f == Find::found ? bag_count(bag, index) : Ref::borrow(st->zero);
            computed = check(PyNumber_Add(old.get(), count));
            continue;
        }
        ++s.adds;
        forget_choose(s, graves);
        return;
    }
}

struct Hashed {
    Small<Py_hash_t> hashes;
    Py_hash_t hash;
};

void hash_values(PyObject* const* values, size_t n, Hashed& out) {
    out.hashes.resize(n);
    for (size_t e = 0; e < n; ++e) {
        Py_hash_t h = PyObject_Hash(values[e]);
        if (h == -1) throw_error();
        out.hashes[e] = h;
    }
    out.hash = tuple_hash(out.hashes.data(), n);
}

}  // namespace

// ---------------------------------------------------------------------------
// Reading a bag.

Py_ssize_t bag_size(Bag* bag) noexcept { return bag->store ? static_cast<Py_ssize_t>(bag->store->size()) : 0; }

void bag_span(Bag* bag, size_t index, const uint32_t*& ids, size_t& length) noexcept {
    BagStore& s = *bag->store;
    if (!s.mixed) {
        ids = s.ids.data() + index * s.width;
        length = s.width;
    } else {
        size_t begin = index ? s.ends[index - 1] : 0;
        ids = s.ids.data() + begin;
        length = s.ends[index] - begin;
    }
}

bool bag_count_native(Bag* bag, size_t index, int64_t& count) noexcept {
    BagStore& s = *bag->store;
    if (!s.objects.empty() && s.objects[index] != nullptr) return false;
    count = s.counts[index];
    return true;
}

PyObject* bag_count_object(Bag* bag, size_t index) noexcept {
    BagStore& s = *bag->store;
    return s.objects.empty() ? nullptr : s.objects[index];
}

Ref bag_count(Bag* bag, size_t index) {
    int64_t n;
    if (bag_count_native(bag, index, n)) return check(PyLong_FromLongLong(n));
    return Ref::borrow(bag_count_object(bag, index));
}

Ref bag_next_start(Bag* bag, size_t index) {
    const uint32_t* ids;
    size_t n;
    bag_span(bag, index, ids, n);
    Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(n)));
    bool acyclic = true;
    for (size_t e = 0; e < n; ++e) {
        Ref v = vocab_value(bag->vocab, ids[e]);
        acyclic = acyclic && table(bag).plain(ids[e]);
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(e), v.release());
    }
    // As the collector would at its next pass: plain values make no cycle.
    if (acyclic) PyObject_GC_UnTrack(tuple.get());
    return tuple;
}

Bag* bag_new(State* st, Vocab* vocab) {
    PyTypeObject* type = st->bag_type;
    Ref obj = check(type->tp_alloc(type, 0));
    Bag* bag = as_bag(obj.get());
    bag->store = new BagStore();
    if (vocab != nullptr) {
        Py_INCREF(vocab);
        bag->vocab = vocab;
    }
    return as_bag(obj.release());
}

void bag_add_values(State* st, Bag* bag, PyObject* const* values, size_t length, PyObject* count) {
    Graveyard graves;
    Hashed h;
    hash_values(values, length, h);
    add_probe(st, bag, values, h.hashes.data(), length, h.hash, count, false, graves);
}

void bag_add_ids(State* st, Bag* bag, Vocab* vocab, const uint32_t* ids, size_t length, PyObject* count) {
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
    add_probe(st, bag, values.data(), h.hashes.data(), length, h.hash, count, false, graves, vocab, ids);
}

void bag_rehome(Bag* bag, Vocab* vocab, Graveyard& graves) {
    if (bag->vocab == vocab) return;
    BagStore& s = *bag->store;
    if (bag->vocab != nullptr && !s.ids.empty()) {
        VocabTable& from = *bag->vocab->table;
        std::vector<uint32_t> ids(s.ids.size());
        size_t done = 0;
        try {
            for (; done < ids.size(); ++done) {
                PyObject* v = from.value(s.ids[done]);
                if (v == nullptr) {
                    PyErr_SetString(PyExc_RuntimeError, "the chain's values were released");
                    throw_error();
                }
                ids[done] = vocab->table->intern(v, from.hash(s.ids[done]));
            }
        } catch (...) {
            for (size_t e = 0; e < done; ++e) vocab->table->release(ids[e], graves);
            throw;
        }
        for (uint32_t id : s.ids) from.release(id, graves);
        s.ids.swap(ids);
        // Hashes are the values' own, so the index stays as it is.
    }
    Py_INCREF(vocab);
    if (bag->vocab != nullptr) graves.bury(reinterpret_cast<PyObject*>(bag->vocab));
    bag->vocab = vocab;
    ++bag->stamp;
}

void NextStartValues::collect(PyObject* items) {
    release();
    tuple_ = Ref();
    if (PyTuple_CheckExact(items)) {
        tuple_ = Ref::borrow(items);
        return;
    }
    if (PyList_CheckExact(items)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items); ++i) {
            PyObject* v = PyList_GET_ITEM(items, i);
            Py_INCREF(v);
            owned_.push_back(v);
        }
        return;
    }
    Ref it = check(PyObject_GetIter(items));
    for (;;) {
        PyObject* v = PyIter_Next(it.get());
        if (v == nullptr) break;
        try {
            owned_.push_back(v);
        } catch (...) {
            Py_DECREF(v);
            throw;
        }
    }
    if (PyErr_Occurred()) throw_error();
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

Ref choose_objects(State* st, Bag* bag, PyObject* rng) {
    BagStore& s = *bag->store;
    if (s.snapshot == nullptr) {
        uint64_t stamp = bag->stamp, adds = s.adds;
        size_t n = s.size();
        Ref starts = check(PyList_New(static_cast<Py_ssize_t>(n)));
        Ref counts = check(PyList_New(static_cast<Py_ssize_t>(n)));
        for (size_t i = 0; i < n; ++i) {
            PyList_SET_ITEM(starts.get(), static_cast<Py_ssize_t>(i), bag_next_start(bag, i).release());
            PyList_SET_ITEM(counts.get(), static_cast<Py_ssize_t>(i), bag_count(bag, i).release());
        }
        // list(accumulate(counts)): each total is the previous one + the count.
        Ref running = check(PyList_New(static_cast<Py_ssize_t>(n)));
        Ref total;
        for (size_t i = 0; i < n; ++i) {
            PyObject* c = PyList_GET_ITEM(counts.get(), static_cast<Py_ssize_t>(i));
            total = total ? check(PyNumber_Add(total.get(), c)) : Ref::borrow(c);
            PyList_SET_ITEM(running.get(), static_cast<Py_ssize_t>(i), Ref::borrow(total.get()).release());
        }
        Ref snapshot = check(PyTuple_Pack(2, starts.get(), running.get()));
        if (bag->stamp != stamp || s.adds != adds || s.snapshot != nullptr) return choose_objects(st, bag, rng);
        s.snapshot = snapshot.release();
    }
    Ref snapshot = Ref::borrow(s.snapshot);
    PyObject* starts = PyTuple_GET_ITEM(snapshot.get(), 0);
    PyObject* running = PyTuple_GET_ITEM(snapshot.get(), 1);
    Py_ssize_t n = PyList_GET_SIZE(running);
    if (n == 0) raise_no_positive();
    Ref last = Ref::borrow(PyList_GET_ITEM(running, n - 1));
    if (check_status(PyObject_RichCompareBool(last.get(), st->zero, Py_LE))) raise_no_positive();
    Ref r = call_random(st, rng);
    Ref x = check(PyNumber_Multiply(r.get(), last.get()));
    size_t index = bisect_right(static_cast<size_t>(n), [&](size_t mid) {
        Ref item = Ref::borrow(PyList_GET_ITEM(running, static_cast<Py_ssize_t>(mid)));
        return check_status(PyObject_RichCompareBool(x.get(), item.get(), Py_LT)) == 1;
    });
    if (index >= static_cast<size_t>(PyList_GET_SIZE(starts))) raise_index();
    return Ref::borrow(PyList_GET_ITEM(starts, static_cast<Py_ssize_t>(index)));
}

}  // namespace

Ref bag_choose(State* st, Bag* bag, PyObject* rng) {
    Ref keep = Ref::borrow(reinterpret_cast<PyObject*>(bag));
    BagStore& s = *bag->store;
    if (s.object_counts > 0 || s.snapshot != nullptr) return choose_objects(st, bag, rng);
    if (!s.running) {
        Totals running(s.size());
        int64_t total = 0;
        for (size_t i = 0; i < s.size(); ++i) {
            if (__builtin_add_overflow(total, s.counts[i], &total)) return choose_objects(st, bag, rng);
            (*running)[i] = total;
        }
        s.running = std::move(running);
    }
    // The totals as they were before rng.random() ran, which may add to the bag.
    const Totals running = s.running;
    size_t n = running->size();
    if (n == 0 || running->back() <= 0) raise_no_positive();
    int64_t total = running->back();
    Ref r = call_random(st, rng);
    size_t index;
    if (PyFloat_CheckExact(r.get())) {
        double x = PyFloat_AS_DOUBLE(r.get()) * static_cast<double>(total);
        index = bisect_right(n, [&](size_t mid) { return float_less_than(x, (*running)[mid]); });
    } else {
        Ref last = check(PyLong_FromLongLong(total));
        Ref x = check(PyNumber_Multiply(r.get(), last.get()));
        index = bisect_right(n, [&](size_t mid) {
            Ref item = check(PyLong_FromLongLong((*running)[mid]));
            return check_status(PyObject_RichCompareBool(x.get(), item.get(), Py_LT)) == 1;
        });
    }
    if (index >= n || index >= s.size()) raise_index();
    return bag_next_start(bag, index);
}

// ---------------------------------------------------------------------------
// The Python type.

namespace {

State* bag_state(PyObject* self) { return state_of(Py_TYPE(self)); }

void bag_reset(Bag* bag, Graveyard& graves) {
    BagStore* s = bag->store;
    if (s == nullptr) return;
    if (bag->vocab != nullptr)
        for (uint32_t id : s->ids) bag->vocab->table->release(id, graves);
    for (PyObject* o : s->objects)
        if (o != nullptr) graves.bury(o);
    forget_choose(*s, graves);
    *s = BagStore();
    if (bag->vocab != nullptr) graves.bury(reinterpret_cast<PyObject*>(std::exchange(bag->vocab, nullptr)));
    ++bag->stamp;
}

PyObject* bag_tp_new(PyTypeObject* type, PyObject*, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Ref obj = check(type->tp_alloc(type, 0));
        as_bag(obj.get())->store = new BagStore();
        return obj.release();
    });
}

int bag_tp_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
        PyErr_SetString(PyExc_TypeError, "ProbabilityBag() takes no arguments");
        return -1;
    }
    // As __init__ of the pure-Python class: a bag made afresh.
    return guarded<int>(-1, [&] {
        Graveyard graves;
        if (bag_size(as_bag(self)) > 0) bag_reset(as_bag(self), graves);
        return 0;
    });
}

int bag_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Bag* bag = as_bag(self);
    Py_VISIT(reinterpret_cast<PyObject*>(bag->vocab));
    if (bag->store != nullptr) {
        for (PyObject* o : bag->store->objects) Py_VISIT(o);
        Py_VISIT(bag->store->snapshot);
    }
    return 0;
}

int bag_tp_clear(PyObject* self) {
    Graveyard graves;
    bag_reset(as_bag(self), graves);
    return 0;
}

void bag_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    {
        Graveyard graves;
        bag_reset(as_bag(self), graves);
        delete as_bag(self)->store;
        as_bag(self)->store = nullptr;
    }
    type->tp_free(self);
    Py_DECREF(type);
}

const char* const kAddNames[] = {"items", "count"};

PyObject* bag_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* a[2] = {nullptr, nullptr};
        parse_args("add", kAddNames, 1, 2, args, nargs, kwnames, a);
        State* st = bag_state(self);
        Ref one;
        if (a[1] == nullptr) a[1] = (one = check(PyLong_FromLong(1))).get();
        NextStartValues values;
        values.collect(a[0]);
        bag_add_values(st, as_bag(self), values.data(), values.size(), a[1]);
        Py_RETURN_NONE;
    });
}

PyObject* bag_choose_method(PyObject* self, PyObject* rng) {
    return guarded<PyObject*>(nullptr, [&] { return bag_choose(bag_state(self), as_bag(self), rng).release(); });
}

PyObject* bag_iter_make(PyObject* self, int kind);

PyObject* bag_choices(PyObject* self, PyObject*) { return bag_iter_make(self, 1); }
PyObject* bag_iter(PyObject* self) { return bag_iter_make(self, 0); }

Py_ssize_t bag_length(PyObject* self) { return bag_size(as_bag(self)); }

PyObject* bag_unique_count(PyObject* self, void*) { return PyLong_FromSsize_t(bag_size(as_bag(self))); }

PyObject* bag_total(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Bag* bag = as_bag(self);
        BagStore& s = *bag->store;
        if (s.object_counts == 0) {
            __int128 total = 0;
            for (int64_t c : s.counts) total += c;
            if (total >= INT64_MIN && total <= INT64_MAX) return PyLong_FromLongLong(static_cast<long long>(total));
            // hi * 2**64 + lo
            Ref hi = check(PyLong_FromLongLong(static_cast<long long>(total >> 64)));
            Ref lo = check(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(total)));
            Ref shift = check(PyLong_FromLong(64));
            Ref high = check(PyNumber_Lshift(hi.get(), shift.get()));
            return PyNumber_Add(high.get(), lo.get());
        }
        // sum() of the counts, by the builtin itself (its float summation
        // differs between interpreter versions).
        Py_ssize_t n = bag_size(bag);
        Ref counts = check(PyList_New(n));
        for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(counts.get(), i, bag_count(bag, i).release());
        return PyObject_CallOneArg(bag_state(self)->sum, counts.get());
    });
}

// Looks any object up as a next start, as `x in dict` does.
int bag_contains(PyObject* self, PyObject* key) {
    return guarded<int>(-1, [&]() -> int {
        Bag* bag = as_bag(self);
        Ref keep = Ref::borrow(self);
        if (PyTuple_CheckExact(key)) {
            Hashed h;
            Py_ssize_t n = PyTuple_GET_SIZE(key);
            PyObject* const* values = &PyTuple_GET_ITEM(key, 0);
            hash_values(values, static_cast<size_t>(n), h);
            for (;;) {
                if (bag->vocab == nullptr) return 0;
                size_t index;
                Probe p{values, h.hashes.data(), nullptr, static_cast<size_t>(n), h.hash};
                Find f = find(bag, p, index);
                if (f != Find::changed) return f == Find::found ? 1 : 0;
            }
        }
        Py_hash_t hash = PyObject_Hash(key);
        if (hash == -1) throw_error();
        for (size_t c = 0; c < static_cast<size_t>(bag_size(bag)); ++c) {
            if (choice_hash(bag, c) != hash) continue;
            Ref stored = bag_next_start(bag, c);
            if (check_status(PyObject_RichCompareBool(stored.get(), key, Py_EQ))) return 1;
        }
        return 0;
    });
}

// Whether `b` holds every choice of `a` with an equal count (sizes agreed).
bool bag_holds_all(State* st, Bag* a, Bag* b) {
    uint64_t stamp_a = a->stamp, stamp_b = b->stamp;
    Py_ssize_t n = bag_size(a);
    for (Py_ssize_t c = 0; c < n; ++c) {
        if (a->stamp != stamp_a || b->stamp != stamp_b || bag_size(a) != n) raise_changed(kBagName);
        const uint32_t* ids;
        size_t len;
        bag_span(a, static_cast<size_t>(c), ids, len);
        Ref next_start = bag_next_start(a, static_cast<size_t>(c));  // keeps the values
        PyObject* const* values = &PyTuple_GET_ITEM(next_start.get(), 0);
        Hashed h;
        h.hashes.resize(len);
        for (size_t e = 0; e < len; ++e) h.hashes[e] = a->vocab->table->hash(ids[e]);
        h.hash = tuple_hash(h.hashes.data(), len);
        Small<uint32_t> own;
        own.resize(len);
        std::copy(ids, ids + len, own.data());
        Probe p{values, h.hashes.data(), a->vocab == b->vocab ? own.data() : nullptr, len, h.hash};
        size_t index;
        Find f = find(b, p, index);
        if (f == Find::changed) raise_changed(kBagName);
        if (f == Find::absent) return false;
        int64_t x, y;
        if (bag_count_native(a, static_cast<size_t>(c), x) && bag_count_native(b, index, y)) {
            if (x != y) return false;
            continue;
        }
        Ref cx = bag_count(a, static_cast<size_t>(c)), cy = bag_count(b, index);
        if (!check_status(PyObject_RichCompareBool(cx.get(), cy.get(), Py_EQ))) return false;
    }
    (void)st;
    return true;
}

PyObject* bag_richcompare(PyObject* self, PyObject* other, int op) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        State* st = bag_state(self);
        if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(other, st->bag_type)) Py_RETURN_NOTIMPLEMENTED;
        Ref keep_a = Ref::borrow(self), keep_b = Ref::borrow(other);
        Bag *a = as_bag(self), *b = as_bag(other);
        bool equal = bag_size(a) == bag_size(b) && (a == b || bag_size(a) == 0 || bag_holds_all(st, a, b));
        return Ref::borrow((equal == (op == Py_EQ)) ? Py_True : Py_False).release();
    });
}

PyObject* bag_repr(PyObject* self) {
    int entered = Py_ReprEnter(self);
    if (entered != 0) return entered > 0 ? PyUnicode_FromString("ProbabilityBag({...})") : nullptr;
    PyObject* result = guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Bag* bag = as_bag(self);
        Ref keep = Ref::borrow(self);
        Ref parts = check(PyList_New(0));
        Ref sep = check(PyUnicode_FromString(": "));
        for (Py_ssize_t c = 0; c < bag_size(bag); ++c) {
            Ref start = bag_next_start(bag, static_cast<size_t>(c));
            Ref count = bag_count(bag, static_cast<size_t>(c));
            Ref k = check(PyObject_Repr(start.get()));
            Ref v = check(PyObject_Repr(count.get()));
            Ref kv = check(PyUnicode_Concat(k.get(), sep.get()));
            Ref item = check(PyUnicode_Concat(kv.get(), v.get()));
            check_status(PyList_Append(parts.get(), item.get()));
        }
        Ref comma = check(PyUnicode_FromString(", "));
        Ref body = check(PyUnicode_Join(comma.get(), parts.get()));
        return PyUnicode_FromFormat("ProbabilityBag({%U})", body.get());
    });
    Py_ReprLeave(self);
    return result;
}

// Pickles as (type, (), state): the (next start, count) pairs, with the
// instance dict of a subclass.
PyObject* bag_reduce(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Bag* bag = as_bag(self);
        Ref pairs = check(PyList_New(0));
        for (Py_ssize_t c = 0; c < bag_size(bag); ++c) {
            Ref start = bag_next_start(bag, static_cast<size_t>(c));
            Ref count = bag_count(bag, static_cast<size_t>(c));
            Ref pair = check(PyTuple_Pack(2, start.get(), count.get()));
            check_status(PyList_Append(pairs.get(), pair.get()));
        }
        Ref dict = instance_dict(self);
        Ref state = dict ? check(PyTuple_Pack(2, pairs.get(), dict.get())) : std::move(pairs);
        Ref args = check(PyTuple_New(0));
        return PyTuple_Pack(3, reinterpret_cast<PyObject*>(Py_TYPE(self)), args.get(), state.get());
    });
}

// Restores the pairs that bag_reduce saved, and reads the state that pickles
// of the pure-Python class carry: (None, {"_counts": {...}, ...}).
PyObject* bag_setstate(PyObject* self, PyObject* state) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        State* st = bag_state(self);
        Bag* bag = as_bag(self);
        Ref pairs;
        PyObject* inst_dict = nullptr;
        if (PyTuple_Check(state) && PyTuple_GET_SIZE(state) == 2 && !PyList_Check(PyTuple_GET_ITEM(state, 0))) {
            PyObject* slots = PyTuple_GET_ITEM(state, 1);
            inst_dict = PyTuple_GET_ITEM(state, 0);
            PyObject* counts = PyDict_Check(slots) ? PyDict_GetItemWithError(slots, st->s_counts) : nullptr;
            if (counts == nullptr) {
                if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "ProbabilityBag state without counts");
                throw_error();
            }
            pairs = check(PyObject_CallMethod(counts, "items", nullptr));
        } else if (PyTuple_Check(state) && PyTuple_GET_SIZE(state) == 2) {
            pairs = Ref::borrow(PyTuple_GET_ITEM(state, 0));
            inst_dict = PyTuple_GET_ITEM(state, 1);
        } else {
            pairs = Ref::borrow(state);
        }
        Graveyard graves;
        bag_reset(bag, graves);
        Ref it = check(PyObject_GetIter(pairs.get()));
        NextStartValues values;
        while (Ref pair = Ref(PyIter_Next(it.get()))) {
            Ref seq = check(PySequence_Tuple(pair.get()));
            if (PyTuple_GET_SIZE(seq.get()) != 2) {
                PyErr_SetString(PyExc_ValueError, "ProbabilityBag state holds a pair of another length");
                throw_error();
            }
            values.collect(PyTuple_GET_ITEM(seq.get(), 0));
            Hashed h;
            hash_values(values.data(), values.size(), h);
            add_probe(st, bag, values.data(), h.hashes.data(), values.size(), h.hash, PyTuple_GET_ITEM(seq.get(), 1),
                      true, graves);
        }
        if (PyErr_Occurred()) throw_error();
        if (inst_dict != nullptr) instance_dict_restore(self, inst_dict);
        Py_RETURN_NONE;
    });
}

PyMethodDef bag_methods[] = {
    {"add", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(bag_add)), METH_FASTCALL | METH_KEYWORDS,
     "add($self, /, items, count=1)\n--\n\nAdd count to the choice whose next start is tuple(items)."},
    {"choices", bag_choices, METH_NOARGS,
     "choices($self, /)\n--\n\nReturn an iterator of (next_start, count) in insertion order."},
    {"choose", bag_choose_method, METH_O,
     "choose($self, rng, /)\n--\n\nPick a next start at random, weighted by the counts; calls rng.random() once."},
    {"__reduce__", bag_reduce, METH_NOARGS, nullptr},
    {"__setstate__", bag_setstate, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef bag_getset[] = {
    {"unique_count", bag_unique_count, nullptr, "The number of distinct next starts.", nullptr},
    {"total", bag_total, nullptr, "The sum of all counts.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot bag_slots[] = {
    {Py_tp_doc, const_cast<char*>("Weighted choices of next starts, each a tuple of values with a count.\n\n"
                                  "Choices keep the order in which they were first added; adding a next start\n"
                                  "that is already there adds to its count.")},
    {Py_tp_new, reinterpret_cast<void*>(bag_tp_new)},
    {Py_tp_init, reinterpret_cast<void*>(bag_tp_init)},
    {Py_tp_traverse, reinterpret_cast<void*>(bag_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(bag_tp_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(bag_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(bag_iter)},
    {Py_tp_repr, reinterpret_cast<void*>(bag_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(bag_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_methods, bag_methods},
    {Py_tp_getset, bag_getset},
    {Py_sq_length, reinterpret_cast<void*>(bag_length)},
    {Py_sq_contains, reinterpret_cast<void*>(bag_contains)},
    {0, nullptr},
};

// ---------------------------------------------------------------------------
// Iterators over a bag: next starts (kind 0) or (next start, count) pairs.

struct BagIter {
    PyObject_HEAD
    PyObject* bag;  // nullptr once exhausted
    Py_ssize_t index;
    Py_ssize_t size;  // at the start: a bag that grows stops the iteration
    int kind;
};

PyObject* bag_iter_make(PyObject* self, int kind) {
    State* st = bag_state(self);
    if (st == nullptr) return nullptr;
    BagIter* it = PyObject_GC_New(BagIter, st->bag_iter_type);
    if (it == nullptr) return nullptr;
    it->bag = Ref::borrow(self).release();
    it->index = 0;
    it->size = bag_size(as_bag(self));
    it->kind = kind;
    PyObject_GC_Track(it);
    return reinterpret_cast<PyObject*>(it);
}

PyObject* bag_iter_next(PyObject* self) {
    BagIter* it = reinterpret_cast<BagIter*>(self);
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (it->bag == nullptr) return nullptr;
        Bag* bag = as_bag(it->bag);
        if (bag_size(bag) != it->size) raise_changed(kBagName);
        if (it->index >= it->size) {
            Ref done(std::exchange(it->bag, nullptr));
            return nullptr;
        }
        size_t c = static_cast<size_t>(it->index++);
        Ref start = bag_next_start(bag, c);
        if (it->kind == 0) return start.release();
        Ref count = bag_count(bag, c);
        return PyTuple_Pack(2, start.get(), count.get());
    });
}

int bag_iter_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<BagIter*>(self)->bag);
    return 0;
}

int bag_iter_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<BagIter*>(self)->bag);
    return 0;
}

void bag_iter_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    bag_iter_clear(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyObject* bag_iter_length_hint(PyObject* self, PyObject*) {
    BagIter* it = reinterpret_cast<BagIter*>(self);
    Py_ssize_t left = it->bag != nullptr && bag_size(as_bag(it->bag)) == it->size ? it->size - it->index : 0;
    return PyLong_FromSsize_t(left);
}

PyMethodDef bag_iter_methods[] = {
    {"__length_hint__", bag_iter_length_hint, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot bag_iter_slots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(bag_iter_next)},
    {Py_tp_traverse, reinterpret_cast<void*>(bag_iter_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(bag_iter_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(bag_iter_dealloc)},
    {Py_tp_methods, bag_iter_methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec bag_spec = {"tesmo.bag.ProbabilityBag", sizeof(Bag), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE, bag_slots};
PyType_Spec bag_iter_spec = {"tesmo._chain.bag_iterator", sizeof(BagIter), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, bag_iter_slots};

}  // namespace pjson

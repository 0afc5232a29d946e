// The native chain: a vocabulary that holds every value of a chain once,
// bags whose next starts are small arrays of vocabulary ids with counts kept
// as machine integers while they fit, the chain that maps starts to bags,
// the tokenizer of training text, and the walks that train and generate.
//
// Three Python types carry the data: Vocabulary (hidden; shared by a chain
// and the bags it made), ProbabilityBag and Chain; a chain keeps each start's
// choices in a plain block (BagData) and makes the start's ProbabilityBag
// only when Python code asks for it. A value is identified by
// its id in one vocabulary; equal values of the same plain type share an id,
// values that are merely equal (1, 1.0, True) keep ids of their own, so that
// everything a chain gives back is the object that was put in.
//
// The files, one per role: vocab.cpp (values and their ids), bag_store.cpp
// (a bag's block of choices; its layout in block.h), bag_choose.cpp
// (choose()), bag.cpp (the ProbabilityBag type), chain_store.cpp (the
// chain's entries), chain.cpp (the Chain type), frequencies.cpp (the
// frequency mapping), views.cpp (iterators and the items view),
// pickling.cpp, capi.cpp (the C API of chain_api.h), text.cpp (the
// tokenizer), walk.cpp (training and generating), module.cpp (start-up).
#pragma once

#include "chain/chain_api.h"
#include "module/refs.h"

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace pjson {

// ---------------------------------------------------------------------------
// Module state: the types and the names every part uses.
struct State {
    PyTypeObject* vocab_type;
    PyTypeObject* bag_type;
    PyTypeObject* chain_type;
    PyTypeObject* bag_iter_type;
    PyTypeObject* chain_iter_type;
    PyTypeObject* items_type;
    PyObject* zero;  // the int 0 that new counts are added to
    PyObject* sum;   // builtins.sum, for totals of counts that are not machine integers
    PyObject* s_add;
    PyObject* s_choose;
    PyObject* s_random;
    PyObject* s_bags;    // "_bags" and "_counts": the state that pickles of the
    PyObject* s_counts;  // pure-Python classes carried
    PyObject* s_dict;
    PyObject* slotnames;  // copyreg._slotnames
    TesmoChainAPI api;
};

State* state_of(PyTypeObject* type);  // the state of the module that defined `type` or a base of it
State* state_of_module(PyObject* module);

// A short array kept inline; next starts rarely hold more than a few values,
// and the hot paths must not allocate for them.
template <class T, size_t N = 8>
class Small {
public:
    Small() = default;
    Small(const Small&) = delete;
    Small& operator=(const Small&) = delete;
    void resize(size_t n) {
        if (n > N) {
            heap_.resize(n);
            data_ = heap_.data();
        } else {
            data_ = inline_;
        }
        size_ = n;
    }
    void push_back(T value) {
        if (size_ < N && data_ == inline_) {
            inline_[size_++] = value;
            return;
        }
        if (data_ == inline_) heap_.assign(inline_, inline_ + size_);
        heap_.push_back(value);
        data_ = heap_.data();
        ++size_;
    }
    void clear() noexcept { size_ = 0; }
    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    size_t size() const noexcept { return size_; }
    T& operator[](size_t i) noexcept { return data_[i]; }
    T* begin() noexcept { return data_; }
    T* end() noexcept { return data_ + size_; }

private:
    T inline_[N] = {};
    std::vector<T> heap_;
    T* data_ = inline_;
    size_t size_ = 0;
};

// A list, and every list within it, as the equal tuple; any other value as
// it is. Readers hand a JSON array over as a list, and a chain stores it as
// the tuple (hashable, and equal to what the writers wrote).
Ref frozen_value(PyObject* value);

// The values of a next start as `tuple(items)` reads them, kept alive, with
// every list among them stored as its tuple (frozen_value): an exact tuple
// without lists is used as it is, anything else is copied or iterated.
class NextStartValues {
public:
    NextStartValues() = default;
    NextStartValues(const NextStartValues&) = delete;
    NextStartValues& operator=(const NextStartValues&) = delete;
    ~NextStartValues() { release(); }
    void collect(PyObject* items);
    // Values given as an array that the caller keeps alive meanwhile.
    void adopt(PyObject* const* values, size_t n);
    PyObject* const* data() const noexcept {
        if (frozen_.size() > 0) return frozen_.data();
        return tuple_ ? &PyTuple_GET_ITEM(tuple_.get(), 0) : given_ != nullptr ? given_ : owned_.data();
    }
    size_t size() const noexcept {
        if (frozen_.size() > 0) return frozen_.size();
        if (tuple_) return static_cast<size_t>(PyTuple_GET_SIZE(tuple_.get()));
        return given_ != nullptr ? given_size_ : owned_.size();
    }

private:
    void freeze_lists();
    void release() noexcept {
        for (PyObject* v : owned_) Py_DECREF(v);
        owned_.clear();
        for (PyObject* v : frozen_) Py_DECREF(v);
        frozen_.clear();
        tuple_ = Ref();
        given_ = nullptr;
    }
    Ref tuple_;
    PyObject* const* given_ = nullptr;  // borrowed
    size_t given_size_ = 0;
    Small<PyObject*> owned_;   // references owned
    Small<PyObject*> frozen_;  // references owned: the values once lists were frozen
};

// Values freed by an operation are released only once its structures are
// consistent again: releasing may run arbitrary code (__del__).
class Graveyard {
public:
    Graveyard() = default;
    Graveyard(const Graveyard&) = delete;
    Graveyard& operator=(const Graveyard&) = delete;
    ~Graveyard();
    void bury(PyObject* stolen);

private:
    std::vector<PyObject*> dead_;
};

// Every entry point runs its body through here: a PyError leaves as the set
// Python exception, std::bad_alloc as MemoryError; nothing else is thrown.
template <class R, class F>
R guarded(R failure, F&& body) noexcept {
    try {
        return body();
    } catch (PyError&) {
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    }
    return failure;
}

[[noreturn]] void raise_key_error(PyObject* key);
[[noreturn]] void raise_changed(const char* what);  // RuntimeError "<what> changed size during iteration"

// CPython's tuple hash (the xxHash-based mix of tuplehash), computed from
// the hashes of the items, so that a next start hashes as its tuple does.
template <class HashOf>
Py_hash_t tuple_hash_by(size_t n, HashOf hash_of) noexcept {
#if SIZEOF_PY_UHASH_T > 4
    const Py_uhash_t prime1 = 11400714785074694791ULL, prime2 = 14029467366897019727ULL,
                     prime5 = 2870177450012600261ULL;
    auto rotate = [](Py_uhash_t x) { return (x << 31) | (x >> 33); };
#else
    const Py_uhash_t prime1 = 2654435761UL, prime2 = 2246822519UL, prime5 = 374761393UL;
    auto rotate = [](Py_uhash_t x) { return (x << 13) | (x >> 19); };
#endif
    Py_uhash_t acc = prime5;
    for (size_t i = 0; i < n; ++i) {
        acc += static_cast<Py_uhash_t>(hash_of(i)) * prime2;
        acc = rotate(acc);
        acc *= prime1;
    }
    acc += static_cast<Py_uhash_t>(n) ^ (prime5 ^ 3527539UL);
    if (acc == static_cast<Py_uhash_t>(-1)) return 1546275796;
    return static_cast<Py_hash_t>(acc);
}
Py_hash_t tuple_hash(const Py_hash_t* hashes, size_t n) noexcept;

// Plain values are exact str, int, float, bytes, bool and None, and exact
// tuples of them: comparing them never runs Python code, and equal ones hash
// alike.
bool is_plain(PyObject* value) noexcept;
// stored == probe as a dict compares keys (identity first). `ran_code` tells
// whether Python code may have run, so that the caller re-checks its state.
bool values_equal(PyObject* stored, PyObject* probe, bool& ran_code);

// ---------------------------------------------------------------------------
// Vocabulary: value -> id. Each id carries a count of its uses (a choice or a
// start that holds it, or a hold taken while an operation runs); an id whose
// uses drop to zero is removed and its number reused.
//
// An id is "aliased" once another live id held a value of the same hash:
// only aliased ids can hold values that are equal without being the same id
// (1, 1.0 and True), so a lookup whose ids are not aliased compares ids only.
struct VocabEntry {
    PyObject* value;  // nullptr: a free id
    Py_hash_t hash;
    uint32_t uses;
    bool plain;
    bool aliased;
};

class VocabTable {
public:
    ~VocabTable();
    uint32_t intern(PyObject* value, Py_hash_t hash);  // one use taken
    // As intern, for a value known to be plain (is_plain).
    uint32_t intern_plain(PyObject* value, Py_hash_t hash);
    // Room for `more` values beyond the live ones, so that interning them
    // neither grows nor rehashes the table.
    void reserve(size_t more);
    // A fresh table of `n` ids, none holding a value yet, with room for
    // them all: place_at fills them in any order.
    void presize(size_t n);
    // Puts plain `value` at the empty id `id` of a presized table, with one
    // use. Returns the id already holding a value interchangeable with it
    // instead, and then places nothing.
    uint32_t place_at(uint32_t id, PyObject* value, Py_hash_t hash) noexcept;
    void hold(uint32_t id) noexcept { ++entries_[id].uses; }
    void release(uint32_t id, Graveyard& graves);
    // Live ids only; nullptr after the collector cleared the vocabulary.
    PyObject* value(uint32_t id) const noexcept { return id < entries_.size() ? entries_[id].value : nullptr; }
    Py_hash_t hash(uint32_t id) const noexcept { return entries_[id].hash; }
    bool plain(uint32_t id) const noexcept { return entries_[id].plain; }
    bool aliased(uint32_t id) const noexcept { return entries_[id].aliased; }
    // Whether live id `id` holds a plain value that `value` would be interned
    // to (so interning it would give `id`). Never runs Python code.
    bool holds_plain(uint32_t id, PyObject* value) const noexcept;
    size_t bound() const noexcept { return entries_.size(); }
    size_t live() const noexcept { return live_; }
    bool all_plain() const noexcept { return nonplain_ == 0; }  // every live value is plain
    // The live id of the str whose text is these ASCII bytes (its hash
    // `hash`, as str_hash_ascii gives it), or kNoId; takes no use.
    uint32_t find_ascii(const char* text, size_t length, Py_hash_t hash) const noexcept;
    // The live id of the tuple of these live ids' values (its hash `hash`,
    // as tuple_hash gives it from theirs), or kNoId; takes no use.
    uint32_t find_tuple(const uint32_t* ids, size_t length, Py_hash_t hash) const noexcept;
    static constexpr uint32_t kNoId = UINT32_MAX;
    void clear(Graveyard& graves);
    int traverse(visitproc visit, void* arg);

private:
    void rehash(size_t slots);
    uint32_t place(PyObject* value, Py_hash_t hash, int plain);  // plain: -1 unknown, else 0 or 1
    // The empty slot where `value` goes, or (`found`, else kNoId) the id
    // of a value interchangeable with it; marks the entries of equal hash
    // that it meets aliased.
    size_t probe(PyObject* value, Py_hash_t hash, bool& aliased, uint32_t& found) noexcept;
    void fill(uint32_t id, size_t slot, PyObject* value, Py_hash_t hash, bool plain, bool aliased) noexcept;
    void unlink(uint32_t id);
    std::vector<VocabEntry> entries_;
    std::vector<uint32_t> free_;
    // Linear probing. A slot holds id + 1 (0: empty) and the low bits of the
    // value's hash, so that a probe passes other values without reading
    // their entries.
    struct Slot {
        uint32_t tag;
        uint32_t id1;
    };
    static uint32_t tag_of(Py_hash_t hash) noexcept { return static_cast<uint32_t>(static_cast<size_t>(hash)); }
    // The slot where the value of `slot` would be placed first.
    size_t home(const Slot& slot, size_t mask) const noexcept {
        if (mask <= UINT32_MAX) return slot.tag & mask;
        return static_cast<size_t>(entries_[slot.id1 - 1].hash) & mask;
    }
    std::vector<Slot> slots_;
    size_t live_ = 0;
    size_t nonplain_ = 0;  // live values that are not plain
};

// hash(s) of the str whose text is these ASCII bytes, without making it.
Py_hash_t str_hash_ascii(const char* text, size_t length) noexcept;

struct Vocab {
    PyObject_HEAD
    VocabTable* table;
};

Vocab* vocab_new(State* st);
// The value of a live id as a new reference; RuntimeError once the
// collector has cleared the vocabulary.
Ref vocab_value(Vocab* vocab, uint32_t id);

// Ids held for the length of one operation, released when it ends.
class Holds {
public:
    explicit Holds(Graveyard& graves) : graves_(graves) {}
    Holds(const Holds&) = delete;
    Holds& operator=(const Holds&) = delete;
    ~Holds() { drop(); }
    void take(Vocab* vocab, uint32_t id);  // records one use already taken
    void drop() noexcept;
    void keep() noexcept { ids_.clear(); }  // the uses now belong to the data

private:
    Graveyard& graves_;
    Ref vocab_;
    Small<uint32_t> ids_;
};

// ---------------------------------------------------------------------------
// The choices of one start (bag_store.cpp): a counted block that a chain
// owns for each start until Python code asks for the start's bag object,
// which then owns it. An operation that may run Python code pins the block
// (BagPin), so that it outlives a chain cleared meanwhile.
//
// Each choice is a record of 32-bit words: its count (one word while every
// count of the bag fits 32 bits, two once one does not), then the ids of its
// next start. A bag whose next starts all have the same length finds a
// record by its number; others keep the start of each record. Bags of more
// than a few choices have a hash index of 8, 16 or 32-bit slots. Counts that
// are no machine integers live apart, in `extra`.
struct BagExtra;

struct BagData {
    uint32_t refs;
    uint32_t picks;      // picks drawing from the block (bag_pick)
    uint32_t size;       // choices
    uint32_t cap;        // choices there is room for
    uint32_t words;      // words of `records` in use
    uint32_t words_cap;  // words of `records` allocated
    uint8_t width;       // ids per choice while they agree
    bool mixed;          // lengths differ: `offsets` finds the records
    bool wide;           // counts take two words
    uint8_t index_bits;  // log2 of the index slots; 0: no index
    uint8_t whole;       // parts allocated with the block itself (block.h: kWholeRecords, ...)
    Vocab* vocab;        // owned; nullptr until the first choice
    uint64_t stamp;      // changes whenever a choice is added or the ids change
    uint64_t adds;       // every add, counts included
    uint32_t* records;
    uint32_t* offsets;  // mixed: the first word of each record, then the end
    void* index;        // index + 1 of a choice, 0 for empty; linear probing
    BagExtra* extra;    // nullptr until a count is no machine integer or choose() runs
};

BagData* bag_data_new(Vocab* vocab);  // one reference; `vocab` may be nullptr
void bag_data_incref(BagData* data) noexcept;
void bag_data_decref(BagData* data, Graveyard& graves) noexcept;
void bag_data_reset(BagData* data, Graveyard& graves) noexcept;  // empty again, the same block
int bag_data_traverse(BagData* data, visitproc visit, void* arg);

// Keeps a bag's block alive while Python code may run.
class BagPin {
public:
    explicit BagPin(BagData* data) noexcept : data_(data) { bag_data_incref(data); }
    BagPin(const BagPin&) = delete;
    BagPin& operator=(const BagPin&) = delete;
    ~BagPin() {
        Graveyard graves;
        bag_data_decref(data_, graves);
    }
    BagData* get() const noexcept { return data_; }

private:
    BagData* data_;
};

inline size_t bag_size(const BagData* d) noexcept { return d->size; }
void bag_span(const BagData* d, size_t index, const uint32_t*& ids, size_t& length) noexcept;
bool bag_count_native(const BagData* d, size_t index, int64_t& count) noexcept;  // false: see bag_count_object
PyObject* bag_count_object(const BagData* d, size_t index) noexcept;             // borrowed
Ref bag_count(const BagData* d, size_t index);
// The tuple of a choice's values, and the choice with its count, as they
// were when called: whatever making them runs cannot change what they hold.
Ref bag_next_start(const BagData* d, size_t index);
struct Choice {
    Ref next_start;
    Ref count;
};
Choice bag_choice(const BagData* d, size_t index);
Py_hash_t bag_choice_hash(const BagData* d, size_t index) noexcept;

// One next start to look up or add: its values, their hashes and, once
// interned into the bag's vocabulary, their ids.
struct Probe {
    PyObject* const* values;
    const Py_hash_t* hashes;
    const uint32_t* ids;  // nullptr when not interned
    size_t length;
    Py_hash_t hash;
};

// The hashes of a next start's values and its own, as its tuple's.
struct Hashed {
    Small<Py_hash_t> hashes;
    Py_hash_t hash;
};
void hash_values(PyObject* const* values, size_t n, Hashed& out);

// A list or tuple of collected items, made only once all of them exist.
Ref list_of(std::vector<Ref>& items);
Ref tuple_of(std::vector<Ref>& items);

enum class Find { found, absent, changed };
// Looks a next start up; `changed` when Python code that compared values
// changed the bag.
Find bag_find(BagData* d, const Probe& p, size_t& index);

// A count to add: a Python number, or a machine integer that has no object
// (made only if Python arithmetic needs one).
struct CountArg {
    PyObject* object;  // borrowed; nullptr: `value` is the count
    int64_t value = 0;
    Ref make() const { return object != nullptr ? Ref::borrow(object) : check(PyLong_FromLongLong(value)); }
};

// Adds `count` to the choice of these values, as `counts.get(key, 0) + count`;
// with `assign`, sets the count instead. `known_ids`, ids of `known_vocab`
// held by the caller, spare interning while that is the bag's vocabulary.
void bag_add_probe(State* st, BagData* d, PyObject* const* values, const Py_hash_t* hashes, size_t length,
                   Py_hash_t hash, const CountArg& count, bool assign, Graveyard& graves, Vocab* known_vocab = nullptr,
                   const uint32_t* known_ids = nullptr);
void bag_add_values(State* st, BagData* d, PyObject* const* values, size_t length, PyObject* count);
// The same with the values given as ids of `from` (training), whose hashes
// are known.
void bag_add_ids(State* st, BagData* d, Vocab* from, const uint32_t* ids, size_t length, PyObject* count);
// Training's add of one (or of `count`) to a next start given as live ids of
// the bag's own vocabulary. Runs no Python code; false when it cannot decide
// without (aliased ids, counts that are objects or overflow): use
// bag_add_ids.
bool bag_add_one(BagData* d, const uint32_t* ids, size_t length, Graveyard& graves, int64_t count = 1);
// bag_add_one of one to a next start of the single live id `id` that the
// block already holds as a choice, in a block of narrow counts and no counts
// as objects; false, nothing done, for anything else.
bool bag_bump_one(BagData* d, uint32_t id) noexcept;
// bag_add_one of one to a next start of the single live id `id`: counted
// once more or appended, in a block of one-id records (or none yet) with
// narrow counts and no counts as objects; false, nothing done, for anything
// else.
bool bag_count_one(BagData* d, uint32_t id, Graveyard& graves);
// bag.add(values, count) for a reader that knows the values' likely ids in
// `vocab` (`hints`, kNoHint for none). A hint stands for its value while its
// id holds a plain value interchangeable with it; the others are interned,
// and `hints` ends up holding every value's id. Values that are not all plain
// go the way bag_add_values takes them.
constexpr uint32_t kNoHint = UINT32_MAX;
void bag_add_hinted(State* st, BagData* d, Vocab* vocab, PyObject* const* values, uint32_t* hints, size_t length,
                    const CountArg& count);
// Fills an empty block of a vocabulary with `count` choices given one after
// the other in `choices` (`words` words): each as its length, its count
// (low, then high 32 bits) and the ids of its next start, live ids of the
// block's vocabulary. The block then holds what adding them one by one
// gives; false, nothing done, when only adding them one by one finds that
// (aliased ids, or a next start given twice).
bool block_fill(BagData* d, const uint32_t* choices, size_t words, size_t count);
// As block_fill into a new block of `vocab` made in one allocation with its
// records, record starts and index; nullptr, nothing done, where block_fill
// would give false.
BagData* block_new_filled(Vocab* vocab, const uint32_t* choices, size_t words, size_t count);
// Moves the bag's values into `vocab`, so that a chain's bags share its ids.
void bag_rehome(BagData* d, Vocab* vocab, Graveyard& graves);

// choose(): the pick as the next start itself (`next_start`, when set), or
// as a choice number (`index`, while counts are machine integers): the
// choice that the draw picked from the totals computed before rng.random()
// ran. A block never loses a choice while a pick draws from it (bag_renew
// leaves it to the pick), so `index` is a valid choice of `d` as it is when
// the call returns, for a caller that holds `d` (a BagPin) across the call;
// nothing else read from the chain before the call survives it.
struct Pick {
    size_t index;
    Ref next_start;
};
Pick bag_pick(State* st, BagData* d, PyObject* rng);
Ref bag_choose(State* st, BagData* d, PyObject* rng);

// ---------------------------------------------------------------------------
// ProbabilityBag: the Python face of a block.
struct Bag {
    PyObject_HEAD
    BagData* data;  // never nullptr once made
};

Bag* bag_new(State* st, Vocab* vocab);  // vocab may be nullptr
// Empties the bag, as __init__ and __setstate__ do. A block that a pick is
// drawing from is left to the pick, and the bag takes a new one.
void bag_renew(Bag* bag, Graveyard& graves);
Bag* bag_wrap(State* st, BagData* data);  // takes over one reference of `data`
inline BagData* bag_data(PyObject* bag) noexcept { return reinterpret_cast<Bag*>(bag)->data; }
// == of two bags' choices and counts, and the repr of a bag.
bool bag_data_equal(BagData* a, BagData* b);
Ref bag_data_repr(BagData* d);

// ---------------------------------------------------------------------------
// Chain.
//
// An entry owns its start's block (`data`) until Python code asks for the
// bag; from then on, and for whatever set_bag installed, it holds the bag
// object (`bag`) instead.
struct ChainEntry {
    uint32_t start;  // id in the chain's vocabulary
    BagData* data;   // owned, or nullptr
    PyObject* bag;   // owned, or nullptr
};
struct ChainStore {
    std::vector<ChainEntry> entries;
    std::vector<uint32_t> slots;        // index + 1 of an entry, 0 for empty; linear probing
    std::vector<uint32_t> entry_of_id;  // per id of the chain's vocabulary: its entry, or kNone
    uint64_t clears = 0;
};

struct Chain {
    PyObject_HEAD
    Vocab* vocab;
    ChainStore* store;
    uint64_t stamp;  // changes whenever a start is added or the chain is cleared
};

Py_ssize_t chain_size(Chain* chain) noexcept;
const ChainEntry* chain_entry(Chain* chain, size_t index) noexcept;
// The block of an entry whose bag is native and exact (not a subclass):
// the entry's own, or its bag object's; nullptr for any other bag.
BagData* chain_entry_data(State* st, const ChainEntry* entry) noexcept;
// The bag object of entry `index`, made now if the entry has none yet.
Ref chain_entry_bag(State* st, Chain* chain, size_t index);
Vocab* chain_vocab(State* st, Chain* chain);  // created on first use
void chain_clear(Chain* chain);
// chain_clear for a chain that goes away.
void chain_drop(Chain* chain);
void chain_set_bag(State* st, Chain* chain, PyObject* start, PyObject* bag);
void chain_add_values(State* st, Chain* chain, PyObject* start, PyObject* items, PyObject* const* values, size_t length,
                      PyObject* count);
// add_to_bag(start, items, count) for a reader that has the next start's
// values at hand, with id hints as bag_add_hinted takes them (`start_hint`
// for the start). A bag that is not an exact ProbabilityBag gets
// bag.add(make_items(ctx), count): the object add_to_bag would have passed.
using ItemsMaker = PyObject* (*)(void* ctx);
void chain_add_hinted(State* st, Chain* chain, PyObject* start, uint32_t* start_hint, PyObject* const* values,
                      uint32_t* hints, size_t length, const CountArg& count, ItemsMaker make_items, void* ctx);
// The entry of a start given as a held id of the chain's vocabulary,
// created with an empty block when absent. Returns its index.
size_t chain_entry_for_id(State* st, Chain* chain, uint32_t start);
// Looks a start up, by value or by an id of the chain's vocabulary;
// false when absent (no error set).
bool chain_find(Chain* chain, PyObject* start, size_t& index);
bool chain_find_id(Chain* chain, uint32_t start, size_t& index);

// A chain that no Python code can reach (the collector does not track it),
// sharing the vocabulary of `like`: a reader fills it and then hands its
// content over (chain_take_content) or adds it in.
Ref chain_private(State* st, Chain* like);
// set_bag(start, bag) with the start given as a held id of the chain's
// vocabulary and the bag as a block of that vocabulary, which the chain
// takes over (released if that fails).
void chain_install_block(Chain* chain, uint32_t start, BagData* data);
// `into` takes the content of `from`, which gets the content `into` had;
// iterators over `into` see it cleared.
void chain_take_content(Chain* into, Chain* from) noexcept;

// Frequencies of the chain's values in first-seen order; false when some
// bag is not a native bag sharing the chain's vocabulary.
bool chain_frequencies(Chain* chain, std::vector<Ref>& values, std::vector<Py_ssize_t>& counts,
                       std::vector<uint32_t>& entry_of_id);
Ref chain_frequency_dict(Chain* chain);
// The same by id, for a chain whose values met are all plain: per entry the
// id of its first-seen value. False when some bag is not a native bag
// sharing the chain's vocabulary, or a value is not plain. Runs no Python
// code.
bool chain_id_frequencies(Chain* chain, std::vector<uint32_t>& ids, std::vector<Py_ssize_t>& counts,
                          std::vector<uint32_t>& entry_of_id);
// The same from occurrences counted elsewhere: `per_id` per id of the
// vocabulary, `order` the live ids met, in the order first met. False when
// a value is not plain. Runs no Python code.
bool vocabulary_id_frequencies(const VocabTable& t, std::span<const uint32_t> order, std::span<const Py_ssize_t> per_id,
                               std::vector<uint32_t>& ids, std::vector<Py_ssize_t>& counts,
                               std::vector<uint32_t>& entry_of_id);

// The bag object of a start, made now if needed; empty when absent.
Ref find_bag_object(Chain* chain, PyObject* start);
// The (start, bag) pairs as a list, every bag object made.
Ref chain_pairs(Chain* chain);

// ---------------------------------------------------------------------------
// Iterators and the items view (views.cpp). A bag's iterator yields next
// starts (kind 0) or (next start, count) pairs; a chain's starts (kind 0) or
// (start, bag) pairs.
PyObject* bag_iter_make(PyObject* bag, int kind);
PyObject* chain_iter_make(PyObject* chain, int kind);
PyObject* chain_items(PyObject* chain, PyObject*);  // chain.items()

// ---------------------------------------------------------------------------
// Type specs and module functions, defined by each part.
extern PyType_Spec vocab_spec;
extern PyType_Spec bag_spec;
extern PyType_Spec bag_iter_spec;
extern PyType_Spec chain_spec;
extern PyType_Spec chain_iter_spec;
extern PyType_Spec items_spec;

// The tokens of tesmo.train.tokenize, delivered as they are found: a token
// as code points (valid only during the call), None as a boundary.
class TokenSink {
public:
    virtual ~TokenSink() = default;
    virtual void token(const char32_t* text, size_t length) = 0;
    virtual void boundary() = 0;
};
// Reads `sources` (an iterable of iterables of str chunks) as tokenize does.
void tokenize_sources(PyObject* sources, TokenSink& sink);

PyObject* mod_tokenize(PyObject* module, PyObject* sources);
// The walks' argument checks: a Chain, and the count of arguments.
Chain* chain_argument(State* st, PyObject* obj, const char* fname);
void expect_args(const char* fname, Py_ssize_t nargs, Py_ssize_t expected);
PyObject* mod_train(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* mod_train_text(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* mod_generate_sentence(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* mod_corpus_windows(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* mod_reproduces(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* mod_bad_count(PyObject* module, PyObject* chain);
PyObject* mod_has_lone_surrogate(PyObject* module, PyObject* chain);
PyObject* mod_choice_count(PyObject* module, PyObject* chain);
void api_fill(State* st);
void build_api_fill(TesmoChainAPI& api);  // chain_build.cpp

// __reduce__ and __setstate__ of ProbabilityBag and Chain (pickling.cpp).
PyObject* bag_reduce(PyObject* self, PyObject*);
PyObject* bag_setstate(PyObject* self, PyObject* state);
PyObject* chain_reduce(PyObject* self, PyObject*);
PyObject* chain_setstate(PyObject* self, PyObject* state);

// Snapshots (snapshot.cpp, their layout in snapshot.h): a chain's or a
// bag's content as one versioned block of bytes, and the values and counts
// those cannot hold exactly as a tuple of objects beside it. Writing runs no
// Python code until the bytes are complete.
struct Snapshot {
    Ref blob;  // bytes
    Ref side;  // tuple
};
// False (nothing made) when a start's bag is not an exact ProbabilityBag
// of the chain's vocabulary.
bool chain_snapshot(Chain* chain, Snapshot& out);
Snapshot bag_snapshot(BagData* d);
// Replace the content with a snapshot's, built apart and swapped in whole;
// a snapshot that is cut short, reordered or made up raises ValueError and
// leaves the chain or bag as it was.
void chain_restore(State* st, Chain* chain, PyObject* blob, PyObject* side);
void bag_restore(State* st, Bag* bag, PyObject* blob, PyObject* side);
// Adds every choice of a chain's snapshot to `chain` in order, as
// add_to_bag(start, next start, count) per choice would (join.cpp). The
// snapshot is checked whole before the chain is touched.
void chain_join(State* st, Chain* chain, PyObject* blob, PyObject* side);
PyObject* mod_snapshot(PyObject* module, PyObject* obj);
PyObject* mod_join(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* bag_reduce_ex(PyObject* self, PyObject* protocol);
PyObject* chain_reduce_ex(PyObject* self, PyObject* protocol);

// Keyword-and-position argument parsing for the methods (METH_FASTCALL |
// METH_KEYWORDS), with the interpreter's messages.
void parse_args(const char* fname, const char* const* names, Py_ssize_t required, Py_ssize_t total,
                PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

}  // namespace pjson

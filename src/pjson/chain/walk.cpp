// The training walks of tesmo.train on a native chain: from tokens or
// straight from text.
#include "chain/chain.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <string>

namespace pjson {

namespace {

Chain* as_chain(PyObject* o) { return reinterpret_cast<Chain*>(o); }

State* module_state(PyObject* module) { return state_of_module(module); }

// The order checks of train(): order < 1 is refused, and the order must fit
// a tuple's length, as (None,) * order demands.
size_t order_argument(PyObject* order) {
    if (!PyLong_Check(order)) {
        PyErr_SetString(PyExc_TypeError, "order must be an int");
        throw_error();
    }
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(order, &overflow);
    if (overflow < 0 || (overflow == 0 && n < 1)) {
        PyErr_SetString(PyExc_ValueError, "order must be at least 1");
        throw_error();
    }
    if (overflow > 0 || n >= PY_SSIZE_T_MAX) {
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C ssize_t");
        throw_error();
    }
    return static_cast<size_t>(n);
}

// add_to_bag(start, next start) with both given as held ids of the chain's
// vocabulary: natively while the start's bag is a native one, else through
// its add method.
void add_ids(State* st, Chain* chain, BagData* data, PyObject* entry_bag, const uint32_t* ids, size_t order,
             PyObject* one) {
    if (data != nullptr) {
        {
            Graveyard graves;
            if (data->vocab == chain->vocab && bag_add_one(data, ids, order, graves)) return;
        }
        BagPin pin(data);
        bag_add_ids(st, data, chain->vocab, ids, order, one);
        return;
    }
    Ref bag = Ref::borrow(entry_bag);
    std::vector<Ref> values;
    for (size_t i = 0; i < order; ++i) values.push_back(vocab_value(chain->vocab, ids[i]));
    Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(order)));
    for (size_t i = 0; i < order; ++i) PyTuple_SET_ITEM(tuple.get(), i, values[i].release());
    Ref add = check(PyObject_GetAttr(bag.get(), st->s_add));
    PyObject* args[3] = {nullptr, tuple.get(), one};
    check(PyObject_Vectorcall(add.get(), args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Token text -> id of the chain's vocabulary, so that each distinct word
// becomes a Python str once. Open addressing over the texts kept end to end.
class TokenIds {
public:
    TokenIds(Vocab* vocab, Graveyard& graves) : vocab_(vocab), graves_(graves), slots_(1024) {}
    TokenIds(const TokenIds&) = delete;
    TokenIds& operator=(const TokenIds&) = delete;
    ~TokenIds() {
        for (const Slot& s : slots_)
            if (s.length != kEmpty) vocab_->table->release(s.id, graves_);
    }

    uint32_t id(const char32_t* text, size_t length) {
        uint32_t h = hash(text, length);
        size_t i = find(text, length, h);
        if (slots_[i].length != kEmpty) return slots_[i].id;
        if (length >= kEmpty || texts_.size() + length >= UINT32_MAX) throw std::bad_alloc();
        texts_.reserve(texts_.size() + length);
        if ((count_ + 1) * 2 > slots_.size()) {
            grow();
            i = find(text, length, h);
        }
        Ref str = check(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, text, static_cast<Py_ssize_t>(length)));
        Py_hash_t str_hash = PyObject_Hash(str.get());
        if (str_hash == -1) throw_error();
        uint32_t id = vocab_->table->intern(str.get(), str_hash);
        slots_[i] = Slot{static_cast<uint32_t>(texts_.size()), static_cast<uint32_t>(length), id, h};
        texts_.append(text, length);
        ++count_;
        return id;
    }

private:
    static constexpr uint32_t kEmpty = UINT32_MAX;
    struct Slot {
        uint32_t offset;
        uint32_t length = kEmpty;
        uint32_t id;
        uint32_t hash;
    };

    // The slot that holds the text, or the empty one where it goes.
    size_t find(const char32_t* text, size_t length, uint32_t h) const noexcept {
        size_t mask = slots_.size() - 1;
        size_t i = h & mask;
        for (; slots_[i].length != kEmpty; i = (i + 1) & mask) {
            const Slot& s = slots_[i];
            if (s.hash == h && s.length == length && same_text(texts_.data() + s.offset, text, length)) break;
        }
        return i;
    }

    // Two code points to a word: most tokens are a few words long.
    static uint64_t pair_at(const char32_t* text) noexcept {
        uint64_t word;
        std::memcpy(&word, text, sizeof word);
        return word;
    }

    static bool same_text(const char32_t* a, const char32_t* b, size_t length) noexcept {
        size_t i = 0;
        for (; i + 2 <= length; i += 2)
            if (pair_at(a + i) != pair_at(b + i)) return false;
        return i == length || a[i] == b[i];
    }

    static uint32_t hash(const char32_t* text, size_t length) noexcept {
        constexpr uint64_t kMul = 0xFF51AFD7ED558CCDULL;
        uint64_t h = 0x9E3779B97F4A7C15ULL ^ length;
        size_t i = 0;
        // The rotation brings the product's well-mixed high half down, so
        // that both code points of a word reach the low bits.
        for (; i + 2 <= length; i += 2) h = std::rotl((h ^ pair_at(text + i)) * kMul, 32);
        if (i < length) h = std::rotl((h ^ text[i]) * kMul, 32);
        return static_cast<uint32_t>(h ^ (h >> 29));
    }

    void grow() {
        std::vector<Slot> slots(slots_.size() * 2);
        size_t mask = slots.size() - 1;
        for (const Slot& s : slots_) {
            if (s.length == kEmpty) continue;
            size_t i = s.hash & mask;
            while (slots[i].length != kEmpty) i = (i + 1) & mask;
            slots[i] = s;
        }
        slots_.swap(slots);
    }

    Vocab* vocab_;
    Graveyard& graves_;
    std::vector<Slot> slots_;
    std::u32string texts_;
    size_t count_ = 0;
};

// Tuple states (order 2 and up): the ids of N tokens -> the id of their
// tuple in the chain's vocabulary, so that each distinct state becomes a
// Python tuple once. Open addressing over the keys kept end to end.
class StateIds {
public:
    StateIds(Vocab* vocab, size_t order, Graveyard& graves)
        : vocab_(vocab), order_(order), graves_(graves), slots_(order > 1 ? 256 : 0), mask_(255) {}
    StateIds(const StateIds&) = delete;
    StateIds& operator=(const StateIds&) = delete;
    ~StateIds() {
        for (uint32_t id : tuples_) vocab_->table->release(id, graves_);
        for (uint32_t id : keys_) vocab_->table->release(id, graves_);
    }

    // The slot that holds the key of hash `h`, or the empty one where it
    // goes: good until the next id().
    size_t find(const uint32_t* ids, uint32_t h) const noexcept {
        size_t i = h & mask_;
        for (; slots_[i].entry != 0; i = (i + 1) & mask_) {
            const Slot& s = slots_[i];
            if (s.hash == h && s.first == ids[0] && s.second == ids[1] &&
                (order_ == 2 || same_key(ids, keys_.data() + (s.entry - 1) * order_)))
                break;
        }
        return i;
    }

    // Where the chain entry of the key in slot `i` was last found (index +
    // 1), 0 for none or for a key not yet added.
    uint32_t place_at(size_t i) const noexcept { return slots_[i].place; }

    // The tuple's id, for the key that find() gave slot `i`, and in `place`
    // where its chain entry was last found (index + 1, 0 for none; valid
    // until the next call), for the caller to check and update.
    uint32_t id(const uint32_t* ids, uint32_t h, size_t i, uint32_t*& place) {
        if (slots_[i].entry == 0) return add(ids, h, i, place);
        place = &slots_[i].place;
        return slots_[i].tuple;
    }

    uint32_t hash(const uint32_t* ids) const noexcept {
        uint64_t h = 0x9E3779B97F4A7C15ULL;
        if (order_ == 2) {
            h = (h ^ ids[0]) * 0xFF51AFD7ED558CCDULL;
            h = (h ^ ids[1]) * 0xFF51AFD7ED558CCDULL;
        } else {
            for (size_t e = 0; e < order_; ++e) h = (h ^ ids[e]) * 0xFF51AFD7ED558CCDULL;
        }
        return static_cast<uint32_t>(h ^ (h >> 32));
    }

    // Asks for the slot where the state of hash `h` is looked up next, so
    // that reading it overlaps with the work before that.
    void prefetch(uint32_t h) const noexcept {
        if (!slots_.empty()) __builtin_prefetch(&slots_[h & mask_]);
    }

private:
    // A new key in the empty slot `i`: its tuple made and interned.
    __attribute__((noinline)) uint32_t add(const uint32_t* ids, uint32_t h, size_t i, uint32_t*& place) {
        if (tuples_.size() >= UINT32_MAX - 1) throw std::bad_alloc();
        // Room first, so that nothing fails once the tuple holds its id.
        grow_to(keys_, keys_.size() + order_);
        grow_to(tuples_, tuples_.size() + 1);
        if ((tuples_.size() + 1) * 2 > mask_ + 1) {
            grow();
            i = find(ids, h);
        }
        // The values are held before the tuple is made: making it may run
        // the collector. values_ keeps its room from one state to the next.
        values_.clear();
        for (size_t e = 0; e < order_; ++e) values_.push_back(vocab_value(vocab_, ids[e]));
        Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(order_)));
        for (size_t e = 0; e < order_; ++e)
            PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(e), values_[e].release());
        Py_hash_t tuple_hash = PyObject_Hash(tuple.get());
        if (tuple_hash == -1) throw_error();
        uint32_t id = vocab_->table->intern(tuple.get(), tuple_hash);
        // The keys hold their ids, so that no other value takes their numbers.
        for (size_t e = 0; e < order_; ++e) vocab_->table->hold(ids[e]);
        keys_.insert(keys_.end(), ids, ids + order_);
        tuples_.push_back(id);
        slots_[i] = Slot{static_cast<uint32_t>(tuples_.size()), h, id, 0, ids[0], ids[1]};
        place = &slots_[i].place;
        return id;
    }

    struct Slot {
        uint32_t entry = 0;  // index + 1 into tuples_, 0 for an empty slot
        uint32_t hash = 0;
        uint32_t tuple = 0;
        uint32_t place = 0;   // index + 1 of the tuple's chain entry when last found
        uint32_t first = 0;   // the key's first two ids, so that an order-2 key is
        uint32_t second = 0;  // compared without reaching for keys_
    };

    bool same_key(const uint32_t* a, const uint32_t* b) const noexcept {
        for (size_t e = 0; e < order_; ++e)
            if (a[e] != b[e]) return false;
        return true;
    }

    static void grow_to(std::vector<uint32_t>& v, size_t size) {
        if (size > v.capacity()) v.reserve(std::max(size, 2 * v.capacity()));
    }

    void grow() {
        std::vector<Slot> slots(slots_.size() * 2);
        size_t mask = slots.size() - 1;
        for (const Slot& s : slots_) {
            if (s.entry == 0) continue;
            size_t i = s.hash & mask;
            while (slots[i].entry != 0) i = (i + 1) & mask;
            slots[i] = s;
        }
        slots_.swap(slots);
        mask_ = slots_.size() - 1;
    }

    Vocab* vocab_;
    size_t order_;
    Graveyard& graves_;
    std::vector<uint32_t> keys_;    // one use of each held
    std::vector<uint32_t> tuples_;  // one use of each held
    std::vector<Slot> slots_;
    size_t mask_;
    std::vector<Ref> values_;  // add()'s values of a new tuple
};

// The windows of train(): every token of a sentence a choice of the state
// before it, the sentence's end a choice (None,) of its last state. The
// state's ids are held, one use each, unless the caller holds every id it
// gives for the whole training (`ids_held`).
class Trainer {
public:
    Trainer(State* st, Chain* chain, Vocab* vocab, size_t order, Graveyard& graves, bool ids_held)
        : st_(st), chain_(chain), vocab_(Ref::borrow(reinterpret_cast<PyObject*>(vocab))), order_(order),
          graves_(graves), states_(vocab, order, graves), one_(check(PyLong_FromLong(1))), owns_state_(!ids_held) {
        none_ = table().intern(Py_None, PyObject_Hash(Py_None));
        state_.assign(order, none_);
        for (size_t e = 0; e < order; ++e) keep(none_);
        restate();
    }
    Trainer(const Trainer&) = delete;
    Trainer& operator=(const Trainer&) = delete;
    ~Trainer() {
        for (uint32_t id : state_) drop(id);
        table().release(none_, graves_);
    }

    // train(): the state's entry is made before the token is hashed, as
    // add_to_bag(state, (token,)) makes it, and the bag found is the one
    // added to even if hashing changed the chain meanwhile.
    void token(PyObject* obj) {
        const ChainEntry* entry = chain_entry(chain_, state_entry());
        BagData* data = chain_entry_data(st_, entry);
        std::unique_ptr<BagPin> pin(data != nullptr ? new BagPin(data) : nullptr);
        Ref bag = data != nullptr ? Ref() : Ref::borrow(entry->bag);
        Py_hash_t h = PyObject_Hash(obj);
        if (h == -1) throw_error();
        uint32_t id = table().intern(obj, h);
        shift(id);  // the state takes over the use (train() holds its ids)
        add_ids(st_, chain_, data, bag.get(), &id, 1, one_.get());
    }

    // train_text(): a token as an id its caller holds.
    void token_id(uint32_t id) {
        const ChainEntry* entry = chain_entry(chain_, state_entry());
        BagData* data = chain_entry_data(st_, entry);
        if (data == nullptr || data->vocab != chain_->vocab || !bag_bump_one(data, id))
            add_ids(st_, chain_, data, entry->bag, &id, 1, one_.get());
        keep(id);
        shift(id);
    }

    // Finds the state's slot, and asks for its chain entry, which the next
    // token looks up, so that reading it overlaps with finding the token's id.
    void prefetch_entry() noexcept {
        if (order_ == 1) return;
        found_ = states_.find(state_.data(), state_hash_);
        uint32_t place = states_.place_at(found_);
        const std::vector<ChainEntry>& entries = chain_->store->entries;
        if (place != 0 && place <= entries.size()) __builtin_prefetch(&entries[place - 1]);
    }

    void boundary() {
        if (!in_sentence_) return;
        const ChainEntry* entry = chain_entry(chain_, state_entry());
        add_ids(st_, chain_, chain_entry_data(st_, entry), entry->bag, &none_, 1, one_.get());
        for (uint32_t& id : state_) {
            keep(none_);
            drop(std::exchange(id, none_));
        }
        in_sentence_ = false;
        restate();
    }

private:
    VocabTable& table() const { return *reinterpret_cast<Vocab*>(vocab_.get())->table; }

    size_t state_entry() {
        if (chain_->vocab != reinterpret_cast<Vocab*>(vocab_.get())) {
            PyErr_SetString(PyExc_RuntimeError, "Chain changed during training");
            throw_error();
        }
        if (order_ == 1) return chain_entry_for_id(st_, chain_, state_[0]);
        size_t slot = found_ != kNotFound ? found_ : states_.find(state_.data(), state_hash_);
        found_ = kNotFound;
        uint32_t* place = nullptr;
        uint32_t start = states_.id(state_.data(), state_hash_, slot, place);
        // The entry last found for the state is still its own while it holds
        // the same start: the tuple's id is held, so no other value has it.
        const std::vector<ChainEntry>& entries = chain_->store->entries;
        if (*place != 0 && *place <= entries.size() && entries[*place - 1].start == start) return *place - 1;
        size_t index = chain_entry_for_id(st_, chain_, start);
        if (index < UINT32_MAX) *place = static_cast<uint32_t>(index + 1);
        return index;
    }

    void shift(uint32_t id) {
        uint32_t oldest = state_[0];
        uint32_t* s = state_.data();
        if (order_ == 2) {
            s[0] = s[1];  // the common order, without a call to move one id
        } else {
            for (size_t e = 1; e < order_; ++e) s[e - 1] = s[e];
        }
        s[order_ - 1] = id;
        restate();
        in_sentence_ = true;
        drop(oldest);
    }

    // The hash of the new state, and its slot asked for.
    void restate() noexcept {
        if (order_ == 1) return;
        found_ = kNotFound;
        state_hash_ = states_.hash(state_.data());
        states_.prefetch(state_hash_);
    }

    void keep(uint32_t id) {
        if (owns_state_) table().hold(id);
    }
    void drop(uint32_t id) {
        if (owns_state_) table().release(id, graves_);
    }

    State* st_;
    Chain* chain_;
    Ref vocab_;
    size_t order_;
    Graveyard& graves_;
    StateIds states_;
    Ref one_;
    uint32_t none_ = 0;
    bool owns_state_;
    std::vector<uint32_t> state_;  // oldest first
    uint32_t state_hash_ = 0;      // states_.hash(state_) from order 2 on
    static constexpr size_t kNotFound = SIZE_MAX;
    size_t found_ = kNotFound;  // the state's slot in states_, once prefetch_entry() found it
    bool in_sentence_ = false;
};

// Feeds the tokenizer's tokens to a trainer, each distinct text made a
// Python str once.
class TrainingSink : public TokenSink {
public:
    TrainingSink(Trainer& trainer, Vocab* vocab, Graveyard& graves) : trainer_(trainer), ids_(vocab, graves) {}
    void token(const char32_t* text, size_t length) override {
        trainer_.prefetch_entry();
        trainer_.token_id(ids_.id(text, length));
    }
    void boundary() override { trainer_.boundary(); }

private:
    Trainer& trainer_;
    TokenIds ids_;
};

}  // namespace

Chain* chain_argument(State* st, PyObject* obj, const char* fname) {
    if (!PyObject_TypeCheck(obj, st->chain_type)) {
        PyErr_Format(PyExc_TypeError, "%s() needs a Chain, not %.200s", fname, Py_TYPE(obj)->tp_name);
        throw_error();
    }
    return as_chain(obj);
}

void expect_args(const char* fname, Py_ssize_t nargs, Py_ssize_t expected) {
    if (nargs != expected) {
        PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd arguments (%zd given)", fname, expected, nargs);
        throw_error();
    }
}

PyObject* mod_train(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        State* st = module_state(module);
        expect_args("train", nargs, 3);
        Chain* chain = chain_argument(st, args[0], "train");
        size_t order = order_argument(args[2]);
        Ref keep = Ref::borrow(args[0]);
        Graveyard graves;
        Vocab* vocab = chain_vocab(st, chain);
        Trainer trainer(st, chain, vocab, order, graves, false);
        Ref it = check(PyObject_GetIter(args[1]));
        while (Ref token = Ref(PyIter_Next(it.get()))) {
            if (token.get() == Py_None)
                trainer.boundary();
            else
                trainer.token(token.get());
        }
        if (PyErr_Occurred()) throw_error();
        trainer.boundary();
        return keep.release();
    });
}

PyObject* mod_train_text(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        State* st = module_state(module);
        expect_args("train_text", nargs, 3);
        Chain* chain = chain_argument(st, args[0], "train_text");
        size_t order = order_argument(args[2]);
        Ref keep = Ref::borrow(args[0]);
        Graveyard graves;
        Vocab* vocab = chain_vocab(st, chain);
        // The sink's table holds every token's id until training ends.
        Trainer trainer(st, chain, vocab, order, graves, true);
        TrainingSink sink(trainer, vocab, graves);
        tokenize_sources(args[1], sink);
        return keep.release();
    });
}

}  // namespace pjson

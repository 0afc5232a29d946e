// The training walks of tesmo.train on a native chain: from tokens or
// straight from text.
#include "chain/chain.h"
#include "chain/text_scan.h"
#include "chain/train_ids.h"

#include <algorithm>
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
        // The entry is the chain's own (state_entry() checked or found it),
        // and most often still has the block it was made with.
        const ChainEntry* entry = &chain_->store->entries[state_entry()];
        BagData* data = entry->data != nullptr ? entry->data : chain_entry_data(st_, entry);
        if (block_ != nullptr) *block_ = reinterpret_cast<uintptr_t>(data);
        if (data == nullptr || data->vocab != chain_->vocab || !bag_count_one(data, id, graves_))
            add_ids(st_, chain_, data, entry->bag, &id, 1, one_.get());
        keep(id);
        shift(id);
    }

    // Finds the state's slot, and asks for its chain entry and the block
    // its bag had last time, which the next token reads, so that reading
    // them overlaps with finding the token's id. The block's fields take
    // two cache lines.
    void prefetch_entry() noexcept {
        if (order_ == 1) return;
        found_ = states_.find(state_.data(), state_hash_);
        StateIds::Found last = states_.found_at(found_);
        const std::vector<ChainEntry>& entries = chain_->store->entries;
        if (last.place != 0 && last.place <= entries.size()) __builtin_prefetch(&entries[last.place - 1]);
        if (last.block != 0) {
            __builtin_prefetch(reinterpret_cast<const void*>(last.block));
            __builtin_prefetch(reinterpret_cast<const void*>(last.block + 64));
        }
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
        block_ = nullptr;
        if (order_ == 1) return chain_entry_for_id(st_, chain_, state_[0]);
        size_t slot = found_ != kNotFound ? found_ : states_.find(state_.data(), state_hash_);
        found_ = kNotFound;
        uint32_t* place = nullptr;
        uint32_t start = states_.id(state_.data(), state_hash_, slot, place, block_);
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
    size_t found_ = kNotFound;    // the state's slot in states_, once prefetch_entry() found it
    uintptr_t* block_ = nullptr;  // the state's remembered block, from state_entry() to the next call
    bool in_sentence_ = false;
};

// Feeds the tokenizer's tokens to a trainer, each distinct text made a
// Python str once.
class TrainingSink {
public:
    TrainingSink(Trainer& trainer, Vocab* vocab, Graveyard& graves) : trainer_(trainer), ids_(vocab, graves) {}
    void token(const char32_t* text, size_t length) {
        trainer_.prefetch_entry();
        trainer_.token_id(ids_.id(text, length));
    }
    void boundary() { trainer_.boundary(); }

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
        text_scan::tokenize_with(args[1], sink);
        return keep.release();
    });
}

}  // namespace pjson

// The walks of tesmo.train on a native chain: training from tokens or
// straight from text, and generating a sentence.
#include "chain/chain.h"

#include <climits>
#include <string>
#include <string_view>
#include <unordered_map>

namespace pjson {

namespace {

Chain* as_chain(PyObject* o) { return reinterpret_cast<Chain*>(o); }

State* module_state(PyObject* module) { return state_of_module(module); }

Chain* chain_argument(State* st, PyObject* obj, const char* fname) {
    if (!PyObject_TypeCheck(obj, st->chain_type)) {
        PyErr_Format(PyExc_TypeError, "%s() needs a Chain, not %.200s", fname, Py_TYPE(obj)->tp_name);
        throw_error();
    }
    return as_chain(obj);
}

void expect_args(const char* fname, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_Format(PyExc_TypeError, "%s() takes exactly 3 arguments (%zd given)", fname, nargs);
        throw_error();
    }
}

// The order checks of train(): order < 1 is refused, and order + 1 must fit
// the window's maximum length, as deque(maxlen=order + 1) demands.
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

// The last order + 1 tokens. A token is kept as its object until it is first
// needed as an id, so that a value that cannot be hashed fails where
// chain.add_to_bag would fail on it.
class Window {
public:
    Window(Vocab* vocab, size_t order, Graveyard& graves) : vocab_(vocab), order_(order), graves_(graves) {}
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;
    ~Window() {
        for (Slot& s : slots_)
            if (s.id >= 0) vocab_->table->release(static_cast<uint32_t>(s.id), graves_);
    }

    // Adds a token given as an object (its reference taken) or as an id
    // already held for the window. Returns true when the window is full.
    bool push(Ref obj, int64_t id) {
        if (slots_.size() < order_ + 1) {
            slots_.push_back(Slot{std::move(obj), id});
        } else {
            Slot& old = slots_[head_];
            if (old.id >= 0) vocab_->table->release(static_cast<uint32_t>(old.id), graves_);
            old = Slot{std::move(obj), id};
            head_ = (head_ + 1) % slots_.size();
        }
        return slots_.size() == order_ + 1;
    }

    // The id of the i-th token of the window, hashed and interned on first use.
    uint32_t id(size_t i) {
        Slot& s = slots_[(head_ + i) % slots_.size()];
        if (s.id < 0) {
            Py_hash_t h = PyObject_Hash(s.obj.get());
            if (h == -1) throw_error();
            s.id = vocab_->table->intern(s.obj.get(), h);
        }
        return static_cast<uint32_t>(s.id);
    }

    Ref value(size_t i) {
        Slot& s = slots_[(head_ + i) % slots_.size()];
        return s.id >= 0 ? vocab_value(vocab_, static_cast<uint32_t>(s.id)) : Ref::borrow(s.obj.get());
    }

private:
    struct Slot {
        Ref obj;     // until interned
        int64_t id;  // -1 until interned; the window holds one use of it
    };
    Vocab* vocab_;
    size_t order_;
    Graveyard& graves_;
    std::vector<Slot> slots_;
    size_t head_ = 0;
};

// add_to_bag(window[0], tuple(window[1:])) with the ids of the window.
void add_window(State* st, Chain* chain, Window& w, size_t order, PyObject* one) {
    PyObject* bag = chain_bag_for_id(st, chain, w.id(0));
    Ref keep = Ref::borrow(bag);
    if (Py_IS_TYPE(bag, st->bag_type)) {
        uint32_t small[16];
        std::vector<uint32_t> large;
        uint32_t* ids = small;
        if (order > 16) {
            large.resize(order);
            ids = large.data();
        }
        for (size_t i = 0; i < order; ++i) ids[i] = w.id(i + 1);
        bag_add_ids(st, reinterpret_cast<Bag*>(bag), chain->vocab, ids, order, one);
        return;
    }
    Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(order)));
    for (size_t i = 0; i < order; ++i) PyTuple_SET_ITEM(tuple.get(), i, w.value(i + 1).release());
    Ref add = check(PyObject_GetAttr(bag, st->s_add));
    check(PyObject_CallFunctionObjArgs(add.get(), tuple.get(), one, nullptr));
}

// Token text -> id of the chain's vocabulary, so that each distinct word
// becomes a Python str once.
class TokenIds {
public:
    TokenIds(Vocab* vocab, Graveyard& graves) : vocab_(vocab), graves_(graves) {}
    TokenIds(const TokenIds&) = delete;
    TokenIds& operator=(const TokenIds&) = delete;
    ~TokenIds() {
        for (auto& kv : ids_) vocab_->table->release(kv.second, graves_);
    }

    uint32_t id(const char32_t* text, size_t length) {
        std::u32string_view key(text, length);
        auto it = ids_.find(key);
        if (it != ids_.end()) return it->second;
        Ref s = check(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, text, static_cast<Py_ssize_t>(length)));
        Py_hash_t h = PyObject_Hash(s.get());
        if (h == -1) throw_error();
        uint32_t id = vocab_->table->intern(s.get(), h);
        try {
            ids_.emplace(std::u32string(key), id);
        } catch (...) {
            vocab_->table->release(id, graves_);
            throw;
        }
        return id;
    }

private:
    struct Hash {
        using is_transparent = void;
        size_t operator()(std::u32string_view v) const noexcept { return std::hash<std::u32string_view>{}(v); }
    };
    struct Equal {
        using is_transparent = void;
        bool operator()(std::u32string_view a, std::u32string_view b) const noexcept { return a == b; }
    };
    Vocab* vocab_;
    Graveyard& graves_;
    std::unordered_map<std::u32string, uint32_t, Hash, Equal> ids_;
};

// Feeds the tokenizer's tokens into the window and the chain.
class TrainingSink : public TokenSink {
public:
    TrainingSink(State* st, Chain* chain, size_t order, Graveyard& graves)
        : st_(st), chain_(chain), order_(order), vocab_(Ref::borrow(reinterpret_cast<PyObject*>(chain->vocab))),
          ids_(chain->vocab, graves), window_(chain->vocab, order, graves), one_(check(PyLong_FromLong(1))) {
        none_ = chain->vocab->table->intern(Py_None, PyObject_Hash(Py_None));
        held_none_ = true;
        graves_ = &graves;
    }
    ~TrainingSink() override {
        if (held_none_) chain_->vocab->table->release(none_, *graves_);
    }
    void word(const char32_t* text, size_t length) override { take(ids_.id(text, length)); }
    void stop(const char32_t* text, size_t length) override { take(ids_.id(text, length)); }
    void boundary() override { take(none_); }

private:
    void take(uint32_t id) {
        reinterpret_cast<Vocab*>(vocab_.get())->table->hold(id);
        if (window_.push(Ref(), id)) add_window(st_, chain_, window_, order_, one_.get());
    }
    State* st_;
    Chain* chain_;
    size_t order_;
    Ref vocab_;
    TokenIds ids_;
    Window window_;
    Ref one_;
    uint32_t none_ = 0;
    bool held_none_ = false;
    Graveyard* graves_ = nullptr;
};

}  // namespace

PyObject* mod_train(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        State* st = module_state(module);
        expect_args("train", nargs);
        Chain* chain = chain_argument(st, args[0], "train");
        size_t order = order_argument(args[2]);
        Ref keep = Ref::borrow(args[0]);
        Graveyard graves;
        Vocab* vocab = chain_vocab(st, chain);
        Ref keep_vocab = Ref::borrow(reinterpret_cast<PyObject*>(vocab));
        Ref one = check(PyLong_FromLong(1));
        Window window(vocab, order, graves);
        Ref it = check(PyObject_GetIter(args[1]));
        while (Ref token = Ref(PyIter_Next(it.get()))) {
            if (window.push(std::move(token), -1)) add_window(st, chain, window, order, one.get());
        }
        if (PyErr_Occurred()) throw_error();
        return keep.release();
    });
}

PyObject* mod_train_text(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        State* st = module_state(module);
        expect_args("train_text", nargs);
        Chain* chain = chain_argument(st, args[0], "train_text");
        size_t order = order_argument(args[2]);
        Ref keep = Ref::borrow(args[0]);
        chain_vocab(st, chain);
        Graveyard graves;
        TrainingSink sink(st, chain, order, graves);
        tokenize_sources(args[1], sink);
        return keep.release();
    });
}

PyObject* mod_generate_sentence(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        State* st = module_state(module);
        expect_args("generate_sentence", nargs);
        Chain* chain = chain_argument(st, args[0], "generate_sentence");
        PyObject* rng = args[1];
        if (!PyLong_Check(args[2])) {
            PyErr_SetString(PyExc_TypeError, "max_tokens must be an int");
            throw_error();
        }
        int overflow = 0;
        long long max_tokens = PyLong_AsLongLongAndOverflow(args[2], &overflow);
        if (overflow > 0) max_tokens = LLONG_MAX;
        if (overflow < 0) max_tokens = LLONG_MIN;
        Ref keep = Ref::borrow(args[0]);
        Ref tokens = check(PyList_New(0));
        Ref start = Ref::borrow(Py_None);
        while (PyList_GET_SIZE(tokens.get()) < max_tokens) {
            PyObject* found = chain_find_bag(chain, start.get());
            if (found == nullptr) break;
            Ref bag = Ref::borrow(found);
            Ref next_start;
            if (Py_IS_TYPE(bag.get(), st->bag_type)) {
                next_start = bag_choose(st, reinterpret_cast<Bag*>(bag.get()), rng);
            } else {
                PyObject* call[2] = {bag.get(), rng};
                next_start = check(PyObject_VectorcallMethod(st->s_choose, call, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
            }
            if (!check_status(PyObject_IsTrue(next_start.get()))) break;
            Ref it = check(PyObject_GetIter(next_start.get()));
            while (Ref token = Ref(PyIter_Next(it.get()))) {
                if (token.get() == Py_None) return tokens.release();
                check_status(PyList_Append(tokens.get(), token.get()));
            }
            if (PyErr_Occurred()) throw_error();
            Ref minus_one = check(PyLong_FromLong(-1));
            start = check(PyObject_GetItem(next_start.get(), minus_one.get()));
        }
        return tokens.release();
    });
}

}  // namespace pjson

// The walks of tesmo.train on a native chain: training from tokens or
// straight from text, and generating a sentence.
#include "chain/chain.h"

#include <climits>
#include <cmath>
#include <memory>
#include <string>

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

    // Adds a token (its reference taken). Returns true when the window is full.
    bool push(Ref obj) {
        if (slots_.size() < order_ + 1) {
            slots_.push_back(Slot{std::move(obj), -1});
        } else {
            Slot& old = slots_[head_];
            if (old.id >= 0) vocab_->table->release(static_cast<uint32_t>(old.id), graves_);
            old = Slot{std::move(obj), -1};
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

private:
    struct Slot {
        Ref obj;
        int64_t id;  // -1 until interned; the window holds one use of it
    };
    Vocab* vocab_;
    size_t order_;
    Graveyard& graves_;
    std::vector<Slot> slots_;
    size_t head_ = 0;
};

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
        if ((count_ + 1) * 2 > slots_.size()) grow();
        uint32_t h = hash(text, length);
        size_t mask = slots_.size() - 1;
        size_t i = h & mask;
        for (; slots_[i].length != kEmpty; i = (i + 1) & mask) {
            const Slot& s = slots_[i];
            if (s.hash == h && s.length == length &&
                std::char_traits<char32_t>::compare(texts_.data() + s.offset, text, length) == 0)
                return s.id;
        }
        if (length >= kEmpty || texts_.size() + length >= UINT32_MAX) throw std::bad_alloc();
        texts_.reserve(texts_.size() + length);
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

    static uint32_t hash(const char32_t* text, size_t length) noexcept {
        uint64_t h = 0x9E3779B97F4A7C15ULL ^ length;
        for (size_t i = 0; i < length; ++i) h = (h ^ text[i]) * 0x100000001B3ULL;
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

// Feeds the tokenizer's tokens into the chain: the last order + 1 ids at the
// end of a buffer that slides back now and then, each id held by the token
// table (or, for None, by the sink).
class TrainingSink : public TokenSink {
public:
    TrainingSink(State* st, Chain* chain, size_t order, Graveyard& graves)
        : st_(st), chain_(chain), order_(order), vocab_(Ref::borrow(reinterpret_cast<PyObject*>(chain->vocab))),
          graves_(graves), ids_(chain->vocab, graves), one_(check(PyLong_FromLong(1))) {
        Py_hash_t h = PyObject_Hash(Py_None);
        none_ = chain->vocab->table->intern(Py_None, h);
    }
    ~TrainingSink() override { reinterpret_cast<Vocab*>(vocab_.get())->table->release(none_, graves_); }
    void word(const char32_t* text, size_t length) override { take(ids_.id(text, length)); }
    void stop(const char32_t* text, size_t length) override { take(ids_.id(text, length)); }
    void boundary() override { take(none_); }

private:
    void take(uint32_t id) {
        if (seen_ <= order_) ++seen_;
        if (window_.size() == window_.capacity() && window_.size() > order_) {
            // Slide the last order tokens back to the front.
            window_.erase(window_.begin(), window_.end() - static_cast<std::ptrdiff_t>(order_));
            if (window_.capacity() < 4 * (order_ + 1)) window_.reserve(4 * (order_ + 1));
        }
        window_.push_back(id);
        if (seen_ <= order_) return;
        if (chain_->vocab != reinterpret_cast<Vocab*>(vocab_.get())) {
            PyErr_SetString(PyExc_RuntimeError, "Chain changed during training");
            throw_error();
        }
        // Oldest first: the start, then its next start.
        const uint32_t* window = window_.data() + window_.size() - (order_ + 1);
        const ChainEntry* entry = chain_entry(chain_, chain_entry_for_id(st_, chain_, window[0]));
        add_ids(st_, chain_, chain_entry_data(st_, entry), entry->bag, window + 1, order_, one_.get());
    }
    State* st_;
    Chain* chain_;
    size_t order_;
    Ref vocab_;
    Graveyard& graves_;
    TokenIds ids_;
    Ref one_;
    uint32_t none_ = 0;
    std::vector<uint32_t> window_;
    size_t seen_ = 0;
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
        std::vector<uint32_t> next;
        Ref it = check(PyObject_GetIter(args[1]));
        while (Ref token = Ref(PyIter_Next(it.get()))) {
            if (!window.push(std::move(token))) continue;
            if (chain->vocab != vocab) {
                PyErr_SetString(PyExc_RuntimeError, "Chain changed during training");
                throw_error();
            }
            // The start first, and its entry, as add_to_bag makes them before
            // it looks at the next start.
            // Hashing the next start's tokens may change the chain: the bag
            // found is the one added to, kept meanwhile, as add_to_bag keeps it.
            const ChainEntry* entry = chain_entry(chain, chain_entry_for_id(st, chain, window.id(0)));
            BagData* data = chain_entry_data(st, entry);
            std::unique_ptr<BagPin> pin(data != nullptr ? new BagPin(data) : nullptr);
            Ref bag = data != nullptr ? Ref() : Ref::borrow(entry->bag);
            next.resize(order);
            for (size_t i = 0; i < order; ++i) next[i] = window.id(i + 1);
            add_ids(st, chain, data, bag.get(), next.data(), order, one.get());
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

namespace {

// Appends the values of a next start to `tokens` up to a None; false when it
// met one (the sentence is over).
bool walk_values(PyObject* tokens, PyObject* next_start) {
    Ref it = check(PyObject_GetIter(next_start));
    while (Ref token = Ref(PyIter_Next(it.get()))) {
        if (token.get() == Py_None) return false;
        check_status(PyList_Append(tokens, token.get()));
    }
    if (PyErr_Occurred()) throw_error();
    return true;
}

}  // namespace

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
        Ref minus_one = check(PyLong_FromLong(-1));
        Ref start = Ref::borrow(Py_None);
        // The start as an id too, while it is a value of the chain's vocabulary.
        Ref start_vocab;
        uint32_t start_id = 0;
        while (PyList_GET_SIZE(tokens.get()) < max_tokens) {
            size_t index;
            bool by_id = start_vocab && start_vocab.get() == reinterpret_cast<PyObject*>(chain->vocab) &&
                         chain->vocab->table->value(start_id) == start.get();
            if (!(by_id ? chain_find_id(chain, start_id, index) : chain_find(chain, start.get(), index))) break;
            const ChainEntry* entry = chain_entry(chain, index);
            BagData* data = chain_entry_data(st, entry);
            Ref next_start;
            if (data != nullptr) {
                BagPin pin(data);
                Pick pick = bag_pick(st, data, rng);
                if (!pick.next_start) {
                    // The choice's values straight from the block.
                    const uint32_t* ids;
                    size_t n;
                    bag_span(data, pick.index, ids, n);
                    if (n == 0) break;
                    for (size_t e = 0; e < n; ++e) {
                        Ref token = vocab_value(data->vocab, ids[e]);
                        if (token.get() == Py_None) return tokens.release();
                        check_status(PyList_Append(tokens.get(), token.get()));
                    }
                    start = vocab_value(data->vocab, ids[n - 1]);
                    start_vocab = Ref::borrow(reinterpret_cast<PyObject*>(data->vocab));
                    start_id = ids[n - 1];
                    continue;
                }
                next_start = std::move(pick.next_start);
            } else {
                Ref bag = Ref::borrow(entry->bag);
                PyObject* call[2] = {bag.get(), rng};
                next_start =
                    check(PyObject_VectorcallMethod(st->s_choose, call, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
            }
            if (!check_status(PyObject_IsTrue(next_start.get()))) break;
            if (!walk_values(tokens.get(), next_start.get())) return tokens.release();
            start = check(PyObject_GetItem(next_start.get(), minus_one.get()));
            start_vocab = Ref();
        }
        return tokens.release();
    });
}

}  // namespace pjson

namespace pjson {

// The first count of the chain, in chain order, that is not a finite positive
// int or float (bools are neither), or None: what a walk needs of the counts
// it weighs choices by. For a chain whose bags are all native.
PyObject* mod_bad_count(PyObject* module, PyObject* arg) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        State* st = module_state(module);
        Chain* chain = chain_argument(st, arg, "bad_count");
        // No Python code runs below: only exact ints and floats are compared.
        const size_t entries = static_cast<size_t>(chain_size(chain));
        for (size_t e = 0; e < entries; ++e) {
            BagData* data = chain_entry_data(st, chain_entry(chain, e));
            if (data == nullptr) {
                PyErr_SetString(PyExc_TypeError, "bad_count() needs a chain whose bags are all ProbabilityBags");
                throw_error();
            }
            for (size_t i = 0; i < bag_size(data); ++i) {
                int64_t count;
                if (bag_count_native(data, i, count)) {
                    if (count <= 0) return PyLong_FromLongLong(count);
                    continue;
                }
                PyObject* object = bag_count_object(data, i);
                bool good = false;
                if (PyLong_CheckExact(object))
                    good = check_status(PyObject_RichCompareBool(object, st->zero, Py_GT)) == 1;
                else if (PyFloat_CheckExact(object))
                    good = PyFloat_AS_DOUBLE(object) > 0 && std::isfinite(PyFloat_AS_DOUBLE(object));
                if (!good) return Py_NewRef(object);
            }
        }
        Py_RETURN_NONE;
    });
}

}  // namespace pjson

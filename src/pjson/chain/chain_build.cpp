// The readers' builds: a document's values interned into a chain's
// vocabulary straight from their text, and its choices written into blocks
// as ids, with no Python object per value met again or per choice. The
// private modes fill a chain that no Python code can reach and hand its
// content over only at the end, so a document that fails half-way leaves
// the caller's chain as it was.
#include "chain/block.h"

#include <cstring>

namespace pjson {

namespace {

constexpr uint32_t kNoId = VocabTable::kNoId;

// Whether str_hash_ascii gives what hash() gives a str, checked once: where
// it does not, texts are made into str objects and hashed as such.
bool ascii_hash_agrees() {
    static int agrees = -1;
    if (agrees < 0) {
        static const char kText[] = "tesmo chain";
        Ref str = check(PyUnicode_FromStringAndSize(kText, sizeof kText - 1));
        Py_hash_t hash = PyObject_Hash(str.get());
        if (hash == -1) throw_error();
        agrees = hash == str_hash_ascii(kText, sizeof kText - 1) ? 1 : 0;
    }
    return agrees == 1;
}

bool count_as_int(PyObject* count, int64_t& out) {
    if (!PyLong_CheckExact(count) && !PyBool_Check(count)) return false;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(count, &overflow);
    out = static_cast<int64_t>(v);
    return overflow == 0;
}

Chain* as_chain(PyObject* o) { return reinterpret_cast<Chain*>(o); }

struct Build {
    State* st;
    int mode;
    Ref target;                 // the chain the build is for
    Ref vocab;                  // its vocabulary, which the build interns into
    Ref own;                    // REPLACE, MERGE: the private chain
    std::vector<uint8_t> held;  // per id: whether the build holds a use of it
    bool ascii_hash = false;    // str_hash_ascii agrees with hash()
    // REPLACE: the bag being read, its choices as block_fill takes them, and
    // those whose counts are objects (then added one by one).
    bool in_bag = false;
    std::vector<uint32_t> bag_words;
    size_t bag_choices = 0;
    std::vector<std::pair<size_t, Ref>> bag_objects;
    uint32_t pending_start = kNoId;  // DIRECT: the start whose choices are gathered

    VocabTable& table() const noexcept { return *reinterpret_cast<Vocab*>(vocab.get())->table; }

    // One use of `id` is held by the build, whatever the caller took.
    void hold_found(uint32_t id) {
        if (id >= held.size()) held.resize(std::max<size_t>(table().bound(), id + 1));
        if (held[id]) return;
        table().hold(id);
        held[id] = 1;
    }
    // The same for an id whose use the caller has just taken.
    void hold_taken(uint32_t id) {
        if (id >= held.size()) {
            try {
                held.resize(std::max<size_t>(table().bound(), id + 1));
            } catch (...) {
                Graveyard graves;
                table().release(id, graves);
                throw;
            }
        }
        if (!held[id]) {
            held[id] = 1;
            return;
        }
        Graveyard graves;
        table().release(id, graves);  // the build's own use remains
    }

    uint32_t intern(PyObject* value) {
        if (!is_plain(value)) {
            PyErr_SetString(PyExc_SystemError, "a reader's build takes plain values only");
            throw_error();
        }
        const Py_hash_t hash = PyObject_Hash(value);  // plain: runs no Python code
        if (hash == -1) throw_error();
        const uint32_t id = table().intern(value, hash);
        hold_taken(id);
        return id;
    }

    uint32_t ascii(const char* text, size_t length) {
        if (!ascii_hash) {
            Ref str = check(PyUnicode_FromStringAndSize(text, static_cast<Py_ssize_t>(length)));
            return intern(str.get());
        }
        const Py_hash_t hash = str_hash_ascii(text, length);
        uint32_t id = table().find_ascii(text, length, hash);
        if (id != kNoId) {
            hold_found(id);
            return id;
        }
        Ref str = check(PyUnicode_New(static_cast<Py_ssize_t>(length), 127));
        std::memcpy(PyUnicode_DATA(str.get()), text, length);
        id = table().intern(str.get(), hash);
        hold_taken(id);
        return id;
    }

    uint32_t tuple(const uint32_t* ids, size_t length) {
        VocabTable& t = table();
        const Py_hash_t hash = tuple_hash_by(length, [&](size_t i) { return t.hash(ids[i]); });
        uint32_t id = t.find_tuple(ids, length, hash);
        if (id != kNoId) {
            hold_found(id);
            return id;
        }
        Ref made = check(PyTuple_New(static_cast<Py_ssize_t>(length)));
        // The items are read once the tuple exists: making it may run the
        // collector, and with it code that clears the vocabulary. A tuple of
        // plain values none of which is a tuple is plain; one holding a tuple
        // is checked whole, as its nesting counts.
        bool plain = true;
        for (size_t i = 0; i < length; ++i) {
            PyObject* item = t.value(ids[i]);
            if (item == nullptr) vocab_value(reinterpret_cast<Vocab*>(vocab.get()), ids[i]);  // raises
            plain = plain && t.plain(ids[i]) && !PyTuple_CheckExact(item);
            PyTuple_SET_ITEM(made.get(), static_cast<Py_ssize_t>(i), Py_NewRef(item));
        }
        // As the collector would at its next pass: plain values make no cycle.
        PyObject_GC_UnTrack(made.get());
        id = plain ? t.intern_plain(made.get(), hash) : t.intern(made.get(), hash);
        hold_taken(id);
        return id;
    }

    // add(ids, count) on a block of the build's vocabulary, as bag.add does.
    void add_to_block(BagData* d, const uint32_t* ids, size_t length, int64_t count, PyObject* count_object) {
        int64_t n = count;
        if (count_object == nullptr || count_as_int(count_object, n)) {
            Graveyard graves;
            if (bag_add_one(d, ids, length, graves, n)) return;
        }
        Ref made = count_object != nullptr ? Ref::borrow(count_object) : check(PyLong_FromLongLong(count));
        bag_add_ids(st, d, reinterpret_cast<Vocab*>(vocab.get()), ids, length, made.get());
    }

    bool same_vocab(PyObject* chain) const noexcept {
        return reinterpret_cast<PyObject*>(as_chain(chain)->vocab) == vocab.get();
    }

    // DIRECT: add_to_bag into the chain, when nothing of it can run Python
    // code or reach a bag of another kind. The choices of one start are
    // gathered (bag_words) and go in together when another start comes or
    // the reader flushes, so that a new bag is filled at once.
    int add_direct(uint32_t start, const uint32_t* ids, size_t length, int64_t count, PyObject* count_object) {
        VocabTable& t = table();
        bool simple = same_vocab(target.get()) && t.all_plain() && !t.aliased(start);
        for (size_t i = 0; i < length && simple; ++i) simple = !t.aliased(ids[i]);
        if (simple && start != pending_start) {
            flush();
            Chain* chain = as_chain(target.get());
            size_t index = 0;
            if (chain_find_id(chain, start, index)) {
                BagData* d = chain_entry_data(st, chain_entry(chain, index));
                simple = d != nullptr && reinterpret_cast<PyObject*>(d->vocab) == vocab.get();
            }
            if (simple) {
                pending_start = start;
                bag_begin();
            }
        }
        if (!simple) {
            flush();
            return 0;
        }
        bag_choice(ids, length, count, count_object);
        return 1;
    }

    // The gathered choices into the chain, as add_to_bag adds them.
    void flush() {
        if (pending_start == kNoId) return;
        const uint32_t start = std::exchange(pending_start, kNoId);
        in_bag = false;
        Chain* chain = as_chain(target.get());
        // A start new to the chain takes its bag whole, made in one allocation.
        // The vocabulary is checked again after the lookup: comparing values
        // may run code that gives the chain another one.
        size_t found = 0;
        if (bag_objects.empty() && same_vocab(target.get()) && !table().aliased(start) &&
            !chain_find_id(chain, start, found) && same_vocab(target.get())) {
            BagData* whole = block_new_filled(reinterpret_cast<Vocab*>(vocab.get()), bag_words.data(), bag_words.size(),
                                              bag_choices);
            if (whole != nullptr) {
                chain_install_block(chain, start, whole);
                return;
            }
        }
        const size_t index = chain_entry_for_id(st, chain, start);
        BagData* d = chain_entry_data(st, chain_entry(chain, index));
        if (d != nullptr && reinterpret_cast<PyObject*>(d->vocab) == vocab.get()) {
            BagPin pin(d);
            if (!bag_objects.empty() || !block_fill(d, bag_words.data(), bag_words.size(), bag_choices))
                add_gathered(d);
            return;
        }
        // A bag of another kind, put in by code that ran meanwhile: given
        // what add_to_bag gives it.
        Ref start_value = vocab_value(reinterpret_cast<Vocab*>(vocab.get()), start);
        size_t object = 0;
        for (size_t at = 0, c = 0; c < bag_choices; ++c) {
            const size_t length = bag_words[at];
            Small<PyObject*> values;
            values.resize(length);
            for (size_t i = 0; i < length; ++i) values[i] = table().value(bag_words[at + 3 + i]);
            Ref count = gathered_count(at, c, object);
            chain_add_values(st, chain, start_value.get(), nullptr, values.data(), length, count.get());
            at += 3 + length;
        }
    }

    // The count of gathered choice `c` (its words at `at`).
    Ref gathered_count(size_t at, size_t c, size_t& object) const {
        if (object < bag_objects.size() && bag_objects[object].first == c)
            return Ref::borrow(bag_objects[object++].second.get());
        return check(PyLong_FromLongLong(static_cast<int64_t>(static_cast<uint64_t>(bag_words[at + 1]) |
                                                              static_cast<uint64_t>(bag_words[at + 2]) << 32)));
    }

    // The gathered choices added one by one.
    void add_gathered(BagData* d) {
        size_t object = 0;
        for (size_t at = 0, c = 0; c < bag_choices; ++c) {
            const size_t length = bag_words[at];
            const int64_t n = static_cast<int64_t>(static_cast<uint64_t>(bag_words[at + 1]) |
                                                   static_cast<uint64_t>(bag_words[at + 2]) << 32);
            PyObject* count_object = nullptr;
            if (object < bag_objects.size() && bag_objects[object].first == c)
                count_object = bag_objects[object++].second.get();
            add_to_block(d, bag_words.data() + at + 3, length, n, count_object);
            at += 3 + length;
        }
    }

    // MERGE into a chain that holds starts already: each choice of the
    // private chain added as add_to_bag adds it.
    int merge_into_target() {
        Chain* chain = as_chain(target.get());
        Chain* mine = as_chain(own.get());
        // Nothing may compare by Python code or go to a bag of another kind.
        if (!table().all_plain()) return 0;
        for (Py_ssize_t e = 0; e < chain_size(mine); ++e) {
            size_t index = 0;
            if (!chain_find_id(chain, chain_entry(mine, static_cast<size_t>(e))->start, index)) continue;
            BagData* d = chain_entry_data(st, chain_entry(chain, index));
            if (d == nullptr || (d->vocab != nullptr && reinterpret_cast<PyObject*>(d->vocab) != vocab.get())) return 0;
        }
        for (Py_ssize_t e = 0; e < chain_size(mine); ++e) {
            const ChainEntry* from = chain_entry(mine, static_cast<size_t>(e));
            BagPin source(from->data);
            for (size_t c = 0; c < bag_size(source.get()); ++c) {
                const uint32_t* ids;
                size_t length;
                bag_span(source.get(), c, ids, length);
                Small<uint32_t> copy;  // the records may move while a count is added
                copy.resize(length);
                std::copy(ids, ids + length, copy.data());
                int64_t count = 0;
                PyObject* count_object = nullptr;
                if (!bag_count_native(source.get(), c, count)) count_object = bag_count_object(source.get(), c);
                Ref keep_count = Ref::borrow(count_object);
                // Found afresh for every choice: adding a count may run the
                // collector, and with it code that changes the chain.
                const size_t index = chain_entry_for_id(st, chain, from->start);
                BagData* d = chain_entry_data(st, chain_entry(chain, index));
                if (d != nullptr) {
                    BagPin pin(d);
                    if (reinterpret_cast<PyObject*>(d->vocab) == vocab.get()) {
                        add_to_block(d, copy.data(), length, count, count_object);
                    } else {
                        Ref made =
                            count_object != nullptr ? Ref::borrow(count_object) : check(PyLong_FromLongLong(count));
                        bag_add_ids(st, d, reinterpret_cast<Vocab*>(vocab.get()), copy.data(), length, made.get());
                    }
                    continue;
                }
                // A bag of another kind, put in by code that ran meanwhile.
                Ref start = vocab_value(reinterpret_cast<Vocab*>(vocab.get()), from->start);
                Small<PyObject*> values;
                values.resize(length);
                for (size_t i = 0; i < length; ++i) values[i] = table().value(copy[i]);
                Ref made = count_object != nullptr ? Ref::borrow(count_object) : check(PyLong_FromLongLong(count));
                chain_add_values(st, chain, start.get(), nullptr, values.data(), length, made.get());
            }
        }
        return 1;
    }

    int commit() {
        if (mode == TESMO_BUILD_DIRECT || !same_vocab(target.get())) return 0;
        Chain* chain = as_chain(target.get());
        if (mode == TESMO_BUILD_MERGE && chain_size(chain) > 0) return merge_into_target();
        // The private chain gets the content the chain had, released with it.
        chain_take_content(chain, as_chain(own.get()));
        chain_clear(as_chain(own.get()));
        return 1;
    }

    void bag_begin() {
        in_bag = true;
        bag_words.clear();
        bag_choices = 0;
        bag_objects.clear();
    }

    void bag_choice(const uint32_t* ids, size_t length, int64_t count, PyObject* count_object) {
        if (!in_bag || length >= UINT32_MAX) {
            PyErr_SetString(PyExc_SystemError, "build_choice without build_bag");
            throw_error();
        }
        int64_t n = count;
        if (count_object != nullptr && !count_as_int(count_object, n)) {
            bag_objects.emplace_back(bag_choices, Ref::borrow(count_object));
            n = 0;
        }
        const auto bits = static_cast<uint64_t>(n);
        bag_words.push_back(static_cast<uint32_t>(length));
        bag_words.push_back(static_cast<uint32_t>(bits));
        bag_words.push_back(static_cast<uint32_t>(bits >> 32));
        // Next starts are short: pushed one by one, not through a range insert.
        for (size_t i = 0; i < length; ++i) bag_words.push_back(ids[i]);
        ++bag_choices;
    }

    // The bag read is set under `start`, as set_bag sets it.
    void bag_end(uint32_t start) {
        if (!in_bag || !own) {
            PyErr_SetString(PyExc_SystemError, "build_bag_end without build_bag");
            throw_error();
        }
        in_bag = false;
        Vocab* v = reinterpret_cast<Vocab*>(vocab.get());
        BagData* d = bag_choices > 0 && bag_objects.empty()
                         ? block_new_filled(v, bag_words.data(), bag_words.size(), bag_choices)
                         : nullptr;
        if (d == nullptr) {
            d = bag_data_new(v);
            try {
                if (bag_choices > 0) add_gathered(d);
            } catch (...) {
                Graveyard graves;
                bag_data_decref(d, graves);
                throw;
            }
        }
        chain_install_block(as_chain(own.get()), start, d);
    }

    void end() noexcept {
        Graveyard graves;
        bag_objects.clear();
        if (own) {
            if (as_chain(own.get())->vocab != nullptr) chain_clear(as_chain(own.get()));
            graves.bury(own.release());
        }
        VocabTable& t = table();
        for (size_t id = 0; id < held.size(); ++id)
            if (held[id]) t.release(static_cast<uint32_t>(id), graves);
        held.clear();
    }
};

Build* as_build(TesmoBuild* b) { return reinterpret_cast<Build*>(b); }

TesmoBuild* api_build_new(PyObject* chain, int mode) {
    return guarded<TesmoBuild*>(nullptr, [&]() -> TesmoBuild* {
        State* st = state_of(Py_TYPE(chain));
        if (st == nullptr) throw_error();
        if (mode < TESMO_BUILD_REPLACE || mode > TESMO_BUILD_DIRECT || !Py_IS_TYPE(chain, st->chain_type)) {
            PyErr_SetString(PyExc_SystemError, "build_new needs an exact Chain and a mode");
            throw_error();
        }
        auto build = std::make_unique<Build>();
        build->st = st;
        build->mode = mode;
        build->ascii_hash = ascii_hash_agrees();
        build->target = Ref::borrow(chain);
        if (mode != TESMO_BUILD_DIRECT) build->own = chain_private(st, as_chain(chain));
        build->vocab = Ref::borrow(reinterpret_cast<PyObject*>(chain_vocab(st, as_chain(chain))));
        if (build->own && !build->same_vocab(build->own.get())) {
            PyErr_SetString(PyExc_RuntimeError, "Chain changed during loading");
            throw_error();
        }
        return reinterpret_cast<TesmoBuild*>(build.release());
    });
}

void api_build_free(TesmoBuild* b) {
    Build* build = as_build(b);
    build->end();
    delete build;
}

int api_build_ascii(TesmoBuild* b, const char* text, Py_ssize_t length, uint32_t* id) {
    return guarded<int>(-1, [&] {
        *id = as_build(b)->ascii(text, static_cast<size_t>(length));
        return 0;
    });
}

int api_build_value(TesmoBuild* b, PyObject* value, uint32_t* id) {
    return guarded<int>(-1, [&] {
        *id = as_build(b)->intern(value);
        return 0;
    });
}

int api_build_tuple(TesmoBuild* b, const uint32_t* ids, Py_ssize_t length, uint32_t* id) {
    return guarded<int>(-1, [&] {
        *id = as_build(b)->tuple(ids, static_cast<size_t>(length));
        return 0;
    });
}

PyObject* api_build_id_value(TesmoBuild* b, uint32_t id) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Build* build = as_build(b);
        PyObject* value = build->table().value(id);
        if (value == nullptr) vocab_value(reinterpret_cast<Vocab*>(build->vocab.get()), id);  // raises
        return value;
    });
}

int api_build_bag(TesmoBuild* b) {
    return guarded<int>(-1, [&] {
        as_build(b)->bag_begin();
        return 0;
    });
}

int api_build_choice(TesmoBuild* b, const uint32_t* ids, Py_ssize_t length, int64_t count, PyObject* count_object) {
    return guarded<int>(-1, [&] {
        as_build(b)->bag_choice(ids, static_cast<size_t>(length), count, count_object);
        return 0;
    });
}

int api_build_bag_end(TesmoBuild* b, uint32_t start) {
    return guarded<int>(-1, [&] {
        as_build(b)->bag_end(start);
        return 0;
    });
}

int api_build_add(TesmoBuild* b, uint32_t start, const uint32_t* ids, Py_ssize_t length, int64_t count,
                  PyObject* count_object) {
    return guarded<int>(-1, [&] {
        Build* build = as_build(b);
        const size_t n = static_cast<size_t>(length);
        if (build->mode == TESMO_BUILD_DIRECT) return build->add_direct(start, ids, n, count, count_object);
        int64_t ignored = 0;
        // Counts summed here and added to the chain's at the end must give
        // what adding them one by one gives: integers do, floats need not.
        if (build->mode != TESMO_BUILD_MERGE || (count_object != nullptr && !count_as_int(count_object, ignored)))
            return 0;
        Chain* mine = as_chain(build->own.get());
        const size_t index = chain_entry_for_id(build->st, mine, start);
        BagData* d = chain_entry(mine, index)->data;
        BagPin pin(d);
        build->add_to_block(d, ids, n, count, count_object);
        return 1;
    });
}

int api_build_flush(TesmoBuild* b) {
    return guarded<int>(-1, [&] {
        Ref keep = Ref::borrow(as_build(b)->target.get());
        as_build(b)->flush();
        return 0;
    });
}

int api_build_commit(TesmoBuild* b) {
    return guarded<int>(-1, [&] {
        Ref keep = Ref::borrow(as_build(b)->target.get());
        return as_build(b)->commit();
    });
}

}  // namespace

void build_api_fill(TesmoChainAPI& api) {
    api.build_new = api_build_new;
    api.build_free = api_build_free;
    api.build_ascii = api_build_ascii;
    api.build_value = api_build_value;
    api.build_tuple = api_build_tuple;
    api.build_id_value = api_build_id_value;
    api.build_bag = api_build_bag;
    api.build_choice = api_build_choice;
    api.build_bag_end = api_build_bag_end;
    api.build_add = api_build_add;
    api.build_commit = api_build_commit;
    api.build_flush = api_build_flush;
}

}  // namespace pjson

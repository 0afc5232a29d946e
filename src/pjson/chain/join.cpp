// The join: a chain's snapshot added to a chain, choice by choice in the
// snapshot's order, as add_to_bag would add them. Sharded training joins
// its shards' chains this way into the chain of one pass.
#include "chain/snapshot.h"

namespace pjson {

using namespace snapshot;

namespace {

// The count of the choice a walk is at: the side object of the next object
// count when it names this choice, else the machine integer of the record.
class Counts {
public:
    explicit Counts(const Parsed& parsed) : parsed_(parsed), next_(parsed.object_counts().begin()) {}
    PyObject* object(size_t entry, size_t choice) {
        const auto& all = parsed_.object_counts();
        if (next_ == all.end() || next_->entry != entry || next_->choice != choice) return nullptr;
        return PyTuple_GET_ITEM(parsed_.side(), (next_++)->side);
    }
    // Whether a choice of `entry` still to come has an object count.
    bool any(size_t entry) const noexcept { return next_ != parsed_.object_counts().end() && next_->entry == entry; }

private:
    const Parsed& parsed_;
    std::vector<StoredCount>::const_iterator next_;
};

Ref count_of(PyObject* object, int64_t native) {
    return object != nullptr ? Ref::borrow(object) : check(PyLong_FromLongLong(native));
}

// Values that are not all plain: add_to_bag's own way for every choice,
// since hashing and comparing them runs Python code.
void join_general(State* st, Chain* chain, const Parsed& parsed, const std::vector<Ref>& values) {
    Counts counts(parsed);
    std::vector<PyObject*> items;
    for (size_t e = 0; e < parsed.bags().size(); ++e) {
        const StoredBag& b = parsed.bags()[e];
        StoredChoices walk(b);
        const uint8_t *rec, *ids;
        size_t n;
        while (walk.next(rec, ids, n)) {
            items.resize(n);
            for (size_t k = 0; k < n; ++k) items[k] = values[get32(ids + 4 * k)].get();
            PyObject* object = counts.object(e, walk.index());
            Ref count = count_of(object, parsed.native_count(b, rec));
            chain_add_values(st, chain, values[b.start].get(), nullptr, items.data(), n, count.get());
        }
    }
}

// A start new to the chain takes the stored bag whole, its ids those of the
// chain, as adding its choices one by one would leave it; false, nothing
// added, when the start has choices already or one needs the general add.
// `index` is the start's entry, as long as no Python code ran since.
bool join_whole(State* st, Chain* chain, Vocab* vocab, const Parsed& parsed, const StoredBag& b, uint32_t start,
                const std::vector<uint32_t>& id_of, std::vector<uint32_t>& whole, size_t& index) {
    whole.clear();
    StoredChoices walk(b);
    const uint8_t *rec, *ids;
    size_t n;
    while (walk.next(rec, ids, n)) {
        const uint64_t count = static_cast<uint64_t>(parsed.native_count(b, rec));
        whole.push_back(static_cast<uint32_t>(n));
        whole.push_back(static_cast<uint32_t>(count));
        whole.push_back(static_cast<uint32_t>(count >> 32));
        for (size_t k = 0; k < n; ++k) whole.push_back(id_of[get32(ids + 4 * k)]);
    }
    if (chain->vocab != vocab) {
        PyErr_SetString(PyExc_RuntimeError, "Chain changed during the join");
        throw_error();
    }
    index = chain_entry_for_id(st, chain, start);
    BagData* data = chain_entry_data(st, chain_entry(chain, index));
    return data != nullptr && data->vocab == vocab && data->size == 0 && data->extra == nullptr &&
           block_fill(data, whole.data(), whole.size(), b.size);
}

}  // namespace

void chain_join(State* st, Chain* chain, PyObject* blob, PyObject* side) {
    Parsed parsed(blob, side, kKindChain);
    bool plain = false;
    std::vector<Ref> values = parsed.values(plain);
    if (!plain) return join_general(st, chain, parsed, values);
    Vocab* vocab = chain_vocab(st, chain);
    Ref keep_vocab = Ref::borrow(reinterpret_cast<PyObject*>(vocab));
    Graveyard graves;
    Holds holds(graves);
    // The table's values as ids of the chain, held until the join ends.
    VocabTable& t = *vocab->table;
    std::vector<uint32_t> id_of(values.size());
    for (size_t k = 0; k < values.size(); ++k) {
        Py_hash_t h = PyObject_Hash(values[k].get());
        if (h == -1) throw_error();
        id_of[k] = t.intern(values[k].get(), h);
        holds.take(vocab, id_of[k]);
    }
    Counts counts(parsed);
    Small<uint32_t> next;
    std::vector<uint32_t> whole;
    for (size_t e = 0; e < parsed.bags().size(); ++e) {
        const StoredBag& b = parsed.bags()[e];
        uint32_t start = id_of[b.start];
        StoredChoices walk(b);
        const uint8_t *rec, *ids;
        size_t n;
        size_t index = SIZE_MAX;  // the start's entry, found again whenever Python code may have run
        if (b.size > 0 && !counts.any(e) && join_whole(st, chain, vocab, parsed, b, start, id_of, whole, index))
            continue;
        while (walk.next(rec, ids, n)) {
            next.resize(n);
            for (size_t k = 0; k < n; ++k) next[k] = id_of[get32(ids + 4 * k)];
            PyObject* object = counts.object(e, walk.index());
            int64_t native = parsed.native_count(b, rec);
            if (chain->vocab != vocab) {
                PyErr_SetString(PyExc_RuntimeError, "Chain changed during the join");
                throw_error();
            }
            if (index == SIZE_MAX) index = chain_entry_for_id(st, chain, start);
            BagData* data = chain_entry_data(st, chain_entry(chain, index));
            if (object == nullptr && data != nullptr && data->vocab == vocab &&
                bag_add_one(data, next.data(), n, graves, native))
                continue;
            // Counts that are objects, aliased values, a count that
            // overflows, or a bag of another kind: add_to_bag's way.
            Small<PyObject*> items;
            items.resize(n);
            for (size_t k = 0; k < n; ++k) items[k] = t.value(next[k]);
            Ref count = count_of(object, native);
            chain_add_values(st, chain, t.value(start), nullptr, items.data(), n, count.get());
            index = SIZE_MAX;
        }
    }
}

PyObject* mod_snapshot(PyObject* module, PyObject* obj) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        State* st = state_of_module(module);
        Ref keep = Ref::borrow(obj);
        Snapshot s;
        if (PyObject_TypeCheck(obj, st->chain_type)) {
            if (!chain_snapshot(reinterpret_cast<Chain*>(obj), s)) {
                PyErr_SetString(PyExc_TypeError, "snapshot() needs a chain whose bags are all ProbabilityBag");
                throw_error();
            }
        } else if (PyObject_TypeCheck(obj, st->bag_type)) {
            BagPin pin(bag_data(obj));
            s = bag_snapshot(pin.get());
        } else {
            PyErr_Format(PyExc_TypeError, "snapshot() needs a Chain or a ProbabilityBag, not %.200s",
                         Py_TYPE(obj)->tp_name);
            throw_error();
        }
        return PyTuple_Pack(2, s.blob.get(), s.side.get());
    });
}

namespace {

// One choice to add, held whole.
struct Added {
    Ref start;
    Ref next_start;
    Ref count;
};

// Every choice of a snapshot, with its next start as a tuple.
std::vector<Added> snapshot_choices(PyObject* blob, PyObject* side) {
    Parsed parsed(blob, side, kKindChain);
    bool plain = false;
    std::vector<Ref> values = parsed.values(plain);
    Counts counts(parsed);
    std::vector<Added> out;
    for (size_t e = 0; e < parsed.bags().size(); ++e) {
        const StoredBag& b = parsed.bags()[e];
        StoredChoices walk(b);
        const uint8_t *rec, *ids;
        size_t n;
        while (walk.next(rec, ids, n)) {
            std::vector<Ref> items;
            for (size_t k = 0; k < n; ++k) items.push_back(Ref::borrow(values[get32(ids + 4 * k)].get()));
            PyObject* object = counts.object(e, walk.index());
            Ref count = count_of(object, parsed.native_count(b, rec));
            out.push_back(Added{Ref::borrow(values[b.start].get()), tuple_of(items), std::move(count)});
        }
    }
    return out;
}

// Every choice of any chain, through its items() and each bag's choices(),
// all taken before the first is added.
std::vector<Added> chain_choices(PyObject* chain) {
    std::vector<Added> out;
    auto pair_of = [](PyObject* item, Ref& first, Ref& second) {
        Ref pair = check(PySequence_Tuple(item));
        if (PyTuple_GET_SIZE(pair.get()) != 2) {
            PyErr_SetString(PyExc_ValueError, "join() expects pairs from items() and choices()");
            throw_error();
        }
        first = Ref::borrow(PyTuple_GET_ITEM(pair.get(), 0));
        second = Ref::borrow(PyTuple_GET_ITEM(pair.get(), 1));
    };
    Ref items = check(PyObject_CallMethod(chain, "items", nullptr));
    Ref it = check(PyObject_GetIter(items.get()));
    while (Ref item = Ref(PyIter_Next(it.get()))) {
        Ref start, bag;
        pair_of(item.get(), start, bag);
        Ref choices = check(PyObject_CallMethod(bag.get(), "choices", nullptr));
        Ref each = check(PyObject_GetIter(choices.get()));
        while (Ref choice = Ref(PyIter_Next(each.get()))) {
            Added a{Ref::borrow(start.get()), Ref(), Ref()};
            pair_of(choice.get(), a.next_start, a.count);
            out.push_back(std::move(a));
        }
        if (PyErr_Occurred()) throw_error();
    }
    if (PyErr_Occurred()) throw_error();
    return out;
}

}  // namespace

PyObject* mod_join(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        State* st = state_of_module(module);
        if (nargs != 2) {
            PyErr_Format(PyExc_TypeError, "join() takes exactly 2 arguments (%zd given)", nargs);
            throw_error();
        }
        Ref target = Ref::borrow(args[0]), source = Ref::borrow(args[1]);
        bool exact = Py_IS_TYPE(target.get(), st->chain_type);
        bool snapshot = PyTuple_Check(source.get()) && PyTuple_GET_SIZE(source.get()) == 2;
        if (exact && snapshot) {
            chain_join(st, reinterpret_cast<Chain*>(target.get()), PyTuple_GET_ITEM(source.get(), 0),
                       PyTuple_GET_ITEM(source.get(), 1));
            Py_RETURN_NONE;
        }
        Snapshot s;
        // A chain is taken whole first, so that a chain joins itself as it was.
        if (exact && Py_IS_TYPE(source.get(), st->chain_type) &&
            chain_snapshot(reinterpret_cast<Chain*>(source.get()), s)) {
            chain_join(st, reinterpret_cast<Chain*>(target.get()), s.blob.get(), s.side.get());
            Py_RETURN_NONE;
        }
        // Anything else: each choice as it is now, then add_to_bag for each.
        std::vector<Added> added =
            snapshot ? snapshot_choices(PyTuple_GET_ITEM(source.get(), 0), PyTuple_GET_ITEM(source.get(), 1))
                     : chain_choices(source.get());
        Ref add = exact ? Ref() : check(PyObject_GetAttrString(target.get(), "add_to_bag"));
        for (Added& a : added) {
            if (exact) {
                chain_add_values(st, reinterpret_cast<Chain*>(target.get()), a.start.get(), a.next_start.get(), nullptr,
                                 0, a.count.get());
            } else {
                PyObject* call[4] = {nullptr, a.start.get(), a.next_start.get(), a.count.get()};
                check(PyObject_Vectorcall(add.get(), call + 1, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
            }
        }
        Py_RETURN_NONE;
    });
}

}  // namespace pjson

// Restoring snapshots (taken apart by snapshot_read.cpp) by building a
// fresh vocabulary and fresh blocks that are swapped in once complete.
#include "chain/snapshot.h"

#include "chain/block.h"

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace pjson {

namespace snapshot {

namespace {

// Restoring, with every value plain: the fresh blocks and store are built
// with no Python code running, and checked for choices (and starts) given
// twice, as no chain holds them.

[[noreturn]] void given_twice(const char* what) {
    PyErr_Format(PyExc_ValueError, "corrupt snapshot: %s given twice", what);
    throw_error();
}

bool same_value(const VocabTable& t, uint32_t a, uint32_t b) {
    if (a == b) return true;
    if (!t.aliased(a) || !t.aliased(b)) return false;
    // Plain values: comparing them runs no Python code.
    return check_status(PyObject_RichCompareBool(t.value(a), t.value(b), Py_EQ)) == 1;
}

bool same_choice(const BagData* d, size_t a, size_t b) {
    const uint32_t *x, *y;
    size_t n, m;
    ids_at(d, a, x, n);
    ids_at(d, b, y, m);
    if (n != m) return false;
    const VocabTable& t = *d->vocab->table;
    for (size_t e = 0; e < n; ++e)
        if (!same_value(t, x[e], y[e])) return false;
    return true;
}

// The block's hash index (chain.h: 8, 16 or 32-bit slots holding a
// choice's number + 1, linear probing, at most two thirds full), and the
// check that no choice comes twice.
void index_block(BagData* d, std::vector<Py_hash_t>& hashes) {
    size_t n = d->size;
    if (n <= kLinear) {
        // Few choices: comparing them costs less than hashing them.
        for (size_t c = 1; c < n; ++c)
            for (size_t o = 0; o < c; ++o)
                if (same_choice(d, o, c)) given_twice("a choice");
        return;
    }
    hashes.resize(n);
    for (size_t c = 0; c < n; ++c) hashes[c] = bag_choice_hash(d, c);
    // The block came with its index, zeroed.
    const int bits = d->index_bits;
    void* index = d->index;
    size_t mask = (size_t{1} << bits) - 1;
    for (size_t c = 0; c < n; ++c) {
        size_t i = static_cast<size_t>(hashes[c]) & mask;
        for (size_t s; (s = slot_get(bits, index, i)) != 0; i = (i + 1) & mask)
            if (hashes[s - 1] == hashes[c] && same_choice(d, s - 1, c)) given_twice("a choice");
        slot_set(bits, index, i, c + 1);
    }
}

struct BlockList {
    std::vector<BagData*> blocks;
    ~BlockList() {
        Graveyard graves;
        for (BagData* d : blocks)
            if (d != nullptr) bag_data_decref(d, graves);
    }
};

// A block of the stored bag, its ids those of `vocab` (the table's numbers),
// each held once for every place it fills; one allocation holds the block
// with its records, record starts and (empty) index.
BagData* build_block(Vocab* vocab, const StoredBag& b, BlockList& owner) {
    // Room for every block was made first: the push cannot throw.
    if (b.size == 0) {
        owner.blocks.push_back(bag_data_new(vocab));
        return owner.blocks.back();
    }
    BagData* d = bag_data_new_whole(vocab, b.words, b.mixed, b.size, index_bits_for(b.size));
    owner.blocks.push_back(d);
    words_in(d->records, b.records, b.words);
    if (b.mixed) {
        uint32_t at = 0;
        for (uint32_t c = 0; c < b.size; ++c) {
            d->offsets[c] = at;
            at += (b.wide ? 2 : 1) + get32(b.lengths + 4 * c);
        }
        d->offsets[b.size] = at;
    }
    d->width = b.width;
    d->mixed = b.mixed;
    d->wide = b.wide;
    d->cap = d->size = b.size;
    d->words = d->words_cap = b.words;
    VocabTable& t = *vocab->table;
    if (!d->mixed) {
        // Records of one length: the ids follow each count.
        size_t cw = count_words(d), step = stride(d);
        for (const uint32_t *r = d->records, *end = r + size_t{d->size} * step; r != end; r += step)
            for (size_t k = cw; k < step; ++k) t.hold(r[k]);
        return d;
    }
    for (size_t c = 0; c < d->size; ++c) {
        const uint32_t* ids;
        size_t n;
        ids_at(d, c, ids, n);
        for (size_t k = 0; k < n; ++k) t.hold(ids[k]);
    }
    return d;
}

void set_object_counts(const Parsed& parsed, const std::vector<BagData*>& blocks) {
    for (const StoredCount& c : parsed.object_counts()) {
        BagData* d = blocks[c.entry];
        BagExtra& x = extra_of(d);
        if (x.objects.empty()) x.objects.assign(d->size, nullptr);
        PyObject* o = PyTuple_GET_ITEM(parsed.side(), c.side);
        Py_INCREF(o);
        x.objects[c.choice] = o;
        ++x.object_counts;
        uint32_t* r = record(d, c.choice);
        r[0] = 0;
        if (d->wide) r[1] = 0;
    }
}

// The values of a snapshot's table and, when all are plain, a fresh
// vocabulary holding value k as id k (`vocab`; empty otherwise).
struct Table {
    std::vector<Ref> values;
    Ref vocab;
};

Table table_of(State* st, const Parsed& parsed) {
    Table out;
    out.vocab = Ref(reinterpret_cast<PyObject*>(vocab_new(st)));
    VocabTable& t = *reinterpret_cast<Vocab*>(out.vocab.get())->table;
    t.presize(parsed.value_count());
    // Out of the collector's sight while it fills, as the table of values
    // is: each of its passes meanwhile would walk the whole of it.
    PyObject_GC_UnTrack(out.vocab.get());
    bool plain = false, twice = false;
    out.values = parsed.values(plain, &t, &twice);
    if (!plain) {
        out.vocab = Ref();
        return out;
    }
    if (twice) given_twice("a value");
    PyObject_GC_Track(out.vocab.get());
    return out;
}

// Lets go of the table's own use of each value, once the blocks and the
// store hold theirs: a value nothing uses goes.
void release_table(Vocab* vocab, size_t count, Graveyard& graves) {
    for (size_t k = 0; k < count; ++k) vocab->table->release(static_cast<uint32_t>(k), graves);
}

// The blocks of every stored bag, indexed and checked.
void build_blocks(const Parsed& parsed, Vocab* vocab, BlockList& built) {
    std::vector<Py_hash_t> hashes;
    built.blocks.reserve(parsed.bags().size());
    for (const StoredBag& b : parsed.bags()) index_block(build_block(vocab, b, built), hashes);
    set_object_counts(parsed, built.blocks);
}

// A store of the stored starts, each owning its block. The starts are
// checked before any block moves into the store.
ChainStore* build_store(const Parsed& parsed, Vocab* vocab, BlockList& built) {
    std::unique_ptr<ChainStore> store(new ChainStore());
    const std::vector<StoredBag>& bags = parsed.bags();
    size_t n = bags.size();
    VocabTable& t = *vocab->table;
    size_t cap = 8;
    while ((n + 1) * 3 > cap * 2) cap *= 2;
    store->slots.assign(cap, 0);
    store->entry_of_id.assign(t.bound(), UINT32_MAX);
    store->entries.reserve(n);
    size_t mask = cap - 1;
    for (size_t e = 0; e < n; ++e) {
        uint32_t start = bags[e].start;
        Py_hash_t h = t.hash(start);
        size_t i = static_cast<size_t>(h) & mask;
        for (uint32_t s; (s = store->slots[i]) != 0; i = (i + 1) & mask) {
            uint32_t other = store->entries[s - 1].start;
            if (t.hash(other) == h && same_value(t, other, start)) given_twice("a start");
        }
        store->slots[i] = static_cast<uint32_t>(e + 1);
        store->entry_of_id[start] = static_cast<uint32_t>(e);
        store->entries.push_back(ChainEntry{start, nullptr, nullptr});
    }
    for (size_t e = 0; e < n; ++e) {
        t.hold(store->entries[e].start);
        store->entries[e].data = std::exchange(built.blocks[e], nullptr);
    }
    built.blocks.clear();
    return store.release();
}

// The general way, for values that are not all plain: hashing and
// comparing them runs Python code. The bags are built as objects of their
// own, and a choice or start that does not make its bag or chain grow was
// given twice.
Ref bag_of_stored(State* st, const Parsed& parsed, const std::vector<Ref>& values, size_t entry) {
    Ref bag(reinterpret_cast<PyObject*>(bag_new(st, nullptr)));
    const StoredBag& b = parsed.bags()[entry];
    const std::vector<StoredCount>& objects = parsed.object_counts();
    auto object = std::lower_bound(objects.begin(), objects.end(), entry,
                                   [](const StoredCount& c, size_t e) { return c.entry < e; });
    StoredChoices walk(b);
    const uint8_t *rec, *ids;
    size_t n;
    std::vector<PyObject*> items;
    while (walk.next(rec, ids, n)) {
        items.resize(n);
        for (size_t k = 0; k < n; ++k) items[k] = values[get32(ids + 4 * k)].get();
        Ref count;
        if (object != objects.end() && object->entry == entry && object->choice == walk.index())
            count = Ref::borrow(PyTuple_GET_ITEM(parsed.side(), (object++)->side));
        else
            count = check(PyLong_FromLongLong(parsed.native_count(b, rec)));
        BagData* d = bag_data(bag.get());
        BagPin pin(d);
        size_t before = bag_size(d);
        Graveyard graves;
        Hashed h;
        hash_values(items.data(), n, h);
        bag_add_probe(st, d, items.data(), h.hashes.data(), n, h.hash, CountArg{count.get()}, true, graves);
        if (bag_data(bag.get()) != d || bag_size(d) != before + 1) given_twice("a choice");
    }
    return bag;
}

}  // namespace

}  // namespace snapshot

using namespace snapshot;

void chain_restore(State* st, Chain* chain, PyObject* blob, PyObject* side) {
    Parsed parsed(blob, side, kKindChain);
    Table table = table_of(st, parsed);
    const std::vector<Ref>& values = table.values;
    if (!table.vocab) {
        std::vector<Ref> bags;
        for (size_t e = 0; e < parsed.bags().size(); ++e) bags.push_back(bag_of_stored(st, parsed, values, e));
        if (chain->vocab != nullptr) chain_clear(chain);
        for (size_t e = 0; e < bags.size(); ++e) {
            Py_ssize_t before = chain_size(chain);
            chain_set_bag(st, chain, values[parsed.bags()[e].start].get(), bags[e].get());
            if (chain_size(chain) != before + 1) given_twice("a start");
        }
        return;
    }
    Ref vocab = std::move(table.vocab);
    Vocab* v = reinterpret_cast<Vocab*>(vocab.get());
    // From here to the swap nothing runs Python code.
    BlockList built;
    build_blocks(parsed, v, built);
    ChainStore* store = build_store(parsed, v, built);
    Graveyard graves;
    release_table(v, values.size(), graves);
    // The old content goes once the new one is in place.
    ChainStore* old = std::exchange(chain->store, store);
    Vocab* old_vocab = std::exchange(chain->vocab, reinterpret_cast<Vocab*>(vocab.release()));
    store->clears = old->clears + 1;
    ++chain->stamp;
    for (ChainEntry& e : old->entries) {
        old_vocab->table->release(e.start, graves);
        if (e.data != nullptr) bag_data_decref(e.data, graves);
        if (e.bag != nullptr) graves.bury(e.bag);
    }
    delete old;
    if (old_vocab != nullptr) graves.bury(reinterpret_cast<PyObject*>(old_vocab));
}

void bag_restore(State* st, Bag* bag, PyObject* blob, PyObject* side) {
    Parsed parsed(blob, side, kKindBag);
    Table table = table_of(st, parsed);
    const std::vector<Ref>& values = table.values;
    BagData* fresh;
    Ref made;  // the general way's bag, which gives up its block
    Ref vocab = std::move(table.vocab);
    BlockList built;
    if (!vocab) {
        made = bag_of_stored(st, parsed, values, 0);
        fresh = std::exchange(reinterpret_cast<Bag*>(made.get())->data, bag_data_new(nullptr));
    } else {
        build_blocks(parsed, reinterpret_cast<Vocab*>(vocab.get()), built);
        fresh = built.blocks[0];
        built.blocks.clear();
    }
    Graveyard graves;
    if (vocab) release_table(reinterpret_cast<Vocab*>(vocab.get()), values.size(), graves);
    // A pick drawing from the old block keeps it, as bag_renew leaves it.
    bag_data_decref(std::exchange(bag->data, fresh), graves);
}

}  // namespace pjson

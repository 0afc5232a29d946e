// Writing snapshots (their layout in snapshot.h) straight from the blocks
// and the vocabulary; the values are encoded by snapshot_values.cpp.
#include "chain/snapshot_values.h"

#include "chain/block.h"

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace pjson {

namespace snapshot {

namespace {

[[noreturn]] void released() {
    PyErr_SetString(PyExc_RuntimeError, "the chain's values were released");
    throw_error();
}

// A bytes object filled in place: made with room to spare, grown while it
// is filled and cut to its size at the end. A bytes object is no container:
// making or resizing it runs no collection, and no code sees it meanwhile.
class Blob {
public:
    explicit Blob(size_t room) : bytes_(check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(room)))) {
        room_ = room;
    }
    uint8_t* at(size_t offset) noexcept { return reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(bytes_.get())) + offset; }
    // Where the next `n` bytes go, once there is room for them.
    uint8_t* room_for(size_t n) {
        if (room_ - size_ < n) resize(std::max(size_ + n, room_ + room_ / 2));
        return at(size_);
    }
    void wrote(size_t n) noexcept { size_ += n; }
    void put(const void* p, size_t n) {
        if (n > 0) std::memcpy(room_for(n), p, n);
        size_ += n;
    }
    size_t size() const noexcept { return size_; }
    Ref finish() {
        if (size_ != room_) resize(size_);
        return std::move(bytes_);
    }

private:
    void resize(size_t room) {
        PyObject* bytes = bytes_.release();
        if (_PyBytes_Resize(&bytes, static_cast<Py_ssize_t>(room)) < 0) throw_error();
        bytes_ = Ref(bytes);
        room_ = room;
    }
    Ref bytes_;
    size_t size_ = 0, room_ = 0;
};

// What a snapshot is written from: the values by number, and the numbers of
// the ids (`number_of`, by id).
struct Source {
    uint8_t kind;
    std::vector<uint32_t> number_of;  // id -> value number
    std::vector<PyObject*> table;     // value number -> value (borrowed)

    uint32_t number(uint32_t id) const {
        if (id >= number_of.size() || number_of[id] == kUnset) released();
        return number_of[id];
    }
    // Where every id is its own number (a vocabulary without free ids whose
    // values were first used in the order of their ids), records are the
    // block's words as they are.
    bool same_ids() const noexcept {
        if (number_of.size() != table.size()) return false;
        for (size_t id = 0; id < number_of.size(); ++id)
            if (number_of[id] != id) return false;
        return true;
    }
};

// Writes the entries of `n` blocks, given in order by `block(e, start)`
// (nullptr: a block that a snapshot cannot hold), into `blob`, each visited
// once for its entry, its records (appended to `blob`) and the lengths of
// its choices (to `lengths`). False when a block cannot be held.
template <class Block>
bool write_blocks(const Source& s, size_t n, Block&& block, Blob& blob, Out& lengths, size_t& choices,
                  std::vector<std::pair<uint32_t, const BagData*>>& with_objects) {
    const bool same_ids = s.same_ids();
    const size_t entries = blob.size();
    blob.room_for(kEntrySize * n);
    blob.wrote(kEntrySize * n);
    for (size_t e = 0; e < n; ++e) {
        uint32_t start = kNoStart;
        const BagData* d = block(e, start);
        if (d == nullptr) return false;
        uint8_t* p = blob.at(entries + kEntrySize * e);
        put32(p, start);
        put32(p + 4, d->size);
        put32(p + 8, d->words);
        p[12] = d->size > 0 ? d->width : 0;
        p[13] = static_cast<uint8_t>((d->wide ? kWide : 0) | (d->mixed ? kMixed : 0));
        p[14] = p[15] = 0;
        choices += d->size;
        uint8_t* r = blob.room_for(4 * size_t{d->words});
        if (same_ids) {
            words_out(r, d->records, d->words);
        } else {
            const size_t cw = count_words(d);
            for (size_t c = 0; c < d->size; ++c) {
                const uint32_t* counts = record(d, c);
                const uint32_t* ids;
                size_t length;
                ids_at(d, c, ids, length);
                for (size_t k = 0; k < cw; ++k, r += 4) put32(r, counts[k]);
                for (size_t k = 0; k < length; ++k, r += 4) put32(r, s.number(ids[k]));
            }
        }
        blob.wrote(4 * size_t{d->words});
        if (d->mixed) {
            lengths.reserve(4 * size_t{d->size});
            uint8_t* l = lengths.cursor();
            const uint32_t cw = static_cast<uint32_t>(count_words(d));
            for (size_t c = 0; c < d->size; ++c, l += 4) put32(l, d->offsets[c + 1] - d->offsets[c] - cw);
            lengths.advance_to(l);
        }
        if (d->extra != nullptr && d->extra->object_counts > 0) with_objects.emplace_back(static_cast<uint32_t>(e), d);
    }
    return true;
}

// The snapshot of `n` blocks given by `block` (write_blocks), false when
// one cannot be held. Nothing here runs Python code until the bytes are
// complete; only then are Python objects made.
template <class Block>
bool write(const Source& s, size_t n, Block&& block, Snapshot& out) {
    ValueWriter values(s.table);
    values.write_all();
    const Out& vbytes = values.bytes();
    // Records take about five words a block in chains of text.
    Blob blob(kHeaderSize + vbytes.size() + (kEntrySize + 24) * n);
    blob.wrote(kHeaderSize);
    blob.put(vbytes.data(), vbytes.size());
    const size_t records = blob.size() + kEntrySize * n;
    Out lengths;
    size_t choices = 0;
    std::vector<std::pair<uint32_t, const BagData*>> with_objects;
    if (!write_blocks(s, n, block, blob, lengths, choices, with_objects)) return false;
    const size_t words = (blob.size() - records) / 4;
    blob.put(lengths.data(), lengths.size());
    std::vector<StoredCount> counts;
    for (const auto& [e, d] : with_objects)
        for (size_t c = 0; c < d->size; ++c)
            if (PyObject* o = d->extra->objects[c])
                counts.push_back(StoredCount{e, static_cast<uint32_t>(c), values.beside(o)});
    for (const StoredCount& c : counts) {
        uint8_t* p = blob.room_for(12);
        put32(p, c.entry);
        put32(p + 4, c.choice);
        put32(p + 8, c.side);
        blob.wrote(12);
    }
    uint8_t* p = blob.at(0);
    std::memset(p, 0, kHeaderSize);
    std::memcpy(p, kMagic, 4);
    p[4] = kVersion;
    p[5] = s.kind;
    const uint64_t header[7] = {s.table.size(), vbytes.size(), n, choices, words, lengths.size() / 4, counts.size()};
    for (int i = 0; i < 7; ++i) put64(p + 8 + 8 * i, header[i]);
    Ref bytes = blob.finish();
    std::vector<Ref>& side = values.side();
    Ref side_tuple = tuple_of(side);
    out = Snapshot{std::move(bytes), std::move(side_tuple)};
    return true;
}

}  // namespace

}  // namespace snapshot

using namespace snapshot;

bool chain_snapshot(Chain* chain, Snapshot& out) {
    State* st = state_of(Py_TYPE(chain));
    if (st == nullptr) throw_error();
    Vocab* vocab = chain->vocab;
    Source s;
    s.kind = kKindChain;
    if (vocab != nullptr) {
        // The values in id order, numbered densely.
        const VocabTable& t = *vocab->table;
        s.number_of.assign(t.bound(), kUnset);
        s.table.reserve(t.live());
        for (uint32_t id = 0; id < t.bound(); ++id) {
            if (PyObject* v = t.value(id)) {
                s.number_of[id] = static_cast<uint32_t>(s.table.size());
                s.table.push_back(v);
            }
        }
    }
    const size_t n = static_cast<size_t>(chain_size(chain));
    return write(
        s, n,
        [&](size_t e, uint32_t& start) -> const BagData* {
            if (e + kAhead < n)
                if (const BagData* ahead = chain_entry_data(st, chain_entry(chain, e + kAhead))) {
                    __builtin_prefetch(ahead);
                    __builtin_prefetch(reinterpret_cast<const char*>(ahead) + 64);
                }
            if (e + kAhead / 2 < n)
                if (const BagData* ahead = chain_entry_data(st, chain_entry(chain, e + kAhead / 2)))
                    __builtin_prefetch(ahead->records);
            const ChainEntry* entry = chain_entry(chain, e);
            const BagData* d = chain_entry_data(st, entry);
            if (d == nullptr || (d->size > 0 && d->vocab != vocab)) return nullptr;
            start = vocab != nullptr ? s.number(entry->start) : entry->start;
            return d;
        },
        out);
}

Snapshot bag_snapshot(BagData* d) {
    Source s;
    s.kind = kKindBag;
    if (d->vocab != nullptr && d->size > 0) {
        // The values the bag uses, in the order of their first use.
        const VocabTable& t = *d->vocab->table;
        s.number_of.assign(t.bound(), kUnset);
        for (size_t c = 0; c < d->size; ++c) {
            const uint32_t* ids;
            size_t n;
            bag_span(d, c, ids, n);
            for (size_t k = 0; k < n; ++k) {
                if (ids[k] >= t.bound() || t.value(ids[k]) == nullptr) released();
                if (s.number_of[ids[k]] != kUnset) continue;
                s.number_of[ids[k]] = static_cast<uint32_t>(s.table.size());
                s.table.push_back(t.value(ids[k]));
            }
        }
    }
    Snapshot out;
    write(s, 1, [&](size_t, uint32_t&) -> const BagData* { return d; }, out);
    return out;
}

}  // namespace pjson

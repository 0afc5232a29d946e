// Writing snapshots (their layout in snapshot.h) straight from the blocks
// and the vocabulary.
#include "chain/snapshot.h"

#include "chain/block.h"

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace pjson {

namespace snapshot {

namespace {

constexpr uint32_t kUnset = UINT32_MAX;

// Writing.

// A growing byte buffer. Room is made ahead for each value (`reserve`),
// so that the bytes of one are written without a check each.
class Out {
public:
    Out() = default;
    Out(const Out&) = delete;
    Out& operator=(const Out&) = delete;
    ~Out() { std::free(data_); }
    void reserve(size_t n) {
        if (cap_ - size_ >= n) return;
        size_t cap = std::max(cap_ * 2, size_ + n + 64);
        void* p = std::realloc(data_, cap);
        if (p == nullptr) throw std::bad_alloc();
        data_ = static_cast<uint8_t*>(p);
        cap_ = cap;
    }
    // These write into room reserved before.
    void byte(uint8_t b) noexcept { data_[size_++] = b; }
    void varint(uint64_t v) noexcept { size_ = static_cast<size_t>(put_varint(data_ + size_, v) - data_); }
    // Several pieces written through a cursor of the caller's, which stays
    // in a register where stores through data_ would reload size_ each time.
    uint8_t* cursor() noexcept { return data_ + size_; }
    void advance_to(const uint8_t* p) noexcept { size_ = static_cast<size_t>(p - data_); }
    static uint8_t* put_varint(uint8_t* p, uint64_t v) noexcept {
        while (v >= 0x80) {
            *p++ = static_cast<uint8_t>(v | 0x80);
            v >>= 7;
        }
        *p++ = static_cast<uint8_t>(v);
        return p;
    }
    void raw(const void* p, size_t n) noexcept {
        std::memcpy(data_ + size_, p, n);
        size_ += n;
    }
    void set(size_t at, uint8_t b) noexcept { data_[at] = b; }
    void truncate(size_t at) noexcept { size_ = at; }
    size_t size() const noexcept { return size_; }
    const uint8_t* data() const noexcept { return data_; }

private:
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t cap_ = 0;
};

constexpr size_t kVarint = 10;  // bytes of the longest varint

// Values and blocks this far ahead are asked for while one is written:
// each lies apart from the others, and waiting for them one at a time is most of the
// cost of a large chain.
constexpr size_t kAhead = 32;

// The numbers of the table's values that are no tuples, found by object:
// a tuple's element that is one of them is written as a reference. Open
// addressing on the pointer, at most half full: it grows with the values
// added, which in a chain of tuples of words are few beside the tuples.
class KnownValues {
public:
    KnownValues() : slots_(kFirst, Slot{nullptr, 0}) {}
    void add(PyObject* value, uint32_t number) {
        if (2 * (count_ + 1) > slots_.size()) grow();
        if (place(slots_, value, number)) ++count_;
    }
    void prefetch(PyObject* value) const noexcept { __builtin_prefetch(&slots_[spread(value) & (slots_.size() - 1)]); }
    uint32_t find(PyObject* value) const noexcept {
        size_t mask = slots_.size() - 1;
        for (size_t i = spread(value) & mask;; i = (i + 1) & mask) {
            if (slots_[i].value == value) return slots_[i].number;
            if (slots_[i].value == nullptr) return kUnset;
        }
    }

private:
    struct Slot {
        PyObject* value;
        uint32_t number;
    };
    static constexpr size_t kFirst = 1024;
    static size_t spread(PyObject* p) noexcept {
        return static_cast<size_t>((reinterpret_cast<uintptr_t>(p) >> 4) * 0x9E3779B97F4A7C15ULL >> 17);
    }
    // False when the value was there already.
    static bool place(std::vector<Slot>& slots, PyObject* value, uint32_t number) noexcept {
        size_t mask = slots.size() - 1;
        for (size_t i = spread(value) & mask;; i = (i + 1) & mask) {
            if (slots[i].value == nullptr) {
                slots[i] = Slot{value, number};
                return true;
            }
            if (slots[i].value == value) return false;
        }
    }
    void grow() {
        std::vector<Slot> larger(2 * slots_.size(), Slot{nullptr, 0});
        for (const Slot& slot : slots_)
            if (slot.value != nullptr) place(larger, slot.value, slot.number);
        slots_.swap(larger);
    }
    std::vector<Slot> slots_;
    size_t count_ = 0;
};

// The UTF-8 of a str; false when it holds a lone surrogate, written as
// "surrogatepass" writes it.
bool put_str(Out& out, PyObject* s) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (PyUnicode_IS_ASCII(s)) {
        out.reserve(kVarint + static_cast<size_t>(n));
        out.varint(static_cast<uint64_t>(n));
        out.raw(PyUnicode_DATA(s), static_cast<size_t>(n));
        return true;
    }
    int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    size_t size = 0;
    bool surrogates = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        size += c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
        surrogates = surrogates || (c >= 0xD800 && c <= 0xDFFF);
    }
    out.reserve(kVarint + size);
    out.varint(size);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c < 0x80) {
            out.byte(static_cast<uint8_t>(c));
        } else if (c < 0x800) {
            out.byte(static_cast<uint8_t>(0xC0 | (c >> 6)));
            out.byte(static_cast<uint8_t>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.byte(static_cast<uint8_t>(0xE0 | (c >> 12)));
            out.byte(static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F)));
            out.byte(static_cast<uint8_t>(0x80 | (c & 0x3F)));
        } else {
            out.byte(static_cast<uint8_t>(0xF0 | (c >> 18)));
            out.byte(static_cast<uint8_t>(0x80 | ((c >> 12) & 0x3F)));
            out.byte(static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F)));
            out.byte(static_cast<uint8_t>(0x80 | (c & 0x3F)));
        }
    }
    return !surrogates;
}

// Encodes the values of the table. Runs no Python code: objects that travel
// beside are only collected (with a reference), and nothing is allocated
// on the Python heap.
class ValueWriter {
public:
    ValueWriter(const std::vector<PyObject*>& table) : table_(table) {
        // A short word or a start of references takes about this much.
        out_.reserve(8 * table.size());
    }
    // Values that are no tuples are known as they come, and a tuple's items
    // are mostly earlier values. Should an item be missed that may come
    // later, every value is made known and the writing goes on from that
    // tuple again, so that the bytes are those of knowing all from the start.
    void write_all() {
        const size_t n = table_.size();
        for (size_t k = 0; k < n; ++k) {
            if (k + 2 * kAhead < n) __builtin_prefetch(table_[k + 2 * kAhead]);
            if (k + kAhead < n) prefetch_items(table_[k + kAhead]);
            PyObject* v = table_[k];
            const bool tuple = PyTuple_CheckExact(v);
            if (!tuple && !complete_) known_.add(v, static_cast<uint32_t>(k));
            const size_t at = out_.size(), sides = side_.size();
            if (!(tuple && refs_only(v)) && !value(v, 0)) side(v);
            if (missed_) {
                out_.truncate(at);
                side_.resize(sides);
                know_all(k + 1);
                --k;
            }
        }
    }
    std::vector<Ref>& side() noexcept { return side_; }
    const Out& bytes() const noexcept { return out_; }
    uint32_t beside(PyObject* v) {
        side_.push_back(Ref::borrow(v));
        return static_cast<uint32_t>(side_.size() - 1);
    }

private:
    // Every value from `from` on that is no tuple made known.
    void know_all(size_t from) {
        for (size_t k = from; k < table_.size(); ++k)
            if (!PyTuple_CheckExact(table_[k])) known_.add(table_[k], static_cast<uint32_t>(k));
        complete_ = true;
        missed_ = false;
    }
    // The number of a tuple's item, kUnset for an item that is no value of
    // the table (or not known yet: then `missed_`).
    uint32_t number_of(PyObject* item) noexcept {
        uint32_t k = known_.find(item);
        if (k == kUnset && !complete_ && !PyTuple_CheckExact(item)) missed_ = true;
        return k;
    }

    // Asks for the lookups of a tuple's items (the tuple itself asked for
    // earlier), and for the text of a str.
    void prefetch_items(PyObject* v) const noexcept {
        if (PyTuple_CheckExact(v)) {
            const Py_ssize_t n = std::min<Py_ssize_t>(PyTuple_GET_SIZE(v), 4);
            for (Py_ssize_t i = 0; i < n; ++i) known_.prefetch(PyTuple_GET_ITEM(v, i));
        }
    }

    // A tuple whose items are all values of the table that are no tuples,
    // the common start, written as references in one go: the bytes value()
    // writes for it. False, with nothing written, for any other tuple.
    bool refs_only(PyObject* v) {
        constexpr Py_ssize_t kMost = 8;
        Py_ssize_t n = PyTuple_GET_SIZE(v);
        if (n == 0 || n > kMost) return false;
        uint32_t numbers[kMost];
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* item = PyTuple_GET_ITEM(v, i);
            // No tuple is among the known values: find() alone tells, without reading the item.
            if ((numbers[i] = number_of(item)) == kUnset) return false;
        }
        out_.reserve(1 + kVarint + static_cast<size_t>(n) * (1 + kVarint));
        uint8_t* p = out_.cursor();
        *p++ = tag_tuple;
        p = Out::put_varint(p, static_cast<uint64_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            *p++ = tag_ref;
            p = Out::put_varint(p, numbers[i]);
        }
        out_.advance_to(p);
        return true;
    }

    // Writes a plain value; false (nothing written) for one that must
    // travel beside. A tuple is plain when its items are, to the depth
    // is_plain follows.
    bool value(PyObject* v, int depth) {
        out_.reserve(2 * kVarint + 8);
        if (depth > 0 && !PyTuple_CheckExact(v)) {
            uint32_t k = number_of(v);
            if (k != kUnset) {
                out_.byte(tag_ref);
                out_.varint(k);
                return true;
            }
        }
        if (PyUnicode_CheckExact(v)) {
            size_t at = out_.size();
            out_.byte(tag_str);
            if (!put_str(out_, v)) out_.set(at, tag_str_surrogates);
        } else if (PyLong_CheckExact(v)) {
            int overflow = 0;
            long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
            if (overflow != 0) {
                // Plain, but too long for the bytes: beside, as an element too.
                if (depth == 0) return false;
                out_.byte(tag_side);
                out_.varint(beside(v));
                return true;
            }
            out_.byte(tag_int);
            uint64_t u = static_cast<uint64_t>(n);
            out_.varint((u << 1) ^ (n < 0 ? ~uint64_t{0} : 0));
        } else if (PyFloat_CheckExact(v)) {
            double d = PyFloat_AS_DOUBLE(v);
            uint64_t bits;
            std::memcpy(&bits, &d, 8);
            uint8_t b[8];
            put64(b, bits);
            out_.byte(tag_float);
            out_.raw(b, 8);
        } else if (v == Py_None) {
            out_.byte(tag_none);
        } else if (PyBool_Check(v)) {
            out_.byte(v == Py_True ? tag_true : tag_false);
        } else if (PyBytes_CheckExact(v)) {
            size_t n = static_cast<size_t>(PyBytes_GET_SIZE(v));
            out_.reserve(kVarint + n);
            out_.byte(tag_bytes);
            out_.varint(n);
            out_.raw(PyBytes_AS_STRING(v), n);
        } else if (PyTuple_CheckExact(v) && depth < kPlainDepth) {
            size_t at = out_.size(), sides = side_.size();
            out_.byte(tag_tuple);
            out_.varint(static_cast<uint64_t>(PyTuple_GET_SIZE(v)));
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(v); ++i) {
                if (!value(PyTuple_GET_ITEM(v, i), depth + 1)) {
                    // Not plain after all: the whole tuple goes beside.
                    out_.truncate(at);
                    side_.resize(sides);
                    return false;
                }
            }
        } else {
            return false;
        }
        return true;
    }
    void side(PyObject* v) {
        out_.reserve(1 + kVarint);
        out_.byte(tag_side);
        out_.varint(beside(v));
    }

    const std::vector<PyObject*>& table_;
    KnownValues known_;
    Out out_;
    std::vector<Ref> side_;
    bool complete_ = false;  // every value that is no tuple is known
    bool missed_ = false;    // an item was not found while some were unknown
};

[[noreturn]] void released() {
    PyErr_SetString(PyExc_RuntimeError, "the chain's values were released");
    throw_error();
}

// What a snapshot is written from: the values by number and the numbers of
// the ids (`number_of`, by id); then, block by block (`add`), each block's
// 16 bytes of entry, its records and its lengths, taken in one visit.
struct Source {
    uint8_t kind;
    std::vector<uint32_t> number_of;  // id -> value number
    std::vector<PyObject*> table;     // value number -> value (borrowed)
    std::vector<uint8_t> entries;     // kEntrySize bytes per block
    Out records, lengths;
    size_t blocks = 0, choices = 0;
    // The blocks whose counts include objects, and their entries.
    std::vector<std::pair<uint32_t, const BagData*>> with_objects;

    // Sets the way records are taken: where every id is its own number (a
    // vocabulary without free ids whose values were first used in the order
    // of their ids) they are the block's words as they are.
    void numbered(size_t blocks_ahead) {
        same_ids_ = number_of.size() == table.size();
        for (size_t id = 0; same_ids_ && id < number_of.size(); ++id) same_ids_ = number_of[id] == id;
        entries.reserve(kEntrySize * blocks_ahead);
    }
    void add(const BagData* d, uint32_t start) {
        const size_t e = blocks++;
        entries.resize(entries.size() + kEntrySize);
        uint8_t* p = entries.data() + kEntrySize * e;
        put32(p, start);
        put32(p + 4, d->size);
        put32(p + 8, d->words);
        p[12] = d->size > 0 ? d->width : 0;
        p[13] = static_cast<uint8_t>((d->wide ? kWide : 0) | (d->mixed ? kMixed : 0));
        p[14] = p[15] = 0;
        choices += d->size;
        records.reserve(4 * size_t{d->words});
        uint8_t* r = records.cursor();
        if (same_ids_) {
            words_out(r, d->records, d->words);
            r += 4 * size_t{d->words};
        } else {
            const size_t cw = count_words(d);
            for (size_t c = 0; c < d->size; ++c) {
                const uint32_t* counts = record(d, c);
                const uint32_t* ids;
                size_t length;
                ids_at(d, c, ids, length);
                for (size_t k = 0; k < cw; ++k, r += 4) put32(r, counts[k]);
                for (size_t k = 0; k < length; ++k, r += 4) put32(r, number(ids[k]));
            }
        }
        records.advance_to(r);
        if (d->mixed) {
            lengths.reserve(4 * size_t{d->size});
            uint8_t* l = lengths.cursor();
            const uint32_t cw = static_cast<uint32_t>(count_words(d));
            for (size_t c = 0; c < d->size; ++c, l += 4) put32(l, d->offsets[c + 1] - d->offsets[c] - cw);
            lengths.advance_to(l);
        }
        if (d->extra != nullptr && d->extra->object_counts > 0) with_objects.emplace_back(static_cast<uint32_t>(e), d);
    }
    uint32_t number(uint32_t id) const {
        if (id >= number_of.size() || number_of[id] == kUnset) released();
        return number_of[id];
    }

private:
    bool same_ids_ = false;
};

// The bytes and the side tuple. Nothing here runs Python code until the
// bytes are complete; only then are Python objects made.
Snapshot write(Source& s) {
    ValueWriter values(s.table);
    values.write_all();
    std::vector<StoredCount> counts;
    for (const auto& [e, d] : s.with_objects)
        for (size_t c = 0; c < d->size; ++c)
            if (PyObject* o = d->extra->objects[c])
                counts.push_back(StoredCount{e, static_cast<uint32_t>(c), values.beside(o)});
    const Out& vbytes = values.bytes();
    const size_t total =
        kHeaderSize + vbytes.size() + s.entries.size() + s.records.size() + s.lengths.size() + 12 * counts.size();
    // A bytes object is no container: making it runs no collection.
    Ref blob = check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total)));
    uint8_t* p = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(blob.get()));
    std::memset(p, 0, kHeaderSize);
    std::memcpy(p, kMagic, 4);
    p[4] = kVersion;
    p[5] = s.kind;
    const uint64_t header[7] = {s.table.size(),       vbytes.size(),        s.blocks,     s.choices,
                                s.records.size() / 4, s.lengths.size() / 4, counts.size()};
    for (int i = 0; i < 7; ++i) put64(p + 8 + 8 * i, header[i]);
    p += kHeaderSize;
    for (const auto& [bytes, size] : {std::pair{vbytes.data(), vbytes.size()},
                                      {s.entries.data(), s.entries.size()},
                                      {s.records.data(), s.records.size()},
                                      {s.lengths.data(), s.lengths.size()}}) {
        if (size > 0) std::memcpy(p, bytes, size);
        p += size;
    }
    for (const StoredCount& c : counts) {
        put32(p, c.entry);
        put32(p + 4, c.choice);
        put32(p + 8, c.side);
        p += 12;
    }
    std::vector<Ref>& side = values.side();
    Ref side_tuple = tuple_of(side);
    return Snapshot{std::move(blob), std::move(side_tuple)};
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
    s.numbered(n);
    for (size_t e = 0; e < n; ++e) {
        if (e + kAhead < n)
            if (const BagData* ahead = chain_entry_data(st, chain_entry(chain, e + kAhead))) {
                __builtin_prefetch(ahead);
                __builtin_prefetch(reinterpret_cast<const char*>(ahead) + 64);
            }
        if (e + kAhead / 2 < n)
            if (const BagData* ahead = chain_entry_data(st, chain_entry(chain, e + kAhead / 2)))
                __builtin_prefetch(ahead->records);
        const ChainEntry* entry = chain_entry(chain, e);
        BagData* d = chain_entry_data(st, entry);
        if (d == nullptr || (d->size > 0 && d->vocab != vocab)) return false;
        s.add(d, vocab != nullptr ? s.number(entry->start) : entry->start);
    }
    out = write(s);
    return true;
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
    s.numbered(1);
    s.add(d, kNoStart);
    return write(s);
}

}  // namespace pjson

// Snapshots of a chain or a bag (their layout in snapshot.h): written
// straight from the blocks and the vocabulary, and restored by building a
// fresh vocabulary and fresh blocks that are swapped in once complete.
#include "chain/snapshot.h"

#include "chain/block.h"

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace pjson {

namespace snapshot {

void corrupt(const char* what) {
    PyErr_Format(PyExc_ValueError, "corrupt snapshot: %s", what);
    throw_error();
}

namespace {

constexpr uint32_t kUnset = UINT32_MAX;

// ---------------------------------------------------------------------------
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
    void varint(uint64_t v) noexcept {
        while (v >= 0x80) {
            byte(static_cast<uint8_t>(v | 0x80));
            v >>= 7;
        }
        byte(static_cast<uint8_t>(v));
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

// The numbers of the table's values that are no tuples, found by object:
// a tuple's element that is one of them is written as a reference. Open
// addressing on the pointer.
class KnownValues {
public:
    explicit KnownValues(size_t n) : slots_(capacity(n), Slot{nullptr, 0}) {}
    void add(PyObject* value, uint32_t number) noexcept {
        size_t mask = slots_.size() - 1;
        for (size_t i = spread(value) & mask;; i = (i + 1) & mask) {
            if (slots_[i].value == nullptr) {
                slots_[i] = Slot{value, number};
                return;
            }
            if (slots_[i].value == value) return;
        }
    }
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
    static size_t capacity(size_t n) {
        size_t cap = 16;
        while (cap < 2 * n) cap *= 2;
        return cap;
    }
    static size_t spread(PyObject* p) noexcept {
        return static_cast<size_t>((reinterpret_cast<uintptr_t>(p) >> 4) * 0x9E3779B97F4A7C15ULL >> 17);
    }
    std::vector<Slot> slots_;
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
    ValueWriter(const std::vector<PyObject*>& table) : table_(table), known_(table.size()) {
        for (size_t k = 0; k < table.size(); ++k)
            if (!PyTuple_CheckExact(table[k])) known_.add(table[k], static_cast<uint32_t>(k));
    }
    void write_all() {
        for (PyObject* v : table_)
            if (!value(v, 0)) side(v);
    }
    std::vector<Ref>& side() noexcept { return side_; }
    const Out& bytes() const noexcept { return out_; }
    uint32_t beside(PyObject* v) {
        side_.push_back(Ref::borrow(v));
        return static_cast<uint32_t>(side_.size() - 1);
    }

private:
    // Writes a plain value; false (nothing written) for one that must
    // travel beside. A tuple is plain when its items are, to the depth
    // is_plain follows.
    bool value(PyObject* v, int depth) {
        out_.reserve(2 * kVarint + 8);
        if (depth > 0 && !PyTuple_CheckExact(v)) {
            uint32_t k = known_.find(v);
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
};

// What a snapshot is written from: per entry its start's number and its
// block, and the numbers of the block's ids (`number_of`, by id).
struct Source {
    uint8_t kind;
    std::vector<uint32_t> starts;
    std::vector<BagData*> blocks;
    std::vector<uint32_t> number_of;  // id -> value number
    std::vector<PyObject*> table;     // value number -> value (borrowed)
};

[[noreturn]] void released() {
    PyErr_SetString(PyExc_RuntimeError, "the chain's values were released");
    throw_error();
}

uint32_t number(const Source& s, uint32_t id) {
    if (id >= s.number_of.size() || s.number_of[id] == kUnset) released();
    return s.number_of[id];
}

// The bytes and the side tuple. Nothing here runs Python code until the
// bytes are complete; only then are Python objects made.
Snapshot write(Source& s) {
    ValueWriter values(s.table);
    values.write_all();
    size_t choices = 0, words = 0, lengths = 0;
    std::vector<StoredCount> counts;
    for (size_t e = 0; e < s.blocks.size(); ++e) {
        BagData* d = s.blocks[e];
        choices += d->size;
        words += d->words;
        if (d->mixed) lengths += d->size;
        BagExtra* x = d->extra;
        if (x != nullptr && x->object_counts > 0)
            for (size_t c = 0; c < d->size; ++c)
                if (PyObject* o = x->objects[c])
                    counts.push_back(StoredCount{static_cast<uint32_t>(e), static_cast<uint32_t>(c), values.beside(o)});
    }
    const Out& vbytes = values.bytes();
    size_t total =
        kHeaderSize + vbytes.size() + kEntrySize * s.blocks.size() + 4 * (words + lengths) + 12 * counts.size();
    // A bytes object is no container: making it runs no collection.
    Ref blob = check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total)));
    uint8_t* p = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(blob.get()));
    std::memset(p, 0, kHeaderSize);
    std::memcpy(p, kMagic, 4);
    p[4] = kVersion;
    p[5] = s.kind;
    const uint64_t header[7] = {s.table.size(), vbytes.size(), s.blocks.size(), choices, words, lengths, counts.size()};
    for (int i = 0; i < 7; ++i) put64(p + 8 + 8 * i, header[i]);
    p += kHeaderSize;
    if (vbytes.size() > 0) std::memcpy(p, vbytes.data(), vbytes.size());
    p += vbytes.size();
    for (size_t e = 0; e < s.blocks.size(); ++e, p += kEntrySize) {
        BagData* d = s.blocks[e];
        put32(p, s.starts[e]);
        put32(p + 4, d->size);
        put32(p + 8, d->words);
        p[12] = d->size > 0 ? d->width : 0;
        p[13] = static_cast<uint8_t>((d->wide ? kWide : 0) | (d->mixed ? kMixed : 0));
        p[14] = p[15] = 0;
    }
    // Where every id is its own number (a vocabulary without free ids whose
    // values were first used in the order of their ids) the records are the
    // block's words as they are.
    bool same_ids = s.number_of.size() == s.table.size();
    for (size_t id = 0; same_ids && id < s.number_of.size(); ++id) same_ids = s.number_of[id] == id;
    for (BagData* d : s.blocks) {
        if (same_ids) {
            words_out(p, d->records, d->words);
            p += 4 * size_t{d->words};
            continue;
        }
        size_t cw = count_words(d);
        for (size_t c = 0; c < d->size; ++c) {
            const uint32_t* r = record(d, c);
            const uint32_t* ids;
            size_t n;
            bag_span(d, c, ids, n);
            for (size_t k = 0; k < cw; ++k, p += 4) put32(p, r[k]);
            for (size_t k = 0; k < n; ++k, p += 4) put32(p, number(s, ids[k]));
        }
    }
    for (BagData* d : s.blocks) {
        if (!d->mixed) continue;
        for (size_t c = 0; c < d->size; ++c, p += 4) put32(p, d->offsets[c + 1] - d->offsets[c] - count_words(d));
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

// ---------------------------------------------------------------------------
// Reading.

class In {
public:
    In(const uint8_t* p, size_t n) noexcept : p_(p), end_(p + n) {}
    size_t left() const noexcept { return static_cast<size_t>(end_ - p_); }
    const uint8_t* at() const noexcept { return p_; }
    uint8_t byte() {
        if (p_ == end_) corrupt("a value runs past the table");
        return *p_++;
    }
    uint64_t varint() {
        uint64_t v = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            uint8_t b = byte();
            v |= uint64_t{b & 0x7Fu} << shift;
            if (b < 0x80) return v;
        }
        corrupt("a number is too long");
    }
    size_t size() {
        uint64_t n = varint();
        if (n > left()) corrupt("a value runs past the table");
        return static_cast<size_t>(n);
    }
    const uint8_t* take(size_t n) {
        if (n > left()) corrupt("a value runs past the table");
        const uint8_t* p = p_;
        p_ += n;
        return p;
    }

private:
    const uint8_t* p_;
    const uint8_t* end_;
};

// Passes over one value, checking its shape only.
void skip_value(In& in, int depth) {
    if (depth > kMaxDepth) corrupt("tuples nest too deep");
    switch (in.byte()) {
        case tag_str:
        case tag_str_surrogates:
        case tag_bytes: in.take(in.size()); return;
        case tag_int:
        case tag_ref:
        case tag_side: in.varint(); return;
        case tag_float: in.take(8); return;
        case tag_none:
        case tag_true:
        case tag_false: return;
        case tag_tuple: {
            size_t n = in.size();
            for (size_t i = 0; i < n; ++i) skip_value(in, depth + 1);
            return;
        }
        default: corrupt("unknown value tag");
    }
}

// References owned while a tuple's items are made, handed to the tuple.
class Owned {
public:
    Owned() = default;
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() {
        for (PyObject* o : items_) Py_DECREF(o);
    }
    PyObject* add(Ref item) {
        items_.push_back(item.get());
        return item.release();
    }
    Ref tuple() {
        Ref t = check(PyTuple_New(static_cast<Py_ssize_t>(items_.size())));
        for (size_t i = 0; i < items_.size(); ++i) PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), items_[i]);
        items_.clear();
        return t;
    }

private:
    Small<PyObject*> items_;
};

// Decodes values; `plain` turns false for a value from beside that is not
// plain, or a tuple nested deeper than plain values go.
struct ValueReader {
    const std::vector<Ref>& table;
    const std::vector<bool>& is_tuple;
    PyObject* side;
    bool plain = true;
    size_t sides = 0;  // values taken from beside

    Ref value(In& in, int depth) {
        if (depth > kMaxDepth) corrupt("tuples nest too deep");
        switch (in.byte()) {
            case tag_str: {
                size_t n = in.size();
                const uint8_t* p = in.take(n);
                uint8_t high = 0;
                for (size_t i = 0; i < n; ++i) high |= p[i];
                if (high < 0x80) {
                    // ASCII, the common case: no decoding to do.
                    Ref s = check(PyUnicode_New(static_cast<Py_ssize_t>(n), 127));
                    std::memcpy(PyUnicode_DATA(s.get()), p, n);
                    return s;
                }
                return check(
                    PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(p), static_cast<Py_ssize_t>(n), nullptr));
            }
            case tag_str_surrogates: {
                size_t n = in.size();
                const char* p = reinterpret_cast<const char*>(in.take(n));
                return check(PyUnicode_DecodeUTF8(p, static_cast<Py_ssize_t>(n), "surrogatepass"));
            }
            case tag_int: {
                uint64_t u = in.varint();
                int64_t n = static_cast<int64_t>((u >> 1) ^ (~(u & 1) + 1));
                return check(PyLong_FromLongLong(n));
            }
            case tag_float: {
                uint64_t bits = get64(in.take(8));
                double d;
                std::memcpy(&d, &bits, 8);
                return check(PyFloat_FromDouble(d));
            }
            case tag_none: return Ref::borrow(Py_None);
            case tag_true: return Ref::borrow(Py_True);
            case tag_false: return Ref::borrow(Py_False);
            case tag_bytes: {
                size_t n = in.size();
                const char* p = reinterpret_cast<const char*>(in.take(n));
                return check(PyBytes_FromStringAndSize(p, static_cast<Py_ssize_t>(n)));
            }
            case tag_tuple: {
                if (depth >= kPlainDepth) plain = false;
                size_t n = in.size();
                // The items are all made before the tuple, which no code
                // may see half filled.
                Owned items;
                bool acyclic = true;
                for (size_t i = 0; i < n; ++i) {
                    PyObject* item = items.add(value(in, depth + 1));
                    acyclic = acyclic && (!PyObject_IS_GC(item) || !PyObject_GC_IsTracked(item));
                }
                Ref tuple = items.tuple();
                // As the collector would at its next pass: values that hold
                // no other object make no cycle.
                if (acyclic) PyObject_GC_UnTrack(tuple.get());
                return tuple;
            }
            case tag_ref: {
                uint64_t k = in.varint();
                if (depth == 0 || k >= table.size() || is_tuple[k] || !table[k]) corrupt("a reference names no value");
                return Ref::borrow(table[k].get());
            }
            case tag_side: {
                uint64_t k = in.varint();
                if (k >= static_cast<uint64_t>(PyTuple_GET_SIZE(side))) corrupt("a value is missing beside");
                ++sides;
                PyObject* object = PyTuple_GET_ITEM(side, static_cast<Py_ssize_t>(k));
                if (!is_plain(object)) plain = false;
                return Ref::borrow(object);
            }
            default: corrupt("unknown value tag");
        }
    }
};

bool add_overflows(size_t& sum, uint64_t add) noexcept { return __builtin_add_overflow(sum, add, &sum); }

}  // namespace

Parsed::Parsed(PyObject* blob, PyObject* side, uint8_t kind) : side_(side) {
    if (!PyTuple_Check(side)) {
        PyErr_SetString(PyExc_ValueError, "corrupt snapshot: the values beside it are not a tuple");
        throw_error();
    }
    check_status(PyObject_GetBuffer(blob, &view_, PyBUF_SIMPLE));
    const uint8_t* p = static_cast<const uint8_t*>(view_.buf);
    size_t size = static_cast<size_t>(view_.len);
    if (size < kHeaderSize || std::memcmp(p, kMagic, 4) != 0) corrupt("not a snapshot of tesmo's chain");
    if (p[4] != kVersion) {
        PyErr_Format(PyExc_ValueError, "snapshot of version %d: this tesmo reads version %d", p[4], kVersion);
        throw_error();
    }
    if (p[5] != kind) corrupt(kind == kKindChain ? "a bag's, not a chain's" : "a chain's, not a bag's");
    if (p[6] != 0 || p[7] != 0) corrupt("unknown header flags");
    uint64_t h[7];
    for (int i = 0; i < 7; ++i) {
        h[i] = get64(p + 8 + 8 * i);
        if (h[i] > size) corrupt("a size exceeds the snapshot");
    }
    const uint64_t values = h[0], value_bytes = h[1], entries = h[2], choices = h[3], words = h[4], lengths = h[5],
                   objects = h[6];
    size_t total = kHeaderSize;
    if (add_overflows(total, value_bytes) || add_overflows(total, kEntrySize * entries) ||
        add_overflows(total, 4 * words) || add_overflows(total, 4 * lengths) || add_overflows(total, 12 * objects))
        corrupt("a size exceeds the snapshot");
    if (total > size) corrupt("cut short");
    if (total < size) corrupt("bytes after its end");
    if (values > value_bytes || values >= UINT32_MAX - 1) corrupt("more values than their bytes hold");
    if (kind == kKindBag ? entries != 1 : entries >= UINT32_MAX - 1) corrupt("wrong number of starts");
    value_count_ = static_cast<size_t>(values);
    value_data_ = p + kHeaderSize;
    value_bytes_ = static_cast<size_t>(value_bytes);
    const uint8_t* entry = value_data_ + value_bytes_;
    const uint8_t* records = entry + kEntrySize * entries;
    const uint8_t* length = records + 4 * words;
    const uint8_t* object = length + 4 * lengths;
    const uint8_t* records_end = length;
    const uint8_t* lengths_end = object;
    uint64_t seen_choices = 0;
    bags_.reserve(static_cast<size_t>(entries));
    for (uint64_t e = 0; e < entries; ++e, entry += kEntrySize) {
        StoredBag b{get32(entry),
                    get32(entry + 4),
                    get32(entry + 8),
                    entry[12],
                    (entry[13] & kWide) != 0,
                    (entry[13] & kMixed) != 0,
                    records,
                    nullptr};
        if ((entry[13] & ~(kWide | kMixed)) != 0 || entry[14] != 0 || entry[15] != 0) corrupt("unknown bag flags");
        if (kind == kKindBag ? b.start != kNoStart : b.start >= values) corrupt("a start names no value");
        if (b.size >= UINT32_MAX - 2 || b.words >= UINT32_MAX) corrupt("a bag too large");
        seen_choices += b.size;
        if (static_cast<size_t>(records_end - records) / 4 < b.words) corrupt("records run past their section");
        const uint64_t cw = b.wide ? 2 : 1;
        if (b.mixed) {
            if (b.size == 0) corrupt("an empty bag of mixed lengths");
            if (static_cast<size_t>(lengths_end - length) / 4 < b.size) corrupt("lengths run past their section");
            b.lengths = length;
            uint64_t sum = 0;
            for (uint32_t c = 0; c < b.size; ++c) sum += cw + get32(length + 4 * c);
            if (sum != b.words) corrupt("a bag's lengths disagree with its records");
            length += 4 * uint64_t{b.size};
        } else if (uint64_t{b.size} * (cw + b.width) != b.words || (b.size == 0 && b.width != 0)) {
            corrupt("a bag's width disagrees with its records");
        }
        // Every id names a value of the table.
        StoredChoices walk(b);
        const uint8_t *rec, *ids;
        size_t n;
        while (walk.next(rec, ids, n))
            for (size_t k = 0; k < n; ++k)
                if (get32(ids + 4 * k) >= values) corrupt("an id names no value");
        records += 4 * uint64_t{b.words};
        bags_.push_back(b);
    }
    if (seen_choices != choices || records != records_end || length != lengths_end)
        corrupt("the bags disagree with the header");
    counts_.reserve(static_cast<size_t>(objects));
    for (uint64_t i = 0; i < objects; ++i, object += 12) {
        StoredCount c{get32(object), get32(object + 4), get32(object + 8)};
        if (c.entry >= entries || c.choice >= bags_[c.entry].size) corrupt("an object count names no choice");
        if (!counts_.empty() &&
            (c.entry < counts_.back().entry || (c.entry == counts_.back().entry && c.choice <= counts_.back().choice)))
            corrupt("object counts out of order");
        if (c.side >= static_cast<uint64_t>(PyTuple_GET_SIZE(side))) corrupt("a count is missing beside");
        counts_.push_back(c);
    }
}

std::vector<Ref> Parsed::values(bool& plain) const {
    // Values that are no tuples first, so that a tuple may name any of them.
    std::vector<Ref> table(value_count_);
    std::vector<bool> is_tuple(value_count_, false);
    std::vector<const uint8_t*> tuples;
    ValueReader reader{table, is_tuple, side_};
    In in(value_data_, value_bytes_);
    for (size_t k = 0; k < value_count_; ++k) {
        if (in.left() > 0 && *in.at() == tag_tuple) {
            is_tuple[k] = true;
            tuples.push_back(in.at());
            skip_value(in, 0);
        } else {
            table[k] = reader.value(in, 0);
        }
    }
    if (in.left() != 0) corrupt("bytes after the values");
    size_t t = 0;
    for (size_t k = 0; k < value_count_; ++k) {
        if (!is_tuple[k]) continue;
        In at(tuples[t], static_cast<size_t>(value_data_ + value_bytes_ - tuples[t]));
        ++t;
        table[k] = reader.value(at, 0);
    }
    // The writer puts each value beside once: any other number of them is made up.
    if (reader.sides + counts_.size() != static_cast<size_t>(PyTuple_GET_SIZE(side_)))
        corrupt("the values beside it are not those it names");
    plain = reader.plain;
    return table;
}

namespace {

// ---------------------------------------------------------------------------
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
    bag_span(d, a, x, n);
    bag_span(d, b, y, m);
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
    hashes.resize(n);
    for (size_t c = 0; c < n; ++c) hashes[c] = bag_choice_hash(d, c);
    if (n <= kLinear) {
        for (size_t c = 1; c < n; ++c)
            for (size_t o = 0; o < c; ++o)
                if (hashes[o] == hashes[c] && same_choice(d, o, c)) given_twice("a choice");
        return;
    }
    const int bits = index_bits_for(n);
    size_t slots = size_t{1} << bits;
    void* index = std::calloc(slots, slot_bytes(bits));
    if (index == nullptr) throw std::bad_alloc();
    d->index = index;  // the block owns it from here on
    d->index_bits = static_cast<uint8_t>(bits);
    size_t mask = slots - 1;
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

template <class T>
T* c_alloc(size_t n) {
    void* p = std::malloc((n ? n : 1) * sizeof(T));
    if (p == nullptr) throw std::bad_alloc();
    return static_cast<T*>(p);
}

// A block of the stored bag, its ids those of `vocab` (the table's numbers),
// each held once for every place it fills.
BagData* build_block(Vocab* vocab, const StoredBag& b, BlockList& owner) {
    BagData* d = bag_data_new(vocab);
    owner.blocks.push_back(d);
    if (b.size == 0) return d;
    d->records = c_alloc<uint32_t>(b.words);
    words_in(d->records, b.records, b.words);
    if (b.mixed) {
        d->offsets = c_alloc<uint32_t>(size_t{b.size} + 1);
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
    for (size_t c = 0; c < d->size; ++c) {
        const uint32_t* ids;
        size_t n;
        bag_span(d, c, ids, n);
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

// A fresh vocabulary holding the table's values, value k as id k.
Ref vocab_of(State* st, const std::vector<Ref>& values) {
    Ref vocab(reinterpret_cast<PyObject*>(vocab_new(st)));
    VocabTable& t = *reinterpret_cast<Vocab*>(vocab.get())->table;
    for (size_t k = 0; k < values.size(); ++k) {
        Py_hash_t h = PyObject_Hash(values[k].get());
        if (h == -1) throw_error();
        if (t.intern(values[k].get(), h) != k) given_twice("a value");
    }
    return vocab;
}

// Lets go of the table's own use of each value, once the blocks and the
// store hold theirs: a value nothing uses goes.
void release_table(Vocab* vocab, size_t count, Graveyard& graves) {
    for (size_t k = 0; k < count; ++k) vocab->table->release(static_cast<uint32_t>(k), graves);
}

// The blocks of every stored bag, indexed and checked.
void build_blocks(const Parsed& parsed, Vocab* vocab, BlockList& built) {
    std::vector<Py_hash_t> hashes;
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

bool chain_snapshot(Chain* chain, Snapshot& out) {
    State* st = state_of(Py_TYPE(chain));
    if (st == nullptr) throw_error();
    Vocab* vocab = chain->vocab;
    Source s;
    s.kind = kKindChain;
    size_t n = static_cast<size_t>(chain_size(chain));
    for (size_t e = 0; e < n; ++e) {
        BagData* d = chain_entry_data(st, chain_entry(chain, e));
        if (d == nullptr || (d->size > 0 && d->vocab != vocab)) return false;
        s.blocks.push_back(d);
    }
    if (vocab != nullptr) {
        // The values in id order, numbered densely.
        const VocabTable& t = *vocab->table;
        s.number_of.assign(t.bound(), kUnset);
        for (uint32_t id = 0; id < t.bound(); ++id) {
            if (PyObject* v = t.value(id)) {
                s.number_of[id] = static_cast<uint32_t>(s.table.size());
                s.table.push_back(v);
            }
        }
        for (size_t e = 0; e < n; ++e) s.starts.push_back(number(s, chain_entry(chain, e)->start));
    }
    out = write(s);
    return true;
}

Snapshot bag_snapshot(BagData* d) {
    Source s;
    s.kind = kKindBag;
    s.starts.push_back(kNoStart);
    s.blocks.push_back(d);
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
    return write(s);
}

void chain_restore(State* st, Chain* chain, PyObject* blob, PyObject* side) {
    Parsed parsed(blob, side, kKindChain);
    bool plain = false;
    std::vector<Ref> values = parsed.values(plain);
    if (!plain) {
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
    Ref vocab = vocab_of(st, values);
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
    bool plain = false;
    std::vector<Ref> values = parsed.values(plain);
    BagData* fresh;
    Ref made;  // the general way's bag, which gives up its block
    Ref vocab;
    BlockList built;
    if (!plain) {
        made = bag_of_stored(st, parsed, values, 0);
        fresh = std::exchange(reinterpret_cast<Bag*>(made.get())->data, bag_data_new(nullptr));
    } else {
        vocab = vocab_of(st, values);
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

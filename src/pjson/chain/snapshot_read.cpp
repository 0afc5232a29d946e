// Reading snapshots: the bytes taken apart and checked, and the values of
// the table made.
#include "chain/snapshot.h"

#include "chain/block.h"

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace pjson::snapshot {

void corrupt(const char* what) {
    PyErr_Format(PyExc_ValueError, "corrupt snapshot: %s", what);
    throw_error();
}

namespace {

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

// Whether the collector leaves `o` alone: most items are strings, whose
// type alone tells, without a call.
bool untracked(PyObject* o) noexcept {
    return !PyType_IS_GC(Py_TYPE(o)) || !PyObject_IS_GC(o) || !PyObject_GC_IsTracked(o);
}

// Decodes values; `plain` turns false for a value from beside that is not
// plain, or a tuple nested deeper than plain values go.
struct ValueReader {
    const std::vector<Ref>& table;
    const std::vector<uint8_t>& is_tuple;
    PyObject* side;
    bool plain = true;
    size_t sides = 0;  // values taken from beside

    // The value named by reference `k`, borrowed from the table.
    PyObject* named(uint64_t k, int depth) const {
        if (depth == 0 || k >= table.size() || is_tuple[k] || !table[k]) corrupt("a reference names no value");
        return table[k].get();
    }

    // The tuple of the `n` (at most 8) values these references name: the
    // items are found before the tuple is made, so that it is whole when
    // any code can see it.
    Ref tuple_of_ids(const uint32_t* ids, size_t n) {
        PyObject* items[8];
        bool acyclic = true;
        for (size_t i = 0; i < n; ++i) {
            items[i] = named(ids[i], 1);
            acyclic = acyclic && untracked(items[i]);
        }
        // The table holds every item, whatever making the tuple runs.
        Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(n)));
        for (size_t i = 0; i < n; ++i) {
            Py_INCREF(items[i]);
            PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), items[i]);
        }
        if (acyclic) PyObject_GC_UnTrack(tuple.get());
        return tuple;
    }

    // A tuple whose `n` items are all references. Null, with nothing read,
    // for any other tuple.
    Ref tuple_of_refs(In& in, size_t n) {
        constexpr size_t kMost = 8;
        if (n == 0 || n > kMost) return Ref();
        In at = in;
        uint32_t ids[kMost];
        for (size_t i = 0; i < n; ++i) {
            if (at.left() == 0 || *at.at() != tag_ref) return Ref();
            at.byte();
            uint64_t k = at.varint();
            named(k, 1);  // refused as it is read
            ids[i] = static_cast<uint32_t>(k);
        }
        Ref tuple = tuple_of_ids(ids, n);
        in = at;
        return tuple;
    }

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
                if (depth < kMaxDepth)
                    if (Ref tuple = tuple_of_refs(in, n)) return tuple;
                // The items are all made before the tuple, which no code
                // may see half filled.
                Owned items;
                bool acyclic = true;
                for (size_t i = 0; i < n; ++i) {
                    PyObject* item = items.add(value(in, depth + 1));
                    acyclic = acyclic && untracked(item);
                }
                Ref tuple = items.tuple();
                // As the collector would at its next pass: values that hold
                // no other object make no cycle.
                if (acyclic) PyObject_GC_UnTrack(tuple.get());
                return tuple;
            }
            case tag_ref: {
                return Ref::borrow(named(in.varint(), depth));
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
        if (!b.mixed) {
            const size_t step = 4 * (cw + b.width);
            for (const uint8_t *r = records + 4 * cw, *end = r + size_t{b.size} * step; r != end; r += step)
                for (size_t k = 0; k < b.width; ++k)
                    if (get32(r + 4 * k) >= values) corrupt("an id names no value");
        } else {
            StoredChoices walk(b);
            const uint8_t *rec, *ids;
            size_t n;
            while (walk.next(rec, ids, n))
                for (size_t k = 0; k < n; ++k)
                    if (get32(ids + 4 * k) >= values) corrupt("an id names no value");
        }
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

namespace {

// A varint read without throwing: false where reading it would fail, for the
// caller to read it again the way that raises.
bool quiet_varint(const uint8_t*& p, const uint8_t* end, uint64_t& v) noexcept {
    v = 0;
    for (int shift = 0; shift < 64 && p != end; shift += 7) {
        uint8_t b = *p++;
        v |= uint64_t{b & 0x7Fu} << shift;
        if (b < 0x80) return true;
    }
    return false;
}

// The ids of a tuple of 1 to kMostRefs references, the common start, read
// once: false, with nothing read, for any other value.
constexpr size_t kMostRefs = 8;
bool read_ref_tuple(In& in, uint32_t* ids, size_t& n) noexcept {
    const uint8_t* p = in.at();
    const uint8_t* end = p + in.left();
    uint64_t count, id;
    if (p == end || *p++ != tag_tuple || !quiet_varint(p, end, count) || count == 0 || count > kMostRefs) return false;
    for (uint64_t i = 0; i < count; ++i) {
        if (p == end || *p++ != tag_ref || !quiet_varint(p, end, id) || id >= UINT32_MAX) return false;
        ids[i] = static_cast<uint32_t>(id);
    }
    n = static_cast<size_t>(count);
    in = In(p, static_cast<size_t>(end - p));
    return true;
}

}  // namespace

namespace {

// Puts the values into a fresh vocabulary as they are made, each as the id
// of its number, while every value so far is plain (hashing one runs no
// code); stops at the first that is not, or that meets its equal.
class Placer {
public:
    explicit Placer(VocabTable* t) noexcept : t_(t) {}
    bool placing() const noexcept { return t_ != nullptr; }
    bool twice() const noexcept { return twice_; }
    void stop() noexcept { t_ = nullptr; }
    void place(size_t k, PyObject* value) {
        if (t_ == nullptr) return;
        Py_hash_t h = PyObject_Hash(value);
        if (h == -1) throw_error();
        put(k, value, h);
    }
    // A tuple of the values of these ids, already placed: its hash as
    // tuplehash makes it from theirs.
    void place_tuple(size_t k, PyObject* tuple, const uint32_t* ids, size_t n) noexcept {
        if (t_ == nullptr) return;
        put(k, tuple, tuple_hash_by(n, [&](size_t i) { return t_->hash(ids[i]); }));
    }

private:
    void put(size_t k, PyObject* value, Py_hash_t h) noexcept {
        if (t_->place_at(static_cast<uint32_t>(k), value, h) != k) {
            twice_ = true;
            t_ = nullptr;
        }
    }
    VocabTable* t_;
    bool twice_ = false;
};

}  // namespace

std::vector<Ref> Parsed::values(bool& plain, VocabTable* into, bool* twice) const {
    // Values that are no tuples first, so that a tuple may name any of them;
    // a tuple of references keeps the ids it names, any other its bytes. A
    // tuple that names only values read before it, none a tuple, is made at
    // once (the common start): what the later pass would make of it.
    std::vector<Ref> table(value_count_);
    std::vector<uint8_t> is_tuple(value_count_, 0);
    struct Later {
        size_t k;
        const uint8_t* at;  // nullptr: `n` ids from `first` of `ids`
        uint32_t first, n;
    };
    std::vector<Later> tuples;
    std::vector<uint32_t> ids;
    ValueReader reader{table, is_tuple, side_};
    Placer placer(into);
    auto placed = [&](size_t k) {
        if (!reader.plain) placer.stop();
        placer.place(k, table[k].get());
    };
    In in(value_data_, value_bytes_);
    for (size_t k = 0; k < value_count_; ++k) {
        if (in.left() > 0 && *in.at() == tag_tuple) {
            is_tuple[k] = 1;
            uint32_t named[kMostRefs];
            size_t n = 0;
            if (read_ref_tuple(in, named, n)) {
                bool earlier = true;
                for (size_t i = 0; i < n; ++i) earlier = earlier && named[i] < k && !is_tuple[named[i]];
                if (earlier) {
                    table[k] = reader.tuple_of_ids(named, n);
                    placer.place_tuple(k, table[k].get(), named, n);
                    continue;
                }
                tuples.push_back(Later{k, nullptr, static_cast<uint32_t>(ids.size()), static_cast<uint32_t>(n)});
                ids.insert(ids.end(), named, named + n);
            } else {
                tuples.push_back(Later{k, in.at(), 0, 0});
                skip_value(in, 0);
            }
        } else {
            table[k] = reader.value(in, 0);
            placed(k);
        }
    }
    if (in.left() != 0) corrupt("bytes after the values");
    const uint8_t* end = value_data_ + value_bytes_;
    for (const Later& later : tuples) {
        if (later.at == nullptr) {
            table[later.k] = reader.tuple_of_ids(ids.data() + later.first, later.n);
            placer.place_tuple(later.k, table[later.k].get(), ids.data() + later.first, later.n);
        } else {
            In at(later.at, static_cast<size_t>(end - later.at));
            table[later.k] = reader.value(at, 0);
            placed(later.k);
        }
    }
    // The writer puts each value beside once: any other number of them is made up.
    if (reader.sides + counts_.size() != static_cast<size_t>(PyTuple_GET_SIZE(side_)))
        corrupt("the values beside it are not those it names");
    plain = reader.plain;
    if (twice != nullptr) *twice = placer.twice();
    return table;
}

}  // namespace pjson::snapshot

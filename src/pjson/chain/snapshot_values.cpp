// Encoding a snapshot's values (snapshot_values.h).
#include "chain/snapshot_values.h"

#include <cstring>

namespace pjson::snapshot {

namespace {

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

}  // namespace

ValueWriter::ValueWriter(const std::vector<PyObject*>& table) : table_(table) {
    // A short word or a start of references takes about this much.
    out_.reserve(8 * table.size());
}

void ValueWriter::write_all() {
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

// Every value from `from` on that is no tuple made known.
void ValueWriter::know_all(size_t from) {
    for (size_t k = from; k < table_.size(); ++k)
        if (!PyTuple_CheckExact(table_[k])) known_.add(table_[k], static_cast<uint32_t>(k));
    complete_ = true;
    missed_ = false;
}

// The number of a tuple's item, kUnset for an item that is no value of
// the table (or not known yet: then `missed_`).
uint32_t ValueWriter::number_of(PyObject* item) noexcept {
    uint32_t k = known_.find(item);
    if (k == kUnset && !complete_ && !PyTuple_CheckExact(item)) missed_ = true;
    return k;
}

// Asks for the lookups of a tuple's items (the tuple itself asked for
// earlier), and for the text of a str.
void ValueWriter::prefetch_items(PyObject* v) const noexcept {
    if (PyTuple_CheckExact(v)) {
        const Py_ssize_t n = std::min<Py_ssize_t>(PyTuple_GET_SIZE(v), 4);
        for (Py_ssize_t i = 0; i < n; ++i) known_.prefetch(PyTuple_GET_ITEM(v, i));
    }
}

// A tuple whose items are all values of the table that are no tuples,
// the common start, written as references in one go: the bytes value()
// writes for it. False, with nothing written, for any other tuple.
bool ValueWriter::refs_only(PyObject* v) {
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
bool ValueWriter::value(PyObject* v, int depth) {
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

void ValueWriter::side(PyObject* v) {
    out_.reserve(1 + kVarint);
    out_.byte(tag_side);
    out_.varint(beside(v));
}

}  // namespace pjson::snapshot

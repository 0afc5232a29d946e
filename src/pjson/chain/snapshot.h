// The snapshot's byte layout, shared by the code that writes and restores
// snapshots (snapshot.cpp) and the join that adds one to a chain (join.cpp).
//
// A snapshot is one block of little-endian bytes:
//
//   header (64 bytes): "TSMO", version (u8), kind (u8: 'C' a chain, 'B' a
//     bag), two zero bytes, then seven u64: values, value bytes, entries,
//     choices, record words, lengths, object counts
//   values: each value of the table, tagged (Tag)
//   entries: per start 16 bytes: the start's value (u32; a bag has none),
//     choices (u32), record words (u32), width (u8), flags (u8), two zero bytes
//   records: the u32 words of every bag's records, as block.h lays them out,
//     the ids being numbers of values in the table
//   lengths: per choice of a mixed bag, the length of its next start (u32)
//   object counts: (entry, choice, side index) as three u32, in order
//
// Values and counts that these bytes cannot hold exactly travel beside them,
// in the side tuple, as Python objects. A table value is a str, an int of 64
// bits, a float, bytes, a bool, None, or a tuple of such values, whose
// elements may also name an earlier value of the table that is no tuple (a
// reference), or a Python object of the side tuple.
#pragma once

#include "chain/chain.h"

#include <cstring>
#include <string>
#include <vector>

namespace pjson::snapshot {

constexpr char kMagic[4] = {'T', 'S', 'M', 'O'};
constexpr uint8_t kVersion = 1;
constexpr size_t kHeaderSize = 64;
constexpr size_t kEntrySize = 16;
constexpr uint8_t kKindChain = 'C';
constexpr uint8_t kKindBag = 'B';
constexpr uint8_t kWide = 1;
constexpr uint8_t kMixed = 2;
constexpr uint32_t kNoStart = UINT32_MAX;
constexpr int kPlainDepth = 32;  // tuples nested as deep as this are not plain (is_plain): they travel beside
constexpr int kMaxDepth = 40;

enum Tag : uint8_t {
    tag_str = 1,
    tag_str_surrogates,  // UTF-8 with lone surrogates encoded as such
    tag_int,             // zigzag varint
    tag_float,           // the 8 bytes of the double
    tag_none,
    tag_true,
    tag_false,
    tag_bytes,
    tag_tuple,  // varint count, then the elements
    tag_ref,    // varint number of an earlier table value (tuple elements only)
    tag_side,   // varint index into the side tuple
};

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
inline uint32_t get32(const uint8_t* p) noexcept {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
inline uint64_t get64(const uint8_t* p) noexcept {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}
inline void put32(uint8_t* p, uint32_t v) noexcept { std::memcpy(p, &v, 4); }
inline void put64(uint8_t* p, uint64_t v) noexcept { std::memcpy(p, &v, 8); }
#else
inline uint32_t get32(const uint8_t* p) noexcept {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
inline uint64_t get64(const uint8_t* p) noexcept { return uint64_t{get32(p)} | uint64_t{get32(p + 4)} << 32; }
inline void put32(uint8_t* p, uint32_t v) noexcept {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void put64(uint8_t* p, uint64_t v) noexcept {
    put32(p, static_cast<uint32_t>(v));
    put32(p + 4, static_cast<uint32_t>(v >> 32));
}
#endif

// Words between the host's order and the snapshot's.
inline void words_in(uint32_t* out, const uint8_t* in, size_t n) noexcept {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    if (n > 0) std::memcpy(out, in, n * 4);
#else
    for (size_t i = 0; i < n; ++i) out[i] = get32(in + 4 * i);
#endif
}

inline void words_out(uint8_t* out, const uint32_t* in, size_t n) noexcept {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    if (n > 0) std::memcpy(out, in, n * 4);
#else
    for (size_t i = 0; i < n; ++i) put32(out + 4 * i, in[i]);
#endif
}

// [[noreturn]] ValueError "corrupt snapshot: <what>".
[[noreturn]] void corrupt(const char* what);

// One bag as a snapshot holds it, its records still the snapshot's bytes.
struct StoredBag {
    uint32_t start;  // value number, or kNoStart
    uint32_t size;
    uint32_t words;
    uint8_t width;
    bool wide;
    bool mixed;
    const uint8_t* records;  // `words` words
    const uint8_t* lengths;  // mixed: `size` lengths
};

struct StoredCount {
    uint32_t entry, choice, side;
};

// A snapshot taken apart and checked: every size agrees with the bytes,
// every id names a value of the table, every object count a choice. Holds
// the buffer it reads for as long as it lives.
class Parsed {
public:
    Parsed(PyObject* blob, PyObject* side, uint8_t kind);
    Parsed(const Parsed&) = delete;
    Parsed& operator=(const Parsed&) = delete;
    ~Parsed() { PyBuffer_Release(&view_); }

    // The values of the table as objects, in order; `plain` tells whether
    // every one is a plain value (is_plain). With `into`, a presized fresh
    // vocabulary, value k also goes in as id k while every value is plain;
    // `twice` tells whether one of them met a value it could not be told
    // apart from (and so not all went in).
    std::vector<Ref> values(bool& plain, VocabTable* into = nullptr, bool* twice = nullptr) const;
    size_t value_count() const noexcept { return value_count_; }
    const std::vector<StoredBag>& bags() const noexcept { return bags_; }
    const std::vector<StoredCount>& object_counts() const noexcept { return counts_; }
    PyObject* side() const noexcept { return side_; }
    // The count of choice `c` of bag `b`: as a machine integer (false), or
    // the side object (true, `object` borrowed).
    int64_t native_count(const StoredBag& b, const uint8_t* record) const noexcept {
        if (!b.wide) return static_cast<int32_t>(get32(record));
        return static_cast<int64_t>(get64(record));
    }

private:
    Py_buffer view_{};
    PyObject* side_;
    size_t value_count_ = 0;
    const uint8_t* value_data_ = nullptr;
    size_t value_bytes_ = 0;
    std::vector<StoredBag> bags_;
    std::vector<StoredCount> counts_;
};

// Walks the choices of a stored bag: the record of each and its ids.
class StoredChoices {
public:
    explicit StoredChoices(const StoredBag& b) noexcept : b_(b), at_(b.records) {}
    bool next(const uint8_t*& record, const uint8_t*& ids, size_t& length) noexcept {
        if (c_ == b_.size) return false;
        size_t cw = b_.wide ? 2 : 1;
        length = b_.mixed ? get32(b_.lengths + 4 * c_) : b_.width;
        record = at_;
        ids = at_ + 4 * cw;
        at_ += 4 * (cw + length);
        ++c_;
        return true;
    }
    size_t index() const noexcept { return c_ - 1; }

private:
    const StoredBag& b_;
    const uint8_t* at_;
    size_t c_ = 0;
};

}  // namespace pjson::snapshot

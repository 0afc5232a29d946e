// The text that a genuine encoder's dumps gives for one value, written
// natively: for exact str, int within 64 bits, finite float, None, True,
// False and exact tuples and lists of these. Both writers use it where the
// module global `json` is the genuine encoder.
#pragma once

#include "module/module.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>

namespace pjson {

// "00" to "99", for writing numbers two digits at a time.
inline constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// The value of an exact int small enough to sit in the object itself, read
// without a call: the codes and counts of a document nearly all are.
inline bool compact_int_value(PyObject* v, long long& out) {
#if PY_VERSION_HEX >= 0x030C0000
    if (!PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(v))) return false;
    out = static_cast<long long>(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(v)));
#else
    const Py_ssize_t size = Py_SIZE(v);
    if (size < -1 || size > 1) return false;
    out = static_cast<long long>(size) * static_cast<long long>(reinterpret_cast<PyLongObject*>(v)->ob_digit[0]);
#endif
    return true;
}

// Nonzero when one of the eight ASCII characters of `word` needs an escape:
// a control character, '"' or '\\', and "/" for ujson or DEL for json.
inline uint64_t escape_bytes(uint64_t word, JsonEncoder encoder) {
    constexpr uint64_t ones = 0x0101010101010101ULL, highs = 0x8080808080808080ULL;
    auto zero_byte = [](uint64_t v) { return (v - ones) & ~v & highs; };
    const uint64_t other = encoder == JsonEncoder::ujson ? '/' : 0x7f;
    return ((word - 0x20 * ones) & ~word & highs) | zero_byte(word ^ ('"' * ones)) | zero_byte(word ^ ('\\' * ones)) |
           zero_byte(word ^ (other * ones));
}

// Fetches a value's object, and where it is a tuple its first items, ahead
// of its rendering: values lie scattered, and a writer meets them in an
// order of its own. Reads the object's type and items, so only for an
// object already fetched by prefetch_value some steps before.
inline void prefetch_value(PyObject* value) { __builtin_prefetch(value); }
inline void prefetch_items(PyObject* value) {
    if (!PyTuple_CheckExact(value)) return;
    const Py_ssize_t n = std::min<Py_ssize_t>(PyTuple_GET_SIZE(value), 4);
    for (Py_ssize_t i = 0; i < n; ++i) __builtin_prefetch(PyTuple_GET_ITEM(value, i));
}

// Writes the decimal numeral of `v` at `p` (room for 20 characters) and
// returns where it ends.
inline char* write_int(char* p, long long v) {
    unsigned long long u = static_cast<unsigned long long>(v);
    if (v < 0) {
        *p++ = '-';
        u = 0ULL - u;
    }
    // The digits from the bit length: floor(log10) of a power of two, and
    // one more when the number reaches the next power of ten.
    static constexpr auto kPowers = [] {
        std::array<unsigned long long, 20> powers{};
        unsigned long long power = 1;
        for (unsigned long long& each : powers) {
            each = power;
            power *= 10;  // wraps after the last, unused
        }
        return powers;
    }();
    const int log2 = 63 - __builtin_clzll(u | 1);
    const int guess = ((log2 + 1) * 1233) >> 12;
    const int digits = std::max(1, guess + (u >= kPowers[guess] ? 1 : 0));
    char* const end = p + digits;
    char* q = end;
    while (u >= 100) {
        const unsigned pair = static_cast<unsigned>(u % 100) * 2;
        u /= 100;
        *--q = kDigitPairs[pair + 1];
        *--q = kDigitPairs[pair];
    }
    if (u >= 10) {
        *--q = kDigitPairs[u * 2 + 1];
        *--q = kDigitPairs[u * 2];
    } else {
        *--q = static_cast<char>('0' + u);
    }
    return end;
}

// A str of ASCII characters written in place, so that a whole document
// costs no copy once written: made with room to spare, grown as it fills
// (the characters written stay), cut to its length at the end. Only ASCII
// may be written into it. A str that is never finished is simply freed.
class AsciiText {
public:
    explicit AsciiText(size_t capacity);
    AsciiText(const AsciiText&) = delete;
    AsciiText& operator=(const AsciiText&) = delete;
    char* data() const noexcept { return data_; }
    size_t capacity() const noexcept { return capacity_; }
    // Room for at least `capacity` characters.
    void grow(size_t capacity);
    // The str of its first `length` characters; the text is empty after.
    Ref finish(size_t length);

private:
    Ref str_;
    char* data_ = nullptr;
    size_t capacity_ = 0;
};

// Appends text, either to a std::string through a buffer of its own, so
// that the many short pieces of a document cost a few stores each (what it
// holds goes to the string when the buffer fills and on flush(), which the
// owner calls before it uses the string; never from a destructor, which
// could not report a failure to grow the string), or straight into an
// AsciiText (nothing to flush; size() tells how much is written).
class TextWriter {
public:
    explicit TextWriter(std::string& out) noexcept : out_(&out), p_(buf_), end_(buf_ + sizeof buf_) {}
    explicit TextWriter(AsciiText& text) noexcept
        : text_(&text), p_(text.data()), end_(text.data() + text.capacity()) {}
    TextWriter(const TextWriter&) = delete;
    TextWriter& operator=(const TextWriter&) = delete;

    void put(char c) {
        if (p_ == end_) refill(1);
        *p_++ = c;
    }
    void put(const char* s, size_t n) {
        if (n > static_cast<size_t>(end_ - p_)) return put_long(s, n);
        std::memcpy(p_, s, n);
        p_ += n;
    }
    // Writes what `encoder`'s dumps gives for `value` and returns true;
    // returns false for anything whose text it cannot prove equal
    // (subclasses, ints beyond 64 bits, NaN and infinities, other types,
    // nesting deeper than a chain's values need), leaving a text that the
    // caller must give up. Runs no Python code.
    bool value(PyObject* value, JsonEncoder encoder) {
        if (PyUnicode_CheckExact(value)) {
            if (!put_plain_str(value, encoder)) append_str(value, encoder);
            return true;
        }
        if (PyTuple_CheckExact(value) && put_plain_strs(value, encoder)) return true;
        long long small = 0;
        if (PyLong_CheckExact(value) && compact_int_value(value, small) && small >= 0 && small < 10000) {
            append_small(static_cast<unsigned>(small));
            return true;
        }
        return append_value(value, encoder, 0);
    }
    void integer(long long v) { append_int(v); }
    void flush() {
        if (out_ == nullptr) return;
        out_->append(buf_, static_cast<size_t>(p_ - buf_));
        p_ = buf_;
    }

    // Writing in place: room for `n` more characters at the returned
    // pointer, of which the caller writes some and then commits them.
    char* room(size_t n) {
        if (static_cast<size_t>(end_ - p_) < n) refill(n);
        return p_;
    }
    void commit(char* end) noexcept { p_ = end; }
    // Characters written so far (to the string, for a buffered writer).
    size_t size() const noexcept {
        return out_ != nullptr ? out_->size() + static_cast<size_t>(p_ - buf_)
                               : static_cast<size_t>(p_ - text_->data());
    }
    // What is written from `offset` on, for a change in place, and the text
    // cut back to `size` characters (a buffered writer flushes first).
    char* written(size_t offset) {
        flush();
        return (out_ != nullptr ? out_->data() : text_->data()) + offset;
    }
    // Writes again the `length` characters written from `offset` on.
    void repeat(size_t offset, size_t length) {
        if (out_ != nullptr) {
            flush();
            // Grown first, then copied within the one buffer (append from a
            // position would check it by a libstdc++ function newer than
            // manylinux2014's).
            const size_t at = out_->size();
            out_->resize(at + length);
            std::memcpy(out_->data() + at, out_->data() + offset, length);
            return;
        }
        char* p = room(length);  // first: growing moves the text
        std::memcpy(p, text_->data() + offset, length);
        p_ = p + length;
    }
    void truncate(size_t size) {
        flush();
        if (out_ != nullptr)
            out_->resize(size);
        else
            p_ = text_->data() + size;
    }

private:
    // Makes room for `n` characters: flushes the buffer to the string (n at
    // most the buffer's size), or grows the text.
    void refill(size_t n);
    void put_long(const char* s, size_t n);
    // 0 to 9999, two digits at a time.
    void append_small(unsigned v) {
        char* p = room(4);
        if (v < 10) {
            *p++ = static_cast<char>('0' + v);
        } else if (v < 100) {
            p[0] = kDigitPairs[2 * v];
            p[1] = kDigitPairs[2 * v + 1];
            p += 2;
        } else if (v < 1000) {
            p[0] = static_cast<char>('0' + v / 100);
            p[1] = kDigitPairs[2 * (v % 100)];
            p[2] = kDigitPairs[2 * (v % 100) + 1];
            p += 3;
        } else {
            p[0] = kDigitPairs[2 * (v / 100)];
            p[1] = kDigitPairs[2 * (v / 100) + 1];
            p[2] = kDigitPairs[2 * (v % 100)];
            p[3] = kDigitPairs[2 * (v % 100) + 1];
            p += 4;
        }
        p_ = p;
    }
    // Copies the `n` ASCII characters at `chars` to `p` and tells whether
    // none needs an escape: whole words of eight, the last word overlapping
    // the one before it, and a short text as two overlapping halves, so that
    // no character is copied or checked alone.
    static bool copy_unescaped(char* p, const unsigned char* chars, size_t n, JsonEncoder encoder) {
        uint64_t escapes = 0;
        if (n >= 8) {
            size_t i = 0;
            for (; i + 8 <= n; i += 8) {
                uint64_t word;
                std::memcpy(&word, chars + i, 8);
                std::memcpy(p + i, &word, 8);
                escapes |= escape_bytes(word, encoder);
            }
            if (i < n) {
                uint64_t word;
                std::memcpy(&word, chars + n - 8, 8);
                std::memcpy(p + n - 8, &word, 8);
                escapes |= escape_bytes(word, encoder);
            }
            return escapes == 0;
        }
        // Fewer than eight: two halves that may overlap, the bytes that no
        // character fills set to a letter.
        constexpr uint64_t letters = 0x6161616161616161ULL;
        if (n >= 4) {
            uint32_t low, high;
            std::memcpy(&low, chars, 4);
            std::memcpy(&high, chars + n - 4, 4);
            std::memcpy(p, &low, 4);
            std::memcpy(p + n - 4, &high, 4);
            return escape_bytes(low | static_cast<uint64_t>(high) << 32, encoder) == 0;
        }
        if (n >= 2) {
            uint16_t low, high;
            std::memcpy(&low, chars, 2);
            std::memcpy(&high, chars + n - 2, 2);
            std::memcpy(p, &low, 2);
            std::memcpy(p + n - 2, &high, 2);
            const uint64_t word = (letters & ~0xffffffffULL) | low | static_cast<uint64_t>(high) << 16;
            return escape_bytes(word, encoder) == 0;
        }
        if (n == 1) {
            p[0] = static_cast<char>(chars[0]);
            return escape_bytes((letters & ~0xffULL) | chars[0], encoder) == 0;
        }
        return true;
    }
    // A short ASCII str that needs no escape, a chain's usual value; false,
    // with nothing written, for any other str.
    bool put_plain_str(PyObject* str, JsonEncoder encoder) {
#if PY_VERSION_HEX < 0x030C0000
        if (!PyUnicode_IS_READY(str)) return false;
#endif
        const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(str));
        if (!PyUnicode_IS_ASCII(str) || n > 64) return false;
        char* p = room(n + 2);
        *p = '"';
        if (!copy_unescaped(p + 1, static_cast<const unsigned char*>(PyUnicode_DATA(str)), n, encoder)) return false;
        p[n + 1] = '"';
        p_ = p + n + 2;
        return true;
    }
    // A tuple of such strs (a chain's start of order 2 and up), each item
    // checked and copied in one pass into room for the longest the items
    // may be; false, with nothing written, for any other tuple.
    bool put_plain_strs(PyObject* tuple, JsonEncoder encoder) {
        constexpr size_t kLongest = 64;
        const Py_ssize_t n = PyTuple_GET_SIZE(tuple);
        if (n > 32) return false;
        const bool ujson = encoder == JsonEncoder::ujson;
        char* const start = room(2 + static_cast<size_t>(n) * (kLongest + 4));
        char* p = start;
        *p++ = '[';
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* item = PyTuple_GET_ITEM(tuple, i);
            if (!PyUnicode_CheckExact(item)) return false;
#if PY_VERSION_HEX < 0x030C0000
            if (!PyUnicode_IS_READY(item)) return false;
#endif
            const size_t length = static_cast<size_t>(PyUnicode_GET_LENGTH(item));
            if (!PyUnicode_IS_ASCII(item) || length > kLongest) return false;
            if (i > 0) {
                *p++ = ',';
                if (!ujson) *p++ = ' ';
            }
            *p = '"';
            if (!copy_unescaped(p + 1, static_cast<const unsigned char*>(PyUnicode_DATA(item)), length, encoder))
                return false;
            p[length + 1] = '"';
            p += length + 2;
        }
        *p++ = ']';
        p_ = p;
        return true;
    }
    bool append_value(PyObject* value, JsonEncoder encoder, int depth);
    void append_str(PyObject* str, JsonEncoder encoder);
    void append_int(long long v);
    bool append_float(double v, JsonEncoder encoder);

    std::string* out_ = nullptr;
    AsciiText* text_ = nullptr;
    char* p_;
    char* end_;
    char buf_[4096];
};

// The same for one value, straight onto `out` (left as it was on false).
bool value_text_append(std::string& out, PyObject* value, JsonEncoder encoder);

// The genuine encoder whose dumps the renderer may stand in for: while the
// module global `json` is still the module bound at import and its `dumps`
// still the function found there. nullptr otherwise: then dumps is called.
const ImportedJson* value_text_encoder(const Globals& globals);

// For the standard json: whether everything its loads and dumps look up
// with their default arguments is still what the start-up found.
bool json_defaults_unchanged(const State& state);

// value_text_encoder, asked again only once Python code may have run since
// the last answer: only Python code can rebind the global or the function.
// It also counts those occasions, so that whatever was found true of the
// chain since the count last changed still holds.
class DumpsStandIn {
public:
    explicit DumpsStandIn(const Globals& globals) : globals_(globals) {}
    void python_ran() noexcept {
        known_ = false;
        ++runs_;
    }
    uint64_t runs() const noexcept { return runs_; }
    const ImportedJson* encoder() {
        if (!known_) {
            encoder_ = value_text_encoder(globals_);
            known_ = true;
        }
        return encoder_;
    }

private:
    const Globals& globals_;
    const ImportedJson* encoder_ = nullptr;
    bool known_ = false;
    uint64_t runs_ = 0;
};

}  // namespace pjson

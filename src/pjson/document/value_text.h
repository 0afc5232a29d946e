// The text that a genuine encoder's dumps gives for one value, written
// natively: for exact str, int within 64 bits, finite float, None, True,
// False and exact tuples and lists of these. Both writers use it where the
// module global `json` is the genuine encoder.
#pragma once

#include "module/module.h"

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

// Appends to a std::string through a buffer of its own, so that the many
// short pieces of a document cost a few stores each; what it holds goes to
// the string when the buffer fills and on flush(), which the owner calls
// before it uses the string (never from a destructor, which could not
// report a failure to grow the string).
class TextWriter {
public:
    explicit TextWriter(std::string& out) : out_(out) {}
    TextWriter(const TextWriter&) = delete;
    TextWriter& operator=(const TextWriter&) = delete;

    void put(char c) {
        if (used_ == sizeof buf_) flush();
        buf_[used_++] = c;
    }
    void put(const char* s, size_t n);
    // Writes what `encoder`'s dumps gives for `value` and returns true;
    // returns false for anything whose text it cannot prove equal
    // (subclasses, ints beyond 64 bits, NaN and infinities, other types,
    // nesting deeper than a chain's values need), leaving a text that the
    // caller must give up. Runs no Python code.
    bool value(PyObject* value, JsonEncoder encoder) {
        long long small = 0;
        if (PyLong_CheckExact(value) && compact_int_value(value, small) && small >= 0 && small < 10000) {
            append_small(static_cast<unsigned>(small));
            return true;
        }
        return append_value(value, encoder, 0);
    }
    void integer(long long v) { append_int(v); }
    void flush() {
        out_.append(buf_, used_);
        used_ = 0;
    }

private:
    // Room for `n` more characters in the buffer (n at most its size).
    char* room(size_t n) {
        if (sizeof buf_ - used_ < n) flush();
        return buf_ + used_;
    }
    // 0 to 9999, two digits at a time.
    void append_small(unsigned v) {
        char* p = room(4);
        if (v < 10) {
            *p = static_cast<char>('0' + v);
            used_ += 1;
        } else if (v < 100) {
            p[0] = kDigitPairs[2 * v];
            p[1] = kDigitPairs[2 * v + 1];
            used_ += 2;
        } else if (v < 1000) {
            p[0] = static_cast<char>('0' + v / 100);
            p[1] = kDigitPairs[2 * (v % 100)];
            p[2] = kDigitPairs[2 * (v % 100) + 1];
            used_ += 3;
        } else {
            p[0] = kDigitPairs[2 * (v / 100)];
            p[1] = kDigitPairs[2 * (v / 100) + 1];
            p[2] = kDigitPairs[2 * (v % 100)];
            p[3] = kDigitPairs[2 * (v % 100) + 1];
            used_ += 4;
        }
    }
    bool append_value(PyObject* value, JsonEncoder encoder, int depth);
    void append_str(PyObject* str, JsonEncoder encoder);
    void append_int(long long v);
    bool append_float(double v, JsonEncoder encoder);

    std::string& out_;
    size_t used_ = 0;
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
class DumpsStandIn {
public:
    explicit DumpsStandIn(const Globals& globals) : globals_(globals) {}
    void python_ran() noexcept { known_ = false; }
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
};

}  // namespace pjson

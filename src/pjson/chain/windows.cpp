// The corpus windows of tesmo.train.Novelty: hashes of every run of N
// tokens within a sentence, and the check of a sentence against them.
#include "chain/chain.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace pjson {

// Windows of N tokens within a sentence, as 64-bit hashes: each token's code
// points hashed and mixed, a window the polynomial of its tokens' hashes,
// rolled on from one window to the next so that long windows cost no more.

namespace {

constexpr uint64_t kWindowBase = 0x9E3779B97F4A7C15ULL;

uint64_t mix64(uint64_t x) {
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ULL;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

class WindowHasher {
public:
    explicit WindowHasher(size_t overlap) : ring_(overlap), top_(1) {
        for (size_t i = 1; i < overlap; ++i) top_ *= kWindowBase;
    }
    // Adds a token's hash; true when `window` holds a full window's hash.
    bool push(uint64_t h, uint64_t& window) {
        size_t n = ring_.size();
        if (count_ >= n) hash_ -= ring_[at_] * top_;
        hash_ = hash_ * kWindowBase + h;
        ring_[at_] = h;
        at_ = at_ + 1 == n ? 0 : at_ + 1;
        if (count_ < n) ++count_;
        window = mix64(hash_);
        return count_ == n;
    }
    void reset() {
        count_ = 0;
        hash_ = 0;
        at_ = 0;
    }

private:
    std::vector<uint64_t> ring_;
    uint64_t top_;  // base ** (overlap - 1)
    uint64_t hash_ = 0;
    size_t count_ = 0;
    size_t at_ = 0;
};

class TokenHash {
public:
    void add(char32_t c) { h_ = (h_ ^ c) * 0x100000001B3ULL; }
    uint64_t done(size_t length) const { return mix64(h_ ^ (length * 0x9E3779B97F4A7C15ULL)); }

private:
    uint64_t h_ = 0xCBF29CE484222325ULL;
};

class WindowSink : public TokenSink {
public:
    explicit WindowSink(size_t overlap) : hasher_(overlap) {}
    void token(const char32_t* text, size_t length) override {
        TokenHash h;
        for (size_t i = 0; i < length; ++i) h.add(text[i]);
        uint64_t window;
        if (hasher_.push(h.done(length), window)) windows.push_back(window);
    }
    void boundary() override { hasher_.reset(); }
    std::vector<uint64_t> windows;

private:
    WindowHasher hasher_;
};

size_t overlap_argument(PyObject* overlap) {
    if (!PyLong_Check(overlap)) {
        PyErr_SetString(PyExc_TypeError, "overlap must be an int");
        throw_error();
    }
    Py_ssize_t n = PyLong_AsSsize_t(overlap);
    if (n == -1 && PyErr_Occurred()) throw_error();
    if (n < 1) {
        PyErr_SetString(PyExc_ValueError, "overlap must be at least 1");
        throw_error();
    }
    return static_cast<size_t>(n);
}

// Whether the sorted 64-bit words of `table` (of any alignment) hold `value`.
bool table_holds(const char* table, size_t count, uint64_t value) {
    size_t lo = 0, hi = count;
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        uint64_t word;
        std::memcpy(&word, table + mid * sizeof(uint64_t), sizeof word);
        if (word < value)
            lo = mid + 1;
        else if (word > value)
            hi = mid;
        else
            return true;
    }
    return false;
}

template <class Char>
void hash_text(TokenHash& h, const void* data, Py_ssize_t n) {
    const Char* p = static_cast<const Char*>(data);
    for (Py_ssize_t i = 0; i < n; ++i) h.add(static_cast<char32_t>(p[i]));
}

}  // namespace

PyObject* mod_corpus_windows(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (nargs != 2) {
            PyErr_Format(PyExc_TypeError, "corpus_windows() takes exactly 2 arguments (%zd given)", nargs);
            throw_error();
        }
        WindowSink sink(overlap_argument(args[1]));
        tokenize_sources(args[0], sink);
        std::vector<uint64_t>& w = sink.windows;
        std::sort(w.begin(), w.end());
        w.erase(std::unique(w.begin(), w.end()), w.end());
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(w.data()),
                                         static_cast<Py_ssize_t>(w.size() * sizeof(uint64_t)));
    });
}

PyObject* mod_reproduces(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (nargs != 3) {
            PyErr_Format(PyExc_TypeError, "reproduces() takes exactly 3 arguments (%zd given)", nargs);
            throw_error();
        }
        if (!PyBytes_CheckExact(args[0])) {
            PyErr_SetString(PyExc_TypeError, "reproduces() needs the bytes of corpus_windows()");
            throw_error();
        }
        Ref table = Ref::borrow(args[0]);
        size_t overlap = overlap_argument(args[2]);
        Ref tokens = check(PySequence_Fast(args[1], "tokens must be iterable"));
        // Nothing below runs Python code: the items stay as they are.
        const char* windows = PyBytes_AS_STRING(table.get());
        size_t count = static_cast<size_t>(PyBytes_GET_SIZE(table.get())) / sizeof(uint64_t);
        WindowHasher hasher(overlap);
        Py_ssize_t n = PySequence_Fast_GET_SIZE(tokens.get());
        PyObject** items = PySequence_Fast_ITEMS(tokens.get());
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* token = items[i];
            if (!PyUnicode_Check(token)) {
                hasher.reset();  // no corpus window holds anything but str
                continue;
            }
#if PY_VERSION_HEX < 0x030C0000
            check_status(PyUnicode_READY(token));
#endif
            TokenHash h;
            Py_ssize_t length = PyUnicode_GET_LENGTH(token);
            const void* data = PyUnicode_DATA(token);
            switch (PyUnicode_KIND(token)) {
                case PyUnicode_1BYTE_KIND: hash_text<Py_UCS1>(h, data, length); break;
                case PyUnicode_2BYTE_KIND: hash_text<Py_UCS2>(h, data, length); break;
                default: hash_text<Py_UCS4>(h, data, length); break;
            }
            uint64_t window;
            if (hasher.push(h.done(static_cast<size_t>(length)), window) && table_holds(windows, count, window))
                Py_RETURN_TRUE;
        }
        Py_RETURN_FALSE;
    });
}

}  // namespace pjson

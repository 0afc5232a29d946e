// The native parser of the compact reader. It accepts strict JSON only
// (RFC 8259 over ASCII text) and refuses, among what that allows, whatever
// the two decoders do not read alike or this parser does not reproduce:
// integers beyond 64 bits (ujson and json both make big ints, but which
// exactly is theirs to say), floats that overflow or are long enough to
// reach a decoder's digit limits, lone surrogate escapes, escaped member
// names at the top, and deep nesting. Both decoders read a valid integer as
// int and a number with a fraction or exponent as the correctly rounded
// float (json through float(), ujson through double-conversion's strtod),
// so one PyOS_string_to_double stands in for both.
#include "compact/document_text.h"

#include <cstddef>
#include <cstring>
#include <string>

namespace pjson {

namespace {

constexpr int kMaxDepth = kTextMaxDepth;
constexpr std::ptrdiff_t kMaxFloatChars = 40;

inline bool is_ws(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

inline const char* skip_ws(const char* p, const char* end) {
    while (p < end && is_ws(*p)) ++p;
    return p;
}

// The same without a bound, for a text already checked: a value or a
// closing bracket always follows.
inline const char* skip_ws(const char* p) {
    while (is_ws(*p)) ++p;
    return p;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool hex4(const char* p, const char* end, unsigned& out) {
    if (end - p < 4) return false;
    out = 0;
    for (int i = 0; i < 4; ++i) {
        const int d = hex_digit(p[i]);
        if (d < 0) return false;
        out = out << 4 | static_cast<unsigned>(d);
    }
    return true;
}

bool is_high_surrogate(unsigned u) { return u >= 0xd800 && u <= 0xdbff; }
bool is_low_surrogate(unsigned u) { return u >= 0xdc00 && u <= 0xdfff; }

// A string token at p (its opening quote): just past its closing quote, or
// nullptr when refused. `escaped` tells whether it holds any escape.
const char* check_string(const char* p, const char* end, bool& escaped) {
    escaped = false;
    for (++p; p < end;) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c == '"') return p + 1;
        if (c < 0x20 || c >= 0x80) return nullptr;
        if (c != '\\') {
            ++p;
            continue;
        }
        escaped = true;
        if (end - p < 2) return nullptr;
        const char e = p[1];
        if (e != 'u') {
            if (e == '\0' || std::strchr("\"\\/bfnrt", e) == nullptr) return nullptr;
            p += 2;
            continue;
        }
        unsigned u = 0;
        if (!hex4(p + 2, end, u) || is_low_surrogate(u)) return nullptr;
        p += 6;
        if (!is_high_surrogate(u)) continue;
        unsigned low = 0;
        if (end - p < 6 || p[0] != '\\' || p[1] != 'u' || !hex4(p + 2, end, low) || !is_low_surrogate(low))
            return nullptr;
        p += 6;
    }
    return nullptr;
}

// The extent of a number token by the strict grammar
// -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?; nullptr when it is none.
const char* number_end(const char* p, const char* end, bool& real) {
    real = false;
    if (p < end && *p == '-') ++p;
    if (p == end || *p < '0' || *p > '9') return nullptr;
    if (*p == '0') {
        ++p;
    } else {
        while (p < end && *p >= '0' && *p <= '9') ++p;
    }
    if (p < end && *p == '.') {
        real = true;
        ++p;
        if (p == end || *p < '0' || *p > '9') return nullptr;
        while (p < end && *p >= '0' && *p <= '9') ++p;
    }
    if (p < end && (*p == 'e' || *p == 'E')) {
        real = true;
        ++p;
        if (p < end && (*p == '+' || *p == '-')) ++p;
        if (p == end || *p < '0' || *p > '9') return nullptr;
        while (p < end && *p >= '0' && *p <= '9') ++p;
    }
    return p;
}

// An integer token strictly inside the range of long long.
bool int_value(const char* p, const char* e, long long& value) {
    const bool negative = *p == '-';
    if (negative) ++p;
    unsigned long long u = 0;
    for (; p < e; ++p) {
        if (u > (9223372036854775807ULL - 9) / 10) return false;  // 19 digits may not fit
        u = u * 10 + static_cast<unsigned>(*p - '0');
    }
    value = negative ? -static_cast<long long>(u) : static_cast<long long>(u);
    return true;
}

// The common token, a short integer: just past it, with its value, when
// the token at p is -?[0-9]{1,18} and no fraction or exponent follows (its
// leading zeros, if any, are for the caller to refuse); else nullptr.
inline const char* short_int(const char* p, const char* end, long long& value) {
    const bool negative = p < end && *p == '-';
    const char* q = p + negative;
    const char* const digits = q;
    const char* const limit = end - digits > 18 ? digits + 18 : end;
    long long v = 0;
    for (unsigned d; q < limit && (d = static_cast<unsigned char>(*q) - unsigned{'0'}) <= 9; ++q) v = v * 10 + d;
    if (q == digits || (q < end && ((*q >= '0' && *q <= '9') || *q == '.' || *q == 'e' || *q == 'E'))) return nullptr;
    value = negative ? -v : v;
    return q;
}

// A float token as float() reads it; false when too long to be sure of.
bool float_value(const char* p, const char* e, double& value) {
    if (e - p > kMaxFloatChars) return false;
    char buf[kMaxFloatChars + 1];
    std::memcpy(buf, p, static_cast<size_t>(e - p));
    buf[e - p] = '\0';
    value = PyOS_string_to_double(buf, nullptr, nullptr);
    if (value == -1.0 && PyErr_Occurred()) throw_error();
    return true;
}

bool check_number(const char* p, const char* e, bool real) {
    if (!real) {
        long long v = 0;
        return int_value(p, e, v);
    }
    double v = 0;
    return float_value(p, e, v) && v != Py_HUGE_VAL && v != -Py_HUGE_VAL;
}

// Walks the elements of an array at p ('['), handing each one's start and
// index to `element`, which returns the position just past it or nullptr.
template <class Element>
const char* check_elements(const char* p, const char* end, Element&& element) {
    p = skip_ws(p + 1, end);
    if (p < end && *p == ']') return p + 1;
    for (size_t index = 0;; ++index) {
        p = element(p, index);
        if (p == nullptr) return nullptr;
        p = skip_ws(p, end);
        if (p == end) return nullptr;
        if (*p == ']') return p + 1;
        if (*p != ',') return nullptr;
        p = skip_ws(p + 1, end);
    }
}

const char* check_value(const char* p, const char* end, int depth) {
    if (p == end) return nullptr;
    switch (*p) {
        case '"': {
            bool escaped = false;
            return check_string(p, end, escaped);
        }
        case '[':
            if (depth >= kMaxDepth) return nullptr;
            return check_elements(p, end, [&](const char* q, size_t) { return check_value(q, end, depth + 1); });
        case '{': {
            if (depth >= kMaxDepth) return nullptr;
            p = skip_ws(p + 1, end);
            if (p < end && *p == '}') return p + 1;
            for (;;) {
                bool escaped = false;
                if (p == end || *p != '"' || (p = check_string(p, end, escaped)) == nullptr) return nullptr;
                p = skip_ws(p, end);
                if (p == end || *p != ':') return nullptr;
                p = check_value(skip_ws(p + 1, end), end, depth + 1);
                if (p == nullptr) return nullptr;
                p = skip_ws(p, end);
                if (p == end) return nullptr;
                if (*p == '}') return p + 1;
                if (*p != ',') return nullptr;
                p = skip_ws(p + 1, end);
            }
        }
        case 't': return end - p >= 4 && std::memcmp(p, "true", 4) == 0 ? p + 4 : nullptr;
        case 'f': return end - p >= 5 && std::memcmp(p, "false", 5) == 0 ? p + 5 : nullptr;
        case 'n': return end - p >= 4 && std::memcmp(p, "null", 4) == 0 ? p + 4 : nullptr;
        default: {
            long long v = 0;
            if (const char* e = short_int(p, end, v)) {
                const char* first = p + (*p == '-');
                return *first == '0' && e - first > 1 ? nullptr : e;  // no leading zeros
            }
            bool real = false;
            const char* e = number_end(p, end, real);
            return e != nullptr && check_number(p, e, real) ? e : nullptr;
        }
    }
}

// The usual compressed next start, an array of short integers, checked in
// one loop; nullptr when it holds anything else, to be checked the general
// way.
const char* check_int_array(const char* p, const char* end) {
    p = skip_ws(p + 1, end);
    if (p < end && *p == ']') return p + 1;
    for (;;) {
        long long v = 0;
        const char* e = short_int(p, end, v);
        const char* first = p + (p < end && *p == '-');
        if (e == nullptr || (*first == '0' && e - first > 1)) return nullptr;
        p = skip_ws(e, end);
        if (p == end) return nullptr;
        if (*p == ']') return p + 1;
        if (*p != ',') return nullptr;
        p = skip_ws(p + 1, end);
    }
}

// "chain": every bag (odd index) an array, and in every bag each next start
// (even index) an array unless it is the unpaired last element.
const char* check_chain(const char* p, const char* end, bool& shaped) {
    shaped = true;
    return check_elements(p, end, [&](const char* entry, size_t index) -> const char* {
        if (index % 2 == 0) return check_value(entry, end, 2);
        if (*entry != '[') shaped = false;
        if (!shaped) return check_value(entry, end, 2);
        const char* odd_one = nullptr;  // a next start that is no array
        const char* after = check_elements(entry, end, [&](const char* item, size_t i) -> const char* {
            if (odd_one != nullptr) shaped = false;  // it was not the last element
            if (i % 2 == 0 && *item != '[') odd_one = item;
            if (*item == '[')
                if (const char* after_keys = check_int_array(item, end)) return after_keys;
            return check_value(item, end, 3);
        });
        return after;
    });
}

// A checked text: past the value at p.
const char* skip_value(const char* p) {
    if (*p == '"') {
        for (++p; *p != '"'; ++p)
            if (*p == '\\') ++p;
        return p + 1;
    }
    if (*p == '[') {
        // Most arrays here hold numbers only.
        const char* q = p + 1;
        while (*q != ']' && *q != '"' && *q != '[' && *q != '{') ++q;
        if (*q == ']') return q + 1;
    }
    if (*p == '[' || *p == '{') {
        int depth = 0;
        for (;; ++p) {
            const char c = *p;
            if (c == '"') {
                p = skip_value(p) - 1;
            } else if (c == '[' || c == '{') {
                ++depth;
            } else if (c == ']' || c == '}') {
                if (--depth == 0) return p + 1;
            }
        }
    }
    if (*p == 't' || *p == 'n') return p + 4;
    if (*p == 'f') return p + 5;
    while ((*p >= '0' && *p <= '9') || *p == '-' || *p == '+' || *p == '.' || *p == 'e' || *p == 'E') ++p;
    return p;
}

Ref build(const char*& p);

Ref build_string(const char*& p) {
    const char* begin = ++p;
    bool escaped = false;
    while (*p != '"') {
        if (*p == '\\') {
            escaped = true;
            ++p;
        }
        ++p;
    }
    const char* stop = p++;
    if (!escaped) {
        Ref s = check(PyUnicode_New(stop - begin, 127));
        std::memcpy(PyUnicode_DATA(s.get()), begin, static_cast<size_t>(stop - begin));
        return s;
    }
    std::u32string chars;
    for (const char* q = begin; q < stop;) {
        if (*q != '\\') {
            chars.push_back(static_cast<unsigned char>(*q++));
            continue;
        }
        const char e = q[1];
        q += 2;
        switch (e) {
            case 'b': chars.push_back('\b'); break;
            case 'f': chars.push_back('\f'); break;
            case 'n': chars.push_back('\n'); break;
            case 'r': chars.push_back('\r'); break;
            case 't': chars.push_back('\t'); break;
            case 'u': {
                unsigned u = 0;
                hex4(q, stop, u);
                q += 4;
                if (is_high_surrogate(u)) {  // checked: a low one follows
                    unsigned low = 0;
                    hex4(q + 2, stop, low);
                    q += 6;
                    u = 0x10000 + ((u - 0xd800) << 10) + (low - 0xdc00);
                }
                chars.push_back(u);
                break;
            }
            default: chars.push_back(static_cast<unsigned char>(e)); break;  // " \ /
        }
    }
    return check(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, chars.data(), static_cast<Py_ssize_t>(chars.size())));
}

// Collects the elements first: no list is seen half-built.
Ref build_list(const char*& p) {
    std::vector<Ref> items;
    p = skip_ws(p + 1);
    if (*p != ']') {
        for (;;) {
            items.push_back(build(p));
            p = skip_ws(p);
            if (*p++ == ']') break;
            p = skip_ws(p);
        }
    } else {
        ++p;
    }
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(items.size())));
    for (size_t i = 0; i < items.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), items[i].release());
    return list;
}

// Members in order, a later one replacing an earlier equal name, as both
// decoders fill their dicts.
Ref build_dict(const char*& p) {
    Ref dict = check(PyDict_New());
    p = skip_ws(p + 1);
    if (*p == '}') {
        ++p;
        return dict;
    }
    for (;;) {
        Ref key = build_string(p);
        p = skip_ws(skip_ws(p) + 1);
        Ref value = build(p);
        check_status(PyDict_SetItem(dict.get(), key.get(), value.get()));
        p = skip_ws(p);
        if (*p++ == '}') return dict;
        p = skip_ws(p);
    }
}

Ref build(const char*& p) {
    switch (*p) {
        case '"': return build_string(p);
        case '[': return build_list(p);
        case '{': return build_dict(p);
        case 't': p += 4; return Ref::borrow(Py_True);
        case 'f': p += 5; return Ref::borrow(Py_False);
        case 'n': p += 4; return Ref::borrow(Py_None);
        default: break;
    }
    long long small = 0;
    if (const char* e = short_int(p, p + kMaxFloatChars + 24, small)) {  // checked: the token ends well before
        p = e;
        return check(PyLong_FromLongLong(small));
    }
    bool real = false;
    const char* e = number_end(p, p + kMaxFloatChars + 24, real);
    const char* begin = std::exchange(p, e);
    if (real) {
        double v = 0;
        float_value(begin, e, v);
        return check(PyFloat_FromDouble(v));
    }
    long long v = 0;
    int_value(begin, e, v);
    return check(PyLong_FromLongLong(v));
}

}  // namespace

const char* text_skip_value(const char* p, const char* end, int depth) { return check_value(p, end, depth); }

const char* text_short_int(const char* p, const char* end, long long& value) { return short_int(p, end, value); }

const char* text_number(const char* p, const char* end, bool& real, long long& value, double& real_value) {
    const char* e = number_end(p, end, real);
    if (e == nullptr) return nullptr;
    const char* first = p + (*p == '-');
    if (*first == '0' && first + 1 < e && first[1] >= '0' && first[1] <= '9') return nullptr;  // leading zeros
    if (!real) return int_value(p, e, value) ? e : nullptr;
    return float_value(p, e, real_value) && real_value != Py_HUGE_VAL && real_value != -Py_HUGE_VAL ? e : nullptr;
}

bool text_hex4(const char* p, const char* end, unsigned& out) { return hex4(p, end, out); }

bool text_check(const char* begin, const char* end, TextLayout& layout) {
    const char* p = skip_ws(begin, end);
    if (p == end || *p != '{') return false;
    bool shaped = false;
    p = skip_ws(p + 1, end);
    if (p < end && *p == '}') return false;  // no members at all
    for (;;) {
        bool escaped = false;
        if (p == end || *p != '"') return false;
        const char* name = p + 1;
        p = check_string(p, end, escaped);
        if (p == nullptr || escaped) return false;
        const size_t length = static_cast<size_t>(p - 1 - name);
        const bool is_codes = length == 5 && std::memcmp(name, "codes", 5) == 0;
        const bool is_chain = length == 5 && std::memcmp(name, "chain", 5) == 0;
        p = skip_ws(p, end);
        if (p == end || *p != ':') return false;
        p = skip_ws(p + 1, end);
        if (p == end) return false;
        const char* value = p;
        if (is_chain && *value == '[') {
            p = check_chain(value, end, shaped);
        } else {
            p = check_value(value, end, 1);
        }
        if (p == nullptr) return false;
        // A later member of the same name replaces the earlier one.
        if (is_codes) layout.codes = *value == '[' ? value : nullptr;
        if (is_chain) layout.chain = *value == '[' && shaped ? value : nullptr;
        p = skip_ws(p, end);
        if (p == end) return false;
        if (*p == '}') break;
        if (*p != ',') return false;
        p = skip_ws(p + 1, end);
    }
    return skip_ws(p + 1, end) == end && layout.codes != nullptr && layout.chain != nullptr;
}

TextElement TextArray::next() {
    if (pending_ != nullptr) p_ = skip_value(pending_);
    pending_ = nullptr;
    if (p_ == nullptr) return {};
    p_ = skip_ws(p_);
    if (*p_ == ']') {
        end_ = p_ + 1;
        p_ = nullptr;
        return {};
    }
    if (!first_) p_ = skip_ws(p_ + 1);  // the comma
    first_ = false;
    TextElement element;
    element.at = p_;
    if (const char* after = short_int(p_, p_ + kMaxFloatChars + 24, element.value)) {  // checked: ends well before
        element.is_int = true;
        p_ = after;
    } else {
        pending_ = p_;
    }
    return element;
}

Ref text_value(const char* p) { return build(p); }

Ref text_value(const TextElement& element) {
    if (element.is_int) return check(PyLong_FromLongLong(element.value));
    return text_value(element.at);
}

}  // namespace pjson

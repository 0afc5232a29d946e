// Native rendering of single values, byte for byte as ujson.dumps and
// json.dumps write them with their default settings.
//
// Strings: both escape every character outside ASCII as \u with lowercase
// hex digits (a surrogate pair above U+FFFF; a lone surrogate as itself),
// '"' and '\\' with a backslash, and \b \f \n \r \t by their short forms;
// other control characters become \u00xx. ujson also writes "/" as "\/" and
// leaves DEL (0x7f) as it is, where json escapes DEL and leaves "/".
//
// Floats: json writes float.__repr__. ujson's double-conversion prints the
// shortest digits that read back as the same double, the nearer one on a
// tie and the even one on an exact tie, as repr does, and switches to an
// exponent at the same thresholds (below 1e-4, from 1e16 on); it only writes
// the exponent without repr's leading zero ("1e-5" for repr's "1e-05").
#include "document/value_text.h"

#include <cmath>
#include <cstring>

namespace pjson {

namespace {

// Far more than a chain's values need, far less than either encoder's limit.
constexpr int kMaxDepth = 32;

constexpr char kHex[] = "0123456789abcdef";

// Which ASCII characters each encoder writes as they are: all but control
// characters, '"' and '\\', and besides "/" for ujson, DEL for json.
struct StandsAsIs {
    bool table[2][128];
    constexpr StandsAsIs() : table() {
        for (int c = 0x20; c < 0x80; ++c) {
            const bool common = c != '"' && c != '\\';
            table[0][c] = common && c != '/';
            table[1][c] = common && c != 0x7f;
        }
    }
};
constexpr StandsAsIs kStandsAsIsTables;
constexpr const bool (&kStandsAsIs)[2][128] = kStandsAsIsTables.table;

void put_u_escape(TextWriter& w, unsigned code) {
    const char buf[6] = {
        '\\', 'u', kHex[(code >> 12) & 0xf], kHex[(code >> 8) & 0xf], kHex[(code >> 4) & 0xf], kHex[code & 0xf]};
    w.put(buf, 6);
}

// The escape of an ASCII character, or nullptr when it stands as it is.
const char* ascii_escape(unsigned c, JsonEncoder encoder) {
    switch (c) {
        case '"': return "\\\"";
        case '\\': return "\\\\";
        case '\b': return "\\b";
        case '\f': return "\\f";
        case '\n': return "\\n";
        case '\r': return "\\r";
        case '\t': return "\\t";
        case '/': return encoder == JsonEncoder::ujson ? "\\/" : nullptr;
        default: return nullptr;
    }
}

}  // namespace

void TextWriter::put(const char* s, size_t n) {
    if (n > sizeof buf_ - used_) {
        flush();
        if (n > sizeof buf_) {
            out_.append(s, n);
            return;
        }
    }
    std::memcpy(buf_ + used_, s, n);
    used_ += n;
}

void TextWriter::append_str(PyObject* str, JsonEncoder encoder) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(str) < 0) throw_error();  // a string made by the old API
#endif
    // Short ASCII strings that need no escape, a chain's usual values, are
    // checked and copied a character at a time.
    const Py_ssize_t length = PyUnicode_GET_LENGTH(str);
    if (PyUnicode_IS_ASCII(str) && length <= 64) {
        const unsigned char* chars = static_cast<const unsigned char*>(PyUnicode_DATA(str));
        const bool* stands = kStandsAsIs[encoder == JsonEncoder::ujson ? 0 : 1];
        bool plain = true;
        for (Py_ssize_t i = 0; i < length; ++i) plain &= stands[chars[i]];
        if (plain) {
            char* p = room(static_cast<size_t>(length) + 2);
            *p++ = '"';
            for (Py_ssize_t i = 0; i < length; ++i) *p++ = static_cast<char>(chars[i]);
            *p = '"';
            used_ += static_cast<size_t>(length) + 2;
            return;
        }
    }
    const int kind = PyUnicode_KIND(str);
    const void* data = PyUnicode_DATA(str);
    const Py_ssize_t n = length;
    const unsigned del_escaped = encoder == JsonEncoder::json ? 0x7f : 0x80;
    put('"');
    Py_ssize_t i = 0;
    while (i < n) {
        // Runs of characters that stand as they are go in one piece.
        if (kind == PyUnicode_1BYTE_KIND) {
            const unsigned char* bytes = static_cast<const unsigned char*>(data);
            Py_ssize_t j = i;
            while (j < n && bytes[j] >= 0x20 && bytes[j] < del_escaped && bytes[j] != '"' && bytes[j] != '\\' &&
                   bytes[j] != '/')
                ++j;
            put(reinterpret_cast<const char*>(bytes + i), static_cast<size_t>(j - i));
            if (j == n) break;
            i = j;
        }
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        ++i;
        if (c < 0x80) {
            if (const char* escape = ascii_escape(c, encoder)) {
                put(escape, 2);
            } else if (c < 0x20 || c >= del_escaped) {
                put_u_escape(*this, c);
            } else {
                put(static_cast<char>(c));
            }
        } else if (c >= 0x10000) {
            put_u_escape(*this, 0xd800 + ((c - 0x10000) >> 10));
            put_u_escape(*this, 0xdc00 + ((c - 0x10000) & 0x3ff));
        } else {
            put_u_escape(*this, c);
        }
    }
    put('"');
}

void TextWriter::append_int(long long v) {
    char* p = room(24);
    char* const start = p;
    unsigned long long u = static_cast<unsigned long long>(v);
    if (v < 0) {
        *p++ = '-';
        u = 0ULL - u;
    }
    int digits = 1;
    for (unsigned long long t = u; t >= 10; t /= 10) ++digits;
    char* q = p + digits;
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
    used_ += static_cast<size_t>(p + digits - start);
}

bool TextWriter::append_float(double v, JsonEncoder encoder) {
    if (!std::isfinite(v)) return false;
    char* repr = PyOS_double_to_string(v, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (repr == nullptr) throw_error();
    const char* e = std::strchr(repr, 'e');
    if (encoder == JsonEncoder::json || e == nullptr) {
        put(repr, std::strlen(repr));
    } else {
        // repr's exponent has a sign and at least two digits.
        const char* digits = e + 2;
        while (digits[0] == '0' && digits[1] != '\0') ++digits;
        put(repr, static_cast<size_t>(e + 2 - repr));
        put(digits, std::strlen(digits));
    }
    PyMem_Free(repr);
    return true;
}

bool TextWriter::append_value(PyObject* value, JsonEncoder encoder, int depth) {
    if (PyLong_CheckExact(value)) {
        long long small = 0;
        if (compact_int_value(value, small)) {
            append_int(small);
            return true;
        }
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow != 0) return false;
        if (v == -1 && PyErr_Occurred()) throw_error();
        append_int(v);
        return true;
    }
    if (PyUnicode_CheckExact(value)) {
        append_str(value, encoder);
        return true;
    }
    if (value == Py_None) {
        put("null", 4);
        return true;
    }
    if (value == Py_True) {
        put("true", 4);
        return true;
    }
    if (value == Py_False) {
        put("false", 5);
        return true;
    }
    if (PyFloat_CheckExact(value)) return append_float(PyFloat_AS_DOUBLE(value), encoder);
    if (PyTuple_CheckExact(value) || PyList_CheckExact(value)) {
        if (depth >= kMaxDepth) return false;
        put('[');
        // Rendering runs no Python code, so a list cannot change under us.
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(value);
        PyObject** items = PySequence_Fast_ITEMS(value);
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i > 0) {
                if (encoder == JsonEncoder::ujson)
                    put(',');
                else
                    put(", ", 2);
            }
            if (!append_value(items[i], encoder, depth + 1)) return false;
        }
        put(']');
        return true;
    }
    return false;
}

bool value_text_append(std::string& out, PyObject* value, JsonEncoder encoder) {
    const size_t mark = out.size();
    TextWriter writer(out);
    const bool rendered = writer.value(value, encoder);
    writer.flush();
    if (!rendered) out.resize(mark);
    return rendered;
}

const ImportedJson* value_text_encoder(const Globals& globals) {
    const State& st = globals.state();
    PyObject* json = globals.peek(globals.names().g_json);
    if (!st.json.genuine || json == nullptr || json != st.imported_json || !PyModule_CheckExact(json)) return nullptr;
    PyObject* dumps = PyDict_GetItem(PyModule_GetDict(json), globals.names().dumps);
    if (dumps == nullptr || dumps != st.json.dumps) return nullptr;
    return st.json.kind == JsonEncoder::ujson || json_defaults_unchanged(st) ? &st.json : nullptr;
}

}  // namespace pjson

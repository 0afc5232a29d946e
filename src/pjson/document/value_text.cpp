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
#include "document/code_table.h"

#include <cmath>
#include <cstring>

namespace pjson {

namespace {

// Far more than a chain's values need, far less than either encoder's limit.
constexpr int kMaxDepth = 32;

constexpr char kHex[] = "0123456789abcdef";

void append_u_escape(std::string& out, unsigned code) {
    char buf[6] = {'\\', 'u', kHex[(code >> 12) & 0xf], kHex[(code >> 8) & 0xf], kHex[(code >> 4) & 0xf],
                   kHex[code & 0xf]};
    out.append(buf, 6);
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

void append_str(std::string& out, PyObject* str, JsonEncoder encoder) {
    const int kind = PyUnicode_KIND(str);
    const void* data = PyUnicode_DATA(str);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(str);
    const unsigned del_escaped = encoder == JsonEncoder::json ? 0x7f : 0x80;
    out.push_back('"');
    Py_ssize_t i = 0;
    while (i < n) {
        // Runs of characters that stand as they are go in one piece.
        if (kind == PyUnicode_1BYTE_KIND) {
            const unsigned char* bytes = static_cast<const unsigned char*>(data);
            Py_ssize_t j = i;
            while (j < n && bytes[j] >= 0x20 && bytes[j] < del_escaped && bytes[j] != '"' && bytes[j] != '\\' &&
                   bytes[j] != '/')
                ++j;
            out.append(reinterpret_cast<const char*>(bytes + i), static_cast<size_t>(j - i));
            if (j == n) break;
            i = j;
        }
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        ++i;
        if (c < 0x80) {
            if (const char* escape = ascii_escape(c, encoder)) {
                out.append(escape);
            } else if (c < 0x20 || c >= del_escaped) {
                append_u_escape(out, c);
            } else {
                out.push_back(static_cast<char>(c));
            }
        } else if (c >= 0x10000) {
            append_u_escape(out, 0xd800 + ((c - 0x10000) >> 10));
            append_u_escape(out, 0xdc00 + ((c - 0x10000) & 0x3ff));
        } else {
            append_u_escape(out, c);
        }
    }
    out.push_back('"');
}

bool append_float(std::string& out, double v, JsonEncoder encoder) {
    if (!std::isfinite(v)) return false;
    char* repr = PyOS_double_to_string(v, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (repr == nullptr) throw_error();
    const char* e = std::strchr(repr, 'e');
    if (encoder == JsonEncoder::json || e == nullptr) {
        out.append(repr);
    } else {
        // repr's exponent has a sign and at least two digits.
        const char* digits = e + 2;
        while (digits[0] == '0' && digits[1] != '\0') ++digits;
        out.append(repr, static_cast<size_t>(e + 2 - repr));
        out.append(digits);
    }
    PyMem_Free(repr);
    return true;
}

bool append_value(std::string& out, PyObject* value, JsonEncoder encoder, int depth) {
    if (PyUnicode_CheckExact(value)) {
        append_str(out, value, encoder);
        return true;
    }
    if (PyLong_CheckExact(value)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow != 0) return false;
        if (v == -1 && PyErr_Occurred()) throw_error();
        append_decimal(out, v);
        return true;
    }
    if (value == Py_None) {
        out.append("null");
        return true;
    }
    if (value == Py_True) {
        out.append("true");
        return true;
    }
    if (value == Py_False) {
        out.append("false");
        return true;
    }
    if (PyFloat_CheckExact(value)) return append_float(out, PyFloat_AS_DOUBLE(value), encoder);
    if (PyTuple_CheckExact(value) || PyList_CheckExact(value)) {
        if (depth >= kMaxDepth) return false;
        const char* separator = encoder == JsonEncoder::ujson ? "," : ", ";
        out.push_back('[');
        // Rendering runs no Python code, so a list cannot change under us.
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(value);
        PyObject** items = PySequence_Fast_ITEMS(value);
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i > 0) out.append(separator);
            if (!append_value(out, items[i], encoder, depth + 1)) return false;
        }
        out.push_back(']');
        return true;
    }
    return false;
}

}  // namespace

bool value_text_append(std::string& out, PyObject* value, JsonEncoder encoder) {
    const size_t mark = out.size();
    if (append_value(out, value, encoder, 0)) return true;
    out.resize(mark);
    return false;
}

}  // namespace pjson

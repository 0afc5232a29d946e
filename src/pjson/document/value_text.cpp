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

#include <algorithm>
#include <cmath>
#include <cstring>

namespace pjson {

namespace {

// Far more than a chain's values need, far less than either encoder's limit.
constexpr int kMaxDepth = 32;

constexpr char kHex[] = "0123456789abcdef";

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

AsciiText::AsciiText(size_t capacity) { grow(capacity); }

void AsciiText::grow(size_t capacity) {
    if (capacity <= capacity_ && str_) return;
    if (capacity > static_cast<size_t>(PY_SSIZE_T_MAX) / 2) throw std::bad_alloc();
    if (!str_) {
        str_ = check(PyUnicode_New(static_cast<Py_ssize_t>(capacity), 127));
    } else {
        // A str made here, held only here and never hashed, is resized in place.
        PyObject* str = str_.release();
        const int status = PyUnicode_Resize(&str, static_cast<Py_ssize_t>(capacity));
        str_ = Ref(str);
        check_status(status);
    }
    data_ = static_cast<char*>(PyUnicode_DATA(str_.get()));
    capacity_ = capacity;
}

Ref AsciiText::finish(size_t length) {
    if (length < capacity_) {
        PyObject* str = str_.release();
        const int status = PyUnicode_Resize(&str, static_cast<Py_ssize_t>(length));
        str_ = Ref(str);
        check_status(status);
    }
    data_ = nullptr;
    capacity_ = 0;
    return std::move(str_);
}

void TextWriter::refill(size_t n) {
    if (text_ == nullptr) {
        flush();
        return;
    }
    const size_t used = size();
    text_->grow(std::max(text_->capacity() * 2, used + n + 4096));
    p_ = text_->data() + used;
    end_ = text_->data() + text_->capacity();
}

void TextWriter::put_long(const char* s, size_t n) {
    if (text_ == nullptr && n > sizeof buf_) {
        flush();
        out_->append(s, n);
        return;
    }
    refill(n);
    std::memcpy(p_, s, n);
    p_ += n;
}

void TextWriter::append_str(PyObject* str, JsonEncoder encoder) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(str) < 0) throw_error();  // a string made by the old API
#endif
    const Py_ssize_t length = PyUnicode_GET_LENGTH(str);
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

void TextWriter::append_int(long long v) { commit(write_int(room(24), v)); }

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
    if (PyUnicode_CheckExact(value)) {
        if (!put_plain_str(value, encoder)) append_str(value, encoder);
        return true;
    }
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

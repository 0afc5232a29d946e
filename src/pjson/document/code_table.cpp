// The code table: frequency pairs sorted by descending frequency, each value
// rendered once by the encoder, and the literal rule.
#include "document/code_table.h"

#include <algorithm>
#include <climits>
#include <numeric>

namespace pjson {

namespace {

// pair[i], read by index as any subscriptable pair allows.
Ref pair_item(PyObject* pair, Py_ssize_t i) {
    if (PyTuple_CheckExact(pair) && PyTuple_GET_SIZE(pair) > i)
        return Ref::borrow(PyTuple_GET_ITEM(pair, i));
    Ref index = check(PyLong_FromSsize_t(i));
    return check(PyObject_GetItem(pair, index.get()));
}

// Number of decimal digits of a positive position.
int digit_count(Py_ssize_t n) {
    int digits = 1;
    while (n >= 10) {
        n /= 10;
        ++digits;
    }
    return digits;
}

Py_ssize_t text_length(PyObject* text) {
    if (PyUnicode_Check(text)) return PyUnicode_GET_LENGTH(text);
    Py_ssize_t n = PyObject_Size(text);
    if (n < 0) throw_error();
    return n;
}

// Stable order of `n` pairs by descending frequency, given their frequencies
// in pair order. Exact ints that fit a machine word are compared natively;
// anything else is negated and compared with `<`, as a sort keyed on the
// negated frequency would.
std::vector<size_t> frequency_order(std::vector<Ref>& freqs) {
    std::vector<size_t> order(freqs.size());
    std::iota(order.begin(), order.end(), size_t{0});

    std::vector<long long> ints;
    ints.reserve(freqs.size());
    for (const Ref& f : freqs) {
        if (!PyLong_CheckExact(f.get())) break;
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(f.get(), &overflow);
        if (overflow != 0) break;
        ints.push_back(v);
    }
    if (ints.size() == freqs.size()) {
        std::stable_sort(order.begin(), order.end(),
                         [&](size_t a, size_t b) { return ints[a] > ints[b]; });
        return order;
    }

    std::vector<Ref> keys;
    keys.reserve(freqs.size());
    for (const Ref& f : freqs) keys.push_back(check(PyNumber_Negative(f.get())));
    bool failed = false;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        if (failed) return false;
        int lt = PyObject_RichCompareBool(keys[a].get(), keys[b].get(), Py_LT);
        if (lt < 0) failed = true;
        return lt > 0;
    });
    if (failed) throw_error();
    return order;
}

}  // namespace

CodeTable::CodeTable(const Globals& globals, PyObject* chain, bool sized) : globals_(globals) {
    const Names& n = globals.names();
    Ref mapping = call_method0(chain, n.build_frequency_dict);
    Ref items = call_method0(mapping.get(), n.items);
    Py_ssize_t announced = -1;
    if (sized) {
        announced = PyObject_Size(items.get());
        if (announced < 0) throw_error();
    }

    std::vector<Ref> pairs;
    if (announced > 0) pairs.reserve(static_cast<size_t>(announced));
    Iter it(items.get());
    while (Ref pair = it.next()) pairs.push_back(std::move(pair));

    std::vector<Ref> freqs;
    freqs.reserve(pairs.size());
    for (const Ref& pair : pairs) freqs.push_back(pair_item(pair.get(), 1));
    std::vector<size_t> order = frequency_order(freqs);

    sorted_.reserve(pairs.size());
    for (size_t i : order) sorted_.push_back(std::move(pairs[i]));

    // Separators are placed from the announced length, so a mapping that
    // yields another number of pairs would give a malformed document.
    if (sized && announced != size()) {
        PyErr_Format(PyExc_ValueError, "frequency mapping's items() has length %zd but yielded %zd pairs",
                     announced, size());
        throw_error();
    }
}

bool CodeTable::next(TableEntry& entry) {
    if (pos_ >= sorted_.size()) return false;
    const Py_ssize_t position = static_cast<Py_ssize_t>(pos_);
    entry.position = position;
    entry.value = pair_item(sorted_[pos_].get(), 0);
    ++pos_;

    entry.text = encoder_dumps(globals_, entry.value.get());
    const Py_ssize_t length = text_length(entry.text.get());

    // Only strings and null stand for themselves: a literal number, boolean
    // or array would collide with a numeric code or be unhashable as a key
    // for the readers.
    PyObject* value = entry.value.get();
    entry.literal = position > 9 && digit_count(position) >= length &&
                    (PyUnicode_Check(value) || value == Py_None);
    return true;
}

Ref code_table_read(PyObject* codes_array) {
    Ref codes = check(PyDict_New());
    Iter it(codes_array);
    while (Ref key = it.next()) {
        Ref value = it.next();
        if (!value) break;
        check_status(PyDict_SetItem(codes.get(), key.get(), value.get()));
    }
    return codes;
}

void append_decimal(std::string& out, long long n) {
    char buf[24];
    char* end = buf + sizeof buf;
    char* p = end;
    unsigned long long u = n < 0 ? 0ULL - static_cast<unsigned long long>(n) : static_cast<unsigned long long>(n);
    do {
        *--p = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u != 0);
    if (n < 0) *--p = '-';
    out.append(p, static_cast<size_t>(end - p));
}

void append_text(std::string& out, PyObject* str, bool& ascii) {
    if (PyUnicode_IS_ASCII(str)) {
        out.append(static_cast<const char*>(PyUnicode_DATA(str)), static_cast<size_t>(PyUnicode_GET_LENGTH(str)));
        return;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size);
    if (utf8 == nullptr) throw_error();
    out.append(utf8, static_cast<size_t>(size));
    ascii = false;
}

Ref make_str(const std::string& buf, bool ascii) {
    if (!ascii) return check(PyUnicode_DecodeUTF8(buf.data(), static_cast<Py_ssize_t>(buf.size()), "surrogatepass"));
    Ref s = check(PyUnicode_New(static_cast<Py_ssize_t>(buf.size()), 127));
    std::copy(buf.begin(), buf.end(), static_cast<char*>(PyUnicode_DATA(s.get())));
    return s;
}

}  // namespace pjson

// The code table: frequency pairs sorted by descending frequency, each value
// rendered once by the encoder, and the literal rule.
#include "document/code_table.h"
#include "document/native_chain.h"
#include "document/value_text.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <numeric>

namespace pjson {

namespace {

// pair[i], read by index as any subscriptable pair allows.
Ref pair_item(PyObject* pair, Py_ssize_t i) {
    if (PyTuple_CheckExact(pair) && PyTuple_GET_SIZE(pair) > i) return Ref::borrow(PyTuple_GET_ITEM(pair, i));
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

// Stable order of the pairs by descending frequency: the order that
// sorted(pairs, key=lambda pair: -pair[1]) gives, with the same pair[1] and
// negation calls in the same order. Exact ints that fit a machine word (whose
// negation nobody can observe) are compared natively. Anything else is
// ordered by the interpreter's own list.sort, which stays within its list
// and stable whatever `<` answers, and lets an error of `<` through.
std::vector<size_t> frequency_order(const std::vector<Ref>& pairs) {
    const size_t n = pairs.size();
    std::vector<Ref> keys;  // the negated frequency, or a machine-size exact int not yet negated
    std::vector<long long> ints;
    std::vector<bool> pending;  // keys[i] is such an int
    bool native = true;
    for (const Ref& pair : pairs) {
        Ref freq = pair_item(pair.get(), 1);
        int overflow = 1;
        long long v = 0;
        if (PyLong_CheckExact(freq.get())) v = PyLong_AsLongLongAndOverflow(freq.get(), &overflow);
        if (overflow == 0) {
            ints.push_back(v);
        } else {
            freq = check(PyNumber_Negative(freq.get()));
            native = false;
        }
        pending.push_back(overflow == 0);
        keys.push_back(std::move(freq));
    }

    std::vector<size_t> order(n);
    std::iota(order.begin(), order.end(), size_t{0});
    if (native) {
        std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return ints[a] > ints[b]; });
        return order;
    }

    // list(range(n)).sort(key=negated.__getitem__)
    Ref negated = check(PyList_New(0));
    for (size_t i = 0; i < n; ++i) {
        if (pending[i]) keys[i] = check(PyNumber_Negative(keys[i].get()));
        check_status(PyList_Append(negated.get(), keys[i].get()));
    }
    keys.clear();
    Ref indices = check(PyList_New(0));
    for (size_t i = 0; i < n; ++i) {
        Ref index = check(PyLong_FromSize_t(i));
        check_status(PyList_Append(indices.get(), index.get()));
    }
    Ref key_func = check(PyObject_GetAttrString(negated.get(), "__getitem__"));
    Ref sort = check(PyObject_GetAttrString(indices.get(), "sort"));
    Ref no_args = check(PyTuple_New(0));
    Ref kwargs = check(Py_BuildValue("{sO}", "key", key_func.get()));
    check(PyObject_Call(sort.get(), no_args.get(), kwargs.get()));
    for (size_t i = 0; i < n; ++i) {
        // Only this function holds the list, and sort() refuses a list that
        // changes under it, so it holds each index exactly once.
        order[i] = PyLong_AsSize_t(PyList_GET_ITEM(indices.get(), static_cast<Py_ssize_t>(i)));
    }
    return order;
}

}  // namespace

bool CodeTable::read_native(PyObject* chain) {
    const TesmoChainAPI* api = native_chain_api(globals_.state(), chain);
    if (api == nullptr || !api->chain_values_plain(chain)) return false;
    TesmoFrequencies f;
    const int status = api->chain_frequencies(chain, &f);
    if (status < 0) throw_error();
    if (status > 0) return false;  // a bag of another kind: build_frequency_dict counts it
    struct Freed {
        const TesmoChainAPI* api;
        TesmoFrequencies* f;
        ~Freed() { api->frequencies_free(f); }
    } freed{api, &f};
    std::vector<size_t> order(static_cast<size_t>(f.length));
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return f.frequencies[a] > f.frequencies[b]; });
    sorted_.reserve(order.size());
    for (size_t i : order) sorted_.push_back(Ref::borrow(f.values[i]));
    values_only_ = true;
    return true;
}

CodeTable::CodeTable(const Globals& globals, PyObject* chain, bool sized) : globals_(globals) {
    if (read_native(chain)) return;
    const Names& n = globals.names();
    Ref mapping = call_method0(chain, n.build_frequency_dict);
    Ref items = call_method0(mapping.get(), n.items);
    Py_ssize_t announced = -1;
    if (sized) {
        announced = PyObject_Size(items.get());
        if (announced < 0) throw_error();
    }

    // len(items) only checks the walk: memory grows with the pairs yielded.
    std::vector<Ref> pairs;
    Iter it(items.get());
    while (Ref pair = it.next()) pairs.push_back(std::move(pair));

    std::vector<size_t> order = frequency_order(pairs);
    sorted_.reserve(pairs.size());
    for (size_t i : order) sorted_.push_back(std::move(pairs[i]));

    // Separators are placed from the announced length, so a mapping that
    // yields another number of pairs would give a malformed document.
    if (sized && announced != size()) {
        PyErr_Format(PyExc_ValueError, "frequency mapping's items() has length %zd but yielded %zd pairs", announced,
                     size());
        throw_error();
    }
}

bool CodeTable::next(TableEntry& entry) {
    if (pos_ >= sorted_.size()) return false;
    Ref value = values_only_ ? Ref::borrow(sorted_[pos_].get()) : pair_item(sorted_[pos_].get(), 0);
    code_table_entry(globals_, static_cast<Py_ssize_t>(pos_++), std::move(value), entry);
    return true;
}

void code_table_entry(const Globals& globals, Py_ssize_t position, Ref value, TableEntry& entry) {
    entry.position = position;
    entry.value = std::move(value);
    std::string rendered;
    const ImportedJson* encoder = value_text_encoder(globals);
    if (encoder != nullptr && value_text_append(rendered, entry.value.get(), encoder->kind))
        entry.text = make_str(rendered, /*ascii=*/true);
    else
        entry.text = encoder_dumps(globals, entry.value.get());
    const Py_ssize_t length = text_length(entry.text.get());

    // Only strings and null stand for themselves: a literal number, boolean
    // or array would collide with a numeric code or be unhashable as a key
    // for the readers.
    PyObject* own = entry.value.get();
    entry.literal = position > 9 && digit_count(position) >= length && (PyUnicode_Check(own) || own == Py_None);
}

namespace {

// Each entry's position in the table, by descending frequency, equal ones
// in their given order: by counting where the frequencies are no more than
// a few times the entries (as they nearly always are), else by a stable
// sort. Positions rather than an order, so that counting fills them entry
// by entry instead of scattered.
std::vector<uint32_t> descending_ranks(const Py_ssize_t* frequencies, size_t n) {
    std::vector<uint32_t> rank(n);
    Py_ssize_t top = 0;
    for (size_t i = 0; i < n; ++i) top = std::max(top, frequencies[i]);
    bool counted = static_cast<size_t>(top) <= 4 * n + 4096;
    for (size_t i = 0; i < n && counted; ++i) counted = frequencies[i] >= 0;
    if (!counted) {
        std::vector<uint32_t> order(n);
        std::iota(order.begin(), order.end(), uint32_t{0});
        std::stable_sort(order.begin(), order.end(),
                         [&](uint32_t a, uint32_t b) { return frequencies[a] > frequencies[b]; });
        for (size_t p = 0; p < n; ++p) rank[order[p]] = static_cast<uint32_t>(p);
        return rank;
    }
    const size_t buckets = static_cast<size_t>(top) + 1;
    std::vector<uint32_t> first(buckets + 1, 0);  // bucket b holds frequency top - b
    for (size_t i = 0; i < n; ++i) ++first[static_cast<size_t>(top - frequencies[i]) + 1];
    for (size_t b = 1; b <= buckets; ++b) first[b] += first[b - 1];
    for (size_t i = 0; i < n; ++i) rank[i] = first[static_cast<size_t>(top - frequencies[i])]++;
    return rank;
}

// Frees what the C API filled in.
struct FreedFrequencies {
    const TesmoChainAPI* api;
    TesmoIdFrequencies* f;
    ~FreedFrequencies() { api->id_frequencies_free(f); }
};

}  // namespace

bool IdCodeTable::build(const TesmoChainAPI* api, PyObject* chain, JsonEncoder encoder, TextWriter& out,
                        std::vector<size_t>* ends, bool hold_values) {
    TesmoIdFrequencies f{};
    const int status = api->chain_id_frequencies(chain, &f);
    if (status < 0) throw_error();
    if (status > 0) return false;
    FreedFrequencies freed{api, &f};
    PyObject* vocabulary = nullptr;
    if (f.length > 0 && (vocabulary = api->chain_vocabulary(chain)) == nullptr) throw_error();
    return fill(api, vocabulary, f, encoder, out, ends, hold_values);
}

bool IdCodeTable::build_counted(const TesmoChainAPI* api, PyObject* vocabulary, const std::vector<uint32_t>& order,
                                const std::vector<Py_ssize_t>& per_id, JsonEncoder encoder, TextWriter& out) {
    if (order.empty()) return true;  // no entries: no table
    TesmoIdFrequencies f{};
    const int status = api->vocabulary_id_frequencies(vocabulary, order.data(), static_cast<Py_ssize_t>(order.size()),
                                                      per_id.data(), static_cast<Py_ssize_t>(per_id.size()), &f);
    if (status < 0) throw_error();
    if (status > 0) return false;
    FreedFrequencies freed{api, &f};
    return fill(api, vocabulary, f, encoder, out, nullptr, /*hold_values=*/false);
}

bool IdCodeTable::fill(const TesmoChainAPI* api, PyObject* vocabulary, const TesmoIdFrequencies& f, JsonEncoder encoder,
                       TextWriter& out, std::vector<size_t>* ends, bool hold_values) {
    const size_t n = static_cast<size_t>(f.length);
    // Borrowed: nothing below runs Python code until the table is built.
    std::vector<PyObject*> values(n);
    if (n > 0 && api->vocabulary_values(vocabulary, f.ids, f.length, values.data()) < 0) throw_error();
    const std::vector<uint32_t> rank = descending_ranks(f.frequencies, n);
    // The values in table order, and each position's key: walked in order.
    std::vector<PyObject*> sorted(n);
    for (size_t i = 0; i < n; ++i) sorted[rank[i]] = values[i];
    std::vector<Key> position_keys(n);
    const size_t base = out.size();
    if (ends != nullptr) ends->reserve(n);
    constexpr size_t kAhead = 16;  // values fetched this many entries ahead, their items half as far
    for (size_t p = 0; p < std::min(n, kAhead); ++p) prefetch_value(sorted[p]);
    for (size_t p = 0; p < n; ++p) {
        if (p + kAhead < n) prefetch_value(sorted[p + kAhead]);
        if (p + kAhead / 2 < n) prefetch_items(sorted[p + kAhead / 2]);
        PyObject* value = sorted[p];
        if (p > 0) out.put(',');
        // The numeral first, the value after it: the value's text decides
        // whether the entry is a literal, which takes the numeral's place.
        const size_t mark = out.size();
        Key& key = position_keys[p];
        char* numeral = out.room(sizeof key.text);
        char* end = write_int(numeral, static_cast<long long>(p));
        key.length = static_cast<uint8_t>(end - numeral);
        std::memcpy(key.text, numeral, sizeof key.text);  // within the room; only key.length count
        *end = ',';
        out.commit(end + 1);
        const size_t text_at = out.size();
        if (!out.value(value, encoder)) return false;
        const size_t length = out.size() - text_at;
        // As CodeTable decides: only strings and null stand for themselves.
        if (p > 9 && key.length >= length && (PyUnicode_Check(value) || value == Py_None)) {
            char* entry = out.written(mark);
            std::memmove(entry, entry + key.length + 1, length);
            entry[length] = ',';
            std::memcpy(entry + length + 1, entry, length);
            std::memcpy(key.text, entry, length);
            key.length = static_cast<uint8_t>(length);
            out.truncate(mark + 2 * length + 1);
        }
        if (ends != nullptr) ends->push_back(out.size() - base);
    }
    const size_t bound = static_cast<size_t>(f.id_bound);
    keys_.assign(bound, Key{{}, 0});
    for (size_t id = 0; id < bound; ++id)
        if (f.entry_of_id[id] != UINT32_MAX) keys_[id] = position_keys[rank[f.entry_of_id[id]]];
    if (!hold_values) return true;
    entry_values_ = std::move(sorted);
    entry_keys_ = std::move(position_keys);
    if (bound == 0) return true;
    std::vector<uint32_t> ids;
    for (size_t id = 0; id < bound; ++id)
        if (f.entry_of_id[id] != UINT32_MAX) ids.push_back(static_cast<uint32_t>(id));
    std::vector<PyObject*> id_values(ids.size());
    if (api->vocabulary_values(vocabulary, ids.data(), static_cast<Py_ssize_t>(ids.size()), id_values.data()) < 0)
        throw_error();
    id_values_.assign(bound, nullptr);
    held_.reserve(ids.size());
    for (size_t k = 0; k < ids.size(); ++k) {
        held_.push_back(Ref::borrow(id_values[k]));
        id_values_[ids[k]] = id_values[k];
    }
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
    char* const end = buf + sizeof buf;
    char* p = end;
    unsigned long long u = n < 0 ? 0ULL - static_cast<unsigned long long>(n) : static_cast<unsigned long long>(n);
    while (u >= 100) {
        const unsigned pair = static_cast<unsigned>(u % 100) * 2;
        u /= 100;
        *--p = kDigitPairs[pair + 1];
        *--p = kDigitPairs[pair];
    }
    if (u >= 10) {
        *--p = kDigitPairs[u * 2 + 1];
        *--p = kDigitPairs[u * 2];
    } else {
        *--p = static_cast<char>('0' + u);
    }
    if (n < 0) *--p = '-';
    out.append(p, static_cast<size_t>(end - p));
}

void append_text(std::string& out, PyObject* str, bool& ascii) {
    if (PyUnicode_IS_ASCII(str)) {
        out.append(static_cast<const char*>(PyUnicode_DATA(str)), static_cast<size_t>(PyUnicode_GET_LENGTH(str)));
        return;
    }
    // An encoder of the caller's may hand out lone surrogates: they travel
    // through the buffer as they are and come out of make_str unchanged.
    Ref bytes = check(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
    out.append(PyBytes_AS_STRING(bytes.get()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
    ascii = false;
}

Ref make_str(const std::string& buf, bool ascii) {
    if (!ascii) return check(PyUnicode_DecodeUTF8(buf.data(), static_cast<Py_ssize_t>(buf.size()), "surrogatepass"));
    Ref s = check(PyUnicode_New(static_cast<Py_ssize_t>(buf.size()), 127));
    std::copy(buf.begin(), buf.end(), static_cast<char*>(PyUnicode_DATA(s.get())));
    return s;
}

}  // namespace pjson

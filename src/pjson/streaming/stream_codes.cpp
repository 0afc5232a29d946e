#include "streaming/stream_codes.h"

#include "document/native_chain.h"

#include <cstddef>

namespace pjson {

void append_formatted(std::string& out, PyObject* obj, bool& ascii) {
    if (PyUnicode_Check(obj)) {
        append_text(out, obj, ascii);
        return;
    }
    Ref text = check(PyObject_Str(obj));
    append_text(out, text.get(), ascii);
}

void StreamCodes::write_table(PyObject* chain) {
    if (!write_table_by_id(chain)) {
        CodeTable table(globals_, chain, /*sized=*/true);
        codes_ = check(PyDict_New());
        TableEntry entry;
        while (table.next(entry)) write_entry(entry, table.size() - 1);
    }
    // The encoder's dumps and the frequency mapping may have run code.
    stand_in_.python_ran();
    if (codes_) remember_addresses();
}

// The lookup keeps each entry's key text, the numeral or the value's own
// JSON text, for every later occurrence.
void StreamCodes::write_entry(const TableEntry& entry, Py_ssize_t end_freqs) {
    Ref key_text;
    if (entry.literal) {
        key_text =
            PyUnicode_Check(entry.text.get()) ? Ref::borrow(entry.text.get()) : check(PyObject_Str(entry.text.get()));
    } else {
        std::string numeral;
        append_decimal(numeral, entry.position);
        key_text = make_str(numeral, true);
    }
    check_status(PyDict_SetItem(codes_.get(), entry.value.get(), key_text.get()));
    codes_plain_ = codes_plain_ && plain_value(entry.value.get());
    std::string& buf = out_.text();
    bool ascii = true;
    out_.open();
    append_text(buf, key_text.get(), ascii);
    buf.push_back(',');
    append_formatted(buf, entry.text.get(), ascii);
    if (entry.position != end_freqs) buf.push_back(',');
    out_.close(ascii);
}

// The table of a native chain built by id, each entry's piece cut from its
// text; the lookup by value is made only once the general path needs it.
// Should a write rebind the encoder meanwhile, the rest is rendered entry by
// entry as CodeTable renders it. False, with nothing done, where the table
// cannot be built so.
bool StreamCodes::write_table_by_id(PyObject* chain) {
    const TesmoChainAPI* api = native_chain_api(globals_.state(), chain);
    const ImportedJson* encoder = stand_in_.encoder();
    if (api == nullptr || encoder == nullptr ||
        api->size < offsetof(TesmoChainAPI, id_frequencies_free) + sizeof api->id_frequencies_free)
        return false;
    std::string text;
    std::vector<size_t> ends;
    {
        TextWriter writer(text);
        table_.emplace();
        if (!table_->build(api, chain, encoder->kind, writer, &ends, /*hold_values=*/true)) {
            table_.reset();
            return false;
        }
        writer.flush();
    }
    const size_t n = table_->size();
    size_t from = 0;
    for (size_t p = 0; p < n; ++p) {
        if (stand_in_.encoder() != encoder) {
            codes_from_table(p);
            TableEntry entry;
            for (; p < n; ++p) {
                code_table_entry(globals_, static_cast<Py_ssize_t>(p), Ref::borrow(table_->entry_value(p)), entry);
                write_entry(entry, static_cast<Py_ssize_t>(n) - 1);
            }
            return true;
        }
        const size_t to = p + 1 < n ? ends[p] + 1 : ends[p];
        out_.piece(text.data() + from, to - from);
        from = to;
    }
    confirmed_.assign(table_->id_bound(), UINT64_MAX);
    return true;
}

// The lookup by value of the first `count` entries of the table built by id.
void StreamCodes::codes_from_table(size_t count) {
    codes_ = check(PyDict_New());
    for (size_t p = 0; p < count; ++p) {
        const IdCodeTable::Key& key = table_->entry_key(p);
        Ref key_text = make_str(std::string(key.text, key.length), true);
        check_status(PyDict_SetItem(codes_.get(), table_->entry_value(p), key_text.get()));
    }
}

// The lookup by value, made when the general path first needs it. Its values
// are held by the table, and plain.
void StreamCodes::ensure_codes() {
    if (codes_) return;
    keeper_.before_python();
    codes_from_table(table_->size());
    remember_addresses();
    stand_in_.python_ran();
}

void StreamCodes::remember_addresses() {
    if (!codes_plain_) return;
    by_address_.emplace(static_cast<size_t>(PyDict_GET_SIZE(codes_.get())));
    Py_ssize_t pos = 0;
    PyObject *value, *key_text;
    while (PyDict_Next(codes_.get(), &pos, &value, &key_text))
        if (KeyTextsByAddress::kept(value) && PyUnicode_IS_ASCII(key_text))
            by_address_->remember(value, static_cast<const char*>(PyUnicode_DATA(key_text)),
                                  static_cast<size_t>(PyUnicode_GET_LENGTH(key_text)));
}

void StreamCodes::append_key(std::string& out, PyObject* value, bool& ascii) {
    ensure_codes();
    if (by_address_ && by_address_->append(out, value)) return;
    PyObject* key = dict_lookup(codes_.get(), value);
    stand_in_.python_ran();  // a value's __eq__ may have run
    const size_t mark = out.size();
    append_text(out, key, ascii);
    if (by_address_ && !by_address_->full() && KeyTextsByAddress::kept(value) && PyUnicode_IS_ASCII(key))
        by_address_->remember(value, out.data() + mark, out.size() - mark);
}

PyObject* StreamCodes::plain_key(PyObject* value) const {
    // Only where no key compared with it can run code: then a lookup per id
    // shows nobody that it is not one per occurrence.
    if (!codes_ || !codes_plain_) return nullptr;
    PyObject* key = PyDict_GetItemWithError(codes_.get(), value);
    if (key == nullptr) {
        if (PyErr_Occurred()) throw_error();
        return nullptr;  // the general path raises the KeyError
    }
    return PyUnicode_Check(key) && PyUnicode_IS_ASCII(key) ? key : nullptr;
}

}  // namespace pjson

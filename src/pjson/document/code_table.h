// The Chain document's constant pieces and the frequency-ordered code table
// that compressed documents carry. Both writers build the table here.
#pragma once

#include "document/value_text.h"
#include "module/module.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pjson {

// One entry of the table, as the walk hands it out.
struct TableEntry {
    Py_ssize_t position;
    Ref value;     // pair[0]
    Ref text;      // the encoder's rendering of the value alone
    bool literal;  // the value stands for itself instead of its position
};

// The frequency mapping's pairs, sorted by descending frequency (stable,
// values never compared), walked once in table order. Each value is
// rendered once, natively where the renderer stands in for the encoder's
// dumps (value_text.h).
class CodeTable {
public:
    // Calls the chain's build_frequency_dict and its items. With `sized`,
    // len(items) is taken first and must match the number of pairs. A
    // native chain whose values are all plain has its mapping computed
    // through the C API instead: nothing that builds it can then run code,
    // so the values, counts and order are what those calls would give.
    CodeTable(const Globals& globals, PyObject* chain, bool sized);

    Py_ssize_t size() const noexcept { return static_cast<Py_ssize_t>(sorted_.size()); }
    // Renders the next entry; false once every pair has been walked.
    bool next(TableEntry& entry);

private:
    bool read_native(PyObject* chain);

    const Globals& globals_;
    std::vector<Ref> sorted_;  // the (value, frequency) pairs, or the values alone, in table order
    bool values_only_ = false;
    size_t pos_ = 0;
};

// The code table of a native chain built by id, from the chain's own counts
// through its C API: the entries, order, literal rule and texts of
// CodeTable, without a Python object per value. Each value is rendered once,
// straight into the document's "codes", and each id of the chain's
// vocabulary gets its key's text.
class IdCodeTable {
public:
    // A key's text: a position's numeral, or a literal's own text, which the
    // literal rule keeps no longer than that numeral would be.
    struct Key {
        char text[15];
        uint8_t length;  // 0: no key
    };

    IdCodeTable() = default;
    IdCodeTable(const IdCodeTable&) = delete;
    IdCodeTable& operator=(const IdCodeTable&) = delete;

    // Builds the table of an exact native chain whose values are all plain
    // (the C API must offer chain_id_frequencies),
    // as `encoder`'s dumps renders them, and writes the elements of "codes"
    // (without the brackets) to `out`, noting in `ends` where each entry's
    // text ends, from `out`'s size at the call on. False, with no Python code
    // run, when it cannot stand in for CodeTable: a bag of another kind or
    // vocabulary, or a value the renderer cannot prove its text of; what it
    // wrote is then to be dropped. With `hold_values`, the value each id held
    // is kept for value_at.
    bool build(const TesmoChainAPI* api, PyObject* chain, JsonEncoder encoder, TextWriter& out,
               std::vector<size_t>* ends, bool hold_values);
    // The same from occurrences the caller counted in its own walk of the
    // chain's blocks (`per_id` per id of `vocabulary`, the chain's, and
    // `order` the ids met in the order first met); the C API must offer
    // vocabulary_id_frequencies.
    bool build_counted(const TesmoChainAPI* api, PyObject* vocabulary, const std::vector<uint32_t>& order,
                       const std::vector<Py_ssize_t>& per_id, JsonEncoder encoder, TextWriter& out);

    // The key of an id of the chain's vocabulary; nullptr when it has none.
    const Key* key(uint32_t id) const noexcept {
        return id < keys_.size() && keys_[id].length != 0 ? &keys_[id] : nullptr;
    }
    // The value id held when the table was built (with hold_values).
    PyObject* value_at(uint32_t id) const noexcept { return id < id_values_.size() ? id_values_[id] : nullptr; }
    // Every id with a key is below this bound.
    size_t id_bound() const noexcept { return keys_.size(); }
    // Entry `position`'s value and key, in table order (with hold_values).
    size_t size() const noexcept { return entry_values_.size(); }
    PyObject* entry_value(size_t position) const noexcept { return entry_values_[position]; }
    const Key& entry_key(size_t position) const noexcept { return entry_keys_[position]; }

private:
    bool fill(const TesmoChainAPI* api, PyObject* vocabulary, const TesmoIdFrequencies& f, JsonEncoder encoder,
              TextWriter& out, std::vector<size_t>* ends, bool hold_values);

    std::vector<Key> keys_;  // per id
    std::vector<PyObject*> id_values_;
    std::vector<PyObject*> entry_values_;  // held through held_
    std::vector<Key> entry_keys_;
    std::vector<Ref> held_;  // the values of id_values_
};

// Entry `position` of the table for `value`, rendered as CodeTable::next
// renders it: by the renderer while the encoder is genuine, else by dumps.
void code_table_entry(const Globals& globals, Py_ssize_t position, Ref value, TableEntry& entry);

// The readers' lookup from a "codes" array: consecutive elements paired as
// key and value, a later pair replacing an earlier one with an equal key, an
// unpaired last element dropped.
Ref code_table_read(PyObject* codes_array);

// ---------------------------------------------------------------------------
// Text helpers for the pieces the writers form themselves.

// Appends the decimal numeral of `n`.
void append_decimal(std::string& out, long long n);
// Appends the characters of a str; `ascii` is cleared when any is not ASCII.
void append_text(std::string& out, PyObject* str, bool& ascii);
// A str holding the bytes of `buf` (UTF-8 unless `ascii`).
Ref make_str(const std::string& buf, bool ascii);

}  // namespace pjson

// The Chain document's constant pieces and the frequency-ordered code table
// that compressed documents carry. Both writers build the table here.
#pragma once

#include "module/module.h"

#include <string>
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

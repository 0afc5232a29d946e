// A compressed document's keys for dump_json_big: the code table written as
// pieces, then the key text of each value the chain holds, found by id where
// the table was built by id, else through the lookup by value.
#pragma once

#include "document/code_table.h"
#include "streaming/stream_general.h"
#include "streaming/stream_output.h"

#include <optional>
#include <string>
#include <vector>

namespace pjson {

// Text as a piece template would format it: a str as it is, anything else
// through str(); `ascii` is cleared when any character is not ASCII.
void append_formatted(std::string& out, PyObject* obj, bool& ascii);

class StreamCodes {
public:
    StreamCodes(const Globals& globals, DumpsStandIn& stand_in, BagKeeper& keeper, Output& out)
        : globals_(globals), stand_in_(stand_in), keeper_(keeper), out_(out) {}

    // Writes the table of `chain`, an entry a piece, each as soon as its
    // kind is decided.
    void write_table(PyObject* chain);

    // The key text of `value` onto `out`, as the lookup gives it: any
    // value's __eq__ may run.
    void append_key(std::string& out, PyObject* value, bool& ascii);

    // The key of id `id` of a native chain's vocabulary while it holds
    // `value`, the value it held when the table was built by id; nullptr
    // otherwise.
    const IdCodeTable::Key* key_by_id(uint32_t id, PyObject* value) const noexcept {
        if (id >= confirmed_.size() || table_->value_at(id) != value) return nullptr;
        return table_->key(id);
    }
    // The key of `id` where it was found holding that value at `now`, a
    // count of DumpsStandIn::runs that is still current.
    const IdCodeTable::Key* confirmed_key(uint32_t id, uint64_t now) const noexcept {
        return id < confirmed_.size() && confirmed_[id] == now ? table_->key(id) : nullptr;
    }
    void confirm(uint32_t id, uint64_t now) noexcept { confirmed_[id] = now; }

    // The key text of a plain value, an ASCII str, where the lookup by value
    // finds it without running code (every value of the table is plain);
    // nullptr when it cannot.
    PyObject* plain_key(PyObject* value) const;

private:
    bool write_table_by_id(PyObject* chain);
    void write_entry(const TableEntry& entry, Py_ssize_t end_freqs);
    void codes_from_table(size_t count);
    void ensure_codes();
    void remember_addresses();

    const Globals& globals_;
    DumpsStandIn& stand_in_;
    BagKeeper& keeper_;
    Output& out_;
    std::optional<IdCodeTable> table_;             // the table built by id
    std::vector<uint64_t> confirmed_;              // per id, while its keys stand: runs() when it held its value
    Ref codes_;                                    // value -> key text, made when first needed after a table by id
    bool codes_plain_ = true;                      // every value of the table is plain
    std::optional<KeyTextsByAddress> by_address_;  // while it is
};

}  // namespace pjson

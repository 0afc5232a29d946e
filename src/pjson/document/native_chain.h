// The native chain read directly by the writers, through the C API that
// tesmo.bag exports: entries and choices walked by index with the checks of
// the chain's own iterators, each start's block of choices held without
// making its bag object, and the text of each value remembered by its id.
#pragma once

#include "module/module.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pjson {

// The C API when a writer may read `chain` directly: the chain is exactly
// the native Chain, and that type still holds the items, __len__ and
// build_frequency_dict found at start-up. nullptr otherwise.
const TesmoChainAPI* native_chain_api(const State& state, PyObject* chain);
// The native bag type still holds the choices and unique_count found at
// start-up, so that reading a block stands in for calling them.
bool native_bags_genuine(const State& state);

// A block kept alive while a writer walks it, as the bag object that the
// writer would otherwise hold keeps its choices.
class HeldBlock {
public:
    HeldBlock() noexcept = default;
    HeldBlock(const TesmoChainAPI* api, TesmoBlock* block) noexcept : api_(api), block_(block) {
        if (block_ != nullptr) api_->block_hold(block_);
    }
    HeldBlock(HeldBlock&& other) noexcept : api_(other.api_), block_(std::exchange(other.block_, nullptr)) {}
    HeldBlock& operator=(HeldBlock&& other) noexcept {
        if (this != &other) {
            reset();
            api_ = other.api_;
            block_ = std::exchange(other.block_, nullptr);
        }
        return *this;
    }
    HeldBlock(const HeldBlock&) = delete;
    HeldBlock& operator=(const HeldBlock&) = delete;
    ~HeldBlock() { reset(); }

    TesmoBlock* get() const noexcept { return block_; }
    // Lets go; the last hold frees the block's values, which may run code.
    void reset() noexcept {
        if (TesmoBlock* block = std::exchange(block_, nullptr)) api_->block_release(block);
    }

private:
    const TesmoChainAPI* api_ = nullptr;
    TesmoBlock* block_ = nullptr;
};

// One entry, as the chain's items() would hand it out: the start, and its
// block, or the bag object when that is not a genuine native bag.
struct NativeEntry {
    Py_ssize_t index = 0;
    uint32_t start_id = 0;
    Ref start;
    HeldBlock block;
    Ref bag;
    Ref block_bag;  // the bag object of `block`, once held (see NativeEntries::keep_bag)
};

// The chain's entries in insertion order. Like the chain's own iterator,
// a step after the chain gained a start or was cleared raises RuntimeError.
class NativeEntries {
public:
    NativeEntries(const State& state, PyObject* chain);
    // The next entry into `entry` (what it held is let go of first), or
    // false after the last. Whether the bag type is still genuine is asked
    // again only when `python_ran`: only Python code can replace its methods.
    bool next(NativeEntry& entry, bool python_ran = true);
    // Holds the bag object of the entry's block, making it as the chain's
    // iterator would, before Python code runs while the block is still to be
    // read: a bag that only a cycle keeps (its start given another bag
    // meanwhile) would otherwise be cleared by the collector, block and
    // all, where items() would have handed the writer the bag itself. Does
    // nothing once held, and nothing after the chain changed (the next step
    // raises then). True when it made the bag object now.
    bool keep_bag(NativeEntry& entry);

private:
    const State& state_;
    const TesmoChainAPI* api_;
    PyObject* chain_;
    Py_ssize_t size_;
    uint64_t stamp_;
    Py_ssize_t index_ = 0;
    bool bags_genuine_ = false;
};

// A block's choices in insertion order. Like a bag's choices() iterator, a
// step after the bag changed size raises RuntimeError.
class NativeChoices {
public:
    NativeChoices(const TesmoChainAPI* api, TesmoBlock* block);
    Py_ssize_t size() const noexcept { return size_; }
    // Goes on from choice `index`, the ones before it read another way.
    void skip_to(Py_ssize_t index) noexcept { index_ = index; }
    // The next choice and the values of its ids, borrowed: valid only until
    // Python code runs. False after the last.
    bool next(TesmoChoice& choice, PyObject* const*& values);

private:
    const TesmoChainAPI* api_;
    TesmoBlock* block_;
    Py_ssize_t size_;
    Py_ssize_t index_ = 0;
    std::vector<PyObject*> values_;
};

// A value whose hash and equality run no Python code: an exact str, int,
// float, bytes, bool or None, or an exact tuple of them.
bool plain_value(PyObject* value) noexcept;

// The text a writer puts for a value, remembered under the value's id. An
// entry stands only while the id still holds the very same object (each one
// remembered is held, so that its address cannot pass to another object),
// so neither Python code that changes the chain nor a block of another
// vocabulary can make a remembered text wrong. Texts are ASCII.
class ValueTexts {
public:
    ValueTexts() = default;
    ValueTexts(const ValueTexts&) = delete;
    ValueTexts& operator=(const ValueTexts&) = delete;
    ~ValueTexts();

    // The text remembered for `value` under `id`; false when none.
    bool find(uint32_t id, PyObject* value, std::string_view& text) const {
        if (id >= slots_.size() || slots_[id].value != value) return false;
        text = std::string_view(arena_.data() + slots_[id].offset, slots_[id].length);
        return true;
    }
    void remember(uint32_t id, PyObject* value, const char* text, size_t length);

    // The text of `id` without its value at hand: only while the id was
    // found to hold the remembered value at `when`, a count of
    // DumpsStandIn::runs that is still current (nothing could change the id
    // since).
    bool find_confirmed(uint32_t id, uint64_t when, std::string_view& text) const {
        if (id >= slots_.size() || slots_[id].confirmed != when) return false;
        text = std::string_view(arena_.data() + slots_[id].offset, slots_[id].length);
        return true;
    }
    // The id holds `value` at `when`: its text stands then, if remembered.
    void confirm(uint32_t id, PyObject* value, uint64_t when) noexcept {
        if (id < slots_.size() && slots_[id].value == value) slots_[id].confirmed = when;
    }

private:
    struct Slot {
        PyObject* value = nullptr;  // owned
        uint32_t offset = 0;
        uint32_t length = 0;
        uint64_t confirmed = UINT64_MAX;
    };
    std::vector<Slot> slots_;
    std::string arena_;
    std::vector<PyObject*> retired_;  // owned; released with the texts
};

}  // namespace pjson

// Walking the native chain through its C API, with the checks of the
// iterators that the writers' general path would use.
#include "document/native_chain.h"

#include <climits>

namespace pjson {

namespace {

// The type (the chain's, or the bag's) still looks attributes up the generic
// way, and still holds what the start-up found under each name.
bool attrs_kept(const State& st, bool chain) {
    PyObject* type = chain ? st.chain_type : st.bag_type;
    if (reinterpret_cast<PyTypeObject*>(type)->tp_getattro != PyObject_GenericGetAttr) return false;
    const NativeWriterAttrs& kept = st.native_writer_attrs;
    bool same = true;
#define PJSON_SAME(field, owner, name) \
    if (st.owner == type) same = same && kept.field != nullptr && type_attr(type, st.names.name) == kept.field;
    PJSON_NATIVE_WRITER_ATTRS(PJSON_SAME)
#undef PJSON_SAME
    return same;
}

bool plain_at(PyObject* v, int depth) noexcept {
    if (PyUnicode_CheckExact(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) || PyBytes_CheckExact(v) ||
        PyBool_Check(v) || v == Py_None)
        return true;
    if (!PyTuple_CheckExact(v) || depth >= 32) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(v); ++i)
        if (!plain_at(PyTuple_GET_ITEM(v, i), depth + 1)) return false;
    return true;
}

}  // namespace

bool plain_value(PyObject* value) noexcept { return plain_at(value, 0); }

const TesmoChainAPI* native_chain_api(const State& st, PyObject* chain) {
    if (st.chain_api == nullptr || !Py_IS_TYPE(chain, reinterpret_cast<PyTypeObject*>(st.chain_type)) ||
        !attrs_kept(st, true))
        return nullptr;
    return st.chain_api;
}

bool native_bags_genuine(const State& st) { return attrs_kept(st, false); }

NativeEntries::NativeEntries(const State& state, PyObject* chain)
    : state_(state), api_(state.chain_api), chain_(chain), size_(api_->chain_length(chain)),
      stamp_(api_->chain_stamp(chain)) {}

bool NativeEntries::next(NativeEntry& entry, bool python_ran) {
    // Letting go of the last entry may free values, and so run code, before
    // the chain is looked at again.
    entry.start = Ref();
    entry.block.reset();
    entry.bag = Ref();
    entry.block_bag = Ref();
    if (api_->chain_stamp(chain_) != stamp_) {
        PyErr_SetString(PyExc_RuntimeError, "Chain changed size during iteration");
        throw_error();
    }
    if (index_ >= size_) return false;
    const Py_ssize_t index = index_++;
    uint32_t id;
    PyObject* start;
    TesmoBlock* block;
    PyObject* bag;
    if (api_->chain_entry_block(chain_, index, &id, &start, &block, &bag) < 0) throw_error();
    entry.index = index;
    entry.start_id = id;
    entry.start = Ref::borrow(start);
    if (python_ran || index == 0) bags_genuine_ = native_bags_genuine(state_);
    if (block != nullptr && bags_genuine_) {
        entry.block = HeldBlock(api_, block);
        return true;
    }
    if (block != nullptr) {
        // The bag type's methods were replaced: the bag object is made, as
        // the chain's iterator makes it, for them to be called.
        if (api_->chain_entry(chain_, index, &id, &start, &bag) < 0) throw_error();
    }
    entry.bag = Ref::borrow(bag);
    return true;
}

bool NativeEntries::keep_bag(NativeEntry& entry) {
    if (entry.block.get() == nullptr || entry.block_bag || api_->chain_stamp(chain_) != stamp_) return false;
    uint32_t id;
    PyObject* start;
    PyObject* bag;
    if (api_->chain_entry(chain_, entry.index, &id, &start, &bag) < 0) throw_error();
    entry.block_bag = Ref::borrow(bag);
    return true;
}

NativeChoices::NativeChoices(const TesmoChainAPI* api, TesmoBlock* block)
    : api_(api), block_(block), size_(api->block_length(block)) {}

bool NativeChoices::next(TesmoChoice& choice, PyObject* const*& values) {
    if (api_->block_length(block_) != size_) {
        PyErr_SetString(PyExc_RuntimeError, "ProbabilityBag changed size during iteration");
        throw_error();
    }
    if (index_ >= size_) return false;
    if (api_->block_choice(block_, index_++, &choice) < 0) throw_error();
    const size_t length = static_cast<size_t>(choice.length);
    if (values_.size() < length) values_.resize(length);
    if (length > 0 &&
        api_->vocabulary_values(api_->block_vocabulary(block_), choice.ids, choice.length, values_.data()) < 0)
        throw_error();
    values = values_.data();
    return true;
}

ValueTexts::~ValueTexts() {
    for (Slot& slot : slots_) Py_XDECREF(slot.value);
    for (PyObject* value : retired_) Py_DECREF(value);
}

void ValueTexts::remember(uint32_t id, PyObject* value, const char* text, size_t length) {
    if (arena_.size() + length > UINT32_MAX) return;  // not remembered: found again when next met
    if (id >= slots_.size()) slots_.resize(static_cast<size_t>(id) + 1);
    retired_.reserve(retired_.size() + 1);
    const size_t offset = arena_.size();
    arena_.append(text, length);
    Slot& slot = slots_[id];
    // Released only with the texts: releasing may run code.
    if (slot.value != nullptr) retired_.push_back(slot.value);
    Py_INCREF(value);
    slot.value = value;
    slot.offset = static_cast<uint32_t>(offset);
    slot.length = static_cast<uint32_t>(length);
    slot.confirmed = UINT64_MAX;
}

}  // namespace pjson

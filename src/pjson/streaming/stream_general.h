// What dump_json_big's general path keeps beside its walk: the key texts
// of the values it meets, found by address, and the read-ahead of a dict's
// entries while a bag hands out its choices through the dict's own items.
#pragma once

#include "module/module.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace pjson {

// The key texts of the values that the general path meets, found by the
// value's address, so that an element costs no lookup in the table once its
// value was met. Only exact str and int are kept: their hash and equality
// run no code, so the table's answer for one cannot change. Each is held,
// so that its address cannot pass to another object meanwhile. Key texts
// fit a slot: a numeral of a position, or a literal no longer than one.
//
// The table's own values are kept from the start; other objects only up to
// a bound of a small multiple of the table, since a chain that makes its
// values afresh for every next start would otherwise have every one of them
// held to the end of the document.
class KeyTextsByAddress {
public:
    explicit KeyTextsByAddress(size_t table_size) : slots_(16), limit_(2 * table_size + kSpare) {}
    KeyTextsByAddress(const KeyTextsByAddress&) = delete;
    KeyTextsByAddress& operator=(const KeyTextsByAddress&) = delete;
    ~KeyTextsByAddress() {
        for (Slot& slot : slots_) Py_XDECREF(slot.value);
    }

    static bool kept(PyObject* value) { return PyUnicode_CheckExact(value) || PyLong_CheckExact(value); }
    bool full() const noexcept { return used_ >= limit_; }

    // Appends the text found for `value`; false when none.
    bool append(std::string& out, PyObject* value) const {
        const size_t mask = slots_.size() - 1;
        for (size_t i = home(value, mask);; i = (i + 1) & mask) {
            const Slot& slot = slots_[i];
            if (slot.value == value) {
                out.append(slot.text, slot.length);
                return true;
            }
            if (slot.value == nullptr) return false;
        }
    }
    // Keeps `text` for `value`, an exact str or int not kept yet.
    void remember(PyObject* value, const char* text, size_t length) {
        if (length > sizeof(Slot::text) || full()) return;
        if ((used_ + 1) * 3 > slots_.size() * 2) grow();
        Py_INCREF(value);
        Slot& slot = free_slot(slots_, value);
        slot.value = value;
        slot.length = static_cast<unsigned char>(length);
        std::memcpy(slot.text, text, length);
        ++used_;
    }

private:
    struct Slot {
        PyObject* value = nullptr;  // owned
        char text[7];
        unsigned char length = 0;
    };

    // Fibonacci hashing: objects allocated a fixed stride apart spread out.
    static size_t home(PyObject* value, size_t mask) {
        return static_cast<size_t>(
                   (static_cast<uint64_t>(reinterpret_cast<uintptr_t>(value)) * 0x9E3779B97F4A7C15ULL) >> 40) &
               mask;
    }
    static Slot& free_slot(std::vector<Slot>& slots, PyObject* value) {
        const size_t mask = slots.size() - 1;
        size_t i = home(value, mask);
        while (slots[i].value != nullptr) i = (i + 1) & mask;
        return slots[i];
    }
    void grow() {
        std::vector<Slot> slots(slots_.size() * 2);
        for (const Slot& slot : slots_)
            if (slot.value != nullptr) free_slot(slots, slot.value) = slot;
        slots_.swap(slots);
    }

    static constexpr size_t kSpare = 1024;

    std::vector<Slot> slots_;
    size_t used_ = 0;
    size_t limit_;
};

// Where a bag hands out its choices through a dict's own items (a
// dict_items view or its iterator), the choices a few places ahead are read
// into the cache while the current one is written: a chain's next starts lie
// scattered in memory, and waiting for each in turn is most of what walking
// them costs. Only the dict's entries are read, never changed, so this is
// invisible; should the dict change meanwhile, the hints merely miss. The
// dict is held, since an exhausted iterator lets go of it.
class ChoicePrefetch {
public:
    explicit ChoicePrefetch(PyObject* choices) {
        if (!Py_IS_TYPE(choices, &PyDictItems_Type) && !Py_IS_TYPE(choices, &PyDictIterItem_Type)) return;
        PyObject* found = nullptr;
        Py_TYPE(choices)->tp_traverse(choices, find_dict, &found);  // the view's or iterator's dict
        dict_.reset_borrowed(found);
    }

    // Called once per choice pulled.
    void step() {
        if (!dict_) return;
        for (int i = pos_ == 0 ? kAhead : 1; i > 0; --i) {
            PyObject *key, *value;
            if (!PyDict_Next(dict_.get(), &pos_, &key, &value)) {
                dict_ = Ref();
                return;
            }
            __builtin_prefetch(key, 0);
            __builtin_prefetch(value, 0);
        }
    }

private:
    static constexpr int kAhead = 8;

    static int find_dict(PyObject* obj, void* found) {
        if (!PyDict_Check(obj)) return 0;
        *static_cast<PyObject**>(found) = obj;
        return 1;
    }

    Ref dict_;
    Py_ssize_t pos_ = 0;
};

}  // namespace pjson

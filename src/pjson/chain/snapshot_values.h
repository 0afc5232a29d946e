// The encoding of a snapshot's values (snapshot.h): the byte buffer they
// are written to and the writer that tags each value, shared by
// snapshot_values.cpp and the writing of whole snapshots (snapshot_write.cpp).
#pragma once

#include "chain/snapshot.h"

#include <algorithm>
#include <cstdlib>
#include <new>
#include <vector>

namespace pjson::snapshot {

constexpr uint32_t kUnset = UINT32_MAX;

// A growing byte buffer. Room is made ahead for each value (`reserve`),
// so that the bytes of one are written without a check each.
class Out {
public:
    Out() = default;
    Out(const Out&) = delete;
    Out& operator=(const Out&) = delete;
    ~Out() { std::free(data_); }
    void reserve(size_t n) {
        if (cap_ - size_ >= n) return;
        size_t cap = std::max(cap_ * 2, size_ + n + 64);
        void* p = std::realloc(data_, cap);
        if (p == nullptr) throw std::bad_alloc();
        data_ = static_cast<uint8_t*>(p);
        cap_ = cap;
    }
    // These write into room reserved before.
    void byte(uint8_t b) noexcept { data_[size_++] = b; }
    void varint(uint64_t v) noexcept { size_ = static_cast<size_t>(put_varint(data_ + size_, v) - data_); }
    // Several pieces written through a cursor of the caller's, which stays
    // in a register where stores through data_ would reload size_ each time.
    uint8_t* cursor() noexcept { return data_ + size_; }
    void advance_to(const uint8_t* p) noexcept { size_ = static_cast<size_t>(p - data_); }
    static uint8_t* put_varint(uint8_t* p, uint64_t v) noexcept {
        while (v >= 0x80) {
            *p++ = static_cast<uint8_t>(v | 0x80);
            v >>= 7;
        }
        *p++ = static_cast<uint8_t>(v);
        return p;
    }
    void raw(const void* p, size_t n) noexcept {
        std::memcpy(data_ + size_, p, n);
        size_ += n;
    }
    void set(size_t at, uint8_t b) noexcept { data_[at] = b; }
    void truncate(size_t at) noexcept { size_ = at; }
    size_t size() const noexcept { return size_; }
    const uint8_t* data() const noexcept { return data_; }

private:
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t cap_ = 0;
};

constexpr size_t kVarint = 10;  // bytes of the longest varint

// Values and blocks this far ahead are asked for while one is written:
// each lies apart from the others, and waiting for them one at a time is
// most of the cost of a large chain.
constexpr size_t kAhead = 32;

// The numbers of the table's values that are no tuples, found by object:
// a tuple's element that is one of them is written as a reference. Open
// addressing on the pointer, at most half full: it grows with the values
// added, which in a chain of tuples of words are few beside the tuples.
class KnownValues {
public:
    KnownValues() : slots_(kFirst, Slot{nullptr, 0}) {}
    void add(PyObject* value, uint32_t number) {
        if (2 * (count_ + 1) > slots_.size()) grow();
        if (place(slots_, value, number)) ++count_;
    }
    void prefetch(PyObject* value) const noexcept { __builtin_prefetch(&slots_[spread(value) & (slots_.size() - 1)]); }
    uint32_t find(PyObject* value) const noexcept {
        size_t mask = slots_.size() - 1;
        for (size_t i = spread(value) & mask;; i = (i + 1) & mask) {
            if (slots_[i].value == value) return slots_[i].number;
            if (slots_[i].value == nullptr) return kUnset;
        }
    }

private:
    struct Slot {
        PyObject* value;
        uint32_t number;
    };
    static constexpr size_t kFirst = 1024;
    static size_t spread(PyObject* p) noexcept {
        return static_cast<size_t>((reinterpret_cast<uintptr_t>(p) >> 4) * 0x9E3779B97F4A7C15ULL >> 17);
    }
    // False when the value was there already.
    static bool place(std::vector<Slot>& slots, PyObject* value, uint32_t number) noexcept {
        size_t mask = slots.size() - 1;
        for (size_t i = spread(value) & mask;; i = (i + 1) & mask) {
            if (slots[i].value == nullptr) {
                slots[i] = Slot{value, number};
                return true;
            }
            if (slots[i].value == value) return false;
        }
    }
    void grow() {
        std::vector<Slot> larger(2 * slots_.size(), Slot{nullptr, 0});
        for (const Slot& slot : slots_)
            if (slot.value != nullptr) place(larger, slot.value, slot.number);
        slots_.swap(larger);
    }
    std::vector<Slot> slots_;
    size_t count_ = 0;
};

// Encodes the values of the table. Runs no Python code: objects that travel
// beside are only collected (with a reference), and nothing is allocated
// on the Python heap.
class ValueWriter {
public:
    explicit ValueWriter(const std::vector<PyObject*>& table);
    // Values that are no tuples are known as they come, and a tuple's items
    // are mostly earlier values. Should an item be missed that may come
    // later, every value is made known and the writing goes on from that
    // tuple again, so that the bytes are those of knowing all from the start.
    void write_all();
    std::vector<Ref>& side() noexcept { return side_; }
    const Out& bytes() const noexcept { return out_; }
    uint32_t beside(PyObject* v) {
        side_.push_back(Ref::borrow(v));
        return static_cast<uint32_t>(side_.size() - 1);
    }

private:
    void know_all(size_t from);
    uint32_t number_of(PyObject* item) noexcept;
    void prefetch_items(PyObject* v) const noexcept;
    bool refs_only(PyObject* v);
    bool value(PyObject* v, int depth);
    void side(PyObject* v);

    const std::vector<PyObject*>& table_;
    KnownValues known_;
    Out out_;
    std::vector<Ref> side_;
    bool complete_ = false;  // every value that is no tuple is known
    bool missed_ = false;    // an item was not found while some were unknown
};

}  // namespace pjson::snapshot

// The block of choices behind a bag, as its memory (bag_block.cpp), its
// reading (bag_read.cpp), its store (bag_store.cpp) and choose()
// (bag_choose.cpp) share it: the records' layout, and what the block keeps
// besides its records.
#pragma once

#include "chain/chain.h"

#include <utility>
#include <vector>

namespace pjson {

// Running totals for choose(), shared by the bag and a choose() in progress,
// which keeps the totals it began with while rng.random() runs and may add to
// the bag. Only touched under the interpreter's lock.
class Totals {
public:
    Totals() noexcept = default;
    explicit Totals(size_t n) : block_(new Block{1, std::vector<int64_t>(n), {}}) {}
    Totals(const Totals& other) noexcept : block_(other.block_) {
        if (block_ != nullptr) ++block_->refs;
    }
    Totals& operator=(Totals other) noexcept {
        std::swap(block_, other.block_);
        return *this;
    }
    ~Totals() {
        if (block_ != nullptr && --block_->refs == 0) delete block_;
    }

    explicit operator bool() const noexcept { return block_ != nullptr; }
    std::vector<int64_t>& operator*() const noexcept { return block_->values; }
    std::vector<int64_t>* operator->() const noexcept { return &block_->values; }
    // Every kStep-th total (the last of each full step), while the totals
    // rise: a search reads these first and then one step of the totals,
    // instead of jumping through all of them.
    static constexpr size_t kStep = 64;
    std::vector<int64_t>& tops() const noexcept { return block_->tops; }
    void reset() noexcept { *this = Totals(); }

private:
    struct Block {
        size_t refs;
        std::vector<int64_t> values;
        std::vector<int64_t> tops;
    };
    Block* block_ = nullptr;
};

struct BagExtra {
    std::vector<PyObject*> objects;  // empty, or per choice the count that is no machine integer
    size_t object_counts = 0;        // non-null entries of `objects`
    Totals running;                  // choose(): running totals, kept until the next add
    PyObject* snapshot = nullptr;    // (next starts, running totals) when counts are objects
};

inline size_t count_words(const BagData* d) noexcept { return d->wide ? 2 : 1; }
inline size_t stride(const BagData* d) noexcept { return count_words(d) + d->width; }

inline uint32_t* record(const BagData* d, size_t i) noexcept {
    return d->records + (d->mixed ? d->offsets[i] : i * stride(d));
}

// The ids of choice `i` (bag_span, inline for loops over every choice).
inline void ids_at(const BagData* d, size_t i, const uint32_t*& ids, size_t& length) noexcept {
    const size_t cw = count_words(d);
    if (!d->mixed) {
        ids = d->records + i * (cw + d->width) + cw;
        length = d->width;
    } else {
        ids = d->records + d->offsets[i] + cw;
        length = d->offsets[i + 1] - d->offsets[i] - cw;
    }
}

inline int64_t count_at(const BagData* d, size_t i) noexcept {
    const uint32_t* r = record(d, i);
    if (!d->wide) return static_cast<int32_t>(r[0]);
    return static_cast<int64_t>(static_cast<uint64_t>(r[0]) | (static_cast<uint64_t>(r[1]) << 32));
}

// ---- a block's index: per slot, index + 1 of a choice, or 0 for empty;
// linear probing. Bags of up to kLinear choices have none and are searched
// in order.

constexpr size_t kLinear = 8;

inline size_t slot_bytes(int bits) noexcept { return bits <= 8 ? 1 : bits <= 16 ? 2 : 4; }

inline size_t slot_get(int bits, const void* index, size_t i) noexcept {
    if (bits <= 8) return static_cast<const uint8_t*>(index)[i];
    if (bits <= 16) return static_cast<const uint16_t*>(index)[i];
    return static_cast<const uint32_t*>(index)[i];
}

inline void slot_set(int bits, void* index, size_t i, size_t value) noexcept {
    if (bits <= 8)
        static_cast<uint8_t*>(index)[i] = static_cast<uint8_t>(value);
    else if (bits <= 16)
        static_cast<uint16_t*>(index)[i] = static_cast<uint16_t>(value);
    else
        static_cast<uint32_t*>(index)[i] = static_cast<uint32_t>(value);
}

// An index for `choices` choices at most two thirds full; bits 0 (no index)
// while the bag is small enough to search in order.
inline int index_bits_for(size_t choices) noexcept {
    if (choices <= kLinear) return 0;
    int bits = 4;
    while ((size_t{1} << bits) * 2 < choices * 3) ++bits;
    return bits;
}

BagExtra& extra_of(BagData* d);

// Whether choice `i` has a count that is no machine integer.
inline bool has_object(const BagData* d, size_t i) noexcept {
    return d->extra != nullptr && !d->extra->objects.empty() && d->extra->objects[i] != nullptr;
}

// Every count takes two words from now on.
void block_widen(BagData* d);

// Appends a choice whose ids are held for it, with count 0. Nothing changes
// unless all of it fits.
size_t block_insert(BagData* d, const Probe& p);

// ---- a block made whole in one allocation: its records, record starts and
// index follow the block's own fields, and go only with the block. A part
// that outgrows its room moves to an allocation of its own.

constexpr uint8_t kWholeRecords = 1, kWholeOffsets = 2, kWholeIndex = 4;

// A block of one reference with room for `words` words of records, the
// record starts of `size` choices when `mixed`, and a zeroed index of
// `bits` bits (0: none); its counts and sizes are the caller's to set.
BagData* bag_data_new_whole(Vocab* vocab, size_t words, bool mixed, size_t size, int bits);

// Frees a part of the block unless it shares the block's allocation.
void block_part_free(BagData* d, void* part, uint8_t which) noexcept;

}  // namespace pjson

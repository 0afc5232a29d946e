// The memory of the block behind a bag: made empty or whole in one
// allocation, grown a choice at a time with its index, its counts widened
// to two words, and released, reset or traversed for the collector.
#include "chain/block.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace pjson {

namespace {

template <class T>
T* block_resize(T* old, size_t n) {
    void* p = std::realloc(old, (n ? n : 1) * sizeof(T));
    if (p == nullptr) throw std::bad_alloc();
    return static_cast<T*>(p);
}

// A part of the block resized to `n` items, of which `used` are kept; one
// that shares the block's allocation is copied out to an allocation of its
// own. The caller puts the result in place.
template <class T>
T* part_resize(BagData* d, T* old, size_t used, size_t n, uint8_t which) {
    if ((d->whole & which) == 0) return block_resize(old, n);
    T* fresh = block_resize<T>(nullptr, n);
    if (used > 0) std::memcpy(fresh, old, std::min(used, n) * sizeof(T));
    d->whole &= static_cast<uint8_t>(~which);
    return fresh;
}

// Most bags stay small: they grow one choice at a time at first.
size_t next_capacity(size_t c) noexcept { return c < 4 ? c + 1 : c + c / 2; }

void slot_place(int bits, void* index, Py_hash_t hash, size_t choice) noexcept {
    size_t mask = (size_t{1} << bits) - 1;
    size_t i = static_cast<size_t>(hash) & mask;
    while (slot_get(bits, index, i) != 0) i = (i + 1) & mask;
    slot_set(bits, index, i, choice + 1);
}

// A new index over the first `choices` choices (allocated; the caller swaps it in).
void* index_make(const BagData* d, int bits, size_t choices) {
    size_t slots = size_t{1} << bits;
    void* index = std::calloc(slots, slot_bytes(bits));
    if (index == nullptr) throw std::bad_alloc();
    for (size_t c = 0; c < choices; ++c) slot_place(bits, index, bag_choice_hash(d, c), c);
    return index;
}

}  // namespace

BagExtra& extra_of(BagData* d) {
    if (d->extra == nullptr) d->extra = new BagExtra();
    return *d->extra;
}

// ---------------------------------------------------------------------------
// The block's life.

BagData* bag_data_new(Vocab* vocab) {
    BagData* d = static_cast<BagData*>(std::calloc(1, sizeof(BagData)));
    if (d == nullptr) throw std::bad_alloc();
    d->refs = 1;
    if (vocab != nullptr) {
        Py_INCREF(vocab);
        d->vocab = vocab;
    }
    return d;
}

BagData* bag_data_new_whole(Vocab* vocab, size_t words, bool mixed, size_t size, int bits) {
    const size_t head = sizeof(BagData);
    const size_t record_bytes = words * sizeof(uint32_t);
    const size_t offset_bytes = mixed ? (size + 1) * sizeof(uint32_t) : 0;
    const size_t index_bytes = bits != 0 ? (size_t{1} << bits) * slot_bytes(bits) : 0;
    static_assert(sizeof(BagData) % alignof(uint32_t) == 0);
    char* p = static_cast<char*>(std::malloc(head + record_bytes + offset_bytes + index_bytes));
    if (p == nullptr) throw std::bad_alloc();
    BagData* d = reinterpret_cast<BagData*>(p);
    std::memset(d, 0, head);
    d->refs = 1;
    d->records = reinterpret_cast<uint32_t*>(p + head);
    d->whole = kWholeRecords;
    if (mixed) {
        d->offsets = reinterpret_cast<uint32_t*>(p + head + record_bytes);
        d->whole |= kWholeOffsets;
    }
    if (bits != 0) {
        d->index = p + head + record_bytes + offset_bytes;
        std::memset(d->index, 0, index_bytes);
        d->index_bits = static_cast<uint8_t>(bits);
        d->whole |= kWholeIndex;
    }
    if (vocab != nullptr) {
        Py_INCREF(vocab);
        d->vocab = vocab;
    }
    return d;
}

void block_part_free(BagData* d, void* part, uint8_t which) noexcept {
    if ((d->whole & which) != 0)
        d->whole &= static_cast<uint8_t>(~which);
    else
        std::free(part);
}

void bag_data_incref(BagData* d) noexcept { ++d->refs; }

void bag_data_reset(BagData* d, Graveyard& graves) noexcept {
    // A vocabulary without a live value has no use of the ids to release.
    if (d->vocab != nullptr && d->vocab->table->live() > 0) {
        VocabTable& t = *d->vocab->table;
        for (size_t c = 0; c < d->size; ++c) {
            const uint32_t* ids;
            size_t n;
            bag_span(d, c, ids, n);
            for (size_t e = 0; e < n; ++e) t.release(ids[e], graves);
        }
    }
    if (BagExtra* x = std::exchange(d->extra, nullptr)) {
        for (PyObject* o : x->objects)
            if (o != nullptr) graves.bury(o);
        if (x->snapshot != nullptr) graves.bury(x->snapshot);
        delete x;
    }
    block_part_free(d, std::exchange(d->records, nullptr), kWholeRecords);
    block_part_free(d, std::exchange(d->offsets, nullptr), kWholeOffsets);
    block_part_free(d, std::exchange(d->index, nullptr), kWholeIndex);
    if (d->vocab != nullptr) graves.bury(reinterpret_cast<PyObject*>(std::exchange(d->vocab, nullptr)));
    d->size = d->cap = d->words = d->words_cap = 0;
    d->width = d->index_bits = 0;
    d->mixed = d->wide = false;
    ++d->stamp;
}

void bag_data_decref(BagData* d, Graveyard& graves) noexcept {
    if (--d->refs > 0) return;
    bag_data_reset(d, graves);
    std::free(d);
}

int bag_data_traverse(BagData* d, visitproc visit, void* arg) {
    // A block that an operation holds besides its owner (a pin, a writer's
    // hold) keeps what it holds for that holder: the collector must neither
    // count those references as the owner's nor clear them meanwhile. Not
    // visiting them makes them references from outside, for as long as the
    // hold lasts.
    if (d->refs > 1) return 0;
    Py_VISIT(reinterpret_cast<PyObject*>(d->vocab));
    if (d->extra != nullptr) {
        for (PyObject* o : d->extra->objects) Py_VISIT(o);
        Py_VISIT(d->extra->snapshot);
    }
    return 0;
}

// Every count takes two words from now on.
void block_widen(BagData* d) {
    size_t n = d->size;
    size_t words = d->words + n;
    size_t words_cap = d->mixed ? words + words / 4 : d->cap * (stride(d) + 1);
    uint32_t* records = block_resize<uint32_t>(nullptr, words_cap);
    uint32_t* offsets = nullptr;
    if (d->mixed) {
        try {
            offsets = block_resize<uint32_t>(nullptr, d->cap + 1);
        } catch (...) {
            std::free(records);
            throw;
        }
    }
    uint32_t* out = records;
    for (size_t i = 0; i < n; ++i) {
        const uint32_t* ids;
        size_t len;
        bag_span(d, i, ids, len);
        int64_t v = count_at(d, i);
        if (offsets) offsets[i] = static_cast<uint32_t>(out - records);
        *out++ = static_cast<uint32_t>(static_cast<uint64_t>(v));
        *out++ = static_cast<uint32_t>(static_cast<uint64_t>(v) >> 32);
        std::memcpy(out, ids, len * sizeof(uint32_t));
        out += len;
    }
    if (offsets) {
        offsets[n] = static_cast<uint32_t>(out - records);
        block_part_free(d, d->offsets, kWholeOffsets);
        d->offsets = offsets;
    }
    block_part_free(d, d->records, kWholeRecords);
    d->records = records;
    d->words = static_cast<uint32_t>(words);
    d->words_cap = static_cast<uint32_t>(words_cap);
    d->wide = true;
    ++d->stamp;
}

// Appends a choice whose ids are held for it, with count 0. Nothing changes
// unless all of it fits.
size_t block_insert(BagData* d, const Probe& p) {
    size_t n = d->size;
    if (n >= UINT32_MAX - 2) throw std::bad_alloc();
    bool to_mixed = n > 0 && !d->mixed && p.length != d->width;
    size_t cw = count_words(d);
    size_t need = d->words + cw + p.length;
    if (need >= UINT32_MAX) throw std::bad_alloc();
    // Room first: records, record starts, the index and the objects.
    if (n == 0 && d->cap == 0) d->width = static_cast<uint8_t>(p.length <= 255 ? p.length : 0);
    if (n == 0 && p.length > 255) to_mixed = true;
    if (n + 1 > d->cap || to_mixed || need > d->words_cap) {
        size_t cap = n + 1 > d->cap ? next_capacity(d->cap) : d->cap;
        bool mixed = d->mixed || to_mixed;
        size_t words_cap = mixed ? std::max<size_t>(need, d->words_cap + d->words_cap / 4) : cap * (cw + d->width);
        uint32_t* offsets = d->offsets;
        if (to_mixed) {
            offsets = block_resize<uint32_t>(nullptr, cap + 1);
            for (size_t c = 0; c <= n; ++c) offsets[c] = static_cast<uint32_t>(c * stride(d));
        } else if (mixed) {
            // In place at once: the old starts may be gone, and the new hold them.
            d->offsets = offsets = part_resize<uint32_t>(d, d->offsets, n + 1, cap + 1, kWholeOffsets);
        }
        try {
            d->records = part_resize<uint32_t>(d, d->records, d->words, words_cap, kWholeRecords);
        } catch (...) {
            if (to_mixed) std::free(offsets);
            throw;
        }
        d->offsets = offsets;
        d->mixed = mixed;
        d->cap = static_cast<uint32_t>(cap);
        d->words_cap = static_cast<uint32_t>(words_cap);
        ++d->stamp;
    }
    int bits = d->index_bits;
    if (n + 1 > kLinear && (d->index == nullptr || (n + 1) * 3 > (size_t{1} << bits) * 2)) {
        bits = index_bits_for(n + 1);
        void* index = index_make(d, bits, n);
        block_part_free(d, d->index, kWholeIndex);
        d->index = index;
        d->index_bits = static_cast<uint8_t>(bits);
    }
    BagExtra* x = d->extra;
    if (x != nullptr && !x->objects.empty()) x->objects.reserve(d->cap);
    // Then the change, which cannot fail.
    uint32_t* r = d->records + d->words;
    for (size_t k = 0; k < cw; ++k) r[k] = 0;
    for (size_t e = 0; e < p.length; ++e) r[cw + e] = p.ids[e];
    d->words = static_cast<uint32_t>(need);
    if (d->mixed) d->offsets[n + 1] = static_cast<uint32_t>(need);
    if (x != nullptr && !x->objects.empty()) x->objects.push_back(nullptr);
    d->size = static_cast<uint32_t>(n + 1);
    if (d->index != nullptr) slot_place(d->index_bits, d->index, p.hash, n);
    ++d->stamp;
    return n;
}

}  // namespace pjson

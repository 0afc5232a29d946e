// A block filled with a whole bag at once, as a reader that has read all of
// the bag's choices hands them over: its records laid out and its index made
// in one go, where adding choice by choice grows both a step at a time.
#include "chain/block.h"

#include <cstdlib>
#include <cstring>

namespace pjson {

bool block_fill(BagData* d, const uint32_t* choices, size_t words, size_t count) {
    if (d->vocab == nullptr || d->size != 0 || d->records != nullptr || count == 0 || count >= UINT32_MAX - 2)
        return false;
    const VocabTable& t = *d->vocab->table;
    // What the block will look like: one width or mixed, counts of one word
    // or two; and none of it taken if a choice needs the general add.
    const size_t first_length = choices[0];
    bool mixed = first_length > 255, wide = false;
    size_t ids = 0;
    for (size_t at = 0, c = 0; c < count; ++c) {
        const size_t length = choices[at];
        const int64_t n =
            static_cast<int64_t>(static_cast<uint64_t>(choices[at + 1]) | static_cast<uint64_t>(choices[at + 2]) << 32);
        for (size_t e = 0; e < length; ++e) {
            const uint32_t id = choices[at + 3 + e];
            // Aliased ids may hold values equal to another id's: only a
            // comparison of the values finds a choice for them.
            if (t.value(id) == nullptr || t.aliased(id)) return false;
        }
        mixed = mixed || length != first_length;
        wide = wide || n < INT32_MIN || n > INT32_MAX;
        ids += length;
        at += 3 + length;
        if (at > words) return false;
    }
    const size_t cw = wide ? 2 : 1;
    const size_t used = count * cw + ids;
    if (used >= UINT32_MAX) return false;
    const int bits = index_bits_for(count);

    uint32_t* records = static_cast<uint32_t*>(std::malloc(used * sizeof(uint32_t)));
    uint32_t* offsets = mixed ? static_cast<uint32_t*>(std::malloc((count + 1) * sizeof(uint32_t))) : nullptr;
    void* index = bits != 0 ? std::calloc(size_t{1} << bits, slot_bytes(bits)) : nullptr;
    auto give_up = [&] {
        std::free(records);
        std::free(offsets);
        std::free(index);
    };
    if (records == nullptr || (mixed && offsets == nullptr) || (bits != 0 && index == nullptr)) {
        give_up();
        throw std::bad_alloc();
    }
    uint32_t* out = records;
    const size_t mask = bits != 0 ? (size_t{1} << bits) - 1 : 0;
    for (size_t at = 0, c = 0; c < count; ++c) {
        const size_t length = choices[at];
        const uint32_t* next = choices + at + 3;
        const size_t record = static_cast<size_t>(out - records);
        if (mixed) offsets[c] = static_cast<uint32_t>(record);
        *out++ = choices[at + 1];
        if (wide) *out++ = choices[at + 2];
        std::memcpy(out, next, length * sizeof(uint32_t));
        out += length;
        at += 3 + length;
        // The same next start twice is one choice whose counts add up: the
        // general add sums them.
        if (bits != 0) {
            const Py_hash_t hash = tuple_hash_by(length, [&](size_t i) { return t.hash(next[i]); });
            size_t i = static_cast<size_t>(hash) & mask;
            for (size_t slot; (slot = slot_get(bits, index, i)) != 0; i = (i + 1) & mask) {
                const uint32_t* other = records + (mixed ? offsets[slot - 1] : (slot - 1) * (cw + first_length)) + cw;
                const size_t other_length = mixed ? offsets[slot] - offsets[slot - 1] - cw : first_length;
                if (other_length == length && std::equal(next, next + length, other)) {
                    give_up();
                    return false;
                }
            }
            slot_set(bits, index, i, c + 1);
        } else {
            for (size_t k = 0; k < c; ++k) {
                const uint32_t* other = records + (mixed ? offsets[k] : k * (cw + first_length)) + cw;
                const size_t other_length = mixed ? offsets[k + 1] - offsets[k] - cw : first_length;
                if (other_length == length && std::equal(next, next + length, other)) {
                    give_up();
                    return false;
                }
            }
        }
    }
    if (mixed) offsets[count] = static_cast<uint32_t>(used);
    // Every choice holds its ids, as an add takes them.
    for (size_t at = 0, c = 0; c < count; ++c) {
        const size_t length = choices[at];
        for (size_t e = 0; e < length; ++e) d->vocab->table->hold(choices[at + 3 + e]);
        at += 3 + length;
    }
    d->records = records;
    d->offsets = offsets;
    d->index = index;
    d->index_bits = static_cast<uint8_t>(bits);
    d->size = d->cap = static_cast<uint32_t>(count);
    d->words = d->words_cap = static_cast<uint32_t>(used);
    d->width = static_cast<uint8_t>(first_length <= 255 ? first_length : 0);
    d->mixed = mixed;
    d->wide = wide;
    d->adds += count;
    ++d->stamp;
    return true;
}

}  // namespace pjson

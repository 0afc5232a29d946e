// A block filled with a whole bag at once, as a reader that has read all of
// the bag's choices hands them over: its records laid out and its index made
// in one go, where adding choice by choice grows both a step at a time.
#include "chain/block.h"

#include <cstdlib>
#include <cstring>

namespace pjson {

namespace {

// What a block of the choices will look like: one width or mixed, counts of
// one word or two, how many words of records.
struct Layout {
    size_t first_length = 0;
    bool mixed = false;
    bool wide = false;
    size_t used = 0;  // words of records
    int bits = 0;     // of the index; 0 for none
};

// The layout of `count` choices (length, count as two words, ids) in
// `words` words; false when a choice needs the general add.
bool plan(const VocabTable& t, const uint32_t* choices, size_t words, size_t count, Layout& out) {
    if (count == 0 || count >= UINT32_MAX - 2) return false;
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
    const size_t used = count * (wide ? 2 : 1) + ids;
    if (used >= UINT32_MAX) return false;
    out = Layout{first_length, mixed, wide, used, index_bits_for(count)};
    return true;
}

// Lays the choices out into the parts given (offsets only when mixed, a
// zeroed index only with bits); false when a next start comes twice.
bool lay_out(const VocabTable& t, const Layout& l, const uint32_t* choices, size_t count, uint32_t* records,
             uint32_t* offsets, void* index) {
    const size_t cw = l.wide ? 2 : 1;
    const int bits = l.bits;
    uint32_t* out = records;
    const size_t mask = bits != 0 ? (size_t{1} << bits) - 1 : 0;
    for (size_t at = 0, c = 0; c < count; ++c) {
        const size_t length = choices[at];
        const uint32_t* next = choices + at + 3;
        const size_t record = static_cast<size_t>(out - records);
        if (l.mixed) offsets[c] = static_cast<uint32_t>(record);
        *out++ = choices[at + 1];
        if (l.wide) *out++ = choices[at + 2];
        // Mostly a few ids: copied in place of a call.
        for (size_t e = 0; e < length; ++e) out[e] = next[e];
        out += length;
        at += 3 + length;
        // The same next start twice is one choice whose counts add up: the
        // general add sums them.
        if (bits != 0) {
            const Py_hash_t hash = tuple_hash_by(length, [&](size_t i) { return t.hash(next[i]); });
            size_t i = static_cast<size_t>(hash) & mask;
            for (size_t slot; (slot = slot_get(bits, index, i)) != 0; i = (i + 1) & mask) {
                const uint32_t* other =
                    records + (l.mixed ? offsets[slot - 1] : (slot - 1) * (cw + l.first_length)) + cw;
                const size_t other_length = l.mixed ? offsets[slot] - offsets[slot - 1] - cw : l.first_length;
                if (other_length == length && std::equal(next, next + length, other)) return false;
            }
            slot_set(bits, index, i, c + 1);
        } else {
            for (size_t k = 0; k < c; ++k) {
                const uint32_t* other = records + (l.mixed ? offsets[k] : k * (cw + l.first_length)) + cw;
                const size_t other_length = l.mixed ? offsets[k + 1] - offsets[k] - cw : l.first_length;
                if (other_length == length && std::equal(next, next + length, other)) return false;
            }
        }
    }
    if (l.mixed) offsets[count] = static_cast<uint32_t>(l.used);
    return true;
}

// The laid-out block takes its choices: every choice holds its ids, as an
// add takes them.
void take(BagData* d, const Layout& l, const uint32_t* choices, size_t count) {
    for (size_t at = 0, c = 0; c < count; ++c) {
        const size_t length = choices[at];
        for (size_t e = 0; e < length; ++e) d->vocab->table->hold(choices[at + 3 + e]);
        at += 3 + length;
    }
    d->index_bits = static_cast<uint8_t>(l.bits);
    d->size = d->cap = static_cast<uint32_t>(count);
    d->words = d->words_cap = static_cast<uint32_t>(l.used);
    d->width = static_cast<uint8_t>(l.first_length <= 255 ? l.first_length : 0);
    d->mixed = l.mixed;
    d->wide = l.wide;
    d->adds += count;
    ++d->stamp;
}

}  // namespace

bool block_fill(BagData* d, const uint32_t* choices, size_t words, size_t count) {
    if (d->vocab == nullptr || d->size != 0 || d->records != nullptr) return false;
    const VocabTable& t = *d->vocab->table;
    Layout l;
    if (!plan(t, choices, words, count, l)) return false;

    uint32_t* records = static_cast<uint32_t*>(std::malloc(l.used * sizeof(uint32_t)));
    uint32_t* offsets = l.mixed ? static_cast<uint32_t*>(std::malloc((count + 1) * sizeof(uint32_t))) : nullptr;
    void* index = l.bits != 0 ? std::calloc(size_t{1} << l.bits, slot_bytes(l.bits)) : nullptr;
    auto give_up = [&] {
        std::free(records);
        std::free(offsets);
        std::free(index);
    };
    if (records == nullptr || (l.mixed && offsets == nullptr) || (l.bits != 0 && index == nullptr)) {
        give_up();
        throw std::bad_alloc();
    }
    if (!lay_out(t, l, choices, count, records, offsets, index)) {
        give_up();
        return false;
    }
    d->records = records;
    d->offsets = offsets;
    d->index = index;
    take(d, l, choices, count);
    return true;
}

BagData* block_new_filled(Vocab* vocab, const uint32_t* choices, size_t words, size_t count) {
    const VocabTable& t = *vocab->table;
    Layout l;
    if (!plan(t, choices, words, count, l)) return nullptr;
    BagData* d = bag_data_new_whole(vocab, l.used, l.mixed, count, l.bits);
    if (!lay_out(t, l, choices, count, d->records, d->offsets, d->index)) {
        // Nothing is held yet: the block goes as it came.
        Graveyard graves;
        bag_data_decref(d, graves);
        return nullptr;
    }
    take(d, l, choices, count);
    return d;
}

}  // namespace pjson

// The two tables of training from text (walk.cpp): token text -> id and
// state -> tuple id in the chain's vocabulary, each holding the ids it gives.
#pragma once

#include "chain/chain.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#include <vector>

namespace pjson {

// Token text -> id of the chain's vocabulary, so that each distinct word
// becomes a Python str once. Open addressing: short words by a key of
// their own, other texts over their code points kept end to end.
class TokenIds {
public:
    TokenIds(Vocab* vocab, Graveyard& graves) : vocab_(vocab), graves_(graves), slots_(1024), short_(1024) {}
    TokenIds(const TokenIds&) = delete;
    TokenIds& operator=(const TokenIds&) = delete;
    ~TokenIds() {
        for (const Slot& s : slots_)
            if (s.length != kEmpty) vocab_->table->release(s.id, graves_);
        for (const ShortSlot& s : short_)
            if (s.key != 0) vocab_->table->release(s.id, graves_);
    }

    uint32_t id(const char32_t* text, size_t length) {
        uint64_t key;
        if (short_key(text, length, key)) {
            size_t i = short_find(key);
            return short_[i].key != 0 ? short_[i].id : short_add(key, text, length, i);
        }
        uint32_t h = hash(text, length);
        size_t i = find(text, length, h);
        return slots_[i].length != kEmpty ? slots_[i].id : add(text, length, h, i);
    }

private:
    static constexpr uint32_t kEmpty = UINT32_MAX;

    // Most words are at most seven code points below U+0100: such a token
    // is its own key, a byte each and its length in the top byte, found
    // with one compare and no text kept.
    static bool short_key(const char32_t* text, size_t length, uint64_t& key) noexcept {
        if (length > 7) return false;
        uint64_t k = static_cast<uint64_t>(length) << 56;
        char32_t all = 0;
        for (size_t i = 0; i < length; ++i) {
            all |= text[i];
            k |= static_cast<uint64_t>(text[i]) << (8 * i);
        }
        key = k;
        return all < 256 && length > 0;
    }

    size_t short_find(uint64_t key) const noexcept {
        size_t mask = short_.size() - 1;
        size_t i = (key * 0x9E3779B97F4A7C15ULL) >> 40 & mask;
        while (short_[i].key != 0 && short_[i].key != key) i = (i + 1) & mask;
        return i;
    }

    // A new short token, for the empty slot `i` that short_find() gave.
    __attribute__((noinline)) uint32_t short_add(uint64_t key, const char32_t* text, size_t length, size_t i) {
        if ((short_count_ + 1) * 2 > short_.size()) {
            std::vector<ShortSlot> old(short_.size() * 2);
            old.swap(short_);
            for (const ShortSlot& s : old)
                if (s.key != 0) short_[short_find(s.key)] = s;
            i = short_find(key);
        }
        uint32_t id = intern(text, length);
        short_[i] = ShortSlot{key, id};
        ++short_count_;
        return id;
    }

    // A new token of any other length, for the empty slot `i` that find() gave.
    __attribute__((noinline)) uint32_t add(const char32_t* text, size_t length, uint32_t h, size_t i) {
        if (length >= kEmpty || texts_.size() + length >= UINT32_MAX) throw std::bad_alloc();
        texts_.reserve(texts_.size() + length);
        if ((count_ + 1) * 2 > slots_.size()) {
            grow();
            i = find(text, length, h);
        }
        uint32_t id = intern(text, length);
        slots_[i] = Slot{static_cast<uint32_t>(texts_.size()), static_cast<uint32_t>(length), id, h};
        texts_.append(text, length);
        ++count_;
        return id;
    }

    // The token's text as a str of the chain's vocabulary, its id held.
    uint32_t intern(const char32_t* text, size_t length) {
        Ref str = check(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, text, static_cast<Py_ssize_t>(length)));
        Py_hash_t str_hash = PyObject_Hash(str.get());
        if (str_hash == -1) throw_error();
        return vocab_->table->intern(str.get(), str_hash);
    }

    struct ShortSlot {
        uint64_t key = 0;  // 0 for an empty slot
        uint32_t id = 0;
    };
    struct Slot {
        uint32_t offset;
        uint32_t length = kEmpty;
        uint32_t id;
        uint32_t hash;
    };

    // The slot that holds the text, or the empty one where it goes.
    size_t find(const char32_t* text, size_t length, uint32_t h) const noexcept {
        size_t mask = slots_.size() - 1;
        size_t i = h & mask;
        for (; slots_[i].length != kEmpty; i = (i + 1) & mask) {
            const Slot& s = slots_[i];
            if (s.hash == h && s.length == length && same_text(texts_.data() + s.offset, text, length)) break;
        }
        return i;
    }

    // Two code points at a time, as one 64-bit load.
    static uint64_t pair_at(const char32_t* text) noexcept {
        uint64_t word;
        std::memcpy(&word, text, sizeof word);
        return word;
    }

    static bool same_text(const char32_t* a, const char32_t* b, size_t length) noexcept {
        size_t i = 0;
        for (; i + 2 <= length; i += 2)
            if (pair_at(a + i) != pair_at(b + i)) return false;
        return i == length || a[i] == b[i];
    }

    static uint32_t hash(const char32_t* text, size_t length) noexcept {
        constexpr uint64_t kMul = 0xFF51AFD7ED558CCDULL;
        uint64_t h = 0x9E3779B97F4A7C15ULL ^ length;
        size_t i = 0;
        // The rotation brings the product's well-mixed high half down, so
        // that both code points of a word reach the low bits.
        for (; i + 2 <= length; i += 2) h = std::rotl((h ^ pair_at(text + i)) * kMul, 32);
        if (i < length) h = std::rotl((h ^ text[i]) * kMul, 32);
        return static_cast<uint32_t>(h ^ (h >> 29));
    }

    void grow() {
        std::vector<Slot> slots(slots_.size() * 2);
        size_t mask = slots.size() - 1;
        for (const Slot& s : slots_) {
            if (s.length == kEmpty) continue;
            size_t i = s.hash & mask;
            while (slots[i].length != kEmpty) i = (i + 1) & mask;
            slots[i] = s;
        }
        slots_.swap(slots);
    }

    Vocab* vocab_;
    Graveyard& graves_;
    std::vector<Slot> slots_;
    std::u32string texts_;
    size_t count_ = 0;
    std::vector<ShortSlot> short_;
    size_t short_count_ = 0;
};

// Tuple states (order 2 and up): the ids of N tokens -> the id of their
// tuple in the chain's vocabulary, so that each distinct state becomes a
// Python tuple once. Open addressing over the keys kept end to end.
class StateIds {
public:
    StateIds(Vocab* vocab, size_t order, Graveyard& graves)
        : vocab_(vocab), order_(order), graves_(graves), slots_(order > 1 ? 256 : 0), mask_(255) {}
    StateIds(const StateIds&) = delete;
    StateIds& operator=(const StateIds&) = delete;
    ~StateIds() {
        for (uint32_t id : tuples_) vocab_->table->release(id, graves_);
        for (uint32_t id : keys_) vocab_->table->release(id, graves_);
    }

    // The slot that holds the key of hash `h`, or the empty one where it
    // goes: good until the next id().
    size_t find(const uint32_t* ids, uint32_t h) const noexcept {
        size_t i = h & mask_;
        for (; slots_[i].entry != 0; i = (i + 1) & mask_) {
            const Slot& s = slots_[i];
            if (s.hash == h && s.first == ids[0] && s.second == ids[1] &&
                (order_ == 2 || same_key(ids, keys_.data() + (s.entry - 1) * order_)))
                break;
        }
        return i;
    }

    // What the caller last found for a key: where its chain entry was
    // (index + 1, 0 for none or for a key not yet added), and the address
    // of that entry's bag's block, a guess kept only to ask for its memory
    // early: never read through, so it may be stale.
    struct Found {
        uint32_t place;
        uintptr_t block;
    };
    Found found_at(size_t i) const noexcept { return {slots_[i].place, slots_[i].block}; }

    // The tuple's id, for the key that find() gave slot `i`, and in `place`
    // and `block` what was last found for it (valid until the next call),
    // for the caller to check and update.
    uint32_t id(const uint32_t* ids, uint32_t h, size_t i, uint32_t*& place, uintptr_t*& block) {
        if (slots_[i].entry == 0) i = add(ids, h, i);
        place = &slots_[i].place;
        block = &slots_[i].block;
        return slots_[i].tuple;
    }

    uint32_t hash(const uint32_t* ids) const noexcept {
        uint64_t h = 0x9E3779B97F4A7C15ULL;
        if (order_ == 2) {
            h = (h ^ ids[0]) * 0xFF51AFD7ED558CCDULL;
            h = (h ^ ids[1]) * 0xFF51AFD7ED558CCDULL;
        } else {
            for (size_t e = 0; e < order_; ++e) h = (h ^ ids[e]) * 0xFF51AFD7ED558CCDULL;
        }
        return static_cast<uint32_t>(h ^ (h >> 32));
    }

    // Asks for the slot where the state of hash `h` is looked up next, so
    // that reading it overlaps with the work before that.
    void prefetch(uint32_t h) const noexcept {
        if (!slots_.empty()) __builtin_prefetch(&slots_[h & mask_]);
    }

private:
    // A new key in the empty slot `i`: its tuple made and interned. The
    // key's slot, which growing the table may have moved.
    __attribute__((noinline)) size_t add(const uint32_t* ids, uint32_t h, size_t i) {
        if (tuples_.size() >= UINT32_MAX - 1) throw std::bad_alloc();
        // Room first, so that nothing fails once the tuple holds its id.
        grow_to(keys_, keys_.size() + order_);
        grow_to(tuples_, tuples_.size() + 1);
        if ((tuples_.size() + 1) * 2 > mask_ + 1) {
            grow();
            i = find(ids, h);
        }
        // The values are held before the tuple is made: making it may run
        // the collector. values_ keeps its room from one state to the next.
        values_.clear();
        for (size_t e = 0; e < order_; ++e) values_.push_back(vocab_value(vocab_, ids[e]));
        Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(order_)));
        for (size_t e = 0; e < order_; ++e)
            PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(e), values_[e].release());
        Py_hash_t tuple_hash = PyObject_Hash(tuple.get());
        if (tuple_hash == -1) throw_error();
        uint32_t id = vocab_->table->intern(tuple.get(), tuple_hash);
        // The keys hold their ids, so that no other value takes their numbers.
        for (size_t e = 0; e < order_; ++e) vocab_->table->hold(ids[e]);
        keys_.insert(keys_.end(), ids, ids + order_);
        tuples_.push_back(id);
        slots_[i] = Slot(static_cast<uint32_t>(tuples_.size()), h, id, ids);
        return i;
    }

    // An empty slot sets only what is read of it (its entry, and what
    // found_at() gives): the rest is written when a key takes the slot.
    struct Slot {
        Slot() noexcept : entry(0), place(0), block(0) {}
        Slot(uint32_t entry_, uint32_t hash_, uint32_t tuple_, const uint32_t* ids) noexcept
            : entry(entry_), hash(hash_), tuple(tuple_), place(0), first(ids[0]), second(ids[1]), block(0) {}
        uint32_t entry;  // index + 1 into tuples_, 0 for an empty slot
        uint32_t hash;
        uint32_t tuple;
        uint32_t place;   // index + 1 of the tuple's chain entry when last found
        uint32_t first;   // the key's first two ids, so that an order-2 key is
        uint32_t second;  // compared without reaching for keys_
        uintptr_t block;  // Found::block
    };

    bool same_key(const uint32_t* a, const uint32_t* b) const noexcept {
        for (size_t e = 0; e < order_; ++e)
            if (a[e] != b[e]) return false;
        return true;
    }

    static void grow_to(std::vector<uint32_t>& v, size_t size) {
        if (size > v.capacity()) v.reserve(std::max(size, 2 * v.capacity()));
    }

    void grow() {
        std::vector<Slot> slots(slots_.size() * 2);
        size_t mask = slots.size() - 1;
        for (const Slot& s : slots_) {
            if (s.entry == 0) continue;
            size_t i = s.hash & mask;
            while (slots[i].entry != 0) i = (i + 1) & mask;
            slots[i] = s;
        }
        slots_.swap(slots);
        mask_ = slots_.size() - 1;
    }

    Vocab* vocab_;
    size_t order_;
    Graveyard& graves_;
    std::vector<uint32_t> keys_;    // one use of each held
    std::vector<uint32_t> tuples_;  // one use of each held
    std::vector<Slot> slots_;
    size_t mask_;
    std::vector<Ref> values_;  // add()'s values of a new tuple
};

}  // namespace pjson

// What load_json_small's one pass (text_build.cpp) keeps of the strings it
// meets, by their characters, and how it finds where a plain string's run
// of characters ends, a word at a time.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace pjson::text_build {

constexpr uint32_t kMissing = UINT32_MAX;

// The ids of the strings met in the text, by their characters where they
// lie: a plain document repeats its words, each found here again for a
// cheap hash of its few bytes instead of the str hash and a search of the
// vocabulary. The ids stay valid as long as the build holds them, the
// characters as long as the text.
class TextIds {
public:
    TextIds() : slots_(256) {}

    // The hash is taken word by word, little-endian, the last word padded
    // with zeros, so that a scan reading whole words hashes as it goes.
    static uint64_t mix(uint64_t h, uint64_t word) noexcept {
        h = (h ^ word) * 0xFF51AFD7ED558CCDULL;
        return h ^ (h >> 29);
    }
    static uint64_t finish(uint64_t h, uint64_t tail, size_t length) noexcept {
        h = (h ^ tail ^ (static_cast<uint64_t>(length) << 56)) * 0xC4CEB9FE1A85EC53ULL;
        return h ^ (h >> 32);
    }
    static constexpr uint64_t kSeed = 0x9E3779B97F4A7C15ULL;
    // The last word's bytes, zero-padded.
    static uint64_t tail_of(const char* text, size_t length) noexcept {
        uint64_t tail = 0;
        for (size_t i = 0; i < length; ++i)
            tail |= static_cast<uint64_t>(static_cast<unsigned char>(text[i])) << (8 * i);
        return tail;
    }
    static uint64_t hash(const char* text, size_t length, uint64_t& head) noexcept {
        uint64_t h = kSeed;
        const size_t full = length & ~size_t{7};
        for (size_t i = 0; i < full; i += 8) {
            uint64_t word;
            std::memcpy(&word, text + i, 8);
            h = mix(h, word);
        }
        const uint64_t tail = tail_of(text + full, length - full);
        head = length < 8 ? tail : 0;
        return finish(h, tail, length);
    }

    // The id kept for these characters, or kMissing. `head` is the text as
    // one zero-padded word when it is shorter than 8 bytes: then it alone
    // tells equal texts of one length apart.
    uint32_t find(const char* text, size_t length, uint64_t h, uint64_t head) const noexcept {
        const size_t mask = slots_.size() - 1;
        for (size_t i = h & mask; slots_[i].text != nullptr; i = (i + 1) & mask) {
            const Slot& s = slots_[i];
            if (s.hash != h || s.length != length) continue;
            if (length < 8 ? s.head == head : std::memcmp(s.text, text, length) == 0) return s.id;
        }
        return kMissing;
    }

    void keep(const char* text, size_t length, uint64_t h, uint64_t head, uint32_t id) {
        if ((used_ + 1) * 2 > slots_.size()) grow();
        const size_t mask = slots_.size() - 1;
        size_t i = h & mask;
        while (slots_[i].text != nullptr) i = (i + 1) & mask;
        slots_[i] = Slot{text, head, h, length, id};
        ++used_;
    }

private:
    struct Slot {
        const char* text = nullptr;
        uint64_t head = 0;
        uint64_t hash = 0;
        size_t length = 0;
        uint32_t id = 0;
    };

    void grow() {
        std::vector<Slot> slots(slots_.size() * 2);
        const size_t mask = slots.size() - 1;
        for (const Slot& s : slots_) {
            if (s.text == nullptr) continue;
            size_t i = s.hash & mask;
            while (slots[i].text != nullptr) i = (i + 1) & mask;
            slots[i] = s;
        }
        slots_.swap(slots);
    }

    std::vector<Slot> slots_;
    size_t used_ = 0;
};

// Per byte of `word`, the high bit set where the byte ends a plain string's
// run: a quote, a backslash, a control character or a byte beyond ASCII.
// Above the lowest byte so marked, bytes may be marked wrongly; only the
// lowest is read.
inline uint64_t run_stops(uint64_t word) noexcept {
    constexpr uint64_t ones = 0x0101010101010101ULL, highs = 0x8080808080808080ULL;
    const uint64_t quote = word ^ (ones * '"'), backslash = word ^ (ones * '\\');
    return (((quote - ones) & ~quote) | ((backslash - ones) & ~backslash) | ((word - ones * 0x20) & ~word) | word) &
           highs;
}

}  // namespace pjson::text_build

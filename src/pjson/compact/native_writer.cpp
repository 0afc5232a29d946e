// dump_json_small of an exact native chain, rendered natively: from the
// chain's blocks after the general path's code table, or wholly by id.
#include "compact/native_writer.h"
#include "compact/compact.h"
#include "document/code_table.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

namespace pjson {

// The chain's array of a native chain rendered straight from its blocks, as
// ujson would render the converted chain: false, with nothing observable
// done, when that cannot be proved (a bag of another type, a value, key or
// count the renderer cannot write, a value missing from the table). Runs no
// Python code: a lookup of a plain value among plain keys runs none.
bool render_native_chain(const Globals& globals, PyObject* chain, PyObject* codes, bool compress, TextWriter& out) {
    const State& st = globals.state();
    ValueTexts texts;
    std::string text;
    // The text of a value where it stands: its key's rendering, or its own.
    auto put_value = [&](uint32_t id, PyObject* value) {
        std::string_view known;
        if (!texts.find(id, value, known)) {
            // A bag installed in another chain since keeps its values in that
            // chain's vocabulary, which may hold values whose lookup runs code.
            if (!plain_value(value)) return false;
            PyObject* shown = value;
            if (compress) {
                shown = PyDict_GetItemWithError(codes, value);
                if (shown == nullptr) {
                    if (PyErr_Occurred()) throw_error();
                    return false;
                }
            }
            text.clear();
            if (!value_text_append(text, shown, JsonEncoder::ujson)) return false;
            texts.remember(id, value, text.data(), text.size());
            known = text;
        }
        out.put(known.data(), known.size());
        return true;
    };
    NativeEntries entries(st, chain);
    NativeEntry entry;
    TesmoChoice choice;
    PyObject* const* values;
    out.put('[');
    bool comma = false;
    while (entries.next(entry)) {
        if (entry.block.get() == nullptr) return false;
        if (comma) out.put(',');
        comma = true;
        if (!put_value(entry.start_id, entry.start.get())) return false;
        out.put(",[", 2);
        NativeChoices choices(st.chain_api, entry.block.get());
        bool first = true;
        while (choices.next(choice, values)) {
            out.put(first ? "[" : ",[", first ? 1 : 2);
            first = false;
            for (Py_ssize_t i = 0; i < choice.length; ++i) {
                if (i > 0) out.put(',');
                if (!put_value(choice.ids[i], values[i])) return false;
            }
            out.put("],", 2);
            if (choice.count_object == nullptr)
                out.integer(choice.count);
            else if (!out.value(choice.count_object, JsonEncoder::ujson))
                return false;
        }
        out.put(']');
    }
    out.put(']');
    return true;
}

void write_like_ujson(PyObject* file, PyObject* str) {
    Ref write = ujson_file_method(file, "write");
    check(PyObject_CallOneArg(write.get(), str));
}

void write_like_ujson(PyObject* file, const std::string& text) {
    Ref str = make_str(text, /*ascii=*/true);
    write_like_ujson(file, str.get());
}

namespace {

// The text of each value of a plain document, rendered where it is first
// met. A short text is kept as a key of its own, copied whole as the code
// table's keys are; a longer one is copied from where it was first written.
class PlainTexts {
public:
    using Key = IdCodeTable::Key;

    PlainTexts(const TesmoChainAPI* api, PyObject* vocabulary)
        : api_(api), vocabulary_(vocabulary),
          keys_(vocabulary != nullptr ? static_cast<size_t>(api->vocabulary_bound(vocabulary)) : 0),
          spans_(keys_.size()) {}

    // The kept text of id `id`, when it is short and was met before.
    const Key* key(uint32_t id) const noexcept {
        return id < keys_.size() && keys_[id].length != 0 ? &keys_[id] : nullptr;
    }

    // Writes the text of id `id`, whose value is `value` when the caller
    // has it at hand (nullptr: looked up); false when the renderer cannot.
    bool put(TextWriter& out, uint32_t id, PyObject* value = nullptr) {
        if (id >= spans_.size()) return false;
        if (const Key* kept = key(id)) {
            out.put(kept->text, kept->length);
            return true;
        }
        Span& span = spans_[id];
        if (span.length != 0) {
            out.repeat(span.offset, span.length);
            return true;
        }
        if (value == nullptr) value = api_->vocabulary_value(vocabulary_, id);
        if (value == nullptr) throw_error();
        const size_t offset = out.size();
        if (!out.value(value, JsonEncoder::ujson)) return false;
        const size_t length = out.size() - offset;
        if (length <= sizeof(Key::text)) {
            std::memcpy(keys_[id].text, out.written(offset), length);
            keys_[id].length = static_cast<uint8_t>(length);
        } else {
            span = Span{offset, length};
        }
        return true;
    }

private:
    struct Span {
        size_t offset = 0;
        size_t length = 0;  // 0: not met yet (no text is empty)
    };
    const TesmoChainAPI* api_;
    PyObject* vocabulary_;
    std::vector<Key> keys_;
    std::vector<Span> spans_;
};

// Writes the choices of one entry, between its brackets: each element of a
// next start as its key's text (compressed) or its own (plain). False when
// the renderer cannot write one of its values or its count.
bool write_choices(const TesmoRecords& r, const IdCodeTable* table, PlainTexts* texts, TextWriter& out) {
    const size_t stride = static_cast<size_t>(r.count_words + r.width);
    for (Py_ssize_t c = 0; c < r.size; ++c) {
        const uint32_t* record = r.records + (r.offsets ? r.offsets[c] : static_cast<size_t>(c) * stride);
        const size_t length =
            r.offsets ? r.offsets[c + 1] - r.offsets[c] - static_cast<size_t>(r.count_words) : r.width;
        const uint32_t* ids = record + r.count_words;
        PyObject* object = r.count_objects != nullptr ? r.count_objects[c] : nullptr;
        // Every key's text copied whole and the end moved on by its
        // length: room for the widest, the brackets and the count. A
        // plain text not kept as a key is written on its own.
        char* p = out.room(length * (sizeof(IdCodeTable::Key::text) + 1) + 32);
        if (c > 0) *p++ = ',';
        *p++ = '[';
        for (size_t i = 0; i < length; ++i) {
            const IdCodeTable::Key* key = texts ? texts->key(ids[i]) : table->key(ids[i]);
            if (key != nullptr) {
                std::memcpy(p, key->text, sizeof key->text);
                p += key->length;
            } else if (texts) {
                out.commit(p);
                if (!texts->put(out, ids[i])) return false;
                p = out.room((length - i) * (sizeof(IdCodeTable::Key::text) + 1) + 32);
            } else {
                return false;
            }
            *p++ = ',';
        }
        if (length > 0) --p;
        *p++ = ']';
        *p++ = ',';
        if (object != nullptr) {
            out.commit(p);
            if (!out.value(object, JsonEncoder::ujson)) return false;
        } else if (r.count_words == 1) {
            out.commit(write_int(p, static_cast<int32_t>(record[0])));
        } else {
            out.commit(write_int(
                p, static_cast<int64_t>(static_cast<uint64_t>(record[0]) | (static_cast<uint64_t>(record[1]) << 32))));
        }
    }
    return true;
}

// The chain's array of a native chain written by id, each start as its own
// text: a plain document. False when a block cannot be read this way (a bag
// of another kind or vocabulary, a count the renderer cannot write).
bool write_chain_plain(const TesmoChainAPI* api, PyObject* chain, PyObject* vocabulary, Py_ssize_t entries,
                       TextWriter& out) {
    PlainTexts texts(api, vocabulary);
    constexpr Py_ssize_t kStep = 512;  // entries read at a time
    std::vector<uint32_t> start_ids(kStep);
    std::vector<TesmoBlock*> blocks(kStep);
    std::vector<TesmoRecords> records(kStep);
    // Each start is rendered where it stands, and the starts and the records
    // lie scattered: an entry's start and records are fetched far ahead, and
    // once the start is at hand, nearer, its items.
    std::vector<PyObject*> starts(kStep);
    constexpr Py_ssize_t kFar = 16, kNear = 8;
    auto fetch_far = [&](Py_ssize_t e) {
        prefetch_value(starts[e]);
        if (records[e].records != nullptr) __builtin_prefetch(records[e].records);
    };
    out.put('[');
    for (Py_ssize_t from = 0; from < entries; from += kStep) {
        const Py_ssize_t count = std::min(kStep, entries - from);
        if (api->chain_entry_blocks(chain, from, count, start_ids.data(), blocks.data(), records.data()) < 0 ||
            api->vocabulary_values(vocabulary, start_ids.data(), count, starts.data()) < 0)
            throw_error();
        for (Py_ssize_t e = 0; e < std::min(count, kFar); ++e) fetch_far(e);
        for (Py_ssize_t e = 0; e < std::min(count, kNear); ++e) prefetch_items(starts[e]);
        for (Py_ssize_t e = 0; e < count; ++e) {
            const TesmoRecords& r = records[e];
            if (blocks[e] == nullptr) return false;
            if (e + kFar < count) fetch_far(e + kFar);
            if (e + kNear < count) prefetch_items(starts[e + kNear]);
            if (r.size > 0 && api->block_vocabulary(blocks[e]) != vocabulary) return false;
            if (from + e > 0) out.put(',');
            if (!texts.put(out, start_ids[e], starts[e])) return false;
            out.put(",[", 2);
            if (!write_choices(r, nullptr, &texts, out)) return false;
            out.put(']');
        }
    }
    out.put(']');
    return true;
}

// The entries of a native chain read once, in order: their records copied
// one after another, so that writing them after the code table reads them
// in a row instead of fetching each block again, and the occurrences of
// each id counted on the way, which the code table is built from.
class CopiedEntries {
public:
    // False when a block cannot be read this way (a bag of another kind or
    // vocabulary). Runs no Python code; what it copies is good until Python
    // code runs.
    bool read(const TesmoChainAPI* api, PyObject* chain, PyObject* vocabulary, Py_ssize_t entries) {
        per_id_.assign(entries > 0 ? static_cast<size_t>(api->vocabulary_bound(vocabulary)) : 0, 0);
        constexpr Py_ssize_t kStep = 512;  // entries read at a time
        constexpr Py_ssize_t kFar = 12;
        std::vector<uint32_t> start_ids(kStep);
        std::vector<TesmoBlock*> blocks(kStep);
        std::vector<TesmoRecords> records(kStep);
        for (Py_ssize_t from = 0; from < entries; from += kStep) {
            const Py_ssize_t count = std::min(kStep, entries - from);
            if (api->chain_entry_blocks(chain, from, count, start_ids.data(), blocks.data(), records.data()) < 0)
                throw_error();
            // The records lie scattered: each entry's are fetched far ahead.
            auto fetch_far = [&](Py_ssize_t e) {
                if (records[e].records != nullptr) __builtin_prefetch(records[e].records);
            };
            for (Py_ssize_t e = 0; e < std::min(count, kFar); ++e) fetch_far(e);
            for (Py_ssize_t e = 0; e < count; ++e) {
                if (e + kFar < count) fetch_far(e + kFar);
                const TesmoRecords& r = records[e];
                if (blocks[e] == nullptr || (r.size > 0 && api->block_vocabulary(blocks[e]) != vocabulary))
                    return false;
                if (!count_id(start_ids[e]) || !copy(start_ids[e], r)) return false;
            }
        }
        return true;
    }

    const std::vector<Py_ssize_t>& per_id() const noexcept { return per_id_; }
    const std::vector<uint32_t>& first_met() const noexcept { return first_met_; }

    // Room for the compressed document, a little more than such chains
    // take (a code table entry about 24 characters, a choice of one
    // element about 11), so that the text is seldom grown and copied.
    size_t document_estimate() const noexcept {
        return 26 * first_met_.size() + 6 * entries_ + 8 * choices_ + 6 * (occurrences_ - entries_);
    }

    // The next entry's start id and records, as they were read; false after
    // the last.
    bool next(uint32_t& start_id, TesmoRecords& r) {
        if (chunk_ < chunks_.size() && at_ == chunks_[chunk_].used) {
            ++chunk_;
            at_ = 0;
        }
        if (chunk_ == chunks_.size()) return false;
        const uint32_t* w = chunks_[chunk_].words.get() + at_;
        start_id = w[0];
        r.size = w[1];
        r.width = w[2];
        r.count_words = static_cast<int>(w[3] & 3);
        const bool offsets = (w[3] & kOffsets) != 0, objects = (w[3] & kObjects) != 0;
        w += kHeader;
        r.offsets = offsets ? w : nullptr;
        if (offsets) w += r.size + 1;
        r.records = w;
        w += offsets ? r.offsets[r.size] : static_cast<size_t>(r.size) * static_cast<size_t>(r.count_words + r.width);
        r.count_objects = objects ? objects_.data() + objects_at_ : nullptr;
        if (objects) objects_at_ += static_cast<size_t>(r.size);
        at_ = static_cast<size_t>(w - chunks_[chunk_].words.get());
        return true;
    }

private:
    // Per entry: the start's id, the number of choices, the width, the count
    // words with the flags below, then the record starts (when the block has
    // them) and the records. An entry lies within one chunk: chunks are
    // never moved, as a vector's copy of it would be each time it grew.
    static constexpr size_t kHeader = 4;
    static constexpr uint32_t kOffsets = 4, kObjects = 8;
    static constexpr size_t kChunkWords = size_t{1} << 16;
    // Allocated with malloc: an array new checks its length through a
    // runtime entry newer than the oldest libstdc++ the wheels support.
    struct FreeWords {
        void operator()(uint32_t* p) const noexcept { std::free(p); }
    };
    struct Chunk {
        std::unique_ptr<uint32_t[], FreeWords> words;
        size_t used = 0, capacity = 0;
    };

    uint32_t* room(size_t n) {
        if (chunks_.empty() || chunks_.back().capacity - chunks_.back().used < n) {
            const size_t capacity = std::max(n, kChunkWords);
            if (capacity > SIZE_MAX / sizeof(uint32_t)) throw std::bad_alloc();
            std::unique_ptr<uint32_t[], FreeWords> words(
                static_cast<uint32_t*>(std::malloc(capacity * sizeof(uint32_t))));
            if (!words) throw std::bad_alloc();
            chunks_.push_back(Chunk{std::move(words), 0, capacity});
        }
        Chunk& last = chunks_.back();
        uint32_t* p = last.words.get() + last.used;
        last.used += n;
        return p;
    }

    bool count_id(uint32_t id) {
        if (id >= per_id_.size()) return false;
        ++occurrences_;
        if (per_id_[id]++ == 0) first_met_.push_back(id);
        return true;
    }

    bool copy(uint32_t start_id, const TesmoRecords& r) {
        const size_t size = static_cast<size_t>(r.size);
        const size_t stride = static_cast<size_t>(r.count_words + r.width);
        const size_t words = size == 0 ? 0 : r.offsets ? r.offsets[size] : size * stride;
        if (size > UINT32_MAX || static_cast<size_t>(r.width) > UINT32_MAX) return false;
        ++entries_;
        choices_ += size;
        uint32_t* w = room(kHeader + (r.offsets ? size + 1 : 0) + words);
        w[0] = start_id;
        w[1] = static_cast<uint32_t>(size);
        w[2] = static_cast<uint32_t>(r.width);
        w[3] = static_cast<uint32_t>(r.count_words) | (r.offsets ? kOffsets : 0) | (r.count_objects ? kObjects : 0);
        w += kHeader;
        if (r.offsets) w = std::copy(r.offsets, r.offsets + size + 1, w);
        if (r.count_objects) objects_.insert(objects_.end(), r.count_objects, r.count_objects + size);
        for (size_t i = 0; i < words; ++i) w[i] = r.records[i];
        for (size_t c = 0; c < size; ++c) {
            const size_t first = (r.offsets ? r.offsets[c] : c * stride) + static_cast<size_t>(r.count_words);
            const size_t last = r.offsets ? r.offsets[c + 1] : c * stride + stride;
            for (size_t i = first; i < last; ++i)
                if (!count_id(w[i])) return false;
        }
        return true;
    }

    std::vector<Chunk> chunks_;
    std::vector<PyObject*> objects_;  // the count objects of entries that have them, borrowed
    std::vector<Py_ssize_t> per_id_;
    std::vector<uint32_t> first_met_;
    size_t chunk_ = 0, at_ = 0, objects_at_ = 0;
    size_t entries_ = 0, choices_ = 0, occurrences_ = 0;
};

// The chain's array of a compressed document, from the entries read before
// the table was built: each start and each element of a next start as its
// key's text. False when a value has no key.
bool write_chain_coded(CopiedEntries& entries, const IdCodeTable& table, TextWriter& out) {
    out.put('[');
    uint32_t start_id;
    TesmoRecords r;
    bool comma = false;
    while (entries.next(start_id, r)) {
        if (comma) out.put(',');
        comma = true;
        const IdCodeTable::Key* key = table.key(start_id);
        if (key == nullptr) return false;
        out.put(key->text, key->length);
        out.put(",[", 2);
        if (!write_choices(r, &table, nullptr, out)) return false;
        out.put(']');
    }
    out.put(']');
    return true;
}

}  // namespace

// dump_json_small of an exact native chain by id, where nothing of it can
// run Python code: genuine bags, plain values, the genuine ujson (checked
// by the caller). The code table comes from the chain's own counts, each
// value is rendered once, and the document is written in place into the
// str that goes to the file's one write. False, with nothing observable
// done, when it cannot stand in.
bool dump_by_id(const TesmoChainAPI* api, PyObject* chain, PyObject* file, bool compress) {
    if (api->size < offsetof(TesmoChainAPI, vocabulary_id_frequencies) + sizeof api->vocabulary_id_frequencies)
        return false;
    // The text is made with room for about the whole document, at most
    // kMostRoom characters, and grown from there.
    constexpr size_t kLeastRoom = size_t{1} << 12, kMostRoom = size_t{1} << 26;
    const Py_ssize_t length = api->chain_length(chain);
    PyObject* vocabulary = length > 0 ? api->chain_vocabulary(chain) : nullptr;
    if (length > 0 && vocabulary == nullptr) throw_error();
    std::optional<CopiedEntries> entries;
    size_t room;
    if (compress) {
        entries.emplace();
        if (!entries->read(api, chain, vocabulary, length)) return false;
        room = entries->document_estimate();
    } else {
        room = 64 * static_cast<size_t>(length);  // a plain entry about 50 characters
    }
    AsciiText text(std::clamp(room, kLeastRoom, kMostRoom));
    TextWriter out(text);
    out.put("{\"codes\":[", 10);
    if (compress) {
        IdCodeTable table;
        if (!table.build_counted(api, vocabulary, entries->first_met(), entries->per_id(), JsonEncoder::ujson, out))
            return false;
        out.put("],\"chain\":", 10);
        if (!write_chain_coded(*entries, table, out)) return false;
    } else {
        out.put("],\"chain\":", 10);
        if (!write_chain_plain(api, chain, vocabulary, length, out)) return false;
    }
    out.put('}');
    Ref str = text.finish(out.size());
    write_like_ujson(file, str.get());
    return true;
}

}  // namespace pjson

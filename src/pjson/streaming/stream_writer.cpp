// dump_json_big: the document written as small pieces in document order,
// formed in a reusable buffer. Separators come from the lengths announced
// before each walk; a walk that yields another number of pairs stops with
// ValueError before the document could go wrong.
#include "document/code_table.h"
#include "document/native_chain.h"
#include "document/value_text.h"
#include "streaming/stream_codes.h"
#include "streaming/stream_output.h"
#include "streaming/streaming.h"

#include <cstddef>
#include <cstring>
#include <optional>
#include <string>

namespace pjson {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The JSON number grammar: -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
bool is_json_number(const char* s, size_t n) {
    size_t i = 0;
    if (i < n && s[i] == '-') ++i;
    if (i >= n) return false;
    if (s[i] == '0') {
        ++i;
    } else if (s[i] >= '1' && s[i] <= '9') {
        while (i < n && is_digit(s[i])) ++i;
    } else {
        return false;
    }
    if (i < n && s[i] == '.') {
        const size_t first = ++i;
        while (i < n && is_digit(s[i])) ++i;
        if (i == first) return false;
    }
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
        const size_t first = i;
        while (i < n && is_digit(s[i])) ++i;
        if (i == first) return false;
    }
    return i == n;
}

class StreamWriter {
public:
    StreamWriter(const Globals& globals, const CallArgs& args)
        : globals_(globals), chain_(args.chain), flag_(args.flag), stand_in_(globals), keeper_(stand_in_),
          out_(globals.names(), args.file, stand_in_, keeper_), codes_(globals, stand_in_, keeper_, out_),
          buf_(out_.text()) {}

    void run() {
        try {
            const Pieces& p = globals_.pieces();
            // At once, so that a file that cannot be written fails before the
            // chain is touched.
            out_.write_now(p.open);
            compress_ = truth(flag_);
            if (compress_) codes_.write_table(chain_);
            write(p.chain_open);
            write_chain();
            write(p.close);
            out_.flush();
        } catch (...) {
            out_.flush_after_failure();
            throw;
        }
    }

private:
    void write(PyObject* piece) { out_.piece(piece); }

    void begin() {
        out_.open();
        ascii_ = true;
    }

    void write_buf() { out_.close(ascii_); }

    // Appends the encoder's dumps of `value` natively where the renderer
    // gives its very text; true then.
    bool append_rendered(PyObject* value) {
        const ImportedJson* encoder = stand_in_.encoder();
        return encoder != nullptr && value_text_append(buf_, value, encoder->kind);
    }

    // The encoder's dumps of `value`, called.
    Ref dumps(PyObject* value) {
        Ref text = encoder_dumps(globals_, value);
        stand_in_.python_ran();
        return text;
    }

    void write_start(PyObject* start) {
        keeper_.before_python();
        begin();
        if (compress_) {
            codes_.append_key(buf_, start, ascii_);
        } else if (!append_rendered(start)) {
            Ref text = dumps(start);
            append_formatted(buf_, text.get(), ascii_);
        }
        buf_.append(",[");
        write_buf();
    }

    void write_next_start(PyObject* next_start) {
        keeper_.before_python();
        begin();
        if (!compress_) {
            if (append_rendered(next_start)) {
                write_buf();
                return;
            }
            Ref text = dumps(next_start);
            write(text.get());
            return;
        }
        buf_.push_back('[');
        if (PyTuple_CheckExact(next_start)) {
            // Its items stay as they are, whatever a lookup runs.
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(next_start); ++i) {
                if (i > 0) buf_.push_back(',');
                codes_.append_key(buf_, PyTuple_GET_ITEM(next_start, i), ascii_);
            }
        } else {
            Iter it(next_start);
            bool first = true;
            while (Ref element = it.next()) {
                if (!first) buf_.push_back(',');
                first = false;
                codes_.append_key(buf_, element.get(), ascii_);
            }
        }
        buf_.push_back(']');
        write_buf();
    }

    // The text of a value of the native chain, as the general path would
    // write it, onto the piece: remembered under its id, or found now where
    // that runs no code (a plain value's key, or its rendering), and then
    // remembered where `keep`. False when it takes the general path.
    bool append_value_text(uint32_t id, PyObject* value, bool keep = true) {
        // A text remembered from the genuine encoder stands only while `json`
        // is still that encoder: once rebound, its own dumps is called.
        if (!compress_ && stand_in_.encoder() == nullptr) return false;
        std::string_view known;
        if (texts_.find(id, value, known)) {
            buf_.append(known);
            return true;
        }
        const IdCodeTable::Key* by_id = compress_ ? codes_.key_by_id(id, value) : nullptr;
        if (by_id != nullptr) {
            buf_.append(by_id->text, by_id->length);
            if (keep) texts_.remember(id, value, by_id->text, by_id->length);
            return true;
        }
        if (!plain_value(value)) return false;
        const size_t mark = buf_.size();
        if (compress_) {
            PyObject* key = codes_.plain_key(value);
            if (key == nullptr) return false;
            buf_.append(static_cast<const char*>(PyUnicode_DATA(key)), static_cast<size_t>(PyUnicode_GET_LENGTH(key)));
        } else if (!append_rendered(value)) {
            return false;
        }
        if (keep) texts_.remember(id, value, buf_.data() + mark, buf_.size() - mark);
        return true;
    }

    void write_native_start(const NativeEntry& entry) {
        begin();
        // A start is met once as a start: its text is kept only where it is
        // met as an element of a next start.
        if (!append_value_text(entry.start_id, entry.start.get(), /*keep=*/false))
            return write_start(entry.start.get());
        buf_.append(",[");
        write_buf();
    }

    // A next start given as the ids of a block and their values (borrowed):
    // its text joined from the values' texts, or else the tuple that the bag
    // would hand out, written by the general path.
    void write_native_next_start(const TesmoChoice& choice, PyObject* const* values) {
        const ImportedJson* encoder = compress_ ? nullptr : stand_in_.encoder();
        if (compress_ || encoder != nullptr) {
            const bool spaced = !compress_ && encoder->kind == JsonEncoder::json;
            begin();
            buf_.push_back('[');
            Py_ssize_t i = 0;
            for (; i < choice.length; ++i) {
                if (i > 0) buf_.append(", ", spaced ? 2 : 1);
                if (!append_value_text(choice.ids[i], values[i])) break;
            }
            if (i == choice.length) {
                buf_.push_back(']');
                write_buf();
                return;
            }
        }
        // The values are held before the keeper may run code.
        std::vector<Ref> held;
        held.reserve(static_cast<size_t>(choice.length));
        for (Py_ssize_t i = 0; i < choice.length; ++i) held.push_back(Ref::borrow(values[i]));
        keeper_.before_python();
        Ref tuple = tuple_from(held);
        stand_in_.python_ran();  // making the tuple may run the collector
        write_next_start(tuple.get());
    }

    // The text of id `id` of the chain's vocabulary onto the piece: as
    // remembered while nothing could change the id since it was found to
    // hold the remembered value, else found as append_value_text finds it.
    bool append_id_text(uint32_t id, uint64_t now) {
        if (const IdCodeTable::Key* key = codes_.confirmed_key(id, now)) {
            buf_.append(key->text, key->length);
            return true;
        }
        std::string_view known;
        if (texts_.find_confirmed(id, now, known)) {
            buf_.append(known);
            return true;
        }
        PyObject* value = globals_.state().chain_api->vocabulary_value(vocabulary_.get(), id);
        if (value == nullptr) throw_error();
        if (const IdCodeTable::Key* key = codes_.key_by_id(id, value)) {
            codes_.confirm(id, now);
            buf_.append(key->text, key->length);
            return true;
        }
        if (!append_value_text(id, value)) return false;
        texts_.confirm(id, value, now);
        return true;
    }

    // The choices of a genuine block of the chain's vocabulary, read from
    // its records, for a file whose pieces are gathered: the same pieces as
    // write_native_next_start and write_native_count form, with no call per
    // choice. The records are read again, and the bag's size checked,
    // whenever Python code may have run. Returns how many choices it wrote;
    // the rest go the general way, from the first whose text or count is
    // not at hand here (or once the bag changed, which that way reports).
    Py_ssize_t write_block_by_id(TesmoBlock* block, Py_ssize_t announced) {
        const TesmoChainAPI* api = globals_.state().chain_api;
        if (!out_.gathering() || !vocabulary_ ||
            api->size < offsetof(TesmoChainAPI, block_records) + sizeof api->block_records)
            return 0;
        TesmoRecords r{};
        uint64_t now = UINT64_MAX;
        bool spaced = false;
        for (Py_ssize_t c = 0; c < announced; ++c) {
            if (stand_in_.runs() != now) {
                if (api->block_length(block) != announced || api->block_vocabulary(block) != vocabulary_.get())
                    return c;
                if (!compress_) {
                    const ImportedJson* encoder = stand_in_.encoder();
                    if (encoder == nullptr) return c;
                    spaced = encoder->kind == JsonEncoder::json;
                }
                api->block_records(block, &r);
                now = stand_in_.runs();
            }
            if (r.count_objects != nullptr && r.count_objects[c] != nullptr) return c;
            const size_t words = static_cast<size_t>(r.count_words);
            const uint32_t* record =
                r.records + (r.offsets ? r.offsets[c] : static_cast<size_t>(c) * (words + r.width));
            const size_t length = r.offsets ? r.offsets[c + 1] - r.offsets[c] - words : static_cast<size_t>(r.width);
            const int64_t count =
                words == 1
                    ? static_cast<int32_t>(record[0])
                    : static_cast<int64_t>(static_cast<uint64_t>(record[0]) | (static_cast<uint64_t>(record[1]) << 32));
            const size_t mark = buf_.size();
            buf_.push_back('[');
            for (size_t i = 0; i < length; ++i) {
                if (i > 0) buf_.append(", ", spaced ? 2 : 1);
                if (!append_id_text(record[words + i], now)) {
                    buf_.resize(mark);
                    return c;
                }
            }
            buf_.push_back(']');
            out_.ended(mark);
            write_native_count(count, c + 1 != announced);
        }
        return announced;
    }

    // The count as the host's str of it. Only exact ints are known to give a
    // JSON number; any other text is checked, so that no unreadable document
    // is reported as written.
    void write_count(PyObject* count, bool more) {
        begin();
        buf_.push_back(',');
        int overflow = 1;
        long long small = 0;
        if (PyLong_CheckExact(count) && compact_int_value(count, small))
            overflow = 0;
        else if (PyLong_CheckExact(count))
            small = PyLong_AsLongLongAndOverflow(count, &overflow);
        if (overflow == 0) {
            append_decimal(buf_, small);
        } else {
            keeper_.before_python();
            Ref text = check(PyObject_Str(count));
            stand_in_.python_ran();
            // A JSON number is ASCII: any other character (a lone surrogate
            // included) is refused before it is encoded.
            if (!PyLong_CheckExact(count) && (!PyUnicode_IS_ASCII(text.get()) ||
                                              !is_json_number(static_cast<const char*>(PyUnicode_DATA(text.get())),
                                                              static_cast<size_t>(PyUnicode_GET_LENGTH(text.get()))))) {
                PyErr_Format(PyExc_ValueError, "count %R is written as %R, which is not a JSON number", count,
                             text.get());
                throw_error();
            }
            append_text(buf_, text.get(), ascii_);
        }
        if (more) buf_.push_back(',');
        write_buf();
    }

    void write_native_count(int64_t count, bool more) {
        out_.drop_open();
        const size_t mark = buf_.size();
        buf_.push_back(',');
        append_decimal(buf_, count);
        if (more) buf_.push_back(',');
        out_.ended(mark);
    }

    // The bag's choices: read from the block of a genuine native bag, or
    // through the bag's unique_count and choices().
    void write_bag(PyObject* bag, TesmoBlock* block) {
        const Names& n = globals_.names();
        std::optional<NativeChoices> native;
        Ref choices;
        std::optional<Iter> it;
        std::optional<ChoicePrefetch> ahead;
        Py_ssize_t announced;
        Py_ssize_t idx2 = 0;
        if (block != nullptr) {
            native.emplace(globals_.state().chain_api, block);
            announced = native->size();
            idx2 = write_block_by_id(block, announced);
            native->skip_to(idx2);
        } else {
            Ref announced_obj = get_attr(bag, n.unique_count);
            announced = PyNumber_AsSsize_t(announced_obj.get(), PyExc_OverflowError);
            if (announced == -1 && PyErr_Occurred()) throw_error();
            choices = call_method0(bag, n.choices);
            it.emplace(choices.get());
            ahead.emplace(choices.get());
        }
        TesmoChoice choice;
        PyObject* const* values;
        Ref next_start, count;
        for (;;) {
            Ref pair;
            if (native) {
                if (!native->next(choice, values)) break;
            } else {
                pair = it->next();
                if (!pair) break;
                ahead->step();
                stand_in_.python_ran();
            }
            // idx2 < announced from here on, so idx2 + 1 cannot overflow,
            // whatever unique_count the bag reported.
            if (idx2 >= announced) {
                PyErr_Format(PyExc_ValueError, "bag's unique_count is %zd but choices() yielded more pairs", announced);
                throw_error();
            }
            const bool more = idx2 + 1 != announced;
            if (native) {
                // The count is held before anything can run code.
                Ref held = Ref::borrow(choice.count_object);
                const int64_t native_count = choice.count;
                write_native_next_start(choice, values);
                held ? write_count(held.get(), more) : write_native_count(native_count, more);
            } else {
                unpack_pair(pair.get(), next_start, count);
                pair = Ref();  // a dict's item iterator reuses a pair that only it holds
                write_next_start(next_start.get());
                write_count(count.get(), more);
            }
            ++idx2;
        }
        if (idx2 != announced) {
            PyErr_Format(PyExc_ValueError, "bag's unique_count is %zd but choices() yielded %zd pairs", announced,
                         idx2);
            throw_error();
        }
    }

    // The chain's entries: read through the C API from a native chain, or
    // through its len() and items().
    void write_chain() {
        const Pieces& p = globals_.pieces();
        const bool direct = native_chain_api(globals_.state(), chain_) != nullptr;
        const Py_ssize_t announced = PyObject_Size(chain_);
        if (announced < 0) throw_error();
        std::optional<NativeEntries> native;
        Ref items;
        std::optional<Iter> it;
        if (direct) {
            native.emplace(globals_.state(), chain_);
            if (announced > 0) {
                PyObject* vocabulary = globals_.state().chain_api->chain_vocabulary(chain_);
                if (vocabulary == nullptr) throw_error();
                vocabulary_ = Ref::borrow(vocabulary);
                stand_in_.python_ran();  // made, if the chain had none
            }
        } else {
            items = call_method0(chain_, globals_.names().items);
            it.emplace(items.get());
        }
        NativeEntry entry;
        // Whatever way this ends, the keeper lets go of the entry first.
        struct Unwatch {
            BagKeeper& keeper;
            ~Unwatch() { keeper.watch(nullptr, nullptr); }
        } unwatch{keeper_};
        Ref start, bag;
        Py_ssize_t idx = 0;
        uint64_t fetched = UINT64_MAX;  // stand_in_.runs() when the last entry was read
        for (;;) {
            Ref pair;
            if (native) {
                // Letting go of the last entry runs no code unless some ran
                // since it was read: the chain still holds all it held.
                const bool ran = stand_in_.runs() != fetched;
                if (!native->next(entry, ran)) break;
                if (ran) stand_in_.python_ran();
                fetched = stand_in_.runs();
            } else {
                pair = it->next();
                if (!pair) break;
                // Whatever ran to get here may have rebound the encoder.
                stand_in_.python_ran();
            }
            if (idx >= announced) {
                PyErr_Format(PyExc_ValueError, "chain has length %zd but items() yielded more pairs", announced);
                throw_error();
            }
            if (native) {
                keeper_.watch(&*native, &entry);
                write_native_start(entry);
                write_bag(entry.bag.get(), entry.block.get());
                keeper_.watch(nullptr, nullptr);
            } else {
                unpack_pair(pair.get(), start, bag);
                write_start(start.get());
                write_bag(bag.get(), nullptr);
            }
            write(idx + 1 != announced ? p.entry_more : p.entry_last);
            ++idx;
        }
        if (idx != announced) {
            PyErr_Format(PyExc_ValueError, "chain has length %zd but items() yielded %zd pairs", announced, idx);
            throw_error();
        }
    }

    const Globals& globals_;
    PyObject* chain_;
    PyObject* flag_;
    DumpsStandIn stand_in_;
    BagKeeper keeper_;
    Output out_;
    bool compress_ = false;
    Ref vocabulary_;  // a native chain's
    StreamCodes codes_;
    ValueTexts texts_;
    std::string& buf_;  // the piece being formed, in place in the output
    bool ascii_ = true;
};

}  // namespace

void stream_dump(const Globals& globals, const CallArgs& args) { StreamWriter(globals, args).run(); }

}  // namespace pjson

// dump_json_big: the document written as small pieces in document order,
// formed in a reusable buffer. Separators come from the lengths announced
// before each walk; a walk that yields another number of pairs stops with
// ValueError before the document could go wrong.
#include "document/code_table.h"
#include "document/native_chain.h"
#include "document/value_text.h"
#include "streaming/stream_general.h"
#include "streaming/stream_output.h"
#include "streaming/streaming.h"

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
        : globals_(globals), chain_(args.chain), flag_(args.flag), stand_in_(globals),
          out_(globals.names(), args.file, stand_in_, keeper_), buf_(out_.text()) {}

    void run() {
        try {
            const Pieces& p = globals_.pieces();
            // At once, so that a file that cannot be written fails before the
            // chain is touched.
            out_.write_now(p.open);
            compress_ = truth(flag_);
            if (compress_) write_table();
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

    // Text as a piece template would format it: a str as it is, anything
    // else through str().
    void append_formatted(PyObject* obj) {
        if (PyUnicode_Check(obj)) {
            append_text(buf_, obj, ascii_);
            return;
        }
        Ref text = check(PyObject_Str(obj));
        append_text(buf_, text.get(), ascii_);
    }

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

    // Each entry is written as soon as its kind is decided; the lookup keeps
    // its key text, the numeral or the value's own JSON text, for every later
    // occurrence.
    void write_table() {
        CodeTable table(globals_, chain_, /*sized=*/true);
        codes_ = check(PyDict_New());
        const Py_ssize_t end_freqs = table.size() - 1;
        TableEntry entry;
        while (table.next(entry)) {
            Ref key_text;
            if (entry.literal) {
                key_text = PyUnicode_Check(entry.text.get()) ? Ref::borrow(entry.text.get())
                                                             : check(PyObject_Str(entry.text.get()));
            } else {
                std::string numeral;
                append_decimal(numeral, entry.position);
                key_text = make_str(numeral, true);
            }
            check_status(PyDict_SetItem(codes_.get(), entry.value.get(), key_text.get()));
            codes_plain_ = codes_plain_ && plain_value(entry.value.get());
            begin();
            append_text(buf_, key_text.get(), ascii_);
            buf_.push_back(',');
            append_formatted(entry.text.get());
            if (entry.position != end_freqs) buf_.push_back(',');
            write_buf();
        }
        // The encoder's dumps and the frequency mapping may have run code.
        stand_in_.python_ran();
        if (!codes_plain_) return;
        by_address_.emplace(static_cast<size_t>(table.size()));
        Py_ssize_t pos = 0;
        PyObject *value, *key_text;
        while (PyDict_Next(codes_.get(), &pos, &value, &key_text))
            if (KeyTextsByAddress::kept(value) && PyUnicode_IS_ASCII(key_text))
                by_address_->remember(value, static_cast<const char*>(PyUnicode_DATA(key_text)),
                                      static_cast<size_t>(PyUnicode_GET_LENGTH(key_text)));
    }

    // The key text of `value` onto the piece, as the lookup gives it.
    void append_key(PyObject* value) {
        if (by_address_ && by_address_->append(buf_, value)) return;
        PyObject* key = dict_lookup(codes_.get(), value);
        const size_t mark = buf_.size();
        append_text(buf_, key, ascii_);
        if (by_address_ && !by_address_->full() && KeyTextsByAddress::kept(value) && PyUnicode_IS_ASCII(key))
            by_address_->remember(value, buf_.data() + mark, buf_.size() - mark);
    }

    void write_start(PyObject* start) {
        keeper_.before_python();
        begin();
        if (compress_) {
            append_key(start);
        } else if (!append_rendered(start)) {
            Ref text = dumps(start);
            append_formatted(text.get());
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
                append_key(PyTuple_GET_ITEM(next_start, i));
            }
        } else {
            Iter it(next_start);
            bool first = true;
            while (Ref element = it.next()) {
                if (!first) buf_.push_back(',');
                first = false;
                append_key(element.get());
            }
        }
        buf_.push_back(']');
        write_buf();
    }

    // The text of a value of the native chain, as the general path would
    // write it, onto the piece: remembered under its id, or found now where
    // that runs no code (a plain value's key, or its rendering). False when
    // it takes the general path.
    bool append_value_text(uint32_t id, PyObject* value) {
        // A text remembered from the genuine encoder stands only while `json`
        // is still that encoder: once rebound, its own dumps is called.
        if (!compress_ && stand_in_.encoder() == nullptr) return false;
        std::string_view known;
        if (texts_.find(id, value, known)) {
            buf_.append(known);
            return true;
        }
        if (!plain_value(value)) return false;
        const size_t mark = buf_.size();
        if (compress_) {
            // Only where no key compared with it can run code: then a lookup
            // per id shows nobody that it is not one per occurrence.
            if (!codes_plain_) return false;
            PyObject* key = PyDict_GetItemWithError(codes_.get(), value);
            if (key == nullptr) {
                if (PyErr_Occurred()) throw_error();
                return false;  // the general path raises the KeyError
            }
            if (!PyUnicode_Check(key) || !PyUnicode_IS_ASCII(key)) return false;
            buf_.append(static_cast<const char*>(PyUnicode_DATA(key)), static_cast<size_t>(PyUnicode_GET_LENGTH(key)));
        } else if (!append_rendered(value)) {
            return false;
        }
        texts_.remember(id, value, buf_.data() + mark, buf_.size() - mark);
        return true;
    }

    void write_native_start(const NativeEntry& entry) {
        begin();
        if (!append_value_text(entry.start_id, entry.start.get())) return write_start(entry.start.get());
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
        begin();
        buf_.push_back(',');
        append_decimal(buf_, count);
        if (more) buf_.push_back(',');
        write_buf();
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
        if (block != nullptr) {
            native.emplace(globals_.state().chain_api, block);
            announced = native->size();
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
        Py_ssize_t idx2 = 0;
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
        for (;;) {
            Ref pair;
            if (native) {
                if (!native->next(entry)) break;
            } else {
                pair = it->next();
                if (!pair) break;
            }
            // Whatever ran to get here may have rebound the encoder.
            stand_in_.python_ran();
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
    Ref codes_;                                    // value -> key text
    bool codes_plain_ = true;                      // every value of the table is plain
    std::optional<KeyTextsByAddress> by_address_;  // while it is
    ValueTexts texts_;
    std::string& buf_;  // the piece being formed, in place in the output
    bool ascii_ = true;
};

}  // namespace

void stream_dump(const Globals& globals, const CallArgs& args) { StreamWriter(globals, args).run(); }

}  // namespace pjson

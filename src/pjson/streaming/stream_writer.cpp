// dump_json_big: the document written as small pieces in document order,
// one write per piece, formed in a reusable buffer. Separators come from the
// lengths announced before each walk; a walk that yields another number of
// pairs stops with ValueError before the document could go wrong.
#include "document/code_table.h"
#include "streaming/streaming.h"

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
        : globals_(globals), chain_(args.chain), file_(args.file), flag_(args.flag) {}

    void run() {
        const Pieces& p = globals_.pieces();
        write(p.open);
        compress_ = truth(flag_);
        if (compress_) write_table();
        write(p.chain_open);
        write_chain();
        write(p.close);
    }

private:
    void write(PyObject* piece) { write_piece(globals_.names(), file_, piece); }

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
        buf_.clear();
        ascii_ = true;
    }

    void flush() {
        Ref piece = make_str(buf_, ascii_);
        write(piece.get());
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
                begin();
                append_decimal(buf_, entry.position);
                key_text = make_str(buf_, true);
            }
            check_status(PyDict_SetItem(codes_.get(), entry.value.get(), key_text.get()));
            begin();
            append_text(buf_, key_text.get(), ascii_);
            buf_.push_back(',');
            append_formatted(entry.text.get());
            if (entry.position != end_freqs) buf_.push_back(',');
            flush();
        }
    }

    void write_start(PyObject* start) {
        begin();
        if (compress_) {
            append_text(buf_, dict_lookup(codes_.get(), start), ascii_);
        } else {
            Ref text = encoder_dumps(globals_, start);
            append_formatted(text.get());
        }
        buf_.append(",[");
        flush();
    }

    void write_next_start(PyObject* next_start) {
        if (!compress_) {
            Ref text = encoder_dumps(globals_, next_start);
            write(text.get());
            return;
        }
        begin();
        buf_.push_back('[');
        Iter it(next_start);
        bool first = true;
        while (Ref element = it.next()) {
            if (!first) buf_.push_back(',');
            first = false;
            append_text(buf_, dict_lookup(codes_.get(), element.get()), ascii_);
        }
        buf_.push_back(']');
        flush();
    }

    // The count as the host's str of it. Only exact ints are known to give a
    // JSON number; any other text is checked, so that no unreadable document
    // is reported as written.
    void write_count(PyObject* count, bool more) {
        begin();
        buf_.push_back(',');
        int overflow = 1;
        long long small = 0;
        if (PyLong_CheckExact(count)) small = PyLong_AsLongLongAndOverflow(count, &overflow);
        if (overflow == 0) {
            append_decimal(buf_, small);
        } else {
            Ref text = check(PyObject_Str(count));
            // A JSON number is ASCII: any other character (a lone surrogate
            // included) is refused before it is encoded.
            if (!PyLong_CheckExact(count) &&
                (!PyUnicode_IS_ASCII(text.get()) ||
                 !is_json_number(static_cast<const char*>(PyUnicode_DATA(text.get())),
                                 static_cast<size_t>(PyUnicode_GET_LENGTH(text.get()))))) {
                PyErr_Format(PyExc_ValueError, "count %R is written as %R, which is not a JSON number", count,
                             text.get());
                throw_error();
            }
            append_text(buf_, text.get(), ascii_);
        }
        if (more) buf_.push_back(',');
        flush();
    }

    void write_bag(PyObject* bag) {
        const Names& n = globals_.names();
        Ref announced_obj = get_attr(bag, n.unique_count);
        const Py_ssize_t announced = PyNumber_AsSsize_t(announced_obj.get(), PyExc_OverflowError);
        if (announced == -1 && PyErr_Occurred()) throw_error();

        Ref choices = call_method0(bag, n.choices);
        Iter it(choices.get());
        Ref next_start, count;
        Py_ssize_t idx2 = 0;
        while (Ref choice = it.next()) {
            // idx2 < announced from here on, so idx2 + 1 cannot overflow,
            // whatever unique_count the bag reported.
            if (idx2 >= announced) {
                PyErr_Format(PyExc_ValueError, "bag's unique_count is %zd but choices() yielded more pairs",
                             announced);
                throw_error();
            }
            unpack_pair(choice.get(), next_start, count);
            write_next_start(next_start.get());
            write_count(count.get(), idx2 + 1 != announced);
            ++idx2;
        }
        if (idx2 != announced) {
            PyErr_Format(PyExc_ValueError, "bag's unique_count is %zd but choices() yielded %zd pairs", announced,
                         idx2);
            throw_error();
        }
    }

    void write_chain() {
        const Pieces& p = globals_.pieces();
        const Py_ssize_t announced = PyObject_Size(chain_);
        if (announced < 0) throw_error();

        Ref items = call_method0(chain_, globals_.names().items);
        Iter it(items.get());
        Ref start, bag;
        Py_ssize_t idx = 0;
        while (Ref entry = it.next()) {
            if (idx >= announced) {
                PyErr_Format(PyExc_ValueError, "chain has length %zd but items() yielded more pairs", announced);
                throw_error();
            }
            unpack_pair(entry.get(), start, bag);
            write_start(start.get());
            write_bag(bag.get());
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
    PyObject* file_;
    PyObject* flag_;
    bool compress_ = false;
    Ref codes_;  // value -> key text
    std::string buf_;
    bool ascii_ = true;
};

}  // namespace

void stream_dump(const Globals& globals, const CallArgs& args) { StreamWriter(globals, args).run(); }

}  // namespace pjson

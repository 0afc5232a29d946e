// dump_json_big: the document written as small pieces in document order,
// formed in a reusable buffer. Separators come from the lengths announced
// before each walk; a walk that yields another number of pairs stops with
// ValueError before the document could go wrong.
#include "document/code_table.h"
#include "streaming/streaming.h"

#include <string>

namespace pjson {

namespace {

constexpr size_t kGatherLimit = 64 * 1024;

// Whether `file` is exactly an io.StringIO or io.TextIOWrapper whose write
// is its type's own (not one set on the instance).
bool is_plain_text_file(PyObject* file) {
    Ref io = check(PyImport_ImportModule("io"));
    bool exact = false;
    for (const char* name : {"StringIO", "TextIOWrapper"}) {
        Ref type = get_attr(io.get(), name);
        exact = exact || Py_IS_TYPE(file, reinterpret_cast<PyTypeObject*>(type.get()));
    }
    if (!exact) return false;
    Ref write = get_attr(file, "write");
    Ref own = get_attr(reinterpret_cast<PyObject*>(Py_TYPE(file)), "write");
    return PyCFunction_Check(write.get()) && PyCFunction_GET_SELF(write.get()) == file &&
           Py_IS_TYPE(own.get(), &PyMethodDescr_Type) &&
           reinterpret_cast<PyCFunctionObject*>(write.get())->m_ml ==
               reinterpret_cast<PyMethodDescrObject*>(own.get())->d_method;
}

// Where the pieces go. Such a plain text file gets them gathered into writes
// of at most 64 KiB, since a call of write per piece is most of what writing
// it costs; a piece that is not ASCII text is written alone, as it comes, so
// that an encoding error reads as it would for that piece. Every other file
// gets one write per piece. `write` is fetched afresh for every call.
class Output {
public:
    Output(const Names& names, PyObject* file) : names_(names), file_(file), gathering_(is_plain_text_file(file)) {}

    void piece(PyObject* text) {
        if (gathering_ && PyUnicode_Check(text) && PyUnicode_IS_ASCII(text)) {
            gather(static_cast<const char*>(PyUnicode_DATA(text)), static_cast<size_t>(PyUnicode_GET_LENGTH(text)));
            return;
        }
        write_now(text);
    }

    // Writes what was gathered, then `text`.
    void write_now(PyObject* text) {
        flush();
        write_piece(names_, file_, text);
    }

    void piece(const std::string& text, bool ascii) {
        if (gathering_ && ascii) {
            gather(text.data(), text.size());
            return;
        }
        flush();
        Ref str = make_str(text, ascii);
        write_piece(names_, file_, str.get());
    }

    void flush() {
        if (gathered_.empty()) return;
        Ref text = make_str(gathered_, true);
        gathered_.clear();
        write_piece(names_, file_, text.get());
    }

    // After a failure the file gets what was gathered, so that it holds the
    // document up to the failure; the failure stays the error raised, and
    // an error of this last write goes to sys.unraisablehook.
    void flush_after_failure() {
        if (gathered_.empty()) return;
        SavedError failure;
        if (PyErr_Occurred()) failure.fetch();
        try {
            flush();
        } catch (PyError&) {
            PyErr_WriteUnraisable(file_);
        } catch (std::bad_alloc&) {
        }
        if (failure) failure.restore();
    }

private:
    void gather(const char* text, size_t len) {
        if (gathered_.size() + len > kGatherLimit) flush();
        if (len > kGatherLimit) {
            Ref str = make_str(std::string(text, len), true);
            write_piece(names_, file_, str.get());
            return;
        }
        gathered_.append(text, len);
    }

    const Names& names_;
    PyObject* file_;
    const bool gathering_;
    std::string gathered_;
};

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

// Where a bag hands out its choices through a dict's own items (a
// dict_items view or its iterator), the choices a few places ahead are read
// into the cache while the current one is written: a chain's next starts lie
// scattered in memory, and waiting for each in turn is most of what walking
// them costs. Only the dict's entries are read, never changed, so this is
// invisible; should the dict change meanwhile, the hints merely miss. The
// dict is held, since an exhausted iterator lets go of it.
class ChoicePrefetch {
public:
    explicit ChoicePrefetch(PyObject* choices) {
        if (!Py_IS_TYPE(choices, &PyDictItems_Type) && !Py_IS_TYPE(choices, &PyDictIterItem_Type)) return;
        PyObject* found = nullptr;
        Py_TYPE(choices)->tp_traverse(choices, find_dict, &found);  // the view's or iterator's dict
        dict_.reset_borrowed(found);
    }

    // Called once per choice pulled.
    void step() {
        if (!dict_) return;
        for (int i = pos_ == 0 ? kAhead : 1; i > 0; --i) {
            PyObject *key, *value;
            if (!PyDict_Next(dict_.get(), &pos_, &key, &value)) {
                dict_ = Ref();
                return;
            }
            __builtin_prefetch(key, 0);
            __builtin_prefetch(value, 0);
        }
    }

private:
    static constexpr int kAhead = 8;

    static int find_dict(PyObject* obj, void* found) {
        if (!PyDict_Check(obj)) return 0;
        *static_cast<PyObject**>(found) = obj;
        return 1;
    }

    Ref dict_;
    Py_ssize_t pos_ = 0;
};

class StreamWriter {
public:
    StreamWriter(const Globals& globals, const CallArgs& args)
        : globals_(globals), chain_(args.chain), flag_(args.flag), out_(globals.names(), args.file) {}

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
        buf_.clear();
        ascii_ = true;
    }

    void write_buf() { out_.piece(buf_, ascii_); }

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
            write_buf();
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
        write_buf();
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
        write_buf();
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
        write_buf();
    }

    void write_bag(PyObject* bag) {
        const Names& n = globals_.names();
        Ref announced_obj = get_attr(bag, n.unique_count);
        const Py_ssize_t announced = PyNumber_AsSsize_t(announced_obj.get(), PyExc_OverflowError);
        if (announced == -1 && PyErr_Occurred()) throw_error();

        Ref choices = call_method0(bag, n.choices);
        Iter it(choices.get());
        ChoicePrefetch ahead(choices.get());
        Ref next_start, count;
        Py_ssize_t idx2 = 0;
        while (Ref choice = it.next()) {
            ahead.step();
            // idx2 < announced from here on, so idx2 + 1 cannot overflow,
            // whatever unique_count the bag reported.
            if (idx2 >= announced) {
                PyErr_Format(PyExc_ValueError, "bag's unique_count is %zd but choices() yielded more pairs",
                             announced);
                throw_error();
            }
            unpack_pair(choice.get(), next_start, count);
            choice = Ref();  // a dict's item iterator reuses a pair that only it holds
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
    PyObject* flag_;
    Output out_;
    bool compress_ = false;
    Ref codes_;  // value -> key text
    std::string buf_;
    bool ascii_ = true;
};

}  // namespace

void stream_dump(const Globals& globals, const CallArgs& args) { StreamWriter(globals, args).run(); }

}  // namespace pjson

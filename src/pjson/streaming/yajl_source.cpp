// The streaming reader's native event source: yajl driven directly, with the
// reading and the error reporting of ijson's yajl2_cffi backend.
//
// What the backend does, and how this source keeps it:
// - basic_parse(file) picks the source and the reading generator with
//   ijson.common's helpers; open() calls the same helpers in the same order,
//   and the file is read by the backend's own chunk generator (file_source),
//   so reads, their sizes and the text-file conversion are the backend's.
// - Each chunk goes to yajl_parse (an empty one to yajl_complete_parse);
//   every event of the chunk is produced before the first one reaches the
//   reader, then the chunk's error is raised. run_events() keeps that order,
//   except where the reader fills a native chain: there events go to it as
//   yajl makes them, with nothing between them that anyone could see (no
//   read, no code of the caller's), and a reader error cancels the parse
//   where the backend would have converted the rest of the chunk unseen.
// - Callbacks turn yajl's tokens into values. Where the native conversion is
//   not provably the backend's (invalid UTF-8, integers beyond 18 characters,
//   fractions with long exponents), the backend's own callback converts the
//   token, reporting a failure itself and cancelling the parse.
// - A chunk that is not exactly bytes is handed to the backend's yajl_parse
//   with this source's handle, so it is tested, measured and converted by
//   cffi as the backend does; cffi lets go of the interpreter for the call,
//   and the callbacks take it back.
#include "streaming/yajl_source.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <exception>
#include <new>
#include <string>

namespace pjson {

namespace {

// yajl 2's interface (yajl_parse.h), declared here: the module neither
// builds nor links against the library, it calls the entry points of the
// copy that the backend loaded.
struct yajl_handle_t;
using yajl_handle = yajl_handle_t*;
enum yajl_status { yajl_status_ok, yajl_status_client_canceled, yajl_status_error };

struct yajl_callbacks {
    int (*yajl_null)(void* ctx);
    int (*yajl_boolean)(void* ctx, int value);
    int (*yajl_integer)(void* ctx, long long value);
    int (*yajl_double)(void* ctx, double value);
    int (*yajl_number)(void* ctx, const char* text, size_t len);
    int (*yajl_string)(void* ctx, const unsigned char* text, size_t len);
    int (*yajl_start_map)(void* ctx);
    int (*yajl_map_key)(void* ctx, const unsigned char* text, size_t len);
    int (*yajl_end_map)(void* ctx);
    int (*yajl_start_array)(void* ctx);
    int (*yajl_end_array)(void* ctx);
};

constexpr long kBufSize = 64 * 1024;  // basic_parse's default buf_size

// The ijson releases whose yajl2_cffi backend this source reproduces.
constexpr const char* kKnownReleases[] = {"3.6.0"};

// Positions in the backend's _decimal_callback_data, the callbacks it
// registers (numbers as text, so integers keep any size).
constexpr int kNumberCallback = 4;
constexpr int kStringCallback = 5;
constexpr int kMapKeyCallback = 7;

Ref call(PyObject* callable, PyObject* arg) { return check(PyObject_CallOneArg(callable, arg)); }

// callable(arg, buf_size=65536), as basic_parse passes its buf_size on.
Ref call_with_buf_size(PyObject* callable, PyObject* arg) {
    Ref size = check(PyLong_FromLong(kBufSize));
    Ref kwargs = check(PyDict_New());
    check_status(PyDict_SetItemString(kwargs.get(), "buf_size", size.get()));
    Ref args = check(PyTuple_Pack(1, arg));
    return check(PyObject_Call(callable, args.get(), kwargs.get()));
}

bool str_equals(PyObject* obj, const char* text) {
    return PyUnicode_Check(obj) && PyUnicode_CompareWithASCIIString(obj, text) == 0;
}

// The cffi cdata `ffi.cast(ctype, address)`.
Ref cast(PyObject* ffi, const char* ctype, PyObject* value) {
    Ref type = check(PyUnicode_FromString(ctype));
    Ref cast_fn = get_attr(ffi, "cast");
    return check(PyObject_CallFunctionObjArgs(cast_fn.get(), type.get(), value, nullptr));
}

void* entry_point(PyObject* ffi, PyObject* lib, const char* name) {
    Ref fn = get_attr(lib, name);
    Ref address = cast(ffi, "uintptr_t", fn.get());
    Ref number = check(PyNumber_Long(address.get()));
    void* p = PyLong_AsVoidPtr(number.get());
    if (p == nullptr) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_SystemError, "yajl's %s is at address 0", name);
        throw_error();
    }
    return p;
}

// The thread state attached to this thread, or nullptr.
PyThreadState* attached_thread_state() {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked();
#else
    return _PyThreadState_UncheckedGet();
#endif
}

// Keeps the interpreter attached to this thread while a callback runs: a
// chunk handed to the backend's yajl_parse reaches the callbacks through
// cffi, which releases the interpreter around the library call. Before 3.12
// the thread state found is the one of whichever thread holds the
// interpreter, another thread's once cffi let go of it: only this thread's
// own state means it is attached.
class Attached {
public:
    explicit Attached(PyThreadState* tstate)
        : tstate_(tstate == nullptr || attached_thread_state() == tstate ? nullptr : tstate) {
        if (tstate_) PyEval_RestoreThread(tstate_);
    }
    ~Attached() {
        if (tstate_) PyEval_SaveThread();
    }
    Attached(const Attached&) = delete;
    Attached& operator=(const Attached&) = delete;

private:
    PyThreadState* tstate_;
};

// An integer of at most 18 characters fits a long long. A fraction whose
// exponent has at most 6 digits reads as the correctly rounded double of its
// text, which is what float() gives for the backend's exact Decimal of it.
// Anything else: an empty Ref, and the backend converts it.
constexpr size_t kMaxShortInteger = 18;
constexpr size_t kMaxExponentDigits = 6;
constexpr size_t kMaxFraction = 1 << 20;

// A fresh object per integer: one kept per value for the call would be
// touched again at each occurrence, a cache miss apiece once the table is
// large, where a new one comes from memory just freed.
Ref number_value(const char* text, size_t len) {
    const char* end = text + len;
    const char* exponent = nullptr;
    bool fraction = false;
    for (const char* p = text; p != end; ++p) {
        if (*p == '.') fraction = true;
        if (*p == 'e' || *p == 'E') {
            fraction = true;
            exponent = p;
            break;
        }
    }
    if (!fraction) {
        if (len == 0 || len > kMaxShortInteger) return Ref();
        const bool negative = text[0] == '-';
        long long value = 0;
        for (const char* p = text + negative; p != end; ++p) value = value * 10 + (*p - '0');
        return check(PyLong_FromLongLong(negative ? -value : value));
    }
    if (len > kMaxFraction) return Ref();
    if (exponent != nullptr) {
        size_t digits = static_cast<size_t>(end - exponent - 1);
        if (digits > 0 && (exponent[1] == '+' || exponent[1] == '-')) --digits;
        if (digits > kMaxExponentDigits) return Ref();
    }
    std::string copy(text, len);  // NUL-terminated for the C library's parser
    char* stop = nullptr;
    const double value = PyOS_string_to_double(copy.c_str(), &stop, nullptr);
    if (value == -1.0 && PyErr_Occurred()) throw_error();
    if (stop != copy.c_str() + len) return Ref();
    return check(PyFloat_FromDouble(value));
}

}  // namespace

// ---------------------------------------------------------------------------

struct YajlSource::Lib {
    yajl_handle (*alloc)(const yajl_callbacks* callbacks, const void* alloc_funcs, void* ctx);
    yajl_status (*parse)(yajl_handle handle, const unsigned char* text, size_t len);
    yajl_status (*complete_parse)(yajl_handle handle);
    unsigned char* (*get_error)(yajl_handle handle, int verbose, const unsigned char* text, size_t len);
    void (*free_error)(yajl_handle handle, unsigned char* error);
    void (*free)(yajl_handle handle);
};

// yajl's callbacks. Each returns 1 to go on and 0 to cancel the parse: when
// the backend's own conversion failed (it has reported that itself), or when
// this source failed, which run_events() then raises.
struct YajlSource::Callbacks {
    template <class Body>
    static int on(void* ctx, Body&& body) noexcept {
        auto& self = *static_cast<YajlSource*>(ctx);
        // yajl_parse called by this source itself runs with the interpreter
        // held; only the backend's call through cffi lets go of it.
        Attached attached(self.holding_ ? nullptr : self.tstate_);
        try {
            return body(self) ? 1 : 0;
        } catch (PyError&) {
        } catch (std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (std::exception& e) {
            PyErr_Format(PyExc_SystemError, "tesmo_cjson: %s", e.what());
        }
        if (self.failure_)
            PyErr_Clear();  // yajl stops at the first cancel; nothing after it matters
        else
            self.failure_.fetch();
        return 0;
    }

    static int constant(void* ctx, Event kind, PyObject* value) {
        return on(ctx, [&](YajlSource& self) {
            self.push(kind, Ref::borrow(value));
            return true;
        });
    }
    // Starts, ends and null, whose value None the token leaves unheld.
    static int none(void* ctx, Event kind) {
        return on(ctx, [&](YajlSource& self) {
            Token token;
            token.kind = kind;
            token.form = Token::Form::none;
            self.push(std::move(token));
            return true;
        });
    }

    static int characters(void* ctx, Event kind, int index, const unsigned char* text, size_t len) {
        return on(ctx, [&](YajlSource& self) {
            self.token_ends(text, len, /*quoted=*/true);
            if (kind == Event::String && self.push_ascii(kind, text, len)) return true;
            Ref value(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(text), static_cast<Py_ssize_t>(len), nullptr));
            if (!value) {
                if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw_error();
                PyErr_Clear();
                value = self.delegate(index, "unsigned char *", text, len);
                if (!value) return false;
            }
            self.push(kind, std::move(value));
            return true;
        });
    }

    static int null(void* ctx) { return none(ctx, Event::Null); }
    static int boolean(void* ctx, int value) { return constant(ctx, Event::Boolean, value ? Py_True : Py_False); }
    static int number(void* ctx, const char* text, size_t len) {
        return on(ctx, [&](YajlSource& self) {
            self.token_ends(text, len, /*quoted=*/false);
            if (self.push_integer(text, len)) return true;
            Ref value = number_value(text, len);
            if (!value) value = self.delegate(kNumberCallback, "char *", text, len);
            if (!value) return false;
            self.push(Event::Number, std::move(value));
            return true;
        });
    }
    static int string(void* ctx, const unsigned char* s, size_t len) {
        return characters(ctx, Event::String, kStringCallback, s, len);
    }
    static int map_key(void* ctx, const unsigned char* s, size_t len) {
        return characters(ctx, Event::MapKey, kMapKeyCallback, s, len);
    }
    static int start_map(void* ctx) { return none(ctx, Event::StartMap); }
    static int end_map(void* ctx) { return none(ctx, Event::EndMap); }
    static int start_array(void* ctx) { return none(ctx, Event::StartArray); }
    static int end_array(void* ctx) { return none(ctx, Event::EndArray); }

    static const yajl_callbacks table;
};

const yajl_callbacks YajlSource::Callbacks::table = {
    Callbacks::null,
    Callbacks::boolean,
    nullptr,
    nullptr,
    Callbacks::number,
    Callbacks::string,
    Callbacks::start_map,
    Callbacks::map_key,
    Callbacks::end_map,
    Callbacks::start_array,
    Callbacks::end_array,
};

// ---------------------------------------------------------------------------

void stream_note_ijson(State& state) {
    PyObject* backend = state.imported_ijson;
    if (backend == nullptr || !PyModule_CheckExact(backend)) return;
    Ref name(PyModule_GetNameObject(backend));
    if (!name) {
        PyErr_Clear();  // a module without a name is simply not the backend
        return;
    }
    if (!str_equals(name.get(), "ijson.backends.yajl2_cffi")) return;
    // The backend's entry points and callbacks, and the conversions and
    // errors of ijson.common that they use; common's file helpers are
    // looked up afresh by the native source, as by the backend.
    WatchedNames names;
    PyObject* dict = PyModule_GetDict(backend);
    for (const char* each : {"basic_parse", "basic_parse_gen", "basic_parse_basecoro", "basic_parse_async", "yajl_init",
                             "yajl_parse", "_decimal_callback_data", "ffi", "yajl"})
        names.watch(dict, each);
    PyObject* common = names.watch(dict, "common");
    if (common == nullptr || !PyModule_Check(common)) return;
    for (const char* each : {"integer_or_decimal", "IncompleteJSONError", "JSONError"})
        names.watch(PyModule_GetDict(common), each);
    state.ijson_watched = names.record().release();
}

std::unique_ptr<YajlSource> YajlSource::for_parser(const State& state, PyObject* parser) {
    if (parser != state.imported_ijson || !PyModule_CheckExact(parser)) return nullptr;
    Ref name = check(PyModule_GetNameObject(parser));
    if (!str_equals(name.get(), "ijson.backends.yajl2_cffi")) return nullptr;
    if (!names_unchanged(state.ijson_watched)) return nullptr;

    Ref ijson_name = check(PyUnicode_FromString("ijson"));
    Ref ijson(PyImport_GetModule(ijson_name.get()));
    if (!ijson) {
        if (PyErr_Occurred()) throw_error();
        return nullptr;
    }
    Ref version_name = check(PyUnicode_InternFromString("__version__"));
    Ref version(PyObject_GetAttr(ijson.get(), version_name.get()));
    if (!version) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
        PyErr_Clear();
        return nullptr;
    }
    bool known = false;
    for (const char* release : kKnownReleases) known = known || str_equals(version.get(), release);
    if (!known) return nullptr;

    Ref ffi = get_attr(parser, "ffi");
    Ref lib = get_attr(parser, "yajl");
    auto entries = std::make_unique<Lib>();
    entries->alloc = reinterpret_cast<decltype(Lib::alloc)>(entry_point(ffi.get(), lib.get(), "yajl_alloc"));
    entries->parse = reinterpret_cast<decltype(Lib::parse)>(entry_point(ffi.get(), lib.get(), "yajl_parse"));
    entries->complete_parse =
        reinterpret_cast<decltype(Lib::complete_parse)>(entry_point(ffi.get(), lib.get(), "yajl_complete_parse"));
    entries->get_error =
        reinterpret_cast<decltype(Lib::get_error)>(entry_point(ffi.get(), lib.get(), "yajl_get_error"));
    entries->free_error =
        reinterpret_cast<decltype(Lib::free_error)>(entry_point(ffi.get(), lib.get(), "yajl_free_error"));
    entries->free = reinterpret_cast<decltype(Lib::free)>(entry_point(ffi.get(), lib.get(), "yajl_free"));
    return std::unique_ptr<YajlSource>(new YajlSource(parser, std::move(entries)));
}

YajlSource::YajlSource(PyObject* backend, std::unique_ptr<Lib> lib)
    : backend_(Ref::borrow(backend)), lib_(std::move(lib)), tstate_(PyThreadState_Get()) {}

YajlSource::~YajlSource() {
    if (handle_ != nullptr) lib_->free(static_cast<yajl_handle>(handle_));
}

Ref YajlSource::open(PyObject* file) {
    Ref common = get_attr(backend_.get(), "common");
    Ref source = call(get_attr(common.get(), "_get_source").get(), file);
    if (truth(call(get_attr(common.get(), "is_async_file").get(), source.get()).get()))
        return call_with_buf_size(get_attr(backend_.get(), "basic_parse_async").get(), source.get());
    if (!truth(call(get_attr(common.get(), "is_file").get(), source.get()).get())) {
        PyErr_Format(PyExc_ValueError, "Unknown source type: %R", reinterpret_cast<PyObject*>(Py_TYPE(source.get())));
        throw_error();
    }
    chunks_ = call_with_buf_size(get_attr(common.get(), "file_source").get(), source.get());
    return Ref();
}

void YajlSource::keep(Token&& token) {
    if (discard_) return;
    if (delivers_now()) {
        sink_->event(token);
        return;
    }
    events_.push_back(std::move(token));
}

namespace {

// The `n` (below 8) bytes at `p` as one word, the first byte lowest: read
// as two loads that may overlap, each byte landing where it belongs.
uint64_t tail_word(const unsigned char* p, size_t n) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        if (n >= 4) {
            uint32_t first, last;
            std::memcpy(&first, p, 4);
            std::memcpy(&last, p + n - 4, 4);
            return first | static_cast<uint64_t>(last) << (8 * (n - 4));
        }
        if (n == 0) return 0;
        return p[0] | static_cast<uint64_t>(p[n / 2]) << (8 * (n / 2)) |
               static_cast<uint64_t>(p[n - 1]) << (8 * (n - 1));
    }
    uint64_t tail = 0;
    for (size_t i = 0; i < n; ++i) tail |= static_cast<uint64_t>(p[i]) << (8 * i);
    return tail;
}

}  // namespace

bool YajlSource::push_ascii(Event kind, const unsigned char* text, size_t len) {
    if (build_ == nullptr) return false;
    // Read a word at a time (the last one zero-padded): checked for bytes
    // beyond ASCII, hashed, and kept as the words a short text compares by.
    constexpr size_t kWords = sizeof RecentText{}.words / 8;
    static_assert(kWords == 3, "the comparison below reads three words");
    uint64_t words[kWords] = {};
    uint64_t h = 0x9E3779B97F4A7C15ULL * (len + 1), high = 0;
    const size_t full = len & ~size_t{7};
    for (size_t i = 0; i < full; i += 8) {
        uint64_t word;
        std::memcpy(&word, text + i, 8);
        high |= word;
        h = (h ^ word) * 0xFF51AFD7ED558CCDULL;
        h ^= h >> 29;
        if (i / 8 < kWords) words[i / 8] = word;
    }
    const uint64_t tail = tail_word(text + full, len - full);
    if ((high | tail) & 0x8080808080808080ULL) return false;
    if (full / 8 < kWords) words[full / 8] = tail;
    h = (h ^ tail) * 0xC4CEB9FE1A85EC53ULL;
    Token token;
    token.kind = kind;
    token.form = Token::Form::id;
    // Words come again and again: the last one seen in each slot of a small
    // table is found by its characters, without the str hash.
    RecentText& slot = recent_[(h ^ (h >> 32)) & (kRecent - 1)];
    if (slot.length == len && len <= 8 * kWords && slot.words[0] == words[0] && slot.words[1] == words[1] &&
        slot.words[2] == words[2]) {
        token.id = slot.id;
    } else {
        if (api_->build_ascii(build_, reinterpret_cast<const char*>(text), static_cast<Py_ssize_t>(len), &token.id) < 0)
            throw_error();
        if (len <= 8 * kWords) {
            std::copy(words, words + kWords, slot.words);
            slot.length = static_cast<uint32_t>(len);
            slot.id = token.id;
        }
    }
    push(std::move(token));
    return true;
}

bool YajlSource::push_integer(const char* text, size_t len) {
    if (build_ == nullptr || len == 0 || len > kMaxShortInteger) return false;
    const bool negative = text[0] == '-';
    long long value = 0;
    for (const char* p = text + negative; p != text + len; ++p) {
        const unsigned digit = static_cast<unsigned char>(*p) - unsigned{'0'};
        if (digit > 9) return false;  // a fraction or an exponent
        value = value * 10 + digit;
    }
    Token token;
    token.kind = Event::Number;
    token.form = Token::Form::integer;
    token.integer = negative ? -value : value;
    push(std::move(token));
    return true;
}

void YajlSource::run_events(EventSink& sink) {
    sink_ = &sink;
    handle_ = lib_->alloc(&Callbacks::table, nullptr, this);
    if (handle_ == nullptr) throw std::bad_alloc();
    for (;;) {
        Ref data(PyIter_Next(chunks_.get()));
        if (!data) {
            if (PyErr_Occurred()) throw_error();
            return;
        }
        const bool last = parse_chunk(data.get());
        try {
            for (Token& token : events_) sink.event(token);
            sink.chunk_end();
        } catch (PyError&) {
            events_.clear();
            if (!parse_error_ && !last) finish_after_reader_error();
            throw;
        }
        events_.clear();
        if (parse_error_) parse_error_.raise();
        if (last) return;
    }
}

// Parses one chunk into events_, keeping its parse error for later. True for
// the last chunk, the file's empty read.
//
// A chunk that only continues the string or number that yajl holds is kept
// back instead: the backend would parse it to no event and no error, and it
// goes to yajl with the next chunk that does more, so that yajl reads what it
// holds once instead of once per chunk. Reads and events come in the same
// order; that next chunk is parsed on its own, so its errors read the same.
bool YajlSource::parse_chunk(PyObject* data) {
    auto* handle = static_cast<yajl_handle>(handle_);
    if (PyBytes_CheckExact(data)) {
        const auto* text = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(data));
        const auto len = static_cast<size_t>(PyBytes_GET_SIZE(data));
        if (len != 0 && lex_.continued_by(text, text + len)) {
            held_.append(reinterpret_cast<const char*>(text), len);
            return false;
        }
        if (!feed_held()) return false;
        text_begin_ = text;
        text_end_ = text + len;
        last_token_end_ = nullptr;
        hold(true);
        const yajl_status status = len != 0 ? lib_->parse(handle, text, len) : lib_->complete_parse(handle);
        hold(false);
        text_begin_ = text_end_ = nullptr;
        if (failure_) failure_.raise();
        if (status != yajl_status_ok) {
            keep_backend_error(status, text, len);
            lex_.lose();
        } else if (last_token_end_ != nullptr) {
            lex_.between_tokens();
            lex_.follow(last_token_end_, text + len);
        } else {
            lex_.follow(text, text + len);
        }
        return len == 0;
    }
    if (!feed_held()) return false;
    lex_.lose();  // the backend converts the chunk: where its tokens end is not seen
    Ref parse = get_attr(backend_.get(), "yajl_parse");
    Ref result(PyObject_CallFunctionObjArgs(parse.get(), handle_cdata(), data, nullptr));
    if (failure_) {
        PyErr_Clear();  // the backend's report of the cancel that this source's failure caused
        failure_.raise();
    }
    if (!result) {
        parse_error_.fetch();
        return true;
    }
    // The backend tests the chunk again to see whether it was the last.
    return !truth(data);
}

// Parses the chunks held back. They make no event and find no error (that
// is why they were held); should they, the events are delivered and the
// error raised as a chunk's would be. False then.
bool YajlSource::feed_held() {
    if (held_.empty()) return true;
    std::string held;
    held.swap(held_);
    const auto* text = reinterpret_cast<const unsigned char*>(held.data());
    hold(true);
    const yajl_status status = lib_->parse(static_cast<yajl_handle>(handle_), text, held.size());
    hold(false);
    if (failure_) failure_.raise();
    if (status == yajl_status_ok) return true;
    keep_backend_error(status, text, held.size());
    lex_.lose();
    return false;
}

// The backend's error for a failed yajl_parse: yajl's verbose message up to
// its first NUL, as str when it is UTF-8 and as bytes otherwise, in
// IncompleteJSONError for yajl_status_error and JSONError for a cancel.
void YajlSource::keep_backend_error(int status, const unsigned char* text, size_t len) {
    auto* handle = static_cast<yajl_handle>(handle_);
    unsigned char* error = lib_->get_error(handle, 1, text, len);
    if (error == nullptr) throw std::bad_alloc();
    const char* chars = reinterpret_cast<const char*>(error);
    const auto size = static_cast<Py_ssize_t>(std::strlen(chars));
    Ref message(PyUnicode_DecodeUTF8(chars, size, nullptr));
    if (!message && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
        PyErr_Clear();
        message = Ref(PyBytes_FromStringAndSize(chars, size));
    }
    lib_->free_error(handle, error);
    if (!message) throw_error();
    Ref common = get_attr(backend_.get(), "common");
    Ref cls = get_attr(common.get(), status == yajl_status_error ? "IncompleteJSONError" : "JSONError");
    Ref exception = call(cls.get(), message.get());
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
    parse_error_.fetch();
}

// The reader failed on an event of a chunk that parsed cleanly: the backend's
// generator is then closed, and its close finishes the parse of what it was
// given (converting a number that ended the chunk), ignoring any error.
void YajlSource::finish_after_reader_error() {
    SavedError reader_error;
    reader_error.fetch();
    discard_ = true;
    hold(true);
    lib_->complete_parse(static_cast<yajl_handle>(handle_));
    hold(false);
    failure_ = SavedError();
    reader_error.restore();
}

PyObject* YajlSource::handle_cdata() {
    if (!handle_cdata_) {
        Ref ffi = get_attr(backend_.get(), "ffi");
        Ref address = check(PyLong_FromVoidPtr(handle_));
        handle_cdata_ = cast(ffi.get(), "yajl_handle", address.get());
    }
    return handle_cdata_.get();
}

// Converts a token with the backend's own callback, called with this
// source's handle as its context. An empty Ref when that callback failed: it
// has reported the error and answered 0, as it would inside the backend.
Ref YajlSource::delegate(int index, const char* ctype, const void* text, size_t len) {
    Ref ffi = get_attr(backend_.get(), "ffi");
    if (!delegate_ctx_) {
        delegated_ = check(PyList_New(0));
        Ref append = get_attr(delegated_.get(), "append");
        Ref new_handle = get_attr(ffi.get(), "new_handle");
        delegate_ctx_ = call(new_handle.get(), append.get());
    }
    Ref callbacks = get_attr(backend_.get(), "_decimal_callback_data");
    Ref callback = check(PySequence_GetItem(callbacks.get(), index));
    Ref address = check(PyLong_FromVoidPtr(const_cast<void*>(text)));
    Ref pointer = cast(ffi.get(), ctype, address.get());
    Ref size = check(PyLong_FromSize_t(len));
    Ref answer =
        check(PyObject_CallFunctionObjArgs(callback.get(), delegate_ctx_.get(), pointer.get(), size.get(), nullptr));
    const long go_on = PyLong_AsLong(answer.get());
    if (go_on == -1 && PyErr_Occurred()) throw_error();
    if (go_on == 0) return Ref();
    // The callback sent (event, value) to the handle's append.
    const Py_ssize_t n = PyList_GET_SIZE(delegated_.get());
    if (n == 0) {
        PyErr_SetString(PyExc_SystemError, "yajl2_cffi's callback went on without a value");
        throw_error();
    }
    Ref sent = Ref::borrow(PyList_GET_ITEM(delegated_.get(), n - 1));
    check_status(PyList_SetSlice(delegated_.get(), 0, n, nullptr));
    return check(PySequence_GetItem(sent.get(), 1));
}

}  // namespace pjson

// The streaming reader's native event source, its side that faces ijson's
// yajl2_cffi backend: telling that the backend is the genuine one, finding
// yajl's entry points in the copy it loaded, and the callbacks through which
// yajl hands over its tokens (how the source works: yajl_source.cpp).
#include "streaming/yajl_lib.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <exception>
#include <new>
#include <string>

namespace pjson {

namespace {

constexpr long kBufSize = 64 * 1024;  // basic_parse's default buf_size

// The ijson releases whose yajl2_cffi backend this source reproduces.
constexpr const char* kKnownReleases[] = {"3.6.0"};

// Positions in the backend's _decimal_callback_data, the callbacks it
// registers (numbers as text, so integers keep any size).
constexpr int kNumberCallback = 4;
constexpr int kStringCallback = 5;
constexpr int kMapKeyCallback = 7;

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

// An integer of at most 18 characters (kMaxShortInteger) fits a long long.
// A fraction whose exponent has at most 6 digits reads as the correctly
// rounded double of its text, which is what float() gives for the
// backend's exact Decimal of it. Anything else: an empty Ref, and the
// backend converts it.
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
const yajl_callbacks* yajl_source_callbacks() noexcept { return &YajlSource::Callbacks::table; }

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

}  // namespace pjson

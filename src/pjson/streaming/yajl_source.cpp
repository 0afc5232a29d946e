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
#include "streaming/yajl_lib.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <string>

namespace pjson {

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
    handle_ = lib_->alloc(yajl_source_callbacks(), nullptr, this);
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

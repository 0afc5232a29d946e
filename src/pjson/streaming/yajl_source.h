// Parser events straight from the yajl library that ijson's yajl2_cffi
// backend has loaded, for the streaming reader. It stands in for that
// backend's basic_parse only where it cannot be told apart from it: the same
// reads of the file (through the backend's own chunk generator), the same
// events and values, the same errors at the same point. Values that it
// cannot prove to convert exactly as the backend does are converted by the
// backend's own callbacks.
#pragma once

#include "streaming/streaming.h"

#include <memory>
#include <string>
#include <utility>

namespace pjson {

// Receives the events of one chunk in document order.
class EventSink {
public:
    virtual void event(Token& token) = 0;
    virtual void chunk_end() = 0;  // the chunk's events are all delivered

protected:
    ~EventSink() = default;
};

// Where yajl's lexer stands at the end of the text it was given: between
// tokens, inside a string or a number that goes on past it, or not known.
// yajl keeps the beginning of a token cut by the end of a chunk and reads it
// again with every later chunk, so a value that spans many chunks would cost
// their square; knowing the lexer's state, a chunk that only continues such a
// value is held back and handed to yajl with the next ones.
class LexState {
public:
    // At the beginning of a document.
    LexState() = default;
    // Advances over [p, end), which yajl lexed without an error.
    void follow(const unsigned char* p, const unsigned char* end) noexcept;
    // Whether all of [p, end) only continues the string or number that the
    // lexer is inside: yajl would make no event and find no error in it
    // (strings are taken as continued only by printable ASCII and valid
    // escapes). Advances over it then; otherwise stays as it was.
    bool continued_by(const unsigned char* p, const unsigned char* end) noexcept;
    void lose() noexcept { state_ = kUnknown; }
    void between_tokens() noexcept { state_ = kBetween; }

    enum : unsigned char {
        kUnknown,
        kBetween,
        kLiteral,
        kString,
        kEscape,
        kHex1,  // hex digits of a \u escape still to come: 1 to 4
        kHex2,
        kHex3,
        kHex4,
        kMinus,  // numbers: after the sign, ...
        kZero,
        kInteger,
        kPoint,
        kFraction,
        kE,
        kExponentSign,
        kExponent,
    };

private:
    unsigned char state_ = kBetween;
};

class YajlSource {
public:
    // A source when `parser` (the module global ijson) is the genuine
    // yajl2_cffi backend that the start-up imported, of an ijson release
    // whose behaviour this source reproduces; nullptr otherwise.
    static std::unique_ptr<YajlSource> for_parser(const State& state, PyObject* parser);
    ~YajlSource();
    YajlSource(const YajlSource&) = delete;
    YajlSource& operator=(const YajlSource&) = delete;

    // What the backend's basic_parse does with `file` before its first
    // event. Returns the backend's own asynchronous iterable for a file whose
    // read is a coroutine function (the reader treats it as any parser);
    // otherwise an empty Ref, and run() delivers the events.
    Ref open(PyObject* file);

    // Strings of ASCII text become ids of `build` and short integers
    // integers, both without objects (see Token).
    void intern_into(const TesmoChainAPI* api, TesmoBuild* build) noexcept {
        api_ = api;
        build_ = build;
    }

    // Reads and parses chunk after chunk; each chunk's events reach `f`
    // after the whole chunk is parsed (as yajl makes them where this source
    // interns), then `chunk_end` is called and the chunk's parse error, if
    // any, is raised: the order in which the backend's generator works.
    template <class F, class G>
    void run(F&& f, G&& chunk_end) {
        struct Adapter final : EventSink {
            F& fn;
            G& end;
            Adapter(F& fn_, G& end_) : fn(fn_), end(end_) {}
            void event(Token& token) override { fn(token); }
            void chunk_end() override { end(); }
        } sink(f, chunk_end);
        run_events(sink);
    }

    struct Lib;  // the library's entry points
    struct Callbacks;

private:
    YajlSource(PyObject* backend, std::unique_ptr<Lib> lib);
    void run_events(EventSink& sink);
    bool parse_chunk(PyObject* data);
    void keep_backend_error(int status, const unsigned char* text, size_t len);
    PyObject* handle_cdata();
    Ref delegate(int index, const char* ctype, const void* text, size_t len);
    void push(Event kind, Ref value) { push(Token(kind, std::move(value))); }
    void push(Token&& token) {
        if (direct_) {
            sink_->event(token);
            return;
        }
        keep(std::move(token));
    }
    void keep(Token&& token);  // into events_, unless discarded
    // A string's id, or a short integer, when this source interns (false:
    // the value goes as an object).
    bool push_ascii(Event kind, const unsigned char* text, size_t len);
    bool push_integer(const char* text, size_t len);
    // A string (`quoted`) or number whose text yajl hands over: when the
    // text lies in the chunk being parsed, the lexer is between tokens right
    // after it.
    void token_ends(const void* text, size_t len, bool quoted) noexcept {
        const auto* begin = static_cast<const unsigned char*>(text);
        const auto* end = begin + len;  // the closing quote of a string
        if (begin <= text_begin_ || end >= text_end_ + (quoted ? 0 : 1)) return;
        if (quoted && *end != '"') return;
        last_token_end_ = quoted ? end + 1 : end;
    }
    bool feed_held();
    // Whether an event goes to the sink at once, inside yajl's callback:
    // where this source called yajl itself and the events fill a native
    // chain, which no code of the caller's looks at between them.
    bool delivers_now() const noexcept { return holding_ && build_ != nullptr && sink_ != nullptr; }
    // Holds or lets go of yajl, noting whether events then go to the sink at once.
    void hold(bool holding) noexcept {
        holding_ = holding;
        direct_ = delivers_now() && !discard_;
    }
    void finish_after_reader_error();

    Ref backend_;  // the yajl2_cffi module
    std::unique_ptr<Lib> lib_;
    void* handle_ = nullptr;
    PyThreadState* tstate_;
    Ref chunks_;                          // the backend's chunk generator over the file
    std::vector<Token> events_;           // the current chunk's, where not delivered at once
    EventSink* sink_ = nullptr;           // run_events' receiver
    const TesmoChainAPI* api_ = nullptr;  // interning (intern_into), or none
    TesmoBuild* build_ = nullptr;
    bool holding_ = false;  // inside this source's own call of yajl
    bool direct_ = false;   // and its events go to the sink at once (delivers_now, not discarded)
    // The ids of strings met lately (held by the build), a fixed few.
    struct RecentText {
        uint32_t length = UINT32_MAX;
        uint32_t id = 0;
        uint64_t words[3];  // the text as push_ascii reads it, zero-padded
    };
    static constexpr size_t kRecent = 16384;
    std::vector<RecentText> recent_ = std::vector<RecentText>(kRecent);
    SavedError parse_error_;  // the current chunk's, raised after its events
    SavedError failure_;      // an error of this source inside a callback
    Ref handle_cdata_;        // the handle as the backend's cffi sees it
    Ref delegated_;           // collects the value of a delegated conversion
    Ref delegate_ctx_;        // a cffi handle of its append
    bool discard_ = false;    // events of a parse finished after the reader failed
    // The bytes chunk being parsed, and where in it the last string or
    // number located in it ended (nullptr: none).
    const unsigned char* text_begin_ = nullptr;
    const unsigned char* text_end_ = nullptr;
    const unsigned char* last_token_end_ = nullptr;
    LexState lex_;
    std::string held_;  // chunks that only continue the token yajl holds, not yet parsed
};

}  // namespace pjson

// load_json_big's reader: parser events in, add_to_bag calls out. The reader
// knows where it is by its count of open containers, the last object key and
// whether the chain's next element is a start or a bag; one builder
// assembles the code table's list, each start that is a container and each
// next start. Nothing else of the document is held.
//
// stream_reader.cpp is the state machine over the events,
// stream_reader_native.cpp the choices that go straight into a native chain
// as ids, stream_reader_general.cpp the objects of the general way (event
// names, the builder, the lookup and the add_to_bag call).
#pragma once

#include "module/chain_sink.h"
#include "streaming/streaming.h"

#include <array>
#include <cstring>
#include <unordered_map>
#include <utility>
#include <vector>

namespace pjson {

// Event names by identity first (the parsers hand out the same few string
// objects again and again), then by value. Value matches are remembered for
// the call, holding the string so that its address cannot be reused.
class EventNames {
public:
    explicit EventNames(const Names& n);

    Event classify(PyObject* event) {
        for (const auto& [name, kind] : known_) {
            if (event == name) return kind;
        }
        for (const auto& [seen, kind] : seen_) {
            if (seen.get() == event) return kind;
        }
        Event kind = by_value(event);
        if (seen_.size() < kMaxSeen) seen_.emplace_back(Ref::borrow(event), kind);
        return kind;
    }

    // The name a parser gives events of this kind.
    PyObject* name(Event kind) const { return by_kind_[static_cast<size_t>(kind)]; }

private:
    static constexpr size_t kMaxSeen = 16;

    Event by_value(PyObject* event) const;

    std::array<std::pair<PyObject*, Event>, 9> known_;
    std::array<PyObject*, static_cast<size_t>(Event::Other) + 1> by_kind_{};  // nullptr: no name
    std::vector<std::pair<Ref, Event>> seen_;
};

// The parser gives fractions as Decimal. They are read as floats, the type
// the compact reader's decoders give them, so that a chain of float values
// reads back equal to the one written. (Asking the parser itself for floats
// would make it refuse integers beyond 64 bits.)
inline bool is_decimal(PyObject* value) {
    if (PyLong_CheckExact(value) || PyFloat_CheckExact(value)) return false;
    const char* name = Py_TYPE(value)->tp_name;
    return std::strcmp(name, "decimal.Decimal") == 0 || std::strcmp(name, "Decimal") == 0;
}

// The builder the module global ObjectBuilder names: while that is ijson's
// own class the native builder stands in for it; anything else is called
// exactly as a builder is, once per event.
class Builder {
public:
    explicit Builder(const Globals& globals) : state_(globals.state()) {
        Ref cls = globals.get(state_.names.g_ObjectBuilder);
        if (cls.get() != state_.ijson_object_builder) py_ = check(PyObject_CallNoArgs(cls.get()));
    }

    void event(Event kind, PyObject* event, PyObject* value) {
        if (!py_) {
            native_.event(kind, value);
            return;
        }
        PyObject* args[3] = {py_.get(), event, value};
        check(PyObject_VectorcallMethod(state_.names.event, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }

    Ref value() {
        if (!py_) return Ref::borrow(native_.value());
        return get_attr(py_.get(), state_.names.value);
    }

    bool native() const noexcept { return !py_; }

private:
    const State& state_;
    Ref py_;
    EventBuilder native_;
};

// Keys and values that a dict compares without Python code.
inline bool plain_scalar(PyObject* v) {
    return PyLong_CheckExact(v) || PyUnicode_CheckExact(v) || PyFloat_CheckExact(v) || PyBool_Check(v) || v == Py_None;
}

// The reader's lookup for the usual keys, the integers 0, 1, ... below its
// size, by index: what the lookup gave for them, without hashing.
class CodesByNumber {
public:
    // nullptr: none, every key is looked up in the lookup itself.
    void assign(PyObject* codes);
    // codes[key] and where its hint is kept (nullptr: nowhere); nullptr when
    // the lookup lacks it (no error set). The value is held by this lookup,
    // or else by `held`.
    PyObject* find(PyObject* codes, PyObject* key, uint32_t*& slot, std::vector<Ref>& held);
    // The same, KeyError when the lookup lacks it.
    PyObject* decode(PyObject* codes, PyObject* key, uint32_t*& slot, std::vector<Ref>& held);

    // The id of codes[n] for a key n that the lookup by number holds, made
    // once by `id_of` (which gives kNoId for a value it cannot give one);
    // kNoId otherwise.
    template <class IdOf>
    uint32_t id(long long n, IdOf&& id_of) {
        if (n < 0 || static_cast<unsigned long long>(n) >= values_.size() || !values_[static_cast<size_t>(n)].value)
            return kNoId;
        if (ids_.size() != values_.size()) ids_.assign(values_.size(), kUnknown);
        uint32_t& id = ids_[static_cast<size_t>(n)];
        if (id == kUnknown) id = id_of(values_[static_cast<size_t>(n)].value.get());
        return id;
    }

    static constexpr uint32_t kNoId = UINT32_MAX, kUnknown = UINT32_MAX - 1;

private:
    std::vector<LookupEntry> values_;
    std::vector<uint32_t> ids_;  // per key: the value's id in a native build, kUnknown until asked for
};

// The object a token stands for (`build` gave its id, if it has one).
inline Ref token_object(const TesmoChainAPI* api, TesmoBuild* build, const Token& token) {
    switch (token.form) {
        case Token::Form::id: {
            PyObject* value = api->build_id_value(build, token.id);
            if (value == nullptr) throw_error();
            return Ref::borrow(value);
        }
        case Token::Form::integer: return check(PyLong_FromLongLong(token.integer));
        case Token::Form::none: return Ref::borrow(Py_None);
        default: return Ref::borrow(token.object.get());
    }
}

// A copy of `token` as `kind`, kept at the end of `tokens`, its object held.
inline void keep_token(std::vector<Token>& tokens, Event kind, const Token& token) {
    Token& kept = tokens.emplace_back();
    kept.kind = kind;
    kept.form = token.form;
    kept.id = token.id;
    kept.integer = token.integer;
    if (token.form == Token::Form::object) kept.object = Ref::borrow(token.object.get());
}

// One container of the document that the reader takes whole: a next start,
// or a start that is an array or an object. Where the chain is filled
// natively (`build`), its events are kept as they come, so that a flat
// array of plain values needs no objects, and the builder builds it only
// when its value is asked for; otherwise the builder gets each event as it
// comes.
class Container {
public:
    Container(const TesmoChainAPI*& api, TesmoBuild*& build) : api_(api), build_(build) {}

    void begin() {
        keep_ = build_ != nullptr;
        built_ = false;
        containers_ = 0;
        events_.clear();
    }
    void event(Builder& builder, Event kind, PyObject* event, const Token& token) {
        if (!keep_) {
            give(builder, kind, event, token);
            return;
        }
        keep_token(events_, kind, token);
        if (kind != Event::Number && kind != Event::String && kind != Event::Null && kind != Event::Boolean)
            ++containers_;
    }
    // The values of a flat array of scalars, when the container is one: an
    // array's start and end are its only events of other kinds.
    bool flat() const {
        return keep_ && containers_ == 2 && events_.size() >= 2 && events_.front().kind == Event::StartArray &&
               events_.back().kind == Event::EndArray;
    }
    const Token* items() const { return events_.data() + 1; }
    size_t size() const { return events_.size() - 2; }
    // The value as the builder builds it; the builder's value then, until
    // it builds another.
    Ref value(Builder& builder, const EventNames& names);

private:
    // The event to the builder as it comes.
    [[gnu::noinline]] void give(Builder& builder, Event kind, PyObject* event, const Token& token);

    const TesmoChainAPI*& api_;
    TesmoBuild*& build_;
    bool keep_ = false;
    bool built_ = false;
    size_t containers_ = 0;  // kept events that are no scalar
    std::vector<Token> events_;
};

class StreamReader {
public:
    StreamReader(const Globals& globals, const CallArgs& args)
        : globals_(globals), file_(args.file), merge_(args.flag), chain_(args.chain), sink_(globals, args.chain) {}

    ~StreamReader() {
        if (build_ != nullptr) api_->build_free(build_);
    }

    void run();

private:
    static constexpr uint32_t kNoId = CodesByNumber::kNoId;

    Ref object_of(const Token& token) const { return token_object(api_, build_, token); }

    // Choices the build keeps back go into the chain: before Python code
    // runs that may look at it, and before a choice goes the general way.
    void flush() {
        if (build_ != nullptr && api_->build_flush(build_) < 0) throw_error();
    }

    bool compressed() const {
        if (codes_from_tokens_) return native_codes_.pairs > 0;
        return codes_ && PyDict_GET_SIZE(codes_.get()) > 0;
    }

    // The state machine (stream_reader.cpp).
    void deliver_native(Builder& builder, const EventNames& names, Token& token);
    void deliver_native_other(Builder& builder, const EventNames& names, Token& token);
    bool element_event(Builder& builder, const EventNames& names, Token& token);
    void element_step(Builder& builder, const EventNames& names, PyObject* event, const Token& token, bool is_start,
                      bool is_end);
    bool table_event(Builder& builder, const EventNames& names, Token& token);
    bool step_inside(Token& token, bool& is_start, bool& is_end);
    bool bag_event(Builder& builder, const EventNames& names, Token& token);
    void deliver(Builder& builder, const EventNames& names, PyObject* event, Token& token);
    void on_event(Builder& builder, const EventNames& names, PyObject* event, const Token& token);
    void next_start_event(Builder& builder, Event kind, PyObject* event, const Token& token, bool is_start,
                          bool is_end);
    void forget_next_start() {
        next_start_depth_ = 0;
        next_start_ready_ = false;
    }

    // Values as ids of the native chain (stream_reader_native.cpp).
    // An event of the "codes" array: kept as it comes where the chain is
    // filled natively, else handed to the builder.
    void codes_event(Builder& builder, Event kind, PyObject* event, const Token& token) {
        if (build_ == nullptr) {
            builder.event(kind, event, object_of(token).get());
            return;
        }
        keep_token(codes_tokens_, kind, token);
    }
    bool index_codes();
    uint32_t tokens_id(size_t begin, size_t end, int depth = 0);
    uint32_t code_id(const Token& key);
    uint32_t value_id(PyObject* value, int depth = 0);
    // The id of what a scalar token stands for: in a compressed document
    // the value its key decodes to (by number only), in a plain one the
    // value itself; kNoId where that takes the lookup's objects.
    uint32_t scalar_id(const Token& token, bool coded) {
        if (!coded && token.form == Token::Form::id) return token.id;
        return other_scalar_id(token, coded);
    }
    uint32_t other_scalar_id(const Token& token, bool coded);
    uint32_t start_id(bool coded);
    bool hand_over_native(const Token& count);

    // The general way (stream_reader_general.cpp).
    void read_codes(Builder& builder);
    void hand_over(Builder& builder, const EventNames& names, const Token& count_token);

    const Globals& globals_;
    PyObject* file_;
    PyObject* merge_;
    PyObject* chain_;
    ChainSink sink_;
    const TesmoChainAPI* api_ = nullptr;
    TesmoBuild* build_ = nullptr;    // the native chain's build, or none
    std::vector<PyObject*> values_;  // the decoded values of the next start handed over
    std::vector<uint32_t*> slots_;   // and where their hints are kept
    std::vector<uint32_t> ids_;      // the ids of a container's values
    Py_ssize_t depth_ = 0;
    bool events_seen_ = false;
    bool in_object_ = false;    // the document is an object
    bool chain_found_ = false;  // and a member "chain" of it an array
    bool in_codes_ = false;
    bool in_chain_ = false;
    bool building_bag_item_ = false;
    bool expect_bag_ = false;                  // the chain's next element is a bag
    Py_ssize_t element_depth_ = 0;             // open containers of a chain element that is no bag
    bool building_start_ = false;              // that element is a start
    Py_ssize_t next_start_depth_ = 0;          // open containers of the next start being built
    bool next_start_ready_ = false;            // a built next start waits for its count
    Container start_container_{api_, build_};  // the start, when it is a container
    Container next_start_{api_, build_};       // the next start being read
    Ref codes_;
    bool codes_plain_ = false;  // every key of codes_ is a plain value
    CodesByNumber by_code_;
    // The "codes" array's events where the chain is filled natively, and
    // the lookup over them (codes_ is then made from them only when needed).
    struct CodeValue {
        uint32_t begin, end;  // its tokens
        uint32_t id = CodesByNumber::kUnknown;
    };
    struct NativeCodes {
        std::vector<uint32_t> by_number;                 // key -> index into values, kNoId where none
        std::unordered_map<uint32_t, uint32_t> by_text;  // id of a string key -> index into values
        std::vector<CodeValue> values;
        size_t pairs = 0;  // distinct keys
        void clear() {
            by_number.clear();
            by_text.clear();
            values.clear();
            pairs = 0;
        }
    };
    std::vector<Token> codes_tokens_;
    NativeCodes native_codes_;
    bool codes_from_tokens_ = false;
    // The start: a scalar's token, or the container above (its object once
    // built); its id once asked for.
    Token start_ = Token(Event::Null, Ref::borrow(Py_None));
    bool start_is_container_ = false;
    Ref start_object_;
    uint32_t start_id_ = CodesByNumber::kUnknown;
    Ref last_key_ = Ref::borrow(Py_None);
};

}  // namespace pjson

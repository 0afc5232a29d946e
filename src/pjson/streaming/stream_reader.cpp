// load_json_big: parser events in, add_to_bag calls out. The reader knows
// where it is by its count of open containers, the last object key and
// whether the chain's next element is a start or a bag; one builder
// assembles the code table's list, each start that is a container and each
// next start. Nothing else of the document is held.
#include "document/code_table.h"
#include "document/short_ids.h"
#include "module/chain_sink.h"
#include "streaming/streaming.h"
#include "streaming/yajl_source.h"

#include <array>
#include <cstring>
#include <unordered_map>
#include <utility>

namespace pjson {

namespace {

bool starts_with(PyObject* str, const char* prefix) {
    Ref p = check(PyUnicode_FromString(prefix));
    Py_ssize_t match = PyUnicode_Tailmatch(str, p.get(), 0, PY_SSIZE_T_MAX, -1);
    if (match < 0) throw_error();
    return match == 1;
}

// Event names by identity first (the parsers hand out the same few string
// objects again and again), then by value. Value matches are remembered for
// the call, holding the string so that its address cannot be reused.
class EventNames {
public:
    explicit EventNames(const Names& n) {
        known_ = {{{n.number, Event::Number},
                   {n.string, Event::String},
                   {n.start_array, Event::StartArray},
                   {n.end_array, Event::EndArray},
                   {n.map_key, Event::MapKey},
                   {n.start_map, Event::StartMap},
                   {n.end_map, Event::EndMap},
                   {n.null, Event::Null},
                   {n.boolean, Event::Boolean}}};
        for (const auto& [name, kind] : known_) by_kind_[static_cast<size_t>(kind)] = name;
    }

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

    Event by_value(PyObject* event) const {
        if (!PyUnicode_Check(event)) {
            PyErr_Format(PyExc_TypeError, "parser event name must be str, not %.200s", Py_TYPE(event)->tp_name);
            throw_error();
        }
        for (const auto& [name, kind] : known_) {
            int cmp = PyUnicode_Compare(event, name);
            if (cmp == -1 && PyErr_Occurred()) throw_error();
            if (cmp == 0) return kind;
        }
        if (starts_with(event, "start_")) return Event::OtherStart;
        if (starts_with(event, "end_")) return Event::OtherEnd;
        return Event::Other;
    }

    std::array<std::pair<PyObject*, Event>, 9> known_;
    std::array<PyObject*, static_cast<size_t>(Event::Other) + 1> by_kind_{};  // nullptr: no name
    std::vector<std::pair<Ref, Event>> seen_;
};

// The parser gives fractions as Decimal. They are read as floats, the type
// the compact reader's decoders give them, so that a chain of float values
// reads back equal to the one written. (Asking the parser itself for floats
// would make it refuse integers beyond 64 bits.)
bool is_decimal(PyObject* value) {
    if (PyLong_CheckExact(value) || PyFloat_CheckExact(value)) return false;
    const char* name = Py_TYPE(value)->tp_name;
    return std::strcmp(name, "decimal.Decimal") == 0 || std::strcmp(name, "Decimal") == 0;
}

bool equals(PyObject* obj, PyObject* str) {
    if (obj == str) return true;
    if (PyUnicode_CheckExact(obj)) return PyUnicode_Compare(obj, str) == 0;
    return check_status(PyObject_RichCompareBool(obj, str, Py_EQ)) == 1;
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
bool plain_scalar(PyObject* v) {
    return PyLong_CheckExact(v) || PyUnicode_CheckExact(v) || PyFloat_CheckExact(v) || PyBool_Check(v) || v == Py_None;
}

bool plain_keys(PyObject* codes) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(codes, &pos, &key, &value))
        if (!plain_scalar(key)) return false;
    return true;
}

// The reader's lookup for the usual keys, the integers 0, 1, ... below its
// size, by index: what the lookup gave for them, without hashing.
class CodesByNumber {
public:
    // nullptr: none, every key is looked up in the lookup itself.
    void assign(PyObject* codes) {
        values_.clear();
        ids_.clear();
        if (codes == nullptr) return;
        const Py_ssize_t size = PyDict_GET_SIZE(codes);
        values_.reserve(static_cast<size_t>(size));
        for (Py_ssize_t i = 0; i < size; ++i) {
            Ref key = check(PyLong_FromSsize_t(i));
            PyObject* value = PyDict_GetItemWithError(codes, key.get());
            if (value == nullptr && PyErr_Occurred()) throw_error();
            values_.push_back(LookupEntry{Ref::borrow(value)});
        }
    }
    // codes[key] and where its hint is kept (nullptr: nowhere); nullptr when
    // the lookup lacks it (no error set). The value is held by this lookup,
    // or else by `held`.
    PyObject* find(PyObject* codes, PyObject* key, uint32_t*& slot, std::vector<Ref>& held) {
        slot = nullptr;
        if (PyLong_CheckExact(key)) {
            int overflow = 0;
            const long long n = PyLong_AsLongLongAndOverflow(key, &overflow);
            if (overflow == 0 && n >= 0 && static_cast<unsigned long long>(n) < values_.size() &&
                values_[static_cast<size_t>(n)].value) {
                LookupEntry& entry = values_[static_cast<size_t>(n)];
                slot = &entry.hint;
                return entry.value.get();
            }
        }
        PyObject* value = PyDict_GetItemWithError(codes, key);
        if (value == nullptr && PyErr_Occurred()) throw_error();
        if (value != nullptr) held.push_back(Ref::borrow(value));
        return value;
    }
    // The same, KeyError when the lookup lacks it.
    PyObject* decode(PyObject* codes, PyObject* key, uint32_t*& slot, std::vector<Ref>& held) {
        PyObject* value = find(codes, key, slot, held);
        if (value == nullptr) raise_key_error(key);
        return value;
    }

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

// A next start of a compressed document. add_to_bag is given a lazy
// iterator that decodes the builder's list as it is consumed, inside the
// call; the values are decoded here beforehand only where that is not seen:
// a flat list of plain keys that the lookup (whose keys are all plain) holds.
class CodedNextStart final : public NextStart {
public:
    // `plain_codes`: the lookup by number when the lookup's keys are all plain
    // and the values are wanted (the chain is filled directly).
    CodedNextStart(const State& state, Ref built, PyObject* codes, CodesByNumber* plain_codes,
                   std::vector<PyObject*>& scratch, std::vector<uint32_t*>& slots, std::vector<Ref>& held)
        : state_(state), built_(std::move(built)), codes_(codes) {
        scratch.clear();
        slots.clear();
        PyObject* list = built_.get();
        if (plain_codes == nullptr || !PyList_CheckExact(list)) return;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
            // Held: a lookup that meets a key put there since may run code.
            Ref key = Ref::borrow(PyList_GET_ITEM(list, i));
            if (!plain_scalar(key.get())) return;
            uint32_t* slot = nullptr;
            PyObject* value = plain_codes->find(codes, key.get(), slot, held);
            if (value == nullptr) return;  // the iterator raises the KeyError inside the call
            scratch.push_back(value);
            slots.push_back(slot);
        }
        values = scratch.data();
        this->slots = slots.data();
        length = scratch.size();
        known = stable = true;
    }
    Ref items() override { return decoding_iterator_new(state_, codes_, built_.get()); }

private:
    const State& state_;
    Ref built_;
    PyObject* codes_;
};

// The object a token stands for (`build` gave its id, if it has one).
Ref token_object(const TesmoChainAPI* api, TesmoBuild* build, const Token& token) {
    switch (token.form) {
        case Token::Form::id: {
            PyObject* value = api->build_id_value(build, token.id);
            if (value == nullptr) throw_error();
            return Ref::borrow(value);
        }
        case Token::Form::integer: return check(PyLong_FromLongLong(token.integer));
        default: return Ref::borrow(token.object.get());
    }
}

// A copy of `token` as `kind`, kept at the end of `tokens`, its object held.
void keep_token(std::vector<Token>& tokens, Event kind, const Token& token) {
    Token& kept = tokens.emplace_back();
    kept.kind = kind;
    kept.form = token.form;
    kept.id = token.id;
    kept.integer = token.integer;
    if (token.object) kept.object = Ref::borrow(token.object.get());
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
            Ref value = token_object(api_, build_, token);
            builder.event(kind, event, value.get());
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
    Ref value(Builder& builder, const EventNames& names) {
        if (keep_ && !built_) {
            for (const Token& token : events_) {
                Ref value = token_object(api_, build_, token);
                builder.event(token.kind, names.name(token.kind), value.get());
            }
            built_ = true;
        }
        return builder.value();
    }

private:
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

    void run() {
        const Names& n = globals_.names();
        if (!truth(merge_)) sink_.clear();
        Ref ijson = globals_.get(n.g_ijson);
        // yajl driven natively where the global is the backend it stands in for.
        std::unique_ptr<YajlSource> native = YajlSource::for_parser(globals_.state(), ijson.get());
        Ref parser;
        if (native) {
            parser = native->open(file_);
        } else {
            PyObject* call[2] = {ijson.get(), file_};
            parser = check(PyObject_VectorcallMethod(n.basic_parse, call, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        }
        Builder builder(globals_);
        EventNames event_names(n);
        if (!parser) {
            // Values go straight into a native chain as ids where the chain,
            // the source and the builder are all the module's own.
            const TesmoChainAPI* api = sink_.build_api(false);
            if (api != nullptr && builder.native()) {
                build_ = api->build_new(chain_, TESMO_BUILD_DIRECT);
                if (build_ == nullptr) throw_error();
                api_ = api;
                native->intern_into(api_, build_);
            }
            try {
                native->run([&](Token& token) { deliver_native(builder, event_names, token); }, [&] { flush(); });
            } catch (PyError&) {
                // What the build kept back reaches the chain before the error
                // leaves, as each choice would have with the general way.
                SavedError error;
                error.fetch();
                if (build_ != nullptr && api_->build_flush(build_) < 0) PyErr_Clear();
                error.raise();
            }
            flush();
        } else {
            Iter events(parser.get());
            Ref event, value;
            while (Ref pair = events.next()) {
                // An event handed out while an error is set means the parser
                // failed: ijson's C backend does so after an integer too long
                // to convert, and the event then holds no value at all.
                if (PyErr_Occurred()) throw_error();
                unpack_pair(pair.get(), event, value);
                Token token(event_names.classify(event.get()), std::move(value));
                deliver(builder, event_names, event.get(), token);
            }
        }
        // Any other JSON text would otherwise read as an empty chain.
        if (!chain_found_) {
            PyErr_SetString(PyExc_ValueError, in_object_ ? "no \"chain\" array" : "not a JSON object");
            throw_error();
        }
    }

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

    // An event of the "codes" array: kept as it comes where the chain is
    // filled natively, else handed to the builder.
    void codes_event(Builder& builder, Event kind, PyObject* event, const Token& token) {
        if (build_ == nullptr) {
            builder.event(kind, event, object_of(token).get());
            return;
        }
        keep_token(codes_tokens_, kind, token);
    }

    // The lookup as code_table_read builds it from the array, and the
    // lookup by number over it; from the kept events where there are any.
    void read_codes(Builder& builder) {
        if (build_ != nullptr) {
            EventBuilder rebuilt;
            for (const Token& token : codes_tokens_) {
                Ref value = object_of(token);
                rebuilt.event(token.kind, value.get());
            }
            codes_ = code_table_read(rebuilt.value());
        } else {
            codes_ = code_table_read(builder.value().get());
        }
        // Looked up by number only when no key can run code as the
        // lookup compares it.
        codes_plain_ = plain_keys(codes_.get());
        by_code_.assign(codes_plain_ ? codes_.get() : nullptr);
    }

    // The end of the token of `tokens` at `i`: past its closing event for a
    // container.
    static size_t token_end(const std::vector<Token>& tokens, size_t i) {
        const Event k = tokens[i].kind;
        if (k != Event::StartArray && k != Event::StartMap) return i + 1;
        size_t depth = 0;
        for (;; ++i) {
            const Event e = tokens[i].kind;
            if (e == Event::StartArray || e == Event::StartMap) ++depth;
            if ((e == Event::EndArray || e == Event::EndMap) && --depth == 0) return i + 1;
        }
    }

    // The kept "codes" array as a lookup natively: keys that are integers
    // from 0 (by number) or strings (by id), later pairs replacing earlier
    // ones; false for a table with keys of other kinds, which the lookup's
    // dict compares.
    bool index_codes() {
        NativeCodes& c = native_codes_;
        const std::vector<Token>& t = codes_tokens_;
        if (t.size() < 2 || t.front().kind != Event::StartArray || t.back().kind != Event::EndArray) return false;
        const size_t last = t.size() - 1;
        for (size_t i = 1; i < last;) {
            const size_t key = i;
            if (t[key].kind == Event::StartArray || t[key].kind == Event::StartMap) return false;
            const size_t value = key + 1;
            if (value >= last) break;  // an unpaired key is dropped
            const size_t after = token_end(t, value);
            uint32_t slot = static_cast<uint32_t>(c.values.size());
            c.values.push_back(CodeValue{static_cast<uint32_t>(value), static_cast<uint32_t>(after)});
            const Token& k = t[key];
            if (k.kind == Event::Number && k.form == Token::Form::integer && k.integer >= 0) {
                if (static_cast<unsigned long long>(k.integer) >= c.by_number.size()) {
                    if (static_cast<unsigned long long>(k.integer) > 2 * c.values.size() + 1024) return false;
                    c.by_number.resize(static_cast<size_t>(k.integer) + 1, kNoId);
                }
                if (c.by_number[static_cast<size_t>(k.integer)] == kNoId) ++c.pairs;
                c.by_number[static_cast<size_t>(k.integer)] = slot;
            } else if (k.kind == Event::String && k.form == Token::Form::id) {
                auto [at, added] = c.by_text.emplace(k.id, slot);
                if (added)
                    ++c.pairs;
                else
                    at->second = slot;
            } else {
                return false;
            }
            i = after;
        }
        codes_from_tokens_ = true;
        return true;
    }

    // The id of the value that the tokens [begin, end) of the kept table
    // stand for: a scalar, or an array as the equal tuple; kNoId for a map.
    uint32_t tokens_id(size_t begin, size_t end, int depth = 0) {
        const std::vector<Token>& t = codes_tokens_;
        if (t[begin].kind != Event::StartArray) {
            if (t[begin].kind == Event::StartMap) return kNoId;
            return scalar_id(t[begin], false);
        }
        if (depth >= 16) return kNoId;
        ShortIds items;
        for (size_t i = begin + 1; i + 1 < end;) {
            const size_t after = token_end(t, i);
            const uint32_t id = tokens_id(i, after, depth + 1);
            if (id == kNoId) return kNoId;
            items.push(id);
            i = after;
        }
        uint32_t id = 0;
        if (api_->build_tuple(build_, items.data(), static_cast<Py_ssize_t>(items.size()), &id) < 0) throw_error();
        return id;
    }

    // codes[key] as an id, for a key token of the chain; kNoId where the
    // native lookup lacks it (the general way then reports it).
    uint32_t code_id(const Token& key) {
        NativeCodes& c = native_codes_;
        uint32_t slot = kNoId;
        if (key.form == Token::Form::integer && key.kind == Event::Number) {
            if (key.integer >= 0 && static_cast<unsigned long long>(key.integer) < c.by_number.size())
                slot = c.by_number[static_cast<size_t>(key.integer)];
        } else if (key.form == Token::Form::id && key.kind == Event::String) {
            auto found = c.by_text.find(key.id);
            if (found != c.by_text.end()) slot = found->second;
        }
        if (slot == kNoId) return kNoId;
        CodeValue& v = c.values[slot];
        if (v.id == CodesByNumber::kUnknown) v.id = tokens_id(v.begin, v.end);
        return v.id;
    }

    // The id of a value of the plain kinds a document holds (a list as the
    // equal tuple); kNoId for any other.
    uint32_t value_id(PyObject* value, int depth = 0) {
        uint32_t id = kNoId;
        if (PyUnicode_CheckExact(value) || PyLong_CheckExact(value) || PyFloat_CheckExact(value) ||
            PyBool_Check(value) || value == Py_None) {
            if (api_->build_value(build_, value, &id) < 0) throw_error();
            return id;
        }
        if (!PyList_CheckExact(value) || depth >= 16) return id;
        // The items held: interning may run the collector, and with it code
        // that changes the list.
        std::vector<Ref> items;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) items.push_back(Ref::borrow(PyList_GET_ITEM(value, i)));
        std::vector<uint32_t> ids;
        for (const Ref& item : items) {
            ids.push_back(value_id(item.get(), depth + 1));
            if (ids.back() == kNoId) return kNoId;
        }
        if (api_->build_tuple(build_, ids.data(), static_cast<Py_ssize_t>(ids.size()), &id) < 0) throw_error();
        return id;
    }

    // The id of what a scalar token stands for: in a compressed document
    // the value its key decodes to (by number only), in a plain one the
    // value itself; kNoId where that takes the lookup's objects.
    uint32_t scalar_id(const Token& token, bool coded) {
        if (coded) {
            if (codes_from_tokens_) return code_id(token);
            if (token.form != Token::Form::integer || !codes_plain_) return kNoId;
            return by_code_.id(token.integer, [&](PyObject* v) { return value_id(v); });
        }
        if (token.form == Token::Form::id) return token.id;
        Ref value = object_of(token);
        return value_id(value.get());
    }

    // An event of the native source, whose names are the parser's own.
    void deliver_native(Builder& builder, const EventNames& names, Token& token) {
        if (building_bag_item_ && bag_event(builder, names, token)) return;
        if (in_codes_ && table_event(builder, names, token)) return;
        deliver(builder, names, names.name(token.kind), token);
    }

    // An event inside the "codes" array short of its end, in a small frame
    // as bag_event: false, nothing done, for the end (on_event takes it).
    // Reading the table, no case of on_event but its end and the table's
    // events applies.
    bool table_event(Builder& builder, const EventNames& names, Token& token) {
        bool is_start, is_end;
        if (!step_inside(token, is_start, is_end)) return false;
        codes_event(builder, token.kind, names.name(token.kind), token);
        return true;
    }

    // What on_event does first for an event two levels deep or more, and
    // true; false, nothing done, for one that would bring the depth under
    // two. A decimal number becomes a float, a map key is kept.
    bool step_inside(Token& token, bool& is_start, bool& is_end) {
        const Event kind = token.kind;
        is_start = kind == Event::StartMap || kind == Event::StartArray || kind == Event::OtherStart;
        is_end = kind == Event::EndMap || kind == Event::EndArray || kind == Event::OtherEnd;
        const Py_ssize_t depth = depth_ + (is_start ? 1 : 0) - (is_end ? 1 : 0);
        if (depth < 2) return false;
        if (kind == Event::Number && token.form == Token::Form::object && is_decimal(token.object.get()))
            token.object = check(PyNumber_Float(token.object.get()));
        depth_ = depth;
        if (kind == Event::MapKey) last_key_ = object_of(token);
        return true;
    }

    // An event inside a bag of the chain, where most events are, handled in
    // a small frame of its own: false, nothing done, where it would close
    // the chain or more (on_event then takes it). Otherwise the chain's
    // element is no start (element_depth_ is 0) and the table is not being
    // read, so of on_event's cases only the bag's end and its next starts
    // and counts apply.
    bool bag_event(Builder& builder, const EventNames& names, Token& token) {
        bool is_start, is_end;
        if (!step_inside(token, is_start, is_end)) return false;
        const Event kind = token.kind;
        if (kind == Event::EndArray && depth_ == 2) {
            building_bag_item_ = false;
            forget_next_start();
        } else if (next_start_depth_ > 0 || is_start) {
            next_start_event(builder, kind, names.name(kind), token, is_start, is_end);
        } else if (next_start_ready_ && !is_end) {
            next_start_ready_ = false;
            hand_over(builder, names, token);
        }
        return true;
    }

    void deliver(Builder& builder, const EventNames& names, PyObject* event, Token& token) {
        if (token.kind == Event::Number && token.form == Token::Form::object && is_decimal(token.object.get()))
            token.object = check(PyNumber_Float(token.object.get()));
        on_event(builder, names, event, token);
    }

    [[gnu::noinline]] void on_event(Builder& builder, const EventNames& names, PyObject* event, const Token& token) {
        const Event kind = token.kind;
        const bool is_start = kind == Event::StartMap || kind == Event::StartArray || kind == Event::OtherStart;
        const bool is_end = kind == Event::EndMap || kind == Event::EndArray || kind == Event::OtherEnd;
        const bool start_array = kind == Event::StartArray;
        const bool end_array = kind == Event::EndArray;
        if (depth_ == 0 && !events_seen_) {
            events_seen_ = true;
            in_object_ = kind == Event::StartMap;
        }
        if (is_start) ++depth_;
        if (is_end) --depth_;

        const bool scalar =
            kind == Event::Number || kind == Event::String || kind == Event::Null || kind == Event::Boolean;
        if (kind == Event::MapKey) last_key_ = object_of(token);

        const Names& n = globals_.names();
        if (!in_codes_ && !in_chain_ && start_array && depth_ == 2 && in_object_) {
            if (equals(last_key_.get(), n.codes)) {
                in_codes_ = true;
                codes_tokens_.clear();
                codes_event(builder, kind, event, token);
            } else if (equals(last_key_.get(), n.chain)) {
                in_chain_ = true;
                chain_found_ = true;
                expect_bag_ = false;
            }
        } else if (end_array && depth_ == 1) {
            if (in_codes_) {
                // The new table replaces any that an earlier "codes" made.
                native_codes_.clear();
                codes_from_tokens_ = false;
                codes_ = Ref();
                if (build_ != nullptr) {
                    codes_event(builder, kind, event, token);
                    if (!index_codes()) read_codes(builder);
                } else {
                    read_codes(builder);  // the table is read before the builder closes its list
                    builder.event(kind, event, object_of(token).get());
                }
            }
            in_codes_ = false;
            in_chain_ = false;
            building_bag_item_ = false;
            element_depth_ = 0;
            forget_next_start();
        } else if (in_chain_ && element_depth_ > 0) {
            // Inside an element of the chain that is a container and no bag:
            // a start, built whole as a next start is, or a bag that is no
            // array, skipped.
            if (building_start_) start_container_.event(builder, kind, event, token);
            if (is_start) ++element_depth_;
            if (is_end && --element_depth_ == 0 && building_start_) {
                // Built only when the general way needs it.
                start_object_ = build_ != nullptr ? Ref() : start_container_.value(builder, names);
                start_id_ = CodesByNumber::kUnknown;
                start_is_container_ = true;
                building_start_ = false;
            }
        } else if (in_chain_ && !building_bag_item_ && (depth_ == 3 ? is_start : depth_ == 2 && scalar)) {
            // The chain's elements pair up in order: a start, then its bag.
            const bool at_bag = std::exchange(expect_bag_, !expect_bag_);
            if (at_bag && start_array) {
                building_bag_item_ = true;
                forget_next_start();
            } else if (is_start) {
                element_depth_ = 1;
                building_start_ = !at_bag;
                if (building_start_) {
                    start_container_.begin();
                    start_container_.event(builder, kind, event, token);
                }
            } else if (!at_bag) {
                start_ = token.copy();
                start_is_container_ = false;
                start_id_ = CodesByNumber::kUnknown;
            }
        } else if (in_chain_ && end_array && depth_ == 2) {
            building_bag_item_ = false;
            forget_next_start();  // a next start without a count is dropped
        } else if (in_codes_) {
            codes_event(builder, kind, event, token);
        } else if (building_bag_item_ && (next_start_depth_ > 0 || is_start)) {
            next_start_event(builder, kind, event, token, is_start, is_end);
        } else if (building_bag_item_ && next_start_ready_ && !is_end) {
            next_start_ready_ = false;
            hand_over(builder, names, token);
        }
    }

    // A next start is one whole value: containers inside it are built into
    // it, and it ends when its own container closes. A second next start in
    // a row replaces the first. Only the first scalar after a next start is
    // its count; a scalar with no next start waiting for it is skipped.
    void next_start_event(Builder& builder, Event kind, PyObject* event, const Token& token, bool is_start,
                          bool is_end) {
        if (next_start_depth_ == 0) next_start_.begin();
        next_start_.event(builder, kind, event, token);
        if (is_start) ++next_start_depth_;
        if (is_end)
            next_start_ready_ = --next_start_depth_ == 0;
        else
            next_start_ready_ = false;
    }

    void forget_next_start() {
        next_start_depth_ = 0;
        next_start_ready_ = false;
    }

    // The id of the start for a native hand-over; kNoId where it goes the
    // general way. An array start of a plain document is the tuple of its
    // values; in a compressed one the lookup meets it as the list it is.
    uint32_t start_id(bool coded) {
        if (start_id_ != CodesByNumber::kUnknown) return start_id_;
        start_id_ = kNoId;
        if (!start_is_container_) {
            start_id_ = scalar_id(start_, coded);
        } else if (!coded && start_container_.flat()) {
            ids_.clear();
            for (size_t i = 0; i < start_container_.size(); ++i) {
                const uint32_t id = scalar_id(start_container_.items()[i], false);
                if (id == kNoId) return start_id_;
                ids_.push_back(id);
            }
            uint32_t id = 0;
            if (api_->build_tuple(build_, ids_.data(), static_cast<Py_ssize_t>(ids_.size()), &id) < 0) throw_error();
            start_id_ = id;
        }
        return start_id_;
    }

    // A choice straight into the native chain: false, nothing done, where
    // it must go the general way (a value or key that needs the lookup's
    // objects, a bag of another kind).
    bool hand_over_native(const Token& count) {
        if (!next_start_.flat()) return false;
        const bool coded = compressed();
        const uint32_t start = start_id(coded);
        if (start == kNoId) return false;
        ids_.clear();
        for (size_t i = 0; i < next_start_.size(); ++i) {
            const uint32_t id = scalar_id(next_start_.items()[i], coded);
            if (id == kNoId) return false;
            ids_.push_back(id);
        }
        Ref count_object;
        if (count.form != Token::Form::integer) count_object = object_of(count);
        const int added = api_->build_add(build_, start, ids_.data(), static_cast<Py_ssize_t>(ids_.size()),
                                          count.integer, count_object.get());
        if (added < 0) throw_error();
        return added == 1;
    }

    // Kept out of the callers' frames, which run for every event.
    [[gnu::noinline]] void hand_over(Builder& builder, const EventNames& names, const Token& count_token) {
        Method add_to_bag = sink_.add_to_bag_method();
        if (build_ != nullptr && !add_to_bag.bound && hand_over_native(count_token)) return;
        flush();
        if (codes_from_tokens_ && !codes_) read_codes(builder);
        Ref count = object_of(count_token);
        if (start_is_container_ && !start_object_) start_object_ = start_container_.value(builder, names);
        Ref start = start_is_container_ ? Ref::borrow(start_object_.get()) : object_of(start_);
        Ref built = next_start_.value(builder, names);
        if (compressed()) {
            // What the lookup gives is held until the chain has it: the
            // lookup by number holds its values, `held` the others.
            std::vector<Ref> held;
            StartValue decoded{nullptr, nullptr, true};
            decoded.value = by_code_.decode(codes_.get(), start.get(), decoded.slot, held);
            CodedNextStart items(globals_.state(), std::move(built), codes_.get(),
                                 codes_plain_ && !add_to_bag.bound ? &by_code_ : nullptr, values_, slots_, held);
            sink_.add_to_bag(add_to_bag, decoded, items, ReadCount{count.get()});
        } else {
            ListNextStart items(std::move(built), !add_to_bag.bound);
            sink_.add_to_bag(add_to_bag, StartValue{start.get()}, items, ReadCount{count.get()});
        }
    }

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

}  // namespace

void stream_load(const Globals& globals, const CallArgs& args) { StreamReader(globals, args).run(); }

}  // namespace pjson

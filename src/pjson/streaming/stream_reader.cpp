// load_json_big: parser events in, add_to_bag calls out. The reader knows
// where it is by its count of open containers, the last object key and
// whether the chain's next element is a start or a bag; one builder
// assembles the code table's list, each start that is a container and each
// next start. Nothing else of the document is held.
#include "document/code_table.h"
#include "module/chain_sink.h"
#include "streaming/streaming.h"
#include "streaming/yajl_source.h"

#include <array>
#include <cstring>
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
    PyObject* name(Event kind) const {
        for (const auto& [name, known] : known_) {
            if (known == kind) return name;
        }
        return nullptr;
    }

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

private:
    std::vector<LookupEntry> values_;
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

class StreamReader {
public:
    StreamReader(const Globals& globals, const CallArgs& args)
        : globals_(globals), file_(args.file), merge_(args.flag), sink_(globals, args.chain) {}

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
            native->run([&](Event kind, PyObject* value) { deliver(builder, kind, event_names.name(kind), value); });
        } else {
            Iter events(parser.get());
            Ref event, value;
            while (Ref pair = events.next()) {
                // An event handed out while an error is set means the parser
                // failed: ijson's C backend does so after an integer too long
                // to convert, and the event then holds no value at all.
                if (PyErr_Occurred()) throw_error();
                unpack_pair(pair.get(), event, value);
                deliver(builder, event_names.classify(event.get()), event.get(), value.get());
            }
        }
        // Any other JSON text would otherwise read as an empty chain.
        if (!chain_found_) {
            PyErr_SetString(PyExc_ValueError, in_object_ ? "no \"chain\" array" : "not a JSON object");
            throw_error();
        }
    }

private:
    void deliver(Builder& builder, Event kind, PyObject* event, PyObject* value) {
        if (kind == Event::Number && is_decimal(value)) {
            Ref number = check(PyNumber_Float(value));
            on_event(builder, kind, event, number.get());
            return;
        }
        on_event(builder, kind, event, value);
    }

    void on_event(Builder& builder, Event kind, PyObject* event, PyObject* value) {
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
        if (kind == Event::MapKey) last_key_.reset_borrowed(value);

        const Names& n = globals_.names();
        if (!in_codes_ && !in_chain_ && start_array && depth_ == 2 && in_object_) {
            if (equals(last_key_.get(), n.codes)) {
                in_codes_ = true;
                builder.event(kind, event, value);
            } else if (equals(last_key_.get(), n.chain)) {
                in_chain_ = true;
                chain_found_ = true;
                expect_bag_ = false;
            }
        } else if (end_array && depth_ == 1) {
            if (in_codes_) {
                // The new table replaces any that an earlier "codes" made.
                codes_ = code_table_read(builder.value().get());
                // Looked up by number only when no key can run code as the
                // lookup compares it.
                codes_plain_ = plain_keys(codes_.get());
                by_code_.assign(codes_plain_ ? codes_.get() : nullptr);
                builder.event(kind, event, value);
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
            if (building_start_) builder.event(kind, event, value);
            if (is_start) ++element_depth_;
            if (is_end && --element_depth_ == 0 && building_start_) {
                start_ = builder.value();
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
                if (building_start_) builder.event(kind, event, value);
            } else if (!at_bag) {
                start_.reset_borrowed(value);
            }
        } else if (in_chain_ && end_array && depth_ == 2) {
            building_bag_item_ = false;
            forget_next_start();  // a next start without a count is dropped
        } else if (in_codes_) {
            builder.event(kind, event, value);
        } else if (building_bag_item_ && (next_start_depth_ > 0 || is_start)) {
            // A next start is one whole value: containers inside it are
            // built into it, and it ends when its own container closes. A
            // second next start in a row replaces the first.
            builder.event(kind, event, value);
            if (is_start) ++next_start_depth_;
            if (is_end)
                next_start_ready_ = --next_start_depth_ == 0;
            else
                next_start_ready_ = false;
        } else if (building_bag_item_ && next_start_ready_ && !is_end) {
            // Only the first scalar after a next start is its count; a scalar
            // with no next start waiting for it is skipped.
            next_start_ready_ = false;
            hand_over(builder, value);
        }
    }

    void forget_next_start() {
        next_start_depth_ = 0;
        next_start_ready_ = false;
    }

    void hand_over(Builder& builder, PyObject* count) {
        Method add_to_bag = sink_.add_to_bag_method();
        if (codes_ && PyDict_GET_SIZE(codes_.get()) > 0) {
            // What the lookup gives is held until the chain has it: the
            // lookup by number holds its values, `held` the others.
            std::vector<Ref> held;
            StartValue decoded{nullptr, nullptr, true};
            decoded.value = by_code_.decode(codes_.get(), start_.get(), decoded.slot, held);
            CodedNextStart items(globals_.state(), builder.value(), codes_.get(),
                                 codes_plain_ && !add_to_bag.bound ? &by_code_ : nullptr, values_, slots_, held);
            sink_.add_to_bag(add_to_bag, decoded, items, ReadCount{count});
        } else {
            ListNextStart items(builder.value(), !add_to_bag.bound);
            sink_.add_to_bag(add_to_bag, StartValue{start_.get()}, items, ReadCount{count});
        }
    }

    const Globals& globals_;
    PyObject* file_;
    PyObject* merge_;
    ChainSink sink_;
    std::vector<PyObject*> values_;  // the decoded values of the next start handed over
    std::vector<uint32_t*> slots_;   // and where their hints are kept
    Py_ssize_t depth_ = 0;
    bool events_seen_ = false;
    bool in_object_ = false;    // the document is an object
    bool chain_found_ = false;  // and a member "chain" of it an array
    bool in_codes_ = false;
    bool in_chain_ = false;
    bool building_bag_item_ = false;
    bool expect_bag_ = false;          // the chain's next element is a bag
    Py_ssize_t element_depth_ = 0;     // open containers of a chain element that is no bag
    bool building_start_ = false;      // that element is a start
    Py_ssize_t next_start_depth_ = 0;  // open containers of the next start being built
    bool next_start_ready_ = false;    // a built next start waits for its count
    Ref codes_;
    bool codes_plain_ = false;  // every key of codes_ is a plain value
    CodesByNumber by_code_;
    Ref start_ = Ref::borrow(Py_None);
    Ref last_key_ = Ref::borrow(Py_None);
};

}  // namespace

void stream_load(const Globals& globals, const CallArgs& args) { StreamReader(globals, args).run(); }

}  // namespace pjson

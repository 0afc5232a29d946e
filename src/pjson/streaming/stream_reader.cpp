// The reader's state machine: where each event of the document belongs,
// from the native source or from any parser.
#include "streaming/stream_reader.h"

#include "streaming/yajl_source.h"

namespace pjson {

namespace {

bool equals(PyObject* obj, PyObject* str) {
    if (obj == str) return true;
    if (PyUnicode_CheckExact(obj)) return PyUnicode_Compare(obj, str) == 0;
    return check_status(PyObject_RichCompareBool(obj, str, Py_EQ)) == 1;
}

}  // namespace

void stream_load(const Globals& globals, const CallArgs& args) { StreamReader(globals, args).run(); }

// What on_event does first for an event two levels deep or more, and
// true; false, nothing done, for one that would bring the depth under
// two. A decimal number becomes a float, a map key is kept.
[[gnu::always_inline]] inline bool StreamReader::step_inside(Token& token, bool& is_start, bool& is_end) {
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

// A next start is one whole value: containers inside it are built into
// it, and it ends when its own container closes. A second next start in
// a row replaces the first. Only the first scalar after a next start is
// its count; a scalar with no next start waiting for it is skipped.
inline void StreamReader::next_start_event(Builder& builder, Event kind, PyObject* event, const Token& token,
                                           bool is_start, bool is_end) {
    if (next_start_depth_ == 0) next_start_.begin();
    next_start_.event(builder, kind, event, token);
    if (is_start) ++next_start_depth_;
    if (is_end)
        next_start_ready_ = --next_start_depth_ == 0;
    else
        next_start_ready_ = false;
}

// An event inside an element of the chain that is a container and no bag:
// a start, built whole as a next start is, or a bag that is no array,
// skipped.
inline void StreamReader::element_step(Builder& builder, const EventNames& names, PyObject* event, const Token& token,
                                       bool is_start, bool is_end) {
    if (building_start_) start_container_.event(builder, token.kind, event, token);
    if (is_start) ++element_depth_;
    if (is_end && --element_depth_ == 0 && building_start_) {
        // Built only when the general way needs it.
        start_object_ = build_ != nullptr ? Ref() : start_container_.value(builder, names);
        start_id_ = CodesByNumber::kUnknown;
        start_is_container_ = true;
        building_start_ = false;
    }
}

// An event inside a bag of the chain, where most events are, taken by
// kind in one frame: false, nothing done, where it would close the chain
// or more (on_event then takes it). Otherwise the chain's element is no
// start (element_depth_ is 0) and the table is not being read, so of
// on_event's cases only the bag's end and its next starts and counts
// apply. What step_inside does comes first here too.
[[gnu::always_inline]] inline bool StreamReader::bag_event(Builder& builder, const EventNames& names, Token& token) {
    const Event kind = token.kind;
    switch (kind) {
        case Event::StartArray:
        case Event::StartMap:
        case Event::OtherStart:
            if (depth_ + 1 < 2) return false;
            ++depth_;
            next_start_event(builder, kind, names.name(kind), token, true, false);
            return true;
        case Event::EndArray:
        case Event::EndMap:
        case Event::OtherEnd:
            if (depth_ - 1 < 2) return false;
            --depth_;
            if (kind == Event::EndArray && depth_ == 2) {
                building_bag_item_ = false;
                forget_next_start();
            } else if (next_start_depth_ > 0) {
                next_start_event(builder, kind, names.name(kind), token, false, true);
            }
            return true;
        default:
            if (depth_ < 2) return false;
            if (kind == Event::Number && token.form == Token::Form::object && is_decimal(token.object.get()))
                token.object = check(PyNumber_Float(token.object.get()));
            if (kind == Event::MapKey) last_key_ = object_of(token);
            if (next_start_depth_ > 0) {
                next_start_event(builder, kind, names.name(kind), token, false, false);
            } else if (next_start_ready_) {
                next_start_ready_ = false;
                hand_over(builder, names, token);
            }
            return true;
    }
}

// An event inside an element of the chain that is a container and no bag,
// taken as bag_event takes one: false, nothing done, where it would close
// the chain or more. The table is then not being read, and of on_event's
// cases only the element's applies.
[[gnu::always_inline]] inline bool StreamReader::element_event(Builder& builder, const EventNames& names,
                                                               Token& token) {
    bool is_start, is_end;
    if (!step_inside(token, is_start, is_end)) return false;
    element_step(builder, names, names.name(token.kind), token, is_start, is_end);
    return true;
}

// An event inside the "codes" array short of its end, taken as bag_event
// takes one: false, nothing done, for the end (on_event takes it).
// Reading the table, no case of on_event but its end and the table's
// events applies.
[[gnu::always_inline]] inline bool StreamReader::table_event(Builder& builder, const EventNames& names, Token& token) {
    bool is_start, is_end;
    if (!step_inside(token, is_start, is_end)) return false;
    codes_event(builder, token.kind, names.name(token.kind), token);
    return true;
}

// An event of the native source, whose names are the parser's own. Events
// inside bags (most of them), inside a start and inside the table are taken
// here, the others out of this frame.
[[gnu::always_inline]] inline void StreamReader::deliver_native(Builder& builder, const EventNames& names,
                                                                Token& token) {
    if (building_bag_item_ && bag_event(builder, names, token)) return;
    if (element_depth_ > 0 && in_chain_ && element_event(builder, names, token)) return;
    if (in_codes_ && table_event(builder, names, token)) return;
    deliver_native_other(builder, names, token);
}

[[gnu::noinline]] void StreamReader::deliver_native_other(Builder& builder, const EventNames& names, Token& token) {
    deliver(builder, names, names.name(token.kind), token);
}

void StreamReader::run() {
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

void StreamReader::deliver(Builder& builder, const EventNames& names, PyObject* event, Token& token) {
    if (token.kind == Event::Number && token.form == Token::Form::object && is_decimal(token.object.get()))
        token.object = check(PyNumber_Float(token.object.get()));
    on_event(builder, names, event, token);
}

[[gnu::noinline]] void StreamReader::on_event(Builder& builder, const EventNames& names, PyObject* event,
                                              const Token& token) {
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

    const bool scalar = kind == Event::Number || kind == Event::String || kind == Event::Null || kind == Event::Boolean;
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
        element_step(builder, names, event, token, is_start, is_end);
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

}  // namespace pjson

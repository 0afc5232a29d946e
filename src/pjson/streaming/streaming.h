// The streaming pair: the document written piece by piece through the
// file's write, and read back from incremental-parser events, holding no
// more than the code table and one next start.
#pragma once

#include "module/module.h"

#include <vector>

namespace pjson {

void stream_dump(const Globals& globals, const CallArgs& args);  // dump_json_big
void stream_load(const Globals& globals, const CallArgs& args);  // load_json_big
// At start-up, once `ijson` is bound: what the yajl2_cffi backend's parsing
// looks up, noted so that the native source stands in for it only while
// nothing of it was rebound.
void stream_note_ijson(State& state);

// obj.name with the name interned: the interpreter's attribute cache keys on
// the name object, and would keep one dead string per lookup of a fresh one.
inline Ref get_attr(PyObject* obj, const char* name) {
    Ref interned = check(PyUnicode_InternFromString(name));
    return get_attr(obj, interned.get());
}

// A Python error taken out of the interpreter while other Python code runs,
// to be set again afterwards.
struct SavedError {
    Ref type, value, traceback;
    explicit operator bool() const noexcept { return static_cast<bool>(type); }

    // Takes the error that is set.
    void fetch() noexcept {
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        type = Ref(t);
        value = Ref(v);
        traceback = Ref(tb);
    }
    // Sets it again.
    void restore() noexcept { PyErr_Restore(type.release(), value.release(), traceback.release()); }
    // Sets it again and throws PyError.
    [[noreturn]] void raise() {
        restore();
        throw_error();
    }
};

// Parser events by name. Names that merely begin with "start_" or "end_"
// open or close containers for the reader's depth but mean nothing else.
enum class Event : unsigned char {
    StartMap,
    StartArray,
    EndMap,
    EndArray,
    MapKey,
    Number,
    String,
    Null,
    Boolean,
    OtherStart,
    OtherEnd,
    Other,
};

// An event with its value: the object, or, where the reader fills a native
// chain, the value's id in the chain's vocabulary (a str met in the text,
// made only when the vocabulary lacks it), a short integer that has no
// object at all, or None (a container's start or end, a null) left unheld.
struct Token {
    enum class Form : unsigned char { object, id, integer, none };
    Event kind = Event::Other;
    Form form = Form::object;
    uint32_t id = 0;
    long long integer = 0;
    Ref object;

    Token() = default;
    Token(Event k, Ref value) : kind(k), object(std::move(value)) {}
    Token copy() const {
        Token t(kind, Ref::borrow(object.get()));
        t.form = form;
        t.id = id;
        t.integer = integer;
        return t;
    }
};

// Builds next starts and the code table's list from events, producing the
// same objects as ijson's ObjectBuilder (value None at first, lists and
// dicts, one current key) without a Python call per event.
class EventBuilder {
public:
    EventBuilder() : value_(Ref::borrow(Py_None)) {}
    void event(Event kind, PyObject* value);
    PyObject* value() const noexcept { return value_.get(); }  // borrowed

private:
    void add(PyObject* item);

    Ref value_;
    Ref key_;
    std::vector<Ref> containers_;
};

// The lazy next start handed to add_to_bag for a compressed document: an
// iterator over `value`, the builder's value when the choice was handed over,
// that looks each element up in the codes as it is pulled. It holds strong
// references throughout, so a caller may keep it past the call.
Ref decoding_iterator_new(const State& state, PyObject* codes, PyObject* value);
// The iterator's type, made for the module object `module`.
Ref decoding_iterator_type_new(PyObject* module);

}  // namespace pjson

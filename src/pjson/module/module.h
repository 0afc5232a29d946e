// The module frame: interned names, the module's globals as read at call
// time, argument handling, and the operations on the caller's chain, bags
// and file. Every other subsystem reaches the outside world through here.
#pragma once

#include "chain/chain_api.h"
#include "module/refs.h"

#include <vector>

namespace pjson {

// Names interned once at start-up: the operations on the chain, bags, file,
// encoder and parser; the module's globals; the document's members; the
// parser's event names. Each entry is (field, text).
#define PJSON_NAMES(X)                              \
    X(items, "items")                               \
    X(choices, "choices")                           \
    X(unique_count, "unique_count")                 \
    X(build_frequency_dict, "build_frequency_dict") \
    X(clear, "clear")                               \
    X(set_bag, "set_bag")                           \
    X(add_to_bag, "add_to_bag")                     \
    X(add, "add")                                   \
    X(write, "write")                               \
    X(dumps, "dumps")                               \
    X(dump, "dump")                                 \
    X(load, "load")                                 \
    X(read, "read")                                 \
    X(basic_parse, "basic_parse")                   \
    X(event, "event")                               \
    X(value, "value")                               \
    X(g_json, "json")                               \
    X(g_math, "math")                               \
    X(g_OrderedDict, "OrderedDict")                 \
    X(g_ObjectBuilder, "ObjectBuilder")             \
    X(g_ProbabilityBag, "ProbabilityBag")           \
    X(g_ijson, "ijson")                             \
    X(codes, "codes")                               \
    X(chain, "chain")                               \
    X(start_map, "start_map")                       \
    X(end_map, "end_map")                           \
    X(start_array, "start_array")                   \
    X(end_array, "end_array")                       \
    X(map_key, "map_key")                           \
    X(number, "number")                             \
    X(string, "string")                             \
    X(null, "null")                                 \
    X(boolean, "boolean")                           \
    X(dunder_len, "__len__")

// The document's pieces that never change.
#define PJSON_PIECES(X)            \
    X(open, "{\"codes\":[")        \
    X(chain_open, "],\"chain\":[") \
    X(entry_more, "],")            \
    X(entry_last, "]")             \
    X(close, "]}")

#define PJSON_FIELD(field, text) PyObject* field;

struct Names {
    PJSON_NAMES(PJSON_FIELD)
    PyObject* count_kwnames;  // ("count",), the keyword names of add and add_to_bag
};

struct Pieces {
    PJSON_PIECES(PJSON_FIELD)
};

// The genuine encoders whose behaviour native paths reproduce.
enum class JsonEncoder { ujson, json };

// What a native path needs to know of the encoder bound at import: which
// genuine one it is (`genuine` false: neither, or one not provably genuine),
// and its functions as they were then, so that a call can check that they
// are still in place.
struct ImportedJson {
    bool genuine;
    JsonEncoder kind;
    PyObject* load;
    PyObject* loads;
    PyObject* dump;
    PyObject* dumps;
    // For the standard json: what its loads and dumps look up with their
    // default arguments, as found at start-up (see json_defaults_unchanged).
    PyObject* defaults;
};

// The attributes of the native types that the writers use, by name, with
// what the types held under each name at start-up: a direct path stands in
// for them only while the types still hold these.
#define PJSON_NATIVE_WRITER_ATTRS(X)                                \
    X(chain_items, chain_type, items)                               \
    X(chain_build_frequency_dict, chain_type, build_frequency_dict) \
    X(chain_len, chain_type, dunder_len)                            \
    X(bag_choices, bag_type, choices)                               \
    X(bag_unique_count, bag_type, unique_count)

#define PJSON_ATTR_FIELD(field, type, name) PyObject* field;

struct NativeWriterAttrs {
    PJSON_NATIVE_WRITER_ATTRS(PJSON_ATTR_FIELD)
};

// Everything the module keeps, one per module object (so one per
// interpreter), filled once by its start-up and released with the module.
struct State {
    Names names;
    Pieces pieces;
    // What the start-up bound to the globals `json`, `OrderedDict`,
    // `ObjectBuilder` and `ijson`. A native path stands in for one of them
    // only while the global is still the object bound at import.
    PyObject* imported_json;
    ImportedJson json;
    PyObject* imported_ordered_dict;
    PyObject* ijson_object_builder;
    PyObject* imported_ijson;
    PyObject* ijson_watched;  // see stream_note_ijson
    PyObject* imported_probability_bag;
    PyObject* decoding_iterator_type;
    // The native chain's C API, from the capsule that `tesmo.bag` exports,
    // or nullptr: then no direct path. The two types are held so that the
    // module behind the table outlives this one.
    const TesmoChainAPI* chain_api;
    PyObject* chain_type;
    PyObject* bag_type;
    NativeWriterAttrs native_writer_attrs;
};

// ---------------------------------------------------------------------------
// Module globals, read from the module's namespace at every use, so that
// assigning `tesmo_cjson.json = json` switches the encoder for later calls.
// The Globals of a call also lead to the module's state.
class Globals {
public:
    Globals(PyObject* module, const State& state) : dict_(PyModule_GetDict(module)), state_(state) {}
    // New reference to the global, NameError when it was deleted.
    Ref get(PyObject* name) const;
    // The global as it is now, borrowed, or nullptr; sets no error.
    PyObject* peek(PyObject* name) const { return PyDict_GetItem(dict_, name); }

    const State& state() const noexcept { return state_; }
    const Names& names() const noexcept { return state_.names; }
    const Pieces& pieces() const noexcept { return state_.pieces; }

private:
    PyObject* dict_;  // borrowed from the module
    const State& state_;
};

// ---------------------------------------------------------------------------
// Argument handling shared by the four functions:
// f(chain, file, <flag>=<default>), positional or keyword.
struct CallArgs {
    PyObject* chain;  // all held by the call (see run in module.cpp)
    PyObject* file;
    PyObject* flag;
};

// The functions take a tuple and a dict rather than the fast-call form: the
// interpreter checks fast-call keyword names itself, with a message that does
// not name the function.
void parse_args(const char* fname, const char* flag_name, PyObject* flag_default, PyObject* args, PyObject* kwargs,
                CallArgs& out);

// ---------------------------------------------------------------------------
// Helpers over the C API.

// What a type's own dictionary holds under `name` (borrowed), or nullptr.
inline PyObject* type_attr(PyObject* type, PyObject* name) {
    return PyDict_GetItem(reinterpret_cast<PyTypeObject*>(type)->tp_dict, name);
}

bool truth(PyObject* obj);

// KeyError carrying `key` (wrapped so that a tuple key is not spread).
[[noreturn]] void raise_key_error(PyObject* key);

// Looks `key` up in an exact dict; KeyError carrying the key when absent.
PyObject* dict_lookup(PyObject* dict, PyObject* key);  // borrowed

// Unpacks `obj` into exactly two items. Exact tuples and lists are read
// directly; anything else is iterated for two items and one more `next`.
void unpack_pair(PyObject* obj, Ref& first, Ref& second);

// One forward pass over any iterable, reading exact lists and tuples by
// index. `next` returns an empty Ref at the end and throws on error.
class Iter {
public:
    explicit Iter(PyObject* iterable);
    Ref next();

private:
    Ref seq_;  // exact list or tuple
    Ref it_;   // otherwise the iterator
    Py_ssize_t pos_ = 0;
};

// ---------------------------------------------------------------------------
// Operations on the caller's objects. Each one looks its attribute up afresh.

Ref call_method0(PyObject* obj, PyObject* name);        // obj.name()
void call_method0_drop(PyObject* obj, PyObject* name);  // result dropped
Ref get_attr(PyObject* obj, PyObject* name);            // obj.name
// callable(a, count=count) or callable(a, b, count=count); result dropped.
void call_with_count(const Names& n, PyObject* callable, PyObject* a, PyObject* b, PyObject* count);
void write_piece(const Names& n, PyObject* file, PyObject* piece);  // file.write(piece)
// The module global encoder's dumps of one value, the global read afresh.
Ref encoder_dumps(const Globals& globals, PyObject* value);

// What names of module or class namespaces held at start-up, so that a
// native path stands in for the functions behind them only while each still
// holds the very same object. The record is a list of (namespace dict, name,
// value), or (namespace dict, name) for a name that was unbound.
class WatchedNames {
public:
    WatchedNames();
    // Notes what `dict[name]` holds now and returns it (borrowed; nullptr
    // when unbound).
    PyObject* watch(PyObject* dict, const char* name);
    Ref record() { return std::move(entries_); }

private:
    Ref entries_;
};
// Every name of a record still holds what it held; false for no record.
bool names_unchanged(PyObject* record);

// A tuple that takes over the references held in `items`.
Ref tuple_from(std::vector<Ref>& items);
// The tuple of `length` borrowed values (a next start's, as a bag hands it
// out), each held before the tuple is made.
Ref values_tuple(PyObject* const* values, Py_ssize_t length);
// Takes a tuple out of the cyclic collector's sight when none of its items
// can be part of a cycle, as the collector itself would do at its next pass;
// the converted documents hold millions of such tuples.
void untrack_if_acyclic(PyObject* tuple);

}  // namespace pjson

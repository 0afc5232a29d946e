// The module frame: interned names, the module's globals as read at call
// time, argument handling, and the operations on the caller's chain, bags
// and file. Every other subsystem reaches the outside world through here.
#pragma once

#include "module/refs.h"

#include <vector>

namespace pjson {

// Names interned once at start-up. Attribute names, the globals' names, the
// document's member names, the parser's event names and the keyword tuple
// for `count`.
struct Names {
    // operations on the chain, bags, file, encoder and parser
    PyObject* items;
    PyObject* choices;
    PyObject* unique_count;
    PyObject* build_frequency_dict;
    PyObject* clear;
    PyObject* set_bag;
    PyObject* add_to_bag;
    PyObject* add;
    PyObject* write;
    PyObject* dumps;
    PyObject* dump;
    PyObject* load;
    PyObject* basic_parse;
    PyObject* event;
    PyObject* value;
    PyObject* count_kwnames;  // ("count",)
    // module globals
    PyObject* g_json;
    PyObject* g_math;
    PyObject* g_OrderedDict;
    PyObject* g_ObjectBuilder;
    PyObject* g_ProbabilityBag;
    PyObject* g_ijson;
    // document members
    PyObject* codes;
    PyObject* chain;
    // parser events
    PyObject* start_map;
    PyObject* end_map;
    PyObject* start_array;
    PyObject* end_array;
    PyObject* map_key;
    PyObject* number;
    PyObject* string;
    PyObject* null;
    PyObject* boolean;
    // the class that `from ijson import ObjectBuilder` bound at import; the
    // streaming reader may stand in for it natively while the global is it
    PyObject* ijson_object_builder;
};

const Names& names() noexcept;
bool names_init();
void names_set_object_builder(PyObject* cls);

// ---------------------------------------------------------------------------
// Module globals, read from the module's namespace at every use, so that
// assigning `tesmo_cjson.json = json` switches the encoder for later calls.
class Globals {
public:
    explicit Globals(PyObject* module) : dict_(PyModule_GetDict(module)) {}
    // New reference to the global, NameError when it was deleted.
    Ref get(PyObject* name) const;

private:
    PyObject* dict_;  // borrowed from the module
};

// ---------------------------------------------------------------------------
// Argument handling shared by the four functions:
// f(chain, file, <flag>=<default>), positional or keyword.
struct CallArgs {
    PyObject* chain;  // all borrowed from the call
    PyObject* file;
    PyObject* flag;
};

// The functions take a tuple and a dict rather than the fast-call form: the
// interpreter checks fast-call keyword names itself, with a message that does
// not name the function.
void parse_args(const char* fname, const char* flag_name, PyObject* flag_default, PyObject* args,
                PyObject* kwargs, CallArgs& out);

// ---------------------------------------------------------------------------
// Helpers over the C API.

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

Ref call_method0(PyObject* obj, PyObject* name);             // obj.name()
void call_method0_drop(PyObject* obj, PyObject* name);       // result dropped
Ref get_attr(PyObject* obj, PyObject* name);                 // obj.name
// callable(a, count=count) or callable(a, b, count=count); result dropped.
void call_with_count(PyObject* callable, PyObject* a, PyObject* b, PyObject* count);
void write_piece(PyObject* file, PyObject* piece);            // file.write(piece)
// The module global encoder's dumps of one value, the global read afresh.
Ref encoder_dumps(const Globals& globals, PyObject* value);

// A tuple that takes over the references held in `items`.
Ref tuple_from(std::vector<Ref>& items);
// Takes a tuple out of the cyclic collector's sight when none of its items
// can be part of a cycle, as the collector itself would do at its next pass;
// the converted documents hold millions of such tuples.
void untrack_if_acyclic(PyObject* tuple);

}  // namespace pjson

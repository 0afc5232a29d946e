// load_json_small: one decoder call, the lookup from "codes", then the
// entries handed to the chain in document order, by new bags and set_bag
// (replace mode) or by add_to_bag per choice (merge mode).
#include "compact/compact.h"
#include "document/code_table.h"

#include <vector>

namespace pjson {

namespace {

// document[name]: a dict is read directly, anything else subscripted.
Ref member(PyObject* document, PyObject* name) {
    if (PyDict_CheckExact(document)) return Ref::borrow(dict_lookup(document, name));
    return check(PyObject_GetItem(document, name));
}

// A coded next start decoded element by element into a tuple; `values` is
// the caller's scratch space, reused from choice to choice.
Ref decode_next_start(PyObject* codes, PyObject* next_start, std::vector<Ref>& values) {
    values.clear();
    Iter it(next_start);
    while (Ref key = it.next()) values.push_back(Ref::borrow(dict_lookup(codes, key.get())));
    return tuple_from(values);
}

void load_merge(const Names& n, PyObject* chain, Iter& entries, PyObject* codes) {
    const bool compressed = PyDict_GET_SIZE(codes) > 0;
    std::vector<Ref> scratch;
    while (Ref start = entries.next()) {
        Ref bag = entries.next();
        if (!bag) break;
        Iter choices(bag.get());
        while (Ref next_start = choices.next()) {
            Ref count = choices.next();
            if (!count) break;
            Ref add_to_bag = get_attr(chain, n.add_to_bag);
            if (compressed) {
                // The start is decoded afresh for every choice, before its
                // next start, so a missing start is the one reported.
                PyObject* decoded = dict_lookup(codes, start.get());
                Ref keep = Ref::borrow(decoded);
                Ref items = decode_next_start(codes, next_start.get(), scratch);
                call_with_count(n, add_to_bag.get(), decoded, items.get(), count.get());
            } else {
                call_with_count(n, add_to_bag.get(), start.get(), next_start.get(), count.get());
            }
        }
    }
}

void load_replace(const Globals& globals, PyObject* chain, Iter& entries, PyObject* codes) {
    const Names& n = globals.names();
    const bool compressed = PyDict_GET_SIZE(codes) > 0;
    std::vector<Ref> scratch;
    call_method0_drop(chain, n.clear);
    while (Ref start = entries.next()) {
        Ref bag_array = entries.next();
        if (!bag_array) break;
        Iter choices(bag_array.get());
        Ref bag_class = globals.get(n.g_ProbabilityBag);
        Ref bag = check(PyObject_CallNoArgs(bag_class.get()));
        while (Ref next_start = choices.next()) {
            Ref count = choices.next();
            if (!count) break;
            Ref add = get_attr(bag.get(), n.add);
            Ref items = compressed ? decode_next_start(codes, next_start.get(), scratch)
                                   : check(PySequence_Tuple(next_start.get()));
            call_with_count(n, add.get(), items.get(), nullptr, count.get());
        }
        // The start is decoded only once its bag is filled: a start missing
        // from the table fails after the bag's adds, and the bag is dropped.
        Ref set_bag = get_attr(chain, n.set_bag);
        PyObject* decoded = compressed ? dict_lookup(codes, start.get()) : start.get();
        Ref keep = Ref::borrow(decoded);
        PyObject* call[3] = {nullptr, decoded, bag.get()};
        check(PyObject_Vectorcall(set_bag.get(), call + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }
}

}  // namespace

void compact_load(const Globals& globals, const CallArgs& args) {
    const Names& n = globals.names();
    Ref json = globals.get(n.g_json);
    PyObject* call[2] = {json.get(), args.file};
    Ref document = check(PyObject_VectorcallMethod(n.load, call, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    json = Ref();

    Ref codes_array = member(document.get(), n.codes);
    Ref codes = code_table_read(codes_array.get());
    codes_array = Ref();
    Ref chain_array = member(document.get(), n.chain);
    Iter entries(chain_array.get());

    if (truth(args.flag))
        load_merge(n, args.chain, entries, codes.get());
    else
        load_replace(globals, args.chain, entries, codes.get());
}

}  // namespace pjson

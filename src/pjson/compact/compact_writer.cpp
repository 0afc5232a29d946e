// dump_json_small: converts the chain into the document object (an ordered
// mapping of "codes" and "chain", tuples for the chain and its bags), then
// makes one call of the encoder's dump.
#include "compact/compact.h"
#include "document/code_table.h"

#include <vector>

namespace pjson {

namespace {

// The writer's lookup maps each value to the key the encoder renders for it:
// its position, or the value itself for a literal entry.
void compact_build_table(const Globals& globals, PyObject* chain, PyObject* codes, PyObject* codes_list) {
    CodeTable table(globals, chain, /*sized=*/false);
    TableEntry entry;
    while (table.next(entry)) {
        Ref key = entry.literal ? Ref::borrow(entry.value.get()) : check(PyLong_FromSsize_t(entry.position));
        check_status(PyDict_SetItem(codes, entry.value.get(), key.get()));
        check_status(PyList_Append(codes_list, key.get()));
        check_status(PyList_Append(codes_list, entry.value.get()));
    }
}

// gen_next_start, compressed: the keys of a next start's elements, collected
// in `keys` (scratch space) before the tuple is made, since each lookup may
// run the caller's __hash__ and __eq__.
Ref gen_next_start_keys(PyObject* codes, PyObject* next_start, std::vector<Ref>& keys) {
    keys.clear();
    Iter it(next_start);
    while (Ref element = it.next()) keys.push_back(Ref::borrow(dict_lookup(codes, element.get())));
    return tuple_from(keys);
}

// gen_chain: per (start, bag) the converted start, then the tuple of the
// bag's converted next starts and counts.
Ref gen_chain(const Names& n, PyObject* chain, PyObject* codes, bool compress) {
    std::vector<Ref> out;
    std::vector<Ref> bag_out;
    std::vector<Ref> scratch;
    Ref items = call_method0(chain, n.items);
    Iter entries(items.get());
    Ref start, bag, next_start, count;
    while (Ref entry = entries.next()) {
        unpack_pair(entry.get(), start, bag);
        out.push_back(compress ? Ref::borrow(dict_lookup(codes, start.get())) : std::move(start));

        Ref choices = call_method0(bag.get(), n.choices);
        Iter it(choices.get());
        bag_out.clear();
        while (Ref choice = it.next()) {
            unpack_pair(choice.get(), next_start, count);
            bag_out.push_back(compress ? gen_next_start_keys(codes, next_start.get(), scratch) : std::move(next_start));
            bag_out.push_back(std::move(count));
        }
        out.push_back(tuple_from(bag_out));
    }
    return tuple_from(out);
}

}  // namespace

void compact_dump(const Globals& globals, const CallArgs& args) {
    const Names& n = globals.names();
    Ref codes = check(PyDict_New());
    Ref codes_list = check(PyList_New(0));
    const bool compress = truth(args.flag);
    if (compress) compact_build_table(globals, args.chain, codes.get(), codes_list.get());

    Ref chain_tuple = gen_chain(n, args.chain, codes.get(), compress);

    Ref members = check(Py_BuildValue("[(OO)(OO)]", n.codes, codes_list.get(), n.chain, chain_tuple.get()));
    Ref ordered_dict = globals.get(n.g_OrderedDict);
    Ref document = check(PyObject_CallOneArg(ordered_dict.get(), members.get()));
    // Drop our own references so that the document is all that holds the
    // converted chain while the encoder runs.
    members = Ref();
    chain_tuple = Ref();
    codes_list = Ref();
    codes = Ref();

    Ref json = globals.get(n.g_json);
    PyObject* call[3] = {json.get(), document.get(), args.file};
    check(PyObject_VectorcallMethod(n.dump, call, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

}  // namespace pjson

// Where the readers' chain operations go. For an exact native Chain whose
// type still has its own methods, the operations go straight into it
// through its C API, values handed over with the ids the chain gave them
// before; for any other chain they are the calls of the chain and bag
// interface, each method looked up afresh at its use.
#pragma once

#include "module/module.h"

#include <vector>

namespace pjson {

// A count as a reader has it: the parsed object, or a machine integer read
// from the text with no object made for it.
struct ReadCount {
    PyObject* object = nullptr;  // borrowed; nullptr: `value` is the count
    long long value = 0;
    Ref make() const { return object != nullptr ? Ref::borrow(object) : check(PyLong_FromLongLong(value)); }
};

// A next start as a reader hands it over: its values when the reader has
// them at hand, and the object that the chain's or bag's method receives.
class NextStart {
public:
    // Held by the reader for the call: decoded values by its lookup by
    // number (taking a reference per use would touch every value, a cache
    // miss each for a large table) or one by one, others by the next start.
    PyObject* const* values = nullptr;
    size_t length = 0;
    bool known = false;   // `values` hold the next start
    bool stable = false;  // the values live as long as the reader's lookup (decoded ones)
    // Where the reader keeps each value's id hint (see LookupEntry), or
    // nullptr: for decoded values the sink then keeps it by address.
    uint32_t* const* slots = nullptr;
    virtual Ref items() = 0;

protected:
    ~NextStart() = default;
};

// A next start as parsed, handed over as it is. When it is a list or a tuple
// and its values are `wanted`, they are held while the chain's code runs,
// since whoever made the list may change it meanwhile.
class ListNextStart final : public NextStart {
public:
    ListNextStart(Ref object, bool wanted);
    Ref items() override { return Ref::borrow(object_.get()); }

private:
    Ref object_;
    std::vector<Ref> held_;
    std::vector<PyObject*> pointers_;
};

// A value of the reader's lookup with the id the chain gave it, once it
// has one: the hint comes back without a search. The value is held: Python
// code can reach the lookup through the collector and rebind its entries.
struct LookupEntry {
    Ref value;
    uint32_t hint = TESMO_NO_HINT;
};

// A start as a reader hands it over, with where its hint is kept (or
// nullptr), and whether it lives as long as the reader's lookup.
struct StartValue {
    PyObject* value;
    uint32_t* slot = nullptr;
    bool stable = false;
};

// One method of the caller's objects, fetched before the reader decodes what
// it passes, as the calls are made: the bound method, or nothing when the
// operation goes straight into a native chain or bag.
struct Method {
    Ref bound;
};

class ChainSink {
public:
    ChainSink(const Globals& globals, PyObject* chain);
    ChainSink(const ChainSink&) = delete;
    ChainSink& operator=(const ChainSink&) = delete;

    // The chain's C API when the chain's content may be built natively and
    // handed over at the end (a reader's one pass) or filled straight in
    // (`merge` or the streaming reader): the chain is exactly the native
    // type with its own methods and, where bags are made (`new_bags`), the
    // global ProbabilityBag is the native one as imported. Else nullptr.
    const TesmoChainAPI* build_api(bool new_bags);

    void clear();
    Method add_to_bag_method();
    void add_to_bag(const Method& method, const StartValue& start, NextStart& next_start, const ReadCount& count);

    // Replace mode of the compact reader: a new ProbabilityBag per entry,
    // filled by its add, then installed with set_bag.
    void new_bag();
    Method bag_add_method();
    void bag_add(const Method& method, NextStart& next_start, const ReadCount& count);
    Method set_bag_method();
    void set_bag(const Method& method, PyObject* start);

private:
    // Whether `type` still has the native methods (and, asked for it, its
    // own constructor; each watch is always asked alike): checked in full
    // when its version tag is not the one seen last.
    struct TypeWatch {
        PyTypeObject* type = nullptr;
        unsigned int tag = 0;
        bool unchanged(const char* const* methods, bool constructor);
    };

    bool direct_chain();
    bool direct_bag();
    bool native_bag_class();
    void hints_for(const StartValue* start, const NextStart& next_start);
    void keep_hints(const StartValue* start, const NextStart& next_start);

    const Globals& globals_;
    PyObject* chain_;  // borrowed from the call
    const TesmoChainAPI* api_;
    TypeWatch chain_type_, bag_type_;
    Ref bag_;                          // the bag being filled (replace mode)
    bool bag_in_chain_vocab_ = false;  // bag_ came from the chain's bag_new

    // The ids that the chain gave values it was handed, by the value's
    // address; only for values that live as long as the reader's lookup. A
    // stale entry is only a hint, which the chain checks.
    struct Slot {
        PyObject* value;
        uint32_t id;
    };
    std::vector<Slot> slots_;
    size_t used_ = 0;
    uint32_t find_hint(PyObject* value) const;
    void set_hint(PyObject* value, uint32_t id);

    // The hints of the operation at hand, and what the cache said before it.
    uint32_t start_hint_ = 0, start_before_ = 0;
    std::vector<uint32_t> hints_, before_;
};

}  // namespace pjson

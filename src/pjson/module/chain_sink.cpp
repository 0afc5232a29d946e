// The readers' chain operations: today's calls, or the native chain's C API.
//
// A direct operation does what the method it stands in for does, so it is
// taken only while the method is the type's own: the chain (or bag) is
// exactly the native type, the type's attribute lookup is the generic one,
// and its methods (and, to make a bag, its constructor) are the native
// ones. A type's version tag, which the interpreter changes whenever an
// attribute of the type is set, tells that nothing needs checking again.
#include "module/chain_sink.h"

#include <cstring>

namespace pjson {

namespace {

const char* const kChainMethods[] = {"clear", "add_to_bag", "set_bag", nullptr};
const char* const kBagMethods[] = {"add", nullptr};

// A method that `type` defines in C under its own name.
bool native_method(PyTypeObject* type, const char* name) {
    PyObject* method = PyDict_GetItemString(type->tp_dict, name);  // borrowed, sets no error
    if (method == nullptr || !Py_IS_TYPE(method, &PyMethodDescr_Type)) return false;
    const auto* descr = reinterpret_cast<PyMethodDescrObject*>(method);
    return descr->d_common.d_type == type && std::strcmp(descr->d_method->ml_name, name) == 0;
}

// `type()` makes an instance with the type's own __new__ and __init__.
bool native_constructor(PyTypeObject* type) {
    if (!Py_IS_TYPE(reinterpret_cast<PyObject*>(type), &PyType_Type)) return false;
    PyObject* init = PyDict_GetItemString(type->tp_dict, "__init__");
    PyObject* make = PyDict_GetItemString(type->tp_dict, "__new__");
    return init != nullptr && Py_IS_TYPE(init, &PyWrapperDescr_Type) &&
           reinterpret_cast<PyDescrObject*>(init)->d_type == type && make != nullptr && PyCFunction_Check(make) &&
           PyCFunction_GET_SELF(make) == reinterpret_cast<PyObject*>(type);
}

// The type's version tag, assigned now if it has none; 0 when the
// interpreter has none left to give.
unsigned int version_tag(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
    if (!PyUnstable_Type_AssignVersionTag(type)) return 0;
#else
    Ref name = check(PyUnicode_InternFromString("__init__"));
    _PyType_Lookup(type, name.get());  // assigns the tag as a side effect
    if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) return 0;
#endif
    return type->tp_version_tag;
}

PyObject* make_items(void* ctx) {
    try {
        return static_cast<NextStart*>(ctx)->items().release();
    } catch (PyError&) {
        return nullptr;
    } catch (std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (std::exception& e) {
        PyErr_Format(PyExc_SystemError, "tesmo_cjson: %s", e.what());
        return nullptr;
    }
}

size_t slot_of(PyObject* value, size_t mask) {
    return static_cast<size_t>((reinterpret_cast<uintptr_t>(value) >> 4) * 0x9E3779B97F4A7C15ULL) & mask;
}

}  // namespace

ListNextStart::ListNextStart(Ref object, bool wanted) : object_(std::move(object)) {
    PyObject* o = object_.get();
    if (!wanted || (!PyList_CheckExact(o) && !PyTuple_CheckExact(o))) return;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(o); ++i) {
        held_.push_back(Ref::borrow(PySequence_Fast_ITEMS(o)[i]));
        pointers_.push_back(held_.back().get());
    }
    values = pointers_.data();
    length = pointers_.size();
    known = true;
}

bool ChainSink::TypeWatch::unchanged(const char* const* methods, bool constructor) {
    if (tag != 0 && type->tp_version_tag == tag) return true;
    tag = 0;
    if (type->tp_getattro != PyObject_GenericGetAttr) return false;
    for (const char* const* name = methods; *name != nullptr; ++name)
        if (!native_method(type, *name)) return false;
    if (constructor && !native_constructor(type)) return false;
    tag = version_tag(type);
    return true;
}

ChainSink::ChainSink(const Globals& globals, PyObject* chain)
    : globals_(globals), chain_(chain), api_(globals.state().chain_api) {
    if (api_ != nullptr) {
        chain_type_.type = api_->ChainType;
        bag_type_.type = api_->BagType;
    }
}

bool ChainSink::direct_chain() {
    return api_ != nullptr && Py_IS_TYPE(chain_, chain_type_.type) && chain_type_.unchanged(kChainMethods, false);
}

bool ChainSink::direct_bag() {
    return bag_in_chain_vocab_ && Py_IS_TYPE(bag_.get(), bag_type_.type) && bag_type_.unchanged(kBagMethods, true);
}

uint32_t ChainSink::find_hint(PyObject* value) const {
    if (slots_.empty()) return TESMO_NO_HINT;
    const size_t mask = slots_.size() - 1;
    for (size_t i = slot_of(value, mask);; i = (i + 1) & mask) {
        if (slots_[i].value == value) return slots_[i].id;
        if (slots_[i].value == nullptr) return TESMO_NO_HINT;
    }
}

void ChainSink::set_hint(PyObject* value, uint32_t id) {
    if ((used_ + 1) * 2 > slots_.size()) {
        std::vector<Slot> old(slots_.empty() ? 64 : slots_.size() * 2, Slot{nullptr, 0});
        old.swap(slots_);
        used_ = 0;
        for (const Slot& s : old)
            if (s.value != nullptr) set_hint(s.value, s.id);
    }
    const size_t mask = slots_.size() - 1;
    size_t i = slot_of(value, mask);
    while (slots_[i].value != nullptr && slots_[i].value != value) i = (i + 1) & mask;
    if (slots_[i].value == nullptr) ++used_;
    slots_[i] = Slot{value, id};
}

void ChainSink::hints_for(const StartValue* start, const NextStart& next_start) {
    start_hint_ = TESMO_NO_HINT;
    if (start != nullptr && start->slot != nullptr)
        start_hint_ = *start->slot;
    else if (start != nullptr && start->stable)
        start_hint_ = find_hint(start->value);
    hints_.resize(next_start.length);
    for (size_t e = 0; e < next_start.length; ++e) {
        if (next_start.slots != nullptr && next_start.slots[e] != nullptr)
            hints_[e] = *next_start.slots[e];
        else
            hints_[e] = next_start.stable ? find_hint(next_start.values[e]) : TESMO_NO_HINT;
    }
    before_ = hints_;
    start_before_ = start_hint_;
}

void ChainSink::keep_hints(const StartValue* start, const NextStart& next_start) {
    if (start != nullptr && start_hint_ != start_before_) {
        if (start->slot != nullptr)
            *start->slot = start_hint_;
        else if (start->stable)
            set_hint(start->value, start_hint_);
    }
    for (size_t e = 0; e < next_start.length; ++e) {
        if (hints_[e] == before_[e]) continue;
        if (next_start.slots != nullptr && next_start.slots[e] != nullptr)
            *next_start.slots[e] = hints_[e];
        else if (next_start.stable)
            set_hint(next_start.values[e], hints_[e]);
    }
}

void ChainSink::clear() {
    if (direct_chain())
        check_status(api_->chain_clear(chain_));
    else
        call_method0_drop(chain_, globals_.names().clear);
}

Method ChainSink::add_to_bag_method() {
    if (direct_chain()) return Method{};
    return Method{get_attr(chain_, globals_.names().add_to_bag)};
}

void ChainSink::add_to_bag(const Method& method, const StartValue& start, NextStart& next_start,
                           const ReadCount& count) {
    const Names& n = globals_.names();
    if (method.bound || !next_start.known) {
        // The type's own method when the values are not at hand: fetching it
        // late is not seen, it is the one that would have been fetched.
        Ref bound = method.bound ? Ref::borrow(method.bound.get()) : get_attr(chain_, n.add_to_bag);
        Ref items = next_start.items();
        Ref count_object = count.make();
        call_with_count(n, bound.get(), start.value, items.get(), count_object.get());
        return;
    }
    hints_for(&start, next_start);
    check_status(api_->chain_add_hinted(chain_, start.value, &start_hint_, next_start.values, hints_.data(),
                                        static_cast<Py_ssize_t>(next_start.length), count.value, count.object,
                                        make_items, &next_start));
    keep_hints(&start, next_start);
}

bool ChainSink::native_bag_class() {
    const State& st = globals_.state();
    return globals_.peek(st.names.g_ProbabilityBag) == st.imported_probability_bag &&
           st.imported_probability_bag == reinterpret_cast<PyObject*>(bag_type_.type) &&
           bag_type_.unchanged(kBagMethods, true);
}

const TesmoChainAPI* ChainSink::build_api(bool new_bags) {
    if (!direct_chain() || (new_bags && !native_bag_class())) return nullptr;
    return api_;
}

void ChainSink::new_bag() {
    bag_in_chain_vocab_ = false;
    bag_ = Ref();
    if (direct_chain() && native_bag_class()) {
        // A bag of the chain's own vocabulary, so that set_bag need not move it.
        bag_ = check(api_->bag_new(chain_));
        bag_in_chain_vocab_ = true;
        return;
    }
    Ref bag_class = globals_.get(globals_.state().names.g_ProbabilityBag);
    bag_ = check(PyObject_CallNoArgs(bag_class.get()));
}

Method ChainSink::bag_add_method() {
    if (direct_bag()) return Method{};
    return Method{get_attr(bag_.get(), globals_.names().add)};
}

void ChainSink::bag_add(const Method& method, NextStart& next_start, const ReadCount& count) {
    const Names& n = globals_.names();
    if (method.bound || !next_start.known) {
        Ref bound = method.bound ? Ref::borrow(method.bound.get()) : get_attr(bag_.get(), n.add);
        Ref items = next_start.items();
        Ref count_object = count.make();
        call_with_count(n, bound.get(), items.get(), nullptr, count_object.get());
        return;
    }
    hints_for(nullptr, next_start);
    check_status(api_->bag_add_hinted(bag_.get(), next_start.values, hints_.data(),
                                      static_cast<Py_ssize_t>(next_start.length), count.value, count.object));
    keep_hints(nullptr, next_start);
}

Method ChainSink::set_bag_method() {
    if (direct_chain()) return Method{};
    return Method{get_attr(chain_, globals_.names().set_bag)};
}

void ChainSink::set_bag(const Method& method, PyObject* start) {
    Ref bag = std::move(bag_);
    bag_in_chain_vocab_ = false;
    if (!method.bound) {
        check_status(api_->chain_set_bag(chain_, start, bag.get()));
        return;
    }
    PyObject* call[3] = {nullptr, start, bag.get()};
    check(PyObject_Vectorcall(method.bound.get(), call + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

}  // namespace pjson

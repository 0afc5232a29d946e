// The reader's general way: event names matched by value, a container's
// value from the builder, the lookup read from the "codes" array, and a
// choice handed to add_to_bag as objects.
#include "document/code_table.h"
#include "streaming/stream_reader.h"

namespace pjson {

namespace {

bool starts_with(PyObject* str, const char* prefix) {
    Ref p = check(PyUnicode_FromString(prefix));
    Py_ssize_t match = PyUnicode_Tailmatch(str, p.get(), 0, PY_SSIZE_T_MAX, -1);
    if (match < 0) throw_error();
    return match == 1;
}

bool plain_keys(PyObject* codes) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(codes, &pos, &key, &value))
        if (!plain_scalar(key)) return false;
    return true;
}

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

}  // namespace

EventNames::EventNames(const Names& n) {
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

Event EventNames::by_value(PyObject* event) const {
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

void CodesByNumber::assign(PyObject* codes) {
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
PyObject* CodesByNumber::find(PyObject* codes, PyObject* key, uint32_t*& slot, std::vector<Ref>& held) {
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
PyObject* CodesByNumber::decode(PyObject* codes, PyObject* key, uint32_t*& slot, std::vector<Ref>& held) {
    PyObject* value = find(codes, key, slot, held);
    if (value == nullptr) raise_key_error(key);
    return value;
}

void Container::give(Builder& builder, Event kind, PyObject* event, const Token& token) {
    Ref value = token_object(api_, build_, token);
    builder.event(kind, event, value.get());
}

Ref Container::value(Builder& builder, const EventNames& names) {
    if (keep_ && !built_) {
        for (const Token& token : events_) {
            Ref value = token_object(api_, build_, token);
            builder.event(token.kind, names.name(token.kind), value.get());
        }
        built_ = true;
    }
    return builder.value();
}

// The lookup as code_table_read builds it from the array, and the
// lookup by number over it; from the kept events where there are any.
void StreamReader::read_codes(Builder& builder) {
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

// A choice whose count has come: straight into the native chain where it
// can go there, else to add_to_bag as objects.
void StreamReader::hand_over(Builder& builder, const EventNames& names, const Token& count_token) {
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

}  // namespace pjson

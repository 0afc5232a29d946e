// load_json_small: one decoder call, the lookup from "codes", then the
// entries handed to the chain in document order, by new bags and set_bag
// (replace mode) or by add_to_bag per choice (merge mode).
//
// With the genuine decoder as the module global `json`, the file is read as
// that decoder's load reads it and the text parsed natively, straight into
// the lookup and the walk; text the native parser refuses goes to the
// genuine loads, and its document through the same walk.
#include "compact/compact.h"
#include "compact/document_text.h"
#include "document/code_table.h"
#include "module/chain_sink.h"

#include <vector>

namespace pjson {

namespace {

// The document as the genuine decoder built it.
struct ObjectDoc {
    using Value = Ref;

    class Array {
    public:
        explicit Array(const Ref& array) : it_(array.get()) {}
        Ref next() { return it_.next(); }
        void passed(const Array&) {}

    private:
        Iter it_;
    };

    explicit ObjectDoc(Ref lookup) : codes(std::move(lookup)) {}
    bool compressed() const { return PyDict_GET_SIZE(codes.get()) > 0; }
    Ref object(const Ref& value) const { return Ref::borrow(value.get()); }
    // codes[key], held by `held`.
    PyObject* decode(const Ref& key, uint32_t*& slot, std::vector<Ref>& held) {
        slot = nullptr;
        held.push_back(Ref::borrow(dict_lookup(codes.get(), key.get())));
        return held.back().get();
    }
    Ref tuple(const Ref& value) const { return check(PySequence_Tuple(value.get())); }
    // The count as parsed; `held` keeps it.
    ReadCount count(const Ref& value, Ref& held) const {
        held = Ref::borrow(value.get());
        return ReadCount{held.get()};
    }

    Ref codes;
};

// The checked text, its values built only when the walk needs them.
struct TextDoc {
    using Value = TextElement;

    class Array {
    public:
        explicit Array(const char* array) : text_(array) {}
        explicit Array(const TextElement& array) : text_(array.at) {}
        TextElement next() { return text_.next(); }
        // The bag just walked ends where its own walk ended.
        void passed(const Array& element) { text_.passed(element.text_.end()); }

    private:
        TextArray text_;
    };

    // The lookup as code_table_read builds it, and its integer keys 0, 1,
    // ... by index, so that the walk's numeric codes skip the hashing.
    explicit TextDoc(const char* codes_array) : codes(check(PyDict_New())) {
        Array it(codes_array);
        while (TextElement key = it.next()) {
            TextElement value = it.next();
            if (!value) break;
            Ref k = text_value(key);
            Ref v = text_value(value);
            check_status(PyDict_SetItem(codes.get(), k.get(), v.get()));
        }
        // Only keys the document holds: as many as its pairs, no more.
        const Py_ssize_t size = PyDict_GET_SIZE(codes.get());
        by_code.reserve(static_cast<size_t>(size));
        for (Py_ssize_t i = 0; i < size; ++i) {
            Ref key = check(PyLong_FromSsize_t(i));
            PyObject* value = PyDict_GetItemWithError(codes.get(), key.get());
            if (value == nullptr && PyErr_Occurred()) throw_error();
            by_code.push_back(LookupEntry{Ref::borrow(value)});
        }
    }

    bool compressed() const { return PyDict_GET_SIZE(codes.get()) > 0; }
    Ref object(const TextElement& value) const { return text_value(value); }

    // codes[key], and where the value's hint is kept (nullptr: nowhere).
    // The value is held by the lookup by number, or else by `held`.
    PyObject* decode(const TextElement& key, uint32_t*& slot, std::vector<Ref>& held) {
        if (key.is_int && key.value >= 0 && static_cast<unsigned long long>(key.value) < by_code.size() &&
            by_code[static_cast<size_t>(key.value)].value) {
            LookupEntry& entry = by_code[static_cast<size_t>(key.value)];
            slot = &entry.hint;
            return entry.value.get();
        }
        slot = nullptr;
        Ref k = text_value(key);
        held.push_back(Ref::borrow(dict_lookup(codes.get(), k.get())));
        return held.back().get();
    }

    // tuple() of the array as parsed.
    Ref tuple(const TextElement& array) const {
        std::vector<Ref> items;
        TextArray it(array.at);
        while (TextElement item = it.next()) items.push_back(text_value(item));
        Ref t = check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
        for (size_t i = 0; i < items.size(); ++i)
            PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), items[i].release());
        return t;
    }

    // The common count, a short integer, needs no object.
    ReadCount count(const TextElement& value, Ref& held) const {
        if (value.is_int) return ReadCount{nullptr, value.value};
        held = text_value(value);
        return ReadCount{held.get()};
    }

    Ref codes;
    std::vector<LookupEntry> by_code;  // what `codes` gave for 0, 1, ...; nothing where it lacks the key
};

// A coded next start decoded element by element; the chain's method gets
// the tuple of the decoded values.
class DecodedNextStart final : public NextStart {
public:
    template <class Doc>
    DecodedNextStart(Doc& doc, const typename Doc::Value& next_start, std::vector<PyObject*>& scratch,
                     std::vector<uint32_t*>& slots, std::vector<Ref>& held)
        : values_(scratch) {
        values_.clear();
        slots.clear();
        typename Doc::Array it(next_start);
        while (auto key = it.next()) {
            uint32_t* slot = nullptr;
            values_.push_back(doc.decode(key, slot, held));
            slots.push_back(slot);
        }
        values = values_.data();
        this->slots = slots.data();
        length = values_.size();
        known = stable = true;
    }
    Ref items() override { return values_tuple(values, static_cast<Py_ssize_t>(length)); }

private:
    std::vector<PyObject*>& values_;  // held by the lookup by number or by the reader
};

template <class Doc>
void load_merge(ChainSink& sink, typename Doc::Array& entries, Doc& doc) {
    const bool compressed = doc.compressed();
    std::vector<PyObject*> scratch;
    std::vector<uint32_t*> slots;
    std::vector<Ref> held;  // decoded values that the lookup by number does not hold
    while (auto start = entries.next()) {
        auto bag = entries.next();
        if (!bag) break;
        typename Doc::Array choices(bag);
        Ref start_object;  // plain: the start as parsed, one object for all its choices
        while (auto next_start = choices.next()) {
            auto count = choices.next();
            if (!count) break;
            Method add_to_bag = sink.add_to_bag_method();
            Ref count_held;
            ReadCount count_read = doc.count(count, count_held);
            if (compressed) {
                // The start is decoded afresh for every choice, before its
                // next start, so a missing start is the one reported.
                held.clear();
                StartValue decoded{nullptr, nullptr, true};
                decoded.value = doc.decode(start, decoded.slot, held);
                DecodedNextStart items(doc, next_start, scratch, slots, held);
                sink.add_to_bag(add_to_bag, decoded, items, count_read);
            } else {
                if (!start_object) start_object = doc.object(start);
                ListNextStart items(doc.object(next_start), !add_to_bag.bound);
                sink.add_to_bag(add_to_bag, StartValue{start_object.get()}, items, count_read);
            }
        }
        entries.passed(choices);
    }
}

template <class Doc>
void load_replace(ChainSink& sink, typename Doc::Array& entries, Doc& doc) {
    const bool compressed = doc.compressed();
    std::vector<PyObject*> scratch;
    std::vector<uint32_t*> slots;
    std::vector<Ref> held;  // decoded values that the lookup by number does not hold
    sink.clear();
    while (auto start = entries.next()) {
        auto bag_array = entries.next();
        if (!bag_array) break;
        typename Doc::Array choices(bag_array);
        sink.new_bag();
        while (auto next_start = choices.next()) {
            auto count = choices.next();
            if (!count) break;
            Method add = sink.bag_add_method();
            Ref count_held;
            if (compressed) {
                held.clear();
                DecodedNextStart items(doc, next_start, scratch, slots, held);
                sink.bag_add(add, items, doc.count(count, count_held));
            } else {
                ListNextStart items(doc.tuple(next_start), !add.bound);
                sink.bag_add(add, items, doc.count(count, count_held));
            }
        }
        entries.passed(choices);
        // The start is decoded only once its bag is filled: a start missing
        // from the table fails after the bag's adds, and the bag is dropped.
        Method set_bag = sink.set_bag_method();
        held.clear();
        uint32_t* slot;
        Ref decoded = compressed ? Ref::borrow(doc.decode(start, slot, held)) : doc.object(start);
        sink.set_bag(set_bag, decoded.get());
    }
}

template <class Doc>
void load_entries(const Globals& globals, const CallArgs& args, typename Doc::Array& entries, Doc& doc) {
    const bool merge = truth(args.flag);
    ChainSink sink(globals, args.chain);
    if (merge)
        load_merge(sink, entries, doc);
    else
        load_replace(sink, entries, doc);
}

// document[name]: a dict is read directly, anything else subscripted.
Ref member(PyObject* document, PyObject* name) {
    if (PyDict_CheckExact(document)) return Ref::borrow(dict_lookup(document, name));
    return check(PyObject_GetItem(document, name));
}

// What the genuine load does to the file before it decodes: ujson's asks
// for a callable read ("expected file" otherwise) and calls it without
// arguments; json's is fp.read().
Ref read_like(const ImportedJson& json, const Names& n, PyObject* file) {
    if (json.kind == JsonEncoder::json) return call_method0(file, n.read);
    Ref read = ujson_file_method(file, "read");
    return check(PyObject_CallNoArgs(read.get()));
}

// The value of a flag whose truth needs no Python code; false for others.
bool plain_truth(PyObject* flag, bool& value) {
    if (flag != Py_True && flag != Py_False && flag != Py_None && !PyLong_CheckExact(flag)) return false;
    value = PyObject_IsTrue(flag) == 1;
    return true;
}

// The one pass into a native chain's build, for a text that is ASCII.
// False, having done nothing the caller could see, when it does not apply.
bool build_text(const Globals& globals, const CallArgs& args, PyObject* text) {
    const char* begin = nullptr;
    Py_ssize_t size = 0;
    if (PyUnicode_CheckExact(text) && PyUnicode_IS_ASCII(text)) {
        begin = static_cast<const char*>(PyUnicode_DATA(text));
        size = PyUnicode_GET_LENGTH(text);
    } else if (PyBytes_CheckExact(text)) {
        begin = PyBytes_AS_STRING(text);  // bytes beyond ASCII are refused where they stand
        size = PyBytes_GET_SIZE(text);
    } else {
        return false;
    }
    // The general walk tests the flag only once the document is read; a
    // flag whose test could be seen is left to it.
    bool merge = false;
    if (!plain_truth(args.flag, merge)) return false;
    ChainSink sink(globals, args.chain);
    const TesmoChainAPI* api = sink.build_api(!merge);
    return api != nullptr && compact_build_text(*api, args.chain, merge, begin, begin + size);
}

// The native reading of what the file gave: false, having done nothing,
// when the text is not one that the native parser reproduces exactly.
// Either genuine decoder reads ASCII text alike as str or as bytes.
bool load_text(const Globals& globals, const CallArgs& args, PyObject* text) {
    const char* begin = nullptr;
    Py_ssize_t size = 0;
    if (PyUnicode_CheckExact(text)) {
        if (!PyUnicode_IS_ASCII(text)) return false;
        begin = static_cast<const char*>(PyUnicode_DATA(text));
        size = PyUnicode_GET_LENGTH(text);
    } else if (PyBytes_CheckExact(text)) {
        begin = PyBytes_AS_STRING(text);
        size = PyBytes_GET_SIZE(text);
        for (Py_ssize_t i = 0; i < size; ++i)
            if (static_cast<unsigned char>(begin[i]) >= 0x80) return false;
    } else {
        return false;
    }
    TextLayout layout;
    if (!text_check(begin, begin + size, layout)) return false;
    TextDoc doc(layout.codes);
    TextDoc::Array entries(layout.chain);
    load_entries(globals, args, entries, doc);
    return true;
}

}  // namespace

void compact_load(const Globals& globals, const CallArgs& args) {
    const Names& n = globals.names();
    Ref json = globals.get(n.g_json);
    Ref document;
    if (const ImportedJson* genuine = genuine_json_for_load(globals, json.get())) {
        json = Ref();
        Ref text = read_like(*genuine, n, args.file);
        if (build_text(globals, args, text.get()) || load_text(globals, args, text.get())) return;
        PyObject* call[2] = {nullptr, text.get()};
        document = check(PyObject_Vectorcall(genuine->loads, call + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    } else {
        PyObject* call[2] = {json.get(), args.file};
        document = check(PyObject_VectorcallMethod(n.load, call, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        json = Ref();
    }

    Ref codes_array = member(document.get(), n.codes);
    ObjectDoc doc(code_table_read(codes_array.get()));
    codes_array = Ref();
    Ref chain_array = member(document.get(), n.chain);
    ObjectDoc::Array entries(chain_array);
    load_entries(globals, args, entries, doc);
}

}  // namespace pjson

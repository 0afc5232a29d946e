// dump_json_small: converts the chain into the document (an ordered mapping
// of "codes" and "chain", tuples for the chain and its bags), then makes one
// call of the encoder's dump. With the genuine ujson as encoder the document
// is rendered natively instead, byte for byte what ujson.dump writes, and
// written in the same one call of the file's write.
#include "compact/compact.h"
#include "compact/native_writer.h"
#include "document/code_table.h"
#include "document/native_chain.h"
#include "document/value_text.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pjson {

namespace {

// The writer's lookup maps each value to the key the encoder renders for it:
// its position, or the value itself for a literal entry. Returns whether
// every value of the table is plain.
bool compact_build_table(const Globals& globals, PyObject* chain, PyObject* codes, PyObject* codes_list) {
    CodeTable table(globals, chain, /*sized=*/false);
    TableEntry entry;
    bool plain = true;
    while (table.next(entry)) {
        Ref key = entry.literal ? Ref::borrow(entry.value.get()) : check(PyLong_FromSsize_t(entry.position));
        check_status(PyDict_SetItem(codes, entry.value.get(), key.get()));
        check_status(PyList_Append(codes_list, key.get()));
        check_status(PyList_Append(codes_list, entry.value.get()));
        plain = plain && plain_value(entry.value.get());
    }
    return plain;
}

// Cells appended in blocks of a fixed size: a chain of millions of choices
// is kept without a vector's copies on growing, and without its unused half.
class Cells {
public:
    void push_back(PyObject* cell) {
        if (used_ == kBlock) {
            std::unique_ptr<PyObject*[]> block(new PyObject*[kBlock]);
            blocks_.push_back(std::move(block));
            used_ = 0;
        }
        blocks_.back()[used_++] = cell;
    }

    class iterator {
    public:
        iterator(const Cells& cells, size_t block, size_t index) : cells_(cells), block_(block), index_(index) {}
        PyObject*& operator*() const { return cells_.blocks_[block_][index_]; }
        iterator& operator++() {
            if (++index_ == kBlock) {
                ++block_;
                index_ = 0;
            }
            return *this;
        }
        bool operator!=(const iterator& other) const { return block_ != other.block_ || index_ != other.index_; }

    private:
        const Cells& cells_;
        size_t block_;
        size_t index_;
    };
    iterator begin() const { return iterator(*this, 0, 0); }
    iterator end() const {
        // Past the last cell: the next block's start when the last one is full.
        if (blocks_.empty()) return begin();
        return used_ == kBlock ? iterator(*this, blocks_.size(), 0) : iterator(*this, blocks_.size() - 1, used_);
    }

private:
    static constexpr size_t kBlock = size_t{1} << 16;
    std::vector<std::unique_ptr<PyObject*[]>> blocks_;
    size_t used_ = kBlock;  // cells used in the last block
};

// The converted chain in document order, before it becomes tuples or text:
// each item the encoder would meet, and marks where a bag or a coded next
// start opens and closes. Cells own their items.
//
// With a text to write to, the tape also renders its items as they come, in
// the one pass over the chain, as long as each is immutable: its text at the
// end is then the one it has now. The first item that is not (a list, say)
// ends that, and the document is rendered from the tape at the end.
class Tape {
public:
    explicit Tape(std::string* text) {
        if (text != nullptr) eager_.emplace(*text);
    }
    Tape(const Tape&) = delete;
    Tape& operator=(const Tape&) = delete;
    ~Tape() {
        for (PyObject* cell : cells_)
            if (!is_mark(cell)) Py_XDECREF(cell);
    }

    void push(Ref item) {
        cells_.push_back(item.get());
        PyObject* cell = item.release();
        if (!eager_) return;
        if (comma_) eager_->put(',');
        comma_ = true;
        if (!immutable(cell, 0) || !eager_->value(cell, JsonEncoder::ujson)) eager_.reset();
    }
    void open() {
        cells_.push_back(open_mark());
        if (!eager_) return;
        if (comma_) eager_->put(',');
        eager_->put('[');
        comma_ = false;
    }
    void close() {
        cells_.push_back(close_mark());
        if (!eager_) return;
        eager_->put(']');
        comma_ = true;
    }
    // The text rendered as the items came: all of it, or false.
    bool rendered() {
        if (!eager_) return false;
        eager_->flush();
        eager_.reset();
        return true;
    }

    // The chain's array as the encoder writes it; false, with a text to be
    // given up, when an item's text cannot be proved equal.
    bool render(TextWriter& out, JsonEncoder encoder) const {
        bool comma = false;
        out.put('[');
        for (PyObject* cell : cells_) {
            if (cell == close_mark()) {
                out.put(']');
                comma = true;
                continue;
            }
            if (comma) out.put(',');
            if (cell == open_mark()) {
                out.put('[');
                comma = false;
                continue;
            }
            if (!out.value(cell, encoder)) return false;
            comma = true;
        }
        out.put(']');
        return true;
    }

    // The tuple of the chain, its bags and coded next starts, as they go to
    // the encoder. The items move from the tape into the tuples.
    Ref build() {
        std::vector<std::vector<Ref>> levels(1);
        size_t depth = 0;
        for (PyObject*& cell : cells_) {
            if (cell == open_mark()) {
                if (++depth == levels.size()) levels.emplace_back();
                levels[depth].clear();
            } else if (cell == close_mark()) {
                Ref tuple = tuple_from(levels[depth]);
                levels[--depth].push_back(std::move(tuple));
            } else {
                levels[depth].push_back(Ref(std::exchange(cell, nullptr)));
            }
        }
        return tuple_from(levels[0]);
    }

private:
    static PyObject* open_mark() { return reinterpret_cast<PyObject*>(&marks_[0]); }
    static PyObject* close_mark() { return reinterpret_cast<PyObject*>(&marks_[1]); }
    static bool is_mark(PyObject* cell) { return cell == open_mark() || cell == close_mark(); }

    // Objects no code can change: exact str, int, float, None, True, False
    // and exact tuples of them.
    static bool immutable(PyObject* item, int depth) {
        if (PyUnicode_CheckExact(item) || PyLong_CheckExact(item) || PyFloat_CheckExact(item) || item == Py_None ||
            PyBool_Check(item))
            return true;
        if (!PyTuple_CheckExact(item) || depth > 32) return false;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(item); ++i)
            if (!immutable(PyTuple_GET_ITEM(item, i), depth + 1)) return false;
        return true;
    }

    static inline char marks_[2];
    Cells cells_;
    std::optional<TextWriter> eager_;
    bool comma_ = false;
};

// The writer's lookup, remembering the value last met at each of a few
// thousand slots, for the values met over and over in a chain. Only where
// no lookup can run code of the caller's: every value of the table is of a
// builtin type compared natively, and the value looked up an exact str or
// int. A slot holds its value, so that its address cannot be reused for
// another value while it is remembered.
class KeyLookup {
public:
    explicit KeyLookup(PyObject* codes) : codes_(codes) {
        Py_ssize_t pos = 0;
        PyObject* value = nullptr;
        PyObject* key = nullptr;
        while (PyDict_Next(codes, &pos, &value, &key))
            if (!PyUnicode_CheckExact(value) && !PyLong_CheckExact(value) && !PyFloat_CheckExact(value) &&
                value != Py_None && !PyBool_Check(value))
                return;
        if (pos > 0) slots_.resize(kSlots);
    }
    KeyLookup(const KeyLookup&) = delete;
    KeyLookup& operator=(const KeyLookup&) = delete;
    ~KeyLookup() {
        for (Slot& slot : slots_) Py_XDECREF(slot.value);
    }

    // The key of `value`; KeyError carrying it when the table lacks it.
    PyObject* operator()(PyObject* value) {
        if (slots_.empty() || !(PyUnicode_CheckExact(value) || PyLong_CheckExact(value)))
            return dict_lookup(codes_, value);
        Slot& slot = slots_[(reinterpret_cast<uintptr_t>(value) >> 4) & (kSlots - 1)];
        if (slot.value == value) return slot.key;
        PyObject* key = dict_lookup(codes_, value);
        Py_INCREF(value);
        Py_XSETREF(slot.value, value);  // an exact str or int goes without running code
        slot.key = key;
        return key;
    }

private:
    struct Slot {
        PyObject* value = nullptr;  // owned
        PyObject* key = nullptr;    // borrowed from the table
    };
    static constexpr size_t kSlots = 4096;
    PyObject* codes_;
    std::vector<Slot> slots_;
};

// A bag's converted next starts and counts, read through its choices().
// Compressed next starts are the keys of their elements, each lookup free to
// run the caller's __hash__ and __eq__.
void gen_bag(const Names& n, PyObject* bag, KeyLookup& key_of, bool compress, Tape& tape) {
    Ref choices = call_method0(bag, n.choices);
    Iter it(choices.get());
    tape.open();
    Ref next_start, count;
    while (Ref choice = it.next()) {
        unpack_pair(choice.get(), next_start, count);
        if (compress) {
            tape.open();
            Iter elements(next_start.get());
            while (Ref element = elements.next()) tape.push(Ref::borrow(key_of(element.get())));
            tape.close();
        } else {
            tape.push(std::move(next_start));
        }
        tape.push(std::move(count));
    }
    tape.close();
}

// gen_chain: per (start, bag) the converted start, then the bag's converted
// next starts and counts.
void gen_chain(const Names& n, PyObject* chain, PyObject* codes, bool compress, Tape& tape) {
    KeyLookup key_of(codes);
    Ref items = call_method0(chain, n.items);
    Iter entries(items.get());
    Ref start, bag;
    while (Ref entry = entries.next()) {
        unpack_pair(entry.get(), start, bag);
        tape.push(compress ? Ref::borrow(key_of(start.get())) : std::move(start));
        gen_bag(n, bag.get(), key_of, compress, tape);
    }
}

// gen_chain for a native chain read through its C API: the same items, as
// the chain's and the bags' iterators would give them, from blocks read by
// index. A bag of another type is read through its choices().
void gen_native_chain(const Globals& globals, PyObject* chain, PyObject* codes, bool compress, Tape& tape) {
    const State& st = globals.state();
    KeyLookup key_of(codes);
    NativeEntries entries(st, chain);
    NativeEntry entry;
    TesmoChoice choice;
    PyObject* const* values;
    std::vector<Ref> held;
    while (entries.next(entry)) {
        // Nearly every step below may run code (a lookup, or making an int
        // or a tuple), so the bag of the block is held from the start.
        entries.keep_bag(entry);
        tape.push(compress ? Ref::borrow(key_of(entry.start.get())) : Ref::borrow(entry.start.get()));
        if (entry.block.get() == nullptr) {
            gen_bag(globals.names(), entry.bag.get(), key_of, compress, tape);
            continue;
        }
        NativeChoices choices(st.chain_api, entry.block.get());
        tape.open();
        while (choices.next(choice, values)) {
            // Everything the choice holds is held before any lookup runs.
            Ref count = choice.count_object != nullptr ? Ref::borrow(choice.count_object)
                                                       : check(PyLong_FromLongLong(choice.count));
            if (compress) {
                held.clear();
                for (Py_ssize_t i = 0; i < choice.length; ++i) held.push_back(Ref::borrow(values[i]));
                tape.open();
                for (const Ref& value : held) tape.push(Ref::borrow(key_of(value.get())));
                tape.close();
            } else {
                tape.push(values_tuple(values, choice.length));
            }
            tape.push(std::move(count));
        }
        tape.close();
    }
}

// The whole document as ujson renders it with its default settings, the
// chain's array rendered by `render_chain`.
template <class RenderChain>
bool render_document(std::string& text, PyObject* codes_list, RenderChain&& render_chain) {
    TextWriter out(text);
    out.put("{\"codes\":", 9);
    if (!out.value(codes_list, JsonEncoder::ujson)) return false;
    out.put(",\"chain\":", 9);
    if (!render_chain(out)) return false;
    out.put('}');
    out.flush();
    return true;
}

// The encoder `json` is now, when the native writer may stand in for it.
bool native_writer(const Globals& globals, PyObject* ordered_dict, PyObject* json) {
    if (ordered_dict != globals.state().imported_ordered_dict) return false;
    const ImportedJson* genuine = genuine_json_for_dump(globals, json);
    return genuine != nullptr && genuine->kind == JsonEncoder::ujson;
}

}  // namespace

void compact_dump(const Globals& globals, const CallArgs& args) {
    const Names& n = globals.names();
    const bool compress = truth(args.flag);
    const TesmoChainAPI* api = native_chain_api(globals.state(), args.chain);
    if (api != nullptr && native_bags_genuine(globals.state()) &&
        native_writer(globals, globals.peek(n.g_OrderedDict), globals.peek(n.g_json)) &&
        dump_by_id(api, args.chain, args.file, compress))
        return;
    Ref codes = check(PyDict_New());
    Ref codes_list = check(PyList_New(0));
    const bool codes_plain = !compress || compact_build_table(globals, args.chain, codes.get(), codes_list.get());

    // A native chain is rendered straight from its blocks when that runs no
    // Python code (a compressed chain's lookups run none only among plain
    // values): nothing can then change between the walk and the rendering,
    // and the globals read now are the ones read at the end.
    if (api != nullptr && native_bags_genuine(globals.state()) &&
        (!compress || (codes_plain && api->chain_values_plain(args.chain))) &&
        native_writer(globals, globals.peek(n.g_OrderedDict), globals.peek(n.g_json))) {
        std::string text;
        if (render_document(text, codes_list.get(), [&](TextWriter& out) {
                return render_native_chain(globals, args.chain, codes.get(), compress, out);
            })) {
            write_like_ujson(args.file, text);
            return;
        }
    }

    // A plain chain is rendered on the way, while its next starts are still
    // in the cache, when the native writer is likely to be wanted at the
    // end; whether it is, is decided there, when today's path reads the
    // globals. A compressed chain's keys stay in the cache anyway.
    std::string chain_text;
    const bool eager = !compress && native_writer(globals, globals.peek(n.g_OrderedDict), globals.peek(n.g_json));
    Tape tape(eager ? &chain_text : nullptr);
    if (api != nullptr)
        gen_native_chain(globals, args.chain, codes.get(), compress, tape);
    else
        gen_chain(n, args.chain, codes.get(), compress, tape);

    Ref ordered_dict = globals.get(n.g_OrderedDict);
    if (ordered_dict.get() == globals.state().imported_ordered_dict) {
        // Calling the genuine OrderedDict shows nothing to anyone, so the
        // native path may skip it. Nothing has run since the conversion
        // ended, so the document is rendered as the encoder would find it.
        Ref json = globals.get(n.g_json);
        if (native_writer(globals, ordered_dict.get(), json.get())) {
            std::string text;
            const bool rendered = tape.rendered();
            if (render_document(text, codes_list.get(), [&](TextWriter& out) {
                    if (!rendered) return tape.render(out, JsonEncoder::ujson);
                    out.put('[');
                    out.put(chain_text.data(), chain_text.size());
                    out.put(']');
                    return true;
                })) {
                chain_text = std::string();
                write_like_ujson(args.file, text);
                return;
            }
        }
    }

    Ref chain_tuple = tape.build();
    Ref members = check(Py_BuildValue("[(OO)(OO)]", n.codes, codes_list.get(), n.chain, chain_tuple.get()));
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

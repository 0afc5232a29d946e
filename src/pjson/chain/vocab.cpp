// The vocabulary that holds each value of a chain once, and the rules of
// value equality that the chain's tables share.
#include "chain/chain.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000
// 3.13 keeps the hash of bytes out of its public headers, though the
// interpreter still exports it (3.14 makes it public as Py_HashBuffer).
extern "C" PyAPI_FUNC(Py_hash_t) _Py_HashBytes(const void*, Py_ssize_t);
#endif

namespace pjson {

Graveyard::~Graveyard() {
    // Swapped out first: a release may run code that buries more.
    while (!dead_.empty()) {
        std::vector<PyObject*> dead;
        dead.swap(dead_);
        for (PyObject* obj : dead) Py_DECREF(obj);
    }
}

void Graveyard::bury(PyObject* stolen) {
    try {
        dead_.push_back(stolen);
    } catch (std::bad_alloc&) {
        Py_DECREF(stolen);  // out of memory: release now rather than leak
    }
}

void raise_key_error(PyObject* key) {
    Ref args = check(PyTuple_Pack(1, key));
    PyErr_SetObject(PyExc_KeyError, args.get());
    throw_error();
}

void raise_changed(const char* what) {
    PyErr_Format(PyExc_RuntimeError, "%s changed size during iteration", what);
    throw_error();
}

Py_hash_t tuple_hash(const Py_hash_t* hashes, size_t n) noexcept {
    return tuple_hash_by(n, [hashes](size_t i) { return hashes[i]; });
}

namespace {

constexpr int kDepth = 32;  // nesting of tuples that the plain rules follow

bool plain_at(PyObject* v, int depth) noexcept {
    if (PyUnicode_CheckExact(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) || PyBytes_CheckExact(v) ||
        PyBool_Check(v) || v == Py_None)
        return true;
    if (!PyTuple_CheckExact(v) || depth >= kDepth) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(v); ++i)
        if (!plain_at(PyTuple_GET_ITEM(v, i), depth + 1)) return false;
    return true;
}

// Values that may share an id: the same object, or plain values of the same
// type that nobody can tell apart (equal strings, equal ints, floats with the
// same bits). 1, 1.0 and True, 0.0 and -0.0 and two NaNs stay apart. Never
// runs Python code.
bool interchangeable(PyObject* a, PyObject* b, int depth) noexcept {
    if (a == b) return true;
    PyTypeObject* type = Py_TYPE(a);
    if (type != Py_TYPE(b)) return false;
    if (type == &PyUnicode_Type) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(a);
        return n == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
               std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(n) * PyUnicode_KIND(a)) == 0;
    }
    if (type == &PyLong_Type) {
        int r = PyObject_RichCompareBool(a, b, Py_EQ);  // int == int: no Python code, no error
        if (r < 0) {
            PyErr_Clear();
            return false;
        }
        return r == 1;
    }
    if (type == &PyFloat_Type) {
        double x = PyFloat_AS_DOUBLE(a), y = PyFloat_AS_DOUBLE(b);
        return x == y && std::signbit(x) == std::signbit(y);
    }
    if (type == &PyBytes_Type) {
        Py_ssize_t n = PyBytes_GET_SIZE(a);
        return n == PyBytes_GET_SIZE(b) && std::memcmp(PyBytes_AS_STRING(a), PyBytes_AS_STRING(b), n) == 0;
    }
    if (type == &PyTuple_Type && depth < kDepth) {
        Py_ssize_t n = PyTuple_GET_SIZE(a);
        if (n != PyTuple_GET_SIZE(b)) return false;
        for (Py_ssize_t i = 0; i < n; ++i)
            if (!interchangeable(PyTuple_GET_ITEM(a, i), PyTuple_GET_ITEM(b, i), depth + 1)) return false;
        return true;
    }
    return false;
}

}  // namespace

bool is_plain(PyObject* value) noexcept { return plain_at(value, 0); }

Ref frozen_value(PyObject* value) {
    if (!PyList_Check(value)) return Ref::borrow(value);
    if (Py_EnterRecursiveCall(" while storing a list as a tuple")) throw_error();
    struct Leave {
        ~Leave() { Py_LeaveRecursiveCall(); }
    } leave;
    // As tuple(map(frozen_value, value)): a list read by index to its
    // current end, any other by its iterator; each item held while the
    // next is made.
    std::vector<Ref> items;
    if (PyList_CheckExact(value)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(value, i));
            items.push_back(frozen_value(item.get()));
        }
    } else {
        Ref it = check(PyObject_GetIter(value));
        while (Ref item = Ref(PyIter_Next(it.get()))) items.push_back(frozen_value(item.get()));
        if (PyErr_Occurred()) throw_error();
    }
    return tuple_of(items);
}

bool values_equal(PyObject* stored, PyObject* probe, bool& ran_code) {
    if (stored == probe) return true;
    if (!(is_plain(stored) && is_plain(probe))) ran_code = true;
    // Both kept alive: the comparison may drop the last other reference.
    Ref a = Ref::borrow(stored), b = Ref::borrow(probe);
    return check_status(PyObject_RichCompareBool(a.get(), b.get(), Py_EQ)) == 1;
}

// ---------------------------------------------------------------------------
// VocabTable

VocabTable::~VocabTable() {
    for (VocabEntry& e : entries_) Py_XDECREF(e.value);
}

Py_hash_t str_hash_ascii(const char* text, size_t length) noexcept {
    // A str of ASCII text keeps that text as its data, one byte a character,
    // and hashes its data as bytes do.
#if PY_VERSION_HEX >= 0x030E0000
    return Py_HashBuffer(text, static_cast<Py_ssize_t>(length));
#else
    return _Py_HashBytes(text, static_cast<Py_ssize_t>(length));
#endif
}

uint32_t VocabTable::find_ascii(const char* text, size_t length, Py_hash_t hash) const noexcept {
    if (slots_.empty()) return kNoId;
    const size_t mask = slots_.size() - 1;
    const uint32_t tag = tag_of(hash);
    for (size_t i = static_cast<size_t>(hash) & mask; slots_[i].id1 != 0; i = (i + 1) & mask) {
        if (slots_[i].tag != tag) continue;
        const VocabEntry& e = entries_[slots_[i].id1 - 1];
        if (e.hash != hash || !PyUnicode_CheckExact(e.value) || !PyUnicode_IS_ASCII(e.value)) continue;
        if (static_cast<size_t>(PyUnicode_GET_LENGTH(e.value)) == length &&
            std::memcmp(PyUnicode_DATA(e.value), text, length) == 0)
            return slots_[i].id1 - 1;
    }
    return kNoId;
}

uint32_t VocabTable::find_tuple(const uint32_t* ids, size_t length, Py_hash_t hash) const noexcept {
    if (slots_.empty()) return kNoId;
    const size_t mask = slots_.size() - 1;
    const uint32_t tag = tag_of(hash);
    for (size_t i = static_cast<size_t>(hash) & mask; slots_[i].id1 != 0; i = (i + 1) & mask) {
        if (slots_[i].tag != tag) continue;
        const VocabEntry& e = entries_[slots_[i].id1 - 1];
        if (e.hash != hash || !PyTuple_CheckExact(e.value) || static_cast<size_t>(PyTuple_GET_SIZE(e.value)) != length)
            continue;
        bool same = true;
        for (size_t k = 0; k < length && same; ++k) {
            PyObject* item = entries_[ids[k]].value;  // nullptr once the collector cleared the table
            same = item != nullptr && interchangeable(PyTuple_GET_ITEM(e.value, static_cast<Py_ssize_t>(k)), item, 1);
        }
        if (same) return slots_[i].id1 - 1;
    }
    return kNoId;
}

void VocabTable::rehash(size_t cap) {
    std::vector<Slot> slots(cap, Slot{0, 0});
    size_t mask = cap - 1;
    for (uint32_t id = 0; id < entries_.size(); ++id) {
        if (entries_[id].value == nullptr) continue;
        size_t i = static_cast<size_t>(entries_[id].hash) & mask;
        while (slots[i].id1 != 0) i = (i + 1) & mask;
        slots[i] = Slot{tag_of(entries_[id].hash), id + 1};
    }
    slots_.swap(slots);
}

void VocabTable::reserve(size_t more) {
    size_t cap = slots_.empty() ? 16 : slots_.size();
    while ((live_ + more) * 3 > cap * 2) cap *= 2;
    if (cap != slots_.size()) rehash(cap);
    if (free_.size() < more) entries_.reserve(entries_.size() + more - free_.size());
}

uint32_t VocabTable::intern(PyObject* value, Py_hash_t hash) { return place(value, hash, -1); }

uint32_t VocabTable::intern_plain(PyObject* value, Py_hash_t hash) { return place(value, hash, 1); }

size_t VocabTable::probe(PyObject* value, Py_hash_t hash, bool& aliased, uint32_t& found) noexcept {
    size_t mask = slots_.size() - 1;
    size_t i = static_cast<size_t>(hash) & mask;
    aliased = false;
    const uint32_t tag = tag_of(hash);
    for (; slots_[i].id1 != 0; i = (i + 1) & mask) {
        if (slots_[i].tag != tag) continue;
        VocabEntry& e = entries_[slots_[i].id1 - 1];
        if (e.hash != hash) continue;
        if (interchangeable(e.value, value, 0)) {
            found = slots_[i].id1 - 1;
            return i;
        }
        // Equal hashes of values that stay apart: both may now meet values
        // equal to the other's.
        e.aliased = aliased = true;
    }
    found = kNoId;
    return i;
}

void VocabTable::fill(uint32_t id, size_t slot, PyObject* value, Py_hash_t hash, bool plain, bool aliased) noexcept {
    Py_INCREF(value);
    entries_[id] = VocabEntry{value, hash, 1, plain, aliased};
    slots_[slot] = Slot{tag_of(hash), id + 1};
    ++live_;
    if (!plain) ++nonplain_;
}

void VocabTable::presize(size_t n) {
    // Room first, while no entry is there for the rehash to pass over.
    reserve(n);
    entries_.assign(n, VocabEntry{nullptr, 0, 0, false, false});
}

uint32_t VocabTable::place_at(uint32_t id, PyObject* value, Py_hash_t hash) noexcept {
    bool aliased;
    uint32_t found;
    size_t slot = probe(value, hash, aliased, found);
    if (found != kNoId) return found;
    fill(id, slot, value, hash, true, aliased);
    return id;
}

uint32_t VocabTable::place(PyObject* value, Py_hash_t hash, int plain) {
    if ((live_ + 1) * 3 > slots_.size() * 2) rehash(slots_.empty() ? 16 : slots_.size() * 2);
    bool aliased;
    uint32_t found;
    size_t i = probe(value, hash, aliased, found);
    if (found != kNoId) {
        ++entries_[found].uses;
        return found;
    }
    uint32_t id;
    if (!free_.empty()) {
        id = free_.back();
        free_.pop_back();
    } else {
        if (entries_.size() >= UINT32_MAX - 1) throw std::bad_alloc();
        entries_.push_back(VocabEntry{nullptr, 0, 0, false, false});
        id = static_cast<uint32_t>(entries_.size() - 1);
    }
    fill(id, i, value, hash, plain < 0 ? is_plain(value) : plain != 0, aliased);
    return id;
}

bool VocabTable::holds_plain(uint32_t id, PyObject* value) const noexcept {
    if (id >= entries_.size()) return false;
    const VocabEntry& e = entries_[id];
    return e.value != nullptr && e.plain && interchangeable(e.value, value, 0);
}

void VocabTable::unlink(uint32_t id) {
    // Linear probing: remove by shifting later members of the run back.
    size_t mask = slots_.size() - 1;
    size_t i = static_cast<size_t>(entries_[id].hash) & mask;
    while (slots_[i].id1 != id + 1) i = (i + 1) & mask;
    size_t j = i;
    for (;;) {
        j = (j + 1) & mask;
        if (slots_[j].id1 == 0) break;
        const size_t at = home(slots_[j], mask);
        // Move slots_[j] into the hole at i unless its home lies in (i, j].
        bool stays = (i <= j) ? (i < at && at <= j) : (i < at || at <= j);
        if (!stays) {
            slots_[i] = slots_[j];
            i = j;
        }
    }
    slots_[i] = Slot{0, 0};
}

void VocabTable::release(uint32_t id, Graveyard& graves) {
    VocabEntry& e = entries_[id];
    if (e.value == nullptr || --e.uses > 0) return;
    unlink(id);
    PyObject* value = e.value;
    e.value = nullptr;
    --live_;
    if (!e.plain) --nonplain_;
    try {
        free_.push_back(id);
    } catch (std::bad_alloc&) {
        // the id is lost for reuse, nothing else
    }
    graves.bury(value);
}

void VocabTable::clear(Graveyard& graves) {
    // The entries stay, emptied and never reused, so that ids still held by
    // bags that the collector has yet to clear read as released.
    for (VocabEntry& e : entries_) {
        if (e.value != nullptr) graves.bury(e.value);
        e.value = nullptr;
        e.uses = 0;
    }
    std::fill(slots_.begin(), slots_.end(), Slot{0, 0});
    free_.clear();
    live_ = 0;
    nonplain_ = 0;
}

int VocabTable::traverse(visitproc visit, void* arg) {
    for (VocabEntry& e : entries_) Py_VISIT(e.value);
    return 0;
}

// ---------------------------------------------------------------------------
// The Vocabulary type: never handed to Python code, it exists so that the
// collector sees the values it holds exactly once.

namespace {

PyObject* vocab_alloc(PyTypeObject* type) {
    Vocab* self = reinterpret_cast<Vocab*>(type->tp_alloc(type, 0));
    if (self == nullptr) return nullptr;
    self->table = new (std::nothrow) VocabTable();
    if (self->table == nullptr) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return reinterpret_cast<PyObject*>(self);
}

PyObject* vocab_tp_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "cannot create 'Vocabulary' instances");
    return nullptr;
}

int vocab_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    VocabTable* t = reinterpret_cast<Vocab*>(self)->table;
    return t ? t->traverse(visit, arg) : 0;
}

int vocab_clear(PyObject* self) {
    VocabTable* t = reinterpret_cast<Vocab*>(self)->table;
    if (t != nullptr) {
        Graveyard graves;
        t->clear(graves);
    }
    return 0;
}

void vocab_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    delete reinterpret_cast<Vocab*>(self)->table;
    reinterpret_cast<Vocab*>(self)->table = nullptr;
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot vocab_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(vocab_tp_new)},
    {Py_tp_traverse, reinterpret_cast<void*>(vocab_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(vocab_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(vocab_dealloc)},
    {0, nullptr},
};

}  // namespace

PyType_Spec vocab_spec = {"tesmo._chain.Vocabulary", sizeof(Vocab), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
                          vocab_slots};

Vocab* vocab_new(State* st) {
    PyObject* obj = vocab_alloc(st->vocab_type);
    if (obj == nullptr) throw_error();
    return reinterpret_cast<Vocab*>(obj);
}

Ref vocab_value(Vocab* vocab, uint32_t id) {
    PyObject* v = vocab->table->value(id);
    if (v == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "the chain's values were released");
        throw_error();
    }
    return Ref::borrow(v);
}

void Holds::take(Vocab* vocab, uint32_t id) {
    if (vocab_.get() != reinterpret_cast<PyObject*>(vocab)) {
        drop();
        vocab_.reset_borrowed(reinterpret_cast<PyObject*>(vocab));
    }
    try {
        ids_.push_back(id);
    } catch (std::bad_alloc&) {
        vocab->table->release(id, graves_);
        throw;
    }
}

void Holds::drop() noexcept {
    if (vocab_) {
        VocabTable* t = reinterpret_cast<Vocab*>(vocab_.get())->table;
        for (uint32_t id : ids_) t->release(id, graves_);
    }
    ids_.clear();
}

}  // namespace pjson

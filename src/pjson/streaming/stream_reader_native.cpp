// The reader's values as ids of a native chain: the "codes" array kept as
// events and looked up natively, starts and next starts as ids, and a
// choice handed straight to the chain's build.
#include "document/short_ids.h"
#include "streaming/stream_reader.h"

namespace pjson {

namespace {

// The end of the token of `tokens` at `i`: past its closing event for a
// container.
size_t token_end(const std::vector<Token>& tokens, size_t i) {
    const Event k = tokens[i].kind;
    if (k != Event::StartArray && k != Event::StartMap) return i + 1;
    size_t depth = 0;
    for (;; ++i) {
        const Event e = tokens[i].kind;
        if (e == Event::StartArray || e == Event::StartMap) ++depth;
        if ((e == Event::EndArray || e == Event::EndMap) && --depth == 0) return i + 1;
    }
}

}  // namespace

// The kept "codes" array as a lookup natively: keys that are integers
// from 0 (by number) or strings (by id), later pairs replacing earlier
// ones; false for a table with keys of other kinds, which the lookup's
// dict compares.
bool StreamReader::index_codes() {
    NativeCodes& c = native_codes_;
    const std::vector<Token>& t = codes_tokens_;
    if (t.size() < 2 || t.front().kind != Event::StartArray || t.back().kind != Event::EndArray) return false;
    const size_t last = t.size() - 1;
    for (size_t i = 1; i < last;) {
        const size_t key = i;
        if (t[key].kind == Event::StartArray || t[key].kind == Event::StartMap) return false;
        const size_t value = key + 1;
        if (value >= last) break;  // an unpaired key is dropped
        const size_t after = token_end(t, value);
        uint32_t slot = static_cast<uint32_t>(c.values.size());
        c.values.push_back(CodeValue{static_cast<uint32_t>(value), static_cast<uint32_t>(after)});
        const Token& k = t[key];
        if (k.kind == Event::Number && k.form == Token::Form::integer && k.integer >= 0) {
            if (static_cast<unsigned long long>(k.integer) >= c.by_number.size()) {
                if (static_cast<unsigned long long>(k.integer) > 2 * c.values.size() + 1024) return false;
                c.by_number.resize(static_cast<size_t>(k.integer) + 1, kNoId);
            }
            if (c.by_number[static_cast<size_t>(k.integer)] == kNoId) ++c.pairs;
            c.by_number[static_cast<size_t>(k.integer)] = slot;
        } else if (k.kind == Event::String && k.form == Token::Form::id) {
            auto [at, added] = c.by_text.emplace(k.id, slot);
            if (added)
                ++c.pairs;
            else
                at->second = slot;
        } else {
            return false;
        }
        i = after;
    }
    codes_from_tokens_ = true;
    return true;
}

// The id of the value that the tokens [begin, end) of the kept table
// stand for: a scalar, or an array as the equal tuple; kNoId for a map.
uint32_t StreamReader::tokens_id(size_t begin, size_t end, int depth) {
    const std::vector<Token>& t = codes_tokens_;
    if (t[begin].kind != Event::StartArray) {
        if (t[begin].kind == Event::StartMap) return kNoId;
        return scalar_id(t[begin], false);
    }
    if (depth >= 16) return kNoId;
    ShortIds items;
    for (size_t i = begin + 1; i + 1 < end;) {
        const size_t after = token_end(t, i);
        const uint32_t id = tokens_id(i, after, depth + 1);
        if (id == kNoId) return kNoId;
        items.push(id);
        i = after;
    }
    uint32_t id = 0;
    if (api_->build_tuple(build_, items.data(), static_cast<Py_ssize_t>(items.size()), &id) < 0) throw_error();
    return id;
}

// codes[key] as an id, for a key token of the chain; kNoId where the
// native lookup lacks it (the general way then reports it).
uint32_t StreamReader::code_id(const Token& key) {
    NativeCodes& c = native_codes_;
    uint32_t slot = kNoId;
    if (key.form == Token::Form::integer && key.kind == Event::Number) {
        if (key.integer >= 0 && static_cast<unsigned long long>(key.integer) < c.by_number.size())
            slot = c.by_number[static_cast<size_t>(key.integer)];
    } else if (key.form == Token::Form::id && key.kind == Event::String) {
        auto found = c.by_text.find(key.id);
        if (found != c.by_text.end()) slot = found->second;
    }
    if (slot == kNoId) return kNoId;
    CodeValue& v = c.values[slot];
    if (v.id == CodesByNumber::kUnknown) v.id = tokens_id(v.begin, v.end);
    return v.id;
}

// The id of a value of the plain kinds a document holds (a list as the
// equal tuple); kNoId for any other.
uint32_t StreamReader::value_id(PyObject* value, int depth) {
    uint32_t id = kNoId;
    if (PyUnicode_CheckExact(value) || PyLong_CheckExact(value) || PyFloat_CheckExact(value) || PyBool_Check(value) ||
        value == Py_None) {
        if (api_->build_value(build_, value, &id) < 0) throw_error();
        return id;
    }
    if (!PyList_CheckExact(value) || depth >= 16) return id;
    // The items held: interning may run the collector, and with it code
    // that changes the list.
    std::vector<Ref> items;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) items.push_back(Ref::borrow(PyList_GET_ITEM(value, i)));
    std::vector<uint32_t> ids;
    for (const Ref& item : items) {
        ids.push_back(value_id(item.get(), depth + 1));
        if (ids.back() == kNoId) return kNoId;
    }
    if (api_->build_tuple(build_, ids.data(), static_cast<Py_ssize_t>(ids.size()), &id) < 0) throw_error();
    return id;
}

// scalar_id for a token of another form than a plain document's string.
uint32_t StreamReader::other_scalar_id(const Token& token, bool coded) {
    if (coded) {
        if (codes_from_tokens_) return code_id(token);
        if (token.form != Token::Form::integer || !codes_plain_) return kNoId;
        return by_code_.id(token.integer, [&](PyObject* v) { return value_id(v); });
    }
    if (token.form == Token::Form::id) return token.id;
    Ref value = object_of(token);
    return value_id(value.get());
}

// The id of the start for a native hand-over; kNoId where it goes the
// general way. An array start of a plain document is the tuple of its
// values; in a compressed one the lookup meets it as the list it is.
uint32_t StreamReader::start_id(bool coded) {
    if (start_id_ != CodesByNumber::kUnknown) return start_id_;
    start_id_ = kNoId;
    if (!start_is_container_) {
        start_id_ = scalar_id(start_, coded);
    } else if (!coded && start_container_.flat()) {
        ids_.clear();
        for (size_t i = 0; i < start_container_.size(); ++i) {
            const uint32_t id = scalar_id(start_container_.items()[i], false);
            if (id == kNoId) return start_id_;
            ids_.push_back(id);
        }
        uint32_t id = 0;
        if (api_->build_tuple(build_, ids_.data(), static_cast<Py_ssize_t>(ids_.size()), &id) < 0) throw_error();
        start_id_ = id;
    }
    return start_id_;
}

// A choice straight into the native chain: false, nothing done, where
// it must go the general way (a value or key that needs the lookup's
// objects, a bag of another kind).
bool StreamReader::hand_over_native(const Token& count) {
    if (!next_start_.flat()) return false;
    const bool coded = compressed();
    const uint32_t start = start_id(coded);
    if (start == kNoId) return false;
    const Token* items = next_start_.items();
    const size_t size = next_start_.size();
    ids_.resize(size);
    for (size_t i = 0; i < size; ++i) {
        const uint32_t id = scalar_id(items[i], coded);
        if (id == kNoId) return false;
        ids_[i] = id;
    }
    Ref count_object;
    if (count.form != Token::Form::integer) count_object = object_of(count);
    const int added = api_->build_add(build_, start, ids_.data(), static_cast<Py_ssize_t>(ids_.size()), count.integer,
                                      count_object.get());
    if (added < 0) throw_error();
    return added == 1;
}

}  // namespace pjson

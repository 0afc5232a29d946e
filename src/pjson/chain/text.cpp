// The tokenizer of training text: the tokens of tesmo.train.tokenize, found
// by hand with the character classes of Python's str regular expressions
// (\w is str.isalnum() or "_", \s is str.isspace()).
#include "chain/chain.h"

#include <array>
#include <string>

namespace pjson {

namespace {

// The classes of the first 256 code points, bit 1: word character, bit 2:
// whitespace; made once, on first use, by the interpreter's own tests.
const std::array<uint8_t, 256>& latin1_classes() {
    static const std::array<uint8_t, 256> classes = [] {
        std::array<uint8_t, 256> made{};
        for (Py_UCS4 c = 0; c < 256; ++c)
            made[c] =
                static_cast<uint8_t>(((Py_UNICODE_ISALNUM(c) || c == '_') ? 1 : 0) | (Py_UNICODE_ISSPACE(c) ? 2 : 0));
        return made;
    }();
    return classes;
}

// The classes of one code point, with the table above for the first 256.
struct Classes {
    const std::array<uint8_t, 256>& latin1 = latin1_classes();

    bool word(char32_t c) const {
        if (c < 256) return latin1[c] & 1;
        return Py_UNICODE_ISALNUM(static_cast<Py_UCS4>(c)) || c == U'_';
    }
    bool space(char32_t c) const {
        if (c < 256) return latin1[c] & 2;
        return Py_UNICODE_ISSPACE(static_cast<Py_UCS4>(c));
    }
};

bool is_stop(char32_t c) { return c == U'.' || c == U'!' || c == U'?'; }
bool is_joiner(char32_t c) { return c == U'\'' || c == U'\u2019' || c == U'-'; }
bool is_closer(char32_t c) {
    return c == U'"' || c == U'\'' || c == U'\u2019' || c == U'\u201d' || c == U')' || c == U']';
}

struct Match {
    size_t start, end;
    bool word;
};

// The next match at or after `pos`: a word (word characters joined by single
// apostrophes or hyphens) or a run of stops that only closing quotes or
// brackets separate from whitespace or the end of the text.
bool next_match(const Classes& is, const std::u32string& t, size_t& pos, Match& m) {
    size_t n = t.size();
    for (size_t s = pos; s < n;) {
        char32_t c = t[s];
        if (is.word(c)) {
            size_t e = s + 1;
            for (;;) {
                while (e < n && is.word(t[e])) ++e;
                if (e + 1 < n && is_joiner(t[e]) && is.word(t[e + 1]))
                    e += 2;
                else
                    break;
            }
            m = Match{s, e, true};
            pos = e;
            return true;
        }
        if (is_stop(c)) {
            size_t e = s;
            while (e < n && is_stop(t[e])) ++e;
            size_t q = e;
            while (q < n && is_closer(t[q])) ++q;
            if (q == n || is.space(t[q])) {
                m = Match{s, e, false};
                pos = e;
                return true;
            }
            s = e;  // a shorter run from any later stop fails the same way
            continue;
        }
        ++s;
    }
    pos = n;
    return false;
}

// One source: its chunks, with a token that may go on in the next chunk held
// back and matched again with it, and the sentence state.
class SourceReader {
public:
    explicit SourceReader(TokenSink& sink) : sink_(sink) {}

    void chunk(PyObject* chunk) {
        if (!PyUnicode_Check(chunk)) {
            PyErr_Format(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str", Py_TYPE(chunk)->tp_name);
            throw_error();
        }
#if PY_VERSION_HEX < 0x030C0000
        check_status(PyUnicode_READY(chunk));
#endif
        append(chunk);
        size_t pos = 0;
        Match m{}, pending{};
        bool have = false;
        while (next_match(classes_, text_, pos, m)) {
            if (have) emit(pending);
            pending = m;
            have = true;
        }
        if (!have) {
            text_.clear();
            return;
        }
        bool space_after = false;
        for (size_t i = pending.end; i < text_.size() && !space_after; ++i) space_after = classes_.space(text_[i]);
        if (space_after) {
            emit(pending);
            text_.clear();
        } else {
            text_.erase(0, pending.start);
        }
    }

    void finish() {
        size_t pos = 0;
        Match m{};
        while (next_match(classes_, text_, pos, m)) emit(m);
        text_.clear();
        if (in_sentence_) sink_.boundary();
    }

private:
    void append(PyObject* chunk) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(chunk);
        int kind = PyUnicode_KIND(chunk);
        const void* data = PyUnicode_DATA(chunk);
        size_t at = text_.size();
        text_.resize(at + static_cast<size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) text_[at + i] = PyUnicode_READ(kind, data, i);
    }

    void emit(const Match& m) {
        if (m.word) {
            in_sentence_ = true;
            sink_.word(text_.data() + m.start, m.end - m.start);
        } else if (in_sentence_) {
            in_sentence_ = false;
            sink_.stop(text_.data() + m.start, m.end - m.start);
            sink_.boundary();
        }
    }

    TokenSink& sink_;
    Classes classes_;
    std::u32string text_;  // what is held back, then that plus the chunk
    bool in_sentence_ = false;
};

// Collects the tokens as Python objects.
class ListSink : public TokenSink {
public:
    explicit ListSink(PyObject* list) : list_(list) {}
    void word(const char32_t* text, size_t length) override { add(text, length); }
    void stop(const char32_t* text, size_t length) override { add(text, length); }
    void boundary() override { check_status(PyList_Append(list_, Py_None)); }

private:
    void add(const char32_t* text, size_t length) {
        Ref s = check(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, text, static_cast<Py_ssize_t>(length)));
        check_status(PyList_Append(list_, s.get()));
    }
    PyObject* list_;
};

}  // namespace

void tokenize_sources(PyObject* sources, TokenSink& sink) {
    sink.boundary();
    Ref outer = check(PyObject_GetIter(sources));
    while (Ref chunks = Ref(PyIter_Next(outer.get()))) {
        SourceReader reader(sink);
        Ref inner = check(PyObject_GetIter(chunks.get()));
        while (Ref chunk = Ref(PyIter_Next(inner.get()))) reader.chunk(chunk.get());
        if (PyErr_Occurred()) throw_error();
        reader.finish();
    }
    if (PyErr_Occurred()) throw_error();
}

PyObject* mod_tokenize(PyObject*, PyObject* sources) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Ref list = check(PyList_New(0));
        ListSink sink(list.get());
        tokenize_sources(sources, sink);
        return list.release();
    });
}

}  // namespace pjson

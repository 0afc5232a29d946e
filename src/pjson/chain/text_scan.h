// The tokenizer of training text: the tokens of tesmo.train.tokenize, found
// one code point at a time with at most one held back, so that a text of any
// size, in chunks of any size, is read in one pass and in bounded memory.
// Character classes are those of Python's str (\s is str.isspace(), \d
// str.isdecimal()); the punctuation is a fixed set, shared with train.py.
#pragma once

#include "chain/text_classes.h"

#include <algorithm>
#include <array>

namespace pjson::text_scan {

// What a token does to the sentence it stands in: stops and continuing
// punctuation are dropped where no sentence has begun.
enum class Role : uint8_t { starts, continues, ends };

// The tokenizer's state across one text.
template <class Sink>
class TextScanner {
public:
    explicit TextScanner(Sink& sink) : sink_(sink), latin1_(latin1_info()) {}

    // The code points below 256 from `p` on that continue the word under
    // way, when nothing is held back, up to the token's room: the common
    // case, taken without the general step. How many it took; put() takes
    // the next one.
    template <class Char>
    size_t put_word_run(const Char* p, size_t n) {
        if (building_ != Building::word || holding_) return 0;
        size_t limit = std::min(n, kTokenCap - piece_size_);
        char32_t* out = piece_ + piece_size_;
        size_t i = 0;
        // Past the first letters both are settled at -1 for most words.
        for (; i < limit && (initials_ & number_) != -1; ++i) {
            char32_t c = p[i];
            if (c >= 256 || latin1_[c].cls != Cls::word) break;
            out[i] = c;
            track_word(c, latin1_[c]);
        }
        for (; i < limit; ++i) {
            char32_t c = p[i];
            if (c >= 256 || latin1_[c].cls != Cls::word) break;
            out[i] = c;
        }
        if (i > 0) {
            piece_size_ += i;
            prev_decimal_ = latin1_[p[i - 1]].decimal;
        }
        return i;
    }

    __attribute__((always_inline)) void put(char32_t c) {
        // Read in place from the table: a copy costs more than the fields used.
        CharInfo other;
        const CharInfo& k = c < 256 ? latin1_[c] : (other = compute_info(c));
        if (k.cls == Cls::separator) {
            end_run();
            if (k.line_break) line_start_ = true;
            return;
        }
        if (!in_run_) {
            in_run_ = true;
            run_first_ = true;
        }
        if (building_ == Building::none)
            fresh(c, k);  // most tokens start here, after a separator
        else
            step(c, k);
    }

    // The end of the text's last run (the sentence may still be open).
    void end() { end_run(); }
    bool in_sentence() const { return in_sentence_; }
    void close() { boundary(); }
    size_t split() const { return split_; }

private:
    enum class Building : uint8_t { none, word, stop, dash };

    CharInfo info(char32_t c) const { return c < 256 ? latin1_[c] : compute_info(c); }

    void step(char32_t c, const CharInfo& k) {
        switch (building_) {
            case Building::word:
                if (holding_) {
                    char32_t h = held_;
                    holding_ = false;
                    if (k.cls == Cls::word && (h != U',' || (prev_decimal_ && k.decimal))) {
                        word_add(h, info(h));
                        word_add(c, k);
                    } else if (h == U'.' && c != U'.' && keeps_its_dot()) {
                        word_add(h, info(h));
                        end_token();
                        fresh(c, k);
                    } else {
                        end_token();
                        fresh(h, info(h));
                        step(c, k);
                    }
                } else if (k.cls == Cls::word) {
                    word_add(c, k);
                } else if (inner_able(c)) {
                    holding_ = true;
                    held_ = c;
                } else {
                    end_token();
                    fresh(c, k);
                }
                return;
            case Building::stop:
                if (k.cls == Cls::stop) {
                    add(c);
                    stop_cjk_ = k.cjk_stop;
                } else {
                    end_token();
                    fresh(c, k);
                }
                return;
            case Building::dash:
                if (k.cls == Cls::dash) {
                    add(c);
                } else {
                    end_token();
                    fresh(c, k);
                }
                return;
            case Building::none: fresh(c, k); return;
        }
    }

    // A code point with no token under way.
    __attribute__((always_inline)) void fresh(char32_t c, const CharInfo& k) {
        if (closing_) {
            // Closing quotes and brackets after a stop belong to the sentence
            // it ends (and are dropped with a stop that ends none).
            if (k.cls == Cls::closer || k.cls == Cls::quote) {
                emit(&c, 1, Role::continues);
                return;
            }
            closing_ = false;
            if (closing_ends_ && closing_cjk_) boundary();
        }
        bool first = run_first_;
        run_first_ = false;
        switch (k.cls) {
            case Cls::word:
                building_ = Building::word;
                clause_ok_ = first && (line_start_ || !in_sentence_);
                initials_ = 0;
                number_ = 0;
                word_add(c, k);
                return;
            case Cls::stop:
                building_ = Building::stop;
                add(c);
                stop_cjk_ = k.cjk_stop;
                return;
            case Cls::dash:
                building_ = Building::dash;
                add(c);
                return;
            case Cls::clause:
            case Cls::closer: emit(&c, 1, Role::continues); return;
            default: emit(&c, 1, Role::starts); return;
        }
    }

    // A token is given out in pieces of at most kTokenCap code points.
    void add(char32_t c) {
        if (piece_size_ == kTokenCap) {
            emit(piece_, piece_size_, role());
            piece_size_ = 0;
            split_token_ = true;
        }
        piece_[piece_size_++] = c;
    }

    void word_add(char32_t c, const CharInfo& k) {
        add(c);
        prev_decimal_ = k.decimal;
        track_word(c, k);
    }

    void track_word(char32_t c, const CharInfo& k) {
        if (initials_ == 0)
            initials_ = k.upper ? 1 : -1;
        else if (initials_ == 1)
            initials_ = c == U'.' ? 0 : -1;
        if (number_ == 0)
            number_ = k.decimal ? 1 : -1;
        else if (number_ == 1)
            number_ = k.decimal ? 1 : (c == U'.' || c == U',') ? 0 : -1;
    }

    // An abbreviation, initials (J, D.C), or a number that starts its run
    // at a line's or a sentence's start (a numbered clause).
    bool keeps_its_dot() const {
        if (!split_token_ && is_abbreviation(piece_, piece_size_)) return true;
        return initials_ == 1 || (clause_ok_ && number_ == 1);
    }

    Role role() const { return building_ == Building::stop ? Role::ends : Role::starts; }

    void end_token() {
        if (building_ == Building::none) return;
        bool emitted = emit(piece_, piece_size_, role());
        if (emitted && split_token_) ++split_;
        if (building_ == Building::stop) {
            closing_ = true;
            closing_ends_ = emitted;
            closing_cjk_ = stop_cjk_;
        }
        building_ = Building::none;
        piece_size_ = 0;
        split_token_ = false;
    }

    __attribute__((always_inline)) void end_run() {
        if (!in_run_) return;
        in_run_ = false;
        if (holding_) {
            holding_ = false;
            char32_t h = held_;
            if (h == U'.' && keeps_its_dot()) {
                word_add(h, info(h));
                end_token();
            } else {
                end_token();
                fresh(h, info(h));
                end_token();
            }
        } else {
            end_token();
        }
        if (closing_) {
            closing_ = false;
            if (closing_ends_) boundary();
        }
        line_start_ = false;
    }

    bool emit(const char32_t* text, size_t n, Role role) {
        if (role != Role::starts && !in_sentence_) return false;
        in_sentence_ = true;
        sink_.token(text, n);
        return true;
    }

    void boundary() {
        in_sentence_ = false;
        sink_.boundary();
    }

    Sink& sink_;
    const std::array<CharInfo, 256>& latin1_;
    char32_t piece_[kTokenCap];  // the token under way, from its last cut at the cap
    size_t piece_size_ = 0;
    size_t split_ = 0;
    Building building_ = Building::none;
    bool split_token_ = false;
    bool holding_ = false;  // held_ follows the word: inner or not, the next code point tells
    char32_t held_ = 0;
    bool prev_decimal_ = false;
    bool clause_ok_ = false;
    int8_t initials_ = 0;  // 0: a capital next, 1: after a capital, -1: no initials
    int8_t number_ = 0;    // 0: a digit next, 1: after digits, -1: no number
    bool stop_cjk_ = false;
    bool closing_ = false;       // after a stop: its closing quotes and brackets
    bool closing_ends_ = false;  // the stop ends a sentence (it was no stray one)
    bool closing_cjk_ = false;
    bool in_run_ = false;
    bool run_first_ = true;
    bool line_start_ = true;
    bool in_sentence_ = false;
};

template <class Char, class Sink>
void scan(TextScanner<Sink>& scanner, const void* data, Py_ssize_t n) {
    const Char* p = static_cast<const Char*>(data);
    const auto size = static_cast<size_t>(n);
    for (size_t i = 0; i < size;) {
        i += scanner.put_word_run(p + i, size - i);
        if (i < size) scanner.put(static_cast<char32_t>(p[i++]));
    }
}

template <class Sink>
void scan_chunk(TextScanner<Sink>& scanner, PyObject* chunk) {
    if (!PyUnicode_Check(chunk)) {
        Ref name = check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(chunk)), "__name__"));
        PyErr_Format(PyExc_TypeError, "text chunks must be str, not %S", name.get());
        throw_error();
    }
#if PY_VERSION_HEX < 0x030C0000
    check_status(PyUnicode_READY(chunk));
#endif
    Py_ssize_t n = PyUnicode_GET_LENGTH(chunk);
    const void* data = PyUnicode_DATA(chunk);
    switch (PyUnicode_KIND(chunk)) {
        case PyUnicode_1BYTE_KIND: scan<Py_UCS1, Sink>(scanner, data, n); break;
        case PyUnicode_2BYTE_KIND: scan<Py_UCS2, Sink>(scanner, data, n); break;
        default: scan<Py_UCS4, Sink>(scanner, data, n); break;
    }
}

// Reads `sources` as tokenize does, the tokens given to `sink`, whose
// token() and boundary() are called directly, so that they can be inlined.
template <class Sink>
void tokenize_with(PyObject* sources, Sink& sink) {
    sink.boundary();
    Ref outer = check(PyObject_GetIter(sources));
    while (Ref chunks = Ref(PyIter_Next(outer.get()))) {
        TextScanner<Sink> scanner(sink);
        Ref inner = check(PyObject_GetIter(chunks.get()));
        while (Ref chunk = Ref(PyIter_Next(inner.get()))) scan_chunk(scanner, chunk.get());
        if (PyErr_Occurred()) throw_error();
        scanner.end();
        add_split(chunks.get(), scanner.split());
        if (scanner.in_sentence()) scanner.close();
    }
    if (PyErr_Occurred()) throw_error();
}

}  // namespace pjson::text_scan

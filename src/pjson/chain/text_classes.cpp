// The tokenizer's character classes, computed once per code point below 256
// and on demand above, the abbreviations, and the count of split tokens.
#include "chain/text_classes.h"

namespace pjson {

namespace text_scan {

namespace {

Cls punctuation_class(char32_t c) {
    switch (c) {
        case U'.':
        case U'!':
        case U'?':
        case U'\u2026':
        case U'\u3002':
        case U'\uff01':
        case U'\uff1f': return Cls::stop;
        case U',':
        case U';':
        case U':':
        case U'\u3001':
        case U'\uff0c':
        case U'\uff1b':
        case U'\uff1a': return Cls::clause;
        case U'(':
        case U'[':
        case U'{':
        case U'\u201c':
        case U'\u2018':
        case U'\u00ab':
        case U'\u2039':
        case U'\u201e':
        case U'\u201a':
        case U'\u00a1':
        case U'\u00bf':
        case U'\u300c':
        case U'\u300e':
        case U'\uff08':
        case U'\u3010':
        case U'\u300a':
        case U'\u3008':
        case U'\u3014':
        case U'\uff3b':
        case U'\uff5b': return Cls::opener;
        case U')':
        case U']':
        case U'}':
        case U'\u201d':
        case U'\u2019':
        case U'\u00bb':
        case U'\u203a':
        case U'\u300d':
        case U'\u300f':
        case U'\uff09':
        case U'\u3011':
        case U'\u300b':
        case U'\u3009':
        case U'\u3015':
        case U'\uff3d':
        case U'\uff5d': return Cls::closer;
        case U'"':
        case U'\'': return Cls::quote;
        case U'-':
        case U'\u2012':
        case U'\u2013':
        case U'\u2014':
        case U'\u2015': return Cls::dash;
        default: return Cls::word;
    }
}

}  // namespace

CharInfo compute_info(char32_t c) {
    auto u = static_cast<Py_UCS4>(c);
    CharInfo info{Cls::word, false, false, false, false};
    if (Py_UNICODE_ISSPACE(u) || c < 0x20 || (c >= 0x7f && c <= 0x9f) || (c >= 0xd800 && c <= 0xdfff) || c == 0x200b ||
        c == 0xfeff) {
        info.cls = Cls::separator;
        info.line_break = Py_UNICODE_ISLINEBREAK(u);
        return info;
    }
    info.cls = punctuation_class(c);
    info.cjk_stop = c == U'\u3002' || c == U'\uff01' || c == U'\uff1f';
    if (info.cls == Cls::word) {
        info.decimal = Py_UNICODE_ISDECIMAL(u);
        info.upper = Py_UNICODE_ISUPPER(u);
    }
    return info;
}

// The first 256 code points, made once on first use by the interpreter's
// own tests; the table is the same in every interpreter.
const std::array<CharInfo, 256>& latin1_info() {
    static const std::array<CharInfo, 256> table = [] {
        std::array<CharInfo, 256> made{};
        for (char32_t c = 0; c < 256; ++c) made[c] = compute_info(c);
        return made;
    }();
    return table;
}

bool is_abbreviation(const char32_t* text, size_t n) {
    static const char* const kWords[] = {"mr", "mrs", "ms",  "dr",  "prof", "sr", "jr",
                                         "st", "vs",  "etc", "e.g", "i.e",  "cf", "al"};
    if (n > 4) return false;
    char lower[5] = {};
    for (size_t i = 0; i < n; ++i) {
        char32_t c = text[i];
        if (c >= 0x80) return false;
        lower[i] = static_cast<char>(c >= U'A' && c <= U'Z' ? c + 32 : c);
    }
    for (const char* w : kWords)
        if (std::char_traits<char>::length(w) == n && std::char_traits<char>::compare(w, lower, n) == 0) return true;
    return false;
}

void add_split(PyObject* text, size_t count) {
    if (count == 0) return;
    Ref name = check(PyUnicode_FromString("split_tokens"));
    Ref old = Ref(PyObject_GetAttr(text, name.get()));
    if (!old) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
        PyErr_Clear();
        return;
    }
    old = check(PyObject_GetAttr(text, name.get()));
    Ref n = check(PyLong_FromSize_t(count));
    Ref sum = check(PyNumber_InPlaceAdd(old.get(), n.get()));
    check_status(PyObject_SetAttr(text, name.get(), sum.get()));
}

}  // namespace text_scan

}  // namespace pjson

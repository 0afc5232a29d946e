// The character classes of the tokenizer of training text (text_scan.h):
// Python's str classes (\s is str.isspace(), \d str.isdecimal()) and a fixed
// set of punctuation, shared with train.py; the words whose "." stays with
// them.
#pragma once

#include "chain/chain.h"

#include <array>

namespace pjson::text_scan {

constexpr size_t kTokenCap = 100;

enum class Cls : uint8_t { separator, word, stop, clause, opener, closer, quote, dash };

struct CharInfo {
    Cls cls;
    bool line_break;  // a separator that starts a new line
    bool decimal;     // word characters only
    bool upper;
    bool cjk_stop;
};

CharInfo compute_info(char32_t c);
// The first 256 code points.
const std::array<CharInfo, 256>& latin1_info();

inline bool inner_able(char32_t c) {
    return c == U'.' || c == U':' || c == U'\'' || c == U'\u2019' || c == U'!' || c == U'?' || c == U'-' || c == U',';
}

// Words whose "." stays with them, compared ignoring ASCII case.
bool is_abbreviation(const char32_t* text, size_t n);

// `text.split_tokens += count` for a text that has that attribute.
void add_split(PyObject* text, size_t count);

}  // namespace pjson::text_scan

// A chain document's text read natively: a strict JSON parser for ASCII
// text that accepts only what both genuine decoders read alike, and builds
// exactly the values they build. Anything else it refuses, and the caller
// hands the text to the genuine decoder instead.
#pragma once

#include "module/module.h"

#include <vector>

namespace pjson {

// Where the members that the reader takes begin in a checked text.
struct TextLayout {
    const char* codes = nullptr;  // the "codes" array's '['
    const char* chain = nullptr;  // the "chain" array's '['
};

// Checks the whole text [begin, end) in one pass. True when it is one
// object whose last "codes" and "chain" members are arrays, the chain's
// bags and the bags' next starts arrays (an unpaired last element aside),
// and every token is one the parser reproduces: integers within 64 bits,
// finite floats of at most 40 characters, strings without raw control
// characters or lone surrogate escapes, member names without escapes, and
// nesting no deeper than 16.
bool text_check(const char* begin, const char* end, TextLayout& layout);

// An element of an array of a checked text: where it starts, and for the
// common short integer its value, read on the way.
struct TextElement {
    const char* at = nullptr;  // nullptr past the last element
    bool is_int = false;
    long long value = 0;
    explicit operator bool() const { return at != nullptr; }
};

// One forward pass over the elements of an array of a checked text.
class TextArray {
public:
    explicit TextArray(const char* open_bracket) : p_(open_bracket + 1) {}
    TextElement next();
    // Tells the array that its element last returned ends at `after`, so
    // that next() need not skip over it again.
    void passed(const char* after) {
        p_ = after;
        pending_ = nullptr;
    }
    // Just past the closing bracket, once next() has returned nullptr.
    const char* end() const { return end_; }

private:
    const char* p_;
    const char* end_ = nullptr;
    const char* pending_ = nullptr;
    bool first_ = true;
};

// Tokens read as text_check reads them, for a reader that checks as it
// goes. Each returns the position just past the token, or nullptr when the
// parser refuses it.
// A whole value, nesting counted from `depth`.
const char* text_skip_value(const char* p, const char* end, int depth);
// -?[0-9]{1,18} with no fraction or exponent after it (leading zeros are
// the caller's to refuse).
const char* text_short_int(const char* p, const char* end, long long& value);
// Any number: an integer within 64 bits (`real` false, `value`) or a float
// (`real` true, `real_value`), as the decoders build it.
const char* text_number(const char* p, const char* end, bool& real, long long& value, double& real_value);
// Four hex digits.
bool text_hex4(const char* p, const char* end, unsigned& out);
constexpr int kTextMaxDepth = 16;

// The value at `p` of a checked text, as both decoders build it.
Ref text_value(const char* p);
// The same for an element.
Ref text_value(const TextElement& element);

}  // namespace pjson

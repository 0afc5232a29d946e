#include "streaming/yajl_source.h"

namespace pjson {

// yajl's lexer, followed as far as where tokens end: strings (escapes
// included) and numbers by its grammar, -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?

namespace {

bool is_space(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
bool is_hex(unsigned char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// The state after `c` inside a number, or kBetween where the number ends
// before `c`, or kUnknown where yajl finds an error.
unsigned char number_step(unsigned char state, unsigned char c) {
    switch (state) {
        case LexState::kMinus:
            return c == '0' ? LexState::kZero : is_digit(c) ? LexState::kInteger : LexState::kUnknown;
        case LexState::kZero:
            return c == '.' ? LexState::kPoint : c == 'e' || c == 'E' ? LexState::kE : LexState::kBetween;
        case LexState::kInteger:
            return is_digit(c)            ? LexState::kInteger
                   : c == '.'             ? LexState::kPoint
                   : c == 'e' || c == 'E' ? LexState::kE
                                          : LexState::kBetween;
        case LexState::kPoint: return is_digit(c) ? LexState::kFraction : LexState::kUnknown;
        case LexState::kFraction:
            return is_digit(c) ? LexState::kFraction : c == 'e' || c == 'E' ? LexState::kE : LexState::kBetween;
        case LexState::kE:
            return c == '+' || c == '-' ? LexState::kExponentSign
                   : is_digit(c)        ? LexState::kExponent
                                        : LexState::kUnknown;
        case LexState::kExponentSign: return is_digit(c) ? LexState::kExponent : LexState::kUnknown;
        default: return is_digit(c) ? LexState::kExponent : LexState::kBetween;  // kExponent
    }
}

// The state after `c` between tokens.
unsigned char token_start(unsigned char c) {
    if (is_space(c) || c == ',' || c == ':' || c == '[' || c == ']' || c == '{' || c == '}') return LexState::kBetween;
    if (c == '"') return LexState::kString;
    if (c == '-') return LexState::kMinus;
    if (c == '0') return LexState::kZero;
    if (is_digit(c)) return LexState::kInteger;
    if (c >= 'a' && c <= 'z') return LexState::kLiteral;  // true, false, null
    return LexState::kUnknown;
}

}  // namespace

void LexState::follow(const unsigned char* p, const unsigned char* end) noexcept {
    unsigned char state = state_;
    while (p != end && state != kUnknown) {
        const unsigned char c = *p;
        switch (state) {
            case kBetween: state = token_start(c); break;
            case kLiteral:
                if (c >= 'a' && c <= 'z') break;
                state = token_start(c);
                break;
            case kString:
                // The common run: anything but the quote and the backslash.
                while (p != end && *p != '"' && *p != '\\') ++p;
                if (p == end) continue;
                state = *p == '"' ? kBetween : kEscape;
                break;
            case kEscape: state = c == 'u' ? kHex4 : kString; break;
            case kHex1: state = kString; break;
            case kHex2:
            case kHex3:
            case kHex4: --state; break;
            default:
                state = number_step(state, c);
                if (state == kBetween) state = token_start(c);
                break;
        }
        ++p;
    }
    state_ = state;
}

bool LexState::continued_by(const unsigned char* p, const unsigned char* end) noexcept {
    unsigned char state = state_;
    if (state < kString) return false;
    for (; p != end; ++p) {
        const unsigned char c = *p;
        switch (state) {
            case kString:
                // Printable ASCII only: yajl checks the UTF-8 of other bytes.
                if (c == '"' || c < 0x20 || c > 0x7e) return false;
                if (c == '\\') state = kEscape;
                break;
            case kEscape:
                if (c == 'u')
                    state = kHex4;
                else if (c == '"' || c == '\\' || c == '/' || c == 'b' || c == 'f' || c == 'n' || c == 'r' || c == 't')
                    state = kString;
                else
                    return false;
                break;
            case kHex1:
            case kHex2:
            case kHex3:
            case kHex4:
                if (!is_hex(c)) return false;
                state = state == kHex1 ? kString : state - 1;
                break;
            default:
                state = number_step(state, c);
                if (state == kBetween || state == kUnknown) return false;
                break;
        }
    }
    state_ = state;
    return true;
}

}  // namespace pjson

// load_json_small's one pass into a native chain: the text is read once and
// checked as it goes, its values are interned into the chain's vocabulary
// from their text (a str is made only for a value the vocabulary lacks), and
// its choices are written as ids into a build of the chain's content, which
// becomes the chain's only once the whole text was read. Whatever the pass
// does not reproduce exactly as the genuine decoder and the general walk
// would (a layout or token it does not take, a key the table lacks, all
// that would be an error) makes it let go of the build, leaving the chain as
// it was, and the caller reads the text the general way.
#include "compact/compact.h"
#include "compact/document_text.h"
#include "compact/text_ids.h"
#include "document/short_ids.h"

#include <bit>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

namespace pjson {

namespace {

using text_build::kMissing;
using text_build::run_stops;
using text_build::TextIds;

struct Declined {};
[[noreturn]] void decline() { throw Declined{}; }

inline bool is_ws(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }
inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The text ends in a NUL (bytes and str objects keep one after their data),
// which no valid token holds: every scan below stops at it, so the parser
// reads no further than the text's end.
class TextBuild {
public:
    TextBuild(const TesmoChainAPI& api, TesmoBuild* build, bool merge, const char* begin, const char* end)
        : api_(api), build_(build), merge_(merge), p_(begin), end_(end) {}

    void run() {
        ws();
        expect('{');
        ws();
        if (*p_ == '}') decline();  // no "codes"
        bool seen_codes = false, seen_chain = false;
        for (;;) {
            const Member name = member_name();
            ws();
            expect(':');
            ws();
            // A later member of a name replaces an earlier one, and the chain
            // is decoded with the table: both once, the table first.
            if (name == Member::codes) {
                if (seen_codes || seen_chain) decline();
                codes();
                seen_codes = true;
            } else if (name == Member::chain) {
                if (seen_chain || !seen_codes) decline();
                compressed_ = pairs_ > 0;
                chain();
                seen_chain = true;
            } else {
                p_ = text_skip_value(p_, end_, 1);
                if (p_ == nullptr) decline();
            }
            ws();
            if (*p_ == '}') break;
            expect(',');
            ws();
        }
        ++p_;
        ws();
        if (p_ != end_ || !seen_chain) decline();
    }

private:
    enum class Member { codes, chain, other };

    void ws() {
        while (is_ws(*p_)) ++p_;
    }
    void expect(char c) {
        if (*p_ != c) decline();
        ++p_;
    }
    // The id an API call gave, read once the call is done.
    uint32_t checked(int status, const uint32_t& id) const {
        if (status < 0) throw_error();
        return id;
    }

    Member member_name() {
        expect('"');
        const char* name = p_;
        for (; *p_ != '"'; ++p_) {
            const unsigned char c = static_cast<unsigned char>(*p_);
            if (c < 0x20 || c >= 0x80 || c == '\\') decline();  // escaped names are the general path's
        }
        const size_t length = static_cast<size_t>(p_++ - name);
        if (length == 5 && std::memcmp(name, "codes", 5) == 0) return Member::codes;
        if (length == 5 && std::memcmp(name, "chain", 5) == 0) return Member::chain;
        return Member::other;
    }

    // A non-negative integer of at most 18 digits without leading zeros,
    // and no fraction or exponent after it; else false, nothing read.
    bool natural(long long& value) {
        const char* q = p_;
        if (!is_digit(*q)) return false;
        uint64_t v = 0;
        if (*q == '0') {
            ++q;
        } else {
            const char* first = q;
            do v = v * 10 + static_cast<unsigned>(*q++ - '0');
            while (is_digit(*q));
            if (q - first > 18) return false;
        }
        if (is_digit(*q) || *q == '.' || *q == 'e' || *q == 'E') return false;
        p_ = q;
        value = static_cast<long long>(v);
        return true;
    }

    // A string's text with its escapes read, at the opening quote; false
    // when it holds a character beyond ASCII. Past the closing quote after.
    bool string_text(std::string& out) {
        out.clear();
        bool ascii = true;
        for (++p_;;) {
            const char* run = p_;
            while (static_cast<unsigned char>(*p_) >= 0x20 && static_cast<unsigned char>(*p_) < 0x80 && *p_ != '"' &&
                   *p_ != '\\')
                ++p_;
            out.append(run, static_cast<size_t>(p_ - run));
            const char c = *p_;
            if (c == '"') {
                ++p_;
                return ascii;
            }
            if (c != '\\') decline();  // a control character, a byte beyond ASCII or the end
            const char e = p_[1];
            p_ += 2;
            switch (e) {
                case '"': out.push_back('"'); break;
                case '\\': out.push_back('\\'); break;
                case '/': out.push_back('/'); break;
                case 'b': out.push_back('\b'); break;
                case 'f': out.push_back('\f'); break;
                case 'n': out.push_back('\n'); break;
                case 'r': out.push_back('\r'); break;
                case 't': out.push_back('\t'); break;
                case 'u': {
                    unsigned u = 0;
                    if (!text_hex4(p_, end_, u) || (u >= 0xdc00 && u <= 0xdfff)) decline();  // lone low surrogate
                    p_ += 4;
                    if (u >= 0xd800 && u <= 0xdbff) {
                        unsigned low = 0;
                        if (p_[0] != '\\' || p_[1] != 'u' || !text_hex4(p_ + 2, end_, low) || low < 0xdc00 ||
                            low > 0xdfff)
                            decline();
                        p_ += 6;
                    }
                    if (u < 0x80)
                        out.push_back(static_cast<char>(u));
                    else
                        ascii = false;
                    break;
                }
                default: decline();
            }
        }
    }

    // A string value. The common one, plain ASCII without escapes, is taken
    // as it lies, read and hashed a word at a time while 8 bytes remain.
    uint32_t string_value() {
        const char* const text = p_ + 1;
        if constexpr (std::endian::native == std::endian::little) {
            const char* q = text;
            uint64_t h = TextIds::kSeed;
            while (end_ - q >= 8) {
                uint64_t word;
                std::memcpy(&word, q, 8);
                const uint64_t stops = run_stops(word);
                if (stops == 0) {
                    h = TextIds::mix(h, word);
                    q += 8;
                    continue;
                }
                // The bytes below the first stop: its high bit moved down to the byte's
                // lowest bit, less one, masks them.
                const uint64_t tail = word & (((stops & (~stops + 1)) >> 7) - 1);
                q += std::countr_zero(stops) / 8;
                if (*q != '"') break;
                const size_t length = static_cast<size_t>(q - text);
                return plain_string(text, length, TextIds::finish(h, tail, length), length < 8 ? tail : 0);
            }
        }
        return other_string();
    }

    uint32_t plain_string(const char* text, size_t length, uint64_t h, uint64_t head) {
        p_ = text + length + 1;
        uint32_t id = strings_.find(text, length, h, head);
        if (id == kMissing) {
            checked(api_.build_ascii(build_, text, static_cast<Py_ssize_t>(length), &id), id);
            strings_.keep(text, length, h, head, id);
        }
        return id;
    }

    // A string near the text's end, or one with escapes or beyond ASCII.
    [[gnu::noinline]] uint32_t other_string() {
        const char* quote = p_;
        const char* q = p_ + 1;
        while (static_cast<unsigned char>(*q) >= 0x20 && static_cast<unsigned char>(*q) < 0x80 && *q != '"' &&
               *q != '\\')
            ++q;
        if (*q == '"') {
            const size_t length = static_cast<size_t>(q - quote - 1);
            uint64_t head = 0;
            const uint64_t h = TextIds::hash(quote + 1, length, head);
            return plain_string(quote + 1, length, h, head);
        }
        uint32_t id = 0;
        if (string_text(text_)) return checked(api_.build_ascii(build_, text_.data(), text_.size(), &id), id);
        // Beyond ASCII: the str as the decoders make it, from the text now checked.
        Ref str = text_value(quote);
        return checked(api_.build_value(build_, str.get(), &id), id);
    }

    void word(const char* text, size_t length) {
        for (size_t i = 0; i < length; ++i)
            if (p_[i] != text[i]) decline();  // stops at the NUL that ends the text
        p_ += length;
    }

    uint32_t constant(const char* text, size_t length, PyObject* value, uint32_t& cached) {
        word(text, length);
        if (cached == kMissing) checked(api_.build_value(build_, value, &cached), cached);
        return cached;
    }

    uint32_t number_value() {
        bool real = false;
        long long integer = 0;
        double fraction = 0;
        const char* after = text_number(p_, end_, real, integer, fraction);
        if (after == nullptr) decline();
        p_ = after;
        Ref number = check(real ? PyFloat_FromDouble(fraction) : PyLong_FromLongLong(integer));
        uint32_t id = 0;
        return checked(api_.build_value(build_, number.get(), &id), id);
    }

    // Any value, a list stored as the equal tuple.
    uint32_t value(int depth) {
        switch (*p_) {
            case '"': return string_value();
            case '[': return array_value(depth);
            case 't': return constant("true", 4, Py_True, true_);
            case 'f': return constant("false", 5, Py_False, false_);
            case 'n': return constant("null", 4, Py_None, none_);
            default: return number_value();
        }
    }

    // An array at `p_`, as the equal tuple.
    uint32_t array_value(int depth) {
        if (depth >= kTextMaxDepth) decline();
        ShortIds items;
        ++p_;
        ws();
        if (*p_ != ']') {
            for (;;) {
                items.push(*p_ == '"' ? string_value() : value(depth + 1));
                ws();
                if (*p_ == ']') break;
                expect(',');
                ws();
            }
        }
        ++p_;
        uint32_t id = 0;
        return checked(api_.build_tuple(build_, items.data(), static_cast<Py_ssize_t>(items.size()), &id), id);
    }

    // ---- the code table: keys that are integers from 0 or strings

    void codes() {
        expect('[');
        ws();
        if (*p_ == ']') {
            ++p_;
            return;
        }
        for (;;) {
            long long number = 0;
            const bool numeric = natural(number);
            if (!numeric) {
                if (*p_ != '"' || !string_text(key_)) decline();  // keys of other kinds are the general path's
            }
            ws();
            if (*p_ == ']') break;  // an unpaired key is dropped
            expect(',');
            ws();
            const uint32_t id = value(2);
            if (numeric) {
                // Codes are positions in the table: a key far beyond them is
                // no table the writers make.
                if (static_cast<unsigned long long>(number) >= by_code_.size()) {
                    if (static_cast<unsigned long long>(number) > 2 * pairs_ + 1024) decline();
                    by_code_.resize(static_cast<size_t>(number) + 1, kMissing);
                }
                by_code_[static_cast<size_t>(number)] = id;
            } else {
                by_text_[key_] = id;
            }
            ++pairs_;
            ws();
            if (*p_ == ']') break;
            expect(',');
            ws();
        }
        ++p_;
    }

    // codes[key] for the key at p_; declines where the lookup lacks it.
    uint32_t decoded() {
        long long number = 0;
        if (natural(number)) {
            if (static_cast<unsigned long long>(number) >= by_code_.size()) decline();
            const uint32_t id = by_code_[static_cast<size_t>(number)];
            if (id == kMissing) decline();
            return id;
        }
        if (*p_ != '"' || !string_text(key_)) decline();
        auto found = by_text_.find(key_);
        if (found == by_text_.end()) decline();
        return found->second;
    }

    // ---- the chain

    void chain() {
        expect('[');
        ws();
        if (*p_ == ']') {
            ++p_;
            return;
        }
        for (;;) {
            const uint32_t start = compressed_ ? decoded() : value(2);
            ws();
            if (*p_ == ']') break;  // an unpaired start is dropped
            expect(',');
            ws();
            bag(start);
            ws();
            if (*p_ == ']') break;
            expect(',');
            ws();
        }
        ++p_;
    }

    void bag(uint32_t start) {
        expect('[');
        ws();
        if (!merge_ && api_.build_bag(build_) < 0) throw_error();
        if (*p_ != ']') {
            for (;;) {
                next_start();
                ws();
                if (*p_ == ']') break;  // an unpaired next start is dropped
                expect(',');
                ws();
                count();
                const auto length = static_cast<Py_ssize_t>(ids_.size());
                if (merge_) {
                    const int added = api_.build_add(build_, start, ids_.data(), length, count_, count_object_.get());
                    if (added < 0) throw_error();
                    if (added == 0) decline();
                } else if (api_.build_choice(build_, ids_.data(), length, count_, count_object_.get()) < 0) {
                    throw_error();
                }
                ws();
                if (*p_ == ']') break;
                expect(',');
                ws();
            }
        }
        ++p_;
        if (!merge_ && api_.build_bag_end(build_, start) < 0) throw_error();
    }

    void next_start() {
        expect('[');
        ids_.clear();
        ws();
        if (*p_ == ']') {
            ++p_;
            return;
        }
        for (;;) {
            ids_.push_back(compressed_ ? decoded() : *p_ == '"' ? string_value() : value(4));
            ws();
            if (*p_ == ']') break;
            expect(',');
            ws();
        }
        ++p_;
    }

    // A count that is an integer or a float; any other is the general path's.
    void count() {
        count_object_ = Ref();
        long long n = 0;
        if (natural(n)) {
            count_ = n;
            return;
        }
        if (*p_ == 't' || *p_ == 'f') {
            const bool truth = *p_ == 't';
            word(truth ? "true" : "false", truth ? 4 : 5);
            count_object_ = Ref::borrow(truth ? Py_True : Py_False);
            return;
        }
        if (*p_ != '-' && !is_digit(*p_)) decline();
        bool real = false;
        double fraction = 0;
        const char* after = text_number(p_, end_, real, n, fraction);
        if (after == nullptr) decline();
        p_ = after;
        count_ = n;
        if (real) count_object_ = check(PyFloat_FromDouble(fraction));
    }

    const TesmoChainAPI& api_;
    TesmoBuild* build_;
    const bool merge_;
    const char* p_;
    const char* const end_;
    bool compressed_ = false;
    size_t pairs_ = 0;
    std::vector<uint32_t> by_code_;                      // value ids of the integer keys, kMissing where none
    std::unordered_map<std::string, uint32_t> by_text_;  // value ids of the string keys
    std::string key_, text_;
    TextIds strings_;
    std::vector<uint32_t> ids_;  // the next start being read
    int64_t count_ = 0;
    Ref count_object_;  // the count when it is no machine integer
    uint32_t none_ = kMissing, true_ = kMissing, false_ = kMissing;
};

}  // namespace

bool compact_build_text(const TesmoChainAPI& api, PyObject* chain, bool merge, const char* begin, const char* end) {
    if (*end != '\0') return false;
    TesmoBuild* build = api.build_new(chain, merge ? TESMO_BUILD_MERGE : TESMO_BUILD_REPLACE);
    if (build == nullptr) throw_error();
    struct Free {
        const TesmoChainAPI& api;
        TesmoBuild* build;
        ~Free() { api.build_free(build); }
    } free_build{api, build};
    try {
        TextBuild(api, build, merge, begin, end).run();
    } catch (Declined&) {
        return false;
    }
    const int committed = api.build_commit(build);
    if (committed < 0) throw_error();
    return committed == 1;
}

}  // namespace pjson

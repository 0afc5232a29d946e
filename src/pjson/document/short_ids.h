// The ids of an array's items as a reader gathers them for the equal tuple:
// most arrays of a chain are short, so the first few stay in place and only
// a longer one takes a vector.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace pjson {

class ShortIds {
public:
    void push(uint32_t id) {
        if (n_ < kShort) {
            few_[n_] = id;
        } else {
            if (many_.empty()) many_.assign(few_, few_ + kShort);
            many_.push_back(id);
        }
        ++n_;
    }
    size_t size() const noexcept { return n_; }
    const uint32_t* data() const noexcept { return n_ > kShort ? many_.data() : few_; }

private:
    static constexpr size_t kShort = 8;
    uint32_t few_[kShort];
    std::vector<uint32_t> many_;
    size_t n_ = 0;
};

}  // namespace pjson

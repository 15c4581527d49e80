#include "evidence/restartrepeat.h"

#include <algorithm>

#include "evidence/words.h"

namespace randdump {

std::size_t RestartRepeat::Hash::operator()(const Key &key) const
{
    return static_cast<std::size_t>(words::Load(key.data()) ^
                                    (words::Load(&key[8]) * 0x9E3779B97F4A7C15U));
}

void RestartRepeat::Feed(std::span<const std::byte> bytes, std::uint64_t offset)
{
    if (row_ < kKey) {
        return;
    }
    if (offset % row_ == 0) {
        rowStart_ = offset;
        held_ = 0;
        wanted_ = static_cast<std::size_t>(std::min<std::uint64_t>(row_, kHead));
    }
    if (wanted_ == 0 || offset != rowStart_ + held_) {
        return;
    }
    const std::size_t take = std::min(wanted_, bytes.size());
    std::copy_n(bytes.begin(), take, head_.begin() + static_cast<std::ptrdiff_t>(held_));
    held_ += take;
    wanted_ -= take;
    if (wanted_ == 0) {
        Judge(rowStart_);
    }
}

// The gathered head of the row at `offset`, held_ bytes of it.
void RestartRepeat::Judge(std::uint64_t offset)
{
    ++rows_;
    const std::size_t last = held_ - kKey;
    const auto keyAt = [&](std::size_t at) {
        Key key{};
        std::copy_n(&head_.at(at), kKey, key.begin());
        return key;
    };
    for (std::size_t at = 0; at <= std::min(2 * kShift, last) && !failure_; ++at) {
        if (keys_.contains(keyAt(at))) {
            failure_ = offset;
        }
    }
    keys_.insert(keyAt(std::min(kShift, last)));
}

}  // namespace randdump

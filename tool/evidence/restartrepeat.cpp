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
    if (row_ < kKey || offset % row_ != 0 || bytes.size() < kKey) {
        return;
    }
    ++rows_;
    const std::size_t last = std::min<std::uint64_t>(bytes.size(), row_) - kKey;
    const auto keyAt = [&](std::size_t at) {
        Key key{};
        std::copy_n(&bytes[at], kKey, key.begin());
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

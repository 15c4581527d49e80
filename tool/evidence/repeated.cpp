#include "evidence/repeated.h"

#include <algorithm>
#include <limits>

#include "evidence/words.h"

namespace randdump {
namespace {

constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
constexpr unsigned kHeadBits = 17;  // twice as many chains as blocks
constexpr unsigned kSetBits = 13;   // two slots a set, one a stretch: 256 KiB, in the core's cache

std::uint64_t Mix(std::uint64_t low, std::uint64_t high)
{
    return (low ^ (high * 0x9E3779B97F4A7C15U)) * 0xBF58476D1CE4E5B9U;
}

}  // namespace

Repeated::Repeated(std::size_t block) : block_(block), sets_(std::size_t{1} << kSetBits)
{
    if (block >= kKey) {
        keys_.resize(kBlocks);
        next_.resize(kBlocks);
        heads_.assign(std::size_t{1} << kHeadBits, kNone);
    }
}

Repeated::Key Repeated::KeyAt(const std::byte *bytes)
{
    return {words::Load(bytes), words::Load(bytes + 8)};
}

void Repeated::Found(std::uint64_t offset)
{
    failure_ = std::min(failure_.value_or(offset), offset);
}

// Whether the key is among the last kBlocks; it takes the place of the oldest.
bool Repeated::SeenBlock(const Key &key)
{
    const auto chain = [](const Key &of) { return Mix(of.low, of.high) >> (64U - kHeadBits); };
    const std::uint64_t head = chain(key);
    bool seen = false;
    for (std::uint32_t at = heads_[head]; at != kNone && !seen; at = next_[at]) {
        seen = keys_[at] == key;
    }
    const auto slot = static_cast<std::uint32_t>(blocks_ % kBlocks);
    if (blocks_ >= kBlocks) {
        std::uint32_t *link = &heads_[chain(keys_[slot])];
        while (*link != slot) {
            link = &next_[*link];
        }
        *link = next_[slot];
    }
    keys_[slot] = key;
    next_[slot] = heads_[head];
    heads_[head] = slot;
    ++blocks_;
    return seen;
}

// Whether the stretch numbered `stretch` starts as one of the kStretches before it. Inlined into
// the loop over a feed's stretches, and without a branch that random bytes would send either way.
inline bool Repeated::SeenStretch(const Key &key, std::uint64_t stretch)
{
    std::array<Slot, 2> &set = sets_[Mix(key.high, key.low) >> (64U - kSetBits)];
    const auto number = static_cast<std::uint32_t>(stretch + 1);
    const auto high = static_cast<std::uint32_t>(key.high >> 32U);
    // How long ago each way's stretch came: an empty way's (number 0) longest ago.
    const std::uint32_t age0 = number - set[0].stretch;
    const std::uint32_t age1 = number - set[1].stretch;
    const auto holds = [&](const Slot &slot, std::uint32_t age) {
        return slot.low == key.low && slot.high == high && slot.stretch != 0 && age <= kStretches;
    };
    const bool seen = holds(set[0], age0) || holds(set[1], age1);
    // The older way gives its place.
    set[static_cast<std::size_t>(age1 > age0)] = {key.low, high, number};
    return seen;
}

void Repeated::Feed(std::span<const std::byte> bytes, std::uint64_t offset)
{
    if (block_ >= kKey) {
        for (std::size_t at = 0; at + kKey <= bytes.size(); at += block_) {
            if (SeenBlock(KeyAt(&bytes[at]))) {
                Found(offset + at);
            }
        }
    }
    if (pendingBytes_ > 0) {
        const std::size_t take = std::min(kKey - pendingBytes_, bytes.size());
        std::copy_n(bytes.begin(), take,
                    pending_.begin() + static_cast<std::ptrdiff_t>(pendingBytes_));
        pendingBytes_ += take;
        if (pendingBytes_ == kKey) {
            pendingBytes_ = 0;
            if (SeenStretch(KeyAt(pending_.data()), pendingOffset_ / kStretch)) {
                Found(pendingOffset_);
            }
        }
    }
    std::size_t at = (kStretch - offset % kStretch) % kStretch;
    for (; at + kKey <= bytes.size(); at += kStretch) {
        if (SeenStretch(KeyAt(&bytes[at]), (offset + at) / kStretch)) {
            Found(offset + at);
        }
    }
    if (at < bytes.size()) {
        pendingBytes_ = bytes.size() - at;
        pendingOffset_ = offset + at;
        std::copy(bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.end(), pending_.begin());
    }
}

}  // namespace randdump

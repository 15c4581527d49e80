// randdump's health checks, fed bytes in memory: the FIPS 140-2 counts against a reading of the
// bits one at a time, each bound and cutoff at its edge, and the state each check carries from
// one piece of the sample to the next.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "evidence/checks.h"
#include "evidence/fips.h"
#include "evidence/proportion.h"
#include "evidence/restartrepeat.h"
#include "evidence/runs.h"

#include <nlohmann/json.hpp>

namespace {

// The health checks against a reading of the same bytes one at a time, bit by bit for FIPS
// 140-2, on every path of each check this processor can take (eight bytes at a time, AVX2,
// AVX-512): random data, and runs
// planted where the word-parallel code joins its words and blocks.
std::vector<std::byte> RandomBytes(std::size_t size, std::uint64_t seed)
{
    std::vector<std::byte> bytes(size);
    for (std::byte &byte : bytes) {
        seed = seed * 6364136223846793005U + 1442695040888963407U;
        byte = static_cast<std::byte>(seed >> 56U);
    }
    return bytes;
}

randdump::Fips140::Tally BitByBit(std::span<const std::byte> block)
{
    randdump::Fips140::Tally tally;
    std::array<unsigned, 16> nibbles{};
    unsigned length = 0;
    unsigned previous = 2;
    const auto end = [&] {
        ++tally.runs.at(previous).at(std::min(length, 6U) - 1);
        tally.longRun = tally.longRun || length >= 26;
    };
    for (std::size_t i = 0; i < block.size() * 8; ++i) {
        const unsigned bit = (static_cast<unsigned>(block[i / 8]) >> (7 - i % 8)) & 1U;
        tally.ones += bit;
        if (bit != previous && previous != 2)
            end();
        length = bit == previous ? length + 1 : 1;
        previous = bit;
    }
    end();
    for (const std::byte byte : block) {
        ++nibbles.at(static_cast<unsigned>(byte) >> 4U);
        ++nibbles.at(static_cast<unsigned>(byte) & 15U);
    }
    for (const unsigned count : nibbles)
        tally.poker += count * count;
    return tally;
}

TEST(HealthChecks, CountFips140AsABitByBitReadingDoes)
{
    using randdump::Fips140;
    std::vector<std::vector<std::byte>> blocks;
    for (std::uint64_t seed = 1; seed <= 200; ++seed)
        blocks.push_back(RandomBytes(Fips140::kBlockBytes, seed));
    for (const int fill : {0x00, 0xFF, 0x55, 0xAA, 0x0F})
        blocks.emplace_back(Fips140::kBlockBytes, static_cast<std::byte>(fill));
    // Runs of ones and of zeros around the bounds that matter, where words and the block end.
    for (const unsigned run : {5U, 6U, 25U, 26U, 27U, 70U})
        for (const unsigned at : {0U, 1U, 40U, 63U, 64U, 100U, 114U, 19935U, 19968U, 19970U})
            for (const unsigned value : {0U, 1U}) {
                std::vector<std::byte> block = RandomBytes(Fips140::kBlockBytes, run * 1000 + at);
                for (unsigned i = at; i < std::min(at + run, 20000U); ++i) {
                    const auto mask = static_cast<std::byte>(0x80U >> (i % 8));
                    block[i / 8] = value != 0 ? block[i / 8] | mask : block[i / 8] & ~mask;
                }
                blocks.push_back(block);
            }
    for (const std::vector<std::byte> &block : blocks) {
        const Fips140::Tally expected = BitByBit(block);
        for (const randdump::words::Width width : randdump::words::Widths()) {
            const Fips140::Tally tally =
                Fips140::Count(std::span(block).first<Fips140::kBlockBytes>(), width);
            EXPECT_EQ(std::tie(tally.ones, tally.poker, tally.runs, tally.longRun),
                      std::tie(expected.ones, expected.poker, expected.runs, expected.longRun))
                << "block " << &block - blocks.data() << ", " << randdump::words::Name(width);
        }
    }
}

// rng-tools' bounds, each at its edge: 9725 < ones < 10275, 1563176 <= the poker sum <= 1576928
// (2.16 < X < 46.17), each run count within FIPS 140-2's interval, no run of 26 bits.
TEST(HealthChecks, JudgeFips140AtEachBound)
{
    using randdump::Fips140;
    Fips140::Tally passing{.ones = 10000, .poker = 1570000};
    const std::array<std::array<unsigned, 2>, 6> runs{
        {{2315, 2685}, {1114, 1386}, {527, 723}, {240, 384}, {103, 209}, {103, 209}}};
    for (std::size_t length = 0; length < runs.size(); ++length)
        passing.runs[0][length] = passing.runs[1][length] = (runs[length][0] + runs[length][1]) / 2;
    ASSERT_EQ(Fips140::Judge(passing), 0U);
    std::vector<std::tuple<std::string, std::function<void(Fips140::Tally &)>, unsigned>> cases{
        {"ones 9725", [](auto &t) { t.ones = 9725; }, Fips140::kMonobit},
        {"ones 9726", [](auto &t) { t.ones = 9726; }, 0},
        {"ones 10274", [](auto &t) { t.ones = 10274; }, 0},
        {"ones 10275", [](auto &t) { t.ones = 10275; }, Fips140::kMonobit},
        {"poker 1563175", [](auto &t) { t.poker = 1563175; }, Fips140::kPoker},
        {"poker 1563176", [](auto &t) { t.poker = 1563176; }, 0},
        {"poker 1576928", [](auto &t) { t.poker = 1576928; }, 0},
        {"poker 1576929", [](auto &t) { t.poker = 1576929; }, Fips140::kPoker},
        {"a run of 26 bits", [](auto &t) { t.longRun = true; }, Fips140::kLongRun},
    };
    for (std::size_t value = 0; value < 2; ++value)
        for (std::size_t length = 0; length < runs.size(); ++length)
            for (const auto &[edge, failed] :
                 {std::pair{runs[length][0] - 1, true}, std::pair{runs[length][0], false},
                  std::pair{runs[length][1], false}, std::pair{runs[length][1] + 1, true}}) {
                const unsigned count = edge;  // a lambda captures no structured binding in C++20
                cases.emplace_back(
                    "runs of " + std::to_string(length + 1) + " of " + std::to_string(value) +
                        ": " + std::to_string(count),
                    [=](auto &t) { t.runs[value][length] = count; }, failed ? Fips140::kRuns : 0U);
            }
    for (const auto &[name, change, failed] : cases) {
        Fips140::Tally tally = passing;
        change(tally);
        EXPECT_EQ(Fips140::Judge(tally), failed) << name;
    }
}

// Each verdict fails at its cutoff and not one short of it, at the offset it names, fed in
// chunks of 1 MiB as randdump's writer feeds them.
TEST(HealthChecks, FailAtTheirCutoffsAndNotBefore)
{
    using randdump::HealthChecks;
    HealthChecks::Pattern pattern{};
    for (std::size_t i = 0; i < pattern.size(); ++i)
        pattern.at(i) = static_cast<std::byte>(0xA0 + i);
    const auto laid = [&](std::uint64_t offset) { return pattern.at(offset % pattern.size()); };
    // What a generator gives, with nothing at `from`, for `size` bytes, equal to what was laid
    // before the call (so that a run planted there is exactly as long as planted).
    const auto random = [&](std::size_t size) {
        std::vector<std::byte> bytes = RandomBytes(size, 11);
        for (std::size_t at = 0; at < size; ++at)
            bytes[at] = bytes[at] == laid(at) ? ~bytes[at] : bytes[at];
        return bytes;
    };
    const auto unwritten = [&](std::vector<std::byte> &bytes, std::size_t at, std::size_t count) {
        for (std::size_t i = at; i < at + count; ++i)
            bytes[i] = laid(i);
    };
    const auto run = [](std::vector<std::byte> &bytes, std::size_t at, std::size_t count) {
        std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), count, std::byte{0x3C});
    };
    // A FIPS 140-2 block that fails monobit alone: every byte's top bit set.
    const auto biased = [](std::vector<std::byte> &bytes, std::size_t block) {
        for (std::size_t i = block * 2500; i < (block + 1) * 2500; ++i)
            bytes[i] |= std::byte{0x80};
    };
    // A window of 512 whose first byte comes back `count` times in all.
    const auto proportion = [](std::vector<std::byte> &bytes, std::size_t window, unsigned count) {
        for (unsigned i = 1; i < count; ++i)
            bytes[window * 512 + i * 25] = bytes[window * 512];
    };
    struct Row {
        std::string name;
        std::size_t block;
        std::size_t size;
        std::function<void(std::vector<std::byte> &)> plant;
        std::string check;  // empty: none fails
        std::uint64_t offset = 0;
        std::optional<std::uint64_t> row{};
    };
    constexpr std::size_t kMiB = 1 << 20;
    // clang-format off
    const std::vector<Row> rows{
        {"a generator's bytes", 1024, 8 * kMiB, [](auto &) {}, ""},
        {"15 unwritten bytes in a row", 7, kMiB, [&](auto &b) { unwritten(b, 1003, 15); }, ""},
        {"16 unwritten bytes in a row, across blocks", 7, kMiB, [&](auto &b) { unwritten(b, 1003, 16); }, "unfilled",
         1003},
        {"16 unwritten bytes in a row, across chunks", 1024, 2 * kMiB, [&](auto &b) { unwritten(b, kMiB - 9, 16); },
         "unfilled", kMiB - 9},
        {"15 unwritten bytes in a row, in a block", 1024, kMiB, [&](auto &b) { unwritten(b, 69957, 15); }, ""},
        {"16 unwritten bytes in a row, in a block", 1024, kMiB, [&](auto &b) { unwritten(b, 69957, 16); }, "unfilled",
         69957},
        {"16 unwritten bytes in a row, after a step's last 5", 1024, kMiB, [&](auto &b) { unwritten(b, 70011, 16); },
         "unfilled", 70011},
        {"a position unwritten in 22 of 256 calls", 1024, kMiB, [&](auto &b) {
             for (std::size_t call = 0; call < 22; ++call) unwritten(b, call * 1024 + 700, 1); }, ""},
        {"a position unwritten in 23 of 256 calls", 1024, kMiB, [&](auto &b) {
             for (std::size_t call = 0; call < 23; ++call) unwritten(b, call * 1024 + 700, 1); }, "unfilled",
         22 * 1024 + 700},
        {"the first byte unwritten in 23 of 256 calls of 127", 127, kMiB, [&](auto &b) {
             for (std::size_t call = 0; call < 23; ++call) unwritten(b, call * 127, 1); }, "unfilled", 22 * 127},
        {"a position unwritten in 22 calls and one more in the next 256", 1024, kMiB, [&](auto &b) {
             for (std::size_t call = 234; call < 257; ++call) unwritten(b, call * 1024 + 700, 1); }, ""},
        {"31 identical bytes", 1024, kMiB, [&](auto &b) { run(b, 5000, 31); }, ""},
        {"32 identical bytes", 1024, kMiB, [&](auto &b) { run(b, 5000, 32); }, "stuck", 5000},
        {"a block as the one 65,536 blocks before it", 16, 2 * kMiB, [](auto &b) {
             std::copy_n(&b[16], 16, &b[16 + 65536 * 16]); }, "repeated", 16 + 65536 * 16},
        {"a block as the one 65,537 blocks before it", 16, 2 * kMiB, [](auto &b) {
             std::copy_n(&b[16], 16, &b[16 + 65537 * 16]); }, ""},
        {"a 64-byte stretch again 6,400 bytes on, in blocks of 1,000", 1000, kMiB, [](auto &b) {
             std::copy_n(&b[320], 64, &b[320 + 6400]); }, "repeated", 320 + 6400},
        {"a stretch again, its first 16 bytes cut between slices, in blocks of 7", 7, kMiB, [](auto &b) {
             std::copy_n(&b[245696 - 6400], 64, &b[245696]); }, "repeated", 245696},
        {"15 repetition count failures", 1024, kMiB, [&](auto &b) {
             for (std::size_t i = 0; i < 15; ++i) run(b, 10000 + i * 100, 6); }, ""},
        {"16 repetition count failures", 1024, kMiB, [&](auto &b) {
             for (std::size_t i = 0; i < 16; ++i) run(b, 10000 + i * 100, 6); }, "statistics", 11500},
        {"5 adaptive proportion failures", 1024, kMiB, [&](auto &b) {
             for (std::size_t i = 0; i < 5; ++i) proportion(b, 10 + i, 19); }, ""},
        {"6 adaptive proportion failures", 1024, kMiB, [&](auto &b) {
             for (std::size_t i = 0; i < 6; ++i) proportion(b, 10 + i, 19); }, "statistics", 15 * 512},
        {"6 windows whose first byte comes 18 times", 1024, kMiB, [&](auto &b) {
             for (std::size_t i = 0; i < 6; ++i) proportion(b, 10 + i, 18); }, ""},
        {"20 FIPS 140-2 failures in a window", 1024, 4 * kMiB, [&](auto &b) {
             for (std::size_t i = 0; i < 20; ++i) biased(b, 100 + i); }, ""},
        {"21 FIPS 140-2 failures in a window", 1024, 4 * kMiB, [&](auto &b) {
             for (std::size_t i = 0; i < 21; ++i) biased(b, 100 + i); }, "statistics", 120 * 2500},
        {"20 FIPS 140-2 failures in a window, one in the next", 1024, 4 * kMiB, [&](auto &b) {
             for (std::size_t i = 0; i < 21; ++i) biased(b, 1004 + i); }, ""},
    };
    // clang-format on
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<std::byte> bytes = random(row.size);
        row.plant(bytes);
        HealthChecks checks(pattern, row.block, row.row);
        const std::size_t chunk = kMiB / row.block * row.block;
        for (std::size_t at = 0;
             at < bytes.size() &&
             checks.Feed(
                 {std::span(bytes).subspan(at, std::min(chunk, bytes.size() - at)), at, row.block});
             at += chunk) {
        }
        const std::optional<HealthChecks::Failure> failed = checks.Failed();
        EXPECT_EQ(failed ? std::string(failed->check) : "", row.check) << checks.Record().dump();
        EXPECT_EQ(failed ? failed->offset : 0, row.offset);
    }
}

// A row that repeats an earlier one from any point within its first 64 bytes, either way, is a
// restart repeat; 65 bytes apart is beyond what is looked for.
TEST(HealthChecks, FindARestartRepeatAtAnyShiftWithin64Bytes)
{
    for (const int shift : {-65, -64, -1, 0, 1, 37, 64, 65}) {
        SCOPED_TRACE(shift);
        std::vector<std::byte> bytes = RandomBytes(4000, 5);
        const std::vector<std::byte> more = RandomBytes(2000, 6);
        // Row 2 is row 1 from its byte `shift` on (before it, for a negative shift).
        for (std::size_t i = 0; i < 1000; ++i) {
            const auto from = static_cast<std::ptrdiff_t>(1000 + i) + shift;
            bytes[2000 + i] = from >= 1000 ? bytes[static_cast<std::size_t>(from)]
                                           : more[static_cast<std::size_t>(from + 1000)];
        }
        // Whole rows, as chunks come; and in pieces that cut a row's first 144 bytes, as a slow
        // token's stream is written.
        for (const std::size_t piece : {1000, 100, 7}) {
            SCOPED_TRACE(piece);
            randdump::RestartRepeat restarts(1000);
            for (std::size_t row = 0; row < 4; ++row)
                for (std::size_t at = 0; at < 1000; at += piece)
                    restarts.Feed(
                        std::span(bytes).subspan(row * 1000 + at, std::min(piece, 1000 - at)),
                        row * 1000 + at);
            EXPECT_EQ(restarts.FirstFailure(),
                      std::abs(shift) <= 64 ? std::optional<std::uint64_t>(2000) : std::nullopt);
            EXPECT_EQ(restarts.Rows(), 4U);
        }
    }
}

TEST(HealthChecks, FollowRunsAndWindowsAcrossThePiecesTheyAreFedIn)
{
    std::vector<std::byte> bytes = RandomBytes(200000, 7);
    // Runs of one value, at every place across a vector step's 128 bytes, and a window whose
    // first byte comes back 18 and 19 times.
    std::vector<std::pair<std::size_t, std::size_t>> runs{{1000, 5},   {2000, 6},   {3031, 7},
                                                          {40000, 31}, {65530, 32}, {100000, 40}};
    for (std::size_t at = 0; at < 128; ++at)
        runs.emplace_back(5000 + at * 131, 6);
    for (const auto &[at, length] : runs)
        std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), length, std::byte{0x42});
    for (std::size_t i = 0; i < 18; ++i)
        bytes[512 * 300 + 1 + i * 20] = bytes[512 * 300];
    for (std::size_t i = 0; i < 19; ++i)
        bytes[512 * 301 + 1 + i * 20] = bytes[512 * 301];
    // As a byte at a time would find them.
    std::uint64_t counted = 0;
    std::optional<std::uint64_t> firstCounted;
    std::optional<std::uint64_t> firstStuck;
    for (std::size_t at = 0, start = 0; at < bytes.size(); ++at) {
        start = at > 0 && bytes[at] == bytes[at - 1] ? start : at;
        counted += at - start + 1 == 6 ? 1 : 0;
        firstCounted = at - start + 1 == 6 ? firstCounted.value_or(start) : firstCounted;
        firstStuck = at - start + 1 == 32 ? firstStuck.value_or(start) : firstStuck;
    }
    std::uint64_t failures = 0;
    std::optional<std::uint64_t> firstFailure;
    for (std::size_t window = 0; window + 512 <= bytes.size(); window += 512) {
        if (std::count(&bytes[window], &bytes[window + 512], bytes[window]) >= 19) {
            ++failures;
            firstFailure = firstFailure.value_or(window);
        }
    }
    for (const randdump::words::Width width : randdump::words::Widths())
        for (const std::size_t piece :
             {std::size_t{1}, std::size_t{7}, std::size_t{1000}, bytes.size()}) {
            SCOPED_TRACE(std::to_string(piece) + ", " + randdump::words::Name(width));
            randdump::IdenticalRuns runs(6, 32, width);
            randdump::AdaptiveProportion proportion(512, 19, width);
            for (std::size_t at = 0; at < bytes.size(); at += piece) {
                const std::span<const std::byte> part =
                    std::span(bytes).subspan(at, std::min(piece, bytes.size() - at));
                runs.Feed(part);
                proportion.Feed(part);
                runs.Feed({});  // a piece with nothing in it changes nothing
                proportion.Feed({});
            }
            EXPECT_EQ(std::tie(counted, firstCounted, firstStuck),
                      std::make_tuple(runs.Counted(), runs.FirstCounted(), runs.FirstStuck()));
            EXPECT_EQ(std::tie(failures, firstFailure),
                      std::make_tuple(proportion.Failures(), proportion.FirstFailure()));
            EXPECT_EQ(proportion.Windows(), bytes.size() / 512);
        }
}

}  // namespace

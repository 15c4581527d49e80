// A self-updating progress line for people watching a run on a terminal.
#ifndef TOOL_PROGRESS_H
#define TOOL_PROGRESS_H

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>

namespace randdump {

class Progress {
public:
    // Shows nothing unless `stream` is a terminal (none: nothing at all), so logs and pipes see
    // only real messages.
    // Without a total, the bytes and the rate, without a percentage.
    Progress(std::FILE *stream, std::optional<std::uint64_t> totalBytes);
    ~Progress();
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;
    Progress(Progress &&) = delete;
    Progress &operator=(Progress &&) = delete;

    void Update(std::uint64_t doneBytes);
    // Removes the line, so that a message can take its place.
    void Erase();

private:
    using Clock = std::chrono::steady_clock;

    std::FILE *stream_;
    bool enabled_;
    bool shown_ = false;
    std::optional<std::uint64_t> totalBytes_;
    Clock::time_point start_;
    Clock::time_point lastShown_;
};

}  // namespace randdump

#endif

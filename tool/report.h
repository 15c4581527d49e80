// How randdump tells what went wrong: each message on standard error (or where the run's
// conventions put it), and every one kept for the run's record.
#ifndef TOOL_REPORT_H
#define TOOL_REPORT_H

#include <p11-kit/pkcs11.h>

#include <cstdio>
#include <string>

namespace randdump {

class Report {
public:
    // Writes a line (without its newline) to `stream`, and keeps it.
    void Say(const std::string &line, std::FILE *stream = stderr);
    // "CALL error CODE, TEXT", CODE in lower-case hex, TEXT the result's text.
    void Failure(const char *call, CK_RV rv);
    // What was said, a line each.
    [[nodiscard]] const std::string &Said() const { return said_; }

private:
    std::string said_;
};

// printf's formatting, into a string.
std::string Format(const char *format, ...) __attribute__((format(printf, 1, 2)));

// "CODE, TEXT" of a result, as the messages show it.
std::string Result(CK_RV rv);

}  // namespace randdump

#endif

// Where the record of a run goes, kept in step with the sample it describes.
#ifndef TOOL_SINK_RECORDFILE_H
#define TOOL_SINK_RECORDFILE_H

#include <memory>
#include <string>

#include "sink/sink.h"

namespace randdump {

class OutputFile;

// A record in a file is written and flushed before the sample is put in place (Stage()), so that
// a record that cannot be written keeps the old sample too; the record of a run that put no
// sample in place goes beside the path, to PATH.failed, so that the record at PATH always
// describes the sample there. A record on a stream (a FIFO, a device) is written at the end.
class RecordFile {
public:
    // `sink`, opened for `path`.
    RecordFile(std::unique_ptr<Sink> sink, std::string path);

    // The record as it will be put in place, written and flushed; false when it cannot be.
    bool Stage(const std::string &text);
    // Writes the record (again only when it differs from what was staged) and puts it in place:
    // at its path, or when `beside`, at PATH.failed, replacing an older one.
    bool Place(const std::string &text, bool beside);

    // Where the record goes, or went.
    [[nodiscard]] const std::string &Where() const { return where_; }
    [[nodiscard]] const std::string &Reason() const { return sink_->Reason(); }

private:
    std::unique_ptr<Sink> sink_;
    OutputFile *file_;  // the sink, when it is a file
    std::string where_;
    std::string staged_;
};

}  // namespace randdump

#endif

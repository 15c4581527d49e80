#include "sink/recordfile.h"

#include <span>
#include <utility>

#include "sink/outputfile.h"

namespace randdump {

RecordFile::RecordFile(std::unique_ptr<Sink> sink, std::string path)
    : sink_(std::move(sink)),
      file_(dynamic_cast<OutputFile *>(sink_.get())),
      where_(std::move(path))
{
}

bool RecordFile::Stage(const std::string &text)
{
    if (file_ == nullptr) {
        return true;
    }
    if (!file_->Rewrite(std::as_bytes(std::span(text)))) {
        return false;
    }
    staged_ = text;
    return true;
}

bool RecordFile::Place(const std::string &text, bool beside)
{
    if (file_ == nullptr) {
        return sink_->Write(std::as_bytes(std::span(text)), 0) && sink_->Commit();
    }
    if (beside) {
        where_ += ".failed";
        file_->PlaceAs(where_.substr(where_.rfind('/') + 1));
    }
    return (text == staged_ || Stage(text)) && file_->Commit();
}

}  // namespace randdump

// The file layer's logic that both OSes share.
#include "platform/files.h"

#include "platform/files_shared.h"

namespace platform {
namespace {

constexpr size_t kBufferSize = 1 << 20;

// Reads until `size` bytes are in or the file ends; stores the count in `got`.
Status ReadFully(const ReadSome& read, char* buffer, size_t size, size_t& got) {
  for (got = 0; got < size;) {
    size_t some = 0;
    if (Status status = read(buffer + got, size - got, some); !status.ok()) return status;
    if (some == 0) break;
    got += some;
  }
  return {};
}

}  // namespace

Status ReadToEnd(const ReadSome& read, size_t size, size_t past, std::string& contents) {
  contents.resize(size);
  size_t got = 0;
  if (Status status = ReadFully(read, contents.data(), size, got); !status.ok()) return status;
  contents.resize(got);
  char more[4096];
  do {
    if (Status status = ReadFully(read, more, sizeof more, got); !status.ok()) return status;
    contents.append(more, got);
  } while (got > 0 && contents.size() <= size + past);
  if (contents.size() > size + past) return {Step::kRead, 0};
  return {};
}

AtomicFileWriter::~AtomicFileWriter() { Discard(); }

Status AtomicFileWriter::Open(FileContents& original) { return failed_ = OpenTemp(original); }

Status AtomicFileWriter::Write(std::string_view bytes) {
  if (!failed_.ok()) return failed_;
  if (buffer_.size() + bytes.size() > kBufferSize) {
    failed_ = WriteOut(buffer_);
    buffer_.clear();
    if (!failed_.ok()) return failed_;
  }
  if (bytes.size() >= kBufferSize) return failed_ = WriteOut(bytes);
  if (buffer_.capacity() < kBufferSize) buffer_.reserve(kBufferSize);
  buffer_.append(bytes);
  return {};
}

}  // namespace platform

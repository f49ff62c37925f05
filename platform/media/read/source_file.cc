#include "platform/media/read/source_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace talvex::media {

Result<std::shared_ptr<const SourceFile>> SourceFile::open(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return Result<std::shared_ptr<const SourceFile>>::failure(std::strerror(errno));
  return std::shared_ptr<const SourceFile>(new SourceFile(path, std::move(fd)));
}

namespace {

constexpr int kIoBufferSize = 64 * 1024;

}  // namespace

Result<std::unique_ptr<OpenedInput>> OpenedInput::open(std::shared_ptr<const SourceFile> file) {
  using R = Result<std::unique_ptr<OpenedInput>>;
  auto in = std::unique_ptr<OpenedInput>(new OpenedInput());
  in->file_ = std::move(file);
  in->cursor_.fd = in->file_->fd();
  struct stat st {};
  if (::fstat(in->cursor_.fd, &st) != 0) return R::failure(std::strerror(errno));
  in->cursor_.size = st.st_size;

  auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferSize));
  if (!buffer) return R::failure("out of memory");
  auto read = [](void* opaque, uint8_t* buf, int size) -> int {
    auto* c = static_cast<Cursor*>(opaque);
    ssize_t n;
    do n = ::pread(c->fd, buf, static_cast<size_t>(size), c->pos);
    while (n < 0 && errno == EINTR);
    if (n < 0) return AVERROR(errno);
    if (n == 0) return AVERROR_EOF;
    c->pos += n;
    return static_cast<int>(n);
  };
  auto seek = [](void* opaque, int64_t offset, int whence) -> int64_t {
    auto* c = static_cast<Cursor*>(opaque);
    switch (whence & ~AVSEEK_FORCE) {
      case AVSEEK_SIZE:
        return c->size;
      case SEEK_SET:
        c->pos = offset;
        break;
      case SEEK_CUR:
        c->pos += offset;
        break;
      case SEEK_END:
        c->pos = c->size + offset;
        break;
      default:
        return AVERROR(EINVAL);
    }
    return c->pos;
  };
  in->io_.reset(avio_alloc_context(buffer, kIoBufferSize, 0, &in->cursor_, read, nullptr, seek));
  if (!in->io_) {
    av_free(buffer);
    return R::failure("out of memory");
  }
  AVFormatContext* raw = avformat_alloc_context();
  if (!raw) return R::failure("out of memory");
  raw->pb = in->io_.get();
  raw->flags |= AVFMT_FLAG_CUSTOM_IO;
  // The path still helps the probe: its extension is a hint when the content is ambiguous.
  if (int rc = avformat_open_input(&raw, in->file_->path().c_str(), nullptr, nullptr); rc < 0)
    return R::failure(avErrorText(rc));  // raw is freed by the failed open
  in->fmt_.reset(raw);
  if (int rc = avformat_find_stream_info(raw, nullptr); rc < 0) return R::failure(avErrorText(rc));
  return in;
}

}  // namespace talvex::media

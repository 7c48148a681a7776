// the file classes.
#include "upxlib/file.h"

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <cstdio>
#include <exception>

#include <windows.h>

#include "upxlib/except.h"
#include "upxlib/mem.h"
#include "upxlib/options.h"

namespace upx {

static int safeTransfer(int fd, void* buf, int len, bool writing) {
  int saved = errno;
  upx_byte* b = static_cast<upx_byte*>(buf);
  int done = 0;
  while (done < len) {
    errno = 0;
    int r = writing ? ::_write(fd, b + done, unsigned(len - done))
                    : ::_read(fd, b + done, unsigned(len - done));
    if (r == 0) break;
    if (r < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      if (errno == 0) errno = 1;
      return done;
    }
    done += r;
  }
  errno = saved;
  return done;
}

FileBase::FileBase()
    : _fd(-1), _flags(0), _shflags(0), _mode(0), _name(nullptr), _offset(0), _length(0) {
  memset(&st, 0, sizeof(st));
}

FileBase::~FileBase() noexcept {
  if (isOpen()) {
    bool ok = close();
    (void)ok;  // a destructor never raises; the checked close is closeChecked
  }
}

bool FileBase::close() {
  bool ok = true;
  if (isOpen() && _fd != 0 && _fd != 1 && _fd != 2)
    if (::_close(_fd) == -1) ok = false;
  _fd = -1;
  _flags = 0;
  _mode = 0;
  _name = nullptr;
  _offset = 0;
  _length = 0;
  return ok;
}

void FileBase::closeChecked() {
  if (!close()) raiseIOException("close failed", errno);
}

void FileBase::setExtent(int offset, int length) {
  _offset = offset;
  _length = length;
}

int FileBase::doOpen(const wchar_t* name, int flags, int shflags, int mode) {
  _name = name;
  _flags = flags;
  _shflags = shflags;
  _mode = mode;
  _offset = 0;
  _length = 0;
  int fd = -1;
  errno = 0;
  int sh = shflags < 0 ? _SH_DENYNO : shflags;
  errno_t e = ::_wsopen_s(&fd, name, flags, sh, mode);
  if (e != 0 || fd < 0) {
    int err = e ? e : errno;
    _fd = -1;
    return err ? err : EINVAL;
  }
  _fd = fd;
  return 0;
}

int FileBase::read(void* buf, int len) {
  if (!isOpen() || len < 0) raiseIOException("bad read", 0);
  if (unsigned(len) > UPX_RSIZE_MAX) raiseCannotPack("mem_size 2; take care");
  errno = 0;
  int n = safeTransfer(_fd, buf, len, false);
  if (errno != 0) raiseIOException("read error", errno);
  return n;
}

int FileBase::readExact(void* buf, int len) {
  int n = read(buf, len);
  if (n != len) raiseEOF();
  return n;
}

void FileBase::write(const void* buf, int len) {
  if (!isOpen() || len < 0) raiseIOException("bad write", 0);
  if (unsigned(len) > UPX_RSIZE_MAX) raiseCannotPack("mem_size 2; take care");
  errno = 0;
  int n = safeTransfer(_fd, const_cast<void*>(buf), len, true);
  if (n != len) raiseIOException("write error", errno);
}

upx_int64_t FileBase::seek(upx_int64_t off, int whence) {
  upx_int64_t mag = off < 0 ? -off : off;
  if (mag > upx_int64_t(UPX_RSIZE_MAX)) raiseCannotPack("mem_size 2; take care");
  if (!isOpen()) raiseIOException("bad seek 1", 0);
  if (whence == SEEK_SET) {
    if (off < 0) raiseIOException("bad seek 2", 0);
    off += _offset;
  } else if (whence == SEEK_END) {
    if (off > 0) raiseIOException("bad seek 3", 0);
    off += upx_int64_t(_offset) + _length;
    whence = SEEK_SET;
  }
  __int64 pos = ::_lseeki64(_fd, off, whence);
  if (pos < 0) raiseIOException("seek error", errno);
  return pos - _offset;
}

upx_int64_t FileBase::tell() const {
  if (!isOpen()) raiseIOException("bad tell", 0);
  __int64 pos = ::_lseeki64(_fd, 0, SEEK_CUR);
  if (pos < 0) raiseIOException("tell error", errno);
  return pos - _offset;
}

static int openResult(int err, bool input) {
  if (input && err == ENOENT) return 2;
  if (err == EEXIST) return 80;
  return 11;
}

int InputFile::openShared(const wchar_t* name, int flags, int shflags) {
  close();
  int err = doOpen(name, flags, shflags, 0);
  if (err == 0) {
    if (::_fstat64i32(_fd, &st) == 0) {
      _length = _length_orig = int(st.st_size);
      return 0;
    }
    err = errno ? errno : EINVAL;
    close();
  }
  return openResult(err, true);
}

int InputFile::read(MemBuffer& buf, int len) {
  return read(&buf, len);
}
int InputFile::read(MemBuffer* buf, int len) {
  buf->verifyGuards();
  UPX_ASSERT(len >= 0 && unsigned(len) <= buf->getSize());
  return FileBase::read(buf->getVoidPtr(), len);
}
int InputFile::readExact(MemBuffer& buf, int len) {
  return readExact(&buf, len);
}
int InputFile::readExact(MemBuffer* buf, int len) {
  buf->verifyGuards();
  UPX_ASSERT(len >= 0 && unsigned(len) <= buf->getSize());
  return FileBase::readExact(buf->getVoidPtr(), len);
}

upx_int64_t InputFile::seek(upx_int64_t off, int whence) {
  upx_int64_t pos = FileBase::seek(off, whence);
  if (pos > _length) raiseIOException("bad seek 4", 0);
  return pos;
}

int OutputFile::openShared(const wchar_t* name, int flags, int shflags, int mode) {
  close();
  bytes_written = 0;
  int err = doOpen(name, flags, shflags, mode);
  if (err == 0) {
    if (::_fstat64i32(_fd, &st) != 0) memset(&st, 0, sizeof(st));
    return 0;
  }
  return openResult(err, false);
}

bool OutputFile::openStdout(int flags, bool force) {
  close();
  int fd = _fileno(stdout);
  if (!force && fd >= 0 && _isatty(fd)) {
    intptr_t h = _get_osfhandle(fd);
    DWORD mode;
    if (h == -1 || GetConsoleMode(reinterpret_cast<HANDLE>(h), &mode)) return false;
  }
  _fd = fd;
  _name = L"<stdout>";
  _shflags = -1;
  _mode = 0;
  _offset = 0;
  _length = 0;
  if (flags) {
    if (fd < 0) return false;
    if (_setmode(fd, _O_BINARY) == -1) return false;
  }
  return true;
}

void OutputFile::write(const void* buf, int len) {
  FileBase::write(buf, len);
  bytes_written += len;
}
void OutputFile::write(const MemBuffer& buf, int len) {
  write(&buf, len);
}
void OutputFile::write(const MemBuffer* buf, int len) {
  buf->verifyGuards();
  UPX_ASSERT(len >= 0 && unsigned(len) <= buf->getSize());
  write(static_cast<const void*>(buf->getVoidPtr()), len);
}

int OutputFile::getLength() const {
  if (opt && opt->to_stdout) return bytes_written;
  upx_stat_t s;
  if (!isOpen() || ::_fstat64i32(_fd, &s) != 0) return 0;
  return int(s.st_size);
}

void OutputFile::setExtent(int offset, int length) {
  FileBase::setExtent(offset, length);
  bytes_written = 0;
  if (offset == 0 && length == -1) _length = getLength();
}

upx_int64_t OutputFile::seek(upx_int64_t off, int whence) {
  UPX_ASSERT(!opt || !opt->to_stdout);
  if (whence == SEEK_SET) {
    if (off > bytes_written) bytes_written = int(off);
    _length = bytes_written;
  } else if (whence == SEEK_END) {
    _length = bytes_written;
  }
  return FileBase::seek(int(off), whence);
}

void OutputFile::unsetExtent() {
  __int64 pos = ::_lseeki64(_fd, 0, SEEK_END);
  if (pos < 0) raiseIOException("lseek error", errno);
  _offset = 0;
  _length = int(pos);
  bytes_written = int(pos);
}

void OutputFile::rewrite(const void* buf, int len) {
  UPX_ASSERT(!opt || !opt->to_stdout);
  write(buf, len);
  bytes_written -= len;
}

void OutputFile::dump(const wchar_t* name, const void* buf, int len) {
  OutputFile f;
  f.open(name, O_CREAT | O_BINARY | O_TRUNC | O_WRONLY, 0600);
  f.write(buf, len);
  f.closeChecked();
}

}  // namespace upx

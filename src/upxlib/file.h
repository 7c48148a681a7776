// the file classes over the runtime's descriptor functions.
#pragma once
#include <sys/stat.h>

#include "upxlib/conf.h"

namespace upx {

class MemBuffer;

typedef struct _stat64i32 upx_stat_t;

class File {
 public:
  virtual ~File() noexcept {}
};

class FileBase : public File {
 protected:
  FileBase();

 public:
  ~FileBase() noexcept override;
  virtual bool close();
  virtual void closeChecked();
  virtual bool isOpen() const { return _fd >= 0; }
  virtual int getLength() const { return _length; }
  virtual void setExtent(int offset, int length);
  virtual int read(void* buf, int len);
  virtual int readExact(void* buf, int len);
  virtual void write(const void* buf, int len);
  virtual upx_int64_t seek(upx_int64_t off, int whence);
  virtual upx_int64_t tell() const;

  int getFd() const { return _fd; }
  const wchar_t* getName() const { return _name; }

  int _fd;
  int _flags;
  int _shflags;
  int _mode;
  const wchar_t* _name;
  int _offset;
  int _length;
  upx_stat_t st;

 protected:
  int doOpen(const wchar_t* name, int flags, int shflags, int mode);
};

class InputFile : public FileBase {
 public:
  InputFile() : _length_orig(0) {}
  virtual int openShared(const wchar_t* name, int flags, int shflags);
  virtual int open(const wchar_t* name, int flags) { return openShared(name, flags, -1); }
  int read(void* buf, int len) override { return FileBase::read(buf, len); }
  int readExact(void* buf, int len) override { return FileBase::readExact(buf, len); }
  virtual int read(MemBuffer& buf, int len);
  virtual int read(MemBuffer* buf, int len);
  virtual int readExact(MemBuffer& buf, int len);
  virtual int readExact(MemBuffer* buf, int len);
  upx_int64_t seek(upx_int64_t off, int whence) override;
  upx_int64_t tell() const override { return FileBase::tell(); }
  virtual int getOriginalLength() const { return _length_orig; }

  int _length_orig;
};

class OutputFile : public FileBase {
 public:
  OutputFile() : bytes_written(0) {}
  virtual int openShared(const wchar_t* name, int flags, int shflags, int mode);
  virtual int open(const wchar_t* name, int flags, int mode) {
    return openShared(name, flags, -1, mode);
  }
  virtual bool openStdout(int flags, bool force);
  void write(const void* buf, int len) override;
  virtual void write(const MemBuffer& buf, int len);
  virtual void write(const MemBuffer* buf, int len);
  int getLength() const override;
  void setExtent(int offset, int length) override;
  upx_int64_t seek(upx_int64_t off, int whence) override;
  virtual void unsetExtent();
  virtual void rewrite(const void* buf, int len);
  int getBytesWritten() const { return bytes_written; }

  static void dump(const wchar_t* name, const void* buf, int len);

  int bytes_written;
};

}  // namespace upx

// The unpacker's exception tree. Raised by value, caught by
// reference; only unpack_one_file turns them into Win32 numbers.
#pragma once
#include <exception>

#include "upxlib/conf.h"

namespace upx {

class Throwable : public std::exception {
 protected:
  Throwable(const char* m = nullptr, int e = 0, bool w = false) noexcept;

 public:
  Throwable(const Throwable& other) noexcept;
  Throwable& operator=(const Throwable&) = delete;
  ~Throwable() noexcept override;
  const char* what() const noexcept override;
  const char* getMsg() const noexcept { return msg; }
  int getErrno() const noexcept { return err; }
  bool isWarning() const noexcept { return is_warning; }

 private:
  char* msg;
  int err;
  bool is_warning;
};

class Exception : public Throwable {
 public:
  Exception(const char* m = nullptr, int e = 0, bool w = false) noexcept : Throwable(m, e, w) {}
};
class CantPackException : public Exception {
 public:
  CantPackException(const char* m = nullptr, bool w = false) noexcept : Exception(m, 0, w) {}
};
class NotCompressibleException : public CantPackException {
 public:
  NotCompressibleException() noexcept : CantPackException(nullptr) {}
};
class AlreadyPackedException : public CantPackException {
 public:
  AlreadyPackedException(const char* m) noexcept : CantPackException(m, true) {}
};
class CantUnpackException : public Exception {
 public:
  CantUnpackException(const char* m = nullptr, bool w = false) noexcept : Exception(m, 0, w) {}
};
class NotPackedException : public CantUnpackException {
 public:
  NotPackedException(const char* m = "not packed by UPX") noexcept : CantUnpackException(m, true) {}
};
class IOException : public Exception {
 public:
  IOException(const char* m = nullptr, int e = 0) noexcept : Exception(m, e) {}
};
class EOFException : public IOException {
 public:
  EOFException(const char* m = "premature end of file", int e = 0) noexcept : IOException(m, e) {}
};
class OutOfMemoryException : public Exception {
 public:
  OutOfMemoryException(const char* m = "out of memory", int e = 0) noexcept : Exception(m, e) {}
};
class OverlayException : public Exception {
 public:
  OverlayException(const char* m = nullptr, bool w = false) noexcept : Exception(m, 0, w) {}
};
class Error : public Throwable {
 public:
  Error(const char* m = nullptr, int e = 0) noexcept : Throwable(m, e) {}
};
class InternalError : public Error {
 public:
  InternalError(const char* m = nullptr) noexcept : Error(m, 0) {}
};

[[noreturn]] void raiseCannotPack(const char* msg);
[[noreturn]] void raiseNotCompressible();
[[noreturn]] void raiseAlreadyPacked(const char* msg);
[[noreturn]] void raiseNotPacked();
[[noreturn]] void raiseChecksumError();
[[noreturn]] void raiseCompressedDataViolation();
[[noreturn]] void raiseInternalError(const char* msg);
[[noreturn]] void raiseOutOfMemory();
[[noreturn]] void raiseIOException(const char* msg, int e = 0);
[[noreturn]] void raiseEOF();

}  // namespace upx

// the exception tree and its raise functions.
#include "upxlib/except.h"

#include <cstdlib>
#include <cstring>

#include "upxlib/options.h"

namespace upx {

static char* dupMsg(const char* m) noexcept {
  if (!m) return nullptr;
  size_t n = strlen(m) + 1;
  char* p = static_cast<char*>(malloc(n));
  if (p) memcpy(p, m, n);  // no copy: the exception carries no message
  return p;
}

Throwable::Throwable(const char* m, int e, bool w) noexcept
    : msg(dupMsg(m)), err(e), is_warning(w) {}

Throwable::Throwable(const Throwable& other) noexcept
    : std::exception(other), msg(dupMsg(other.msg)), err(other.err), is_warning(other.is_warning) {}

Throwable::~Throwable() noexcept {
  free(msg);
}

const char* Throwable::what() const noexcept {
  return msg ? msg : "upx exception";
}

void raiseCannotPack(const char* msg) {
  if (opt && (opt->cmd == CMD_COMPRESS || opt->cmd == CMD_FILEINFO)) throw CantPackException(msg);
  throw CantUnpackException(msg);
}
void raiseNotCompressible() {
  throw NotCompressibleException();
}
void raiseAlreadyPacked(const char* msg) {
  throw AlreadyPackedException(msg);
}
void raiseNotPacked() {
  throw NotPackedException();
}
void raiseChecksumError() {
  throw Exception("checksum error");
}
void raiseCompressedDataViolation() {
  throw Exception("compressed data violation");
}
void raiseInternalError(const char* msg) {
  throw InternalError(msg);
}
void raiseOutOfMemory() {
  throw OutOfMemoryException();
}
void raiseIOException(const char* msg, int e) {
  throw IOException(msg, e);
}
void raiseEOF() {
  throw EOFException();
}

}  // namespace upx

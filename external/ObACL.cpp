#include "ObACL.h"

#include <cerrno>

#include "HSMStore.h"

namespace ObACL {

Helper* Helper::getInstance(int type) {
  if (type == eExtendedAttributes) return new Helper();
  return nullptr;
}

Helper::~Helper() = default;

int Helper::supportsXattr(const char* path) {
  if (!path) return 0;
  ssize_t n = tqhsm::HSMStore::Current().getxattr(path, "user.tqhsm.probe", nullptr, 0);
  return (n < 0 && errno == ENOTSUP) ? 0 : 1;
}

int Helper::getXattr(const char* path, const char* name, char* buffer, int size) {
  if (!path || !name || !buffer || size <= 0) {
    errno = EINVAL;
    return -1;
  }
  ssize_t n = tqhsm::HSMStore::Current().lgetxattr(path, name, buffer, static_cast<size_t>(size));
  if (n < 0) {
    if (errno == ENODATA || errno == ENOTSUP) return 0;
    return -1;
  }
  return static_cast<int>(n);
}

int Helper::getXattr(int fd, const char* name, char* buffer, int size) {
  if (fd < 0 || !name || !buffer || size <= 0) {
    errno = EINVAL;
    return -1;
  }
  ssize_t n = tqhsm::HSMStore::Current().fgetxattr(fd, name, buffer, static_cast<size_t>(size));
  if (n < 0) {
    if (errno == ENODATA || errno == ENOTSUP) return 0;
    return -1;
  }
  return static_cast<int>(n);
}

}  // namespace ObACL

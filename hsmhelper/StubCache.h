#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

#include "TQHSMExport.h"

// Reads a cached stub the way every cached-stub reader of the helper does:
// up to size bytes from its start into a zero-filled buffer of size bytes, and
// when those hold no valid stub data, up to size bytes from offset 1000 (stub
// data behind a prefix) over the same buffer. False (errno set) when the file
// cannot be opened. The buffer is never larger than kMaxCachedStubRead: stub
// data sit at offset 0 or 1000 and are far shorter, so a larger file does not
// get a buffer of its whole size.
const uint64_t kMaxCachedStubRead = 65536;
TQHSM_API bool ReadCachedStub(const char* name, uint64_t size, std::vector<char>& buffer);
// The same for the cached stub name itself, not what a link there points to,
// with its size from the one descriptor read: st is the stat record of what
// was read. False (errno set) when it cannot be opened or is no regular file.
TQHSM_API bool ReadCachedStubEntry(const char* name, struct stat& st, std::vector<char>& buffer);

// Deletes the cached stub name, but only a regular file directly in the stub
// cache (location), looked up without following symbolic links, and, when
// inspected is given, the file that was looked at (device and inode): a name
// elsewhere, or a file that changed since it was looked at, is never deleted.
// 0 deleted; -2 refused (why says why); -1 the delete failed.
TQHSM_API int DeleteCachedStub(const std::string& location, const std::string& name,
                               const struct stat* inspected, std::string& why);

// Deletes cached stubs as DeleteCachedStub does, through one descriptor of the
// stub cache held for the deleter's life: for a pass that deletes many cached
// stubs, each delete is then a look-up and an unlink in that directory. The
// directory is opened (without following links) at the first delete; should
// that fail, every delete fails with the same reason.
class TQHSM_API CachedStubDeleter {
 public:
  explicit CachedStubDeleter(const std::string& location);
  ~CachedStubDeleter();
  CachedStubDeleter(const CachedStubDeleter&) = delete;
  CachedStubDeleter& operator=(const CachedStubDeleter&) = delete;
  // Returns as DeleteCachedStub.
  int remove(const std::string& name, const struct stat* inspected, std::string& why);

 private:
  std::string m_sLocation;  // as configured, for messages
  std::string m_sCache;     // the same without trailing slashes
  int m_nDirFd = -1;
  bool m_bOpened = false;  // the open was tried
  std::string m_sOpenError;
};

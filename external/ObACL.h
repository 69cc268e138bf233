#pragma once

#include "TQHSMExport.h"

// The agent's ACL helpers. Type 19 is the helper for extended attributes.
namespace ObACL {

class TQHSM_API Helper {
 public:
  enum { eExtendedAttributes = 19 };

  // A new helper of the given type, owned by the caller; null for a type that
  // this platform does not offer.
  static Helper* getInstance(int type);
  virtual ~Helper();

  // Non-zero when the file system of path can hold extended attributes.
  virtual int supportsXattr(const char* path);
  // Reads attribute name of path (a symbolic link is not followed) into buffer:
  // the number of bytes read (1 or more); 0 when the attribute is absent or
  // empty; -1 with errno set when it cannot be read (ERANGE: longer than size).
  virtual int getXattr(const char* path, const char* name, char* buffer, int size);
  // The same for an open file. A file system without extended attributes
  // reads as "absent" (0).
  virtual int getXattr(int fd, const char* name, char* buffer, int size);

 protected:
  Helper() = default;
};

}  // namespace ObACL

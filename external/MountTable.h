#pragma once

#include <string>
#include <vector>

#include "Backend.h"
#include "CZoError.h"

// One mounted file system.
struct TQHSM_API ObMntEnt {
  std::string m_sDevice;
  std::string m_sMountPoint;
  std::string m_sFsType;
  std::string m_sOptions;
};

namespace tqhsm {

// Where the mount table comes from. The default reads /proc/self/mounts and
// decodes its octal escapes (\040 for a blank and so on).
class TQHSM_API MountSource {
  TQHSM_BACKEND_SLOT(MountSource)

 public:
  virtual ~MountSource();
  virtual CZoError readMounts(std::vector<ObMntEnt>& entries);
};

// Decodes the octal escapes of a mount-table field.
TQHSM_API std::string DecodeMountField(const std::string& field);
// Parses the text of a mount table (the format of /proc/self/mounts).
TQHSM_API std::vector<ObMntEnt> ParseMountTable(const std::string& text);

}  // namespace tqhsm

// The agent's mount table.
class TQHSM_API ObMntTab {
 public:
  // Every entry in table order.
  static CZoError getAll(std::vector<ObMntEnt>& entries);
};

// Relation of a path to a mount point.
class TQHSM_API ComparePath {
 public:
  enum { eSame = 0, eBelow = 1, eAbove = 2, eUnrelated = 3 };
  // 0: the same path; 1: path lies below mountPoint; 2: mountPoint lies below
  // path; 3: unrelated. Trailing slashes do not count.
  static int Check(const std::string& path, const std::string& mountPoint);
};

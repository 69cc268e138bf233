#include "VolumePath.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "SafePath.h"

namespace tqhsm {
namespace service {

bool NormalizeVolumePath(const std::string& path, std::string& normalized, std::string& error) {
  if (path.empty()) {
    error = "no volume path given";
    return false;
  }
  if (path[0] != '/') {
    error = "volume path '" + path + "' is not absolute";
    return false;
  }
  std::string out;
  size_t i = 0;
  while (i < path.size()) {
    while (i < path.size() && path[i] == '/') ++i;
    if (i == path.size()) break;
    size_t end = path.find('/', i);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(i, end - i);
    if (part == "." || part == "..") {
      error = "volume path '" + path + "' has a '" + part + "' component";
      return false;
    }
    out += "/" + part;
    i = end;
  }
  normalized = out.empty() ? "/" : out;
  return true;
}

bool IsUnderRoot(const std::string& path, const std::string& root) {
  if (root == "/") return !path.empty() && path[0] == '/';
  return path.compare(0, root.size(), root) == 0 &&
         (path.size() == root.size() || path[root.size()] == '/');
}

const char* NonLocalFileSystem(long type) {
  switch (static_cast<unsigned long>(type) & 0xFFFFFFFFul) {
    case 0x6969: return "nfs";
    case 0x517B: return "smb";
    case 0xFF534D42: return "cifs";
    case 0xFE534D42: return "smb2";
    case 0x73757245: return "coda";
    case 0x5346414F:
    case 0x6B414653: return "afs";
    case 0x00C36400: return "ceph";
    case 0x01021997: return "9p";
    case 0x9FA0: return "proc";
    case 0x62656572: return "sysfs";
    case 0x1CD1: return "devpts";
    case 0x27E0EB: return "cgroup";
    case 0x63677270: return "cgroup2";
    case 0x64626720: return "debugfs";
    case 0x74726163: return "tracefs";
    case 0x73636673: return "securityfs";
    default: return nullptr;
  }
}

bool CheckVolumePath(const std::string& path, const std::vector<std::string>& roots,
                     std::string& normalized, std::string& error) {
  std::string p;
  if (!NormalizeVolumePath(path, p, error)) return false;
  bool under = false;
  for (const std::string& root : roots) under = under || IsUnderRoot(p, root);
  if (!under) {
    std::string list;
    for (const std::string& root : roots) list += (list.empty() ? "" : ", ") + root;
    error = "volume path '" + p + "' lies outside the allowed roots of this service (" +
            (list.empty() ? "none configured" : list) + ")";
    return false;
  }
  int fd = OpenNoFollow(p.c_str(), O_PATH);
  if (fd < 0) {
    int err = errno;
    if (err == ELOOP)
      error = "volume path '" + p + "' runs through a symbolic link (links are never followed)";
    else if (err == ENOENT)
      error = "volume path '" + p + "' does not exist";
    else if (err == ENOTDIR)
      error = "volume path '" + p + "' is not a directory";
    else
      error = "volume path '" + p + "' cannot be checked: " + strerror(err);
    return false;
  }
  struct stat st;
  struct statfs fs;
  bool statOk = fstat(fd, &st) == 0;
  int err = errno;
  bool fsOk = statOk && fstatfs(fd, &fs) == 0;
  if (statOk && !fsOk) err = errno;
  close(fd);
  if (!statOk || !fsOk) {
    error = "volume path '" + p + "' cannot be checked: " + strerror(err);
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    error = "volume path '" + p + "' is not a directory";
    return false;
  }
  if (const char* name = NonLocalFileSystem(static_cast<long>(fs.f_type))) {
    error =
        "volume path '" + p + "' is on a " + name + " file system, not one of this machine's own";
    return false;
  }
  normalized = p;
  return true;
}

}  // namespace service
}  // namespace tqhsm

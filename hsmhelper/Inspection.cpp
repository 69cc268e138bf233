#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "FileUtf.h"
#include "ObACL.h"
#include "TQHSMHelper.h"

// Stub and file inspection: whether a file is a stub, whether it is open, and
// the GUIDs its stub carries.

namespace {

bool isPathError(int err) {
  return err == ENOENT || err == ENOTDIR || err == EACCES || err == ELOOP || err == ENAMETOOLONG;
}

}  // namespace

bool TQHSMHelper::GetFileInfo(const char* path, bool& isStub, int& fileState) {
  CScopedPerf perf(m_perf, "TQHSMHelper::GetFileInfo", ePerfGetFileInfo);
  if (!IsLocalScan()) {
    fileState = 2;
    return IsSparseFileStub(path, isStub);
  }
  if (!path || !m_pLowLevelCtx) return false;
  TQHSMLowLevel* lowLevel = m_pLowLevelCtx->getByFileName(path);
  if (!lowLevel) return false;
  if (lowLevel->getFileInfo(path, isStub, fileState) == 0) return true;
  m_event.Error("TQHSMHelper::GetFileInfo", "%s.", lowLevel->getLastError().c_str());
  return false;
}

bool TQHSMHelper::IsStub(const char* path) {
  bool isStub = false;
  int fileState = 0;
  return GetFileInfo(path, isStub, fileState) && isStub;
}

bool TQHSMHelper::IsSparseFileStub(const char* path, bool& isStub) {
  const char* tag = "TQHSMHelper::IsSparseFileStub";
  isStub = false;
  // A proxy scan alone sees no stubs.
  if (m_nRemoteClientId == 0 && !m_bUseNativeSnap) return true;
  if (!path) return false;

  std::string target = path;
  if (m_bUseNativeSnap && m_bSnapHostMapped && m_pPathMapper) {
    std::string hostPath;
    m_pPathMapper->mapSnapProxyToHostPath(path, hostPath);
    m_event.DebugLvl(tag, 2, "Proxy path '%s' converted to host path '%s'.", path,
                     hostPath.c_str());
    target = hostPath;
  }
  const char* p = target.c_str();

  std::unique_ptr<ObACL::Helper> acl(ObACL::Helper::getInstance(ObACL::Helper::eExtendedAttributes));
  if (acl && acl->supportsXattr(p)) {
    char attr[2049];
    std::memset(attr, 0, sizeof attr);
    int n = acl->getXattr(p, "user.OSTUB", attr, 2048);
    if (n >= 1) {
      int length = 0;
      if (tqhsm_stub2meta(attr, static_cast<size_t>(n), &length, nullptr, nullptr, 1, false)) {
        isStub = true;
        return true;
      }
      m_event.Error(tag, "Couldn't find valid meta-data on %s", p);
      return false;
    }
    if (n < 0 && errno == ERANGE) {
      // Longer than any stub data: no valid meta-data.
      m_event.Error(tag, "Couldn't find valid meta-data on %s", p);
      return false;
    }
    if (n < 0 && !isPathError(errno)) {
      // The file's head cannot answer for an attribute that could not be read
      // (EIO ...), and a stub taken for a plain file would be archived with
      // its released blocks. Problems of the path itself are left to the
      // open below, which reports them.
      m_event.Error(tag, "Failed to read extended attribute %s of %s: %s.", "user.OSTUB", p,
                    strerror(errno));
      return false;
    }
  }

  // Without O_NOATIME reading the head would count as an access of the file,
  // which the access-time rule reads. O_NONBLOCK keeps a FIFO from stalling
  // the scan.
  int fd = open_utf(p, O_RDONLY | O_NOATIME | O_NONBLOCK, 0600);
  if (fd < 0 && errno == EPERM) fd = open_utf(p, O_RDONLY | O_NONBLOCK, 0600);
  if (fd < 0) {
    m_event.Error(tag, "Failed to open %s: %s.", p, strerror(errno));
    return false;
  }
  char head[1024];
  std::memset(head, 0, sizeof head);
  size_t got = 0;
  while (got < sizeof head) {
    ssize_t n = read(fd, head + got, sizeof head - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int err = errno;
      m_event.Error(tag, "Failed to read %s: %s.", p, strerror(err));
      close(fd);
      return false;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  int length = 0;
  isStub = tqhsm_stub2meta(head, sizeof head, &length, nullptr, nullptr, 0, true);
  close(fd);
  return true;
}

bool TQHSMHelper::GetGUIDFromStub(const char* path, std::string& stubGUID) {
  if (!path || !m_pLowLevelCtx) return false;
  TQHSMLowLevel* lowLevel = m_pLowLevelCtx->getByFileName(path);
  if (!lowLevel) return false;
  std::vector<char> data;
  bool failed = IsLocalScan() ? lowLevel->readStubData(path, data) < 0
                              : lowLevel->readStubDataProxy(path, data) != 0;
  if (failed) {
    m_event.Error("TQHSMHelper::GetGUIDFromStub", "%s.", lowLevel->getLastError().c_str());
    return false;
  }
  std::string appGUID;
  return GetAppGUIDAndStubGUIDFromStubData(data, appGUID, stubGUID);
}

bool TQHSMHelper::GetGUIDIfStub(const char* path, std::string& stubGUID) {
  if (!path) return false;
  if (m_nRemoteClientId == 0) {
    std::string hostPath;
    MapProxyPathToHostPath(path, hostPath);
    TQHSMLowLevel* lowLevel = m_pLowLevelCtx ? m_pLowLevelCtx->getByFileName(hostPath.c_str())
                                             : nullptr;
    // A file system without extended attributes holds no stubs.
    if (lowLevel && lowLevel->isXattrSupported(hostPath.c_str()) == 0) return false;
  }
  bool isStub = false;
  int fileState = 0;
  if (!GetFileInfo(path, isStub, fileState) || !isStub) return false;
  return GetGUIDFromStub(path, stubGUID);
}

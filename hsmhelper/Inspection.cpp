#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "FileUtf.h"
#include "HSMStore.h"
#include "ObACL.h"
#include "TQHSMHelper.h"

// Stub and file inspection: whether a file is a stub, whether it is open, and
// the GUIDs its stub carries.

bool TQHSMHelper::GetFileInfo(const char* path, bool& isStub, int& fileState) {
  return GetFileInfo(path, nullptr, isStub, fileState);
}

bool TQHSMHelper::GetFileInfo(const char* path, const struct stat* st, bool& isStub,
                              int& fileState) {
  CScopedPerf perf(m_perf, "TQHSMHelper::GetFileInfo", ePerfGetFileInfo);
  if (!IsLocalScan()) {
    fileState = 2;
    return IsSparseFileStub(path, isStub);
  }
  if (!path || !m_pLowLevelCtx) return false;
  // With the caller's record the file's device names its file system: no
  // look-up in the mount table per file.
  TQHSMLowLevel* lowLevel = st ? m_pLowLevelCtx->getByDevice(st->st_dev, path)
                               : m_pLowLevelCtx->getByFileName(path);
  if (!lowLevel) return false;
  if (lowLevel->getFileInfo(path, st, isStub, fileState) == 0) return true;
  m_event.Error("TQHSMHelper::GetFileInfo", "%s.", lowLevel->getLastError().c_str());
  return false;
}

bool TQHSMHelper::IsStub(const char* path) { return IsStub(path, nullptr); }

bool TQHSMHelper::IsStub(const char* path, const struct stat* st) {
  bool isStub = false;
  if (!IsLocalScan()) {
    int fileState = 0;
    return GetFileInfo(path, st, isStub, fileState) && isStub;
  }
  // Only the stub flag counts here, so the low-level object's stub test
  // answers, without the open-file probe of GetFileInfo: the same answer, and
  // for a file without stub data one system call. Failures are reported as
  // GetFileInfo reports them.
  if (!path || !m_pLowLevelCtx) return false;
  TQHSMLowLevel* lowLevel = st ? m_pLowLevelCtx->getByDevice(st->st_dev, path)
                               : m_pLowLevelCtx->getByFileName(path);
  if (!lowLevel) return false;
  if (lowLevel->stubTest(path, st, isStub) == 0) return isStub;
  m_event.Error("TQHSMHelper::GetFileInfo", "%s.", lowLevel->getLastError().c_str());
  return false;
}

bool TQHSMHelper::IsSparseFileStub(const char* path, bool& isStub) {
  const char* tag = "TQHSMHelper::IsSparseFileStub";
  isStub = false;
  // A proxy scan alone sees no stubs.
  if (m_nRemoteClientId == 0 && !m_bUseNativeSnap) return true;
  if (!path) return false;

  std::string target = path;
  // Inode numbers and nanoseconds of a proxy or snapshot view need not be
  // those of the stubbed file; the host path is the file itself.
  unsigned checks = tqhsm::eJudgeView;
  if (m_bUseNativeSnap && m_bSnapHostMapped && m_pPathMapper) {
    std::string hostPath;
    m_pPathMapper->mapSnapProxyToHostPath(path, hostPath);
    m_event.DebugLvl(tag, 2, "Proxy path '%s' converted to host path '%s'.", path,
                     hostPath.c_str());
    target = hostPath;
    checks = tqhsm::eJudgeLocal;
  }
  const char* p = target.c_str();

  // One descriptor for every look at the file: never through a link put in
  // its place, never stalled by a FIFO, without touching its access time.
  tqhsm::HSMStore& store = tqhsm::HSMStore::Current();
  int fd = tqhsm::OpenForInspection(p);
  if (fd < 0) {
    m_event.Error(tag, "Failed to open %s: %s.", p, strerror(errno));
    return false;
  }
  struct stat st;
  if (store.fstat(fd, &st) != 0) {
    m_event.Error(tag, "Failed to read %s: %s.", p, strerror(errno));
    store.close(fd);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    // Only a regular file is a stub or a file to archive.
    m_event.Error(tag, "Failed to open %s: %s.", p, "not a regular file");
    store.close(fd);
    return false;
  }

  std::unique_ptr<ObACL::Helper> acl(
      ObACL::Helper::getInstance(ObACL::Helper::eExtendedAttributes));
  char attr[2049];
  std::memset(attr, 0, sizeof attr);
  int n = acl ? acl->getXattr(fd, "user.OSTUB", attr, 2048) : 0;
  const char* data = attr;
  size_t size = n > 0 ? static_cast<size_t>(n) : 0;
  char head[1024];
  if (n < 0 && errno != ERANGE) {
    // The file's head cannot answer for an attribute that could not be read
    // (EIO ...): a stub taken for a plain file would be archived with its
    // released blocks.
    m_event.Error(tag, "Failed to read extended attribute %s of %s: %s.", "user.OSTUB", p,
                  strerror(errno));
    store.close(fd);
    return false;
  }
  if (n == 0) {
    // No attribute: a sparse-file stub carries its data at the head.
    std::memset(head, 0, sizeof head);
    size_t got = 0;
    while (got < sizeof head) {
      ssize_t r = store.pread(fd, head + got, sizeof head - got, static_cast<off_t>(got));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) {
        m_event.Error(tag, "Failed to read %s: %s.", p, strerror(errno));
        store.close(fd);
        return false;
      }
      if (r == 0) break;
      got += static_cast<size_t>(r);
    }
    data = head;
    size = sizeof head;
  }
  store.close(fd);

  std::string why;
  int verdict;
  if (n < 0) {
    // Longer than any stub data: no valid meta-data, and on a file of holes
    // no content to archive either.
    why = "an attribute longer than any stub data";
    verdict = tqhsm::LooksReleased(st) ? tqhsm::eDoubtfulStub : tqhsm::eNoStub;
  } else {
    verdict = tqhsm::JudgeStub(data, size, st, checks, nullptr, nullptr, &why);
  }
  if (verdict == tqhsm::eIntactStub) {
    isStub = true;
    return true;
  }
  if (verdict == tqhsm::eDoubtfulStub) {
    // Stub data that do not make it a stub on a file of holes: neither a stub
    // to keep nor data to archive.
    m_event.Error(tag, "Couldn't find valid meta-data on %s", p);
    m_event.DebugLvl(tag, 1, "%s: %s, and its data blocks are released.", p, why.c_str());
    return false;
  }
  if (n != 0 && m_event.isLevelEnabled(3))
    m_event.DebugLvl(tag, 3, "%s is not a stub: %s.", p, why.c_str());
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

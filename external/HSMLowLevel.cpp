#include "HSMLowLevel.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "Config.h"
#include "EvEvent.h"
#include "FileUtf.h"
#include "HSMStore.h"
#include "HSMStubBatch.h"
#include "MountTable.h"
#include "SafePath.h"
#include "StubFormat.h"

using tqhsm::HSMStore;

namespace {

// How much of a file's head a sparse-file stub may occupy.
const size_t kStubHeadSize = 1024;

std::string errText(const char* what, const char* path, int err) {
  return std::string(what) + " " + (path ? path : "(null)") + ": " + strerror(err);
}

// Closes a descriptor of the store when the scope ends.
class StoreFd {
 public:
  explicit StoreFd(int fd) : m_nFd(fd) {}
  ~StoreFd() {
    if (m_nFd >= 0) HSMStore::Current().close(m_nFd);
  }
  StoreFd(const StoreFd&) = delete;
  StoreFd& operator=(const StoreFd&) = delete;
  int get() const { return m_nFd; }
  // Closes now and reports the result (a close can report a late write error).
  int close() {
    int fd = m_nFd;
    m_nFd = -1;
    return fd >= 0 ? HSMStore::Current().close(fd) : 0;
  }

 private:
  int m_nFd;
};

class Guard {
 public:
  explicit Guard(ObCriticalSection& cs) : m_cs(cs) { m_cs.Enter(); }
  ~Guard() { m_cs.Leave(); }

 private:
  ObCriticalSection& m_cs;
};

std::string absolutePath(const char* path) {
  std::string p = path;
  if (!p.empty() && p[0] == '/') return p;
  char cwd[4096];
  if (!getcwd(cwd, sizeof cwd)) return p;
  return std::string(cwd) + "/" + p;
}

// Whether a process other than this open file description has the file open:
// a write lease is granted only when nobody else has it open. 1 yes, 0 no, -1
// the probe is not possible here (not the owner without CAP_LEASE, a file
// system without leases ...).
// Whether this process ignores SIGIO: -1 not known yet. Asked again by every
// new context (a scan's start), so that an owner who ignores SIGIO before it
// sets the helper up is seen.
int g_nSigioIgnored = -1;

bool sigioIgnored() {
  if (g_nSigioIgnored < 0) {
    struct sigaction sa;
    g_nSigioIgnored = sigaction(SIGIO, nullptr, &sa) == 0 && sa.sa_handler == SIG_IGN ? 1 : 0;
  }
  return g_nSigioIgnored == 1;
}

int openElsewhere(HSMStore& store, int fd) {
  // Should another process open the file while the lease is held, the lease
  // holder is signalled, however short the lease: without F_SETSIG that is
  // SIGIO, whose default action ends the process (tried: a reader opening the
  // file during the window kills the holder). SIGURG is ignored by default.
  // F_SETSIG belongs to the open file description, so it would be set for
  // every file; a process that ignores SIGIO (tqhsm-scan does) is spared that
  // call. REQUIRES: an owner that ignores SIGIO when the scan starts keeps it
  // ignored until the scan ends.
  if (!sigioIgnored() && store.fcntl(fd, F_SETSIG, SIGURG) != 0) return -1;
  if (store.fcntl(fd, F_SETLEASE, F_WRLCK) == 0) {
    store.fcntl(fd, F_SETLEASE, F_UNLCK);
    return 0;
  }
  if (errno == EAGAIN || errno == EBUSY) return 1;
  return -1;
}

}  // namespace

ObCriticalSection::ObCriticalSection() : m_pLock(nullptr) {
  pthread_mutex_t* m = new (std::nothrow) pthread_mutex_t;
  if (!m) throw "Not enough memory to initialize ObCriticalSection";
  pthread_mutex_init(m, nullptr);
  m_pLock = m;
}

ObCriticalSection::~ObCriticalSection() {
  pthread_mutex_t* m = static_cast<pthread_mutex_t*>(m_pLock);
  pthread_mutex_destroy(m);
  delete m;
}

void ObCriticalSection::Enter() { pthread_mutex_lock(static_cast<pthread_mutex_t*>(m_pLock)); }
void ObCriticalSection::Leave() { pthread_mutex_unlock(static_cast<pthread_mutex_t*>(m_pLock)); }

// ---------------------------------------------------------------------------
// HSM mount table

TQHSMMntTab::TQHSMMntTab() {
  std::vector<ObMntEnt> all;
  CZoError err = ObMntTab::getAll(all);
  if (err.IsError()) {
    EvDebug().Error("TQHSMMntTab::TQHSMMntTab", "%s", err.AsString().c_str());
    return;
  }
  m_vecEntries.reserve(all.size());
  for (const ObMntEnt& e : all) m_vecEntries.push_back({e.m_sMountPoint, e.m_sFsType, e.m_sDevice});
}

const TQHSMMntEnt* TQHSMMntTab::find(const char* path) const {
  if (!path || !*path) return nullptr;
  std::string p = absolutePath(path);
  const TQHSMMntEnt* best = nullptr;
  size_t bestLen = 0;
  // The longest mount point that holds the path; of equal ones the last in the
  // table, which hides those mounted before it.
  for (const TQHSMMntEnt& e : m_vecEntries) {
    int rel = ComparePath::Check(p, e.m_sMountPoint);
    if (rel != ComparePath::eSame && rel != ComparePath::eBelow) continue;
    if (!best || e.m_sMountPoint.size() >= bestLen) {
      best = &e;
      bestLen = e.m_sMountPoint.size();
    }
  }
  return best;
}

// ---------------------------------------------------------------------------
// The intact test

namespace tqhsm {

namespace {

// What a stub may keep allocated: one block for an attribute that does not fit
// in the inode (ext4 keeps a record of this size in a block of its own), and
// the head record rounded up to whole blocks for a sparse-file stub.
uint64_t stubAllowance(const struct stat& st, bool head, size_t recordSize) {
  uint64_t block = st.st_blksize >= 512 ? static_cast<uint64_t>(st.st_blksize) : 4096;
  uint64_t allowed = block;
  if (head) allowed += (recordSize + block - 1) / block * block;
  return allowed;
}

uint64_t allocatedBytes(const struct stat& st) {
  return st.st_blocks > 0 ? static_cast<uint64_t>(st.st_blocks) * 512 : 0;
}

int verdictOfFailure(const struct stat& st, std::string* why, const std::string& reason) {
  if (why) *why = reason;
  return LooksReleased(st) ? eDoubtfulStub : eNoStub;
}

}  // namespace

bool LooksReleased(const struct stat& st) {
  uint64_t allowed = stubAllowance(st, true, kMaxStubRecordSize);
  return static_cast<uint64_t>(st.st_size) > allowed && allocatedBytes(st) <= allowed;
}

int JudgeStub(const char* data, size_t size, const struct stat& st, unsigned checks,
              ReparseData* record, size_t* length, std::string* why) {
  // Bytes that are not even meant as stub data of ours (an ordinary file's
  // head) say nothing about the file.
  if (!data || size < sizeof kStubMagic || std::memcmp(data, kStubMagic, sizeof kStubMagic) != 0) {
    if (why) *why = "no stub data";
    return eNoStub;
  }
  ReparseData r;
  size_t len = 0;
  std::string reason;
  if (!DecodeStubData(data, size, r, &len, &reason)) return verdictOfFailure(st, why, reason);
  if (record) *record = r;
  if (length) *length = len;
  if ((checks & eJudgeInode) && static_cast<uint64_t>(st.st_ino) != r.stubInode)
    return verdictOfFailure(st, why,
                            "another file's stub data (stub of inode " +
                                std::to_string(r.stubInode) + ", this is inode " +
                                std::to_string(static_cast<uint64_t>(st.st_ino)) + ")");
  if (static_cast<uint64_t>(st.st_size) != r.originalSize)
    return verdictOfFailure(st, why,
                            "size differs (" + std::to_string(st.st_size) +
                                " bytes, the stub's original size is " +
                                std::to_string(r.originalSize) + ")");
  bool sameTime = static_cast<int64_t>(st.st_mtim.tv_sec) == r.stubMtime &&
                  (!(checks & eJudgeMtimeNsec) ||
                   static_cast<uint32_t>(st.st_mtim.tv_nsec) == r.stubMtimeNsec);
  if (!sameTime) {
    char text[160];
    snprintf(text, sizeof text,
             "modified after stubbing (modification time %lld.%09ld, stubbed at %lld.%09u)",
             static_cast<long long>(st.st_mtim.tv_sec), static_cast<long>(st.st_mtim.tv_nsec),
             static_cast<long long>(r.stubMtime), r.stubMtimeNsec);
    return verdictOfFailure(st, why, text);
  }
  uint64_t allowed = stubAllowance(st, r.headRecord, len);
  if (allocatedBytes(st) > allowed)
    return verdictOfFailure(st, why,
                            "data blocks present (" + std::to_string(allocatedBytes(st)) +
                                " bytes allocated, a stub keeps at most " +
                                std::to_string(allowed) + ")");
  return eIntactStub;
}

}  // namespace tqhsm

// ---------------------------------------------------------------------------
// Low-level object of one file system

namespace {

const size_t kSmallAttr = 512;  // stub records are about 200 bytes

// Reads the stub attribute of fd into small, or into big when it is longer.
// The length (0 for none: absent, empty or no attribute support) or -1.
ssize_t readStubAttr(HSMStore& store, int fd, char* small, size_t smallSize,
                     std::vector<char>& big, const char*& bytes) {
  bytes = small;
  ssize_t n = store.fgetxattr(fd, TQHSM_STUB_XATTR, small, smallSize);
  if (n < 0 && errno == ERANGE) {
    // Longer than any record of ours, but read whole: the verdict needs it.
    ssize_t want = store.fgetxattr(fd, TQHSM_STUB_XATTR, nullptr, 0);
    if (want > 0) {
      big.resize(static_cast<size_t>(want));
      n = store.fgetxattr(fd, TQHSM_STUB_XATTR, big.data(), big.size());
      bytes = big.data();
    } else {
      n = want;
    }
  }
  if (n < 0 && (errno == ENODATA || errno == ENOTSUP)) return 0;
  return n;
}

// Reads up to size bytes from the start of fd.
ssize_t readHead(HSMStore& store, int fd, char* buf, size_t size) {
  size_t got = 0;
  while (got < size) {
    ssize_t n = store.pread(fd, buf + got, size - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

std::string identityText(const struct stat& st) {
  return "inode " + std::to_string(static_cast<unsigned long long>(st.st_ino)) + " on device " +
         std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
}

}  // namespace

TQHSMLowLevel::TQHSMLowLevel(const std::string& mountPoint) : m_sMountPoint(mountPoint) {}
TQHSMLowLevel::~TQHSMLowLevel() = default;

int TQHSMLowLevel::isXattrSupported(const char* path) {
  if (m_nXattrSupport >= 0) return m_nXattrSupport;
  HSMStore& store = HSMStore::Current();
  const char* probes[2] = {path, m_sMountPoint.c_str()};
  for (const char* p : probes) {
    if (!p || !*p) continue;
    ssize_t n = store.getxattr(p, TQHSM_STUB_XATTR, nullptr, 0);
    if (n >= 0 || errno == ENODATA || errno == ERANGE) return m_nXattrSupport = 1;
    if (errno == ENOTSUP) {
      setLastError(m_sMountPoint + " does not support extended attributes");
      return m_nXattrSupport = 0;
    }
    // The path may be gone or unreadable: ask the mount point itself.
  }
  // No answer: a file system is not declared stub-less on a guess.
  setLastError(errText("Cannot tell extended-attribute support of", path, errno));
  return 1;
}

int TQHSMLowLevel::openInspected(const char* path, struct stat& st) {
  if (!path) {
    setLastError("No path given");
    errno = EINVAL;
    return -1;
  }
  HSMStore& store = HSMStore::Current();
  int fd = tqhsm::OpenForInspection(path);
  if (fd < 0) {
    int err = errno;
    setLastError(err == ELOOP ? std::string(path) + " is a symbolic link"
                              : errText("Cannot open", path, err));
    errno = err;
    return -1;
  }
  if (store.fstat(fd, &st) != 0) {
    int err = errno;
    setLastError(errText("Cannot stat", path, err));
    store.close(fd);
    errno = err;
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    // Only regular files are stubs, and only they are ever taken for a file
    // to archive.
    setLastError(std::string(path) + " is not a regular file");
    store.close(fd);
    errno = EINVAL;
    return -1;
  }
  return fd;
}

int TQHSMLowLevel::judgeOpenFile(int fd, const struct stat& st, const char* path, unsigned checks,
                                 bool head, bool& isStub, std::vector<char>* data, bool* stale) {
  isStub = false;
  if (stale) *stale = false;
  HSMStore& store = HSMStore::Current();
  char small[kSmallAttr];
  std::vector<char> big;
  const char* bytes = small;
  ssize_t n = readStubAttr(store, fd, small, sizeof small, big, bytes);
  if (n < 0) {
    setLastError(errText("Cannot read the stub data of", path, errno));
    return -1;
  }
  char headBuf[kStubHeadSize];
  if (n == 0 && head) {
    // No attribute: a sparse-file stub carries its data at the head of the file.
    n = readHead(store, fd, headBuf, sizeof headBuf);
    if (n < 0) {
      setLastError(errText("Cannot read", path, errno));
      return -1;
    }
    bytes = headBuf;
  }
  if (n == 0) {
    notAStub(path);
    return 0;
  }
  std::string why;
  size_t len = 0;
  int verdict =
      tqhsm::JudgeStub(bytes, static_cast<size_t>(n), st, checks, nullptr, &len, &why);
  if (verdict == tqhsm::eIntactStub) {
    isStub = true;
    if (data) data->assign(bytes, bytes + len);
    return 0;
  }
  if (verdict == tqhsm::eDoubtfulStub) {
    setLastError(std::string(path) +
                 " carries stub data but is no intact stub (" + why +
                 ") while its data blocks are released: neither kept as a stub nor archived");
    return -1;
  }
  setLastError(std::string(path) + " is not a stub (" + why + ")");
  if (stale) *stale = true;
  return 0;
}

int TQHSMLowLevel::readStubData(const char* path, std::vector<char>& data) {
  data.clear();
  struct stat st;
  int fd = openInspected(path, st);
  if (fd < 0) return -1;
  StoreFd guard(fd);
  return readStubData(fd, st, path, data);
}

int TQHSMLowLevel::readStubData(int fd, const struct stat& st, const char* path,
                                std::vector<char>& data) {
  data.clear();
  bool isStub = false;
  if (judgeOpenFile(fd, st, path ? path : "(null)", tqhsm::eJudgeLocal, false, isStub, &data) != 0)
    return -1;
  if (!isStub) {
    errno = ENODATA;
    return -1;
  }
  return 0;
}

int TQHSMLowLevel::readStubDataProxy(const char* path, std::vector<char>& data) {
  data.clear();
  struct stat st;
  int fd = openInspected(path, st);
  if (fd < 0) return -1;
  StoreFd guard(fd);
  bool isStub = false;
  if (judgeOpenFile(fd, st, path, tqhsm::eJudgeView, true, isStub, &data) != 0) return -1;
  if (!isStub) {
    errno = ENODATA;
    return -1;
  }
  return 0;
}

int TQHSMLowLevel::isStubbed(const char* path) {
  struct stat st;
  int fd = openInspected(path, st);
  if (fd < 0) return 0;
  StoreFd guard(fd);
  bool isStub = false;
  return judgeOpenFile(fd, st, path, tqhsm::eJudgeLocal, false, isStub, nullptr) == 0 && isStub
             ? 1
             : 0;
}

int TQHSMLowLevel::getFileInfo(const char* path, bool& isStub, int& fileState) {
  return getFileInfo(path, nullptr, isStub, fileState);
}

int TQHSMLowLevel::getFileInfo(const char* path, const struct stat* callerSt, bool& isStub,
                               int& fileState) {
  isStub = false;
  fileState = eFileStateUnknown;
  if (!path) {
    setLastError("No path given");
    return -1;
  }
  if (callerSt && !S_ISREG(callerSt->st_mode)) {
    setLastError(std::string(path) + " is not a regular file");
    return -1;
  }
  HSMStore& store = HSMStore::Current();
  int fd = tqhsm::OpenForInspection(path);
  if (fd < 0) {
    int err = errno;
    // Another process holds a lease on the file: it has it open.
    if (err == EWOULDBLOCK) {
      fileState = eFileOpen;
      return 0;
    }
    setLastError(err == ELOOP ? std::string(path) + " is a symbolic link"
                              : errText("Cannot open", path, err));
    return -1;
  }
  StoreFd guard(fd);
  struct stat st;
  if (checkInspected(fd, path, callerSt, "TQHSMLowLevel::getFileInfo", st) != 0) return -1;
  bool stale = false;
  if (judgeOpenFile(fd, st, path, tqhsm::eJudgeLocal, false, isStub, nullptr, &stale) != 0)
    return -1;
  if (stale) {
    // A file with stub data that no longer make it a stub: say why it is
    // taken for a plain file (written after stubbing, a forged record ...).
    EvDebug log;
    if (log.isLevelEnabled(2))
      log.DebugLvl("TQHSMLowLevel::getFileInfo", 2, "%s; taken for a plain file.",
                   m_sLastError.c_str());
  }
  int open = openElsewhere(store, fd);
  fileState = open == 1 ? eFileOpen : open == 0 ? eFileNotOpen : eFileStateUnknown;
  return 0;
}

int TQHSMLowLevel::checkInspected(int fd, const char* path, const struct stat* callerSt,
                                  const char* tag, struct stat& st) {
  if (HSMStore::Current().fstat(fd, &st) != 0) {
    setLastError(errText("Cannot stat", path, errno));
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    setLastError(std::string(path) + " is not a regular file");
    return -1;
  }
  if (callerSt && callerSt->st_ino != 0 &&
      !tqhsm::IsSameFile(st, callerSt->st_dev, callerSt->st_ino)) {
    std::string text = std::string(path) + " changed under the scan: it is " + identityText(st) +
                       " now, the scan saw " + identityText(*callerSt);
    EvDebug().DebugLvl(tag, 1, "%s", text.c_str());
    setLastError(text);
    return -1;
  }
  return 0;
}

int TQHSMLowLevel::stubTest(const char* path, const struct stat* callerSt, bool& isStub) {
  isStub = false;
  if (!path) {
    setLastError("No path given");
    return -1;
  }
  if (callerSt && !S_ISREG(callerSt->st_mode)) {
    setLastError(std::string(path) + " is not a regular file");
    return -1;
  }
  // Most files carry no attribute: one call by path answers for them. It
  // neither follows a link in the file's place nor opens the file, and an
  // absent attribute is "no stub" for whatever the path names now; only an
  // attribute that is there is looked at through a checked descriptor below.
  char probe[kSmallAttr];
  if (probeStubAttr(path, probe, sizeof probe) == 0) return 0;
  int fd = tqhsm::OpenForInspection(path);
  if (fd < 0) {
    int err = errno;
    if (err == EWOULDBLOCK) {
      // Held under a lease by another process: as getFileInfo, not a stub
      // known here.
      setLastError(std::string(path) + " is open in another process");
      return 0;
    }
    setLastError(err == ELOOP ? std::string(path) + " is a symbolic link"
                              : errText("Cannot open", path, err));
    return -1;
  }
  StoreFd guard(fd);
  struct stat st;
  if (checkInspected(fd, path, callerSt, "TQHSMLowLevel::stubTest", st) != 0) return -1;
  return judgeOpenFile(fd, st, path, tqhsm::eJudgeLocal, false, isStub, nullptr);
}

ssize_t TQHSMLowLevel::probeStubAttr(const char* path, char* buf, size_t size) {
  ssize_t n = HSMStore::Current().lgetxattr(path, TQHSM_STUB_XATTR, buf, size);
  if (n == 0 || (n < 0 && (errno == ENODATA || errno == ENOTSUP))) {
    notAStub(path);
    return 0;
  }
  return n;
}

int TQHSMLowLevel::peekStubRecord(const char* path, const struct stat& st, ReparseData& record) {
  if (!path || !S_ISREG(st.st_mode)) return -1;
  char probe[kSmallAttr];
  ssize_t n = probeStubAttr(path, probe, sizeof probe);
  if (n <= 0) return static_cast<int>(n);
  return tqhsm::JudgeStub(probe, static_cast<size_t>(n), st, tqhsm::eJudgeLocal, &record, nullptr,
                          nullptr) == tqhsm::eIntactStub
             ? 1
             : -1;
}

int TQHSMLowLevel::stubFile(const char* path, const char* reparse, time_t time, int flag) {
  return stubFile(path, reparse, time, flag, Expect());
}

int TQHSMLowLevel::stubFile(const char* path, const char* reparse, time_t time, int flag,
                            const Expect& expect) {
  // A batch of one: the same checks, the same order of writes and syncs.
  TQHSMStubBatch one(1);
  int rc = one.add(path, reparse, time, flag, expect);
  if (rc == 0 && one.held() > 0) {
    one.commit();
    rc = one.outcome(0).result;
  }
  if (rc != 0) setLastError(one.outcome(0).error);
  return rc;
}

// ---------------------------------------------------------------------------
// Context

TQHSMLowLevelCtx::TQHSMLowLevelCtx(int useDriver) : m_nUseDriver(useDriver) {
  g_nSigioIgnored = -1;
}

TQHSMLowLevelCtx::~TQHSMLowLevelCtx() {
  for (auto& entry : m_mapLowLevel) delete entry.second;
  m_mapLowLevel.clear();
}

TQHSMLowLevel* TQHSMLowLevelCtx::getByFileName(const char* path) {
  if (!path || !*path) return nullptr;
  Guard guard(m_cs);
  const TQHSMMntEnt* ent = m_mntTab.find(path);
  if (!ent) return nullptr;
  auto it = m_mapLowLevel.find(ent->m_sMountPoint);
  if (it != m_mapLowLevel.end()) return it->second;
  TQHSMLowLevel* obj = new (std::nothrow) TQHSMLowLevel(ent->m_sMountPoint);
  if (obj) m_mapLowLevel[ent->m_sMountPoint] = obj;
  return obj;
}

TQHSMLowLevel* TQHSMLowLevelCtx::getByDevice(dev_t dev, const char* path) {
  if (m_pLastByDevice && dev == m_lastDev) return m_pLastByDevice;
  TQHSMLowLevel* obj = nullptr;
  for (const auto& known : m_vecByDevice)
    if (known.first == dev) obj = known.second;
  if (!obj) {
    obj = getByFileName(path);
    if (!obj) return nullptr;  // not remembered: a later file may find one
    m_vecByDevice.emplace_back(dev, obj);
  }
  m_lastDev = dev;
  m_pLastByDevice = obj;
  return obj;
}

// ---------------------------------------------------------------------------
// Stub cache and locks

std::string getCacheFname(const char* /*path*/, const struct stat* st,
                          const std::string& stubCacheLocation) {
  if (!st || stubCacheLocation.empty()) return std::string();
  std::string dir = stubCacheLocation;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  if (dir != "/") dir += '/';
  // Device and inode name the file whatever path it is reached by, so the
  // file's own path and its volume's mount point give the same name.
  return dir + std::to_string(major(st->st_dev)) + "." + std::to_string(minor(st->st_dev)) + "." +
         std::to_string(static_cast<unsigned long long>(st->st_ino)) + ".stub";
}

int getStubCacheInfo(const std::string& /*clientName*/, bool& enabled, std::string& location) {
  enabled = false;
  location.clear();
  tqhsm::ConfigSource& config = tqhsm::ConfigSource::Current();
  std::string flag;
  if (!config.getString("StubCache", "Enabled", flag)) return 0;
  bool on = !flag.empty() && std::strchr("yYtT1", flag[0]) != nullptr;
  if (!on) return 0;
  std::string where;
  if (!config.getString("StubCache", "Location", where) || where.empty()) {
    EvDebug().Error("getStubCacheInfo",
                    "The stub cache is enabled but [StubCache] Location is not set; the stub "
                    "cache stays off.");
    return -1;
  }
  location = where;
  enabled = true;
  return 0;
}

int tqhsmIsMandLocked(const char* path, const struct stat* st) {
  if (!path) return -1;
  struct stat own;
  if (!st) {
    if (lstat_utf(path, &own) != 0) return -1;
    st = &own;
  }
  // Mandatory locking is marked by the set-group-id bit without group execute.
  if (!S_ISREG(st->st_mode) || !(st->st_mode & S_ISGID) || (st->st_mode & S_IXGRP)) return 0;
  HSMStore& store = HSMStore::Current();
  // Never through a link put in the file's place, never stalled by a FIFO.
  int fd = tqhsm::OpenForInspection(path);
  if (fd < 0) return -1;
  StoreFd guard(fd);
  struct stat now;
  if (store.fstat(fd, &now) != 0 || !S_ISREG(now.st_mode)) return -1;
  if (st->st_ino != 0 && !tqhsm::IsSameFile(now, st->st_dev, st->st_ino)) {
    EvDebug().DebugLvl("tqhsmIsMandLocked", 1,
                       "%s changed under the scan: it is %s now, the scan saw %s", path,
                       identityText(now).c_str(), identityText(*st).c_str());
    return -1;
  }
  struct flock lock;
  std::memset(&lock, 0, sizeof lock);
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  if (store.fcntlLock(fd, F_GETLK, &lock) != 0) return -1;
  return lock.l_type != F_UNLCK ? 1 : 0;
}

bool ParseCacheFname(const std::string& name, dev_t& dev, ino_t& ino) {
  size_t slash = name.rfind('/');
  std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
  const std::string suffix = ".stub";
  if (base.size() <= suffix.size() ||
      base.compare(base.size() - suffix.size(), suffix.size(), suffix) != 0)
    return false;
  base.resize(base.size() - suffix.size());
  uint64_t parts[3];
  size_t start = 0;
  for (int i = 0; i < 3; ++i) {
    size_t dot = base.find('.', start);
    if ((i < 2) != (dot != std::string::npos)) return false;
    if (!tqhsm::ParseDecimal(base.substr(start, dot == std::string::npos ? std::string::npos
                                                                          : dot - start),
                             parts[i]))
      return false;
    start = dot + 1;
  }
  if (parts[0] > 0xfffff || parts[1] > 0xfffff) return false;
  dev = makedev(static_cast<unsigned>(parts[0]), static_cast<unsigned>(parts[1]));
  ino = static_cast<ino_t>(parts[2]);
  return ino != 0;
}

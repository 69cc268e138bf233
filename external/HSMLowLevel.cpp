#include "HSMLowLevel.h"

#include <fcntl.h>
#include <linux/falloc.h>
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
#include "MountTable.h"
#include "StubFormat.h"

using tqhsm::HSMStore;

namespace {

// The largest value an extended attribute can have on Linux.
const size_t kMaxXattrValue = 65536;
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
int openElsewhere(HSMStore& store, int fd) {
  // Should another process open the file while the lease is held, the lease
  // holder is signalled; SIGIO would end this process, SIGURG is ignored by
  // default. The lease is held for two system calls only.
  if (store.fcntl(fd, F_SETSIG, SIGURG) != 0) return -1;
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
// Low-level object of one file system

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

int TQHSMLowLevel::readStubAttribute(const char* path, std::vector<char>& data) {
  data.clear();
  if (!path) {
    setLastError("No path given");
    errno = EINVAL;
    return -1;
  }
  std::vector<char> buf(kMaxXattrValue);
  ssize_t n = HSMStore::Current().lgetxattr(path, TQHSM_STUB_XATTR, buf.data(), buf.size());
  if (n < 0) {
    int err = errno;
    if (err == ENODATA || err == ENOTSUP)
      setLastError(std::string(path) + " is not a stub");
    else
      setLastError(errText("Cannot read the stub data of", path, err));
    errno = (err == ENOTSUP) ? ENODATA : err;
    return -1;
  }
  if (n == 0) {
    setLastError(std::string(path) + " is not a stub (empty stub attribute)");
    errno = ENODATA;
    return -1;
  }
  data.assign(buf.begin(), buf.begin() + n);
  return 0;
}

int TQHSMLowLevel::readStubData(const char* path, std::vector<char>& data) {
  return readStubAttribute(path, data);
}

int TQHSMLowLevel::readStubDataProxy(const char* path, std::vector<char>& data) {
  if (readStubAttribute(path, data) == 0) return 0;
  if (errno != ENODATA) return -1;
  // No attribute: a sparse-file stub carries its data at the head of the file.
  int fd = tqhsm::OpenForInspection(path, O_RDONLY | O_NONBLOCK);
  if (fd < 0) {
    setLastError(errText("Cannot open", path, errno));
    return -1;
  }
  StoreFd guard(fd);
  char head[kStubHeadSize];
  size_t got = 0;
  while (got < sizeof head) {
    ssize_t n = HSMStore::Current().pread(fd, head + got, sizeof head - got,
                                          static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      setLastError(errText("Cannot read", path, errno));
      return -1;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  ReparseData r;
  size_t len = 0;
  if (!tqhsm::DecodeStubData(head, got, r, &len)) {
    setLastError(std::string(path) + " is not a stub");
    return -1;
  }
  data.assign(head, head + len);
  return 0;
}

int TQHSMLowLevel::isStubbed(const char* path) {
  std::vector<char> data;
  if (readStubAttribute(path, data) != 0) return 0;
  ReparseData r;
  return tqhsm::DecodeStubData(data.data(), data.size(), r) ? 1 : 0;
}

int TQHSMLowLevel::getFileInfo(const char* path, bool& isStub, int& fileState) {
  isStub = false;
  fileState = eFileStateUnknown;
  if (!path) {
    setLastError("No path given");
    return -1;
  }
  struct stat st;
  if (lstat_utf(path, &st) != 0) {
    setLastError(errText("Cannot stat", path, errno));
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    // Only regular files become stubs; other files are never opened here
    // (opening a device can have effects of its own).
    fileState = eFileNotOpen;
    return 0;
  }
  std::vector<char> data;
  if (readStubAttribute(path, data) == 0) {
    ReparseData r;
    if (!tqhsm::DecodeStubData(data.data(), data.size(), r)) {
      // Its blocks may be released already: such a file must not pass for a
      // plain one and be archived.
      setLastError("Invalid stub meta-data on " + std::string(path));
      return -1;
    }
    isStub = true;
  } else if (errno != ENODATA) {
    return -1;
  }

  int fd = tqhsm::OpenForInspection(path, O_RDONLY | O_NONBLOCK, true);
  if (fd < 0) {
    // Another process holds a lease on the file: it has it open.
    if (errno == EWOULDBLOCK) fileState = eFileOpen;
    if (errno == ENOENT) {
      setLastError(errText("Cannot open", path, errno));
      return -1;
    }
    return 0;
  }
  StoreFd guard(fd);
  int open = openElsewhere(HSMStore::Current(), fd);
  fileState = open == 1 ? eFileOpen : open == 0 ? eFileNotOpen : eFileStateUnknown;
  return 0;
}

int TQHSMLowLevel::stubFile(const char* path, const char* reparse, time_t time, int flag) {
  if (!path) {
    setLastError("No path given");
    return -1;
  }
  ReparseData r;
  std::string why;
  if (!tqhsm::ParseReparseText(reparse, r, &why)) {
    setLastError("Invalid meta-data for " + std::string(path) + ": " + why);
    return -1;
  }
  std::vector<char> record;
  if (!tqhsm::EncodeStubData(r, record, &why)) {
    setLastError("Invalid meta-data for " + std::string(path) + ": " + why);
    return -1;
  }
  bool writeHead = flag >= 0 && (flag & eStubWriteHead);

  HSMStore& store = HSMStore::Current();
  int fd = tqhsm::OpenForInspection(path, O_RDWR | O_NONBLOCK, true);
  if (fd < 0) {
    setLastError(errText("Cannot open", path, errno));
    return -1;
  }
  StoreFd guard(fd);
  struct stat st;
  if (store.fstat(fd, &st) != 0) {
    setLastError(errText("Cannot stat", path, errno));
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    setLastError(std::string(path) + " is not a regular file");
    return -1;
  }
  if (r.originalSize != 0 && static_cast<uint64_t>(st.st_size) != r.originalSize) {
    setLastError("Size of " + std::string(path) + " (" + std::to_string(st.st_size) +
                 " bytes) differs from the stub's original size (" +
                 std::to_string(r.originalSize) + " bytes)");
    return -1;
  }
  if (writeHead && static_cast<size_t>(st.st_size) < record.size()) {
    setLastError(std::string(path) + " is too small to carry its stub data at its head");
    return -1;
  }

  // Remember what the attribute held, to put it back should a later step fail.
  std::vector<char> previous(kMaxXattrValue);
  ssize_t prev = store.fgetxattr(fd, TQHSM_STUB_XATTR, previous.data(), previous.size());
  if (prev < 0 && errno != ENODATA) {
    setLastError(errText("Cannot read the stub data of", path, errno));
    return -1;
  }
  auto rollback = [&]() {
    int err = errno;
    if (prev >= 0)
      store.fsetxattr(fd, TQHSM_STUB_XATTR, previous.data(), static_cast<size_t>(prev), 0);
    else
      store.fremovexattr(fd, TQHSM_STUB_XATTR);
    errno = err;
  };

  // The stub data are durable before a single block is released: a crash in
  // between leaves a stub that still has its data, never data without a stub.
  if (store.fsetxattr(fd, TQHSM_STUB_XATTR, record.data(), record.size(), 0) != 0) {
    setLastError(errText("Cannot write the stub data of", path, errno));
    return -1;
  }
  if (store.fsync(fd) != 0) {
    setLastError(errText("Cannot sync the stub data of", path, errno));
    rollback();
    return -1;
  }
  if (st.st_size > 0 &&
      store.fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, st.st_size) != 0) {
    setLastError(errText("Cannot release the data blocks of", path, errno));
    rollback();
    return -1;
  }
  if (writeHead) {
    size_t done = 0;
    while (done < record.size()) {
      ssize_t n = store.pwrite(fd, record.data() + done, record.size() - done,
                               static_cast<off_t>(done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        // The data are gone already; the attribute still makes the file a stub.
        setLastError(errText("Cannot write the stub data to the head of", path,
                             n < 0 ? errno : EIO));
        return -1;
      }
      done += static_cast<size_t>(n);
    }
  }
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  if (time >= 0) {
    times[1].tv_sec = time;
    times[1].tv_nsec = 0;
  } else {
    times[1] = st.st_mtim;
  }
  if (store.futimens(fd, times) != 0) {
    setLastError(errText("Cannot set the modification time of", path, errno));
    return -1;
  }
  if (guard.close() != 0) {
    setLastError(errText("Cannot close", path, errno));
    return -1;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Context

TQHSMLowLevelCtx::TQHSMLowLevelCtx(int useDriver) : m_nUseDriver(useDriver) {}

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
    if (stat_utf(path, &own) != 0) return -1;
    st = &own;
  }
  // Mandatory locking is marked by the set-group-id bit without group execute.
  if (!S_ISREG(st->st_mode) || !(st->st_mode & S_ISGID) || (st->st_mode & S_IXGRP)) return 0;
  int fd = tqhsm::OpenForInspection(path, O_RDONLY | O_NONBLOCK);
  if (fd < 0) return -1;
  StoreFd guard(fd);
  struct flock lock;
  std::memset(&lock, 0, sizeof lock);
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  if (HSMStore::Current().fcntlLock(fd, F_GETLK, &lock) != 0) return -1;
  return lock.l_type != F_UNLCK ? 1 : 0;
}

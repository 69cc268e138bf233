#include "StubCache.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "FileUtf.h"
#include "HSMStore.h"
#include "SafePath.h"
#include "TQHSMHelper.h"

// The stub cache: cached stubs are found, read and, when stale, deleted here;
// this library never writes into the cache.

namespace {

// Up to n bytes at offset over buf; what a short read does not reach keeps
// what buf held.
void ReadAt(int fd, char* buf, size_t n, off_t offset) {
  size_t done = 0;
  while (done < n) {
    ssize_t got = pread(fd, buf + done, n - done, offset + static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<size_t>(got);
  }
}

// The two reads of ReadCachedStub through an open descriptor. No stdio: the
// re-stubbing pass reads a cached stub per file, and a stream's buffer and its
// extra calls cost more than the few hundred bytes read.
size_t ReadSize(uint64_t size) {
  return static_cast<size_t>(size < kMaxCachedStubRead ? size : kMaxCachedStubRead);
}

void ReadStubData(int fd, uint64_t size, std::vector<char>& buffer) {
  size_t n = ReadSize(size);
  buffer.assign(n, 0);
  if (n == 0) return;
  ReadAt(fd, buffer.data(), n, 0);
  // A short read leaves zeros, which the check refuses.
  if (!tqhsm_stub2meta(buffer.data(), n, nullptr, nullptr, nullptr, 0, true))
    ReadAt(fd, buffer.data(), n, 1000);
}

void CloseKeepingErrno(int fd) {
  int err = errno;
  tqhsm::FileSystem::Current().close(fd);
  errno = err;
}

}  // namespace

bool ReadCachedStub(const char* name, uint64_t size, std::vector<char>& buffer) {
  buffer.assign(ReadSize(size), 0);
  if (!name) {
    errno = EINVAL;
    return false;
  }
  int fd = tqhsm::FileSystem::Current().open(name, O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return false;
  ReadStubData(fd, size, buffer);
  CloseKeepingErrno(fd);
  return true;
}

bool ReadCachedStubEntry(const char* name, struct stat& st, std::vector<char>& buffer) {
  buffer.clear();
  if (!name) {
    errno = EINVAL;
    return false;
  }
  tqhsm::FileSystem& fs = tqhsm::FileSystem::Current();
  int fd = fs.open(name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0);
  if (fd < 0) return false;
  if (fs.fstat(fd, &st) != 0) {
    CloseKeepingErrno(fd);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    fs.close(fd);
    errno = EINVAL;
    return false;
  }
  ReadStubData(fd, static_cast<uint64_t>(st.st_size), buffer);
  CloseKeepingErrno(fd);
  return true;
}

int DeleteCachedStub(const std::string& location, const std::string& name,
                     const struct stat* inspected, std::string& why) {
  CachedStubDeleter deleter(location);
  return deleter.remove(name, inspected, why);
}

CachedStubDeleter::CachedStubDeleter(const std::string& location) : m_sLocation(location), m_sCache(location) {
  while (m_sCache.size() > 1 && m_sCache.back() == '/') m_sCache.pop_back();
}

CachedStubDeleter::~CachedStubDeleter() {
  if (m_nDirFd >= 0) tqhsm::HSMStore::Current().close(m_nDirFd);
}

int CachedStubDeleter::remove(const std::string& name, const struct stat* inspected,
                              std::string& why) {
  std::string dir, base;
  if (m_sCache.empty() || !tqhsm::SplitParent(name, dir, base) || dir != m_sCache) {
    why = name + " is not in the stub cache " + (m_sLocation.empty() ? "(none)" : m_sLocation);
    return -2;
  }
  if (base.empty() || base == "." || base == "..") {
    why = "Not a name in " + dir + ": '" + base + "'";
    return -1;
  }
  if (!m_bOpened) {
    m_bOpened = true;
    m_nDirFd = tqhsm::OpenNoFollow(m_sCache.c_str(), O_PATH | O_DIRECTORY);
    if (m_nDirFd < 0) {
      int err = errno;
      m_sOpenError = err == ELOOP ? "A symbolic link is in the path of " + m_sCache
                                  : "Cannot open the directory " + m_sCache + ": " + strerror(err);
    }
  }
  if (m_nDirFd < 0) {
    why = m_sOpenError;
    return -1;
  }
  return tqhsm::UnlinkAtIfSame(m_nDirFd, m_sCache, base, inspected, why);
}

bool TQHSMHelper::IsFileShouldBeReStubbed(const char* path, struct stat* st,
                                          std::string& cachedStub) {
  const char* tag = "TQHSMHelper::IsFileShouldBeReStubbed";
  CScopedPerf perf(m_perf, tag, ePerfRestubCheck);
  if (m_nRemoteClientId != 0 || m_bIsProxy) return false;
  if (m_rules.m_bDoNotCreateStub || !m_rules.m_bStubCacheEnabled || !st) return false;

  std::string name = getCacheFname(path, st, m_rules.m_sStubCacheLocation);
  if (name.empty()) return false;
  struct stat cached;
  // Not followed: a link in the stub cache is no cached stub.
  if (lstat_utf(name.c_str(), &cached) != 0 || !S_ISREG(cached.st_mode)) return false;
  if (cached.st_mtime != st->st_mtime) {
    // Stale: the file changed after its stub was cached.
    std::string why;
    if (m_bDryRun)
      m_event.DebugLvl(tag, 2, "Would delete stale cached stub %s.", name.c_str());
    else if (DeleteCachedStub(m_rules.m_sStubCacheLocation, name, &cached, why) != 0)
      m_event.DebugLvl(tag, 1, "Stale cached stub %s not deleted: %s.", name.c_str(), why.c_str());
    return false;
  }
  FILE* file = fopen_utf(name.c_str(), "r");
  if (!file) {
    m_event.Error(tag, "Failed to open %s for reading: %s", name.c_str(), strerror(errno));
    return false;
  }
  fclose(file);
  if (cached.st_size == 0) return false;
  cachedStub = name;
  return true;
}

bool TQHSMHelper::ProcessStubCache(bool bUseStubCache, const char* path, struct stat* /*st*/) {
  const char* tag = "TQHSMHelper::ProcessStubCache";
  if ((m_nRemoteClientId != 0 || m_bIsProxy) && m_bUseNativeSnap) return false;
  if (m_rules.m_bDoNotCreateStub || !bUseStubCache || !m_rules.m_bStubCacheEnabled) return false;
  if (!path) return false;

  struct stat fileSt;
  // The file itself, not what a link in its place points to: it is the file
  // that stubFile must find below.
  if (lstat_utf(path, &fileSt) != 0 || !S_ISREG(fileSt.st_mode)) return false;
  std::string name = getCacheFname(path, &fileSt, m_rules.m_sStubCacheLocation);
  if (name.empty()) return false;
  struct stat cached;
  if (stat_utf(name.c_str(), &cached) != 0 || cached.st_mtime != fileSt.st_mtime) return false;

  std::vector<char> data;
  if (!ReadCachedStub(name.c_str(), static_cast<uint64_t>(cached.st_size), data)) {
    m_event.Error(tag, "Failed to open %s for reading: %s", name.c_str(), strerror(errno));
    return false;
  }
  if (data.empty()) return false;

  int pruned = m_rules.isAFilePruned(data, name.c_str(), m_sAppGUID,
                                     static_cast<uint64_t>(m_nAppId));
  if (pruned == 1) {
    m_event.DebugLvl(tag, 2, "Found cached stub %s for %s, but its AF has been pruned",
                     name.c_str(), path);
    return false;
  }
  if (pruned != 0) return false;
  m_event.DebugLvl(tag, 2, "Found cached stub %s for %s, and its AF has not been pruned yet",
                   name.c_str(), path);

  char reparse[256];
  reparse[0] = '\0';
  if (!tqhsm_stub2meta(data.data(), data.size(), nullptr, nullptr, reparse, sizeof reparse,
                       false)) {
    m_event.Error(tag, "Failed to extract metadata from stub %s", name.c_str());
    return false;
  }
  TQHSMLowLevel* lowLevel = m_pLowLevelCtx ? m_pLowLevelCtx->getByFileName(path) : nullptr;
  if (!lowLevel) {
    m_event.Error(tag, "Failed to instantiate TQHSMLowLevel object for [%s].", path);
    return false;
  }
  // Only the file that was looked at, unchanged since.
  TQHSMLowLevel::Expect expect;
  expect.dev = fileSt.st_dev;
  expect.ino = fileSt.st_ino;
  expect.bSize = true;
  expect.size = fileSt.st_size;
  expect.bMtime = true;
  expect.mtime = fileSt.st_mtime;
  // A dry run has every check made and nothing changed.
  int rc = lowLevel->stubFile(path, reparse, fileSt.st_mtime,
                              m_bDryRun ? TQHSMLowLevel::eStubCheckOnly : -1, expect);
  if (rc == TQHSMLowLevel::eStubChanged || rc == TQHSMLowLevel::eStubModified) {
    m_event.DebugLvl(tag, rc == TQHSMLowLevel::eStubChanged ? 1 : 2,
                     "Not replacing %s with cached stub %s: %s.", path, name.c_str(),
                     lowLevel->getLastError().c_str());
    return false;
  }
  if (rc != 0) {
    m_event.Error(tag, "Failed to stub %s: %s", path, lowLevel->getLastError().c_str());
    return false;
  }
  if (m_bDryRun)
    m_event.DebugLvl(tag, 1, "Would replace %s with cached stub %s", path, name.c_str());
  else
    m_event.Error(tag, "Successfully replaced %s with cached stub %s", path, name.c_str());
  if (m_pActionObserver) {
    ReparseData af;
    ParseStubReparseData(reparse, af);
    TellAction(TQHSMAction::eFileReStubbed, path, name.c_str(), af, nullptr);
  }
  return true;
}

bool TQHSMHelper::GetGUIDFromStubInCache(const char* name, std::string& stubGUID) {
  std::vector<char> data;
  if (!ReadCachedStub(name, 2048, data)) return false;
  std::string appGUID;
  return GetAppGUIDAndStubGUIDFromStubData(data, appGUID, stubGUID);
}

#include "StubCache.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "FileUtf.h"
#include "TQHSMHelper.h"

// The stub cache: cached stubs are found, read and, when stale, deleted here;
// this library never writes into the cache.

bool ReadCachedStub(const char* name, uint64_t size, std::vector<char>& buffer) {
  size_t n = static_cast<size_t>(size < kMaxCachedStubRead ? size : kMaxCachedStubRead);
  buffer.assign(n, 0);
  if (!name) {
    errno = EINVAL;
    return false;
  }
  FILE* file = fopen_utf(name, "r");
  if (!file) return false;
  if (n > 0) {
    size_t got = fread(buffer.data(), 1, n, file);
    (void)got;  // a short read leaves zeros, which the check below refuses
    if (!tqhsm_stub2meta(buffer.data(), n, nullptr, nullptr, nullptr, 0, true) &&
        fseek(file, 1000, SEEK_SET) == 0) {
      got = fread(buffer.data(), 1, n, file);
    }
  }
  fclose(file);
  return true;
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
  if (stat_utf(name.c_str(), &cached) != 0) return false;
  if (cached.st_mtime != st->st_mtime) {
    unlink_utf(name.c_str());  // stale: the file changed after its stub was cached
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
  if (stat_utf(path, &fileSt) != 0) return false;
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
  if (lowLevel->stubFile(path, reparse, fileSt.st_mtime, -1) != 0) {
    m_event.Error(tag, "Failed to stub %s: %s", path, lowLevel->getLastError().c_str());
    return false;
  }
  m_event.Error(tag, "Successfully replaced %s with cached stub %s", path, name.c_str());
  return true;
}

bool TQHSMHelper::GetGUIDFromStubInCache(const char* name, std::string& stubGUID) {
  std::vector<char> data;
  if (!ReadCachedStub(name, 2048, data)) return false;
  std::string appGUID;
  return GetAppGUIDAndStubGUIDFromStubData(data, appGUID, stubGUID);
}

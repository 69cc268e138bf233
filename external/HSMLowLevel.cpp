#include "HSMLowLevel.h"

#include <pthread.h>

#include <new>

// Until the HSM store is wired in, the low-level library knows no file system:
// every operation fails with a clear text and no file is a stub.

namespace {
const char* kNotAvailable = "HSM low-level store not available";
}

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

TQHSMMntTab::TQHSMMntTab() {}

const TQHSMMntEnt* TQHSMMntTab::find(const char*) const { return nullptr; }

TQHSMLowLevel::TQHSMLowLevel(const std::string& mountPoint) : m_sMountPoint(mountPoint) {}
TQHSMLowLevel::~TQHSMLowLevel() = default;

int TQHSMLowLevel::isXattrSupported(const char*) { return 0; }
int TQHSMLowLevel::readStubData(const char*, std::vector<char>&) {
  setLastError(kNotAvailable);
  return -1;
}
int TQHSMLowLevel::readStubDataProxy(const char*, std::vector<char>&) {
  setLastError(kNotAvailable);
  return -1;
}
int TQHSMLowLevel::isStubbed(const char*) { return 0; }
int TQHSMLowLevel::getFileInfo(const char*, bool& isStub, int& fileState) {
  isStub = false;
  fileState = 0;
  setLastError(kNotAvailable);
  return -1;
}
int TQHSMLowLevel::stubFile(const char*, const char*, time_t, int) {
  setLastError(kNotAvailable);
  return -1;
}

TQHSMLowLevelCtx::TQHSMLowLevelCtx(int useDriver) : m_nUseDriver(useDriver) {}

TQHSMLowLevelCtx::~TQHSMLowLevelCtx() {
  for (auto& entry : m_mapLowLevel) delete entry.second;
  m_mapLowLevel.clear();
}

TQHSMLowLevel* TQHSMLowLevelCtx::getByFileName(const char*) { return nullptr; }


bool tqhsm_stub2meta(const char*, size_t, int*, long long*, char*, int, bool) { return false; }
int ParseStubReparseData(const char*, ReparseData&) { return 0; }
int ParseStubData(const std::vector<char>&, ReparseData&) { return 0; }
bool GetAppGUIDAndStubGUIDFromStubData(const std::vector<char>&, std::string&, std::string&) {
  return false;
}
std::string getCacheFname(const char*, const struct stat*, const std::string&) {
  return std::string();
}
int getStubCacheInfo(const std::string&, bool& enabled, std::string& location) {
  enabled = false;
  location.clear();
  return -1;
}
int tqhsmIsMandLocked(const char*, const struct stat*) { return 0; }

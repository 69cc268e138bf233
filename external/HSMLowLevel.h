#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "TQHSMExport.h"

// The HSM low-level library: stubs, their meta-data, extended attributes, the
// stub cache's naming, the HSM mount table, watch lists and the persistent list
// of migrated directory trees.

// Parsed stub meta-data.
struct TQHSM_API ReparseData {
  uint64_t afParvisNumber = 0;
  uint64_t afCopyPrecedence = 0;
  uint64_t afileId = 0;
  int stubKind = 1;  // 1 archiver stub, 2 stub made by an HSM subclient
  std::string stubGUID;
  uint64_t appId = 0;
  std::string appGUID;
  uint64_t originalSize = 0;
};

// Allocates its lock object; throws the text below when that fails.
class TQHSM_API ObCriticalSection {
 public:
  ObCriticalSection();
  ~ObCriticalSection();
  ObCriticalSection(const ObCriticalSection&) = delete;
  ObCriticalSection& operator=(const ObCriticalSection&) = delete;
  void Enter();
  void Leave();

 private:
  void* m_pLock;
};

// One entry of the HSM mount table.
struct TQHSM_API TQHSMMntEnt {
  std::string m_sMountPoint;
  std::string m_sFsType;
  std::string m_sDevice;
};

// The HSM mount table: read when constructed.
class TQHSM_API TQHSMMntTab {
 public:
  TQHSMMntTab();
  // The entry of the mount that holds path (longest mount point), or null.
  const TQHSMMntEnt* find(const char* path) const;
  const std::vector<TQHSMMntEnt>& entries() const { return m_vecEntries; }

 private:
  std::vector<TQHSMMntEnt> m_vecEntries;
};

// The name of the extended attribute that holds a stub's data.
#define TQHSM_STUB_XATTR "user.OSTUB"

// The low-level object of one file system.
class TQHSM_API TQHSMLowLevel {
 public:
  // File states of getFileInfo: 1 open by someone; 0 not open; 3 not known
  // (the probe was not possible). The direct inspection of the helper uses 2.
  enum { eFileNotOpen = 0, eFileOpen = 1, eFileStateUnknown = 3 };
  // Options of stubFile (a negative value means none): also write the stub data
  // at the head of the file, which makes a sparse-file stub that a proxy or a
  // snapshot without extended attributes still recognises.
  enum { eStubWriteHead = 1 };

  explicit TQHSMLowLevel(const std::string& mountPoint);
  virtual ~TQHSMLowLevel();

  virtual int startWatchingDirTree(const char* dir);
  virtual int stopWatchingDirTree(const char* dir);
  virtual int isDirWatched(const char* dir);
  virtual int isXattrSupported(const char* path);
  virtual int readStubData(const char* path, std::vector<char>& data);
  virtual int readStubDataProxy(const char* path, std::vector<char>& data);
  virtual int isStubbed(const char* path);
  virtual int getFileInfo(const char* path, bool& isStub, int& fileState);
  // Turns the regular file path into a stub carrying the meta-data of the
  // reparse text: the stub data go to "user.OSTUB" (durably, before anything
  // else changes), then the data blocks are released while the file keeps its
  // size, and time (when not negative) becomes its modification time; a
  // negative time keeps the modification time the file had. A file whose size
  // differs from the stub's original size (when that is not 0) is refused: its
  // content is not the archived one. On any failure the file is left as it was.
  virtual int stubFile(const char* path, const char* reparse, time_t time, int flag);

  std::string getLastError() const { return m_sLastError; }
  const std::string& mountPoint() const { return m_sMountPoint; }

 protected:
  void setLastError(const std::string& text) { m_sLastError = text; }
  // Reads the stub attribute of path into data: 0, or -1 with the error set
  // (errno ENODATA when there is none, or it is empty).
  int readStubAttribute(const char* path, std::vector<char>& data);

  std::string m_sMountPoint;
  std::string m_sLastError;
  int m_nXattrSupport = -1;  // -1 not known yet, else the answer of isXattrSupported
};

// Hands out the low-level objects of file systems; owns them.
class TQHSM_API TQHSMLowLevelCtx {
 public:
  explicit TQHSMLowLevelCtx(int useDriver);
  virtual ~TQHSMLowLevelCtx();
  TQHSMLowLevelCtx(const TQHSMLowLevelCtx&) = delete;
  TQHSMLowLevelCtx& operator=(const TQHSMLowLevelCtx&) = delete;

  // The object of the file system that holds path, or null; stays owned here.
  virtual TQHSMLowLevel* getByFileName(const char* path);
  int getuseDriver() const { return m_nUseDriver; }

 protected:
  std::map<std::string, TQHSMLowLevel*> m_mapLowLevel;
  ObCriticalSection m_cs;
  TQHSMMntTab m_mntTab;
  int m_nUseDriver;
};

// The persistent list of directory trees that hold migrated data.
class TQHSM_API TQHSMMigratedDirTrees {
 public:
  TQHSMMigratedDirTrees(bool create, const std::string& clientName);
  virtual ~TQHSMMigratedDirTrees();
  // Non-zero when dir was migrated before; treeRoot then names the recorded tree.
  virtual int wasDirMigrated(const char* dir, std::string& treeRoot);
  virtual int addTree(const char* dir);
  virtual int delTree(const char* dir);
  // Why the last operation failed (wasDirMigrated answers 0 when it cannot read
  // the list; this tells it apart from "not migrated").
  std::string getLastError() const { return m_sLastError; }

 protected:
  bool m_bCreate;
  std::string m_sClientName;
  std::string m_sLastError;
};

// Stub helper functions. dataSize is the number of bytes readable at data: stub
// data are never read past it.
TQHSM_API bool tqhsm_stub2meta(const char* data, size_t dataSize, int* length, long long* size,
                               char* reparse, int reparseSize, bool fromFileContent);
TQHSM_API int ParseStubReparseData(const char* reparse, ReparseData& record);
TQHSM_API int ParseStubData(const std::vector<char>& data, ReparseData& record);
TQHSM_API bool GetAppGUIDAndStubGUIDFromStubData(const std::vector<char>& data,
                                                 std::string& appGUID, std::string& stubGUID);
TQHSM_API std::string getCacheFname(const char* path, const struct stat* st,
                                    const std::string& stubCacheLocation);
TQHSM_API int getStubCacheInfo(const std::string& clientName, bool& enabled,
                               std::string& location);
TQHSM_API int tqhsmIsMandLocked(const char* path, const struct stat* st);

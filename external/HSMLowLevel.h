#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <ctime>
#include <map>
#include <utility>
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
  // What the stubbed file looked like when stubFile left it; filled from stub
  // data, never from a reparse text (stubFile takes them from the file).
  uint64_t stubInode = 0;
  int64_t stubMtime = 0;       // modification time stubFile applied, seconds
  uint32_t stubMtimeNsec = 0;  // and nanoseconds
  bool headRecord = false;     // the record sits at the head of the file too
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
  // snapshot without extended attributes still recognises; or only check (a
  // dry run): every check of a real call is made, up to the write lease and
  // the stub data the file would get, and the answer is the one the real call
  // would give short of a failure of its writes, but nothing is changed.
  enum { eStubWriteHead = 1, eStubCheckOnly = 2 };

  // Results of stubFile besides 0 (stubbed) and eStubFailed: the file is not
  // the one decided on (another inode or device, not a regular file, a
  // symbolic link in its path); it is that file but its size or modification
  // time are not those decided on; it is open in another process.
  enum { eStubFailed = -1, eStubChanged = -2, eStubModified = -3, eStubOpen = -4 };

  // What the caller decided on before it has a file stubbed: stubFile refuses
  // (and touches nothing) when the file it opens is not this.
  struct Expect {
    dev_t dev = 0;       // device; 0: not compared (a view with other device numbers)
    ino_t ino = 0;       // inode; 0: identity not compared
    bool bSize = false;  // size must equal size
    off_t size = 0;
    bool bMtime = false;  // modification time (seconds) must equal mtime
    time_t mtime = 0;
  };

  explicit TQHSMLowLevel(const std::string& mountPoint);
  virtual ~TQHSMLowLevel();

  virtual int startWatchingDirTree(const char* dir);
  virtual int stopWatchingDirTree(const char* dir);
  virtual int isDirWatched(const char* dir);
  virtual int isXattrSupported(const char* path);
  // Stub state is judged everywhere by tqhsm::JudgeStub (below): only an
  // intact stub is a stub. Files are opened for inspection with
  // tqhsm::OpenForInspection and judged through that one descriptor.
  //
  // The stub data of an intact stub (0), or -1: not a stub (errno ENODATA,
  // the reason in getLastError) or a failure.
  virtual int readStubData(const char* path, std::vector<char>& data);
  // The same for a file already opened (fd) with its fstat record st; the
  // path is for messages only.
  virtual int readStubData(int fd, const struct stat& st, const char* path,
                           std::vector<char>& data);
  // As readStubData, for a proxy or snapshot view: the attribute, or without
  // one the head of the file (a sparse-file stub); inode numbers of a view are
  // not the stubbed file's, so they are not compared, and its times are
  // compared to the second.
  virtual int readStubDataProxy(const char* path, std::vector<char>& data);
  virtual int isStubbed(const char* path);
  // 0 when the question is answered: isStub, and fileState (eFileOpen when
  // another process has the file open). -1 when it cannot be answered: the
  // file is not a regular file, it cannot be opened or read, it is not the
  // file of the caller's stat record st (device and inode; "changed under the
  // scan"), or it carries stub data while its blocks are released yet is no
  // intact stub (neither a stub to keep nor data to archive).
  virtual int getFileInfo(const char* path, bool& isStub, int& fileState);
  virtual int getFileInfo(const char* path, const struct stat* st, bool& isStub, int& fileState);
  // Only whether path is an intact stub (getFileInfo's isStub, without the
  // file state). st: the caller's stat record of the file (null: none). A file
  // without the stub attribute is answered from one lgetxattr on the path,
  // which follows no link and waits on no FIFO: no attribute there means no
  // stub here, whatever the path leads to. Any attribute is judged as
  // getFileInfo judges it, through one descriptor checked against st. 0 when
  // answered, -1 as getFileInfo fails (the reason in getLastError).
  virtual int stubTest(const char* path, const struct stat* st, bool& isStub);
  // The stub record of path read by path alone, for a decision whose "keep"
  // answer changes nothing: 1 with the decoded record when the attribute
  // there is an intact stub record of the file the caller's stat record st
  // describes (its MAC binds the record to st's inode, size and modification
  // time, so a record read through a swapped directory names another file and
  // fails), 0 when the path carries no stub attribute, -1 for anything else
  // (unreadable, too long, not intact for st): the caller then looks through a
  // checked descriptor. Nothing may be changed on the strength of a 1.
  virtual int peekStubRecord(const char* path, const struct stat& st, ReparseData& record);
  // Turns the regular file path into a stub carrying the meta-data of the
  // reparse text. The path is resolved without following symbolic links; the
  // file is checked and acted on through one descriptor, under a write lease
  // (nobody else has the file open from the checks to the punch; a file that
  // is open elsewhere is refused with eStubOpen). The stub data, signed and
  // naming the file's inode and the modification time it is given, go to
  // "user.OSTUB" durably before anything else changes; then the data blocks
  // are released while the file keeps its size, and time (when not negative)
  // becomes its modification time; a negative time keeps the modification
  // time the file had. A file whose size differs from the stub's original size
  // (when that is not 0) is refused: its content is not the archived one. On
  // any failure the file is left as it was.
  virtual int stubFile(const char* path, const char* reparse, time_t time, int flag);
  // The same, refusing a file that is not what the caller decided on.
  virtual int stubFile(const char* path, const char* reparse, time_t time, int flag,
                       const Expect& expect);

  std::string getLastError() const { return m_sLastError; }
  const std::string& mountPoint() const { return m_sMountPoint; }

 protected:
  void setLastError(const std::string& text) { m_sLastError = text; }
  // The error of a plain file, the usual answer: written in place, so that it
  // costs no allocation once the text has had room for a path.
  void notAStub(const char* path) {
    m_sLastError.assign(path);
    m_sLastError += " is not a stub";
  }
  // Judges the open file fd (fstat record st) from its stub attribute, or
  // with head from the first 1024 bytes when it has none: 0 with isStub set
  // (and the record's bytes in data when given and a stub; stale when it has
  // stub data that do not make it one), -1 with the error set when it cannot
  // be judged. checks: tqhsm::JudgeStub's.
  int judgeOpenFile(int fd, const struct stat& st, const char* path, unsigned checks, bool head,
                    bool& isStub, std::vector<char>* data, bool* stale = nullptr);
  // Reads path's stub attribute by path into buf (not following a link in
  // the file's place): its length, 0 with the "not a stub" error when there is
  // none (absent, empty, no attribute support), -1 on failure (ERANGE: longer
  // than size).
  ssize_t probeStubAttr(const char* path, char* buf, size_t size);
  // Opens path for inspection and takes its stat record: the descriptor, or
  // -1 with the error set (errno as the failing call left it).
  int openInspected(const char* path, struct stat& st);
  // Takes the stat record of fd, opened for inspection of path, and checks
  // that it is a regular file and, where the caller's record has an inode,
  // the file the caller saw: 0, or -1 with the error set (a changed file is
  // also named at DebugLvl 1 under tag).
  int checkInspected(int fd, const char* path, const struct stat* callerSt, const char* tag,
                     struct stat& st);

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
  // The same for a file whose stat record says it lies on device dev: the
  // object found for the first file seen on that device (by getByFileName)
  // answers for every later one, so a scan pays the mount-table look-up once
  // per device, not per file. Where one device is mounted at several places
  // (bind mounts) that object may name another of its mount points; what it
  // answers about a file is the same.
  TQHSMLowLevel* getByDevice(dev_t dev, const char* path);
  int getuseDriver() const { return m_nUseDriver; }
  // The mount table as read when this context was made: what every look-up
  // of the run goes by, so that the run reads the table once.
  const TQHSMMntTab& mountTable() const { return m_mntTab; }

 protected:
  std::map<std::string, TQHSMLowLevel*> m_mapLowLevel;
  // getByDevice's answers, with the last one in front of them.
  std::vector<std::pair<dev_t, TQHSMLowLevel*>> m_vecByDevice;
  dev_t m_lastDev = 0;
  TQHSMLowLevel* m_pLastByDevice = nullptr;
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
// The device and inode a cached-stub name (as getCacheFname makes it) stands
// for; false for a name of another form.
TQHSM_API bool ParseCacheFname(const std::string& name, dev_t& dev, ino_t& ino);

namespace tqhsm {

// The intact test: whether a file is exactly what stubFile left. data/size are
// the file's stub attribute (or its head), st its stat record taken through the
// descriptor the data were read from. A stub is intact when its record is
// authentic (StubFormat.h) and the file's inode equals the recorded one, its
// size the recorded original size, its modification time the one stubFile
// applied, and its allocated blocks are no more than a stub keeps (one block of
// the file system, for an attribute kept outside the inode, plus the head
// record rounded up to a block for a sparse-file stub).
//
// eNoStub: not a stub (no stub data of ours: data that do not begin with the
// magic; or a plain file with a stale attribute: it has data blocks, so it was
// written after stubbing).
// eIntactStub: a stub.
// eDoubtfulStub: stub data that do not make it an intact stub (not authentic,
// no stub key, another file's, touched after stubbing ...) on a file whose data
// blocks are released: its content is holes, so it is neither a stub to keep
// or prune nor a file whose content may be archived; callers fail the
// inspection.
// why receives the reason of a verdict other than eIntactStub ("not
// authentic", "size differs (...)", "modified after stubbing (...)", "data
// blocks present (...)", ...); record and length (when given) the decoded
// record when it was authentic.
enum StubVerdict { eNoStub = 0, eIntactStub = 1, eDoubtfulStub = 2 };
// Checks: compare the inode (only where the file is seen as itself, not
// through a proxy or snapshot view, whose inode numbers may differ), and the
// nanoseconds of the modification time (a view may keep whole seconds only).
enum { eJudgeInode = 1, eJudgeMtimeNsec = 2, eJudgeLocal = eJudgeInode | eJudgeMtimeNsec,
       eJudgeView = 0 };
TQHSM_API int JudgeStub(const char* data, size_t size, const struct stat& st, unsigned checks,
                        ReparseData* record, size_t* length, std::string* why);
// Whether a file's content is holes as after a punch: larger than a stub may
// keep allocated, and no more than that allocated.
TQHSM_API bool LooksReleased(const struct stat& st);

}  // namespace tqhsm

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "FileUtf.h"
#include "HSMStubBatch.h"
#include "MyIndexInfoResp.h"
#include "StubCache.h"
#include "TQHSMHelper.h"

// The re-stubbing pass: after the scan, files that were recalled and still have
// a current cached stub are turned back into stubs instead of being archived
// again, when the stub is this subclient's, the index still knows the archived
// copy and its archive file was not pruned. Whatever the pass cannot settle goes
// to StubCollect, so no candidate is ever dropped.

namespace {

const char* kTag = "TQHSMHelper::ProcessFileForReStubbing";
const char* kPauseMarker = "/tmp/ReStubbing.sleep";
const uint32_t kStubGUIDKind = 0x85ED33A1;
const char kSep = '|';

// One StubCollectTemp entry: "<path>:<inode>|<cached stub>".
struct TempEntry {
  std::string filePath;
  std::string cachedStub;
  long long inode = 0;
};

TempEntry SplitEntry(const std::string& entry) {
  TempEntry e;
  size_t bar = entry.rfind(kSep);
  std::string filePart = entry;
  if (bar != std::string::npos) {
    e.cachedStub = entry.substr(bar + 1);
    filePart = entry.substr(0, bar);
  }
  size_t colon = filePart.rfind(':');
  if (colon != std::string::npos) {
    e.filePath = filePart.substr(0, colon);
    // strtoll rather than atoll: same leading-digits reading, but an out-of-range
    // number saturates instead of being undefined.
    e.inode = std::strtoll(filePart.c_str() + colon + 1, nullptr, 10);
  }
  return e;
}

// A cached stub as phase 1 read it, through one descriptor: what it held and
// its stat record. Phase 3 goes by the same read, so the stub data a file gets
// are those whose GUID the index was asked about.
struct CachedRead {
  struct stat st {};
  std::vector<char> data;
};

// The reads phase 1 holds for phase 3, in the order of the kept records, up to
// a fixed amount of memory; the records beyond it are read again in phase 3.
class HeldReads {
 public:
  static const size_t kBudget = 4u << 20;
  // Takes r when it fits in what is left of the budget.
  void hold(CachedRead&& r) {
    size_t cost = sizeof(CachedRead) + r.data.capacity();
    if (m_bFull || m_uBytes + cost > kBudget) {
      m_bFull = true;  // later records must not overtake the first one left out
      return;
    }
    m_uBytes += cost;
    m_reads.push_back(std::move(r));
  }
  // The read of the next kept record, or nullptr when it was not held.
  CachedRead* next() {
    if (m_uNext >= m_reads.size()) return nullptr;
    if (m_uNext > 0) std::vector<char>().swap(m_reads[m_uNext - 1].data);
    return &m_reads[m_uNext++];
  }

 private:
  std::deque<CachedRead> m_reads;
  size_t m_uNext = 0;
  size_t m_uBytes = 0;
  bool m_bFull = false;
};

void CloseFile(FILE*& f) {
  if (f) fclose(f);
  f = nullptr;
}

// A cached stub the pass has no use for any more; only ever a file in the
// stub cache, never what a link there points to.
void DeleteStaleCachedStub(TQHSMHelper& h, CachedStubDeleter& deleter,
                           const std::string& cachedStub) {
  if (h.IsDryRun()) {
    h.m_event.DebugLvl(kTag, 2, "Would delete cached stub %s.", cachedStub.c_str());
    return;
  }
  std::string why;
  if (deleter.remove(cachedStub, nullptr, why) != 0)
    h.m_event.DebugLvl(kTag, 1, "Cached stub %s not deleted: %s.", cachedStub.c_str(),
                       why.c_str());
}

}  // namespace

MyIndexInfoResp::MyIndexInfoResp(const char* dumpPath)
    : FetchIndexInfoSendRes(nullptr), m_nDumpFd(-1), m_bFailed(false) {
  std::string error;
  m_nDumpFd = OpenOwnFile(dumpPath, true, false, error);
  // Without the file the sink writes nothing, and the pass's count of the
  // answers finds them missing.
  if (m_nDumpFd < 0) EvDebug().Error(kTag, "%s", error.c_str());
}

MyIndexInfoResp::~MyIndexInfoResp() { Close(); }

bool MyIndexInfoResp::Close() {
  if (m_nDumpFd >= 0 && tqhsm::FileSystem::Current().close(m_nDumpFd) != 0) m_bFailed = true;
  m_nDumpFd = -1;
  return !m_bFailed;
}

int MyIndexInfoResp::function(FetchIndexInfoResp* response) {
  if (m_nDumpFd < 0 || !response) return 0;
  // One write per batch; a batch that cannot be written whole stops the
  // lookup, whose failure sends the kept records to StubCollect.
  std::string lines;
  for (const FInfoRespItem& item : response->m_lstItems) {
    char line[64];
    int n = snprintf(line, sizeof line, "%u:%u:%u:%d\n", item.parvisNumber, item.copyPrecedence,
                     item.afileId, static_cast<int>(item.found));
    lines.append(line, static_cast<size_t>(n));
  }
  tqhsm::FileSystem& fs = tqhsm::FileSystem::Current();
  size_t done = 0;
  while (done < lines.size()) {
    ssize_t n = fs.write(m_nDumpFd, lines.data() + done, lines.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      EvDebug().Error(kTag, "Cannot write the index answers to the dump file: %s",
                    strerror(n < 0 ? errno : EIO));
      m_bFailed = true;
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  return 0;
}

bool TQHSMHelper::GetAppIDGUIDAndStubGUID(const std::string& stubPath, std::string& stubGUID,
                                          std::string& appGUID, uint64_t& appId) {
  stubGUID = "";
  appGUID = "";
  appId = 0;
  std::vector<char> data;
  if (!ReadCachedStub(stubPath.c_str(), 2048, data)) return false;
  ReparseData record;
  if (!ParseStubData(data, record)) return false;
  stubGUID = record.stubGUID;
  appGUID = record.appGUID;
  appId = record.appId;
  return true;
}

bool TQHSMHelper::AddToRestubbingMountPoints(std::string& path) {
  // The run's own table; without a context, one read per process: the pass
  // only needs to know which HSM mounts it touched.
  const TQHSMMntEnt* entry = nullptr;
  if (m_pLowLevelCtx) {
    entry = m_pLowLevelCtx->mountTable().find(path.c_str());
  } else {
    static TQHSMMntTab table;
    entry = table.find(path.c_str());
  }
  if (entry &&
      std::find(m_lstRestubMountPoints.begin(), m_lstRestubMountPoints.end(),
                entry->m_sMountPoint) == m_lstRestubMountPoints.end())
    m_lstRestubMountPoints.push_front(entry->m_sMountPoint);
  return true;
}

namespace {

// Phase 2: one batch lookup of all kept stub GUIDs; the answers land in the dump
// file, one line per key, in query order.
bool LookupStubs(TQHSMHelper& h, const std::list<MetaData>& query, const std::string& dumpPath) {
  long count = static_cast<long>(query.size());
  h.m_event.DebugLvl(kTag, 3, "Querying indexing for [%ld] meta-data.", count);
  std::unique_ptr<FetchIndexInfo> client(new FetchIndexInfo());
  client->setInitFlags(0x851);
  if (client->init(h.m_sIndexInitName, static_cast<uint32_t>(h.m_nIndexInitArg),
                   static_cast<uint32_t>(h.m_nAppId), 0,
                   static_cast<uint32_t>(h.m_nIndexInitArg2)) != 0) {
    h.m_event.Error(kTag, "FetchIndexInfo::init() failed.");
    return false;
  }
  h.m_pIndexResp = new MyIndexInfoResp(dumpPath.c_str());
  if (client->lookup(query, h.m_pIndexResp) != 0) {
    h.m_event.Error(kTag, "FetchIndexInfo::lookup() failed.");
    delete h.m_pIndexResp;
    h.m_pIndexResp = nullptr;
    unlink_utf(dumpPath.c_str());
    return false;
  }
  client.reset();
  bool written = h.m_pIndexResp->Close();
  delete h.m_pIndexResp;
  h.m_pIndexResp = nullptr;
  if (!written) {
    h.m_event.Error(kTag, "The index answers could not be written to %s.", dumpPath.c_str());
    unlink_utf(dumpPath.c_str());
    return false;
  }
  long lines = CountLines(dumpPath.c_str());
  if (lines < 0) lines = 0;  // unreadable: no answers to go by
  if (lines != count) {
    h.m_event.DebugLvl(kTag, -1,
                       "Index returned [%ld] results, whereas [%ld] were queried, adding all to "
                       "StubCollect",
                       lines, count);
    unlink_utf(dumpPath.c_str());
    return false;
  }
  return true;
}

}  // namespace

// The files of phase 3 whose AF is live, re-stubbed in batches: each file is
// checked and gets its stub data as it comes, and once a batch is full (or the
// pass is through) one sync makes all their stub data durable before any of
// them loses a block. What each file comes to, with its messages, is settled
// file by file in the order the files came.
class ReStubQueue {
 public:
  ReStubQueue(TQHSMHelper& h, CachedStubDeleter& deleter) : m_h(h), m_deleter(deleter) {}
  ~ReStubQueue() { flush(); }
  ReStubQueue(const ReStubQueue&) = delete;
  ReStubQueue& operator=(const ReStubQueue&) = delete;

  // read: the cached stub as phase 1 read it; nullptr to read it here.
  void add(const std::string& filePath, const std::string& cachedStub, long long inode,
           CachedRead* read = nullptr);
  // Finishes and settles every file added so far.
  void flush();

 private:
  struct Pending {
    std::string filePath;
    std::string cachedStub;
    unsigned long long ino = 0;
    struct stat cachedSt {};  // the cached stub as it was read
    ReparseData stub;         // its meta-data
    TQHSMLowLevel* lowLevel = nullptr;
  };
  void settle(const Pending& p, const TQHSMStubBatch::Outcome& o);

  TQHSMHelper& m_h;
  CachedStubDeleter& m_deleter;
  TQHSMStubBatch m_batch;
  std::vector<Pending> m_pending;  // one per file added to m_batch, in order
};

void ReStubQueue::add(const std::string& filePath, const std::string& cachedStub,
                      long long inode, CachedRead* read) {
  TQHSMHelper& h = m_h;
  const char* file = filePath.c_str();
  Pending p;
  p.ino = static_cast<unsigned long long>(inode);
  struct stat& st = p.cachedSt;
  std::vector<char> fresh;
  // An unreadable cached stub costs the file nothing: it is archived again.
  // What was read and the stat record the checks below go by come from one
  // descriptor of the cached stub itself.
  if (read)
    st = read->st;
  else if (!ReadCachedStubEntry(cachedStub.c_str(), st, fresh)) {
    h.AddToCollect(file, true, p.ino);
    return;
  }
  const std::vector<char>& data = read ? read->data : fresh;
  char reparse[1024] = {0};
  if (!tqhsm_stub2meta(data.data(), data.size(), nullptr, nullptr, reparse, sizeof reparse,
                       false)) {
    h.m_event.Error(kTag, "Failed to extract meta-data from %s.", cachedStub.c_str());
    h.AddToCollect(file, true, p.ino);
    return;
  }
  p.lowLevel = h.m_pLowLevelCtx ? h.m_pLowLevelCtx->getByFileName(file) : nullptr;
  if (!p.lowLevel) {
    h.m_event.Error(kTag, "Failed to getByFileName(): %s.", file);
    h.AddToCollect(file, true, p.ino);
    return;
  }
  // Only the file the scan decided on, unchanged since: the device and inode
  // of the cached stub's name and the entry, its modification time still the
  // cached stub's (what made the cached stub current), its size the stub's.
  TQHSMLowLevel::Expect expect;
  ino_t nameIno = 0;
  if (!ParseCacheFname(cachedStub, expect.dev, nameIno) ||
      nameIno != static_cast<ino_t>(p.ino) || ParseStubReparseData(reparse, p.stub) == 0) {
    h.m_event.DebugLvl(kTag, 2,
                       "Not re-stubbing %s: the cached stub %s does not name its inode %llu; "
                       "adding it to StubCollect",
                       file, cachedStub.c_str(), p.ino);
    h.AddToCollect(file, true, p.ino);
    return;
  }
  expect.ino = nameIno;
  expect.bMtime = true;
  expect.mtime = st.st_mtime;
  expect.bSize = p.stub.originalSize != 0;
  expect.size = static_cast<off_t>(p.stub.originalSize);
  // A dry run has every check made and nothing changed.
  int flag = h.m_bDryRun ? TQHSMLowLevel::eStubCheckOnly : -1;
  int rc = m_batch.add(file, reparse, st.st_mtime + 1, flag, expect);
  if (rc == TQHSMStubBatch::eNoDescriptor) {
    // Out of descriptors with files held: finish those, then this one.
    flush();
    m_batch.add(file, reparse, st.st_mtime + 1, flag, expect);
  }
  p.filePath = filePath;
  p.cachedStub = cachedStub;
  m_pending.push_back(std::move(p));
  if (m_batch.full() || m_pending.size() >= m_batch.capacity()) flush();
}

void ReStubQueue::flush() {
  if (m_pending.empty()) return;
  m_batch.commit();
  for (size_t i = 0; i < m_pending.size(); ++i) settle(m_pending[i], m_batch.outcome(i));
  m_pending.clear();
  m_batch.clear();
}

void ReStubQueue::settle(const Pending& p, const TQHSMStubBatch::Outcome& o) {
  TQHSMHelper& h = m_h;
  const char* file = p.filePath.c_str();
  const char* cached = p.cachedStub.c_str();
  if (o.result == 0 && h.m_bDryRun) {
    h.m_event.DebugLvl(kTag, 1, "Would replace '%s' with its stub from StubCache %s.", file,
                       cached);
    h.TellAction(TQHSMAction::eFileReStubbed, file, cached, p.stub, nullptr);
    return;
  }
  if (o.result == 0) {
    h.m_event.DebugLvl(kTag, 3,
                       "Successfully replaced '%s' with corresponsding stub from StubCache.", file);
    // The answer only feeds this line; asked only when the line is written.
    if (h.m_event.isLevelEnabled(4)) {
      int stubbed = p.lowLevel->isStubbed(file);
      h.m_event.DebugLvl(kTag, 4, "Attempted re-stubbing file '%s', and is %s now.", file,
                         stubbed ? "stub" : "not a stub");
    }
    std::string why;
    if (m_deleter.remove(p.cachedStub, &p.cachedSt, why) != 0)
      h.m_event.DebugLvl(kTag, 1, "Cached stub %s not deleted: %s.", cached, why.c_str());
    if (h.m_bUseNativeSnap) {
      std::string path = p.filePath;
      h.AddToRestubbingMountPoints(path);
    }
    h.TellAction(TQHSMAction::eFileReStubbed, file, cached, p.stub, nullptr);
    return;
  }
  if (o.result == TQHSMLowLevel::eStubChanged || o.result == TQHSMLowLevel::eStubModified) {
    // A changed file must be archived again; it is not touched.
    h.m_event.DebugLvl(kTag, o.result == TQHSMLowLevel::eStubChanged ? 1 : 2,
                       "Not re-stubbing %s: %s; adding it to StubCollect", file, o.error.c_str());
    h.AddToCollect(file, true, p.ino);
    return;
  }
  h.m_event.Error(kTag, "Failed to stub %s: %s.", file, o.error.c_str());
  bool isStub = false;
  int fileState = 2;
  if (!h.GetFileInfo(file, isStub, fileState))
    h.m_event.Debug(kTag, "GetFileInfo failed. Skipping file:%s", file);
  else if (fileState == 1)
    h.m_event.Debug(kTag, "Skipping open file: %s", file);
  else if (!isStub)
    h.AddToCollect(file, true, p.ino);
  else
    h.m_event.DebugLvl(kTag, 2, "skipping stub %s", file);
}

void TQHSMHelper::ReStubFile(const std::string& filePath, const std::string& cachedStub,
                             long long inode) {
  CachedStubDeleter deleter(m_rules.m_sStubCacheLocation);
  ReStubQueue queue(*this, deleter);
  queue.add(filePath, cachedStub, inode);
}

// Whatever the pass could not read back is never answered as done: records it
// cannot settle go to StubCollect, and records it cannot read are reported as
// lost (TempCandidatesLost), with the result false.
bool TQHSMHelper::ProcessFilesForReStubbing(const char* /*unused*/) {
  if (!m_bReStubbingEnabled) return false;
  const std::string& tempPath = m_sTempCollectPath;
  if (!CloseTempCollect()) {
    m_event.Error(kTag, "ReStubbing collect file %s was not written whole (%s), adding all to "
                  "StubCollect",
                  tempPath.c_str(), m_tempCollect.LastError().c_str());
    m_bReStubbingEnabled = false;
    AddAllItemsFromTempCollectFile();
    return false;
  }

  long lines = CountLines(tempPath.c_str());
  if (lines < 0 || static_cast<uint64_t>(lines) < m_ulTempExpected) {
    m_event.Error(kTag, "ReStubbing collect file %s holds %ld of the %lu lines written to it, "
                  "adding all to StubCollect",
                  tempPath.c_str(), lines < 0 ? 0L : lines,
                  static_cast<unsigned long>(m_ulTempExpected));
    AddAllItemsFromTempCollectFile();
    return false;
  }
  if (lines == 0) {
    unlink_utf(tempPath.c_str());
    return true;
  }
  m_event.DebugLvl(kTag, 3, "[%ld] files to be checked for re-stubbing.", lines);

  // The rewrite file is written by a collect-file writer: the same line layout
  // ("%c%s%c%ld%c\n" with '|'), and lines acknowledged only once stored.
  // StubCollectTemp's name + "_temp"; in a dry run before the dry run's suffix.
  std::string usualTemp = tempPath;
  const size_t suffix = sizeof TQHSM_DRY_RUN_SUFFIX - 1;
  if (m_bDryRun && usualTemp.size() > suffix &&
      usualTemp.compare(usualTemp.size() - suffix, suffix, TQHSM_DRY_RUN_SUFFIX) == 0)
    usualTemp.resize(usualTemp.size() - suffix);
  const std::string rewritePath = ListPath(usualTemp + "_temp");
  CollectFile out;
  std::string inError;
  FILE* in = nullptr;
  bool outOpen = out.Initialize(rewritePath) != 0;
  int outErrno = errno;
  out.SetSeperator(kSep);
  in = OpenOwnFileForReading(tempPath.c_str(), inError);
  int inErrno = errno;
  if (!outOpen || !in) {
    if (!in) m_event.Error(kTag, "%s", inError.c_str());
    m_event.Error(kTag, "Failed to open file '%s' for re-stubbing, errno=%d",
                  !in ? tempPath.c_str() : rewritePath.c_str(), !in ? inErrno : outErrno);
    out.DeInitialize();
    unlink_utf(rewritePath.c_str());
    CloseFile(in);
    AddAllItemsFromTempCollectFile();
    return false;
  }

  // Cached stubs the pass deletes, all in one directory.
  CachedStubDeleter deleter(m_rules.m_sStubCacheLocation);

  // Phase 1: keep the records whose cached stub is this subclient's.
  std::list<MetaData> query;
  HeldReads held;
  HSMCollectFile record;
  const char* problem = nullptr;
  while (!problem && GetLineFromCollectFile(in, kSep, record)) {
    if (record.m_sEntry.empty()) {
      problem = "ReStubbing collect file seems empty, adding all to StubCollect";
      break;
    }
    if (record.m_sEntry.find(kSep) == std::string::npos) {
      problem = "ReStubbing collect file seems corrupt, adding all to StubCollect";
      break;
    }
    TempEntry e = SplitEntry(record.m_sEntry);
    if (e.cachedStub.empty()) {
      problem = "StubCache file name not found in ReStubbing collect file, adding all to StubCollect";
    } else if (e.filePath.empty()) {
      problem = "File name not found in ReStubbing collect file, adding all to StubCollect";
    } else if (e.inode == 0) {
      problem = "Inode not found in ReStubbing collect file, adding all to StubCollect";
    }
    if (problem) break;

    const char* file = e.filePath.c_str();
    bool rejected = true;
    CachedRead read;
    ReparseData cached;
    if (!ReadCachedStubEntry(e.cachedStub.c_str(), read.st, read.data) ||
        !ParseStubData(read.data, cached)) {
      m_event.DebugLvl(kTag, 3,
                       "Failed to extract GUID and AppId from cached stub [%s], adding [%s] to "
                       "StubCollect",
                       e.cachedStub.c_str(), file);
    } else if (!m_sAppGUID.empty() && !cached.appGUID.empty() && m_sAppGUID != cached.appGUID) {
      m_event.DebugLvl(kTag, 3,
                       "AppGUID[=%s] in stub in stub_cache is different than current "
                       "AppGUID[=%s], adding [%s] to StubCollect",
                       cached.appGUID.c_str(), m_sAppGUID.c_str(), file);
    } else if (static_cast<uint64_t>(m_nAppId) != cached.appId) {
      m_event.DebugLvl(kTag, 3,
                       "AppId[=%lu] in stub in stub cache is different than current AppId[=%lu], "
                       "adding [%s] to StubCollect",
                       static_cast<unsigned long>(cached.appId),
                       static_cast<unsigned long>(m_nAppId), file);
    } else {
      rejected = false;
    }
    if (rejected) {
      AddToCollect(file, true, static_cast<unsigned long long>(e.inode));
      DeleteStaleCachedStub(*this, deleter, e.cachedStub);
      continue;
    }
    if (!out.AddToCollectFile(record.m_sEntry, true, true, record.m_llNumber)) {
      problem = "Could not write the re-stubbing rewrite file, adding all to StubCollect";
      break;
    }
    query.push_back(MetaData(kStubGUIDKind, cached.stubGUID));
    held.hold(std::move(read));
    m_event.DebugLvl(kTag, 4, "Added [%s] for Re-Stubbing", record.m_sEntry.c_str());
  }

  // A file read short, or a rewrite file that could not be written whole,
  // would silently drop the records it misses from both lists; treat either
  // like any other phase-1 failure.
  if (!problem && ferror(in))
    problem = "Could not read the ReStubbing collect file whole, adding all to StubCollect";
  if (!out.DeInitialize() && !problem)
    problem = "Could not write the re-stubbing rewrite file, adding all to StubCollect";
  if (problem) {
    m_event.DebugLvl(kTag, -1, "%s", problem);
    CloseFile(in);
    unlink_utf(rewritePath.c_str());
    AddAllItemsFromTempCollectFile();
    return false;
  }
  CloseFile(in);
  // The rename replaces StubCollectTemp in one step; should it fail, the
  // untouched StubCollectTemp still holds every record.
  if (rename_utf(rewritePath.c_str(), tempPath.c_str()) != 0) {
    m_event.Error(kTag, "Cannot replace %s by %s: %s, adding all to StubCollect",
                  tempPath.c_str(), rewritePath.c_str(), strerror(errno));
    unlink_utf(rewritePath.c_str());
    AddAllItemsFromTempCollectFile();
    return false;
  }
  m_ulTempExpected = out.LinesWritten();
  if (query.empty()) {
    m_event.DebugLvl(kTag, 2, "Nothing to re-stub.");
    unlink_utf(tempPath.c_str());
    m_ulTempExpected = 0;
    return false;
  }

  // Phase 2.
  const std::string dumpPath = ListPath(m_sJobResultsDir + "/" + "IndexingDump.obf");
  if (!LookupStubs(*this, query, dumpPath)) {
    AddAllItemsFromTempCollectFile();
    return false;
  }

  // Phase 3: the kept records and the index answers, in step.
  std::string dumpError, keptError;
  FILE* dump = OpenOwnFileForReading(dumpPath.c_str(), dumpError);
  FILE* kept = dump ? OpenOwnFileForReading(tempPath.c_str(), keptError) : nullptr;
  if (!dump || !kept) {
    m_event.Error(kTag, "%s", !dump ? dumpError.c_str() : keptError.c_str());
    CloseFile(dump);
    CloseFile(kept);
    AddAllItemsFromTempCollectFile();
    unlink_utf(dumpPath.c_str());
    return false;
  }
  m_event.debugBreak(kPauseMarker, nullptr, 0, 2, true);

  char line[1032];
  ReStubQueue queue(*this, deleter);
  uint64_t settled = 0;
  bool unanswered = false;  // the record in hand has no answer to go by
  while (GetLineFromCollectFile(kept, kSep, record)) {
    if (!GetLine(dump, line, sizeof line)) {
      unanswered = true;
      break;
    }
    ++settled;
    CachedRead* read = held.next();
    TempEntry e = SplitEntry(record.m_sEntry);
    const char* file = e.filePath.c_str();
    unsigned long long ino = static_cast<unsigned long long>(e.inode);
    m_event.DebugLvl(kTag, 2, "FileName : %s, Inode : %llu", file, ino);
    unsigned long parvisNumber = 0, copyPrecedence = 0, afileId = 0;
    int found = 0;
    if (sscanf(line, "%lu:%lu:%lu:%d", &parvisNumber, &copyPrecedence, &afileId, &found) != 4) {
      // An answer that cannot be read cannot vouch for the cached stub.
      m_event.DebugLvl(kTag, -1, "Unreadable index answer [%s] for %s, adding it to StubCollect",
                       line, file);
      AddToCollect(file, true, ino);
      continue;
    }
    if (found != 1) {
      m_event.DebugLvl(kTag, 2, "Skipping erased file : %s.", file);
      continue;
    }
    int pruned = m_rules.isAFilePruned(parvisNumber, copyPrecedence, afileId);
    if (pruned == 1) {
      m_event.DebugLvl(kTag, 2, "Found cached stub %s for %s but its AF is pruned.",
                       e.cachedStub.c_str(), file);
      AddToCollect(file, true, ino);
      DeleteStaleCachedStub(*this, deleter, e.cachedStub);
    } else if (pruned == 0) {
      m_event.DebugLvl(kTag, 2, "Found cached stub %s for %s and its AF is not pruned.",
                       e.cachedStub.c_str(), file);
      queue.add(e.filePath, e.cachedStub, e.inode, read);
    }
  }
  queue.flush();
  // Both files hold as many lines as were queried; anything else means one of
  // them could not be read whole. Records without an answer are archived
  // again, records that could not be read are reported lost.
  bool complete = !unanswered && !ferror(kept) && !ferror(dump) && settled >= m_ulTempExpected;
  if (!complete) {
    m_event.Error(kTag, "The re-stubbing pass could settle only %lu of %lu files (%s), adding the "
                  "rest to StubCollect",
                  static_cast<unsigned long>(settled), static_cast<unsigned long>(m_ulTempExpected),
                  ferror(kept) ? "ReStubbing collect file unreadable" : "index answers unreadable");
    uint64_t rest = 0;
    bool more = unanswered;
    while (more || (!ferror(kept) && GetLineFromCollectFile(kept, kSep, record))) {
      more = false;
      TempEntry e = SplitEntry(record.m_sEntry);
      AddToCollect(e.filePath.c_str(), true, static_cast<unsigned long long>(e.inode));
      ++rest;
    }
    if (settled + rest < m_ulTempExpected)
      ReportTempLoss(kTag, m_ulTempExpected - settled - rest, "read error");
  }
  CloseFile(dump);
  unlink_utf(dumpPath.c_str());
  CloseFile(kept);
  unlink_utf(tempPath.c_str());
  m_ulTempExpected = 0;
  return complete;
}

// tqhsm-scan: the scan phase of the backup agent in miniature. It builds the
// helper's init record from its flags and the configuration, drives the helper
// in its calling order (Initialize; per content path resetVolume, then per file
// IsDMCandidate and MoreFilesToArchive; the re-stubbing pass; DeInitialize),
// walks the content paths (tools/walk/TreeWalk.h), and prints a summary.

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>
#include <cerrno>
#include <csignal>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "CollectFile.h"
#include "CommandLine.h"
#include "Config.h"
#include "EvEvent.h"
#include "MountTable.h"
#include "Platform.h"
#include "SafePath.h"
#include "ScanOrder.h"
#include "TQHSMHelper.h"
#include "walk/TreeWalk.h"

namespace {

using Clock = std::chrono::steady_clock;

const char* const kFooter = R"(
Calling order:
  Initialize(APP_KEY, APP_ID, DRIVER_MODE); for each content path resetVolume, then
  for each regular file IsDMCandidate and MoreFilesToArchive; ProcessFilesForReStubbing;
  DeInitialize(failed).

The walk:
  Each content path is first resolved to its real absolute path, which is then
  opened without following a symbolic link in any of its components. Below it every
  directory is reached through the descriptor of the directory that holds it, never
  by its path again: each entry is looked at without following links, and a
  directory is read only when what was opened has the device and inode its entry
  had; one swapped for a link or for another directory meanwhile is skipped,
  reported on standard error and counted as unreadable. Symbolic links are never
  followed (they count as other entries). Entries are taken in name order (byte
  order), so an unchanged tree is walked the same way every time. Only regular
  files are handed to the helper. The walk crosses into another file system only for
  a mount point below the content path that has a budget of its own (never with
  --skip-nested-mounts). Once MoreFilesToArchive says a volume needs no more data,
  no more files are taken from it, and its directories are not entered unless a
  volume with a budget lies below them; when no volume needs data any more the walk
  ends. The file list is never held in memory: only the names of one directory per
  level of the current path. Names in messages and in the summary are written with
  the log's escapes (\r, \x1b, \\, ...), so no name can forge terminal output.

Configuration (INI, --config or $TQHSM_CONFIG):
  [Subclient <APP_ID>]  HighFreeSpace, LowFreeSpace (percent), DaysOld, DaysOldMTime,
                        MinFileSizeKB, MaxFileSizeKB, HonorArchiverRetention, RulesFlag
                        (0 = rules on; the default 0x2000 means disabled), GUID, SubclientId
  [FileSystemAgent]     sSKIPLOCKF, sTQHSM_SKIP_FILES_SMALLER_THAN_FSBLOCK,
                        sSKIP_FS_TO_MONITOR, LimitStubCollect_<APP_ID>
  [HSM]                 StateDirectory: watch list and migrated trees (/var/lib/tqhsm)
  [Catalog]             Path: the catalog database (/var/lib/tqhsm/catalog.db)
  [StubCache]           Enabled, Location
  A volume gets a budget when its available space is at or below LowFreeSpace percent
  of its size; the budget is the bytes that bring it back up to HighFreeSpace percent.

Output:
  The collect file JOB_RESULTS/COLLECT_FILE, one line "|<path>:<inode>|<number>|" per
  file to archive (StubCollectTemp beside it while re-stubbing candidates are sorted
  out). On standard output a summary: files seen, results by code (0 not a candidate,
  1 collected, 2 stub kept, 3 stub pruned), files re-stubbed, bytes collected, each
  volume's budget before and after (overshoot shown as such) or why it has none
  (file-system type skipped by sSKIP_FS_TO_MONITOR, free space above LowFreeSpace,
  no extended attributes), whether the walk ended early because every budget was
  met, the log and the action log, elapsed time and files per second. On a terminal,
  progress on standard error.

The log:
  --log FILE, else $TQHSM_LOG (both appended to), else JOB_RESULTS/COLLECT_FILE.log,
  started afresh by each run; the summary says which. -v shows the log on standard
  error as well.

The action log:
  --actions FILE, else JOB_RESULTS/COLLECT_FILE.actions, started afresh by each run:
  one line per stub deleted and file re-stubbed, fields separated by a tab:
    deleted        PARVIS:COPYPREC:AFILE  PATH
    delete failed  PARVIS:COPYPREC:AFILE  PATH  WHY    (still counted as pruned)
    re-stubbed     PARVIS:COPYPREC:AFILE  PATH  CACHED_STUB
  with names written with the log's escapes. Each line is written as the act happens.

Dry run (--dry-run):
  Every decision is made and every result code is what a real run would give, but no
  stub is deleted, no file re-stubbed, no cached stub deleted, and the watch list and
  the migrated trees are only read. The lists are written under their usual names
  plus ".dryrun" (StubCollect.dryrun, StubCollect_temp.dryrun, ...), as are the
  default log and action log; the action log says "would delete" and "would
  re-stub". The summary says "dry run" at the top.

Order (--order, default oldest):
  oldest and largest make two passes: the walk lists every file that meets the rules
  (the library's rules-only check; a file that does not is decided at once, and still
  checked for a stub to prune when asked), then the list, ordered by access time
  (oldest first) or size (largest first), ties by path, goes to IsDMCandidate until
  MoreFilesToArchive says the file's volume is done. Each listed file is opened again
  without following a link and must have the device and inode the walk saw, else it
  is skipped (changed_since_listed). Beyond --sort-memory bytes the list is sorted in
  runs spilled to nameless files in the job results directory and merged. walk takes
  files in name order and ends the walk once every budget is met.

Reasons, --report, --json:
  Every file seen has one reason (the library's, or volume_without_budget and
  changed_since_listed for a file not handed over); the summary counts them. --report
  FILE writes a CSV line per file: path (always quoted, quotes doubled, other bytes as
  they are), size, atime, mtime (UTC), result (empty when not handed over), reason.
  --json prints the summary as one JSON object instead of the text.

One run at a time:
  A run holds a lock on JOB_RESULTS/tqhsm-scan.lock; a second run into the same job
  results directory refuses at once (exit 1), naming the holder's pid. SIGINT and
  SIGTERM end the run as failed through the normal path: the walk stops, the
  re-stubbing pass is skipped (StubCollectTemp's candidates go to StubCollect), the
  lists are closed whole, a local run's new watches come off again, an "interrupted"
  summary is printed and the exit status is 130 (SIGINT) or 143 (SIGTERM).

Exit status:
  0 the run ended normally; 1 the run ended as failed (--fail-run, Initialize failed,
  a content path could not be resolved or set up, a candidate could not be stored in
  StubCollect, a StubCollectTemp record could not be read back, StubCollect or the
  action log or the report could not be written whole, the ordered scan's sort files
  failed), the job results directory was refused or
  another run holds it; 2 bad usage; 130 or 143 interrupted by SIGINT or SIGTERM.
)";

struct Options {
  std::vector<std::string> paths;
  std::string config;
  std::string log;
  std::string actions;
  int appKey = 0;
  int appId = 0;
  int driverMode = 2;
  int64_t jobId = 0;
  std::string jobResults = ".";
  std::string collectFile = "StubCollect";
  int remoteClientId = 0;
  bool proxy = false;
  bool nativeSnap = false;
  int64_t snapCollectArg = 0;
  bool snapHostMapped = false;
  std::string mapPrefix;
  bool useDC = false;
  bool restubCheck = false;
  bool pruneCheck = false;
  bool skipNestedMounts = false;
  bool failRun = false;
  bool dryRun = false;
  bool verbose = false;
  bool progress = false;
  bool noProgress = false;
  std::string report;
  bool json = false;
  std::string order = "oldest";
  size_t sortMemory = size_t(64) << 20;
};

// The first SIGINT or SIGTERM; the run then ends as failed at the next file.
volatile sig_atomic_t g_nSignal = 0;

void onSignal(int sig) {
  if (g_nSignal == 0) g_nSignal = sig;
}

// One mount point met while walking a content path.
struct Volume {
  std::string mountPoint;
  bool known = false;  // examined by resetVolume
  int64_t budgetBefore = 0;
  int64_t budgetAfter = 0;
  int64_t blockSize = 0;
  bool active = false;  // files are still taken from it
  bool spent = false;   // it had a budget and MoreFilesToArchive ended it
  uint64_t taken = 0;
  std::string watchError;  // why it could not be put under watching
  std::string noBudget;    // why it has no budget
};

struct ContentPath {
  std::string given;
  std::string path;
  std::string resetPath;  // what resetVolume was given: path, or the directory holding a file
  bool isFile = false;
  int reset = 0;
  std::string resetError;
  std::vector<Volume> volumes;
  bool walked = false;
  bool endedEarly = false;   // every volume's budget was met before the walk's end
  bool interrupted = false;  // a signal ended the walk
  std::string orderError;    // --order: the sort files let the scan down
};

struct Counts {
  uint64_t files = 0;
  uint64_t notTaken = 0;
  uint64_t results[4] = {0, 0, 0, 0};
  uint64_t otherResults = 0;
  uint64_t bytes = 0;
  uint64_t others = 0;
  uint64_t directories = 0;
  uint64_t nestedSkipped = 0;
  uint64_t errors = 0;
  uint64_t listed = 0;   // --order: files the first pass kept for the second
  uint64_t spilled = 0;  // --order: sorted runs written to the job-results directory
  // Every file seen has exactly one reason: the library's, or the scan's own
  // for a file it did not hand over.
  uint64_t reasons[static_cast<size_t>(TQHSMReason::kCount)] = {};
};

// --report FILE: one CSV line per file seen (RFC 4180). The path is always
// quoted, quotes doubled; every other byte, newlines and control bytes
// included, is written as the file system has it, so that any CSV reader
// gives the name back byte for byte. Written as the scan goes; a write error
// ends the writing and fails the run.
class Report {
 public:
  ~Report() { close(); }
  bool open(const std::string& path, std::string& error) {
    m_sPath = path;
    m_nFd = OpenOwnFile(path.c_str(), false, true, error);
    if (m_nFd < 0) return false;
    m_buffer = "path,size,atime,mtime,result,reason\r\n";
    return true;
  }
  bool isOpen() const { return m_nFd >= 0; }
  // result < 0: the file was not handed to the library (empty field).
  void line(const char* path, const struct stat& st, int result, TQHSMReason reason) {
    if (m_nFd < 0 || m_nErrno) return;
    m_buffer += '"';
    for (const char* c = path; *c; ++c) {
      if (*c == '"') m_buffer += '"';
      m_buffer += *c;
    }
    m_buffer += "\",";
    m_buffer += std::to_string(static_cast<long long>(st.st_size));
    m_buffer += ',';
    m_buffer += isoTime(st.st_atime);
    m_buffer += ',';
    m_buffer += isoTime(st.st_mtime);
    m_buffer += ',';
    if (result >= 0) m_buffer += std::to_string(result);
    m_buffer += ',';
    m_buffer += TQHSMReasonName(reason);
    m_buffer += "\r\n";
    ++m_nLines;
    if (m_buffer.size() >= (1u << 16)) flush();
  }
  // False when the report is not whole (the reason in error()).
  bool close() {
    if (m_nFd >= 0) {
      flush();
      if (m_nErrno == 0 && ::fsync(m_nFd) != 0) m_nErrno = errno;
      if (::close(m_nFd) != 0 && m_nErrno == 0 && errno != EINTR) m_nErrno = errno;
      m_nFd = -1;
    }
    return m_nErrno == 0;
  }
  const std::string& path() const { return m_sPath; }
  uint64_t lines() const { return m_nLines; }
  std::string error() const { return m_nErrno ? std::strerror(m_nErrno) : std::string(); }

 private:
  static std::string isoTime(time_t t) {
    struct tm tm {};
    char buf[40];
    if (!gmtime_r(&t, &tm) || std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm) == 0)
      return std::to_string(static_cast<long long>(t));
    return buf;
  }
  void flush() {
    size_t done = 0;
    while (m_nErrno == 0 && done < m_buffer.size()) {
      ssize_t n = ::write(m_nFd, m_buffer.data() + done, m_buffer.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) m_nErrno = n < 0 ? errno : EIO;
      else done += static_cast<size_t>(n);
    }
    m_buffer.clear();
  }
  std::string m_sPath;
  std::string m_buffer;
  int m_nFd = -1;
  int m_nErrno = 0;
  uint64_t m_nLines = 0;
};

class Progress {
 public:
  explicit Progress(bool on) : m_bOn(on), m_start(Clock::now()), m_last(m_start) {}
  void tick(const Counts& c) {
    if (!m_bOn || (c.files & 1023) != 0) return;
    Clock::time_point now = Clock::now();
    if (now - m_last < std::chrono::milliseconds(250)) return;
    m_last = now;
    double secs = std::chrono::duration<double>(now - m_start).count();
    std::fprintf(stderr, "\r%" PRIu64 " files seen, %" PRIu64 " candidates, %.0f files/s ",
                 c.files, c.results[1], secs > 0 ? static_cast<double>(c.files) / secs : 0.0);
    m_bShown = true;
  }
  void done() {
    if (m_bShown) std::fprintf(stderr, "\r\033[K");
    m_bShown = false;
  }

 private:
  bool m_bOn;
  bool m_bShown = false;
  Clock::time_point m_start;
  Clock::time_point m_last;
};

// The mount point that holds path: the longest one, the first of equal ones.
const ObMntEnt* holderEntry(const std::vector<ObMntEnt>& mounts, const std::string& path) {
  const ObMntEnt* best = nullptr;
  for (const ObMntEnt& m : mounts) {
    int rel = ComparePath::Check(path, m.m_sMountPoint);
    if ((rel == ComparePath::eSame || rel == ComparePath::eBelow) &&
        (!best || m.m_sMountPoint.size() > best->m_sMountPoint.size()))
      best = &m;
  }
  return best;
}

std::string holderOf(const std::vector<ObMntEnt>& mounts, const std::string& path) {
  const ObMntEnt* best = holderEntry(mounts, path);
  return best ? best->m_sMountPoint : std::string("/");
}

// The file-system type of a mount point as resetVolume saw it: the holder's
// entry for the mount that holds the content path, else the last entry of the
// mount point (the one mounted on top).
std::string typeOf(const std::vector<ObMntEnt>& mounts, const std::string& mountPoint,
                   const std::string& contentPath) {
  const ObMntEnt* holder = holderEntry(mounts, contentPath);
  if (holder && holder->m_sMountPoint == mountPoint) return holder->m_sFsType;
  std::string type;
  for (const ObMntEnt& m : mounts)
    if (m.m_sMountPoint == mountPoint) type = m.m_sFsType;
  return type;
}

std::string percentText(double p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f %%", p);
  return buf;
}

// Why resetVolume gave a mount point no budget, in the terms of the
// configuration keys that decide it.
std::string noBudgetReason(const TQHSMHelper& h, const std::string& mountPoint,
                           const std::string& type) {
  if (!type.empty() && h.m_sSkipFsTypes.find(":" + type + ":") != std::string::npos)
    return "file-system type " + type + " is skipped by sSKIP_FS_TO_MONITOR";
  for (const std::string& m : h.m_vecNoXattrMounts)
    if (m == mountPoint)
      return "no extended attributes (not supported, or disabled in the mount options)";
  TQHSMVolume volume(mountPoint);
  std::string error;
  int64_t freeBytes = 0;
  volume.GetFreeDiskBytes(freeBytes, error);
  int64_t low = volume.GetBytesForPercent(h.m_rules.m_nLowFreeSpace, error);
  int64_t size = volume.GetBytesForPercent(100, error);
  if (size <= 0) return "its size cannot be read (statvfs)";
  std::string freeShare =
      percentText(100.0 * static_cast<double>(freeBytes) / static_cast<double>(size));
  if (freeBytes > low)
    return "free space " + freeShare + " is above LowFreeSpace " +
           std::to_string(h.m_rules.m_nLowFreeSpace) + " %";
  return "free space " + freeShare + " already reaches HighFreeSpace " +
         std::to_string(h.m_rules.m_nHighFreeSpace) + " %";
}

using tqhsm::walk::Action;
using tqhsm::walk::Entry;
using tqhsm::walk::WalkProblem;

class Scanner : public tqhsm::walk::Visitor {
 public:
  Scanner(TQHSMHelper& h, const Options& o, Counts& c, Progress& p, Report& r)
      : m_h(h), m_o(o), m_c(c), m_progress(p), m_report(r) {}

  // Why the last content path could not be scanned in order (a sort file
  // failed); empty when it could.
  const std::string& orderError() const { return m_sOrderError; }

  // Sets the content path up and walks it. False when it could not be set up.
  bool scan(ContentPath& cp) {
    m_vols = &cp.volumes;
    m_cp = &cp;
    m_mounts.clear();
    if (m_h.m_pLowLevelCtx) {
      // The table the library goes by, read once for the run: a volume is
      // then the same mount here and there.
      for (const TQHSMMntEnt& e : m_h.m_pLowLevelCtx->mountTable().entries()) {
        ObMntEnt m;
        m.m_sDevice = e.m_sDevice;
        m.m_sMountPoint = e.m_sMountPoint;
        m.m_sFsType = e.m_sFsType;
        m_mounts.push_back(std::move(m));
      }
    } else {
      CZoError err = ObMntTab::getAll(m_mounts);
      if (err.IsError())
        std::fprintf(stderr, "tqhsm-scan: %s\n", tqhsm::EscapeLogText(err.AsString()).c_str());
    }
    // A file's volume is set up at the directory that holds it, and only
    // the file system that holds it: that directory is what gets watched.
    cp.reset = m_h.resetVolume(cp.resetPath.c_str(), cp.resetError,
                               m_o.skipNestedMounts || cp.isFile);
    for (const auto& b : m_h.m_mapAmountToArchive) {
      Volume v;
      v.mountPoint = b.first;
      v.known = true;
      v.budgetBefore = v.budgetAfter = b.second;
      auto bs = m_h.m_mapFsBlockSize.find(b.first);
      v.blockSize = bs == m_h.m_mapFsBlockSize.end() ? 0 : bs->second;
      m_scratch = v.mountPoint;
      v.active = m_h.MoreFilesToArchive(m_scratch);
      // A budget taken back because the volume could not be watched is
      // shown with the watch's failure instead.
      const std::map<std::string, std::string>& watchFailures = m_h.WatchFailures();
      bool unwatched = watchFailures.count(v.mountPoint) || watchFailures.count(cp.resetPath);
      if (v.budgetBefore <= 0 && !unwatched && m_h.m_bRulesInitialized &&
          !(m_h.m_rules.m_ulRulesFlag & 0x2000))
        v.noBudget = noBudgetReason(m_h, v.mountPoint, typeOf(m_mounts, v.mountPoint, cp.resetPath));
      cp.volumes.push_back(v);
    }
    if (cp.reset < 0) return false;
    // With no volume wanting files there is nothing to walk (and an fts
    // closed before its first read leaks its root entries).
    if (cp.reset == 1 && anyActive()) walk(cp.path);
    bool ok = m_sOrderError.empty();
    cp.orderError.swap(m_sOrderError);
    m_sOrderError.clear();
    for (Volume& v : cp.volumes) {
      auto b = m_h.m_mapAmountToArchive.find(v.mountPoint);
      v.budgetAfter = b == m_h.m_mapAmountToArchive.end() ? 0 : b->second;
    }
    return ok;
  }

  Action directory(Entry& e) override {
    if (stopped()) return Action::kStop;
    ++m_c.directories;
    size_t vol = volumeOfEntry(e);
    if (e.m_nLevel > 0 && e.m_pStat->st_dev != e.m_parentDev) {
      if (m_o.skipNestedMounts) {
        ++m_c.nestedSkipped;
        return Action::kSkip;
      }
      vol = volumeOf(e.m_pPath);
    }
    e.m_lNumber = static_cast<long>(vol);
    return worthEntering(vol, e.m_pPath) ? Action::kContinue : Action::kSkip;
  }
  Action file(Entry& e) override {
    if (stopped()) return Action::kStop;
    size_t vol = volumeOfEntry(e);
    if (m_pSorter) return list(e, vol);
    take(e.m_pPath, e.m_pStat, (*m_vols)[vol]);
    if (anyActive()) return Action::kContinue;
    m_cp->endedEarly = true;
    return Action::kStop;
  }
  Action other(Entry&) override {  // symbolic links, devices, sockets, pipes
    if (stopped()) return Action::kStop;
    ++m_c.others;
    return Action::kContinue;
  }
  Action problem(const WalkProblem& p) override {
    ++m_c.errors;
    std::fprintf(stderr, "tqhsm-scan: %s: %s\n", tqhsm::EscapeLogText(p.m_pPath).c_str(),
                 p.m_pText);
    return stopped() ? Action::kStop : Action::kContinue;
  }

 private:
  bool stopped() {
    if (g_nSignal == 0) return false;
    m_cp->interrupted = true;
    return true;
  }
  size_t volumeOfEntry(const Entry& e) const {
    return e.m_nLevel == 0 ? m_nRootVol : static_cast<size_t>(e.m_lParentNumber);
  }
  size_t volumeOf(const std::string& dir) {
    std::string mp = holderOf(m_mounts, dir);
    for (size_t i = 0; i < m_vols->size(); ++i)
      if ((*m_vols)[i].mountPoint == mp) return i;
    Volume v;  // mounted after resetVolume looked: no budget
    v.mountPoint = mp;
    v.noBudget = "not in the mount table when the content path was set up";
    m_vols->push_back(v);
    return m_vols->size() - 1;
  }
  bool anyActive() const {
    for (const Volume& v : *m_vols)
      if (v.active) return true;
    return false;
  }
  // Whether a directory of volume vol can lead to files still wanted.
  bool worthEntering(size_t vol, const char* dir) const {
    if ((*m_vols)[vol].active) return true;
    if (m_o.skipNestedMounts) return false;
    for (const Volume& v : *m_vols)
      if (v.active && ComparePath::Check(dir, v.mountPoint) == ComparePath::eAbove) return true;
    return false;
  }

  void walk(const std::string& root) {
    m_nRootVol = volumeOf(root);
    m_cp->walked = true;
    if (!anyActive()) return;
    if (m_o.order == "walk") {
      tqhsm::walk::Walk(root, *this);
      return;
    }
    // The first pass lists what can meet the rules; the second hands it to
    // the library in order.
    tqhsm::order::Sorter sorter(
        m_o.order == "largest" ? tqhsm::order::Key::kLargest : tqhsm::order::Key::kOldest,
        m_h.m_sJobResultsDir,
        m_h.m_sCollectFileName + ".sort." + std::to_string(getpid()) +
            (m_o.dryRun ? TQHSM_DRY_RUN_SUFFIX : ""),
        m_o.sortMemory);
    m_pSorter = &sorter;
    tqhsm::walk::Walk(root, *this);
    m_pSorter = nullptr;
    m_c.spilled += sorter.runsSpilled();
    if (!m_sOrderError.empty()) return;
    std::string error;
    bool whole = sorter.drain([this](tqhsm::order::Record& r) { return second(r); }, error);
    m_c.spilled = std::max<uint64_t>(m_c.spilled, sorter.runsSpilled());
    if (!whole) m_sOrderError = error;
  }

  // The first pass: a file that cannot meet the rules is decided now (the
  // library still checks it for a stub to prune when asked to, as the walk
  // order would); one that can is listed for the second pass.
  Action list(Entry& e, size_t vol) {
    Volume& v = (*m_vols)[vol];
    if (!v.active || m_h.CheckRules(e.m_pStat, v.mountPoint, true) != TQHSMReason::kNone) {
      take(e.m_pPath, e.m_pStat, v);
      return Action::kContinue;
    }
    tqhsm::order::Record r;
    r.atimeSec = e.m_pStat->st_atim.tv_sec;
    r.atimeNsec = e.m_pStat->st_atim.tv_nsec;
    r.mtimeSec = e.m_pStat->st_mtime;
    r.size = e.m_pStat->st_size;
    r.dev = e.m_pStat->st_dev;
    r.ino = e.m_pStat->st_ino;
    r.volume = static_cast<uint32_t>(vol);
    r.path.assign(e.m_pPath, e.m_nPathLen);
    ++m_c.listed;
    if (m_pSorter->add(std::move(r), m_sOrderError)) return Action::kContinue;
    return Action::kStop;
  }

  // The second pass, one listed file. Its path is opened again without
  // following a link anywhere in it, and it must still be the file the first
  // pass saw (device and inode); the library is given what it is now.
  bool second(tqhsm::order::Record& r) {
    if (stopped()) return false;
    Volume& v = (*m_vols)[r.volume];
    struct stat st {};
    if (!v.active) {
      st.st_size = r.size;
      st.st_atim.tv_sec = r.atimeSec;
      st.st_mtime = r.mtimeSec;
      take(r.path.c_str(), &st, v);
      return true;
    }
    int fd = tqhsm::OpenNoFollow(r.path.c_str(), O_PATH);
    bool same = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                static_cast<uint64_t>(st.st_dev) == r.dev &&
                static_cast<uint64_t>(st.st_ino) == r.ino;
    if (fd >= 0) ::close(fd);
    if (!same) {
      ++m_c.files;
      ++m_c.reasons[static_cast<size_t>(TQHSMReason::kChangedSinceListed)];
      st.st_size = r.size;
      st.st_atim.tv_sec = r.atimeSec;
      st.st_mtime = r.mtimeSec;
      m_report.line(r.path.c_str(), st, -1, TQHSMReason::kChangedSinceListed);
      return true;
    }
    take(r.path.c_str(), &st, v);
    if (!anyActive()) m_cp->endedEarly = true;
    return true;
  }

  void take(const char* path, struct stat* st, Volume& v) {
    ++m_c.files;
    m_progress.tick(m_c);
    if (!v.active) {
      ++m_c.notTaken;
      ++m_c.reasons[static_cast<size_t>(TQHSMReason::kVolumeWithoutBudget)];
      m_report.line(path, *st, -1, TQHSMReason::kVolumeWithoutBudget);
      return;
    }
    ++v.taken;
    int64_t size = st->st_size;
    int rc = m_h.IsDMCandidate(path, st, v.mountPoint, true, m_o.restubCheck, m_o.pruneCheck);
    TQHSMReason why = m_h.LastReason();
    ++m_c.reasons[static_cast<size_t>(why) < static_cast<size_t>(TQHSMReason::kCount)
                      ? static_cast<size_t>(why)
                      : 0];
    m_report.line(path, *st, rc, why);
    if (rc >= 0 && rc <= 3)
      ++m_c.results[rc];
    else
      ++m_c.otherResults;
    if (rc == 1) m_c.bytes += static_cast<uint64_t>(size);
    m_scratch = v.mountPoint;
    if (!m_h.MoreFilesToArchive(m_scratch)) {
      v.active = false;
      v.spent = true;
    }
  }

  TQHSMHelper& m_h;
  const Options& m_o;
  Counts& m_c;
  Progress& m_progress;
  Report& m_report;
  tqhsm::order::Sorter* m_pSorter = nullptr;
  std::string m_sOrderError;
  std::vector<Volume>* m_vols = nullptr;
  ContentPath* m_cp = nullptr;
  std::vector<ObMntEnt> m_mounts;
  size_t m_nRootVol = 0;
  std::string m_scratch;
};

// What the summary shows of a content path once it has been scanned: its
// names as the log writes them, so that no name can forge terminal output.
void showable(ContentPath& cp) {
  cp.given = tqhsm::EscapeLogText(cp.given);
  cp.path = tqhsm::EscapeLogText(cp.path);
  cp.resetPath = tqhsm::EscapeLogText(cp.resetPath);
  cp.resetError = tqhsm::EscapeLogText(cp.resetError);
  for (Volume& v : cp.volumes) {
    v.mountPoint = tqhsm::EscapeLogText(v.mountPoint);
    v.watchError = tqhsm::EscapeLogText(v.watchError);
    v.noBudget = tqhsm::EscapeLogText(v.noBudget);
  }
  cp.orderError = tqhsm::EscapeLogText(cp.orderError);
}

// The job-results directory receives files that root creates and replaces
// (StubCollect, StubCollectTemp, the rewrite and dump files). It, and every
// directory above it, must be such that nobody but the scan's user (and root)
// can put or replace an entry in it: otherwise a planted link or a swapped
// directory would steer those writes. A directory others can write passes
// only when it is sticky and its owner is trusted (the scan's user for the
// directory itself, root or the scan's user above it), so that others cannot
// rename or remove what the scan makes there. The directories are looked at
// through descriptors, one component at a time without following links, on
// the path realpath gave; that path is what the scan then uses, so nothing
// checked here is resolved again through a link. False with the reason in
// problem; unsafe tells a directory that is there but not safe from one that
// cannot be reached.
bool checkJobResults(const std::string& given, std::string& resolved, std::string& problem,
                     bool& unsafe) {
  unsafe = false;
  char real[PATH_MAX];
  if (!realpath(given.c_str(), real)) {
    problem = std::string("cannot resolve: ") + std::strerror(errno);
    return false;
  }
  resolved = real;
  const uid_t self = geteuid();
  int fd = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
  std::string at = "/";
  size_t pos = 1;
  bool ok = fd >= 0;
  if (!ok) problem = std::string("cannot open /: ") + std::strerror(errno);
  while (ok) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
      problem = "cannot look at " + tqhsm::EscapeLogText(at) + ": " + std::strerror(errno);
      ok = false;
      break;
    }
    const bool leaf = pos >= resolved.size();
    const bool othersWrite = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    const bool trustedOwner = st.st_uid == self || st.st_uid == 0;
    char mode[16];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    const std::string shown = tqhsm::EscapeLogText(at);
    if (!trustedOwner) {
      problem = shown + " belongs to uid " + std::to_string(st.st_uid) +
                (leaf ? ", who can plant entries in it" : ", who can replace what is below it");
      ok = false;
      unsafe = true;
    } else if (othersWrite && !((st.st_mode & S_ISVTX) && (!leaf || st.st_uid == self))) {
      problem = shown + " can be written by others (mode " + mode + ")" +
                (leaf ? "" : ", who can replace what is below it");
      ok = false;
      unsafe = true;
    }
    if (!ok || leaf) break;
    size_t slash = resolved.find('/', pos);
    if (slash == std::string::npos) slash = resolved.size();
    std::string name = resolved.substr(pos, slash - pos);
    int next = openat(fd, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    at = resolved.substr(0, slash);
    pos = slash + 1;
    if (next < 0) {
      int err = errno;
      struct stat link;
      // realpath saw a directory there: a link there now was put there since.
      bool swapped = (err == ELOOP || err == ENOTDIR) &&
                     fstatat(fd, name.c_str(), &link, AT_SYMLINK_NOFOLLOW) == 0 &&
                     S_ISLNK(link.st_mode);
      problem = tqhsm::EscapeLogText(at) +
                (swapped
                     ? std::string(" changed while it was checked (a symbolic link is there now)")
                     : std::string(": ") + std::strerror(err));
      ok = false;
      break;
    }
    close(fd);
    fd = next;
  }
  if (fd >= 0) close(fd);
  return ok;
}

std::string fmtBytes(int64_t b) {
  char buf[64];
  double v = static_cast<double>(b < 0 ? -b : b);
  const char* unit = "B";
  if (v >= 1024.0 * 1024 * 1024) {
    v /= 1024.0 * 1024 * 1024;
    unit = "GiB";
  } else if (v >= 1024.0 * 1024) {
    v /= 1024.0 * 1024;
    unit = "MiB";
  } else if (v >= 1024.0) {
    v /= 1024.0;
    unit = "KiB";
  }
  if (unit[0] == 'B')
    std::snprintf(buf, sizeof buf, "%" PRId64, b);
  else
    std::snprintf(buf, sizeof buf, "%" PRId64 " (%s%.1f %s)", b, b < 0 ? "-" : "", v, unit);
  return buf;
}

// The run's action log: one line per stub deleted and file re-stubbed, each
// written as the act happens, so that a run that dies still leaves the record
// of what it did.
class ActionLog : public TQHSMActionObserver {
 public:
  ~ActionLog() override { close(); }

  bool open(const std::string& path, std::string& error) {
    m_sPath = path;
    m_nFd = OpenOwnFile(path.c_str(), false, true, error);
    return m_nFd >= 0;
  }
  // False when a line could not be written whole (the reason in error()).
  bool close() {
    if (m_nFd >= 0) {
      if (m_nLines > 0 && ::fsync(m_nFd) != 0 && m_nErrno == 0) m_nErrno = errno;
      if (::close(m_nFd) != 0 && m_nErrno == 0 && errno != EINTR) m_nErrno = errno;
      m_nFd = -1;
    }
    return m_nErrno == 0;
  }

  void OnAction(const TQHSMAction& a) override {
    std::string verb;
    if (a.m_eKind == TQHSMAction::eStubDeleted) {
      if (a.m_pError)
        ++m_nDeleteFailed;
      else
        ++m_nDeleted;
      verb = a.m_bDryRun ? (a.m_pError ? "would fail to delete" : "would delete")
                         : (a.m_pError ? "delete failed" : "deleted");
    } else {
      ++m_nReStubbed;
      verb = a.m_bDryRun ? "would re-stub" : "re-stubbed";
    }
    char af[80];
    std::snprintf(af, sizeof af, "%" PRIu64 ":%" PRIu64 ":%" PRIu64, a.m_ulParvisNumber,
                  a.m_ulCopyPrecedence, a.m_ulAfileId);
    std::string line = verb + "\t" + af + "\t" + tqhsm::EscapeLogText(a.m_pPath ? a.m_pPath : "");
    if (a.m_eKind == TQHSMAction::eFileReStubbed)
      line += "\t" + tqhsm::EscapeLogText(a.m_pCachedStub ? a.m_pCachedStub : "");
    if (a.m_pError) line += "\t" + tqhsm::EscapeLogText(a.m_pError);
    line += "\n";
    write(line);
  }

  const std::string& path() const { return m_sPath; }
  uint64_t deleted() const { return m_nDeleted; }
  uint64_t deleteFailed() const { return m_nDeleteFailed; }
  uint64_t reStubbed() const { return m_nReStubbed; }
  uint64_t lines() const { return m_nLines; }
  std::string error() const { return m_nErrno ? std::strerror(m_nErrno) : std::string(); }

 private:
  void write(const std::string& line) {
    if (m_nFd < 0 || m_nErrno != 0) return;
    size_t done = 0;
    while (done < line.size()) {
      ssize_t n = ::write(m_nFd, line.data() + done, line.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        m_nErrno = n < 0 ? errno : EIO;
        // Whole lines only: a torn one is cut off again.
        (void)!::ftruncate(m_nFd, m_lSize);
        return;
      }
      done += static_cast<size_t>(n);
    }
    m_lSize += static_cast<off_t>(line.size());
    ++m_nLines;
  }

  std::string m_sPath;
  int m_nFd = -1;
  int m_nErrno = 0;
  off_t m_lSize = 0;
  uint64_t m_nLines = 0;
  uint64_t m_nDeleted = 0;
  uint64_t m_nDeleteFailed = 0;
  uint64_t m_nReStubbed = 0;
};

// The log on its file and on standard error at once (-v).
class TeeLogSink : public tqhsm::LogSink {
 public:
  TeeLogSink(tqhsm::LogSink& file, int level) : m_file(file), m_terminal("", level) {}
  int level() const override { return m_file.level(); }
  void write(tqhsm::LogKind kind, const char* tag, int level, const std::string& text) override {
    m_file.write(kind, tag, level, text);
    m_terminal.write(kind, tag, level, text);
  }
  void event(unsigned int eventId, long long jobId, int arg,
             const std::vector<std::string>& args) override {
    m_file.event(eventId, jobId, arg, args);
    m_terminal.event(eventId, jobId, arg, args);
  }
  void debugBreak(const char* marker, const char* arg, int count, int level, bool flag) override {
    m_file.debugBreak(marker, arg, count, level, flag);
  }

 private:
  tqhsm::LogSink& m_file;
  tqhsm::FileLogSink m_terminal;
};

const char* const kLockName = "tqhsm-scan.lock";

// Takes the run lock of the job-results directory: a write lock on
// JOB_RESULTS/tqhsm-scan.lock for the life of the process (a record lock,
// so that whoever holds it can be named). The descriptor, or -1 with the
// message in problem.
int lockJobResults(const std::string& dir, std::string& problem) {
  std::string path = dir + "/" + kLockName;
  std::string error;
  int fd = OpenOwnFile(path.c_str(), false, false, error);
  if (fd < 0) {
    problem = "cannot lock job results directory " + tqhsm::EscapeLogText(dir) + ": " +
              tqhsm::EscapeLogText(error);
    return -1;
  }
  for (int attempt = 0; attempt < 3; ++attempt) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(fd, F_SETLK, &lock) == 0) return fd;
    int err = errno;
    if (err != EAGAIN && err != EACCES) {
      problem = "cannot lock job results directory " + tqhsm::EscapeLogText(dir) + " (" +
                tqhsm::EscapeLogText(path) + "): " + std::strerror(err);
      ::close(fd);
      return -1;
    }
    struct flock holder {};
    holder.l_type = F_WRLCK;
    holder.l_whence = SEEK_SET;
    if (fcntl(fd, F_GETLK, &holder) == 0 && holder.l_type == F_UNLCK) continue;  // just released
    problem = "job results directory " + tqhsm::EscapeLogText(dir) +
              " is in use by another run of tqhsm-scan (" +
              (holder.l_pid > 0 ? "pid " + std::to_string(holder.l_pid) : std::string("pid unknown")) +
              ", holding " + tqhsm::EscapeLogText(path) +
              "); wait for it to end, or give this run another --job-results";
    ::close(fd);
    return -1;
  }
  problem = "cannot lock job results directory " + tqhsm::EscapeLogText(dir) +
            ": the lock changed hands too often";
  ::close(fd);
  return -1;
}

// How the summary and the exit status name a signal.
const char* signalName(int sig) { return sig == SIGINT ? "SIGINT" : "SIGTERM"; }

// The volume line's budget: before and after, an overshoot as such.
std::string budgetText(const Volume& v) {
  if (!v.known || v.budgetBefore <= 0) return "no budget";
  std::string text = "budget before " + fmtBytes(v.budgetBefore) + ", after ";
  if (v.budgetAfter > 0) return text + fmtBytes(v.budgetAfter);
  text += "0 (met";
  if (v.budgetAfter < 0) text += ", overshot by " + fmtBytes(-v.budgetAfter);
  return text + ")";
}

// Why nothing could be done: the rules are off. Names the key and its value.
std::string rulesOffText(const TQHSMHelper& h, int appId) {
  char flags[32];
  std::snprintf(flags, sizeof flags, "0x%" PRIx64, static_cast<uint64_t>(h.m_rules.m_ulRulesFlag));
  char on[32];
  std::snprintf(on, sizeof on, "0x%" PRIx64,
                static_cast<uint64_t>(h.m_rules.m_ulRulesFlag & ~static_cast<uint64_t>(0x2000)));
  std::string section = "[Subclient " + std::to_string(appId) + "]";
  std::string value;
  bool set = tqhsm::ConfigSource::Current().getString("Subclient " + std::to_string(appId),
                                                      "RulesFlag", value);
  std::string text = "archive rules disabled: nothing to do (";
  if (set)
    text += "RulesFlag = " + tqhsm::EscapeLogText(value) + " in " + section + " has bit 0x2000 set";
  else
    text += "RulesFlag is not set in " + section + ", and its default " + flags + " means disabled";
  return text + "; set RulesFlag = " + (std::string(on) == "0x0" ? "0" : on) + " there to enable them)";
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  CLI::App app{
      "Scans content paths for files to archive and stub (hierarchical storage management), "
      "the way the backup agent's scan phase does, and writes them to the StubCollect file."};
  app.footer(kFooter);
  app.add_option("CONTENT_PATH", o.paths,
                 "Directories (or files) to scan, in this order; a file's volume is watched at "
                 "the directory that holds it")
      ->required();
  app.add_option("--app-id", o.appId, "Application (subclient) id: selects [Subclient <id>]")
      ->required();
  app.add_option("--app-key", o.appKey, "Application key handed to Initialize")
      ->capture_default_str();
  app.add_option("--driver-mode", o.driverMode,
                 "Driver mode of the low-level library; 2 leaves out mount points without "
                 "extended attributes")
      ->capture_default_str();
  app.add_option("--config", o.config, "Configuration file (default: $TQHSM_CONFIG)");
  app.add_option("--log", o.log,
                 "Log file, appended to (default: $TQHSM_LOG, else COLLECT_FILE.log in the job "
                 "results directory, started afresh; .log.dryrun in a dry run)");
  app.add_flag("-v,--verbose", o.verbose, "Show the log on standard error as well");
  app.add_option("--actions", o.actions,
                 "Action log: every stub deleted and file re-stubbed, with its AF (default: "
                 "COLLECT_FILE.actions in the job results directory, .actions.dryrun in a dry "
                 "run)");
  app.add_flag("--dry-run", o.dryRun,
               "Decide everything, act on nothing: no stub deleted, no file re-stubbed, the "
               "watch list and migrated trees only read; the lists get \".dryrun\" after their "
               "names");
  app.add_option("--job-id", o.jobId, "Job id, carried into events")->capture_default_str();
  app.add_option("--job-results", o.jobResults,
                 "Job results directory: where the collect files are written. Refused when "
                 "anyone but the scan's user or root can write it or a directory above it, "
                 "unless that directory is sticky (and, for this one, owned by the scan's "
                 "user); one run at a time")
      ->capture_default_str();
  app.add_option("--collect-file", o.collectFile, "File name of StubCollect in --job-results")
      ->capture_default_str();
  app.add_option("--remote-client-id", o.remoteClientId,
                 "Scan on behalf of this remote client; 0 = this machine")
      ->capture_default_str();
  app.add_flag("--proxy", o.proxy, "The paths are proxy paths of another machine");
  app.add_flag("--native-snap", o.nativeSnap,
               "The paths lie in a native snapshot (preserves access times)");
  app.add_option("--snap-collect-arg", o.snapCollectArg,
                 "Number written with every collect line on a native snapshot")
      ->capture_default_str();
  app.add_flag("--snap-host-mapped", o.snapHostMapped,
               "Snapshot paths are host paths already (no mapping for stub inspection)");
  app.add_option("--map-prefix", o.mapPrefix,
                 "Proxy or snapshot path mapping FROM=TO: a leading FROM becomes TO");
  app.add_flag("--use-dc", o.useDC, "The scan works from the data-classification database");
  app.add_flag("--restub-check", o.restubCheck,
               "With --use-dc: look each candidate's inode up before the re-stub check");
  app.add_flag("--prune-check", o.pruneCheck,
               "Also check stubs that are not candidates for pruning (always done when the "
               "subclient honours archiver retention)");
  app.add_flag("--skip-nested-mounts", o.skipNestedMounts,
               "Only the file system that holds each content path; never cross into another");
  app.add_flag("--fail-run", o.failRun,
               "End the run as failed: a failed local run takes the volumes that it newly put "
               "under watching off the watch list again");
  app.add_option("--order", o.order,
                 "Which files get the budget first: oldest (access time, oldest first), largest "
                 "(size, largest first) or walk (name order, as the walk meets them)")
      ->check(CLI::IsMember({"oldest", "largest", "walk"}))
      ->capture_default_str();
  app.add_option("--sort-memory", o.sortMemory,
                 "With --order oldest|largest: bytes of file records held in memory before a "
                 "sorted run is spilled to the job results directory")
      ->check(CLI::Range(size_t(1), size_t(1) << 40))
      ->capture_default_str();
  app.add_option("--report", o.report,
                 "CSV report: one line per file seen (path,size,atime,mtime,result,reason), "
                 "used as named, also in a dry run");
  app.add_flag("--json", o.json, "Print the summary as one JSON object instead of text");
  app.add_flag("--progress", o.progress, "Show progress even when standard error is no terminal");
  app.add_flag("--no-progress", o.noProgress, "Never show progress");

  int exitCode = 0;
  if (!tqhsm::tools::ParseCommandLine(app, argc, argv, exitCode)) return exitCode;

  std::unique_ptr<PrefixPathMapper> mapper;
  if (!o.mapPrefix.empty()) {
    size_t eq = o.mapPrefix.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == o.mapPrefix.size()) {
      std::fprintf(stderr, "tqhsm-scan: --map-prefix wants FROM=TO, not '%s'\n",
                   tqhsm::EscapeLogText(o.mapPrefix).c_str());
      return 2;
    }
    mapper.reset(new PrefixPathMapper(o.mapPrefix.substr(0, eq), o.mapPrefix.substr(eq + 1)));
  }
  const std::string suffix = o.dryRun ? TQHSM_DRY_RUN_SUFFIX : "";

  std::unique_ptr<tqhsm::IniConfig> config;
  std::unique_ptr<tqhsm::ScopedBackend<tqhsm::ConfigSource>> configScope;
  if (!o.config.empty()) {
    config = tqhsm::IniConfig::FromFile(o.config);
    configScope.reset(new tqhsm::ScopedBackend<tqhsm::ConfigSource>(config.get()));
  }
  std::string problem = tqhsm::ConfigSource::Current().problem();
  if (!problem.empty()) {
    std::fprintf(stderr, "tqhsm-scan: %s\n", problem.c_str());
    return 1;
  }

  std::string jobResults, why;
  bool unsafe = false;
  if (!checkJobResults(o.jobResults, jobResults, why, unsafe)) {
    if (unsafe)
      std::fprintf(stderr,
                   "tqhsm-scan: job results directory %s refused: %s. Make it and the "
                   "directories above it writable only by the scan's user or root (sticky "
                   "ones such as /tmp may stand above it), or make it sticky (chmod +t) and "
                   "owned by the scan's user.\n",
                   tqhsm::EscapeLogText(o.jobResults).c_str(), why.c_str());
    else
      std::fprintf(stderr, "tqhsm-scan: job results directory %s: %s\n",
                   tqhsm::EscapeLogText(o.jobResults).c_str(), why.c_str());
    return 1;
  }

  // One run at a time: two runs into one directory would write the same
  // lists. The lock lives as long as the process.
  if (lockJobResults(jobResults, problem) < 0) {
    std::fprintf(stderr, "tqhsm-scan: %s\n", problem.c_str());
    return 1;
  }

  // The log: given, or the run's own file beside its lists, so that the
  // terminal shows progress and the summary only.
  std::string logPath = o.log;
  if (logPath.empty()) {
    const char* env = std::getenv("TQHSM_LOG");
    if (env && *env) logPath = env;
  }
  if (logPath.empty()) {
    logPath = jobResults + "/" + o.collectFile + ".log" + suffix;
    std::string error;
    int fd = OpenOwnFile(logPath.c_str(), false, true, error);
    if (fd < 0) {
      std::fprintf(stderr, "tqhsm-scan: cannot write the log: %s\n",
                   tqhsm::EscapeLogText(error).c_str());
      return 1;
    }
    ::close(fd);
  }
  setenv("TQHSM_LOG", logPath.c_str(), 1);
  std::unique_ptr<TeeLogSink> tee;
  std::unique_ptr<tqhsm::ScopedBackend<tqhsm::LogSink>> teeScope;
  if (o.verbose) {
    tqhsm::LogSink& file = tqhsm::LogSink::Default();
    tee.reset(new TeeLogSink(file, file.level()));
    teeScope.reset(new tqhsm::ScopedBackend<tqhsm::LogSink>(tee.get()));
  }

  ActionLog actions;
  {
    std::string actionsPath =
        o.actions.empty() ? jobResults + "/" + o.collectFile + ".actions" + suffix : o.actions;
    std::string error;
    if (!actions.open(actionsPath, error)) {
      std::fprintf(stderr, "tqhsm-scan: cannot write the action log: %s\n",
                   tqhsm::EscapeLogText(error).c_str());
      return 1;
    }
  }

  Report report;
  if (!o.report.empty()) {
    std::string error;
    if (!report.open(o.report, error)) {
      std::fprintf(stderr, "tqhsm-scan: cannot write the report: %s\n",
                   tqhsm::EscapeLogText(error).c_str());
      return 1;
    }
  }

  // A signal ends the run as failed, through the normal path.
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  // A SIGINT ignored from the start (a shell's background job) stays ignored.
  struct sigaction was {};
  if (sigaction(SIGINT, nullptr, &was) == 0 && was.sa_handler != SIG_IGN)
    sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  // The open-file probe takes a write lease for a moment; another process
  // opening the file just then makes the kernel signal the holder with SIGIO,
  // which would end the scan. This program uses no SIGIO, so it ignores it,
  // and the library then need not redirect that signal file by file.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGIO, &ignore, nullptr);

  TQHSMHelperInitArgs args;
  args.m_jobId = o.jobId;
  args.m_sJobResultsDir = jobResults;
  args.m_sCollectFileName = o.collectFile;
  args.m_bUseDC = o.useDC;
  args.m_nRemoteClientId = o.remoteClientId;
  args.m_bIsProxy = o.proxy;
  args.m_pPathMapper = mapper.get();
  args.m_nAppId = o.appId;
  args.m_bUseNativeSnap = o.nativeSnap;
  args.m_llSnapCollectArg = o.snapCollectArg;

  bool progressOn = !o.noProgress && (o.progress || isatty(STDERR_FILENO));
  Clock::time_point start = Clock::now();
  Counts counts;
  Progress progress(progressOn);
  std::vector<ContentPath> contentPaths;
  bool failed = o.failRun;
  bool restubbed = false;
  bool passRun = false;
  int interrupted = 0;
  uint64_t collected = 0;
  uint64_t notStored = 0;
  uint64_t tempLost = 0;
  uint64_t affected = 0;
  std::string collectError;
  std::string rulesOff;
  int init = 0;
  {
    TQHSMHelper helper(args);
    helper.SetSnapHostMapped(o.snapHostMapped);
    helper.SetDryRun(o.dryRun);
    helper.SetActionObserver(&actions);
    init = helper.Initialize(o.appKey, o.appId, o.driverMode);
    if (init < 0) {
      failed = true;
    } else {
      if (init == 0) rulesOff = rulesOffText(helper, o.appId);
      Scanner scanner(helper, o, counts, progress, report);
      for (const std::string& p : o.paths) {
        ContentPath cp;
        cp.given = p;
        char resolved[PATH_MAX];
        struct stat st;
        if (g_nSignal != 0) {
          cp.reset = -1;
          cp.resetError = "not scanned: the run was interrupted";
        } else if (!realpath(p.c_str(), resolved)) {
          cp.reset = -1;
          cp.resetError = std::string("cannot resolve: ") + std::strerror(errno);
          failed = true;
        } else {
          cp.path = cp.resetPath = resolved;
          if (lstat(resolved, &st) == 0 && !S_ISDIR(st.st_mode)) {
            std::string name;
            cp.isFile = tqhsm::SplitParent(cp.path, cp.resetPath, name);
            if (!cp.isFile) cp.resetPath = cp.path;
          }
          if (!scanner.scan(cp)) failed = true;
        }
        contentPaths.push_back(cp);
      }
      progress.done();
      // An interrupted run skips the pass: DeInitialize sends what
      // StubCollectTemp holds to StubCollect.
      if (g_nSignal == 0) {
        restubbed = helper.ProcessFilesForReStubbing(nullptr);
        passRun = true;
      }
    }
    // A candidate that did not reach StubCollect is lost to this run's
    // archiving: the run has failed.
    if (helper.CandidatesNotCollected() > 0 || helper.TempCandidatesLost() > 0) failed = true;
    interrupted = g_nSignal;
    if (interrupted) {
      failed = true;
      std::fprintf(stderr, "tqhsm-scan: %s: ending the run as failed\n", signalName(interrupted));
    }
    helper.DeInitialize(failed ? 1 : 0);
    collected = helper.m_ulFilesCollected;
    notStored = helper.CandidatesNotCollected();
    tempLost = helper.TempCandidatesLost();
    collectError = helper.CollectFileError();
    affected = helper.CollectLinesAffected();
    if (notStored > 0 || tempLost > 0 || !collectError.empty()) failed = true;
    // A watch was asked for at the path given to resetVolume when it lies on
    // the volume, else at the mount point (or, deferred, at its host path).
    const std::map<std::string, std::string>& watchFailures = helper.WatchFailures();
    for (ContentPath& cp : contentPaths) {
      for (Volume& v : cp.volumes) {
        int rel = ComparePath::Check(cp.resetPath, v.mountPoint);
        std::string hostPath;
        helper.MapProxyPathToHostPath(v.mountPoint, hostPath);
        for (const std::string& key : {(rel == ComparePath::eSame || rel == ComparePath::eBelow)
                                           ? cp.resetPath
                                           : v.mountPoint,
                                       v.mountPoint, hostPath}) {
          auto it = watchFailures.find(key);
          if (it != watchFailures.end()) {
            v.watchError = it->second;
            break;
          }
        }
      }
      showable(cp);
    }
  }
  bool actionsWhole = actions.close();
  if (!actionsWhole) failed = true;
  bool reportWhole = report.close();
  if (!reportWhole) failed = true;
  for (const ContentPath& cp : contentPaths)
    if (!cp.orderError.empty()) failed = true;
  double secs = std::chrono::duration<double>(Clock::now() - start).count();

  const std::string collectPath =
      tqhsm::EscapeLogText(jobResults + "/" + o.collectFile + suffix);
  const int exitStatus = interrupted ? 128 + interrupted : failed ? 1 : 0;
  const size_t nReasons = static_cast<size_t>(TQHSMReason::kCount);
  if (o.json) {
    using nlohmann::json;
    json j;
    j["dry_run"] = o.dryRun;
    j["run"] = interrupted ? "interrupted" : failed ? "failed" : "ended normally";
    j["interrupted_by"] = interrupted ? json(signalName(interrupted)) : json(nullptr);
    j["exit_status"] = exitStatus;
    j["initialize"] = init < 0 ? std::string("failed") : init == 0 ? rulesOff : std::string("ok");
    j["order"] = o.order;
    json paths = json::array();
    for (const ContentPath& cp : contentPaths) {
      json c;
      c["given"] = cp.given;
      c["path"] = cp.path;
      c["is_file"] = cp.isFile;
      c["watched_at"] = cp.resetPath;
      c["error"] = cp.reset != 1 ? json(cp.resetError) : json(nullptr);
      c["order_error"] = cp.orderError.empty() ? json(nullptr) : json(cp.orderError);
      c["ended_early"] = cp.endedEarly;
      c["interrupted"] = cp.interrupted;
      json vols = json::array();
      for (const Volume& v : cp.volumes) {
        json jv;
        jv["mount_point"] = v.mountPoint;
        bool budget = v.known && v.budgetBefore > 0;
        jv["budget_before"] = budget ? json(v.budgetBefore) : json(nullptr);
        jv["budget_after"] = budget ? json(v.budgetAfter) : json(nullptr);
        jv["block_size"] = budget ? json(v.blockSize) : json(nullptr);
        jv["spent"] = v.spent;
        jv["files_taken"] = v.taken;
        jv["not_watched"] = v.watchError.empty() ? json(nullptr) : json(v.watchError);
        jv["no_budget"] = budget || v.noBudget.empty() ? json(nullptr) : json(v.noBudget);
        vols.push_back(jv);
      }
      c["volumes"] = vols;
      paths.push_back(c);
    }
    j["content_paths"] = paths;
    j["files_seen"] = counts.files;
    j["files_not_taken"] = counts.notTaken;
    j["results"] = {{"0", counts.results[0]},
                    {"1", counts.results[1]},
                    {"2", counts.results[2]},
                    {"3", counts.results[3]}};
    j["other_results"] = counts.otherResults;
    json reasons = json::object();
    for (size_t i = 1; i < nReasons; ++i)
      reasons[TQHSMReasonName(static_cast<TQHSMReason>(i))] = counts.reasons[i];
    if (counts.reasons[0]) reasons[TQHSMReasonName(TQHSMReason::kNone)] = counts.reasons[0];
    j["reasons"] = reasons;
    j["listed"] = counts.listed;
    j["sort_runs"] = counts.spilled;
    j["bytes_collected"] = counts.bytes;
    j["directories"] = counts.directories;
    j["other_entries"] = counts.others;
    j["nested_mounts_skipped"] = counts.nestedSkipped;
    j["unreadable"] = counts.errors;
    j["restubbing_pass"] = init != 1 ? "not run"
                           : !passRun ? "skipped (interrupted)"
                                      : (restubbed ? "done" : "off or failed");
    j["restubbed"] = actions.reStubbed();
    j["stub_collect"] = {{"path", init == 0 ? json(nullptr) : json(collectPath)},
                         {"collected", collected},
                         {"not_stored", notStored},
                         {"lost", tempLost},
                         {"fault", collectError.empty()
                                       ? json(nullptr)
                                       : json(tqhsm::EscapeLogText(collectError))},
                         {"lines_affected", affected}};
    j["actions"] = {{"path", tqhsm::EscapeLogText(actions.path())},
                    {"stubs_deleted", actions.deleted()},
                    {"files_restubbed", actions.reStubbed()},
                    {"delete_failed", actions.deleteFailed()},
                    {"fault", actionsWhole ? json(nullptr) : json(actions.error())}};
    if (!o.report.empty())
      j["report"] = {{"path", tqhsm::EscapeLogText(report.path())},
                     {"lines", report.lines()},
                     {"fault", reportWhole ? json(nullptr) : json(report.error())}};
    else
      j["report"] = nullptr;
    j["log"] = tqhsm::EscapeLogText(logPath);
    j["elapsed_seconds"] = secs;
    j["files_per_second"] = secs > 0 ? static_cast<double>(counts.files) / secs : 0.0;
    // Names are in the log's escapes already; whatever else is not UTF-8 is
    // replaced rather than lost with the whole summary.
    std::string text = j.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
      std::fprintf(stderr, "tqhsm-scan: cannot write the summary: %s\n", std::strerror(errno));
      return exitStatus == 0 ? 1 : exitStatus;
    }
    return exitStatus;
  }

  if (o.dryRun)
    std::printf("tqhsm-scan summary: dry run (nothing deleted, re-stubbed or put under watching; "
                "the lists are *%s)\n",
                TQHSM_DRY_RUN_SUFFIX);
  else
    std::printf("tqhsm-scan summary\n");
  if (interrupted)
    std::printf("  run:               interrupted by %s: ended as failed\n",
                signalName(interrupted));
  else
    std::printf("  run:               %s\n", failed ? "failed" : "ended normally");
  if (init < 0)
    std::printf("  initialize:        failed (see the log)\n");
  else if (init == 0)
    std::printf("  initialize:        %s\n", rulesOff.c_str());
  for (const ContentPath& cp : contentPaths) {
    std::printf("  content path:      %s", cp.given.c_str());
    if (!cp.path.empty() && cp.path != cp.given) std::printf(" (%s)", cp.path.c_str());
    if (cp.isFile) std::printf(" (a file: its volume is watched at %s)", cp.resetPath.c_str());
    if (cp.reset != 1) std::printf(": %s", cp.resetError.c_str());
    std::printf("\n");
    for (const Volume& v : cp.volumes) {
      std::string line = "    volume " + v.mountPoint + ": " + budgetText(v);
      if (v.known && v.budgetBefore > 0) line += ", block size " + std::to_string(v.blockSize);
      if (v.spent) line += ", spent: no more files taken";
      if (!v.watchError.empty())
        line += ", not watched: " + v.watchError;
      else if (!(v.known && v.budgetBefore > 0) && !v.noBudget.empty())
        line += ": " + v.noBudget;
      std::printf("%s\n", line.c_str());
    }
    if (!cp.orderError.empty())
      std::printf("    the ordered scan failed: %s (free space in the job results directory, or "
                  "run with --order walk)\n",
                  cp.orderError.c_str());
    if (cp.interrupted)
      std::printf("    the walk was interrupted by %s\n", signalName(interrupted));
    else if (cp.endedEarly && o.order == "walk")
      std::printf("    the walk ended early: every volume's budget was met\n");
    else if (cp.endedEarly)
      std::printf("    the second pass ended early: every volume's budget was met\n");
  }
  std::printf("  files seen:        %" PRIu64 "\n", counts.files);
  std::printf("  files not taken:   %" PRIu64 " (their volume needed no more data)\n",
              counts.notTaken);
  std::printf("  result 0:          %" PRIu64 " not a candidate\n", counts.results[0]);
  std::printf("  result 1:          %" PRIu64 " collected\n", counts.results[1]);
  std::printf("  result 2:          %" PRIu64 " stub kept\n", counts.results[2]);
  std::printf("  result 3:          %" PRIu64 " stub pruned%s\n", counts.results[3],
              o.dryRun ? " (would be deleted)" : "");
  if (counts.otherResults)
    std::printf("  other results:     %" PRIu64 "\n", counts.otherResults);
  std::printf("  reasons:           (they add up to the files seen)\n");
  for (size_t i = 0; i < nReasons; ++i)
    if (counts.reasons[i])
      std::printf("    %-22s %10" PRIu64 "  %s\n", TQHSMReasonName(static_cast<TQHSMReason>(i)),
                  counts.reasons[i], TQHSMReasonText(static_cast<TQHSMReason>(i)));
  if (o.order != "walk")
    std::printf("  order:             %s (%" PRIu64 " files listed by the first pass, %" PRIu64
                " sorted runs spilled)\n",
                o.order.c_str(), counts.listed, counts.spilled);
  else
    std::printf("  order:             walk\n");
  std::printf("  bytes collected:   %s\n", fmtBytes(static_cast<int64_t>(counts.bytes)).c_str());
  std::printf("  directories:       %" PRIu64 "\n", counts.directories);
  std::printf("  other entries:     %" PRIu64 " (symbolic links, devices, sockets, pipes)\n",
              counts.others);
  if (counts.nestedSkipped)
    std::printf("  nested mounts:     %" PRIu64 " skipped\n", counts.nestedSkipped);
  std::printf("  unreadable:        %" PRIu64 "\n", counts.errors);
  std::printf("  re-stubbing pass:  %s\n",
              init != 1 ? "not run"
                        : !passRun ? "skipped (interrupted)"
                                   : (restubbed ? "done" : "off or failed"));
  std::printf("  re-stubbed:        %" PRIu64 " files%s\n", actions.reStubbed(),
              o.dryRun ? " (would be)" : "");
  if (init == 0)
    std::printf("  StubCollect:       not written (archive rules disabled)\n");
  else
    std::printf("  StubCollect:       %s (%" PRIu64 " collected)\n", collectPath.c_str(), collected);
  if (notStored > 0)
    std::printf("  not stored:        %" PRIu64 " candidates (each named by a \"Can not add\" line "
                "in the log)\n",
                notStored);
  if (tempLost > 0)
    std::printf("  lost:              %" PRIu64 " candidates of StubCollectTemp could not be read "
                "back (see the log)\n",
                tempLost);
  if (!collectError.empty())
    std::printf("  StubCollect fault: %s: %s; %" PRIu64 " acknowledged lines may be missing or "
                "damaged\n",
                collectPath.c_str(), tqhsm::EscapeLogText(collectError).c_str(), affected);
  std::printf("  actions:           %s (%s: %" PRIu64 ", %s: %" PRIu64,
              tqhsm::EscapeLogText(actions.path()).c_str(),
              o.dryRun ? "stubs it would delete" : "stubs deleted", actions.deleted(),
              o.dryRun ? "files it would re-stub" : "files re-stubbed", actions.reStubbed());
  if (actions.deleteFailed())
    std::printf(", %s: %" PRIu64,
                o.dryRun ? "stubs it would fail to delete" : "stubs that could not be deleted",
                actions.deleteFailed());
  std::printf(")\n");
  if (!actionsWhole)
    std::printf("  action log fault:  %s: %s; it lacks lines from the %" PRIu64 "th on\n",
                tqhsm::EscapeLogText(actions.path()).c_str(), actions.error().c_str(),
                actions.lines() + 1);
  if (!o.report.empty()) {
    std::printf("  report:            %s (%" PRIu64 " lines)\n",
                tqhsm::EscapeLogText(report.path()).c_str(), report.lines());
    if (!reportWhole)
      std::printf("  report fault:      %s: %s; it is not whole\n",
                  tqhsm::EscapeLogText(report.path()).c_str(), report.error().c_str());
  }
  std::printf("  log:               %s\n", tqhsm::EscapeLogText(logPath).c_str());
  std::printf("  elapsed:           %.3f s\n", secs);
  std::printf("  rate:              %.0f files/s\n",
              secs > 0 ? static_cast<double>(counts.files) / secs : 0.0);
  return exitStatus;
}

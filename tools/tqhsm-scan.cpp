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
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "Config.h"
#include "EvEvent.h"
#include "MountTable.h"
#include "Platform.h"
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
  1 collected, 2 stub kept, 3 stub pruned), bytes collected, each volume's budget
  before and after, elapsed time and files per second. On a terminal, progress on
  standard error. Log lines go to $TQHSM_LOG (or --log), else standard error.

Exit status:
  0 the run ended normally; 1 the run ended as failed (--fail-run, Initialize failed,
  a content path could not be resolved or set up, a candidate could not be stored in
  StubCollect, a StubCollectTemp record could not be read back, StubCollect could not
  be written whole) or the job results directory was refused; 2 bad usage.
)";

struct Options {
  std::vector<std::string> paths;
  std::string config;
  std::string log;
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
  bool progress = false;
  bool noProgress = false;
};

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
};

struct ContentPath {
  std::string given;
  std::string path;
  int reset = 0;
  std::string resetError;
  std::vector<Volume> volumes;
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
std::string holderOf(const std::vector<ObMntEnt>& mounts, const std::string& path) {
  const ObMntEnt* best = nullptr;
  for (const ObMntEnt& m : mounts) {
    int rel = ComparePath::Check(path, m.m_sMountPoint);
    if ((rel == ComparePath::eSame || rel == ComparePath::eBelow) &&
        (!best || m.m_sMountPoint.size() > best->m_sMountPoint.size()))
      best = &m;
  }
  return best ? best->m_sMountPoint : std::string("/");
}

using tqhsm::walk::Action;
using tqhsm::walk::Entry;
using tqhsm::walk::WalkProblem;

class Scanner : public tqhsm::walk::Visitor {
 public:
  Scanner(TQHSMHelper& h, const Options& o, Counts& c, Progress& p)
      : m_h(h), m_o(o), m_c(c), m_progress(p) {}

  // Sets the content path up and walks it. False when it could not be set up.
  bool scan(ContentPath& cp) {
    m_vols = &cp.volumes;
    cp.reset = m_h.resetVolume(cp.path.c_str(), cp.resetError, m_o.skipNestedMounts);
    for (const auto& b : m_h.m_mapAmountToArchive) {
      Volume v;
      v.mountPoint = b.first;
      v.known = true;
      v.budgetBefore = v.budgetAfter = b.second;
      auto bs = m_h.m_mapFsBlockSize.find(b.first);
      v.blockSize = bs == m_h.m_mapFsBlockSize.end() ? 0 : bs->second;
      m_scratch = v.mountPoint;
      v.active = m_h.MoreFilesToArchive(m_scratch);
      cp.volumes.push_back(v);
    }
    if (cp.reset < 0) return false;
    // With no volume wanting files there is nothing to walk (and an fts
    // closed before its first read leaks its root entries).
    if (cp.reset == 1 && anyActive()) walk(cp.path);
    for (Volume& v : cp.volumes) {
      auto b = m_h.m_mapAmountToArchive.find(v.mountPoint);
      v.budgetAfter = b == m_h.m_mapAmountToArchive.end() ? 0 : b->second;
    }
    return true;
  }

  Action directory(Entry& e) override {
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
    take(e, (*m_vols)[volumeOfEntry(e)]);
    return anyActive() ? Action::kContinue : Action::kStop;
  }
  Action other(Entry&) override {  // symbolic links, devices, sockets, pipes
    ++m_c.others;
    return Action::kContinue;
  }
  Action problem(const WalkProblem& p) override {
    ++m_c.errors;
    std::fprintf(stderr, "tqhsm-scan: %s: %s\n", tqhsm::EscapeLogText(p.m_pPath).c_str(),
                 p.m_pText);
    return Action::kContinue;
  }

 private:
  size_t volumeOfEntry(const Entry& e) const {
    return e.m_nLevel == 0 ? m_nRootVol : static_cast<size_t>(e.m_lParentNumber);
  }
  size_t volumeOf(const std::string& dir) {
    std::string mp = holderOf(m_mounts, dir);
    for (size_t i = 0; i < m_vols->size(); ++i)
      if ((*m_vols)[i].mountPoint == mp) return i;
    Volume v;  // mounted after resetVolume looked: no budget
    v.mountPoint = mp;
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
    m_mounts.clear();
    CZoError err = ObMntTab::getAll(m_mounts);
    if (err.IsError())
      std::fprintf(stderr, "tqhsm-scan: %s\n", tqhsm::EscapeLogText(err.AsString()).c_str());
    m_nRootVol = volumeOf(root);
    if (anyActive()) tqhsm::walk::Walk(root, *this);
  }

  void take(Entry& e, Volume& v) {
    ++m_c.files;
    m_progress.tick(m_c);
    if (!v.active) {
      ++m_c.notTaken;
      return;
    }
    ++v.taken;
    int64_t size = e.m_pStat->st_size;
    int rc = m_h.IsDMCandidate(e.m_pPath, e.m_pStat, v.mountPoint, true, m_o.restubCheck,
                               m_o.pruneCheck);
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
  std::vector<Volume>* m_vols = nullptr;
  std::vector<ObMntEnt> m_mounts;
  size_t m_nRootVol = 0;
  std::string m_scratch;
};

// What the summary shows of a content path once it has been scanned: its
// names as the log writes them, so that no name can forge terminal output.
void showable(ContentPath& cp) {
  cp.given = tqhsm::EscapeLogText(cp.given);
  cp.path = tqhsm::EscapeLogText(cp.path);
  cp.resetError = tqhsm::EscapeLogText(cp.resetError);
  for (Volume& v : cp.volumes) v.mountPoint = tqhsm::EscapeLogText(v.mountPoint);
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

}  // namespace

int main(int argc, char** argv) {
  Options o;
  CLI::App app{
      "Scans content paths for files to archive and stub (hierarchical storage management), "
      "the way the backup agent's scan phase does, and writes them to the StubCollect file."};
  app.footer(kFooter);
  app.add_option("CONTENT_PATH", o.paths, "Directories (or files) to scan, in this order")
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
  app.add_option("--log", o.log, "Log file (default: $TQHSM_LOG, else standard error)");
  app.add_option("--job-id", o.jobId, "Job id, carried into events")->capture_default_str();
  app.add_option("--job-results", o.jobResults,
                 "Job results directory: where the collect files are written. Refused when "
                 "anyone but the scan's user or root can write it or a directory above it, "
                 "unless that directory is sticky (and, for this one, owned by the scan's "
                 "user)")
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
  app.add_flag("--progress", o.progress, "Show progress even when standard error is no terminal");
  app.add_flag("--no-progress", o.noProgress, "Never show progress");

  int exitCode = 0;
  if (!tqhsm::tools::ParseCommandLine(app, argc, argv, exitCode)) return exitCode;

  std::unique_ptr<PrefixPathMapper> mapper;
  if (!o.mapPrefix.empty()) {
    size_t eq = o.mapPrefix.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == o.mapPrefix.size()) {
      std::fprintf(stderr, "tqhsm-scan: --map-prefix wants FROM=TO, not '%s'\n",
                   o.mapPrefix.c_str());
      return 2;
    }
    mapper.reset(new PrefixPathMapper(o.mapPrefix.substr(0, eq), o.mapPrefix.substr(eq + 1)));
  }
  if (!o.log.empty()) setenv("TQHSM_LOG", o.log.c_str(), 1);

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
  uint64_t collected = 0;
  uint64_t notStored = 0;
  uint64_t tempLost = 0;
  uint64_t affected = 0;
  std::string collectError;
  int init = 0;
  {
    TQHSMHelper helper(args);
    helper.SetSnapHostMapped(o.snapHostMapped);
    init = helper.Initialize(o.appKey, o.appId, o.driverMode);
    if (init < 0) {
      failed = true;
    } else {
      Scanner scanner(helper, o, counts, progress);
      for (const std::string& p : o.paths) {
        ContentPath cp;
        cp.given = p;
        char resolved[PATH_MAX];
        if (!realpath(p.c_str(), resolved)) {
          cp.reset = -1;
          cp.resetError = std::string("cannot resolve: ") + std::strerror(errno);
          failed = true;
        } else {
          cp.path = resolved;
          if (!scanner.scan(cp)) failed = true;
        }
        showable(cp);
        contentPaths.push_back(cp);
      }
      progress.done();
      restubbed = helper.ProcessFilesForReStubbing(nullptr);
    }
    // A candidate that did not reach StubCollect is lost to this run's
    // archiving: the run has failed.
    if (helper.CandidatesNotCollected() > 0 || helper.TempCandidatesLost() > 0) failed = true;
    helper.DeInitialize(failed ? 1 : 0);
    collected = helper.m_ulFilesCollected;
    notStored = helper.CandidatesNotCollected();
    tempLost = helper.TempCandidatesLost();
    collectError = helper.CollectFileError();
    affected = helper.CollectLinesAffected();
    if (notStored > 0 || tempLost > 0 || !collectError.empty()) failed = true;
    // A watch was asked for at the content path when it lies on the volume,
    // else at the mount point (or, deferred, at its host path).
    const std::map<std::string, std::string>& watchFailures = helper.WatchFailures();
    for (ContentPath& cp : contentPaths) {
      for (Volume& v : cp.volumes) {
        int rel = ComparePath::Check(cp.path, v.mountPoint);
        std::string hostPath;
        helper.MapProxyPathToHostPath(v.mountPoint, hostPath);
        for (const std::string& key :
             {(rel == ComparePath::eSame || rel == ComparePath::eBelow) ? cp.path : v.mountPoint,
              v.mountPoint, hostPath}) {
          auto it = watchFailures.find(key);
          if (it != watchFailures.end()) {
            v.watchError = it->second;
            break;
          }
        }
      }
    }
  }
  double secs = std::chrono::duration<double>(Clock::now() - start).count();

  std::string collectPath = o.jobResults + "/" + o.collectFile;
  std::printf("tqhsm-scan summary\n");
  std::printf("  run:               %s\n", failed ? "failed" : "ended normally");
  if (init < 0)
    std::printf("  initialize:        failed (see the log)\n");
  else if (init == 0)
    std::printf("  initialize:        archive rules disabled: nothing to do\n");
  for (const ContentPath& cp : contentPaths) {
    std::printf("  content path:      %s", cp.given.c_str());
    if (!cp.path.empty() && cp.path != cp.given) std::printf(" (%s)", cp.path.c_str());
    if (cp.reset != 1) std::printf(": %s", cp.resetError.c_str());
    std::printf("\n");
    for (const Volume& v : cp.volumes) {
      std::printf("    volume %s: budget before %s, after %s, block size %" PRId64 "%s%s%s\n",
                  v.mountPoint.c_str(), fmtBytes(v.budgetBefore).c_str(),
                  fmtBytes(v.budgetAfter).c_str(), v.blockSize,
                  v.spent ? ", spent: no more files taken"
                          : (v.known && v.budgetBefore > 0 ? "" : ", no budget"),
                  v.watchError.empty() ? "" : ", not watched: ", v.watchError.c_str());
    }
  }
  std::printf("  files seen:        %" PRIu64 "\n", counts.files);
  std::printf("  files not taken:   %" PRIu64 " (their volume needed no more data)\n",
              counts.notTaken);
  std::printf("  result 0:          %" PRIu64 " not a candidate\n", counts.results[0]);
  std::printf("  result 1:          %" PRIu64 " collected\n", counts.results[1]);
  std::printf("  result 2:          %" PRIu64 " stub kept\n", counts.results[2]);
  std::printf("  result 3:          %" PRIu64 " stub pruned\n", counts.results[3]);
  if (counts.otherResults)
    std::printf("  other results:     %" PRIu64 "\n", counts.otherResults);
  std::printf("  bytes collected:   %s\n", fmtBytes(static_cast<int64_t>(counts.bytes)).c_str());
  std::printf("  directories:       %" PRIu64 "\n", counts.directories);
  std::printf("  other entries:     %" PRIu64 " (symbolic links, devices, sockets, pipes)\n",
              counts.others);
  if (counts.nestedSkipped)
    std::printf("  nested mounts:     %" PRIu64 " skipped\n", counts.nestedSkipped);
  std::printf("  unreadable:        %" PRIu64 "\n", counts.errors);
  std::printf("  re-stubbing pass:  %s\n", init == 1 ? (restubbed ? "done" : "off or failed") : "not run");
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
                collectPath.c_str(), collectError.c_str(), affected);
  std::printf("  elapsed:           %.3f s\n", secs);
  std::printf("  rate:              %.0f files/s\n",
              secs > 0 ? static_cast<double>(counts.files) / secs : 0.0);
  return failed ? 1 : 0;
}

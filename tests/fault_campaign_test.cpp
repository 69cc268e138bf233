// The fault-injection campaign, in the manner of SQLite's I/O-error loops: a
// small real scan (real files, real stubs, a real stub cache, a real catalog,
// the watch list in a state directory of its own) runs in this process in the
// scan driver's calling order (Initialize, resetVolume, IsDMCandidate and
// MoreFilesToArchive per file, ProcessFilesForReStubbing, DeInitialize), once
// for every k = 1, 2, ... with the k-th write, pwrite, fsync, syncfs, fallocate,
// ftruncate, rename, unlink, unlinkat, fsetxattr, fremovexattr or close
// (of a descriptor written through) failing, until a run passes with no
// fault fired; first with ENOSPC, then with EIO, then with a disk that stays
// full (or dead) from the k-th call on. After every run:
//   - every acknowledged line is in its file and the counts equal the lines;
//   - no list is torn (StubCollect and StubCollectTemp hold whole records,
//     the watch list and the migrated trees parse and lost no entry);
//   - no file of the tree (or of the stub cache) changed except those the
//     run reports as re-stubbed or deleted, and each of those is what it
//     should be (an intact stub of its cached record; a stub of a pruned AF
//     gone); every candidate is collected, re-stubbed or reported;
//   - a fault that was hit is reported (a failure result, an Error line, or
//     an accessor that makes tqhsm-scan exit 1), unless it hit one of the few
//     calls listed below whose failure changes nothing, and then the run's
//     outcome must equal that of a run without faults.

#include <fcntl.h>
#include <limits.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "CaptureLog.h"
#include "Catalog.h"
#include "CountdownFaults.h"
#include "HSMLowLevel.h"
#include "HSMWatch.h"
#include "HelperSetup.h"
#include "ScanFakes.h"
#include "StubFiles.h"
#include "TQHSMHelper.h"
#include "TempDir.h"
#include "TreeState.h"

using namespace tqhsm::test;
using tqhsm::Catalog;

namespace {

const int kAppId = 5;
const time_t kDay = 86400;
const char* const kClient = "campaign-client";
const char* const kOtherWatched = "/srv/campaign-other";
const char* const kWatchHeader = "tqhsm-watched-dirs 1";
const char* const kTreesHeader = "tqhsm-migrated-trees 1";
const uint64_t kLiveAF = 4711;
const uint64_t kPrunedAF = 13;

// The files of the tree, by what the scan is to do with them.
enum Kind {
  kPlain,           // old: collected
  kRecalled,        // old, with a current cached stub of a live AF: re-stubbed
  kRecalledPruned,  // old, with a current cached stub of a pruned AF: collected
  kStaleCache,      // old, with a cached stub of another time: collected, cached stub deleted
  kDeadStub,        // an intact stub of a pruned AF: deleted (result 3)
  kLiveStub,        // an intact stub of a live AF: kept (result 2)
  kYoung,           // recently used: not a candidate
  kSmall,           // below the minimum size: not a candidate
};

struct Spec {
  std::string rel;
  Kind kind;
  size_t size;
};

std::vector<Spec> TreeSpecs() {
  std::vector<Spec> s;
  char name[64];
  for (int i = 0; i < 14; ++i) {
    snprintf(name, sizeof name, "docs/plain-%02d", i);
    s.push_back({name, kPlain, 20000 + 100 * static_cast<size_t>(i)});
  }
  // Candidates with long paths, so that StubCollect outgrows the writer's
  // buffer during the walk: a write of acknowledged lines happens mid-scan,
  // not only when the file is closed.
  std::string deep = "docs/deep";
  for (int level = 0; level < 8; ++level) deep += "/" + std::string(250, static_cast<char>('a' + level));
  for (int i = 0; i < 30; ++i) {
    snprintf(name, sizeof name, "/%02d-", i);
    s.push_back({deep + name + std::string(220, 'f'), kPlain, 9000 + 10 * static_cast<size_t>(i)});
  }
  for (int i = 0; i < 4; ++i) {
    snprintf(name, sizeof name, "recalled/r-%d", i);
    s.push_back({name, kRecalled, 24576 + 512 * static_cast<size_t>(i)});
  }
  s.push_back({"recalled/rp-0", kRecalledPruned, 22000});
  s.push_back({"recalled/stale-0", kStaleCache, 21000});
  for (int i = 0; i < 3; ++i) {
    snprintf(name, sizeof name, "stubs/dead-%d", i);
    s.push_back({name, kDeadStub, 30000 + 1000 * static_cast<size_t>(i)});
  }
  for (int i = 0; i < 2; ++i) {
    snprintf(name, sizeof name, "stubs/live-%d", i);
    s.push_back({name, kLiveStub, 33000 + 1000 * static_cast<size_t>(i)});
  }
  for (int i = 0; i < 4; ++i) {
    snprintf(name, sizeof name, "new/young-%d", i);
    s.push_back({name, kYoung, 26000});
  }
  for (int i = 0; i < 2; ++i) {
    snprintf(name, sizeof name, "new/small-%d", i);
    s.push_back({name, kSmall, 1000});
  }
  return s;
}

// A call whose failure changes nothing that a scan keeps or hands over; a
// fault there needs no report, and the run's outcome must be that of a run
// without faults. Everything else must be reported.
struct Benign {
  const char* why;
  bool (*matches)(const CountdownFaults::Fired& f, const std::string& state,
                  const std::string& results, const std::string& cache);
};

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

const Benign kBenign[] = {
    {"the sync of the state directory after a list was renamed into place: the new list is "
     "there either way, and some file systems cannot sync a directory",
     [](const CountdownFaults::Fired& f, const std::string& state, const std::string&,
        const std::string&) { return f.op == "fsync" && f.path == state; }},
    {"removing a list's temporary name before creating it afresh (O_EXCL): normally there is "
     "nothing to remove; a left-over one makes the create fail, which is reported",
     [](const CountdownFaults::Fired& f, const std::string& state, const std::string&,
        const std::string&) {
       return f.op == "unlink" && f.path.compare(0, state.size() + 1, state + "/") == 0 &&
              EndsWith(f.path, ".tmp." + std::to_string(getpid()));
     }},
    {"removing a crashed writer's temporary list file: the next update tries again",
     [](const CountdownFaults::Fired& f, const std::string& state, const std::string&,
        const std::string&) {
       return f.op == "unlink" && f.path.compare(0, state.size() + 1, state + "/") == 0 &&
              f.path.find(".tmp.") != std::string::npos &&
              !EndsWith(f.path, ".tmp." + std::to_string(getpid()));
     }},
    {"closing the state directory's lock file: nothing is written through it, and closing "
     "releases the lock whatever close answers",
     [](const CountdownFaults::Fired& f, const std::string& state, const std::string&,
        const std::string&) { return f.op == "close" && f.path == state + "/lock"; }},
    {"removing the re-stubbing pass's own scratch files once they are read (StubCollectTemp, "
     "its rewrite file, the index dump): nobody reads them; the next run empties the first two, "
     "and a left-over dump makes the next pass collect its files instead and is removed then",
     [](const CountdownFaults::Fired& f, const std::string&, const std::string& results,
        const std::string&) {
       return f.op == "unlink" && (f.path == results + "/StubCollect_temp" ||
                                   f.path == results + "/StubCollect_temp_temp" ||
                                   f.path == results + "/IndexingDump.obf");
     }},
    {"deleting a cached stub that the run no longer needs (its file was re-stubbed, its AF is "
     "pruned, or it is stale): it is stale or useless to the next run as well",
     [](const CountdownFaults::Fired& f, const std::string&, const std::string&,
        const std::string& cache) {
       return f.op == "unlinkat" && f.path.compare(0, cache.size() + 1, cache + "/") == 0;
     }},
    {"releasing a collect file's reserved space past its last whole line: the lines are all "
     "there; only the reservation stays allocated",
     [](const CountdownFaults::Fired& f, const std::string&, const std::string& results,
        const std::string&) {
       return f.op == "ftruncate" && f.path.compare(0, results.size() + 1, results + "/") == 0;
     }},
    {"a reservation step of a collect file that a full disk refuses: the writer asks again for "
     "exactly the blocks the line needs",
     [](const CountdownFaults::Fired& f, const std::string&, const std::string& results,
        const std::string&) {
       return f.op == "fallocate" && f.err == ENOSPC &&
              f.path.compare(0, results.size() + 1, results + "/") == 0;
     }},
};

// What one run did and left.
struct ScanRun {
  std::string label;
  int init = 0;
  int reset = 0;
  std::string resetError;
  std::map<std::string, int> results;  // by relative path
  bool restubbed = false;
  uint64_t collected = 0;
  uint64_t notCollected = 0;
  uint64_t tempLost = 0;
  uint64_t affected = 0;
  std::string collectError;
  size_t watchFailures = 0;
  std::vector<std::string> errors;       // Error lines, "tag: text"
  std::vector<std::string> infoLines;    // every line, for messages
  std::set<std::string> canNotAdd;       // paths named by "Can not add"
  std::set<std::string> replaced;        // paths named by "Successfully replaced"
  uint64_t lostReported = 0;             // sum of the StubCollectTemp loss lines
  long calls = 0;
  std::vector<CountdownFaults::Fired> fired;
  std::vector<std::string> trace;
  std::map<std::string, FileState> treeBefore, treeAfter, cacheBefore, cacheAfter;
  std::string stubCollect;  // content
  bool stubCollectExists = false;
  std::map<std::string, std::string> resultFiles;  // by name, with their content
  bool watchLoaded = false, treesLoaded = false;
  std::string watchError, treesError;
  std::vector<std::vector<std::string>> watched, trees;
  std::vector<std::string> stateFiles;  // names in the state directory
};

class FaultCampaignTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!PunchHoleWorks(m_dir.path())) GTEST_SKIP() << "no punch-hole in " << m_dir.path();
    std::string probe = m_dir.write("probe", "x");
    if (!SetStubXattr(probe, {'x'})) GTEST_SKIP() << "no user extended attributes here";
    unlink(probe.c_str());
    // Real paths: the library acts only on files reached without a link.
    char real[PATH_MAX];
    ASSERT_NE(realpath(m_dir.path().c_str(), real), nullptr);
    m_base = real;
    m_run = m_base + "/run";
    m_tree = m_run + "/tree";
    m_cache = m_run + "/cache";
    m_state = m_run + "/state";
    m_results = m_run + "/results";
    m_catalogPath = m_base + "/catalog.db";
    std::string error;
    std::unique_ptr<Catalog> c = Catalog::Open(m_catalogPath, error);
    ASSERT_NE(c, nullptr) << error;
    std::string sql =
        "INSERT INTO subclient_retention VALUES (42, 30);"
        "INSERT INTO parvis VALUES (2, 200);"
        "INSERT INTO archive_files VALUES (" + std::to_string(kLiveAF) + ", 1, 200, 1, 0), (" +
        std::to_string(kPrunedAF) + ", 1, 200, 1, 1);";
    for (const Spec& s : TreeSpecs()) {
      if (s.kind != kRecalled && s.kind != kRecalledPruned) continue;
      sql += "INSERT INTO stub_index VALUES ('" + guidOf(s) + "', 2, 1, " +
             std::to_string(s.kind == kRecalled ? kLiveAF : kPrunedAF) + ", 1);";
    }
    ASSERT_TRUE(c->exec(sql, error)) << error;
    Catalog::SetShared(std::move(c));
    m_now = time(nullptr);
    // A pid that is certainly not running: a child's, once reaped.
    pid_t child = fork();
    if (child == 0) _exit(0);
    ASSERT_GT(child, 0);
    waitpid(child, nullptr, 0);
    m_deadPid = child;
  }
  void TearDown() override { Catalog::SetShared(nullptr); }

  static std::string guidOf(const Spec& s) {
    std::string g = "g-" + s.rel;
    std::replace(g.begin(), g.end(), '/', '-');
    return g;
  }
  ReparseData recordOf(const Spec& s) const {
    ReparseData r = SampleStub();
    r.appGUID = "app-guid-5";
    r.appId = kAppId;
    r.stubGUID = guidOf(s);
    r.afileId = (s.kind == kRecalledPruned || s.kind == kDeadStub) ? kPrunedAF : kLiveAF;
    r.originalSize = s.size;
    return r;
  }
  time_t oldTime() const { return m_now - 400 * kDay; }

  // A fresh tree, stub cache, state directory and job-results directory,
  // the same for every run.
  void makeRun() {
    std::error_code ec;
    std::filesystem::remove_all(m_run, ec);
    for (const std::string& d : {m_run, m_tree, m_cache, m_state, m_results})
      ASSERT_EQ(mkdir(d.c_str(), 0755), 0) << d;
    for (const Spec& s : TreeSpecs()) {
      std::string path = m_tree + "/" + s.rel;
      std::error_code made;
      std::filesystem::create_directories(path.substr(0, path.rfind('/')), made);
      // Content of its own per file, so that a mix-up of two files shows.
      std::string content(s.size, '\0');
      for (size_t i = 0; i < s.size; ++i)
        content[i] = static_cast<char>('a' + (i * 7 + s.rel.size() * 13 + s.rel.back()) % 26);
      m_dir.write(path.substr(m_base.size() + 1), content);
      time_t t = s.kind == kYoung ? m_now : oldTime();
      SetTimes(path, t, t);
      if (s.kind == kDeadStub || s.kind == kLiveStub) {
        std::string why;
        ASSERT_TRUE(MakeStub(path, recordOf(s), oldTime(), false, &why)) << why;
        SetTimes(path, oldTime(), oldTime());
      }
      if (s.kind == kRecalled || s.kind == kRecalledPruned || s.kind == kStaleCache) {
        struct stat st = StatOf(path);
        std::string cached = getCacheFname(path.c_str(), &st, m_cache);
        std::vector<char> bytes = StubBytes(recordOf(s));
        m_dir.write(cached.substr(m_base.size() + 1), std::string(bytes.begin(), bytes.end()));
        time_t ct = s.kind == kStaleCache ? oldTime() - 10 : oldTime();
        SetTimes(cached, ct, ct);
      }
    }
    m_dir.write(m_state.substr(m_base.size() + 1) + "/watched_dirs",
                std::string(kWatchHeader) + "\n" + kOtherWatched + "\n");
    m_dir.write(m_state.substr(m_base.size() + 1) + "/migrated_trees",
                std::string(kTreesHeader) + "\n" + kClient + " " + kOtherWatched + "\n");
    m_dir.write(m_state.substr(m_base.size() + 1) + "/watched_dirs.tmp." +
                    std::to_string(m_deadPid),
                "left by a writer that died\n");
  }

  std::string config() const {
    return "[FileSystemAgent]\nsSKIP_FS_TO_MONITOR = :proc:sysfs:\n"
           "[Subclient 5]\nSubclientId = 42\nGUID = app-guid-5\nHighFreeSpace = 100\n"
           "LowFreeSpace = 100\nDaysOld = 30\nDaysOldMTime = 30\nMinFileSizeKB = 4\n"
           "HonorArchiverRetention = yes\nRulesFlag = 0\n"
           "[Client]\nName = " + std::string(kClient) + "\n"
           "[StubCache]\nEnabled = yes\nLocation = " + m_cache + "\n"
           "[HSM]\nStateDirectory = " + m_state + "\n"
           "[Catalog]\nPath = " + m_catalogPath + "\n";
  }

  // The walk of tqhsm-scan in small: name order, regular files only.
  void walk(TQHSMHelper& h, const std::string& rel, std::string& volume, ScanRun& r) {
    std::string dir = rel.empty() ? m_tree : m_tree + "/" + rel;
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    for (const std::string& n : names) {
      std::string r2 = rel.empty() ? n : rel + "/" + n;
      std::string path = m_tree + "/" + r2;
      struct stat st;
      if (lstat(path.c_str(), &st) != 0) continue;
      if (S_ISDIR(st.st_mode)) {
        walk(h, r2, volume, r);
      } else if (S_ISREG(st.st_mode)) {
        if (!h.MoreFilesToArchive(volume)) return;
        r.results[r2] = h.IsDMCandidate(path.c_str(), &st, volume, true, false, false);
      }
    }
  }

  ScanRun scan(const std::string& label, long k, int err, CountdownFaults::Mode mode) {
    ScanRun r;
    r.label = label;
    makeRun();
    r.treeBefore = SnapshotTree(m_tree);
    r.cacheBefore = SnapshotTree(m_cache);
    {
      CaptureLog log(3);  // "Successfully replaced" is a level-3 line
      ScopedConfig cfg(config());
      CountdownFaults faults;
      faults.arm(k, err, mode);
      {
        TQHSMHelperInitArgs args;
        args.m_sJobResultsDir = m_results;
        args.m_sCollectFileName = "StubCollect";
        args.m_nAppId = kAppId;
        TQHSMHelper h(args);
        r.init = h.Initialize(0, kAppId, 2);
        if (r.init == 1) {
          r.reset = h.resetVolume(m_tree.c_str(), r.resetError, false);
          // The volume: the mount point with a budget that holds the tree.
          std::string volume;
          for (const auto& b : h.m_mapAmountToArchive) {
            int rel = ComparePath::Check(m_tree, b.first);
            if ((rel == ComparePath::eSame || rel == ComparePath::eBelow) &&
                b.first.size() >= volume.size())
              volume = b.first;
          }
          if (r.reset == 1) walk(h, "", volume, r);
          r.restubbed = h.ProcessFilesForReStubbing(nullptr);
        }
        bool failed = r.init < 0 || h.CandidatesNotCollected() > 0 || h.TempCandidatesLost() > 0;
        h.DeInitialize(failed ? 1 : 0);
        r.collected = h.m_ulFilesCollected;
        r.notCollected = h.CandidatesNotCollected();
        r.tempLost = h.TempCandidatesLost();
        r.collectError = h.CollectFileError();
        r.affected = h.CollectLinesAffected();
        r.watchFailures = h.WatchFailures().size();
      }
      r.calls = faults.calls();
      r.fired = faults.fired();
      r.trace = faults.trace();
      // The texts of the lines that name candidates ("Can not add '<path>' to
      // collect file.", "Successfully replaced '<path>' with ...", "<n>
      // candidates of StubCollectTemp ... could not be read back ...").
      auto quoted = [](const std::string& text, const std::string& head,
                       const std::string& tail, std::string& path) {
        if (text.compare(0, head.size(), head) != 0 || !EndsWith(text, tail) ||
            text.size() < head.size() + tail.size())
          return false;
        path = text.substr(head.size(), text.size() - head.size() - tail.size());
        return true;
      };
      for (const LogLine& l : log.lines) {
        std::string line = std::string(l.kind == tqhsm::LogKind::Error ? "ERROR " : "DEBUG ") +
                           std::to_string(l.level) + " " + l.tag + ": " + l.text;
        r.infoLines.push_back(line);
        std::string path;
        if (l.kind == tqhsm::LogKind::Error) {
          r.errors.push_back(l.tag + ": " + l.text);
          if (quoted(l.text, "Can not add '", "' to collect file.", path)) r.canNotAdd.insert(path);
          size_t digits = l.text.find_first_not_of("0123456789");
          if (digits > 0 && digits != std::string::npos &&
              l.text.compare(digits, 29, " candidates of StubCollectTemp") == 0 &&
              l.text.find(" could not be read back ") != std::string::npos)
            r.lostReported += std::stoull(l.text.substr(0, digits));
        }
        if (quoted(l.text, "Successfully replaced '",
                   "' with corresponsding stub from StubCache.", path))
          r.replaced.insert(path);
      }
    }
    r.treeAfter = SnapshotTree(m_tree);
    r.cacheAfter = SnapshotTree(m_cache);
    r.stubCollectExists = FileExists(m_results + "/StubCollect");
    r.stubCollect = ReadFile(m_results + "/StubCollect");
    for (const auto& e : std::filesystem::directory_iterator(m_results))
      r.resultFiles[e.path().filename().string()] = ReadFile(e.path().string());
    tqhsm::StateList watch(m_state, "watched_dirs", kWatchHeader, 1);
    tqhsm::StateList trees(m_state, "migrated_trees", kTreesHeader, 2);
    r.watchLoaded = watch.load(r.watched, r.watchError);
    r.treesLoaded = trees.load(r.trees, r.treesError);
    for (const auto& e : std::filesystem::directory_iterator(m_state))
      r.stateFiles.push_back(e.path().filename().string());
    std::sort(r.stateFiles.begin(), r.stateFiles.end());
    return r;
  }

  // Whether path (below the tree) is an intact stub of the record that its
  // cached stub held, given the modification time the pass applies.
  bool isRestubbed(const Spec& s, const FileState& before, const FileState& after,
                   std::string& why) const {
    std::string path = m_tree + "/" + s.rel;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
      why = "gone";
      return false;
    }
    ReparseData rec;
    std::string reason;
    if (!after.hasStub ||
        tqhsm::JudgeStub(after.stub.data(), after.stub.size(), st, tqhsm::eJudgeLocal, &rec,
                         nullptr, &reason) != tqhsm::eIntactStub) {
      why = "not an intact stub: " + reason;
      return false;
    }
    ReparseData want = recordOf(s);
    if (rec.stubGUID != want.stubGUID || rec.afileId != want.afileId || after.ino != before.ino ||
        after.size != before.size || after.mtime.tv_sec != before.mtime.tv_sec + 1) {
      why = "a stub, but not of its cached record or not with the pass's time";
      return false;
    }
    return true;
  }

  // The outcome that faults at benign calls must not change.
  static std::string outcome(const ScanRun& r, const std::string& root) {
    std::ostringstream o;
    o << "init " << r.init << ", reset " << r.reset << ", re-stubbing "
      << (r.restubbed ? "done" : "off or failed") << ", collected " << r.collected << "\n";
    for (const auto& x : r.results) o << "  result " << x.second << " " << x.first << "\n";
    std::set<std::string> lines;
    std::istringstream in(r.stubCollect);
    std::string line;
    while (std::getline(in, line)) {
      size_t colon = line.rfind(':');
      lines.insert(line.substr(0, colon == std::string::npos ? line.size() : colon));
    }
    for (const std::string& l : lines) o << "  StubCollect " << l.substr(root.size() + 1) << "\n";
    for (const auto& f : r.treeBefore) {
      auto a = r.treeAfter.find(f.first);
      const char* what = a == r.treeAfter.end()        ? "deleted"
                         : a->second.sameAs(f.second) ? "unchanged"
                                                      : "changed";
      o << "  " << what << " " << f.first << "\n";
    }
    for (const auto& w : r.watched) o << "  watched " << w[0] << "\n";
    for (const auto& t : r.trees) o << "  migrated " << t[0] << " " << t[1] << "\n";
    return o.str();
  }

  // Every invariant of one run; ref is the run without faults.
  void check(const ScanRun& r, const ScanRun* ref) {
    SCOPED_TRACE(r.label);
    // What a failure shows: the run's calls and its log (built only then).
    auto context = [&r]() {
      std::string text = "calls of the run:\n";
      for (const std::string& t : r.trace) text += "    " + t + "\n";
      text += "log:\n";
      for (const std::string& l : r.infoLines) text += "    " + l + "\n";
      return text;
    };
    const std::vector<Spec> specs = TreeSpecs();
    std::map<std::string, Spec> byPath;
    for (const Spec& s : specs) byPath[m_tree + "/" + s.rel] = s;

    // StubCollect: whole records, each a collectable file of the tree once,
    // by the inode it had.
    std::set<std::string> inCollect;
    if (r.init == 1) {
      EXPECT_TRUE(r.stubCollectExists) << context();
    }
    if (!r.stubCollect.empty()) {
      EXPECT_EQ(r.stubCollect.back(), '\n') << "StubCollect is torn\n" << context();
    }
    uint64_t lines = 0;
    {
      std::istringstream in(r.stubCollect);
      std::string line;
      while (std::getline(in, line)) {
        ++lines;
        // |<path>:<inode>|0|
        size_t colon = line.rfind(':');
        bool whole = line.size() > 5 && line[0] == '|' && line[1] == '/' && EndsWith(line, "|0|") &&
                     colon != std::string::npos && colon + 4 < line.size() &&
                     line.find_first_not_of("0123456789", colon + 1) == line.size() - 3;
        ASSERT_TRUE(whole) << "torn line [" << line << "]\n" << context();
        std::string path = line.substr(1, colon - 1);
        std::string inode = line.substr(colon + 1, line.size() - 3 - colon - 1);
        auto spec = byPath.find(path);
        ASSERT_NE(spec, byPath.end()) << line << "\n" << context();
        Kind kind = spec->second.kind;
        EXPECT_TRUE(kind == kPlain || kind == kRecalled || kind == kRecalledPruned ||
                    kind == kStaleCache)
            << "not a file to collect: " << line << "\n" << context();
        EXPECT_EQ(std::to_string(r.treeBefore.at(spec->second.rel).ino), inode) << line;
        EXPECT_TRUE(inCollect.insert(path).second) << "twice: " << line << "\n" << context();
      }
    }
    // The counts are of lines in the file; a late failure puts at most the
    // lines it names in doubt.
    if (r.collectError.empty()) {
      EXPECT_EQ(lines, r.collected) << context();
    } else {
      EXPECT_LE(lines, r.collected) << context();
      EXPECT_GE(lines + r.affected, r.collected) << context();
    }
    EXPECT_EQ(r.notCollected, r.canNotAdd.size()) << context();
    EXPECT_EQ(r.tempLost, r.lostReported) << context();
    // Whatever the run left in the job-results directory holds whole lines
    // (StubCollectTemp, the rewrite file, the index dump).
    for (const auto& f : r.resultFiles) {
      if (f.second.empty()) continue;
      EXPECT_EQ(f.second.back(), '\n') << f.first << " is torn\n" << context();
    }

    // The lists parse and lost nothing they held; the tree was added at most.
    EXPECT_TRUE(r.watchLoaded) << r.watchError << "\n" << context();
    EXPECT_TRUE(r.treesLoaded) << r.treesError << "\n" << context();
    std::set<std::string> watched, trees;
    for (const auto& w : r.watched) watched.insert(w[0]);
    for (const auto& t : r.trees) trees.insert(t[0] + " " + t[1]);
    EXPECT_EQ(watched.count(kOtherWatched), 1u) << context();
    EXPECT_EQ(trees.count(std::string(kClient) + " " + kOtherWatched), 1u) << context();
    for (const std::string& w : watched) EXPECT_TRUE(w == kOtherWatched || w == m_tree) << w;
    for (const std::string& t : trees)
      EXPECT_TRUE(t == std::string(kClient) + " " + kOtherWatched ||
                  t == std::string(kClient) + " " + m_tree)
          << t;
    for (const std::string& n : r.stateFiles) {
      if (n.find(".tmp.") == std::string::npos) continue;
      EXPECT_TRUE(EndsWith(n, ".tmp." + std::to_string(m_deadPid)) ||
                  EndsWith(n, ".tmp." + std::to_string(getpid())))
          << "a temporary of nobody's: " << n;
    }

    // The tree: only what the run reports changed, and that as it should.
    for (const auto& f : r.treeAfter)
      EXPECT_TRUE(r.treeBefore.count(f.first)) << "a new file in the tree: " << f.first;
    uint64_t candidates = 0, accounted = 0;
    for (const Spec& s : specs) {
      SCOPED_TRACE(s.rel);
      std::string path = m_tree + "/" + s.rel;
      const FileState& before = r.treeBefore.at(s.rel);
      auto a = r.treeAfter.find(s.rel);
      FileState after = a == r.treeAfter.end() ? FileState() : a->second;
      auto res = r.results.find(s.rel);
      int result = res == r.results.end() ? -1 : res->second;
      bool named = false;  // an Error line names the file
      for (const std::string& e : r.errors) named |= e.find(path) != std::string::npos;
      if (after.sameAs(before)) {
        if (s.kind == kDeadStub && result == 3) {
          EXPECT_TRUE(named) << "reported as pruned but not deleted, without an Error line\n"
                             << context();
        }
      } else if (!after.exists) {
        EXPECT_EQ(s.kind, kDeadStub) << "deleted\n" << context();
        EXPECT_EQ(result, 3) << "deleted but not reported as pruned\n" << context();
      } else if (s.kind == kRecalled && after.size == before.size && after.crc == before.crc &&
                 after.ino == before.ino && after.mtime.tv_sec == before.mtime.tv_sec &&
                 after.mtime.tv_nsec == before.mtime.tv_nsec) {
        // Its data untouched, only the attribute left by a re-stubbing that
        // failed and could not be undone: a plain file with a stale
        // attribute, which the next stubFile replaces.
        std::string why;
        EXPECT_FALSE(isRestubbed(s, before, after, why));
        EXPECT_TRUE(named) << "a stale attribute left without an Error line\n" << context();
      } else {
        std::string why;
        EXPECT_EQ(s.kind, kRecalled) << "changed: " << before.describe() << " -> "
                                     << after.describe() << "\n" << context();
        EXPECT_TRUE(isRestubbed(s, before, after, why)) << why << "\n" << context();
        EXPECT_TRUE(r.replaced.count(path) || named)
            << "re-stubbed but not reported\n" << context();
      }
      if (result == 1) {
        ++candidates;
        if (inCollect.count(path) || r.canNotAdd.count(path) ||
            (!after.sameAs(before) && after.exists))
          ++accounted;
      }
    }
    EXPECT_LE(candidates - accounted, r.tempLost + r.affected)
        << "candidates neither collected, re-stubbed nor reported\n" << context();
    // The stub cache: cached stubs are only ever deleted.
    for (const auto& c : r.cacheAfter) {
      auto b = r.cacheBefore.find(c.first);
      ASSERT_NE(b, r.cacheBefore.end()) << "a new file in the stub cache: " << c.first;
      EXPECT_TRUE(c.second.sameAs(b->second)) << "a cached stub changed: " << c.first;
    }

    // A fault that was hit is reported, or it hit a call whose failure
    // changes nothing and the outcome is that of the run without faults.
    if (r.fired.empty() || !ref) return;
    bool reported = r.init < 0 || r.reset < 0 || r.notCollected > 0 || r.tempLost > 0 ||
                    !r.collectError.empty() || r.watchFailures > 0 ||
                    (ref->restubbed && !r.restubbed);
    std::set<std::string> refErrors(ref->errors.begin(), ref->errors.end());
    for (const std::string& e : r.errors) reported |= !refErrors.count(e);
    if (reported) return;
    std::string sites;
    bool benign = true;
    for (const CountdownFaults::Fired& f : r.fired) {
      const Benign* b = nullptr;
      for (const Benign& x : kBenign)
        if (x.matches(f, m_state, m_results, m_cache)) b = &x;
      sites += "  " + f.op + " " + f.path + ": " + (b ? b->why : "NOT BENIGN") + "\n";
      benign &= b != nullptr;
      if (b) ++m_benignHits[b->why];
    }
    EXPECT_TRUE(benign) << "a fault went unreported:\n" << sites << context();
    if (benign) {
      EXPECT_EQ(outcome(r, m_tree), outcome(*ref, m_tree)) << sites << context();
    }
  }

  // One sweep: k = 1, 2, ... until a run passes with no fault fired.
  void sweep(const char* name, int err, CountdownFaults::Mode mode, const ScanRun& ref) {
    const ::testing::TestResult* result =
        ::testing::UnitTest::GetInstance()->current_test_info()->result();
    long k = 1;
    bool clean = false;
    for (; !clean; ++k) {
      int before = result->total_part_count();
      ScanRun r = scan(std::string(name) + ", fault at call " + std::to_string(k), k, err, mode);
      check(r, &ref);
      clean = r.fired.empty();
      if (result->total_part_count() > before && ++m_failedRuns >= 3) break;  // enough to read
      if (HasFatalFailure() || k > 20 * ref.calls + 100) break;
    }
    std::printf("%s: %ld runs%s\n", name, k - 1, clean ? ", the last with no fault" : "");
    EXPECT_TRUE(clean) << name << " stopped before every call had failed once";
  }

  TempDir m_dir;
  std::string m_base, m_run, m_tree, m_cache, m_state, m_results, m_catalogPath;
  time_t m_now = 0;
  pid_t m_deadPid = 0;
  int m_failedRuns = 0;
  std::map<std::string, int> m_benignHits;
};

TEST_F(FaultCampaignTest, EveryFailingCallLosesNothingAndIsReported) {
  auto start = std::chrono::steady_clock::now();
  // The run without faults: what the tree is for, and the reference.
  ScanRun ref = scan("without faults", 0, 0, CountdownFaults::eOnce);
  check(ref, nullptr);
  ASSERT_FALSE(HasFailure());
  ASSERT_EQ(ref.init, 1);
  ASSERT_EQ(ref.reset, 1) << ref.resetError;
  EXPECT_TRUE(ref.errors.empty()) << ref.errors.front();
  EXPECT_TRUE(ref.restubbed);
  for (const Spec& s : TreeSpecs()) {
    SCOPED_TRACE(s.rel);
    int want = s.kind == kDeadStub ? 3 : s.kind == kLiveStub ? 2
               : (s.kind == kYoung || s.kind == kSmall) ? 0 : 1;
    EXPECT_EQ(ref.results[s.rel], want);
    EXPECT_EQ(ref.treeAfter.count(s.rel), s.kind == kDeadStub ? 0u : 1u);
    if (s.kind == kRecalled) {
      std::string why;
      EXPECT_TRUE(isRestubbed(s, ref.treeBefore.at(s.rel), ref.treeAfter.at(s.rel), why)) << why;
    }
  }
  EXPECT_EQ(ref.collected, 46u);
  EXPECT_GT(ref.stubCollect.size(), CollectFile::kBufferSize);  // written in two parts
  EXPECT_EQ(ref.cacheAfter.size(), 0u);
  EXPECT_EQ(ref.watched.size(), 2u);
  EXPECT_EQ(ref.trees.size(), 2u);
  ASSERT_FALSE(HasFailure()) << outcome(ref, m_tree);
  ASSERT_GT(ref.calls, 30);

  sweep("ENOSPC once", ENOSPC, CountdownFaults::eOnce, ref);
  sweep("EIO once", EIO, CountdownFaults::eOnce, ref);
  sweep("ENOSPC from then on", ENOSPC, CountdownFaults::eFromThenOn, ref);
  sweep("EIO from then on", EIO, CountdownFaults::eFromThenOn, ref);
  for (const auto& b : m_benignHits) std::printf("  %d unreported: %s\n", b.second, b.first.c_str());
  std::printf("campaign: %.1f s\n",
              std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}

}  // namespace

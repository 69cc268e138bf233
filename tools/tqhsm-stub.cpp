// tqhsm-stub: shows files' stub meta-data, or turns a file into a stub.
//
//   tqhsm-stub [--config FILE] show [-r] FILE...
//   tqhsm-stub [--config FILE] make FILE --af P:C:A [--kind 1|2] [--stub-guid G]
//              [--app-id N] [--app-guid G] [--size N] [--mtime SECONDS] [--head]
//
// Both sign and check stub records under the stub key of the configuration
// ([HSM] StubKey, default <state directory>/stub.key).

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <limits.h>
#include <stdlib.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "ToolConfig.h"
#include "Config.h"
#include "EvEvent.h"
#include "HSMLowLevel.h"
#include "HSMStore.h"
#include "StubFormat.h"
#include "walk/TreeWalk.h"

namespace {

int fail(int code, const std::string& text) {
  std::fprintf(stderr, "tqhsm-stub: %s\n", text.c_str());
  return code;
}

// What show answers for one file; the exit status of show is the worst of
// them (unreadable over not a stub over a stub).
enum ShowResult { eShowStub = 0, eShowNoStub = 1, eShowUnreadable = 3 };

// Names as the log writes them: one shown file is one record, whatever
// bytes its name holds.
std::string shown(const std::string& name) { return tqhsm::EscapeLogText(name); }

// Starts a file's record: "file: NAME", after a blank line when another
// record came before it.
void beginRecord(const std::string& label) {
  static bool first = true;
  std::printf("%sfile: %s\n", first ? "" : "\n", shown(label).c_str());
  first = false;
}

void printRecord(const ReparseData& r) {
  std::printf("af: %llu:%llu:%llu\n", static_cast<unsigned long long>(r.afParvisNumber),
              static_cast<unsigned long long>(r.afCopyPrecedence),
              static_cast<unsigned long long>(r.afileId));
  std::printf("kind: %d (%s)\n", r.stubKind, r.stubKind == 2 ? "subclient stub" : "archiver stub");
  std::printf("stub_guid: %s\n", r.stubGUID.c_str());
  std::printf("app_id: %llu\n", static_cast<unsigned long long>(r.appId));
  std::printf("app_guid: %s\n", r.appGUID.c_str());
  std::printf("original_size: %llu\n", static_cast<unsigned long long>(r.originalSize));
  std::printf("stubbed_inode: %llu\n", static_cast<unsigned long long>(r.stubInode));
  std::printf("stubbed_mtime: %lld.%09u\n", static_cast<long long>(r.stubMtime), r.stubMtimeNsec);
  std::printf("head_record: %s\n", r.headRecord ? "yes" : "no");
}

// Shows one file, given by name (shown as label). expected, when given, is
// the stat record of a walk that found it: another file there now is
// reported, not shown.
int show(const std::string& file, const std::string& label, const struct stat* expected) {
  struct stat lst;
  if (lstat(file.c_str(), &lst) != 0) {
    fail(1, "cannot stat " + shown(label) + ": " + std::strerror(errno));
    return eShowUnreadable;
  }
  if (!S_ISREG(lst.st_mode)) {
    // Never opened: only a regular file can be a stub.
    beginRecord(label);
    std::printf("stub: no\nwhy: %s\n",
                S_ISLNK(lst.st_mode)   ? "a symbolic link"
                : S_ISDIR(lst.st_mode) ? "a directory (-r shows the files below it)"
                                       : "not a regular file");
    return eShowNoStub;
  }
  tqhsm::HSMStore& store = tqhsm::HSMStore::Current();
  int fd = tqhsm::OpenForInspection(file.c_str());
  if (fd < 0) {
    fail(1, "cannot open " + shown(label) + ": " + std::strerror(errno));
    return eShowUnreadable;
  }
  struct stat st;
  if (store.fstat(fd, &st) != 0) {
    int err = errno;
    store.close(fd);
    fail(1, "cannot stat " + shown(label) + ": " + std::strerror(err));
    return eShowUnreadable;
  }
  if (!S_ISREG(st.st_mode) ||
      (expected && (st.st_dev != expected->st_dev || st.st_ino != expected->st_ino))) {
    store.close(fd);
    fail(1, shown(label) + " was replaced while it was looked at");
    return eShowUnreadable;
  }
  std::vector<char> buf(65536);
  const char* source = "extended attribute " TQHSM_STUB_XATTR;
  ssize_t n = store.fgetxattr(fd, TQHSM_STUB_XATTR, buf.data(), buf.size());
  if (n < 0 && errno != ENODATA && errno != ENOTSUP) {
    int err = errno;
    store.close(fd);
    fail(1, "cannot read " TQHSM_STUB_XATTR " of " + shown(label) + ": " + std::strerror(err));
    return eShowUnreadable;
  }
  if (n <= 0) {
    source = "head of the file (sparse-file stub)";
    n = store.pread(fd, buf.data(), 1024, 0);
    if (n < 0) {
      int err = errno;
      store.close(fd);
      fail(1, "cannot read " + shown(label) + ": " + std::strerror(err));
      return eShowUnreadable;
    }
    if (static_cast<size_t>(n) < sizeof tqhsm::kStubMagic ||
        std::memcmp(buf.data(), tqhsm::kStubMagic, sizeof tqhsm::kStubMagic) != 0)
      n = 0;  // an ordinary head: no stub data at all
  }
  store.close(fd);
  if (n <= 0) {
    beginRecord(label);
    std::printf("stub: no\n");
    return eShowNoStub;
  }

  ReparseData r;
  std::string why;
  beginRecord(label);
  if (!tqhsm::DecodeStubData(buf.data(), static_cast<size_t>(n), r, nullptr, &why)) {
    std::printf("stub: no\nsource: %s\nauthentic: no (%s)\n", source, why.c_str());
    if (tqhsm::LooksReleased(st))
      std::printf("note: its data blocks are released; a scan neither keeps it as a stub nor "
                  "archives it\n");
    std::fflush(stdout);
    fail(1, shown(label) + ": " + source + " holds no valid stub meta-data (" + why + ")");
    return eShowNoStub;
  }
  int verdict = tqhsm::JudgeStub(buf.data(), static_cast<size_t>(n), st, tqhsm::eJudgeLocal,
                                 nullptr, nullptr, &why);
  std::printf("stub: %s\n", verdict == tqhsm::eIntactStub ? "yes" : "no");
  std::printf("source: %s\n", source);
  std::printf("authentic: yes\n");
  if (verdict == tqhsm::eIntactStub)
    std::printf("intact: yes\n");
  else
    std::printf("intact: no (%s)\n", why.c_str());
  if (verdict == tqhsm::eDoubtfulStub)
    std::printf("note: its data blocks are released; a scan neither keeps it as a stub nor "
                "archives it\n");
  printRecord(r);
  return verdict == tqhsm::eIntactStub ? eShowStub : eShowNoStub;
}

// The figures of one show command.
struct ShowTally {
  uint64_t files = 0;
  uint64_t stubs = 0;
  uint64_t notStubs = 0;
  uint64_t unreadable = 0;

  void add(int result) {
    ++files;
    if (result == eShowStub)
      ++stubs;
    else if (result == eShowNoStub)
      ++notStubs;
    else
      ++unreadable;
  }
  int status() const { return unreadable ? eShowUnreadable : notStubs ? eShowNoStub : eShowStub; }
};

// show -r: every regular file below a directory, in name order, reached
// the way the scan reaches them (through directory descriptors, never
// following a symbolic link); other entries are left out.
class ShowWalk : public tqhsm::walk::Visitor {
 public:
  ShowWalk(const std::string& root, const std::string& given, ShowTally& tally)
      : m_sRoot(root), m_sGiven(given), m_tally(tally) {}
  tqhsm::walk::Action directory(tqhsm::walk::Entry&) override {
    return tqhsm::walk::Action::kContinue;
  }
  tqhsm::walk::Action file(tqhsm::walk::Entry& e) override {
    std::string path(e.m_pPath, e.m_nPathLen);
    // Shown under the name it was given by.
    std::string label = m_sGiven + path.substr(m_sRoot.size());
    m_tally.add(show(path, label, e.m_pStat));
    return tqhsm::walk::Action::kContinue;
  }
  tqhsm::walk::Action other(tqhsm::walk::Entry&) override {
    return tqhsm::walk::Action::kContinue;
  }
  tqhsm::walk::Action problem(const tqhsm::walk::WalkProblem& p) override {
    fail(1, shown(m_sGiven + std::string(p.m_pPath).substr(m_sRoot.size())) + ": " + p.m_pText);
    ++m_tally.files;
    ++m_tally.unreadable;
    return tqhsm::walk::Action::kContinue;
  }

 private:
  std::string m_sRoot;
  std::string m_sGiven;
  ShowTally& m_tally;
};

int showAll(const std::vector<std::string>& files, bool recursive) {
  ShowTally tally;
  for (const std::string& f : files) {
    struct stat st;
    if (recursive && lstat(f.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      char real[PATH_MAX];
      if (!realpath(f.c_str(), real)) {
        fail(1, "cannot resolve " + shown(f) + ": " + std::strerror(errno));
        tally.add(eShowUnreadable);
        continue;
      }
      std::string given = f;
      while (given.size() > 1 && given.back() == '/') given.pop_back();
      std::string root = real;
      ShowWalk walk(root, given, tally);
      tqhsm::walk::Walk(root, walk);
      continue;
    }
    tally.add(show(f, f, nullptr));
  }
  if (tally.files > 1 || recursive)
    std::printf("\nsummary: %llu files: %llu stubs, %llu not stubs, %llu unreadable\n",
                static_cast<unsigned long long>(tally.files),
                static_cast<unsigned long long>(tally.stubs),
                static_cast<unsigned long long>(tally.notStubs),
                static_cast<unsigned long long>(tally.unreadable));
  return tally.status();
}

struct MakeOptions {
  std::string file;
  std::string af;
  std::string kind = "1";
  std::string stubGUID;
  std::string appId = "0";
  std::string appGUID;
  std::string size;
  std::string mtime;
  bool head = false;
};

int make(const MakeOptions& o) {
  ReparseData r;
  size_t c1 = o.af.find(':');
  size_t c2 = c1 == std::string::npos ? c1 : o.af.find(':', c1 + 1);
  if (c2 == std::string::npos || !tqhsm::ParseDecimal(o.af.substr(0, c1), r.afParvisNumber) ||
      !tqhsm::ParseDecimal(o.af.substr(c1 + 1, c2 - c1 - 1), r.afCopyPrecedence) ||
      !tqhsm::ParseDecimal(o.af.substr(c2 + 1), r.afileId))
    return fail(2, "--af must be PARVIS:COPYPRECEDENCE:AFILEID in decimal, not '" + o.af + "'");
  uint64_t kind = 0;
  if (!tqhsm::ParseDecimal(o.kind, kind) || (kind != 1 && kind != 2))
    return fail(2, "--kind must be 1 (archiver stub) or 2 (subclient stub)");
  r.stubKind = static_cast<int>(kind);
  if (!tqhsm::ParseDecimal(o.appId, r.appId)) return fail(2, "--app-id must be a whole number");
  r.stubGUID = o.stubGUID;
  r.appGUID = o.appGUID;
  std::string why;
  if (!tqhsm::CheckStubFields(r, &why)) return fail(2, why);

  struct stat st;
  if (lstat(o.file.c_str(), &st) != 0)
    return fail(1, "cannot stat " + o.file + ": " + std::strerror(errno));
  if (!S_ISREG(st.st_mode)) return fail(1, o.file + " is not a regular file");
  if (o.size.empty())
    r.originalSize = static_cast<uint64_t>(st.st_size);
  else if (!tqhsm::ParseDecimal(o.size, r.originalSize))
    return fail(2, "--size must be a whole number of bytes");
  time_t mtime = -1;
  if (!o.mtime.empty()) {
    uint64_t t = 0;
    if (!tqhsm::ParseDecimal(o.mtime, t) || t > static_cast<uint64_t>(INT64_MAX))
      return fail(2, "--mtime must be whole seconds since the epoch");
    mtime = static_cast<time_t>(t);
  }

  TQHSMLowLevelCtx ctx(0);
  TQHSMLowLevel* lowLevel = ctx.getByFileName(o.file.c_str());
  if (!lowLevel) return fail(1, "no mounted file system holds " + o.file);
  std::string reparse = tqhsm::FormatReparseText(r);
  int flags = o.head ? TQHSMLowLevel::eStubWriteHead : -1;
  if (lowLevel->stubFile(o.file.c_str(), reparse.c_str(), mtime, flags) != 0)
    return fail(1, "cannot make " + o.file + " a stub: " + lowLevel->getLastError());
  std::printf("%s is a stub now\n", o.file.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Shows a file's stub meta-data and whether it is an authentic, intact stub, or "
               "turns a file into a stub."};
  app.footer(R"(
show prints one record of "key: value" lines per file, a blank line between
records, and after more than one file (or with -r) a line
"summary: N files: S stubs, M not stubs, U unreadable". "stub: yes" only for an
authentic, intact stub. -r shows every regular file below a directory, in name
order, without following symbolic links. Names are written with the log's
escapes (\x1b, \\, ...).

Exit status of show: 0 every file is a stub; 1 some file is not (a plain file,
stub data that are not authentic or not intact, a directory without -r, a
symbolic link); 3 some file cannot be read (wins over 1); 2 bad usage.
Exit status of make: 0 done; 1 the file cannot be read or stubbed, or the stub
key is refused; 2 bad usage or invalid meta-data.)");
  app.require_subcommand(1);
  std::string configPath;
  app.add_option("--config", configPath,
                 "Configuration file (default: $TQHSM_CONFIG); its [HSM] StubKey or StateDirectory "
                 "names the stub key");

  std::vector<std::string> showFiles;
  bool recursive = false;
  CLI::App* showCmd = app.add_subcommand(
      "show",
      "Print for each FILE whether it is a stub, whether its stub data are authentic and the "
      "stub intact, and its meta-data (from user.OSTUB or the file's head). Exit status: 0 "
      "every file is a stub, 1 some are not, 3 some cannot be read");
  showCmd->add_option("FILE", showFiles, "the files")->required();
  showCmd->add_flag("-r,--recursive", recursive,
                    "show every regular file below a directory (symbolic links are not "
                    "followed)");

  MakeOptions mo;
  CLI::App* makeCmd =
      app.add_subcommand("make", "Turn FILE into a stub carrying the given meta-data");
  makeCmd->add_option("FILE", mo.file, "the file")->required();
  makeCmd->add_option("--af", mo.af, "archive file: PARVIS:COPYPRECEDENCE:AFILEID")->required();
  makeCmd->add_option("--kind", mo.kind, "1 archiver stub, 2 subclient stub (default 1)");
  makeCmd->add_option("--stub-guid", mo.stubGUID, "the stub's GUID");
  makeCmd->add_option("--app-id", mo.appId, "app id of the subclient (default 0)");
  makeCmd->add_option("--app-guid", mo.appGUID, "GUID of the subclient");
  makeCmd->add_option("--size", mo.size, "original size in bytes (default: the file's size)");
  makeCmd->add_option("--mtime", mo.mtime,
                      "modification time to give the stub, seconds (default: keep)");
  makeCmd->add_flag("--head", mo.head,
                    "also write the stub data at the head of the file (sparse-file stub)");

  int exitCode = 0;
  if (!tqhsm::tools::ParseCommandLine(app, argc, argv, exitCode)) return exitCode;
  tqhsm::tools::ToolConfig config(configPath);
  if (!configPath.empty() && !config.problem().empty()) return fail(2, config.problem());
  if (*showCmd) return showAll(showFiles, recursive);
  return make(mo);
}

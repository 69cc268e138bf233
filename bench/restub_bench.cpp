// The re-stubbing pass, per re-stubbed file: a tree of recalled files, each
// with a current cached stub of a live AF, is scanned (IsDMCandidate puts
// every file into StubCollectTemp), and ProcessFilesForReStubbing alone is
// timed. The files' data are synced before the clock starts, so the pass pays
// only for its own writes and syncs.
//
//   bench-restub [--files N] [--rounds R] [--dir DIR] [--size BYTES]
//
// DIR (default /var/tmp) must be on the file system to measure, with punch-hole
// and user extended attributes (ext4, XFS, tmpfs). Prints one line per round
// and the median, min and max in microseconds per file. Built against the
// public helper API only, so that the same source times any version of the
// library.
#include <fcntl.h>
#include <limits.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Catalog.h"
#include "HSMLowLevel.h"
#include "StubFormat.h"
#include "TQHSMHelper.h"

namespace {

const int kAppId = 5;
const char* const kAppGUID = "bench-app-guid-5";
const uint64_t kLiveAF = 4711;

class Counter : public TQHSMActionObserver {
 public:
  void OnAction(const TQHSMAction& a) override {
    if (a.m_eKind == TQHSMAction::eFileReStubbed && !a.m_pError) ++reStubbed;
  }
  uint64_t reStubbed = 0;
};

bool WriteFile(const std::string& path, const std::string& data) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  bool ok = ::write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
  return ::close(fd) == 0 && ok;
}

void SetMtime(const std::string& path, time_t t) {
  struct timespec ts[2] = {{t, 0}, {t, 0}};
  utimensat(AT_FDCWD, path.c_str(), ts, AT_SYMLINK_NOFOLLOW);
}

std::string Guid(int i) { return "bench-" + std::to_string(i); }

void Die(const std::string& why) {
  std::fprintf(stderr, "bench-restub: %s\n", why.c_str());
  std::exit(1);
}

double CpuSeconds() {
  struct rusage u;
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// One round: a fresh tree and cache, a scan, the timed pass. Microseconds
// per file (and in cpu, the processor time of the pass per file), or a
// negative value when not every file was re-stubbed.
double Round(const std::string& base, int files, size_t size, double& cpu) {
  const std::string tree = base + "/tree", cache = base + "/cache", results = base + "/results";
  std::string cmd = "rm -rf '" + tree + "' '" + cache + "' '" + results + "'";
  if (std::system(cmd.c_str()) != 0) Die("cannot clean " + base);
  for (const std::string& d : {tree, cache, results})
    if (mkdir(d.c_str(), 0755) != 0) Die("cannot make " + d);
  const time_t old = time(nullptr) - 400 * 86400;
  std::string content(size, 'x');
  for (int i = 0; i < files; ++i) {
    std::string path = tree + "/f" + std::to_string(i);
    if (!WriteFile(path, content)) Die("cannot write " + path);
    SetMtime(path, old);
    struct stat st;
    if (stat(path.c_str(), &st) != 0) Die("cannot stat " + path);
    ReparseData r;
    r.afParvisNumber = 2;
    r.afCopyPrecedence = 1;
    r.afileId = kLiveAF;
    r.stubKind = 2;
    r.stubGUID = Guid(i);
    r.appId = kAppId;
    r.appGUID = kAppGUID;
    r.originalSize = size;
    std::vector<char> bytes;
    std::string why;
    if (!tqhsm::EncodeStubData(r, bytes, &why)) Die("cannot make stub data: " + why);
    std::string cached = getCacheFname(path.c_str(), &st, cache);
    if (!WriteFile(cached, std::string(bytes.begin(), bytes.end()))) Die("cannot write " + cached);
    SetMtime(cached, old);
  }
  sync();

  TQHSMHelperInitArgs args;
  args.m_sJobResultsDir = results;
  args.m_sCollectFileName = "StubCollect";
  args.m_nAppId = kAppId;
  TQHSMHelper h(args);
  Counter counter;
  h.SetActionObserver(&counter);
  if (h.Initialize(0, kAppId, 2) != 1) Die("Initialize failed (see the log)");
  std::string error;
  if (h.resetVolume(tree.c_str(), error, false) != 1) Die("resetVolume failed: " + error);
  std::string volume;
  for (const auto& b : h.m_mapAmountToArchive)
    if (tree.compare(0, b.first.size(), b.first) == 0 && b.first.size() >= volume.size())
      volume = b.first;
  for (int i = 0; i < files; ++i) {
    std::string path = tree + "/f" + std::to_string(i);
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) Die("cannot stat " + path);
    h.IsDMCandidate(path.c_str(), &st, volume, true, false, false);
  }
  // getppid marks the pass in a system-call trace (bench/restub_syscalls.sh).
  getppid();
  double cpuStart = CpuSeconds();
  auto start = std::chrono::steady_clock::now();
  bool ok = h.ProcessFilesForReStubbing(nullptr);
  double us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                  .count();
  cpu = (CpuSeconds() - cpuStart) * 1e6 / files;
  getppid();
  h.DeInitialize(0);
  if (!ok || counter.reStubbed != static_cast<uint64_t>(files)) {
    std::fprintf(stderr, "bench-restub: the pass re-stubbed %llu of %d files%s\n",
                 static_cast<unsigned long long>(counter.reStubbed), files,
                 ok ? "" : " and failed");
    return -1;
  }
  return us / files;
}

}  // namespace

int main(int argc, char** argv) {
  int files = 2000, rounds = 5;
  size_t size = 20000;
  std::string dir = "/var/tmp";
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    bool more = i + 1 < argc;
    if (a == "--files" && more) files = std::atoi(argv[++i]);
    else if (a == "--rounds" && more) rounds = std::atoi(argv[++i]);
    else if (a == "--dir" && more) dir = argv[++i];
    else if (a == "--size" && more) size = static_cast<size_t>(std::atol(argv[++i]));
    else {
      std::fprintf(stderr,
                   "usage: bench-restub [--files N] [--rounds R] [--dir DIR] [--size BYTES]\n");
      return 2;
    }
  }
  if (files < 1 || rounds < 1 || size < 4096) {
    std::fprintf(stderr, "bench-restub: --files and --rounds must be at least 1, --size 4096\n");
    return 2;
  }
  std::string tmpl = dir + "/tqhsm-restub-bench-XXXXXX";
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  if (!mkdtemp(name.data())) Die("cannot make a directory in " + dir + ": " + strerror(errno));
  char real[PATH_MAX];
  if (!realpath(name.data(), real)) Die("cannot resolve " + std::string(name.data()));
  const std::string base = real;
  const std::string state = base + "/state", catalogPath = base + "/catalog.db";
  if (mkdir(state.c_str(), 0700) != 0) Die("cannot make " + state);
  std::string config =
      "[FileSystemAgent]\nsSKIP_FS_TO_MONITOR = :proc:sysfs:\n"
      "[Subclient 5]\nSubclientId = 42\nGUID = " + std::string(kAppGUID) + "\n"
      "HighFreeSpace = 100\nLowFreeSpace = 100\nDaysOld = 30\nDaysOldMTime = 30\n"
      "MinFileSizeKB = 4\nHonorArchiverRetention = no\nRulesFlag = 0\n"
      "[StubCache]\nEnabled = yes\nLocation = " + base + "/cache\n"
      "[HSM]\nStateDirectory = " + state + "\n"
      "[Catalog]\nPath = " + catalogPath + "\n";
  const std::string configPath = base + "/tqhsm.ini";
  if (!WriteFile(configPath, config)) Die("cannot write " + configPath);
  setenv("TQHSM_CONFIG", configPath.c_str(), 1);
  if (!getenv("TQHSM_LOG")) setenv("TQHSM_LOG", (base + "/log").c_str(), 1);

  std::string error;
  std::unique_ptr<tqhsm::Catalog> c = tqhsm::Catalog::Open(catalogPath, error);
  if (!c) Die(error);
  std::string sql = "BEGIN; INSERT INTO subclient_retention VALUES (42, 30);"
                    "INSERT INTO parvis VALUES (2, 200);"
                    "INSERT INTO archive_files VALUES (" + std::to_string(kLiveAF) +
                    ", 1, 200, 1, 0);";
  for (int i = 0; i < files; ++i)
    sql += "INSERT INTO stub_index VALUES ('" + Guid(i) + "', 2, 1, " + std::to_string(kLiveAF) +
           ", 1);";
  sql += "COMMIT;";
  if (!c->exec(sql, error)) Die(error);
  c.reset();

  struct statfs fs;
  std::printf("re-stubbing pass: %d files of %zu bytes in %s (file system type 0x%lx)\n", files,
              size, base.c_str(), statfs(base.c_str(), &fs) == 0 ? (unsigned long)fs.f_type : 0UL);
  std::vector<double> per, cpus;
  for (int r = 0; r < rounds; ++r) {
    double cpu = 0;
    double us = Round(base, files, size, cpu);
    if (us < 0) Die("a round failed; the log is " + std::string(getenv("TQHSM_LOG")));
    std::printf("  round %d: %.1f us per file (processor time %.1f us)\n", r + 1, us, cpu);
    std::fflush(stdout);
    per.push_back(us);
    cpus.push_back(cpu);
  }
  std::sort(per.begin(), per.end());
  std::sort(cpus.begin(), cpus.end());
  std::printf("re-stubbing pass: median %.1f us per file (min %.1f, max %.1f, %d rounds); "
              "processor time median %.1f us per file\n",
              per[per.size() / 2], per.front(), per.back(), rounds, cpus[cpus.size() / 2]);
  std::string cmd = "rm -rf '" + base + "'";
  if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "cannot remove %s\n", base.c_str());
  return 0;
}

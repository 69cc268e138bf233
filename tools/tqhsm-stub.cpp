// tqhsm-stub: shows a file's stub meta-data, or turns a file into a stub.
//
//   tqhsm-stub [--config FILE] show FILE
//   tqhsm-stub [--config FILE] make FILE --af P:C:A [--kind 1|2] [--stub-guid G]
//              [--app-id N] [--app-guid G] [--size N] [--mtime SECONDS] [--head]
//
// Both sign and check stub records under the stub key of the configuration
// ([HSM] StubKey, default <state directory>/stub.key).

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "Config.h"
#include "HSMLowLevel.h"
#include "HSMStore.h"
#include "StubFormat.h"

namespace {

int fail(int code, const std::string& text) {
  std::fprintf(stderr, "tqhsm-stub: %s\n", text.c_str());
  return code;
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

int show(const std::string& file) {
  struct stat lst;
  if (lstat(file.c_str(), &lst) != 0)
    return fail(1, "cannot stat " + file + ": " + std::strerror(errno));
  if (!S_ISREG(lst.st_mode)) {
    // Never opened: only a regular file can be a stub.
    std::printf("file: %s\nstub: no\nwhy: %s\n", file.c_str(),
                S_ISLNK(lst.st_mode) ? "a symbolic link" : "not a regular file");
    return 0;
  }
  tqhsm::HSMStore& store = tqhsm::HSMStore::Current();
  int fd = tqhsm::OpenForInspection(file.c_str());
  if (fd < 0) return fail(1, "cannot open " + file + ": " + std::strerror(errno));
  struct stat st;
  if (store.fstat(fd, &st) != 0) {
    int err = errno;
    store.close(fd);
    return fail(1, "cannot stat " + file + ": " + std::strerror(err));
  }
  if (!S_ISREG(st.st_mode)) {
    store.close(fd);
    return fail(1, file + " was replaced by something that is not a regular file");
  }
  std::vector<char> buf(65536);
  const char* source = "extended attribute " TQHSM_STUB_XATTR;
  ssize_t n = store.fgetxattr(fd, TQHSM_STUB_XATTR, buf.data(), buf.size());
  if (n < 0 && errno != ENODATA && errno != ENOTSUP) {
    int err = errno;
    store.close(fd);
    return fail(1, "cannot read " TQHSM_STUB_XATTR " of " + file + ": " + std::strerror(err));
  }
  if (n <= 0) {
    source = "head of the file (sparse-file stub)";
    n = store.pread(fd, buf.data(), 1024, 0);
    if (n < 0) {
      int err = errno;
      store.close(fd);
      return fail(1, "cannot read " + file + ": " + std::strerror(err));
    }
    if (static_cast<size_t>(n) < sizeof tqhsm::kStubMagic ||
        std::memcmp(buf.data(), tqhsm::kStubMagic, sizeof tqhsm::kStubMagic) != 0)
      n = 0;  // an ordinary head: no stub data at all
  }
  store.close(fd);
  if (n <= 0) {
    std::printf("file: %s\nstub: no\n", file.c_str());
    return 0;
  }

  ReparseData r;
  std::string why;
  std::printf("file: %s\n", file.c_str());
  if (!tqhsm::DecodeStubData(buf.data(), static_cast<size_t>(n), r, nullptr, &why)) {
    std::printf("stub: no\nsource: %s\nauthentic: no (%s)\n", source, why.c_str());
    if (tqhsm::LooksReleased(st))
      std::printf("note: its data blocks are released; a scan neither keeps it as a stub nor "
                  "archives it\n");
    std::fflush(stdout);
    return fail(2, file + ": " + source + " holds no valid stub meta-data (" + why + ")");
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
  return 0;
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
  app.require_subcommand(1);
  std::string configPath;
  app.add_option("--config", configPath,
                 "Configuration file (default: $TQHSM_CONFIG); its [HSM] StubKey or StateDirectory "
                 "names the stub key");

  std::string showFile;
  CLI::App* showCmd = app.add_subcommand(
      "show",
      "Print whether FILE is a stub, whether its stub data are authentic and the stub intact, and "
      "its meta-data (from user.OSTUB or the file's head)");
  showCmd->add_option("FILE", showFile, "the file")->required();

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
  std::unique_ptr<tqhsm::IniConfig> config;
  std::unique_ptr<tqhsm::ScopedBackend<tqhsm::ConfigSource>> configScope;
  if (!configPath.empty()) {
    config = tqhsm::IniConfig::FromFile(configPath);
    if (!config->problem().empty()) return fail(2, config->problem());
    configScope.reset(new tqhsm::ScopedBackend<tqhsm::ConfigSource>(config.get()));
  }
  if (*showCmd) return show(showFile);
  return make(mo);
}

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "CaptureLog.h"
#include "CollectFile.h"
#include "FaultyFileSystem.h"
#include "FileUtf.h"
#include "ScratchMount.h"
#include "TempDir.h"

using tqhsm::test::CaptureLog;
using tqhsm::test::FaultyFileSystem;
using tqhsm::test::ReadFile;
using tqhsm::test::ScratchMount;
using tqhsm::test::TempDir;

namespace {

std::vector<HSMCollectFile> ReadAll(const std::string& path, char sep = '|') {
  std::vector<HSMCollectFile> out;
  FILE* f = fopen(path.c_str(), "r");
  if (!f) return out;
  HSMCollectFile rec;
  while (GetLineFromCollectFile(f, sep, rec)) out.push_back(rec);
  fclose(f);
  return out;
}

}  // namespace

TEST(CollectFileTest, RoundTripsEntriesNumbersAndInnerSeparators) {
  CaptureLog log;
  TempDir dir;
  std::string path = dir.file("StubCollect");
  CollectFile cf;
  ASSERT_NE(cf.Initialize(path), 0);
  cf.SetSeperator('|');

  struct Case {
    std::string entry;
    long long number;
  };
  const std::vector<Case> cases = {
      {"/data/f:12", 0},
      {"/fs/a:12|/sc/1", 0},           // temp entry: path, inode, '|', cached stub
      {"/fs/a:b:77|/sc/1", 5},         // ':' inside the path
      {"", 0},                         // an empty entry is still a record
      {"/x|y|z:1|/c", -1},             // several inner separators
      {"/snap/f:-1", 9223372036854775807LL},
      {"/with space/and\ttab:3", 42},
  };
  for (const Case& c : cases) ASSERT_NE(cf.AddToCollectFile(c.entry, true, true, c.number), 0);
  ASSERT_NE(cf.DeInitialize(), 0);

  EXPECT_EQ(ReadFile(path).substr(0, 16), "|/data/f:12|0|\n|");
  std::vector<HSMCollectFile> back = ReadAll(path);
  ASSERT_EQ(back.size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(back[i].m_sEntry, cases[i].entry) << i;
    EXPECT_EQ(back[i].m_llNumber, cases[i].number) << i;
  }
  EXPECT_EQ(CountLines(path.c_str()), static_cast<long>(cases.size()));
}

TEST(CollectFileTest, HandWrittenRecordsReadBackTheSameWay) {
  // The re-stubbing pass writes records with printf; both must meet the reader.
  TempDir dir;
  std::string path = dir.file("rewrite");
  FILE* f = fopen(path.c_str(), "w");
  fprintf(f, "%c%s%c%ld%c\n", '|', "/fs/a:12|/cache/x", '|', 7L, '|');
  fprintf(f, "not a record\n");
  fprintf(f, "|/fs/b:13|/cache/y|x|\n");  // number is not a number
  fprintf(f, "|/fs/c:14|/cache/z|0|");    // no final line break
  fclose(f);
  CaptureLog log;
  std::vector<HSMCollectFile> back = ReadAll(path);
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[0].m_sEntry, "/fs/a:12|/cache/x");
  EXPECT_EQ(back[0].m_llNumber, 7);
  EXPECT_EQ(back[1].m_sEntry, "/fs/c:14|/cache/z");
  EXPECT_EQ(CountLines(path.c_str()), 4);
  EXPECT_EQ(log.lines.size(), 2u);  // each skipped line is reported
}

TEST(CollectFileTest, RefusesEntriesWithLineBreaksAndWritesNothingWhenAddIsFalse) {
  CaptureLog log;
  TempDir dir;
  std::string path = dir.file("c");
  CollectFile cf;
  ASSERT_NE(cf.Initialize(path), 0);
  EXPECT_EQ(cf.AddToCollectFile("/a\n/b:1", true, true, 0), 0);
  EXPECT_NE(cf.AddToCollectFile("/skipped:1", false, true, 0), 0);
  EXPECT_NE(cf.AddToCollectFile("/kept:2", true, true, 0), 0);
  ASSERT_NE(cf.DeInitialize(), 0);
  EXPECT_EQ(ReadFile(path), "|/kept:2|0|\n");
}

TEST(CollectFileTest, AnExistingFileIsEmptiedAndAnEmptyOneNeverSynced) {
  CaptureLog log;
  TempDir dir;
  std::string path = dir.write("c", "|old:1|0|\n");
  FaultyFileSystem fs;
  tqhsm::ScopedBackend<tqhsm::FileSystem> scope(&fs);
  CollectFile cf;
  ASSERT_NE(cf.Initialize(path), 0);
  EXPECT_EQ(ReadFile(path), "");
  EXPECT_NE(cf.DeInitialize(), 0);
  EXPECT_EQ(fs.calls(FaultyFileSystem::eFsync), 0);
  ASSERT_NE(cf.Initialize(path), 0);
  ASSERT_NE(cf.AddToCollectFile("/a:1", true, true, 0), 0);
  EXPECT_NE(cf.DeInitialize(), 0);
  EXPECT_EQ(fs.calls(FaultyFileSystem::eFsync), 1);
  EXPECT_EQ(ReadFile(path), "|/a:1|0|\n");
}

TEST(CollectFileTest, InitializeFailsWhenTheFileCannotBeCreated) {
  CaptureLog log;
  CollectFile cf;
  EXPECT_EQ(cf.Initialize("/nonexistent-dir-for-tqhsm/StubCollect"), 0);
  EXPECT_FALSE(cf.IsOpen());
  EXPECT_EQ(cf.AddToCollectFile("/a:1", true, true, 0), 0);
  EXPECT_NE(cf.DeInitialize(), 0);  // nothing open, nothing lost
}

TEST(CollectFileTest, GetLineCutsLongLinesAndStaysInStep) {
  TempDir dir;
  std::string path = dir.write("dump", "2:1:4711:1\n" + std::string(3000, '9') + "\n3:1:5:0\n");
  FILE* f = fopen(path.c_str(), "r");
  ASSERT_NE(f, nullptr);
  char buf[1032];
  ASSERT_NE(GetLine(f, buf), 0);
  EXPECT_STREQ(buf, "2:1:4711:1");
  ASSERT_NE(GetLine(f, buf), 0);
  EXPECT_EQ(std::string(buf).size(), 1031u);
  ASSERT_NE(GetLine(f, buf), 0);
  EXPECT_STREQ(buf, "3:1:5:0");
  EXPECT_EQ(GetLine(f, buf), 0);
  fclose(f);
  EXPECT_EQ(CountLines(dir.file("missing").c_str()), 0);
  EXPECT_EQ(CountLines(dir.write("empty", "").c_str()), 0);
}

namespace {

// A stream of lines, some acknowledged, into a writer under a fault.
struct WriteRun {
  std::vector<std::string> acked;
  size_t refused = 0;
  int closed = 1;
  std::string unwritten;
  uint64_t affected = 0;
  std::string error;
};

WriteRun WriteLines(const std::string& path, size_t count, size_t width) {
  WriteRun run;
  CollectFile cf;
  if (!cf.Initialize(path)) {
    run.closed = -1;
    return run;
  }
  for (size_t i = 0; i < count; ++i) {
    std::string entry = "/data/" + std::string(width, static_cast<char>('a' + i % 26)) + ":" +
                        std::to_string(i);
    if (cf.AddToCollectFile(entry, true, true, 0))
      run.acked.push_back(entry);
    else
      ++run.refused;
  }
  run.closed = cf.DeInitialize();
  run.unwritten = cf.TakeUnwritten();
  run.affected = cf.LinesAffected() + std::count(run.unwritten.begin(), run.unwritten.end(), '\n');
  run.error = cf.LastError();
  EXPECT_EQ(cf.LinesAcknowledged(), run.acked.size());
  return run;
}

std::vector<std::string> Entries(const std::string& path) {
  std::vector<std::string> out;
  for (const HSMCollectFile& r : ReadAll(path)) out.push_back(r.m_sEntry);
  return out;
}

// What every writer keeps, whatever failed: the file is a list of whole records,
// it holds acknowledged lines only and in order, what it misses of them is
// either handed back (Unwritten) or counted as affected, and a loss is never
// reported as success.
void ExpectKeptItsWord(const std::string& path, const WriteRun& run) {
  std::string content = ReadFile(path);
  if (!content.empty()) {
    EXPECT_EQ(content.back(), '\n');
  }
  std::vector<std::string> inFile = Entries(path);
  EXPECT_EQ(static_cast<long>(inFile.size()), CountLines(path.c_str()));
  ASSERT_LE(inFile.size(), run.acked.size());
  for (size_t i = 0; i < inFile.size(); ++i) ASSERT_EQ(inFile[i], run.acked[i]) << i;
  std::vector<std::string> handedBack;
  {
    std::string copy = run.unwritten;
    FILE* f = fmemopen(&copy[0], copy.size(), "r");
    HSMCollectFile rec;
    while (f && GetLineFromCollectFile(f, '|', rec)) handedBack.push_back(rec.m_sEntry);
    if (f) fclose(f);
  }
  for (size_t i = 0; i < handedBack.size(); ++i)
    EXPECT_EQ(handedBack[i], run.acked[inFile.size() + i]) << i;
  if (inFile.size() < run.acked.size()) {
    EXPECT_EQ(run.closed, 0);
    EXPECT_GE(run.affected, run.acked.size() - inFile.size());
  }
  if (run.closed == 0) {
    EXPECT_FALSE(run.error.empty());
  }
}

struct WriterFault {
  const char* name;
  FaultyFileSystem::Op op;
  int at;
  int err;
  bool sticky;
  size_t partial;
  // Expected: every line refused, some (not all) refused, none refused;
  // whether DeInitialize fails; every acknowledged line was written through.
  enum { eAll, eSome, eNone } refused;
  bool closeFails;
  bool throughEachLine;
};

void PrintTo(const WriterFault& f, std::ostream* os) { *os << f.name; }

class WriterFaultTest : public ::testing::TestWithParam<WriterFault> {};

const size_t kLines = 8000;
const size_t kWidth = 190;  // 8000 lines of 200 bytes: two reservations, many flushes

}  // namespace

TEST_P(WriterFaultTest, AcknowledgedLinesAreInTheFileAndLossesAreReported) {
  const WriterFault& f = GetParam();
  CaptureLog log;
  TempDir dir;
  std::string path = dir.file("StubCollect");
  FaultyFileSystem fs;
  fs.failAt(f.op, f.at, f.err, f.sticky, f.partial);
  if (f.throughEachLine) fs.failAt(FaultyFileSystem::eFallocate, 1, EOPNOTSUPP, true);
  WriteRun run;
  {
    tqhsm::ScopedBackend<tqhsm::FileSystem> scope(&fs);
    run = WriteLines(path, kLines, kWidth);
  }
  ASSERT_NE(run.closed, -1);
  EXPECT_GT(fs.fired(f.op), 0) << "the fault was never reached";
  ExpectKeptItsWord(path, run);
  switch (f.refused) {
    case WriterFault::eAll: EXPECT_EQ(run.refused, kLines); break;
    case WriterFault::eSome: EXPECT_GT(run.refused, 0u); EXPECT_LT(run.refused, kLines); break;
    case WriterFault::eNone: EXPECT_EQ(run.refused, 0u); break;
  }
  EXPECT_EQ(run.closed == 0, f.closeFails) << run.error;
  if (!f.closeFails) {
    EXPECT_EQ(Entries(path), run.acked);
  }
  if (f.throughEachLine) {
    EXPECT_EQ(static_cast<size_t>(fs.calls(FaultyFileSystem::ePwrite)), kLines);
  } else {
    EXPECT_LT(fs.calls(FaultyFileSystem::ePwrite), 100);  // buffered
  }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, WriterFaultTest,
    ::testing::Values(
        // No room at all: nothing acknowledged, nothing lost.
        WriterFault{"NoRoomAtAll", FaultyFileSystem::eFallocate, 1, ENOSPC, true, 0,
                    WriterFault::eAll, false, false},
        WriterFault{"QuotaFromTheStart", FaultyFileSystem::eFallocate, 1, EDQUOT, true, 0,
                    WriterFault::eAll, false, false},
        // The first megabyte was reserved, then the disk filled up.
        WriterFault{"RoomRunsOut", FaultyFileSystem::eFallocate, 2, ENOSPC, true, 0,
                    WriterFault::eSome, false, false},
        // A big step fails but the blocks the line needs are there.
        WriterFault{"OnlyTheStepFails", FaultyFileSystem::eFallocate, 2, ENOSPC, false, 0,
                    WriterFault::eNone, false, false},
        WriterFault{"ReservationIOError", FaultyFileSystem::eFallocate, 2, EIO, true, 0,
                    WriterFault::eSome, false, false},
        // No reservation on this file system: every line written through.
        WriterFault{"NoFallocate", FaultyFileSystem::eFallocate, 1, EOPNOTSUPP, true, 0,
                    WriterFault::eNone, false, true},
        WriterFault{"NoFallocateAndOneLineDoesNotFit", FaultyFileSystem::ePwrite, 100, ENOSPC,
                    false, 0, WriterFault::eSome, false, true},
        WriterFault{"NoFallocateAndTheDiskIsFull", FaultyFileSystem::ePwrite, 100, ENOSPC, true,
                    0, WriterFault::eSome, false, true},
        // Acknowledged lines that a later write loses: handed back and reported.
        WriterFault{"WriteFailsAfterAcknowledging", FaultyFileSystem::ePwrite, 3, EIO, true, 0,
                    WriterFault::eSome, true, false},
        WriterFault{"ReservationNotHonoured", FaultyFileSystem::ePwrite, 3, ENOSPC, true, 0,
                    WriterFault::eSome, true, false},
        WriterFault{"ShortWriteThenFailure", FaultyFileSystem::ePwrite, 3, EIO, true, 1000,
                    WriterFault::eSome, true, false},
        // Errors that only closing shows.
        WriterFault{"SyncFails", FaultyFileSystem::eFsync, 1, EIO, false, 0, WriterFault::eNone,
                    true, false},
        WriterFault{"CloseFails", FaultyFileSystem::eClose, 1, EIO, false, 0, WriterFault::eNone,
                    true, false},
        // Releasing the reservation is no loss.
        WriterFault{"TrimFails", FaultyFileSystem::eFtruncate, 2, EIO, false, 0,
                    WriterFault::eNone, false, false}),
    [](const ::testing::TestParamInfo<WriterFault>& info) { return std::string(info.param.name); });

TEST(CollectFileTest, FailuresAreLoggedOncePerEpisode) {
  CaptureLog log;
  TempDir dir;
  FaultyFileSystem fs;
  fs.failAt(FaultyFileSystem::eFallocate, 1, ENOSPC, true);
  tqhsm::ScopedBackend<tqhsm::FileSystem> scope(&fs);
  WriteRun run = WriteLines(dir.file("c"), 50, 10);
  EXPECT_EQ(run.refused, 50u);
  size_t reports = 0;
  for (const tqhsm::test::LogLine& l : log.lines)
    if (l.text.find("in collect file " + dir.file("c") + ": " + strerror(ENOSPC) +
                    "; lines that do not fit are refused") != std::string::npos)
      ++reports;
  EXPECT_EQ(reports, 1u);
}

namespace {

class RealSmallFsTest : public ::testing::TestWithParam<ScratchMount::Kind> {};

uint64_t AllocatedBytes(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_blocks) * 512 : 0;
}

}  // namespace

// A real file system with only a few KiB left: the lines that fit are in the
// file, every other one was refused, the reservation is released at the end,
// and once room comes back the writer takes lines again.
TEST_P(RealSmallFsTest, FullFileSystemRefusesLinesButLosesNone) {
  ScratchMount fs(GetParam(), GetParam() == ScratchMount::eTmpfs ? 512 * 1024 : 16 << 20);
  if (!fs.ok()) GTEST_SKIP() << fs.why();
  CaptureLog log;
  ASSERT_TRUE(fs.fillTo(12 * 1024)) << fs.available();
  std::string path = fs.path() + "/StubCollect";
  CollectFile cf;
  ASSERT_NE(cf.Initialize(path), 0);
  std::vector<std::string> acked;
  size_t refused = 0;
  for (int i = 0; i < 500; ++i) {
    std::string entry = "/data/projects/archive/candidate-" + std::to_string(i) + ".bin:" +
                        std::to_string(100000 + i);
    if (cf.AddToCollectFile(entry, true, true, 0))
      acked.push_back(entry);
    else
      ++refused;
  }
  EXPECT_GT(acked.size(), 20u);
  EXPECT_GT(refused, 100u);
  // Room again: the writer is still usable.
  ASSERT_EQ(system(("rm -rf " + fs.path() + "/filler").c_str()), 0);
  std::string late = "/data/after-room-came-back:7";
  EXPECT_NE(cf.AddToCollectFile(late, true, true, 0), 0);
  acked.push_back(late);
  EXPECT_NE(cf.DeInitialize(), 0) << cf.LastError();
  EXPECT_EQ(Entries(path), acked);
  std::string content = ReadFile(path);
  ASSERT_FALSE(content.empty());
  EXPECT_EQ(content.back(), '\n');
  // Nothing reserved stays allocated past the end of the file.
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  uint64_t block = static_cast<uint64_t>(st.st_blksize);
  EXPECT_LE(AllocatedBytes(path), (static_cast<uint64_t>(st.st_size) + block - 1) / block * block);
}

TEST_P(RealSmallFsTest, ReservationIsReleasedAtTheEnd) {
  ScratchMount fs(GetParam(), 16 << 20);
  if (!fs.ok()) GTEST_SKIP() << fs.why();
  CaptureLog log;
  std::string path = fs.path() + "/StubCollect";
  uint64_t before = fs.available();
  CollectFile cf;
  ASSERT_NE(cf.Initialize(path), 0);
  ASSERT_NE(cf.AddToCollectFile("/data/one:1", true, true, 0), 0);
  EXPECT_GE(AllocatedBytes(path), static_cast<uint64_t>(CollectFile::kReserveStep));
  EXPECT_FALSE(cf.WritesThrough());
  ASSERT_NE(cf.DeInitialize(), 0);
  EXPECT_LE(AllocatedBytes(path), 4096u);
  EXPECT_LE(before - fs.available(), 2 * 4096u);
}

INSTANTIATE_TEST_SUITE_P(Mounted, RealSmallFsTest,
                         ::testing::Values(ScratchMount::eTmpfs, ScratchMount::eExt4),
                         [](const ::testing::TestParamInfo<ScratchMount::Kind>& info) {
                           return std::string(info.param == ScratchMount::eTmpfs ? "tmpfs"
                                                                                 : "ext4");
                         });

namespace {

// What may be planted at the name of one of the library's own files.
struct Planted {
  const char* name;
  // Makes the entry at path; target is a root-only file elsewhere.
  void (*plant)(const std::string& path, const std::string& target);
  const char* why;
};

void PrintTo(const Planted& p, std::ostream* os) { *os << p.name; }

void Symlink(const std::string& path, const std::string& target) {
  ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
}
void Dangling(const std::string& path, const std::string& target) {
  ASSERT_EQ(symlink((target + ".missing").c_str(), path.c_str()), 0);
}
void HardLink(const std::string& path, const std::string& target) {
  ASSERT_EQ(link(target.c_str(), path.c_str()), 0);
}
void Fifo(const std::string& path, const std::string&) { ASSERT_EQ(mkfifo(path.c_str(), 0666), 0); }
void OtherUser(const std::string& path, const std::string&) {
  FILE* f = fopen(path.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fputs("someone else's\n", f);
  fclose(f);
  if (geteuid() == 0) {
    ASSERT_EQ(chown(path.c_str(), 4242, 4242), 0);
  } else {
    GTEST_SKIP() << "needs root to give a file away";
  }
}
void Directory(const std::string& path, const std::string&) {
  ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
}

class PlantedTest : public ::testing::TestWithParam<Planted> {};

}  // namespace

TEST_P(PlantedTest, NeitherWriterNorReaderUsesIt) {
  const Planted& p = GetParam();
  CaptureLog log;
  TempDir elsewhere, results;
  std::string target = elsewhere.write("root-only", "precious\n");
  ASSERT_EQ(chmod(target.c_str(), 0600), 0);
  struct stat before;
  ASSERT_EQ(stat(target.c_str(), &before), 0);
  std::string path = results.file("StubCollect");
  p.plant(path, target);
  if (::testing::Test::IsSkipped()) return;

  alarm(20);  // a FIFO that blocked would hang here
  CollectFile cf;
  EXPECT_EQ(cf.Initialize(path), 0);
  EXPECT_FALSE(cf.IsOpen());
  std::string error;
  FILE* in = OpenOwnFileForReading(path.c_str(), error);
  EXPECT_EQ(in, nullptr);
  if (in) fclose(in);
  EXPECT_EQ(OpenOwnFile(path.c_str(), true, false, error), -1);
  EXPECT_EQ(CountLines(path.c_str()), -1);
  alarm(0);
  EXPECT_NE(error.find(p.why), std::string::npos) << error;
  bool logged = false;
  for (const tqhsm::test::LogLine& l : log.lines)
    logged |= l.text.rfind("Refusing to use " + path + ": " + p.why, 0) == 0;
  EXPECT_TRUE(logged) << error;

  EXPECT_EQ(ReadFile(target), "precious\n");
  struct stat after;
  ASSERT_EQ(stat(target.c_str(), &after), 0);
  EXPECT_EQ(after.st_mtime, before.st_mtime);
  EXPECT_EQ(after.st_size, before.st_size);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, PlantedTest,
    ::testing::Values(Planted{"SymlinkToARootFile", Symlink, "it is a symbolic link"},
                      Planted{"DanglingSymlink", Dangling, "it is a symbolic link"},
                      Planted{"HardLinkToARootFile", HardLink, "it has 2 hard links"},
                      Planted{"Fifo", Fifo, "it is a FIFO"},
                      Planted{"AnotherUsersFile", OtherUser, "it belongs to user 4242"},
                      Planted{"Directory", Directory, "it is a directory"}),
    [](const ::testing::TestParamInfo<Planted>& info) { return std::string(info.param.name); });

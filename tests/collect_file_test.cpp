#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "CaptureLog.h"
#include "CollectFile.h"
#include "FileUtf.h"
#include "TempDir.h"

using tqhsm::test::CaptureLog;
using tqhsm::test::ReadFile;
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

// Fails every write once `failAfter` bytes went through, with the given errno.
class FailingWrites : public tqhsm::FileSystemWrapper {
 public:
  FailingWrites(size_t failAfter, int err) : m_left(failAfter), m_err(err) {}
  ssize_t write(int fd, const void* data, size_t size) override {
    if (m_left == 0) {
      errno = m_err;
      return -1;
    }
    size_t n = size < m_left ? size : m_left;
    m_left -= n;
    return FileSystemWrapper::write(fd, data, n);
  }
  size_t m_left;
  int m_err;
};

class FailingSync : public tqhsm::FileSystemWrapper {
 public:
  int fsync(int) override {
    errno = EIO;
    return -1;
  }
};

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

TEST(CollectFileTest, InitializeFailsWhenTheFileCannotBeCreated) {
  CaptureLog log;
  CollectFile cf;
  EXPECT_EQ(cf.Initialize("/nonexistent-dir-for-tqhsm/StubCollect"), 0);
  EXPECT_FALSE(cf.IsOpen());
  EXPECT_EQ(cf.AddToCollectFile("/a:1", true, true, 0), 0);
  EXPECT_NE(cf.DeInitialize(), 0);  // nothing open, nothing lost
}

TEST(CollectFileTest, AFailedWriteIsAFailureAndLeavesOnlyWholeLines) {
  CaptureLog log;
  TempDir dir;
  std::string path = dir.file("c");
  // Enough lines to overflow the buffer; the disk "fills" part-way through a line.
  const size_t budget = CollectFile::kBufferSize / 2 + 7;
  FailingWrites fs(budget, ENOSPC);
  tqhsm::ScopedBackend<tqhsm::FileSystem> scope(&fs);

  CollectFile cf;
  ASSERT_NE(cf.Initialize(path), 0);
  const std::string entry(100, 'x');
  int result = 1;
  size_t accepted = 0;
  while (result != 0 && accepted < 10000) {
    result = cf.AddToCollectFile(entry + ":" + std::to_string(accepted), true, true, 0);
    if (result) ++accepted;
  }
  EXPECT_EQ(result, 0) << "the full disk must be reported";
  EXPECT_EQ(cf.AddToCollectFile("/later:1", true, true, 0), 0) << "a failed writer stays failed";
  EXPECT_EQ(cf.DeInitialize(), 0);

  std::string content = ReadFile(path);
  ASSERT_FALSE(content.empty());
  EXPECT_EQ(content.back(), '\n');
  EXPECT_LE(content.size(), budget);
  std::vector<HSMCollectFile> back = ReadAll(path);
  EXPECT_EQ(static_cast<long>(back.size()), CountLines(path.c_str()));
  EXPECT_TRUE(log.hasText("Failed to write collect file " + path + ": " +
                          std::string(strerror(ENOSPC))));
}

TEST(CollectFileTest, AFailureAtCloseIsReported) {
  CaptureLog log;
  TempDir dir;
  {
    FailingWrites fs(0, EIO);
    tqhsm::ScopedBackend<tqhsm::FileSystem> scope(&fs);
    CollectFile cf;
    ASSERT_NE(cf.Initialize(dir.file("a")), 0);
    EXPECT_NE(cf.AddToCollectFile("/buffered:1", true, true, 0), 0);  // still in the buffer
    EXPECT_EQ(cf.DeInitialize(), 0);
  }
  {
    FailingSync fs;
    tqhsm::ScopedBackend<tqhsm::FileSystem> scope(&fs);
    CollectFile cf;
    ASSERT_NE(cf.Initialize(dir.file("b")), 0);
    EXPECT_NE(cf.AddToCollectFile("/x:1", true, true, 0), 0);
    EXPECT_EQ(cf.DeInitialize(), 0);
  }
}

TEST(CollectFileTest, RealFullDeviceIsReported) {
  CaptureLog log;
  CollectFile cf;
  if (!cf.Initialize("/dev/full")) GTEST_SKIP() << "/dev/full cannot be opened here";
  EXPECT_NE(cf.AddToCollectFile("/a:1", true, true, 0), 0);
  EXPECT_EQ(cf.DeInitialize(), 0);
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

#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "CaptureLog.h"
#include "HSMLowLevel.h"
#include "ScanFakes.h"
#include "StubFiles.h"
#include "StubFormat.h"
#include "StubKey.h"
#include "TempDir.h"
#include "TestUser.h"

using namespace tqhsm::test;
using tqhsm::ScopedBackend;
using tqhsm::StubKey;
using tqhsm::StubKeyFile;

namespace {

const char* kTag = "StubKey";

// The tag of a fixed message under a key source, as hex; "" without a key.
std::string TagOf(StubKey& key) {
  const tqhsm::StubMac* mac = key.mac(nullptr);
  if (!mac) return "";
  unsigned char tag[tqhsm::kStubMacSize];
  const char text[] = "a stub record";
  if (!mac->sign(text, sizeof text, tag)) return "";
  std::string hex;
  for (unsigned char c : tag) {
    char b[3];
    snprintf(b, sizeof b, "%02x", c);
    hex += b;
  }
  return hex;
}

}  // namespace

TEST(StubKeyTest, MadeOnFirstUseRootOnlyAndReadAlikeAfterwards) {
  CaptureLog log;
  TempDir dir;
  std::string path = dir.file("state/deeper/stub.key");  // the directories are made too
  StubKeyFile first(path);
  std::string tag = TagOf(first);
  ASSERT_FALSE(tag.empty()) << (log.lines.empty() ? "" : log.lines[0].text);
  struct stat st;
  ASSERT_EQ(lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(st.st_uid, geteuid());
  EXPECT_EQ(st.st_size, static_cast<off_t>(tqhsm::kNewStubKeySize));
  EXPECT_TRUE(log.has(kTag, "Made a new stub key " + path + "."));
  // No temporary file is left beside it.
  DIR* d = opendir(dir.file("state/deeper").c_str());
  ASSERT_NE(d, nullptr);
  std::vector<std::string> names;
  while (struct dirent* e = readdir(d))
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
      names.push_back(e->d_name);
  closedir(d);
  EXPECT_EQ(names, std::vector<std::string>{"stub.key"});

  // Another process of the same deployment reads the same key.
  StubKeyFile second(path);
  EXPECT_EQ(TagOf(second), tag);
  // A different key gives different tags.
  tqhsm::FixedStubKey other("0123456789abcdef");
  EXPECT_NE(TagOf(other), tag);
}

TEST(StubKeyTest, ProcessesThatMakeItAtOnceEndUpWithOneKey) {
  TempDir dir;
  std::string path = dir.file("stub.key");
  const int kProcesses = 6;
  int pipes[kProcesses][2];
  pid_t pids[kProcesses];
  for (int i = 0; i < kProcesses; ++i) {
    ASSERT_EQ(pipe(pipes[i]), 0);
    pids[i] = fork();
    ASSERT_GE(pids[i], 0);
    if (pids[i] == 0) {
      StubKeyFile key(path);
      std::string tag = TagOf(key);
      ssize_t n = write(pipes[i][1], tag.data(), tag.size());
      _exit(n == static_cast<ssize_t>(tag.size()) && !tag.empty() ? 0 : 1);
    }
    close(pipes[i][1]);
  }
  std::set<std::string> tags;
  for (int i = 0; i < kProcesses; ++i) {
    char buf[128];
    ssize_t n = read(pipes[i][0], buf, sizeof buf);
    close(pipes[i][0]);
    int status = 0;
    ASSERT_EQ(waitpid(pids[i], &status, 0), pids[i]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    if (n > 0) tags.insert(std::string(buf, static_cast<size_t>(n)));
  }
  EXPECT_EQ(tags.size(), 1u);
  StubKeyFile later(path);
  EXPECT_EQ(TagOf(later), *tags.begin());
}

TEST(StubKeyTest, KeyFilesThatOthersCouldReadOrPlantAreRefused) {
  TempDir dir;
  std::string good = dir.file("good.key");
  {
    StubKeyFile make(good);
    ASSERT_NE(make.mac(nullptr), nullptr);
  }
  std::string content = ReadFile(good);
  struct Case {
    const char* name;
    std::string (*arrange)(const TempDir&, const std::string&);
    const char* reason;
  };
  const Case cases[] = {
      {"symbolic link to a good key",
       [](const TempDir& d, const std::string& key) {
         std::string p = d.file("link.key");
         symlink(d.file("good.key").c_str(), p.c_str());
         (void)key;
         return p;
       },
       "it is a symbolic link"},
      {"group-readable",
       [](const TempDir& d, const std::string& key) {
         std::string p = d.write("group.key", key);
         chmod(p.c_str(), 0640);
         return p;
       },
       "its group or others have access to it (mode 0640)"},
      {"world-readable",
       [](const TempDir& d, const std::string& key) {
         std::string p = d.write("world.key", key);
         chmod(p.c_str(), 0604);
         return p;
       },
       "its group or others have access to it (mode 0604)"},
      {"owned by another user",
       [](const TempDir& d, const std::string& key) {
         std::string p = d.write("other.key", key);
         chmod(p.c_str(), 0600);
         if (chown(p.c_str(), 4321, 4321) != 0) return std::string();
         return p;
       },
       "it is owned by uid 4321"},
      {"a FIFO",
       [](const TempDir& d, const std::string&) {
         std::string p = d.file("fifo.key");
         mkfifo(p.c_str(), 0600);
         return p;
       },
       "it is not a regular file"},
      {"a directory",
       [](const TempDir& d, const std::string&) {
         std::string p = d.file("dir.key");
         mkdir(p.c_str(), 0700);
         return p;
       },
       "it is not a regular file"},
      {"too short",
       [](const TempDir& d, const std::string&) {
         std::string p = d.write("short.key", "0123456789");
         chmod(p.c_str(), 0600);
         return p;
       },
       "it holds 10 bytes, not 16 to 4096"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = c.arrange(dir, content);
    if (path.empty()) {
      if (geteuid() == 0) ADD_FAILURE() << "cannot arrange " << c.name;
      continue;
    }
    CaptureLog log;
    StubKeyFile key(path);
    std::string why;
    EXPECT_EQ(key.mac(&why), nullptr);
    EXPECT_NE(why.find(c.reason), std::string::npos) << why;
    EXPECT_EQ(key.mac(nullptr), nullptr);  // asked again: no second look, no second line
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0].kind, tqhsm::LogKind::Error);
    EXPECT_EQ(log.lines[0].tag, kTag);
    const std::string& text = log.lines[0].text;
    EXPECT_EQ(text.rfind("Stub key " + path + " refused: " + c.reason, 0), 0u) << text;
    EXPECT_NE(text.find("No stub is taken as authentic and none can be made"), std::string::npos);

    // Under that key nothing is authentic and nothing can be signed.
    ScopedBackend<StubKey> scope(&key);
    std::vector<char> out;
    EXPECT_FALSE(tqhsm::EncodeStubData(SampleStub(), out, &why));
    EXPECT_NE(why.find("no stub key"), std::string::npos) << why;
  }
  // The good key itself is still taken.
  StubKeyFile key(good);
  EXPECT_NE(key.mac(nullptr), nullptr);
}

TEST(StubKeyTest, StubFileNeedsAKeyAndLeavesTheFileAsItWas) {
  CaptureLog log;
  TempDir dir;
  std::string f = dir.file("f");
  WritePattern(f, 9000);
  std::string content = ReadFile(f);
  std::string path = dir.write("bad.key", std::string(32, 'k'));
  chmod(path.c_str(), 0644);
  StubKeyFile key(path);
  ScopedBackend<StubKey> scope(&key);
  std::string why;
  EXPECT_FALSE(MakeStub(f, SampleStub(), -1, false, &why));
  EXPECT_NE(why.find("Cannot make the stub data of " + f + ": no stub key"), std::string::npos)
      << why;
  EXPECT_EQ(ReadFile(f), content);
  std::vector<char> attr;
  EXPECT_FALSE(GetStubXattr(f, attr));
}

TEST(StubKeyTest, PathComesFromTheConfiguration) {
  {
    ScopedConfig config("[HSM]\nStubKey = /etc/tqhsm/stub.key\nStateDirectory = /srv/state\n");
    EXPECT_EQ(tqhsm::StubKeyPath(), "/etc/tqhsm/stub.key");
  }
  {
    ScopedConfig config("[HSM]\nStateDirectory = /srv/state/\n");
    EXPECT_EQ(tqhsm::StubKeyPath(), "/srv/state/stub.key");
  }
  {
    ScopedConfig config("");
    EXPECT_EQ(tqhsm::StubKeyPath(), "/var/lib/tqhsm/stub.key");
  }
  // The configured path is taken at the first use.
  TempDir dir;
  ScopedConfig config("[HSM]\nStateDirectory = " + dir.file("st") + "\n");
  StubKeyFile key;
  EXPECT_TRUE(key.path().empty());
  CaptureLog log;
  EXPECT_NE(key.mac(nullptr), nullptr);
  EXPECT_EQ(key.path(), dir.file("st") + "/stub.key");
  EXPECT_TRUE(FileExists(dir.file("st/stub.key")));
}

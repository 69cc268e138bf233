// The scan's tree walk on real trees: name order, links never followed, a
// directory swapped under the walk between its look and its open, nested
// mounts and bind-mount cycles, unreadable and vanishing entries, trees deeper
// than the descriptor budget, and an early stop.

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "SafePath.h"
#include "TempDir.h"
#include "TestUser.h"
#include "walk/TreeWalk.h"

namespace {

using tqhsm::test::TempDir;
using tqhsm::test::TestUser;
using tqhsm::walk::Action;
using tqhsm::walk::Entry;
using tqhsm::walk::Problem;
using tqhsm::walk::Walk;
using tqhsm::walk::WalkOptions;
using tqhsm::walk::WalkProblem;

int OpenDescriptors() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return -1;
  while (readdir(dir)) ++count;
  closedir(dir);
  return count;
}

const char* ProblemName(Problem p) {
  switch (p) {
    case Problem::kStat: return "stat";
    case Problem::kOpen: return "open";
    case Problem::kRead: return "read";
    case Problem::kChanged: return "changed";
    case Problem::kMoved: return "moved";
  }
  return "?";
}

// Records every call as one line: "D a/b", "F a/b/c", "O link", "C loop",
// "P changed d" (paths relative to the root, "." for the root itself), and
// checks on the way what must hold of every entry.
class Recorder : public tqhsm::walk::Visitor {
 public:
  explicit Recorder(std::string root) : m_sRoot(std::move(root)) {}

  Action directory(Entry& e) override {
    check(e);
    add("D", e.m_pPath);
    e.m_lNumber = ++m_lNextNumber;
    m_vecNumbers.push_back(e.m_lNumber);
    return onDirectory ? onDirectory(e) : Action::kContinue;
  }
  Action file(Entry& e) override {
    check(e);
    add("F", e.m_pPath);
    m_vecParentNumbers.push_back(e.m_lParentNumber);
    return onFile ? onFile(e) : Action::kContinue;
  }
  Action other(Entry& e) override {
    check(e);
    add("O", e.m_pPath);
    return Action::kContinue;
  }
  Action cycle(Entry& e) override {
    add("C", e.m_pPath);
    return Action::kContinue;
  }
  Action problem(const WalkProblem& p) override {
    add(std::string("P ") + ProblemName(p.m_problem), p.m_pPath);
    texts.push_back(p.m_pText);
    errors.push_back(p.m_nErrno);
    return Action::kContinue;
  }

  std::function<Action(Entry&)> onDirectory;
  std::function<Action(Entry&)> onFile;
  std::vector<std::string> seen;
  std::vector<std::string> texts;
  std::vector<int> errors;
  std::vector<long> m_vecNumbers;
  std::vector<long> m_vecParentNumbers;
  bool m_bStatsMatch = true;

 private:
  void add(const std::string& what, const std::string& path) {
    std::string rel = path == m_sRoot ? "." : path.substr(m_sRoot.size() + 1);
    seen.push_back(what + " " + rel);
  }
  // The record handed over is the entry's own (never followed) and the path
  // names it; the level counts the components below the root.
  void check(const Entry& e) {
    struct stat st;
    if (lstat(e.m_pPath, &st) != 0 || st.st_ino != e.m_pStat->st_ino ||
        st.st_dev != e.m_pStat->st_dev || std::string(e.m_pPath).size() != e.m_nPathLen)
      m_bStatsMatch = false;
    std::string p = e.m_pPath;
    int level = 0;
    if (p != m_sRoot)
      for (size_t i = m_sRoot.size(); i < p.size(); ++i) level += p[i] == '/';
    if (level != e.m_nLevel) m_bStatsMatch = false;
  }

  std::string m_sRoot;
  long m_lNextNumber = 0;
};

void MakeFile(const std::string& path, const std::string& content = "x") {
  FILE* f = fopen(path.c_str(), "w");
  ASSERT_NE(nullptr, f) << path;
  fputs(content.c_str(), f);
  fclose(f);
}

class TreeWalkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_sRoot = m_tmp.file("root");
    m_sOutside = m_tmp.file("outside");
    ASSERT_EQ(0, mkdir(m_sRoot.c_str(), 0755));
    ASSERT_EQ(0, mkdir(m_sOutside.c_str(), 0700));
    MakeFile(m_sOutside + "/secret");
  }
  std::string at(const std::string& rel) const { return m_sRoot + "/" + rel; }
  void dir(const std::string& rel) { ASSERT_EQ(0, mkdir(at(rel).c_str(), 0755)) << rel; }
  void file(const std::string& rel) { MakeFile(at(rel)); }

  TempDir m_tmp;
  std::string m_sRoot;
  std::string m_sOutside;
};

// Byte order within each directory (as strcmp), each directory's entries
// right after it; links are reported as other entries and never followed.
TEST_F(TreeWalkTest, NameOrderAndLinksNeverFollowed) {
  dir("b");
  dir("a");
  dir("a/sub");
  dir("empty");
  file("B");
  file("a.b");
  file("a-b");
  file("ab");
  file("a/sub/z");
  file("a/y");
  file("\xc3\xa9t\xc3\xa9");  // UTF-8 sorts after every ASCII name
  file("b/one");
  ASSERT_EQ(0, symlink(m_sOutside.c_str(), at("b/dirlink").c_str()));
  ASSERT_EQ(0, symlink((m_sOutside + "/secret").c_str(), at("filelink").c_str()));
  ASSERT_EQ(0, symlink("nowhere", at("dangling").c_str()));
  ASSERT_EQ(0, mkfifo(at("fifo").c_str(), 0644));

  Recorder r(m_sRoot);
  const int before = OpenDescriptors();
  EXPECT_TRUE(Walk(m_sRoot, r));
  EXPECT_EQ(before, OpenDescriptors());
  const std::vector<std::string> expected = {
      "D .",         "F B",        "D a",         "D a/sub",  "F a/sub/z", "F a/y",
      "F a-b",       "F a.b",      "F ab",        "D b",      "O b/dirlink", "F b/one",
      "O dangling",  "D empty",    "O fifo",      "O filelink",
      "F \xc3\xa9t\xc3\xa9",
  };
  EXPECT_EQ(expected, r.seen);
  EXPECT_TRUE(r.m_bStatsMatch);
  // Each file sees the number its directory was given: B (root = 1), z (a/sub = 3),
  // y (a = 2), a-b, a.b, ab (root), one (b = 4), the last (root).
  EXPECT_EQ((std::vector<long>{1, 3, 2, 1, 1, 1, 4, 1}), r.m_vecParentNumbers);
}

// The root is resolved without links: a link anywhere in it is refused (it
// was not there when realpath looked), a file root is one entry, a missing
// root a problem.
TEST_F(TreeWalkTest, RootIsOpenedWithoutFollowingLinks) {
  file("plain");
  dir("real");
  file("real/inside");
  ASSERT_EQ(0, symlink(at("real").c_str(), at("link").c_str()));
  struct Case {
    std::string root;
    std::vector<std::string> seen;
  };
  const std::vector<Case> cases = {
      {at("link"), {"P changed link"}},
      {at("link/inside"), {"P changed link/inside"}},
      {at("plain"), {"F plain"}},
      {at("missing"), {"P open missing"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.root);
    Recorder r(m_sRoot);
    EXPECT_TRUE(Walk(c.root, r));
    EXPECT_EQ(c.seen, r.seen);
  }
  for (auto openFn : {&tqhsm::OpenNoFollow, &tqhsm::OpenNoFollowByWalk}) {
    int fd = openFn(at("real").c_str(), O_RDONLY | O_DIRECTORY);
    EXPECT_GE(fd, 0);
    close(fd);
    fd = openFn("/", O_PATH);
    EXPECT_GE(fd, 0);
    close(fd);
    for (const std::string& refused : {at("link"), at("link/inside")}) {
      errno = 0;
      EXPECT_EQ(-1, openFn(refused.c_str(), O_PATH)) << refused;
      EXPECT_EQ(ELOOP, errno) << refused;
    }
    errno = 0;
    EXPECT_EQ(-1, openFn(at("plain/x").c_str(), O_PATH));
    EXPECT_EQ(ENOTDIR, errno);
  }
}

// A directory swapped between the look at its entry and its open (exactly
// there, through the walk's hook) is never read: for a link to a root-only
// directory, for another directory put in its place, and for a file. Its name
// is reported as changed; the walk goes on with the next entry.
TEST_F(TreeWalkTest, DirectorySwappedBeforeItsOpenIsSkippedAsChanged) {
  struct Swap {
    const char* what;
    std::function<void(const std::string& d, const std::string& outside)> swap;
  };
  const std::vector<Swap> swaps = {
      {"a link to a root-only directory",
       [](const std::string& d, const std::string& outside) {
         ASSERT_EQ(0, rename(d.c_str(), (d + ".moved").c_str()));
         ASSERT_EQ(0, symlink(outside.c_str(), d.c_str()));
       }},
      {"another directory",
       [](const std::string& d, const std::string&) {
         ASSERT_EQ(0, rename(d.c_str(), (d + ".moved").c_str()));
         ASSERT_EQ(0, mkdir(d.c_str(), 0755));
         MakeFile(d + "/planted");
       }},
      {"a file",
       [](const std::string& d, const std::string&) {
         ASSERT_EQ(0, rename(d.c_str(), (d + ".moved").c_str()));
         MakeFile(d);
       }},
  };
  for (const Swap& s : swaps) {
    SCOPED_TRACE(s.what);
    std::string rm = "rm -rf '" + m_sRoot + "'/*";
    ASSERT_EQ(0, system(rm.c_str()));
    dir("d");
    file("d/mine");
    file("e");
    WalkOptions options;
    int hooked = 0;
    options.m_beforeOpen = [&](int, const char* name, const char* path) {
      if (std::string(name) != "d") return;
      ++hooked;
      s.swap(path, m_sOutside);
    };
    Recorder r(m_sRoot);
    EXPECT_TRUE(Walk(m_sRoot, r, options));
    EXPECT_EQ(1, hooked);
    EXPECT_EQ((std::vector<std::string>{"D .", "D d", "P changed d", "F e"}), r.seen);
    ASSERT_EQ(1u, r.texts.size());
    EXPECT_NE(std::string::npos, r.texts[0].find("changed during the walk"));
  }
}

// The same-file-system rule needs the device of the directory that holds each
// entry: across a real tmpfs mounted in the tree, and a bind mount of the
// root below itself is a cycle that is never entered.
TEST_F(TreeWalkTest, NestedMountsAndCycles) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to mount";
  dir("mnt");
  dir("sub");
  dir("sub/loop");
  file("sub/f");
  if (mount("tmpfs", at("mnt").c_str(), "tmpfs", 0, "size=1m") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
  struct Unmount {
    std::vector<std::string> points;
    ~Unmount() {
      for (auto it = points.rbegin(); it != points.rend(); ++it) umount2(it->c_str(), MNT_DETACH);
    }
  } unmount;
  unmount.points.push_back(at("mnt"));
  file("mnt/inner");
  bool bound = mount(m_sRoot.c_str(), at("sub/loop").c_str(), nullptr, MS_BIND, nullptr) == 0;
  if (bound) unmount.points.push_back(at("sub/loop"));

  struct stat rootSt, mntSt;
  ASSERT_EQ(0, stat(m_sRoot.c_str(), &rootSt));
  ASSERT_EQ(0, stat(at("mnt").c_str(), &mntSt));
  ASSERT_NE(rootSt.st_dev, mntSt.st_dev);

  for (bool cross : {false, true}) {
    SCOPED_TRACE(cross ? "entering other file systems" : "one file system");
    Recorder r(m_sRoot);
    std::vector<std::string> crossings;
    r.onDirectory = [&](Entry& e) {
      if (e.m_pStat->st_dev == e.m_parentDev) return Action::kContinue;
      crossings.push_back(e.m_pPath);
      return cross ? Action::kContinue : Action::kSkip;
    };
    dev_t innerParent = 0;
    r.onFile = [&](Entry& e) {
      if (std::string(e.m_pName) == "inner") innerParent = e.m_parentDev;
      return Action::kContinue;
    };
    EXPECT_TRUE(Walk(m_sRoot, r));
    EXPECT_EQ(std::vector<std::string>{at("mnt")}, crossings);
    std::vector<std::string> expected = {"D .", "D mnt"};
    if (cross) expected.push_back("F mnt/inner");
    expected.insert(expected.end(), {"D sub", "F sub/f", bound ? "C sub/loop" : "D sub/loop"});
    EXPECT_EQ(expected, r.seen);
    if (cross) {
      EXPECT_EQ(mntSt.st_dev, innerParent);
    }
  }
  if (!bound) GTEST_SKIP() << "no bind mount here: the cycle case did not run";
}

// What cannot be read is reported and the walk goes on: a directory its user
// may not open (the walk runs as the test user), and an entry that vanished
// between the listing and its look.
TEST_F(TreeWalkTest, UnreadableAndVanishingEntriesAreReported) {
  dir("a");
  dir("locked");
  file("locked/hidden");
  file("z");
  file("a/first");
  file("a/gone");
  Recorder r(m_sRoot);
  r.onFile = [&](Entry& e) {
    if (std::string(e.m_pName) == "first") unlink(at("a/gone").c_str());
    return Action::kContinue;
  };
  EXPECT_TRUE(Walk(m_sRoot, r));
  EXPECT_EQ((std::vector<std::string>{"D .", "D a", "F a/first", "P stat a/gone", "D locked",
                                      "F locked/hidden", "F z"}),
            r.seen);
  EXPECT_EQ(ENOENT, r.errors[0]);

  TQHSM_REQUIRE_TEST_USER();
  ASSERT_EQ(0, chmod(m_tmp.path().c_str(), 0755));
  ASSERT_EQ(0, chmod(at("locked").c_str(), 0));
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  const std::string root = m_sRoot;
  int rc = TestUser::Run([&]() {
    close(fds[0]);
    Recorder mine(root);
    bool ended = Walk(root, mine);
    std::string out;
    for (const std::string& s : mine.seen) out += s + "\n";
    if (!mine.errors.empty()) out += "errno " + std::to_string(mine.errors.back()) + "\n";
    return ended && write(fds[1], out.data(), out.size()) == static_cast<ssize_t>(out.size())
               ? 0
               : 1;
  });
  close(fds[1]);
  std::string got;
  char buf[512];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  EXPECT_EQ(0, rc);
  EXPECT_EQ("D .\nD a\nF a/first\nD locked\nP open locked\nF z\nerrno " +
                std::to_string(EACCES) + "\n",
            got);
}

// A path deeper than the descriptor budget: the walk is the same as with
// descriptors to spare and never holds more than its budget; a directory of
// the closed part that another moved away meanwhile is reported, and the walk
// goes on above it.
TEST_F(TreeWalkTest, DeepTreesStayWithinTheDescriptorBudget) {
  std::string rel;
  for (int i = 1; i <= 6; ++i) {
    rel += (rel.empty() ? "" : "/") + std::string("l") + std::to_string(i);
    dir(rel);
    file(rel + "/a");
    file(rel + "/z");
  }
  dir("l1/m");
  file("l1/m/f");

  Recorder wide(m_sRoot);
  EXPECT_TRUE(Walk(m_sRoot, wide));
  const int base = OpenDescriptors();
  int most = 0;
  Recorder narrow(m_sRoot);
  narrow.onFile = [&](Entry&) {
    most = std::max(most, OpenDescriptors() - base);
    return Action::kContinue;
  };
  WalkOptions two;
  two.m_nMaxOpenDirs = 2;
  EXPECT_TRUE(Walk(m_sRoot, narrow, two));
  EXPECT_EQ(wide.seen, narrow.seen);
  EXPECT_LE(most, 2);
  EXPECT_EQ(base, OpenDescriptors());

  // While the walk is in l1/l2/l3/l4, l3 is moved out of l2 and l2 renamed:
  // l3 is still finished (its descriptor came back through ".." of l4), l2's
  // rest is out of reach, and l1 goes on with m and z.
  ASSERT_EQ(0, mkdir(m_tmp.file("away").c_str(), 0755));
  Recorder moved(m_sRoot);
  WalkOptions hooked = two;
  hooked.m_beforeOpen = [&](int, const char* name, const char*) {
    if (std::string(name) != "l4") return;
    ASSERT_EQ(0, rename(at("l1/l2/l3").c_str(), m_tmp.file("away/l3").c_str()));
    ASSERT_EQ(0, rename(at("l1/l2").c_str(), at("l1/l2b").c_str()));
  };
  EXPECT_TRUE(Walk(m_sRoot, moved, hooked));
  const std::vector<std::string> expected = {
      "D .",  "D l1", "F l1/a", "D l1/l2", "F l1/l2/a", "D l1/l2/l3", "F l1/l2/l3/a",
      "D l1/l2/l3/l4", "F l1/l2/l3/l4/a", "D l1/l2/l3/l4/l5", "F l1/l2/l3/l4/l5/a",
      "D l1/l2/l3/l4/l5/l6", "F l1/l2/l3/l4/l5/l6/a", "F l1/l2/l3/l4/l5/l6/z",
      "F l1/l2/l3/l4/l5/z", "F l1/l2/l3/l4/z", "F l1/l2/l3/z", "P moved l1/l2",
      "D l1/m", "F l1/m/f", "F l1/z",
  };
  EXPECT_EQ(expected, moved.seen);
  EXPECT_EQ(base, OpenDescriptors());
}

// A visitor that stops ends the walk at once, with every descriptor closed.
TEST_F(TreeWalkTest, StopEndsTheWalk) {
  dir("a");
  dir("a/b");
  file("a/b/1");
  file("a/b/2");
  file("c");
  Recorder r(m_sRoot);
  r.onFile = [](Entry&) { return Action::kStop; };
  const int before = OpenDescriptors();
  EXPECT_FALSE(Walk(m_sRoot, r));
  EXPECT_EQ((std::vector<std::string>{"D .", "D a", "D a/b", "F a/b/1"}), r.seen);
  EXPECT_EQ(before, OpenDescriptors());

  Recorder skip(m_sRoot);
  skip.onDirectory = [](Entry& e) {
    return std::string(e.m_pName) == "a" ? Action::kSkip : Action::kContinue;
  };
  EXPECT_TRUE(Walk(m_sRoot, skip));
  EXPECT_EQ((std::vector<std::string>{"D .", "D a", "F c"}), skip.seen);
}

}  // namespace

#include "TreeWalk.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <cerrno>
#include <cstring>

#include "SafePath.h"

namespace tqhsm {
namespace walk {

Visitor::~Visitor() = default;

Action Visitor::cycle(Entry&) { return Action::kContinue; }

namespace {

const char kChangedText[] =
    "changed during the walk (swapped for another entry between its look and its open); "
    "skipped";
const char kMovedText[] = "moved during the walk; the rest of it is skipped";

bool sameObject(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// One directory of the current path.
struct Frame {
  int m_nFd = -1;  // -1 while closed to spare descriptors
  struct stat m_stat;
  std::string m_sNames;                // the entries' names, each ended by a NUL
  std::vector<uint32_t> m_vecOffsets;  // where each name starts, in name order
  size_t m_nNext = 0;                  // the next name to look at
  size_t m_nPathLen = 0;               // length of the directory's own path
  long m_lNumber = 0;
  int m_nLevel = 0;
};

// The walk keeps the root's descriptor open throughout and, below it, those of
// the deepest levels of the current path: frames 1 .. m_nClosedEnd - 1 have
// theirs closed when the path is deeper than the descriptor budget.
class TreeWalk {
 public:
  TreeWalk(Visitor& visitor, const WalkOptions& options)
      : m_visitor(visitor), m_options(options) {
    if (m_options.m_nMaxOpenDirs < 2) m_options.m_nMaxOpenDirs = 2;
  }
  ~TreeWalk() {
    while (m_nDepth > 0) pop();
  }
  TreeWalk(const TreeWalk&) = delete;
  TreeWalk& operator=(const TreeWalk&) = delete;

  bool run(const std::string& root);

 private:
  Action report(Problem problem, int err, const char* text = nullptr) {
    WalkProblem p;
    p.m_problem = problem;
    p.m_pPath = m_sPath.c_str();
    p.m_nErrno = err;
    p.m_pText = text ? text : std::strerror(err);
    return m_visitor.problem(p);
  }
  Frame& push(int fd, const struct stat& st, long number, int level);
  void pop();
  bool readNames(Frame& frame);
  bool isAncestor(const struct stat& st) const;
  // The top frame's descriptor was closed and the walk is back in it. Up:
  // through ".." of the child just left; down: from the nearest open
  // directory, one recorded name at a time. Either way each directory must be
  // the one recorded (device and inode), or the top stays closed.
  bool reopenUp(int childFd);
  bool reopenDown();
  Action visitEntry(Frame& parent, const char* name);
  Action enter(Entry& entry, int parentFd, const char* name);

  Visitor& m_visitor;
  WalkOptions m_options;
  std::deque<Frame> m_frames;  // reused from one directory to the next; never moved
  size_t m_nDepth = 0;         // frames in use
  size_t m_nClosedEnd = 1;
  std::string m_sPath;
  std::vector<char> m_vecBuffer;
};

Frame& TreeWalk::push(int fd, const struct stat& st, long number, int level) {
  if (m_nDepth == m_frames.size()) m_frames.emplace_back();
  Frame& f = m_frames[m_nDepth++];
  f.m_nFd = fd;
  f.m_stat = st;
  f.m_nNext = 0;
  f.m_nPathLen = m_sPath.size();
  f.m_lNumber = number;
  f.m_nLevel = level;
  if (m_nDepth - (m_nClosedEnd - 1) > m_options.m_nMaxOpenDirs) {
    Frame& spared = m_frames[m_nClosedEnd++];
    close(spared.m_nFd);
    spared.m_nFd = -1;
  }
  return f;
}

void TreeWalk::pop() {
  Frame& f = m_frames[--m_nDepth];
  if (f.m_nFd >= 0) close(f.m_nFd);
  f.m_nFd = -1;
  // A huge directory does not keep its memory once it is done.
  if (f.m_sNames.capacity() > (1u << 20)) {
    std::string().swap(f.m_sNames);
    std::vector<uint32_t>().swap(f.m_vecOffsets);
  }
  if (m_nClosedEnd > m_nDepth) m_nClosedEnd = m_nDepth > 1 ? m_nDepth : 1;
}

bool TreeWalk::readNames(Frame& f) {
  f.m_sNames.clear();
  f.m_vecOffsets.clear();
  if (m_vecBuffer.empty()) m_vecBuffer.resize(64 * 1024);
  for (;;) {
    ssize_t n = getdents64(f.m_nFd, m_vecBuffer.data(), m_vecBuffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) break;
    for (ssize_t at = 0; at < n;) {
      const struct dirent64* d = reinterpret_cast<const struct dirent64*>(&m_vecBuffer[at]);
      at += d->d_reclen;
      const char* name = d->d_name;
      if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
      f.m_vecOffsets.push_back(static_cast<uint32_t>(f.m_sNames.size()));
      f.m_sNames.append(name, std::strlen(name) + 1);
    }
  }
  const char* base = f.m_sNames.data();
  std::sort(f.m_vecOffsets.begin(), f.m_vecOffsets.end(),
            [base](uint32_t a, uint32_t b) { return std::strcmp(base + a, base + b) < 0; });
  return true;
}

bool TreeWalk::isAncestor(const struct stat& st) const {
  for (size_t i = 0; i < m_nDepth; ++i)
    if (sameObject(m_frames[i].m_stat, st)) return true;
  return false;
}

bool TreeWalk::reopenUp(int childFd) {
  Frame& f = m_frames[m_nDepth - 1];
  int fd = openat(childFd, "..", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat st;
  if (fd >= 0 && fstat(fd, &st) == 0 && sameObject(st, f.m_stat)) {
    f.m_nFd = fd;
    m_nClosedEnd = m_nDepth - 1;
    return true;
  }
  if (fd >= 0) close(fd);
  return false;
}

bool TreeWalk::reopenDown() {
  size_t top = m_nDepth - 1;
  size_t from = top;
  while (m_frames[from].m_nFd < 0) --from;  // frame 0 is always open
  int dir = m_frames[from].m_nFd;
  for (size_t i = from + 1; i <= top; ++i) {
    size_t start = m_frames[i - 1].m_nPathLen;
    if (m_sPath[start] == '/') ++start;
    std::string name = m_sPath.substr(start, m_frames[i].m_nPathLen - start);
    int fd = openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir != m_frames[from].m_nFd) close(dir);
    struct stat st;
    if (fd < 0) return false;
    if (fstat(fd, &st) != 0 || !sameObject(st, m_frames[i].m_stat)) {
      close(fd);
      return false;
    }
    dir = fd;
  }
  m_frames[top].m_nFd = dir;
  m_nClosedEnd = top;
  return true;
}

Action TreeWalk::enter(Entry& e, int parentFd, const char* name) {
  if (m_options.m_beforeOpen) m_options.m_beforeOpen(parentFd, name, e.m_pPath);
  int fd = openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    // A link or a non-directory where the directory was: swapped under the walk.
    if (err == ELOOP || err == ENOTDIR) return report(Problem::kChanged, 0, kChangedText);
    return report(Problem::kOpen, err);
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int err = errno;
    close(fd);
    return report(Problem::kOpen, err);
  }
  if (!sameObject(st, *e.m_pStat)) {
    close(fd);
    return report(Problem::kChanged, 0, kChangedText);
  }
  Frame& f = push(fd, st, e.m_lNumber, e.m_nLevel);
  if (!readNames(f)) {
    int err = errno;
    pop();
    return report(Problem::kRead, err);
  }
  return Action::kContinue;
}

Action TreeWalk::visitEntry(Frame& parent, const char* name) {
  m_sPath.resize(parent.m_nPathLen);
  if (m_sPath.back() != '/') m_sPath += '/';
  m_sPath += name;
  struct stat st;
  if (fstatat(parent.m_nFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
    return report(Problem::kStat, errno);
  Entry e;
  e.m_pPath = m_sPath.c_str();
  e.m_nPathLen = m_sPath.size();
  e.m_pName = name;
  e.m_pStat = &st;
  e.m_nLevel = parent.m_nLevel + 1;
  e.m_parentDev = parent.m_stat.st_dev;
  e.m_lParentNumber = parent.m_lNumber;
  e.m_lNumber = parent.m_lNumber;
  if (S_ISREG(st.st_mode)) {
    e.m_kind = EntryKind::kFile;
    return m_visitor.file(e);
  }
  if (!S_ISDIR(st.st_mode)) {
    e.m_kind = EntryKind::kOther;
    return m_visitor.other(e);
  }
  e.m_kind = EntryKind::kDirectory;
  if (isAncestor(st)) return m_visitor.cycle(e);
  Action a = m_visitor.directory(e);
  if (a != Action::kContinue) return a;
  return enter(e, parent.m_nFd, name);
}

bool TreeWalk::run(const std::string& root) {
  m_sPath = root;
  int pathFd = tqhsm::OpenNoFollow(root.c_str(), O_PATH);
  struct stat st;
  if (pathFd < 0 || fstat(pathFd, &st) != 0) {
    int err = errno;
    if (pathFd >= 0) close(pathFd);
    // realpath saw no link there: one that is there now was put there since.
    Action a = err == ELOOP ? report(Problem::kChanged, 0, kChangedText)
                            : report(Problem::kOpen, err);
    return a != Action::kStop;
  }
  Entry e;
  e.m_pPath = m_sPath.c_str();
  e.m_nPathLen = m_sPath.size();
  e.m_pName = m_sPath.c_str();
  e.m_pStat = &st;
  e.m_nLevel = 0;
  e.m_parentDev = st.st_dev;
  e.m_lParentNumber = 0;
  e.m_lNumber = 0;
  Action a;
  if (!S_ISDIR(st.st_mode)) {
    e.m_kind = S_ISREG(st.st_mode) ? EntryKind::kFile : EntryKind::kOther;
    a = S_ISREG(st.st_mode) ? m_visitor.file(e) : m_visitor.other(e);
  } else {
    e.m_kind = EntryKind::kDirectory;
    a = m_visitor.directory(e);
    // "." of the directory that was resolved without links; the hook sees
    // this open like any other.
    if (a == Action::kContinue) a = enter(e, pathFd, ".");
  }
  close(pathFd);
  if (a == Action::kStop) return false;

  while (m_nDepth > 0) {
    Frame& top = m_frames[m_nDepth - 1];
    if (top.m_nFd < 0 && !reopenDown()) {
      // Not where the walk left it: the rest of it is out of reach.
      m_sPath.resize(top.m_nPathLen);
      if (report(Problem::kMoved, 0, kMovedText) == Action::kStop) return false;
      pop();
      continue;
    }
    if (top.m_nNext == top.m_vecOffsets.size()) {
      int childFd = top.m_nFd;
      top.m_nFd = -1;
      pop();
      if (m_nDepth > 0 && m_frames[m_nDepth - 1].m_nFd < 0) reopenUp(childFd);
      close(childFd);
      continue;
    }
    const char* name = top.m_sNames.data() + top.m_vecOffsets[top.m_nNext++];
    if (visitEntry(top, name) == Action::kStop) return false;
  }
  return true;
}

}  // namespace

bool Walk(const std::string& root, Visitor& visitor, const WalkOptions& options) {
  TreeWalk walk(visitor, options);
  return walk.run(root);
}

}  // namespace walk
}  // namespace tqhsm

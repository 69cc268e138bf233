#include "HSMWatch.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Config.h"
#include "FileUtf.h"
#include "HSMLowLevel.h"
#include "MountTable.h"

// Watch lists and the list of migrated directory trees of the HSM low-level
// library, kept in files under the state directory (see HSMWatch.h).

namespace tqhsm {

const char* const kWatchListFile = "watched_dirs";
const char* const kMigratedTreesFile = "migrated_trees";

namespace {

const char* const kDefaultStateDirectory = "/var/lib/tqhsm";
const char* const kWatchListHeader = "tqhsm-watched-dirs 1";
const char* const kMigratedTreesHeader = "tqhsm-migrated-trees 1";
const char* const kLockFile = "lock";

std::string errText(const std::string& what, int err) { return what + ": " + strerror(err); }

std::string encodeField(const std::string& field) {
  std::string out;
  out.reserve(field.size());
  for (char c : field) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\\') {
      char esc[5];
      snprintf(esc, sizeof esc, "\\%03o", static_cast<unsigned>(static_cast<unsigned char>(c)));
      out += esc;
    } else {
      out += c;
    }
  }
  return out;
}

// mkdir -p; true when the directory exists afterwards.
bool makeDirectories(const std::string& dir, std::string& error) {
  struct stat st;
  if (::stat(dir.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return true;
    error = "State directory " + dir + " is not a directory";
    return false;
  }
  for (size_t i = 1; i <= dir.size(); ++i) {
    if (i != dir.size() && dir[i] != '/') continue;
    std::string part = dir.substr(0, i);
    if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
      error = errText("Cannot create state directory " + part, errno);
      return false;
    }
  }
  return true;
}

// Writes the whole buffer, across short writes and interruptions.
bool writeAll(FileSystem& fs, int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = fs.write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// Removes the temporary files "<fileName>.tmp.<pid>" that a writer which died
// before its rename left in dir. A file of a live process is left alone.
void removeStaleTemporaries(FileSystem& fs, const std::string& dir, const std::string& fileName) {
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  const std::string prefix = fileName + ".tmp.";
  while (struct dirent* e = readdir(d)) {
    const char* name = e->d_name;
    if (std::strncmp(name, prefix.c_str(), prefix.size()) != 0) continue;
    const char* digits = name + prefix.size();
    if (!*digits || std::strspn(digits, "0123456789") != std::strlen(digits)) continue;
    errno = 0;
    long pid = std::strtol(digits, nullptr, 10);
    if (errno != 0 || pid <= 0 || pid == static_cast<long>(getpid())) continue;
    if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;  // alive
    fs.unlink((dir + "/" + name).c_str());
  }
  closedir(d);
}

}  // namespace

std::string HSMStateDirectory() {
  std::string dir;
  if (!ConfigSource::Current().getString("HSM", "StateDirectory", dir) || dir.empty())
    dir = kDefaultStateDirectory;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

bool NormalizeWatchPath(const char* path, std::string& normalized, std::string& error) {
  if (!path || !*path) {
    error = "No directory given";
    return false;
  }
  if (path[0] != '/') {
    error = std::string("Not an absolute path: ") + path;
    return false;
  }
  normalized = path;
  while (normalized.size() > 1 && normalized.back() == '/') normalized.pop_back();
  return true;
}

StateList::StateList(std::string directory, std::string fileName, std::string header,
                     size_t fields)
    : m_sDirectory(std::move(directory)),
      m_sPath(m_sDirectory + "/" + fileName),
      m_sHeader(std::move(header)),
      m_nFields(fields) {}

bool StateList::load(std::vector<std::vector<std::string>>& records, std::string& error) const {
  records.clear();
  FILE* in = fopen_utf(m_sPath.c_str(), "r");
  if (!in) {
    if (errno == ENOENT || errno == ENOTDIR) return true;
    error = errText("Cannot read " + m_sPath, errno);
    return false;
  }
  char* line = nullptr;
  size_t capacity = 0;
  ssize_t n;
  long lineNo = 0;
  bool ok = true;
  while ((n = getline(&line, &capacity, in)) > 0) {
    ++lineNo;
    std::string text(line, static_cast<size_t>(n));
    if (text.back() != '\n') {
      error = m_sPath + " is cut short at line " + std::to_string(lineNo);
      ok = false;
      break;
    }
    text.pop_back();
    if (lineNo == 1) {
      if (text != m_sHeader) {
        error = m_sPath + " is not a list of this version (header '" + text + "', expected '" +
                m_sHeader + "')";
        ok = false;
        break;
      }
      continue;
    }
    std::vector<std::string> fields;
    size_t start = 0;
    while (true) {
      size_t blank = text.find(' ', start);
      fields.push_back(DecodeMountField(text.substr(start, blank - start)));
      if (blank == std::string::npos) break;
      start = blank + 1;
    }
    if (fields.size() != m_nFields) {
      error = m_sPath + " is malformed at line " + std::to_string(lineNo);
      ok = false;
      break;
    }
    records.push_back(std::move(fields));
  }
  if (ok && ferror(in)) {
    error = errText("Cannot read " + m_sPath, errno);
    ok = false;
  }
  free(line);
  fclose(in);
  if (!ok) records.clear();
  return ok;
}

bool StateList::store(const std::vector<std::vector<std::string>>& records, bool createDirectory,
                      std::string& error) const {
  if (createDirectory && !makeDirectories(m_sDirectory, error)) return false;
  std::string text = m_sHeader + "\n";
  for (const std::vector<std::string>& r : records) {
    for (size_t i = 0; i < r.size(); ++i) {
      if (i) text += ' ';
      text += encodeField(r[i]);
    }
    text += '\n';
  }

  FileSystem& fs = FileSystem::Current();
  std::string tmp = m_sPath + ".tmp." + std::to_string(static_cast<long>(getpid()));
  // A fresh file of our own: never through a link planted at the name, and
  // not one left over from an earlier process that had this pid.
  fs.unlink(tmp.c_str());
  int fd = fs.open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0644);
  if (fd < 0) {
    error = errText("Cannot create " + tmp, errno);
    return false;
  }
  const char* step = nullptr;
  if (!writeAll(fs, fd, text))
    step = "Cannot write ";
  else if (fs.fsync(fd) != 0)
    step = "Cannot sync ";
  int err = errno;
  if (fs.close(fd) != 0 && !step) {
    step = "Cannot close ";
    err = errno;
  }
  if (!step && fs.rename(tmp.c_str(), m_sPath.c_str()) != 0) {
    err = errno;
    error = errText("Cannot replace " + m_sPath, err);
    fs.unlink(tmp.c_str());
    return false;
  }
  if (step) {
    error = errText(step + tmp, err);
    fs.unlink(tmp.c_str());  // the list itself was not touched
    return false;
  }
  // Make the rename itself durable. Some file systems cannot sync a directory;
  // the new list is in place either way.
  int dirFd = fs.open(m_sDirectory.c_str(), O_RDONLY | O_DIRECTORY, 0);
  if (dirFd >= 0) {
    fs.fsync(dirFd);
    fs.close(dirFd);
  }
  return true;
}

bool StateList::update(bool createDirectory,
                       const std::function<bool(std::vector<std::vector<std::string>>&)>& change,
                       std::string& error) const {
  Lock lock(m_sDirectory, createDirectory);
  if (!lock.ok()) {
    error = lock.error();
    return false;
  }
  std::vector<std::vector<std::string>> records;
  if (!load(records, error)) return false;
  if (!change(records)) return true;
  // A crashed writer's temporary file would stay for good otherwise.
  size_t slash = m_sPath.rfind('/');
  removeStaleTemporaries(FileSystem::Current(), m_sDirectory, m_sPath.substr(slash + 1));
  return store(records, createDirectory, error);
}

StateList::Lock::Lock(const std::string& directory, bool createDirectory) : m_nFd(-1) {
  if (createDirectory && !makeDirectories(directory, m_sError)) return;
  std::string path = directory + "/" + kLockFile;
  FileSystem& fs = FileSystem::Current();
  int fd = fs.open(path.c_str(), O_RDWR | O_CREAT, 0644);
  if (fd < 0) {
    m_sError = errText("Cannot open lock file " + path, errno);
    return;
  }
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    m_sError = errText("Cannot lock " + path, errno);
    fs.close(fd);
    return;
  }
  m_nFd = fd;
}

StateList::Lock::~Lock() {
  // Closing releases the lock, whatever close answers: nothing is written
  // through this descriptor.
  if (m_nFd >= 0) FileSystem::Current().close(m_nFd);
}

}  // namespace tqhsm

using tqhsm::StateList;

namespace {

StateList watchList() {
  return StateList(tqhsm::HSMStateDirectory(), tqhsm::kWatchListFile, tqhsm::kWatchListHeader, 1);
}

StateList migratedTrees() {
  return StateList(tqhsm::HSMStateDirectory(), tqhsm::kMigratedTreesFile,
                   tqhsm::kMigratedTreesHeader, 2);
}

// Removes the records that match; true when there were any.
template <typename Match>
bool eraseRecords(std::vector<std::vector<std::string>>& records, Match match) {
  auto kept = std::remove_if(records.begin(), records.end(), match);
  bool any = kept != records.end();
  records.erase(kept, records.end());
  return any;
}

bool holds(const std::string& tree, const std::string& dir) {
  int rel = ComparePath::Check(dir, tree);
  return rel == ComparePath::eSame || rel == ComparePath::eBelow;
}

}  // namespace

// ---------------------------------------------------------------------------
// Watch list

int TQHSMLowLevel::startWatchingDirTree(const char* dir) {
  std::string d, error;
  if (!tqhsm::NormalizeWatchPath(dir, d, error)) {
    setLastError(error);
    return -1;
  }
  if (!holds(m_sMountPoint, d)) {
    setLastError(d + " is not on the file system mounted at " + m_sMountPoint);
    return -1;
  }
  struct stat st;
  if (stat_utf(d.c_str(), &st) != 0) {
    setLastError(tqhsm::errText("Cannot watch " + d, errno));
    return -1;
  }
  if (!S_ISDIR(st.st_mode)) {
    setLastError("Cannot watch " + d + ": not a directory");
    return -1;
  }
  bool ok = watchList().update(
      true,
      [&d](std::vector<std::vector<std::string>>& records) {
        for (const std::vector<std::string>& r : records)
          if (r[0] == d) return false;
        records.push_back({d});
        return true;
      },
      error);
  if (!ok) {
    setLastError(error);
    return -1;
  }
  return 0;
}

int TQHSMLowLevel::stopWatchingDirTree(const char* dir) {
  std::string d, error;
  if (!tqhsm::NormalizeWatchPath(dir, d, error)) {
    setLastError(error);
    return -1;
  }
  StateList list = watchList();
  // Without a state directory nothing is watched: nothing to take off.
  struct stat st;
  if (::stat(list.directory().c_str(), &st) != 0 && errno == ENOENT) return 0;
  // A directory that is not on the list is off it already.
  bool ok = list.update(
      false,
      [&d](std::vector<std::vector<std::string>>& records) {
        return eraseRecords(records, [&d](const std::vector<std::string>& r) { return r[0] == d; });
      },
      error);
  if (!ok) {
    setLastError(error);
    return -1;
  }
  return 0;
}

int TQHSMLowLevel::isDirWatched(const char* dir) {
  std::string d, error;
  if (!tqhsm::NormalizeWatchPath(dir, d, error)) {
    setLastError(error);
    return -1;
  }
  // Lists are only ever replaced whole, so a read needs no lock.
  std::vector<std::vector<std::string>> records;
  if (!watchList().load(records, error)) {
    setLastError(error);
    return -1;
  }
  // A watched tree covers every directory below it.
  for (const std::vector<std::string>& r : records)
    if (holds(r[0], d)) return 1;
  return 0;
}

// ---------------------------------------------------------------------------
// Migrated directory trees. create: the state directory is made when missing.

TQHSMMigratedDirTrees::TQHSMMigratedDirTrees(bool create, const std::string& clientName)
    : m_bCreate(create), m_sClientName(clientName) {}
TQHSMMigratedDirTrees::~TQHSMMigratedDirTrees() = default;

int TQHSMMigratedDirTrees::wasDirMigrated(const char* dir, std::string& treeRoot) {
  std::string d, error;
  if (!tqhsm::NormalizeWatchPath(dir, d, error)) {
    m_sLastError = error;
    return 0;
  }
  std::vector<std::vector<std::string>> records;
  if (!migratedTrees().load(records, error)) {
    m_sLastError = error;
    return 0;
  }
  // Of the recorded trees that hold dir, the outermost: watching it again
  // covers all the others.
  const std::string* best = nullptr;
  for (const std::vector<std::string>& r : records) {
    if (r[0] != m_sClientName || !holds(r[1], d)) continue;
    if (!best || r[1].size() < best->size()) best = &r[1];
  }
  if (!best) return 0;
  treeRoot = *best;
  return 1;
}

int TQHSMMigratedDirTrees::addTree(const char* dir) {
  std::string d, error;
  if (!tqhsm::NormalizeWatchPath(dir, d, error)) {
    m_sLastError = error;
    return -1;
  }
  bool ok = migratedTrees().update(
      m_bCreate,
      [this, &d](std::vector<std::vector<std::string>>& records) {
        for (const std::vector<std::string>& r : records)
          if (r[0] == m_sClientName && r[1] == d) return false;
        records.push_back({m_sClientName, d});
        return true;
      },
      error);
  if (!ok) {
    m_sLastError = error;
    return -1;
  }
  return 0;
}

int TQHSMMigratedDirTrees::delTree(const char* dir) {
  std::string d, error;
  if (!tqhsm::NormalizeWatchPath(dir, d, error)) {
    m_sLastError = error;
    return -1;
  }
  StateList list = migratedTrees();
  struct stat st;
  if (::stat(list.directory().c_str(), &st) != 0 && errno == ENOENT) return 0;
  bool ok = list.update(
      false,
      [this, &d](std::vector<std::vector<std::string>>& records) {
        return eraseRecords(records, [this, &d](const std::vector<std::string>& r) {
          return r[0] == m_sClientName && r[1] == d;
        });
      },
      error);
  if (!ok) {
    m_sLastError = error;
    return -1;
  }
  return 0;
}

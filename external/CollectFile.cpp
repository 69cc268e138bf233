#include "CollectFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "EvEvent.h"
#include "FileUtf.h"

using tqhsm::FileSystem;

namespace {

const char* kTag = "CollectFile";

std::string errText(int err) { return strerror(err); }

// Why an entry of the file system is not a file the library may write.
std::string kindOf(mode_t mode) {
  if (S_ISLNK(mode)) return "it is a symbolic link";
  if (S_ISFIFO(mode)) return "it is a FIFO";
  if (S_ISDIR(mode)) return "it is a directory";
  if (S_ISSOCK(mode)) return "it is a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "it is a device";
  return "it is not a regular file";
}

// Opens path with flags (O_NOFOLLOW | O_NONBLOCK added) and checks through the
// descriptor that it is a regular file of the effective user without other
// links. -1 with the reason in error and errno set.
int openChecked(const char* path, int flags, std::string& error) {
  FileSystem& fs = FileSystem::Current();
  if (!path || !*path) {
    error = "No file name given";
    errno = ENOENT;  // as open("") would say
    return -1;
  }
  struct stat st;
  int fd = fs.open(path, flags | O_NOFOLLOW | O_NONBLOCK, 0644);
  if (fd < 0) {
    int err = errno;
    if (err == ELOOP)
      error = std::string("Refusing to use ") + path + ": it is a symbolic link";
    else if (err == ENXIO && fs.lstat(path, &st) == 0 && !S_ISREG(st.st_mode))
      error = std::string("Refusing to use ") + path + ": " + kindOf(st.st_mode);
    else if (err == EISDIR)
      error = std::string("Refusing to use ") + path + ": it is a directory";
    else
      error = std::string("Cannot open ") + path + ": " + errText(err);
    errno = err;
    return -1;
  }
  std::string why;
  int err = EPERM;
  if (fs.fstat(fd, &st) != 0) {
    err = errno;
    why = "cannot stat it: " + errText(err);
  } else if (!S_ISREG(st.st_mode)) {
    err = EINVAL;
    why = kindOf(st.st_mode);
  } else if (st.st_uid != geteuid()) {
    why = "it belongs to user " + std::to_string(st.st_uid) + ", not to the scan's user " +
          std::to_string(geteuid());
  } else if (st.st_nlink != 1) {
    why = st.st_nlink == 0 ? std::string("it was removed while being opened")
                           : "it has " + std::to_string(st.st_nlink) + " hard links";
  }
  if (!why.empty()) {
    fs.close(fd);
    error = std::string("Refusing to use ") + path + ": " + why;
    errno = err;
    return -1;
  }
  return fd;
}

// The decimal digits of v, appended.
void appendNumber(std::string& out, long long v) {
  char digits[24];
  char* end = digits + sizeof digits;
  char* p = end;
  unsigned long long u = v < 0 ? 0ULL - static_cast<unsigned long long>(v)
                               : static_cast<unsigned long long>(v);
  do {
    *--p = static_cast<char>('0' + u % 10);
    u /= 10;
  } while (u != 0);
  if (v < 0) *--p = '-';
  out.append(p, static_cast<size_t>(end - p));
}

size_t countLines(const char* data, size_t size) {
  return static_cast<size_t>(std::count(data, data + size, '\n'));
}

}  // namespace

int OpenOwnFile(const char* path, bool append, bool truncate, std::string& error) {
  int fd = openChecked(path, O_WRONLY | O_CREAT | (append ? O_APPEND : 0), error);
  if (fd < 0) return -1;
  // Emptied only now: O_TRUNC would have cut whatever the name led to before
  // the checks.
  if (truncate && FileSystem::Current().ftruncate(fd, 0) != 0) {
    int err = errno;
    error = std::string("Cannot empty ") + path + ": " + errText(err);
    FileSystem::Current().close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

FILE* OpenOwnFileForReading(const char* path, std::string& error) {
  int fd = openChecked(path, O_RDONLY, error);
  if (fd < 0) return nullptr;
  FILE* f = fdopen(fd, "r");
  if (!f) {
    int err = errno;
    error = std::string("Cannot read ") + path + ": " + errText(err);
    FileSystem::Current().close(fd);
    errno = err;
  }
  return f;
}

CollectFile::CollectFile()
    : m_nFd(-1),
      m_cSeperator('|'),
      m_bFailed(false),
      m_bWriteThrough(false),
      m_bShortOfRoom(false),
      m_bRefusing(false),
      m_bSyncFailed(false),
      m_lWritten(0),
      m_lFileEnd(0),
      m_lReserved(0),
      m_lStep(kReserveStep),
      m_lBlockSize(4096),
      m_ulAcknowledged(0),
      m_ulWritten(0),
      m_ulUnwritten(0),
      m_nBufferedLines(0) {}

CollectFile::~CollectFile() { DeInitialize(); }

int CollectFile::Initialize(const std::string& path) {
  DeInitialize();
  m_sPath = path;
  m_bFailed = m_bWriteThrough = m_bShortOfRoom = m_bRefusing = m_bSyncFailed = false;
  m_lWritten = m_lFileEnd = m_lReserved = 0;
  m_lStep = kReserveStep;
  m_ulAcknowledged = m_ulWritten = m_ulUnwritten = 0;
  m_nBufferedLines = 0;
  m_sBuffer.clear();
  m_sUnwritten.clear();
  m_sLastError.clear();
  std::string error;
  int fd = OpenOwnFile(path.c_str(), false, true, error);
  if (fd < 0) {
    int err = errno;
    EvDebug().Error(kTag, "%s", error.c_str());
    m_sLastError = error;
    errno = err;
    return 0;
  }
  struct stat st;
  if (FileSystem::Current().fstat(fd, &st) == 0 && st.st_blksize > 0)
    m_lBlockSize = static_cast<off_t>(st.st_blksize);
  m_nFd = fd;
  m_sBuffer.reserve(kBufferSize + 4096);
  return 1;
}

void CollectFile::SetSeperator(char separator) { m_cSeperator = separator; }

uint64_t CollectFile::LinesAffected() const {
  return m_ulUnwritten + (m_bSyncFailed ? m_ulWritten : 0);
}

std::string CollectFile::TakeUnwritten() {
  std::string lines;
  lines.swap(m_sUnwritten);
  m_ulUnwritten = 0;
  return lines;
}

void CollectFile::fail(const std::string& text) {
  EvDebug().Error(kTag, "%s", text.c_str());
  if (m_sLastError.empty()) m_sLastError = text;
}

// Makes sure the space up to end is reserved. False when no room can be had
// for it (the line is then refused).
bool CollectFile::reserve(off_t end) {
  if (m_bWriteThrough || end <= m_lReserved) return true;
  FileSystem& fs = FileSystem::Current();
  off_t need = end - m_lReserved;
  // Short of room, only the blocks the line needs are asked for: they are
  // allocated whole anyway.
  off_t exact = ((end + m_lBlockSize - 1) / m_lBlockSize) * m_lBlockSize - m_lReserved;
  off_t length = m_bShortOfRoom ? exact : std::max(m_lStep, exact);
  for (;;) {
    if (fs.fallocate(m_nFd, FALLOC_FL_KEEP_SIZE, m_lReserved, length) == 0) {
      m_lReserved += length;
      if (!m_bShortOfRoom) m_lStep = std::min(m_lStep * 2, kMaxReserveStep);
      m_bRefusing = false;
      return true;
    }
    int err = errno;
    if (err == EINTR) continue;
    if (err == EOPNOTSUPP || err == ENOSYS) {
      m_bWriteThrough = true;
      EvDebug().DebugLvl(kTag, -1,
                         "The file system of %s cannot reserve space ahead; every line is "
                         "written through before it is acknowledged (slower)",
                         m_sPath.c_str());
      return true;
    }
    if ((err == ENOSPC || err == EDQUOT) && length > exact) {
      m_bShortOfRoom = true;
      length = exact;
      continue;
    }
    if (!m_bRefusing)
      EvDebug().Error(kTag,
                      "No room for %lld more bytes in collect file %s: %s; lines that do not "
                      "fit are refused",
                      static_cast<long long>(need), m_sPath.c_str(), strerror(err));
    m_bRefusing = true;
    errno = err;
    return false;
  }
}

// Writes the buffer out. current: where the line being added starts in the
// buffer (npos when every buffered line is acknowledged already). On failure
// the whole lines before current that did not make it are kept in
// m_sUnwritten; the line at current is not acknowledged.
bool CollectFile::flush(size_t current) {
  FileSystem& fs = FileSystem::Current();
  size_t size = m_sBuffer.size();
  size_t done = 0;
  int err = 0;
  while (done < size) {
    ssize_t n = fs.pwrite(m_nFd, m_sBuffer.data() + done, size - done,
                          m_lWritten + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      err = n < 0 ? errno : EIO;
      break;
    }
    done += static_cast<size_t>(n);
  }
  m_lFileEnd = std::max(m_lFileEnd, m_lWritten + static_cast<off_t>(done));
  if (done == size) {
    m_lWritten += static_cast<off_t>(size);
    m_ulWritten += m_nBufferedLines;
    m_sBuffer.clear();
    m_nBufferedLines = 0;
    return true;
  }
  // Whole lines that reached the file count; a partly written one is cut off
  // again (and later writes start over it in any case).
  size_t whole = done;
  while (whole > 0 && m_sBuffer[whole - 1] != '\n') --whole;
  size_t wholeLines = countLines(m_sBuffer.data(), whole);
  m_lWritten += static_cast<off_t>(whole);
  m_ulWritten += wholeLines;
  if (m_lFileEnd > m_lWritten && fs.ftruncate(m_nFd, m_lWritten) == 0) m_lFileEnd = m_lWritten;
  size_t acked = current == std::string::npos ? size : current;
  if (acked > whole) {
    m_sUnwritten.append(m_sBuffer, whole, acked - whole);
    m_ulUnwritten += countLines(m_sBuffer.data() + whole, acked - whole);
  }
  m_sBuffer.clear();
  m_nBufferedLines = 0;
  bool full = err == ENOSPC || err == EDQUOT;
  if (m_bWriteThrough && full && acked <= whole) {
    // Written through, only the refused line itself is missing: there may be
    // room for the next one.
    if (!m_bRefusing)
      EvDebug().Error(kTag, "No room for more lines in collect file %s: %s; lines that do not "
                      "fit are refused", m_sPath.c_str(), strerror(err));
    m_bRefusing = true;
    errno = err;
    return false;
  }
  m_bFailed = true;
  fail("Failed to write collect file " + m_sPath + ": " + errText(err) + "; " +
       std::to_string(m_ulUnwritten) + " acknowledged lines are not in it, later lines are "
       "refused");
  errno = err;
  return false;
}

int CollectFile::AddToCollectFile(const std::string& entry, bool add, bool flag,
                                  long long number) {
  return AddToCollectFile(entry.data(), entry.size(), add, flag, number);
}

int CollectFile::AddToCollectFile(const char* entry, size_t entrySize, bool add, bool /*flag*/,
                                  long long number) {
  if (!add) return 1;
  if (m_nFd < 0 || m_bFailed) return 0;
  if (std::memchr(entry, '\n', entrySize)) {
    EvDebug().Error(kTag, "Refusing to write an entry with a line break to %s", m_sPath.c_str());
    return 0;
  }
  size_t start = m_sBuffer.size();
  m_sBuffer += m_cSeperator;
  m_sBuffer.append(entry, entrySize);
  m_sBuffer += m_cSeperator;
  appendNumber(m_sBuffer, number);
  m_sBuffer += m_cSeperator;
  m_sBuffer += '\n';
  if (!reserve(m_lWritten + static_cast<off_t>(m_sBuffer.size()))) {
    m_sBuffer.resize(start);
    return 0;
  }
  // A full buffer goes out before the new line joins it, so that a failed
  // write never takes a line down that was not acknowledged yet.
  if (start > 0 && m_sBuffer.size() > kBufferSize) {
    std::string line = m_sBuffer.substr(start);
    m_sBuffer.resize(start);
    if (!flush(std::string::npos)) return 0;
    m_sBuffer = line;
    start = 0;
  }
  if (m_bWriteThrough || m_sBuffer.size() >= kBufferSize) {
    // Acknowledged once it is in the file.
    ++m_nBufferedLines;
    if (!flush(start)) return 0;
    ++m_ulAcknowledged;
    return 1;
  }
  ++m_nBufferedLines;
  ++m_ulAcknowledged;
  return 1;
}

int CollectFile::DeInitialize() {
  if (m_nFd < 0) return 1;
  FileSystem& fs = FileSystem::Current();
  if (!m_sBuffer.empty()) flush(std::string::npos);
  // Nothing past the last whole line stays: neither the reserved blocks nor
  // a line a failed write left half written.
  if (m_lFileEnd > m_lWritten || m_lReserved > m_lWritten) {
    if (fs.ftruncate(m_nFd, m_lWritten) == 0) {
      m_lFileEnd = m_lWritten;
    } else {
      int err = errno;
      if (m_lFileEnd > m_lWritten)
        fail("Cannot cut a partly written line off collect file " + m_sPath + ": " +
             errText(err));
      else
        EvDebug().DebugLvl(kTag, -1, "Cannot release the space reserved past the end of %s: %s",
                           m_sPath.c_str(), strerror(err));
    }
  }
  // An empty file holds nothing to make durable.
  if (m_lWritten > 0) {
    if (fs.fsync(m_nFd) != 0) {
      int err = errno;
      if (err != EINVAL && err != ENOSYS && err != EOPNOTSUPP) {
        m_bSyncFailed = true;
        fail("Failed to sync collect file " + m_sPath + ": " + errText(err));
      }
    }
  }
  if (fs.close(m_nFd) != 0) {
    int err = errno;
    if (err != EINTR && m_lWritten > 0) {
      m_bSyncFailed = true;
      fail("Failed to close collect file " + m_sPath + ": " + errText(err));
    }
  }
  m_nFd = -1;
  std::string().swap(m_sBuffer);
  m_nBufferedLines = 0;
  bool torn = m_lFileEnd > m_lWritten;
  return (m_bFailed || m_bSyncFailed || torn || m_ulUnwritten > 0) ? 0 : 1;
}

namespace {

// Reads one whole line (any length) without its line break; false at the end.
bool readLine(FILE* file, std::string& line) {
  line.clear();
  int c;
  bool any = false;
  while ((c = getc(file)) != EOF) {
    any = true;
    if (c == '\n') return true;
    line += static_cast<char>(c);
  }
  return any;
}

}  // namespace

int GetLineFromCollectFile(FILE* file, char separator, HSMCollectFile& record) {
  if (!file) return 0;
  std::string line;
  while (readLine(file, line)) {
    // <sep><entry><sep><number><sep>
    if (line.size() >= 3 && line.front() == separator && line.back() == separator) {
      size_t numEnd = line.size() - 1;
      size_t numStart = line.rfind(separator, numEnd - 1);
      if (numStart != std::string::npos && numStart > 0 && numStart + 1 < numEnd) {
        std::string num = line.substr(numStart + 1, numEnd - numStart - 1);
        char* end = nullptr;
        errno = 0;
        long long v = std::strtoll(num.c_str(), &end, 10);
        if (errno == 0 && end && *end == '\0') {
          record.m_sEntry = line.substr(1, numStart - 1);
          record.m_llNumber = v;
          return 1;
        }
      }
    }
    EvDebug().Error(kTag, "Skipping a line without the record layout: [%s]", line.c_str());
  }
  return 0;
}

long CountLines(const char* path) {
  std::string error;
  FILE* f = OpenOwnFileForReading(path, error);
  if (!f) {
    if (errno == ENOENT) return 0;
    EvDebug().Error(kTag, "Cannot count the lines of %s: %s", path ? path : "", error.c_str());
    return -1;
  }
  long lines = 0;
  bool open = false;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) {
    for (size_t i = 0; i < n; ++i) {
      if (buf[i] == '\n') {
        ++lines;
        open = false;
      } else {
        open = true;
      }
    }
  }
  bool failed = ferror(f) != 0;
  int err = errno;
  fclose(f);
  if (failed) {
    EvDebug().Error(kTag, "Cannot read %s: %s", path, strerror(err));
    return -1;
  }
  return lines + (open ? 1 : 0);
}

int GetLine(FILE* file, char* buffer, size_t size) {
  if (!file || !buffer || size == 0) return 0;
  size_t len = 0;
  int c;
  bool any = false;
  while ((c = getc(file)) != EOF) {
    any = true;
    if (c == '\n') break;
    if (len + 1 < size) buffer[len++] = static_cast<char>(c);
  }
  buffer[len] = '\0';
  return any ? 1 : 0;
}

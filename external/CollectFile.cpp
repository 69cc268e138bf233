#include "CollectFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "EvEvent.h"
#include "FileUtf.h"

using tqhsm::FileSystem;

namespace {
const char* kTag = "CollectFile";
}

CollectFile::CollectFile() : m_nFd(-1), m_cSeperator('|'), m_bFailed(false), m_lWritten(0) {}

CollectFile::~CollectFile() { DeInitialize(); }

int CollectFile::Initialize(const std::string& path) {
  DeInitialize();
  FileSystem& fs = FileSystem::Current();
  int fd = fs.open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) {
    int err = errno;
    EvDebug().Error(kTag, "Cannot create collect file %s: %s", path.c_str(), strerror(err));
    errno = err;
    return 0;
  }
  m_nFd = fd;
  m_sPath = path;
  m_bFailed = false;
  m_lWritten = 0;
  m_sBuffer.clear();
  m_sBuffer.reserve(kBufferSize);
  return 1;
}

void CollectFile::SetSeperator(char separator) { m_cSeperator = separator; }

void CollectFile::fail(const char* what, int err) {
  if (!m_bFailed)
    EvDebug().Error(kTag, "Failed to %s collect file %s: %s", what, m_sPath.c_str(),
                    strerror(err));
  m_bFailed = true;
}

int CollectFile::flush() {
  FileSystem& fs = FileSystem::Current();
  size_t done = 0;
  while (done < m_sBuffer.size()) {
    ssize_t n = fs.write(m_nFd, m_sBuffer.data() + done, m_sBuffer.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int err = n < 0 ? errno : ENOSPC;
      // Keep the file a list of whole records: cut a partly written line off.
      size_t whole = done;
      while (whole > 0 && m_sBuffer[whole - 1] != '\n') --whole;
      if (whole != done) fs.ftruncate(m_nFd, m_lWritten + static_cast<off_t>(whole));
      m_lWritten += static_cast<off_t>(whole);
      m_sBuffer.clear();
      fail("write", err);
      errno = err;
      return 0;
    }
    done += static_cast<size_t>(n);
  }
  m_lWritten += static_cast<off_t>(done);
  m_sBuffer.clear();
  return 1;
}

int CollectFile::AddToCollectFile(const std::string& entry, bool add, bool /*flag*/,
                                  long long number) {
  if (!add) return 1;
  if (m_nFd < 0 || m_bFailed) return 0;
  if (entry.find('\n') != std::string::npos) {
    EvDebug().Error(kTag, "Refusing to write an entry with a line break to %s", m_sPath.c_str());
    return 0;
  }
  char tail[32];
  int n = snprintf(tail, sizeof tail, "%c%lld%c\n", m_cSeperator, number, m_cSeperator);
  m_sBuffer += m_cSeperator;
  m_sBuffer += entry;
  m_sBuffer.append(tail, static_cast<size_t>(n));
  if (m_sBuffer.size() >= kBufferSize) return flush();
  return 1;
}

int CollectFile::DeInitialize() {
  if (m_nFd < 0) return 1;
  FileSystem& fs = FileSystem::Current();
  int ok = m_bFailed ? 0 : 1;
  if (ok && !m_sBuffer.empty()) ok = flush();
  if (ok && fs.fsync(m_nFd) != 0 && errno != EINVAL && errno != EROFS) {
    fail("sync", errno);
    ok = 0;
  }
  if (fs.close(m_nFd) != 0 && ok) {
    fail("close", errno);
    ok = 0;
  }
  m_nFd = -1;
  m_sBuffer.clear();
  m_sBuffer.shrink_to_fit();
  return ok;
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
  FILE* f = fopen_utf(path, "r");
  if (!f) return 0;
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
  fclose(f);
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

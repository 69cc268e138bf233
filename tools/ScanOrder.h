#pragma once

// The file list of an ordered scan (tqhsm-scan --order oldest|largest): every
// file that meets the rules, ordered by access time (oldest first) or size
// (largest first), ties by path in byte order, with bounded memory. Records
// are kept in memory up to a byte limit; each full buffer is sorted and
// spilled as a run to a nameless file in the job-results directory
// (O_TMPFILE, or where the file system lacks it, an own file that is
// unlinked as soon as it is made), and the runs are merged at the end. A
// nameless run is gone with its descriptor, so neither a normal end nor a
// signal nor a kill -9 leaves one behind.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <queue>
#include <string>
#include <vector>

#include "CollectFile.h"

namespace tqhsm {
namespace order {

enum class Key { kOldest, kLargest };

// One file as the first pass saw it.
struct Record {
  int64_t atimeSec = 0;
  int64_t atimeNsec = 0;
  int64_t mtimeSec = 0;
  int64_t size = 0;
  uint64_t dev = 0;
  uint64_t ino = 0;
  uint32_t volume = 0;  // the scan's index of the file's volume
  std::string path;
};

inline bool Before(Key key, const Record& a, const Record& b) {
  if (key == Key::kOldest) {
    if (a.atimeSec != b.atimeSec) return a.atimeSec < b.atimeSec;
    if (a.atimeNsec != b.atimeNsec) return a.atimeNsec < b.atimeNsec;
  } else if (a.size != b.size) {
    return a.size > b.size;
  }
  return a.path < b.path;  // byte order: char_traits<char> compares unsigned
}

// A sorted run on a nameless file.
class Run {
 public:
  Run() = default;
  ~Run() {
    if (m_pIn) std::fclose(m_pIn);
    else if (m_nFd >= 0) ::close(m_nFd);
  }
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  bool create(const std::string& dir, const std::string& fallbackName, std::string& error) {
    m_nFd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (m_nFd >= 0) return true;
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
      error = "cannot make a sort file in " + dir + ": " + std::strerror(errno);
      return false;
    }
    // No O_TMPFILE here: an own file (no link followed, regular, ours), gone
    // from the directory at once.
    std::string path = dir + "/" + fallbackName;
    m_nFd = OpenOwnFile(path.c_str(), false, true, error);
    if (m_nFd < 0) return false;
    if (::unlink(path.c_str()) != 0) {
      error = "cannot remove the sort file " + path + ": " + std::strerror(errno);
      return false;
    }
    // OpenOwnFile opens for writing only: reading back needs its own open,
    // which the unlinked name no longer allows; reopen through /proc.
    std::string self = "/proc/self/fd/" + std::to_string(m_nFd);
    int rw = ::open(self.c_str(), O_RDWR | O_CLOEXEC);
    if (rw < 0) {
      error = "cannot reopen the sort file: " + std::string(std::strerror(errno));
      return false;
    }
    ::close(m_nFd);
    m_nFd = rw;
    return true;
  }

  bool write(const Record& r, std::string& error) {
    char head[64];
    uint32_t len = static_cast<uint32_t>(r.path.size());
    size_t n = 0;
    auto put = [&](const void* p, size_t k) {
      std::memcpy(head + n, p, k);
      n += k;
    };
    put(&r.atimeSec, 8);
    put(&r.atimeNsec, 8);
    put(&r.mtimeSec, 8);
    put(&r.size, 8);
    put(&r.dev, 8);
    put(&r.ino, 8);
    put(&r.volume, 4);
    put(&len, 4);
    return append(head, n, error) && append(r.path.data(), r.path.size(), error);
  }

  // Ends the writing and makes the run readable from its start.
  bool finish(std::string& error) {
    if (!flush(error)) return false;
    if (::lseek(m_nFd, 0, SEEK_SET) != 0) {
      error = "cannot rewind a sort file: " + std::string(std::strerror(errno));
      return false;
    }
    m_pIn = ::fdopen(m_nFd, "rb");
    if (!m_pIn) {
      error = "cannot read a sort file: " + std::string(std::strerror(errno));
      return false;
    }
    std::setvbuf(m_pIn, nullptr, _IOFBF, 1 << 16);
    return true;
  }

  // The next record; false at the end (error set when the file let us down).
  bool read(Record& r, std::string& error) {
    char head[56];
    size_t got = std::fread(head, 1, sizeof head, m_pIn);
    if (got == 0 && std::feof(m_pIn)) return false;
    uint32_t len = 0;
    if (got == sizeof head) {
      size_t n = 0;
      auto get = [&](void* p, size_t k) {
        std::memcpy(p, head + n, k);
        n += k;
      };
      get(&r.atimeSec, 8);
      get(&r.atimeNsec, 8);
      get(&r.mtimeSec, 8);
      get(&r.size, 8);
      get(&r.dev, 8);
      get(&r.ino, 8);
      get(&r.volume, 4);
      get(&len, 4);
      r.path.resize(len);
      if (len == 0 || std::fread(&r.path[0], 1, len, m_pIn) == len) return true;
    }
    error = std::ferror(m_pIn) ? "cannot read a sort file: " + std::string(std::strerror(errno))
                               : std::string("a sort file ended inside a record");
    return false;
  }

 private:
  bool append(const char* p, size_t n, std::string& error) {
    if (m_buffer.size() + n > (1u << 16) && !flush(error)) return false;
    m_buffer.append(p, n);
    return true;
  }
  bool flush(std::string& error) {
    size_t done = 0;
    while (done < m_buffer.size()) {
      ssize_t w = ::write(m_nFd, m_buffer.data() + done, m_buffer.size() - done);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        error = "cannot write a sort file: " + std::string(w < 0 ? std::strerror(errno)
                                                                 : "nothing written");
        return false;
      }
      done += static_cast<size_t>(w);
    }
    m_buffer.clear();
    return true;
  }

  int m_nFd = -1;
  FILE* m_pIn = nullptr;
  std::string m_buffer;
};

// Collects records, then hands them over in order.
class Sorter {
 public:
  // Runs merged at once at most: each costs a descriptor and a read buffer.
  static constexpr size_t kFanIn = 64;

  Sorter(Key key, std::string dir, std::string fallbackName, size_t memoryLimit)
      : m_key(key), m_sDir(std::move(dir)), m_sFallback(std::move(fallbackName)),
        m_nLimit(memoryLimit) {}

  bool add(Record&& r, std::string& error) {
    m_nBytes += sizeof(Record) + r.path.capacity() + 16;
    m_records.push_back(std::move(r));
    ++m_nCount;
    if (m_nBytes >= m_nLimit) return spill(error);
    return true;
  }

  uint64_t count() const { return m_nCount; }
  size_t runsSpilled() const { return m_nSpilled; }

  // Hands every record to out in order; out answers false to stop. False
  // with error when a sort file let us down.
  bool drain(const std::function<bool(Record&)>& out, std::string& error) {
    if (m_runs.empty()) {  // everything fit in memory
      sortBuffer();
      for (Record& r : m_records)
        if (!out(r)) break;
      m_records.clear();
      return true;
    }
    if (!m_records.empty() && !spill(error)) return false;
    // Merge groups of kFanIn runs into bigger ones until one merge is left.
    while (m_runs.size() > kFanIn) {
      std::vector<std::unique_ptr<Run>> group;
      for (size_t i = 0; i < kFanIn; ++i) group.push_back(std::move(m_runs[i]));
      m_runs.erase(m_runs.begin(), m_runs.begin() + kFanIn);
      std::unique_ptr<Run> merged = newRun(error);
      if (!merged) return false;
      bool ok = true;
      if (!merge(group, [&](Record& r) { return ok = merged->write(r, error); }, error) || !ok ||
          !merged->finish(error))
        return false;
      m_runs.push_back(std::move(merged));
    }
    bool ok = merge(m_runs, out, error);
    m_runs.clear();
    return ok;
  }

 private:
  void sortBuffer() {
    Key key = m_key;
    std::sort(m_records.begin(), m_records.end(),
              [key](const Record& a, const Record& b) { return Before(key, a, b); });
  }
  std::unique_ptr<Run> newRun(std::string& error) {
    std::unique_ptr<Run> run(new Run);
    if (!run->create(m_sDir, m_sFallback + "." + std::to_string(m_nSpilled), error))
      return nullptr;
    ++m_nSpilled;
    return run;
  }
  bool spill(std::string& error) {
    sortBuffer();
    std::unique_ptr<Run> run = newRun(error);
    if (!run) return false;
    for (const Record& r : m_records)
      if (!run->write(r, error)) return false;
    if (!run->finish(error)) return false;
    m_runs.push_back(std::move(run));
    m_records.clear();
    m_records.shrink_to_fit();
    m_nBytes = 0;
    return true;
  }
  bool merge(std::vector<std::unique_ptr<Run>>& runs, const std::function<bool(Record&)>& out,
             std::string& error) {
    std::vector<Record> heads(runs.size());
    Key key = m_key;
    auto later = [&](size_t a, size_t b) { return Before(key, heads[b], heads[a]); };
    std::priority_queue<size_t, std::vector<size_t>, decltype(later)> queue(later);
    for (size_t i = 0; i < runs.size(); ++i) {
      if (runs[i]->read(heads[i], error))
        queue.push(i);
      else if (!error.empty())
        return false;
    }
    while (!queue.empty()) {
      size_t i = queue.top();
      queue.pop();
      if (!out(heads[i])) return error.empty();
      if (runs[i]->read(heads[i], error))
        queue.push(i);
      else if (!error.empty())
        return false;
    }
    return true;
  }

  Key m_key;
  std::string m_sDir;
  std::string m_sFallback;
  size_t m_nLimit;
  size_t m_nBytes = 0;
  uint64_t m_nCount = 0;
  size_t m_nSpilled = 0;
  std::vector<Record> m_records;
  std::vector<std::unique_ptr<Run>> m_runs;
};

}  // namespace order
}  // namespace tqhsm

#include "HSMStubBatch.h"

#include <fcntl.h>
#include <linux/falloc.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "HSMStore.h"
#include "SafePath.h"
#include "StubFormat.h"

using tqhsm::HSMStore;

namespace {

// The largest value an extended attribute can have on Linux.
const size_t kMaxXattrValue = 65536;
// Stub records are about 200 bytes; a previous attribute of that size is read
// into a buffer of this size first.
const size_t kSmallAttr = 512;

std::string errText(const char* what, const char* path, int err) {
  return std::string(what) + " " + (path ? path : "(null)") + ": " + strerror(err);
}

std::string identityText(const struct stat& st) {
  return "inode " + std::to_string(static_cast<unsigned long long>(st.st_ino)) + " on device " +
         std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
}

}  // namespace

// One added file and what commit needs to finish or undo it.
struct TQHSMStubBatch::Entry {
  Outcome out;
  std::string path;
  std::unique_ptr<tqhsm::SafeFile> file;  // open while held
  bool held = false;
  bool leased = false;
  struct stat st {};        // as checked
  struct stat written {};   // after the attribute write
  bool haveWritten = false;
  bool hadPrev = false;     // the attribute existed before (prev holds it)
  std::vector<char> prev;
  std::vector<char> record;  // the stub data written
  bool writeHead = false;
  struct timespec applied {};
};

TQHSMStubBatch::TQHSMStubBatch(size_t capacity) : m_nCapacity(CapacityFor(capacity)) {}

TQHSMStubBatch::~TQHSMStubBatch() {
  for (auto& e : m_vecEntries)
    if (e->held) {
      rollback(*e);
      release(*e);
    }
}

size_t TQHSMStubBatch::CapacityFor(size_t wanted) {
  if (wanted < 1) wanted = 1;
  struct rlimit lim;
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY) {
    rlim_t quarter = lim.rlim_cur / 4;
    if (quarter < wanted) wanted = quarter < 1 ? 1 : static_cast<size_t>(quarter);
  }
  return wanted;
}

const TQHSMStubBatch::Outcome& TQHSMStubBatch::outcome(size_t i) const {
  return m_vecEntries.at(i)->out;
}

void TQHSMStubBatch::clear() {
  for (auto& e : m_vecEntries)
    if (e->held) {
      rollback(*e);
      release(*e);
    }
  m_vecEntries.clear();
  m_nHeld = 0;
}

int TQHSMStubBatch::add(const char* path, const char* reparse, time_t time, int flag,
                        const TQHSMLowLevel::Expect& expect) {
  std::unique_ptr<Entry> owned(new Entry());
  Entry& e = *owned;
  auto refuse = [&](int rc, const std::string& text) {
    e.out.result = rc;
    e.out.error = text;
    e.file.reset();
    m_vecEntries.push_back(std::move(owned));
    return rc;
  };
  if (!path) return refuse(TQHSMLowLevel::eStubFailed, "No path given");
  e.path = path;
  ReparseData r;
  std::string why;
  if (!tqhsm::ParseReparseText(reparse, r, &why) || !tqhsm::CheckStubFields(r, &why))
    return refuse(TQHSMLowLevel::eStubFailed, "Invalid meta-data for " + e.path + ": " + why);
  e.writeHead = flag >= 0 && (flag & TQHSMLowLevel::eStubWriteHead);
  bool decided = expect.ino != 0;

  HSMStore& store = HSMStore::Current();
  e.file.reset(new tqhsm::SafeFile());
  if (!e.file->open(path, O_RDWR, false, why)) {
    int err = errno;
    if ((err == EMFILE || err == ENFILE) && m_nHeld > 0) return eNoDescriptor;
    // A link or a non-regular file where the scan saw the file: not the file
    // it decided on.
    bool changed = decided && (err == ELOOP || err == EINVAL || err == ENOTDIR);
    return refuse(changed ? TQHSMLowLevel::eStubChanged : TQHSMLowLevel::eStubFailed,
                  changed ? e.path + " changed under the scan: " + why : why);
  }
  int fd = e.file->fd();

  // A write lease is granted only while nobody else has the file open, and
  // every later open (or truncate) by another process waits for its release:
  // from the checks below to the punch nobody can write the data. The lease
  // break signal goes to SIGURG, which is ignored by default; SIGIO would end
  // the process.
  e.leased = store.fcntl(fd, F_SETSIG, SIGURG) == 0 && store.fcntl(fd, F_SETLEASE, F_WRLCK) == 0;
  if (!e.leased && (errno == EAGAIN || errno == EBUSY))
    return refuse(TQHSMLowLevel::eStubOpen, e.path + " is open in another process");
  auto unlease = [&]() {
    if (e.leased) store.fcntl(fd, F_SETLEASE, F_UNLCK);
    e.leased = false;
  };

  struct stat& st = e.st;
  if (store.fstat(fd, &st) != 0) {
    int err = errno;
    unlease();
    return refuse(TQHSMLowLevel::eStubFailed, errText("Cannot stat", path, err));
  }
  std::string refused;
  int refusal = 0;
  if (decided && !tqhsm::IsSameFile(st, expect.dev, expect.ino)) {
    std::string decidedOn = "inode " + std::to_string(static_cast<unsigned long long>(expect.ino));
    if (expect.dev != 0)
      decidedOn += " on device " + std::to_string(major(expect.dev)) + ":" +
                   std::to_string(minor(expect.dev));
    refusal = TQHSMLowLevel::eStubChanged;
    refused = e.path + " changed under the scan: it is " + identityText(st) +
              " now, the scan decided on " + decidedOn;
  } else if (expect.bSize && st.st_size != expect.size) {
    refusal = TQHSMLowLevel::eStubModified;
    refused = e.path + " changed after the scan decided: its size is " +
              std::to_string(st.st_size) + " bytes, not " + std::to_string(expect.size);
  } else if (expect.bMtime && st.st_mtime != expect.mtime) {
    refusal = TQHSMLowLevel::eStubModified;
    refused = e.path + " changed after the scan decided: its modification time is " +
              std::to_string(static_cast<long long>(st.st_mtime)) + ", not " +
              std::to_string(static_cast<long long>(expect.mtime));
  } else if (r.originalSize != 0 && static_cast<uint64_t>(st.st_size) != r.originalSize) {
    refusal = TQHSMLowLevel::eStubFailed;
    refused = "Size of " + e.path + " (" + std::to_string(st.st_size) +
              " bytes) differs from the stub's original size (" + std::to_string(r.originalSize) +
              " bytes)";
  }
  if (refusal != 0) {
    unlease();
    return refuse(refusal, refused);
  }

  // The record names what this call leaves: the file's inode and the
  // modification time applied at the end, so that any later change shows.
  e.applied = st.st_mtim;
  if (time >= 0) {
    e.applied.tv_sec = time;
    e.applied.tv_nsec = 0;
  }
  r.originalSize = static_cast<uint64_t>(st.st_size);
  r.stubInode = static_cast<uint64_t>(st.st_ino);
  r.stubMtime = static_cast<int64_t>(e.applied.tv_sec);
  r.stubMtimeNsec = static_cast<uint32_t>(e.applied.tv_nsec);
  r.headRecord = e.writeHead;
  if (!tqhsm::EncodeStubData(r, e.record, &why)) {
    unlease();
    return refuse(TQHSMLowLevel::eStubFailed,
                  "Cannot make the stub data of " + e.path + ": " + why);
  }
  if (e.writeHead && static_cast<size_t>(st.st_size) < e.record.size()) {
    unlease();
    return refuse(TQHSMLowLevel::eStubFailed,
                  e.path + " is too small to carry its stub data at its head");
  }
  if (flag >= 0 && (flag & TQHSMLowLevel::eStubCheckOnly)) {
    unlease();
    return refuse(0, std::string());
  }

  // Remember what the attribute held (a stale attribute of a file written
  // after an earlier stubbing, say), to put it back should a later step fail.
  e.prev.resize(kSmallAttr);
  ssize_t prev = store.fgetxattr(fd, TQHSM_STUB_XATTR, e.prev.data(), e.prev.size());
  if (prev < 0 && errno == ERANGE) {
    e.prev.resize(kMaxXattrValue);
    prev = store.fgetxattr(fd, TQHSM_STUB_XATTR, e.prev.data(), e.prev.size());
  }
  if (prev < 0 && errno != ENODATA) {
    int err = errno;
    unlease();
    return refuse(TQHSMLowLevel::eStubFailed, errText("Cannot read the stub data of", path, err));
  }
  e.hadPrev = prev >= 0;
  e.prev.resize(prev >= 0 ? static_cast<size_t>(prev) : 0);

  // Written now, made durable by commit before a single block is released.
  if (store.fsetxattr(fd, TQHSM_STUB_XATTR, e.record.data(), e.record.size(), 0) != 0) {
    int err = errno;
    unlease();
    return refuse(TQHSMLowLevel::eStubFailed,
                  errText("Cannot write the stub data of", path, err));
  }
  e.haveWritten = store.fstat(fd, &e.written) == 0;
  e.held = true;
  ++m_nHeld;
  m_vecEntries.push_back(std::move(owned));
  return 0;
}

void TQHSMStubBatch::rollback(Entry& e) {
  HSMStore& store = HSMStore::Current();
  int err = errno;
  int fd = e.file->fd();
  if (e.hadPrev)
    store.fsetxattr(fd, TQHSM_STUB_XATTR, e.prev.data(), e.prev.size(), 0);
  else
    store.fremovexattr(fd, TQHSM_STUB_XATTR);
  errno = err;
}

void TQHSMStubBatch::release(Entry& e) {
  HSMStore& store = HSMStore::Current();
  int err = errno;
  if (e.leased) store.fcntl(e.file->fd(), F_SETLEASE, F_UNLCK);
  e.leased = false;
  e.file.reset();
  e.held = false;
  errno = err;
}

void TQHSMStubBatch::commit() {
  HSMStore& store = HSMStore::Current();
  // Every held file's stub data durable first. One file alone is synced by
  // itself; a batch with one syncfs per file system, which writes the
  // attributes of all its files and then flushes once (a sync per file
  // would flush the disk once per file on a file system without a journal).
  // When a syncfs fails, none of the files of that file system is known to
  // be durable: all are put back.
  std::vector<Entry*> held;
  for (auto& p : m_vecEntries)
    if (p->held) held.push_back(p.get());
  auto failSync = [&](Entry& e, int err) {
    e.out.result = TQHSMLowLevel::eStubFailed;
    e.out.error = errText("Cannot sync the stub data of", e.path.c_str(), err);
    rollback(e);
    release(e);
    --m_nHeld;
  };
  if (held.size() == 1) {
    if (store.fsync(held[0]->file->fd()) != 0) failSync(*held[0], errno);
  } else {
    std::vector<dev_t> synced;
    for (size_t i = 0; i < held.size(); ++i) {
      dev_t dev = held[i]->st.st_dev;
      if (std::find(synced.begin(), synced.end(), dev) != synced.end()) continue;
      synced.push_back(dev);
      if (store.syncfs(held[i]->file->fd()) == 0) continue;
      int err = errno;
      for (size_t j = i; j < held.size(); ++j)
        if (held[j]->held && held[j]->st.st_dev == dev) failSync(*held[j], err);
    }
  }
  for (Entry* e : held) {
    if (!e->held) continue;
    finishOne(*e);
    --m_nHeld;
  }
}

// The second half of stubFile for a file whose stub data are durable.
void TQHSMStubBatch::finishOne(Entry& e) {
  HSMStore& store = HSMStore::Current();
  int fd = e.file->fd();
  const char* path = e.path.c_str();
  const struct stat& st = e.st;
  auto fail = [&](int rc, const std::string& text, bool undo) {
    e.out.result = rc;
    e.out.error = text;
    if (undo) rollback(e);
    release(e);
  };
  // Look again right before the punch: size and modification time must be
  // those checked, and the change time, which our own attribute write moved,
  // must not have moved since. Under a lease nobody can have written, unless
  // the lease was taken away (someone who wanted the file waited longer than
  // the system's lease-break time); without one (a file system without
  // leases) this is the only guard.
  struct stat now;
  bool same = (e.leased && !e.haveWritten) ||
              (e.haveWritten && store.fstat(fd, &now) == 0 && now.st_size == st.st_size &&
               now.st_mtim.tv_sec == st.st_mtim.tv_sec &&
               now.st_mtim.tv_nsec == st.st_mtim.tv_nsec &&
               now.st_ctim.tv_sec == e.written.st_ctim.tv_sec &&
               now.st_ctim.tv_nsec == e.written.st_ctim.tv_nsec);
  if (!same) {
    fail(TQHSMLowLevel::eStubModified, e.path + " changed while it was being stubbed", true);
    return;
  }
  if (st.st_size > 0) {
    // To the end of the last block, so that its partial block goes too.
    off_t block = st.st_blksize >= 512 ? st.st_blksize : 4096;
    off_t length = (st.st_size + block - 1) / block * block;
    int rc = store.fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, length);
    if (rc != 0 && errno == EINVAL && length != st.st_size)
      rc = store.fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, st.st_size);
    if (rc != 0) {
      fail(TQHSMLowLevel::eStubFailed, errText("Cannot release the data blocks of", path, errno),
           true);
      return;
    }
  }
  if (e.writeHead) {
    size_t done = 0;
    while (done < e.record.size()) {
      ssize_t n = store.pwrite(fd, e.record.data() + done, e.record.size() - done,
                               static_cast<off_t>(done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        // The data are gone already; the attribute still makes the file a stub.
        fail(TQHSMLowLevel::eStubFailed,
             errText("Cannot write the stub data to the head of", path, n < 0 ? errno : EIO),
             false);
        return;
      }
      done += static_cast<size_t>(n);
    }
  }
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1] = e.applied;
  if (store.futimens(fd, times) != 0) {
    fail(TQHSMLowLevel::eStubFailed, errText("Cannot set the modification time of", path, errno),
         false);
    return;
  }
  if (e.leased) store.fcntl(fd, F_SETLEASE, F_UNLCK);
  e.leased = false;
  int rc = e.file->close();
  int err = errno;
  e.file.reset();
  e.held = false;
  if (rc != 0) {
    e.out.result = TQHSMLowLevel::eStubFailed;
    e.out.error = errText("Cannot close", path, err);
    return;
  }
  e.out.result = 0;
}

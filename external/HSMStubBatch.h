#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "HSMLowLevel.h"
#include "TQHSMExport.h"

// Turning many files into stubs at the cost of one sync for all of them.
//
// stubFile makes each file's stub data durable with an fsync of its own before
// it releases the file's blocks: one journal commit per file on a journalling
// file system, one write of the inode and one flush of the disk's cache per
// file on one without a journal; that sync is nearly all of the cost. A batch
// does the same work in two halves:
//
//   add     resolves, checks and leases one file exactly as stubFile does, and
//           writes its signed stub data, but neither syncs nor releases
//           anything; the file stays open and leased in the batch;
//   commit  syncs the file systems of the held files (syncfs, once per file
//           system; a batch of one file is synced alone with fsync), and only
//           when that succeeded releases their blocks one by one (each punch
//           directly followed by setting its modification time), then drops
//           the leases and closes.
//
// A crash at any moment leaves each file either with its data (and perhaps
// the new stub data as a stale attribute, which makes it a plain file) or
// released with its stub data durable; never released without them.
//
// Results and error texts are those of stubFile, per file. A file whose sync
// fails gets its old attribute back and is not released (with syncfs: every
// held file of that file system). A held file that
// someone began to open in the meantime (its lease is being broken) is not
// released either: it is refused as open, as stubFile refuses a file that is
// open when it starts.
//
// A batch holds one descriptor per held file; its capacity is bounded by the
// process's descriptor limit (CapacityFor). Not thread-safe; one batch per
// thread.
class TQHSM_API TQHSMStubBatch {
 public:
  // What one added file came to. result is stubFile's (0 stubbed, or one of
  // TQHSMLowLevel's eStub results), error its text when not 0. Final once
  // committed (or, for a file refused by add or only checked, at once).
  struct Outcome {
    int result = 0;
    std::string error;
  };
  // add's answer when the process is out of descriptors while the batch holds
  // files: nothing was added; commit, then add the file again.
  enum { eNoDescriptor = -100 };
  enum { kDefaultCapacity = 256 };

  // REQUIRES: capacity >= 1; it is cut to CapacityFor(capacity).
  explicit TQHSMStubBatch(size_t capacity = kDefaultCapacity);
  // Files still held (added, not committed) are put back as they were: their
  // old attribute restored, nothing released.
  ~TQHSMStubBatch();
  TQHSMStubBatch(const TQHSMStubBatch&) = delete;
  TQHSMStubBatch& operator=(const TQHSMStubBatch&) = delete;

  // The most files a batch may hold at once: wanted, but at most a quarter of
  // the soft descriptor limit (the rest stays for the caller's own files),
  // and at least 1.
  static size_t CapacityFor(size_t wanted);
  size_t capacity() const { return m_nCapacity; }

  // Adds one file with stubFile's arguments. 0: held (or, with
  // eStubCheckOnly, checked: nothing is held or changed); any other stubFile
  // result: refused, nothing changed or held, the reason in outcome(size()-1).
  // eNoDescriptor: see above (no outcome is added).
  // REQUIRES: !full().
  int add(const char* path, const char* reparse, time_t time, int flag,
          const TQHSMLowLevel::Expect& expect);
  // Finishes every held file; afterwards the batch holds none.
  void commit();
  // Forgets the outcomes (after commit); the batch is empty again.
  void clear();

  // Files added since the last clear (refused ones included).
  size_t size() const { return m_vecEntries.size(); }
  // Held files: those add kept open for the commit.
  size_t held() const { return m_nHeld; }
  bool full() const { return m_nHeld >= m_nCapacity; }
  const Outcome& outcome(size_t i) const;

 private:
  struct Entry;
  void finishOne(Entry& e);
  void rollback(Entry& e);
  void release(Entry& e);

  size_t m_nCapacity;
  size_t m_nHeld = 0;
  std::vector<std::unique_ptr<Entry>> m_vecEntries;
};

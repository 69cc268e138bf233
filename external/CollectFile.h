#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "TQHSMExport.h"

// Writer of a collect file. Every record is one line:
//   <sep><entry><sep><number><sep>\n
// The entry may itself contain the separator (the reader takes everything
// between the first separator and the one before the number), but never a line
// break: such an entry is refused rather than split into two records.
//
// What an acknowledgement means. AddToCollectFile answers non-zero only for a
// line that a full file system can no longer lose. Lines are buffered (64 KiB)
// for speed, and the file's space is reserved ahead of them with
// fallocate(FALLOC_FL_KEEP_SIZE), in steps of 1 MiB that double up to 16 MiB,
// so every buffered line already owns its blocks. When a step cannot be had,
// exactly the blocks the line needs are asked for; a line that gets none is
// refused (result 0) and the writer stays usable: a later line is taken again
// as soon as there is room. On a file system that cannot reserve space
// (EOPNOTSUPP), each line is written through before it is acknowledged, which
// is slower and is logged once.
//
// What is reported later. A write that fails after its lines were acknowledged
// (EIO, or a file system that did not honour the reservation) makes the writer
// refuse every later line; those lines are kept in memory (Unwritten) for an
// owner that can store them elsewhere. An error that the file system only
// shows at sync or close (EIO at write-back, NFS) is found by DeInitialize.
// In both cases DeInitialize answers 0, LastError says what happened and
// LinesAffected how many acknowledged lines may be missing or damaged.
//
// The file always holds whole records: DeInitialize cuts the reservation and
// any partly written line off again, and an empty file is not synced.
//
// The file is one of the library's own and is never a planted link or FIFO:
// see OpenOwnFile.
class TQHSM_API CollectFile {
 public:
  CollectFile();
  ~CollectFile();
  CollectFile(const CollectFile&) = delete;
  CollectFile& operator=(const CollectFile&) = delete;

  // Creates (or empties) the file and opens it (see OpenOwnFile). Non-zero on
  // success; 0 with the reason logged and errno set.
  int Initialize(const std::string& path);
  void SetSeperator(char separator);
  // Non-zero when the line was acknowledged (see above). add false: nothing is
  // written (success).
  int AddToCollectFile(const std::string& entry, bool add, bool flag, long long number);
  // The same for the size bytes at entry.
  int AddToCollectFile(const char* entry, size_t size, bool add, bool flag, long long number);
  // Writes out what is buffered, trims the reservation, syncs and closes the
  // file. Non-zero when every acknowledged line is in the file (also when the
  // file was not open); 0 otherwise (see LastError, LinesAffected).
  int DeInitialize();

  bool IsOpen() const { return m_nFd >= 0; }
  const std::string& Path() const { return m_sPath; }
  char Seperator() const { return m_cSeperator; }

  // The figures of the last file, kept after DeInitialize until the next
  // Initialize.
  uint64_t LinesAcknowledged() const { return m_ulAcknowledged; }
  // Acknowledged lines handed to the file system.
  uint64_t LinesWritten() const { return m_ulWritten; }
  // Acknowledged lines that may be missing from the file or damaged in it.
  uint64_t LinesAffected() const;
  // Why the writer failed; empty while it has not.
  const std::string& LastError() const { return m_sLastError; }
  // Acknowledged lines that a failed write left out of the file, whole and in
  // order; taking them hands them to the caller (LinesAffected drops by them).
  std::string TakeUnwritten();
  // Whether lines are written through one by one (no space reservation here).
  bool WritesThrough() const { return m_bWriteThrough; }

  static constexpr size_t kBufferSize = 64 * 1024;
  static constexpr off_t kReserveStep = 1 << 20;
  static constexpr off_t kMaxReserveStep = 16 << 20;

 private:
  bool reserve(off_t end);
  bool flush(size_t current);
  void fail(const std::string& text);

  int m_nFd;
  char m_cSeperator;
  bool m_bFailed;         // a write of acknowledged lines failed: refuse the rest
  bool m_bWriteThrough;   // no reservation possible on this file system
  bool m_bShortOfRoom;    // a reservation step failed: reserve block by block
  bool m_bRefusing;       // the last line was refused for want of room (logged once)
  bool m_bSyncFailed;     // sync or close failed: every written line is in doubt
  off_t m_lWritten;       // bytes of whole lines in the file
  off_t m_lFileEnd;       // end of what was written, a partly written line included
  off_t m_lReserved;      // end of the reserved space
  off_t m_lStep;          // next reservation step
  off_t m_lBlockSize;     // allocation unit of the file system
  uint64_t m_ulAcknowledged;
  uint64_t m_ulWritten;
  uint64_t m_ulUnwritten;  // lines in m_sUnwritten
  size_t m_nBufferedLines;
  std::string m_sPath;
  std::string m_sBuffer;
  std::string m_sUnwritten;
  std::string m_sLastError;
};

// One record of a collect file as the reader returns it.
struct TQHSM_API HSMCollectFile {
  std::string m_sEntry;
  long long m_llNumber = 0;
};

// The library's own files in the job-results directory (StubCollect,
// StubCollectTemp, the re-stubbing pass's rewrite file, "IndexingDump.obf") lie
// where others may be able to plant entries. They are opened with O_NOFOLLOW and
// O_NONBLOCK, so that a symbolic link is never followed and a FIFO never waited
// on, and used only when the descriptor shows a regular file that belongs to the
// effective user and has no other hard link (so that it cannot be another
// user's file or a link to a file elsewhere). An existing file is emptied only
// after that check.
//
// Opens path for writing (O_WRONLY, plus O_APPEND when append is set; emptied
// when truncate is set), creating it with mode 0644 when missing. -1 with the
// reason in error (and errno set) when it cannot be opened or is refused.
TQHSM_API int OpenOwnFile(const char* path, bool append, bool truncate, std::string& error);
// Opens an existing file of the library for reading, with the same checks.
// Null with the reason in error and errno set (ENOENT when it is missing).
TQHSM_API FILE* OpenOwnFileForReading(const char* path, std::string& error);

// Reads the next record; non-zero while one was read. Lines that do not have the
// record layout are skipped (and logged), so that one bad line cannot hide the
// records behind it. At the end, or on a read error, it answers 0: the caller
// tells the two apart with ferror.
TQHSM_API int GetLineFromCollectFile(FILE* file, char separator, HSMCollectFile& record);
// Number of lines of one of the library's own files (see OpenOwnFile); 0 for an
// empty or missing one, -1 when it cannot be read or is refused (the reason is
// logged).
TQHSM_API long CountLines(const char* path);
// Reads the next line (without its line break) into buffer; non-zero while a line
// was read. A line longer than the buffer is cut to fit and the rest of it is
// skipped, so the next call starts at the next line.
TQHSM_API int GetLine(FILE* file, char* buffer, size_t size = 1032);

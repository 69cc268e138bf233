#pragma once

#include <sys/types.h>

#include <cstdio>
#include <string>

#include "TQHSMExport.h"

// Writer of a collect file. Every record is one line:
//   <sep><entry><sep><number><sep>\n
// The entry may itself contain the separator (the reader takes everything
// between the first separator and the one before the number), but never a line
// break: such an entry is refused rather than split into two records.
// Lines are buffered; a failed write, sync or close (ENOSPC, EIO ...) is reported
// as a failure, and a partly written line is cut off again so that the file
// always ends with a whole record.
class TQHSM_API CollectFile {
 public:
  CollectFile();
  ~CollectFile();
  CollectFile(const CollectFile&) = delete;
  CollectFile& operator=(const CollectFile&) = delete;

  // Creates (or empties) the file and opens it. Non-zero on success.
  int Initialize(const std::string& path);
  void SetSeperator(char separator);
  // Non-zero when the line was accepted. add false: nothing is written (success).
  int AddToCollectFile(const std::string& entry, bool add, bool flag, long long number);
  // Writes out what is buffered and closes the file. Non-zero on success (also
  // when the file was not open).
  int DeInitialize();

  bool IsOpen() const { return m_nFd >= 0; }
  const std::string& Path() const { return m_sPath; }
  char Seperator() const { return m_cSeperator; }

  static const size_t kBufferSize = 64 * 1024;

 private:
  int flush();
  void fail(const char* what, int err);

  int m_nFd;
  char m_cSeperator;
  bool m_bFailed;
  off_t m_lWritten;  // bytes of whole lines on disk
  std::string m_sPath;
  std::string m_sBuffer;
};

// One record of a collect file as the reader returns it.
struct TQHSM_API HSMCollectFile {
  std::string m_sEntry;
  long long m_llNumber = 0;
};

// Reads the next record; non-zero while one was read. Lines that do not have the
// record layout are skipped (and logged), so that one bad line cannot hide the
// records behind it.
TQHSM_API int GetLineFromCollectFile(FILE* file, char separator, HSMCollectFile& record);
// Number of lines of a file; 0 for an empty or missing one.
TQHSM_API long CountLines(const char* path);
// Reads the next line (without its line break) into buffer; non-zero while a line
// was read. A line longer than the buffer is cut to fit and the rest of it is
// skipped, so the next call starts at the next line.
TQHSM_API int GetLine(FILE* file, char* buffer, size_t size = 1032);

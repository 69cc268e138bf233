#pragma once

#include "FetchIndexInfo.h"
#include "TQHSMExport.h"

// Answer sink of the re-stubbing pass's batch index lookup: appends one line
// "<parvis>:<copy precedence>:<archive file>:<found>" per answer to the dump file,
// so that the answers never pile up in memory. The dump file is one of the
// library's own files (OpenOwnFile: never a planted link or FIFO); one that
// cannot be opened gets no lines, which the pass's line count then reports.
class TQHSM_API MyIndexInfoResp final : public FetchIndexInfoSendRes {
 public:
  explicit MyIndexInfoResp(const char* dumpPath);
  ~MyIndexInfoResp();
  MyIndexInfoResp(const MyIndexInfoResp&) = delete;
  MyIndexInfoResp& operator=(const MyIndexInfoResp&) = delete;

  // Non-zero when a batch could not be written whole (the lookup then fails).
  int function(FetchIndexInfoResp* response) override;
  // Closes the dump file; false when a batch could not be written or the file
  // not be closed.
  bool Close();

  int m_nDumpFd;  // the dump file, -1 when it could not be opened
  bool m_bFailed;
};

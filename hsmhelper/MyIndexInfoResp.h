#pragma once

#include <cstdio>

#include "FetchIndexInfo.h"
#include "TQHSMExport.h"

// Answer sink of the re-stubbing pass's batch index lookup: appends one line
// "<parvis>:<copy precedence>:<archive file>:<found>" per answer to the dump file,
// so that the answers never pile up in memory.
class TQHSM_API MyIndexInfoResp final : public FetchIndexInfoSendRes {
 public:
  explicit MyIndexInfoResp(const char* dumpPath);
  ~MyIndexInfoResp();
  MyIndexInfoResp(const MyIndexInfoResp&) = delete;
  MyIndexInfoResp& operator=(const MyIndexInfoResp&) = delete;

  int function(FetchIndexInfoResp* response) override;

  FILE* m_pDumpFile;
};

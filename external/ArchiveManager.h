#pragma once

#include <cstdint>
#include <string>

#include "TQHSMExport.h"

class OBJobCtrlClient;

// Archive-manager request: which copy an archive file (AF) still has.
struct TQHSM_API OBA_GetCopyIdByAfileCopyPrec50Req_t {
  uint64_t afileId = 0;
  uint64_t copyPrecedence = 0;
  uint64_t parvisId = 0;
  uint64_t reserved = 0;
};

// Archive-manager response: field 1 the copy id (0 = no copy any more), field 8
// a flag (1 = the AF is pruned).
struct TQHSM_API OBA_GetCopyIdByAfileCopyPrec50Resp_t {
  uint64_t copyId = 0;
  uint64_t field2 = 0;
  uint64_t field3 = 0;
  uint64_t field4 = 0;
  uint64_t field5 = 0;
  uint64_t field6 = 0;
  uint64_t field7 = 0;
  uint64_t prunedFlag = 0;
};

class TQHSM_API ArMgrClientAPI {
 public:
  virtual ~ArMgrClientAPI();
  // 0 = answered.
  virtual int getAfileCopy(OBA_GetCopyIdByAfileCopyPrec50Req_t& request,
                           OBA_GetCopyIdByAfileCopyPrec50Resp_t& response);
};

// The archive-manager client of a client.
class TQHSM_API OBArchive : public ArMgrClientAPI {
 public:
  OBArchive(const std::string& clientName, OBJobCtrlClient* jobCtrl, bool flag);
  ~OBArchive() override;

 protected:
  std::string m_sClientName;
};

// Maps Parvis numbers (as stubs carry them) to Parvis ids.
class TQHSM_API ParvisMapper {
 public:
  ParvisMapper();
  virtual ~ParvisMapper();
  // 0 when the number is unknown.
  virtual uint64_t numberToId(uint64_t parvisNumber);
};

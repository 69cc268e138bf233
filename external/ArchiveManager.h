#pragma once

#include <cstdint>
#include <string>

#include "Backend.h"

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
  int getAfileCopy(OBA_GetCopyIdByAfileCopyPrec50Req_t& request,
                   OBA_GetCopyIdByAfileCopyPrec50Resp_t& response) override;

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

namespace tqhsm {

// The archive manager and the Parvis numbering of the backup system, as the
// clients above reach them. The base class answers from the catalog
// (tables archive_files and parvis, see Catalog.cpp); tests install fakes.
class TQHSM_API ArchiveService {
  TQHSM_BACKEND_SLOT(ArchiveService)

 public:
  enum { eNoCatalog = 1, eUnknownAfile = 2, eQueryFailed = 3 };

  virtual ~ArchiveService();
  // 0 = answered. An AF that the archive manager does not know is an error
  // (eUnknownAfile), not an answer: only an AF known to be gone may count as
  // pruned, since a pruned AF gets its stubs deleted.
  virtual int getAfileCopy(const std::string& clientName,
                           const OBA_GetCopyIdByAfileCopyPrec50Req_t& request,
                           OBA_GetCopyIdByAfileCopyPrec50Resp_t& response);
  // 0 when the number is unknown or cannot be looked up.
  virtual uint64_t numberToId(uint64_t parvisNumber);
};

}  // namespace tqhsm

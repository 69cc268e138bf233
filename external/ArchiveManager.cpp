#include "ArchiveManager.h"

// Until the archive manager is wired to the catalog it answers nothing.

ArMgrClientAPI::~ArMgrClientAPI() = default;
int ArMgrClientAPI::getAfileCopy(OBA_GetCopyIdByAfileCopyPrec50Req_t&,
                                 OBA_GetCopyIdByAfileCopyPrec50Resp_t&) {
  return -1;
}

OBArchive::OBArchive(const std::string& clientName, OBJobCtrlClient*, bool)
    : m_sClientName(clientName) {}
OBArchive::~OBArchive() = default;

ParvisMapper::ParvisMapper() = default;
ParvisMapper::~ParvisMapper() = default;
uint64_t ParvisMapper::numberToId(uint64_t) { return 0; }

#include "FetchIndexInfo.h"

// Until the index is wired to the catalog, a lookup client cannot be initialised.

FetchIndexInfo::FetchIndexInfo() = default;
FetchIndexInfo::~FetchIndexInfo() = default;

int FetchIndexInfo::init(const std::string&, uint32_t, uint32_t, uint32_t, uint32_t) { return -1; }
int FetchIndexInfo::initByAfileId(int, uint64_t) { return -1; }
int FetchIndexInfo::lookup(const MetaData&, FInfoRespItem&) { return -1; }
int FetchIndexInfo::lookup(const std::list<MetaData>&, FetchIndexInfoSendRes*) { return -1; }

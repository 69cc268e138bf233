#pragma once

#include <cstdint>
#include <list>
#include <string>

#include "TQHSMExport.h"

// Index lookups of the agent.

// One query key: a kind and a key string.
struct TQHSM_API MetaData {
  MetaData() = default;
  MetaData(uint32_t kind, const std::string& key) : m_nKind(kind), m_sKey(key) {}
  uint32_t m_nKind = 0;
  std::string m_sKey;
};

// One answer item.
struct TQHSM_API FInfoRespItem {
  uint8_t found = 0;
  uint32_t parvisNumber = 0;
  uint32_t copyPrecedence = 0;
  uint32_t afileId = 0;
};

// A batch of answers as the lookup delivers it.
struct TQHSM_API FetchIndexInfoResp {
  std::list<FInfoRespItem> m_lstItems;
};

// Receives the answers of a batch lookup; function() is called once per batch.
class TQHSM_API FetchIndexInfoSendRes {
 public:
  explicit FetchIndexInfoSendRes(FInfoRespItem* item) : m_pItem(item) {}
  virtual int function(FetchIndexInfoResp* response) = 0;

 protected:
  ~FetchIndexInfoSendRes() = default;
  FInfoRespItem* m_pItem;
};

// A lookup client of the index.
class TQHSM_API FetchIndexInfo {
 public:
  FetchIndexInfo();
  virtual ~FetchIndexInfo();

  void setInitFlags(uint32_t flags) { m_nInitFlags |= flags; }
  uint32_t initFlags() const { return m_nInitFlags; }
  // 0 = ready.
  virtual int init(const std::string& name, uint32_t arg1, uint32_t appId, uint32_t arg3,
                   uint32_t arg4);
  virtual int initByAfileId(int afileId, uint64_t parvisId);
  // 0 = answered.
  virtual int lookup(const MetaData& key, FInfoRespItem& answer);
  // 0 = success; answers go to sink->function().
  virtual int lookup(const std::list<MetaData>& keys, FetchIndexInfoSendRes* sink);

 protected:
  uint32_t m_nInitFlags = 0;
  bool m_bReady = false;
};

#pragma once

#include <cstdint>
#include <list>
#include <string>

#include "Backend.h"

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

// A lookup client of the index. It must be initialised (init or initByAfileId)
// before it answers.
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

namespace tqhsm {

// The index service behind the lookup clients. The base class answers from the
// catalog (table stub_index, keyed by stub GUID, for keys of kind
// kStubGUIDKind); tests install fakes. Every call names the client it serves.
class TQHSM_API IndexService {
  TQHSM_BACKEND_SLOT(IndexService)

 public:
  static const uint32_t kStubGUIDKind = 0x85ED33A1u;
  // Answers delivered to a sink per call of its function().
  static const size_t kBatchSize = 1024;

  virtual ~IndexService();
  // 0 = the client may look up.
  virtual int init(FetchIndexInfo& client, const std::string& name, uint32_t arg1,
                   uint32_t appId, uint32_t arg3, uint32_t arg4);
  virtual int initByAfileId(FetchIndexInfo& client, int afileId, uint64_t parvisId);
  // 0 = answered; a key that the index does not hold is answered with found 0.
  virtual int lookup(FetchIndexInfo& client, const MetaData& key, FInfoRespItem& answer);
  // 0 = every key answered: exactly one item per key, in key order.
  virtual int lookup(FetchIndexInfo& client, const std::list<MetaData>& keys,
                     FetchIndexInfoSendRes* sink);
};

}  // namespace tqhsm

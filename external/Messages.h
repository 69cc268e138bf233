#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "Backend.h"

// The agent's typed messages and its stored-procedure service.
//
// A message has a family and a type and holds 64-bit integer fields and nested
// objects, each known by a numeric id. It travels as a small XML text:
//
//   <CNMessage family="30" type="1958"><object id="0x1e2132cd" type="0xdd020b">
//   <int64 id="0x12d8e9ce" type="0xa4b486" value="42"/></object></CNMessage>
//
// (one line when not indented). Objects and fields are found by their id; the
// other layout arguments of the accessor calls (occurrence, flags, sizes) are
// accepted for the callers' sake and carry no meaning in this encoding.

// A view on one object of a message: its integer fields and nested objects.
class TQHSM_API CNObjectAccessor {
 public:
  CNObjectAccessor(uint32_t id, uint32_t type) : m_nId(id), m_nType(type) {}
  virtual ~CNObjectAccessor();
  CNObjectAccessor(const CNObjectAccessor&) = delete;
  CNObjectAccessor& operator=(const CNObjectAccessor&) = delete;

  // Sets (or replaces) a field. 0 on success.
  int setint64(int index, int flags, int64_t value, uint32_t fieldId, uint32_t fieldType);
  // The field's value; 0 when the object has no such field.
  int64_t getint64(int index, uint32_t fieldId, uint32_t fieldType) const;
  // true and the value when the field exists.
  bool findint64(uint32_t fieldId, int64_t& value) const;

  // The nested object of that id; created when missing and create is true,
  // otherwise null when missing. Stays owned by this object.
  CNObjectAccessor* getObjectAccessor(bool create, bool flag, int minCount, int maxCount,
                                      uint32_t objectId, uint32_t objectType, int nameSize,
                                      int valueSize);

  uint32_t id() const { return m_nId; }
  uint32_t type() const { return m_nType; }

 protected:
  friend class CNMessageBase;
  struct Int64Field {
    uint32_t type;
    int64_t value;
  };
  void clear();

  uint32_t m_nId;
  uint32_t m_nType;
  std::map<uint32_t, Int64Field> m_mapInt64;
  std::map<uint32_t, std::unique_ptr<CNObjectAccessor>> m_mapObjects;
};

// A message; the message itself is its root object.
class TQHSM_API CNMessageBase : public CNObjectAccessor {
 public:
  // Results of unserialize.
  enum {
    eMsgOk = 0,
    eMsgMalformedXml = 1,   // not well-formed XML
    eMsgWrongMessage = 2,   // another root element, family or type
    eMsgBadContent = 3,     // unknown element, bad number, missing attribute
  };

  CNMessageBase(int family, int type);
  ~CNMessageBase() override;

  int family() const { return m_nFamily; }
  int msgType() const { return m_nMsgType; }

  // Writes the message as XML; indent puts every element on its own line. 0 on
  // success.
  int serialize(std::string& xml, bool indent) const;
  // Replaces the content by the one in xml, which must be a message of this
  // family and type. 0 on success; otherwise one of the codes above and the
  // message is left empty.
  int unserialize(const std::string& xml);
  // Why the last unserialize failed.
  const std::string& lastError() const { return m_sLastError; }

 private:
  int m_nFamily;
  int m_nMsgType;
  std::string m_sLastError;
};

namespace tqhsm {

// The ids of GetHonorArchiverRetentionDaysReq and its response, as the helper and
// the stored procedure that answers it use them.
namespace retention {
const int kFamily = 30;
const int kRequestType = 1958;   // GetHonorArchiverRetentionDaysReq
const int kResponseType = 1959;  // GetHonorArchiverRetentionDaysResp
const uint32_t kRequestObjectId = 0x1e2132cd;
const uint32_t kRequestObjectType = 0xdd020b;
const uint32_t kSubclientIdField = 0x12d8e9ce;
const uint32_t kSubclientIdType = 0xa4b486;
const uint32_t kDaysField = 0x1e052781;
const uint32_t kDaysType = 0x614c3b;
}  // namespace retention

// Results of the stored-procedure service.
enum StoredProcedureResult {
  eSpOk = 0,
  eSpUnknownProcedure = 1,
  eSpBadRequest = 2,
  eSpCatalogUnavailable = 3,
  eSpNotFound = 4,
  eSpQueryFailed = 5,
};

// Runs the backup system's stored procedures. The default answers from the
// catalog (see Catalog.h): procedure 0x1e2132cd, GetHonorArchiverRetentionDaysReq,
// reads table subclient_retention.
class TQHSM_API StoredProcedures {
  TQHSM_BACKEND_SLOT(StoredProcedures)

 public:
  virtual ~StoredProcedures();
  // 0 with the response XML on success; a StoredProcedureResult otherwise.
  virtual int execute(uint32_t procedureId, const std::string& requestXml,
                      std::string& responseXml) = 0;
};

}  // namespace tqhsm

// The helper's entry to the stored-procedure service.
class TQHSM_API App_ExecuteSP {
 public:
  static const uint32_t kGetHonorArchiverRetentionDays = 0x1e2132cd;

  // 0 on success, with the answer in responseXml.
  static int executeStoredProcedure(uint32_t procedureId, const std::string& requestXml,
                                    std::string& responseXml);
};

#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "TQHSMExport.h"

// The wire format between a scan's session to the HSM service (CObNetwork) and
// the service itself (tqhsm-service). Inside the TLS connection every message
// is one frame, all numbers big-endian:
//
//   offset  size  field
//   0       4     magic "TQHS"
//   4       2     protocol version (1)
//   6       2     reserved, 0
//   8       4     message type
//   12      4     body length, at most kMaxBodyLength
//   16      n     body: the message's record, XDR-encoded (RFC 4506, libtirpc):
//                 its fields in order, each an XDR string
//
// A connection carries one request and its answer at a time. The session first
// attaches (kAttachRequest, answered by kAttachResponse), then sends watch
// requests. The service answers a request it cannot serve with kErrorAnswer;
// after a frame it cannot make sense of it answers kErrorAnswer and closes.
//
// This file is pure encoding: no I/O, so that the decoder can be fuzzed alone.

namespace tqhsm {
namespace proto {

const uint32_t kMagic = 0x54514853;  // "TQHS"
const uint16_t kVersion = 1;
const size_t kHeaderSize = 16;
const uint32_t kMaxBodyLength = 16384;

// The TCP port of the HSM service when the configuration names none.
const int kDefaultPort = 8405;

// Message types. The two watch messages keep the codes the helper sends them
// under; the session's own messages live in a range of their own.
const uint32_t kAttachRequest = 0x54510001;   // service name, physical machine
const uint32_t kAttachResponse = 0x54510002;  // error text, empty: attached
const uint32_t kErrorAnswer = 0x545100FF;     // error text
const uint32_t kWatchRequest = 0x4B00000B;    // DMR_START_WATCHING_VOLUME_REQ: client, volume
const uint32_t kWatchResponse = 0x4B00000C;   // DMR_START_WATCHING_VOLUME_RESP: error text

// Longest field values, in bytes.
const size_t kMaxNameLength = 1024;  // service, client and machine names
const size_t kMaxPathLength = 4095;  // a volume path (PATH_MAX less its NUL)
const size_t kMaxTextLength = 8192;  // an error text

// "DMR_START_WATCHING_VOLUME_REQ (0x4B00000B)" for a known type, "0x12345678"
// for any other.
TQHSM_API std::string DescribeType(uint32_t type);

struct TQHSM_API FrameHeader {
  uint32_t m_nType = 0;
  uint32_t m_nLength = 0;
};

TQHSM_API void EncodeHeader(uint32_t type, uint32_t length, unsigned char* out);
// Checks the kHeaderSize bytes at in. False, with what is wrong in error, for
// another magic, another version, a reserved field that is not 0 or a body
// over the limit.
TQHSM_API bool DecodeHeader(const unsigned char* in, FrameHeader& header, std::string& error);

// The record of a message type: how many string fields, their names and limits.
struct TQHSM_API RecordLayout {
  size_t m_nFields;
  const char* const* m_pNames;
  const size_t* m_pLimits;
};
// Null for a type without a record.
TQHSM_API const RecordLayout* LayoutOf(uint32_t type);

// The XDR body of a record of this type; a null field is sent as an empty
// string. False with the reason for an unknown type, a wrong number of fields
// or a field over its limit.
TQHSM_API bool EncodeRecord(uint32_t type, const std::vector<const char*>& fields,
                            std::string& body, std::string& error);
// Header and body of one frame.
TQHSM_API bool EncodeFrame(uint32_t type, const std::vector<const char*>& fields,
                           std::string& frame, std::string& error);

// The fields of a decoded record, as XDR allocated them (malloc); freed with the
// record unless taken out with release().
class TQHSM_API DecodedRecord {
 public:
  DecodedRecord() = default;
  ~DecodedRecord();
  DecodedRecord(const DecodedRecord&) = delete;
  DecodedRecord& operator=(const DecodedRecord&) = delete;

  size_t size() const { return m_vecFields.size(); }
  std::string field(size_t i) const { return m_vecFields[i] ? m_vecFields[i] : ""; }
  // Hands field i to the caller, who frees it with FreeXdrString.
  char* release(size_t i);
  void clear();

 private:
  friend bool DecodeRecord(uint32_t, const char*, size_t, DecodedRecord&, std::string&);
  std::vector<char*> m_vecFields;
};

// Decodes the body of a frame of this type. False, with the reason and nothing
// in record, for an unknown type, a body cut short, a field over its limit or
// holding a NUL byte, or bytes left after the last field.
TQHSM_API bool DecodeRecord(uint32_t type, const char* body, size_t length, DecodedRecord& record,
                            std::string& error);
// Frees a string that DecodeRecord allocated and sets the pointer to null.
TQHSM_API void FreeXdrString(char*& text);

// Cuts an error text to what a frame may carry, marking the cut.
TQHSM_API std::string FitText(const std::string& text);

}  // namespace proto
}  // namespace tqhsm

#include "ServiceProtocol.h"

#include <rpc/xdr.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tqhsm {
namespace proto {

namespace {

const char* const kNamesText[] = {"errorMessage"};
const size_t kLimitsText[] = {kMaxTextLength};
const char* const kNamesAttach[] = {"serviceName", "physicalMachine"};
const size_t kLimitsAttach[] = {kMaxNameLength, kMaxNameLength};
const char* const kNamesWatch[] = {"clientName", "volumePath"};
const size_t kLimitsWatch[] = {kMaxNameLength, kMaxPathLength};

const RecordLayout kLayoutText = {1, kNamesText, kLimitsText};
const RecordLayout kLayoutAttach = {2, kNamesAttach, kLimitsAttach};
const RecordLayout kLayoutWatch = {2, kNamesWatch, kLimitsWatch};

const char* nameOf(uint32_t type) {
  switch (type) {
    case kAttachRequest: return "TQHSM_ATTACH_REQ";
    case kAttachResponse: return "TQHSM_ATTACH_RESP";
    case kErrorAnswer: return "TQHSM_ERROR";
    case kWatchRequest: return "DMR_START_WATCHING_VOLUME_REQ";
    case kWatchResponse: return "DMR_START_WATCHING_VOLUME_RESP";
    default: return nullptr;
  }
}

std::string hex(uint32_t value) {
  char text[16];
  snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

void put32(unsigned char* out, uint32_t v) {
  out[0] = static_cast<unsigned char>(v >> 24);
  out[1] = static_cast<unsigned char>(v >> 16);
  out[2] = static_cast<unsigned char>(v >> 8);
  out[3] = static_cast<unsigned char>(v);
}

uint32_t get32(const unsigned char* in) {
  return (static_cast<uint32_t>(in[0]) << 24) | (static_cast<uint32_t>(in[1]) << 16) |
         (static_cast<uint32_t>(in[2]) << 8) | static_cast<uint32_t>(in[3]);
}

uint16_t get16(const unsigned char* in) { return static_cast<uint16_t>((in[0] << 8) | in[1]); }

// Bytes an XDR string of n bytes takes: its length word and the bytes padded to
// a multiple of four.
size_t xdrStringSize(size_t n) { return 4 + ((n + 3) & ~static_cast<size_t>(3)); }

}  // namespace

std::string DescribeType(uint32_t type) {
  const char* name = nameOf(type);
  return name ? std::string(name) + " (" + hex(type) + ")" : hex(type);
}

void EncodeHeader(uint32_t type, uint32_t length, unsigned char* out) {
  put32(out, kMagic);
  out[4] = static_cast<unsigned char>(kVersion >> 8);
  out[5] = static_cast<unsigned char>(kVersion);
  out[6] = 0;
  out[7] = 0;
  put32(out + 8, type);
  put32(out + 12, length);
}

bool DecodeHeader(const unsigned char* in, FrameHeader& header, std::string& error) {
  uint32_t magic = get32(in);
  if (magic != kMagic) {
    error = "not a frame of the HSM service protocol (magic " + hex(magic) + ")";
    return false;
  }
  uint16_t version = get16(in + 4);
  if (version != kVersion) {
    error = "protocol version " + std::to_string(version) + " is not supported (this end speaks " +
            std::to_string(kVersion) + ")";
    return false;
  }
  uint16_t reserved = get16(in + 6);
  if (reserved != 0) {
    error = "reserved header field is " + std::to_string(reserved) + ", not 0";
    return false;
  }
  uint32_t length = get32(in + 12);
  if (length > kMaxBodyLength) {
    error = "a message of " + std::to_string(length) + " bytes is over the limit of " +
            std::to_string(kMaxBodyLength);
    return false;
  }
  header.m_nType = get32(in + 8);
  header.m_nLength = length;
  return true;
}

const RecordLayout* LayoutOf(uint32_t type) {
  switch (type) {
    case kAttachRequest: return &kLayoutAttach;
    case kAttachResponse:
    case kErrorAnswer:
    case kWatchResponse: return &kLayoutText;
    case kWatchRequest: return &kLayoutWatch;
    default: return nullptr;
  }
}

bool EncodeRecord(uint32_t type, const std::vector<const char*>& fields, std::string& body,
                  std::string& error) {
  const RecordLayout* layout = LayoutOf(type);
  if (!layout) {
    error = "no record is known for message type " + DescribeType(type);
    return false;
  }
  if (fields.size() != layout->m_nFields) {
    error = DescribeType(type) + " has " + std::to_string(layout->m_nFields) + " fields, not " +
            std::to_string(fields.size());
    return false;
  }
  size_t total = 0;
  for (size_t i = 0; i < fields.size(); ++i) {
    size_t n = fields[i] ? strlen(fields[i]) : 0;
    if (n > layout->m_pLimits[i]) {
      error = std::string("field ") + layout->m_pNames[i] + " of " + DescribeType(type) + " is " +
              std::to_string(n) + " bytes long, over its limit of " +
              std::to_string(layout->m_pLimits[i]);
      return false;
    }
    total += xdrStringSize(n);
  }
  body.assign(total, '\0');
  XDR xdr;
  xdrmem_create(&xdr, &body[0], static_cast<u_int>(total), XDR_ENCODE);
  bool ok = true;
  for (size_t i = 0; i < fields.size() && ok; ++i) {
    char* text = const_cast<char*>(fields[i] ? fields[i] : "");
    ok = xdr_string(&xdr, &text, static_cast<u_int>(layout->m_pLimits[i])) != 0;
  }
  ok = ok && xdr_getpos(&xdr) == total;
  xdr_destroy(&xdr);
  if (!ok) {
    error = "cannot XDR-encode " + DescribeType(type);
    body.clear();
  }
  return ok;
}

bool EncodeFrame(uint32_t type, const std::vector<const char*>& fields, std::string& frame,
                 std::string& error) {
  std::string body;
  if (!EncodeRecord(type, fields, body, error)) return false;
  if (body.size() > kMaxBodyLength) {
    error = DescribeType(type) + " of " + std::to_string(body.size()) +
            " bytes is over the limit of " + std::to_string(kMaxBodyLength);
    return false;
  }
  unsigned char header[kHeaderSize];
  EncodeHeader(type, static_cast<uint32_t>(body.size()), header);
  frame.assign(reinterpret_cast<const char*>(header), kHeaderSize);
  frame += body;
  return true;
}

DecodedRecord::~DecodedRecord() { clear(); }

void DecodedRecord::clear() {
  for (char*& field : m_vecFields) FreeXdrString(field);
  m_vecFields.clear();
}

char* DecodedRecord::release(size_t i) {
  char* text = m_vecFields[i];
  m_vecFields[i] = nullptr;
  return text;
}

bool DecodeRecord(uint32_t type, const char* body, size_t length, DecodedRecord& record,
                  std::string& error) {
  record.clear();
  const RecordLayout* layout = LayoutOf(type);
  if (!layout) {
    error = "no record is known for message type " + DescribeType(type);
    return false;
  }
  if (length > kMaxBodyLength) {
    error = "a message of " + std::to_string(length) + " bytes is over the limit of " +
            std::to_string(kMaxBodyLength);
    return false;
  }
  static const char kEmpty[4] = {0, 0, 0, 0};
  XDR xdr;
  xdrmem_create(&xdr, const_cast<char*>(length ? body : kEmpty), static_cast<u_int>(length),
                XDR_DECODE);
  bool ok = true;
  for (size_t i = 0; i < layout->m_nFields && ok; ++i) {
    const std::string what =
        std::string("field ") + layout->m_pNames[i] + " of " + DescribeType(type);
    // The declared length first, to say what is wrong with it in our words.
    u_int start = xdr_getpos(&xdr);
    u_int declared = 0;
    if (!xdr_u_int(&xdr, &declared)) {
      error = "the message ends before " + what;
      ok = false;
      break;
    }
    if (declared > layout->m_pLimits[i]) {
      error = what + " declares " + std::to_string(declared) + " bytes, over its limit of " +
              std::to_string(layout->m_pLimits[i]);
      ok = false;
      break;
    }
    if (!xdr_setpos(&xdr, start)) {
      error = "cannot decode " + what;
      ok = false;
      break;
    }
    char* text = nullptr;
    if (!xdr_string(&xdr, &text, static_cast<u_int>(layout->m_pLimits[i]))) {
      FreeXdrString(text);
      error = "the message ends inside " + what;
      ok = false;
      break;
    }
    record.m_vecFields.push_back(text);
    // XDR strings may carry NUL bytes; a C string would silently lose the rest.
    if (strlen(text) != declared) {
      error = what + " holds a NUL byte";
      ok = false;
    }
  }
  if (ok && xdr_getpos(&xdr) != length) {
    error = std::to_string(length - xdr_getpos(&xdr)) + " bytes follow the last field of " +
            DescribeType(type);
    ok = false;
  }
  xdr_destroy(&xdr);
  if (!ok) record.clear();
  return ok;
}

void FreeXdrString(char*& text) {
  if (!text) return;
  xdr_free(reinterpret_cast<xdrproc_t>(xdr_wrapstring), reinterpret_cast<char*>(&text));
  text = nullptr;
}

std::string FitText(const std::string& text) {
  if (text.size() <= kMaxTextLength) return text;
  static const char kMark[] = " [...]";
  size_t keep = kMaxTextLength - (sizeof kMark - 1);
  // Never end inside a UTF-8 sequence.
  while (keep > 0 && (static_cast<unsigned char>(text[keep]) & 0xC0) == 0x80) --keep;
  return text.substr(0, keep) + kMark;
}

}  // namespace proto
}  // namespace tqhsm

#include "StubFormat.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "HSMLowLevel.h"
#include "StubKey.h"

namespace tqhsm {

namespace {

void putBE(std::vector<char>& out, uint64_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

uint64_t getBE(const unsigned char* p, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = (v << 8) | p[i];
  return v;
}

bool fail(std::string* why, const char* text) {
  if (why) *why = text;
  return false;
}

bool guidChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_' || c == '.' || c == '{' || c == '}';
}


}  // namespace

bool IsValidGUID(const std::string& guid) {
  if (guid.size() > kMaxGUIDLength) return false;
  for (char c : guid)
    if (!guidChar(c)) return false;
  return true;
}

bool CheckStubFields(const ReparseData& record, std::string* why) {
  if (record.stubKind != 1 && record.stubKind != 2)
    return fail(why, "stub kind must be 1 (archiver stub) or 2 (subclient stub)");
  if (!IsValidGUID(record.stubGUID))
    return fail(why, "stub GUID must be at most 64 letters, digits or -_.{}");
  if (!IsValidGUID(record.appGUID))
    return fail(why, "app GUID must be at most 64 letters, digits or -_.{}");
  return true;
}

bool EncodeStubData(const ReparseData& record, std::vector<char>& out, std::string* why) {
  out.clear();
  if (!CheckStubFields(record, why)) return false;
  std::string reason;
  const StubMac* mac = StubKey::Current().mac(&reason);
  if (!mac) {
    if (why) *why = "no stub key: " + reason;
    return false;
  }
  if (record.stubMtimeNsec >= 1000000000u) return fail(why, "invalid modification time");
  size_t body = kStubFixedBodySize + 2 + record.stubGUID.size() + record.appGUID.size();
  out.reserve(kStubHeaderSize + body + kStubTagSize);
  out.insert(out.end(), kStubMagic, kStubMagic + sizeof kStubMagic);
  putBE(out, kStubFormatVersion, 1);
  putBE(out, static_cast<uint64_t>(record.stubKind), 1);
  putBE(out, body, 2);
  putBE(out, record.afParvisNumber, 8);
  putBE(out, record.afCopyPrecedence, 8);
  putBE(out, record.afileId, 8);
  putBE(out, record.appId, 8);
  putBE(out, record.originalSize, 8);
  putBE(out, record.stubInode, 8);
  putBE(out, static_cast<uint64_t>(record.stubMtime), 8);
  putBE(out, record.stubMtimeNsec, 4);
  putBE(out, record.headRecord ? kStubFlagHead : 0, 1);
  putBE(out, record.stubGUID.size(), 1);
  out.insert(out.end(), record.stubGUID.begin(), record.stubGUID.end());
  putBE(out, record.appGUID.size(), 1);
  out.insert(out.end(), record.appGUID.begin(), record.appGUID.end());
  unsigned char tag[kStubTagSize];
  if (!mac->sign(out.data(), out.size(), tag)) {
    out.clear();
    return fail(why, "the crypto library failed to sign the stub data");
  }
  out.insert(out.end(), tag, tag + sizeof tag);
  return true;
}

bool DecodeStubData(const char* data, size_t size, ReparseData& record, size_t* length,
                    std::string* why) {
  if (!data || size < kStubHeaderSize) return fail(why, "too short for stub data");
  const unsigned char* p = reinterpret_cast<const unsigned char*>(data);
  if (std::memcmp(data, kStubMagic, sizeof kStubMagic) != 0) return fail(why, "no stub data");
  if (p[8] != kStubFormatVersion) {
    if (why) *why = "unsupported stub format version " + std::to_string(p[8]);
    return false;
  }
  int kind = p[9];
  if (kind != 1 && kind != 2) return fail(why, "unknown stub kind");
  size_t body = static_cast<size_t>(getBE(p + 10, 2));
  if (body < kStubFixedBodySize + 2) return fail(why, "stub body too short");
  size_t total = kStubHeaderSize + body + kStubTagSize;
  if (total > size) return fail(why, "stub data truncated");
  // Nothing of the body is interpreted before the record is known to be ours.
  std::string reason;
  const StubMac* mac = StubKey::Current().mac(&reason);
  if (!mac) {
    if (why) *why = "no stub key: " + reason;
    return false;
  }
  if (!mac->verify(data, kStubHeaderSize + body, p + kStubHeaderSize + body))
    return fail(why, "not authentic");

  const unsigned char* b = p + kStubHeaderSize;
  const unsigned char* end = b + body;
  ReparseData r;
  r.stubKind = kind;
  r.afParvisNumber = getBE(b, 8);
  r.afCopyPrecedence = getBE(b + 8, 8);
  r.afileId = getBE(b + 16, 8);
  r.appId = getBE(b + 24, 8);
  r.originalSize = getBE(b + 32, 8);
  r.stubInode = getBE(b + 40, 8);
  r.stubMtime = static_cast<int64_t>(getBE(b + 48, 8));
  r.stubMtimeNsec = static_cast<uint32_t>(getBE(b + 56, 4));
  r.headRecord = (b[60] & kStubFlagHead) != 0;
  if (r.stubMtimeNsec >= 1000000000u) return fail(why, "invalid modification time in stub data");
  const unsigned char* q = b + kStubFixedBodySize;
  std::string* guids[2] = {&r.stubGUID, &r.appGUID};
  for (std::string* g : guids) {
    if (q >= end) return fail(why, "stub GUIDs truncated");
    size_t n = *q++;
    if (n > static_cast<size_t>(end - q)) return fail(why, "stub GUIDs truncated");
    g->assign(reinterpret_cast<const char*>(q), n);
    q += n;
    if (!IsValidGUID(*g)) return fail(why, "invalid GUID in stub data");
  }
  record = r;
  if (length) *length = total;
  return true;
}

std::string FormatReparseText(const ReparseData& r) {
  std::string t = "TQS1";
  for (uint64_t v : {r.afParvisNumber, r.afCopyPrecedence, r.afileId,
                     static_cast<uint64_t>(r.stubKind), r.appId, r.originalSize}) {
    t += ':';
    t += std::to_string(v);
  }
  t += ':';
  t += r.stubGUID;
  t += ':';
  t += r.appGUID;
  return t;
}

bool ParseReparseText(const char* text, ReparseData& record, std::string* why) {
  if (!text) return fail(why, "no reparse text");
  // Bounded scan: a text longer than the format allows is refused without
  // looking for its end any further.
  size_t len = strnlen(text, kMaxReparseText);
  if (len >= kMaxReparseText) return fail(why, "reparse text too long");
  std::string s(text, len);
  std::vector<std::string> f;
  size_t start = 0;
  for (;;) {
    size_t colon = s.find(':', start);
    f.push_back(s.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  if (f.size() != 9 || f[0] != "TQS1") return fail(why, "not a reparse text of ours");
  ReparseData r;
  uint64_t kind = 0;
  if (!ParseDecimal(f[1], r.afParvisNumber) || !ParseDecimal(f[2], r.afCopyPrecedence) ||
      !ParseDecimal(f[3], r.afileId) || !ParseDecimal(f[4], kind) || !ParseDecimal(f[5], r.appId) ||
      !ParseDecimal(f[6], r.originalSize))
    return fail(why, "bad number in reparse text");
  if (kind != 1 && kind != 2) return fail(why, "unknown stub kind in reparse text");
  r.stubKind = static_cast<int>(kind);
  r.stubGUID = f[7];
  r.appGUID = f[8];
  if (!IsValidGUID(r.stubGUID) || !IsValidGUID(r.appGUID))
    return fail(why, "invalid GUID in reparse text");
  record = r;
  return true;
}

bool ParseDecimal(const std::string& text, uint64_t& value) {
  if (text.empty() || text.size() > 20) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text.c_str(), &end, 10);
  if (errno == ERANGE || !end || *end != '\0') return false;
  value = v;
  return true;
}

}  // namespace tqhsm

// The library's stub helper functions, over the format above.

bool tqhsm_stub2meta(const char* data, size_t dataSize, int* length, long long* size,
                     char* reparse, int reparseSize, bool /*fromFileContent*/) {
  // Records delimit themselves, so the attribute form and the file-head form
  // are read alike; only the bytes given are ever looked at.
  ReparseData r;
  size_t len = 0;
  if (!tqhsm::DecodeStubData(data, dataSize, r, &len)) return false;
  if (reparse) {
    std::string text = tqhsm::FormatReparseText(r);
    if (reparseSize <= 0 || text.size() + 1 > static_cast<size_t>(reparseSize)) {
      // Never a cut reparse text: a cut one would name another archive file.
      if (reparseSize > 0) reparse[0] = '\0';
      return false;
    }
    std::memcpy(reparse, text.c_str(), text.size() + 1);
  }
  if (length) *length = static_cast<int>(len);
  if (size) *size = static_cast<long long>(r.originalSize);
  return true;
}

int ParseStubReparseData(const char* reparse, ReparseData& record) {
  return tqhsm::ParseReparseText(reparse, record) ? 1 : 0;
}

int ParseStubData(const std::vector<char>& data, ReparseData& record) {
  return tqhsm::DecodeStubData(data.data(), data.size(), record) ? 1 : 0;
}

bool GetAppGUIDAndStubGUIDFromStubData(const std::vector<char>& data, std::string& appGUID,
                                       std::string& stubGUID) {
  ReparseData r;
  if (!tqhsm::DecodeStubData(data.data(), data.size(), r)) return false;
  appGUID = r.appGUID;
  stubGUID = r.stubGUID;
  return true;
}

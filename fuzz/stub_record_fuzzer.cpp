// Fuzzes the stub-record parser and the intact test, with the MAC. The input
// is a stub record without its MAC: it is parsed as it is (an attacker's bytes
// in "user.OSTUB", which the MAC must refuse), and, signed under the fuzzing
// key, as a record of this deployment (which reaches every field of the
// parser). Checks what must hold whatever the bytes:
//  - the unsigned bytes are never authentic (the chance of a matching tag is
//    2^-256), and no reader answers "stub data" for them;
//  - a record that parses re-encodes to a record that parses to the same
//    fields, and its reparse text parses back to the same meta-data;
//  - tqhsm_stub2meta, ParseStubData and GetAppGUIDAndStubGUIDFromStubData
//    agree with DecodeStubData, and never write past a reparse buffer;
//  - the intact test on a stat record taken from the input never calls a file
//    a stub whose inode, size or time differ from the record's.

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "HSMLowLevel.h"
#include "StubFormat.h"
#include "StubKey.h"

namespace {

tqhsm::FixedStubKey& FuzzKey() {
  static tqhsm::FixedStubKey key("tqhsm fuzzing key, not a secret");
  return key;
}

void Check(bool ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "stub_record_fuzzer: %s\n", what);
    abort();
  }
}

bool SameFields(const ReparseData& a, const ReparseData& b) {
  return a.afParvisNumber == b.afParvisNumber && a.afCopyPrecedence == b.afCopyPrecedence &&
         a.afileId == b.afileId && a.stubKind == b.stubKind && a.stubGUID == b.stubGUID &&
         a.appId == b.appId && a.appGUID == b.appGUID && a.originalSize == b.originalSize &&
         a.stubInode == b.stubInode && a.stubMtime == b.stubMtime &&
         a.stubMtimeNsec == b.stubMtimeNsec && a.headRecord == b.headRecord;
}

uint64_t Take(const uint8_t*& p, size_t& n, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes && n > 0; ++i, ++p, --n) v = (v << 8) | *p;
  return v;
}

// Every reader on bytes that are (valid) or are not (invalid) stub data.
void Readers(const std::vector<char>& bytes, bool valid, const ReparseData* expected) {
  // Into a block of exactly this size, so that a read past it is caught.
  std::unique_ptr<char[]> exact(new char[bytes.size() + 1]);
  if (!bytes.empty()) memcpy(exact.get(), bytes.data(), bytes.size());
  ReparseData r;
  size_t length = 0;
  std::string why;
  bool decoded = tqhsm::DecodeStubData(exact.get(), bytes.size(), r, &length, &why);
  Check(decoded == valid, "DecodeStubData disagrees");
  Check(decoded || !why.empty(), "a refusal without a reason");
  if (decoded) {
    Check(length <= bytes.size(), "record longer than its bytes");
    if (expected) Check(SameFields(r, *expected), "fields changed through the record");
  }
  ReparseData viaVector;
  Check((ParseStubData(bytes, viaVector) != 0) == valid, "ParseStubData disagrees");
  std::string app, guid;
  Check(GetAppGUIDAndStubGUIDFromStubData(bytes, app, guid) == valid, "GUID reader disagrees");
  for (int capacity : {1, 16, 64, 256, static_cast<int>(tqhsm::kMaxReparseText)}) {
    std::vector<char> text(static_cast<size_t>(capacity) + 16, '#');
    int len = 0;
    long long size = 0;
    bool ok = tqhsm_stub2meta(exact.get(), bytes.size(), &len, &size, text.data(), capacity, false);
    for (size_t i = static_cast<size_t>(capacity); i < text.size(); ++i)
      Check(text[i] == '#', "reparse text written past its capacity");
    if (!valid) Check(!ok, "tqhsm_stub2meta took invalid bytes");
    if (ok) {
      Check(static_cast<size_t>(len) == length, "length disagrees");
      ReparseData back;
      Check(ParseStubReparseData(text.data(), back) == 1, "own reparse text refused");
      Check(back.afileId == r.afileId && back.stubGUID == r.stubGUID &&
                back.appGUID == r.appGUID && back.originalSize == r.originalSize &&
                back.appId == r.appId && back.stubKind == r.stubKind,
            "reparse text does not round-trip");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tqhsm::ScopedBackend<tqhsm::StubKey> scope(&FuzzKey());
  const tqhsm::StubMac* mac = FuzzKey().mac(nullptr);
  Check(mac != nullptr, "no fuzzing key");

  // As it is: nobody's record.
  std::vector<char> raw(data, data + size);
  Readers(raw, false, nullptr);

  // Signed: this deployment's record, if its layout is sound.
  std::vector<char> signedBytes = raw;
  unsigned char tag[tqhsm::kStubMacSize];
  Check(mac->sign(signedBytes.data(), signedBytes.size(), tag), "cannot sign");
  signedBytes.insert(signedBytes.end(), tag, tag + sizeof tag);
  ReparseData r;
  size_t length = 0;
  bool valid = tqhsm::DecodeStubData(signedBytes.data(), signedBytes.size(), r, &length);
  if (valid) Check(length == signedBytes.size(), "a signed record that is not the whole input");
  Readers(signedBytes, valid, valid ? &r : nullptr);
  if (!valid) return 0;

  // Re-encoded: the same fields.
  std::vector<char> again;
  std::string why;
  Check(tqhsm::EncodeStubData(r, again, &why), "a parsed record cannot be encoded");
  ReparseData back;
  Check(tqhsm::DecodeStubData(again.data(), again.size(), back), "re-encoded record refused");
  Check(SameFields(r, back), "re-encoded record differs");

  // The intact test on a file as the record describes it, changed by what the
  // input's first bytes say.
  const uint8_t* p = data;
  size_t n = size;
  for (int variant = 0; variant < 4; ++variant) {
    struct stat st;
    memset(&st, 0, sizeof st);
    st.st_mode = S_IFREG | 0644;
    st.st_ino = static_cast<ino_t>(r.stubInode ^ (variant & 1 ? Take(p, n, 1) : 0));
    st.st_size = static_cast<off_t>(r.originalSize + (variant & 2 ? Take(p, n, 1) : 0));
    st.st_mtim.tv_sec = static_cast<time_t>(r.stubMtime);
    st.st_mtim.tv_nsec = static_cast<long>(r.stubMtimeNsec);
    st.st_blksize = static_cast<blksize_t>(512u << (Take(p, n, 1) % 8));
    st.st_blocks = static_cast<blkcnt_t>(Take(p, n, 2));
    std::string reason;
    ReparseData judged;
    int verdict = tqhsm::JudgeStub(signedBytes.data(), signedBytes.size(), st, tqhsm::eJudgeLocal,
                                   &judged, nullptr, &reason);
    Check(verdict >= tqhsm::eNoStub && verdict <= tqhsm::eDoubtfulStub, "unknown verdict");
    if (verdict == tqhsm::eIntactStub) {
      Check(static_cast<uint64_t>(st.st_ino) == r.stubInode &&
                static_cast<uint64_t>(st.st_size) == r.originalSize,
            "a stub whose inode or size differ from its record");
    } else {
      Check(!reason.empty(), "a verdict without a reason");
    }
    int view = tqhsm::JudgeStub(raw.data(), raw.size(), st, tqhsm::eJudgeView, nullptr, nullptr,
                                &reason);
    Check(view != tqhsm::eIntactStub, "unsigned bytes judged an intact stub");
  }
  return 0;
}

// Fuzzes the reparse-text parser, the hand-over format from the helper to
// stubFile, and what stubFile makes of it: any bytes as a text (cut at the
// first NUL, as a C string is). Checks what must hold:
//  - parsing never reads past the text's terminating NUL (the input sits in a
//    block of exactly its size) and refuses every text of more than
//    kMaxReparseText - 1 bytes;
//  - a text that parses is the canonical form of its meta-data: formatting
//    them again gives the same text back;
//  - its meta-data sign into a record of this deployment (StubKey) that reads
//    back to the same fields, whose reparse text is the same again; under
//    another key the record is not authentic.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "HSMLowLevel.h"
#include "StubFormat.h"
#include "StubKey.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "reparse_text_fuzzer: %s\n", what);
    abort();
  }
}

tqhsm::FixedStubKey& FuzzKey() {
  static tqhsm::FixedStubKey key("tqhsm fuzzing key, not a secret");
  return key;
}

tqhsm::FixedStubKey& OtherKey() {
  static tqhsm::FixedStubKey key("another deployment's stub key");
  return key;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::unique_ptr<char[]> text(new char[size + 1]);
  if (size) memcpy(text.get(), data, size);
  text[size] = '\0';
  size_t len = strlen(text.get());

  ReparseData r;
  std::string why;
  bool ok = tqhsm::ParseReparseText(text.get(), r, &why);
  ReparseData viaApi;
  Check((ParseStubReparseData(text.get(), viaApi) == 1) == ok, "the two parsers disagree");
  if (!ok) {
    Check(!why.empty(), "a refusal without a reason");
    return 0;
  }
  Check(len < tqhsm::kMaxReparseText, "a text longer than the format allows was taken");
  std::string canonical = tqhsm::FormatReparseText(r);
  // Numbers may carry leading zeros in the input; the canonical text parses
  // to the same meta-data and formats to itself.
  ReparseData again;
  Check(tqhsm::ParseReparseText(canonical.c_str(), again), "the canonical text is refused");
  Check(tqhsm::FormatReparseText(again) == canonical, "formatting is not stable");
  Check(canonical.size() + 1 <= tqhsm::kMaxReparseText, "canonical text too long");

  tqhsm::ScopedBackend<tqhsm::StubKey> scope(&FuzzKey());
  r.stubInode = size;
  r.stubMtime = static_cast<int64_t>(len) - 100;
  r.stubMtimeNsec = static_cast<uint32_t>(len * 1000);
  r.headRecord = (len & 1) != 0;
  std::vector<char> record;
  Check(tqhsm::EncodeStubData(r, record, &why), "parsed meta-data cannot be signed");
  Check(record.size() <= tqhsm::kMaxStubRecordSize, "record longer than the format's largest");
  ReparseData back;
  Check(tqhsm::DecodeStubData(record.data(), record.size(), back), "own record refused");
  Check(back.afileId == r.afileId && back.stubGUID == r.stubGUID && back.appGUID == r.appGUID &&
            back.stubInode == r.stubInode && back.stubMtime == r.stubMtime &&
            back.stubMtimeNsec == r.stubMtimeNsec && back.headRecord == r.headRecord,
        "record does not round-trip");
  char reparse[256];
  Check(tqhsm_stub2meta(record.data(), record.size(), nullptr, nullptr, reparse, sizeof reparse,
                        false),
        "own record gives no reparse text");
  Check(canonical == reparse, "the record's reparse text differs");
  {
    tqhsm::ScopedBackend<tqhsm::StubKey> other(&OtherKey());
    Check(!tqhsm::DecodeStubData(record.data(), record.size(), back),
          "a record is authentic under another key");
  }
  return 0;
}

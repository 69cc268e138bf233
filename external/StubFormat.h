#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "TQHSMExport.h"

struct ReparseData;

// Our stub meta-data, in two forms.
//
// Stub data (what "user.OSTUB" holds, what a sparse-file stub carries at the head
// of its content and what a cached stub holds) are a self-delimiting binary
// record, closed by a keyed MAC under this deployment's stub key (StubKey.h).
// Every number is big-endian, so a stub written on one machine reads the same on
// any other:
//
//   offset  size  field
//   0       8     magic "TQHSMSTB"
//   8       1     format version (2)
//   9       1     stub kind (1 archiver stub, 2 stub of an HSM subclient)
//   10      2     body length B (bytes from offset 12 up to the MAC)
//   12      8     Parvis number of the archive file (AF)
//   20      8     copy precedence of the AF
//   28      8     archive file id
//   36      8     app id of the subclient that made the stub
//   44      8     original size of the file in bytes
//   52      8     inode number of the stubbed file
//   60      8     modification time stubFile applied, seconds (two's complement)
//   68      4     and its nanoseconds (below 10^9)
//   72      1     flags: bit 0 the record sits at the head of the file as well
//   73      1+n   stub GUID: length n, then n bytes
//   ...     1+m   app GUID: length m, then m bytes
//   ...           (a later revision of version 2 may add fields here; B covers them)
//   12+B    32    HMAC-SHA256 of bytes [0, 12+B) under the stub key
//
// Bytes after the record are never read, so a record may sit in a larger buffer
// (a zero-filled attribute buffer, the head of a file). A record of another
// version (version 1 carried a CRC where the MAC is), a record whose MAC does not
// verify, or one that cannot be checked because there is no usable stub key, is
// no valid stub data: anybody who can write a file can set "user.OSTUB".
//
// The reparse text is the meta-data as one NUL-terminated line, the form in
// which the helper hands meta-data back to the low-level library (stubFile),
// which signs the record it writes from it; the text itself carries no MAC and
// no inode or time, which stubFile takes from the file:
//
//   TQS1:<parvis>:<copy precedence>:<afile id>:<kind>:<app id>:<size>:<stub GUID>:<app GUID>
//
// numbers in decimal, GUIDs possibly empty. With the limits below it never needs
// more than kMaxReparseText bytes, so a 256-byte buffer always holds it.
namespace tqhsm {

const char kStubMagic[8] = {'T', 'Q', 'H', 'S', 'M', 'S', 'T', 'B'};
const unsigned kStubFormatVersion = 2;
const size_t kStubHeaderSize = 12;
const size_t kStubFixedBodySize = 61;
const size_t kStubTagSize = 32;
const size_t kMaxGUIDLength = 64;
const size_t kMinStubRecordSize = kStubHeaderSize + kStubFixedBodySize + 2 + kStubTagSize;
// The largest record that this version writes.
const size_t kMaxStubRecordSize = kMinStubRecordSize + 2 * kMaxGUIDLength;
// The largest reparse text including its terminating zero byte.
const size_t kMaxReparseText = 5 + 5 * 20 + 1 + 8 + 2 * kMaxGUIDLength + 1;
// Flag bits at offset 72.
const unsigned kStubFlagHead = 1;

// A GUID may hold letters, digits and "-_.{}" and at most kMaxGUIDLength of them.
TQHSM_API bool IsValidGUID(const std::string& guid);
// Whether the fields of a record can be written: GUIDs valid, kind 1 or 2.
TQHSM_API bool CheckStubFields(const ReparseData& record, std::string* why = nullptr);

// Encodes and signs a record under the current stub key (StubKey::Current());
// false (with the reason) when CheckStubFields refuses it or there is no key.
TQHSM_API bool EncodeStubData(const ReparseData& record, std::vector<char>& out,
                              std::string* why = nullptr);
// Decodes the record at the start of data and checks its MAC under the current
// stub key; reads nothing at or past data+size. length receives the record's
// size in bytes. False with the reason when the bytes are no valid stub record:
// "no stub data", "unsupported stub format version 1", "stub data truncated",
// "not authentic", "no stub key: ...", "invalid GUID in stub data", ...
TQHSM_API bool DecodeStubData(const char* data, size_t size, ReparseData& record,
                              size_t* length = nullptr, std::string* why = nullptr);

TQHSM_API std::string FormatReparseText(const ReparseData& record);
// Parses a whole reparse text; false with the reason on any deviation.
TQHSM_API bool ParseReparseText(const char* text, ReparseData& record, std::string* why = nullptr);

// A decimal number of at most 20 digits that fits 64 bits, nothing else.
TQHSM_API bool ParseDecimal(const std::string& text, uint64_t& value);

}  // namespace tqhsm

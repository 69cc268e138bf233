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
// record. Every number is big-endian, so a stub written on one machine reads the
// same on any other:
//
//   offset  size  field
//   0       8     magic "TQHSMSTB"
//   8       1     format version (1)
//   9       1     stub kind (1 archiver stub, 2 stub of an HSM subclient)
//   10      2     body length B (bytes from offset 12 up to the checksum)
//   12      8     Parvis number of the archive file (AF)
//   20      8     copy precedence of the AF
//   28      8     archive file id
//   36      8     app id of the subclient that made the stub
//   44      8     original size of the file in bytes
//   52      1+n   stub GUID: length n, then n bytes
//   ...     1+m   app GUID: length m, then m bytes
//   ...           (a later revision of version 1 may add fields here; B covers them)
//   12+B    4     CRC-32 of bytes [0, 12+B)
//
// Bytes after the record are never read, so a record may sit in a larger buffer
// (a zero-filled attribute buffer, the head of a file).
//
// The reparse text is the same meta-data as one NUL-terminated line, the form in
// which the helper hands meta-data back to the low-level library (stubFile):
//
//   TQS1:<parvis>:<copy precedence>:<afile id>:<kind>:<app id>:<size>:<stub GUID>:<app GUID>
//
// numbers in decimal, GUIDs possibly empty. With the limits below it never needs
// more than kMaxReparseText bytes, so a 256-byte buffer always holds it.
namespace tqhsm {

const char kStubMagic[8] = {'T', 'Q', 'H', 'S', 'M', 'S', 'T', 'B'};
const unsigned kStubFormatVersion = 1;
const size_t kStubHeaderSize = 12;
const size_t kStubFixedBodySize = 40;
const size_t kMaxGUIDLength = 64;
const size_t kMinStubRecordSize = kStubHeaderSize + kStubFixedBodySize + 2 + 4;
// The largest record that this version writes.
const size_t kMaxStubRecordSize = kMinStubRecordSize + 2 * kMaxGUIDLength;
// The largest reparse text including its terminating zero byte.
const size_t kMaxReparseText = 5 + 5 * 20 + 1 + 8 + 2 * kMaxGUIDLength + 1;

// A GUID may hold letters, digits and "-_.{}" and at most kMaxGUIDLength of them.
TQHSM_API bool IsValidGUID(const std::string& guid);
// Whether the fields of a record can be written: GUIDs valid, kind 1 or 2.
TQHSM_API bool CheckStubFields(const ReparseData& record, std::string* why = nullptr);

// Encodes a record; false (with the reason) when CheckStubFields refuses it.
TQHSM_API bool EncodeStubData(const ReparseData& record, std::vector<char>& out,
                              std::string* why = nullptr);
// Decodes the record at the start of data; reads nothing at or past data+size.
// length receives the record's size in bytes. False with the reason when the
// bytes are no valid stub record.
TQHSM_API bool DecodeStubData(const char* data, size_t size, ReparseData& record,
                              size_t* length = nullptr, std::string* why = nullptr);

TQHSM_API std::string FormatReparseText(const ReparseData& record);
// Parses a whole reparse text; false with the reason on any deviation.
TQHSM_API bool ParseReparseText(const char* text, ReparseData& record, std::string* why = nullptr);

// A decimal number of at most 20 digits that fits 64 bits, nothing else.
TQHSM_API bool ParseDecimal(const std::string& text, uint64_t& value);

}  // namespace tqhsm

#pragma once

#include <cstdint>
#include <vector>

#include "TQHSMExport.h"

// Reads a cached stub the way every cached-stub reader of the helper does:
// up to size bytes from its start into a zero-filled buffer of size bytes, and
// when those hold no valid stub data, up to size bytes from offset 1000 (stub
// data behind a prefix) over the same buffer. False (errno set) when the file
// cannot be opened. The buffer is never larger than kMaxCachedStubRead: stub
// data sit at offset 0 or 1000 and are far shorter, so a larger file does not
// get a buffer of its whole size.
const uint64_t kMaxCachedStubRead = 65536;
TQHSM_API bool ReadCachedStub(const char* name, uint64_t size, std::vector<char>& buffer);

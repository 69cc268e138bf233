#pragma once

// Everything the library offers to programs linked against libtqhsm.so carries
// TQHSM_API; the rest stays hidden inside the shared object.
#define TQHSM_API __attribute__((visibility("default")))

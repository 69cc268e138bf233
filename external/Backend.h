#pragma once

#include "TQHSMExport.h"

// The platform seam. Every service outside the library (logging, configuration,
// file access, the HSM low-level store, the index, the session ...) is reached
// through an abstract backend class. Each backend class has one process-wide
// slot: Current() is what the platform classes forward to, Default() is the real
// implementation on Linux, and Install() lets a test put a fake in its place
// (null puts the default back). Slots are plain pointers: the scan is single
// threaded and tests install fakes before they drive the helper.
#define TQHSM_BACKEND_SLOT(Service)              \
 public:                                         \
  static Service& Current();                     \
  static Service& Default();                     \
  static Service* Install(Service* backend);

#define TQHSM_DEFINE_BACKEND_SLOT(Service)                                    \
  namespace {                                                                 \
  Service* g_installed_##Service = nullptr;                                   \
  }                                                                           \
  Service& Service::Current() {                                               \
    return g_installed_##Service ? *g_installed_##Service : Default();        \
  }                                                                           \
  Service* Service::Install(Service* backend) {                               \
    Service* previous = g_installed_##Service;                                \
    g_installed_##Service = backend;                                          \
    return previous;                                                          \
  }

namespace tqhsm {

// Installs a backend for the lifetime of a scope and restores the previous one.
template <class Service>
class ScopedBackend {
 public:
  explicit ScopedBackend(Service* backend) : m_pPrevious(Service::Install(backend)) {}
  ~ScopedBackend() { Service::Install(m_pPrevious); }
  ScopedBackend(const ScopedBackend&) = delete;
  ScopedBackend& operator=(const ScopedBackend&) = delete;

 private:
  Service* m_pPrevious;
};

}  // namespace tqhsm

#pragma once

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

#include "Backend.h"

// The stub key: the secret of this deployment under which the HSM low-level
// library signs every stub record it writes, so that a "user.OSTUB" attribute
// that anyone who can write a file may set is not taken for a stub.
//
// The key lives in a file of its own, [HSM] StubKey (default
// <state directory>/stub.key): 16 to 4096 raw bytes, a regular file owned by
// the user the library runs as, with no access for group or others. The first
// process that needs it and finds no file makes one (32 random bytes, 0600):
// written to a temporary file first and linked into place without replacing,
// so that two first users end up with the same key. A key file that is a
// symbolic link, not a regular file, owned by another user, open to group or
// others, or of a wrong size is refused with one Error line; then no record is
// authentic and no record can be written. The key is read once per process.
// A proxy or snapshot host that inspects the stubs of a machine is given a copy
// of that machine's key file.
namespace tqhsm {

// HMAC-SHA256: the tag that closes a stub record.
const size_t kStubMacSize = 32;
const size_t kMinStubKeySize = 16;
const size_t kMaxStubKeySize = 4096;
const size_t kNewStubKeySize = 32;

// The keyed MAC under one key. The key schedule is computed once, so that a tag
// costs about a microsecond. Safe to share between threads.
class TQHSM_API StubMac {
 public:
  // Null (with the reason) when the key is unusable or the crypto library fails.
  static std::unique_ptr<StubMac> Create(const void* key, size_t size, std::string* why);
  ~StubMac();
  StubMac(const StubMac&) = delete;
  StubMac& operator=(const StubMac&) = delete;

  // The tag of data into tag[kStubMacSize]; false only when the library fails.
  bool sign(const void* data, size_t size, unsigned char* tag) const;
  // Whether tag (kStubMacSize bytes) is the tag of data; compared in constant time.
  bool verify(const void* data, size_t size, const unsigned char* tag) const;

 private:
  StubMac() = default;
  void* m_pCtx = nullptr;  // EVP_MAC_CTX holding the key schedule
  mutable std::mutex m_mutex;
};

// Where the library gets the stub key from. The default is the configured key
// file (StubKeyFile); tests install a FixedStubKey.
class TQHSM_API StubKey {
  TQHSM_BACKEND_SLOT(StubKey)

 public:
  virtual ~StubKey();
  // The MAC under this deployment's key, or null when there is no usable key
  // (then why, when given, says why).
  virtual const StubMac* mac(std::string* why) = 0;
};

// A key given as bytes.
class TQHSM_API FixedStubKey : public StubKey {
 public:
  explicit FixedStubKey(const std::string& key);
  const StubMac* mac(std::string* why) override;

 private:
  std::string m_sWhy;  // before m_pMac: its initialiser writes it
  std::unique_ptr<StubMac> m_pMac;
};

// The key of a key file, loaded (or made) at the first call and kept.
class TQHSM_API StubKeyFile : public StubKey {
 public:
  // An empty path stands for StubKeyPath(), taken at the first call.
  explicit StubKeyFile(std::string path = std::string());
  const StubMac* mac(std::string* why) override;
  // The key file's path (empty before the first call for the configured one).
  std::string path() const;

 private:
  bool load(std::string& why);

  mutable std::mutex m_mutex;
  std::string m_sPath;
  bool m_bTried = false;
  std::unique_ptr<StubMac> m_pMac;
  std::string m_sWhy;
};

// The configured key file: [HSM] StubKey, default <state directory>/stub.key.
TQHSM_API std::string StubKeyPath();

}  // namespace tqhsm

#include "StubKey.h"

#include <fcntl.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "Config.h"
#include "EvEvent.h"
#include "HSMWatch.h"

namespace tqhsm {

namespace {

const char* const kTag = "StubKey";

std::string errText(const char* what, int err) { return std::string(what) + ": " + strerror(err); }

void closeQuietly(int fd) {
  if (fd >= 0) ::close(fd);
}

// mkdir -p with the mode of the state directory.
bool makeDirectories(const std::string& dir, std::string& why) {
  struct stat st;
  if (::stat(dir.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return true;
    why = dir + " is not a directory";
    return false;
  }
  for (size_t i = 1; i <= dir.size(); ++i) {
    if (i != dir.size() && dir[i] != '/') continue;
    std::string part = dir.substr(0, i);
    if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
      why = errText(("cannot create the directory " + part).c_str(), errno);
      return false;
    }
  }
  return true;
}

bool randomBytes(unsigned char* out, size_t size) {
  size_t got = 0;
  while (got < size) {
    ssize_t n = getrandom(out + got, size - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

bool writeAll(int fd, const unsigned char* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::write(fd, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// Makes a new key file at dir/base unless one appears there first. True when
// a key file exists afterwards (ours or another process's).
bool createKeyFile(const std::string& dir, const std::string& base, std::string& why) {
  if (!makeDirectories(dir, why)) return false;
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd < 0) {
    why = errText(("cannot open the directory " + dir).c_str(), errno);
    return false;
  }
  unsigned char key[kNewStubKeySize];
  unsigned char salt[8];
  if (!randomBytes(key, sizeof key) || !randomBytes(salt, sizeof salt)) {
    why = errText("cannot get random bytes", errno);
    closeQuietly(dfd);
    return false;
  }
  char suffix[40];
  snprintf(suffix, sizeof suffix, ".tmp.%ld.%02x%02x%02x%02x", static_cast<long>(getpid()),
           salt[0], salt[1], salt[2], salt[3]);
  std::string tmp = "." + base + suffix;
  // O_EXCL | O_NOFOLLOW: a name planted in the directory is never written through.
  int fd = ::openat(dfd, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    why = errText(("cannot create " + dir + "/" + tmp).c_str(), errno);
    closeQuietly(dfd);
    return false;
  }
  bool ok = writeAll(fd, key, sizeof key) && ::fsync(fd) == 0;
  int err = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  OPENSSL_cleanse(key, sizeof key);
  if (!ok) {
    why = errText(("cannot write " + dir + "/" + tmp).c_str(), err);
    ::unlinkat(dfd, tmp.c_str(), 0);
    closeQuietly(dfd);
    return false;
  }
  // link() never replaces: of two processes that make a key at once, the
  // second finds the first one's in place and both use that.
  bool linked = ::linkat(dfd, tmp.c_str(), dfd, base.c_str(), 0) == 0;
  err = errno;
  ::unlinkat(dfd, tmp.c_str(), 0);
  if (!linked && err != EEXIST) {
    why = errText(("cannot put the new key in place as " + dir + "/" + base).c_str(), err);
    closeQuietly(dfd);
    return false;
  }
  ::fsync(dfd);
  closeQuietly(dfd);
  if (linked)
    EvDebug().DebugLvl(kTag, 0, "Made a new stub key %s/%s.", dir.c_str(), base.c_str());
  return true;
}

// Reads and checks an opened key file.
bool readKeyFile(int fd, std::vector<unsigned char>& key, std::string& why) {
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    why = errText("cannot stat it", errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    why = "it is not a regular file";
    return false;
  }
  if (st.st_uid != geteuid()) {
    why = "it is owned by uid " + std::to_string(st.st_uid) + ", not by uid " +
          std::to_string(geteuid()) + " that this process runs as";
    return false;
  }
  if (st.st_mode & 077) {
    char mode[8];
    snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    why = std::string("its group or others have access to it (mode ") + mode + ")";
    return false;
  }
  if (st.st_size < static_cast<off_t>(kMinStubKeySize) ||
      st.st_size > static_cast<off_t>(kMaxStubKeySize)) {
    why = "it holds " + std::to_string(st.st_size) + " bytes, not " +
          std::to_string(kMinStubKeySize) + " to " + std::to_string(kMaxStubKeySize);
    return false;
  }
  key.assign(static_cast<size_t>(st.st_size), 0);
  size_t got = 0;
  while (got < key.size()) {
    ssize_t n = ::pread(fd, key.data() + got, key.size() - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      why = errText("cannot read it", errno);
      return false;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  if (got != key.size()) {
    why = "it shrank while it was read";
    return false;
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// StubMac

std::unique_ptr<StubMac> StubMac::Create(const void* key, size_t size, std::string* why) {
  auto failed = [why](const char* text) {
    if (why) *why = text;
    return std::unique_ptr<StubMac>();
  };
  if (!key || size < kMinStubKeySize || size > kMaxStubKeySize)
    return failed("a stub key has 16 to 4096 bytes");
  EVP_MAC* hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  if (!hmac) return failed("the crypto library offers no HMAC");
  EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(hmac);
  EVP_MAC_free(hmac);  // the context keeps its own reference
  if (!ctx) return failed("the crypto library cannot make an HMAC context");
  char digest[] = "SHA256";
  OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                         OSSL_PARAM_construct_end()};
  if (EVP_MAC_init(ctx, static_cast<const unsigned char*>(key), size, params) != 1) {
    EVP_MAC_CTX_free(ctx);
    return failed("the crypto library refuses the HMAC-SHA256 key");
  }
  std::unique_ptr<StubMac> mac(new StubMac());
  mac->m_pCtx = ctx;
  return mac;
}

StubMac::~StubMac() { EVP_MAC_CTX_free(static_cast<EVP_MAC_CTX*>(m_pCtx)); }

bool StubMac::sign(const void* data, size_t size, unsigned char* tag) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  EVP_MAC_CTX* ctx = static_cast<EVP_MAC_CTX*>(m_pCtx);
  size_t len = 0;
  // A null key starts over from the key schedule computed in Create.
  return EVP_MAC_init(ctx, nullptr, 0, nullptr) == 1 &&
         EVP_MAC_update(ctx, static_cast<const unsigned char*>(data), size) == 1 &&
         EVP_MAC_final(ctx, tag, &len, kStubMacSize) == 1 && len == kStubMacSize;
}

bool StubMac::verify(const void* data, size_t size, const unsigned char* tag) const {
  unsigned char expected[kStubMacSize];
  if (!tag || !sign(data, size, expected)) return false;
  return CRYPTO_memcmp(expected, tag, kStubMacSize) == 0;
}

// ---------------------------------------------------------------------------
// Key sources

StubKey::~StubKey() = default;

TQHSM_DEFINE_BACKEND_SLOT(StubKey)

StubKey& StubKey::Default() {
  static StubKeyFile* key = new StubKeyFile();  // lives for the whole process
  return *key;
}

FixedStubKey::FixedStubKey(const std::string& key)
    : m_pMac(StubMac::Create(key.data(), key.size(), &m_sWhy)) {}

const StubMac* FixedStubKey::mac(std::string* why) {
  if (!m_pMac && why) *why = m_sWhy;
  return m_pMac.get();
}

StubKeyFile::StubKeyFile(std::string path) : m_sPath(std::move(path)) {}

std::string StubKeyFile::path() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_sPath;
}

const StubMac* StubKeyFile::mac(std::string* why) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_bTried) {
    m_bTried = true;
    if (m_sPath.empty()) m_sPath = StubKeyPath();
    std::string reason;
    if (!load(reason)) {
      m_sWhy = "stub key " + m_sPath + " refused: " + reason;
      EvDebug().Error(kTag,
                      "Stub key %s refused: %s. No stub is taken as authentic and none can be "
                      "made until it is a regular file of %zu to %zu bytes owned by uid %u with no "
                      "access for group or others (chown, chmod 600); keep its content, since a "
                      "new key leaves every existing stub unrecognised.",
                      m_sPath.c_str(), reason.c_str(), kMinStubKeySize, kMaxStubKeySize,
                      static_cast<unsigned>(geteuid()));
    }
  }
  if (!m_pMac && why) *why = m_sWhy;
  return m_pMac.get();
}

bool StubKeyFile::load(std::string& why) {
  size_t slash = m_sPath.rfind('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : m_sPath.substr(0, slash);
  std::string base = slash == std::string::npos ? m_sPath : m_sPath.substr(slash + 1);
  if (base.empty()) {
    why = "it names a directory";
    return false;
  }
  // Twice at most: a key file we (or a racing process) just made is then read.
  for (int attempt = 0; attempt < 2; ++attempt) {
    int fd = ::open(m_sPath.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
      std::vector<unsigned char> key;
      bool ok = readKeyFile(fd, key, why);
      ::close(fd);
      if (ok) m_pMac = StubMac::Create(key.data(), key.size(), &why);
      OPENSSL_cleanse(key.data(), key.size());
      return m_pMac != nullptr;
    }
    if (errno == ELOOP) {
      why = "it is a symbolic link";
      return false;
    }
    if (errno != ENOENT) {
      why = errText("cannot open it", errno);
      return false;
    }
    if (!createKeyFile(dir, base, why)) return false;
  }
  why = "it vanished right after it was made";
  return false;
}

std::string StubKeyPath() {
  std::string path;
  if (ConfigSource::Current().getString("HSM", "StubKey", path) && !path.empty()) return path;
  return HSMStateDirectory() + "/stub.key";
}

}  // namespace tqhsm

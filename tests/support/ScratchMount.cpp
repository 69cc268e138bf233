#include "ScratchMount.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdlib>

namespace tqhsm {
namespace test {

namespace {
bool run(const std::string& cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0; }
}  // namespace

ScratchMount::ScratchMount(Kind kind, uint64_t bytes) : m_kind(kind), m_sMount(m_dir.file("mnt")) {
  if (geteuid() != 0) {
    m_sWhy = "needs root to mount a file system";
    return;
  }
  mkdir(m_sMount.c_str(), 0755);
  if (kind == eTmpfs) {
    if (!run("mount -t tmpfs -o size=" + std::to_string(bytes) + ",mode=0755 tmpfs " + m_sMount)) {
      m_sWhy = "cannot mount a tmpfs here";
      return;
    }
  } else {
    std::string image = m_dir.file("fs.img");
    if (!run("truncate -s " + std::to_string(bytes) + " " + image) ||
        !run("mkfs.ext4 -q -F -b 4096 -m 0 " + image)) {
      m_sWhy = "cannot make an ext4 image (mkfs.ext4 missing?)";
      return;
    }
    if (!run("mount -o loop " + image + " " + m_sMount)) {
      m_sWhy = "cannot loop-mount an image here";
      return;
    }
  }
  m_bMounted = true;
  mkdir((m_sMount + "/filler").c_str(), 0755);
}

ScratchMount::~ScratchMount() {
  if (m_bMounted) run("umount " + m_sMount);
}

uint64_t ScratchMount::available() const {
  struct statvfs vfs;
  if (statvfs(m_sMount.c_str(), &vfs) != 0) return 0;
  return static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
}

bool ScratchMount::fillTo(uint64_t bytes) {
  struct statvfs vfs;
  if (statvfs(m_sMount.c_str(), &vfs) != 0) return false;
  const uint64_t block = vfs.f_frsize;
  // One big file, then one block at a time: each new file may cost a
  // directory or metadata block besides its own.
  for (int round = 0; round < 2000 && available() > bytes; ++round) {
    uint64_t excess = available() - bytes;
    uint64_t size = excess > 16 * block ? excess - 8 * block : block;
    std::string name = m_sMount + "/filler/f" + std::to_string(m_nFillers++);
    int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    int rc = posix_fallocate(fd, 0, static_cast<off_t>(size));
    close(fd);
    if (rc != 0) {
      unlink(name.c_str());
      break;
    }
  }
  return available() <= bytes;
}

}  // namespace test
}  // namespace tqhsm

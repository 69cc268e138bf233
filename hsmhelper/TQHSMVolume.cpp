#include <cstring>

#include "TQHSMHelper.h"

TQHSMVolume::TQHSMVolume(const std::string& mountPoint) : m_blockSize(0), m_sPath(mountPoint) {
  if (statvfs64(mountPoint.c_str(), &m_vfs) != 0) {
    std::memset(&m_vfs, 0, sizeof m_vfs);
  }
  m_blockSize = static_cast<int64_t>(m_vfs.f_frsize ? m_vfs.f_frsize : m_vfs.f_bsize);
}

TQHSMVolume::~TQHSMVolume() = default;

bool TQHSMVolume::GetFreeDiskBytes(int64_t& freeBytes, std::string& error) {
  freeBytes = static_cast<int64_t>(m_vfs.f_bavail) * m_blockSize;
  error = "";
  return true;
}

int64_t TQHSMVolume::GetBytesForPercent(int percent, std::string& error) {
  error = "";
  return (static_cast<int64_t>(m_vfs.f_blocks) * m_blockSize * percent) / 100;
}

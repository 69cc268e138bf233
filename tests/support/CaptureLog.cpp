#include "CaptureLog.h"

namespace tqhsm {
namespace test {

std::vector<std::string> CaptureLog::texts(const std::string& tag) const {
  std::vector<std::string> out;
  for (const LogLine& l : lines)
    if (l.tag == tag) out.push_back(l.text);
  return out;
}

bool CaptureLog::has(const std::string& tag, const std::string& text) const {
  for (const LogLine& l : lines)
    if (l.tag == tag && l.text == text) return true;
  return false;
}

bool CaptureLog::hasText(const std::string& text) const { return find(text) != nullptr; }

size_t CaptureLog::count(const std::string& text) const {
  size_t n = 0;
  for (const LogLine& l : lines)
    if (l.text == text) ++n;
  return n;
}

const LogLine* CaptureLog::find(const std::string& text) const {
  for (const LogLine& l : lines)
    if (l.text == text) return &l;
  return nullptr;
}

}  // namespace test
}  // namespace tqhsm

#pragma once

#include <string>

#include "TQHSMExport.h"

// The agent's error object: a negative code is an error, its text says why.
class TQHSM_API CZoError {
 public:
  CZoError() = default;
  CZoError(int code, std::string text) : m_nCode(code), m_sText(std::move(text)) {}

  static CZoError Success() { return CZoError(); }
  bool IsError() const { return m_nCode < 0; }
  int Code() const { return m_nCode; }
  std::string AsString() const { return m_sText; }

 private:
  int m_nCode = 0;
  std::string m_sText;
};

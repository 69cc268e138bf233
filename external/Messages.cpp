#include "Messages.h"

#include <expat.h>

#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Catalog.h"
#include "EvEvent.h"

// ---------------------------------------------------------------- objects

CNObjectAccessor::~CNObjectAccessor() = default;

void CNObjectAccessor::clear() {
  m_mapInt64.clear();
  m_mapObjects.clear();
}

int CNObjectAccessor::setint64(int, int, int64_t value, uint32_t fieldId, uint32_t fieldType) {
  m_mapInt64[fieldId] = Int64Field{fieldType, value};
  return 0;
}

int64_t CNObjectAccessor::getint64(int, uint32_t fieldId, uint32_t) const {
  int64_t value = 0;
  return findint64(fieldId, value) ? value : 0;
}

bool CNObjectAccessor::findint64(uint32_t fieldId, int64_t& value) const {
  auto it = m_mapInt64.find(fieldId);
  if (it == m_mapInt64.end()) return false;
  value = it->second.value;
  return true;
}

CNObjectAccessor* CNObjectAccessor::getObjectAccessor(bool create, bool, int, int,
                                                      uint32_t objectId, uint32_t objectType,
                                                      int, int) {
  auto it = m_mapObjects.find(objectId);
  if (it != m_mapObjects.end()) return it->second.get();
  if (!create) return nullptr;
  std::unique_ptr<CNObjectAccessor>& slot = m_mapObjects[objectId];
  slot.reset(new CNObjectAccessor(objectId, objectType));
  return slot.get();
}

// ---------------------------------------------------------------- messages

CNMessageBase::CNMessageBase(int family, int type)
    : CNObjectAccessor(0, 0), m_nFamily(family), m_nMsgType(type) {}
CNMessageBase::~CNMessageBase() = default;

namespace {

std::string hex(uint32_t v) {
  char buf[16];
  snprintf(buf, sizeof buf, "0x%" PRIx32, v);
  return buf;
}

// Nested objects deeper than this are refused: no message needs them, and a
// hostile text must not exhaust the stack.
const int kMaxDepth = 16;

}  // namespace

// Serialisation needs the fields of every object; done as a member so that it
// can reach them.
int CNMessageBase::serialize(std::string& xml, bool indent) const {
  struct Writer {
    static void object(const CNObjectAccessor& o, std::string& out, bool indent, int depth) {
      std::string pad = indent ? std::string(static_cast<size_t>(depth) * 2, ' ') : "";
      const char* nl = indent ? "\n" : "";
      for (const auto& f : o.m_mapInt64) {
        out += pad + "<int64 id=\"" + hex(f.first) + "\" type=\"" + hex(f.second.type) +
               "\" value=\"" + std::to_string(f.second.value) + "\"/>" + nl;
      }
      for (const auto& child : o.m_mapObjects) {
        out += pad + "<object id=\"" + hex(child.first) + "\" type=\"" +
               hex(child.second->m_nType) + "\">" + nl;
        object(*child.second, out, indent, depth + 1);
        out += pad + "</object>" + nl;
      }
    }
  };
  std::string out = "<CNMessage family=\"" + std::to_string(m_nFamily) + "\" type=\"" +
                    std::to_string(m_nMsgType) + "\">" + (indent ? "\n" : "");
  Writer::object(*this, out, indent, 1);
  out += "</CNMessage>";
  if (indent) out += "\n";
  xml.swap(out);
  return 0;
}

namespace {

bool parseSigned(const char* text, int64_t& value) {
  if (!text || !*text) return false;
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(text, &end, 10);
  if (errno == ERANGE || !end || *end != '\0') return false;
  value = v;
  return true;
}

bool parseId(const char* text, uint32_t& value) {
  if (!text || !*text || *text == '-' || *text == '+') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text, &end, 0);
  if (errno == ERANGE || !end || *end != '\0' || v > 0xffffffffULL) return false;
  value = static_cast<uint32_t>(v);
  return true;
}

const char* attr(const XML_Char** atts, const char* name) {
  for (int i = 0; atts[i]; i += 2)
    if (std::strcmp(atts[i], name) == 0) return atts[i + 1];
  return nullptr;
}

struct ParseState {
  XML_Parser parser = nullptr;
  CNMessageBase* message = nullptr;
  std::vector<CNObjectAccessor*> stack;  // open objects; empty before the root
  bool seenRoot = false;
  bool inLeaf = false;  // inside an <int64/>
  int error = CNMessageBase::eMsgOk;
  std::string why;

  void fail(int code, const std::string& text) {
    if (error == CNMessageBase::eMsgOk) {
      error = code;
      why = text;
    }
    XML_StopParser(parser, XML_FALSE);
  }
};

void XMLCALL onStart(void* user, const XML_Char* name, const XML_Char** atts) {
  ParseState& s = *static_cast<ParseState*>(user);
  if (s.error) return;
  if (s.stack.empty()) {
    if (s.seenRoot || std::strcmp(name, "CNMessage") != 0)
      return s.fail(CNMessageBase::eMsgWrongMessage, std::string("root element is <") + name + ">");
    int64_t family = 0, type = 0;
    if (!parseSigned(attr(atts, "family"), family) || !parseSigned(attr(atts, "type"), type))
      return s.fail(CNMessageBase::eMsgBadContent, "message without a valid family and type");
    if (family != s.message->family() || type != s.message->msgType())
      return s.fail(CNMessageBase::eMsgWrongMessage,
                    "message " + std::to_string(family) + "/" + std::to_string(type) +
                        " where " + std::to_string(s.message->family()) + "/" +
                        std::to_string(s.message->msgType()) + " was expected");
    s.seenRoot = true;
    s.stack.push_back(s.message);
    return;
  }
  if (s.inLeaf) return s.fail(CNMessageBase::eMsgBadContent, "element inside <int64>");
  uint32_t id = 0, type = 0;
  if (!parseId(attr(atts, "id"), id) || !parseId(attr(atts, "type"), type))
    return s.fail(CNMessageBase::eMsgBadContent, std::string("<") + name + "> without a valid id and type");
  CNObjectAccessor* top = s.stack.back();
  if (std::strcmp(name, "int64") == 0) {
    int64_t value = 0;
    if (!parseSigned(attr(atts, "value"), value))
      return s.fail(CNMessageBase::eMsgBadContent, "<int64> without a valid value");
    top->setint64(0, 0, value, id, type);
    s.inLeaf = true;
  } else if (std::strcmp(name, "object") == 0) {
    if (static_cast<int>(s.stack.size()) > kMaxDepth)
      return s.fail(CNMessageBase::eMsgBadContent, "objects nested too deeply");
    s.stack.push_back(top->getObjectAccessor(true, false, 0, 0, id, type, 0, 0));
  } else {
    s.fail(CNMessageBase::eMsgBadContent, std::string("unknown element <") + name + ">");
  }
}

void XMLCALL onEnd(void* user, const XML_Char* name) {
  ParseState& s = *static_cast<ParseState*>(user);
  if (s.error) return;
  if (s.inLeaf && std::strcmp(name, "int64") == 0) {
    s.inLeaf = false;
    return;
  }
  if (!s.stack.empty()) s.stack.pop_back();
}

void XMLCALL onText(void* user, const XML_Char* text, int len) {
  ParseState& s = *static_cast<ParseState*>(user);
  if (s.error) return;
  for (int i = 0; i < len; ++i) {
    char c = text[i];
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r')
      return s.fail(CNMessageBase::eMsgBadContent, "text where only elements belong");
  }
}

}  // namespace

int CNMessageBase::unserialize(const std::string& xml) {
  clear();
  m_sLastError.clear();
  XML_Parser parser = XML_ParserCreate("UTF-8");
  if (!parser) {
    m_sLastError = "out of memory";
    return eMsgMalformedXml;
  }
  ParseState state;
  state.parser = parser;
  state.message = this;
  XML_SetUserData(parser, &state);
  XML_SetElementHandler(parser, onStart, onEnd);
  XML_SetCharacterDataHandler(parser, onText);
  // One call with the whole text; lengths beyond int are refused rather than cut.
  XML_Status status = XML_STATUS_ERROR;
  if (xml.size() <= static_cast<size_t>(INT32_MAX))
    status = XML_Parse(parser, xml.data(), static_cast<int>(xml.size()), XML_TRUE);
  int result = state.error;
  if (result == eMsgOk && status != XML_STATUS_OK) {
    result = eMsgMalformedXml;
    state.why = xml.size() > static_cast<size_t>(INT32_MAX)
                    ? "text too long"
                    : std::string(XML_ErrorString(XML_GetErrorCode(parser))) + " at line " +
                          std::to_string(XML_GetCurrentLineNumber(parser));
  }
  if (result == eMsgOk && !state.seenRoot) {
    result = eMsgMalformedXml;
    state.why = "no message";
  }
  XML_ParserFree(parser);
  if (result != eMsgOk) {
    clear();
    m_sLastError = state.why;
  }
  return result;
}

// ---------------------------------------------------------------- stored procedures

namespace tqhsm {

StoredProcedures::~StoredProcedures() = default;

TQHSM_DEFINE_BACKEND_SLOT(StoredProcedures)

namespace {

const char* kSpTag = "App_ExecuteSP";

// Answers the procedures from the catalog.
class CatalogStoredProcedures : public StoredProcedures {
 public:
  int execute(uint32_t procedureId, const std::string& requestXml,
              std::string& responseXml) override {
    EvDebug log;
    if (procedureId != App_ExecuteSP::kGetHonorArchiverRetentionDays) {
      log.Error(kSpTag, "Unknown stored procedure 0x%" PRIx32 ".", procedureId);
      return eSpUnknownProcedure;
    }
    CNMessageBase request(retention::kFamily, retention::kRequestType);
    if (request.unserialize(requestXml) != 0) {
      log.Error(kSpTag, "GetHonorArchiverRetentionDaysReq is not readable: %s.",
                request.lastError().c_str());
      return eSpBadRequest;
    }
    CNObjectAccessor* object = request.getObjectAccessor(
        false, true, 1, 1, retention::kRequestObjectId, retention::kRequestObjectType, 18, 10);
    int64_t subclientId = 0;
    if (!object || !object->findint64(retention::kSubclientIdField, subclientId)) {
      log.Error(kSpTag, "GetHonorArchiverRetentionDaysReq carries no subclient id.");
      return eSpBadRequest;
    }
    std::string error;
    Catalog* catalog = Catalog::Shared(error);
    if (!catalog) {
      log.Error(kSpTag, "%s.", error.c_str());
      return eSpCatalogUnavailable;
    }
    bool found = false;
    int64_t days = 0;
    bool ok = catalog->run(
        "SELECT archiver_retention_days FROM subclient_retention WHERE subclient_id = ?",
        {Catalog::Param(subclientId)},
        [&](const Catalog::Row& row) {
          int64_t v = 0;
          if (!row.values.empty() && row.values[0] && parseSigned(row.values[0], v)) {
            days = v;
            found = true;
          }
        },
        error);
    if (!ok) {
      log.Error(kSpTag, "Cannot read the archiver retention of subclient %" PRId64 " from %s: %s.",
                subclientId, catalog->path().c_str(), error.c_str());
      return eSpQueryFailed;
    }
    if (!found) {
      log.DebugLvl(kSpTag, 1, "No archiver retention recorded for subclient %" PRId64 " in %s.",
                   subclientId, catalog->path().c_str());
      return eSpNotFound;
    }
    CNMessageBase response(retention::kFamily, retention::kResponseType);
    response.setint64(1, 0, days, retention::kDaysField, retention::kDaysType);
    response.serialize(responseXml, false);
    return eSpOk;
  }
};

}  // namespace

StoredProcedures& StoredProcedures::Default() {
  static CatalogStoredProcedures procedures;
  return procedures;
}

}  // namespace tqhsm

int App_ExecuteSP::executeStoredProcedure(uint32_t procedureId, const std::string& requestXml,
                                          std::string& responseXml) {
  return tqhsm::StoredProcedures::Current().execute(procedureId, requestXml, responseXml);
}

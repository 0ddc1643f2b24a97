#include "agent/attribute.h"

#include <utility>

namespace tavo {

CAttribute::CAttribute(const std::string& name, int type, const std::string& value)
    : m_strName(name), m_iType(type), m_lstValues{value} {}

CAttribute::CAttribute(const std::string& name, int type, std::shared_ptr<std::list<CAttribute>> children)
    : m_strName(name), m_iType(type), m_ptrChildren(std::move(children)) {}

CAttribute::CAttribute(const std::string& name, int type, const std::list<std::string>& values)
    : m_strName(name), m_iType(type), m_lstValues(values) {}

}  // namespace tavo

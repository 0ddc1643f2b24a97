#pragma once

#include <list>
#include <memory>
#include <string>

namespace tavo {

// Codes kept in CAttribute::m_iType.
enum eAttributeType {
    eAttrString = 1,       // first value
    eAttrBool = 2,         // first value, "true" or "false"
    eAttrObject = 3,       // children; an array element when the name is ""
    eAttrObjectArray = 4,  // children, each an unnamed eAttrObject
    eAttrStringArray = 5,  // all values
};

// One named device attribute. Copies share the child list, which is never changed once attached.
struct CAttribute {
    CAttribute(const std::string& name, int type, const std::string& value);
    CAttribute(const std::string& name, int type, std::shared_ptr<std::list<CAttribute>> children);
    CAttribute(const std::string& name, int type, const std::list<std::string>& values);

    std::string m_strName;
    int m_iType;
    std::list<std::string> m_lstValues;
    std::shared_ptr<std::list<CAttribute>> m_ptrChildren;
};

}  // namespace tavo

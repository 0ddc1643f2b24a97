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

// The attribute keys the collectors produce and the identity request knows.
namespace AttributeKeys {
inline constexpr char kZel[] = "zel";
inline constexpr char kPellaway[] = "pellaway";
inline constexpr char kUuid[] = "uuid";
inline constexpr char kUdid[] = "udid";
inline constexpr char kSerialNumber[] = "serial_number";
inline constexpr char kPartitionId[] = "partition_id";
inline constexpr char kDiskList[] = "disk_list";
inline constexpr char kInternal[] = "internal";
inline constexpr char kBuild[] = "build";
inline constexpr char kArch[] = "arch";
inline constexpr char kName[] = "name";
inline constexpr char kSuite[] = "suite";
inline constexpr char kProductType[] = "product_type";
inline constexpr char kMajor[] = "major";
inline constexpr char kMinor[] = "minor";
inline constexpr char kHostname[] = "hostname";
inline constexpr char kDomainName[] = "domainname";
inline constexpr char kIsVirtual[] = "is_virtual";
inline constexpr char kAdapters[] = "adapters";
inline constexpr char kMac[] = "mac";
inline constexpr char kActive[] = "active";
inline constexpr char kIpv4[] = "ipv4";
inline constexpr char kIpv6[] = "ipv6";
}  // namespace AttributeKeys

}  // namespace tavo

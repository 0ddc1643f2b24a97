#pragma once

#include <winsock2.h>
#include <iphlpapi.h>
#include <windows.h>

#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "agent/attribute.h"
#include "agent/windows/wmiinterface.h"

namespace tavo {

// Gathers the device's attributes for an identity request.
class IAttributeCollector {
public:
    // Empties the list and fills it anew: 0, or -18 when WMI cannot be used.
    virtual int GetAttributeList(std::list<CAttribute>& attributes) = 0;
    virtual ~IAttributeCollector() = default;
};

// The Windows collector. Constructing it connects to WMI (once); a connection that fails is
// reported at collection time. Each collector appends its attributes at the end of the list and
// returns 0 or a negative status.
class CAttributeCollectorWin : public IAttributeCollector {
public:
    int GetAttributeList(std::list<CAttribute>& attributes) override;

    // The collectors, in collection order.
    int getZELGUID(std::list<CAttribute>& attributes);
    int getPLUDID(std::list<CAttribute>& attributes);
    int getBIOSSerialNumber(std::list<CAttribute>& attributes);
    int getBIOSUUID(std::list<CAttribute>& attributes);
    int getPartitionID(std::list<CAttribute>& attributes);
    int getDiskInfo(std::list<CAttribute>& attributes);
    int getOSDetails(std::list<CAttribute>& attributes);
    int getFQDNComponents(std::list<CAttribute>& attributes);
    int getIsVirtualMachine(std::list<CAttribute>& attributes);
    int getAdapterList(std::list<CAttribute>& attributes);
    // The walk over an adapter list that the system (or a caller) built: appends "adapters" for its
    // reported adapters, nothing when none is reported.
    static void getAdapterList(const IP_ADAPTER_ADDRESSES* adapters, std::list<CAttribute>& attributes);

    // The device values that the VPN product caches, in hashing order: the nonce,
    // "DigitalProductId4", "DigitalProductId", "Sid" (each when present, "Sid" always). 0 or -1.
    int getDeviceID(std::vector<unsigned char>& bytes);

private:
    WMIInterface m_wmi;
};

std::unique_ptr<IAttributeCollector> CreateAttributeCollector();

// 0 when the VPN product is installed under the folder, -1 when not.
int isPLInstalled(std::wstring baseFolder);

// The binary device values that the VPN product caches, under their names. 0, or -1 without "Sid".
int getDeviceDetailsFromCache(std::map<std::wstring, std::vector<unsigned char>>& details);

// Puts the cached "Nonce" DWORD, least significant byte first, in front of the bytes when it exists.
bool getUDIDNonceFromRegistry(std::vector<unsigned char>& bytes);

// The system's adapter list in a heap block that the caller releases with free. 0, or -1 with
// *buffer null.
int getAdaptersAddrs(ULONG family, IP_ADAPTER_ADDRESSES** buffer, ULONG flags);

}  // namespace tavo

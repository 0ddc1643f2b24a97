#pragma once

#include <windows.h>
#include <wbemidl.h>

#include <list>
#include <string>

#include "agent/windows/scopedcom.h"

// One column value of one WMI result object.
struct WMIValue {
    std::wstring m_strText;              // empty for the kinds 0 and 5
    std::list<std::wstring> m_lstItems;  // the elements of a string array (kind 5 only)
    int m_iKind;                         // 0 unhandled type, 1 text, 2 boolean, 3 integer, 4 real, 5 string array
};

// The connection to the WMI namespace "ROOT\CIMV2" and the query runner. Connects once, in the
// constructor; when that fails the object stays unusable and every query answers -18. COM is
// initialised for the multithreaded apartment here and uninitialised at clean-up when that
// initialisation succeeded.
class WMIInterface {
public:
    // nextTimeoutMs bounds the wait for each result object, so a provider that never answers
    // cannot hold the caller for ever. WBEM_INFINITE waits without a bound; any other value past
    // 0x7FFFFFFF waits 0x7FFFFFFF ms.
    explicit WMIInterface(ULONG nextTimeoutMs = 60000);
    ~WMIInterface();
    WMIInterface(const WMIInterface&) = delete;
    WMIInterface& operator=(const WMIInterface&) = delete;

    void Cleanup();

    // Runs a complete WQL statement. When columns is empty it is filled with the property names of
    // the first result object; every result object appends one row with a value per column, in
    // column order. 0, or -18 for every failure (rows appended before it stay).
    int RunWMIQuery(const std::wstring& wql, std::list<std::wstring>& columns, std::list<std::list<WMIValue>>& rows);

private:
    bool m_bInitialized = false;
    tavo::ComPtr<IWbemServices> m_pServices;
    tavo::ComPtr<IWbemLocator> m_pLocator;
    bool m_bComInitialized = false;
    ULONG m_ulNextTimeout;
};

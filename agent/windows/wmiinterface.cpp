#include "agent/windows/wmiinterface.h"

#include <algorithm>

#include "common/tavostatus.h"
#include "logging/tavolog.h"

using tavo::ComPtr;
using tavo::ScopedBstr;
using tavo::ScopedSafeArray;
using tavo::ScopedVariant;

namespace {

// The text of a BSTR by its length (it may hold zeros); a null BSTR is empty.
std::wstring bstrText(BSTR text) {
    return text == nullptr ? std::wstring() : std::wstring(text, SysStringLen(text));
}

// Calls visit with every element of a one-dimensional array of BSTRs, lower to upper bound; an
// element that cannot be read is passed as a null BSTR.
template <typename Visit>
void forEachBstr(SAFEARRAY* array, Visit visit) {
    LONG lower = 0;
    LONG upper = -1;
    if (array == nullptr || FAILED(SafeArrayGetLBound(array, 1, &lower)) ||
        FAILED(SafeArrayGetUBound(array, 1, &upper))) {
        return;
    }
    for (LONG index = lower; index <= upper; ++index) {
        ScopedBstr element;
        bool read = SUCCEEDED(SafeArrayGetElement(array, &index, element.receive()));
        visit(read ? element.get() : nullptr);
    }
}

// Every item keeps its place: a null or unreadable element is an empty text.
std::list<std::wstring> bstrArrayItems(SAFEARRAY* array) {
    std::list<std::wstring> items;
    forEachBstr(array, [&](BSTR item) { items.push_back(bstrText(item)); });
    return items;
}

// A name that is null or cannot be read names nothing that Get could ask for, so it is left out.
std::list<std::wstring> propertyNames(SAFEARRAY* array) {
    std::list<std::wstring> names;
    forEachBstr(array, [&](BSTR name) {
        if (name != nullptr) {
            names.push_back(bstrText(name));
        }
    });
    return names;
}

// Next takes a signed timeout: WBEM_INFINITE (all bits set) waits for ever, and any other value
// past the signed range is held at its largest wait rather than turned negative.
LONG nextTimeout(ULONG milliseconds) {
    if (milliseconds == WBEM_INFINITE) {
        return static_cast<LONG>(WBEM_INFINITE);
    }
    return static_cast<LONG>(std::min<ULONG>(milliseconds, 0x7FFFFFFF));
}

// Kind 0 for a type that has no conversion.
WMIValue toWMIValue(const VARIANT& value) {
    WMIValue result{std::wstring(), std::list<std::wstring>(), 0};
    switch (V_VT(&value)) {
    case VT_NULL:
        result.m_iKind = 1;
        break;
    case VT_BSTR:
        result.m_strText = bstrText(V_BSTR(&value));
        result.m_iKind = 1;
        break;
    case VT_BOOL:
        result.m_strText = V_BOOL(&value) != 0 ? L"1" : L"0";
        result.m_iKind = 2;
        break;
    case VT_I2:
        result.m_strText = std::to_wstring(V_I2(&value));
        result.m_iKind = 3;
        break;
    case VT_I4:
        result.m_strText = std::to_wstring(V_I4(&value));
        result.m_iKind = 3;
        break;
    case VT_INT:
        result.m_strText = std::to_wstring(V_INT(&value));
        result.m_iKind = 3;
        break;
    case VT_UI2:
        result.m_strText = std::to_wstring(V_UI2(&value));
        result.m_iKind = 3;
        break;
    case VT_UI4:
        result.m_strText = std::to_wstring(V_UI4(&value));
        result.m_iKind = 3;
        break;
    case VT_UINT:
        result.m_strText = std::to_wstring(V_UINT(&value));
        result.m_iKind = 3;
        break;
    case VT_I8:
        result.m_strText = std::to_wstring(V_I8(&value));
        result.m_iKind = 3;
        break;
    case VT_UI8:
        result.m_strText = std::to_wstring(V_UI8(&value));
        result.m_iKind = 3;
        break;
    case VT_R4:
        // to_wstring of a double prints as "%f" does.
        result.m_strText = std::to_wstring(static_cast<double>(V_R4(&value)));
        result.m_iKind = 4;
        break;
    case VT_R8:
        result.m_strText = std::to_wstring(V_R8(&value));
        result.m_iKind = 4;
        break;
    case VT_ARRAY | VT_BSTR:
        result.m_lstItems = bstrArrayItems(V_ARRAY(&value));
        result.m_iKind = 5;
        break;
    default:
        break;
    }
    return result;
}

}  // namespace

WMIInterface::WMIInterface(ULONG nextTimeoutMs) : m_ulNextTimeout(nextTimeoutMs) {
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr) && hr != RPC_E_CHANGED_MODE) {
        TAVO_LOG(eLogError, false, "Failed to initialize COM library. Error code = 0x%x", static_cast<unsigned>(hr));
        return;
    }
    // Another apartment on this thread: COM is usable, but that initialisation is not ours to undo.
    m_bComInitialized = SUCCEEDED(hr);

    hr = CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT, RPC_C_IMP_LEVEL_IMPERSONATE,
                              nullptr, EOAC_NONE, nullptr);
    if (FAILED(hr) && hr != RPC_E_TOO_LATE) {
        TAVO_LOG(eLogError, false,
                 "Failed to register and set default security values. Error code = 0x%x", static_cast<unsigned>(hr));
        Cleanup();
        return;
    }

    hr = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                          reinterpret_cast<void**>(m_pLocator.receive()));
    if (FAILED(hr)) {
        TAVO_LOG(eLogError, false,
                 "Failed to create a single uninitialized object. Error code = 0x%x", static_cast<unsigned>(hr));
        Cleanup();
        return;
    }

    ScopedBstr wmiNamespace(L"ROOT\\CIMV2");
    hr = m_pLocator->ConnectServer(wmiNamespace.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                   m_pServices.receive());
    if (FAILED(hr)) {
        TAVO_LOG(eLogError, false, "Failed to create a connection through DCOM to a WMI namespace. Error code = 0x%x",
                 static_cast<unsigned>(hr));
        Cleanup();
        return;
    }

    hr = CoSetProxyBlanket(m_pServices.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                           RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
    if (FAILED(hr)) {
        TAVO_LOG(eLogError, false,
                 "Failed to Sets the authentication information for specified proxy. Error code = 0x%x",
                 static_cast<unsigned>(hr));
        Cleanup();
        return;
    }

    m_bInitialized = true;
}

WMIInterface::~WMIInterface() {
    Cleanup();
}

void WMIInterface::Cleanup() {
    m_pServices.reset();
    m_pLocator.reset();
    if (m_bComInitialized) {
        CoUninitialize();
        m_bComInitialized = false;
    }
    m_bInitialized = false;
}

int WMIInterface::RunWMIQuery(const std::wstring& wql, std::list<std::wstring>& columns,
                              std::list<std::list<WMIValue>>& rows) {
    if (!m_bInitialized || m_pServices.get() == nullptr) {
        TAVO_LOG(eLogError, false, "Failed to construct object ");
        return TAVO_WMI_UNAVAILABLE;
    }

    ScopedBstr language(L"WQL");
    ScopedBstr statement(wql.c_str());
    ComPtr<IEnumWbemClassObject> enumerator;
    HRESULT hr = m_pServices->ExecQuery(language.get(), statement.get(),
                                        WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr,
                                        enumerator.receive());
    if (FAILED(hr)) {
        TAVO_LOG(eLogError, false, "Query failed to retrieve objects. Error code = 0x%x", static_cast<unsigned>(hr));
        return TAVO_WMI_UNAVAILABLE;
    }

    while (enumerator.get() != nullptr) {
        ComPtr<IWbemClassObject> object;
        ULONG returned = 0;
        hr = enumerator->Next(nextTimeout(m_ulNextTimeout), 1, object.receive(), &returned);
        if (hr == WBEM_S_TIMEDOUT) {
            TAVO_LOG(eLogError, false,
                     "Query timed out waiting for the next object. Error code = 0x%x", static_cast<unsigned>(hr));
            return TAVO_WMI_UNAVAILABLE;
        }
        if (returned == 0) {
            break;
        }
        if (object.get() == nullptr) {
            continue;
        }

        if (columns.empty()) {
            ScopedSafeArray names;
            hr = object->GetNames(nullptr, WBEM_FLAG_NONSYSTEM_ONLY, nullptr, names.receive());
            if (FAILED(hr)) {
                TAVO_LOG(eLogError, false,
                         "Failed to retrieves the names of the properties in the object. Error code = 0x%x",
                         static_cast<unsigned>(hr));
                return TAVO_WMI_UNAVAILABLE;
            }
            columns = propertyNames(names.get());
        }

        std::list<WMIValue> row;
        for (const std::wstring& column : columns) {
            ScopedBstr name(column.c_str());
            ScopedVariant value;
            // A failed Get leaves the value empty, which reads as an unhandled type.
            object->Get(name.get(), 0, value.receive(), nullptr, nullptr);
            row.push_back(toWMIValue(value.get()));
            if (row.back().m_iKind == 0) {
                TAVO_LOG(eLogError, false, "Unhandled variant type %hu for %ls", V_VT(&value.get()), column.c_str());
            }
        }
        rows.push_back(std::move(row));
    }
    return TAVO_OK;
}

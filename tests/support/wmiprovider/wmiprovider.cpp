// A WMI stand-in for the tests: an in-process COM server for CLSID_WbemLocator that answers
// ConnectServer, ExecQuery, Next, GetNames and Get from a fixture file. See README.md beside this
// file for the fixture format and how a test selects it.
#include <windows.h>
#include <oleauto.h>
#include <wbemidl.h>

#include <cstdio>
#include <cwchar>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

// ---- The fixture ----------------------------------------------------------------------------

struct Value {
    VARTYPE vt = VT_EMPTY;
    bool getFails = false;
    std::wstring text;                // VT_BSTR
    std::vector<std::wstring> items;  // VT_ARRAY | VT_BSTR
    std::vector<bool> nullItems;      // per item: a null BSTR in its place
    bool locked = false;              // the array is handed over locked, so no element can be read
    LONGLONG integer = 0;             // signed integer types and VT_BOOL
    ULONGLONG unsignedInteger = 0;    // unsigned integer types
    double real = 0;                  // VT_R4, VT_R8, VT_DATE
};

struct Object {
    std::vector<std::pair<std::wstring, Value>> properties;  // in GetNames order
};

// One step of an enumeration: an object, or a Next that never answers.
struct Step {
    bool hang = false;
    std::shared_ptr<Object> object;
};

struct Query {
    HRESULT execResult = S_OK;
    HRESULT namesResult = S_OK;
    std::vector<Step> steps;
};

struct Fixture {
    HRESULT connectResult = S_OK;
    std::map<std::wstring, std::shared_ptr<Query>> queries;
};

void complain(const std::wstring& what) {
    fwprintf(stderr, L"wmiprovider: %ls\n", what.c_str());
    fflush(stderr);
}

std::wstring utf8ToWide(const std::string& text) {
    if (text.empty()) {
        return std::wstring();
    }
    int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(length, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
    return wide;
}

std::wstring trim(const std::wstring& text) {
    size_t first = text.find_first_not_of(L" \t");
    if (first == std::wstring::npos) {
        return std::wstring();
    }
    return text.substr(first, text.find_last_not_of(L" \t") - first + 1);
}

// Undoes \t \n \r (and \| in an array, split at every other |); any other backslash is literal,
// so Windows paths are written as they are.
std::wstring unescape(const std::wstring& text, std::vector<std::wstring>* items = nullptr) {
    std::wstring out;
    for (size_t i = 0; i < text.size(); ++i) {
        wchar_t c = text[i];
        wchar_t n = i + 1 < text.size() ? text[i + 1] : L'\0';
        if (c == L'\\' && (n == L't' || n == L'n' || n == L'r' || (n == L'|' && items != nullptr))) {
            out += n == L't' ? L'\t' : n == L'n' ? L'\n' : n == L'r' ? L'\r' : n;
            ++i;
        } else if (c == L'|' && items != nullptr) {
            items->push_back(out);
            out.clear();
        } else {
            out += c;
        }
    }
    if (items != nullptr) {
        items->push_back(out);
    }
    return out;
}

bool parseHresult(const std::wstring& text, HRESULT& hr) {
    wchar_t* end = nullptr;
    unsigned long value = wcstoul(text.c_str(), &end, 0);
    if (text.empty() || *end != L'\0') {
        return false;
    }
    hr = static_cast<HRESULT>(value);
    return true;
}

bool parseValue(const std::wstring& valueText, Value& value) {
    if (valueText == L"getfail") {
        value.getFails = true;
        return true;
    }
    size_t colon = valueText.find(L':');
    std::wstring type = valueText.substr(0, colon);
    std::wstring text = colon == std::wstring::npos ? std::wstring() : valueText.substr(colon + 1);
    static const std::map<std::wstring, VARTYPE> types = {
        {L"empty", VT_EMPTY}, {L"null", VT_NULL}, {L"bstr", VT_BSTR},   {L"bool", VT_BOOL},
        {L"i1", VT_I1},       {L"ui1", VT_UI1},   {L"i2", VT_I2},       {L"ui2", VT_UI2},
        {L"i4", VT_I4},       {L"ui4", VT_UI4},   {L"int", VT_INT},     {L"uint", VT_UINT},
        {L"i8", VT_I8},       {L"ui8", VT_UI8},   {L"r4", VT_R4},       {L"r8", VT_R8},
        {L"date", VT_DATE},   {L"bstrarray", VT_ARRAY | VT_BSTR},
        {L"lockedbstrarray", VT_ARRAY | VT_BSTR},
    };
    auto found = types.find(type);
    if (found == types.end()) {
        return false;
    }
    value.vt = found->second;
    wchar_t* end = nullptr;
    switch (value.vt) {
    case VT_EMPTY:
    case VT_NULL:
        return true;
    case VT_BSTR:
        value.text = unescape(text);
        return true;
    case VT_ARRAY | VT_BSTR:
        value.locked = type == L"lockedbstrarray";
        if (!text.empty()) {
            unescape(text, &value.items);
        }
        for (const std::wstring& item : value.items) {
            value.nullItems.push_back(item == L"\\0");
        }
        return true;
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UINT:
    case VT_UI8:
        value.unsignedInteger = wcstoull(text.c_str(), &end, 0);
        break;
    case VT_R4:
    case VT_R8:
    case VT_DATE:
        value.real = wcstod(text.c_str(), &end);
        break;
    default:
        value.integer = wcstoll(text.c_str(), &end, 0);
        break;
    }
    return !text.empty() && *end == L'\0';
}

// Reads the fixture; false (with a line on standard error) when it cannot be read or parsed.
bool loadFixture(const std::wstring& path, Fixture& fixture) {
    FILE* file = _wfopen(path.c_str(), L"rb");
    if (file == nullptr) {
        complain(L"cannot open fixture " + path);
        return false;
    }
    std::string bytes;
    char chunk[4096];
    size_t read = 0;
    while ((read = fread(chunk, 1, sizeof(chunk), file)) > 0) {
        bytes.append(chunk, read);
    }
    fclose(file);

    std::shared_ptr<Query> query;
    std::shared_ptr<Object> object;
    size_t start = 0;
    int lineNumber = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        if (end == std::string::npos) {
            end = bytes.size();
        }
        std::string raw = bytes.substr(start, end - start);
        start = end + 1;
        ++lineNumber;
        if (!raw.empty() && raw.back() == '\r') {
            raw.pop_back();
        }
        std::wstring line = utf8ToWide(raw);
        std::wstring bare = trim(line);
        if (bare.empty() || bare[0] == L'#') {
            continue;
        }
        size_t blank = bare.find_first_of(L" \t");
        std::wstring keyword = bare.substr(0, blank);
        std::wstring rest = blank == std::wstring::npos ? std::wstring() : trim(bare.substr(blank));
        bool ok = true;
        if (keyword == L"connect") {
            ok = parseHresult(rest, fixture.connectResult);
        } else if (keyword == L"query") {
            // The statement is everything after "query " up to the line's end, blanks included.
            size_t at = line.find(L"query") + 5;
            query = std::make_shared<Query>();
            fixture.queries[line.substr(line.find_first_not_of(L" \t", at))] = query;
            object.reset();
            ok = !rest.empty();
        } else if (query == nullptr) {
            ok = false;
        } else if (line.find(L'=') != std::wstring::npos) {
            // "Name = type:value": the value runs to the line's end, surrounding blanks included.
            size_t equals = line.find(L'=');
            std::wstring valueText = line.substr(equals + 1);
            if (!valueText.empty() && valueText[0] == L' ') {
                valueText.erase(0, 1);
            }
            Value value;
            ok = object != nullptr && parseValue(valueText, value);
            if (ok) {
                object->properties.emplace_back(trim(line.substr(0, equals)), value);
            }
        } else if (keyword == L"fail") {
            ok = parseHresult(rest, query->execResult);
        } else if (keyword == L"namesfail") {
            ok = parseHresult(rest, query->namesResult);
        } else if (keyword == L"object") {
            object = std::make_shared<Object>();
            query->steps.push_back(Step{false, object});
        } else if (keyword == L"hang") {
            query->steps.push_back(Step{true, nullptr});
            object.reset();
        } else {
            ok = false;
        }
        if (!ok) {
            complain(L"bad fixture line " + std::to_wstring(lineNumber) + L" in " + path + L": " + line);
            return false;
        }
    }
    return true;
}

// ---- COM objects ----------------------------------------------------------------------------

// Reference counting shared by every object here.
class RefCounted {
public:
    virtual ~RefCounted() = default;

protected:
    ULONG addRef() { return static_cast<ULONG>(InterlockedIncrement(&m_refs)); }
    ULONG release() {
        LONG refs = InterlockedDecrement(&m_refs);
        if (refs == 0) {
            delete this;
        }
        return static_cast<ULONG>(refs);
    }

private:
    LONG m_refs = 1;
};

#define REFCOUNTED_IUNKNOWN                                                                         \
    ULONG STDMETHODCALLTYPE AddRef() override { return addRef(); }                                  \
    ULONG STDMETHODCALLTYPE Release() override { return release(); }

#define NOT_SUPPORTED { return WBEM_E_NOT_SUPPORTED; }

BSTR allocBstr(const std::wstring& text) {
    return SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

HRESULT toVariant(const Value& value, VARIANT* out) {
    VariantInit(out);
    V_VT(out) = value.vt;
    switch (value.vt) {
    case VT_BSTR: V_BSTR(out) = allocBstr(value.text); break;
    case VT_BOOL: V_BOOL(out) = value.integer != 0 ? VARIANT_TRUE : VARIANT_FALSE; break;
    case VT_I1: V_I1(out) = static_cast<CHAR>(value.integer); break;
    case VT_UI1: V_UI1(out) = static_cast<BYTE>(value.unsignedInteger); break;
    case VT_I2: V_I2(out) = static_cast<SHORT>(value.integer); break;
    case VT_UI2: V_UI2(out) = static_cast<USHORT>(value.unsignedInteger); break;
    case VT_I4: V_I4(out) = static_cast<LONG>(value.integer); break;
    case VT_UI4: V_UI4(out) = static_cast<ULONG>(value.unsignedInteger); break;
    case VT_INT: V_INT(out) = static_cast<INT>(value.integer); break;
    case VT_UINT: V_UINT(out) = static_cast<UINT>(value.unsignedInteger); break;
    case VT_I8: V_I8(out) = value.integer; break;
    case VT_UI8: V_UI8(out) = value.unsignedInteger; break;
    case VT_R4: V_R4(out) = static_cast<FLOAT>(value.real); break;
    case VT_R8: V_R8(out) = value.real; break;
    case VT_DATE: V_DATE(out) = value.real; break;
    case VT_ARRAY | VT_BSTR: {
        SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(value.items.size()));
        for (LONG i = 0; i < static_cast<LONG>(value.items.size()); ++i) {
            if (!value.nullItems.empty() && value.nullItems[i]) {
                continue;  // a new array's elements are null
            }
            BSTR item = allocBstr(value.items[i]);
            SafeArrayPutElement(array, &i, item);  // copies the string
            SysFreeString(item);
        }
        if (value.locked) {
            // At the lock limit every SafeArrayGetElement fails; the array cannot be destroyed
            // either, which costs the test process a few bytes.
            array->cLocks = 0xFFFF;
        }
        V_ARRAY(out) = array;
        break;
    }
    default: break;
    }
    return WBEM_S_NO_ERROR;
}

class ClassObject : public IWbemClassObject, private RefCounted {
public:
    ClassObject(std::shared_ptr<Object> object, HRESULT namesResult)
        : m_object(std::move(object)), m_namesResult(namesResult) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == IID_IWbemClassObject) {
            *ppv = static_cast<IWbemClassObject*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    REFCOUNTED_IUNKNOWN

    HRESULT STDMETHODCALLTYPE Get(LPCWSTR wszName, LONG, VARIANT* pVal, CIMTYPE*, LONG*) override {
        if (wszName == nullptr || pVal == nullptr) {
            return WBEM_E_INVALID_PARAMETER;
        }
        for (const auto& property : m_object->properties) {
            if (_wcsicmp(property.first.c_str(), wszName) == 0) {
                if (property.second.getFails) {
                    return WBEM_E_FAILED;
                }
                return toVariant(property.second, pVal);
            }
        }
        return WBEM_E_NOT_FOUND;
    }

    HRESULT STDMETHODCALLTYPE GetNames(LPCWSTR, LONG lFlags, VARIANT*, SAFEARRAY** pNames) override {
        if (FAILED(m_namesResult)) {
            return m_namesResult;
        }
        std::vector<std::wstring> names;
        // Without WBEM_FLAG_NONSYSTEM_ONLY a real object lists its system properties first.
        if ((lFlags & WBEM_FLAG_NONSYSTEM_ONLY) == 0) {
            names = {L"__GENUS", L"__CLASS", L"__PATH"};
        }
        for (const auto& property : m_object->properties) {
            names.push_back(property.first);
        }
        Value list;
        list.vt = VT_ARRAY | VT_BSTR;
        list.items = names;
        VARIANT holder;
        toVariant(list, &holder);
        *pNames = V_ARRAY(&holder);
        return WBEM_S_NO_ERROR;
    }

    HRESULT STDMETHODCALLTYPE GetQualifierSet(IWbemQualifierSet**) override NOT_SUPPORTED
    HRESULT STDMETHODCALLTYPE Put(LPCWSTR, LONG, VARIANT*, CIMTYPE) override NOT_SUPPORTED
    HRESULT STDMETHODCALLTYPE Delete(LPCWSTR) override NOT_SUPPORTED
    HRESULT STDMETHODCALLTYPE BeginEnumeration(LONG) override NOT_SUPPORTED
    HRESULT STDMETHODCALLTYPE Next(LONG, BSTR*, VARIANT*, CIMTYPE*, LONG*) override NOT_SUPPORTED
    HRESULT STDMETHODCALLTYPE EndEnumeration() override NOT_SUPPORTED
    HRESULT STDMETHODCALLTYPE GetPropertyQualifierSet(LPCWSTR, IWbemQualifierSet**) override NOT_SUPPORTED
    HRESULT STDMETHODCALLTYPE Clone(IWbemClassObject**) override NOT_SUPPORTED
    HRESULT STDMETHODCALLTYPE GetObjectText(LONG, BSTR*) override NOT_SUPPORTED
    HRESULT STDMETHODCALLTYPE SpawnDerivedClass(LONG, IWbemClassObject**) override NOT_SUPPORTED
    HRESULT STDMETHODCALLTYPE SpawnInstance(LONG, IWbemClassObject**) override NOT_SUPPORTED
    HRESULT STDMETHODCALLTYPE CompareTo(LONG, IWbemClassObject*) override NOT_SUPPORTED
    HRESULT STDMETHODCALLTYPE GetPropertyOrigin(LPCWSTR, BSTR*) override NOT_SUPPORTED
    HRESULT STDMETHODCALLTYPE InheritsFrom(LPCWSTR) override NOT_SUPPORTED
    HRESULT STDMETHODCALLTYPE GetMethod(LPCWSTR, LONG, IWbemClassObject**, IWbemClassObject**) override NOT_SUPPORTED
    HRESULT STDMETHODCALLTYPE PutMethod(LPCWSTR, LONG, IWbemClassObject*, IWbemClassObject*) override NOT_SUPPORTED
    HRESULT STDMETHODCALLTYPE DeleteMethod(LPCWSTR) override NOT_SUPPORTED
    HRESULT STDMETHODCALLTYPE BeginMethodEnumeration(LONG) override NOT_SUPPORTED
    HRESULT STDMETHODCALLTYPE NextMethod(LONG, BSTR*, IWbemClassObject**, IWbemClassObject**) override NOT_SUPPORTED
    HRESULT STDMETHODCALLTYPE EndMethodEnumeration() override NOT_SUPPORTED
    HRESULT STDMETHODCALLTYPE GetMethodQualifierSet(LPCWSTR, IWbemQualifierSet**) override NOT_SUPPORTED
    HRESULT STDMETHODCALLTYPE GetMethodOrigin(LPCWSTR, BSTR*) override NOT_SUPPORTED

private:
    std::shared_ptr<Object> m_object;
    HRESULT m_namesResult;
};

class Enumerator : public IEnumWbemClassObject, private RefCounted {
public:
    explicit Enumerator(std::shared_ptr<Query> query) : m_query(std::move(query)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == IID_IEnumWbemClassObject) {
            *ppv = static_cast<IEnumWbemClassObject*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    REFCOUNTED_IUNKNOWN

    HRESULT STDMETHODCALLTYPE Next(LONG lTimeout, ULONG uCount, IWbemClassObject** apObjects,
                                   ULONG* puReturned) override {
        if (apObjects == nullptr || puReturned == nullptr) {
            return WBEM_E_INVALID_PARAMETER;
        }
        // A negative wait other than WBEM_INFINITE cannot be honoured.
        if (lTimeout < 0 && lTimeout != static_cast<LONG>(WBEM_INFINITE)) {
            return WBEM_E_INVALID_PARAMETER;
        }
        *puReturned = 0;
        while (*puReturned < uCount && m_position < m_query->steps.size()) {
            const Step& step = m_query->steps[m_position];
            if (step.hang) {
                // A provider that never answers: the caller's timeout is all that ends the wait.
                if (*puReturned > 0) {
                    return WBEM_S_FALSE;
                }
                Sleep(lTimeout == static_cast<LONG>(WBEM_INFINITE) ? INFINITE : static_cast<DWORD>(lTimeout));
                return WBEM_S_TIMEDOUT;
            }
            apObjects[(*puReturned)++] = new ClassObject(step.object, m_query->namesResult);
            ++m_position;
        }
        return *puReturned == uCount ? WBEM_S_NO_ERROR : WBEM_S_FALSE;
    }

    HRESULT STDMETHODCALLTYPE Reset() override NOT_SUPPORTED
    HRESULT STDMETHODCALLTYPE NextAsync(ULONG, IWbemObjectSink*) override NOT_SUPPORTED
    HRESULT STDMETHODCALLTYPE Clone(IEnumWbemClassObject**) override NOT_SUPPORTED
    HRESULT STDMETHODCALLTYPE Skip(LONG, ULONG) override NOT_SUPPORTED

private:
    std::shared_ptr<Query> m_query;
    size_t m_position = 0;
};

// The namespace. It also answers IClientSecurity, as CoSetProxyBlanket asks for it.
class Services : public IWbemServices, public IClientSecurity, private RefCounted {
public:
    explicit Services(std::shared_ptr<Fixture> fixture) : m_fixture(std::move(fixture)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == IID_IWbemServices) {
            *ppv = static_cast<IWbemServices*>(this);
        } else if (riid == IID_IClientSecurity) {
            *ppv = static_cast<IClientSecurity*>(this);
        } else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    REFCOUNTED_IUNKNOWN

    HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR strQueryLanguage, const BSTR strQuery, LONG, IWbemContext*,
                                        IEnumWbemClassObject** ppEnum) override {
        if (ppEnum == nullptr || strQuery == nullptr) {
            return WBEM_E_INVALID_PARAMETER;
        }
        *ppEnum = nullptr;
        if (strQueryLanguage == nullptr || _wcsicmp(strQueryLanguage, L"WQL") != 0) {
            return WBEM_E_INVALID_QUERY_TYPE;
        }
        auto found = m_fixture->queries.find(std::wstring(strQuery, SysStringLen(strQuery)));
        if (found == m_fixture->queries.end()) {
            complain(std::wstring(L"query not in the fixture: ") + strQuery);
            return WBEM_E_INVALID_CLASS;
        }
        if (FAILED(found->second->execResult)) {
            return found->second->execResult;
        }
        *ppEnum = new Enumerator(found->second);
        return WBEM_S_NO_ERROR;
    }

    HRESULT STDMETHODCALLTYPE SetBlanket(IUnknown*, DWORD, DWORD, OLECHAR*, DWORD, DWORD, void*, DWORD) override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE QueryBlanket(IUnknown*, DWORD*, DWORD*, OLECHAR**, DWORD*, DWORD*, void**,
                                           DWORD*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE CopyProxy(IUnknown*, IUnknown**) override { return E_NOTIMPL; }

    HRESULT STDMETHODCALLTYPE OpenNamespace(const BSTR, LONG, IWbemContext*, IWbemServices**,
                                            IWbemCallResult**) override NOT_SUPPORTED
    HRESULT STDMETHODCALLTYPE CancelAsyncCall(IWbemObjectSink*) override NOT_SUPPORTED
    HRESULT STDMETHODCALLTYPE QueryObjectSink(LONG, IWbemObjectSink**) override NOT_SUPPORTED
    HRESULT STDMETHODCALLTYPE GetObject(const BSTR, LONG, IWbemContext*, IWbemClassObject**,
                                        IWbemCallResult**) override NOT_SUPPORTED
    HRESULT STDMETHODCALLTYPE GetObjectAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override NOT_SUPPORTED
    HRESULT STDMETHODCALLTYPE PutClass(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) override NOT_SUPPORTED
    HRESULT STDMETHODCALLTYPE PutClassAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) override
        NOT_SUPPORTED
    HRESULT STDMETHODCALLTYPE DeleteClass(const BSTR, LONG, IWbemContext*, IWbemCallResult**) override NOT_SUPPORTED
    HRESULT STDMETHODCALLTYPE DeleteClassAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override
        NOT_SUPPORTED
    HRESULT STDMETHODCALLTYPE CreateClassEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) override
        NOT_SUPPORTED
    HRESULT STDMETHODCALLTYPE CreateClassEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override
        NOT_SUPPORTED
    HRESULT STDMETHODCALLTYPE PutInstance(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) override
        NOT_SUPPORTED
    HRESULT STDMETHODCALLTYPE PutInstanceAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) override
        NOT_SUPPORTED
    HRESULT STDMETHODCALLTYPE DeleteInstance(const BSTR, LONG, IWbemContext*, IWbemCallResult**) override
        NOT_SUPPORTED
    HRESULT STDMETHODCALLTYPE DeleteInstanceAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override
        NOT_SUPPORTED
    HRESULT STDMETHODCALLTYPE CreateInstanceEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) override
        NOT_SUPPORTED
    HRESULT STDMETHODCALLTYPE CreateInstanceEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override
        NOT_SUPPORTED
    HRESULT STDMETHODCALLTYPE ExecQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override
        NOT_SUPPORTED
    HRESULT STDMETHODCALLTYPE ExecNotificationQuery(const BSTR, const BSTR, LONG, IWbemContext*,
                                                    IEnumWbemClassObject**) override NOT_SUPPORTED
    HRESULT STDMETHODCALLTYPE ExecNotificationQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*,
                                                         IWbemObjectSink*) override NOT_SUPPORTED
    HRESULT STDMETHODCALLTYPE ExecMethod(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*,
                                         IWbemClassObject**, IWbemCallResult**) override NOT_SUPPORTED
    HRESULT STDMETHODCALLTYPE ExecMethodAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*,
                                              IWbemObjectSink*) override NOT_SUPPORTED

private:
    std::shared_ptr<Fixture> m_fixture;
};

class Locator : public IWbemLocator, private RefCounted {
public:
    explicit Locator(std::wstring fixturePath) : m_fixturePath(std::move(fixturePath)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == IID_IWbemLocator) {
            *ppv = static_cast<IWbemLocator*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    REFCOUNTED_IUNKNOWN

    HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR strNetworkResource, const BSTR, const BSTR, const BSTR, LONG,
                                            const BSTR, IWbemContext*, IWbemServices** ppNamespace) override {
        if (ppNamespace == nullptr) {
            return WBEM_E_INVALID_PARAMETER;
        }
        *ppNamespace = nullptr;
        auto fixture = std::make_shared<Fixture>();
        if (!loadFixture(m_fixturePath, *fixture)) {
            return E_INVALIDARG;
        }
        if (FAILED(fixture->connectResult)) {
            return fixture->connectResult;
        }
        if (strNetworkResource == nullptr || _wcsicmp(strNetworkResource, L"ROOT\\CIMV2") != 0) {
            return WBEM_E_INVALID_NAMESPACE;
        }
        *ppNamespace = new Services(fixture);
        return WBEM_S_NO_ERROR;
    }

private:
    std::wstring m_fixturePath;
};

class LocatorFactory : public IClassFactory, private RefCounted {
public:
    explicit LocatorFactory(std::wstring fixturePath) : m_fixturePath(std::move(fixturePath)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    REFCOUNTED_IUNKNOWN

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (outer != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        Locator* locator = new Locator(m_fixturePath);
        HRESULT hr = locator->QueryInterface(riid, ppv);
        locator->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

private:
    std::wstring m_fixturePath;
};

// The fixture this process chose, or empty for Wine's own WMI.
std::wstring fixturePath() {
    wchar_t path[MAX_PATH * 2] = {};
    DWORD length = GetEnvironmentVariableW(L"TAVO_WMI_FIXTURE", path, sizeof(path) / sizeof(path[0]));
    return length > 0 && length < sizeof(path) / sizeof(path[0]) ? std::wstring(path, length) : std::wstring();
}

}  // namespace

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
    if (ppv == nullptr) {
        return E_POINTER;
    }
    *ppv = nullptr;
    std::wstring path = fixturePath();
    if (path.empty()) {
        // No fixture chosen: hand the request to Wine's own WMI provider.
        using GetClassObject = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
        HMODULE wine = LoadLibraryW(L"wbemprox.dll");
        auto forward = wine == nullptr ? nullptr
                                       : reinterpret_cast<GetClassObject>(
                                             reinterpret_cast<void*>(GetProcAddress(wine, "DllGetClassObject")));
        if (forward == nullptr) {
            complain(L"cannot load Wine's wbemprox.dll");
            return CLASS_E_CLASSNOTAVAILABLE;
        }
        return forward(rclsid, riid, ppv);
    }
    if (rclsid != CLSID_WbemLocator) {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    LocatorFactory* factory = new LocatorFactory(path);
    HRESULT hr = factory->QueryInterface(riid, ppv);
    factory->Release();
    return hr;
}

// Never unloaded: the process may still hold Wine's provider through it.
extern "C" HRESULT WINAPI DllCanUnloadNow() {
    return S_FALSE;
}

#include "Util/Log/Diagnostics.h"

#include <cstdio>
#include <cstring>

#include "Util/Log/Log.h"

namespace Ostrel::Util {

namespace {

constexpr DWORD kIdMapperCategory = 32;
constexpr ULONG kStoreEntryIdSize = 24;
constexpr ULONG kMaxEntryIdBytesShown = 64;

struct CodeName {
    uint32_t uCode;
    const wchar_t* pwszName;
};

constexpr CodeName kHResultNames[] = {
    {0x00000000, L"S_OK"},
    {0x00000001, L"S_FALSE"},
    {0x80004001, L"E_NOTIMPL"},
    {0x80004002, L"E_NOINTERFACE"},
    {0x80004003, L"E_POINTER"},
    {0x80004004, L"E_ABORT"},
    {0x80004005, L"E_FAIL"},
    {0x8000FFFF, L"E_UNEXPECTED"},
    {0x8000000A, L"E_PENDING"},
    {0x80070005, L"E_ACCESSDENIED"},
    {0x80070006, L"E_HANDLE"},
    {0x8007000E, L"E_OUTOFMEMORY"},
    {0x80070057, L"E_INVALIDARG"},
    {0x80030001, L"STG_E_INVALIDFUNCTION"},
    {0x80030002, L"STG_E_FILENOTFOUND"},
    {0x80030003, L"STG_E_PATHNOTFOUND"},
    {0x80030004, L"STG_E_TOOMANYOPENFILES"},
    {0x80030005, L"STG_E_ACCESSDENIED"},
    {0x80030006, L"STG_E_INVALIDHANDLE"},
    {0x80030008, L"STG_E_INSUFFICIENTMEMORY"},
    {0x80030009, L"STG_E_INVALIDPOINTER"},
    {0x80030019, L"STG_E_SEEKERROR"},
    {0x8003001D, L"STG_E_WRITEFAULT"},
    {0x8003001E, L"STG_E_READFAULT"},
    {0x80030050, L"STG_E_FILEALREADYEXISTS"},
    {0x80030057, L"STG_E_INVALIDPARAMETER"},
    {0x80030070, L"STG_E_MEDIUMFULL"},
    {0x800300FF, L"STG_E_INVALIDFLAG"},
    {0x80030102, L"STG_E_REVERTED"},
    {0x80030103, L"STG_E_CANTSAVE"},
    {0x800401F3, L"CO_E_CLASSSTRING"},
    {0x80040102, L"MAPI_E_NO_SUPPORT"},
    {0x80040103, L"MAPI_E_BAD_CHARWIDTH"},
    {0x80040105, L"MAPI_E_STRING_TOO_LONG"},
    {0x80040106, L"MAPI_E_UNKNOWN_FLAGS"},
    {0x80040107, L"MAPI_E_INVALID_ENTRYID"},
    {0x80040108, L"MAPI_E_INVALID_OBJECT"},
    {0x80040109, L"MAPI_E_OBJECT_CHANGED"},
    {0x8004010A, L"MAPI_E_OBJECT_DELETED"},
    {0x8004010B, L"MAPI_E_BUSY"},
    {0x8004010D, L"MAPI_E_NOT_ENOUGH_DISK"},
    {0x8004010E, L"MAPI_E_NOT_ENOUGH_RESOURCES"},
    {0x8004010F, L"MAPI_E_NOT_FOUND"},
    {0x80040110, L"MAPI_E_VERSION"},
    {0x80040111, L"MAPI_E_LOGON_FAILED"},
    {0x80040112, L"MAPI_E_SESSION_LIMIT"},
    {0x80040113, L"MAPI_E_USER_CANCEL"},
    {0x80040114, L"MAPI_E_UNABLE_TO_ABORT"},
    {0x80040115, L"MAPI_E_NETWORK_ERROR"},
    {0x80040116, L"MAPI_E_DISK_ERROR"},
    {0x80040117, L"MAPI_E_TOO_COMPLEX"},
    {0x80040118, L"MAPI_E_BAD_COLUMN"},
    {0x80040119, L"MAPI_E_EXTENDED_ERROR"},
    {0x8004011A, L"MAPI_E_COMPUTED"},
    {0x8004011B, L"MAPI_E_CORRUPT_DATA"},
    {0x8004011C, L"MAPI_E_UNCONFIGURED"},
    {0x8004011D, L"MAPI_E_FAILONEPROVIDER"},
    {0x8004011E, L"MAPI_E_UNKNOWN_CPID"},
    {0x8004011F, L"MAPI_E_UNKNOWN_LCID"},
    {0x80040120, L"MAPI_E_PASSWORD_CHANGE_REQUIRED"},
    {0x80040121, L"MAPI_E_PASSWORD_EXPIRED"},
    {0x80040122, L"MAPI_E_INVALID_WORKSTATION_ACCOUNT"},
    {0x80040123, L"MAPI_E_INVALID_ACCESS_TIME"},
    {0x80040124, L"MAPI_E_ACCOUNT_DISABLED"},
    {0x80040200, L"MAPI_E_END_OF_SESSION"},
    {0x80040201, L"MAPI_E_UNKNOWN_ENTRYID"},
    {0x80040202, L"MAPI_E_MISSING_REQUIRED_COLUMN"},
    {0x00040203, L"MAPI_W_NO_SERVICE"},
    {0x80040301, L"MAPI_E_BAD_VALUE"},
    {0x80040302, L"MAPI_E_INVALID_TYPE"},
    {0x80040303, L"MAPI_E_TYPE_NO_SUPPORT"},
    {0x80040304, L"MAPI_E_UNEXPECTED_TYPE"},
    {0x80040305, L"MAPI_E_TOO_BIG"},
    {0x80040306, L"MAPI_E_DECLINE_COPY"},
    {0x80040307, L"MAPI_E_UNEXPECTED_ID"},
    {0x00040380, L"MAPI_W_ERRORS_RETURNED"},
    {0x80040400, L"MAPI_E_UNABLE_TO_COMPLETE"},
    {0x80040401, L"MAPI_E_TIMEOUT"},
    {0x80040402, L"MAPI_E_TABLE_EMPTY"},
    {0x80040403, L"MAPI_E_TABLE_TOO_BIG"},
    {0x80040405, L"MAPI_E_INVALID_BOOKMARK"},
    {0x00040481, L"MAPI_W_POSITION_CHANGED"},
    {0x00040482, L"MAPI_W_APPROX_COUNT"},
    {0x80040500, L"MAPI_E_WAIT"},
    {0x80040501, L"MAPI_E_CANCEL"},
    {0x80040502, L"MAPI_E_NOT_ME"},
    {0x00040580, L"MAPI_W_CANCEL_MESSAGE"},
    {0x80040600, L"MAPI_E_CORRUPT_STORE"},
    {0x80040601, L"MAPI_E_NOT_IN_QUEUE"},
    {0x80040602, L"MAPI_E_NO_SUPPRESS"},
    {0x80040604, L"MAPI_E_COLLISION"},
    {0x80040605, L"MAPI_E_NOT_INITIALIZED"},
    {0x80040606, L"MAPI_E_NON_STANDARD"},
    {0x80040607, L"MAPI_E_NO_RECIPIENTS"},
    {0x80040608, L"MAPI_E_SUBMITTED"},
    {0x80040609, L"MAPI_E_HAS_FOLDERS"},
    {0x8004060A, L"MAPI_E_HAS_MESSAGES"},
    {0x8004060B, L"MAPI_E_FOLDER_CYCLE"},
    {0x8004060C, L"MAPI_E_STORE_FULL"},
    {0x8004060D, L"MAPI_E_LOCKID_LIMIT"},
    {0x00040680, L"MAPI_W_PARTIAL_COMPLETION"},
    {0x80040700, L"MAPI_E_AMBIGUOUS_RECIP"},
    {0x80040900, L"MAPI_E_NAMED_PROP_QUOTA_EXCEEDED"},
};

constexpr CodeName kWin32Names[] = {
    {12001, L"ERROR_WINHTTP_OUT_OF_HANDLES"},
    {12002, L"ERROR_WINHTTP_TIMEOUT"},
    {12004, L"ERROR_WINHTTP_INTERNAL_ERROR"},
    {12005, L"ERROR_WINHTTP_INVALID_URL"},
    {12006, L"ERROR_WINHTTP_UNRECOGNIZED_SCHEME"},
    {12007, L"ERROR_WINHTTP_NAME_NOT_RESOLVED"},
    {12009, L"ERROR_WINHTTP_INVALID_OPTION"},
    {12011, L"ERROR_WINHTTP_OPTION_NOT_SETTABLE"},
    {12012, L"ERROR_WINHTTP_SHUTDOWN"},
    {12015, L"ERROR_WINHTTP_LOGIN_FAILURE"},
    {12017, L"ERROR_WINHTTP_OPERATION_CANCELLED"},
    {12018, L"ERROR_WINHTTP_INCORRECT_HANDLE_TYPE"},
    {12019, L"ERROR_WINHTTP_INCORRECT_HANDLE_STATE"},
    {12029, L"ERROR_WINHTTP_CANNOT_CONNECT"},
    {12030, L"ERROR_WINHTTP_CONNECTION_ERROR"},
    {12032, L"ERROR_WINHTTP_RESEND_REQUEST"},
    {12037, L"ERROR_WINHTTP_SECURE_CERT_DATE_INVALID"},
    {12038, L"ERROR_WINHTTP_SECURE_CERT_CN_INVALID"},
    {12044, L"ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED"},
    {12045, L"ERROR_WINHTTP_SECURE_INVALID_CA"},
    {12057, L"ERROR_WINHTTP_SECURE_CERT_REV_FAILED"},
    {12100, L"ERROR_WINHTTP_CANNOT_CALL_BEFORE_OPEN"},
    {12101, L"ERROR_WINHTTP_CANNOT_CALL_BEFORE_SEND"},
    {12102, L"ERROR_WINHTTP_CANNOT_CALL_AFTER_SEND"},
    {12103, L"ERROR_WINHTTP_CANNOT_CALL_AFTER_OPEN"},
    {12150, L"ERROR_WINHTTP_HEADER_NOT_FOUND"},
    {12152, L"ERROR_WINHTTP_INVALID_SERVER_RESPONSE"},
    {12153, L"ERROR_WINHTTP_INVALID_HEADER"},
    {12154, L"ERROR_WINHTTP_INVALID_QUERY_REQUEST"},
    {12155, L"ERROR_WINHTTP_HEADER_ALREADY_EXISTS"},
    {12156, L"ERROR_WINHTTP_REDIRECT_FAILED"},
    {12157, L"ERROR_WINHTTP_SECURE_CHANNEL_ERROR"},
    {12166, L"ERROR_WINHTTP_BAD_AUTO_PROXY_SCRIPT"},
    {12167, L"ERROR_WINHTTP_UNABLE_TO_DOWNLOAD_SCRIPT"},
    {12169, L"ERROR_WINHTTP_SECURE_INVALID_CERT"},
    {12170, L"ERROR_WINHTTP_SECURE_CERT_REVOKED"},
    {12172, L"ERROR_WINHTTP_NOT_INITIALIZED"},
    {12175, L"ERROR_WINHTTP_SECURE_FAILURE"},
    {12176, L"ERROR_WINHTTP_UNHANDLED_SCRIPT_TYPE"},
    {12177, L"ERROR_WINHTTP_SCRIPT_EXECUTION_ERROR"},
    {12178, L"ERROR_WINHTTP_AUTO_PROXY_SERVICE_ERROR"},
    {12179, L"ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE"},
    {12180, L"ERROR_WINHTTP_AUTODETECTION_FAILED"},
    {12181, L"ERROR_WINHTTP_HEADER_COUNT_EXCEEDED"},
    {12182, L"ERROR_WINHTTP_HEADER_SIZE_OVERFLOW"},
    {12183, L"ERROR_WINHTTP_CHUNKED_ENCODING_HEADER_SIZE_OVERFLOW"},
    {12184, L"ERROR_WINHTTP_RESPONSE_DRAIN_OVERFLOW"},
    {12185, L"ERROR_WINHTTP_CLIENT_CERT_NO_PRIVATE_KEY"},
    {12186, L"ERROR_WINHTTP_CLIENT_CERT_NO_ACCESS_TO_PRIVATE_KEY"},
    {0, L"ERROR_SUCCESS"},
    {5, L"ERROR_ACCESS_DENIED"},
    {6, L"ERROR_INVALID_HANDLE"},
    {8, L"ERROR_NOT_ENOUGH_MEMORY"},
    {87, L"ERROR_INVALID_PARAMETER"},
    {122, L"ERROR_INSUFFICIENT_BUFFER"},
    {258, L"WAIT_TIMEOUT"},
    {1223, L"ERROR_CANCELLED"},
    {1460, L"ERROR_TIMEOUT"},
};

template <size_t N>
const wchar_t* Find(const CodeName (&table)[N], uint32_t uCode) {
    for (const CodeName& entry : table) {
        if (entry.uCode == uCode)
            return entry.pwszName;
    }
    return nullptr;
}

std::wstring HexBytes(const void* pv, ULONG cb) {
    if (!pv)
        return L"(none)";
    static const wchar_t kDigits[] = L"0123456789ABCDEF";
    const auto* p = static_cast<const BYTE*>(pv);
    ULONG cbShown = cb < kMaxEntryIdBytesShown ? cb : kMaxEntryIdBytesShown;
    std::wstring ws;
    ws.reserve(cbShown * 2 + 3);
    for (ULONG i = 0; i < cbShown; ++i) {
        ws += kDigits[p[i] >> 4];
        ws += kDigits[p[i] & 0xF];
    }
    if (cbShown < cb)
        ws += L"...";
    return ws;
}

void TraceIdMapper(const char* pszOperation, const char* pszFunction, DWORD dwLevel, LONG lOstId, const void* pEntryId,
                   ULONG cbEntryId, const wchar_t* pwszTypeName, BOOL bSuccess) {
    if (!g_logger.WouldLog(dwLevel, kIdMapperCategory))
        return;
    try {
        std::wstring wsNode;
        if (pEntryId && cbEntryId == kStoreEntryIdSize) {
            DWORD dwPstId = 0;
            std::memcpy(&dwPstId, static_cast<const BYTE*>(pEntryId) + 20, sizeof dwPstId);
            wchar_t wsz[64];
            std::swprintf(wsz, 64, L" PstID %08X (%ls)", dwPstId, NidType(static_cast<BYTE>(dwPstId)));
            wsNode = wsz;
        }
        TraceVarArgs trace(TRUE, FALSE, dwLevel, kIdMapperCategory, __FILE__, pszFunction, __LINE__, 0);
        trace(L"IDM %S [%s]: OstID %d -> EntryID %s (%u bytes)%s: %S", pszOperation, pwszTypeName ? pwszTypeName : L"",
              lOstId, HexBytes(pEntryId, cbEntryId).c_str(), cbEntryId, wsNode.c_str(),
              bSuccess ? "succeeded" : "failed");
    } catch (...) {
    }
}

}  // namespace

const wchar_t* NidType(BYTE bNid) {
    switch (bNid & 0x1F) {
        case 0x00:
            return L"HID";
        case 0x01:
            return L"INTERNAL";
        case 0x02:
            return L"NORMAL_FOLDER";
        case 0x03:
            return L"SEARCH_FOLDER";
        case 0x04:
            return L"NORMAL_MESSAGE";
        case 0x05:
            return L"ATTACHMENT";
        case 0x06:
            return L"SEARCH_UPDATE_QUEUE";
        case 0x07:
            return L"SEARCH_CRITERIA_OBJECT";
        case 0x08:
            return L"ASSOC_MESSAGE";
        case 0x0A:
            return L"CONTENTS_TABLE_INDEX";
        case 0x0B:
            return L"RECEIVE_FOLDER_TABLE";
        case 0x0C:
            return L"OUTGOING_QUEUE_TABLE";
        case 0x0D:
            return L"HIERARCHY_TABLE";
        case 0x0E:
            return L"CONTENTS_TABLE";
        case 0x0F:
            return L"ASSOC_CONTENTS_TABLE";
        case 0x10:
            return L"SEARCH_CONTENTS_TABLE";
        case 0x11:
            return L"ATTACHMENT_TABLE";
        case 0x12:
            return L"RECIPIENT_TABLE";
        case 0x13:
            return L"SEARCH_TABLE_INDEX";
        case 0x1F:
            return L"LTP";
        default:
            return L"UNKNOWN";
    }
}

const wchar_t* TentFlags(BYTE bFlags) {
    static const wchar_t* const kTexts[] = {L"NONE",    L"ADD",         L"DEL",         L"ADD|DEL",
                                            L"INVALID", L"ADD|INVALID", L"DEL|INVALID", L"ADD|DEL|INVALID"};
    return kTexts[(bFlags & 0x03) | ((bFlags & ~0x03) ? 0x04 : 0)];
}

std::wstring MapiErrorToString(HRESULT hr) {
    if (const wchar_t* pwszName = Find(kHResultNames, static_cast<uint32_t>(hr)))
        return pwszName;
    wchar_t wsz[16];
    std::swprintf(wsz, 16, L"0x%08X", static_cast<unsigned>(hr));
    return wsz;
}

std::wstring WinHTTPErrorToString(DWORD dwError) {
    if (const wchar_t* pwszName = Find(kWin32Names, dwError))
        return pwszName;
    wchar_t wsz[40];
    std::swprintf(wsz, 40, L"error %u (0x%08X)", dwError, dwError);
    return wsz;
}

void TraceIdMapperPutMessage(DWORD dwLevel, LONG lOstId, const void* pEntryId, ULONG cbEntryId,
                             const wchar_t* pwszTypeName, BOOL bSuccess) {
    TraceIdMapper("PUT", "Ostrel::Util::TraceIdMapperPutMessage", dwLevel, lOstId, pEntryId, cbEntryId, pwszTypeName,
                  bSuccess);
}

void TraceIdMapperGetMessage(DWORD dwLevel, LONG lOstId, const void* pEntryId, ULONG cbEntryId,
                             const wchar_t* pwszTypeName, BOOL bSuccess) {
    TraceIdMapper("GET", "Ostrel::Util::TraceIdMapperGetMessage", dwLevel, lOstId, pEntryId, cbEntryId, pwszTypeName,
                  bSuccess);
}

}  // namespace Ostrel::Util

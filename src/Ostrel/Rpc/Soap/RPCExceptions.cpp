#include "Ostrel/Rpc/Soap/RPCExceptions.h"

#include <cxxabi.h>

#include <cstdlib>
#include <typeinfo>

#include "Ostrel/Rpc/Soap/SoapVocabulary.h"
#include "Platform/Base/Utf.h"
#include "Util/Log/Log.h"
#include "Util/Text/XmlUtil.h"

namespace Ostrel::Rpc {

namespace {

constexpr DWORD kCannotConnect = 12029;

// "Ostrel::Rpc::WinHttpException" -> "WinHttpException"
std::string AfterLastColon(std::string name) {
    size_t colon = name.rfind(':');
    return colon == std::string::npos ? name : name.substr(colon + 1);
}

std::optional<std::wstring> ReadFaultValue(IXMLDOMDocument2* pDocument, const wchar_t* pwszXPath) {
    std::optional<std::wstring> value;
    wchar_t* pwszValue = nullptr;
    if (pDocument && Util::XmlUtil::FindNodeValue(pDocument, pwszXPath, &pwszValue) && pwszValue && *pwszValue)
        value = pwszValue;
    Util::XmlUtil::Free(pwszValue);
    return value;
}

const wchar_t* OrEmpty(const wchar_t* pwsz) {
    return pwsz ? pwsz : L"";
}
const char* OrEmpty(const char* psz) {
    return psz ? psz : "";
}

}  // namespace

// ---- RpcException ----

DWORD RpcException::ExcepNum(int) const {
    return kCannotConnect;
}

const wchar_t* RpcException::ExcepText() const {
    return L"";
}

int RpcException::IsSSLExcep() const {
    return 0;
}

const wchar_t* RpcException::ExcepType() const {
    if (m_wsType.empty()) {
        const char* pszMangled = typeid(*this).name();
        int status = 0;
        char* pszDemangled = abi::__cxa_demangle(pszMangled, nullptr, nullptr, &status);
        std::string name = AfterLastColon(status == 0 && pszDemangled ? pszDemangled : pszMangled);
        std::free(pszDemangled);
        m_wsType = Platform::FromUtf8(name);
    }
    return m_wsType.c_str();
}

// ---- MailboxUnreachableException ----

const wchar_t* const MailboxUnreachableException::pTERROR_WINHTTP_CANNOT_CONNECT = L"Unable to connect.";

const wchar_t* MailboxUnreachableException::ExcepText() const {
    return pTERROR_WINHTTP_CANNOT_CONNECT;
}

// ---- WinHttpException ----

const wchar_t* const WinHttpException::pTERROR_WINHTTP_TIMEOUT = L"The request has timed out.";
const wchar_t* const WinHttpException::pTERROR_WINHTTP_INTERNAL_ERROR = L"An internal WinHttp error has occurred.";
const wchar_t* const WinHttpException::pTERROR_WINHTTP_INVALID_URL = L"The URL is invalid.";
const wchar_t* const WinHttpException::pTERROR_WINHTTP_UNRECOGNIZED_SCHEME =
    L"The URL specified a scheme other than \"http:\" or \"https:\" or the server did not return a valid SOAP "
    L"response.";
const wchar_t* const WinHttpException::pTERROR_WINHTTP_NAME_NOT_RESOLVED = L"The server name could not be resolved.";
const wchar_t* const WinHttpException::pTERROR_WINHTTP_SHUTDOWN =
    L"The WinHTTP function support is being shut down or unloaded.";
const wchar_t* const WinHttpException::pTERROR_WINHTTP_LOGIN_FAILURE = L"The WinHttp login attempt failed.";
const wchar_t* const WinHttpException::pTERROR_WINHTTP_OPERATION_CANCELLED = L"The WinHttp operation was canceled";
const wchar_t* const WinHttpException::pTERROR_WINHTTP_INCORRECT_HANDLE_TYPE =
    L"The type of handle supplied is incorrect for this operation.";
const wchar_t* const WinHttpException::pTERROR_WINHTTP_INCORRECT_HANDLE_STATE =
    L"The requested operation cannot be carried out because the handle supplied is not in the correct state.";
const wchar_t* const WinHttpException::pTERROR_WINHTTP_CONNECTION_ERROR =
    L"The connection with the server has been reset or terminated, or an incompatible SSL protocol was "
    L"encountered.";
const wchar_t* const WinHttpException::pTERROR_WINHTTP_HEADER_NOT_FOUND = L"Header not found.";
const wchar_t* const WinHttpException::pTERROR_WINHTTP_INVALID_SERVER_RESPONSE = L"Invalid server response.";
const wchar_t* const WinHttpException::pTERROR_WINHTTP_SECURE_FAILURE =
    L"One or more errors were found in the Secure Sockets Layer (SSL) certificate sent by the server.";
const wchar_t* const WinHttpException::pTERROR_WINHTTP_RESPONSE_DRAIN_OVERFLOW =
    L"The response exceeds an internal WinHTTP size limit.";

WinHttpException::WinHttpException(DWORD dwError, int isSSL) : m_dwError(dwError), m_iIsSSL(isSSL) {}

WinHttpException::WinHttpException(const WinHttpException& other)
    : MailboxUnreachableException(other),
      m_dwError(other.m_dwError),
      m_wsText(other.m_wsText),
      m_iIsSSL(other.m_iIsSSL),
      m_dwCertError(other.m_dwCertError),
      m_pCert(other.m_pCert ? CertDuplicateCertificateContext(other.m_pCert) : nullptr) {}

WinHttpException::~WinHttpException() {
    if (m_pCert)
        CertFreeCertificateContext(m_pCert);
}

DWORD WinHttpException::ExcepNum(int) const {
    return m_dwError;
}

int WinHttpException::IsSSLExcep() const {
    return m_iIsSSL;
}

const wchar_t* WinHttpException::ExcepText() const {
    switch (m_dwError) {
        case 12002:
            return pTERROR_WINHTTP_TIMEOUT;
        case 12004:
            return pTERROR_WINHTTP_INTERNAL_ERROR;
        case 12005:
            return pTERROR_WINHTTP_INVALID_URL;
        case 12006:
            return pTERROR_WINHTTP_UNRECOGNIZED_SCHEME;
        case 12007:
            return pTERROR_WINHTTP_NAME_NOT_RESOLVED;
        case 12012:
            return pTERROR_WINHTTP_SHUTDOWN;
        case 12015:
            return pTERROR_WINHTTP_LOGIN_FAILURE;
        case 12017:
            return pTERROR_WINHTTP_OPERATION_CANCELLED;
        case 12018:
            return pTERROR_WINHTTP_INCORRECT_HANDLE_TYPE;
        case 12019:
            return pTERROR_WINHTTP_INCORRECT_HANDLE_STATE;
        case 12029:
            return pTERROR_WINHTTP_CANNOT_CONNECT;
        case 12030:
            return pTERROR_WINHTTP_CONNECTION_ERROR;
        case 12150:
            return pTERROR_WINHTTP_HEADER_NOT_FOUND;
        case 12152:
            return pTERROR_WINHTTP_INVALID_SERVER_RESPONSE;
        case 12175:
            return pTERROR_WINHTTP_SECURE_FAILURE;
        case 12184:
            return pTERROR_WINHTTP_RESPONSE_DRAIN_OVERFLOW;
        default:
            // This system has no message catalogue for Windows error numbers.
            if (m_wsText.empty())
                m_wsText = L"Unknown Error " + std::to_wstring(static_cast<int>(m_dwError));
            return m_wsText.c_str();
    }
}

void WinHttpException::SetServerCertData(DWORD dwCertError, PCCERT_CONTEXT pCert) {
    m_dwCertError = dwCertError;
    PCCERT_CONTEXT pDuplicate = pCert ? CertDuplicateCertificateContext(pCert) : nullptr;
    if (m_pCert)
        CertFreeCertificateContext(m_pCert);
    m_pCert = pDuplicate;
}

// ---- NginxException ----

const wchar_t* const NginxException::pHTTP_STATUS_SERVER_ERROR = L"500 Internal server error";
const wchar_t* const NginxException::pHTTP_STATUS_NOT_SUPPORTED = L"501 Not implemented";
const wchar_t* const NginxException::pHTTP_STATUS_BAD_GATEWAY = L"502 Bad gateway";
const wchar_t* const NginxException::pHTTP_STATUS_SERVICE_UNAVAIL = L"503 Service unavailable";
const wchar_t* const NginxException::pHTTP_STATUS_GATEWAY_TIMEOUT = L"504 Gateway timeout";
const wchar_t* const NginxException::pHTTP_STATUS_VERSION_NOT_SUP = L"505 HTTP version not supported";

NginxException::NginxException(DWORD dwStatus, const char* pszFunction, int iLine, const IConnectionTrace* pConnection)
    : m_dwStatus(dwStatus) {
    std::wstring wsDetails = pConnection ? pConnection->GetRequestDetails() : std::wstring();
    std::wstring wsCaller = Platform::FromUtf8(pConnection ? AfterLastColon(pConnection->GetCallerFunction()) : "");
    int iCallerLine = pConnection ? pConnection->GetCallerLine() : 0;
    std::wstring wsFunction = Platform::FromUtf8(AfterLastColon(OrEmpty(pszFunction)));
    OSTLOG_ERROR(L"'%s' at '%s#%d' returned '%s' -> throw %s:  [%s#%d]", wsDetails.c_str(), wsCaller.c_str(),
                 iCallerLine, ExcepText(), ExcepType(), wsFunction.c_str(), iLine);
}

DWORD NginxException::ExcepNum(int generic) const {
    return generic ? kCannotConnect : m_dwStatus;
}

const wchar_t* NginxException::ExcepText() const {
    switch (m_dwStatus) {
        case 500:
            return pHTTP_STATUS_SERVER_ERROR;
        case 501:
            return pHTTP_STATUS_NOT_SUPPORTED;
        case 502:
            return pHTTP_STATUS_BAD_GATEWAY;
        case 503:
            return pHTTP_STATUS_SERVICE_UNAVAIL;
        case 504:
            return pHTTP_STATUS_GATEWAY_TIMEOUT;
        case 505:
            return pHTTP_STATUS_VERSION_NOT_SUP;
        default:
            if (m_wsText.empty())
                m_wsText = std::to_wstring(static_cast<int>(m_dwStatus)) + L" Unknown Error";
            return m_wsText.c_str();
    }
}

// ---- Server answers ----

ServiceFaultException::ServiceFaultException(const wchar_t* pwszFaultCode, const wchar_t* pwszFaultMessage,
                                             const char* pszResponse)
    : m_wsFaultCode(OrEmpty(pwszFaultCode)),
      m_wsFaultMessage(OrEmpty(pwszFaultMessage)),
      m_sResponse(OrEmpty(pszResponse)) {}

const wchar_t* ServiceFaultException::ExcepText() const {
    return m_wsFaultMessage.c_str();
}

FileUploadFaultException::FileUploadFaultException(const char* pszErrorText) : m_sErrorText(OrEmpty(pszErrorText)) {}

FileUploadFaultException::FileUploadFaultException(const char* pszStatusCode, const char* pszErrorText)
    : m_sStatusCode(OrEmpty(pszStatusCode)), m_sErrorText(OrEmpty(pszErrorText)) {}

FileDownloadFaultException::FileDownloadFaultException(const char* pszErrorText)
    : m_sErrorText(OrEmpty(pszErrorText)) {}

FileDownloadFaultException::FileDownloadFaultException(DWORD dwStatusCode, const char* pszErrorText)
    : m_dwStatusCode(dwStatusCode), m_sErrorText(OrEmpty(pszErrorText)) {}

SoapFaultResponse::SoapFaultResponse(IXMLDOMDocument2* pDocument)
    : Response(pDocument),
      m_owsReason(ReadFaultValue(pDocument, Soap::kXPathFaultReason)),
      m_owsErrorCode(ReadFaultValue(pDocument, Soap::kXPathFaultCode)) {}

const wchar_t* SoapFaultResponse::ExcepText() const {
    return m_owsReason ? m_owsReason->c_str() : L"Unknown";
}

const wchar_t* SoapFaultResponse::ErrorCode() const {
    return m_owsErrorCode ? m_owsErrorCode->c_str() : L"Unknown";
}

}  // namespace Ostrel::Rpc

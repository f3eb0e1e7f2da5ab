// The exceptions of the SOAP client. Transport failures are MailboxUnreachableException
// (WinHttpException, NginxException); answers of the server are ServerResponseException, among
// them SoapFaultResponse, which is at the same time a Response, and its subclasses by error code.
#pragma once

#include <string>

#include "Ostrel/Rpc/Soap/Response.h"
#include "Platform/Crypto/Cert.h"

namespace Ostrel::Rpc {

class RpcException {
public:
    RpcException() = default;
    // A copy works out its own type name: it may be thrown as a base class of the original.
    RpcException(const RpcException&) {}
    RpcException& operator=(const RpcException&) = delete;
    virtual ~RpcException() = default;

    // 12029 (cannot connect) unless a class says otherwise.
    virtual DWORD ExcepNum(int generic) const;
    virtual const wchar_t* ExcepText() const;
    virtual int IsSSLExcep() const;
    // The class name without namespace, e.g. "ServiceException_AUTH_EXPIRED".
    const wchar_t* ExcepType() const;

private:
    mutable std::wstring m_wsType;
};

class MailboxUnreachableException : public RpcException {
public:
    static const wchar_t* const pTERROR_WINHTTP_CANNOT_CONNECT;
    const wchar_t* ExcepText() const override;
};

class WinHttpException : public MailboxUnreachableException {
public:
    static const wchar_t* const pTERROR_WINHTTP_TIMEOUT;
    static const wchar_t* const pTERROR_WINHTTP_INTERNAL_ERROR;
    static const wchar_t* const pTERROR_WINHTTP_INVALID_URL;
    static const wchar_t* const pTERROR_WINHTTP_UNRECOGNIZED_SCHEME;
    static const wchar_t* const pTERROR_WINHTTP_NAME_NOT_RESOLVED;
    static const wchar_t* const pTERROR_WINHTTP_SHUTDOWN;
    static const wchar_t* const pTERROR_WINHTTP_LOGIN_FAILURE;
    static const wchar_t* const pTERROR_WINHTTP_OPERATION_CANCELLED;
    static const wchar_t* const pTERROR_WINHTTP_INCORRECT_HANDLE_TYPE;
    static const wchar_t* const pTERROR_WINHTTP_INCORRECT_HANDLE_STATE;
    static const wchar_t* const pTERROR_WINHTTP_CONNECTION_ERROR;
    static const wchar_t* const pTERROR_WINHTTP_HEADER_NOT_FOUND;
    static const wchar_t* const pTERROR_WINHTTP_INVALID_SERVER_RESPONSE;
    static const wchar_t* const pTERROR_WINHTTP_SECURE_FAILURE;
    static const wchar_t* const pTERROR_WINHTTP_RESPONSE_DRAIN_OVERFLOW;

    explicit WinHttpException(DWORD dwError, int isSSL = 0);
    WinHttpException(const WinHttpException& other);
    ~WinHttpException() override;

    DWORD ExcepNum(int generic) const override;
    const wchar_t* ExcepText() const override;
    int IsSSLExcep() const override;

    // Keeps a duplicate of the server certificate (an earlier one is freed; null clears it).
    void SetServerCertData(DWORD dwCertError, PCCERT_CONTEXT pCert);
    DWORD GetCertErr() const { return m_dwCertError; }
    PCCERT_CONTEXT GetCertContext() const { return m_pCert; }

private:
    DWORD m_dwError;
    mutable std::wstring m_wsText;  // formatted once for numbers without a fixed text
    int m_iIsSSL;
    DWORD m_dwCertError = 0;
    PCCERT_CONTEXT m_pCert = nullptr;
};

// What a connection recorded about the exchange in flight, for the log line of NginxException.
class IConnectionTrace {
public:
    virtual std::wstring GetRequestDetails() const = 0;
    virtual std::string GetCallerFunction() const = 0;
    virtual int GetCallerLine() const = 0;

protected:
    ~IConnectionTrace() = default;
};

// An HTTP status above 500 from the server or a proxy in front of it.
class NginxException : public MailboxUnreachableException {
public:
    static const wchar_t* const pHTTP_STATUS_SERVER_ERROR;
    static const wchar_t* const pHTTP_STATUS_NOT_SUPPORTED;
    static const wchar_t* const pHTTP_STATUS_BAD_GATEWAY;
    static const wchar_t* const pHTTP_STATUS_SERVICE_UNAVAIL;
    static const wchar_t* const pHTTP_STATUS_GATEWAY_TIMEOUT;
    static const wchar_t* const pHTTP_STATUS_VERSION_NOT_SUP;

    // Logs the exchange (connection may be null) with the throwing function and line.
    NginxException(DWORD dwStatus, const char* pszFunction, int iLine, const IConnectionTrace* pConnection);

    // 12029 when `generic` is non-zero, else the HTTP status.
    DWORD ExcepNum(int generic) const override;
    const wchar_t* ExcepText() const override;

private:
    DWORD m_dwStatus;
    mutable std::wstring m_wsText;
};

class ServerResponseException : public RpcException {};

// A fault the server reported in HTTP headers; keeps the whole response body for the logs.
class ServiceFaultException : public ServerResponseException {
public:
    ServiceFaultException(const wchar_t* pwszFaultCode, const wchar_t* pwszFaultMessage, const char* pszResponse);

    const wchar_t* ExcepText() const override;
    const wchar_t* FaultCode() const { return m_wsFaultCode.c_str(); }
    const char* Response() const { return m_sResponse.c_str(); }

private:
    std::wstring m_wsFaultCode;
    std::wstring m_wsFaultMessage;
    std::string m_sResponse;
};

class FileUploadFaultException : public ServerResponseException {
public:
    explicit FileUploadFaultException(const char* pszErrorText);
    FileUploadFaultException(const char* pszStatusCode, const char* pszErrorText);

    const char* StatusCode() const { return m_sStatusCode.c_str(); }
    const char* ErrorText() const { return m_sErrorText.c_str(); }

private:
    std::string m_sStatusCode;
    std::string m_sErrorText;
};

class FileDownloadFaultException : public ServerResponseException {
public:
    explicit FileDownloadFaultException(const char* pszErrorText);
    FileDownloadFaultException(DWORD dwStatusCode, const char* pszErrorText);

    DWORD StatusCode() const { return m_dwStatusCode; }
    const char* ErrorText() const { return m_sErrorText.c_str(); }

private:
    DWORD m_dwStatusCode = 0;
    std::string m_sErrorText;
};

// A SOAP fault: a response and an exception at once, with the fault's reason and error code.
class SoapFaultResponse : public ServerResponseException, public Response {
public:
    explicit SoapFaultResponse(IXMLDOMDocument2* pDocument);

    // The reason text, or "Unknown".
    const wchar_t* ExcepText() const override;
    // The server's error code, or "Unknown".
    const wchar_t* ErrorCode() const;

private:
    std::optional<std::wstring> m_owsReason;
    std::optional<std::wstring> m_owsErrorCode;
};

class ServiceException : public SoapFaultResponse {
public:
    using SoapFaultResponse::SoapFaultResponse;
    static constexpr const wchar_t* FAILURE = L"service.FAILURE";
    static constexpr const wchar_t* INVALID_REQUEST = L"service.INVALID_REQUEST";
    static constexpr const wchar_t* UNKNOWN_DOCUMENT = L"service.UNKNOWN_DOCUMENT";
    static constexpr const wchar_t* PARSE_ERROR = L"service.PARSE_ERROR";
    static constexpr const wchar_t* TEMPORARILY_UNAVAILABLE = L"service.TEMPORARILY_UNAVAILABLE";
    static constexpr const wchar_t* PERM_DENIED = L"service.PERM_DENIED";
    static constexpr const wchar_t* AUTH_REQUIRED = L"service.AUTH_REQUIRED";
    static constexpr const wchar_t* AUTH_EXPIRED = L"service.AUTH_EXPIRED";
    static constexpr const wchar_t* WRONG_HOST = L"service.WRONG_HOST";
    static constexpr const wchar_t* NON_READONLY_OPERATION_DENIED = L"service.NON_READONLY_OPERATION_DENIED";
    static constexpr const wchar_t* PROXY_ERROR = L"service.PROXY_ERROR";
    static constexpr const wchar_t* TOO_MANY_HOPS = L"service.TOO_MANY_HOPS";
};

class AccountServiceException : public SoapFaultResponse {
public:
    using SoapFaultResponse::SoapFaultResponse;
    static constexpr const wchar_t* AUTH_FAILED = L"account.AUTH_FAILED";
    static constexpr const wchar_t* CHANGE_PASSWORD = L"account.CHANGE_PASSWORD";
    static constexpr const wchar_t* PASSWORD_LOCKED = L"account.PASSWORD_LOCKED";
    static constexpr const wchar_t* PASSWORD_CHANGE_TOO_SOON = L"account.PASSWORD_CHANGE_TOO_SOON";
    static constexpr const wchar_t* PASSWORD_RECENTLY_USED = L"account.PASSWORD_RECENTLY_USED";
    static constexpr const wchar_t* INVALID_PASSWORD = L"account.INVALID_PASSWORD";
    static constexpr const wchar_t* INVALID_ATTR_NAME = L"account.INVALID_ATTR_NAME";
    static constexpr const wchar_t* INVALID_ATTR_VALUE = L"account.INVALID_ATTR_VALUE";
    static constexpr const wchar_t* MULTIPLE_ACCOUNTS_MATCHED = L"account.MULTIPLE_ACCOUNTS_MATCHED";
    static constexpr const wchar_t* NO_SUCH_ACCOUNT = L"account.NO_SUCH_ACCOUNT";
    static constexpr const wchar_t* NO_SUCH_ALIAS = L"account.NO_SUCH_ALIAS";
    static constexpr const wchar_t* NO_SUCH_GROUP = L"account.NO_SUCH_GROUP";
    static constexpr const wchar_t* NO_SUCH_DOMAIN = L"account.NO_SUCH_DOMAIN";
    static constexpr const wchar_t* NO_SUCH_COS = L"account.NO_SUCH_COS";
    static constexpr const wchar_t* NO_SUCH_SERVER = L"account.NO_SUCH_SERVER";
    static constexpr const wchar_t* NO_SUCH_DISTRIBUTION_LIST = L"account.NO_SUCH_DISTRIBUTION_LIST";
    static constexpr const wchar_t* NO_SUCH_MEMBER = L"account.NO_SUCH_MEMBER";
    static constexpr const wchar_t* MEMBER_EXISTS = L"account.MEMBER_EXISTS";
    static constexpr const wchar_t* ACCOUNT_EXISTS = L"account.ACCOUNT_EXISTS";
    static constexpr const wchar_t* DOMAIN_EXISTS = L"account.DOMAIN_EXISTS";
    static constexpr const wchar_t* DOMAIN_NOT_EMPTY = L"account.DOMAIN_NOT_EMPTY";
    static constexpr const wchar_t* COS_EXISTS = L"account.COS_EXISTS";
    static constexpr const wchar_t* SERVER_EXISTS = L"account.SERVER_EXISTS";
    static constexpr const wchar_t* DISTRIBUTION_LIST_EXISTS = L"account.DISTRIBUTION_LIST_EXISTS";
    static constexpr const wchar_t* MAINTENANCE_MODE = L"account.MAINTENANCE_MODE";
    static constexpr const wchar_t* ACCOUNT_INACTIVE = L"account.ACCOUNT_INACTIVE";
    static constexpr const wchar_t* TWO_FACTOR_AUTH_FAILED = L"account.TWO_FACTOR_AUTH_FAILED";
    static constexpr const wchar_t* TWO_FACTOR_SETUP_REQUIRED = L"account.TWO_FACTOR_SETUP_REQUIRED";
};

class MailServiceException : public SoapFaultResponse {
public:
    using SoapFaultResponse::SoapFaultResponse;
    static constexpr const wchar_t* MAINTENANCE = L"mail.MAINTENANCE";
    static constexpr const wchar_t* NO_SUCH_MBOX = L"mail.NO_SUCH_MBOX";
    static constexpr const wchar_t* NO_SUCH_ITEM = L"mail.NO_SUCH_ITEM";
    static constexpr const wchar_t* NO_SUCH_CONV = L"mail.NO_SUCH_CONV";
    static constexpr const wchar_t* NO_SUCH_MSG = L"mail.NO_SUCH_MSG";
    static constexpr const wchar_t* NO_SUCH_PART = L"mail.NO_SUCH_PART";
    static constexpr const wchar_t* NO_SUCH_CONTACT = L"mail.NO_SUCH_CONTACT";
    static constexpr const wchar_t* NO_SUCH_FOLDER = L"mail.NO_SUCH_FOLDER";
    static constexpr const wchar_t* NO_SUCH_NOTE = L"mail.NO_SUCH_NOTE";
    static constexpr const wchar_t* NO_SUCH_TASK = L"mail.NO_SUCH_TASK";
    static constexpr const wchar_t* NO_SUCH_APPT = L"mail.NO_SUCH_APPT";
    static constexpr const wchar_t* NO_SUCH_DOC = L"mail.NO_SUCH_DOC";
    static constexpr const wchar_t* NO_SUCH_TAG = L"mail.NO_SUCH_TAG";
    static constexpr const wchar_t* NO_SUCH_UPLOAD = L"mail.NO_SUCH_UPLOAD";
    static constexpr const wchar_t* SCAN_ERROR = L"mail.SCAN_ERROR";
    static constexpr const wchar_t* UPLOAD_REJECTED = L"mail.UPLOAD_REJECTED";
    static constexpr const wchar_t* TOO_MANY_TAGS = L"mail.TOO_MANY_TAGS";
    static constexpr const wchar_t* TOO_MANY_UPLOADS = L"mail.TOO_MANY_UPLOADS";
    static constexpr const wchar_t* TOO_MANY_CONTACTS = L"mail.TOO_MANY_CONTACTS";
    static constexpr const wchar_t* UNABLE_TO_IMPORT_CONTACTS = L"mail.UNABLE_TO_IMPORT_CONTACTS";
    static constexpr const wchar_t* QUOTA_EXCEEDED = L"mail.QUOTA_EXCEEDED";
    static constexpr const wchar_t* INVALID_ID = L"mail.INVALID_ID";
    static constexpr const wchar_t* INVALID_NAME = L"mail.INVALID_NAME";
    static constexpr const wchar_t* WRONG_MAILBOX = L"mail.WRONG_MAILBOX";
    static constexpr const wchar_t* CANNOT_CONTAIN = L"mail.CANNOT_CONTAIN";
    static constexpr const wchar_t* CANNOT_COPY = L"mail.CANNOT_COPY";
    static constexpr const wchar_t* CANNOT_TAG = L"mail.CANNOT_TAG";
    static constexpr const wchar_t* CANNOT_PARENT = L"mail.CANNOT_PARENT";
    static constexpr const wchar_t* IS_NOT_CHILD = L"mail.IS_NOT_CHILD";
    static constexpr const wchar_t* MODIFY_CONFLICT = L"mail.MODIFY_CONFLICT";
    static constexpr const wchar_t* IMMUTABLE_OBJECT = L"mail.IMMUTABLE_OBJECT";
    static constexpr const wchar_t* ALREADY_EXISTS = L"mail.ALREADY_EXISTS";
    static constexpr const wchar_t* QUERY_PARSE_ERROR = L"mail.QUERY_PARSE_ERROR";
    static constexpr const wchar_t* MESSAGE_PARSE_ERROR = L"mail.MESSAGE_PARSE_ERROR";
    static constexpr const wchar_t* ICALENDAR_PARSE_ERROR = L"mail.ICALENDAR_PARSE_ERROR";
    static constexpr const wchar_t* NO_SUCH_APPOINTMENT = L"mail.NO_SUCH_APPOINTMENT";
    static constexpr const wchar_t* MUST_BE_ORGANIZER = L"mail.MUST_BE_ORGANIZER";
    static constexpr const wchar_t* CANNOT_CANCEL_INSTANCE_OF_EXCEPTION = L"mail.CANNOT_CANCEL_INSTANCE_OF_EXCEPTION";
    static constexpr const wchar_t* INVITE_OUT_OF_DATE = L"mail.INVITE_OUT_OF_DATE";
    static constexpr const wchar_t* SEND_FAILURE = L"mail.SEND_FAILURE";
    static constexpr const wchar_t* MUST_RESYNC = L"mail.MUST_RESYNC";
};

#define OSTREL_FAULT_CLASS(name, base) \
    class name : public base {         \
    public:                            \
        using base::base;              \
    };

OSTREL_FAULT_CLASS(ServiceException_UNKNOWN_DOCUMENT, ServiceException)
OSTREL_FAULT_CLASS(ServiceException_AUTH_REQUIRED, ServiceException)
OSTREL_FAULT_CLASS(ServiceException_AUTH_EXPIRED, ServiceException)
OSTREL_FAULT_CLASS(ServiceException_INVALID_REQUEST, ServiceException)
OSTREL_FAULT_CLASS(ServiceException_PERM_DENIED, ServiceException)
OSTREL_FAULT_CLASS(AccountServiceException_AUTH_FAILED, AccountServiceException)
OSTREL_FAULT_CLASS(AccountServiceException_CHANGE_PASSWORD, AccountServiceException)
// One class for account.MAINTENANCE_MODE, account.ACCOUNT_INACTIVE and service.TEMPORARILY_UNAVAILABLE.
OSTREL_FAULT_CLASS(AccountServiceException_MAINTENANCE_MODE, AccountServiceException)
OSTREL_FAULT_CLASS(AccountServiceException_TWO_FACTOR_AUTH_FAILED, AccountServiceException)
OSTREL_FAULT_CLASS(AccountServiceException_TWO_FACTOR_SETUP_REQUIRED, AccountServiceException)
OSTREL_FAULT_CLASS(MailServiceException_MAINTENANCE, MailServiceException)
OSTREL_FAULT_CLASS(MailServiceException_MUST_BE_ORGANIZER, MailServiceException)
OSTREL_FAULT_CLASS(MailServiceException_ICALENDAR_PARSE_ERROR, MailServiceException)
OSTREL_FAULT_CLASS(MailServiceException_UPLOAD_REJECTED, MailServiceException)
OSTREL_FAULT_CLASS(MailServiceException_ALREADY_EXISTS, MailServiceException)
OSTREL_FAULT_CLASS(MailServiceException_MUST_RESYNC, MailServiceException)

#undef OSTREL_FAULT_CLASS

}  // namespace Ostrel::Rpc

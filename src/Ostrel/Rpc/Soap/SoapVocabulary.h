// The SOAP vocabulary: XML namespaces, the XPath prefixes bound to them, and the element and
// attribute names the request and response code writes. Constants, so they exist before any code runs.
#pragma once

namespace Ostrel::Rpc::Soap {

// Namespaces of body elements.
inline constexpr const wchar_t* kNsOstrel = L"urn:ostrel";
inline constexpr const wchar_t* kNsAccount = L"urn:ostrelAccount";
inline constexpr const wchar_t* kNsMail = L"urn:ostrelMail";
inline constexpr const wchar_t* kNsAdmin = L"urn:ostrelAdmin";
inline constexpr const wchar_t* kNsEnvelope = L"http://www.w3.org/2003/05/soap-envelope";

// The "SelectionNamespaces" of every request and response document: mail, l, account, soap and
// admin. All XPath on requests and responses uses these prefixes.
inline constexpr const wchar_t* kSelectionNamespaces =
    L"xmlns:mail='urn:ostrelMail' xmlns:l='urn:ostrel' xmlns:account='urn:ostrelAccount' "
    L"xmlns:soap='http://www.w3.org/2003/05/soap-envelope' xmlns:admin='urn:ostrelAdmin'";

// Element and attribute names.
inline constexpr const wchar_t* kContext = L"context";
inline constexpr const wchar_t* kUserAgent = L"userAgent";
inline constexpr const wchar_t* kAuthToken = L"authToken";
inline constexpr const wchar_t* kSessionId = L"sessionId";
inline constexpr const wchar_t* kNoSession = L"nosession";
inline constexpr const wchar_t* kAccount = L"account";
inline constexpr const wchar_t* kXmlns = L"xmlns";
inline constexpr const wchar_t* kBy = L"by";
inline constexpr const wchar_t* kName = L"name";
inline constexpr const wchar_t* kVersion = L"version";
inline constexpr const wchar_t* kGrant = L"grant";
inline constexpr const wchar_t* kGt = L"gt";
inline constexpr const wchar_t* kOid = L"oid";
inline constexpr const wchar_t* kD = L"d";
inline constexpr const wchar_t* kPw = L"pw";
inline constexpr const wchar_t* kPerm = L"perm";
inline constexpr const wchar_t* kRequestId = L"requestId";
inline constexpr const wchar_t* kBatchRequest = L"BatchRequest";

// XPaths shared by requests and responses.
inline constexpr const wchar_t* kXPathHeader = L"//soap:Header";
inline constexpr const wchar_t* kXPathBody = L"//soap:Body";
inline constexpr const wchar_t* kXPathContext = L"//soap:Header/l:context";
inline constexpr const wchar_t* kXPathBodyElement = L"/soap:Envelope/soap:Body/*";
inline constexpr const wchar_t* kXPathChangeToken = L"/soap:Envelope/soap:Header/l:context/l:change";
inline constexpr const wchar_t* kXPathFaultReason = L"/soap:Envelope/soap:Body/soap:Fault/soap:Reason/soap:Text";
inline constexpr const wchar_t* kXPathFaultCode = L"/soap:Envelope/soap:Body/soap:Fault/soap:Detail/l:Error/l:Code";

}  // namespace Ostrel::Rpc::Soap

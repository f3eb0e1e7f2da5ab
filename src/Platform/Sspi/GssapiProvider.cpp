#include "Platform/Sspi/GssapiProvider.h"

#include "Platform/Base/Utf.h"

#include <gssapi/gssapi.h>
#include <gssapi/gssapi_krb5.h>

#include <cstring>

namespace Platform::Sspi {

namespace {

// MIT's headers have no constant for the SPNEGO mechanism.
gss_OID_desc g_spnegoOid = {6, const_cast<char*>("\x2b\x06\x01\x05\x05\x02")};

thread_local std::wstring t_wsLastError;

std::wstring StatusText(OM_uint32 code, int type, gss_OID mech) {
    std::string text;
    OM_uint32 context = 0;
    do {
        OM_uint32 minor = 0;
        gss_buffer_desc buffer = GSS_C_EMPTY_BUFFER;
        if (GSS_ERROR(gss_display_status(&minor, code, type, mech, &context, &buffer)))
            break;
        if (!text.empty())
            text += "; ";
        text.append(static_cast<const char*>(buffer.value), buffer.length);
        gss_release_buffer(&minor, &buffer);
    } while (context != 0);
    return FromUtf8(text);
}

void RecordError(const char* pszCall, OM_uint32 major, OM_uint32 minor, gss_OID mech) {
    t_wsLastError = FromUtf8(pszCall) + L": " + StatusText(major, GSS_C_GSS_CODE, GSS_C_NO_OID);
    if (minor != 0)
        t_wsLastError += L" (" + StatusText(minor, GSS_C_MECH_CODE, mech) + L")";
}

gss_OID MechanismOf(const std::wstring& wsPackage) {
    if (wsPackage == kNegotiatePackage)
        return &g_spnegoOid;
    if (wsPackage == L"Kerberos")
        return gss_mech_krb5;
    return GSS_C_NO_OID;
}

// Acquires the default outbound credentials of one mechanism.
OM_uint32 AcquireDefault(gss_OID mech, gss_cred_id_t* pCred, OM_uint32* pMinor) {
    gss_OID_set_desc mechs = {1, mech};
    return gss_acquire_cred(pMinor, GSS_C_NO_NAME, GSS_C_INDEFINITE, &mechs, GSS_C_INITIATE, pCred, nullptr, nullptr);
}

}  // namespace

GssapiProvider::~GssapiProvider() {
    OM_uint32 minor = 0;
    for (auto& [id, context] : m_contexts) {
        gss_ctx_id_t ctx = static_cast<gss_ctx_id_t>(context);
        gss_delete_sec_context(&minor, &ctx, GSS_C_NO_BUFFER);
    }
    for (auto& [id, credential] : m_credentials) {
        gss_cred_id_t cred = static_cast<gss_cred_id_t>(credential);
        gss_release_cred(&minor, &cred);
    }
}

bool GssapiProvider::GetDomainUser(std::wstring& wsPrincipal, std::wstring& wsRealm) {
    wsPrincipal.clear();
    wsRealm.clear();
    OM_uint32 minor = 0;
    gss_cred_id_t cred = GSS_C_NO_CREDENTIAL;
    OM_uint32 major = AcquireDefault(gss_mech_krb5, &cred, &minor);
    if (GSS_ERROR(major)) {
        RecordError("gss_acquire_cred", major, minor, gss_mech_krb5);
        return false;
    }
    // The lifetime first and the name only for live credentials: asked for both, the library
    // reports expired credentials as an error and loses the name it made.
    OM_uint32 lifetime = 0;
    major = gss_inquire_cred(&minor, cred, nullptr, &lifetime, nullptr, nullptr);
    if (GSS_ERROR(major) || lifetime == 0) {
        if (GSS_ERROR(major) && GSS_ROUTINE_ERROR(major) != GSS_S_CREDENTIALS_EXPIRED)
            RecordError("gss_inquire_cred", major, minor, gss_mech_krb5);
        else
            t_wsLastError = L"the credentials have expired";
        gss_release_cred(&minor, &cred);
        return false;
    }
    gss_name_t name = GSS_C_NO_NAME;
    major = gss_inquire_cred(&minor, cred, &name, nullptr, nullptr, nullptr);
    gss_release_cred(&minor, &cred);
    if (GSS_ERROR(major)) {
        RecordError("gss_inquire_cred", major, minor, gss_mech_krb5);
        if (name != GSS_C_NO_NAME)
            gss_release_name(&minor, &name);
        return false;
    }
    gss_buffer_desc display = GSS_C_EMPTY_BUFFER;
    major = gss_display_name(&minor, name, &display, nullptr);
    gss_release_name(&minor, &name);
    if (GSS_ERROR(major)) {
        RecordError("gss_display_name", major, minor, gss_mech_krb5);
        return false;
    }
    std::string principal(static_cast<const char*>(display.value), display.length);
    gss_release_buffer(&minor, &display);
    size_t at = principal.rfind('@');
    if (at == std::string::npos || at + 1 == principal.size()) {
        t_wsLastError = L"the principal has no realm";
        return false;
    }
    wsPrincipal = FromUtf8(principal);
    wsRealm = FromUtf8(principal.substr(at + 1));
    return true;
}

SECURITY_STATUS GssapiProvider::EnumerateSecurityPackages(std::vector<std::wstring>& packages) {
    packages.clear();
    OM_uint32 minor = 0;
    gss_OID_set mechs = GSS_C_NO_OID_SET;
    OM_uint32 major = gss_indicate_mechs(&minor, &mechs);
    if (GSS_ERROR(major)) {
        RecordError("gss_indicate_mechs", major, minor, GSS_C_NO_OID);
        return SEC_E_INTERNAL_ERROR;
    }
    int present = 0;
    if (!GSS_ERROR(gss_test_oid_set_member(&minor, &g_spnegoOid, mechs, &present)) && present)
        packages.push_back(kNegotiatePackage);
    present = 0;
    if (!GSS_ERROR(gss_test_oid_set_member(&minor, gss_mech_krb5, mechs, &present)) && present)
        packages.push_back(L"Kerberos");
    gss_release_oid_set(&minor, &mechs);
    return SEC_E_OK;
}

SECURITY_STATUS GssapiProvider::AcquireCredentialsHandle(const std::wstring& wsPackage, CredHandle* phCredential) {
    if (!phCredential)
        return SEC_E_INVALID_HANDLE;
    phCredential->ullId = 0;
    gss_OID mech = MechanismOf(wsPackage);
    if (mech == GSS_C_NO_OID) {
        t_wsLastError = L"no such package: " + wsPackage;
        return SEC_E_SECPKG_NOT_FOUND;
    }
    OM_uint32 minor = 0;
    gss_cred_id_t cred = GSS_C_NO_CREDENTIAL;
    OM_uint32 major = AcquireDefault(mech, &cred, &minor);
    if (GSS_ERROR(major)) {
        RecordError("gss_acquire_cred", major, minor, mech);
        return SEC_E_NO_CREDENTIALS;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    phCredential->ullId = m_ullNextId++;
    m_credentials[phCredential->ullId] = cred;
    return SEC_E_OK;
}

SECURITY_STATUS GssapiProvider::InitializeSecurityContext(const CredHandle& hCredential, const std::wstring& wsTarget,
                                                          CtxtHandle* phContext, std::vector<BYTE>& token) {
    token.clear();
    if (!phContext)
        return SEC_E_INVALID_HANDLE;
    phContext->ullId = 0;
    gss_cred_id_t cred = GSS_C_NO_CREDENTIAL;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_credentials.find(hCredential.ullId);
        if (it == m_credentials.end())
            return SEC_E_INVALID_HANDLE;
        cred = static_cast<gss_cred_id_t>(it->second);
    }
    OM_uint32 minor = 0;
    std::string target = ToUtf8(wsTarget);
    gss_buffer_desc nameBuffer = {target.size(), target.data()};
    gss_name_t name = GSS_C_NO_NAME;
    OM_uint32 major = gss_import_name(&minor, &nameBuffer, GSS_KRB5_NT_PRINCIPAL_NAME, &name);
    if (GSS_ERROR(major)) {
        RecordError("gss_import_name", major, minor, gss_mech_krb5);
        return SEC_E_TARGET_UNKNOWN;
    }
    gss_ctx_id_t ctx = GSS_C_NO_CONTEXT;
    gss_buffer_desc output = GSS_C_EMPTY_BUFFER;
    major = gss_init_sec_context(&minor, cred, &ctx, name, &g_spnegoOid, 0, GSS_C_INDEFINITE, GSS_C_NO_CHANNEL_BINDINGS,
                                 GSS_C_NO_BUFFER, nullptr, &output, nullptr, nullptr);
    OM_uint32 ignored = 0;
    gss_release_name(&ignored, &name);
    if (GSS_ERROR(major)) {
        RecordError("gss_init_sec_context", major, minor, &g_spnegoOid);
        gss_release_buffer(&ignored, &output);
        if (ctx != GSS_C_NO_CONTEXT)
            gss_delete_sec_context(&ignored, &ctx, GSS_C_NO_BUFFER);
        OM_uint32 routine = GSS_ROUTINE_ERROR(major);
        if (routine == GSS_S_BAD_NAME || routine == GSS_S_BAD_NAMETYPE)
            return SEC_E_TARGET_UNKNOWN;
        if (routine == GSS_S_NO_CRED || routine == GSS_S_CREDENTIALS_EXPIRED)
            return SEC_E_NO_CREDENTIALS;
        return SEC_E_NO_AUTHENTICATING_AUTHORITY;
    }
    const BYTE* pb = static_cast<const BYTE*>(output.value);
    token.assign(pb, pb + output.length);
    gss_release_buffer(&ignored, &output);
    std::lock_guard<std::mutex> lock(m_mutex);
    phContext->ullId = m_ullNextId++;
    m_contexts[phContext->ullId] = ctx;
    return (major & GSS_S_CONTINUE_NEEDED) ? SEC_I_CONTINUE_NEEDED : SEC_E_OK;
}

SECURITY_STATUS GssapiProvider::DeleteSecurityContext(CtxtHandle* phContext) {
    if (!phContext)
        return SEC_E_INVALID_HANDLE;
    gss_ctx_id_t ctx = GSS_C_NO_CONTEXT;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_contexts.find(phContext->ullId);
        if (it == m_contexts.end())
            return SEC_E_INVALID_HANDLE;
        ctx = static_cast<gss_ctx_id_t>(it->second);
        m_contexts.erase(it);
    }
    phContext->ullId = 0;
    OM_uint32 minor = 0;
    OM_uint32 major = gss_delete_sec_context(&minor, &ctx, GSS_C_NO_BUFFER);
    if (GSS_ERROR(major)) {
        RecordError("gss_delete_sec_context", major, minor, &g_spnegoOid);
        return SEC_E_INTERNAL_ERROR;
    }
    return SEC_E_OK;
}

SECURITY_STATUS GssapiProvider::FreeCredentialsHandle(CredHandle* phCredential) {
    if (!phCredential)
        return SEC_E_INVALID_HANDLE;
    gss_cred_id_t cred = GSS_C_NO_CREDENTIAL;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_credentials.find(phCredential->ullId);
        if (it == m_credentials.end())
            return SEC_E_INVALID_HANDLE;
        cred = static_cast<gss_cred_id_t>(it->second);
        m_credentials.erase(it);
    }
    phCredential->ullId = 0;
    OM_uint32 minor = 0;
    OM_uint32 major = gss_release_cred(&minor, &cred);
    if (GSS_ERROR(major)) {
        RecordError("gss_release_cred", major, minor, GSS_C_NO_OID);
        return SEC_E_INTERNAL_ERROR;
    }
    return SEC_E_OK;
}

std::wstring GssapiProvider::LastErrorText() {
    return t_wsLastError;
}

}  // namespace Platform::Sspi

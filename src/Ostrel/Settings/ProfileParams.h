// The logon parameters of the connector's service, as the profile-configuration component wrote
// them into the profile: 31 values read in one call, with the defaults filled in, the required
// ones checked and the stored password unprotected.
#pragma once

#include <string>

#include "Platform/Base/HResult.h"
#include "Platform/Mapi/MapiInterfaces.h"

namespace Ostrel::Mapi {

constexpr ULONG kProfileParamCount = 31;
// The tags in the order they are read; the first eleven are checked.
extern const ULONG kProfileParamTags[kProfileParamCount];

// The connector user id: when the provider's section has one, the persona values (0x6670001F to
// 0x6675001F) come from the profile's global section.
constexpr ULONG PR_OSTREL_USER_ID = PROP_TAG(PT_UNICODE, 0x6676);

// Reads the values from the provider's section of `pSupport`, taking any the section lacks from
// its service's section (PR_SERVICE_UID). Missing 0x6648000B reads as true, 0x6682000B as false,
// 0x66880003 and 0x66890003 as 0; other missing values stay PT_ERROR entries. *ppValues is one
// MAPI buffer of kProfileParamCount values, in the order of kProfileParamTags.
HRESULT GetProfileParamProps(IMAPISupport* pSupport, ULONG* pcValues, LPSPropValue* ppValues);

class ProfileParams {
public:
    ProfileParams() = default;
    ~ProfileParams();
    ProfileParams(const ProfileParams&) = delete;
    ProfileParams& operator=(const ProfileParams&) = delete;

    // The value with that tag, or null when it is missing.
    const SPropValue* Find(ULONG ulTag) const;

    ULONG m_cValues = 0;
    LPSPropValue m_pValues = nullptr;
    std::wstring m_wsPassword;  // unprotected when passwords are stored, else empty
    bool m_bFlag6644 = false;   // 0x6644000B, false when missing

private:
    friend HRESULT GetProfileParams(IMAPISupport* pSupport, ProfileParams& params);
    void Reset();
};

// Reads and checks the logon parameters: a required value that is missing fails the call with
// its error code (the stored password is required only when passwords are stored).
HRESULT GetProfileParams(IMAPISupport* pSupport, ProfileParams& params);

}  // namespace Ostrel::Mapi

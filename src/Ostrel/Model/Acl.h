// A folder's access-control list: the grants the folder requests send and the folder wrapper
// keeps in the store.
#pragma once

#include <string>
#include <vector>

#include "Platform/Base/WinTypes.h"

namespace Ostrel {

enum GranteeType : uint32_t {
    GT_USER_OR_GROUP = 0,
    GT_GUEST = 1,
    GT_PUBLIC = 2,
    GT_ALL_AUTHENTICATED = 3,
};

// Rights bits; each sends one letter of the `perm` attribute, in this order. 0x40 has none.
constexpr ULONG ACL_RIGHT_READ = 0x01;     // r
constexpr ULONG ACL_RIGHT_WRITE = 0x02;    // w
constexpr ULONG ACL_RIGHT_INSERT = 0x04;   // i
constexpr ULONG ACL_RIGHT_DELETE = 0x08;   // d
constexpr ULONG ACL_RIGHT_ADMIN = 0x10;    // a
constexpr ULONG ACL_RIGHT_ACTION = 0x20;   // x
constexpr ULONG ACL_RIGHT_PRIVATE = 0x80;  // p

struct AclGrant {
    std::wstring m_wsGranteeId;    // the grantee's server id (a GUID text for users and groups)
    std::wstring m_wsGranteeName;  // address or name
    std::wstring m_wsPassword;     // a guest's access password
    std::wstring m_wsDisplayName;  // sent instead of the name for users and groups when set
    ULONG m_ulRights = 0;
    BYTE m_bIsGroup = 0;  // for GT_USER_OR_GROUP: a group when non-zero
    GranteeType m_eGranteeType = GT_USER_OR_GROUP;
};

typedef std::vector<AclGrant> ACL;

}  // namespace Ostrel

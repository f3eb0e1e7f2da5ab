// MAPI types, property types, structures, flags and error codes with their Windows values.
// Strings of PT_UNICODE are wchar_t (32-bit here); PT_STRING8 strings are 8-bit text taken as UTF-8.
#pragma once

#include "Platform/Base/HResult.h"
#include "Platform/Base/WinTypes.h"

typedef LONG SCODE;
typedef ULONG FLAGS;
typedef GUID* LPGUID;
typedef const GUID* LPCGUID;
typedef IID* LPIID;
typedef const IID* LPCIID;
typedef FILETIME* LPFILETIME;
typedef wchar_t* LPTSTR;  // MAPI_UNICODE builds: text is wide

// ---- Property tags -------------------------------------------------------------------------
#define PROP_TYPE_MASK ((ULONG)0x0000FFFF)
#define PROP_TYPE(ulPropTag) (((ULONG)(ulPropTag)) & PROP_TYPE_MASK)
#define PROP_ID(ulPropTag) (((ULONG)(ulPropTag)) >> 16)
#define PROP_TAG(ulPropType, ulPropID) ((((ULONG)(ulPropID)) << 16) | ((ULONG)(ulPropType)))
#define CHANGE_PROP_TYPE(ulPropTag, ulPropType) (((ULONG)0xFFFF0000 & (ULONG)(ulPropTag)) | (ULONG)(ulPropType))
#define PROP_ID_NULL 0
#define PROP_ID_INVALID 0xFFFF
#define PROPS_ID_MIN 0x8000  // first id of named properties
#define PROPS_ID_MAX 0xFFFE

#define MV_FLAG 0x1000
#define MV_INSTANCE 0x2000
#define MVI_FLAG (MV_FLAG | MV_INSTANCE)
#define MVI_PROP(tag) ((tag) | MVI_FLAG)

#define PT_UNSPECIFIED ((ULONG)0)
#define PT_NULL ((ULONG)1)
#define PT_I2 ((ULONG)2)
#define PT_SHORT PT_I2
#define PT_LONG ((ULONG)3)
#define PT_I4 PT_LONG
#define PT_R4 ((ULONG)4)
#define PT_FLOAT PT_R4
#define PT_DOUBLE ((ULONG)5)
#define PT_R8 PT_DOUBLE
#define PT_CURRENCY ((ULONG)6)
#define PT_APPTIME ((ULONG)7)
#define PT_ERROR ((ULONG)10)
#define PT_BOOLEAN ((ULONG)11)
#define PT_OBJECT ((ULONG)13)
#define PT_I8 ((ULONG)20)
#define PT_LONGLONG PT_I8
#define PT_STRING8 ((ULONG)30)
#define PT_UNICODE ((ULONG)31)
#define PT_TSTRING PT_UNICODE
#define PT_SYSTIME ((ULONG)64)
#define PT_CLSID ((ULONG)72)
#define PT_BINARY ((ULONG)258)

#define PT_MV_I2 (MV_FLAG | PT_I2)
#define PT_MV_SHORT PT_MV_I2
#define PT_MV_LONG (MV_FLAG | PT_LONG)
#define PT_MV_I4 PT_MV_LONG
#define PT_MV_R4 (MV_FLAG | PT_R4)
#define PT_MV_FLOAT PT_MV_R4
#define PT_MV_DOUBLE (MV_FLAG | PT_DOUBLE)
#define PT_MV_R8 PT_MV_DOUBLE
#define PT_MV_CURRENCY (MV_FLAG | PT_CURRENCY)
#define PT_MV_APPTIME (MV_FLAG | PT_APPTIME)
#define PT_MV_SYSTIME (MV_FLAG | PT_SYSTIME)
#define PT_MV_STRING8 (MV_FLAG | PT_STRING8)
#define PT_MV_BINARY (MV_FLAG | PT_BINARY)
#define PT_MV_UNICODE (MV_FLAG | PT_UNICODE)
#define PT_MV_TSTRING PT_MV_UNICODE
#define PT_MV_CLSID (MV_FLAG | PT_CLSID)
#define PT_MV_I8 (MV_FLAG | PT_I8)
#define PT_MV_LONGLONG PT_MV_I8

#define PR_NULL PROP_TAG(PT_NULL, PROP_ID_NULL)

// ---- Values --------------------------------------------------------------------------------
union CURRENCY {
    struct {
        ULONG Lo;
        LONG Hi;
    };
    LONGLONG int64;
};

struct SBinary {
    ULONG cb;
    LPBYTE lpb;
};
typedef SBinary* LPSBinary;

struct SShortArray {
    ULONG cValues;
    SHORT* lpi;
};
struct SLongArray {
    ULONG cValues;
    LONG* lpl;
};
struct SRealArray {
    ULONG cValues;
    float* lpflt;
};
struct SDoubleArray {
    ULONG cValues;
    double* lpdbl;
};
struct SCurrencyArray {
    ULONG cValues;
    CURRENCY* lpcur;
};
struct SAppTimeArray {
    ULONG cValues;
    double* lpat;
};
struct SDateTimeArray {
    ULONG cValues;
    FILETIME* lpft;
};
struct SBinaryArray {
    ULONG cValues;
    SBinary* lpbin;
};
struct SLPSTRArray {
    ULONG cValues;
    LPSTR* lppszA;
};
struct SWStringArray {
    ULONG cValues;
    LPWSTR* lppszW;
};
struct SGuidArray {
    ULONG cValues;
    GUID* lpguid;
};
struct SLargeIntegerArray {
    ULONG cValues;
    LARGE_INTEGER* lpli;
};

typedef SBinaryArray ENTRYLIST;
typedef SBinaryArray* LPENTRYLIST;

union _PV {
    SHORT i;
    LONG l;
    ULONG ul;
    float flt;
    double dbl;
    unsigned short b;
    CURRENCY cur;
    double at;
    FILETIME ft;
    LPSTR lpszA;
    SBinary bin;
    LPWSTR lpszW;
    LPGUID lpguid;
    LARGE_INTEGER li;
    SShortArray MVi;
    SLongArray MVl;
    SRealArray MVflt;
    SDoubleArray MVdbl;
    SCurrencyArray MVcur;
    SAppTimeArray MVat;
    SDateTimeArray MVft;
    SBinaryArray MVbin;
    SLPSTRArray MVszA;
    SWStringArray MVszW;
    SGuidArray MVguid;
    SLargeIntegerArray MVli;
    SCODE err;
    LONG x;
};

struct SPropValue {
    ULONG ulPropTag;
    ULONG dwAlignPad;
    union _PV Value;
};
typedef SPropValue* LPSPropValue;

struct SPropTagArray {
    ULONG cValues;
    ULONG aulPropTag[1];
};
typedef SPropTagArray* LPSPropTagArray;

#define CbNewSPropTagArray(_ctag) (offsetof(SPropTagArray, aulPropTag) + (_ctag) * sizeof(ULONG))
#define CbSPropTagArray(_lparray) (offsetof(SPropTagArray, aulPropTag) + (UINT)((_lparray)->cValues) * sizeof(ULONG))
#define SizedSPropTagArray(_ctag, _name) \
    struct _SPropTagArray_##_name {      \
        ULONG cValues;                   \
        ULONG aulPropTag[_ctag];         \
    } _name

struct SPropProblem {
    ULONG ulIndex;
    ULONG ulPropTag;
    SCODE scode;
};
struct SPropProblemArray {
    ULONG cProblem;
    SPropProblem aProblem[1];
};
typedef SPropProblemArray* LPSPropProblemArray;
#define CbNewSPropProblemArray(_cprob) (offsetof(SPropProblemArray, aProblem) + (_cprob) * sizeof(SPropProblem))

struct SRow {
    ULONG ulAdrEntryPad;
    ULONG cValues;
    LPSPropValue lpProps;
};
typedef SRow* LPSRow;

struct SRowSet {
    ULONG cRows;
    SRow aRow[1];
};
typedef SRowSet* LPSRowSet;
#define CbNewSRowSet(_crow) (offsetof(SRowSet, aRow) + (_crow) * sizeof(SRow))

struct ADRENTRY {
    ULONG ulReserved1;
    ULONG cValues;
    LPSPropValue rgPropVals;
};
typedef ADRENTRY* LPADRENTRY;
struct ADRLIST {
    ULONG cEntries;
    ADRENTRY aEntries[1];
};
typedef ADRLIST* LPADRLIST;
#define CbNewADRLIST(_centries) (offsetof(ADRLIST, aEntries) + (_centries) * sizeof(ADRENTRY))

// ---- Identifiers ---------------------------------------------------------------------------
struct MAPIUID {
    BYTE ab[16];
};
typedef MAPIUID* LPMAPIUID;

struct ENTRYID {
    BYTE abFlags[4];
    BYTE ab[1];
};
typedef ENTRYID* LPENTRYID;
#define CbNewENTRYID(_cb) (offsetof(ENTRYID, ab) + (_cb))

#define MNID_ID 0
#define MNID_STRING 1
struct MAPINAMEID {
    LPGUID lpguid;
    ULONG ulKind;
    union {
        LONG lID;
        LPWSTR lpwstrName;
    } Kind;
};
typedef MAPINAMEID* LPMAPINAMEID;

// ---- Restrictions and sort orders ----------------------------------------------------------
#define RES_AND ((ULONG)0x00000000)
#define RES_OR ((ULONG)0x00000001)
#define RES_NOT ((ULONG)0x00000002)
#define RES_CONTENT ((ULONG)0x00000003)
#define RES_PROPERTY ((ULONG)0x00000004)
#define RES_COMPAREPROPS ((ULONG)0x00000005)
#define RES_BITMASK ((ULONG)0x00000006)
#define RES_SIZE ((ULONG)0x00000007)
#define RES_EXIST ((ULONG)0x00000008)
#define RES_SUBRESTRICTION ((ULONG)0x00000009)
#define RES_COMMENT ((ULONG)0x0000000A)
#define RES_COUNT ((ULONG)0x0000000B)

#define RELOP_LT ((ULONG)0)
#define RELOP_LE ((ULONG)1)
#define RELOP_GT ((ULONG)2)
#define RELOP_GE ((ULONG)3)
#define RELOP_EQ ((ULONG)4)
#define RELOP_NE ((ULONG)5)
#define RELOP_RE ((ULONG)6)

#define FL_FULLSTRING ((ULONG)0x00000000)
#define FL_SUBSTRING ((ULONG)0x00000001)
#define FL_PREFIX ((ULONG)0x00000002)
#define FL_IGNORECASE ((ULONG)0x00010000)
#define FL_IGNORENONSPACE ((ULONG)0x00020000)
#define FL_LOOSE ((ULONG)0x00040000)

#define BMR_EQZ ((ULONG)0)
#define BMR_NEZ ((ULONG)1)

struct SRestriction;
typedef SRestriction* LPSRestriction;

struct SAndRestriction {
    ULONG cRes;
    LPSRestriction lpRes;
};
struct SOrRestriction {
    ULONG cRes;
    LPSRestriction lpRes;
};
struct SNotRestriction {
    ULONG ulReserved;
    LPSRestriction lpRes;
};
struct SContentRestriction {
    ULONG ulFuzzyLevel;
    ULONG ulPropTag;
    LPSPropValue lpProp;
};
struct SPropertyRestriction {
    ULONG relop;
    ULONG ulPropTag;
    LPSPropValue lpProp;
};
struct SComparePropsRestriction {
    ULONG relop;
    ULONG ulPropTag1;
    ULONG ulPropTag2;
};
struct SBitMaskRestriction {
    ULONG relBMR;
    ULONG ulPropTag;
    ULONG ulMask;
};
struct SSizeRestriction {
    ULONG relop;
    ULONG ulPropTag;
    ULONG cb;
};
struct SExistRestriction {
    ULONG ulReserved1;
    ULONG ulPropTag;
    ULONG ulReserved2;
};
struct SSubRestriction {
    ULONG ulSubObject;
    LPSRestriction lpRes;
};
struct SCommentRestriction {
    ULONG cValues;
    LPSRestriction lpRes;
    LPSPropValue lpProp;
};
struct SCountRestriction {
    ULONG ulCount;
    LPSRestriction lpRes;
};

struct SRestriction {
    ULONG rt;
    union {
        SComparePropsRestriction resCompareProps;
        SAndRestriction resAnd;
        SOrRestriction resOr;
        SNotRestriction resNot;
        SContentRestriction resContent;
        SPropertyRestriction resProperty;
        SBitMaskRestriction resBitMask;
        SSizeRestriction resSize;
        SExistRestriction resExist;
        SSubRestriction resSub;
        SCommentRestriction resComment;
        SCountRestriction resCount;
    } res;
};

#define TABLE_SORT_ASCEND ((ULONG)0x00000000)
#define TABLE_SORT_DESCEND ((ULONG)0x00000001)
#define TABLE_SORT_COMBINE ((ULONG)0x00000002)

struct SSortOrder {
    ULONG ulPropTag;
    ULONG ulOrder;
};
typedef SSortOrder* LPSSortOrder;
struct SSortOrderSet {
    ULONG cSorts;
    ULONG cCategories;
    ULONG cExpanded;
    SSortOrder aSort[1];
};
typedef SSortOrderSet* LPSSortOrderSet;
#define CbNewSSortOrderSet(_csort) (offsetof(SSortOrderSet, aSort) + (_csort) * sizeof(SSortOrder))
#define SizedSSortOrderSet(_csort, _name) \
    struct _SSortOrderSet_##_name {       \
        ULONG cSorts;                     \
        ULONG cCategories;                \
        ULONG cExpanded;                  \
        SSortOrder aSort[_csort];         \
    } _name

// ---- Errors --------------------------------------------------------------------------------
#define MAKE_MAPI_E(err) (MAKE_HRESULT(1, FACILITY_ITF, (err)))
#define MAKE_MAPI_S(warn) (MAKE_HRESULT(0, FACILITY_ITF, (warn)))

#define SUCCESS_SUCCESS 0L
#define MAPI_E_CALL_FAILED E_FAIL
#define MAPI_E_NOT_ENOUGH_MEMORY E_OUTOFMEMORY
#define MAPI_E_INVALID_PARAMETER E_INVALIDARG
#define MAPI_E_INTERFACE_NOT_SUPPORTED E_NOINTERFACE
#define MAPI_E_NO_ACCESS E_ACCESSDENIED

#define MAPI_E_NO_SUPPORT MAKE_MAPI_E(0x102)
#define MAPI_E_BAD_CHARWIDTH MAKE_MAPI_E(0x103)
#define MAPI_E_STRING_TOO_LONG MAKE_MAPI_E(0x105)
#define MAPI_E_UNKNOWN_FLAGS MAKE_MAPI_E(0x106)
#define MAPI_E_INVALID_ENTRYID MAKE_MAPI_E(0x107)
#define MAPI_E_INVALID_OBJECT MAKE_MAPI_E(0x108)
#define MAPI_E_OBJECT_CHANGED MAKE_MAPI_E(0x109)
#define MAPI_E_OBJECT_DELETED MAKE_MAPI_E(0x10A)
#define MAPI_E_BUSY MAKE_MAPI_E(0x10B)
#define MAPI_E_NOT_ENOUGH_DISK MAKE_MAPI_E(0x10D)
#define MAPI_E_NOT_ENOUGH_RESOURCES MAKE_MAPI_E(0x10E)
#define MAPI_E_NOT_FOUND MAKE_MAPI_E(0x10F)
#define MAPI_E_VERSION MAKE_MAPI_E(0x110)
#define MAPI_E_LOGON_FAILED MAKE_MAPI_E(0x111)
#define MAPI_E_SESSION_LIMIT MAKE_MAPI_E(0x112)
#define MAPI_E_USER_CANCEL MAKE_MAPI_E(0x113)
#define MAPI_E_UNABLE_TO_ABORT MAKE_MAPI_E(0x114)
#define MAPI_E_NETWORK_ERROR MAKE_MAPI_E(0x115)
#define MAPI_E_DISK_ERROR MAKE_MAPI_E(0x116)
#define MAPI_E_TOO_COMPLEX MAKE_MAPI_E(0x117)
#define MAPI_E_BAD_COLUMN MAKE_MAPI_E(0x118)
#define MAPI_E_EXTENDED_ERROR MAKE_MAPI_E(0x119)
#define MAPI_E_COMPUTED MAKE_MAPI_E(0x11A)
#define MAPI_E_CORRUPT_DATA MAKE_MAPI_E(0x11B)
#define MAPI_E_UNCONFIGURED MAKE_MAPI_E(0x11C)
#define MAPI_E_FAILONEPROVIDER MAKE_MAPI_E(0x11D)
#define MAPI_E_UNKNOWN_CPID MAKE_MAPI_E(0x11E)
#define MAPI_E_UNKNOWN_LCID MAKE_MAPI_E(0x11F)
#define MAPI_E_CORRUPT_STORE MAKE_MAPI_E(0x600)
#define MAPI_E_NOT_IN_QUEUE MAKE_MAPI_E(0x601)
#define MAPI_E_NO_SUPPRESS MAKE_MAPI_E(0x602)
#define MAPI_E_COLLISION MAKE_MAPI_E(0x604)
#define MAPI_E_NOT_INITIALIZED MAKE_MAPI_E(0x605)
#define MAPI_E_NON_STANDARD MAKE_MAPI_E(0x606)
#define MAPI_E_NO_RECIPIENTS MAKE_MAPI_E(0x607)
#define MAPI_E_SUBMITTED MAKE_MAPI_E(0x608)
#define MAPI_E_HAS_FOLDERS MAKE_MAPI_E(0x609)
#define MAPI_E_HAS_MESSAGES MAKE_MAPI_E(0x60A)
#define MAPI_E_FOLDER_CYCLE MAKE_MAPI_E(0x60B)
#define MAPI_E_AMBIGUOUS_RECIP MAKE_MAPI_E(0x700)
#define MAPI_E_END_OF_SESSION MAKE_MAPI_E(0x200)
#define MAPI_E_UNKNOWN_ENTRYID MAKE_MAPI_E(0x201)
#define MAPI_E_MISSING_REQUIRED_COLUMN MAKE_MAPI_E(0x202)
#define MAPI_E_BAD_VALUE MAKE_MAPI_E(0x301)
#define MAPI_E_INVALID_TYPE MAKE_MAPI_E(0x302)
#define MAPI_E_TYPE_NO_SUPPORT MAKE_MAPI_E(0x303)
#define MAPI_E_UNEXPECTED_TYPE MAKE_MAPI_E(0x304)
#define MAPI_E_TOO_BIG MAKE_MAPI_E(0x305)
#define MAPI_E_DECLINE_COPY MAKE_MAPI_E(0x306)
#define MAPI_E_UNEXPECTED_ID MAKE_MAPI_E(0x307)
#define MAPI_E_UNABLE_TO_COMPLETE MAKE_MAPI_E(0x400)
#define MAPI_E_TIMEOUT MAKE_MAPI_E(0x401)
#define MAPI_E_TABLE_EMPTY MAKE_MAPI_E(0x402)
#define MAPI_E_TABLE_TOO_BIG MAKE_MAPI_E(0x403)
#define MAPI_E_INVALID_BOOKMARK MAKE_MAPI_E(0x405)
#define MAPI_E_WAIT MAKE_MAPI_E(0x500)
#define MAPI_E_CANCEL MAKE_MAPI_E(0x501)
#define MAPI_E_NOT_ME MAKE_MAPI_E(0x502)
#define MAPI_E_NAMED_PROP_QUOTA_EXCEEDED MAKE_MAPI_E(0x900)

#define MAPI_W_NO_SERVICE MAKE_MAPI_S(0x203)
#define MAPI_W_ERRORS_RETURNED MAKE_MAPI_S(0x380)
#define MAPI_W_POSITION_CHANGED MAKE_MAPI_S(0x481)
#define MAPI_W_APPROX_COUNT MAKE_MAPI_S(0x482)
#define MAPI_W_CANCEL_MESSAGE MAKE_MAPI_S(0x580)
#define MAPI_W_PARTIAL_COMPLETION MAKE_MAPI_S(0x680)

// ---- Flags ---------------------------------------------------------------------------------
#define MAPI_MODIFY ((ULONG)0x00000001)
#define MAPI_ACCESS_MODIFY ((ULONG)0x00000001)
#define MAPI_ACCESS_READ ((ULONG)0x00000002)
#define MAPI_ACCESS_DELETE ((ULONG)0x00000004)
#define MAPI_ACCESS_CREATE_HIERARCHY ((ULONG)0x00000008)
#define MAPI_ACCESS_CREATE_CONTENTS ((ULONG)0x00000010)
#define MAPI_ACCESS_CREATE_ASSOCIATED ((ULONG)0x00000020)
#define MAPI_DEFERRED_ERRORS ((ULONG)0x00000008)
#define MAPI_BEST_ACCESS ((ULONG)0x00000010)
#define MAPI_CREATE ((ULONG)0x00000002)
#define MAPI_UNICODE ((ULONG)0x80000000)
#define MAPI_ASSOCIATED ((ULONG)0x00000040)
#define MAPI_NO_STRINGS ((ULONG)0x00000001)
#define MAPI_NO_IDS ((ULONG)0x00000002)
#define MAPI_MOVE ((ULONG)0x00000001)
#define MAPI_NOREPLACE ((ULONG)0x00000002)
#define MAPI_DECLINE_OK ((ULONG)0x00000004)
#define MAPI_DIALOG ((ULONG)0x00000008)
#define MAPI_NO_MAIL ((ULONG)0x00008000)
#define MAPI_EXTENDED ((ULONG)0x00000020)
#define MAPI_LOGON_UI ((ULONG)0x00000001)
#define MAPI_NEW_SESSION ((ULONG)0x00000002)
#define MAPI_EXPLICIT_PROFILE ((ULONG)0x00000010)
#define MAPI_NO_CACHE ((ULONG)0x00000200)
#define MAPI_CACHE_ONLY ((ULONG)0x00004000)
#define MAPI_FORCE_ACCESS ((ULONG)0x00080000)
#define MDB_NO_DIALOG ((ULONG)0x00000001)
#define MDB_WRITE ((ULONG)0x00000004)
#define MDB_TEMPORARY ((ULONG)0x00000020)
#define MDB_NO_MAIL ((ULONG)0x00000080)
#define SHOW_SOFT_DELETES ((ULONG)0x00000002)

#define KEEP_OPEN_READONLY ((ULONG)0x00000001)
#define KEEP_OPEN_READWRITE ((ULONG)0x00000002)
#define FORCE_SAVE ((ULONG)0x00000004)
// Saves that the host's item-processing pipeline (rules, junk filter) is to see.
#define ITEMPROC_FORCE ((ULONG)0x00000800)
#define NON_EMS_XP_SAVE ((ULONG)0x00001000)

#define OPEN_IF_EXISTS ((ULONG)0x00000001)
#define FOLDER_ROOT ((ULONG)0x00000000)
#define FOLDER_GENERIC ((ULONG)0x00000001)
#define FOLDER_SEARCH ((ULONG)0x00000002)
#define FOLDER_MOVE ((ULONG)0x00000001)
#define FOLDER_DIALOG ((ULONG)0x00000002)
#define COPY_SUBFOLDERS ((ULONG)0x00000010)
#define MESSAGE_MOVE ((ULONG)0x00000001)
#define MESSAGE_DIALOG ((ULONG)0x00000002)
#define DEL_MESSAGES ((ULONG)0x00000001)
#define DEL_FOLDERS ((ULONG)0x00000004)
#define DEL_ASSOCIATED ((ULONG)0x00000008)
#define DELETE_HARD_DELETE ((ULONG)0x00000010)

#define CLEAR_READ_FLAG ((ULONG)0x00000004)
#define SUPPRESS_RECEIPT ((ULONG)0x00000001)
#define GENERATE_RECEIPT_ONLY ((ULONG)0x00000010)
#define CLEAR_RN_PENDING ((ULONG)0x00000020)
#define CLEAR_NRN_PENDING ((ULONG)0x00000040)

#define FORCE_SUBMIT ((ULONG)0x00000001)

#define MODRECIP_ADD ((ULONG)0x00000002)
#define MODRECIP_MODIFY ((ULONG)0x00000004)
#define MODRECIP_REMOVE ((ULONG)0x00000008)

#define ATTACH_DIALOG ((ULONG)0x00000001)

// IAddrBook::CreateOneOff, and the flag word inside a one-off entry id
#define MAPI_SEND_NO_RICH_INFO ((ULONG)0x00010000)
#define MAPI_ONE_OFF_UNICODE ((ULONG)0x00008000)
#define MAPI_ONE_OFF_NO_RICH_INFO ((ULONG)0x00000001)

// Search criteria
#define STOP_SEARCH ((ULONG)0x00000001)
#define RESTART_SEARCH ((ULONG)0x00000002)
#define RECURSIVE_SEARCH ((ULONG)0x00000004)
#define SHALLOW_SEARCH ((ULONG)0x00000008)
#define FOREGROUND_SEARCH ((ULONG)0x00000010)
#define BACKGROUND_SEARCH ((ULONG)0x00000020)
#define SEARCH_RUNNING ((ULONG)0x00000001)
#define SEARCH_REBUILD ((ULONG)0x00000002)
#define SEARCH_RECURSIVE ((ULONG)0x00000004)
#define SEARCH_FOREGROUND ((ULONG)0x00000008)

// Object types (PR_OBJECT_TYPE)
#define MAPI_STORE ((ULONG)0x00000001)
#define MAPI_ADDRBOOK ((ULONG)0x00000002)
#define MAPI_FOLDER ((ULONG)0x00000003)
#define MAPI_ABCONT ((ULONG)0x00000004)
#define MAPI_MESSAGE ((ULONG)0x00000005)
#define MAPI_MAILUSER ((ULONG)0x00000006)
#define MAPI_ATTACH ((ULONG)0x00000007)
#define MAPI_DISTLIST ((ULONG)0x00000008)
#define MAPI_PROFSECT ((ULONG)0x00000009)
#define MAPI_STATUS ((ULONG)0x0000000A)
#define MAPI_SESSION ((ULONG)0x0000000B)
#define MAPI_FORMINFO ((ULONG)0x0000000C)

// Display types
#define DT_MAILUSER ((ULONG)0x00000000)
#define DT_DISTLIST ((ULONG)0x00000001)
#define DT_FOLDER ((ULONG)0x01000000)

// Recipient types
#define MAPI_ORIG 0
#define MAPI_TO 1
#define MAPI_CC 2
#define MAPI_BCC 3
#define MAPI_P1 0x10000000
#define MAPI_SUBMITTED 0x80000000

// PR_RECIPIENT_FLAGS of meeting attendees
constexpr ULONG recipSendable = 0x00000001;
constexpr ULONG recipOrganizer = 0x00000002;
constexpr ULONG recipExceptionalResponse = 0x00000010;
constexpr ULONG recipExceptionalDeleted = 0x00000020;
constexpr ULONG recipOriginal = 0x00000100;

// PR_ATTACHMENT_FLAGS
constexpr ULONG afException = 0x00000002;

// PR_MESSAGE_FLAGS
#define MSGFLAG_READ ((ULONG)0x00000001)
#define MSGFLAG_UNMODIFIED ((ULONG)0x00000002)
#define MSGFLAG_SUBMIT ((ULONG)0x00000004)
#define MSGFLAG_UNSENT ((ULONG)0x00000008)
#define MSGFLAG_HASATTACH ((ULONG)0x00000010)
#define MSGFLAG_FROMME ((ULONG)0x00000020)
#define MSGFLAG_ASSOCIATED ((ULONG)0x00000040)
#define MSGFLAG_RESEND ((ULONG)0x00000080)
#define MSGFLAG_RN_PENDING ((ULONG)0x00000100)
#define MSGFLAG_NRN_PENDING ((ULONG)0x00000200)

// PR_ATTACH_METHOD
#define NO_ATTACHMENT ((ULONG)0x00000000)
#define ATTACH_BY_VALUE ((ULONG)0x00000001)
#define ATTACH_BY_REFERENCE ((ULONG)0x00000002)
#define ATTACH_BY_REF_RESOLVE ((ULONG)0x00000003)
#define ATTACH_BY_REF_ONLY ((ULONG)0x00000004)
#define ATTACH_EMBEDDED_MSG ((ULONG)0x00000005)
#define ATTACH_OLE ((ULONG)0x00000006)

// PR_STORE_SUPPORT_MASK
#define STORE_ENTRYID_UNIQUE ((ULONG)0x00000001)
#define STORE_READONLY ((ULONG)0x00000002)
#define STORE_SEARCH_OK ((ULONG)0x00000004)
#define STORE_MODIFY_OK ((ULONG)0x00000008)
#define STORE_CREATE_OK ((ULONG)0x00000010)
#define STORE_ATTACH_OK ((ULONG)0x00000020)
#define STORE_OLE_OK ((ULONG)0x00000040)
#define STORE_SUBMIT_OK ((ULONG)0x00000080)
#define STORE_NOTIFY_OK ((ULONG)0x00000100)
#define STORE_MV_PROPS_OK ((ULONG)0x00000200)
#define STORE_CATEGORIZE_OK ((ULONG)0x00000400)
#define STORE_RTF_OK ((ULONG)0x00000800)
#define STORE_RESTRICTION_OK ((ULONG)0x00001000)
#define STORE_SORT_OK ((ULONG)0x00002000)
#define STORE_PUBLIC_FOLDERS ((ULONG)0x00004000)
#define STORE_UNCOMPRESSED_RTF ((ULONG)0x00008000)
#define STORE_HTML_OK ((ULONG)0x00010000)
#define STORE_ANSI_OK ((ULONG)0x00020000)
#define STORE_UNICODE_OK ((ULONG)0x00040000)
#define STORE_LOCALSTORE ((ULONG)0x00080000)
#define STORE_ITEMPROC ((ULONG)0x00200000)
#define STORE_PUSHER_OK ((ULONG)0x00800000)
#define STORE_HAS_SEARCHES ((ULONG)0x01000000)

// PR_VALID_FOLDER_MASK
#define FOLDER_IPM_SUBTREE_VALID ((ULONG)0x00000001)
#define FOLDER_IPM_INBOX_VALID ((ULONG)0x00000002)
#define FOLDER_IPM_OUTBOX_VALID ((ULONG)0x00000004)
#define FOLDER_IPM_WASTEBASKET_VALID ((ULONG)0x00000008)
#define FOLDER_IPM_SENTMAIL_VALID ((ULONG)0x00000010)
#define FOLDER_VIEWS_VALID ((ULONG)0x00000020)
#define FOLDER_COMMON_VIEWS_VALID ((ULONG)0x00000040)
#define FOLDER_FINDER_VALID ((ULONG)0x00000080)

// PR_RESOURCE_TYPE
#define MAPI_STORE_PROVIDER ((ULONG)33)
#define MAPI_AB ((ULONG)34)
#define MAPI_AB_PROVIDER ((ULONG)35)
#define MAPI_TRANSPORT_PROVIDER ((ULONG)36)
#define MAPI_SPOOLER ((ULONG)37)
#define MAPI_PROFILE_PROVIDER ((ULONG)38)
#define MAPI_SUBSYSTEM ((ULONG)39)
#define MAPI_HOOK_PROVIDER ((ULONG)40)

// PR_RESOURCE_FLAGS of a store
#define STATUS_DEFAULT_STORE ((ULONG)0x00000002)
#define STATUS_PRIMARY_STORE ((ULONG)0x00001000)
#define STATUS_SECONDARY_STORE ((ULONG)0x00002000)

// ---- Tables --------------------------------------------------------------------------------
typedef ULONG BOOKMARK;
#define BOOKMARK_BEGINNING ((BOOKMARK)0)
#define BOOKMARK_CURRENT ((BOOKMARK)1)
#define BOOKMARK_END ((BOOKMARK)2)

#define TBL_ALL_COLUMNS ((ULONG)0x00000001)
#define TBL_NOADVANCE ((ULONG)0x00000001)
#define TBL_ASYNC ((ULONG)0x00000001)
#define TBL_BATCH ((ULONG)0x00000002)
#define DIR_BACKWARD ((ULONG)0x00000001)
#define CONVENIENT_DEPTH ((ULONG)0x00000001)

#define TBLSTAT_COMPLETE ((ULONG)0)
#define TBLTYPE_SNAPSHOT ((ULONG)0)
#define TBLTYPE_KEYSET ((ULONG)1)
#define TBLTYPE_DYNAMIC ((ULONG)2)

#define TBL_LEAF_ROW ((ULONG)1)

// ---- Notifications -------------------------------------------------------------------------
#define fnevCriticalError ((ULONG)0x00000001)
#define fnevNewMail ((ULONG)0x00000002)
#define fnevObjectCreated ((ULONG)0x00000004)
#define fnevObjectDeleted ((ULONG)0x00000008)
#define fnevObjectModified ((ULONG)0x00000010)
#define fnevObjectMoved ((ULONG)0x00000020)
#define fnevObjectCopied ((ULONG)0x00000040)
#define fnevSearchComplete ((ULONG)0x00000080)
#define fnevTableModified ((ULONG)0x00000100)

struct NEWMAIL_NOTIFICATION {
    ULONG cbEntryID;
    LPENTRYID lpEntryID;
    ULONG cbParentID;
    LPENTRYID lpParentID;
    ULONG ulFlags;
    LPTSTR lpszMessageClass;
    ULONG ulMessageFlags;
};
struct OBJECT_NOTIFICATION {
    ULONG cbEntryID;
    LPENTRYID lpEntryID;
    ULONG ulObjType;
    ULONG cbParentID;
    LPENTRYID lpParentID;
    ULONG cbOldID;
    LPENTRYID lpOldID;
    ULONG cbOldParentID;
    LPENTRYID lpOldParentID;
    LPSPropTagArray lpPropTagArray;
};
struct NOTIFICATION {
    ULONG ulEventType;
    ULONG ulAlignPad;
    union {
        NEWMAIL_NOTIFICATION newmail;
        OBJECT_NOTIFICATION obj;
    } info;
};
typedef NOTIFICATION* LPNOTIFICATION;

// ---- Last error ----------------------------------------------------------------------------
struct MAPIERROR {
    ULONG ulVersion;
    LPTSTR lpszError;
    LPTSTR lpszComponent;
    ULONG ulLowLevelError;
    ULONG ulContext;
};
typedef MAPIERROR* LPMAPIERROR;
#define MAPI_ERROR_VERSION 0

// ---- Allocators ----------------------------------------------------------------------------
typedef SCODE (*LPALLOCATEBUFFER)(ULONG cbSize, LPVOID* lppBuffer);
typedef SCODE (*LPALLOCATEMORE)(ULONG cbSize, LPVOID lpObject, LPVOID* lppBuffer);
typedef ULONG (*LPFREEBUFFER)(LPVOID lpBuffer);

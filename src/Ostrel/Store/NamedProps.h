// The connector's named properties: a fixed table of 221 numeric names and 10 string names whose
// property ids a store assigns, looked up once per store and shared by every object of it.
#pragma once

#include <map>
#include <mutex>

#include "Ostrel/Store/EntryId.h"
#include "Platform/Mapi/Mapi.h"

namespace Ostrel::Mapi {

class NamedProps {
public:
    // Index into the table. The enumerators name the property set and the numeric id
    // (CONN: the connector's own set; the standard sets by their short names); a second entry of
    // the same name carries the suffix _2. The connector's bookkeeping properties also have
    // names that say what they hold.
    enum PropIdx : ULONG {
        // 0-89: the connector's set.
        CONN_8000,
        CONN_8001,
        CONN_8002,
        CONN_8003,
        CONN_8004,
        CONN_8005,
        CONN_8006,
        CONN_8019,
        CONN_8007,
        CONN_8008,
        CONN_8009,
        CONN_8010,
        CONN_8011,
        CONN_8012,
        CONN_8017,
        CONN_8018,
        CONN_8100,
        CONN_8101,
        CONN_8102,
        CONN_8103,
        CONN_8110,
        CONN_8111,
        CONN_8200,
        CONN_8201,
        CONN_8300,
        CONN_8400,
        CONN_8401,
        CONN_8402,
        CONN_8403,
        CONN_8404,
        CONN_8150,
        CONN_8151,
        CONN_8152,
        CONN_8153,
        CONN_8500,
        CONN_8501,
        CONN_8502,
        CONN_8541,
        CONN_8507,
        CONN_8520,
        CONN_8521,
        CONN_8600,
        CONN_8601,
        CONN_8602,
        CONN_8603,
        CONN_8604,
        CONN_8605,
        CONN_8650,
        CONN_8651,
        CONN_8652,
        CONN_8653,
        CONN_8654,
        CONN_8655,
        CONN_8656,
        CONN_8700,
        CONN_8701,
        CONN_8710,
        CONN_8711,
        CONN_8702,
        CONN_8703,
        CONN_8704,
        CONN_8705,
        CONN_8712,
        CONN_8713,
        CONN_8502_2,
        CONN_8505,
        CONN_8503,
        CONN_8504,
        CONN_8720,
        CONN_8013,
        CONN_8750,
        CONN_8014,
        CONN_8015,
        CONN_8721,
        CONN_8722,
        CONN_8723,
        CONN_8724,
        CONN_8725,
        CONN_8726,
        CONN_8727,
        CONN_8728,
        CONN_8729,
        CONN_872A,
        CONN_872B,
        CONN_872C,
        CONN_872D,
        CONN_872E,
        CONN_872F,
        CONN_8730,
        CONN_8731,
        // 90-130: PSETID_Address.
        ADDR_8083,
        ADDR_8085,
        ADDR_8082,
        ADDR_8080,
        ADDR_8084,
        ADDR_8093,
        ADDR_8095,
        ADDR_8092,
        ADDR_8090,
        ADDR_8094,
        ADDR_80A3,
        ADDR_80A5,
        ADDR_80A2,
        ADDR_80A0,
        ADDR_80A4,
        ADDR_8005,
        ADDR_8006,
        ADDR_8015,
        ADDR_802B,
        ADDR_8062,
        ADDR_8046,
        ADDR_8049,
        ADDR_8048,
        ADDR_8047,
        ADDR_8045,
        ADDR_801A,
        ADDR_801B,
        ADDR_801C,
        ADDR_8028,
        ADDR_8029,
        ADDR_8053,
        ADDR_8054,
        ADDR_8055,
        ADDR_804C,
        ADDR_804F,
        ADDR_8050,
        ADDR_8051,
        ADDR_8052,
        ADDR_8022,
        ADDR_80DE,
        ADDR_80DF,
        CONN_8657,  // 131
        COMMON_8530,
        COMMON_8554,
        COMMON_8552,
        COMMON_8520,
        COMMON_8540,  // 132-136
        TASK_8126,
        TASK_8116,
        TASK_811F,
        TASK_8101,
        TASK_8102,
        TASK_810F,
        TASK_811C,
        TASK_8105,
        TASK_8104,
        TASK_8111,
        TASK_8110,
        TASK_8116_2,
        TASK_8109,  // 137-149
        COMMON_8539,
        COMMON_8534,
        COMMON_8535,  // 150-152
        TASK_8107,    // 153
        APPT_8204,
        APPT_8205,
        APPT_8224,
        APPT_8217,
        APPT_8229,
        APPT_8218,
        APPT_8223,
        APPT_8216,
        APPT_8233,
        APPT_8234,
        APPT_8220,
        APPT_823B,
        APPT_823C,
        APPT_8215,  // 154-167
        COMMON_8503,
        COMMON_8501,
        COMMON_8510,  // 168-170
        APPT_822B,
        APPT_8201,
        APPT_8203,
        APPT_8207,
        APPT_8208,
        APPT_8213,
        APPT_8214,
        APPT_8238,  // 171-178
        MEETING_0005,
        MEETING_000A,  // 179-180
        APPT_8206,
        APPT_8231,
        APPT_8232,    // 181-183
        COMMON_8514,  // 184
        APPT_8228,
        APPT_825A,
        APPT_820D,
        APPT_820E,  // 185-188
        COMMON_8502,
        COMMON_8560,
        COMMON_8516,
        COMMON_8517,  // 189-192
        APPT_825E,
        APPT_825F,  // 193-194
        MEETING_0023,
        MEETING_0003,  // 195-196
        COMMON_8578,
        COMMON_8580,
        COMMON_8581,  // 197-199
        LOG_8F03,     // 200
        COMMON_8506,  // 201
        CONN_8658,    // 202
        MEETING_0001,
        MEETING_001A,  // 203-204
        APPT_8235,
        APPT_8236,
        APPT_820F,
        APPT_8210,
        APPT_8212,
        APPT_8211,  // 205-210
        CONN_8659,
        CONN_8660,
        CONN_8016,
        CONN_8661,
        CONN_8662,  // 211-215
        NOTE_8B00,
        NOTE_8B02,
        NOTE_8B03,
        NOTE_8B04,
        NOTE_8B05,  // 216-220
        // 221-230: string names.
        KEYWORDS,
        AVG_PROCESSED,
        OWNER_GUID,
        OWNER_NAME,
        OWNER_EMAIL,
        VERSION,
        STORE_TYPE_PRIVATE,
        OSTREL_FILTERS,
        AVG_ORIG_SUBJECT,
        X_ANTIVIRUS,

        // What the connector's bookkeeping entries hold (with the type they are used with).
        OSTREL_ID = CONN_8100,                   // PT_LONG: the server item id
        CONV_ID = CONN_8101,                     // PT_LONG: a message's conversation id
        TAG_ID = CONN_8103,                      // PT_LONG: the tag id of a tag message
        LEGACY_MAP_IDS = CONN_8150,              // PT_MV_LONG
        LEGACY_MAP_ENTRYIDS = CONN_8151,         // PT_MV_BINARY
        IGNORE_LOCAL_CHANGES = CONN_8152,        // PT_BOOLEAN
        LOCAL_FOLDER = CONN_8153,                // PT_BOOLEAN
        ACL_RIGHTS = CONN_8500,                  // PT_MV_LONG
        ACL_GRANTEE_IDS = CONN_8501,             // PT_MV_UNICODE
        ACL_GRANTEE_NAMES = CONN_8502_2,         // PT_MV_UNICODE
        ACL_DISPLAY_NAMES = CONN_8505,           // PT_MV_UNICODE
        ACL_GRANTEE_TYPES = CONN_8503,           // PT_MV_LONG
        ACL_PASSWORDS = CONN_8504,               // PT_MV_UNICODE
        CONTACT_DATA = CONN_8601,                // PT_UNICODE
        CONTACT_GROUP_MEMBERS = CONN_8602,       // PT_MV_UNICODE
        GAL_UNIQUE_ID = CONN_8604,               // PT_UNICODE
        REPLICATION_ID = CONN_8650,              // PT_UNICODE
        LAST_SERVER_REPLICATION_ID = CONN_8651,  // PT_UNICODE
        OSTREL_LAST_MODIFIED = CONN_8652,        // PT_SYSTIME
        PRIMARY_STORE = CONN_8654,               // PT_BOOLEAN
        FOLDER_ACE = CONN_8655,                  // PT_LONG
        ORIGINAL_NAME = CONN_8656,               // PT_UNICODE: a local folder's name before a server folder took it
        TAG_COLOR_ID = CONN_8702,                // PT_LONG
        TAG_COLOR_RGB = CONN_8703,               // PT_LONG
        TAG_CATEGORY_UID = CONN_8704,            // PT_BINARY
        TAG_PENDING_NAME = CONN_8705,            // PT_UNICODE
        TASK_LOCATION = CONN_8720,               // PT_UNICODE
        BES_CONFIG_INITIALIZED = CONN_8750,      // PT_BOOLEAN
        ALARM_EXTENSION_1 = CONN_8721,           // PT_UNICODE
        ALARM_EXTENSION_2 = CONN_8722,           // PT_UNICODE
        DOC_VERSION = CONN_8729,                 // PT_LONG
        DOC_NAME = CONN_872A,                    // PT_UNICODE
        SHARE_INFO = CONN_872F,                  // PT_UNICODE
        SHARE_ID = CONN_8730,                    // PT_LONG
    };

    static constexpr ULONG kMainCount = 221;
    static constexpr ULONG kExtraCount = 10;
    // The connector's own entries, 0 to 89 of the main array.
    static constexpr ULONG kConnectorCount = 90;

    // Looks both arrays up in the store of `pProp` (creating missing names); null, logged, when
    // that fails.
    static NamedProps* CreateInstance(IMAPIProp* pProp);
    static void DeleteInstance(NamedProps* pProps);

    bool IsInitialized() const { return m_pMain != nullptr && m_pExtra != nullptr; }
    // The tag of entry idx with the given type; MAPI_E_NOT_FOUND when not initialised or idx is
    // beyond the table.
    ULONG GetPropTag(PropIdx idx, ULONG ulType) const;
    // New MAPI buffers (freed by the caller) holding the connector's 90 tags, without types.
    LPSPropTagArray GetAllOstrelTags() const;
    LPSPropTagArray GetOstrelMetaTags() const;

    // The name of an entry, for diagnostics and for callers that look one name up themselves.
    static const MAPINAMEID& NameOf(PropIdx idx);

    NamedProps(const NamedProps&) = delete;
    NamedProps& operator=(const NamedProps&) = delete;

private:
    NamedProps() = default;
    ~NamedProps();
    HRESULT Init(IMAPIProp* pProp);

    LPSPropTagArray m_pMain = nullptr;
    LPSPropTagArray m_pExtra = nullptr;
};

// The tag of entry idx with the given type. A null object logs "invalid named props object" and
// gives 1 (PR_NULL), so that MAPI calls made with it fail on their own.
ULONG NAMED_PROP(NamedProps::PropIdx idx, ULONG ulType, const NamedProps* pProps);

// One NamedProps per store mapping signature for the whole process. Every object of a store
// answers the same ids, so the table looked up for one of them serves them all.
class NamedPropsManager {
public:
    // The table of the store that `pProp` belongs to (a store, folder, message, attachment or
    // embedded message); looked up and registered on first use. Null, logged, on failure.
    static NamedProps* GetNamedPropsFromMAPIProp(IMAPIProp* pProp);
    static NamedProps* GetNamedPropsFromMAPIProp(IMsgStore* pStore);
    // The registered table for a mapping signature, or null.
    static NamedProps* GetNamedPropsFromSignature(const CMAPIUID& signature);
    // Looks the table up for the store and registers it under the store's signature (replacing
    // nothing that is registered already). Null, logged, on failure.
    static NamedProps* SetNamedProps(IMsgStore* pStore);
    // Deletes every table; pointers handed out before become invalid.
    static void Cleanup();

private:
    static NamedProps* GetOrCreate(IMAPIProp* pProp);
};

}  // namespace Ostrel::Mapi

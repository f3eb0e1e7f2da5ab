#include "Ostrel/Store/NamedProps.h"

#include <array>
#include <new>

#include "Util/Log/Log.h"

namespace Ostrel::Mapi {

namespace {

// {20022104-6842-430D-B19C-8739BFDB9188}
GUID g_guidConnector = {0x20022104, 0x6842, 0x430D, {0xB1, 0x9C, 0x87, 0x39, 0xBF, 0xDB, 0x91, 0x88}};
// {8B68CC02-773B-4851-989E-BB806518CCBB}
GUID g_guidAntivirus = {0x8B68CC02, 0x773B, 0x4851, {0x98, 0x9E, 0xBB, 0x80, 0x65, 0x18, 0xCC, 0xBB}};
// {00062014-0000-0000-C000-000000000046}
GUID g_guidSet62014 = MAPI_OLE_GUID(0x00062014);
GUID g_guidAddress = PSETID_Address;
GUID g_guidCommon = PSETID_Common;
GUID g_guidTask = PSETID_Task;
GUID g_guidAppointment = PSETID_Appointment;
GUID g_guidMeeting = PSETID_Meeting;
GUID g_guidNote = PSETID_Note;
GUID g_guidPublicStrings = PS_PUBLIC_STRINGS;
GUID g_guidInternetHeaders = PS_INTERNET_HEADERS;

struct IdRun {
    GUID* pGuid;
    std::initializer_list<LONG> ids;
};

// The main array in index order: runs of numeric ids of one property set. Stores written by any
// version of the connector depend on these names and their order.
const IdRun kMainRuns[] = {
    {&g_guidConnector,
     {0x8000, 0x8001, 0x8002, 0x8003, 0x8004, 0x8005, 0x8006, 0x8019, 0x8007, 0x8008, 0x8009, 0x8010, 0x8011,
      0x8012, 0x8017, 0x8018, 0x8100, 0x8101, 0x8102, 0x8103, 0x8110, 0x8111, 0x8200, 0x8201, 0x8300, 0x8400,
      0x8401, 0x8402, 0x8403, 0x8404, 0x8150, 0x8151, 0x8152, 0x8153, 0x8500, 0x8501, 0x8502, 0x8541, 0x8507,
      0x8520, 0x8521, 0x8600, 0x8601, 0x8602, 0x8603, 0x8604, 0x8605, 0x8650, 0x8651, 0x8652, 0x8653, 0x8654,
      0x8655, 0x8656, 0x8700, 0x8701, 0x8710, 0x8711, 0x8702, 0x8703, 0x8704, 0x8705, 0x8712, 0x8713, 0x8502,
      0x8505, 0x8503, 0x8504, 0x8720, 0x8013, 0x8750, 0x8014, 0x8015, 0x8721, 0x8722, 0x8723, 0x8724, 0x8725,
      0x8726, 0x8727, 0x8728, 0x8729, 0x872A, 0x872B, 0x872C, 0x872D, 0x872E, 0x872F, 0x8730, 0x8731}},
    {&g_guidAddress,
     {0x8083, 0x8085, 0x8082, 0x8080, 0x8084, 0x8093, 0x8095, 0x8092, 0x8090, 0x8094, 0x80A3, 0x80A5, 0x80A2, 0x80A0,
      0x80A4, 0x8005, 0x8006, 0x8015, 0x802B, 0x8062, 0x8046, 0x8049, 0x8048, 0x8047, 0x8045, 0x801A, 0x801B, 0x801C,
      0x8028, 0x8029, 0x8053, 0x8054, 0x8055, 0x804C, 0x804F, 0x8050, 0x8051, 0x8052, 0x8022, 0x80DE, 0x80DF}},
    {&g_guidConnector, {0x8657}},
    {&g_guidCommon, {0x8530, 0x8554, 0x8552, 0x8520, 0x8540}},
    {&g_guidTask,
     {0x8126, 0x8116, 0x811F, 0x8101, 0x8102, 0x810F, 0x811C, 0x8105, 0x8104, 0x8111, 0x8110, 0x8116, 0x8109}},
    {&g_guidCommon, {0x8539, 0x8534, 0x8535}},
    {&g_guidTask, {0x8107}},
    {&g_guidAppointment,
     {0x8204, 0x8205, 0x8224, 0x8217, 0x8229, 0x8218, 0x8223, 0x8216, 0x8233, 0x8234, 0x8220, 0x823B, 0x823C, 0x8215}},
    {&g_guidCommon, {0x8503, 0x8501, 0x8510}},
    {&g_guidAppointment, {0x822B, 0x8201, 0x8203, 0x8207, 0x8208, 0x8213, 0x8214, 0x8238}},
    {&g_guidMeeting, {0x0005, 0x000A}},
    {&g_guidAppointment, {0x8206, 0x8231, 0x8232}},
    {&g_guidCommon, {0x8514}},
    {&g_guidAppointment, {0x8228, 0x825A, 0x820D, 0x820E}},
    {&g_guidCommon, {0x8502, 0x8560, 0x8516, 0x8517}},
    {&g_guidAppointment, {0x825E, 0x825F}},
    {&g_guidMeeting, {0x0023, 0x0003}},
    {&g_guidCommon, {0x8578, 0x8580, 0x8581}},
    {&g_guidSet62014, {0x8F03}},
    {&g_guidCommon, {0x8506}},
    {&g_guidConnector, {0x8658}},
    {&g_guidMeeting, {0x0001, 0x001A}},
    {&g_guidAppointment, {0x8235, 0x8236, 0x820F, 0x8210, 0x8212, 0x8211}},
    {&g_guidConnector, {0x8659, 0x8660, 0x8016, 0x8661, 0x8662}},
    {&g_guidNote, {0x8B00, 0x8B02, 0x8B03, 0x8B04, 0x8B05}},
};

wchar_t g_wszKeywords[] = L"Keywords";
wchar_t g_wszAvgProcessed[] = L"AvgProcessed";
wchar_t g_wszOwnerGuid[] = L"OwnerGUID";
wchar_t g_wszOwnerName[] = L"OwnerName";
wchar_t g_wszOwnerEmail[] = L"OwnerEmail";
wchar_t g_wszVersion[] = L"Version";
wchar_t g_wszStoreTypePrivate[] = L"urn:schemas-microsoft-com:office:outlook#storetypeprivate";
wchar_t g_wszOstrelFilters[] = L"OstrelFilters";
wchar_t g_wszAvgOrigSubject[] = L"AvgOrigSubject";
wchar_t g_wszXAntivirus[] = L"x-antivirus";

MAPINAMEID StringName(GUID* pGuid, wchar_t* pwszName) {
    MAPINAMEID name{};
    name.lpguid = pGuid;
    name.ulKind = MNID_STRING;
    name.Kind.lpwstrName = pwszName;
    return name;
}

struct NameTables {
    std::array<MAPINAMEID, NamedProps::kMainCount> main{};
    std::array<MAPINAMEID, NamedProps::kExtraCount> extra{};
    std::array<LPMAPINAMEID, NamedProps::kMainCount> mainPtrs{};
    std::array<LPMAPINAMEID, NamedProps::kExtraCount> extraPtrs{};

    NameTables() {
        size_t i = 0;
        for (const IdRun& run : kMainRuns)
            for (LONG lId : run.ids) {
                main.at(i).lpguid = run.pGuid;
                main.at(i).ulKind = MNID_ID;
                main.at(i).Kind.lID = lId;
                ++i;
            }
        extra = {StringName(&g_guidPublicStrings, g_wszKeywords),
                 StringName(&g_guidAntivirus, g_wszAvgProcessed),
                 StringName(&g_guidConnector, g_wszOwnerGuid),
                 StringName(&g_guidConnector, g_wszOwnerName),
                 StringName(&g_guidConnector, g_wszOwnerEmail),
                 StringName(&g_guidConnector, g_wszVersion),
                 StringName(&g_guidPublicStrings, g_wszStoreTypePrivate),
                 StringName(&g_guidConnector, g_wszOstrelFilters),
                 StringName(&g_guidAntivirus, g_wszAvgOrigSubject),
                 StringName(&g_guidInternetHeaders, g_wszXAntivirus)};
        for (size_t j = 0; j < main.size(); ++j)
            mainPtrs[j] = &main[j];
        for (size_t j = 0; j < extra.size(); ++j)
            extraPtrs[j] = &extra[j];
    }
};

NameTables& Tables() {
    static NameTables tables;
    return tables;
}

static_assert(NamedProps::OSTREL_ID == 16 && NamedProps::CONV_ID == 17 && NamedProps::TAG_ID == 19);
static_assert(NamedProps::LEGACY_MAP_IDS == 30 && NamedProps::LOCAL_FOLDER == 33 && NamedProps::ACL_RIGHTS == 34);
static_assert(NamedProps::CONN_8502 == 36 && NamedProps::ACL_GRANTEE_NAMES == 64 && NamedProps::ACL_PASSWORDS == 67);
static_assert(NamedProps::REPLICATION_ID == 47 && NamedProps::OSTREL_LAST_MODIFIED == 49);
static_assert(NamedProps::FOLDER_ACE == 52 && NamedProps::TAG_COLOR_ID == 58 && NamedProps::TAG_PENDING_NAME == 61);
static_assert(NamedProps::BES_CONFIG_INITIALIZED == 70 && NamedProps::DOC_VERSION == 81);
static_assert(NamedProps::SHARE_INFO == 87 && NamedProps::SHARE_ID == 88 && NamedProps::CONN_8731 == 89);
static_assert(NamedProps::ADDR_80DF == 130 && NamedProps::CONN_8657 == 131 && NamedProps::TASK_8116 == 138);
static_assert(NamedProps::TASK_8116_2 == 148 && NamedProps::TASK_8107 == 153 && NamedProps::APPT_8215 == 167);
static_assert(NamedProps::MEETING_0005 == 179 && NamedProps::LOG_8F03 == 200 && NamedProps::CONN_8658 == 202);
static_assert(NamedProps::CONN_8659 == 211 && NamedProps::NOTE_8B05 == 220);
static_assert(NamedProps::KEYWORDS == 221 && NamedProps::X_ANTIVIRUS == 230);

// Asks the store for the ids of one array of names; the result keeps the ids without types.
HRESULT LookUp(IMAPIProp* pProp, LPMAPINAMEID* ppNames, ULONG cNames, LPSPropTagArray* ppTags) {
    LPSPropTagArray pTags = nullptr;
    HRESULT hr = pProp->GetIDsFromNames(cNames, ppNames, MAPI_CREATE, &pTags);
    if (SUCCEEDED(hr) && (!pTags || pTags->cValues != cNames))
        hr = MAPI_E_CALL_FAILED;
    // A name the store could not map would leave an entry that reads and writes some other
    // property; the table is only usable when every name has an id.
    for (ULONG i = 0; SUCCEEDED(hr) && i < cNames; ++i) {
        ULONG ulTag = pTags->aulPropTag[i];
        if (PROP_TYPE(ulTag) == PT_ERROR || PROP_ID(ulTag) < PROPS_ID_MIN || PROP_ID(ulTag) > PROPS_ID_MAX)
            hr = hr == S_OK ? MAPI_W_ERRORS_RETURNED : hr;
        else
            pTags->aulPropTag[i] = PROP_TAG(PT_UNSPECIFIED, PROP_ID(ulTag));
    }
    if (hr != S_OK) {
        MAPIFreeBuffer(pTags);
        return FAILED(hr) ? hr : MAPI_E_CALL_FAILED;
    }
    *ppTags = pTags;
    return S_OK;
}

LPSPropTagArray CopyConnectorTags(LPSPropTagArray pMain) {
    if (!pMain)
        return nullptr;
    void* p = nullptr;
    if (FAILED(MAPIAllocateBuffer(CbNewSPropTagArray(NamedProps::kConnectorCount), &p)))
        return nullptr;
    auto* pTags = static_cast<LPSPropTagArray>(p);
    pTags->cValues = NamedProps::kConnectorCount;
    for (ULONG i = 0; i < NamedProps::kConnectorCount; ++i)
        pTags->aulPropTag[i] = pMain->aulPropTag[i];
    return pTags;
}

}  // namespace

NamedProps::~NamedProps() {
    MAPIFreeBuffer(m_pMain);
    MAPIFreeBuffer(m_pExtra);
}

HRESULT NamedProps::Init(IMAPIProp* pProp) {
    NameTables& tables = Tables();
    HRESULT hr = LookUp(pProp, tables.mainPtrs.data(), kMainCount, &m_pMain);
    if (SUCCEEDED(hr))
        hr = LookUp(pProp, tables.extraPtrs.data(), kExtraCount, &m_pExtra);
    return hr;
}

NamedProps* NamedProps::CreateInstance(IMAPIProp* pProp) {
    if (!pProp) {
        OSTLOG_ERROR(L"NULL property passed in");
        return nullptr;
    }
    NamedProps* pProps = new (std::nothrow) NamedProps;
    if (!pProps) {
        OSTLOG_ERROR(L"could not allocate object");
        return nullptr;
    }
    HRESULT hr = pProps->Init(pProp);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"GetIDsFromNames failed: Error 0x%x", hr);
        delete pProps;
        return nullptr;
    }
    return pProps;
}

void NamedProps::DeleteInstance(NamedProps* pProps) {
    delete pProps;
}

ULONG NamedProps::GetPropTag(PropIdx idx, ULONG ulType) const {
    if (!m_pMain)
        return static_cast<ULONG>(MAPI_E_NOT_FOUND);
    if (idx < kMainCount)
        return m_pMain->aulPropTag[idx] | ulType;
    if (!m_pExtra || idx >= kMainCount + kExtraCount)
        return static_cast<ULONG>(MAPI_E_NOT_FOUND);
    return m_pExtra->aulPropTag[idx - kMainCount] | ulType;
}

LPSPropTagArray NamedProps::GetAllOstrelTags() const {
    return CopyConnectorTags(m_pMain);
}

LPSPropTagArray NamedProps::GetOstrelMetaTags() const {
    return CopyConnectorTags(m_pMain);
}

const MAPINAMEID& NamedProps::NameOf(PropIdx idx) {
    NameTables& tables = Tables();
    return idx < kMainCount ? tables.main.at(idx) : tables.extra.at(idx - kMainCount);
}

ULONG NAMED_PROP(NamedProps::PropIdx idx, ULONG ulType, const NamedProps* pProps) {
    if (!pProps) {
        ::Ostrel::Util::TraceVarArgs(TRUE, TRUE, 0, ::Ostrel::Util::kLogCategoryError, __FILE__,
                                     "Ostrel::Mapi::NAMED_PROP", __LINE__)(L"invalid named props object");
        return PR_NULL;
    }
    return pProps->GetPropTag(idx, ulType);
}

}  // namespace Ostrel::Mapi

// The server's view of an item written onto the converted message: bookkeeping stamps, dates,
// flag letters and tags.
#include <charconv>

#include "Ostrel/Convert/Mail/MimeToMapiPropSet.h"
#include "Ostrel/Model/ItemTypes.h"
#include "Ostrel/Settings/RegistryConfig.h"
#include "Ostrel/Store/Categories/TagCache.h"
#include "Platform/Base/Utf.h"
#include "Util/Log/Log.h"
#include "Util/Text/Strings.h"
#include "Util/Time/TimeUtil.h"

using Ostrel::Mapi::NamedProps;

namespace {

// Follow-up flag values of a flagged message.
constexpr LONG kFlagStatusFlagged = 2;
constexpr LONG kFlagIconRed = 6;
constexpr LONG kTodoItemFlagged = 1;
constexpr LONG kIconReplied = 261;
constexpr LONG kIconForwarded = 262;
constexpr LONG kReceiptRequested = MSGFLAG_RN_PENDING | MSGFLAG_NRN_PENDING;

template <typename T>
bool ParseDecimal(const std::string& sText, T& value) {
    const char* pBegin = sText.data();
    const char* pEnd = pBegin + sText.size();
    while (pBegin < pEnd && (*pBegin == ' ' || *pBegin == '\t'))
        ++pBegin;
    while (pEnd > pBegin && (pEnd[-1] == ' ' || pEnd[-1] == '\t'))
        --pEnd;
    if (pBegin < pEnd && *pBegin == '+')
        ++pBegin;
    const auto result = std::from_chars(pBegin, pEnd, value);
    return result.ec == std::errc() && pBegin != pEnd && result.ptr == pEnd;
}

}  // namespace

MimeToMapiConverter::PropSet::~PropSet() {
    for (void* p : m_buffers)
        MAPIFreeBuffer(p);
}

void MimeToMapiConverter::PropSet::Put(const SPropValue& value) {
    if (value.ulPropTag == PR_NULL || value.ulPropTag == 0 || PROP_ID(value.ulPropTag) == 0)
        return;
    for (SPropValue& existing : m_values) {
        if (existing.ulPropTag == value.ulPropTag) {
            existing = value;
            return;
        }
    }
    m_values.push_back(value);
}

void MimeToMapiConverter::PropSet::Long(ULONG ulTag, LONG lValue) {
    SPropValue value{ulTag, 0, {}};
    value.Value.l = lValue;
    Put(value);
}

void MimeToMapiConverter::PropSet::Bool(ULONG ulTag, bool bValue) {
    SPropValue value{ulTag, 0, {}};
    value.Value.b = bValue ? 1 : 0;
    Put(value);
}

void MimeToMapiConverter::PropSet::Time(ULONG ulTag, const FILETIME& ft) {
    SPropValue value{ulTag, 0, {}};
    value.Value.ft = ft;
    Put(value);
}

void MimeToMapiConverter::PropSet::String(ULONG ulTag, std::wstring wsValue) {
    m_strings.push_back(std::move(wsValue));
    SPropValue value{ulTag, 0, {}};
    value.Value.lpszW = m_strings.back().data();
    Put(value);
}

void MimeToMapiConverter::PropSet::Adopt(const SPropValue& value, void* pBuffer) {
    if (pBuffer)
        m_buffers.push_back(pBuffer);
    Put(value);
}

const SPropValue* MimeToMapiConverter::PropSet::Find(ULONG ulTag) const {
    for (const SPropValue& value : m_values)
        if (value.ulPropTag == ulTag)
            return &value;
    return nullptr;
}

void MimeToMapiConverter::SetCommonProps(PropSet& props, bool bReceipt, LONG lItemId, bool bVersionFlag) {
    if (m_pNamedProps && bVersionFlag)
        props.Bool(m_pNamedProps->GetPropTag(NamedProps::APPT_825A, PT_BOOLEAN), true);
    if (!bReceipt)
        props.Bool(PR_PROCESSED, true);
    if (m_pNamedProps) {
        // One line per message is detailed tracing: at normal detail a large download would write
        // a line per message (each costing several system calls) and push older history out of
        // the rotating log; failures and each archive's summary stay at normal detail.
        OSTLOG_INFO(16, L"Stamping PR_OSTREL_ID %d", lItemId);
        props.Long(m_pNamedProps->GetPropTag(NamedProps::OSTREL_ID, PT_LONG), lItemId);
    }
}

void MimeToMapiConverter::SetConvIdFromStr(PropSet& props, const std::string& sConvId) {
    LONG lConvId = 0;
    if (!m_pNamedProps || sConvId.empty())
        return;
    if (!ParseDecimal(sConvId, lConvId)) {
        OSTLOG_WARN(L"conversation id '%hs' is not a number; not written", sConvId.c_str());
        return;
    }
    props.Long(m_pNamedProps->GetPropTag(NamedProps::CONV_ID, PT_LONG), lConvId);
}

void MimeToMapiConverter::SetDeliveryTime(PropSet& props, int64_t llUnixSeconds) {
    FILETIME ft{};
    if (!Ostrel::Util::UnixTimeToFileTime(llUnixSeconds, &ft)) {
        OSTLOG_WARN(L"received time %lld out of range; not written", static_cast<long long>(llUnixSeconds));
        return;
    }
    props.Time(PR_MESSAGE_DELIVERY_TIME, ft);
    props.Time(PR_LAST_MODIFICATION_TIME, ft);
    if (m_pNamedProps)
        props.Time(m_pNamedProps->GetPropTag(NamedProps::OSTREL_LAST_MODIFIED, PT_SYSTIME), ft);
}

void MimeToMapiConverter::SetDeliveryTimeFromStr(PropSet& props, const std::string& sMillis) {
    int64_t llMillis = 0;
    if (sMillis.empty())
        return;
    if (!ParseDecimal(sMillis, llMillis)) {
        OSTLOG_WARN(L"received time '%hs' is not a number; not written", sMillis.c_str());
        return;
    }
    SetDeliveryTime(props, llMillis / 1000);
}

bool MimeToMapiConverter::HasReadReceiptRequest() const {
    static constexpr char kField[] = "Disposition-Notification-To: ";
    for (size_t pos = 0; pos < m_sMime.size();) {
        size_t end = m_sMime.find('\n', pos);
        if (end == std::string::npos)
            end = m_sMime.size();
        const std::string_view line(m_sMime.data() + pos, end - pos);
        // The header block ends at the first empty line, whatever its line end.
        if (line.empty() || line == "\r")
            return false;
        if (line.starts_with(kField))
            return true;
        pos = end + 1;
    }
    return false;
}

void MimeToMapiConverter::SetMessageFlagsFromStr(PropSet& props, const std::string& sFlags) {
    if (sFlags.empty()) {
        props.Long(PR_MESSAGE_FLAGS, MSGFLAG_READ);
        return;
    }
    Ostrel::Mail::MessageFlags flags;
    flags.FromString(sFlags.c_str());
    LONG lMsgFlags = 0;
    if (flags.FromMe())
        lMsgFlags |= MSGFLAG_FROMME;
    if (flags.Draft())
        lMsgFlags |= MSGFLAG_UNSENT;
    if (!flags.Unread())
        lMsgFlags |= MSGFLAG_READ;
    if (flags.Flagged()) {
        props.Long(PR_FLAG_STATUS, kFlagStatusFlagged);
        props.Long(PR_FLAG_ICON, kFlagIconRed);
        props.Long(PR_TODO_ITEM_FLAGS, kTodoItemFlagged);
    }
    if (flags.Replied())
        props.Long(PR_ICON_INDEX, kIconReplied);
    else if (flags.Forwarded())
        props.Long(PR_ICON_INDEX, kIconForwarded);
    if (!flags.Notified() && HasReadReceiptRequest()) {
        lMsgFlags |= kReceiptRequested;
        OSTLOG_INFO(4, L"found Read receipt request in headers. msg flags value is %d", lMsgFlags);
    }
    if (flags.IsPost())
        props.String(PR_MESSAGE_CLASS_W, L"IPM.Post");
    props.Long(PR_MESSAGE_FLAGS, lMsgFlags);
}

void MimeToMapiConverter::SetKeywordsFromStr(PropSet& props, const std::string& sTagIds, const std::string& sTagNames) {
    SetKeywords(props, Platform::FromUtf8(sTagNames), sTagIds);
}

void MimeToMapiConverter::SetKeywords(PropSet& props, const std::wstring& wsTagNames, const std::string& sTagIds) {
    std::vector<std::wstring> names = Ostrel::Util::TagNameStrToTagNameList(wsTagNames);
    if (names.empty() && !sTagIds.empty()) {
        if (!Ostrel::Mapi::TagSyncEnabled()) {
            OSTLOG_INFO(16, L"TAGSYNC: disabled by configuration option");
            return;
        }
        std::vector<long> ids;
        for (size_t pos = 0; pos <= sTagIds.size();) {
            size_t end = sTagIds.find(',', pos);
            if (end == std::string::npos)
                end = sTagIds.size();
            LONG lId = 0;
            if (ParseDecimal(sTagIds.substr(pos, end - pos), lId))
                ids.push_back(lId);
            pos = end + 1;
        }
        // The caller's map spares reading the tag folder for every message when it knows
        // every tag; otherwise the tag folder answers.
        bool bAllKnown = !ids.empty();
        for (long lId : ids) {
            auto it = m_tagMap.find(static_cast<LONG>(lId));
            if (it == m_tagMap.end()) {
                bAllKnown = false;
                break;
            }
            names.push_back(it->second);
        }
        if (!bAllKnown) {
            names.clear();
            if (!ids.empty()) {
                SPropValue value{PR_NULL, 0, {}};
                void* pBuffer = Ostrel::Mapi::MapTagIdsToKeywordsProp(value, ids, m_pStore.Get());
                props.Adopt(value, pBuffer);
            }
            return;
        }
    }
    if (names.empty())
        return;
    SPropValue value{PR_NULL, 0, {}};
    void* pBuffer = Ostrel::Mapi::MapTagNamesToKeywordsProp(value, names, m_pStore.Get());
    props.Adopt(value, pBuffer);
}

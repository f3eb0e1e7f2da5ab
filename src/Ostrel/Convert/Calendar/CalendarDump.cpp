#include "Ostrel/Convert/Calendar/CalendarDump.h"

#include "Ostrel/Store/Calendar/Appt.h"
#include "Ostrel/Store/Calendar/RecurrenceDump.h"
#include "Platform/Base/Utf.h"
#include "Platform/Mapi/MapiGuids.h"
#include "Util/Time/TimeUtil.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <vector>

namespace Ostrel::Mail {

namespace {

// Properties that name the store, the object's place in it or the moment it was saved.
const std::set<ULONG> kVolatileIds = {0x0E08, 0x0E09, 0x0FF4, 0x0FF6, 0x0FF7, 0x0FF8, 0x0FF9, 0x0FFA, 0x0FFB,
                                      0x0FFE, 0x0FFF, 0x3007, 0x3008, 0x65E0, 0x65E1, 0x65E2, 0x65E3, 0x0E07,
                                      0x3FF8, 0x300B, 0x3FF9, 0x3FFA, 0x3FFB, 0x0E21, 0x0E17};

std::string Hex(const BYTE* pb, ULONG cb) {
    std::string s;
    char buf[4];
    for (ULONG i = 0; i < cb; ++i) {
        std::snprintf(buf, sizeof buf, "%02X", pb[i]);
        s += buf;
    }
    return s;
}

std::string Text(const std::wstring& ws) {
    std::string s;
    for (char c : Platform::ToUtf8(ws)) {
        if (c == '\r')
            s += "\\r";
        else if (c == '\n')
            s += "\\n";
        else if (c == '\\')
            s += "\\\\";
        else
            s += c;
    }
    return "\"" + s + "\"";
}

std::string Time(const FILETIME& ft) {
    SYSTEMTIME st{};
    if (!Util::FileTimeToSystemTime(&ft, &st))
        return "invalid";
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute,
                  st.wSecond);
    return buf;
}

std::string Value(const SPropValue& v) {
    char buf[64];
    switch (PROP_TYPE(v.ulPropTag)) {
        case PT_SHORT:
            return std::to_string(v.Value.i);
        case PT_LONG:
            return std::to_string(v.Value.l);
        case PT_BOOLEAN:
            return v.Value.b ? "true" : "false";
        case PT_DOUBLE:
        case PT_APPTIME:
            std::snprintf(buf, sizeof buf, "%.6g", v.Value.dbl);
            return buf;
        case PT_I8:
            return std::to_string(v.Value.li.QuadPart);
        case PT_SYSTIME:
            return Time(v.Value.ft);
        case PT_UNICODE:
            return Text(v.Value.lpszW ? v.Value.lpszW : L"");
        case PT_STRING8:
            return Text(Platform::FromUtf8(v.Value.lpszA ? v.Value.lpszA : ""));
        case PT_BINARY:
            return "[" + std::to_string(v.Value.bin.cb) + "] " + Hex(v.Value.bin.lpb, v.Value.bin.cb);
        case PT_MV_UNICODE: {
            std::string s = "{";
            for (ULONG i = 0; i < v.Value.MVszW.cValues; ++i)
                s += (i ? ", " : "") + Text(v.Value.MVszW.lppszW[i]);
            return s + "}";
        }
        case PT_MV_LONG: {
            std::string s = "{";
            for (ULONG i = 0; i < v.Value.MVl.cValues; ++i)
                s += (i ? ", " : "") + std::to_string(v.Value.MVl.lpl[i]);
            return s + "}";
        }
        default:
            std::snprintf(buf, sizeof buf, "(type 0x%04X)", static_cast<unsigned>(PROP_TYPE(v.ulPropTag)));
            return buf;
    }
}

std::string SetName(const GUID& guid) {
    if (guid == PSETID_Appointment)
        return "Appointment";
    if (guid == PSETID_Common)
        return "Common";
    if (guid == PSETID_Meeting)
        return "Meeting";
    if (guid == PSETID_Task)
        return "Task";
    if (guid == PS_PUBLIC_STRINGS)
        return "PublicStrings";
    return "Connector";
}

// "name = value" lines of every property but the volatile ones, sorted by name. The recurrence
// blob is only announced: it is decoded separately.
void DumpProps(std::string& out, IMAPIProp* pProp, const std::string& indent, ULONG ulSkipTag) {
    ULONG cValues = 0;
    LPSPropValue pValues = nullptr;
    if (FAILED(pProp->GetProps(nullptr, MAPI_UNICODE, &cValues, &pValues)) || !pValues)
        return;
    std::map<std::string, std::string> lines;
    for (ULONG i = 0; i < cValues; ++i) {
        const SPropValue& v = pValues[i];
        const ULONG ulId = PROP_ID(v.ulPropTag);
        if (PROP_TYPE(v.ulPropTag) == PT_ERROR || kVolatileIds.count(ulId))
            continue;
        std::string name;
        char buf[48];
        if (ulId >= 0x8000) {
            SizedSPropTagArray(1, tag) = {1, {v.ulPropTag}};
            LPSPropTagArray pTag = reinterpret_cast<LPSPropTagArray>(&tag);
            ULONG cNames = 0;
            LPMAPINAMEID* ppNames = nullptr;
            if (SUCCEEDED(pProp->GetNamesFromIDs(&pTag, nullptr, 0, &cNames, &ppNames)) && cNames == 1 && ppNames[0]) {
                const MAPINAMEID& n = *ppNames[0];
                if (n.ulKind == MNID_ID)
                    std::snprintf(buf, sizeof buf, ":0x%04X", static_cast<unsigned>(n.Kind.lID));
                name = SetName(*n.lpguid) +
                       (n.ulKind == MNID_ID ? std::string(buf) : ":" + Platform::ToUtf8(n.Kind.lpwstrName));
            }
            MAPIFreeBuffer(ppNames);
        }
        if (name.empty()) {
            std::snprintf(buf, sizeof buf, "0x%04X", static_cast<unsigned>(ulId));
            name = buf;
        }
        lines[name] = v.ulPropTag == ulSkipTag ? std::string("(decoded below)") : Value(v);
    }
    MAPIFreeBuffer(pValues);
    for (const auto& [name, value] : lines)
        out += indent + name + " = " + value + "\n";
}

void DumpRecipients(std::string& out, IMessage* pMessage, const std::string& indent) {
    Platform::ComPtr<IMAPITable> pTable;
    if (FAILED(pMessage->GetRecipientTable(MAPI_UNICODE, pTable.AddressOf())))
        return;
    SizedSPropTagArray(6, cols) = {6,
                                   {PR_DISPLAY_NAME_W, PR_EMAIL_ADDRESS_W, PR_RECIPIENT_TYPE, PR_RECIPIENT_FLAGS,
                                    PR_RECIPIENT_TRACKSTATUS, PR_ADDRTYPE_W}};
    LPSRowSet pRows = nullptr;
    if (FAILED(pTable->SetColumns(reinterpret_cast<LPSPropTagArray>(&cols), 0)) ||
        FAILED(pTable->QueryRows(1000, 0, &pRows)) || !pRows)
        return;
    out += indent + "recipients: " + std::to_string(pRows->cRows) + "\n";
    for (ULONG i = 0; i < pRows->cRows; ++i) {
        const SPropValue* p = pRows->aRow[i].lpProps;
        auto Field = [&](int k) { return PROP_TYPE(p[k].ulPropTag) == PT_ERROR ? std::string("-") : Value(p[k]); };
        out += indent + "  " + Field(0) + " <" + Field(1) + "> " + Field(5) + " type=" + Field(2) +
               " flags=" + Field(3) + " track=" + Field(4) + "\n";
    }
    FreeProws(pRows);
}

void DumpOne(std::string& out, IMessage* pMessage, IMsgStore* pStore, const std::string& indent, bool bSeries) {
    LPSPropValue pClass = nullptr;
    const bool bTask = SUCCEEDED(HrGetOneProp(pMessage, PR_MESSAGE_CLASS_W, &pClass)) && pClass &&
                       std::wstring(pClass->Value.lpszW) == L"IPM.Task";
    MAPIFreeBuffer(pClass);
    std::unique_ptr<Mapi::Appt> pAppt =
        bTask ? std::make_unique<Mapi::Task>(pMessage, pStore) : std::make_unique<Mapi::Appt>(pMessage, pStore);
    const ULONG ulBlobTag = pAppt->GetRecurringStreamTag();
    DumpProps(out, pMessage, indent, ulBlobTag);
    DumpRecipients(out, pMessage, indent);
    if (!bSeries)
        return;
    LPSPropValue pBlob = nullptr;
    const bool bHasBlob = SUCCEEDED(HrGetOneProp(pMessage, ulBlobTag, &pBlob));
    MAPIFreeBuffer(pBlob);
    if (!bHasBlob)
        return;
    Mail::TimeZone::OlkTimeZone olk{};
    std::wstring wsZone;
    pAppt->GetLegacyTimezone(&olk, &wsZone);
    Mapi::COutlookRecurrencePattern& pattern = pAppt->GetRecurrencePatternRef();
    if (FAILED(pattern.LoadRecurrence(bTask ? nullptr : &olk, bTask ? nullptr : wsZone.c_str(), bTask ? 1 : 0))) {
        out += indent + "recurrence: unreadable\n";
        return;
    }
    out += indent + "recurrence:\n";
    std::string dump = Mapi::DumpRecurrencePattern(pattern);
    for (size_t pos = 0; pos < dump.size();) {
        size_t nl = dump.find('\n', pos);
        if (nl == std::string::npos)
            nl = dump.size();
        out += indent + "  " + dump.substr(pos, nl - pos) + "\n";
        pos = nl + 1;
    }
    for (size_t i = 0; i < pattern.GetExceptionCount(); ++i) {
        const Mapi::COutlookRecurrenceException* pException = pattern.GetException(i);
        FILETIME ftOriginal{};
        if (!pException || !pException->GetOriginalDateTime(ftOriginal))
            continue;
        std::unique_ptr<Mapi::Appt> pOccurrence;
        if (FAILED(Mapi::Appt::GetExceptionAppointment(pMessage, ftOriginal, pStore, pOccurrence)) || !pOccurrence)
            continue;
        Platform::ComPtr<IMessage> pEmbedded;
        if (FAILED(pOccurrence->Prop()->QueryInterface(IID_IMessage, reinterpret_cast<void**>(pEmbedded.AddressOf()))))
            continue;
        out += indent + "exception " + Time(ftOriginal) + ":\n";
        DumpOne(out, pEmbedded.Get(), pStore, indent + "  ", false);
    }
}

}  // namespace

std::string DumpCalendarItem(IMessage* pMessage, IMsgStore* pStore) {
    std::string out;
    if (pMessage)
        DumpOne(out, pMessage, pStore, "", true);
    return out;
}

}  // namespace Ostrel::Mail

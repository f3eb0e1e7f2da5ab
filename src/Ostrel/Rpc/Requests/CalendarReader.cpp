#include "Ostrel/Rpc/Requests/CalendarReader.h"

#include "Ostrel/Rpc/Soap/SoapVocabulary.h"
#include "Platform/Base/Utf.h"
#include "Platform/Com/ComPtr.h"
#include "Util/Log/Log.h"
#include "Util/Time/TimeUtil.h"

#include <algorithm>
#include <climits>
#include <cwctype>
#include <functional>
#include <optional>

namespace Ostrel::Mail {

using Platform::ComPtr;

namespace {

using Element = ComPtr<IXMLDOMElement>;

std::optional<std::wstring> Attr(IXMLDOMElement* pElement, const wchar_t* pwszName) {
    std::wstring ws;
    if (pElement->getAttribute(pwszName, ws) != S_OK)
        return std::nullopt;
    return ws;
}

const wchar_t* OrNull(const std::optional<std::wstring>& ows) {
    return ows ? ows->c_str() : nullptr;
}

// Leading decimal digits with an optional sign, clamped to the 64-bit range; 0 without digits.
int64_t ToInt64(const std::optional<std::wstring>& ows) {
    if (!ows)
        return 0;
    const wchar_t* p = ows->c_str();
    while (std::iswspace(*p))
        ++p;
    const bool bNegative = *p == L'-';
    if (*p == L'-' || *p == L'+')
        ++p;
    int64_t ll = 0;
    for (; *p >= L'0' && *p <= L'9'; ++p) {
        if (ll > (INT64_MAX - 9) / 10)
            return bNegative ? INT64_MIN : INT64_MAX;
        ll = ll * 10 + (*p - L'0');
    }
    return bNegative ? -ll : ll;
}

LONG ToLong(const std::optional<std::wstring>& ows) {
    const int64_t ll = ToInt64(ows);
    return static_cast<LONG>(ll < INT32_MIN ? INT32_MIN : ll > INT32_MAX ? INT32_MAX : ll);
}

bool IsOne(const std::optional<std::wstring>& ows) {
    return ows && (*ows == L"1" || *ows == L"TRUE" || *ows == L"true");
}

// Calls fn for each child element with its local name; stops when fn returns false.
void ForEachChild(IXMLDOMNode* pParent, const std::function<bool(const std::wstring&, IXMLDOMElement*)>& fn) {
    ComPtr<IXMLDOMNode> child;
    if (pParent->get_firstChild(child.AddressOf()) != S_OK)
        return;
    while (child) {
        Element element;
        if (SUCCEEDED(child.As(&element)) && element) {
            std::wstring wsName;
            element->get_baseName(wsName);
            if (!fn(wsName, element.Get()))
                return;
        }
        ComPtr<IXMLDOMNode> next;
        if (child->get_nextSibling(next.AddressOf()) != S_OK)
            break;
        child = std::move(next);
    }
}

Element FirstChild(IXMLDOMNode* pParent, const wchar_t* pwszName) {
    Element found;
    ForEachChild(pParent, [&](const std::wstring& wsName, IXMLDOMElement* p) {
        if (wsName != pwszName)
            return true;
        found = Element(p);
        return false;
    });
    return found;
}

// A server date string as the machine-local OLE date; dates alone are local dates.
double LocalDate(const std::wstring& wsDate, const TimeZone* pZone) {
    const bool bUtc = wsDate.find(L'Z') != std::wstring::npos;
    const bool bDateOnly = wsDate.find(L'T') == std::wstring::npos;
    if (bUtc || bDateOnly || !pZone)
        return DateStringToLocalDouble(wsDate.c_str());
    double d = -1.0;
    return ConvertTzDateStringToLocalDouble(wsDate.c_str(), pZone, d) ? d : -1.0;
}

void ReadZone(Inv& inv, IXMLDOMElement* pTz) {
    const auto owsId = Attr(pTz, L"id");
    if (!owsId || inv.TimeZoneById(owsId->c_str()))
        return;
    TimeZone* pZone = inv.AddTimeZone(owsId->c_str());
    if (!pZone)
        return;
    pZone->SetStandardOffset(ToLong(Attr(pTz, L"stdoff")));
    pZone->SetDaylightOffset(ToLong(Attr(pTz, L"dayoff")));
    ForEachChild(pTz, [&](const std::wstring& wsName, IXMLDOMElement* p) {
        const LONG lWeekday = ToLong(Attr(p, L"wkday")) - 1;
        const LONG lMonth = ToLong(Attr(p, L"mon"));
        // Out-of-range rules would only produce dates that do not exist.
        if (lWeekday < 0 || lWeekday > 6 || lMonth < 1 || lMonth > 12)
            return true;
        LONG lWeek = ToLong(Attr(p, L"week"));
        if (lWeek < -1 || lWeek > 5)
            lWeek = 5;
        const LONG lHour = ToLong(Attr(p, L"hour")), lMin = ToLong(Attr(p, L"min")), lSec = ToLong(Attr(p, L"sec"));
        if (lHour < 0 || lHour > 23 || lMin < 0 || lMin > 59 || lSec < 0 || lSec > 59)
            return true;
        if (wsName == L"standard")
            pZone->SetStandardStart(lWeek, lWeekday, lMonth, lHour, lMin, lSec, 1);
        else if (wsName == L"daylight")
            pZone->SetDaylightStart(lWeek, lWeekday, lMonth, lHour, lMin, lSec, 1);
        return true;
    });
}

Attendee* ReadAttendee(IXMLDOMElement* p, bool bOrganizer) {
    Attendee* pAttendee = Attendee::createAttendee();
    if (!pAttendee)
        return nullptr;
    pAttendee->SetDisplayName(OrNull(Attr(p, bOrganizer ? L"name" : L"d")));
    pAttendee->SetEmail(OrNull(Attr(p, L"a")));
    if (bOrganizer) {
        pAttendee->SetRole(Attendee::Role::CH);
        pAttendee->SetSentBy(OrNull(Attr(p, L"sentBy")));
        return pAttendee;
    }
    pAttendee->SetRole(OrNull(Attr(p, L"role")));
    pAttendee->SetPartStatus(OrNull(Attr(p, L"ptst")));
    pAttendee->SetRsvp(OrNull(Attr(p, L"rsvp")));
    if (auto ows = Attr(p, L"cutype"))
        pAttendee->SetUserType(ows->c_str());
    return pAttendee;
}

LONG DayMask(IXMLDOMElement* pByDay) {
    LONG lMask = 0;
    ForEachChild(pByDay, [&](const std::wstring& wsName, IXMLDOMElement* p) {
        if (wsName == L"wkday")
            lMask |= DayOfWeek::FromString(OrNull(Attr(p, L"day"))).GetValue();
        return true;
    });
    return lMask;
}

void ReadRule(Comp& comp, IXMLDOMElement* pRule, const TimeZone* pZone) {
    const std::wstring wsFreq = Attr(pRule, L"freq").value_or(L"");
    LONG lInterval = 1, lMask = 0, lDay = 0, lMonth = 0, lPos = 0;
    bool bHasDay = false;
    _Recurrence r;
    ForEachChild(pRule, [&](const std::wstring& wsName, IXMLDOMElement* p) {
        if (wsName == L"interval")
            lInterval = ToLong(Attr(p, L"ival"));
        else if (wsName == L"byday")
            lMask = DayMask(p);
        else if (wsName == L"bymonthday")
            lDay = ToLong(Attr(p, L"modaylist")), bHasDay = true;
        else if (wsName == L"bymonth")
            lMonth = ToLong(Attr(p, L"molist"));
        else if (wsName == L"bysetpos")
            lPos = ToLong(Attr(p, L"poslist"));
        else if (wsName == L"count")
            r.dEndValue = static_cast<double>(std::max<LONG>(0, ToLong(Attr(p, L"num"))));
        else if (wsName == L"until") {
            const std::wstring wsUntil = Attr(p, L"d").value_or(L"");
            FILETIME ft{};
            if (!wsUntil.empty() && ConvertDateStringToUTC(wsUntil.c_str(), pZone, &ft)) {
                r.lEndByDate = 1;
                r.ftEndDate = ft;
                r.dEndValue = LocalDate(wsUntil, pZone);
            }
        }
        return true;
    });
    if (lInterval < 1)
        lInterval = 1;
    if (lPos < 0 || lPos > 5)
        lPos = 5;
    if (wsFreq == L"DAI" && lMask == DayOfWeek::kWeekdays) {
        r.type = RecurrenceType::Weekly;
        r.lParam1 = 0, r.lParam2 = lMask;
    } else if (wsFreq == L"DAI") {
        r.type = RecurrenceType::Daily;
        r.lParam1 = lInterval, r.lParam2 = lMask;
    } else if (wsFreq == L"WEE") {
        r.type = RecurrenceType::Weekly;
        r.lParam1 = lInterval, r.lParam2 = lMask;
    } else if (wsFreq == L"MON" && lMask && lPos) {
        r.type = RecurrenceType::MonthNth;
        r.lParam1 = lInterval, r.lParam2 = lPos, r.lParam3 = lMask;
    } else if (wsFreq == L"MON" && bHasDay) {
        r.type = RecurrenceType::Monthly;
        r.lParam1 = lInterval, r.lParam2 = lDay;
    } else if (wsFreq == L"YEA" && lMask && lPos) {
        r.type = RecurrenceType::YearNth;
        r.lParam1 = lPos, r.lParam2 = lMask, r.lParam3 = lMonth;
    } else if (wsFreq == L"YEA" && bHasDay) {
        r.type = RecurrenceType::Yearly;
        r.lParam1 = lDay, r.lParam2 = lMonth;
    } else {
        OSTLOG_WARN(L"Unsupported recurrence rule '%s' -- item read as not recurring", wsFreq.c_str());
        return;
    }
    comp.SetRecurrence(r);
}

void ReadRecurrence(Comp& comp, IXMLDOMElement* pRecur, const TimeZone* pZone) {
    ForEachChild(pRecur, [&](const std::wstring& wsName, IXMLDOMElement* p) {
        if (wsName == L"add") {
            if (Element rule = FirstChild(p, L"rule"))
                ReadRule(comp, rule.Get(), pZone);
        } else if (wsName == L"exclude") {
            ForEachChild(p, [&](const std::wstring& wsDates, IXMLDOMElement* pDates) {
                if (wsDates == L"dates")
                    ForEachChild(pDates, [&](const std::wstring& wsDt, IXMLDOMElement* pDt) {
                        if (wsDt == L"dtval")
                            if (Element s = FirstChild(pDt, L"s"))
                                if (auto owsD = Attr(s.Get(), L"d"))
                                    comp.addExcludeNodeRecurId(owsD->c_str());
                        return true;
                    });
                return true;
            });
        }
        return true;
    });
}

void ReadAlarm(Comp& comp, IXMLDOMElement* pAlarm, bool bTask) {
    std::optional<std::wstring> owsDesc, owsXName, owsXValue, owsAbs;
    LONG lMinutes = 0;
    ForEachChild(pAlarm, [&](const std::wstring& wsName, IXMLDOMElement* p) {
        if (wsName == L"trigger") {
            if (Element rel = FirstChild(p, L"rel")) {
                lMinutes = ToLong(Attr(rel.Get(), L"m")) + 60 * ToLong(Attr(rel.Get(), L"h")) +
                           1440 * ToLong(Attr(rel.Get(), L"d"));
                if (!IsOne(Attr(rel.Get(), L"neg")))
                    lMinutes = -lMinutes;
            } else if (Element abs = FirstChild(p, L"abs")) {
                owsAbs = Attr(abs.Get(), L"d");
            }
        } else if (wsName == L"desc") {
            std::wstring ws;
            p->get_text(ws);
            owsDesc = ws;
        } else if (wsName == L"xprop") {
            owsXName = Attr(p, L"name");
            owsXValue = Attr(p, L"value");
        }
        return true;
    });
    if (bTask || owsAbs)
        comp.SetAlarm(TRUE, OrNull(owsAbs), OrNull(owsDesc), OrNull(owsXName), OrNull(owsXValue));
    else
        comp.SetAlarm(TRUE, lMinutes, OrNull(owsDesc), OrNull(owsXName), OrNull(owsXValue));
}

void ReadTaskXProp(Comp& comp, IXMLDOMElement* p) {
    const std::wstring wsName = Attr(p, L"name").value_or(L"");
    const auto owsValue = Attr(p, L"value");
    if (wsName == L"X-OSTREL-TASK-TOTAL-WORK")
        comp.SetTotalWork(ToLong(owsValue));
    else if (wsName == L"X-OSTREL-TASK-ACTUAL-WORK")
        comp.SetActualWork(ToLong(owsValue));
    else if (wsName == L"X-OSTREL-TASK-COMPANIES")
        comp.SetCompanies(OrNull(owsValue));
    else if (wsName == L"X-OSTREL-TASK-MILEAGE")
        comp.SetMileage(OrNull(owsValue));
    else if (wsName == L"X-OSTREL-TASK-BILLING")
        comp.SetBillingInfo(OrNull(owsValue));
}

LONG Sensitivity(const std::optional<std::wstring>& owsClass) {
    if (!owsClass || *owsClass == L"PUB")
        return 0;
    return *owsClass == L"CON" ? 3 : 2;
}

void ReadInvAttributes(Inv& inv, Comp& comp, IXMLDOMElement* p, bool bTask) {
    inv.SetReply(Attr(p, L"method").value_or(L"") == L"REPLY");
    if (auto ows = Attr(p, L"fb"))
        comp.SetBusyStatus(ows->c_str());
    if (auto ows = Attr(p, L"fba"))
        comp.SetIntendedBusyStatus(ows->c_str());
    else
        comp.SetIntendedBusyStatus(comp.GetBusyStatus());
    comp.SetOpaque(Attr(p, L"transp").value_or(L"O") != L"T");
    comp.SetIsAllDay(IsOne(Attr(p, L"allDay")));
    comp.SetSubject(OrNull(Attr(p, L"name")));
    comp.SetLocation(OrNull(Attr(p, L"loc")));
    inv.SetSeqId(ToLong(Attr(p, L"seq")));
    comp.SetUpdateUnixTime(ToInt64(Attr(p, L"d")) / 1000);
    comp.SetItemSensitivity(Sensitivity(Attr(p, L"class")));
    comp.SetIsNeverSent(IsOne(Attr(p, L"neverSent")));
    comp.SetIsDraft(IsOne(Attr(p, L"draft")));
    comp.SetIsOrganizer(IsOne(Attr(p, L"isOrg")));
    comp.SetNeedRSVP(IsOne(Attr(p, L"rsvp")));
    const auto owsStatus = Attr(p, L"status");
    if (bTask) {
        comp.SetTaskStatus(OrNull(owsStatus));
        const LONG lPercent = ToLong(Attr(p, L"percentComplete"));
        comp.SetPercentComplete(lPercent < 0 ? 0 : lPercent > 100 ? 100 : lPercent);
        if (auto ows = Attr(p, L"priority"))
            comp.SetImportance(ows->c_str());
        if (auto ows = Attr(p, L"completed")) {
            const double d = DateStringToLocalDouble(ows->c_str());
            if (d > 0)
                comp.SetCompletedDate(d);
        }
    } else if (owsStatus) {
        comp.SetStatus(owsStatus->c_str());
        comp.SetResponseStatus(owsStatus->c_str());
    } else {
        comp.SetResponseStatus(Comp::ResponseStatus::NONE);
    }
}

// The `inv` element: attributes, then dates, people, rule, alarm and extended properties.
void ReadInv(Inv& inv, Comp& comp, IXMLDOMElement* pInv, bool bTask) {
    ReadInvAttributes(inv, comp, pInv, bTask);
    ForEachChild(pInv, [&](const std::wstring& wsName, IXMLDOMElement* p) {
        const auto owsDate = Attr(p, L"d");
        const auto owsTz = Attr(p, L"tz");
        TimeZone* pZone = owsTz ? inv.TimeZoneById(owsTz->c_str()) : nullptr;
        if (wsName == L"s" && owsDate) {
            comp.SetStartDateString(owsDate->c_str());
            comp.SetStartDateTimeZone(pZone);
            comp.SetStartDate(LocalDate(*owsDate, pZone));
        } else if (wsName == L"e" && owsDate) {
            comp.SetEndDateString(owsDate->c_str());
            comp.SetEndDateTimeZone(pZone);
            comp.SetEndDate(LocalDate(*owsDate, pZone));
        } else if (wsName == L"dur") {
            comp.SetDuration(ToLong(Attr(p, L"m")) + 60 * ToLong(Attr(p, L"h")) + 1440 * ToLong(Attr(p, L"d")));
        } else if (wsName == L"exceptId" && owsDate) {
            // The instance it replaces, with its zone as "TZID=zone:date" when it has one.
            inv.SetRecurId(owsTz ? (L"TZID=" + *owsTz + L":" + *owsDate).c_str() : owsDate->c_str());
            comp.SetIsException(TRUE);
            comp.SetOrigDate(LocalDate(*owsDate, pZone));
        } else if (wsName == L"or") {
            comp.addOrganizerPart(ReadAttendee(p, true));
        } else if (wsName == L"at") {
            comp.addAttendeePart(ReadAttendee(p, false));
        } else if (wsName == L"recur") {
            ReadRecurrence(comp, p, comp.GetStartDateTimeZone());
        } else if (wsName == L"alarm") {
            ReadAlarm(comp, p, bTask);
        } else if (wsName == L"xprop" && bTask) {
            ReadTaskXProp(comp, p);
        }
        return true;
    });
}

// An `mp` the server keeps as a file (cd="attachment" or a file name), fetched by its part id.
bool ReadAttachmentPart(Inv& inv, IXMLDOMElement* pMp) {
    auto owsPart = Attr(pMp, L"part");
    auto owsName = Attr(pMp, L"filename");
    if (!owsPart || owsPart->empty() || (Attr(pMp, L"cd").value_or(L"") != L"attachment" && !owsName))
        return false;
    InvAttachment attachment;
    attachment.wsPart = std::move(*owsPart);
    attachment.wsName = owsName.value_or(L"");
    attachment.wsContentType = Attr(pMp, L"ct").value_or(L"");
    // A size that is not a plain 32-bit count is left unknown rather than guessed.
    const std::wstring wsSize = Attr(pMp, L"s").value_or(L"");
    if (!wsSize.empty() && wsSize.size() <= 10 &&
        std::all_of(wsSize.begin(), wsSize.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; }) &&
        ToInt64(wsSize) <= UINT32_MAX) {
        attachment.bHasSize = true;
        attachment.ulSize = static_cast<ULONG>(ToInt64(wsSize));
    }
    inv.AddAttachmentPart(std::move(attachment));
    return true;
}

void ReadBody(Inv& inv, Comp& comp, IXMLDOMElement* pMp) {
    const std::wstring wsType = Attr(pMp, L"ct").value_or(L"");
    if (wsType.rfind(L"multipart/", 0) == 0) {
        ForEachChild(pMp, [&](const std::wstring& wsName, IXMLDOMElement* p) {
            if (wsName == L"mp")
                ReadBody(inv, comp, p);
            return true;
        });
        return;
    }
    if (ReadAttachmentPart(inv, pMp))
        return;
    Element content = FirstChild(pMp, L"content");
    if (!content)
        return;
    std::wstring wsText;
    content->get_text(wsText);
    if (wsType == L"text/plain" && !inv.GetBody()) {
        inv.SetBody(wsText.c_str());
        comp.SetDesc(wsText.c_str());
    } else if (wsType == L"text/html" && !inv.GetHTML()) {
        inv.SetHTML(wsText.c_str());
        comp.SetDescHtml(wsText.c_str());
    }
}

// One `default`, `except` or `cancel` element; null when it holds no invitation.
Inv* ReadInstance(IXMLDOMElement* pElement, bool bTask) {
    Element m = FirstChild(pElement, L"m");
    if (!m)
        return nullptr;
    Element invElement = FirstChild(m.Get(), L"inv");
    if (!invElement)
        return nullptr;
    Inv* pInv = Inv::createInv();
    Comp* pComp = Comp::createComp();
    if (!pInv || !pComp) {
        Inv::destroy(pInv);
        Comp::destroy(pComp);
        return nullptr;
    }
    pInv->addCompPart(pComp);
    pInv->SetId(ToLong(Attr(m.Get(), L"id")));
    pComp->SetIsTask(bTask);
    // The description travels inline: there is no MIME blob to convert.
    pComp->SetIsNoBlob(TRUE);
    if (auto ows = Attr(pElement, L"ptst"))
        pComp->SetMyPartStatus(ows->c_str());
    ForEachChild(m.Get(), [&](const std::wstring& wsName, IXMLDOMElement* p) {
        if (wsName == L"tz")
            ReadZone(*pInv, p);
        return true;
    });
    ReadInv(*pInv, *pComp, invElement.Get(), bTask);
    ForEachChild(m.Get(), [&](const std::wstring& wsName, IXMLDOMElement* p) {
        if (wsName == L"su" && !pComp->GetSubject()) {
            std::wstring ws;
            p->get_text(ws);
            pComp->SetSubject(ws.c_str());
        } else if (wsName == L"mp") {
            ReadBody(*pInv, *pComp, p);
        }
        return true;
    });
    return pInv;
}

}  // namespace

AppointmentPtr ReadCalendarItem(IXMLDOMNode* pItem, std::wstring& wsError) {
    Element item;
    if (!pItem || FAILED(ComPtr<IXMLDOMNode>(pItem).As(&item)) || !item) {
        wsError = L"no calendar item in the reply";
        return nullptr;
    }
    std::wstring wsKind;
    item->get_baseName(wsKind);
    const bool bTask = wsKind == L"task";
    AppointmentPtr pAppt(Appointment::createAppointment());
    if (!pAppt) {
        wsError = L"out of memory";
        return nullptr;
    }
    pAppt->SetId(OrNull(Attr(item.Get(), L"id")));
    pAppt->SetUid(OrNull(Attr(item.Get(), L"uid")));
    pAppt->SetParentFolder(ToLong(Attr(item.Get(), L"l")));
    pAppt->SetModified(ToLong(Attr(item.Get(), L"md")));
    FILETIME ftAlarm{};
    if (const int64_t llAlarmMs = ToInt64(Attr(item.Get(), L"nextAlarm"));
        llAlarmMs > 0 && Util::UnixTimeToFileTime(llAlarmMs / 1000, &ftAlarm))
        pAppt->SetNextAlarm(ftAlarm);
    if (auto ows = Attr(item.Get(), L"t")) {
        for (size_t i = 0; i < ows->size();) {
            size_t j = ows->find(L',', i);
            if (j == std::wstring::npos)
                j = ows->size();
            if (j > i)
                pAppt->addTagId(ToLong(ows->substr(i, j - i)));
            i = j + 1;
        }
    }
    if (auto ows = Attr(item.Get(), L"tn")) {
        for (size_t i = 0; i < ows->size();) {
            size_t j = ows->find(L',', i);
            if (j == std::wstring::npos)
                j = ows->size();
            if (j > i)
                pAppt->addTagName(ows->substr(i, j - i).c_str());
            i = j + 1;
        }
    }
    std::vector<Inv*> vecCancels;
    ForEachChild(item.Get(), [&](const std::wstring& wsName, IXMLDOMElement* p) {
        if (wsName == L"default" && !pAppt->HasDefaultInv()) {
            if (Inv* pInv = ReadInstance(p, bTask))
                pAppt->SetDefaultInv(pInv);
        } else if (wsName == L"except") {
            pAppt->addException(ReadInstance(p, bTask));
        } else if (wsName == L"cancel") {
            if (Inv* pInv = ReadInstance(p, bTask)) {
                pAppt->addCancelException(pInv);
                vecCancels.push_back(pInv);
            }
        }
        return true;
    });
    if (!pAppt->HasDefaultInv()) {
        wsError = L"the calendar item has no series";
        return nullptr;
    }
    // A cancelled instance is also removed from the series by its recurrence id.
    Comp* pSeries = pAppt->GetDefaultInv()->CompAt(0);
    for (Inv* pCancel : vecCancels)
        if (pCancel->GetRecurId())
            pSeries->addCancelNodeRecurId(pCancel->GetRecurId());
    return pAppt;
}

AppointmentPtr ReadCalendarReply(IXMLDOMDocument2* pDocument, std::wstring& wsError) {
    if (!pDocument) {
        wsError = L"no reply";
        return nullptr;
    }
    pDocument->setProperty(L"SelectionLanguage", L"XPath");
    pDocument->setProperty(L"SelectionNamespaces", Rpc::Soap::kSelectionNamespaces);
    ComPtr<IXMLDOMNode> item;
    if (pDocument->selectSingleNode(L"/soap:Envelope/soap:Body/*/*[local-name()='appt' or local-name()='task']",
                                    item.AddressOf()) != S_OK) {
        wsError = L"no calendar item in the reply";
        return nullptr;
    }
    return ReadCalendarItem(item.Get(), wsError);
}

AppointmentPtr ReadCalendarReplyXml(std::string_view xml, std::wstring& wsError) {
    ComPtr<IXMLDOMDocument2> doc;
    if (FAILED(Platform::Xml::CreateDocument(doc.AddressOf())) || !doc) {
        wsError = L"no XML document";
        return nullptr;
    }
    if (doc->loadXMLBytes(xml) != S_OK) {
        wsError = L"the reply is not well-formed XML";
        return nullptr;
    }
    return ReadCalendarReply(doc.Get(), wsError);
}

}  // namespace Ostrel::Mail

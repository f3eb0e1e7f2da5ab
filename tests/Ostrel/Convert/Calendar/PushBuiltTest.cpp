// Items made in the store as the client makes them (every recurrence pattern; instances moved,
// renamed, relocated and deleted; all-day items east and west of UTC; a zone whose rules changed)
// pushed to the simulator and read back into the store. What the user sees of the item (subject,
// location, times, all-day, the rule, every instance) must come back unchanged, and a second round
// trip must change nothing at all.
#include "PushTestSupport.h"

#include "Ostrel/Convert/Calendar/OLToOstrel.h"
#include "Ostrel/Rpc/Requests/CalendarReader.h"
#include "Ostrel/Store/Calendar/Appt.h"
#include "Ostrel/Store/NamedProps.h"
#include "Platform/Mapi/Store/OsdStore.h"
#include "Support/Files.h"
#include "Support/TempHome.h"
#include "Util/Time/TimeUtil.h"
#include "ostrel-server/Calendar.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwctype>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <vector>

namespace CalendarTest {
namespace {

using Ostrel::Mail::TimeZone;
using Ostrel::Mapi::Appt;
using Ostrel::Mapi::COutlookRecurrenceException;
using Ostrel::Mapi::COutlookRecurrencePattern;

struct Zone {
    const wchar_t* pwszId;
    LONG lStd, lDst;
    // Daylight start and standard start: week, weekday, month, hour (no rules when month is 0).
    LONG dWeek, dDay, dMonth, dHour, sWeek, sDay, sMonth, sHour;
};

const Zone kBerlin{L"Europe/Berlin", 60, 120, 5, 0, 3, 2, 5, 0, 10, 3};
const Zone kNewYork{L"America/New_York", -300, -240, 2, 0, 3, 2, 1, 0, 11, 2};
const Zone kSydney{L"Australia/Sydney", 600, 660, 1, 0, 10, 2, 1, 0, 4, 3};
const Zone kLondon{L"Europe/London", 0, 60, 5, 0, 3, 1, 5, 0, 10, 2};
const Zone kTokyo{L"Asia/Tokyo", 540, 540, 0, 0, 0, 0, 0, 0, 0, 0};
const Zone kAuckland{L"Pacific/Auckland", 720, 780, 5, 0, 9, 2, 1, 0, 4, 3};
const Zone kLosAngeles{L"America/Los_Angeles", -480, -420, 2, 0, 3, 2, 1, 0, 11, 2};

void Fill(TimeZone& tz, const Zone& z) {
    tz.SetId(z.pwszId);
    tz.SetStandardOffset(z.lStd);
    tz.SetDaylightOffset(z.lDst);
    if (z.dMonth) {
        tz.SetDaylightStart(z.dWeek, z.dDay, z.dMonth, z.dHour, 0, 0);
        tz.SetStandardStart(z.sWeek, z.sDay, z.sMonth, z.sHour, 0, 0);
    }
}

FILETIME Utc(const TimeZone& tz, int y, int mo, int d, int h, int mi) {
    SYSTEMTIME wall{static_cast<WORD>(y), static_cast<WORD>(mo), 0, static_cast<WORD>(d),
                    static_cast<WORD>(h), static_cast<WORD>(mi), 0, 0};
    TIME_ZONE_INFORMATION tzi{};
    tz.PopulateTimeZoneInfo(tzi);
    SYSTEMTIME utc{};
    FILETIME ft{};
    EXPECT_TRUE(Ostrel::Util::OsTzSpecificLocalTimeToSystemTime(&tzi, &wall, &utc));
    Ostrel::Util::SystemTimeToFileTime(&utc, &ft);
    return ft;
}

FILETIME Plus(FILETIME ft, LONG lMinutes) {
    return Ostrel::Util::UInt64ToFileTime(Ostrel::Util::FileTimeToUInt64(ft) + lMinutes * 600000000ULL);
}

// What the user sees of an item in its text view: the rest is bookkeeping of the store or the
// server (ids, sender, side effects) that a copy may well differ in.
std::string Essence(const std::string& sView) {
    static const char* const kKept[] = {"0x0037 ",
                                        "Appointment:0x8208 ",
                                        "Appointment:0x820D ",
                                        "Appointment:0x820E ",
                                        "Appointment:0x8215",
                                        "Appointment:0x8205 ",
                                        "m_w",
                                        "m_ul",
                                        "DeletedInstanceDate",
                                        "ModifiedInstanceDate",
                                        "Exception ",
                                        "StartDateTime",
                                        "EndDateTime",
                                        "OriginalStartDate",
                                        "Subject:",
                                        "Location:",
                                        "exception ",
                                        "recurrence:"};
    std::istringstream in(sView);
    std::string out;
    for (std::string line; std::getline(in, line);) {
        const size_t first = line.find_first_not_of(' ');
        const std::string body = first == std::string::npos ? line : line.substr(first);
        if (body.rfind("m_ulWriterVersion2", 0) == 0 || body.rfind("m_ulFirstDayOfWeek", 0) == 0)
            continue;
        for (const char* pszKept : kKept)
            if (body.rfind(pszKept, 0) == 0) {
                out += line + "\n";
                break;
            }
    }
    return out;
}

// A New York definition blob with two rules: the old one (April to October) from 1601 and the
// one in force since 2007 (March to November), as zones whose rules changed are stored.
std::vector<BYTE> ChangedRulesDefinition() {
    std::vector<BYTE> b;
    auto Word = [&](unsigned w) {
        b.push_back(static_cast<BYTE>(w & 0xFF));
        b.push_back(static_cast<BYTE>(w >> 8));
    };
    auto Long = [&](LONG l) {
        Word(static_cast<unsigned>(l) & 0xFFFF);
        Word((static_cast<unsigned>(l) >> 16) & 0xFFFF);
    };
    auto Time = [&](unsigned y, unsigned mo, unsigned week, unsigned h) {
        Word(y), Word(mo), Word(0), Word(week), Word(h), Word(0), Word(0), Word(0);
    };
    const std::u16string key = u"Eastern Standard Time";
    b.push_back(2), b.push_back(1);
    Word(static_cast<unsigned>(6 + 2 * key.size()));
    Word(2);
    Word(static_cast<unsigned>(key.size()));
    for (char16_t c : key)
        Word(c);
    Word(2);
    const struct {
        unsigned year, flags, dMonth, dWeek, sMonth, sWeek;
    } rules[] = {{1601, 0, 4, 1, 10, 5}, {2007, 2, 3, 2, 11, 1}};
    for (const auto& r : rules) {
        b.push_back(2), b.push_back(1);
        Word(0x3E);
        Word(r.flags);
        Time(r.year, 1, 1, 0);
        Long(300), Long(0), Long(-60);
        Time(0, r.sMonth, r.sWeek, 2);
        Time(0, r.dMonth, r.dWeek, 2);
    }
    return b;
}

// The server's reply without what changes from run to run: ids, uids and modification times.
std::string Stable(const std::string& sReply) {
    static const std::regex kVolatile(R"re((<appt id|\buid|\bmd)="[^"]*")re");
    std::string out = std::regex_replace(sReply, kVolatile, "$1=\"*\"");
    // One element per line, for diffs that can be read.
    return std::regex_replace(out, std::regex("><"), ">\n<") + "\n";
}

void ExpectGolden(const std::wstring& wsSubject, const std::string& sReply) {
    std::string sName = "built-";
    for (wchar_t c : wsSubject)
        sName += std::iswalnum(c) ? static_cast<char>(std::towlower(c)) : '-';
    const std::filesystem::path path = TestSupport::DataDir() / "calendar-push" / (sName + ".reply.ref");
    if (std::getenv("OSTREL_REGEN_CALENDAR_PUSH"))
        TestSupport::WriteFile(path, Stable(sReply));
    else
        EXPECT_EQ(Stable(sReply), TestSupport::ReadFile(path)) << path;
}

class PushBuilt : public PushStore {
protected:
    // A new appointment the user organizes, saved.
    Platform::ComPtr<IMessage> NewAppt(const wchar_t* pwszSubject, const Zone& zone, FILETIME ftStart, LONG lMinutes,
                                       bool bAllDay) {
        Platform::ComPtr<IMessage> pMessage;
        EXPECT_EQ(m_pRoot->CreateMessage(nullptr, 0, pMessage.AddressOf()), S_OK);
        SPropValue cls{};
        cls.ulPropTag = PR_MESSAGE_CLASS_W;
        cls.Value.lpszW = const_cast<wchar_t*>(L"IPM.Appointment");
        HrSetOneProp(pMessage.Get(), &cls);
        Fill(m_zone, zone);
        Appt appt(pMessage.Get(), m_pStore.Get());
        appt.InitializeNew();
        appt.SetLegacyTimezone(m_zone);
        appt.SetStartTimezone(m_zone);
        appt.SetEndTimezone(m_zone);
        const FILETIME ftEnd = Plus(ftStart, lMinutes);
        appt.SetStartTime(&ftStart, &m_zone);
        appt.SetEndTime(&ftEnd, &m_zone);
        appt.SetClipStartTime(&ftStart);
        appt.SetClipEndTime(&ftEnd);
        appt.SetDuration(lMinutes);
        appt.SetAllDay(bAllDay);
        appt.SetSubject(pwszSubject);
        appt.SetLocation(L"Room 1");
        appt.SetBusyStatus(2);
        appt.SetResponseStatus(1);
        appt.SetMeetingStatus(0);
        appt.SetReminderSet(TRUE);
        appt.SetReminderMinutes(15);
        EXPECT_EQ(appt.Save(), S_OK);
        return pMessage;
    }

    // Makes the item recurring with the rule `rule` gives.
    void MakeRecurring(IMessage* pMessage, FILETIME ftStart, LONG lMinutes,
                       const std::function<void(COutlookRecurrencePattern&)>& rule) {
        Appt appt(pMessage, m_pStore.Get());
        COutlookRecurrencePattern& pattern = appt.GetRecurrencePatternRef();
        pattern.SetOutlookRecurrencePatternTZ(m_zone);
        pattern.SetStartDateTime(ftStart);
        pattern.SetEndDateTime(Plus(ftStart, lMinutes));
        rule(pattern);
        ASSERT_EQ(pattern.SaveRecurrence(), S_OK);
        ASSERT_EQ(appt.Save(), S_OK);
    }

    // Changes or deletes the occurrence that starts at ftOriginal.
    void ChangeOccurrence(IMessage* pMessage, FILETIME ftOriginal, const wchar_t* pwszSubject,
                          const wchar_t* pwszLocation, LONG lMoveMinutes, bool bDelete = false) {
        Appt appt(pMessage, m_pStore.Get());
        COutlookRecurrencePattern& pattern = appt.GetRecurrencePatternRef();
        ASSERT_EQ(pattern.LoadRecurrence(nullptr, nullptr, 0), S_OK);
        pattern.SetOutlookRecurrencePatternTZ(m_zone);
        int iCreated = 0;
        COutlookRecurrenceException* pException = pattern.GetOccurrence(ftOriginal, &iCreated);
        ASSERT_NE(pException, nullptr);
        if (bDelete) {
            pException->SetDeleted(true);
        } else {
            Platform::ComPtr<IMessage> pEmbedded;
            Platform::ComPtr<IAttach> pAttach;
            ASSERT_EQ(pException->OpenAppointment(pMessage, pEmbedded.AddressOf(), pAttach.AddressOf()), S_OK);
            Appt instance(pEmbedded.Get(), m_pStore.Get(), Appt::ExceptionContext{pAttach.Get(), pException});
            FILETIME ftStart{}, ftEnd{};
            appt.GetStartTime(&ftStart);
            appt.GetEndTime(&ftEnd);
            const LONG lLength = static_cast<LONG>(
                (Ostrel::Util::FileTimeToUInt64(ftEnd) - Ostrel::Util::FileTimeToUInt64(ftStart)) / 600000000ULL);
            const FILETIME ftNewStart = Plus(ftOriginal, lMoveMinutes), ftNewEnd = Plus(ftNewStart, lLength);
            SPropValue cls{};
            cls.ulPropTag = PR_MESSAGE_CLASS_W;
            cls.Value.lpszW = const_cast<wchar_t*>(L"IPM.OLE.CLASS.{00061055-0000-0000-C000-000000000046}");
            HrSetOneProp(pEmbedded.Get(), &cls);
            BOOL bAllDay = FALSE;
            appt.GetAllDay(&bAllDay);
            instance.SetAllDay(bAllDay);
            instance.SetLegacyTimezone(m_zone);
            instance.SetStartTime(&ftNewStart, &m_zone);
            instance.SetEndTime(&ftNewEnd, &m_zone);
            instance.SetDuration(lLength);
            instance.SetBusyStatus(2);
            instance.SetResponseStatus(1);
            instance.SetSubject(pwszSubject);
            instance.SetLocation(pwszLocation);
            pException->SetSubject(pwszSubject);
            pException->SetLocation(pwszLocation);
            ASSERT_EQ(instance.Save(), S_OK);
            ASSERT_EQ(pAttach->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
        }
        ASSERT_EQ(pattern.SaveRecurrence(), S_OK);
        ASSERT_EQ(appt.Save(), S_OK);
    }

    // Two round trips: the first keeps what the user sees, the second changes nothing. What the
    // server stored of the first is held against tests/data/calendar-push/built-<subject>.reply.ref.
    void ExpectRoundTrip(IMessage* pMessage) {
        std::wstring wsSubject;
        Appt(pMessage, m_pStore.Get()).GetSubject(&wsSubject);
        RoundTrip first = PushAndBack(pMessage, false);
        ASSERT_EQ(first.back.iResult, 1);
        ExpectGolden(wsSubject, first.sReply);
        EXPECT_EQ(first.back.wsWarning, L"");
        EXPECT_EQ(LineDiff(Essence(first.sBefore), Essence(first.sAfter)), "") << first.sReply;
        RoundTrip second = PushAndBack(first.back.pMessage.Get(), false);
        ASSERT_EQ(second.back.iResult, 1);
        EXPECT_EQ(LineDiff(first.sAfter, second.sAfter), "") << second.sReply;
    }

    TimeZone m_zone;
};

TEST_F(PushBuilt, SingleAndAllDayItemsEastAndWestOfUtc) {
    Fill(m_zone, kNewYork);
    ExpectRoundTrip(NewAppt(L"Dentist", kNewYork, Utc(m_zone, 2024, 7, 3, 16, 30), 45, false).Get());
    Fill(m_zone, kSydney);
    ExpectRoundTrip(NewAppt(L"Holiday", kSydney, Utc(m_zone, 2024, 12, 26, 0, 0), 1440, true).Get());
    Fill(m_zone, kLosAngeles);
    ExpectRoundTrip(NewAppt(L"Conference", kLosAngeles, Utc(m_zone, 2024, 3, 9, 0, 0), 3 * 1440 - 60, true).Get());
    Fill(m_zone, kAuckland);
    auto pWeekly = NewAppt(L"Market day", kAuckland, Utc(m_zone, 2024, 1, 6, 0, 0), 1440, true);
    MakeRecurring(pWeekly.Get(), Utc(m_zone, 2024, 1, 6, 0, 0), 1440, [](COutlookRecurrencePattern& p) {
        p.SetRecurrenceType(COutlookRecurrencePattern::olRecursWeekly);
        p.SetInterval(1);
        p.SetDayOfWeekMask(0x40);
        p.SetOccurrences(6);
    });
    ChangeOccurrence(pWeekly.Get(), Utc(m_zone, 2024, 1, 20, 0, 0), L"Market day (harbour)", L"Harbour", 0);
    ExpectRoundTrip(pWeekly.Get());
}

TEST_F(PushBuilt, EveryRecurrencePatternWithChangedAndDeletedInstances) {
    struct Case {
        const wchar_t* pwszSubject;
        const Zone& zone;
        int y, mo, d, h;
        std::function<void(COutlookRecurrencePattern&)> rule;
        // Instances (wall dates at the series' time) to move, rename and relocate, and to delete.
        int changedDay, deletedDay;
    };
    const Case cases[] = {
        {L"Stand-up", kBerlin, 2024, 3, 25, 9,
         [](COutlookRecurrencePattern& p) {
             p.SetRecurrenceType(COutlookRecurrencePattern::olRecursDaily);
             p.SetInterval(2);
             p.SetOccurrences(8);
         },
         27, 29},
        {L"Weekdays", kLondon, 2024, 10, 21, 8,
         [](COutlookRecurrencePattern& p) {
             p.SetRecurrenceType(COutlookRecurrencePattern::olRecursWeekly);
             p.SetInterval(1);
             p.SetDayOfWeekMask(62);
             p.SetNoEndDate(true);
         },
         28, 30},
        {L"Review", kNewYork, 2024, 3, 5, 15,
         [](COutlookRecurrencePattern& p) {
             p.SetRecurrenceType(COutlookRecurrencePattern::olRecursWeekly);
             p.SetInterval(2);
             p.SetDayOfWeekMask(0x4 | 0x10);
             FILETIME ftEnd{};
             SYSTEMTIME st{2024, 6, 0, 27, 0, 0, 0, 0};
             Ostrel::Util::SystemTimeToFileTime(&st, &ftEnd);
             p.SetEndDate(ftEnd);
         },
         19, 21},
        {L"Rent", kSydney, 2024, 1, 15, 10,
         [](COutlookRecurrencePattern& p) {
             p.SetRecurrenceType(COutlookRecurrencePattern::olRecursMonthly);
             p.SetInterval(1);
             p.SetDayOfMonth(15);
             p.SetOccurrences(12);
         },
         0, 0},
        {L"Board", kLondon, 2024, 1, 9, 14,
         [](COutlookRecurrencePattern& p) {
             p.SetRecurrenceType(COutlookRecurrencePattern::olRecursMonthNth);
             p.SetInterval(1);
             p.SetInstance(2);
             p.SetDayOfWeekMask(0x4);
             p.SetOccurrences(10);
         },
         0, 0},
        {L"Payday drinks", kNewYork, 2024, 1, 26, 17,
         [](COutlookRecurrencePattern& p) {
             p.SetRecurrenceType(COutlookRecurrencePattern::olRecursMonthNth);
             p.SetInterval(1);
             p.SetInstance(5);
             p.SetDayOfWeekMask(0x20);
             p.SetNoEndDate(true);
         },
         0, 0},
        {L"Anniversary", kTokyo, 2024, 3, 14, 19,
         [](COutlookRecurrencePattern& p) {
             p.SetRecurrenceType(COutlookRecurrencePattern::olRecursYearly);
             p.SetDayOfMonth(14);
             p.SetMonthOfYear(3);
             p.SetOccurrences(5);
         },
         0, 0},
        {L"Clocks back", kBerlin, 2024, 10, 27, 11,
         [](COutlookRecurrencePattern& p) {
             p.SetRecurrenceType(COutlookRecurrencePattern::olRecursYearNth);
             p.SetInstance(5);
             p.SetDayOfWeekMask(0x1);
             p.SetMonthOfYear(10);
             p.SetNoEndDate(true);
         },
         0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.pwszSubject)));
        Fill(m_zone, c.zone);
        const FILETIME ftStart = Utc(m_zone, c.y, c.mo, c.d, c.h, 0);
        auto pItem = NewAppt(c.pwszSubject, c.zone, ftStart, 60, false);
        MakeRecurring(pItem.Get(), ftStart, 60, c.rule);
        if (c.changedDay) {
            ChangeOccurrence(pItem.Get(), Utc(m_zone, c.y, c.mo, c.changedDay, c.h, 0), L"Moved and renamed",
                             L"Elsewhere", 150);
            ChangeOccurrence(pItem.Get(), Utc(m_zone, c.y, c.mo, c.deletedDay, c.h, 0), nullptr, nullptr, 0, true);
        }
        ExpectRoundTrip(pItem.Get());
    }
}

TEST_F(PushBuilt, ZoneWhoseRulesChangedKeepsItsTimes) {
    // 20 March falls in daylight time by the rules of 2007 on, in standard time by the old ones.
    Fill(m_zone, kNewYork);
    const FILETIME ftStart = Utc(m_zone, 2024, 3, 20, 10, 0);
    auto pItem = NewAppt(L"Spring planning", kNewYork, ftStart, 60, false);
    Ostrel::Mapi::NamedProps* pProps = Ostrel::Mapi::NamedPropsManager::GetNamedPropsFromMAPIProp(m_pStore.Get());
    std::vector<BYTE> def = ChangedRulesDefinition();
    for (auto idx : {Ostrel::Mapi::NamedProps::APPT_825E, Ostrel::Mapi::NamedProps::APPT_825F}) {
        SPropValue v{};
        v.ulPropTag = NAMED_PROP(idx, PT_BINARY, pProps);
        v.Value.bin = SBinary{static_cast<ULONG>(def.size()), def.data()};
        ASSERT_EQ(HrSetOneProp(pItem.Get(), &v), S_OK);
    }
    ASSERT_EQ(pItem->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    ExpectRoundTrip(pItem.Get());
    RoundTrip trip = PushAndBack(pItem.Get(), false);
    EXPECT_NE(trip.sReply.find("<s d=\"20240320T140000Z\" tz=\"America/New_York\"/>"), std::string::npos);
    EXPECT_NE(trip.sReply.find("<daylight week=\"2\" wkday=\"1\" mon=\"3\""), std::string::npos) << trip.sReply;
}

// A short digest of bytes, for failure messages that stay readable.
std::string Digest(const std::string& s) {
    uint32_t h = 2166136261u;
    for (unsigned char c : s)
        h = (h ^ c) * 16777619u;
    char sz[9];
    std::snprintf(sz, sizeof sz, "%08x", h);
    return sz;
}

// What the server keeps of an instance's attachments: "name|type|size|digest of the bytes" each.
std::vector<std::string> Kept(const OstrelServer::CalendarItem& item, const OstrelServer::CalNode& instance) {
    std::vector<std::string> kept;
    const OstrelServer::CalNode* pM = instance.Child("m");
    for (const OstrelServer::CalNode& mp : pM ? pM->children : std::vector<OstrelServer::CalNode>{}) {
        const std::string* pPart = mp.Attr("part");
        if (mp.name != "mp" || !mp.Attr("cd") || !pPart)
            continue;
        auto found = item.parts.find(*pPart);
        kept.push_back((mp.Attr("filename") ? *mp.Attr("filename") : "") + "|" + *mp.Attr("ct") + "|" + *mp.Attr("s") +
                       "|" + (found == item.parts.end() ? "none" : Digest(found->second.content)));
    }
    return kept;
}

TEST_F(PushBuilt, ATaskSendsItsAttachmentsToo) {
    Platform::ComPtr<IMessage> pTask;
    ASSERT_EQ(m_pRoot->CreateMessage(nullptr, 0, pTask.AddressOf()), S_OK);
    SPropValue v[2]{};
    v[0].ulPropTag = PR_MESSAGE_CLASS_W, v[0].Value.lpszW = const_cast<wchar_t*>(L"IPM.Task");
    v[1].ulPropTag = PR_SUBJECT_W, v[1].Value.lpszW = const_cast<wchar_t*>(L"Quarterly report");
    ASSERT_EQ(pTask->SetProps(2, v, nullptr), S_OK);
    const std::string sDoc("PK\x03\x04 draft", 10);
    // Types go without their parameters.
    AddFile(pTask.Get(), L"draft.docx", L"application/msword; name=\"draft.docx\"", sDoc);
    // A name that would end the upload's part header if it were written as it is.
    AddFile(pTask.Get(), L"a\"b\r\nContent-Type: text/html\r\n\r\n\u00e9.txt", L"text/plain\r\nX: y", "x");
    const LONG lId = Push(pTask.Get());
    ASSERT_GT(lId, 0);
    auto item = m_server.State<OstrelServer::CalendarBook>().Get(lId);
    ASSERT_TRUE(item && item->task);
    const std::vector<std::string> kept = Kept(*item, item->series);
    ASSERT_EQ(kept.size(), 2u) << Fetch(lId, true);
    EXPECT_EQ(kept[0], "draft.docx|application/msword|10|" + Digest(sDoc));
    // One part with its bytes as they were, whatever the server made of the name.
    EXPECT_TRUE(kept[1].ends_with("|application/octet-stream|1|" + Digest("x"))) << kept[1];
    for (const auto& [sPart, attachment] : item->parts)
        EXPECT_EQ(attachment.fileName.find_first_of("\r\n"), std::string::npos) << sPart;
}

// The model the converter fills, for the cases where the server's form is fixed by the request
// rather than by what comes back.
class PushModel : public PushBuilt {
protected:
    Ostrel::Mail::AppointmentPtr Model(IMessage* pItem, IAddrBook* pBook = nullptr) {
        Ostrel::Mail::AppointmentPtr p(Ostrel::Mail::Appointment::createAppointment());
        Appt appt(pItem, m_pStore.Get());
        EXPECT_EQ(Ostrel::Mail::OLToOstrelAppt().ConvertAppt(pBook ? pBook : m_pAddrBook.Get(), m_pStore.Get(), appt,
                                                             *p, L"Mailbox User", kUser),
                  S_OK);
        return p;
    }
    static const Ostrel::Mail::Comp& Series(const Ostrel::Mail::AppointmentPtr& p) {
        return *p->GetDefaultInv()->CompAt(0);
    }
    void AddRecipient(IMessage* pItem, const wchar_t* pwszName, const wchar_t* pwszAddress, const wchar_t* pwszType,
                      LONG lFlags, LONG lTrack) {
        SPropValue v[6]{};
        v[0].ulPropTag = PR_DISPLAY_NAME_W, v[0].Value.lpszW = const_cast<wchar_t*>(pwszName);
        v[1].ulPropTag = PR_EMAIL_ADDRESS_W, v[1].Value.lpszW = const_cast<wchar_t*>(pwszAddress);
        v[2].ulPropTag = PR_ADDRTYPE_W, v[2].Value.lpszW = const_cast<wchar_t*>(pwszType);
        v[3].ulPropTag = PR_RECIPIENT_TYPE, v[3].Value.l = 1;
        v[4].ulPropTag = PR_RECIPIENT_FLAGS, v[4].Value.l = lFlags;
        v[5].ulPropTag = PR_RECIPIENT_TRACKSTATUS, v[5].Value.l = lTrack;
        ADRLIST list{1, {ADRENTRY{0, 6, v}}};
        ASSERT_EQ(pItem->ModifyRecipients(MODRECIP_ADD, &list), S_OK);
        ASSERT_EQ(pItem->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    }
    // A recipient of the organization's directory: an EX address, with the directory's entry id
    // or the SMTP address the row already carries.
    void AddDirectoryRecipient(IMessage* pItem, const wchar_t* pwszName, const wchar_t* pwszDn,
                               const std::string& sEntryId, const wchar_t* pwszSmtp, LONG lFlags) {
        SPropValue v[7]{};
        ULONG c = 0;
        v[c].ulPropTag = PR_DISPLAY_NAME_W, v[c++].Value.lpszW = const_cast<wchar_t*>(pwszName);
        v[c].ulPropTag = PR_EMAIL_ADDRESS_W, v[c++].Value.lpszW = const_cast<wchar_t*>(pwszDn);
        v[c].ulPropTag = PR_ADDRTYPE_W, v[c++].Value.lpszW = const_cast<wchar_t*>(L"EX");
        v[c].ulPropTag = PR_RECIPIENT_TYPE, v[c++].Value.l = 1;
        v[c].ulPropTag = PR_RECIPIENT_FLAGS, v[c++].Value.l = lFlags;
        if (!sEntryId.empty()) {
            v[c].ulPropTag = PR_ENTRYID;
            v[c++].Value.bin = SBinary{static_cast<ULONG>(sEntryId.size()),
                                       reinterpret_cast<LPBYTE>(const_cast<char*>(sEntryId.data()))};
        }
        if (pwszSmtp)
            v[c].ulPropTag = PR_SMTP_ADDRESS_W, v[c++].Value.lpszW = const_cast<wchar_t*>(pwszSmtp);
        ADRLIST list{1, {ADRENTRY{0, c, v}}};
        ASSERT_EQ(pItem->ModifyRecipients(MODRECIP_ADD, &list), S_OK);
        ASSERT_EQ(pItem->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    }
};

// An address book with directory entries (EX addresses) known by entry id, each opening to an
// object that carries its SMTP address; other entries go to the session's book.
class DirectoryBook : public IAddrBook {
public:
    explicit DirectoryBook(IAddrBook* pInner) : m_pInner(pInner) {}
    void Add(const std::string& sEntryId, const std::wstring& wsSmtp) { m_entries[sEntryId] = wsSmtp; }

    HRESULT QueryInterface(REFIID, void** ppv) override {
        *ppv = this;
        return S_OK;
    }
    ULONG AddRef() override { return 1; }
    ULONG Release() override { return 1; }
    HRESULT OpenEntry(ULONG cb, LPENTRYID pEntryId, LPCIID pIid, ULONG ulFlags, ULONG* pulType,
                      LPUNKNOWN* ppUnk) override {
        auto found = m_entries.find(std::string(reinterpret_cast<const char*>(pEntryId), cb));
        if (found == m_entries.end())
            return m_pInner->OpenEntry(cb, pEntryId, pIid, ulFlags, pulType, ppUnk);
        Platform::ComPtr<IMessage> pUser;
        HRESULT hr = Platform::CreateTemporaryMessage(pUser.AddressOf());
        SPropValue smtp{};
        smtp.ulPropTag = PR_SMTP_ADDRESS_W;
        smtp.Value.lpszW = const_cast<wchar_t*>(found->second.c_str());
        if (SUCCEEDED(hr))
            hr = HrSetOneProp(pUser.Get(), &smtp);
        *pulType = MAPI_MAILUSER;
        *ppUnk = SUCCEEDED(hr) ? pUser.Detach() : nullptr;
        return hr;
    }
    // The conversion only opens entries.
    HRESULT CompareEntryIDs(ULONG, LPENTRYID, ULONG, LPENTRYID, ULONG, ULONG*) override { return E_NOTIMPL; }
    HRESULT CreateOneOff(LPTSTR, LPTSTR, LPTSTR, ULONG, ULONG*, LPENTRYID*) override { return E_NOTIMPL; }
    HRESULT ResolveName(ULONG_PTR, ULONG, LPTSTR, LPADRLIST) override { return E_NOTIMPL; }
    HRESULT GetLastError(HRESULT, ULONG, LPMAPIERROR*) override { return E_NOTIMPL; }
    HRESULT SaveChanges(ULONG) override { return E_NOTIMPL; }
    HRESULT GetProps(LPSPropTagArray, ULONG, ULONG*, LPSPropValue*) override { return E_NOTIMPL; }
    HRESULT GetPropList(ULONG, LPSPropTagArray*) override { return E_NOTIMPL; }
    HRESULT OpenProperty(ULONG, LPCIID, ULONG, ULONG, LPUNKNOWN*) override { return E_NOTIMPL; }
    HRESULT SetProps(ULONG, LPSPropValue, LPSPropProblemArray*) override { return E_NOTIMPL; }
    HRESULT DeleteProps(LPSPropTagArray, LPSPropProblemArray*) override { return E_NOTIMPL; }
    HRESULT CopyTo(ULONG, LPCIID, LPSPropTagArray, ULONG_PTR, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                   LPSPropProblemArray*) override {
        return E_NOTIMPL;
    }
    HRESULT CopyProps(LPSPropTagArray, ULONG_PTR, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                      LPSPropProblemArray*) override {
        return E_NOTIMPL;
    }
    HRESULT GetNamesFromIDs(LPSPropTagArray*, LPGUID, ULONG, ULONG*, LPMAPINAMEID**) override { return E_NOTIMPL; }
    HRESULT GetIDsFromNames(ULONG, LPMAPINAMEID*, ULONG, LPSPropTagArray*) override { return E_NOTIMPL; }

private:
    IAddrBook* m_pInner;
    std::map<std::string, std::wstring> m_entries;
};

TEST_F(PushModel, AllDayItemsSendTheirFirstAndLastDay) {
    // Whatever the machine's zone: the date is the item's own.
    for (const char* pszMachine : {"UTC", "Asia/Tokyo", "America/Los_Angeles"}) {
        ASSERT_TRUE(Ostrel::Util::SetLocalTimeZone(pszMachine));
        for (const Zone* pZone : {&kSydney, &kLosAngeles}) {
            Fill(m_zone, *pZone);
            for (LONG lDays : {1, 3}) {
                SCOPED_TRACE(std::string(pszMachine) + " " + std::to_string(lDays));
                auto pItem = NewAppt(L"Away", *pZone, Utc(m_zone, 2024, 7, 1, 0, 0), lDays * 1440, true);
                auto p = Model(pItem.Get());
                const Ostrel::Mail::Comp& comp = Series(p);
                EXPECT_EQ(comp.GetEndDate() - comp.GetStartDate(), lDays - 1.0);
                EXPECT_EQ(Ostrel::Util::VariantTimeToOstrelDateStr(comp.GetStartDate(), false, false), L"20240701");
            }
        }
    }
}

TEST_F(PushModel, MeetingPeopleSenderAndNeverSentDraft) {
    Fill(m_zone, kLondon);
    auto pItem = NewAppt(L"Kick-off", kLondon, Utc(m_zone, 2024, 9, 2, 10, 0), 60, false);
    Appt appt(pItem.Get(), m_pStore.Get());
    appt.SetMeetingStatus(1);
    appt.SetInvitationsSent(FALSE);
    SPropValue sender{};
    sender.ulPropTag = PR_SENDER_EMAIL_ADDRESS_W;
    sender.Value.lpszW = const_cast<wchar_t*>(L"assistant@ostrel.test");
    HrSetOneProp(pItem.Get(), &sender);
    ASSERT_EQ(appt.Save(), S_OK);
    AddRecipient(pItem.Get(), L"Ann Lee", L"ann@ostrel.test", L"SMTP", 1, 3);
    AddRecipient(pItem.Get(), L"Gone", L"gone@ostrel.test", L"SMTP", 0x21, 0);
    AddRecipient(pItem.Get(), L"No Smtp", L"/o=x/cn=nosmtp", L"EX", 1, 0);
    auto p = Model(pItem.Get());
    const Ostrel::Mail::Comp& comp = Series(p);
    ASSERT_EQ(comp.GetNumAttendees(), 1);
    EXPECT_EQ(std::wstring(comp.GetAttendeeAt(0)->GetEmail()), L"ann@ostrel.test");
    EXPECT_EQ(comp.GetAttendeeAt(0)->GetPartStatus(), Ostrel::Mail::Attendee::PartStat::AC);
    EXPECT_EQ(std::wstring(comp.GetOrganizer()->GetEmail()), kUser);
    EXPECT_EQ(std::wstring(comp.GetOrganizer()->GetSentBy()), L"assistant@ostrel.test");
    EXPECT_TRUE(comp.GetIsNeverSent());
    EXPECT_TRUE(comp.GetIsDraft());

    appt.SetInvitationsSent(TRUE);
    appt.SetChangeHighlight(0);
    ASSERT_EQ(appt.Save(), S_OK);
    auto pSent = Model(pItem.Get());
    EXPECT_FALSE(Series(pSent).GetIsNeverSent());
    EXPECT_FALSE(Series(pSent).GetIsDraft());
}

TEST_F(PushModel, DirectoryAttendeesAreSentWithTheirSmtpAddresses) {
    Fill(m_zone, kLondon);
    auto pItem = NewAppt(L"Budget", kLondon, Utc(m_zone, 2024, 9, 3, 10, 0), 60, false);
    Appt appt(pItem.Get(), m_pStore.Get());
    appt.SetMeetingStatus(1);
    ASSERT_EQ(appt.Save(), S_OK);
    DirectoryBook book(m_pAddrBook.Get());
    book.Add("dir:boss", L"boss@ostrel.test");
    book.Add("dir:alice", L"alice@ostrel.test");
    book.Add("dir:user", kUser);
    AddDirectoryRecipient(pItem.Get(), L"The Boss", L"/o=Org/cn=boss", "dir:boss", nullptr, 3);
    AddDirectoryRecipient(pItem.Get(), L"Alice", L"/o=Org/cn=alice", "dir:alice", nullptr, 1);
    AddDirectoryRecipient(pItem.Get(), L"Bob", L"/o=Org/cn=bob", "", L"bob@ostrel.test", 1);
    AddDirectoryRecipient(pItem.Get(), L"Carol", L"/o=Org/cn=carol", "dir:carol", nullptr, 1);
    // The user, found as such only through the directory, answers with the item's own status.
    AddDirectoryRecipient(pItem.Get(), L"Mailbox User", L"/o=Org/cn=user", "dir:user", nullptr, 1);
    auto p = Model(pItem.Get(), &book);
    const Ostrel::Mail::Comp& comp = Series(p);
    EXPECT_EQ(std::wstring(comp.GetOrganizer()->GetEmail()), L"boss@ostrel.test");
    std::vector<std::wstring> people;
    for (int i = 0; i < comp.GetNumAttendees(); ++i)
        people.push_back(std::wstring(comp.GetAttendeeAt(i)->GetEmail()) + L" " +
                         comp.GetAttendeeAt(i)->GetPartStatus().ToString());
    // Carol is not in the directory: an attendee without address is not sent.
    EXPECT_EQ(people, (std::vector<std::wstring>{L"alice@ostrel.test NE", L"bob@ostrel.test NE",
                                                 std::wstring(kUser) + L" AC"}));
}

}  // namespace
}  // namespace CalendarTest

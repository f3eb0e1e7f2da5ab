#include "CalendarTestUtil.h"

#include "Platform/Com/MemStream.h"
#include "Util/Log/Log.h"
#include "Util/Time/Clock.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

using namespace CalendarTest;
using namespace Ostrel::Mail;
using Ostrel::Util::LogCapture;

namespace {

// Releases the outermost objects of a test however it ends.
struct AppointmentDeleter {
    void operator()(Appointment* p) const { Appointment::destroy(p); }
};
struct InvDeleter {
    void operator()(Inv* p) const { Inv::destroy(p); }
};
struct CompDeleter {
    void operator()(Comp* p) const { Comp::destroy(p); }
};
using AppointmentPtr = std::unique_ptr<Appointment, AppointmentDeleter>;
using InvPtr = std::unique_ptr<Inv, InvDeleter>;
using CompPtr = std::unique_ptr<Comp, CompDeleter>;

// The reference count of a COM object, read without changing it.
ULONG RefCount(IUnknown* p) {
    p->AddRef();
    return p->Release();
}

// An invitation that holds a reference to a stream, so that its destruction can be observed.
Inv* TrackedInv(IStream* pStream) {
    Inv* pInv = Inv::createInv();
    pInv->SetMimeStream(pStream);
    return pInv;
}

Attendee* MakeAttendee(const wchar_t* pwszName, const wchar_t* pwszEmail) {
    Attendee* p = Attendee::createAttendee();
    p->SetDisplayName(pwszName);
    p->SetEmail(pwszEmail);
    return p;
}

}  // namespace

// Dates from the far future mark a date as not set.
TEST(CalendarModel, DatesFromDay949997OnAreUnset) {
    EXPECT_FALSE(Comp::DateIsInitialized(949997.0));
    EXPECT_TRUE(Comp::DateIsInitialized(949996.9));
}

TEST(CalendarModel, TextFieldsAreOwnedCopies) {
    CompPtr comp(Comp::createComp());
    wchar_t wszSubject[] = L"Budget";
    comp->SetSubject(wszSubject);
    wszSubject[0] = L'X';
    EXPECT_STREQ(comp->GetSubject(), L"Budget");
    EXPECT_NE(comp->GetSubject(), wszSubject);
    // Setting a field from its own stored text keeps it intact.
    comp->SetSubject(comp->GetSubject());
    EXPECT_STREQ(comp->GetSubject(), L"Budget");
    comp->SetSubject(nullptr);
    EXPECT_EQ(comp->GetSubject(), nullptr);

    InvPtr inv(Inv::createInv());
    char szMime[] = "Subject: x\r\n\r\nbody";
    inv->SetMimeBuffer(szMime);
    szMime[0] = 's';
    EXPECT_STREQ(inv->GetMimeBuffer(), "Subject: x\r\n\r\nbody");
}

TEST(CalendarModel, DurationFollowsWholeDaysOfTheDates) {
    const double dStart = Ole(2024, 3, 15, 9, 0);
    {
        CompPtr comp(Comp::createComp());
        comp->SetStartDate(dStart);
        comp->SetEndDate(dStart + 1.0 / 24);  // one hour: less than a day gives 0
        EXPECT_EQ(comp->GetDuration(), 0);
        comp->SetEndDate(dStart + 3);  // already set: unchanged
        EXPECT_EQ(comp->GetDuration(), 0);
    }
    {
        CompPtr comp(Comp::createComp());
        comp->SetStartDate(dStart);
        comp->SetEndDate(dStart + 2.5);
        EXPECT_EQ(comp->GetDuration(), 2880);
    }
    {
        CompPtr comp(Comp::createComp());
        comp->SetStartDate(dStart);
        comp->SetEndDate(dStart - 1);  // end before start
        EXPECT_EQ(comp->GetDuration(), -1);
        comp->SetDuration(90);
        comp->SetEndDate(dStart + 5);
        EXPECT_EQ(comp->GetDuration(), 90);
    }
    {
        // A span too long for 32-bit minutes leaves the duration unset instead of overflowing.
        CompPtr comp(Comp::createComp());
        comp->SetEndDate(1600000.0);
        EXPECT_EQ(comp->GetDuration(), -1);
        // With the start still unset, the span counts from day 0.
        comp->SetEndDate(10.0);
        EXPECT_EQ(comp->GetDuration(), 14400);
    }
}

TEST(CalendarModel, UpdateTimeInUnixSecondsAndFileTime) {
    CompPtr comp(Comp::createComp());
    const SYSTEMTIME st = St(2024, 3, 15, 9, 30);
    FILETIME ft;
    ASSERT_TRUE(Ostrel::Util::SystemTimeToFileTime(&st, &ft));
    const ULONGLONG ull = Ostrel::Util::FileTimeToUInt64(ft);
    comp->SetUpdateTimeFileTime(Ostrel::Util::UInt64ToFileTime(ull + 9999999));  // 0.9999999 s more
    EXPECT_EQ(comp->GetUpdateTimeUnix(), 1710495000);
    EXPECT_EQ(Ostrel::Util::FileTimeToUInt64(comp->GetUpdateTimeFileTime()), ull);
    // Before 1970 the seconds are truncated toward zero.
    comp->SetUpdateTimeFileTime(Ostrel::Util::UInt64ToFileTime(Ostrel::Util::kFileTimeUnixEpoch - 15000000));
    EXPECT_EQ(comp->GetUpdateTimeUnix(), -1);
    comp->SetUpdateTimeFileTime(FILETIME{});
    EXPECT_EQ(comp->GetUpdateTimeUnix(), -11644473600LL);
    EXPECT_EQ(Ostrel::Util::FileTimeToUInt64(comp->GetUpdateTimeFileTime()), 0u);
    comp->SetUpdateUnixTime(0);
    EXPECT_EQ(Ostrel::Util::FileTimeToUInt64(comp->GetUpdateTimeFileTime()), Ostrel::Util::kFileTimeUnixEpoch);
}

TEST(CalendarModel, RecurrenceRules) {
    static_assert(sizeof(_Recurrence) == 40, "five 64-bit words");
    CompPtr comp(Comp::createComp());
    _Recurrence rule;
    rule.type = RecurrenceType::MonthNth;
    rule.lParam1 = 2;
    rule.lParam2 = 5;
    rule.lParam3 = DayOfWeek::FR;
    rule.dEndValue = 10;
    comp->SetRecurrence(rule);
    EXPECT_TRUE(comp->GetIsRecurring());
    comp->ClearRecurrence();
    EXPECT_FALSE(comp->GetIsRecurring());
    const _Recurrence& kept = comp->GetRecurrence();
    EXPECT_EQ(kept.type, RecurrenceType::MonthNth);
    EXPECT_EQ(kept.GetInterval(), 2);
    EXPECT_EQ(kept.GetInstance(), 5);
    EXPECT_EQ(kept.GetDayOfWeekMask(), DayOfWeek::FR);
    EXPECT_EQ(kept.GetDayOfMonth(), 0);
    EXPECT_EQ(kept.GetMonth(), 0);
    EXPECT_EQ(kept.dEndValue, 10);

    _Recurrence yearNth;
    yearNth.type = RecurrenceType::YearNth;
    yearNth.lParam1 = 1;
    yearNth.lParam2 = DayOfWeek::MO;
    yearNth.lParam3 = 9;
    EXPECT_EQ(yearNth.GetInstance(), 1);
    EXPECT_EQ(yearNth.GetDayOfWeekMask(), DayOfWeek::MO);
    EXPECT_EQ(yearNth.GetMonth(), 9);
    EXPECT_EQ(yearNth.GetInterval(), 0);

    _Recurrence weekdays;
    weekdays.type = RecurrenceType::Weekly;
    weekdays.lParam2 = 62;
    EXPECT_TRUE(weekdays.IsEveryWeekday());
    weekdays.lParam1 = 1;
    EXPECT_FALSE(weekdays.IsEveryWeekday());
    weekdays.type = RecurrenceType::Daily;
    EXPECT_EQ(weekdays.GetDayOfWeekMask(), 62);
}

TEST(CalendarModel, AlarmForms) {
    CompPtr comp(Comp::createComp());
    comp->SetAlarm(TRUE, 15, L"Reminder", L"X-NAME", L"value");
    const _Alarm& alarm = comp->GetAlarm();

    // The absolute form replaces the relative one and its texts.
    comp->SetAlarm(TRUE, L"20240315T090000Z", nullptr, nullptr, nullptr);
    EXPECT_EQ(alarm.GetMinutes(), 0);
    EXPECT_STREQ(alarm.GetAbsoluteTrigger(), L"20240315T090000Z");
    EXPECT_EQ(alarm.GetDescription(), nullptr);
    comp->SetAlarmXPropName(L"N");
    comp->SetAlarmXPropValue(L"V");
    EXPECT_STREQ(alarm.GetXPropName(), L"N");
    EXPECT_STREQ(alarm.GetXPropValue(), L"V");
    EXPECT_STREQ(alarm.GetAbsoluteTrigger(), L"20240315T090000Z");

    comp->SetAlarm(FALSE, 30, nullptr, nullptr, nullptr);
    EXPECT_STREQ(alarm.GetAbsoluteTrigger(), L"");

    // The inline trigger holds 23 characters; a longer one is refused rather than cut.
    const std::wstring ws23(23, L'1');
    comp->SetAlarm(TRUE, ws23.c_str(), nullptr, nullptr, nullptr);
    EXPECT_EQ(std::wstring(alarm.GetAbsoluteTrigger()), ws23);
    LogCapture capture;
    comp->SetAlarm(TRUE, (ws23 + L"1").c_str(), nullptr, nullptr, nullptr);
    EXPECT_STREQ(alarm.GetAbsoluteTrigger(), L"");
    EXPECT_TRUE(alarm.GetEnabled());
    EXPECT_TRUE(capture.Contains(L"is longer than 23 characters"));
}

TEST(CalendarModel, AttendeesAndOrganizer) {
    CompPtr comp(Comp::createComp());
    Attendee* pAttendee = MakeAttendee(L"Ann", L"ann@example.com");
    pAttendee->SetRole(L"opt");
    pAttendee->SetPartStatus(L"DG");
    pAttendee->SetUserType(L"RES");
    pAttendee->SetRsvp(L"TRUE");
    pAttendee->SetSentBy(L"boss@example.com");
    comp->addAttendeePart(pAttendee);
    comp->addAttendeePart(nullptr);
    comp->addAttendeePart(MakeAttendee(L"Bob", L"bob@example.com"));
    ASSERT_EQ(comp->GetNumAttendees(), 2);
    EXPECT_EQ(comp->GetAttendeeAt(0), pAttendee);
    EXPECT_STREQ(comp->GetAttendeeAt(1)->GetDisplayName(), L"Bob");
    EXPECT_EQ(comp->GetAttendeeAt(2), nullptr);
    EXPECT_EQ(comp->GetAttendeeAt(-1), nullptr);

    // A clone owns its texts and keeps the parsed values.
    std::unique_ptr<Attendee, void (*)(Attendee*)> copy(pAttendee->Clone(), Attendee::destroy);
    ASSERT_TRUE(copy);
    EXPECT_STREQ(copy->GetSentBy(), L"boss@example.com");
    EXPECT_NE(copy->GetSentBy(), pAttendee->GetSentBy());
    EXPECT_EQ(copy->GetUserType(), Attendee::UserType::RES);

    // A new organizer replaces (and releases) the previous one; the same one twice is kept.
    EXPECT_FALSE(comp->HasOrganizer());
    comp->addOrganizerPart(MakeAttendee(L"Old", L"old@example.com"));
    Attendee* pOrganizer = MakeAttendee(L"New", L"new@example.com");
    comp->addOrganizerPart(pOrganizer);
    comp->addOrganizerPart(pOrganizer);
    EXPECT_TRUE(comp->HasOrganizer());
    EXPECT_STREQ(comp->GetOrganizer()->GetDisplayName(), L"New");

    comp->addCancelNodeRecurId(L"20240102T100000");
    comp->addExcludeNodeRecurId(L"20240103T100000");
    comp->addExcludeNodeRecurId(L"TZID=Europe/Paris:20240104T100000");
    ASSERT_EQ(comp->GetNumExcludeNodeRecurIds(), 2);
    EXPECT_STREQ(comp->GetExcludeNodeRecurIdAt(1), L"TZID=Europe/Paris:20240104T100000");
    EXPECT_EQ(comp->GetExcludeNodeRecurIdAt(2), nullptr);
    EXPECT_EQ(comp->GetCancelNodeRecurIdAt(1), nullptr);
}

TEST(CalendarModel, InvitationNumbersAndZones) {
    InvPtr inv(Inv::createInv());
    // The numbers are read by the number reader, which has tests of its own; a null is no number.
    inv->SetId(static_cast<const wchar_t*>(nullptr));
    inv->SetSeqId(static_cast<const wchar_t*>(nullptr));
    EXPECT_EQ(inv->GetId() + inv->GetSeqId(), 0);

    EXPECT_EQ(inv->TimeZoneById(L"Europe/Paris"), nullptr);  // no zones at all
    TimeZone* pParis = inv->AddTimeZone(L"Europe/Paris");
    TimeZone* pUnnamed = inv->AddTimeZone(nullptr);
    TimeZone* pParis2 = inv->AddTimeZone(L"Europe/Paris");
    ASSERT_EQ(inv->NumTimeZones(), 3);
    EXPECT_EQ(inv->TimeZoneAt(1), pUnnamed);
    EXPECT_EQ(inv->TimeZoneAt(3), nullptr);
    EXPECT_EQ(pUnnamed->GetId(), nullptr);
    EXPECT_EQ(pParis->GetStandardOffset(), 0);
    EXPECT_FALSE(pParis->HasTransition());
    EXPECT_EQ(inv->TimeZoneById(L"Europe/Paris"), pParis);  // the first one
    EXPECT_NE(pParis, pParis2);
    EXPECT_EQ(inv->TimeZoneById(L"europe/paris"), nullptr);  // exact match only
    EXPECT_EQ(inv->TimeZoneById(nullptr), nullptr);

    EXPECT_EQ(inv->CompAt(0), nullptr);
    inv->addCompPart(nullptr);
    EXPECT_EQ(inv->NumComps(), 0);
}

TEST(CalendarModel, InvitationHoldsCountedReferences) {
    auto stream1 = Platform::MemStream::Create("one");
    auto stream2 = Platform::MemStream::Create("two");
    {
        InvPtr inv(Inv::createInv());
        inv->SetMimeStream(stream1.Get());
        EXPECT_EQ(RefCount(stream1.Get()), 2u);
        inv->SetMimeStream(stream1.Get());  // the same stream again keeps one reference
        EXPECT_EQ(RefCount(stream1.Get()), 2u);
        inv->SetMimeStream(stream2.Get());
        EXPECT_EQ(RefCount(stream1.Get()), 1u);
        EXPECT_EQ(RefCount(stream2.Get()), 2u);
        EXPECT_EQ(inv->GetMimeStream(), stream2.Get());
        InvPtr clone(inv->Clone());
        EXPECT_EQ(RefCount(stream2.Get()), 3u);
        inv->SetMimeStream(nullptr);
        EXPECT_EQ(RefCount(stream2.Get()), 2u);
    }
    EXPECT_EQ(RefCount(stream2.Get()), 1u);
}

TEST(CalendarModel, CloneCopiesTheFirstComponentWithItsOwnZones) {
    auto stream = Platform::MemStream::Create("mime");
    InvPtr clone;
    {
        InvPtr inv(Inv::createInv());
        inv->SetId(7);
        inv->SetSeqId(3);
        inv->SetRecurId(L"20240315T090000");
        inv->SetMimeBuffer("MIME");
        inv->SetMimeStream(stream.Get());
        inv->SetBody(L"body");
        inv->SetHTML(L"<p>body</p>");
        inv->SetReply(TRUE);
        TimeZone* pBerlin = inv->AddTimeZone(L"Europe/Berlin");
        MakeBerlin(*pBerlin);
        TimeZone* pNewYork = inv->AddTimeZone(L"America/New_York");
        MakeNewYork(*pNewYork);

        Comp* pComp = Comp::createComp();
        pComp->SetSubject(L"Review");
        pComp->SetStartDateTimeZone(pBerlin);
        pComp->SetEndDateTimeZone(pNewYork);
        pComp->SetBusyStatus(Comp::BusyStatus::O);
        pComp->SetIsOrganizer(TRUE);
        pComp->SetIsDraft(TRUE);
        pComp->SetIsNeverSent(TRUE);
        pComp->SetAlarm(TRUE, 10, L"desc", nullptr, nullptr);
        pComp->addOrganizerPart(MakeAttendee(L"Org", L"org@example.com"));
        pComp->addAttendeePart(MakeAttendee(L"Ann", L"ann@example.com"));
        pComp->addCancelNodeRecurId(L"20240322T090000");
        _Recurrence rule;
        rule.type = RecurrenceType::Weekly;
        rule.lParam1 = 1;
        rule.lParam2 = DayOfWeek::FR;
        pComp->SetRecurrence(rule);
        inv->addCompPart(pComp);
        Comp* pSecond = Comp::createComp();
        inv->addCompPart(pSecond);

        clone.reset(inv->Clone());
        ASSERT_TRUE(clone);
        // The clone must not depend on the source: it is destroyed here.
    }
    EXPECT_EQ(clone->GetId(), 7);
    EXPECT_EQ(clone->GetSeqId(), 3);
    EXPECT_STREQ(clone->GetRecurId(), L"20240315T090000");
    EXPECT_STREQ(clone->GetMimeBuffer(), "MIME");
    EXPECT_EQ(clone->GetMimeStream(), stream.Get());
    EXPECT_EQ(RefCount(stream.Get()), 2u);
    EXPECT_STREQ(clone->GetBody(), L"body");
    EXPECT_STREQ(clone->GetHTML(), L"<p>body</p>");
    EXPECT_FALSE(clone->IsReply());

    ASSERT_EQ(clone->NumTimeZones(), 2);
    ASSERT_EQ(clone->NumComps(), 1);
    Comp* pComp = clone->CompAt(0);
    EXPECT_STREQ(pComp->GetSubject(), L"Review");
    EXPECT_EQ(pComp->GetBusyStatus(), Comp::BusyStatus::O);
    EXPECT_TRUE(pComp->GetIsOrganizer());
    EXPECT_FALSE(pComp->GetIsDraft());
    EXPECT_TRUE(pComp->GetIsNeverSent());
    EXPECT_STREQ(pComp->GetAlarm().GetDescription(), L"desc");
    EXPECT_FALSE(pComp->HasOrganizer());
    ASSERT_EQ(pComp->GetNumAttendees(), 1);
    EXPECT_STREQ(pComp->GetAttendeeAt(0)->GetEmail(), L"ann@example.com");
    EXPECT_STREQ(pComp->GetCancelNodeRecurIdAt(0), L"20240322T090000");
    EXPECT_TRUE(pComp->GetIsRecurring());
    EXPECT_EQ(pComp->GetRecurrence().GetDayOfWeekMask(), DayOfWeek::FR);

    // The zone references designate the clone's own zones, which carry the full rules.
    EXPECT_EQ(pComp->GetStartDateTimeZone(), clone->TimeZoneAt(0));
    EXPECT_EQ(pComp->GetEndDateTimeZone(), clone->TimeZoneAt(1));
    FILETIME ft;
    ASSERT_TRUE(ConvertDateStringToUTC(L"20240715T093000", pComp->GetStartDateTimeZone(), &ft));
    EXPECT_EQ(FileTimeStr(ft), "2024-07-15 07:30:00");
    EXPECT_STREQ(pComp->GetEndDateTimeZone()->GetId(), L"America/New_York");
    EXPECT_EQ(pComp->GetEndDateTimeZone()->GetDaylightOffset(), -240);
}

TEST(CalendarModel, CloneKeepsANonRecurringComponentNonRecurring) {
    InvPtr inv(Inv::createInv());
    InvPtr empty(inv->Clone());
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->NumComps(), 0);

    TimeZone foreign(L"Elsewhere");
    Comp* pComp = Comp::createComp();
    pComp->SetStartDateTimeZone(&foreign);  // not one of the invitation's zones: kept as it is
    inv->addCompPart(pComp);
    InvPtr clone(inv->Clone());
    EXPECT_FALSE(clone->CompAt(0)->GetIsRecurring());
    EXPECT_EQ(clone->CompAt(0)->GetStartDateTimeZone(), &foreign);
    EXPECT_EQ(clone->CompAt(0)->GetEndDateTimeZone(), nullptr);
}

TEST(CalendarModel, AppointmentIdsTimesAndTags) {
    Ostrel::Util::ManualClock clock;  // 2024-01-01 00:00 UTC
    Ostrel::Util::ScopedClock scoped(clock);
    AppointmentPtr appt(Appointment::createAppointment());
    ASSERT_TRUE(appt);
    EXPECT_EQ(FileTimeStr(appt->GetModified()), "2024-01-01 00:00:00");
    EXPECT_EQ(Ostrel::Util::FileTimeToUInt64(appt->GetNextAlarm()), 0u);

    // The textual id keeps its instance part; the number is what precedes it.
    appt->SetId(L"1234-5");
    EXPECT_STREQ(appt->GetIdString(), L"1234-5");
    EXPECT_EQ(appt->GetId(), 1234);
    appt->SetParentFolder(L"10");
    EXPECT_EQ(appt->GetParentFolder(), 10);

    appt->SetModified(1710495000);
    EXPECT_EQ(FileTimeStr(appt->GetModified()), "2024-03-15 09:30:00");
    clock.Advance(3600 * 1000);
    appt->SetModified(0);
    EXPECT_EQ(FileTimeStr(appt->GetModified()), "2024-01-01 01:00:00");
    appt->SetNextAlarm(1710495000);
    EXPECT_EQ(FileTimeStr(appt->GetNextAlarm()), "2024-03-15 09:30:00");
    appt->SetNextAlarm(0);
    EXPECT_EQ(Ostrel::Util::FileTimeToUInt64(appt->GetNextAlarm()), 0u);

    appt->addTagId(5);
    appt->addTagId(-2);
    appt->addTagName(L"Work");
    appt->addTagName(nullptr);
    EXPECT_EQ(appt->TagIds(), (std::vector<LONG>{5, -2}));
    EXPECT_EQ(appt->TagNames(), (std::vector<std::wstring>{L"Work", L""}));
}

TEST(CalendarModel, AppointmentOwnsItsInvitations) {
    auto stream = Platform::MemStream::Create("x");
    {
        AppointmentPtr appt(Appointment::createAppointment());
        EXPECT_FALSE(appt->HasDefaultInv());
        EXPECT_FALSE(appt->IsTask());
        appt->SetDefaultInv(TrackedInv(stream.Get()));
        EXPECT_EQ(RefCount(stream.Get()), 2u);
        Inv* pSecond = Inv::createInv();
        appt->SetDefaultInv(pSecond);  // the first is destroyed
        EXPECT_EQ(RefCount(stream.Get()), 1u);
        appt->SetDefaultInv(pSecond);  // the same one again is kept
        appt->SetDefaultInv(nullptr);
        EXPECT_EQ(appt->GetDefaultInv(), pSecond);
        EXPECT_FALSE(appt->IsTask());  // no component yet

        Comp* pTask = Comp::createComp();
        pTask->SetIsTask(TRUE);
        pSecond->addCompPart(pTask);
        EXPECT_TRUE(appt->IsTask());

        appt->addException(TrackedInv(stream.Get()));
        appt->addException(nullptr);
        appt->addCancelException(TrackedInv(stream.Get()));
        appt->addCancelException(TrackedInv(stream.Get()));
        EXPECT_EQ(appt->NumExceptions(), 1);
        EXPECT_EQ(appt->NumCancelExceptions(), 2);
        EXPECT_NE(appt->CancelExceptionAt(1), nullptr);
        EXPECT_EQ(appt->CancelExceptionAt(2), nullptr);
        EXPECT_EQ(appt->ExceptionAt(-1), nullptr);
        EXPECT_EQ(RefCount(stream.Get()), 4u);
    }
    EXPECT_EQ(RefCount(stream.Get()), 1u);
}

// An orphan or an isolated recurrence refers to a default invitation owned elsewhere: it is only
// forgotten, both when replaced and when the appointment goes.
TEST(CalendarModel, OrphanAndIsolatedAppointmentsDoNotOwnTheDefaultInvitation) {
    auto stream = Platform::MemStream::Create("x");
    AppointmentPtr series(Appointment::createAppointment());
    Inv* pSeriesInv = TrackedInv(stream.Get());
    series->SetDefaultInv(pSeriesInv);
    for (int iCase = 0; iCase < 2; ++iCase) {
        AppointmentPtr instance(Appointment::createAppointment());
        if (iCase == 0)
            instance->SetIsOrphan(TRUE);
        else
            instance->SetIsolatedRecurrence(TRUE);
        instance->SetDefaultInv(pSeriesInv);
        InvPtr own(TrackedInv(stream.Get()));
        instance->SetDefaultInv(own.get());  // the series' invitation is only forgotten
        EXPECT_EQ(RefCount(stream.Get()), 3u);
        instance.reset();  // nor is this one destroyed with the instance
        EXPECT_EQ(RefCount(stream.Get()), 3u);
    }
    EXPECT_EQ(series->GetDefaultInv(), pSeriesInv);
    series.reset();
    EXPECT_EQ(RefCount(stream.Get()), 1u);
}

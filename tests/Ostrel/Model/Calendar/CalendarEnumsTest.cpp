#include "Ostrel/Model/Calendar/Appointment.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace Ostrel::Mail;

namespace {

template <typename E>
int32_t FromText(const wchar_t* pwsz) {
    return E::FromString(pwsz).GetValue();
}

}  // namespace

// The strings themselves are held against the server's replies by the conversion tests; here the
// matching rules and each enumeration's default.
TEST(CalendarEnums, ServerStringsMatchWithoutCaseAndUnknownTextsGiveTheDefault) {
    EXPECT_EQ(FromText<Comp::TaskStatus>(L"deferred"), Comp::TaskStatus::DEFERRED);
    EXPECT_EQ(FromText<Comp::MeetingStatus>(L"Canceled"), Comp::MeetingStatus::CANCELED);
    EXPECT_STREQ(Comp::ResponseStatus(Comp::ResponseStatus::NEEDS_ACTION).ToString(), L"NEEDS_ACTION");

    for (const wchar_t* pwsz : {L"bogus", L"", static_cast<const wchar_t*>(nullptr), L"CONF ", L"CON", L"CONFX"}) {
        EXPECT_EQ(FromText<Comp::Status>(pwsz), Comp::Status::TENT);
        EXPECT_EQ(FromText<Comp::BusyStatus>(pwsz), Comp::BusyStatus::T);
        EXPECT_EQ(FromText<Comp::MeetingStatus>(pwsz), Comp::MeetingStatus::NON_MTG);
        EXPECT_EQ(FromText<Comp::ResponseStatus>(pwsz), Comp::ResponseStatus::NONE);
        EXPECT_EQ(FromText<Comp::TaskStatus>(pwsz), Comp::TaskStatus::INPR);
        EXPECT_EQ(FromText<Attendee::Role>(pwsz), Attendee::Role::REQ);
        EXPECT_EQ(FromText<Attendee::PartStat>(pwsz), Attendee::PartStat::NE);
        EXPECT_EQ(FromText<Attendee::UserType>(pwsz), Attendee::UserType::UNK);
    }
    EXPECT_EQ(Comp::BusyStatus().GetValue(), Comp::BusyStatus::T);
    EXPECT_EQ(Attendee::UserType().GetValue(), Attendee::UserType::UNK);

    // A value outside the list (only reachable by a cast) writes the default's string.
    EXPECT_STREQ(Comp::Status(static_cast<Comp::Status::Value>(7)).ToString(), L"TENT");
    EXPECT_STREQ(Attendee::Role(static_cast<Attendee::Role::Value>(-1)).ToString(), L"REQ");
}

TEST(CalendarEnums, ImportanceIsTheICalendarPriority) {
    EXPECT_STREQ(Comp::Importance(Comp::Importance::LOW).ToString(), L"9");
    EXPECT_STREQ(Comp::Importance(Comp::Importance::HIGH).ToString(), L"1");
    EXPECT_STREQ(Comp::Importance(static_cast<Comp::Importance::Value>(3)).ToString(), L"5");

    const std::pair<const wchar_t*, Comp::Importance::Value> aCases[] = {
        {L"1", Comp::Importance::HIGH},      {L"4", Comp::Importance::HIGH},
        {L"5", Comp::Importance::NORMAL},    {L"6", Comp::Importance::LOW},
        {L"9", Comp::Importance::LOW},       {L"09", Comp::Importance::LOW},
        {L"0", Comp::Importance::NORMAL},    {L"10", Comp::Importance::NORMAL},
        {L"-1", Comp::Importance::NORMAL},   {L"1x", Comp::Importance::NORMAL},
        {L"", Comp::Importance::NORMAL},     {L"99999999999999999999", Comp::Importance::NORMAL},
        {nullptr, Comp::Importance::NORMAL},
    };
    for (auto [pwsz, value] : aCases)
        EXPECT_EQ(Comp::Importance::FromString(pwsz).GetValue(), value) << static_cast<int>(pwsz ? pwsz[0] : L'-');
}

TEST(CalendarEnums, DaysOfTheWeek) {
    EXPECT_EQ(DayOfWeek().GetValue(), 1);
    const std::pair<const wchar_t*, int32_t> aDays[] = {{L"MO", 2},  {L"we", 8}, {L"sa", 64}, {L"XX", 1},
                                                        {L"MON", 1}, {L"", 1},   {nullptr, 1}};
    for (auto [pwsz, lBit] : aDays)
        EXPECT_EQ(DayOfWeek::FromString(pwsz).GetValue(), lBit);
    EXPECT_STREQ(DayOfWeek(DayOfWeek::TH).ToString(), L"TH");
    EXPECT_STREQ(DayOfWeek(static_cast<DayOfWeek::Value>(DayOfWeek::MO | DayOfWeek::TU)).ToString(), L"SU");
}

#include "Ostrel/Model/Calendar/Appointment.h"

#include <gtest/gtest.h>

#include <cwctype>
#include <string>
#include <vector>

using namespace Ostrel::Mail;

namespace {

// Every server string reads back as its value and writes back unchanged, in any case.
template <typename E>
void ExpectServerStrings(const std::vector<std::wstring>& vecNames) {
    for (size_t i = 0; i < vecNames.size(); ++i) {
        const E value = E::FromString(vecNames[i].c_str());
        EXPECT_EQ(value.GetValue(), static_cast<int32_t>(i));
        EXPECT_EQ(std::wstring(value.ToString()), vecNames[i]);
        std::wstring wsLower = vecNames[i];
        for (wchar_t& wc : wsLower)
            wc = static_cast<wchar_t>(std::towlower(wc));
        EXPECT_EQ(E::FromString(wsLower.c_str()).GetValue(), static_cast<int32_t>(i));
    }
}

template <typename E>
int32_t FromText(const wchar_t* pwsz) {
    return E::FromString(pwsz).GetValue();
}

}  // namespace

TEST(CalendarEnums, ServerStringsAndDefaults) {
    ExpectServerStrings<Comp::Status>({L"TENT", L"CONF", L"CANC"});
    ExpectServerStrings<Comp::BusyStatus>({L"F", L"B", L"T", L"O"});
    ExpectServerStrings<Comp::MeetingStatus>({L"NON_MTG", L"MTG", L"RECEIVED", L"CANCELED"});
    ExpectServerStrings<Comp::ResponseStatus>({L"TENT", L"CONF", L"CANC", L"NEEDS_ACTION", L"NONE"});
    ExpectServerStrings<Comp::TaskStatus>({L"NEED", L"COMP", L"INPR", L"CANC", L"WAITING", L"DEFERRED"});
    ExpectServerStrings<Attendee::Role>({L"CH", L"REQ", L"OPT", L"NON"});
    ExpectServerStrings<Attendee::PartStat>({L"NE", L"TE", L"AC", L"DE", L"DG"});
    ExpectServerStrings<Attendee::UserType>({L"IND", L"GRO", L"RES", L"ROO", L"UNK"});

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
    EXPECT_STREQ(Comp::Importance(Comp::Importance::NORMAL).ToString(), L"5");
    EXPECT_STREQ(Comp::Importance(Comp::Importance::HIGH).ToString(), L"1");
    EXPECT_STREQ(Comp::Importance(static_cast<Comp::Importance::Value>(3)).ToString(), L"5");

    const std::pair<const wchar_t*, Comp::Importance::Value> aCases[] = {
        {L"1", Comp::Importance::HIGH},      {L"4", Comp::Importance::HIGH},
        {L"5", Comp::Importance::NORMAL},    {L"6", Comp::Importance::LOW},
        {L"7", Comp::Importance::LOW},       {L"9", Comp::Importance::LOW},
        {L"09", Comp::Importance::LOW},      {L"0", Comp::Importance::NORMAL},
        {L"10", Comp::Importance::NORMAL},   {L"-1", Comp::Importance::NORMAL},
        {L"1x", Comp::Importance::NORMAL},   {L"high", Comp::Importance::NORMAL},
        {L"", Comp::Importance::NORMAL},     {L"99999999999999999999", Comp::Importance::NORMAL},
        {nullptr, Comp::Importance::NORMAL},
    };
    for (auto [pwsz, value] : aCases)
        EXPECT_EQ(Comp::Importance::FromString(pwsz).GetValue(), value) << static_cast<int>(pwsz ? pwsz[0] : L'-');
}

TEST(CalendarEnums, DaysOfTheWeek) {
    EXPECT_EQ(DayOfWeek().GetValue(), 1);
    const std::pair<const wchar_t*, int32_t> aDays[] = {{L"SU", 1},  {L"MO", 2},  {L"TU", 4},  {L"we", 8},
                                                        {L"Th", 16}, {L"FR", 32}, {L"sa", 64}, {L"XX", 1},
                                                        {L"MON", 1}, {L"", 1},    {nullptr, 1}};
    for (auto [pwsz, lBit] : aDays)
        EXPECT_EQ(DayOfWeek::FromString(pwsz).GetValue(), lBit);
    EXPECT_STREQ(DayOfWeek(DayOfWeek::TH).ToString(), L"TH");
    EXPECT_STREQ(DayOfWeek(static_cast<DayOfWeek::Value>(DayOfWeek::MO | DayOfWeek::TU)).ToString(), L"SU");
}

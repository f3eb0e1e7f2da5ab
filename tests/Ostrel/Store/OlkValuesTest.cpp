// The model's calendar values survive the trip through the client's values, except where the
// client has no such value; client values outside their enumeration give the model's default.
#include "Ostrel/Store/OlkValues.h"
#include "StoreTestUtil.h"

namespace StoreTest {
namespace {

using namespace Ostrel::Mapi;
using namespace Ostrel::Mail;

TEST(OlkValuesTest, ModelValuesRoundTripWhereTheClientCanHoldThem) {
    for (int i = 0; i <= 5; ++i) {
        const auto type = static_cast<RecurrenceType>(i);
        EXPECT_EQ(ConvertRecurrenceType(ConvertRecurrenceTypeToOlkValue(type)), type) << i;
    }
    EXPECT_EQ(ConvertRecurrenceTypeToOlkValue(RecurrenceType::Yearly), olRecursYearly);
    EXPECT_EQ(ConvertRecurrenceType(4), RecurrenceType::Daily);  // 4 is no client type

    for (auto v : {AttendeeRole::CH, AttendeeRole::REQ, AttendeeRole::OPT})
        EXPECT_EQ(ConvertAttendeeType(ConvertRoleToOlkValue(v)).GetValue(), v);
    EXPECT_EQ(ConvertRoleToOlkValue(AttendeeRole::NON), olOptional);
    EXPECT_EQ(ConvertAttendeeType(olResource).GetValue(), AttendeeRole::NON);

    for (auto v : {AttendeePartStat::NE, AttendeePartStat::TE, AttendeePartStat::AC, AttendeePartStat::DE})
        EXPECT_EQ(ConvertMtgResponseStatusToPartStat(ConvertPartStatusToOlkValue(v)).GetValue(), v);
    EXPECT_EQ(ConvertPartStatusToOlkValue(AttendeePartStat::DG), olResponseNone);
    EXPECT_EQ(ConvertMtgResponseStatusToPartStat(olResponseOrganized).GetValue(), AttendeePartStat::AC);

    for (auto v : {CompImportance::LOW, CompImportance::NORMAL, CompImportance::HIGH})
        EXPECT_EQ(ConvertImportance(ConvertImportanceToOlkValue(v)).GetValue(), v);
    EXPECT_EQ(ConvertImportance(9).GetValue(), CompImportance::NORMAL);

    for (auto v : {CompTaskStatus::NEED, CompTaskStatus::COMP, CompTaskStatus::INPR, CompTaskStatus::WAITING,
                   CompTaskStatus::DEFERRED})
        EXPECT_EQ(ConvertTaskStatus(ConvertStatusToOlkValue(v)).GetValue(), v);
    EXPECT_EQ(ConvertStatusToOlkValue(CompTaskStatus::CANC), olTaskDeferred);

    for (auto v :
         {CompMeetingStatus::NON_MTG, CompMeetingStatus::MTG, CompMeetingStatus::RECEIVED, CompMeetingStatus::CANCELED})
        EXPECT_EQ(ConvertMeetingStatus(ConvertMeetingStatusToOlkValue(v)).GetValue(), v);
    EXPECT_EQ(ConvertMeetingStatus(olMeetingReceivedAndCanceled).GetValue(), CompMeetingStatus::CANCELED);

    for (auto v : {CompResponseStatus::TENT, CompResponseStatus::CONF, CompResponseStatus::CANC,
                   CompResponseStatus::NEEDS_ACTION, CompResponseStatus::NONE})
        EXPECT_EQ(ConvertResponseStatus(ConvertResponseStatusToOlkValue(v)).GetValue(), v);
    EXPECT_EQ(ConvertResponseStatus(olResponseOrganized).GetValue(), CompResponseStatus::CONF);

    for (auto v : {CompBusyStatus::F, CompBusyStatus::B, CompBusyStatus::T, CompBusyStatus::O})
        EXPECT_EQ(ConvertBusyStatus(ConvertBusyStatusToOlkValue(v)).GetValue(), v);
    EXPECT_EQ(ConvertBusyStatusToOlkValue(CompBusyStatus::B), olBusy);
    EXPECT_EQ(ConvertBusyStatus(olWorkingElsewhere).GetValue(), CompBusyStatus::F);
    EXPECT_EQ(ConvertBusyStatus(-1).GetValue(), CompBusyStatus::T);
}

}  // namespace
}  // namespace StoreTest

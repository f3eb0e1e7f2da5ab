#include "Ostrel/Store/OlkValues.h"

namespace Ostrel::Mapi {

using namespace Mail;

RecurrenceType ConvertRecurrenceType(LONG lOlType) {
    switch (lOlType) {
        case olRecursWeekly:
            return RecurrenceType::Weekly;
        case olRecursMonthly:
            return RecurrenceType::Monthly;
        case olRecursMonthNth:
            return RecurrenceType::MonthNth;
        case olRecursYearly:
            return RecurrenceType::Yearly;
        case olRecursYearNth:
            return RecurrenceType::YearNth;
        default:
            return RecurrenceType::Daily;
    }
}

OlRecurrenceType ConvertRecurrenceTypeToOlkValue(RecurrenceType type) {
    switch (type) {
        case RecurrenceType::Weekly:
            return olRecursWeekly;
        case RecurrenceType::Monthly:
            return olRecursMonthly;
        case RecurrenceType::MonthNth:
            return olRecursMonthNth;
        case RecurrenceType::Yearly:
            return olRecursYearly;
        case RecurrenceType::YearNth:
            return olRecursYearNth;
        default:
            return olRecursDaily;
    }
}

OlMeetingRecipientType ConvertRoleToOlkValue(AttendeeRole role) {
    switch (role.GetValue()) {
        case AttendeeRole::CH:
            return olOrganizer;
        case AttendeeRole::OPT:
        case AttendeeRole::NON:
            return olOptional;
        default:
            return olRequired;
    }
}

AttendeeRole ConvertAttendeeType(LONG lOlType) {
    switch (lOlType) {
        case olOrganizer:
            return AttendeeRole::CH;
        case olOptional:
            return AttendeeRole::OPT;
        case olResource:
            return AttendeeRole::NON;
        default:
            return AttendeeRole::REQ;
    }
}

OlResponseStatus ConvertPartStatusToOlkValue(AttendeePartStat partStat) {
    switch (partStat.GetValue()) {
        case AttendeePartStat::TE:
            return olResponseTentative;
        case AttendeePartStat::AC:
            return olResponseAccepted;
        case AttendeePartStat::DE:
            return olResponseDeclined;
        case AttendeePartStat::NE:
            return olResponseNotResponded;
        default:
            return olResponseNone;
    }
}

AttendeePartStat ConvertMtgResponseStatusToPartStat(LONG lOlStatus) {
    switch (lOlStatus) {
        case olResponseOrganized:
        case olResponseAccepted:
            return AttendeePartStat::AC;
        case olResponseTentative:
            return AttendeePartStat::TE;
        case olResponseDeclined:
            return AttendeePartStat::DE;
        default:
            return AttendeePartStat::NE;
    }
}

OlImportance ConvertImportanceToOlkValue(CompImportance importance) {
    switch (importance.GetValue()) {
        case CompImportance::LOW:
            return olImportanceLow;
        case CompImportance::HIGH:
            return olImportanceHigh;
        default:
            return olImportanceNormal;
    }
}

CompImportance ConvertImportance(LONG lOlImportance) {
    switch (lOlImportance) {
        case olImportanceLow:
            return CompImportance::LOW;
        case olImportanceHigh:
            return CompImportance::HIGH;
        default:
            return CompImportance::NORMAL;
    }
}

OlTaskStatus ConvertStatusToOlkValue(CompTaskStatus status) {
    switch (status.GetValue()) {
        case CompTaskStatus::NEED:
            return olTaskNotStarted;
        case CompTaskStatus::COMP:
            return olTaskComplete;
        case CompTaskStatus::WAITING:
            return olTaskWaiting;
        case CompTaskStatus::DEFERRED:
        case CompTaskStatus::CANC:
            return olTaskDeferred;
        default:
            return olTaskInProgress;
    }
}

CompTaskStatus ConvertTaskStatus(LONG lOlStatus) {
    switch (lOlStatus) {
        case olTaskNotStarted:
            return CompTaskStatus::NEED;
        case olTaskComplete:
            return CompTaskStatus::COMP;
        case olTaskWaiting:
            return CompTaskStatus::WAITING;
        case olTaskDeferred:
            return CompTaskStatus::DEFERRED;
        default:
            return CompTaskStatus::INPR;
    }
}

OlMeetingStatus ConvertMeetingStatusToOlkValue(CompMeetingStatus status) {
    switch (status.GetValue()) {
        case CompMeetingStatus::MTG:
            return olMeeting;
        case CompMeetingStatus::RECEIVED:
            return olMeetingReceived;
        case CompMeetingStatus::CANCELED:
            return olMeetingCanceled;
        default:
            return olNonMeeting;
    }
}

CompMeetingStatus ConvertMeetingStatus(LONG lOlStatus) {
    switch (lOlStatus) {
        case olMeeting:
            return CompMeetingStatus::MTG;
        case olMeetingReceived:
            return CompMeetingStatus::RECEIVED;
        case olMeetingCanceled:
        case olMeetingReceivedAndCanceled:
            return CompMeetingStatus::CANCELED;
        default:
            return CompMeetingStatus::NON_MTG;
    }
}

OlResponseStatus ConvertResponseStatusToOlkValue(CompResponseStatus status) {
    switch (status.GetValue()) {
        case CompResponseStatus::TENT:
            return olResponseTentative;
        case CompResponseStatus::CONF:
            return olResponseAccepted;
        case CompResponseStatus::CANC:
            return olResponseDeclined;
        case CompResponseStatus::NEEDS_ACTION:
            return olResponseNotResponded;
        default:
            return olResponseNone;
    }
}

CompResponseStatus ConvertResponseStatus(LONG lOlStatus) {
    switch (lOlStatus) {
        case olResponseOrganized:
        case olResponseAccepted:
            return CompResponseStatus::CONF;
        case olResponseTentative:
            return CompResponseStatus::TENT;
        case olResponseDeclined:
            return CompResponseStatus::CANC;
        case olResponseNotResponded:
            return CompResponseStatus::NEEDS_ACTION;
        default:
            return CompResponseStatus::NONE;
    }
}

OlBusyStatus ConvertBusyStatusToOlkValue(CompBusyStatus status) {
    switch (status.GetValue()) {
        case CompBusyStatus::F:
            return olFree;
        case CompBusyStatus::B:
            return olBusy;
        case CompBusyStatus::O:
            return olOutOfOffice;
        default:
            return olTentative;
    }
}

CompBusyStatus ConvertBusyStatus(LONG lOlStatus) {
    switch (lOlStatus) {
        case olFree:
        case olWorkingElsewhere:
            return CompBusyStatus::F;
        case olBusy:
            return CompBusyStatus::B;
        case olOutOfOffice:
            return CompBusyStatus::O;
        default:
            return CompBusyStatus::T;
    }
}

}  // namespace Ostrel::Mapi

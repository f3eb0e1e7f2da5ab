// The client's enumerations for appointments, meetings and tasks, and the mappings between them
// and the calendar model's values. Values that the other side cannot express map to the nearest
// meaning, noted at each function.
#pragma once

#include "Ostrel/Model/Calendar/AppointmentEnums.h"
#include "Platform/Base/WinTypes.h"

namespace Ostrel::Mapi {

enum OlRecurrenceType : LONG {
    olRecursDaily = 0,
    olRecursWeekly = 1,
    olRecursMonthly = 2,
    olRecursMonthNth = 3,
    olRecursYearly = 5,
    olRecursYearNth = 6,
};
enum OlMeetingRecipientType : LONG { olOrganizer = 0, olRequired = 1, olOptional = 2, olResource = 3 };
enum OlResponseStatus : LONG {
    olResponseNone = 0,
    olResponseOrganized = 1,
    olResponseTentative = 2,
    olResponseAccepted = 3,
    olResponseDeclined = 4,
    olResponseNotResponded = 5,
};
enum OlImportance : LONG { olImportanceLow = 0, olImportanceNormal = 1, olImportanceHigh = 2 };
enum OlMeetingStatus : LONG {
    olNonMeeting = 0,
    olMeeting = 1,
    olMeetingReceived = 3,
    olMeetingCanceled = 5,
    olMeetingReceivedAndCanceled = 7,
};
enum OlBusyStatus : LONG { olFree = 0, olTentative = 1, olBusy = 2, olOutOfOffice = 3, olWorkingElsewhere = 4 };
enum OlTaskStatus : LONG {
    olTaskNotStarted = 0,
    olTaskInProgress = 1,
    olTaskComplete = 2,
    olTaskWaiting = 3,
    olTaskDeferred = 4,
};

// Client values outside their enumeration map to the model's default.
Mail::RecurrenceType ConvertRecurrenceType(LONG lOlType);
OlRecurrenceType ConvertRecurrenceTypeToOlkValue(Mail::RecurrenceType type);
// A non-participant is optional for the client.
OlMeetingRecipientType ConvertRoleToOlkValue(Mail::AttendeeRole role);
// A resource is a non-participant for the server.
Mail::AttendeeRole ConvertAttendeeType(LONG lOlType);
// Delegated has no client value: no response.
OlResponseStatus ConvertPartStatusToOlkValue(Mail::AttendeePartStat partStat);
// The organizer has accepted.
Mail::AttendeePartStat ConvertMtgResponseStatusToPartStat(LONG lOlStatus);
OlImportance ConvertImportanceToOlkValue(Mail::CompImportance importance);
Mail::CompImportance ConvertImportance(LONG lOlImportance);
// A cancelled task is deferred for the client.
OlTaskStatus ConvertStatusToOlkValue(Mail::CompTaskStatus status);
Mail::CompTaskStatus ConvertTaskStatus(LONG lOlStatus);
OlMeetingStatus ConvertMeetingStatusToOlkValue(Mail::CompMeetingStatus status);
// Received-and-cancelled is cancelled.
Mail::CompMeetingStatus ConvertMeetingStatus(LONG lOlStatus);
OlResponseStatus ConvertResponseStatusToOlkValue(Mail::CompResponseStatus status);
// Organized is confirmed; not responded needs action.
Mail::CompResponseStatus ConvertResponseStatus(LONG lOlStatus);
OlBusyStatus ConvertBusyStatusToOlkValue(Mail::CompBusyStatus status);
// Working elsewhere is free: the server has no such state and the person can be booked.
Mail::CompBusyStatus ConvertBusyStatus(LONG lOlStatus);

}  // namespace Ostrel::Mapi

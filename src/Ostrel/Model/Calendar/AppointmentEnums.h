// The calendar model's enumerations with the exact strings the server uses for them. Each holds
// one 32-bit value; ToString gives the server string, FromString matches a server string without
// regard to case and gives the enumeration's default for anything else. The classes are reached
// through the model's classes (Comp::Status, Attendee::Role, ...).
#pragma once

#include <cstdint>
#include <iterator>

namespace Ostrel::Mail {

// ASCII case-insensitive equality; null equals nothing.
bool EqualsServerString(const wchar_t* pwszText, const wchar_t* pwszServer);

// Base of the enumerations whose values index their server strings. Derived gives
// kNames (indexed by value) and kDefault (for unknown texts and a default-constructed value).
template <typename Derived>
class ServerEnum {
public:
    int32_t GetValue() const { return m_lValue; }

    // The server string of the value; a value outside the list (only reachable by casting)
    // gives the default's string rather than reading past the table.
    const wchar_t* ToString() const {
        constexpr int32_t cNames = static_cast<int32_t>(std::size(Derived::kNames));
        return Derived::kNames[m_lValue >= 0 && m_lValue < cNames ? m_lValue : Derived::kDefault];
    }

    static Derived FromString(const wchar_t* pwszText) {
        constexpr int32_t cNames = static_cast<int32_t>(std::size(Derived::kNames));
        for (int32_t i = 0; i < cNames; ++i) {
            if (EqualsServerString(pwszText, Derived::kNames[i]))
                return Derived(static_cast<typename Derived::Value>(i));
        }
        return Derived(Derived::kDefault);
    }

    friend bool operator==(const Derived& a, const Derived& b) { return a.GetValue() == b.GetValue(); }

protected:
    explicit constexpr ServerEnum(int32_t lValue) : m_lValue(lValue) {}

private:
    int32_t m_lValue;
};

class CompStatus : public ServerEnum<CompStatus> {
public:
    enum Value : int32_t { TENT = 0, CONF = 1, CANC = 2 };
    static constexpr const wchar_t* kNames[] = {L"TENT", L"CONF", L"CANC"};
    static constexpr Value kDefault = TENT;
    constexpr CompStatus(Value value = kDefault) : ServerEnum(value) {}
    bool GetIsCancelled() const { return GetValue() == CANC; }
};

class CompBusyStatus : public ServerEnum<CompBusyStatus> {
public:
    enum Value : int32_t { F = 0, B = 1, T = 2, O = 3 };  // free, busy, tentative, out of office
    static constexpr const wchar_t* kNames[] = {L"F", L"B", L"T", L"O"};
    static constexpr Value kDefault = T;
    constexpr CompBusyStatus(Value value = kDefault) : ServerEnum(value) {}
};

class CompMeetingStatus : public ServerEnum<CompMeetingStatus> {
public:
    enum Value : int32_t { NON_MTG = 0, MTG = 1, RECEIVED = 2, CANCELED = 3 };
    static constexpr const wchar_t* kNames[] = {L"NON_MTG", L"MTG", L"RECEIVED", L"CANCELED"};
    static constexpr Value kDefault = NON_MTG;
    constexpr CompMeetingStatus(Value value = kDefault) : ServerEnum(value) {}
};

class CompResponseStatus : public ServerEnum<CompResponseStatus> {
public:
    enum Value : int32_t { TENT = 0, CONF = 1, CANC = 2, NEEDS_ACTION = 3, NONE = 4 };
    static constexpr const wchar_t* kNames[] = {L"TENT", L"CONF", L"CANC", L"NEEDS_ACTION", L"NONE"};
    static constexpr Value kDefault = NONE;
    constexpr CompResponseStatus(Value value = kDefault) : ServerEnum(value) {}
};

class CompTaskStatus : public ServerEnum<CompTaskStatus> {
public:
    enum Value : int32_t { NEED = 0, COMP = 1, INPR = 2, CANC = 3, WAITING = 4, DEFERRED = 5 };
    static constexpr const wchar_t* kNames[] = {L"NEED", L"COMP", L"INPR", L"CANC", L"WAITING", L"DEFERRED"};
    static constexpr Value kDefault = INPR;
    constexpr CompTaskStatus(Value value = kDefault) : ServerEnum(value) {}
};

class AttendeeRole : public ServerEnum<AttendeeRole> {
public:
    enum Value : int32_t { CH = 0, REQ = 1, OPT = 2, NON = 3 };  // chair, required, optional, non-participant
    static constexpr const wchar_t* kNames[] = {L"CH", L"REQ", L"OPT", L"NON"};
    static constexpr Value kDefault = REQ;
    constexpr AttendeeRole(Value value = kDefault) : ServerEnum(value) {}
};

class AttendeePartStat : public ServerEnum<AttendeePartStat> {
public:
    // needs action, tentative, accepted, declined, delegated
    enum Value : int32_t { NE = 0, TE = 1, AC = 2, DE = 3, DG = 4 };
    static constexpr const wchar_t* kNames[] = {L"NE", L"TE", L"AC", L"DE", L"DG"};
    static constexpr Value kDefault = NE;
    constexpr AttendeePartStat(Value value = kDefault) : ServerEnum(value) {}
};

class AttendeeUserType : public ServerEnum<AttendeeUserType> {
public:
    enum Value : int32_t { IND = 0, GRO = 1, RES = 2, ROO = 3, UNK = 4 };  // individual, group, resource, room
    static constexpr const wchar_t* kNames[] = {L"IND", L"GRO", L"RES", L"ROO", L"UNK"};
    static constexpr Value kDefault = UNK;
    constexpr AttendeeUserType(Value value = kDefault) : ServerEnum(value) {}
};

// Written as the iCalendar PRIORITY: "9" low, "5" normal, "1" high.
class CompImportance {
public:
    enum Value : int32_t { LOW = 0, NORMAL = 1, HIGH = 2 };
    constexpr CompImportance(Value value = NORMAL) : m_lValue(value) {}

    int32_t GetValue() const { return m_lValue; }
    // "5" for a value outside the list.
    const wchar_t* ToString() const;
    // 1-4 high, 5 normal, 6-9 low; anything else (0, out of range, not a number) normal.
    static CompImportance FromString(const wchar_t* pwszText);

    friend bool operator==(const CompImportance& a, const CompImportance& b) { return a.m_lValue == b.m_lValue; }

private:
    int32_t m_lValue;
};

// A day of the week as a bit of the recurrence day mask.
class DayOfWeek {
public:
    enum Value : int32_t { SU = 1, MO = 2, TU = 4, WE = 8, TH = 16, FR = 32, SA = 64 };
    // The mask of Monday to Friday.
    static constexpr int32_t kWeekdays = MO | TU | WE | TH | FR;

    constexpr DayOfWeek(Value value = SU) : m_lValue(value) {}

    int32_t GetValue() const { return m_lValue; }
    // The server string of a single day; "SU" for anything that is not exactly one day's bit.
    const wchar_t* ToString() const;
    // "MO" to "SA" give their bits; every other text, "SU" included, gives Sunday.
    static DayOfWeek FromString(const wchar_t* pwszText);

    friend bool operator==(const DayOfWeek& a, const DayOfWeek& b) { return a.m_lValue == b.m_lValue; }

private:
    int32_t m_lValue;
};

enum class RecurrenceType : int32_t {
    Daily = 0,
    Monthly = 1,   // by day of the month
    MonthNth = 2,  // nth weekday of the month
    Weekly = 3,
    Yearly = 4,   // day of a month
    YearNth = 5,  // nth weekday of a month
};

}  // namespace Ostrel::Mail

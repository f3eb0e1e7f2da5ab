// The simulator's own expansion of a series: the rule, its zone's transition rules and the removed
// instances, worked out on civil dates without any time zone library.
#include "ostrel-server/Calendar.h"

#include <charconv>
#include <set>

namespace OstrelServer {

namespace {

// Days since 1970-01-01 of a civil date, and back (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

struct Civil {
    int64_t y, m, d;
};

Civil CivilFromDays(int64_t z) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const int64_t m = mp + (mp < 10 ? 3 : -9);
    return {yoe + era * 400 + (m <= 2), m, d};
}

// 0 = Sunday.
int Weekday(int64_t days) {
    return static_cast<int>(((days % 7) + 11) % 7);
}

int64_t DaysInMonth(int64_t y, int64_t m) {
    return DaysFromCivil(m == 12 ? y + 1 : y, m == 12 ? 1 : m + 1, 1) - DaysFromCivil(y, m, 1);
}

int Int(const std::string* p, int fallback = 0) {
    if (!p)
        return fallback;
    int value = fallback;
    std::from_chars(p->data(), p->data() + p->size(), value);
    return value;
}

// The day of the pos-th (1-4, -1 = last) weekday wd of the month, or 0.
int64_t NthWeekday(int64_t y, int64_t m, int wd, int pos) {
    const int64_t first = DaysFromCivil(y, m, 1), count = DaysInMonth(y, m);
    if (pos > 0) {
        const int64_t day = 1 + (wd - Weekday(first) + 7) % 7 + 7 * (pos - 1);
        return day <= count ? day : 0;
    }
    const int64_t last = first + count - 1;
    return count - (Weekday(last) - wd + 7) % 7;
}

struct Zone {
    int stdoff = 0, dayoff = 0;
    bool dst = false;
    int stdWeek = 0, stdWd = 0, stdMon = 0, stdMin = 0;
    int dayWeek = 0, dayWd = 0, dayMon = 0, dayMin = 0;

    // Minutes east of UTC in force at this wall time (minutes since 1970, wall).
    int OffsetAt(int64_t wallMinutes) const {
        if (!dst)
            return stdoff;
        const Civil c = CivilFromDays(wallMinutes / 1440 - (wallMinutes < 0 && wallMinutes % 1440));
        auto At = [&](int mon, int week, int wd, int minutes) {
            return DaysFromCivil(c.y, mon, NthWeekday(c.y, mon, wd, week == 5 ? -1 : week)) * 1440 + minutes;
        };
        const int64_t dstStart = At(dayMon, dayWeek, dayWd, dayMin);
        const int64_t dstEnd = At(stdMon, stdWeek, stdWd, stdMin);
        const bool in = dstStart < dstEnd ? (wallMinutes >= dstStart && wallMinutes < dstEnd)
                                          : (wallMinutes >= dstStart || wallMinutes < dstEnd);
        return in ? dayoff : stdoff;
    }
};

Zone ZoneOf(const CalNode* pTz) {
    Zone z;
    if (!pTz)
        return z;
    z.stdoff = Int(pTz->Attr("stdoff"));
    z.dayoff = Int(pTz->Attr("dayoff"), z.stdoff);
    const CalNode* pStd = pTz->Child("standard");
    const CalNode* pDay = pTz->Child("daylight");
    if (pStd && pDay) {
        z.dst = true;
        auto Read = [](const CalNode* p, int& week, int& wd, int& mon, int& minutes) {
            week = Int(p->Attr("week"));
            week = week == -1 ? 5 : week;
            wd = Int(p->Attr("wkday"), 1) - 1;
            mon = Int(p->Attr("mon"), 1);
            minutes = Int(p->Attr("hour")) * 60 + Int(p->Attr("min"));
        };
        Read(pStd, z.stdWeek, z.stdWd, z.stdMon, z.stdMin);
        Read(pDay, z.dayWeek, z.dayWd, z.dayMon, z.dayMin);
    }
    return z;
}

// A date string as wall minutes since 1970 (UTC minutes when it ends in "Z").
bool ParseDate(const std::string& s, int64_t& minutes, bool& utc) {
    if (s.size() < 8)
        return false;
    auto Num = [&](size_t pos, size_t len) {
        int v = 0;
        std::from_chars(s.data() + pos, s.data() + pos + len, v);
        return v;
    };
    int64_t days = DaysFromCivil(Num(0, 4), Num(4, 2), Num(6, 2));
    minutes = days * 1440;
    if (s.size() >= 13 && s[8] == 'T')
        minutes += Num(9, 2) * 60 + Num(11, 2);
    utc = !s.empty() && s.back() == 'Z';
    return true;
}

}  // namespace

std::vector<int64_t> Occurrences(const CalendarItem& item, int64_t fromUnix, int64_t toUnix) {
    std::vector<int64_t> out;
    const CalNode* pM = item.series.Child("m");
    const CalNode* pInv = pM ? pM->Child("inv") : nullptr;
    const CalNode* pStart = pInv ? pInv->Child("s") : nullptr;
    const CalNode* pRecur = pInv ? pInv->Child("recur") : nullptr;
    const CalNode* pAdd = pRecur ? pRecur->Child("add") : nullptr;
    const CalNode* pRule = pAdd ? pAdd->Child("rule") : nullptr;
    if (!pStart || !pRule || !pStart->Attr("d"))
        return out;
    const CalNode* pTz = nullptr;
    if (const std::string* pTzId = pStart->Attr("tz"))
        for (const CalNode& c : pM->children)
            if (c.name == "tz" && c.Attr("id") && *c.Attr("id") == *pTzId)
                pTz = &c;
    const Zone zone = ZoneOf(pTz);
    auto ToUtcSeconds = [&](int64_t wall, bool utc) { return (utc ? wall : wall - zone.OffsetAt(wall)) * 60; };

    int64_t startWall = 0;
    bool startUtc = false;
    ParseDate(*pStart->Attr("d"), startWall, startUtc);
    if (startUtc)  // a UTC start is taken as the wall time it has in the zone
        startWall += zone.OffsetAt(startWall);
    const int64_t timeOfDay = ((startWall % 1440) + 1440) % 1440;
    const int64_t startDay = (startWall - timeOfDay) / 1440;

    const std::string freq = pRule->Attr("freq") ? *pRule->Attr("freq") : "";
    int interval = 1, monthDay = 0, month = 0, pos = 0, count = 0, mask = 0;
    std::optional<int64_t> untilUtc;
    for (const CalNode& c : pRule->children) {
        if (c.name == "interval")
            interval = std::max(1, Int(c.Attr("ival"), 1));
        else if (c.name == "bymonthday")
            monthDay = Int(c.Attr("modaylist"));
        else if (c.name == "bymonth")
            month = Int(c.Attr("molist"));
        else if (c.name == "bysetpos")
            pos = Int(c.Attr("poslist"));
        else if (c.name == "count")
            count = Int(c.Attr("num"));
        else if (c.name == "until" && c.Attr("d")) {
            int64_t wall = 0;
            bool utc = false;
            ParseDate(*c.Attr("d"), wall, utc);
            if (c.Attr("d")->find('T') == std::string::npos)
                wall += 1439;  // the whole last day
            untilUtc = ToUtcSeconds(wall, utc);
        } else if (c.name == "byday") {
            static const char* const kDays[] = {"SU", "MO", "TU", "WE", "TH", "FR", "SA"};
            for (const CalNode& w : c.children)
                for (int i = 0; i < 7; ++i)
                    if (w.Attr("day") && *w.Attr("day") == kDays[i])
                        mask |= 1 << i;
        }
    }

    // Instances taken out: cancelled ones and excluded dates, by their original start.
    std::set<int64_t> removed;
    auto Remove = [&](const std::string* pDate) {
        int64_t wall = 0;
        bool utc = false;
        if (pDate && ParseDate(*pDate, wall, utc)) {
            if (pDate->find('T') == std::string::npos)
                wall += timeOfDay;
            removed.insert(ToUtcSeconds(wall, utc));
        }
    };
    for (const CalNode& c : item.cancels) {
        const CalNode* pCm = c.Child("m");
        const CalNode* pCi = pCm ? pCm->Child("inv") : nullptr;
        const CalNode* pId = pCi ? pCi->Child("exceptId") : nullptr;
        if (pId)
            Remove(pId->Attr("d"));
    }
    if (const CalNode* pExclude = pRecur->Child("exclude"))
        if (const CalNode* pDates = pExclude->Child("dates"))
            for (const CalNode& dt : pDates->children)
                if (const CalNode* pS = dt.Child("s"))
                    Remove(pS->Attr("d"));

    const Civil startCivil = CivilFromDays(startDay);
    const int64_t startWeek = (startDay - Weekday(startDay)) / 7;  // weeks start on Sunday
    auto Matches = [&](int64_t day) {
        const Civil c = CivilFromDays(day);
        const int wd = Weekday(day);
        const int64_t months = (c.y - startCivil.y) * 12 + (c.m - startCivil.m);
        auto DayInMonth = [&]() {
            if (monthDay)
                return c.d == monthDay;
            for (int i = 0; i < 7; ++i)
                if ((mask & (1 << i)) && c.d == NthWeekday(c.y, c.m, i, pos == 5 ? -1 : pos))
                    return true;
            return false;
        };
        if (freq == "DAI")
            return (day - startDay) % interval == 0 && (!mask || (mask & (1 << wd)));
        if (freq == "WEE")
            return ((day - wd) / 7 - startWeek) % interval == 0 &&
                   (mask ? (mask & (1 << wd)) != 0 : wd == Weekday(startDay));
        if (freq == "MON")
            return months % interval == 0 && DayInMonth();
        if (freq == "YEA")
            return c.m == (month ? month : startCivil.m) && (c.y - startCivil.y) % interval == 0 && DayInMonth();
        return false;
    };
    int generated = 0;
    // Fifty years is past every series the simulator holds or a test asks about.
    for (int64_t day = startDay; day < startDay + 366 * 50; ++day) {
        if (!Matches(day))
            continue;
        const int64_t utc = ToUtcSeconds(day * 1440 + timeOfDay, false);
        if (untilUtc && utc > *untilUtc)
            break;
        if (count && generated >= count)
            break;
        ++generated;
        if (utc >= toUnix)
            break;
        if (utc >= fromUnix && !removed.count(utc))
            out.push_back(utc);
    }
    return out;
}

}  // namespace OstrelServer

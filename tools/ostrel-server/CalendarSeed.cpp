// The simulator's calendar: a fixed data set of appointments and tasks, and generated bulk items.
// The mailbox user is user@ostrel.test.
#include "ostrel-server/Calendar.h"

#include <string>

namespace OstrelServer {

namespace {

struct ZoneDef {
    const char* id;
    int stdoff, dayoff;
    // Transitions: week (-1 = last), weekday (1 = Sunday), month, hour; month 0 = none.
    int stdWeek, stdWd, stdMon, stdHour;
    int dayWeek, dayWd, dayMon, dayHour;
};

const ZoneDef kLondon{"Europe/London", 0, 60, -1, 1, 10, 2, -1, 1, 3, 1};
const ZoneDef kNewYork{"America/New_York", -300, -240, 1, 1, 11, 2, 2, 1, 3, 2};
const ZoneDef kSydney{"Australia/Sydney", 600, 660, 1, 1, 4, 3, 1, 1, 10, 2};
const ZoneDef kBerlin{"Europe/Berlin", 60, 120, -1, 1, 10, 3, -1, 1, 3, 2};
const ZoneDef kTokyo{"Asia/Tokyo", 540, 540, 0, 0, 0, 0, 0, 0, 0, 0};

const char* const kUser = kCalendarUser;

CalNode ZoneNode(const ZoneDef& z) {
    CalNode tz("tz");
    tz.Set("id", z.id).Set("stdoff", std::to_string(z.stdoff));
    if (z.stdMon) {
        tz.Set("dayoff", std::to_string(z.dayoff));
        auto Rule = [](CalNode& t, int week, int wd, int mon, int hour) {
            t.Set("week", std::to_string(week)).Set("wkday", std::to_string(wd)).Set("mon", std::to_string(mon));
            t.Set("hour", std::to_string(hour)).Set("min", "0").Set("sec", "0");
        };
        Rule(tz.Add("standard"), z.stdWeek, z.stdWd, z.stdMon, z.stdHour);
        Rule(tz.Add("daylight"), z.dayWeek, z.dayWd, z.dayMon, z.dayHour);
    }
    return tz;
}

// An instance element (`default`, `except`, `cancel`) with its `m` and `inv`.
CalNode Instance(const char* pszKind, int invId, const ZoneDef* pZone, const std::string& subject) {
    CalNode e(pszKind);
    CalNode& m = e.Add("m");
    m.Set("id", std::to_string(invId));
    if (pZone)
        m.children.push_back(ZoneNode(*pZone));
    CalNode& inv = m.Add("inv");
    if (std::string(pszKind) != "cancel")
        inv.Set("method", "REQUEST");
    inv.Set("fb", "B").Set("transp", "O").Set("allDay", "0").Set("name", subject).Set("loc", "").Set("seq", "0");
    inv.Set("class", "PUB").Set("neverSent", "0").Set("draft", "0");
    m.Add("su").text = subject;
    return e;
}

CalNode& Inv(CalNode& instance) {
    return *instance.Child("m")->Child("inv");
}

CalNode& DateNode(CalNode& inv, const char* pszName, const std::string& date, const ZoneDef* pZone) {
    CalNode& d = inv.Add(pszName);
    d.Set("d", date);
    if (pZone && date.find('T') != std::string::npos && date.back() != 'Z')
        d.Set("tz", pZone->id);
    else if (pZone && date.find('T') == std::string::npos)
        d.Set("tz", pZone->id);
    return d;
}

struct ItemMaker {
    int nextInv = 1;

    CalendarItem Appt(const std::string& uid, const std::string& subject, const ZoneDef* pZone,
                      const std::string& start, const std::string& end, bool allDay = false) {
        CalendarItem item;
        item.modified = 1704067200;
        item.series = Instance("default", nextInv++, pZone, subject);
        item.series.Set("ptst", "AC");
        CalNode& inv = Inv(item.series);
        inv.Set("uid", uid).Set("allDay", allDay ? "1" : "0").Set("isOrg", "1").Set("status", "CONF");
        inv.Set("d", "1704067200000");
        DateNode(inv, "s", start, pZone);
        if (!end.empty())
            DateNode(inv, "e", end, pZone);
        return item;
    }

    CalendarItem Task(const std::string& uid, const std::string& subject, const std::string& start,
                      const std::string& due, const char* pszStatus, int percent, const char* pszPriority) {
        CalendarItem item;
        item.task = true;
        item.folderId = 15;
        item.modified = 1704067200;
        item.series = Instance("default", nextInv++, nullptr, subject);
        CalNode& inv = Inv(item.series);
        inv.Set("allDay", "1").Set("uid", uid).Set("status", pszStatus).Set("isOrg", "1");
        inv.Set("percentComplete", std::to_string(percent)).Set("priority", pszPriority);
        if (!start.empty())
            DateNode(inv, "s", start, nullptr);
        if (!due.empty())
            DateNode(inv, "e", due, nullptr);
        return item;
    }
};

void Organizer(CalendarItem& item, const std::string& name, const std::string& address,
               const std::string& sentBy = std::string()) {
    CalNode& inv = Inv(item.series);
    CalNode& o = inv.Add("or");
    o.Set("name", name).Set("a", address);
    if (!sentBy.empty())
        o.Set("sentBy", sentBy);
    if (address != kUser)
        inv.Set("isOrg", "0");
}

void Attendee(CalNode& inv, const std::string& name, const std::string& address, const char* pszRole,
              const char* pszPtst, bool resource = false) {
    CalNode& at = inv.Add("at");
    at.Set("d", name).Set("a", address).Set("role", pszRole);
    if (resource)
        at.Set("cutype", "RES");
    at.Set("ptst", pszPtst).Set("rsvp", "1");
}

// A meeting the user organizes with two attendees.
void Meeting(CalendarItem& item) {
    Organizer(item, "Mailbox User", kUser);
    CalNode& inv = Inv(item.series);
    Attendee(inv, "Ann Lee", "ann@ostrel.test", "REQ", "AC");
    Attendee(inv, "Ben Otto", "ben@ostrel.test", "OPT", "TE");
}

// A meeting someone else organizes, the user invited with a status.
void Received(CalendarItem& item, const char* pszMyStatus) {
    Organizer(item, "Greta Boss", "greta@ostrel.test");
    CalNode& inv = Inv(item.series);
    item.series.Set("ptst", pszMyStatus);
    Attendee(inv, "Mailbox User", kUser, "REQ", pszMyStatus);
    Attendee(inv, "Ann Lee", "ann@ostrel.test", "REQ", "AC");
}

void Alarm(CalNode& inv, int minutes) {
    CalNode& a = inv.Add("alarm");
    a.Set("action", "DISPLAY");
    a.Add("trigger").Add("rel").Set("related", "START").Set("neg", "1").Set("m", std::to_string(minutes));
    a.Add("desc");
}

void TaskAlarm(CalNode& inv, const std::string& when) {
    CalNode& a = inv.Add("alarm");
    a.Set("action", "DISPLAY");
    a.Add("trigger").Add("abs").Set("d", when);
    a.Add("desc");
}

struct Rule {
    const char* freq;
    int interval = 1;
    std::vector<const char*> days;
    int monthDay = 0, month = 0, pos = 0, count = 0;
    std::string until;
};

void Recur(CalendarItem& item, const Rule& r) {
    CalNode& rule = Inv(item.series).Add("recur").Add("add").Add("rule");
    rule.Set("freq", r.freq);
    if (std::string(r.freq) != "YEA")
        rule.Add("interval").Set("ival", std::to_string(r.interval));
    if (!r.days.empty()) {
        CalNode& byday = rule.Add("byday");
        for (const char* d : r.days)
            byday.Add("wkday").Set("day", d);
    }
    if (r.monthDay)
        rule.Add("bymonthday").Set("modaylist", std::to_string(r.monthDay));
    if (r.month)
        rule.Add("bymonth").Set("molist", std::to_string(r.month));
    if (r.pos)
        rule.Add("bysetpos").Set("poslist", std::to_string(r.pos));
    if (!r.until.empty())
        rule.Add("until").Set("d", r.until);
    else if (r.count)
        rule.Add("count").Set("num", std::to_string(r.count));
}

// A modified instance: the original start, the new start and end, and a subject of its own.
CalNode& Exception(ItemMaker& maker, CalendarItem& item, const ZoneDef* pZone, const std::string& original,
                   const std::string& start, const std::string& end, const std::string& subject) {
    const CalNode& seriesInv = Inv(item.series);
    CalNode e = Instance("except", maker.nextInv++, pZone, subject);
    e.Set("ptst", item.series.Attr("ptst") ? *item.series.Attr("ptst") : "AC");
    CalNode& inv = Inv(e);
    inv.Set("uid", *seriesInv.Attr("uid")).Set("allDay", *seriesInv.Attr("allDay")).Set("status", "CONF");
    inv.Set("isOrg", *seriesInv.Attr("isOrg")).Set("seq", "1");
    DateNode(inv, "s", start, pZone);
    DateNode(inv, "e", end, pZone);
    DateNode(inv, "exceptId", original, pZone);
    for (const CalNode& c : seriesInv.children)
        if (c.name == "or" || c.name == "at")
            inv.children.push_back(c);
    item.exceptions.push_back(std::move(e));
    return Inv(item.exceptions.back());
}

void Cancel(ItemMaker& maker, CalendarItem& item, const ZoneDef* pZone, const std::string& original) {
    const CalNode& seriesInv = Inv(item.series);
    CalNode c = Instance("cancel", maker.nextInv++, pZone, *seriesInv.Attr("name"));
    CalNode& inv = Inv(c);
    inv.Set("uid", *seriesInv.Attr("uid")).Set("allDay", *seriesInv.Attr("allDay")).Set("status", "CANC");
    DateNode(inv, "s", original, pZone);
    DateNode(inv, "exceptId", original, pZone);
    item.cancels.push_back(std::move(c));
}

void Body(CalendarItem& item, const std::string& text, const std::string& html = std::string()) {
    CalNode& m = *item.series.Child("m");
    if (html.empty()) {
        CalNode& mp = m.Add("mp");
        mp.Set("ct", "text/plain");
        mp.Add("content").text = text;
        return;
    }
    CalNode& alt = m.Add("mp");
    alt.Set("ct", "multipart/alternative");
    CalNode& plain = alt.Add("mp");
    plain.Set("ct", "text/plain");
    plain.Add("content").text = text;
    CalNode& rich = alt.Add("mp");
    rich.Set("ct", "text/html");
    rich.Add("content").text = html;
}

void XProp(CalNode& inv, const std::string& name, const std::string& value) {
    inv.Add("xprop").Set("name", name).Set("value", value);
}

}  // namespace

std::vector<CalendarItem> CalendarBook::SeedItems() {
    ItemMaker mk;
    std::vector<CalendarItem> items;
    auto Add = [&](CalendarItem item) -> CalendarItem& {
        item.id = 0;
        items.push_back(std::move(item));
        return items.back();
    };

    // Single meetings in several zones.
    {
        auto& a = Add(mk.Appt("uid-single-london", "Planning", &kLondon, "20240305T090000", "20240305T100000"));
        Meeting(a);
        Inv(a.series).Set("loc", "Room 1");
        Alarm(Inv(a.series), 15);
    }
    {
        auto& a =
            Add(mk.Appt("uid-single-newyork", "Quarterly review", &kNewYork, "20240411T140000", "20240411T153000"));
        Received(a, "AC");
        Alarm(Inv(a.series), 30);
    }
    {
        auto& a = Add(mk.Appt("uid-single-sydney", "Vendor call", &kSydney, "20240812T083000", "20240812T090000"));
        Received(a, "TE");
        Inv(a.series).Set("fb", "T");
    }
    Add(mk.Appt("uid-allday-london", "Company holiday", &kLondon, "20240315", "20240315", true));
    {
        auto& a = Add(mk.Appt("uid-allday-multi-newyork", "Conference", &kNewYork, "20240701", "20240703", true));
        Inv(a.series).Set("loc", "Boston");
    }
    Add(mk.Appt("uid-allday-sydney", "New Year", &kSydney, "20240101", "20240101", true));
    {
        auto& a = Add(mk.Appt("uid-private-london", "Doctor", &kLondon, "20240506T110000", "20240506T120000"));
        Inv(a.series).Set("class", "PRI").Set("loc", "Clinic");
    }
    {
        auto& a = Add(mk.Appt("uid-oof-berlin", "Out of office", &kBerlin, "20240805T000000", "20240810T000000"));
        Inv(a.series).Set("fb", "O");
    }
    {
        auto& a = Add(mk.Appt("uid-free-tokyo", "Lunch", &kTokyo, "20240910T120000", "20240910T130000"));
        Inv(a.series).Set("fb", "F").Set("transp", "T");
    }
    {
        auto& a =
            Add(mk.Appt("uid-cancelled-newyork", "Cancelled sync", &kNewYork, "20240603T100000", "20240603T103000"));
        Received(a, "NE");
        Inv(a.series).Set("status", "CANC");
    }

    // Weekly series across daylight saving changes.
    {
        auto& a = Add(mk.Appt("uid-weekly-london-dst", "Standup", &kLondon, "20240319T093000", "20240319T094500"));
        Meeting(a);
        Recur(a, {"WEE", 1, {"TU", "TH"}, 0, 0, 0, 10, ""});
        Alarm(Inv(a.series), 5);
    }
    {
        auto& a = Add(mk.Appt("uid-weekly-newyork-dst", "Team sync", &kNewYork, "20240226T110000", "20240226T120000"));
        Received(a, "AC");
        Recur(a, {"WEE", 1, {"MO"}, 0, 0, 0, 0, "20240415T110000"});
    }
    {
        auto& a =
            Add(mk.Appt("uid-weekly-sydney-dst", "Design review", &kSydney, "20240320T160000", "20240320T170000"));
        Meeting(a);
        Recur(a, {"WEE", 1, {"WE"}, 0, 0, 0, 8, ""});
    }
    {
        auto& a = Add(mk.Appt("uid-daily-london-exc", "Sprint", &kLondon, "20240325T100000", "20240325T101500"));
        Meeting(a);
        Recur(a, {"DAI", 1, {}, 0, 0, 0, 5, ""});
        Exception(mk, a, &kLondon, "20240327T100000", "20240327T140000", "20240327T141500", "Sprint (moved)");
        Cancel(mk, a, &kLondon, "20240328T100000");
    }
    {
        auto& a = Add(mk.Appt("uid-weekdays-newyork", "Check-in", &kNewYork, "20240304T083000", "20240304T084500"));
        Meeting(a);
        Recur(a, {"DAI", 1, {"MO", "TU", "WE", "TH", "FR"}, 0, 0, 0, 15, ""});
        Exception(mk, a, &kNewYork, "20240312T083000", "20240312T090000", "20240312T091500", "Check-in (late)");
    }
    {
        auto& a = Add(mk.Appt("uid-monthly-sydney", "Budget", &kSydney, "20240115T150000", "20240115T160000"));
        Received(a, "AC");
        Recur(a, {"MON", 1, {}, 15, 0, 0, 12, ""});
    }
    {
        auto& a = Add(mk.Appt("uid-monthnth-london", "User group", &kLondon, "20240213T180000", "20240213T200000"));
        Recur(a, {"MON", 1, {"TU"}, 0, 0, 2, 6, ""});
    }
    {
        auto& a = Add(mk.Appt("uid-monthlast-newyork", "Month close", &kNewYork, "20240126T160000", "20240126T170000"));
        Meeting(a);
        Recur(a, {"MON", 1, {"FR"}, 0, 0, -1, 0, "20241231T235900"});
    }
    {
        auto& a =
            Add(mk.Appt("uid-yearly-london", "Anniversary dinner", &kLondon, "20240320T190000", "20240320T220000"));
        Recur(a, {"YEA", 1, {}, 20, 3, 0, 5, ""});
    }
    {
        auto& a =
            Add(mk.Appt("uid-yearnth-newyork", "Thanksgiving lunch", &kNewYork, "20241128T120000", "20241128T140000"));
        Recur(a, {"YEA", 1, {"TH"}, 0, 11, 4, 3, ""});
    }
    {
        auto& a = Add(mk.Appt("uid-weekly-sydney-exc", "Coaching", &kSydney, "20240902T100000", "20240902T110000"));
        Meeting(a);
        Recur(a, {"WEE", 1, {"MO"}, 0, 0, 0, 10, ""});
        CalNode& e =
            Exception(mk, a, &kSydney, "20240916T100000", "20240917T100000", "20240917T110000", "Coaching (Tue)");
        e.Set("loc", "Room 7");
        // Ben is not invited to this one.
        for (size_t i = 0; i < e.children.size(); ++i)
            if (e.children[i].name == "at" && *e.children[i].Attr("a") == "ben@ostrel.test")
                e.children.erase(e.children.begin() + static_cast<long>(i));
        Exception(mk, a, &kSydney, "20241007T100000", "20241007T113000", "20241007T123000", "Coaching (after DST)");
        Cancel(mk, a, &kSydney, "20240923T100000");
        Cancel(mk, a, &kSydney, "20241028T100000");
    }
    {
        auto& a = Add(mk.Appt("uid-allday-weekly-london", "Remote day", &kLondon, "20240301", "20240301", true));
        Recur(a, {"WEE", 1, {"FR"}, 0, 0, 0, 6, ""});
    }
    {
        auto& a = Add(mk.Appt("uid-birthday-newyork", "Birthday", &kNewYork, "20240614", "20240614", true));
        Recur(a, {"YEA", 1, {}, 14, 6, 0, 0, ""});
        Inv(a.series).Set("fb", "F");
        Alarm(Inv(a.series), 1080);
    }
    {
        auto& a = Add(mk.Appt("uid-daily-berlin", "Gym", &kBerlin, "20240102T070000", "20240102T080000"));
        Recur(a, {"DAI", 2, {}, 0, 0, 0, 0, ""});
        Inv(a.series).Set("class", "PRI");
    }
    {
        auto& a = Add(mk.Appt("uid-biweekly-tokyo", "Partner sync", &kTokyo, "20240108T100000", "20240108T110000"));
        Received(a, "AC");
        Recur(a, {"WEE", 2, {"MO", "WE"}, 0, 0, 0, 10, ""});
    }

    // People, bodies and other details.
    {
        auto& a = Add(mk.Appt("uid-resource-london", "Board meeting", &kLondon, "20240617T130000", "20240617T150000"));
        Meeting(a);
        Attendee(Inv(a.series), "Board Room", "boardroom@ostrel.test", "NON", "AC", true);
    }
    {
        auto& a = Add(mk.Appt("uid-roles-newyork", "Architecture", &kNewYork, "20240618T090000", "20240618T100000"));
        Meeting(a);
        Attendee(Inv(a.series), "Carla Declines", "carla@ostrel.test", "REQ", "DE");
        Attendee(Inv(a.series), "David Info", "david@ostrel.test", "NON", "NE");
    }
    {
        auto& a = Add(mk.Appt("uid-sentby-sydney", "Executive brief", &kSydney, "20240619T090000", "20240619T093000"));
        Organizer(a, "Olga Exec", "olga@ostrel.test", "assistant@ostrel.test");
        a.series.Set("ptst", "AC");
        Attendee(Inv(a.series), "Mailbox User", kUser, "REQ", "AC");
    }
    {
        auto& a = Add(
            mk.Appt("uid-html-london", "Launch <party> & \"drinks\"", &kLondon, "20240620T170000", "20240620T190000"));
        Meeting(a);
        Body(a, "Bring snacks & friends.\r\nSee you there.",
             "<html><body><p>Bring <b>snacks</b> &amp; friends.</p></body></html>");
    }
    {
        auto& a = Add(mk.Appt("uid-summary-newyork", "Interview", &kNewYork, "20240621T100000", "20240621T110000"));
        Received(a, "AC");
        Body(a,
             "The following meeting has been modified:\r\n\r\nInterview\r\n*~*~*~*~*~*~*~*~*~*\r\n\r\nPlease review "
             "the CV.");
    }
    {
        auto& a = Add(mk.Appt("uid-alarm-zero-sydney", "Deploy", &kSydney, "20240622T200000", "20240622T210000"));
        Alarm(Inv(a.series), 0);
    }
    {
        auto& a = Add(mk.Appt("uid-duration-london", "Workshop", &kLondon, "20240624T090000", ""));
        Inv(a.series).Add("dur").Set("m", "45");
    }
    Add(mk.Appt("uid-utc-times", "Webinar", nullptr, "20240610T140000Z", "20240610T150000Z"));
    {
        auto& a = Add(mk.Appt("uid-tags-berlin", "Tagged", &kBerlin, "20240625T140000", "20240625T150000"));
        a.tagNames = "Work,Important";
        a.tagIds = "3,17";
    }
    {
        auto& a = Add(mk.Appt("uid-private-weekly-berlin", "Therapy", &kBerlin, "20240904T170000", "20240904T180000"));
        Inv(a.series).Set("class", "PRI");
        Recur(a, {"WEE", 1, {"WE"}, 0, 0, 0, 12, ""});
    }
    {
        auto& a = Add(
            mk.Appt("uid-received-declined-instance", "Ops review", &kNewYork, "20241021T150000", "20241021T160000"));
        Received(a, "AC");
        Recur(a, {"WEE", 1, {"MO"}, 0, 0, 0, 6, ""});
        CalNode& e = Exception(mk, a, &kNewYork, "20241104T150000", "20241104T150000", "20241104T160000", "Ops review");
        a.exceptions.back().Set("ptst", "DE");
        for (CalNode& c : e.children)
            if (c.name == "at" && *c.Attr("a") == kUser)
                c.Set("ptst", "DE");
    }
    {
        auto& a = Add(mk.Appt("uid-exclude-london", "Office hours", &kLondon, "20241001T140000", "20241001T150000"));
        Recur(a, {"WEE", 1, {"TU"}, 0, 0, 0, 8, ""});
        CalNode& dates = Inv(a.series).Child("recur")->Add("exclude").Add("dates");
        dates.Add("dtval").Add("s").Set("d", "20241029T140000").Set("tz", kLondon.id);
    }
    {
        auto& a = Add(mk.Appt("uid-flight", "Flight LHR-JFK", &kLondon, "20240715T110000", ""));
        a.series.Child("m")->children.insert(a.series.Child("m")->children.begin() + 1, ZoneNode(kNewYork));
        DateNode(Inv(a.series), "e", "20240715T140000", &kNewYork);
    }
    {
        auto& a = Add(mk.Appt("uid-next-alarm", "Release", &kLondon, "20240626T160000", "20240626T170000"));
        Alarm(Inv(a.series), 10);
        a.nextAlarmMs = 1719413400000;  // 2024-06-26 14:50 UTC
    }
    {
        auto& a = Add(mk.Appt("uid-draft-newyork", "Draft plan", &kNewYork, "20240627T100000", "20240627T110000"));
        Meeting(a);
        Inv(a.series).Set("neverSent", "1").Set("draft", "1");
    }

    // Tasks.
    Add(mk.Task("uid-task-need", "Write report", "20240301", "20240308", "NEED", 0, "5"));
    {
        auto& t = Add(mk.Task("uid-task-inpr", "Review budget", "20240310", "20240320", "INPR", 50, "5"));
        TaskAlarm(Inv(t.series), "20240319T090000Z");
    }
    {
        auto& t = Add(mk.Task("uid-task-comp", "File taxes", "20240401", "20240415", "COMP", 100, "1"));
        Inv(t.series).Set("completed", "20240412T100000Z");
    }
    {
        auto& t = Add(mk.Task("uid-task-waiting", "Wait for quote", "", "20240510", "WAITING", 25, "1"));
        TaskAlarm(Inv(t.series), "20240509T080000Z");
    }
    {
        auto& t = Add(mk.Task("uid-task-deferred", "Archive mail", "20240601", "", "DEFERRED", 0, "9"));
        CalNode& inv = Inv(t.series);
        XProp(inv, "X-OSTREL-TASK-TOTAL-WORK", "120");
        XProp(inv, "X-OSTREL-TASK-ACTUAL-WORK", "30");
        XProp(inv, "X-OSTREL-TASK-COMPANIES", "Acme; Globex");
        XProp(inv, "X-OSTREL-TASK-MILEAGE", "42 km");
        XProp(inv, "X-OSTREL-TASK-BILLING", "Project X");
        inv.Set("loc", "Basement");
    }
    {
        auto& t = Add(mk.Task("uid-task-weekly", "Water plants", "20240603", "20240603", "NEED", 0, "5"));
        Recur(t, {"WEE", 1, {"MO"}, 0, 0, 0, 0, ""});
    }
    {
        auto& t = Add(mk.Task("uid-task-assigned", "Prepare slides", "20240701", "20240705", "INPR", 10, "5"));
        Organizer(t, "Greta Boss", "greta@ostrel.test");
        Attendee(Inv(t.series), "Mailbox User", kUser, "REQ", "AC");
    }
    {
        auto& t = Add(mk.Task("uid-task-cancelled", "Old idea", "", "", "CANC", 0, "9"));
        Body(t, "Dropped after the review.");
    }
    return items;
}

std::vector<CalendarItem> CalendarBook::BulkItems(size_t count) {
    ItemMaker mk;
    const ZoneDef* const zones[] = {&kLondon, &kNewYork, &kSydney};
    std::vector<CalendarItem> items;
    items.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const ZoneDef* pZone = zones[i % 3];
        const int day = 1 + static_cast<int>(i % 28), month = 1 + static_cast<int>((i / 28) % 12);
        char date[16];
        std::snprintf(date, sizeof date, "2024%02d%02d", month, day);
        const std::string d = date;
        CalendarItem item =
            mk.Appt("bulk-" + std::to_string(i), "Bulk item " + std::to_string(i), pZone, d + "T090000", d + "T100000");
        Meeting(item);
        Alarm(Inv(item.series), 15);
        if (i % 3 == 0) {
            Recur(item, {"DAI", 1, {}, 0, 0, 0, 10, ""});
            char next[16], after[16];
            std::snprintf(next, sizeof next, "2024%02d%02d", month, day + 1);
            std::snprintf(after, sizeof after, "2024%02d%02d", month, day + 2);
            Exception(mk, item, pZone, std::string(next) + "T090000", std::string(next) + "T110000",
                      std::string(next) + "T120000", "Moved");
            Exception(mk, item, pZone, std::string(after) + "T090000", std::string(after) + "T130000",
                      std::string(after) + "T140000", "Moved again");
        }
        items.push_back(std::move(item));
    }
    return items;
}

}  // namespace OstrelServer

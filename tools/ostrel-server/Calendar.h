// Appointments and tasks of the simulator, answering GetAppointmentRequest, GetTaskRequest,
// SetAppointmentRequest and SetTaskRequest (Endpoints/Calendar.cpp).
//
// An item is held as the element trees the calendar calls exchange: the series (`default`), the
// modified instances (`except`) and the cancelled ones (`cancel`), each holding one `m`. A write
// call replaces the item that has the same uid (keeping its id) or adds a new one; a read call
// writes the tree back, every name and value escaped. Texts are UTF-8.
//
// Attachments come as uploads named by `attach aid="id,id"` in an instance's `m`: the write takes
// them from the UploadStore (a missing one fails the call and stores nothing) and the item keeps
// them, each as an `mp` element of that `m` (part, ct, filename, s, cd="attachment") and its bytes
// in `parts`, which /service/content/get?id=N&part=P answers.
//
// Occurrences() expands a series' rule on its own, from the `tz` rules the item carries, so tests
// can hold the client's expansion against the server's.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace OstrelServer {

class SoapDocument;
struct SoapReply;
class UploadStore;

// The mailbox user of the calendar: items they organize carry isOrg="1".
inline constexpr const char* kCalendarUser = "user@ostrel.test";

// One element: name, attributes in order, text and child elements.
struct CalNode {
    std::string name;
    std::vector<std::pair<std::string, std::string>> attrs;
    std::string text;
    std::vector<CalNode> children;

    CalNode() = default;
    explicit CalNode(std::string n) : name(std::move(n)) {}
    CalNode& Set(const std::string& key, std::string value);
    // A new last child.
    CalNode& Add(std::string childName);
    const std::string* Attr(const std::string& key) const;
    const CalNode* Child(const std::string& childName) const;
    CalNode* Child(const std::string& childName);
    std::string Xml() const;
};

// An attachment of a calendar item, by its part id.
struct CalAttachment {
    std::string fileName;
    std::string contentType;
    std::string content;
};

struct CalendarItem {
    int32_t id = 0;
    bool task = false;
    int32_t folderId = 10;  // the Calendar folder (Tasks: 15)
    int64_t modified = 0;   // seconds since 1970
    int64_t nextAlarmMs = 0;
    std::string tagIds;
    std::string tagNames;
    CalNode series{"default"};
    std::vector<CalNode> exceptions;  // `except`
    std::vector<CalNode> cancels;     // `cancel`
    std::map<std::string, CalAttachment> parts;

    // The series invitation (default/m/inv), or null.
    const CalNode* SeriesInv() const;
    std::string Uid() const;
    // The `appt` or `task` element as the read calls answer it.
    std::string Xml() const;
};

class CalendarBook {
public:
    // The seeded data set (see CalendarSeed.cpp).
    CalendarBook();

    // Adds or, when an item with the same uid exists, replaces it (keeping its id); an id of 0
    // gets the next free one. Returns the id.
    int32_t Put(CalendarItem item);
    std::optional<CalendarItem> Get(int32_t id) const;
    // Deletes the item; false when there is none with that id.
    bool Remove(int32_t id);
    std::vector<int32_t> Ids() const;
    void Clear();

    // The answers of the calls for a parsed request; `body` is the request as it came.
    SoapReply GetItem(const SoapDocument& request, bool task) const;
    SoapReply SetItem(const std::string& body, bool task, UploadStore& uploads);

    // The seeded items: at least 40 appointments and tasks in several zones, with all-day and
    // recurring series, modified and cancelled instances, attendees, reminders, private items.
    static std::vector<CalendarItem> SeedItems();
    // `count` generated appointments, a third of them recurring with two exceptions each.
    static std::vector<CalendarItem> BulkItems(size_t count);

private:
    mutable std::mutex m_mutex;
    std::map<int32_t, CalendarItem> m_items;
    // Items by kind and uid, so that a write finds the item it replaces without a scan.
    std::map<std::pair<bool, std::string>, int32_t> m_byUid;
    int32_t m_nextId = 1000;
};

// The UTC start (seconds since 1970) of every occurrence of the item's series whose start lies in
// [fromUnix, toUnix), after cancelled and excluded instances are taken out; a modified instance
// counts at its original start. Empty for a series without a rule.
std::vector<int64_t> Occurrences(const CalendarItem& item, int64_t fromUnix, int64_t toUnix);

}  // namespace OstrelServer

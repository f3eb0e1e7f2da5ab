// IgnoreChangesSection: marks the store changes the connector makes itself (its category list,
// tag messages, renamed keywords) so that its own change tracking does not send them back to the
// server as the user's. A scope object; sections nest and may be open on several threads at once.
// The change tracking asks IsActive while it handles a change.
#pragma once

namespace Ostrel::Util {

class IgnoreChangesSection {
public:
    IgnoreChangesSection();
    ~IgnoreChangesSection();
    IgnoreChangesSection(const IgnoreChangesSection&) = delete;
    IgnoreChangesSection& operator=(const IgnoreChangesSection&) = delete;

    // Whether any section is open in the process.
    static bool IsActive();
};

}  // namespace Ostrel::Util

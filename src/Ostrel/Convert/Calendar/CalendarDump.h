// A text view of a calendar item in the store: its properties (named ones by property set and
// id), the recurrence blob decoded field by field, its recipients and, for a series, each
// exception message. It is the debug view of a converted item and the form its golden tests
// compare; values that depend on the store file or the moment of saving are left out.
#pragma once

#include "Platform/Mapi/Mapi.h"

#include <string>

namespace Ostrel::Mail {

std::string DumpCalendarItem(IMessage* pMessage, IMsgStore* pStore);

}  // namespace Ostrel::Mail

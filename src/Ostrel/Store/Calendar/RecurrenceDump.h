// A field-by-field text of a recurrence pattern: the debug view of a blob and the form its
// golden tests compare.
#pragma once

#include "Ostrel/Store/Calendar/RecurrencePattern.h"

#include <string>

namespace Ostrel::Mapi {

// One "name: value" line per field in blob order; times also as local date and time.
std::string DumpRecurrencePattern(const COutlookRecurrencePattern& pattern);

}  // namespace Ostrel::Mapi

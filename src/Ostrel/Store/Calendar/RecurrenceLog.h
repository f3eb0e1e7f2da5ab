// Log lines of the recurrence blob name their source as "OutlookAppointment", the unit that
// appointments and their patterns belong to. Internal to Store/Calendar.
#pragma once

#include "Util/Log/Log.h"

#define RECURRENCE_LOG_ERROR(fmt, ...)                                                                           \
    do {                                                                                                         \
        if (::Ostrel::Util::g_logger.WouldLog(0, ::Ostrel::Util::kLogCategoryError, true))                       \
            ::Ostrel::Util::TraceVarArgs(TRUE, TRUE, 0, ::Ostrel::Util::kLogCategoryError, "OutlookAppointment", \
                                         __PRETTY_FUNCTION__, __LINE__, 0)(fmt __VA_OPT__(, ) __VA_ARGS__);      \
    } while (0)

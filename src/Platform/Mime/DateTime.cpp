#include "Platform/Mime/DateTime.h"

#include "Platform/Mime/GMimeSupport.h"

#include <cstdio>

namespace mimepp {

namespace {

constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// RFC 5322 date text, built without the C locale so the names are always English.
String Format(int64_t seconds, int zoneMinutes, bool bZoneUnknown) {
    // Years 1 to 9999 and zones that fit "+HHMM"; anything else has no RFC 5322 form.
    constexpr int64_t kFirst = -62135596800;
    constexpr int64_t kLast = 253402300799;
    if (seconds < kFirst || seconds > kLast || zoneMinutes < -5999 || zoneMinutes > 5999)
        return String();
    GDateTime* utc = g_date_time_new_from_unix_utc(seconds + static_cast<int64_t>(zoneMinutes) * 60);
    if (!utc)
        return String();
    const int wday = g_date_time_get_day_of_week(utc) % 7;  // GLib: Monday 1 ... Sunday 7
    char buf[64];
    const int zone = zoneMinutes < 0 ? -zoneMinutes : zoneMinutes;
    const char sign = (zoneMinutes < 0 || (zoneMinutes == 0 && bZoneUnknown)) ? '-' : '+';
    std::snprintf(buf, sizeof buf, "%s, %d %s %04d %02d:%02d:%02d %c%02d%02d", kDays[wday],
                  g_date_time_get_day_of_month(utc), kMonths[g_date_time_get_month(utc) - 1], g_date_time_get_year(utc),
                  g_date_time_get_hour(utc), g_date_time_get_minute(utc), g_date_time_get_second(utc), sign, zone / 60,
                  zone % 60);
    g_date_time_unref(utc);
    return String(buf);
}

}  // namespace

void DateTime::fromUnixTime(int64_t seconds) {
    m_tUnix = seconds;
    m_iZoneMinutes = 0;
    m_bZoneUnknown = true;
    m_bValid = true;
    setModified();
}

void DateTime::fromUnixTime(int64_t seconds, int zoneMinutes) {
    m_tUnix = seconds;
    m_iZoneMinutes = zoneMinutes;
    m_bZoneUnknown = false;
    m_bValid = true;
    setModified();
}

void DateTime::parse() {
    m_tUnix = 0;
    m_iZoneMinutes = 0;
    m_bZoneUnknown = false;
    m_bValid = false;
    const String value = detail::Unfold(m_string);
    if (!value.empty()) {
        detail::EnsureGMime();
        if (GDateTime* dt = g_mime_utils_header_decode_date(value.c_str())) {
            m_tUnix = g_date_time_to_unix(dt);
            m_iZoneMinutes = static_cast<int>(g_date_time_get_utc_offset(dt) / G_TIME_SPAN_MINUTE);
            m_bZoneUnknown = value.find("-0000") != String::npos;
            m_bValid = true;
            g_date_time_unref(dt);
        }
    }
    m_bModified = false;
}

void DateTime::assemble() {
    if (!m_bModified)
        return;
    m_string = m_bValid ? Format(m_tUnix, m_iZoneMinutes, m_bZoneUnknown) : String();
    m_bModified = false;
}

Stamp::Stamp(const Stamp& other) : FieldBody(other), m_sTokens(other.m_sTokens), m_date(other.m_date) {
    m_date.setParent(this);
}

void Stamp::parse() {
    const size_t semi = m_string.rfind(';');
    if (semi == String::npos) {
        m_sTokens = m_string;
        m_date.setParent(nullptr);
        m_date.setString(String());
    } else {
        m_sTokens = m_string.substr(0, semi + 1);
        m_date.setParent(nullptr);
        m_date.setString(m_string.substr(semi + 1));
    }
    m_date.parse();
    m_date.setParent(this);
    m_bModified = false;
}

void Stamp::assemble() {
    if (!m_bModified)
        return;
    m_date.assemble();
    String tokens = m_sTokens;
    while (!tokens.empty() && (tokens[tokens.length() - 1] == ' ' || tokens[tokens.length() - 1] == '\t')) {
        tokens.erase(tokens.length() - 1);
    }
    if (!tokens.empty() && tokens[tokens.length() - 1] != ';')
        tokens += ";";
    m_string = tokens.empty() ? m_date.getString() : tokens + " " + m_date.getString();
    m_bModified = false;
}

}  // namespace mimepp

// DateTime: a date-time value (Date, Resent-Date); Stamp: a Received trace line and its date.
#pragma once

#include "Platform/Mime/FieldBody.h"

#include <cstdint>

namespace mimepp {

class DateTime : public FieldBody {
public:
    static constexpr Class kClass{"DateTime", &FieldBody::kClass};

    DateTime() = default;
    explicit DateTime(const String& text, Node* parent = nullptr) : FieldBody(text, parent) {}
    const Class& class_() const override { return kClass; }

    // False when the text is empty or not a date GMime can read; the time is then 0.
    bool isValid() const { return m_bValid; }
    // Seconds since 1970-01-01 00:00 UTC.
    int64_t asUnixTime() const { return m_tUnix; }
    // The zone of the text, in minutes east of UTC.
    int zone() const { return m_iZoneMinutes; }

    // Sets a UTC time, written with the zone "-0000" (RFC 5322: UTC, local zone not known),
    // for example "Tue, 3 Dec 2026 09:05:00 -0000".
    void fromUnixTime(int64_t seconds);
    // Sets a time shown in the given zone (minutes east of UTC). A time outside the years 1 to
    // 9999 or a zone beyond +-99:59 has no text form and is written empty.
    void fromUnixTime(int64_t seconds, int zoneMinutes);

    void parse() override;
    void assemble() override;
    Node* clone() const override { return new DateTime(*this); }

private:
    int64_t m_tUnix = 0;
    int m_iZoneMinutes = 0;
    bool m_bZoneUnknown = false;
    bool m_bValid = false;
};

class Stamp : public FieldBody {
public:
    static constexpr Class kClass{"Stamp", &FieldBody::kClass};

    Stamp() : m_date(String(), this) {}
    explicit Stamp(const String& text, Node* parent = nullptr) : FieldBody(text, parent), m_date(String(), this) {}
    Stamp(const Stamp& other);
    const Class& class_() const override { return kClass; }

    // The date after the last ';'.
    DateTime& date() { return m_date; }
    const DateTime& date() const { return m_date; }

    void parse() override;
    void assemble() override;
    Node* clone() const override { return new Stamp(*this); }

private:
    String m_sTokens;  // the text before the date, up to and including the ';'
    DateTime m_date;
};

}  // namespace mimepp

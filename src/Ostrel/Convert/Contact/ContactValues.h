// Values the contact converters translate: dates of birthdays and anniversaries, certificates in
// the store's tagged-record layout, and Base64 text.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "Platform/Base/WinTypes.h"

namespace Ostrel::Mapi {

struct ContactDate {
    int iYear;  // 1900 when the text gave no year
    int iMonth;
    int iDay;
};

// MM/DD/YYYY, YYYY-MM-DD or --MM-DD (year 1900); nothing for any other text or an impossible date.
std::optional<ContactDate> ParseContactDate(std::wstring_view wsText);
// YYYY-MM-DD, or --MM-DD for the year 1900.
std::wstring FormatContactDate(const ContactDate& date);
// Midnight of the date, as a FILETIME with no zone conversion.
FILETIME ContactDateToFileTime(const ContactDate& date);
ContactDate FileTimeToContactDate(const FILETIME& ft);

// The certificate value of the store for DER bytes: the records 0x0001 (1), 0x0003 (the
// certificate), 0x0006 (1) and 0x0020 (1), each a 16-bit tag, a 16-bit length that counts the
// 4-byte header, and the data.
std::string MakeCertificateRecords(std::string_view sDer);
enum class CertScan { Found, NoKeyExchange, BadLength };
// The payload of the first record 0x0003 of a value.
CertScan FindKeyExchangeCertificate(std::string_view sValue, std::string& sDer);
// Whether the bytes are a PKCS #7 signed-data structure (a SEQUENCE holding the signedData OID).
bool IsSignedData(std::string_view sValue);
// The largest certificate written into the store.
constexpr size_t kMaxCertificateBytes = 65535;

// One line of Base64, no line breaks.
std::string Base64Encode(std::string_view sBytes);
// False for malformed text (nothing is returned then).
bool Base64Decode(std::string_view sText, std::string& sBytes);

}  // namespace Ostrel::Mapi

#include "Ostrel/Convert/Contact/ContactValues.h"

#include <cstdio>
#include <cstring>

#include "Platform/Mime/Coders.h"
#include "Util/Time/TimeUtil.h"

namespace Ostrel::Mapi {

namespace {

// Exactly `count` decimal digits at `pos`.
bool Digits(std::wstring_view ws, size_t pos, size_t count, int& value) {
    if (pos + count > ws.size())
        return false;
    value = 0;
    for (size_t i = pos; i < pos + count; ++i) {
        if (ws[i] < L'0' || ws[i] > L'9')
            return false;
        value = value * 10 + (ws[i] - L'0');
    }
    return true;
}

bool Valid(const ContactDate& d) {
    return d.iYear >= 1601 && d.iMonth >= 1 && d.iMonth <= 12 && d.iDay >= 1 &&
           d.iDay <= Util::DaysInMonth(d.iYear, d.iMonth);
}

void PutRecord(std::string& out, WORD wTag, std::string_view sData) {
    size_t cb = sData.size() + 4;
    out += static_cast<char>(wTag & 0xFF);
    out += static_cast<char>(wTag >> 8);
    out += static_cast<char>(cb & 0xFF);
    out += static_cast<char>((cb >> 8) & 0xFF);
    out.append(sData);
}

std::string_view One() {
    static const char one[4] = {1, 0, 0, 0};
    return std::string_view(one, 4);
}

WORD Le16(const unsigned char* p) {
    return static_cast<WORD>(p[0] | (p[1] << 8));
}

}  // namespace

std::optional<ContactDate> ParseContactDate(std::wstring_view ws) {
    ContactDate d{};
    bool bOk = false;
    if (ws.size() == 10 && ws[2] == L'/' && ws[5] == L'/')
        bOk = Digits(ws, 0, 2, d.iMonth) && Digits(ws, 3, 2, d.iDay) && Digits(ws, 6, 4, d.iYear);
    else if (ws.size() == 10 && ws[4] == L'-' && ws[7] == L'-')
        bOk = Digits(ws, 0, 4, d.iYear) && Digits(ws, 5, 2, d.iMonth) && Digits(ws, 8, 2, d.iDay);
    else if (ws.size() == 7 && ws.substr(0, 2) == L"--" && ws[4] == L'-') {
        d.iYear = 1900;
        bOk = Digits(ws, 2, 2, d.iMonth) && Digits(ws, 5, 2, d.iDay);
    }
    if (!bOk || !Valid(d))
        return std::nullopt;
    return d;
}

std::wstring FormatContactDate(const ContactDate& d) {
    wchar_t buf[32];
    if (d.iYear == 1900)
        std::swprintf(buf, 32, L"--%02d-%02d", d.iMonth, d.iDay);
    else
        std::swprintf(buf, 32, L"%04d-%02d-%02d", d.iYear, d.iMonth, d.iDay);
    return buf;
}

FILETIME ContactDateToFileTime(const ContactDate& d) {
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(d.iYear);
    st.wMonth = static_cast<WORD>(d.iMonth);
    st.wDay = static_cast<WORD>(d.iDay);
    FILETIME ft{};
    Util::SystemTimeToFileTime(&st, &ft);
    return ft;
}

ContactDate FileTimeToContactDate(const FILETIME& ft) {
    SYSTEMTIME st{};
    if (!Util::FileTimeToSystemTime(&ft, &st))
        return ContactDate{1601, 1, 1};
    return ContactDate{st.wYear, st.wMonth, st.wDay};
}

std::string MakeCertificateRecords(std::string_view sDer) {
    std::string out;
    out.reserve(sDer.size() + 28);
    PutRecord(out, 0x0001, One());
    PutRecord(out, 0x0003, sDer);
    PutRecord(out, 0x0006, One());
    PutRecord(out, 0x0020, One());
    return out;
}

CertScan FindKeyExchangeCertificate(std::string_view sValue, std::string& sDer) {
    const auto* p = reinterpret_cast<const unsigned char*>(sValue.data());
    size_t pos = 0;
    // A record's length may point past the end: pos is checked before the subtraction.
    while (pos < sValue.size() && sValue.size() - pos >= 5) {
        WORD wTag = Le16(p + pos);
        WORD wLen = Le16(p + pos + 2);
        if (wLen < 4)
            break;
        if (wTag == 0x0003) {
            if (wLen == 4 || pos + wLen > sValue.size())
                return CertScan::BadLength;
            sDer.assign(sValue.substr(pos + 4, wLen - 4));
            return CertScan::Found;
        }
        pos += wLen;
    }
    return CertScan::NoKeyExchange;
}

bool IsSignedData(std::string_view sValue) {
    static const char oid[] = "\x06\x09\x2A\x86\x48\x86\xF7\x0D\x01\x07\x02";
    if (sValue.size() < 2 || static_cast<unsigned char>(sValue[0]) != 0x30)
        return false;
    // The content type follows the outer SEQUENCE's header (at most 6 bytes).
    std::string_view head = sValue.substr(0, 6 + sizeof oid - 1);
    return head.find(std::string_view(oid, sizeof oid - 1)) != std::string_view::npos;
}

std::string Base64Encode(std::string_view sBytes) {
    mimepp::Base64Encoder encoder;
    encoder.setMaxLineLen(0);
    encoder.setSuppressFinalNewline(true);
    mimepp::String out;
    encoder.encode(mimepp::String(sBytes), out);
    return std::string(out.data(), out.size());
}

bool Base64Decode(std::string_view sText, std::string& sBytes) {
    mimepp::Base64Decoder decoder;
    mimepp::String out;
    if (decoder.decode(mimepp::String(sText), out) != 0)
        return false;
    sBytes.assign(out.data(), out.size());
    return true;
}

}  // namespace Ostrel::Mapi

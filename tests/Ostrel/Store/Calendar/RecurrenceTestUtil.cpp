// Helpers for the recurrence blob tests.
#include "RecurrenceTestUtil.h"

#include "Ostrel/Store/Calendar/RecurrenceTime.h"

#include <fstream>
#include <sstream>

namespace CalendarTest {

HexVector ReadHexVector(const std::filesystem::path& path, const std::string& sMark) {
    HexVector vec;
    std::ifstream in(path);
    std::string sLine;
    while (std::getline(in, sLine)) {
        const size_t iHash = sLine.find('#');
        const std::string sData = sLine.substr(0, iHash);
        if (iHash != std::string::npos && !sMark.empty()) {
            std::string sName = sLine.substr(iHash + 1);
            sName = sName.substr(sName.find_first_not_of(' '));
            if (sName.rfind(sMark + " ", 0) == 0 && vec.cbMark == SIZE_MAX)
                vec.cbMark = vec.bytes.size();
        }
        std::istringstream bytes(sData);
        std::string sByte;
        while (bytes >> sByte)
            vec.bytes.push_back(static_cast<BYTE>(std::stoul(sByte, nullptr, 16)));
    }
    return vec;
}

HRESULT ReadBlob(const Bytes& bytes, Ostrel::Mapi::COutlookRecurrencePattern& pattern) {
    auto pStream =
        Platform::MemStream::Create(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    return pattern.InitFromRecurrenceStream(pStream.Get());
}

Bytes WriteBlob(const Ostrel::Mapi::COutlookRecurrencePattern& pattern) {
    auto pStream = Platform::MemStream::Create();
    if (FAILED(pattern.WriteRecurrenceStream(pStream.Get())))
        return {};
    const std::string s = pStream->CopyContent();
    return Bytes(s.begin(), s.end());
}

ULONG Minutes(int iYear, int iMonth, int iDay, int iHour, int iMinute) {
    return Ostrel::Mapi::RecurrenceTime::MinutesFromDate({iYear, iMonth, iDay}) +
           static_cast<ULONG>(iHour * 60 + iMinute);
}

}  // namespace CalendarTest

// Mail from the server into the store: the host's converter session turns the MIME text into a
// store message, and this class completes the result with what the server knows of the item
// (its id, conversation, received time, flag letters and tags) and repairs what the host's
// converter gets wrong. Failures are kept in the converter for the caller, never thrown.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "Ostrel/Convert/Mail/MimeConvertSupport.h"
#include "Ostrel/Store/NamedProps.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/Convert/ConverterSession.h"
#include "Platform/Mapi/Mapi.h"

namespace mimepp {
class Message;
}

// The host's converter session, with one reference.
HRESULT CreateConverterSession(IConverterSession** ppSession);

class MimeToMapiConverter {
public:
    // Reads the whole stream (from its start) and keeps a reference on it; a stream that cannot
    // be read leaves the MIME text empty (traced). pNamedProps, the store's named properties when
    // the caller already has them, spares looking them up for every message of a batch.
    MimeToMapiConverter(IStream* pMime, IMimeConvertSupport* pSupport, std::map<LONG, std::wstring>& tagMap,
                        IMsgStore* pStore, int bCalendarPartialOk, Ostrel::Mapi::NamedProps* pNamedProps = nullptr);
    // Copies the buffer.
    MimeToMapiConverter(const void* pMime, int cbLength, IMimeConvertSupport* pSupport,
                        std::map<LONG, std::wstring>& tagMap, IMsgStore* pStore, int bCalendarPartialOk,
                        Ostrel::Mapi::NamedProps* pNamedProps = nullptr);
    ~MimeToMapiConverter();
    MimeToMapiConverter(const MimeToMapiConverter&) = delete;
    MimeToMapiConverter& operator=(const MimeToMapiConverter&) = delete;

    // Converts into pMsg with the server's values of the item: tag ids and names (comma
    // separated), conversation id (decimal), received time (milliseconds since 1970) and flag
    // letters. bExtractShare looks for a share notification. Non-zero on success.
    int ConvertViaIConvSess(IMessage* pMsg, LONG lItemId, const std::string& sTagIds, const std::string& sTagNames,
                            const std::string& sConvId, const std::string& sReceived, const std::string& sFlags,
                            int bExtractShare);
    // The same with the values taken from the message's own x-ostrel-* headers.
    int ConvertViaMimePP(IMessage* pMsg, LONG lItemId);

    // Empties anchor names that are a single blank, in place in the held stream.
    void CleanUpHTML();

    bool HasLocalFailure() const { return m_bLocalFailure; }
    // Set when the host's converter could read only part of the text.
    bool HasLocalWarning() const { return m_bLocalWarning; }
    const std::wstring& GetLocalFailureText() const { return m_wsLocalFailureText; }
    const std::string& GetFailedMIMEBody() const { return m_sFailedMimeBody; }
    const std::string& GetMimeText() const { return m_sMime; }

private:
    // Properties collected for one SetProps call, with the storage their values point into.
    class PropSet;

    int ConvertMimePP(mimepp::Message& message, IMessage* pMsg, LONG lItemId);
    // Steps shared by both paths: the session, the input stream, MIMEToMAPI. 1 on success (a
    // partial completion included), 0 on failure (reported).
    int RunConverter(IMessage* pMsg, bool bAllowCalendarPartial);
    HRESULT OpenInputStream(IStream** ppStream);
    void ReportConversionFailure(HRESULT hr, const wchar_t* pwszText);

    // What the steps after the host's converter need of its result, read in one call.
    struct Converted {
        std::wstring wsSubject;
        bool bHasSubject = false;
        bool bReceipt = false;  // the class begins with "Report.IPM.Note."
        bool bHasSubmitTime = false;
    };
    Converted ReadConverted(IMessage* pMsg);

    void RepairSubject(IMessage* pMsg, const Converted& converted);
    void DeleteKeywords(IMessage* pMsg);
    void RemoveDraftSubmitTime(IMessage* pMsg);
    int SaveProps(IMessage* pMsg, PropSet& props);

    void SetMessageFlagsFromStr(PropSet& props, const std::string& sFlags);
    void SetKeywordsFromStr(PropSet& props, const std::string& sTagIds, const std::string& sTagNames);
    void SetKeywords(PropSet& props, const std::wstring& wsTagNames, const std::string& sTagIds);
    void SetDeliveryTime(PropSet& props, int64_t llUnixSeconds);
    void SetDeliveryTimeFromStr(PropSet& props, const std::string& sMillis);
    void SetConvIdFromStr(PropSet& props, const std::string& sConvId);
    void SetCommonProps(PropSet& props, bool bReceipt, LONG lItemId, bool bVersionFlag);
    // Whether the header block holds a Disposition-Notification-To line.
    bool HasReadReceiptRequest() const;

    void ExtractShareXML(IMessage* pMsg);
    void ParseShareXML(IMessage* pMsg, const std::wstring& wsXml);

    std::string m_sMime;
    IMimeConvertSupport* m_pSupport;
    std::map<LONG, std::wstring>& m_tagMap;
    Platform::ComPtr<IMsgStore> m_pStore;
    Ostrel::Mapi::NamedProps* m_pNamedProps = nullptr;
    bool m_bHasStream = false;
    Platform::ComPtr<IStream> m_pStream;

    bool m_bLocalFailure = false;
    bool m_bLocalWarning = false;
    std::wstring m_wsLocalFailureText;
    std::string m_sFailedMimeBody;
    int m_bCalendarPartialOk;
};

// MIME text into a MAPI message: the envelope, the body chosen among the text parts, the message
// class from the structure (S/MIME, reports, calendar parts), attachments and embedded messages.
#pragma once

#include <string>
#include <vector>

#include "Platform/Mapi/Convert/Envelope.h"
#include "Platform/Mapi/Convert/MimeParts.h"
#include "Platform/Mapi/MapiInterfaces.h"
#include "Platform/Mime/Entity.h"

namespace Platform::Mapi::Convert {

class MimeReader {
public:
    MimeReader(IAddrBook* pAdrBook, ULONG ulFlags) : m_pAdrBook(pAdrBook), m_ulFlags(ulFlags) {}

    // Fills the message from the text and saves it (KEEP_OPEN_READWRITE). S_OK, MAPI_W_PARTIAL_COMPLETION
    // when parts of a damaged text were lost or cut, or the error of the store.
    HRESULT Convert(std::string text, IMessage* pMessage);

private:
    struct Attachment {
        Attachment(mimepp::Entity* p, bool bInRelated = false, bool bInDigest = false)
            : pEntity(p), bRelated(bInRelated), bDigestChild(bInDigest) {}
        mimepp::Entity* pEntity;
        bool bRelated = false;  // a part of multipart/related beside the body
        bool bDigestChild = false;
        bool bWholeEntity = false;  // the entity's own text, headers included (a signed message)
        std::wstring wsName;        // a name given by the shape ("smime.p7m")
        bool bHidden = false;
        bool bData = false;  // sData holds the content (a uuencoded block of plain text)
        std::string sData;
        // An image between the texts of a body joined from several parts: it stands in the body after
        // the first cTextsBefore texts (0: not in such a body). An HTML body refers to it by sContentId.
        size_t cTextsBefore = 0;
        std::string sContentId;
    };

    // What one message holds, decided before anything is written.
    struct Plan {
        mimepp::Entity* pBody = nullptr;
        MediaInfo bodyType;
        mimepp::Entity* pPlainAlternative = nullptr;  // the text/plain beside an HTML body
        std::vector<Attachment> attachments;
        std::wstring wsClass = L"IPM.Note";
        bool bTextOverride = false;  // sText replaces the body entity's content (text around uuencoded blocks)
        std::string sText;
        // Further text/plain parts of a multipart/mixed joined to the body, and the body's length
        // after each text (the first one included) once it is read.
        std::vector<mimepp::Entity*> moreTexts;
        std::vector<size_t> textEnds;
        // A delivery report: the recipients it speaks of replace those of the header.
        std::vector<Recipient> reportRecipients;
        std::wstring wsReportingMta;
    };

    HRESULT ConvertEntity(mimepp::Entity& root, IMessage* pMessage, int depth, bool bTopLevel);
    void PlanRoot(mimepp::Entity& root, Plan& plan, PropList& props,
                  std::vector<std::pair<std::wstring, std::wstring>>& headers);
    void Walk(mimepp::Entity& entity, bool bBodyAllowed, bool bRelated, bool bDigestChild, Plan& plan);
    // The parts after the first of a multipart/mixed whose first part is the body: later texts join
    // it (only plain ones a plain body), images between them stand where they appear.
    void WalkAggregate(mimepp::Body& body, Plan& plan);
    void WalkAlternative(mimepp::Entity& entity, bool bBodyAllowed, bool bRelated, Plan& plan);
    bool IsBodyCandidate(mimepp::Entity& entity, const MediaInfo& type);
    void NoteCalendar(mimepp::Entity& entity, Plan& plan);
    void NoteReport(mimepp::Entity& root, const std::string& reportType, Plan& plan, PropList& props);
    // Content-Class turns an IPM.Note into a fax or voice class when the parts fit it.
    void ApplyContentClass(const Envelope& envelope, Plan& plan);
    // The recipients of a delivery report as the rows; the addressee of the report as the receiver.
    void ApplyReportRecipients(Envelope& envelope, Plan& plan);
    // The HTML of a body joined from several parts (the first one's HTML given), in text order.
    std::wstring JoinHtml(const Plan& plan, const std::wstring& first, bool* pbDamaged);
    void ReadBody(Plan& plan, PropList& props, std::string& htmlBytes);
    HRESULT WriteRecipients(IMessage* pMessage, const std::vector<Recipient>& recipients);
    HRESULT WriteNamedHeaders(IMessage* pMessage, const Envelope& envelope,
                              const std::vector<std::pair<std::wstring, std::wstring>>& extra, PropList& props);
    HRESULT WriteAttachment(IMessage* pMessage, const Attachment& attachment, const Plan& plan, const std::string& html,
                            ULONG index, int depth);
    HRESULT WriteEmbedded(IMessage* pMessage, mimepp::Entity& entity, const std::wstring& wsName, int depth);
    void CheckMultipart(mimepp::Entity& entity);

    IAddrBook* m_pAdrBook;
    ULONG m_ulFlags;
    bool m_bDamaged = false;
};

}  // namespace Platform::Mapi::Convert

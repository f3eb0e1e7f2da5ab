// A store message read for the own MIME writer: its envelope and body properties, its recipients,
// and the MIME tree built from them (headers, bodies, attachments).
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "Ostrel/Convert/Mail/MimeConvertSupport.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/MapiInterfaces.h"
#include "Platform/Mime/Entity.h"

// The iCalendar text and its METHOD of a calendar item. The calendar conversion installs one; without
// it a calendar part the message carries as an attachment (text/calendar) is used.
using MessageToIcal = std::function<HRESULT(IMessage* pMessage, std::string& sIcal, std::string& sMethod)>;
void SetMessageToIcalConverter(MessageToIcal converter);

class MapiMessageWrapper {
public:
    // The properties Initialize reads, in this order.
    static const std::vector<ULONG> _messagePropTags;
    static const std::vector<ULONG> _recipientPropTags;
    static const std::vector<ULONG> _replyToPropTags;

    // Up to this depth embedded messages are written as message/rfc822 parts.
    static constexpr int kMaxEmbeddedDepth = 32;

    // pSupport gives the address book that turns non-SMTP addresses into SMTP ones; may be null.
    explicit MapiMessageWrapper(IMimeConvertSupport* pSupport, int iDepth = 0);
    virtual ~MapiMessageWrapper();
    MapiMessageWrapper(const MapiMessageWrapper&) = delete;
    MapiMessageWrapper& operator=(const MapiMessageWrapper&) = delete;

    // Reads the message's properties and recipients.
    HRESULT Initialize(IMessage* pMessage);
    // Builds the headers and the body of the target from what Initialize read.
    HRESULT ToMime(mimepp::Message& target, int iFlags);
    // Writes "X-Ostrel-Received" from the delivery time, in milliseconds since 1970 (nothing without
    // one).
    void SetDeliveryDate(mimepp::Message& target) const;

    std::wstring Subject() const;
    // PR_INTERNET_CPID, else PR_MESSAGE_CODEPAGE, else 65001.
    ULONG CodePageId() const;
    bool Date(FILETIME& ft) const;
    // "Tue, 3 Dec 2026 09:05:00 -0000", or "No Date".
    std::string DateString() const;
    bool DeliveryDate(FILETIME& ft) const;
    std::string DeliveryDateString() const;
    std::wstring UniqueId() const;
    bool HasTextPart() const;
    bool HasHtmlPart() const;
    bool HasAttach() const;
    bool IsUnsent() const;
    bool RepliedTo() const;
    bool Forwarded() const;
    bool IsUnread() const;
    bool IsFromMe() const;
    bool IsContact() const;
    bool IsCalendarThingy() const;
    bool IsMailMessage() const;
    std::wstring TextBody() const;
    // The text body in the message's code page; *pCodePage receives the code page used, which is
    // UTF-8 when the message's own cannot hold every character.
    std::string TextBodyInCodePage(ULONG* pCodePage) const;
    std::string HtmlBody() const;
    // The iCalendar text of a calendar item and its METHOD; false when there is none.
    bool CalBody(std::string& sIcal, std::string& sMethod) const;
    HRESULT MessageToIcalStream(IStream** ppStream, std::string& sMethod) const;

protected:
    struct Recipient {
        std::wstring wsName;
        std::wstring wsAddrType;
        std::wstring wsAddress;
        std::string sEntryId;
        LONG lType = 0;
    };

    const SPropValue* Prop(ULONG ulTag) const;
    // The bodies where they are: in the properties read, or read on their own when too large.
    std::wstring_view BodyView() const;
    std::string_view HtmlView() const;
    // Whether GetProps left the value out as too large to return with the others.
    bool IsTooLarge(ULONG ulTag) const;
    // A string property, whatever type it was read as: 8-bit values are in the store's code page.
    std::wstring Text(ULONG ulTag) const;
    LONG Long(ULONG ulTag, LONG lDefault) const;
    std::string Binary(ULONG ulTag) const;
    // The SMTP address of an address of any type; the address itself when none can be found.
    std::wstring GetSmtpAddress(const std::wstring& wsType, const std::wstring& wsAddress,
                                const std::string& sEntryId) const;
    // Name, type and address of an address book entry (the _replyToPropTags); false when unknown.
    bool AddressBookEntry(const std::string& sEntryId, std::wstring& wsName, std::wstring& wsType,
                          std::wstring& wsAddress) const;
    mimepp::Mailbox* NewMailbox(const std::wstring& wsName, const std::wstring& wsType, const std::wstring& wsAddress,
                                const std::string& sEntryId) const;

    void SetAddressHeaders(mimepp::Headers& headers) const;
    void SetReplyTo(mimepp::Headers& headers) const;
    HRESULT SetBodyAndAttachments(mimepp::Message& target);
    HRESULT SetAttachments(mimepp::Entity& mixed);

    IMimeConvertSupport* m_pSupport;
    int m_iDepth;
    Platform::ComPtr<IMessage> m_pMessage;
    LPSPropValue m_pProps = nullptr;
    ULONG m_cProps = 0;
    UINT m_uiStringCodePage = 0;
    std::wstring m_wsBody;  // only a body too large to come with the other properties
    std::string m_sHtml;    // the same for the HTML body
    bool m_bHasBody = false;
    bool m_bHasHtml = false;
    std::vector<Recipient> m_vecRecipients;
};

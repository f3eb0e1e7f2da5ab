// Reads the contacts of a reply (a contact listing in the mail namespace, or global address list
// entries in the account namespace) with the event-driven reader, handing each contact over as
// soon as its `cn` element ends. Nothing but the contact being read is held, so a listing of any
// length is read in flat memory.
//
// Each contact is built like one of CreateContactList, from the `cn` start tag's attributes, its
// `a` children (an "image" one announces the photo), its `m` children, then the GAL reference
// from "dn" and the derived file-as and full names. The `cn` attributes follow the event-driven
// rules: "id" may name an item of another mailbox as account:number, and "tooManyMembers" is read.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "Ostrel/Model/Contact/Contact.h"
#include "Platform/Com/ComPtr.h"

struct IStream;

namespace Ostrel::Mail {

class ContactSaxHandler;

class ContactReader {
public:
    // Receives each contact; a failure HRESULT stops the reading and is returned by Read.
    using Sink = std::function<HRESULT(std::unique_ptr<Contact> pContact)>;

    // The longest attribute value accepted, as the DOM's limit on one text node.
    static constexpr size_t kMaxValueChars = 10000000;

    ContactReader(bool mailNamespace, int newStyleGalIdMapper, Sink sink);
    ~ContactReader();
    ContactReader(const ContactReader&) = delete;
    ContactReader& operator=(const ContactReader&) = delete;

    // Reads a whole reply. S_OK when it was well formed and every contact was delivered; the
    // sink's failure; E_FAIL for malformed text, a value over the limit or a SOAP fault (see
    // GetFaultCode), with GetError() saying why. Contacts delivered before a failure stay delivered.
    HRESULT Read(std::string_view bytes);
    HRESULT Read(IStream* pStream);

    // Reads a whole reply into a list (empty after a failure).
    static HRESULT ReadList(std::string_view bytes, bool mailNamespace, int newStyleGalIdMapper,
                            std::unique_ptr<Contact::List>& pList);

    // Of the last Read: the number of contacts delivered, the attributes of the response element
    // (such as a synchronisation "token" or "more"), and the server's error code when the reply
    // was a SOAP fault.
    size_t GetCount() const;
    const std::map<std::wstring, std::wstring>& ResponseAttributes() const;
    const std::wstring& GetFaultCode() const;
    const XmlParseError& GetError() const { return m_error; }

private:
    template <class Parse>
    HRESULT Run(Parse parse);

    Platform::ComPtr<ContactSaxHandler> m_pHandler;
    XmlParseError m_error;
};

}  // namespace Ostrel::Mail

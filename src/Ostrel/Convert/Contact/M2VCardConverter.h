// A store contact as vCard 3.0 text: names, organisation, web pages, phones, SMTP addresses,
// postal addresses with their labels, notes, certificates, the photo and the revision time.
#pragma once

#include <string>

#include "Ostrel/Convert/Contact/VCard.h"
#include "Ostrel/Store/NamedProps.h"
#include "Platform/Mapi/Mapi.h"

namespace Ostrel::Mapi {

class M2VCardConverter {
public:
    explicit M2VCardConverter(IMessage* pContact);

    // Writes the vCard into sVCard and gives the contact's display name (or its nickname) for the
    // file name of an attachment. A contact whose properties cannot be read fails with that
    // HRESULT; a photo, certificates or notes that cannot be read are left out and logged.
    HRESULT Convert(std::wstring& wsDisplayName, std::string& sVCard);

private:
    HRESULT DoConvert(std::wstring& wsDisplayName, std::string& sVCard);
    HRESULT AddPhoto(IcalVcard::VCard& card);

    IMessage* m_pContact;
    NamedProps* m_pProps = nullptr;
};

// Lets the store layer turn embedded contacts into vCard attachments through this converter.
void InstallContactAttachmentConverter();

}  // namespace Ostrel::Mapi

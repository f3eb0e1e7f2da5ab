// Arbitrary bytes as a contact listing, through the event-driven reader and through the DOM: a
// malformed or hostile reply must give an error or contacts, never a crash, a hang or a leak.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "Ostrel/Model/Contact/Contact.h"
#include "Ostrel/Rpc/Requests/ContactReader.h"
#include "Ostrel/Rpc/Soap/SoapVocabulary.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Xml/Dom.h"
#include "Util/Log/Log.h"

namespace {

void Exercise(const Ostrel::Mail::Contact& contact) {
    Ostrel::Mail::Contact copy(contact);
    copy.SetDefaultFileAs();
    copy.SetDefaultFullName();
    copy.SetGalRef();
    for (const auto& [name, value] : copy.Attributes())
        copy.Attributes().contains(name, 1);
    copy.TagIds().ToString();
    copy.TagNames().ToString();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool bQuiet = [] {
        Ostrel::Util::g_logger.SetLoggingEnabled(false);
        return true;
    }();
    (void)bQuiet;
    std::string_view bytes(reinterpret_cast<const char*>(data), size);

    for (bool mailNamespace : {true, false}) {
        for (int newStyle : {0, 1}) {
            Ostrel::Mail::ContactReader reader(mailNamespace, newStyle, [](std::unique_ptr<Ostrel::Mail::Contact> p) {
                Exercise(*p);
                return S_OK;
            });
            reader.Read(bytes);
        }
    }

    Platform::ComPtr<IXMLDOMDocument2> doc;
    if (FAILED(Platform::Xml::CreateDocument(doc.AddressOf())))
        return 0;
    doc->setProperty(L"SelectionNamespaces", Ostrel::Rpc::Soap::kSelectionNamespaces);
    if (doc->loadXMLBytes(bytes) != S_OK)
        return 0;
    for (bool mailNamespace : {true, false}) {
        auto contacts = Ostrel::Mail::Contact::CreateContactList(doc.Get(), mailNamespace);
        for (const Ostrel::Mail::Contact* contact : *contacts)
            Exercise(*contact);
    }
    return 0;
}

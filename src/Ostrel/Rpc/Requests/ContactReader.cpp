#include "Ostrel/Rpc/Requests/ContactReader.h"

#include <new>
#include <utility>

#include "Ostrel/Rpc/Soap/SoapVocabulary.h"
#include "Platform/Xml/Sax.h"

namespace Ostrel::Mail {

namespace {

// Fault codes and reasons are short; anything longer is cut rather than collected.
constexpr size_t kMaxFaultTextChars = 1024;

std::optional<std::wstring> Value(ISAXAttributes* pAttributes, const wchar_t* pwszName) {
    std::wstring_view value;
    if (FAILED(pAttributes->getValueFromQName(pwszName, value)))
        return std::nullopt;
    return std::wstring(value);
}

}  // namespace

// Turns the events of a reply into contacts (see ContactReader.h).
class ContactSaxHandler final : public Platform::ComObject<ISAXContentHandler> {
public:
    ContactSaxHandler(bool mailNamespace, int newStyleGalIdMapper, ContactReader::Sink sink)
        : m_wsNamespace(mailNamespace ? Rpc::Soap::kNsMail : Rpc::Soap::kNsAccount),
          m_newStyleGalIdMapper(newStyleGalIdMapper),
          m_sink(std::move(sink)) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return QueryInterfaceAmong<ISAXContentHandler, IUnknown>(riid, ppv);
    }

    HRESULT startDocument() override {
        m_pContact.reset();
        m_nDepth = m_nContactDepth = m_nValueDepth = m_nFaultDepth = m_nFaultTextDepth = 0;
        m_pFaultText = nullptr;
        m_bResponseSeen = false;
        m_cContacts = 0;
        m_responseAttributes.clear();
        m_wsFaultCode.clear();
        m_wsFaultReason.clear();
        m_wsFailure.clear();
        return S_OK;
    }

    HRESULT endDocument() override { return S_OK; }

    HRESULT startElement(std::wstring_view uri, std::wstring_view localName, std::wstring_view,
                         ISAXAttributes* pAttributes) override {
        ++m_nDepth;
        if (m_pContact) {
            if (m_nDepth == m_nContactDepth + 1 && uri == m_wsNamespace && !m_nValueDepth) {
                if (localName == L"a")
                    StartValue(pAttributes);
                else if (localName == L"m")
                    AddMember(pAttributes);
            }
            return S_OK;
        }
        if (uri == m_wsNamespace && localName == L"cn") {
            m_pContact = std::make_unique<Contact>(m_newStyleGalIdMapper, pAttributes);
            m_nContactDepth = m_nDepth;
        } else if (uri == m_wsNamespace && !m_bResponseSeen) {
            m_bResponseSeen = true;
            RecordResponse(pAttributes);
        } else if (uri == Rpc::Soap::kNsEnvelope && localName == L"Fault" && !m_nFaultDepth) {
            m_nFaultDepth = m_nDepth;
        } else if (m_nFaultDepth && !m_pFaultText) {
            // The server's error code is the Code of its Error detail; the reason the first Text.
            if (uri == Rpc::Soap::kNsOstrel && localName == L"Code")
                m_pFaultText = &m_wsFaultCode;
            else if (uri == Rpc::Soap::kNsEnvelope && localName == L"Text" && m_wsFaultReason.empty())
                m_pFaultText = &m_wsFaultReason;
            m_nFaultTextDepth = m_pFaultText ? m_nDepth : 0;
        }
        return S_OK;
    }

    HRESULT endElement(std::wstring_view, std::wstring_view, std::wstring_view) override {
        HRESULT hr = S_OK;
        if (m_nValueDepth == m_nDepth) {
            m_pContact->SetAttribute(m_wsValueName, m_wsValue);
            m_nValueDepth = 0;
        } else if (m_pContact && m_nContactDepth == m_nDepth) {
            hr = FinishContact();
        } else if (m_pFaultText && m_nFaultTextDepth == m_nDepth) {
            m_pFaultText = nullptr;
        } else if (m_nFaultDepth == m_nDepth) {
            m_wsFailure = L"The server answered with a fault: " + m_wsFaultCode +
                          (m_wsFaultReason.empty() ? L"" : L" (" + m_wsFaultReason + L")");
            hr = E_FAIL;
        }
        --m_nDepth;
        return hr;
    }

    HRESULT characters(std::wstring_view chars) override {
        if (m_nValueDepth) {
            if (m_wsValue.size() + chars.size() > ContactReader::kMaxValueChars) {
                m_wsFailure = L"The value of contact attribute \"" + m_wsValueName + L"\" is longer than " +
                              std::to_wstring(ContactReader::kMaxValueChars) + L" characters.";
                return E_FAIL;
            }
            m_wsValue += chars;
        } else if (m_pFaultText) {
            m_pFaultText->append(
                chars.substr(0, kMaxFaultTextChars - std::min(kMaxFaultTextChars, m_pFaultText->size())));
        }
        return S_OK;
    }

    size_t m_cContacts = 0;
    std::map<std::wstring, std::wstring> m_responseAttributes;
    std::wstring m_wsFaultCode;
    std::wstring m_wsFailure;  // why the handler stopped the parse, when it did

private:
    void StartValue(ISAXAttributes* pAttributes) {
        auto name = Value(pAttributes, L"n");
        if (!name || name->empty())
            return;
        if (EqualsImage(*name)) {
            m_pContact->SetImage(Value(pAttributes, L"part"), Value(pAttributes, L"s"), Value(pAttributes, L"filename"),
                                 Value(pAttributes, L"ct"));
            return;
        }
        m_wsValueName = std::move(*name);
        m_wsValue.clear();
        m_nValueDepth = m_nDepth;
    }

    void AddMember(ISAXAttributes* pAttributes) {
        auto value = Value(pAttributes, L"value");
        auto type = Value(pAttributes, L"type");
        if (value && type && !value->empty() && !type->empty())
            m_pContact->GroupMembers().put((*type)[0], *value);
    }

    void RecordResponse(ISAXAttributes* pAttributes) {
        int n = 0;
        pAttributes->getLength(&n);
        for (int i = 0; i < n; ++i) {
            std::wstring_view name, value;
            if (SUCCEEDED(pAttributes->getLocalName(i, name)) && SUCCEEDED(pAttributes->getValue(i, value)))
                m_responseAttributes.emplace(name, value);
        }
    }

    HRESULT FinishContact() {
        std::unique_ptr<Contact> pContact = std::move(m_pContact);
        pContact->SetGalRef();
        pContact->SetDefaultFileAs();
        pContact->SetDefaultFullName();
        ++m_cContacts;
        HRESULT hr = m_sink(std::move(pContact));
        if (FAILED(hr))
            m_wsFailure = L"The receiver of the contacts stopped the reading.";
        return hr;
    }

    static bool EqualsImage(const std::wstring& name) {
        static constexpr std::wstring_view kImage = L"image";
        if (name.size() != kImage.size())
            return false;
        for (size_t i = 0; i < name.size(); ++i)
            if ((name[i] | 0x20) != kImage[i])
                return false;
        return true;
    }

    std::wstring m_wsNamespace;
    int m_newStyleGalIdMapper;
    ContactReader::Sink m_sink;

    int m_nDepth = 0;
    std::unique_ptr<Contact> m_pContact;  // the contact being read
    int m_nContactDepth = 0;
    std::wstring m_wsValueName;  // the `a` element being read, when m_nValueDepth is set
    std::wstring m_wsValue;
    int m_nValueDepth = 0;
    bool m_bResponseSeen = false;
    int m_nFaultDepth = 0;
    std::wstring* m_pFaultText = nullptr;  // the fault text being collected
    int m_nFaultTextDepth = 0;
    std::wstring m_wsFaultReason;
};

ContactReader::ContactReader(bool mailNamespace, int newStyleGalIdMapper, Sink sink) {
    m_pHandler.Attach(new ContactSaxHandler(mailNamespace, newStyleGalIdMapper, std::move(sink)));
}

ContactReader::~ContactReader() = default;

template <class Parse>
HRESULT ContactReader::Run(Parse parse) {
    m_error = XmlParseError();
    Platform::ComPtr<ISAXXMLReader> reader;
    HRESULT hr = Platform::Xml::CreateSaxReader(reader.AddressOf());
    if (FAILED(hr)) {
        m_error.errorCode = hr;
        m_error.reason = L"Out of memory.";
        return hr;
    }
    reader->putContentHandler(m_pHandler.Get());
    hr = parse(reader.Get());
    reader->getParseError(m_error);
    if (FAILED(hr) && !m_pHandler->m_wsFailure.empty())
        m_error.reason = m_pHandler->m_wsFailure;
    return hr;
}

HRESULT ContactReader::Read(std::string_view bytes) {
    return Run([bytes](ISAXXMLReader* pReader) { return pReader->parse(bytes); });
}

HRESULT ContactReader::Read(IStream* pStream) {
    return Run([pStream](ISAXXMLReader* pReader) { return pReader->parseStream(pStream); });
}

HRESULT ContactReader::ReadList(std::string_view bytes, bool mailNamespace, int newStyleGalIdMapper,
                                std::unique_ptr<Contact::List>& pList) {
    auto list = std::make_unique<Contact::List>();
    ContactReader reader(mailNamespace, newStyleGalIdMapper, [&list](std::unique_ptr<Contact> pContact) {
        list->push_back(pContact.get());
        pContact.release();
        return S_OK;
    });
    HRESULT hr = reader.Read(bytes);
    pList = SUCCEEDED(hr) ? std::move(list) : std::make_unique<Contact::List>();
    return hr;
}

size_t ContactReader::GetCount() const {
    return m_pHandler->m_cContacts;
}

const std::map<std::wstring, std::wstring>& ContactReader::ResponseAttributes() const {
    return m_pHandler->m_responseAttributes;
}

const std::wstring& ContactReader::GetFaultCode() const {
    return m_pHandler->m_wsFaultCode;
}

}  // namespace Ostrel::Mail

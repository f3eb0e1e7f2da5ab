// What the item and folder requests share: the item kinds, the features of the user session they
// consult, and a base class that builds a body element and its attributes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "Ostrel/Model/ItemTypes.h"
#include "Ostrel/Rpc/Soap/Request.h"
#include "Platform/Com/ComPtr.h"

namespace Ostrel::Rpc {

// What the item requests ask of the user session. The names are UserSession's: each returns the
// feature flag.
class IItemRequestSession {
public:
    // The server takes tag names ("tn").
    virtual int SetSupportTagNames() = 0;
    // The server takes tag ids ("t").
    virtual int SetSupportTagIds() = 0;
    // The server is version 8 or later; fetches the account information first when needed.
    virtual int SetSupportOSV8() = 0;

protected:
    ~IItemRequestSession() = default;
};

// The session the item requests consult: the current profile's session when it offers these
// features itself, else the global profile's UserSession; null (logged) when there is none.
// Without a session no tags are sent and no version 8 content is written.
std::shared_ptr<IItemRequestSession> CurrentItemSession();

// The value of a colour argument that means "no colour".
constexpr ULONG kNoColor = 0xFFFFFFFF;
// A colour (red in the low byte, green, blue) as "#RRGGBB".
std::wstring ColorToRgb(ULONG color);

// Which tag attribute the tag attribute rule picks.
enum class TagAttribute { None, Names, Ids };
// Names when the session takes tag names; else ids when it takes ids and `idsAllowed`.
TagAttribute ChooseTagAttribute(IItemRequestSession* pSession, bool idsAllowed);

class ItemRequestBase : public Request {
public:
    ~ItemRequestBase() override;

protected:
    // Loads the envelope; the call name is set only when `setCallName`.
    ItemRequestBase(const wchar_t* pwszCallName, int minusNoQualify = 0, bool setCallName = true);

    // Creates the body element with its xmlns (call once, before the content is added) and
    // appends it to the SOAP body.
    void CreateBody(const wchar_t* pwszName, const wchar_t* pwszNamespace);
    IXMLDOMElement* Body() const { return m_pBody; }

    // Each throws Util::C_Exception with the DOM's HRESULT when the document refuses.
    Platform::ComPtr<IXMLDOMElement> NewElement(const wchar_t* pwszName);
    Platform::ComPtr<IXMLDOMElement> AddChild(IXMLDOMElement* pParent, const wchar_t* pwszName);
    static void SetAttr(IXMLDOMElement* pElement, const wchar_t* pwszName, std::wstring_view value);
    static void SetText(IXMLDOMElement* pElement, std::wstring_view text);

    // The tag attribute rule on an element: "tn" with the names, or "t" with the ids, by what the
    // session takes; an empty joined text adds nothing.
    void SetTagAttribute(IXMLDOMElement* pElement, const Mail::TagIdList* pTagIds, const Mail::TagNameList* pTagNames,
                         bool idsAllowed);

private:
    IXMLDOMElement* m_pBody = nullptr;
};

}  // namespace Ostrel::Rpc

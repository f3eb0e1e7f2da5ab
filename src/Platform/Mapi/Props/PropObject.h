// The IMAPIProp behaviour shared by every object of the stand-in: property reads with PT_ERROR
// results, checked writes with problem arrays, named-property mapping through the store, and copying.
#pragma once

#include <memory>
#include <vector>

#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/MapiInterfaces.h"
#include "Platform/Mapi/Props/PropCodec.h"
#include "Platform/Mapi/Props/PropStream.h"

namespace Platform::Mapi {

class StoreDb;

// Helpers behind PropObject, shared with objects that do not derive from it.
HRESULT GetPropsFrom(const PropMap& props, LPSPropTagArray lpTags, ULONG ulFlags, ULONG* lpcValues,
                     LPSPropValue* lppProps);
HRESULT GetPropListFrom(const PropMap& props, ULONG ulFlags, LPSPropTagArray* lppTags);
HRESULT IdsFromNames(StoreDb* pDb, ULONG cNames, LPMAPINAMEID* lppNames, ULONG ulFlags, LPSPropTagArray* lppTags);
HRESULT NamesFromIds(StoreDb* pDb, LPSPropTagArray* lppTags, LPGUID lpGuid, ULONG ulFlags, ULONG* lpcNames,
                     LPMAPINAMEID** lpppNames);
// Copies properties (all but pExclude, or only pInclude) from one object to another through their
// interfaces; for messages also recipients and attachments unless excluded.
HRESULT CopyObject(IMAPIProp* pSource, IMAPIProp* pDest, LPSPropTagArray pExclude, LPSPropTagArray pInclude,
                   ULONG ulFlags, LPSPropProblemArray* lppProblems);

class PropObjectBase {
public:
    virtual ~PropObjectBase() = default;

protected:
    // The object's properties as read now, computed ones included.
    virtual HRESULT ReadProps(PropMap& props) = 0;
    // The same when only some properties are wanted (null: all), so that costly computed ones can be
    // left out when nobody asks for them.
    virtual HRESULT ReadPropsFor(PropMap& props, LPSPropTagArray) { return ReadProps(props); }
    // Properties the object computes; writing them gives MAPI_E_COMPUTED.
    virtual bool IsComputed(ULONG ulId) const = 0;
    // Applies checked changes (values to set, ids to delete).
    virtual HRESULT WriteProps(const std::vector<StoredProp>& set, const std::vector<ULONG>& deleted) = 0;
    virtual StoreDb* Db() const { return nullptr; }
    virtual bool Writable() const { return true; }

    HRESULT DoSetProps(ULONG cValues, LPSPropValue lpProps, LPSPropProblemArray* lppProblems);
    HRESULT DoDeleteProps(LPSPropTagArray lpTags, LPSPropProblemArray* lppProblems);
};

template <typename Interface>
class PropObject : public Platform::ComObject<Interface>, public PropObjectBase {
public:
    HRESULT GetLastError(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) override;
    // Streams over single properties for every object (IID_IStream); what else an object opens as a
    // property (tables, embedded messages) it answers in OpenSubObject.
    HRESULT OpenProperty(ULONG ulPropTag, LPCIID lpiid, ULONG ulInterfaceOptions, ULONG ulFlags,
                         LPUNKNOWN* lppUnk) override {
        if (!lppUnk || !lpiid)
            return MAPI_E_INVALID_PARAMETER;
        *lppUnk = nullptr;
        if (*lpiid == IID_IStream)
            return OpenStream(ulPropTag, ulInterfaceOptions, ulFlags, lppUnk);
        return OpenSubObject(ulPropTag, *lpiid, ulFlags, lppUnk);
    }
    HRESULT GetProps(LPSPropTagArray lpPropTagArray, ULONG ulFlags, ULONG* lpcValues,
                     LPSPropValue* lppPropArray) override {
        PropMap props;
        HRESULT hr = ReadPropsFor(props, lpPropTagArray);
        if (FAILED(hr))
            return hr;
        return GetPropsFrom(props, lpPropTagArray, ulFlags, lpcValues, lppPropArray);
    }
    HRESULT GetPropList(ULONG ulFlags, LPSPropTagArray* lppPropTagArray) override {
        PropMap props;
        HRESULT hr = ReadProps(props);
        if (FAILED(hr))
            return hr;
        return GetPropListFrom(props, ulFlags, lppPropTagArray);
    }
    HRESULT SetProps(ULONG cValues, LPSPropValue lpPropArray, LPSPropProblemArray* lppProblems) override {
        return DoSetProps(cValues, lpPropArray, lppProblems);
    }
    HRESULT DeleteProps(LPSPropTagArray lpPropTagArray, LPSPropProblemArray* lppProblems) override {
        return DoDeleteProps(lpPropTagArray, lppProblems);
    }
    HRESULT CopyTo(ULONG, LPCIID, LPSPropTagArray lpExcludeProps, ULONG_PTR, LPMAPIPROGRESS, LPCIID, LPVOID lpDestObj,
                   ULONG ulFlags, LPSPropProblemArray* lppProblems) override {
        return CopyObject(this, static_cast<IMAPIProp*>(lpDestObj), lpExcludeProps, nullptr, ulFlags, lppProblems);
    }
    HRESULT CopyProps(LPSPropTagArray lpIncludeProps, ULONG_PTR, LPMAPIPROGRESS, LPCIID, LPVOID lpDestObj,
                      ULONG ulFlags, LPSPropProblemArray* lppProblems) override {
        if (!lpIncludeProps)
            return MAPI_E_INVALID_PARAMETER;
        return CopyObject(this, static_cast<IMAPIProp*>(lpDestObj), nullptr, lpIncludeProps, ulFlags, lppProblems);
    }
    HRESULT GetNamesFromIDs(LPSPropTagArray* lppPropTags, LPGUID lpPropSetGuid, ULONG ulFlags, ULONG* lpcPropNames,
                            LPMAPINAMEID** lpppPropNames) override {
        if (!Db())
            return MAPI_E_NO_SUPPORT;
        return NamesFromIds(Db(), lppPropTags, lpPropSetGuid, ulFlags, lpcPropNames, lpppPropNames);
    }
    HRESULT GetIDsFromNames(ULONG cPropNames, LPMAPINAMEID* lppPropNames, ULONG ulFlags,
                            LPSPropTagArray* lppPropTags) override {
        if (!Db())
            return MAPI_E_NO_SUPPORT;
        return IdsFromNames(Db(), cPropNames, lppPropNames, ulFlags, lppPropTags);
    }

protected:
    virtual HRESULT OpenSubObject(ULONG, REFIID, ULONG, LPUNKNOWN*) { return MAPI_E_INTERFACE_NOT_SUPPORTED; }
    // A stream over one of the properties as read, computed ones included; objects that keep pending
    // properties open it on those instead (OpenStreamOn under their own lock).
    virtual HRESULT OpenStream(ULONG ulPropTag, ULONG ulInterfaceOptions, ULONG ulFlags, LPUNKNOWN* lppUnk) {
        PropMap props;
        HRESULT hr = ReadProps(props);
        if (FAILED(hr))
            return hr;
        return OpenStreamOn(props, ulPropTag, ulInterfaceOptions, ulFlags, lppUnk);
    }
    // What is written to the stream comes back as a change of the property; the stream keeps the
    // object alive until then.
    HRESULT OpenStreamOn(const PropMap& props, ULONG ulPropTag, ULONG ulInterfaceOptions, ULONG ulFlags,
                         LPUNKNOWN* lppUnk) {
        Platform::ComPtr<Interface> self(this);
        return OpenPropertyStream(
            props, ulPropTag, ulInterfaceOptions, ulFlags, Writable(),
            [this, self](const StoredProp& value) { return WriteProps({value}, {}); }, lppUnk);
    }
};

HRESULT MakeLastErrorFor(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError);

template <typename Interface>
HRESULT PropObject<Interface>::GetLastError(HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError) {
    return MakeLastErrorFor(hResult, ulFlags, lppMAPIError);
}

}  // namespace Platform::Mapi

#include "Ostrel/Rpc/Requests/WaitRequest.h"

#include "Ostrel/Rpc/Soap/SoapVocabulary.h"

namespace Ostrel::Rpc {

using Platform::ComPtr;

namespace {

const wchar_t* Named(int admin, const wchar_t* pwszAdmin, const wchar_t* pwszUser) {
    return admin ? pwszAdmin : pwszUser;
}

const wchar_t* Namespace(int admin) {
    return admin ? Soap::kNsAdmin : Soap::kNsMail;
}

}  // namespace

WaitSetRequestBase::WaitSetRequestBase(const wchar_t* pwszBodyName, int admin)
    : ItemRequestBase(pwszBodyName), m_wsBodyName(pwszBodyName) {
    CreateBody(pwszBodyName, Namespace(admin));
}

HRESULT WaitSetRequestBase::InsertNode(const wchar_t* pwszAccountId, const wchar_t* pwszKind, const wchar_t* pwszTypes,
                                       const wchar_t* pwszToken) {
    if (!pwszAccountId)
        return E_INVALIDARG;
    ComPtr<IXMLDOMNode> body;
    HRESULT hr = GetDocument()->selectSingleNode(L"/soap:Envelope/soap:Body/" + m_wsBodyName, body.AddressOf());
    if (hr != S_OK)
        return FAILED(hr) ? hr : E_FAIL;
    ComPtr<IXMLDOMNode> group;
    hr = body->selectSingleNode(pwszKind, group.AddressOf());
    if (FAILED(hr))
        return hr;
    if (!group) {
        ComPtr<IXMLDOMElement> element;
        hr = GetDocument()->createElement(pwszKind, element.AddressOf());
        if (SUCCEEDED(hr))
            hr = body->appendChild(element.Get(), nullptr);
        if (FAILED(hr))
            return hr;
        group = nullptr;
        element.As(&group);
    }
    ComPtr<IXMLDOMElement> a;
    hr = GetDocument()->createElement(L"a", a.AddressOf());
    if (SUCCEEDED(hr))
        hr = a->setAttribute(L"id", pwszAccountId);
    if (SUCCEEDED(hr) && pwszTypes)
        hr = a->setAttribute(L"types", pwszTypes);
    if (SUCCEEDED(hr) && pwszToken)
        hr = a->setAttribute(L"token", pwszToken);
    if (SUCCEEDED(hr))
        hr = group->appendChild(a.Get(), nullptr);
    return hr;
}

CreateWaitSetRequest::CreateWaitSetRequest(const wchar_t* pwszDefTypes, int admin)
    : WaitSetRequestBase(Named(admin, L"AdminCreateWaitSetRequest", L"CreateWaitSetRequest"), admin) {
    if (pwszDefTypes)
        SetAttr(Body(), L"defTypes", pwszDefTypes);
}

HRESULT CreateWaitSetRequest::AddWaitAccount1(const wchar_t* pwszAccountId, const wchar_t* pwszTypes,
                                              const wchar_t* pwszToken) {
    return InsertNode(pwszAccountId, L"add", pwszTypes, pwszToken);
}

WaitSetRequest::WaitSetRequest(const wchar_t* pwszWaitSet, const wchar_t* pwszSeq, const wchar_t* pwszDefTypes,
                               int admin, const wchar_t* pwszBlock)
    : WaitSetRequestBase(Named(admin, L"AdminWaitSetRequest", L"WaitSetRequest"), admin) {
    if (pwszWaitSet)
        SetAttr(Body(), L"waitSet", pwszWaitSet);
    if (pwszSeq)
        SetAttr(Body(), L"seq", pwszSeq);
    if (pwszBlock)
        SetAttr(Body(), L"block", pwszBlock);
    if (pwszDefTypes)
        SetAttr(Body(), L"defTypes", pwszDefTypes);
}

HRESULT WaitSetRequest::InsertAddNode(const wchar_t* pwszAccountId, const wchar_t* pwszTypes,
                                      const wchar_t* pwszToken) {
    return InsertNode(pwszAccountId, L"add", pwszTypes, pwszToken);
}

HRESULT WaitSetRequest::InsertUpdateNode(const wchar_t* pwszAccountId, const wchar_t* pwszTypes,
                                         const wchar_t* pwszToken) {
    if (!pwszToken)
        return E_INVALIDARG;
    return InsertNode(pwszAccountId, L"update", pwszTypes, pwszToken);
}

HRESULT WaitSetRequest::InsertRemoveNode(const wchar_t* pwszAccountId) {
    return InsertNode(pwszAccountId, L"remove", L"all", nullptr);
}

DestroyWaitSetRequest::DestroyWaitSetRequest(const wchar_t* pwszWaitSet, int admin)
    : ItemRequestBase(Named(admin, L"AdminDestroyWaitSetRequest", L"DestroyWaitSetRequest")) {
    CreateBody(Named(admin, L"AdminDestroyWaitSetRequest", L"DestroyWaitSetRequest"), Namespace(admin));
    if (pwszWaitSet)
        SetAttr(Body(), L"waitSet", pwszWaitSet);
}

}  // namespace Ostrel::Rpc

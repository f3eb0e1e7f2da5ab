#include "Ostrel/Rpc/Requests/SaveDocument.h"

#include "Ostrel/Model/ItemTypes.h"
#include "Ostrel/Rpc/Requests/ActionRequest.h"
#include "Ostrel/Rpc/Soap/RPCResponses.h"
#include "Ostrel/Rpc/Soap/SoapVocabulary.h"
#include "Ostrel/Rpc/Transport/Upload.h"
#include "Platform/Base/Utf.h"
#include "Platform/Com/FileStream.h"
#include "Util/Log/Log.h"

namespace Ostrel::Rpc {

using Platform::ComPtr;

namespace {

// The longest name FixUpDocumentName extends, before the period (as for document moves).
constexpr size_t kMaxFixedUpName = 258;
constexpr const wchar_t* kDocPath = L"/soap:Envelope/soap:Body/SaveDocumentRequest/doc";

struct ResponseDeleter {
    void operator()(Response* p) const { Response::Manager::DeleteResponse(p); }
};
using ResponsePtr = std::unique_ptr<Response, ResponseDeleter>;

std::wstring AttributeOf(IXMLDOMDocument2* pDocument, const wchar_t* pwszXPath) {
    ComPtr<IXMLDOMNode> node;
    std::wstring wsText;
    if (pDocument && pDocument->selectSingleNode(pwszXPath, node.AddressOf()) == S_OK)
        node->get_text(wsText);
    return wsText;
}

// Sends the save; the name the server kept. Faults are thrown.
std::wstring Save(OstrelConnection& oc, const wchar_t* pwszName, const std::wstring& wsUploadId,
                  const wchar_t* pwszContentType) {
    OSTLOG_INFO(4, L"Saving '%s' to briefcase as type '%s'", pwszName, pwszContentType);
    SaveDocumentRequest request(kBriefcaseFolderId, pwszName, wsUploadId.c_str(), pwszContentType);
    Response* pResponse = nullptr;
    oc.SendRequestSynchronousOC(&request, pResponse, __func__, __LINE__);
    ResponsePtr response(pResponse);
    if (!dynamic_cast<SaveDocumentResponse*>(response.get())) {
        OSTLOG_ERROR(L"This is not a valid SaveDocumentResponse");
        return std::wstring();
    }
    std::wstring wsKept = AttributeOf(response->GetDocument(), L"//mail:SaveDocumentResponse/mail:doc/@name");
    if (wsKept.empty())
        wsKept = pwszName;
    OSTLOG_INFO(4, L"Image saved to briefcase as '%s'", wsKept.c_str());
    return wsKept;
}

// Deletes the document the ALREADY_EXISTS fault names (the id after the colon of its IID detail).
bool DeleteExisting(OstrelConnection& oc, const MailServiceException_ALREADY_EXISTS& e) {
    std::wstring wsIid = AttributeOf(e.GetDocument(), L"//l:a[@t='IID']");
    size_t colon = wsIid.rfind(L':');
    std::wstring wsId = colon == std::wstring::npos ? wsIid : wsIid.substr(colon + 1);
    wchar_t* pEnd = nullptr;
    long id = wsId.empty() ? 0 : std::wcstol(wsId.c_str(), &pEnd, 10);
    if (wsId.empty() || *pEnd || id <= 0 || id > 0x7FFFFFFF) {
        OSTLOG_ERROR(L"the duplicate's id '%s' is not an item id", wsIid.c_str());
        return false;
    }
    OSTLOG_INFO(4, L"Deleting existing briefcase image file. Id=%d", static_cast<int>(id));
    ActionRequest request(Mail::MIT_DOCUMENT, static_cast<LONG>(id), ActionRequest::OP_DELETE);
    Response* pResponse = nullptr;
    oc.SendRequestSynchronousOC(&request, pResponse, __func__, __LINE__);
    ResponsePtr response(pResponse);
    if (!dynamic_cast<ActionResponse*>(response.get())) {
        OSTLOG_ERROR(L"This is not a valid ActionResponse");
        return false;
    }
    return true;
}

}  // namespace

SaveDocumentRequest::SaveDocumentRequest(LONG folderId, const wchar_t* pwszName, const wchar_t* pwszUploadId,
                                         const wchar_t* pwszContentType, bool bRenameOnConflict)
    : ItemRequestBase(L"SaveDocumentRequest"), m_bRenameOnConflict(bRenameOnConflict) {
    CreateBody(L"SaveDocumentRequest", Soap::kNsMail);
    auto doc = AddChild(Body(), L"doc");
    SetAttr(doc.Get(), L"l", std::to_wstring(folderId));
    SetAttr(doc.Get(), L"name", pwszName ? pwszName : L"");
    if (pwszContentType && *pwszContentType)
        SetAttr(doc.Get(), L"ct", pwszContentType);
    auto upload = AddChild(doc.Get(), L"upload");
    SetAttr(upload.Get(), L"id", pwszUploadId ? pwszUploadId : L"");
}

bool SaveDocumentRequest::FixUpDocumentName() {
    if (!m_bRenameOnConflict)
        return false;
    ComPtr<IXMLDOMNode> node;
    ComPtr<IXMLDOMElement> doc;
    if (GetDocument()->selectSingleNode(kDocPath, node.AddressOf()) != S_OK ||
        FAILED(node->QueryInterface(IID_IXMLDOMElement, reinterpret_cast<void**>(doc.AddressOf()))))
        return false;
    std::wstring wsName;
    if (doc->getAttribute(L"name", wsName) != S_OK || wsName.empty())
        return false;
    if (wsName.size() > kMaxFixedUpName)
        wsName.resize(kMaxFixedUpName);
    wsName += L'.';
    if (FAILED(doc->setAttribute(L"name", wsName)))
        return false;
    OSTLOG_INFO(4, L"Added period to fix name conflict");
    return true;
}

const wchar_t* ImageContentType(const std::filesystem::path& file) {
    std::string ext = file.extension().string();
    if (!ext.empty())
        ext.erase(0, 1);
    if (ext == "jpg" || ext == "jpeg")
        return L"image/jpeg";
    if (ext == "gif")
        return L"image/gif";
    if (ext == "png")
        return L"image/png";
    if (ext == "tiff" || ext == "tif")
        return L"image/tiff";
    return L"image/jpeg";
}

int PersistImgFileToOSV(OstrelConnection& oc, const std::filesystem::path& file, const wchar_t* pwszName) {
    if (!pwszName || !*pwszName) {
        OSTLOG_ERROR(L"no name to save the image under");
        return 0;
    }
    ComPtr<IStream> stream;
    if (HRESULT hr = Platform::CreateFileStream(file, STGM_READ, false, stream.AddressOf()); FAILED(hr)) {
        OSTLOG_ERROR(L"failed to OpenStreamOnFile: %x", static_cast<unsigned>(hr));
        return 0;
    }
    LARGE_INTEGER zero{};
    if (HRESULT hr = stream->Seek(zero, STREAM_SEEK_SET, nullptr); FAILED(hr)) {
        OSTLOG_ERROR(L"Failed to pStream->Seek call: %x", static_cast<unsigned>(hr));
        return 0;
    }
    STATSTG stat{};
    if (HRESULT hr = stream->Stat(&stat, STATFLAG_NONAME); FAILED(hr)) {
        OSTLOG_ERROR(L"Failed to pStream->Stat call: %x", static_cast<unsigned>(hr));
        return 0;
    }
    if (stat.cbSize.QuadPart >= 0x100000000ull) {
        OSTLOG_ERROR(L"File is too big");
        return 0;
    }

    std::wstring wsUploadId;
    try {
        if (!DoPutSynchronousOC(oc, stream.Get(), stat.cbSize.QuadPart, L"/service/upload?fmt=raw", wsUploadId, nullptr,
                                __func__, __LINE__)) {
            OSTLOG_ERROR(L"File upload failed");
            return 0;
        }
    } catch (const FileUploadFaultException& e) {
        OSTLOG_ERROR(L"FileUploadFaultException. Status code: '%hs', error text: '%hs'", e.StatusCode(), e.ErrorText());
        OSTLOG_ERROR(L"File upload failed");
        return 0;
    } catch (const ServiceFaultException& e) {
        OSTLOG_ERROR(L"ServiceFaultException: '%s', error message: '%s'", e.FaultCode(), e.ExcepText());
        OSTLOG_ERROR(L"File upload failed");
        return 0;
    } catch (const RpcException& e) {
        OSTLOG_ERROR(L"uploading '%s' failed: %s", pwszName, e.ExcepText());
        return 0;
    }

    const wchar_t* pwszContentType = ImageContentType(file);
    for (int attempt = 1;; ++attempt) {
        try {
            return Save(oc, pwszName, wsUploadId, pwszContentType).empty() ? 0 : 1;
        } catch (const MailServiceException_ALREADY_EXISTS& e) {
            if (attempt > 1) {
                OSTLOG_ERROR(L"'%s' still exists in the briefcase: %s", pwszName, e.ExcepText());
                return 0;
            }
            OSTLOG_INFO(4, L"Duplicate exists in the briefcase '%s'.", pwszName);
            try {
                if (!DeleteExisting(oc, e))
                    return 0;
            } catch (const RpcException& inner) {
                OSTLOG_ERROR(L"deleting the existing '%s' failed: %s", pwszName, inner.ExcepText());
                return 0;
            }
        } catch (const RpcException& e) {
            OSTLOG_ERROR(L"saving '%s' to the briefcase failed: %s", pwszName, e.ExcepText());
            return 0;
        }
    }
}

}  // namespace Ostrel::Rpc

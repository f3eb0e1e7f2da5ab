#include "Ostrel/Rpc/Requests/ContactImage.h"

#include "Ostrel/Rpc/Soap/RPCExceptions.h"
#include "Ostrel/Rpc/Transport/Download.h"
#include "Util/Log/Log.h"
#include "Util/MemoryStream.h"

namespace Ostrel::Rpc {

std::wstring ContactImageUrl(const Mail::Contact& contact) {
    const Mail::Contact::AttachmentInfo& image = contact.GetImageAttachmentInfo();
    if (image.GetPartIndex() < 0 || contact.GetContId() <= 0)
        return std::wstring();
    // The model keeps the part number minus one.
    return L"/service/content/get?id=" + std::to_wstring(contact.GetContId()) + L"&part=" +
           std::to_wstring(static_cast<int64_t>(image.GetPartIndex()) + 1);
}

bool FetchContactImage(OstrelConnection& oc, const Mail::Contact& contact, std::string& sImage) {
    sImage.clear();
    std::wstring wsUrl = ContactImageUrl(contact);
    if (wsUrl.empty())
        return false;
    const int64_t llSize = contact.GetImageAttachmentInfo().GetSize();
    if (llSize > kMaxContactImageSize) {
        OSTLOG_ERROR(L"Contact image of %lld bytes is too large -- not fetched", static_cast<long long>(llSize));
        throw FileDownloadFaultException("the contact image is too large");
    }
    OSTLOG_INFO(8, L"Fetching contact image: %ls", wsUrl.c_str());
    DownloadExpectation expect;
    if (llSize > 0)
        expect.ullSize = static_cast<ULONGLONG>(llSize);
    Util::MemoryStream stream;
    ULONGLONG ullGot = DownloadToStream(oc, wsUrl.c_str(), stream.GetStream(), expect, __func__, __LINE__);
    if (ullGot > static_cast<ULONGLONG>(kMaxContactImageSize))
        throw FileDownloadFaultException("the contact image is too large");
    sImage = stream.GetContent();
    return true;
}

}  // namespace Ostrel::Rpc

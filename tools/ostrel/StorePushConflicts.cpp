// What the server did to an item between the pull and the push. The requests that change an item
// carry nothing the server could check a stale change against, so before a local change goes up
// the item is read again (GetItem): its change sequence, flags, tags and folder, compared with the
// baseline the pull stamped.
//
// A change made on the server meanwhile is never overwritten. What both sides changed stays
// unsent with its baseline as it was, and the next pull, which the server's change is bound to
// reach, settles it by the pull's own rule: per field, the server wins when both changed the
// same one, and the local version is kept as a copy in "Sync Issues/Conflicts".
#include "StorePush.h"

#include "Ostrel/Rpc/Requests/ItemRequests.h"
#include "Ostrel/Rpc/Soap/RPCExceptions.h"
#include "Ostrel/Rpc/Soap/RPCResponses.h"
#include "Platform/Base/Utf.h"
#include "Util/Log/Log.h"
#include "Util/Text/XmlUtil.h"

#include <charconv>

namespace OstrelCli {

namespace {

// An attribute of the item a GetItem answer describes; empty when absent.
std::string ItemAttribute(Ostrel::Rpc::Response& response, const wchar_t* pwszName) {
    wchar_t* pwszValue = nullptr;
    std::string value;
    if (Ostrel::Util::XmlUtil::FindNodeAttributeValue(
            response.GetDocument(), L"/soap:Envelope/soap:Body/mail:GetItemResponse/*[1]", pwszName, &pwszValue) &&
        pwszValue)
        value = Platform::ToUtf8(pwszValue);
    Ostrel::Util::XmlUtil::Free(pwszValue);
    return value;
}

// A 32-bit number; 0 when the text is not one.
int32_t Number(const std::string& text) {
    int32_t i = 0;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), i);
    return ec == std::errc() && ptr == text.data() + text.size() ? i : 0;
}

}  // namespace

StorePush::ServerRead StorePush::ReadServerItem(LONG lId, ServerItem& item) {
    try {
        Ostrel::Rpc::GetItemRequest request(lId);
        std::unique_ptr<Ostrel::Rpc::Response> pResponse = Send(request);
        if (!pResponse || !pResponse->GetDocument())
            return ServerRead::Failed;
        item.iSeq = Number(ItemAttribute(*pResponse, L"ms"));
        item.iFolder = Number(ItemAttribute(*pResponse, L"l"));
        item.sFlags = ChangeableFlags(ItemAttribute(*pResponse, L"f"));
        item.sTags = NormalTagIds(ItemAttribute(*pResponse, L"t"));
        return ServerRead::Read;
    } catch (const Ostrel::Rpc::RpcException& e) {
        if (IsGoneOnServer(e))
            return ServerRead::Gone;
        OSTLOG_ERROR(L"Item %d cannot be read from the server: %ls", lId, e.ExcepText() ? e.ExcepText() : L"");
    } catch (const std::exception& e) {
        OSTLOG_ERROR(L"Item %d cannot be read from the server: %hs", lId, e.what());
    }
    return ServerRead::Failed;
}

StorePush::ServerSide StorePush::ServerChangeSince(LONG lId, const ItemBaseline& baseline) {
    // A baseline without a sequence was stamped by a push; the next pull rewrites the item from
    // the server before anything could be compared.
    if (!baseline.iSeq)
        return ServerSide::Unchanged;
    ServerItem now;
    switch (ReadServerItem(lId, now)) {
        case ServerRead::Failed:
            return ServerSide::Unknown;
        case ServerRead::Gone:
            OSTLOG_INFO(1, L"Item %d was deleted on the server since the pull: its local edit waits for the next sync",
                        lId);
            return ServerSide::Changed;
        case ServerRead::Read:
            break;
    }
    if (now.iSeq == baseline.iSeq)
        return ServerSide::Unchanged;
    OSTLOG_INFO(1,
                L"Item %d was changed on the server since the pull (sequence %d, pulled %d): the next sync settles it",
                lId, now.iSeq, baseline.iSeq);
    return ServerSide::Changed;
}

}  // namespace OstrelCli

// Actions on existing items and folders: delete, mark read or flagged, move, tag, update and
// rename. The body element follows the item kind (FolderActionRequest, MsgActionRequest,
// ContactActionRequest or ItemActionRequest); an unsupported kind leaves the body empty.
#pragma once

#include <optional>
#include <string>

#include "Ostrel/Model/ItemTypes.h"
#include "Ostrel/Rpc/Requests/ItemRequestBase.h"
#include "Ostrel/Rpc/Soap/RequestAcl.h"
#include "Ostrel/Rpc/Transport/OstrelConnection.h"

namespace Ostrel::Rpc {

class ActionRequest : public ItemRequestBase, public IDocumentNameFixUp {
public:
    enum OP {
        OP_DELETE = 0,
        OP_READ = 1,
        OP_UNREAD = 2,
        OP_FLAG = 3,
        OP_UNFLAG = 4,
        OP_MOVE = 5,
        OP_TAG = 6,
        OP_UNTAG = 7,
        OP_UPDATE = 8,
        OP_RENAME = 9,
    };

    // The wire text of an operation; empty outside the table.
    static const wchar_t* OpText(int op);

    ActionRequest(Mail::MailItemType kind, LONG id, OP op);
    ActionRequest(Mail::MailItemType kind, LONG id, OP op, const wchar_t* pwszName);
    ActionRequest(Mail::MailItemType kind, LONG id, OP op, const wchar_t* pwszName, ULONG color);
    // A move into folderId; newName is not sent but kept for FixUpDocumentName.
    ActionRequest(Mail::MailItemType kind, LONG id, OP op, LONG folderId, const wchar_t* pwszNewName);
    // A folder's whole state: parent, name, flags and access-control list; isDocument asks for the
    // document view (servers of version 8 and later).
    ActionRequest(Mail::MailItemType kind, LONG id, OP op, LONG folderId, const wchar_t* pwszName,
                  const wchar_t* pwszFlags, const ACL& acl, int isDocument);
    // Tags, by name or id as the session takes them. With a non-zero tagIdRestriction ids are
    // sent only in the handheld-server edition. A given but empty list sends an empty text.
    ActionRequest(Mail::MailItemType kind, LONG id, OP op, const Mail::TagIdList* pTagIds,
                  const Mail::TagNameList* pTagNames, int tagIdRestriction);
    ActionRequest(Mail::MailItemType kind, LONG id, OP op, const Mail::TagIdList* pTagIds,
                  const Mail::TagNameList* pTagNames, Mail::MessageFlags& flags, int tagIdRestriction);

    // After the server said a document of that name exists in the target folder: turns a move or
    // update of a document into an update whose name ends in one more period. False when the
    // request is no such action or has no name to change.
    bool FixUpDocumentName() override;

protected:
    void Create(Mail::MailItemType kind, int op, LONG id, const std::optional<std::wstring>& owsTagIds,
                const std::optional<std::wstring>& owsTagNames, const std::optional<std::wstring>& owsFolderId,
                const wchar_t* pwszName, const wchar_t* pwszFlags, const ACL* pAcl, ULONG color, int isDocument);

private:
    static std::optional<std::wstring> TagListToString(const Mail::TagIdList* pTagIds);
    static std::optional<std::wstring> TagNameListToString(const Mail::TagNameList* pTagNames);
    static std::optional<std::wstring> AllowedTagIds(const Mail::TagIdList* pTagIds, int tagIdRestriction);

    std::optional<std::wstring> m_owsNewName;
};

}  // namespace Ostrel::Rpc

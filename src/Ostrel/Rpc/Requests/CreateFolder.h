// Creating a folder: its name, parent, view (from the item kind it holds) and access-control list.
#pragma once

#include "Ostrel/Rpc/Requests/ItemRequestBase.h"
#include "Ostrel/Rpc/Soap/RequestAcl.h"

namespace Ostrel::Rpc {

class CreateFolderRequest : public ItemRequestBase {
public:
    // fetchIfExists: answer with the existing folder of that name instead of failing ("fie").
    // syncFlag: the folder takes part in synchronisation ("f" = "#"). A null or empty ACL sends none.
    CreateFolderRequest(const wchar_t* pwszName, LONG parentId, Mail::MailItemType kind, const ACL* pAcl,
                        int fetchIfExists, int syncFlag);

    // The view a folder of that kind gets; null for none. Documents need a version 8 server.
    static const wchar_t* ViewOf(Mail::MailItemType kind);
};

}  // namespace Ostrel::Rpc

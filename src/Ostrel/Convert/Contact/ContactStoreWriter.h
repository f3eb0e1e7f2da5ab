// Puts server contacts into a store folder: the message a contact had before is found through
// the id mapper (by server id, or for global address list entries by their reference, so that
// an entry keeps its store object across synchronisations), the contact is converted onto it,
// stamped, saved, and the mapping recorded. With a connection, the image a contact announces is
// fetched from the server and becomes its photo.
#pragma once

#include <string>

#include "Ostrel/Model/Contact/Contact.h"
#include "Platform/Mapi/Mapi.h"

namespace Ostrel::Rpc {
class OstrelConnection;
}

namespace Ostrel::Mapi {

class IdMapper;
class NamedProps;

class ContactStoreWriter {
public:
    // For global address list entries (bGal) pGalMapper keys the messages; otherwise pItemMapper.
    // Both are also used to resolve group members. Neither is owned.
    ContactStoreWriter(IMsgStore* pStore, IMAPIFolder* pFolder, IdMapper* pItemMapper, IdMapper* pGalMapper, bool bGal);

    // Photos of mailbox contacts are fetched over `pConnection` (not owned; null: not fetched).
    void SetConnection(Rpc::OstrelConnection* pConnection) { m_pConnection = pConnection; }

    // Writes one contact. pPhoto, when given, holds the photo's bytes; otherwise, with a
    // connection, the image the contact announces is fetched. A photo that cannot be fetched is
    // logged and left out: the contact is written, and a photo it had in the store stays. The
    // message's entry id goes into *psEntryId when asked for.
    HRESULT Put(const Mail::Contact& contact, const std::string* pPhoto = nullptr, std::string* psEntryId = nullptr);

    // The key a global address list entry is mapped by: its unique id, else its reference.
    static std::wstring GalKey(const Mail::Contact& contact);

private:
    HRESULT DoPut(const Mail::Contact& contact, const std::string* pPhoto, std::string* psEntryId);
    // *pbNew tells whether the message was created.
    HRESULT OpenOrCreate(const Mail::Contact& contact, IMessage** ppMsg, bool* pbNew);

    IMsgStore* m_pStore;
    IMAPIFolder* m_pFolder;
    IdMapper* m_pItemMapper;
    IdMapper* m_pGalMapper;
    bool m_bGal;
    Rpc::OstrelConnection* m_pConnection = nullptr;
    NamedProps* m_pProps = nullptr;  // the store's, looked up on the first Put
};

}  // namespace Ostrel::Mapi

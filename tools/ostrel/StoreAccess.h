// What the `ostrel store` subcommands share: opening a .osd file with one clear line when that
// fails, objects by hex entry id, folders by entry id or by path below the root ("Top of Personal
// Folders/Inbox", compared without regard to case).
#pragma once

#include <string>

#include "Cli.h"

#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/MapiInterfaces.h"

namespace OstrelCli {

// Bytes as upper-case hex, the form entry ids are printed and given in.
std::string HexBytes(const void* pv, size_t cb);
std::string HexBytes(const std::string& bytes);
// Hex digits (an optional "0x" first) into bytes; false for anything else.
bool BytesFromHex(const std::string& text, std::string* pBytes);
// Whether both names lead to the same existing file (through links, other spellings).
bool IsSameFile(const std::string& first, const std::string& second);

class StoreAccess {
public:
    // pszCommand names the command in the failure lines.
    explicit StoreAccess(Context& context, const char* pszCommand = "store")
        : m_context(context), m_pszCommand(pszCommand) {}

    // Prints "ostrel <command>: <what> (0x<hr>)" and returns kExitFailure.
    int Fail(const std::string& what, HRESULT hr);
    // Opens the store file (never creates it); on failure says why in one line and returns
    // kExitFailure. bWritable asks for a store that can be changed: a file this user may only read
    // is then refused rather than opened for reading.
    int Open(const std::string& file, bool bWritable);

    IMsgStore* Store() const { return m_store.Get(); }
    bool Writable() const { return m_bWritable; }

    // The object of that entry id (the bytes, not hex); the root folder for an empty one.
    HRESULT OpenEntry(const std::string& eid, Platform::ComPtr<IMAPIProp>& pProp, ULONG* pulType);
    // A folder by hex entry id or path below the root.
    HRESULT FindFolder(const std::string& target, Platform::ComPtr<IMAPIFolder>& pFolder);
    // A message by hex entry id.
    HRESULT FindMessage(const std::string& target, Platform::ComPtr<IMessage>& pMessage);

private:
    HRESULT Child(Platform::ComPtr<IMAPIFolder>& pFolder, const std::wstring& name);

    Context& m_context;
    const char* m_pszCommand;
    Platform::ComPtr<IMsgStore> m_store;
    bool m_bWritable = false;
};

}  // namespace OstrelCli

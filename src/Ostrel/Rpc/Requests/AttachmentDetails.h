// A file to be uploaded, or already uploaded: its content stream and size, the multipart preamble
// that introduces it, and once uploaded the id the server gave it, with its content type and name.
#pragma once

#include "Platform/Com/Stream.h"

namespace Ostrel::Rpc {

class AttachmentDetails {
public:
    AttachmentDetails() = default;
    // Keeps a reference to the stream and a copy of the preamble.
    AttachmentDetails(IStream* pStream, ULONG ulSize, const char* pszPreamble);
    ~AttachmentDetails();
    AttachmentDetails(const AttachmentDetails&) = delete;
    AttachmentDetails& operator=(const AttachmentDetails&) = delete;

    // Getters return the stored pointer (null when unset); setters store a copy of the argument
    // (null clears) and free the previous one.
    const wchar_t* GetUploadToken() const { return m_pwszUploadToken; }
    void SetUploadToken(const wchar_t* pwszUploadToken);
    IStream* GetStream() const { return m_pStream; }
    ULONG GetStreamSize() const { return m_ulStreamSize; }
    // Releases the old stream and keeps a reference to the new one.
    void SetStream(IStream* pStream, ULONG ulSize);
    const char* GetPreamble() const { return m_pszPreamble; }
    void SetPreamble(const char* pszPreamble);
    const char* GetContentType() const { return m_pszContentType; }
    void SetContentType(const char* pszContentType);
    const char* GetFileName() const { return m_pszFileName; }
    void SetFileName(const char* pszFileName);

private:
    wchar_t* m_pwszUploadToken = nullptr;
    IStream* m_pStream = nullptr;
    ULONG m_ulStreamSize = 0;
    char* m_pszPreamble = nullptr;
    char* m_pszContentType = nullptr;
    char* m_pszFileName = nullptr;
};

}  // namespace Ostrel::Rpc

#include "Ostrel/Rpc/Requests/AttachmentDetails.h"

#include "Util/Text/Strings.h"

namespace Ostrel::Rpc {

namespace {

template <class Char>
void Replace(Char*& pStored, const Char* pValue) {
    Char* pCopy = Util::CopyString(pValue);
    Util::SafeDelete(pStored);
    pStored = pCopy;
}

}  // namespace

AttachmentDetails::AttachmentDetails(IStream* pStream, ULONG ulSize, const char* pszPreamble) {
    SetStream(pStream, ulSize);
    SetPreamble(pszPreamble);
}

AttachmentDetails::~AttachmentDetails() {
    Util::SafeDelete(m_pwszUploadToken);
    Util::SafeRelease(m_pStream);
    Util::SafeDelete(m_pszPreamble);
    Util::SafeDelete(m_pszContentType);
    Util::SafeDelete(m_pszFileName);
}

void AttachmentDetails::SetUploadToken(const wchar_t* pwszUploadToken) {
    Replace(m_pwszUploadToken, pwszUploadToken);
}

void AttachmentDetails::SetStream(IStream* pStream, ULONG ulSize) {
    if (pStream)
        pStream->AddRef();
    Util::SafeRelease(m_pStream);
    m_pStream = pStream;
    m_ulStreamSize = ulSize;
}

void AttachmentDetails::SetPreamble(const char* pszPreamble) {
    Replace(m_pszPreamble, pszPreamble);
}

void AttachmentDetails::SetContentType(const char* pszContentType) {
    Replace(m_pszContentType, pszContentType);
}

void AttachmentDetails::SetFileName(const char* pszFileName) {
    Replace(m_pszFileName, pszFileName);
}

}  // namespace Ostrel::Rpc

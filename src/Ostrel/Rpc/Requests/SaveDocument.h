// Saving an uploaded file as a document in a folder, and keeping a local image file in the
// user's Briefcase (PersistImgFileToOSV; GetImgFileFromOSV in Rpc/Transport fetches it back).
#pragma once

#include <filesystem>
#include <string>

#include "Ostrel/Rpc/Requests/ItemRequestBase.h"
#include "Ostrel/Rpc/Transport/OstrelConnection.h"

namespace Ostrel::Rpc {

// The Briefcase folder.
constexpr LONG kBriefcaseFolderId = 16;

// <SaveDocumentRequest><doc l name ct><upload id/></doc></SaveDocumentRequest>
class SaveDocumentRequest : public ItemRequestBase, public IDocumentNameFixUp {
public:
    // With `bRenameOnConflict` a name that exists already is made unique by FixUpDocumentName
    // (one more period, as for document moves); without it the conflict stands, for callers that
    // replace the existing document instead.
    SaveDocumentRequest(LONG folderId, const wchar_t* pwszName, const wchar_t* pwszUploadId,
                        const wchar_t* pwszContentType, bool bRenameOnConflict = false);

    bool FixUpDocumentName() override;

private:
    bool m_bRenameOnConflict;
};

// The content type of an image file by its extension (compared exactly): jpg and jpeg
// "image/jpeg", gif "image/gif", png "image/png", tiff and tif "image/tiff"; else "image/jpeg".
const wchar_t* ImageContentType(const std::filesystem::path& file);

// Uploads the local image `file` and saves it in the Briefcase as `pwszName`. A document of that
// name is replaced (deleted, then saved once more). Non-zero on success; failures are logged.
int PersistImgFileToOSV(OstrelConnection& oc, const std::filesystem::path& file, const wchar_t* pwszName);

}  // namespace Ostrel::Rpc

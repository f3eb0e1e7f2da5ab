// A contact's image, fetched over HTTP from the part the server announced for it in the contact
// listing ("/service/content/get?id=<contact>&part=<part>").
#pragma once

#include <cstdint>
#include <string>

#include "Ostrel/Model/Contact/Contact.h"

namespace Ostrel::Rpc {

class OstrelConnection;

// Images larger than this are refused before anything is fetched; so is a download that turns
// out larger than the size announced.
constexpr int64_t kMaxContactImageSize = 16 * 1024 * 1024;

// The URL of the contact's image; empty when the contact announces none (or has no id).
std::wstring ContactImageUrl(const Mail::Contact& contact);

// Fetches the contact's image into sImage with the session's token, checked against the size the
// server announced. False, with sImage empty, when the contact announces no image. Failures are
// thrown as RpcException (FileDownloadFaultException for a refused or mismatching image), and
// leave sImage empty.
bool FetchContactImage(OstrelConnection& oc, const Mail::Contact& contact, std::string& sImage);

}  // namespace Ostrel::Rpc

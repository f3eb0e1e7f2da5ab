// Arbitrary bytes as the upload service's answer: the id and status come out of the examined
// prefix only, an id never holds the quote that ends it, and an error page's message is its
// title; never a crash or a read past the answer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "Ostrel/Rpc/Transport/Upload.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string answer(reinterpret_cast<const char*>(data), size);
    Ostrel::Rpc::UploadAnswer parsed = Ostrel::Rpc::ParseUploadAnswer(answer);
    const std::string_view examined = std::string_view(answer).substr(0, 255);
    if (parsed.sStatus.size() > examined.size() || examined.find(parsed.sStatus) != 0)
        std::abort();
    if (parsed.sUploadId.find('\'') != std::string::npos ||
        (!parsed.sUploadId.empty() && examined.find(parsed.sUploadId) == std::string_view::npos))
        std::abort();

    std::string message;
    int length = Ostrel::Rpc::ParseHtmlError(answer, message);
    if (length >= 0 && (static_cast<size_t>(length) != message.size() || message.compare(0, 5, "Error") != 0 ||
                        answer.find(message) == std::string::npos))
        std::abort();
    if (length < 0 && !message.empty())
        std::abort();
    return 0;
}

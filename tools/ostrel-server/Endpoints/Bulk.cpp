// GET /bulk?bytes=N: N bytes of text lines, streamed without holding them in memory.
// chunked=1 leaves out the content length; drop=1 closes the connection after half of the bytes.
#include "ostrel-server/Endpoint.h"

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace {

constexpr size_t kPiece = 64 * 1024;

// One piece of repeated 64-byte lines; every offset of the body is a multiple of 64 into it.
const std::string& Piece() {
    static const std::string piece = [] {
        std::string line = "ostrel simulator bulk data 0123456789 abcdefghijklmnopqrstuvwxy\n";
        std::string out;
        while (out.size() < kPiece)
            out += line;
        return out;
    }();
    return piece;
}

OstrelServer::HttpEndpoint s_bulk("GET", "/bulk", [](OstrelServer::HttpCall& call) {
    size_t bytes = std::strtoull(call.req.get_param_value("bytes").c_str(), nullptr, 10);
    bool chunked = call.req.get_param_value("chunked") == "1";
    size_t limit = call.req.get_param_value("drop") == "1" ? bytes / 2 : bytes;
    auto write = [limit](size_t offset, httplib::DataSink& sink) {
        size_t n = std::min(kPiece - offset % kPiece, limit - offset);
        return sink.write(Piece().data() + offset % kPiece, n);
    };
    if (chunked) {
        call.res.set_chunked_content_provider("text/plain",
                                              [write, limit, bytes](size_t offset, httplib::DataSink& sink) {
                                                  if (offset >= limit) {
                                                      if (limit < bytes)
                                                          return false;
                                                      sink.done();
                                                      return true;
                                                  }
                                                  return write(offset, sink);
                                              });
    } else {
        call.res.set_content_provider(bytes, "text/plain",
                                      [write, limit](size_t offset, size_t, httplib::DataSink& sink) {
                                          return offset < limit && write(offset, sink);
                                      });
    }
});

}  // namespace

// The baseline of the sync benchmarks: the same message archives a sync fetches, downloaded with
// bare libcurl in batches of the sync's size and thrown away, so a sync's rate can be set beside
// the rate at which the server can hand the messages out at all.
#pragma once

#include <curl/curl.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace BenchSupport {

class BareDownload {
public:
    // `server`: the simulator's base URL; the session's zip level and auth token as a sync sends them.
    BareDownload(const std::string& server, int iZipLevel, const std::wstring& wsToken)
        : m_sBase(server + "/service/download?level=" + std::to_string(std::max(0, iZipLevel)) + "&ids="),
          m_sCookie("OS_AUTH_TOKEN=" + std::string(wsToken.begin(), wsToken.end())),
          m_pCurl(curl_easy_init()) {
        curl_easy_setopt(m_pCurl, CURLOPT_WRITEFUNCTION, Discard);
        curl_easy_setopt(m_pCurl, CURLOPT_WRITEDATA, &m_ullZipBytes);
        curl_easy_setopt(m_pCurl, CURLOPT_PROXY, "");
        curl_easy_setopt(m_pCurl, CURLOPT_COOKIE, m_sCookie.c_str());
    }
    ~BareDownload() { curl_easy_cleanup(m_pCurl); }
    BareDownload(const BareDownload&) = delete;
    BareDownload& operator=(const BareDownload&) = delete;

    // Downloads every id once, `cBatch` to an archive; false when a request failed.
    bool Run(const std::vector<int32_t>& ids, size_t cBatch) {
        m_ullZipBytes = 0;
        for (size_t i = 0; i < ids.size(); i += cBatch) {
            std::string url = m_sBase;
            for (size_t j = i; j < std::min(ids.size(), i + cBatch); ++j)
                url += (j == i ? "" : ",") + std::to_string(ids[j]);
            curl_easy_setopt(m_pCurl, CURLOPT_URL, url.c_str());
            long status = 0;
            if (curl_easy_perform(m_pCurl) != CURLE_OK ||
                (curl_easy_getinfo(m_pCurl, CURLINFO_RESPONSE_CODE, &status), status != 200))
                return false;
        }
        return true;
    }
    // The archive bytes of the last run.
    uint64_t ZipBytes() const { return m_ullZipBytes; }

private:
    static size_t Discard(char*, size_t size, size_t count, void* user) {
        *static_cast<uint64_t*>(user) += size * count;
        return size * count;
    }

    std::string m_sBase;
    std::string m_sCookie;
    CURL* m_pCurl;
    uint64_t m_ullZipBytes = 0;
};

}  // namespace BenchSupport

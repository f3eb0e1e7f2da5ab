#include "Util/Log/LogLine.h"

#include <pthread.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "Util/Log/Log.h"
#include "Util/Time/Clock.h"

namespace Ostrel::Util {

namespace {

// Per thread: the ids, and the local time of the last second a line was stamped in. localtime_r
// reads the time zone only once per process, so keeping its answer for the second changes nothing.
struct ThreadStamp {
    pid_t pid = 0;
    pid_t tid = 0;
    int64_t llSecond = INT64_MIN;
    char szSecond[32] = {};
    size_t cchSecond = 0;
};
thread_local ThreadStamp t_stamp;

// A forked child keeps the forking thread's copy, with its parent's ids: forget them there.
const bool g_bForkForgetsIds = [] {
    pthread_atfork(nullptr, nullptr, [] {
        t_stamp.pid = 0;
        t_stamp.tid = 0;
    });
    return true;
}();

template <class T>
void AppendNumber(std::string& s, T value) {
    char szBuffer[24];
    auto result = std::to_chars(szBuffer, szBuffer + sizeof(szBuffer), value);
    s.append(szBuffer, result.ptr);
}

void AppendTimestamp(std::string& s) {
    const int64_t llMs = CurrentClock().GetUnixTimeMs();
    const int64_t llSecond = llMs / 1000 - (llMs % 1000 < 0 ? 1 : 0);
    const int nMillis = static_cast<int>(((llMs % 1000) + 1000) % 1000);
    ThreadStamp& stamp = t_stamp;
    if (llSecond != stamp.llSecond) {
        time_t tSeconds = static_cast<time_t>(llSecond);
        struct tm tmLocal {};
        localtime_r(&tSeconds, &tmLocal);
        int cch = std::snprintf(stamp.szSecond, sizeof(stamp.szSecond), "%04d-%02d-%02d %02d:%02d:%02d",
                                tmLocal.tm_year + 1900, tmLocal.tm_mon + 1, tmLocal.tm_mday, tmLocal.tm_hour,
                                tmLocal.tm_min, tmLocal.tm_sec);
        stamp.cchSecond = cch > 0 ? std::min(static_cast<size_t>(cch), sizeof(stamp.szSecond) - 1) : 0;
        stamp.llSecond = llSecond;
    }
    s.append(stamp.szSecond, stamp.cchSecond);
    const char szMillis[] = {'.', static_cast<char>('0' + nMillis / 100), static_cast<char>('0' + nMillis / 10 % 10),
                             static_cast<char>('0' + nMillis % 10)};
    s.append(szMillis, sizeof(szMillis));
}

}  // namespace

void AppendLineHead(std::string& sLine, DWORD dwLevel, DWORD dwCategory, bool bError, std::string_view sThreadName) {
    AppendTimestamp(sLine);
    ThreadStamp& stamp = t_stamp;
    if (stamp.pid == 0) {
        stamp.pid = ::getpid();
        stamp.tid = ::gettid();
    }
    sLine += " [";
    AppendNumber(sLine, stamp.pid);
    sLine += ':';
    AppendNumber(sLine, stamp.tid);
    if (!sThreadName.empty()) {
        sLine += ' ';
        sLine += sThreadName;
    }
    sLine += "] ";
    if (bError || (dwCategory & kLogCategoryError)) {
        sLine += "ERROR";
    } else if (dwCategory & kLogCategoryWarning) {
        sLine += "WARN";
    } else if (dwCategory == kLogCategoryInfo) {
        sLine += "INFO";
        AppendNumber(sLine, dwLevel);
    } else {
        sLine += 'L';
        AppendNumber(sLine, dwLevel);
        sLine += "/C";
        AppendNumber(sLine, dwCategory);
    }
    sLine += ' ';
}

void AppendLineLocation(std::string& sLine, std::string_view sFile, int nLine) {
    sLine += " (";
    sLine += sFile;
    sLine += ':';
    AppendNumber(sLine, nLine);
    sLine += ')';
}

}  // namespace Ostrel::Util

#include "Progress.h"

#include "Output.h"
#include "Util/Time/Clock.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <string>

namespace OstrelCli {

namespace {

constexpr uint64_t kRedrawMs = 100;

size_t TerminalWidth(std::FILE* file) {
    winsize size{};
    if (::ioctl(::fileno(file), TIOCGWINSZ, &size) == 0 && size.ws_col >= 20)
        return size.ws_col;
    return 80;
}

}  // namespace

Progress::Progress(Context& context, bool bEnabled)
    : m_context(context), m_bDrawing(bEnabled && context.bErrIsTerminal) {}

Progress::~Progress() {
    Clear();
}

void Progress::Start(const std::string& label, uint64_t ullTotalItems) {
    m_sLabel = label;
    m_ullTotal = ullTotalItems;
    m_ullItems = 0;
    m_ullBytes = 0;
    m_ullStartMs = Ostrel::Util::CurrentClock().GetTickCount64();
    Draw(true);
}

void Progress::Advance(uint64_t ullItems, uint64_t ullBytes) {
    m_ullItems += ullItems;
    m_ullBytes += ullBytes;
    Draw(m_ullTotal && m_ullItems >= m_ullTotal);
}

void Progress::Clear() {
    if (!m_bShown)
        return;
    std::fprintf(m_context.err, "\r\033[K");
    std::fflush(m_context.err);
    m_bShown = false;
}

void Progress::Draw(bool bForce) {
    if (!m_bDrawing)
        return;
    const uint64_t ullNow = Ostrel::Util::CurrentClock().GetTickCount64();
    if (!bForce && ullNow - m_ullLastDrawMs < kRedrawMs)
        return;
    m_ullLastDrawMs = ullNow;

    // Every field of the tail has a fixed width, so that neither the bar nor the line changes its
    // length while the numbers grow or the rate appears.
    const double seconds = static_cast<double>(ullNow - m_ullStartMs) / 1000.0;
    const int itemWidth = static_cast<int>(std::to_string(m_ullTotal ? m_ullTotal : 9999999).size());
    char counts[128];
    if (m_ullTotal)
        std::snprintf(counts, sizeof counts, " %3u%% %*llu/%llu",
                      static_cast<unsigned>(std::min(m_ullItems, m_ullTotal) * 100 / m_ullTotal), itemWidth,
                      static_cast<unsigned long long>(m_ullItems), static_cast<unsigned long long>(m_ullTotal));
    else
        std::snprintf(counts, sizeof counts, " %*llu", itemWidth, static_cast<unsigned long long>(m_ullItems));
    char bytes[32];
    std::snprintf(bytes, sizeof bytes, "  %10s", HumanBytes(m_ullBytes).c_str());
    char rate[48] = "";
    if (seconds >= 0.5)
        std::snprintf(rate, sizeof rate, "  %7.0f/s", std::min(9999999.0, static_cast<double>(m_ullItems) / seconds));
    else
        std::snprintf(rate, sizeof rate, "%11s", "");
    const std::string tail = std::string(counts) + bytes + rate;

    const size_t width = TerminalWidth(m_context.err) - 1;
    std::string line = m_sLabel + " ";
    if (m_ullTotal && width > line.size() + tail.size() + 14) {
        const size_t cells = std::min<size_t>(40, width - line.size() - tail.size() - 2);
        const size_t filled = static_cast<size_t>(cells * std::min(m_ullItems, m_ullTotal) / m_ullTotal);
        line += "[" + std::string(filled, '#') + std::string(cells - filled, '.') + "]";
    }
    line += tail;
    if (line.size() > width)
        line.resize(width);
    std::fprintf(m_context.err, "\r%s\033[K", line.c_str());
    std::fflush(m_context.err);
    m_bShown = true;
}

}  // namespace OstrelCli

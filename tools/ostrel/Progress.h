// Progress of a long command. On a terminal a bar is redrawn in place on stderr (at most ten times
// a second); anywhere else nothing is drawn, and the command prints its one-line summary at the
// end, so pipes and logs stay clean.
#pragma once

#include "Cli.h"

#include <cstdint>
#include <string>

namespace OstrelCli {

class Progress {
public:
    // Draws only when `bEnabled` and the context's stderr is a terminal.
    Progress(Context& context, bool bEnabled);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // What is being done, e.g. "downloading"; the counters start again from zero.
    void Start(const std::string& label, uint64_t ullTotalItems);
    void Advance(uint64_t ullItems, uint64_t ullBytes);
    // Removes the bar, leaving the line empty for the summary.
    void Clear();

    bool IsDrawing() const { return m_bDrawing; }

private:
    void Draw(bool bForce);

    Context& m_context;
    const bool m_bDrawing;
    std::string m_sLabel;
    uint64_t m_ullTotal = 0;
    uint64_t m_ullItems = 0;
    uint64_t m_ullBytes = 0;
    uint64_t m_ullStartMs = 0;
    uint64_t m_ullLastDrawMs = 0;
    bool m_bShown = false;
};

}  // namespace OstrelCli

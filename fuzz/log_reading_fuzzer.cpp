// Reading the log back (ExplainLog and what it prints) over arbitrary bytes.
//
// Input: byte 0 picks the line limit (64 + 32 x byte 0), the rest is the log file's content.
//
// Checked: no access outside any area and no unbounded growth (ASan); every byte is read; the
// runs come in order, each within the file's lines; every run prints as a summary line, in detail
// and as one JSON object.
#include <cstdio>
#include <string>

#include "fuzz/fuzz_support.h"
#include "logread/log_explain.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace zolt;
    using fuzz::Check;
    if (size == 0) {
        return 0;
    }
    const std::size_t limit = 64 + 32 * std::size_t{data[0]};
    std::FILE* file = fmemopen(const_cast<uint8_t*>(data + 1), size - 1, "rb");
    if (file == nullptr) {
        return 0;  // fmemopen refuses an empty buffer on some systems
    }
    uint64_t lastLine = 0;
    int expected = 1;
    const logread::FileReport report = logread::ExplainLog(
        file,
        [&](const logread::RunReport& run) {
            Check(run.index == expected++, "runs are numbered in order");
            Check(run.firstLine > lastLine && run.lastLine >= run.firstLine,
                  "runs follow each other");
            lastLine = run.lastLine;
            Check(logread::SummaryLine(run).rfind("#", 0) == 0, "a summary line");
            Check(!logread::DetailText(run).empty(), "a detail text");
            const std::string json = logread::RunJson(run);
            Check(json.front() == '{' && json.back() == '}', "one JSON object");
        },
        limit);
    std::fclose(file);
    Check(report.read.bytes == size - 1, "every byte read");
    Check(lastLine <= report.read.physicalLines, "runs within the file");
    logread::FileRemarks(report);
    return 0;
}

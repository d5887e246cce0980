// Fuzzes the reader of the resume-state file, which lies in the user's
// temporary folder and so may hold anything: arbitrary bytes, and states
// laid out field by field from the fuzzer's numbers so that the checks deep
// in the reader are reached.
//
// Invariants: an accepted state of the newest format writes back to exactly
// the bytes read, and one of the format before runs to bytes that read back
// the same; it describes a consistent download (every worker's run and kept
// bytes inside the file, no two runs on one part, the completed length
// between 0 and the file size, and complete exactly when that length is the
// file size); a refused state leaves the object as it was.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "downloader/download_info.h"

namespace {

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

void putInt32(std::string& out, std::int32_t value) {
    const auto bits = static_cast<std::uint32_t>(value);
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>((bits >> shift) & 0xFF));
}

void putNarrow(std::string& out, const std::string& text) {
    putInt32(out, static_cast<std::int32_t>(text.size()));
    out += text;
}

// The fuzzer's numbers in the file's layout: the worker entries as many as the
// sizes call for, with parts and kept counts near the edges of their ranges.
std::string laidOutState(FuzzedDataProvider& data) {
    std::string out;
    // The newest format (now and then with another number), or the one before runs.
    const bool withRuns = data.ConsumeBool();
    if (withRuns) {
        putInt32(out, -1);
        putInt32(out, data.ConsumeIntegralInRange<std::int32_t>(0, 20) == 0 ? data.ConsumeIntegral<std::int32_t>() : 2);
    }
    putNarrow(out, data.ConsumeRandomLengthString(16));
    putNarrow(out, data.ConsumeRandomLengthString(16));
    const auto units = data.ConsumeIntegralInRange<std::int32_t>(0, 8);
    putInt32(out, units);
    for (std::int32_t i = 0; i < units; ++i) {
        const auto unit = data.ConsumeIntegral<std::uint16_t>();
        out.push_back(static_cast<char>(unit & 0xFF));
        out.push_back(static_cast<char>(unit >> 8));
    }
    // Sizes of this engine, tiny parts and files near the 32-bit limit, or anything.
    std::int32_t partSize = data.ConsumeIntegral<std::int32_t>();
    switch (data.ConsumeIntegralInRange(0, 2)) {
    case 0: partSize = DownloadInfo::kPartSize; break;
    case 1: partSize = data.ConsumeIntegralInRange<std::int32_t>(-1, 64); break;
    default: break;
    }
    std::int32_t fileSize = data.ConsumeIntegral<std::int32_t>();
    switch (data.ConsumeIntegralInRange(0, 2)) {
    case 0: fileSize = data.ConsumeIntegralInRange<std::int32_t>(-1, 20 * DownloadInfo::kPartSize); break;
    case 1: fileSize = INT32_MAX - data.ConsumeIntegralInRange<std::int32_t>(0, 64); break;
    default: break;
    }
    const std::int32_t maxWorkers =
        data.ConsumeBool() ? DownloadInfo::kMaxWorkers : data.ConsumeIntegralInRange<std::int32_t>(-1, 40);
    putInt32(out, partSize);
    putInt32(out, fileSize);
    putInt32(out, maxWorkers);

    std::int64_t parts = 0;
    if (partSize > 0 && fileSize > 0) parts = (static_cast<std::int64_t>(fileSize) + partSize - 1) / partSize;
    const std::int64_t workers = std::clamp<std::int64_t>(std::min<std::int64_t>(parts, maxWorkers), 0,
                                                          DownloadInfo::kWorkerSlots);
    for (std::int64_t w = 0; w < workers; ++w) {
        putInt32(out, data.ConsumeBool() ? 0 : data.ConsumeIntegralInRange<std::int32_t>(-1, std::max(partSize, 0)));
    }
    std::vector<std::int32_t> current;
    for (std::int64_t w = 0; w < workers; ++w) {
        const std::int64_t limit = std::min<std::int64_t>(parts + workers, INT32_MAX);
        current.push_back(data.ConsumeBool() ? static_cast<std::int32_t>(w)
                                             : static_cast<std::int32_t>(data.ConsumeIntegralInRange<std::int64_t>(-1, limit)));
        putInt32(out, current.back());
    }
    // Run ends a little past the current parts (overlapping now and then), or anything.
    for (std::int64_t w = 0; withRuns && w < workers; ++w) {
        const auto end = static_cast<std::int64_t>(current[static_cast<std::size_t>(w)]) +
                         data.ConsumeIntegralInRange<std::int32_t>(-1, 3);
        putInt32(out, data.ConsumeBool() ? static_cast<std::int32_t>(std::clamp<std::int64_t>(end, INT32_MIN, INT32_MAX))
                                         : data.ConsumeIntegral<std::int32_t>());
    }
    const auto urls = data.ConsumeIntegralInRange<std::int32_t>(0, 3);
    putInt32(out, urls);
    for (std::int32_t i = 0; i < urls; ++i) putNarrow(out, data.ConsumeRandomLengthString(32));
    return out;
}

void checkState(const std::string& bytes) {
    DownloadInfo info;
    info.setUrls({"http://before.example/f"});
    info.setFilePath(L"before.exe");
    info.setPartSize(0);
    info.setFileSize(3 * DownloadInfo::kPartSize);
    info.setMaxWorkers(0);
    const std::string before = info.serialize();
    if (!info.parse(bytes)) {
        check(info.serialize() == before, "a refused state changes nothing");
        return;
    }
    const std::string written = info.serialize();
    if (bytes.size() >= 4 && bytes[0] == '\xFF' && bytes[1] == '\xFF' && bytes[2] == '\xFF' && bytes[3] == '\xFF')
        check(written == bytes, "an accepted state writes back to the same bytes");
    DownloadInfo again;
    check(again.parse(written) && again.serialize() == written, "what is written reads back the same");
    const std::int32_t fileSize = info.fileSize();
    check(info.partSize() > 0 && fileSize > 0 && info.maxWorkers() > 0, "sizes and worker limit are positive");
    const std::int32_t parts = info.partsCount();
    for (std::int32_t w = 0; w < info.workersCount(); ++w) {
        const std::int32_t part = info.currentPart(w);
        const std::int32_t kept = info.partDownloaded(w);
        check(part >= 0 && part <= info.runEnd(w) && info.runEnd(w) <= parts, "the run inside the file");
        if (info.holdsPart(w)) {
            check(kept >= 0 && kept < info.partLength(part), "kept bytes inside the part");
            check(static_cast<std::int64_t>(info.partOffset(part)) + info.partLength(part) <= fileSize,
                  "the part inside the file");
            for (std::int32_t other = 0; other < w; ++other)
                check(!info.holdsPart(other) || info.runEnd(other) <= part || info.currentPart(other) >= info.runEnd(w),
                      "no two runs on one part");
        } else {
            check(kept == 0, "a worker without a part keeps nothing");
        }
    }
    const std::int32_t completed = info.completedLength();
    check(completed >= 0 && completed <= fileSize, "the completed length inside the file");
    check(info.isComplete() == (completed == fileSize), "complete exactly when every byte is");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    checkState(std::string(reinterpret_cast<const char*>(bytes), size));
    FuzzedDataProvider data(bytes, size);
    checkState(laidOutState(data));
    return 0;
}

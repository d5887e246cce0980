// Part arithmetic, worker scheduling (runs of parts) and completion of the
// download description.
#include "downloader/download_info.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

DownloadInfo describe(std::int32_t fileSize) {
    DownloadInfo info;
    info.setFileSize(fileSize);
    info.setPartSize(DownloadInfo::kPartSize);
    info.setMaxWorkers(DownloadInfo::kMaxWorkers);
    // One part each, in worker order: the scheduling tests below start there.
    for (std::int32_t w = 0; w < info.workersCount(); ++w) info.takeRun(w, 1);
    return info;
}

// Finishes the worker holding the lowest unfinished part, the order a server
// that answers every part equally fast would produce.
void finishLowestPart(DownloadInfo& info) {
    std::int32_t lowestWorker = -1;
    for (std::int32_t w = 0; w < info.workersCount(); ++w) {
        if (info.isWorkerFinished(w)) continue;
        if (lowestWorker < 0 || info.currentPart(w) < info.currentPart(lowestWorker)) lowestWorker = w;
    }
    ASSERT_GE(lowestWorker, 0);
    info.takeNextPart(lowestWorker);
}

struct SizeCase {
    std::int32_t fileSize;
    std::int32_t parts;
    std::int32_t workers;
    std::int32_t lastPartLength;
};

class PartArithmetic : public ::testing::TestWithParam<SizeCase> {};

TEST_P(PartArithmetic, CountsWorkersAndLastPart) {
    const SizeCase c = GetParam();
    const DownloadInfo info = describe(c.fileSize);
    EXPECT_EQ(info.partsCount(), c.parts);
    EXPECT_EQ(info.workersCount(), c.workers);
    if (c.parts > 0) {
        EXPECT_EQ(info.partLength(c.parts - 1), c.lastPartLength);
        EXPECT_EQ(info.partOffset(c.parts - 1) + info.partLength(c.parts - 1), c.fileSize);
    }
    for (std::int32_t p = 0; p + 1 < c.parts; ++p) {
        ASSERT_EQ(info.partLength(p), 524288) << "part " << p;
        ASSERT_EQ(info.partOffset(p), p * 524288) << "part " << p;
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, PartArithmetic,
                         ::testing::Values(SizeCase{1, 1, 1, 1},                  //
                                           SizeCase{524287, 1, 1, 524287},        //
                                           SizeCase{524288, 1, 1, 524288},        //
                                           SizeCase{524289, 2, 2, 1},             //
                                           SizeCase{1000000, 2, 2, 475712},       //
                                           SizeCase{1048577, 3, 3, 1},            //
                                           SizeCase{10485760, 20, 12, 524288},    //
                                           SizeCase{6815744, 13, 12, 524288},     //
                                           SizeCase{20000000, 39, 12, 77056},     //
                                           SizeCase{2147483647, 4096, 12, 524287}));

TEST(PartArithmeticLimits, OffsetPastTheLastPartOfAFullSizeFileDoesNotWrap) {
    const DownloadInfo info = describe(2147483647);
    EXPECT_EQ(info.partOffset(4095), 4095 * 524288);
    // Index 4096 is where a finished worker sits; 4096 * 524288 is 2^31.
    EXPECT_EQ(info.partOffset(4096), 2147483647);
}

struct DegenerateCase {
    const char* name;
    std::int32_t fileSize;
    bool fill;  // setPartSize/setMaxWorkers called
};

class DegenerateDescription : public ::testing::TestWithParam<DegenerateCase> {};

TEST_P(DegenerateDescription, HasNoPartsAndIsTriviallyComplete) {
    const DegenerateCase c = GetParam();
    DownloadInfo info;
    info.setFileSize(c.fileSize);
    if (c.fill) {
        info.setPartSize(0);
        info.setMaxWorkers(0);
    }
    EXPECT_EQ(info.partsCount(), 0);
    EXPECT_EQ(info.workersCount(), 0);
    EXPECT_TRUE(info.isComplete());
    EXPECT_EQ(info.completedLength(), 0);
    EXPECT_EQ(info.handedOut(), 0);
    EXPECT_FALSE(info.hasAnyProgress());
}

INSTANTIATE_TEST_SUITE_P(Cases, DegenerateDescription,
                         ::testing::Values(DegenerateCase{"Unfilled", -1, false}, DegenerateCase{"EmptyFile", 0, true},
                                           DegenerateCase{"NegativeSize", -5, true},
                                           DegenerateCase{"SizeWithoutPartSize", 1000, false}),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(DownloadInfoDefaults, NumbersStartAtMinusOneAndEntriesAtZero) {
    const DownloadInfo info;
    EXPECT_EQ(info.partSize(), -1);
    EXPECT_EQ(info.fileSize(), -1);
    EXPECT_EQ(info.maxWorkers(), -1);
    EXPECT_TRUE(info.urlSuffix().empty());
    EXPECT_TRUE(info.fileTag().empty());
    EXPECT_TRUE(info.filePath().empty());
    EXPECT_TRUE(info.urls().empty());
    for (std::int32_t w = 0; w < DownloadInfo::kWorkerSlots; ++w) {
        EXPECT_EQ(info.currentPart(w), 0);
        EXPECT_EQ(info.partDownloaded(w), 0);
    }
}

TEST(DownloadInfoSettings, PartSizeAndWorkerLimitAreFixed) {
    DownloadInfo info;
    info.setFileSize(20000000);
    info.setPartSize(1000);
    info.setMaxWorkers(3);
    EXPECT_EQ(info.partSize(), 524288);
    EXPECT_EQ(info.maxWorkers(), 12);
    EXPECT_EQ(info.workersCount(), 12);
}

TEST(DownloadInfoSettings, SetMaxWorkersResetsTheWorkers) {
    DownloadInfo info = describe(10485760);
    info.takeNextPart(3);
    info.setPartDownloaded(5, 777);
    info.setMaxWorkers(12);
    EXPECT_EQ(info.handedOut(), 0);
    EXPECT_EQ(info.completedLength(), 0);
    for (std::int32_t w = 0; w < 12; ++w) {
        EXPECT_FALSE(info.holdsPart(w));
        EXPECT_EQ(info.partDownloaded(w), 0);
    }
}

struct ValidityCase {
    const char* name;
    std::vector<std::string> urls;
    std::wstring path;
    std::int32_t fileSize;
    bool valid;
};

class DownloadInfoValidity : public ::testing::TestWithParam<ValidityCase> {};

TEST_P(DownloadInfoValidity, NeedsUrlsPathAndSize) {
    const ValidityCase c = GetParam();
    DownloadInfo info;
    info.setUrls(c.urls);
    info.setFilePath(c.path);
    info.setFileSize(c.fileSize);
    EXPECT_EQ(info.isValid(), c.valid);
}

INSTANTIATE_TEST_SUITE_P(Cases, DownloadInfoValidity,
                         ::testing::Values(ValidityCase{"Complete", {"http://a/"}, L"f.exe", 1, true},
                                           ValidityCase{"NoUrls", {}, L"f.exe", 1, false},
                                           ValidityCase{"NoPath", {"http://a/"}, L"", 1, false},
                                           ValidityCase{"EmptyFile", {"http://a/"}, L"f.exe", 0, false},
                                           ValidityCase{"Unfilled", {"http://a/"}, L"f.exe", -1, false}),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(DownloadInfoScheduling, TenMebibytesHandsOutPartsInAscendingOrder) {
    DownloadInfo info = describe(10485760);
    for (std::int32_t w = 0; w < 12; ++w) EXPECT_EQ(info.currentPart(w), w);
    EXPECT_EQ(info.completedLength(), 0);

    // Workers finish in an arbitrary order; each takes the next free part.
    const std::int32_t finishOrder[] = {7, 2, 11, 0, 5};
    std::int32_t expectedPart = 12;
    for (std::int32_t w : finishOrder) {
        info.takeNextPart(w);
        EXPECT_EQ(info.currentPart(w), expectedPart++) << "worker " << w;
    }
    EXPECT_EQ(info.handedOut(), 17);
}

TEST(DownloadInfoScheduling, TakeNextPartClearsTheKeptBytes) {
    DownloadInfo info = describe(10485760);
    info.setPartDownloaded(4, 100000);
    info.takeNextPart(4);
    EXPECT_EQ(info.partDownloaded(4), 0);
}

TEST(DownloadInfoScheduling, ThirteenPartsOnTwelveWorkersRetireAllButOne) {
    DownloadInfo info = describe(13 * 524288);
    info.takeNextPart(6);  // first to finish gets part 12
    EXPECT_EQ(info.currentPart(6), 12);
    EXPECT_FALSE(info.isWorkerFinished(6));
    info.takeNextPart(0);
    EXPECT_EQ(info.currentPart(0), 13);
    EXPECT_TRUE(info.isWorkerFinished(0));
    EXPECT_FALSE(info.isComplete());
}

TEST(DownloadInfoScheduling, CompletedLengthFollowsAWholeSchedule) {
    for (std::int32_t fileSize : {1, 524288, 524289, 1048577, 10485760, 20000000}) {
        SCOPED_TRACE(fileSize);
        DownloadInfo info = describe(fileSize);
        const std::int32_t parts = info.partsCount();
        std::int32_t done = 0;
        for (std::int32_t verified = 0; verified < parts; ++verified) {
            ASSERT_FALSE(info.isComplete());
            ASSERT_EQ(info.completedLength(), done);
            // The lowest held part is verified next; its bytes become done.
            std::int32_t lowest = parts;
            for (std::int32_t w = 0; w < info.workersCount(); ++w) {
                if (!info.isWorkerFinished(w)) lowest = std::min(lowest, info.currentPart(w));
            }
            done += info.partLength(lowest);
            finishLowestPart(info);
        }
        EXPECT_TRUE(info.isComplete());
        EXPECT_EQ(info.completedLength(), fileSize);
    }
}

TEST(DownloadInfoScheduling, CompletedLengthSkipsPartsStillHeldOutOfOrder) {
    DownloadInfo info = describe(10485760);
    info.takeNextPart(5);  // part 5 verified, worker 5 now on 12
    EXPECT_EQ(info.completedLength(), 524288);
    info.takeNextPart(11);  // part 11 verified, worker 11 on 13
    EXPECT_EQ(info.completedLength(), 2 * 524288);
}

TEST(DownloadInfoCompletion, IncompleteWhileAnyCountedWorkerHoldsAPart) {
    DownloadInfo info = describe(1048577);  // 3 parts, 3 workers
    info.takeNextPart(0);
    info.takeNextPart(1);
    EXPECT_TRUE(info.isWorkerFinished(0));
    EXPECT_TRUE(info.isWorkerFinished(1));
    EXPECT_FALSE(info.isComplete());
    info.takeNextPart(2);
    EXPECT_TRUE(info.isComplete());
}

TEST(DownloadInfoWorkers, ResetLeavesEntriesBeyondTheWorkerCount) {
    DownloadInfo big = describe(20000000);
    for (std::int32_t i = 0; i < 20; ++i) big.takeNextPart(i % 12);
    // The advanced entries, in a description whose reset covers fewer workers.
    DownloadInfo info = big;
    info.setFileSize(1048577);  // 3 workers now
    info.resetWorkers();
    for (std::int32_t w = 0; w < 3; ++w) EXPECT_FALSE(info.holdsPart(w));
    for (std::int32_t w = 3; w < 12; ++w) EXPECT_EQ(info.currentPart(w), big.currentPart(w)) << "worker " << w;
}

TEST(DownloadInfoWorkers, AnyProgressLooksAtAllThirtyEntries) {
    DownloadInfo info = describe(1048577);
    EXPECT_TRUE(info.hasAnyProgress());  // parts were handed out
    info.resetWorkers();
    EXPECT_FALSE(info.hasAnyProgress());

    DownloadInfo copy = describe(20000000);
    copy.setFileSize(524288);  // one worker counted, but entries 1..11 stay handed out
    copy.resetWorkers();
    EXPECT_TRUE(copy.hasAnyProgress());
}

// Runs: parts go out as consecutive runs from the lowest part nobody was
// handed; a part is done once its holder moved past it.
TEST(DownloadInfoRuns, RunsAreHandedOutInOrderAndCountAsDoneOnlyWhenFinished) {
    DownloadInfo info = describe(10 * 524288 + 1000);  // 11 parts, the last 1000 bytes
    info.resetWorkers();
    info.takeRun(0, 4);  // parts 0-3
    info.takeRun(1, 4);  // parts 4-7
    info.takeRun(2, 9);  // parts 8-10: cut at the end of the file
    EXPECT_EQ(info.runEnd(0), 4);
    EXPECT_EQ(info.currentPart(1), 4);
    EXPECT_EQ(info.runEnd(2), 11);
    EXPECT_EQ(info.handedOut(), 11);
    EXPECT_EQ(info.completedLength(), 0);

    info.finishPart(1);  // part 4
    info.finishPart(1);  // part 5
    info.setPartDownloaded(1, 300);
    EXPECT_EQ(info.completedLength(), 2 * 524288) << "kept bytes are not done";
    for (int i = 0; i < 3; ++i) info.finishPart(2);
    EXPECT_FALSE(info.holdsPart(2));
    EXPECT_TRUE(info.isWorkerFinished(2)) << "nothing is left to hand out";
    EXPECT_EQ(info.completedLength(), 4 * 524288 + 1000);
    info.takeRun(2, 1);
    EXPECT_FALSE(info.holdsPart(2));

    while (info.holdsPart(0)) info.finishPart(0);
    while (info.holdsPart(1)) info.finishPart(1);
    EXPECT_TRUE(info.isComplete());
    EXPECT_EQ(info.completedLength(), info.fileSize());
}

TEST(DownloadInfoRuns, TakeNextPartGoesOnInTheRunThenTakesOnePart) {
    DownloadInfo info = describe(20 * 524288);
    info.resetWorkers();
    info.takeRun(0, 2);   // 0-1
    info.takeRun(1, 10);  // 2-11
    info.takeNextPart(0);
    EXPECT_EQ(info.currentPart(0), 1);
    info.takeNextPart(0);
    EXPECT_EQ(info.currentPart(0), 12);
    EXPECT_EQ(info.runEnd(0), 13);
    info.takeRun(1, 3);  // a worker that holds a run takes no other
    EXPECT_EQ(info.runEnd(1), 12);
}

TEST(DownloadInfoWorkers, OutOfRangeWorkerIndexIsIgnored) {
    DownloadInfo info = describe(10485760);
    info.setPartDownloaded(30, 5);
    info.setPartDownloaded(-1, 5);
    info.takeNextPart(30);
    EXPECT_EQ(info.currentPart(30), 0);
    EXPECT_EQ(info.partDownloaded(-1), 0);
    EXPECT_EQ(info.handedOut(), 12);
}

TEST(DownloadInfoCopy, CopiesEveryField) {
    DownloadInfo info = describe(20000000);
    info.setUrlSuffix("?x=1");
    info.setFilePath(L"C:\\t\\f.exe");
    info.setUrls({"http://a/", "http://b/"});
    info.takeNextPart(3);
    info.setPartDownloaded(7, 4242);

    for (const DownloadInfo& copy : {DownloadInfo(info), [&] {
             DownloadInfo assigned;
             assigned = info;
             return assigned;
         }()}) {
        EXPECT_EQ(copy.urlSuffix(), "?x=1");
        EXPECT_EQ(copy.filePath(), L"C:\\t\\f.exe");
        EXPECT_EQ(copy.urls(), info.urls());
        EXPECT_EQ(copy.fileSize(), 20000000);
        EXPECT_EQ(copy.partSize(), 524288);
        EXPECT_EQ(copy.maxWorkers(), 12);
        for (std::int32_t w = 0; w < DownloadInfo::kWorkerSlots; ++w) {
            EXPECT_EQ(copy.currentPart(w), info.currentPart(w));
            EXPECT_EQ(copy.runEnd(w), info.runEnd(w));
            EXPECT_EQ(copy.partDownloaded(w), info.partDownloaded(w));
        }
    }
}

TEST(DownloadInfoThreads, CompletionIsPolledWhileAnotherThreadAdvances) {
    DownloadInfo info = describe(20000000);
    std::thread advancer([&] {
        while (!info.isComplete()) finishLowestPart(info);
    });
    bool alwaysInRange = true;
    while (!info.isComplete()) {
        const std::int32_t done = info.completedLength();
        alwaysInRange = alwaysInRange && done >= 0 && done <= 20000000;
    }
    advancer.join();
    EXPECT_TRUE(alwaysInRange);
    EXPECT_EQ(info.completedLength(), 20000000);
}

}  // namespace

// A finished download whose file runs as a program (the installer of an
// earlier start): the next run holds it for the start without opening it for
// writing, which the system refuses while the image is mapped.
#include <windows.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "platform/system.h"
#include "tests/unit/transfer_test_access.h"

namespace {

TEST(FinishedFile, ARunningInstallerIsHeldForTheNextStartNotReopenedForWriting) {
    const unittest::ScratchDir scratch;
    const std::wstring dest = scratch.file("installer.exe");
    std::filesystem::copy_file(platform::ownExecutablePath(), dest);
    // As the loader keeps a started program: its image mapped, no handle open.
    const HANDLE file = CreateFileW(dest.c_str(), GENERIC_READ | GENERIC_EXECUTE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    const HANDLE image = CreateFileMappingW(file, nullptr, PAGE_EXECUTE_READ | SEC_IMAGE, 0, 0, nullptr);
    CloseHandle(file);
    ASSERT_NE(image, nullptr);

    DownloadInfo info;
    info.setFileSize(static_cast<std::int32_t>(std::filesystem::file_size(dest)));
    info.setPartSize(DownloadInfo::kPartSize);
    info.setMaxWorkers(DownloadInfo::kMaxWorkers);
    transfertest::handOutOnePartEach(info);
    info.setUrls({"http://127.0.0.1:9/installer.exe"});
    info.setFilePath(dest);
    while (!info.isComplete())
        for (std::int32_t w = 0; w < info.workersCount(); ++w) info.takeNextPart(w);
    Downloader downloader;
    downloader.setDownloadInfo(info);
    downloader.setTempFilePath(scratch.file("_.txt"));
    DownloaderTestAccess::download(downloader);
    EXPECT_TRUE(downloader.downloadInfo().isComplete());
    EXPECT_TRUE(downloader.takeCompletedFile().isOpen());
    CloseHandle(image);
}

}  // namespace

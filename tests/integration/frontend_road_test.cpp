// The whole road of the front end on Linux against real servers: a program
// file stamped by the `stamp` tool, nginx serving the "installer", the
// progress dialog with its real worker and engine, and the exact command
// line handed to the installer start; the failure roads with a fault server;
// stopping while the probe or the download runs; the companion product; the
// system kept awake by the worker from the download's start to its end.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>

#include "app/ui_text.h"
#include "app/update_progress_dlg.h"
#include "downloader/transfer_handles.h"
#include "tests/support/fake_windows.h"
#include "platform/text.h"
#include "tests/support/fault_server.h"
#include "tests/support/nginx_server.h"
#include "tests/support/proxy_server.h"
#include "tests/support/test_env.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::DialogRecord;
using platform::FakeWindows;
using platform::kMessageBoxTemplate;
using platform::kProgressDialogTemplate;
using platform::UserInput;
using testsupport::FaultServer;
using testsupport::HttpRequest;
using testsupport::HttpResponse;
using testsupport::NginxServer;
using testsupport::TempDir;

// Settings for the dialog with its real worker: only where the installer comes from (and
// which product the build is) differs from the shipped program.
ProgressDialogSettings roadSettings(std::string address, std::string productId = "pelmora") {
    ProgressDialogSettings settings;
    settings.productId = std::move(productId);
    settings.downloadAddress = std::move(address);
    return settings;
}

// A program file with a block appended by the stamp tool.
fs::path stampedProgram(const fs::path& dir, const std::vector<std::string>& items) {
    const fs::path program = dir / "setup.exe";
    {
        std::ofstream out(program, std::ios::binary);
        out << "MZ not really a program, but the block reader does not care";
    }
    std::vector<std::string> argv{testsupport::toolPath("stamp").string(), program.string()};
    argv.insert(argv.end(), items.begin(), items.end());
    const testsupport::ProcessResult stamped = testsupport::runProcess(argv, 10s);
    EXPECT_EQ(stamped.exitCode, 0) << stamped.err;
    return program;
}

bool hasFiles(const fs::path& dir) { return fs::exists(dir) && !fs::is_empty(dir); }

// Asked once when the download started and given back once, by one thread
// (the worker's, not the window's); before any notice, which may wait for
// its answer for hours. Nothing at all when no download started.
void expectAwakeOnlyWhileDownloading(const FakeWindows& windows, bool downloadStarted, const char* name = "") {
    const auto requests = windows.awakeRequests();
    if (!downloadStarted) {
        EXPECT_TRUE(requests.empty()) << name;
        return;
    }
    ASSERT_EQ(requests.size(), 2u) << name;
    EXPECT_TRUE(requests[0].first) << name;
    EXPECT_FALSE(requests[1].first) << name;
    EXPECT_EQ(requests[0].second, requests[1].second) << name;
    EXPECT_NE(requests[0].second, std::this_thread::get_id()) << name;
    const auto events = windows.events();
    const auto notice = std::find(events.begin(), events.end(), "open " + std::to_string(kMessageBoxTemplate));
    EXPECT_LT(std::find(events.begin(), events.end(), "awake released"), notice) << name;
}

class FrontEndRoad : public ::testing::Test {
protected:
    void SetUp() override {
        languageRecord().languageId = 0x0409;
        fs::create_directories(temp);
        os.setDownloadFolder(platform::fromUtf8(temp.string()));
        os.setModalTimeout(60s);
    }
    void TearDown() override {
        releaseLanguageRecord();
        transfer::overrideStallBoundsForTesting(std::nullopt);
    }

    void useProgram(const std::vector<std::string>& items) {
        os.setOwnExecutablePath(platform::fromUtf8(stampedProgram(dir.path(), items).string()));
    }

    int runDialog(const std::string& address, const std::string& productId = "pelmora") {
        CUpdateProgressDlg dialog(os, roadSettings(address, productId));
        return dialog.DoModal();
    }

    std::vector<DialogRecord> boxes() const { return os.dialogsWithTemplate(kMessageBoxTemplate); }
    DialogRecord mainRecord() const { return os.dialogsWithTemplate(kProgressDialogTemplate).at(0); }

    TempDir dir;
    fs::path temp = dir / "temp";
    FakeWindows os;
};

const std::vector<std::string> kTypicalBlock{
    "vid=15",
    "offerUrl=http://offer.example/o?a=1&b=2",
    "installUrl=http://install.example/i?x=y",
    "uninstallUrl=http://install.example/u",
    "ap=13",
};
const wchar_t kTypicalParameters[] =
    L" /vid=15 /offerUrl=\"http://offer.example/o?a=1&b=2\" /ap=\"13\" /installUrl=\"http://install.example/i?x=y\""
    L" /uninstallUrl=\"http://install.example/u\"";

TEST_F(FrontEndRoad, DownloadsWithProgressAndStartsTheInstallerWithTheStampedSettings) {
    TempDir docs;
    constexpr std::int64_t kSize = 6 * 524288 + 12345;  // seven parts, the last one short
    testsupport::writeRandomFile(docs / "installer.exe", kSize, 7);
    NginxServer nginx(docs.path(), {.limitRate = "384k"});
    useProgram(kTypicalBlock);

    const int result = runDialog(nginx.url("installer.exe"));

    EXPECT_EQ(result, 1);
    EXPECT_TRUE(boxes().empty());
    const fs::path installer = temp / "pel_mora_.exe";
    const auto launches = os.launches();
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(launches[0].file, platform::fromUtf8(installer.string()));
    EXPECT_EQ(launches[0].parameters, kTypicalParameters);
    EXPECT_EQ(testsupport::sha256OfFile(installer), testsupport::sha256OfFile(docs / "installer.exe"));
    EXPECT_TRUE(fs::exists(temp / "_.txt"));
    expectAwakeOnlyWhileDownloading(os, true);

    const DialogRecord main = mainRecord();
    EXPECT_EQ(main.texts.at(platform::kStatusLineId), L"Preparing to Install...");
    // The bar starts at 0, only moves forward, and ends at 100 with the completion report.
    ASSERT_GE(main.progressPositions.size(), 3u);
    EXPECT_EQ(main.progressPositions.front(), 0);
    EXPECT_EQ(main.progressPositions.back(), 100);
    EXPECT_TRUE(std::is_sorted(main.progressPositions.begin(), main.progressPositions.end()));
    // The second line showed running progress as "label: N%".
    int intermediate = 0;
    for (const auto& [control, text] : main.textHistory) {
        if (control != platform::kProgressLineId || text == L"Preparing to Install...") continue;
        ASSERT_EQ(text.rfind(L"Progress: ", 0), 0u) << platform::toUtf8(text);
        ASSERT_EQ(text.back(), L'%');
        const int percent = std::stoi(text.substr(10));
        if (percent > 0 && percent < 100) ++intermediate;
    }
    EXPECT_GT(intermediate, 0);
}

// "3.5 MB of 8.0 MB ..." -> the bytes the count stands for (rounded down).
std::int64_t countedBytes(const std::wstring& line) {
    const std::size_t blank = line.find(L' ');
    const std::wstring unit = line.substr(blank + 1, 2);
    const std::int64_t scale = unit == L"KB" ? 1024 : unit == L"MB" ? 1024 * 1024 : 1024 * 1024 * 1024;
    return static_cast<std::int64_t>(std::stod(line.substr(0, blank)) * static_cast<double>(scale));
}

TEST_F(FrontEndRoad, TheFiguresLineCountsBytesAndCountsDownAnOutageAndTheTaskbarFollows) {
    // 16 KiB per connection every 100 ms: 8 MiB take seconds.
    const std::int64_t kSize = 8 * 1024 * 1024;
    TempDir docs;
    testsupport::writeRandomFile(docs / "c", kSize, 11);
    const std::string content = testsupport::readFileBytes(docs / "c");
    const testsupport::Handler trickled = [&content](const HttpRequest& request) {
        HttpResponse response = testsupport::serveRange(request, content);
        response.trickleChunk = 16 * 1024;
        response.trickleDelay = 100ms;
        return response;
    };
    auto server = std::make_unique<FaultServer>(trickled);
    const std::uint16_t port = server->port();
    const std::string address = server->url("installer.exe");
    useProgram(kTypicalBlock);
    const auto figuresLines = [this] {
        std::vector<std::wstring> lines;
        const auto main = os.dialogsWithTemplate(kProgressDialogTemplate);
        if (main.empty()) return lines;
        for (const auto& [control, text] : main[0].textHistory)
            if (control == platform::kFiguresLineId) lines.push_back(text);
        return lines;
    };
    const auto showing = [&](const wchar_t* start) {
        const auto lines = figuresLines();
        return !lines.empty() && lines.back().rfind(start, 0) == 0;
    };

    // Once a second of figures is on the screen the server goes away, and it
    // comes back on its port once the window counts down to the next try.
    std::unique_ptr<FaultServer> restarted;
    std::thread outage([&] {
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (figuresLines().size() < 2 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        server.reset();
        while (!showing(L"Connection lost, trying again in ") && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        restarted = std::make_unique<FaultServer>(trickled, port);
    });
    const int result = runDialog(address);
    outage.join();

    EXPECT_EQ(result, 1);
    ASSERT_EQ(os.launches().size(), 1u);
    EXPECT_EQ(testsupport::sha256OfFile(temp / "pel_mora_.exe"), testsupport::sha256OfBytes(content));
    const auto lines = figuresLines();
    ASSERT_FALSE(lines.empty());
    // Nothing is shown before the size is known, that is before the status
    // line that follows the probe.
    const auto history = mainRecord().textHistory;
    const auto firstOf = [&history](int control) {
        return std::find_if(history.begin(), history.end(), [control](const auto& entry) { return entry.first == control; });
    };
    EXPECT_LT(firstOf(platform::kStatusLineId), firstOf(platform::kFiguresLineId));
    // Counts that never go back and never pass the bytes in; the countdown
    // while the server is gone, the figures again once it is back.
    std::int64_t counted = 0;
    int countdowns = 0;
    int figuresAfterCountdown = 0;
    for (const std::wstring& line : lines) {
        SCOPED_TRACE(platform::toUtf8(line));
        if (line.rfind(L"Connection lost, trying again", 0) == 0) {
            ++countdowns;
            continue;
        }
        ASSERT_NE(line.find(L" of 8.0 MB"), std::wstring::npos);
        EXPECT_GE(countedBytes(line), counted);
        counted = countedBytes(line);
        EXPECT_LE(counted, kSize);
        if (countdowns > 0) ++figuresAfterCountdown;
    }
    EXPECT_GT(countdowns, 0);
    EXPECT_GT(figuresAfterCountdown, 0);
    EXPECT_EQ(lines.back().rfind(L"8.0 MB of 8.0 MB", 0), 0u) << platform::toUtf8(lines.back());
    // The button: bytes flow, the outage, bytes again, the installer started.
    using S = TaskbarState;
    EXPECT_EQ(os.taskbarStates(), (std::vector<S>{S::normal, S::paused, S::normal, S::none}));
    const auto values = os.taskbarValues();
    ASSERT_FALSE(values.empty());
    EXPECT_EQ(values.back(), (std::pair<std::uint64_t, std::uint64_t>(kSize, kSize)));
}

TEST_F(FrontEndRoad, WithoutAnyBlockTheInstallerGetsAnEmptyParameterString) {
    TempDir docs;
    testsupport::writeRandomFile(docs / "installer.exe", 1000, 3);
    NginxServer nginx(docs.path());
    os.setOwnExecutablePath(platform::fromUtf8((docs / "installer.exe").string()));  // no block in it

    runDialog(nginx.url("installer.exe"));

    const auto launches = os.launches();
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(launches[0].parameters, L"");
}

HttpResponse headWithLength(const std::string& length) {
    HttpResponse response;
    response.autoContentLength = false;
    response.headers = {{"Content-Length", length}};
    return response;
}

// An interim 100 answer carrying a content length, then the final answer.
HttpResponse interimLength(const std::string& interim, const std::string& final) {
    HttpResponse response;
    response.rawResponse = "HTTP/1.1 100 Continue\r\nContent-Length: " + interim +
                           "\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: " + final + "\r\n\r\n";
    return response;
}

struct FailureCase {
    const char* name;
    std::uint16_t language;
    testsupport::Handler handler;
    const wchar_t* message;
    bool downloadStarts = false;  // otherwise no file may be left behind
};

const FailureCase kFailures[] = {
    {"no content length", 0x0409,
     [](const HttpRequest&) {
         HttpResponse response;
         response.autoContentLength = false;
         return response;
     },
     L"Server Error (system code: 2001). The program will be automatically closed!"},
    {"probe notices stay English in Russian", 0x0419,
     [](const HttpRequest&) {
         HttpResponse response;
         response.autoContentLength = false;
         return response;
     },
     L"Server Error (system code: 2001). Программа будет автоматически закрыта!"},
    {"content length 0", 0x0409, [](const HttpRequest&) { return headWithLength("0"); },
     L"Server Error (system code: 2001). The program will be automatically closed!"},
    // libcurl itself refuses a final answer whose length is no number ...
    {"content length abc, refused by libcurl", 0x0409, [](const HttpRequest&) { return headWithLength("abc"); },
     L"Download Error (system code: 8). The program will be automatically closed!"},
    // ... but not in an interim answer, whose length never counts: the final
    // answer's is taken and the download starts (and fails on its 200s).
    {"content length abc", 0x0409, [](const HttpRequest&) { return interimLength("abc", "1000"); },
     L"Internal Error. The program will be automatically closed!", true},
    {"content length without digits", 0x0409, [](const HttpRequest&) { return interimLength("  -", "1000"); },
     L"Internal Error. The program will be automatically closed!", true},
    {"content length too large", 0x0409, [](const HttpRequest&) { return headWithLength("2147483648"); },
     L"Server Error (system code: 2001). The program will be automatically closed!"},
    {"negative content length", 0x0409, [](const HttpRequest&) { return interimLength("-1", "1000"); },
     L"Internal Error. The program will be automatically closed!", true},
    {"404 during the download", 0x0409,
     [](const HttpRequest& request) {
         if (request.method == "HEAD") return headWithLength("1000000");
         HttpResponse response;
         response.status = 404;
         response.body = "not here";
         return response;
     },
     L"Internal Error. The program will be automatically closed!", true},
    {"404 during the download, Russian", 0x0419,
     [](const HttpRequest& request) {
         if (request.method == "HEAD") return headWithLength("1000000");
         HttpResponse response;
         response.status = 404;
         return response;
     },
     L"Внутренняя ошибка. Программа будет автоматически закрыта!", true},
    {"HEAD 404 with a length is a server error", 0x0409,
     [](const HttpRequest&) {
         HttpResponse response = headWithLength("600000");
         response.status = 404;
         return response;
     },
     L"Server Error (system code: 404). The program will be automatically closed!"},
};

TEST_F(FrontEndRoad, FailuresEndInTheirNoticeAndNothingIsStarted) {
    useProgram(kTypicalBlock);
    for (const FailureCase& c : kFailures) {
        FakeWindows local;
        local.setOwnExecutablePath(os.ownExecutablePath());
        const fs::path caseTemp = dir / (std::string("case ") + c.name);
        fs::create_directories(caseTemp);
        local.setDownloadFolder(platform::fromUtf8(caseTemp.string()));
        local.scriptInput(kMessageBoxTemplate, UserInput::ClickOk);
        languageRecord().languageId = c.language;
        FaultServer server(c.handler);

        CUpdateProgressDlg dialog(local, roadSettings(server.url("installer.exe")));
        EXPECT_EQ(dialog.DoModal(), 1) << c.name;

        const auto shown = local.dialogsWithTemplate(kMessageBoxTemplate);
        ASSERT_EQ(shown.size(), 1u) << c.name;
        EXPECT_EQ(shown[0].texts.at(platform::kMessageTextId), c.message) << c.name;
        EXPECT_TRUE(local.launches().empty()) << c.name;
        if (!c.downloadStarts) {
            EXPECT_FALSE(hasFiles(caseTemp)) << c.name;
        }
        expectAwakeOnlyWhileDownloading(local, c.downloadStarts, c.name);
        EXPECT_FALSE(local.dialogsWithTemplate(kProgressDialogTemplate).at(0).abandoned) << c.name;
        ASSERT_FALSE(server.requests().empty()) << c.name;
        EXPECT_EQ(server.requests()[0].method, "HEAD") << c.name;
        EXPECT_EQ(server.requests()[0].headers.at("user-agent"), "Vorlane Downloader") << c.name;
        releaseLanguageRecord();
    }
}

TEST_F(FrontEndRoad, UnreachableServerIsADownloadError) {
    useProgram(kTypicalBlock);
    os.scriptInput(kMessageBoxTemplate, UserInput::ClickOk);
    const std::uint16_t closedPort = testsupport::freeLoopbackPort();
    runDialog("http://127.0.0.1:" + std::to_string(closedPort) + "/installer.exe");
    ASSERT_EQ(boxes().size(), 1u);
    EXPECT_EQ(boxes()[0].texts.at(platform::kMessageTextId),
              L"Download Error (system code: 7). The program will be automatically closed!");
    EXPECT_TRUE(os.launches().empty());
}

TEST_F(FrontEndRoad, NoDownloadFolderIsAnInternalError) {
    TempDir docs;
    testsupport::writeRandomFile(docs / "installer.exe", 1000, 3);
    NginxServer nginx(docs.path());
    useProgram(kTypicalBlock);
    os.failDownloadFolder();
    os.scriptInput(kMessageBoxTemplate, UserInput::ClickOk);
    runDialog(nginx.url("installer.exe"));
    ASSERT_EQ(boxes().size(), 1u);
    EXPECT_EQ(boxes()[0].texts.at(platform::kMessageTextId), L"Internal Error. The program will be automatically closed!");
}

TEST_F(FrontEndRoad, ConfirmedCloseWhileARequestHangsEndsAtOnceWithoutANotice) {
    // With the product's own bounds (10 s for the proxy test and the script's
    // answer, 30 s for a silent probe): what is in flight is abandoned by the stop instead.
    enum Hanging { ProxyTest, Probe, ScriptAnswer };
    for (const int hanging : {ProxyTest, Probe, ScriptAnswer}) {
        const bool proxyHangs = hanging == ProxyTest;
        FakeWindows local;
        local.setDownloadFolder(platform::fromUtf8(temp.string()));
        local.setOwnExecutablePath(platform::fromUtf8(stampedProgram(dir.path(), kTypicalBlock).string()));
        testsupport::SilentListener silent;  // accepts connections, never answers
        const std::string silentHost = "127.0.0.1:" + std::to_string(silent.port());
        if (proxyHangs) local.setCurrentUserProxy(true, platform::fromUtf8(silentHost));
        if (hanging == ScriptAnswer) {
            local.setCurrentUserProxy(true, std::nullopt);
            local.setAutoProxySettings(L"http://pac.example/p.pac", false);
            local.setAutoProxyAnswer(platform::AutoProxySource::ConfigUrl, {}, 60s);
        }
        const auto started = std::chrono::steady_clock::now();
        std::atomic<std::int64_t> answeredAt{0};
        local.scriptInput(kProgressDialogTemplate, UserInput::Close,
                          [started] { return std::chrono::steady_clock::now() - started > 500ms; });
        local.scriptInput(kMessageBoxTemplate, UserInput::ClickOk, [&answeredAt] {
            answeredAt = std::chrono::steady_clock::now().time_since_epoch().count();
            return true;
        });

        CUpdateProgressDlg dialog(local, roadSettings("http://" + silentHost + "/installer.exe"));
        const int result = dialog.DoModal();
        const auto closing = std::chrono::steady_clock::now() -
                             std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(answeredAt));

        EXPECT_EQ(result, platform::kIdCancel) << hanging;
        const auto shown = local.dialogsWithTemplate(kMessageBoxTemplate);
        ASSERT_EQ(shown.size(), 1u) << hanging;  // the confirmation only, no error notice
        EXPECT_EQ(shown[0].caption, L"Closing of downloader") << hanging;
        EXPECT_TRUE(local.launches().empty()) << hanging;
        // One second in the product; some slack for the sanitizer builds.
        EXPECT_LT(closing, 2s) << hanging;
        EXPECT_FALSE(hasFiles(temp)) << hanging;
    }
}

TEST_F(FrontEndRoad, EscDuringTheDownloadStopsItAndKeepsTheResumeState) {
    TempDir docs;
    testsupport::writeRandomFile(docs / "installer.exe", 8 * 524288, 5);
    NginxServer nginx(docs.path(), {.limitRate = "64k"});
    useProgram(kTypicalBlock);
    // Once the bar has moved past its start, the user presses Esc.
    os.scriptInput(kProgressDialogTemplate, UserInput::Esc, [this] {
        const auto main = os.dialogsWithTemplate(kProgressDialogTemplate);
        return !main.empty() && main[0].progressPositions.size() > 3;
    });

    const auto started = std::chrono::steady_clock::now();
    const int result = runDialog(nginx.url("installer.exe"));

    EXPECT_EQ(result, platform::kIdCancel);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 20s);
    EXPECT_TRUE(os.launches().empty());
    EXPECT_TRUE(boxes().empty());
    EXPECT_TRUE(fs::exists(temp / "_.txt"));
    EXPECT_TRUE(fs::exists(temp / "pel_mora_.exe"));
    expectAwakeOnlyWhileDownloading(os, true);
}

// An error page's length is no size: a 404 or 503 probe answer after a
// download was stopped half way leaves its files exactly as they were.
TEST_F(FrontEndRoad, AnUnsuccessfulProbeAnswerKeepsAnEarlierPartialDownload) {
    TempDir docs;
    testsupport::writeRandomFile(docs / "installer.exe", 8 * 524288, 6);
    {
        NginxServer nginx(docs.path(), {.limitRate = "64k"});
        useProgram(kTypicalBlock);
        os.scriptInput(kProgressDialogTemplate, UserInput::Esc, [this] {
            const auto main = os.dialogsWithTemplate(kProgressDialogTemplate);
            return !main.empty() && main[0].progressPositions.size() > 3;
        });
        ASSERT_EQ(runDialog(nginx.url("installer.exe")), platform::kIdCancel);
    }
    const auto snapshot = [this] {
        std::map<std::string, std::string> files;
        for (const auto& entry : fs::directory_iterator(temp))
            files[entry.path().filename().string()] = testsupport::sha256OfFile(entry.path());
        return files;
    };
    const auto before = snapshot();
    ASSERT_EQ(before.size(), 2u) << "installer and resume state";
    EXPECT_EQ(os.downloadRecords().count(L"_.txt"), 1u) << "the state's record is kept by the system, not beside it";

    for (const int status : {404, 503}) {
        FakeWindows local;
        local.setOwnExecutablePath(os.ownExecutablePath());
        local.setDownloadFolder(platform::fromUtf8(temp.string()));
        local.scriptInput(kMessageBoxTemplate, UserInput::ClickOk);
        FaultServer server([status](const HttpRequest&) {
            HttpResponse response = headWithLength("600000");
            response.status = status;
            return response;
        });
        CUpdateProgressDlg dialog(local, roadSettings(server.url("installer.exe")));
        EXPECT_EQ(dialog.DoModal(), 1);
        const auto shown = local.dialogsWithTemplate(kMessageBoxTemplate);
        ASSERT_EQ(shown.size(), 1u) << status;
        EXPECT_EQ(shown[0].texts.at(platform::kMessageTextId),
                  L"Server Error (system code: " + std::to_wstring(status) +
                      L"). The program will be automatically closed!");
        EXPECT_EQ(snapshot(), before) << status;
    }
}

// --- the companion product (a build whose product is catalog product 3) ---

const std::wstring kUninstallKey = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\DravoLin";

void installCompanion(FakeWindows& os) {
    os.setRegistryString(kUninstallKey, L"DisplayVersion", L"3.0");
    os.setRegistryString(kUninstallKey, L"InstallLocation", L"C:\\Program Files\\Dravo Lin");
    os.addFile(L"C:\\Program Files\\Dravo Lin\\dravolin.exe");
}

TEST_F(FrontEndRoad, InstalledCompanionIsStartedWithTheContentInsteadOfDownloading) {
    useProgram({"contentType=10", "contentAddress=http://content.example/a b", "vid=3"});
    installCompanion(os);
    FaultServer server([](const HttpRequest& request) { return testsupport::serveRange(request, "payload"); });

    EXPECT_EQ(runDialog(server.url("dravo.bin"), "dravolin"), 1);

    const auto launches = os.launches();
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(launches[0].file, L"C:\\Program Files\\Dravo Lin\\dravolin.exe");
    EXPECT_EQ(launches[0].parameters, L"-turl http://content.example/a b");
    ASSERT_EQ(server.requests().size(), 1u);  // the probe only
    EXPECT_EQ(server.requests()[0].method, "HEAD");
    EXPECT_FALSE(hasFiles(temp));
    EXPECT_EQ(os.openRegistryKeys(), 0);
}

TEST_F(FrontEndRoad, CompanionNotInstalledDownloadsTheProductInstaller) {
    TempDir docs;
    testsupport::writeRandomFile(docs / "dravo.bin", 70000, 9);
    NginxServer nginx(docs.path());
    useProgram({"contentType=10", "contentAddress=http://content.example/a b"});
    os.setRegistryString(kUninstallKey, L"DisplayVersion", L"3.0");  // no InstallLocation

    runDialog(nginx.url("dravo.bin"), "dravolin");

    const auto launches = os.launches();
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(launches[0].file, platform::fromUtf8((temp / "dravo_lin_.exe").string()));
    EXPECT_EQ(launches[0].parameters, L" /contentType=10 /contentAddress=\"http://content.example/a b\"");
    EXPECT_EQ(testsupport::sha256OfFile(temp / "dravo_lin_.exe"), testsupport::sha256OfFile(docs / "dravo.bin"));
}

}  // namespace

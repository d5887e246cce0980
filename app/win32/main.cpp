// Entry point of the Windows program: the application object on the Win32
// side of the OS seam. The process ends when the application's start returns;
// there is no message loop outside the dialogs.
#include <windows.h>

#include <exception>

#include "app/update_progress_app.h"
#include "app/win32/win32_os.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    try {
        platform::Win32Os os;
        CUpdateProgressApp app(os);
        app.InitInstance();
        return app.exitCode();
    } catch (...) {
        // Failures other than std::runtime_error (memory exhaustion, for
        // instance) end the process quietly with a failure code instead of
        // the runtime's abort box.
        return 1;
    }
}

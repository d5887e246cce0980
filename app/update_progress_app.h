// The application object: initialises COM and the common controls, runs the
// progress dialog modally and shows a start-up failure in an "Error!" box; a
// second start for the same resume state only brings the first to the front.
#pragma once

#include "app/os_services.h"

class CUpdateProgressApp {
public:
    explicit CUpdateProgressApp(platform::OsServices& os);
    virtual ~CUpdateProgressApp() = default;

    // The whole run. Returns false: the process ends without a message loop
    // of its own once the dialog is gone.
    bool InitInstance();

protected:
    // Constructs the progress dialog, runs it modally and destroys it.
    virtual void runMainDialog();
    // One running copy per resume-state file: false (after bringing the
    // running copy's window to the front) when another copy has it.
    bool claimRunningCopy();

    platform::OsServices& m_os;
};

// The application object: initialises COM and the common controls, runs the
// progress dialog modally and shows a start-up failure in an "Error!" box; a
// second start for the same resume state only brings the first to the front
// and ends.
#pragma once

#include "app/os_services.h"
#include "platform/file.h"

class CUpdateProgressApp {
public:
    explicit CUpdateProgressApp(platform::OsServices& os);
    virtual ~CUpdateProgressApp() = default;

    // The whole run. Returns false: the process ends without a message loop
    // of its own once the dialog is gone.
    bool InitInstance();
    // The process's exit code: 1 when the progress window could not be
    // created (no desktop to show it, nor any box, on), else 0.
    int exitCode() const { return m_exitCode; }

protected:
    // Constructs the progress dialog, runs it modally and destroys it;
    // returns the dialog's result (-1: it could not be created).
    virtual int runMainDialog();
    // One running copy per resume-state file: false (after bringing the
    // running copy's window to the front when it is this program's) when
    // another copy holds the lock beside the state; otherwise takes the
    // lock and claims the running copy's name.
    bool claimRunningCopy();

    platform::OsServices& m_os;
    int m_exitCode = 0;
    // The lock beside the resume state, held for the whole run.
    platform::File m_stateLock;
};

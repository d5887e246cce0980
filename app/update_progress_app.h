// The application object: initialises COM and the common controls, runs the
// progress dialog modally and shows a start-up failure in an "Error!" box.
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

    platform::OsServices& m_os;
};

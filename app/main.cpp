#include "TQtTexts.h"
#include "TSysParam.h"
#include "TTerminationRequests.h"
#include "TfrmMain.h"

#include <QApplication>
#include <QTranslator>

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    // Qt's own dialogs and buttons speak the window's language.
    QTranslator qtTexts;
    InstallQtTexts(qtTexts);
    // Taken before the window exists, so that a request while the settings
    // load is not lost.
    TTerminationRequests termination;
    TfrmMain* window = nullptr;
    QObject::connect(&termination, &TTerminationRequests::Requested, &application, [&window] {
        // Closed as the user closes it: the run stops and the port is closed.
        if (window != nullptr)
            window->close();
        // Every loop ends, a message box's or a dialog's too, also before the
        // main loop has started (quit() would wait for that), and none starts
        // again.
        QCoreApplication::exit(0);
    });
    TfrmMain frmMain(DefaultConfigPath());
    window = &frmMain;
    if (termination.Received())
        return 0;
    frmMain.show();
    return QApplication::exec();
}

#include "TSysParam.h"
#include "TTerminationRequests.h"
#include "TfrmMain.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    // Taken before the window exists, so that a request while the settings
    // load is not lost. Quitting also ends a message box that is open.
    TTerminationRequests termination;
    QObject::connect(&termination, &TTerminationRequests::Requested, &application,
                     &QCoreApplication::quit);
    TfrmMain frmMain(DefaultConfigPath());
    // Closed as the user closes it: the run stops and the port is closed.
    QObject::connect(&termination, &TTerminationRequests::Requested, &frmMain, &QWidget::close);
    if (termination.Received())
        return 0;
    frmMain.show();
    return QApplication::exec();
}

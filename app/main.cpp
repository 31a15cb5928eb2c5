#include "TSysParam.h"
#include "TfrmMain.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    TfrmMain frmMain(DefaultConfigPath());
    frmMain.show();
    return QApplication::exec();
}

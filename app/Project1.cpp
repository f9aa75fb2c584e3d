// The program: one window, run until it is closed.
#include "Unit1.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    TForm1 Form1;
    Form1.show();
    return application.exec();
}

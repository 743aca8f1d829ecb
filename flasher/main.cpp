#include "brennix.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    Brennix::printBanner();
    QCoreApplication application(argc, argv);
    Brennix brennix;
    return application.exec();
}

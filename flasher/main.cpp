#include "brennix.h"
#include "interruption.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    Brennix::printBanner();
    QCoreApplication application(argc, argv);
    Brennix brennix;
    return Interruption::passOn(application.exec());
}

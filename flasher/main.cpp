#include "brennix.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    printf("Brennix V2_10 firmware flasher for Zigbee radio adapters, built 2016/09/26\n");
    QCoreApplication application(argc, argv);
    Brennix brennix;
    return application.exec();
}

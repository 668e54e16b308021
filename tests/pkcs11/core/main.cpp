#include <QCoreApplication>

#include <gtest/gtest.h>

// The slot-event signals are delivered through queued connections, which need an application.
int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

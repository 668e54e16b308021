#include <QCoreApplication>
#include <QLoggingCategory>

#include <gtest/gtest.h>

// The slot-event signals are delivered through queued connections, which need an application.
int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    // Some tests read the layer's debug lines, which are off unless asked for.
    QLoggingCategory::setFilterRules(QStringLiteral("tessaly.pkcs11.debug=true"));
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

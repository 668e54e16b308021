#pragma once

// For the window's certificate request and download tests: a loopback request service and the
// operator's folder that points the window at it, and the download summary read back.

#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QTreeWidget>

#include <memory>
#include <string>
#include <vector>

#include "ModalDriver.h"
#include "RequestService.h"

// A request service in store/service that approves these policies; not started yet.
inline std::unique_ptr<fixture::RequestService> MakeRequestService(const std::string& store,
                                                                   const std::vector<std::string>& policies)
{
    QDir().mkpath(QString::fromStdString(store) + QStringLiteral("/service"));
    auto service = std::make_unique<fixture::RequestService>(store + "/service");
    service->SetPolicies(policies);
    return service;
}

// The operator's folder below scratch/xdg: the shipped policy files and the service's CA as
// chain.pem. The folder to name in XDG_CONFIG_DIRS.
inline QString MakeOperatorFolder(const QString& scratch, const fixture::RequestService& service)
{
    const auto copy = [](const QString& from, const QString& to) {
        QFile::remove(to);
        QFile::copy(from, to);
    };
    const QString xdg = scratch + QStringLiteral("/xdg");
    const QString data = xdg + QStringLiteral("/Veskora");
    QDir().mkpath(data);
    const QString shipped = qEnvironmentVariable("TESSALY_SOURCE_DIR") + QStringLiteral("/resources/enrolment/");
    for (const char* file : {"Schema.xml", "SchemaResources.en.xml", "SchemaResources.bg.xml"})
        copy(shipped + QLatin1String(file), data + QLatin1Char('/') + QLatin1String(file));
    copy(QString::fromStdString(service.TrustFile()), data + QStringLiteral("/chain.pem"));
    return xdg;
}

// The download summary's rows as "label: message", closed afterwards.
inline fixture::ModalDriver::Handler Summary(QStringList& rows)
{
    return [&rows](QWidget* w) {
        QTreeWidget* tree = w->findChild<QTreeWidget*>(QStringLiteral("treeStatus"));
        for (int i = 0; tree && i < tree->topLevelItemCount(); ++i)
            rows << tree->topLevelItem(i)->text(0) + QStringLiteral(": ") + tree->topLevelItem(i)->text(1);
        fixture::ModalDriver::Click(w, QStringLiteral("Close"));
    };
}

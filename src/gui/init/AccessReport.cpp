#include "AccessReport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTextDocument>
#include <QUrl>

#include "TextFile.h"

namespace tessaly {

QString FillAccessReport(const QString& bodyTemplate, const TAccessData& data)
{
    static const QRegularExpression entity(QStringLiteral("&(produser|model|serialnum|label|ain|pin);"));
    QString out;
    out.reserve(bodyTemplate.size() + 256);
    int from = 0;
    QRegularExpressionMatchIterator it = entity.globalMatch(bodyTemplate);
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        out += bodyTemplate.midRef(from, match.capturedStart() - from);
        const QStringRef name = match.capturedRef(1);
        const QString& value = name == QLatin1String("produser") ? data.manufacturer
                               : name == QLatin1String("model")  ? data.model
                               : name == QLatin1String("serialnum") ? data.serialNumber
                               : name == QLatin1String("label")  ? data.label
                               : name == QLatin1String("ain")    ? data.ain
                                                                 : data.pin;
        out += value.toHtmlEscaped();
        from = match.capturedEnd();
    }
    out += bodyTemplate.midRef(from);
    return out;
}

TReportDestination ReportDestinationOf(const QByteArray& variable)
{
    if (variable.isEmpty())
        return {TReportDestination::Printer, QString()};
    if (variable == "ask")
        return {TReportDestination::AskForFile, QString()};
    return {TReportDestination::File, QFile::decodeName(variable)};
}

QString ReportFolder()
{
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (!documents.isEmpty() && QFileInfo(documents).isDir())
        return documents;
    return QDir::homePath();
}

QString SuggestedReportFile(const QString& folder, const QString& label)
{
    QString part;
    for (const QChar c : label)
        part += c.isLetterOrNumber() ? c : QLatin1Char('-');
    part.replace(QRegularExpression(QStringLiteral("-{2,}")), QStringLiteral("-"));
    while (part.startsWith(QLatin1Char('-')))
        part.remove(0, 1);
    while (part.endsWith(QLatin1Char('-')))
        part.chop(1);
    const QString base = QStringLiteral("access-report") + (part.isEmpty() ? QString() : QLatin1Char('-') + part);
    const QDir dir(folder);
    QString name = base + QStringLiteral(".pdf");
    for (int n = 2; QFileInfo::exists(dir.filePath(name)); ++n)
        name = QStringLiteral("%1-%2.pdf").arg(base).arg(n);
    return dir.filePath(name);
}

TextPrinter::TResult PrintAccessReport(QObject* parent, const TAccessData& data, const TReportDestination& destination,
                                       const QString& caption)
{
    TextPrinter printer(parent);
    printer.addResource(QUrl(QStringLiteral("LogoVK2.png")), QImage(QStringLiteral(":/print/VeskoraLogo")));
    printer.setUsePrintDialog(false);
    printer.setHeaderSize(20.0);
    printer.setFooterSize(20.0);
    printer.setDateFormat(QStringLiteral("dd.MM.yyyy"));
    printer.setHeaderText(ReadTextFile(QStringLiteral(":/print/ReportHeader")));
    printer.setFooterText(ReadTextFile(QStringLiteral(":/print/ReportFooter")));

    QTextDocument document;
    document.setHtml(FillAccessReport(ReadTextFile(QStringLiteral(":/print/Report")), data));
    const QString title = QStringLiteral("Veskora Tessaly generated report");
    switch (destination.kind) {
    case TReportDestination::Printer:
        return printer.printDocument(&document, title);
    case TReportDestination::AskForFile:
        return printer.exportToPdf(&document, caption.isEmpty() ? title : caption, destination.fileName);
    case TReportDestination::File:
        break;
    }
    return printer.writePdf(&document, destination.fileName);
}

} // namespace tessaly

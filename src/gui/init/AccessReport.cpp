#include "AccessReport.h"

#include <QFile>
#include <QImage>
#include <QRegularExpression>
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
        return printer.exportToPdf(&document, caption.isEmpty() ? title : caption, QString());
    case TReportDestination::File:
        break;
    }
    return printer.writePdf(&document, destination.fileName);
}

} // namespace tessaly

#pragma once

#include <QByteArray>
#include <QString>

#include "TextPrinter.h"

class QObject;

namespace tessaly {

// What the access report of a freshly initialised card shows. The token fields are empty when
// the token could not be found again after the initialisation.
struct TAccessData {
    QString manufacturer;
    QString model;
    QString serialNumber;
    QString label;
    QString ain;
    QString pin;
};

// The report body: the template with "&produser;", "&model;", "&serialnum;", "&label;", "&ain;"
// and "&pin;" replaced in one pass by the HTML-escaped values, so a value shows as typed and
// never brings in another value or markup.
QString FillAccessReport(const QString& bodyTemplate, const TAccessData& data);

// Where the report goes, from the value of TESSALY_PRINT_TO_FILE: unset or empty prints on the
// default printer, "ask" asks for a PDF file, anything else is the PDF file.
struct TReportDestination {
    enum TKind { Printer, AskForFile, File } kind;
    QString fileName;
};
TReportDestination ReportDestinationOf(const QByteArray& variable);

// The folder the report's save dialog starts in: the user's documents folder when it exists,
// else the home folder.
QString ReportFolder();
// A file in folder for the report of the card labelled label ("access-report-<label>.pdf", with
// what cannot stand in a file name made "-"), numbered on so that it names no existing file.
QString SuggestedReportFile(const QString& folder, const QString& label);

// Builds the report from the compiled-in templates (logo, header with the date, footer) and
// prints or writes it; the printer's dialogs get parent's widget as their parent, and the save
// dialog of AskForFile the caption when one is given, and destination's file name as the file
// it suggests.
TextPrinter::TResult PrintAccessReport(QObject* parent, const TAccessData& data, const TReportDestination& destination,
                                       const QString& caption = QString());

} // namespace tessaly

#pragma once

class QString;
class QWidget;

// What enrolment needs of the window it runs for: a parent for its dialogs and the
// window's error reports (the token's error sink is the window's, so a report
// carries the explanation of a failed token call). The main window implements it;
// tests give their own.
class IEnrolmentHost
{
public:
    virtual ~IEnrolmentHost() = default;

    virtual QWidget* HostWidget() = 0;
    // A log entry and, with showBox, a message box; the error sink is emptied.
    virtual void ShowError(const QString& text, bool critical, bool showBox) = 0;
    virtual void LogError(const QString& text, bool critical) = 0;
};

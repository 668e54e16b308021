// Helpers of the tests that drive the request form: a host that records what the
// form reports, and access to the form's fields.
#pragma once

#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QScrollArea>
#include <QStringList>
#include <QTest>
#include <QWidget>

#include "IEnrolmentHost.h"
#include "OIDInput.h"
#include "PKCS11Token.h"

namespace enroltest {

// Stands in for the main window: a parent widget, the error reports as text, and
// the installation straight on the token (replacing a certificate as replace says).
class TestHost : public IEnrolmentHost
{
public:
    QWidget* HostWidget() override { return &m_window; }
    void ShowError(const QString& text, bool, bool showBox) override { (showBox ? errors : logs) << text; }
    void LogError(const QString& text, bool) override { logs << text; }
    bool InstallCertificate(CPKCS11Token& token, unsigned char* pbCert, uint32_t cbCert) override
    {
        installs << QByteArray(reinterpret_cast<const char*>(pbCert), int(cbCert));
        if (token.InstallCertificate(pbCert, cbCert, replace))
            return true;
        errors << QStringLiteral("installation refused");
        return false;
    }

    QStringList errors;        // reports with a message box
    QStringList logs;          // reports without
    QList<QByteArray> installs; // certificates given to the installation
    bool replace = false;

private:
    QWidget m_window;
};

inline QString ShippedFolder()
{
    return qEnvironmentVariable("TESSALY_SOURCE_DIR") + QStringLiteral("/resources/enrolment");
}

// The subject fields of the policy the form shows, in form order.
inline QList<QOIDInput*> Fields(QWidget* form)
{
    QWidget* shown = form->findChild<QScrollArea*>(QStringLiteral("scrollAreaFields"))->widget();
    return shown ? shown->findChildren<QOIDInput*>() : QList<QOIDInput*>();
}

inline QOIDInput* Field(QWidget* form, const char* oid)
{
    for (QOIDInput* f : Fields(form))
        if (f->GetOID() == QLatin1String(oid))
            return f;
    return nullptr;
}

inline QComboBox* Combo(QWidget* form, const char* name)
{
    return form->findChild<QComboBox*>(QLatin1String(name));
}

inline QStringList Items(QComboBox* combo)
{
    QStringList items;
    for (int i = 0; i < combo->count(); ++i)
        items << combo->itemText(i);
    return items;
}

// Key presses carrying the text, one character (or surrogate pair) each, as a
// keyboard sends them; QTest's own key clicks take ASCII only.
inline void Keys(QWidget* widget, const QString& text)
{
    for (int i = 0; i < text.size(); ++i) {
        const int n = text.at(i).isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, text.mid(i, n));
        QApplication::sendEvent(widget, &press);
        QKeyEvent release(QEvent::KeyRelease, 0, Qt::NoModifier, text.mid(i, n));
        QApplication::sendEvent(widget, &release);
        i += n - 1;
    }
}

// Replaces the text of a text field as a user would, key by key.
inline void Type(QOIDInput* field, const QString& text)
{
    QLineEdit* box = field->TextBox();
    box->setFocus(Qt::MouseFocusReason);
    box->selectAll();
    if (text.isEmpty())
        QTest::keyClick(box, Qt::Key_Backspace);
    else
        Keys(box, text);
}

} // namespace enroltest

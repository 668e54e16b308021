#pragma once

// Helpers for the tests of the main window with loaded providers: settings files that list
// the test's own modules, and readable dumps of a provider tree.

#include <QAction>
#include <QApplication>
#include <QMessageBox>
#include <QStringList>
#include <QTabWidget>
#include <QTimer>
#include <QDialog>
#include <QTreeWidget>
#include <QTreeWidgetItem>

#include <string>
#include <utility>
#include <vector>

#include "MainWindow.h"
#include "ProviderTreeWidget.h"
#include "Settings.h"
#include "TestHome.h"
#include "PKCS11Context.h"
#include "pkcs11provider.h"

struct TTestProvider {
    QString description;
    QString module;
    bool showWarning;
};

// The home settings file listing exactly these providers (no skin, so the window keeps its
// plain frame).
inline void WriteProviderSettings(const QString& home, const std::vector<TTestProvider>& providers)
{
    QByteArray ini = "[General]\nSkinEnabled=false\n\n[Providers]\n";
    int n = 0;
    for (const TTestProvider& p : providers) {
        ++n;
        ini += QByteArray::number(n) + "\\Description=" + p.description.toLatin1() + "\n";
        ini += QByteArray::number(n) + "\\Module=" + p.module.toLatin1() + "\n";
        ini += QByteArray::number(n) + "\\ShowSEWarning=" + (p.showWarning ? "true" : "false") + "\n";
    }
    ini += "size=" + QByteArray::number(n) + "\n";
    WriteFile(HomeSettingsPath(home), ini);
}

inline CPKCS11Provider* ProviderNamed(MainWindow& window, const QString& description)
{
    for (const auto& entry : window.GetProviders())
        if (QString::fromLatin1(entry.first->GetDescription()) == description)
            return entry.second;
    return nullptr;
}

inline CProviderTreeWidget* TreeOf(MainWindow& window, const QString& description)
{
    CPKCS11Provider* provider = ProviderNamed(window, description);
    return provider ? provider->GetTreeWidget() : nullptr;
}

inline QStringList TabLabels(MainWindow& window)
{
    QTabWidget* tabs = window.findChild<QTabWidget*>(QStringLiteral("tabWidget"));
    QStringList labels;
    for (int i = 0; i < tabs->count(); ++i)
        labels << tabs->tabText(i);
    return labels;
}

// "text [icon]" for the row and, indented by two blanks per level, every row below it.
inline void DumpRows(const QTreeWidgetItem* row, int depth, QStringList& out)
{
    out << QString(depth * 2, QLatin1Char(' ')) + row->text(0) +
               QStringLiteral(" [%1]").arg(CProviderTreeWidget::GetItemIcon(row));
    for (int i = 0; i < row->childCount(); ++i)
        DumpRows(row->child(i), depth + 1, out);
}

inline QStringList DumpChildren(const QTreeWidgetItem* row)
{
    QStringList out;
    for (int i = 0; i < row->childCount(); ++i)
        DumpRows(row->child(i), 0, out);
    return out;
}

inline QStringList DumpTree(const QTreeWidget* tree)
{
    QStringList out;
    for (int i = 0; i < tree->topLevelItemCount(); ++i)
        DumpRows(tree->topLevelItem(i), 0, out);
    return out;
}

// The first row (depth first) whose text is text.
inline QTreeWidgetItem* FindRow(QTreeWidgetItem* row, const QString& text)
{
    if (row->text(0) == text)
        return row;
    for (int i = 0; i < row->childCount(); ++i)
        if (QTreeWidgetItem* found = FindRow(row->child(i), text))
            return found;
    return nullptr;
}

inline QTreeWidgetItem* FindRow(QTreeWidget* tree, const QString& text)
{
    for (int i = 0; i < tree->topLevelItemCount(); ++i)
        if (QTreeWidgetItem* found = FindRow(tree->topLevelItem(i), text))
            return found;
    return nullptr;
}

// The token row whose label is label.
inline QTreeWidgetItem* TokenRow(QTreeWidget* tree, const QString& label)
{
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        QTreeWidgetItem* slot = tree->topLevelItem(i);
        for (int j = 0; j < slot->childCount(); ++j)
            if (slot->child(j)->text(0) == label)
                return slot->child(j);
    }
    return nullptr;
}

// The information pane as "name=value" lines.
inline QStringList PaneLines(const CProviderTreeWidget* tree)
{
    QStringList out;
    QTreeWidget* pane = tree->GetInfoWidget();
    for (int i = 0; i < pane->topLevelItemCount(); ++i)
        out << pane->topLevelItem(i)->text(0) + QLatin1Char('=') + pane->topLevelItem(i)->text(1);
    return out;
}

inline QAction* Action(MainWindow& window, const char* name)
{
    return window.findChild<QAction*>(QLatin1String(name));
}

// Records and closes every modal widget that shows up while it lives, so that a test that
// expects no box cannot hang in one, and can tell which boxes appeared.
class CUnexpectedModals : public QObject
{
public:
    CUnexpectedModals() : m_timer(this)
    {
        m_timer.setInterval(20);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal)
                return;
            QString text = QString::fromLatin1(modal->metaObject()->className());
            if (QMessageBox* box = qobject_cast<QMessageBox*>(modal))
                text += QStringLiteral(": ") + box->text();
            m_seen << text;
            if (QDialog* dialog = qobject_cast<QDialog*>(modal))
                dialog->reject();
            else
                modal->close();
        });
        m_timer.start();
    }
    const QStringList& Seen() const { return m_seen; }

private:
    QTimer m_timer;
    QStringList m_seen;
};

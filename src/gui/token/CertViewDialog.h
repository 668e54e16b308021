#pragma once

#include <QByteArray>
#include <QDialog>
#include <QString>

#include <map>

#include <sorvit/blob.h>

class QTreeWidgetItem;
namespace Ui { class CertViewDialog; }

// The main properties of one DER certificate: a list of names and short values, and below it
// the full value of the row the user presses (a whole distinguished name, one attribute a
// line). The dialog keeps its own copy of the bytes and fills the list on its first show.
class CertViewDialog : public QDialog
{
    Q_OBJECT

public:
    CertViewDialog(const _CPBLOB& certificate, QWidget* parent);
    ~CertViewDialog() override;

    // The full value shown for a row when it is pressed.
    QString GetFullValue(QTreeWidgetItem* pItem) const;

protected:
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;

protected slots:
    void on_item_pressed(QTreeWidgetItem* item, int column);

private:
    void FillProperties();
    void AddProperty(const QString& label, const QString& shortValue, const QString& fullValue);

    Ui::CertViewDialog* m_pForm;
    QByteArray m_certificate;
    std::map<QTreeWidgetItem*, QString> m_mapFullValues;
    bool m_bFilled;
};
